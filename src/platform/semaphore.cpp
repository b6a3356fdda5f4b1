#include "platform/semaphore.h"

#include <algorithm>

namespace tarvel {

Semaphore::Semaphore(std::int32_t initial, std::int32_t maximum)
    : semaphore_(std::clamp(initial, 0, std::max(maximum, 0))),
      count_(std::clamp(initial, 0, std::max(maximum, 0))),
      maximum_(std::max(maximum, 0)) {}

bool Semaphore::Release() {
  std::int32_t current = count_.load();
  do {
    if (current >= maximum_) return false;
  } while (!count_.compare_exchange_weak(current, current + 1));
  semaphore_.release();
  return true;
}

void Semaphore::Acquire() {
  semaphore_.acquire();
  count_.fetch_sub(1);
}

bool Semaphore::TryAcquireFor(std::chrono::milliseconds timeout) {
  if (!semaphore_.try_acquire_for(timeout)) return false;
  count_.fetch_sub(1);
  return true;
}

}  // namespace tarvel
