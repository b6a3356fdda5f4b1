// The viewer as a user meets it: start-up, the command and key tables through Click and key
// events, the trackbars, Update buttons, docking, failing movies, stepping frame by frame, and
// whole playbacks of real movies with a capture sound device.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <QtEndian>
#include <QtTest/QTest>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/debug_output.h"
#include "support/digest.h"
#include "support/hand_clocked_device.h"
#include "support/scratch.h"
#include "support/shown_picture.h"
#include "ui/dialogs.h"
#include "ui/screen_saver.h"
#include "ui/session_bus.h"
#include "ui/viewer_fixture.h"

namespace tarvel::test {
namespace {

// The player's own lines among what went to standard error.
std::string PlayerLines(const std::string& errors) {
  std::istringstream lines(errors);
  std::string line, kept;
  while (std::getline(lines, line))
    if (line.rfind("tarvel: ", 0) == 0) kept += line + "\n";
  return kept;
}

TEST_F(ViewerTest, StartsStoppedWithTheEngineSetUp) {
  Start();
  EXPECT_TRUE(state().stopped);
  EXPECT_FALSE(state().ui_playing);
  EXPECT_FALSE(state().play_request);
  EXPECT_EQ(state().file_count, 0);
  // The Stop click at start-up checked Stop.
  EXPECT_TRUE(Button(kIdStop)->checked());
  EXPECT_FALSE(Button(kIdPlay)->checked());
  EXPECT_FALSE(Button(kIdPause)->checked());
  // Nothing to play: Play, Full Screen and Zoom Off are off, so are Pause and Step by Step.
  for (int id : {kIdPlay, kIdFullScreen, kIdZoomOff, kIdPause, kIdStepByStep, kIdNext, kIdPrevious})
    EXPECT_FALSE(Enabled(id)) << id;
  EXPECT_TRUE(Enabled(kIdLoopPlay));
  EXPECT_TRUE(Button(kIdSoundOnOff)->checked());
  EXPECT_EQ(panel().State(kIdVolume), 0);  // volume 99 is the top of the trackbar
  EXPECT_FALSE(panel().isHidden());
  EXPECT_TRUE(panel().windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(panel().windowFlags() & Qt::FramelessWindowHint);
  // The engine: 5-5-5 pixels, the frame callback, looping.
  EXPECT_EQ(player.red_mask, 0x7C00u);
  EXPECT_EQ(player.green_mask, 0x03E0u);
  EXPECT_NE(player.frame_callback, nullptr);
  EXPECT_EQ(player.loop_mode.load(), kLoopOn);

  // Space with no movie chosen does nothing, whatever the turns.
  Key(Qt::Key_Space);
  TurnFor(20);
  EXPECT_TRUE(state().stopped);
  EXPECT_TRUE(EngineIdle());
  EXPECT_TRUE(Button(kIdStop)->checked());
}

TEST_F(ViewerTest, ClickReachesDisabledButtons) {
  Start();
  ASSERT_FALSE(Enabled(kIdPause));
  viewer->Click(kIdPause);
  EXPECT_TRUE(state().paused);
  EXPECT_TRUE(Button(kIdPause)->checked());
  EXPECT_FALSE(Button(kIdStop)->checked());
  // Enter reaches Step by Step the same way: already paused, it sets step mode.
  Key(Qt::Key_Return);
  EXPECT_TRUE(state().step_mode);
  // Stopped, there is no playback for that pause to end: nothing is said.
  Turn();
  EXPECT_TRUE(notices.isEmpty()) << notices.join(QLatin1Char('|')).toStdString();
  // A mouse click on the disabled button does nothing.
  viewer->Click(kIdStop);
  QTest::mouseClick(panel().Control(kIdPause), Qt::LeftButton);
  EXPECT_FALSE(state().paused);
  EXPECT_TRUE(Button(kIdStop)->checked());
}

TEST_F(ViewerTest, CommandLineMoviePlaysAndStops) {
  const QString movie = Conformance(kSilentMovie);
  // The clock stays on frame 0: a machine slow enough to let the 6 frames run out before the
  // Pause below would pause on the last one, and the Play after it would end playback.
  std::atomic<bool> clock_held{true};
  player.services.clock_held = &clock_held;
  // One pair of enclosing quotes is removed.
  Start({QLatin1Char('"') + movie + QLatin1Char('"')});
  EXPECT_TRUE(state().play_request);
  EXPECT_EQ(state().file_count, 1);
  EXPECT_EQ(state().current_path, movie.toStdString());

  Turn();
  EXPECT_TRUE(Enabled(kIdPlay));
  EXPECT_FALSE(Enabled(kIdNext));
  EXPECT_FALSE(state().play_request);
  ASSERT_TRUE(Playing());
  EXPECT_FALSE(state().stopped);
  EXPECT_TRUE(Button(kIdPlay)->checked());
  EXPECT_FALSE(Button(kIdStop)->checked());
  EXPECT_TRUE(Enabled(kIdPause));
  EXPECT_TRUE(Enabled(kIdStepByStep));
  VideoWindowSet& video = viewer->video();
  ASSERT_TRUE(video.exists());
  EXPECT_EQ(video.video_window()->windowTitle(), movie);
  EXPECT_EQ(video.status_bar()->PartText(0), QStringLiteral("Size 128x96"));
  EXPECT_EQ(video.status_bar()->PartText(1), QStringLiteral("6 Frames"));
  EXPECT_EQ(video.video_window()->size(), QSize(132, 120));
  // 200 / 13 = 15.38 frames per second: digits 1, 5, 3 and the trackbar at 30.
  EXPECT_FLOAT_EQ(state().play_rate, 200.0f / 13.0f);
  EXPECT_EQ(RateText(), "15.3");
  EXPECT_EQ(panel().State(kIdFrameRate), 30);
  EXPECT_EQ(panel().Progress()->count(), 6);
  // No sound: both indicators blank.
  EXPECT_EQ(panel().State(kIdChannels), 0);
  EXPECT_EQ(panel().State(kIdSampleRate), 0);

  Key(Qt::Key_Space);  // Pause
  EXPECT_TRUE(state().paused);
  EXPECT_FALSE(state().ui_playing);
  EXPECT_TRUE(Enabled(kIdPause));  // paused: the buttons keep their state
  Key(Qt::Key_Left);  // one frame per second faster (a 61 ms clock instead of 65), still paused
  EXPECT_FALSE(player.timer_active);
  Key(Qt::Key_Space);  // Play again resumes, at the rate chosen
  EXPECT_FALSE(state().paused);
  EXPECT_TRUE(state().ui_playing);
  EXPECT_TRUE(Button(kIdPlay)->checked());
  EXPECT_EQ(player.timer_period_ms.load(), 61u);

  Key(Qt::Key_Delete);  // Stop
  EXPECT_TRUE(state().stopped);
  EXPECT_FALSE(state().ui_playing);
  EXPECT_FALSE(EnginePlaying());
  EXPECT_TRUE(EngineIdle());
  EXPECT_TRUE(Button(kIdStop)->checked());
  EXPECT_FALSE(Enabled(kIdPause));
  EXPECT_FALSE(Enabled(kIdStepByStep));
  EXPECT_TRUE(Enabled(kIdPlay));
}

TEST_F(ViewerTest, ArrowKeysChangeOnlyTheRate) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  const std::string digits = RateText();
  const int trackbar = panel().State(kIdFrameRate);
  state().play_rate = 15.0f;
  Key(Qt::Key_Left);
  EXPECT_FLOAT_EQ(state().play_rate, 16.0f);
  for (int i = 0; i < 40; ++i) Key(Qt::Key_Left);
  EXPECT_FLOAT_EQ(state().play_rate, 50.0f);  // no higher than 50
  state().play_rate = 49.5f;                  // the slider's last step but one
  Key(Qt::Key_Left);
  EXPECT_FLOAT_EQ(state().play_rate, 50.0f);
  EXPECT_EQ(RateText(), digits);
  EXPECT_EQ(panel().State(kIdFrameRate), trackbar);

  state().play_rate = 1.0f;
  Key(Qt::Key_Right);
  EXPECT_FLOAT_EQ(state().play_rate, 0.0f);
  Key(Qt::Key_Right);
  EXPECT_FLOAT_EQ(state().play_rate, 0.0f);
  // From half a frame per second the rate stops at 0 rather than going below it.
  state().play_rate = 0.5f;
  Key(Qt::Key_Right);
  EXPECT_FLOAT_EQ(state().play_rate, 0.0f);
  // The engine goes on at the last rate it accepted. The time code counts a frame as a
  // second: the seconds follow the frame counter and the frames stay at 0.
  ASSERT_TRUE(TurnUntil([this] { return state().frame_shown && panel().State(1046) >= 2; }));
  EXPECT_EQ(panel().State(kIdSecondsUnits), panel().State(1046));
  EXPECT_EQ(panel().State(kIdFramesUnits), 0);
  EXPECT_EQ(panel().State(kIdFramesTens), 0);
}

// Screen readers say a window's title and find its status bar by their roles.
TEST_F(ViewerTest, AssistiveToolsSeeTheWindowsAndTheStatusBar) {
  Start({Conformance(kSilentMovie), Conformance(kSilentMovie)});
  Turn();
  VideoWindowSet& video = viewer->video();
  ASSERT_TRUE(video.exists());
  auto role = [](QWidget* widget) { return QAccessible::queryAccessibleInterface(widget)->role(); };
  EXPECT_EQ(role(video.video_window()), QAccessible::Window);
  EXPECT_EQ(role(&panel()), QAccessible::Window);
  ASSERT_NE(viewer->playlist_window(), nullptr);
  EXPECT_EQ(role(viewer->playlist_window()), QAccessible::Window);
  EXPECT_EQ(role(video.status_bar()), QAccessible::StatusBar);
}

TEST_F(ViewerTest, PreviousAndNextWithoutAPlaylist) {
  const std::string movie = Conformance(kSilentMovie).toStdString();
  Start({Conformance(kSilentMovie)});
  EXPECT_EQ(state().list_index, 0);
  // One movie and no list: both keys leave the movie and the line as they are.
  Key(Qt::Key_PageUp);
  Key(Qt::Key_PageDown);
  EXPECT_EQ(state().list_index, 0);
  EXPECT_EQ(state().current_path, movie);
  EXPECT_EQ(state().file_count, 1);
}

TEST_F(ViewerTest, EscapeAndCloseLeaveFullScreenThenQuit) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  viewer->Click(kIdFullScreen);
  EXPECT_TRUE(viewer->video().full_screen());
  EXPECT_TRUE(Button(kIdFullScreen)->checked());
  Key(Qt::Key_Escape);
  EXPECT_FALSE(viewer->video().full_screen());
  EXPECT_FALSE(Button(kIdFullScreen)->checked());
  EXPECT_FALSE(state().quit_requested);
  EXPECT_FLOAT_EQ(viewer->video().zoom(), 1.0f);

  // Close leaves full screen too, and the Full Screen button follows.
  viewer->Click(kIdFullScreen);
  ASSERT_TRUE(viewer->video().full_screen());
  viewer->Click(kIdClose);
  EXPECT_FALSE(viewer->video().full_screen());
  EXPECT_FALSE(Button(kIdFullScreen)->checked());
  EXPECT_FALSE(state().quit_requested);

