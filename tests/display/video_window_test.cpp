// The video window set as widgets: layout, fit on resize, Zoom Off, full screen, placement,
// painting of the surface and its margins.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <random>
#include <vector>

#include "display/presentation.h"
#include "display/video_window.h"
#include "support/shown_picture.h"
#include "video/pixel_expand.h"

namespace tarvel {
namespace {

class RecordingHost : public PresentationHost {
 public:
  void VideoKeyPressed(QKeyEvent* event) override { keys.push_back(event->key()); }
  void FilesDropped(const std::vector<std::string>& paths, QWidget*) override {
    for (const std::string& path : paths) dropped.append(QString::fromStdString(path));
  }
  void VideoWindowMoved(const QPoint& origin) override { moves.push_back(origin); }
  void RaiseOtherWindows() override { ++raised; }
  void LayoutDone() override { ++layouts; }
  bool SurfaceInUse() const override { return playing; }

  std::vector<int> keys;
  QStringList dropped;
  std::vector<QPoint> moves;
  int raised = 0;
  int layouts = 0;
  bool playing = false;
};

class VideoWindowTest : public ::testing::Test {
 protected:
  void SetMovie(std::uint32_t width, std::uint32_t height, std::int32_t frames) {
    set.SetMovie(MovieFacts{width, height, width, height, frames});
  }
  void Settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
  }
  // A picture whose every pixel differs from its neighbours (red counts columns, green rows),
  // presented and put on screen.
  void FillPattern() {
    PictureSurface& surface = set.surface();
    auto* pixels = reinterpret_cast<std::uint16_t*>(surface.bits());
    for (std::uint32_t y = 0; y < surface.height(); ++y)
      for (std::uint32_t x = 0; x < surface.width(); ++x)
        pixels[y * surface.width() + x] =
            static_cast<std::uint16_t>(((x % 32) << 10) | ((y % 32) << 5) | ((x / 32) % 32));
    surface.Present();
    set.ShowNewPicture();
  }

  RecordingHost host;
  VideoWindowSet set{host};
};

// `image` as a screen of the depth of the one the tests run on shows it: a 16-bit screen keeps
// 5 or 6 bits of each component.
QImage AsOnThisScreen(const QImage& image) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr || screen->depth() >= 24) return image;
  return image.convertToFormat(screen->depth() == 15 ? QImage::Format_RGB555 : QImage::Format_RGB16)
      .convertToFormat(QImage::Format_RGB32);
}

TEST_F(VideoWindowTest, WindowedLayoutOfA320x200Movie) {
  SetMovie(320, 200, 40);
  set.Build(false, QStringLiteral("/movies/first.kqm"));
  Settle();
  ASSERT_TRUE(set.exists());
  EXPECT_EQ(set.video_window()->size(), QSize(324, 224));
  EXPECT_EQ(set.frame_window()->geometry(), QRect(0, 0, 324, 204));
  EXPECT_EQ(set.status_bar()->geometry(), QRect(0, 204, 324, 20));
  // Inside the 2-pixel client edge.
  EXPECT_EQ(set.picture_window()->geometry(), QRect(2, 2, 320, 200));
  EXPECT_FLOAT_EQ(set.zoom(), 1.0f);
  EXPECT_EQ(set.repaint_rect(), QRect(0, 0, 320, 200));
  EXPECT_EQ(set.video_window()->windowTitle(), QStringLiteral("/movies/first.kqm"));
  EXPECT_EQ(set.status_bar()->PartText(0), QStringLiteral("Size 320x200"));
  EXPECT_EQ(set.status_bar()->PartText(1), QStringLiteral("40 Frames"));
  // Screen readers read what the bar shows, a problem in place of the parts.
  QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(set.status_bar());
  EXPECT_EQ(bar->text(QAccessible::Name), QStringLiteral("Size 320x200, 40 Frames"));
  set.status_bar()->ShowProblem(QStringLiteral("cannot go to frame 50"));
  EXPECT_EQ(bar->text(QAccessible::Name), QStringLiteral("cannot go to frame 50"));
  EXPECT_GE(host.raised, 1);
  EXPECT_GE(host.layouts, 1);

  // A new surface is all zero.
  ASSERT_FALSE(set.surface().empty());
  EXPECT_EQ(set.surface().width(), 320u);
  EXPECT_EQ(set.surface().height(), 200u);
  const std::uint16_t* pixels = set.surface().pixels();
  bool all_zero = true;
  for (std::size_t i = 0; i < 320u * 200u; ++i) all_zero = all_zero && pixels[i] == 0;
  EXPECT_TRUE(all_zero);
}

