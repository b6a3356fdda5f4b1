// `kqm encode` and `kqm demo` run in-process: size fitting, frame-rate rounding, resampling of
// the sound, and the exit status on bad input.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "tools/commands.h"

namespace tarvel {
namespace {

int RunCommand(int (*command)(int, char**), std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return command(static_cast<int>(args.size()), argv.data());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::string Le32(std::uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
          static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

TEST(EncodeCommand, PadsTheSizeRoundsTheRateAndResamplesTheSound) {
  const std::string dir = testing::TempDir();
  const std::string video = dir + "encode_command.y4m", audio = dir + "encode_command.wav",
                    movie = dir + "encode_command.kqm";
  // Three 20x12 pictures in 4:2:0 at 15 frames per second.
  std::string y4m = "YUV4MPEG2 W20 H12 F15:1 C420jpeg\n";
  for (int i = 0; i < 3; ++i)
    y4m += "FRAME\n" + std::string(20 * 12, static_cast<char>(60 + 40 * i)) +
           std::string(2 * 10 * 6, static_cast<char>(128));
  WriteFile(video, y4m);
  // Half a second of 44,100 Hz mono silence.
  const std::string data(44100, '\0');
  const std::string fmt = "fmt " + Le32(16) + std::string("\x01\x00\x01\x00", 4) + Le32(44100) +
                          Le32(88200) + std::string("\x02\x00\x10\x00", 4);
  const std::string body =
      "WAVE" + fmt + "data" + Le32(static_cast<std::uint32_t>(data.size())) + data;
  WriteFile(audio, "RIFF" + Le32(static_cast<std::uint32_t>(body.size())) + body);

  ASSERT_EQ(0, RunCommand(tools::Cmd_Encode,
                          {"kqm encode", "--video", video, "--audio", audio, "-o", movie, "-q"}));
  MovieReader reader;
  std::string error;
  ASSERT_TRUE(MovieReader_Open(reader, movie, &error)) << error;
  EXPECT_EQ(24, reader.header.width);  // padded up to multiples of 8
  EXPECT_EQ(16, reader.header.height);
  EXPECT_EQ(3, reader.header.frame_count);
  EXPECT_EQ(13, reader.header.frame_duration);  // 200 / 15 = 13.3
  EXPECT_TRUE(reader.header.sound);
  std::vector<std::uint8_t> chunks;
  ASSERT_EQ(FrameRead::kOk, MovieReader_Next(reader, chunks));
  std::int32_t length = 0;
  const std::uint8_t* aa =
      Frame_FindChunk({chunks.data(), static_cast<std::uint32_t>(chunks.size())}, "AA", &length);
  ASSERT_NE(nullptr, aa);
  // 44,100 Hz does not give whole bytes per 65 ms period in mono; 44,000 Hz gives 2,860 samples.
  EXPECT_EQ(44000u, ReadLe32(aa + 16));
  EXPECT_EQ(32 + 32 * 1430, length);
  MovieReader_Close(reader);

  // Cropping instead of padding.
  ASSERT_EQ(0, RunCommand(tools::Cmd_Encode, {"kqm encode", "--video", video, "-o", movie, "--crop",
                                              "-q", "--fps", "25"}));
  ASSERT_TRUE(MovieReader_Open(reader, movie, &error)) << error;
  EXPECT_EQ(16, reader.header.width);
  EXPECT_EQ(8, reader.header.height);
  EXPECT_FALSE(reader.header.sound);
  EXPECT_EQ(8, reader.header.frame_duration);
  MovieReader_Close(reader);
  std::remove(video.c_str());
  std::remove(audio.c_str());
  std::remove(movie.c_str());
}

TEST(EncodeCommand, BadInputFailsWithAStatus) {
  const std::string dir = testing::TempDir();
  EXPECT_EQ(1, RunCommand(tools::Cmd_Encode, {"kqm encode", "--video", dir + "missing.y4m", "-o",
                                              dir + "never.kqm", "-q"}));
  const std::string truncated = dir + "truncated.y4m";
  WriteFile(truncated, "YUV4MPEG2 W8 H8 C444\nFRAME\nabc");
  EXPECT_EQ(1, RunCommand(tools::Cmd_Encode,
                          {"kqm encode", "--video", truncated, "-o", dir + "never.kqm", "-q"}));
  EXPECT_EQ(2, RunCommand(tools::Cmd_Encode, {"kqm encode", "--video", truncated, "-o",
                                              dir + "never.kqm", "--size", "10x10"}));
  EXPECT_NE(0, RunCommand(tools::Cmd_Encode, {"kqm encode", "--video", truncated, "-o",
                                              dir + "never.kqm", "--quality", "101"}));
  for (const char* size : {"100x7", "64x48junk", "64x48x8"})
    EXPECT_EQ(2, RunCommand(tools::Cmd_Demo, {"kqm demo", "-o", dir + "never.kqm", "--size", size}))
        << size;
  std::remove(truncated.c_str());
  std::remove((dir + "never.kqm").c_str());
}

TEST(DemoCommand, WritesAPlayableMovieOfTheAskedLength) {
  const std::string movie = testing::TempDir() + "demo_command.kqm";
  ASSERT_EQ(0, RunCommand(tools::Cmd_Demo,
                          {"kqm demo", "-o", movie, "--size", "64x48", "--seconds", "0.4", "-q"}));
  MovieReader reader;
  std::string error;
  ASSERT_TRUE(MovieReader_Open(reader, movie, &error)) << error;
  EXPECT_EQ(64, reader.header.width);
  EXPECT_EQ(48, reader.header.height);
  EXPECT_EQ(10, reader.header.frame_count);
  EXPECT_TRUE(reader.header.sound);
  MovieReader_Close(reader);
  std::remove(movie.c_str());
}

}  // namespace
}  // namespace tarvel
