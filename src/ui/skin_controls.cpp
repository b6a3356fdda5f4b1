#include "ui/skin_controls.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

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

namespace {

// The readout that the digit, caption or indicator `id` is part of: the frame counter, the
// time code and the frame rate are read whole by their captions, the sound format by its two
// indicators. kIdNone for the rest (the colon and points between digits).
int ReadoutOf(int id) {
  for (const int digit : kIdCounterDigits)
    if (id == digit) return kIdFrameCaption;
  switch (id) {
    case kIdFrameCaption:
    case kIdTimeCodeCaption:
    case kIdRateCaption:
    case kIdChannels:
    case kIdSampleRate:
      return id;
    case kIdMinutesTens:
    case kIdMinutesUnits:
    case kIdSecondsTens:
    case kIdSecondsUnits:
    case kIdFramesTens:
    case kIdFramesUnits:
      return kIdTimeCodeCaption;
    case kIdRateTens:
    case kIdRateUnits:
    case kIdRateTenths:
      return kIdRateCaption;
    default:
      return kIdNone;
  }
}

// What a readout shows, in words: "Frame 123", "Time Code 01:05.12", "12.5 frames per second",
// "Stereo", "22 kHz"; empty where it shows nothing (the sound format of a silent movie).
QString ReadoutText(SkinPanel& panel, int readout) {
  // The sprite a record draws, as SkinSprite::SpriteIndex picks it.
  auto shown = [&panel](int id) {
    const ControlSkin* record = panel.FindRecord(id);
    if (record == nullptr) return 0;
    return record->state >= 0 && record->state < record->sprite_count ? record->state : 0;
  };
  switch (readout) {
    case kIdFrameCaption: {
      int frame = 0;
      for (const int digit : kIdCounterDigits) frame = frame * 10 + shown(digit);
      return QStringLiteral("Frame %1").arg(frame);
    }
    case kIdTimeCodeCaption:
      return QStringLiteral("Time Code %1%2:%3%4.%5%6")
          .arg(shown(kIdMinutesTens))
          .arg(shown(kIdMinutesUnits))
          .arg(shown(kIdSecondsTens))
          .arg(shown(kIdSecondsUnits))
          .arg(shown(kIdFramesTens))
          .arg(shown(kIdFramesUnits));
    case kIdRateCaption:
      return QStringLiteral("%1.%2 frames per second")
          .arg(shown(kIdRateTens) * 10 + shown(kIdRateUnits))
          .arg(shown(kIdRateTenths));
    case kIdChannels: {
      static const char* const kNames[] = {"", "Mono", "Stereo"};
      return QString::fromLatin1(kNames[std::clamp(shown(kIdChannels), 0, 2)]);
    }
    case kIdSampleRate: {
      static const char* const kNames[] = {"", "44 kHz", "22 kHz", "11 kHz"};
      return QString::fromLatin1(kNames[std::clamp(shown(kIdSampleRate), 0, 3)]);
    }
    default:
      return QString();
  }
}

// What assistive tools see of a button, a trackbar or the progress bar: the role of its kind,
// the name of its tooltip without the keys, its check, and the trackbars' and the bar's values
// (the volume's top is its loudest, as the thumb shows it). Pressing and setting a value do
// what the mouse does. The counters are read as text by their captions and the sound format by
// its indicators; the single digits and the marks between them are hidden.
class SkinAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit SkinAccessible(SkinControl* control)
      : QAccessibleWidget(control, RoleOf(control->record())) {}

  static QAccessible::Role RoleOf(const ControlSkin& record) {
    if (ReadoutOf(record.control_id) == record.control_id) return QAccessible::StaticText;
    switch (record.kind) {
      case SkinKind::kRadio:
        return QAccessible::RadioButton;
      case SkinKind::kToggle:
        return QAccessible::CheckBox;
      case SkinKind::kPush:
        return QAccessible::Button;
      case SkinKind::kTrackbar:
        return QAccessible::Slider;
      case SkinKind::kProgress:
        return QAccessible::ProgressBar;
      default:
        return QAccessible::Graphic;
    }
  }

