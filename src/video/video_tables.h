// Tables of the video codec: the shared ones (coefficient order and placement, chroma lookups,
// the inverse-transform prescale factors), the per-picture geometry tables and the per-frame
// dequantisation multipliers.
#pragma once

#include <cstdint>

#include "video/decoder_state.h"

namespace tarvel {

// Zigzag position j -> natural index 8 * row + column.
inline constexpr uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Base quantisers at quality 50, natural order: luminance and chrominance.
inline constexpr int32_t kLuminanceQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
inline constexpr int32_t kChrominanceQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// The chroma tables cover sample values v >> 4 from kChromaMin to kChromaMax.
inline constexpr int kChromaMin = -256;
inline constexpr int kChromaMax = 511;
inline constexpr int kChromaTableSize = kChromaMax - kChromaMin + 1;

struct SharedTables {
  // Column bit | row bit of the nonzero mask for zigzag position j (same for every component).
  uint16_t mask_bits[3][64];
  // Index v - kChromaMin: (16 * v + 8) / 10 and v / 3, both truncating toward zero.
  int32_t chroma_red[kChromaTableSize];
  int32_t chroma_green[kChromaTableSize];
  // Inverse-transform prescale factors, natural order: round(16384 * s(u) * s(v)) with
  // s(0) = 1 and s(n) = sqrt(2) * cos(n * pi / 16).
  int32_t prescale[64];
};

// The shared tables, built on first use (thread-safe) and never changed afterwards.
const SharedTables& BuildSharedTables();

// Fills the geometry fields and the per-picture tables of `state` for a height x width picture.
// The tables are defined for any width; their displacements assume rows of `width` pixels.
void BuildGeometryTables(DecoderState& state, int height, int width);

// Quality as used for the tables: 1 .. 100 (0 and below become 1, above 100 becomes 100).
int ClampQuality(int quality);

// Scaled quantisers for one quality, natural order, each 8 .. 255.
void ComputeQuantisers(int quality, int32_t luma[64], int32_t chroma[64]);

// Multiplier of a dequantised coefficient: (quantiser * prescale) >> 13.
inline int32_t DequantMultiplier(int32_t quantiser, int32_t prescale) {
  return (quantiser * prescale) >> 13;
}

// The six dequantisation tables for `quality` (Y, Cb, Cr and their negations, zigzag order),
// from the quantisers `luma` and `chroma` that it fills.
void ComputeDequantTables(int quality, int32_t luma[64], int32_t chroma[64],
                          int32_t (&dequant)[6][64]);

// Rebuilds the six dequantisation tables (Y, Cb, Cr and their negations, zigzag order) of
// `state` for `quality`, and keeps the quantisers in state.luma_quant / chroma_quant.
void BuildDequantTables(DecoderState& state, int quality);

}  // namespace tarvel
