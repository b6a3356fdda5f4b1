// The video window set: the top-level video window with its status bar, the frame window that
// fills the margins around a centred picture, and the picture window that shows the picture
// surface stretched by the zoom. VideoWindowSet owns them together with the presentation state
// (zoom, full screen, saved position, repaint rectangle) and lays them out.
//
// Full screen: this platform does not change the display resolution, so full screen shows the
// picture fitted to the whole screen, centred, on black.
#pragma once

#include <QMargins>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QScreen>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "display/file_drop.h"
#include "display/picture_surface.h"

class QKeyEvent;

namespace tarvel {

class VideoWindowSet;

// What the window set needs from the user interface that drives it.
class PresentationHost : public DropHost {
 public:
  // A key went down while one of the video windows had the keyboard.
  virtual void VideoKeyPressed(QKeyEvent* event) = 0;
  // The video window moved or changed size; `origin` is its outer top-left corner.
  virtual void VideoWindowMoved(const QPoint& origin) = 0;
  // A windowed layout is done: bring the other windows of the program up, without moving them.
  virtual void RaiseOtherWindows() = 0;
  // A layout is done: repaint the control panel.
  virtual void LayoutDone() = 0;
  // A movie is playing or paused: the engine draws into the surface, which must stay.
  virtual bool SurfaceInUse() const = 0;
  // A screen changed its size, or screens came or went.
  virtual void ScreensChanged() {}
};

// What the window set needs to know of the movie it shows.
struct MovieFacts {
  std::uint32_t width = 0, height = 0;
  // The presented pictures' size (the surface's).
  std::uint32_t output_width = 0, output_height = 0;
  std::int32_t frame_count = 0;
};

// Two text parts, their right edges at 320 and 640 pixels (shrunk in proportion in a narrower
// window). A problem is shown across the whole bar until a part's text is set again.
class StatusBar : public QWidget {
 public:
  explicit StatusBar(QWidget* parent);
  void SetPartText(int part, const QString& text);
  QString PartText(int part) const;
  void ShowProblem(const QString& text);
  QString problem() const { return problem_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Paints the texts again and gives them to assistive tools.
  void ShowText();
  std::array<QString, 2> texts_;
  QString problem_;
};

// Fills its update area with the window-frame colour (the margins around the picture) and, when
// windowed, draws a sunken client edge.
class FrameWindow : public QWidget {
 public:
  FrameWindow(QWidget* parent, VideoWindowSet* set);
  void SetClientEdge(bool on);
  bool client_edge() const { return client_edge_; }
  void Detach() { set_ = nullptr; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  VideoWindowSet* set_;
  bool client_edge_ = true;
};

// Shows the picture surface, stretched by the zoom with the nearest pixel (rows and columns
// repeated or dropped, never blended). Accepts dropped files. With `shared` the window is a
// window of the X server of its own, into which the server copies the pictures it shares with
// the program; Qt does not paint it.
class PictureWindow : public FileDropWindow {
 public:
  PictureWindow(QWidget* parent, VideoWindowSet* set, bool shared);
  void Detach() { set_ = nullptr; }
  bool shared() const { return shared_; }
  QPaintEngine* paintEngine() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void OnFilesDropped(const std::vector<std::string>& paths) override;

 private:
  VideoWindowSet* set_;
  bool shared_;
};

class VideoWindow : public QWidget {
 public:
  explicit VideoWindow(VideoWindowSet* set);
  void Detach() { set_ = nullptr; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  VideoWindowSet* set_;
};

inline constexpr char kProgramTitle[] = "Tarvel Beta 2";

class VideoWindowSet {
 public:
  explicit VideoWindowSet(PresentationHost& host);
  ~VideoWindowSet();
  VideoWindowSet(const VideoWindowSet&) = delete;
  VideoWindowSet& operator=(const VideoWindowSet&) = delete;

  // The movie the next layout is for: that layout gives it a new surface.
  void SetMovie(const MovieFacts& movie) {
    movie_ = movie;
    surface_wanted_ = true;
  }
  const MovieFacts& movie() const { return movie_; }
  // The layout: creates the window set if needed (re-creates it when the full-screen state
  // changes), sizes and places it for the movie and the zoom, makes a new surface for a movie
  // just set unless one is playing or paused, and sets the title and the status texts. Full
  // Screen and Zoom Off lay out again around the picture there is, which stays shown.
  void Build(bool full_screen, const QString& title);
  void SetFullScreen(bool on, const QString& title);
  // One picture pixel per screen pixel again.
  void ZoomOff(const QString& title);
  // Shows the newest presented picture, if one came since the last call: the picture window is
  // repainted with it. True when there was one.
  bool ShowNewPicture();
  // Takes the screen rectangle from the primary screen again.
  void RefreshScreenRect();

