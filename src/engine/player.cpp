// The player context's lifecycle: reset, pixel format, open, start and stop.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "container/movie_reader.h"
#include "engine/player_context.h"
#include "platform/debug_output.h"
#include "storage/file_open.h"
#include "video/video_decoder.h"

namespace tarvel {

namespace {

PlayerContext g_player;

std::unique_ptr<AudioDevice> MakeSoundCard(void*) {
  return CreateSdlAudioDevice();
}

// Joins an engine thread that ended playback itself: a disk reader at the end of a movie, or a
// sound thread whose callback stopped playback. The next open, start or destroy does this.
void CollectEngineThreads(PlayerContext& context) {
  if (context.disk_thread.exists() && !context.disk_thread.IsCurrent()) {
    context.disk_thread.Close();
    context.disk_thread_id = 0;
  }
  if (context.sound_thread.exists() && !context.sound_thread.IsCurrent())
    context.sound_thread.Close();
}

// Wakes the sound thread, waits for it to end and closes it. Its semaphore stays until the
// device is closed: the device's done-messages release it. A stop running on the sound thread
// itself (from a callback) leaves it to end when the callback returns.
void EndSoundThread(PlayerContext& context) {
  if (!context.sound_thread.exists()) return;
  if (context.sound_semaphore) context.sound_semaphore->Release();
  if (context.sound_thread.IsCurrent()) return;
  DebugOutput("Attente Thread Son\n");
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

// Whether `thread`, a reader asked to end, ends within the wait the services allow; one that a
// stop before has left in its read is not waited for again.
bool ReaderEnds(const PlayerContext& context, const WorkerThread& thread) {
  const std::int32_t wait = context.services.reader_wait_ms;
  return wait < 0 || thread.EndsWithin(std::chrono::milliseconds(context.readers_left ? 0 : wait));
}

// A stop whose reader is still inside a read goes no further: the reader keeps the movie's file
// and the frame it reads into. The movie stays open; the next stop finishes once it has ended.
void LeaveReaders(PlayerContext& context) {
  DebugOutput("tarvel: a read of the movie does not end; its reader is left to it\n");
  context.readers_left = true;
  context.stop_requested = false;
  Engine_RecordEnd(context, PlaybackEnd::kUserStop, kPlayerOk, context.current_frame, {});
  Status_Publish(context, [&context](PlayerStatus& status) {
    context.closing = false;
    status.state = PlayerState::kOpen;
    status.sound_on = false;
  });
  context.closing.notify_all();
}

std::int32_t FailStart(PlayerContext& context, std::int32_t code, const std::string& problem = {}) {
  context.last_result = code;
  Engine_RecordEnd(context, PlaybackEnd::kStartFailed, code, context.current_frame,
                   problem.empty() ? Player_ResultText(code) : problem);
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
  CollectEngineThreads(context);
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
  context.paused = false;
  Status_Publish(context, [](PlayerStatus& status) { status = PlayerStatus{}; });
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
  context.decoded_frame = -1;
  RunUp_Clear(context);
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
  // A stop running on another thread finishes first.
  context.closing.wait(true);
  context.last_result = kPlayerOk;
  CollectEngineThreads(context);
  Status_Publish(context, [](PlayerStatus& status) { status = PlayerStatus{}; });

  context.start_frame = 0;
  if (!Source_Open(context.source, name)) {
    // A plain file says why (a folder, a pipe, no such file); a package entry is not found.
    const char* why = context.source.source_kind == kSourcePlainFile
                          ? FileOpenProblemText(context.source.open_problem)
                          : Player_ResultText(kPlayerCannotOpen);
    Status_Publish(context, [why](PlayerStatus& status) { Status_SetProblem(status, why); });
    return kPlayerCannotOpen;
  }
  context.movie_open = true;
  context.movie_identified = context.source.source_kind == kSourcePlainFile &&
                             IdentifyOpenFile(context.source.movie_file, &context.movie_identity);
  context.movie_length = Source_Length(context.source);
  context.reader_offset = kFirstFrameOffset;

  std::string problem;
  bool header_sound = false;
  if (!Source_Read(context.source, context.header, kMovieHeaderSize)) {
    context.last_result = kPlayerReadFailed;
    problem = context.source.read_failed ? kHeaderReadErrorText
              : context.movie_length >= 0 &&
                      context.movie_length < static_cast<std::int64_t>(kMovieHeaderSize)
                  ? "not a movie: shorter than the 64-byte header"
                  : "the 64-byte header could not be read";
  } else {
    const MovieHeader header = ParseMovieHeader(context.header);
    header_sound = header.sound;
    context.width = header.width;
    context.height = header.height;
    context.frame_count = header.frame_count;
    if (header.sound) {
      context.sound_on = true;
      if (Adpcm_Init(kPlayerAdpcmVersion) != kAdpcmOk) {
        context.sound_on = false;
        context.last_result = kPlayerSoundRefused;
        problem = "the sound library refused to start";
      }
    } else {
      context.sound_on = false;
    }
    // A movie without a duration plays at the default rate, not at whatever the movie before had.
    context.frame_rate = FrameRateFromDuration(header.frame_duration, kDefaultFrameRate);
    // The decoder works in whole 8 x 8 blocks, and the two pictures must fit in memory.
    if (const std::string size_problem = PictureSizeProblem(header.width, header.height);
        !size_problem.empty()) {
      context.last_result = kPlayerReadFailed;
      problem = Source_IsTarArchive(context.source, header) ? kTarArchiveProblem : size_problem;
    }
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
  if (context.last_result == kPlayerOutOfMemory)
    problem = "not enough memory for its " + std::to_string(context.width) + "x" +
              std::to_string(context.height) + " pictures";

  const std::int32_t result = context.last_result;
  Status_Publish(context, [&](PlayerStatus& status) {
    status.width = context.width;
    status.height = context.height;
    status.output_width = context.output_width;
    status.output_height = context.output_height;
    status.frame_count = context.frame_count;
    status.frame_rate = context.frame_rate;
    status.movie_has_sound = header_sound;
    status.state = PlayerState::kOpen;
    Status_SetProblem(status, problem);
  });
  if (result == kPlayerOk) {
    context.movie_name = name;
    Index_Start(context);
  } else {
    Player_Stop(context);
    // A movie that could not be opened has not ended a playback.
    Status_Publish(context, [](PlayerStatus& status) {
      status.end = PlaybackEnd::kNone;
      status.end_code = 0;
      status.end_frame = 0;
    });
  }
  return result;
}

std::int32_t Player_Start(PlayerContext& context, void* target, std::int32_t display_mode,
                          void* /*window*/, std::int32_t ring_size) {
  context.last_result = kPlayerOk;
  if (context.playing || !context.movie_open) return kPlayerReadFailed;
  StartScope scope(context);
  CollectEngineThreads(context);

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
  context.step_failed = false;
  context.frame_wanted = -1;
  context.frames_loaded = 0;
  context.reader_exit_code = kThreadStillActive;
  context.next_wave_buffer = 0;
  context.paused = false;
  Status_Publish(context, [](PlayerStatus& status) {
    status.state = PlayerState::kPlaying;
    status.current_frame = 0;
    status.shown_frame = -1;
    status.loop_count = 0;
    status.pictures_presented = 0;
    status.corrupt_frames = 0;
    status.first_corrupt_frame = -1;
    status.last_corrupt_frame = -1;
    status.end = PlaybackEnd::kNone;
    status.end_code = 0;
    status.end_frame = 0;
    status.problem[0] = '\0';
    status.silent_reason[0] = '\0';
    status.sound_lost = false;
  });
  // Nothing to play: said as such, rather than as a frame that could not be read.
  if (context.frame_count == 0) return FailStart(context, kPlayerReadFailed, kNoFramesProblem);

  // Set before the reader exists, which leaves at once when it finds it clear.
  context.playing = true;
  const bool created =
      context.disk_thread.Start([&context] { return Reader_Thread(context); },
                                !Engine_MayCreateThread(context, EngineThread::kDiskReader));
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
  if (!context.video_decoder)
    return FailStart(context, kPlayerOutOfMemory,
                     "not enough memory for its " + std::to_string(context.width) + "x" +
                         std::to_string(context.height) + " pictures");
  // From frame 0, the first picture is decoded over zeroed pictures, as a seek to it decodes it:
  // the pictures played are then playback's first pass, which seeks may decode on from.
  if (context.start_frame == 0) {
    context.video_decoder->SetOutput(Engine_DecoderOutput(context));
    context.video_decoder->Reset();
    context.decoded_frame = kBeforeFrame0;
  }

  // Frame 0 goes into entry 0, all entries being free at start. The reader wakes this wait
  // when it has loaded a frame or ended.
  FrameSlot* first = nullptr;
  for (;;) {
    const std::uint32_t seen = context.wake_count.load();
    first = context.frame_ring[0].load();
    if (!context.playing || context.reader_finished || (first != nullptr && !first->busy)) break;
    Engine_WaitForWake(context, seen);
  }
  if (!context.playing || first == nullptr || first->busy) {
    // The reader ended before frame 0 was there: its code says why.
    const std::uint32_t reader_code = context.reader_exit_code;
    Player_Stop(context);
    if (context.last_result == kPlayerOk)
      context.last_result = (reader_code != kPlayerOk && reader_code != kThreadStillActive)
                                ? static_cast<std::int32_t>(reader_code)
                                : kPlayerReadFailed;
    return context.last_result;
  }

  if (context.sound_on) {
    const char* refused_because = "the sound stream is not valid ADQ sound";
    std::int32_t length = 0;
    const LoadedFrame frame{first->data.get(), static_cast<std::uint32_t>(first->data_length)};
    const std::uint8_t* payload = Sound_FindAudioChunk(frame, &length);
    if (payload == nullptr) {
      context.sound_on = false;
      Status_Publish(context, [](PlayerStatus& status) {
        Status_SetSilentReason(status, kNoFrame0SoundProblem);
      });
    } else if (Sound_SetupStream(context.sound, payload, length) != kAdpcmOk) {
      context.sound_on = false;
      context.last_result = kPlayerSoundRefused;
    } else if (context.sound.audio_frame_bytes <= 0) {
      // A stream whose frame period holds no sound cannot pace playback.
      context.sound_on = false;
      context.last_result = kPlayerSoundRefused;
      refused_because = kEmptySoundPeriodProblem;
    } else {
      // The semaphore exists before the device can send a done-message.
      context.sound_semaphore = std::make_unique<Semaphore>(0, kWaveBufferCount);
      if (Wave_OpenDevice(context) != kDeviceOk) {
        context.sound_on = false;
        context.last_result = kPlayerDeviceRefused;
        const std::string reason = context.wave_out ? context.wave_out->LastError() : "";
        Status_Publish(context, [&](PlayerStatus& status) {
          Status_SetProblem(status, "the sound device could not be opened" +
                                        (reason.empty() ? std::string() : ": " + reason));
        });
      } else if (!context.sound_thread.Start(
                     [&context] { return Sound_Thread(context); },
                     !Engine_MayCreateThread(context, EngineThread::kSound))) {
        return FailStart(context, kPlayerNoThread);
      }
    }
    if (context.last_result == kPlayerSoundRefused)
      Status_Publish(context, [refused_because](PlayerStatus& status) {
        Status_SetProblem(status, std::string(refused_because) + "; playing without sound");
        Status_SetSilentReason(status, refused_because);
      });
    if (context.sound_on) {
      Status_Publish(context, [&context](PlayerStatus& status) {
        status.sound_on = true;
        status.stereo = context.sound.stereo != 0;
        status.sample_rate = context.sound.sample_rate;
        status.pcm_bytes_per_period = context.sound.audio_frame_bytes;
      });
      if (context.start_frame > 0) return Engine_StartAt(context, context.start_frame);
      return Wave_Prime(context);
    }
  }
  if (context.start_frame > 0) {
    const std::int32_t started = Engine_StartAt(context, context.start_frame);
    return started != kPlayerOk ? started : context.last_result.load();
  }

  // Read before the clock runs: from then on its steps set last_result.
  const std::int32_t result = context.last_result;
  // Without its thread nothing would ever be presented.
  if (!Clock_Start(context, ClockPeriod(context.frame_rate)))
    return FailStart(context, kPlayerNoThread);
  return result;
}

bool Engine_MayCreateThread(PlayerContext& context, EngineThread which) {
  return context.services.thread_gate == nullptr ||
         context.services.thread_gate(which, context.services.thread_gate_user);
}

namespace {
// The context whose control this thread holds.
thread_local const PlayerContext* t_control_holder = nullptr;
}  // namespace

bool Control_Take(PlayerContext& context, bool may_wait) {
  if (t_control_holder == &context) return false;
  for (;;) {
    bool expected = false;
    if (context.control_held.compare_exchange_strong(expected, true)) break;
    if (!may_wait) return false;
    context.control_held.wait(true);
  }
  t_control_holder = &context;
  return true;
}

void Control_Give(PlayerContext& context) {
  for (;;) {
    t_control_holder = nullptr;
    context.control_held = false;
    context.control_held.notify_all();
    // A stop asked for while the control was held: whoever holds it next runs it.
    if (!context.stop_requested || !Control_Take(context, false)) return;
    if (context.movie_open || context.playing)
      Player_StopLocked(context);
    else
      context.stop_requested = false;
  }
}

ControlScope::ControlScope(PlayerContext& context)
    : context_(context), held_(!Engine_OnEngineThread(context) && Control_Take(context, true)) {}

ControlScope::~ControlScope() {
  if (held_) Control_Give(context_);
}

void Player_Stop(PlayerContext& context) {
  context.playing = false;
  // A stop in progress on another thread is waited for, unless this is one of the engine's
  // threads: that stop waits for it. It answers this one: nothing is left asked for, which the
  // stopping thread would run on the movie opened next once it lets the control go.
  const bool may_wait = !Engine_OnEngineThread(context);
  if (context.closing && may_wait && t_control_holder != &context) {
    context.closing.wait(true);
    return;
  }
  context.stop_requested = true;
  if (!Control_Take(context, may_wait)) {
    // A stop or a seek holds the engine: it runs this stop when it lets go.
    Engine_Wake(context);
    return;
  }
  Player_StopLocked(context);
  Control_Give(context);
}

void Player_StopLocked(PlayerContext& context) {
  Engine_NoteStopHere(context);
  context.stop_requested = false;
  context.playing = false;
  context.closing = true;
  const bool had_movie = context.movie_open;
  // Every wait of the engine's threads ends on `closing`.
  Engine_Wake(context);
  while (context.step_busy) context.step_busy.wait(true);
  DebugOutput("Thread Play Stopper\n");

  if (context.sound_on) {
    // The sound thread ends before the device and its buffers go, so that it never queues a
    // buffer that has been released.
    EndSoundThread(context);
    CloseSoundDevice(context);
    context.sound_on = false;
  } else {
    if (context.timer_active) Clock_Stop(context);
    // A control on another thread may be stopping (or restarting) the clock right now: no tick
    // may run past this point.
    context.timer.StopAndWait();
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
    if (!ReaderEnds(context, context.disk_thread)) return LeaveReaders(context);
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
  context.index_cancel = true;
  if (!ReaderEnds(context, context.index_thread)) return LeaveReaders(context);
  Index_Stop(context);
  context.readers_left = false;
  Source_Close(context.source);
  context.start_frame = 0;
  // A seek that ended playback (a frame it could not read, or a stop from its listener) held the
  // threads down: the next playback's are not.
  context.halting = false;
  context.stepping = kStepNone;
  if (context.loop_mode > kLoopOn) context.loop_mode = context.loop_mode - 1;
  // The decoder goes with its pictures, and the pictures kept; start makes a new one.
  context.video_decoder.reset();
  RunUp_Clear(context);
  context.scaling_buffer.reset();
  context.sound.audio_lead_copy.clear();
  context.sound.audio_lead_copy.shrink_to_fit();
  context.paused = false;
  if (had_movie)
    Engine_RecordEnd(context, PlaybackEnd::kUserStop, kPlayerOk, context.current_frame, {});
  // Stops asked for while this one ran are done with it: the movie the caller may open as soon
  // as `closing` drops is not theirs.
  context.stop_requested = false;
  // Closed before `closing` drops, so that a stop waiting on another thread finds it closed;
  // both change with the published state, so that a status reading Idle finds them changed and
  // an open that follows publishes after this.
  Status_Publish(context, [&context](PlayerStatus& status) {
    context.movie_open = false;
    context.closing = false;
    status.state = PlayerState::kIdle;
    status.sound_on = false;
  });
  context.closing.notify_all();
  if (context.services.after_stop != nullptr)
    context.services.after_stop(context.services.after_stop_user);
}

void Player_StopIfPlaying(PlayerContext& context) {
  if (context.playing) Player_Stop(context);
}

bool Player_ReadersLeft(const PlayerContext& context) {
  return context.readers_left;
}

void Player_Destroy(PlayerContext& context) {
  Player_Stop(context);
  // A reader left inside its read keeps what it uses: the program ends without it.
  if (context.readers_left) return;
  CollectEngineThreads(context);
  context.timer.Stop();
  context.video_decoder.reset();
  context.wave_out.reset();
}

}  // namespace tarvel