  Key(Qt::Key_Escape);
  EXPECT_TRUE(state().quit_requested);
  // From now on nothing is obeyed.
  viewer->Click(kIdLoopPlay);
  EXPECT_FALSE(state().loop_on);
}

TEST_F(ViewerTest, SpaceOrEscapeHeldDownSwitchesOnce) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  Key(Qt::Key_Space);
  KeyRepeat(Qt::Key_Space);
  EXPECT_TRUE(state().paused);
  // Under X a repeat may come unmarked: a release and a press with one time stamp.
  for (QEvent::Type type : {QEvent::KeyRelease, QEvent::KeyPress}) {
    QKeyEvent event(type, Qt::Key_Space, Qt::NoModifier);
    event.setTimestamp(1000);
    QApplication::sendEvent(viewer->command_window(), &event);
  }
  EXPECT_TRUE(state().paused);
  viewer->Click(kIdFullScreen);
  Key(Qt::Key_Escape);
  KeyRepeat(Qt::Key_Escape);
  EXPECT_FALSE(viewer->video().full_screen());
  EXPECT_FALSE(state().quit_requested);
}

TEST_F(ViewerTest, MediaKeysPlayPauseStopAndChangeMovies) {
  std::atomic<bool> clock_held{true};
  player.services.clock_held = &clock_held;
  Start({Conformance(kSilentMovie), Conformance(kSoundMovie)});
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }));
  // (QTest has no text for these keys.)
  auto Key = [this](Qt::Key key) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(viewer->command_window(), &event);
  };
  // Play (the Play/Pause key of most keyboards under X11 and Wayland) and Play/Pause switch,
  // once when held down; Pause only pauses.
  Key(Qt::Key_MediaPlay);
  EXPECT_TRUE(state().paused);
  Key(Qt::Key_MediaPlay);
  EXPECT_TRUE(state().ui_playing);
  Key(Qt::Key_MediaPause);
  Key(Qt::Key_MediaPause);
  EXPECT_TRUE(state().paused);
  Key(Qt::Key_MediaTogglePlayPause);
  KeyRepeat(Qt::Key_MediaTogglePlayPause);
  EXPECT_TRUE(state().ui_playing);
  Key(Qt::Key_MediaTogglePlayPause);
  Key(Qt::Key_MediaNext);
  EXPECT_EQ(state().list_index, 1);
  Key(Qt::Key_MediaPrevious);
  EXPECT_EQ(state().list_index, 0);
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }));
  Key(Qt::Key_MediaStop);
  EXPECT_TRUE(state().stopped);
}

TEST_F(ViewerTest, AScreenChangeJustAfterFullScreenLeavesTheWindowAlone) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  viewer->Click(kIdFullScreen);
  QScreen* screen = viewer->video().video_window()->screen();
  ASSERT_NE(screen, nullptr);
  Key(Qt::Key_Escape);
  ASSERT_FALSE(viewer->video().full_screen());
  // The full-screen window is not deleted yet; the screen changes size meanwhile.
  emit screen->geometryChanged(QRect(0, 0, 1600, 1200));
  // 128 x 96 with the 2-pixel edge around it and the 20-pixel status bar.
  EXPECT_EQ(viewer->video().video_window()->size(), QSize(132, 120));
}

TEST_F(ViewerTest, FrameRateTrackbar) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  // Scrolled to 0, the rate is 1 frame per second rather than 0.
  viewer->OnScroll(kIdFrameRate, kScrollTop, 0);
  EXPECT_EQ(panel().State(kIdFrameRate), 0);
  EXPECT_FLOAT_EQ(state().play_rate, 1.0f);
  EXPECT_EQ(RateText(), "01.0");
  viewer->OnScroll(kIdFrameRate, kScrollThumbTrack, 25);
  EXPECT_FLOAT_EQ(state().play_rate, 12.5f);
  EXPECT_EQ(RateText(), "12.5");
  EXPECT_EQ(player.timer_period_ms.load(), 80u);  // 1000 / 12.5
  viewer->OnScroll(kIdFrameRate, kScrollLineDown, 0);
  EXPECT_EQ(panel().State(kIdFrameRate), 26);
  EXPECT_EQ(RateText(), "13.0");
  // A screen reader hears and sets the slider in frames per second, as the digits show it.
  QAccessibleValueInterface* slider =
      QAccessible::queryAccessibleInterface(panel().Control(kIdFrameRate))->valueInterface();
  EXPECT_DOUBLE_EQ(slider->currentValue().toDouble(), 13.0);
  EXPECT_DOUBLE_EQ(slider->maximumValue().toDouble(), 50.0);
  EXPECT_DOUBLE_EQ(slider->minimumValue().toDouble(), 0.5);  // one step up from the bottom
  slider->setCurrentValue(20.0);
  EXPECT_EQ(RateText(), "20.0");
  // At the bottom it plays at 1 frame per second, and says so.
  viewer->OnScroll(kIdFrameRate, kScrollTop, 0);
  EXPECT_DOUBLE_EQ(slider->currentValue().toDouble(), 1.0);
  // Stepped down from its slowest rate (0.5 to 0.0, as a tool's Decrease asks), it stays at the
  // nearest rate it has rather than going back up to 1.
  slider->setCurrentValue(0.5);
  slider->setCurrentValue(0.0);
  EXPECT_DOUBLE_EQ(slider->currentValue().toDouble(), 0.5);
  EXPECT_EQ(RateText(), "00.5");
}

TEST_F(ViewerTest, AMovieWithoutAFrameDurationPlaysAt15WhateverCameBefore) {
  // mixed-1024x64: 16/200 s a frame; dct-640x480: no duration, both silent.
  const QString second = Conformance("dct-640x480.kqm");
  Start({Conformance("mixed-1024x64.kqm"), second});
  Turn();
  ASSERT_TRUE(Playing());
  EXPECT_EQ(RateText(), "12.5");
  Key(Qt::Key_PageDown);
  // Its title comes with its start, which sets the rate and the clock.
  ASSERT_TRUE(TurnUntil([&] {
    return !state().play_request && viewer->video().video_window()->windowTitle() == second;
  }));
  EXPECT_FLOAT_EQ(state().play_rate, 15.0f);
  EXPECT_EQ(RateText(), "15.0");
  EXPECT_EQ(player.timer_period_ms.load(), 66u);  // 1000 / 15, as for the first movie of a run
}

