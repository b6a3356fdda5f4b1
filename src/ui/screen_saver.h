// Keeps the desktop from blanking or locking the screen while a movie plays, through the
// desktop's idle-inhibit service on the D-Bus session bus (org.freedesktop.ScreenSaver, which
// KDE, GNOME, Xfce and others provide). Nothing waits on the bus: the calls go out without
// waiting and their answers come back through the event loop. Without a session bus, or
// without the service, nothing happens but a debug line.
#pragma once

#include <QString>
#include <chrono>
#include <memory>

#include "ui/session_bus.h"

namespace tarvel {

class ScreenSaverInhibitor {
 public:
  // `bus_address`: the bus the service is asked on; empty for the session bus announced by
  // DBUS_SESSION_BUS_ADDRESS or found at $XDG_RUNTIME_DIR/bus (no bus is ever launched);
  // "none": no bus is asked. An Inhibit not answered within `answer_wait` is said in a debug
  // line; its answer is still taken whenever it comes.
  explicit ScreenSaverInhibitor(
      QString bus_address = {},
      std::chrono::milliseconds answer_wait = std::chrono::milliseconds(kDesktopBusCallTimeoutMs));
  // Lets the screen blank again.
  ~ScreenSaverInhibitor();
  ScreenSaverInhibitor(const ScreenSaverInhibitor&) = delete;
  ScreenSaverInhibitor& operator=(const ScreenSaverInhibitor&) = delete;

  // Asks the desktop not to blank the screen, or lets it blank again. Asking for what stands
  // already asks for nothing: one inhibition covers any number of movies in a row. An answer
  // that comes after the inhibition was let go is given back at once.
  void SetInhibited(bool inhibited);

 private:
  struct Shared;
  QString bus_address_;
  bool connect_tried_ = false;
  std::shared_ptr<Shared> shared_;
  DesktopBusConnector connector_;
};

}  // namespace tarvel
