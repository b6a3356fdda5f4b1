// The status snapshot, the result-code texts and the presentation listener.
#include <algorithm>
#include <cstring>

#include "engine/player_context.h"

namespace tarvel {

namespace {
void CopyLine(char (&line)[kPlayerProblemSize], const std::string& text) {
  const std::size_t length = std::min(text.size(), kPlayerProblemSize - 1);
  std::memcpy(line, text.data(), length);
  line[length] = '\0';
}
}  // namespace

void Status_SetProblem(PlayerStatus& status, const std::string& problem) {
  CopyLine(status.problem, problem);
}

void Status_SetSilentReason(PlayerStatus& status, const std::string& reason) {
  CopyLine(status.silent_reason, reason);
}

namespace {
thread_local const PlayerContext* t_engine_context = nullptr;
// The context this engine thread has stopped (from a callback), if any.
thread_local const PlayerContext* t_stopped_context = nullptr;
}  // namespace

EngineThreadScope::EngineThreadScope(const PlayerContext& context) : previous_(t_engine_context) {
  t_engine_context = &context;
  t_stopped_context = nullptr;
}

void Engine_NoteStopHere(const PlayerContext& context) {
  if (t_engine_context == &context) t_stopped_context = &context;
}

bool Engine_StoppedHere(const PlayerContext& context) {
  return t_stopped_context == &context;
}

EngineThreadScope::~EngineThreadScope() {
  t_engine_context = previous_;
}

bool Engine_OnEngineThread(const PlayerContext& context) {
  return t_engine_context == &context;
}

void Engine_RecordEnd(PlayerContext& context, PlaybackEnd end, std::int32_t code,
                      std::int32_t frame, const std::string& problem) {
  Status_Publish(context, [&](PlayerStatus& status) {
    if (end == PlaybackEnd::kStepFailed) context.step_failed = true;
    if (status.end != PlaybackEnd::kNone) return;
    status.end = end;
    status.end_code = code;
    status.end_frame = frame;
    if (!problem.empty()) Status_SetProblem(status, problem);
  });
  if (end == PlaybackEnd::kStepFailed) Engine_Wake(context);
}

void Engine_Wake(PlayerContext& context) {
  context.wake_count.fetch_add(1);
  context.wake_count.notify_all();
}

void Engine_WaitForWake(PlayerContext& context, std::uint32_t seen) {
  context.wake_count.wait(seen);
}

PlayerStatus Player_Status(const PlayerContext& context) {
  std::lock_guard<std::mutex> lock(context.status_mutex);
  PlayerStatus status = context.published;
  status.last_result = context.last_result;
  if (status.state != PlayerState::kIdle) {
    status.frames_indexed = context.movie_index.frames();
    status.index_complete = context.movie_index.finished();
  }
  return status;
}

bool Status_HasEnded(const PlayerStatus& status) {
  return status.state == PlayerState::kIdle || status.state == PlayerState::kOpen ||
         status.end == PlaybackEnd::kStepFailed;
}

bool Player_WaitForEnd(const PlayerContext& context, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(context.status_mutex);
  return context.status_changed.wait_for(lock, timeout,
                                         [&context] { return Status_HasEnded(context.published); });
}

const char* Player_ResultText(std::int32_t code) {
  switch (code) {
    case kPlayerOk:
      return "success";
    case kPlayerOutOfMemory:
      return "out of memory";
    case kPlayerCannotOpen:
      return "cannot open the file";
    case kPlayerReadFailed:
      return "a frame could not be read (the file ends inside it, or its size is impossible)";
    case kPlayerNoVideoChunk:
      return "a frame has no picture chunk";
    case kPlayerWrongVersion:
      return "wrong interface version";
    case kPlayerNoSurface:
      return "there is no picture surface to present on";
    case kPlayerEndOfData:
      return "the movie data ends before its last frame";
    case kPlayerBadDisplayMode:
      return "unknown display mode";
    case kPlayerNoThread:
      return "a thread could not be created";
    case kPlayerSoundRefused:
      return "the sound stream is not valid ADQ sound";
    case kPlayerDeviceRefused:
      return "the sound device refused to open or to take a buffer";
    default:
      return "unknown result";
  }
}

bool Player_SetPresentationListener(PlayerContext& context, PresentationListener listener,
                                    void* user) {
  if (context.playing) return false;
  context.presentation_listener = listener;
  context.presentation_user = user;
  return true;
}

}  // namespace tarvel
