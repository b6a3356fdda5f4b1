// Running the desktop's helper programs: finding one on PATH and running it without a shell,
// waiting for its end with a time limit.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

// What became of one program run.
inline constexpr int kToolRan = 0;          // ran to its end; exit_code holds its status
inline constexpr int kToolAbsent = 1;       // not found on PATH: skipped
inline constexpr int kToolDidNotStart = 2;  // found, but could not be started
inline constexpr int kToolTimedOut = 3;     // did not end in time and was stopped
inline constexpr int kToolStopped = 4;      // a stop signal came (StopSignals): not run, or stopped

struct ToolRun {
  std::string name;
  int status = kToolAbsent;
  int exit_code = 0;  // the exit status, or 128 + the signal that ended it
};

// The full path of the executable `name` in the folders of `path_variable` (a PATH value);
// empty when none has it. Empty and relative entries are not searched.
std::string FindOnPath(std::string_view name, std::string_view path_variable);

// Runs `argv` (argv[0] a full path) directly, without a shell, with standard input from
// /dev/null, in a process group of its own, and waits for it, at most `timeout`; a program still
// running then is killed, with the programs it started. A stop signal (StopSignals) ends the
// wait as the time limit does, and after one no program is started. The
// program gets this process's environment, with the variables of `replaced` ("NAME=value") in
// place of those of the same names, and SIGPIPE and SIGXFSZ ending it as they end any program
// (this one ignores both for its own sake).
ToolRun RunAndWait(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                   const std::vector<std::string>& replaced = {});

}  // namespace tarvel
