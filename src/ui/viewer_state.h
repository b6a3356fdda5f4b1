// The user interface's records: the viewer's state (owned by the main thread) and the user's
// settings with their defaults.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

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

struct WindowPosition {
  std::int32_t x = -1;
  std::int32_t y = -1;
};

// The user's switches and window positions, with their defaults. Reading them from the settings
// file and writing them back is the settings step's work.
struct ViewerSettings {
  std::uint8_t AutoPlay = 1;
  std::uint8_t FullScreen = 0;
  std::uint8_t FenetreLibre = 0;  // windows move independently (no docking)
  std::uint8_t NoSound = 0;
  std::uint8_t Enchaine = 0;  // chain to the next playlist movie
  std::uint8_t Register = 0;
  WindowPosition video_window;     // "Wkqm"
  WindowPosition command_window;   // "Wcmd"
  WindowPosition playlist_window;  // "Wlist"
};

}  // namespace tarvel
