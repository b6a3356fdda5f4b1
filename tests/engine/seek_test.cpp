// Seeking on the conformance movies: after a seek to frame N the pictures and the sound the
// device receives are exactly continuous playback's from frame N on, paused or playing, looping
// or not; stepping back and forth; seeking in a cut movie.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../storage/tar_writer.h"
#include "engine_fixture.h"
#include "storage/tar_package.h"
#include "video/key_frame.h"

namespace tarvel::test {

// The demo's pictures, 160x120, 150 frames, with frame 0 the only key frame (made by
// the encoder in few_key_frames.cpp, whose headers clash with the engine's).
std::vector<std::uint8_t> EncodeFewKeyFrameMovie();

namespace {

using Picture = std::vector<std::uint16_t>;

// Every presented picture, and which thread presented it (a seek presents on the caller's).
struct Recorder {
  PlayerContext* context = nullptr;
  std::thread::id seeker;
  std::vector<Picture> pictures;
  std::vector<int> frames;
  // Pictures presented since the last seek; stop once `stop_after` of them are in, counting
  // from the first seek made after arm_next_seek was set (or from the start).
  std::atomic<std::int64_t> since_seek{0};
  std::atomic<std::int64_t> stop_after{0};
  std::atomic<bool> arm_next_seek{false};
  std::int64_t arm_next_seek_after = 0;
  bool keep_all = true;
  std::atomic<bool> pause_at_next_frame{false};

  static void Presented(const PresentedPicture& presented, void* user) {
    auto& self = *static_cast<Recorder*>(user);
    const PictureView& view = presented.picture;
    if (std::this_thread::get_id() == self.seeker) {
      self.pictures.clear();
      self.frames.clear();
      self.since_seek = 0;
      if (self.arm_next_seek) self.stop_after = self.arm_next_seek_after;
    }
    // Looping on between seeks, only the count matters.
    if (self.keep_all || self.stop_after > 0) {
      self.pictures.emplace_back(view.pixels,
                                 view.pixels + static_cast<std::size_t>(view.width) * view.height);
      self.frames.push_back(presented.frame_index);
    }
    self.since_seek.fetch_add(1);
  }
  static void Frame(void* user) {
    auto& self = *static_cast<Recorder*>(user);
    if (self.pause_at_next_frame.exchange(false)) Player_Pause(*self.context);
    if (self.stop_after > 0 && self.since_seek >= self.stop_after) Player_Stop(*self.context);
  }
};

constexpr const char* kFewKeyFrames = "few-key-frames";
const std::vector<std::uint8_t>& FewKeyFrameMovie() {
  static const std::vector<std::uint8_t> bytes = EncodeFewKeyFrameMovie();
  return bytes;
}

class Seek : public EngineTest, public ::testing::WithParamInterface<const char*> {
 protected:
  std::string Path() const {
    if (encoded) return encoded->path();
    return std::string(TARVEL_CONFORMANCE_DIR) + "/" + GetParam() + ".kqm";
  }

  // Plays the movie from its start: once, or two looping passes. Keeps the pictures and PCM.
  void PlayContinuously(bool two_passes, std::vector<Picture>* pictures,
                        std::vector<std::uint8_t>* pcm) {
    log = std::make_shared<CaptureLog>();
    Recorder recorder;
    recorder.context = &context;
    Player_SetPresentationListener(context, &Recorder::Presented, &recorder);
    Player_SetFrameCallback(context, &Recorder::Frame, &recorder);
    Player_SetLoop(context, two_passes ? 1 : 0);
    ASSERT_EQ(Player_Open(context, Path().c_str()), kPlayerOk);
    recorder.stop_after = two_passes ? 2 * std::int64_t{context.frame_count} : 0;
    surface.assign(std::size_t{context.width} * context.height, 0);
    ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
              kPlayerOk);
    ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
    Player_Stop(context);
    *pictures = recorder.pictures;
    *pcm = log->Pcm();
  }

  void SetUp() override {
    EngineTest::SetUp();
    if (std::string(GetParam()) == kFewKeyFrames) {
      ASSERT_FALSE(FewKeyFrameMovie().empty());
      encoded = std::make_unique<TempMovie>(FewKeyFrameMovie());
    }
    ASSERT_NO_FATAL_FAILURE(PlayContinuously(false, &once_pictures, &once_pcm));
    ASSERT_NO_FATAL_FAILURE(PlayContinuously(true, &looping_pictures, &looping_pcm));
    frame_count = static_cast<int>(once_pictures.size());
    period = once_pcm.empty() ? 0 : once_pcm.size() / (31 + once_pictures.size());
  }

  // Starts playback from frame 0 with `recorder` taking the pictures; seeks from this thread.
  void StartRecording(Recorder& recorder, bool loop) {
    recorder.context = &context;
    recorder.seeker = std::this_thread::get_id();
    Player_SetPresentationListener(context, &Recorder::Presented, &recorder);
    Player_SetFrameCallback(context, &Recorder::Frame, &recorder);
    Player_SetLoop(context, loop ? 1 : 0);
    log = std::make_shared<CaptureLog>();
    ASSERT_EQ(Player_Open(context, Path().c_str()), kPlayerOk);
    surface.assign(std::size_t{context.width} * context.height, 0);
    ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
              kPlayerOk);
  }

