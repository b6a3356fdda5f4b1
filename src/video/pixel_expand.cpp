#include "video/pixel_expand.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarvel {

void ExpandPixelsToRgb8(const std::uint16_t* pixels, std::size_t count, bool format565,
                        std::uint8_t* rgb) {
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned p = pixels[i];
    const unsigned r = format565 ? (p >> 11) & 31 : (p >> 10) & 31;
    const unsigned b = p & 31;
    if (format565) {
      const unsigned g = (p >> 5) & 63;
      rgb[3 * i + 1] = static_cast<std::uint8_t>((g << 2) | (g >> 4));
    } else {
      const unsigned g = (p >> 5) & 31;
      rgb[3 * i + 1] = static_cast<std::uint8_t>((g << 3) | (g >> 2));
    }
    rgb[3 * i] = static_cast<std::uint8_t>((r << 3) | (r >> 2));
    rgb[3 * i + 2] = static_cast<std::uint8_t>((b << 3) | (b >> 2));
  }
}

namespace {

// Runs of at least this many pixels (a quarter of a megabyte of output) are streamed to memory.
constexpr std::size_t kStreamedPixels = 65536;

// One pixel, field by field as the rule says.
std::uint32_t ExpandToXrgb32(unsigned p, bool format565) {
  const unsigned r = format565 ? (p >> 11) & 31 : (p >> 10) & 31;
  const unsigned g = format565 ? (p >> 5) & 63 : (p >> 5) & 31;
  const unsigned b = p & 31;
  const unsigned r8 = (r << 3) | (r >> 2);
  const unsigned g8 = format565 ? (g << 2) | (g >> 4) : (g << 3) | (g >> 2);
  const unsigned b8 = (b << 3) | (b >> 2);
  return 0xFF000000u | (r8 << 16) | (g8 << 8) | b8;
}

}  // namespace

void ExpandPixelsToXrgb32(const std::uint16_t* pixels, std::size_t count, bool format565,
                          std::uint32_t* xrgb) {
  std::size_t i = 0;
#if defined(__SSE2__)
  // Each field is brought to the top of an 8-bit value in its own 16-bit lane, its top bits
  // copied below it, and the lanes are packed to bytes and interleaved as B, G, R, 0xFF.
  const __m128i five = _mm_set1_epi16(0x1F);
  const __m128i green_mask = _mm_set1_epi16(format565 ? 0x3F : 0x1F);
  const __m128i opaque = _mm_set1_epi16(0xFF);
  const int red_shift = format565 ? 11 : 10;
  const __m128i red_shift_count = _mm_cvtsi32_si128(red_shift);
  const __m128i green_up = _mm_cvtsi32_si128(format565 ? 2 : 3);
  const __m128i green_down = _mm_cvtsi32_si128(format565 ? 4 : 2);
  // A whole picture is written once and read by another thread or process: its lines go
  // straight to memory (non-temporal stores), which saves reading each line of the
  // destination into the cache first. Smaller runs stay in the cache for whoever reads them.
  const bool stream = count >= kStreamedPixels;
  if (stream) {
    for (; i < count && (reinterpret_cast<std::uintptr_t>(xrgb + i) & 15) != 0; ++i) {
      xrgb[i] = ExpandToXrgb32(pixels[i], format565);
    }
  }
  for (; i + 8 <= count; i += 8) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + i));
    const __m128i r = _mm_and_si128(_mm_srl_epi16(p, red_shift_count), five);
    const __m128i g = _mm_and_si128(_mm_srli_epi16(p, 5), green_mask);
    const __m128i b = _mm_and_si128(p, five);
    const __m128i r8 = _mm_or_si128(_mm_slli_epi16(r, 3), _mm_srli_epi16(r, 2));
    const __m128i g8 = _mm_or_si128(_mm_sll_epi16(g, green_up), _mm_srl_epi16(g, green_down));
    const __m128i b8 = _mm_or_si128(_mm_slli_epi16(b, 3), _mm_srli_epi16(b, 2));
    const __m128i bg_bytes = _mm_packus_epi16(b8, g8);      // b0..b7 g0..g7
    const __m128i ra_bytes = _mm_packus_epi16(r8, opaque);  // r0..r7 ff..ff
    const __m128i bg = _mm_unpacklo_epi8(bg_bytes, _mm_srli_si128(bg_bytes, 8));
    const __m128i ra = _mm_unpacklo_epi8(ra_bytes, _mm_srli_si128(ra_bytes, 8));
    const __m128i low = _mm_unpacklo_epi16(bg, ra);
    const __m128i high = _mm_unpackhi_epi16(bg, ra);
    if (stream) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(xrgb + i), low);
      _mm_stream_si128(reinterpret_cast<__m128i*>(xrgb + i + 4), high);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(xrgb + i), low);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(xrgb + i + 4), high);
    }
  }
  // The streamed stores are ordered before whatever hands the picture over.
  if (stream) _mm_sfence();
#endif
  for (; i < count; ++i) xrgb[i] = ExpandToXrgb32(pixels[i], format565);
}

}  // namespace tarvel
