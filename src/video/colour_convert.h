// Conversion of Y, Cb, Cr sample blocks (16 times pixel scale) to 16-bit RGB pixels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video/decoder_state.h"

namespace tarvel {

// One pixel from its three samples, in the given pixel format (kPixelFormat555 or 565).
// Chroma lookups outside the tables are clamped to their ends; r, g and b are limited to
// 0 .. 255 before packing. Green never reaches its top code (31 or 63).
uint16_t ConvertSampleToPixel(int32_t y, int32_t cb, int32_t cr, int32_t pixel_format);

// Converts three 8x8 sample blocks (natural order) into 64 pixels written at `destination`,
// rows `pitch` pixels apart; four pixels at a time, with the same results as
// ConvertSampleToPixel.
void ConvertSamplesToPixels(const int32_t* y, const int32_t* cb, const int32_t* cr,
                            int32_t pixel_format, uint16_t* destination, std::ptrdiff_t pitch);

// Converts the decoder's coefficient buffer (after the inverse transform) into the 8x8 block at
// `destination` in the output picture, in the decoder's pixel format.
void ConvertBlockToPixels(const DecoderState& state, uint16_t* destination);

}  // namespace tarvel
