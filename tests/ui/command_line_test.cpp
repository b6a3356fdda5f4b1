// The player's command line: options anywhere, paths kept byte for byte, help, version and
// usage errors.
#include "ui/command_line.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/man_page.h"

namespace tarvel {
namespace {

CommandLine Parse(std::vector<const char*> words) {
  words.insert(words.begin(), "tarvel");
  return ParseCommandLine(static_cast<int>(words.size()), words.data());
}

TEST(CommandLine, OptionsAnywhereAndPathsInOrder) {
  const CommandLine line = Parse({"a b.kqm", "--loop", "\xff\xfe.kqm", "-fullscreen",
                                  "--free-windows", "--", "--associate", "-"});
  EXPECT_FALSE(line.exit_code);
  EXPECT_TRUE(line.options.loop);
  EXPECT_TRUE(line.options.full_screen);
  EXPECT_TRUE(line.options.free_windows);
  EXPECT_FALSE(line.options.associate);  // after "--" it is a path
  EXPECT_FALSE(line.options.no_associate);
  EXPECT_EQ(line.paths, (std::vector<std::string>{"a b.kqm", "\xff\xfe.kqm", "--associate", "-"}));

  const CommandLine none = Parse({});
  EXPECT_FALSE(none.exit_code);
  EXPECT_TRUE(none.paths.empty());
  EXPECT_TRUE(Parse({"--associate"}).options.associate);
  EXPECT_TRUE(Parse({"--no-associate", "m.kqm"}).options.no_associate);
}

TEST(CommandLine, HelpVersionAndUsageErrors) {
  for (const char* help : {"--help", "-h"}) {
    const CommandLine line = Parse({"m.kqm", help});
    EXPECT_EQ(line.exit_code, 0);
    EXPECT_EQ(line.output, UsageText());
    EXPECT_EQ(line.output.rfind("Usage: tarvel [--fullscreen] [--loop] [--free-windows]", 0), 0u);
    EXPECT_TRUE(line.errors.empty());
  }
  const CommandLine version = Parse({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.output.rfind("tarvel ", 0), 0u);
  EXPECT_EQ(version.output.back(), '\n');

  for (const std::vector<const char*>& wrong : {std::vector<const char*>{"--sound"},
                                                {"m.kqm", "-platform", "xcb"},
                                                {"-x"},
                                                {"a.kqm", "-"},
                                                {"--associate", "--no-associate"}}) {
    const CommandLine line = Parse(wrong);
    EXPECT_EQ(line.exit_code, 2) << wrong.front();
    EXPECT_TRUE(line.output.empty());
    EXPECT_EQ(line.errors.rfind("tarvel: ", 0), 0u) << line.errors;
    EXPECT_NE(line.errors.find("Usage: tarvel"), std::string::npos);
  }
  // A movie cannot be read from standard input.
  EXPECT_EQ(Parse({"-"}).errors.rfind("tarvel: PATH is '-', but movies are read from files", 0),
            0u);
  // The unknown option is named as it was typed, dashes and all.
  EXPECT_EQ(Parse({"--sound"}).errors.rfind("tarvel: unknown option '--sound'\n", 0), 0u);
  EXPECT_EQ(
      Parse({"m.kqm", "-platform", "xcb"}).errors.rfind("tarvel: unknown option '-platform'\n", 0),
      0u);
}

// The tarvel(1) page describes every option of the usage text.
TEST(CommandLine, ManPageDescribesEveryOption) {
  const std::string page = test::ManPageWords("tarvel.1");
  ASSERT_FALSE(page.empty());
  for (const std::string& option : test::LongOptions(UsageText()))
    EXPECT_TRUE(test::MentionsOption(page, option)) << option;
}

}  // namespace
}  // namespace tarvel
