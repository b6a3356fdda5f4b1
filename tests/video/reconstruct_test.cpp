// Both frame paths, mode by mode: which bits, words and indexes each mode takes, and which
// pixels it copies from where. Expected pixels are named by their source position.
#include <gtest/gtest.h>

#include <functional>

#include "video_test_util.h"

namespace tarvel {
namespace {

using test::DecodeInto;
using test::FrameBuilder;
using test::OldPixel;
using test::Pictures;
using test::RefPixel;

// Checks the w x h region at (x0, y0) of the output against expected(column, row).
void ExpectRegion(const Pictures& p, int x0, int y0, int w, int h,
                  const std::function<uint16_t(int, int)>& expected, const char* what) {
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < w; ++c) {
      ASSERT_EQ(p.Out(x0 + c, y0 + r), expected(c, r))
          << what << " at (" << x0 + c << ", " << y0 + r << ")";
    }
  }
}

// Expected pixels: the reference or old output pixel at (x + c, y + r).
auto Ref(int x, int y) {
  return [=](int c, int r) { return RefPixel(x + c, y + r); };
}
auto Old(int x, int y) {
  return [=](int c, int r) { return OldPixel(x + c, y + r); };
}
auto Solid(uint16_t v) {
  return [=](int, int) { return v; };
}

TEST(DeltaFrame, AllSkipReproducesReference) {
  Pictures p(24, 16);
  FrameBuilder f;
  f.SkipBlocks(6);  // no vector words, spiral groups or nibbles exist to be read
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  EXPECT_EQ(p.output, p.reference);
}

TEST(DeltaFrame, SpiralCopiesTakeIndexesInPairs) {
  Pictures p(32, 16);
  FrameBuilder f;
  f.modes.PutString("100 11 00");  // (0,0): top half skip, bottom half spiral
  f.modes.PutString("00");         // (8,0): spiral
  f.SkipBlocks(3);
  f.modes.PutString("00 00 00");  // (8,8), (16,8), (24,8): spiral
  // Indexes 0 = (1, 0) and 1 = (0, 0); 0x123 = (-8, -6) and 0x564 = (-18, -7); 8 = (0, -1).
  f.raw_spirals = {0x00, 0x10, 0x00, 0x23, 0x41, 0x56, 0x08, 0x00, 0x00};
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  ExpectRegion(p, 0, 0, 8, 4, Ref(0, 0), "skipped top half");
  ExpectRegion(p, 0, 4, 8, 4, Ref(1, 4), "bottom half, one right of its own position");
  ExpectRegion(p, 8, 0, 8, 8, Ref(8, 0), "index 1");
  ExpectRegion(p, 8, 8, 8, 8, Ref(0, 2), "index 0x123");
  // (-2, 1) from (16, 8): the source starts two pixels before the end of row 0 and continues
  // into the rows below.
  ExpectRegion(
      p, 16, 8, 8, 8, [&](int c, int r) { return p.reference[30 + 32 * r + c]; }, "index 0x564");
  ExpectRegion(p, 24, 8, 8, 8, Ref(24, 7), "index 8");
}

TEST(DeltaFrame, LongVectorWords) {
  Pictures p(128, 72);
  FrameBuilder f;
  // (0,0): orientation 0, v = 64, h = 64 from the reference: (64, 0).
  f.modes.PutString("010 000");
  f.vectors.Put(0x2040);
  // (8,0): top half skip; bottom half v = 64, h = 128: from the block origin, not the half.
  f.modes.PutString("100 11 01 000");
  f.vectors.Put(0x4040);
  // (16,0): orientation 5 (quarter turn clockwise), v = 64, h = 104: source (40, 0).
  f.modes.PutString("010 101");
  f.vectors.Put(0x3440);
  f.SkipBlocks(5);
  // (64,0): v = 64, h = 120: source (72, 0).
  f.modes.PutString("010 000");
  f.vectors.Put(0x3C40);
  f.SkipBlocks(7);
  // (0,8): h = 200 at x = 0 wraps to column 128 - 72 = 56.
  f.modes.PutString("010 000");
  f.vectors.Put(0x6440);
  f.SkipBlocks(111);
  // (0,64): s = 1: the output picture at (64, 0), written earlier in this frame.
  f.modes.PutString("010 000");
  f.vectors.Put(0xA040);
  // (8,64): side halves; the left one from the output picture at row y + 4 - v = 0 and column
  // 8 + 128 - 72 = 64; the right one skipped.
  f.modes.PutString("101 01 000 11");
  f.vectors.Put(0xA444);
  f.SkipBlocks(14);
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  ExpectRegion(p, 0, 0, 8, 8, Ref(64, 0), "0x2040");
  ExpectRegion(p, 8, 0, 8, 4, Ref(8, 0), "skipped top half");
  ExpectRegion(p, 8, 4, 8, 4, Ref(8, 0), "bottom half from the block origin");
  ExpectRegion(
      p, 16, 0, 8, 8, [](int c, int r) { return RefPixel(40 + r, 7 - c); }, "orientation 5");
  ExpectRegion(p, 64, 0, 8, 8, Ref(72, 0), "0x3C40");
  ExpectRegion(p, 0, 8, 8, 8, Ref(56, 8), "wrapped column");
  ExpectRegion(p, 0, 64, 8, 8, Ref(72, 0), "from the output picture");
  ExpectRegion(p, 8, 64, 4, 8, Ref(72, 0), "left half from the output picture");
  ExpectRegion(p, 12, 64, 4, 8, Ref(12, 64), "skipped right half");
}