// Dark pixels (text) in the columns [from, to) of a picture.
int DarkPixels(const QImage& image, int from, int to) {
  int dark = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = from; x < to && x < image.width(); ++x)
      if (qGray(image.pixel(x, y)) < 80) ++dark;
  return dark;
}

TEST_F(VideoWindowTest, StatusBarOfANarrowMovieShowsBothParts) {
  EXPECT_EQ(StatusPartEdges(1000), (std::array<int, 2>{320, 640}));
  EXPECT_EQ(StatusPartEdges(640), (std::array<int, 2>{320, 640}));
  EXPECT_EQ(StatusPartEdges(324), (std::array<int, 2>{162, 324}));
  // A 320-pixel movie: the frame count is drawn in the right half of its 324-pixel bar.
  SetMovie(320, 240, 7);
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  const QImage bar = set.status_bar()->grab().toImage();
  ASSERT_EQ(bar.width(), 324);
  EXPECT_GT(DarkPixels(bar, 0, 160), 0);
  EXPECT_GT(DarkPixels(bar, 166, 320), 0);
}

TEST_F(VideoWindowTest, ResizingFitsThePictureAndZoomOffUndoesIt) {
  SetMovie(320, 200, 10);
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  // Client 704 x 424: frame client 700 x 400, zoom 2, picture 640 x 400 at (30, 0) inside the
  // edge.
  set.video_window()->resize(704, 424);
  Settle();
  EXPECT_FLOAT_EQ(set.zoom(), 2.0f);
  EXPECT_EQ(set.picture_window()->geometry(), QRect(32, 2, 640, 400));
  EXPECT_EQ(set.repaint_rect(), QRect(0, 0, 640, 400));

  set.ZoomOff(QStringLiteral("m.kqm"));
  Settle();
  EXPECT_FLOAT_EQ(set.zoom(), 1.0f);
  EXPECT_EQ(set.video_window()->size(), QSize(324, 224));
  EXPECT_EQ(set.picture_window()->geometry(), QRect(2, 2, 320, 200));
}

TEST_F(VideoWindowTest, PaintsTheSurfaceWithNearestPixelsAndFillsTheMargins) {
  SetMovie(64, 48, 1);
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  FillPattern();
  const QImage source = AsOnThisScreen(set.surface().image().convertToFormat(QImage::Format_RGB32));

  QImage shown = test::ShownPicture(set.picture_window());
  ASSERT_EQ(shown.size(), QSize(64, 48));
  EXPECT_EQ(shown, source);

  // A frame client of 148 x 96: zoom min(148 / 64, 96 / 48) = 2, picture 128 x 96 with
  // margins of 10 each side.
  set.video_window()->resize(2 * 64 + 20 + 4, 2 * 48 + 4 + 20);
  Settle();
  ASSERT_FLOAT_EQ(set.zoom(), 2.0f);
  EXPECT_EQ(set.picture_window()->geometry(), QRect(2 + 10, 2, 128, 96));
  shown = test::ShownPicture(set.picture_window());
  ASSERT_EQ(shown.size(), QSize(128, 96));
  int mismatches = 0;
  for (int y = 0; y < 96; ++y)
    for (int x = 0; x < 128; ++x)
      if (shown.pixel(x, y) != source.pixel(x / 2, y / 2)) ++mismatches;
  EXPECT_EQ(mismatches, 0);

  // The margins beside the picture are in the frame colour (black).
  const QImage frame = test::ShownPicture(set.frame_window());
  EXPECT_EQ(frame.pixel(5, 50), qRgb(0, 0, 0));
  EXPECT_EQ(frame.pixel(2 + 10 + 128 + 4, 50), qRgb(0, 0, 0));
  EXPECT_EQ(frame.pixel(2 + 10, 2), source.pixel(0, 0));
}

// A picture fitted to its window reaches the window's last column and row.
TEST_F(VideoWindowTest, AFittedPictureIsDrawnToItsLastColumnAndRow) {
  SetMovie(100, 120, 1);
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  FillPattern();
  const QImage source = AsOnThisScreen(set.surface().image().convertToFormat(QImage::Format_RGB32));
  // A frame client of 105 x 240: the 100 columns fill its 105, at a zoom just under 1.05.
  set.video_window()->resize(105 + 4, 240 + 4 + 20);
  Settle();
  const QSize size = set.picture_window()->size();
  ASSERT_EQ(size.width(), 105);
  const QImage shown = test::ShownPicture(set.picture_window());
  ASSERT_EQ(shown.size(), size);
  const int right = size.width() - 1;
  const int bottom = size.height() - 1;
  EXPECT_EQ(shown.pixel(right, 0), source.pixel(99, 0));
  EXPECT_EQ(shown.pixel(0, bottom), source.pixel(0, 119));
  EXPECT_EQ(shown.pixel(right, bottom), source.pixel(99, 119));
}

