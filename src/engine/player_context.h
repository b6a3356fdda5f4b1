// The playback engine: one record, PlayerContext, driven by the user interface through the
// Player_* operations. Starting playback creates a disk reader thread that loads frames ahead
// into a ring, and either a sound thread paced by the sound device or a periodic timer that
// paces the frame step.
//
// Threads: the caller's thread (every Player_* operation), the disk reader, and the sound
// thread or the timer thread. They meet only through the atomic fields below, two semaphores
// and thread joins; there is no engine lock. Player_Stop is callable from any thread; so are
// Player_Pause, Player_Restart, Player_SetRate and Player_Step, which wait for a seek or a stop
// running on another thread (see ControlScope).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/movie_index.h"
#include "audio/sound_period.h"
#include "container/movie_format.h"
#include "engine/player_status.h"
#include "platform/audio_device.h"
#include "platform/periodic_timer.h"
#include "platform/semaphore.h"
#include "platform/user_files.h"
#include "platform/worker_thread.h"
#include "storage/movie_source.h"
#include "video/video_decoder.h"

namespace tarvel {

// Result codes of the engine's operations (0 is success).
inline constexpr std::int32_t kPlayerOk = 0;
inline constexpr std::int32_t kPlayerOutOfMemory = 1;
// A movie is playing or open, or the file cannot be opened.
inline constexpr std::int32_t kPlayerCannotOpen = 2;
// Nothing to start; the header or a frame could not be read (or is unusable); the frame to
// present was still loading when playback stopped.
inline constexpr std::int32_t kPlayerReadFailed = 3;
inline constexpr std::int32_t kPlayerNoVideoChunk = 4;
inline constexpr std::int32_t kPlayerWrongVersion = 5;
inline constexpr std::int32_t kPlayerNoSurface = 8;
inline constexpr std::int32_t kPlayerEndOfData = 9;
inline constexpr std::int32_t kPlayerBadDisplayMode = 10;
inline constexpr std::int32_t kPlayerNoThread = 11;
inline constexpr std::int32_t kPlayerSoundRefused = 12;
inline constexpr std::int32_t kPlayerDeviceRefused = 13;

// The interface version the user interface passes to Player_Init.
inline constexpr std::int32_t kPlayerInterfaceVersion = 20000;
// The sound library version the engine asks for.
inline constexpr std::int32_t kPlayerAdpcmVersion = kAdpcmLibraryVersion;

// The only picture size the full-screen scalers take; other sizes play unscaled.
inline constexpr std::uint32_t kScaledSourceWidth = 640;
inline constexpr std::uint32_t kScaledSourceHeight = 480;

inline constexpr std::int32_t kDisplayFullScreen = 1;
inline constexpr std::int32_t kDisplayWindow = 2;

inline constexpr std::uint8_t kLoopOff = 0;
inline constexpr std::uint8_t kLoopOn = 1;
inline constexpr std::uint8_t kLoopWithLeadCopy = 2;

// PlayerContext::decoded_frame before frame 0 of a start from frame 0.
inline constexpr std::int32_t kBeforeFrame0 = -2;

// Number of wave buffers, each one frame period of sound.
inline constexpr std::int32_t kWaveBufferCount = 32;
// Ring size the user interface asks for.
inline constexpr std::int32_t kDefaultRingSize = 16;
inline constexpr std::uint32_t kVolumeStep = 0x028F028F;  // per level, both channels
inline constexpr std::int32_t kMaxVolumeLevel = 99;
inline constexpr std::uint32_t kFullScreenRequestSize = 148;
inline constexpr std::uint32_t kDisplayFieldsWidthHeight = 0x180000;

// PlayerContext::stepping.
inline constexpr std::uint8_t kStepNone = 0;
inline constexpr std::uint8_t kStepAsked = 1;
inline constexpr std::uint8_t kStepPausing = 2;

// One loaded frame in the frame ring.
struct FrameSlot {
  std::unique_ptr<std::uint8_t[]> data;  // the frame's chunk list
  std::int32_t data_length = 0;          // frame size - 4
  std::int32_t frame_index = 0;
  std::atomic<bool> busy{false};  // being built; the frame step waits while it is set
};

// One of the 32 buffers of sound queued to the device.
struct WaveBuffer {
  WaveHeader header;
  AudioDevice* device = nullptr;  // the device the header was prepared with
  std::unique_ptr<std::uint8_t[]> storage;
};

// The request for a full-screen resolution change.
struct DisplayRequest {
  std::uint32_t size = 0;
  std::uint32_t fields = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

using FrameCallback = void (*)(void* user_value);
// One of the full-screen scalers: (source picture, destination surface, destination row length
// in pixels).
using PictureScaler = void (*)(const std::uint16_t* source, std::uint8_t* destination,
                               std::uint32_t output_width);

// What the engine needs from the presentation layer above it. Every hook may be left null.
struct PresentationHooks {
  // Creates the full-screen surface for the window `target`: returns its pixels (or null) and
  // stores the bitmap handle in `*bitmap`.
  std::uint8_t* (*create_fullscreen_surface)(void* target, std::uint32_t width,
                                             std::uint32_t height, void** bitmap) = nullptr;
  void (*delete_surface)(void* bitmap) = nullptr;
  // Current screen size; false when it cannot be told.
  bool (*screen_size)(std::uint32_t* width, std::uint32_t* height) = nullptr;
  // Asks for a display resolution; false (or a null hook) means refused.
  bool (*change_display)(const DisplayRequest& request) = nullptr;
  // The four scalers: 800 wide for 5 and 6 green bits, 1024 wide for 5 and 6 green bits.
  PictureScaler scale_800_555 = nullptr;
  PictureScaler scale_800_565 = nullptr;
  PictureScaler scale_1024_555 = nullptr;
  PictureScaler scale_1024_565 = nullptr;
};

// Which engine thread a thread-creation gate is asked about (kClock: the frame clock's timer;
// kIndex: the builder of the open movie's frame index).
enum class EngineThread { kDiskReader, kSound, kClock, kIndex };

// How the engine reaches its platform services. The defaults play through the sound card.
struct EngineServices {
  // Makes the sound device for a playback; null makes the movie play without sound.
  AudioDeviceFactory make_audio_device = nullptr;
  void* audio_device_user = nullptr;
  // Ticks of the frame clock follow one another without waiting (headless runs).
  bool free_running_clock = false;
  // While it points at true, the frame clock's ticks present nothing: tests that must act
  // before the first picture of a movie without sound hold it back.
  const std::atomic<bool>* clock_held = nullptr;
  // While it points at true, the frame index of an opened movie stays empty: tests of a seek
  // that waits for the index hold it back.
  const std::atomic<bool>* index_held = nullptr;
  // Refuses the creation of a thread when it returns false (tests of the failure paths).
  bool (*thread_gate)(EngineThread which, void* user) = nullptr;
  void* thread_gate_user = nullptr;
  // Asked on the seeking thread before each frame a seek decodes (and so between the key
  // frames it tries), and every few milliseconds while a seek or Player_PlayableFrames waits for
  // the frame index: true gives the seek up, and playback stops as Player_Stop stops it (a stop
  // signal's wish that a long seek, or a slow disk, not hold up).
  bool (*abandon_seek)(void* user) = nullptr;
  void* abandon_seek_user = nullptr;
  // Called on the stopping thread once a stop has closed the movie, before that thread lets the
  // engine's control go: tests of what other threads may do meanwhile act there.
  void (*after_stop)(void* user) = nullptr;
  void* after_stop_user = nullptr;
  // How long a stop waits for the disk reader and the frame index's reader to end, in
  // milliseconds; negative: for as long as they take. A program about to end bounds it, so that
  // a read the disk or a network share never answers does not hold the program for good: a
  // reader still inside its read then is left there, keeping the movie's file and what it reads
  // into, and the stop goes no further (Player_ReadersLeft); a later stop finishes it once the
  // reader has ended. Such a program ends without destroying the context (std::_Exit).
  std::atomic<std::int32_t> reader_wait_ms{-1};
};

// The pictures kept for seeks: frame `spacing` x (i + 1)'s picture in entry i (null: not kept
// yet), as playback from frame 0 makes it in its first pass. A picture is width x height pixels
// of the decoder's output; at most kRunUpBytes of them, at least kRunUpMinSpacing frames apart.
inline constexpr std::size_t kRunUpBytes = std::size_t{32} << 20;
inline constexpr std::size_t kRunUpMaxPictures = 256;
inline constexpr std::int32_t kRunUpMinSpacing = 8;
struct RunUpPictures {
  std::int32_t spacing = 0;  // 0: not set up for the decoder yet; -1: none are kept
  std::size_t pixels = 0;
  std::int32_t frames = 0;  // the movie's frame count the spacing is worked out for
  std::vector<std::unique_ptr<std::uint16_t[]>> pictures;
};

// Which file a movie's name stands for and how it was last changed, to tell whether it has
// changed since. A package's entry or a memory block is always the same.
struct MovieFileStamp {
  bool known = false;
  FileIdentity identity;
  std::uintmax_t size = 0;
  std::int64_t modified = 0;  // the file system's clock, in its own units
  bool operator==(const MovieFileStamp&) const = default;
};

struct PlayerContext {
  PlayerContext();   // Player_Construct
  ~PlayerContext();  // Player_Destroy
  PlayerContext(const PlayerContext&) = delete;
  PlayerContext& operator=(const PlayerContext&) = delete;

