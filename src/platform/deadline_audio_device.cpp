#include "platform/deadline_audio_device.h"

#include <condition_variable>
#include <system_error>
#include <thread>
#include <utility>

namespace tarvel {

namespace {

// The devices let go that have not answered yet, for the whole process: the sound library they
// wait in is one. Never freed, so that a thread still waiting at exit finds it.
struct Unanswered {
  std::mutex mutex;
  std::condition_variable none;
  int count = 0;
};

Unanswered& TheUnanswered() {
  static auto* unanswered = new Unanswered;
  return *unanswered;
}

// One more device let go, or (-1) one that has answered at last.
void CountUnanswered(int change) {
  Unanswered& unanswered = TheUnanswered();
  {
    const std::lock_guard<std::mutex> lock(unanswered.mutex);
    unanswered.count += change;
  }
  unanswered.none.notify_all();
}

}  // namespace

struct DeadlineAudioDevice::Shared {
  std::shared_ptr<AudioDevice> inner;  // empty once let go: the waiting thread holds it then
  WaveCallback callback = nullptr;
  void* instance = nullptr;
  // Held while a message is handed to the owner: letting go waits for one under way.
  std::mutex delivering;
  bool let_go = false;
  bool open = false;
};

DeadlineAudioDevice::DeadlineAudioDevice(std::unique_ptr<AudioDevice> inner,
                                         std::chrono::milliseconds wait, void (*thread_end)())
    : shared_(std::make_shared<Shared>()), wait_(wait), thread_end_(thread_end) {
  shared_->inner = std::move(inner);
}

DeadlineAudioDevice::~DeadlineAudioDevice() {
  // A device still open is closed by its own end, which gets the same wait (none when it is
  // known to be stuck).
  if (!shared_->inner || !shared_->open) return;
  int result = kDeviceOk;
  if (Within([](AudioDevice&) { return kDeviceOk; }, /*opening=*/false, /*hand_over=*/true, &result,
             /*at_once=*/shared_->inner->Hung()) == Answer::kNoThread)
    shared_->inner.reset();
}

int DeadlineAudioDevice::StillUnanswered() {
  Unanswered& unanswered = TheUnanswered();
  const std::lock_guard<std::mutex> lock(unanswered.mutex);
  return unanswered.count;
}

void DeadlineAudioDevice::WaitForLetGo() {
  Unanswered& unanswered = TheUnanswered();
  std::unique_lock<std::mutex> lock(unanswered.mutex);
  unanswered.none.wait(lock, [&] { return unanswered.count == 0; });
}

DeadlineAudioDevice::Answer DeadlineAudioDevice::Within(std::function<int(AudioDevice&)> step,
                                                        bool opening, bool hand_over, int* result,
                                                        bool at_once) {
  struct Call {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    bool let_go = false;
    int result = kDeviceError;
  };
  auto call = std::make_shared<Call>();
  // Counted before the thread can count it out.
  call->let_go = at_once;
  if (at_once) CountUnanswered(1);
  std::shared_ptr<AudioDevice> inner = hand_over ? std::move(shared_->inner) : shared_->inner;
  std::thread thread;
  try {
    thread = std::thread([call, inner, keep = shared_, step = std::move(step), opening, hand_over,
                          thread_end = thread_end_]() mutable {
      // Runs last, when the device is done with on this thread.
      struct AtEnd {
        void (*end)();
        ~AtEnd() {
          if (end != nullptr) end();
        }
      } at_end{thread_end};
      const int answer = step(*inner);
      if (hand_over) inner.reset();
      bool let_go = false;
      {
        const std::lock_guard<std::mutex> lock(call->mutex);
        call->done = true;
        call->result = answer;
        let_go = call->let_go;
      }
      call->answered.notify_all();
      if (!let_go) return;
      // Nobody waits for this device any more: an open that succeeded late is closed, and the
      // device freed, here.
      if (inner && opening && answer == kDeviceOk) inner->Close();
      inner.reset();
      keep.reset();
      CountUnanswered(-1);
    });
  } catch (const std::system_error&) {
    if (at_once) CountUnanswered(-1);
    if (hand_over) shared_->inner = std::move(inner);
    return Answer::kNoThread;
  }
  inner.reset();
  std::unique_lock<std::mutex> lock(call->mutex);
  if (!at_once) {
    if (call->answered.wait_for(lock, wait_, [&] { return call->done; })) {
      *result = call->result;
      lock.unlock();
      thread.join();
      return Answer::kAnswered;
    }
    call->let_go = true;
    CountUnanswered(1);
  }
  lock.unlock();
  thread.detach();
  {
    const std::lock_guard<std::mutex> delivering(shared_->delivering);
    shared_->let_go = true;
  }
  shared_->inner.reset();
  shared_->open = false;
  return Answer::kNoAnswer;
}

int DeadlineAudioDevice::Fail(int code, std::string reason) {
  const std::lock_guard<std::mutex> lock(error_mutex_);
  last_error_ = std::move(reason);
  return code;
}

int DeadlineAudioDevice::Open(const WaveFormat& format, WaveCallback callback, void* instance) {
  Fail(kDeviceOk, {});
  if (!shared_->inner) return Fail(kDeviceNoDriver, kSoundDeviceNoAnswer);
  if (shared_->open) return Fail(kDeviceError, "the sound device is already open");
  // Another device has not answered: this one would wait in the same place.
  if (StillUnanswered() > 0) return Fail(kDeviceNoDriver, kSoundDeviceNoAnswer);
  shared_->callback = callback;
  shared_->instance = instance;
  Shared* shared = shared_.get();
  int result = kDeviceError;
  switch (Within(
      [format, shared](AudioDevice& inner) {
        return inner.Open(format, &DeadlineAudioDevice::Relay, shared);
      },
      /*opening=*/true, /*hand_over=*/false, &result)) {
    case Answer::kAnswered:
      shared_->open = result == kDeviceOk;
      return result;
    case Answer::kNoAnswer:
      return Fail(kDeviceNoDriver, kSoundDeviceNoAnswer);
    case Answer::kNoThread:
      break;
  }
  return Fail(kDeviceError, "no thread for the sound device");
}

int DeadlineAudioDevice::Close() {
  if (!shared_->inner) return Fail(kDeviceBadDevice, kSoundDeviceNoAnswer);
  // A card known to be stuck is not waited for again: its loss has been said already.
  const bool stuck = shared_->inner->Hung();
  int result = kDeviceError;
  switch (Within([](AudioDevice& inner) { return inner.Close(); }, /*opening=*/false,
                 /*hand_over=*/false, &result, /*at_once=*/stuck)) {
    case Answer::kAnswered:
      break;
    case Answer::kNoAnswer:
      if (stuck) return kDeviceOk;
      return Fail(kDeviceError, kSoundDeviceNoAnswer);
    case Answer::kNoThread:
      // No thread to wait with: the close is waited for here, as it always was.
      result = shared_->inner->Close();
      break;
  }
  if (result == kDeviceOk) shared_->open = false;
  return result;
}

void DeadlineAudioDevice::Relay(void* user, std::uint32_t message, WaveHeader* header) {
  auto* shared = static_cast<Shared*>(user);
  const std::lock_guard<std::mutex> delivering(shared->delivering);
  if (shared->let_go || shared->callback == nullptr) return;
  shared->callback(shared->instance, message, header);
}

int DeadlineAudioDevice::Prepare(WaveHeader& header) {
  return shared_->inner ? shared_->inner->Prepare(header) : kDeviceBadDevice;
}

int DeadlineAudioDevice::Unprepare(WaveHeader& header) {
  if (shared_->inner) return shared_->inner->Unprepare(header);
  // The device let go has no buffer of its owner's any more.
  header.flags &= ~(kWaveHeaderPrepared | kWaveHeaderQueued);
  return kDeviceOk;
}

int DeadlineAudioDevice::Write(WaveHeader& header) {
  return shared_->inner ? shared_->inner->Write(header) : kDeviceBadDevice;
}

int DeadlineAudioDevice::Pause() {
  return shared_->inner ? shared_->inner->Pause() : kDeviceBadDevice;
}

int DeadlineAudioDevice::Restart() {
  return shared_->inner ? shared_->inner->Restart() : kDeviceBadDevice;
}

int DeadlineAudioDevice::PauseAfterCurrent() {
  return shared_->inner ? shared_->inner->PauseAfterCurrent() : kDeviceBadDevice;
}

int DeadlineAudioDevice::Reset() {
  return shared_->inner ? shared_->inner->Reset() : kDeviceBadDevice;
}

int DeadlineAudioDevice::SetVolume(std::uint32_t volume) {
  return shared_->inner ? shared_->inner->SetVolume(volume) : kDeviceBadDevice;
}

int DeadlineAudioDevice::SetPlaybackRate(std::uint32_t rate) {
  return shared_->inner ? shared_->inner->SetPlaybackRate(rate) : kDeviceBadDevice;
}

std::string DeadlineAudioDevice::LastError() const {
  {
    const std::lock_guard<std::mutex> lock(error_mutex_);
    if (!last_error_.empty() || !shared_->inner) return last_error_;
  }
  return shared_->inner->LastError();
}

bool DeadlineAudioDevice::Lost() const {
  return shared_->inner && shared_->inner->Lost();
}

bool DeadlineAudioDevice::Hung() const {
  return shared_->inner && shared_->inner->Hung();
}

}  // namespace tarvel
