// The decoder object: its two pictures, the caller's output pixels and the reset.
#include <gtest/gtest.h>

#include <vector>

#include "video_test_util.h"

namespace tarvel {
namespace {

using test::FrameBuilder;
using test::OldPixel;

constexpr uint16_t kGrey555 = 0x4210;  // a DCT block of zero levels

TEST(VideoDecoderObject, DecodesIntoCallerPixelsWhichBecomeTheReference) {
  auto decoder = VideoDecoder::Create(8, 16, 15, OutputPicture::kCaller);
  ASSERT_TRUE(decoder);

  // Key frame: block (0,0) copies the block at (8,0) of the output picture before this frame
  // writes it (v = 0, h = 120: column 0 + 128 - 120), so it takes the caller's old pixels;
  // block (8,0) is a grey DCT block.
  FrameBuilder key;
  key.frame_word = -50;
  key.modes.PutString("111 00");
  key.vectors.Put(120 << 7);
  key.modes.PutString("110");
  key.DcBlock(0, 0, 0);
  const std::vector<uint8_t> key_payload = key.Payload();
  EXPECT_EQ(decoder->Decode(key_payload.data(), key_payload.size()), kDecodeCorrupt);
  EXPECT_EQ(decoder->Picture().pixels, nullptr);

  std::vector<uint16_t> surface(16 * 8);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 16; ++x) surface[16 * y + x] = OldPixel(x, y);
  }
  decoder->SetOutput(surface.data());
  ASSERT_EQ(decoder->Decode(key_payload.data(), key_payload.size()), kDecodeOk);
  EXPECT_EQ(decoder->Picture().pixels, surface.data());
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      ASSERT_EQ(surface[16 * y + x], OldPixel(8 + x, y)) << x << ", " << y;
      ASSERT_EQ(surface[16 * y + 8 + x], kGrey555) << x << ", " << y;
    }
  }

  // Delta frame: block (0,0) copies block (8,0) of the reference (v = 64, h = 120), block
  // (8,0) is skipped. Both read the key frame's picture.
  FrameBuilder delta;
  delta.modes.PutString("010 000");
  delta.vectors.Put(120 << 7 | 64);
  delta.modes.PutString("110");
  const std::vector<uint8_t> delta_payload = delta.Payload();
  ASSERT_EQ(decoder->Decode(delta_payload.data(), delta_payload.size()), kDecodeOk);
  EXPECT_EQ(surface, std::vector<uint16_t>(16 * 8, kGrey555));

  // After a reset both pictures are black: the same delta frame copies black.
  decoder->Reset();
  EXPECT_EQ(surface, std::vector<uint16_t>(16 * 8, 0));
  ASSERT_EQ(decoder->Decode(delta_payload.data(), delta_payload.size()), kDecodeOk);
  EXPECT_EQ(surface, std::vector<uint16_t>(16 * 8, 0));
}

TEST(VideoDecoderObject, CorruptFrameStillBecomesTheReference) {
  auto decoder = VideoDecoder::Create(8, 16, 15);
  ASSERT_TRUE(decoder);
  // A key frame whose first block is grey and whose second block's coefficients are missing.
  FrameBuilder key;
  key.frame_word = -50;
  key.modes.PutString("110 110");
  key.DcBlock(0, 0, 0);
  const std::vector<uint8_t> key_payload = key.Payload();
  ASSERT_EQ(decoder->Decode(key_payload.data(), key_payload.size()), kDecodeCorrupt);
  // A delta frame copying block (0,0) of the reference to both blocks.
  FrameBuilder delta;
  delta.modes.PutString("110 010 000");
  delta.vectors.Put(136 << 7 | 64);  // column 8 + 128 - 136 = 0
  const std::vector<uint8_t> delta_payload = delta.Payload();
  ASSERT_EQ(decoder->Decode(delta_payload.data(), delta_payload.size()), kDecodeOk);
  const PictureView picture = decoder->Picture();
  ASSERT_EQ(picture.width, 16);
  ASSERT_EQ(picture.height, 8);
  EXPECT_EQ(std::vector<uint16_t>(picture.pixels, picture.pixels + 16 * 8),
            std::vector<uint16_t>(16 * 8, kGrey555));
}

TEST(VideoDecoderObject, DeltaFrameReadsThePreviousPictureOfBlocksItRewrote) {
  auto decoder = VideoDecoder::Create(8, 16, 15);
  ASSERT_TRUE(decoder);
  // Block (0,0) becomes grey; block (8,0) copies block (0,0) of the reference, which is still
  // the previous, black picture.
  FrameBuilder first;
  first.modes.PutString("011");
  first.DcBlock(0, 0, 0);
  first.modes.PutString("010 000");
  first.vectors.Put(136 << 7 | 64);  // column 8 + 128 - 136 = 0
  const std::vector<uint8_t> first_payload = first.Payload();
  ASSERT_EQ(decoder->Decode(first_payload.data(), first_payload.size()), kDecodeOk);
  const uint16_t* picture = decoder->Picture().pixels;
  EXPECT_EQ(picture[0], kGrey555);
  EXPECT_EQ(picture[8], 0);
  // The next frame skips block (0,0) and copies it again: now grey.
  FrameBuilder second;
  second.modes.PutString("110 010 000");
  second.vectors.Put(136 << 7 | 64);
  const std::vector<uint8_t> second_payload = second.Payload();
  ASSERT_EQ(decoder->Decode(second_payload.data(), second_payload.size()), kDecodeOk);
  EXPECT_EQ(std::vector<uint16_t>(picture, picture + 16 * 8),
            std::vector<uint16_t>(16 * 8, kGrey555));
}

}  // namespace
}  // namespace tarvel
