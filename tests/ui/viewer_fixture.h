// The viewer under test: a capture sound device that plays in real time, a home folder of its
// own (so the settings file and any desktop registration stay inside the test), and answers
// for every dialog and question in place of a person.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest/QTest>
#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>

#include "engine/player_context.h"
#include "engine/player_status.h"
#include "platform/capture_audio_device.h"
#include "support/hand_clocked_device.h"
#include "ui/control_ids.h"
#include "ui/resources.h"
#include "ui/skin_controls.h"
#include "ui/viewer.h"

namespace tarvel::test {

inline QString Conformance(const char* name) {
  return QString::fromLatin1(TARVEL_CONFORMANCE_DIR) + QLatin1Char('/') + QString::fromLatin1(name);
}

// key-dct-128x96: 6 frames of 128 x 96 without sound, frame duration 13/200 s.
inline constexpr char kSilentMovie[] = "key-dct-128x96.kqm";
// copy-320x240-stereo: 8 frames with stereo sound.
inline constexpr char kSoundMovie[] = "copy-320x240-stereo.kqm";

// A line as the user's character set reads it: the system's reasons come in the user's
// language, and the temporary folder's name may hold any letter.
inline QString InTheLocale(const std::string& line) {
  std::wstring wide(line.size(), L'\0');
  const std::size_t length = std::mbstowcs(wide.data(), line.c_str(), wide.size());
  if (length == static_cast<std::size_t>(-1)) return QString::fromStdString(line);
  wide.resize(length);
  return QString::fromStdWString(wide);
}

class ViewerTest : public ::testing::Test {
 protected:
  ViewerTest() {
    InitResources();
    player.services.make_audio_device = &ViewerTest::MakeDevice;
    player.services.audio_device_user = this;
    // Settings and registrations go to this test's own home.
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", ConfigFolder().toLocal8Bit());
    qputenv("XDG_DATA_HOME", DataFolder().toLocal8Bit());
  }
  ~ViewerTest() override { viewer.reset(); }

  // A sound device without sound that plays buffers in real time.
  static std::unique_ptr<AudioDevice> MakeDevice(void* user) {
    auto* self = static_cast<ViewerTest*>(user);
    CaptureOptions options;
    options.timing = CaptureTiming::kSampleClock;
    return std::make_unique<CaptureAudioDevice>(self->log, options);
  }

  // The next start gets a card whose clock the test turns by hand (`card` once made), for a test
  // that must know which periods have ended, however busy the machine.
  void UseHandClockedCard() {
    player.services.make_audio_device = [](void* user) -> std::unique_ptr<AudioDevice> {
      auto* self = static_cast<ViewerTest*>(user);
      auto made = std::make_unique<HandClockedDevice>(self->log);
      self->card = made.get();
      return made;
    };
  }

  QString ConfigFolder() const { return home.filePath(QStringLiteral(".config")); }
  QString DataFolder() const { return home.filePath(QStringLiteral(".local/share")); }
  QString SettingsFile() const { return ConfigFolder() + QStringLiteral("/tarvel/viewkqm.ini"); }

  // The seams answer as the test says: dialogs through `on_dialog` (closed with the close box
  // when it is not set), the open-file dialog with `chosen_files`, the question with
  // `association_answer`, the registration with `association_result`.
  ViewerSeams Seams() {
    ViewerSeams seams;
    seams.run_dialog = [this](QDialog& dialog) {
      dialogs_run.append(dialog.windowTitle());
      if (on_dialog) return on_dialog(dialog);
      return static_cast<int>(QDialog::Rejected);
    };
    seams.choose_files = [this](QWidget*, const QString& folder) {
      open_dialog_folders.append(folder);
      return chosen_files;
    };
    seams.ask_association = [this](std::string_view text, std::string_view caption) {
      questions.push_back(std::string(caption) + ": " + std::string(text));
      return association_answer;
    };
    seams.register_association = [this] {
      ++registrations;
      return association_result;
    };
    seams.show_notice = [this](const QString& text) { notices.append(text); };
    // The desktop's screen saver and media controls are left alone.
    seams.desktop_bus = QStringLiteral("none");
    return seams;
  }

