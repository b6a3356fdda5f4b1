// The desktop's D-Bus session bus, reached without ever waiting on it on the window thread: a
// bus that takes the connection but never answers (a frozen bus) would otherwise hold the
// windows until it did. No bus is ever launched.
#pragma once

#include <QDBusConnection>
#include <QString>
#include <functional>

namespace tarvel {

// Connects to the bus `address` on a thread of its own and hands the connection to
// `on_window_thread` through the event loop (not connected: there is none, lastError says why).
// `address` empty: the session bus announced by DBUS_SESSION_BUS_ADDRESS, else the one found at
// $XDG_RUNTIME_DIR/bus. Throws std::system_error when there is no thread for it.
void ConnectToDesktopBus(QString address,
                         std::function<void(const QDBusConnection& bus)> on_window_thread);

}  // namespace tarvel