  std::unique_ptr<TempMovie> encoded;
  std::vector<Picture> once_pictures, looping_pictures;
  std::vector<std::uint8_t> once_pcm, looping_pcm;
  int frame_count = 0;
  std::size_t period = 0;  // PCM bytes per frame period
};

// Paused: seek forwards, backwards, to the same frame twice, to both ends; step back and
// forth. Each shows exactly the picture continuous playback shows; then playing on from the
// last seek gives the pictures and the sound of continuous playback from there.
TEST_P(Seek, WhilePausedShowsTheFrameAndPlaysOnFromIt) {
  Recorder recorder;
  hold_completions = true;  // nothing moves on until the first seek resets the device
  // Without sound the clock pauses itself after the first frame (from the frame callback, as
  // step mode does); with sound the device holds everything until the first seek.
  recorder.pause_at_next_frame = period == 0;
  ASSERT_NO_FATAL_FAILURE(StartRecording(recorder, false));
  if (period > 0) Player_Pause(context);
  ASSERT_TRUE(WaitFor([&] { return Player_Status(context).state == PlayerState::kPaused; }));
  // (The last frame comes at the end: once it is shown, a movie that does not loop ends.)
  const int last = frame_count - 1;
  const int before_last = std::max(last - 1, 0);
  for (int target : {last / 2, 0, last / 3, last / 3, std::min(1, before_last), before_last}) {
    SCOPED_TRACE(target);
    ASSERT_EQ(Player_Seek(context, target), kPlayerOk);
    const PlayerStatus status = Player_Status(context);
    EXPECT_EQ(status.state, PlayerState::kPaused);
    EXPECT_EQ(status.shown_frame, target);
    ASSERT_EQ(recorder.frames, std::vector<int>{target});
    EXPECT_TRUE(recorder.pictures[0] == once_pictures[static_cast<std::size_t>(target)]);
  }
  if (frame_count > 2) {
    ASSERT_EQ(Player_StepBack(context), kPlayerOk);
    EXPECT_EQ(Player_Status(context).shown_frame, last - 2);
    EXPECT_TRUE(recorder.pictures.back() == once_pictures[static_cast<std::size_t>(last - 2)]);
  }
  ASSERT_EQ(Player_Seek(context, 0), kPlayerOk);
  EXPECT_EQ(Player_StepBack(context), kPlayerReadFailed);  // nothing before frame 0

  // Play on from a seek to the middle to the end.
  const int start = last / 2;
  const std::size_t buffers_before = log->buffer_count();  // paused: none come meanwhile
  ASSERT_EQ(Player_Seek(context, start), kPlayerOk);
  Player_Restart(context);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  Player_Stop(context);
  ASSERT_EQ(recorder.pictures.size(), once_pictures.size() - static_cast<std::size_t>(start));
  for (std::size_t i = 0; i < recorder.pictures.size(); ++i)
    ASSERT_TRUE(recorder.pictures[i] == once_pictures[static_cast<std::size_t>(start) + i]) << i;
  if (period > 0) {
    const auto buffers = log->Buffers();
    std::vector<std::uint8_t> after;
    for (std::size_t i = buffers_before; i < buffers.size(); ++i)
      after.insert(after.end(), buffers[i].bytes.begin(), buffers[i].bytes.end());
    const std::vector<std::uint8_t> expected(
        once_pcm.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(start) * period),
        once_pcm.end());
    EXPECT_TRUE(after == expected)
        << after.size() << " bytes after the seek, expected " << expected.size();
  }

  // Started at the last frame: it is shown, and the movie ends.
  ASSERT_EQ(Player_Open(context, Path().c_str()), kPlayerOk);
  ASSERT_EQ(Player_Seek(context, last), kPlayerOk);
  ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
            kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  EXPECT_EQ(Player_Status(context).end, PlaybackEnd::kEndOfMovie);
  ASSERT_EQ(recorder.frames, std::vector<int>{last});
  EXPECT_TRUE(recorder.pictures[0] == once_pictures[static_cast<std::size_t>(last)]);
}

