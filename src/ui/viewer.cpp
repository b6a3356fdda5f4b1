#include "ui/viewer.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QScreen>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

#include "display/presentation.h"
#include "engine/player_context.h"
#include "engine/player_status.h"
#include "platform/stop_signals.h"
#include "platform/terminal.h"
#include "platform/user_files.h"
#include "platform/utf8.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/panel_logic.h"
#include "ui/screen_saver.h"
#include "ui/skin_controls.h"

namespace tarvel {

namespace {

// How long Close waits for a read of the movie to end before the program ends without it.
constexpr std::int32_t kReaderWaitAtQuitMs = 2000;

// The player's windows are windows to assistive tools, which say a window's title and look in
// it for its status bar by these roles; the video window's status bar is one.
QAccessibleInterface* PlayerWindowAccessibleFactory(const QString&, QObject* object) {
  auto* widget = qobject_cast<QWidget*>(object);
  if (widget == nullptr) return nullptr;
  if (dynamic_cast<StatusBar*>(widget) != nullptr)
    return new QAccessibleWidget(widget, QAccessible::StatusBar);
  if (dynamic_cast<VideoWindow*>(widget) != nullptr ||
      dynamic_cast<CommandWindow*>(widget) != nullptr ||
      dynamic_cast<PlaylistWindow*>(widget) != nullptr)
    return new QAccessibleWidget(widget, QAccessible::Window);
  return nullptr;
}

// How far Ctrl+Left and Ctrl+Right go.
constexpr float kSeekSeconds = 5.0f;
// The highest rate the Left arrow reaches.
constexpr float kArrowRateLimit = 50.0f;
// Range of the frame-rate trackbar: two positions per frame per second.
constexpr int kFrameRateTrackbarRange = 100;

// Between start and stop: the engine presents pictures into the surface (or is paused).
bool Playing(const PlayerStatus& status) {
  return status.state == PlayerState::kPlaying || status.state == PlayerState::kPaused ||
         status.state == PlayerState::kStepping;
}

// What went wrong: the engine's own line when it has one, else the text of `code`.
std::string ProblemOf(const PlayerStatus& status, std::int32_t code) {
  return status.problem[0] != '\0' ? std::string(status.problem) : Player_ResultText(code);
}

// Nothing was listed and a folder given could not be read: why, rather than "no movies".
std::string UnlistedFolderText(const PlaylistActions& actions, std::size_t paths_given) {
  std::string text =
      actions.unlisted_folder + ": the folder cannot be read (" + actions.unlisted_reason + ")";
  if (paths_given > 1) text += "; no movies among the " + std::to_string(paths_given) + " given";
  return text;
}

}  // namespace

// Notes the last key let go in any of the player's windows. Under X a key held down repeats as
// a release and a press with one time stamp, which the window library does not always mark as
// a repeat: it looks for the press only among the events it has already read.
class KeyReleaseWatch : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyRelease) {
      const auto* release = static_cast<const QKeyEvent*>(event);
      key_ = release->key();
      at_ = release->timestamp();
    }
    return QObject::eventFilter(watched, event);
  }
  // `press` repeats a key held down (events made without a time stamp have none to tell by).
  bool Repeats(const QKeyEvent& press) const {
    return press.isAutoRepeat() ||
           (press.timestamp() != 0 && press.key() == key_ && press.timestamp() == at_);
  }

 private:
  int key_ = 0;
  std::uint64_t at_ = 0;
};

int VirtualKeyOf(const QKeyEvent& event) {
  switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return kKeyEnter;
    case Qt::Key_Escape:
      return kKeyEscape;
    case Qt::Key_Space:
      return kKeySpace;
    case Qt::Key_PageUp:
      return kKeyPageUp;
    case Qt::Key_PageDown:
      return kKeyPageDown;
    case Qt::Key_Left:
      return kKeyLeft;
    case Qt::Key_Right:
      return kKeyRight;
    case Qt::Key_Delete:
      return kKeyDelete;
    case Qt::Key_Home:
      return kKeyHome;
    case Qt::Key_End:
      return kKeyEnd;
    case Qt::Key_Comma:
      return kKeyComma;
    case Qt::Key_Period:
      return kKeyPeriod;
    // The one Play/Pause key of most keyboards comes as Play under X11 and Wayland: it switches.
    case Qt::Key_MediaPlay:
    case Qt::Key_MediaTogglePlayPause:
      return kKeyMediaPlayPause;
    case Qt::Key_MediaPause:
      return kKeyMediaPause;
    case Qt::Key_MediaStop:
      return kKeyMediaStop;
    case Qt::Key_MediaNext:
      return kKeyMediaNext;
    case Qt::Key_MediaPrevious:
      return kKeyMediaPrevious;
    default:
      return 0;
  }
}

std::string MoviePathFromCommandLine(const std::string& command_line) {
  if (command_line.empty() || command_line.front() != '"') return command_line;
  // A name that is there as given is a file whose own name starts with a quote.
  std::error_code absent;
  if (std::filesystem::exists(std::filesystem::symlink_status(command_line, absent)))
    return command_line;
  const std::size_t close = command_line.find('"', 1);
  return command_line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
}

Viewer::Viewer(PlayerContext& player, ViewerSeams seams, PlayerOptions options)
    : player_(player), options_(options), seams_(std::move(seams)) {
  static const bool windows_told = [] {
    QAccessible::installFactory(PlayerWindowAccessibleFactory);
    return true;
  }();
  (void)windows_told;
  video_ = std::make_unique<VideoWindowSet>(*this);
  key_releases_ = std::make_unique<KeyReleaseWatch>();
  if (QCoreApplication* application = QCoreApplication::instance())
    application->installEventFilter(key_releases_.get());
  if (!seams_.run_dialog) seams_.run_dialog = [](QDialog& dialog) { return dialog.exec(); };
  if (!seams_.choose_files) seams_.choose_files = &ChooseMovieFiles;
  if (!seams_.start_thread)
    seams_.start_thread = [](std::function<void()> body) { return std::thread(std::move(body)); };
  if (!seams_.register_association)
    seams_.register_association = [this] {
      return RegisterRunningPlayer(&association_problem_, seams_.start_thread);
    };
  // Nobody can answer a question on a platform without a screen: it is not asked there, so
  // that an unattended run never waits on it.
  if (!seams_.ask_association && PlatformCanAsk())
    seams_.ask_association = &AskAssociationInMessageBox;
  if (!seams_.program_places_windows)
    seams_.program_places_windows = [] {
      return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    };
  if (!seams_.show_notice) {
    seams_.show_notice = [this](const QString& text) {
      ShowNoticeBox(notice_box_, command_.get(), text, FullScreenWindow());
    };
  }
  full_screen_pending_ = options_.full_screen;
  screen_saver_ = std::make_unique<ScreenSaverInhibitor>(seams_.desktop_bus);
  media_controls_ = std::make_unique<MediaControls>(*this, seams_.desktop_bus);
}

Viewer::~Viewer() {
  if (started_) Shutdown();
}

// ---------------------------------------------------------------------------------------------
// Start-up, main loop, shut-down