TEST(DeltaFrame, EighthsAndSixteenths) {
  Pictures p(24, 8);
  FrameBuilder f;
  f.modes.PutString("011");  // (0,0): DCT block, DC 0 everywhere: grey
  f.DcBlock(0, 0, 0);
  f.modes.PutString("1110");            // (8,0): quarters
  f.modes.PutString("101 0 110");       // q0: wide eighths: spiral (index 0), skip
  f.modes.PutString("110 10 111");      // q1: tall eighths: short word; split into sixteenths
  f.modes.PutString("0 11");            //     sixteenth 5: spiral (index 1); 7: skip
  f.modes.PutString("100");             // q2: skip
  f.modes.PutString("111 10 11 0 10");  // q3: sixteenths 12 word, 13 skip, 14 spiral, 15 word
  f.SkipBlocks(1);
  f.spirals.Put(0);
  f.spirals.Put(1);
  f.spirals.Put(0);
  f.vectors.Put(0x07E0);  // n = 2016: (-1, 0) from the block origin, orientation 0
  f.vectors.Put(0x17E0);  // the same with orientation 1 (mirror)
  f.vectors.Put(0x8347);  // s = 1, n = 839: the output picture at (-8, 0), the grey block
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  ExpectRegion(p, 0, 0, 8, 8, Solid(0x4210), "DCT block");
  ExpectRegion(p, 8, 0, 4, 2, Ref(9, 0), "upper wide eighth by spiral");
  ExpectRegion(p, 8, 2, 4, 2, Ref(8, 2), "lower wide eighth skipped");
  ExpectRegion(p, 12, 0, 2, 4, Ref(7, 0), "tall eighth from the block origin");
  ExpectRegion(p, 14, 0, 2, 4, Ref(14, 0), "sixteenths 5 and 7");
  ExpectRegion(p, 8, 4, 4, 4, Ref(8, 4), "skipped quarter");
  ExpectRegion(
      p, 12, 4, 2, 2, [](int c, int r) { return RefPixel(8 - c, r); }, "mirrored sixteenth");
  ExpectRegion(p, 14, 4, 2, 2, Ref(14, 4), "skipped sixteenth");
  ExpectRegion(p, 12, 6, 2, 2, Ref(13, 6), "sixteenth by spiral");
  ExpectRegion(p, 14, 6, 2, 2, Solid(0x4210), "sixteenth from the output picture");
  ExpectRegion(p, 16, 0, 8, 8, Ref(16, 0), "skipped block");
}

TEST(DeltaFrame, ModeBitsContinueIntoNextWord) {
  Pictures p(96, 8);
  FrameBuilder f;
  f.SkipBlocks(10);          // bits 0-29
  f.modes.PutString("00");   // bits 30-31: spiral, index 0
  f.modes.PutString("010");  // bits 32-34: from bit 31 of the second word on
  f.modes.PutString("001");  // orientation 1
  f.spirals.Put(0);
  f.vectors.Put(0x1040);  // v = 64, h = 32: column 88 + 128 - 32 = 184 wraps to 88
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  ExpectRegion(p, 0, 0, 80, 8, Ref(0, 0), "skipped blocks");
  ExpectRegion(p, 80, 0, 8, 8, Ref(81, 0), "spiral block");
  ExpectRegion(
      p, 88, 0, 8, 8, [](int c, int r) { return RefPixel(95 - c, r); }, "mirrored block");
}

