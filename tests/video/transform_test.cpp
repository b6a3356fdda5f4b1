// Inverse transform (lines, pass order, shortcuts) and colour conversion, against values
// worked out by hand from the arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "video/colour_convert.h"
#include "video/dct_block.h"
#include "video/inverse_dct.h"

namespace tarvel {
namespace {

using Line = std::array<int32_t, 8>;

Line Transform(Line in) {
  InverseDctLine(in.data(), 1);
  return in;
}

TEST(InverseDctLine, SingleCoefficientLines) {
  EXPECT_EQ(Transform({0, 16, 0, 0, 0, 0, 0, 0}), (Line{16, 14, 10, 3, -3, -10, -14, -16}));
  EXPECT_EQ(Transform({0, 0, 16, 0, 0, 0, 0, 0}), (Line{16, 8, -8, -16, -16, -8, 8, 16}));
  EXPECT_EQ(Transform({0, 0, 0, 16, 0, 0, 0, 0}), (Line{16, -6, -18, -12, 12, 18, 6, -16}));
  EXPECT_EQ(Transform({0, 0, 0, 0, 16, 0, 0, 0}), (Line{16, -16, -16, 16, 16, -16, -16, 16}));
  EXPECT_EQ(Transform({0, 0, 0, 0, 0, 16, 0, 0}), (Line{16, -26, 2, 28, -28, -2, 26, -16}));
  EXPECT_EQ(Transform({0, 0, 0, 0, 0, 0, 16, 0}), (Line{16, -40, 40, -16, -16, 40, -40, 16}));
  EXPECT_EQ(Transform({0, 0, 0, 0, 0, 0, 0, 16}), (Line{16, -46, 70, -83, 83, -70, 46, -16}));
  EXPECT_EQ(Transform({-48, 0, 0, 0, 0, 0, 0, 0}), (Line{-48, -48, -48, -48, -48, -48, -48, -48}));
}

TEST(InverseDctLine, ShiftsRoundTowardMinusInfinity) {
  EXPECT_EQ(Transform({0, 1, 0, 0, 0, 0, 0, 0}), (Line{1, 0, 1, 0, 0, -1, 0, -1}));
  EXPECT_EQ(Transform({0, -1, 0, 0, 0, 0, 0, 0}), (Line{-1, -1, -1, 1, -1, 1, 1, 1}));
}

TEST(InverseDctLine, Stride) {
  std::vector<int32_t> column(64, 7);
  for (int r = 0; r < 8; ++r) column[8 * r + 3] = r == 1 ? 16 : 0;
  InverseDctLine(column.data() + 3, 8);
  const Line expected{16, 14, 10, 3, -3, -10, -14, -16};
  for (int r = 0; r < 8; ++r) {
    EXPECT_EQ(column[8 * r + 3], expected[r]);
    EXPECT_EQ(column[8 * r + 2], 7);  // neighbours untouched
  }
}

TEST(InverseDct8x8, DcOnlyShortcutFillsBlock) {
  std::vector<int32_t> block(64, 999);  // stale values the mask says are empty
  block[0] = -48;
  InverseDct8x8(block.data(), 0x0101);
  EXPECT_EQ(block, std::vector<int32_t>(64, -48));
}

TEST(InverseDct8x8, SingleRowAndSingleColumnFills) {
  const Line row{16, 14, 10, 3, -3, -10, -14, -16};
  std::vector<int32_t> block(64, 0);
  block[1] = 16;  // row 0, column 1: R = 1 < C = 2, rows first, then row 0 copied down
  InverseDct8x8(block.data(), 0x0103);
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) EXPECT_EQ(block[8 * r + c], row[c]) << r << "," << c;
  }
  std::fill(block.begin(), block.end(), 0);
  block[8] = 16;  // row 1, column 0: columns first, then each row filled from column 0
  InverseDct8x8(block.data(), 0x0301);
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) EXPECT_EQ(block[8 * r + c], row[r]) << r << "," << c;
  }
}