void Viewer::Startup(const std::vector<std::string>& paths) {
  started_ = true;
  video_->RefreshScreenRect();
  if (Player_Init(player_, kPlayerInterfaceVersion) != kPlayerOk)
    std::fprintf(stderr, "tarvel: the playback engine refused its interface version\n");
  // The engine opens a new sound device for each playback and lets it play as the start
  // returns, before the volume set after the start can reach it: given the volume first, the
  // card never takes its first sound at full volume (a burst on a player whose sound is off).
  make_sound_device_ = player_.services.make_audio_device;
  make_sound_device_user_ = player_.services.audio_device_user;
  player_.services.make_audio_device = &Viewer::MakeSoundDevice;
  player_.services.audio_device_user = this;

  settings_ = ViewerSettings{};
  state_.program_directory = RunningProgramDirectory();
  settings_path_ = SettingsFilePath(state_.program_directory);
  const std::string read_problem =
      Settings_ReadProblem(Settings_Read(settings_, settings_path_), settings_path_);
  settings_left_alone_ = !read_problem.empty();
  settings_written_ = settings_;
  // Asked once, before any window of the program exists; the first Apply below records the
  // answer in the settings file.
  if (options_.associate) {
    // Asked for on the command line: no question.
    association_offer_ = AssociateWithoutAsking(settings_, seams_.register_association);
  } else {
    association_offer_ =
        OfferFileAssociation(settings_, !options_.no_associate && seams_.ask_association != nullptr,
                             seams_.ask_association, seams_.register_association);
    // A stop signal closed the question: nobody answered it, so it is asked again next time.
    if (association_offer_ == kOfferDeclined && state_.quit_requested) settings_.Register = 0;
  }
  KeepSavedPositionsReachable();
  video_->set_saved_position(QPoint(settings_.video_window.x, settings_.video_window.y));

  command_ = std::make_unique<CommandWindow>(*this);
  command_->SetUpControls();
  command_->Trackbar(kIdVolume)->SetRange(kTrackbarMaxPosition);
  command_->SetState(kIdVolume, kTrackbarMaxPosition - state_.volume);
  command_->Trackbar(kIdFrameRate)->SetRange(kFrameRateTrackbarRange);
  // A step is half a frame per second.
  command_->Trackbar(kIdFrameRate)->SetValueStep(0.5);
  command_->Trackbar(kIdFrameRate)->SetValueOf(&FrameRateAt);
  command_->Progress()->SetRange(0);
  command_->Progress()->SetPosition(0);
  command_->Button(kIdSoundOnOff)->SetChecked(!state_.muted);
  // The program's own placement of the panel is not a position to keep.
  if (const std::optional<WindowPosition> place = PlacementOf(settings_.command_window)) {
    panel_placement_ = QPoint(place->x, place->y);
  } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    panel_placement_ = screen->availableGeometry().center() - command_->rect().center();
  }
  if (panel_placement_) command_->move(*panel_placement_);
  command_->show();
  command_->raise();
  // A Yes (or --associate) that could not be carried out is said where the user looks.
  if (association_offer_ == kOfferWriteFailed) TellAssociationResult();
  // What the file holds may be the user's own: it is neither used nor replaced.
  if (settings_left_alone_)
    ShowProblem(settings_path_ + ": " + read_problem +
                "; this run uses the default settings and leaves the file as it is");

  ApplySettings();
  Click(kIdStop);
  if (options_.loop) Click(kIdLoopPlay);
  command_->update();

  // A folder alone plays its movies, as several paths do; any other single path is one movie.
  const std::string single = paths.size() == 1 ? MoviePathFromCommandLine(paths.front()) : "";
  // Asked of the name's own bytes: one in another encoding than UTF-8 does not survive a QString.
  std::error_code no_folder;
  const bool folder = !single.empty() && std::filesystem::is_directory(single, no_folder);
  if (paths.size() == 1 && !folder) {
    state_.play_request = true;
    state_.current_path = single;
    state_.file_count += 1;
  } else if (!paths.empty()) {
    SyncPlaylistModel();
    const PlaylistActions actions =
        Playlist_CommandLine(playlist_, folder ? std::vector<std::string>{single} : paths);
    CarryOut(actions);
    // The line names the first path that names anything: an empty one (a script's unset
    // variable) has nothing to put before the problem.
    const auto named = std::find_if(paths.begin(), paths.end(),
                                    [](const std::string& path) { return !path.empty(); });
    const std::string among =
        "no movies among the " + std::to_string(paths.size()) + " paths given";
    // A path that names nothing, or that cannot be looked up, is said to, whether or not the
    // others gave movies.
    const std::string missing = actions.missing_path + ": " + actions.missing_reason;
    if (state_.file_count == 0)
      ShowProblem(!actions.unlisted_folder.empty() ? UnlistedFolderText(actions, paths.size())
                  : folder                         ? single + ": no movies in this folder"
                  : !actions.missing_path.empty()  ? missing + "; " + among
                  : named != paths.end()           ? *named + ": " + among
                                                   : among + " (they are empty)");
    else if (!actions.missing_path.empty())
      ShowProblem(missing);
  }

  Player_SetPixelFormat(player_, 15);
  Player_SetFrameCallback(player_, &Viewer::OnFramePresented, this);
  Player_SetPresentationListener(player_, &Viewer::OnPicturePresented, this);
  Player_SetLoop(player_, 1);
  last_period_.setSingleShot(true);
  last_period_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&last_period_, &QTimer::timeout, &turn_target_, [this] {
    // Paused meanwhile, the movie stays on its last frame.
    if (!state_.ui_playing) return;
    last_frame_done_ = true;
    RequestTurn();
  });
  RequestTurn();
}

namespace {

// The viewer whose main loop runs, and its thread.
std::atomic<Viewer*> g_running_viewer{nullptr};
std::atomic<std::thread::id> g_running_thread{};

// The window library ends the program itself when its X server goes away (exit(1) from the
// window thread, in the middle of the main loop): what was changed since the settings were
// last written is written as Close writes it.
void KeepSettingsOnEarlyExit() {
  if (std::this_thread::get_id() != g_running_thread.load()) return;
  if (Viewer* viewer = g_running_viewer.exchange(nullptr)) viewer->WriteSettingsBeforeExit();
}

}  // namespace

int Viewer::Run() {
  static const bool kept_at_exit = std::atexit(&KeepSettingsOnEarlyExit) == 0;
  QEventLoop loop;
  run_loop_ = &loop;
  if (kept_at_exit) {
    g_running_thread = std::this_thread::get_id();
    g_running_viewer = this;
  }
  // Nothing is polled: a turn runs when something happened (see RequestTurn).
  if (!state_.quit_requested) loop.exec();
  g_running_viewer = nullptr;
  run_loop_ = nullptr;
  Shutdown();
  return 0;
}

void Viewer::WriteSettingsBeforeExit() {
  // No notice: the windows cannot be shown any more.
  shut_down_ = true;
  WriteSettings();
}

void Viewer::QuitWhenReadable(int descriptor) {
  if (descriptor < 0) return;
  quit_notifier_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
  QObject::connect(quit_notifier_.get(), &QSocketNotifier::activated, &turn_target_,
                   [this] { QuitOnStopSignal(); });
  player_.services.abandon_seek = &StopSignals_Came;
}

void Viewer::QuitOnStopSignal() {
  quit_notifier_->setEnabled(false);
  QuitLeavingDialogsUnanswered();
}

void Viewer::QuitLeavingDialogsUnanswered() {
  state_.quit_requested = true;
  // A dialog or question waits for its answer in a loop of its own, which would hold the quit
  // up until someone answered it: it goes unanswered (the About box's OK-only rule included).
  for (QWidget* window : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(window);
    if (dialog != nullptr && dialog->isVisible() && dialog->isModal())
      dialog->done(QDialog::Rejected);
  }
  RequestTurn();
}

void Viewer::RequestTurn() {
  if (turn_posted_.exchange(true)) return;
  QMetaObject::invokeMethod(
      &turn_target_, [this] { OnTurn(); }, Qt::QueuedConnection);
}

void Viewer::OnTurn() {
  turn_posted_ = false;
  stepped_since_turn_ = false;
  if (!state_.quit_requested) Tick();
  KeepScreenOnWhilePlaying();
  if (media_controls_) media_controls_->Update();
  if (state_.quit_requested && run_loop_ != nullptr) run_loop_->quit();
}

