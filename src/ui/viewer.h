// The desktop player's main thread: start-up, the polling main loop, the commands of the
// control panel, the keys and the trackbars, and shut-down. It drives the one PlayerContext;
// the engine's threads reach it only through the frame callback, which sets atomic flags.
#pragma once

#include <QPoint>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "display/video_window.h"
#include "ui/command_window.h"
#include "ui/viewer_state.h"

class QKeyEvent;

namespace tarvel {

struct PlayerContext;

// The virtual-key code for a Qt key event, 0 for keys the player does not use.
int VirtualKeyOf(const QKeyEvent& event);

// The movie path in a command line: one pair of enclosing double quotes is removed (text that
// starts with a double quote ends at the next one, or at the end).
std::string MoviePathFromCommandLine(const std::string& command_line);

class Viewer final : public PresentationHost, public CommandHost {
 public:
  explicit Viewer(PlayerContext& player);
  ~Viewer() override;
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  // Everything before the main loop: engine initialisation, the windows, the Stop click, the
  // movie of the command line (`arguments`: what follows the program name) and the engine's
  // pixel format, frame callback and looping.
  void Startup(const QStringList& arguments);
  // The main loop until Close, Escape or the panel's close; then the shut-down. Returns 0.
  int Run();
  // One turn of the main loop after the events are drained: a pending movie starts, a shown
  // frame is painted and counted, and playback stops at the last frame unless Loop Play is on.
  void Tick();
  void Shutdown();

  // Presses and releases the panel button `id`, which then issues its command. It reaches a
  // button even while it is disabled.
  void Click(int id);
  // The command table, followed by Update buttons.
  void OnCommand(int id);
  // The key table (virtual-key codes).
  void OnKey(int virtual_key);
  // A trackbar scroll with its code and thumb position.
  void OnScroll(int id, int code, int position);
  void UpdateButtons();
  void ShowFrameCounter(std::int32_t frame);
  void ShowTimeCode(std::int32_t frame);
  void ShowFrameRate();
  void ShowSoundFormat();

  ViewerState& state() { return state_; }
  ViewerSettings& settings() { return settings_; }
  PlayerContext& player() { return player_; }
  CommandWindow* command_window() { return command_.get(); }
  VideoWindowSet& video() { return *video_; }
  // What a right click on the panel opens (the About box by default).
  void set_about_handler(std::function<void()> handler) { about_handler_ = std::move(handler); }

  // PresentationHost and CommandHost.
  void VideoKeyPressed(QKeyEvent* event) override;
  void FilesDropped(const QStringList& paths, QWidget* target) override;
  void VideoWindowMoved(const QPoint& origin) override;
  void RaiseOtherWindows() override;
  void LayoutDone() override;
  void Command(int id) override;
  void Scroll(int id, int code, int position) override;
  void PanelKeyPressed(QKeyEvent* event) override;
  void PanelMoved(const QPoint& origin) override;
  void PanelCloseRequested() override;
  void PanelRightClicked() override;

 private:
  static void OnFramePresented(void* user);

  void Play();
  void Stop();
  void Pause();
  void Previous();
  void Next();
  void StepByStep();
  void Close();
  void SoundOnOff();
  void ToggleFullScreen();
  void SelectPlaylistLine(std::int32_t line);
  void ApplySettings();
  void ShowStopInRadioGroup();
  QString Title() const;
  // One line on standard error naming the movie and the problem.
  void Report(const std::string& problem) const;
  void ReportOpenFailure(std::int32_t result) const;
  void ReportPlaybackEnd() const;

  PlayerContext& player_;
  ViewerState state_;
  ViewerSettings settings_;
  std::unique_ptr<VideoWindowSet> video_;
  std::unique_ptr<CommandWindow> command_;
  std::function<void()> about_handler_;
  // Frames presented so far, counted by the frame callback; the loop paints when it changes.
  std::atomic<std::uint32_t> frames_presented_{0};
  std::uint32_t frames_painted_ = 0;
  // The engine's wrap count at the previous turn: a wrap while Loop Play is off ends playback
  // even if the turn that would have seen the last frame came too late.
  std::int32_t last_loop_count_ = 0;
  // Where docking last sent each window, so that its own move is not docked again.
  std::optional<QPoint> video_dock_target_;
  std::optional<QPoint> command_dock_target_;
  // The failed start of the current playback has been reported already.
  bool failure_reported_ = false;
  bool started_ = false;
  bool shut_down_ = false;
};

}  // namespace tarvel
