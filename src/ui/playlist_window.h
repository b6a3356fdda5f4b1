// The playlist window: a small tool window with the list of movies (file names only, in the
// order they were added), the label showing the current line's folder, and a decorative
// picture. It only shows what the playlist model holds and reports what the user does; the
// viewer decides what follows.
#pragma once

#include <QPoint>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <string>
#include <vector>

#include "display/file_drop.h"

class QKeyEvent;
class QLabel;
class QListWidget;

namespace tarvel {

// What the playlist window reports to the user interface that drives it.
class PlaylistHost : public DropHost {
 public:
  // The user selected another line (click or keyboard).
  virtual void PlaylistLineSelected(int line) = 0;
  // The window moved; `origin` is its outer top-left corner.
  virtual void PlaylistMoved(const QPoint& origin) = 0;
  // The close box was used: the host destroys the window.
  virtual void PlaylistCloseRequested() = 0;
  // A key pressed in the window. Returns whether it is one of the player's keys and was used;
  // any other key is left to the list (the up and down arrows, a line's first letter).
  virtual bool PlaylistKeyPressed(QKeyEvent* event) = 0;
};

// Identifiers of the window's controls.
inline constexpr int kIdPlaylistFolderLabel = 1062;

inline constexpr char kPlaylistCaption[] = "PlayList";
// The window and its controls, in dialog units: 136 x 257 in all, the folder label at (12, 0)
// 124 x 20, the list at (0, 20) 136 x 236, the decoration at (0, 0) 15 x 13.
inline constexpr int kPlaylistWidthUnits = 136;
inline constexpr int kPlaylistHeightUnits = 257;

class PlaylistWindow : public FileDropWindow {
 public:
  explicit PlaylistWindow(PlaylistHost& host);

  // Shows `lines` (file-system bytes), nothing selected. The user's selection signal stays
  // quiet while the list is filled.
  void SetLines(const std::vector<std::string>& lines);
  // Selects `line` without reporting it as the user's choice.
  void SelectLine(int line);
  // The folder label's text (file-system bytes). A long path is shortened in the middle on
  // screen; the whole text stays in the tooltip.
  void SetFolder(const std::string& folder);

  QStringList LineTexts() const;
  int SelectedLine() const;
  QString FolderText() const { return folder_; }
  QListWidget* list() const { return list_; }
  QLabel* folder_label() const { return label_; }
  QLabel* decoration() const { return decoration_; }
  // Stops reporting to the host (the window is on its way out).
  void Detach() { host_ = nullptr; }

 protected:
  void moveEvent(QMoveEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // The player's keys pressed in the list go to the host before the list sees them.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void OnFilesDropped(const std::vector<std::string>& paths) override {
    if (host_ != nullptr) host_->FilesDropped(paths, this);
  }

 private:
  void ShowFolder();

  PlaylistHost* host_;
  QListWidget* list_;
  QLabel* label_;
  QLabel* decoration_;
  QString folder_;
};

}  // namespace tarvel
