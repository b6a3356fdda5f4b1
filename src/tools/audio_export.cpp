#include "tools/audio_export.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/movie_sound_info.h"

namespace tarvel::tools {

namespace {

void PutLe16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  PutLe16(p, v);
  PutLe16(p + 2, v >> 16);
}

// Sets `sound` up from frame 0's sound chunk, as the player does. False with the reason.
bool SetUpFromFrame0(SoundStream& sound, LoadedFrame frame, std::string* error) {
  std::int32_t length = 0;
  const std::uint8_t* payload = Sound_FindAudioChunk(frame, &length);
  if (payload == nullptr) {
    if (error) *error = kNoFrame0SoundProblem + std::string(": the movie plays silent");
    return false;
  }
  if (const int result = Sound_SetupStream(sound, payload, length); result != kAdpcmOk) {
    if (error) *error = std::string("frame 0: ") + Adpcm_ErrorText(result);
    return false;
  }
  // A period without sound cannot pace playback, and the sound device refuses a rate it does not
  // take: the player plays the movie silent.
  if (sound.audio_frame_bytes <= 0) {
    if (error) *error = kEmptySoundPeriodProblem + std::string(": the movie plays silent");
    return false;
  }
  if (const std::string problem = SoundRateProblem(sound.sample_rate); !problem.empty()) {
    if (error) *error = "frame 0: " + problem + ": the movie plays silent";
    return false;
  }
  return true;
}

}  // namespace

bool AudioExport::CanStart(LoadedFrame frame0, std::string* error) {
  Adpcm_Init(kAdpcmLibraryVersion);
  SoundStream sound;
  return SetUpFromFrame0(sound, frame0, error);
}

std::array<std::uint8_t, kWaveHeaderSize> WaveFileHeader(std::uint32_t sample_rate,
                                                         std::uint32_t channels,
                                                         std::uint64_t pcm_bytes) {
  const std::uint32_t block_align = channels * 2;
  // A RIFF file cannot describe more than 4 GiB. Past that both sizes say "unknown, to the end
  // of the file", as a writer that cannot go back leaves them, which readers take to mean all
  // the samples that follow; a size kept at the largest one would have them stop there and drop
  // the rest.
  const std::uint64_t room = 0xFFFFFFFFu - (kWaveHeaderSize - 8);
  const bool unknown = pcm_bytes > room;
  const auto data_size = unknown ? 0xFFFFFFFFu : static_cast<std::uint32_t>(pcm_bytes);
  const auto riff_size =
      unknown ? 0xFFFFFFFFu : static_cast<std::uint32_t>(pcm_bytes + kWaveHeaderSize - 8);
  std::array<std::uint8_t, kWaveHeaderSize> h{};
  std::memcpy(h.data(), "RIFF", 4);
  PutLe32(h.data() + 4, riff_size);
  std::memcpy(h.data() + 8, "WAVEfmt ", 8);
  PutLe32(h.data() + 16, 16);
  PutLe16(h.data() + 20, 1);  // PCM
  PutLe16(h.data() + 22, channels);
  PutLe32(h.data() + 24, sample_rate);
  PutLe32(h.data() + 28, sample_rate * block_align);
  PutLe16(h.data() + 32, block_align);
  PutLe16(h.data() + 34, 16);
  std::memcpy(h.data() + 36, "data", 4);
  PutLe32(h.data() + 40, data_size);
  return h;
}

bool NamesWaveFile(const std::string& path) {
  return path != "-" && EndsWithNoCase(path, ".wav");
}

bool OpenSoundOutput(OutputFile& out, const std::string& out_path, std::string* error) {
  const bool wave = NamesWaveFile(out_path);
  // A named pipe is known for one before it is opened, which would wait for a reader.
  std::error_code code;
  const bool named_pipe = wave && std::filesystem::is_fifo(out_path, code);
  if (!named_pipe && !out.Open(out_path, error)) return false;
  if (!wave || (!named_pipe && out.Seek(0))) return true;
  if (error)
    *error =
        "cannot seek, and a WAVE file's sizes are written last: write it to a file, or give a "
        ".pcm name for raw samples";
  out.Discard();
  return false;
}

std::string AudioExport::OutputProblem(const std::string& out_path) {
  if (out_path == "-" || EndsWithNoCase(out_path, ".wav") || EndsWithNoCase(out_path, ".pcm") ||
      EndsWithNoCase(out_path, ".raw"))
    return {};
  return "unsupported sound output (use .wav, .pcm, .raw or -)";
}

