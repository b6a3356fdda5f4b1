#include "ui/viewer.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/player_context.h"
#include "ui/control_ids.h"
#include "ui/panel_logic.h"
#include "ui/skin_controls.h"

namespace tarvel {

namespace {

// The highest rate the Left arrow reaches.
constexpr float kArrowRateLimit = 50.0f;
// Range of the frame-rate trackbar: two positions per frame per second.
constexpr int kFrameRateTrackbarRange = 100;

// Placeholder for the About box, until the dialogs of the settings step replace it.
void ShowAboutPlaceholder(QWidget* owner) {
  QDialog dialog(owner);
  dialog.setWindowTitle(QStringLiteral("About Tarvel"));
  auto* picture = new QLabel(&dialog);
  picture->setPixmap(QPixmap(QString::fromLatin1(ResourcePath(kBitmapAboutPicture))));
  picture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  auto* text = new QLabel(
      QStringLiteral("Viewer KQM6 Beta 2\n\nTool can play all Kqm6 file format."), &dialog);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addWidget(picture);
  row->addWidget(text, 1);
  auto* column = new QVBoxLayout(&dialog);
  column->addLayout(row);
  column->addWidget(buttons);
  dialog.exec();
}

bool IsMovieFileName(const QString& path) {
  const QString suffix = QFileInfo(path).suffix().toLower();
  return suffix == QLatin1String("kqm") || suffix == QLatin1String("kqs");
}

const char* PlaybackProblem(std::int32_t code) {
  switch (code) {
    case kPlayerOutOfMemory:
      return "not enough memory to play it";
    case kPlayerReadFailed:
      return "a frame cannot be read: the file is damaged or cut short";
    case kPlayerNoVideoChunk:
      return "a frame holds no picture";
    case kPlayerEndOfData:
      return "the frames end early";
    case kPlayerNoSurface:
      return "the picture is too large to show";
    case kPlayerNoThread:
      return "a playback thread could not be created";
    case kPlayerSoundRefused:
      return "the sound stream is not supported or damaged";
    case kPlayerDeviceRefused:
      return "the sound device failed";
    default:
      return "playback failed";
  }
}

}  // namespace

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
    default:
      return 0;
  }
}

std::string MoviePathFromCommandLine(const std::string& command_line) {
  if (command_line.empty() || command_line.front() != '"') return command_line;
  const std::size_t close = command_line.find('"', 1);
  return command_line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
}

Viewer::Viewer(PlayerContext& player) : player_(player) {
  video_ = std::make_unique<VideoWindowSet>(player_, *this);
  about_handler_ = [this] { ShowAboutPlaceholder(command_.get()); };
}

Viewer::~Viewer() {
  if (started_) Shutdown();
}

// ---------------------------------------------------------------------------------------------
// Start-up, main loop, shut-down

void Viewer::Startup(const QStringList& arguments) {
  started_ = true;
  video_->RefreshScreenRect();
  if (Player_Init(player_, kPlayerInterfaceVersion) != kPlayerOk)
    std::fprintf(stderr, "tarvel: the playback engine refused its interface version\n");

  settings_ = ViewerSettings{};
  state_.program_directory =
      QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString();
  // Reading the settings file and offering the file association belong to the settings step.

  command_ = std::make_unique<CommandWindow>(*this);
  command_->SetUpControls();
  command_->Trackbar(kIdVolume)->SetRange(kTrackbarMaxPosition);
  command_->SetState(kIdVolume, kTrackbarMaxPosition - state_.volume);
  command_->Trackbar(kIdFrameRate)->SetRange(kFrameRateTrackbarRange);
  command_->Progress()->SetRange(0);
  command_->Progress()->SetPosition(0);
  command_->Button(kIdSoundOnOff)->SetChecked(!state_.muted);
  if (settings_.command_window.x > 0) {
    command_->move(settings_.command_window.x, settings_.command_window.y);
  } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    command_->move(screen->availableGeometry().center() - command_->rect().center());
  }
  command_->show();
  command_->raise();

  ApplySettings();
  Click(kIdStop);
  command_->update();

  const std::string command_line =
      QFile::encodeName(arguments.join(QLatin1Char(' '))).toStdString();
  if (!command_line.empty()) {
    state_.play_request = true;
    state_.current_path = MoviePathFromCommandLine(command_line);
    state_.file_count += 1;
  }

  Player_SetPixelFormat(player_, 15);
  Player_SetFrameCallback(player_, &Viewer::OnFramePresented, this);
  Player_SetLoop(player_, 1);
}

