// Shared, geometry and dequantisation tables, checked against values worked out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "video/block_codes.h"
#include "video/video_decoder.h"
#include "video/video_tables.h"

namespace tarvel {
namespace {

TEST(SharedTables, PrescaleFactors) {
  const SharedTables& t = BuildSharedTables();
  EXPECT_EQ(t.prescale[0], 16384);
  EXPECT_EQ(t.prescale[1], 22725);
  EXPECT_EQ(t.prescale[8], 22725);
  EXPECT_EQ(t.prescale[9], 31521);
  EXPECT_EQ(t.prescale[4], 16384);  // s(4) = sqrt(2) cos(pi/4) = 1
  EXPECT_EQ(t.prescale[63], 1247);
}

TEST(SharedTables, ChromaTablesTruncateTowardZero) {
  const SharedTables& t = BuildSharedTables();
  auto red = [&](int v) { return t.chroma_red[v - kChromaMin]; };
  auto green = [&](int v) { return t.chroma_green[v - kChromaMin]; };
  EXPECT_EQ(red(0), 0);
  EXPECT_EQ(red(1), 2);
  EXPECT_EQ(red(-1), 0);
  EXPECT_EQ(red(100), 160);
  EXPECT_EQ(red(-5), -7);
  EXPECT_EQ(red(5), 8);
  EXPECT_EQ(red(-256), -408);
  EXPECT_EQ(red(511), 818);
  EXPECT_EQ(green(-5), -1);
  EXPECT_EQ(green(5), 1);
  EXPECT_EQ(green(-256), -85);
  EXPECT_EQ(green(511), 170);
}

TEST(SharedTables, MaskBits) {
  const SharedTables& t = BuildSharedTables();
  EXPECT_EQ(t.mask_bits[0][0], 0x0101);
  EXPECT_EQ(t.mask_bits[1][2], 0x0201);
  EXPECT_EQ(t.mask_bits[2][5], 0x0104);  // natural 2: column 2, row 0
  EXPECT_EQ(t.mask_bits[0][63], 0x8080);
}

TEST(GeometryTables, Width320) {
  auto d = CreateVideoDecoder(240, 320, 15);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->pitch, 640);
  EXPECT_EQ(d->width3, 960);
  EXPECT_EQ(d->width7, 2240);
  const int32_t* quarters = d->sub_block_offsets[static_cast<int>(PieceSize::kQuarter)];
  EXPECT_EQ(std::vector<int32_t>(quarters, quarters + 4), (std::vector<int32_t>{0, 8, 2560, 2568}));
  const int32_t* wide = d->sub_block_offsets[static_cast<int>(PieceSize::kWideEighth)];
  EXPECT_EQ(std::vector<int32_t>(wide, wide + 8),
            (std::vector<int32_t>{0, 1280, 8, 1288, 2560, 3840, 2568, 3848}));
  const int32_t* tall = d->sub_block_offsets[static_cast<int>(PieceSize::kTallEighth)];
  EXPECT_EQ(std::vector<int32_t>(tall, tall + 8),
            (std::vector<int32_t>{0, 4, 8, 12, 2560, 2564, 2568, 2572}));
  const int32_t* six = d->sub_block_offsets[static_cast<int>(PieceSize::kSixteenth)];
  EXPECT_EQ(std::vector<int32_t>(six, six + 16),
            (std::vector<int32_t>{0, 4, 1280, 1284, 8, 12, 1288, 1292, 2560, 2564, 3840, 3844, 2568,
                                  2572, 3848, 3852}));
  EXPECT_EQ(d->sub_block_offsets[static_cast<int>(PieceSize::kStackedHalf)][1], 2560);
  EXPECT_EQ(d->sub_block_offsets[static_cast<int>(PieceSize::kSideHalf)][1], 8);

  EXPECT_EQ(d->square_vector_table[2015], 0);
  EXPECT_EQ(d->square_vector_table[0], 19902);
  EXPECT_EQ(d->square_vector_table[4095], -32 * 640 - 64);
  EXPECT_EQ(d->wide_vector_table[0], 3966);
  EXPECT_EQ(d->wide_vector_table[4095], -25 * 640 - 128);

  EXPECT_EQ(d->wrap_table[kWrapTableBias + 0], 256);
  EXPECT_EQ(d->wrap_table[kWrapTableBias - 200], 496);
  EXPECT_EQ(d->wrap_table[kWrapTableBias + 300], 216);
  EXPECT_EQ(d->wrap_table[0], -1792 + 640);  // wrapped once only
}

TEST(GeometryTables, SpiralRingsInnermostFirst) {
  auto d = CreateVideoDecoder(240, 320, 15);
  ASSERT_TRUE(d);
  // (dx, dy) of indexes 0 to 15, then the outermost corner.
  const int expected[16][2] = {{1, 0},  {0, 0},  {0, 1},  {1, 1},   {2, 1},  {2, 0},
                               {2, -1}, {1, -1}, {0, -1}, {-1, -1}, {-1, 0}, {-1, 1},
                               {-1, 2}, {0, 2},  {1, 2},  {2, 2}};
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(d->spiral_table[i], expected[i][0] + expected[i][1] * 320) << i;
  }
  EXPECT_EQ(d->spiral_table[291], -8 + -6 * 320);  // ring 17, up side
  EXPECT_EQ(d->spiral_table[4095], 10272);
  std::set<int32_t> distinct(d->spiral_table, d->spiral_table + kSpiralTableSize);
  EXPECT_EQ(distinct.size(), 4096u);
  for (int32_t v : distinct) {
    const int dy = (v + 31 + 31 * 320) / 320 - 31;  // floor division for dx in -31..32
    const int dx = v - dy * 320;
    ASSERT_TRUE(dx >= -31 && dx <= 32 && dy >= -31 && dy <= 32) << v;
  }
}

