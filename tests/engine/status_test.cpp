// The engine's status snapshot and presentation event: what callers see of a playback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine_fixture.h"

namespace tarvel::test {
namespace {

using Status = EngineTest;

// Every picture the listener is given: its frame, its pass and where its pixels are.
struct PictureLog {
  std::vector<std::pair<int, int>> frames;  // (frame index, loop count)
  std::vector<const std::uint16_t*> pixels;
  int width = 0;
  int height = 0;
  std::atomic<int> count{0};
  static void Record(const PresentedPicture& presented, void* user) {
    auto& self = *static_cast<PictureLog*>(user);
    self.frames.emplace_back(presented.frame_index, presented.loop_count);
    self.pixels.push_back(presented.picture.pixels);
    self.width = presented.picture.width;
    self.height = presented.picture.height;
    self.count.fetch_add(1);
  }
};

TEST_F(Status, FollowsAPlaybackFromOpenToItsEnd) {
  EXPECT_EQ(Player_Status(context).state, PlayerState::kIdle);
  MovieLayout layout = SoundMovie(5);
  layout.duration = 8;  // 200 / 8 = 25 frames per second
  TempMovie movie(layout);
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  PlayerStatus status = Player_Status(context);
  EXPECT_EQ(status.state, PlayerState::kOpen);
  EXPECT_EQ(status.width, 16u);
  EXPECT_EQ(status.height, 16u);
  EXPECT_EQ(status.frame_count, 5);
  EXPECT_EQ(status.frame_rate, 25.0f);
  EXPECT_TRUE(status.movie_has_sound);
  EXPECT_FALSE(status.sound_on);  // set up when playback starts

  // The device holds its completions: playback stays at frame 1 until the gate opens.
  hold_completions = true;
  surface.assign(16 * 16, 0);
  ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
            kPlayerOk);
  status = Player_Status(context);
  EXPECT_EQ(status.state, PlayerState::kPlaying);
  EXPECT_TRUE(status.sound_on);
  EXPECT_FALSE(status.stereo);
  EXPECT_EQ(status.sample_rate, 22050u);
  EXPECT_EQ(status.pcm_bytes_per_period, 32);  // 8 ADPCM bytes: 16 samples of 2 bytes
  EXPECT_EQ(status.shown_frame, 0);
  EXPECT_EQ(status.current_frame, 1);
  EXPECT_EQ(status.pictures_presented, 1);
  EXPECT_EQ(Player_Pause(context), kDeviceOk);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPaused);
  EXPECT_EQ(Player_Restart(context), kDeviceOk);
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPlaying);

  gate->OpenGate();
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  status = Player_Status(context);
  EXPECT_EQ(status.state, PlayerState::kIdle);
  EXPECT_EQ(status.end, PlaybackEnd::kEndOfMovie);
  EXPECT_EQ(status.pictures_presented, 5);
  EXPECT_EQ(status.shown_frame, 4);
  EXPECT_EQ(status.current_frame, 5);
  EXPECT_EQ(status.corrupt_frames, 0);
  EXPECT_STREQ(status.problem, "");
  EXPECT_FALSE(status.sound_lost);
}

TEST_F(Status, SoundDeviceLostWhilePlayingIsSaidAndThePicturesGoOn) {
  TempMovie movie(SoundMovie(5));
  // The 32 lead buffers go out; the device is lost from the first refill on.
  options.lost_after = 32;
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  PlayerStatus status = Player_Status(context);
  EXPECT_TRUE(status.sound_lost);
  EXPECT_EQ(status.end, PlaybackEnd::kEndOfMovie);
  EXPECT_EQ(status.pictures_presented, 5);
  // The next playback starts with a device that plays.
  options.lost_after = -1;
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  status = Player_Status(context);
  EXPECT_FALSE(status.sound_lost);
  EXPECT_EQ(status.pictures_presented, 5);
}

