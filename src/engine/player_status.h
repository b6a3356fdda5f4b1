// The engine's face to its callers: a snapshot of where playback stands, the one text of each
// result code, and the event that reports every presented picture. Callers read these instead
// of the player context's fields.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "video/video_decoder.h"

namespace tarvel {

struct PlayerContext;

enum class PlayerState : std::uint8_t {
  kIdle,      // no movie open
  kOpen,      // a movie is open and not started
  kPlaying,   // started; the clock presents frame after frame
  kPaused,    // Player_Pause (or a finished step) holds the clock
  kStepping,  // Player_Step: one more frame is on its way, then the engine pauses
};

// Why the last playback ended.
enum class PlaybackEnd : std::uint8_t {
  kNone,          // nothing has ended since the last open (or nothing was ever opened)
  kUserStop,      // Player_Stop from the caller
  kEndOfMovie,    // the last frame was presented and the movie does not loop
  kReaderFailed,  // the disk reader could not load a frame: end_code is its exit code
  // A frame step failed: end_code is its result. The picture stands still until the caller
  // stops; the state stays kPlaying (or kPaused).
  kStepFailed,
  kStartFailed,  // Player_Start failed after opening: end_code is its result
};

// What a playback whose sound device stopped playing while it ran says (PlayerStatus::sound_lost).
inline constexpr char kSoundLostProblem[] =
    "the sound device stopped playing; going on without sound";

struct PresentedPicture {
  std::int32_t frame_index = 0;  // the frame of the movie this picture shows
  std::int32_t loop_count = 0;   // passes completed before it
  // The presented picture (the output size: enlarged when scaled), valid during the call only.
  PictureView picture;
  std::uint32_t green_bits = 5;  // 5: 5-5-5 pixels, 6: 5-6-5
  // The 8x8 blocks in which it may differ from the picture presented before it (the list valid
  // during the call only): whole when scaled, after a seek, for a key frame.
  BlockChanges changes;
};

// Called on the engine's thread each time a picture has been presented (after the frame step
// that presented it, or after a seek). The listener may call any Player_* operation, Player_Stop
// included.
using PresentationListener = void (*)(const PresentedPicture& presented, void* user);

inline constexpr std::size_t kPlayerProblemSize = 192;

struct PlayerStatus {
  PlayerState state = PlayerState::kIdle;
  // The open movie (kept after a stop until the next open).
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t output_width = 0;  // the presented pictures' size (differs when scaled)
  std::uint32_t output_height = 0;
  std::int32_t frame_count = 0;
  float frame_rate = 0.0f;
  bool movie_has_sound = false;  // the header's sound flag
  // Playback position: the next frame the clock presents, the frame of the picture presented
  // last (-1: none since start), completed passes, pictures presented since start.
  std::int32_t current_frame = 0;
  std::int32_t shown_frame = -1;
  std::int32_t loop_count = 0;
  std::int64_t pictures_presented = 0;
  // Sound as it plays: off when the movie has none or its set-up failed.
  bool sound_on = false;
  bool stereo = false;
  std::uint32_t sample_rate = 0;
  std::int32_t pcm_bytes_per_period = 0;  // PCM bytes per frame period (one wave buffer)
  std::int32_t last_result = 0;
  // How the last playback ended, the code behind it, and the frame it ended at.
  PlaybackEnd end = PlaybackEnd::kNone;
  std::int32_t end_code = 0;
  std::int32_t end_frame = 0;
  // Frames whose picture data was corrupt (decoding stopped early), since start.
  std::int64_t corrupt_frames = 0;
  std::int32_t first_corrupt_frame = -1;
  std::int32_t last_corrupt_frame = -1;
  // Seeking: frames the index has reached so far (a seek past them waits), whether that count
  // is final, and whether a seek is running.
  std::int32_t frames_indexed = 0;
  bool index_complete = false;
  bool seeking = false;
  // Why a movie whose header promises sound plays without it, said at start (frame 0 holds no
  // sound chunk, or its stream was refused); empty otherwise. Kept after the playback ends.
  char silent_reason[kPlayerProblemSize] = {};
  // The sound device stopped playing while this playback ran (kSoundLostProblem); the pictures
  // go on under its pace. Kept after the playback ends.
  bool sound_lost = false;
  // One line saying what went wrong last (open, start, sound set-up or playback), with the
  // detail the result code alone does not give; empty when nothing did.
  char problem[kPlayerProblemSize] = {};
};

// A consistent snapshot; safe from any thread at any time.
PlayerStatus Player_Status(const PlayerContext& context);

// Waits until playback has ended (the movie is no longer playing, or a frame step failed and
// the pictures stand still) or `timeout` has passed. True when it has ended.
bool Player_WaitForEnd(const PlayerContext& context, std::chrono::milliseconds timeout);

// The one text of an engine result code, for messages ("out of memory", ...).
const char* Player_ResultText(std::int32_t code);

// Installs the presentation listener (null removes it). Refused while playing.
bool Player_SetPresentationListener(PlayerContext& context, PresentationListener listener,
                                    void* user);

}  // namespace tarvel