// Playing and looping: seeks at random (seeded) moments and frames; from the last one the
// pictures and the sound run on exactly as continuous playback's do from that frame, across
// the loop point, to the end of the second pass.
TEST_P(Seek, WhilePlayingAndLoopingRunsOnFromTheFrame) {
  Recorder recorder;
  recorder.keep_all = false;
  ASSERT_NO_FATAL_FAILURE(StartRecording(recorder, true));
  std::mt19937 random(77);
  int target = 0;
  for (int seek = 0; seek < 6; ++seek) {
    // Some pictures (none to two passes' worth) go by before each seek.
    const auto wait =
        static_cast<std::int64_t>(random() % (2 * static_cast<unsigned>(frame_count) + 1));
    ASSERT_TRUE(WaitFor([&] { return recorder.since_seek >= wait; }));
    target = static_cast<int>(random() % static_cast<unsigned>(frame_count));
    // The last seek also says where to stop: at the end of the second pass.
    if (seek == 5) {
      recorder.arm_next_seek_after = 2 * std::int64_t{frame_count} - target;
      recorder.arm_next_seek = true;
    }
    ASSERT_EQ(Player_Seek(context, target), kPlayerOk) << seek;
  }
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  Player_Stop(context);
  ASSERT_EQ(recorder.pictures.size(), looping_pictures.size() - static_cast<std::size_t>(target));
  for (std::size_t i = 0; i < recorder.pictures.size(); ++i)
    ASSERT_TRUE(recorder.pictures[i] == looping_pictures[static_cast<std::size_t>(target) + i])
        << i;
  if (period > 0) {
    // The sound queued since the last seek is the end of the continuous playback's.
    const std::vector<std::uint8_t> pcm = log->Pcm();
    const std::size_t tail = (31 + recorder.pictures.size()) * period;
    ASSERT_GE(pcm.size(), tail);
    EXPECT_TRUE(std::equal(pcm.end() - static_cast<std::ptrdiff_t>(tail), pcm.end(),
                           looping_pcm.end() - static_cast<std::ptrdiff_t>(tail)));
  }
}

// A seeded run of seeks (back, forth, to the frame shown or just before it, anywhere), each
// followed by a few steps on in a silent movie, looping and in both pixel formats: every picture is
// the one playback from the start shows for its frame.
TEST_P(Seek, SeededSeeksAndStepsShowThePicturesOfPlaybackFromTheStart) {
  std::mt19937 random(4711);
  for (const int depth : {16, 15}) {
    SCOPED_TRACE(depth);
    ASSERT_TRUE(Player_SetPixelFormat(context, depth));
    std::vector<Picture> expected = once_pictures;
    std::vector<std::uint8_t> pcm;
    if (depth == 16) {
      ASSERT_NO_FATAL_FAILURE(PlayContinuously(false, &expected, &pcm));
    }
    Recorder recorder;
    hold_completions = true;
    recorder.pause_at_next_frame = period == 0;
    ASSERT_NO_FATAL_FAILURE(StartRecording(recorder, true));
    if (period > 0) Player_Pause(context);
    ASSERT_TRUE(WaitFor([&] { return Player_Status(context).state == PlayerState::kPaused; }));
    int shown = 0;
    for (int seek = 0; seek < 30; ++seek) {
      const unsigned kind = random() % 4;
      const int target = kind == 0 ? shown
                         : kind == 1
                             ? std::max(shown - 1 - static_cast<int>(random() % 3), 0)
                             : static_cast<int>(random() % static_cast<unsigned>(frame_count));
      SCOPED_TRACE(target);
      ASSERT_EQ(Player_Seek(context, target), kPlayerOk);
      // Steps on (not onto the last frame, where the movie loops) where the clock is the
      // engine's: the capture device would play on through a step.
      const int steps =
          period > 0
              ? 0
              : std::max(std::min(static_cast<int>(random() % 12), frame_count - 2 - target), 0);
      for (int step = 1; step <= steps; ++step) {
        ASSERT_EQ(Player_Step(context), kPlayerOk);
        ASSERT_TRUE(WaitFor([&] {
          return recorder.since_seek == step + 1 &&
                 Player_Status(context).state == PlayerState::kPaused;
        }));
      }
      shown = target + steps;
      ASSERT_EQ(recorder.frames.size(), static_cast<std::size_t>(steps + 1));
      for (int i = 0; i <= steps; ++i) {
        ASSERT_EQ(recorder.frames[static_cast<std::size_t>(i)], target + i);
        ASSERT_TRUE(recorder.pictures[static_cast<std::size_t>(i)] ==
                    expected[static_cast<std::size_t>(target + i)])
            << "frame " << target + i;
      }
    }
    Player_Stop(context);
  }
}

INSTANTIATE_TEST_SUITE_P(Movies, Seek, ::testing::ValuesIn(kConformanceMovies),
                         ConformanceTestName);
INSTANTIATE_TEST_SUITE_P(Encoded, Seek, ::testing::Values(kFewKeyFrames), ConformanceTestName);

// Keeps every picture presented; pauses at frame 100 once `pause_at_100` is set.
struct PauseAt100 {
  PlayerContext* context = nullptr;
  std::vector<std::vector<std::uint16_t>> shown;
  std::atomic<bool> pause_at_100{false};
  std::atomic<bool> past_100{false};
  static void Picture(const PresentedPicture& presented, void* user) {
    auto& self = *static_cast<PauseAt100*>(user);
    self.shown.emplace_back(presented.picture.pixels, presented.picture.pixels + 160 * 120);
    if (presented.frame_index == 100 && self.pause_at_100) {
      Player_Pause(*self.context);
      self.past_100 = true;
    }
  }
};

