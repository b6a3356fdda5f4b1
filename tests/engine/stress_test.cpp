// Many playbacks one after another, stopped at every moment: nothing may leak, hang or race.
#include <gtest/gtest.h>

#include <mutex>
#include <random>

#include "engine_fixture.h"

namespace tarvel::test {
namespace {

using Stress = EngineTest;

TEST_F(Stress, ThousandOpenStartStopCycles) {
  TempMovie sound(SoundMovie(5));
  TempMovie silent(SilentMovie(5));
  for (int cycle = 0; cycle < 1000; ++cycle) {
    const bool with_sound = (cycle / 3) % 2 == 0;
    const TempMovie& movie = with_sound ? sound : silent;
    const int kind = cycle % 3;
    Player_SetLoop(context, kind == 2 ? 0 : 1);
    ASSERT_EQ(OpenAndStart(movie, 1 + cycle % 6), kPlayerOk) << "cycle " << cycle;
    if (kind == 0) {
      Player_Stop(context);  // right after start
    } else if (kind == 1) {
      ASSERT_TRUE(WaitFor([this] { return context.current_frame >= 2 || context.loop_count > 0; }))
          << "cycle " << cycle;
      Player_Stop(context);  // in the middle
    } else {
      ASSERT_TRUE(WaitUntilIdle()) << "cycle " << cycle;  // the reader stops at the end
    }
    ASSERT_FALSE(context.playing);
    ASSERT_FALSE(context.movie_open);
  }
  Player_Stop(context);
  EXPECT_FALSE(context.disk_thread.exists());
  EXPECT_FALSE(context.sound_thread.exists());
}

TEST_F(Stress, StopFromAnotherThreadWhileTheReaderEndsPlayback) {
  // The reader's own stop at the end of the movie and a stop from the caller's side meet.
  TempMovie movie(SoundMovie(2));
  for (int cycle = 0; cycle < 200; ++cycle) {
    Player_SetLoop(context, 0);
    ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
    std::thread other([this] { Player_StopIfPlaying(context); });
    Player_Stop(context);
    other.join();
    ASSERT_FALSE(context.movie_open);
    ASSERT_FALSE(context.closing);
  }
}

// Rate, pause and restart at random (seeded) moments while silent and sound movies end by
// themselves, and their disk reader stops playback: nothing may hang, and every playback ends
// with its clock and threads gone.
TEST_F(Stress, RateAndPauseAcrossTheEndOfAMovie) {
  TempMovie silent(SilentMovie(3));
  TempMovie sound(SoundMovie(3));
  std::mt19937 random(20240611);
  for (int cycle = 0; cycle < 600; ++cycle) {
    const bool with_sound = cycle % 2 == 1;
    Player_SetLoop(context, 0);
    ASSERT_EQ(OpenAndStart(with_sound ? sound : silent, 1 + cycle % 4), kPlayerOk);
    for (int action = 0; action < 100 && context.playing; ++action) {
      switch (random() % 4) {
        case 0:
          Player_SetRate(context, static_cast<float>(5 + random() % 60));
          break;
        case 1:
          Player_Pause(context);
          break;
        case 2:
          Player_Restart(context);
          break;
        default:
          for (auto spins = random() % 200; spins > 0; --spins) std::this_thread::yield();
      }
    }
    Player_Restart(context);
    Player_Stop(context);
    ASSERT_FALSE(context.movie_open) << "cycle " << cycle;
    ASSERT_FALSE(context.timer.running()) << "cycle " << cycle;
  }
}

// Player_Step, then Player_Restart before the stepped frame comes: playback goes on to the end
// (the step is called off, or its pause undone). With sound the device holds the stepped frame
// back until the restart has run. The silent movie shows one frame a second, so that it is
// still playing when paused and its stepped frame is a second away at the restart however
// busy the machine is; a fast rate then plays it out.
TEST_F(Stress, RestartWhileAStepIsOnItsWayPlaysOn) {
  TempMovie sound(SoundMovie(40));
  MovieLayout one_a_second = SilentMovie(40);
  one_a_second.duration = 200;
  TempMovie silent(one_a_second);
  context.services.free_running_clock = false;  // the silent movie's clock keeps its period
  for (int round = 0; round < 20; ++round) {
    const bool with_sound = round == 0;
    SCOPED_TRACE(round);
    hold_completions = with_sound;
    ASSERT_EQ(OpenAndStart(with_sound ? sound : silent), kPlayerOk);
    Player_Pause(context);
    ASSERT_EQ(Player_Step(context), kPlayerOk);
    Player_Restart(context);
    if (with_sound)
      gate->OpenGate();
    else
      Player_SetRate(context, 500.0f);
    ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
    EXPECT_EQ(Player_Status(context).end, PlaybackEnd::kEndOfMovie);
  }
}

// Each Player_Step asked for the moment the step before has paused the clock (a key held down
// does so) shows one frame and pauses again: the step before, still finishing, must not call it
// off and leave the clock running.
TEST_F(Stress, AStepAskedForAsTheOneBeforeEndsShowsOneFrame) {
  TempMovie silent(SilentMovie(200));
  // Paused at its first picture: the clock runs free, and a busy machine could otherwise let the
  // movie play to its end before a pause from here.
  struct PauseFirst {
    PlayerContext* context = nullptr;
    std::atomic<bool> armed{false};
    static void Presented(const PresentedPicture&, void* user) {
      auto& self = *static_cast<PauseFirst*>(user);
      if (self.armed.exchange(false)) Player_Pause(*self.context);
    }
  } pause_first;
  pause_first.context = &context;
  Player_SetPresentationListener(context, &PauseFirst::Presented, &pause_first);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    Player_SetLoop(context, 0);
    pause_first.armed = true;
    ASSERT_EQ(OpenAndStart(silent), kPlayerOk);
    ASSERT_TRUE(WaitFor([&] { return Player_Status(context).state == PlayerState::kPaused; }));
    const std::int64_t before = Player_Status(context).pictures_presented;
    for (int step = 0; step < 8; ++step) {
      ASSERT_EQ(Player_Step(context), kPlayerOk);
      // Paused by the step, or (the step called off) played through to the end.
      while (!context.paused && context.playing) std::this_thread::yield();
      ASSERT_TRUE(context.paused) << "step " << step;
    }
    ASSERT_TRUE(WaitFor([&] { return Player_Status(context).pictures_presented >= before + 8; }));
    EXPECT_TRUE(context.paused);
    EXPECT_FALSE(context.timer.running());
    EXPECT_EQ(Player_Status(context).pictures_presented, before + 8);
    Player_Stop(context);
  }
}

// A seek asked for once a step has paused a movie without sound waits for the tick that
// presented the stepped frame: that tick reports its picture after the pause, and the seek
// decoded into the same picture meanwhile (ThreadSanitizer saw the decoder shared) and could
// report its own before it.
TEST_F(Stress, SeekJustAfterAStepComesAfterTheSteppedPicture) {
  TempMovie silent(SilentMovie(8));
  struct Order {
    PlayerContext* context = nullptr;
    std::atomic<bool> hold{false};
    std::mutex mutex;
    std::vector<int> frames;
    static void Presented(const PresentedPicture& presented, void* user) {
      auto& self = *static_cast<Order*>(user);
      if (presented.frame_index == 1 && !self.hold) Player_Pause(*self.context);
      // The stepped frame's report lasts until the seek has begun.
      if (presented.frame_index == 2 && self.hold)
        while (!self.context->halting) std::this_thread::yield();
      const std::lock_guard<std::mutex> lock(self.mutex);
      self.frames.push_back(presented.frame_index);
    }
  } order;
  order.context = &context;
  Player_SetPresentationListener(context, &Order::Presented, &order);
  ASSERT_EQ(OpenAndStart(silent), kPlayerOk);
  ASSERT_TRUE(WaitFor([&] { return Player_Status(context).state == PlayerState::kPaused; }));
  order.hold = true;
  ASSERT_EQ(Player_Step(context), kPlayerOk);
  ASSERT_TRUE(WaitFor([&] { return Player_Status(context).shown_frame == 2; }));
  ASSERT_EQ(Player_Seek(context, 5), kPlayerOk);
  Player_Stop(context);
  EXPECT_EQ(order.frames, (std::vector<int>{0, 1, 2, 5}));
}

// The listener told of a seek's picture may pause or play on: the seek leaves the engine so. It
// went by what it found before, so a movie paused there played on under a Paused status, and a
// clock started there ran under the seek (ThreadSanitizer: the reader's thread shared).
TEST_F(Stress, PauseOrPlayFromTheListenerOfASeeksPictureHolds) {
  TempMovie silent(SilentMovie(8));
  struct Flip {
    PlayerContext* context = nullptr;
    std::thread::id seeker = std::this_thread::get_id();
    static void Presented(const PresentedPicture&, void* user) {
      auto& self = *static_cast<Flip*>(user);
      if (std::this_thread::get_id() != self.seeker) return;
      if (Player_Status(*self.context).state == PlayerState::kPaused)
        Player_Restart(*self.context);
      else
        Player_Pause(*self.context);
    }
  } flip;
  flip.context = &context;
  Player_SetPresentationListener(context, &Flip::Presented, &flip);
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(silent), kPlayerOk);
  Player_Pause(context);
  ASSERT_EQ(Player_Seek(context, 2), kPlayerOk);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPlaying);
  EXPECT_TRUE(context.timer.running());
  ASSERT_EQ(Player_Seek(context, 3), kPlayerOk);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPaused);
  EXPECT_FALSE(context.timer.running());
}

