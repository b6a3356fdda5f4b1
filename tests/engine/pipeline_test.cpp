// The frame step and its clocks: pause, restart, rate and volume on both clocks, the sound of
// every frame period, and the chunk handler.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine_fixture.h"
#include "support/hand_clocked_device.h"

namespace tarvel::test {
namespace {

class Pipeline : public EngineTest {
 protected:
  // The next start gets a card whose clock the test turns by hand (hand_clocked_ once made).
  void UseHandClockedCard() {
    context.services.make_audio_device = [](void* user) -> std::unique_ptr<AudioDevice> {
      auto* self = static_cast<Pipeline*>(user);
      auto card = std::make_unique<HandClockedDevice>(self->log);
      self->hand_clocked_ = card.get();
      return card;
    };
    context.services.audio_device_user = this;
  }
  HandClockedDevice* hand_clocked_ = nullptr;
};

TEST(ClockPeriod, IsThousandOverTheRateTruncated) {
  EXPECT_EQ(ClockPeriod(15.0f), 66u);
  EXPECT_EQ(ClockPeriod(12.5f), 80u);
  EXPECT_EQ(ClockPeriod(25.0f), 40u);
  EXPECT_EQ(ClockPeriod(30.0f), 33u);
  // Faster than a millisecond per frame still ticks.
  EXPECT_EQ(ClockPeriod(5000.0f), 1u);
  // A header's rate, 200 / d, ticks every 5 d ms: at 45 (4.44 per second) the float rate divided
  // back came to 224.99998 and ticked at 224 ms, the pictures running ahead by 1 ms a frame.
  for (const std::uint32_t duration : {45u, 83u, 90u, 149u, 65535u})
    EXPECT_EQ(ClockPeriod(FrameRateFromDuration(static_cast<std::uint16_t>(duration), 15.0f)),
              5 * duration)
        << duration;
}

TEST(PlaybackRate, SixteenDotSixteenFixedPoint) {
  EXPECT_EQ(PlaybackRateValue(2.0), 0x00020000u);
  EXPECT_EQ(PlaybackRateValue(1.5), 0x00018000u);
  EXPECT_EQ(PlaybackRateValue(1.0), 0x00010000u);
  EXPECT_EQ(PlaybackRateValue(0.25), 0x00004000u);
}

TEST_F(Pipeline, RateAndVolumeReachTheSoundDevice) {
  TempMovie movie(SoundMovie(20));  // no frame duration: 15 frames per second
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_EQ(context.frame_rate, 15.0f);
  Player_SetRate(context, 30.0f);
  Player_SetRate(context, 22.5f);
  EXPECT_TRUE(Player_SetVolume(context, 99));
  EXPECT_TRUE(Player_SetVolume(context, 0));
  EXPECT_FALSE(Player_SetVolume(context, 100));
  EXPECT_FALSE(Player_SetVolume(context, -1));
  Player_Stop(context);
  std::vector<std::string> settings;
  for (const auto& event : log->Events())
    if (event.rfind("rate", 0) == 0 || event.rfind("volume", 0) == 0) settings.push_back(event);
  const std::vector<std::string> expected = {"rate 0x00020000", "rate 0x00018000",
                                             "volume 0xFD4DFD4D", "volume 0x00000000"};
  EXPECT_EQ(settings, expected);
}

TEST_F(Pipeline, VolumeAndFormatNeedSound) {
  TempMovie silent(SilentMovie(4));
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(silent), kPlayerOk);
  EXPECT_FALSE(Player_SetVolume(context, 50));
  std::uint32_t stereo = 7, rate = 7;
  EXPECT_FALSE(Player_GetSoundFormat(context, &stereo, &rate));
  EXPECT_EQ(stereo, 7u);
  Player_Stop(context);
}

TEST_F(Pipeline, SoundFormatWhilePausedNotAfterStop) {
  TempMovie mono(SoundMovie(10, 8, 1000000, 22050, 0));
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(mono), kPlayerOk);
  WaveFormat format = log->format();
  EXPECT_EQ(format.channels, 1);
  EXPECT_EQ(format.block_align, 2);
  EXPECT_EQ(format.average_bytes_per_second, 44100u);
  EXPECT_EQ(format.samples_per_second, 22050u);
  EXPECT_EQ(format.bits_per_sample, 16);
  Player_Pause(context);
  std::uint32_t stereo = 7, rate = 7;
  EXPECT_TRUE(Player_GetSoundFormat(context, &stereo, &rate));
  EXPECT_EQ(stereo, 0u);
  EXPECT_EQ(rate, 22050u);
  Player_Stop(context);
  EXPECT_FALSE(Player_GetSoundFormat(context, &stereo, &rate));

