#include "platform/process.h"

#include "platform/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <string_view>
#include <thread>

namespace tarvel {

namespace {

// Waits until the child `pid` ends, `deadline` passes or a stop signal comes (StopSignals);
// true when it ended (and is not yet reaped). Where the kernel has no process descriptors, it
// looks every few milliseconds.
bool WaitForEnd(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  // Called directly: the C library's own wrapper is missing from some versions.
  const int handle = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (handle >= 0) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      // The stop signal's descriptor is only watched: its byte stays for the program's loop.
      pollfd ready[2] = {{handle, POLLIN, 0}, {StopSignals_Descriptor(), POLLIN, 0}};
      const int n =
          ::poll(ready, 2, static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX)));
      if (n > 0 && (ready[0].revents & POLLIN) != 0) {
        ::close(handle);
        return true;
      }
      if (n == 0 || (n < 0 && errno != EINTR) || StopSignals_Received() != 0) {
        ::close(handle);
        return false;
      }
    }
  }
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid)
      return true;
    if (std::chrono::steady_clock::now() >= deadline || StopSignals_Received() != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::string FindOnPath(std::string_view name, std::string_view path_variable) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::string();
  std::size_t start = 0;
  while (start <= path_variable.size()) {
    std::size_t end = path_variable.find(':', start);
    if (end == std::string_view::npos) end = path_variable.size();
    std::string_view folder = path_variable.substr(start, end - start);
    start = end + 1;
    // An empty entry would mean the current folder; neither it nor relative ones are trusted.
    if (folder.empty() || folder.front() != '/') continue;
    std::string candidate(folder);
    if (candidate.back() != '/') candidate += '/';
    candidate += name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::string();
}

ToolRun RunAndWait(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                   const std::vector<std::string>& replaced) {
  ToolRun run;
  run.status = kToolDidNotStart;
  if (argv.empty()) return run;
  run.name = argv.front();
  if (StopSignals_Received() != 0) {
    run.status = kToolStopped;
    return run;
  }
  // A program started with SIGCHLD ignored (a parent's choice that outlives exec) has its children
  // reaped by the system as they end: the tool's end and its status could not be waited for.
  struct sigaction child_ended {};
  if (::sigaction(SIGCHLD, nullptr, &child_ended) == 0 && child_ended.sa_handler == SIG_IGN)
    ::signal(SIGCHLD, SIG_DFL);
  // Everything the child needs is prepared before the fork.
  std::vector<std::string> copies = argv;
  std::vector<char*> args;
  for (std::string& a : copies) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<std::string> variables = replaced;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    const std::string_view name = variable.substr(0, variable.find('=') + 1);
    if (std::none_of(replaced.begin(), replaced.end(), [name](const std::string& r) {
          return std::string_view(r).substr(0, r.find('=') + 1) == name;
        }))
      variables.emplace_back(variable);
  }
  std::vector<char*> environment;
  for (std::string& v : variables) environment.push_back(v.data());
  environment.push_back(nullptr);
  int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  // The child reports a failed exec through this pipe; a successful exec closes it empty.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    if (input >= 0) ::close(input);
    return run;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    // A process group of its own, so that a tool stopped for taking too long goes with the
    // programs it started (xdg-mime is a script: its children outlived it). Writes to the
    // terminal stay allowed outside the terminal's foreground group.
    ::setpgid(0, 0);
    ::signal(SIGTTOU, SIG_IGN);
    // A file size limit's signal and a broken pipe's are ignored by this program for its own
    // sake (it reports them as errors); an ignored signal outlives exec, and the tool would
    // write on past either where it should end.
    ::signal(SIGXFSZ, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    if (input >= 0) ::dup2(input, STDIN_FILENO);
    ::execve(args[0], args.data(), environment.data());
    int error = errno;
    ssize_t ignored = ::write(report[1], &error, sizeof error);
    (void)ignored;
    ::_exit(127);
  }
  if (input >= 0) ::close(input);
  ::close(report[1]);
  if (pid < 0) {
    ::close(report[0]);
    return run;
  }
  ::setpgid(pid, pid);  // also here, so that the group exists whichever runs first
  int exec_error = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);

  const bool ended = WaitForEnd(pid, std::chrono::steady_clock::now() + timeout);
  if (!ended) ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = -1;
      break;
    }
  }
  if (got > 0) return run;  // exec failed: the program never ran
  if (!ended) {
    run.status = StopSignals_Received() != 0 ? kToolStopped : kToolTimedOut;
    return run;
  }
  run.status = kToolRan;
  if (status >= 0 && WIFEXITED(status)) {
    run.exit_code = WEXITSTATUS(status);
  } else if (status >= 0 && WIFSIGNALED(status)) {
    run.exit_code = 128 + WTERMSIG(status);
  } else {
    run.exit_code = -1;
  }
  return run;
}

}  // namespace tarvel
