// Constant tables of the ADPCM decoder, and the per-(step index, code) tables derived from them
// at compile time for the decoding loop.
#pragma once

#include <array>
#include <cstdint>

namespace tarvel::adpcm_tables {

inline constexpr int kMaxStepIndex = 88;
inline constexpr int kStepCount = kMaxStepIndex + 1;

inline constexpr std::array<std::int32_t, kStepCount> kStepSize = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

// Step index adjustment by the three magnitude bits of a code.
inline constexpr std::array<std::int32_t, 8> kIndexAdjust = {-1, -1, -1, -1, 2, 4, 6, 8};

// The signed difference a code adds to the predictor at a step size: three shifts and
// conditional additions, negated when the sign bit is set.
constexpr std::int32_t CodeDifference(std::int32_t step, unsigned code) {
  std::int32_t d = step >> 3;
  if (code & 4) d += step;
  if (code & 2) d += step >> 1;
  if (code & 1) d += step >> 2;
  if (code & 8) d = -d;
  return d;
}

constexpr std::int32_t NextStepIndex(std::int32_t index, unsigned code) {
  std::int32_t next = index + kIndexAdjust[code & 7];
  if (next < 0) next = 0;
  if (next > kMaxStepIndex) next = kMaxStepIndex;
  return next;
}

// Entry [index * 16 + code]: what decoding `code` at step index `index` adds to the predictor,
// and the row (step index * 16) of the step index that follows. The same values as the rules
// above, looked up instead of computed per sample.
struct CodeTables {
  std::array<std::int32_t, kStepCount * 16> difference{};
  std::array<std::uint16_t, kStepCount * 16> next_row{};
};

constexpr CodeTables BuildCodeTables() {
  CodeTables t;
  for (int index = 0; index < kStepCount; ++index) {
    for (unsigned code = 0; code < 16; ++code) {
      t.difference[index * 16 + code] = CodeDifference(kStepSize[index], code);
      t.next_row[index * 16 + code] = static_cast<std::uint16_t>(NextStepIndex(index, code) * 16);
    }
  }
  return t;
}

inline constexpr CodeTables kCodeTables = BuildCodeTables();

}  // namespace tarvel::adpcm_tables
