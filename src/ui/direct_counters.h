// The control panel's counters drawn past Qt's widgets while a movie plays on an X11 server:
// the sheets are uploaded once to pixmaps the server keeps, and a counter whose picture changes
// is copied into the panel's window by the server, instead of being painted by Qt into its
// backing store and sent from there. Used only where that gives Qt's own pixels (the xcb
// platform, one device pixel per pixel, the panel shown); everywhere else the controls are
// updated the usual way.
#pragma once

#include <QObject>
#include <QPointer>
#include <memory>
#include <utility>
#include <vector>

#include "ui/control_table.h"

class QWidget;
class QWindow;

namespace tarvel {

class X11Pixmaps;

class DirectCounters : public QObject {
 public:
  explicit DirectCounters(QWidget* panel);
  ~DirectCounters() override;

  // While live, ShowSprite and ShowProgress draw through the server where they can. Qt's
  // backing store keeps the pictures from before; whenever Qt is to show the panel again (an
  // expose, live turned off, a draw that cannot go past Qt) the controls drawn past it are
  // updated, so that Qt paints them as they are now.
  void SetLive(bool live);
  bool live() const { return live_; }
  // Draws the sprite control of `record` in its current state; false when that cannot be done
  // here (the caller updates the control).
  bool ShowSprite(const ControlSkin& record, int sprite);
  // The progress bar of `record` filled from `before` to `after` pixels.
  bool ShowProgress(const ControlSkin& record, int before, int after);
  // Sends the copies asked for since the last call.
  void Flush();
  // The skin's controls are about to be deleted: forgets them and their sheets' pixmaps.
  void Forget();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Whether copies can go to the panel's window now; makes the pixmaps for its window.
  bool Ready();
  // The pixmap of `record`'s sheet, uploaded on first use; -1 when it cannot be copied exactly.
  int SheetPixmap(const ControlSkin& record);
  int FullProgressPixmap(const ControlSkin& record);
  void MarkStale(QWidget* control);
  void UpdateStale();

  QWidget* panel_;
  void* connection_ = nullptr;
  bool live_ = false;
  std::unique_ptr<X11Pixmaps> pixmaps_;
  QPointer<QWindow> window_;
  // The native window for which pixmaps could not be had (not tried again).
  unsigned long long refused_window_ = 0;
  std::vector<std::pair<int, int>> sheets_;  // sheet resource, pixmap
  int full_progress_ = -1;
  std::vector<QPointer<QWidget>> stale_;
  bool drawn_ = false;
};

}  // namespace tarvel
