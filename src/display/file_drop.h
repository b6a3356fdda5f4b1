// Files dragged from a file manager onto any window of the player.
#pragma once

#include <QWidget>
#include <string>
#include <vector>

class QDragEnterEvent;
class QDropEvent;
class QUrl;

namespace tarvel {

// Whether a file URL's host names this machine: none, "localhost" or the machine's own name
// ("file://hostname/...", as drag-and-drop senders are asked to write it).
bool IsOfThisMachine(const QUrl& url);

// The path a file URL names, byte for byte: its percent escapes may spell a name that is not
// UTF-8 (a Latin-1 "caf%E9.kqm"), which Qt's text of the path would turn into a replacement
// character.
std::string PathBytesOf(const QUrl& url);

// What takes the files dropped on a window.
class DropHost {
 public:
  virtual ~DropHost() = default;
  // Files (local paths as the file system's bytes, in the order given) were dropped on `target`.
  virtual void FilesDropped(const std::vector<std::string>& paths, QWidget* target) = 0;
};

// A window that takes files and folders dragged onto it.
class FileDropWindow : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  // Local paths dropped on the window, in the order given (never none).
  virtual void OnFilesDropped(const std::vector<std::string>& paths) = 0;

  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

}  // namespace tarvel
