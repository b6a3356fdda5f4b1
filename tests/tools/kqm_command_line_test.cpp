// What every subcommand shares: usage errors exit 2 with the command's name, and -q/-v.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "kqm_run.h"
#include "tools/commands.h"
#include "tools/tool_common.h"

namespace tarvel {
namespace {

TEST(KqmCommandLine, UsageErrorsExitTwoNamingTheCommandAndEveryCommandTakesQuietAndVerbose) {
  for (const tools::Command& command : tools::kCommands) {
    const std::string name = command.name;
    const auto wrong = test::RunKqm(command.run, name, {"--no-such-option"});
    EXPECT_EQ(2, wrong.status) << name;
    EXPECT_EQ(0u, wrong.err.rfind("kqm " + name + ": ", 0)) << wrong.err;
    EXPECT_EQ(1, std::count(wrong.err.begin(), wrong.err.end(), '\n')) << wrong.err;
    const auto help = test::RunKqm(command.run, name, {"--help"});
    EXPECT_EQ(0, help.status) << name;
    EXPECT_NE(std::string::npos, help.out.find("--quiet")) << name;
    EXPECT_NE(std::string::npos, help.out.find("--verbose")) << name;
  }
  // "kqm help export" is export's help (it was the list of commands).
  const auto help_export = test::RunKqmProcess({"help", "export"});
  EXPECT_EQ(0, help_export.status);
  EXPECT_EQ(test::RunKqm(tools::Cmd_Export, "export", {"--help"}).out, help_export.out);
  // A movie whose name starts with '-' is an option no command has, and said to be one: the
  // word was dropped and the user told that MOVIE (or thumbnail's OUT) is missing.
  for (const auto& dash :
       {test::RunKqm(tools::Cmd_Info, "info", {"-clip.kqm", "--json"}),
        test::RunKqm(tools::Cmd_Thumbnail, "thumbnail", {"-clip.kqm", "t.png"})}) {
    EXPECT_EQ(2, dash.status) << dash.err;
    EXPECT_NE(std::string::npos,
              dash.err.find(": The following argument was not expected: -clip.kqm; a file whose "
                            "name starts with '-' goes after '--' (see 'kqm "))
        << dash.err;
  }
  // A name without a dash where an option is wanted is the option missing, and said so.
  const auto bare = test::RunKqm(tools::Cmd_Demo, "demo", {"out.kqm"});
  EXPECT_EQ(2, bare.status);
  EXPECT_NE(std::string::npos, bare.err.find(" is required (see 'kqm demo --help')")) << bare.err;
  // An empty name (a script's unset variable) is refused, not taken as no output or no archive.
  const std::string movie = test::ConformancePath("key-dct-128x96");
  for (const auto& r :
       {test::RunKqm(tools::Cmd_Info, "info", {""}),
        test::RunKqm(tools::Cmd_Export, "export", {movie, "--video", "", "--audio", "empty.raw"}),
        test::RunKqm(tools::Cmd_Play, "play", {movie, "--package", ""})}) {
    EXPECT_EQ(2, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" is empty (see ")) << r.err;
  }
  // Nor is an unset variable before another option taken for a file named as that option: the
  // demo went into a file "--no-sound", with status 0.
  const auto unset = test::RunKqm(tools::Cmd_Demo, "demo",
                                  {"-o", "--no-sound", "--size", "8x8", "--seconds", "0.04"});
  EXPECT_EQ(2, unset.status) << unset.err;
  EXPECT_EQ(
      "kqm demo: -o is followed by the option --no-sound, not by its value (a file of that name "
      "is ./--no-sound) (see 'kqm demo --help')\n",
      unset.err);
  // Standard input cannot be read at any offset: '-' is no movie (it was "no such file").
  for (const tools::Command& command : tools::kCommands) {
    if (std::string(command.name) == "encode" || std::string(command.name) == "demo") continue;
    const auto r = std::string(command.name) == "thumbnail"
                       ? test::RunKqm(command.run, command.name, {"-", "out.png"})
                       : test::RunKqm(command.run, command.name, {"-"});
    EXPECT_EQ(2, r.status) << command.name << ": " << r.err;
    EXPECT_NE(std::string::npos, r.err.find(": MOVIE is '-', but movies are read from files"))
        << r.err;
  }
  // NaN is no number in any range (bench ran for ever with it, the others ignored it or made
  // a movie of one frame).
  for (const auto& r :
       {test::RunKqm(tools::Cmd_Demo, "demo",
                     {"-o", ::testing::TempDir() + "nan.kqm", "--seconds", "nan"}),
        test::RunKqm(tools::Cmd_Bench, "bench", {movie, "--seconds", "NaN"}),
        test::RunKqm(tools::Cmd_Encode, "encode", {"--video", "no.y4m", "-o", "x", "--fps", "nan"}),
        test::RunKqm(tools::Cmd_Play, "play", {movie, "--rate", "-nan", "--realtime"})}) {
    EXPECT_EQ(2, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" is not a number")) << r.err;
  }
  // An option given twice is named as such.
  EXPECT_EQ(
      "kqm export: --video is given more than once (see 'kqm export --help')\n",
      test::RunKqm(tools::Cmd_Export, "export", {movie, "--video", "a.rgb", "--video", "b.rgb"})
          .err);
  // Options that stand for one another are refused together, not one of them left unused.
  const auto both =
      test::RunKqm(tools::Cmd_Bench, "bench", {movie, "--seconds", "1", "--passes", "2"});
  EXPECT_EQ(2, both.status) << both.err;
  EXPECT_EQ(0u, both.err.rfind("kqm bench: --seconds excludes --passes", 0)) << both.err;
  // An option about an output not asked for is refused rather than left unused.
  const auto no_sound = test::RunKqm(tools::Cmd_Export, "export",
                                     {movie, "--video", "v.rgb", "--audio-length", "pictures"});
  EXPECT_EQ(2, no_sound.status) << no_sound.err;
  EXPECT_EQ(0u, no_sound.err.rfind("kqm export: --audio-length requires --audio", 0))
      << no_sound.err;
  // Play's pictures are raw pixels whatever the name: a y4m name got them with status 0, a file
  // no y4m reader takes.
  const std::string y4m = ::testing::TempDir() + "play-pictures.y4m";
  const auto raw_as_y4m =
      test::RunKqm(tools::Cmd_Play, "play", {movie, "--device", "capture", "--video-out", y4m});
  EXPECT_EQ(2, raw_as_y4m.status) << raw_as_y4m.err;
  EXPECT_FALSE(std::filesystem::exists(y4m));
  // Text that is no number of the option's kind is said to be so, not out of its range.
  const std::pair<test::KqmResult, std::string> not_numbers[] = {
      {test::RunKqm(tools::Cmd_Encode, "encode",
                    {"--video", "no.y4m", "-o", "x", "--bitrate", "2k"}),
       "kqm encode: --bitrate: Value 2k is not a number"},
      {test::RunKqm(tools::Cmd_Encode, "encode",
                    {"--video", "no.y4m", "-o", "x", "--keyint", "0x10"}),
       "kqm encode: --keyint: Value 0x10 is not a whole number"},
      {test::RunKqm(tools::Cmd_Encode, "encode",
                    {"--video", "no.y4m", "-o", "x", "--quality", "7.5"}),
       "kqm encode: --quality: Value 7.5 is not a whole number"},
      {test::RunKqm(tools::Cmd_Thumbnail, "thumbnail", {movie, "t.png", "--size", "64px"}),
       "kqm thumbnail: --size: Value 64px is not a whole number"},
      // Decimal digits, as the help writes them: the parser alone reads these too.
      {test::RunKqm(tools::Cmd_Encode, "encode", {"--video", "no.y4m", "-o", "x", "--fps", "1e1"}),
       "kqm encode: --fps: Value 1e1 is not a number"},
      {test::RunKqm(tools::Cmd_Play, "play", {movie, "--rate", "0x10"}),
       "kqm play: --rate: Value 0x10 is not a number"},
      {test::RunKqm(tools::Cmd_Play, "play", {movie, "--volume", "+5"}),
       "kqm play: --volume: Value +5 is not a whole number"}};
  for (const auto& [r, message] : not_numbers) {
    EXPECT_EQ(2, r.status) << r.err;
    EXPECT_EQ(0u, r.err.rfind(message + " (see ", 0)) << r.err;
  }
  // Zero-padded whole numbers are decimal: 0101 is above 100, and 08 is eight.
  EXPECT_EQ(0u, test::RunKqm(tools::Cmd_Encode, "encode",
                             {"--video", "no.y4m", "-o", "x", "--quality", "0101"})
                    .err.rfind("kqm encode: --quality: Value 101 not in range", 0));
  const test::KqmResult eight = test::RunKqm(tools::Cmd_Encode, "encode",
                                             {"--video", "no.y4m", "-o", "x", "--quality", "08"});
  EXPECT_EQ(0u, eight.err.rfind("kqm encode: no.y4m: ", 0)) << eight.err;
  EXPECT_EQ(
      "kqm export: no.kqm: no such file\n",
      test::RunKqm(tools::Cmd_Export, "export", {"no.kqm", "--video", "x.rgb", "--scale", "0800"})
          .err);
  // A message stays one line whatever the file's name holds, or the word of the command line a
  // usage error quotes (that ran onto a second line, its escape codes read by the terminal).
  EXPECT_EQ("kqm info: no\\x0Asuch\\x0D.kqm: no such file\n",
            test::RunKqm(tools::Cmd_Info, "info", {"no\nsuch\r.kqm"}).err);
  const auto quoted = test::RunKqm(tools::Cmd_Export, "export", {movie, "--format", "5\n\x1b[2J"});
  EXPECT_EQ(2, quoted.status);
  EXPECT_EQ(1, std::count(quoted.err.begin(), quoted.err.end(), '\n')) << quoted.err;
  EXPECT_NE(std::string::npos, quoted.err.find(": 5\\x0A\\x1B[2J ")) << quoted.err;
  // -v adds what its help says, here export's count of what it wrote (the movie has 6 frames).
  const auto verbose = test::RunKqm(tools::Cmd_Export, "export",
                                    {movie, "--video", ::testing::TempDir() + "verbose.rgb", "-v"});
  EXPECT_EQ(0, verbose.status) << verbose.err;
  EXPECT_NE(std::string::npos, verbose.err.find(": 6 frames: 6 pictures written")) << verbose.err;
  // One picture is "1 picture", not "1 pictures" (frame 5 is decoded from frame 0 on).
  const auto one =
      test::RunKqm(tools::Cmd_Export, "export",
                   {movie, "--video", ::testing::TempDir() + "one.rgb", "--frames", "5", "-v"});
  EXPECT_NE(std::string::npos, one.err.find(": 6 frames: 1 picture written")) << one.err;
  // The demo sums up what it wrote, as encode does, unless -q: 0.2 s at 25 a second is 5 frames.
  const std::string demo = ::testing::TempDir() + "summed.kqm";
  const auto summed =
      test::RunKqm(tools::Cmd_Demo, "demo", {"-o", demo, "--size", "16x16", "--seconds", "0.2"});
  EXPECT_EQ(0, summed.status) << summed.err;
  EXPECT_EQ(0u, summed.err.rfind("kqm demo: " + demo + ": 5 frames 16x16 at 25.000 fps, ", 0))
      << summed.err;
  EXPECT_EQ("", test::RunKqm(tools::Cmd_Demo, "demo",
                             {"-o", demo, "--size", "16x16", "--seconds", "0.2", "-q"})
                    .err);
  std::remove(demo.c_str());
}

