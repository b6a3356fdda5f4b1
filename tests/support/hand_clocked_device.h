// A sound card whose clock the test turns by hand, for tests that must not depend on how soon
// a busy machine runs the threads of a playback.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/audio_device.h"
#include "platform/capture_audio_device.h"

namespace tarvel::test {

// A sound card whose clock the test turns by hand: each Tick ends the period of the oldest buffer
// queued, unless the card is paused (a paused card's clock stands still). A reset gives every
// buffer queued before it back at once, as a card's does (a stop or a seek waits for them, and no
// tick may be needed for that); the buffers queued after it wait for ticks again.
class HandClockedDevice final : public AudioDevice {
 public:
  explicit HandClockedDevice(std::shared_ptr<CaptureLog> log) : inner_(std::move(log)) {}

  void Tick() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (paused_) return;
      ++ticks_;
    }
    Deliver();
  }

  int Open(const WaveFormat& format, WaveCallback callback, void* instance) override {
    callback_ = callback;
    instance_ = instance;
    return inner_.Open(format, &HandClockedDevice::Relay, this);
  }
  int Prepare(WaveHeader& header) override { return inner_.Prepare(header); }
  int Unprepare(WaveHeader& header) override { return inner_.Unprepare(header); }
  // The buffer is numbered before the inner card has it: it may finish it at once.
  int Write(WaveHeader& header) override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      queued_[&header] = ++writes_;
    }
    const int result = inner_.Write(header);
    if (result != kDeviceOk) {
      const std::lock_guard<std::mutex> lock(mutex_);
      queued_.erase(&header);
    }
    return result;
  }
  int Pause() override { return SetPaused(true); }
  int Restart() override { return refuse_restart ? kDeviceBadDevice : SetPaused(false); }
  int Reset() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      given_back_ = writes_;
      ticks_ = 0;  // the periods they ended belonged to buffers the reset gives back
    }
    const int result = inner_.Reset();
    Deliver();
    return result;
  }
  int Close() override { return inner_.Close(); }
  int SetVolume(std::uint32_t volume) override { return inner_.SetVolume(volume); }
  int SetPlaybackRate(std::uint32_t rate) override { return inner_.SetPlaybackRate(rate); }
  std::string LastError() const override { return inner_.LastError(); }

  // Restart fails, and the card stays as it was, while this is set.
  std::atomic<bool> refuse_restart{false};

 private:
  struct Finished {
    WaveHeader* header;
    std::uint64_t number;  // in queue order, from 1
  };

  int SetPaused(bool paused) {
    const std::lock_guard<std::mutex> lock(mutex_);
    paused_ = paused;
    return kDeviceOk;
  }
  // Hands over the buffers whose period has ended: those a reset gave back, and one for each tick.
  void Deliver() {
    std::deque<WaveHeader*> ended;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = finished_.begin(); it != finished_.end();) {
        if (it->number > given_back_) {
          ++it;
          continue;
        }
        ended.push_back(it->header);
        it = finished_.erase(it);
      }
      for (; !finished_.empty() && ticks_ > 0; --ticks_) {
        ended.push_back(finished_.front().header);
        finished_.pop_front();
      }
    }
    for (WaveHeader* header : ended) callback_(instance_, kWaveDoneMessage, header);
  }
  // The inner card finishes each buffer as it is queued (on a thread of its own, which a busy
  // machine may hold up past a tick, or past a reset); its end waits here for a tick.
  static void Relay(void* user, std::uint32_t message, WaveHeader* header) {
    auto* self = static_cast<HandClockedDevice*>(user);
    if (message != kWaveDoneMessage) {
      self->callback_(self->instance_, message, header);
      return;
    }
    {
      const std::lock_guard<std::mutex> lock(self->mutex_);
      const auto queued = self->queued_.find(header);
      self->finished_.push_back({header, queued == self->queued_.end() ? 0 : queued->second});
      if (queued != self->queued_.end()) self->queued_.erase(queued);
    }
    self->Deliver();
  }

  WaveCallback callback_ = nullptr;
  void* instance_ = nullptr;
  std::mutex mutex_;
  bool paused_ = false;
  int ticks_ = 0;  // ticks whose buffer the inner card has yet to finish
  std::uint64_t writes_ = 0;
  std::uint64_t given_back_ = 0;  // buffers up to this number came back from a reset
  std::unordered_map<WaveHeader*, std::uint64_t> queued_;  // number of each buffer in the card
  std::deque<Finished> finished_;
  // Last, so that its completion thread has ended before the members it relays to go.
  CaptureAudioDevice inner_;
};

}  // namespace tarvel::test
