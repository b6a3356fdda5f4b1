// The sound card through SDL2 audio. SDL pulls samples from the audio callback on its own
// thread; the callback walks the queued buffers in order, resampling for the playback rate and
// scaling for the volume. Every buffer it has used up is reported when its last sample is due to
// be heard: the card takes up to 1024 samples at a time (SdlTakeSamples), which may hold the ends
// of several buffers. While paused, SDL's device is paused too: the callback is not run for the
// silence, and the card is not watched for takes it is not asked for.
#include <SDL.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/audio_device.h"
#include "platform/card_watch.h"
#include "platform/deadline_audio_device.h"

// ALSA's error lines go nowhere (see QuietSoundLibrary).
extern "C" {
static void TarvelDiscardAlsaError(const char*, int, const char*, int, const char*, ...) {}
}

namespace tarvel {

namespace {

// One sample frame of the queued sound, which is 16-bit little-endian PCM on every host; the
// card takes the host's order.
void ReadFrame(const std::uint8_t* bytes, int channels, std::int16_t* samples) {
  for (int c = 0; c < channels; ++c)
    samples[c] = static_cast<std::int16_t>(bytes[2 * c] | (bytes[2 * c + 1] << 8));
}

// Without a sound card, SDL tries ALSA, which writes a dozen lines of its own to standard error
// before SDL gives up; the player says in one line of its own what matters. ALSA's error
// handler is replaced by one that says nothing (in the library SDL loads, which stays loaded).
// SDL also leaves SIGINT and SIGTERM alone, so that the programs keep their own answer to them.
void QuietSoundLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    void* alsa = dlopen("libasound.so.2", RTLD_LAZY | RTLD_LOCAL);
    if (alsa == nullptr) return;
    using ErrorHandler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(ErrorHandler);
    if (auto set = reinterpret_cast<SetHandler>(dlsym(alsa, "snd_lib_error_set_handler")))
      set(&TarvelDiscardAlsaError);
  });
}

