// Which vector instructions the decoder's block kernels use. The level is chosen once, at the
// first decode, from what the processor offers; TARVEL_VIDEO_SIMD=baseline (in the environment)
// or SetVideoSimdLevel forces the baseline kernels, so that tests and fuzzing exercise every
// level on any machine. Every level gives the same pixels.
#pragma once

namespace tarvel {

enum class VideoSimdLevel : int {
  kBaseline = 0,  // what every build runs: SSE2 on x86-64, the compiler's generic vectors elsewhere
  kAvx2 = 1,      // x86-64 processors with AVX2
};

// The best level this processor and build support.
VideoSimdLevel SupportedVideoSimdLevel();

// The level decodes use from the next frame on: the requested one, or the best supported
// below it. Returns the level in effect. Safe to call from any thread.
VideoSimdLevel SetVideoSimdLevel(VideoSimdLevel level);

// The level in effect: the supported one unless forced lower by the environment or
// SetVideoSimdLevel.
VideoSimdLevel CurrentVideoSimdLevel();

// "baseline" or "avx2".
const char* VideoSimdLevelName(VideoSimdLevel level);

}  // namespace tarvel
