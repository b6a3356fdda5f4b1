// Pictures shown in an X11 window straight from memory shared with the X server: the server
// copies a picture into the window itself, so showing one costs this process a small request
// and not a copy of its pixels.
#pragma once

#include <cstdint>
#include <memory>

namespace tarvel {

class X11PictureOutput {
 public:
  // `count` pictures of `width` x `height` 32-bit pixels (0xFFRRGGBB) in memory shared with the
  // server of `connection` (the program's xcb connection). Null when the server cannot share
  // memory with this process (another machine, no MIT-SHM), when its screens do not keep
  // pixels as such words (X11WordPixelDepth: a screen of 16 bits, say), or the memory cannot
  // be had.
  static std::unique_ptr<X11PictureOutput> Create(void* connection, int width, int height,
                                                  int count);
  ~X11PictureOutput();
  X11PictureOutput(const X11PictureOutput&) = delete;
  X11PictureOutput& operator=(const X11PictureOutput&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  // Picture `index`: width x height words, rows back to back.
  std::uint32_t* Pixels(int index) const;

  // Asks the server to copy the part `x`, `y`, `w`, `h` of picture `index` into `window` at
  // (`to_x`, `to_y`). The server reads the picture afterwards, until Settle. False when the
  // window cannot take it (X11WordPixelDepth).
  bool Show(std::uint32_t window, int index, int x, int y, int w, int h, int to_x, int to_y);
  // Waits until the server has done every copy asked for, so that the pictures may be written
  // again. By the time the next picture comes the server has long answered: this rarely waits.
  void Settle();

 private:
  X11PictureOutput() = default;

  void* connection_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  int count_ = 0;
  std::uint32_t segment_ = 0;
  std::uint8_t* memory_ = nullptr;
  std::size_t memory_size_ = 0;
  // The graphics context of the window last shown into, and that window's depth.
  std::uint32_t gc_ = 0;
  std::uint32_t gc_window_ = 0;
  std::uint8_t depth_ = 0;
  // The request whose answer tells that the copies asked for so far are done (0: none).
  unsigned int pending_ = 0;
};

}  // namespace tarvel