void Viewer::Tick() {
  if (state_.quit_requested) return;
  RunPendingSeek();
  if (state_.quit_requested) return;  // the seek was given up for a stop signal
  if (state_.play_request) {
    if (state_.stopped) {
      // Taken before the click: a movie that fails to open may ask for the next one at once.
      state_.play_request = false;
      Click(kIdPlay);
    } else {
      // Stop may itself start the requested movie; if not, the next turn plays it.
      Click(kIdStop);
      if (state_.play_request) RequestTurn();
    }
  }

  // The newest picture goes on screen; with it, the counters.
  video_->ShowNewPicture();
  PlayerStatus status = Player_Status(player_);
  // A sound card that stops playing (unplugged) is said once a playback, on the status bar; with
  // the sound turned off, once it is turned on.
  if (status.sound_lost && !sound_lost_shown_ && !state_.muted) {
    sound_lost_shown_ = true;
    Report(kSoundLostProblem, false);
  }
  if (state_.frame_shown && Playing(status)) {
    // Only playback that reached the last frame ends it, not a seek that went there, nor a
    // step whose picture has yet to come.
    const bool by_playback = status.pictures_presented > seek_pictures_;
    const bool wrapped = status.loop_count != last_loop_count_;
    // The last frame's time is over (see HoldAtLastFrame), or playback waits on it.
    const bool done = last_frame_done_.exchange(false) && state_.ui_playing;
    const bool on_last = !state_.loop_on && by_playback &&
                         status.shown_frame == status.frame_count - 1 && status.current_frame == 0;
    // The counters show the number of the frame after the picture; past a picture gone to, the
    // engine's next frame has wrapped to 0 when that picture is the last.
    ShowPosition(done || on_last ? status.frame_count
                 : by_playback   ? status.current_frame
                                 : status.shown_frame + 1);
    if (by_playback) last_loop_count_ = status.loop_count;
    if (done && state_.loop_on) {
      // Loop Play came on while the last frame had its time: the movie goes on.
      held_ = false;
      Player_Restart(player_);
    } else if (!state_.loop_on && by_playback && (done || (wrapped && !on_last))) {
      EndPlayback();
      status = Player_Status(player_);
    } else if (on_last && state_.ui_playing && !status.sound_on &&
               status.state == PlayerState::kPaused && !last_period_.isActive()) {
      // The clock stands on the last frame (HoldAtLastFrame): it stays up for its period.
      const float rate = state_.play_rate > 0.0f ? state_.play_rate : status.frame_rate;
      last_period_.start(static_cast<int>(ClockPeriod(rate)));
    }
  }

  // Playback ended by itself, or stands still on a frame that failed; paused too, where a step
  // on (Period, Enter) reaches a frame that cannot be read. (Enter on a stopped movie pauses
  // nothing that could end.)
  if (!state_.stopped && (state_.ui_playing || state_.paused) &&
      (!Playing(status) || status.end == PlaybackEnd::kStepFailed)) {
    ReportPlaybackEnd(status);
    EndPlayback();
  }
  // The counters copied by the X server in this turn (a scroll's too) go out together.
  command_->FlushCounters();
}

bool Viewer::WatchPlayback(std::string* problem) {
  EndWatch();
  // Waits (without waking in between) until playback ends, then asks for a turn.
  try {
    watch_ = seams_.start_thread([this] {
      while (!Player_WaitForEnd(player_, std::chrono::hours(1))) {
      }
      RequestTurn();
    });
  } catch (const std::system_error& failure) {
    *problem = failure.code().message();
    return false;
  }
  return true;
}

void Viewer::EndWatch() {
  if (watch_.joinable()) watch_.join();
}

void Viewer::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  WriteSettings();
  // The program is ending: a read the disk or a network share stopped answering holds it up for
  // a moment only (main ends the program without that reader).
  player_.services.reader_wait_ms = kReaderWaitAtQuitMs;
  Player_Stop(player_);
  KeepScreenOnWhilePlaying();
  // The desktop's media controls no longer see the player.
  media_controls_.reset();
  EndWatch();
  Player_SetFrameCallback(player_, nullptr, nullptr);
  Player_SetPresentationListener(player_, nullptr, nullptr);
  player_.services.make_audio_device = make_sound_device_;
  player_.services.audio_device_user = make_sound_device_user_;
  quit_notifier_.reset();
  if (command_) command_->TearDownControls();
  if (playlist_window_ != nullptr) {
    // Not inside one of its events here: it can go at once.
    playlist_window_->Detach();
    delete playlist_window_;
    playlist_window_ = nullptr;
  }
  video_.reset();
  if (command_) {
    command_->hide();
    command_.reset();
  }
}

std::unique_ptr<AudioDevice> Viewer::MakeSoundDevice(void* user) {
  const Viewer& viewer = *static_cast<Viewer*>(user);
  if (viewer.make_sound_device_ == nullptr) return nullptr;
  std::unique_ptr<AudioDevice> device = viewer.make_sound_device_(viewer.make_sound_device_user_);
  if (device) {
    const int level = viewer.state_.muted ? 0 : viewer.state_.volume;
    device->SetVolume(static_cast<std::uint32_t>(level) * kVolumeStep);
  }
  return device;
}

// ---------------------------------------------------------------------------------------------
// Commands

void Viewer::Click(int id) {
  SkinButton* button = command_ ? command_->Button(id) : nullptr;
  if (button == nullptr) return;
  button->Press();
  button->Release(true);
}

void Viewer::OnCommand(int id) {
  if (state_.quit_requested) return;
  switch (id) {
    case kIdPlay:
      Play();
      break;
    case kIdStop:
      Stop();
      break;
    case kIdPause:
      Pause();
      break;
    case kIdPrevious:
      Previous();
      break;
    case kIdNext:
      Next();
      break;
    case kIdStepByStep:
      StepByStep();
      break;
    case kIdClose:
      Close();
      break;
    case kIdOptions:
      Options();
      break;
    case kIdSoundOnOff:
      SoundOnOff();
      break;
    case kIdZoomOff:
      if (video_->exists()) video_->ZoomOff(Title());
      break;
    case kIdLoopPlay:
      state_.loop_on = !state_.loop_on;
      end_at_last_frame_ = !state_.loop_on;
      break;
    case kIdOpenFiles:
      OpenFiles();
      break;
    case kIdFullScreen:
      ToggleFullScreen();
      break;
    default:
      break;
  }
  UpdateButtons();
  // Only running playback draws its counters past Qt; paused, stepping or stopped, Qt draws them.
  if (command_) command_->SetCountersLive(state_.ui_playing && !state_.paused && !state_.step_mode);
  RequestTurn();
}

void Viewer::Play() {
  if (state_.stopped) {
    const std::int32_t result = Player_Open(player_, state_.current_path.c_str());
    if (result == kPlayerOk) {
      const PlayerStatus opened = Player_Status(player_);
      video_->SetMovie(MovieFacts{opened.width, opened.height, opened.output_width,
                                  opened.output_height, opened.frame_count});
      video_->set_saved_position(QPoint(settings_.video_window.x, settings_.video_window.y));
      shown_path_ = state_.current_path;
      video_->Build(video_->full_screen(), Title());
      if (video_->surface().empty()) {
        // Nothing to decode into: the movie is closed again.
        Player_Stop(player_);
        Report("not enough memory to show its " + std::to_string(opened.output_width) + "x" +
               std::to_string(opened.output_height) + " pictures");
        ShowStopInRadioGroup();
        return;
      }
      ApplySettings();
      const std::int32_t started = Player_Start(player_, video_->surface().bits(), kDisplayWindow,
                                                video_->picture_window(), kDefaultRingSize);
      const PlayerStatus status = Player_Status(player_);
      std::string no_watch;
      if (Playing(status) && !WatchPlayback(&no_watch)) {
        // Its end could go unseen: the movie is closed again rather than played unwatched.
        Player_Stop(player_);
        Report("cannot be played: no thread to follow its playback (" + no_watch + ")");
        ShowStopInRadioGroup();
        command_->Progress()->SetRange(0);
        ShowPosition(0);
        state_.paused = false;
        state_.step_mode = false;
        return;
      }
      state_.play_rate = status.frame_rate;
      const float twice = std::floor(state_.play_rate * 2.0f);
      command_->SetState(kIdFrameRate, std::isfinite(twice)
                                           ? static_cast<int>(std::clamp(
                                                 twice, 0.0f, float{kFrameRateTrackbarRange}))
                                           : 0);
      ShowFrameRate();
      command_->Progress()->SetRange(status.frame_count);
      ShowPosition(0);
      ShowSoundFormat();
      Player_SetVolume(player_, state_.muted ? 0 : state_.volume);
      state_.stopped = false;
      state_.step_mode = false;
      state_.ui_playing = true;
      last_loop_count_ = 0;
      seek_pictures_ = -1;
      pending_seek_ = -1;
      ForgetLastFrame();
      failure_reported_ = false;
      sound_lost_shown_ = false;
      past_playable_reported_ = false;
      withheld_device_problem_.clear();
      // The start showed frame 0 without the frame callback: a movie of one frame is on its last
      // already, and its card stops after this first period rather than the next pass's.
      if (Playing(status)) HoldAtLastFrame();
      if (started != kPlayerOk) {
        if (Playing(status)) {
          std::string problem = ProblemOf(status, started);
          if (problem.find("without sound") == std::string::npos)
            problem += "; playing without sound";
          if (started != kPlayerDeviceRefused)
            Report(problem);
          else if (state_.muted)
            // The user turned the sound off: the missing sound card is said when it is turned on.
            withheld_device_problem_ = problem;
          else
            ReportDeviceFailure(problem);
        } else {
          Report(ProblemOf(status, started));
          failure_reported_ = true;
        }
      } else if (status.silent_reason[0] != '\0') {
        // A movie that promises sound its first frame does not carry plays silent, said so.
        Report(std::string(status.silent_reason) + "; playing without sound");
      }
      if (full_screen_pending_ && Playing(status)) {
        full_screen_pending_ = false;
        Click(kIdFullScreen);
      }
    } else {
      ReportOpenFailure(result);
      // Nothing plays: the panel shows Stop, not the Play that was pressed, and no position of
      // the movie before.
      ShowStopInRadioGroup();
      command_->Progress()->SetRange(0);
      ShowPosition(0);
      // With Link next on, the next movie follows, as after a movie that fails to start.
      if (Stop_FollowUp(false, state_.auto_play, state_.chain_movies, state_.file_count,
                        ++failed_in_a_row_) == StopFollowUp::kClickNext)
        Click(kIdNext);
    }
  }
  if (state_.stopped) {
    // Nothing opened: a pause taken while stopped (Enter) has no playback to resume.
    state_.paused = false;
    state_.step_mode = false;
  } else if (state_.paused) {
    if (StopAtLastFrame()) return;
    Player_Restart(player_);
    // The engine's clock starts again at the movie's own rate: a rate chosen here goes on.
    const PlayerStatus resumed = Player_Status(player_);
    if (!resumed.sound_on && state_.play_rate > 0.0f && state_.play_rate != resumed.frame_rate)
      Player_SetRate(player_, state_.play_rate);
    state_.paused = false;
    state_.step_mode = false;
    state_.ui_playing = true;
  }
}

