#include "encoder/media_input.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <numeric>

#include "encoder/movie_writer.h"

namespace tarvel {

namespace {

constexpr int kMaxY4mDimension = 16384;
constexpr std::size_t kMaxHeaderLine = 4096;
// Sound rates read. Below 1,000 Hz a file is not sound worth resampling: the conversion to the
// stored rate would multiply its length by up to 8,000 and exhaust memory.
constexpr std::uint32_t kLowestWavRate = 1000;
constexpr std::uint32_t kHighestWavRate = 384000;

// Reads up to and including '\n'; false at end of stream before any byte, or on a line too long.
bool ReadLine(std::FILE* file, std::string* line, bool* eof_at_start) {
  line->clear();
  *eof_at_start = false;
  for (;;) {
    const int c = std::fgetc(file);
    if (c == EOF) {
      *eof_at_start = line->empty();
      return false;
    }
    if (c == '\n') return true;
    if (line->size() >= kMaxHeaderLine) return false;
    line->push_back(static_cast<char>(c));
  }
}

bool ParseInt(const std::string& text, int* value) {
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

// "N:D" with both parts above zero.
bool ParseRatio(const std::string& text, int* numerator, int* denominator) {
  const std::size_t colon = text.find(':');
  return colon != std::string::npos && ParseInt(text.substr(0, colon), numerator) &&
         ParseInt(text.substr(colon + 1), denominator) && *numerator > 0 && *denominator > 0;
}

std::uint8_t Clamp8(int value) {
  return static_cast<std::uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// YCbCr to RGB in 16.16 fixed point. Limited range scales luma 16..235 and chroma 16..240;
// full range uses all 256 codes.
struct YuvMatrix {
  int y_scale, y_offset, r_cr, g_cb, g_cr, b_cb;
};

// The reason a read of `file` ended early, when it failed rather than met the end: a failing
// disk's or a folder's read is no end of the stream. Empty at the end.
std::string ReadFailure(std::FILE* file) {
  const int error = errno;
  return std::ferror(file) ? std::string("cannot read: ") + std::strerror(error) : std::string();
}

YuvMatrix MatrixFor(bool full_range) {
  if (full_range) return {65536, 0, 91881, -22554, -46802, 116130};
  return {76309, 16, 104597, -25675, -53279, 132201};
}

}  // namespace

bool Y4mReader_OpenStream(Y4mReader& reader, std::FILE* file, const std::string& name,
                          std::string* error) {
  reader.file = file;
  reader.name = name;
  std::string line;
  bool eof = false;
  if (!ReadLine(file, &line, &eof)) {
    *error = ReadFailure(file);
    if (!error->empty()) return false;
    if (eof)
      *error = "empty file, not a YUV4MPEG2 stream";
    else if (line.size() >= kMaxHeaderLine)
      *error = "stream header line longer than " + std::to_string(kMaxHeaderLine) +
               " bytes; not a YUV4MPEG2 stream this reader takes";
    else
      *error = "not a YUV4MPEG2 stream (the header line ends without a line feed)";
    return false;
  }
  if (line.compare(0, 10, "YUV4MPEG2 ") != 0 && line != "YUV4MPEG2") {
    *error = "not a YUV4MPEG2 stream (no YUV4MPEG2 signature)";
    return false;
  }
  std::size_t pos = 9;
  std::string chroma = "420jpeg";
  while (pos < line.size()) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size()) break;
    std::size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    const std::string token = line.substr(pos, end - pos);
    pos = end;
    const char key = token[0];
    const std::string value = token.substr(1);
    if (key == 'W') {
      if (!ParseInt(value, &reader.width)) {
        *error = "bad width '" + value + "' in the stream header";
        return false;
      }
    } else if (key == 'H') {
      if (!ParseInt(value, &reader.height)) {
        *error = "bad height '" + value + "' in the stream header";
        return false;
      }
    } else if (key == 'F') {
      // 0:0 is a writer's word for a rate it does not know, as if none were given.
      if (value == "0:0") continue;
      if (!ParseRatio(value, &reader.rate_numerator, &reader.rate_denominator)) {
        *error = "bad frame rate '" + value + "' in the stream header";
        return false;
      }
      reader.rate_given = true;
    } else if (key == 'C') {
      chroma = value;
    } else if (key == 'I') {
      if (value.size() == 1) reader.interlacing = value[0];
    } else if (key == 'A') {
      // An unknown (0:0) or unreadable aspect is taken as square.
      if (!ParseRatio(value, &reader.aspect_numerator, &reader.aspect_denominator))
        reader.aspect_numerator = reader.aspect_denominator = 0;
    } else if (key == 'X') {
      if (value == "COLORRANGE=FULL") reader.full_range = true;
      if (value == "COLORRANGE=LIMITED") reader.full_range = false;
    }
  }
  if (reader.width <= 0 || reader.height <= 0 || reader.width > kMaxY4mDimension ||
      reader.height > kMaxY4mDimension) {
    *error = "picture size " + std::to_string(reader.width) + "x" + std::to_string(reader.height) +
             " missing or out of range in the stream header";
    return false;
  }
  if (chroma == "420jpeg" || chroma == "420paldv" || chroma == "420mpeg2" || chroma == "420") {
    reader.chroma = Y4mChroma::k420;
  } else if (chroma == "422") {
    reader.chroma = Y4mChroma::k422;
  } else if (chroma == "444") {
    reader.chroma = Y4mChroma::k444;
  } else if (chroma == "mono") {
    reader.chroma = Y4mChroma::kMono;
  } else {
    *error = "unsupported colour space C" + chroma + " (8-bit 420, 422, 444 or mono only)";
    return false;
  }
  return true;
}

bool Y4mReader_Open(Y4mReader& reader, const std::string& path, std::string* error) {
  reader = Y4mReader{};
  std::FILE* file = nullptr;
  if (path == "-") {
    file = stdin;
  } else {
    file = std::fopen(path.c_str(), "rb");
    if (!file) {
      *error = std::string("cannot open: ") + std::strerror(errno);
      return false;
    }
    reader.owns_file = true;
  }
  const bool owns = reader.owns_file;
  if (!Y4mReader_OpenStream(reader, file, path, error)) {
    if (owns) std::fclose(file);
    reader.file = nullptr;
    return false;
  }
  reader.owns_file = owns;
  return true;
}

int Y4mReader_Next(Y4mReader& reader, RgbPicture* picture, std::string* error) {
  if (!reader.file) {
    *error = "stream is not open";
    return -1;
  }
  std::string line;
  bool eof = false;
  // Named only when something went wrong, not for every picture read.
  const auto picture_name = [&reader] {
    return "picture " + std::to_string(reader.frames_read) + ": ";
  };
  if (!ReadLine(reader.file, &line, &eof)) {
    if (const std::string failure = ReadFailure(reader.file); !failure.empty()) {
      *error = picture_name() + failure;
      return -1;
    }
    if (eof) return 0;
    *error = picture_name() + "truncated or bad FRAME line";
    return -1;
  }
  if (line.compare(0, 5, "FRAME") != 0) {
    *error = picture_name() + "expected FRAME, found '" + line.substr(0, 16) + "'";
    return -1;
  }
  const std::size_t w = static_cast<std::size_t>(reader.width);
  const std::size_t h = static_cast<std::size_t>(reader.height);
  std::size_t cw = w, ch = h;
  if (reader.chroma == Y4mChroma::k420) {
    cw = (w + 1) / 2;
    ch = (h + 1) / 2;
  } else if (reader.chroma == Y4mChroma::k422) {
    cw = (w + 1) / 2;
  }
  const std::size_t chroma_size = reader.chroma == Y4mChroma::kMono ? 0 : cw * ch;
  const std::size_t total = w * h + 2 * chroma_size;
  // Read in pieces, growing the buffer as the data arrives, so that a header promising a huge
  // picture costs no more memory than the bytes the stream really holds.
  constexpr std::size_t kPiece = std::size_t{1} << 22;
  // A size the header allows may still be more than memory holds (16384x16384 at 4:4:4 takes
  // 768 MiB, and as much again in RGB): said of this stream rather than of the command.
  const auto no_memory = [&] {
    *error = picture_name() + "not enough memory to read a " + std::to_string(w) + "x" +
             std::to_string(h) + " picture";
    return -1;
  };
  std::size_t got = 0;
  while (got < total) {
    const std::size_t want = std::min(kPiece, total - got);
    try {
      if (reader.planes.size() < got + want) reader.planes.resize(got + want);
    } catch (const std::bad_alloc&) {
      return no_memory();
    }
    const std::size_t n = std::fread(reader.planes.data() + got, 1, want, reader.file);
    got += n;
    if (n != want) {
      const std::string failure = ReadFailure(reader.file);
      *error = picture_name() + (failure.empty() ? "truncated picture data" : failure);
      return -1;
    }
  }
  const std::uint8_t* y_plane = reader.planes.data();
  const std::uint8_t* cb_plane = y_plane + w * h;
  const std::uint8_t* cr_plane = cb_plane + chroma_size;
  const YuvMatrix m = MatrixFor(reader.full_range);
  try {
    picture->Resize(reader.width, reader.height);
  } catch (const std::bad_alloc&) {
    return no_memory();
  }
  const int x_shift = (reader.chroma == Y4mChroma::k420 || reader.chroma == Y4mChroma::k422);
  const int y_shift = reader.chroma == Y4mChroma::k420;
  for (std::size_t y = 0; y < h; ++y) {
    std::uint8_t* out = picture->Pixel(0, static_cast<int>(y));
    const std::uint8_t* yrow = y_plane + y * w;
    const std::size_t crow = (y >> y_shift) * cw;
    for (std::size_t x = 0; x < w; ++x) {
      const int luma = (yrow[x] - m.y_offset) * m.y_scale;
      int cb = 0, cr = 0;
      if (chroma_size) {
        cb = cb_plane[crow + (x >> x_shift)] - 128;
        cr = cr_plane[crow + (x >> x_shift)] - 128;
      }
      out[3 * x + 0] = Clamp8((luma + m.r_cr * cr + 32768) >> 16);
      out[3 * x + 1] = Clamp8((luma + m.g_cb * cb + m.g_cr * cr + 32768) >> 16);
      out[3 * x + 2] = Clamp8((luma + m.b_cb * cb + 32768) >> 16);
    }
  }
  ++reader.frames_read;
  return 1;
}

void Y4mReader_Close(Y4mReader& reader) {
  if (reader.file && reader.owns_file) std::fclose(reader.file);
  reader.file = nullptr;
}

namespace {

// Format tags of the fmt chunk.
constexpr std::uint32_t kWaveFormatPcm = 1;
constexpr std::uint32_t kWaveFormatFloat = 3;
constexpr std::uint32_t kWaveFormatExtensible = 0xFFFE;
// A streamed WAVE file (written to a pipe) cannot go back to fill in its data size: it leaves
// 0 or all ones there, meaning "to the end".
constexpr std::uint32_t kStreamedDataSize = 0xFFFFFFFFu;

std::uint32_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] | (p[1] << 8));
}
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Clamped before rounding: lround of a value past the range of long (a float sample of 1e30, or
// an infinity) gives no defined result, in practice the most negative one.
std::int16_t SaturateSample(double v) {
  return static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

// One sample of `bits` (8 unsigned, 16, 24 or 32 signed, or 32-bit float) as 16-bit, rounded.
std::int16_t ReadSample(const std::uint8_t* p, std::uint32_t bits, bool is_float) {
  if (is_float) {
    float f;
    const std::uint32_t raw = Le32(p);
    std::memcpy(&f, &raw, sizeof f);
    return std::isnan(f) ? 0 : SaturateSample(static_cast<double>(f) * 32768.0);
  }
  switch (bits) {
    case 8:
      return static_cast<std::int16_t>((p[0] - 128) * 256);
    case 16:
      return static_cast<std::int16_t>(Le16(p));
    case 24: {
      const std::int32_t v = static_cast<std::int32_t>(Le32(p) << 8) >> 8;  // bytes 0..2
      return SaturateSample(v / 256.0);
    }
    default:
      return SaturateSample(static_cast<std::int32_t>(Le32(p)) / 65536.0);
  }
}

}  // namespace

namespace {

// Where a WAVE file's bytes come from: a buffer, or a stream read piece by piece, so that a
// file's sound is converted as it is read and never held twice.
class WavBytes {
 public:
  WavBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  // `size`: the file's size when known (a regular file), else 0.
  WavBytes(std::FILE* file, std::uint64_t size) : file_(file), size_(size) {}
  // Reads up to `count` bytes; fewer at the end.
  std::size_t Read(std::uint8_t* out, std::size_t count) {
    std::size_t got = 0;
    if (file_) {
      got = std::fread(out, 1, count, file_);
      if (got < count && std::ferror(file_)) failure_ = ReadFailure(file_);
    } else {
      got = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - position_));
      if (got) std::memcpy(out, data_ + position_, got);
    }
    position_ += got;
    return got;
  }
  // False when the bytes end first.
  bool Skip(std::uint64_t count) {
    std::uint8_t scratch[4096];
    while (count > 0) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count, 4096));
      if (Read(scratch, want) != want) return false;
      count -= want;
    }
    return true;
  }
  std::uint64_t position() const { return position_; }
  // Bytes left when known (a buffer, or a regular file), else 0.
  std::uint64_t Remaining() const { return size_ > position_ ? size_ - position_ : 0; }
  bool failed() const { return file_ && std::ferror(file_) != 0; }
  // Why the read failed ("cannot read: ..."), when it did.
  const std::string& failure() const { return failure_; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  std::string failure_;
};