  // Flags with bits other than bit 0 set are still mono; bit 0 makes it stereo.
  TempMovie stereo_movie(SoundMovie(10, 8, 1000000, 44100, 3));
  ASSERT_EQ(OpenAndStart(stereo_movie), kPlayerOk);
  format = log->format();
  EXPECT_EQ(format.channels, 2);
  EXPECT_EQ(format.block_align, 4);
  EXPECT_EQ(format.average_bytes_per_second, 176400u);
  EXPECT_TRUE(Player_GetSoundFormat(context, &stereo, &rate));
  EXPECT_EQ(stereo, 1u);
  Player_Stop(context);
}

// The card's clock turned by hand: the test knows which periods have ended, however late the
// sound thread runs the steps they ask for.
TEST_F(Pipeline, PauseHoldsTheSoundClockAndRestartResumesIt) {
  UseHandClockedCard();
  TempMovie movie(SoundMovie(30));
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  HandClockedDevice& card = *hand_clocked_;
  const auto position = [&] {
    return std::int64_t{context.loop_count} * 30 + context.current_frame;
  };
  // Eight periods end; the pause comes before the steps they ask for may have run, and those
  // steps still run. The start presented frame 0 with the 32 periods of its lead.
  for (int i = 0; i < 8; ++i) card.Tick();
  ASSERT_TRUE(WaitFor([&] { return context.buffers_done == 8; }));
  ASSERT_EQ(Player_Pause(context), kDeviceOk);
  ASSERT_TRUE(WaitFor([&] { return log->buffer_count() >= 32 + 8; }));
  EXPECT_EQ(position(), 9);
  // Then nothing moves, whatever the card is asked meanwhile.
  for (int i = 0; i < 3; ++i) card.Tick();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(position(), 9);
  EXPECT_EQ(log->buffer_count(), 32u + 8u);
  // Restarted, each period that ends brings the next frame: 30 frames on, the loop comes round.
  EXPECT_EQ(Player_Restart(context), kDeviceOk);
  for (int i = 0; i < 30; ++i) card.Tick();
  ASSERT_TRUE(WaitFor([&] { return log->buffer_count() >= 32 + 8 + 30; }));
  EXPECT_EQ(position(), 39);
  EXPECT_EQ(context.loop_count, 1);
  Player_Stop(context);
  EXPECT_EQ(log->buffer_count(), 32u + 8u + 30u);
}

TEST_F(Pipeline, StepTheCardWillNotRestartForSaysSoAndStaysPaused) {
  UseHandClockedCard();
  TempMovie movie(SoundMovie(30));
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_EQ(Player_Pause(context), kDeviceOk);
  hand_clocked_->refuse_restart = true;
  EXPECT_EQ(Player_Step(context), kPlayerDeviceRefused);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPaused);
  EXPECT_EQ(context.stepping, kStepNone);
  Player_Stop(context);
}

