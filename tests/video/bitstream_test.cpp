// Coefficient codes and the nibble stream, checked position by position.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/bit_writer.h"
#include "video/coefficient_reader.h"
#include "video/video_tables.h"

namespace tarvel {
namespace {

using test::NibbleWriter;

// Reads one block from the writer's nibbles. The multipliers are 1000 * component + position
// + 1, so each coefficient tells its level, its zigzag position and its component.
class CoefficientTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    for (int c = 0; c < 6; ++c) {
      for (int j = 0; j < 64; ++j) dequant_[c][j] = (c < 3 ? 1 : -1) * (1000 * (c % 3) + j + 1);
    }
  }
  // Appends the empty Cb and Cr blocks, and, for the fast-path variant, enough padding that
  // the whole worst case of a block is available.
  bool Read(NibbleWriter& w, bool add_chroma = true) {
    if (add_chroma) w.Put({0, 0, 0, 0, 0, 0});
    used_ = w.nibble_count();
    if (GetParam()) {
      for (size_t i = 0; i < 2 * kMaxNibblesPerBlock; ++i) w.Put(0);
    }
    bytes_ = w.Bytes();
    reader_ = NibbleReader{bytes_.data(), 0, w.nibble_count()};
    return ReadBlockCoefficients(reader_, dequant_, coefficients_, masks_);
  }
  // Level * multiplier of zigzag position j in component c.
  int32_t At(int c, int j) const { return coefficients_[c][kZigzag[j]]; }
  int32_t Level(int c, int j) const { return At(c, j) / (1000 * c + j + 1); }

  int32_t dequant_[6][64];
  int32_t coefficients_[3][64];
  uint32_t masks_[3];
  std::vector<uint8_t> bytes_;
  NibbleReader reader_;
  size_t used_ = 0;
};

TEST_P(CoefficientTest, DcOnlyBlocks) {
  NibbleWriter w;
  w.Put({0xF, 0xE, 0});  // DC -2, end
  ASSERT_TRUE(Read(w));
  EXPECT_EQ(At(0, 0), -2);
  EXPECT_EQ(masks_[0], 0x0101u);
  EXPECT_EQ(masks_[1], 0x0101u);
  EXPECT_EQ(At(1, 0), 0);
  EXPECT_EQ(reader_.position, 9u);

  // Bytes 0x21 0x00: nibbles 1, 2, 0, 0 give a DC of 0x12, then the end code.
  std::vector<uint8_t> bytes{0x21, 0x00, 0x00, 0x00, 0x00};
  NibbleReader r{bytes.data(), 0, 10};
  ASSERT_TRUE(ReadBlockCoefficients(r, dequant_, coefficients_, masks_));
  EXPECT_EQ(coefficients_[0][0], 18);
  EXPECT_EQ(r.position, 9u);
}

TEST_P(CoefficientTest, ShortRunCodesAndSkips) {
  NibbleWriter w;
  w.Put({0, 1});  // DC +1
  w.Put(2);       // run 1: +1 at 2
  w.Put(5);       // run 2: -1 at 5
  w.Put(7);       // run 3: -1 at 9
  w.Put(1);       // skip 5: p = 15
  w.Put(14);      // skip 1: p = 16
  w.Put(4);       // run 2: +1 at 18
  w.Put(6);       // run 3: +1 at 22
  w.Put(3);       // run 1: -1 at 24
  w.Put(0);
  ASSERT_TRUE(Read(w));
  for (int j = 0; j < 64; ++j) {
    int32_t expected = 0;
    if (j == 0 || j == 2 || j == 18 || j == 22) expected = 1;
    if (j == 5 || j == 9 || j == 24) expected = -1;
    EXPECT_EQ(Level(0, j), expected) << j;
  }
  EXPECT_EQ(reader_.position, used_);
}

