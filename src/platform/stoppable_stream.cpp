#include "platform/stoppable_stream.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <new>
#include <system_error>
#include <thread>

#include "platform/stop_signals.h"

namespace tarvel {

namespace {

struct Stream {
  int fd = -1;
  bool owned = false;
  // A pipe, a named pipe, a terminal or a socket, whose data or room may be long in coming; a
  // regular file's or a disk's never waits.
  bool may_wait = false;
  // A descriptor others share (standard output): left blocking, it is written no more at a time
  // than a pipe that polls writable takes whole.
  bool shared = false;
};

// After a stop, a write into a pipe goes on while its reader takes data (a picture is finished
// whole for a reader that reads), and ends once the reader has taken nothing for a second, or
// two seconds after the stop however little it takes at a time.
constexpr int kStoppedWriteWaitMs = 1000;
constexpr long long kStoppedWriteEndMs = 2000;

// Waits until `fd` is ready for `events` (or has failed: the call says how). False with errno
// EINTR once a stop signal has come and `fd` has not become ready within `after_stop_ms`, or
// once `end_ms` have passed since the stop.
bool WaitUntilReady(int fd, short events, int after_stop_ms, long long end_ms) {
  for (;;) {
    const long long since_stop = StopSignals_MillisecondsSince();
    const bool stopped = since_stop >= 0;
    if (stopped && since_stop >= end_ms) {
      errno = EINTR;
      return false;
    }
    const int wait_ms =
        stopped ? static_cast<int>(std::min<long long>(end_ms - since_stop, after_stop_ms)) : -1;
    pollfd ready[2] = {{fd, events, 0}, {StopSignals_Descriptor(), POLLIN, 0}};
    const int n = ::poll(ready, stopped ? 1 : 2, wait_ms);
    if (n < 0 && errno != EINTR) return false;
    if (n > 0 && ready[0].revents != 0) return true;
    if (stopped && n == 0) {
      errno = EINTR;
      return false;
    }
  }
}

ssize_t ReadInput(void* cookie, char* buffer, std::size_t size) {
  const Stream& in = *static_cast<Stream*>(cookie);
  for (;;) {
    if (StopSignals_Received() != 0) {
      errno = EINTR;
      return -1;
    }
    // A named pipe opened without waiting for its writer shows no hang-up before one came and
    // went, so that this waits for the writer as a blocking open would.
    if (in.may_wait && !WaitUntilReady(in.fd, POLLIN, 0, 0)) return -1;
    const ssize_t got = ::read(in.fd, buffer, size);
    if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
  }
}

ssize_t WriteOutput(void* cookie, const char* data, std::size_t size) {
  const Stream& out = *static_cast<Stream*>(cookie);
  std::size_t done = 0;
  while (done < size && WaitUntilReady(out.fd, POLLOUT, kStoppedWriteWaitMs, kStoppedWriteEndMs)) {
    const std::size_t chunk =
        out.shared ? std::min<std::size_t>(size - done, PIPE_BUF) : size - done;
    const ssize_t put = ::write(out.fd, data + done, chunk);
    if (put > 0) done += static_cast<std::size_t>(put);
    if (put < 0 && errno != EINTR && errno != EAGAIN) break;
  }
  // What was written, even on a failure: stdio takes the error from a short count, and a
  // negative one would make it copy past the data it was given.
  return static_cast<ssize_t>(done);
}

int CloseStream(void* cookie) {
  const Stream* stream = static_cast<Stream*>(cookie);
  const int status = stream->owned ? ::close(stream->fd) : 0;
  delete stream;
  return status;
}

std::FILE* StreamOf(Stream stream, const char* mode, cookie_io_functions_t functions) {
  auto* cookie = new (std::nothrow) Stream(stream);
  std::FILE* file = cookie ? ::fopencookie(cookie, mode, functions) : nullptr;
  if (!file) {
    const int error = cookie ? errno : ENOMEM;
    delete cookie;
    if (stream.owned) ::close(stream.fd);
    errno = error;
  }
  return file;
}

bool MayWait(int fd, bool* pipe) {
  struct stat st {};
  const bool known = ::fstat(fd, &st) == 0;
  if (pipe) *pipe = known && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
  return !known || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

// The open of a named pipe for writing waits for a reader; one made here for a moment, when a stop
// comes first, lets it end.
int OpenWhenReaderComes(const std::string& path) {
  // Both opens go through a handle on the pipe itself where /proc allows, so that the reader made
  // at a stop reaches the pipe the open waits on though its name was removed or given to another
  // file meanwhile.
  const int held = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (held < 0) return -1;
  const std::string held_path = "/proc/self/fd/" + std::to_string(held);
  struct stat st {};
  const std::string& pipe_path = ::stat(held_path.c_str(), &st) == 0 ? held_path : path;
  int done[2];
  if (::pipe2(done, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(held);
    errno = error;
    return -1;
  }
  int fd = -1, error = 0;
  try {
    std::thread opener([&] {
      fd = ::open(pipe_path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      error = errno;
      ::close(done[1]);
    });
    pollfd ready[2] = {{done[0], POLLIN, 0}, {StopSignals_Descriptor(), POLLIN, 0}};
    while (::poll(ready, 2, -1) <= 0 || (ready[0].revents == 0 && StopSignals_Received() == 0)) {
    }
    const int release =
        ready[0].revents == 0 ? ::open(pipe_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    opener.join();
    if (release >= 0) ::close(release);
  } catch (const std::system_error& failure) {
    ::close(done[1]);
    error = failure.code().value();
  }
  ::close(done[0]);
  ::close(held);
  if (fd >= 0 && StopSignals_Received() != 0) {
    ::close(fd);
    fd = -1;
    error = EINTR;
  }
  errno = error;
  return fd;
}

// A stream writing `fd`, which it closes; the descriptor is closed when none can be made.
std::FILE* WriteStreamOf(int fd) {
  std::FILE* file = ::fdopen(fd, "wb");
  if (!file) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return file;
}

}  // namespace

std::FILE* OpenStoppableInput(const std::string& path) {
  const bool standard_input = path == "-";
  // Without waiting for a named pipe's writer: the reads wait for it, watching for a stop.
  const int fd = standard_input
                     ? STDIN_FILENO
                     : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  bool pipe = false;
  const bool may_wait = MayWait(fd, &pipe);
  if (!standard_input && !pipe) {
    // Only a pipe's reads are met by poll; the rest read as usual.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  return StreamOf({fd, !standard_input, may_wait, false}, "rb",
                  {ReadInput, nullptr, nullptr, CloseStream});
}

std::FILE* OpenStoppableOutput(const std::string& path) {
  const bool standard_output = path == "-";
  // Without waiting for a named pipe's reader: when none is there yet, a helper thread waits.
  int fd = standard_output
               ? STDOUT_FILENO
               : ::open(path.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0 && errno == ENXIO) fd = OpenWhenReaderComes(path);
  if (fd < 0) return nullptr;
  bool pipe = false;
  MayWait(fd, &pipe);
  if (standard_output && !pipe) return stdout;
  // A pipe of its own is written without blocking (its writes return what the pipe took); the
  // rest as usual.
  const int flags = ::fcntl(fd, F_GETFL);
  if (!standard_output && flags >= 0)
    ::fcntl(fd, F_SETFL, pipe ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
  if (!pipe) return WriteStreamOf(fd);
  // Standard output's pipe gets a description of its own, which may be made non-blocking
  // without changing it for the programs that share the other (a socket has no such second
  // open, and is written a little at a time).
  Stream stream{fd, !standard_output, true, false};
  if (standard_output) {
    stream.fd = ::open("/proc/self/fd/1", O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    stream.owned = stream.fd >= 0;
    stream.shared = !stream.owned;
    if (!stream.owned) stream.fd = fd;
  }
  return StreamOf(stream, "wb", {nullptr, WriteOutput, nullptr, CloseStream});
}

int WritableFileDescriptorNamed(const std::string& path, bool* appending) {
  if (path.empty() || path == "-") return -1;
  std::error_code code;
  const std::filesystem::path descriptors = "/proc/" + std::to_string(::getpid()) + "/fd";
  std::filesystem::path hop = path;
  for (int hops = 0; hops < 40; ++hops) {
    const std::string name = hop.filename().string();
    if (!name.empty() && name.size() < 10 &&
        std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      const auto folder = std::filesystem::weakly_canonical(
          std::filesystem::absolute(hop, code).parent_path(), code);
      if (!code && folder == descriptors) {
        const int fd = std::stoi(name);
        struct stat status {};
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || ::fstat(fd, &status) != 0 ||
            !S_ISREG(status.st_mode))
          return -1;
        *appending = (flags & O_APPEND) != 0;
        return fd;
      }
    }
    if (!std::filesystem::is_symlink(hop, code)) break;
    std::filesystem::path target = std::filesystem::read_symlink(hop, code);
    if (code) break;
    hop = target.is_absolute() ? std::move(target) : hop.parent_path() / target;
  }
  return -1;
}

std::FILE* OpenDescriptorOutput(int fd) {
  if (fd == STDOUT_FILENO && std::fflush(stdout) != 0) return nullptr;
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  return copy < 0 ? nullptr : WriteStreamOf(copy);
}

bool SameNamedPipe(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         S_ISFIFO(first.st_mode) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace tarvel