TEST_F(Pipeline, PauseAndRestartWithoutSoundRestartTheTimer) {
  TempMovie movie(SilentMovie(5));
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  EXPECT_TRUE(context.timer_active);
  EXPECT_EQ(context.timer_period_ms, 66u);
  EXPECT_EQ(Player_Pause(context), 1);
  EXPECT_FALSE(context.timer_active);
  const std::int32_t frame = context.current_frame;
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(context.current_frame, frame);
  // Rate 0 leaves the clock as it is, here stopped; so does another rate, kept for later.
  Player_SetRate(context, 0.0f);
  EXPECT_FALSE(context.timer_active);
  Player_SetRate(context, 30.0f);
  EXPECT_FALSE(context.timer_active);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPaused);
  EXPECT_EQ(context.timer_period_ms, 33u);
  EXPECT_EQ(Player_Restart(context), 1);
  EXPECT_TRUE(context.timer_active);
  EXPECT_TRUE(WaitFor([&] { return context.current_frame != frame || context.loop_count > 0; }));
  Player_SetRate(context, 25.0f);
  EXPECT_EQ(context.timer_period_ms, 40u);
  Player_SetRate(context, 0.0f);
  EXPECT_EQ(context.timer_period_ms, 40u);
  Player_Stop(context);
  EXPECT_FALSE(context.timer_active);
}

