// Finding and running helper programs, where the running program lives, and stop signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <filesystem>
#include <thread>

#include "platform/process.h"
#include "platform/stop_signals.h"
#include "platform/terminal.h"
#include "platform/user_files.h"
#include "support/scratch.h"

namespace tarvel {
namespace {

using test::ScopedEnv;
using test::ScratchFolder;
using test::WriteBytes;

TEST(UserFiles, ProgramFolderIsTheExecutablesFolder) {
  EXPECT_EQ(ProgramDirectoryOf("/opt/tarvel/bin/tarvel"), "/opt/tarvel/bin");
  EXPECT_EQ(ProgramDirectoryOf("/tarvel"), "");
  EXPECT_EQ(ProgramDirectoryOf("tarvel"), "");
  std::string exe = RunningExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(std::filesystem::path(exe).filename(), "platform_tests");
  EXPECT_EQ(RunningProgramDirectory(), std::filesystem::path(exe).parent_path().string());
}

// A program upgraded or rebuilt while it runs is named by its path, as the desktop would start
// it: registering it must not write "tarvel (deleted)" into the desktop entry.
TEST(UserFiles, AProgramRemovedSinceItStartedIsNamedByItsPath) {
  ScratchFolder scratch;
  const auto run_copy = [](const std::string& path) {
    std::filesystem::copy_file("/bin/sleep", path);
    int exec_done[2];
    EXPECT_EQ(::pipe2(exec_done, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::execl(path.c_str(), path.c_str(), "30", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(exec_done[1]);
    char byte;
    EXPECT_EQ(::read(exec_done[0], &byte, 1), 0);  // closed by the exec
    ::close(exec_done[0]);
    return child;
  };
  const std::string program = scratch / "program";
  const pid_t removed = run_copy(program);
  std::filesystem::remove(program);
  EXPECT_EQ(ExecutablePathOf("/proc/" + std::to_string(removed) + "/exe"), program);
  const std::string odd = scratch / "odd (deleted)";  // a name that only looks so
  const pid_t named = run_copy(odd);
  EXPECT_EQ(ExecutablePathOf("/proc/" + std::to_string(named) + "/exe"), odd);
  for (const pid_t child : {removed, named}) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
}

TEST(Process, StartFailuresAndTimeouts) {
  ScratchFolder scratch;
  WriteBytes(scratch / "not-a-program",
             "\x7f"
             "garbage");
  ::chmod((scratch / "not-a-program").c_str(), 0755);
  EXPECT_EQ(RunAndWait({scratch / "not-a-program"}, std::chrono::seconds(5)).status,
            kToolDidNotStart);
  EXPECT_EQ(RunAndWait({scratch / "missing"}, std::chrono::seconds(5)).status, kToolDidNotStart);

  WriteBytes(scratch / "slow", "#!/bin/sh\nexec sleep 30\n");
  ::chmod((scratch / "slow").c_str(), 0755);
  ScopedEnv path("PATH", "/usr/bin:/bin");
  EXPECT_EQ(RunAndWait({scratch / "slow"}, std::chrono::milliseconds(200)).status, kToolTimedOut);
  // A script stopped for taking too long takes the program it was waiting for with it.
  WriteBytes(scratch / "waits", "#!/bin/sh\nsleep 30 &\necho $! > \"$1\"\nwait\n");
  ::chmod((scratch / "waits").c_str(), 0755);
  const std::string started = scratch / "started";
  EXPECT_EQ(RunAndWait({scratch / "waits", started}, std::chrono::seconds(2)).status,
            kToolTimedOut);
  std::string sleeper;
  ASSERT_EQ(ReadSmallFile(started, 64, sleeper), kFileOk);
  // Killed: it ends at once (or has ended), not after its 30 seconds.
  const int handle = static_cast<int>(::syscall(SYS_pidfd_open, std::stoi(sleeper), 0));
  if (handle >= 0) {
    pollfd ended{handle, POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 10000), 1);
    ::close(handle);
  } else {
    EXPECT_EQ(errno, ESRCH);
  }

  const ToolRun failed = RunAndWait({"/bin/sh", "-c", "exit 3"}, std::chrono::seconds(30));
  EXPECT_EQ(failed.status, kToolRan);
  EXPECT_EQ(failed.exit_code, 3);
  // Started with SIGCHLD ignored, as some parents leave it, the tool is still waited for.
  std::signal(SIGCHLD, SIG_IGN);
  const ToolRun unreaped = RunAndWait({"/bin/sh", "-c", "exit 3"}, std::chrono::seconds(5));
  std::signal(SIGCHLD, SIG_DFL);
  EXPECT_EQ(unreaped.status, kToolRan);
  EXPECT_EQ(unreaped.exit_code, 3);
  // The programs ignore a file size limit's signal and kqm a broken pipe's for their own
  // sake; a tool they run is ended by either, as any program is.
  for (const int number : {SIGXFSZ, SIGPIPE}) {
    const auto before = std::signal(number, SIG_IGN);
    const ToolRun signalled =
        RunAndWait({"/bin/sh", "-c", "kill -" + std::to_string(number) + " $$; exit 0"},
                   std::chrono::seconds(30));
    std::signal(number, before);
    EXPECT_EQ(signalled.status, kToolRan);
    EXPECT_EQ(signalled.exit_code, 128 + number);
  }

  WriteBytes(scratch / "plain", "#!/bin/sh\nexit 0\n");  // not executable
  EXPECT_EQ(FindOnPath("plain", scratch.path()), "");
  EXPECT_EQ(FindOnPath("slow", "::" + scratch.path() + "/"), scratch / "slow");
  EXPECT_EQ(FindOnPath("../slow", scratch / "x"), "");
}

// Started with standard error closed (`2>&-`), the program keeps its number from the files it
// opens: messages would go into them (into the X server's connection, for the player).
// So too where there is no /dev/null to hold it with (a sandbox without /dev).
TEST(StandardStreams, AClosedOneIsHeldSoThatNoFileTakesItsNumber) {
  for (const char* placeholder : {"/dev/null", "/no/such/null"}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(STDERR_FILENO);
      StandardStreams_HoldClosed(placeholder);
      const int opened = ::open("/dev/null", O_WRONLY);
      // Still no stream to write to.
      const bool unwritable = ::write(STDERR_FILENO, "x", 1) < 0 && errno == EBADF;
      ::_exit(opened > STDERR_FILENO && unwritable ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << placeholder << ": " << status;
  }
}

// A file name is written on one line with nothing a terminal acts on: C0 controls, and C1
// controls in their UTF-8 form (U+009B is a terminal's CSI, as ESC [ is), as \xNN escapes;
// other characters, U+00A0 and U+00E9 among them, as they are.
TEST(StandardStreams, ANamesControlCharactersAreWrittenAsEscapes) {
  EXPECT_EQ(PrintableName("a\nb\x1B[2J\x7F"), "a\\x0Ab\\x1B[2J\\x7F");
  EXPECT_EQ(PrintableName("\xC2\x9B"
                          "2J\xC2\x80\xC2\xA0\xC3\xA9\xC2"),
            "\\xC2\\x9B2J\\xC2\\x80\xC2\xA0\xC3\xA9\xC2");
}

// In a character set of C1 control bytes (ISO 8859-1), a lone 0x9B is the terminal's CSI: every
// byte 0x80 to 0x9F is escaped there, letters such as 0xE9 and 0xA0 are not. UTF-8 has no such
// bytes.
TEST(StandardStreams, C1ControlBytesAreEscapedInACharsetOfThem) {
  ASSERT_TRUE(LocaleHasC1ControlBytes("de_DE.ISO-8859-1")) << "scripts/setup makes this locale";
  EXPECT_FALSE(LocaleHasC1ControlBytes("C.UTF-8"));
  EXPECT_FALSE(LocaleHasC1ControlBytes("C"));
  EXPECT_EQ(PrintableName("a\x9B"
                          "2J\x80\x9F\xA0\xE9",
                          true),
            "a\\x9B2J\\x80\\x9F\xA0\xE9");
  EXPECT_EQ(PrintableName("\xC5\x9B", false), "\xC5\x9B");
}

// Who sends a signal: a process (kill), no process, as for the terminal's keys (sigqueue), or
// the process that started the program (a wrapper).
enum Sender { kProcess, kSystem, kParent };

// Sends `sent` in a child of its own with the handlers installed: the signal that ended it, 0 when
// it lived on with the request recorded and its descriptor readable, -1 otherwise.
int SignalThatEnded(std::initializer_list<std::pair<int, Sender>> sent) {
  int ask[2];
  int sent_back[2];
  if (::pipe(ask) != 0 || ::pipe(sent_back) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    // Whatever the test runner was started with.
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) std::signal(number, SIG_DFL);
    if (!StopSignals_Install()) ::_exit(1);
    for (const auto& [number, sender] : sent) {
      char byte = 0;
      if (sender == kProcess) ::kill(::getpid(), number);
      if (sender == kSystem) ::sigqueue(::getpid(), number, sigval{});
      // The parent answers once it has sent it: by then it has come.
      if (sender == kParent && (::write(ask[1], &number, sizeof number) != sizeof number ||
                                ::read(sent_back[0], &byte, 1) != 1))
        ::_exit(3);
    }
    pollfd ready{StopSignals_Descriptor(), POLLIN, 0};
    ::_exit(StopSignals_Received() != 0 && ::poll(&ready, 1, 0) == 1 ? 0 : 2);
  }
  // The answer's reading end stays open here too: a child the signal ended takes its own along.
  ::close(ask[1]);
  int number = 0;
  while (child > 0 && ::read(ask[0], &number, sizeof number) == sizeof number) {
    ::kill(child, number);
    if (::write(sent_back[1], "!", 1) != 1) break;
  }
  for (const int end : {ask[0], sent_back[0], sent_back[1]}) ::close(end);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

TEST(StopSignals, TheFirstIsRecordedItsRepeatIsNotTheSecondEndsTheProgram) {
  // Sent twice at once by one process, as `timeout` sends it: one request.
  EXPECT_EQ(SignalThatEnded({{SIGTERM, kProcess}, {SIGTERM, kProcess}}), 0);
  EXPECT_EQ(SignalThatEnded({{SIGTERM, kProcess}, {SIGINT, kProcess}}), SIGINT);
  // A closed terminal: the shell hands SIGHUP to its jobs, the system sends it as the shell ends.
  EXPECT_EQ(SignalThatEnded({{SIGHUP, kProcess}, {SIGHUP, kSystem}}), 0);
  // A login session ended by the service manager: SIGTERM and at once SIGHUP, from one process.
  EXPECT_EQ(SignalThatEnded({{SIGTERM, kProcess}, {SIGHUP, kProcess}}), 0);
  // Ctrl-C reaches the program and a wrapper that passes it on: one request; pressed again, two.
  EXPECT_EQ(SignalThatEnded({{SIGINT, kSystem}, {SIGINT, kProcess}}), 0);
  EXPECT_EQ(SignalThatEnded({{SIGINT, kSystem}, {SIGINT, kProcess}, {SIGINT, kSystem}}), SIGINT);
  // Sent to the process group (kill -TERM -PGID, a service manager's stop) and passed on by the
  // wrapper that started the program, which got it too: one request. A user's kill after the
  // wrapper's is a second one.
  EXPECT_EQ(SignalThatEnded({{SIGTERM, kProcess}, {SIGTERM, kParent}}), 0);
  EXPECT_EQ(SignalThatEnded({{SIGTERM, kParent}, {SIGTERM, kProcess}}), SIGTERM);
}

TEST(StopSignals, TheSecondEndsTheFirstProcessOfANamespace) {
  // A container's first process is spared a signal's default action: it exits instead.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWPID) != 0) ::_exit(77);
    const pid_t first = ::fork();  // process 1 of the new namespace
    if (first == 0) {
      std::signal(SIGINT, SIG_DFL);
      std::signal(SIGTERM, SIG_DFL);
      if (!StopSignals_Install()) ::_exit(1);
      std::raise(SIGTERM);
      std::raise(SIGINT);
      ::_exit(3);
    }
    int status = 0;
    if (first < 0 || ::waitpid(first, &status, 0) != first || !WIFEXITED(status)) ::_exit(4);
    ::_exit(WEXITSTATUS(status));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no new process namespace allowed";
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
}

TEST(StopSignals, AStopEndsTheWaitForAProgram) {
  // Ctrl-C while the player waits for a desktop tool: it stops waiting, and starts no other.
  int started[2];
  ASSERT_EQ(::pipe(started), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGTERM, SIG_DFL);
    if (!StopSignals_Install() || ::write(started[1], "!", 1) != 1) ::_exit(1);
    const bool stopped =
        RunAndWait({"/bin/sleep", "30"}, std::chrono::seconds(30)).status == kToolStopped;
    const bool skipped = RunAndWait({"/bin/true"}, std::chrono::seconds(30)).status == kToolStopped;
    ::_exit(stopped && skipped ? 0 : 2);
  }
  char byte = 0;
  ASSERT_EQ(::read(started[0], &byte, 1), 1);
  ::kill(child, SIGTERM);  // before the program starts, or while it runs: the same
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::close(started[0]);
  ::close(started[1]);
}

TEST(StopSignals, AStopEndsAWaitThatHasNoTimer) {
  // `kqm play` waiting for the end of playback looked for a stop 10 times a second.
  int started[2];
  ASSERT_EQ(::pipe(started), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGTERM, SIG_DFL);
    ::alarm(60);  // a wait the stop does not end fails the test rather than hang it
    StopSignalWait wait;
    if (!StopSignals_Install() || !wait.ok()) ::_exit(1);
    // The signal comes to another thread, as to one of the engine's: the wait is not interrupted.
    std::thread other([] { ::pause(); });
    other.detach();
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    if (::pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0 || ::write(started[1], "!", 1) != 1)
      ::_exit(1);
    wait.Wait(/*signal=*/true, -1);
    ::_exit(StopSignals_Received() == SIGTERM ? 0 : 2);
  }
  char byte = 0;
  ASSERT_EQ(::read(started[0], &byte, 1), 1);
  ::kill(child, SIGTERM);  // before the wait begins, or during it: the same
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::close(started[0]);
  ::close(started[1]);
}

TEST(StopSignals, ASignalIgnoredAtStartStaysIgnored) {
  // As a shell starts a job in the background, with Ctrl-C ignored.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_DFL);
    if (!StopSignals_Install()) ::_exit(1);
    std::raise(SIGINT);
    if (StopSignals_Received() != 0) ::_exit(2);
    std::raise(SIGTERM);
    ::_exit(StopSignals_Received() == SIGTERM ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tarvel
