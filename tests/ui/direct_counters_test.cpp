// The panel's counters copied into its window by the X server while a movie plays: the server
// shows what Qt paints for the same states, and still does after the window is exposed. Run on
// an X server of its own (tests/support/under_xvfb); skipped on any other platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QWindow>
#include <QtTest/QTest>

#include "support/quiet_panel_host.h"
#include "ui/command_window.h"
#include "ui/control_ids.h"
#include "ui/resources.h"

namespace tarvel {
namespace {

// Counts the exposes of a window.
class ExposeCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Expose) ++count;
    return false;
  }
  int count = 0;
};

class DirectCountersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
      GTEST_SKIP() << "needs the xcb platform (tests/support/under_xvfb)";
    InitResources();
    panel.SetUpControls();
    panel.Progress()->SetRange(40);
    panel.move(20, 20);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    QApplication::processEvents();
    panel.SetCountersLive(true);
  }
  // A playing movie's turn at `frame`: the frame counter, the time code's frames (at 25 a
  // second) and the progress bar, sent without letting Qt paint anything.
  void ShowFrame(int frame) {
    panel.Progress()->SetPosition(frame);
    for (int i = 0, rest = frame; i < 5; ++i, rest /= 10)
      panel.SetState(kIdCounterDigits[4 - i], rest % 10);
    panel.SetState(kIdFramesUnits, frame % 25 % 10);
    panel.SetState(kIdFramesTens, frame % 25 / 10);
    panel.FlushCounters();
  }
  // What the server shows in the panel's window (read back at once, no events handled).
  QImage OnScreen() {
    return panel.screen()
        ->grabWindow(panel.winId())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
  }
  // What Qt paints for the panel's states now.
  QImage Painted() { return panel.grab().toImage().convertToFormat(QImage::Format_RGB32); }

  test::QuietPanelHost host;
  CommandWindow panel{host};
};

TEST_F(DirectCountersTest, CopiesShowWhatQtPaints) {
  const QImage before = OnScreen();
  ASSERT_EQ(before, Painted());
  // Up (the fill grows a few pixels a frame, digits carry), then back (the fill shrinks).
  for (const int frame : {1, 2, 9, 10, 11, 19, 23, 24, 25, 37, 12, 3}) ShowFrame(frame);
  const QImage after = Painted();
  EXPECT_NE(after, before);
  EXPECT_EQ(OnScreen(), after);
}

TEST_F(DirectCountersTest, ExposeShowsTheCurrentCounters) {
  for (const int frame : {5, 6, 17, 18}) ShowFrame(frame);
  ExposeCounter exposes;
  panel.windowHandle()->installEventFilter(&exposes);
  // A window over the panel and gone again: the server asks the panel to draw itself again.
  QWidget cover(nullptr, Qt::Window | Qt::FramelessWindowHint);
  cover.setStyleSheet(QStringLiteral("background: red"));
  cover.setGeometry(panel.geometry());
  cover.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&cover));
  QApplication::processEvents();
  cover.hide();
  ASSERT_TRUE(QTest::qWaitFor([&] { return exposes.count > 0; }));
  QApplication::processEvents();
  EXPECT_EQ(OnScreen(), Painted());
  // Live no more (paused): Qt draws the counters itself from here.
  panel.SetCountersLive(false);
  ShowFrame(30);
  QApplication::processEvents();
  EXPECT_EQ(OnScreen(), Painted());
}

}  // namespace
}  // namespace tarvel
