// A periodic timer: calls a function every `period` milliseconds on a thread of its own,
// starting one period after Start. Calls never overlap: a call that overruns delays the next.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/semaphore.h"

namespace tarvel {

class PeriodicTimer {
 public:
  using Callback = void (*)(void* user);

  PeriodicTimer() = default;
  ~PeriodicTimer();
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // Starts ticking (stopping a running timer first). `free_running` makes the ticks follow one
  // another without waiting, for runs that go as fast as the work allows. False when the period
  // is 0 or no thread could be made.
  bool Start(std::uint32_t period_ms, Callback callback, void* user, bool free_running = false);
  // Stops ticking. When called from inside a tick, the timer ends after that tick and its
  // thread is collected by the next Start or Stop from another thread (or the destructor).
  void Stop();
  bool running() const { return running_.load(); }

 private:
  struct Run {
    std::atomic<bool> stop{false};
    Semaphore wake{0, 1};
    std::atomic<std::thread::id> thread_id{};
  };
  void CollectLocked();

  std::mutex mutex_;  // Start and Stop may come from different threads
  std::thread thread_;
  std::shared_ptr<Run> run_;
  std::atomic<bool> running_{false};
};

}  // namespace tarvel
