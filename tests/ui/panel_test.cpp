// The command window's widgets: where the controls are, the table, and what the mouse does to
// radio, toggle and push buttons and trackbars; what the digits, indicators, trackbars and the
// progress bar draw.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QtTest/QTest>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ui/command_window.h"
#include "ui/control_ids.h"
#include "ui/resources.h"
#include "ui/skin_controls.h"

namespace tarvel {
namespace {

class RecordingHost : public CommandHost {
 public:
  void Command(int id) override { commands.push_back(id); }
  void Scroll(int id, int code, int position) override { scrolls.emplace_back(id, code, position); }
  void Seek(std::int32_t frame) override { seeks.push_back(frame); }
  void PanelKeyPressed(QKeyEvent* event) override { keys.push_back(event->key()); }
  void PanelMoved(const QPoint& origin) override { moves.push_back(origin); }
  void PanelCloseRequested() override { ++closes; }
  void PanelRightClicked() override { ++right_clicks; }
  void FilesDropped(const std::vector<std::string>&, QWidget*) override {}

  std::vector<int> commands;
  std::vector<std::tuple<int, int, int>> scrolls;
  std::vector<std::int32_t> seeks;
  std::vector<int> keys;
  std::vector<QPoint> moves;
  int closes = 0;
  int right_clicks = 0;
};

class PanelTest : public ::testing::Test {
 protected:
  PanelTest() {
    InitResources();
    panel.SetUpControls();
    panel.show();
  }
  // The sheet picture a control of `size` shows for sprite `origin`.
  static QImage SheetPart(int sheet, QPoint origin, QSize size) {
    return QImage(QString::fromLatin1(ResourcePath(sheet)))
        .copy(QRect(origin, size))
        .convertToFormat(QImage::Format_RGB32);
  }
  // Presses the left button at `from`, moves to `to` with it held, and lets go there.
  static void Drag(QWidget* widget, QPoint from, QPoint to) {
    QTest::mousePress(widget, Qt::LeftButton, Qt::NoModifier, from);
    QMouseEvent move(QEvent::MouseMove, QPointF(to), widget->mapToGlobal(QPointF(to)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
    QTest::mouseRelease(widget, Qt::LeftButton, Qt::NoModifier, to);
  }
  static QImage Grab(QWidget* widget) {
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }

  RecordingHost host;
  CommandWindow panel{host};
};

TEST_F(PanelTest, ControlsSitAtTheirDialogPlaces) {
  // 316 x 68 dialog units at 6/4 and 13/8 pixels per unit, rounded: 68 x 13 / 8 = 110.5 -> 111.
  EXPECT_EQ(panel.size(), QSize(474, 111));
  // Play: (92, 48, 24, 16) units -> (138, 78, 36, 26).
  EXPECT_EQ(panel.Control(kIdPlay)->geometry(), QRect(138, 78, 36, 26));
  EXPECT_EQ(panel.Control(kIdStop)->geometry(), QRect(102, 78, 36, 26));
  // Close: (8, 4, 24, 12) -> (12, 6.5 -> 7, 36, 19.5 -> 20), the height of its sheet row.
  EXPECT_EQ(panel.Control(kIdClose)->geometry(), QRect(12, 7, 36, 20));
  // Open: (8, 17, 24, 12) -> y 27.625 -> 28.
  EXPECT_EQ(panel.Control(kIdOpenFiles)->geometry(), QRect(12, 28, 36, 20));
  EXPECT_EQ(panel.Control(kIdVolume)->geometry(), QRect(444, 7, 18, 78));
  EXPECT_EQ(panel.Control(kIdFrameRate)->geometry(), QRect(288, 78, 90, 20));
  // Progress: (52, 34, 190, 6) -> (78, 55.25 -> 55, 285, 9.75 -> 10).
  EXPECT_EQ(panel.Control(kIdProgress)->geometry(), QRect(78, 55, 285, 10));
  EXPECT_EQ(panel.Control(kIdFramesTens)->geometry(), QRect(264, 33, 12, 20));
  EXPECT_EQ(panel.Control(kIdNone)->geometry(), QRect(12, 72, 36, 33));
}

TEST_F(PanelTest, TableHoldsThirtyEightRecordsInOrder) {
  const int expected_ids[kControlSkinCount] = {
      1000, 1001, 1002, 1021, 1020, 1022, 1036, 1055, 1027, 1026, 1023, 1024, 1047,
      1025, 1058, 1031, 1032, 1033, 1034, 1046, 1037, 1038, 1042, 1043, 1050, 1052,
      1054, 1053, 1035, 1039, 1040, 1041, 1044, 1045, 1048, 1049, 1051, 1065};
  const QSize sheet_sizes[] = {QSize(192, 310), QSize(198, 129), QSize(479, 114)};
  for (int i = 0; i < kControlSkinCount; ++i) {
    const ControlSkin& record = panel.table()[static_cast<std::size_t>(i)];
    EXPECT_EQ(record.control_id, expected_ids[i]) << "record " << i + 1;
    EXPECT_EQ((record.flags & kSkinRadioGroup) != 0, i < 3) << "record " << i + 1;
    ASSERT_NE(record.control, nullptr);
    const QSize sheet = record.sheet_id == kSheetButtons  ? sheet_sizes[0]
                        : record.sheet_id == kSheetDigits ? sheet_sizes[1]
                                                          : sheet_sizes[2];
    EXPECT_EQ(record.sheet.size(), sheet) << "record " << i + 1;
  }
  // The tooltips name the keys too.
  EXPECT_STREQ(panel.table()[3].tooltip, "Next Kqm (Page Down)");
  EXPECT_EQ(panel.Control(kIdStepByStep)->toolTip(), QStringLiteral("Step by Step (Enter)"));
  EXPECT_TRUE(panel.Control(kIdProgress)->toolTip().contains(QStringLiteral("Ctrl+Left")));
  EXPECT_TRUE(panel.Control(1031)->toolTip().isEmpty());
}

TEST_F(PanelTest, RadioButtonsCheckOneOfTheGroup) {
  QTest::mouseClick(panel.Control(kIdPlay), Qt::LeftButton);
  EXPECT_TRUE(panel.Button(kIdPlay)->checked());
  EXPECT_FALSE(panel.Button(kIdStop)->checked());
  EXPECT_FALSE(panel.Button(kIdPause)->checked());
  QTest::mouseClick(panel.Control(kIdPause), Qt::LeftButton);
  EXPECT_FALSE(panel.Button(kIdPlay)->checked());
  EXPECT_TRUE(panel.Button(kIdPause)->checked());
  EXPECT_EQ(host.commands, (std::vector<int>{kIdPlay, kIdPause}));
  // The checked picture is sprite 1: Pause at (36, 52) of the button sheet.
  EXPECT_EQ(Grab(panel.Control(kIdPause)), SheetPart(kSheetButtons, {36, 52}, {36, 26}));
  EXPECT_EQ(Grab(panel.Control(kIdPlay)), SheetPart(kSheetButtons, {0, 0}, {36, 26}));
}

// Screen readers see each button, trackbar and the progress bar by its name, role, check and
// value, and can press and set them as the mouse does.
TEST_F(PanelTest, AssistiveToolsSeeNamesRolesStatesAndValues) {
  auto face = [this](int id) { return QAccessible::queryAccessibleInterface(panel.Control(id)); };
  const std::vector<std::tuple<int, const char*, QAccessible::Role>> expected = {
      {kIdPlay, "Play", QAccessible::RadioButton},
      {kIdPause, "Pause", QAccessible::RadioButton},
      {kIdNext, "Next Kqm", QAccessible::Button},
      {kIdFullScreen, "Full Screen", QAccessible::CheckBox},
      {kIdSoundOnOff, "Sound On/Off", QAccessible::CheckBox},
      {kIdVolume, "Volume", QAccessible::Slider},
      {kIdFrameRate, "Frame Rate", QAccessible::Slider},
      {kIdProgress, "Progress", QAccessible::ProgressBar}};
  for (const auto& [id, name, role] : expected) {
    ASSERT_NE(face(id), nullptr) << id;
    EXPECT_EQ(face(id)->text(QAccessible::Name), QString::fromLatin1(name)) << id;
    EXPECT_EQ(face(id)->role(), role) << id;
  }
  EXPECT_EQ(face(kIdStepByStep)->text(QAccessible::Description),
            QStringLiteral("Step by Step (Enter)"));
  EXPECT_TRUE(face(kIdMinutesTens)->state().invisible);
  EXPECT_FALSE(face(kIdPlay)->state().invisible);

  panel.Button(kIdSoundOnOff)->SetChecked(true);
  EXPECT_TRUE(face(kIdSoundOnOff)->state().checkable);
  EXPECT_TRUE(face(kIdSoundOnOff)->state().checked);
  EXPECT_FALSE(face(kIdLoopPlay)->state().checked);
  panel.Control(kIdNext)->setEnabled(false);
  EXPECT_TRUE(face(kIdNext)->state().disabled);

  // Pressing: a disabled button does nothing, a push button sends its command once; the
  // presses come after the tool's call has returned (Options waits in its dialog).
  face(kIdNext)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  face(kIdClose)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  face(kIdLoopPlay)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_TRUE(host.commands.empty());
  QCoreApplication::processEvents();
  EXPECT_EQ(host.commands, (std::vector<int>{kIdClose, kIdLoopPlay}));
  EXPECT_TRUE(face(kIdLoopPlay)->state().checked);

  // The volume's thumb 30 from the top of 0 to 99 is volume 69; setting 90 puts it at 9.
  panel.Trackbar(kIdVolume)->SetRange(99);
  panel.SetState(kIdVolume, 30);
  QAccessibleValueInterface* volume = face(kIdVolume)->valueInterface();
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->currentValue().toInt(), 69);
  EXPECT_EQ(volume->maximumValue().toInt(), 99);
  volume->setCurrentValue(90);
  EXPECT_EQ(host.scrolls,
            (std::vector<std::tuple<int, int, int>>{{kIdVolume, kScrollThumbPosition, 9},
                                                    {kIdVolume, kScrollEndTrack, 9}}));
  panel.Progress()->SetRange(250);
  panel.Progress()->SetPosition(120);
  QAccessibleValueInterface* progress = face(kIdProgress)->valueInterface();
  EXPECT_EQ(progress->currentValue().toInt(), 120);
  EXPECT_EQ(progress->maximumValue().toInt(), 250);
  progress->setCurrentValue(400);
  EXPECT_EQ(host.seeks, (std::vector<std::int32_t>{249}));
}

// The bar's value is the counter's frame number (frame index + 1): a screen reader that sets
// it, or steps it with Increase and Decrease, goes to the frame of that number.
TEST_F(PanelTest, AssistiveToolsSetTheBarToTheFrameNumberTheyRead) {
  panel.Progress()->SetRange(250);
  panel.Progress()->SetPosition(120);
  QAccessibleValueInterface* progress =
      QAccessible::queryAccessibleInterface(panel.Control(kIdProgress))->valueInterface();
  progress->setCurrentValue(progress->currentValue().toInt() - 1);
  progress->setCurrentValue(progress->currentValue().toInt() + 1);
  progress->setCurrentValue(1);
  EXPECT_EQ(host.seeks, (std::vector<std::int32_t>{118, 120, 0}));
}

// The counters and the sound format are read as the panel shows them; the digits one by one
// are not.
TEST_F(PanelTest, AssistiveToolsReadTheCountersAndTheSoundFormat) {
  auto name = [this](int id) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(panel.Control(id));
    return face->state().invisible ? std::string("(hidden)")
                                   : face->text(QAccessible::Name).toStdString();
  };
  // clang-format off
  const std::vector<std::pair<int, int>> states = {
      {1031, 0}, {1032, 0}, {1033, 1}, {1034, 2}, {1046, 3},
      {kIdMinutesTens, 0}, {kIdMinutesUnits, 1}, {kIdSecondsTens, 0}, {kIdSecondsUnits, 5},
      {kIdFramesTens, 1}, {kIdFramesUnits, 2}, {kIdRateTens, 1}, {kIdRateUnits, 2},
      {kIdRateTenths, 5}, {kIdChannels, 2}, {kIdSampleRate, 2}};
  // clang-format on
  for (const auto& [id, state] : states) panel.SetState(id, state);
  EXPECT_EQ(name(kIdFrameCaption), "Frame 123");
  EXPECT_EQ(name(kIdTimeCodeCaption), "Time Code 01:05.12");
  EXPECT_EQ(name(kIdRateCaption), "12.5 frames per second");
  EXPECT_EQ(name(kIdChannels), "Stereo");
  EXPECT_EQ(name(kIdSampleRate), "22 kHz");
  panel.SetState(kIdSampleRate, 0);
  EXPECT_EQ(name(kIdSampleRate), "(hidden)");
  EXPECT_EQ(name(kIdSecondsUnits), "(hidden)");
}

TEST_F(PanelTest, ToggleFlipsAtEachPress) {
  QTest::mouseClick(panel.Control(kIdLoopPlay), Qt::LeftButton);
  EXPECT_TRUE(panel.Button(kIdLoopPlay)->checked());
  QTest::mouseClick(panel.Control(kIdLoopPlay), Qt::LeftButton);
  EXPECT_FALSE(panel.Button(kIdLoopPlay)->checked());
  EXPECT_EQ(host.commands, (std::vector<int>{kIdLoopPlay, kIdLoopPlay}));
}

TEST_F(PanelTest, PushButtonSendsOnlyWhenReleasedOnIt) {
  QWidget* close = panel.Control(kIdClose);
  QTest::mousePress(close, Qt::LeftButton);
  EXPECT_TRUE(panel.Button(kIdClose)->pushed());
  EXPECT_EQ(Grab(close), SheetPart(kSheetButtons, {36, 234}, {36, 20}));
  EXPECT_TRUE(host.commands.empty());
  // Released away from the button: it comes back up and nothing is sent.
  QTest::mouseRelease(close, Qt::LeftButton, Qt::NoModifier, QPoint(-30, 5));
  EXPECT_FALSE(panel.Button(kIdClose)->pushed());
  EXPECT_EQ(Grab(close), SheetPart(kSheetButtons, {0, 234}, {36, 20}));
  EXPECT_TRUE(host.commands.empty());
  QTest::mouseClick(close, Qt::LeftButton);
  EXPECT_EQ(host.commands, (std::vector<int>{kIdClose}));
}

TEST_F(PanelTest, DisabledButtonsIgnoreTheMouseButNotPress) {
  panel.Control(kIdPlay)->setEnabled(false);
  QTest::mouseClick(panel.Control(kIdPlay), Qt::LeftButton);
  EXPECT_TRUE(host.commands.empty());
  // Disabled buttons look the same.
  EXPECT_EQ(Grab(panel.Control(kIdPlay)), SheetPart(kSheetButtons, {0, 0}, {36, 26}));
  panel.Button(kIdPlay)->Press();
  panel.Button(kIdPlay)->Release(true);
  EXPECT_EQ(host.commands, (std::vector<int>{kIdPlay}));
  EXPECT_TRUE(panel.Button(kIdPlay)->checked());
}

TEST_F(PanelTest, TrackbarMouseGivesScrollCodes) {
  QWidget* rate = panel.Control(kIdFrameRate);
  panel.SetState(kIdFrameRate, 30);  // c = 72 x 30 / 100 = 21: thumb from x = 23 to 36
  QTest::mouseClick(rate, Qt::LeftButton, Qt::NoModifier, QPoint(5, 9));
  QTest::mouseClick(rate, Qt::LeftButton, Qt::NoModifier, QPoint(80, 9));
  using Scroll = std::tuple<int, int, int>;
  EXPECT_EQ(host.scrolls, (std::vector<Scroll>{{kIdFrameRate, kScrollPageUp, 30},
                                               {kIdFrameRate, kScrollEndTrack, 30},
                                               {kIdFrameRate, kScrollPageDown, 30},
                                               {kIdFrameRate, kScrollEndTrack, 30}}));
  host.scrolls.clear();
  // Dragging the thumb by its middle to x = 80: position (80 - 9) x 100 / 72 = 98.
  Drag(rate, QPoint(30, 9), QPoint(80, 9));
  EXPECT_EQ(host.scrolls, (std::vector<Scroll>{{kIdFrameRate, kScrollThumbTrack, 98},
                                               {kIdFrameRate, kScrollThumbPosition, 98},
                                               {kIdFrameRate, kScrollEndTrack, 30}}));
  host.scrolls.clear();
  // A wheel's notch down is a line down; a touchpad's half notches add up to a line up.
  for (int delta : {-120, 60, 60}) {
    QWheelEvent wheel(QPointF(30, 9), QPointF(30, 9), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(rate, &wheel);
  }
  EXPECT_EQ(host.scrolls, (std::vector<Scroll>{{kIdFrameRate, kScrollLineDown, 30},
                                               {kIdFrameRate, kScrollLineUp, 30}}));
}

TEST_F(PanelTest, TrackbarThumbKeepsWhereItWasTaken) {
  // The position a drag of a thumb from `from` to `to` ends at.
  auto dragged = [this](int id, QPoint from, QPoint to) {
    host.scrolls.clear();
    Drag(panel.Control(id), from, to);
    for (const auto& [control, code, position] : host.scrolls)
      if (code == kScrollThumbPosition) return position;
    return -1;
  };
  panel.SetState(kIdFrameRate, 30);  // thumb from x = 23 to 36
  // Taken at its left edge and let go: nothing changes.
  EXPECT_EQ(dragged(kIdFrameRate, QPoint(23, 9), QPoint(23, 9)), 30);
  // Taken at its right edge and moved 10 pixels: the thumb goes from x = 23 to 33, c = 31,
  // 31 x 100 / 72 = 43.
  EXPECT_EQ(dragged(kIdFrameRate, QPoint(36, 9), QPoint(46, 9)), 43);
  // The volume at the top (full volume), taken at the thumb's bottom edge: still 0.
  EXPECT_EQ(dragged(kIdVolume, QPoint(9, 15), QPoint(9, 15)), 0);
}

TEST_F(PanelTest, TrackbarDrawsItsThumbAtTheState) {
  // Volume, 78 high, at 50: c = 60 x 50 / 100 = 30, thumb at (2, 32).
  panel.SetState(kIdVolume, 50);
  const QImage shown = Grab(panel.Control(kIdVolume));
  const QImage thumb = SheetPart(kSheetButtons, {108, 0}, {14, 14});
  EXPECT_EQ(shown.copy(2, 32, 14, 14), thumb);
  // Away from the thumb, the background from (72, 20).
  const QImage background = SheetPart(kSheetButtons, {72, 20}, {18, 78});
  EXPECT_EQ(shown.copy(0, 0, 18, 30), background.copy(0, 0, 18, 30));
}

TEST_F(PanelTest, SpritesAndBlankStates) {
  panel.SetState(1031, 7);
  EXPECT_EQ(Grab(panel.Control(1031)), SheetPart(kSheetDigits, {112, 0}, {18, 26}));
  panel.SetState(kIdRateTenths, 3);
  EXPECT_EQ(Grab(panel.Control(kIdRateTenths)), SheetPart(kSheetDigits, {38, 26}, {12, 20}));
  // The sample-rate indicator: 44.1 kHz at (2, 78); a negative state draws the blank (36, 78).
  panel.SetState(kIdSampleRate, 1);
  EXPECT_EQ(Grab(panel.Control(kIdSampleRate)), SheetPart(kSheetDigits, {2, 78}, {36, 13}));
  panel.SetState(kIdSampleRate, -1);
  EXPECT_EQ(panel.Sprite(kIdSampleRate)->SpriteIndex(), 0);
  EXPECT_EQ(Grab(panel.Control(kIdSampleRate)), SheetPart(kSheetDigits, {36, 78}, {36, 13}));
  panel.SetState(kIdChannels, 5);
  EXPECT_EQ(Grab(panel.Control(kIdChannels)), SheetPart(kSheetDigits, {62, 68}, {30, 13}));
}

TEST_F(PanelTest, ProgressFillsUpToThePosition) {
  SkinProgress* progress = panel.Progress();
  const QImage trough = SheetPart(kSheetBackground, {80, 56}, {285, 10});
  EXPECT_EQ(Grab(progress), trough);  // range 0: nothing filled
  progress->SetRange(10);
  progress->SetPosition(4);  // 5 x 285 / 10 = 142 pixels
  EXPECT_EQ(panel.State(kIdProgress), 4);
  const QImage shown = Grab(progress);
  const QRgb fill = kProgressFillColour.rgb();
  EXPECT_EQ(shown.pixel(0, 0), fill);
  EXPECT_EQ(shown.pixel(141, 3), fill);
  EXPECT_EQ(shown.pixel(142, 0), trough.pixel(142, 0));
  EXPECT_EQ(shown.pixel(141, 4), trough.pixel(141, 4));
  // Only the strip that changes is drawn again: what the window holds after going back.
  progress->SetPosition(9);
  QApplication::processEvents();
  progress->SetPosition(2);  // 3 x 285 / 10 = 85 pixels
  QApplication::processEvents();
  const QPoint at = progress->mapTo(&panel, QPoint(0, 0));
  const QImage window = panel.screen()
                            ->grabWindow(panel.winId(), at.x(), at.y(), 285, 10)
                            .toImage()
                            .convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(window.pixel(84, 0), fill);
  EXPECT_EQ(window.pixel(85, 0), trough.pixel(85, 0));
  EXPECT_EQ(window.pixel(284, 3), trough.pixel(284, 3));
}

TEST_F(PanelTest, ProgressBarAsksForTheFrameUnderThePointer) {
  // 285 pixels for 57 frames: 5 pixels a frame, frame x * 57 / 285 = x / 5.
  panel.Progress()->SetRange(57);
  const QPoint before = panel.pos();
  Drag(panel.Control(kIdProgress), QPoint(12, 3), QPoint(99, 8));
  // The press, then the drag's end; moving within one frame's part asks for nothing new.
  EXPECT_EQ(host.seeks, (std::vector<std::int32_t>{2, 19}));
  host.seeks.clear();
  QTest::mouseClick(panel.Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(284, 5));
  EXPECT_EQ(host.seeks, std::vector<std::int32_t>{56});
  EXPECT_EQ(panel.pos(), before);  // the bar is not a handle of the panel
  // With more frames than pixels, the last pixel holds frames 1494 to 1499 of 1500: its end
  // is the movie's last frame, reached by a press there.
  panel.Progress()->SetRange(1500);
  host.seeks.clear();
  QTest::mouseClick(panel.Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(284, 5));
  EXPECT_EQ(host.seeks, std::vector<std::int32_t>{1499});
  // Nothing to ask for without frames.
  panel.Progress()->SetRange(0);
  host.seeks.clear();
  QTest::mouseClick(panel.Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(40, 5));
  EXPECT_TRUE(host.seeks.empty());
}

TEST_F(PanelTest, PanelIsDraggedByAnyPointAndReportsItsInput) {
  panel.move(100, 100);
  QApplication::processEvents();
  host.moves.clear();
  // Over a digit (which lets the mouse through) as well as over bare panel.
  QTest::mousePress(&panel, Qt::LeftButton, Qt::NoModifier, QPoint(90, 30));
  QMouseEvent move(QEvent::MouseMove, QPointF(130, 20), panel.mapToGlobal(QPointF(130, 20)),
                   Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&panel, &move);
  QTest::mouseRelease(&panel, Qt::LeftButton, Qt::NoModifier, QPoint(130, 20));
  QApplication::processEvents();
  EXPECT_EQ(panel.pos(), QPoint(140, 90));
  ASSERT_FALSE(host.moves.empty());
  EXPECT_EQ(host.moves.back(), QPoint(140, 90));

  QTest::mouseClick(&panel, Qt::RightButton, Qt::NoModifier, QPoint(200, 5));
  EXPECT_EQ(host.right_clicks, 1);
  QTest::keyClick(&panel, Qt::Key_PageDown);
  EXPECT_EQ(host.keys, (std::vector<int>{Qt::Key_PageDown}));
  EXPECT_FALSE(panel.close());
  EXPECT_EQ(host.closes, 1);
}

}  // namespace
}  // namespace tarvel
