// A counting semaphore with an initial and a maximum count. A release that would carry the
// count past the maximum is refused and changes nothing, so a surplus wake-up can never
// overflow it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <semaphore>

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
  std::int32_t count() const { return count_.load(); }

 private:
  std::counting_semaphore<> semaphore_;
  // Upper bound of the semaphore's count: raised before each release, lowered after each take.
  std::atomic<std::int32_t> count_;
  std::int32_t maximum_;
};

}  // namespace tarvel
