// Integer inverse DCT of one 8x8 coefficient block, run as two one-dimensional passes whose
// order is picked from the block's nonzero mask. Because each pass truncates, the order is part
// of the result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvel {

// One-dimensional transform of the eight values line[0], line[stride], ... line[7 * stride],
// written back in place. Signed 32-bit arithmetic, arithmetic right shifts. Inputs below 2^21
// in magnitude (every dequantised coefficient, and every value after the first pass) keep
// every intermediate value inside 32 bits.
void InverseDctLine(int32_t* line, std::ptrdiff_t stride);

// Transforms a block (64 values, index 8 * row + column) in place. `mask` bits 0-7 mark the
// columns that hold a coefficient, bits 8-15 the rows; bits 0 and 8 are taken as set. The
// result is the samples at 16 times pixel scale, without level shift.
//
// The pass order: with R = bits 8-15 and C = bits 0-7 read as signed bytes, a DC-only mask
// (0x0101) fills the block with the DC value; R < C transforms rows 0 to the highest row in R,
// then (unless only row 0 is set, which is copied down) all columns; otherwise columns 0 to
// the highest column in C, then (unless only column 0 is set, which fills each row) all rows.
// Four lines are transformed at a time.
void InverseDct8x8(int32_t* block, uint16_t mask);

// The same from `coefficients` into `block` (which may be the same 64 values).
void InverseDct8x8To(const int32_t* coefficients, uint16_t mask, int32_t* block);

// The same result computed line by line with InverseDctLine: the plain form of the rules,
// kept to check the fast one against.
void InverseDct8x8ByLines(int32_t* block, uint16_t mask);

}  // namespace tarvel