TEST(InverseDct8x8, PassOrderComparesSignedBytes) {
  // Columns 0, 1 and 7 (C = 0x83, negative as a signed byte), rows 0 and 1 (R = 3): columns
  // go first because R < C fails in signed comparison.
  std::vector<int32_t> block(64, 0);
  block[0] = 64;
  block[1] = 100;
  block[9] = 100;
  block[7] = 50;
  std::vector<int32_t> rows_first = block;
  InverseDct8x8(block.data(), 0x0383);
  EXPECT_EQ(block[1], 95);
  EXPECT_EQ(block[0], 64 + 250);  // e0 + t7 of row 0 after the column pass (64, 200, .., 50)

  // The other order truncates differently.
  for (int r = 0; r < 2; ++r) InverseDctLine(rows_first.data() + 8 * r, 1);
  for (int c = 0; c < 8; ++c) InverseDctLine(rows_first.data() + c, 8);
  EXPECT_EQ(rows_first[1], 94);
}

TEST(InverseDct8x8, NegativeRowByteRunsRowsFirst) {
  // DC 16 and 16 at row 7, column 0: R = 0x81 reads as -127 < C = 1. Every column ends up
  // as the transform of (16, 0, 0, 0, 0, 0, 0, 16).
  std::vector<int32_t> block(64, 0);
  block[0] = 16;
  block[56] = 16;
  InverseDct8x8(block.data(), 0x8101);
  const Line column{32, -30, 86, -67, 99, -54, 62, 0};
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) EXPECT_EQ(block[8 * r + c], column[r]) << r << "," << c;
  }
}

// Four lines at a time must give what the line-by-line rules give, for every pass order and
// shortcut: random coefficients spread over random sets of rows and columns.
TEST(InverseDct8x8, MatchesLineByLineRules) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 20000; ++trial) {
    const unsigned rows = (rng() & 0xFF) | 1;
    const unsigned columns = (rng() & 0xFF) | 1;
    std::vector<int32_t> block(64, 0);
    block[0] = static_cast<int32_t>(rng() % 251) - 125;
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) {
        if (((rows >> r) & 1) && ((columns >> c) & 1) && (rng() % 3 == 0)) {
          // Up to the largest dequantised coefficient, 127 * 981.
          block[8 * r + c] = static_cast<int32_t>(rng() % 249175) - 124587;
        }
      }
    }
    const auto mask = static_cast<uint16_t>((rows << 8) | columns);
    std::vector<int32_t> expected = block;
    InverseDct8x8ByLines(expected.data(), mask);
    InverseDct8x8(block.data(), mask);
    ASSERT_EQ(block, expected) << "mask " << std::hex << mask;
  }
}

struct ColourCase {
  int32_t y, cb, cr;
  uint16_t pixel555, pixel565;
};

TEST(ConvertSampleToPixel, BothFormats) {
  const ColourCase cases[] = {
      {0, 0, 0, 0x4210, 0x8410},                 // mid grey
      {127 * 16, 0, 0, 0x7FDF, 0xFFDF},          // white: green stops one short of the top
      {0, 0, 100 * 16, 0x7CD0, 0xF990},          // r 288 -> 255, g 48, b 128
      {0, -80, 0, 0x420E, 0x840E},               // g 129, b 118
      {-1, -1, -1, 0x3DEF, 0x7BEF},              // arithmetic shifts: 127, 127, 126
      {0, 0, -272 * 16, 0x03D0, 0x07D0},         // red index clamped to -256: r 0, g 332
      {1 << 30, -(1 << 30), 0, 0x7FC0, 0xFFC0},  // huge samples: no overflow
  };
  for (const ColourCase& c : cases) {
    EXPECT_EQ(ConvertSampleToPixel(c.y, c.cb, c.cr, kPixelFormat555), c.pixel555)
        << c.y << " " << c.cb << " " << c.cr;
    EXPECT_EQ(ConvertSampleToPixel(c.y, c.cb, c.cr, kPixelFormat565), c.pixel565)
        << c.y << " " << c.cb << " " << c.cr;
  }
}

TEST(ConvertSamplesToPixels, WritesEightRowsAtPitch) {
  std::vector<int32_t> y(64, 0), cb(64, 0), cr(64, 0);
  y[63] = 127 * 16;
  std::vector<uint16_t> picture(16 * 9, 0x1234);
  ConvertSamplesToPixels(y.data(), cb.data(), cr.data(), kPixelFormat555, picture.data() + 16 + 8,
                         16);
  EXPECT_EQ(picture[16 + 8], 0x4210);
  EXPECT_EQ(picture[8 * 16 + 15], 0x7FDF);
  EXPECT_EQ(picture[16 + 7], 0x1234);  // left of the block
  EXPECT_EQ(picture[15], 0x1234);      // row above
}

