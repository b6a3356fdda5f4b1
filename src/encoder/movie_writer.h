// Writes KQM6 movie files: the 64-byte header, one frame after another with its size word and
// chunks, and the sound stream laid out across the frames (frame 0 carries the ADQ header and
// the first 32 frame periods, every later frame N the period N + 31).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarvel {

// Identification text in bytes 0-5 of the header.
inline constexpr char kMovieIdentification[6] = {'K', 'Q', 'M', '6', '\0', '\0'};
// Frame periods that frame 0's audio chunk carries, and how far the sound runs ahead.
inline constexpr int kLeadPeriods = 32;
inline constexpr int kSoundLeadFrames = 31;
// Largest frame count the 16-bit header field can hold.
inline constexpr int kMaxFrameCount = 65535;
// Size of the ADQ stream header at the start of frame 0's sound.
inline constexpr std::size_t kAdqHeaderBytes = 32;

// What the header and the sound layout need to know before the first frame.
struct MovieLayout {
  int width = 0;
  int height = 0;
  std::uint16_t frame_duration = 8;  // in 1/200 s
  bool sound = false;
  std::uint32_t sample_rate = 0;
  bool stereo = false;
  // ADPCM bytes of one frame period: sample_rate * frame_duration / 200 sample frames,
  // two 4-bit codes per byte for mono, one sample frame per byte for stereo.
  std::uint32_t period_bytes = 0;
  std::int32_t left_predictor = 0;  // initial predictors written into the ADQ header
  std::int32_t right_predictor = 0;
};

// Sample frames in one frame period, or 0 when the rate does not divide into whole bytes of
// codes per period (mono periods must hold an even number of samples).
std::uint32_t SamplesPerPeriod(std::uint32_t sample_rate, std::uint16_t frame_duration,
                               bool stereo);

// The most frames a movie of `layout` holds: kMaxFrameCount, or fewer when the sound stream's
// 32-bit sample count, which spans every frame and the periods frame 0 carries ahead, runs out
// first (long periods: a low frame rate at a high sample rate, 12.4 hours at 1 frame per second
// and 96 kHz).
int MovieLayout_MaxFrames(const MovieLayout& layout);

struct MovieWriter {
  MovieLayout layout;
  std::FILE* file = nullptr;                    // file output, or
  std::vector<std::uint8_t>* memory = nullptr;  // memory output
  std::string path;
  std::int64_t position = 0;  // bytes written so far
  std::int32_t frames_written = 0;
  // File offset of the ADQ header inside frame 0, patched with the sample count at the end.
  std::int64_t adq_header_offset = -1;
  bool failed = false;
  std::string error;
  std::vector<std::uint8_t> frame_buffer;
};

// Starts a movie in a new file (`path`) or in `memory`. False with MovieWriter::error set when
// the layout cannot be written (size not a multiple of 8, sound period not whole bytes, ...)
// or the file cannot be created.
bool MovieWriter_Open(MovieWriter& writer, const std::string& path, const MovieLayout& layout);
// Starts a movie in `file`, a new file open for writing, which the writer closes from then on
// (here too, on failure); a null `file` is one that could not be opened, errno saying why.
bool MovieWriter_OpenFile(MovieWriter& writer, std::FILE* file, const MovieLayout& layout);
bool MovieWriter_OpenMemory(MovieWriter& writer, std::vector<std::uint8_t>* memory,
                            const MovieLayout& layout);

// Appends one frame: an "IX" chunk with `video` and, when the movie has sound, an "AA" chunk
// with `audio` (frame 0: 32 * period_bytes bytes of codes, the ADQ header is added here;
// later frames: period_bytes bytes).
bool MovieWriter_WriteFrame(MovieWriter& writer, const std::uint8_t* video, std::size_t video_size,
                            const std::uint8_t* audio, std::size_t audio_size);

// Patches the frame count and the stream's sample count into place and closes the output.
bool MovieWriter_Finish(MovieWriter& writer);
// Closes without finishing (after an error); the file is left as it is.
void MovieWriter_Abandon(MovieWriter& writer);

// Appends one chunk (size word, tag, pad count, payload, zero padding) to `out`.
void AppendChunk(std::vector<std::uint8_t>& out, const char tag[2], const std::uint8_t* payload,
                 std::size_t size);

// The 32-byte ADQ stream header.
void BuildAdqHeader(std::uint8_t out[32], std::uint32_t sample_count, std::uint32_t frequency,
                    std::int32_t left_predictor, std::int32_t right_predictor, bool stereo);

void WriteLe16(std::uint8_t* p, std::uint16_t value);
void WriteLe32(std::uint8_t* p, std::uint32_t value);

}  // namespace tarvel
