// The coefficient code writer: shortest codes worked out by hand, and random blocks read back
// by the decoder's coefficient reader.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "encoder/dct_encoder.h"
#include "video/coefficient_reader.h"
#include "video/inverse_dct.h"
#include "video/video_tables.h"

namespace tarvel {
namespace {

std::vector<int> Code(const std::int32_t (&levels)[64]) {
  std::uint8_t out[kMaxBlockNibbles];
  const int n = EncodeComponentLevels(levels, out);
  return std::vector<int>(out, out + n);
}

TEST(CoefficientCode, ShortestCodesForHandWorkedBlocks) {
  std::int32_t levels[64] = {};
  levels[0] = -2;  // DC only: 0xF, 0xE, end code
  EXPECT_EQ((std::vector<int>{15, 14, 0}), Code(levels));

  levels[0] = 18;
  levels[1] = 1;  // no zeros before it: code 11 with field 0, then the end code
  EXPECT_EQ((std::vector<int>{1, 2, 11, 0, 0}), Code(levels));

  levels[1] = 0;
  levels[3] = -1;  // two zeros then -1: the one-nibble code 5
  EXPECT_EQ((std::vector<int>{1, 2, 5, 0}), Code(levels));

  // Two zeros, then +2, -1, -1, +1: code 8, a = 0b0110 (run 2, four levels), fields 01 11 11 00.
  levels[3] = 2;
  levels[4] = -1;
  levels[5] = -1;
  levels[6] = 1;
  EXPECT_EQ((std::vector<int>{1, 2, 8, 6, 7, 12, 0}), Code(levels));

  // A level beyond 8 right at p: the literal, high nibble first (100 = 0x64).
  std::int32_t literal[64] = {};
  literal[1] = 100;
  EXPECT_EQ((std::vector<int>{0, 0, 15, 6, 4, 0}), Code(literal));
  literal[1] = -128;
  EXPECT_EQ((std::vector<int>{0, 0, 15, 8, 0, 0}), Code(literal));
}

TEST(CoefficientCode, ALastCoefficientAtPosition63NeedsNoEndCode) {
  // 62 zeros then +1: twelve skips of 5 (to position 61), then code 4 (run 2, +1) reaches 64.
  std::int32_t levels[64] = {};
  levels[63] = 1;
  std::vector<int> expected = {0, 0};
  for (int i = 0; i < 12; ++i) expected.push_back(1);
  expected.push_back(4);
  EXPECT_EQ(expected, Code(levels));
}

TEST(CoefficientCode, RandomBlocksReadBackThroughTheDecoder) {
  // Multipliers of 1 (and -1 for the negated tables) make the decoded coefficients the levels.
  std::int32_t dequant[6][64];
  for (int t = 0; t < 6; ++t)
    for (int j = 0; j < 64; ++j) dequant[t][j] = t < 3 ? 1 : -1;
  std::mt19937 random(3);
  for (int trial = 0; trial < 300; ++trial) {
    std::int32_t levels[3][64] = {};
    std::vector<std::uint8_t> nibbles;
    const int density = trial % 7;
    for (int c = 0; c < 3; ++c) {
      levels[c][0] = static_cast<std::int32_t>(random() % 256) - 128;
      for (int j = 1; j < 64; ++j) {
        if (static_cast<int>(random() % 8) > density) continue;
        const int kind = static_cast<int>(random() % 10);
        std::int32_t v = kind < 5 ? 1 + static_cast<std::int32_t>(random() % 2)
                                  : (kind < 9 ? 1 + static_cast<std::int32_t>(random() % 8)
                                              : 1 + static_cast<std::int32_t>(random() % 127));
        if (random() % 2) v = -v;
        levels[c][j] = v;
      }
      std::uint8_t out[kMaxBlockNibbles];
      const int n = EncodeComponentLevels(levels[c], out);
      nibbles.insert(nibbles.end(), out, out + n);
    }
    std::vector<std::uint8_t> bytes((nibbles.size() + 1) / 2, 0);
    for (std::size_t i = 0; i < nibbles.size(); ++i)
      bytes[i / 2] = static_cast<std::uint8_t>(bytes[i / 2] | (nibbles[i] << (4 * (i % 2))));
    NibbleReader reader;
    reader.data = bytes.data();
    reader.end = nibbles.size();
    std::int32_t coefficients[3][64];
    std::uint32_t masks[3];
    ASSERT_TRUE(ReadBlockCoefficients(reader, dequant, coefficients, masks)) << trial;
    EXPECT_EQ(nibbles.size(), reader.position) << "every nibble is consumed, no more";
    for (int c = 0; c < 3; ++c)
      for (int j = 0; j < 64; ++j)
        ASSERT_EQ(levels[c][j], coefficients[c][kZigzag[j]]) << trial << " " << c << " " << j;
  }
}

TEST(ForwardTransform, InvertsTheDecodersInverseTransform) {
  // Samples through the forward transform and back through the decoder's integer inverse
  // transform come back within the inverse transform's own rounding.
  std::mt19937 random(11);
  for (int trial = 0; trial < 50; ++trial) {
    float samples[64], coefficients[64];
    for (float& s : samples) s = static_cast<float>(static_cast<int>(random() % 4096) - 2048);
    ForwardDct8x8(samples, coefficients);
    std::int32_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = static_cast<std::int32_t>(std::lround(coefficients[i]));
    InverseDct8x8(block, 0xFFFF);
    // The integer transform truncates in both passes: a few units on average, a few dozen at
    // most on noise this rough. A wrong forward matrix is off by hundreds.
    double total = 0;
    for (int i = 0; i < 64; ++i) {
      ASSERT_NEAR(samples[i], block[i], 64.0) << trial << " " << i;
      total += std::abs(samples[i] - static_cast<float>(block[i]));
    }
    EXPECT_LT(total / 64, 12.0) << trial;
  }
}

}  // namespace
}  // namespace tarvel
