#include "platform/capture_audio_device.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <system_error>

namespace tarvel {

namespace {

std::string HexEvent(const char* name, std::uint32_t value) {
  char text[40];
  std::snprintf(text, sizeof text, "%s 0x%08" PRIX32, name, value);
  return text;
}

}  // namespace

CaptureLog::CaptureLog(bool keep_buffers, BufferSink sink, bool keep_events)
    : keep_buffers_(keep_buffers), keep_events_(keep_events), sink_(std::move(sink)) {}

std::vector<CapturedBuffer> CaptureLog::Buffers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffers_;
}

std::vector<std::uint8_t> CaptureLog::Pcm() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::uint8_t> pcm;
  for (const auto& buffer : buffers_)
    pcm.insert(pcm.end(), buffer.bytes.begin(), buffer.bytes.end());
  return pcm;
}

std::size_t CaptureLog::buffer_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffers_.size();
}

std::vector<std::string> CaptureLog::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

WaveFormat CaptureLog::format() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return format_;
}

std::uint32_t CaptureLog::volume() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return volume_;
}

std::uint32_t CaptureLog::playback_rate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rate_;
}

void CaptureLog::RecordBuffer(const std::uint8_t* data, std::uint32_t length, std::uint32_t volume,
                              std::uint32_t rate) {
  CapturedBuffer buffer;
  buffer.bytes.assign(data, data + length);
  buffer.volume = volume;
  buffer.playback_rate = rate;
  std::lock_guard<std::mutex> lock(mutex_);
  if (sink_) sink_(buffer);
  if (keep_buffers_) buffers_.push_back(std::move(buffer));
}

void CaptureLog::RecordEvent(std::string event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (keep_events_) events_.push_back(std::move(event));
}

void CaptureLog::RecordFormat(const WaveFormat& format) {
  std::lock_guard<std::mutex> lock(mutex_);
  format_ = format;
}

void CaptureLog::RecordSettings(std::uint32_t volume, std::uint32_t rate) {
  std::lock_guard<std::mutex> lock(mutex_);
  volume_ = volume;
  rate_ = rate;
}

CaptureAudioDevice::CaptureAudioDevice(std::shared_ptr<CaptureLog> log, CaptureOptions options)
    : log_(log ? std::move(log) : std::make_shared<CaptureLog>()), options_(options) {}

CaptureAudioDevice::~CaptureAudioDevice() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  if (completion_thread_.joinable()) completion_thread_.join();
}

int CaptureAudioDevice::Open(const WaveFormat& format, WaveCallback callback, void* instance) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_) {
      last_error_ = "the capture device is already open";
      return kDeviceError;
    }
    if (options_.refuse_open) {
      last_error_ = "the capture device refused to open";
      return kDeviceNoDriver;
    }
    if (format.format_tag != kWaveFormatPcm || format.bits_per_sample != 16 ||
        (format.channels != 1 && format.channels != 2) ||
        !AudioDevice_TakesSampleRate(format.samples_per_second)) {
      last_error_ = "unsupported sound format";
      return kDeviceBadFormat;
    }
    format_ = format;
    callback_ = callback;
    instance_ = instance;
    open_ = true;
    stopping_ = false;
    paused_ = false;
    queue_.clear();
    // A previous completion thread has been joined by Close. Without a thread of its own the
    // device cannot complete anything: it refuses to open, as a sound card without one does.
    try {
      if (options_.no_thread)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      completion_thread_ = std::thread([this] { CompletionLoop(); });
    } catch (const std::system_error&) {
      open_ = false;
      last_error_ = "no thread for the capture device";
      return kDeviceError;
    }
  }
  log_->RecordFormat(format);
  log_->RecordEvent("open");
  if (callback) callback(instance, kWaveOpenMessage, nullptr);
  return kDeviceOk;
}

int CaptureAudioDevice::Prepare(WaveHeader& header) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return kDeviceBadDevice;
  header.flags = (header.flags & ~kWaveHeaderDone) | kWaveHeaderPrepared;
  return kDeviceOk;
}

int CaptureAudioDevice::Unprepare(WaveHeader& header) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (header.flags & kWaveHeaderQueued) return kDeviceStillPlaying;
  header.flags &= ~kWaveHeaderPrepared;
  return kDeviceOk;
}

int CaptureAudioDevice::Write(WaveHeader& header) {
  std::uint32_t volume = 0;
  std::uint32_t rate = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return kDeviceBadDevice;
    if (!(header.flags & kWaveHeaderPrepared)) return kDeviceUnprepared;
    if (header.flags & kWaveHeaderQueued) return kDeviceStillPlaying;
    if (options_.refuse_writes_after >= 0 && writes_ >= options_.refuse_writes_after) {
      last_error_ = "the capture device refused the buffer";
      return kDeviceError;
    }
    ++writes_;
    volume = volume_;
    rate = rate_;
    // Recorded before the buffer can complete, so that the log keeps queue order.
    log_->RecordBuffer(header.data, header.buffer_length, volume, rate);
    header.flags = (header.flags & ~kWaveHeaderDone) | kWaveHeaderQueued;
    queue_.push_back(&header);
  }
  wake_.notify_all();
  return kDeviceOk;
}

int CaptureAudioDevice::SetPaused(bool paused, const char* event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return kDeviceBadDevice;
    paused_ = paused;
  }
  log_->RecordEvent(event);
  wake_.notify_all();
  return kDeviceOk;
}

