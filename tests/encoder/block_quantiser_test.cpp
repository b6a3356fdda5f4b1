// The DCT block quantiser: levels of the three components chosen together against the decoded
// RGB error, levels chosen with the code that carries them, the decoder's samples of a set of
// levels, the error of a decoded block, and the refinement against the exact decoded picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "encoder/dct_encoder.h"
#include "video/coefficient_reader.h"
#include "video/inverse_dct.h"
#include "video/video_tables.h"

namespace tarvel {
namespace {

// Every multiplier `step` (and its negation in the negated tables).
void FlatTables(std::int32_t step, std::int32_t (&dequant)[6][64]) {
  for (int t = 0; t < 6; ++t)
    for (int j = 0; j < 64; ++j) dequant[t][j] = t < 3 ? step : -step;
}

TEST(QuantiseColourBlock, ExactMultiplesAndLimits) {
  std::int32_t dequant[6][64];
  FlatTables(10, dequant);
  float coefficients[3][64] = {};
  coefficients[0][0] = 70;   // Y DC: level 7
  coefficients[1][1] = -30;  // Cb at zigzag 1: level -3
  std::int32_t levels[3][64];
  QuantiseColourBlock(coefficients, dequant, 0, levels);
  EXPECT_EQ(7, levels[0][0]);
  EXPECT_EQ(-3, levels[1][1]);
  int nonzero = 0;
  for (const auto& component : levels)
    for (const std::int32_t level : component) nonzero += level != 0;
  EXPECT_EQ(2, nonzero);
  // Beyond the code's range a level stops at -128 or 127 (the other components of that
  // frequency may then lean to make up for part of the error).
  coefficients[2][8] = 2000;    // Cr at zigzag 2: 200
  coefficients[0][63] = -5000;  // Y at zigzag 63: -500
  QuantiseColourBlock(coefficients, dequant, 0, levels);
  EXPECT_EQ(127, levels[2][2]);
  EXPECT_EQ(-128, levels[0][63]);
}

TEST(QuantiseColourBlock, TradesOneComponentsErrorAgainstAnothers) {
  // Y and Cb both 4.9 at the DC, steps of 10, Cr 0. Rounding each alone gives levels 0 and 0,
  // errors (4.9, 4.9) in sample units: red +0.306, green 0.306 - 4.9/48 = +0.204, blue 0.306 +
  // 4.9/8 = +0.919; squared sum 0.98. Levels 1 and 0 leave (-5.1, 4.9): red -0.319, green -0.421,
  // blue +0.294, sum 0.365. Levels 0 and 1 leave (4.9, -5.1): 0.306, 0.413, -0.331, sum 0.374.
  // Levels 1 and 1: -0.319, -0.212, -0.956, sum 1.06. The best is Y 1, Cb 0.
  std::int32_t dequant[6][64];
  FlatTables(10, dequant);
  float coefficients[3][64] = {};
  coefficients[0][0] = 4.9f;
  coefficients[1][0] = 4.9f;
  std::int32_t levels[3][64];
  QuantiseColourBlock(coefficients, dequant, 0, levels);
  EXPECT_EQ(1, levels[0][0]);
  EXPECT_EQ(0, levels[1][0]);
  EXPECT_EQ(0, levels[2][0]);
}

TEST(QuantiseColourBlock, BitsWeighAgainstACLevelsOnly) {
  // Y at 0.6 steps at the DC and at zigzag 1, the chroma exactly 0: rounding gives 1 and 1.
  std::int32_t dequant[6][64];
  FlatTables(10, dequant);
  float coefficients[3][64] = {};
  coefficients[0][0] = 6;
  coefficients[0][1] = 6;
  std::int32_t levels[3][64];
  QuantiseColourBlock(coefficients, dequant, 0, levels);
  EXPECT_EQ(1, levels[0][0]);
  EXPECT_EQ(1, levels[0][1]);
  // At a huge weight per bit the AC level is dropped; the DC always costs its 8 bits and is
  // chosen by error alone.
  QuantiseColourBlock(coefficients, dequant, 1e9f, levels);
  EXPECT_EQ(1, levels[0][0]);
  EXPECT_EQ(0, levels[0][1]);
  for (int c = 1; c < 3; ++c) EXPECT_EQ(0, levels[c][0] | levels[c][1]) << c;
}

TEST(LevelsToSamples, MatchesTheDecodersReadingOfTheCode) {
  // The samples the encoder works with are those the decoder makes of the coded levels: the same
  // multipliers, placement and pass order (picked from the mask the code gives).
  std::int32_t dequant[6][64];
  BuildSharedTables();
  for (int j = 0; j < 64; ++j) {
    dequant[0][j] = dequant[1][j] = dequant[2][j] = 8 + 3 * j;
    dequant[3][j] = dequant[4][j] = dequant[5][j] = -(8 + 3 * j);
  }
  std::mt19937 random(17);
  for (int trial = 0; trial < 200; ++trial) {
    std::int32_t levels[64] = {};
    levels[0] = static_cast<std::int32_t>(random() % 256) - 128;
    const int spread = 1 + trial % 63;
    for (int n = trial % 6; n > 0; --n)
      levels[1 + random() % spread] = static_cast<std::int32_t>(random() % 17) - 8;
    std::uint8_t nibbles[kMaxBlockNibbles];
    int count = 0;
    for (int c = 0; c < 3; ++c) count += EncodeComponentLevels(levels, nibbles + count);
    std::vector<std::uint8_t> bytes((count + 1) / 2 + 8, 0);
    for (int i = 0; i < count; ++i)
      bytes[i / 2] = static_cast<std::uint8_t>(bytes[i / 2] | (nibbles[i] << (4 * (i % 2))));
    NibbleReader reader;
    reader.data = bytes.data();
    reader.end = static_cast<std::size_t>(count);
    std::int32_t decoded[3][64];
    std::uint32_t masks[3];
    ASSERT_TRUE(ReadBlockCoefficients(reader, dequant, decoded, masks));
    InverseDct8x8(decoded[0], static_cast<std::uint16_t>(masks[0]));
    std::int32_t samples[64];
    LevelsToSamples(levels, dequant[0], samples);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(decoded[0][i], samples[i]) << trial << " " << i;
  }
  // A DC level alone fills the block: 3 x 16.
  std::int32_t dc[64] = {3};
  std::int32_t sixteen[64];
  for (std::int32_t& m : sixteen) m = 16;
  std::int32_t samples[64];
  LevelsToSamples(dc, sixteen, samples);
  for (const std::int32_t s : samples) EXPECT_EQ(48, s);
}

TEST(DecodedBlockError, WidensFiveBitFieldsAsTheViewerDoes) {
  // Zero samples decode to 128 in each channel: field 16, shown as 16 << 3 | 16 >> 2 = 132.
  // Against a source of 130 every channel is 2 off: 64 pixels x 3 channels x 4 = 768.
  std::int32_t samples[3][64] = {};
  std::vector<std::uint8_t> source(8 * 8 * 3, 130);
  std::uint16_t pixels[64];
  EXPECT_EQ(768, DecodedBlockError(samples, source.data(), 24, pixels));
  EXPECT_EQ(0x4210, pixels[0]);
  EXPECT_EQ(0x4210, pixels[63]);
  // Rows are `stride` bytes apart: a source twice as wide, only its left half compared.
  std::vector<std::uint8_t> wide(16 * 8 * 3, 0);
  for (int r = 0; r < 8; ++r)
    for (int i = 0; i < 24; ++i) wide[static_cast<std::size_t>(r * 48 + i)] = 132;
  EXPECT_EQ(0, DecodedBlockError(samples, wide.data(), 48, pixels));
}

TEST(RefineColourBlock, NeverWorseAndReportsTheErrorOfItsLevels) {
  std::int32_t dequant[6][64];
  std::int32_t luma[64], chroma[64];
  ComputeQuantisers(75, luma, chroma);
  const SharedTables& tables = BuildSharedTables();
  for (int j = 0; j < 64; ++j) {
    const int k = kZigzag[j];
    dequant[0][j] = DequantMultiplier(luma[k], tables.prescale[k]);
    dequant[1][j] = dequant[2][j] = DequantMultiplier(chroma[k], tables.prescale[k]);
    for (int c = 0; c < 3; ++c) dequant[3 + c][j] = -dequant[c][j];
  }
  std::mt19937 random(29);
  int improved = 0;
  for (int trial = 0; trial < 60; ++trial) {
    // Busy blocks with saturated corners, where clamping and the 5-bit packing matter.
    std::vector<std::uint8_t> source(8 * 8 * 3);
    for (std::size_t i = 0; i < source.size(); ++i)
      source[i] = i % 5 == 0 ? 255 : static_cast<std::uint8_t>(random() % 256);
    float coefficients[3][64];
    for (auto& component : coefficients)
      for (float& v : component) v = static_cast<float>(static_cast<int>(random() % 1600) - 800);
    std::int32_t levels[3][64];
    QuantiseColourBlock(coefficients, dequant, 0, levels);
    std::int32_t samples[3][64];
    std::uint16_t pixels[64];
    for (int c = 0; c < 3; ++c) LevelsToSamples(levels[c], dequant[c], samples[c]);
    const std::int64_t before = DecodedBlockError(samples, source.data(), 24, pixels);
    const std::int64_t after =
        RefineColourBlock(coefficients, dequant, source.data(), 24, 0.0f, 0.0f, levels);
    EXPECT_LE(after, before) << trial;
    improved += after < before;
    for (int c = 0; c < 3; ++c) LevelsToSamples(levels[c], dequant[c], samples[c]);
    EXPECT_EQ(after, DecodedBlockError(samples, source.data(), 24, pixels)) << trial;
  }
  EXPECT_GT(improved, 30);
}

TEST(RefineColourBlock, DropsLastLevelsThatAreNotWorthTheirBits) {
  // Two small AC levels per component on a flat grey source: at a huge weight per bit both go,
  // at no weight they stay if they lower the error.
  std::int32_t dequant[6][64];
  FlatTables(16, dequant);
  float coefficients[3][64] = {};
  std::int32_t levels[3][64] = {};
  for (int c = 0; c < 3; ++c) {
    levels[c][3] = 1;
    levels[c][9] = -1;
  }
  const std::vector<std::uint8_t> grey(8 * 8 * 3, 132);
  const std::int64_t error =
      RefineColourBlock(coefficients, dequant, grey.data(), 24, 0.2f, 1e9f, levels);
  for (int c = 0; c < 3; ++c)
    for (int j = 1; j < 64; ++j) EXPECT_EQ(0, levels[c][j]) << c << " " << j;
  EXPECT_EQ(0, error);  // the grey block alone: samples 0 show as 132
}

// One component with unit steps and weights and no cross term: a position's distortion is the
// squared distance of its level from the value.
struct UnitComponent {
  float values[64] = {};
  float steps[64], own[64], cross[64] = {};
  std::int32_t levels[64] = {};
  UnitComponent() {
    for (int j = 0; j < 64; ++j) steps[j] = own[j] = 1;
  }
  void Choose(float lambda) { ChooseComponentLevels(values, steps, own, cross, lambda, levels); }
};

TEST(ChooseComponentLevels, WithoutABitPriceEveryLevelIsTheNearest) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-140.0f, 140.0f);
  UnitComponent c;
  for (int j = 1; j < 64; ++j) c.values[j] = j % 3 == 0 ? 0.2f : value(random);
  c.levels[0] = 42;
  c.Choose(0);
  EXPECT_EQ(42, c.levels[0]);  // the DC is not the trellis's
  for (int j = 1; j < 64; ++j)
    EXPECT_EQ(std::clamp(static_cast<int>(std::lround(c.values[j])), -128, 127), c.levels[j]) << j;
  c.Choose(1e9f);
  for (int j = 1; j < 64; ++j) EXPECT_EQ(0, c.levels[j]) << j;
}

TEST(ChooseComponentLevels, WeighsEachLevelAgainstTheCodeThatCarriesIt) {
  // 0.6 at position 1: level 1 there takes code 11 and its nibble before the end code, two
  // nibbles (8 bits) more than the end code alone, for 0.36 - 0.16 = 0.2 less error: kept while
  // 8 lambda < 0.2.
  UnitComponent a;
  a.values[1] = 0.6f;
  a.Choose(0.02f);
  EXPECT_EQ(1, a.levels[1]);
  a.Choose(0.03f);
  EXPECT_EQ(0, a.levels[1]);
  // 3.0 at position 2: level 3 takes code 9 with its two nibbles (12 bits), level 1 the
  // one-nibble code 2 (run 1, +1; 4 bits), error 0 and 4. At lambda 0.4: 4.8 against 5.6, the
  // exact level; at 0.6: 7.2 against 6.4, the nearer-to-free level 1 (zero costs 9).
  UnitComponent b;
  b.values[2] = 3.0f;
  b.Choose(0.4f);
  EXPECT_EQ(3, b.levels[2]);
  b.Choose(0.6f);
  EXPECT_EQ(1, b.levels[2]);
  EXPECT_EQ(0, b.levels[1]);
}

}  // namespace
}  // namespace tarvel
