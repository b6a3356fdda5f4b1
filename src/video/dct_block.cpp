#include "video/dct_block.h"

#include <cstring>

#include "video/colour_convert.h"
#include "video/inverse_dct.h"

namespace tarvel {

namespace {

// Four-lane transforms into a sample buffer, then eight pixels at a time.
void BaselineKernel(int32_t (&coefficients)[3][64], const uint32_t (&masks)[3],
                    int32_t pixel_format, uint16_t* destination, std::ptrdiff_t pitch) {
  alignas(16) int32_t samples[3][64];
  for (int c = 0; c < 3; ++c) {
    InverseDct8x8To(coefficients[c], static_cast<uint16_t>(masks[c]), samples[c]);
    // Every row: a count of coded rows would be a branch hard to foresee.
    std::memset(coefficients[c], 0, sizeof(coefficients[c]));
  }
  ConvertSamplesToPixels(samples[0], samples[1], samples[2], pixel_format, destination, pitch);
}

}  // namespace

DctBlockKernel DctBlockKernelFor(VideoSimdLevel level) {
  if (level == VideoSimdLevel::kAvx2) {
    if (DctBlockKernel avx2 = DctBlockKernelAvx2()) return avx2;
  }
  return BaselineKernel;
}

}  // namespace tarvel