int Viewer::Run() {
  QEventLoop loop;
  QTimer turn;
  turn.setTimerType(Qt::PreciseTimer);
  turn.setInterval(1);
  QObject::connect(&turn, &QTimer::timeout, &loop, [this, &loop] {
    if (!state_.quit_requested) Tick();
    if (state_.quit_requested) loop.quit();
  });
  turn.start();
  loop.exec();
  turn.stop();
  Shutdown();
  return 0;
}

void Viewer::Tick() {
  if (state_.quit_requested) return;
  if (state_.play_request) {
    if (state_.stopped) {
      Click(kIdPlay);
      state_.play_request = false;
    } else {
      // Stop may itself start the requested movie.
      Click(kIdStop);
    }
  }

  if (state_.frame_shown && player_.playing) {
    const std::uint32_t presented = frames_presented_.load();
    if (presented != frames_painted_) {
      frames_painted_ = presented;
      video_->RepaintPicture();
    }
    const std::int32_t frame = player_.current_frame;
    command_->Progress()->SetPosition(frame);
    ShowFrameCounter(frame);
    ShowTimeCode(frame);
    const std::int32_t loops = player_.loop_count;
    const bool wrapped = loops != last_loop_count_;
    last_loop_count_ = loops;
    if (!state_.loop_on && (frame == player_.frame_count - 1 || wrapped)) Click(kIdStop);
  }

  if (state_.ui_playing && !player_.playing) {
    ReportPlaybackEnd();
    Click(kIdStop);
  }
}

void Viewer::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  // Writing the settings file belongs to the settings step.
  Player_Stop(player_);
  Player_SetFrameCallback(player_, nullptr, nullptr);
  if (command_) command_->TearDownControls();
  video_.reset();
  if (command_) {
    command_->hide();
    command_.reset();
  }
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
      // The Options dialog comes with the settings step.
      break;
    case kIdSoundOnOff:
      SoundOnOff();
      break;
    case kIdZoomOff:
      video_->ZoomOff(Title());
      break;
    case kIdLoopPlay:
      state_.loop_on = !state_.loop_on;
      break;
    case kIdOpenFiles:
      // The open-file dialog comes with the playlist step.
      break;
    case kIdFullScreen:
      ToggleFullScreen();
      break;
    case kIdPlaylistBox:
      // Selections in the playlist come with the playlist step.
      break;
    default:
      break;
  }
  UpdateButtons();
}

void Viewer::Play() {
  if (state_.stopped) {
    const std::int32_t result = Player_Open(player_, state_.current_path.c_str());
    if (result == kPlayerOk) {
      video_->Build(video_->full_screen(), Title());
      ApplySettings();
      const std::int32_t started = Player_Start(player_, video_->surface().bits(), kDisplayWindow,
                                                video_->picture_window(), kDefaultRingSize);
      state_.play_rate = player_.frame_rate;
      const float twice = std::floor(state_.play_rate * 2.0f);
      command_->SetState(kIdFrameRate, std::isfinite(twice)
                                           ? static_cast<int>(std::clamp(
                                                 twice, 0.0f, float{kFrameRateTrackbarRange}))
                                           : 0);
      ShowFrameRate();
      command_->Progress()->SetRange(player_.frame_count);
      command_->Progress()->SetPosition(0);
      ShowSoundFormat();
      Player_SetVolume(player_, state_.muted ? 0 : state_.volume);
      state_.stopped = false;
      state_.step_mode = false;
      state_.ui_playing = true;
      last_loop_count_ = 0;
      failure_reported_ = false;
      if (started != kPlayerOk) {
        if (player_.playing) {
          Report(std::string(PlaybackProblem(started)) + "; playing without sound");
        } else {
          Report(PlaybackProblem(started));
          failure_reported_ = true;
        }
      }
    } else {
      ReportOpenFailure(result);
      // Nothing plays: the panel shows Stop, not the Play that was pressed.
      ShowStopInRadioGroup();
    }
  }
  if (state_.paused) {
    Player_Restart(player_);
    state_.paused = false;
    state_.step_mode = false;
    state_.ui_playing = true;
  }
}

void Viewer::Stop() {
  if (state_.paused) Player_Restart(player_);
  // A movie left open by a start that failed early is closed too, so that the next Play can
  // open one.
  if (player_.playing || player_.movie_open) Player_Stop(player_);
  state_.paused = false;
  state_.ui_playing = false;
  state_.step_mode = false;
  state_.stopped = true;
  if (state_.play_request && state_.auto_play) {
    Click(kIdPlay);
    state_.play_request = false;
  } else if (state_.chain_movies && state_.file_count > 1) {
    Click(kIdNext);
  }
}

