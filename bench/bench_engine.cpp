// How long Player_Stop takes while a movie plays in real time: with sound (the capture device
// paced by its sample clock) and without (the frame timer at 15 frames per second). Each
// iteration opens and starts a movie, lets it play, and times the stop alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "engine/engine_test_util.h"
#include "engine/player_context.h"
#include "platform/capture_audio_device.h"

namespace {

using namespace tarvel;

std::unique_ptr<AudioDevice> MakeRealtimeCapture(void*) {
  CaptureOptions options;
  options.timing = CaptureTiming::kSampleClock;
  return std::make_unique<CaptureAudioDevice>(std::make_shared<CaptureLog>(false), options);
}

// 22,050 Hz mono at 15 frames per second: 735 ADPCM bytes per frame period.
constexpr int kBytesPerPeriod = 735;
constexpr std::uint16_t kFifteenFramesPerSecond = 13;  // 200 / 13 = 15.4 frames per second

void StopWhilePlaying(benchmark::State& state, bool sound) {
  test::MovieLayout layout =
      sound ? test::SoundMovie(600, kBytesPerPeriod) : test::SilentMovie(600);
  layout.duration = kFifteenFramesPerSecond;
  const test::TempMovie movie(layout);
  PlayerContext context;
  Player_Init(context, kPlayerInterfaceVersion);
  context.services.make_audio_device = &MakeRealtimeCapture;
  std::vector<std::uint16_t> surface(std::size_t{16} * 16);
  std::vector<double> stops;
  for (auto _ : state) {
    Player_SetLoop(context, 1);
    if (Player_Open(context, movie.path()) != kPlayerOk ||
        Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize) !=
            kPlayerOk) {
      state.SkipWithError("the movie did not start");
      break;
    }
    // Long enough for the reader to fill its ring and the clock to be mid-period.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const auto begin = std::chrono::steady_clock::now();
    Player_Stop(context);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.SetIterationTime(seconds);
    stops.push_back(seconds);
  }
  if (!stops.empty()) {
    std::sort(stops.begin(), stops.end());
    state.counters["median_ms"] = stops[stops.size() / 2] * 1e3;
    state.counters["worst_ms"] = stops.back() * 1e3;
  }
}

void BM_StopWithSound(benchmark::State& state) {
  StopWhilePlaying(state, true);
}
void BM_StopWithoutSound(benchmark::State& state) {
  StopWhilePlaying(state, false);
}

BENCHMARK(BM_StopWithSound)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StopWithoutSound)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);

}  // namespace
