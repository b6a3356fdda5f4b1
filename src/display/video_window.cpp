#include "display/video_window.h"

#include <QtGui/qguiapplication_platform.h>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <algorithm>
#include <utility>

#include "display/presentation.h"

namespace tarvel {

namespace {

// The colour of the margins around the picture (the window-frame colour).
const QColor kFrameColour(0, 0, 0);
const QColor kEdgeShadow(128, 128, 128);
const QColor kEdgeDarkShadow(64, 64, 64);
const QColor kEdgeLight(255, 255, 255);
const QColor kEdgeFace(212, 208, 200);

// A two-pixel sunken edge just inside `r`.
void DrawSunkenEdge(QPainter& painter, const QRect& r) {
  painter.setPen(kEdgeShadow);
  painter.drawLine(r.left(), r.top(), r.right() - 1, r.top());
  painter.drawLine(r.left(), r.top(), r.left(), r.bottom() - 1);
  painter.setPen(kEdgeDarkShadow);
  painter.drawLine(r.left() + 1, r.top() + 1, r.right() - 2, r.top() + 1);
  painter.drawLine(r.left() + 1, r.top() + 1, r.left() + 1, r.bottom() - 2);
  painter.setPen(kEdgeLight);
  painter.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
  painter.drawLine(r.right(), r.top(), r.right(), r.bottom());
  painter.setPen(kEdgeFace);
  painter.drawLine(r.left() + 1, r.bottom() - 1, r.right() - 1, r.bottom() - 1);
  painter.drawLine(r.right() - 1, r.top() + 1, r.right() - 1, r.bottom() - 1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

StatusBar::StatusBar(QWidget* parent) : QWidget(parent) {
  texts_[0] = QStringLiteral("essai");
  ShowText();
}

void StatusBar::ShowText() {
  // Screen readers read the bar by its name: what it shows, the problem or the parts.
  setAccessibleName(!problem_.isEmpty()   ? problem_
                    : texts_[1].isEmpty() ? texts_[0]
                                          : texts_[0] + QStringLiteral(", ") + texts_[1]);
  update();
}

void StatusBar::SetPartText(int part, const QString& text) {
  if (part < 0 || part > 1) return;
  if (texts_[static_cast<std::size_t>(part)] == text && problem_.isEmpty()) return;
  texts_[static_cast<std::size_t>(part)] = text;
  problem_.clear();
  ShowText();
}

QString StatusBar::PartText(int part) const {
  if (part < 0 || part > 1) return QString();
  return texts_[static_cast<std::size_t>(part)];
}

void StatusBar::ShowProblem(const QString& text) {
  problem_ = text;
  ShowText();
}

void StatusBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kEdgeFace);
  // A problem takes the whole bar, in one part.
  const std::array<int, 2> edges =
      problem_.isEmpty() ? StatusPartEdges(width()) : std::array<int, 2>{width(), width()};
  int left = 0;
  for (std::size_t part = 0; part < 2; ++part) {
    const int right = edges[part];
    if (right <= left) break;
    const QRect box(left, 2, right - left - 2, height() - 2);
    painter.setPen(kEdgeShadow);
    painter.drawLine(box.topLeft(), box.topRight());
    painter.drawLine(box.topLeft(), box.bottomLeft());
    painter.setPen(kEdgeLight);
    painter.drawLine(box.bottomLeft(), box.bottomRight());
    painter.drawLine(box.topRight(), box.bottomRight());
    painter.setPen(Qt::black);
    const QRect inside = box.adjusted(4, 0, -2, 0);
    const QString& text = problem_.isEmpty() ? texts_[part] : problem_;
    painter.drawText(inside, Qt::AlignLeft | Qt::AlignVCenter,
                     painter.fontMetrics().elidedText(text, Qt::ElideMiddle, inside.width()));
    left = right;
  }
}

// ---------------------------------------------------------------------------------------------

FrameWindow::FrameWindow(QWidget* parent, VideoWindowSet* set) : QWidget(parent), set_(set) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  SetClientEdge(true);
}

void FrameWindow::SetClientEdge(bool on) {
  client_edge_ = on;
  const int edge = on ? kClientEdge : 0;
  setContentsMargins(edge, edge, edge, edge);
  update();
}

void FrameWindow::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.fillRect(event->rect(), kFrameColour);
  if (client_edge_) DrawSunkenEdge(painter, rect());
}

