#include "ui/media_controls.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include "display/file_drop.h"
#include "ui/control_ids.h"
#include "ui/panel_logic.h"
#include "ui/session_bus.h"

namespace tarvel {

namespace {

class PlayerAdaptor;

constexpr char kObjectPath[] = "/org/mpris/MediaPlayer2";
constexpr char kPlayerInterface[] = "org.mpris.MediaPlayer2.Player";
constexpr char kName[] = "org.mpris.MediaPlayer2.tarvel";

void Debug(const QString& line) {
  DesktopBusDebug("media controls", line);
}

QString PlaybackName(MediaState::Playback playback) {
  switch (playback) {
    case MediaState::Playback::kPlaying:
      return QStringLiteral("Playing");
    case MediaState::Playback::kPaused:
      return QStringLiteral("Paused");
    case MediaState::Playback::kStopped:
      break;
  }
  return QStringLiteral("Stopped");
}

// What follows the end of a movie, as the desktop names it.
constexpr std::pair<MediaState::Loop, const char*> kLoopNames[] = {
    {MediaState::Loop::kNone, "None"},
    {MediaState::Loop::kTrack, "Track"},
    {MediaState::Loop::kPlaylist, "Playlist"}};

QString LoopName(MediaState::Loop loop) {
  for (const auto& [value, name] : kLoopNames)
    if (value == loop) return QLatin1String(name);
  return QStringLiteral("None");
}

// The volume slider's level as the desktop counts it, 0.0 to 1.0.
double VolumeOf(std::int32_t level) {
  return level / double{kTrackbarMaxPosition};
}

// a + b, held within the range of its type.
std::int64_t SaturatingSum(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b < 0 ? std::numeric_limits<std::int64_t>::min()
               : std::numeric_limits<std::int64_t>::max();
}

}  // namespace

struct MediaControls::Shared {
  // None once the controls are gone: answers still on their way do nothing then.
  MediaControlsHost* host = nullptr;
  QDBusConnection bus{QString()};
  std::unique_ptr<QObject> object;
  PlayerAdaptor* player = nullptr;
  // The bus name held (empty: none yet).
  QString name;
  // Each movie that becomes the current one gets a track number of its own.
  std::string track_path;
  std::uint64_t track = 0;
  // What the desktop was last told.
  MediaState told;
  std::uint64_t told_track = 0;

  MediaState Now() {
    MediaState now = host->MediaNow();
    if (now.path != track_path) {
      track_path = now.path;
      ++track;
    }
    return now;
  }
  QString TrackId() const { return QStringLiteral("/tarvel/track/") + QString::number(track); }
  QVariantMap Metadata(const MediaState& state) const {
    QVariantMap metadata;
    if (state.path.empty()) return metadata;
    const QFileInfo file(QFile::decodeName(QByteArray::fromStdString(state.path)));
    metadata.insert(QStringLiteral("mpris:trackid"),
                    QVariant::fromValue(QDBusObjectPath(TrackId())));
    metadata.insert(QStringLiteral("xesam:title"), file.fileName());
    // The name's bytes as they are, whatever their character set.
    std::error_code unknown;
    const std::filesystem::path absolute = std::filesystem::absolute(state.path, unknown);
    const QByteArray bytes = QByteArray::fromStdString(unknown ? state.path : absolute.string());
    metadata.insert(QStringLiteral("xesam:url"),
                    QString::fromLatin1("file://" + bytes.toPercentEncoding("/")));
    if (state.length_us >= 0)
      metadata.insert(QStringLiteral("mpris:length"),
                      QVariant::fromValue(qlonglong{state.length_us}));
    return metadata;
  }
  void Register(const std::shared_ptr<Shared>& self);
  static void RequestName(const std::shared_ptr<Shared>& self, const QString& name, bool first);
  void ReleaseName() {
    if (name.isEmpty()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReleaseName"));
    call << name;
    name.clear();
    bus.send(call);
  }
};

namespace {

// org.mpris.MediaPlayer2: the player as an application.
class ApplicationAdaptor final : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
  Q_PROPERTY(bool CanQuit READ yes)
  Q_PROPERTY(bool CanRaise READ yes)
  Q_PROPERTY(bool HasTrackList READ no)
  Q_PROPERTY(QString Identity READ identity)
  Q_PROPERTY(QString DesktopEntry READ desktopEntry)
  Q_PROPERTY(QStringList SupportedUriSchemes READ uriSchemes)
  Q_PROPERTY(QStringList SupportedMimeTypes READ mimeTypes)

