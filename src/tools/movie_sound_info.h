// The sound stream's facts as `kqm info` prints them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/sound_period.h"

namespace tarvel::tools {

struct SoundInfo {
  bool present = false;
  std::size_t chunk_bytes = 0;  // payload of frame 0's audio chunk
  SoundStreamFacts facts;
};

SoundInfo DescribeSoundStream(const std::uint8_t* payload, std::size_t length,
                              std::uint32_t frame_count, float frame_rate);
// Why no sound device plays sound at `rate` Hz, or empty when they do.
std::string SoundRateProblem(std::uint32_t rate);
// Why the player plays a stream that its header check passed silent (its frame period holds no
// sound, or no sound device plays its rate), or empty when it plays it.
std::string SoundStreamProblem(std::uint32_t rate, std::int32_t pcm_bytes_per_period);
std::string SoundInfoText(const SoundInfo& info);
std::string SoundInfoJson(const SoundInfo& info);
// A JSON number with as many digits as tell the value apart and no more (2293.725, not the
// stream's default six digits, 2293.73).
std::string JsonNumber(double value);

}  // namespace tarvel::tools
