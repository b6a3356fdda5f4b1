// The DCT block kernel for processors with AVX2: a whole line of eight 32-bit values per
// register, so each pass transforms all eight lines at once, and the colour conversion on
// 16-bit lanes, two rows of pixels per register, fed straight from the last pass. Compiled for
// AVX2 function by function; DctBlockKernelFor hands it out only where the processor has it.
#include "video/dct_block.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <immintrin.h>

#include "video/decoder_state.h"
#include "video/inverse_dct.h"
#include "video/video_tables.h"

#define TARVEL_AVX2 __attribute__((target("avx2"))) static inline
// The small steps are always inlined, so that their blocks stay in registers.
#define TARVEL_AVX2_STEP __attribute__((target("avx2"), always_inline)) static inline

namespace tarvel {

namespace {

// The one-dimensional transform of eight lines at once: x[k] holds element k of each line.
TARVEL_AVX2_STEP void TransformLines(__m256i* x) {
  const __m256i a = _mm256_add_epi32(x[0], x[4]);
  const __m256i b = _mm256_sub_epi32(x[0], x[4]);
  const __m256i c = _mm256_add_epi32(x[2], x[6]);
  const __m256i diff = _mm256_sub_epi32(x[2], x[6]);
  const __m256i d = _mm256_sub_epi32(
      _mm256_srai_epi32(_mm256_add_epi32(diff, _mm256_add_epi32(diff, diff)), 1), c);
  const __m256i e0 = _mm256_add_epi32(a, c);
  const __m256i e3 = _mm256_sub_epi32(a, c);
  const __m256i e1 = _mm256_add_epi32(b, d);
  const __m256i e2 = _mm256_sub_epi32(b, d);

  const __m256i z13 = _mm256_add_epi32(x[5], x[3]);
  const __m256i z10 = _mm256_sub_epi32(x[5], x[3]);
  const __m256i z11 = _mm256_add_epi32(x[1], x[7]);
  const __m256i z12 = _mm256_sub_epi32(x[1], x[7]);
  const __m256i t7 = _mm256_add_epi32(z11, z13);
  const __m256i m = _mm256_sub_epi32(z11, z13);
  const __m256i t11 = _mm256_srai_epi32(_mm256_add_epi32(m, _mm256_add_epi32(m, m)), 1);
  // Times 30, 17 and 40 by shifts and sums: the same 32-bit results, with a shorter wait than
  // the multiplier's.
  const __m256i sum = _mm256_add_epi32(z10, z12);
  const __m256i sum30 = _mm256_sub_epi32(_mm256_slli_epi32(sum, 5), _mm256_slli_epi32(sum, 1));
  const __m256i z12_17 = _mm256_add_epi32(_mm256_slli_epi32(z12, 4), z12);
  const __m256i z10_40 = _mm256_add_epi32(_mm256_slli_epi32(z10, 5), _mm256_slli_epi32(z10, 3));
  const __m256i t10 = _mm256_srai_epi32(_mm256_sub_epi32(z12_17, sum30), 4);
  const __m256i t12 = _mm256_srai_epi32(_mm256_sub_epi32(sum30, z10_40), 4);
  const __m256i t6 = _mm256_sub_epi32(t12, t7);
  const __m256i t5 = _mm256_sub_epi32(t11, t6);
  const __m256i t4 = _mm256_add_epi32(t10, t5);

  x[0] = _mm256_add_epi32(e0, t7);
  x[7] = _mm256_sub_epi32(e0, t7);
  x[1] = _mm256_add_epi32(e1, t6);
  x[6] = _mm256_sub_epi32(e1, t6);
  x[2] = _mm256_add_epi32(e2, t5);
  x[5] = _mm256_sub_epi32(e2, t5);
  x[4] = _mm256_add_epi32(e3, t4);
  x[3] = _mm256_sub_epi32(e3, t4);
}

// Transposes the 8 x 8 matrix whose rows are r[0..7]: pairs of 32-bit lanes, then of 64-bit
// lanes, then of 128-bit halves.
TARVEL_AVX2_STEP void Transpose(__m256i* r) {
  __m256i t[8];
  __m256i u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    for (int k = 0; k < 2; ++k) {
      u[i + 2 * k] = _mm256_unpacklo_epi64(t[i + k], t[i + k + 2]);
      u[i + 2 * k + 1] = _mm256_unpackhi_epi64(t[i + k], t[i + k + 2]);
    }
  }
  for (int i = 0; i < 4; ++i) {
    r[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
    r[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
  }
}

// How a block's passes go, from its mask (InverseDct8x8's rules), and what a transposed result
// saves in shuffles against one in rows: the passes end transposed when columns go first.
enum class Passes { kDcOnly, kRowsFirst, kRowFill, kColumnsFirst, kColumnFill };

Passes PassesOf(uint32_t mask) {
  mask = (mask | 0x0101) & 0xFFFF;
  if (mask == 0x0101) return Passes::kDcOnly;
  const unsigned row_bits = mask >> 8;
  const unsigned column_bits = mask & 0xFFu;
  if (static_cast<int8_t>(row_bits) < static_cast<int8_t>(column_bits)) {
    return row_bits == 1 ? Passes::kRowFill : Passes::kRowsFirst;
  }
  return column_bits == 1 ? Passes::kColumnFill : Passes::kColumnsFirst;
}

int TransposedSaving(Passes passes) {
  constexpr int kSavings[] = {0, -24, 16, 24, -16};
  return kSavings[static_cast<int>(passes)];
}

// Broadcasts lane 0 of each of the eight registers over its lanes.
TARVEL_AVX2_STEP void SpreadFirstLanes(__m256i* x) {
  for (int i = 0; i < 8; ++i) x[i] = _mm256_permutevar8x32_epi32(x[i], _mm256_setzero_si256());
}

// Transforms one coefficient block into its samples and clears the block. The samples come out
// as rows (row i in out[i]) or, with `transposed`, as columns (column j in out[j]).
TARVEL_AVX2 void TransformBlock(int32_t* block, Passes passes, bool transposed, __m256i* out) {
  if (passes == Passes::kDcOnly) {
    const __m256i dc = _mm256_set1_epi32(block[0]);
    block[0] = 0;
    for (int i = 0; i < 8; ++i) out[i] = dc;
    return;
  }
  auto* rows = reinterpret_cast<__m256i*>(block);
  // All eight rows are cleared: a count of coded rows would be a branch hard to foresee.
  for (int i = 0; i < 8; ++i) {
    out[i] = _mm256_loadu_si256(rows + i);
    _mm256_storeu_si256(rows + i, _mm256_setzero_si256());
  }
  switch (passes) {
    case Passes::kRowsFirst:
    case Passes::kRowFill:
      Transpose(out);
      TransformLines(out);  // the rows, held as columns
      if (passes == Passes::kRowFill) {
        // Only row 0 had coefficients: every row is its transform.
        if (transposed) {
          SpreadFirstLanes(out);
        } else {
          Transpose(out);
          for (int i = 1; i < 8; ++i) out[i] = out[0];
        }
        return;
      }
      Transpose(out);
      TransformLines(out);  // the columns
      if (transposed) Transpose(out);
      return;
    default:
      TransformLines(out);  // the columns
      if (passes == Passes::kColumnFill) {
        // Only column 0 had coefficients: every row is its value there.
        if (transposed) {
          Transpose(out);
          for (int i = 1; i < 8; ++i) out[i] = out[0];
        } else {
          SpreadFirstLanes(out);
        }
        return;
      }
      Transpose(out);
      TransformLines(out);  // the rows, held as columns
      if (!transposed) Transpose(out);
      return;
  }
}

// Transposes eight columns of 16-bit pixels, two to a register (columns 2k and 2k + 1 in p[k],
// halves in order), into rows, two to a register.
TARVEL_AVX2_STEP void TransposePixels(__m256i* p) {
  const __m256i q0 = _mm256_permute2x128_si256(p[0], p[2], 0x20);  // columns 0 | 4
  const __m256i q1 = _mm256_permute2x128_si256(p[0], p[2], 0x31);  // 1 | 5
  const __m256i q2 = _mm256_permute2x128_si256(p[1], p[3], 0x20);  // 2 | 6
  const __m256i q3 = _mm256_permute2x128_si256(p[1], p[3], 0x31);  // 3 | 7
  const __m256i a0 = _mm256_unpacklo_epi16(q0, q1);
  const __m256i a1 = _mm256_unpackhi_epi16(q0, q1);
  const __m256i a2 = _mm256_unpacklo_epi16(q2, q3);
  const __m256i a3 = _mm256_unpackhi_epi16(q2, q3);
  // Rows 0-1, 2-3, 4-5 and 6-7, each half holding four of the eight columns.
  p[0] = _mm256_permute4x64_epi64(_mm256_unpacklo_epi32(a0, a2), 0xD8);
  p[1] = _mm256_permute4x64_epi64(_mm256_unpackhi_epi32(a0, a2), 0xD8);
  p[2] = _mm256_permute4x64_epi64(_mm256_unpacklo_epi32(a1, a3), 0xD8);
  p[3] = _mm256_permute4x64_epi64(_mm256_unpackhi_epi32(a1, a3), 0xD8);
}

// Packs two rows of 32-bit lanes into 16-bit lanes with saturation. The lanes come out as
// row a 0-3, row b 0-3, row a 4-7, row b 4-7; every 16-bit quantity below keeps that order,
// and the pixels are put back in row order before they are stored.
TARVEL_AVX2_STEP __m256i PackRows(__m256i a, __m256i b) {
  return _mm256_packs_epi32(a, b);
}

// (16 v + 8) / 10 or v / 3 truncating toward zero, for 16-bit lanes with |x| <= 8184: the high
// half of the magnitude times 6554 (or 21846) is the quotient in that range.
TARVEL_AVX2_STEP __m256i DivideTowardZero(__m256i x, short reciprocal) {
  const __m256i sign = _mm256_srai_epi16(x, 15);
  const __m256i magnitude = _mm256_sub_epi16(_mm256_xor_si256(x, sign), sign);
  const __m256i quotient = _mm256_mulhi_epi16(magnitude, _mm256_set1_epi16(reciprocal));
  return _mm256_sub_epi16(_mm256_xor_si256(quotient, sign), sign);
}

TARVEL_AVX2_STEP __m256i ChromaIndex(__m256i a, __m256i b) {
  const __m256i v = PackRows(_mm256_srai_epi32(a, 4), _mm256_srai_epi32(b, 4));
  return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_set1_epi16(kChromaMin)),
                          _mm256_set1_epi16(kChromaMax));
}

TARVEL_AVX2_STEP __m256i Limit255(__m256i v) {
  return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), _mm256_set1_epi16(255));
}

