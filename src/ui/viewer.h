// The desktop player's main thread: start-up, the polling main loop, the commands of the
// control panel, the keys and the trackbars, and shut-down. It drives the one PlayerContext;
// the engine's threads reach it only through the frame callback, which sets atomic flags.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "display/video_window.h"
#include "platform/audio_device.h"
#include "ui/command_line.h"
#include "ui/command_window.h"
#include "ui/logic/file_association.h"
#include "ui/logic/playlist_model.h"
#include "ui/media_controls.h"
#include "ui/panel_logic.h"
#include "ui/playlist_window.h"
#include "ui/viewer_state.h"

class QDialog;
class QEventLoop;
class QSocketNotifier;
class QKeyEvent;

namespace tarvel {

class KeyReleaseWatch;
class ScreenSaverInhibitor;
struct PlayerContext;
struct PlayerStatus;
struct PresentedPicture;

// The virtual-key code for a Qt key event, 0 for keys the player does not use.
int VirtualKeyOf(const QKeyEvent& event);

// The movie path in a command line: one pair of enclosing double quotes is removed (text that
// starts with a double quote ends at the next one, or at the end), unless the text as given
// names something that is there.
std::string MoviePathFromCommandLine(const std::string& command_line);

// Where the viewer meets a person: the modal dialogs, the open-file dialog and the
// association question. Each has a default that shows the real window; tests and unattended
// runs put their own answers in.
struct ViewerSeams {
  // Runs a modal dialog (Options, About) and returns its result. Default: QDialog::exec.
  std::function<int(QDialog&)> run_dialog;
  // The open-file dialog: the chosen paths, none when cancelled. Default: ChooseMovieFiles.
  std::function<QStringList(QWidget* owner, const QString& folder)> choose_files;
  // Asks the file association question. Default: a message box, asked only where the platform
  // shows windows to a person (never on the offscreen platform).
  AssociationQuestion ask_association;
  // Registers the player for the movie files. Default: RegisterRunningPlayer, its thread made
  // by start_thread.
  AssociationWriter register_association;
  // Starts a thread of the player's own. Default: std::thread (which throws std::system_error
  // when the system has no thread to give).
  std::function<std::thread(std::function<void()> body)> start_thread;
  // Shows a problem to the user without waiting for an answer. Default: a non-modal message
  // box owned by the control panel (one at a time: a new problem joins the last few it shows).
  std::function<void(const QString& text)> show_notice;
  // Whether the program may place its windows. Default: yes, except on Wayland, where the
  // compositor alone places them and the positions Qt reports are not where they are.
  std::function<bool()> program_places_windows;
  // The D-Bus bus on which the player meets the desktop: its screen saver, asked not to blank
  // the screen while a movie plays, and its media controls. Default (empty): the session bus;
  // "none": no bus.
  QString desktop_bus;
};

class Viewer final : public PresentationHost,
                     public CommandHost,
                     public PlaylistHost,
                     public MediaControlsHost {
 public:
  explicit Viewer(PlayerContext& player, ViewerSeams seams = {}, PlayerOptions options = {});
  ~Viewer() override;
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  // Everything before the main loop: engine initialisation, the settings file, the file
  // association offer, the windows, the first Apply settings, the Stop click, the movies of the
  // command line (one path plays as given, its enclosing quotes removed; several make a
  // playlist) and the engine's pixel format, frame callback and looping.
  void Startup(const std::vector<std::string>& paths = {});
  // The main loop until Close, Escape or the panel's close; then the shut-down (which writes
  // the settings file). Returns 0.
  int Run();
  // The settings file written as the shut-down writes it, for a program that ends without it.
  void WriteSettingsBeforeExit();
  // One turn of the main loop: a pending movie starts, a new picture is shown and counted, and
  // playback stops at the last frame unless Loop Play is on, or when it ended by itself.
  void Tick();
  // Quits, as Close does, when `descriptor` becomes readable (a stop signal came); a go to a
  // frame that holds the window thread meanwhile is given up for it.
  void QuitWhenReadable(int descriptor);
  // Asks for one turn of the main loop on the window thread (from any thread), for when
  // something happened: a picture, the end of playback, a command. Asking again before it ran
  // asks for nothing more.
  void RequestTurn();
  void Shutdown();

  // Presses and releases the panel button `id`, which then issues its command. It reaches a
  // button even while it is disabled.
  void Click(int id);
  // The command table, followed by Update buttons.
  void OnCommand(int id);
  // The key table (virtual-key codes), with Ctrl held or not.
  void OnKey(int virtual_key, bool control = false);
  // Shows `frame` of the movie that plays (paused or not), as the progress bar asks (see
  // CommandHost); nothing without one.
  // A trackbar scroll with its code and thumb position.
  void OnScroll(int id, int code, int position);
  void UpdateButtons();
  // The progress bar, frame counter and time code at `frame`.
  void ShowPosition(std::int32_t frame);
  void ShowFrameCounter(std::int32_t frame);
  void ShowTimeCode(std::int32_t frame);
  void ShowFrameRate();
  void ShowSoundFormat();

  ViewerState& state() { return state_; }
  ViewerSettings& settings() { return settings_; }
  PlayerContext& player() { return player_; }
  CommandWindow* command_window() { return command_.get(); }
  VideoWindowSet& video() { return *video_; }
  // The playlist window while it exists.
  PlaylistWindow* playlist_window() const { return playlist_window_; }
  const PlaylistModel& playlist() const { return playlist_; }
  // Where the settings file is read and written (chosen at start-up).
  const std::string& settings_path() const { return settings_path_; }
  // What the file association offer came to at start-up (kOfferNotAsked ...).
  int association_offer() const { return association_offer_; }

  // PresentationHost and CommandHost.
  void VideoKeyPressed(QKeyEvent* event) override;
  void FilesDropped(const std::vector<std::string>& paths, QWidget* target) override;
  void VideoWindowMoved(const QPoint& origin) override;
  void RaiseOtherWindows() override;
  void LayoutDone() override;
  bool SurfaceInUse() const override;
  void ScreensChanged() override;
  void Command(int id) override;
  void Seek(std::int32_t frame) override;
  void Scroll(int id, int code, int position) override;
  void PanelKeyPressed(QKeyEvent* event) override;
  void PanelMoved(const QPoint& origin) override;
  void PanelCloseRequested() override;
  void PanelRightClicked() override;
  void PlaylistLineSelected(int line) override;
  void PlaylistMoved(const QPoint& origin) override;
  void PlaylistCloseRequested() override;
  bool PlaylistKeyPressed(QKeyEvent* event) override;

  // MediaControlsHost.
  MediaState MediaNow() override;
  std::int64_t MediaPosition() override;
  void MediaKey(int virtual_key) override;
  void MediaGoTo(std::int64_t microseconds) override;
  void MediaRaise() override;
  void MediaQuit() override;
  void MediaOpen(const std::string& path) override;
  void MediaSetVolume(std::int32_t level) override;
  void MediaSetLoop(MediaState::Loop loop) override;

 private:
  // A key event of any window, through the key table; false for a key the table does not have.
  bool TakeKey(const QKeyEvent& event);
  static void OnFramePresented(void* user);
  // The engine presented a picture (on its thread): it is widened for the screen, and a turn
  // is asked for.
  static void OnPicturePresented(const PresentedPicture& presented, void* user);
  void OnTurn();
  // A thread that waits for playback to end and then asks for a turn; EndWatch joins it once
  // playback has stopped. Without a thread for it, false and why.
  bool WatchPlayback(std::string* problem);
  void EndWatch();

  void Play();
  void Stop();
  // Stops a movie whose playback has ended: with Link next on, the next one follows.
  void EndPlayback();
  void Pause();
  void Previous();
  void Next();
  void StepByStep();
  void Close();
  void SoundOnOff();
  void ToggleFullScreen();
  // The video window while it is full screen, otherwise none.
  QWidget* FullScreenWindow() const;
  // Keeps a notice on screen above the full-screen window, or with the panel once that is left.
  void KeepNoticeInSight();
  void Options();
  void OpenFiles();
  // Says in a notice whether the last association asked for was made.
  void TellAssociationResult();
  void About();
  int RunDialog(QDialog& dialog);
  void ApplySettings();
  void WriteSettings();
  // The playlist model works on the viewer's file_count and list_index: copy them in before an
  // operation; CarryOut copies them back and does what the operation asks of the windows.
  void SyncPlaylistModel();
  void CarryOut(const PlaylistActions& actions);
  void CreatePlaylistWindow();
  void DestroyPlaylistWindow();
  bool Docking() const;
  // Moves each window that has a target and is not there yet, remembering the move as docking's.
  void MoveDocked(const DockTargets& targets);
  // A window moved: its position is recorded, and unless it was docking's own move the docked
  // windows follow it.
  // `keep`: the place is recorded in the settings.
  void WindowMoved(SettingsWindow window, const QPoint& origin, std::optional<QPoint>& dock_target,
                   DockTargets (*dock)(const QPoint&, const QSize&), bool keep = true);
  // Positions read from the settings file that would put a window where nobody can reach it
  // are brought back onto a screen.
  void KeepSavedPositionsReachable();
  void ShowStopInRadioGroup();
  // Shows `frame` of the movie playing or paused, leaving it so. A seek asked for while one
  // made since the last turn still stands is left to the next turn, where only the newest runs.
  void GoToFrame(std::int32_t frame);
  // The frame seeks and steps count from: the one a seek left for the next turn goes to, else
  // the one shown (-1: none).
  std::int32_t SeekBase(const PlayerStatus& status) const;
  // Runs the seek left for the next turn, if any.
  void RunPendingSeek();
  // After a go to `frame` failed with `result`: when it lies past the frames that can be played
  // (the movie is cut short or damaged before it), or the frame index has no thread, the user is
  // told so, once a playback.
  void ReportUnplayableFrame(std::int32_t frame, std::int32_t result);
  // The stop signal's quit: open dialogs go unanswered, and the next turn ends the main loop.
  void QuitOnStopSignal();
  void QuitLeavingDialogsUnanswered();
  // The engine's pass count at `status` as the end of playback counts it: one less on the last
  // frame, whose pass the engine counts as done before playback has wrapped.
  static std::int32_t PassBeforeWrap(const PlayerStatus& status);
  // With Loop Play off, playing, stepping or going on from the last frame ends playback there,
  // with its position shown, before the engine shows the frame 0 it would go on with. True when
  // it did.
  bool StopAtLastFrame();
  // Frame callback, with Loop Play off: playback that has just presented the last frame waits
  // there for that frame's period (and sound) before it ends, rather than going on to frame 0.
  void HoldAtLastFrame();
  // Calls off the end at the last frame that HoldAtLastFrame began.
  void ForgetLastFrame();
  // The panel's rate to the engine, unless a silent movie's clock stands still.
  void SendRate();
  // Ctrl+Left, Ctrl+Right: `seconds` from the frame shown, within the movie.
  void SeekBySeconds(float seconds);
  // Comma, period: pauses, then one frame back or on.
  void StepOneFrame(bool forward);
  // The video window's title: the name of the movie whose picture it shows, which a movie that
  // failed to open since has not replaced.
  QString Title() const;
  // Shows a problem with the current movie: one line on standard error naming it, the video
  // window's status bar (when it exists) and, unless `notice` is false, a notice.
  void Report(const std::string& problem, bool notice = true);
  // The same for a problem that names no movie.
  void ShowProblem(const std::string& line, bool notice = true);
  // A sound card that cannot be opened: the notice comes once a run.
  void ReportDeviceFailure(const std::string& problem);
  void ReportOpenFailure(std::int32_t result);
  void ReportPlaybackEnd(const PlayerStatus& status);
  // The screen stays on while a movie plays or one is about to (the next of a playlist), and
  // may blank again once it is paused, stopped or the player quits.
  void KeepScreenOnWhilePlaying();

  // Each playback's sound device, made by the factory the player was given and set to the
  // player's volume before the engine opens it.
  static std::unique_ptr<AudioDevice> MakeSoundDevice(void* user);
  AudioDeviceFactory make_sound_device_ = nullptr;
  void* make_sound_device_user_ = nullptr;

  PlayerContext& player_;
  PlayerOptions options_;
  ViewerState state_;
  ViewerSettings settings_;
  // The settings as this run last read or wrote them: those it has not changed since are
  // written as the file holds them, which another player may have changed meanwhile.
  ViewerSettings settings_written_;
  std::unique_ptr<VideoWindowSet> video_;
  std::unique_ptr<CommandWindow> command_;
  ViewerSeams seams_;
  std::string settings_path_;
  int association_offer_ = kOfferNotAsked;
  // Why the player's own registration last failed, for the notice that says so.
  std::string association_problem_;
  PlaylistModel playlist_;
  // Owned here; deleted later rather than at once, since it may be the window whose event
  // (a drop, its close box) led to its end.
  PlaylistWindow* playlist_window_ = nullptr;
  // The main loop's turns: posted to this object, at most one waiting at a time.
  QObject turn_target_;
  std::atomic<bool> turn_posted_{false};
  QEventLoop* run_loop_ = nullptr;
  std::thread watch_;
  std::unique_ptr<QSocketNotifier> quit_notifier_;
  // The engine's wrap count at the previous turn: a wrap while Loop Play is off ends playback
  // even if the turn that would have seen the last frame came too late.
  std::int32_t last_loop_count_ = 0;
  // Pictures presented when the last seek or step has shown its picture (-1: none since
  // start); the pictures up to that count are not playback's.
  std::int64_t seek_pictures_ = -1;
  // Seeks come faster than a long run-up from a key frame serves them (a key held down, clicks
  // on the bar): one runs at once, those after it until the next turn only leave their frame
  // here (-1: none), and the turn goes to the last.
  bool sought_since_turn_ = false;
  std::int32_t pending_seek_ = -1;
  // Seeks asked for so far, for the desktop's media controls.
  std::uint64_t seeks_ = 0;
  // A step on (Enter, Period), or a move to another line of the playlist, asked since the last
  // turn: the repeats of a held key that waited meanwhile (a busy player) are taken with it
  // rather than each stepping on, or passing over one more movie, after it.
  bool stepped_since_turn_ = false;
  // The last key let go in any window, to know a held key's repeats by.
  std::unique_ptr<KeyReleaseWatch> key_releases_;
  // With Loop Play off, playback ends on its last frame once that frame has had its time (read
  // by the engine's threads). A silent movie's clock is paused on the last frame while
  // `last_period_` runs; a movie with sound plays the last frame's sound out, and the picture
  // after it (the next pass's first) is held back and pauses the engine instead; so is every
  // picture after that one until playback goes on (`held_`).
  std::atomic<bool> end_at_last_frame_{true};
  std::atomic<bool> hold_next_picture_{false};
  std::atomic<bool> held_{false};
  std::atomic<bool> last_frame_done_{false};
  QTimer last_period_;
  // Where docking last sent each window, so that its own move is not docked again.
  std::optional<QPoint> video_dock_target_;
  std::optional<QPoint> command_dock_target_;
  std::optional<QPoint> playlist_dock_target_;
  // Where the program itself put the panel at start-up, until the panel first moves elsewhere.
  std::optional<QPoint> panel_placement_;
  // The movie whose picture the video window was made for (file-system bytes).
  std::string shown_path_;
  // The failed start of the current playback has been reported already.
  bool failure_reported_ = false;
  // Movies in a row that stopped without showing a picture: chaining stops once every movie of
  // the playlist has, rather than trying them again and again.
  std::int32_t failed_in_a_row_ = 0;
  // The Stop under way ends playback that ended by itself (see EndPlayback).
  bool stop_at_end_ = false;
  // The settings file could not be written, and the user has been told.
  bool settings_failure_shown_ = false;
  // The settings file is there but could not be read: it is not written over with the defaults.
  bool settings_left_alone_ = false;
  // The sound device's failure has been shown once; later ones go to standard error only.
  bool device_failure_shown_ = false;
  // The sound device's failure in the current playback, kept back while the sound is off.
  std::string withheld_device_problem_;
  // The sound device's stopping in the current playback has been shown.
  bool sound_lost_shown_ = false;
  // A frame past those that can be played has been asked for in the current playback.
  bool past_playable_reported_ = false;
  // The --fullscreen option waits for the first movie that plays.
  bool full_screen_pending_ = false;
  // The notice on screen, while it is.
  QPointer<QMessageBox> notice_box_;
  std::unique_ptr<ScreenSaverInhibitor> screen_saver_;
  std::unique_ptr<MediaControls> media_controls_;
  bool started_ = false;
  bool shut_down_ = false;
};

}  // namespace tarvel
