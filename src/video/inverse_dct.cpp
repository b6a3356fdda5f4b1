#include "video/inverse_dct.h"

#include <bit>

#include "video/vector_ops.h"

namespace tarvel {

void InverseDctLine(int32_t* line, std::ptrdiff_t stride) {
  const int32_t x0 = line[0];
  const int32_t x1 = line[stride];
  const int32_t x2 = line[2 * stride];
  const int32_t x3 = line[3 * stride];
  const int32_t x4 = line[4 * stride];
  const int32_t x5 = line[5 * stride];
  const int32_t x6 = line[6 * stride];
  const int32_t x7 = line[7 * stride];

  // Even part.
  const int32_t a = x0 + x4;
  const int32_t b = x0 - x4;
  const int32_t c = x2 + x6;
  const int32_t d = ((3 * (x2 - x6)) >> 1) - c;
  const int32_t e0 = a + c;
  const int32_t e3 = a - c;
  const int32_t e1 = b + d;
  const int32_t e2 = b - d;

  // Odd part.
  const int32_t z13 = x5 + x3;
  const int32_t z10 = x5 - x3;
  const int32_t z11 = x1 + x7;
  const int32_t z12 = x1 - x7;
  const int32_t t7 = z11 + z13;
  const int32_t t11 = (3 * (z11 - z13)) >> 1;
  const int32_t t10 = (17 * z12 - 30 * (z10 + z12)) >> 4;
  const int32_t t12 = (30 * (z10 + z12) - 40 * z10) >> 4;
  const int32_t t6 = t12 - t7;
  const int32_t t5 = t11 - t6;
  const int32_t t4 = t10 + t5;

  line[0] = e0 + t7;
  line[7 * stride] = e0 - t7;
  line[stride] = e1 + t6;
  line[6 * stride] = e1 - t6;
  line[2 * stride] = e2 + t5;
  line[5 * stride] = e2 - t5;
  line[4 * stride] = e3 + t4;
  line[3 * stride] = e3 - t4;
}

void InverseDct8x8ByLines(int32_t* block, uint16_t mask) {
  mask = static_cast<uint16_t>(mask | 0x0101);
  if (mask == 0x0101) {
    // Only the DC coefficient: every sample equals it.
    const int32_t dc = block[0];
    for (int i = 0; i < 64; ++i) block[i] = dc;
    return;
  }
  const unsigned row_bits = mask >> 8;
  const unsigned column_bits = mask & 0xFFu;
  // The pass order compares the two bytes as signed 8-bit numbers.
  const int rows = static_cast<int8_t>(row_bits);
  const int columns = static_cast<int8_t>(column_bits);
  if (rows < columns) {
    const int last_row = std::bit_width(row_bits) - 1;
    for (int r = 0; r <= last_row; ++r) InverseDctLine(block + 8 * r, 1);
    if (row_bits == 1) {
      for (int r = 1; r < 8; ++r) {
        for (int c = 0; c < 8; ++c) block[8 * r + c] = block[c];
      }
    } else {
      for (int c = 0; c < 8; ++c) InverseDctLine(block + c, 8);
    }
  } else {
    const int last_column = std::bit_width(column_bits) - 1;
    for (int c = 0; c <= last_column; ++c) InverseDctLine(block + c, 8);
    if (column_bits == 1) {
      for (int r = 0; r < 8; ++r) {
        for (int c = 1; c < 8; ++c) block[8 * r + c] = block[8 * r];
      }
    } else {
      for (int r = 0; r < 8; ++r) InverseDctLine(block + 8 * r, 1);
    }
  }
}

namespace {

using vec::V4;

// The one-dimensional transform of four lines at once: x[k] holds element k of each line.
// Multiplications by the small constants are written as shifts and adds (exact in 32 bits).
inline void TransformLines(V4* x) {
  const V4 a = x[0] + x[4];
  const V4 b = x[0] - x[4];
  const V4 c = x[2] + x[6];
  const V4 diff = x[2] - x[6];
  const V4 d = ((diff + diff + diff) >> 1) - c;
  const V4 e0 = a + c;
  const V4 e3 = a - c;
  const V4 e1 = b + d;
  const V4 e2 = b - d;

  const V4 z13 = x[5] + x[3];
  const V4 z10 = x[5] - x[3];
  const V4 z11 = x[1] + x[7];
  const V4 z12 = x[1] - x[7];
  const V4 t7 = z11 + z13;
  const V4 z11m13 = z11 - z13;
  const V4 t11 = (z11m13 + z11m13 + z11m13) >> 1;
  const V4 sum = z10 + z12;
  const V4 sum30 = (sum << 5) - (sum << 1);
  const V4 t10 = (((z12 << 4) + z12) - sum30) >> 4;
  const V4 t12 = (sum30 - ((z10 << 5) + (z10 << 3))) >> 4;
  const V4 t6 = t12 - t7;
  const V4 t5 = t11 - t6;
  const V4 t4 = t10 + t5;

  x[0] = e0 + t7;
  x[7] = e0 - t7;
  x[1] = e1 + t6;
  x[6] = e1 - t6;
  x[2] = e2 + t5;
  x[5] = e2 - t5;
  x[4] = e3 + t4;
  x[3] = e3 - t4;
}

// An 8 x 8 block as rows: lo[r] holds columns 0-3 of row r, hi[r] columns 4-7.
struct Rows {
  V4 lo[8];
  V4 hi[8];
};

inline void Transpose(Rows& m) {
  vec::Transpose4(m.lo[0], m.lo[1], m.lo[2], m.lo[3]);
  vec::Transpose4(m.hi[0], m.hi[1], m.hi[2], m.hi[3]);
  vec::Transpose4(m.lo[4], m.lo[5], m.lo[6], m.lo[7]);
  vec::Transpose4(m.hi[4], m.hi[5], m.hi[6], m.hi[7]);
  for (int i = 0; i < 4; ++i) {
    const V4 t = m.hi[i];
    m.hi[i] = m.lo[4 + i];
    m.lo[4 + i] = t;
  }
}

}  // namespace

void InverseDct8x8(int32_t* block, uint16_t mask) {
  InverseDct8x8To(block, mask, block);
}

void InverseDct8x8To(const int32_t* coefficients, uint16_t mask, int32_t* block) {
  mask = static_cast<uint16_t>(mask | 0x0101);
  if (mask == 0x0101) {
    const V4 dc = vec::Splat(coefficients[0]);
    for (int i = 0; i < 64; i += 4) vec::Store(block + i, dc);
    return;
  }
  const unsigned row_bits = mask >> 8;
  const unsigned column_bits = mask & 0xFFu;
  const int rows = static_cast<int8_t>(row_bits);
  const int columns = static_cast<int8_t>(column_bits);

  Rows m;
  for (int r = 0; r < 8; ++r) {
    m.lo[r] = vec::Load(coefficients + 8 * r);
    m.hi[r] = vec::Load(coefficients + 8 * r + 4);
  }
  // The first pass goes along the rows when they are fewer (transposed, lo[k] then holds
  // element k of rows 0-3 and hi[k] of rows 4-7), else down the columns (lo holds element k
  // of columns 0-3, hi of columns 4-7). Lines past the highest one holding a coefficient are
  // zero and stay zero, so a group of four lines is transformed only when one of them is set.
  const bool rows_first = rows < columns;
  const unsigned first_bits = rows_first ? row_bits : column_bits;
  if (rows_first) Transpose(m);
  TransformLines(m.lo);
  if (first_bits >= 0x10) TransformLines(m.hi);
  if (first_bits == 1) {
    // Only line 0 had coefficients: every row is row 0, or every column column 0.
    const V4 lo{m.lo[0][0], m.lo[1][0], m.lo[2][0], m.lo[3][0]};
    const V4 hi{m.lo[4][0], m.lo[5][0], m.lo[6][0], m.lo[7][0]};
    for (int r = 0; r < 8; ++r) {
      const V4 row_lo = rows_first ? lo : vec::Splat(m.lo[r][0]);
      vec::Store(block + 8 * r, row_lo);
      vec::Store(block + 8 * r + 4, rows_first ? hi : row_lo);
    }
    return;
  }
  Transpose(m);
  TransformLines(m.lo);
  TransformLines(m.hi);
  if (!rows_first) Transpose(m);
  for (int r = 0; r < 8; ++r) {
    vec::Store(block + 8 * r, m.lo[r]);
    vec::Store(block + 8 * r + 4, m.hi[r]);
  }
}

}  // namespace tarvel