TEST_F(ViewerTest, SoundMovieKeepsItsRateAndTakesTheVolume) {
  Start({Conformance(kSoundMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  // 2 channels; the movie's sample rate picks the indicator.
  std::uint32_t stereo = 0, rate = 0;
  ASSERT_TRUE(Player_GetSoundFormat(player, &stereo, &rate));
  EXPECT_EQ(panel().State(kIdChannels), 2);
  EXPECT_EQ(panel().State(kIdSampleRate), 3 - static_cast<int>(rate / 11025 / 2));
  // The frame-rate trackbar is ignored while a movie with sound plays.
  const int position = panel().State(kIdFrameRate);
  const float play_rate = state().play_rate;
  viewer->OnScroll(kIdFrameRate, kScrollTop, 0);
  EXPECT_EQ(panel().State(kIdFrameRate), position);
  EXPECT_FLOAT_EQ(state().play_rate, play_rate);

  // Volume: one page down from the top is 89.
  viewer->OnScroll(kIdVolume, kScrollPageDown, 0);
  EXPECT_EQ(panel().State(kIdVolume), 10);
  EXPECT_EQ(state().volume, 89);
  EXPECT_EQ(log->volume(), 89u * kVolumeStep);
  // Sound off: the device goes silent and the setting follows.
  QTest::mouseClick(panel().Control(kIdSoundOnOff), Qt::LeftButton);
  EXPECT_TRUE(state().muted);
  EXPECT_EQ(viewer->settings().NoSound, 1);
  EXPECT_EQ(log->volume(), 0u);
  viewer->OnScroll(kIdVolume, kScrollBottom, 0);
  EXPECT_EQ(state().volume, 0);
  viewer->OnScroll(kIdVolume, kScrollTop, 0);
  EXPECT_EQ(state().volume, 99);
  EXPECT_EQ(log->volume(), 0u);  // still muted
  QTest::mouseClick(panel().Control(kIdSoundOnOff), Qt::LeftButton);
  EXPECT_FALSE(state().muted);
  EXPECT_EQ(log->volume(), 99u * kVolumeStep);
}

TEST_F(ViewerTest, LoopPlayKeepsPlayingPastTheEnd) {
  Start({Conformance(kSilentMovie)});
  QTest::mouseClick(panel().Control(kIdLoopPlay), Qt::LeftButton);
  EXPECT_TRUE(state().loop_on);
  Turn();
  ASSERT_TRUE(Playing());
  // Six frames at 65 ms: the movie wraps within about half a second.
  ASSERT_TRUE(TurnUntil([this] { return Status().loop_count >= 1; }, 5000));
  TurnFor(50);
  EXPECT_TRUE(Playing());
  QTest::mouseClick(panel().Control(kIdLoopPlay), Qt::LeftButton);
  EXPECT_FALSE(state().loop_on);
  // Without Loop Play it stops at the end of the pass, on the last frame.
  ASSERT_TRUE(TurnUntil([this] { return state().stopped; }, 5000));
  EXPECT_EQ(Status().shown_frame, 5);
  EXPECT_EQ(Counter(), "00006");
}

TEST_F(ViewerTest, PlaybackEndsOnTheLastFrame) {
  // Two frames without sound: both are shown, and playback ends on the second.
  Start({Conformance("dct-640x480.kqm")});
  Turn();
  ASSERT_TRUE(Playing());
  ASSERT_TRUE(TurnUntil([this] { return state().stopped; }, 5000));
  EXPECT_EQ(Status().shown_frame, 1);
  EXPECT_EQ(Status().pictures_presented, 2);
  EXPECT_EQ(Counter(), "00002");
}

TEST_F(ViewerTest, AOneFrameMovieWithSoundPlaysOnePeriod) {
#ifndef TARVEL_KQM
  GTEST_SKIP() << "the kqm tool is not built";
#else
  // One 16 x 16 picture of half a second with half a second of 8 kHz mono sound.
  QTemporaryDir folder;
  QFile video(folder.filePath(QStringLiteral("one.y4m")));
  ASSERT_TRUE(video.open(QIODevice::WriteOnly));
  video.write("YUV4MPEG2 W16 H16 F2:1 Ip A1:1 C420jpeg\nFRAME\n");
  video.write(QByteArray(16 * 16 * 3 / 2, '\x60'));
  video.close();
  QFile sound(folder.filePath(QStringLiteral("one.wav")));
  ASSERT_TRUE(sound.open(QIODevice::WriteOnly));
  QByteArray wav(
      "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0"
      "data\0\0\0\0",
      44);
  qToLittleEndian<quint32>(36 + 8000, wav.data() + 4);
  qToLittleEndian<quint32>(8000, wav.data() + 40);
  sound.write(wav + QByteArray(8000, '\x11'));
  sound.close();
  const QString movie = folder.filePath(QStringLiteral("one.kqm"));
  QProcess kqm;
  kqm.start(QString::fromLatin1(TARVEL_KQM), {"encode", "--video", video.fileName(), "--audio",
                                              sound.fileName(), "-o", movie, "-q"});
  ASSERT_TRUE(kqm.waitForFinished(60000));
  ASSERT_EQ(kqm.exitCode(), 0) << kqm.readAllStandardError().toStdString();
  std::atomic<int> queued{0};
  log = std::make_shared<CaptureLog>(false, [&queued](const CapturedBuffer&) { ++queued; });
  Start({movie});
  Turn();
  ASSERT_TRUE(Playing());
  ASSERT_TRUE(TurnUntil([this] { return state().stopped; }, 10000));
  // The card is given the lead of 32 periods, then one period more as the first ends: there the
  // movie is over, and the card pauses after that first period. A second period asked for
  // means that the next pass's sound was heard.
  EXPECT_EQ(queued, 33);
  EXPECT_EQ(Counter(), "00001");
#endif
}

TEST_F(ViewerTest, StepByStepShowsOneExactFrameAtATime) {
  // The clock is held until step mode is on: a busy machine may otherwise let the first picture
  // come before the key does.
  std::atomic<bool> clock_held{true};
  player.services.clock_held = &clock_held;
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  Key(Qt::Key_Return);
  ASSERT_TRUE(state().step_mode);
  ASSERT_TRUE(state().paused);
  ASSERT_EQ(CurrentFrame(), 0);
  clock_held = false;
  // CRC-32 of the first five pictures of this movie, from its reference listing.
  const std::uint32_t expected[] = {0xb05b0f63, 0x187f12ad, 0xb24da2e2, 0x60e0af49, 0xf5e762d0};
  for (std::int32_t frame = 0; frame < 5; ++frame) {
    Key(Qt::Key_Return);
    ASSERT_TRUE(TurnUntil([&] { return CurrentFrame() == frame + 1; }, 3000)) << "frame " << frame;
    TurnFor(200);  // three clock periods: no second frame comes
    ASSERT_EQ(CurrentFrame(), frame + 1);
    const PictureSurface& surface = viewer->video().surface();
    EXPECT_EQ(test::Crc32(surface.pixels(), std::size_t{surface.width()} * surface.height() * 2),
              expected[frame])
        << "frame " << frame;
  }
  // The picture window shows the surface.
  const QImage shown = ShownPicture(viewer->video().picture_window());
  EXPECT_EQ(shown, viewer->video().surface().image().convertToFormat(QImage::Format_RGB32));
  EXPECT_EQ(Counter(), "00005");
  // Play leaves step mode.
  viewer->Click(kIdPlay);
  EXPECT_FALSE(state().step_mode);
  EXPECT_TRUE(state().ui_playing);
}

TEST_F(ViewerTest, TheProgressBarAndTheKeysGoToAnyFrame) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  Key(Qt::Key_Space);  // paused: each seek leaves it paused
  ASSERT_TRUE(state().paused);
  // CRC-32 of the six pictures, from the movie's reference listing (the sixth by the same
  // decoder as the rest: every frame from frame 0 on, as continuous playback shows them).
  const std::uint32_t expected[] = {0xb05b0f63, 0x187f12ad, 0xb24da2e2, 0x60e0af49, 0xf5e762d0};
  auto shown = [this] { return Status().shown_frame; };
  auto picture = [this] {
    const PictureSurface& surface = viewer->video().surface();
    return test::Crc32(surface.pixels(), std::size_t{surface.width()} * surface.height() * 2);
  };
  // 285 pixels for 6 frames: x = 150 lies in frame 150 x 6 / 285 = 3.
  QTest::mouseClick(panel().Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(150, 5));
  EXPECT_EQ(shown(), 3);
  EXPECT_EQ(picture(), expected[3]);
  Turn();
  EXPECT_EQ(Counter(), "00004");  // as playback shows frame 3: the next frame's number
  EXPECT_EQ(panel().State(kIdProgress), 4);
  EXPECT_EQ(Status().state, PlayerState::kPaused);
  Key(Qt::Key_Home);
  EXPECT_EQ(shown(), 0);
  EXPECT_EQ(picture(), expected[0]);
  // The last frame, Loop Play off: shown, and playback does not end for it.
  Key(Qt::Key_End);
  TurnFor(20);
  EXPECT_EQ(shown(), 5);
  EXPECT_FALSE(state().stopped);
  EXPECT_EQ(Counter(), "00006");  // not the frame 0 that playback would go on with
  EXPECT_EQ(panel().State(kIdProgress), 6);
  Key(Qt::Key_Comma);
  EXPECT_EQ(shown(), 4);
  EXPECT_EQ(picture(), expected[4]);
  // One frame on presents the next one with the clock, then pauses again.
  Key(Qt::Key_Comma);
  Key(Qt::Key_Period);
  ASSERT_TRUE(TurnUntil([&] { return shown() == 4 && Status().state == PlayerState::kPaused; }));
  TurnFor(20);
  EXPECT_FALSE(state().stopped);  // the last but one frame, reached by a step: still open
  EXPECT_EQ(picture(), expected[4]);
  // Five seconds back from frame 4 at 15.4 frames per second: the first frame.
  QTest::keyClick(viewer->command_window(), Qt::Key_Left, Qt::ControlModifier);
  EXPECT_EQ(shown(), 0);
  EXPECT_FLOAT_EQ(state().play_rate, 200.0f / 13.0f);  // not the rate key
  // Playing on from a seek: the frames follow from there.
  Key(Qt::Key_Space);
  QTest::mouseClick(panel().Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(100, 5));
  EXPECT_EQ(shown(), 2);
  ASSERT_TRUE(TurnUntil([&] { return shown() == 3; }));
  // Once playback has ended, the bar plays the movie again from the frame under the pointer.
  ASSERT_TRUE(TurnUntil([this] { return state().stopped; }, 5000));
  QTest::mouseClick(panel().Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(150, 5));
  EXPECT_TRUE(state().ui_playing);
  EXPECT_EQ(shown(), 3);
  EXPECT_EQ(picture(), expected[3]);
}

TEST_F(ViewerTest, SeeksComingFasterThanTheTurnsGoOnlyToTheLast) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  Key(Qt::Key_Space);
  Key(Qt::Key_End);
  Turn();
  ASSERT_EQ(Status().shown_frame, 5);
  // Key repeats and clicks that came while a seek decoded its run-up are handled together: the
  // first seek runs at once, the rest only move the frame the next turn goes to.
  const std::int64_t presented = Status().pictures_presented;
  for (int press = 0; press < 4; ++press) {
    Key(Qt::Key_Comma);
    Key(Qt::Key_Control);  // no key of its own
  }
  EXPECT_EQ(Status().shown_frame, 4);
  Turn();
  EXPECT_EQ(Status().shown_frame, 1);
  EXPECT_EQ(Status().pictures_presented, presented + 2);
  // That turn's seek counts as the first: clicks on the bar now wait too. 285 pixels for 6
  // frames: x = 150, 250 and 100 lie in frames 3, 5 and 2. A key that is no seek comes after
  // them: one frame on from frame 2.
  for (const int x : {150, 250, 100})
    QTest::mouseClick(panel().Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(x, 5));
  EXPECT_EQ(Status().shown_frame, 1);
  Key(Qt::Key_Period);
  ASSERT_TRUE(TurnUntil(
      [this] { return Status().shown_frame == 3 && Status().state == PlayerState::kPaused; }));
  EXPECT_EQ(Status().pictures_presented, presented + 4);
}

TEST_F(ViewerTest, PeriodOrEnterHeldDownGoesOnFrameByFrame) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  Key(Qt::Key_Space);
  Key(Qt::Key_Home);
  // A held key repeats faster than the clock brings the frame stepped to: the repeat lets that
  // frame come rather than calling it off, so the frames go on.
  for (int round = 0; round < 3; ++round) {
    const std::int32_t before = Status().shown_frame;
    Key(Qt::Key_Period);
    Key(Qt::Key_Period);
    ASSERT_TRUE(TurnUntil([&] {
      return Status().state == PlayerState::kPaused && Status().shown_frame > before;
    })) << round;
  }
  EXPECT_TRUE(state().paused);
  // Enter held down the same: its repeats do not keep putting the next frame off.
  Key(Qt::Key_Return);
  ASSERT_TRUE(state().step_mode);
  const std::int32_t before = Status().shown_frame;
  Key(Qt::Key_Return);
  ASSERT_TRUE(TurnUntil([&] {
    Key(Qt::Key_Return);
    return Status().shown_frame > before;
  }));
}

TEST_F(ViewerTest, RepeatsLeftWaitingByABusyPlayerStepOnce) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  Key(Qt::Key_Space);
  Key(Qt::Key_Home);
  ASSERT_TRUE(TurnUntil([this] { return Status().state == PlayerState::kPaused; }));
  Key(Qt::Key_Return);  // step mode
  Turn();
  // On a starved player the repeats of a held key pile up, with no turn between them, and the
  // frame each steps to has come before the next is taken: they count as one step.
  for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Period}) {
    const std::int32_t before = Status().shown_frame;
    KeyRepeat(key);
    for (int i = 0; i < 5000 &&
                    !(Status().state == PlayerState::kPaused && Status().shown_frame == before + 1);
         ++i)
      QThread::msleep(1);
    ASSERT_EQ(Status().shown_frame, before + 1) << key;
    ASSERT_EQ(Status().state, PlayerState::kPaused) << key;
    KeyRepeat(key);
    KeyRepeat(key);
    EXPECT_EQ(Status().state, PlayerState::kPaused) << key;
    Turn();
  }
}

TEST_F(ViewerTest, AFramePastACutIsSaidToBeOutOfReach) {
  // 33 frames at 5 a second, cut ten bytes into frame 20: 20 of them can be played, and
  // playback takes four seconds to reach the cut.
  QTemporaryDir folder;
  const QString cut = folder.filePath(QStringLiteral("cut.kqm"));
  {
    QFile source(Conformance("mixed-136x96-mono-33-key4.kqm"));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    qsizetype end = 64;
    for (int frame = 0; frame < 20; ++frame)
      end += qFromLittleEndian<quint32>(bytes.constData() + end) & 0xFFFFFF;
    QFile file(cut);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes.left(end + 10));
  }
  Start({cut});
  Turn();
  ASSERT_TRUE(Playing());
  Key(Qt::Key_Space);
  Key(Qt::Key_Home);
  ASSERT_EQ(Status().shown_frame, 0);
  testing::internal::CaptureStderr();
  // End, and the bar's right end, say why nothing changes, once; the movie stays paused there.
  Key(Qt::Key_End);
  Turn();
  QTest::mouseClick(panel().Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(284, 5));
  const std::string line =
      cut.toStdString() + ": cannot go to frame 32: the movie has 20 frames that can be played";
  EXPECT_EQ(PlayerLines(testing::internal::GetCapturedStderr()), "tarvel: " + line + "\n");
  EXPECT_EQ(viewer->video().status_bar()->problem().toStdString(), line);
  EXPECT_EQ(Status().shown_frame, 0);
  EXPECT_EQ(Status().state, PlayerState::kPaused);
  // A frame before the cut is still gone to.
  QTest::mouseClick(panel().Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(100, 5));
  EXPECT_EQ(Status().shown_frame, 100 * 33 / 285);
  // A step on from the last frame that can be played ends playback, saying why, rather than
  // leaving the panel paused over a movie that no key moves any more.
  viewer->Seek(19);
  testing::internal::CaptureStderr();
  Key(Qt::Key_Period);
  EXPECT_TRUE(TurnUntil([this] { return state().stopped; }));
  EXPECT_NE(testing::internal::GetCapturedStderr().find(": playback stopped: frame 20: "),
            std::string::npos);
}