void Viewer::Stop() {
  const bool at_end = std::exchange(stop_at_end_, false);
  if (state_.ui_playing || state_.paused)
    failed_in_a_row_ = Player_Status(player_).pictures_presented == 0 ? failed_in_a_row_ + 1 : 0;
  if (state_.paused) Player_Restart(player_);
  // A movie left open by a start that failed early is closed too, so that the next Play can
  // open one.
  if (Player_Status(player_).state != PlayerState::kIdle) Player_Stop(player_);
  EndWatch();
  ForgetLastFrame();
  state_.paused = false;
  state_.ui_playing = false;
  state_.step_mode = false;
  state_.stopped = true;
  switch (Stop_FollowUp(state_.play_request, state_.auto_play, state_.chain_movies && at_end,
                        state_.file_count, failed_in_a_row_)) {
    case StopFollowUp::kClickPlay:
      state_.play_request = false;
      Click(kIdPlay);
      break;
    case StopFollowUp::kClickNext:
      Click(kIdNext);
      break;
    case StopFollowUp::kNothing:
      break;
  }
}

void Viewer::Pause() {
  ForgetLastFrame();
  Player_Pause(player_);
  state_.paused = true;
  state_.ui_playing = false;
}

void Viewer::Previous() {
  SyncPlaylistModel();
  CarryOut(Playlist_Previous(playlist_));
}

void Viewer::Next() {
  SyncPlaylistModel();
  CarryOut(Playlist_Next(playlist_));
}

void Viewer::StepByStep() {
  if (state_.step_mode) {
    if (StopAtLastFrame()) return;
    // The frame of the press before is still on its way: a restart now would start the clock
    // again and put it off, so that a key held down (its repeats coming faster than the frames)
    // would show none.
    if (Player_Status(player_).state == PlayerState::kPlaying) return;
    Player_Restart(player_);  // one frame is shown, then the frame callback pauses again
    stepped_since_turn_ = true;
  } else {
    Click(kIdPause);
  }
  state_.step_mode = true;
}

void Viewer::HoldAtLastFrame() {
  if (!end_at_last_frame_ || state_.step_mode) return;
  const PlayerStatus status = Player_Status(player_);
  // A step stands paused already; only playback that wrapped from the last frame is held.
  if (status.state != PlayerState::kPlaying || status.shown_frame != status.frame_count - 1 ||
      status.current_frame != 0)
    return;
  if (status.sound_on) {
    hold_next_picture_ = true;
    // The next pass's sound is not heard either: the card stops at the end of this period.
    Player_PauseSoundAfterPeriod(player_);
  } else
    Player_Pause(player_);
  RequestTurn();
}

void Viewer::ForgetLastFrame() {
  hold_next_picture_ = false;
  held_ = false;
  last_frame_done_ = false;
  last_period_.stop();
}

void Viewer::SendRate() {
  // A silent movie's clock starts again with a new rate: paused (or held on its last frame), it
  // gets the rate when it plays on.
  const PlayerStatus status = Player_Status(player_);
  if (status.sound_on || status.state == PlayerState::kPlaying)
    Player_SetRate(player_, state_.play_rate);
}

bool Viewer::StopAtLastFrame() {
  const PlayerStatus status = Player_Status(player_);
  if (state_.loop_on || !Playing(status) || status.shown_frame != status.frame_count - 1)
    return false;
  ShowPosition(status.frame_count);
  EndPlayback();
  return true;
}

void Viewer::EndPlayback() {
  // Only a movie that ended is followed by the next one: Stop pressed by the user stops.
  stop_at_end_ = true;
  Click(kIdStop);
  stop_at_end_ = false;
}

void Viewer::Close() {
  if (video_->full_screen()) {
    video_->SetFullScreen(false, Title());
    KeepNoticeInSight();
    // The Full Screen button follows the state it no longer has.
    if (SkinButton* button = command_->Button(kIdFullScreen)) button->SetChecked(false);
    return;
  }
  state_.quit_requested = true;
}

void Viewer::SoundOnOff() {
  const bool checked = command_->Button(kIdSoundOnOff)->checked();
  state_.muted = !checked;
  if (Playing(Player_Status(player_))) {
    Player_SetVolume(player_, checked ? state_.volume : 0);
    if (checked && !withheld_device_problem_.empty())
      ReportDeviceFailure(std::exchange(withheld_device_problem_, {}));
  }
  settings_.NoSound = state_.muted ? 1 : 0;
  // Written at once: when a Wayland compositor goes away the window library ends the program
  // without its exit handlers, and the change would be lost with it.
  WriteSettings();
}

void Viewer::ReportDeviceFailure(const std::string& problem) {
  // Without a sound card every movie says so: the notice comes once.
  Report(problem, !device_failure_shown_);
  device_failure_shown_ = true;
}

void Viewer::ToggleFullScreen() {
  if (!video_->exists()) {
    // No picture to show: the button springs back.
    if (SkinButton* button = command_->Button(kIdFullScreen)) button->SetChecked(false);
    return;
  }
  video_->SetFullScreen(!video_->full_screen(), Title());
  KeepNoticeInSight();
}

QWidget* Viewer::FullScreenWindow() const {
  return video_->full_screen() ? video_->video_window() : nullptr;
}

void Viewer::KeepNoticeInSight() {
  // A notice still open goes above the full-screen window, or back to the panel after it.
  if (!notice_box_.isNull() && notice_box_->isVisible())
    ShowNoticeBox(notice_box_, command_.get(), notice_box_->text(), FullScreenWindow());
}

void Viewer::Options() {
  // --free-windows holds for this run only: the dialog shows, and keeps, the setting itself.
  const bool free_windows =
      options_.free_windows ? settings_.FenetreLibre != 0 : state_.free_windows;
  const OptionsChecks checks =
      Options_Open(settings_, state_.muted, state_.auto_play, free_windows, state_.chain_movies);
  OptionsDialog dialog(command_.get(), settings_, checks, [this] {
    association_offer_ = AssociateWithoutAsking(settings_, seams_.register_association);
    TellAssociationResult();
  });
  if (RunDialog(dialog) == QDialog::Accepted) {
    ApplySettings();
  } else if (command_) {
    // Closed without OK: the switches keep their new values, to be applied later.
    command_->update();
  }
}

