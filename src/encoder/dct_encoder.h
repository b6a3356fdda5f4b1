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

// Quantises coefficients (natural order) against dequantisation multipliers (zigzag order):
// level j = round(coefficient[zz[j]] / multiplier[j]), limited to -128..127. `deadzone` (0..0.5)
// is taken off each AC magnitude before rounding.
void QuantiseBlock(const float coefficients[64], const std::int32_t multipliers[64], float deadzone,
                   std::int32_t levels[64]);

}  // namespace tarvel
