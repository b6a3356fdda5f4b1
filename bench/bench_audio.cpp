// ADPCM decoding speed, in 16-bit samples written per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "audio/adpcm.h"

namespace {

using namespace tarvel;

// A header and `code_bytes` of random codes.
std::vector<std::uint8_t> RandomStream(std::size_t code_bytes, bool stereo) {
  std::vector<std::uint8_t> bytes(32 + code_bytes);
  std::memcpy(bytes.data(), "VELD_ADQ1.20", 12);
  const std::uint32_t frames = static_cast<std::uint32_t>(stereo ? code_bytes : code_bytes * 2);
  std::memcpy(bytes.data() + 12, &frames, 4);
  bytes[28] = stereo ? 1 : 0;
  std::mt19937 random(7);
  for (std::size_t i = 32; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(random());
  return bytes;
}

// Decodes a 1 MiB stream of codes in calls of `state.range(0)` ADPCM bytes (one frame period
// of a typical movie is 400 to 1500 bytes; the whole stream at once shows the loop alone).
void DecodeStream(benchmark::State& state, bool stereo) {
  Adpcm_Init(kAdpcmLibraryVersion);
  const std::size_t code_bytes = 1 << 20;
  const std::vector<std::uint8_t> stream = RandomStream(code_bytes, stereo);
  const auto piece_bytes = static_cast<std::size_t>(state.range(0));
  const std::int32_t frames_per_call =
      static_cast<std::int32_t>(stereo ? piece_bytes : piece_bytes * 2);
  std::vector<std::uint8_t> pcm(code_bytes * 4);
  std::int64_t samples = 0;
  for (auto _ : state) {
    StreamDatas s;
    Adpcm_InitStream(stream.data(), stream.size(), &s);
    std::uint8_t* out = pcm.data();
    std::int32_t shortfall = 0;
    while (s.remaining_frames > 0) {
      Adpcm_Decode(&out, &s, frames_per_call, &shortfall);
    }
    benchmark::DoNotOptimize(pcm.data());
    benchmark::ClobberMemory();
    samples += static_cast<std::int64_t>(code_bytes) * 2;
  }
  state.SetItemsProcessed(samples);
  state.counters["samples/s"] =
      benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
}

void BM_AdpcmDecodeMono(benchmark::State& state) {
  DecodeStream(state, false);
}
void BM_AdpcmDecodeStereo(benchmark::State& state) {
  DecodeStream(state, true);
}

BENCHMARK(BM_AdpcmDecodeMono)->Arg(1470)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AdpcmDecodeStereo)->Arg(1470)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace
