// The frame index: what it keeps of each frame, the sound state it carries, and where it ends.
#include <gtest/gtest.h>

#include "audio/movie_index.h"
#include "engine/engine_test_util.h"

namespace tarvel::test {
namespace {

MovieIndex& Build(MovieIndex& index, const std::vector<uint8_t>& bytes) {
  MovieReader reader;
  std::string error;
  EXPECT_TRUE(MovieReader_OpenMemory(reader, bytes.data(), bytes.size(), &error)) << error;
  index.Reset(reader.header.frame_count);
  MovieIndex_Build(index, reader);
  return index;
}

TEST(MovieIndex, KeepsEveryFrameAndTheSoundStateBeforeIt) {
  // Four frames; frame 2's picture word says delta frame of quality 30.
  MovieLayout layout = SoundMovie(4);
  std::vector<uint8_t>& picture = layout.frames[2].chunks[0].payload;
  picture[0] = 30;
  picture[1] = picture[2] = picture[3] = 0;
  const std::vector<uint8_t> bytes = layout.Bytes();
  MovieIndex index;
  Build(index, bytes);
  ASSERT_EQ(index.frames(), 4);
  EXPECT_EQ(index.end(), IndexEnd::kComplete);

  std::int64_t offset = 64;
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const FrameInfo& frame = index[i].frame;
    const auto size =
        static_cast<std::uint32_t>(bytes[static_cast<std::size_t>(offset)] |
                                   (bytes[static_cast<std::size_t>(offset) + 1] << 8));
    EXPECT_EQ(frame.offset, offset);
    EXPECT_EQ(frame.size, size);
    EXPECT_EQ(frame.key(), i != 2);
    EXPECT_EQ(frame.quality(), i == 2 ? 30 : 50);
    EXPECT_TRUE(frame.has_sound);
    // Frame 0's chunk: the 32-byte header and 32 periods of 8 bytes; later frames one period.
    EXPECT_EQ(frame.sound_length, i == 0 ? 32u + 32u * 8u : 8u);
    offset += size;
  }
  // Zero codes leave the predictor alone; every period takes 16 of the 1,000,000 mono samples,
  // and frame 0 takes 32 periods.
  EXPECT_EQ(index[0].sound_state.remaining_frames, 1000000u);
  EXPECT_EQ(index[1].sound_state.remaining_frames, 1000000u - 512u);
  EXPECT_EQ(index[2].sound_state.remaining_frames, 1000000u - 528u);
  EXPECT_EQ(index[3].sound_state.remaining_frames, 1000000u - 544u);
  EXPECT_EQ(index[3].sound_state.left_predictor, 0);
  EXPECT_EQ(index.KeyFrameAtOrBefore(2), 1);
  EXPECT_EQ(index.KeyFrameAtOrBefore(3), 3);
}

TEST(MovieIndex, EndsWherePlaybackWould) {
  // Cut inside frame 3: three frames.
  std::vector<uint8_t> bytes = SilentMovie(6).Bytes();
  std::size_t frame_3 = 64;
  for (int i = 0; i < 3; ++i) frame_3 += bytes[frame_3] | (bytes[frame_3 + 1] << 8);
  MovieIndex cut;
  Build(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + frame_3 + 7));
  EXPECT_EQ(cut.frames(), 3);
  EXPECT_EQ(cut.end(), IndexEnd::kTruncated);
  EXPECT_FALSE(cut.WaitFor(3));
  EXPECT_TRUE(cut.WaitFor(2));

  // A frame without a picture: the ones before it.
  MovieLayout layout = SilentMovie(6);
  layout.frames[4].chunks[0].tag = "ZZ";
  MovieIndex no_picture;
  Build(no_picture, layout.Bytes());
  EXPECT_EQ(no_picture.frames(), 4);
  EXPECT_EQ(no_picture.end(), IndexEnd::kNoPicture);

  // A frame word of size 0: the data ends there.
  layout = SilentMovie(6);
  layout.frames[2].custom_word = true;
  layout.frames[2].word = 0;
  MovieIndex ended;
  Build(ended, layout.Bytes());
  EXPECT_EQ(ended.frames(), 2);
  EXPECT_EQ(ended.end(), IndexEnd::kEndOfData);

  // A frame the file system fails to deliver is no cut, and is not said to be one.
  TempMovie whole(SilentMovie(3));
  MovieReader reader;
  std::string error;
  ASSERT_TRUE(MovieReader_Open(reader, whole.path(), &error)) << error;
  // A folder's stream stands for a failing disk: every read of it fails (EISDIR).
  std::fclose(reader.source.movie_file);
  reader.source.movie_file = std::fopen(::testing::TempDir().c_str(), "rb");
  ASSERT_NE(reader.source.movie_file, nullptr);
  MovieIndex unreadable;
  EXPECT_EQ(MovieIndex_Build(unreadable, reader), IndexEnd::kReadError);
  MovieReader_Close(reader);
  EXPECT_EQ(IndexEndProblem(unreadable.end(), unreadable.frames(), 3),
            "frame 0: the file cannot be read there (an input/output error of its disk or "
            "network)");
}

}  // namespace
}  // namespace tarvel::test
