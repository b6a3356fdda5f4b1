#include "ui/screen_saver.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMetaObject>
#include <QObject>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/debug_output.h"

namespace tarvel {

namespace {

constexpr char kService[] = "org.freedesktop.ScreenSaver";
constexpr char kPath[] = "/org/freedesktop/ScreenSaver";
constexpr char kInterface[] = "org.freedesktop.ScreenSaver";
// A service that has not answered by then is taken to be missing.
constexpr int kCallTimeoutMs = 10000;

void Debug(const QString& line) {
  DebugOutput(("tarvel: screen saver: " + line.toStdString() + "\n").c_str());
}

// The user's session bus at $XDG_RUNTIME_DIR/bus, where the desktop puts it when it does not
// announce it (empty: none there).
QString RuntimeBusAddress() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (runtime.isEmpty()) return {};
  const std::string socket = std::string(runtime.constData()) + "/bus";
  std::error_code unknown;
  if (!std::filesystem::is_socket(socket, unknown)) return {};
  // Bytes other than these are written %XX in a bus address.
  QString address = QStringLiteral("unix:path=");
  for (const unsigned char byte : socket) {
    const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                       (byte >= '0' && byte <= '9') || std::strchr("-_/.\\*", byte) != nullptr;
    if (plain)
      address += QLatin1Char(static_cast<char>(byte));
    else
      address += QLatin1Char('%') + QString::number(byte, 16).rightJustified(2, QLatin1Char('0'));
  }
  return address;
}

}  // namespace

// What the answers to Inhibit need, kept alive by those still on their way.
struct ScreenSaverInhibitor::Shared {
  QDBusConnection bus{QString()};
  bool connecting = false;
  bool connected = false;
  bool wanted = false;
  bool asking = false;
  bool held = false;
  std::uint32_t cookie = 0;

  void Release() {
    if (!held) return;
    held = false;
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                       QLatin1String(kInterface), QStringLiteral("UnInhibit"));
    call << cookie;
    if (!bus.send(call)) Debug(QStringLiteral("UnInhibit not sent: ") + bus.lastError().message());
  }

  void Inhibit(const std::shared_ptr<Shared>& self);
  static void ConnectInTheBackground(std::shared_ptr<Shared> owner, QString address);
};

// A session bus that takes the connection but never answers (a frozen bus) holds up the one
// who connects until it answers: that is never the window thread.
void ScreenSaverInhibitor::Shared::ConnectInTheBackground(std::shared_ptr<Shared> owner,
                                                          QString address) {
  std::thread([owner = std::move(owner), address = std::move(address)]() mutable {
    QDBusConnection bus{QString()};
    // Asking for the session bus when none is announced would launch one.
    if (address.isEmpty() && !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
      // The connection the window library shares for the session bus.
      bus = QDBusConnection::sessionBus();
    } else {
      if (address.isEmpty()) address = RuntimeBusAddress();
      if (!address.isEmpty()) {
        const QString name = QStringLiteral("tarvel screen saver ") + address;
        bus = QDBusConnection::connectToBus(address, name);
        if (!bus.isConnected()) QDBusConnection::disconnectFromBus(name);
      }
    }
    // Handed over to the window thread.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [owner = std::move(owner), bus] {
          owner->connecting = false;
          owner->bus = bus;
          owner->connected = bus.isConnected();
          if (!owner->connected)
            Debug(QStringLiteral("no session bus: ") + bus.lastError().message());
          else if (owner->wanted)
            owner->Inhibit(owner);
        },
        Qt::QueuedConnection);
  }).detach();
}

ScreenSaverInhibitor::ScreenSaverInhibitor(QString bus_address)
    : bus_address_(std::move(bus_address)), shared_(std::make_shared<Shared>()) {}

ScreenSaverInhibitor::~ScreenSaverInhibitor() {
  // An answer still on its way is given back when it comes.
  shared_->wanted = false;
  shared_->Release();
}

void ScreenSaverInhibitor::SetInhibited(bool inhibited) {
  Shared& shared = *shared_;
  if (inhibited == shared.wanted) return;
  shared.wanted = inhibited;
  if (!inhibited) {
    shared.Release();
    return;
  }
  if (shared.held || shared.asking || shared.connecting) return;
  if (!connect_tried_) {
    connect_tried_ = true;
    if (bus_address_ == QLatin1String("none")) return;
    shared.connecting = true;
    try {
      Shared::ConnectInTheBackground(shared_, bus_address_);
    } catch (const std::system_error& failure) {
      shared.connecting = false;
      Debug(QStringLiteral("no thread to connect: ") + QString::fromStdString(failure.what()));
    }
    return;
  }
  if (shared.connected) shared.Inhibit(shared_);
}

void ScreenSaverInhibitor::Shared::Inhibit(const std::shared_ptr<Shared>& self) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                     QLatin1String(kInterface), QStringLiteral("Inhibit"));
  call << QStringLiteral("Tarvel") << QStringLiteral("Playing a movie");
  asking = true;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [owner = self](QDBusPendingCallWatcher* answered) {
                     answered->deleteLater();
                     owner->asking = false;
                     const QDBusPendingReply<std::uint32_t> reply = *answered;
                     if (reply.isError()) {
                       Debug(QStringLiteral("Inhibit failed: ") + reply.error().message());
                       return;
                     }
                     owner->cookie = reply.value();
                     owner->held = true;
                     // Playing stopped meanwhile: the screen may blank again.
                     if (!owner->wanted) owner->Release();
                   });
}

}  // namespace tarvel
