// The disk reader and the frame ring: look-ahead, looping, the end of a movie and bad frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "engine_fixture.h"
#include "platform/semaphore.h"

namespace tarvel::test {
namespace {

using Reader = EngineTest;

TEST_F(Reader, ShortLoopingMovieIsReadOnceAndPlayedOverAndOver) {
  TempMovie movie(SilentMovie(3));
  FrameLog frames;
  frames.context = &context;
  frames.surface = &surface;
  Player_SetFrameCallback(context, &FrameLog::Callback, &frames);
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  EXPECT_EQ(context.ring_size, 3);
  ASSERT_TRUE(WaitFor([this] { return context.loop_count >= 4; }));
  Player_Stop(context);
  EXPECT_EQ(context.frames_loaded, 3);
  ASSERT_GE(frames.next_frames.size(), 12u);
  // Frames 0, 1, 2 over and over: after each, the next one to present.
  for (std::size_t i = 0; i < 12; ++i)
    EXPECT_EQ(frames.next_frames[i], static_cast<std::int32_t>((i + 1) % 3)) << i;
  // Each pass shows the same three pictures, and they differ from one another.
  EXPECT_NE(frames.first_pixels[0], frames.first_pixels[1]);
  EXPECT_NE(frames.first_pixels[1], frames.first_pixels[2]);
  for (std::size_t i = 3; i < 12; ++i)
    EXPECT_EQ(frames.first_pixels[i], frames.first_pixels[i % 3]);
  EXPECT_FALSE(frames.duplicate_index_seen);
}

TEST_F(Reader, SmallRingRereadsFrameZeroFromTheStart) {
  TempMovie movie(SilentMovie(5));
  FrameLog frames;
  frames.context = &context;
  frames.surface = &surface;
  Player_SetFrameCallback(context, &FrameLog::Callback, &frames);
  Player_SetLoop(context, 1);
  ASSERT_EQ(OpenAndStart(movie, 2), kPlayerOk);
  EXPECT_EQ(context.ring_size, 2);
  ASSERT_TRUE(WaitFor([this] { return context.loop_count >= 3; }));
  Player_Stop(context);
  EXPECT_GT(context.frames_loaded, 5);  // frames were read again after a seek to frame 0
  EXPECT_FALSE(frames.duplicate_index_seen);
  ASSERT_GE(frames.first_pixels.size(), 15u);
  for (std::size_t i = 5; i < 15; ++i)
    EXPECT_EQ(frames.first_pixels[i], frames.first_pixels[i % 5]);
}

TEST_F(Reader, MovieWithoutLoopingEndsByItself) {
  TempMovie movie(SoundMovie(6));
  FrameLog frames;
  frames.context = &context;
  frames.surface = &surface;
  Player_SetFrameCallback(context, &FrameLog::Callback, &frames);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(context.current_frame, 6);
  EXPECT_EQ(context.reader_exit_code, 0u);
  // The reader stopped playback on its own thread; its thread is collected by the next open.
  TempMovie next(SilentMovie(2));
  EXPECT_EQ(Player_Open(context, next.path()), kPlayerOk);
  EXPECT_FALSE(context.disk_thread.exists());
  Player_Stop(context);
  // The priming step presents frame 0 without a callback; frames 1 to 5 have one each.
  EXPECT_EQ(frames.calls, 5);
  // 32 periods from frame 0, one from each later frame.
  EXPECT_EQ(log->buffer_count(), 32u + 5u);
}

// Counts the pictures the engine presents.
void CountPicture(const PresentedPicture&, void* user) {
  static_cast<std::atomic<int>*>(user)->fetch_add(1);
}

TEST_F(Reader, CutFilePresentsEveryIntactFrameThenStops) {
  // Cut in the middle of frame 10, right after frame 9 (frame 10's word missing), and a frame 10
  // whose word gives 2 bytes, with and without sound, for rings smaller and larger than the
  // intact part. Each is said as kqm export and info say it.
  for (bool with_sound : {false, true}) {
    const std::vector<uint8_t> whole = (with_sound ? SoundMovie(30) : SilentMovie(30)).Bytes();
    std::size_t frame_10 = 64;
    for (int i = 0; i < 10; ++i) frame_10 += whole[frame_10] | (whole[frame_10 + 1] << 8);
    std::vector<uint8_t> bad_size = whole;
    bad_size[frame_10] = 2;
    bad_size[frame_10 + 1] = 0;
    bad_size[frame_10 + 2] = 0;
    const std::pair<std::vector<uint8_t>, const char*> movies[] = {
        {{whole.begin(), whole.begin() + frame_10 + 6}, "frame 10: the file ends inside the frame"},
        {{whole.begin(), whole.begin() + frame_10}, "the movie data ends after 10 of 30 frames"},
        {bad_size, "frame 10: the frame word gives a size smaller than the word itself"}};
    for (const auto& [bytes, problem] : movies) {
      TempMovie movie(bytes);
      for (int ring : {1, 4, 10, 16, 64}) {
        SCOPED_TRACE(testing::Message()
                     << "sound " << with_sound << " " << problem << " ring " << ring);
        std::atomic<int> presented{0};
        Player_SetPresentationListener(context, &CountPicture, &presented);
        Player_SetLoop(context, 0);
        ASSERT_EQ(OpenAndStart(movie, ring), kPlayerOk);
        ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
        const PlayerStatus status = Player_Status(context);
        EXPECT_EQ(presented, 10);
        EXPECT_EQ(status.end, PlaybackEnd::kReaderFailed);
        EXPECT_EQ(status.end_code, kPlayerReadFailed);
        EXPECT_EQ(status.end_frame, 10);
        EXPECT_EQ(std::string(status.problem), problem);
        Player_Stop(context);
      }
    }
  }
}

TEST_F(Reader, PausedOnTheLastFrameBeforeACutStaysPausedUntilPlaybackGoesOn) {
  // Cut inside frame 4: paused as frame 3 comes, the engine stays paused on it; a step on
  // meets the cut and ends playback with it said.
  const std::vector<uint8_t> whole = SilentMovie(8).Bytes();
  std::size_t frame_4 = 64;
  for (int i = 0; i < 4; ++i) frame_4 += whole[frame_4] | (whole[frame_4 + 1] << 8);
  TempMovie movie(std::vector<uint8_t>(whole.begin(), whole.begin() + frame_4 + 6));
  struct PauseAt {
    PlayerContext* context;
    std::atomic<int> presented{0};
    static void Presented(const PresentedPicture& presented, void* user) {
      auto& self = *static_cast<PauseAt*>(user);
      if (presented.frame_index == 3) Player_Pause(*self.context);
      self.presented.fetch_add(1);
    }
  } pause_at{&context};
  Player_SetPresentationListener(context, &PauseAt::Presented, &pause_at);
  ASSERT_EQ(OpenAndStart(movie, 2), kPlayerOk);
  ASSERT_TRUE(WaitFor([&] { return pause_at.presented == 4 || !context.playing; }));
  PlayerStatus status = Player_Status(context);
  EXPECT_EQ(status.state, PlayerState::kPaused);
  EXPECT_EQ(status.shown_frame, 3);
  EXPECT_EQ(status.end, PlaybackEnd::kNone);
  ASSERT_EQ(Player_Step(context), kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  status = Player_Status(context);
  EXPECT_EQ(pause_at.presented, 4);
  EXPECT_EQ(status.end, PlaybackEnd::kReaderFailed);
  EXPECT_EQ(status.end_frame, 4);
  EXPECT_EQ(std::string(status.problem), "frame 4: the file ends inside the frame");
}

TEST_F(Reader, FileThatGrewSinceItWasOpenedPlaysToItsEnd) {
  // A download still being written: cut in frame 10 when opened, whole when played.
  const std::vector<uint8_t> whole = SoundMovie(30).Bytes();
  std::size_t cut = 64;
  for (int i = 0; i < 10; ++i) cut += whole[cut] | (whole[cut + 1] << 8);
  cut += 6;
  TempMovie movie(std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
  std::atomic<int> presented{0};
  Player_SetPresentationListener(context, &CountPicture, &presented);
  Player_SetLoop(context, 0);
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  std::FILE* file = std::fopen(movie.path(), "ab");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fwrite(whole.data() + cut, 1, whole.size() - cut, file), whole.size() - cut);
  std::fclose(file);
  surface.assign(std::size_t{context.width} * context.height, 0);
  ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, 4), kPlayerOk);
  ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
  EXPECT_EQ(presented, 30);
  EXPECT_EQ(Player_Status(context).end, PlaybackEnd::kEndOfMovie);
  Player_Stop(context);
}

TEST_F(Reader, FrameTheFileSystemFailsToDeliverIsSaidToBeUnreadable) {
  TempMovie movie(SilentMovie(3));
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  // A folder's stream stands for a failing disk: every read of it fails (EISDIR).
  std::fclose(context.source.movie_file);
  context.source.movie_file = std::fopen(testing::TempDir().c_str(), "rb");
  ASSERT_NE(context.source.movie_file, nullptr);
  surface.assign(std::size_t{context.width} * context.height, 0);
  EXPECT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, 4), kPlayerReadFailed);
  const PlayerStatus status = Player_Status(context);
  EXPECT_EQ(status.end, PlaybackEnd::kReaderFailed);
  EXPECT_EQ(std::string(status.problem),
            "frame 0: the file cannot be read there (an input/output error of its disk or "
            "network)");
}

