#include "platform/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tarvel {

namespace {

// Written by the handler; lock-free atomics are safe to use there.
// The first request: its signal in the high half (0 while none came), the process that sent it in
// the low half (0: the kernel, as for a terminal's Ctrl-C); and when it came (0: just now, not yet
// written).
std::atomic<std::uint64_t> g_request{0};
std::atomic<long long> g_request_ms{0};
int g_pipe[2] = {-1, -1};

// The same signal again this soon is the same request when it comes from the process that sent
// the first (`timeout` signals the program and then its whole process group), from a process
// after the system or the other way round (a terminal's Ctrl-C reaches the program and a wrapper
// in its process group that passes it on), or from the program's parent after anyone (a wrapper
// passing on a signal sent to its process group). Two from the system are two presses of Ctrl-C.
constexpr long long kSameRequestMs = 1000;

long long MonotonicMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);  // safe in a handler
  return std::max(1LL, static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
}

// The temporary files that a signal ending the program at once removes, each in a slot of its
// own. A slot is written by the thread that holds it, while a handler may read it on any thread:
// its sequence is odd while it is written, and the handler removes only a path it read whole
// between two equal even values. Every access is sequentially consistent, so that the path's
// bytes are ordered between the two sequence values without fences (which ThreadSanitizer does
// not follow); a path is written once per file.
constexpr std::size_t kTemporarySlots = 16;
constexpr std::size_t kTemporaryPathBytes = 4096;
static_assert(std::atomic<char>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free);
struct TemporarySlot {
  std::atomic<bool> held{false};
  std::atomic<unsigned> sequence{0};
  std::atomic<char> path[kTemporaryPathBytes]{};
};
TemporarySlot g_temporary_slots[kTemporarySlots];

void SetTemporaryPath(TemporarySlot& slot, const char* path, std::size_t length) {
  const unsigned sequence = slot.sequence.load();
  slot.sequence.store(sequence + 1);
  for (std::size_t i = 0; i < length; ++i) slot.path[i].store(path[i]);
  slot.path[length].store('\0');
  slot.sequence.store(sequence + 2);
}

// Safe in a signal handler.
void RemoveTemporaryFiles() {
  const int saved_errno = errno;
  char path[kTemporaryPathBytes];
  for (TemporarySlot& slot : g_temporary_slots) {
    const unsigned before = slot.sequence.load();
    if (before % 2 != 0) continue;
    std::size_t length = 0;
    while (length + 1 < kTemporaryPathBytes && (path[length] = slot.path[length].load()) != '\0')
      ++length;
    path[length] = '\0';
    if (length > 0 && slot.sequence.load() == before) ::unlink(path);
  }
  errno = saved_errno;
}

extern "C" void OnQuitSignal(int number) {
  EndAsSignalDoes(number);
}

extern "C" void OnStopSignal(int number, siginfo_t* info, void* /*context*/) {
  // The thread it interrupts may be about to read errno of a call that just failed.
  const int saved_errno = errno;
  const std::uint32_t sender =
      info != nullptr && info->si_code == SI_USER ? static_cast<std::uint32_t>(info->si_pid) : 0;
  const std::uint64_t request = (std::uint64_t{static_cast<std::uint32_t>(number)} << 32) | sender;
  std::uint64_t first = 0;
  if (!g_request.compare_exchange_strong(first, request)) {
    const long long first_ms = g_request_ms.load();
    // A hang-up says that the terminal or the login session has gone, never "now": a closed
    // terminal's comes twice, from the shell and from the system, and a service manager ending
    // a login session sends it right after its SIGTERM.
    // The process that started the program (a wrapper such as `timeout`) passes on what its
    // process group or its service got as well: after another sender, it is no second one.
    const auto first_sender = static_cast<std::uint32_t>(first);
    const bool from_parent = sender != 0 && sender == static_cast<std::uint32_t>(::getppid());
    const bool same = number == SIGHUP || (static_cast<int>(first >> 32) == number &&
                                           ((sender == 0) != (first_sender == 0) || from_parent ||
                                            (sender != 0 && sender == first_sender)));
    if (same && (first_ms == 0 || MonotonicMs() - first_ms < kSameRequestMs)) {
      errno = saved_errno;
      return;
    }
    // The second one: what the signal does without a handler.
    EndAsSignalDoes(number);
  }
  g_request_ms = MonotonicMs();
  const char byte = 1;
  const ssize_t written = ::write(g_pipe[1], &byte, 1);
  (void)written;
  errno = saved_errno;
}

}  // namespace