// The listener told of the first picture, which the start presents as it primes the sound
// device, may pause: the movie stays paused, its 32 periods queued. The priming set the device
// going after it, so the movie played on under a Paused status.
TEST_F(Stress, PauseFromTheListenerOfTheStartsPictureHolds) {
  TempMovie movie(SoundMovie(8));
  struct PauseFirst {
    PlayerContext* context = nullptr;
    static void Presented(const PresentedPicture& presented, void* user) {
      if (presented.frame_index == 0) Player_Pause(*static_cast<PauseFirst*>(user)->context);
    }
  } listener;
  listener.context = &context;
  Player_SetPresentationListener(context, &PauseFirst::Presented, &listener);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPaused);
  EXPECT_EQ(log->buffer_count(), 32u);
  EXPECT_EQ(log->Events().back(), "pause");
  // Played on, the movie ends by itself.
  Player_Restart(context);
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(log->buffer_count(), 32u + 7);
}

// A listener on one of the engine's threads that pauses while a seek takes that thread down:
// the seek leaves the engine paused. It went by what it had found before, so the movie played
// on under the seek's Playing, the listener's pause lost.
TEST_F(Stress, PauseFromAListenerTheSeekIsTakingDownHolds) {
  struct PauseUnderSeek {
    PlayerContext* context = nullptr;
    std::thread::id seeker = std::this_thread::get_id();
    std::atomic<bool> armed{true};
    std::atomic<bool> waiting{false};
    static void Presented(const PresentedPicture&, void* user) {
      auto& self = *static_cast<PauseUnderSeek*>(user);
      if (std::this_thread::get_id() == self.seeker || !self.armed.exchange(false)) return;
      self.waiting = true;
      self.waiting.notify_all();
      // The seek has begun taking this thread down (it sets the flag without a notify).
      while (!self.context->halting) std::this_thread::yield();
      Player_Pause(*self.context);
    }
  };
  for (const bool sound : {false, true}) {
    SCOPED_TRACE(sound);
    TempMovie movie(sound ? SoundMovie(8) : SilentMovie(8));
    PauseUnderSeek listener;
    listener.context = &context;
    Player_SetPresentationListener(context, &PauseUnderSeek::Presented, &listener);
    Player_SetLoop(context, 1);
    ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
    listener.waiting.wait(false);
    ASSERT_EQ(Player_Seek(context, 2), kPlayerOk);
    EXPECT_EQ(Player_Status(context).state, PlayerState::kPaused);
    if (sound)
      EXPECT_EQ(log->Events().back(), "pause");
    else
      EXPECT_FALSE(context.timer.running());
    Player_Stop(context);
  }
}

