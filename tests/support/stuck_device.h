// A sound card behind a sound server that has stopped answering: its open, or its close, waits
// until the test lets it go on (kHungClose: it says so, as a card found hung while it played).
// Otherwise it is a capture device.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/audio_device.h"
#include "platform/capture_audio_device.h"

namespace tarvel::test {

// What the test holds of its stuck devices: the gate they wait at, and what they went through.
struct StuckGate {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  int opens = 0;
  int closes = 0;
  int ends = 0;  // devices destroyed

  void Release() {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      released = true;
    }
    changed.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return released; });
  }
  void Count(int StuckGate::*what) {
    const std::lock_guard<std::mutex> lock(mutex);
    ++(this->*what);
  }
  int Read(int StuckGate::*what) {
    const std::lock_guard<std::mutex> lock(mutex);
    return this->*what;
  }
};

class StuckDevice final : public AudioDevice {
 public:
  enum class Stuck { kOpen, kClose, kHungClose };
  StuckDevice(std::shared_ptr<StuckGate> gate, Stuck where)
      : gate_(std::move(gate)), where_(where), inner_(std::make_shared<CaptureLog>()) {}
  ~StuckDevice() override { gate_->Count(&StuckGate::ends); }

  int Open(const WaveFormat& format, WaveCallback callback, void* instance) override {
    gate_->Count(&StuckGate::opens);
    if (where_ == Stuck::kOpen) gate_->Pass();
    return inner_.Open(format, callback, instance);
  }
  int Close() override {
    gate_->Count(&StuckGate::closes);
    if (where_ != Stuck::kOpen) gate_->Pass();
    return inner_.Close();
  }
  int Prepare(WaveHeader& header) override { return inner_.Prepare(header); }
  int Unprepare(WaveHeader& header) override { return inner_.Unprepare(header); }
  int Write(WaveHeader& header) override { return inner_.Write(header); }
  int Pause() override { return inner_.Pause(); }
  int Restart() override { return inner_.Restart(); }
  int Reset() override { return inner_.Reset(); }
  int SetVolume(std::uint32_t volume) override { return inner_.SetVolume(volume); }
  int SetPlaybackRate(std::uint32_t rate) override { return inner_.SetPlaybackRate(rate); }
  std::string LastError() const override { return inner_.LastError(); }
  bool Hung() const override { return where_ == Stuck::kHungClose; }

 private:
  std::shared_ptr<StuckGate> gate_;
  Stuck where_;
  CaptureAudioDevice inner_;
};

}  // namespace tarvel::test
