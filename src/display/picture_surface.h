// The picture surface: the 16-bit 5-5-5 picture that the engine decodes into, and the 32-bit
// pictures the picture window shows. Rows of the surface are exactly 2 x width bytes apart,
// row 0 first, each pixel one native 16-bit word with red in bits 10-14, green in 5-9, blue in
// 0-4 and bit 15 zero. A new surface is all zero: key frames may read pixels that no frame has
// written yet, so this is part of playing a movie exactly.
//
// Each presented picture is widened once to 32-bit pixels (the format the screen takes without
// converting again) by Present, on whichever thread presented it, into the one of three
// pictures that is neither shown nor waiting; the window's thread takes the newest one with
// TakeNewPicture. The three are handed over through one atomic word, so neither side waits.
#pragma once

#include <QImage>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/x11_picture_output.h"
#include "video/video_decoder.h"

namespace tarvel {

class PictureSurface {
 public:
  PictureSurface() = default;
  PictureSurface(const PictureSurface&) = delete;
  PictureSurface& operator=(const PictureSurface&) = delete;

  // The most pixels a surface holds: the largest picture a movie may have (8192 x 8192).
  static constexpr std::uint64_t kMaxPixels = std::uint64_t{8192} * 8192;

  // Drops the previous surface and makes a new, all-zero one, shown black. False (and no
  // surface) when the size is empty or above kMaxPixels, or the memory cannot be had. Not
  // while pictures are being presented. With `x11_connection` (an xcb connection) the 32-bit
  // pictures are made in memory shared with that X server (see ShowShared).
  bool Create(std::uint32_t width, std::uint32_t height, void* x11_connection = nullptr);
  void Release();

  bool empty() const { return !pixels_; }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  // The pixels handed to the engine: 2 x width x height bytes.
  std::uint8_t* bits() { return reinterpret_cast<std::uint8_t*>(pixels_.get()); }
  const std::uint16_t* pixels() const { return pixels_.get(); }

  // A new picture of the surface's size is ready (from any thread): it is widened into the
  // free picture, which then waits to be shown. Pixels are 5-5-5, or 5-6-5 with `format565`.
  // `changes` names the 8x8 blocks in which it may differ from the picture presented before
  // it: only the blocks that changed since the free picture was last widened are widened again.
  void Present(const std::uint16_t* pixels, bool format565 = false,
               const BlockChanges& changes = BlockChanges{});
  // The surface itself was drawn into: the same for its own pixels.
  void Present() { Present(pixels_.get()); }
  // A picture that is not to be shown changed the blocks `changes` names: the next Present
  // widens them too, although its own changes leave them out.
  void Skip(const BlockChanges& changes);
  // On the window's thread: the waiting picture, if any, becomes the one shown. True when it
  // changed.
  bool TakeNewPicture();
  // The picture shown (null image when there is no surface).
  const QImage& image() const { return shown_image_; }
  // The pictures are shared with an X server: the shown one can be put into a window by it.
  bool shared() const { return shared_ != nullptr; }
  // Puts `area` of the shown picture into the X window `window` at `to`, by the server.
  bool ShowShared(std::uint32_t window, const QRect& area, const QPoint& to);

 private:
  // The three pictures' states in one word: bits 0-1 the picture waiting, bit 2 set when it is
  // newer than the one shown.
  static constexpr unsigned kNewer = 4;
  static constexpr std::size_t kPictures = 3;

  // Numbers a new picture and notes the blocks it changed; returns its number.
  std::uint32_t Record(const BlockChanges& changes);
  // Widens the blocks of `pixels` that changed after present number `since` into `picture`.
  void WidenChangedBlocks(const std::uint16_t* pixels, bool format565, std::uint32_t since,
                          std::uint32_t* picture) const;

  std::unique_ptr<std::uint16_t[]> pixels_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::array<std::unique_ptr<std::uint32_t[]>, 3> owned_;
  std::unique_ptr<X11PictureOutput> shared_;
  std::array<std::uint32_t*, 3> pictures_{};  // in owned_ or in shared_
  std::array<QImage, 3> images_;  // views of pictures_, used on the window's thread only
  QImage shown_image_;
  unsigned shown_ = 0;    // the window's thread's picture
  unsigned drawing_ = 1;  // the presenting thread's picture
  std::atomic<unsigned> waiting_{2};

  // What each picture holds, kept by the presenting thread: presents (and skips) are numbered
  // from 1; a block's number is that of the last present that changed it, and a picture's that
  // of the present widened into it (0: none, nothing known of it). Blocks only when the size is
  // a whole number of blocks.
  std::uint32_t presents_ = 0;
  std::uint32_t whole_change_ = 0;  // the last present that changed every block
  std::vector<std::uint32_t> block_changed_at_;
  std::array<std::uint32_t, kPictures> widened_at_{};
  std::array<bool, kPictures> widened_565_{};
};

}  // namespace tarvel