TEST(DeltaFrame, WideningPastTheWrapTable) {
  // At x = 1024 the wrapped column is computed directly: 1024 + 128 - 0 - 1032 = 120.
  Pictures p(1032, 8);
  for (size_t i = 0; i < p.reference.size(); ++i) p.reference[i] = static_cast<uint16_t>(i * 7);
  FrameBuilder f;
  f.SkipBlocks(128);
  f.modes.PutString("010 000");
  f.vectors.Put(0x0040);  // v = 64, h = 0
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  ExpectRegion(
      p, 1024, 0, 8, 8, [&](int c, int r) { return p.reference[p.Index(120 + c, r)]; },
      "block at x = 1024");
}

TEST(DeltaFrame, DctBlockInBothFormats) {
  for (int depth : {15, 16}) {
    Pictures p(16, 8);
    FrameBuilder f;
    f.frame_word = 100;  // DC multiplier 16: a level of 127 gives Y = 2032
    f.modes.PutString("011 011");
    f.DcBlock(127, 0, 0);
    f.DcBlock(0, 0, 0);
    ASSERT_EQ(DecodeInto(p, f.Payload(), depth), kDecodeOk);
    ExpectRegion(p, 0, 0, 8, 8, Solid(depth == 16 ? 0xFFDF : 0x7FDF), "white");
    ExpectRegion(p, 8, 0, 8, 8, Solid(depth == 16 ? 0x8410 : 0x4210), "grey");
  }
}

TEST(KeyFrame, AllDctGreyInBothFormats) {
  for (int depth : {15, 16}) {
    Pictures p(16, 16);
    FrameBuilder f;
    f.frame_word = -50;
    for (int b = 0; b < 4; ++b) {
      f.modes.PutString("110");
      f.DcBlock(0, 0, 0);  // nine nibbles per block
    }
    const std::vector<uint8_t> payload = f.Payload();
    auto decoder = CreateVideoDecoder(16, 16, depth);
    // The reference picture is not needed by a key frame.
    ASSERT_EQ(DecodeVideoChunk(payload.data(), payload.size(), nullptr, p.output.data(), *decoder),
              kDecodeOk);
    EXPECT_EQ(p.output, std::vector<uint16_t>(256, depth == 16 ? 0x8410 : 0x4210));
    EXPECT_EQ(decoder->nibbles.position, 2 * decoder->coef_nibbles_start + 36);
  }
}

// A key-frame whole-block copy of the block onto itself (a = 0, h = 128, v = 0) leaves it as
// it was.
void KeepBlock(FrameBuilder& f) {
  f.modes.PutString("111 00");
  f.vectors.Put(0x4000);
}

TEST(KeyFrame, QuartersOfSixteenthsTakeOneWordEach) {
  Pictures p(48, 24);
  FrameBuilder f;
  f.frame_word = -50;
  for (int b = 0; b < 17; ++b) KeepBlock(f);
  // (40,16): quarters, each "11": four sixteenths by their own short words, no further bits.
  f.modes.PutString("10 11 11 11 11");
  for (int i = 0; i < 16; ++i) {
    // n = 2016: the output picture at (-33, -9) from the block origin, i.e. (7, 7).
    uint16_t word = 0x07E0;
    if (i == 1) word = 0x87E0;  // bit 15 is ignored
    if (i == 2) word = 0x37E0;  // orientation 3, half turn
    f.vectors.Put(word);
  }
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  ExpectRegion(p, 0, 0, 48, 16, Old(0, 0), "kept blocks");
  ExpectRegion(p, 0, 16, 40, 8, Old(0, 16), "kept blocks");
  for (int i = 0; i < 16; ++i) {
    const int q = i / 4;
    const int x = 40 + 4 * (q % 2) + 2 * (i % 2);
    const int y = 16 + 4 * (q / 2) + 2 * ((i / 2) % 2);
    if (i == 2) {
      ExpectRegion(
          p, x, y, 2, 2, [](int c, int r) { return OldPixel(8 - c, 8 - r); }, "half turn");
    } else {
      ExpectRegion(p, x, y, 2, 2, Old(7, 7), "sixteenth");
    }
  }
}