TEST(KqmCommandLine, AFolderOrAPipeIsNamedAsSuchAndNeverWaitedOn) {
  const std::string folder = ::testing::TempDir() + "kqm_kinds";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directory(folder);
  const std::string fifo = folder + "/pipe.kqm";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  using Command = int (*)(int, char**);
  const std::pair<Command, const char*> commands[] = {
      {tools::Cmd_Info, "info"}, {tools::Cmd_Bench, "bench"}, {tools::Cmd_Play, "play"}};
  for (const auto& [run, name] : commands) {
    const auto in_folder = test::RunKqm(run, name, {folder});
    EXPECT_EQ(1, in_folder.status) << name;
    EXPECT_EQ("kqm " + std::string(name) + ": " + folder + ": is a folder\n", in_folder.err);
    const auto in_pipe = test::RunKqm(run, name, {fifo});
    EXPECT_EQ(1, in_pipe.status) << name;
    EXPECT_EQ("kqm " + std::string(name) + ": " + fifo + ": is not a regular file\n", in_pipe.err);
  }
  const auto exported =
      test::RunKqm(tools::Cmd_Export, "export", {folder, "--video", folder + "/out.rgb"});
  EXPECT_NE(std::string::npos, exported.err.find(": is a folder")) << exported.err;
}