void FrameWindow::resizeEvent(QResizeEvent*) {
  if (set_ != nullptr) set_->FitPictureToFrame();
}

// ---------------------------------------------------------------------------------------------

PictureWindow::PictureWindow(QWidget* parent, VideoWindowSet* set, bool shared)
    : FileDropWindow(parent), set_(set), shared_(shared) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  if (shared_) {
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_PaintOnScreen);
    setAttribute(Qt::WA_NoSystemBackground);
  }
  setAcceptDrops(true);
}

QPaintEngine* PictureWindow::paintEngine() const {
  // The X server paints a shared picture window; Qt keeps no picture of it.
  return shared_ ? nullptr : QWidget::paintEngine();
}

void PictureWindow::paintEvent(QPaintEvent* event) {
  if (shared_) {
    if (set_ != nullptr) set_->PaintSharedPicture(event->rect());
    return;
  }
  QPainter painter(this);
  if (set_ == nullptr) {
    painter.fillRect(event->rect(), kFrameColour);
    return;
  }
  set_->PaintPicture(painter, event->rect());
}

void PictureWindow::OnFilesDropped(const std::vector<std::string>& paths) {
  if (set_ != nullptr) set_->FilesDropped(paths, this);
}

// ---------------------------------------------------------------------------------------------

VideoWindow::VideoWindow(VideoWindowSet* set) : QWidget(nullptr, Qt::Window), set_(set) {
  setWindowTitle(QString::fromLatin1(kProgramTitle));
  setFocusPolicy(Qt::StrongFocus);
}

void VideoWindow::resizeEvent(QResizeEvent*) {
  if (set_ != nullptr) set_->SizeVideoWindow();
}

void VideoWindow::moveEvent(QMoveEvent*) {
  if (set_ != nullptr) set_->VideoWindowMoved();
}

void VideoWindow::closeEvent(QCloseEvent* event) {
  // Only the control panel's Close ends the program.
  event->ignore();
}

void VideoWindow::keyPressEvent(QKeyEvent* event) {
  if (set_ != nullptr) set_->VideoKeyPressed(event);
}

// ---------------------------------------------------------------------------------------------

VideoWindowSet::VideoWindowSet(PresentationHost& host) : host_(host) {
  RefreshScreenRect();
  // A new resolution (xrandr) or another primary monitor is a display change: a window made
  // after it is centred on the screen as it is then, not as it was at start-up.
  const auto changed = [this] {
    RefreshScreenRect();
    host_.ScreensChanged();
  };
  const auto watch = [this, changed](const QScreen* screen) {
    QObject::connect(screen, &QScreen::geometryChanged, &screen_watch_, changed);
  };
  for (const QScreen* screen : QGuiApplication::screens()) watch(screen);
  QObject::connect(qGuiApp, &QGuiApplication::screenAdded, &screen_watch_, watch);
  QObject::connect(qGuiApp, &QGuiApplication::screenRemoved, &screen_watch_, changed);
  QObject::connect(qGuiApp, &QGuiApplication::primaryScreenChanged, &screen_watch_, changed);
  // On X11, pictures go to the server through shared memory when it can share it with us.
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    if (const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
      void* connection = x11->connection();
      if (X11PictureOutput::Create(connection, 1, 1, 1) != nullptr) x11_connection_ = connection;
    }
  }
}

VideoWindowSet::~VideoWindowSet() {
  // A retired full-screen window may outlive the set, waiting to be deleted.
  QObject::disconnect(full_screen_follow_);
  if (window_ != nullptr) {
    window_->Detach();
    frame_->Detach();
    picture_->Detach();
    delete window_;
  }
  surface_.Release();
}

// Full screen covers the monitor the video window stands on, as users of two expect.
QScreen* VideoWindowSet::FullScreenScreen() const {
  return full_screen_on_ != nullptr ? full_screen_on_.data() : QGuiApplication::primaryScreen();
}

void VideoWindowSet::RefreshScreenRect() {
  // Where it stands among the others: a primary monitor need not begin at the desktop's corner.
  const QScreen* screen = QGuiApplication::primaryScreen();
  screen_rect_ = screen != nullptr ? screen->geometry() : QRect();
}

