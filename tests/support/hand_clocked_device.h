// A sound card whose clock the test turns by hand, for tests that must not depend on how soon
// a busy machine runs the threads of a playback.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/audio_device.h"
#include "platform/capture_audio_device.h"

namespace tarvel::test {

// A sound card whose clock the test turns by hand: each Tick ends the period of the oldest buffer
// queued, unless the card is paused (a paused card's clock stands still). A reset gives every
// buffer back at once, as a card's does, and from then on each buffer ends as it is queued.
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
  int Write(WaveHeader& header) override { return inner_.Write(header); }
  int Pause() override { return SetPaused(true); }
  int Restart() override { return refuse_restart ? kDeviceBadDevice : SetPaused(false); }
  int Reset() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      reset_ = true;
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
  int SetPaused(bool paused) {
    const std::lock_guard<std::mutex> lock(mutex_);
    paused_ = paused;
    return kDeviceOk;
  }
  // Hands over the buffers whose period has ended: one for each tick, or all after a reset.
  void Deliver() {
    std::deque<WaveHeader*> ended;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      while (!finished_.empty() && (reset_ || ticks_ > 0)) {
        ended.push_back(finished_.front());
        finished_.pop_front();
        if (ticks_ > 0) --ticks_;
      }
    }
    for (WaveHeader* header : ended) callback_(instance_, kWaveDoneMessage, header);
  }
  // The inner card finishes each buffer as it is queued (on a thread of its own, which a busy
  // machine may hold up past a tick); its end waits here for a tick.
  static void Relay(void* user, std::uint32_t message, WaveHeader* header) {
    auto* self = static_cast<HandClockedDevice*>(user);
    if (message != kWaveDoneMessage) {
      self->callback_(self->instance_, message, header);
      return;
    }
    {
      const std::lock_guard<std::mutex> lock(self->mutex_);
      self->finished_.push_back(header);
    }
    self->Deliver();
  }

  CaptureAudioDevice inner_;
  WaveCallback callback_ = nullptr;
  void* instance_ = nullptr;
  std::mutex mutex_;
  bool paused_ = false;
  bool reset_ = false;
  int ticks_ = 0;  // ticks whose buffer the inner card has yet to finish
  std::deque<WaveHeader*> finished_;
};

}  // namespace tarvel::test