// An output named through a link goes to the link's file and leaves the link; a pipe is written
// into, not replaced by a file of that name; a file written again keeps its permissions.
TEST(KqmCommandLine, OutputsGoThroughLinksAndIntoPipesWithoutReplacingThem) {
  namespace fs = std::filesystem;
  const std::string folder = ::testing::TempDir() + "kqm_outputs";
  fs::remove_all(folder);
  fs::create_directory(folder);
  const std::string movie = test::ConformancePath("mixed-160x120-mono");
  const auto export_sound = [&](const std::string& out) {
    return test::RunKqm(tools::Cmd_Export, "export", {movie, "--audio", out, "-q"}).status;
  };
  ASSERT_EQ(0, export_sound(folder + "/plain.raw"));
  const auto sound = test::ReadFileBytes(folder + "/plain.raw");
  ASSERT_FALSE(sound.empty());
  // A name as long as a file name may be has room for its temporary form beside it.
  const std::string longest = folder + "/" + std::string(251, 'n') + ".raw";
  EXPECT_EQ(0, export_sound(longest));
  EXPECT_EQ(sound, test::ReadFileBytes(longest));

  test::WriteFileBytes(folder + "/real.raw", {1, 2, 3});
  fs::permissions(folder + "/real.raw", fs::perms(0640));
  fs::create_symlink("real.raw", folder + "/link.raw");
  EXPECT_EQ(0, export_sound(folder + "/link.raw"));
  EXPECT_TRUE(fs::is_symlink(folder + "/link.raw"));
  EXPECT_EQ(sound, test::ReadFileBytes(folder + "/real.raw"));
  EXPECT_EQ(fs::perms(0640), fs::status(folder + "/real.raw").permissions() & fs::perms::mask);
  // While it is written, the new file is readable by no more people than the file it replaces.
  fs::permissions(folder + "/real.raw", fs::perms(0600));
  // Whether it may be written is asked without opening it, which could make a file where a link
  // was put under its name meanwhile.
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_LE(0, ::inotify_add_watch(watch, (folder + "/real.raw").c_str(), IN_OPEN));
  tools::PendingFile pending;
  std::string problem;
  ASSERT_TRUE(pending.Create(folder + "/real.raw", &problem)) << problem;
  EXPECT_EQ(fs::perms(0600), fs::status(pending.temporary_path()).permissions() & fs::perms::mask);
  char events[4096];
  EXPECT_EQ(-1, ::read(watch, events, sizeof events)) << "the file was opened";
  ::close(watch);
  pending.Discard();
  // The temporary file is reached through what made it, never its name again: a link put in its
  // place (by another user whose folder the superuser writes in) leads nowhere, and is not put
  // in place of the output either.
  const std::string victim = folder + "/victim";
  test::WriteFileBytes(victim, {4});
  fs::permissions(victim, fs::perms(0600));
  fs::permissions(folder + "/real.raw", fs::perms(0644));
  ASSERT_TRUE(pending.Create(folder + "/real.raw", &problem)) << problem;
  fs::remove(pending.temporary_path());
  fs::create_symlink(victim, pending.temporary_path());
  EXPECT_FALSE(pending.Commit(&problem));
  EXPECT_EQ(fs::perms(0600), fs::status(victim).permissions() & fs::perms::mask);
  EXPECT_FALSE(fs::is_symlink(folder + "/real.raw"));
  // Another user's file written again by the superuser (sudo) stays theirs; a new one is the
  // writer's.
  if (::geteuid() == 0) {
    ASSERT_EQ(0, ::chown((folder + "/real.raw").c_str(), 65534, 65534));
    EXPECT_EQ(0, export_sound(folder + "/link.raw"));
    struct stat theirs {};
    ASSERT_EQ(0, ::stat((folder + "/real.raw").c_str(), &theirs));
    EXPECT_EQ(65534u, theirs.st_uid);
    EXPECT_EQ(65534u, theirs.st_gid);
    ASSERT_EQ(0, ::stat((folder + "/plain.raw").c_str(), &theirs));
    EXPECT_EQ(0u, theirs.st_uid);
  }

  // A movie cannot go into a pipe, its header being completed last: refused before any frame,
  // and without waiting for a reader of a named pipe that nobody reads.
  const std::string fifo = folder + "/pipe.raw";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const auto unread = test::RunKqm(tools::Cmd_Demo, "demo", {"-o", fifo, "--seconds", "0.04"});
  EXPECT_EQ(1, unread.status);
  EXPECT_NE(std::string::npos, unread.err.find("pipe.raw: cannot seek")) << unread.err;
  // The test holds both ends of the pipe, with room for the whole sound, so nothing waits.
  const int pipe = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_LE(0, pipe);
  ASSERT_LE(static_cast<int>(sound.size()), fcntl(pipe, F_SETPIPE_SZ, 1 << 20));
  EXPECT_EQ(0, export_sound(fifo));
  EXPECT_TRUE(fs::is_fifo(fifo));
  std::vector<unsigned char> piped(sound.size() + 1);
  EXPECT_EQ(static_cast<ssize_t>(sound.size()), ::read(pipe, piped.data(), piped.size()));
  piped.resize(sound.size());
  EXPECT_EQ(sound, piped);
  // With a reader, the movie is refused just the same, and nothing goes into the pipe.
  const auto movie_out = test::RunKqm(tools::Cmd_Demo, "demo", {"-o", fifo, "--seconds", "0.04"});
  EXPECT_EQ(1, movie_out.status);
  EXPECT_NE(std::string::npos, movie_out.err.find("pipe.raw: cannot seek")) << movie_out.err;
  EXPECT_EQ(-1, ::read(pipe, piped.data(), piped.size()));  // empty
  ::close(pipe);
  // So is a WAVE file, whose sizes are written last too (raw samples go into a pipe), without
  // waiting for a reader.
  fs::create_symlink("pipe.raw", folder + "/pipe.wav");
  for (const auto& wave :
       {test::RunKqm(tools::Cmd_Export, "export", {movie, "--audio", folder + "/pipe.wav"}),
        test::RunKqm(tools::Cmd_Play, "play",
                     {movie, "--device", "capture", "--audio-out", folder + "/pipe.wav"})}) {
    EXPECT_EQ(1, wave.status);
    EXPECT_NE(std::string::npos, wave.err.find("pipe.wav: cannot seek, and a WAVE file's sizes"))
        << wave.err;
  }
  // A file deleted while it is open, named through its descriptor (here by a link of the
  // output's kind to /proc/self/fd/N), has no name to be renamed onto: it is written as it is,
  // and no file named after the descriptor link's text appears.
  const int gone = ::open((folder + "/gone.raw").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_LE(0, gone);
  fs::remove(folder + "/gone.raw");
  fs::create_symlink("/proc/self/fd/" + std::to_string(gone), folder + "/held.raw");
  EXPECT_EQ(0, export_sound(folder + "/held.raw"));
  EXPECT_FALSE(fs::exists(folder + "/gone.raw (deleted)"));
  std::vector<unsigned char> held(sound.size() + 1);
  EXPECT_EQ(static_cast<ssize_t>(sound.size()), ::pread(gone, held.data(), held.size(), 0));
  held.resize(sound.size());
  EXPECT_EQ(sound, held);
  ::close(gone);
  // A file opened to append (as `>> all.raw` opens it), named through its descriptor, keeps what
  // it held: the sound goes on at its end.
  test::WriteFileBytes(folder + "/all.raw", {7, 8, 9});
  const int all = ::open((folder + "/all.raw").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_LE(0, all);
  fs::create_symlink("/dev/fd/" + std::to_string(all), folder + "/joined.raw");
  EXPECT_EQ(0, export_sound(folder + "/joined.raw"));
  ::close(all);
  auto joined = sound;
  joined.insert(joined.begin(), {7, 8, 9});
  EXPECT_EQ(joined, test::ReadFileBytes(folder + "/all.raw"));
}

// An output that names an input (through any name) or another output is refused before anything
// is written: the input stays as it was.
TEST(KqmCommandLine, AnOutputThatWouldReplaceAnInputOrAnotherOutputIsRefused) {
  namespace fs = std::filesystem;
  const std::string folder = ::testing::TempDir() + "kqm_clashes";
  fs::remove_all(folder);
  fs::create_directory(folder);
  const std::string movie = folder + "/movie.kqm", video = folder + "/clip.y4m";
  fs::copy_file(test::ConformancePath("mixed-160x120-mono"), movie);
  const auto original = test::ReadFileBytes(movie);
  test::WriteFileBytes(video, {'Y', '4'});
  fs::create_symlink("movie.kqm", folder + "/link.png");
  fs::create_symlink("movie.kqm", folder + "/frame01.png");  // a PNG sequence's second file
  const auto refused = [](const test::KqmResult& r) {
    EXPECT_EQ(2, r.status) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("would")) << r.err;
  };
  refused(test::RunKqm(tools::Cmd_Thumbnail, "thumbnail", {movie, folder + "/link.png"}));
  refused(
      test::RunKqm(tools::Cmd_Play, "play", {movie, "--device", "capture", "--audio-out", movie}));
  refused(test::RunKqm(tools::Cmd_Encode, "encode",
                       {"--video", video, "-o", folder + "/../kqm_clashes/clip.y4m"}));
  refused(test::RunKqm(tools::Cmd_Export, "export",
                       {movie, "--video", folder + "/a.raw", "--audio", folder + "/./a.raw"}));
  // Two outputs into one named pipe (through a link too) reached its reader mixed, status 0.
  const std::string pipe = folder + "/pipe.raw";
  ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
  fs::create_symlink("pipe.raw", folder + "/pipe.pcm");
  const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);  // room for one frame
  refused(test::RunKqm(tools::Cmd_Export, "export",
                       {movie, "--video", pipe, "--audio", folder + "/pipe.pcm", "--frames", "0",
                        "--audio-length", "pictures"}));
  ::close(reader);
  // Standard output redirected to another output's file: the sound went into the file that the
  // pictures then replaced.
  const std::string pictures = folder + "/out.rgb", standard_output_name = "-";
  test::WriteFileBytes(pictures, {1});
  const int standard_output = ::dup(STDOUT_FILENO), redirect = ::open(pictures.c_str(), O_WRONLY);
  ::dup2(redirect, STDOUT_FILENO);
  ::testing::internal::CaptureStderr();
  const bool apart = tools::CheckOutputsApart(
      "kqm export", {}, {{"--video", pictures}, {"--audio", standard_output_name}});
  const std::string said = ::testing::internal::GetCapturedStderr();
  ::dup2(standard_output, STDOUT_FILENO);
  ::close(standard_output);
  ::close(redirect);
  EXPECT_FALSE(apart);
  EXPECT_EQ(
      "kqm export: standard output: --video and --audio name the same file: one output "
      "would replace the other\n",
      said);
  // Standard input read from the output's file (it was read whole and the movie put in its place).
  const std::string piped = folder + "/piped.y4m";
  std::string y4m = "YUV4MPEG2 W8 H8 F25:1 C444\nFRAME\n" + std::string(192, '\x80');
  test::WriteFileBytes(piped, std::vector<unsigned char>(y4m.begin(), y4m.end()));
  const int standard_input = ::dup(STDIN_FILENO), file = ::open(piped.c_str(), O_RDONLY);
  ::dup2(file, STDIN_FILENO);
  refused(test::RunKqm(tools::Cmd_Encode, "encode", {"--video", "-", "-o", piped, "-q"}));
  ::dup2(standard_input, STDIN_FILENO);
  ::close(standard_input);
  ::close(file);
  EXPECT_EQ(y4m.size(), test::ReadFileBytes(piped).size());
  refused(test::RunKqm(tools::Cmd_Export, "export", {movie, "--video", folder + "/frame%02d.png"}));
  EXPECT_EQ(original, test::ReadFileBytes(movie));
  EXPECT_EQ(2u, test::ReadFileBytes(video).size());
  EXPECT_FALSE(fs::exists(folder + "/a.raw"));
  EXPECT_FALSE(fs::exists(folder + "/frame00.png"));
}

