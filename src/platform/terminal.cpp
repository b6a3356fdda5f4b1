#include "platform/terminal.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>

namespace tarvel {

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool StandardInputIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool BrokenPipe_Defer() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction before {};
  if (::sigaction(SIGPIPE, &ignore, &before) != 0) return false;
  return before.sa_handler != SIG_IGN;
}

bool StandardOutputReaderGone() {
  // A pipe without a reader polls as an error; a file, a terminal or a live pipe does not.
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}

void BrokenPipe_End() {
  std::signal(SIGPIPE, SIG_DFL);
  std::raise(SIGPIPE);
  ::_exit(128 + SIGPIPE);
}

}  // namespace tarvel
