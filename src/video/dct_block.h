// The last two steps of a DCT-coded block: the inverse transform of its three coefficient
// blocks and the conversion of the samples to pixels, as one kernel per vector level.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video/simd_level.h"

namespace tarvel {

// Transforms the three coefficient blocks (Y, Cb, Cr in natural order, with their nonzero
// masks), converts them to 64 pixels of `pixel_format` written at `destination` with rows
// `pitch` pixels apart, and clears the coefficients again (every row a mask names), so the
// buffer is all zero for the next block. The same pixels as InverseDct8x8ByLines followed by
// ConvertSampleToPixel.
using DctBlockKernel = void (*)(int32_t (&coefficients)[3][64], const uint32_t (&masks)[3],
                                int32_t pixel_format, uint16_t* destination, std::ptrdiff_t pitch);

// The kernel of a level (the baseline one for a level this build lacks).
DctBlockKernel DctBlockKernelFor(VideoSimdLevel level);

// The AVX2 kernel, or nullptr where the build has none.
DctBlockKernel DctBlockKernelAvx2();

}  // namespace tarvel
