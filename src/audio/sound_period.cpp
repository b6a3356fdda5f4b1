#include "audio/sound_period.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tarvel {

namespace {

// Bytes of PCM per sample frame.
std::int32_t FrameBytes(const SoundStream& sound) {
  return sound.stereo ? 4 : 2;
}

void Clear(std::uint8_t* out, std::int64_t bytes) {
  if (out != nullptr && bytes > 0) std::memset(out, 0, static_cast<std::size_t>(bytes));
}

}  // namespace

const std::uint8_t* Sound_FindAudioChunk(LoadedFrame frame, std::int32_t* length) {
  std::int32_t found_length = 0;
  const std::uint8_t* payload = Frame_FindChunk(frame, "AA", &found_length);
  if (payload == nullptr) payload = Frame_FindChunk(frame, "BB", &found_length);
  if (payload != nullptr && length != nullptr) *length = std::max(found_length, 0);
  return payload;
}

int Sound_SetupStream(SoundStream& sound, const std::uint8_t* payload, std::int32_t length) {
  const std::size_t size = length > 0 ? static_cast<std::size_t>(length) : 0;
  StreamDatas stream;
  if (const int result = Adpcm_InitStream(payload, size, &stream); result != kAdpcmOk) {
    return result;
  }
  std::uint32_t pcm_size = 0, sample_rate = 0, stereo = 0;
  if (const int result = Adpcm_GetInfo(payload, size, &pcm_size, &sample_rate, &stereo);
      result != kAdpcmOk) {
    return result;
  }
  sound.adpcm_stream = stream;
  sound.pcm_size = pcm_size;
  sound.sample_rate = sample_rate;
  sound.stereo = stereo;
  // A header that fits leaves length >= 32, so the period is never negative.
  sound.audio_frame_bytes =
      ((length - static_cast<std::int32_t>(kAdqHeaderSize)) / kLeadPeriods) * 4;
  return kAdpcmOk;
}

int Sound_DecodeFramePeriod(SoundStream& sound, std::int32_t frame_index, std::int32_t frame_count,
                            std::int32_t& loop_mode, LoadedFrame frame, std::uint8_t* out,
                            std::int32_t audio_bytes, SoundPeriodReport* report) {
  SoundPeriodReport local;
  SoundPeriodReport& r = report != nullptr ? *report : local;
  r = SoundPeriodReport{};

  // Offsets are worked out in 64 bits so that large periods cannot wrap them.
  const std::int64_t period_bytes = std::max(audio_bytes, 0);
  std::int64_t b = period_bytes;
  const std::int64_t frames_left = static_cast<std::int64_t>(frame_count) - frame_index;
  const std::int32_t frame_bytes = FrameBytes(sound);
  std::vector<std::uint8_t>& lead = sound.audio_lead_copy;

  // Where the codes come from: a payload and the offset of the first code in it.
  const std::uint8_t* source = nullptr;
  std::size_t source_size = 0;
  std::int64_t offset = 0;
  const std::uint8_t* chunk = nullptr;
  std::int32_t chunk_length = 0;
  if (frames_left < kLeadPeriods && loop_mode > 1) {
    // The last 31 frames of a looping movie replay the start of the sound from the copy.
    if (frames_left == kLeadPeriods - 1) {
      r.restarted = true;
      r.restart_result = Adpcm_InitStream(lead.data(), lead.size(), &sound.adpcm_stream);
    }
    if (!lead.empty()) {
      source = lead.data();
      source_size = lead.size();
      offset =
          ((kLeadPeriods - 1 - frames_left) * b) / 4 + static_cast<std::int64_t>(kAdqHeaderSize);
      r.source = SoundSource::kLeadCopy;
    }
  } else {
    chunk = Sound_FindAudioChunk(frame, &chunk_length);
    if (chunk != nullptr) {
      source = chunk;
      source_size = static_cast<std::size_t>(chunk_length);
      r.source = SoundSource::kOwnChunk;
    }
  }
  if (source == nullptr) {
    Clear(out, b);
    r.source = SoundSource::kSilence;
    return kSoundOk;
  }

  // A stream that ends within this period: the period is cleared and only what is left is
  // decoded, counted as 4 bytes per remaining sample frame.
  const std::int64_t remaining = sound.adpcm_stream.remaining_frames;
  if (b / frame_bytes > remaining) {
    Clear(out, b);
    b = 4 * remaining;
    r.stream_short = true;
    if (b == 0) return kSoundOk;
  }

  if (frame_index == 0) {
    if (loop_mode > 1) {
      // Frame 0 of a later pass: the 32nd period of the lead.
      source = lead.data();
      source_size = lead.size();
      offset = (31 * b) / 4;
      r.source = SoundSource::kLeadCopy;
    } else if (loop_mode == 1) {
      if (lead.empty()) {
        try {
          lead.assign(chunk, chunk + chunk_length);
        } catch (const std::bad_alloc&) {
          return kSoundOutOfMemory;
        }
      }
      loop_mode = 2;
    }
    offset += static_cast<std::int64_t>(kAdqHeaderSize);
  }
  r.source_offset = offset;
  r.decoded_bytes = static_cast<std::int32_t>(std::min<std::int64_t>(b, INT32_MAX));

  // The decoder reads only inside the source; an offset past its end leaves no codes at all.
  StreamDatas& stream = sound.adpcm_stream;
  const std::uint8_t* source_end = source + source_size;
  stream.data = offset >= 0 && offset <= static_cast<std::int64_t>(source_size) ? source + offset
                                                                                : source_end;
  stream.data_end = source_end;

  // Never more sample frames than the buffer holds.
  const std::int64_t frames = std::min(b / frame_bytes, period_bytes / frame_bytes);
  std::uint8_t* cursor = out;
  std::int32_t shortfall = 0;
  std::int32_t starved = 0;
  const int result =
      Adpcm_Decode(&cursor, &stream, static_cast<std::int32_t>(frames), &shortfall, &starved);
  if (result != kAdpcmOk) return kSoundStreamRefused;
  r.starved_frames = starved;
  return kSoundOk;
}

SoundStreamFacts Sound_DescribeStream(const std::uint8_t* payload, std::int32_t length,
                                      std::uint32_t frame_count) {
  SoundStreamFacts facts;
  Adpcm_Init(kAdpcmLibraryVersion);
  SoundStream sound;
  facts.result = Sound_SetupStream(sound, payload, length);
  if (facts.result != kAdpcmOk) return facts;
  facts.frequency = sound.sample_rate;
  facts.stereo = sound.stereo != 0;
  facts.sample_count = sound.adpcm_stream.total_frames;
  if (facts.frequency != 0) {
    facts.duration_seconds =
        static_cast<double>(facts.sample_count) / static_cast<double>(facts.frequency);
  }
  facts.pcm_bytes_per_period = sound.audio_frame_bytes;
  facts.adpcm_bytes_per_period = sound.audio_frame_bytes / 4;
  facts.samples_per_period = sound.audio_frame_bytes / FrameBytes(sound);
  facts.picture_samples = static_cast<std::int64_t>(frame_count) * facts.samples_per_period;
  const std::int64_t difference =
      static_cast<std::int64_t>(facts.sample_count) - facts.picture_samples;
  facts.length_versus_pictures = difference < 0 ? -1 : (difference > 0 ? 1 : 0);
  return facts;
}

}  // namespace tarvel
