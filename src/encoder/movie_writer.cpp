#include "encoder/movie_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "container/movie_format.h"

namespace tarvel {

namespace {

constexpr std::size_t kMaxFrameSize = kFrameSizeMask;  // the frame word's 24-bit size field

// The header is completed last: an output that cannot go back to it (a pipe) is refused when it
// is opened, not after the whole movie has been encoded into it.
const char* const kCannotSeek =
    "cannot seek, and a movie's header is completed last: write it to a file";

bool Fail(MovieWriter& writer, const std::string& message) {
  writer.failed = true;
  if (writer.error.empty()) writer.error = message;
  return false;
}

// A write of the file that failed, with the system's reason (a full disk, a file size limit).
bool FailWrite(MovieWriter& writer) {
  return Fail(writer, std::string("write failed: ") + std::strerror(errno));
}

bool Emit(MovieWriter& writer, const std::uint8_t* data, std::size_t size) {
  if (writer.memory) {
    writer.memory->insert(writer.memory->end(), data, data + size);
  } else if (size && std::fwrite(data, 1, size, writer.file) != size) {
    return FailWrite(writer);
  }
  writer.position += static_cast<std::int64_t>(size);
  return true;
}

bool Patch(MovieWriter& writer, std::int64_t offset, const std::uint8_t* data, std::size_t size) {
  if (writer.memory) {
    std::memcpy(writer.memory->data() + offset, data, size);
    return true;
  }
  // A seek first writes out what the stream holds, all of a small movie: where that fails, as
  // on a full disk, the write is what failed (an output that cannot seek was refused at open).
  if (std::fseek(writer.file, static_cast<long>(offset), SEEK_SET) != 0 ||
      std::fwrite(data, 1, size, writer.file) != size)
    return errno == ESPIPE ? Fail(writer, "cannot update the header (is the output seekable?)")
                           : FailWrite(writer);
  return std::fseek(writer.file, 0, SEEK_END) == 0 || FailWrite(writer);
}

bool CheckLayout(MovieWriter& writer, const MovieLayout& layout) {
  if (!IsSupportedPictureSize(layout.width, layout.height) || layout.width > 65535 ||
      layout.height > 65535)
    return Fail(writer, "picture size " + std::to_string(layout.width) + "x" +
                            std::to_string(layout.height) + " is not a multiple of 8");
  if (layout.frame_duration == 0) return Fail(writer, "frame duration must not be 0");
  if (layout.sound) {
    const std::uint32_t samples =
        SamplesPerPeriod(layout.sample_rate, layout.frame_duration, layout.stereo);
    if (samples == 0)
      return Fail(writer, "sample rate " + std::to_string(layout.sample_rate) +
                              " Hz does not fill whole bytes per frame period");
    const std::uint32_t bytes = layout.stereo ? samples : samples / 2;
    if (layout.period_bytes != bytes) return Fail(writer, "sound period size does not match");
    // Frame 0 carries the sound of the lead periods: refused now, not after encoding it all.
    const std::size_t lead = static_cast<std::size_t>(kLeadPeriods) * bytes;
    if (kFrameWordSize + 2 * kChunkHeaderSize + kAdqHeaderBytes + lead > kMaxFrameSize)
      return Fail(writer, "sound at " + std::to_string(layout.sample_rate) + " Hz takes " +
                              std::to_string(lead) +
                              " bytes in frame 0, more than a frame holds (" +
                              std::to_string(kMaxFrameSize) +
                              "): raise the frame rate or lower the sample rate");
  }
  return true;
}

bool Start(MovieWriter& writer, const MovieLayout& layout) {
  writer.layout = layout;
  std::uint8_t header[kMovieHeaderSize] = {};
  std::memcpy(header, kMovieIdentification, sizeof kMovieIdentification);
  header[6] = layout.sound ? 1 : 0;
  WriteLe16(header + 8, static_cast<std::uint16_t>(layout.width));
  WriteLe16(header + 10, static_cast<std::uint16_t>(layout.height));
  WriteLe16(header + 24, layout.frame_duration);
  return Emit(writer, header, sizeof header);
}

}  // namespace

void WriteLe16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

void WriteLe32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t SamplesPerPeriod(std::uint32_t sample_rate, std::uint16_t frame_duration,
                               bool stereo) {
  const std::uint64_t product = static_cast<std::uint64_t>(sample_rate) * frame_duration;
  if (product == 0 || product % 200 != 0) return 0;
  const std::uint64_t samples = product / 200;
  if (!stereo && samples % 2 != 0) return 0;
  if (samples > (1u << 22)) return 0;
  return static_cast<std::uint32_t>(samples);
}

int MovieLayout_MaxFrames(const MovieLayout& layout) {
  if (!layout.sound) return kMaxFrameCount;
  const std::uint32_t samples =
      SamplesPerPeriod(layout.sample_rate, layout.frame_duration, layout.stereo);
  if (samples == 0) return kMaxFrameCount;
  const std::uint64_t periods = std::uint64_t{0xFFFFFFFFu} / samples;
  if (periods <= static_cast<std::uint64_t>(kSoundLeadFrames)) return 0;
  return static_cast<int>(std::min<std::uint64_t>(periods - kSoundLeadFrames,
                                                  static_cast<std::uint64_t>(kMaxFrameCount)));
}

void AppendChunk(std::vector<std::uint8_t>& out, const char tag[2], const std::uint8_t* payload,
                 std::size_t size) {
  const std::size_t chunk_size = kChunkHeaderSize + size;
  const std::size_t rounded = (chunk_size + 3) & ~static_cast<std::size_t>(3);
  const std::size_t start = out.size();
  out.resize(start + rounded, 0);
  std::uint8_t* chunk = out.data() + start;
  WriteLe32(chunk, static_cast<std::uint32_t>(chunk_size));
  chunk[4] = static_cast<std::uint8_t>(tag[0]);
  chunk[5] = static_cast<std::uint8_t>(tag[1]);
  chunk[6] = 0;
  chunk[7] = static_cast<std::uint8_t>(rounded - chunk_size);
  if (size) std::memcpy(chunk + kChunkHeaderSize, payload, size);
}

void BuildAdqHeader(std::uint8_t out[32], std::uint32_t sample_count, std::uint32_t frequency,
                    std::int32_t left_predictor, std::int32_t right_predictor, bool stereo) {
  std::memcpy(out, "VELD_ADQ", 8);
  std::memcpy(out + 8, "1.20", 4);
  WriteLe32(out + 12, sample_count);
  WriteLe32(out + 16, frequency);
  WriteLe32(out + 20, static_cast<std::uint32_t>(left_predictor));
  WriteLe32(out + 24, static_cast<std::uint32_t>(right_predictor));
  WriteLe32(out + 28, stereo ? 1u : 0u);
}

namespace {

// Starts the movie in `file`, now the writer's.
bool StartFile(MovieWriter& writer, std::FILE* file, const MovieLayout& layout) {
  writer.file = file;
  if (std::fseek(writer.file, 0, SEEK_SET) != 0) {
    MovieWriter_Abandon(writer);
    return Fail(writer, kCannotSeek);
  }
  return Start(writer, layout);
}

}  // namespace

bool MovieWriter_Open(MovieWriter& writer, const std::string& path, const MovieLayout& layout) {
  writer = MovieWriter{};
  writer.path = path;
  if (!CheckLayout(writer, layout)) return false;
  // A named pipe is refused before it is opened, which would wait for a reader that may never
  // come.
  std::error_code code;
  if (std::filesystem::is_fifo(path, code)) return Fail(writer, kCannotSeek);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return Fail(writer, std::string("cannot create: ") + std::strerror(errno));
  return StartFile(writer, file, layout);
}

bool MovieWriter_OpenFile(MovieWriter& writer, std::FILE* file, const MovieLayout& layout) {
  writer = MovieWriter{};
  if (!file) return Fail(writer, std::string("cannot create: ") + std::strerror(errno));
  if (!CheckLayout(writer, layout)) {
    std::fclose(file);
    return false;
  }
  return StartFile(writer, file, layout);
}

bool MovieWriter_OpenMemory(MovieWriter& writer, std::vector<std::uint8_t>* memory,
                            const MovieLayout& layout) {
  writer = MovieWriter{};
  writer.memory = memory;
  memory->clear();
  if (!CheckLayout(writer, layout)) return false;
  return Start(writer, layout);
}

bool MovieWriter_WriteFrame(MovieWriter& writer, const std::uint8_t* video, std::size_t video_size,
                            const std::uint8_t* audio, std::size_t audio_size) {
  if (writer.failed) return false;
  if (!writer.file && !writer.memory) return Fail(writer, "movie is not open");
  // Refused here rather than when the sample count is written at the end, after hours of work.
  if (const int most = MovieLayout_MaxFrames(writer.layout); writer.frames_written >= most)
    return Fail(writer, "more than " + std::to_string(most) + " frames" +
                            (most < kMaxFrameCount ? std::string(" (the most whose sound the "
                                                                 "stream's 32-bit sample count "
                                                                 "holds)")
                                                   : std::string()));
  const MovieLayout& layout = writer.layout;
  std::vector<std::uint8_t>& frame = writer.frame_buffer;
  frame.assign(kFrameWordSize, 0);
  AppendChunk(frame, "IX", video, video_size);
  if (layout.sound) {
    const bool first = writer.frames_written == 0;
    const std::size_t expected = static_cast<std::size_t>(layout.period_bytes) *
                                 (first ? static_cast<std::size_t>(kLeadPeriods) : 1u);
    if (audio_size != expected)
      return Fail(writer, "frame " + std::to_string(writer.frames_written) + ": " +
                              std::to_string(audio_size) + " bytes of sound instead of " +
                              std::to_string(expected));
    if (first) {
      std::vector<std::uint8_t> payload(kAdqHeaderBytes + audio_size);
      BuildAdqHeader(payload.data(), 0, layout.sample_rate, layout.left_predictor,
                     layout.right_predictor, layout.stereo);
      if (audio_size) std::memcpy(payload.data() + kAdqHeaderBytes, audio, audio_size);
      writer.adq_header_offset =
          writer.position + static_cast<std::int64_t>(frame.size() + kChunkHeaderSize);
      AppendChunk(frame, "AA", payload.data(), payload.size());
    } else {
      AppendChunk(frame, "AA", audio, audio_size);
    }
  }
  if (frame.size() > kMaxFrameSize)
    return Fail(writer, "frame " + std::to_string(writer.frames_written) + " is larger than " +
                            std::to_string(kMaxFrameSize) + " bytes");
  WriteLe32(frame.data(), static_cast<std::uint32_t>(frame.size()));
  if (!Emit(writer, frame.data(), frame.size())) return false;
  ++writer.frames_written;
  return true;
}

bool MovieWriter_Finish(MovieWriter& writer) {
  if (writer.failed) {
    MovieWriter_Abandon(writer);
    return false;
  }
  std::uint8_t count[2];
  WriteLe16(count, static_cast<std::uint16_t>(writer.frames_written));
  bool ok = Patch(writer, 16, count, 2);
  if (ok && writer.layout.sound && writer.adq_header_offset >= 0) {
    const std::uint64_t periods =
        static_cast<std::uint64_t>(writer.frames_written) + kSoundLeadFrames;
    const std::uint64_t samples =
        periods * SamplesPerPeriod(writer.layout.sample_rate, writer.layout.frame_duration,
                                   writer.layout.stereo);
    if (samples > 0xFFFFFFFFu) {
      MovieWriter_Abandon(writer);
      return Fail(writer, "the sound is too long for the stream's 32-bit sample count");
    }
    std::uint8_t value[4];
    WriteLe32(value, static_cast<std::uint32_t>(samples));
    ok = Patch(writer, writer.adq_header_offset + 12, value, 4);
  }
  if (writer.file) {
    if (std::fclose(writer.file) != 0 && ok) ok = FailWrite(writer);
    writer.file = nullptr;
  }
  writer.memory = nullptr;
  return ok;
}

void MovieWriter_Abandon(MovieWriter& writer) {
  if (writer.file) std::fclose(writer.file);
  writer.file = nullptr;
  writer.memory = nullptr;
}

}  // namespace tarvel
