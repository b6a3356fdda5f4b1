#include "video/simd_level.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace tarvel {

namespace {

VideoSimdLevel DetectLevel() {
#if defined(__x86_64__) || defined(__i386__)
  // The run-time check also covers the operating system's saving of the wide registers.
  if (__builtin_cpu_supports("avx2")) return VideoSimdLevel::kAvx2;
#endif
  return VideoSimdLevel::kBaseline;
}

VideoSimdLevel LowerOf(VideoSimdLevel a, VideoSimdLevel b) {
  return static_cast<int>(a) < static_cast<int>(b) ? a : b;
}

VideoSimdLevel InitialLevel() {
  const char* forced = std::getenv("TARVEL_VIDEO_SIMD");
  if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return VideoSimdLevel::kBaseline;
  return SupportedVideoSimdLevel();
}

std::atomic<int>& LevelInEffect() {
  static std::atomic<int> level{static_cast<int>(InitialLevel())};
  return level;
}

}  // namespace

VideoSimdLevel SupportedVideoSimdLevel() {
  static const VideoSimdLevel supported = DetectLevel();
  return supported;
}

VideoSimdLevel SetVideoSimdLevel(VideoSimdLevel level) {
  const VideoSimdLevel effective = LowerOf(level, SupportedVideoSimdLevel());
  LevelInEffect().store(static_cast<int>(effective), std::memory_order_relaxed);
  return effective;
}

VideoSimdLevel CurrentVideoSimdLevel() {
  return static_cast<VideoSimdLevel>(LevelInEffect().load(std::memory_order_relaxed));
}

const char* VideoSimdLevelName(VideoSimdLevel level) {
  return level == VideoSimdLevel::kAvx2 ? "avx2" : "baseline";
}

}  // namespace tarvel