TEST(KeyFrame, LongWordsOrientationAndHalfRows) {
  Pictures p(16, 16);
  FrameBuilder f;
  f.frame_word = -50;
  KeepBlock(f);
  KeepBlock(f);
  // (0,8): a = 1 and bit 15 set: orientation 3 from the output picture at (8, 0)
  // (h = 120, v = 8).
  f.modes.PutString("111 01");
  f.vectors.Put(0xBC08);
  // (8,8): stacked halves. Top: row y + 4 - v = 0 (v = 12), column 8 + 128 - 136 = 0. Bottom:
  // quarters 2 and 3, both from (8, 12), the block's own column and row y + 4.
  f.modes.PutString("00 1 00");
  f.vectors.Put(0x440C);
  f.modes.PutString("0 00 00 00 00");
  f.vectors.Put(0x4000);
  f.vectors.Put(0x4000);
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  ExpectRegion(p, 0, 0, 16, 8, Old(0, 0), "kept blocks");
  ExpectRegion(
      p, 0, 8, 8, 8, [](int c, int r) { return OldPixel(15 - c, 7 - r); }, "orientation 3");
  ExpectRegion(p, 8, 8, 8, 4, Old(0, 0), "top half");
  ExpectRegion(p, 8, 12, 4, 4, Old(8, 12), "quarter 2 onto itself");
  ExpectRegion(p, 12, 12, 4, 4, Old(8, 12), "quarter 3 from the block's column");
}

TEST(KeyFrame, OverlappingCopyIsRasterOrder) {
  // One row up, same columns: each row reads the row above just after it was written, so the
  // whole block repeats the row above it.
  Pictures p(8, 16);
  FrameBuilder f;
  f.frame_word = -50;
  KeepBlock(f);
  f.modes.PutString("111 00");
  f.vectors.Put(0x4001);
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  ExpectRegion(
      p, 0, 8, 8, 8, [](int c, int) { return OldPixel(c, 7); }, "smeared row 7");

  // One column left, same rows (v = 0, h = 129): each pixel reads the one written just before
  // it, so every row repeats the pixel left of the block.
  Pictures q(16, 8);
  FrameBuilder g;
  g.frame_word = -50;
  KeepBlock(g);
  g.modes.PutString("111 00");
  g.vectors.Put(129 << 7);
  ASSERT_EQ(DecodeInto(q, g.Payload()), kDecodeOk);
  ExpectRegion(
      q, 8, 0, 8, 8, [](int, int r) { return OldPixel(7, r); }, "smeared column 7");
}

TEST(KeyFrame, EighthTree) {
  Pictures p(16, 8);
  FrameBuilder f;
  f.frame_word = -50;
  KeepBlock(f);
  // (8,0): quarters. q0: wide eighths, the first by a word, the second split in two.
  // q1: tall eighths, the first split, the second by a word. q2, q3: long copies onto
  // themselves (row y + 4 - 0, column 8).
  f.modes.PutString("10 01 0 1 10 1 0 00 00 00 00");
  // Short words into the output picture: n = 63 + 6 * 128 + 8 = 839 is (-8, 0) from the block
  // origin, i.e. (0, 0); adding k moves the source k columns left.
  f.vectors.Put(839);      // wide eighth 0
  f.vectors.Put(839 - 1);  // sixteenth 2 (wide eighth 1, left): one column right, (1, 0)
  f.vectors.Put(839);      // sixteenth 3 (wide eighth 1, right)
  f.vectors.Put(839);      // sixteenth 4 (tall eighth 2, upper)
  f.vectors.Put(839);      // sixteenth 6 (tall eighth 2, lower)
  f.vectors.Put(839);      // tall eighth 3
  f.vectors.Put(0x4000);
  f.vectors.Put(0x4000);
  ASSERT_EQ(DecodeInto(p, f.Payload()), kDecodeOk);
  ExpectRegion(p, 8, 0, 4, 2, Old(0, 0), "wide eighth 0");
  ExpectRegion(p, 8, 2, 2, 2, Old(1, 0), "sixteenth 2");
  ExpectRegion(p, 10, 2, 2, 2, Old(0, 0), "sixteenth 3");
  ExpectRegion(p, 12, 0, 2, 2, Old(0, 0), "sixteenth 4");
  ExpectRegion(p, 12, 2, 2, 2, Old(0, 0), "sixteenth 6");
  ExpectRegion(p, 14, 0, 2, 4, Old(0, 0), "tall eighth 3");
  ExpectRegion(p, 8, 4, 4, 4, Old(8, 4), "quarter 2 onto itself");
  ExpectRegion(p, 12, 4, 4, 4, Old(8, 4), "quarter 3 from the block's column");
}

}  // namespace
}  // namespace tarvel
