#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "container/movie_format.h"

namespace tarvel {
namespace {

// Appends a chunk: size word, tag, byte 6, byte 7, then `payload_bytes` bytes of filler and
// zero bytes up to the next multiple of four.
void AddChunk(std::vector<std::uint8_t>& frame, std::uint32_t size, const char* tag,
              std::uint8_t byte7, std::size_t stored_bytes) {
  const std::size_t start = frame.size();
  frame.resize(start + stored_bytes, 0xAB);
  frame[start] = static_cast<std::uint8_t>(size);
  frame[start + 1] = static_cast<std::uint8_t>(size >> 8);
  frame[start + 2] = static_cast<std::uint8_t>(size >> 16);
  frame[start + 3] = static_cast<std::uint8_t>(size >> 24);
  frame[start + 4] = static_cast<std::uint8_t>(tag[0]);
  frame[start + 5] = static_cast<std::uint8_t>(tag[1]);
  frame[start + 6] = 0;
  frame[start + 7] = byte7;
}

LoadedFrame View(std::vector<std::uint8_t>& data) {
  return LoadedFrame{data.data(), static_cast<std::uint32_t>(data.size())};
}

TEST(ChunkWalk, UnalignedSizeTakesPadFromRoundingAndRewritesByte7) {
  std::vector<std::uint8_t> frame;
  AddChunk(frame, 13, "IX", 0xFF, 16);  // 13 rounds to 16: pad 3 whatever byte 7 says
  AddChunk(frame, 8, "AA", 0, 8);
  std::int32_t length = -1;
  const std::uint8_t* payload = Frame_FindChunk(View(frame), "IX", &length);
  ASSERT_EQ(payload, frame.data() + 8);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(frame[7], 3);
  // The next chunk starts 16 bytes on.
  EXPECT_EQ(Frame_FindChunk(View(frame), "AA", &length), frame.data() + 16 + 8);
  EXPECT_EQ(length, 0);
}

TEST(ChunkWalk, AlignedSizeTakesPadFromLowBitsOfByte7) {
  std::vector<std::uint8_t> frame;
  AddChunk(frame, 16, "IX", 0xFE, 16);  // bits 0-1 of 0xFE = 2
  AddChunk(frame, 12, "ZZ", 0x07, 12);
  std::int32_t length = -1;
  ASSERT_NE(Frame_FindChunk(View(frame), "IX", &length), nullptr);
  EXPECT_EQ(length, 6);
  EXPECT_EQ(frame[7], 2);  // bits 2 to 7 cleared
  ASSERT_EQ(Frame_FindChunk(View(frame), "ZZ", &length), frame.data() + 16 + 8);
  EXPECT_EQ(length, 1);  // 12 - 3 - 8
  EXPECT_EQ(frame[16 + 7], 3);
}

TEST(ChunkWalk, FirstMatchWinsAndTagsAreCaseSensitive) {
  std::vector<std::uint8_t> frame;
  AddChunk(frame, 12, "BB", 0, 12);
  AddChunk(frame, 16, "IX", 0, 16);
  AddChunk(frame, 20, "AA", 0, 20);
  AddChunk(frame, 24, "IX", 0, 24);
  AddChunk(frame, 8, "ix", 0, 8);
  std::int32_t length = 0;
  EXPECT_EQ(Frame_FindChunk(View(frame), "IX", &length), frame.data() + 12 + 8);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(Frame_FindChunk(View(frame), "AA", &length), frame.data() + 28 + 8);
  EXPECT_EQ(length, 12);

  struct Seen {
    std::vector<std::string> tags;
    std::vector<std::int32_t> lengths;
  } seen;
  const auto handler = [](const char* tag, const std::uint8_t*, std::int32_t len, void* user) {
    auto* s = static_cast<Seen*>(user);
    s->tags.emplace_back(tag, 2);
    s->lengths.push_back(len);
  };
  EXPECT_EQ(Frame_ForOtherChunks(View(frame), handler, &seen), frame.size());
  ASSERT_EQ(seen.tags.size(), 1u);  // only the lower-case "ix" is an other chunk
  EXPECT_EQ(seen.tags[0], "ix");
  EXPECT_EQ(seen.lengths[0], 0);
}

TEST(ChunkWalk, MissingTagLeavesLengthUntouched) {
  std::vector<std::uint8_t> frame;
  AddChunk(frame, 12, "IX", 0, 12);
  std::int32_t length = 1234;
  EXPECT_EQ(Frame_FindChunk(View(frame), "AA", &length), nullptr);
  EXPECT_EQ(length, 1234);
  std::vector<std::uint8_t> empty;
  EXPECT_EQ(Frame_FindChunk(View(empty), "IX", &length), nullptr);
}

TEST(ChunkWalk, StopsAtChunksThatCannotBeWalked) {
  // A chunk running past the frame is never examined.
  std::vector<std::uint8_t> frame;
  AddChunk(frame, 12, "AA", 0, 12);
  AddChunk(frame, 40, "IX", 0, 12);
  std::int32_t length = 0;
  EXPECT_EQ(Frame_FindChunk(View(frame), "IX", &length), nullptr);
  EXPECT_EQ(Frame_WalkChunks(View(frame), [](const ChunkView&) { return true; }), 12u);

  // Sizes 0 to 7 would never advance or give a negative payload: the walk ends there.
  for (std::uint32_t size = 0; size < 8; ++size) {
    std::vector<std::uint8_t> small;
    AddChunk(small, size, "AA", 0, 8);
    AddChunk(small, 12, "IX", 0, 12);
    EXPECT_EQ(Frame_FindChunk(View(small), "IX", &length), nullptr) << size;
  }

  // Fewer than 8 bytes left after the last whole chunk.
  std::vector<std::uint8_t> tail;
  AddChunk(tail, 12, "AA", 0, 12);
  tail.resize(tail.size() + 7, 0);
  EXPECT_EQ(Frame_WalkChunks(View(tail), [](const ChunkView&) { return true; }), 12u);
}

TEST(ChunkWalk, EightByteChunkWithPadCountHasNoPayload) {
  std::vector<std::uint8_t> frame;
  AddChunk(frame, 8, "AA", 3, 8);
  std::int32_t length = -1;
  ASSERT_NE(Frame_FindChunk(View(frame), "AA", &length), nullptr);
  EXPECT_EQ(length, 0);
}

TEST(MovieHeader, InterpretedFieldsAndFrameRate) {
  std::uint8_t bytes[64] = {};
  std::memcpy(bytes, "KQM6", 4);
  bytes[6] = 2;
  bytes[8] = 0x40;  // width 320
  bytes[9] = 0x01;
  bytes[10] = 0xF0;  // height 240
  bytes[16] = 0x2C;  // 300 frames
  bytes[17] = 0x01;
  bytes[24] = 8;
  const MovieHeader header = ParseMovieHeader(bytes);
  EXPECT_TRUE(header.sound);
  EXPECT_EQ(header.width, 320);
  EXPECT_EQ(header.height, 240);
  EXPECT_EQ(header.frame_count, 300);
  EXPECT_EQ(header.frame_duration, 8);
  EXPECT_EQ(std::memcmp(header.raw, bytes, 64), 0);

  EXPECT_EQ(FrameRateFromDuration(8, 15.0f), 25.0f);
  EXPECT_EQ(FrameRateFromDuration(10, 15.0f), 20.0f);
  EXPECT_EQ(FrameRateFromDuration(16, 15.0f), 12.5f);
  EXPECT_EQ(FrameRateFromDuration(0, 12.5f), 12.5f);  // none given: the fallback

  EXPECT_TRUE(IsSupportedPictureSize(8, 8));
  EXPECT_TRUE(IsSupportedPictureSize(1032, 16));
  EXPECT_FALSE(IsSupportedPictureSize(0, 8));
  EXPECT_FALSE(IsSupportedPictureSize(12, 8));
  EXPECT_FALSE(IsSupportedPictureSize(8, 20));
  // Two 16-bit pictures of 8192 x 8192 take exactly 256 MB; 8200 x 8192 take 256.25 MB.
  EXPECT_EQ(PictureSizeProblem(8192, 8192), "");
  EXPECT_EQ(PictureSizeProblem(8200, 8192),
            "picture size 8200x8192 is too large: its two pictures would take 257 MB, more than "
            "the 256 MB allowed");
  EXPECT_EQ(PictureSizeProblem(12, 8),
            "picture size 12x8 cannot be played (width and height must be non-zero multiples "
            "of 8)");
}

}  // namespace
}  // namespace tarvel
