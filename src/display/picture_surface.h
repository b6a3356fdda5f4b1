// The picture surface: the 16-bit 5-5-5 picture that the engine decodes into and the picture
// window shows. Rows are exactly 2 x width bytes apart, row 0 first, each pixel one native
// 16-bit word with red in bits 10-14, green in 5-9, blue in 0-4 and bit 15 zero, which is the
// layout of QImage::Format_RGB555. A new surface is all zero: key frames may read pixels that
// no frame has written yet, so this is part of playing a movie exactly.
#pragma once

#include <QImage>
#include <cstdint>
#include <memory>

namespace tarvel {

class PictureSurface {
 public:
  PictureSurface() = default;
  PictureSurface(const PictureSurface&) = delete;
  PictureSurface& operator=(const PictureSurface&) = delete;

  // Drops the previous surface and makes a new, all-zero one. False (and no surface) when the
  // size is empty or the memory cannot be had.
  bool Create(std::uint32_t width, std::uint32_t height);
  void Release();

  bool empty() const { return !pixels_; }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  // The pixels handed to the engine: 2 x width x height bytes.
  std::uint8_t* bits() { return reinterpret_cast<std::uint8_t*>(pixels_.get()); }
  const std::uint16_t* pixels() const { return pixels_.get(); }
  // A view of the pixels for painting (null image when there is no surface).
  const QImage& image() const { return image_; }

 private:
  std::unique_ptr<std::uint16_t[]> pixels_;
  QImage image_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
};

}  // namespace tarvel
