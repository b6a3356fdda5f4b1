// Malformed chunks: each stops the frame with kDecodeCorrupt, keeps what was written before
// the fault and leaves the rest of the picture as it was. Run under the sanitizers, these
// tests also show that nothing outside the payload and the pictures is touched.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "video_test_util.h"

namespace tarvel {
namespace {

using test::DecodeInto;
using test::FrameBuilder;
using test::OldPixel;
using test::Pictures;
using test::PutLe32;
using test::RefPixel;

// True when every pixel of columns [x0, x1) of rows [y0, y1) still holds its old value.
bool Untouched(const Pictures& p, int x0, int y0, int x1, int y1) {
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      if (p.Out(x, y) != OldPixel(x, y)) return false;
    }
  }
  return true;
}

bool FromReference(const Pictures& p, int x0, int y0, int x1, int y1) {
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      if (p.Out(x, y) != RefPixel(x, y)) return false;
    }
  }
  return true;
}

TEST(BadInput, HeaderAndOffsets) {
  Pictures p(16, 8);
  FrameBuilder f;
  f.SkipBlocks(2);
  std::vector<uint8_t> payload = f.Payload();
  auto decoder = CreateVideoDecoder(8, 16, 15);
  // A payload too short for its header.
  EXPECT_EQ(DecodeVideoChunk(payload.data(), 23, p.reference.data(), p.output.data(), *decoder),
            kDecodeCorrupt);
  EXPECT_EQ(DecodeVideoChunk(nullptr, 0, p.reference.data(), p.output.data(), *decoder),
            kDecodeCorrupt);
  // Mode bits that start past the end of the payload, or whose word would cross it.
  for (uint32_t offset : {0xFFFFFFF0u, static_cast<uint32_t>(payload.size()) - 3}) {
    PutLe32(payload, 4, offset);
    EXPECT_EQ(DecodeInto(p, payload), kDecodeCorrupt);
    EXPECT_TRUE(Untouched(p, 0, 0, 16, 8));
  }
}

TEST(BadInput, ModeBitsRunOut) {
  Pictures p(96, 8);
  FrameBuilder f;
  f.SkipBlocks(10);         // bits 0-29
  f.modes.PutString("11");  // block 10 needs a third bit, which is past the only word
  EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
  EXPECT_TRUE(FromReference(p, 0, 0, 80, 8));
  EXPECT_TRUE(Untouched(p, 80, 0, 96, 8));
}

TEST(BadInput, LastWordUsedUpIsNotAFault) {
  // The mode-bit reader's look-ahead past the last word and the spiral group's fourth byte
  // are never needed: a chunk that ends right after the last bit and group decodes.
  Pictures p(88, 8);
  test::ModeBitWriter modes;
  for (int i = 0; i < 10; ++i) modes.PutString("110");
  modes.PutString("00");  // 32 bits exactly: spiral copy, index 1
  std::vector<uint8_t> payload(24, 0);
  PutLe32(payload, 0, 50);
  PutLe32(payload, 8, 24);   // vector words: none
  PutLe32(payload, 12, 24);  // spiral pairs: one group
  payload.insert(payload.end(), {0x01, 0x00, 0x00});
  PutLe32(payload, 16, 27);  // nibbles: none
  PutLe32(payload, 20, 27);
  PutLe32(payload, 4, 27);  // mode bits: the last four bytes
  const std::vector<uint8_t> word = modes.Bytes();
  payload.insert(payload.end(), word.begin(), word.end());
  ASSERT_EQ(payload.size(), 31u);
  EXPECT_EQ(DecodeInto(p, payload), kDecodeOk);
  EXPECT_TRUE(FromReference(p, 0, 0, 88, 8));
}

TEST(BadInput, VectorWordsAndSpiralGroupsRunOut) {
  {
    Pictures p(16, 8);
    FrameBuilder f;
    f.SkipBlocks(1);
    f.modes.PutString("010 000");  // needs a vector word; there is none
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
    EXPECT_TRUE(FromReference(p, 0, 0, 8, 8));
    EXPECT_TRUE(Untouched(p, 8, 0, 16, 8));
  }
  {
    Pictures p(24, 8);
    FrameBuilder f;
    f.modes.PutString("00 00 00");  // three spiral copies, one group
    f.spirals.Put(1);
    f.spirals.Put(1);
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
    EXPECT_TRUE(FromReference(p, 0, 0, 16, 8));
    EXPECT_TRUE(Untouched(p, 16, 0, 24, 8));
  }
}

