// kqm: the command-line companion of the Tarvel player.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/terminal.h"
#include "tools/commands.h"
#include "tools/tool_common.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: kqm <command> [options]\n"
               "Inspect, export, make and play KQM6 movies.\n\nCommands:\n");
  for (const auto& command : tarvel::tools::kCommands)
    std::fprintf(out, "  %-9s %s\n", command.name, command.summary);
  std::fprintf(out,
               "\nRun 'kqm <command> --help' (or 'kqm help <command>') for the options of one "
               "command,\n'kqm --version' for the version.\n");
}

}  // namespace

int main(int argc, char** argv) {
  tarvel::StandardStreams_HoldClosed();
  tarvel::tools::EndQuietlyOnBrokenPipe();
  tarvel::FileSizeLimit_ReportAsError();
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  std::string name = argv[1];
  // "kqm help export" is "kqm export --help".
  char help_flag[] = "--help";
  if (name == "help" && argc >= 3) {
    name = argv[2];
    argv[2] = help_flag;
  }
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return tarvel::tools::FinishStandardOutput("kqm", 0);
  }
  if (name == "--version") {
    std::printf("kqm (Tarvel) %s\n", TARVEL_VERSION);
    return tarvel::tools::FinishStandardOutput("kqm", 0);
  }
  for (const auto& command : tarvel::tools::kCommands) {
    if (name == command.name) {
      std::string program = std::string("kqm ") + command.name;
      argv[1] = program.data();
      int status = 0;
      try {
        status = command.run(argc - 1, argv + 1);
      } catch (const std::bad_alloc&) {
        // Where a command has no better word for it: said, and its hidden temporary files
        // removed as the command's objects unwind, rather than an abort that leaves them.
        std::fprintf(stderr, "%s: not enough memory\n", program.c_str());
        status = 1;
      }
      return tarvel::tools::FinishStandardOutput(program, status);
    }
  }
  tarvel::tools::PrintError("kqm", "", "unknown command '" + name + "' (see 'kqm --help')");
  return 2;
}