class SdlAudioDevice final : public AudioDevice {
 public:
  explicit SdlAudioDevice(const SdlDeviceOptions& options)
      : options_(options), watch_(options.stall_wait) {}
  ~SdlAudioDevice() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.clear();
      finished_.clear();
    }
    Shutdown();
  }

  int Open(const WaveFormat& format, WaveCallback callback, void* instance) override {
    if (device_ != 0) return Fail(kDeviceError, "the sound device is already open");
    if (format.format_tag != kWaveFormatPcm || format.bits_per_sample != 16 ||
        (format.channels != 1 && format.channels != 2) ||
        !AudioDevice_TakesSampleRate(format.samples_per_second))
      return Fail(kDeviceBadFormat, "unsupported sound format");
    QuietSoundLibrary();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
      return Fail(kDeviceNoDriver, std::string("no sound device: ") + SDL_GetError());
    subsystem_ = true;
    SDL_AudioSpec wanted{};
    wanted.freq = static_cast<int>(format.samples_per_second);
    wanted.format = AUDIO_S16SYS;
    wanted.channels = static_cast<Uint8>(format.channels);
    wanted.samples = static_cast<Uint16>(SdlTakeSamples(format.samples_per_second));
    wanted.callback = &SdlAudioDevice::Feed;
    wanted.userdata = this;
    SDL_AudioSpec obtained{};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      channels_ = format.channels;
      callback_ = callback;
      instance_ = instance;
      paused_ = false;
      holding_ = false;
      pause_after_front_ = false;
      position_ = 0;
      sample_rate_ = format.samples_per_second;
      take_end_ = {};
      take_samples_ = SdlTakeSamples(format.samples_per_second);
      watching_ = false;
      stalled_ = false;
      reporter_stop_ = false;
      card_paused_ = false;
    }
    try {
      reporter_ = std::thread([this] { ReportFinished(); });
    } catch (const std::system_error&) {
      Shutdown();
      return Fail(kDeviceError, "no thread for the sound device");
    }
    device_.store(SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0));
    if (device_ == 0) {
      const std::string reason = std::string("no sound device: ") + SDL_GetError();
      Shutdown();
      return Fail(kDeviceNoDriver, reason);
    }
    {
      // Watched from now: an open that takes its time is not a card that stopped.
      std::lock_guard<std::mutex> lock(mutex_);
      watch_.Start(std::chrono::steady_clock::now());
      watching_ = true;
    }
    finished_changed_.notify_all();
    SDL_PauseAudioDevice(device_, 0);
    if (callback) callback(instance, kWaveOpenMessage, nullptr);
    return kDeviceOk;
  }

  int Prepare(WaveHeader& header) override {
    if (device_ == 0) return kDeviceBadDevice;
    std::lock_guard<std::mutex> lock(mutex_);
    header.flags = (header.flags & ~kWaveHeaderDone) | kWaveHeaderPrepared;
    return kDeviceOk;
  }

  int Unprepare(WaveHeader& header) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (header.flags & kWaveHeaderQueued) return kDeviceStillPlaying;
    header.flags &= ~kWaveHeaderPrepared;
    return kDeviceOk;
  }

  int Write(WaveHeader& header) override {
    if (device_ == 0) return kDeviceBadDevice;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!(header.flags & kWaveHeaderPrepared)) return kDeviceUnprepared;
    if (header.flags & kWaveHeaderQueued) return kDeviceStillPlaying;
    header.flags = (header.flags & ~kWaveHeaderDone) | kWaveHeaderQueued;
    queue_.push_back(&header);
    return kDeviceOk;
  }

  int Pause() override {
    if (device_ == 0) return kDeviceBadDevice;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      paused_ = true;
      if (!holding_) held_since_ = std::chrono::steady_clock::now();
      holding_ = true;
    }
    FollowPause();
    return kDeviceOk;
  }

  int Restart() override {
    if (device_ == 0) return kDeviceBadDevice;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      paused_ = false;
      pause_after_front_ = false;
      if (holding_) {
        // What was still to play when the card stopped plays now: each buffer held back comes
        // when the sound left of it has played, not all at once (a frame step pausing on the
        // first would see the next one come with it).
        const auto now = std::chrono::steady_clock::now();
        for (Finished& finished : finished_)
          finished.due = finished.due > held_since_ ? finished.due + (now - held_since_) : now;
      }
      holding_ = false;
    }
    FollowPause();
    finished_changed_.notify_all();
    return kDeviceOk;
  }

  int PauseAfterCurrent() override {
    if (device_ == 0) return kDeviceBadDevice;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty())
        paused_ = true;
      else
        pause_after_front_ = true;
    }
    FollowPause();
    return kDeviceOk;
  }

  int Reset() override {
    if (device_ == 0) return kDeviceBadDevice;
    std::deque<WaveHeader*> returned;
    WaveCallback callback = nullptr;
    void* instance = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // A report under way finishes first, so that every buffer is back when this returns.
      if (std::this_thread::get_id() != reporter_.get_id())
        finished_changed_.wait(lock, [this] { return !reporting_; });
      // The buffers the card has taken whole come back first, at once.
      for (const Finished& finished : finished_) returned.push_back(finished.header);
      finished_.clear();
      returned.insert(returned.end(), queue_.begin(), queue_.end());
      queue_.clear();
      position_ = 0;
      pause_after_front_ = false;
      for (WaveHeader* header : returned)
        header->flags = (header->flags & ~kWaveHeaderQueued) | kWaveHeaderDone;
      callback = callback_;
      instance = instance_;
    }
    if (callback)
      for (WaveHeader* header : returned) callback(instance, kWaveDoneMessage, header);
    return kDeviceOk;
  }

  int Close() override {
    if (device_ == 0) return kDeviceBadDevice;
    WaveCallback callback = nullptr;
    void* instance = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!queue_.empty()) return kDeviceStillPlaying;
      callback = callback_;
      instance = instance_;
    }
    // Waits for the audio thread: no done-callback comes after this.
    Shutdown();
    if (callback) callback(instance, kWaveCloseMessage, nullptr);
    return kDeviceOk;
  }

  // Also before Open: the card then plays its first take at that volume.
  int SetVolume(std::uint32_t volume) override {
    std::lock_guard<std::mutex> lock(mutex_);
    volume_ = volume;
    return kDeviceOk;
  }

  // Also before Open, as the volume.
  int SetPlaybackRate(std::uint32_t rate) override {
    if (rate == 0) return kDeviceError;
    std::lock_guard<std::mutex> lock(mutex_);
    rate_ = rate;
    return kDeviceOk;
  }

  std::string LastError() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_error_;
  }

  // SDL marks a device that failed as stopped and goes on calling back with the sound thrown
  // away, at the device's pace.
  // A card that takes no sound any more while its thread is stuck in the driver (a sound server
  // that stopped answering) is lost too: this device plays on in its place (see ReportFinished).
  bool Lost() const override {
    const SDL_AudioDeviceID device = device_;
    if (device == 0) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stalled_) return true;
    }
    return SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED;
  }

  // A card taken for stopped has its thread stuck in the driver, which SDL's close waits for;
  // one that SDL stopped itself has not.
  bool Hung() const override {
    if (device_ == 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return stalled_;
  }

 private:
  int Fail(int code, std::string reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_error_ = std::move(reason);
    return code;
  }

  // Pauses SDL's device while this one is paused (by Pause, or by the callback at the end of
  // the front buffer after PauseAfterCurrent) and lets it play on once it is not, so that the
  // card's thread does not call back 43 times a second only to be given silence. The card is not
  // watched meanwhile: it takes nothing because it is asked for nothing. Never called with
  // `mutex_` held, which the callback takes inside SDL's own lock.
  void FollowPause() {
    const std::lock_guard<std::mutex> pausing(pause_mutex_);
    const SDL_AudioDeviceID device = device_;
    if (device == 0) {
      // Closed, or closing: nothing to follow, and the reporting thread must not try again
      // and again until the close (which a card stuck in its driver may never end) is done.
      const std::lock_guard<std::mutex> lock(mutex_);
      card_paused_ = paused_;
      return;
    }
    bool pause = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pause = paused_;
      if (pause == card_paused_) return;
      card_paused_ = pause;
      watching_ = !pause;
      if (!pause) watch_.Start(std::chrono::steady_clock::now());
    }
    finished_changed_.notify_all();
    SDL_PauseAudioDevice(device, pause ? 1 : 0);
  }

  void Shutdown() {
    SDL_AudioDeviceID device = 0;
    {
      // Not closed under a pause or a restart of it (SDL frees the device as it closes it).
      const std::lock_guard<std::mutex> pausing(pause_mutex_);
      device = device_.exchange(0);
    }
    if (device != 0) SDL_CloseAudioDevice(device);
    // No take comes after the close: what is still to report goes at once.
    if (reporter_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        reporter_stop_ = true;
      }
      finished_changed_.notify_all();
      reporter_.join();
    }
    if (subsystem_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    subsystem_ = false;
  }

  // The reporting thread: each buffer used up is reported when its time comes, in order. A card
  // that has taken no take for `stall_wait` while this thread watched has stopped (see
  // CardWatch: a program stopped by a signal is not a card that stopped): from then on this
  // thread takes the takes itself, at the card's pace, and their sound goes nowhere.
  void ReportFinished() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<Uint8> unheard;
    for (;;) {
      if (reporter_stop_ && finished_.empty()) return;
      if (!reporter_stop_ && paused_ != card_paused_) {
        lock.unlock();
        FollowPause();
        lock.lock();
        continue;
      }
      const auto now = std::chrono::steady_clock::now();
      if (!reporter_stop_ && watching_ && !stalled_ && watch_.Stopped(now)) stalled_ = true;
      if (!reporter_stop_ && stalled_ && !paused_ && now >= take_end_) {
        unheard.resize(static_cast<std::size_t>(take_samples_) * 2u *
                       static_cast<std::size_t>(channels_));
        lock.unlock();
        Fill(unheard.data(), static_cast<int>(unheard.size()), /*from_card=*/false);
        lock.lock();
        continue;
      }
      if (!finished_.empty() && (reporter_stop_ || (!holding_ && now >= finished_.front().due))) {
        WaveHeader* header = finished_.front().header;
        finished_.pop_front();
        WaveCallback callback = callback_;
        void* instance = instance_;
        reporting_ = true;
        lock.unlock();
        if (callback) callback(instance, kWaveDoneMessage, header);
        lock.lock();
        reporting_ = false;
        finished_changed_.notify_all();
        continue;
      }
      // Until the next buffer is due, the card is due to take again, or something changes.
      const bool due = !finished_.empty() && !holding_;
      const bool taking = watching_ && (!stalled_ || !paused_);
      if (!due && !taking) {
        finished_changed_.wait(lock);
        continue;
      }
      auto until = !taking ? finished_.front().due : stalled_ ? take_end_ : watch_.NextLook();
      if (due) until = std::min(until, finished_.front().due);
      finished_changed_.wait_until(lock, until);
    }
  }

  static void SDLCALL Feed(void* user, Uint8* stream, int length) {
    static_cast<SdlAudioDevice*>(user)->Fill(stream, length, /*from_card=*/true);
  }

  // Fills `length` bytes of device output from the queue and hands the buffers used up to the
  // reporting thread, each with the time its last sample is heard. Once the card has been taken
  // for stopped, what it asks for is silence: the takes go on from the reporting thread.
  void Fill(Uint8* stream, int length, bool from_card) {
    bool any_finished = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (from_card) {
        if (stalled_ || options_.hold_card) {
          std::memset(stream, 0, static_cast<std::size_t>(length));
          return;
        }
        watch_.Took(std::chrono::steady_clock::now());
      }
      const int channels = channels_;
      const int frame_bytes = 2 * channels;
      const int frames_out = length / frame_bytes;
      const auto now = std::chrono::steady_clock::now();
      const auto take = SamplesTime(frames_out);
      auto start = SdlTakeStart(take_end_, now, take, /*own_take=*/!from_card);
      // After a pause the card first plays what it had left of the buffers held back.
      if (!finished_.empty()) start = std::max(start, finished_.back().due);
      take_end_ = start + take;
      auto* out = reinterpret_cast<std::int16_t*>(stream);
      const std::uint32_t left_volume = volume_ & 0xFFFF;
      const std::uint32_t right_volume = volume_ >> 16;
      int written = 0;
      // A buffer whose last sample ends the take is used up in it too: it comes back with the
      // take's end, and a pause right after holds it back with the others the take held.
      while (!paused_ && !queue_.empty()) {
        WaveHeader* header = queue_.front();
        const std::uint64_t frames_in =
            header->buffer_length / static_cast<std::uint32_t>(frame_bytes);
        const std::uint64_t index = position_ >> 16;
        if (index >= frames_in) {
          // Used up: the fraction carries into the next buffer.
          position_ -= frames_in << 16;
          queue_.pop_front();
          header->flags = (header->flags & ~kWaveHeaderQueued) | kWaveHeaderDone;
          finished_.push_back(Finished{header, start + SamplesTime(written)});
          any_finished = true;
          if (pause_after_front_) {
            pause_after_front_ = false;
            paused_ = true;
          }
          continue;
        }
        if (written == frames_out) break;
        std::int16_t samples[2];
        ReadFrame(header->data + index * static_cast<std::uint64_t>(frame_bytes), channels,
                  samples);
        const std::uint32_t fraction = static_cast<std::uint32_t>(position_ & 0xFFFF);
        // The sample frame after this one: in this buffer, or the first of the next buffer
        // queued, where the sound goes on.
        const std::uint8_t* after = nullptr;
        if (index + 1 < frames_in)
          after = header->data + (index + 1) * static_cast<std::uint64_t>(frame_bytes);
        else if (queue_.size() > 1 &&
                 queue_[1]->buffer_length >= static_cast<std::uint32_t>(frame_bytes))
          after = queue_[1]->data;
        if (fraction != 0 && after != nullptr) {
          // Linear interpolation towards the next sample frame. The step between two loud
          // samples of opposite sign times the fraction passes 32 bits.
          std::int16_t next[2];
          ReadFrame(after, channels, next);
          for (int c = 0; c < channels; ++c)
            samples[c] = static_cast<std::int16_t>(
                samples[c] +
                ((static_cast<std::int64_t>(next[c]) - samples[c]) * fraction) / 65536);
        }
        for (int c = 0; c < channels; ++c) {
          const std::uint32_t volume = (c == 0) ? left_volume : right_volume;
          out[written * channels + c] =
              static_cast<std::int16_t>(static_cast<std::int64_t>(samples[c]) * volume / 0xFFFF);
        }
        ++written;
        position_ += rate_;
      }
      std::memset(out + written * channels, 0,
                  static_cast<std::size_t>(length - written * frame_bytes));
    }
    if (any_finished) finished_changed_.notify_all();
  }

  // How long `frames` sample frames play at the stream's rate.
  std::chrono::steady_clock::duration SamplesTime(int frames) const {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(frames) / sample_rate_));
  }

  mutable std::mutex mutex_;
  // Read by the control operations on any thread.
  std::atomic<SDL_AudioDeviceID> device_{0};
  bool subsystem_ = false;
  int channels_ = 1;
  WaveCallback callback_ = nullptr;
  void* instance_ = nullptr;
  std::deque<WaveHeader*> queue_;
  bool paused_ = false;
  // Whether SDL's device is paused, following `paused_` (FollowPause, under `pause_mutex_`).
  bool card_paused_ = false;
  std::mutex pause_mutex_;
  // Paused by Pause: the buffers the card took before are not reported until Restart, as a
  // card that stops at once would not finish them.
  bool holding_ = false;
  std::chrono::steady_clock::time_point held_since_{};  // when the pause began
  // PauseAfterCurrent: the front buffer is the last to play before the pause.
  bool pause_after_front_ = false;
  // Read position in the front buffer, in sample frames, 16.16 fixed point.
  std::uint64_t position_ = 0;
  std::uint32_t volume_ = kVolumeFull;
  std::uint32_t rate_ = kPlaybackRateNormal;
  std::string last_error_;
  std::uint32_t sample_rate_ = 1;
  // When the card's last take ends.
  std::chrono::steady_clock::time_point take_end_{};
  // Buffers used up, waiting for the time their last sample is heard.
  struct Finished {
    WaveHeader* header;
    std::chrono::steady_clock::time_point due;
  };
  std::deque<Finished> finished_;
  std::condition_variable finished_changed_;
  const SdlDeviceOptions options_;
  int take_samples_ = 1024;
  // Whether the card still takes its takes, and whether it has been taken for stopped since.
  CardWatch watch_;
  bool watching_ = false;  // the card is open
  bool stalled_ = false;
  bool reporting_ = false;  // a done-callback of the reporting thread is under way
  bool reporter_stop_ = false;
  std::thread reporter_;
};

}  // namespace

std::unique_ptr<AudioDevice> CreateSdlAudioDevice(const SdlDeviceOptions& options) {
  // SDL keeps data (its error text) for each thread that calls it and frees it only for threads
  // it made itself: the wrapper's threads free theirs as they end.
  return std::make_unique<DeadlineAudioDevice>(std::make_unique<SdlAudioDevice>(options),
                                               kSoundDeviceAnswerWait, &SDL_TLSCleanup);
}

}  // namespace tarvel
