#include "encoder/rgb_picture.h"

#include "video/pixel_expand.h"

#include <algorithm>
#include <cmath>

namespace tarvel {

void FitPicture(const RgbPicture& in, int width, int height, bool scale, RgbPicture* out) {
  out->Resize(width, height);
  if (in.width <= 0 || in.height <= 0) return;
  if (!scale) {
    for (int y = 0; y < height; ++y) {
      const int sy = std::min(y, in.height - 1);
      for (int x = 0; x < width; ++x) {
        const int sx = std::min(x, in.width - 1);
        const std::uint8_t* s = in.Pixel(sx, sy);
        std::uint8_t* d = out->Pixel(x, y);
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
      }
    }
    return;
  }
  // Area-weighted when shrinking, bilinear when growing: sample a box of the source around
  // each destination pixel's centre.
  const double fx = static_cast<double>(in.width) / width;
  const double fy = static_cast<double>(in.height) / height;
  for (int y = 0; y < height; ++y) {
    const double cy = (y + 0.5) * fy - 0.5;
    for (int x = 0; x < width; ++x) {
      const double cx = (x + 0.5) * fx - 0.5;
      double sum[3] = {0, 0, 0};
      double weight = 0;
      const double rx = std::max(0.5, fx / 2), ry = std::max(0.5, fy / 2);
      const int x0 = static_cast<int>(std::floor(cx - rx + 0.5)),
                x1 = static_cast<int>(std::ceil(cx + rx - 0.5));
      const int y0 = static_cast<int>(std::floor(cy - ry + 0.5)),
                y1 = static_cast<int>(std::ceil(cy + ry - 0.5));
      for (int sy = y0; sy <= y1; ++sy) {
        const double wy = std::max(0.0, 1.0 - std::abs(sy - cy) / (ry + 0.5));
        for (int sx = x0; sx <= x1; ++sx) {
          const double wx = std::max(0.0, 1.0 - std::abs(sx - cx) / (rx + 0.5));
          const double w = wx * wy;
          if (w <= 0) continue;
          const std::uint8_t* s =
              in.Pixel(std::clamp(sx, 0, in.width - 1), std::clamp(sy, 0, in.height - 1));
          for (int c = 0; c < 3; ++c) sum[c] += w * s[c];
          weight += w;
        }
      }
      std::uint8_t* d = out->Pixel(x, y);
      for (int c = 0; c < 3; ++c)
        d[c] = static_cast<std::uint8_t>(
            std::clamp(std::lround(weight > 0 ? sum[c] / weight : 0.0), 0L, 255L));
    }
  }
}

double PicturePsnr(const RgbPicture& a, const RgbPicture& b) {
  if (a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 0.0;
  std::uint64_t sse = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) {
    const int d = a.rgb[i] - b.rgb[i];
    sse += static_cast<std::uint64_t>(d * d);
  }
  if (sse == 0) return 99.0;
  const double mse = static_cast<double>(sse) / static_cast<double>(a.rgb.size());
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

void PixelsToRgbPicture(const std::uint16_t* pixels, int width, int height, bool format565,
                        RgbPicture* out) {
  out->Resize(width, height);
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  ExpandPixelsToRgb8(pixels, count, format565, out->rgb.data());
}

}  // namespace tarvel