  std::uint8_t header[kMovieHeaderSize] = {};
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int32_t frame_count = 0;
  std::atomic<std::int32_t> read_position{0};
  std::atomic<std::int32_t> current_frame{0};
  std::uint32_t bytes_per_pixel = 2;
  float frame_rate = kDefaultFrameRate;
  std::uint32_t red_bits = 5, green_bits = 5, blue_bits = 5, extra_bits = 0;
  std::uint32_t red_mask = 0, green_mask = 0, blue_mask = 0, extra_mask = 0;
  std::atomic<std::int32_t> loop_count{0};
  std::int32_t display_mode = 0;
  void* user_value = nullptr;
  std::uint32_t output_width = 0;
  std::uint32_t output_height = 0;
  // The sound state of a playback: `adpcm_stream`, `audio_lead_copy` (the copy of frame 0's
  // audio chunk kept while looping), `pcm_size`, `sample_rate`, `stereo` and
  // `audio_frame_bytes`.
  SoundStream sound;
  std::atomic<bool> step_busy{false};
  std::atomic<bool> closing{false};
  std::atomic<bool> sound_on{false};
  std::atomic<bool> playing{false};
  std::atomic<bool> movie_open{false};
  std::atomic<bool> display_change_failed{false};
  std::atomic<std::uint8_t> loop_mode{kLoopOff};
  std::int32_t ring_size = 0;
  // 800 or 1024 enlarges 640 x 480 pictures into the surface with the scalers of
  // `presentation`; the surface (also a window-mode target) then holds output_width x
  // output_height pixels. Pictures of other sizes play unscaled and leave `scaling_buffer` null.
  std::uint32_t scaled_width = 0;
  std::unique_ptr<std::uint16_t[]> scaling_buffer;
  std::uint8_t* surface_bits = nullptr;
  std::atomic<std::int32_t> last_result{kPlayerOk};
  // The decoder and its reference picture; it decodes into the scaling buffer or the surface.
  std::unique_ptr<VideoDecoder> video_decoder;
  // The frame whose undamaged picture the decoder last made, as playback from frame 0 makes it:
  // the one a seek went to, then each frame played on from it (-1: none known; kBeforeFrame0: the
  // zeroed pictures a start from frame 0 decodes it over). A seek further on in the same run of
  // frames decodes on from there rather than from the key frame.
  std::atomic<std::int32_t> decoded_frame{-1};
  // Copies of such pictures, kept at a spacing as seeks decode on towards their frame and as
  // playback plays from the start or on from one (see RunUp_Keep); used and cleared wherever the
  // decoder is.
  RunUpPictures run_up;
  FrameCallback frame_callback = nullptr;
  ChunkHandler chunk_handler = nullptr;
  void* dib_section = nullptr;
  std::uint32_t saved_screen_width = 0;
  std::uint32_t saved_screen_height = 0;
  DisplayRequest display_request;
  std::unique_ptr<AudioDevice> wave_out;
  std::atomic<bool> wave_out_open{false};
  WaveFormat wave_format;
  std::unique_ptr<Semaphore> sound_semaphore;
  std::int32_t next_wave_buffer = 0;
  std::unique_ptr<WaveBuffer[]> wave_buffers;
  std::unique_ptr<Semaphore> disk_semaphore;
  WorkerThread disk_thread;
  WorkerThread sound_thread;
  std::uint32_t disk_thread_id = 0;
  MovieSource source;
  // Entries are null (free) or a slot owned by the ring.
  std::unique_ptr<std::atomic<FrameSlot*>[]> frame_ring;
  // The frame index of each entry's slot, kept beside the ring so that the disk reader can
  // search it without touching a slot that the frame step may be freeing.
  std::unique_ptr<std::atomic<std::int32_t>[]> ring_indexes;
  std::int32_t ring_capacity = 0;  // entries allocated: the ring size asked for
  std::atomic<bool> timer_active{false};
  std::atomic<bool> timer_skip_tick{false};
  std::atomic<std::uint32_t> timer_period_ms{0};
  std::atomic<std::uint32_t> timer_id{0};
  std::atomic<bool> timer_busy{false};
  PeriodicTimer timer;