TEST(DequantTables, QualityScaling) {
  DecoderState s;
  BuildDequantTables(s, 100);  // every quantiser at the floor 8
  EXPECT_EQ(s.luma_quant[0], 8);
  EXPECT_EQ(s.chroma_quant[63], 8);
  EXPECT_EQ(s.dequant[0][0], 16);
  EXPECT_EQ(s.dequant[0][1], 22);  // (8 * 22725) >> 13
  EXPECT_EQ(s.dequant[3][1], -22);

  BuildDequantTables(s, 50);  // base tables unscaled
  EXPECT_EQ(s.luma_quant[0], 16);
  EXPECT_EQ(s.chroma_quant[0], 17);
  EXPECT_EQ(s.dequant[0][0], 32);
  EXPECT_EQ(s.dequant[1][0], 34);
  EXPECT_EQ(s.dequant[2][0], 34);
  EXPECT_EQ(s.dequant[5][0], -34);
  // Zigzag 4 is natural 9: (12 * 31521) >> 13 = 46.
  EXPECT_EQ(s.dequant[0][4], 46);

  BuildDequantTables(s, 75);  // S = 50
  EXPECT_EQ(s.luma_quant[0], 8);
  EXPECT_EQ(s.luma_quant[1], 8);  // 6 before the floor
  EXPECT_EQ(s.luma_quant[63], 50);

  BuildDequantTables(s, 10);  // S = 500
  EXPECT_EQ(s.luma_quant[1], 55);
  EXPECT_EQ(s.luma_quant[63], 255);

  BuildDequantTables(s, 1);  // every quantiser capped at 255
  EXPECT_EQ(s.luma_quant[0], 255);
  EXPECT_EQ(s.dequant[0][0], 510);
  EXPECT_EQ(s.dequant[0][4], 981);  // the largest multiplier
}

TEST(DequantTables, OutOfRangeQualities) {
  DecoderState a;
  DecoderState b;
  BuildDequantTables(a, 0);
  BuildDequantTables(b, 1);
  EXPECT_EQ(0, std::memcmp(a.dequant, b.dequant, sizeof(a.dequant)));
  BuildDequantTables(a, 101);
  BuildDequantTables(b, 100);
  EXPECT_EQ(0, std::memcmp(a.dequant, b.dequant, sizeof(a.dequant)));
}

TEST(CreateVideoDecoder, RefusesUnusableSizes) {
  EXPECT_FALSE(CreateVideoDecoder(0, 64, 15));
  EXPECT_FALSE(CreateVideoDecoder(64, 0, 15));
  EXPECT_FALSE(CreateVideoDecoder(64, 60, 15));
  EXPECT_FALSE(CreateVideoDecoder(36, 64, 16));
  EXPECT_FALSE(CreateVideoDecoder(-8, 64, 16));
  auto d15 = CreateVideoDecoder(8, 8, 15);
  auto d16 = CreateVideoDecoder(8, 8, 16);
  ASSERT_TRUE(d15 && d16);
  EXPECT_EQ(d15->pixel_format, kPixelFormat555);
  EXPECT_EQ(d16->pixel_format, kPixelFormat565);
  EXPECT_TRUE(CreateVideoDecoder(16, 1032, 15));  // wider than the wrap table covers
}

// Each tree level's codes form one complete prefix code (no code begins another, and every bit
// string begins with one): a decoder reading bit by bit and one reading a window of four bits
// find the same mode.
TEST(BlockCodes, EveryLevelIsACompletePrefixCode) {
  const BlockCodeTable* tables[] = {&kDeltaWholeCodes,  &kDeltaHalfCodes,      &kDeltaQuarterCodes,
                                    &kDeltaEighthCodes, &kDeltaSixteenthCodes, &kKeyWholeCodes,
                                    &kKeyHalfCodes,     &kKeyQuarterCodes,     &kKeyEighthCodes};
  for (const BlockCodeTable* table : tables) {
    double kraft = 0;
    for (const BlockCode& a : table->code) {
      if (a.length == 0) continue;
      kraft += 1.0 / (1 << a.length);
      for (const BlockCode& b : table->code) {
        if (&a != &b && b.length >= a.length && b.length > 0) {
          EXPECT_NE(a.bits, b.bits >> (b.length - a.length)) << "a code begins another";
        }
      }
    }
    EXPECT_EQ(1.0, kraft);
    for (int window = 0; window < 16; ++window) {
      const BlockMode mode = table->mode_of_window[window];
      const BlockCode code = table->CodeOf(mode);
      EXPECT_EQ(code.bits, window >> (4 - code.length));
      EXPECT_EQ(code.length, table->length_of_window[window]);
    }
  }
  // Spot checks against the trees: a delta frame's four quarters, a key frame's whole copy.
  EXPECT_EQ(0b1110, kDeltaWholeCodes.CodeOf(BlockMode::kQuarters).bits);
  EXPECT_EQ(4, kDeltaWholeCodes.CodeOf(BlockMode::kQuarters).length);
  EXPECT_EQ(0b111, kKeyWholeCodes.CodeOf(BlockMode::kVector).bits);
  EXPECT_EQ(0b100, kDeltaQuarterCodes.CodeOf(BlockMode::kSkip).bits);
}

}  // namespace
}  // namespace tarvel