// A terminal of the test's own: `terminal` is the side a terminal window reads (non-blocking),
// `screen` the side a program writes to and reads from, raw, so that what is written arrives
// as written.
void OpenTerminal(int* terminal, int* screen) {
  *terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_LE(0, *terminal);
  ASSERT_EQ(0, ::grantpt(*terminal));
  ASSERT_EQ(0, ::unlockpt(*terminal));
  *screen = ::open(::ptsname(*terminal), O_RDWR | O_NOCTTY);
  ASSERT_LE(0, *screen);
  termios raw{};
  ASSERT_EQ(0, ::tcgetattr(*screen, &raw));
  ::cfmakeraw(&raw);
  ASSERT_EQ(0, ::tcsetattr(*screen, TCSANOW, &raw));
}

// Gives `descriptor` back what `saved` kept of it, and returns what came to the terminal; both
// ends of the terminal are closed.
std::string TakeScreen(int terminal, int screen, int saved, int descriptor) {
  ::dup2(saved, descriptor);
  ::close(saved);
  std::string shown;
  char buffer[512];
  for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, n);
  ::close(screen);
  ::close(terminal);
  return shown;
}

// On a terminal, a message in the middle of long work takes the progress line's place instead of
// running on at its end; the next update draws the line again below it.
TEST(KqmCommandLine, AMessageOnATerminalStartsItsOwnLineOverTheProgressLine) {
  int terminal = -1, screen = -1;
  ASSERT_NO_FATAL_FAILURE(OpenTerminal(&terminal, &screen));
  const int standard_error = ::dup(STDERR_FILENO);
  ::dup2(screen, STDERR_FILENO);
  {
    tools::Progress progress("kqm test");
    progress.Update(1, 2);
    tools::PrintError("kqm test", "movie.kqm", "frame 1: picture data is corrupt");
  }
  const std::string shown = TakeScreen(terminal, screen, standard_error, STDERR_FILENO);
  EXPECT_EQ(0u, shown.rfind("\rkqm test: frame 1/2 (50%), ", 0)) << shown;
  const std::string message =
      "\033[K\r\033[Kkqm test: movie.kqm: frame 1: picture data is corrupt\n";
  EXPECT_EQ(message, shown.substr(shown.size() - std::min(shown.size(), message.size()))) << shown;
}

