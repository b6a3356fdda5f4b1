#include "platform/stoppable_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/stop_signals.h"

namespace tarvel {

namespace {

struct Input {
  int fd = -1;
  bool owned = false;
  // A pipe, a named pipe, a terminal or a socket, whose data may be long in coming; a regular
  // file's or a disk's never waits.
  bool may_wait = false;
};

ssize_t ReadInput(void* cookie, char* buffer, std::size_t size) {
  const Input& in = *static_cast<Input*>(cookie);
  for (;;) {
    if (StopSignals_Received() != 0) {
      errno = EINTR;
      return -1;
    }
    if (in.may_wait) {
      // A named pipe opened without waiting for its writer shows no hang-up before one came and
      // went, so that this waits for the writer as a blocking open would.
      pollfd ready[2] = {{in.fd, POLLIN, 0}, {StopSignals_Descriptor(), POLLIN, 0}};
      const int n = ::poll(ready, 2, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (ready[0].revents == 0) continue;  // the stop, seen above
    }
    const ssize_t got = ::read(in.fd, buffer, size);
    if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
  }
}

int CloseInput(void* cookie) {
  const Input* in = static_cast<Input*>(cookie);
  const int status = in->owned ? ::close(in->fd) : 0;
  delete in;
  return status;
}

}  // namespace

std::FILE* OpenStoppableInput(const std::string& path) {
  const bool standard_input = path == "-";
  // Without waiting for a named pipe's writer: the reads wait for it, watching for a stop.
  const int fd = standard_input
                     ? STDIN_FILENO
                     : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st {};
  const bool known = ::fstat(fd, &st) == 0;
  if (!standard_input && known && !S_ISFIFO(st.st_mode)) {
    // Only a pipe's reads are met by poll; the rest read as usual.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  auto* in = new (std::nothrow)
      Input{fd, !standard_input, !known || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))};
  std::FILE* file =
      in ? ::fopencookie(in, "rb", {ReadInput, nullptr, nullptr, CloseInput}) : nullptr;
  if (!file) {
    const int error = in ? errno : ENOMEM;
    if (in) delete in;
    if (!standard_input) ::close(fd);
    errno = error;
  }
  return file;
}

}  // namespace tarvel