TEST_F(ViewerTest, PlayingOnFromTheLastFrameEndsPlayback) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  Key(Qt::Key_Space);
  // A step onto the last frame shows it and stays there: the turns before it comes are no
  // playback reaching the end.
  Key(Qt::Key_End);
  Key(Qt::Key_Comma);
  Key(Qt::Key_Period);
  ASSERT_TRUE(TurnUntil([this] { return Status().shown_frame == 5 || state().stopped; }));
  TurnFor(20);
  EXPECT_FALSE(state().stopped);
  ASSERT_EQ(Status().shown_frame, 5);
  // Step by Step, then one frame on: Loop Play is off, so nothing follows the last frame.
  Key(Qt::Key_Return);
  Key(Qt::Key_Return);
  EXPECT_TRUE(TurnUntil([this] { return state().stopped; }, 5000));
  EXPECT_EQ(Status().shown_frame, 5);
  // Enter held on: its repeats leave the movie stopped, not paused.
  KeyRepeat(Qt::Key_Return);
  EXPECT_FALSE(state().paused);
  // Playing, the last frame gone to ends playback there too.
  Key(Qt::Key_Space);
  ASSERT_TRUE(Playing());
  Key(Qt::Key_End);
  EXPECT_TRUE(state().stopped);
  EXPECT_EQ(Status().shown_frame, 5);
  EXPECT_EQ(Counter(), "00006");
  // Paused on the last frame, Play ends playback there as well.
  Key(Qt::Key_Space);
  Key(Qt::Key_Space);
  Key(Qt::Key_End);
  ASSERT_TRUE(state().paused);
  Key(Qt::Key_Space);
  EXPECT_TRUE(state().stopped);
  EXPECT_EQ(Status().shown_frame, 5);
}

TEST_F(ViewerTest, AClickOnTheBarOfAMovieWithSoundShowsItsFrameAtOnce) {
  log = std::make_shared<CaptureLog>();  // keeping what is queued
  // The card's periods end when the test says: with the wall clock, a busy machine could end
  // one between the click and the look at the picture.
  UseHandClockedCard();
  Start({Conformance(kSoundMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  ASSERT_NE(card, nullptr);
  // Playback from the start queued the sound from period 0 on: 2560 bytes a period (640
  // samples of two channels of two bytes), 32 periods ahead.
  const std::vector<std::uint8_t> continuous = log->Pcm();
  constexpr std::size_t kPeriod = 2560;
  ASSERT_EQ(continuous.size(), 32 * kPeriod);
  // The sound queued after a click on frame 2 (8 frames on 285 pixels: x = 75 lies in frame
  // 75 x 8 / 285 = 2) is what playing from the start gives from period 2 on. No period has
  // ended: the seek's 32 periods follow the start's.
  Key(Qt::Key_Space);
  ASSERT_TRUE(state().paused);
  QTest::mouseClick(panel().Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(75, 5));
  EXPECT_EQ(Status().shown_frame, 2);
  ASSERT_EQ(log->buffer_count(), 64u);
  Key(Qt::Key_Space);
  card->Tick();
  ASSERT_TRUE(TurnUntil([this] { return Status().shown_frame == 3; }));
  std::vector<std::uint8_t> after;
  const std::vector<CapturedBuffer> buffers = log->Buffers();
  for (std::size_t i = 32; i < buffers.size(); ++i)
    after.insert(after.end(), buffers[i].bytes.begin(), buffers[i].bytes.end());
  const std::size_t compared = continuous.size() - 2 * kPeriod;
  ASSERT_GE(after.size(), compared);
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(compared),
                         continuous.begin() + 2 * kPeriod));
  // Playing, x = 200 lies in frame 200 x 8 / 285 = 5: the picture is there when the click has
  // been handled, and stays until the card's next period ends, which brings frame 6. (A turn
  // first: a second seek before the turn after the first waits for the next one.)
  Turn();
  QTest::mouseClick(panel().Control(kIdProgress), Qt::LeftButton, Qt::NoModifier, QPoint(200, 5));
  EXPECT_EQ(Status().shown_frame, 5);
  EXPECT_TRUE(Status().sound_on);
  Turn();
  EXPECT_EQ(Status().shown_frame, 5);
  card->Tick();
  ASSERT_TRUE(TurnUntil([this] { return Status().shown_frame == 6; }));
}

TEST_F(ViewerTest, StepByStepWithSoundShowsOneFrameAtATime) {
  // The card's periods end when the test says, not with the wall clock: on a busy machine a
  // period could otherwise end before the engine had paused the card for the one before.
  UseHandClockedCard();
  Start({Conformance("mixed-136x96-mono-33-key4.kqm")});
  Turn();
  ASSERT_TRUE(Playing());
  // The first picture is shown as the card is primed; no period of the card has ended yet.
  ASSERT_EQ(CurrentFrame(), 1);
  ASSERT_NE(card, nullptr);
  Key(Qt::Key_Return);
  ASSERT_TRUE(state().step_mode);
  card->Tick();  // paused: the card's clock stands still
  Turn();
  ASSERT_EQ(CurrentFrame(), 1);
  for (int step = 0; step < 3; ++step) {
    const std::int32_t before = CurrentFrame();
    Key(Qt::Key_Return);
    card->Tick();  // the period playing ends: its frame comes, and the card is paused again
    ASSERT_TRUE(TurnUntil([&] {
      return CurrentFrame() == before + 1 && Status().state == PlayerState::kPaused;
    })) << "step "
        << step << ": frame " << CurrentFrame() << ", state " << static_cast<int>(Status().state);
    card->Tick();  // a card left playing would end the next period here
    Turn();
    EXPECT_EQ(CurrentFrame(), before + 1) << "step " << step;
  }
}

TEST_F(ViewerTest, MissingAndDamagedMoviesLeaveItStoppedAndUsable) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString missing = folder.filePath(QStringLiteral("missing.kqm"));
  testing::internal::CaptureStderr();
  Start({missing});
  TurnFor(10);
  std::string errors = PlayerLines(testing::internal::GetCapturedStderr());
  EXPECT_EQ(errors, "tarvel: " + missing.toStdString() + ": no such file\n");
  // Shown where the user looks, too: no video window yet, so in a notice.
  EXPECT_EQ(notices, QStringList{missing + QStringLiteral(": no such file")});
  // Nothing to show full screen or zoom.
  EXPECT_TRUE(Enabled(kIdPlay));
  EXPECT_FALSE(Enabled(kIdFullScreen));
  EXPECT_FALSE(Enabled(kIdZoomOff));
  viewer->Click(kIdFullScreen);
  viewer->Click(kIdZoomOff);
  EXPECT_FALSE(viewer->video().full_screen());
  EXPECT_FALSE(viewer->video().exists());
  EXPECT_FALSE(Button(kIdFullScreen)->checked());
  EXPECT_TRUE(state().stopped);
  EXPECT_FALSE(state().ui_playing);
  EXPECT_TRUE(EngineIdle());
  EXPECT_TRUE(Button(kIdStop)->checked());
  EXPECT_FALSE(Button(kIdPlay)->checked());
  // Enter, then Space: one more try, said once, and the panel stays stopped.
  notices.clear();
  Key(Qt::Key_Return);
  Key(Qt::Key_Space);
  Turn();
  EXPECT_EQ(notices, QStringList{missing + QStringLiteral(": no such file")});
  EXPECT_FALSE(state().ui_playing);

  // A header whose picture size is 0 x 0.
  const QString empty = folder.filePath(QStringLiteral("zeros.kqm"));
  {
    QFile file(empty);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(100, '\0'));
  }
  // A good header followed by ten bytes of a frame.
  const QString cut = folder.filePath(QStringLiteral("cut.kqm"));
  {
    QFile source(Conformance(kSilentMovie));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    QFile file(cut);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(source.read(64 + 10));
  }
  for (const QString& path : {empty, cut}) {
    testing::internal::CaptureStderr();
    state().current_path = path.toStdString();
    state().file_count = 1;
    state().play_request = true;
    TurnFor(50);
    errors = PlayerLines(testing::internal::GetCapturedStderr());
    EXPECT_EQ(errors.rfind("tarvel: " + path.toStdString() + ": ", 0), 0u) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_TRUE(state().stopped) << errors;
    EXPECT_FALSE(EnginePlaying());
    EXPECT_TRUE(EngineIdle());
    EXPECT_TRUE(Button(kIdStop)->checked());
  }

  EXPECT_EQ(notices.size(), 3);

  // Still usable: a good movie plays.
  state().current_path = Conformance(kSilentMovie).toStdString();
  state().play_request = true;
  Turn();
  EXPECT_TRUE(Playing());
  // Once the video window is there, its status bar tells as well.
  state().current_path = missing.toStdString();
  state().play_request = true;
  TurnFor(20);
  EXPECT_TRUE(state().stopped);
  EXPECT_EQ(viewer->video().status_bar()->problem(), notices.back());
  EXPECT_EQ(notices.back(), missing + QStringLiteral(": no such file"));

  // A line feed or carriage return in the name does not break the message's one line.
  testing::internal::CaptureStderr();
  state().current_path = folder.filePath(QStringLiteral("two\nlines\r.kqm")).toStdString();
  state().play_request = true;
  TurnFor(20);
  errors = testing::internal::GetCapturedStderr();
  const std::string line = folder.path().toStdString() + "/two\\x0Alines\\x0D.kqm: no such file";
  EXPECT_NE(errors.find("tarvel: " + line + "\n"), std::string::npos) << errors;
  EXPECT_EQ(notices.back().toStdString(), line);
}

