// Opening, starting and stopping: every result code of open and start, and the state the
// engine is left in.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine_fixture.h"
#include "platform/debug_output.h"

namespace tarvel::test {
namespace {

class Lifecycle : public EngineTest {
 protected:
  // From here on, the engine cannot create its `which` thread while `refusing` is set.
  void RefuseThread(EngineThread which) {
    refused = which;
    refusing = true;
    context.services.thread_gate = [](EngineThread asked, void* user) {
      const auto& self = *static_cast<const Lifecycle*>(user);
      return asked != self.refused || !self.refusing;
    };
    context.services.thread_gate_user = this;
  }
  std::atomic<EngineThread> refused{EngineThread::kDiskReader};
  std::atomic<bool> refusing{false};
};

TEST_F(Lifecycle, InitRefusesOtherVersionsAndLeavesTheContextAlone) {
  context.frame_rate = 25.0f;
  context.loop_mode = kLoopOn;
  EXPECT_EQ(Player_Init(context, 19999), kPlayerWrongVersion);
  EXPECT_EQ(Player_Init(context, 0), kPlayerWrongVersion);
  EXPECT_EQ(context.frame_rate, 25.0f);
  EXPECT_EQ(context.loop_mode, kLoopOn);
  EXPECT_EQ(Player_Init(context, 20000), kPlayerOk);
  EXPECT_EQ(context.frame_rate, 15.0f);
  EXPECT_EQ(context.loop_mode, kLoopOff);
  EXPECT_EQ(context.bytes_per_pixel, 2u);
}

TEST_F(Lifecycle, PixelFormatsSetBitsAndMasks) {
  EXPECT_TRUE(Player_SetPixelFormat(context, 16));
  EXPECT_EQ(context.green_bits, 6u);
  EXPECT_EQ(context.red_mask, 0xF800u);
  EXPECT_EQ(context.green_mask, 0x07E0u);
  EXPECT_EQ(context.blue_mask, 0x001Fu);
  EXPECT_FALSE(Player_SetPixelFormat(context, 24));
  EXPECT_EQ(context.green_bits, 6u);  // unchanged
  EXPECT_TRUE(Player_SetPixelFormat(context, 15));
  EXPECT_EQ(context.green_bits, 5u);
  EXPECT_EQ(context.red_mask, 0x7C00u);
  EXPECT_EQ(context.green_mask, 0x03E0u);
}

TEST_F(Lifecycle, OpenFailuresLeaveTheEngineIdle) {
  EXPECT_EQ(Player_Open(context, "/nonexistent/movie.kqm"), kPlayerCannotOpen);
  EXPECT_FALSE(context.movie_open);

  std::vector<uint8_t> short_header(63, 0);
  TempMovie too_short(short_header);
  EXPECT_EQ(Player_Open(context, too_short.path()), kPlayerReadFailed);
  EXPECT_FALSE(context.movie_open);
  EXPECT_EQ(context.source.movie_file, nullptr);

  // Pictures must be whole 8 x 8 blocks.
  for (auto [w, h] : {std::pair{0, 16}, {16, 0}, {12, 16}, {16, 20}}) {
    MovieLayout entry = SilentMovie(0);
    entry.width = w;
    entry.height = h;
    TempMovie movie(entry);
    EXPECT_EQ(Player_Open(context, movie.path()), kPlayerReadFailed) << w << "x" << h;
    EXPECT_FALSE(context.movie_open);
  }
}

TEST_F(Lifecycle, OpenWhileOpenKeepsTheFirstMovie) {
  TempMovie first(SilentMovie(3, 16, 16));
  TempMovie second(SilentMovie(3, 32, 8));
  ASSERT_EQ(Player_Open(context, first.path()), kPlayerOk);
  EXPECT_EQ(Player_Open(context, second.path()), kPlayerCannotOpen);
  EXPECT_EQ(context.width, 16u);
  EXPECT_EQ(context.height, 16u);
  EXPECT_TRUE(context.movie_open);
  Player_Stop(context);
  EXPECT_FALSE(context.movie_open);
}

TEST_F(Lifecycle, FrameRateComesFromTheDurationOrIsTheDefault) {
  MovieLayout entry = SilentMovie(2);
  entry.duration = 16;  // 200 / 16 = 12.5 frames per second
  TempMovie movie(entry);
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  EXPECT_EQ(context.frame_rate, 12.5f);
  Player_Stop(context);
  TempMovie no_duration(SilentMovie(2));
  ASSERT_EQ(Player_Open(context, no_duration.path()), kPlayerOk);
  EXPECT_EQ(context.frame_rate, 15.0f);  // not the previous movie's 12.5
  Player_Stop(context);
}

TEST_F(Lifecycle, StartRefusesWithoutAMovieOrWhilePlaying) {
  std::vector<uint16_t> pixels(256);
  EXPECT_EQ(Player_Start(context, pixels.data(), kDisplayWindow, nullptr, 16), kPlayerReadFailed);
  TempMovie movie(SilentMovie(4));
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  EXPECT_EQ(Player_Start(context, pixels.data(), kDisplayWindow, nullptr, 16), kPlayerReadFailed);
  EXPECT_TRUE(context.playing);
  Player_Stop(context);
}

TEST_F(Lifecycle, StartFailuresRunStopAndCloseTheMovie) {
  TempMovie movie(SilentMovie(4));
  std::vector<uint16_t> pixels(256);

  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  EXPECT_EQ(Player_Start(context, pixels.data(), 3, nullptr, 16), kPlayerBadDisplayMode);
  EXPECT_FALSE(context.playing);
  EXPECT_FALSE(context.movie_open);

  // Window mode needs a pixel format.
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  context.green_bits = 0;
  EXPECT_EQ(Player_Start(context, pixels.data(), kDisplayWindow, nullptr, 16),
            kPlayerBadDisplayMode);
  EXPECT_FALSE(context.movie_open);
  Player_SetPixelFormat(context, 15);

  // Full screen without a surface.
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  EXPECT_EQ(Player_Start(context, nullptr, kDisplayFullScreen, nullptr, 16), kPlayerNoSurface);
  EXPECT_FALSE(context.movie_open);

  // No disk reader thread.
  RefuseThread(EngineThread::kDiskReader);
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  EXPECT_EQ(Player_Start(context, pixels.data(), kDisplayWindow, nullptr, 16), kPlayerNoThread);
  EXPECT_FALSE(context.playing);
  EXPECT_FALSE(context.movie_open);
}

TEST_F(Lifecycle, NoSoundThreadStopsPlayback) {
  RefuseThread(EngineThread::kSound);
  TempMovie movie(SoundMovie(4));
  EXPECT_EQ(OpenAndStart(movie), kPlayerNoThread);
  EXPECT_FALSE(context.playing);
  EXPECT_FALSE(context.movie_open);
  // The device that had been opened was closed again.
  const auto events = log->Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), "open");
  EXPECT_EQ(events.back(), "close");
}

