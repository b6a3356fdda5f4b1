// tarvel [OPTIONS] [PATH...]: the desktop player.
#include <QApplication>
#include <QIcon>
#include <QScreen>
#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "engine/player_context.h"
#include "platform/stop_signals.h"
#include "platform/terminal.h"
#include "ui/command_line.h"
#include "ui/control_table.h"
#include "ui/resources.h"
#include "ui/session_bus.h"
#include "ui/viewer.h"

namespace {

// Docking places windows, which Wayland does not let programs do: on a desktop that also runs
// an X server, use it unless the user chose a platform. Wayland is tried after it only where a
// Wayland desktop is named: elsewhere its client library would add a complaint of its own (no
// XDG_RUNTIME_DIR, no compositor) to the X server's failure, which is the one to tell.
void PreferX11() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((platform == nullptr || *platform == '\0') && display != nullptr && *display != '\0')
    qputenv("QT_QPA_PLATFORM", wayland != nullptr && *wayland != '\0' ? "xcb;wayland" : "xcb");
  // The pictures reach an X server through memory of the player's own that it shares with the
  // server (display/picture_surface.h). Qt's own shared-memory painting, used for everything
  // else, waits for the server at every paint; the panel's small changes at each picture go
  // cheaper over the connection. The user's choice stands.
  if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
}

// True when nothing names a screen to show the windows on: no X server, no Wayland desktop,
// no platform chosen. Qt would then abort with advice to reinstall the program.
bool NoDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return false;
  }
  return true;
}

// What Qt says while it connects to the window system. A display that is named but cannot be
// used (a closed ssh session's DISPLAY, an X server that has gone, a Wayland desktop without
// Qt's plugin for it) is fatal to Qt, which would abort with advice to reinstall the program;
// the player says so in one line and ends with status 1 instead.
struct HeldMessage {
  QtMsgType type;
  std::string category;
  QString text;
};
std::string g_displays_named;  // "DISPLAY=:1", as the user set them
// Written before the handler is installed; only the connecting thread touches the messages.
std::thread::id g_connecting_thread;
std::vector<HeldMessage> g_held_messages;
QtMessageHandler g_previous_handler = nullptr;

// Says that the display named cannot show the player, and why, and ends with status 1.
[[noreturn]] void CannotShow(const std::string& reason) {
  std::fprintf(stderr,
               "tarvel: cannot show the player (%s): %s; kqm play plays a movie without a "
               "window\n",
               g_displays_named.c_str(), tarvel::PrintableName(reason).c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

void HoldStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (std::this_thread::get_id() != g_connecting_thread) {
    // A thread Qt started meanwhile (its event reader): its line goes out as Qt writes one.
    std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, text)));
    if (type == QtFatalMsg) std::abort();
    return;
  }
  if (type != QtFatalMsg) {
    g_held_messages.push_back({type, context.category ? context.category : "", text});
    return;
  }
  // Qt's own reason comes just before the plugin loader's line for the first platform tried,
  // which only says that loading failed: the X11 plugin's "could not connect to display :1",
  // the Wayland plugin's "Failed to create wl_display (...)" (in no category). Where Qt goes on
  // to another platform, its failure is not the one the user asked for.
  const auto is_loader = [](const HeldMessage& held) { return held.category == "qt.qpa.plugin"; };
  const auto loader = std::find_if(g_held_messages.begin(), g_held_messages.end(), is_loader);
  const auto before = std::find_if(std::make_reverse_iterator(loader), g_held_messages.rend(),
                                   [](const HeldMessage& held) {
                                     return held.type == QtWarningMsg || held.type == QtCriticalMsg;
                                   });
  const auto reason = before != g_held_messages.rend() ? std::prev(before.base()) : loader;
  CannotShow(reason != g_held_messages.end() ? reason->text.toStdString()
                                             : std::string("no window system could be used"));
}

// The connection is made: what Qt said meanwhile goes out as it would have.
void ReleaseStartupMessages() {
  qInstallMessageHandler(g_previous_handler);
  for (const HeldMessage& message : g_held_messages) {
    const QMessageLogContext context(nullptr, 0, nullptr, message.category.c_str());
    qt_message_output(message.type, context, message.text);
  }
  g_held_messages.clear();
}

}  // namespace

int main(int argc, char** argv) {
  tarvel::StandardStreams_HoldClosed();
  tarvel::FileSizeLimit_ReportAsError();
  const tarvel::CommandLine command = tarvel::ParseCommandLine(argc, argv);
  std::fputs(command.output.c_str(), stdout);
  std::fputs(command.errors.c_str(), stderr);
  if (command.exit_code) {
    // Help or the version that did not reach standard output (a full disk) is no success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "tarvel: standard output: write failed: %s\n", std::strerror(errno));
      return *command.exit_code == 0 ? 1 : *command.exit_code;
    }
    return *command.exit_code;
  }

  if (NoDisplay()) {
    std::fputs(
        "tarvel: no display to show the player on (neither DISPLAY nor WAYLAND_DISPLAY is set); "
        "kqm play plays a movie without a window\n",
        stderr);
    return 1;
  }
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    if (!g_displays_named.empty()) g_displays_named += ' ';
    g_displays_named.append(name).append("=").append(value);
  }
  PreferX11();
  g_connecting_thread = std::this_thread::get_id();
  g_previous_handler = qInstallMessageHandler(&HoldStartupMessage);
  // Qt sees only the program's name: every word of the command line is the player's.
  int qt_argc = 1;
  QApplication application(qt_argc, argv);
  ReleaseStartupMessages();
  // Qt paints only into windows of 15 bits a pixel or more: on a screen of 256 colours (an old
  // terminal, a VNC server set so) every window would stay black while Qt complains at each
  // paint.
  if (const QScreen* screen = QGuiApplication::primaryScreen();
      screen != nullptr && screen->depth() < 15)
    CannotShow("the screen has " + std::to_string(screen->depth()) +
               " bits a pixel, and the player needs 15 or more");
  QApplication::setQuitOnLastWindowClosed(false);
  tarvel::InitResources();
  QApplication::setWindowIcon(
      QIcon(QString::fromLatin1(tarvel::ResourcePath(tarvel::kIconResource))));

  int status = 0;
  {
    // Inside the application's life, so that playback ends and the engine's threads are joined
    // before it goes.
    tarvel::PlayerContext player;
    tarvel::Viewer viewer(player, tarvel::ViewerSeams{}, command.options);
    // Ctrl-C or a polite kill quits as Close does (the settings are written); a second one ends
    // the program at once.
    if (tarvel::StopSignals_Install()) viewer.QuitWhenReadable(tarvel::StopSignals_Descriptor());
    viewer.Startup(command.paths);
    const int result = viewer.Run();
    const int signal = tarvel::StopSignals_Received();
    status = signal != 0 ? 128 + signal : result;
    // A reader still inside a read the disk or a network share never answers keeps the movie
    // and the engine's buffers: the settings are written, so the program ends without it.
    if (tarvel::Player_ReadersLeft(player)) {
      std::fflush(nullptr);
      std::_Exit(status);
    }
  }
  // A session bus that never answered the connection holds the bus library's thread, which the
  // window library waits for as the program ends: the player's work is done, so it ends here.
  if (tarvel::DesktopBusConnector::StillUnanswered() > 0) {
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
