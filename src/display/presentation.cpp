#include "display/presentation.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <vector>

namespace tarvel {

namespace {

// Truncates toward zero, saturating far outside the range of int.
int TruncateToInt(float value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483520.0f) return 2147483520;
  if (value <= -2147483520.0f) return -2147483520;
  return static_cast<int>(value);
}

}  // namespace

QSize ZoomedPictureSize(std::uint32_t width, std::uint32_t height, float zoom) {
  return QSize(TruncateToInt(static_cast<float>(width) * zoom),
               TruncateToInt(zoom * static_cast<float>(height)));
}

QSize VideoClientSize(std::uint32_t width, std::uint32_t height, float zoom, bool full_screen) {
  QSize size = ZoomedPictureSize(width, height, zoom);
  if (!full_screen) size += QSize(2 * kClientEdge, 2 * kClientEdge + kStatusBarHeight);
  return size;
}

std::array<int, 2> StatusPartEdges(int width) {
  if (width >= kStatusPartEdges[1]) return {kStatusPartEdges[0], kStatusPartEdges[1]};
  const int bar = std::max(width, 0);
  return {bar * kStatusPartEdges[0] / kStatusPartEdges[1], bar};
}

float ZoomThatFits(std::uint32_t width, std::uint32_t height, float zoom, const QSize& room,
                   const QSize& frame) {
  if (width == 0 || height == 0 || room.isEmpty()) return zoom;
  const QSize extra = VideoClientSize(0, 0, 1.0f, false) + frame;
  const QSize window = VideoClientSize(width, height, zoom, false) + frame;
  if (window.width() <= room.width() && window.height() <= room.height()) return zoom;
  const float across =
      static_cast<float>(std::max(room.width() - extra.width(), 1)) / static_cast<float>(width);
  const float down =
      static_cast<float>(std::max(room.height() - extra.height(), 1)) / static_cast<float>(height);
  return std::min(zoom, std::min(across, down));
}

QPoint CentredPosition(const QRect& screen, const QSize& size) {
  return QPoint(screen.x() + (screen.width() - size.width()) / 2,
                screen.y() + (screen.height() - size.height()) / 2);
}

namespace {

// How far `point` lies outside `area` (0 inside), as the sum of both axes.
long long DistanceOutside(const QRect& area, const QPoint& point) {
  const long long dx = std::max({0LL, static_cast<long long>(area.left()) - point.x(),
                                 static_cast<long long>(point.x()) - area.right()});
  const long long dy = std::max({0LL, static_cast<long long>(area.top()) - point.y(),
                                 static_cast<long long>(point.y()) - area.bottom()});
  return dx + dy;
}

}  // namespace

QPoint KeepReachable(const QRect& frame, const QList<QRect>& screens) {
  if (screens.isEmpty()) return frame.topLeft();
  const QRect* screen = &screens.front();
  long long best_overlap = -1;
  long long best_distance = 0;
  for (const QRect& candidate : screens) {
    const QRect common = candidate & frame;
    const long long overlap =
        common.isEmpty() ? 0 : static_cast<long long>(common.width()) * common.height();
    const long long distance = DistanceOutside(candidate, frame.center());
    if (overlap > best_overlap || (overlap == best_overlap && distance < best_distance)) {
      screen = &candidate;
      best_overlap = overlap;
      best_distance = distance;
    }
  }
  const int grip_width = std::min(kReachableWidth, std::max(frame.width(), 1));
  const int grip_height = std::min(kReachableHeight, std::max(frame.height(), 1));
  const long long left = static_cast<long long>(screen->left()) - (frame.width() - grip_width);
  const long long right = static_cast<long long>(screen->right()) + 1 - grip_width;
  const long long bottom = static_cast<long long>(screen->bottom()) + 1 - grip_height;
  const long long x = std::clamp<long long>(frame.x(), std::min(left, right), right);
  const long long y =
      std::clamp<long long>(frame.y(), std::min<long long>(screen->top(), bottom), bottom);
  return QPoint(static_cast<int>(x), static_cast<int>(y));
}

QList<QRect> AvailableScreenAreas() {
  QList<QRect> areas;
  for (const QScreen* screen : QGuiApplication::screens())
    areas.append(screen->availableGeometry());
  return areas;
}

PictureFit FitPicture(const QSize& client, std::uint32_t width, std::uint32_t height,
                      float current_zoom, double device_ratio) {
  PictureFit fit;
  fit.zoom = current_zoom;
  if (width == 0 || height == 0) return fit;
  // Fitted in pixels and then scaled by the window library, a picture could come a device pixel
  // short of the edge it fills (at 1.5, a 640 x 480 movie on a 1280 x 1024 screen was 959 rows
  // high, a black row above it).
  const double ratio = device_ratio > 0.0 ? device_ratio : 1.0;
  const QSize room(std::max(0, static_cast<int>(std::lround(client.width() * ratio))),
                   std::max(0, static_cast<int>(std::lround(client.height() * ratio))));
  const float across = static_cast<float>(room.width()) / static_cast<float>(width);
  const float down = static_cast<float>(room.height()) / static_cast<float>(height);
  const float zoom = std::min(across, down);
  QSize picture = ZoomedPictureSize(width, height, zoom);
  // The side it fills gets the room's size exactly: the quotient above, rounded down, could
  // make it a pixel short (683 / 166 x 166 comes to 682.99...).
  if (across <= down) {
    picture.setWidth(room.width());
  } else {
    picture.setHeight(room.height());
  }
  picture = picture.boundedTo(room);
  const auto to_pixels = [ratio](int device) {
    return static_cast<int>(std::lround(static_cast<double>(device) / ratio));
  };
  const QSize size(to_pixels(picture.width()), to_pixels(picture.height()));
  // Rounded so, it still ends inside the client.
  const QPoint corner(std::max(0, std::min(to_pixels((room.width() - picture.width()) / 2),
                                           client.width() - size.width())),
                      std::max(0, std::min(to_pixels((room.height() - picture.height()) / 2),
                                           client.height() - size.height())));
  fit.zoom = static_cast<float>(std::max(0.0, static_cast<double>(zoom) / ratio));
  fit.picture = QRect(corner, size);
  return fit;
}

void ScaleNearest(const std::uint32_t* source, int source_width, int source_height,
                  std::uint32_t* destination, int width, int height) {
  if (source_width <= 0 || source_height <= 0 || width <= 0 || height <= 0) return;
  std::vector<int> columns(static_cast<std::size_t>(width));
  for (int x = 0; x < width; ++x)
    columns[static_cast<std::size_t>(x)] =
        static_cast<int>(static_cast<long long>(x) * source_width / width);
  for (int y = 0; y < height; ++y) {
    const std::uint32_t* row =
        source + static_cast<std::size_t>(static_cast<long long>(y) * source_height / height) *
                     static_cast<std::size_t>(source_width);
    std::uint32_t* out =
        destination + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int x = 0; x < width; ++x) out[x] = row[columns[static_cast<std::size_t>(x)]];
  }
}

}  // namespace tarvel