 public:
  ApplicationAdaptor(QObject* object, MediaControls::Shared& shared)
      : QDBusAbstractAdaptor(object), shared_(shared) {}
  bool yes() const { return true; }
  bool no() const { return false; }
  QString identity() const { return QStringLiteral("Tarvel"); }
  // The installed desktop file, tarvel.desktop.
  QString desktopEntry() const { return QStringLiteral("tarvel"); }
  QStringList uriSchemes() const { return {QStringLiteral("file")}; }
  QStringList mimeTypes() const { return {QStringLiteral("video/x-kqm")}; }

 public slots:  // NOLINT
  void Raise() { shared_.host->MediaRaise(); }
  void Quit() { shared_.host->MediaQuit(); }

 private:
  MediaControls::Shared& shared_;
};

// org.mpris.MediaPlayer2.Player: playback.
class PlayerAdaptor final : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
  Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
  Q_PROPERTY(QString LoopStatus READ loopStatus WRITE setLoopStatus)
  Q_PROPERTY(double Rate READ one WRITE setRate)
  Q_PROPERTY(double MinimumRate READ one)
  Q_PROPERTY(double MaximumRate READ one)
  Q_PROPERTY(QVariantMap Metadata READ metadata)
  Q_PROPERTY(double Volume READ volume WRITE setVolume)
  Q_PROPERTY(qlonglong Position READ position)
  Q_PROPERTY(bool CanGoNext READ canGoNext)
  Q_PROPERTY(bool CanGoPrevious READ canGoPrevious)
  Q_PROPERTY(bool CanPlay READ canPlay)
  Q_PROPERTY(bool CanPause READ canPause)
  Q_PROPERTY(bool CanSeek READ canSeek)
  Q_PROPERTY(bool CanControl READ canControl)

 public:
  PlayerAdaptor(QObject* object, MediaControls::Shared& shared)
      : QDBusAbstractAdaptor(object), shared_(shared) {}
  QString playbackStatus() const { return PlaybackName(shared_.Now().playback); }
  double one() const { return 1.0; }
  // The media controls play at the movie's own rate only.
  void setRate(double) {}
  QString loopStatus() const { return LoopName(shared_.Now().loop); }
  // Another name is ignored.
  void setLoopStatus(const QString& status) {
    for (const auto& [value, name] : kLoopNames)
      if (status == QLatin1String(name)) shared_.host->MediaSetLoop(value);
  }
  QVariantMap metadata() const { return shared_.Metadata(shared_.Now()); }
  double volume() const { return VolumeOf(shared_.Now().volume); }
  // The slider's nearest step, within 0 and 1; not a number is ignored.
  void setVolume(double volume) {
    if (std::isnan(volume)) return;
    shared_.host->MediaSetVolume(static_cast<std::int32_t>(
        std::lround(std::clamp(volume, 0.0, 1.0) * kTrackbarMaxPosition)));
  }
  qlonglong position() const { return shared_.host->MediaPosition(); }
  bool canGoNext() const { return shared_.Now().can_go_next; }
  bool canGoPrevious() const { return shared_.Now().can_go_previous; }
  bool canPlay() const { return shared_.Now().can_play; }
  bool canPause() const { return shared_.Now().can_pause; }
  bool canSeek() const { return shared_.Now().can_seek; }
  bool canControl() const { return true; }

