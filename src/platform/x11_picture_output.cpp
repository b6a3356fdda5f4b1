#include "platform/x11_picture_output.h"

#include "platform/x11_pixmaps.h"

#if TARVEL_X11_OUTPUT
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#endif

namespace tarvel {

#if TARVEL_X11_OUTPUT

namespace {

xcb_connection_t* Connection(void* connection) {
  return static_cast<xcb_connection_t*>(connection);
}

}  // namespace

std::unique_ptr<X11PictureOutput> X11PictureOutput::Create(void* connection, int width, int height,
                                                           int count) {
  xcb_connection_t* xcb = Connection(connection);
  if (xcb == nullptr || width <= 0 || height <= 0 || count <= 0) return nullptr;
  // The pictures are 32-bit words: windows of 16 bits a pixel (or of another layout) on any of
  // the server's screens are painted by the program instead.
  for (xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(xcb)); screen.rem;
       xcb_screen_next(&screen)) {
    if (X11WordPixelDepth(connection, screen.data->root) == 0) return nullptr;
  }
  // Shared memory handed over as a file descriptor (MIT-SHM 1.2), which only a server on this
  // machine can map.
  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(xcb, &xcb_shm_id);
  if (shm == nullptr || !shm->present) return nullptr;
  xcb_shm_query_version_reply_t* version =
      xcb_shm_query_version_reply(xcb, xcb_shm_query_version(xcb), nullptr);
  const bool fd_passing =
      version != nullptr &&
      (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 2));
  std::free(version);
  if (!fd_passing) return nullptr;

  std::unique_ptr<X11PictureOutput> output(new X11PictureOutput);
  output->connection_ = connection;
  output->width_ = width;
  output->height_ = height;
  output->count_ = count;
  output->memory_size_ = std::size_t{4} * static_cast<std::size_t>(width) *
                         static_cast<std::size_t>(height) * static_cast<std::size_t>(count);
  const int file = memfd_create("tarvel-pictures", MFD_CLOEXEC);
  if (file < 0) return nullptr;
  void* memory = MAP_FAILED;
  if (ftruncate(file, static_cast<off_t>(output->memory_size_)) == 0)
    memory = mmap(nullptr, output->memory_size_, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
  if (memory == MAP_FAILED) {
    close(file);
    return nullptr;
  }
  output->memory_ = static_cast<std::uint8_t*>(memory);
  output->segment_ = xcb_generate_id(xcb);
  // The server takes the descriptor (xcb closes it once sent).
  xcb_generic_error_t* error = xcb_request_check(
      xcb, xcb_shm_attach_fd_checked(xcb, output->segment_, file, /*read_only=*/1));
  if (error != nullptr) {
    std::free(error);
    output->segment_ = 0;
    return nullptr;
  }
  return output;
}

X11PictureOutput::~X11PictureOutput() {
  xcb_connection_t* xcb = Connection(connection_);
  Settle();
  if (gc_ != 0) xcb_free_gc(xcb, gc_);
  if (segment_ != 0) {
    xcb_shm_detach(xcb, segment_);
    // The server lets go of the memory before it is unmapped here.
    std::free(xcb_get_input_focus_reply(xcb, xcb_get_input_focus(xcb), nullptr));
  }
  if (memory_ != nullptr) munmap(memory_, memory_size_);
}

std::uint32_t* X11PictureOutput::Pixels(int index) const {
  if (index < 0 || index >= count_) return nullptr;
  return reinterpret_cast<std::uint32_t*>(memory_) + static_cast<std::size_t>(index) *
                                                         static_cast<std::size_t>(width_) *
                                                         static_cast<std::size_t>(height_);
}

bool X11PictureOutput::Show(std::uint32_t window, int index, int x, int y, int w, int h, int to_x,
                            int to_y) {
  xcb_connection_t* xcb = Connection(connection_);
  if (index < 0 || index >= count_ || x < 0 || y < 0 || w <= 0 || h <= 0 || x + w > width_ ||
      y + h > height_)
    return false;
  if (window != gc_window_) {
    if (gc_ != 0) xcb_free_gc(xcb, gc_);
    gc_ = 0;
    gc_window_ = window;
    depth_ = X11WordPixelDepth(connection_, window);
    if (depth_ == 0) return false;
    gc_ = xcb_generate_id(xcb);
    // No exposure events for copies into a window partly covered.
    const std::uint32_t no_exposures = 0;
    xcb_create_gc(xcb, gc_, window, XCB_GC_GRAPHICS_EXPOSURES, &no_exposures);
  }
  if (gc_ == 0) return false;
  // The pictures lie one under the other in the segment.
  xcb_shm_put_image(xcb, window, gc_, static_cast<std::uint16_t>(width_),
                    static_cast<std::uint16_t>(height_ * count_), static_cast<std::uint16_t>(x),
                    static_cast<std::uint16_t>(y + index * height_), static_cast<std::uint16_t>(w),
                    static_cast<std::uint16_t>(h), static_cast<std::int16_t>(to_x),
                    static_cast<std::int16_t>(to_y), depth_, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, segment_,
                    0);
  // Answered once the server has got this far; read at Settle, not waited for now.
  Settle();
  pending_ = xcb_get_input_focus(xcb).sequence;
  xcb_flush(xcb);
  return true;
}

void X11PictureOutput::Settle() {
  if (pending_ == 0) return;
  xcb_get_input_focus_cookie_t cookie{pending_};
  pending_ = 0;
  std::free(xcb_get_input_focus_reply(Connection(connection_), cookie, nullptr));
}

#else  // built without the X11 libraries: pictures are always painted by the windows

std::unique_ptr<X11PictureOutput> X11PictureOutput::Create(void*, int, int, int) {
  return nullptr;
}
X11PictureOutput::~X11PictureOutput() = default;
std::uint32_t* X11PictureOutput::Pixels(int) const {
  return nullptr;
}
bool X11PictureOutput::Show(std::uint32_t, int, int, int, int, int, int, int) {
  return false;
}
void X11PictureOutput::Settle() {}

#endif

}  // namespace tarvel
