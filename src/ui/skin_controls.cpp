#include "ui/skin_controls.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cstdlib>

#include "ui/control_ids.h"
#include "ui/panel_logic.h"

namespace tarvel {

SkinControl::SkinControl(QWidget* parent, SkinPanel& panel, ControlSkin* record)
    : QWidget(parent), panel_(panel), record_(record) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::NoFocus);
}

void SkinControl::RedrawNow() {
  repaint();
}

void SkinControl::DrawFromSheet(QPainter& painter, const QRect& area, const SpriteOrigin& origin) {
  painter.drawPixmap(area, record_->sheet,
                     SheetRect(record_->sheet, area.translated(origin.x, origin.y)));
}

// ---------------------------------------------------------------------------------------------

SkinButton::SkinButton(QWidget* parent, SkinPanel& panel, ControlSkin* record)
    : SkinControl(parent, panel, record) {}

void SkinButton::SetChecked(bool checked) {
  if (checked_ == checked) return;
  checked_ = checked;
  update();
}

void SkinButton::Press() {
  switch (record_->kind) {
    case SkinKind::kRadio:
      checked_ = true;
      panel_.UncheckRadioGroup(*record_);
      RedrawNow();
      panel_.commands().Command(record_->control_id);
      break;
    case SkinKind::kToggle:
      checked_ = !checked_;
      RedrawNow();
      panel_.commands().Command(record_->control_id);
      break;
    case SkinKind::kPush:
      pushed_ = true;
      RedrawNow();
      break;
    default:
      break;
  }
}

void SkinButton::Release(bool over_button) {
  if (record_->kind != SkinKind::kPush || !pushed_) return;
  pushed_ = false;
  RedrawNow();
  if (over_button) panel_.commands().Command(record_->control_id);
}

void SkinButton::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  DrawFromSheet(painter, event->rect(), record_->sprites[ButtonState() != 0 ? 1 : 0]);
}

void SkinButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) Press();
}

void SkinButton::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) Press();
}

void SkinButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) Release(rect().contains(event->position().toPoint()));
}

// ---------------------------------------------------------------------------------------------

SkinTrackbar::SkinTrackbar(QWidget* parent, SkinPanel& panel, ControlSkin* record)
    : SkinControl(parent, panel, record) {}

bool SkinTrackbar::vertical() const {
  return record_->sprites[kTrackbarDirection].y != 0;
}

QRect SkinTrackbar::ThumbRect() const {
  return QRect(TrackbarThumbOrigin(size(), record_->sprites[kTrackbarDirection], record_->state),
               QSize(kThumbSize, kThumbSize));
}

void SkinTrackbar::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  DrawFromSheet(painter, event->rect(), record_->sprites[kTrackbarBackground]);
  const SpriteOrigin& thumb = record_->sprites[kTrackbarThumb];
  painter.drawPixmap(ThumbRect(), record_->sheet,
                     SheetRect(record_->sheet, QRect(thumb.x, thumb.y, kThumbSize, kThumbSize)));
}

int SkinTrackbar::PositionAt(const QPoint& point) const {
  // The thumb's centre is 7 pixels into it.
  const QPoint centre = point - grab_offset_ + QPoint(kThumbSize / 2, kThumbSize / 2);
  return vertical() ? TrackbarPositionAt(centre.y(), height(), maximum_)
                    : TrackbarPositionAt(centre.x(), width(), maximum_);
}

void SkinTrackbar::Send(int code, int position) {
  panel_.commands().Scroll(record_->control_id, code, position);
}

void SkinTrackbar::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  pressed_ = true;
  const QPoint point = event->position().toPoint();
  const QRect thumb = ThumbRect();
  if (thumb.contains(point)) {
    dragging_ = true;
    moved_ = false;
    grab_point_ = point;
    grab_offset_ = point - thumb.topLeft();
    return;
  }
  // Beside the thumb: one page towards the pointer.
  const bool before = vertical() ? point.y() < thumb.top() : point.x() < thumb.left();
  Send(before ? kScrollPageUp : kScrollPageDown, record_->state);
}

void SkinTrackbar::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) return;
  const QPoint point = event->position().toPoint();
  if (!moved_ && point == grab_point_) return;
  moved_ = true;
  Send(kScrollThumbTrack, PositionAt(point));
}

void SkinTrackbar::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !pressed_) return;
  pressed_ = false;
  if (dragging_) {
    dragging_ = false;
    const QPoint point = event->position().toPoint();
    // Taken and let go without moving: the thumb stays where it was.
    moved_ = moved_ || point != grab_point_;
    Send(kScrollThumbPosition, moved_ ? PositionAt(point) : record_->state);
  }
  Send(kScrollEndTrack, record_->state);
}

void SkinTrackbar::wheelEvent(QWheelEvent* event) {
  // A notch is 120; touchpads and fine wheels send less at a time, which adds up.
  wheel_delta_ += event->angleDelta().y();
  const int steps = wheel_delta_ / 120;
  wheel_delta_ -= steps * 120;
  for (int i = 0; i < std::abs(steps); ++i)
    Send(steps > 0 ? kScrollLineUp : kScrollLineDown, record_->state);
  event->accept();
}

// ---------------------------------------------------------------------------------------------

SkinSprite::SkinSprite(QWidget* parent, SkinPanel& panel, ControlSkin* record)
    : SkinControl(parent, panel, record) {
  // Pictures on the panel let the mouse through, so the panel can be dragged by them.
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

int SkinSprite::SpriteIndex() const {
  const int state = record_->state;
  return state >= 0 && state < record_->sprite_count ? state : 0;
}

void SkinSprite::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  DrawFromSheet(painter, event->rect(), record_->sprites[static_cast<std::size_t>(SpriteIndex())]);
}

// ---------------------------------------------------------------------------------------------

SkinProgress::SkinProgress(QWidget* parent, SkinPanel& panel, ControlSkin* record)
    : SkinControl(parent, panel, record) {}

void SkinProgress::SeekAt(int x) {
  const std::int32_t frame = ProgressFrameAt(x, width(), count_);
  if (frame < 0 || frame == last_sought_) return;
  last_sought_ = frame;
  panel_.commands().Seek(frame);
}

void SkinProgress::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragging_ = true;
  last_sought_ = -1;
  SeekAt(event->position().toPoint().x());
}

void SkinProgress::mouseMoveEvent(QMouseEvent* event) {
  // The picture follows the pointer while the button is held.
  if (dragging_ && (event->buttons() & Qt::LeftButton)) SeekAt(event->position().toPoint().x());
}

void SkinProgress::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragging_) return;
  dragging_ = false;
  SeekAt(event->position().toPoint().x());
}

void SkinProgress::SetPosition(std::int32_t position) {
  if (record_->state == position) return;
  const int before = FillWidth();
  record_->state = position;
  // Drawn again only when the filled part changes by a pixel or more, and only there.
  const int after = FillWidth();
  if (after != before && !panel_.ShowProgressDirectly(*record_, before, after))
    update(QRect(std::min(before, after), 0, std::abs(after - before), height()));
}

int SkinProgress::FillWidth() const {
  return ProgressFillWidth(record_->state, width(), count_);
}

void SkinProgress::Paint(QPainter& painter, const QRect& area, int fill) {
  DrawFromSheet(painter, area, record_->sprites[0]);
  if (fill > 0) painter.fillRect(QRect(0, 0, fill, 4), kProgressFillColour);
}

void SkinProgress::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  Paint(painter, event->rect(), FillWidth());
}

}  // namespace tarvel
