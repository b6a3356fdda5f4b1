#include "platform/semaphore.h"

#include <algorithm>

namespace tarvel {

Semaphore::Semaphore(std::int32_t initial, std::int32_t maximum)
    : count_(std::clamp(initial, 0, std::max(maximum, 0))), maximum_(std::max(maximum, 0)) {}

bool Semaphore::Release() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (count_ >= maximum_) return false;
    ++count_;
  }
  positive_.notify_one();
  return true;
}

void Semaphore::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  positive_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool Semaphore::TryAcquireFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!positive_.wait_for(lock, timeout, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

std::int32_t Semaphore::count() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

}  // namespace tarvel