  PresentationHooks presentation;
  EngineServices services;

  // Between the start and the end of Player_Start; the disk reader leaves the stop to it then.
  std::atomic<bool> start_in_progress{false};
  // The disk reader has finished and wants playback stopped.
  std::atomic<bool> reader_finished{false};
  // The disk reader's exit code of the last playback (kThreadStillActive while it runs).
  std::atomic<std::uint32_t> reader_exit_code{0};
  // Size of the open movie in bytes, -1 when unknown; frames that claim more are refused.
  std::int64_t movie_length = -1;
  // Frames the disk reader has loaded since start.
  std::atomic<std::int64_t> frames_loaded{0};
  // File offset of the next frame word the disk reader reads.
  std::int64_t reader_offset = 0;

  // What Player_Status reports, written under status_mutex (never held while waiting or calling
  // out); status_changed is notified after every change that leaves it ended.
  mutable std::mutex status_mutex;
  mutable std::condition_variable status_changed;
  PlayerStatus published;
  // Frame steps that presented their frame since the context was made.
  std::atomic<std::uint64_t> frames_stepped{0};
  // The frame index of the open movie, built in the background from Player_Open on by
  // index_thread with a source of its own (index_cancel ends it early).
  MovieIndex movie_index;
  WorkerThread index_thread;
  std::atomic<bool> index_cancel{false};
  // A stop left a reader inside a read (EngineServices::reader_wait_ms).
  std::atomic<bool> readers_left{false};
  // The length of the file as the index last measured it (-1: not measured); written by
  // index_thread, read once it is joined.
  std::int64_t index_file_length = -1;
  // Why index_thread could not open the movie with a source of its own (empty when it could);
  // written by index_thread before it finishes the index, read once the index has finished.
  std::string index_open_problem;
  // The movie's file as index_thread left it where one of its reads failed (not known: none
  // failed, or it could not be told): a seek past that point builds the index again only once
  // the file has changed since. Written by index_thread, read once it is joined.
  MovieFileStamp index_failed_on;
  // What opened the movie, for the index's own source.
  std::string movie_name;
  // The file a plain file's source has open (movie_identified when it could be told), set by
  // open: the index reads `movie_name` only while that name still stands for it.
  FileIdentity movie_identity;
  bool movie_identified = false;
  // A seek before start: playback starts at this frame.
  std::int32_t start_frame = 0;
  // A seek is holding the engine's threads down: their waits give up, their loops end.
  std::atomic<bool> halting{false};
  // Player_Step: the next presented frame pauses the engine again (kStepAsked); while that
  // frame's step is pausing the clock, kStepPausing, so that a Player_Restart meanwhile waits
  // for the pause and then undoes it instead of being undone by it.
  std::atomic<std::uint8_t> stepping{kStepNone};
  // Per frame, for key frames: 1 when its picture decodes the same over any previous picture,
  // 2 when it does not (a seek must start before it); 0 not known yet. Used by seeks only.
  std::vector<std::uint8_t> key_checked;
  // Sound buffers queued to the device and done-messages received, so that a seek can tell
  // when the device has given every buffer back.
  std::atomic<std::uint64_t> buffers_queued{0};
  std::atomic<std::uint64_t> buffers_done{0};
  // A frame step failed while playing: the pictures stand still until stop.
  std::atomic<bool> step_failed{false};
  // The frame a frame step is waiting for the disk reader to load (-1: none). A reader that
  // cannot load a frame ends playback only once it is asked for, so that a movie paused on the
  // frame before stays paused there.
  std::atomic<std::int32_t> frame_wanted{-1};
  // Player_Pause holds the clock (cleared by Player_Restart and by stop).
  std::atomic<bool> paused{false};
  std::atomic<PresentationListener> presentation_listener{nullptr};
  std::atomic<void*> presentation_user{nullptr};
  // Why the stop about to run ends playback, when an engine thread (not the caller) asks for it.
  std::atomic<PlaybackEnd> pending_end{PlaybackEnd::kNone};
  // The engine's control: held by a stop or a seek while it takes the threads down (see
  // Control_Take). A stop asked for while it is held from a thread that must not wait is
  // recorded in stop_requested and run by the holder when it lets go.
  std::atomic<bool> control_held{false};
  std::atomic<bool> stop_requested{false};
  // Bumped and notified whenever something an engine thread may be waiting for has changed:
  // a frame loaded or presented, playback stopping, the disk reader ending.
  std::atomic<std::uint32_t> wake_count{0};
};

// Whether a status says that playback has ended (or never began): what Player_WaitForEnd waits
// for.
bool Status_HasEnded(const PlayerStatus& status);
// Changes the published status under its lock, then, when it says that playback has ended, wakes
// the threads waiting for that. The changes of every frame wake nobody.
template <typename Change>
void Status_Publish(PlayerContext& context, Change&& change) {
  bool ended = false;
  {
    std::lock_guard<std::mutex> lock(context.status_mutex);
    change(context.published);
    ended = Status_HasEnded(context.published);
  }
  if (ended) context.status_changed.notify_all();
}
// Copies a one-line problem text into the status (cut to fit).
void Status_SetProblem(PlayerStatus& status, const std::string& problem);
void Status_SetSilentReason(PlayerStatus& status, const std::string& reason);
// Records why playback ends, unless an earlier reason has been recorded since start: the end,
// its code, the frame and a problem line (empty: none) go into the status.
void Engine_RecordEnd(PlayerContext& context, PlaybackEnd end, std::int32_t code,
                      std::int32_t frame, const std::string& problem);
// Marks the calling thread as one of `context`'s engine threads while it exists (the disk
// reader, the sound thread, a tick of the frame clock).
class EngineThreadScope {
 public:
  explicit EngineThreadScope(const PlayerContext& context);
  ~EngineThreadScope();
  EngineThreadScope(const EngineThreadScope&) = delete;
  EngineThreadScope& operator=(const EngineThreadScope&) = delete;