// Sixteen pixels from luma (L = Y / 16 + 128), blue (L + Cb / 8) and the two chroma table
// indexes. Terms that saturated in 16 bits lie beyond 0 .. 255 and stay there, so the limited
// results are those of the exact arithmetic.
template <bool k565>
TARVEL_AVX2_STEP __m256i Pixels(__m256i luma, __m256i blue, __m256i cb_index, __m256i cr_index) {
  const __m256i red_term = DivideTowardZero(
      _mm256_add_epi16(_mm256_slli_epi16(cr_index, 4), _mm256_set1_epi16(8)), 6554);
  const __m256i green_term = DivideTowardZero(cb_index, 21846);
  const __m256i r = Limit255(_mm256_adds_epi16(luma, red_term));
  const __m256i g = Limit255(
      _mm256_subs_epi16(_mm256_subs_epi16(luma, _mm256_srai_epi16(red_term, 1)), green_term));
  const __m256i b = Limit255(blue);
  // Green never takes its top code.
  const int green_shift = k565 ? 2 : 3;
  const int green_top = k565 ? 63 : 31;
  const int red_shift = k565 ? 11 : 10;
  __m256i green = _mm256_srli_epi16(g, green_shift);
  green = _mm256_add_epi16(
      green, _mm256_cmpeq_epi16(green, _mm256_set1_epi16(static_cast<short>(green_top))));
  return _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi16(_mm256_srli_epi16(r, 3), red_shift),
                                         _mm256_slli_epi16(green, 5)),
                         _mm256_srli_epi16(b, 3));
}

