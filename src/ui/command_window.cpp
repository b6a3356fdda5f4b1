#include "ui/command_window.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include "ui/control_ids.h"

namespace tarvel {

namespace {

// The progress bar's tooltip, longer than the table's: how to go to another frame.
constexpr char kSeekKeys[] =
    "Click or drag to go to a frame\nHome, End: first, last frame\n"
    "Ctrl+Left, Ctrl+Right: 5 seconds back, on\nComma, period: one frame back, on";

const DialogControl* FindDialogControl(int id) {
  for (const DialogControl& control : kCommandDialog)
    if (control.id == id) return &control;
  return nullptr;
}

QRect PlaceOf(const DialogControl& control) {
  return DialogUnitsToPixels(control.x, control.y, control.cx, control.cy);
}

// The widget of a record's kind, a child of `parent`.
SkinControl* MakeSkinControl(QWidget* parent, SkinPanel& panel, ControlSkin* record) {
  if (record->kind == SkinKind::kTrackbar) return new SkinTrackbar(parent, panel, record);
  if (record->kind == SkinKind::kProgress) return new SkinProgress(parent, panel, record);
  if (record->kind == SkinKind::kDigit || record->kind == SkinKind::kLabel ||
      record->kind == SkinKind::kIndicator)
    return new SkinSprite(parent, panel, record);
  return new SkinButton(parent, panel, record);  // radio, toggle, push
}

// A point of the panel moves the window only when the desktop lets programs place windows.
bool DesktopPlacesWindows() {
  return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

}  // namespace

CommandWindow::CommandWindow(CommandHost& host)
    : FileDropWindow(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      host_(host) {
  setWindowTitle(QStringLiteral("Tarvel Beta 2"));
  const QRect size = DialogUnitsToPixels(0, 0, kPanelWidthUnits, kPanelHeightUnits);
  setFixedSize(size.size());
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_AlwaysShowToolTips);
  setAcceptDrops(true);
  setFocusPolicy(Qt::StrongFocus);
  background_ = LoadSkinPicture(kSheetBackground);
  InstallSkinAccessibility();
}

CommandWindow::~CommandWindow() {
  TearDownControls();
}

void CommandWindow::SetUpControls() {
  TearDownControls();
  const QCursor skin_cursor(LoadSkinPicture(kCursorResource), 0, 0);
  for (std::size_t i = 0; i < kControlSkinCount; ++i) {
    const SkinSpec& entry = kControlSkinTable[i];
    ControlSkin& record = table_[i];
    record = ControlSkin{entry, nullptr, QPixmap(), 0};
    record.tooltip[kTooltipSize - 1] = '\0';
    if (record.sheet_id != 0) record.sheet = LoadSkinPicture(entry.sheet_id);

    SkinControl* control = MakeSkinControl(this, *this, &record);
    if (const DialogControl* place = FindDialogControl(record.control_id))
      control->setGeometry(PlaceOf(*place));
    if (record.kind != SkinKind::kDigit && record.kind != SkinKind::kProgress)
      control->setCursor(skin_cursor);
    if (record.tooltip[0] != '\0') control->setToolTip(QString::fromLatin1(record.tooltip));
    if (record.kind == SkinKind::kProgress) control->setToolTip(QString::fromLatin1(kSeekKeys));
    record.control = control;
    control->show();
  }

  // The one control without a skin: the panel's picture, in a sunken frame.
  if (const DialogControl* place = FindDialogControl(kIdNone)) {
    auto* label = new QLabel(this);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setLineWidth(1);
    label->setPixmap(LoadSkinPicture(kBitmapPanelPicture));
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(PlaceOf(*place));
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    label->show();
    picture_ = label;
  }
}

void CommandWindow::TearDownControls() {
  counters_.Forget();
  for (ControlSkin& record : table_) {
    delete record.control;
    record = ControlSkin{};
  }
  delete picture_;
  picture_ = nullptr;
}

ControlSkin* CommandWindow::FindRecord(int id) {
  for (ControlSkin& record : table_)
    if (record.control != nullptr && record.control_id == id) return &record;
  return nullptr;
}

ControlSkin* CommandWindow::FindRecord(const QWidget* control) {
  for (ControlSkin& record : table_)
    if (control != nullptr && record.control == control) return &record;
  return nullptr;
}

// The control of the kind asked for, by identifier; null for any other kind.
SkinButton* CommandWindow::Button(int id) {
  return dynamic_cast<SkinButton*>(Control(id));
}

SkinTrackbar* CommandWindow::Trackbar(int id) {
  return dynamic_cast<SkinTrackbar*>(Control(id));
}

SkinSprite* CommandWindow::Sprite(int id) {
  return dynamic_cast<SkinSprite*>(Control(id));
}

SkinProgress* CommandWindow::Progress() {
  return dynamic_cast<SkinProgress*>(Control(kIdProgress));
}

QWidget* CommandWindow::Control(int id) {
  if (id == kIdNone) return picture_;
  ControlSkin* record = FindRecord(id);
  return record != nullptr ? record->control : nullptr;
}

void CommandWindow::SetState(int id, int state) {
  ControlSkin* record = FindRecord(id);
  if (record == nullptr || record->state == state) return;
  record->state = state;
  record->control->AnnounceChange();
  if (auto* sprite = dynamic_cast<SkinSprite*>(record->control))
    if (counters_.ShowSprite(*record, sprite->SpriteIndex())) return;
  // Drawn with everything else that changed in this turn, in one go.
  record->control->update();
}

int CommandWindow::State(int id) {
  ControlSkin* record = FindRecord(id);
  return record != nullptr ? record->state : 0;
}

void CommandWindow::UncheckRadioGroup(const ControlSkin& pressed) {
  std::size_t first = static_cast<std::size_t>(&pressed - table_.data());
  if (first >= table_.size()) return;
  while (first > 0 && (table_[first - 1].flags & kSkinRadioGroup) != 0) --first;
  for (std::size_t i = first; i < table_.size() && (table_[i].flags & kSkinRadioGroup) != 0; ++i) {
    if (&table_[i] == &pressed) continue;
    static_cast<SkinButton*>(table_[i].control)->SetChecked(false);
  }
}

void CommandWindow::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QRect area = event->rect();
  painter.fillRect(area, Qt::black);
  painter.drawPixmap(area, background_, SheetRect(background_, area));
}

void CommandWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    host_.PanelRightClicked();
    return;
  }
  if (event->button() != Qt::LeftButton) return;
  drag_start_ = event->globalPosition().toPoint();
  drag_origin_ = pos();
  dragging_ = true;
  // Where programs cannot place windows, the desktop moves the panel for us.
  if (!DesktopPlacesWindows() && windowHandle() != nullptr) {
    dragging_ = false;
    windowHandle()->startSystemMove();
  }
}

void CommandWindow::mouseMoveEvent(QMouseEvent* event) {
  // Only with the left button alone.
  if (!dragging_ || event->buttons() != Qt::LeftButton || event->modifiers() != Qt::NoModifier)
    return;
  move(drag_origin_ + (event->globalPosition().toPoint() - drag_start_));
}

void CommandWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) dragging_ = false;
}

void CommandWindow::moveEvent(QMoveEvent*) {
  host_.PanelMoved(pos());
}

void CommandWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  host_.PanelCloseRequested();
}

void CommandWindow::keyPressEvent(QKeyEvent* event) {
  host_.PanelKeyPressed(event);
}

}  // namespace tarvel
