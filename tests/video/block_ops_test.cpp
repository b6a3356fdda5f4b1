// Oriented copies: every orientation of every piece size, transposed source regions, sources at
// odd columns, and the raster order for overlapping regions.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "video/block_ops.h"

namespace tarvel {
namespace {

constexpr int kPitch = 32;
constexpr PieceSize kAllSizes[] = {
    PieceSize::kWhole,      PieceSize::kSideHalf,   PieceSize::kStackedHalf, PieceSize::kQuarter,
    PieceSize::kTallEighth, PieceSize::kWideEighth, PieceSize::kSixteenth};

// A 32 x 32 picture whose pixel (x, y) holds (y << 8) | x.
std::vector<uint16_t> Pattern() {
  std::vector<uint16_t> p(kPitch * kPitch);
  for (int y = 0; y < kPitch; ++y) {
    for (int x = 0; x < kPitch; ++x) p[y * kPitch + x] = static_cast<uint16_t>((y << 8) | x);
  }
  return p;
}

TEST(OrientedCopy, TwoByTwoTable) {
  // Source a b / c d; each row of the table is the destination's first and second rows.
  const uint16_t a = 0xA, b = 0xB, c = 0xC, d = 0xD;
  const uint16_t expected[8][4] = {{a, b, c, d}, {b, a, d, c}, {c, d, a, b}, {d, c, b, a},
                                   {d, b, c, a}, {c, a, d, b}, {b, d, a, c}, {a, c, b, d}};
  for (int o = 0; o < 8; ++o) {
    std::vector<uint16_t> pic(kPitch * 4, 0);
    pic[0] = a;
    pic[1] = b;
    pic[kPitch] = c;
    pic[kPitch + 1] = d;
    uint16_t* dst = pic.data() + 2 * kPitch + 8;
    OrientedCopy(PieceSize::kSixteenth, o, pic.data(), dst, kPitch);
    EXPECT_EQ(dst[0], expected[o][0]) << o;
    EXPECT_EQ(dst[1], expected[o][1]) << o;
    EXPECT_EQ(dst[kPitch], expected[o][2]) << o;
    EXPECT_EQ(dst[kPitch + 1], expected[o][3]) << o;
  }
}

// For every size and orientation: the destination's corners come from the source corners the
// orientation names, every pixel of the source region (and nothing else) is used exactly once,
// and nothing around the destination changes. The source starts at an odd column.
TEST(OrientedCopy, EverySizeAndOrientation) {
  for (PieceSize size : kAllSizes) {
    const int w = PieceWidth(size);
    const int h = PieceHeight(size);
    for (int o = 0; o < 8; ++o) {
      const std::vector<uint16_t> src = Pattern();
      const int sx = 3, sy = 5;  // source region origin
      const int cols = o < 4 ? w : h;
      const int rows = o < 4 ? h : w;
      EXPECT_EQ(SourceColumns(size, o), cols);
      EXPECT_EQ(SourceRows(size, o), rows);
      std::vector<uint16_t> dst(kPitch * kPitch, 0xFFFF);
      const int dx = 16, dy = 8;
      OrientedCopy(size, o, src.data() + sy * kPitch + sx, dst.data() + dy * kPitch + dx, kPitch);
      auto at = [&](int r, int c) { return dst[(dy + r) * kPitch + dx + c]; };
      auto source = [&](int sr, int sc) {
        return static_cast<uint16_t>(((sy + sr) << 8) | (sx + sc));
      };
      // Source (row, column) of destination (0, 0) and of destination (0, w - 1).
      const int first[8][2] = {{0, 0},         {0, w - 1}, {h - 1, 0}, {h - 1, w - 1},
                               {w - 1, h - 1}, {w - 1, 0}, {0, h - 1}, {0, 0}};
      const int right[8][2] = {{0, w - 1}, {0, 0}, {h - 1, w - 1}, {h - 1, 0},
                               {0, h - 1}, {0, 0}, {w - 1, h - 1}, {w - 1, 0}};
      EXPECT_EQ(at(0, 0), source(first[o][0], first[o][1])) << w << "x" << h << " o" << o;
      EXPECT_EQ(at(0, w - 1), source(right[o][0], right[o][1])) << w << "x" << h << " o" << o;
      std::set<uint16_t> used;
      for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
          const uint16_t v = at(r, c);
          const int vx = (v & 0xFF) - sx;
          const int vy = (v >> 8) - sy;
          EXPECT_TRUE(vx >= 0 && vx < cols && vy >= 0 && vy < rows) << w << "x" << h << " o" << o;
          used.insert(v);
        }
      }
      EXPECT_EQ(used.size(), static_cast<size_t>(w * h));
      int untouched = 0;
      for (uint16_t v : dst) untouched += v == 0xFFFF;
      EXPECT_EQ(untouched, kPitch * kPitch - w * h);
    }
  }
}