// Where seeks start decoding; with PlayWholeThenToFrame100, from the pictures kept while the
// few-key-frame movie (150 frames, frame 0 its only key frame) plays.
class SeekKeyFrame : public EngineTest {
 protected:
  // Plays `movie` whole, keeping its pictures in `played`, then from the start again until
  // it pauses at frame 100.
  void PlayWholeThenToFrame100(const TempMovie& movie) {
    pauser.context = &context;
    Player_SetPresentationListener(context, &PauseAt100::Picture, &pauser);
    ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
    ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
    ASSERT_EQ(pauser.shown.size(), 150u);
    played = pauser.shown;
    pauser.pause_at_100 = true;
    ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
    ASSERT_TRUE(WaitFor([&] { return pauser.past_100.load(); }));
  }

  PauseAt100 pauser;
  std::vector<std::vector<std::uint16_t>> played;
};

// Inverts the second half of frame 0's picture data in `movie`, a file holding `bytes`.
void InvertFrameZeroPicture(std::vector<std::uint8_t> bytes, const TempMovie& movie) {
  std::int32_t length = 0;
  const std::uint8_t* picture =
      Frame_FindChunk(LoadedFrame{bytes.data() + 64 + kFrameWordSize,
                                  (bytes[64] | bytes[65] << 8u | bytes[66] << 16u) - 4u},
                      "IX", &length);
  ASSERT_NE(picture, nullptr);
  std::FILE* changed = std::fopen(movie.path(), "r+b");
  ASSERT_NE(changed, nullptr);
  const long middle = picture - bytes.data() + length / 2;
  std::vector<std::uint8_t> inverted(picture + length / 2, picture + length);
  for (std::uint8_t& byte : inverted) byte = static_cast<std::uint8_t>(~byte);
  EXPECT_EQ(std::fseek(changed, middle, SEEK_SET), 0);
  EXPECT_EQ(std::fwrite(inverted.data(), 1, inverted.size(), changed), inverted.size());
  std::fclose(changed);
}

// A key frame that copies from a part of the picture it has not built yet shows some of the
// previous picture: a seek to it (or past it) must start decoding at an earlier key frame.
TEST_F(SeekKeyFrame, ThatReadsThePreviousPictureIsNotWhereDecodingStarts) {
  MovieLayout layout = SilentMovie(5, 16, 8);
  layout.frames[3].chunks[0].payload = KeyFrameCopyingAhead(40);
  const std::vector<uint8_t>& ahead = layout.frames[3].chunks[0].payload;
  const std::vector<uint8_t>& flat = layout.frames[2].chunks[0].payload;
  auto decoder = VideoDecoder::Create(8, 16, 15);
  int result = kDecodeCorrupt;
  EXPECT_TRUE(DecodeKeyFrameAlone(*decoder, flat.data(), flat.size(), &result));
  EXPECT_EQ(result, kDecodeOk);
  EXPECT_FALSE(DecodeKeyFrameAlone(*decoder, ahead.data(), ahead.size(), &result));
  EXPECT_EQ(result, kDecodeOk);

  // Frame 3 shows frame 2's right half on its left: after a seek too, coming from frame 4.
  TempMovie movie(layout);
  std::vector<std::vector<std::uint16_t>> continuous;
  struct Keep {
    static void Picture(const PresentedPicture& presented, void* user) {
      auto& all = *static_cast<std::vector<std::vector<std::uint16_t>>*>(user);
      all.emplace_back(presented.picture.pixels, presented.picture.pixels + 16 * 8);
    }
  };
  Player_SetPresentationListener(context, &Keep::Picture, &continuous);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  ASSERT_EQ(continuous.size(), 5u);
  EXPECT_NE(continuous[3], continuous[4]);
  std::vector<std::vector<std::uint16_t>> sought;
  Player_SetPresentationListener(context, &Keep::Picture, &sought);
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  Player_Pause(context);
  ASSERT_EQ(Player_Seek(context, 4), kPlayerOk);
  ASSERT_EQ(Player_Seek(context, 3), kPlayerOk);
  Player_Stop(context);
  ASSERT_GE(sought.size(), 2u);
  EXPECT_EQ(sought[sought.size() - 2], continuous[4]);
  EXPECT_EQ(sought.back(), continuous[3]);
}

