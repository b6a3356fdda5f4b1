// The frame step and the two clocks that call it: the sound device (through the sound thread)
// for movies with sound, a periodic timer for movies without.
#include <cmath>
#include <string>

#include "engine/player_context.h"
#include "video/video_decoder.h"

namespace tarvel {

namespace {

// Ends a step that got as far as decoding.
std::int32_t FinishStep(PlayerContext& context, std::int32_t result) {
  context.last_result = result;
  context.disk_thread.SetPriority(kThreadPriorityNormal);
  context.step_busy = false;
  context.step_busy.notify_all();
  return result;
}

// A tick of the frame clock is over: a seek waiting for it goes on.
void EndTick(PlayerContext& context) {
  context.timer_busy = false;
  context.timer_busy.notify_all();
}

// Decodes the picture into the surface (or the scaling buffer, then scaled into the surface).
// Returns the decoder's result: kDecodeCorrupt when the picture data was damaged.
int PresentPicture(PlayerContext& context, const std::uint8_t* payload, std::int32_t length) {
  if (context.display_mode != kDisplayFullScreen && context.display_mode != kDisplayWindow)
    return kDecodeOk;
  VideoDecoder& decoder = *context.video_decoder;
  // Without a scaling buffer (no scaled mode, or a picture the scalers cannot take) the picture
  // is decoded straight into the surface.
  std::uint16_t* output = Engine_DecoderOutput(context);
  decoder.SetOutput(output);
  const int decoded = decoder.Decode(payload, static_cast<std::size_t>(length));
  if (context.scaling_buffer) Engine_ScaleOntoSurface(context, output);
  return decoded;
}

}  // namespace

std::uint16_t* Engine_DecoderOutput(PlayerContext& context) {
  return context.scaling_buffer ? context.scaling_buffer.get()
                                : reinterpret_cast<std::uint16_t*>(context.surface_bits);
}

void Engine_ScaleOntoSurface(PlayerContext& context, const std::uint16_t* picture) {
  const bool five_green_bits = context.green_bits == 5;
  PictureScaler scaler = nullptr;
  if (context.scaled_width == 800)
    scaler =
        five_green_bits ? context.presentation.scale_800_555 : context.presentation.scale_800_565;
  else if (context.scaled_width == 1024)
    scaler =
        five_green_bits ? context.presentation.scale_1024_555 : context.presentation.scale_1024_565;
  if (scaler != nullptr) scaler(picture, context.surface_bits, context.output_width);
}

// Tells the status, and the presentation listener, that frame `frame_index` is on the surface.
void Engine_ReportPresented(PlayerContext& context, std::int32_t frame_index,
                            std::int32_t loop_count, bool corrupt) {
  const std::int32_t next = context.current_frame;
  Status_Publish(context, [&](PlayerStatus& status) {
    status.current_frame = next;
    status.loop_count = context.loop_count;
    status.shown_frame = frame_index;
    status.pictures_presented += 1;
    if (corrupt) {
      status.corrupt_frames += 1;
      if (status.first_corrupt_frame < 0) status.first_corrupt_frame = frame_index;
      status.last_corrupt_frame = frame_index;
    }
  });
  const PresentationListener listener = context.presentation_listener;
  if (listener == nullptr) return;
  PresentedPicture presented;
  presented.frame_index = frame_index;
  presented.loop_count = loop_count;
  presented.picture.pixels = reinterpret_cast<const std::uint16_t*>(context.surface_bits);
  presented.picture.width = static_cast<int>(context.output_width);
  presented.picture.height = static_cast<int>(context.output_height);
  presented.green_bits = context.green_bits;
  // The decoder lists what it wrote into the surface, unless a scaler wrote it.
  if (context.video_decoder && !context.scaling_buffer)
    presented.changes = context.video_decoder->TakeChanges();
  listener(presented, context.presentation_user);
}

std::int32_t Frame_Step(PlayerContext& context, std::int32_t frame_index,
                        std::uint8_t* audio_output, std::int32_t audio_bytes) {
  context.disk_thread.SetPriority(kThreadPriorityLowest);
  context.last_result = kPlayerOk;
  if (!context.playing) {
    context.disk_thread.SetPriority(kThreadPriorityNormal);
    return kPlayerOk;
  }

  // Wait for the frame to be loaded; a stop gives up the wait (even one that has already
  // finished: `playing` stays clear).
  FrameSlot* slot = nullptr;
  for (;;) {
    const std::uint32_t seen = context.wake_count.load();
    // The reader clears a slot's busy flag right after storing it, and wakes us then.
    slot = context.closing ? nullptr : Ring_Find(context, frame_index);
    if (slot != nullptr && !slot->busy) break;
    if (slot != nullptr && !context.playing && !context.halting) {
      // Still being loaded when playback stopped.
      context.frame_wanted = -1;
      context.last_result = kPlayerReadFailed;
      context.disk_thread.SetPriority(kThreadPriorityNormal);
      return kPlayerReadFailed;
    }
    if (context.closing || !context.playing || context.halting) {
      context.frame_wanted = -1;
      context.disk_thread.SetPriority(kThreadPriorityNormal);
      return kPlayerOk;
    }
    // The reader learns that this frame is asked for (once), then the wait goes on.
    if (context.frame_wanted.exchange(frame_index) != frame_index) {
      Engine_Wake(context);
      continue;
    }
    Engine_WaitForWake(context, seen);
  }
  context.frame_wanted = -1;

  context.step_busy = true;
  const LoadedFrame frame{slot->data.get(), static_cast<std::uint32_t>(slot->data_length)};
  std::int32_t picture_length = 0;
  const std::uint8_t* picture = Frame_FindChunk(frame, "IX", &picture_length);
  const std::int32_t decoded = context.decoded_frame.exchange(-1);
  if (picture == nullptr) return FinishStep(context, kPlayerNoVideoChunk);
  const bool corrupt = PresentPicture(context, picture, picture_length) != kDecodeOk;
  // Played on from a frame a seek decoded, or from the start, the picture is still playback's (a
  // damaged one is left out: a seek to it again must say it is damaged).
  const bool shown =
      context.display_mode == kDisplayFullScreen || context.display_mode == kDisplayWindow;
  const bool follows =
      decoded >= 0 ? frame_index == decoded + 1 : decoded == kBeforeFrame0 && frame_index == 0;
  if (shown && !corrupt && follows) {
    context.decoded_frame = frame_index;
    RunUp_Keep(context, frame_index);
  }

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
  const std::int32_t pass = context.loop_count;
  std::int32_t next = context.current_frame + 1;
  if (context.loop_mode != kLoopOff && next == context.frame_count) {
    next = 0;
    context.loop_count += 1;
  }
  context.current_frame = next;
  context.disk_semaphore->Release();

  context.frames_stepped += 1;
  FinishStep(context, kPlayerOk);
  // A refused restart at the loop point is kept in last_result; the step itself went through.
  if (restart_refused) context.last_result = kPlayerSoundRefused;
  Engine_Wake(context);
  // Player_Step: this frame was the one asked for; the engine pauses again.
  std::uint8_t asked = kStepAsked;
  if (context.stepping.compare_exchange_strong(asked, kStepPausing)) {
    Engine_PauseClock(context);
    context.stepping = kStepNone;
    context.stepping.notify_all();
  }
  Engine_ReportPresented(context, frame_index, pass, corrupt);
  return kPlayerOk;
}

std::uint32_t ClockPeriod(float frames_per_second) {
  if (!(frames_per_second > 0.0f) || !std::isfinite(frames_per_second)) return 0;
  // A header's rate ticks every 5 d ms for its duration of d / 200 s: the float rate divided
  // back may come to a hair less (224.99998 for 45), which truncated ran a millisecond short.
  if (const std::uint16_t duration = FrameDurationOfRate(frames_per_second); duration != 0)
    return 5u * duration;
  const float period = 1000.0f / frames_per_second;
  if (period >= 4294967295.0f) return 0xFFFFFFFFu;
  const std::uint32_t truncated = static_cast<std::uint32_t>(period);
  return truncated == 0 ? 1 : truncated;
}

bool Clock_Start(PlayerContext& context, std::uint32_t period_ms) {
  Clock_Stop(context);
  context.timer_skip_tick = true;
  context.timer_period_ms = period_ms;
  // A seek holding the threads down (its listener playing on) starts the clock when it is done.
  if (context.halting) return true;
  // The clock counts as running before its first tick can come: a tick whose frame callback
  // pauses (step mode) must find it running, or the pause would leave the timer ticking.
  context.timer_active = true;
  if (!Engine_MayCreateThread(context, EngineThread::kClock) ||
      !context.timer.Start(period_ms, &Clock_Tick, &context, context.services.free_running_clock)) {
    context.timer_active = false;
    return false;
  }
  context.timer_id += 1;
  // A stop on another thread (the disk reader's, at the end of the movie) may have run between
  // the clock stop above and this start, and missed this clock. Nothing plays then: no ticks.
  // So may a seek that began holding the threads down meanwhile (this start made by a listener
  // on a tick, while the seek stopped the clock): the seek starts the clock when it is done.
  if (!context.playing || context.halting) Clock_Stop(context);
  return true;
}

void Clock_Stop(PlayerContext& context) {
  // Stopped whatever timer_active says: a start on another thread may have set it just before a
  // stop on a tick cleared it, and started its timer after, which no stop would end otherwise.
  context.timer_active = false;
  context.timer.Stop();
}

void Clock_Tick(void* user) {
  auto& context = *static_cast<PlayerContext*>(user);
  const EngineThreadScope engine_thread(context);
  if (context.timer_busy.exchange(true)) return;
  if (context.timer_skip_tick) {
    context.timer_skip_tick = false;
    EndTick(context);
    return;
  }
  if (context.services.clock_held != nullptr && context.services.clock_held->load()) {
    EndTick(context);
    return;
  }
  const std::int32_t frame = context.current_frame;
  const std::int32_t result = Frame_Step(context, frame, nullptr, context.sound.audio_frame_bytes);
  // A listener that stopped playback on this thread: the context may be in new hands already.
  if (Engine_StoppedHere(context)) {
    EndTick(context);
    return;
  }
  // The clock retries a failing frame at every tick; the pictures stand still from here.
  if (result != kPlayerOk && context.playing)
    Engine_RecordEnd(context, PlaybackEnd::kStepFailed, result, frame,
                     "frame " + std::to_string(frame) + ": " + Player_ResultText(result));
  if (context.frame_callback != nullptr) context.frame_callback(context.user_value);
  EndTick(context);
}

namespace {

void PublishPaused(PlayerContext& context, bool paused) {
  context.paused = paused;
  Status_Publish(context, [paused](PlayerStatus& status) {
    if (status.state == PlayerState::kPlaying || status.state == PlayerState::kPaused ||
        status.state == PlayerState::kStepping)
      status.state = paused ? PlayerState::kPaused : PlayerState::kPlaying;
  });
}

}  // namespace

void Engine_PauseClock(PlayerContext& context) {
  if (context.sound_on) {
    if (context.wave_out && context.wave_out_open) context.wave_out->Pause();
  } else {
    Clock_Stop(context);
  }
  PublishPaused(context, true);
}

std::int32_t Player_Pause(PlayerContext& context) {
  const ControlScope control(context);
  if (!context.playing) return 0;
  if (context.sound_on) {
    if (!context.wave_out || !context.wave_out_open) return kDeviceBadDevice;
    const std::int32_t result = context.wave_out->Pause();
    if (result == kDeviceOk) PublishPaused(context, true);
    return result;
  }
  Clock_Stop(context);
  PublishPaused(context, true);
  return 1;
}

std::int32_t Player_PauseSoundAfterPeriod(PlayerContext& context) {
  if (!context.playing || !context.sound_on) return kDeviceOk;
  if (!context.wave_out || !context.wave_out_open) return kDeviceBadDevice;
  return context.wave_out->PauseAfterCurrent();
}

std::int32_t Player_Restart(PlayerContext& context) {
  const ControlScope control(context);
  // A step still on its way is called off; one pausing the clock right now is waited for, so
  // that its pause comes before this restart. (A frame step never runs this itself while
  // pausing: its listener and frame callback come after the pause.)
  std::uint8_t step = kStepAsked;
  while (!context.stepping.compare_exchange_strong(step, kStepNone) && step == kStepPausing) {
    context.stepping.wait(kStepPausing);
    step = kStepAsked;
  }
  if (context.sound_on) {
    if (!context.wave_out || !context.wave_out_open) return kDeviceBadDevice;
    // Said before the card plays on: a frame it had finished before the pause comes at once, and
    // the pause its frame callback may make (step mode) must have the last word.
    const bool was_paused = context.paused;
    if (context.playing) PublishPaused(context, false);
    const std::int32_t result = context.wave_out->Restart();
    if (result != kDeviceOk && context.playing) PublishPaused(context, was_paused);
    return result;
  }
  const bool started = Clock_Start(context, ClockPeriod(context.frame_rate));
  // A clock that cannot run leaves the movie standing, paused or not before.
  if (context.playing) PublishPaused(context, !started);
  return started ? 1 : 0;
}

std::uint32_t PlaybackRateValue(double ratio) {
  if (!(ratio > 0.0)) return 0;
  if (ratio >= 65536.0) return 0xFFFFFFFFu;
  const double whole = std::floor(ratio);
  const auto integer = static_cast<std::uint32_t>(whole);
  const auto fraction = static_cast<std::uint32_t>((ratio - whole) * 65536.0);
  return (integer << 16) | (fraction & 0xFFFF);
}

std::uint32_t Player_SoundRateValue(const PlayerContext& context, float frames_per_second) {
  const double ratio =
      context.frame_rate != 0.0f
          ? static_cast<double>(frames_per_second) / static_cast<double>(context.frame_rate)
          : static_cast<double>(frames_per_second) / context.sound.sample_rate;
  return PlaybackRateValue(ratio);
}

void Player_SetRate(PlayerContext& context, float frames_per_second) {
  const ControlScope control(context);
  // Rates below zero, or not numbers, mean nothing to either clock.
  if (!(frames_per_second >= 0.0f) || !std::isfinite(frames_per_second)) return;
  if (context.sound_on) {
    const std::uint32_t value = Player_SoundRateValue(context, frames_per_second);
    if (value != 0 && context.wave_out && context.wave_out_open)
      context.wave_out->SetPlaybackRate(value);
    return;
  }
  if (frames_per_second != 0.0f && context.playing) {
    Clock_Stop(context);
    // Paused (or paused by a step's tick that the stop above waited for), the clock stays
    // stopped: the rate is kept for a step or a seek to play on at.
    if (context.paused) {
      context.timer_period_ms = ClockPeriod(frames_per_second);
      return;
    }
    // A clock that cannot run again leaves the movie standing: it says so.
    if (!Clock_Start(context, ClockPeriod(frames_per_second))) PublishPaused(context, true);
  }
}

}  // namespace tarvel
