// Encodes a whole movie: pictures through the video encoder, sound through the ADPCM encoder,
// both laid out by the movie writer. Used by `kqm encode`, `kqm demo` and the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "encoder/adpcm_encoder.h"
#include "encoder/media_input.h"
#include "encoder/movie_writer.h"
#include "encoder/video_encoder.h"

namespace tarvel {

// The sound stream cut into frame periods: frame 0 takes periods 0..31, every later frame N the
// period N + 31. Past the end of the sound the periods are silence.
struct SoundTrack {
  PcmSound sound;
  std::uint32_t samples_per_period = 0;
  std::uint32_t period_bytes = 0;
  AdpcmEncoder adpcm;
  std::int64_t next_period = 0;
  std::vector<std::int16_t> scratch;
};

// `sound` must already be at a rate that SamplesPerPeriod accepts for this frame duration.
bool SoundTrack_Init(SoundTrack& track, PcmSound sound, std::uint16_t frame_duration);
// Encodes the next `count` periods and appends their codes to `out`.
void SoundTrack_Encode(SoundTrack& track, int count, std::vector<std::uint8_t>* out);

struct MovieEncodeSettings {
  VideoEncoderSettings video;
  std::uint16_t frame_duration = 8;  // 1/200 s; 8 = 25 frames per second
};

// What the summary and the statistics keep of one encoded picture (a frame's whole
// VideoFrameStats, its mode counts included, is about a kilobyte).
struct EncodedFrame {
  bool key = false;
  int quality = 0;
  std::size_t bytes = 0;
  double psnr = 0;
};

struct MovieEncoder {
  MovieWriter writer;
  VideoEncoder video;
  SoundTrack track;
  bool has_sound = false;
  std::vector<std::uint8_t> payload;
  std::vector<std::uint8_t> audio;
  std::vector<EncodedFrame> frames;  // one entry per picture encoded
  std::string error;
};

// Opens the output (a file, or `memory` when not null) for pictures of width x height. `sound`
// (optional) must be at a representable rate; its samples are moved into the encoder, not
// copied. False with `error` set.
bool MovieEncoder_Open(MovieEncoder& encoder, const std::string& path,
                       std::vector<std::uint8_t>* memory, int width, int height,
                       const MovieEncodeSettings& settings, PcmSound* sound);
// The same, into `file`, a new file open for writing, which the encoder closes (see
// MovieWriter_OpenFile).
bool MovieEncoder_Open(MovieEncoder& encoder, std::FILE* file, int width, int height,
                       const MovieEncodeSettings& settings, PcmSound* sound);
// False with `error` set, and `video.stopped` when the settings' stop_requested ended it.
bool MovieEncoder_AddPicture(MovieEncoder& encoder, const RgbPicture& picture);
bool MovieEncoder_Finish(MovieEncoder& encoder);

// Totals over the frames encoded so far.
struct MovieEncodeSummary {
  std::int64_t frames = 0;
  std::int64_t key_frames = 0;
  std::int64_t video_bytes = 0;
  double mean_psnr = 0;
  double bits_per_pixel = 0;
};
MovieEncodeSummary SummariseFrames(const MovieEncoder& encoder);

// What a movie just encoded at `fps` frames per second comes to, in one line: "25 frames
// 320x240 at 25.000 fps, 61234 bytes, 0.255 bits/pixel, PSNR 38.12 dB".
std::string EncodeSummaryLine(const MovieEncoder& encoder, double fps);

// One line per frame (kind, bytes, PSNR) and a total line.
void PrintEncodeStats(const MovieEncoder& encoder, std::FILE* out);

}  // namespace tarvel