// A job put in the background (`kqm export ... &`, or Ctrl-Z then `bg`) draws no progress line
// over the shell's prompt: under `stty tostop` the first one stopped the job until it was brought
// back to the foreground.
TEST(KqmCommandLine, AJobInTheBackgroundDrawsNoProgressLine) {
  int terminal = -1, screen = -1;
  ASSERT_NO_FATAL_FAILURE(OpenTerminal(&terminal, &screen));
  const pid_t job = ::fork();
  ASSERT_LE(0, job);
  if (job == 0) {
    // A session of its own whose terminal is the test's, its group in the foreground.
    ::setsid();
    const int controlling = ::open(::ptsname(terminal), O_RDWR);
    if (controlling < 0 || ::dup2(controlling, STDERR_FILENO) < 0) ::_exit(3);
    tools::Progress progress("kqm test");
    progress.Update(1, 3);
    // Another group of the session takes the terminal, as the shell does for the next command.
    const pid_t shell = ::fork();
    if (shell == 0) {
      ::setpgid(0, 0);
      ::pause();
      ::_exit(0);
    }
    ::setpgid(shell, shell);
    const bool moved = ::tcsetpgrp(STDERR_FILENO, shell) == 0;
    if (moved) {
      progress.Update(3, 3);
      progress.Finish();
    }
    ::kill(shell, SIGKILL);
    ::_exit(moved ? 0 : 4);
  }
  int status = -1;
  ASSERT_EQ(job, ::waitpid(job, &status, 0));
  EXPECT_EQ(0, status);
  std::string shown;
  char buffer[512];
  for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, n);
  ::close(screen);
  ::close(terminal);
  EXPECT_EQ(0u, shown.rfind("\rkqm test: frame 1/3 (33%), ", 0)) << shown;
  EXPECT_EQ(std::string::npos, shown.find("3/3")) << shown;
  EXPECT_EQ("\033[K", shown.substr(shown.size() - std::min<std::size_t>(shown.size(), 3))) << shown;
}

