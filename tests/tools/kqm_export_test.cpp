#include <gtest/gtest.h>

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "display/scalers.h"
#include "kqm_run.h"
#include "support/digest.h"
#include "tools/commands.h"
#include "tools/tool_common.h"
#include "video/pixel_expand.h"

namespace tarvel {
namespace {

using test::ConformancePath;
using test::ExpectedDigest;
using test::ReadFileBytes;
using test::RunKqm;
using tools::Cmd_Export;

std::string Sha(const std::vector<unsigned char>& bytes) {
  test::Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return sha.FinalHex();
}

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + name;
}

// `count` pixels of a raw export, which are little-endian on every host.
std::vector<std::uint16_t> LittleEndianPixels(const unsigned char* bytes, std::size_t count) {
  std::vector<std::uint16_t> pixels(count);
  for (std::size_t i = 0; i < count; ++i)
    pixels[i] = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return pixels;
}

// The whole export path (frame reading, decoding, looping, sound schedule, writers) against
// the independently produced digests.
TEST(KqmExport, ReproducesTheConformanceDigests) {
  for (const std::string movie : {"mixed-256x128-stereo-36", "mixed-136x96-mono-33-key4"}) {
    const std::string video = Temp("export.rgb"), audio = Temp("export.wav");
    auto r =
        RunKqm(Cmd_Export, "export",
               {ConformancePath(movie), "--video", video, "--audio", Temp("export.pcm"), "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sha(ReadFileBytes(video)), ExpectedDigest(movie, "pictures-555")) << movie;
    EXPECT_EQ(Sha(ReadFileBytes(Temp("export.pcm"))), ExpectedDigest(movie, "sound-once")) << movie;

    r = RunKqm(Cmd_Export, "export",
               {ConformancePath(movie), "--video", video, "--audio", audio, "--passes", "2", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sha(ReadFileBytes(video)), ExpectedDigest(movie, "pictures-555-passes2")) << movie;
    // A WAVE file is the raw PCM behind a 44-byte header.
    auto wave = ReadFileBytes(audio);
    ASSERT_GT(wave.size(), 44u);
    EXPECT_EQ(std::memcmp(wave.data(), "RIFF", 4), 0);
    wave.erase(wave.begin(), wave.begin() + 44);
    EXPECT_EQ(Sha(wave), ExpectedDigest(movie, "sound-passes2")) << movie;

    r = RunKqm(Cmd_Export, "export",
               {ConformancePath(movie), "--video", video, "--format", "565", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sha(ReadFileBytes(video)), ExpectedDigest(movie, "pictures-565")) << movie;
  }
}

TEST(KqmExport, AudioLengthPicturesKeepsTheSoundHeardWhileThePicturesShow) {
  // mixed-256x128-stereo-36: 36 frames, 735 stereo samples (2,940 bytes) a frame period. Two
  // passes show 72 pictures; the device receives 31 periods more than that.
  const std::string movie = ConformancePath("mixed-256x128-stereo-36");
  const std::string device = Temp("device.pcm"), pictures = Temp("pictures.pcm");
  ASSERT_EQ(RunKqm(Cmd_Export, "export", {movie, "--audio", device, "--passes", "2"}).status, 0);
  ASSERT_EQ(RunKqm(Cmd_Export, "export",
                   {movie, "--audio", pictures, "--passes", "2", "--audio-length", "pictures"})
                .status,
            0);
  const auto all = ReadFileBytes(device), heard = ReadFileBytes(pictures);
  ASSERT_EQ(all.size(), (72u + 31) * 2940);
  ASSERT_EQ(heard.size(), 72u * 2940);
  EXPECT_TRUE(std::equal(heard.begin(), heard.end(), all.begin()));

  // A range of pictures (across the loop) keeps the periods heard while they show.
  const std::string range = Temp("range.pcm");
  ASSERT_EQ(RunKqm(Cmd_Export, "export",
                   {movie, "--audio", range, "--passes", "2", "--audio-length", "pictures",
                    "--frames", "30-49"})
                .status,
            0);
  const auto part = ReadFileBytes(range);
  ASSERT_EQ(part.size(), 20u * 2940);
  EXPECT_TRUE(std::equal(part.begin(), part.end(), all.begin() + 30 * 2940));
}

TEST(KqmExport, OnePassGivenLoopsAsPlayDoes) {
  // --passes 1 loops, as `kqm play --passes 1` does: over the last 31 of the 36 frames the
  // device gets the opening periods 0 to 30 again (frame 0's chunk), not the stream's own tail.
  const std::string movie = ConformancePath("mixed-256x128-stereo-36");
  const std::string one = Temp("one-pass.pcm");
  ASSERT_EQ(RunKqm(Cmd_Export, "export", {movie, "--audio", one, "--passes", "1"}).status, 0);
  const auto sound = ReadFileBytes(one);
  constexpr std::size_t kPeriod = 2940;
  ASSERT_EQ(sound.size(), (36u + 31) * kPeriod);
  EXPECT_TRUE(std::equal(sound.begin() + 36 * kPeriod, sound.end(), sound.begin()));
}

TEST(KqmExport, FrameRangeY4mAndPng) {
  const std::string movie = ConformancePath("key-dct-128x96");  // 128x96, 6 frames
  const std::size_t picture = 128 * 96 * 2;
  ASSERT_EQ(RunKqm(Cmd_Export, "export", {movie, "--video", Temp("all.rgb"), "-q"}).status, 0);
  const auto all = ReadFileBytes(Temp("all.rgb"));
  ASSERT_EQ(all.size(), 6 * picture);

  ASSERT_EQ(
      RunKqm(Cmd_Export, "export", {movie, "--video", Temp("two.rgb"), "--frames", "2-3"}).status,
      0);
  const auto two = ReadFileBytes(Temp("two.rgb"));
  ASSERT_EQ(two.size(), 2 * picture);
  EXPECT_TRUE(std::equal(two.begin(), two.end(), all.begin() + 2 * picture));

  ASSERT_EQ(RunKqm(Cmd_Export, "export", {movie, "--video", Temp("v.y4m"), "--frames", "5"}).status,
            0);
  const auto y4m = ReadFileBytes(Temp("v.y4m"));
  const std::string text(y4m.begin(), y4m.end());
  const auto line_end = text.find('\n');
  ASSERT_NE(line_end, std::string::npos);
  const std::string header = text.substr(0, line_end);
  EXPECT_EQ(header.rfind("YUV4MPEG2 W128 H96 F", 0), 0u) << header;
  EXPECT_NE(header.find(" C444"), std::string::npos);
  EXPECT_EQ(text.substr(line_end + 1, 6), "FRAME\n");
  EXPECT_EQ(y4m.size(), line_end + 1 + 6 + 3 * 128 * 96);
  // Each code is BT.601 limited range of the widened 8-bit RGB, rounded to the nearest.
  {
    const std::vector<std::uint16_t> pixels =
        LittleEndianPixels(all.data() + 5 * picture, 128 * 96);
    std::vector<unsigned char> rgb(3 * pixels.size());
    ExpandPixelsToRgb8(pixels.data(), pixels.size(), false, rgb.data());
    const unsigned char* planes = y4m.data() + line_end + 1 + 6;
    int wrong = 0;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      const double r = rgb[3 * i], g = rgb[3 * i + 1], b = rgb[3 * i + 2];
      const long expected[3] = {std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255),
                                std::lround(128 + (-37.797 * r - 74.203 * g + 112 * b) / 255),
                                std::lround(128 + (112 * r - 93.786 * g - 18.214 * b) / 255)};
      for (int c = 0; c < 3; ++c) wrong += planes[c * pixels.size() + i] != expected[c];
    }
    EXPECT_EQ(wrong, 0);
  }

  ASSERT_EQ(
      RunKqm(Cmd_Export, "export", {movie, "--video", Temp("f%03d.png"), "--frames", "4-"}).status,
      0);
  for (int index : {4, 5}) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    const std::string path = Temp("f00" + std::to_string(index) + ".png");
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << path;
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    EXPECT_EQ(image.width, 128u);
    EXPECT_EQ(image.height, 96u);
    const std::vector<std::uint16_t> pixels =
        LittleEndianPixels(all.data() + index * picture, 128 * 96);
    std::vector<unsigned char> expected(rgb.size());
    ExpandPixelsToRgb8(pixels.data(), pixels.size(), false, expected.data());
    EXPECT_EQ(rgb, expected) << path;
  }
}

// A PNG sequence that fails puts back every picture it replaced (a link's file included) and
// removes those it made; one that is finished leaves no hidden file. The removal of a failed
// sequence used to take the earlier export's pictures with it.
TEST(KqmExport, FailedPngSequenceLeavesTheEarlierPictures) {
  namespace fs = std::filesystem;
  const std::string folder = Temp("keep/");
  fs::remove_all(folder);
  fs::create_directories(folder + "f3.png");  // picture 3 cannot be written
  const std::vector<unsigned char> old1{'o', 'l', 'd', '1'}, old2{'o', 'l', 'd', '2'};
  test::WriteFileBytes(folder + "f1.png", old1);
  test::WriteFileBytes(folder + "t.png", old2);
  fs::create_symlink("t.png", folder + "f2.png");
  const auto names = [&folder] {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder))
      found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  };
  const std::string movie = ConformancePath("key-dct-128x96");
  auto r = RunKqm(Cmd_Export, "export", {movie, "--video", folder + "f%d.png", "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm export: " + folder + "f%d.png: " + folder + "f3.png: is a folder\n");
  EXPECT_EQ(names(), (std::vector<std::string>{"f1.png", "f2.png", "f3.png", "t.png"}));
  EXPECT_EQ(ReadFileBytes(folder + "f1.png"), old1);
  EXPECT_TRUE(fs::is_symlink(folder + "f2.png"));
  EXPECT_EQ(ReadFileBytes(folder + "t.png"), old2);

  fs::remove(folder + "f3.png");
  ASSERT_EQ(RunKqm(Cmd_Export, "export", {movie, "--video", folder + "f%d.png", "--frames", "0-3"})
                .status,
            0);
  EXPECT_EQ(names(), (std::vector<std::string>{"f0.png", "f1.png", "f2.png", "f3.png", "t.png"}));
  EXPECT_TRUE(fs::is_symlink(folder + "f2.png"));
  for (const char* name : {"f1.png", "t.png"})
    EXPECT_EQ(ReadFileBytes(folder + name).at(1), 'P') << name;  // "\x89PNG"
}

// A sound that fails at its last write (a full disk) is no output, and the file the pictures
// would replace stays as it was.
TEST(KqmExport, SoundFailingAtItsEndKeepsTheOldPictures) {
  namespace fs = std::filesystem;
  const std::string pictures = Temp("kept.rgb"), sound = Temp("full.pcm");
  const std::vector<unsigned char> old{'o', 'l', 'd'};
  test::WriteFileBytes(pictures, old);
  fs::remove(sound);
  // One picture's sound fits the stream's buffer: it is written, and fails, at the end.
  fs::create_symlink("/dev/full", sound);
  auto r = RunKqm(Cmd_Export, "export",
                  {ConformancePath("copy-320x240-stereo"), "--video", pictures, "--frames", "0-0",
                   "--audio", sound, "--audio-length", "pictures", "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm export: " + sound + ": write failed: " + std::strerror(ENOSPC) + "\n");
  EXPECT_EQ(ReadFileBytes(pictures), old);
}

// A range that starts late is decoded from the key frame before it: the same pictures.
TEST(KqmExport, FrameRangeFromAKeyFrameGivesTheSamePictures) {
  const std::string movie = ConformancePath("mixed-136x96-mono-33-key4");  // a key frame in 4
  const std::size_t picture = 136 * 96 * 2;
  ASSERT_EQ(RunKqm(Cmd_Export, "export", {movie, "--video", Temp("all.rgb"), "-q"}).status, 0);
  const auto all = ReadFileBytes(Temp("all.rgb"));
  for (const auto& [first, last] : {std::pair{13, 20}, std::pair{30, 32}, std::pair{7, 7}}) {
    const std::string range = std::to_string(first) + "-" + std::to_string(last);
    ASSERT_EQ(
        RunKqm(Cmd_Export, "export", {movie, "--video", Temp("part.rgb"), "--frames", range, "-q"})
            .status,
        0);
    const auto part = ReadFileBytes(Temp("part.rgb"));
    ASSERT_EQ(part.size(), static_cast<std::size_t>(last - first + 1) * picture) << range;
    EXPECT_TRUE(std::equal(part.begin(), part.end(), all.begin() + first * picture)) << range;
  }

  // Three key frames that decode alone, frame 1 without a picture: playback stops at frame 1,
  // so a range past it fails there as the whole export does, rather than writing frame 2.
  std::string y4m = "YUV4MPEG2 W8 H8 F25:1 C444\n";
  for (const char level : {'\x40', '\x80', '\xC0'})
    y4m += "FRAME\n" + std::string(64, level) + std::string(128, '\x80');
  test::WriteFileBytes(Temp("keys.y4m"), std::vector<unsigned char>(y4m.begin(), y4m.end()));
  ASSERT_EQ(RunKqm(tools::Cmd_Encode, "encode",
                   {"--video", Temp("keys.y4m"), "-o", Temp("keys.kqm"), "--keyint", "1", "-q"})
                .status,
            0);
  auto keys = ReadFileBytes(Temp("keys.kqm"));
  const std::size_t frame1 = 64 + (keys[64] | keys[65] << 8 | keys[66] << 16);
  ASSERT_EQ(std::string(keys.begin() + frame1 + 8, keys.begin() + frame1 + 10), "IX");
  keys[frame1 + 9] = 'x';
  test::WriteFileBytes(Temp("blind1.kqm"), keys);
  const auto r = RunKqm(Cmd_Export, "export",
                        {Temp("blind1.kqm"), "--video", Temp("blind1.rgb"), "--frames", "2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(": frame 1: no picture chunk"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(Temp("blind1.rgb")));
}

TEST(KqmExport, PixelExpansionRepeatsTopBits) {
  // 5-5-5 white-ish 0x7FDF: red 31, green 30, blue 31; 5-6-5 0xF81F: red 31, green 0, blue 31.
  const std::uint16_t pixels[3] = {0x7FDF, 0x0421, 0xF81F};
  unsigned char rgb[9];
  ExpandPixelsToRgb8(pixels, 2, false, rgb);
  EXPECT_EQ(rgb[0], 255);
  EXPECT_EQ(rgb[1], 247);  // 30 << 3 | 30 >> 2
  EXPECT_EQ(rgb[2], 255);
  EXPECT_EQ(rgb[3], 8);  // 1 << 3 | 1 >> 2
  EXPECT_EQ(rgb[4], 8);
  EXPECT_EQ(rgb[5], 8);
  ExpandPixelsToRgb8(pixels + 2, 1, true, rgb + 6);
  EXPECT_EQ(rgb[6], 255);
  EXPECT_EQ(rgb[7], 0);
  EXPECT_EQ(rgb[8], 255);
}

TEST(KqmExport, BadInputGivesOneLineNamingTheFileAndFails) {
  const std::string source = ConformancePath("mixed-160x120-mono");
  auto bytes = ReadFileBytes(source);
  ASSERT_GT(bytes.size(), 20000u);

  // Cut in the middle of a frame.
  auto cut = bytes;
  cut.resize(bytes.size() / 2);
  test::WriteFileBytes(Temp("cut.kqm"), cut);
  auto r = RunKqm(Cmd_Export, "export", {Temp("cut.kqm"), "--video", Temp("cut.rgb"), "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(Temp("cut.kqm") + ": frame "), std::string::npos) << r.err;

  // Cut inside frame 0: nothing was exported, so nothing is left.
  cut.resize(100);
  test::WriteFileBytes(Temp("cut0.kqm"), cut);
  r = RunKqm(Cmd_Export, "export",
             {Temp("cut0.kqm"), "--video", Temp("cut0.rgb"), "--audio", Temp("cut0.wav")});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(std::filesystem::exists(Temp("cut0.rgb")));
  EXPECT_FALSE(std::filesystem::exists(Temp("cut0.wav")));

  // A picture size that is not a multiple of 8.
  auto odd = bytes;
  odd[8] = 12;
  odd[9] = 0;
  test::WriteFileBytes(Temp("odd.kqm"), odd);
  r = RunKqm(Cmd_Export, "export", {Temp("odd.kqm"), "--video", Temp("odd.rgb")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("12x120"), std::string::npos) << r.err;

  // A header that counts no frames: nothing plays, so nothing is written, whatever follows.
  auto none = bytes;
  none[16] = none[17] = 0;
  test::WriteFileBytes(Temp("none.kqm"), none);
  for (const char* option : {"--video", "--audio"}) {
    r = RunKqm(Cmd_Export, "export", {Temp("none.kqm"), option, Temp("none.raw")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kqm export: " + Temp("none.kqm") +
                         ": the movie has no frames (its header's frame count is 0)\n");
  }
  r = RunKqm(tools::Cmd_Bench, "bench", {Temp("none.kqm"), "--seek"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no frames"), std::string::npos) << r.err;

  // A disk that fills up: one line naming the output, as for the pictures, and the command
  // having failed, the other output is not left behind either (here the pictures fail at frame
  // 0, or the sound fails at frame 0's 32 periods before picture 5 is due).
  const std::string out = Temp("full.raw"), beside = Temp("beside.raw");
  for (const char* kind : {"--video", "--audio"}) {
    {
      test::FileSizeLimit limit(4096);
      r = kind == std::string("--video")
              ? RunKqm(Cmd_Export, "export", {source, kind, out, "--audio", beside, "-q"})
              : RunKqm(Cmd_Export, "export",
                       {source, kind, out, "--video", beside, "--frames", "5", "-q"});
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kqm export: " + out + ": write failed: " + std::strerror(EFBIG) + "\n");
    EXPECT_FALSE(std::filesystem::exists(beside)) << kind;
  }

  // A frame word claiming more bytes than the file holds.
  auto huge = bytes;
  huge[64] = 0xFF;
  huge[65] = 0xFF;
  huge[66] = 0xFF;
  test::WriteFileBytes(Temp("huge.kqm"), huge);
  r = RunKqm(Cmd_Export, "export", {Temp("huge.kqm"), "--video", Temp("huge.rgb")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("frame 0"), std::string::npos) << r.err;

  // A damaged picture: decoding goes on, with one warning naming the frame.
  auto damaged = bytes;
  damaged.resize(bytes.size());
  // The first chunk of frame 0 starts at 68; its payload's offsets start 8 bytes later.
  for (int i = 0; i < 20; ++i) damaged[76 + 4 + i] = 0xFF;
  test::WriteFileBytes(Temp("damaged.kqm"), damaged);
  r = RunKqm(Cmd_Export, "export", {Temp("damaged.kqm"), "--video", Temp("damaged.rgb"), "-q"});
  EXPECT_NE(r.err.find("corrupt"), std::string::npos) << r.err;
  // Once, not again in every pass.
  EXPECT_EQ(RunKqm(Cmd_Export, "export",
                   {Temp("damaged.kqm"), "--video", Temp("damaged.rgb"), "--passes", "3", "-q"})
                .err,
            r.err);

  r = RunKqm(Cmd_Export, "export", {Temp("absent.kqm"), "--video", Temp("x.rgb")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("absent.kqm: no such file"), std::string::npos) << r.err;
  EXPECT_EQ(RunKqm(Cmd_Export, "export", {source}).status, 2);
  for (const char* frames : {"5-2", "", "-", "x"})
    EXPECT_EQ(RunKqm(Cmd_Export, "export", {source, "--video", "x.rgb", "--frames", frames}).status,
              2)
        << frames;
  // Past the last picture (12 here, 24 in two passes).
  r = RunKqm(Cmd_Export, "export", {source, "--video", Temp("x.rgb"), "--frames", "12-"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("the export has 12 pictures (0-11)"), std::string::npos) << r.err;
  EXPECT_EQ(RunKqm(Cmd_Export, "export",
                   {source, "--video", Temp("x.rgb"), "--frames", "12-", "--passes", "2", "-q"})
                .status,
            0);
  // An output name of no form written is the command line's fault (status 2), said before the
  // movie is read (here one that does not exist).
  r = RunKqm(Cmd_Export, "export", {Temp("absent.kqm"), "--video", "x.bmp"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "kqm export: x.bmp: unknown output kind: use .rgb, .raw, .y4m, a %d.png "
            "pattern or -\n");
  EXPECT_EQ(RunKqm(Cmd_Export, "export", {source, "--audio", "x.mp3"}).status, 2);
  // A PNG name without its one frame number, or with a width past any file name's length.
  for (const char* pattern : {"frame.png", "f%99999999999999999999d.png", "f%2147483647d.png"})
    EXPECT_EQ(RunKqm(Cmd_Export, "export", {source, "--video", pattern}).status, 2) << pattern;
  EXPECT_EQ(
      RunKqm(Cmd_Export, "export", {ConformancePath("key-dct-128x96"), "--audio", "x.wav"}).status,
      1);

  // Frame 0's sound chunk (the one after its picture chunk) renamed: the movie plays silent, so
  // its sound is refused before any output is written, pictures included.
  auto silent = bytes;
  const std::size_t sound_chunk = 68 + ((bytes[68] | bytes[69] << 8) + 3) / 4 * 4;
  ASSERT_EQ(std::string(bytes.begin() + sound_chunk + 4, bytes.begin() + sound_chunk + 6), "BB");
  silent[sound_chunk + 4] = 'Z';
  test::WriteFileBytes(Temp("silent.kqm"), silent);
  // The folder is the test program's: another test of it may have left outputs of these names.
  for (const char* output : {"silent.rgb", "silent.wav"}) std::filesystem::remove(Temp(output));
  r = RunKqm(Cmd_Export, "export",
             {Temp("silent.kqm"), "--video", Temp("silent.rgb"), "--audio", Temp("silent.wav")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm export: " + Temp("silent.kqm") +
                       ": frame 0 has no sound chunk (\"AA\" or \"BB\"): the movie plays silent\n");
  EXPECT_FALSE(std::filesystem::exists(Temp("silent.rgb")));
  EXPECT_FALSE(std::filesystem::exists(Temp("silent.wav")));
  // So it does when the chunk holds the 32-byte stream header and 8 bytes of codes, less than
  // 32 periods of one byte: a period of no sound cannot pace playback. Its export wrote picture
  // 0 and then failed on its sound.
  silent = bytes;
  silent[sound_chunk] = 8 + 32 + 8;
  silent[sound_chunk + 1] = silent[sound_chunk + 2] = silent[sound_chunk + 3] = 0;
  test::WriteFileBytes(Temp("silent.kqm"), silent);
  r = RunKqm(Cmd_Export, "export",
             {Temp("silent.kqm"), "--video", Temp("silent.rgb"), "--audio", Temp("silent.wav")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm export: " + Temp("silent.kqm") +
                       ": frame 0's sound chunk holds less than one frame period of codes: the "
                       "movie plays silent\n");
  EXPECT_FALSE(std::filesystem::exists(Temp("silent.rgb")));
  EXPECT_FALSE(std::filesystem::exists(Temp("silent.wav")));
  r = RunKqm(tools::Cmd_Info, "info", {Temp("silent.kqm"), "--json", "-q"});
  EXPECT_NE(r.out.find("\"error\":\"frame 0's sound chunk holds less than one frame period of "
                       "codes\",\"error_code\":null}"),
            std::string::npos)
      << r.out;

  // A sound stream at a rate no sound device plays (here 0 Hz, and 400 kHz) plays silent too:
  // its sound was written as a WAVE file of that rate.
  auto rateless = test::ReadFileBytes(ConformancePath("mixed-160x120-mono"));
  for (const std::uint32_t rate : {0u, 400000u}) {
    for (int i = 0; i < 4; ++i) rateless[3828 + 16 + i] = static_cast<unsigned char>(rate >> 8 * i);
    test::WriteFileBytes(Temp("rateless.kqm"), rateless);
    r = RunKqm(Cmd_Export, "export", {Temp("rateless.kqm"), "--audio", Temp("rateless.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kqm export: " + Temp("rateless.kqm") + ": frame 0: no sound device plays " +
                         std::to_string(rate) +
                         " Hz sound (they take 1 to 384000 Hz): the movie plays silent\n");
    EXPECT_FALSE(std::filesystem::exists(Temp("rateless.wav")));
  }
}

#if !defined(__SANITIZE_ADDRESS__)  // whose shadow memory no address-space limit leaves room for
// The largest pictures, 8192x8192, into a y4m output (192 MB a picture in its own form) under a
// memory limit too small for them: said, status 1, and no output nor hidden temporary file left,
// where the C++ runtime's abort left both temporary files.
TEST(KqmExport, PicturesTooLargeForTheMemoryAllowedAreSaidToBe) {
  auto bytes = ReadFileBytes(ConformancePath("mixed-136x96-mono-33-key4"));
  bytes[8] = bytes[10] = 0x00;  // 8192 wide and high
  bytes[9] = bytes[11] = 0x20;
  const std::filesystem::path folder = Temp("export-memory");
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string movie = (folder / "huge.kqm").string();
  test::WriteFileBytes(movie, bytes);
  test::ProcessOptions small;
  small.memory_limit = 512ul << 20;
  const auto r = test::RunKqmProcess({"export", movie, "--video", (folder / "w.y4m").string(),
                                      "--audio", (folder / "a.wav").string(), "-q"},
                                     small);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("kqm export: " + movie +
                       ": not enough memory to export its 8192x8192 pictures (at frame 0)\n"),
            std::string::npos)
      << r.err;
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"huge.kqm"});
}
#endif

}  // namespace
}  // namespace tarvel

namespace tarvel {
namespace {

TEST(KqmExport, ScaledPicturesAreThePlayersFullScreenPictures) {
  const std::string movie = test::ConformancePath("dct-640x480");  // 2 frames
  const std::string plain = Temp("plain640.rgb"), big = Temp("scaled.rgb");
  ASSERT_EQ(test::RunKqm(tools::Cmd_Export, "export", {movie, "--video", plain, "-q"}).status, 0);
  for (int width : {800, 1024}) {
    auto r = test::RunKqm(tools::Cmd_Export, "export",
                          {movie, "--video", big, "--scale", std::to_string(width), "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto pictures = test::ReadFileBytes(plain);
    const auto scaled = test::ReadFileBytes(big);
    const std::size_t out_pixels = static_cast<std::size_t>(width) * width * 3 / 4;
    ASSERT_EQ(scaled.size(), 2 * out_pixels * 2);
    const std::vector<std::uint16_t> source =
        LittleEndianPixels(pictures.data() + 640 * 480 * 2, 640 * 480);  // frame 1
    std::vector<std::uint16_t> expected(out_pixels);
    (width == 800 ? ScaleTo800_555 : ScaleTo1024_555)(
        source.data(), reinterpret_cast<std::uint8_t*>(expected.data()),
        static_cast<std::uint32_t>(width));
    EXPECT_TRUE(LittleEndianPixels(scaled.data() + out_pixels * 2, out_pixels) == expected);
  }
  auto r =
      test::RunKqm(tools::Cmd_Export, "export",
                   {test::ConformancePath("key-dct-128x96"), "--video", big, "--scale", "800"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("640x480"), std::string::npos) << r.err;
}

TEST(KqmExport, MovieOutOfATarMadeByTheStandardToolMatchesTheLooseFile) {
  const std::string folder = Temp("pkg");
  const std::string movie = "mixed-160x120-mono";
  ASSERT_EQ(std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "/Movies' && cp '" +
                         test::ConformancePath(movie) + "' '" + folder + "/Movies/Intro.KQM' && " +
                         "tar -cf '" + folder + "/movies.tar' -C '" + folder + "' Movies")
                            .c_str()),
            0);
  const std::string loose_video = Temp("loose.rgb"), loose_audio = Temp("loose.pcm");
  const std::string tar_video = Temp("tar.rgb"), tar_audio = Temp("tar.pcm");
  ASSERT_EQ(test::RunKqm(tools::Cmd_Export, "export",
                         {test::ConformancePath(movie), "--video", loose_video, "--audio",
                          loose_audio, "--passes", "2", "-q"})
                .status,
            0);
  auto r = test::RunKqm(tools::Cmd_Export, "export",
                        {"movies\\intro.kqm", "--package", folder + "/movies.tar", "--video",
                         tar_video, "--audio", tar_audio, "--passes", "2", "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Sha(test::ReadFileBytes(tar_video)), Sha(test::ReadFileBytes(loose_video)));
  EXPECT_EQ(Sha(test::ReadFileBytes(tar_audio)), Sha(test::ReadFileBytes(loose_audio)));

  r = test::RunKqm(
      tools::Cmd_Export, "export",
      {"movies/absent.kqm", "--package", folder + "/movies.tar", "--video", tar_video});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm export: movies/absent.kqm: not found in " + folder + "/movies.tar\n");
  r = test::RunKqm(tools::Cmd_Export, "export",
                   {"./MOVIES", "--package", folder + "/movies.tar", "--video", tar_video});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm export: ./MOVIES: is a folder in " + folder + "/movies.tar, not a movie\n");

  // A damaged movie out of an archive is named with the archive, which a script going through
  // several needs to find the one that holds it (here cut inside frame 2).
  ASSERT_EQ(
      std::system(("head -c 20000 '" + test::ConformancePath(movie) + "' > '" + folder +
                   "/cut.kqm' && tar -cf '" + folder + "/damaged.tar' -C '" + folder + "' cut.kqm")
                      .c_str()),
      0);
  const std::string cut =
      folder + "/damaged.tar: cut.kqm: frame 2: the file ends inside the frame\n";
  r = test::RunKqm(tools::Cmd_Export, "export",
                   {"cut.kqm", "--package", folder + "/damaged.tar", "--video", tar_video});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm export: " + cut);
  r = test::RunKqm(tools::Cmd_Play, "play",
                   {"cut.kqm", "--package", folder + "/damaged.tar", "--device", "capture", "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm play: " + cut);

  // Cut right after the movie's member (a header each for the folder and the movie, then the
  // movie's bytes in whole blocks): the end block is gone, so the archive may be cut short.
  auto archive = test::ReadFileBytes(folder + "/movies.tar");
  archive.resize(2 * 512 +
                 (test::ReadFileBytes(test::ConformancePath(movie)).size() + 511) / 512 * 512);
  test::WriteFileBytes(folder + "/cut.tar", archive);
  r = test::RunKqm(tools::Cmd_Export, "export",
                   {"movies/absent.kqm", "--package", folder + "/cut.tar", "--video", tar_video});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm export: movies/absent.kqm: not found in " + folder +
                       "/cut.tar (the archive lacks the zero block that ends a tar archive: it "
                       "may be cut short)\n");
  EXPECT_EQ(test::RunKqm(
                tools::Cmd_Export, "export",
                {"movies/intro.kqm", "--package", folder + "/cut.tar", "--video", tar_video, "-q"})
                .status,
            0);
}

}  // namespace
}  // namespace tarvel
