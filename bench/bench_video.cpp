// Video decoding speed, in 640x480 pictures per second: key frames made only of DCT blocks,
// and delta frames of mixed copy modes.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "video/coefficient_reader.h"
#include "video/pixel_expand.h"
#include "video/video_decoder.h"

namespace {

using namespace tarvel;

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// Minimal stream writers (mode bits MSB first in 32-bit little-endian words, 16-bit vector
// words, 3-byte spiral groups, nibbles low first).
struct Streams {
  std::vector<uint32_t> mode_words;
  int mode_bits = 0;
  std::vector<uint8_t> vectors;
  std::vector<uint32_t> spirals;
  std::vector<uint8_t> nibbles;
  size_t nibble_count = 0;

  void Bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if (mode_bits % 32 == 0) mode_words.push_back(0);
      mode_words.back() |= ((value >> i) & 1u) << (31 - mode_bits % 32);
      ++mode_bits;
    }
  }
  void Vector(uint32_t word) {
    vectors.push_back(static_cast<uint8_t>(word));
    vectors.push_back(static_cast<uint8_t>(word >> 8));
  }
  void Nibble(uint32_t n) {
    if (nibble_count % 2 == 0) {
      nibbles.push_back(static_cast<uint8_t>(n & 15));
    } else {
      nibbles.back() = static_cast<uint8_t>(nibbles.back() | ((n & 15) << 4));
    }
    ++nibble_count;
  }

  std::vector<uint8_t> Payload(int32_t frame_word) const {
    std::vector<uint8_t> out(24, 0);
    auto put32 = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(0, static_cast<uint32_t>(frame_word));
    put32(4, static_cast<uint32_t>(out.size()));
    for (uint32_t w : mode_words) {
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    }
    put32(8, static_cast<uint32_t>(out.size()));
    out.insert(out.end(), vectors.begin(), vectors.end());
    put32(12, static_cast<uint32_t>(out.size()));
    for (size_t i = 0; i < spirals.size(); i += 2) {
      const uint32_t g = spirals[i] | ((i + 1 < spirals.size() ? spirals[i + 1] : 0) << 12);
      for (int b = 0; b < 3; ++b) out.push_back(static_cast<uint8_t>(g >> (8 * b)));
    }
    put32(16, static_cast<uint32_t>(out.size()));
    out.insert(out.end(), nibbles.begin(), nibbles.end());
    put32(20, static_cast<uint32_t>(out.size()));
    return out;
  }
};

// One component of natural-looking content: a DC and `count` low-frequency levels, mostly
// small, with short runs, ending within the first `span` zigzag positions.
void WriteComponent(Streams& s, std::mt19937& rng, int dc_range, int count, int span) {
  const int dc = std::uniform_int_distribution<int>(-dc_range, dc_range)(rng);
  s.Nibble(static_cast<uint8_t>(dc) >> 4);
  s.Nibble(static_cast<uint8_t>(dc) & 15);
  int p = 1;
  for (int k = 0; k < count; ++k) {
    const int run = std::uniform_int_distribution<int>(0, 2)(rng);
    int level = std::uniform_int_distribution<int>(1, 100)(rng);
    level = level <= 55   ? 1
            : level <= 80 ? 2
            : level <= 92 ? std::uniform_int_distribution<int>(3, 8)(rng)
                          : std::uniform_int_distribution<int>(9, 60)(rng);
    if (rng() & 1) level = -level;
    if (p + run > span) break;
    if (run > 0 && (level == 1 || level == -1)) {
      s.Nibble(static_cast<uint32_t>(2 * run + (level < 0 ? 1 : 0)));  // codes 2..7
    } else if (level >= -8 && level <= 8) {
      const uint32_t field = static_cast<uint32_t>(level > 0 ? level - 1 : level + 16);
      if (run == 0) {
        s.Nibble(11);
      } else {
        s.Nibble(9);
        s.Nibble(static_cast<uint32_t>((run - 1) << 2));  // one level
      }
      s.Nibble(field);
    } else {
      for (int i = 0; i < run; ++i) s.Nibble(14);
      s.Nibble(15);
      s.Nibble(static_cast<uint8_t>(level) >> 4);
      s.Nibble(static_cast<uint8_t>(level) & 15);
    }
    p += run + 1;
  }
  s.Nibble(0);
}

void WriteDctBlock(Streams& s, std::mt19937& rng) {
  WriteComponent(s, rng, 100, 12, 28);
  WriteComponent(s, rng, 30, 3, 6);
  WriteComponent(s, rng, 30, 3, 6);
}

std::vector<uint8_t> MakeKeyFrame() {
  Streams s;
  std::mt19937 rng(1);
  for (int b = 0; b < (kWidth / 8) * (kHeight / 8); ++b) {
    s.Bits(0b110, 3);
    WriteDctBlock(s, rng);
  }
  return s.Payload(-75);
}

