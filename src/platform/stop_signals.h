// SIGINT, SIGTERM and SIGHUP (the terminal closed) as requests to stop: the first one is recorded,
// for the program to finish what it was doing and end in its own time; a second one ends the
// program at once, as if no handler had been installed. The same signal sent again within a
// second by the same process (as `timeout` sends it to the program and to its process group), or
// by a process after the system or the other way round (a wrapper passing a terminal's Ctrl-C
// on), or by the program's parent after another sender (a wrapper passing on a signal sent to its
// process group), is the first one's repeat, not a second request, and so is a SIGHUP then, after
// any of the three (a closed terminal sends it twice; a login session's end, after SIGTERM).
#pragma once

namespace tarvel {

// Installs the handlers (once; later calls do nothing), except for a signal the program was
// started with ignored, which stays so. False when they could not be installed.
bool StopSignals_Install();
// The signal asked for the stop (SIGINT, SIGTERM or SIGHUP), 0 while none came.
int StopSignals_Received();
// Whether one came, as a hook that takes a user value asks (the engine's abandon_seek): a long
// piece of work polling it ends at the signal. `user` is not used.
bool StopSignals_Came(void* user);
// Ends the program as signal `number` does when it has no handler (status 128 + `number` where
// the signal cannot end it); safe in a signal handler.
[[noreturn]] void EndAsSignalDoes(int number);
// Milliseconds since the first stop signal came (0 as it comes), -1 while none came.
long long StopSignals_MillisecondsSince();
// A signal that ends the program at once, a second stop signal or SIGQUIT (Ctrl-\, which dumps
// core where that is enabled, as without a handler), first removes the hidden temporary files
// registered here, which nothing else would remove. AddTemporaryFile registers `path`
// (installing the handler of SIGQUIT the first time, unless the program was started with it
// ignored) and returns its token, -1 when it could not (the file is then left behind as
// before); RemoveTemporaryFile(token) takes it back once the file is renamed or removed.
int StopSignals_AddTemporaryFile(const char* path);
void StopSignals_RemoveTemporaryFile(int token);
// A descriptor that becomes readable when the first stop signal comes, for event loops to watch;
// -1 before StopSignals_Install.
int StopSignals_Descriptor();

// A wait that the first stop signal ends, as well as a Wake from any thread (a signal handler
// too), so that a program waiting for either needs no timer to look for the signal.
class StopSignalWait {
 public:
  StopSignalWait();
  ~StopSignalWait();
  StopSignalWait(const StopSignalWait&) = delete;
  StopSignalWait& operator=(const StopSignalWait&) = delete;

  // False when it could not be set up: Wait then returns only at its timeout.
  bool ok() const { return wake_[0] >= 0; }
  // Ends the Wait under way, or the next one. Safe in a signal handler.
  void Wake();
  // Returns after a Wake since the last Wait returned, once a stop signal has come (while
  // `signal` is true: a caller that has seen it leaves it out, or it would wait no more), or
  // after `timeout_ms` (-1: no limit).
  void Wait(bool signal, int timeout_ms);

 private:
  int wake_[2] = {-1, -1};
};

}  // namespace tarvel
