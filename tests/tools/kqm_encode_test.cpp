// kqm encode as a user scripts it: pictures too large for the format fitted, sizes blamed on the
// side at fault, the sound from standard input, a target size met, and nothing left behind when
// it fails.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "container/movie_reader.h"
#include "kqm_run.h"
#include "tools/commands.h"

namespace tarvel {
namespace {

using test::RunKqm;
using test::RunKqmProcess;

void Write(const std::string& path, const std::string& bytes) {
  test::WriteFileBytes(path, std::vector<unsigned char>(bytes.begin(), bytes.end()));
}

// `frames` 4:4:4 pictures of width x height whose content moves and has fine detail, from a
// fixed formula.
std::string Y4m(int width, int height, int frames) {
  std::string out =
      "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F25:1 C444\n";
  for (int f = 0; f < frames; ++f) {
    out += "FRAME\n";
    for (int plane = 0; plane < 3; ++plane)
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          const unsigned v = plane == 0 ? (x * 7 + y * 3 + f * 5 + ((x * y) % 13) * 9) % 220 + 16
                                        : 128 + ((x / 5 + y / 7 + f + plane) % 9) * 8 - 32;
          out += static_cast<char>(v);
        }
  }
  return out;
}

std::string Le32(std::uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
          static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}
// Mono 16-bit WAVE at 22,050 Hz.
std::string Wav(std::size_t samples) {
  std::string data;
  for (std::size_t i = 0; i < samples; ++i) {
    const auto v = static_cast<std::int16_t>(8000 * std::sin(0.05 * static_cast<double>(i)));
    data += static_cast<char>(v & 0xFF);
    data += static_cast<char>((v >> 8) & 0xFF);
  }
  const std::string fmt = "fmt " + Le32(16) + std::string("\x01\x00\x01\x00", 4) + Le32(22050) +
                          Le32(44100) + std::string("\x02\x00\x10\x00", 4);
  const std::string body =
      "WAVE" + fmt + "data" + Le32(static_cast<std::uint32_t>(data.size())) + data;
  return "RIFF" + Le32(static_cast<std::uint32_t>(body.size())) + body;
}

MovieHeader HeaderOf(const std::string& path) {
  MovieReader reader;
  std::string error;
  EXPECT_TRUE(MovieReader_Open(reader, path, &error)) << error;
  const MovieHeader header = reader.header;
  MovieReader_Close(reader);
  return header;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  return names;
}

TEST(KqmEncode, FitsPicturesTooLargeAndBlamesTheSideAtFault) {
  const std::string dir = testing::TempDir();
  Write(dir + "wide.y4m", Y4m(1280, 64, 1));
  const auto fitted =
      RunKqm(tools::Cmd_Encode, "encode", {"--video", dir + "wide.y4m", "-o", dir + "wide.kqm"});
  ASSERT_EQ(0, fitted.status) << fitted.err;
  // 1280x64 at 1024 / 1280 = 0.8: 1024x51.2, whose nearest multiple of 8 is 48.
  EXPECT_NE(std::string::npos, fitted.err.find("fitting 1280x64 into 1024x48")) << fitted.err;
  EXPECT_EQ(1024, HeaderOf(dir + "wide.kqm").width);
  EXPECT_EQ(48, HeaderOf(dir + "wide.kqm").height);
  const auto cropped =
      RunKqm(tools::Cmd_Encode, "encode",
             {"--video", dir + "wide.y4m", "-o", dir + "wide.kqm", "--crop", "-q"});
  ASSERT_EQ(0, cropped.status) << cropped.err;
  EXPECT_EQ(1024, HeaderOf(dir + "wide.kqm").width);
  EXPECT_EQ(64, HeaderOf(dir + "wide.kqm").height);
  EXPECT_EQ("", cropped.err);

  const auto tall =
      RunKqm(tools::Cmd_Encode, "encode",
             {"--video", dir + "wide.y4m", "-o", dir + "x.kqm", "--size", "1024x65536"});
  EXPECT_EQ(2, tall.status);
  EXPECT_NE(std::string::npos, tall.err.find("height 65536")) << tall.err;
  const auto wide = RunKqm(tools::Cmd_Encode, "encode",
                           {"--video", dir + "wide.y4m", "-o", dir + "x.kqm", "--size", "1032x64"});
  EXPECT_EQ(2, wide.status);
  EXPECT_NE(std::string::npos, wide.err.find("width 1032")) << wide.err;
  // --size scales; --crop, which would crop instead, cannot go with it.
  EXPECT_EQ(2,
            RunKqm(tools::Cmd_Encode, "encode",
                   {"--video", dir + "wide.y4m", "-o", dir + "x.kqm", "--size", "64x48", "--crop"})
                .status);

  // A stream header line past the reader's 4,096 bytes is named as such, not as a stream of
  // another kind.
  std::string y4m = Y4m(8, 8, 1);
  y4m.insert(y4m.find('\n'), " X" + std::string(5000, 'x'));
  Write(dir + "long.y4m", y4m);
  const auto long_line =
      RunKqm(tools::Cmd_Encode, "encode", {"--video", dir + "long.y4m", "-o", dir + "x.kqm"});
  EXPECT_EQ(1, long_line.status);
  EXPECT_NE(std::string::npos, long_line.err.find("header line longer than 4096 bytes"))
      << long_line.err;

  // What the movie cannot keep of the stream's own description is said, not passed over.
  y4m = Y4m(8, 8, 1);
  y4m.insert(y4m.find('\n'), " It A10:11");
  Write(dir + "dv.y4m", y4m);
  const auto dv =
      RunKqm(tools::Cmd_Encode, "encode", {"--video", dir + "dv.y4m", "-o", dir + "x.kqm"});
  EXPECT_EQ(0, dv.status);
  EXPECT_NE(std::string::npos, dv.err.find("interlaced pictures (It)")) << dv.err;
  EXPECT_NE(std::string::npos, dv.err.find("pixel aspect 10:11 is not kept")) << dv.err;
  // F0:0, a rate the writer does not know, is no rate given: 25 per second, stored as 8/200 s.
  y4m = Y4m(8, 8, 1);
  y4m.replace(y4m.find("F25:1"), 5, "F0:0");
  Write(dir + "rate.y4m", y4m);
  const auto rate =
      RunKqm(tools::Cmd_Encode, "encode", {"--video", dir + "rate.y4m", "-o", dir + "x.kqm"});
  EXPECT_EQ(0, rate.status) << rate.err;
  EXPECT_NE(std::string::npos, rate.err.find("no frame rate: 25 frames per second")) << rate.err;
  EXPECT_EQ(8, HeaderOf(dir + "x.kqm").frame_duration);
}

TEST(KqmEncode, StatsMeasureTheSourceNotThePaddingAroundIt) {
  // A 12x12 grey picture (full range, no colour: each of R, G and B is its Y), padded to 16x16.
  const std::string dir = testing::TempDir();
  std::string y4m = "YUV4MPEG2 W12 H12 F25:1 C444 XCOLORRANGE=FULL\nFRAME\n";
  std::vector<int> grey;
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 12; ++x) grey.push_back((x * 37 + y * 53 + x * y * 11) % 256);
  for (int v : grey) y4m += static_cast<char>(v);
  y4m += std::string(2 * 144, '\x80');
  Write(dir + "padded.y4m", y4m);
  const auto r = RunKqm(tools::Cmd_Encode, "encode",
                        {"--video", dir + "padded.y4m", "-o", dir + "padded.kqm", "--quality", "30",
                         "--stats", "-q"});
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(0, RunKqm(tools::Cmd_Export, "export",
                      {dir + "padded.kqm", "--video", dir + "padded.rgb", "-q"})
                   .status);
  // The PSNR of the 12x12 pixels the source has, each 5-bit field widened as the player does.
  const auto pixels = test::ReadFileBytes(dir + "padded.rgb");
  ASSERT_EQ(16u * 16 * 2, pixels.size());
  double sse = 0;
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 12; ++x) {
      const int p = pixels[2 * (16 * y + x)] | pixels[2 * (16 * y + x) + 1] << 8;
      for (int shift : {10, 5, 0}) {
        const int v = (p >> shift) & 31;
        const double d = ((v << 3) | (v >> 2)) - grey[static_cast<std::size_t>(12 * y + x)];
        sse += d * d;
      }
    }
  const double psnr = 10 * std::log10(255.0 * 255.0 * 3 * 144 / sse);
  const auto at = r.out.find("mean PSNR ");
  ASSERT_NE(std::string::npos, at) << r.out;
  EXPECT_NEAR(psnr, std::stod(r.out.substr(at + 10)), 0.006) << r.out;
  // A movie written where standard output goes (here the file the test keeps it in) takes the
  // file's place: the table went on into the file it replaced, and was lost.
  const auto to_stdout =
      RunKqm(tools::Cmd_Demo, "demo",
             {"-o", "/dev/stdout", "--size", "8x8", "--seconds", "0.04", "--stats", "-q"});
  ASSERT_EQ(0, to_stdout.status) << to_stdout.err;
  EXPECT_EQ(0u, to_stdout.err.rfind("frame  kind   quality   bytes    psnr\n    0  key", 0))
      << to_stdout.err;
}