  QString text(QAccessible::Text t) const override {
    if (t != QAccessible::Name || !widget()->accessibleName().isEmpty())
      return QAccessibleWidget::text(t);
    if (record().kind == SkinKind::kProgress) return QStringLiteral("Progress");
    if (role() == QAccessible::StaticText)
      return ReadoutText(static_cast<SkinControl*>(widget())->panel(), record().control_id);
    const QString tip = QString::fromLatin1(record().tooltip);
    const qsizetype keys = tip.indexOf(QLatin1String(" ("));
    return keys < 0 ? tip : tip.left(keys);
  }

  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    if (const SkinButton* button = Button()) {
      state.checkable = record().kind != SkinKind::kPush;
      state.checked = button->checked();
      state.pressed = button->pushed();
    }
    state.invisible = state.invisible || role() == QAccessible::Graphic ||
                      (role() == QAccessible::StaticText && text(QAccessible::Name).isEmpty());
    return state;
  }

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface &&
        (role() == QAccessible::Slider || role() == QAccessible::ProgressBar))
      return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QStringList actionNames() const override {
    if (Button() == nullptr) return QAccessibleWidget::actionNames();
    return QAccessibleWidget::actionNames() << pressAction();
  }

  void doAction(const QString& name) override {
    SkinButton* button = Button();
    if (button == nullptr || name != pressAction()) return QAccessibleWidget::doAction(name);
    // The press comes after the tool has had its answer, as a click would: a button that opens
    // a dialog (Options, Open Files) holds the press until the dialog closes, and the tool
    // would wait for it all that time. A button disabled by then takes no clicks.
    QMetaObject::invokeMethod(
        button,
        [button] {
          if (!button->isEnabled()) return;
          button->Press();
          button->Release(true);
        },
        Qt::QueuedConnection);
  }

  QVariant currentValue() const override {
    if (const auto* bar = Trackbar())
      return bar->ValueAt(bar->vertical() ? bar->maximum() - record().state : record().state);
    return record().state;
  }

  void setCurrentValue(const QVariant& value) override {
    if (auto* bar = Trackbar()) {
      // The position whose value is nearest: the Frame Rate's bottom plays at 1 frame per
      // second, above its next position's 0.5, so a step down from 0.5 stays there.
      const double wanted = value.toDouble();
      int position =
          std::clamp(static_cast<int>(std::lround(wanted / bar->value_step())), 0, bar->maximum());
      for (int other = 0; other <= bar->maximum(); ++other)
        if (std::abs(bar->ValueAt(other) - wanted) < std::abs(bar->ValueAt(position) - wanted))
          position = other;
      bar->ScrollTo(bar->vertical() ? bar->maximum() - position : position);
    } else if (auto* progress = dynamic_cast<SkinProgress*>(widget());
               progress != nullptr && progress->count() > 0) {
      // The value is the frame's number as the counter shows it, one more than its index.
      progress->SeekTo(std::clamp(value.toInt() - 1, 0, progress->count() - 1));
    }
  }

  QVariant maximumValue() const override {
    if (const auto* bar = Trackbar()) return ValueRange(*bar).second;
    return static_cast<const SkinProgress*>(widget())->count();
  }
  QVariant minimumValue() const override {
    if (const auto* bar = Trackbar()) return ValueRange(*bar).first;
    return 0;
  }
  QVariant minimumStepSize() const override {
    if (const auto* bar = Trackbar()) return bar->value_step();
    return 1;
  }

 private:
  const ControlSkin& record() const { return static_cast<SkinControl*>(widget())->record(); }
  SkinButton* Button() const { return dynamic_cast<SkinButton*>(widget()); }
  SkinTrackbar* Trackbar() const { return dynamic_cast<SkinTrackbar*>(widget()); }
  // The least and the greatest value a position of `bar` stands for.
  static std::pair<double, double> ValueRange(const SkinTrackbar& bar) {
    std::pair<double, double> range{bar.ValueAt(0), bar.ValueAt(0)};
    for (int position = 1; position <= bar.maximum(); ++position) {
      range.first = std::min(range.first, bar.ValueAt(position));
      range.second = std::max(range.second, bar.ValueAt(position));
    }
    return range;
  }
};

QAccessibleInterface* SkinAccessibleFactory(const QString&, QObject* object) {
  auto* control = dynamic_cast<SkinControl*>(object);
  return control != nullptr ? new SkinAccessible(control) : nullptr;
}

}  // namespace

void InstallSkinAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(SkinAccessibleFactory);
    return true;
  }();
  (void)installed;
}

void SkinControl::AnnounceChange() {
  if (!QAccessible::isActive()) return;
  if (dynamic_cast<SkinButton*>(this) != nullptr) {
    QAccessible::State changed;
    changed.checked = true;
    changed.pressed = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
  } else if (const int readout = ReadoutOf(record_->control_id); readout != kIdNone) {
    // A digit changed what its counter reads.
    if (const ControlSkin* shown = panel_.FindRecord(readout);
        shown != nullptr && shown->control != nullptr) {
      QAccessibleEvent event(shown->control, QAccessible::NameChanged);
      QAccessible::updateAccessibility(&event);
    }
  } else if (QAccessibleInterface* self = QAccessible::queryAccessibleInterface(this)) {
    if (QAccessibleValueInterface* value = self->valueInterface()) {
      QAccessibleValueChangeEvent event(this, value->currentValue());
      QAccessible::updateAccessibility(&event);
    }
  }
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
  AnnounceChange();
}

void SkinButton::Press() {
  switch (record_->kind) {
    case SkinKind::kRadio:
      checked_ = true;
      panel_.UncheckRadioGroup(*record_);
      RedrawNow();
      AnnounceChange();
      panel_.commands().Command(record_->control_id);
      break;
    case SkinKind::kToggle:
      checked_ = !checked_;
      RedrawNow();
      AnnounceChange();
      panel_.commands().Command(record_->control_id);
      break;
    case SkinKind::kPush:
      pushed_ = true;
      RedrawNow();
      AnnounceChange();
      break;
    default:
      break;
  }
}

void SkinButton::Release(bool over_button) {
  if (record_->kind != SkinKind::kPush || !pushed_) return;
  pushed_ = false;
  RedrawNow();
  AnnounceChange();
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

void SkinTrackbar::ScrollTo(int position) {
  Send(kScrollThumbPosition, position);
  Send(kScrollEndTrack, position);
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
  AnnounceChange();
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