namespace {

QSize FrameSize(const QMargins& frame) {
  return QSize(frame.left() + frame.right(), frame.top() + frame.bottom());
}

// Whether every pixel of `frame` is on a screen: a window may stand across two monitors.
// Screens that overlap (mirrored outputs) cover their common pixels once.
bool WhollyOnScreens(const QRect& frame) {
  QRegion uncovered(frame);
  for (const QRect& area : AvailableScreenAreas()) uncovered -= area;
  return uncovered.isEmpty();
}

}  // namespace

void VideoWindowSet::CreateWindowSet(const QSize& client, bool full_screen) {
  window_ = new VideoWindow(this);
  // Full screen, the video window stays above the other windows of the program, and covers the
  // screen again when its size changes (without a window manager nobody else resizes it).
  if (full_screen) {
    window_->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    if (QScreen* screen = FullScreenScreen()) {
      VideoWindow* window = window_;
      full_screen_follow_ =
          QObject::connect(screen, &QScreen::geometryChanged, window,
                           [window](const QRect& area) { window->setGeometry(area); });
    }
  }
  window_->resize(client);
  // The window as the screen shows it, its frame included, is what is centred.
  const QSize outer = client + FrameSize(frame_margins_);
  centred_at_.reset();
  QPoint position = saved_position_;
  if (saved_position_.x() < 1) {
    position = CentredPosition(screen_rect_, outer);
    centred_at_ = position;
  }
  // Never where its title bar cannot be reached.
  const QPoint reachable = KeepReachable(QRect(position, outer), AvailableScreenAreas());
  if (reachable != position) centred_at_.reset();
  window_->move(reachable);
  status_ = new StatusBar(window_);
  status_->SetPartText(0, QStringLiteral("essai"));
  frame_ = new FrameWindow(window_, this);
  frame_->resize(static_cast<int>(movie_.width), static_cast<int>(movie_.height));
  picture_ = new PictureWindow(frame_, this, shares_pictures());
  picture_->resize(static_cast<int>(movie_.width), static_cast<int>(movie_.height));
}

void VideoWindowSet::RetireWindowSet() {
  // Once full screen is left, that window only waits to be deleted: the windowed one that takes
  // its place keeps its own size.
  QObject::disconnect(full_screen_follow_);
  // The old window may be the one whose key press led here: it goes once the event is over.
  window_->Detach();
  frame_->Detach();
  picture_->Detach();
  window_->hide();
  window_->deleteLater();
  window_ = nullptr;
  status_ = nullptr;
  frame_ = nullptr;
  picture_ = nullptr;
}

