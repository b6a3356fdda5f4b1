// The control panel's arithmetic: trackbar scrolling, digit displays, indicators, thumb and
// progress geometry, docking targets and the command-line path. Expected values are worked
// out by hand from the panel's rules.
#include <gtest/gtest.h>

#include "support/scratch.h"
#include "ui/control_ids.h"
#include "ui/panel_logic.h"
#include "ui/viewer.h"

namespace tarvel {
namespace {

TEST(PanelLogicTest, TrackbarScrollTable) {
  struct Case {
    int position, code, message, expected;
  };
  const Case cases[] = {
      {10, kScrollLineUp, 0, 9},       {0, kScrollLineUp, 0, 0},
      {50, kScrollLineDown, 0, 51},    {97, kScrollLineDown, 0, 98},
      {98, kScrollLineDown, 0, 98},  // line down stops at 98
      {99, kScrollLineDown, 0, 99},    {25, kScrollPageUp, 0, 15},
      {7, kScrollPageUp, 0, 0},        {85, kScrollPageDown, 0, 95},
      {95, kScrollPageDown, 0, 99},    {3, kScrollThumbPosition, 42, 42},
      {3, kScrollThumbTrack, 100, 99}, {3, kScrollThumbTrack, -5, 0},
      {40, kScrollTop, 77, 0},         {40, kScrollBottom, 0, 99},
      {40, kScrollEndTrack, 12, 40},   {40, 12345, 12, 40},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TrackbarScroll(c.position, c.code, c.message), c.expected)
        << "position " << c.position << " code " << c.code;
}

TEST(PanelLogicTest, FrameCounterShowsTheLowFiveDigitsUnitsFirst) {
  EXPECT_EQ(FrameCounterDigits(0), (std::array<int, 5>{0, 0, 0, 0, 0}));
  EXPECT_EQ(FrameCounterDigits(907), (std::array<int, 5>{7, 0, 9, 0, 0}));
  // 123456 shows 23456.
  EXPECT_EQ(FrameCounterDigits(123456), (std::array<int, 5>{6, 5, 4, 3, 2}));
}

TEST(PanelLogicTest, TimeCode) {
  // 1000 frames at 15 per second: 66 s and 10 frames, 01:06:10.
  TimeCodeDigits t = TimeCode(1000, 15.0f);
  EXPECT_EQ(t.minutes_tens, 0);
  EXPECT_EQ(t.minutes_units, 1);
  EXPECT_EQ(t.seconds_tens, 0);
  EXPECT_EQ(t.seconds_units, 6);
  EXPECT_EQ(t.frames_tens, 1);
  EXPECT_EQ(t.frames_units, 0);
  t = TimeCode(0, 15.0f);
  EXPECT_EQ(t.minutes_tens + t.minutes_units + t.seconds_tens + t.seconds_units + t.frames_tens +
                t.frames_units,
            0);
  // 12.5 frames per second counts in whole frames per second: 12. Frame 761 = 63 s (1:03)
  // and 5 frames.
  t = TimeCode(761, 12.5f);
  EXPECT_EQ(t.minutes_units, 1);
  EXPECT_EQ(t.seconds_tens, 0);
  EXPECT_EQ(t.seconds_units, 3);
  EXPECT_EQ(t.frames_units, 5);
  // Below 1 frame per second a frame counts as a second: frame 75 is 01:15:00.
  for (float rate : {0.5f, 0.0f, -3.0f}) {
    t = TimeCode(75, rate);
    EXPECT_EQ(t.minutes_units, 1) << rate;
    EXPECT_EQ(t.seconds_tens, 1) << rate;
    EXPECT_EQ(t.seconds_units, 5) << rate;
    EXPECT_EQ(t.frames_units, 0) << rate;
  }
  // 100 minutes and more keep the low two digits of the minutes: 6000 s = 100 min -> 00.
  t = TimeCode(6000 * 15 + 7, 15.0f);
  EXPECT_EQ(t.minutes_tens, 0);
  EXPECT_EQ(t.minutes_units, 0);
  EXPECT_EQ(t.frames_units, 7);
}

TEST(PanelLogicTest, FrameRateDigits) {
  RateDigits r = FrameRateDigits(12.5f);
  EXPECT_EQ(r.tens, 1);
  EXPECT_EQ(r.units, 2);
  EXPECT_EQ(r.tenths, 5);
  r = FrameRateDigits(25.0f);
  EXPECT_EQ(r.tens, 2);
  EXPECT_EQ(r.units, 5);
  EXPECT_EQ(r.tenths, 0);
  // 200 / 3 = 66.67 shows 6, 6 and 6.
  r = FrameRateDigits(200.0f / 3.0f);
  EXPECT_EQ(r.tens, 6);
  EXPECT_EQ(r.units, 6);
  EXPECT_EQ(r.tenths, 6);
  r = FrameRateDigits(0.5f);
  EXPECT_EQ(r.tens, 0);
  EXPECT_EQ(r.units, 0);
  EXPECT_EQ(r.tenths, 5);
}

TEST(PanelLogicTest, SoundFormatIndicators) {
  EXPECT_EQ(SoundFormatStates(true, 0, 11025).sample_rate, 3);
  EXPECT_EQ(SoundFormatStates(true, 0, 22050).sample_rate, 2);
  EXPECT_EQ(SoundFormatStates(true, 1, 44100).sample_rate, 1);
  EXPECT_EQ(SoundFormatStates(true, 0, 11025).channels, 1);
  EXPECT_EQ(SoundFormatStates(true, 1, 11025).channels, 2);
  // 88200 Hz: 3 - (8 / 2) = -1, a state without a picture (drawn blank).
  EXPECT_EQ(SoundFormatStates(true, 0, 88200).sample_rate, -1);
  // Without sound both are blank.
  const SoundIndicators none = SoundFormatStates(false, 1, 44100);
  EXPECT_EQ(none.channels, 0);
  EXPECT_EQ(none.sample_rate, 0);
}

TEST(PanelLogicTest, TrackbarThumbAndProgressGeometry) {
  // A vertical trackbar 48 pixels high at 50: c = (48 - 18) x 50 / 100 = 15, thumb at y = 17.
  EXPECT_EQ(TrackbarThumbOrigin(QSize(18, 48), {0, 1}, 50), QPoint(2, 17));
  EXPECT_EQ(TrackbarThumbOrigin(QSize(18, 48), {0, 1}, 0), QPoint(2, 2));
  // The frame-rate trackbar, 90 wide, at 99: c = 72 x 99 / 100 = 71.
  EXPECT_EQ(TrackbarThumbOrigin(QSize(90, 19), {1, 0}, 99), QPoint(73, 2));
  // The point under the thumb's centre maps back to its position.
  EXPECT_EQ(TrackbarPositionAt(73 + 7, 90, 100), 98);
  EXPECT_EQ(TrackbarPositionAt(0, 90, 100), 0);
  EXPECT_EQ(TrackbarPositionAt(89, 90, 100), 100);

  EXPECT_EQ(ProgressFillWidth(0, 285, 0), 0);     // no frames: nothing filled
  EXPECT_EQ(ProgressFillWidth(4, 285, 10), 142);  // 5 x 285 / 10 = 142.5
  EXPECT_EQ(ProgressFillWidth(9, 285, 10), 285);
  EXPECT_EQ(ProgressFillWidth(50, 285, 10), 285);
  // No overflow with large counts: (2^30 + 1) x 285 / 2^31 = 142.
  EXPECT_EQ(ProgressFillWidth(1 << 30, 285, 2147483647), 142);
}

TEST(PanelLogicTest, DockingTargets) {
  const QSize video(330, 260);
  DockTargets t = DockToVideo(QPoint(100, 50), video);
  EXPECT_EQ(t.command, QPoint(100, 310));
  EXPECT_EQ(t.playlist, QPoint(430, 50));
  EXPECT_FALSE(t.video.has_value());
  t = DockToCommand(QPoint(100, 310), video);
  EXPECT_EQ(t.video, QPoint(100, 50));
  EXPECT_EQ(t.playlist, QPoint(430, 50));
  EXPECT_FALSE(t.command.has_value());
  t = DockToPlaylist(QPoint(430, 50), video);
  EXPECT_EQ(t.video, QPoint(100, 50));
  EXPECT_EQ(t.command, QPoint(100, 310));
}

TEST(PanelLogicTest, CommandLinePathLosesOnePairOfQuotes) {
  EXPECT_EQ(MoviePathFromCommandLine("movie.kqm"), "movie.kqm");
  EXPECT_EQ(MoviePathFromCommandLine("\"/my movies/a b.kqm\""), "/my movies/a b.kqm");
  EXPECT_EQ(MoviePathFromCommandLine("\"a.kqm\" extra"), "a.kqm");
  EXPECT_EQ(MoviePathFromCommandLine("\"unclosed.kqm"), "unclosed.kqm");
  EXPECT_EQ(MoviePathFromCommandLine("in\"side.kqm"), "in\"side.kqm");
  EXPECT_EQ(MoviePathFromCommandLine("\"\""), "");
  // A file whose own name starts with a double quote, named from its folder, is that file.
  test::ScratchFolder folder;
  test::WriteBytes(folder / "\"Best of\" 2019.kqm", "x");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(folder.path());
  const std::string path = MoviePathFromCommandLine("\"Best of\" 2019.kqm");
  std::filesystem::current_path(before);
  EXPECT_EQ(path, "\"Best of\" 2019.kqm");
}

}  // namespace
}  // namespace tarvel
