// What every subcommand shares: usage errors exit 2 with the command's name, and -q/-v.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>

#include "kqm_run.h"
#include "tools/commands.h"

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

}  // namespace
}  // namespace tarvel
