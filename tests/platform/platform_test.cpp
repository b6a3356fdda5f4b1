// Semaphores, worker threads, the periodic timer and the debug output.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/debug_output.h"
#include "platform/periodic_timer.h"
#include "platform/semaphore.h"
#include "platform/utf8.h"
#include "platform/worker_thread.h"

namespace tarvel {
namespace {

TEST(Semaphore, CountsUpToItsMaximumAndRefusesMore) {
  Semaphore semaphore(1, 2);
  EXPECT_TRUE(semaphore.Release());
  EXPECT_FALSE(semaphore.Release());  // already at 2
  semaphore.Acquire();
  semaphore.Acquire();
  EXPECT_FALSE(semaphore.TryAcquireFor(std::chrono::milliseconds(1)));
  EXPECT_TRUE(semaphore.Release());
  EXPECT_TRUE(semaphore.TryAcquireFor(std::chrono::milliseconds(1)));
  // A zero maximum never holds a count.
  Semaphore none(0, 0);
  EXPECT_FALSE(none.Release());
}

TEST(Semaphore, WakesAWaitingThread) {
  Semaphore semaphore(0, 1);
  std::atomic<bool> woken{false};
  std::thread waiter([&] {
    semaphore.Acquire();
    woken = true;
  });
  EXPECT_TRUE(semaphore.Release());
  waiter.join();
  EXPECT_TRUE(woken);
}

TEST(WorkerThread, ExitCodeIs259WhileRunningThenTheProcedureResult) {
  WorkerThread thread;
  EXPECT_FALSE(thread.exists());
  EXPECT_EQ(thread.id(), 0u);
  Semaphore go(0, 1);
  std::atomic<bool> was_current{false};
  ASSERT_TRUE(thread.Start([&]() -> std::uint32_t {
    go.Acquire();
    was_current = thread.IsCurrent();
    return 9;
  }));
  EXPECT_TRUE(thread.exists());
  EXPECT_NE(thread.id(), 0u);
  EXPECT_FALSE(thread.IsCurrent());
  EXPECT_EQ(thread.ExitCode(), kThreadStillActive);
  EXPECT_FALSE(thread.Start([] { return 0u; }));  // one thread at a time
  go.Release();
  thread.Close();  // waits for the thread
  EXPECT_TRUE(was_current);
  EXPECT_FALSE(thread.exists());
  EXPECT_EQ(thread.ExitCode(), 9u);  // still readable after close
  EXPECT_FALSE(thread.Start([] { return 0u; }, /*fail_for_test=*/true));
  EXPECT_FALSE(thread.exists());
}

TEST(WorkerThread, CloseFromTheThreadItselfDoesNotWaitForItself) {
  WorkerThread thread;
  ASSERT_TRUE(thread.Start([&]() -> std::uint32_t {
    thread.Close();  // must return at once
    return 1;
  }));
  thread.Close();
  EXPECT_FALSE(thread.exists());
  EXPECT_EQ(thread.ExitCode(), 1u);
}

TEST(PeriodicTimer, TicksUntilStopped) {
  PeriodicTimer timer;
  std::atomic<int> ticks{0};
  EXPECT_FALSE(timer.Start(
      0, [](void*) {}, nullptr));  // no period
  ASSERT_TRUE(timer.Start(
      1, [](void* user) { static_cast<std::atomic<int>*>(user)->fetch_add(1); }, &ticks));
  EXPECT_TRUE(timer.running());
  while (ticks < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  timer.Stop();
  EXPECT_FALSE(timer.running());
  const int after = ticks;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(ticks, after);
}

TEST(PeriodicTimer, StopFromInsideATickEndsTheTimer) {
  struct State {
    PeriodicTimer timer;
    std::atomic<int> ticks{0};
  } state;
  ASSERT_TRUE(state.timer.Start(
      1,
      [](void* user) {
        auto& s = *static_cast<State*>(user);
        s.ticks.fetch_add(1);
        s.timer.Stop();
      },
      &state, /*free_running=*/true));
  while (state.ticks == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(state.ticks, 1);
  // A later start from outside collects the old thread and ticks again.
  ASSERT_TRUE(state.timer.Start(
      1, [](void* user) { static_cast<State*>(user)->ticks.fetch_add(1); }, &state, true));
  while (state.ticks < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  state.timer.Stop();
}

TEST(DebugOutput, SilentUnlessAskedFor) {
  const char* setting = std::getenv("TARVEL_DEBUG");
  if (setting != nullptr && std::string(setting) == "1") GTEST_SKIP() << "TARVEL_DEBUG=1";
  testing::internal::CaptureStderr();
  DebugOutput("Thread Play Stopper\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DebugOutput, CapturesExactBytesFromEveryThread) {
  DebugCapture capture;
  DebugOutput("Thread Son termin\xE9\n");
  std::thread other([] { DebugOutput("Thread Disque Ok\n"); });
  other.join();
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string("Thread Son termin") + static_cast<char>(0xE9) + "\n");
  EXPECT_EQ(lines[0].size(), 19u);
  EXPECT_EQ(lines[1], "Thread Disque Ok\n");
  {
    // A nested capture takes the lines while it exists, then hands back.
    DebugCapture inner;
    DebugOutput("inner\n");
    EXPECT_EQ(inner.Lines().size(), 1u);
  }
  DebugOutput("outer\n");
  EXPECT_EQ(capture.Lines().size(), 3u);
}

TEST(Utf8, NamesInTheLocalesCharacterSetAreShownAsItShowsThem) {
  // "caf\xe9" is Latin-1 for cafe with an acute e; the KOI8-R bytes spell the Russian "hello".
  EXPECT_EQ(Utf8_FromCharset("caf\xe9.kqm", "ISO-8859-1"), "caf\xc3\xa9.kqm");
  EXPECT_EQ(Utf8_FromCharset("\xf0\xd2\xc9\xd7\xc5\xd4", "KOI8-R"),
            "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
  // UTF-8 (well-formed or not), ASCII, text the set cannot hold and unknown sets stay as they are.
  const char* const codesets[] = {"UTF-8", "ANSI_X3.4-1968", "EUC-JP", "no-such-set", nullptr};
  for (const char* codeset : codesets) {
    EXPECT_EQ(Utf8_FromCharset("caf\xe9 \xa4", codeset), "caf\xe9 \xa4") << codeset;
    EXPECT_EQ(Utf8_FromCharset("a.kqm", codeset), "a.kqm");
  }
}

}  // namespace
}  // namespace tarvel