 public slots:  // NOLINT
  void Next() { shared_.host->MediaKey(kKeyMediaNext); }
  void Previous() { shared_.host->MediaKey(kKeyMediaPrevious); }
  void Pause() { shared_.host->MediaKey(kKeyMediaPause); }
  void PlayPause() { shared_.host->MediaKey(kKeyMediaPlayPause); }
  void Stop() { shared_.host->MediaKey(kKeyMediaStop); }
  void Play() { shared_.host->MediaKey(kKeyMediaPlay); }
  void Seek(qlonglong Offset) {  // NOLINT: the names are those the bus shows
    const qlonglong offset = Offset;
    const MediaState now = shared_.Now();
    if (!now.can_seek || now.length_us < 0) return;
    const std::int64_t target = SaturatingSum(shared_.host->MediaPosition(), offset);
    // Past the end is the next movie; before the start, the start.
    if (target > now.length_us) {
      shared_.host->MediaKey(kKeyMediaNext);
      return;
    }
    GoTo(target < 0 ? 0 : target);
  }
  void SetPosition(const QDBusObjectPath& TrackId, qlonglong Position) {  // NOLINT
    const QDBusObjectPath& track = TrackId;
    const qlonglong position = Position;
    const MediaState now = shared_.Now();
    // A position meant for another movie, or outside this one, is ignored.
    if (!now.can_seek || now.length_us < 0 || track.path() != shared_.TrackId() || position < 0 ||
        position > now.length_us)
      return;
    GoTo(position);
  }
  void OpenUri(const QString& Uri, const QDBusMessage& message) {  // NOLINT
    const QUrl url(Uri, QUrl::StrictMode);
    // The name's bytes as written, whatever their character set.
    const QByteArray path = QByteArray::fromStdString(PathBytesOf(url));
    // A file of another computer (file://host/...) is not opened, nor a name that no file can
    // have.
    if (!url.isValid() || !url.isLocalFile() || !path.startsWith('/') || path.contains('\0') ||
        !(url.host().isEmpty() || url.host() == QLatin1String("localhost"))) {
      message.setDelayedReply(true);
      shared_.bus.send(message.createErrorReply(
          QDBusError::NotSupported, QStringLiteral("only file: URIs of this computer open")));
      return;
    }
    shared_.host->MediaOpen(path.toStdString());
  }

 public:
  // The position jumped: Update says so.
  void Sought() { emit Seeked(shared_.host->MediaPosition()); }

 signals:
  void Seeked(qlonglong Position);  // NOLINT

 private:
  void GoTo(std::int64_t position) { shared_.host->MediaGoTo(position); }

  MediaControls::Shared& shared_;
};

}  // namespace

void MediaControls::Shared::Register(const std::shared_ptr<Shared>& self) {
  object = std::make_unique<QObject>();
  new ApplicationAdaptor(object.get(), *this);
  player = new PlayerAdaptor(object.get(), *this);
  if (!bus.registerObject(QLatin1String(kObjectPath), object.get(),
                          QDBusConnection::ExportAdaptors)) {
    Debug(QStringLiteral("cannot register ") + QLatin1String(kObjectPath) + QStringLiteral(": ") +
          bus.lastError().message());
    object.reset();
    return;
  }
  told = Now();
  told_track = track;
  RequestName(self, QLatin1String(kName), true);
}