TEST(ConvertSamplesToPixels, MatchesSinglePixelRules) {
  // Random samples of every magnitude, including values past the chroma tables and past
  // 16 bits, in both formats.
  std::mt19937 rng(9);
  auto sample = [&]() {
    const int shift = static_cast<int>(rng() % 27);
    return static_cast<int32_t>(rng()) >> shift;
  };
  for (int trial = 0; trial < 4000; ++trial) {
    std::vector<int32_t> y(64), cb(64), cr(64);
    for (int i = 0; i < 64; ++i) {
      y[i] = sample();
      cb[i] = sample();
      cr[i] = sample();
    }
    for (int32_t format : {kPixelFormat555, kPixelFormat565}) {
      std::vector<uint16_t> out(64);
      ConvertSamplesToPixels(y.data(), cb.data(), cr.data(), format, out.data(), 8);
      for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(out[i], ConvertSampleToPixel(y[i], cb[i], cr[i], format))
            << y[i] << " " << cb[i] << " " << cr[i];
      }
    }
  }
  // Every chroma table index, with luma around mid grey.
  for (int32_t v = -300 * 16; v <= 560 * 16; v += 7) {
    for (int32_t format : {kPixelFormat555, kPixelFormat565}) {
      std::vector<int32_t> y(64, v / 9), cb(64, v), cr(64, -v);
      std::vector<uint16_t> out(64);
      ConvertSamplesToPixels(y.data(), cb.data(), cr.data(), format, out.data(), 8);
      ASSERT_EQ(out[0], ConvertSampleToPixel(v / 9, v, -v, format)) << v;
    }
  }
}

// Each level's block kernel gives the pixels of the line-by-line transform and the single-pixel
// rules, at any pitch, writes nothing around the block and leaves the coefficients all zero.
TEST(DctBlockKernel, EveryLevelMatchesThePlainRules) {
  constexpr int kPitch = 11;
  std::mt19937 rng(11);
  for (const VideoSimdLevel level : {VideoSimdLevel::kBaseline, VideoSimdLevel::kAvx2}) {
    if (static_cast<int>(level) > static_cast<int>(SupportedVideoSimdLevel())) continue;
    const DctBlockKernel kernel = DctBlockKernelFor(level);
    for (int trial = 0; trial < 6000; ++trial) {
      alignas(64) int32_t coefficients[3][64] = {};
      uint32_t masks[3];
      int32_t samples[3][64];
      // Magnitudes from small to the largest dequantised coefficient, 127 * 981.
      const int32_t range = std::array<int32_t, 3>{64, 4096, 124587}[trial % 3];
      for (int c = 0; c < 3; ++c) {
        const unsigned rows = rng() & 0xFF;
        const unsigned columns = rng() & 0xFF;
        uint32_t mask = 0x0101;
        coefficients[c][0] = static_cast<int32_t>(rng() % (2 * range + 1)) - range;
        for (int k = 1; k < 64; ++k) {
          if (((rows >> (k / 8)) & 1) && ((columns >> (k % 8)) & 1) && rng() % 3 == 0) {
            // A coded coefficient, now and then a literal zero.
            coefficients[c][k] =
                rng() % 8 == 0 ? 0 : static_cast<int32_t>(rng() % (2 * range + 1)) - range;
            mask |= (1u << (k % 8)) | (1u << (8 + k / 8));
          }
        }
        masks[c] = mask;
        std::copy(coefficients[c], coefficients[c] + 64, samples[c]);
        InverseDct8x8ByLines(samples[c], static_cast<uint16_t>(mask));
      }
      const int32_t format = trial % 2 ? kPixelFormat565 : kPixelFormat555;
      std::vector<uint16_t> picture(kPitch * 10, 0xABCD);
      kernel(coefficients, masks, format, picture.data() + kPitch + 1, kPitch);
      for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(picture[(1 + i / 8) * kPitch + 1 + i % 8],
                  ConvertSampleToPixel(samples[0][i], samples[1][i], samples[2][i], format))
            << VideoSimdLevelName(level) << " trial " << trial << " pixel " << i;
      }
      for (int r = 0; r < 10; ++r) {
        for (int x = 0; x < kPitch; ++x) {
          if (r >= 1 && r <= 8 && x >= 1 && x <= 8) continue;
          ASSERT_EQ(picture[r * kPitch + x], 0xABCD) << r << ", " << x;
        }
      }
      for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < 64; ++k) ASSERT_EQ(coefficients[c][k], 0) << c << ", " << k;
      }
    }
  }
}

}  // namespace
}  // namespace tarvel