// Largest WAVE file read.
constexpr std::uint64_t kMaxWavBytes = std::uint64_t{1} << 31;
// Bytes of the fmt chunk read (WAVE_FORMAT_EXTENSIBLE's 40); the rest is skipped.
constexpr std::size_t kFmtBytes = 40;

bool ReadWav(WavBytes& in, PcmSound* sound, std::string* error) {
  std::uint8_t head[12];
  // RF64 (and its twin BW64), which recorders and writers past 4 GiB use, is RIFF with the
  // sizes that do not fit in 32 bits in a ds64 chunk.
  if (in.Read(head, 12) != 12 ||
      (std::memcmp(head, "RIFF", 4) != 0 && std::memcmp(head, "RF64", 4) != 0 &&
       std::memcmp(head, "BW64", 4) != 0) ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    *error = in.failed() ? in.failure() : "not a RIFF WAVE file";
    return false;
  }
  bool have_format = false, is_float = false;
  std::uint32_t channels = 0, rate = 0, bits = 0, block_align = 0;
  std::uint64_t ds64_data_size = 0;  // 0: none given
  const std::uint32_t riff_size = Le32(head + 4);
  std::uint8_t chunk[8];
  while (in.Read(chunk, 8) == 8) {
    const std::uint32_t length = Le32(chunk + 4);
    if (std::memcmp(chunk, "ds64", 4) == 0 && length >= 16) {
      std::uint8_t sizes[16];
      if (in.Read(sizes, 16) != 16 || !in.Skip(std::uint64_t{length} - 16 + (length & 1))) break;
      ds64_data_size = Le32(sizes + 8) | std::uint64_t{Le32(sizes + 12)} << 32;
      continue;
    }
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      std::uint8_t fmt[kFmtBytes] = {};
      const std::size_t take = std::min<std::size_t>(length, kFmtBytes);
      if (length < 16 || in.Read(fmt, take) != take || !in.Skip(length - take)) {
        *error = "malformed fmt chunk";
        return false;
      }
      std::uint32_t tag = Le16(fmt);
      channels = Le16(fmt + 2);
      rate = Le32(fmt + 4);
      block_align = Le16(fmt + 12);
      bits = Le16(fmt + 14);
      if (tag == kWaveFormatExtensible && length >= 40) tag = Le16(fmt + 24);  // sub-format
      is_float = tag == kWaveFormatFloat;
      const bool integer_ok =
          tag == kWaveFormatPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
      if (!integer_ok && !(is_float && bits == 32)) {
        *error = "unsupported sample format (tag " + std::to_string(tag) + ", " +
                 std::to_string(bits) +
                 " bits); 8, 16, 24 or 32-bit integer or 32-bit float PCM is read";
        return false;
      }
      if (channels != 1 && channels != 2) {
        *error = std::to_string(channels) +
                 " channels; only mono or stereo is read (ffmpeg's -ac 2 mixes down)";
        return false;
      }
      if (block_align != channels * bits / 8) {
        *error = "malformed fmt chunk (block size " + std::to_string(block_align) + " for " +
                 std::to_string(channels) + " channels of " + std::to_string(bits) + " bits)";
        return false;
      }
      if (rate < kLowestWavRate || rate > kHighestWavRate) {
        *error = "sample rate " + std::to_string(rate) + " Hz out of range (" +
                 std::to_string(kLowestWavRate) + " to " + std::to_string(kHighestWavRate) + ")";
        return false;
      }
      have_format = true;
      if (!in.Skip(length & 1)) break;
      continue;
    }
    if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_format) {
        *error = "data chunk before the fmt chunk";
        return false;
      }
      // A streamed file gives no length, or one past the end; take what is there.
      std::uint64_t left = (length == 0 || length == kStreamedDataSize)
                               ? std::numeric_limits<std::uint64_t>::max()
                               : length;
      if (length == kStreamedDataSize && ds64_data_size != 0) left = ds64_data_size;
      const bool size_given = left != std::numeric_limits<std::uint64_t>::max();
      const std::size_t sample_bytes = bits / 8;
      sound->sample_rate = rate;
      sound->channels = static_cast<int>(channels);
      sound->samples.clear();
      // A size of 0 is also that of a chunk that is really empty, followed by other chunks the
      // RIFF size counts (a tag, and a size within it): those are no sound.
      std::uint8_t next[8];
      std::size_t peeked = 0;
      if (length == 0 && riff_size != 0 && riff_size != kStreamedDataSize) {
        peeked = in.Read(next, 8);
        const bool tag = peeked == 8 && std::all_of(next, next + 4, [](std::uint8_t c) {
                           return c >= 0x20 && c <= 0x7E;
                         });
        if (tag && in.position() + Le32(next + 4) <= std::uint64_t{riff_size} + 8) {
          sound->missing_bytes = 0;
          return true;
        }
      }
      try {
        if (const std::uint64_t known = std::min(left, in.Remaining()))
          sound->samples.reserve(
              static_cast<std::size_t>(std::min(known, kMaxWavBytes) / block_align * channels));
        // Whole sample frames of each piece are converted; a partial one waits for the next.
        std::vector<std::uint8_t> piece(std::size_t{1} << 16);
        std::size_t held = peeked;
        std::memcpy(piece.data(), next, peeked);
        while (left > 0) {
          const std::size_t want =
              static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size() - held));
          const std::size_t got = in.Read(piece.data() + held, want);
          left -= got;
          held += got;
          if (in.position() > kMaxWavBytes) {
            *error = "file larger than 2 GiB";
            return false;
          }
          const std::size_t whole = held / block_align * block_align;
          for (std::size_t i = 0; i < whole; i += sample_bytes)
            sound->samples.push_back(ReadSample(piece.data() + i, bits, is_float));
          std::memmove(piece.data(), piece.data() + whole, held - whole);
          held -= whole;
          if (got < want) break;
        }
      } catch (const std::bad_alloc&) {
        sound->samples = {};
        *error = kSoundMemoryProblem;
        return false;
      }
      if (in.failed()) {
        *error = in.failure();
        return false;
      }
      sound->missing_bytes = size_given ? left : 0;
      return true;
    }
    if (!in.Skip(std::uint64_t{length} + (length & 1))) break;
  }
  if (in.failed()) {
    *error = in.failure();
    return false;
  }
  *error = have_format ? "no data chunk" : "no fmt chunk";
  return false;
}

}  // namespace

