#include "ui/screen_saver.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "ui/session_bus.h"

namespace tarvel {

namespace {

constexpr char kService[] = "org.freedesktop.ScreenSaver";
constexpr char kPath[] = "/org/freedesktop/ScreenSaver";
constexpr char kInterface[] = "org.freedesktop.ScreenSaver";
// The bus library's "wait for ever".
constexpr int kNoTimeout = std::numeric_limits<int>::max();

void Debug(const QString& line) {
  DesktopBusDebug("screen saver", line);
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
  // After which an Inhibit still unanswered is said (a debug line).
  std::chrono::milliseconds answer_wait{0};

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
  static DesktopBusConnector ConnectInTheBackground(std::shared_ptr<Shared> owner, QString address);
};

DesktopBusConnector ScreenSaverInhibitor::Shared::ConnectInTheBackground(
    std::shared_ptr<Shared> owner, QString address) {
  return {std::move(address), [owner = std::move(owner)](const QDBusConnection& bus) {
            owner->connecting = false;
            owner->bus = bus;
            owner->connected = bus.isConnected();
            if (!owner->connected)
              Debug(QStringLiteral("no session bus: ") + bus.lastError().message());
            else if (owner->wanted)
              owner->Inhibit(owner);
          }};
}

ScreenSaverInhibitor::ScreenSaverInhibitor(QString bus_address,
                                           std::chrono::milliseconds answer_wait)
    : bus_address_(std::move(bus_address)), shared_(std::make_shared<Shared>()) {
  shared_->answer_wait = answer_wait;
}

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
      connector_ = Shared::ConnectInTheBackground(shared_, bus_address_);
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
  // No time-out: an answer that came after one would be dropped unseen, its inhibition held
  // until the player went, so that the screen never blanked again while it ran.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kNoTimeout));
  QTimer::singleShot(answer_wait, watcher, [watcher, wait = answer_wait] {
    if (!watcher->isFinished())
      Debug(QStringLiteral("Inhibit not answered in %1 ms; its answer is taken when it comes")
                .arg(wait.count()));
  });
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
