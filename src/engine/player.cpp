// The player context's lifecycle: reset, pixel format, open, start and stop.
#include <algorithm>
#include <cstring>
#include <new>

#include "engine/player_context.h"
#include "platform/debug_output.h"
#include "video/video_decoder.h"

namespace tarvel {

namespace {

PlayerContext g_player;

std::unique_ptr<AudioDevice> MakeSoundCard(void*) {
  return CreateSdlAudioDevice();
}

bool MayCreateThread(PlayerContext& context, EngineThread which) {
  return context.services.thread_gate == nullptr ||
         context.services.thread_gate(which, context.services.thread_gate_user);
}

// A disk reader that stopped playback on its own leaves its thread to be collected here.
void CollectDiskReader(PlayerContext& context) {
  if (!context.disk_thread.exists() || context.disk_thread.IsCurrent()) return;
  while (context.disk_thread.ExitCode() == kThreadStillActive) YieldThread();
  context.disk_thread.Close();
  context.disk_thread_id = 0;
}

// Wakes the sound thread, waits for it to end and closes it. Its semaphore stays until the
// device is closed: the device's done-messages release it.
void EndSoundThread(PlayerContext& context) {
  if (!context.sound_thread.exists()) return;
  if (context.sound_semaphore) context.sound_semaphore->Release();
  do {
    YieldThread();
    DebugOutput("Attente Thread Son\n");
  } while (context.sound_thread.ExitCode() == kThreadStillActive);
  context.sound_thread.Close();
}

// Resets the device, gives the 32 buffers back and closes the device.
void CloseSoundDevice(PlayerContext& context) {
  if (!context.wave_out || !context.wave_out_open) return;
  if (context.wave_buffers) {
    context.wave_out->Reset();
    for (std::int32_t i = 0; i < kWaveBufferCount; ++i) WaveBuffer_Release(context.wave_buffers[i]);
    context.wave_buffers.reset();
  }
  context.wave_out->Close();
  context.wave_out_open = false;
}

void FreeRing(PlayerContext& context) {
  if (!context.frame_ring) return;
  for (std::int32_t i = 0; i < context.ring_capacity; ++i) {
    FrameSlot* slot = context.frame_ring[i].exchange(nullptr);
    delete slot;
  }
  context.frame_ring.reset();
  context.ring_indexes.reset();
  context.ring_capacity = 0;
}

std::int32_t FailStart(PlayerContext& context, std::int32_t code) {
  context.last_result = code;
  Player_Stop(context);
  return code;
}

// Clears start_in_progress when Player_Start returns, and then runs the stop that a disk reader
// which finished during the start left to it.
struct StartScope {
  explicit StartScope(PlayerContext& c) : context(c) { context.start_in_progress = true; }
  ~StartScope() {
    context.start_in_progress = false;
    if (context.reader_finished && context.playing) Player_Stop(context);
  }
  PlayerContext& context;
};

}  // namespace

PlayerContext::PlayerContext() {
  services.make_audio_device = &MakeSoundCard;
  video_decoder = nullptr;
  Player_Reset(*this);
}

PlayerContext::~PlayerContext() {
  Player_Destroy(*this);
}

PlayerContext& Player_Instance() {
  return g_player;
}

void Player_Reset(PlayerContext& context) {
  // Resetting under a running playback would pull everything from under its threads.
  if (context.playing || context.movie_open) Player_Stop(context);
  CollectDiskReader(context);
  context.width = 0;
  context.height = 0;
  context.frame_count = 0;
  context.read_position = 0;
  context.current_frame = 0;
  context.bytes_per_pixel = 2;
  context.frame_rate = kDefaultFrameRate;
  context.red_bits = 5;
  context.green_bits = 5;
  context.blue_bits = 5;
  context.extra_bits = 0;
  context.loop_count = 0;
  context.display_mode = 0;
  context.user_value = nullptr;
  context.output_width = 0;
  context.output_height = 0;
  context.sound.audio_lead_copy.clear();
  context.step_busy = false;
  context.closing = false;
  context.playing = false;
  context.movie_open = false;
  context.display_change_failed = false;
  context.loop_mode = kLoopOff;
  context.scaled_width = 0;
  context.scaling_buffer.reset();
  context.last_result = kPlayerOk;
  context.frame_callback = nullptr;
  context.chunk_handler = nullptr;
  context.dib_section = nullptr;
  context.sound_semaphore.reset();
  context.wave_buffers.reset();
  context.disk_semaphore.reset();
  context.disk_thread_id = 0;
  context.source.source_kind = kSourcePlainFile;
  context.source.memory_cursor = nullptr;
  context.source.movie_file = nullptr;
  context.frame_ring.reset();
  context.ring_indexes.reset();
  context.ring_capacity = 0;
}

std::int32_t Player_Init(PlayerContext& context, std::int32_t interface_version) {
  if (interface_version != kPlayerInterfaceVersion) return kPlayerWrongVersion;
  Player_Reset(context);
  return kPlayerOk;
}

bool Player_SetPixelFormat(PlayerContext& context, std::int32_t depth) {
  if (depth == 15) {
    context.bytes_per_pixel = 2;
    context.red_bits = 5;
    context.green_bits = 5;
    context.blue_bits = 5;
    context.extra_bits = 0;
    context.red_mask = 0x7C00;
    context.green_mask = 0x03E0;
    context.blue_mask = 0x001F;
    context.extra_mask = 0;
  } else if (depth == 16) {
    context.bytes_per_pixel = 2;
    context.red_bits = 5;
    context.green_bits = 6;
    context.blue_bits = 5;
    context.extra_bits = 0;
    context.red_mask = 0xF800;
    context.green_mask = 0x07E0;
    context.blue_mask = 0x001F;
    context.extra_mask = 0;
  } else {
    return false;
  }
  context.video_decoder.reset();
  context.video_decoder =
      VideoDecoder::Create(static_cast<int>(context.height), static_cast<int>(context.width), depth,
                           OutputPicture::kCaller);
  return true;
}

bool Player_SetFrameCallback(PlayerContext& context, FrameCallback callback, void* user_value) {
  if (context.playing) return false;
  context.user_value = user_value;
  context.frame_callback = callback;
  return true;
}

bool Player_SetLoop(PlayerContext& context, std::int32_t on) {
  if (context.playing) return false;
  context.loop_mode = on != 0 ? kLoopOn : kLoopOff;
  return true;
}

std::int32_t Player_Open(PlayerContext& context, const char* name) {
  if (context.playing || context.movie_open) return kPlayerCannotOpen;
  while (context.closing) YieldThread();
  context.last_result = kPlayerOk;
  CollectDiskReader(context);

  if (!Source_Open(context.source, name)) return kPlayerCannotOpen;
  context.movie_open = true;
  context.movie_length = Source_Length(context.source);
  context.reader_offset = kFirstFrameOffset;

  if (!Source_Read(context.source, context.header, kMovieHeaderSize)) {
    context.last_result = kPlayerReadFailed;
  } else {
    const MovieHeader header = ParseMovieHeader(context.header);
    context.width = header.width;
    context.height = header.height;
    context.frame_count = header.frame_count;
    if (header.sound) {
      context.sound_on = true;
      if (Adpcm_Init(kPlayerAdpcmVersion) != kAdpcmOk) {
        context.sound_on = false;
        context.last_result = kPlayerSoundRefused;
      }
    } else {
      context.sound_on = false;
    }
    context.frame_rate = FrameRateFromDuration(header.frame_duration, context.frame_rate);
    // The decoder works in whole 8 x 8 blocks.
    if (!IsSupportedPictureSize(header.width, header.height))
      context.last_result = kPlayerReadFailed;
  }

  const std::size_t pixels = std::size_t{context.width} * context.height;
  if (context.last_result == kPlayerOk) {
    // The scalers read exactly 640 x 480 pixels: pictures of any other size play unscaled.
    const bool scaled = context.scaled_width != 0 && context.width == kScaledSourceWidth &&
                        context.height == kScaledSourceHeight;
    if (scaled) {
      context.scaling_buffer.reset(new (std::nothrow) std::uint16_t[pixels]());
      if (!context.scaling_buffer) context.last_result = kPlayerOutOfMemory;
      const bool known = context.scaled_width == 800 || context.scaled_width == 1024;
      context.output_width = known ? context.scaled_width : context.width;
      context.output_height = known ? context.scaled_width * 3 / 4 : context.height;
    } else {
      context.output_width = context.width;
      context.output_height = context.height;
    }
  }
  const std::int32_t result = context.last_result;
  if (result != kPlayerOk) Player_Stop(context);
  return result;
}

std::int32_t Player_Start(PlayerContext& context, void* target, std::int32_t display_mode,
                          void* /*window*/, std::int32_t ring_size) {
  context.last_result = kPlayerOk;
  if (context.playing || !context.movie_open) return kPlayerReadFailed;
  StartScope scope(context);
  CollectDiskReader(context);

  // A ring needs at least one entry to hold frame 0.
  const std::int32_t capacity = std::max(ring_size, 1);
  context.frame_ring.reset(new (std::nothrow)
                               std::atomic<FrameSlot*>[static_cast<std::size_t>(capacity)]);
  context.ring_indexes.reset(new (std::nothrow)
                                 std::atomic<std::int32_t>[static_cast<std::size_t>(capacity)]);
  if (!context.frame_ring || !context.ring_indexes) {
    context.frame_ring.reset();
    context.ring_indexes.reset();
    return kPlayerOutOfMemory;
  }
  context.ring_capacity = capacity;
  context.ring_size = std::min(capacity, context.frame_count);
  for (std::int32_t i = 0; i < capacity; ++i) {
    context.frame_ring[i] = nullptr;
    context.ring_indexes[i] = -1;
  }

  context.display_mode = display_mode;
  context.disk_semaphore = std::make_unique<Semaphore>(context.ring_size, context.ring_size);
  context.current_frame = 0;
  context.read_position = 0;
  context.loop_count = 0;
  context.step_busy = false;
  context.reader_finished = false;
  context.frames_loaded = 0;
  context.reader_exit_code = kThreadStillActive;
  context.next_wave_buffer = 0;

  // Set before the reader exists, which leaves at once when it finds it clear.
  context.playing = true;
  const bool created =
      context.disk_thread.Start([&context] { return Reader_Thread(context); },
                                !MayCreateThread(context, EngineThread::kDiskReader));
  context.disk_thread_id = context.disk_thread.id();
  if (!created || context.disk_thread_id == 0) return FailStart(context, kPlayerNoThread);

  std::int32_t depth = 15;
  if (display_mode == kDisplayFullScreen) {
    context.surface_bits = nullptr;
    if (context.presentation.create_fullscreen_surface != nullptr)
      context.surface_bits = context.presentation.create_fullscreen_surface(
          target, context.output_width, context.output_height, &context.dib_section);
    if (context.surface_bits == nullptr) return FailStart(context, kPlayerNoSurface);
    if (!context.display_change_failed) {
      std::uint32_t screen_width = 0;
      std::uint32_t screen_height = 0;
      if (context.presentation.screen_size != nullptr &&
          context.presentation.screen_size(&screen_width, &screen_height)) {
        context.saved_screen_width = screen_width;
        context.saved_screen_height = screen_height;
      }
      context.display_request = DisplayRequest{};
      context.display_request.size = kFullScreenRequestSize;
      context.display_request.fields = kDisplayFieldsWidthHeight;
      context.display_request.width = context.output_width;
      context.display_request.height = context.output_height;
      if (context.presentation.change_display == nullptr ||
          !context.presentation.change_display(context.display_request))
        context.display_change_failed = true;
    }
    depth = 15;
  } else if (display_mode == kDisplayWindow) {
    context.surface_bits = static_cast<std::uint8_t*>(target);
    if (context.green_bits == 0) return FailStart(context, kPlayerBadDisplayMode);
    // Without pixels there is nowhere to present.
    if (context.surface_bits == nullptr) return FailStart(context, kPlayerNoSurface);
    depth = context.green_bits == 6 ? 16 : 15;
  } else {
    return FailStart(context, kPlayerBadDisplayMode);
  }

  Player_SetPixelFormat(context, depth);
  if (!context.video_decoder) return FailStart(context, kPlayerOutOfMemory);

  // Frame 0 goes into entry 0, all entries being free at start.
  while (context.playing && context.frame_ring[0].load() == nullptr && !context.reader_finished)
    YieldThread();
  FrameSlot* first = context.frame_ring[0].load();
  while (context.playing && first != nullptr && first->busy) SleepMilliseconds(1);
  if (!context.playing || first == nullptr || first->busy) {
    // The reader ended before frame 0 was there: its code says why.
    const std::uint32_t reader_code = context.disk_thread.ExitCode();
    Player_Stop(context);
    if (context.last_result == kPlayerOk)
      context.last_result = (reader_code != kPlayerOk && reader_code != kThreadStillActive)
                                ? static_cast<std::int32_t>(reader_code)
                                : kPlayerReadFailed;
    return context.last_result;
  }

  if (context.sound_on) {
    std::int32_t length = 0;
    const LoadedFrame frame{first->data.get(), static_cast<std::uint32_t>(first->data_length)};
    const std::uint8_t* payload = Sound_FindAudioChunk(frame, &length);
    if (payload == nullptr) {
      context.sound_on = false;
    } else if (Sound_SetupStream(context.sound, payload, length) != kAdpcmOk ||
               context.sound.audio_frame_bytes <= 0) {
      // A stream whose frame period holds no sound cannot pace playback.
      context.sound_on = false;
      context.last_result = kPlayerSoundRefused;
    } else {
      // The semaphore exists before the device can send a done-message.
      context.sound_semaphore = std::make_unique<Semaphore>(0, kWaveBufferCount);
      if (Wave_OpenDevice(context) != kDeviceOk) {
        context.sound_on = false;
        context.last_result = kPlayerDeviceRefused;
      } else if (!context.sound_thread.Start([&context] { return Sound_Thread(context); },
                                             !MayCreateThread(context, EngineThread::kSound))) {
        return FailStart(context, kPlayerNoThread);
      }
    }
    if (context.sound_on) return Wave_Prime(context);
  }

  // Read before the clock runs: from then on its steps set last_result.
  const std::int32_t result = context.last_result;
  Clock_Start(context, ClockPeriod(context.frame_rate));
  return result;
}

void Player_Stop(PlayerContext& context) {
  context.playing = false;
  if (context.closing.exchange(true)) {
    // Another thread is stopping. The disk reader must not wait: that stop waits for it.
    if (context.disk_thread.IsCurrent()) return;
    while (context.closing) YieldThread();
    return;
  }
  while (context.step_busy) YieldThread();
  DebugOutput("Thread Play Stopper\n");

  if (context.sound_on) {
    // The sound thread ends before the device and its buffers go, so that it never queues a
    // buffer that has been released.
    EndSoundThread(context);
    CloseSoundDevice(context);
    context.sound_on = false;
  } else {
    if (context.timer_active) Clock_Stop(context);
    // A device opened for a start that failed later.
    CloseSoundDevice(context);
  }
  EndSoundThread(context);
  context.sound_semaphore.reset();
  DebugOutput("Thread Son Stopper\n");

  if (context.display_mode == kDisplayFullScreen && !context.display_change_failed &&
      context.presentation.change_display != nullptr) {
    DisplayRequest request;
    request.size = kFullScreenRequestSize;
    request.fields = kDisplayFieldsWidthHeight;
    request.width = context.saved_screen_width;
    request.height = context.saved_screen_height;
    context.presentation.change_display(request);
  }

  if (!context.disk_thread.IsCurrent() && context.disk_thread.exists()) {
    if (context.disk_semaphore) context.disk_semaphore->Release();
    while (context.disk_thread.ExitCode() == kThreadStillActive) YieldThread();
    context.disk_thread.Close();
    context.disk_thread_id = 0;
  }
  DebugOutput("Thread Disque Stopper\n");

  if (context.dib_section != nullptr) {
    if (context.presentation.delete_surface != nullptr)
      context.presentation.delete_surface(context.dib_section);
    context.dib_section = nullptr;
  }
  FreeRing(context);
  context.disk_semaphore.reset();
  Source_Close(context.source);
  if (context.loop_mode > kLoopOn) context.loop_mode = context.loop_mode - 1;
  // The decoder goes with its pictures; start makes a new one.
  context.video_decoder.reset();
  context.scaling_buffer.reset();
  context.sound.audio_lead_copy.clear();
  context.sound.audio_lead_copy.shrink_to_fit();
  // Closed before `closing` drops, so that a stop waiting on another thread finds it closed.
  context.movie_open = false;
  context.closing = false;
}

void Player_StopIfPlaying(PlayerContext& context) {
  if (context.playing) Player_Stop(context);
}

void Player_Destroy(PlayerContext& context) {
  Player_Stop(context);
  CollectDiskReader(context);
  context.timer.Stop();
  context.video_decoder.reset();
  context.wave_out.reset();
}

}  // namespace tarvel
