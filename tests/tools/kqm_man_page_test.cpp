// The kqm(1) page keeps up with the program: every command and every option its help lists.
#include <gtest/gtest.h>

#include <algorithm>

#include "kqm_run.h"
#include "support/man_page.h"
#include "tools/commands.h"

namespace tarvel {
namespace {

TEST(KqmManPage, DescribesEveryCommandAndOption) {
  const std::string page = test::ManPageWords("kqm.1");
  ASSERT_FALSE(page.empty());
  for (const tools::Command& command : tools::kCommands) {
    const std::string name = command.name;
    EXPECT_NE(page.find(".SS \"kqm " + name + " "), std::string::npos) << name;
    const test::KqmResult help = test::RunKqm(command.run, name, {"--help"});
    ASSERT_EQ(help.status, 0) << name;
    const std::string section = page.substr(page.find(".SS \"kqm " + name + " "));
    // The command's own part: up to the next command, or for the last one the next section
    // (EXAMPLES names other commands' options).
    const std::string own =
        section.substr(0, std::min(section.find(".SS", 1), section.find(".SH")));
    for (const std::string& option : test::LongOptions(help.out)) {
      if (option == "--help") continue;
      EXPECT_TRUE(test::MentionsOption(own, option)) << "kqm " << name << " " << option;
    }
  }
  // The page's synopsis gives the program itself --help and --version: its usage names both.
  const test::KqmResult usage = test::RunKqmProcess({"--help"});
  EXPECT_EQ(usage.status, 0);
  for (const char* option : {"--help", "--version"})
    EXPECT_TRUE(test::MentionsOption(usage.out, option)) << "kqm " << option;
}

}  // namespace
}  // namespace tarvel
