// The sound device as the player drives it: open with a PCM format and a done-callback, prepare
// buffers, queue them, pause, restart, reset, close, volume and playback rate. Buffers play in
// the order they were queued; the device calls the done-callback once for every buffer it has
// finished (or given back by a reset), from a thread of its own.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace tarvel {

// Results of the device operations.
inline constexpr int kDeviceOk = 0;
inline constexpr int kDeviceError = 1;          // unspecified failure
inline constexpr int kDeviceBadDevice = 2;      // the device is not open
inline constexpr int kDeviceNoDriver = 6;       // no sound device is available
inline constexpr int kDeviceBadFormat = 32;     // the format cannot be played
inline constexpr int kDeviceStillPlaying = 33;  // close with buffers still queued
inline constexpr int kDeviceUnprepared = 34;    // queue or unprepare of a buffer not prepared

// Messages the done-callback receives.
inline constexpr std::uint32_t kWaveOpenMessage = 955;
inline constexpr std::uint32_t kWaveCloseMessage = 956;
inline constexpr std::uint32_t kWaveDoneMessage = 957;

inline constexpr std::uint16_t kWaveFormatPcm = 1;

// The sample rates a sound device opens at: 1 Hz to 384 kHz, the most a sound card takes. A
// format at another rate is refused (kDeviceBadFormat), and the player plays the movie silent.
inline constexpr std::uint32_t kMaxDeviceSampleRate = 384000;
inline bool AudioDevice_TakesSampleRate(std::uint32_t rate) {
  return rate >= 1 && rate <= kMaxDeviceSampleRate;
}

struct WaveFormat {
  std::uint16_t format_tag = kWaveFormatPcm;
  std::uint16_t channels = 1;
  std::uint32_t samples_per_second = 0;
  std::uint32_t average_bytes_per_second = 0;
  std::uint16_t block_align = 2;
  std::uint16_t bits_per_sample = 16;
  std::uint16_t extra_size = 0;
};

// Header flags.
inline constexpr std::uint32_t kWaveHeaderDone = 0x1;
inline constexpr std::uint32_t kWaveHeaderPrepared = 0x2;
inline constexpr std::uint32_t kWaveHeaderQueued = 0x10;

// One buffer of PCM (16-bit little-endian samples on every host) handed to the device. The
// caller owns the data.
struct WaveHeader {
  std::uint8_t* data = nullptr;
  std::uint32_t buffer_length = 0;
  std::uint32_t flags = 0;
};

// Called by the device with (instance, message, header): kWaveDoneMessage with the finished
// buffer; other messages may come with a null header.
using WaveCallback = void (*)(void* instance, std::uint32_t message, WaveHeader* header);

// Playback rate 1.0 in 16.16 fixed point.
inline constexpr std::uint32_t kPlaybackRateNormal = 0x00010000;
// Full volume on both channels: left in the low 16 bits, right in the high 16 bits.
inline constexpr std::uint32_t kVolumeFull = 0xFFFFFFFF;

class AudioDevice {
 public:
  virtual ~AudioDevice() = default;

  virtual int Open(const WaveFormat& format, WaveCallback callback, void* instance) = 0;
  virtual int Prepare(WaveHeader& header) = 0;
  virtual int Unprepare(WaveHeader& header) = 0;
  // Adds the buffer at the end of the device's queue.
  virtual int Write(WaveHeader& header) = 0;
  virtual int Pause() = 0;
  virtual int Restart() = 0;
  // Stops playback and gives every queued buffer back as done, in queue order.
  virtual int Reset() = 0;
  virtual int Close() = 0;
  virtual int SetVolume(std::uint32_t volume) = 0;
  virtual int SetPlaybackRate(std::uint32_t rate) = 0;

  // A one-line description of the last failure, for messages.
  virtual std::string LastError() const = 0;
  // Lets the buffer playing now finish, then holds the output as Pause does, before anything of
  // the next buffer is heard. Restart and Reset let go. A device that cannot tell does nothing.
  virtual int PauseAfterCurrent() { return kDeviceOk; }
  // True once the device has stopped playing by itself while open (the card was unplugged,
  // its output failed): it goes on finishing the buffers at its pace, but nothing is heard.
  virtual bool Lost() const { return false; }
  // True once the device is lost because its own thread has not come back from the sound
  // library for a while (a sound server that no longer answers): closing it waits for that
  // thread, which may never come back.
  virtual bool Hung() const { return false; }
};

using AudioDeviceFactory = std::unique_ptr<AudioDevice> (*)(void* user);

// The sound card, through SDL2 audio. Playback rates other than 1.0 are obtained by
// resampling; the volume scales the samples. Its open and close are waited for at most
// kSoundDeviceAnswerWait (see DeadlineAudioDevice): a sound server that stops answering leaves
// the movie silent rather than the program waiting on it.
struct SdlDeviceOptions {
  // A card that takes no sound for this long while open has stopped (its sound server no longer
  // answers): the device is lost, and finishes the buffers at their pace itself.
  std::chrono::milliseconds stall_wait{5000};
  // The card's takes are refused, as a card stuck in its driver takes none (for tests).
  bool hold_card = false;
};
std::unique_ptr<AudioDevice> CreateSdlAudioDevice(const SdlDeviceOptions& options = {});
// The sound card's buffer, in sample frames, which it fills from the queued buffers a take at a
// time; a queued buffer comes back done when its last sample is due to be heard, and the card
// still holds at most this much then. A take handed over is heard whatever follows (a pause, a
// step), so it is kept short at every rate: the shortest power of two lasting 20 ms, at most
// 1024 (23 ms at 44100 Hz, 256 samples at 8000 Hz rather than 128 ms).
constexpr int SdlTakeSamples(std::uint32_t samples_per_second) {
  int take = 64;
  while (take < 1024 && static_cast<std::uint64_t>(take) * 1000 < samples_per_second * 20ull)
    take *= 2;
  return take;
}

// When a take of the card, `take` long and asked for at `now`, starts, the one before having
// ended at `last_end`. The card plays its takes one after the other: one asked for early starts
// when the one before ends, yet never more than a take from now (a card a little faster than its
// rate does not pile up delay); one the card asks for late starts now, as the card ran dry. A
// take the device plays itself for a card that stopped (`own_take`) follows the one before even
// though its thread woke a little late, so that the wake-ups' lateness does not add up and slow
// the pictures down; one more than a take late (the player did not run) starts now.
inline std::chrono::steady_clock::time_point SdlTakeStart(
    std::chrono::steady_clock::time_point last_end, std::chrono::steady_clock::time_point now,
    std::chrono::steady_clock::duration take, bool own_take) {
  if (own_take && last_end < now && now - last_end <= take) return last_end;
  return std::clamp(last_end, now, now + take);
}

}  // namespace tarvel
