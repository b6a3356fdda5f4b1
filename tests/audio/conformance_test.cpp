// The exported sound of every conformance movie with sound, one pass and two looping passes,
// against the digests and sizes of an independent implementation.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/digest.h"
#include "tools/audio_export.h"

namespace tarvel {
namespace {

struct ExpectedSound {
  std::string movie;
  int passes = 1;
  std::string sha256;
  std::uint64_t bytes = 0;
};

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The "sound-once" and "sound-passes2" lines of EXPECTED.txt, with the movie they belong to.
std::vector<ExpectedSound> ReadExpectations() {
  std::ifstream in(std::string(TARVEL_CONFORMANCE_DIR) + "/EXPECTED.txt");
  std::vector<ExpectedSound> result;
  std::string line, movie;
  while (std::getline(in, line)) {
    if (line.rfind("# ", 0) == 0) {
      movie = line.substr(2, line.find(':') - 2);
      continue;
    }
    std::istringstream words(line);
    std::string kind, algorithm, digest, bytes_word;
    ExpectedSound e;
    if (!(words >> kind >> algorithm >> digest >> bytes_word >> e.bytes)) continue;
    if (kind != "sound-once" && kind != "sound-passes2") continue;
    e.movie = movie;
    e.passes = kind == "sound-once" ? 1 : 2;
    e.sha256 = digest;
    result.push_back(e);
  }
  return result;
}

// Frames of a movie file: the chunk list of each, in file order.
std::vector<std::vector<std::uint8_t>> SplitFrames(const std::vector<std::uint8_t>& file,
                                                   std::uint32_t frame_count) {
  std::vector<std::vector<std::uint8_t>> frames;
  std::size_t at = 64;
  while (frames.size() < frame_count && at + 4 <= file.size()) {
    const std::uint32_t size = ReadLe32(file.data() + at) & kFrameSizeMask;
    if (size < 4 || at + size > file.size()) break;
    frames.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at + 4),
                        file.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
  }
  return frames;
}

// Exports the movie's sound over `passes` passes into `out_path`.
bool ExportSound(const std::string& movie_path, int passes, const std::string& out_path,
                 std::vector<std::string>* warnings, std::string* error) {
  const std::vector<std::uint8_t> file = ReadFile(movie_path);
  if (file.size() < 64) {
    *error = "short movie";
    return false;
  }
  const std::uint32_t frame_count = ReadLe16(file.data() + 16);
  std::vector<std::vector<std::uint8_t>> frames = SplitFrames(file, frame_count);
  if (frames.size() != frame_count) {
    *error = "frames missing";
    return false;
  }
  tools::AudioExport audio;
  audio.warn = [&](const std::string& line) { warnings->push_back(line); };
  if (!audio.Open(out_path, error)) return false;
  audio.Begin(static_cast<std::int32_t>(frame_count), passes > 1);
  for (int pass = 0; pass < passes; ++pass) {
    for (std::uint32_t i = 0; i < frame_count; ++i) {
      LoadedFrame frame{frames[i].data(), static_cast<std::uint32_t>(frames[i].size())};
      if (!audio.AddFrame(pass, static_cast<std::int32_t>(i), frame, error)) return false;
    }
  }
  return audio.Finish(error);
}

TEST(SoundConformance, EveryMovieWithSoundMatchesOnceAndTwoPasses) {
  const std::vector<ExpectedSound> expectations = ReadExpectations();
  ASSERT_GE(expectations.size(), 10u) << "EXPECTED.txt not found or without sound lines";
  for (const ExpectedSound& e : expectations) {
    SCOPED_TRACE(e.movie + " passes " + std::to_string(e.passes));
    const std::string out = testing::TempDir() + "conformance-" + e.movie + ".pcm";
    std::vector<std::string> warnings;
    std::string error;
    ASSERT_TRUE(ExportSound(std::string(TARVEL_CONFORMANCE_DIR) + "/" + e.movie + ".kqm", e.passes,
                            out, &warnings, &error))
        << error;
    const std::vector<std::uint8_t> pcm = ReadFile(out);
    EXPECT_EQ(pcm.size(), e.bytes);
    test::Sha256 sha;
    sha.Update(pcm.data(), pcm.size());
    EXPECT_EQ(sha.FinalHex(), e.sha256);
    std::remove(out.c_str());
  }
}

TEST(SoundConformance, WaveFileWrapsTheSamePcm) {
  const std::string movie = std::string(TARVEL_CONFORMANCE_DIR) + "/copy-320x240-stereo.kqm";
  const std::string raw_path = testing::TempDir() + "wave-check.raw";
  const std::string wav_path = testing::TempDir() + "wave-check.WAV";
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(ExportSound(movie, 1, raw_path, &warnings, &error)) << error;
  ASSERT_TRUE(ExportSound(movie, 1, wav_path, &warnings, &error)) << error;
  const std::vector<std::uint8_t> raw = ReadFile(raw_path);
  const std::vector<std::uint8_t> wav = ReadFile(wav_path);
  ASSERT_EQ(wav.size(), raw.size() + 44);
  EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
  EXPECT_EQ(ReadLe32(wav.data() + 4), raw.size() + 36);
  EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(ReadLe16(wav.data() + 20), 1);  // PCM
  EXPECT_EQ(ReadLe16(wav.data() + 22), 2);  // the movie is stereo
  // The rate is the one frame 0's ADQ header gives (offset 16 of the sound payload).
  const std::vector<std::uint8_t> file = ReadFile(movie);
  std::vector<std::vector<std::uint8_t>> frames = SplitFrames(file, 1);
  ASSERT_EQ(frames.size(), 1u);
  std::int32_t length = 0;
  const std::uint8_t* payload = Sound_FindAudioChunk(
      LoadedFrame{frames[0].data(), static_cast<std::uint32_t>(frames[0].size())}, &length);
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(ReadLe32(wav.data() + 24), ReadLe32(payload + 16));
  EXPECT_EQ(ReadLe32(wav.data() + 28), ReadLe32(wav.data() + 24) * 4);
  EXPECT_EQ(ReadLe16(wav.data() + 32), 4);
  EXPECT_EQ(ReadLe16(wav.data() + 34), 16);
  EXPECT_EQ(std::string(wav.begin() + 36, wav.begin() + 40), "data");
  EXPECT_EQ(ReadLe32(wav.data() + 40), raw.size());
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), wav.begin() + 44));
  std::remove(raw_path.c_str());
  std::remove(wav_path.c_str());
}

}  // namespace
}  // namespace tarvel
