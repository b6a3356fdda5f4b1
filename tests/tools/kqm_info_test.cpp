#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "kqm_run.h"
#include "tools/commands.h"
#include "tools/tool_common.h"

namespace tarvel {
namespace {

using test::ConformancePath;
using test::RunKqm;
using tools::Cmd_Info;

TEST(KqmInfo, ReportsHeaderWalkAndSoundStream) {
  // copy-320x240-stereo: 320x240, 8 frames, stereo sound, frame duration 16 (12.5 per second).
  auto r = RunKqm(Cmd_Info, "info", {ConformancePath("copy-320x240-stereo"), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* fact :
       {"\"width\":320", "\"height\":240", "\"frame_count\":8", "\"frame_duration\":16",
        "\"frame_rate\":12.5", "\"sound\":true", "\"frames_present\":8", "\"stereo\":true",
        "\"duration_seconds\":0.64", "\"problem\":null"}) {
    EXPECT_NE(r.out.find(fact), std::string::npos) << fact << " in " << r.out;
  }

  // Frames 2 and 5 each hold a chunk tagged with two spaces, which the text writes as it writes
  // any tag it cannot show, so that the words of a line still pair up as tag and count.
  r = RunKqm(Cmd_Info, "info", {ConformancePath("copy-320x240-stereo"), "--frames"});
  EXPECT_NE(r.out.find("\nChunks:          \\x20\\x20 2 AA "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  \\x20\\x20 ZZ BB XX IX\n"), std::string::npos) << r.out;

  // A sound stream the player refuses (its ADQ header zeroed; frame 0's sound chunk follows a
  // picture chunk of 3,750 bytes) has the fields of one it plays, its facts null.
  auto zeroed = test::ReadFileBytes(ConformancePath("mixed-160x120-mono"));
  std::fill(zeroed.begin() + 3828, zeroed.begin() + 3832, 0);
  const std::string refused = ::testing::TempDir() + "info-refused.kqm";
  test::WriteFileBytes(refused, zeroed);
  for (const std::string& movie : {ConformancePath("mixed-160x120-mono"), refused}) {
    r = RunKqm(Cmd_Info, "info", {movie, "--json"});
    const std::string sound = r.out.substr(r.out.find("\"sound_stream\":{"));
    for (const char* field :
         {"frequency", "stereo", "sample_count", "duration_seconds", "adpcm_bytes_per_period",
          "pcm_bytes_per_period", "samples_per_period", "length_versus_pictures", "error",
          "error_code"})
      EXPECT_NE(sound.find("\"" + std::string(field) + "\":"), std::string::npos) << field << sound;
  }
  EXPECT_NE(r.out.find("{\"frequency\":null,\"stereo\":null,"), std::string::npos) << r.out;
  // A rate no sound device plays: the facts, and why the movie plays silent.
  zeroed = test::ReadFileBytes(ConformancePath("mixed-160x120-mono"));
  std::fill(zeroed.begin() + 3844, zeroed.begin() + 3848, 0);  // the stream's rate
  test::WriteFileBytes(refused, zeroed);
  r = RunKqm(Cmd_Info, "info", {refused, "--json"});
  EXPECT_NE(r.out.find("{\"frequency\":0,\"stereo\":false,\"sample_count\":34400,"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(",\"error\":\"no sound device plays 0 Hz sound (they take 1 to 384000 "
                       "Hz)\",\"error_code\":null}"),
            std::string::npos)
      << r.out;
  r = RunKqm(Cmd_Info, "info", {refused});
  EXPECT_NE(r.out.find("\nSound stream:    0 Hz, mono: no sound device plays 0 Hz sound (they "
                       "take 1 to 384000 Hz): plays silent\n"),
            std::string::npos)
      << r.out;

  // The sound's length as exactly as the pictures': 49,245 samples at 11,025 Hz are 67/15 s.
  r = RunKqm(Cmd_Info, "info", {ConformancePath("mixed-256x128-stereo-36"), "--json"});
  EXPECT_NE(r.out.find("\"sample_count\":49245,\"duration_seconds\":4.466666666666667,"),
            std::string::npos)
      << r.out;

  // 33 frames of the longest frame duration, 65535/200 s: 10813.275 s, every digit of it.
  auto bytes = test::ReadFileBytes(ConformancePath("mixed-136x96-mono-33-key4"));
  bytes[24] = bytes[25] = 0xFF;
  const std::string slow = ::testing::TempDir() + "info-slow.kqm";
  test::WriteFileBytes(slow, bytes);
  r = RunKqm(Cmd_Info, "info", {slow, "--json"});
  EXPECT_NE(r.out.find("\"duration_seconds\":10813.275,"), std::string::npos) << r.out;
  // One frame a second (a slide show, a time-lapse) is one frame per second, not "1 frames".
  bytes[24] = 200;
  bytes[25] = 0;
  test::WriteFileBytes(slow, bytes);
  r = RunKqm(Cmd_Info, "info", {slow});
  EXPECT_NE(r.out.find("Frame duration:  200/200 s (1 frame per second)\n"), std::string::npos)
      << r.out;

  // Frame 8's chunk list ends in 2 bytes that no chunk fits; playback skips them and plays the
  // whole movie, so they are a note and the movie is fine.
  r = RunKqm(Cmd_Info, "info", {ConformancePath("mixed-136x96-mono-33-key4")});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("frame 8: a chunk's size runs past the end of its frame (2 bytes"),
            std::string::npos)
      << r.err;

  r = RunKqm(Cmd_Info, "info", {ConformancePath("key-dct-128x96")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Picture:         128x96"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Sound:           no"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Sound stream"), std::string::npos) << r.out;
  // A script reads the same fields from every movie: one without sound has no sound stream.
  r = RunKqm(Cmd_Info, "info", {ConformancePath("key-dct-128x96"), "--json"});
  EXPECT_NE(r.out.find("\"sound\":false,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(",\"sound_stream\":null,"), std::string::npos) << r.out;
}

TEST(KqmInfo, JsonIsValidUtf8WhateverBytesTheFileNameHolds) {
  // A stray byte, a whole two-byte letter, and a three-byte sequence cut after two bytes (both
  // of its bytes are then strays).
  const std::string name = ::testing::TempDir() +
                           "bad\xff"
                           "caf\xc3\xa9-\xe2\x82.kqm";
  test::WriteFileBytes(name, test::ReadFileBytes(ConformancePath("key-dct-128x96")));
  const auto r = RunKqm(Cmd_Info, "info", {name, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("bad\\ufffdcaf\xc3\xa9-\\ufffd\\ufffd.kqm\""), std::string::npos) << r.out;
  // A C1 control, which a terminal takes for the start of a command, is escaped as in messages.
  const std::string c1 = ::testing::TempDir() +
                         "csi\xc2\x9b"
                         "2J.kqm";
  test::WriteFileBytes(c1, test::ReadFileBytes(ConformancePath("key-dct-128x96")));
  EXPECT_NE(RunKqm(Cmd_Info, "info", {c1, "--json"}).out.find("csi\\u009b2J.kqm\""),
            std::string::npos);

  // A line feed in the name stays within the File line of the report, as in messages.
  const std::string fed = ::testing::TempDir() + "one\nPicture: 8x8.kqm";
  test::WriteFileBytes(fed, test::ReadFileBytes(ConformancePath("key-dct-128x96")));
  const auto report = RunKqm(Cmd_Info, "info", {fed});
  EXPECT_EQ(report.out.find("\nPicture: 8x8"), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("one\\x0APicture: 8x8.kqm\n"), std::string::npos) << report.out;
}

TEST(KqmInfo, FramesListsEveryFrameWhereTheFileHasIt) {
  const std::string movie = ConformancePath("mixed-136x96-mono-33-key4");
  const auto bytes = test::ReadFileBytes(movie);
  auto r = RunKqm(Cmd_Info, "info", {movie, "--frames", "--json"});
  std::size_t offset = 64;
  for (int index = 0; index < 33; ++index) {
    const std::size_t size = bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16);
    const std::string row = "{\"index\":" + std::to_string(index) +
                            ",\"offset\":" + std::to_string(offset) +
                            ",\"size\":" + std::to_string(size) + ",";
    EXPECT_NE(r.out.find(row), std::string::npos) << row;
    offset += size;
  }
  // A key frame in four, as the summary counts them.
  EXPECT_NE(r.out.find("\"key_frames\":9,"), std::string::npos) << r.out;
  std::size_t keys = 0;
  for (auto at = r.out.find("\"type\":\"key\""); at != std::string::npos;
       at = r.out.find("\"type\":\"key\"", at + 1))
    ++keys;
  EXPECT_EQ(keys, 9u);

  r = RunKqm(Cmd_Info, "info", {movie, "--frames"});
  EXPECT_NE(r.out.find("      0           64 "), std::string::npos) << r.out;
}

#if !defined(__SANITIZE_ADDRESS__)  // whose shadow memory no address-space limit leaves room for
// A frame of millions of empty chunks is listed without holding every chunk's tag: 2 frames of
// 2^20 8-byte chunks (16 MB) made 'kqm info --frames' abort with the C++ runtime's message under
// a limit of 128 MiB (a 1 GB file took 5 GB), where the rows take a frame's room at most.
TEST(KqmInfo, FramesListsAMillionChunksInTheRoomOfOneFrame) {
  auto bytes = test::ReadFileBytes(ConformancePath("key-dct-128x96"));
  bytes.resize(64);
  bytes[16] = 2;  // frames
  constexpr std::size_t kChunks = std::size_t{1} << 20;
  const unsigned char chunk[8] = {8, 0, 0, 0, 'Z', 'Z', 0, 0};
  for (int frame = 0; frame < 2; ++frame) {
    const std::size_t size = 4 + 8 * kChunks;
    bytes.insert(bytes.end(),
                 {static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
                  static_cast<unsigned char>(size >> 16), 0});
    for (std::size_t i = 0; i < kChunks; ++i) bytes.insert(bytes.end(), chunk, chunk + 8);
  }
  const std::string movie = ::testing::TempDir() + "info-many-chunks.kqm";
  test::WriteFileBytes(movie, bytes);
  test::ProcessOptions small;
  small.memory_limit = 128ul << 20;
  for (const bool json : {false, true}) {
    const auto r = json ? test::RunKqmProcess({"info", movie, "--frames", "--json"}, small)
                        : test::RunKqmProcess({"info", movie, "--frames"}, small);
    EXPECT_EQ(r.status, 1);  // frame 0 has no picture
    EXPECT_EQ(r.err, "kqm info: " + movie + ": frame 0: no picture chunk; playback stops there\n");
    // Frame 1 after frame 0's word and chunks: 64 + 4 + 8 * 2^20.
    EXPECT_NE(r.out.find(json ? "{\"index\":1,\"offset\":8388676," : "      1      8388676 "),
              std::string::npos)
        << r.out.substr(0, 200);
    // Every chunk of both frames, and the summary's count of them; not the movie's name, whose
    // folder has a random name that may hold the two letters too.
    std::string listed = r.out;
    for (auto at = listed.find(movie); at != std::string::npos; at = listed.find(movie, at))
      listed.erase(at, movie.size());
    std::size_t tags = 0;
    for (auto at = listed.find("ZZ"); at != std::string::npos; at = listed.find("ZZ", at + 2))
      ++tags;
    EXPECT_EQ(tags, 2 * kChunks + 1) << json;
    EXPECT_EQ(r.out.back(), '\n');
  }
  std::filesystem::remove(movie);
}
#endif

// The bytes this process has read through the system so far.
std::int64_t BytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::int64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

// Frames after the header's count are never played: they are counted by their words alone. A
// movie followed by 16 frames of 16 MB of zeros (holes in the file: a 64 GB file of this kind
// takes 16 MB of disk) was read whole, minutes of reading for nothing.
TEST(KqmInfo, FramesAfterTheHeadersCountAreCountedWithoutBeingRead) {
  const auto movie = test::ReadFileBytes(ConformancePath("key-dct-128x96"));
  const std::string padded = ::testing::TempDir() + "info-padded.kqm";
  test::WriteFileBytes(padded, movie);
  constexpr long kFrame = 0xFFFFF0;
  std::filesystem::resize_file(padded, movie.size() + 16 * kFrame);
  {
    std::fstream file(padded, std::ios::in | std::ios::out | std::ios::binary);
    const char word[4] = {'\xF0', '\xFF', '\xFF', 0};
    for (long i = 0; i < 16; ++i)
      file.seekp(static_cast<long>(movie.size()) + i * kFrame).write(word, sizeof word);
  }
  const std::int64_t before = BytesRead();
  ASSERT_GE(before, 0);
  const auto r = RunKqm(Cmd_Info, "info", {padded, "--json"});
  const std::int64_t read = BytesRead() - before;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"extra_frames\":16,"), std::string::npos) << r.out;
  EXPECT_LT(read, 1 << 20);  // the movie's 20 KB, not the 256 MB after it
  std::filesystem::remove(padded);
}

// kqm runs every command so: what could not be written to standard output is a failure.
int InfoThroughMain(int argc, char** argv) {
  return tools::FinishStandardOutput("kqm info", Cmd_Info(argc, argv));
}

// A full disk under `kqm info --json movie > facts.json` (here a file size limit of 100 bytes) is
// an error, not a success with half the facts.
TEST(KqmInfo, StandardOutputThatCannotBeWrittenIsAFailure) {
  test::KqmResult r;
  {
    test::FileSizeLimit limit(100);
    r = RunKqm(InfoThroughMain, "info", {ConformancePath("key-dct-128x96"), "--json"});
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("kqm info: standard output: write failed", 0), 0u) << r.err;
}

TEST(KqmInfo, TruncatedAndUnplayableMoviesFailAfterSayingWhy) {
  auto bytes = test::ReadFileBytes(ConformancePath("skip-128x64-mono-40"));
  bytes.resize(bytes.size() - 10);
  const std::string cut = ::testing::TempDir() + "info-cut.kqm";
  test::WriteFileBytes(cut, bytes);
  auto r = RunKqm(Cmd_Info, "info", {cut});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("frame 39: the file ends inside the frame"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Frames present:  39"), std::string::npos) << r.out;

  bytes = test::ReadFileBytes(ConformancePath("skip-128x64-mono-40"));
  bytes[10] = 0;  // height 0
  bytes[11] = 0;
  test::WriteFileBytes(cut, bytes);
  r = RunKqm(Cmd_Info, "info", {cut});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("128x0 cannot be played"), std::string::npos) << r.err;
  bytes[8] = bytes[10] = 0xF8;  // 65528x65528: 16 GB for the two pictures
  bytes[9] = bytes[11] = 0xFF;
  test::WriteFileBytes(cut, bytes);
  r = RunKqm(Cmd_Info, "info", {cut, "--json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"picture_size_supported\":false"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"problem\":\"picture size 65528x65528 is too large"), std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("65528x65528 is too large"), std::string::npos) << r.err;

  // Bytes after the header's 40 frames that are no frame: the movie plays whole, so a note.
  bytes = test::ReadFileBytes(ConformancePath("skip-128x64-mono-40"));
  bytes.insert(bytes.end(), {1, 2, 3, 4, 5});
  test::WriteFileBytes(cut, bytes);
  r = RunKqm(Cmd_Info, "info", {cut, "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "kqm info: " + cut +
                       ": 5 bytes after the header's 40 frames are not a whole frame (the file "
                       "ends inside the frame); playback never reads them\n");
  EXPECT_NE(r.out.find("\"trailing_bytes\":5,\"problem\":null"), std::string::npos) << r.out;

  // Frame 1's picture chunk (after its sound chunk) renamed: playback stops there, which is a
  // problem.
  bytes = test::ReadFileBytes(ConformancePath("skip-128x64-mono-40"));
  const std::size_t frame1 = 64 + (bytes[64] | bytes[65] << 8 | bytes[66] << 16);
  const std::size_t picture =
      frame1 + 4 + ((bytes[frame1 + 4] | bytes[frame1 + 5] << 8) + 3) / 4 * 4;
  ASSERT_EQ(std::string(bytes.begin() + picture + 4, bytes.begin() + picture + 6), "IX");
  bytes[picture + 4] = 'Z';
  test::WriteFileBytes(cut, bytes);
  r = RunKqm(Cmd_Info, "info", {cut, "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm info: " + cut + ": frame 1: no picture chunk; playback stops there\n");
  EXPECT_NE(r.out.find("\nNo picture:      1 frame\n"), std::string::npos) << r.out;
  // The JSON names what makes info fail, here as where the data ends at a frame's boundary.
  r = RunKqm(Cmd_Info, "info", {cut, "--json"});
  EXPECT_NE(r.out.find("\"problem\":\"frame 1: no picture chunk; playback stops there\"}"),
            std::string::npos)
      << r.out;
  bytes.resize(frame1);
  test::WriteFileBytes(cut, bytes);
  r = RunKqm(Cmd_Info, "info", {cut, "--json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"problem\":\"the movie data ends after 1 of 40 frames\"}"),
            std::string::npos)
      << r.out;

  // A header that counts no frames: every player refuses the movie, whatever frames follow.
  bytes = test::ReadFileBytes(ConformancePath("skip-128x64-mono-40"));
  bytes[16] = bytes[17] = 0;
  test::WriteFileBytes(cut, bytes);
  r = RunKqm(Cmd_Info, "info", {cut, "--json", "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"problem\":\"the movie has no frames"), std::string::npos) << r.out;
  EXPECT_EQ(r.err,
            "kqm info: " + cut + ": the movie has no frames (its header's frame count is 0)\n");

  std::vector<unsigned char> tiny(10, 0);
  test::WriteFileBytes(cut, tiny);
  r = RunKqm(Cmd_Info, "info", {cut});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("shorter than the 64-byte header"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tarvel

namespace tarvel {
namespace {

TEST(KqmBench, MeasuresPicturesAndSound) {
  auto r = test::RunKqm(tools::Cmd_Bench, "bench",
                        {test::ConformancePath("mixed-160x120-mono"), "--seconds", "0.05"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Pictures: 160x120"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Sound:    8000 Hz mono"), std::string::npos) << r.out;
  EXPECT_EQ(test::RunKqm(tools::Cmd_Bench, "bench", {"/nonexistent.kqm"}).status, 1);
  // --passes decodes the sound exactly N times too, as instruction counts need (it decoded for
  // the default 2 seconds): a pass is 32 periods of 800 samples at frame 0 and one each for the
  // other 11 frames, 34,400 samples, the whole stream.
  r = test::RunKqm(tools::Cmd_Bench, "bench",
                   {test::ConformancePath("mixed-160x120-mono"), "--passes", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Pictures: 160x120, 36 decoded in "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Sound:    8000 Hz mono, 103200 samples decoded in "), std::string::npos)
      << r.out;
  // --seek measures something else: the options of the decoding measurement do not go with it.
  EXPECT_EQ(test::RunKqm(tools::Cmd_Bench, "bench",
                         {test::ConformancePath("mixed-160x120-mono"), "--seek", "--passes", "1"})
                .status,
            2);
  r = test::RunKqm(tools::Cmd_Bench, "bench",
                   {test::ConformancePath("mixed-136x96-mono-33-key4"), "--seek", "20"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Seek:     20 random frames of 33 (136x96, sound): median "),
            std::string::npos)
      << r.out;
  // A --seek without a count leaves the word after it alone, an option following or not: the
  // movie's name was read as the count ("not a whole number", status 2).
  r = test::RunKqm(tools::Cmd_Bench, "bench",
                   {"--seek", test::ConformancePath("mixed-136x96-mono-33-key4"), "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(0u, r.out.rfind("Seek:     200 random frames of 33 (136x96, sound): median ", 0))
      << r.out;

  // A movie whose sound stream is refused (its ADQ header zeroed; frame 0's sound chunk follows
  // a picture chunk of 3,750 bytes) plays, and is sought, without sound.
  auto bytes = test::ReadFileBytes(test::ConformancePath("mixed-160x120-mono"));
  std::fill(bytes.begin() + 3828, bytes.begin() + 3832, 0);
  const std::string refused = ::testing::TempDir() + "bench-refused.kqm";
  test::WriteFileBytes(refused, bytes);
  r = test::RunKqm(tools::Cmd_Bench, "bench", {refused, "--seek", "5"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "kqm bench: " + refused +
                       ": the sound stream is not valid ADQ sound; seeking without sound\n");
  EXPECT_NE(r.out.find("Seek:     5 random frames of 12 (160x120): median "), std::string::npos)
      << r.out;
  // A stream of 0 Hz, which no sound device plays (its rate follows the 12-byte tag and the
  // sample count): the player plays the movie silent, so its sound is not measured (it was, at
  // "infx real time") and the movie is sought without it (it failed, status 1).
  bytes = test::ReadFileBytes(test::ConformancePath("mixed-160x120-mono"));
  std::fill(bytes.begin() + 3844, bytes.begin() + 3848, 0);
  test::WriteFileBytes(refused, bytes);
  r = test::RunKqm(tools::Cmd_Bench, "bench", {refused, "--passes", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nSound:    none that plays: no sound device plays 0 Hz sound (they take 1 "
                       "to 384000 Hz)\n"),
            std::string::npos)
      << r.out;
  r = test::RunKqm(tools::Cmd_Bench, "bench", {refused, "--seek", "5"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "kqm bench: " + refused +
                       ": the sound device could not be opened: unsupported sound format; "
                       "seeking without sound\n");
  EXPECT_NE(r.out.find("Seek:     5 random frames of 12 (160x120): median "), std::string::npos)
      << r.out;

  // A movie cut short is sought among the frames it has, as the player seeks it, and says why
  // the others cannot be; one without a whole frame cannot be sought at all.
  const std::string cut = ::testing::TempDir() + "bench-cut.kqm";
  const auto whole = test::ReadFileBytes(test::ConformancePath("mixed-136x96-mono-33-key4"));
  test::WriteFileBytes(cut, test::CutInsideFrame(whole, 20));
  r = test::RunKqm(tools::Cmd_Bench, "bench", {cut, "--seek", "5"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "kqm bench: " + cut +
                       ": frame 20: the file ends inside the frame; seeking among the frames "
                       "before\n");
  EXPECT_NE(r.out.find("Seek:     5 random frames of 20 (136x96, sound): median "),
            std::string::npos)
      << r.out;
  test::WriteFileBytes(cut, test::CutInsideFrame(whole, 0));
  r = test::RunKqm(tools::Cmd_Bench, "bench", {cut, "--seek", "5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm bench: " + cut +
                       ": the movie cannot be sought: 0 of its frames can be read (frame 0: the "
                       "file ends inside the frame)\n");
  // Cut where frame 20 would start, the decoding measurement says so as the other commands do
  // (it said "frame 20: end of the movie data").
  auto at_frame = test::CutInsideFrame(whole, 20);
  at_frame.resize(at_frame.size() - 10);
  test::WriteFileBytes(cut, at_frame);
  r = test::RunKqm(tools::Cmd_Bench, "bench", {cut, "--passes", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm bench: " + cut + ": the movie data ends after 20 of 33 frames\n");

#if !defined(__SANITIZE_ADDRESS__)  // whose shadow memory no address-space limit leaves room for
  // A movie longer than memory can hold (bench reads its frames in first) is said to be so; kqm
  // aborted with the C++ runtime's message. Here 12 frames of 16 MiB of zeros, holes in the file,
  // under a limit of 128 MiB.
  const std::string big = ::testing::TempDir() + "bench-big.kqm";
  bytes = test::ReadFileBytes(test::ConformancePath("key-dct-128x96"));
  bytes.resize(64);
  bytes[16] = 12;  // frames
  test::WriteFileBytes(big, bytes);
  constexpr long kFrame = 0xFFFFF0;
  std::filesystem::resize_file(big, 64 + 12 * kFrame);
  {
    std::fstream file(big, std::ios::in | std::ios::out | std::ios::binary);
    const char head[12] = {'\xF0', '\xFF', '\xFF', 0, '\xEC', '\xFF', '\xFF', 0, 'Z', 'Z', 0, 0};
    for (long i = 0; i < 12; ++i) file.seekp(64 + i * kFrame).write(head, sizeof head);
  }
  test::ProcessOptions small;
  small.memory_limit = 128ul << 20;
  const auto held = test::RunKqmProcess({"bench", big}, small);
  EXPECT_EQ(held.status, 1);
  EXPECT_NE(held.err.find("kqm bench: " + big +
                          ": not enough memory to hold its frames (ran out at frame "),
            std::string::npos)
      << held.err;
#endif
}

}  // namespace
}  // namespace tarvel