bool AudioExport::Open(const std::string& out_path, std::string* error) {
  path_ = out_path;
  if (const std::string problem = OutputProblem(out_path); !problem.empty()) {
    if (error) *error = problem;
    return false;
  }
  wave_ = NamesWaveFile(out_path);
  if (!OpenSoundOutput(out_, out_path, error)) return false;
  // Room for the WAVE header; its sizes are known only at the end.
  if (wave_) return WriteWaveHeader(error);
  return true;
}

void AudioExport::Begin(std::int32_t frame_count, bool looping, bool pictures_length) {
  frame_count_ = frame_count;
  pictures_length_ = pictures_length;
  loop_mode_ = looping ? 1 : 0;
  Adpcm_Init(kAdpcmLibraryVersion);
}

void AudioExport::WarnOnce(bool& warned, const std::string& line) {
  if (warned) return;
  warned = true;
  if (warn) warn(line);
}

bool AudioExport::AddFrame(int pass, std::int32_t frame_index, LoadedFrame frame,
                           std::string* error, bool shown) {
  std::int32_t periods = 1;
  if (!started_) {
    if (pass != 0 || frame_index != 0) {
      if (error) *error = "the sound stream starts at frame 0 of the first pass";
      return false;
    }
    if (!SetUpFromFrame0(sound_, frame, error)) return false;
    started_ = true;
    periods = kLeadPeriods;
  }

  const std::size_t bytes =
      static_cast<std::size_t>(periods) * static_cast<std::size_t>(sound_.audio_frame_bytes);
  buffer_.assign(bytes, 0);
  SoundPeriodReport report;
  const int result =
      Sound_DecodeFramePeriod(sound_, frame_index, frame_count_, loop_mode_, frame, buffer_.data(),
                              static_cast<std::int32_t>(bytes), &report);
  if (result == kSoundOutOfMemory) {
    if (error) *error = "out of memory for the copy of frame 0's sound";
    return false;
  }
  if (result != kSoundOk) {
    if (error) *error = "frame " + std::to_string(frame_index) + ": the sound stream was refused";
    return false;
  }
  if (report.restarted && report.restart_result != kAdpcmOk) {
    WarnOnce(warned_restart_, "frame " + std::to_string(frame_index) +
                                  ": the sound could not restart for the loop: " +
                                  Adpcm_ErrorText(report.restart_result));
  }
  if (report.starved_frames > 0) {
    WarnOnce(warned_starved_, "frame " + std::to_string(frame_index) + " (pass " +
                                  std::to_string(pass + 1) +
                                  "): the sound codes run out; the rest of the period is silence");
  }
  if (!pictures_length_) return Write(buffer_.data(), buffer_.size(), error);
  // The device is 31 periods ahead of the pictures: the sound heard while frame N shows is
  // period N of the stream.
  held_.insert(held_.end(), buffer_.begin(), buffer_.end());
  const std::size_t period = std::min<std::size_t>(sound_.audio_frame_bytes, held_.size());
  if (shown && !Write(held_.data(), period, error)) return false;
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(period));
  return true;
}

bool AudioExport::Write(const std::uint8_t* data, std::size_t size, std::string* error) {
  if (size == 0) return true;
  if (!out_.is_open()) {
    if (error) *error = "the sound output is not open";
    return false;
  }
  if (!out_.Write(data, size)) {
    if (error) *error = std::string("write failed: ") + std::strerror(errno);
    output_failed_ = true;
    // Nothing is left of an output that could not be written; Finish has nothing more to say.
    out_.Discard();
    return false;
  }
  pcm_bytes_ += size;
  return true;
}

bool AudioExport::WriteWaveHeader(std::string* error) {
  const auto header = WaveFileHeader(sound_.sample_rate, sound_.stereo ? 2 : 1, pcm_bytes_);
  if (!out_.Write(header.data(), header.size())) {
    if (error) *error = std::string("write failed: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool AudioExport::Finish(std::string* error) {
  return Complete(error) && out_.PutInPlace(error);
}

bool AudioExport::Complete(std::string* error) {
  if (!out_.is_open()) return true;
  if (wave_ && !out_.Seek(0)) {
    // The seek writes out what is buffered first, and a full disk shows there.
    const bool write_failed = std::ferror(out_.file()) != 0;
    if (error)
      *error =
          std::string(write_failed ? "write failed: " : "cannot seek: ") + std::strerror(errno);
    out_.Discard();
    return false;
  }
  if (wave_ && !WriteWaveHeader(error)) {
    out_.Discard();
    return false;
  }
  return out_.Complete(error);
}

}  // namespace tarvel::tools