void VideoWindowSet::Build(bool full_screen, const QString& title) {
  if (window_ != nullptr && full_screen != full_screen_) RetireWindowSet();
  full_screen_ = full_screen;
  // The display resolution is never changed here; the screen is taken as it is.
  if (full_screen) RefreshScreenRect();

  // A window never starts larger than the screen: a movie too large for it is zoomed out. The
  // screen is the monitor of its saved place, where it goes. Zoom Off asks for one picture pixel
  // per pixel all the same.
  const bool pixel_for_pixel = std::exchange(pixel_for_pixel_, false);
  if (!full_screen && !pixel_for_pixel) {
    const QScreen* screen =
        saved_position_.x() >= 1 ? QGuiApplication::screenAt(saved_position_) : nullptr;
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    const QSize room = screen != nullptr ? screen->availableGeometry().size() : screen_rect_.size();
    // Lowered for the movie before, the zoom goes back to the one chosen before it.
    const float wanted = zoom_before_fit_.value_or(zoom_);
    zoom_before_fit_.reset();
    zoom_ = ZoomThatFits(movie_.width, movie_.height, wanted, room, FrameSize(frame_margins_));
    if (zoom_ < wanted) zoom_before_fit_ = wanted;
  }
  const QSize client = VideoClientSize(movie_.width, movie_.height, zoom_, full_screen);
  if (!full_screen) laid_out_client_ = client;
  laying_out_ = true;
  const bool made_before = window_ != nullptr;
  if (window_ == nullptr) CreateWindowSet(client, full_screen);
  frame_->SetClientEdge(!full_screen);
  status_->setVisible(!full_screen);
  if (!full_screen) {
    const bool grown =
        made_before && (client.width() > window_->width() || client.height() > window_->height());
    window_->resize(client);
    const QSize outer = client + FrameSize(frame_margins_);
    const bool placed = saved_position_.x() >= 1;
    // The saved place of a window made for an earlier movie, on the screens there are now.
    if (placed) window_->move(KeepReachable(QRect(saved_position_, outer), AvailableScreenAreas()));
    if (placed ? grown : made_before) {
      // A window grown for a larger movie, at its place or left where it stood, would reach past
      // its screen (its status bar and the docked panel out of sight): one the player centred is
      // centred again, any other moved the least distance that brings it back inside.
      const QRect now(window_->pos(), outer);
      const QScreen* screen = QGuiApplication::screenAt(now.topLeft());
      if (screen == nullptr) screen = window_->screen();
      const QRect area = screen != nullptr ? screen->availableGeometry() : screen_rect_;
      if (!area.isEmpty() && !area.contains(now) && !WhollyOnScreens(now)) {
        QPoint position;
        if (centred_at_) {
          // Larger than the screen (Zoom Off), its top-left corner still on it.
          position = CentredPosition(screen_rect_, outer);
          position =
              QPoint(std::max(position.x(), area.left()), std::max(position.y(), area.top()));
          centred_at_ = position;
        } else {
          position.setX(
              std::max(area.left(), std::min(now.left(), area.right() + 1 - outer.width())));
          position.setY(
              std::max(area.top(), std::min(now.top(), area.bottom() + 1 - outer.height())));
        }
        window_->move(position);
      }
    }
  }

  // The engine writes into the surface from start to stop; it is only replaced in between, for
  // the next movie. Stopped, it still holds the picture last shown.
  if (surface_wanted_ && !host_.SurfaceInUse()) {
    surface_.Create(movie_.output_width, movie_.output_height, x11_connection_);
    surface_wanted_ = false;
  }

  window_->setWindowTitle(title);
  if (!full_screen) {
    status_->SetPartText(0, QStringLiteral("Size %1x%2").arg(movie_.width).arg(movie_.height));
    status_->SetPartText(1, QStringLiteral("%1 Frames").arg(movie_.frame_count));
  }

  if (full_screen) {
    // Without a window manager the full-screen request is not acted on: cover the screen here.
    if (const QScreen* screen = FullScreenScreen()) window_->setGeometry(screen->geometry());
    window_->showFullScreen();
  } else {
    window_->show();
  }
  frame_->show();
  picture_->show();
  laying_out_ = false;
  SizeVideoWindow();
  picture_->update();
  if (!full_screen) host_.RaiseOtherWindows();
  host_.LayoutDone();
  if (full_screen) {
    window_->raise();
    window_->activateWindow();
  }
  repaint_rect_ = QRect(QPoint(0, 0), picture_->size());
}

void VideoWindowSet::SetFullScreen(bool on, const QString& title) {
  if (on == full_screen_) return;
  if (on) {
    full_screen_on_ = window_ != nullptr ? window_->screen() : nullptr;
    const QScreen* screen = FullScreenScreen();
    saved_screen_size_ = screen != nullptr ? screen->geometry().size() : QSize();
  } else {
    RefreshScreenRect();
  }
  zoom_ = 1.0f;
  zoom_before_fit_.reset();
  Build(on, title);
}

void VideoWindowSet::ZoomOff(const QString& title) {
  zoom_ = 1.0f;
  zoom_before_fit_.reset();
  pixel_for_pixel_ = true;
  Build(full_screen_, title);
}

bool VideoWindowSet::ShowNewPicture() {
  if (!surface_.TakeNewPicture()) return false;
  if (picture_ == nullptr || repaint_rect_.isEmpty()) return true;
  // The server paints a shared picture window: no painting of Qt's is needed to ask it.
  if (picture_->shared() && picture_->isVisible())
    PaintSharedPicture(repaint_rect_);
  else
    picture_->update(repaint_rect_);
  return true;
}

void VideoWindowSet::SizeVideoWindow() {
  if (window_ == nullptr || laying_out_) return;
  const QSize client = window_->size();
  if (full_screen_) {
    frame_->setGeometry(QRect(QPoint(0, 0), client));
  } else {
    // A size the program did not give it: the zoom it comes to is the user's.
    if (client != laid_out_client_) zoom_before_fit_.reset();
    status_->setGeometry(0, client.height() - kStatusBarHeight, client.width(), kStatusBarHeight);
    frame_->setGeometry(0, 0, client.width(), std::max(0, client.height() - kStatusBarHeight));
  }
  // A frame window whose size did not change gets no resize event: fit here as well.
  FitPictureToFrame();
  VideoWindowMoved();
}