void Viewer::TellAssociationResult() {
  if (!seams_.show_notice) return;
  if (association_offer_ == kOfferRegistered) {
    seams_.show_notice(QStringLiteral("Movie files (.kqm, .kqs) now open with Tarvel."));
  } else if (!association_problem_.empty()) {
    // The reason where the user looks: a player started from the desktop has no terminal.
    seams_.show_notice(QStringLiteral("Movie files could not be associated with Tarvel: ") +
                       QString::fromStdString(Utf8_ShownName(association_problem_)));
  } else {
    seams_.show_notice(
        QStringLiteral("Movie files could not be associated with Tarvel "
                       "(the reason is on standard error)."));
  }
}

void Viewer::About() {
  AboutDialog dialog(command_.get());
  RunDialog(dialog);
}

int Viewer::RunDialog(QDialog& dialog) {
  return seams_.run_dialog ? seams_.run_dialog(dialog) : QDialog::Rejected;
}

void Viewer::OpenFiles() {
  const QString folder = QFile::decodeName(
      QByteArray::fromStdString(OpenDialogFolder(state_.current_path, state_.program_directory)));
  std::vector<std::string> paths;
  if (seams_.choose_files) {
    for (const QString& path : seams_.choose_files(command_.get(), folder))
      paths.push_back(QFile::encodeName(path).toStdString());
  }
  SyncPlaylistModel();
  CarryOut(Playlist_OpenFiles(playlist_, paths));
}

void Viewer::ApplySettings() {
  const ApplyPlan plan =
      Settings_PlanApply(settings_, state_.muted, video_->full_screen(), SurfaceInUse());
  if (plan.click_sound_on_off) Click(kIdSoundOnOff);
  if (plan.click_full_screen) Click(kIdFullScreen);
  state_.auto_play = plan.auto_play;
  // --free-windows holds for the whole run, whatever the setting says.
  state_.free_windows = plan.free_windows || options_.free_windows;
  state_.chain_movies = plan.chain_movies;
  WriteSettings();
  if (command_) command_->update();
}

void Viewer::WriteSettings() {
  if (settings_left_alone_) return;
  // A file that cannot be written is skipped: the settings stay in effect for this run, and the
  // user is told once that they will not outlive it.
  std::string problem;
  const int result =
      settings_path_.empty()
          ? kFileWriteFailed
          : Settings_WriteKeepingOthers(settings_, settings_written_, settings_path_, &problem);
  if (result == kFileOk || settings_failure_shown_) return;
  settings_failure_shown_ = true;
  // No path: no configuration folder, for want of a home folder.
  if (settings_path_.empty()) problem = "cannot be written: " + MissingHomeReason();
  ShowProblem((settings_path_.empty() ? std::string("the settings file") : settings_path_) + ": " +
                  problem + "; settings will not be kept after this run",
              !shut_down_);
}

// ---------------------------------------------------------------------------------------------
// Playlist

void Viewer::SyncPlaylistModel() {
  playlist_.file_count = state_.file_count;
  playlist_.list_index = state_.list_index;
}

void Viewer::CarryOut(const PlaylistActions& actions) {
  if (actions.destroy_window || actions.create_window) DestroyPlaylistWindow();
  if (actions.create_window) CreatePlaylistWindow();
  if (playlist_window_ != nullptr && (actions.lines_changed || actions.create_window))
    playlist_window_->SetLines(playlist_.lines);
  if (playlist_window_ != nullptr && actions.select_line >= 0)
    playlist_window_->SelectLine(actions.select_line);
  if (actions.current_path) state_.current_path = *actions.current_path;
  if (actions.folder_label && playlist_window_ != nullptr)
    playlist_window_->SetFolder(*actions.folder_label);
  if (actions.play_request) state_.play_request = true;
  // A new list: its movies have not failed yet.
  if (actions.lines_changed || actions.create_window) failed_in_a_row_ = 0;
  state_.file_count = playlist_.file_count;
  state_.list_index = playlist_.list_index;
  if (actions.update_buttons) UpdateButtons();
  if (actions.repaint_panel && command_) command_->update();
}

void Viewer::CreatePlaylistWindow() {
  DestroyPlaylistWindow();
  playlist_window_ = new PlaylistWindow(*this);
  if (const std::optional<WindowPosition> place = PlacementOf(settings_.playlist_window)) {
    playlist_window_->move(place->x, place->y);
  } else if (const QWidget* video = video_->video_window();
             video != nullptr && !video_->full_screen()) {
    // Over the video window; docking then puts the video window to its left.
    playlist_window_->move(video->frameGeometry().topLeft());
  } else if (command_) {
    // No video window yet: beside the panel, until the first movie docks them together.
    playlist_window_->move(command_->frameGeometry().topRight() + QPoint(1, 0));
  }
  playlist_window_->show();
  if (command_) command_->raise();
}

void Viewer::DestroyPlaylistWindow() {
  if (playlist_window_ == nullptr) return;
  playlist_window_->Detach();
  playlist_window_->hide();
  playlist_window_->deleteLater();
  playlist_window_ = nullptr;
  playlist_dock_target_.reset();
}

void Viewer::ShowStopInRadioGroup() {
  SkinButton* stop = command_->Button(kIdStop);
  if (stop == nullptr) return;
  stop->SetChecked(true);
  command_->UncheckRadioGroup(stop->record());
}

// ---------------------------------------------------------------------------------------------
// Keys and trackbars

void Viewer::OnKey(int virtual_key, bool control) {
  if (state_.quit_requested) return;
  // With Ctrl, the arrows go five seconds back or on instead of changing the rate.
  if (control && (virtual_key == kKeyLeft || virtual_key == kKeyRight)) {
    SeekBySeconds(virtual_key == kKeyLeft ? -kSeekSeconds : kSeekSeconds);
    RequestTurn();
    return;
  }
  // Any other key with a use comes after a seek left for the next turn (Ctrl, pressed again
  // for each Ctrl+arrow, has none of its own).
  if (virtual_key != 0 && virtual_key != kKeyHome && virtual_key != kKeyEnd &&
      virtual_key != kKeyComma)
    RunPendingSeek();
  switch (virtual_key) {
    case kKeyEnter:
      Click(kIdStepByStep);
      break;
    case kKeyEscape:
      if (video_->full_screen())
        Click(kIdFullScreen);
      else
        state_.quit_requested = true;
      break;
    case kKeySpace:
    case kKeyMediaPlayPause:
      if (state_.ui_playing)
        Click(kIdPause);
      else if (state_.file_count != 0)
        Click(kIdPlay);
      break;
    case kKeyMediaPlay:
      if (!state_.ui_playing && state_.file_count != 0) Click(kIdPlay);
      break;
    case kKeyMediaPause:
      if (state_.ui_playing) Click(kIdPause);
      break;
    case kKeyPageUp:
    case kKeyMediaPrevious:
      Click(kIdPrevious);
      stepped_since_turn_ = true;
      break;
    case kKeyPageDown:
    case kKeyMediaNext:
      Click(kIdNext);
      stepped_since_turn_ = true;
      break;
    case kKeyLeft:
      // From a half step below (the slider's 49.5) it stops at the limit rather than past it.
      if (state_.play_rate < kArrowRateLimit)
        state_.play_rate = std::min(state_.play_rate + 1.0f, kArrowRateLimit);
      SendRate();
      break;
    case kKeyRight:
      // A rate below zero means nothing: it stops at 0.
      if (state_.play_rate != 0.0f) state_.play_rate = std::max(state_.play_rate - 1.0f, 0.0f);
      SendRate();
      break;
    case kKeyDelete:
    case kKeyMediaStop:
      Click(kIdStop);
      break;
    case kKeyHome:
      GoToFrame(0);
      break;
    case kKeyEnd:
      GoToFrame(Player_Status(player_).frame_count - 1);
      break;
    case kKeyComma:
    case kKeyPeriod:
      StepOneFrame(virtual_key == kKeyPeriod);
      break;
    default:
      break;
  }
  RequestTurn();
}