TEST_F(ViewerTest, NoThreadToFollowPlaybackLeavesItStoppedAndUsable) {
  bool threads_left = false;
  ViewerSeams seams = Seams();
  seams.start_thread = [&threads_left](std::function<void()> body) {
    if (!threads_left)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
  const QString movie = Conformance(kSilentMovie);
  Start({movie}, std::move(seams));
  for (int turn = 0; turn < 5; ++turn) Turn();
  EXPECT_EQ(notices, QStringList{InTheLocale(movie.toStdString() +
                                             ": cannot be played: no thread to follow its "
                                             "playback (" +
                                             std::strerror(EAGAIN) + ")")});
  EXPECT_TRUE(state().stopped);
  EXPECT_TRUE(EngineIdle());
  EXPECT_TRUE(Button(kIdStop)->checked());
  EXPECT_TRUE(Enabled(kIdPlay));
  // Once there are threads again, Play plays it to its end.
  threads_left = true;
  Key(Qt::Key_Space);
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
  ASSERT_TRUE(TurnUntil([this] { return state().stopped; }, 5000));
  EXPECT_EQ(Counter(), "00006");
}

TEST_F(ViewerTest, NoticeComesAboveTheFullScreenWindowAndGoesBackWithIt) {
  QTemporaryDir folder;
  const QString missing = folder.filePath(QStringLiteral("missing.kqm"));
  ViewerSeams seams = Seams();
  seams.show_notice = nullptr;  // the player's own notice box
  testing::internal::CaptureStderr();
  Start({Conformance(kSilentMovie), missing}, seams);
  Turn();
  ASSERT_TRUE(Playing());
  viewer->Click(kIdFullScreen);
  ASSERT_TRUE(viewer->video().full_screen());
  Key(Qt::Key_PageDown);
  TurnFor(10);
  testing::internal::GetCapturedStderr();
  QMessageBox* notice = nullptr;
  for (QWidget* window : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(window); box != nullptr && box->isVisible())
      notice = box;
  ASSERT_NE(notice, nullptr);
  ASSERT_TRUE(viewer->video().full_screen());
  // The window manager keeps a window's own boxes above it, full screen too.
  EXPECT_EQ(notice->windowHandle()->transientParent(),
            viewer->video().video_window()->windowHandle());
  // Back in a window, the notice still open belongs to the panel again.
  viewer->Click(kIdClose);
  ASSERT_FALSE(viewer->video().full_screen());
  EXPECT_TRUE(notice->isVisible());
  EXPECT_EQ(notice->windowHandle()->transientParent(), panel().windowHandle());
  delete notice;
}

TEST_F(ViewerTest, FullScreenAndFreeWindowsFromTheCommandLine) {
  PlayerOptions options;
  options.full_screen = true;
  options.free_windows = true;
  Start({Conformance(kSilentMovie)}, options);
  EXPECT_TRUE(state().free_windows);
  EXPECT_FALSE(viewer->video().full_screen());
  Turn();
  ASSERT_TRUE(Playing());
  EXPECT_TRUE(viewer->video().full_screen());
  EXPECT_TRUE(Button(kIdFullScreen)->checked());
  // Only the first movie: back to the window, the next Play stays there.
  Key(Qt::Key_Escape);
  Key(Qt::Key_Delete);
  viewer->Click(kIdPlay);
  EXPECT_TRUE(Playing());
  EXPECT_FALSE(viewer->video().full_screen());
  EXPECT_EQ(viewer->settings().FullScreen, 0);
  EXPECT_EQ(viewer->settings().FenetreLibre, 0);
  // The Options dialog shows the setting and keeps it, OK included; the run stays free.
  bool free_box_checked = true;
  on_dialog = [&free_box_checked](QDialog& dialog) {
    free_box_checked =
        dynamic_cast<OptionsDialog&>(dialog).CheckBox(kOptionFreeWindows)->isChecked();
    return static_cast<int>(QDialog::Accepted);
  };
  viewer->Click(kIdOptions);
  EXPECT_FALSE(free_box_checked);
  EXPECT_EQ(viewer->settings().FenetreLibre, 0);
  EXPECT_TRUE(state().free_windows);
}

TEST_F(ViewerTest, APipeOrAFolderIsNamedAndNeverWaitedOn) {
  QTemporaryDir folder;
  const QString pipe = folder.filePath(QStringLiteral("pipe.kqm"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
  // Nobody ever writes into the pipe: opening it as a file would wait for ever.
  Start({pipe});
  Turn();
  EXPECT_TRUE(state().stopped);
  state().current_path = folder.path().toStdString();
  state().play_request = true;
  Turn();
  // An empty path (tarvel "") names nothing to put before the problem.
  state().current_path.clear();
  state().play_request = true;
  Turn();
  EXPECT_EQ(notices, (QStringList{pipe + QStringLiteral(": is not a regular file"),
                                  folder.path() + QStringLiteral(": is a folder"),
                                  QStringLiteral("no movie given (the path is empty)")}));
  EXPECT_TRUE(EngineIdle());
}

TEST_F(ViewerTest, AFolderAloneOnTheCommandLinePlaysItsMovies) {
  QTemporaryDir folder;
  for (const char* name : {"b10.kqm", "b2.kqm"})
    ASSERT_TRUE(QFile::copy(Conformance(kSilentMovie), folder.filePath(QLatin1String(name))));
  QFile(folder.filePath(QStringLiteral("notes.txt"))).open(QIODevice::WriteOnly);
  Start({folder.path()});
  Turn();
  // Natural order: b2 before b10.
  EXPECT_EQ(state().file_count, 2);
  EXPECT_EQ(state().current_path, folder.filePath(QStringLiteral("b2.kqm")).toStdString());
  EXPECT_TRUE(Playing());
  EXPECT_TRUE(notices.isEmpty());
}

TEST_F(ViewerTest, AFolderWithoutMoviesSaysSo) {
  QTemporaryDir folder;
  Start({folder.path()});
  Turn();
  EXPECT_TRUE(state().stopped);
  EXPECT_EQ(notices, QStringList{folder.path() + QStringLiteral(": no movies in this folder")});
}

TEST_F(ViewerTest, AFolderThatCannotBeReadSaysWhy) {
  // A folder without read permission stops anyone but root; the kernel's map_files folder stops
  // root too where it lacks the system administration capability.
  const auto readable = [](const std::string& path) {
    DIR* folder = opendir(path.c_str());
    if (!folder) return false;
    errno = 0;
    while (readdir(folder) != nullptr) {
    }
    const bool read = errno == 0;
    closedir(folder);
    return read;
  };
  QTemporaryDir scratch;
  std::string folder = scratch.filePath(QStringLiteral("locked")).toStdString();
  ASSERT_EQ(mkdir(folder.c_str(), 0), 0);
  if (readable(folder)) folder = "/proc/1/map_files";
  if (readable(folder)) GTEST_SKIP() << "every folder can be read here";
  Start({QString::fromStdString(folder)});
  Turn();
  EXPECT_TRUE(state().stopped);
  EXPECT_EQ(notices, QStringList{InTheLocale(folder + ": the folder cannot be read (" +
                                             std::strerror(EACCES) + ")")});
}

TEST_F(ViewerTest, SeveralPathsWithoutAMovieNameTheFirst) {
  QTemporaryDir folder;
  QFile(folder.filePath(QStringLiteral("a.txt"))).open(QIODevice::WriteOnly);
  Start({folder.filePath(QStringLiteral("a.txt")), folder.path()});
  EXPECT_EQ(notices, QStringList{folder.filePath(QStringLiteral("a.txt")) +
                                 QStringLiteral(": no movies among the 2 paths given")});
}

// `tarvel emptydir /nonexist`, then `tarvel moviedir /nonexist`: the path that names nothing is
// said to, with or without movies from the others.
TEST_F(ViewerTest, APathThatNamesNothingIsNamed) {
  QTemporaryDir folder;
  const QString missing = folder.filePath(QStringLiteral("gone"));
  Start({folder.path(), missing});
  EXPECT_EQ(notices, QStringList{missing + QStringLiteral(": no such file or folder; no movies "
                                                          "among the 2 paths given")});
  viewer.reset();
  notices.clear();
  ASSERT_TRUE(QFile::copy(Conformance(kSilentMovie), folder.filePath(QStringLiteral("a.kqm"))));
  Start({folder.path(), missing});
  EXPECT_EQ(state().file_count, 1);
  EXPECT_EQ(notices, QStringList{missing + QStringLiteral(": no such file or folder")});
  // One that cannot be looked up says why.
  viewer.reset();
  notices.clear();
  const QString loop = folder.filePath(QStringLiteral("loop"));
  ASSERT_TRUE(QFile::link(loop, loop));
  Start({folder.path(), loop});
  EXPECT_EQ(notices, QStringList{loop + QStringLiteral(": is a loop of symbolic links")});
}

TEST_F(ViewerTest, SeveralEmptyPathsAreSaidToBeEmpty) {
  Start({QString(), QString()});
  EXPECT_EQ(notices,
            QStringList{QStringLiteral("no movies among the 2 paths given (they are empty)")});
}

TEST_F(ViewerTest, AHeaderClaimingHugePicturesIsRefusedAtOnce) {
  // 64 bytes whose header claims 65528 x 65528 pictures (two of them would take 16 GB).
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("huge.kqm"));
  QByteArray header(64, '\0');
  header[8] = header[10] = '\xF8';
  header[9] = header[11] = '\xFF';
  header[16] = 1;  // one frame
  header[24] = 8;  // 25 frames per second
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(header);
  }
  Start({path});
  Turn();
  EXPECT_TRUE(state().stopped);
  EXPECT_TRUE(EngineIdle());
  ASSERT_EQ(notices.size(), 1);
  EXPECT_TRUE(
      notices[0].startsWith(path + QStringLiteral(": picture size 65528x65528 is too large")))
      << notices[0].toStdString();
  // No window was made for it; the panel is where it can be reached.
  EXPECT_FALSE(viewer->video().exists());
  EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(panel().pos()));
  EXPECT_TRUE(Enabled(kIdPlay));
}

TEST_F(ViewerTest, AMovieWhoseSoundIsMissingPlaysSilentAndSaysSo) {
  // The silent movie with its header's sound flag set: frame 0 has no sound chunk.
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("promises-sound.kqm"));
  ASSERT_TRUE(QFile::copy(Conformance(kSilentMovie), path));
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.seek(6);
    file.write("\x01", 1);
  }
  Start({path});
  Turn();
  ASSERT_TRUE(Playing());
  EXPECT_EQ(viewer->video().status_bar()->problem(),
            path + QStringLiteral(": frame 0 has no sound chunk (\"AA\" or \"BB\"); playing "
                                  "without sound"));
}

TEST_F(ViewerTest, PanelDocksUnderTheVideoWindow) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  TurnFor(20);
  QWidget* video = viewer->video().video_window();
  const QRect outer = video->frameGeometry();
  EXPECT_EQ(panel().pos(), QPoint(outer.left(), outer.top() + outer.height()));
  // Moving the panel pulls the video window along: it goes right above it.
  panel().move(50, 500);
  TurnFor(20);
  EXPECT_EQ(video->frameGeometry().topLeft(), QPoint(50, 500 - outer.height()));
  EXPECT_EQ(panel().pos(), QPoint(50, 500));
  // Free windows move alone.
  state().free_windows = true;
  panel().move(300, 600);
  TurnFor(20);
  EXPECT_EQ(video->frameGeometry().topLeft(), QPoint(50, 500 - outer.height()));
}

TEST_F(ViewerTest, DroppedMovieAndRightClick) {
  Start();
  viewer->FilesDropped({Conformance(kSilentMovie).toStdString()}, nullptr);
  EXPECT_TRUE(state().play_request);
  EXPECT_EQ(state().file_count, 1);
  EXPECT_TRUE(Enabled(kIdPlay));
  state().play_request = false;
  viewer->FilesDropped({"/tmp/notes.txt"}, nullptr);
  EXPECT_FALSE(state().play_request);

  QTest::mouseClick(&panel(), Qt::RightButton, Qt::NoModifier, QPoint(200, 4));
  EXPECT_EQ(dialogs_run, QStringList{QStringLiteral("About Tarvel")});
}

TEST_F(ViewerTest, RunEndsAtCloseAndShutsDown) {
  // Looping, the movie still plays however late the close comes on a busy machine.
  PlayerOptions options;
  options.loop = true;
  Start({Conformance(kSilentMovie)}, options);
  QTimer::singleShot(300, [this] {
    EXPECT_TRUE(Playing());
    viewer->Click(kIdClose);
  });
  EXPECT_EQ(viewer->Run(), 0);
  EXPECT_FALSE(EnginePlaying());
  EXPECT_TRUE(EngineIdle());
  EXPECT_EQ(player.frame_callback, nullptr);
  EXPECT_EQ(viewer->command_window(), nullptr);
}