// play shows the progress line too when it plays the movie once (the default), not only with
// --passes; the line ends where playback ended, however soon that came.
TEST(KqmCommandLine, PlayShowsTheProgressLineOnATerminal) {
  int terminal = -1, screen = -1;
  ASSERT_NO_FATAL_FAILURE(OpenTerminal(&terminal, &screen));
  const int standard_error = ::dup(STDERR_FILENO);
  ::dup2(screen, STDERR_FILENO);
  std::string args[] = {"kqm play", test::ConformancePath("key-dct-128x96"), "--device", "capture"};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
  ::testing::internal::CaptureStdout();
  const int status = tools::Cmd_Play(4, argv);
  ::testing::internal::GetCapturedStdout();
  const std::string shown = TakeScreen(terminal, screen, standard_error, STDERR_FILENO);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, shown.find("\rkqm play: frame 6/6 (100%), ")) << shown;
}

// encode reading standard input from a terminal, where nobody types a video, would wait for ever,
// and export writing to one would fill the screen: both are refused.
TEST(KqmCommandLine, BinaryDataIsNeitherReadFromNorWrittenToATerminal) {
  int terminal = -1, screen = -1;
  ASSERT_NO_FATAL_FAILURE(OpenTerminal(&terminal, &screen));
  const int standard_input = ::dup(STDIN_FILENO);
  ::dup2(screen, STDIN_FILENO);
  const auto r = test::RunKqm(tools::Cmd_Encode, "encode",
                              {"--video", "-", "-o", ::testing::TempDir() + "typed.kqm"});
  ::dup2(standard_input, STDIN_FILENO);
  ::close(standard_input);
  ::close(screen);
  ::close(terminal);
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("kqm encode: --video - reads standard input, which is a terminal: pipe the data in\n",
            r.err);

  // Pictures or sound for standard output, the redirection forgotten, would fill the screen
  // with binary: refused before anything is read.
  ASSERT_NO_FATAL_FAILURE(OpenTerminal(&terminal, &screen));
  ::fcntl(screen, F_SETFL, O_NONBLOCK);  // a full screen fails a write rather than holding it
  const int standard_output = ::dup(STDOUT_FILENO);
  ::dup2(screen, STDOUT_FILENO);
  std::string args[] = {"kqm export", test::ConformancePath("key-dct-128x96"), "--video", "-"};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
  ::testing::internal::CaptureStderr();
  const int status = tools::Cmd_Export(4, argv);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ::dup2(standard_output, STDOUT_FILENO);
  ::close(standard_output);
  char shown[64];
  EXPECT_GT(0, ::read(terminal, shown, sizeof shown));  // nothing came to the screen
  ::close(screen);
  ::close(terminal);
  EXPECT_EQ(2, status);
  EXPECT_EQ(
      "kqm export: --video - writes to standard output, which is a terminal: redirect it "
      "to a file or a pipe\n",
      err);
}

