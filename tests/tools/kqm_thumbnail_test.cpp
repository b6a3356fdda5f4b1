#include <gtest/gtest.h>

#include <png.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "container/movie_reader.h"
#include "encoder/movie_encoder.h"
#include "kqm_run.h"
#include "tools/commands.h"
#include "tools/movie_pictures.h"

namespace tarvel {
namespace {

using test::RunKqm;
using tools::Cmd_Export;
using tools::Cmd_Thumbnail;

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + "thumbnail-" + std::to_string(::getpid()) + "-" + name;
}

// A silent movie of `frames` pictures, each drawn by `draw`.
void WriteMovie(const std::string& path, int width, int height, int frames, int key_interval,
                const std::function<void(int, RgbPicture&)>& draw) {
  MovieEncodeSettings settings;
  settings.video.key_interval = key_interval;
  MovieEncoder encoder;
  ASSERT_TRUE(MovieEncoder_Open(encoder, path, nullptr, width, height, settings, nullptr))
      << encoder.error;
  RgbPicture picture;
  for (int i = 0; i < frames; ++i) {
    picture.Resize(width, height);
    draw(i, picture);
    ASSERT_TRUE(MovieEncoder_AddPicture(encoder, picture)) << encoder.error;
  }
  ASSERT_TRUE(MovieEncoder_Finish(encoder)) << encoder.error;
}

struct Png {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
};

Png ReadPng(const std::string& path) {
  Png png;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return png;
  image.format = PNG_FORMAT_RGB;
  png.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, png.rgb.data(), 0, nullptr)) return png;
  png.width = static_cast<int>(image.width);
  png.height = static_cast<int>(image.height);
  return png;
}

void FillGrey(RgbPicture& picture, std::uint8_t level = 128) {
  std::fill(picture.rgb.begin(), picture.rgb.end(), level);
}

// Eight upright bars, dark grey ones among them: where those are, a delta frame after a dark
// grey picture keeps that picture, so they come out right only when it was decoded too.
void DrawBars(RgbPicture& picture) {
  static const std::uint8_t kBars[8][3] = {{64, 64, 64}, {255, 0, 0},    {0, 200, 0},
                                           {64, 64, 64}, {0, 0, 255},    {255, 255, 0},
                                           {64, 64, 64}, {200, 200, 200}};
  for (int y = 0; y < picture.height; ++y)
    for (int x = 0; x < picture.width; ++x)
      std::memcpy(picture.Pixel(x, y), kBars[x * 8 / picture.width], 3);
}

