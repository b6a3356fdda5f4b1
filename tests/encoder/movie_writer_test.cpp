// The movie writer: header bytes, frame words, chunk sizes and pad counts, and the sound laid
// out across the frames, read back with the container's own reader.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "encoder/movie_writer.h"

namespace tarvel {
namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return ReadLe32(p);
}

MovieLayout SilentLayout() {
  MovieLayout layout;
  layout.width = 16;
  layout.height = 8;
  layout.frame_duration = 10;  // 20 frames per second
  return layout;
}

TEST(MovieWriter, HeaderHoldsIdentificationSizesCountAndDurationAndZerosElsewhere) {
  std::vector<std::uint8_t> movie;
  MovieWriter writer;
  ASSERT_TRUE(MovieWriter_OpenMemory(writer, &movie, SilentLayout()));
  const std::uint8_t video[5] = {1, 2, 3, 4, 5};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(MovieWriter_WriteFrame(writer, video, 5, nullptr, 0));
  ASSERT_TRUE(MovieWriter_Finish(writer));
  ASSERT_GE(movie.size(), 64u);
  const std::uint8_t expected_id[6] = {'K', 'Q', 'M', '6', 0, 0};
  EXPECT_EQ(0, std::memcmp(movie.data(), expected_id, 6));
  EXPECT_EQ(0, movie[6]);                      // no sound
  EXPECT_EQ(16, ReadLe16(movie.data() + 8));   // width
  EXPECT_EQ(8, ReadLe16(movie.data() + 10));   // height
  EXPECT_EQ(3, ReadLe16(movie.data() + 16));   // frames
  EXPECT_EQ(10, ReadLe16(movie.data() + 24));  // duration
  for (int i : {7, 12, 13, 14, 15, 18, 19, 20, 21, 22, 23}) EXPECT_EQ(0, movie[i]) << i;
  for (int i = 26; i < 64; ++i) EXPECT_EQ(0, movie[i]) << i;
}