TEST_F(Reader, ImpossibleFrameSizesEndLoadingWithoutReading) {
  struct Case {
    uint32_t word;
    bool loop;
    std::int32_t expected;
    const char* problem;
  };
  // Sizes 1 to 3 are smaller than the frame word; 0 ends the data when not looping and is
  // unusable when looping, and is said to end it either way, as kqm export and info say; a size
  // beyond the end of the file is refused before allocation.
  const char* const small = "frame 2: the frame word gives a size smaller than the word itself";
  const char* const ends = "the movie data ends after 2 of 4 frames";
  for (const Case& c :
       {Case{1, false, kPlayerReadFailed, small}, Case{3, true, kPlayerReadFailed, small},
        Case{0, false, kPlayerEndOfData, ends}, Case{0, true, kPlayerReadFailed, ends},
        Case{0x00FFFFFF, false, kPlayerReadFailed, "frame 2: the file ends inside the frame"},
        Case{0xFF000002, false, kPlayerReadFailed, small}}) {
    MovieLayout entry = SilentMovie(4);
    entry.frames[2].custom_word = true;
    entry.frames[2].word = c.word;
    TempMovie movie(entry);
    Player_SetLoop(context, c.loop ? 1 : 0);
    ASSERT_EQ(OpenAndStart(movie), kPlayerOk) << c.word;
    ASSERT_TRUE(WaitUntilIdle()) << c.word;
    EXPECT_EQ(context.reader_exit_code, static_cast<std::uint32_t>(c.expected)) << c.word;
    EXPECT_EQ(std::string(Player_Status(context).problem), c.problem) << c.word;
    EXPECT_LE(context.frames_loaded, 2);
  }
}

