// The command window: the captionless, always-on-top control panel that carries every control
// of the player, painted from its background bitmap and dragged by any point of its surface.
#pragma once

#include <QPixmap>
#include <QPoint>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>

#include "display/file_drop.h"
#include "ui/control_table.h"
#include "ui/direct_counters.h"
#include "ui/skin_controls.h"

class QKeyEvent;

namespace tarvel {

// What the panel reports to the user interface that drives it.
// The controls' commands, scrolls and seeks go to it as they are.
class CommandHost : public SkinCommands, public DropHost {
 public:
  virtual void PanelKeyPressed(QKeyEvent* event) = 0;
  // The panel moved; `origin` is its top-left corner (it has no border).
  virtual void PanelMoved(const QPoint& origin) = 0;
  virtual void PanelCloseRequested() = 0;
  virtual void PanelRightClicked() = 0;
};

class CommandWindow : public FileDropWindow, public SkinPanel {
 public:
  explicit CommandWindow(CommandHost& host);
  ~CommandWindow() override;

  // Creates the controls of the panel at their places and fills the ControlSkin table: each
  // record gets its control, its own copy of its sheet and its tooltip.
  void SetUpControls();
  // Takes the skins off: the controls are deleted and the table emptied.
  void TearDownControls();

  std::array<ControlSkin, kControlSkinCount>& table() { return table_; }
  ControlSkin* FindRecord(int id) override;
  ControlSkin* FindRecord(const QWidget* control);
  SkinButton* Button(int id);
  SkinTrackbar* Trackbar(int id);
  SkinSprite* Sprite(int id);
  SkinProgress* Progress();
  // Any control of the panel by identifier, skinned or not.
  QWidget* Control(int id);
  QWidget* picture() const { return picture_; }

  // Sets a digit, label, indicator or trackbar state; it is redrawn before the program next
  // waits for something to happen.
  void SetState(int id, int state);
  int State(int id);
  // While a movie plays, the changing digits and the progress bar are copied into the panel's
  // window by the X server where it can (see DirectCounters); Flush sends a turn's copies.
  void SetCountersLive(bool live) { counters_.SetLive(live); }
  void FlushCounters() { counters_.Flush(); }

  // SkinPanel. The radio group's members are the neighbouring records flagged as members.
  SkinCommands& commands() override { return host_; }
  void UncheckRadioGroup(const ControlSkin& pressed) override;
  bool ShowProgressDirectly(const ControlSkin& record, int before, int after) override {
    return counters_.ShowProgress(record, before, after);
  }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void OnFilesDropped(const std::vector<std::string>& paths) override {
    host_.FilesDropped(paths, this);
  }

 private:
  CommandHost& host_;
  QPixmap background_;
  std::array<ControlSkin, kControlSkinCount> table_;
  QWidget* picture_ = nullptr;
  QPoint drag_start_;   // where the button went down, on the screen
  QPoint drag_origin_;  // where the panel was then
  bool dragging_ = false;
  DirectCounters counters_{this};
};

}  // namespace tarvel
