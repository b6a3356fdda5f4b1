// What every subcommand shares: usage errors exit 2 with the command's name, and -q/-v.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

}  // namespace
}  // namespace tarvel
