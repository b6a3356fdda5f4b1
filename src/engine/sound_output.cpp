// Sound output: 32 wave buffers of one frame period each, queued to the sound device. The
// device's done-callback wakes the sound thread, which runs the frame step into the buffer that
// has just finished and queues it again, 31 buffers behind the one playing.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "engine/player_context.h"
#include "platform/debug_output.h"

namespace tarvel {

int Wave_OpenDevice(PlayerContext& context) {
  WaveFormat& format = context.wave_format;
  const bool stereo = context.sound.stereo != 0;
  format.format_tag = kWaveFormatPcm;
  format.channels = stereo ? 2 : 1;
  format.samples_per_second = context.sound.sample_rate;
  format.block_align = stereo ? 4 : 2;
  format.average_bytes_per_second = format.block_align * context.sound.sample_rate;
  format.bits_per_sample = 16;
  format.extra_size = 0;

  // A fresh device for every playback; the previous one was closed by stop.
  context.wave_out.reset();
  if (context.services.make_audio_device == nullptr) return kDeviceNoDriver;
  context.wave_out = context.services.make_audio_device(context.services.audio_device_user);
  if (!context.wave_out) return kDeviceNoDriver;
  const int result = context.wave_out->Open(format, &Wave_Callback, &context);
  context.wave_out_open = result == kDeviceOk;
  return result;
}

void Wave_Callback(void* instance, std::uint32_t message, WaveHeader* /*header*/) {
  if (message != kWaveDoneMessage) return;
  auto* context = static_cast<PlayerContext*>(instance);
  if (context->sound_semaphore) context->sound_semaphore->Release();
  // Counted after the release: a seek that has seen every buffer come back finds the
  // semaphore's count complete.
  context->buffers_done += 1;
  context->buffers_done.notify_all();
}

bool WaveBuffer_Prepare(WaveBuffer& buffer, AudioDevice& device, std::uint32_t length) {
  buffer.device = &device;
  buffer.storage.reset(new (std::nothrow) std::uint8_t[length]());
  if (!buffer.storage) return false;
  buffer.header = WaveHeader{};
  buffer.header.data = buffer.storage.get();
  buffer.header.buffer_length = length;
  return device.Prepare(buffer.header) == kDeviceOk;
}

void WaveBuffer_Release(WaveBuffer& buffer) {
  if (!buffer.storage) return;
  if (buffer.device != nullptr) buffer.device->Unprepare(buffer.header);
  buffer.storage.reset();
  buffer.header = WaveHeader{};
}

std::int32_t Wave_Prime(PlayerContext& context) {
  const std::int32_t period = context.sound.audio_frame_bytes;
  const std::size_t lead_bytes = std::size_t{kWaveBufferCount} * static_cast<std::size_t>(period);
  std::unique_ptr<std::uint8_t[]> lead(new (std::nothrow) std::uint8_t[lead_bytes]());
  if (!lead) {
    context.last_result = kPlayerOutOfMemory;
    Player_Stop(context);
    return kPlayerOutOfMemory;
  }
  Frame_Step(context, context.current_frame, lead.get(), static_cast<std::int32_t>(lead_bytes));
  // The presentation listener may have stopped playback, or paused it: the device then stays
  // held with the lead queued, as after a seek whose listener paused.
  if (!context.playing) return context.last_result;

  return Wave_QueueLead(context, lead.get(), !context.paused);
}

std::int32_t Wave_QueueLead(PlayerContext& context, const std::uint8_t* lead, bool resume) {
  const std::int32_t period = context.sound.audio_frame_bytes;
  const bool fresh = !context.wave_buffers;
  if (fresh) {
    context.wave_buffers.reset(new (std::nothrow) WaveBuffer[kWaveBufferCount]);
    if (!context.wave_buffers) {
      context.last_result = kPlayerOutOfMemory;
      Player_Stop(context);
      return kPlayerOutOfMemory;
    }
  }
  context.next_wave_buffer = 0;
  std::int32_t queued = 0;
  AudioDevice& device = *context.wave_out;
  // The device holds the buffers until all 32 are queued, so that the sound thread's first
  // refill can never be queued ahead of the lead.
  device.Pause();
  for (std::int32_t i = 0; i < kWaveBufferCount; ++i) {
    WaveBuffer& buffer = context.wave_buffers[i];
    if (fresh && !WaveBuffer_Prepare(buffer, device, static_cast<std::uint32_t>(period))) {
      device.Restart();
      context.last_result = kPlayerOutOfMemory;
      Player_Stop(context);
      return kPlayerOutOfMemory;
    }
    std::memcpy(buffer.header.data, lead + std::size_t{static_cast<std::size_t>(i)} * period,
                static_cast<std::size_t>(period));
    if (device.Write(buffer.header) != kDeviceOk) {
      context.last_result = kPlayerDeviceRefused;
      break;
    }
    context.buffers_queued += 1;
    ++queued;
  }
  // Only a buffer coming back wakes the sound thread: with none queued, the pictures stand still
  // from here, as after a refill the device refuses, and playback has ended.
  if (queued == 0 && context.playing) {
    const std::int32_t frame = context.current_frame;
    Engine_RecordEnd(
        context, PlaybackEnd::kStepFailed, kPlayerDeviceRefused, frame,
        "frame " + std::to_string(frame) + ": " + Player_ResultText(kPlayerDeviceRefused));
  }
  // Read before the device runs: from then on the sound thread's steps set last_result.
  const std::int32_t result = context.last_result;
  if (resume) device.Restart();
  return result;
}

std::uint32_t Sound_Thread(PlayerContext& context) {
  const EngineThreadScope engine_thread(context);
  DebugOutput("Thread Son Ok\n");
  std::int32_t exit_code = kPlayerOk;
  bool lost = false;
  while (context.playing && !context.halting && exit_code == kPlayerOk) {
    context.sound_semaphore->Acquire();
    if (!context.playing || context.halting) break;
    WaveBuffer& buffer = context.wave_buffers[context.next_wave_buffer];
    const std::uint64_t stepped = context.frames_stepped;
    exit_code = Frame_Step(context, context.current_frame, buffer.header.data,
                           context.sound.audio_frame_bytes);
    // A step that gave up on a stop has nothing to queue. One that presented its frame queues
    // its sound even when a stop has begun on another thread meanwhile: that stop waits for this
    // thread before it closes the device. A stop run on this thread (from a callback) has
    // released the buffers already.
    if (context.frames_stepped == stepped && (!context.playing || context.halting)) break;
    if (Engine_StoppedHere(context)) break;
    if (context.wave_out->Write(buffer.header) != kDeviceOk)
      exit_code = kPlayerDeviceRefused;
    else
      context.buffers_queued += 1;
    if (!lost && context.wave_out->Lost()) {
      lost = true;
      Status_Publish(context, [](PlayerStatus& status) { status.sound_lost = true; });
    }
    context.next_wave_buffer = (context.next_wave_buffer + 1) % kWaveBufferCount;
    if (exit_code == kPlayerOk && context.frame_callback != nullptr)
      context.frame_callback(context.user_value);
  }
  // No further frame is presented until stop.
  if (exit_code != kPlayerOk && context.playing && !context.halting &&
      !Engine_StoppedHere(context)) {
    const std::int32_t frame = context.current_frame;
    Engine_RecordEnd(context, PlaybackEnd::kStepFailed, exit_code, frame,
                     "frame " + std::to_string(frame) + ": " + Player_ResultText(exit_code));
  }
  DebugOutput("Thread Son termin\xE9\n");
  return static_cast<std::uint32_t>(exit_code);
}

bool Player_SetVolume(PlayerContext& context, std::int32_t level) {
  if (!context.sound_on || level < 0 || level > kMaxVolumeLevel) return false;
  if (context.wave_out && context.wave_out_open)
    context.wave_out->SetVolume(static_cast<std::uint32_t>(level) * kVolumeStep);
  return true;
}

bool Player_GetSoundFormat(PlayerContext& context, std::uint32_t* stereo,
                           std::uint32_t* sample_rate) {
  if (!context.sound_on || !context.playing) return false;
  if (stereo != nullptr) *stereo = context.sound.stereo;
  if (sample_rate != nullptr) *sample_rate = context.sound.sample_rate;
  return true;
}

}  // namespace tarvel