TEST_F(VideoWindowTest, SurfaceStaysWhilePlaying) {
  SetMovie(32, 16, 1);
  set.Build(false, QStringLiteral("m.kqm"));
  FillPattern();
  const std::uint8_t* bits = set.surface().bits();
  const std::uint16_t sample = set.surface().pixels()[5];
  ASSERT_NE(sample, 0);
  // The engine writes into the surface between start and stop: a layout then keeps it.
  host.playing = true;
  set.ZoomOff(QStringLiteral("m.kqm"));
  host.playing = false;
  EXPECT_EQ(set.surface().bits(), bits);
  EXPECT_EQ(set.surface().pixels()[5], sample);
  // Stopped, full screen shows the picture stopped on; the next movie's layout makes a fresh,
  // zero surface.
  set.SetFullScreen(true, QStringLiteral("m.kqm"));
  EXPECT_EQ(set.surface().pixels()[5], sample);
  SetMovie(32, 16, 1);
  set.Build(true, QStringLiteral("m.kqm"));
  EXPECT_EQ(set.surface().pixels()[5], 0);
}

TEST_F(VideoWindowTest, FullScreenFitsThePictureToTheScreenAndBack) {
  SetMovie(320, 200, 10);
  set.Build(false, QStringLiteral("m.kqm"));
  set.video_window()->resize(704, 424);
  Settle();
  ASSERT_FLOAT_EQ(set.zoom(), 2.0f);
  const QSize screen = QGuiApplication::primaryScreen()->geometry().size();

  set.SetFullScreen(true, QStringLiteral("m.kqm"));
  Settle();
  EXPECT_TRUE(set.full_screen());
  EXPECT_FALSE(set.status_bar()->isVisible());
  EXPECT_FALSE(set.frame_window()->client_edge());
  EXPECT_EQ(set.video_window()->size(), screen);
  EXPECT_EQ(set.saved_screen_size(), screen);
  // The picture is fitted to the screen and centred.
  const PictureFit fit = FitPicture(screen, 320, 200, 1.0f);
  EXPECT_FLOAT_EQ(set.zoom(), fit.zoom);
  EXPECT_EQ(set.picture_window()->geometry(), fit.picture);
  // The screen made smaller (a resolution change): the window and its picture follow.
  emit QGuiApplication::primaryScreen()->geometryChanged(QRect(0, 0, 640, 480));
  Settle();
  EXPECT_EQ(set.video_window()->size(), QSize(640, 480));
  EXPECT_EQ(set.picture_window()->geometry(), QRect(0, 40, 640, 400));

  set.SetFullScreen(false, QStringLiteral("m.kqm"));
  Settle();
  EXPECT_FALSE(set.full_screen());
  EXPECT_FLOAT_EQ(set.zoom(), 1.0f);
  EXPECT_TRUE(set.status_bar()->isVisible());
  EXPECT_TRUE(set.frame_window()->client_edge());
  EXPECT_EQ(set.video_window()->size(), QSize(324, 224));
}

// Two monitors side by side: full screen covers the one the video window stands on, and a
// window is fitted to the one it is placed on.
TEST_F(VideoWindowTest, FullScreenAndFitFollowTheMonitorOfTheWindow) {
  const QList<QScreen*> screens = QGuiApplication::screens();
  if (screens.size() < 2) GTEST_SKIP() << "one monitor here";
  QScreen* other = screens[0] == QGuiApplication::primaryScreen() ? screens[1] : screens[0];
  SetMovie(320, 200, 10);
  set.set_saved_position(other->geometry().topLeft() + QPoint(40, 40));
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  ASSERT_EQ(set.video_window()->screen(), other);
  set.SetFullScreen(true, QStringLiteral("m.kqm"));
  Settle();
  EXPECT_EQ(set.video_window()->geometry(), other->geometry());
  EXPECT_EQ(set.saved_screen_size(), other->geometry().size());
  // A movie too large for the smaller monitor its window's place is on is zoomed out to fit it.
  VideoWindowSet large(host);
  large.SetMovie(MovieFacts{1200, 900, 8, 8, 1});
  large.set_saved_position(other->availableGeometry().topLeft());
  large.Build(false, QStringLiteral("large.kqm"));
  Settle();
  EXPECT_LT(large.zoom(), 1.0f);
  EXPECT_TRUE(other->availableGeometry().contains(large.video_window()->frameGeometry()));
}