void Viewer::Pause() {
  Player_Pause(player_);
  state_.paused = true;
  state_.ui_playing = false;
}

void Viewer::Previous() {
  if (state_.list_index <= 0) return;
  state_.list_index -= 1;
  SelectPlaylistLine(state_.list_index);
}

void Viewer::Next() {
  state_.list_index += 1;
  if (state_.list_index >= state_.file_count) state_.list_index = 0;
  SelectPlaylistLine(state_.list_index);
}

void Viewer::SelectPlaylistLine(std::int32_t) {
  // Selecting a playlist line (and so the movie to play) comes with the playlist step; without
  // a playlist there is no line to select.
}

void Viewer::StepByStep() {
  if (state_.step_mode)
    Player_Restart(player_);  // one frame is shown, then the frame callback pauses again
  else
    Click(kIdPause);
  state_.step_mode = true;
}

void Viewer::Close() {
  if (video_->full_screen()) {
    video_->SetFullScreen(false, Title());
    // The Full Screen button follows the state it no longer has.
    if (SkinButton* button = command_->Button(kIdFullScreen)) button->SetChecked(false);
    return;
  }
  state_.quit_requested = true;
}

void Viewer::SoundOnOff() {
  const bool checked = command_->Button(kIdSoundOnOff)->checked();
  state_.muted = !checked;
  if (player_.playing) Player_SetVolume(player_, checked ? state_.volume : 0);
  settings_.NoSound = state_.muted ? 1 : 0;
}

void Viewer::ToggleFullScreen() {
  video_->SetFullScreen(!video_->full_screen(), Title());
}

void Viewer::ApplySettings() {
  if (state_.muted != (settings_.NoSound != 0)) Click(kIdSoundOnOff);
  if (video_->full_screen() != (settings_.FullScreen != 0) && player_.playing) Click(kIdFullScreen);
  state_.auto_play = settings_.AutoPlay != 0;
  state_.free_windows = settings_.FenetreLibre != 0;
  state_.chain_movies = settings_.Enchaine != 0;
  // Writing the settings file belongs to the settings step.
  command_->update();
}

void Viewer::ShowStopInRadioGroup() {
  SkinButton* stop = command_->Button(kIdStop);
  if (stop == nullptr) return;
  stop->SetChecked(true);
  command_->UncheckRadioGroup(stop->record());
}

// ---------------------------------------------------------------------------------------------
// Keys and trackbars

void Viewer::OnKey(int virtual_key) {
  if (state_.quit_requested) return;
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
      if (state_.ui_playing)
        Click(kIdPause);
      else if (state_.file_count != 0)
        Click(kIdPlay);
      break;
    case kKeyPageUp:
      Click(kIdPrevious);
      break;
    case kKeyPageDown:
      Click(kIdNext);
      break;
    case kKeyLeft:
      if (state_.play_rate < kArrowRateLimit) state_.play_rate += 1.0f;
      Player_SetRate(player_, state_.play_rate);
      break;
    case kKeyRight:
      // A rate below zero means nothing: it stops at 0.
      if (state_.play_rate != 0.0f) state_.play_rate = std::max(state_.play_rate - 1.0f, 0.0f);
      Player_SetRate(player_, state_.play_rate);
      break;
    case kKeyDelete:
      Click(kIdStop);
      break;
    default:
      break;
  }
}

void Viewer::OnScroll(int id, int code, int position) {
  if (state_.quit_requested) return;
  if (id == kIdFrameRate) {
    // The sound device paces a movie with sound: its rate is not the panel's to change.
    if (Player_GetSoundFormat(player_, nullptr, nullptr)) return;
    const int p = TrackbarScroll(command_->State(id), code, position);
    command_->SetState(id, p);
    state_.play_rate = static_cast<float>(p) * 0.5f;
    if (state_.play_rate == 0.0f) state_.play_rate = 1.0f;
    Player_SetRate(player_, state_.play_rate);
    ShowFrameRate();
  } else if (id == kIdVolume) {
    const int p = TrackbarScroll(command_->State(id), code, position);
    command_->SetState(id, p);
    state_.volume = kTrackbarMaxPosition - p;
    if (!state_.muted) Player_SetVolume(player_, state_.volume);
  }
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
  enable(kIdFullScreen, state_.file_count != 0);
  enable(kIdZoomOff, state_.file_count != 0);
  enable(kIdNext, state_.file_count > 1);
  enable(kIdPrevious, state_.file_count > 1);
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
  OnKey(VirtualKeyOf(*event));
}

void Viewer::PanelKeyPressed(QKeyEvent* event) {
  OnKey(VirtualKeyOf(*event));
}

