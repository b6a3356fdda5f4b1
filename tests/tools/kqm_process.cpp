// Runs the kqm program as a child process (kqm_run.h).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "kqm_run.h"

namespace tarvel::test {

namespace {

// The state letter of process `pid` ('S' while it sleeps, waiting for something).
char ProcessState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto end = line.rfind(')');
  return end != std::string::npos && end + 2 < line.size() ? line[end + 2] : '?';
}

// Whether signal `number` is set in the mask `field` ("SigCgt", "ShdPnd") of process `pid`.
bool SignalIn(pid_t pid, const char* field, int number) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = std::string(field) + ":";
  for (std::string line; std::getline(status, line);)
    if (line.rfind(prefix, 0) == 0)
      return (std::stoull(line.substr(prefix.size()), nullptr, 16) >> (number - 1)) & 1;
  return false;
}

// Whether process `pid` has taken signal `number` whole: it is no longer pending, and every
// thread sleeps again (or has ended), so that no handler of it is still running.
bool TookSignal(pid_t pid, int number) {
  if (SignalIn(pid, "ShdPnd", number)) return false;
  std::error_code code;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, code)) {
    const char state = ProcessState(static_cast<pid_t>(std::stol(task.path().filename())));
    if (state != 'S' && state != 'Z' && state != '?') return false;
  }
  return true;
}

// Whether a file in `folder` holds data.
bool HoldsData(const std::string& folder) {
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(folder, code))
    if (entry.is_regular_file(code) && entry.file_size(code) > 0) return true;
  return false;
}

}  // namespace

KqmResult RunKqmProcess(const std::vector<std::string>& args, const ProcessOptions& options) {
  KqmResult result;
  // A child that stops reading early must not take the test down with it.
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    // As a command run in the foreground from a terminal, even when these tests run in the
    // background (where a shell ignores Ctrl-C for them, which a child would keep).
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    // Nor does a child the tests end with SIGQUIT leave a core file.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(SIGXFSZ, SIG_DFL);
    if (options.memory_limit != 0) {
      const rlimit limit{options.memory_limit, options.memory_limit};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (options.file_size_limit != 0) {
      const rlimit limit{options.file_size_limit, options.file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.cpu_limit_seconds != 0) {
      const auto seconds = static_cast<rlim_t>(options.cpu_limit_seconds);
      const rlimit limit{seconds, seconds + 1};
      signal(SIGXCPU, SIG_DFL);
      setrlimit(RLIMIT_CPU, &limit);
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    if (options.blocked_signal != 0) sigaddset(&blocked, options.blocked_signal);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    if (options.blocked_signal_pending && options.blocked_signal != 0)
      raise(options.blocked_signal);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<std::string> words = {TARVEL_KQM};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    execv(TARVEL_KQM, argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (options.output_gone) close(out[0]);
  // Feed the input, read both outputs, and send the signals when asked; all without blocking on
  // any one of them.
  std::size_t fed = 0;
  bool input_open = !options.input.empty(), err_open = true;
  bool out_open = !options.output_gone && !options.output_unread;
  bool signalled = false;
  bool input_held = options.hold_input;
  if (!input_open && !input_held) close(in[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  if (options.output_trickled) fcntl(out[0], F_SETFL, O_NONBLOCK);
  while (out_open || err_open) {
    // A slow reader takes a page a quarter of a second after the last, until the child ends; it
    // then takes the rest.
    const bool paced = options.output_trickled && (!signalled || err_open);
    if (paced && signalled) {
      poll(nullptr, 0, 250);
      char page[4096];
      const ssize_t n = read(out[0], page, sizeof page);
      if (n > 0) result.out.append(page, static_cast<std::size_t>(n));
    }
    pollfd fds[3] = {{out_open && !paced ? out[0] : -1, POLLIN, 0},
                     {err_open ? err[0] : -1, POLLIN, 0},
                     {in[1], POLLOUT, 0}};
    // Watching for the child to fall asleep or to write, it is looked at every few milliseconds.
    const bool watch =
        (options.signal_when_asleep || !options.signal_when_written_in.empty()) && !signalled;
    if (poll(fds, input_open ? 3 : 2,
             watch                ? 5
             : paced && signalled ? 0
                                  : -1) < 0 &&
        errno != EINTR)
      break;
    char buffer[65536];
    for (int k = 0; k < 2; ++k) {
      if (!(fds[k].revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
      if (n <= 0) {
        (k == 0 ? out_open : err_open) = false;
        continue;
      }
      (k == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
    }
    if (input_open && (fds[2].revents & (POLLOUT | POLLERR))) {
      const ssize_t n = write(in[1], options.input.data() + fed, options.input.size() - fed);
      if (n > 0) fed += static_cast<std::size_t>(n);
      if (n < 0 || fed == options.input.size()) {
        if (!input_held) close(in[1]);
        input_open = false;
      }
    }
    const bool due =
        options.signal_when_asleep
            ? !input_open && ProcessState(child) == 'S' && SignalIn(child, "SigCgt", options.signal)
        : !options.signal_when_written_in.empty() ? HoldsData(options.signal_when_written_in)
        : options.signal_when.empty()             ? !result.out.empty()
                                      : result.err.find(options.signal_when) != std::string::npos;
    if (options.signal && !signalled && due) {
      if (!options.removed_before_signal.empty()) unlink(options.removed_before_signal.c_str());
      kill(child, options.signal);
      // The second comes once the first has been handled: sent at once, it could be taken
      // inside the first one's handler, before that had counted its own request.
      if (options.second_signal != 0) {
        // A child the first signal ended is a zombie that may show it pending for good.
        while (!TookSignal(child, options.signal) && ProcessState(child) != 'Z')
          poll(nullptr, 0, 1);
        kill(child, options.second_signal);
      }
      signalled = true;
      if (input_held && !input_open) close(in[1]);
      input_held = false;
    }
  }
  if (input_open || input_held) close(in[1]);
  if (!options.output_gone) close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace tarvel::test