// What a callback does when it has seen frame 3: stop playback.
struct StopAtFrameThree {
  PlayerContext* context = nullptr;
  std::atomic<int> presented{0};
  static void OnPicture(const PresentedPicture& presented, void* user) {
    auto& self = *static_cast<StopAtFrameThree*>(user);
    if (presented.frame_index == 3) Player_Stop(*self.context);
  }
  static void OnFrame(void* user) {
    auto& self = *static_cast<StopAtFrameThree*>(user);
    if (self.context->current_frame == 4) Player_Stop(*self.context);
  }
};

TEST_F(Stress, StopFromTheFrameCallbackOrTheListener) {
  TempMovie sound(SoundMovie(40));
  TempMovie silent(SilentMovie(40));
  for (int round = 0; round < 40; ++round) {
    const bool with_sound = round % 2 == 0;
    const bool from_listener = round % 4 >= 2;
    SCOPED_TRACE(testing::Message() << "sound " << with_sound << " listener " << from_listener);
    StopAtFrameThree stopper;
    stopper.context = &context;
    if (from_listener) {
      Player_SetFrameCallback(context, nullptr, nullptr);
      Player_SetPresentationListener(context, &StopAtFrameThree::OnPicture, &stopper);
    } else {
      Player_SetPresentationListener(context, nullptr, nullptr);
      Player_SetFrameCallback(context, &StopAtFrameThree::OnFrame, &stopper);
    }
    Player_SetLoop(context, 1);
    ASSERT_EQ(OpenAndStart(with_sound ? sound : silent), kPlayerOk);
    ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
    const PlayerStatus status = Player_Status(context);
    EXPECT_EQ(status.state, PlayerState::kIdle);
    EXPECT_EQ(status.end, PlaybackEnd::kUserStop);
    EXPECT_EQ(status.shown_frame, 3);
    EXPECT_FALSE(context.movie_open);
    // The thread that stopped playback is collected by the next open.
    ASSERT_EQ(Player_Open(context, silent.path()), kPlayerOk);
    EXPECT_FALSE(context.sound_thread.exists());
    EXPECT_FALSE(context.disk_thread.exists());
    Player_Stop(context);
  }
}

}  // namespace
}  // namespace tarvel::test
