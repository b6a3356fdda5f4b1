#include "ui/session_bus.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QMetaObject>
#include <condition_variable>
#include <filesystem>
#include <mutex>
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

// The connections given up that the bus has not answered yet, for the whole process. Never
// freed, so that a thread answering at exit finds it.
struct Unanswered {
  std::mutex mutex;
  int count = 0;
};

Unanswered& TheUnanswered() {
  static auto* unanswered = new Unanswered;
  return *unanswered;
}

}  // namespace

void DesktopBusDebug(const char* who, const QString& line) {
  DebugOutput(("tarvel: " + std::string(who) + ": " + line.toStdString() + "\n").c_str());
}

// What the connector and its thread share.
struct DesktopBusConnector::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool answered = false;
  bool given_up = false;
};

DesktopBusConnector::DesktopBusConnector(
    QString address, std::function<void(const QDBusConnection& bus)> on_window_thread,
    std::chrono::milliseconds quit_wait)
    : state_(std::make_shared<State>()), quit_wait_(quit_wait) {
  thread_ = std::thread(
      [address = std::move(address), done = std::move(on_window_thread), state = state_]() mutable {
        {
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
          QMetaObject::invokeMethod(
              QCoreApplication::instance(), [done = std::move(done), bus] { done(bus); },
              Qt::QueuedConnection);
        }  // nothing of the bus library's is held past here
        const std::lock_guard<std::mutex> lock(state->mutex);
        state->answered = true;
        if (state->given_up) {
          Unanswered& unanswered = TheUnanswered();
          const std::lock_guard<std::mutex> count_lock(unanswered.mutex);
          --unanswered.count;
        }
        state->changed.notify_all();
      });
}

DesktopBusConnector& DesktopBusConnector::operator=(DesktopBusConnector&& other) noexcept {
  if (this != &other) {
    Wait();
    state_ = std::move(other.state_);
    thread_ = std::move(other.thread_);
    quit_wait_ = other.quit_wait_;
  }
  return *this;
}

DesktopBusConnector::~DesktopBusConnector() {
  Wait();
}

int DesktopBusConnector::StillUnanswered() {
  Unanswered& unanswered = TheUnanswered();
  const std::lock_guard<std::mutex> lock(unanswered.mutex);
  return unanswered.count;
}

void DesktopBusConnector::Wait() {
  if (!thread_.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (!state_->answered) {
      // Another connection given up waits in the same place, the bus library's thread.
      const auto wait = StillUnanswered() > 0 ? std::chrono::milliseconds(0) : quit_wait_;
      DebugOutput("tarvel: waiting for the session bus to answer\n");
      if (!state_->changed.wait_for(lock, wait, [&] { return state_->answered; })) {
        DebugOutput("tarvel: the session bus does not answer; going on without it\n");
        state_->given_up = true;
        Unanswered& unanswered = TheUnanswered();
        const std::lock_guard<std::mutex> count_lock(unanswered.mutex);
        ++unanswered.count;
        lock.unlock();
        thread_.detach();
        return;
      }
    }
  }
  thread_.join();
}

}  // namespace tarvel
