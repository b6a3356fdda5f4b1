// The export writer: output forms, its sizes over passes, refusals and warnings.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/audio_builders.h"
#include "tools/audio_export.h"

namespace tarvel {
namespace {

using test_audio::AdqFields;
using test_audio::AdqPayload;
using test_audio::FrameBuilder;
using test_audio::View;

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Three frames, P = 4 (16 PCM bytes per period).
std::vector<std::vector<std::uint8_t>> ThreeFrames(const std::vector<std::uint8_t>& lead_payload) {
  return {FrameBuilder().Chunk("AA", lead_payload).Build(),
          FrameBuilder().Chunk("AA", {0x11, 0x11, 0x11, 0x11}).Build(),
          FrameBuilder().Chunk("AA", {0x11, 0x11, 0x11, 0x11}).Build()};
}

bool ExportFrames(tools::AudioExport& audio, std::vector<std::vector<std::uint8_t>>& frames,
                  int passes, std::string* error) {
  audio.Begin(static_cast<std::int32_t>(frames.size()), passes > 1);
  for (int pass = 0; pass < passes; ++pass) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (!audio.AddFrame(pass, static_cast<std::int32_t>(i), View(frames[i]), error)) {
        return false;
      }
    }
  }
  return audio.Finish(error);
}

TEST(AudioExport, RefusesUnknownOutputsAndBadHeadersWithTheLibraryText) {
  tools::AudioExport unknown;
  std::string error;
  // The caller names the file; the reason says what is wrong with it.
  EXPECT_FALSE(unknown.Open(testing::TempDir() + "sound.mp3", &error));
  EXPECT_NE(error.find("unsupported sound output"), std::string::npos);
  EXPECT_FALSE(unknown.Open(testing::TempDir() + "no-such-folder/sound.wav", &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos);

  std::vector<std::uint8_t> bad = AdqPayload({}, std::vector<std::uint8_t>(128));
  std::memcpy(bad.data() + 8, "1.21", 4);
  auto frames = ThreeFrames(bad);
  const std::string path = testing::TempDir() + "export-bad.raw";
  tools::AudioExport audio;
  ASSERT_TRUE(audio.Open(path, &error));
  EXPECT_FALSE(ExportFrames(audio, frames, 1, &error));
  EXPECT_EQ(error, "frame 0: Invalid ADQ file version.");

  // Frame 0 without a sound chunk: the movie would play silent.
  frames[0] = FrameBuilder().Chunk("IX", {1}).Build();
  tools::AudioExport silent;
  ASSERT_TRUE(silent.Open(path, &error));
  EXPECT_FALSE(ExportFrames(silent, frames, 1, &error));
  EXPECT_NE(error.find("frame 0"), std::string::npos);
  std::remove(path.c_str());
}

TEST(AudioExport, WarnsOnceNamingTheFirstFrameWhoseCodesRunOut) {
  AdqFields f;
  f.sample_count = 100000;
  auto frames = ThreeFrames(AdqPayload(f, std::vector<std::uint8_t>(128, 0x11)));
  frames[1] = FrameBuilder().Chunk("AA", {0x11}).Build();
  frames[2] = FrameBuilder().Chunk("AA", {0x11}).Build();
  const std::string path = testing::TempDir() + "export-warn.pcm";
  tools::AudioExport audio;
  std::vector<std::string> warnings;
  audio.warn = [&](const std::string& line) { warnings.push_back(line); };
  std::string error;
  ASSERT_TRUE(audio.Open(path, &error));
  ASSERT_TRUE(ExportFrames(audio, frames, 1, &error)) << error;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind("frame 1 ", 0), 0u) << warnings[0];
  EXPECT_EQ(ReadFile(path).size(), 34u * 16);
  std::remove(path.c_str());
}

// Past 4 GiB both sizes are all ones, "to the end of the file": a size kept at the largest one
// had readers stop there and drop the rest of the sound. Up to the limit they are exact.
TEST(AudioExport, WaveHeaderOfMoreThanFourGibibytesSaysToTheEnd) {
  for (const std::uint32_t channels : {1u, 2u}) {
    const auto le32 = [](const auto& h, int at) {
      return std::uint32_t{h[at]} | std::uint32_t{h[at + 1]} << 8 | std::uint32_t{h[at + 2]} << 16 |
             std::uint32_t{h[at + 3]} << 24;
    };
    const auto over = tools::WaveFileHeader(44100, channels, std::uint64_t{5} << 30);
    EXPECT_EQ(le32(over, 40), 0xFFFFFFFFu) << channels;
    EXPECT_EQ(le32(over, 4), 0xFFFFFFFFu) << channels;
    // The largest that fits: 0xFFFFFFFF less the 36 header bytes the RIFF size counts, in
    // whole 4-byte frames.
    const auto fits = tools::WaveFileHeader(44100, channels, 0xFFFFFFD8u);
    EXPECT_EQ(le32(fits, 40), 0xFFFFFFD8u) << channels;
    EXPECT_EQ(le32(fits, 4), 0xFFFFFFFCu) << channels;
  }
}

}  // namespace
}  // namespace tarvel
