// Full-screen picture scalers: a 640 x 480 picture enlarged to 800 x 600 (by 5/4) or to
// 1024 x 768 (by 8/5), by linear interpolation with fixed integer weights inside fixed groups
// of pixels and rows, per colour channel, truncating. Each exists for 5-5-5 and 5-6-5 pixels.
#pragma once

#include <cstdint>

namespace tarvel {

inline constexpr std::uint32_t kScalerSourceWidth = 640;
inline constexpr std::uint32_t kScalerSourceHeight = 480;

// `source`: 640 x 480 pixels, rows 1280 bytes apart. `destination`: 600 (768) rows of at least
// 800 (1024) pixels, row k starting k x 2 x `output_width` bytes after row 0; pixels beyond
// 800 (1024) in a row are not touched. `Width` is 800 or 1024; `GreenBits` 5 for 5-5-5 pixels,
// 6 for 5-6-5 pixels.
template <std::uint32_t Width, unsigned GreenBits>
void ScaleTo(const std::uint16_t* source, std::uint8_t* destination, std::uint32_t output_width);
extern template void ScaleTo<800, 5>(const std::uint16_t*, std::uint8_t*, std::uint32_t);
extern template void ScaleTo<800, 6>(const std::uint16_t*, std::uint8_t*, std::uint32_t);
extern template void ScaleTo<1024, 5>(const std::uint16_t*, std::uint8_t*, std::uint32_t);
extern template void ScaleTo<1024, 6>(const std::uint16_t*, std::uint8_t*, std::uint32_t);

inline constexpr auto& ScaleTo800_555 = ScaleTo<800, 5>;
inline constexpr auto& ScaleTo800_565 = ScaleTo<800, 6>;
inline constexpr auto& ScaleTo1024_555 = ScaleTo<1024, 5>;
inline constexpr auto& ScaleTo1024_565 = ScaleTo<1024, 6>;

}  // namespace tarvel