// The three components are transformed in one layout, rows or columns, whichever needs fewer
// shuffles (columns cost a transpose of the pixels at the end); the conversion is the same
// lane by lane in either.
template <bool k565>
TARVEL_AVX2 void Kernel(int32_t (&coefficients)[3][64], const uint32_t (&masks)[3],
                        uint16_t* destination, std::ptrdiff_t pitch) {
  Passes passes[3];
  int saving = 0;
  for (int c = 0; c < 3; ++c) {
    passes[c] = PassesOf(masks[c]);
    saving += TransposedSaving(passes[c]);
  }
  const bool transposed = saving > 16;

  __m256i samples[8];
  // Y: L = (Y >> 4) + 128, kept in 32 bits for the blue sum.
  __m256i luma32[8];
  TransformBlock(coefficients[0], passes[0], transposed, samples);
  for (int i = 0; i < 8; ++i) {
    luma32[i] = _mm256_add_epi32(_mm256_srai_epi32(samples[i], 4), _mm256_set1_epi32(128));
  }
  // Cb: blue = L + (Cb >> 3), and the green table index Cb >> 4.
  __m256i blue[4];
  __m256i cb_index[4];
  TransformBlock(coefficients[1], passes[1], transposed, samples);
  for (int k = 0; k < 4; ++k) {
    const int i = 2 * k;
    blue[k] = PackRows(_mm256_add_epi32(luma32[i], _mm256_srai_epi32(samples[i], 3)),
                       _mm256_add_epi32(luma32[i + 1], _mm256_srai_epi32(samples[i + 1], 3)));
    cb_index[k] = ChromaIndex(samples[i], samples[i + 1]);
  }
  // Cr: the red table index Cr >> 4, and the pixels, two lines at a time.
  TransformBlock(coefficients[2], passes[2], transposed, samples);
  __m256i pixels[4];
  for (int k = 0; k < 4; ++k) {
    const int i = 2 * k;
    const __m256i luma = PackRows(luma32[i], luma32[i + 1]);
    pixels[k] = _mm256_permute4x64_epi64(
        Pixels<k565>(luma, blue[k], cb_index[k], ChromaIndex(samples[i], samples[i + 1])), 0xD8);
  }
  if (transposed) TransposePixels(pixels);
  for (int k = 0; k < 4; ++k) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + 2 * k * pitch),
                     _mm256_castsi256_si128(pixels[k]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + (2 * k + 1) * pitch),
                     _mm256_extracti128_si256(pixels[k], 1));
  }
}

__attribute__((target("avx2"))) void KernelAvx2(int32_t (&coefficients)[3][64],
                                                const uint32_t (&masks)[3], int32_t pixel_format,
                                                uint16_t* destination, std::ptrdiff_t pitch) {
  if (pixel_format == kPixelFormat565) {
    Kernel<true>(coefficients, masks, destination, pitch);
  } else {
    Kernel<false>(coefficients, masks, destination, pitch);
  }
}

}  // namespace

DctBlockKernel DctBlockKernelAvx2() {
  return KernelAvx2;
}

}  // namespace tarvel

#else

namespace tarvel {

DctBlockKernel DctBlockKernelAvx2() {
  return nullptr;
}

}  // namespace tarvel

#endif