// 16 frames of flat grey but frame 10: the thumbnail is frame 10, decoded from the key frame
// at 8 through the darker delta frame at 9, exactly as the player shows it.
TEST(KqmThumbnail, ChoosesThePictureWithSomethingToSee) {
  const std::string movie = Temp("bars.kqm");
  WriteMovie(movie, 64, 48, 16, 8, [](int frame, RgbPicture& picture) {
    if (frame == 10)
      DrawBars(picture);
    else
      FillGrey(picture, frame == 9 ? 64 : 128);
  });
  auto r = RunKqm(Cmd_Thumbnail, "thumbnail", {movie, Temp("bars.png"), "--size", "64"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(RunKqm(Cmd_Export, "export", {movie, "--video", Temp("bars%02d.png"), "-q"}).status, 0);
  const Png thumbnail = ReadPng(Temp("bars.png"));
  const Png frame10 = ReadPng(Temp("bars10.png"));
  ASSERT_EQ(thumbnail.width, 64);
  ASSERT_EQ(thumbnail.height, 48);
  EXPECT_EQ(thumbnail.rgb, frame10.rgb);

  // Half the size: each thumbnail pixel is the mean of a 2x2 square of one bar.
  r = RunKqm(Cmd_Thumbnail, "thumbnail", {movie, Temp("half.png"), "--size", "32"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Png half = ReadPng(Temp("half.png"));
  // "-" is standard output, as for every other command's outputs: the same PNG.
  const auto piped = RunKqm(Cmd_Thumbnail, "thumbnail", {movie, "-", "--size", "32"});
  ASSERT_EQ(piped.status, 0) << piped.err;
  const auto file = test::ReadFileBytes(Temp("half.png"));
  EXPECT_EQ(piped.out, std::string(file.begin(), file.end()));
  ASSERT_EQ(half.width, 32);
  ASSERT_EQ(half.height, 24);
  const std::uint8_t* bar = &frame10.rgb[(5 * 64 + 12) * 3];  // the red bar's (12, 5)
  const std::uint8_t* small = &half.rgb[(2 * 32 + 6) * 3];    // covers (12..13, 4..5)
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(small[c], bar[c], 2) << c;
}

// Some key frames copy from parts of the picture they have not built yet, which still hold what
// the frames before left there: decoding cannot start at them, and the thumbnail is still the
// picture the movie shows at its frame, as the export writes it.
TEST(KqmThumbnail, IsThePictureTheMovieShowsThere) {
  const std::string movie = test::ConformancePath("mixed-136x96-mono-33-key4");
  const auto r = RunKqm(Cmd_Thumbnail, "thumbnail", {movie, Temp("key4.png"), "-s", "136", "-v"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::size_t at = r.err.find(": frame ");
  ASSERT_NE(at, std::string::npos) << r.err;
  const int frame = std::stoi(r.err.substr(at + 8));
  ASSERT_EQ(RunKqm(Cmd_Export, "export", {movie, "--video", Temp("key4-%02d.png"), "-q"}).status,
            0);
  const std::string shown =
      Temp("key4-" + std::string(frame < 10 ? "0" : "") + std::to_string(frame) + ".png");
  const Png thumbnail = ReadPng(Temp("key4.png"));
  ASSERT_EQ(thumbnail.width, 136);
  EXPECT_EQ(thumbnail.rgb, ReadPng(shown).rgb) << "frame " << frame;
}

TEST(KqmThumbnail, KeepsTheAspectWithTheLongestSideRequested) {
  struct Case {
    int width, height, size, want_width, want_height;
  };
  // 24 * 16 / 40 = 9.6 rounds to 10.
  for (const Case c :
       {Case{40, 24, 16, 16, 10}, Case{24, 40, 16, 10, 16}, Case{16, 16, 300, 300, 300}}) {
    const std::string movie = Temp("one.kqm"), out = Temp("one.png");
    WriteMovie(movie, c.width, c.height, 1, 0, [](int, RgbPicture& picture) { DrawBars(picture); });
    const auto r =
        RunKqm(Cmd_Thumbnail, "thumbnail", {movie, out, "--size", std::to_string(c.size)});
    ASSERT_EQ(r.status, 0) << r.err;
    const Png png = ReadPng(out);
    EXPECT_EQ(png.width, c.want_width) << c.width << "x" << c.height;
    EXPECT_EQ(png.height, c.want_height) << c.width << "x" << c.height;
  }
  // The one picture of a one-frame movie is counted as one.
  const auto verbose = RunKqm(Cmd_Thumbnail, "thumbnail", {Temp("one.kqm"), Temp("one.png"), "-v"});
  EXPECT_NE(verbose.err.find("frame 0 of 1, the widest range of tones of 1 picture looked at ("),
            std::string::npos)
      << verbose.err;
}

TEST(KqmThumbnail, BadInputGetsOneLineNamingTheFile) {
  const std::string movie = Temp("grey.kqm");
  WriteMovie(movie, 16, 16, 2, 0, [](int, RgbPicture& picture) { FillGrey(picture); });
  // The header alone: it promises two frames, the file holds none.
  auto bytes = test::ReadFileBytes(movie);
  bytes.resize(64);
  test::WriteFileBytes(Temp("empty.kqm"), bytes);
  const struct {
    std::string movie, out, names;
  } cases[] = {{Temp("missing.kqm"), Temp("x.png"), Temp("missing.kqm")},
               {Temp("empty.kqm"), Temp("x.png"), Temp("empty.kqm")},
               {movie, Temp("no/such/folder/x.png"), Temp("no/such/folder/x.png")}};
  for (const auto& c : cases) {
    const auto r = RunKqm(Cmd_Thumbnail, "thumbnail", {c.movie, c.out});
    EXPECT_EQ(r.status, 1) << c.names;
    EXPECT_EQ(r.err.rfind("kqm thumbnail: " + c.names + ": ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }

  // Cut after frame 0: its picture is the thumbnail, and the cut is said.
  bytes = test::ReadFileBytes(movie);
  bytes.resize(64 + (bytes[64] | bytes[65] << 8 | bytes[66] << 16));
  test::WriteFileBytes(Temp("cut.kqm"), bytes);
  const auto r = RunKqm(Cmd_Thumbnail, "thumbnail", {Temp("cut.kqm"), Temp("cut.png")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "kqm thumbnail: " + Temp("cut.kqm") +
                       ": the movie data ends after 1 of 2 frames; the thumbnail is chosen "
                       "among the frames before\n");

  // A frame without a picture chunk ends playback: the thumbnail is one of the frames before it,
  // as for a cut. Frames after it were decoded, each with a warning (49,152 lines for a movie of
  // 65,535 frames without pictures, and a black thumbnail with status 0 for a movie that shows
  // nothing).
  bytes = test::ReadFileBytes(movie);
  const std::size_t frame1 = 64 + (bytes[64] | bytes[65] << 8 | bytes[66] << 16);
  ASSERT_EQ(std::string(bytes.begin() + frame1 + 8, bytes.begin() + frame1 + 10), "IX");
  bytes[frame1 + 8] = 'Z';
  test::WriteFileBytes(Temp("blind.kqm"), bytes);
  auto blind = RunKqm(Cmd_Thumbnail, "thumbnail", {Temp("blind.kqm"), Temp("blind1.png")});
  EXPECT_EQ(blind.status, 0);
  EXPECT_EQ(blind.err, "kqm thumbnail: " + Temp("blind.kqm") +
                           ": frame 1: no picture chunk; playback stops there, so the thumbnail "
                           "is chosen among the frames before\n");
  ASSERT_EQ(std::string(bytes.begin() + 72, bytes.begin() + 74), "IX");
  bytes[72] = 'Z';
  test::WriteFileBytes(Temp("blind.kqm"), bytes);
  blind = RunKqm(Cmd_Thumbnail, "thumbnail", {Temp("blind.kqm"), Temp("blind0.png")});
  EXPECT_EQ(blind.status, 1);
  EXPECT_EQ(blind.err, "kqm thumbnail: " + Temp("blind.kqm") +
                           ": frame 0: no picture chunk; playback stops there\n");
  EXPECT_FALSE(std::filesystem::exists(Temp("blind0.png")));
}

// The thumbnail reads its frames twice: a movie cut or copied over in between is no longer
// read as the frames the first walk found (it gave a thumbnail, status 0, from the frames left
// or from the other movie's bytes).
TEST(KqmThumbnail, AFrameReadAgainIsWhereTheFirstWalkFoundIt) {
  const std::string movie = Temp("changing.kqm");
  // Frames of noise (a fixed seed), larger than what the reader's stream holds ahead of them.
  WriteMovie(movie, 256, 256, 3, 1, [](int, RgbPicture& picture) {
    std::uint32_t seed = 12345;
    for (auto& value : picture.rgb)
      value = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
  });
  MovieReader reader;
  std::string error;
  ASSERT_TRUE(MovieReader_Open(reader, movie, &error)) << error;
  std::vector<std::uint8_t> chunks;
  std::vector<std::int64_t> offsets;
  for (int i = 0; i < 3; ++i) {
    offsets.push_back(reader.position);
    ASSERT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  }
  ASSERT_GT(offsets[1] - offsets[0], 65536) << "frames too small for the test";
  std::filesystem::resize_file(movie, static_cast<std::uintmax_t>(offsets[2] + 10));
  ASSERT_TRUE(MovieReader_Rewind(reader));
  EXPECT_TRUE(tools::ReadFrameAgain(reader, offsets[0], offsets[1], chunks));
  EXPECT_TRUE(tools::ReadFrameAgain(reader, offsets[1], offsets[2], chunks));
  EXPECT_FALSE(tools::ReadFrameAgain(reader, offsets[2], -1, chunks));
  // Another movie copied over it, whose first frame is smaller.
  WriteMovie(Temp("other.kqm"), 256, 256, 3, 1,
             [](int, RgbPicture& picture) { FillGrey(picture); });
  test::WriteFileBytes(movie, test::ReadFileBytes(Temp("other.kqm")));
  ASSERT_TRUE(MovieReader_Rewind(reader));
  EXPECT_FALSE(tools::ReadFrameAgain(reader, offsets[0], offsets[1], chunks));
  MovieReader_Close(reader);
}

#if !defined(__SANITIZE_ADDRESS__)  // whose shadow memory no address-space limit leaves room for
// The largest pictures a movie may have, 8192x8192, under a memory limit too small for their
// thumbnail (a file manager may run thumbnailers under one): said, not an abort with the C++
// runtime's message.
TEST(KqmThumbnail, PicturesTooLargeForTheMemoryAllowedAreSaidToBe) {
  // A key frame in four: whether one decodes alone is tried on pictures of its size too.
  auto bytes = test::ReadFileBytes(test::ConformancePath("mixed-136x96-mono-33-key4"));
  bytes[8] = bytes[10] = 0x00;  // 8192 wide and high
  bytes[9] = bytes[11] = 0x20;
  const std::string movie = Temp("huge.kqm");
  test::WriteFileBytes(movie, bytes);
  test::ProcessOptions small;
  small.memory_limit = 512ul << 20;
  const auto r = test::RunKqmProcess({"thumbnail", movie, Temp("huge.png")}, small);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("kqm thumbnail: " + movie +
                       ": not enough memory for the thumbnail of its 8192x8192 pictures\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(Temp("huge.png")));
}
#endif

}  // namespace
}  // namespace tarvel