// The window library ends the program itself when its X server goes away (exit(1) from the
// main loop): what was changed since the settings were last written is kept.
TEST_F(ViewerTest, AProgramEndedFromItsMainLoopKeepsItsSettings) {
  Start();
  viewer->Click(kIdSoundOnOff);
  ASSERT_EQ(viewer->settings().NoSound, 1);
  EXPECT_EXIT(
      {
        QTimer::singleShot(0, [] { std::exit(1); });
        viewer->Run();
      },
      testing::ExitedWithCode(1), "");
  QFile file(SettingsFile());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll().contains("NoSound=1"));
}

// When its Wayland compositor goes away the window library ends the program from a thread of
// its own, without the exit handlers (_exit(1)): a change made since the last Play is kept.
TEST_F(ViewerTest, AProgramEndedWithoutItsExitHandlersKeepsItsSettings) {
  Start();
  viewer->Click(kIdSoundOnOff);
  ASSERT_EQ(viewer->settings().NoSound, 1);
  EXPECT_EXIT(
      {
        QTimer::singleShot(0, [] { std::thread([] { std::_Exit(1); }).join(); });
        viewer->Run();
      },
      testing::ExitedWithCode(1), "");
  QFile file(SettingsFile());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll().contains("NoSound=1"));
}

TEST_F(ViewerTest, AStopSignalQuitsAsCloseDoes) {
  // What the stop-signal handler makes readable, written here instead.
  int descriptors[2];
  ASSERT_EQ(::pipe(descriptors), 0);
  Start({Conformance(kSilentMovie)});
  viewer->QuitWhenReadable(descriptors[0]);
  // It comes while the About box, which only its OK closes, waits in a loop of its own.
  constexpr int kNeverClosed = 2;
  int about_result = -1;
  on_dialog = [&](QDialog& dialog) {
    const char byte = 1;
    EXPECT_EQ(::write(descriptors[1], &byte, 1), 1);
    QTimer::singleShot(20000, &dialog, [&dialog] { dialog.done(kNeverClosed); });
    about_result = dialog.exec();
    return about_result;
  };
  QTimer::singleShot(100, [this] {
    ASSERT_TRUE(QFile::remove(SettingsFile()));  // written again on the way out
    viewer->PanelRightClicked();
  });
  EXPECT_EQ(viewer->Run(), 0);
  EXPECT_EQ(about_result, QDialog::Rejected);
  EXPECT_TRUE(EngineIdle());
  EXPECT_EQ(viewer->command_window(), nullptr);
  EXPECT_TRUE(QFile::exists(SettingsFile()));
  ::close(descriptors[0]);
  ::close(descriptors[1]);
}

TEST_F(ViewerTest, AStopSignalDuringTheQuestionIsNoAnswer) {
  int descriptors[2];
  ASSERT_EQ(::pipe(descriptors), 0);
  ViewerSeams seams = Seams();
  // The signal comes while the question waits; the box then closes unanswered.
  seams.ask_association = [&descriptors](std::string_view, std::string_view) {
    const char byte = 1;
    EXPECT_EQ(::write(descriptors[1], &byte, 1), 1);
    QApplication::processEvents();
    return AssociationAnswer::kNo;
  };
  viewer = std::make_unique<Viewer>(player, std::move(seams), PlayerOptions{});
  viewer->QuitWhenReadable(descriptors[0]);
  viewer->Startup({});
  EXPECT_EQ(viewer->Run(), 0);
  // Asked again at the next start.
  QFile settings(SettingsFile());
  ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
  EXPECT_TRUE(settings.readAll().contains("\nRegister=0\n"));
  ::close(descriptors[0]);
  ::close(descriptors[1]);
}

TEST_F(ViewerTest, TheLoopRunsOnPicturesAndOnTheEndOfPlayback) {
  // The first frames of a movie, cut inside a later one: they play, then the read failure ends
  // playback. No turn is forced here: pictures and the end of playback drive the loop alone.
  QTemporaryDir folder;
  const QString cut = folder.filePath(QStringLiteral("cut.kqm"));
  {
    QFile source(Conformance(kSilentMovie));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    QFile file(cut);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes.left(bytes.size() * 3 / 4));
  }
  Start({cut});
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [this] {
    if (state().stopped && !notices.isEmpty()) viewer->Click(kIdClose);
  });
  watch.start(20);
  // Tied to the watch: a test that ended in time leaves no timer behind for the tests after it.
  QTimer::singleShot(20000, &watch, [this] {
    ADD_FAILURE() << "playback never ended";
    viewer->Click(kIdClose);
  });
  EXPECT_EQ(viewer->Run(), 0);
  ASSERT_EQ(notices.size(), 1);
  EXPECT_TRUE(notices[0].startsWith(cut + QStringLiteral(": playback stopped: frame ")))
      << notices[0].toStdString();
  EXPECT_GT(Status().pictures_presented, 0);
}

