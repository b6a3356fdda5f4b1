// Pictures kept by an X11 server and copied into a window by the server itself: once a picture
// is uploaded, showing part of it costs one small request and no pixels.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tarvel {

// The depth of the X window `window` of `connection` (the program's xcb connection) when it
// keeps its pixels as 32-bit words that this process writes as it keeps them (0xFFRRGGBB):
// 24 or 32, true colour with 8 bits a component at the usual places, the server's byte order
// ours. 0 for any other window.
std::uint8_t X11WordPixelDepth(void* connection, std::uint32_t window);

class X11Pixmaps {
 public:
  // Pixmaps for `window` on the server of `connection` (the program's xcb connection). Null
  // unless the window takes 32-bit words (X11WordPixelDepth).
  static std::unique_ptr<X11Pixmaps> Create(void* connection, std::uint32_t window);
  ~X11Pixmaps();
  X11Pixmaps(const X11Pixmaps&) = delete;
  X11Pixmaps& operator=(const X11Pixmaps&) = delete;

  std::uint32_t window() const { return window_; }
  // Uploads `width` x `height` pixels (0xFFRRGGBB, `stride` words a row) as a new pixmap and
  // returns its index; -1 when the size is out of range.
  int Add(const std::uint32_t* pixels, int width, int height, int stride);
  // Asks the server to copy the part `x`, `y`, `w`, `h` of pixmap `index` into the window at
  // (`to_x`, `to_y`); sent at the next Flush (or whenever the connection is flushed). False when
  // the part is not all inside the pixmap.
  bool Copy(int index, int x, int y, int w, int h, int to_x, int to_y);
  // Sends what was asked for.
  void Flush();

 private:
  X11Pixmaps() = default;

  struct Pixmap {
    std::uint32_t id;
    int width;
    int height;
  };
  void* connection_ = nullptr;
  std::uint32_t window_ = 0;
  std::uint8_t depth_ = 0;
  std::uint32_t gc_ = 0;
  std::vector<Pixmap> pixmaps_;
};

}  // namespace tarvel