// A seek further on in the run of frames from the picture shown decodes on from that picture,
// as playback would, not from the key frame again: with frame 0 changed on the disk after a seek
// to frame 2, a seek to frame 4, and one to it again, still show continuous playback's picture.
TEST_F(SeekKeyFrame, FurtherOnDecodesOnFromThePictureShown) {
  std::ifstream file(std::string(TARVEL_CONFORMANCE_DIR) + "/mixed-1024x64.kqm", std::ios::binary);
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  ASSERT_GT(bytes.size(), 64u);
  TempMovie movie(bytes);  // five frames, the first the only key frame
  std::vector<std::vector<std::uint16_t>> shown;
  struct Keep {
    static void Picture(const PresentedPicture& presented, void* user) {
      static_cast<std::vector<std::vector<std::uint16_t>>*>(user)->emplace_back(
          presented.picture.pixels, presented.picture.pixels + 1024 * 64);
    }
  };
  Player_SetPresentationListener(context, &Keep::Picture, &shown);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  ASSERT_EQ(shown.size(), 5u);
  const std::vector<std::uint16_t> continuous_4 = shown[4];
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  Player_Pause(context);
  ASSERT_EQ(Player_Seek(context, 2), kPlayerOk);
  ASSERT_NO_FATAL_FAILURE(InvertFrameZeroPicture(bytes, movie));
  ASSERT_EQ(Player_Seek(context, 4), kPlayerOk);
  EXPECT_TRUE(shown.back() == continuous_4);
  // The same frame again: its picture is the one there.
  ASSERT_EQ(Player_Seek(context, 4), kPlayerOk);
  EXPECT_TRUE(shown.back() == continuous_4);
  Player_Stop(context);
}

// Played from the start, the pictures on the way are kept as a seek's are: with frame 0 changed
// on the disk once the movie has played past frame 100, a seek back to frame 90 (which decodes on
// from frame 88's picture) still shows continuous playback's picture.
TEST_F(SeekKeyFrame, PlayedFromTheStartASeekBackDecodesOnFromAPictureKept) {
  const std::vector<std::uint8_t>& bytes = FewKeyFrameMovie();
  ASSERT_FALSE(bytes.empty());
  TempMovie movie(bytes);
  ASSERT_NO_FATAL_FAILURE(PlayWholeThenToFrame100(movie));
  ASSERT_NO_FATAL_FAILURE(InvertFrameZeroPicture(bytes, movie));
  ASSERT_EQ(Player_Seek(context, 90), kPlayerOk);
  Player_Stop(context);
  EXPECT_TRUE(pauser.shown.back() == played[90]);
}

// A movie whose header counts far more frames than it holds (65,535 for 150, as a copy cut short
// while it was written leaves) keeps its pictures spaced over the 150 once the index has found
// them, not 256 frames apart over the header's count: sought on from frame 100 to 140, then back
// to 130, it decodes on from frame 128's picture, not from frame 0 (changed on the disk).
TEST_F(SeekKeyFrame, HeaderCountingFramesNotThereKeepsPicturesOverThoseThere) {
  std::vector<std::uint8_t> bytes = FewKeyFrameMovie();
  ASSERT_FALSE(bytes.empty());
  bytes[16] = bytes[17] = 0xFF;
  TempMovie movie(bytes);
  ASSERT_NO_FATAL_FAILURE(PlayWholeThenToFrame100(movie));
  ASSERT_EQ(Player_PlayableFrames(context), 150);
  ASSERT_EQ(Player_Seek(context, 140), kPlayerOk);
  ASSERT_NO_FATAL_FAILURE(InvertFrameZeroPicture(bytes, movie));
  ASSERT_EQ(Player_Seek(context, 130), kPlayerOk);
  Player_Stop(context);
  EXPECT_TRUE(pauser.shown.back() == played[130]);
}

// A seek its caller gives up (a stop signal) ends before the next frame it would decode, and
// playback with it, as a stop by the caller: a start at frame 140 of the movie whose only key
// frame is frame 0, given up at the 10th frame of its 141; the next start there plays.
TEST_F(SeekKeyFrame, GivenUpByTheCallerStopsPlayback) {
  TempMovie movie(FewKeyFrameMovie());
  struct GiveUp {
    int asked = 0;
    std::atomic<int> first_shown{-1};
    static bool AtTenth(void* user) { return ++static_cast<GiveUp*>(user)->asked == 10; }
    static void Picture(const PresentedPicture& presented, void* user) {
      int none = -1;
      static_cast<GiveUp*>(user)->first_shown.compare_exchange_strong(none, presented.frame_index);
    }
  } give_up;
  Player_SetPresentationListener(context, &GiveUp::Picture, &give_up);
  Player_SetLoop(context, 1);
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  // Asked from here on: a wait for the index asks it too.
  ASSERT_EQ(Player_PlayableFrames(context), 150);
  context.services.abandon_seek = &GiveUp::AtTenth;
  context.services.abandon_seek_user = &give_up;
  ASSERT_EQ(Player_Seek(context, 140), kPlayerOk);
  surface.assign(std::size_t{context.width} * context.height, 0);
  EXPECT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
            kPlayerReadFailed);
  EXPECT_EQ(give_up.asked, 10);
  const PlayerStatus stopped = Player_Status(context);
  EXPECT_EQ(stopped.state, PlayerState::kIdle);
  EXPECT_EQ(stopped.end, PlaybackEnd::kUserStop);
  EXPECT_EQ(give_up.first_shown, -1);

  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  ASSERT_EQ(Player_Seek(context, 140), kPlayerOk);
  EXPECT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
            kPlayerOk);
  Player_Stop(context);
  EXPECT_EQ(give_up.first_shown, 140);
}