TEST_F(Lifecycle, NoClockThreadIsAFailureNotAStandstill) {
  RefuseThread(EngineThread::kClock);
  TempMovie movie(SilentMovie(6));
  EXPECT_EQ(OpenAndStart(movie), kPlayerNoThread);
  EXPECT_FALSE(context.movie_open);
  EXPECT_EQ(Player_Status(context).end, PlaybackEnd::kStartFailed);

  // Playing on after a seek needs the clock too.
  refusing = false;
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  refusing = true;
  EXPECT_EQ(Player_Seek(context, 3), kPlayerNoThread);
  EXPECT_FALSE(context.movie_open);

  // A step, or a new rate, without a clock leaves the movie paused, and says so.
  refusing = false;
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  refusing = true;
  Player_SetRate(context, 30.0f);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPaused);
  EXPECT_EQ(Player_Step(context), kPlayerNoThread);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPaused);
  EXPECT_FALSE(context.timer_active);
  Player_Stop(context);
}

TEST_F(Lifecycle, NoIndexThreadSaysSoAndIsTriedAgainAtTheNextSeek) {
  RefuseThread(EngineThread::kIndex);
  TempMovie movie(SilentMovie(6));
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  Player_Pause(context);
  // Not "past the frames that can be played": playback goes on, only seeking cannot.
  EXPECT_EQ(Player_Seek(context, 3), kPlayerNoThread);
  EXPECT_TRUE(context.playing);
  refusing = false;
  EXPECT_EQ(Player_Seek(context, 3), kPlayerOk);
  EXPECT_EQ(Player_Status(context).shown_frame, 3);
  Player_Stop(context);
}