// Step by step: the frame callback pauses the engine from the timer's own thread, and every
// restart shows exactly one more frame.
TEST_F(Pipeline, StepModePausesFromTheFrameCallback) {
  struct Stepper {
    PlayerContext* context = nullptr;
    std::atomic<int> shown{0};
    static void Callback(void* user) {
      auto& self = *static_cast<Stepper*>(user);
      self.shown.fetch_add(1);
      Player_Pause(*self.context);
    }
  } stepper;
  stepper.context = &context;
  Player_SetFrameCallback(context, &Stepper::Callback, &stepper);
  Player_SetLoop(context, 1);
  TempMovie movie(SilentMovie(5));
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  for (int step = 1; step <= 4; ++step) {
    ASSERT_TRUE(WaitFor([&] { return stepper.shown == step && !context.timer_active; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(stepper.shown, step);
    EXPECT_EQ(context.current_frame, step);
    EXPECT_EQ(Player_Restart(context), 1);
  }
  Player_Stop(context);
}

TEST_F(Pipeline, FirstTickAfterAClockStartIsSkipped) {
  PlayerContext& c = context;
  c.playing = false;
  c.timer_skip_tick = true;
  c.timer_busy = false;
  Clock_Tick(&c);
  EXPECT_FALSE(c.timer_skip_tick);
  EXPECT_FALSE(c.timer_busy);
  // A tick that comes while one is being handled is dropped and changes nothing.
  c.timer_busy = true;
  c.timer_skip_tick = true;
  Clock_Tick(&c);
  EXPECT_TRUE(c.timer_skip_tick);
}

TEST_F(Pipeline, FrameWithoutAudioChunkGivesAPeriodOfSilence) {
  // Frame 0's periods and every later frame's codes raise the level, so a period of silence
  // stands out as zeros.
  MovieLayout entry = SoundMovie(6, 4);
  auto& lead = entry.frames[0].chunks[1].payload;
  for (std::size_t i = 32; i < lead.size(); ++i) lead[i] = 0x11;
  for (int i = 1; i < 6; ++i)
    entry.frames[static_cast<std::size_t>(i)].chunks[1].payload.assign(4, 0x11);
  entry.frames[3].chunks.pop_back();
  TempMovie movie(entry);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(WaitUntilIdle());
  const auto buffers = log->Buffers();
  ASSERT_EQ(buffers.size(), 32u + 5u);
  const std::vector<uint8_t> zeros(16, 0);
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    ASSERT_EQ(buffers[i].bytes.size(), 16u);
    if (i == 32 + 2)
      EXPECT_EQ(buffers[i].bytes, zeros) << i;  // frame 3
    else
      EXPECT_NE(buffers[i].bytes, zeros) << i;
  }
}

// The sound a looping movie sends to the device, buffer by buffer. Codes 1 and 9 at step index 0
// add and subtract exactly 1 and leave the index at 0, and code 0 adds nothing, so the samples
// follow a counter that is easy to track by hand.
TEST_F(Pipeline, LoopingSoundScheduleBufferByBuffer) {
  constexpr int kFrames = 40;
  constexpr int kBytes = 40;    // ADPCM bytes per period: 80 mono samples
  constexpr int kStart = 1000;  // the header's predictor
  MovieLayout entry = SoundMovie(kFrames, kBytes);
  auto& lead = entry.frames[0].chunks[1].payload;
  lead[20] = static_cast<uint8_t>(kStart & 0xFF);
  lead[21] = static_cast<uint8_t>(kStart >> 8);
  // Lead period k starts with k + 1 bytes of 0x11 (+1, +1); frame n's own period with
  // (n % 7) + 1 bytes of 0x99 (-1, -1).
  for (int k = 0; k < 32; ++k)
    for (int j = 0; j <= k; ++j) lead[32 + static_cast<std::size_t>(k * kBytes + j)] = 0x11;
  for (int n = 1; n < kFrames; ++n) {
    auto& own = entry.frames[static_cast<std::size_t>(n)].chunks[1].payload;
    for (int j = 0; j <= n % 7; ++j) own[static_cast<std::size_t>(j)] = 0x99;
  }
  TempMovie movie(entry);
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  constexpr std::size_t kWanted = 32 + (kFrames - 1) + 3;  // into frame 2 of the second pass
  ASSERT_TRUE(WaitFor([&] { return log->buffer_count() >= kWanted; }));
  Player_Stop(context);
  const auto buffers = log->Buffers();

  // Build the expected periods: which bytes each buffer decodes, and where the level restarts.
  int level = kStart;
  auto period = [&](int up_bytes, int down_bytes) {
    std::vector<int16_t> samples;
    for (int j = 0; j < kBytes; ++j) {
      const int step = j < up_bytes ? 1 : (j < down_bytes ? -1 : 0);
      for (int s = 0; s < 2; ++s) {
        level += step;
        samples.push_back(static_cast<int16_t>(level));
      }
    }
    return samples;
  };
  auto lead_period = [&](int k) { return period(k + 1, 0); };
  auto own_period = [&](int n) { return period(0, n % 7 + 1); };
  std::vector<std::vector<int16_t>> expected;
  for (int k = 0; k < 32; ++k) expected.push_back(lead_period(k));  // priming, frame 0
  for (int n = 1; n < kFrames; ++n) {
    const int d = kFrames - n;
    if (d < 32) {
      if (d == 31) level = kStart;  // the stream restarts from the kept copy
      expected.push_back(lead_period(31 - d));
    } else {
      expected.push_back(own_period(n));
    }
  }
  expected.push_back(lead_period(31));  // frame 0 of the second pass
  expected.push_back(own_period(1));
  expected.push_back(own_period(2));

  ASSERT_GE(buffers.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    std::vector<int16_t> got(buffers[i].bytes.size() / 2);  // little-endian on every host
    for (std::size_t k = 0; k < got.size(); ++k)
      got[k] = static_cast<int16_t>(buffers[i].bytes[2 * k] | (buffers[i].bytes[2 * k + 1] << 8));
    EXPECT_EQ(got, expected[i]) << "buffer " << i;
  }
}

TEST_F(Pipeline, OtherChunksReachTheHandlerInOrder) {
  struct Seen {
    static void Handler(const char* tag, const uint8_t* payload, int32_t length, void* user) {
      auto& list = *static_cast<std::vector<std::string>*>(user);
      list.push_back(
          std::string(tag, 2) + ":" +
          std::string(reinterpret_cast<const char*>(payload), static_cast<std::size_t>(length)));
    }
  };
  MovieLayout entry = SilentMovie(2);
  auto text = [](const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); };
  entry.frames[0].chunks.insert(entry.frames[0].chunks.begin(), {"ix", text("lower")});
  entry.frames[0].chunks.push_back({"TX", text("hello")});
  entry.frames[1].chunks.push_back({"TX", text("again")});
  TempMovie movie(entry);
  std::vector<std::string> seen;
  context.chunk_handler = &Seen::Handler;
  Player_SetFrameCallback(context, nullptr, &seen);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(WaitUntilIdle());
  const std::vector<std::string> expected = {"ix:lower", "TX:hello", "TX:again"};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace tarvel::test
