// Encoding speed: pictures per second for the demo content at 320x240 and 640x480 at each
// search effort, key frames alone, DCT blocks per second through the block quantiser, and
// seconds of sound per second for the ADPCM encoder.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "encoder/adpcm_encoder.h"
#include "encoder/dct_encoder.h"
#include "encoder/demo_content.h"
#include "encoder/video_encoder.h"
#include "video/video_tables.h"

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
  if (VideoEncoder_Init(encoder, width, height, settings) != EncoderSetup::kReady) {
    state.SkipWithError("the encoder could not be set up");
    return;
  }
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
    ->Args({640, 480, 1, 1})
    ->Args({320, 240, 2, 60})
    ->Unit(benchmark::kMillisecond);

// One DCT block of detailed content from source pixels to its code: forward transform, levels
// chosen together, refined against the decoded picture, coded. Argument: quality.
void BM_CodeDctBlock(benchmark::State& state) {
  std::int32_t luma[64], chroma[64];
  ComputeQuantisers(static_cast<int>(state.range(0)), luma, chroma);
  const SharedTables& tables = BuildSharedTables();
  std::int32_t dequant[6][64];
  for (int j = 0; j < 64; ++j) {
    const int k = kZigzag[j];
    dequant[0][j] = DequantMultiplier(luma[k], tables.prescale[k]);
    dequant[1][j] = dequant[2][j] = DequantMultiplier(chroma[k], tables.prescale[k]);
    for (int c = 0; c < 3; ++c) dequant[3 + c][j] = -dequant[c][j];
  }
  // The 64 blocks of a 64x64 piece of the demo's busiest picture.
  RgbPicture picture;
  RenderDemoPicture(64, 64, 40, 25, &picture);
  struct Block {
    float coefficients[3][64];
    const std::uint8_t* source;
  };
  std::vector<Block> blocks(64);
  for (int b = 0; b < 64; ++b) {
    Block& block = blocks[static_cast<std::size_t>(b)];
    block.source = picture.Pixel(8 * (b % 8), 8 * (b / 8));
    float samples[3][64];
    for (int i = 0; i < 64; ++i) {
      const std::uint8_t* p = block.source + (i / 8) * 64 * 3 + (i % 8) * 3;
      const float l = 0.3f * p[0] + 0.6f * p[1] + 0.1f * p[2];
      samples[0][i] = 16 * (l - 128);
      samples[1][i] = 8 * (p[2] - l);
      samples[2][i] = 10 * (p[0] - l);
    }
    for (int c = 0; c < 3; ++c) ForwardDct8x8(samples[c], block.coefficients[c]);
  }
  std::size_t next = 0;
  std::uint8_t nibbles[kMaxBlockNibbles];
  for (auto _ : state) {
    const Block& block = blocks[next];
    std::int32_t levels[3][64];
    QuantiseColourBlock(block.coefficients, dequant, 20.0f, levels);
    RefineColourBlock(block.coefficients, dequant, block.source, 64 * 3, 0.2f, 20.0f, levels);
    int count = 0;
    for (int c = 0; c < 3; ++c) count += EncodeComponentLevels(levels[c], nibbles + count);
    benchmark::DoNotOptimize(count);
    next = (next + 1) % blocks.size();
  }
  state.SetItemsProcessed(state.iterations());  // blocks
}
BENCHMARK(BM_CodeDctBlock)->ArgName("quality")->Arg(50)->Arg(75)->Arg(90);

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
