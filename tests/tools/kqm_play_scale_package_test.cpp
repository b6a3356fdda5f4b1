#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "display/scalers.h"
#include "engine/player_context.h"
#include "kqm_run.h"
#include "support/digest.h"
#include "tools/commands.h"

namespace tarvel {
namespace {

using test::ConformancePath;
using test::RunKqm;

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + name;
}

std::string FileSha(const std::string& path) {
  const auto bytes = test::ReadFileBytes(path);
  test::Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return sha.FinalHex();
}

TEST(ScaledMode, OnlyPicturesOfTheScalersSizeAreScaled) {
  for (const auto& [movie, scaled] :
       {std::pair<std::string, bool>{"dct-640x480", true}, {"key-dct-128x96", false}}) {
    for (std::uint32_t width : {800u, 1024u}) {
      PlayerContext context;
      ASSERT_EQ(Player_Init(context, kPlayerInterfaceVersion), kPlayerOk);
      context.scaled_width = width;
      ASSERT_EQ(Player_Open(context, ConformancePath(movie).c_str()), kPlayerOk) << movie;
      EXPECT_EQ(context.scaling_buffer != nullptr, scaled) << movie;
      EXPECT_EQ(context.output_width, scaled ? width : context.width) << movie;
      EXPECT_EQ(context.output_height, scaled ? width * 3 / 4 : context.height) << movie;
      Player_Stop(context);
      EXPECT_EQ(context.scaling_buffer, nullptr);
    }
  }
}

TEST(KqmPlay, ScaledPlaybackPresentsWhatExportScales) {
  const std::string movie = ConformancePath("dct-640x480");
  for (const char* width : {"800", "1024"}) {
    auto r = RunKqm(tools::Cmd_Play, "play",
                    {movie, "--device", "capture", "--passes", "2", "--scale", width, "--video-out",
                     Temp("played.rgb")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunKqm(tools::Cmd_Export, "export",
               {movie, "--passes", "2", "--scale", width, "--video", Temp("exported.rgb"), "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        test::ReadFileBytes(Temp("played.rgb")).size(),
        4u * 2 * std::stoul(width) * std::stoul(width) * 3 / 4);  // 4 pictures, 2 bytes a pixel
    EXPECT_EQ(FileSha(Temp("played.rgb")), FileSha(Temp("exported.rgb"))) << width;
  }
  auto r = RunKqm(tools::Cmd_Play, "play",
                  {ConformancePath("key-dct-128x96"), "--device", "capture", "--scale", "800"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("640x480"), std::string::npos) << r.err;
}

// Pictures into /dev/stdout are all that goes there: the summary line, printed to standard
// output, went in after them, 50 bytes a script took for a picture's start.
TEST(KqmPlay, PicturesNamedAsStandardOutputGetNoSummaryAmongThem) {
  const auto r = test::RunKqmProcess({"play", ConformancePath("key-dct-128x96"), "--device",
                                      "capture", "--video-out", "/dev/stdout"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.size(), 6u * 128 * 96 * 2);  // 6 pictures, 2 bytes a pixel
  EXPECT_NE(r.err.find("6 frames presented in "), std::string::npos) << r.err;
}

TEST(KqmPlay, MovieOutOfATarPlaysExactlyAsFromDisk) {
  const std::string folder = Temp("playpkg");
  const std::string movie = "copy-320x240-stereo";
  ASSERT_EQ(std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "/Sub' && cp '" +
                         ConformancePath(movie) + "' '" + folder + "/Sub/A.kqm' && tar -cf '" +
                         folder + "/m.tar' -C '" + folder + "' Sub")
                            .c_str()),
            0);
  auto r = RunKqm(tools::Cmd_Play, "play",
                  {"sub\\a.KQM", "--package", folder + "/m.tar", "--device", "capture", "--passes",
                   "2", "--video-out", Temp("tar.rgb"), "--audio-out", Temp("tar.pcm")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(FileSha(Temp("tar.rgb")), test::ExpectedDigest(movie, "pictures-555-passes2"));
  EXPECT_EQ(FileSha(Temp("tar.pcm")), test::ExpectedDigest(movie, "sound-passes2"));

  // The name as `tar -tf` lists the members of an archive made with `tar -C DIR .`.
  r = RunKqm(tools::Cmd_Play, "play",
             {"./Sub/A.kqm", "--package", folder + "/m.tar", "--device", "capture", "--once"});
  EXPECT_EQ(r.status, 0) << r.err;

  r = RunKqm(tools::Cmd_Play, "play",
             {"sub/absent.kqm", "--package", folder + "/m.tar", "--device", "capture"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not found in"), std::string::npos) << r.err;
}

// An archive named where a movie is expected is said to be one: its first member's name gives a
// picture size no movie has (0x0 from a short name, one far too large from a long one).
TEST(KqmPlay, APackageNamedAsTheMovieIsSaidToBeOne) {
  const std::string folder = Temp("namedpkg");
  for (const std::string member : {"a.kqm", "key-dct-128x96.kqm"}) {
    ASSERT_EQ(std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "' && cp '" +
                           ConformancePath("key-dct-128x96") + "' '" + folder + "/" + member +
                           "' && tar -cf '" + folder + "/m.tar' -C '" + folder + "' " + member)
                              .c_str()),
              0);
    const std::string said = folder +
                             "/m.tar: not a movie: a tar archive (kqm export and kqm play read a "
                             "movie out of it with --package)\n";
    auto r = RunKqm(tools::Cmd_Info, "info", {folder + "/m.tar"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kqm info: " + said);
    EXPECT_EQ(r.out, "");
    // Opened by the playback engine, as the player opens it.
    r = RunKqm(tools::Cmd_Play, "play", {folder + "/m.tar", "--device", "capture"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kqm play: " + said);
  }
}

// A .wav name gets a WAVE file of the queued sound: 8,000 Hz stereo here, the bytes the raw
// output holds behind a header that counts them.
TEST(KqmPlay, SoundOutputNamedWavIsAWaveFile) {
  const std::string movie = ConformancePath("copy-320x240-stereo");
  for (const char* name : {"queued.pcm", "queued.WAV"})
    ASSERT_EQ(
        RunKqm(tools::Cmd_Play, "play", {movie, "--device", "capture", "--audio-out", Temp(name)})
            .status,
        0);
  const auto pcm = test::ReadFileBytes(Temp("queued.pcm"));
  const auto wave = test::ReadFileBytes(Temp("queued.WAV"));
  ASSERT_FALSE(pcm.empty());
  ASSERT_EQ(wave.size(), pcm.size() + 44);
  const auto le32 = [&](std::size_t at) {
    return wave[at] | wave[at + 1] << 8 | wave[at + 2] << 16 | std::uint32_t{wave[at + 3]} << 24;
  };
  EXPECT_EQ(std::string(wave.begin(), wave.begin() + 4), "RIFF");
  EXPECT_EQ(le32(4), pcm.size() + 36);
  EXPECT_EQ(std::string(wave.begin() + 8, wave.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(le32(16), 16u);
  EXPECT_EQ(le32(20), 1u | 2u << 16);   // PCM, two channels
  EXPECT_EQ(le32(24), 8000u);           // samples a second
  EXPECT_EQ(le32(28), 8000u * 4);       // bytes a second
  EXPECT_EQ(le32(32), 4u | 16u << 16);  // 4 bytes a sample frame, 16 bits a sample
  EXPECT_EQ(std::string(wave.begin() + 36, wave.begin() + 40), "data");
  EXPECT_EQ(le32(40), pcm.size());
  EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), wave.begin() + 44));
}

// A start past the end names how many frames there are to start at; the count waits for the
// frame index, which is still being built when the seek is refused (the movie has 12 frames).
TEST(KqmPlay, StartPastTheEndNamesThePlayableFrames) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const auto r = RunKqm(
        tools::Cmd_Play, "play",
        {ConformancePath("mixed-160x120-mono"), "--device", "capture", "--once", "--start", "100"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot start at frame 100: the movie has 12 frames"), std::string::npos)
        << r.err;
  }
  // One frame before a cut: one frame, not "1 frames".
  test::WriteFileBytes(
      Temp("cut1.kqm"),
      test::CutInsideFrame(test::ReadFileBytes(ConformancePath("mixed-160x120-mono")), 1));
  const auto one = RunKqm(tools::Cmd_Play, "play",
                          {Temp("cut1.kqm"), "--device", "capture", "--once", "--start", "5"});
  EXPECT_EQ(one.status, 1);
  EXPECT_NE(one.err.find("cannot start at frame 5: the movie has 1 frame that can be played"),
            std::string::npos)
      << one.err;
  // A time too far for any frame number is as far past the end.
  const std::string far_away = "1" + std::string(300, '0') + "s";
  const auto far = RunKqm(tools::Cmd_Play, "play",
                          {ConformancePath("mixed-160x120-mono"), "--device", "capture", "--start",
                           far_away, "--video-out", Temp("far.rgb")});
  EXPECT_EQ(far.status, 1);
  EXPECT_NE(far.err.find("cannot start at \"" + far_away + "\""), std::string::npos) << far.err;
  // Decimal only, as the whole-number options: not frame 16, not frame 1000.
  for (const char* start : {"0x10", "1e3", " 5", "0x1p2s"}) {
    const auto odd = RunKqm(tools::Cmd_Play, "play",
                            {ConformancePath("mixed-160x120-mono"), "--device", "capture",
                             "--start", start, "--video-out", Temp("odd.rgb")});
    EXPECT_EQ(odd.status, 2) << start;
    EXPECT_NE(odd.err.find("--start takes a frame number"), std::string::npos) << odd.err;
  }
}

// A time is the frame shown at that moment: at 13/200 s a frame, frame 4 from 0.26 s on.
TEST(KqmPlay, StartInSecondsOnAFramesBeginningIsThatFrame) {
  for (const char* start : {"0.26s", "4"}) {
    const auto r = RunKqm(tools::Cmd_Play, "play",
                          {ConformancePath("key-dct-128x96"), "--device", "capture", "--start",
                           start, "--video-out", Temp(start + std::string(".rgb"))});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(FileSha(Temp("0.26s.rgb")), FileSha(Temp("4.rgb")));
}

// Scripts capture folders of movies alike: a silent one gives an empty sound file (the movie
// with sound is played the same way out of a tar archive above).
TEST(KqmPlay, SilentMovieGivesAnEmptySoundCapture) {
  const std::string movie = "key-dct-128x96";
  const auto r = RunKqm(tools::Cmd_Play, "play",
                        {ConformancePath(movie), "--device", "capture", "--passes", "2",
                         "--audio-out", Temp("silent.pcm"), "--video-out", Temp("silent.rgb")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("the movie has no sound"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadFileBytes(Temp("silent.pcm")).size(), 0u);
  EXPECT_EQ(FileSha(Temp("silent.rgb")), test::ExpectedDigest(movie, "pictures-555-passes2"));

  // Its header's sound flag set, without a sound chunk in frame 0: it plays silent, and says so.
  auto bytes = test::ReadFileBytes(ConformancePath(movie));
  bytes[6] = 1;
  test::WriteFileBytes(Temp("flagged.kqm"), bytes);
  const auto flagged = RunKqm(tools::Cmd_Play, "play",
                              {Temp("flagged.kqm"), "--device", "capture", "--audio-out",
                               Temp("flagged.pcm"), "--video-out", Temp("flagged.rgb")});
  ASSERT_EQ(flagged.status, 0) << flagged.err;
  EXPECT_EQ(flagged.err, "kqm play: " + Temp("flagged.kqm") +
                             ": frame 0 has no sound chunk (\"AA\" or \"BB\"); playing without "
                             "sound\n");
  EXPECT_EQ(test::ReadFileBytes(Temp("flagged.pcm")).size(), 0u);

  // A sound stream refused (its ADQ header zeroed; frame 0's sound chunk follows a picture chunk
  // of 3,750 bytes) is named as such, also when playback starts at the last frame (and may have
  // ended when the start returns).
  bytes = test::ReadFileBytes(ConformancePath("mixed-160x120-mono"));
  std::fill(bytes.begin() + 3828, bytes.begin() + 3832, 0);
  test::WriteFileBytes(Temp("refused.kqm"), bytes);
  for (const char* start : {"0", "11"}) {
    const auto played =
        RunKqm(tools::Cmd_Play, "play",
               {Temp("refused.kqm"), "--device", "capture", "--start", start, "-q"});
    EXPECT_EQ(played.err, "kqm play: " + Temp("refused.kqm") +
                              ": the sound stream is not valid ADQ sound; playing without sound\n")
        << start;
  }
  // So is a chunk too short to hold one frame period of codes (the 32-byte stream header and 8
  // bytes), which says so rather than that the stream is not valid.
  bytes = test::ReadFileBytes(ConformancePath("mixed-160x120-mono"));
  bytes[3820] = 8 + 32 + 8;
  bytes[3821] = bytes[3822] = bytes[3823] = 0;
  test::WriteFileBytes(Temp("short.kqm"), bytes);
  EXPECT_EQ(RunKqm(tools::Cmd_Play, "play", {Temp("short.kqm"), "--device", "capture", "-q"}).err,
            "kqm play: " + Temp("short.kqm") +
                ": frame 0's sound chunk holds less than one frame period of codes; playing "
                "without sound\n");
}

// A disk that fills up (here a file size limit of 4 KB) is one line with its reason, playback
// stops there, and the outputs are removed (the other one too: the command failed).
TEST(KqmPlay, AFailedWriteIsOneLineWithItsReason) {
  const std::string out = Temp("full.rgb"), beside = Temp("beside.pcm");
  std::remove(out.c_str());
  test::KqmResult r;
  {
    test::FileSizeLimit limit(4096);
    r = RunKqm(tools::Cmd_Play, "play",
               {ConformancePath("key-dct-128x96"), "--device", "capture", "--video-out", out,
                "--audio-out", beside, "--passes", "1000000", "-q"});
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "kqm play: " + out + ": cannot write the pictures: " + std::strerror(EFBIG) + "\n");
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(beside));
  EXPECT_EQ(r.out, "");  // -q: no summary either
  // Playback stops at the failure instead of playing its million passes for nothing.
  {
    test::FileSizeLimit limit(4096);
    r = RunKqm(tools::Cmd_Play, "play",
               {ConformancePath("key-dct-128x96"), "--device", "capture", "--video-out", out,
                "--passes", "1000000"});
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(std::atoll(r.out.c_str()), 1000) << r.out;  // "N frames presented in ..."
}

TEST(KqmPlay, WithoutASoundCardPlaysSilentlyUnlessTheCardWasAskedFor) {
  const char* was = std::getenv("SDL_AUDIODRIVER");
  const std::string saved = was ? was : "";
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  const std::string movie = ConformancePath("copy-320x240-stereo");  // 8 frames
  auto r = RunKqm(tools::Cmd_Play, "play",
                  {movie, "--rate", "1000", "--video-out", Temp("no-card.rgb")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("; playing without sound"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadFileBytes(Temp("no-card.rgb")).size(), 8u * 320 * 240 * 2);
  r = RunKqm(tools::Cmd_Play, "play", {movie, "--device", "sdl"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the sound device could not be opened"), std::string::npos) << r.err;
  if (was)
    setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
  else
    unsetenv("SDL_AUDIODRIVER");
}

}  // namespace
}  // namespace tarvel
