// Encoding speed: pictures per second for the demo content at 320x240 and 640x480 at each
// search effort, key frames alone, and seconds of sound per second for the ADPCM encoder.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "encoder/adpcm_encoder.h"
#include "encoder/demo_content.h"
#include "encoder/video_encoder.h"

namespace {

using namespace tarvel;

// Two seconds of demo pictures, rendered once per size.
const std::vector<RgbPicture>& DemoPictures(int width, int height) {
  static std::vector<RgbPicture> pictures;
  static int cached_width = 0, cached_height = 0;
  if (cached_width != width || cached_height != height) {
    pictures.assign(50, RgbPicture{});
    for (int i = 0; i < 50; ++i) RenderDemoPicture(width, height, i, 25, &pictures[i]);
    cached_width = width;
    cached_height = height;
  }
  return pictures;
}

// Arguments: width, height, effort, key interval (1 = every picture a key frame).
void BM_EncodeDemo(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  const std::vector<RgbPicture>& pictures = DemoPictures(width, height);
  VideoEncoderSettings settings;
  settings.effort = static_cast<int>(state.range(2));
  settings.key_interval = static_cast<int>(state.range(3));
  VideoEncoder encoder;
  VideoEncoder_Init(encoder, width, height, settings);
  std::vector<std::uint8_t> payload;
  std::size_t next = 0, bytes = 0;
  for (auto _ : state) {
    VideoEncoder_EncodeFrame(encoder, pictures[next], false, &payload, nullptr);
    bytes += payload.size();
    next = (next + 1) % pictures.size();
  }
  state.SetItemsProcessed(state.iterations());  // pictures
  state.counters["bytes/picture"] =
      static_cast<double>(bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EncodeDemo)
    ->ArgNames({"w", "h", "effort", "keyint"})
    ->Args({320, 240, 0, 60})
    ->Args({320, 240, 1, 60})
    ->Args({320, 240, 1, 1})
    ->Args({640, 480, 1, 60})
    ->Args({320, 240, 2, 60})
    ->Unit(benchmark::kMillisecond);

void BM_AdpcmEncode(benchmark::State& state) {
  const bool stereo = state.range(0) != 0;
  const std::size_t frames = 22050;
  std::vector<std::int16_t> pcm(frames * (stereo ? 2 : 1));
  for (std::size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<std::int16_t>(9000 * std::sin(static_cast<double>(i) * 0.0627) +
                                       3000 * std::sin(static_cast<double>(i) * 0.31));
  std::vector<std::uint8_t> out(frames);
  for (auto _ : state) {
    AdpcmEncoder encoder;
    AdpcmEncoder_Init(encoder, stereo, 0, 0);
    benchmark::DoNotOptimize(AdpcmEncoder_Encode(encoder, pcm.data(), frames, out.data()));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(frames));  // sample frames
}
BENCHMARK(BM_AdpcmEncode)->ArgName("stereo")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
