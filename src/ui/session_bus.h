// The desktop's D-Bus session bus, reached without waiting on it on the window thread: a
// bus that takes the connection but never answers (a frozen bus) would otherwise hold the
// windows until it did. No bus is ever launched.
#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class QDBusConnection;

namespace tarvel {

// How long a call on the bus may go unanswered before its service is taken to be missing.
inline constexpr int kDesktopBusCallTimeoutMs = 10000;

// A debug line "tarvel: `who`: `line`" (TARVEL_DEBUG=1): what the bus did not do for `who`.
void DesktopBusDebug(const char* who, const QString& line);

// How long a player that goes waits for the bus to answer a connection still on its way.
inline constexpr std::chrono::milliseconds kDesktopBusQuitWait{2000};

// Connects to the bus `address` on a thread of its own and hands the connection to
// `on_window_thread` through the event loop (not connected: there is none, lastError says why).
// `address` empty: the session bus announced by DBUS_SESSION_BUS_ADDRESS, else the one found at
// $XDG_RUNTIME_DIR/bus. Throws std::system_error when there is no thread for it.
// The connection is handed over to the application, which goes soon after the player: the
// connector, kept by the one who asked, waits for its thread as it goes, at most `quit_wait`.
// A bus that has not answered by then (it takes the connection but never answers) is given up:
// the thread is left to end when the bus answers, if ever.
class DesktopBusConnector {
 public:
  DesktopBusConnector() = default;
  DesktopBusConnector(QString address,
                      std::function<void(const QDBusConnection& bus)> on_window_thread,
                      std::chrono::milliseconds quit_wait = kDesktopBusQuitWait);
  DesktopBusConnector(DesktopBusConnector&&) noexcept = default;
  DesktopBusConnector& operator=(DesktopBusConnector&& other) noexcept;
  ~DesktopBusConnector();

  // How many connections given up have not been answered yet. The bus library's own thread
  // waits for them too, and the window library waits for that thread as the program ends: a
  // program with any left ends without that wait (std::_Exit), once its work is done.
  static int StillUnanswered();

 private:
  struct State;
  void Wait();

  std::shared_ptr<State> state_;
  std::thread thread_;
  std::chrono::milliseconds quit_wait_{0};
};

}  // namespace tarvel
