// Files dragged from a file manager onto any window of the player.
#pragma once

#include <QStringList>
#include <QWidget>

class QDragEnterEvent;
class QDropEvent;

namespace tarvel {

// A window that takes files and folders dragged onto it.
class FileDropWindow : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  // Local paths dropped on the window, in the order given (never none).
  virtual void OnFilesDropped(const QStringList& paths) = 0;

  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

}  // namespace tarvel