void Viewer::Seek(std::int32_t frame) {
  if (state_.quit_requested) return;
  // Stopped, the bar still spans the last movie played: it plays again from the frame asked for.
  if (state_.stopped && state_.file_count != 0) Click(kIdPlay);
  GoToFrame(frame);
}

void Viewer::GoToFrame(std::int32_t frame) {
  if (state_.quit_requested || !Playing(Player_Status(player_))) return;
  ++seeks_;
  if (sought_since_turn_) {
    pending_seek_ = frame;
    RequestTurn();
    return;
  }
  pending_seek_ = -1;
  ForgetLastFrame();
  const std::int32_t sought = Player_Seek(player_, frame);
  if (sought != kPlayerOk) {
    // Given up for a stop signal, the seek stopped playback: the player quits before a turn
    // could take that for playback ending.
    if (quit_notifier_ != nullptr && StopSignals_Received() != 0)
      QuitOnStopSignal();
    else
      ReportUnplayableFrame(frame, sought);
    return;
  }
  sought_since_turn_ = true;
  // The picture of a seek is no step of playback: it neither ends playback at the last frame
  // nor counts as a pass.
  const PlayerStatus status = Player_Status(player_);
  seek_pictures_ = status.pictures_presented;
  last_loop_count_ = PassBeforeWrap(status);
  // A playing movie would go on from there: from the last frame, with Loop Play off, that ends
  // playback with it shown, before the engine shows the frame 0 it would go on with.
  if (state_.ui_playing) StopAtLastFrame();
  RequestTurn();
}

std::int32_t Viewer::SeekBase(const PlayerStatus& status) const {
  return pending_seek_ >= 0 ? pending_seek_ : status.shown_frame;
}

void Viewer::RunPendingSeek() {
  sought_since_turn_ = false;
  const std::int32_t frame = std::exchange(pending_seek_, -1);
  if (frame >= 0) GoToFrame(frame);
}

void Viewer::ReportUnplayableFrame(std::int32_t frame, std::int32_t result) {
  if (past_playable_reported_) return;
  // The frame index had no thread: nothing can be sought, whatever the movie holds.
  const bool no_index = result == kPlayerNoThread && Playing(Player_Status(player_));
  const std::int32_t playable = no_index ? 0 : Player_PlayableFrames(player_);
  if (!no_index && (frame < playable || !Playing(Player_Status(player_)))) return;
  past_playable_reported_ = true;
  Report("cannot go to frame " + std::to_string(frame) + ": " +
             (no_index ? std::string(Player_ResultText(result)) : Player_UnplayableText(player_)),
         false);
}

std::int32_t Viewer::PassBeforeWrap(const PlayerStatus& status) {
  // Playback going on from the last frame wraps to frame 0, which must still end it when Loop
  // Play is off.
  const bool on_last_frame = status.shown_frame == status.frame_count - 1;
  return status.loop_count - (on_last_frame && status.current_frame == 0 ? 1 : 0);
}

void Viewer::SeekBySeconds(float seconds) {
  const PlayerStatus status = Player_Status(player_);
  const std::int32_t base = SeekBase(status);
  if (!Playing(status) || base < 0) return;
  const float rate = status.frame_rate > 0.0f ? status.frame_rate : kDefaultFrameRate;
  const long long target = base + static_cast<long long>(std::lround(seconds * rate));
  GoToFrame(static_cast<std::int32_t>(std::clamp<long long>(target, 0, status.frame_count - 1)));
}

void Viewer::StepOneFrame(bool forward) {
  const PlayerStatus now = Player_Status(player_);
  if (!Playing(now) || (forward && StopAtLastFrame())) return;
  // A frame on still on its way (it comes with the clock) is let come: a key held down repeats
  // faster than the frames come, and each repeat would otherwise call off the step before it.
  if (forward && !state_.ui_playing && now.state == PlayerState::kStepping) return;
  // Paused first, as Pause leaves it.
  if (state_.ui_playing) Click(kIdPause);
  state_.step_mode = false;
  // Like a seek, a frame gone to this way does not end playback when it is the last.
  ForgetLastFrame();
  if (!forward) {
    // A step back is a seek, from the frame the last seek goes to.
    const std::int32_t base = SeekBase(Player_Status(player_));
    if (base > 0) GoToFrame(base - 1);
    return;
  }
  const PlayerStatus before = Player_Status(player_);
  if (Player_Step(player_) != kPlayerOk) return;
  stepped_since_turn_ = true;
  // The step on comes with the clock: its picture is the next one presented.
  seek_pictures_ = before.pictures_presented + 1;
  last_loop_count_ = PassBeforeWrap(before);
}

void Viewer::OnScroll(int id, int code, int position) {
  if (state_.quit_requested) return;
  if (id == kIdFrameRate) {
    // The sound device paces a movie with sound: its rate is not the panel's to change.
    if (Player_GetSoundFormat(player_, nullptr, nullptr)) return;
    const int p = TrackbarScroll(command_->State(id), code, position);
    command_->SetState(id, p);
    state_.play_rate = static_cast<float>(FrameRateAt(p));
    SendRate();
    ShowFrameRate();
  } else if (id == kIdVolume) {
    const int p = TrackbarScroll(command_->State(id), code, position);
    command_->SetState(id, p);
    state_.volume = kTrackbarMaxPosition - p;
    if (!state_.muted) Player_SetVolume(player_, state_.volume);
  }
  RequestTurn();
}

// ---------------------------------------------------------------------------------------------
// Panel displays

void Viewer::UpdateButtons() {
  if (!command_) return;
  auto enable = [this](int id, bool on) {
    if (QWidget* control = command_->Control(id)) control->setEnabled(on);
  };
  if (state_.stopped) {
    enable(kIdPause, false);
    enable(kIdStepByStep, false);
  }
  if (state_.ui_playing) {
    enable(kIdPause, true);
    enable(kIdStepByStep, true);
  }
  enable(kIdPlay, state_.file_count != 0);
  // Full screen and zoom need a picture: a movie that failed to open leaves none.
  const bool picture = state_.file_count != 0 && video_->exists();
  enable(kIdFullScreen, picture);
  enable(kIdZoomOff, picture);
  enable(kIdNext, state_.file_count > 1);
  enable(kIdPrevious, state_.file_count > 1);
}

void Viewer::ShowPosition(std::int32_t frame) {
  command_->Progress()->SetPosition(frame);
  ShowFrameCounter(frame);
  ShowTimeCode(frame);
}

void Viewer::ShowFrameCounter(std::int32_t frame) {
  const std::array<int, 5> digits = FrameCounterDigits(frame);
  // Units first.
  for (std::size_t i = 0; i < digits.size(); ++i)
    command_->SetState(kIdCounterDigits[4 - i], digits[i]);
}

void Viewer::ShowTimeCode(std::int32_t frame) {
  const TimeCodeDigits digits = TimeCode(frame, state_.play_rate);
  command_->SetState(kIdFramesUnits, digits.frames_units);
  command_->SetState(kIdFramesTens, digits.frames_tens);
  command_->SetState(kIdSecondsUnits, digits.seconds_units);
  command_->SetState(kIdSecondsTens, digits.seconds_tens);
  command_->SetState(kIdMinutesUnits, digits.minutes_units);
  command_->SetState(kIdMinutesTens, digits.minutes_tens);
}

void Viewer::ShowFrameRate() {
  const RateDigits digits = FrameRateDigits(state_.play_rate);
  command_->SetState(kIdRateTenths, digits.tenths);
  command_->SetState(kIdRateUnits, digits.units);
  command_->SetState(kIdRateTens, digits.tens);
}

void Viewer::ShowSoundFormat() {
  std::uint32_t stereo = 0;
  std::uint32_t sample_rate = 0;
  const bool with_sound = Player_GetSoundFormat(player_, &stereo, &sample_rate);
  const SoundIndicators states = SoundFormatStates(with_sound, stereo, sample_rate);
  command_->SetState(kIdChannels, states.channels);
  command_->SetState(kIdSampleRate, states.sample_rate);
}

