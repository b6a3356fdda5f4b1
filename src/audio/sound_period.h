// The sound of one frame period: where a frame's ADPCM codes come from (its own audio chunk,
// the kept copy of frame 0's chunk while looping, or nowhere), and their decoding into the
// PCM buffer that the sound device plays. Shared by the playback engine's frame step and the
// export tool, so both produce the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/adpcm.h"
#include "container/movie_format.h"

namespace tarvel {

// Result codes of Sound_DecodeFramePeriod; the same numbers as the engine's result codes.
inline constexpr int kSoundOk = 0;
inline constexpr int kSoundOutOfMemory = 1;     // no memory for the copy of frame 0's chunk
inline constexpr int kSoundStreamRefused = 12;  // the ADPCM library refused the stream

// Frame periods of sound that frame 0's audio chunk holds, and that the device keeps queued.
inline constexpr std::int32_t kLeadPeriods = 32;

// The sound state of one playback.
struct SoundStream {
  StreamDatas adpcm_stream;
  // Copy of frame 0's audio chunk payload, taken at frame 0 when looping; empty = none.
  std::vector<std::uint8_t> audio_lead_copy;
  std::uint32_t stereo = 0;       // 0 mono, 1 stereo
  std::uint32_t sample_rate = 0;  // Hz
  std::uint32_t pcm_size = 0;     // bytes of the whole stream decoded to PCM (32-bit, wraps)
  // PCM bytes per frame period: 4 x P, with P = (A - 32) / 32 ADPCM bytes, A the payload length
  // of frame 0's audio chunk. 0 when the chunk holds less than one period of codes.
  std::int32_t audio_frame_bytes = 0;
};

// The audio chunk of a loaded frame: the "AA" chunk, else the "BB" chunk; null when neither.
// `length` receives the payload length (never negative).
const std::uint8_t* Sound_FindAudioChunk(LoadedFrame frame, std::int32_t* length);
// Said of a movie whose header promises sound but whose frame 0 has no sound chunk: it plays
// silent.
inline constexpr char kNoFrame0SoundProblem[] = "frame 0 has no sound chunk (\"AA\" or \"BB\")";
// Said of a stream whose frame period holds no sound (frame 0's chunk too short for one), which
// cannot pace playback: the movie plays silent.
inline constexpr char kEmptySoundPeriodProblem[] =
    "frame 0's sound chunk holds less than one frame period of codes";

// Prepares `sound` from frame 0's audio chunk payload (`length` bytes): validates the ADQ
// header, sets up the decoding state and the stream's format and period size. Returns an
// ADPCM library code (0, 2, 13 or 14); Adpcm_Init must have been called. The lead copy is
// left as it is.
int Sound_SetupStream(SoundStream& sound, const std::uint8_t* payload, std::int32_t length);

// Where a frame period's codes came from.
enum class SoundSource : std::int32_t {
  kSilence,   // no audio chunk: the period is silence
  kOwnChunk,  // the frame's own "AA" (or "BB") chunk
  kLeadCopy,  // the kept copy of frame 0's chunk
};

// What one call did, for callers that report or test it.
struct SoundPeriodReport {
  SoundSource source = SoundSource::kSilence;
  // Offset of the first code in the source payload (the lead copy or the chunk), header included.
  std::int64_t source_offset = 0;
  // PCM bytes the decoder was asked for (the period, or 4 x the remaining sample frames when
  // the stream runs short).
  std::int32_t decoded_bytes = 0;
  bool stream_short = false;        // fewer sample frames remained than the period holds
  bool restarted = false;           // the stream was restarted from the lead copy
  int restart_result = kAdpcmOk;    // the ADPCM library's answer to that restart
  std::int32_t starved_frames = 0;  // sample frames whose codes were missing: written as silence
};

// Decodes the sound of frame `frame_index` (N) of a movie of `frame_count` (F) frames into
// `out`, `audio_bytes` (b) bytes: one period (audio_frame_bytes) for a normal step, 32 periods
// for the step that starts playback at frame 0. `loop_mode`: 0 play once, 1 looping, 2 looping
// with the lead copy kept (this call raises 1 to 2 at frame 0). `frame` is the loaded frame N.
//  - With D = F - N < 32 and loop_mode > 1 the codes come from the lead copy, period 31 - D of
//    it; at D = 31 the stream first restarts from the copy (a refusal is reported in
//    `restart_result` and the step goes on).
//  - Otherwise they come from the frame's own audio chunk; none: b bytes of silence.
//  - When b / (bytes per sample frame) exceeds the stream's remaining sample frames, `out` is
//    cleared and b becomes 4 x remaining (the size of a stereo sample frame, whatever the
//    stream); nothing more is done when that is 0.
//  - At frame 0: looping with the copy kept, the codes come from lead period 31 (offset
//    31 x b / 4); looping without it, the copy is taken now. The codes start past the header.
// Codes are never read outside the chunk or the lead copy; frames whose codes would lie
// outside are silence, counted in the report. Returns kSoundOk, kSoundOutOfMemory (nothing
// decoded) or kSoundStreamRefused (Adpcm_Decode refused).
int Sound_DecodeFramePeriod(SoundStream& sound, std::int32_t frame_index, std::int32_t frame_count,
                            std::int32_t& loop_mode, LoadedFrame frame, std::uint8_t* out,
                            std::int32_t audio_bytes, SoundPeriodReport* report = nullptr);

// Facts about a movie's sound stream, for `kqm info`.
struct SoundStreamFacts {
  int result = kAdpcmOk;  // ADPCM library code of the header check; the rest is valid when 0
  std::uint32_t frequency = 0;
  bool stereo = false;
  std::uint32_t sample_count = 0;           // sample frames (one sample per channel each)
  double duration_seconds = 0.0;            // sample_count / frequency; 0 when frequency is 0
  std::int32_t adpcm_bytes_per_period = 0;  // P; 0 or less: no sound is played
  std::int32_t pcm_bytes_per_period = 0;    // audio_frame_bytes
  std::int32_t samples_per_period = 0;      // sample frames per frame period
  // Sample frames the pictures span: frame_count periods.
  std::int64_t picture_samples = 0;
  // Sign of sample_count - picture_samples: -1 the sound ends before the last picture,
  // 0 exactly with it, +1 it goes on after it.
  int length_versus_pictures = 0;
};

// Describes the stream from frame 0's audio chunk payload and the movie's frame count.
// Initialises the ADPCM library if needed.
SoundStreamFacts Sound_DescribeStream(const std::uint8_t* payload, std::int32_t length,
                                      std::uint32_t frame_count);

}  // namespace tarvel
