#include "platform/gated_audio_device.h"

namespace tarvel {

void GatedAudioDevice::OpenGate() {
  const std::lock_guard<std::mutex> delivering(delivering_);
  std::vector<WaveHeader*> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_open_ = true;
    held.swap(held_);
  }
  if (callback_ != nullptr)
    for (WaveHeader* header : held) callback_(instance_, kWaveDoneMessage, header);
}

int GatedAudioDevice::Open(const WaveFormat& format, WaveCallback callback, void* instance) {
  callback_ = callback;
  instance_ = instance;
  return inner_->Open(format, &GatedAudioDevice::Relay, this);
}

int GatedAudioDevice::Close() {
  // The owner may free what the messages reach once the device is closed: a delivery on another
  // thread ends first.
  const std::lock_guard<std::mutex> delivering(delivering_);
  return inner_->Close();
}

int GatedAudioDevice::Reset() {
  const int result = inner_->Reset();
  OpenGate();
  return result;
}

void GatedAudioDevice::Relay(void* user, std::uint32_t message, WaveHeader* header) {
  auto* self = static_cast<GatedAudioDevice*>(user);
  if (message == kWaveDoneMessage) {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (!self->gate_open_) {
      self->held_.push_back(header);
      return;
    }
  }
  if (self->callback_ != nullptr) self->callback_(self->instance_, message, header);
}

}  // namespace tarvel