// ---------------------------------------------------------------------------------------------
// Window events

void Viewer::VideoKeyPressed(QKeyEvent* event) {
  TakeKey(*event);
}

void Viewer::PanelKeyPressed(QKeyEvent* event) {
  TakeKey(*event);
}

bool Viewer::TakeKey(const QKeyEvent& event) {
  const int key = VirtualKeyOf(event);
  if (key == 0) return false;
  // Space and Escape switch: held down, they switch once, rather than back and forth (Play,
  // Pause, Play...) or from leaving full screen on to quitting. Enter held down past the last
  // frame has ended playback: it does not go on to pause the stopped movie.
  const bool repeat = key_releases_->Repeats(event);
  if (repeat && (key == kKeySpace || key == kKeyMediaPlayPause || key == kKeyEscape ||
                 (key == kKeyEnter && state_.stopped)))
    return true;
  // Repeats of Enter and Period that piled up while the player was busy go with the step taken
  // since the last turn: each would step on once more, long after the key was let go. Those of
  // Page Up and Page Down would each pass over one more movie.
  if (repeat && stepped_since_turn_ &&
      (key == kKeyEnter || key == kKeyPeriod || key == kKeyPageUp || key == kKeyPageDown ||
       key == kKeyMediaPrevious || key == kKeyMediaNext))
    return true;
  OnKey(key, event.modifiers() & Qt::ControlModifier);
  return true;
}

void Viewer::Command(int id) {
  RunPendingSeek();
  OnCommand(id);
}

void Viewer::Scroll(int id, int code, int position) {
  OnScroll(id, code, position);
}

void Viewer::FilesDropped(const std::vector<std::string>& files, QWidget* target) {
  if (state_.quit_requested) return;
  const bool on_playlist = playlist_window_ != nullptr && target != nullptr &&
                           (target == playlist_window_ || playlist_window_->isAncestorOf(target));
  SyncPlaylistModel();
  const PlaylistActions actions = Playlist_Dropped(playlist_, files, on_playlist);
  CarryOut(actions);
  // A drop that adds no movie says so, as the command line does; it would otherwise look as if
  // the drop had been missed, and a playlist it replaced gone without a word. (A single path
  // that lists nothing is a folder: one other file changes nothing.)
  if (actions.listed_no_movie) {
    ShowProblem(!actions.unlisted_folder.empty() ? UnlistedFolderText(actions, files.size())
                : files.size() == 1              ? files.front() + ": no movies in this folder"
                                                 : files.front() + ": no movies among the " +
                                          std::to_string(files.size()) + " files dropped");
  }
  UpdateButtons();
  RequestTurn();
}

// ---------------------------------------------------------------------------------------------
// Window positions and docking

namespace {

// Moves `window` to `target`, or as near to it as keeps it within reach on a screen (a window
// docked below or beside another may otherwise land off the screen); records where it sent it.
void MoveDockedWindow(QWidget* window, const std::optional<QPoint>& target,
                      const QList<QRect>& screens, std::optional<QPoint>& dock_target) {
  if (!target || window == nullptr) return;
  const QPoint place = KeepReachable(QRect(*target, window->frameGeometry().size()), screens);
  if (place == window->frameGeometry().topLeft()) return;
  dock_target = place;
  window->move(place);
}

}  // namespace

void Viewer::MoveDocked(const DockTargets& targets) {
  const QList<QRect> screens = AvailableScreenAreas();
  MoveDockedWindow(video_->video_window(), targets.video, screens, video_dock_target_);
  MoveDockedWindow(command_.get(), targets.command, screens, command_dock_target_);
  MoveDockedWindow(playlist_window_, targets.playlist, screens, playlist_dock_target_);
}

// Docking is off with Free Windows and in full screen, and needs a video window on screen: the
// other two windows are placed around it.
bool Viewer::Docking() const {
  if (state_.free_windows || video_->full_screen()) return false;
  const QWidget* video = video_->video_window();
  return video != nullptr && video->isVisible();
}

void Viewer::WindowMoved(SettingsWindow window, const QPoint& origin,
                         std::optional<QPoint>& dock_target,
                         DockTargets (*dock)(const QPoint&, const QSize&), bool keep) {
  if (state_.quit_requested) return;
  // Where the desktop alone places windows, the file keeps the places they had where the player
  // could place them (the same settings serve an X11 session).
  if (keep && seams_.program_places_windows())
    Settings_RecordPosition(settings_, window, origin.x(), origin.y());
  if (dock_target && *dock_target == origin) {
    dock_target.reset();  // the move docking asked for
    return;
  }
  if (!Docking()) return;
  MoveDocked(dock(origin, video_->video_window()->frameGeometry().size()));
}

void Viewer::VideoWindowMoved(const QPoint& origin) {
  // A window the program centred is centred again when it is made again (leaving full screen,
  // the next start), frame and all: the place it had before the window manager framed it is not
  // kept. Once moved, the same position places it when it is created again.
  const bool keep = !video_->centred();
  if (keep && !state_.quit_requested) video_->set_saved_position(origin);
  WindowMoved(SettingsWindow::kVideo, origin, video_dock_target_, &DockToVideo, keep);
}

void Viewer::PanelMoved(const QPoint& origin) {
  if (panel_placement_) {
    if (*panel_placement_ == origin) return;
    panel_placement_.reset();
  }
  WindowMoved(SettingsWindow::kCommand, origin, command_dock_target_, &DockToCommand);
}

void Viewer::PlaylistMoved(const QPoint& origin) {
  WindowMoved(SettingsWindow::kPlaylist, origin, playlist_dock_target_, &DockToPlaylist);
}

void Viewer::KeepSavedPositionsReachable() {
  const QList<QRect> screens = AvailableScreenAreas();
  // The panel and the playlist have fixed sizes; the video window's depends on the movie, and
  // at least its top-left corner is kept.
  const QSize panel = DialogUnitsToPixels(0, 0, kPanelWidthUnits, kPanelHeightUnits).size();
  const QSize playlist =
      DialogUnitsToPixels(0, 0, kPlaylistWidthUnits, kPlaylistHeightUnits).size();
  const std::pair<WindowPosition*, QSize> windows[] = {
      {&settings_.video_window, QSize(kReachableWidth, kReachableHeight)},
      {&settings_.command_window, panel},
      {&settings_.playlist_window, playlist}};
  // A hand-edited file may hold any whole number: far beyond every screen, a place is as good as
  // one 2^24 pixels out, and the window's far corner must not overflow.
  constexpr int kFarthest = 1 << 24;
  for (const auto& [position, size] : windows) {
    if (!PlacementOf(*position)) continue;
    const QPoint origin(std::clamp(position->x, -kFarthest, kFarthest),
                        std::clamp(position->y, -kFarthest, kFarthest));
    // Where the desktop alone places windows they are not used, and are kept for a session
    // where they are, whose screens may differ.
    if (!seams_.program_places_windows()) {
      *position = WindowPosition{origin.x(), origin.y()};
      continue;
    }
    const QPoint kept = KeepReachable(QRect(origin, size), screens);
    // Where the rule leaves no place the program would choose itself, it chooses.
    *position = kept.x() >= 1 ? WindowPosition{kept.x(), kept.y()} : WindowPosition{};
  }
}

void Viewer::ScreensChanged() {
  if (state_.quit_requested) return;
  // Windows that stood on a larger screen, or on one that has gone, are brought back within
  // reach as those of the settings file are: window managers do so, but without one nothing
  // else would, and a panel off the screen could not be dragged back.
  const QList<QRect> screens = AvailableScreenAreas();
  QWidget* const windows[] = {video_->full_screen() ? nullptr : video_->video_window(),
                              command_.get(), playlist_window_};
  for (QWidget* window : windows) {
    if (window == nullptr || !window->isVisible()) continue;
    const QRect frame = window->frameGeometry();
    const QPoint place = KeepReachable(frame, screens);
    if (place != frame.topLeft()) window->move(place);
  }
}

void Viewer::RaiseOtherWindows() {
  if (playlist_window_ != nullptr) playlist_window_->raise();
  if (command_) command_->raise();
}

void Viewer::LayoutDone() {
  if (command_) command_->update();
}