  // Starts the viewer as the command line `tarvel [options] paths...` would.
  void Start(const QStringList& paths = {}, PlayerOptions options = {}) {
    Start(paths, Seams(), options);
  }
  void Start(const QStringList& paths, ViewerSeams seams, PlayerOptions options = {}) {
    viewer = std::make_unique<Viewer>(player, std::move(seams), options);
    std::vector<std::string> bytes;
    for (const QString& path : paths) bytes.push_back(QFile::encodeName(path).toStdString());
    viewer->Startup(bytes);
  }
  // One turn of the main loop, as if something had happened: the turns the viewer asked for
  // itself meanwhile run too (the ones they ask for wait for the next call).
  void Turn() {
    QThread::msleep(1);
    viewer->RequestTurn();
    QApplication::processEvents();
  }
  bool TurnUntil(const std::function<bool()>& done, int limit_ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      Turn();
    }
    return true;
  }
  // Turns for `ms` of wall-clock time, and at least one turn for every 2 ms of it: a machine too
  // busy to give the test the core for that long takes as many turns as an idle one, only later.
  void TurnFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (int turns = 0; turns < ms / 2 || std::chrono::steady_clock::now() < end; ++turns) Turn();
  }
  void Key(Qt::Key key) { QTest::keyClick(viewer->command_window(), key); }
  // A repeat of `key` held down, as the keyboard sends it.
  void KeyRepeat(Qt::Key key) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(viewer->command_window(), &event);
  }

  CommandWindow& panel() { return *viewer->command_window(); }
  SkinButton* Button(int id) { return panel().Button(id); }
  bool Enabled(int id) { return panel().Control(id)->isEnabled(); }
  ViewerState& state() { return viewer->state(); }
  std::string Counter() {
    std::string text;
    for (int id : kIdCounterDigits) text += static_cast<char>('0' + panel().State(id));
    return text;
  }
  std::string TimeCodeText() {
    auto digit = [this](int id) { return static_cast<char>('0' + panel().State(id)); };
    return {digit(kIdMinutesTens), digit(kIdMinutesUnits), ':',
            digit(kIdSecondsTens), digit(kIdSecondsUnits), ':',
            digit(kIdFramesTens),  digit(kIdFramesUnits)};
  }
  std::string RateText() {
    auto digit = [this](int id) { return static_cast<char>('0' + panel().State(id)); };
    return {digit(kIdRateTens), digit(kIdRateUnits), '.', digit(kIdRateTenths)};
  }
  PlayerStatus Status() { return Player_Status(player); }
  // Between start and stop, as the engine tells it.
  bool EnginePlaying() {
    const PlayerState engine = Status().state;
    return engine == PlayerState::kPlaying || engine == PlayerState::kPaused ||
           engine == PlayerState::kStepping;
  }
  bool Playing() { return state().ui_playing && EnginePlaying(); }
  // No movie open in the engine.
  bool EngineIdle() { return Status().state == PlayerState::kIdle; }
  std::int32_t CurrentFrame() { return Status().current_frame; }

  QTemporaryDir home;
  std::shared_ptr<CaptureLog> log = std::make_shared<CaptureLog>(false);
  PlayerContext player;
  std::unique_ptr<Viewer> viewer;
  HandClockedDevice* card = nullptr;  // the last one UseHandClockedCard made

  std::function<int(QDialog&)> on_dialog;
  QStringList dialogs_run;
  QStringList chosen_files;
  QStringList open_dialog_folders;
  AssociationAnswer association_answer = AssociationAnswer::kNo;
  int association_result = kAssociationOk;
  std::vector<std::string> questions;
  int registrations = 0;
  QStringList notices;
};

}  // namespace tarvel::test