using SeekCut = EngineTest;

// Where frame `frame` of `movie` begins (its word), from the frame words before it.
std::size_t FrameOffset(const std::vector<uint8_t>& movie, int frame) {
  std::size_t offset = 64;
  for (int i = 0; i < frame; ++i) offset += movie[offset] | (movie[offset + 1] << 8);
  return offset;
}

// A seek waiting for the frame index to reach its frame (a slow disk) is given up as well, the
// index held empty throughout: before start the seek fails, and while playing it stops playback
// as a stop by the caller.
TEST_F(SeekCut, GivenUpWhileTheIndexIsBehind) {
  TempMovie movie(SoundMovie(50));
  std::atomic<bool> held{true};
  context.services.index_held = &held;
  struct GiveUp {
    std::atomic<bool> now{false};
    static bool Asked(void* user) { return static_cast<GiveUp*>(user)->now; }
  } give_up;
  context.services.abandon_seek = &GiveUp::Asked;
  context.services.abandon_seek_user = &give_up;
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  give_up.now = true;
  EXPECT_EQ(Player_Seek(context, 40), kPlayerReadFailed);
  const PlayerStatus stopped = Player_Status(context);
  EXPECT_EQ(stopped.state, PlayerState::kIdle);
  EXPECT_EQ(stopped.end, PlaybackEnd::kUserStop);
  EXPECT_EQ(stopped.frames_indexed, 0);

  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  EXPECT_EQ(Player_Seek(context, 40), kPlayerReadFailed);
  EXPECT_EQ(Player_Status(context).frames_indexed, 0);
  held = false;
  give_up.now = false;
  EXPECT_EQ(Player_Seek(context, 40), kPlayerOk);
}

TEST_F(SeekCut, SeeksOnlyWhereTheMovieCanBeRead) {
  const std::vector<uint8_t> whole = SoundMovie(50).Bytes();
  std::size_t frame_40 = 64;
  for (int i = 0; i < 40; ++i) frame_40 += whole[frame_40] | (whole[frame_40 + 1] << 8);
  TempMovie movie(std::vector<uint8_t>(whole.begin(), whole.begin() + frame_40 + 5));
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  EXPECT_EQ(Player_Seek(context, 40), kPlayerReadFailed);
  EXPECT_EQ(Player_Seek(context, 50), kPlayerReadFailed);
  ASSERT_EQ(Player_Seek(context, 39), kPlayerOk);
  const PlayerStatus status = Player_Status(context);
  EXPECT_EQ(status.frames_indexed, 40);
  EXPECT_TRUE(status.index_complete);
  // Started there, it presents the last intact frame and stops at the cut.
  std::atomic<int> presented{0};
  Player_SetPresentationListener(
      context,
      [](const PresentedPicture&, void* user) {
        static_cast<std::atomic<int>*>(user)->fetch_add(1);
      },
      &presented);
  surface.assign(std::size_t{context.width} * context.height, 0);
  ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
            kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  EXPECT_EQ(presented, 1);
  EXPECT_EQ(Player_Status(context).end, PlaybackEnd::kReaderFailed);
  EXPECT_EQ(Player_Status(context).end_frame, 40);
}

// A movie still being written (a download) seeks to the frames it has gained since the index
// met its end: opened with 6 of its 12 frames there, then the rest appended, frame 9 can be
// sought and played from.
TEST_F(SeekCut, GrownSinceIndexedSeeksToTheFramesAppended) {
  const std::vector<uint8_t> whole = SilentMovie(12).Bytes();
  const std::size_t frame_6 = FrameOffset(whole, 6);
  TempMovie movie(std::vector<uint8_t>(whole.begin(), whole.begin() + frame_6));
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  ASSERT_EQ(Player_PlayableFrames(context), 6);
  std::FILE* file = std::fopen(movie.path(), "ab");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fwrite(whole.data() + frame_6, 1, whole.size() - frame_6, file),
            whole.size() - frame_6);
  std::fclose(file);
  ASSERT_EQ(Player_Seek(context, 9), kPlayerOk);
  std::vector<std::int32_t> shown;
  Player_SetPresentationListener(
      context,
      [](const PresentedPicture& presented, void* user) {
        static_cast<std::vector<std::int32_t>*>(user)->push_back(presented.frame_index);
      },
      &shown);
  surface.assign(std::size_t{context.width} * context.height, 0);
  ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
            kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  EXPECT_EQ(shown, (std::vector<std::int32_t>{9, 10, 11}));
  EXPECT_EQ(Player_Status(context).end, PlaybackEnd::kEndOfMovie);
}