// Delta-frame content: skips, spiral copies, long and short vector copies from the reference
// with all orientations, split blocks, and a few DCT blocks. Every source stays in the picture.
class DeltaWriter {
 public:
  explicit DeltaWriter(const DecoderState& tables) : tables_(tables), rng_(2) {}

  std::vector<uint8_t> Make() {
    for (int y = 0; y < kHeight; y += 8) {
      for (int x = 0; x < kWidth; x += 8) Block(x, y);
    }
    return s_.Payload(75);
  }

 private:
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Inside(int x, int y, int w, int h) const {
    return x >= 0 && y >= 0 && x + w <= kWidth && y + h <= kHeight;
  }

  // A spiral index whose source for a w x h piece at (px, py) lies in the picture.
  uint32_t SpiralIndex(int px, int py, int w, int h) {
    const int i = Pick(0, 80);
    const int v = tables_.spiral_table[i];
    const int dy = (v + 31 + 31 * kWidth) / kWidth - 31;
    const int dx = v - dy * kWidth;
    return Inside(px + dx, py + dy, w, h) ? static_cast<uint32_t>(i) : 1u;
  }
  void Spiral(int px, int py, int w, int h) { s_.spirals.push_back(SpiralIndex(px, py, w, h)); }

  // Long vector word into the reference around the block, orientation from the mode bits.
  void LongVector(int x, int y, int size) {
    const int sx = std::min(std::max(x + Pick(-16, 16), 0), kWidth - size);
    const int sy = std::min(std::max(y + Pick(-16, 16), 0), kHeight - size);
    s_.Bits(static_cast<uint32_t>(Pick(0, 7)), 3);
    const uint32_t v = static_cast<uint32_t>(y + 64 - sy);
    const uint32_t h = static_cast<uint32_t>(x + 128 - sx);
    s_.Vector(v | (h << 7));
  }

  // Short vector word into the reference for a 2 x 2 piece.
  void ShortVector(int x, int y) {
    int dx = Pick(-32, 31);
    int dy = Pick(-32, 31);
    if (!Inside(x + dx, y + dy, 2, 2)) dx = dy = 0;
    const uint32_t n = static_cast<uint32_t>((31 - dy) * 64 + (31 - dx));
    s_.Vector(n | (static_cast<uint32_t>(Pick(0, 7)) << 12));
  }

  void Quarter(int x, int y, int q) {
    const int qx = x + 4 * (q % 2);
    const int qy = y + 4 * (q / 2);
    const int choice = Pick(0, 99);
    if (choice < 40) {
      s_.Bits(0b100, 3);
    } else if (choice < 70) {
      s_.Bits(0b00, 2);
      Spiral(qx, qy, 4, 4);
    } else if (choice < 85) {
      s_.Bits(0b01, 2);
      LongVector(x, y, 8);  // an 8 x 8 region keeps every orientation of the quarter inside
    } else {
      s_.Bits(0b111, 3);
      for (int i = 0; i < 4; ++i) {
        const int c = Pick(0, 9);
        if (c < 5) {
          s_.Bits(0b11, 2);
        } else if (c < 8) {
          s_.Bits(0b0, 1);
          Spiral(qx + 2 * (i % 2), qy + 2 * (i / 2), 2, 2);
        } else {
          s_.Bits(0b10, 2);
          ShortVector(x, y);
        }
      }
    }
  }

  void Block(int x, int y) {
    const int choice = Pick(0, 99);
    if (choice < 30) {
      s_.Bits(0b110, 3);
    } else if (choice < 50) {
      s_.Bits(0b00, 2);
      Spiral(x, y, 8, 8);
    } else if (choice < 65) {
      s_.Bits(0b010, 3);
      LongVector(x, y, 8);
    } else if (choice < 90) {
      s_.Bits(0b1110, 4);
      for (int q = 0; q < 4; ++q) Quarter(x, y, q);
    } else if (choice < 97) {
      s_.Bits(choice % 2 ? 0b100 : 0b101, 3);
      for (int k = 0; k < 2; ++k) {
        if (Pick(0, 1)) {
          s_.Bits(0b11, 2);
        } else {
          s_.Bits(0b00, 2);
          const bool stacked = choice % 2;
          Spiral(x + (stacked ? 0 : 4 * k), y + (stacked ? 4 * k : 0), stacked ? 8 : 4,
                 stacked ? 4 : 8);
        }
      }
    } else {
      s_.Bits(0b011, 3);
      WriteDctBlock(s_, rng_);
    }
  }

  const DecoderState& tables_;
  std::mt19937 rng_;
  Streams s_;
};

struct Fixture {
  std::unique_ptr<DecoderState> decoder = CreateVideoDecoder(kHeight, kWidth, 15);
  std::vector<uint16_t> reference = std::vector<uint16_t>(kWidth * kHeight, 0);
  std::vector<uint16_t> output = std::vector<uint16_t>(kWidth * kHeight, 0);
  std::vector<uint8_t> key = MakeKeyFrame();
  std::vector<uint8_t> delta = DeltaWriter(*decoder).Make();
  bool valid = false;

