// The arithmetic of the video window set: how big the windows are for a picture and a zoom, how
// a picture is fitted and centred in the frame window, and which part of the picture a repaint
// reads. Kept apart from the widgets so that every rule can be checked without a screen.
#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <array>
#include <cstdint>

namespace tarvel {

// Height of the status bar under the picture in a windowed video window.
inline constexpr int kStatusBarHeight = 20;
// Right edges of the two status bar parts.
inline constexpr int kStatusPartEdges[2] = {320, 640};
// The right edges of the status bar parts in a bar `width` pixels wide: the edges above where
// both parts fit, otherwise both parts shrunk in proportion, so that each keeps half the bar.
std::array<int, 2> StatusPartEdges(int width);
// The sunken edge around the frame window when windowed, on each side.
inline constexpr int kClientEdge = 2;

// Picture size on screen: truncate(width x zoom) x truncate(zoom x height).
QSize ZoomedPictureSize(std::uint32_t width, std::uint32_t height, float zoom);

// Client area of the video window for a picture at `zoom`. Windowed, it adds the client edge of
// the frame window (4 pixels each way) and the status bar (20 pixels).
QSize VideoClientSize(std::uint32_t width, std::uint32_t height, float zoom, bool full_screen);

// The zoom at which a windowed video window of a `width` x `height` movie (its client edge and
// status bar, and a window frame of `frame` around it) fits in `room`: `zoom` when it fits
// already, otherwise the largest zoom that fits (single precision, never above `zoom`).
float ZoomThatFits(std::uint32_t width, std::uint32_t height, float zoom, const QSize& room,
                   const QSize& frame);

// Top-left corner that centres `size` in `screen` ((screen - size) / 2, integer division).
QPoint CentredPosition(const QRect& screen, const QSize& size);

// The least part of a window that is kept on a screen: enough to see it and take hold of it.
inline constexpr int kReachableWidth = 100;
inline constexpr int kReachableHeight = 40;

// Where a window whose outer rectangle is `frame` goes so that it can be reached on one of the
// `screens` (their available areas): moved the least onto the screen it overlaps most (or the
// nearest one), so that at least a 100 x 40 part of it (all of a smaller window) is inside and
// its top edge, which carries the title bar, is not above the screen. Unchanged when it is
// reachable already, or when there are no screens.
QPoint KeepReachable(const QRect& frame, const QList<QRect>& screens);
// The available areas of the screens there are now (without panels and docks of the desktop).
QList<QRect> AvailableScreenAreas();

// The fit of a picture in a frame window client area of `client`: the zoom (the smaller of the
// two ratios, single precision) and the picture window's rectangle, centred. The fit is made in
// the device pixels of a screen of `device_ratio` device pixels per pixel (the client's size
// rounded to them, as the window library rounds it): the picture fills the client's width or
// height to the last device pixel, and the zoom is the one in pixels that gives it.
struct PictureFit {
  float zoom = 1.0f;
  QRect picture;
};
// A picture without size keeps `current_zoom` and gets an empty rectangle.
PictureFit FitPicture(const QSize& client, std::uint32_t width, std::uint32_t height,
                      float current_zoom, double device_ratio = 1.0);

// Enlarges or shrinks a `source_width` x `source_height` picture of 32-bit pixels to
// `width` x `height` by repeating or dropping whole rows and columns (never blending): pixel
// (x, y) takes source pixel (x * source_width / width, y * source_height / height).
void ScaleNearest(const std::uint32_t* source, int source_width, int source_height,
                  std::uint32_t* destination, int width, int height);

}  // namespace tarvel