TEST_P(CoefficientTest, LevelGroupCodes) {
  NibbleWriter w;
  w.Put({0, 0});                           // DC 0 (still written)
  w.Put({8, 0b0110, 0b0111, 0b1100});      // run 2, four 2-bit levels +2 -1 -1 +1 at 3..6
  w.Put({8, 0b0001, 0b0110, 0b1101});      // run 1, three levels +2 -2 -1 at 8..10
  w.Put({9, 0b1011, 0x0, 0x7, 0x8, 0xF});  // run 3, four 4-bit levels +1 +8 -8 -1 at 14..17
  w.Put({10, 0b1001});                     // -2, +2 at 18, 19
  w.Put({11, 0x3});                        // +4 at 20
  w.Put({12, 0x9, 0x5});                   // -7, +6 at 21, 22
  w.Put({13, 0xA, 0x0, 0xC});              // -6, +1, -4 at 23..25
  w.Put({15, 0x8, 0x0});                   // -128 at 26
  w.Put({15, 0x7, 0xF});                   // +127 at 27
  w.Put({15, 0x0, 0x0});                   // literal 0 at 28: sets its mask bits
  w.Put(0);
  ASSERT_TRUE(Read(w));
  const int expected[29] = {0, 0,  0,  2,  -1, -1, 1,  0, 2,  -2, -1, 0,    0,   0, 1,
                            8, -8, -1, -2, 2,  4,  -7, 6, -6, 1,  -4, -128, 127, 0};
  for (int j = 0; j < 29; ++j) EXPECT_EQ(Level(0, j), expected[j]) << j;
  for (int j = 29; j < 64; ++j) EXPECT_EQ(At(0, j), 0) << j;
  // Rows 0-6 and columns 0-6 hold levels; column 7 only the literal zero at zigzag 28.
  EXPECT_EQ(masks_[0], 0x7FFFu);
  EXPECT_EQ(reader_.position, used_);
}

TEST_P(CoefficientTest, CodeFillingPosition63EndsBlock) {
  NibbleWriter w;
  w.Put({0, 0});
  for (int i = 0; i < 12; ++i) w.Put(1);  // p = 61
  w.Put({14, 14});                        // p = 63
  w.Put({11, 0x2});                       // +3 at 63, block ends without an end code
  w.Put({0, 5, 0});                       // Cb: DC 5
  w.Put({0, 0, 0});
  ASSERT_TRUE(Read(w, false));
  EXPECT_EQ(Level(0, 63), 3);
  EXPECT_EQ(masks_[0], 0x8181u);
  EXPECT_EQ(At(1, 0), 5 * 1001);
  EXPECT_EQ(reader_.position, used_);
}

TEST_P(CoefficientTest, SkipToEndThenEndCode) {
  NibbleWriter w;
  w.Put({0, 0});
  for (int i = 0; i < 12; ++i) w.Put(1);  // p = 61
  w.Put({1, 0});                          // p = 66, only the end code may follow
  ASSERT_TRUE(Read(w));
  EXPECT_EQ(masks_[0], 0x0101u);
}

TEST_P(CoefficientTest, MalformedBlocksAreRejected) {
  auto fill_to = [](NibbleWriter& w, int p) {  // DC, then skips up to position p
    w.Put({0, 0});
    for (int q = 1; q + 5 <= p; q += 5) w.Put(1);
    for (int q = 1 + (p - 1) / 5 * 5; q < p; ++q) w.Put(14);
  };
  {
    NibbleWriter w;  // two coefficients from position 63
    fill_to(w, 63);
    w.Put({12, 1, 1, 0});
    EXPECT_FALSE(Read(w));
  }
  {
    NibbleWriter w;  // run 3 from 62 would place at 65
    fill_to(w, 62);
    w.Put({6, 0});
    EXPECT_FALSE(Read(w));
  }
  {
    NibbleWriter w;  // code 8 whose four levels would end at 64
    fill_to(w, 60);
    w.Put({8, 0b0010, 0, 0, 0});
    EXPECT_FALSE(Read(w));
  }
  {
    NibbleWriter w;  // a coefficient code after a skip that reached 64
    fill_to(w, 63);
    w.Put({14, 2, 0});
    EXPECT_FALSE(Read(w));
  }
  {
    NibbleWriter w;  // a skip after a skip that reached 64
    fill_to(w, 64);
    w.Put({14, 0});
    EXPECT_FALSE(Read(w));
  }
}

INSTANTIATE_TEST_SUITE_P(CheckedAndFast, CoefficientTest, ::testing::Values(false, true));

TEST(CoefficientReader, StreamEndingInsideBlockIsRejected) {
  int32_t dequant[6][64] = {};
  int32_t coefficients[3][64];
  uint32_t masks[3];
  // Nibbles 0 1 0 | 0 1 0 | F F 0: three DC-only components, nine nibbles.
  const std::vector<uint8_t> bytes{0x10, 0x00, 0x01, 0xFF, 0x00};
  for (size_t end = 0; end < 9; ++end) {
    NibbleReader r{bytes.data(), 0, end};
    EXPECT_FALSE(ReadBlockCoefficients(r, dequant, coefficients, masks)) << end;
  }
  NibbleReader r{bytes.data(), 0, 9};
  EXPECT_TRUE(ReadBlockCoefficients(r, dequant, coefficients, masks));
  EXPECT_EQ(r.position, 9u);
}