TEST_F(Reader, TopByteOfTheFrameWordIsIgnored) {
  MovieLayout entry = SilentMovie(3);
  const auto bytes = entry.Bytes();
  const uint32_t size = bytes[64] | (bytes[65] << 8);
  entry.frames[0].custom_word = true;
  entry.frames[0].word = 0x03000000u | size;
  TempMovie movie(entry);
  ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(context.reader_exit_code, 0u);
  EXPECT_EQ(context.current_frame, 3);
}

TEST_F(Reader, StopWakesAReaderWaitingForAFreeSlot) {
  // A paused movie with a full ring: the reader is blocked on the semaphore.
  TempMovie movie(SoundMovie(40));
  ASSERT_EQ(OpenAndStart(movie, 4), kPlayerOk);
  Player_Pause(context);
  ASSERT_TRUE(WaitFor([this] { return context.frames_loaded >= 4; }));
  Player_Stop(context);
  EXPECT_FALSE(context.disk_thread.exists());
  EXPECT_FALSE(context.movie_open);
}

// A stream over a movie's bytes whose reads past `limit` wait for `gate`: a network share that
// stops answering there.
struct StallingStream {
  std::vector<std::uint8_t> bytes;
  std::size_t limit = 0;
  std::size_t position = 0;
  std::atomic<bool> waiting{false};
  Semaphore gate{0, 1};

  std::FILE* Open() {
    cookie_io_functions_t io{};
    io.read = [](void* self, char* out, std::size_t size) -> ssize_t {
      auto& s = *static_cast<StallingStream*>(self);
      if (s.position >= s.limit) {
        s.waiting = true;
        s.gate.Acquire();
        s.gate.Release();
      }
      const std::size_t end = s.position < s.limit ? s.limit : s.bytes.size();
      const std::size_t n = std::min(size, end - std::min(end, s.position));
      std::memcpy(out, s.bytes.data() + s.position, n);
      s.position += n;
      return static_cast<ssize_t>(n);
    };
    io.seek = [](void* self, off64_t* offset, int whence) {
      auto& s = *static_cast<StallingStream*>(self);
      const off64_t base = whence == SEEK_SET   ? 0
                           : whence == SEEK_CUR ? static_cast<off64_t>(s.position)
                                                : static_cast<off64_t>(s.bytes.size());
      s.position = static_cast<std::size_t>(base + *offset);
      *offset = static_cast<off64_t>(s.position);
      return 0;
    };
    return fopencookie(this, "rb", io);
  }
};

TEST_F(Reader, StopBoundedForExitLeavesAReaderInAReadThatNeverEnds) {
  const MovieLayout layout = SilentMovie(40);
  TempMovie movie(layout);
  ASSERT_EQ(Player_Open(context, movie.path()), kPlayerOk);
  // Frame 0 comes; the read of frame 1 waits.
  StallingStream stream;
  stream.bytes = layout.Bytes();
  stream.limit = 64 + (stream.bytes[64] | (stream.bytes[65] << 8) | (stream.bytes[66] << 16));
  stream.position = 64;
  std::fclose(context.source.movie_file);
  context.source.movie_file = stream.Open();
  ASSERT_NE(context.source.movie_file, nullptr);
  surface.assign(std::size_t{context.width} * context.height, 0);
  ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, 4), kPlayerOk);
  ASSERT_TRUE(WaitFor([&stream] { return stream.waiting.load(); }));

  context.services.reader_wait_ms = 0;
  Player_Stop(context);
  EXPECT_TRUE(Player_ReadersLeft(context));
  EXPECT_EQ(Player_Status(context).state, PlayerState::kOpen);
  EXPECT_EQ(Player_Status(context).end, PlaybackEnd::kUserStop);

  // The share answers again: the next stop finishes.
  stream.gate.Release();
  context.services.reader_wait_ms = -1;
  Player_Stop(context);
  EXPECT_FALSE(Player_ReadersLeft(context));
  EXPECT_FALSE(context.movie_open);
  EXPECT_FALSE(context.disk_thread.exists());
}

}  // namespace
}  // namespace tarvel::test