int CaptureAudioDevice::Pause() {
  return SetPaused(true, "pause");
}

int CaptureAudioDevice::Restart() {
  return SetPaused(false, "restart");
}

int CaptureAudioDevice::Reset() {
  std::deque<WaveHeader*> returned;
  WaveCallback callback = nullptr;
  void* instance = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return kDeviceBadDevice;
    returned.swap(queue_);
    ++generation_;
    for (WaveHeader* header : returned)
      header->flags = (header->flags & ~kWaveHeaderQueued) | kWaveHeaderDone;
    callback = callback_;
    instance = instance_;
  }
  log_->RecordEvent("reset");
  wake_.notify_all();
  if (callback)
    for (WaveHeader* header : returned) callback(instance, kWaveDoneMessage, header);
  return kDeviceOk;
}

int CaptureAudioDevice::Close() {
  WaveCallback callback = nullptr;
  void* instance = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return kDeviceBadDevice;
    if (!queue_.empty()) return kDeviceStillPlaying;
    open_ = false;
    stopping_ = true;
    callback = callback_;
    instance = instance_;
  }
  wake_.notify_all();
  // No done-callback comes after Close has returned.
  if (completion_thread_.joinable()) completion_thread_.join();
  log_->RecordEvent("close");
  if (callback) callback(instance, kWaveCloseMessage, nullptr);
  return kDeviceOk;
}

int CaptureAudioDevice::SetSetting(std::uint32_t CaptureAudioDevice::*setting, std::uint32_t value,
                                   const char* name) {
  std::uint32_t volume = 0, rate = 0;
  {
    // Also before Open: the device then opens with it.
    std::lock_guard<std::mutex> lock(mutex_);
    this->*setting = value;
    volume = volume_;
    rate = rate_;
  }
  log_->RecordSettings(volume, rate);
  log_->RecordEvent(HexEvent(name, value));
  // A new rate changes how long the buffer being played lasts.
  wake_.notify_all();
  return kDeviceOk;
}

int CaptureAudioDevice::SetVolume(std::uint32_t volume) {
  return SetSetting(&CaptureAudioDevice::volume_, volume, "volume");
}

int CaptureAudioDevice::SetPlaybackRate(std::uint32_t rate) {
  return SetSetting(&CaptureAudioDevice::rate_, rate, "rate");
}

std::string CaptureAudioDevice::LastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

bool CaptureAudioDevice::Lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_ && options_.lost_after >= 0 && writes_ >= options_.lost_after;
}

std::chrono::nanoseconds CaptureAudioDevice::PlayTime(std::uint32_t length) const {
  const std::uint64_t bytes_per_second =
      std::uint64_t{format_.block_align ? format_.block_align : 2u} * format_.samples_per_second;
  const std::uint64_t rate = rate_ ? rate_ : kPlaybackRateNormal;
  if (bytes_per_second == 0) return std::chrono::nanoseconds(0);
  // length / bytes_per_second seconds, divided by rate / 65536.
  const long double seconds = static_cast<long double>(length) / bytes_per_second * 65536.0L /
                              static_cast<long double>(rate);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9L));
}

void CaptureAudioDevice::CompletionLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  // Time still to play of the buffer at the front of the queue (sample-clock timing).
  std::chrono::nanoseconds left{-1};
  // How late the last buffer finished, taken off the next one's time so that wake-up delays
  // do not add up and slow the clock down; at most one buffer's time, as a card that ran dry
  // plays on from where it is rather than rushing.
  std::chrono::nanoseconds late{0};
  std::uint64_t timed_generation = generation_;
  WaveHeader* timed = nullptr;
  for (;;) {
    // Lateness does not outlast a pause or a queue that ran dry.
    if (paused_ || queue_.empty()) late = {};
    wake_.wait(lock, [this] { return stopping_ || (!paused_ && !queue_.empty()); });
    if (stopping_) return;
    WaveHeader* front = queue_.front();
    if (options_.timing == CaptureTiming::kSampleClock) {
      if (front != timed || timed_generation != generation_) {
        if (timed_generation != generation_) late = {};
        timed = front;
        timed_generation = generation_;
        const std::chrono::nanoseconds length = PlayTime(front->buffer_length);
        left = length - std::min(late, length);
      }
      const auto begin = std::chrono::steady_clock::now();
      const auto due = begin + left;
      const std::uint64_t generation = generation_;
      wake_.wait_until(lock, due, [this, generation] {
        return stopping_ || paused_ || generation_ != generation;
      });
      if (stopping_) return;
      if (generation_ != generation) continue;  // reset: the buffer was given back
      const auto now = std::chrono::steady_clock::now();
      left -= std::chrono::duration_cast<std::chrono::nanoseconds>(now - begin);
      if (paused_ && left.count() > 0) continue;  // resumes with the time still left
      if (left.count() > 0) continue;             // woken early (rate change): wait on
      late = -left;
      timed = nullptr;
    }
    queue_.pop_front();
    front->flags = (front->flags & ~kWaveHeaderQueued) | kWaveHeaderDone;
    WaveCallback callback = callback_;
    void* instance = instance_;
    lock.unlock();
    if (callback) callback(instance, kWaveDoneMessage, front);
    lock.lock();
  }
}

}  // namespace tarvel
