#include "video/pixel_expand.h"

namespace tarvel {

void ExpandPixelsToRgb8(const std::uint16_t* pixels, std::size_t count, bool format565,
                        std::uint8_t* rgb) {
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned p = pixels[i];
    const unsigned r = format565 ? (p >> 11) & 31 : (p >> 10) & 31;
    const unsigned b = p & 31;
    if (format565) {
      const unsigned g = (p >> 5) & 63;
      rgb[3 * i + 1] = static_cast<std::uint8_t>((g << 2) | (g >> 4));
    } else {
      const unsigned g = (p >> 5) & 31;
      rgb[3 * i + 1] = static_cast<std::uint8_t>((g << 3) | (g >> 2));
    }
    rgb[3 * i] = static_cast<std::uint8_t>((r << 3) | (r >> 2));
    rgb[3 * i + 2] = static_cast<std::uint8_t>((b << 3) | (b >> 2));
  }
}

}  // namespace tarvel
