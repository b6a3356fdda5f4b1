// Worker threads as the player uses them: started with a procedure that returns an exit code
// (kThreadStillActive while the thread runs), and closed, which waits for the thread to end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/semaphore.h"

namespace tarvel {

// Exit code of a thread that has not finished yet.
inline constexpr std::uint32_t kThreadStillActive = 259;

// Thread priorities the player asks for. On this platform they are recorded, not enforced.
inline constexpr int kThreadPriorityLowest = -2;
inline constexpr int kThreadPriorityNormal = 0;

class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread();  // closes (joins) a thread that still exists
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts `body` on a new thread. False when no thread could be created (or one still exists);
  // `fail_for_test` makes the creation fail on purpose.
  bool Start(std::function<std::uint32_t()> body, bool fail_for_test = false);

  // True between a successful Start and Close.
  bool exists() const { return thread_.joinable(); }
  // A small non-zero number naming the thread while it exists, 0 otherwise.
  std::uint32_t id() const { return exists() ? id_ : 0; }
  // kThreadStillActive while the thread runs, then the code its procedure returned (still
  // readable after Close, until the next Start).
  std::uint32_t ExitCode() const;
  // True when called on this thread.
  bool IsCurrent() const;
  // Waits for the thread to end and releases it. Does nothing when no thread exists, or when
  // called on the thread itself.
  void Close();
  // Whether the thread's procedure has returned within `wait` (true at once when no thread
  // exists, or on the thread itself). The thread is not released: Close does that.
  bool EndsWithin(std::chrono::milliseconds wait) const;

  void SetPriority(int priority);
  int priority() const;

 private:
  struct Shared {
    std::atomic<std::uint32_t> exit_code{kThreadStillActive};
    std::atomic<int> priority{kThreadPriorityNormal};
    std::atomic<std::thread::id> thread_id{};
    // Released once, as the procedure returns.
    Semaphore ended{0, 1};
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::thread thread_;
  std::uint32_t id_ = 0;
};

}  // namespace tarvel
