// The desktop's D-Bus session bus, reached without waiting on it on the window thread: a
// bus that takes the connection but never answers (a frozen bus) would otherwise hold the
// windows until it did. No bus is ever launched.
#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class QDBusConnection;

namespace tarvel {

// How long a call on the bus may go unanswered before its service is taken to be missing.
inline constexpr int kDesktopBusCallTimeoutMs = 10000;

// A debug line "tarvel: `who`: `line`" (TARVEL_DEBUG=1): what the bus did not do for `who`.
void DesktopBusDebug(const char* who, const QString& line);

// Connects to the bus `address` on a thread of its own and hands the connection to
// `on_window_thread` through the event loop (not connected: there is none, lastError says why).
// `address` empty: the session bus announced by DBUS_SESSION_BUS_ADDRESS, else the one found at
// $XDG_RUNTIME_DIR/bus. Throws std::system_error when there is no thread for it.
// The connection is handed over to the application, which goes soon after the player: the
// connector, kept by the one who asked, waits for its thread as it goes.
class DesktopBusConnector {
 public:
  DesktopBusConnector() = default;
  DesktopBusConnector(QString address,
                      std::function<void(const QDBusConnection& bus)> on_window_thread);
  DesktopBusConnector(DesktopBusConnector&&) noexcept = default;
  DesktopBusConnector& operator=(DesktopBusConnector&& other) noexcept;
  // Waits for the bus to answer the connection if it has not yet (a bus that never answers
  // keeps the player from ending, as it keeps the bus library's own thread at exit).
  ~DesktopBusConnector();

 private:
  void Wait();

  std::shared_ptr<std::atomic<bool>> answered_;
  std::thread thread_;
};

}  // namespace tarvel