 private:
  const PlayerContext* previous_;
};
bool Engine_OnEngineThread(const PlayerContext& context);
// A stop that runs on an engine thread notes it; that thread then leaves the context alone (the
// caller may already be setting up the next playback).
void Engine_NoteStopHere(const PlayerContext& context);
bool Engine_StoppedHere(const PlayerContext& context);
// Takes the engine's control. A thread that may wait (the caller's) waits for it; an engine
// thread, or a thread that holds it already, only tries. True when taken.
bool Control_Take(PlayerContext& context, bool may_wait);
// Lets the control go, and runs a stop that was asked for meanwhile.
void Control_Give(PlayerContext& context);
// Holds the control while it lives, for a pause, a restart, a rate change or a step asked for on
// a thread that may wait: a seek or a stop running on another thread finishes first, and none
// starts under it. On one of the engine's threads (a seek or a stop holding the control waits
// for those), or on the thread that holds the control already, it holds nothing.
class ControlScope {
 public:
  explicit ControlScope(PlayerContext& context);
  ControlScope(const ControlScope&) = delete;
  ControlScope& operator=(const ControlScope&) = delete;
  ~ControlScope();

 private:
  PlayerContext& context_;
  bool held_;
};
// The stop itself; the caller holds the control.
void Player_StopLocked(PlayerContext& context);
// Whether EngineServices::thread_gate lets the engine create thread `which`.
bool Engine_MayCreateThread(PlayerContext& context, EngineThread which);
// Wakes every engine thread waiting for a change (see wake_count).
void Engine_Wake(PlayerContext& context);
// Waits until wake_count differs from `seen` (a count read before the condition was tested).
void Engine_WaitForWake(PlayerContext& context, std::uint32_t seen);

// The program's one player, built before main and torn down at exit.
PlayerContext& Player_Instance();

void Player_Reset(PlayerContext& context);
std::int32_t Player_Init(PlayerContext& context, std::int32_t interface_version);
bool Player_SetPixelFormat(PlayerContext& context, std::int32_t depth);
bool Player_SetFrameCallback(PlayerContext& context, FrameCallback callback, void* user_value);
bool Player_SetLoop(PlayerContext& context, std::int32_t on);
std::int32_t Player_Open(PlayerContext& context, const char* name);
// `target`: the pixels of the picture surface (window mode, bytes_per_pixel x width x height
// bytes) or the window handle (full screen). `window` is not used by the engine.
std::int32_t Player_Start(PlayerContext& context, void* target, std::int32_t display_mode,
                          void* window, std::int32_t ring_size);
void Player_Stop(PlayerContext& context);
void Player_StopIfPlaying(PlayerContext& context);
void Player_Destroy(PlayerContext& context);
// Whether the last stop left a reader inside a read (EngineServices::reader_wait_ms).
bool Player_ReadersLeft(const PlayerContext& context);
std::int32_t Player_Pause(PlayerContext& context);
std::int32_t Player_Restart(PlayerContext& context);
// With sound: the device stops once the period it is playing has played, before any of the next
// is heard; the clock is left to the caller (a Player_Pause follows). Nothing without sound.
std::int32_t Player_PauseSoundAfterPeriod(PlayerContext& context);
void Player_SetRate(PlayerContext& context, float frames_per_second);
// The sound device's playback rate (16.16) that plays the open movie at `frames_per_second`.
std::uint32_t Player_SoundRateValue(const PlayerContext& context, float frames_per_second);
bool Player_SetVolume(PlayerContext& context, std::int32_t level);
// Seeking. Player_Seek shows frame `frame` exactly as playback from frame 0 shows it in its
// first pass, with the sound that plays from that frame on; a paused engine stays paused, a
// playing one plays on from there. Before start (Open), playback will start at that frame.
// Waits for the frame index to reach the frame (EngineServices::abandon_seek may give that wait
// up, as it gives up the seek). kPlayerOk, or kPlayerReadFailed when there is
// no movie, the frame lies past what can be read, it is called on one of the engine's own
// threads (from a callback), or EngineServices::abandon_seek gave the seek up (playback has then
// stopped, its end PlaybackEnd::kUserStop); kPlayerOutOfMemory; kPlayerNoThread when the frame
// index has no thread to build it (tried again at every seek; playback goes on unharmed);
// kPlayerDeviceRefused when the sound device took none of the sound from the frame on (the frame
// is shown, and playback has ended there as after a refill the device refuses).
std::int32_t Player_Seek(PlayerContext& context, std::int32_t frame);
// Waits for the frame index of the open movie to be complete: the number of frames that can
// be played and sought (fewer than the header says in a movie cut short). 0 without a movie.
// EngineServices::abandon_seek may give the wait up: the frames indexed so far.
std::int32_t Player_PlayableFrames(PlayerContext& context);
// "the movie has `frames` frames that can be played", for a frame asked for past them.
std::string PlayableFramesText(std::int32_t frames);
// Why a frame Player_Seek refused lies past what can be sought, as Player_PlayableFrames waits:
// PlayableFramesText, or why the index stopped where that says nothing about what the movie
// holds: it could not open the movie again (a descriptor limit, the file removed since it was
// opened), a read failed, or memory ran out.
std::string Player_UnplayableText(PlayerContext& context);
// One frame back while paused or stepping: a seek to the frame before the one shown, leaving
// the engine paused. Refused (kPlayerReadFailed) at frame 0 and while playing.
std::int32_t Player_StepBack(PlayerContext& context);
// One frame forward: pauses a playing engine; a paused one presents the next frame and pauses
// again (state kStepping until then). kPlayerOk, kPlayerReadFailed when nothing plays,
// kPlayerNoThread when the frame clock cannot run, or kPlayerDeviceRefused when the sound device
// will not play on (the engine stays paused in both).
std::int32_t Player_Step(PlayerContext& context);
// Starts playback at `frame` (a seek from the frames the start has set up); the caller holds
// no control.
std::int32_t Engine_StartAt(PlayerContext& context, std::int32_t frame);
// Reports a presented picture: the status, then the presentation listener.
void Engine_ReportPresented(PlayerContext& context, std::int32_t frame_index,
                            std::int32_t loop_count, bool corrupt);
// A scaled movie's picture, decoded into the scaling buffer at `picture`, enlarged onto the
// surface by the scaler for its width and green bits (none: the surface is left as it is).
void Engine_ScaleOntoSurface(PlayerContext& context, const std::uint16_t* picture);
// Where the decoder writes its pictures: the surface, or the scaling buffer when scaled.
std::uint16_t* Engine_DecoderOutput(PlayerContext& context);
// Holds the clock (the device paused, or the timer stopped) and reports the engine paused.
void Engine_PauseClock(PlayerContext& context);
// Kept pictures. RunUp_Keep keeps the picture the decoder has just made for frame `frame` when
// that frame is one of those kept and not kept yet; the caller vouches that it is the undamaged
// picture of playback's first pass. RunUp_Restore makes the decoder hold the picture
// of the latest frame kept at or before `frame` and above `after`, decoded into its output
// (Engine_DecoderOutput), and returns that frame (-1: none, nothing changed). RunUp_Clear frees
// them all.
void RunUp_Keep(PlayerContext& context, std::int32_t frame);
std::int32_t RunUp_Restore(PlayerContext& context, std::int32_t frame, std::int32_t after);
void RunUp_Clear(PlayerContext& context);
// Index: starts and ends the background index of the open movie.
void Index_Start(PlayerContext& context);
void Index_Stop(PlayerContext& context);

bool Player_GetSoundFormat(PlayerContext& context, std::uint32_t* stereo,
                           std::uint32_t* sample_rate);

// Frame ring (searches scan entries 0 to ring_size - 1). Ring_Contains is the disk reader's
// search; Ring_Find and Ring_Release belong to the frame step, the only thread that frees
// slots while playback runs.
bool Ring_Contains(PlayerContext& context, std::int32_t index);
FrameSlot* Ring_Find(PlayerContext& context, std::int32_t index);
bool Ring_Release(PlayerContext& context, std::int32_t index);
std::unique_ptr<FrameSlot> Slot_Create(std::int32_t index);
void Slot_FreeData(FrameSlot& slot);
// Loads the next frame into the ring. A frame that cannot be read (kPlayerReadFailed) sets
// `fault` to why: the file ends before or inside it, its size word is impossible, or the file
// system failed to deliver it.
std::int32_t Reader_LoadNext(PlayerContext& context, FrameRead& fault);
std::uint32_t Reader_Thread(PlayerContext& context);

// Frame pipeline and clock.
std::int32_t Frame_Step(PlayerContext& context, std::int32_t frame_index,
                        std::uint8_t* audio_output, std::int32_t audio_bytes);
// False when the clock's thread could not be made: nothing ticks.
bool Clock_Start(PlayerContext& context, std::uint32_t period_ms);
// The clock period for a frame rate: 1000 / rate milliseconds, truncated, at least 1.
std::uint32_t ClockPeriod(float frames_per_second);
void Clock_Stop(PlayerContext& context);
void Clock_Tick(void* context);

// Sound output.
int Wave_OpenDevice(PlayerContext& context);
void Wave_Callback(void* instance, std::uint32_t message, WaveHeader* header);
bool WaveBuffer_Prepare(WaveBuffer& buffer, AudioDevice& device, std::uint32_t length);
void WaveBuffer_Release(WaveBuffer& buffer);
std::uint32_t Sound_Thread(PlayerContext& context);
// Runs the frame step for frame 0 with a lead buffer of 32 frame periods and queues them in the
// 32 wave buffers. Returns the start's result: 1 (playback stopped) when memory runs out, 13
// when a buffer could not be queued, else the priming step's result.
std::int32_t Wave_Prime(PlayerContext& context);
// Copies 32 frame periods of sound from `lead` into the 32 wave buffers (made and prepared
// first when there are none) and queues them on the paused device, which restarts when
// `resume` is set. The same results as Wave_Prime.
std::int32_t Wave_QueueLead(PlayerContext& context, const std::uint8_t* lead, bool resume);

// 16.16 fixed-point playback rate for `ratio` (integer part in the high 16 bits, the fraction
// times 65536 in the low 16 bits, both truncated).
std::uint32_t PlaybackRateValue(double ratio);

}  // namespace tarvel
