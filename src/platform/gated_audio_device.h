// Wraps a sound device and holds back its done-messages until the gate is opened. A player
// presents its first picture while it primes the device; holding the completions lets the owner
// take that picture before the sound thread presents the next one over it.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/audio_device.h"

namespace tarvel {

class GatedAudioDevice final : public AudioDevice {
 public:
  explicit GatedAudioDevice(std::unique_ptr<AudioDevice> inner) : inner_(std::move(inner)) {}

  // Lets the held done-messages through, in order, and every later one at once. May be called on
  // any thread; Close waits for such a delivery to end, as a device's own reports end at Close.
  void OpenGate();
  AudioDevice& inner() { return *inner_; }

  int Open(const WaveFormat& format, WaveCallback callback, void* instance) override;
  int Prepare(WaveHeader& header) override { return inner_->Prepare(header); }
  int Unprepare(WaveHeader& header) override { return inner_->Unprepare(header); }
  int Write(WaveHeader& header) override { return inner_->Write(header); }
  int Pause() override { return inner_->Pause(); }
  int Restart() override { return inner_->Restart(); }
  int PauseAfterCurrent() override { return inner_->PauseAfterCurrent(); }
  // A reset opens the gate: the buffers it gives back must reach their owner.
  int Reset() override;
  int Close() override;
  int SetVolume(std::uint32_t volume) override { return inner_->SetVolume(volume); }
  int SetPlaybackRate(std::uint32_t rate) override { return inner_->SetPlaybackRate(rate); }
  std::string LastError() const override { return inner_->LastError(); }
  bool Lost() const override { return inner_->Lost(); }
  bool Hung() const override { return inner_->Hung(); }

 private:
  static void Relay(void* user, std::uint32_t message, WaveHeader* header);

  std::unique_ptr<AudioDevice> inner_;
  WaveCallback callback_ = nullptr;
  void* instance_ = nullptr;
  std::mutex mutex_;
  // Held while OpenGate hands the held messages over, outside `mutex_`.
  std::mutex delivering_;
  bool gate_open_ = false;
  std::vector<WaveHeader*> held_;
};

}  // namespace tarvel
