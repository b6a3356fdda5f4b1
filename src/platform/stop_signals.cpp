#include "platform/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <mutex>

namespace tarvel {

namespace {

// Written by the handler; lock-free atomics are safe to use there.
std::atomic<int> g_received{0};
int g_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int number) {
  int expected = 0;
  if (!g_received.compare_exchange_strong(expected, number)) {
    // The second one: what the signal does without a handler.
    std::signal(number, SIG_DFL);
    std::raise(number);
    return;
  }
  const char byte = 1;
  const ssize_t written = ::write(g_pipe[1], &byte, 1);
  (void)written;
}

}  // namespace

bool StopSignals_Install() {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] {
    static_assert(std::atomic<int>::is_always_lock_free);
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed = true;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
      // A signal the program was started with ignored (a job a shell runs in the background
      // ignores Ctrl-C) stays ignored.
      struct sigaction current {};
      if (::sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
      installed = ::sigaction(number, &action, nullptr) == 0 && installed;
    }
  });
  return installed;
}

int StopSignals_Received() {
  return g_received.load();
}

int StopSignals_Descriptor() {
  return g_pipe[0];
}

}  // namespace tarvel