TEST(KqmEncode, ARateTheFormatCannotStoreKeepsTheClipsLengthByPickingPictures) {
  // Twelve grey pictures at 30 per second (0.4 s), each lighter than the last. 30 per second is
  // stored as 200/7 s: stored frame k shows the picture of moment 7k/200 s, number
  // round(1.05 k): 0..9, then 11 for k = 10 (10.5 rounds up); k = 11 would need picture 12.
  const std::string dir = testing::TempDir();
  std::string y4m = "YUV4MPEG2 W8 H8 F30:1 C444 XCOLORRANGE=FULL\n";
  for (int i = 0; i < 12; ++i)
    y4m += "FRAME\n" + std::string(64, static_cast<char>(20 + 20 * i)) + std::string(128, '\x80');
  Write(dir + "thirty.y4m", y4m);
  const auto r =
      RunKqm(tools::Cmd_Encode, "encode",
             {"--video", dir + "thirty.y4m", "-o", dir + "thirty.kqm", "--quality", "95"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("stored as 200/7")) << r.err;
  EXPECT_EQ(11, HeaderOf(dir + "thirty.kqm").frame_count);
  ASSERT_EQ(0, RunKqm(tools::Cmd_Export, "export",
                      {dir + "thirty.kqm", "--video", dir + "thirty.rgb", "-q"})
                   .status);
  const auto pixels = test::ReadFileBytes(dir + "thirty.rgb");
  ASSERT_EQ(11u * 64 * 2, pixels.size());
  // The blue field (5 bits) of the first pixel of frames 9 and 10, the fields shown nearest to
  // greys 200 and 240: 24 (shown as 198) and 29 (239). Picture 10 (220) would give 27.
  EXPECT_EQ(24, pixels[9 * 128] & 31);
  EXPECT_EQ(29, pixels[10 * 128] & 31);
}

TEST(KqmEncode, TakesTheSoundFromStandardInputWhenTheVideoIsAFile) {
  const std::string dir = testing::TempDir();
  Write(dir + "piped.y4m", Y4m(32, 16, 5));
  test::ProcessOptions sound;
  sound.input = Wav(22050);
  const auto piped = RunKqmProcess(
      {"encode", "--video", dir + "piped.y4m", "--audio", "-", "-o", dir + "piped.kqm"}, sound);
  ASSERT_EQ(0, piped.status) << piped.err;
  // 22,050 samples at 22,050 Hz against 5 pictures at 25 fps.
  EXPECT_NE(
      std::string::npos,
      piped.err.find("kqm encode: -: the sound (1.00 s) is longer than the pictures (0.20 s)"))
      << piped.err;
  EXPECT_EQ(std::string::npos, piped.err.find("short of")) << piped.err;
  const MovieHeader header = HeaderOf(dir + "piped.kqm");
  EXPECT_TRUE(header.sound);
  EXPECT_EQ(5, header.frame_count);
  // A sound cut short (its data chunk promises 44,100 bytes, 22,050 come: 0.50 s) is said to be,
  // not taken in silence.
  sound.input = Wav(22050).substr(0, 44 + 22050);
  const auto cut = RunKqmProcess(
      {"encode", "--video", dir + "piped.y4m", "--audio", "-", "-o", dir + "piped.kqm"}, sound);
  EXPECT_EQ(0, cut.status) << cut.err;
  EXPECT_NE(std::string::npos,
            cut.err.find("kqm encode: -: the file ends 22050 bytes short of its data chunk's "
                         "size: cut short, its 0.50 s of sound are taken as they are\n"))
      << cut.err;
  const auto both = RunKqmProcess({"encode", "--video", "-", "--audio", "-", "-o", dir + "x.kqm"});
  EXPECT_EQ(2, both.status);
  EXPECT_EQ(0u, both.err.rfind("kqm encode: ", 0)) << both.err;
}

TEST(KqmEncode, MeetsATargetSizeInOneOrTwoPasses) {
  const std::string dir = testing::TempDir();
  // The bytes of chunk payloads --stats counts for the pictures of `video` encoded at `bpp`
  // (two passes unless `passes` says otherwise); -1 when it fails.
  const auto video_bytes = [&dir](const std::string& video, const char* bpp,
                                  const char* passes = "--keyint=60") {
    const auto r = RunKqm(
        tools::Cmd_Encode, "encode",
        {"--video", dir + video, "-o", dir + "target.kqm", "--bpp", bpp, passes, "--stats", "-q"});
    const auto at = r.out.find("bytes of video");
    EXPECT_TRUE(r.status == 0 && at != std::string::npos) << r.err << r.out;
    return r.status != 0 || at == std::string::npos
               ? -1.0
               : std::stod(r.out.substr(r.out.rfind(' ', at - 2) + 1));
  };
  Write(dir + "target.y4m", Y4m(64, 48, 20));
  // 0.8 bits per pixel of pictures: 20 * 64 * 48 * 0.8 / 8 = 6,144 bytes of chunk payloads.
  for (const char* passes : {"--keyint=60", "--one-pass"})
    EXPECT_NEAR(6144.0, video_bytes("target.y4m", "0.8", passes), 6144 * 0.1) << passes;
  // A clip shorter than the span over which the second pass makes good its errors lands near
  // the aim all the same: 5 * 64 * 48 * 0.8 / 8 = 1,536 bytes (it came to 844).
  Write(dir + "brief.y4m", Y4m(64, 48, 5));
  EXPECT_NEAR(1536.0, video_bytes("brief.y4m", "0.8"), 1536 * 0.1);
  // A smooth clip cut to noise for its last 4 frames: the second pass, spreading its error over
  // the frames left, spent what the noise needed before it, whose key frame then overran the
  // whole aim of 40 * 64 * 48 * 0.5 / 8 = 7,680 bytes (12,383 were written).
  std::string cut = "YUV4MPEG2 W64 H48 F25:1 C444\n";
  std::uint32_t seed = 1;
  for (int f = 0; f < 40; ++f) {
    cut += "FRAME\n";
    for (int plane = 0; plane < 3; ++plane)
      for (int i = 0; i < 64 * 48; ++i) {
        seed = seed * 1103515245u + 12345u;
        cut += static_cast<char>(f >= 36      ? 16 + (seed >> 16) % 220
                                 : plane == 0 ? 16 + (i % 64 * 2 + i / 64 + f * 3) % 200
                                              : 128);
      }
  }
  Write(dir + "cut.y4m", cut);
  EXPECT_NEAR(7680.0, video_bytes("cut.y4m", "0.5"), 7680 * 0.15);
  // 300 kbit/s of the whole file over 0.8 s: 30,000 bytes, of which the sound takes 22,523 (the
  // 20 frames' periods and the 31 that frame 0 carries ahead, 441 bytes each, and the stream's
  // 32-byte header).
  Write(dir + "target.wav", Wav(17640));  // 0.8 s, as long as the pictures
  const auto rate = RunKqm(tools::Cmd_Encode, "encode",
                           {"--video", dir + "target.y4m", "--audio", dir + "target.wav", "-o",
                            dir + "target.kqm", "--bitrate", "300", "-q"});
  ASSERT_EQ(0, rate.status) << rate.err;
  EXPECT_NEAR(30000.0, static_cast<double>(std::filesystem::file_size(dir + "target.kqm")),
              30000 * 0.05);
  // The same through a pipe, whose frames are not known beforehand: the sound's length tells.
  test::ProcessOptions piped;
  piped.input = Y4m(64, 48, 20);
  const auto through_pipe = RunKqmProcess({"encode", "--video", "-", "--audio", dir + "target.wav",
                                           "-o", dir + "piped.kqm", "--bitrate", "300", "-q"},
                                          piped);
  ASSERT_EQ(0, through_pipe.status) << through_pipe.err;
  EXPECT_NEAR(30000.0, static_cast<double>(std::filesystem::file_size(dir + "piped.kqm")),
              30000 * 0.05);
  // A sound shorter than the piped video (0.2 s) is followed by silence, which the movie stores
  // all the same: the aim is as within reach as above, though the sound's length suggested 5
  // frames, over which the 31 periods frame 0 carries ahead would have left nothing.
  Write(dir + "short.wav", Wav(4410));
  const auto short_sound = RunKqmProcess({"encode", "--video", "-", "--audio", dir + "short.wav",
                                          "-o", dir + "piped.kqm", "--bitrate", "300", "-q"},
                                         piped);
  ASSERT_EQ(0, short_sound.status) << short_sound.err;
  EXPECT_NEAR(30000.0, static_cast<double>(std::filesystem::file_size(dir + "piped.kqm")),
              30000 * 0.05);
  // Sizes out of the qualities' reach are said, with where the movie came to.
  const auto high =
      RunKqm(tools::Cmd_Encode, "encode",
             {"--video", dir + "target.y4m", "-o", dir + "target.kqm", "--bpp", "30"});
  ASSERT_EQ(0, high.status) << high.err;
  EXPECT_NE(std::string::npos, high.err.find("--bpp 30: the pictures come to")) << high.err;
  EXPECT_NE(std::string::npos, high.err.find("at the highest quality")) << high.err;
  // So on a short still clip, whose key frame is most of it: 5 pictures of 64x48 come to at most
  // 64x48 x 11 bits of key frame over 5 frames, 2.2 bits per pixel, well short of 4.
  std::string still = Y4m(64, 48, 1);
  const std::string picture = still.substr(still.find("FRAME"));
  for (int i = 0; i < 4; ++i) still += picture;
  Write(dir + "still.y4m", still);
  const auto short_still =
      RunKqm(tools::Cmd_Encode, "encode",
             {"--video", dir + "still.y4m", "-o", dir + "target.kqm", "--bpp", "4"});
  ASSERT_EQ(0, short_still.status) << short_still.err;
  EXPECT_NE(std::string::npos, short_still.err.find("--bpp 4: the pictures come to"))
      << short_still.err;
  const auto low =
      RunKqm(tools::Cmd_Encode, "encode",
             {"--video", dir + "target.y4m", "-o", dir + "target.kqm", "--bpp", "0.02"});
  ASSERT_EQ(0, low.status) << low.err;
  EXPECT_NE(std::string::npos, low.err.find("at the lowest quality")) << low.err;
  const auto exclusive =
      RunKqm(tools::Cmd_Encode, "encode",
             {"--video", dir + "target.y4m", "-o", dir + "x.kqm", "--bpp", "1", "--quality", "50"});
  EXPECT_EQ(2, exclusive.status);
  const auto one_pass_alone =
      RunKqm(tools::Cmd_Encode, "encode",
             {"--video", dir + "target.y4m", "-o", dir + "x.kqm", "--one-pass"});
  EXPECT_EQ(2, one_pass_alone.status);
  // Below one bit per 8x8 block (1/64 bpp) no picture can be made; the option at fault is named.
  const auto starved =
      RunKqm(tools::Cmd_Encode, "encode",
             {"--video", dir + "target.y4m", "-o", dir + "x.kqm", "--bpp", "0.01"});
  EXPECT_EQ(2, starved.status);
  EXPECT_NE(std::string::npos, starved.err.find("--bpp 0.01 leaves")) << starved.err;
  // 5 kbit/s at 25 frames per second is 200 bits a frame, less than the frame's own 23 bytes:
  // said so, with no sound to blame in a movie without it.
  const auto slow = RunKqm(tools::Cmd_Encode, "encode",
                           {"--video", dir + "target.y4m", "-o", dir + "x.kqm", "--bitrate", "5"});
  EXPECT_EQ(2, slow.status);
  EXPECT_EQ("kqm encode: --bitrate 5 leaves the pictures less than one bit per block\n", slow.err);
}

TEST(KqmEncode, AFailureLeavesNothingBehind) {
  const std::string dir = testing::TempDir() + "encode_failure/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directory(dir);
  std::string cut = Y4m(32, 16, 4);
  cut.resize(cut.size() - 100);  // the last picture ends early
  Write(dir + "cut.y4m", cut);
  const auto r = RunKqm(tools::Cmd_Encode, "encode",
                        {"--video", dir + "cut.y4m", "-o", dir + "cut.kqm", "-q"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("picture 3: truncated")) << r.err;
  for (const std::string& name : FolderEntries(dir)) EXPECT_EQ("cut.y4m", name);
  // Nor does a hang-up (the terminal closed; Ctrl-C and kill do the same), here while the
  // encode waits for more of a pipe, whose writer then ends.
  test::ProcessOptions interrupt;
  interrupt.input = Y4m(28, 16, 2);
  interrupt.hold_input = true;
  interrupt.signal = SIGHUP;
  interrupt.signal_when = "padding 28x16";
  const auto stopped =
      RunKqmProcess({"encode", "--video", "-", "-o", dir + "stopped.kqm"}, interrupt);
  EXPECT_EQ(129, stopped.status);
  EXPECT_NE(std::string::npos, stopped.err.find("stopped by SIGHUP: nothing written"))
      << stopped.err;
  for (const std::string& name : FolderEntries(dir)) EXPECT_EQ("cut.y4m", name);
  // An output that is a folder is named as one.
  std::filesystem::create_directory(dir + "folder.kqm");
  Write(dir + "ok.y4m", Y4m(32, 16, 1));
  const auto folder =
      RunKqm(tools::Cmd_Encode, "encode", {"--video", dir + "ok.y4m", "-o", dir + "folder.kqm"});
  EXPECT_EQ(1, folder.status);
  EXPECT_NE(std::string::npos, folder.err.find("folder.kqm: is a folder")) << folder.err;
  // A video longer than a movie holds (65,535 frames) is said to be before any work, not once
  // the movie is full (an hour or more into a film), with the rate that keeps it whole: 65,536
  // frames at 25 a second last 2621.44 s, in frames of 9/200 s at most 22.22 a second.
  Write(dir + "long.y4m", Y4m(8, 8, 65536));
  const auto too_long =
      RunKqm(tools::Cmd_Encode, "encode", {"--video", dir + "long.y4m", "-o", dir + "folder.kqm"});
  EXPECT_EQ("kqm encode: " + dir +
                "long.y4m: 65536 frames, more than the 65535 a movie holds: it would end 2621.40 "
                "s into the clip's 2621.44 s; a video of 22.22 frames per second or fewer "
                "(ffmpeg's -r) keeps all of it\nkqm encode: " +
                dir + "folder.kqm: is a folder\n",
            too_long.err);
  std::filesystem::remove(dir + "long.y4m");
#if !defined(__SANITIZE_ADDRESS__)  // whose shadow memory no address-space limit leaves room for
  // A sound that memory cannot hold (a feature-length film's; here 1 GiB of silence, a hole in
  // the file, under a limit of 256 MiB) is said to be so; kqm aborted with the C++ runtime's
  // message and a core dump.
  std::string wav = Wav(0);
  wav.replace(40, 4, Le32(1u << 30));
  wav.replace(4, 4, Le32((1u << 30) + 36));
  Write(dir + "long.wav", wav);
  std::filesystem::resize_file(dir + "long.wav", wav.size() + (1u << 30));
  test::ProcessOptions small;
  small.memory_limit = 256ul << 20;
  const auto long_sound = RunKqmProcess(
      {"encode", "--video", dir + "ok.y4m", "--audio", dir + "long.wav", "-o", dir + "long.kqm"},
      small);
  EXPECT_EQ(1, long_sound.status);
  EXPECT_EQ("kqm encode: " + dir + "long.wav: not enough memory to hold the sound\n",
            long_sound.err);
  EXPECT_EQ(4u, FolderEntries(dir).size());  // the inputs and the folder, no movie
  std::filesystem::remove(dir + "long.wav");
  // So is a picture that memory cannot hold (16384x16384 at 4:4:4, 768 MiB of zeros, a hole):
  // the message named no file.
  const std::string huge_header = "YUV4MPEG2 W16384 H16384 F25:1 C444\nFRAME\n";
  Write(dir + "huge.y4m", huge_header);
  std::filesystem::resize_file(dir + "huge.y4m", huge_header.size() + 3ull * 16384 * 16384);
  const auto huge =
      RunKqmProcess({"encode", "-q", "--video", dir + "huge.y4m", "-o", dir + "huge.kqm"}, small);
  EXPECT_EQ(1, huge.status);
  EXPECT_EQ("kqm encode: " + dir +
                "huge.y4m: picture 0: not enough memory to read a 16384x16384 picture\n",
            huge.err);
  EXPECT_EQ(4u, FolderEntries(dir).size());  // the inputs and the folder, no movie
#endif
}

// What a bad stream holds where a header or a FRAME line should be is quoted in the message with
// its control bytes escaped: a picture larger than its header says put an escape sequence that
// clears the screen, and a bell, on the terminal.
TEST(KqmEncode, ABadStreamsBytesAreQuotedEscaped) {
  const std::string path = testing::TempDir() + "escape.y4m";
  Write(path,
        "YUV4MPEG2 W8 H8 F25:1 C444\nFRAME\n" + std::string(8 * 8 * 3, '\0') + "\x1B[2J\x07\n");
  const auto r = RunKqm(tools::Cmd_Encode, "encode",
                        {"--video", path, "-o", testing::TempDir() + "escape.kqm", "-q"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("kqm encode: " + path + ": picture 1: expected FRAME, found '\\x1B[2J\\x07'\n", r.err);
}

// A stop ends the encode at once while it waits for an input: a named pipe nobody writes to,
// or a pipe whose writer has gone quiet halfway through the sound.
TEST(KqmEncode, AStopEndsAWaitForAPipe) {
  const std::string dir = testing::TempDir() + "encode_pipe_wait/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directory(dir);
  ASSERT_EQ(0, mkfifo((dir + "nobody.y4m").c_str(), 0600));
  Write(dir + "clip.y4m", Y4m(16, 16, 2));
  test::ProcessOptions no_writer;
  no_writer.signal = SIGTERM;
  no_writer.signal_when_asleep = true;
  test::ProcessOptions quiet_writer = no_writer;
  quiet_writer.input = Wav(22050).substr(0, 20000);
  quiet_writer.hold_input = true;
  for (const auto& r :
       {RunKqmProcess({"encode", "--video", dir + "nobody.y4m", "-o", dir + "out.kqm"}, no_writer),
        RunKqmProcess(
            {"encode", "--video", dir + "clip.y4m", "--audio", "-", "-o", dir + "out.kqm"},
            quiet_writer)}) {
    EXPECT_EQ(143, r.status);
    EXPECT_EQ("kqm encode: " + dir + "out.kqm: stopped by SIGTERM: nothing written\n", r.err);
  }
  EXPECT_EQ(2u, FolderEntries(dir).size());  // the two inputs alone
}
}  // namespace
}  // namespace tarvel
