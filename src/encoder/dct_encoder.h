// The DCT side of the video encoder: colour conversion into the decoder's sample space, a
// forward transform that inverts the decoder's integer inverse transform, quantisation against
// the decoder's dequantisation multipliers, and the shortest coefficient code for each block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvel {

// Nibbles of one coded block; at most 3 * (2 + 63 * 3).
inline constexpr std::size_t kMaxBlockNibbles = 3 * (2 + 63 * 3);

// Appends 4-bit values to a byte stream, low nibble of each byte first.
struct NibbleWriter {
  std::vector<std::uint8_t> bytes;
  std::size_t count = 0;  // nibbles written
};
void NibbleWriter_Put(NibbleWriter& writer, unsigned nibble);

// Levels of one component in zigzag order (position 0 is the DC level, -128..127; the others
// -128..127). Appends the shortest code for them to `out` (as nibble values) and returns the
// number of nibbles.
int EncodeComponentLevels(const std::int32_t levels[64], std::uint8_t* out);

// Forward transform of one 8x8 sample block (natural order, 16 times pixel scale) into the
// coefficients the decoder's inverse transform turns back into those samples.
void ForwardDct8x8(const float samples[64], float coefficients[64]);

// Levels for the same frequency of all three components chosen together: of the levels on
// either side of each coefficient, the combination with the least decoded RGB error (red = y/16 +
// cr/10, green = y/16 - cb/48 - cr/20, blue = y/16 + cb/8 for sample errors y, cb, cr, summed
// over the block) plus `lambda` times the bits its AC levels take. Coefficients in natural
// order, multipliers and levels in zigzag order (`dequant` rows 0..2 are Y, Cb, Cr); levels
// limited to -128..127.
void QuantiseColourBlock(const float coefficients[3][64], const std::int32_t dequant[6][64],
                         float lambda, std::int32_t levels[3][64]);

// Levels of one component's AC positions (1..63, zigzag order) chosen together with the code
// that carries them: the least sum of distortion plus `lambda` per bit over every way the
// coefficient code can write the block. Position p's distortion at level L is
// own[p] * e^2 + cross[p] * e with e = (values[p] - L) * steps[p]. levels[0] is left as it is.
void ChooseComponentLevels(const float values[64], const float steps[64], const float own[64],
                           const float cross[64], float lambda, std::int32_t levels[64]);

// QuantiseColourBlock, then each component's levels chosen again by ChooseComponentLevels
// against the decoded RGB error, Y then Cb then Cr, each seeing the others' latest errors.
void ChooseColourLevels(const float coefficients[3][64], const std::int32_t dequant[6][64],
                        float lambda, std::int32_t levels[3][64]);

// The decoder's samples for one component's levels: dequantised, placed in natural order and
// inverse transformed with the mask the coefficient code gives them.
void LevelsToSamples(const std::int32_t levels[64], const std::int32_t multipliers[64],
                     std::int32_t samples[64]);

// Squared RGB error of the decoded 5-5-5 block (from three sample blocks) against 8x8 pixels of
// 8-bit RGB whose rows start `stride` bytes apart, each 5-bit field widened as (v << 3) | (v >> 2).
// `pixels` receives the decoded block.
std::int64_t DecodedBlockError(const std::int32_t samples[3][64], const std::uint8_t* source,
                               std::ptrdiff_t stride, std::uint16_t pixels[64]);

// Improves levels chosen by ChooseColourLevels against the exact decoded picture (rounding,
// clamping and 5-bit packing included), counting `lambda` per bit of the component's code as
// EncodeComponentLevels writes it: each DC level, and each other
// level whose coefficient lies at least `margin` steps away from it, is moved one step toward
// the coefficient where that pays; then each component's last levels are dropped while that
// pays. Returns the block's final error (without the bits).
std::int64_t RefineColourBlock(const float coefficients[3][64], const std::int32_t dequant[6][64],
                               const std::uint8_t* source, std::ptrdiff_t stride, float margin,
                               float lambda, std::int32_t levels[3][64]);

}  // namespace tarvel