// The primary monitor to the right of the other: a window without a place of its own is
// centred on the primary one, not on a rectangle of its size at the desktop's top-left corner.
TEST_F(VideoWindowTest, ACentredWindowGoesToThePrimaryMonitor) {
  const QScreen* primary = QGuiApplication::primaryScreen();
  if (primary->geometry().topLeft() == QPoint(0, 0)) GTEST_SKIP() << "primary monitor at 0, 0";
  SetMovie(320, 200, 10);
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  EXPECT_EQ(set.video_window()->screen(), primary);
  const QRect outer = set.video_window()->frameGeometry();
  EXPECT_EQ(outer.topLeft(), CentredPosition(primary->geometry(), outer.size()));
}

TEST_F(VideoWindowTest, SavedPositionOrCentred) {
  SetMovie(320, 200, 10);
  set.set_screen_rect(QRect(0, 0, 1024, 768));
  set.set_saved_position(QPoint(0, 40));
  // The window as the screen shows it is centred, frame and all. Here the platform's frame is
  // learned from the window itself once it is shown, and the window is centred again with it.
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  const QSize outer = set.video_window()->frameGeometry().size();
  if (outer == QSize(324, 224)) GTEST_SKIP() << "no window frame here: nothing to tell apart";
  EXPECT_EQ(set.video_window()->pos(), CentredPosition(set.screen_rect(), outer));

  VideoWindowSet placed(host);
  placed.SetMovie(set.movie());
  placed.set_saved_position(QPoint(1, 40));
  placed.Build(false, QStringLiteral("m.kqm"));
  Settle();
  EXPECT_EQ(placed.video_window()->pos(), QPoint(1, 40));
}

TEST_F(VideoWindowTest, AWindowMadeAfterAResolutionChangeIsCentredOnTheScreenAsItIsNow) {
  SetMovie(320, 200, 10);
  QScreen* screen = QGuiApplication::primaryScreen();
  const QRect now(QPoint(0, 0), screen->geometry().size());
  // Started on a larger screen, whose resolution was then changed to this one's.
  set.set_screen_rect(QRect(0, 0, now.width() + 1120, now.height() + 480));
  emit screen->geometryChanged(screen->geometry());
  EXPECT_EQ(set.screen_rect(), now);
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  EXPECT_TRUE(now.contains(set.video_window()->frameGeometry()));
}

TEST_F(VideoWindowTest, TheNextMovieKeepsTheWindowWithinReach) {
  SetMovie(320, 200, 10);
  set.set_saved_position(QPoint(1, 40));
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  // Its place saved when the screen was larger: a 100 x 40 corner comes back onto this one.
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  set.set_saved_position(QPoint(area.x() + area.width() + 3000, 40));
  set.Build(false, QStringLiteral("n.kqm"));
  Settle();
  EXPECT_EQ(set.video_window()->pos(), QPoint(area.x() + area.width() - 100, 40));
}

// A window centred for a small movie, grown for a large one, comes back inside its screen.
TEST_F(VideoWindowTest, AWindowGrownForTheNextMovieStaysOnItsScreen) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  SetMovie(160, 120, 10);
  set.Build(false, QStringLiteral("small.kqm"));
  Settle();
  // Three quarters of the screen each way: it fits, but not from the small window's centred place.
  SetMovie(static_cast<std::uint32_t>(area.width() * 3 / 4),
           static_cast<std::uint32_t>(area.height() * 3 / 4), 10);
  set.Build(false, QStringLiteral("large.kqm"));
  Settle();
  const QRect outer = set.video_window()->frameGeometry();
  EXPECT_TRUE(area.contains(outer))
      << outer.x() << "," << outer.y() << " " << outer.width() << "x" << outer.height();
  EXPECT_TRUE(set.centred());
}

