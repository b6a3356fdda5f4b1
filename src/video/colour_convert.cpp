#include "video/colour_convert.h"

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

void ConvertBlockToPixels(const DecoderState& state, uint16_t* destination) {
  ConvertSamplesToPixels(state.coefficients[0], state.coefficients[1], state.coefficients[2],
                         state.pixel_format, destination, state.width);
}

}  // namespace tarvel
