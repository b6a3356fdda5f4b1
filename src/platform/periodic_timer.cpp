#include "platform/periodic_timer.h"

#include <chrono>
#include <system_error>

namespace tarvel {

PeriodicTimer::~PeriodicTimer() {
  Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) {
    if (run_ && run_->thread_id.load() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }
}

void PeriodicTimer::CollectLocked() {
  if (!thread_.joinable()) return;
  if (run_) {
    run_->stop.store(true);
    run_->wake.Release();
    if (run_->thread_id.load() == std::this_thread::get_id()) return;  // ends after this tick
  }
  thread_.join();
}

bool PeriodicTimer::Start(std::uint32_t period_ms, Callback callback, void* user,
                          bool free_running) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable() && run_ && run_->thread_id.load() == std::this_thread::get_id()) {
    // Restarted from inside a tick: this thread goes on ticking with the new settings once the
    // current tick returns, so leave it and start a fresh one only after it ends.
    run_->stop.store(true);
    thread_.detach();
  } else {
    CollectLocked();
  }
  running_.store(false);
  if (period_ms == 0 || callback == nullptr) return false;
  auto run = std::make_shared<Run>();
  try {
    thread_ = std::thread([run, period_ms, callback, user, free_running] {
      run->thread_id.store(std::this_thread::get_id());
      const auto period = std::chrono::milliseconds(period_ms);
      auto next = std::chrono::steady_clock::now() + period;
      for (;;) {
        if (!free_running) {
          // Sleeps until the tick is due; a stop request cuts the wait short.
          const auto now = std::chrono::steady_clock::now();
          if (next > now)
            run->wake.TryAcquireFor(std::chrono::ceil<std::chrono::milliseconds>(next - now));
        }
        if (run->stop.load()) break;
        if (!free_running && std::chrono::steady_clock::now() < next) continue;
        callback(user);
        if (run->stop.load()) break;
        next += period;
        // A late timer does not try to catch up with every missed tick.
        const auto now = std::chrono::steady_clock::now();
        if (next + period < now) next = now;
      }
    });
  } catch (const std::system_error&) {
    return false;
  }
  run_ = std::move(run);
  running_.store(true);
  return true;
}

void PeriodicTimer::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  running_.store(false);
  CollectLocked();
}

}  // namespace tarvel