TEST_F(Lifecycle, AStopAskedWhileAStopRunsLeavesTheNextMovieAlone) {
  // A second stop is asked for while the first runs (here as the surface goes, on the stopping
  // thread, as a frame callback would), and another thread opens and starts the next movie
  // between the first stop closing its movie and letting the engine's control go.
  struct Scene {
    PlayerContext* context = nullptr;
    const TempMovie* next = nullptr;
    std::vector<std::uint16_t> pixels;
    bool next_started = false;
  };
  TempMovie first(SilentMovie(6));
  TempMovie next(SilentMovie(6));
  Scene scene{&context, &next, std::vector<std::uint16_t>(16 * 16)};
  context.presentation.create_fullscreen_surface = [](void* target, std::uint32_t, std::uint32_t,
                                                      void** bitmap) {
    *bitmap = target;
    return reinterpret_cast<std::uint8_t*>(static_cast<Scene*>(target)->pixels.data());
  };
  context.presentation.delete_surface = [](void* bitmap) {
    Player_Stop(*static_cast<Scene*>(bitmap)->context);
  };
  context.services.after_stop_user = &scene;
  context.services.after_stop = [](void* user) {
    auto& seen = *static_cast<Scene*>(user);
    if (seen.next_started) return;
    seen.next_started = true;
    std::thread([&seen] {
      ASSERT_EQ(Player_Open(*seen.context, seen.next->path()), kPlayerOk);
      ASSERT_EQ(Player_Start(*seen.context, seen.pixels.data(), kDisplayWindow, nullptr, 16),
                kPlayerOk);
    }).join();
  };
  Player_SetLoop(context, 1);
  ASSERT_EQ(Player_Open(context, first.path()), kPlayerOk);
  ASSERT_EQ(Player_Start(context, &scene, kDisplayFullScreen, nullptr, 16), kPlayerOk);
  Player_Stop(context);
  ASSERT_TRUE(scene.next_started);
  EXPECT_TRUE(context.movie_open);
  EXPECT_TRUE(context.playing);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPlaying);
  context.services.after_stop = nullptr;
  Player_Stop(context);
}

TEST_F(Lifecycle, RingSizeIsCappedByTheFrameCount) {
  TempMovie movie(SilentMovie(10));
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie, 16), kPlayerOk);
  EXPECT_EQ(context.ring_size, 10);
  Player_Stop(context);
}

TEST_F(Lifecycle, SoundSetupFailuresPlayOnWithoutSound) {
  Player_SetLoop(context, 1);
  {
    // The device refuses to open: result 13, the frame clock takes over.
    options.refuse_open = true;
    TempMovie movie(SoundMovie(4));
    EXPECT_EQ(OpenAndStart(movie), kPlayerDeviceRefused);
    EXPECT_TRUE(context.playing);
    EXPECT_FALSE(context.sound_on);
    EXPECT_TRUE(context.timer_active);
    EXPECT_TRUE(WaitFor([this] { return context.loop_count > 0; }));
    Player_Stop(context);
    options.refuse_open = false;
  }
  {
    // Frame 0's sound is not an ADQ stream: result 12.
    MovieLayout entry = SoundMovie(4);
    entry.frames[0].chunks[1].payload[0] = 'X';
    TempMovie movie(entry);
    EXPECT_EQ(OpenAndStart(movie), kPlayerSoundRefused);
    EXPECT_FALSE(context.sound_on);
    EXPECT_TRUE(WaitFor([this] { return context.loop_count > 0; }));
    Player_Stop(context);
  }
  {
    // A stream whose frame period holds no codes cannot pace playback.
    MovieLayout entry = SoundMovie(4, 0);
    TempMovie movie(entry);
    EXPECT_EQ(OpenAndStart(movie), kPlayerSoundRefused);
    EXPECT_FALSE(context.sound_on);
    Player_Stop(context);
  }
  {
    // Frame 0 without an audio chunk: the movie plays silently, and that is no failure.
    MovieLayout entry = SoundMovie(4);
    entry.frames[0].chunks.pop_back();
    TempMovie movie(entry);
    EXPECT_EQ(OpenAndStart(movie), kPlayerOk);
    EXPECT_FALSE(context.sound_on);
    EXPECT_TRUE(context.timer_active);
    Player_Stop(context);
  }
  EXPECT_EQ(log->buffer_count(), 0u);
}

