// Tells a sound card that has stopped taking sound (its thread stuck in a driver whose server no
// longer answers) from a program that was not running: stopped by a signal (Ctrl+Z, a debugger)
// or starved of the processor. The card counts as stopped once it has taken nothing for
// `stall_wait` while the watcher itself looked at least every `kLookGap`; a longer gap between
// two looks means the watcher did not run either, so what the card did meanwhile is unknown and
// its silence counts again from then.
#pragma once

#include <chrono>

namespace tarvel {

class CardWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // The longest the watcher sleeps between two looks, and the gap that means it did not run.
  static constexpr std::chrono::milliseconds kLookEvery{250};
  static constexpr std::chrono::milliseconds kLookGap{1000};

  explicit CardWatch(std::chrono::milliseconds stall_wait = std::chrono::milliseconds(5000))
      : stall_wait_(stall_wait) {}

  // The card is opened (or watched afresh) at `now`.
  void Start(Clock::time_point now) { silent_since_ = last_look_ = now; }
  // The card took sound at `now`.
  void Took(Clock::time_point now) { silent_since_ = now; }
  // A look at `now`: whether the card has stopped.
  bool Stopped(Clock::time_point now) {
    if (now - last_look_ > kLookGap) silent_since_ = now;
    last_look_ = now;
    return now - silent_since_ >= stall_wait_;
  }
  // When to look next.
  Clock::time_point NextLook() const {
    const Clock::time_point stall = silent_since_ + stall_wait_;
    const Clock::time_point look = last_look_ + kLookEvery;
    return stall < look ? stall : look;
  }

 private:
  std::chrono::milliseconds stall_wait_;
  Clock::time_point silent_since_{};
  Clock::time_point last_look_{};
};

}  // namespace tarvel
