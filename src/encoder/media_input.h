// Input readers of the encoder: YUV4MPEG2 video (8-bit 4:2:0, 4:2:2, 4:4:4, turned into RGB)
// and RIFF WAVE sound (integer or float PCM), plus the sample-rate converter that fits a sound's
// rate to whole bytes of codes per frame period.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "encoder/rgb_picture.h"

namespace tarvel {

enum class Y4mChroma { k420, k422, k444, kMono };

struct Y4mReader {
  std::FILE* file = nullptr;
  bool owns_file = false;
  std::string name;  // for messages
  int width = 0;
  int height = 0;
  int rate_numerator = 25;
  int rate_denominator = 1;
  bool rate_given = false;
  Y4mChroma chroma = Y4mChroma::k420;
  bool full_range = false;  // XCOLORRANGE=FULL
  // What the stream says it is but the encoder does not keep, for a note: the interlacing
  // ('p' progressive, 't' or 'b' the field first, 'm' mixed; '?' unknown) and the pixel aspect
  // (0:0 unknown).
  char interlacing = 'p';
  int aspect_numerator = 0;
  int aspect_denominator = 0;
  std::int64_t frames_read = 0;
  std::vector<std::uint8_t> planes;
};

// Opens `path` ("-" for standard input) and reads the stream header. False with a one-line
// reason in `error` (without the file name).
bool Y4mReader_Open(Y4mReader& reader, const std::string& path, std::string* error);
// Same over an already open stream (not closed by the reader).
bool Y4mReader_OpenStream(Y4mReader& reader, std::FILE* file, const std::string& name,
                          std::string* error);
// Reads the next picture as RGB (BT.601, limited range unless the header says full).
// Returns 1 for a picture, 0 at a clean end of stream, -1 with `error` set.
int Y4mReader_Next(Y4mReader& reader, RgbPicture* picture, std::string* error);
void Y4mReader_Close(Y4mReader& reader);

struct PcmSound {
  std::uint32_t sample_rate = 0;
  int channels = 0;                   // 1 or 2
  std::vector<std::int16_t> samples;  // interleaved
  // Bytes the data chunk's size promised that the file ended without (a copy cut short).
  std::uint64_t missing_bytes = 0;
  std::size_t Frames() const { return channels ? samples.size() / channels : 0; }
};

// Reads a RIFF WAVE file ("-": standard input) of 8, 16, 24 or 32-bit integer or 32-bit float
// PCM (WAVE_FORMAT_EXTENSIBLE and RF64 included), mono or stereo, as 16-bit samples (rounded, float
// clipped to full scale). False with a one-line reason in `error` (kSoundMemoryProblem when the
// samples do not fit in memory, as a long movie's sound may not).
inline constexpr char kSoundMemoryProblem[] = "not enough memory to hold the sound";
bool ReadWavFile(const std::string& path, PcmSound* sound, std::string* error);
// Same from an already open stream (not closed here) of `path`, whose size, when it is a regular
// file, is the most the sound is made ready for at once.
bool ReadWavStream(std::FILE* file, const std::string& path, PcmSound* sound, std::string* error);
bool ParseWav(const std::uint8_t* data, std::size_t size, PcmSound* sound, std::string* error);

// The rate nearest to `rate` that gives whole bytes of codes per frame period (see
// SamplesPerPeriod), or 0 when none lies within 8,000..96,000 Hz.
std::uint32_t RepresentableSampleRate(std::uint32_t rate, std::uint16_t frame_duration,
                                      bool stereo);

// Converts `in` to `rate` with a windowed-sinc interpolator. `stop_requested` (when not null) is
// asked before each second of the output (an hour of sound takes seconds): true ends the
// conversion there, with false returned.
bool ResampleSound(const PcmSound& in, std::uint32_t rate, PcmSound* out,
                   bool (*stop_requested)() = nullptr);

// The frame duration in 1/200 s nearest to a frame rate, 1..65535.
std::uint16_t FrameDurationForRate(double frames_per_second);

}  // namespace tarvel
