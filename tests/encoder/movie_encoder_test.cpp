// Whole movies from the movie encoder: the demo movie read back with the container's reader,
// every frame decoded without a fault, the sound periods lined up with the pictures.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "audio/adpcm.h"
#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "encoder/demo_content.h"
#include "encoder/movie_encoder.h"
#include "video/video_decoder.h"

// Allocations of at least this many bytes fail while it is not 0, as when memory runs out. Every
// plain and nothrow form is replaced, so that each pair of new and delete is ours (a sanitizer's
// nothrow new freed by this delete is a mismatch it reports).
std::atomic<std::size_t> g_failing_allocations{0};

namespace {
void* Allocate(std::size_t bytes) noexcept {
  const std::size_t failing = g_failing_allocations.load();
  return failing != 0 && bytes >= failing ? nullptr : std::malloc(bytes ? bytes : 1);
}
void* AllocateOrThrow(std::size_t bytes) {
  if (void* memory = Allocate(bytes)) return memory;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t bytes) {
  return AllocateOrThrow(bytes);
}
void* operator new[](std::size_t bytes) {
  return AllocateOrThrow(bytes);
}
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  return Allocate(bytes);
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  return Allocate(bytes);
}
// Not inlined: where the compiler sees free() take what operator new gave, it warns.
[[gnu::noinline]] void operator delete(void* memory) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete[](void* memory) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete[](void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}

namespace tarvel {
namespace {

TEST(MovieEncoder, DemoMovieIsValidFrameByFrameAndItsSoundLinesUp) {
  constexpr int kWidth = 64, kHeight = 48, kFrames = 12;
  PcmSound tune;
  RenderDemoTune(22050, kFrames / 25.0, &tune);
  MovieEncodeSettings settings;  // 25 frames per second: 882 samples per period
  std::vector<std::uint8_t> movie;
  MovieEncoder encoder;
  PcmSound taken = tune;  // the encoder takes the samples over
  ASSERT_TRUE(MovieEncoder_Open(encoder, "", &movie, kWidth, kHeight, settings, &taken))
      << encoder.error;
  std::vector<RgbPicture> pictures(kFrames);
  for (int i = 0; i < kFrames; ++i) {
    RenderDemoPicture(kWidth, kHeight, i, 25, &pictures[i]);
    ASSERT_TRUE(MovieEncoder_AddPicture(encoder, pictures[i])) << encoder.error;
  }
  ASSERT_TRUE(MovieEncoder_Finish(encoder)) << encoder.error;

  MovieReader reader;
  std::string error;
  ASSERT_TRUE(MovieReader_OpenMemory(reader, movie.data(), movie.size(), &error)) << error;
  EXPECT_EQ(kWidth, reader.header.width);
  EXPECT_EQ(kHeight, reader.header.height);
  EXPECT_EQ(kFrames, reader.header.frame_count);
  EXPECT_EQ(8, reader.header.frame_duration);
  EXPECT_TRUE(reader.header.sound);
  auto decoder = VideoDecoder::Create(kHeight, kWidth, 15);
  ASSERT_TRUE(decoder);
  std::vector<std::uint8_t> chunks, sound_stream;
  std::int64_t bytes = 64;
  std::uint32_t period = 0;
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(FrameRead::kOk, MovieReader_Next(reader, chunks)) << i;
    bytes += 4 + static_cast<std::int64_t>(chunks.size());
    LoadedFrame frame{chunks.data(), static_cast<std::uint32_t>(chunks.size())};
    std::int32_t length = 0;
    const std::uint8_t* video = Frame_FindChunk(frame, "IX", &length);
    ASSERT_NE(nullptr, video) << i;
    ASSERT_EQ(kDecodeOk, decoder->Decode(video, static_cast<std::size_t>(length))) << i;
    RgbPicture decoded;
    PixelsToRgbPicture(decoder->Picture().pixels, kWidth, kHeight, false, &decoded);
    EXPECT_GT(PicturePsnr(decoded, pictures[i]), 28.0) << i;
    const std::uint8_t* audio = Frame_FindChunk(frame, "AA", &length);
    ASSERT_NE(nullptr, audio) << i;
    if (i == 0) {
      period = static_cast<std::uint32_t>((length - 32) / 32);
      EXPECT_EQ(441u, period);  // 882 samples, two per byte
      ASSERT_EQ(0, (length - 32) % 32);
    } else {
      EXPECT_EQ(period, static_cast<std::uint32_t>(length)) << i;
    }
    sound_stream.insert(sound_stream.end(), audio, audio + length);
  }
  EXPECT_EQ(FrameRead::kEnd, MovieReader_Next(reader, chunks));
  EXPECT_EQ(static_cast<std::int64_t>(movie.size()), bytes);

