// The frame step and the two clocks that call it: the sound device (through the sound thread)
// for movies with sound, a periodic timer for movies without.
#include <cmath>

#include "engine/player_context.h"
#include "video/video_decoder.h"

namespace tarvel {

namespace {

// Ends a step that got as far as decoding.
std::int32_t FinishStep(PlayerContext& context, std::int32_t result) {
  context.last_result = result;
  context.disk_thread.SetPriority(kThreadPriorityNormal);
  context.step_busy = false;
  return result;
}

void PresentPicture(PlayerContext& context, const std::uint8_t* payload, std::int32_t length) {
  if (context.display_mode != kDisplayFullScreen && context.display_mode != kDisplayWindow) return;
  VideoDecoder& decoder = *context.video_decoder;
  // Without a scaling buffer (no scaled mode, or a picture the scalers cannot take) the picture
  // is decoded straight into the surface.
  std::uint16_t* output = context.scaling_buffer
                              ? context.scaling_buffer.get()
                              : reinterpret_cast<std::uint16_t*>(context.surface_bits);
  decoder.SetOutput(output);
  decoder.Decode(payload, static_cast<std::size_t>(length));
  if (!context.scaling_buffer) return;
  const bool five_green_bits = context.green_bits == 5;
  PictureScaler scaler = nullptr;
  if (context.scaled_width == 800)
    scaler =
        five_green_bits ? context.presentation.scale_800_555 : context.presentation.scale_800_565;
  else if (context.scaled_width == 1024)
    scaler =
        five_green_bits ? context.presentation.scale_1024_555 : context.presentation.scale_1024_565;
  if (scaler != nullptr) scaler(output, context.surface_bits, context.output_width);
}

}  // namespace

std::int32_t Frame_Step(PlayerContext& context, std::int32_t frame_index,
                        std::uint8_t* audio_output, std::int32_t audio_bytes) {
  context.disk_thread.SetPriority(kThreadPriorityLowest);
  context.last_result = kPlayerOk;
  if (!context.playing) {
    context.disk_thread.SetPriority(kThreadPriorityNormal);
    return kPlayerOk;
  }

  // Wait for the frame to be loaded; a stop gives up the wait.
  FrameSlot* slot = nullptr;
  for (;;) {
    if (context.closing) {
      context.disk_thread.SetPriority(kThreadPriorityNormal);
      return kPlayerOk;
    }
    slot = Ring_Find(context, frame_index);
    if (slot != nullptr) break;
    SleepMilliseconds(1);
  }
  while (slot->busy) {
    if (!context.playing) break;
    YieldThread();
  }
  if (slot->busy) {
    context.last_result = kPlayerReadFailed;
    context.disk_thread.SetPriority(kThreadPriorityNormal);
    return kPlayerReadFailed;
  }

  context.step_busy = true;
  const LoadedFrame frame{slot->data.get(), static_cast<std::uint32_t>(slot->data_length)};
  std::int32_t picture_length = 0;
  const std::uint8_t* picture = Frame_FindChunk(frame, "IX", &picture_length);
  if (picture == nullptr) return FinishStep(context, kPlayerNoVideoChunk);
  PresentPicture(context, picture, picture_length);

  bool restart_refused = false;
  if (context.sound_on && audio_output != nullptr) {
    std::int32_t loop_mode = context.loop_mode;
    SoundPeriodReport report;
    const int result =
        Sound_DecodeFramePeriod(context.sound, frame_index, context.frame_count, loop_mode, frame,
                                audio_output, audio_bytes, &report);
    context.loop_mode = static_cast<std::uint8_t>(loop_mode);
    if (result != kSoundOk) return FinishStep(context, result);
    restart_refused = report.restarted && report.restart_result != kAdpcmOk;
  }

  if (context.chunk_handler != nullptr)
    Frame_ForOtherChunks(frame, context.chunk_handler, context.user_value);

  if (context.loop_mode == kLoopOff || context.ring_size < context.frame_count)
    Ring_Release(context, context.current_frame);

  // The next frame is published in one store, so that no other thread ever sees the frame
  // count itself while the movie loops.
  std::int32_t next = context.current_frame + 1;
  if (context.loop_mode != kLoopOff && next == context.frame_count) {
    next = 0;
    context.loop_count += 1;
  }
  context.current_frame = next;
  context.disk_semaphore->Release();

  FinishStep(context, kPlayerOk);
  // A refused restart at the loop point is kept in last_result; the step itself went through.
  if (restart_refused) context.last_result = kPlayerSoundRefused;
  return kPlayerOk;
}

std::uint32_t ClockPeriod(float frames_per_second) {
  if (!(frames_per_second > 0.0f) || !std::isfinite(frames_per_second)) return 0;
  const float period = 1000.0f / frames_per_second;
  if (period >= 4294967295.0f) return 0xFFFFFFFFu;
  const std::uint32_t truncated = static_cast<std::uint32_t>(period);
  return truncated == 0 ? 1 : truncated;
}

bool Clock_Start(PlayerContext& context, std::uint32_t period_ms) {
  Clock_Stop(context);
  context.timer_skip_tick = true;
  context.timer_period_ms = period_ms;
  // The clock counts as running before its first tick can come: a tick whose frame callback
  // pauses (step mode) must find it running, or the pause would leave the timer ticking.
  context.timer_active = true;
  if (!context.timer.Start(period_ms, &Clock_Tick, &context, context.services.free_running_clock)) {
    context.timer_active = false;
    return false;
  }
  context.timer_id += 1;
  return true;
}

void Clock_Stop(PlayerContext& context) {
  if (context.timer_active.exchange(false)) context.timer.Stop();
}

void Clock_Tick(void* user) {
  auto& context = *static_cast<PlayerContext*>(user);
  if (context.timer_busy.exchange(true)) return;
  if (context.timer_skip_tick) {
    context.timer_skip_tick = false;
    context.timer_busy = false;
    return;
  }
  Frame_Step(context, context.current_frame, nullptr, context.sound.audio_frame_bytes);
  if (context.frame_callback != nullptr) context.frame_callback(context.user_value);
  context.timer_busy = false;
}

std::int32_t Player_Pause(PlayerContext& context) {
  if (!context.playing) return 0;
  if (context.sound_on) {
    if (!context.wave_out || !context.wave_out_open) return kDeviceBadDevice;
    return context.wave_out->Pause();
  }
  Clock_Stop(context);
  return 1;
}

std::int32_t Player_Restart(PlayerContext& context) {
  if (context.sound_on) {
    if (!context.wave_out || !context.wave_out_open) return kDeviceBadDevice;
    return context.wave_out->Restart();
  }
  return Clock_Start(context, ClockPeriod(context.frame_rate)) ? 1 : 0;
}

std::uint32_t PlaybackRateValue(double ratio) {
  if (!(ratio > 0.0)) return 0;
  if (ratio >= 65536.0) return 0xFFFFFFFFu;
  const double whole = std::floor(ratio);
  const auto integer = static_cast<std::uint32_t>(whole);
  const auto fraction = static_cast<std::uint32_t>((ratio - whole) * 65536.0);
  return (integer << 16) | (fraction & 0xFFFF);
}

void Player_SetRate(PlayerContext& context, float frames_per_second) {
  // Rates below zero, or not numbers, mean nothing to either clock.
  if (!(frames_per_second >= 0.0f) || !std::isfinite(frames_per_second)) return;
  if (context.sound_on) {
    const double ratio =
        context.frame_rate != 0.0f
            ? static_cast<double>(frames_per_second) / static_cast<double>(context.frame_rate)
            : static_cast<double>(frames_per_second) / context.sound.sample_rate;
    const std::uint32_t value = PlaybackRateValue(ratio);
    if (value != 0 && context.wave_out && context.wave_out_open)
      context.wave_out->SetPlaybackRate(value);
    return;
  }
  if (frames_per_second != 0.0f && context.playing) {
    Clock_Stop(context);
    Clock_Start(context, ClockPeriod(frames_per_second));
  }
}

}  // namespace tarvel