// Past the file size limit (`ulimit -f`) the command says so, naming the file, and leaves nothing
// behind, as on a full disk; SIGXFSZ ended it with its hidden temporary file left in the folder.
TEST(KqmCommandLine, AFileSizeLimitIsAnErrorNamingTheFileAndLeavesNothing) {
  namespace fs = std::filesystem;
  const std::string folder = ::testing::TempDir() + "kqm_file_size_limit";
  fs::remove_all(folder);
  fs::create_directory(folder);
  test::ProcessOptions limited;
  limited.file_size_limit = 100000;
  const auto r = test::RunKqmProcess(
      {"export", test::ConformancePath("copy-320x240-stereo"), "--video", folder + "/v.y4m"},
      limited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kqm export: " + folder + "/v.y4m: write failed: File too large\n");
  // A picture larger than the stream's buffer meets the limit while it is being written.
  const auto png = test::RunKqmProcess(
      {"thumbnail", test::ConformancePath("copy-320x240-stereo"), folder + "/t.png"}, limited);
  EXPECT_EQ(png.status, 1);
  EXPECT_EQ(png.err, "kqm thumbnail: " + folder + "/t.png: write failed: File too large\n");
  // A movie small enough to stay in the stream's buffer meets it when its header is completed
  // (two 64x64 frames of the demo take 712 bytes); it was blamed on an output that cannot seek.
  limited.file_size_limit = 512;
  const auto movie = test::RunKqmProcess(
      {"demo", "-o", folder + "/d.kqm", "--size", "64x64", "--seconds", "0.08", "--no-sound"},
      limited);
  EXPECT_EQ(movie.status, 1);
  EXPECT_EQ(movie.err, "kqm demo: " + folder + "/d.kqm: write failed: File too large\n");
  EXPECT_TRUE(fs::is_empty(folder));
}

}  // namespace
}  // namespace tarvel