// Another movie renamed over the name of one cut short (a new download put in its place) is not
// taken for the open one grown: a seek past the cut is refused, and the frames indexed stay.
TEST_F(SeekCut, RenamedOverIsNotTakenForGrown) {
  const std::vector<uint8_t> whole = SilentMovie(12).Bytes();
  const std::size_t frame_6 = FrameOffset(whole, 6);
  TempMovie movie(std::vector<uint8_t>(whole.begin(), whole.begin() + frame_6));
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  ASSERT_EQ(Player_PlayableFrames(context), 6);
  TempMovie other(whole);
  ASSERT_EQ(std::rename(other.path(), movie.path()), 0);
  EXPECT_EQ(Player_Seek(context, 9), kPlayerReadFailed);
  EXPECT_EQ(Player_Seek(context, 4), kPlayerOk);
}

// An index that cannot open the movie a second time (removed since it was opened, or too many
// files open for a moment) says so, not that the movie has no frames; the next seek tries again.
TEST_F(SeekCut, IndexThatCannotOpenTheMovieSaysSo) {
  const std::vector<uint8_t> bytes = SilentMovie(4).Bytes();
  TempMovie movie(bytes);
  std::atomic<bool> held{true};
  context.services.index_held = &held;
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  ASSERT_EQ(std::remove(movie.path()), 0);
  held = false;
  EXPECT_EQ(Player_Seek(context, 1), kPlayerReadFailed);
  EXPECT_EQ(Player_UnplayableText(context),
            "the movie could not be opened again to find its frames: no such file");
  std::ofstream(movie.path(), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(Player_Seek(context, 1), kPlayerOk);
  EXPECT_EQ(Player_UnplayableText(context), "the movie has 4 frames that can be played");
}

// An index that stopped where its disk failed, or without memory for it, says why, not that
// the movie has the frames it found before (0 here); the next seek builds it again. (The index
// is made to end so at frame 0 once its thread has been stopped.)
TEST_F(SeekCut, IndexThatCouldNotReadOrFindMemorySaysWhy) {
  TempMovie movie(SilentMovie(4).Bytes());
  std::atomic<bool> held{true};
  context.services.index_held = &held;
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  held = false;
  for (const IndexEnd end : {IndexEnd::kReadError, IndexEnd::kOutOfMemory}) {
    Index_Stop(context);
    ASSERT_TRUE(context.movie_index.Reset(context.frame_count));  // met at frame 0
    context.movie_index.Finish(end);
    EXPECT_EQ(Player_UnplayableText(context),
              end == IndexEnd::kOutOfMemory
                  ? "not enough memory to index the movie's frames"
                  : "frame 0: the file cannot be read there (an input/output error of its disk "
                    "or network)");
    EXPECT_EQ(Player_Seek(context, 3), kPlayerOk);
    EXPECT_EQ(Player_UnplayableText(context), "the movie has 4 frames that can be played");
  }
}

// A movie in a package whose disk fails every read from frame 6 on (a bad sector): the index
// stops there, and a seek past it is refused without reading the movie again. Each such seek
// built the index again from frame 0, to meet the same failing read (seconds on a real disk).
TEST_F(SeekCut, ReadFailureTheIndexMetIsNotReadAgainBySeeks) {
  struct FailingDisk {
    std::vector<std::uint8_t> bytes;
    std::size_t position = 0;
    std::atomic<std::size_t> fail_from{SIZE_MAX};
    std::atomic<int> reads{0};
  } disk;
  const std::vector<std::uint8_t> movie = SilentMovie(12).Bytes();
  disk.bytes = tarvel::testing::MakeTar({{"m.kqm", std::string(movie.begin(), movie.end())}});
  cookie_io_functions_t io{};
  io.read = [](void* self, char* out, std::size_t size) -> ssize_t {
    auto& d = *static_cast<FailingDisk*>(self);
    ++d.reads;
    if (d.position >= d.fail_from) {
      errno = EIO;
      return -1;
    }
    const std::size_t n = std::min(size, std::min<std::size_t>(d.fail_from, d.bytes.size()) -
                                             std::min(d.position, d.bytes.size()));
    std::memcpy(out, d.bytes.data() + d.position, n);
    d.position += n;
    return static_cast<ssize_t>(n);
  };
  io.seek = [](void* self, off64_t* offset, int whence) {
    auto& d = *static_cast<FailingDisk*>(self);
    d.position =
        static_cast<std::size_t>((whence == SEEK_SET   ? 0
                                  : whence == SEEK_CUR ? static_cast<off64_t>(d.position)
                                                       : static_cast<off64_t>(d.bytes.size())) +
                                 *offset);
    *offset = static_cast<off64_t>(d.position);
    return 0;
  };
  std::FILE* stream = fopencookie(&disk, "rb", io);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(std::setvbuf(stream, nullptr, _IONBF, 0), 0);
  TarPackage package;
  std::string error;
  ASSERT_TRUE(package.LoadStream(stream, disk.bytes.size(), &error)) << error;
  disk.fail_from = 512 + FrameOffset(movie, 6);  // the member's data follows its header block
  context.source.source_kind = kSourceStorage;
  context.source.storage = &package.storage();
  ASSERT_EQ(Player_Open(context, "m.kqm"), kPlayerOk);
  ASSERT_EQ(Player_PlayableFrames(context), 6);
  const int reads = disk.reads;
  EXPECT_EQ(Player_Seek(context, 9), kPlayerReadFailed);
  EXPECT_EQ(Player_Seek(context, 10), kPlayerReadFailed);
  EXPECT_EQ(disk.reads, reads);
  EXPECT_EQ(Player_UnplayableText(context),
            "frame 6: the file cannot be read there (an input/output error of its disk or "
            "network)");
  EXPECT_EQ(Player_Seek(context, 3), kPlayerOk);
  Player_Stop(context);  // before the package goes
}

// A seek whose frames the disk fails to deliver, though the index read them, ends playback
// saying so, not that the file ends inside a frame.
TEST_F(SeekCut, ReadErrorDuringTheSeekIsSaidToBeOne) {
  TempMovie movie(SoundMovie(6));
  hold_completions = true;
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_EQ(Player_PlayableFrames(context), 6);
  // Every frame loaded, the reader reads no more: its source can be swapped.
  ASSERT_TRUE(WaitFor([&] { return context.frames_loaded == 6; }));
  Player_Pause(context);
  // A folder's stream stands for a failing disk: every read of it fails (EISDIR).
  std::fclose(context.source.movie_file);
  context.source.movie_file = std::fopen(::testing::TempDir().c_str(), "rb");
  ASSERT_NE(context.source.movie_file, nullptr);
  EXPECT_EQ(Player_Seek(context, 4), kPlayerReadFailed);
  const PlayerStatus status = Player_Status(context);
  EXPECT_EQ(status.state, PlayerState::kIdle);
  EXPECT_EQ(status.end, PlaybackEnd::kReaderFailed);
  EXPECT_EQ(std::string(status.problem),
            "frame 0: the file cannot be read there (an input/output error of its disk or "
            "network)");
  // The next playback is not held down by the seek that failed.
  hold_completions = false;
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  EXPECT_EQ(Player_Status(context).end, PlaybackEnd::kEndOfMovie);
}

// A movie rewritten in place since it was indexed (another one copied over it, whose frame 3
// is 12 bytes shorter) is not read where its frames were as if they still were: the seek ends
// playback at the first frame that is no longer there, saying so.
TEST_F(SeekCut, RewrittenSinceIndexedIsSaidToHaveChanged) {
  MovieLayout indexed = SoundMovie(6);
  indexed.frames[3].chunks.push_back({"XX", std::vector<uint8_t>(4, 0)});
  TempMovie movie(indexed);
  hold_completions = true;
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_EQ(Player_PlayableFrames(context), 6);
  ASSERT_TRUE(WaitFor([&] { return context.frames_loaded == 6; }));
  Player_Pause(context);
  const std::vector<uint8_t> other = SoundMovie(6).Bytes();
  std::FILE* file = std::fopen(movie.path(), "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fwrite(other.data(), 1, other.size(), file), other.size());
  std::fclose(file);
  // Every frame loaded, the reader reads no more: its stream is opened again, so that what it
  // buffered of the old movie (all of so small a file) is not read instead.
  std::fclose(context.source.movie_file);
  context.source.movie_file = std::fopen(movie.path(), "rb");
  ASSERT_NE(context.source.movie_file, nullptr);
  EXPECT_EQ(Player_Seek(context, 4), kPlayerReadFailed);
  const PlayerStatus status = Player_Status(context);
  EXPECT_EQ(status.end, PlaybackEnd::kReaderFailed);
  EXPECT_EQ(std::string(status.problem),
            "frame 3: the file has changed since it was opened (the frame is no longer where it "
            "was)");
}

// Sought while paused to the last frame before a cut, a movie with sound stays paused there
// (its new reader has already met the cut); playing on ends playback at the cut.
TEST_F(SeekCut, PausedOnTheLastFrameBeforeTheCutStaysUntilPlayingOn) {
  const std::vector<uint8_t> whole = SoundMovie(12).Bytes();
  const std::size_t frame_8 = FrameOffset(whole, 8);
  TempMovie movie(std::vector<uint8_t>(whole.begin(), whole.begin() + frame_8 + 5));
  // The device holds its buffers until the end, so that the movie cannot reach the cut first.
  hold_completions = true;
  ASSERT_EQ(OpenAndStart(movie, 2), kPlayerOk);
  Player_Pause(context);
  ASSERT_EQ(Player_Seek(context, 7), kPlayerOk);
  EXPECT_FALSE(Player_WaitForEnd(context, std::chrono::milliseconds(0)));
  EXPECT_EQ(Player_Status(context).state, PlayerState::kPaused);
  Player_Restart(context);
  gate->OpenGate();
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(20)));
  EXPECT_EQ(Player_Status(context).end, PlaybackEnd::kReaderFailed);
  EXPECT_EQ(Player_Status(context).end_frame, 8);
}

}  // namespace
}  // namespace tarvel::test
