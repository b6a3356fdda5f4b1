#include "platform/periodic_timer.h"

#include <chrono>
#include <system_error>

namespace tarvel {

namespace {

// The live-thread count of the timer whose thread this is, if it is one.
thread_local const std::atomic<int>* t_timer_live = nullptr;

void JoinAll(std::vector<std::thread>& threads) {
  for (std::thread& thread : threads)
    if (thread.joinable()) thread.join();
}

}  // namespace

PeriodicTimer::~PeriodicTimer() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads = RetireLocked();
    // Destroyed from inside its own tick: that thread finishes on its own.
    for (std::thread& thread : retired_) thread.detach();
    retired_.clear();
  }
  JoinAll(threads);
}

std::vector<std::thread> PeriodicTimer::RetireLocked() {
  running_.store(false);
  if (run_) {
    run_->stop.store(true);
    run_->wake.Release();
  }
  if (thread_.joinable()) retired_.push_back(std::move(thread_));
  std::vector<std::thread> waitable;
  std::vector<std::thread> kept;
  for (std::thread& thread : retired_) {
    if (thread.get_id() == std::this_thread::get_id())
      kept.push_back(std::move(thread));
    else
      waitable.push_back(std::move(thread));
  }
  retired_ = std::move(kept);
  return waitable;
}

bool PeriodicTimer::Start(std::uint32_t period_ms, Callback callback, void* user,
                          bool free_running) {
  std::vector<std::thread> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = RetireLocked();
  }
  JoinAll(old);
  if (period_ms == 0 || callback == nullptr) return false;

  std::lock_guard<std::mutex> lock(mutex_);
  // Another Start may have slipped in while the old threads were collected.
  if (thread_.joinable()) {
    if (run_) {
      run_->stop.store(true);
      run_->wake.Release();
    }
    retired_.push_back(std::move(thread_));
  }
  auto run = std::make_shared<Run>();
  live_->fetch_add(1);
  try {
    thread_ = std::thread([run, period_ms, callback, user, free_running, live = live_] {
      t_timer_live = live.get();
      struct Ended {
        std::atomic<int>& live;
        ~Ended() {
          live.fetch_sub(1);
          live.notify_all();
        }
      } ended{*live};
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
    live_->fetch_sub(1);
    return false;
  }
  run_ = std::move(run);
  running_.store(true);
  return true;
}

void PeriodicTimer::Stop() {
  std::vector<std::thread> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = RetireLocked();
  }
  JoinAll(old);
}

void PeriodicTimer::StopAndWait() {
  Stop();
  const int own = t_timer_live == live_.get() ? 1 : 0;
  for (;;) {
    const int live = live_->load();
    if (live <= own) return;
    live_->wait(live);
  }
}

}  // namespace tarvel