  // The stream's sample count covers the 12 + 31 periods written, and they decode back to the
  // tune (silence after its end) with a good signal-to-noise ratio.
  ASSERT_EQ(kAdpcmOk, Adpcm_Init(kAdpcmLibraryVersion));
  StreamDatas stream;
  ASSERT_EQ(kAdpcmOk, Adpcm_InitStream(sound_stream.data(), sound_stream.size(), &stream));
  EXPECT_EQ(43u * 882, stream.total_frames);
  EXPECT_EQ(22050u, stream.frequency);
  std::vector<std::uint8_t> le(43 * 882 * 2);
  auto* out = le.data();
  std::int32_t shortfall = -1;
  ASSERT_EQ(kAdpcmOk, Adpcm_Decode(&out, &stream, 43 * 882, &shortfall));
  EXPECT_EQ(0, shortfall);
  std::vector<std::int16_t> pcm(43 * 882);  // little-endian samples on every host
  for (std::size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<std::int16_t>(le[2 * i] | (le[2 * i + 1] << 8));
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    const double want = i < tune.samples.size() ? tune.samples[i] : 0.0;
    signal += want * want;
    noise += (pcm[i] - want) * (pcm[i] - want);
  }
  EXPECT_GT(10 * std::log10(signal / noise), 25.0);
}

TEST(MovieEncoder, RefusesSoundWhoseRateDoesNotFitTheFrames) {
  PcmSound sound;
  sound.sample_rate = 22050;
  sound.channels = 1;
  sound.samples.assign(100, 0);
  MovieEncodeSettings settings;
  settings.frame_duration = 13;  // 1433.25 samples per period
  std::vector<std::uint8_t> movie;
  MovieEncoder encoder;
  EXPECT_FALSE(MovieEncoder_Open(encoder, "", &movie, 16, 16, settings, &sound));
  EXPECT_NE(std::string::npos, encoder.error.find("22050"));
}

// The tune of a long demo takes seconds to make: a stop is looked for before each second of it,
// and ends it at once.
int g_stop_asks = 0;
TEST(MovieEncoder, TheDemoTuneEndsWhereAStopIsSeen) {
  PcmSound tune;
  g_stop_asks = 0;
  EXPECT_TRUE(RenderDemoTune(100, 600, &tune, [] {
    ++g_stop_asks;
    return false;
  }));
  EXPECT_EQ(g_stop_asks, 600);
  g_stop_asks = 0;
  EXPECT_FALSE(RenderDemoTune(100, 600, &tune, [] { return ++g_stop_asks == 2; }));
  EXPECT_EQ(g_stop_asks, 2);
}

// Pictures the memory left cannot hold are said to be, not taken for a size the format refuses.
TEST(MovieEncoder, SaysThatMemoryRanOutRatherThanBlamingTheSize) {
  std::vector<std::uint8_t> movie;
  MovieEncoder encoder;
  struct FailingAllocations {
    FailingAllocations() { g_failing_allocations = 1 << 20; }  // a 1024x4096 picture: 8 MiB
    ~FailingAllocations() { g_failing_allocations = 0; }
  };
  bool opened = true;
  {
    const FailingAllocations failing;
    opened = MovieEncoder_Open(encoder, "", &movie, 1024, 4096, {}, nullptr);
  }
  EXPECT_FALSE(opened);
  EXPECT_EQ(encoder.error, "not enough memory to encode 1024x4096 pictures");
}

TEST(MovieEncoder, StatsCountOneFrameInTheSingular) {
  std::vector<std::uint8_t> movie;
  MovieEncoder encoder;
  ASSERT_TRUE(MovieEncoder_Open(encoder, "", &movie, 16, 16, MovieEncodeSettings{}, nullptr))
      << encoder.error;
  RgbPicture picture;
  RenderDemoPicture(16, 16, 0, 25, &picture);
  ASSERT_TRUE(MovieEncoder_AddPicture(encoder, picture)) << encoder.error;
  ASSERT_TRUE(MovieEncoder_Finish(encoder)) << encoder.error;
  std::FILE* out = std::tmpfile();
  ASSERT_NE(nullptr, out);
  PrintEncodeStats(encoder, out);
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
  std::fclose(out);
  EXPECT_NE(std::string::npos, text.find("\ntotal  1 frame (1 key)")) << text;
}

}  // namespace
}  // namespace tarvel