// A thread's state letter (R, S...) and the times it went to sleep, from /proc.
std::pair<char, long> ThreadSleeps(pid_t tid) {
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  std::ifstream stat(task + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t after_name = line.rfind(')');
  const char state = after_name + 2 < line.size() ? line[after_name + 2] : '?';
  std::ifstream status(task + "/status");
  long sleeps = -1;
  for (std::string key; status >> key;)
    if (key == "voluntary_ctxt_switches:") status >> sleeps;
  return {state, sleeps};
}

TEST_F(Status, AWaitForTheEndSleepsThroughTheChangesOfEveryFrame) {
  Status_Publish(context, [](PlayerStatus& status) { status.state = PlayerState::kPlaying; });
  std::atomic<pid_t> waiter{0};
  std::thread watch([&] {
    waiter = gettid();
    EXPECT_TRUE(Player_WaitForEnd(context, std::chrono::hours(1)));
  });
  while (waiter == 0 || ThreadSleeps(waiter).first != 'S') std::this_thread::yield();
  const long asleep = ThreadSleeps(waiter).second;
  // What every presented frame publishes: nothing the waiter waits for.
  for (int frame = 1; frame <= 50; ++frame)
    Status_Publish(context, [frame](PlayerStatus& status) {
      status.shown_frame = frame - 1;
      status.current_frame = frame;
    });
  while (ThreadSleeps(waiter).first != 'S') std::this_thread::yield();
  EXPECT_EQ(ThreadSleeps(waiter).second, asleep);
  Status_Publish(context, [](PlayerStatus& status) { status.state = PlayerState::kIdle; });
  watch.join();
}

TEST_F(Status, ListenerGetsEveryPictureWithItsFrameAndPass) {
  TempMovie movie(SilentMovie(3));
  PictureLog pictures;
  Player_SetPresentationListener(context, &PictureLog::Record, &pictures);
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(WaitFor([&] { return pictures.count >= 6; }));
  Player_Stop(context);
  pictures.frames.resize(6);
  EXPECT_EQ(pictures.frames,
            (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}}));
  EXPECT_EQ(pictures.pixels[0], surface.data());
  EXPECT_EQ(pictures.width, 16);
  EXPECT_EQ(pictures.height, 16);
}

TEST_F(Status, CountsCorruptPictures) {
  MovieLayout layout = SilentMovie(6);
  // A key frame without mode bits runs out of them at its first block.
  for (int frame : {1, 3})
    layout.frames[static_cast<std::size_t>(frame)].chunks[0].payload =
        AssembleVideoChunk(-50, {}, {}, {}, {});
  TempMovie movie(layout);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  const PlayerStatus status = Player_Status(context);
  EXPECT_EQ(status.pictures_presented, 6);
  EXPECT_EQ(status.corrupt_frames, 2);
  EXPECT_EQ(status.first_corrupt_frame, 1);
  EXPECT_EQ(status.last_corrupt_frame, 3);
}

TEST_F(Status, ProblemsSayWhatWentWrong) {
  TempMovie short_file(std::vector<uint8_t>(63, 'x'));
  EXPECT_EQ(Player_Open(context, short_file.path()), kPlayerReadFailed);
  EXPECT_STREQ(Player_Status(context).problem, "not a movie: shorter than the 64-byte header");
  // A file whose reads fail (nothing is mapped at address 0): a failing disk, not a short file.
  EXPECT_EQ(Player_Open(context, "/proc/self/mem"), kPlayerReadFailed);
  EXPECT_STREQ(Player_Status(context).problem,
               "the 64-byte header cannot be read (an input/output error of its disk or network)");

  // A header promising 65528 x 65528 pictures: two of them would take 16 GB.
  MovieLayout huge = SilentMovie(1);
  huge.width = 65528;
  huge.height = 65528;
  TempMovie huge_file(huge);
  EXPECT_EQ(Player_Open(context, huge_file.path()), kPlayerReadFailed);
  EXPECT_STREQ(Player_Status(context).problem,
               "picture size 65528x65528 is too large: its two pictures would take 16381 MB, "
               "more than the 256 MB allowed");
  EXPECT_EQ(Player_Status(context).state, PlayerState::kIdle);

  // A header that counts no frames, before frames that are whole.
  MovieLayout no_frames = SilentMovie(2);
  no_frames.header_frame_count = 0;
  TempMovie no_frames_file(no_frames);
  EXPECT_EQ(OpenAndStart(no_frames_file), kPlayerReadFailed);
  EXPECT_STREQ(Player_Status(context).problem,
               "the movie has no frames (its header's frame count is 0)");
  EXPECT_EQ(Player_Status(context).state, PlayerState::kIdle);

  // A sound device that cannot be opened: the movie plays on without sound, to its end (the
  // free-running clock may get there before anything here looks, so only the end is checked).
  options.refuse_open = true;
  TempMovie sound(SoundMovie(3));
  EXPECT_EQ(OpenAndStart(sound), kPlayerDeviceRefused);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  const PlayerStatus status = Player_Status(context);
  EXPECT_EQ(status.pictures_presented, 3);
  EXPECT_FALSE(status.sound_on);
  EXPECT_STREQ(status.problem,
               "the sound device could not be opened: the capture device refused to open");
  Player_Stop(context);

  for (std::int32_t code : {0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13})
    EXPECT_STRNE(Player_ResultText(code), Player_ResultText(99)) << code;
}

}  // namespace
}  // namespace tarvel::test
