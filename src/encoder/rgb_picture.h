// A source picture for the encoder: 8-bit RGB, three bytes per pixel, rows back to back.
#pragma once

#include <cstdint>
#include <vector>

namespace tarvel {

struct RgbPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // width * height * 3

  void Resize(int w, int h) {
    width = w;
    height = h;
    rgb.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3, 0);
  }
  std::uint8_t* Pixel(int x, int y) {
    return rgb.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                         static_cast<std::size_t>(x)) *
                            3;
  }
  const std::uint8_t* Pixel(int x, int y) const {
    return rgb.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                         static_cast<std::size_t>(x)) *
                            3;
  }
};

// Fits a picture into width x height (multiples of 8 in practice): scaled when `scale` is set,
// else cropped from the top-left or padded by repeating the last column and row.
void FitPicture(const RgbPicture& in, int width, int height, bool scale, RgbPicture* out);

// PSNR in dB over the RGB channels of two pictures of the same size (99 for identical ones).
double PicturePsnr(const RgbPicture& a, const RgbPicture& b);

// Expands 16-bit 5-5-5 (or 5-6-5) pixels to 8-bit RGB, each field's top bits repeated below.
void PixelsToRgbPicture(const std::uint16_t* pixels, int width, int height, bool format565,
                        RgbPicture* out);

}  // namespace tarvel
