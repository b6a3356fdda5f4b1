#include "video/colour_convert.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "video/video_tables.h"

namespace tarvel {

namespace {

inline int32_t ChromaIndex(int32_t sample) {
  int32_t v = sample >> 4;
  if (v < kChromaMin) v = kChromaMin;
  if (v > kChromaMax) v = kChromaMax;
  return v - kChromaMin;
}

inline int32_t Limit255(int32_t v) {
  return v < 0 ? 0 : (v > 255 ? 255 : v);
}

inline uint16_t ConvertWithTables(const SharedTables& t, int32_t y, int32_t cb, int32_t cr,
                                  int32_t pixel_format) {
  // Sample magnitudes below 2^31 keep every sum here inside 32 bits.
  const int32_t l = (y >> 4) + 128;
  const int32_t red_term = t.chroma_red[ChromaIndex(cr)];
  const int32_t r = Limit255(l + red_term);
  const int32_t g = Limit255(l - (red_term >> 1) - t.chroma_green[ChromaIndex(cb)]);
  const int32_t b = Limit255(l + (cb >> 3));
  if (pixel_format == kPixelFormat565) {
    int32_t green = g >> 2;
    if (green == 63) green = 62;
    return static_cast<uint16_t>(((r >> 3) << 11) | (green << 5) | (b >> 3));
  }
  int32_t green = g >> 3;
  if (green == 31) green = 30;
  return static_cast<uint16_t>(((r >> 3) << 10) | (green << 5) | (b >> 3));
}

}  // namespace

uint16_t ConvertSampleToPixel(int32_t y, int32_t cb, int32_t cr, int32_t pixel_format) {
  return ConvertWithTables(BuildSharedTables(), y, cb, cr, pixel_format);
}

#if defined(__SSE2__)

namespace {

// (16 v + 8) / 10 or v / 3 truncating toward zero, for 16-bit lanes with |16 v + 8| <= 8184
// and |v| <= 511: the high half of the magnitude times 6554 (or 21846) is the quotient in
// that range, as the excess over the exact ratio stays below the smallest distance to the
// next integer.
inline __m128i DivideTowardZero(__m128i x, short reciprocal) {
  const __m128i sign = _mm_srai_epi16(x, 15);
  const __m128i magnitude = _mm_sub_epi16(_mm_xor_si128(x, sign), sign);
  const __m128i quotient = _mm_mulhi_epi16(magnitude, _mm_set1_epi16(reciprocal));
  return _mm_sub_epi16(_mm_xor_si128(quotient, sign), sign);
}

inline __m128i Load4(const int32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Eight pixels of one row. The 32-bit terms are narrowed to 16 bits with saturation; a
// saturated lane lies beyond 0 .. 255 either way, and the small table terms added to it
// afterwards (saturating as well) cannot bring it back into range, so the limited results are
// those of the exact arithmetic.
inline __m128i ConvertEight(const int32_t* y, const int32_t* cb, const int32_t* cr,
                            int32_t pixel_format) {
  const __m128i bias = _mm_set1_epi32(128);
  const __m128i l0 = _mm_add_epi32(_mm_srai_epi32(Load4(y), 4), bias);
  const __m128i l1 = _mm_add_epi32(_mm_srai_epi32(Load4(y + 4), 4), bias);
  const __m128i cb0 = Load4(cb);
  const __m128i cb1 = Load4(cb + 4);
  const __m128i cr0 = Load4(cr);
  const __m128i cr1 = Load4(cr + 4);
  const __m128i l = _mm_packs_epi32(l0, l1);
  const __m128i blue = _mm_packs_epi32(_mm_add_epi32(l0, _mm_srai_epi32(cb0, 3)),
                                       _mm_add_epi32(l1, _mm_srai_epi32(cb1, 3)));
  const __m128i lowest = _mm_set1_epi16(kChromaMin);
  const __m128i highest = _mm_set1_epi16(kChromaMax);
  const __m128i vr = _mm_min_epi16(
      _mm_max_epi16(_mm_packs_epi32(_mm_srai_epi32(cr0, 4), _mm_srai_epi32(cr1, 4)), lowest),
      highest);
  const __m128i vb = _mm_min_epi16(
      _mm_max_epi16(_mm_packs_epi32(_mm_srai_epi32(cb0, 4), _mm_srai_epi32(cb1, 4)), lowest),
      highest);
  const __m128i red_term =
      DivideTowardZero(_mm_add_epi16(_mm_slli_epi16(vr, 4), _mm_set1_epi16(8)), 6554);
  const __m128i green_term = DivideTowardZero(vb, 21846);
  const __m128i zero = _mm_setzero_si128();
  const __m128i top = _mm_set1_epi16(255);
  const __m128i r = _mm_min_epi16(_mm_max_epi16(_mm_adds_epi16(l, red_term), zero), top);
  const __m128i g = _mm_min_epi16(
      _mm_max_epi16(_mm_subs_epi16(_mm_subs_epi16(l, _mm_srai_epi16(red_term, 1)), green_term),
                    zero),
      top);
  const __m128i b = _mm_min_epi16(_mm_max_epi16(blue, zero), top);
  if (pixel_format == kPixelFormat565) {
    __m128i green = _mm_srli_epi16(g, 2);
    green = _mm_add_epi16(green, _mm_cmpeq_epi16(green, _mm_set1_epi16(63)));
    return _mm_or_si128(
        _mm_or_si128(_mm_slli_epi16(_mm_srli_epi16(r, 3), 11), _mm_slli_epi16(green, 5)),
        _mm_srli_epi16(b, 3));
  }
  __m128i green = _mm_srli_epi16(g, 3);
  green = _mm_add_epi16(green, _mm_cmpeq_epi16(green, _mm_set1_epi16(31)));
  return _mm_or_si128(
      _mm_or_si128(_mm_slli_epi16(_mm_srli_epi16(r, 3), 10), _mm_slli_epi16(green, 5)),
      _mm_srli_epi16(b, 3));
}

}  // namespace

void ConvertSamplesToPixels(const int32_t* y, const int32_t* cb, const int32_t* cr,
                            int32_t pixel_format, uint16_t* destination, std::ptrdiff_t pitch) {
  for (int row = 0; row < 8; ++row) {
    const int i = 8 * row;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + row * pitch),
                     ConvertEight(y + i, cb + i, cr + i, pixel_format));
  }
}

#else

void ConvertSamplesToPixels(const int32_t* y, const int32_t* cb, const int32_t* cr,
                            int32_t pixel_format, uint16_t* destination, std::ptrdiff_t pitch) {
  const SharedTables& t = BuildSharedTables();
  for (int row = 0; row < 8; ++row) {
    for (int col = 0; col < 8; ++col) {
      const int i = 8 * row + col;
      destination[row * pitch + col] = ConvertWithTables(t, y[i], cb[i], cr[i], pixel_format);
    }
  }
}

#endif

void ConvertBlockToPixels(const DecoderState& state, uint16_t* destination) {
  ConvertSamplesToPixels(state.coefficients[0], state.coefficients[1], state.coefficients[2],
                         state.pixel_format, destination, state.width);
}

}  // namespace tarvel