bool ParseWav(const std::uint8_t* data, std::size_t size, PcmSound* sound, std::string* error) {
  WavBytes in(data, size);
  return ReadWav(in, sound, error);
}

bool ReadWavStream(std::FILE* file, const std::string& path, PcmSound* sound, std::string* error) {
  std::error_code code;
  const std::uint64_t size = path == "-" || !std::filesystem::is_regular_file(path, code)
                                 ? 0
                                 : std::filesystem::file_size(path, code);
  WavBytes in(file, code ? 0 : size);
  return ReadWav(in, sound, error);
}

bool ReadWavFile(const std::string& path, PcmSound* sound, std::string* error) {
  const bool from_stdin = path == "-";
  std::FILE* file = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
  if (!file) {
    *error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  const bool ok = ReadWavStream(file, path, sound, error);
  if (!from_stdin) std::fclose(file);
  return ok;
}

std::uint32_t RepresentableSampleRate(std::uint32_t rate, std::uint16_t frame_duration,
                                      bool stereo) {
  if (frame_duration == 0) return 0;
  const std::uint32_t modulus = stereo ? 200 : 400;
  const std::uint32_t step =
      modulus / std::gcd(static_cast<std::uint32_t>(frame_duration), modulus);
  constexpr std::uint32_t kLowest = 8000, kHighest = 96000;
  std::uint32_t target = std::clamp<std::uint32_t>(rate, kLowest, kHighest);
  std::uint32_t candidate = (target + step / 2) / step * step;
  if (candidate < kLowest) candidate += step;
  if (candidate > kHighest) candidate -= step;
  if (candidate < kLowest || candidate > kHighest) return 0;
  return SamplesPerPeriod(candidate, frame_duration, stereo) ? candidate : 0;
}

bool ResampleSound(const PcmSound& in, std::uint32_t rate, PcmSound* out,
                   bool (*stop_requested)()) {
  out->sample_rate = rate;
  out->channels = in.channels;
  const std::size_t in_frames = in.Frames();
  if (rate == in.sample_rate || in_frames == 0) {
    out->samples = in.samples;
    return true;
  }
  constexpr int kTaps = 16;  // each side
  constexpr int kPhases = 512;
  const double ratio = static_cast<double>(in.sample_rate) / rate;
  const double cutoff = std::min(1.0, 1.0 / ratio) * 0.97;
  // Kernel table: phase p (fraction p / kPhases), tap t from -kTaps + 1 .. kTaps.
  std::vector<double> kernel(static_cast<std::size_t>(kPhases + 1) * 2 * kTaps);
  for (int p = 0; p <= kPhases; ++p) {
    const double frac = static_cast<double>(p) / kPhases;
    for (int t = 0; t < 2 * kTaps; ++t) {
      const double x = (t - kTaps + 1) - frac;
      const double arg = M_PI * cutoff * x;
      const double sinc = x == 0 ? 1.0 : std::sin(arg) / arg;
      const double window = 0.5 + 0.5 * std::cos(M_PI * x / (kTaps + 1));
      kernel[static_cast<std::size_t>(p) * 2 * kTaps + t] = cutoff * sinc * window;
    }
  }
  const std::size_t out_frames =
      static_cast<std::size_t>(static_cast<double>(in_frames) * rate / in.sample_rate);
  const int channels = in.channels;
  out->samples.assign(out_frames * channels, 0);
  for (std::size_t n = 0; n < out_frames; ++n) {
    if (n % rate == 0 && stop_requested && stop_requested()) return false;
    const double t = static_cast<double>(n) * ratio;
    const auto base = static_cast<std::int64_t>(std::floor(t));
    const int phase = static_cast<int>(std::lround((t - static_cast<double>(base)) * kPhases));
    const double* k = kernel.data() + static_cast<std::size_t>(phase) * 2 * kTaps;
    for (int c = 0; c < channels; ++c) {
      double sum = 0;
      for (int tap = 0; tap < 2 * kTaps; ++tap) {
        const std::int64_t i = base + tap - kTaps + 1;
        if (i < 0 || i >= static_cast<std::int64_t>(in_frames)) continue;
        sum += k[tap] * in.samples[static_cast<std::size_t>(i) * channels + c];
      }
      const long v = std::lround(sum);
      out->samples[n * channels + c] =
          static_cast<std::int16_t>(std::clamp<long>(v, -32768, 32767));
    }
  }
  return true;
}

std::uint16_t FrameDurationForRate(double frames_per_second) {
  if (!(frames_per_second > 0)) return 8;
  const double duration = std::round(200.0 / frames_per_second);
  return static_cast<std::uint16_t>(std::clamp(duration, 1.0, 65535.0));
}

}  // namespace tarvel