TEST(MovieWriter, FramesAndChunksAddUpWithPadCounts) {
  std::vector<std::uint8_t> movie;
  MovieWriter writer;
  ASSERT_TRUE(MovieWriter_OpenMemory(writer, &movie, SilentLayout()));
  // Payloads of 5 and 8 bytes: chunk sizes 13 (3 bytes of padding) and 16 (none).
  const std::uint8_t video[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  ASSERT_TRUE(MovieWriter_WriteFrame(writer, video, 5, nullptr, 0));
  ASSERT_TRUE(MovieWriter_WriteFrame(writer, video, 8, nullptr, 0));
  ASSERT_TRUE(MovieWriter_Finish(writer));
  // Frame 0: word (4) + chunk rounded to 16 = 20 bytes; frame 1: 4 + 16 = 20.
  ASSERT_EQ(64u + 20 + 20, movie.size());
  const std::uint8_t* f0 = movie.data() + 64;
  EXPECT_EQ(20u, Le32(f0));
  EXPECT_EQ(13u, Le32(f0 + 4));
  EXPECT_EQ('I', f0[8]);
  EXPECT_EQ('X', f0[9]);
  EXPECT_EQ(3, f0[11]);  // pad count
  EXPECT_EQ(0, std::memcmp(f0 + 12, video, 5));
  EXPECT_EQ(0, f0[17] | f0[18] | f0[19]);  // padding bytes are zero
  const std::uint8_t* f1 = f0 + 20;
  EXPECT_EQ(20u, Le32(f1));
  EXPECT_EQ(16u, Le32(f1 + 4));
  EXPECT_EQ(0, f1[11]);

  // The container's reader finds the same payloads.
  MovieReader reader;
  std::string error;
  ASSERT_TRUE(MovieReader_OpenMemory(reader, movie.data(), movie.size(), &error)) << error;
  std::vector<std::uint8_t> chunks;
  for (std::size_t expected : {5u, 8u}) {
    ASSERT_EQ(FrameRead::kOk, MovieReader_Next(reader, chunks));
    std::int32_t length = -1;
    const std::uint8_t* payload =
        Frame_FindChunk({chunks.data(), static_cast<std::uint32_t>(chunks.size())}, "IX", &length);
    ASSERT_NE(nullptr, payload);
    EXPECT_EQ(static_cast<std::int32_t>(expected), length);
    EXPECT_EQ(0, std::memcmp(payload, video, expected));
  }
  EXPECT_EQ(FrameRead::kEnd, MovieReader_Next(reader, chunks));
}

TEST(MovieWriter, SoundRunsThirtyOneFramesAheadWithTheAdqHeaderInFrameZero) {
  MovieLayout layout = SilentLayout();
  layout.frame_duration = 8;  // 25 frames per second
  layout.sound = true;
  layout.sample_rate = 8000;  // 320 samples = 160 bytes per period (mono)
  layout.period_bytes = 160;
  layout.left_predictor = -5;
  std::vector<std::uint8_t> movie;
  MovieWriter writer;
  ASSERT_TRUE(MovieWriter_OpenMemory(writer, &movie, layout));
  const std::uint8_t video[4] = {};
  std::vector<std::uint8_t> lead(32 * 160, 0x11), period(160, 0x22);
  ASSERT_TRUE(MovieWriter_WriteFrame(writer, video, 4, lead.data(), lead.size()));
  // A later frame must carry exactly one period.
  EXPECT_FALSE(MovieWriter_WriteFrame(writer, video, 4, period.data(), 159));
  writer.failed = false;
  writer.error.clear();
  ASSERT_TRUE(MovieWriter_WriteFrame(writer, video, 4, period.data(), period.size()));
  ASSERT_TRUE(MovieWriter_Finish(writer));
  EXPECT_EQ(1, movie[6]);

  MovieReader reader;
  std::string error;
  ASSERT_TRUE(MovieReader_OpenMemory(reader, movie.data(), movie.size(), &error));
  std::vector<std::uint8_t> chunks;
  ASSERT_EQ(FrameRead::kOk, MovieReader_Next(reader, chunks));
  std::int32_t length = 0;
  const std::uint8_t* aa =
      Frame_FindChunk({chunks.data(), static_cast<std::uint32_t>(chunks.size())}, "AA", &length);
  ASSERT_NE(nullptr, aa);
  ASSERT_EQ(32 + 32 * 160, length);  // the player's period: (A - 32) / 32 = 160 bytes
  EXPECT_EQ(0, std::memcmp(aa, "VELD_ADQ1.20", 12));
  // Two frames: periods 0..31 and 32, that is 33 periods of 320 samples.
  EXPECT_EQ(33u * 320, Le32(aa + 12));
  EXPECT_EQ(8000u, Le32(aa + 16));
  EXPECT_EQ(static_cast<std::uint32_t>(-5), Le32(aa + 20));
  EXPECT_EQ(0u, Le32(aa + 28));  // mono
  EXPECT_EQ(0x11, aa[32]);
  ASSERT_EQ(FrameRead::kOk, MovieReader_Next(reader, chunks));
  aa = Frame_FindChunk({chunks.data(), static_cast<std::uint32_t>(chunks.size())}, "AA", &length);
  ASSERT_NE(nullptr, aa);
  EXPECT_EQ(160, length);
  EXPECT_EQ(0x22, aa[0]);
}

TEST(MovieWriter, SamplesPerPeriodNeedWholeBytesOfCodes) {
  EXPECT_EQ(882u, SamplesPerPeriod(22050, 8, false));  // 22050 / 25
  EXPECT_EQ(1764u, SamplesPerPeriod(44100, 8, true));
  EXPECT_EQ(0u, SamplesPerPeriod(22050, 13, false));  // 1433.25 samples
  EXPECT_EQ(0u, SamplesPerPeriod(8025, 8, false));    // 321: odd, half a byte in mono
  EXPECT_EQ(321u, SamplesPerPeriod(8025, 8, true));   // one byte per frame in stereo
  EXPECT_EQ(0u, SamplesPerPeriod(0, 8, false));
}

TEST(MovieWriter, RefusesLayoutsItCannotWrite) {
  std::vector<std::uint8_t> movie;
  MovieWriter writer;
  MovieLayout layout = SilentLayout();
  layout.width = 20;
  EXPECT_FALSE(MovieWriter_OpenMemory(writer, &movie, layout));
  EXPECT_NE(std::string::npos, writer.error.find("20x8"));
  layout = SilentLayout();
  layout.sound = true;
  layout.sample_rate = 22050;
  layout.frame_duration = 13;
  layout.period_bytes = 716;
  EXPECT_FALSE(MovieWriter_OpenMemory(writer, &movie, layout));
  EXPECT_NE(std::string::npos, writer.error.find("22050"));
  // 20 s a frame: frame 0's 32 periods of 44.1 kHz stereo are 32 * 882,000 bytes, past the
  // 24-bit frame size; mono at 22.05 kHz, 32 * 220,500 bytes, fits.
  layout.frame_duration = 4000;
  layout.sample_rate = 44100;
  layout.stereo = true;
  layout.period_bytes = 882000;
  EXPECT_FALSE(MovieWriter_OpenMemory(writer, &movie, layout));
  EXPECT_NE(std::string::npos, writer.error.find("raise the frame rate"));
  layout.sample_rate = 22050;
  layout.stereo = false;
  layout.period_bytes = 220500;
  EXPECT_TRUE(MovieWriter_OpenMemory(writer, &movie, layout)) << writer.error;
}

TEST(MovieWriter, StopsAtTheFramesWhoseSoundTheSampleCountHolds) {
  // 96 kHz mono at 10 s a frame: 960,000 samples a period. 4,473 periods fit in 32 bits
  // (4,473 x 960,000 = 4,294,080,000), 31 of them carried ahead by frame 0: 4,442 frames.
  MovieLayout layout = SilentLayout();
  layout.frame_duration = 2000;
  layout.sound = true;
  layout.sample_rate = 96000;
  layout.period_bytes = 480000;
  std::vector<std::uint8_t> movie;
  MovieWriter writer;
  ASSERT_TRUE(MovieWriter_OpenMemory(writer, &movie, layout)) << writer.error;
  const std::uint8_t video[4] = {};
  const std::vector<std::uint8_t> period(480000, 0x22);
  writer.frames_written = 4441;  // as after the frames before it
  EXPECT_TRUE(MovieWriter_WriteFrame(writer, video, 4, period.data(), period.size()));
  // The next one would wrap the count written at the end, after all the work: refused now.
  EXPECT_FALSE(MovieWriter_WriteFrame(writer, video, 4, period.data(), period.size()));
  EXPECT_NE(std::string::npos, writer.error.find("4442 frames")) << writer.error;
}

}  // namespace
}  // namespace tarvel
