#include "video/video_tables.h"

#include <cmath>

namespace tarvel {

namespace {

SharedTables ComputeSharedTables() {
  SharedTables t{};
  for (int c = 0; c < 3; ++c) {
    for (int j = 0; j < 64; ++j) {
      const int k = kZigzag[j];
      t.mask_bits[c][j] = static_cast<uint16_t>((1u << (k % 8)) | (1u << (8 + k / 8)));
    }
  }
  for (int v = kChromaMin; v <= kChromaMax; ++v) {
    // C++ integer division truncates toward zero, as the tables require.
    t.chroma_red[v - kChromaMin] = (16 * v + 8) / 10;
    t.chroma_green[v - kChromaMin] = v / 3;
  }
  const double kPi = std::acos(-1.0);
  double s[8];
  s[0] = 1.0;
  for (int n = 1; n < 8; ++n) s[n] = std::sqrt(2.0) * std::cos(n * kPi / 16.0);
  for (int v = 0; v < 8; ++v) {
    for (int u = 0; u < 8; ++u) {
      t.prescale[8 * v + u] = static_cast<int32_t>(std::lround(16384.0 * s[u] * s[v]));
    }
  }
  return t;
}

}  // namespace

const SharedTables& BuildSharedTables() {
  static const SharedTables tables = ComputeSharedTables();
  return tables;
}

void BuildGeometryTables(DecoderState& state, int height, int width) {
  const int32_t w = width;
  const int32_t p = 2 * w;
  state.height = height;
  state.width = w;
  state.pitch = p;
  state.width3 = 3 * w;
  state.width5 = 5 * w;
  state.width7 = 7 * w;
  state.block_x = 0;
  state.block_y = 0;

  auto& off = state.sub_block_offsets;
  off[static_cast<int>(PieceSize::kWhole)][0] = 0;
  {
    int32_t* o = off[static_cast<int>(PieceSize::kSideHalf)];
    o[0] = 0;
    o[1] = 8;
  }
  {
    int32_t* o = off[static_cast<int>(PieceSize::kStackedHalf)];
    o[0] = 0;
    o[1] = 4 * p;
  }
  const int32_t quarter[4] = {0, 8, 4 * p, 4 * p + 8};
  for (int q = 0; q < 4; ++q) {
    off[static_cast<int>(PieceSize::kQuarter)][q] = quarter[q];
    // Wide eighths go quarter by quarter, upper row pair then lower.
    off[static_cast<int>(PieceSize::kWideEighth)][2 * q] = quarter[q];
    off[static_cast<int>(PieceSize::kWideEighth)][2 * q + 1] = quarter[q] + 2 * p;
    // Sixteenths go quarter by quarter, in raster order within the quarter.
    for (int r = 0; r < 2; ++r) {
      for (int c = 0; c < 2; ++c) {
        off[static_cast<int>(PieceSize::kSixteenth)][4 * q + 2 * r + c] =
            quarter[q] + 2 * r * p + 4 * c;
      }
    }
  }
  // Tall eighths go along the top half, then along the bottom half.
  for (int i = 0; i < 4; ++i) {
    off[static_cast<int>(PieceSize::kTallEighth)][i] = 4 * i;
    off[static_cast<int>(PieceSize::kTallEighth)][4 + i] = 4 * p + 4 * i;
  }

  // Spiral: rings n = 63, 61, ... 1, each walked left, up, right, down from (h, h), filled from
  // the last index downward.
  int index = kSpiralTableSize - 1;
  for (int n = 63; n >= 1; n -= 2) {
    const int h = (n + 1) / 2;
    int dx = h;
    int dy = h;
    const int steps[4][2] = {{-1, 0}, {0, -1}, {1, 0}, {0, 1}};
    for (const auto& step : steps) {
      for (int i = 0; i < n; ++i) {
        state.spiral_table[index--] = dx + dy * w;
        dx += step[0];
        dy += step[1];
      }
    }
  }

  index = 0;
  for (int dy = 31; dy >= -32; --dy) {
    for (int dx = 31; dx >= -32; --dx) state.square_vector_table[index++] = dy * p + 2 * dx;
  }
  index = 0;
  for (int dy = 6; dy >= -25; --dy) {
    for (int dx = 63; dx >= -64; --dx) state.wide_vector_table[index++] = dy * p + 2 * dx;
  }

  for (int i = -kWrapTableBias; i < kWrapTableSize - kWrapTableBias; ++i) {
    int32_t v = 2 * i + 256;
    if (v < 0) {
      v += p;
    } else if (v >= p) {
      v -= p;
    }
    state.wrap_table[i + kWrapTableBias] = v;
  }
}

int ClampQuality(int quality) {
  if (quality < 1) return 1;
  if (quality > 100) return 100;
  return quality;
}

void ComputeQuantisers(int quality, int32_t luma[64], int32_t chroma[64]) {
  const int q = ClampQuality(quality);
  const int32_t scale = q < 50 ? 5000 / q : 200 - 2 * q;
  auto scaled = [scale](int32_t base) {
    int32_t v = (base * scale + 50) / 100;
    if (v < 8) v = 8;
    if (v > 255) v = 255;
    return v;
  };
  for (int k = 0; k < 64; ++k) {
    luma[k] = scaled(kLuminanceQuant[k]);
    chroma[k] = scaled(kChrominanceQuant[k]);
  }
}

void ComputeDequantTables(int quality, int32_t luma[64], int32_t chroma[64],
                          int32_t (&dequant)[6][64]) {
  const SharedTables& shared = BuildSharedTables();
  ComputeQuantisers(quality, luma, chroma);
  for (int j = 0; j < 64; ++j) {
    const int k = kZigzag[j];
    const int32_t my = DequantMultiplier(luma[k], shared.prescale[k]);
    const int32_t mc = DequantMultiplier(chroma[k], shared.prescale[k]);
    dequant[0][j] = my;
    dequant[1][j] = mc;
    dequant[2][j] = mc;
    dequant[3][j] = -my;
    dequant[4][j] = -mc;
    dequant[5][j] = -mc;
  }
}

void BuildDequantTables(DecoderState& state, int quality) {
  ComputeDequantTables(quality, state.luma_quant, state.chroma_quant, state.dequant);
}

}  // namespace tarvel