void Viewer::PanelCloseRequested() {
  state_.quit_requested = true;
  RequestTurn();
}

void Viewer::PanelRightClicked() {
  if (state_.quit_requested) return;
  About();
}

void Viewer::PlaylistLineSelected(int line) {
  if (state_.quit_requested) return;
  SyncPlaylistModel();
  CarryOut(Playlist_Select(playlist_, line));
  stepped_since_turn_ = true;
  UpdateButtons();
  RequestTurn();
}

void Viewer::PlaylistCloseRequested() {
  if (state_.quit_requested) return;
  SyncPlaylistModel();
  CarryOut(Playlist_CloseBox(playlist_));
  RequestTurn();
}

bool Viewer::PlaylistKeyPressed(QKeyEvent* event) {
  // The list's own Up and Down, held down on a busy player, move one line a turn as Page Up and
  // Page Down do.
  if (key_releases_->Repeats(*event) && stepped_since_turn_ &&
      (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down))
    return true;
  return TakeKey(*event);
}

// ---------------------------------------------------------------------------------------------
// Frame callback and messages

void Viewer::OnFramePresented(void* user) {
  auto* viewer = static_cast<Viewer*>(user);
  viewer->state_.frame_shown = true;
  if (viewer->state_.step_mode)
    Player_Pause(viewer->player_);
  else
    viewer->HoldAtLastFrame();
}

void Viewer::OnPicturePresented(const PresentedPicture& presented, void* user) {
  auto* viewer = static_cast<Viewer*>(user);
  PictureSurface& surface = viewer->video_->surface();
  const PictureView& picture = presented.picture;
  const bool fits = picture.width == static_cast<int>(surface.width()) &&
                    picture.height == static_cast<int>(surface.height());
  const bool hold = viewer->hold_next_picture_.exchange(false) && viewer->end_at_last_frame_;
  if (hold || viewer->held_) {
    // The last frame's sound has played out: the next pass's first picture is not shown, nor
    // any after it that comes before the pause does (the device may have finished several
    // periods at once). What they changed is widened with the next picture that is shown.
    if (fits) surface.Skip(presented.changes);
    if (hold) {
      viewer->held_ = true;
      Player_Pause(viewer->player_);
      viewer->last_frame_done_ = true;
      viewer->RequestTurn();
    }
    return;
  }
  // A seek presents a picture too, without the frame callback.
  viewer->state_.frame_shown = true;
  if (fits) surface.Present(picture.pixels, presented.green_bits == 6, presented.changes);
  viewer->RequestTurn();
}

bool Viewer::SurfaceInUse() const {
  return Playing(Player_Status(player_));
}

QString Viewer::Title() const {
  return QString::fromStdString(Utf8_ShownName(shown_path_));
}

void Viewer::Report(const std::string& problem, bool notice) {
  ShowProblem(state_.current_path + ": " + problem, notice);
}

void Viewer::ShowProblem(const std::string& line, bool notice) {
  // One line wherever it goes, whatever the file's name holds (a line feed, a carriage return).
  const std::string printable = PrintableName(line);
  std::fprintf(stderr, "tarvel: %s\n", printable.c_str());
  const QString text = QString::fromStdString(Utf8_FromLocale(printable));
  if (StatusBar* status = video_->status_bar()) status->ShowProblem(text);
  if (notice && seams_.show_notice) seams_.show_notice(text);
}

void Viewer::ReportOpenFailure(std::int32_t result) {
  // An empty path names nothing to put before the problem.
  if (state_.current_path.empty()) {
    ShowProblem("no movie given (the path is empty)");
    return;
  }
  // The engine says why (no such file, a folder, a pipe, a damaged header...).
  Report(ProblemOf(Player_Status(player_), result));
}

void Viewer::KeepScreenOnWhilePlaying() {
  const bool playing = !state_.stopped && state_.ui_playing && !state_.paused;
  screen_saver_->SetInhibited(!shut_down_ && !state_.quit_requested &&
                              (playing || state_.play_request));
}

// ---------------------------------------------------------------------------------------------
// The desktop's media controls

MediaState Viewer::MediaNow() {
  MediaState now;
  if (state_.stopped)
    now.playback = MediaState::Playback::kStopped;
  else if (state_.paused)
    now.playback = MediaState::Playback::kPaused;
  else if (state_.ui_playing)
    now.playback = MediaState::Playback::kPlaying;
  now.can_play = now.can_pause = state_.file_count != 0;
  now.can_go_next = now.can_go_previous = state_.file_count > 1;
  if (state_.file_count != 0) now.path = state_.current_path;
  const PlayerStatus status = Player_Status(player_);
  if (!state_.stopped && Playing(status) && status.frame_rate > 0.0f &&
      std::isfinite(status.frame_rate)) {
    now.can_seek = true;
    now.length_us = std::llround(status.frame_count * 1e6 / status.frame_rate);
    now.passes = PassBeforeWrap(status);
  }
  now.seeks = seeks_;
  now.volume = state_.muted ? 0 : state_.volume;
  if (state_.loop_on)
    now.loop = MediaState::Loop::kTrack;
  else if (state_.chain_movies && state_.file_count > 1)
    now.loop = MediaState::Loop::kPlaylist;
  return now;
}

std::int64_t Viewer::MediaPosition() {
  const PlayerStatus status = Player_Status(player_);
  if (state_.stopped || !Playing(status) || !(status.frame_rate > 0.0f) ||
      !std::isfinite(status.frame_rate))
    return 0;
  return std::llround(std::max(SeekBase(status), 0) * 1e6 / status.frame_rate);
}

void Viewer::MediaKey(int virtual_key) {
  OnKey(virtual_key);
}

void Viewer::MediaGoTo(std::int64_t microseconds) {
  const PlayerStatus status = Player_Status(player_);
  if (state_.quit_requested || !Playing(status) || status.frame_count <= 0) return;
  // A position read from MediaPosition, rounded to the microsecond, names its own frame.
  const double frame =
      std::floor(static_cast<double>(microseconds) * 1e-6 * status.frame_rate + 1e-3);
  GoToFrame(static_cast<std::int32_t>(std::clamp(frame, 0.0, status.frame_count - 1.0)));
  RequestTurn();
}

void Viewer::MediaRaise() {
  QWidget* window = video_ ? video_->video_window() : nullptr;
  if (window == nullptr || !window->isVisible()) window = command_.get();
  if (window == nullptr) return;
  window->raise();
  window->activateWindow();
}

void Viewer::MediaQuit() {
  QuitLeavingDialogsUnanswered();
}

void Viewer::MediaOpen(const std::string& path) {
  FilesDropped({path}, nullptr);
}

void Viewer::MediaSetVolume(std::int32_t level) {
  if (state_.quit_requested || !command_) return;
  OnScroll(kIdVolume, kScrollThumbPosition, kTrackbarMaxPosition - level);
  // A volume asked of a player whose sound is off is one to hear.
  if (state_.muted && level > 0) Click(kIdSoundOnOff);
}

void Viewer::MediaSetLoop(MediaState::Loop loop) {
  if (state_.quit_requested || !command_) return;
  const bool playlist = state_.file_count > 1;
  // A movie alone goes round as Loop Play repeats it.
  const bool loop_play =
      loop == MediaState::Loop::kTrack || (loop == MediaState::Loop::kPlaylist && !playlist);
  if (loop_play != state_.loop_on) Click(kIdLoopPlay);
  // Link next goes round a playlist; Loop Play on, or a movie alone, never gets to it, and it
  // is left as the Options dialog set it.
  const bool chain = loop == MediaState::Loop::kPlaylist;
  if (loop_play || !playlist || chain == state_.chain_movies) return;
  state_.chain_movies = chain;
  settings_.Enchaine = chain ? 1 : 0;
  WriteSettings();
}

void Viewer::ReportPlaybackEnd(const PlayerStatus& status) {
  if (failure_reported_) return;
  // The engine's own line names the frame already.
  Report(status.problem[0] != '\0'
             ? "playback stopped: " + std::string(status.problem)
             : "playback stopped at frame " + std::to_string(status.end_frame) + ": " +
                   Player_ResultText(status.end_code));
}

}  // namespace tarvel
