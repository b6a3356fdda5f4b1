// The ADPCM library: the ADQ stream header, the stream decoding state and the 4-bit ADPCM
// decoder that turns a movie's sound codes into signed 16-bit PCM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvel {

// The version number a caller passes to Adpcm_Init.
inline constexpr std::int32_t kAdpcmLibraryVersion = 180;

// Result codes of the library. Codes 3, 6, 8 and 9 are part of the message table but no
// operation returns them.
inline constexpr int kAdpcmOk = 0;
inline constexpr int kAdpcmWrongLibraryVersion = 1;
inline constexpr int kAdpcmNotInitialised = 2;
inline constexpr int kAdpcmPcmSizeOdd = 3;
inline constexpr int kAdpcmPcmSizeZero = 4;  // Adpcm_Decode: no output buffer
inline constexpr int kAdpcmPcmSizeMissing = 5;
inline constexpr int kAdpcmBufferMissingUnused = 6;
inline constexpr int kAdpcmFrequencyMissing = 7;
inline constexpr int kAdpcmAdpcmSizeZero = 8;
inline constexpr int kAdpcmAdpcmSizeMissing = 9;
inline constexpr int kAdpcmBufferMissing = 10;  // also Adpcm_Decode without a stream record
inline constexpr int kAdpcmStereoMissing = 11;
inline constexpr int kAdpcmStreamMissing = 12;
inline constexpr int kAdpcmNotAdqFile = 13;
inline constexpr int kAdpcmBadAdqVersion = 14;
inline constexpr int kAdpcmUnknownCode = 15;
inline constexpr int kAdpcmOutputTextMissing = 16;

// Size of the ADQ stream header that opens the sound data.
inline constexpr std::size_t kAdqHeaderSize = 32;

// Decoding state of one ADQ stream. Filled by Adpcm_InitStream, advanced by Adpcm_Decode.
// The caller may point `data` (and `data_end`) at another chunk's codes between decoding calls;
// predictors, step indexes, nibble phase and held byte carry over.
struct StreamDatas {
  std::uint32_t stereo = 0;            // 0 mono, 1 stereo
  const std::uint8_t* data = nullptr;  // next unread ADPCM byte
  std::uint32_t nibble_phase = 0;      // 1: the next mono sample is the held byte's low nibble
  std::uint32_t frequency = 0;         // sample rate in Hz
  std::uint32_t total_frames = 0;      // sample frames in the stream
  std::uint32_t remaining_frames = 0;  // sample frames not yet decoded
  std::int32_t left_predictor = 0;
  std::int32_t right_predictor = 0;
  std::uint32_t left_index = 0;  // 0 to 88
  std::uint32_t right_index = 0;
  std::int32_t left_step = 7;  // step size of left_index
  std::int32_t right_step = 7;
  std::uint8_t held_byte = 0;  // byte whose low nibble is still to be decoded
  // End of the bytes `data` may read. Codes are never read at or past it; sample frames that
  // would need them are written as silence (see Adpcm_Decode).
  const std::uint8_t* data_end = nullptr;
};

// Initialises the library; `version` must be kAdpcmLibraryVersion (else 1). The initialised
// flag is process-wide and is never cleared.
int Adpcm_Init(std::int32_t version);

// Reads the header at `adpcm_buf` (`adpcm_size` bytes available there). On success writes the
// size of the whole stream decoded to PCM in bytes, the sample rate and the stereo flag.
// Nothing is written on failure. A buffer shorter than the header is not a valid ADQ file.
int Adpcm_GetInfo(const std::uint8_t* adpcm_buf, std::size_t adpcm_size, std::uint32_t* pcm_size,
                  std::uint32_t* frequency, std::uint32_t* stereo);

// Prepares `stream` from the header at `adpcm_buf`: the data cursor is set just past the
// header and the data end to `adpcm_buf + adpcm_size`. The record is untouched on failure.
int Adpcm_InitStream(const std::uint8_t* adpcm_buf, std::size_t adpcm_size, StreamDatas* stream);

// Decodes up to `frames` sample frames to 16-bit little-endian PCM at `*out` (interleaved left,
// right for stereo) and advances `*out` past what was written. When fewer frames remain in the
// stream, only those are decoded and the difference is written to `*shortfall`.
// Frames whose codes lie at or past `data_end` are written as zero samples, counted in
// `*starved` (optional) and still count as decoded; the decoding state is left as it was
// after the last code that was there.
int Adpcm_Decode(std::uint8_t** out, StreamDatas* stream, std::int32_t frames,
                 std::int32_t* shortfall, std::int32_t* starved = nullptr);

// The message text of a result code. Writes the text for `code` (the code-15 text for a code
// outside 0 to 14) to `*out` and returns 0, or 15 for such a code; returns 16 when `out` is null.
int Adpcm_GetErrorText(int code, std::string* out);

// The message text of any code 0 to 16 (the code-15 text for others), for messages.
const char* Adpcm_ErrorText(int code);

}  // namespace tarvel