// So does one the user placed (its place kept) near the screen's far corner.
TEST_F(VideoWindowTest, APlacedWindowGrownForTheNextMovieStaysOnItsScreen) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  set.set_saved_position(area.bottomRight() - QPoint(300, 200));
  SetMovie(160, 120, 10);
  set.Build(false, QStringLiteral("small.kqm"));
  Settle();
  ASSERT_EQ(set.video_window()->pos(), area.bottomRight() - QPoint(300, 200));
  SetMovie(static_cast<std::uint32_t>(area.width() / 2),
           static_cast<std::uint32_t>(area.height() / 2), 10);
  set.Build(false, QStringLiteral("large.kqm"));
  Settle();
  // Moved up and to the left just far enough: its far corner on the screen's.
  const QRect outer = set.video_window()->frameGeometry();
  EXPECT_EQ(outer.bottomRight(), area.bottomRight())
      << outer.x() << "," << outer.y() << " " << outer.width() << "x" << outer.height();
}

TEST_F(VideoWindowTest, AMovieLargerThanTheScreenIsZoomedOutToFit) {
  const QSize room = QGuiApplication::primaryScreen()->availableGeometry().size();
  // 8192 x 8192: the zoom that fits the picture, the window's 4 + 24 pixels of edge and status
  // bar and the frame the platform puts around windows into the screen's height (the smaller
  // room). (Presented small here, so that the test does not hold pictures of that size.)
  set.SetMovie(MovieFacts{8192, 8192, 8, 8, 1});
  set.Build(false, QStringLiteral("huge.kqm"));
  Settle();
  const QRect outer = set.video_window()->frameGeometry();
  const int frame_height = outer.height() - set.video_window()->height();
  const float zoom = static_cast<float>(room.height() - 24 - frame_height) / 8192.0f;
  EXPECT_FLOAT_EQ(set.zoom(), zoom);
  EXPECT_LE(outer.height(), room.height());
  EXPECT_LE(outer.width(), room.width());
  // Pure: a 320 x 200 movie fits as it is; a frame counts.
  EXPECT_FLOAT_EQ(ZoomThatFits(320, 200, 1.0f, QSize(800, 600), QSize(8, 28)), 1.0f);
  EXPECT_FLOAT_EQ(ZoomThatFits(640, 480, 2.0f, QSize(800, 600), QSize(0, 0)),
                  (600.0f - 24.0f) / 480.0f);
}

// Zoom Off over such a movie gives one picture pixel per pixel all the same, its title bar on
// the screen.
TEST_F(VideoWindowTest, ZoomOffShowsAMovieLargerThanTheScreenPixelForPixel) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  SetMovie(static_cast<std::uint32_t>(area.width() + 100),
           static_cast<std::uint32_t>(area.height() + 50), 10);
  set.Build(false, QStringLiteral("large.kqm"));
  Settle();
  ASSERT_LT(set.zoom(), 1.0f);
  set.ZoomOff(QStringLiteral("large.kqm"));
  Settle();
  EXPECT_FLOAT_EQ(set.zoom(), 1.0f);
  // The picture, its 2-pixel edge all round and the 20-pixel status bar.
  EXPECT_EQ(set.video_window()->size(), QSize(area.width() + 104, area.height() + 74));
  EXPECT_EQ(set.video_window()->frameGeometry().topLeft(), area.topLeft());
}

// The zoom lowered for a movie too large for the screen is that movie's: the next one opens at
// the zoom chosen before it.
TEST_F(VideoWindowTest, TheNextMovieOpensAtTheZoomChosenBeforeAFit) {
  set.SetMovie(MovieFacts{320, 8192, 8, 8, 1});
  set.Build(false, QStringLiteral("tall.kqm"));
  Settle();
  ASSERT_LT(set.zoom(), 0.5f);
  SetMovie(160, 120, 10);
  set.Build(false, QStringLiteral("small.kqm"));
  Settle();
  EXPECT_FLOAT_EQ(set.zoom(), 1.0f);
  EXPECT_EQ(set.video_window()->size(), QSize(164, 144));
}

