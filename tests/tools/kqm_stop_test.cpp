// Where kqm play and kqm export stop: on Ctrl-C or kill with whole outputs, and both at the
// same frame when one has no picture.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "kqm_run.h"
#include "tools/commands.h"

namespace tarvel {
namespace {

using test::ConformancePath;
using test::ReadFileBytes;

// copy-320x240-stereo: 320x240 pictures; 8000 Hz stereo at 12.5 frames per second, so a frame
// period is 640 samples of 4 bytes.
constexpr std::size_t kPicture = 320 * 240 * 2;
constexpr std::size_t kPeriod = 640 * 4;

std::uint32_t Le32(const std::vector<unsigned char>& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

// The number before `word` in `text`, -1 when it is not there.
long long NumberBefore(const std::string& text, const std::string& word) {
  const auto at = text.find(word);
  if (at == std::string::npos) return -1;
  const auto start = text.find_last_of(" \n", at - 1);
  return std::stoll(text.substr(start == std::string::npos ? 0 : start + 1));
}

// A folder of the tests' own, empty, its path ending in '/'.
std::string EmptyFolder(const std::string& name) {
  const std::string folder = ::testing::TempDir() + name + "/";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directory(folder);
  return folder;
}

// `signal` sent once the child sleeps, waiting for something.
test::ProcessOptions SignalWhenAsleep(int signal) {
  test::ProcessOptions options;
  options.signal = signal;
  options.signal_when_asleep = true;
  return options;
}

TEST(StopSignal, PlayEndsWithWholePicturesAndBuffersAndItsSummary) {
  const std::string sound = ::testing::TempDir() + "interrupted.pcm";
  test::ProcessOptions interrupt;
  interrupt.signal = SIGINT;  // once the first picture bytes come out
  const auto r =
      test::RunKqmProcess({"play", ConformancePath("copy-320x240-stereo"), "--device", "capture",
                           "--passes", "1000000", "--video-out", "-", "--audio-out", sound},
                          interrupt);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(r.err.find("stopped by SIGINT"), std::string::npos) << r.err;
  const long long presented = std::max(NumberBefore(r.err, " frames presented in"),
                                       NumberBefore(r.err, " frame presented in"));
  ASSERT_GT(presented, 0) << r.err;
  EXPECT_EQ(r.out.size(), static_cast<std::size_t>(presented) * kPicture);
  // Frame 0 queues 32 periods and every later frame one more; the stop may come between a
  // frame's sound and its picture.
  const std::size_t bytes = ReadFileBytes(sound).size();
  EXPECT_EQ(bytes % kPeriod, 0u) << bytes;
  EXPECT_GE(bytes / kPeriod, static_cast<std::size_t>(presented) + 31);
  EXPECT_LE(bytes / kPeriod, static_cast<std::size_t>(presented) + 32);
}

TEST(StopSignal, ExportWritesWholePicturesAndAWaveFileOfWhatWasDone) {
  const std::string wave = ::testing::TempDir() + "interrupted.wav";
  test::ProcessOptions terminate;
  terminate.signal = SIGTERM;
  const auto r = test::RunKqmProcess({"export", ConformancePath("copy-320x240-stereo"), "--passes",
                                      "1000000", "--video", "-", "--audio", wave},
                                     terminate);
  EXPECT_EQ(r.status, 143) << r.err;
  EXPECT_NE(r.err.find("stopped by SIGTERM"), std::string::npos) << r.err;
  ASSERT_GT(r.out.size(), 0u);
  EXPECT_EQ(r.out.size() % kPicture, 0u);
  const std::size_t frames = r.out.size() / kPicture;
  EXPECT_EQ(std::max(NumberBefore(r.err, " pictures"), NumberBefore(r.err, " picture ")),
            static_cast<long long>(frames))
      << r.err;
  // The header's sizes are those of the samples written: a period for each frame exported and
  // the 31 more that frame 0 leads by.
  const auto bytes = ReadFileBytes(wave);
  ASSERT_GE(bytes.size(), 44u);
  EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8);
  EXPECT_EQ(Le32(bytes, 40), bytes.size() - 44);
  EXPECT_EQ(bytes.size() - 44, (frames + 31) * kPeriod);
}

// A reader that goes away early (`kqm export --video - | head -c 100`) ends export and play as
// SIGPIPE ends a program, without a line, and the files they were writing beside are removed.
TEST(StopSignal, AReaderThatLeavesEarlyEndsTheCommandQuietlyLeavingNothing) {
  namespace fs = std::filesystem;
  const std::string folder = ::testing::TempDir() + "kqm_reader_gone";
  fs::remove_all(folder);
  fs::create_directory(folder);
  const std::string movie = ConformancePath("copy-320x240-stereo");
  test::ProcessOptions gone;
  gone.output_gone = true;
  for (const auto& r :
       {test::RunKqmProcess({"export", movie, "--video", "-", "--audio", folder + "/s.wav"}, gone),
        test::RunKqmProcess({"play", movie, "--device", "capture", "--video-out", "-",
                             "--audio-out", folder + "/s.pcm"},
                            gone)}) {
    EXPECT_EQ(r.status, 128 + SIGPIPE);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(fs::is_empty(folder));
}

// A stop ends a wait for an output's reader as a stop anywhere else: a named pipe nobody opened
// for reading yet holds the output's open, a reader that reads nothing the write.
TEST(StopSignal, AStopEndsAWaitForAnOutputsReader) {
  namespace fs = std::filesystem;
  const std::string folder = EmptyFolder("kqm_no_reader");
  ASSERT_EQ(0, ::mkfifo((folder + "v.rgb").c_str(), 0600));
  ASSERT_EQ(0, ::mkfifo((folder + "t.png").c_str(), 0600));
  const std::string movie = ConformancePath("copy-320x240-stereo");
  test::ProcessOptions waiting = SignalWhenAsleep(SIGTERM);
  const auto exported =
      test::RunKqmProcess({"export", movie, "--video", folder + "v.rgb"}, waiting);
  EXPECT_EQ(exported.status, 143);
  EXPECT_EQ(exported.err,
            "kqm export: " + movie + ": stopped by SIGTERM after 0 frames: 0 pictures written\n");
  const auto thumbnail = test::RunKqmProcess({"thumbnail", movie, folder + "t.png"}, waiting);
  EXPECT_EQ(thumbnail.status, 143);
  EXPECT_EQ(thumbnail.err,
            "kqm thumbnail: " + folder + "t.png: stopped by SIGTERM: nothing written\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
  // The same, the named pipe removed while the open waits for its reader.
  test::ProcessOptions removed = waiting;
  removed.removed_before_signal = folder + "v.rgb";
  const auto gone = test::RunKqmProcess({"export", movie, "--video", folder + "v.rgb"}, removed);
  EXPECT_EQ(gone.status, 143);
  EXPECT_EQ(gone.err, exported.err);
  EXPECT_FALSE(fs::exists(folder + "v.rgb"));
  // Frame 0's picture (153,600 bytes) is more than a pipe holds; its sound comes after it.
  test::ProcessOptions unread = waiting;
  unread.output_unread = true;
  const auto piped =
      test::RunKqmProcess({"export", movie, "--video", "-", "--audio", folder + "s.wav"}, unread);
  EXPECT_EQ(piped.status, 143);
  EXPECT_EQ(piped.err, "kqm export: " + movie +
                           ": stopped by SIGTERM after 0 frames: 0 pictures and 0 bytes of sound "
                           "written\n");
  EXPECT_EQ(ReadFileBytes(folder + "s.wav").size(), 44u);
}

// Play stopped while an output waits for its reader says so as after any other stop, with its
// summary (on standard output: no picture goes there), and keeps no output.
TEST(StopSignal, PlayStoppedWhileAnOutputWaitsForItsReaderGivesItsSummary) {
  namespace fs = std::filesystem;
  const std::string folder = EmptyFolder("kqm_play_no_reader");
  ASSERT_EQ(0, ::mkfifo((folder + "v.rgb").c_str(), 0600));
  const std::string movie = ConformancePath("copy-320x240-stereo");
  test::ProcessOptions waiting = SignalWhenAsleep(SIGTERM);
  const auto r = test::RunKqmProcess({"play", movie, "--device", "capture", "--audio-out",
                                      folder + "a.wav", "--video-out", folder + "v.rgb"},
                                     waiting);
  EXPECT_EQ(r.status, 143);
  EXPECT_EQ(r.err, "kqm play: " + movie + ": stopped by SIGTERM\n");
  EXPECT_EQ(r.out.rfind("0 frames presented in ", 0), 0u) << r.out;
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// Export stopped while its second output waits for its reader has begun nothing: whichever of
// its outputs is the named pipe, the line is the same and no output is kept, so that a file of
// the other's name is not replaced by an empty one.
TEST(StopSignal, ExportStoppedWhileAnOutputWaitsForItsReaderKeepsNoOutput) {
  namespace fs = std::filesystem;
  const std::string folder = EmptyFolder("kqm_export_no_reader");
  ASSERT_EQ(0, ::mkfifo((folder + "v.rgb").c_str(), 0600));
  ASSERT_EQ(0, ::mkfifo((folder + "s.pcm").c_str(), 0600));
  test::WriteFileBytes(folder + "v.y4m", {'o', 'l', 'd'});
  test::WriteFileBytes(folder + "s.wav", {'o', 'l', 'd'});
  const std::string movie = ConformancePath("copy-320x240-stereo");
  test::ProcessOptions waiting = SignalWhenAsleep(SIGTERM);
  for (const auto& [video, audio] : {std::pair{"v.rgb", "s.wav"}, std::pair{"v.y4m", "s.pcm"}}) {
    const auto r = test::RunKqmProcess(
        {"export", movie, "--video", folder + video, "--audio", folder + audio}, waiting);
    EXPECT_EQ(r.status, 143);
    EXPECT_EQ(r.err, "kqm export: " + movie +
                         ": stopped by SIGTERM after 0 frames: 0 pictures and 0 bytes of sound "
                         "written\n");
  }
  EXPECT_EQ(ReadFileBytes(folder + "v.y4m"), (std::vector<unsigned char>{'o', 'l', 'd'}));
  EXPECT_EQ(ReadFileBytes(folder + "s.wav"), (std::vector<unsigned char>{'o', 'l', 'd'}));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 4);
}

// After a stop, a reader that takes a little now and then keeps the output going no longer than
// the time a stop allows the last picture: here a page each quarter second, 16 KiB a second, of
// the 88 KiB of frame 0's picture that the full pipe did not hold.
TEST(StopSignal, AReaderThatTakesLittleAfterAStopGetsTheOutputCut) {
  test::ProcessOptions slow = SignalWhenAsleep(SIGTERM);
  slow.output_trickled = true;
  const std::string movie = ConformancePath("copy-320x240-stereo");
  const auto r = test::RunKqmProcess({"export", movie, "--video", "-"}, slow);
  EXPECT_EQ(r.status, 143);
  EXPECT_EQ(r.err,
            "kqm export: " + movie + ": stopped by SIGTERM after 0 frames: 0 pictures written\n");
  EXPECT_LT(r.out.size(), kPicture);
}

// A signal that ends a command at once, Ctrl-\ (SIGQUIT) or a second stop signal, ends it as it
// ends any program, but without leaving the hidden temporary file of an output behind.
TEST(StopSignal, ASignalThatEndsACommandAtOnceLeavesNoTemporaryFile) {
  namespace fs = std::filesystem;
  const std::string folder = EmptyFolder("kqm_at_once");
  const std::string movie = ConformancePath("copy-320x240-stereo");
  test::ProcessOptions quit;
  quit.signal = SIGQUIT;  // once the first picture bytes come out, the sound's file open
  const auto quitted = test::RunKqmProcess(
      {"export", movie, "--passes", "1000000", "--video", "-", "--audio", folder + "s.wav"}, quit);
  EXPECT_EQ(quitted.status, 128 + SIGQUIT);
  // SIGINT right after SIGTERM, while the write of frame 0 waits a second for a reader that
  // takes nothing: a second request.
  test::ProcessOptions twice;
  twice.signal = SIGTERM;
  twice.second_signal = SIGINT;
  twice.signal_when_asleep = true;
  twice.output_unread = true;
  const auto ended =
      test::RunKqmProcess({"export", movie, "--video", "-", "--audio", folder + "s.wav"}, twice);
  EXPECT_EQ(ended.status, 128 + SIGINT);
  EXPECT_EQ(ended.err, "");
  EXPECT_TRUE(fs::is_empty(folder));
}

// A stop ends a frame where it is: at --effort 3 one frame of a large picture takes minutes.
// The signal comes once frame 0 has been written (its sound's lead overflows the writer's
// buffer), in the last frame: finishing it would keep the movie.
TEST(StopSignal, ADemoStopsInsideAFrame) {
  const std::string folder = EmptyFolder("kqm_demo_in_frame");
  test::ProcessOptions interrupt;
  interrupt.signal = SIGINT;
  interrupt.signal_when_written_in = folder;
  const auto r = test::RunKqmProcess(
      {"demo", "-o", folder + "d.kqm", "--size", "64x64", "--seconds", "0.08", "--effort", "3"},
      interrupt);
  EXPECT_EQ(r.status, 130);
  EXPECT_EQ(r.err, "kqm demo: " + folder + "d.kqm: stopped by SIGINT: nothing written\n");
  EXPECT_TRUE(std::filesystem::is_empty(folder));
}

// A job runner may start its jobs with SIGTERM blocked; the command still stops on it.
TEST(StopSignal, ASignalBlockedAtStartStillStopsTheCommand) {
  test::ProcessOptions terminate;
  terminate.signal = SIGTERM;
  terminate.blocked_signal = SIGTERM;
  // The pictures fill the pipe long before the passes end, so the signal comes while it runs.
  const auto r = test::RunKqmProcess(
      {"export", ConformancePath("copy-320x240-stereo"), "--passes", "3", "--video", "-"},
      terminate);
  EXPECT_EQ(r.status, 143) << r.err;
  EXPECT_NE(r.err.find("stopped by SIGTERM"), std::string::npos) << r.err;
  // So does bench, which ran its measurement to the end (or, with nothing blocked, ended by the
  // signal's default action, without a line). The signal comes after its warning about a movie
  // cut short, before its seeks.
  const std::string cut = ::testing::TempDir() + "bench-stopped.kqm";
  test::WriteFileBytes(
      cut, test::CutInsideFrame(ReadFileBytes(ConformancePath("mixed-136x96-mono-33-key4")), 20));
  terminate.signal_when = "seeking among the frames before";
  const auto bench = test::RunKqmProcess({"bench", cut, "--seek", "1000"}, terminate);
  EXPECT_EQ(bench.status, 143) << bench.err;
  EXPECT_NE(bench.err.find("\nkqm bench: " + cut + ": stopped by SIGTERM\n"), std::string::npos)
      << bench.err;
  EXPECT_EQ(bench.out, "");
}

// A thumbnail stops in its first walk through the frames too, which reads every byte of the
// movie (long for a large one on a slow disk): it went on to the end of the movie, here to its
// cut at frame 20, whatever signal came meanwhile.
TEST(StopSignal, AThumbnailStopsInItsFirstWalkThroughTheFrames) {
  const std::string folder = EmptyFolder("thumbnail-walk-stopped");
  test::WriteFileBytes(
      folder + "cut.kqm",
      test::CutInsideFrame(ReadFileBytes(ConformancePath("mixed-136x96-mono-33-key4")), 20));
  test::ProcessOptions pending;
  pending.blocked_signal = SIGTERM;
  pending.blocked_signal_pending = true;
  const auto r =
      test::RunKqmProcess({"thumbnail", folder + "cut.kqm", folder + "cut.png"}, pending);
  EXPECT_EQ(r.status, 143);
  EXPECT_EQ(r.err, "kqm thumbnail: " + folder + "cut.png: stopped by SIGTERM: nothing written\n");
}

// A thumbnail stops while it looks for where to start decoding, too: each key frame tried there is
// decoded twice, and this movie's 1,499 of 8192x8192 pictures, built over what the frames
// before left, take a minute. The signal comes once the cut is said, as that search begins.
TEST(StopSignal, AThumbnailStopsWhileItLooksForWhereToStartDecoding) {
  const auto conformance = ReadFileBytes(ConformancePath("mixed-136x96-mono-33-key4"));
  // Frame 0, then copies of the key frame at 4, which copies from what frame 0 left.
  const std::size_t key = 36068, key_end = 47720;
  ASSERT_EQ(conformance[key + 8], 'I');
  std::vector<unsigned char> movie(conformance.begin(), conformance.begin() + key);
  movie[8] = movie[10] = 0x00;  // 8192 wide and high
  movie[9] = movie[11] = 0x20;
  constexpr int kFrames = 1500;
  movie[16] = kFrames & 0xFF;
  movie[17] = kFrames >> 8;
  for (int i = 1; i < kFrames; ++i)
    movie.insert(movie.end(), conformance.begin() + key, conformance.begin() + key_end);
  const std::string folder = EmptyFolder("thumbnail-stopped");
  test::WriteFileBytes(folder + "keys.kqm", test::CutInsideFrame(movie, kFrames - 1));
  test::ProcessOptions terminate;
  terminate.signal = SIGTERM;
  terminate.signal_when = "the thumbnail is chosen among the frames before";
  terminate.cpu_limit_seconds = 15;  // the search to its end ends by SIGXCPU
  const auto r =
      test::RunKqmProcess({"thumbnail", folder + "keys.kqm", folder + "keys.png"}, terminate);
  EXPECT_EQ(r.status, 143) << r.err;
  EXPECT_NE(
      r.err.find("\nkqm thumbnail: " + folder + "keys.png: stopped by SIGTERM: nothing written\n"),
      std::string::npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(folder + "keys.png"));
}

// bench counts the pictures it decodes: frames without one were counted as decoded, so that a
// movie of none was measured at two million pictures per second.
TEST(KqmBench, CountsOnlyThePicturesItDecodes) {
  test::MovieLayout layout = test::SilentMovie(4);
  layout.frames[2].chunks[0].tag = "ZZ";
  const test::TempMovie some(layout);
  auto r = test::RunKqm(tools::Cmd_Bench, "bench", {some.path(), "--passes", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("Pictures: 16x16, 6 decoded in ", 0), 0u) << r.out;
  for (auto& frame : layout.frames) frame.chunks[0].tag = "ZZ";
  const test::TempMovie none(layout);
  r = test::RunKqm(tools::Cmd_Bench, "bench", {none.path(), "--passes", "2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string("kqm bench: ") + none.path() +
                       ": none of its 4 frames has a picture chunk\n");
  EXPECT_EQ(r.out, "");
}

TEST(KqmExport, StopsWherePlaybackStopsAtAFrameWithoutAPicture) {
  test::MovieLayout layout = test::SilentMovie(6);
  layout.frames[3].chunks[0].tag = "ZZ";
  const test::TempMovie movie(layout);
  const std::string played = ::testing::TempDir() + "played.rgb";
  const std::string exported = ::testing::TempDir() + "exported.rgb";
  const auto play = test::RunKqm(tools::Cmd_Play, "play",
                                 {movie.path(), "--device", "capture", "--video-out", played});
  EXPECT_EQ(play.status, 1);
  const auto r = test::RunKqm(tools::Cmd_Export, "export", {movie.path(), "--video", exported});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("frame 3: no picture chunk"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(exported).size(), 3u * 16 * 16 * 2);
  EXPECT_EQ(ReadFileBytes(exported), ReadFileBytes(played));
}

}  // namespace
}  // namespace tarvel