TEST(BadInput, CoefficientStreams) {
  {
    // Nibbles end inside the second block's Cr component.
    Pictures p(16, 8);
    FrameBuilder f;
    f.modes.PutString("011 011");
    f.DcBlock(1, 0, 0);
    f.nibbles.Put({0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
    EXPECT_NE(p.Out(0, 0), OldPixel(0, 0));
    EXPECT_TRUE(Untouched(p, 8, 0, 16, 8));
  }
  {
    // An end offset far past the payload does not make the missing nibbles readable.
    Pictures p(8, 8);
    FrameBuilder f;
    f.modes.PutString("011");
    f.nibbles.Put({0, 0, 0});
    std::vector<uint8_t> payload = f.Payload();
    PutLe32(payload, 20, static_cast<uint32_t>(payload.size()) + 4096);
    EXPECT_EQ(DecodeInto(p, payload), kDecodeCorrupt);
    EXPECT_TRUE(Untouched(p, 0, 0, 8, 8));
    // A start offset past the end offset leaves no nibbles at all.
    PutLe32(payload, 16, static_cast<uint32_t>(payload.size()) + 1);
    EXPECT_EQ(DecodeInto(p, payload), kDecodeCorrupt);
  }
  {
    // Three coefficients from position 62.
    Pictures p(8, 8);
    FrameBuilder f;
    f.modes.PutString("011");
    f.nibbles.Put({0, 0});
    for (int i = 0; i < 12; ++i) f.nibbles.Put(1);  // p = 61
    f.nibbles.Put({14, 13, 1, 1, 1, 0});
    f.DcBlock(0, 0, 0);
    f.DcBlock(0, 0, 0);
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
    EXPECT_TRUE(Untouched(p, 0, 0, 8, 8));
  }
}

TEST(BadInput, SourcesOutsideThePicture) {
  {
    // Spiral index 9 = (-1, -1) at the first block starts before the picture.
    Pictures p(16, 16);
    FrameBuilder f;
    f.modes.PutString("00");
    f.spirals.Put(9);
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
    EXPECT_TRUE(Untouched(p, 0, 0, 16, 16));
  }
  {
    // Index 0 = (1, 0) at the last block: its last source pixel is one past the picture.
    Pictures p(16, 16);
    FrameBuilder f;
    f.SkipBlocks(3);
    f.modes.PutString("00");
    f.spirals.Put(0);
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
    EXPECT_TRUE(FromReference(p, 0, 0, 16, 8));
    EXPECT_TRUE(Untouched(p, 8, 8, 16, 16));
  }
  {
    // Index 5 = (2, 0) at (8, 0) runs past the row end into the next row: valid.
    Pictures p(16, 16);
    FrameBuilder f;
    f.SkipBlocks(1);
    f.modes.PutString("00");
    f.spirals.Put(5);
    f.SkipBlocks(2);
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
    EXPECT_EQ(p.Out(13, 0), RefPixel(15, 0));
    EXPECT_EQ(p.Out(14, 0), RefPixel(0, 1));
    EXPECT_EQ(p.Out(15, 7), RefPixel(1, 8));
  }
  {
    // A long vector word from the reference at row y + 64 of an 8-row picture.
    Pictures p(8, 8);
    FrameBuilder f;
    f.modes.PutString("010 000");
    f.vectors.Put(0x4000);
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
    EXPECT_TRUE(Untouched(p, 0, 0, 8, 8));
  }
  {
    // A key-frame short word 9 rows above the first block.
    Pictures p(16, 8);
    FrameBuilder f;
    f.frame_word = -50;
    f.modes.PutString("10 11 11 11 11");
    for (int i = 0; i < 16; ++i) f.vectors.Put(0x07E0);
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
    EXPECT_TRUE(Untouched(p, 0, 0, 16, 8));
  }
  {
    // A delta frame without a reference picture cannot copy from it.
    Pictures p(8, 8);
    FrameBuilder f;
    f.SkipBlocks(1);
    const std::vector<uint8_t> payload = f.Payload();
    auto decoder = CreateVideoDecoder(8, 8, 15);
    EXPECT_EQ(DecodeVideoChunk(payload.data(), payload.size(), nullptr, p.output.data(), *decoder),
              kDecodeCorrupt);
    EXPECT_TRUE(Untouched(p, 0, 0, 8, 8));
  }
}

TEST(BadInput, UnusedBlockCodeStopsTheFrame) {
  Pictures p(24, 8);
  FrameBuilder f;
  f.SkipBlocks(1);
  f.modes.PutString("1111");
  f.SkipBlocks(1);
  EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeCorrupt);
  EXPECT_TRUE(FromReference(p, 0, 0, 8, 8));
  EXPECT_TRUE(Untouched(p, 8, 0, 24, 8));
}

TEST(OddInput, QualitiesOutsideTheRange) {
  // A DC level of 8 gives Y = 8 * 510 at quality 1 (white) and 8 * 16 at quality 100
  // (r = g = b = 136: 0x4631).
  const struct {
    int32_t word;
    const char* modes;
    uint16_t pixel;
  } cases[] = {
      {0, "011", 0x7FDF},    {101, "011", 0x4631},       {1000000, "011", 0x4631},
      {-101, "110", 0x4631}, {INT32_MIN, "110", 0x7FDF}, {-1, "110", 0x7FDF},
  };
  for (const auto& c : cases) {
    Pictures p(8, 8);
    FrameBuilder f;
    f.frame_word = c.word;
    f.modes.PutString(c.modes);
    f.DcBlock(8, 0, 0);
    EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeOk) << c.word;
    EXPECT_EQ(p.Out(3, 5), c.pixel) << c.word;
  }
}

TEST(OddInput, ChromaBeyondTheTablesIsClampedNotCorrupt) {
  // Quality 50: a chroma DC of -128 times 34 gives a table index of -272.
  Pictures p(8, 8);
  FrameBuilder f;
  f.modes.PutString("011");
  f.DcBlock(0, -128, -128);
  EXPECT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  EXPECT_EQ(p.Out(0, 0), 0x03C0);  // r 0, g 417 -> 255, b 128 - 544 -> 0
}

}  // namespace
}  // namespace tarvel