TEST_F(Lifecycle, QueueRefusedWhilePrimingKeepsTheBuffersAlreadyQueued) {
  options.refuse_writes_after = 5;
  TempMovie movie(SoundMovie(50));
  EXPECT_EQ(OpenAndStart(movie), kPlayerDeviceRefused);
  EXPECT_TRUE(context.playing);
  EXPECT_TRUE(context.sound_on);
  // The five queued buffers finish; the first refill is refused and the sound thread ends.
  EXPECT_TRUE(WaitFor([this] { return context.sound_thread.ExitCode() != kThreadStillActive; }));
  EXPECT_EQ(context.sound_thread.ExitCode(), static_cast<std::uint32_t>(kPlayerDeviceRefused));
  EXPECT_EQ(log->buffer_count(), 5u);
  Player_Stop(context);
  EXPECT_FALSE(context.movie_open);
}

TEST_F(Lifecycle, QueueRefusedFromTheFirstBufferEndsPlayback) {
  // Nothing queued, nothing comes back to wake the sound thread: the start says why it stands.
  options.refuse_writes_after = 0;
  TempMovie movie(SoundMovie(50));
  EXPECT_EQ(OpenAndStart(movie), kPlayerDeviceRefused);
  const PlayerStatus status = Player_Status(context);
  EXPECT_EQ(status.end, PlaybackEnd::kStepFailed);
  EXPECT_EQ(status.end_code, kPlayerDeviceRefused);
  EXPECT_EQ(log->buffer_count(), 0u);
  Player_Stop(context);
  EXPECT_FALSE(context.movie_open);
}

TEST_F(Lifecycle, QueueRefusedFromTheFirstBufferOfASeekSaysSo) {
  // The start's 32 buffers are taken (and held); every buffer of the seek's lead is refused.
  options.refuse_writes_after = 32;
  hold_completions = true;
  TempMovie movie(SoundMovie(50));
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  EXPECT_EQ(Player_Seek(context, 10), kPlayerDeviceRefused);
  EXPECT_EQ(Player_Status(context).end_code, kPlayerDeviceRefused);
  Player_Stop(context);
}

TEST_F(Lifecycle, FrameZeroThatCannotBeReadFailsTheStart) {
  MovieLayout entry = SilentMovie(3);
  auto bytes = entry.Bytes();
  bytes.resize(64 + 10);  // cut inside frame 0
  TempMovie movie(bytes);
  EXPECT_EQ(OpenAndStart(movie), kPlayerReadFailed);
  EXPECT_FALSE(context.playing);
  EXPECT_FALSE(context.movie_open);
  EXPECT_EQ(context.reader_exit_code, static_cast<std::uint32_t>(kPlayerReadFailed));

  // A movie without frames has nothing to start.
  TempMovie empty(SilentMovie(0));
  EXPECT_EQ(OpenAndStart(empty), kPlayerReadFailed);
  EXPECT_FALSE(context.movie_open);
}

TEST_F(Lifecycle, AFailedPlaybackDoesNotKeepTheNextOpenOut) {
  // Frame 1 has no picture: the step fails with 4 over and over until stop.
  MovieLayout entry = SilentMovie(3);
  entry.frames[1].chunks[0].tag = "XX";
  TempMovie broken(entry);
  ASSERT_EQ(OpenAndStart(broken), kPlayerOk);
  EXPECT_TRUE(WaitFor([this] { return context.last_result == kPlayerNoVideoChunk; }));
  EXPECT_EQ(context.current_frame, 1);
  Player_Stop(context);
  EXPECT_FALSE(context.step_busy);

  TempMovie good(SilentMovie(3));
  EXPECT_EQ(Player_Open(context, good.path()), kPlayerOk);
  Player_Stop(context);
}

