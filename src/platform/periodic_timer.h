// A periodic timer: calls a function every `period` milliseconds on a thread of its own,
// starting one period after Start. Calls never overlap: a call that overruns delays the next.
// Start and Stop may be called from any thread, including from inside a tick.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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
  // Stops ticking and waits for the tick in progress, except when called from inside a tick:
  // then the timer's thread ends after that tick and is collected by a later Start or Stop
  // from another thread, or by the destructor.
  void Stop();
  // Stops, and waits until every thread this timer has started has ended, even one that
  // another Start or Stop is collecting, except the caller's own (a call from inside a tick).
  void StopAndWait();
  bool running() const { return running_.load(); }

 private:
  struct Run {
    std::atomic<bool> stop{false};
    Semaphore wake{0, 1};
  };
  // Asks the current run to stop and hands back the threads that the caller can wait for
  // (every retired thread but the caller's own). Called with mutex_ held.
  std::vector<std::thread> RetireLocked();

  std::mutex mutex_;  // guards thread_, run_ and retired_; never held while waiting for a thread
  std::thread thread_;
  std::shared_ptr<Run> run_;
  std::vector<std::thread> retired_;
  std::atomic<bool> running_{false};
  // Threads started and not yet ended.
  std::shared_ptr<std::atomic<int>> live_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace tarvel