TEST(OrientedCopy, TransposedRegionsReadColumns) {
  const std::vector<uint16_t> src = Pattern();
  std::vector<uint16_t> dst(kPitch * kPitch, 0);
  // Quarter turn clockwise of a 4 x 8 half reads 8 columns x 4 rows: the destination's first
  // row is the source's first column from the bottom row up.
  OrientedCopy(PieceSize::kSideHalf, 5, src.data() + 1, dst.data(), kPitch);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(dst[c], static_cast<uint16_t>(((3 - c) << 8) | 1));
  // Transpose of a 4 x 2 wide eighth reads 2 columns x 4 rows: first row = first column.
  OrientedCopy(PieceSize::kWideEighth, 7, src.data() + 1, dst.data(), kPitch);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(dst[c], static_cast<uint16_t>((c << 8) | 1));
  EXPECT_EQ(dst[kPitch], static_cast<uint16_t>(2));  // second row = second column
}

TEST(OrientedCopy, InversePairs) {
  const std::vector<uint16_t> src = Pattern();
  const int pairs[][2] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {7, 7}, {5, 6}, {6, 5}};
  for (const auto& pair : pairs) {
    std::vector<uint16_t> once(kPitch * kPitch, 0), twice(kPitch * kPitch, 0);
    OrientedCopy(PieceSize::kWhole, pair[0], src.data(), once.data(), kPitch);
    OrientedCopy(PieceSize::kWhole, pair[1], once.data(), twice.data(), kPitch);
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(twice[r * kPitch + c], src[r * kPitch + c]) << pair[0] << "," << pair[1];
      }
    }
  }
}

TEST(OrientedCopy, DisjointRoutinesMatchRasterCopy) {
  const std::vector<uint16_t> src = Pattern();
  for (PieceSize size : kAllSizes) {
    for (int o = 0; o < 8; ++o) {
      std::vector<uint16_t> a(kPitch * kPitch, 1), b(kPitch * kPitch, 1);
      OrientedCopy(size, o, src.data() + 33, a.data() + 40, kPitch);
      OrientedCopyDisjoint(size, o, src.data() + 33, b.data() + 40, kPitch);
      EXPECT_EQ(a, b) << static_cast<int>(size) << " o" << o;
    }
  }
}

TEST(OrientedCopy, OverlapReadsEachSourcePixelJustBeforeItsWrite) {
  // Source one pixel left of the destination: each pixel copies its left neighbour, which was
  // itself just written, so every row fills with the pixel left of the piece.
  std::vector<uint16_t> pic = Pattern();
  uint16_t* dst = pic.data() + 2 * kPitch + 4;
  OrientedCopy(PieceSize::kWhole, 0, dst - 1, dst, kPitch);
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      EXPECT_EQ(dst[r * kPitch + c], static_cast<uint16_t>(((2 + r) << 8) | 3)) << r << "," << c;
    }
  }
  // Source one row below: rows are read before they are overwritten, a plain shift upwards.
  pic = Pattern();
  dst = pic.data() + 2 * kPitch + 4;
  OrientedCopy(PieceSize::kWhole, 0, dst + kPitch, dst, kPitch);
  for (int r = 0; r < 8; ++r) {
    EXPECT_EQ(dst[r * kPitch], static_cast<uint16_t>(((3 + r) << 8) | 4)) << r;
  }
}

}  // namespace
}  // namespace tarvel