TEST_F(Lifecycle, StopFromEveryState) {
  // Idle: nothing changes.
  Player_Stop(context);
  EXPECT_FALSE(context.movie_open);
  EXPECT_FALSE(context.closing);

  TempMovie movie(SoundMovie(20));
  // Open.
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  Player_Stop(context);
  EXPECT_FALSE(context.movie_open);

  // Playing, looping, with sound.
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  EXPECT_TRUE(WaitFor([this] { return context.loop_count > 0; }));
  Player_Stop(context);
  EXPECT_FALSE(context.playing);
  EXPECT_FALSE(context.movie_open);
  EXPECT_FALSE(context.sound_thread.exists());
  EXPECT_FALSE(context.disk_thread.exists());
  EXPECT_EQ(context.wave_buffers, nullptr);
  EXPECT_EQ(context.frame_ring, nullptr);
  EXPECT_EQ(context.video_decoder, nullptr);
  EXPECT_TRUE(context.sound.audio_lead_copy.empty());
  // The lead copy was taken (mode 2) and stop brought looping back to mode 1.
  EXPECT_EQ(context.loop_mode, kLoopOn);

  // Paused, with sound.
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  EXPECT_EQ(Player_Pause(context), kDeviceOk);
  Player_Stop(context);
  EXPECT_FALSE(context.movie_open);

  // Paused, without sound.
  TempMovie silent(SilentMovie(5));
  ASSERT_EQ(OpenAndStart(silent), kPlayerOk);
  EXPECT_EQ(Player_Pause(context), 1);
  EXPECT_FALSE(context.timer_active);
  Player_Stop(context);
  EXPECT_FALSE(context.movie_open);
}

TEST_F(Lifecycle, StopWritesItsLinesInOrder) {
  TempMovie movie(SoundMovie(8));
  Player_SetLoop(context, 1);
  DebugCapture capture;
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  EXPECT_TRUE(WaitFor([this] { return context.loop_count > 0; }));
  Player_Stop(context);
  const auto lines = capture.Lines();
  auto position = [&](const std::string& line) {
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i] == line) return static_cast<int>(i);
    return -1;
  };
  const int disk_ok = position("Thread Disque Ok\n");
  const int sound_ok = position("Thread Son Ok\n");
  const int play_stopper = position("Thread Play Stopper\n");
  const int waiting = position("Attente Thread Son\n");
  const int sound_done = position("Thread Son termin\xE9\n");
  const int sound_stopper = position("Thread Son Stopper\n");
  const int disk_done = position("Thread disque termin\xE9\n");
  const int disk_stopper = position("Thread Disque Stopper\n");
  for (int p : {disk_ok, sound_ok, play_stopper, waiting, sound_done, sound_stopper, disk_done,
                disk_stopper})
    ASSERT_GE(p, 0);
  EXPECT_LT(disk_ok, play_stopper);
  EXPECT_LT(sound_ok, play_stopper);
  EXPECT_LT(play_stopper, waiting);
  // The sound thread may see `playing` drop and end before stop writes its first line.
  EXPECT_LT(sound_done, sound_stopper);
  EXPECT_LT(waiting, sound_stopper);
  // The reader may see `playing` drop and end at any time after stop began.
  EXPECT_LT(disk_done, disk_stopper);
  EXPECT_LT(sound_stopper, disk_stopper);
  EXPECT_EQ(lines.back(), "Thread Disque Stopper\n");
  // Between the stopper's own lines come only the wait's and the threads' last words.
  for (int i = play_stopper + 1; i < sound_stopper; ++i) {
    const std::string& line = lines[static_cast<std::size_t>(i)];
    EXPECT_TRUE(line == "Attente Thread Son\n" || line == "Thread Son termin\xE9\n" ||
                line == "Thread disque termin\xE9\n")
        << line;
  }
}

}  // namespace
}  // namespace tarvel::test