// A bus of the test's own in `folder`, which starts no service by itself.
void StartPrivateBus(const QString& folder, QProcess& daemon, QString* address) {
  QFile config(folder + QStringLiteral("/bus.conf"));
  ASSERT_TRUE(config.open(QIODevice::WriteOnly));
  config.write(
      "<busconfig><type>session</type><listen>unix:dir=" + QFile::encodeName(folder) +
      "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
      "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
  config.close();
  daemon.start(QStringLiteral("dbus-daemon"),
               {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
  ASSERT_TRUE(daemon.waitForStarted()) << "dbus-daemon is missing (scripts/setup installs it)";
  while (!daemon.canReadLine()) ASSERT_TRUE(daemon.waitForReadyRead(10000));
  *address = QString::fromLocal8Bit(daemon.readLine()).trimmed();
}

// Runs the event loop until `done`, or gives up after 10 s.
bool Until(const std::function<bool()>& done) {
  const QDeadlineTimer limit(10000);
  while (!done() && !limit.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

// The desktop's idle-inhibit service on a bus of the test's own: it records the calls, and
// holds its answers to Inhibit back while `hold` is set, until Answer.
class FakeScreenSaver final : public QDBusVirtualObject {
 public:
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    std::lock_guard lock(mutex_);
    const QList<QVariant> arguments = message.arguments();
    if (message.member() == QLatin1String("Inhibit") && arguments.size() == 2) {
      const uint cookie = next_cookie_++;
      calls_.push_back("Inhibit " + arguments[0].toString().toStdString() + " " +
                       std::to_string(cookie));
      const QDBusMessage reply = message.createReply(QVariant::fromValue(cookie));
      if (hold) {
        message.setDelayedReply(true);
        held_.push_back(reply);
      } else {
        connection.send(reply);
      }
      return true;
    }
    if (message.member() == QLatin1String("UnInhibit") && arguments.size() == 1) {
      calls_.push_back("UnInhibit " + std::to_string(arguments[0].toUInt()));
      connection.send(message.createReply());
      return true;
    }
    return false;
  }
  QString introspect(const QString&) const override { return {}; }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void Answer(QDBusConnection& connection) {
    std::lock_guard lock(mutex_);
    for (const QDBusMessage& reply : held_) connection.send(reply);
    held_.clear();
  }
  std::atomic<bool> hold{false};

 private:
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<QDBusMessage> held_;
  uint next_cookie_ = 7;
};

// Offers `service` on the bus at `address`, through the connection `desktop`.
void OfferScreenSaver(const QString& address, FakeScreenSaver& service, QDBusConnection* desktop) {
  *desktop = QDBusConnection::connectToBus(address, QStringLiteral("desktop"));
  ASSERT_TRUE(desktop->registerService(QStringLiteral("org.freedesktop.ScreenSaver")));
  ASSERT_TRUE(
      desktop->registerVirtualObject(QStringLiteral("/org/freedesktop/ScreenSaver"), &service));
}

// Last of the viewer's tests: the thread of the bus connection stays until the process ends,
// which a death test's forked copy, that has no such thread, would wait for at its exit.
TEST_F(ViewerTest, TheScreenDoesNotBlankWhileAMoviePlays) {
  QProcess daemon;
  QString address;
  ASSERT_NO_FATAL_FAILURE(StartPrivateBus(home.path(), daemon, &address));
  std::atomic<bool> clock_held{true};
  player.services.clock_held = &clock_held;
  ViewerSeams seams = Seams();
  seams.desktop_bus = address;
  DebugCapture debug;
  // No such service on the bus: the movie plays on, and only a debug line says so.
  Start({Conformance(kSilentMovie)}, std::move(seams));
  ASSERT_TRUE(TurnUntil([&] {
    for (const std::string& line : debug.Lines())
      if (line.find("Inhibit failed") != std::string::npos) return true;
    return false;
  }));
  EXPECT_TRUE(Playing());
  EXPECT_TRUE(notices.isEmpty()) << notices.join(QLatin1Char('|')).toStdString();

  FakeScreenSaver service;
  QDBusConnection desktop{QString()};
  ASSERT_NO_FATAL_FAILURE(OfferScreenSaver(address, service, &desktop));
  service.hold = true;
  viewer->Click(kIdPause);
  Turn();
  viewer->Click(kIdPlay);
  ASSERT_TRUE(Until([&] { return service.Calls().size() == 1; }));
  // Paused before the answer came: its cookie is given back as soon as it comes.
  viewer->Click(kIdPause);
  Turn();
  service.hold = false;
  service.Answer(desktop);
  ASSERT_TRUE(Until([&] { return service.Calls().size() == 2; }));
  viewer->Click(kIdPlay);
  ASSERT_TRUE(Until([&] { return service.Calls().size() == 3; }));
  viewer->Click(kIdPause);
  ASSERT_TRUE(Until([&] { return service.Calls().size() == 4; }));
  viewer->Click(kIdPlay);
  ASSERT_TRUE(Until([&] { return service.Calls().size() == 5; }));
  // Quitting while it plays lets the screen blank again.
  viewer->Click(kIdClose);
  Turn();
  ASSERT_TRUE(Until([&] { return service.Calls().size() == 6; }));
  EXPECT_EQ(service.Calls(),
            (std::vector<std::string>{"Inhibit Tarvel 7", "UnInhibit 7", "Inhibit Tarvel 8",
                                      "UnInhibit 8", "Inhibit Tarvel 9", "UnInhibit 9"}));
  viewer.reset();
  desktop.unregisterObject(QStringLiteral("/org/freedesktop/ScreenSaver"));
  QDBusConnection::disconnectFromBus(QStringLiteral("desktop"));
  daemon.kill();
  daemon.waitForFinished();
}

// An Inhibit the desktop answered after the call's time-out was dropped unseen, its inhibition
// held until the player went: the screen never blanked again while the player ran.
TEST_F(ViewerTest, AnInhibitAnsweredLateIsGivenBackOncePlaybackStopped) {
  QProcess daemon;
  QString address;
  ASSERT_NO_FATAL_FAILURE(StartPrivateBus(home.path(), daemon, &address));
  FakeScreenSaver service;
  QDBusConnection desktop{QString()};
  ASSERT_NO_FATAL_FAILURE(OfferScreenSaver(address, service, &desktop));
  service.hold = true;
  DebugCapture debug;
  auto inhibitor = std::make_unique<ScreenSaverInhibitor>(address, std::chrono::milliseconds(1));
  inhibitor->SetInhibited(true);
  ASSERT_TRUE(Until([&] { return service.Calls().size() == 1; }));
  ASSERT_TRUE(Until([&] {
    for (const std::string& line : debug.Lines())
      if (line.find("screen saver: Inhibit") != std::string::npos) return true;
    return false;
  }));
  // Playback stops; the answer comes after the wait.
  inhibitor->SetInhibited(false);
  service.hold = false;
  service.Answer(desktop);
  ASSERT_TRUE(Until([&] { return service.Calls().size() == 2; }));
  EXPECT_EQ(service.Calls(), (std::vector<std::string>{"Inhibit Tarvel 7", "UnInhibit 7"}));
  inhibitor.reset();
  desktop.unregisterObject(QStringLiteral("/org/freedesktop/ScreenSaver"));
  QDBusConnection::disconnectFromBus(QStringLiteral("desktop"));
  daemon.kill();
  daemon.waitForFinished();
}

// What a desktop's media widget hears from the player: each PropertiesChanged, as
// "Name=value" lines (all but Metadata), and each Seeked.
class ChangeRecorder final : public QObject {
  Q_OBJECT

 public:
  QStringList changes;

 public slots:  // NOLINT
  void Changed(const QString& interface, const QVariantMap& changed, const QStringList&) {
    if (interface != QLatin1String("org.mpris.MediaPlayer2.Player")) return;
    for (auto value = changed.begin(); value != changed.end(); ++value)
      if (value.key() != QLatin1String("Metadata"))
        changes.append(value.key() + QLatin1Char('=') + value.value().toString());
  }
  void Sought(qlonglong position) {
    changes.append(QStringLiteral("Seeked=") + QString::number(position));
  }
};

// A desktop's media widget on the bus at `address`. The player answers on the window thread:
// its calls wait in the event loop.
class MediaWidget {
 public:
  static inline const QString kName = QStringLiteral("org.mpris.MediaPlayer2.tarvel");
  static inline const QString kPath = QStringLiteral("/org/mpris/MediaPlayer2");
  static inline const QString kPlayer = QStringLiteral("org.mpris.MediaPlayer2.Player");
  static inline const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

  explicit MediaWidget(const QString& address)
      : bus_(QDBusConnection::connectToBus(address, QStringLiteral("widget"))) {}
  ~MediaWidget() { QDBusConnection::disconnectFromBus(QStringLiteral("widget")); }
  // Once the player is on the bus, `recorder` hears what it says.
  bool Listen(ChangeRecorder& recorder) {
    return bus_.connect(kName, kPath, kProperties, QStringLiteral("PropertiesChanged"), &recorder,
                        SLOT(Changed(QString, QVariantMap, QStringList))) &&
           bus_.connect(kName, kPath, kPlayer, QStringLiteral("Seeked"), &recorder,
                        SLOT(Sought(qlonglong))) &&
           Until([&] { return bus_.interface()->isServiceRegistered(kName).value(); });
  }
  QDBusMessage Call(const QString& in, const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(kName, kPath, in, method);
    message.setArguments(arguments);
    QDBusPendingCall pending = bus_.asyncCall(message);
    EXPECT_TRUE(Until([&] { return pending.isFinished(); })) << method.toStdString();
    return pending.reply();
  }
  QVariant Get(const QString& property) {
    return Call(kProperties, QStringLiteral("Get"), {kPlayer, property})
        .arguments()
        .value(0)
        .value<QDBusVariant>()
        .variant();
  }
  void Set(const QString& property, const QVariant& value) {
    EXPECT_EQ(Call(kProperties, QStringLiteral("Set"),
                   {kPlayer, property, QVariant::fromValue(QDBusVariant(value))})
                  .type(),
              QDBusMessage::ReplyMessage)
        << property.toStdString();
  }

 private:
  QDBusConnection bus_;
};

// Also after the screen saver's test, for the same reason.
TEST_F(ViewerTest, TheDesktopsMediaControlsDriveThePlayer) {
  QProcess daemon;
  QString address;
  ASSERT_NO_FATAL_FAILURE(StartPrivateBus(home.path(), daemon, &address));
  std::atomic<bool> clock_held{true};
  player.services.clock_held = &clock_held;
  ViewerSeams seams = Seams();
  seams.desktop_bus = address;
  Start({Conformance(kSilentMovie), Conformance(kSoundMovie)}, std::move(seams));
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }));

  const QString interface = MediaWidget::kPlayer;
  MediaWidget widget(address);
  ChangeRecorder recorder;
  ASSERT_TRUE(widget.Listen(recorder));
  auto call = [&](const QString& in, const QString& method, const QVariantList& arguments = {}) {
    return widget.Call(in, method, arguments);
  };
  auto get = [&](const QString& property) { return widget.Get(property); };
  auto metadata = [&] { return qdbus_cast<QVariantMap>(get(QStringLiteral("Metadata"))); };

  EXPECT_EQ(get(QStringLiteral("PlaybackStatus")), QStringLiteral("Playing"));
  call(interface, QStringLiteral("PlayPause"));
  EXPECT_TRUE(state().paused);
  ASSERT_TRUE(Until([&] { return !recorder.changes.isEmpty(); }));
  EXPECT_EQ(recorder.changes, QStringList{QStringLiteral("PlaybackStatus=Paused")});
  // Pause does not switch back.
  call(interface, QStringLiteral("Pause"));
  EXPECT_EQ(get(QStringLiteral("PlaybackStatus")), QStringLiteral("Paused"));

  // 6 frames of 13/200 s: 390,000 microseconds.
  QVariantMap first = metadata();
  EXPECT_EQ(first.value(QStringLiteral("xesam:title")), QString::fromLatin1(kSilentMovie));
  EXPECT_EQ(QUrl(first.value(QStringLiteral("xesam:url")).toString()).toLocalFile(),
            Conformance(kSilentMovie));
  EXPECT_EQ(first.value(QStringLiteral("mpris:length")).toLongLong(), 390000);
  const auto track = first.value(QStringLiteral("mpris:trackid")).value<QDBusObjectPath>();
  ASSERT_FALSE(track.path().isEmpty());
  // Frame 3 starts at 195,000 microseconds; a position for another track, before the start or
  // past the end is ignored.
  call(interface, QStringLiteral("SetPosition"),
       {QVariant::fromValue(track), QVariant::fromValue(qlonglong{200000})});
  ASSERT_TRUE(TurnUntil([this] { return Status().shown_frame == 3; }));
  EXPECT_EQ(get(QStringLiteral("Position")).toLongLong(), 195000);
  for (const auto& [id, position] :
       {std::pair{QStringLiteral("/tarvel/track/999"), qlonglong{0}},
        std::pair{track.path(), qlonglong{-1}}, std::pair{track.path(), qlonglong{390001}}})
    call(interface, QStringLiteral("SetPosition"),
         {QVariant::fromValue(QDBusObjectPath(id)), QVariant::fromValue(position)});
  Turn();
  EXPECT_EQ(Status().shown_frame, 3);
  EXPECT_EQ(get(QStringLiteral("Position")).toLongLong(), 195000);
  // A seek of the player's own is heard too.
  Key(Qt::Key_Home);
  ASSERT_TRUE(Until([&] { return recorder.changes.size() == 3; }));
  EXPECT_EQ(recorder.changes,
            (QStringList{QStringLiteral("PlaybackStatus=Paused"), QStringLiteral("Seeked=195000"),
                         QStringLiteral("Seeked=0")}));

  call(interface, QStringLiteral("Next"));
  EXPECT_EQ(state().list_index, 1);
  const QVariantMap second = metadata();
  EXPECT_EQ(second.value(QStringLiteral("xesam:title")), QString::fromLatin1(kSoundMovie));
  EXPECT_NE(second.value(QStringLiteral("mpris:trackid")).value<QDBusObjectPath>(), track);
  // Stopped, a seek has nothing to go to; a web address is refused.
  call(interface, QStringLiteral("Stop"));
  call(interface, QStringLiteral("Seek"), {QVariant::fromValue(qlonglong{100000})});
  Turn();
  EXPECT_TRUE(state().stopped);
  EXPECT_EQ(get(QStringLiteral("PlaybackStatus")), QStringLiteral("Stopped"));
  EXPECT_EQ(get(QStringLiteral("Position")).toLongLong(), 0);
  EXPECT_EQ(call(interface, QStringLiteral("OpenUri"), {QStringLiteral("http://example.com/a.kqm")})
                .type(),
            QDBusMessage::ErrorMessage);

  // A name in another character set opens, and is given back, byte for byte; a name no file
  // can have is refused. (The scratch folder removes it by its bytes, which Qt's cannot.)
  ScratchFolder scratch;
  ASSERT_TRUE(std::filesystem::copy_file(QFile::encodeName(Conformance(kSilentMovie)).toStdString(),
                                         scratch / "caf\xe9.kqm"));
  const QString url =
      QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(scratch.path())))
          .toString(QUrl::FullyEncoded) +
      QStringLiteral("/caf%E9.kqm");
  EXPECT_EQ(call(interface, QStringLiteral("OpenUri"), {url}).type(), QDBusMessage::ReplyMessage);
  ASSERT_TRUE(TurnUntil([&] { return metadata().value(QStringLiteral("xesam:url")) == url; }));
  EXPECT_EQ(call(interface, QStringLiteral("OpenUri"), {url + QStringLiteral("%00.txt")}).type(),
            QDBusMessage::ErrorMessage);
  call(QStringLiteral("org.mpris.MediaPlayer2"), QStringLiteral("Quit"));
  EXPECT_TRUE(state().quit_requested);
  viewer.reset();
  daemon.kill();
  daemon.waitForFinished();
}

// The player with its media controls on a bus of the test's own, and a desktop's widget that
// listens to them. (A suite of its own runs after the viewer's death tests, as the ones above.)
class MediaControlsTest : public ViewerTest {
 protected:
  ~MediaControlsTest() override {
    viewer.reset();
    widget.reset();
    daemon.kill();
    daemon.waitForFinished();
  }
  // Starts the player on `paths`, and waits for it to play and for the widget to hear it.
  void StartOnBus(const QStringList& paths) {
    QString address;
    ASSERT_NO_FATAL_FAILURE(StartPrivateBus(home.path(), daemon, &address));
    ViewerSeams seams = Seams();
    seams.desktop_bus = address;
    Start(paths, std::move(seams));
    ASSERT_TRUE(TurnUntil([this] { return Playing(); }));
    widget.emplace(address);
    ASSERT_TRUE(widget->Listen(recorder));
  }

  QProcess daemon;
  std::optional<MediaWidget> widget;
  ChangeRecorder recorder;
};