int StopSignals_AddTemporaryFile(const char* path) {
  static std::once_flag once;
  std::call_once(once, [] {
    // A program started with it ignored keeps it so, as the stop signals.
    struct sigaction current {};
    if (::sigaction(SIGQUIT, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = &OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGQUIT, &action, nullptr);
  });
  const std::size_t length = std::strlen(path);
  if (length == 0 || length >= kTemporaryPathBytes) return -1;
  for (std::size_t i = 0; i < kTemporarySlots; ++i) {
    bool held = false;
    if (!g_temporary_slots[i].held.compare_exchange_strong(held, true)) continue;
    SetTemporaryPath(g_temporary_slots[i], path, length);
    return static_cast<int>(i);
  }
  return -1;
}

void StopSignals_RemoveTemporaryFile(int token) {
  if (token < 0 || static_cast<std::size_t>(token) >= kTemporarySlots) return;
  SetTemporaryPath(g_temporary_slots[token], "", 0);
  g_temporary_slots[token].held.store(false);
}

void EndAsSignalDoes(int number) {
  RemoveTemporaryFiles();
  std::signal(number, SIG_DFL);
  std::raise(number);
  // Blocked in its own handler, it ends the program once let through. The first process of a
  // process namespace (a container's) is spared a signal's default action: it exits instead,
  // with the status a shell gives a program the signal ended.
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, number);
  ::pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
  ::_exit(128 + number);
}

bool StopSignals_Install() {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] {
    static_assert(std::atomic<long long>::is_always_lock_free);
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_sigaction = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    installed = true;
    sigset_t handled;
    sigemptyset(&handled);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
      // A signal the program was started with ignored (a job a shell runs in the background
      // ignores Ctrl-C) stays ignored.
      struct sigaction current {};
      if (::sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
      installed = ::sigaction(number, &action, nullptr) == 0 && installed;
      sigaddset(&handled, number);
    }
    // One the program was started with blocked (some job runners block SIGTERM in the mask their
    // jobs inherit) would wait unseen, the program deaf to all but SIGKILL: it is let through.
    ::pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
  });
  return installed;
}

int StopSignals_Received() {
  return static_cast<int>(g_request.load() >> 32);
}

bool StopSignals_Came(void* /*user*/) {
  return StopSignals_Received() != 0;
}

long long StopSignals_MillisecondsSince() {
  if (StopSignals_Received() == 0) return -1;
  // Not yet written by the handler that is recording it: it comes now.
  const long long at = g_request_ms.load();
  return at == 0 ? 0 : std::max(0LL, MonotonicMs() - at);
}

int StopSignals_Descriptor() {
  return g_pipe[0];
}

StopSignalWait::StopSignalWait() {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

StopSignalWait::~StopSignalWait() {
  for (const int fd : wake_)
    if (fd >= 0) ::close(fd);
}

void StopSignalWait::Wake() {
  if (wake_[1] < 0) return;
  const int saved_errno = errno;
  // A full pipe is woken already.
  const char byte = 1;
  const ssize_t written = ::write(wake_[1], &byte, 1);
  (void)written;
  errno = saved_errno;
}

void StopSignalWait::Wait(bool signal, int timeout_ms) {
  pollfd ready[2] = {{wake_[0], POLLIN, 0}, {StopSignals_Descriptor(), POLLIN, 0}};
  const nfds_t watched = signal && ready[1].fd >= 0 ? 2 : 1;
  // Interrupted by a signal, it returns: the caller looks at what came.
  if (::poll(ready, watched, timeout_ms) <= 0 || ready[0].revents == 0) return;
  char bytes[64];
  while (::read(wake_[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace tarvel
