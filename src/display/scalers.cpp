#include "display/scalers.h"

#include <cstring>

namespace tarvel {

namespace {

// Channel layout of a pixel: blue in bits 0-4, green from bit 5, red from `red_shift` up.
template <unsigned GreenBits>
struct Layout {
  static constexpr unsigned kGreenMask = (1u << GreenBits) - 1;
  static constexpr unsigned kRedShift = 5 + GreenBits;
};

// (wa x a + wb x b) >> shift, channel by channel.
template <unsigned GreenBits>
inline std::uint16_t Mix(unsigned a, unsigned b, unsigned wa, unsigned wb, unsigned shift) {
  using L = Layout<GreenBits>;
  const unsigned blue = ((a & 31) * wa + (b & 31) * wb) >> shift;
  const unsigned green =
      (((a >> 5) & L::kGreenMask) * wa + ((b >> 5) & L::kGreenMask) * wb) >> shift;
  const unsigned red = ((a >> L::kRedShift) * wa + (b >> L::kRedShift) * wb) >> shift;
  return static_cast<std::uint16_t>((red << L::kRedShift) | (green << 5) | blue);
}

// Weights of one output of a group: (first input, weight, second input, weight).
struct Tap {
  unsigned first, first_weight, second, second_weight;
};

// 4 inputs to 5 outputs, in quarters.
constexpr Tap kTaps800[5] = {{0, 4, 0, 0}, {0, 1, 1, 3}, {1, 2, 2, 2}, {2, 3, 3, 1}, {3, 4, 3, 0}};
constexpr unsigned kShift800 = 2;
// 5 inputs to 8 outputs, in eighths.
constexpr Tap kTaps1024[8] = {{0, 8, 0, 0}, {0, 5, 1, 3}, {1, 8, 1, 0}, {1, 1, 2, 7},
                              {2, 7, 3, 1}, {3, 8, 3, 0}, {3, 3, 4, 5}, {4, 8, 4, 0}};
constexpr unsigned kShift1024 = 3;

template <unsigned GreenBits, unsigned In, unsigned Out>
void ScaleRow(const std::uint16_t* source, std::uint16_t* row, const Tap (&taps)[Out],
              unsigned shift) {
  for (unsigned group = 0; group < kScalerSourceWidth / In; ++group) {
    const std::uint16_t* in = source + group * In;
    std::uint16_t* out = row + group * Out;
    for (unsigned k = 0; k < Out; ++k) {
      const Tap& t = taps[k];
      out[k] = Mix<GreenBits>(in[t.first], in[t.second], t.first_weight, t.second_weight, shift);
    }
  }
}

// Scales `In` source rows at a time into a strip of horizontally scaled rows, then mixes the
// strip rows into `Out` destination rows with the same weights.
template <unsigned GreenBits, unsigned In, unsigned Out>
void Scale(const std::uint16_t* source, std::uint8_t* destination, std::uint32_t output_width,
           const Tap (&taps)[Out], unsigned shift) {
  constexpr unsigned kOutWidth = kScalerSourceWidth / In * Out;
  static_assert(In * kOutWidth * 2 <= 10240, "the strip holds 10,240 bytes");
  std::uint16_t strip[In][kOutWidth];
  std::uint16_t row[kOutWidth];
  const std::size_t pitch = 2 * static_cast<std::size_t>(output_width);
  std::uint8_t* out = destination;
  for (unsigned group = 0; group < kScalerSourceHeight / In; ++group) {
    for (unsigned r = 0; r < In; ++r)
      ScaleRow<GreenBits, In, Out>(source + (group * In + r) * kScalerSourceWidth, strip[r], taps,
                                   shift);
    for (unsigned k = 0; k < Out; ++k) {
      const Tap& t = taps[k];
      for (unsigned x = 0; x < kOutWidth; ++x)
        row[x] = Mix<GreenBits>(strip[t.first][x], strip[t.second][x], t.first_weight,
                                t.second_weight, shift);
      std::memcpy(out, row, sizeof row);
      out += pitch;
    }
  }
}

}  // namespace

template <std::uint32_t Width, unsigned GreenBits>
void ScaleTo(const std::uint16_t* source, std::uint8_t* destination, std::uint32_t output_width) {
  static_assert(Width == 800 || Width == 1024);
  if constexpr (Width == 800)
    Scale<GreenBits, 4, 5>(source, destination, output_width, kTaps800, kShift800);
  else
    Scale<GreenBits, 5, 8>(source, destination, output_width, kTaps1024, kShift1024);
}

template void ScaleTo<800, 5>(const std::uint16_t*, std::uint8_t*, std::uint32_t);
template void ScaleTo<800, 6>(const std::uint16_t*, std::uint8_t*, std::uint32_t);
template void ScaleTo<1024, 5>(const std::uint16_t*, std::uint8_t*, std::uint32_t);
template void ScaleTo<1024, 6>(const std::uint16_t*, std::uint8_t*, std::uint32_t);

}  // namespace tarvel
