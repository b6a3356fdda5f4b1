// The player's command line:
//   tarvel [--fullscreen] [--loop] [--free-windows] [--associate] [--no-associate]
//          [--version] [--help] [PATH...]
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvel {

// What the options ask of this run. None of them changes the settings file.
struct PlayerOptions {
  bool full_screen = false;   // the first movie that plays goes full screen
  bool loop = false;          // Loop Play starts on
  bool free_windows = false;  // the windows move independently for this run
  bool associate = false;     // register for the movie files without asking
  bool no_associate = false;  // never ask
};

struct CommandLine {
  PlayerOptions options;
  // The paths as given (the bytes of the command line), in order.
  std::vector<std::string> paths;
  // Set when the program ends at once: 0 after --help or --version, 2 after a usage error.
  std::optional<int> exit_code;
  // What to print before ending: `output` on standard output, `errors` on standard error.
  std::string output;
  std::string errors;
};

// Reads argv (argv[0] is the program). Options may stand anywhere before "--"; everything after
// it is a path, even when it starts with "-".
CommandLine ParseCommandLine(int argc, const char* const* argv);

// The usage text of --help.
std::string UsageText();

}  // namespace tarvel
