// The desktop's media controls (GNOME's and KDE's media widgets, the lock screen, playerctl,
// and the media keys that the desktop takes for itself): the player answers on the D-Bus
// session bus through the MPRIS D-Bus interface, as org.mpris.MediaPlayer2.tarvel (or
// org.mpris.MediaPlayer2.tarvel.instance<pid> while another player has that name). Nothing
// waits on the bus; without one, nothing happens but a debug line.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "ui/session_bus.h"

namespace tarvel {

// The player as the media controls see it.
struct MediaState {
  enum class Playback { kStopped, kPlaying, kPaused };
  Playback playback = Playback::kStopped;
  bool can_play = false;
  bool can_pause = false;
  bool can_go_next = false;
  bool can_go_previous = false;
  // A movie is open (playing or paused) at a known frame rate.
  bool can_seek = false;
  // The current movie (file-system bytes; empty: none) and its length in microseconds (-1:
  // unknown until it is open).
  std::string path;
  std::int64_t length_us = -1;
  // Seeks of the player's own (the progress bar, keys, the media controls) and passes of a
  // looping movie so far: the position jumped, which the desktop does not foresee.
  std::uint64_t seeks = 0;
  std::int32_t passes = 0;
  // The level the sound plays at, as the volume slider holds it (0 to kTrackbarMaxPosition;
  // 0 while the sound is off).
  std::int32_t volume = 0;
  // What follows the end of a movie: nothing, the movie again (Loop Play), or the next movie of
  // the playlist, the first after the last (Link next).
  enum class Loop { kNone, kTrack, kPlaylist };
  Loop loop = Loop::kNone;
};

// What the media controls ask of the player, on the window thread.
class MediaControlsHost {
 public:
  virtual ~MediaControlsHost() = default;
  virtual MediaState MediaNow() = 0;
  // Where the open movie stands, in microseconds (0 without one).
  virtual std::int64_t MediaPosition() = 0;
  // A media key: kKeyMediaPlay, kKeyMediaPause, kKeyMediaPlayPause, kKeyMediaStop,
  // kKeyMediaNext or kKeyMediaPrevious.
  virtual void MediaKey(int virtual_key) = 0;
  // Shows the frame of the open movie at `microseconds`, within 0 and its length.
  virtual void MediaGoTo(std::int64_t microseconds) = 0;
  virtual void MediaRaise() = 0;
  // Quits as the window's close box does.
  virtual void MediaQuit() = 0;
  // Opens a movie or folder of this computer as if it were dropped on the video window.
  virtual void MediaOpen(const std::string& path) = 0;
  // Moves the volume slider to `level` (0 to kTrackbarMaxPosition) as a drag does; a level
  // above 0 turns the sound on.
  virtual void MediaSetVolume(std::int32_t level) = 0;
  // Sets Loop Play and Link next so that `loop` follows the end of a movie, as near as they can.
  virtual void MediaSetLoop(MediaState::Loop loop) = 0;
};

class MediaControls {
 public:
  // `bus_address` as for ScreenSaverInhibitor: empty for the session bus, "none" for no bus.
  MediaControls(MediaControlsHost& host, QString bus_address);
  ~MediaControls();
  MediaControls(const MediaControls&) = delete;
  MediaControls& operator=(const MediaControls&) = delete;

  // At the end of each turn of the main loop: the first connects to the bus; later ones tell
  // the desktop what changed (PlaybackStatus, Metadata, the Can* values, Volume, LoopStatus,
  // a seek).
  void Update();

  struct Shared;

 private:
  QString bus_address_;
  bool connect_tried_ = false;
  std::shared_ptr<Shared> shared_;
  DesktopBusConnector connector_;
};

}  // namespace tarvel
