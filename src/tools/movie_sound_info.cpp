#include "tools/movie_sound_info.h"

#include <charconv>
#include <cstdio>

#include "audio/adpcm.h"
#include "platform/audio_device.h"

namespace tarvel::tools {

SoundInfo DescribeSoundStream(const std::uint8_t* payload, std::size_t length,
                              std::uint32_t frame_count, float) {
  SoundInfo info;
  info.present = true;
  info.chunk_bytes = length;
  info.facts = Sound_DescribeStream(payload, static_cast<std::int32_t>(length), frame_count);
  return info;
}

namespace {

const char* LengthText(int versus) {
  return versus < 0   ? "shorter than the pictures"
         : versus > 0 ? "longer than the pictures"
                      : "as long as the pictures";
}

}  // namespace

std::string SoundRateProblem(std::uint32_t rate) {
  if (AudioDevice_TakesSampleRate(rate)) return "";
  return "no sound device plays " + std::to_string(rate) + " Hz sound (they take 1 to " +
         std::to_string(kMaxDeviceSampleRate) + " Hz)";
}

std::string SoundStreamProblem(std::uint32_t rate, std::int32_t pcm_bytes_per_period) {
  if (pcm_bytes_per_period <= 0) return kEmptySoundPeriodProblem;
  return SoundRateProblem(rate);
}

std::string SoundInfoText(const SoundInfo& info) {
  char line[256];
  std::string out;
  if (!info.present) return "Sound stream:    none\n";
  const SoundStreamFacts& f = info.facts;
  if (f.result != kAdpcmOk) {
    std::snprintf(line, sizeof line, "Sound stream:    refused: %s (plays silent)\n",
                  Adpcm_ErrorText(f.result));
    return line;
  }
  const std::string rate_problem = SoundRateProblem(f.frequency);
  std::snprintf(line, sizeof line, "Sound stream:    %u Hz, %s%s\n", f.frequency,
                f.stereo ? "stereo" : "mono",
                rate_problem.empty() ? "" : (": " + rate_problem + ": plays silent").c_str());
  out += line;
  std::snprintf(line, sizeof line, "Sound samples:   %u (%.3f s), %s\n", f.sample_count,
                f.duration_seconds, LengthText(f.length_versus_pictures));
  out += line;
  std::snprintf(line, sizeof line, "Sound per frame: %d ADPCM bytes -> %d PCM bytes (%d samples)\n",
                f.adpcm_bytes_per_period, f.pcm_bytes_per_period, f.samples_per_period);
  out += line;
  if (f.pcm_bytes_per_period <= 0)
    out += std::string("Sound note:      ") + kEmptySoundPeriodProblem + ": plays silent\n";
  return out;
}

std::string SoundInfoJson(const SoundInfo& info) {
  if (!info.present) return "null";
  const SoundStreamFacts& f = info.facts;
  char text[512];
  // A stream the player refuses has the fields of one it plays, its facts null, so that a script
  // reads every movie alike.
  if (f.result != kAdpcmOk) {
    std::snprintf(text, sizeof text,
                  "{\"frequency\":null,\"stereo\":null,\"sample_count\":null,"
                  "\"duration_seconds\":null,\"adpcm_bytes_per_period\":null,"
                  "\"pcm_bytes_per_period\":null,\"samples_per_period\":null,"
                  "\"length_versus_pictures\":null,\"error\":\"%s\",\"error_code\":%d}",
                  Adpcm_ErrorText(f.result), f.result);
    return text;
  }
  // A period without sound, or a rate no sound device plays, is why the movie plays silent.
  const std::string problem = SoundStreamProblem(f.frequency, f.pcm_bytes_per_period);
  const std::string rate_problem = problem.empty() ? "null" : "\"" + problem + "\"";
  std::snprintf(text, sizeof text,
                "{\"frequency\":%u,\"stereo\":%s,\"sample_count\":%u,\"duration_seconds\":%s,"
                "\"adpcm_bytes_per_period\":%d,\"pcm_bytes_per_period\":%d,"
                "\"samples_per_period\":%d,\"length_versus_pictures\":\"%s\",\"error\":%s,"
                "\"error_code\":null}",
                f.frequency, f.stereo ? "true" : "false", f.sample_count,
                JsonNumber(f.duration_seconds).c_str(), f.adpcm_bytes_per_period,
                f.pcm_bytes_per_period, f.samples_per_period,
                f.length_versus_pictures < 0   ? "shorter"
                : f.length_versus_pictures > 0 ? "longer"
                                               : "equal",
                rate_problem.c_str());
  return text;
}

std::string JsonNumber(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

}  // namespace tarvel::tools