  Fixture() {
    // Decode both once, so the reference holds a real picture and both frames are known valid.
    valid = DecodeVideoChunk(key.data(), key.size(), reference.data(), output.data(), *decoder) ==
            kDecodeOk;
    reference = output;
    valid = valid && DecodeVideoChunk(delta.data(), delta.size(), reference.data(), output.data(),
                                      *decoder) == kDecodeOk;
  }
};

Fixture& GetFixture() {
  static Fixture fixture;
  return fixture;
}

void Decode(benchmark::State& state, const std::vector<uint8_t>& payload) {
  Fixture& f = GetFixture();
  if (!f.valid) {
    state.SkipWithError("generated frame does not decode");
    return;
  }
  for (auto _ : state) {
    const int result = DecodeVideoChunk(payload.data(), payload.size(), f.reference.data(),
                                        f.output.data(), *f.decoder);
    benchmark::DoNotOptimize(result);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}

void BM_DecodeKeyFrameDct640x480(benchmark::State& state) {
  Decode(state, GetFixture().key);
}
void BM_DecodeDeltaFrameMixed640x480(benchmark::State& state) {
  Decode(state, GetFixture().delta);
}

// Widening a 640 x 480 picture to 32-bit pixels, as the desktop player does for every new one.
void BM_ExpandPicture640x480(benchmark::State& state) {
  std::vector<std::uint16_t> pixels(640 * 480);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<std::uint16_t>((i * 2654435761u) >> 17);
  std::vector<std::uint32_t> xrgb(pixels.size());
  for (auto _ : state) {
    ExpandPixelsToXrgb32(pixels.data(), pixels.size(), false, xrgb.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DecodeKeyFrameDct640x480)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExpandPicture640x480)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeDeltaFrameMixed640x480)->Unit(benchmark::kMicrosecond);

// The coefficient reader alone, in DCT blocks per second, on two streams of 4,096 blocks: one
// whose every branch the processor can foresee (each component a DC and sixteen codes "zero, then
// +1", eight look-ups), and the natural-looking blocks of the key-frame benchmark. Their
// difference is what the unforeseeable ends of components and steps off the table's straight
// path cost; the first is what a look-up itself costs.
void BM_ReadCoefficients(benchmark::State& state) {
  constexpr int kBlocks = 4096;
  Streams s;
  std::mt19937 rng(3);
  for (int b = 0; b < kBlocks; ++b) {
    if (state.range(0) == 0) {
      for (int c = 0; c < 3; ++c) {
        s.Nibble(3);
        s.Nibble(5);
        for (int k = 0; k < 16; ++k) s.Nibble(2);
        s.Nibble(0);
      }
    } else {
      WriteDctBlock(s, rng);
    }
  }
  for (int i = 0; i < 1024; ++i) s.Nibble(0);  // the margin the table-driven reader needs
  int32_t dequant[6][64];
  for (auto& table : dequant) std::fill(std::begin(table), std::end(table), 3);
  CoefficientSlot slots[3][128];
  BuildCoefficientSlots(dequant, slots);
  alignas(64) int32_t coefficients[3][64] = {};
  uint32_t masks[3];
  for (auto _ : state) {
    NibbleReader reader{s.nibbles.data(), 0, s.nibble_count};
    for (int b = 0; b < kBlocks; ++b) {
      if (!ReadCodedCoefficients(reader, slots, coefficients, masks)) {
        state.SkipWithError("malformed block");
        return;
      }
      std::memset(coefficients, 0, sizeof(coefficients));
    }
    benchmark::DoNotOptimize(masks);
  }
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_ReadCoefficients)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The yardstick for delta frames: a whole 640x480 picture copied as 8x8 blocks (eight rows of
// 16 bytes each) from main memory. The pictures cycle through four times the last-level cache,
// so that every copy reads and writes memory the caches do not hold.
void BM_BlockCopyPicture640x480FromMemory(benchmark::State& state) {
  constexpr size_t kPixels = static_cast<size_t>(kWidth) * kHeight;
  long cache = sysconf(_SC_LEVEL3_CACHE_SIZE);
  if (cache <= 0) cache = 64L << 20;
  const size_t count = std::max<size_t>(8, 4 * static_cast<size_t>(cache) / (4 * kPixels) + 1);
  std::vector<uint16_t> sources(count * kPixels, 0x1234), destinations(count * kPixels, 0);
  size_t i = 0;
  for (auto _ : state) {
    const uint16_t* from = sources.data() + i * kPixels;
    uint16_t* to = destinations.data() + i * kPixels;
    for (size_t y = 0; y < kHeight; y += 8) {
      for (size_t x = 0; x < kWidth; x += 8) {
        for (size_t r = 0; r < 8; ++r) {
          std::memcpy(to + (y + r) * kWidth + x, from + (y + r) * kWidth + x, 16);
        }
      }
    }
    benchmark::ClobberMemory();
    i = (i + 1) % count;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BlockCopyPicture640x480FromMemory)->Unit(benchmark::kMicrosecond);

}  // namespace