TEST_F(VideoWindowTest, KeysReachTheHostAndCloseIsRefused) {
  SetMovie(32, 16, 1);
  set.Build(false, QStringLiteral("m.kqm"));
  Settle();
  QKeyEvent key(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
  QApplication::sendEvent(set.video_window(), &key);
  ASSERT_EQ(host.keys.size(), 1u);
  EXPECT_EQ(host.keys[0], Qt::Key_Space);
  // The video window's close box does nothing.
  EXPECT_FALSE(set.video_window()->close());
  EXPECT_TRUE(set.video_window()->isVisible());
}

TEST(PictureSurfaceTest, FiveFiveFiveRowsBackToBackShownAsThirtyTwoBitPictures) {
  PictureSurface surface;
  ASSERT_TRUE(surface.Create(16, 8));
  EXPECT_EQ(surface.image().format(), QImage::Format_RGB32);
  EXPECT_EQ(surface.image().pixel(3, 2), qRgb(0, 0, 0));  // black until a picture comes
  auto* words = reinterpret_cast<std::uint16_t*>(surface.bits());
  // Row 2 starts 2 x 16 x 2 = 64 bytes in: pixel (3, 2) is word 35.
  words[35] = 0x7C00;  // red
  words[36] = 0x03E0;  // green
  words[37] = 0x001F;  // blue
  EXPECT_FALSE(surface.TakeNewPicture());
  surface.Present();
  EXPECT_EQ(surface.image().pixel(3, 2), qRgb(0, 0, 0));  // not taken yet
  ASSERT_TRUE(surface.TakeNewPicture());
  EXPECT_FALSE(surface.TakeNewPicture());
  EXPECT_EQ(surface.image().pixel(3, 2), qRgb(255, 0, 0));
  EXPECT_EQ(surface.image().pixel(4, 2), qRgb(0, 255, 0));
  EXPECT_EQ(surface.image().pixel(5, 2), qRgb(0, 0, 255));
  EXPECT_EQ(surface.image().pixel(3, 1), qRgb(0, 0, 0));

  // Two pictures before the window looks: the second is shown, the first never.
  words[35] = 0x0421;  // 1, 1, 1 -> 8, 8, 8
  surface.Present();
  words[35] = 0x4210;  // 16, 16, 16 -> 132, 132, 132
  surface.Present();
  ASSERT_TRUE(surface.TakeNewPicture());
  EXPECT_EQ(surface.image().pixel(3, 2), qRgb(132, 132, 132));

  // A new surface starts all zero again.
  ASSERT_TRUE(surface.Create(16, 8));
  EXPECT_EQ(surface.pixels()[35], 0);
  EXPECT_EQ(surface.image().pixel(3, 2), qRgb(0, 0, 0));
  EXPECT_FALSE(surface.Create(0, 8));
  EXPECT_FALSE(surface.Create(16384, 8192));  // more than any movie may hold: never allocated
  EXPECT_TRUE(surface.empty());
  EXPECT_TRUE(surface.image().isNull());
}

// Pictures presented with the blocks that changed are shown as if each had been widened whole,
// however the three pictures go round (the window taking some pictures and missing others),
// across a change of pixel format, a picture that changed everywhere and pictures skipped.
TEST(PictureSurfaceTest, ChangedBlocksAloneGiveTheSamePicturesAsWholeOnes) {
  constexpr int kWidth = 24;
  constexpr int kHeight = 16;  // 3 x 2 blocks
  PictureSurface surface;
  ASSERT_TRUE(surface.Create(kWidth, kHeight));
  auto* words = reinterpret_cast<std::uint16_t*>(surface.bits());
  std::mt19937 random(7);
  std::vector<std::uint32_t> expected;  // the last presented picture, widened whole
  for (int step = 0; step < 400; ++step) {
    std::vector<std::uint32_t> blocks;
    for (std::uint32_t block = 0; block < 6; ++block) {
      if (random() % 3 != 0) continue;
      blocks.push_back(block);
      const int x0 = static_cast<int>(block % 3) * 8;
      const int y0 = static_cast<int>(block / 3) * 8;
      const int x = x0 + static_cast<int>(random() % 8);
      const int y = y0 + static_cast<int>(random() % 8);
      words[y * kWidth + x] = static_cast<std::uint16_t>(random());
    }
    BlockChanges changes;
    changes.whole = step % 97 == 0;
    if (changes.whole) words[random() % (kWidth * kHeight)] ^= 0x5555;  // outside any list
    changes.blocks = blocks.data();
    changes.count = blocks.size();
    if (random() % 5 == 0) {
      // A picture that is not shown: the next one shown has its changes too.
      surface.Skip(changes);
      continue;
    }
    const bool format565 = step >= 200 && step < 300;
    surface.Present(words, format565, changes);
    expected.assign(kWidth * kHeight, 0);
    ExpandPixelsToXrgb32(words, expected.size(), format565, expected.data());
    if (random() % 2 == 0) {
      ASSERT_TRUE(surface.TakeNewPicture());
      const QImage& image = surface.image();
      for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
          ASSERT_EQ(image.pixel(x, y), expected[static_cast<std::size_t>(y * kWidth + x)])
              << "step " << step << " at " << x << ", " << y;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarvel
