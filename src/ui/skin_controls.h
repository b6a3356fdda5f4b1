// The control panel's skinned controls. Each one draws itself from a sprite sheet according to
// its ControlSkin record and turns mouse input into the panel's commands and scrolls.
#pragma once

#include <QColor>
#include <QWidget>
#include <cstdint>

#include "ui/control_table.h"

namespace tarvel {

// What the skinned controls' mouse input becomes.
class SkinCommands {
 public:
  virtual ~SkinCommands() = default;
  // A control issued its command.
  virtual void Command(int id) = 0;
  // A trackbar was scrolled with `code`; `position` is the thumb position for the thumb codes.
  virtual void Scroll(int id, int code, int position) = 0;
  // The progress bar was pressed or dragged at the place of `frame`.
  virtual void Seek(std::int32_t frame) = 0;
};

// What the skinned controls need from the panel that carries them.
class SkinPanel {
 public:
  virtual ~SkinPanel() = default;
  virtual SkinCommands& commands() = 0;
  // The record of the panel's control `id`, null when there is none.
  virtual ControlSkin* FindRecord(int id) = 0;
  // Unchecks the other members of the radio group that `pressed` belongs to.
  virtual void UncheckRadioGroup(const ControlSkin& pressed) = 0;
  // Shows the progress bar's fill going from `before` to `after` pixels without painting it;
  // false when the bar is to be updated.
  virtual bool ShowProgressDirectly(const ControlSkin&, int /*before*/, int /*after*/) {
    return false;
  }
};

class SkinControl : public QWidget {
 public:
  SkinControl(QWidget* parent, SkinPanel& panel, ControlSkin* record);
  ControlSkin& record() const { return *record_; }
  SkinPanel& panel() const { return panel_; }
  // Redraws at once (invalidate without erasing, then paint).
  void RedrawNow();
  // Tells assistive tools (screen readers) that a button's check or pushed look, or a
  // trackbar's or the progress bar's value, changed.
  void AnnounceChange();

 protected:
  // Copies `area` of the control from the sheet at `origin` plus the area's own offset.
  void DrawFromSheet(QPainter& painter, const QRect& area, const SpriteOrigin& origin);

  SkinPanel& panel_;
  ControlSkin* record_;
};

// Radio, toggle and push buttons. The picture is sprite 0 when the button state is 0 and
// sprite 1 when it is checked or pushed. Enabling or disabling a button does not change its
// picture; a disabled button gets no mouse input but Press and Release still work.
class SkinButton : public SkinControl {
 public:
  // Button state bits.
  static constexpr int kChecked = 0x1;
  static constexpr int kPushed = 0x4;

  SkinButton(QWidget* parent, SkinPanel& panel, ControlSkin* record);
  int ButtonState() const { return (checked_ ? kChecked : 0) | (pushed_ ? kPushed : 0); }
  bool checked() const { return checked_; }
  bool pushed() const { return pushed_; }
  // Sets the check without sending anything.
  void SetChecked(bool checked);
  // What a left-button press does: radio checks itself, unchecks its group and sends its
  // command; toggle flips and sends; push shows itself pushed and sends nothing.
  void Press();
  // What a left-button release does: push shows itself released and sends its command when
  // the release happened over the button.
  void Release(bool over_button);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool checked_ = false;
  bool pushed_ = false;
};

// A trackbar: the background, and the thumb at the position kept in the record's state. The
// mouse scrolls it the way a trackbar does (thumb drag, page steps beside the thumb, wheel
// line steps); the panel receives each scroll code and decides the new position.
class SkinTrackbar : public SkinControl {
 public:
  SkinTrackbar(QWidget* parent, SkinPanel& panel, ControlSkin* record);
  // The trackbar's own range (0 to `maximum`) and page size.
  void SetRange(int maximum) { maximum_ = maximum; }
  int maximum() const { return maximum_; }
  // What a step of the thumb is worth to assistive tools, which are told and set positions
  // times this.
  void SetValueStep(double step) { value_step_ = step; }
  double value_step() const { return value_step_; }
  // What a position stands for where that is not simply its steps (the Frame Rate's lowest
  // position plays at 1 frame per second), as assistive tools are told it.
  void SetValueOf(double (*value_of)(int position)) { value_of_ = value_of; }
  double ValueAt(int position) const {
    return value_of_ != nullptr ? value_of_(position) : position * value_step_;
  }
  // Moves the thumb to `position` as a drag there would, in one step.
  void ScrollTo(int position);
  bool vertical() const;
  QRect ThumbRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  // The position of the thumb dragged with the pointer at `point`: the thumb keeps the offset
  // at which it was taken.
  int PositionAt(const QPoint& point) const;
  void Send(int code, int position);

  int maximum_ = 99;
  double value_step_ = 1.0;
  double (*value_of_)(int position) = nullptr;
  bool dragging_ = false;
  bool pressed_ = false;
  // Where the thumb was taken, and whether the pointer has moved since.
  QPoint grab_point_;
  QPoint grab_offset_;
  bool moved_ = false;
  // Wheel turns not yet amounting to a whole notch.
  int wheel_delta_ = 0;
};

// Digits, labels and indicators: sprite[state]; a state without a picture draws sprite 0.
class SkinSprite : public SkinControl {
 public:
  SkinSprite(QWidget* parent, SkinPanel& panel, ControlSkin* record);
  // The sprite the current state draws.
  int SpriteIndex() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The progress bar: a filled strip up to (position + 1) / count of the width, the panel
// background beyond it. Setting the position stores it as the record's state. A press or a
// drag with the left button asks for the frame under the pointer.
class SkinProgress : public SkinControl {
 public:
  SkinProgress(QWidget* parent, SkinPanel& panel, ControlSkin* record);
  void SetRange(std::int32_t count) {
    count_ = count;
    update();
  }
  std::int32_t count() const { return count_; }
  // Asks for `frame` as a press on its place would.
  void SeekTo(std::int32_t frame) { panel_.commands().Seek(frame); }
  void SetPosition(std::int32_t position);
  int FillWidth() const;
  // Paints `area` of the bar as it looks filled `fill` pixels wide.
  void Paint(QPainter& painter, const QRect& area, int fill);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  // Asks for the frame under `x`, unless it was the last one asked for in this drag.
  void SeekAt(int x);

  std::int32_t count_ = 0;
  bool dragging_ = false;
  std::int32_t last_sought_ = -1;
};

// Lets screen readers and other assistive tools see the skinned controls as the buttons, check
// boxes, sliders and progress bar they are, by the names of their tooltips; installed once.
void InstallSkinAccessibility();

// The colour of the filled part of the progress bar.
inline const QColor kProgressFillColour(122, 150, 223);

}  // namespace tarvel