void MediaControls::Shared::RequestName(const std::shared_ptr<Shared>& self, const QString& name,
                                        bool first) {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
  // DBUS_NAME_FLAG_DO_NOT_QUEUE: a name another player holds is not waited for.
  call << name << 4u;
  auto* watcher = new QDBusPendingCallWatcher(self->bus.asyncCall(call, kDesktopBusCallTimeoutMs));
  QObject::connect(
      watcher, &QDBusPendingCallWatcher::finished, watcher,
      [self, name, first](QDBusPendingCallWatcher* answered) {
        answered->deleteLater();
        const QDBusPendingReply<uint> reply = *answered;
        if (reply.isError()) {
          Debug(QStringLiteral("no name ") + name + QStringLiteral(": ") + reply.error().message());
          return;
        }
        // 1: the name is ours; 4: it was already.
        if (reply.value() == 1 || reply.value() == 4) {
          self->name = name;
          // The controls went meanwhile.
          if (self->host == nullptr) self->ReleaseName();
          return;
        }
        if (first && self->host != nullptr)
          RequestName(self,
                      name + QStringLiteral(".instance") +
                          QString::number(QCoreApplication::applicationPid()),
                      false);
        else
          Debug(QStringLiteral("the name ") + name + QStringLiteral(" is taken"));
      });
}

MediaControls::MediaControls(MediaControlsHost& host, QString bus_address)
    : bus_address_(std::move(bus_address)), shared_(std::make_shared<Shared>()) {
  shared_->host = &host;
}

MediaControls::~MediaControls() {
  Shared& shared = *shared_;
  shared.host = nullptr;
  if (shared.object) {
    shared.bus.unregisterObject(QLatin1String(kObjectPath));
    shared.object.reset();
  }
  shared.ReleaseName();
}

void MediaControls::Update() {
  Shared& shared = *shared_;
  if (!connect_tried_) {
    connect_tried_ = true;
    if (bus_address_ == QLatin1String("none")) return;
    try {
      connector_ = DesktopBusConnector(bus_address_, [owner = shared_](const QDBusConnection& bus) {
        if (owner->host == nullptr) return;
        owner->bus = bus;
        if (!bus.isConnected())
          Debug(QStringLiteral("no session bus: ") + bus.lastError().message());
        else
          owner->Register(owner);
      });
    } catch (const std::system_error& failure) {
      Debug(QStringLiteral("no thread to connect: ") + QString::fromStdString(failure.what()));
    }
    return;
  }
  if (!shared.object) return;
  const MediaState now = shared.Now();
  const MediaState& told = shared.told;
  QVariantMap changed;
  if (now.playback != told.playback)
    changed.insert(QStringLiteral("PlaybackStatus"), PlaybackName(now.playback));
  if (shared.track != shared.told_track || now.path != told.path || now.length_us != told.length_us)
    changed.insert(QStringLiteral("Metadata"), shared.Metadata(now));
  if (now.volume != told.volume) changed.insert(QStringLiteral("Volume"), VolumeOf(now.volume));
  if (now.loop != told.loop) changed.insert(QStringLiteral("LoopStatus"), LoopName(now.loop));
  const std::pair<const char*, bool> can[] = {
      {"CanPlay", now.can_play != told.can_play},
      {"CanPause", now.can_pause != told.can_pause},
      {"CanGoNext", now.can_go_next != told.can_go_next},
      {"CanGoPrevious", now.can_go_previous != told.can_go_previous},
      {"CanSeek", now.can_seek != told.can_seek}};
  const bool values[] = {now.can_play, now.can_pause, now.can_go_next, now.can_go_previous,
                         now.can_seek};
  for (std::size_t i = 0; i < std::size(can); ++i)
    if (can[i].second) changed.insert(QLatin1String(can[i].first), values[i]);
  // A seek within the same movie; a new one starts where its metadata says.
  const bool sought = (now.seeks != told.seeks || now.passes != told.passes) &&
                      !changed.contains(QStringLiteral("Metadata"));
  shared.told = now;
  shared.told_track = shared.track;
  if (sought) shared.player->Sought();
  if (changed.isEmpty()) return;
  QDBusMessage signal = QDBusMessage::createSignal(
      QLatin1String(kObjectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
      QStringLiteral("PropertiesChanged"));
  signal << QLatin1String(kPlayerInterface) << changed << QStringList();
  shared.bus.send(signal);
}

}  // namespace tarvel

#include "media_controls.moc"
