// The sound side of `kqm export`: writes the PCM the sound device would receive while the
// movie plays, as a WAVE file or raw signed 16-bit little-endian samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "audio/sound_period.h"
#include "container/movie_format.h"
#include "tools/tool_common.h"

namespace tarvel::tools {

// The 44 bytes of a PCM WAVE file's header for `pcm_bytes` of signed 16-bit samples (past what
// RIFF can describe, both sizes are all ones: to the end of the file).
inline constexpr std::size_t kWaveHeaderSize = 44;
std::array<std::uint8_t, kWaveHeaderSize> WaveFileHeader(std::uint32_t sample_rate,
                                                         std::uint32_t channels,
                                                         std::uint64_t pcm_bytes);
// Whether an output name asks for a WAVE file (".wav", any case) rather than raw samples.
bool NamesWaveFile(const std::string& path);
// Opens OUT, and for a WAVE file checks that its header can be gone back to, its sizes being
// written last: a pipe is refused before any sound goes into it. False with `error` set.
bool OpenSoundOutput(OutputFile& out, const std::string& out_path, std::string* error);

class AudioExport {
 public:
  // Whether frame 0 of a movie can start its sound stream, as AddFrame will need; false with
  // AddFrame's error when it cannot, so that a caller can refuse before writing anything.
  static bool CanStart(LoadedFrame frame0, std::string* error);
  // Why Open refuses OUT for its name alone; empty when it names a form written.
  static std::string OutputProblem(const std::string& out_path);
  // Not copyable or movable (the output it writes is not).
  // OUT: ".wav" -> RIFF/WAVE with the stream's rate and channels, ".pcm"/".raw" -> raw s16le,
  // "-" -> raw on standard output. Anything else is refused.
  bool Open(const std::string& out_path, std::string* error);
  // Once, before any frame: the movie's frame count (from its header), whether looping passes
  // follow (passes > 1), and whether to keep only the sound that plays while the pictures show
  // (one frame period per frame added) instead of all the device receives.
  void Begin(std::int32_t frame_count, bool looping, bool pictures_length = false);
  // Every frame in presentation order, for every pass (0 first), with the frame's chunk list.
  // Pass 0, frame 0 sets the stream up from its audio chunk and yields 32 frame periods; every
  // other call one period. False with `*error` set on a fatal problem: frame 0 without an audio
  // chunk, a header that fails validation (the library's message), a write error. With the
  // pictures' length, `shown` false leaves out the period heard while this frame's picture shows
  // (a range of pictures keeps only its own sound); the stream is decoded all the same.
  bool AddFrame(int pass, std::int32_t frame_index, LoadedFrame frame, std::string* error,
                bool shown = true);
  // Warnings, at most one line of each kind (codes that ran out, a refused restart).
  std::function<void(const std::string&)> warn;
  // Writes the WAVE sizes and puts the output in place; an export dropped without it leaves
  // nothing behind.
  bool Finish(std::string* error);
  // Finish but for putting the output in place, which Finish then does alone: for another
  // output to be put in place only once this one is whole.
  bool Complete(std::string* error);

  // Whether AddFrame failed for a write to the output (its error is then about the output, not
  // the movie).
  bool output_failed() const { return output_failed_; }
  // PCM bytes written so far.
  std::uint64_t pcm_bytes() const { return pcm_bytes_; }
  const SoundStream& sound() const { return sound_; }

 private:
  bool Write(const std::uint8_t* data, std::size_t size, std::string* error);
  bool WriteWaveHeader(std::string* error);
  void WarnOnce(bool& warned, const std::string& line);

  OutputFile out_;
  bool wave_ = false;
  std::string path_;
  SoundStream sound_;
  bool started_ = false;
  std::int32_t frame_count_ = 0;
  std::int32_t loop_mode_ = 0;
  std::vector<std::uint8_t> buffer_;
  bool pictures_length_ = false;
  std::vector<std::uint8_t> held_;  // with pictures_length_: decoded, not yet written
  std::uint64_t pcm_bytes_ = 0;
  bool output_failed_ = false;
  bool warned_starved_ = false;
  bool warned_restart_ = false;
};

}  // namespace tarvel::tools
