// A counting semaphore with an initial and a maximum count. A release that would carry the
// count past the maximum is refused and changes nothing, so a surplus wake-up can never
// overflow it. A thread that has to wait sleeps at once: the engine's threads wait a frame
// period at a time, so spinning or yielding first (as std::counting_semaphore does) would only
// cost system calls and switches.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tarvel {

class Semaphore {
 public:
  Semaphore(std::int32_t initial, std::int32_t maximum);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Adds one to the count; false (and nothing changes) when it is already at the maximum.
  bool Release();
  // Waits without time-out until the count is positive, then takes one.
  void Acquire();
  // Takes one if the count is positive within `timeout`; false otherwise.
  bool TryAcquireFor(std::chrono::milliseconds timeout);

  std::int32_t maximum() const { return maximum_; }
  // The count as it stands; only meaningful while no other thread uses the semaphore.
  std::int32_t count() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable positive_;
  std::int32_t count_;
  std::int32_t maximum_;
};

}  // namespace tarvel
