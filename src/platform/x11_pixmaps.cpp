#include "platform/x11_pixmaps.h"

#if TARVEL_X11_OUTPUT
#include <xcb/xcb.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#endif

namespace tarvel {

#if TARVEL_X11_OUTPUT

namespace {

// The visual `id` of the screens of `setup`, if it is true colour with 8 bits a component at the
// usual places.
bool PlainTrueColour(const xcb_setup_t* setup, xcb_visualid_t id) {
  for (xcb_screen_iterator_t screen = xcb_setup_roots_iterator(setup); screen.rem;
       xcb_screen_next(&screen)) {
    for (xcb_depth_iterator_t depth = xcb_screen_allowed_depths_iterator(screen.data); depth.rem;
         xcb_depth_next(&depth)) {
      for (xcb_visualtype_iterator_t visual = xcb_depth_visuals_iterator(depth.data); visual.rem;
           xcb_visualtype_next(&visual)) {
        if (visual.data->visual_id != id) continue;
        return visual.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
               visual.data->red_mask == 0xFF0000u && visual.data->green_mask == 0x00FF00u &&
               visual.data->blue_mask == 0x0000FFu;
      }
    }
  }
  return false;
}

// Whether the server keeps pixels of `depth` as 32-bit words with no padding past a row.
bool WordPixels(const xcb_setup_t* setup, std::uint8_t depth) {
  for (xcb_format_iterator_t format = xcb_setup_pixmap_formats_iterator(setup); format.rem;
       xcb_format_next(&format)) {
    if (format.data->depth == depth)
      return format.data->bits_per_pixel == 32 && format.data->scanline_pad == 32;
  }
  return false;
}

}  // namespace

std::uint8_t X11WordPixelDepth(void* connection, std::uint32_t window) {
  auto* xcb = static_cast<xcb_connection_t*>(connection);
  if (xcb == nullptr || window == 0) return 0;
  const xcb_setup_t* setup = xcb_get_setup(xcb);
  const std::uint8_t ours = std::endian::native == std::endian::little ? XCB_IMAGE_ORDER_LSB_FIRST
                                                                       : XCB_IMAGE_ORDER_MSB_FIRST;
  if (setup == nullptr || setup->image_byte_order != ours) return 0;
  xcb_get_geometry_reply_t* geometry =
      xcb_get_geometry_reply(xcb, xcb_get_geometry(xcb, window), nullptr);
  xcb_get_window_attributes_reply_t* attributes =
      xcb_get_window_attributes_reply(xcb, xcb_get_window_attributes(xcb, window), nullptr);
  const std::uint8_t depth = geometry != nullptr ? geometry->depth : 0;
  const bool plain = attributes != nullptr && PlainTrueColour(setup, attributes->visual);
  std::free(geometry);
  std::free(attributes);
  return (depth == 24 || depth == 32) && plain && WordPixels(setup, depth) ? depth : 0;
}

std::unique_ptr<X11Pixmaps> X11Pixmaps::Create(void* connection, std::uint32_t window) {
  const std::uint8_t depth = X11WordPixelDepth(connection, window);
  if (depth == 0) return nullptr;
  auto* xcb = static_cast<xcb_connection_t*>(connection);
  std::unique_ptr<X11Pixmaps> pixmaps(new X11Pixmaps);
  pixmaps->connection_ = connection;
  pixmaps->window_ = window;
  pixmaps->depth_ = depth;
  pixmaps->gc_ = xcb_generate_id(xcb);
  // Copies never ask for exposure events: every part copied from lies inside its pixmap.
  const std::uint32_t no_exposures = 0;
  xcb_create_gc(xcb, pixmaps->gc_, window, XCB_GC_GRAPHICS_EXPOSURES, &no_exposures);
  return pixmaps;
}

X11Pixmaps::~X11Pixmaps() {
  auto* xcb = static_cast<xcb_connection_t*>(connection_);
  for (const Pixmap& pixmap : pixmaps_) xcb_free_pixmap(xcb, pixmap.id);
  if (gc_ != 0) xcb_free_gc(xcb, gc_);
  xcb_flush(xcb);
}

int X11Pixmaps::Add(const std::uint32_t* pixels, int width, int height, int stride) {
  auto* xcb = static_cast<xcb_connection_t*>(connection_);
  if (pixels == nullptr || width <= 0 || height <= 0 || width > 0x7FFF || height > 0x7FFF ||
      stride < width)
    return -1;
  const std::uint32_t id = xcb_generate_id(xcb);
  xcb_create_pixmap(xcb, depth_, id, window_, static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(height));
  // In bands of rows that each fit in one request (the limit counts 4-byte units; a few are the
  // request's own fields).
  const std::uint32_t request_words = xcb_get_maximum_request_length(xcb);
  const int band = static_cast<int>(std::clamp<std::uint32_t>(
      (request_words - 8) / static_cast<std::uint32_t>(width), 1, 0x7FFF));
  std::vector<std::uint32_t> rows;
  for (int y = 0; y < height; y += band) {
    const int count = std::min(band, height - y);
    rows.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(count));
    for (int row = 0; row < count; ++row)
      std::copy_n(pixels + static_cast<std::size_t>(y + row) * static_cast<std::size_t>(stride),
                  width, rows.begin() + static_cast<std::ptrdiff_t>(row) * width);
    xcb_put_image(xcb, XCB_IMAGE_FORMAT_Z_PIXMAP, id, gc_, static_cast<std::uint16_t>(width),
                  static_cast<std::uint16_t>(count), 0, static_cast<std::int16_t>(y), 0, depth_,
                  static_cast<std::uint32_t>(rows.size() * sizeof(std::uint32_t)),
                  reinterpret_cast<const std::uint8_t*>(rows.data()));
  }
  pixmaps_.push_back(Pixmap{id, width, height});
  return static_cast<int>(pixmaps_.size()) - 1;
}

bool X11Pixmaps::Copy(int index, int x, int y, int w, int h, int to_x, int to_y) {
  if (index < 0 || static_cast<std::size_t>(index) >= pixmaps_.size()) return false;
  const Pixmap& pixmap = pixmaps_[static_cast<std::size_t>(index)];
  if (x < 0 || y < 0 || w <= 0 || h <= 0 || x + w > pixmap.width || y + h > pixmap.height ||
      to_x < -0x8000 || to_x > 0x7FFF || to_y < -0x8000 || to_y > 0x7FFF)
    return false;
  xcb_copy_area(static_cast<xcb_connection_t*>(connection_), pixmap.id, window_, gc_,
                static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                static_cast<std::int16_t>(to_x), static_cast<std::int16_t>(to_y),
                static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h));
  return true;
}

void X11Pixmaps::Flush() {
  xcb_flush(static_cast<xcb_connection_t*>(connection_));
}

#else  // built without the X11 libraries: the windows paint everything themselves

std::uint8_t X11WordPixelDepth(void*, std::uint32_t) {
  return 0;
}
std::unique_ptr<X11Pixmaps> X11Pixmaps::Create(void*, std::uint32_t) {
  return nullptr;
}
X11Pixmaps::~X11Pixmaps() = default;
int X11Pixmaps::Add(const std::uint32_t*, int, int, int) {
  return -1;
}
bool X11Pixmaps::Copy(int, int, int, int, int, int, int) {
  return false;
}
void X11Pixmaps::Flush() {}

#endif

}  // namespace tarvel
