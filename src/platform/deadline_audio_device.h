// Wraps a sound device whose open and close may never return: a sound server that is alive and
// takes the connection but stops answering keeps SDL's open for half a minute, and its close
// (which waits for the card's own thread) for good. The wrapper runs them on a thread of its own
// and waits at most `wait`. A device that has not answered by then is let go: the thread keeps
// it, closes it if its open ever succeeds, and frees it; no message of it reaches the owner
// again, and the open fails (or the close returns) at once. While a device let go still has not
// answered, every other open fails at once with the same reason, without trying: the sound
// library behind them is the one that is stuck. Nothing waits for such a thread at exit.
// A device already known to be stuck (AudioDevice::Hung) is let go at its close, or its end,
// without waiting again.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/audio_device.h"

namespace tarvel {

// Why an open failed when the device did not answer in time, or one let go still does not.
inline constexpr const char* kSoundDeviceNoAnswer = "the sound device does not answer";

class DeadlineAudioDevice final : public AudioDevice {
 public:
  // `thread_end`, if given, is called at the end of each of the threads that call the device,
  // for a sound library that keeps data for each thread that calls it.
  DeadlineAudioDevice(std::unique_ptr<AudioDevice> inner, std::chrono::milliseconds wait,
                      void (*thread_end)() = nullptr);
  ~DeadlineAudioDevice() override;

  int Open(const WaveFormat& format, WaveCallback callback, void* instance) override;
  int Prepare(WaveHeader& header) override;
  int Unprepare(WaveHeader& header) override;
  int Write(WaveHeader& header) override;
  int Pause() override;
  int Restart() override;
  int PauseAfterCurrent() override;
  int Reset() override;
  // After a close that did not answer, no done-message comes any more: the buffers may go.
  int Close() override;
  int SetVolume(std::uint32_t volume) override;
  int SetPlaybackRate(std::uint32_t rate) override;
  std::string LastError() const override;
  bool Lost() const override;
  bool Hung() const override;

  // For a test that opens at leisure and then wants the close let go at once.
  void set_wait(std::chrono::milliseconds wait) { wait_ = wait; }

  // How many devices let go have not answered yet.
  static int StillUnanswered();
  // Waits until every device let go has answered and been freed (for tests that release them).
  static void WaitForLetGo();

 private:
  struct Shared;
  enum class Answer { kAnswered, kNoAnswer, kNoThread };
  // Runs `step` on the inner device on a thread of its own and waits for it at most `wait_`;
  // a device that does not answer by then is let go. `hand_over` ends the device on that thread
  // after the step, within the same wait. `at_once` lets the device go without waiting.
  Answer Within(std::function<int(AudioDevice&)> step, bool opening, bool hand_over, int* result,
                bool at_once = false);
  int Fail(int code, std::string reason);
  static void Relay(void* user, std::uint32_t message, WaveHeader* header);

  std::shared_ptr<Shared> shared_;
  std::chrono::milliseconds wait_;
  void (*thread_end_)();
  mutable std::mutex error_mutex_;
  std::string last_error_;
};

// The wait for the sound card's open and close: long enough for a sound server that starts on
// demand, short enough that a player waiting on it is not taken for dead.
inline constexpr std::chrono::milliseconds kSoundDeviceAnswerWait{5000};

}  // namespace tarvel
