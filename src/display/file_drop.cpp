#include "display/file_drop.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace tarvel {

void AcceptFileDrag(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

QStringList TakeDroppedFiles(QDropEvent* event) {
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths.append(url.toLocalFile());
  event->acceptProposedAction();
  return paths;
}

}  // namespace tarvel