void VideoWindowSet::FitPictureToFrame() {
  if (frame_ == nullptr || laying_out_) return;
  const QRect client = frame_->contentsRect();
  const PictureFit fit =
      FitPicture(client.size(), movie_.width, movie_.height, zoom_, frame_->devicePixelRatioF());
  zoom_ = fit.zoom;
  picture_->setGeometry(fit.picture.translated(client.topLeft()));
  repaint_rect_ = QRect(QPoint(0, 0), picture_->size());
}

void VideoWindowSet::VideoWindowMoved() {
  if (window_ == nullptr || laying_out_ || full_screen_) return;
  // The window manager's frame shows itself once the window is on screen.
  const QRect outer = window_->frameGeometry();
  const QRect inner = window_->geometry();
  const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(),
                       outer.right() - inner.right(), outer.bottom() - inner.bottom());
  if (centred_at_ && outer.topLeft() != *centred_at_) centred_at_.reset();  // moved elsewhere
  if (frame != frame_margins_ && !frame.isNull()) {
    frame_margins_ = frame;
    // Fitted to the screen before its frame was known: fitted again, frame and all.
    if (const QScreen* screen = window_->screen()) {
      const float fitted = ZoomThatFits(movie_.width, movie_.height, zoom_,
                                        screen->availableGeometry().size(), FrameSize(frame));
      if (fitted < zoom_) {
        if (!zoom_before_fit_) zoom_before_fit_ = zoom_;
        zoom_ = fitted;
        laid_out_client_ = VideoClientSize(movie_.width, movie_.height, zoom_, false);
        window_->resize(laid_out_client_);
      }
    }
    if (centred_at_) {
      // Centred before its frame was known: centred again, frame and all.
      centred_at_ = CentredPosition(screen_rect_, window_->size() + FrameSize(frame));
      window_->move(*centred_at_);
    }
  }
  host_.VideoWindowMoved(window_->frameGeometry().topLeft());
}

void VideoWindowSet::PaintSharedPicture(const QRect& update) {
  if (picture_ == nullptr || surface_.empty()) return;
  const std::uint32_t window = static_cast<std::uint32_t>(picture_->winId());
  // The window's own pixels, on a screen of more device pixels than pixels too.
  const qreal ratio = picture_->devicePixelRatioF();
  const QSize pixels = (QSizeF(picture_->size()) * ratio).toSize();
  const QRect area =
      QRectF(QPointF(update.topLeft()) * ratio, QSizeF(update.size()) * ratio).toAlignedRect() &
      QRect(QPoint(0, 0), pixels);
  if (area.isEmpty()) return;
  const QImage& image = surface_.image();
  if (pixels == image.size()) {
    // One picture pixel per screen pixel: straight from the shared picture.
    surface_.ShowShared(window, area, area.topLeft());
    return;
  }
  if (!scaled_ || scaled_->width() != pixels.width() || scaled_->height() != pixels.height())
    scaled_ = X11PictureOutput::Create(x11_connection_, pixels.width(), pixels.height(), 1);
  if (!scaled_) return;
  scaled_->Settle();
  ScaleNearest(reinterpret_cast<const std::uint32_t*>(image.constBits()), image.width(),
               image.height(), scaled_->Pixels(0), pixels.width(), pixels.height());
  scaled_->Show(window, 0, area.x(), area.y(), area.width(), area.height(), area.x(), area.y());
}

void VideoWindowSet::PaintPicture(QPainter& painter, const QRect& update) {
  const QImage& image = surface_.image();
  if (image.isNull() || picture_ == nullptr) {
    painter.fillRect(update, kFrameColour);
    return;
  }
  // The window shows the whole picture, nearest pixels, as the server does with a shared one.
  // Mapped through the zoom instead, the side the picture fills could reach one column past it
  // (105 / 1.05 in single precision is just over 100): the picture came out squeezed, the frame
  // colour in its last columns.
  painter.setClipRect(update, Qt::IntersectClip);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(QRect(QPoint(0, 0), picture_->size()), image);
}

}  // namespace tarvel
