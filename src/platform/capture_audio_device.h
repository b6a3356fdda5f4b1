// A sound device without sound: it records every buffer queued to it, in queue order, with the
// volume and playback rate in force when it was queued, and completes the buffers either at once
// or paced by the sample clock. Used by tests and by headless playback.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_device.h"

namespace tarvel {

enum class CaptureTiming {
  kAtOnce,       // a queued buffer is finished as soon as it is first in the queue
  kSampleClock,  // a buffer takes as long as its samples last at the playback rate
};

struct CapturedBuffer {
  std::vector<std::uint8_t> bytes;
  std::uint32_t volume = kVolumeFull;
  std::uint32_t playback_rate = kPlaybackRateNormal;
};

// What the capture devices of one log have been asked to do. It outlives the devices, so that
// it can be read after playback has stopped. Safe to use from any thread.
class CaptureLog {
 public:
  // Called for every queued buffer, in queue order, in addition to (or, with keep_buffers
  // false, instead of) keeping it.
  using BufferSink = std::function<void(const CapturedBuffer&)>;

  // With keep_events false the device calls are not listed either (Events() stays empty): a
  // long headless run, such as a benchmark of a million seeks, adds some with every seek.
  explicit CaptureLog(bool keep_buffers = true, BufferSink sink = nullptr, bool keep_events = true);

  std::vector<CapturedBuffer> Buffers() const;
  // Every queued byte, in queue order.
  std::vector<std::uint8_t> Pcm() const;
  std::size_t buffer_count() const;
  // Device calls in order: "open", "pause", "restart", "reset", "close", "volume 0x...",
  // "rate 0x..." (queueing and preparing are not listed).
  std::vector<std::string> Events() const;
  WaveFormat format() const;
  std::uint32_t volume() const;
  std::uint32_t playback_rate() const;

  // Called by the devices.
  void RecordBuffer(const std::uint8_t* data, std::uint32_t length, std::uint32_t volume,
                    std::uint32_t rate);
  void RecordEvent(std::string event);
  void RecordFormat(const WaveFormat& format);
  void RecordSettings(std::uint32_t volume, std::uint32_t rate);

 private:
  mutable std::mutex mutex_;
  bool keep_buffers_;
  bool keep_events_;
  BufferSink sink_;
  std::vector<CapturedBuffer> buffers_;
  std::vector<std::string> events_;
  WaveFormat format_;
  std::uint32_t volume_ = kVolumeFull;
  std::uint32_t rate_ = kPlaybackRateNormal;
};

struct CaptureOptions {
  CaptureTiming timing = CaptureTiming::kAtOnce;
  bool refuse_open = false;
  // Queueing fails from this many successful writes on (-1: never).
  std::int64_t refuse_writes_after = -1;
  // The device says it is lost from this many writes on (-1: never), and plays on.
  std::int64_t lost_after = -1;
  // Open finds the system out of threads for the completions, as it may be under load.
  bool no_thread = false;
};

class CaptureAudioDevice final : public AudioDevice {
 public:
  CaptureAudioDevice(std::shared_ptr<CaptureLog> log, CaptureOptions options = {});
  ~CaptureAudioDevice() override;

  int Open(const WaveFormat& format, WaveCallback callback, void* instance) override;
  int Prepare(WaveHeader& header) override;
  int Unprepare(WaveHeader& header) override;
  int Write(WaveHeader& header) override;
  int Pause() override;
  int Restart() override;
  int Reset() override;
  int Close() override;
  int SetVolume(std::uint32_t volume) override;
  int SetPlaybackRate(std::uint32_t rate) override;
  std::string LastError() const override;
  bool Lost() const override;

 private:
  // Pause and Restart: holds or lets go of the completions, and logs `event`.
  int SetPaused(bool paused, const char* event);
  // SetVolume and SetPlaybackRate: sets `setting`, and logs both settings and the event `name`.
  int SetSetting(std::uint32_t CaptureAudioDevice::*setting, std::uint32_t value, const char* name);
  void CompletionLoop();
  // How long a buffer of `length` bytes plays at the current rate.
  std::chrono::nanoseconds PlayTime(std::uint32_t length) const;

  std::shared_ptr<CaptureLog> log_;
  CaptureOptions options_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool open_ = false;
  bool stopping_ = false;
  bool paused_ = false;
  // Bumped by every reset, so that a buffer being timed notices that it was taken away.
  std::uint64_t generation_ = 0;
  WaveFormat format_;
  WaveCallback callback_ = nullptr;
  void* instance_ = nullptr;
  std::deque<WaveHeader*> queue_;
  std::uint32_t volume_ = kVolumeFull;
  std::uint32_t rate_ = kPlaybackRateNormal;
  std::int64_t writes_ = 0;
  std::string last_error_;
  std::thread completion_thread_;
};

}  // namespace tarvel
