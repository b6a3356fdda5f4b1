#include "display/picture_surface.h"

#include <limits>
#include <new>

namespace tarvel {

bool PictureSurface::Create(std::uint32_t width, std::uint32_t height) {
  Release();
  if (width == 0 || height == 0) return false;
  // QImage addresses rows with int strides.
  if (width > static_cast<std::uint32_t>(std::numeric_limits<int>::max() / 2) ||
      height > static_cast<std::uint32_t>(std::numeric_limits<int>::max()))
    return false;
  const std::size_t count = std::size_t{width} * height;
  pixels_.reset(new (std::nothrow) std::uint16_t[count]());
  if (!pixels_) return false;
  width_ = width;
  height_ = height;
  image_ =
      QImage(reinterpret_cast<uchar*>(pixels_.get()), static_cast<int>(width),
             static_cast<int>(height), static_cast<qsizetype>(2 * width), QImage::Format_RGB555);
  return true;
}

void PictureSurface::Release() {
  image_ = QImage();  // the view goes before the pixels it shows
  pixels_.reset();
  width_ = 0;
  height_ = 0;
}

}  // namespace tarvel