  // Handlers of the windows.
  void SizeVideoWindow();
  void FitPictureToFrame();
  void PaintPicture(QPainter& painter, const QRect& update);
  // The same for a picture window the X server paints (see PictureWindow).
  void PaintSharedPicture(const QRect& update);
  // Pictures go to the screen through memory shared with the X server.
  bool shares_pictures() const { return x11_connection_ != nullptr; }
  void VideoKeyPressed(QKeyEvent* event) { host_.VideoKeyPressed(event); }
  void FilesDropped(const std::vector<std::string>& paths, QWidget* target) {
    host_.FilesDropped(paths, target);
  }
  void VideoWindowMoved();

  bool exists() const { return window_ != nullptr; }
  bool full_screen() const { return full_screen_; }
  float zoom() const { return zoom_; }
  void set_zoom(float zoom) { zoom_ = zoom; }
  QRect repaint_rect() const { return repaint_rect_; }
  QRect screen_rect() const { return screen_rect_; }
  void set_screen_rect(const QRect& rect) { screen_rect_ = rect; }
  QSize saved_screen_size() const { return saved_screen_size_; }
  // Where a new video window goes: an x below 1 means centred on the screen.
  QPoint saved_position() const { return saved_position_; }
  void set_saved_position(const QPoint& position) { saved_position_ = position; }
  // The window stands where the program centred it: nobody has moved it since.
  bool centred() const { return centred_at_.has_value(); }
  // The frame the window manager puts around a window, as last seen on the video window (none
  // until one has been shown): a new window is centred with it, and a window centred before
  // its frame was known is centred again once it is.
  QMargins frame_margins() const { return frame_margins_; }
  void set_frame_margins(const QMargins& margins) { frame_margins_ = margins; }

  PictureSurface& surface() { return surface_; }
  VideoWindow* video_window() const { return window_; }
  StatusBar* status_bar() const { return status_; }
  FrameWindow* frame_window() const { return frame_; }
  PictureWindow* picture_window() const { return picture_; }

 private:
  void CreateWindowSet(const QSize& client, bool full_screen);
  QScreen* FullScreenScreen() const;
  void RetireWindowSet();

  PresentationHost& host_;
  MovieFacts movie_;
  PictureSurface surface_;
  VideoWindow* window_ = nullptr;
  StatusBar* status_ = nullptr;
  FrameWindow* frame_ = nullptr;
  PictureWindow* picture_ = nullptr;
  float zoom_ = 1.0f;
  // The zoom chosen before it was lowered so that the movie's window fits the screen (none when
  // the zoom is the one chosen): the next movie starts from it. The windowed client size the
  // program gave the window last; another one is the user's resize.
  std::optional<float> zoom_before_fit_;
  QSize laid_out_client_;
  // A movie was set since the surface was made.
  bool surface_wanted_ = false;
  bool full_screen_ = false;
  // The monitor the video window stood on when full screen was asked for (none: the primary one).
  QPointer<QScreen> full_screen_on_;
  QSize saved_screen_size_;
  QRect screen_rect_;
  QPoint saved_position_{-1, -1};
  QMargins frame_margins_;
  // The X server's connection when it can share pictures with the program (null otherwise), and
  // the picture enlarged or shrunk to the picture window for it.
  void* x11_connection_ = nullptr;
  std::unique_ptr<X11PictureOutput> scaled_;
  // Where the window was centred, while it has not been moved elsewhere since.
  std::optional<QPoint> centred_at_;
  QRect repaint_rect_;
  bool laying_out_ = false;
  // Zoom Off was asked for: the next layout is not fitted to the screen.
  bool pixel_for_pixel_ = false;
  // Keeps a full-screen window covering its screen as the screen's size changes.
  QMetaObject::Connection full_screen_follow_;
  // Holds the connections that keep the screen rectangle up to date; gone first.
  QObject screen_watch_;
};

}  // namespace tarvel