// The volume of the desktop's controls is the panel's slider, its 99 steps from 0.0 to 1.0, both
// ways; the sound off is volume 0, and a volume given then turns it on.
TEST_F(MediaControlsTest, VolumeIsThePanelsSlider) {
  ASSERT_NO_FATAL_FAILURE(StartOnBus({Conformance(kSoundMovie)}));
  const QString volume = QStringLiteral("Volume");
  EXPECT_EQ(widget->Get(volume).toDouble(), 1.0);
  // The slider 9 steps down is 90 of 99.
  viewer->OnScroll(kIdVolume, kScrollThumbPosition, 9);
  ASSERT_TRUE(Until([&] {
    return recorder.changes.endsWith(QStringLiteral("Volume=") + QVariant(90 / 99.0).toString());
  }));
  QTest::mouseClick(panel().Control(kIdSoundOnOff), Qt::LeftButton);
  ASSERT_TRUE(Until([&] { return recorder.changes.endsWith(QStringLiteral("Volume=0")); }));
  EXPECT_EQ(widget->Get(volume).toDouble(), 0.0);

  // 0.5 is 49.5 steps: the slider takes 50, 49 down from the top, and that is read back.
  widget->Set(volume, 0.5);
  EXPECT_FALSE(state().muted);
  EXPECT_EQ(viewer->settings().NoSound, 0);
  EXPECT_EQ(panel().State(kIdVolume), 49);
  EXPECT_EQ(log->volume(), 50u * kVolumeStep);
  EXPECT_EQ(widget->Get(volume).toDouble(), 50 / 99.0);
  widget->Set(volume, widget->Get(volume));
  EXPECT_EQ(state().volume, 50);
  // Past either end is that end; not a number changes nothing.
  widget->Set(volume, 7.5);
  EXPECT_EQ(state().volume, 99);
  widget->Set(volume, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(state().volume, 99);
  widget->Set(volume, -2.0);
  EXPECT_EQ(panel().State(kIdVolume), 99);
  EXPECT_EQ(log->volume(), 0u);
  EXPECT_FALSE(state().muted);
}

// The loop of the desktop's controls: Loop Play repeats the movie (Track), and Link next goes
// round the playlist (Playlist), both ways; a movie alone goes round with Loop Play.
TEST_F(MediaControlsTest, LoopIsLoopPlayAndLinkNext) {
  ASSERT_NO_FATAL_FAILURE(StartOnBus({Conformance(kSilentMovie), Conformance(kSoundMovie)}));
  const QString loop = QStringLiteral("LoopStatus");
  // Link next as the settings file keeps it: its fifth line, "Enchaine=0" or "=1".
  auto kept_chain = [this] {
    QFile file(SettingsFile());
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n')).value(4);
  };
  EXPECT_EQ(widget->Get(loop).toString(), QStringLiteral("None"));
  QTest::mouseClick(panel().Control(kIdLoopPlay), Qt::LeftButton);
  ASSERT_TRUE(Until([&] { return recorder.changes.endsWith(QStringLiteral("LoopStatus=Track")); }));

  widget->Set(loop, QStringLiteral("Playlist"));
  EXPECT_FALSE(state().loop_on);
  EXPECT_FALSE(Button(kIdLoopPlay)->checked());
  EXPECT_TRUE(state().chain_movies);
  EXPECT_EQ(kept_chain(), QStringLiteral("Enchaine=1"));
  ASSERT_TRUE(
      Until([&] { return recorder.changes.endsWith(QStringLiteral("LoopStatus=Playlist")); }));
  widget->Set(loop, QStringLiteral("Shuffle"));
  EXPECT_EQ(widget->Get(loop).toString(), QStringLiteral("Playlist"));
  // Loop Play comes first; Link next stays for when it goes off.
  widget->Set(loop, QStringLiteral("Track"));
  EXPECT_TRUE(Button(kIdLoopPlay)->checked());
  EXPECT_TRUE(state().chain_movies);
  widget->Set(loop, QStringLiteral("None"));
  EXPECT_FALSE(state().loop_on);
  EXPECT_FALSE(state().chain_movies);
  EXPECT_EQ(kept_chain(), QStringLiteral("Enchaine=0"));

  // A movie alone: Link next has no playlist to go round.
  widget->Set(loop, QStringLiteral("Playlist"));
  widget->Call(MediaWidget::kPlayer, QStringLiteral("OpenUri"),
               {QUrl::fromLocalFile(Conformance(kSilentMovie)).toString()});
  ASSERT_TRUE(TurnUntil([this] { return state().file_count == 1; }));
  EXPECT_EQ(widget->Get(loop).toString(), QStringLiteral("None"));
  widget->Set(loop, QStringLiteral("Playlist"));
  EXPECT_TRUE(state().loop_on);
  EXPECT_EQ(widget->Get(loop).toString(), QStringLiteral("Track"));
  EXPECT_EQ(kept_chain(), QStringLiteral("Enchaine=1"));
}

// A bus at `path` that hears the player's first words and then keeps quiet until HangUp.
class QuietBus {
 public:
  explicit QuietBus(const std::string& path) : path_(path) {
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (listener_ < 0 || path.size() >= sizeof where.sun_path) return;
    std::memcpy(where.sun_path, path.c_str(), path.size());
    if (bind(listener_, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
        listen(listener_, 1) != 0)
      return;
    thread_ = std::thread([this, hang_up_told = hang_up_.get_future()] {
      const int peer = accept(listener_, nullptr, nullptr);
      char words[64];
      heard_.set_value(peer >= 0 && read(peer, words, sizeof words) > 0);
      hang_up_told.wait();
      if (peer >= 0) close(peer);
    });
  }
  ~QuietBus() {
    HangUp();
    if (listener_ >= 0) close(listener_);
  }
  QString Address() const { return QStringLiteral("unix:path=") + QString::fromStdString(path_); }
  // Whether the player's words came (false: the bus could not be made).
  bool Heard() { return thread_.joinable() && heard_.get_future().get(); }
  void HangUp() {
    if (!thread_.joinable()) return;
    shutdown(listener_, SHUT_RDWR);  // no player came: the wait for one ends
    hang_up_.set_value();
    thread_.join();
  }

 private:
  std::string path_;
  int listener_ = -1;
  std::promise<bool> heard_;
  std::promise<void> hang_up_;
  std::thread thread_;
};

// The player quitting while the bus has not yet answered its connection waits for the answer,
// and hands the connection over to the application before it goes.
TEST_F(ViewerTest, TheScreenSaverHandsItsConnectionOverBeforeThePlayerGoes) {
  QuietBus bus(QFile::encodeName(home.filePath(QStringLiteral("bus"))).toStdString());
  DebugCapture debug;
  auto inhibitor = std::make_unique<ScreenSaverInhibitor>(bus.Address());
  inhibitor->SetInhibited(true);
  ASSERT_TRUE(bus.Heard());
  // The player goes while the bus keeps quiet.
  std::atomic<bool> gone{false};
  std::thread quitting([&] {
    inhibitor.reset();
    gone = true;
  });
  auto waiting = [&] {
    for (const std::string& line : debug.Lines())
      if (line.find("waiting for the session bus") != std::string::npos) return true;
    return false;
  };
  while (!gone && !waiting()) std::this_thread::yield();
  EXPECT_FALSE(gone);
  bus.HangUp();
  quitting.join();
  QCoreApplication::sendPostedEvents();
  EXPECT_TRUE(waiting());
  const std::vector<std::string> lines = debug.Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("no session bus") != std::string::npos;
  }));
}

// A bus that took the connection and never answered it kept the player from ending until a
// second Ctrl-C: the connection is given up as the player goes, and its answer, if it ever
// comes, still reaches the window thread.
TEST_F(ViewerTest, AConnectionTheBusNeverAnswersIsGivenUpAsThePlayerGoes) {
  QuietBus bus(QFile::encodeName(home.filePath(QStringLiteral("bus"))).toStdString());
  std::atomic<bool> handed{false};
  bool connected = true;
  auto connector = std::make_unique<DesktopBusConnector>(
      bus.Address(),
      [&](const QDBusConnection& answer) {
        connected = answer.isConnected();
        handed = true;
      },
      std::chrono::milliseconds(0));
  ASSERT_TRUE(bus.Heard());
  std::atomic<bool> gone{false};
  std::thread quitting([&] {
    connector.reset();
    gone = true;
  });
  EXPECT_TRUE(Until([&] { return gone.load(); }));
  EXPECT_EQ(DesktopBusConnector::StillUnanswered(), 1);
  bus.HangUp();
  quitting.join();
  ASSERT_TRUE(Until([&] { return handed.load(); }));
  EXPECT_FALSE(connected);
  EXPECT_TRUE(Until([] { return DesktopBusConnector::StillUnanswered() == 0; }));
}

class EndToEndTest : public ViewerTest {
 protected:
  // Plays a movie from the command line to its end with Loop Play off and leaves screenshots
  // of the panel and the video window, taken halfway, in the artifacts folder.
  void PlayToTheEnd(const QString& movie, const QString& shot_name, std::int32_t frames) {
    Start({movie});
    ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
    ASSERT_TRUE(TurnUntil([&] { return CurrentFrame() >= frames / 2; }, 10000));
    TurnFor(5);
    QDir().mkpath(QString::fromLatin1(TARVEL_ARTIFACT_DIR));
    const QString base = QString::fromLatin1(TARVEL_ARTIFACT_DIR) + QLatin1Char('/') + shot_name;
    EXPECT_TRUE(panel().grab().save(base + QStringLiteral("-panel.png")));
    EXPECT_TRUE(viewer->video().video_window()->grab().save(base + QStringLiteral("-video.png")));
    // The picture is on screen: not all of it is black.
    const QImage shown = ShownPicture(viewer->video().picture_window());
    bool drawn = false;
    for (int y = 0; y < shown.height() && !drawn; ++y)
      for (int x = 0; x < shown.width() && !drawn; ++x)
        drawn = qRed(shown.pixel(x, y)) + qGreen(shown.pixel(x, y)) + qBlue(shown.pixel(x, y)) > 0;
    EXPECT_TRUE(drawn);

    ASSERT_TRUE(TurnUntil([this] { return state().stopped; }, 20000));
    EXPECT_FALSE(state().ui_playing);
    EXPECT_FALSE(EnginePlaying());
    EXPECT_TRUE(EngineIdle());
    EXPECT_TRUE(Button(kIdStop)->checked());
    EXPECT_FALSE(Enabled(kIdPause));
    // It stopped after the last frame: the counter and the bar show every frame.
    EXPECT_EQ(Counter(), QStringLiteral("%1").arg(frames, 5, 10, QLatin1Char('0')).toStdString());
    EXPECT_EQ(panel().State(kIdProgress), frames);
    EXPECT_EQ(panel().Progress()->FillWidth(), panel().Progress()->width());
  }
};

TEST_F(EndToEndTest, DemoMovieFromTheCommandLine) {
#ifndef TARVEL_KQM
  GTEST_SKIP() << "the kqm tool is not built";
#else
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString movie = folder.filePath(QStringLiteral("demo.kqm"));
  QProcess kqm;
  kqm.start(QString::fromLatin1(TARVEL_KQM),
            {QStringLiteral("demo"), QStringLiteral("-o"), movie, QStringLiteral("--size"),
             QStringLiteral("160x120"), QStringLiteral("--seconds"), QStringLiteral("1"),
             QStringLiteral("-q")});
  ASSERT_TRUE(kqm.waitForFinished(60000));
  ASSERT_EQ(kqm.exitCode(), 0) << kqm.readAllStandardError().toStdString();
  // One second at 25 frames per second, mono sound at 22050 Hz.
  PlayToTheEnd(movie, QStringLiteral("demo"), 25);
  EXPECT_EQ(RateText(), "25.0");
  EXPECT_EQ(TimeCodeText(), "00:01:00");
  EXPECT_EQ(panel().State(kIdChannels), 1);
  EXPECT_EQ(panel().State(kIdSampleRate), 2);
#endif
}

TEST_F(EndToEndTest, ConformanceMovieWithSound) {
  PlayToTheEnd(Conformance("mixed-160x120-mono.kqm"), QStringLiteral("mixed"), 12);
  // 200 / 20 = 10 frames per second: 12 frames are 1 s and 2 frames.
  EXPECT_EQ(TimeCodeText(), "00:01:02");
  EXPECT_EQ(RateText(), "10.0");
}

}  // namespace
}  // namespace tarvel::test

#include "viewer_test.moc"
