// Small movies for the engine tests: a 64-byte header, frames of tagged chunks, key-frame
// pictures of one flat colour each and ADQ sound whose codes are easy to follow by hand.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/bit_writer.h"

namespace tarvel::test {

inline void AppendLe16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
inline void AppendLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

struct Chunk {
  std::string tag;  // two characters
  std::vector<uint8_t> payload;
};

// A key frame whose every block is DCT-coded with only a luma DC level: a flat picture whose
// colour depends on `level` alone.
inline std::vector<uint8_t> KeyFramePicture(int width, int height, int level) {
  ModeBitWriter modes;
  NibbleWriter nibbles;
  const int blocks = (width / 8) * (height / 8);
  const auto byte = static_cast<uint8_t>(level);
  for (int i = 0; i < blocks; ++i) {
    modes.PutString("110");
    nibbles.Put({static_cast<uint32_t>(byte >> 4), static_cast<uint32_t>(byte & 15), 0});
    nibbles.Put({0, 0, 0});
    nibbles.Put({0, 0, 0});
  }
  return AssembleVideoChunk(-50, modes.Bytes(), {}, {}, nibbles.Bytes());
}

// A key frame of 16 x 8 pixels whose first block is copied from where its second block goes,
// before that block is built (so it shows the previous picture there), and whose second block
// is flat with luma level `level`.
inline std::vector<uint8_t> KeyFrameCopyingAhead(int level) {
  ModeBitWriter modes;
  VectorWordWriter vectors;
  NibbleWriter nibbles;
  modes.PutString("111 00");  // whole-block copy from the picture being built, orientation 0
  // Long vector: columns are 128 - h from the block, so h = 120 is column 8, the same row.
  vectors.Put(static_cast<uint16_t>(120 << 7));
  modes.PutString("110");  // DCT block: luma DC only
  const auto byte = static_cast<uint8_t>(level);
  nibbles.Put({static_cast<uint32_t>(byte >> 4), static_cast<uint32_t>(byte & 15), 0});
  nibbles.Put({0, 0, 0});
  nibbles.Put({0, 0, 0});
  return AssembleVideoChunk(-50, modes.Bytes(), vectors.Bytes(), {}, nibbles.Bytes());
}

// The 32-byte ADQ stream header.
inline std::vector<uint8_t> AdqHeader(uint32_t samples, uint32_t frequency, int32_t left,
                                      uint32_t flags) {
  std::vector<uint8_t> out;
  for (char c : std::string("VELD_ADQ1.20")) out.push_back(static_cast<uint8_t>(c));
  AppendLe32(out, samples);
  AppendLe32(out, frequency);
  AppendLe32(out, static_cast<uint32_t>(left));
  AppendLe32(out, 0);
  AppendLe32(out, flags);
  return out;
}

// One frame of a movie: its chunks, and optionally a frame word of its own.
struct FrameLayout {
  std::vector<Chunk> chunks;
  bool custom_word = false;
  uint32_t word = 0;
};

struct MovieLayout {
  int width = 16;
  int height = 16;
  bool sound = false;
  uint16_t duration = 0;        // 1/200 s; 0 = not given
  int header_frame_count = -1;  // -1: the number of frames
  std::vector<FrameLayout> frames;

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out(64, 0);
    out[0] = 'K';
    out[1] = 'Q';
    out[2] = 'M';
    out[3] = '6';
    out[6] = sound ? 1 : 0;
    out[8] = static_cast<uint8_t>(width);
    out[9] = static_cast<uint8_t>(width >> 8);
    out[10] = static_cast<uint8_t>(height);
    out[11] = static_cast<uint8_t>(height >> 8);
    const int count =
        header_frame_count >= 0 ? header_frame_count : static_cast<int>(frames.size());
    out[16] = static_cast<uint8_t>(count);
    out[17] = static_cast<uint8_t>(count >> 8);
    out[24] = static_cast<uint8_t>(duration);
    out[25] = static_cast<uint8_t>(duration >> 8);
    for (const FrameLayout& frame : frames) {
      std::vector<uint8_t> list;
      for (const Chunk& chunk : frame.chunks) {
        AppendLe32(list, static_cast<uint32_t>(8 + chunk.payload.size()));
        list.push_back(static_cast<uint8_t>(chunk.tag[0]));
        list.push_back(static_cast<uint8_t>(chunk.tag[1]));
        list.push_back(0);
        list.push_back(0);
        list.insert(list.end(), chunk.payload.begin(), chunk.payload.end());
        while (list.size() % 4 != 0) list.push_back(0);
      }
      AppendLe32(out, frame.custom_word ? frame.word : static_cast<uint32_t>(4 + list.size()));
      out.insert(out.end(), list.begin(), list.end());
    }
    return out;
  }
};

// A silent movie of `count` flat key frames; frame i has luma level 8 * (i % 16), so that
// neighbouring frames differ.
inline MovieLayout SilentMovie(int count, int width = 16, int height = 16) {
  MovieLayout entry;
  entry.width = width;
  entry.height = height;
  for (int i = 0; i < count; ++i)
    entry.frames.push_back({{{"IX", KeyFramePicture(width, height, 8 * (i % 16))}}});
  return entry;
}

// Mono sound of `bytes_per_period` ADPCM bytes per frame period. Frame 0's chunk holds the
// header and 32 periods of zero codes; every later frame one period of zero codes.
inline MovieLayout SoundMovie(int count, int bytes_per_period = 8, uint32_t samples = 1000000,
                              uint32_t frequency = 22050, uint32_t flags = 0) {
  MovieLayout entry = SilentMovie(count);
  entry.sound = true;
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> audio;
    if (i == 0) {
      audio = AdqHeader(samples, frequency, 0, flags);
      audio.resize(32 + 32 * static_cast<size_t>(bytes_per_period), 0);
    } else {
      audio.assign(static_cast<size_t>(bytes_per_period), 0);
    }
    entry.frames[static_cast<size_t>(i)].chunks.push_back({"AA", audio});
  }
  return entry;
}

// A file in the temporary folder, removed with the object.
class TempMovie {
 public:
  explicit TempMovie(const std::vector<uint8_t>& bytes) {
    char name[] = "/tmp/tarvel-engine-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    if (fd >= 0) {
      const ssize_t written = ::write(fd, bytes.data(), bytes.size());
      (void)written;
      ::close(fd);
    }
  }
  explicit TempMovie(const MovieLayout& entry) : TempMovie(entry.Bytes()) {}
  ~TempMovie() { std::remove(path_.c_str()); }
  TempMovie(const TempMovie&) = delete;
  TempMovie& operator=(const TempMovie&) = delete;
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// Polls `condition` every millisecond for up to `seconds`; true once it holds.
inline bool WaitFor(const std::function<bool()>& condition, double seconds = 10.0) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace tarvel::test
