#include "display/file_drop.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QUrl>

namespace tarvel {

void FileDropWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

namespace {

// The path a file URL names, byte for byte: its percent escapes may spell a name that is not
// UTF-8 (a Latin-1 "caf%E9.kqm"), which Qt's text of the path would turn into a replacement
// character. A URL of this machine may name it ("file://localhost/..."); one of another host
// keeps the form Qt gives it.
std::string LocalPathOf(const QUrl& url) {
  const QString host = url.host();
  if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
    return QFile::encodeName(url.toLocalFile()).toStdString();
  return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
}

}  // namespace

void FileDropWindow::dropEvent(QDropEvent* event) {
  std::vector<std::string> paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths.push_back(LocalPathOf(url));
  event->acceptProposedAction();
  if (!paths.empty()) OnFilesDropped(paths);
}

}  // namespace tarvel
