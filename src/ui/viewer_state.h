// The viewer's state, owned by the main thread. The user's switches and window positions
// (ViewerSettings) live with the settings file's rules.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ui/logic/viewer_settings.h"

namespace tarvel {

struct ViewerState {
  // No movie is open for playing; Play must open one.
  bool stopped = false;
  // Playback was started or resumed and not paused or stopped since.
  bool ui_playing = false;
  // The engine is paused by Pause.
  bool paused = false;
  // Step by Step is active: the engine pauses after each presented frame. Read by the frame
  // callback on an engine thread.
  std::atomic<bool> step_mode{false};
  bool loop_on = false;
  // A movie was chosen and should start at the next loop turn.
  bool play_request = false;
  bool quit_requested = false;
  // The Sound On/Off button is off.
  bool muted = false;
  // Set by the frame callback (an engine thread) at the first presented frame; never cleared.
  std::atomic<bool> frame_shown{false};
  // Working copies of the settings AutoPlay, FenetreLibre and Enchaine.
  bool auto_play = true;
  bool free_windows = false;
  bool chain_movies = false;
  std::int32_t volume = 99;  // 0 to 99
  // Frames per second shown and sent to the engine.
  float play_rate = 15.0f;
  // Movies available: playlist lines, or 1 for a single movie.
  std::int32_t file_count = 0;
  // The current playlist line.
  std::int32_t list_index = 0;
  // The movie to open (file-system bytes).
  std::string current_path;
  // The folder of the executable, without a trailing separator.
  std::string program_directory;
};

}  // namespace tarvel
