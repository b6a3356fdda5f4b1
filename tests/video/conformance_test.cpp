// Decodes every conformance movie in both pixel formats and over two looping passes, and
// compares the per-frame CRC-32s and the SHA-256 of all pictures with EXPECTED.txt.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "support/digest.h"
#include "video/simd_level.h"
#include "video/video_decoder.h"

namespace tarvel {
namespace {

struct Expected {
  std::string name;
  int width = 0;
  int height = 0;
  int frames = 0;
  std::string sha555;
  std::string sha565;
  std::string sha555_passes2;
  std::vector<uint32_t> crc555;
};

// Names the movie in test output instead of dumping the record's bytes.
void PrintTo(const Expected& e, std::ostream* os) {
  *os << e.name;
}

std::string ConformanceDir() {
  return TARVEL_CONFORMANCE_DIR;
}

// Parses EXPECTED.txt: a "# name: WxH, N frames, ..." line opens each movie's section.
std::vector<Expected> LoadExpected() {
  std::vector<Expected> movies;
  std::ifstream in(ConformanceDir() + "/EXPECTED.txt");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (first == "#") {
      Expected e;
      std::string name;
      std::string size;
      words >> name >> size;
      if (name.empty() || name.back() != ':') continue;
      e.name = name.substr(0, name.size() - 1);
      if (std::sscanf(size.c_str(), "%dx%d", &e.width, &e.height) != 2) continue;
      words >> e.frames;
      movies.push_back(e);
    } else if (!movies.empty()) {
      Expected& e = movies.back();
      std::string kind;
      std::string digest;
      if (first == "frame") {
        int index = 0;
        size_t bytes = 0;
        std::string crc;
        words >> index >> bytes >> crc;
        e.crc555.push_back(static_cast<uint32_t>(std::stoul(crc, nullptr, 16)));
      } else {
        words >> kind >> digest;
        if (kind != "sha256") continue;
        if (first == "pictures-555") e.sha555 = digest;
        if (first == "pictures-565") e.sha565 = digest;
        if (first == "pictures-555-passes2") e.sha555_passes2 = digest;
      }
    }
  }
  return movies;
}

struct Movie {
  int width = 0;
  int height = 0;
  int frame_count = 0;
  // The "IX" payload of each frame.
  std::vector<std::vector<uint8_t>> video;
};

// Reads every frame and keeps its first "IX" payload.
bool LoadMovie(const std::string& path, Movie* movie) {
  MovieReader reader;
  std::string error;
  if (!MovieReader_Open(reader, path, &error)) return false;
  movie->width = reader.header.width;
  movie->height = reader.header.height;
  movie->frame_count = reader.header.frame_count;
  std::vector<uint8_t> chunks;
  FrameRead read;
  bool ok = true;
  while ((read = MovieReader_Next(reader, chunks)) == FrameRead::kOk) {
    int32_t length = 0;
    const uint8_t* payload = Frame_FindChunk(
        LoadedFrame{chunks.data(), static_cast<uint32_t>(chunks.size())}, "IX", &length);
    if (payload == nullptr) {
      ok = false;
      break;
    }
    movie->video.emplace_back(payload, payload + length);
  }
  MovieReader_Close(reader);
  return ok && read == FrameRead::kEnd;
}

std::vector<uint8_t> LittleEndianBytes(const std::vector<uint16_t>& picture) {
  std::vector<uint8_t> out(picture.size() * 2);
  for (size_t i = 0; i < picture.size(); ++i) {
    out[2 * i] = static_cast<uint8_t>(picture[i]);
    out[2 * i + 1] = static_cast<uint8_t>(picture[i] >> 8);
  }
  return out;
}

// Decodes `passes` looping passes as the player does and returns the SHA-256 of all pictures;
// the CRC-32 of each picture of the first pass goes to `crcs`. The decoder object keeps its
// pictures in step itself; the plain path decodes with DecodeVideoChunk and copies each
// picture over the reference.
enum class Path { kDecoderObject, kPlain };
std::string DecodeMovie(const Movie& movie, int depth, int passes, std::vector<uint32_t>* crcs,
                        Path path = Path::kDecoderObject) {
  auto decoder = VideoDecoder::Create(movie.height, movie.width, depth);
  auto state = CreateVideoDecoder(movie.height, movie.width, depth);
  if (!decoder || !state) return "no decoder";
  const size_t pixels = static_cast<size_t>(movie.width) * static_cast<size_t>(movie.height);
  std::vector<uint16_t> reference(pixels, 0), output(pixels, 0);
  test::Sha256 sha;
  for (int pass = 0; pass < passes; ++pass) {
    for (size_t f = 0; f < movie.video.size(); ++f) {
      const std::vector<uint8_t>& payload = movie.video[f];
      const uint16_t* picture = output.data();
      if (path == Path::kPlain) {
        EXPECT_EQ(DecodeVideoChunk(payload.data(), payload.size(), reference.data(), output.data(),
                                   *state),
                  kDecodeOk)
            << "pass " << pass << " frame " << f;
        reference = output;
      } else {
        EXPECT_EQ(decoder->Decode(payload.data(), payload.size()), kDecodeOk)
            << "pass " << pass << " frame " << f;
        picture = decoder->Picture().pixels;
      }
      const std::vector<uint8_t> bytes =
          LittleEndianBytes(std::vector<uint16_t>(picture, picture + pixels));
      sha.Update(bytes.data(), bytes.size());
      if (pass == 0 && crcs != nullptr) crcs->push_back(test::Crc32(bytes.data(), bytes.size()));
    }
  }
  return sha.FinalHex();
}

class ConformanceTest : public ::testing::TestWithParam<Expected> {};

TEST_P(ConformanceTest, PicturesMatchListing) {
  const Expected& e = GetParam();
  Movie movie;
  ASSERT_TRUE(LoadMovie(ConformanceDir() + "/" + e.name + ".kqm", &movie)) << e.name;
  ASSERT_EQ(movie.width, e.width);
  ASSERT_EQ(movie.height, e.height);
  ASSERT_EQ(static_cast<int>(movie.video.size()), e.frames);
  ASSERT_EQ(movie.frame_count, e.frames);

  // Every vector level this machine has.
  const VideoSimdLevel supported = SupportedVideoSimdLevel();
  for (int level = 0; level <= static_cast<int>(supported); ++level) {
    const char* name = VideoSimdLevelName(SetVideoSimdLevel(static_cast<VideoSimdLevel>(level)));
    std::vector<uint32_t> crcs;
    EXPECT_EQ(DecodeMovie(movie, 15, 1, &crcs), e.sha555) << name;
    ASSERT_EQ(crcs.size(), e.crc555.size());
    for (size_t i = 0; i < crcs.size(); ++i) {
      // The first differing frame is the one to look at.
      ASSERT_EQ(crcs[i], e.crc555[i]) << name << ": first wrong picture: frame " << i;
    }
    EXPECT_EQ(DecodeMovie(movie, 15, 1, nullptr, Path::kPlain), e.sha555) << name;
    EXPECT_EQ(DecodeMovie(movie, 16, 1, nullptr), e.sha565) << name;
    EXPECT_EQ(DecodeMovie(movie, 15, 2, nullptr), e.sha555_passes2) << name;
  }
  SetVideoSimdLevel(supported);
}

// What the decoder lists as changed after each frame covers every block that changed: a
// delta frame lists its blocks, and no block outside the list differs from the last picture.
TEST_P(ConformanceTest, ChangedBlocksCoverEveryChange) {
  const Expected& e = GetParam();
  Movie movie;
  ASSERT_TRUE(LoadMovie(ConformanceDir() + "/" + e.name + ".kqm", &movie)) << e.name;
  auto decoder = VideoDecoder::Create(movie.height, movie.width, 15, OutputPicture::kCaller);
  ASSERT_TRUE(decoder);
  const size_t pixels = static_cast<size_t>(movie.width) * static_cast<size_t>(movie.height);
  const size_t columns = static_cast<size_t>(movie.width) / 8;
  std::vector<uint16_t> surface(pixels, 0);
  decoder->SetOutput(surface.data());
  EXPECT_TRUE(decoder->TakeChanges().whole);  // nothing known of the caller's pixels
  std::vector<uint16_t> before = surface;
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t f = 0; f < movie.video.size(); ++f) {
      const std::vector<uint8_t>& payload = movie.video[f];
      decoder->Decode(payload.data(), payload.size());
      const BlockChanges changes = decoder->TakeChanges();
      const bool key = payload.size() >= 4 && (payload[3] & 0x80) != 0;
      ASSERT_EQ(changes.whole, key) << "pass " << pass << " frame " << f;
      if (!key) {
        std::vector<bool> listed(pixels / 64, false);
        for (size_t i = 0; i < changes.count; ++i) {
          ASSERT_LT(changes.blocks[i], listed.size());
          listed[changes.blocks[i]] = true;
        }
        for (size_t p = 0; p < pixels; ++p) {
          const size_t x = p % static_cast<size_t>(movie.width);
          const size_t y = p / static_cast<size_t>(movie.width);
          if (!listed[y / 8 * columns + x / 8]) {
            ASSERT_EQ(surface[p], before[p]) << "frame " << f << " at " << x << ", " << y;
          }
        }
      }
      before = surface;
    }
  }
  // Pixels the decoder did not write itself count as changed everywhere.
  decoder->Reset();
  EXPECT_TRUE(decoder->TakeChanges().whole);
  std::vector<uint16_t> other(pixels, 0);
  decoder->SetOutput(other.data());
  EXPECT_TRUE(decoder->TakeChanges().whole);
}

std::string MovieName(const ::testing::TestParamInfo<Expected>& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Movies, ConformanceTest, ::testing::ValuesIn(LoadExpected()), MovieName);

TEST(ConformanceListing, CoversEveryMovie) {
  const std::vector<Expected> movies = LoadExpected();
  EXPECT_GE(movies.size(), 8u);
  for (const Expected& e : movies) {
    EXPECT_EQ(static_cast<int>(e.crc555.size()), e.frames) << e.name;
    EXPECT_EQ(e.sha565.size(), 64u) << e.name;
    EXPECT_EQ(e.sha555_passes2.size(), 64u) << e.name;
  }
}

}  // namespace
}  // namespace tarvel
