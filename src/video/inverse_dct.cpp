#include "video/inverse_dct.h"

#include <bit>

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

void InverseDct8x8(int32_t* block, uint16_t mask) {
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

}  // namespace tarvel