// Appends a component of random codes: mostly well formed (the run and the count kept inside
// the block), now and then one that overruns it, or a stray nibble.
void RandomComponent(std::mt19937& random, NibbleWriter& w) {
  auto rng = [&random] { return static_cast<uint32_t>(random()); };
  w.Put({rng() & 15, rng() & 15});
  int p = 1;
  while (p < 64) {
    if (rng() % 400 == 0) w.Put(rng() & 15);
    const uint32_t code = rng() % 16;
    int run = 0;
    int count = 0;
    std::vector<uint32_t> after;
    if (code == 0) {
      w.Put(0);
      return;
    } else if (code == 1 || code == 14) {
      run = code == 1 ? 5 : 1;
    } else if (code <= 7) {
      run = static_cast<int>(code >> 1);
      count = 1;
    } else if (code == 8 || code == 9) {
      const uint32_t a = rng() & 15;
      run = static_cast<int>(a >> 2) + 1;
      count = static_cast<int>(a & 3) + (code == 8 ? 2 : 1);
      after.push_back(a);
      const int levels = code == 8 ? (count + 1) / 2 : count;
      for (int i = 0; i < levels; ++i) after.push_back(rng() & 15);
    } else if (code == 10 || code == 15) {
      count = code == 10 ? 2 : 1;
      after.push_back(rng() & 15);
      if (code == 15) after.push_back(rng() & 15);
    } else {
      count = static_cast<int>(code) - 10;
      for (int i = 0; i < count; ++i) after.push_back(rng() & 15);
    }
    if (p + run + count > 64 && rng() % 8 != 0) continue;
    w.Put(code);
    for (uint32_t n : after) w.Put(n);
    p += run + count;
    if (count == 0 && p >= 64 && rng() % 4 != 0) w.Put(0);
  }
}

// The table-driven reader against the plain rules, on random streams of codes: the same
// verdict, coefficients, masks and position, and an all-zero buffer after a malformed block.
TEST(CoefficientReader, TableDrivenMatchesTheRules) {
  std::mt19937 rng(3);
  int32_t dequant[6][64];
  for (int c = 0; c < 6; ++c) {
    for (int j = 0; j < 64; ++j) dequant[c][j] = (c < 3 ? 1 : -1) * (1000 * (c % 3) + j + 1);
  }
  int good = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    NibbleWriter w;
    for (int c = 0; c < 3; ++c) RandomComponent(rng, w);
    // The table-driven reader needs a whole block's worst case ahead of it.
    for (size_t i = 0; i < 2 * kMaxNibblesPerBlock; ++i) w.Put(static_cast<uint32_t>(rng() & 15));
    const std::vector<uint8_t> bytes = w.Bytes();
    NibbleReader fast{bytes.data(), 0, w.nibble_count()};
    NibbleReader rules = fast;
    int32_t fast_coefficients[3][64] = {};
    int32_t rules_coefficients[3][64];
    uint32_t fast_masks[3];
    uint32_t rules_masks[3];
    const bool fast_ok = ReadCodedCoefficients(fast, dequant, fast_coefficients, fast_masks);
    const bool rules_ok =
        ReadBlockCoefficientsByRules(rules, dequant, rules_coefficients, rules_masks);
    ASSERT_EQ(fast_ok, rules_ok) << "trial " << trial;
    if (fast_ok) {
      ++good;
      ASSERT_EQ(fast.position, rules.position) << "trial " << trial;
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(fast_masks[c], rules_masks[c]) << "trial " << trial;
        for (int k = 0; k < 64; ++k) {
          ASSERT_EQ(fast_coefficients[c][k], rules_coefficients[c][k]) << "trial " << trial;
        }
      }
    } else {
      for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < 64; ++k) ASSERT_EQ(fast_coefficients[c][k], 0) << "trial " << trial;
      }
    }
  }
  // Both kinds of block were met often.
  EXPECT_GT(good, 5000);
  EXPECT_LT(good, 19000);
}

}  // namespace
}  // namespace tarvel
