#include "ui/session_bus.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QMetaObject>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/debug_output.h"

namespace tarvel {

namespace {

// The user's session bus at $XDG_RUNTIME_DIR/bus, where the desktop puts it when it does not
// announce it (empty: none there).
QString RuntimeBusAddress() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (runtime.isEmpty()) return {};
  const std::string socket = std::string(runtime.constData()) + "/bus";
  std::error_code unknown;
  if (!std::filesystem::is_socket(socket, unknown)) return {};
  // A bus address writes every byte but letters, digits and "-_/.\\*" as %XX.
  return QStringLiteral("unix:path=") +
         QString::fromLatin1(QByteArray::fromStdString(socket).toPercentEncoding("/\\*", "~"));
}

}  // namespace

void DesktopBusDebug(const char* who, const QString& line) {
  DebugOutput(("tarvel: " + std::string(who) + ": " + line.toStdString() + "\n").c_str());
}

DesktopBusConnector::DesktopBusConnector(
    QString address, std::function<void(const QDBusConnection& bus)> on_window_thread)
    : answered_(std::make_shared<std::atomic<bool>>(false)) {
  thread_ = std::thread([address = std::move(address), done = std::move(on_window_thread),
                         answered = answered_]() mutable {
    QDBusConnection bus{QString()};
    // Asking for the session bus when none is announced would launch one.
    if (address.isEmpty() && !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
      // The connection the window library shares for the session bus.
      bus = QDBusConnection::sessionBus();
    } else {
      if (address.isEmpty()) address = RuntimeBusAddress();
      if (!address.isEmpty()) {
        // One connection for all who ask for this bus.
        const QString name = QStringLiteral("tarvel desktop bus ") + address;
        bus = QDBusConnection::connectToBus(address, name);
        if (!bus.isConnected()) QDBusConnection::disconnectFromBus(name);
      }
    }
    *answered = true;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [done = std::move(done), bus] { done(bus); },
        Qt::QueuedConnection);
  });
}

DesktopBusConnector& DesktopBusConnector::operator=(DesktopBusConnector&& other) noexcept {
  if (this != &other) {
    Wait();
    answered_ = std::move(other.answered_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

DesktopBusConnector::~DesktopBusConnector() {
  Wait();
}

void DesktopBusConnector::Wait() {
  if (!thread_.joinable()) return;
  if (!*answered_) DebugOutput("tarvel: waiting for the session bus to answer\n");
  thread_.join();
}

}  // namespace tarvel