void Viewer::Command(int id) {
  OnCommand(id);
}

void Viewer::Scroll(int id, int code, int position) {
  OnScroll(id, code, position);
}

void Viewer::FilesDropped(const QStringList& paths, QWidget*) {
  if (state_.quit_requested) return;
  if (paths.size() == 1) {
    const QString& path = paths.front();
    if (QFileInfo(path).isDir()) {
      // A dropped folder becomes a playlist in the playlist step.
    } else if (IsMovieFileName(path)) {
      state_.current_path = QFile::encodeName(path).toStdString();
      state_.play_request = true;
      state_.file_count = 1;
    }
  }
  // Several dropped files become a playlist in the playlist step.
  UpdateButtons();
}

void Viewer::VideoWindowMoved(const QPoint& origin) {
  if (state_.quit_requested) return;
  settings_.video_window = WindowPosition{origin.x(), origin.y()};
  if (video_dock_target_ && *video_dock_target_ == origin) {
    video_dock_target_.reset();  // the move docking asked for
    return;
  }
  if (state_.free_windows || !command_ || video_->full_screen()) return;
  const QWidget* window = video_->video_window();
  if (window == nullptr) return;
  const DockTargets targets = DockToVideo(origin, window->frameGeometry().size());
  if (targets.command && *targets.command != command_->pos()) {
    command_dock_target_ = *targets.command;
    command_->move(*targets.command);
  }
}

void Viewer::PanelMoved(const QPoint& origin) {
  if (state_.quit_requested) return;
  settings_.command_window = WindowPosition{origin.x(), origin.y()};
  if (command_dock_target_ && *command_dock_target_ == origin) {
    command_dock_target_.reset();
    return;
  }
  if (state_.free_windows || video_->full_screen()) return;
  QWidget* window = video_->video_window();
  if (window == nullptr || !window->isVisible()) return;
  const QRect outer = window->frameGeometry();
  const DockTargets targets = DockToCommand(origin, outer.size());
  if (targets.video && *targets.video != outer.topLeft()) {
    video_dock_target_ = *targets.video;
    window->move(*targets.video);
  }
}

void Viewer::RaiseOtherWindows() {
  if (command_) command_->raise();
}

void Viewer::LayoutDone() {
  if (command_) command_->update();
}

void Viewer::PanelCloseRequested() {
  state_.quit_requested = true;
}

void Viewer::PanelRightClicked() {
  if (state_.quit_requested || !about_handler_) return;
  // A plain About box stands in until the dialogs of the settings step.
  about_handler_();
}

// ---------------------------------------------------------------------------------------------
// Frame callback and messages

void Viewer::OnFramePresented(void* user) {
  auto* viewer = static_cast<Viewer*>(user);
  viewer->state_.frame_shown = true;
  viewer->frames_presented_.fetch_add(1);
  if (viewer->state_.step_mode) Player_Pause(viewer->player_);
}

QString Viewer::Title() const {
  return QFile::decodeName(QByteArray::fromStdString(state_.current_path));
}

void Viewer::Report(const std::string& problem) const {
  std::fprintf(stderr, "tarvel: %s: %s\n", state_.current_path.c_str(), problem.c_str());
}

void Viewer::ReportOpenFailure(std::int32_t result) const {
  const QFileInfo file(Title());
  switch (result) {
    case kPlayerCannotOpen:
      if (state_.current_path.empty())
        Report("no movie given");
      else if (!file.exists())
        Report("no such file");
      else if (file.isDir())
        Report("is a folder, not a movie");
      else if (!file.isReadable())
        Report("permission denied");
      else
        Report("cannot be opened");
      break;
    case kPlayerReadFailed:
      Report(
          "not a playable movie: the header is cut short or the picture size is not a "
          "multiple of 8");
      break;
    case kPlayerSoundRefused:
      Report("the sound stream is not supported");
      break;
    case kPlayerOutOfMemory:
      Report("not enough memory for its pictures");
      break;
    default:
      Report("cannot be opened (result " + std::to_string(result) + ")");
      break;
  }
}

void Viewer::ReportPlaybackEnd() const {
  if (failure_reported_) return;
  std::int32_t code = player_.last_result;
  const std::uint32_t reader = player_.reader_exit_code;
  if ((code == kPlayerOk || code == kPlayerSoundRefused || code == kPlayerDeviceRefused) &&
      reader != kPlayerOk && reader != kThreadStillActive)
    code = static_cast<std::int32_t>(reader);
  Report("playback stopped at frame " + std::to_string(player_.current_frame.load()) + ": " +
         PlaybackProblem(code));
}

}  // namespace tarvel
