#include "display/file_drop.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QSysInfo>
#include <QUrl>
#include <algorithm>
#include <utility>

namespace tarvel {

void FileDropWindow::dragEnterEvent(QDragEnterEvent* event) {
  // Only files of this computer can be played: a link from a web browser is refused as it comes,
  // so that the pointer shows it, rather than taken and then ignored without a word.
  const QList<QUrl> urls = event->mimeData()->urls();
  if (std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); }))
    event->acceptProposedAction();
}

bool IsOfThisMachine(const QUrl& url) {
  const QString host = url.host();
  return host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
         host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0;
}

std::string PathBytesOf(const QUrl& url) {
  return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
}

namespace {

// A dropped file's path as the file system's bytes; one of another host keeps the form Qt gives
// it.
std::string LocalPathOf(const QUrl& url) {
  return IsOfThisMachine(url) ? PathBytesOf(url)
                              : QFile::encodeName(url.toLocalFile()).toStdString();
}

}  // namespace

void FileDropWindow::dropEvent(QDropEvent* event) {
  std::vector<std::string> paths;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (!url.isLocalFile()) continue;
    // A zero byte (escaped as %00) is in no file's name: the name would be cut there when the
    // file is opened, and another file played under it.
    std::string path = LocalPathOf(url);
    if (path.find('\0') == std::string::npos) paths.push_back(std::move(path));
  }
  event->acceptProposedAction();
  if (!paths.empty()) OnFilesDropped(paths);
}

}  // namespace tarvel
