#include "ui/direct_counters.h"

#include <QEvent>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <QWindow>
#include <algorithm>

#include "platform/x11_pixmaps.h"
#include "ui/skin_controls.h"

namespace tarvel {

DirectCounters::DirectCounters(QWidget* panel) : panel_(panel) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
  if (const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
    connection_ = x11->connection();
}

DirectCounters::~DirectCounters() = default;

void DirectCounters::SetLive(bool live) {
  live_ = live;
  if (!live_) UpdateStale();
}

bool DirectCounters::Ready() {
  if (!live_ || connection_ == nullptr || !panel_->isVisible()) return false;
  QWindow* window = panel_->windowHandle();
  if (window == nullptr || !window->isExposed() || panel_->devicePixelRatioF() != 1.0) return false;
  const WId id = window->winId();
  if (pixmaps_ && window_ == window && pixmaps_->window() == id) return true;
  if (id == refused_window_) return false;
  // A window of its own (the panel's window was made again): new pixmaps, and its exposes
  // watched.
  UpdateStale();
  if (window_ != nullptr) window_->removeEventFilter(this);
  pixmaps_.reset();
  sheets_.clear();
  full_progress_ = -1;
  window_ = window;
  window->installEventFilter(this);
  pixmaps_ = X11Pixmaps::Create(connection_, static_cast<std::uint32_t>(id));
  if (!pixmaps_) refused_window_ = id;
  return pixmaps_ != nullptr;
}

int DirectCounters::SheetPixmap(const ControlSkin& record) {
  for (const auto& [sheet, pixmap] : sheets_)
    if (sheet == record.sheet_id) return pixmap;
  int pixmap = -1;
  // A sheet drawn at another scale, or one that is blended with what lies under it, is left to
  // Qt.
  if (!record.sheet.isNull() && record.sheet.devicePixelRatio() == 1.0 &&
      !record.sheet.hasAlphaChannel()) {
    const QImage image = record.sheet.toImage().convertToFormat(QImage::Format_RGB32);
    pixmap = pixmaps_->Add(reinterpret_cast<const std::uint32_t*>(image.constBits()), image.width(),
                           image.height(), static_cast<int>(image.bytesPerLine() / 4));
  }
  sheets_.emplace_back(record.sheet_id, pixmap);
  return pixmap;
}

int DirectCounters::FullProgressPixmap(const ControlSkin& record) {
  if (full_progress_ >= 0 || record.sheet.isNull()) return full_progress_;
  auto* bar = dynamic_cast<SkinProgress*>(record.control);
  if (bar == nullptr) return -1;
  // The bar filled all the way, painted by the bar itself.
  QImage image(bar->size(), QImage::Format_RGB32);
  image.fill(Qt::black);
  {
    QPainter painter(&image);
    bar->Paint(painter, image.rect(), image.width());
  }
  full_progress_ =
      pixmaps_->Add(reinterpret_cast<const std::uint32_t*>(image.constBits()), image.width(),
                    image.height(), static_cast<int>(image.bytesPerLine() / 4));
  return full_progress_;
}

bool DirectCounters::ShowSprite(const ControlSkin& record, int sprite) {
  bool shown = false;
  if (Ready() && record.control != nullptr && record.control->isVisible()) {
    const QRect place = record.control->geometry();
    const SpriteOrigin& origin = record.sprites[static_cast<std::size_t>(sprite)];
    shown = pixmaps_->Copy(SheetPixmap(record), origin.x, origin.y, place.width(), place.height(),
                           place.x(), place.y());
  }
  if (!shown) {
    UpdateStale();
    return false;
  }
  MarkStale(record.control);
  return true;
}

bool DirectCounters::ShowProgress(const ControlSkin& record, int before, int after) {
  bool shown = false;
  if (Ready() && record.control != nullptr && record.control->isVisible()) {
    const QRect place = record.control->geometry();
    const SpriteOrigin& origin = record.sprites[0];
    const int left = std::clamp(std::min(before, after), 0, place.width());
    const int right = std::clamp(std::max(before, after), 0, place.width());
    const int sheet = SheetPixmap(record);
    // The whole bar must be on the sheet, as it is when Qt paints it.
    shown =
        sheet >= 0 && record.sheet.rect().contains(QRect(QPoint(origin.x, origin.y), place.size()));
    if (shown && right > left) {
      // Columns left of the new fill show the filled bar, the others the bare sheet.
      shown = after > before ? pixmaps_->Copy(FullProgressPixmap(record), left, 0, right - left,
                                              place.height(), place.x() + left, place.y())
                             : pixmaps_->Copy(sheet, origin.x + left, origin.y, right - left,
                                              place.height(), place.x() + left, place.y());
    }
  }
  if (!shown) {
    UpdateStale();
    return false;
  }
  MarkStale(record.control);
  return true;
}

void DirectCounters::Flush() {
  if (!drawn_) return;
  drawn_ = false;
  if (pixmaps_) pixmaps_->Flush();
}

void DirectCounters::Forget() {
  stale_.clear();
  sheets_.clear();
  full_progress_ = -1;
  // The pixmaps go with the skin; the window stays watched.
  if (pixmaps_) {
    const QPointer<QWindow> window = window_;
    pixmaps_.reset();
    if (window != nullptr) window->removeEventFilter(this);
    window_ = nullptr;
  }
}

bool DirectCounters::eventFilter(QObject* watched, QEvent* event) {
  // Qt answers an expose by sending its backing store again without painting anything that is
  // not marked as changed: the counters drawn past it are marked first.
  if (watched == window_ && event->type() == QEvent::Expose) UpdateStale();
  return QObject::eventFilter(watched, event);
}

void DirectCounters::MarkStale(QWidget* control) {
  drawn_ = true;
  for (const QPointer<QWidget>& widget : stale_)
    if (widget == control) return;
  stale_.emplace_back(control);
}

void DirectCounters::UpdateStale() {
  for (const QPointer<QWidget>& widget : stale_)
    if (widget != nullptr) widget->update();
  stale_.clear();
}

}  // namespace tarvel
