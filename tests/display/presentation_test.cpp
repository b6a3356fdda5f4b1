// The layout arithmetic of the video window set, with values worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "display/presentation.h"

namespace tarvel {
namespace {

TEST(PresentationTest, WindowedSizeAddsClientEdgeAndStatusBar) {
  // 320 x 200 at zoom 1: picture 320 x 200, client area 320 + 4 by 200 + 4 + 20.
  EXPECT_EQ(ZoomedPictureSize(320, 200, 1.0f), QSize(320, 200));
  EXPECT_EQ(VideoClientSize(320, 200, 1.0f, false), QSize(324, 224));
  // Full screen has neither edge nor status bar.
  EXPECT_EQ(VideoClientSize(320, 200, 1.0f, true), QSize(320, 200));
  // Sizes are truncated: 7 x 0.5 = 3.5 -> 3, 3 x 0.5 = 1.5 -> 1.
  EXPECT_EQ(ZoomedPictureSize(200, 120, 1.5f), QSize(300, 180));
  EXPECT_EQ(ZoomedPictureSize(7, 3, 0.5f), QSize(3, 1));
}

TEST(PresentationTest, WindowsAreKeptWhereTheyCanBeReached) {
  const QList<QRect> one = {QRect(0, 0, 1280, 1024)};
  const QSize panel(474, 111);
  // Reachable already: unchanged, a window half off the right edge included.
  EXPECT_EQ(KeepReachable(QRect(QPoint(100, 200), panel), one), QPoint(100, 200));
  EXPECT_EQ(KeepReachable(QRect(QPoint(1000, 200), panel), one), QPoint(1000, 200));
  // Far off: a 100 x 40 corner comes back, 1280 - 100 and 1024 - 40.
  EXPECT_EQ(KeepReachable(QRect(QPoint(5000, 300), panel), one), QPoint(1180, 300));
  EXPECT_EQ(KeepReachable(QRect(QPoint(100000, 100000), panel), one), QPoint(1180, 984));
  EXPECT_EQ(KeepReachable(QRect(QPoint(1279, 1023), panel), one), QPoint(1180, 984));
  // Above the screen: the title bar comes down to its top; far left: 100 pixels stay.
  EXPECT_EQ(KeepReachable(QRect(QPoint(20, -2000), panel), one), QPoint(20, 0));
  EXPECT_EQ(KeepReachable(QRect(QPoint(-3000, 50), panel), one), QPoint(100 - 474, 50));
  // A window smaller than the grip stays whole on the screen.
  EXPECT_EQ(KeepReachable(QRect(5000, 5000, 60, 20), one), QPoint(1220, 1004));
  // Two screens side by side: kept on the one it overlaps, brought to the nearest otherwise.
  const QList<QRect> two = {QRect(0, 0, 1280, 1024), QRect(1280, 24, 1920, 1056)};
  EXPECT_EQ(KeepReachable(QRect(QPoint(2000, 10), panel), two), QPoint(2000, 24));
  EXPECT_EQ(KeepReachable(QRect(QPoint(9000, 500), panel), two), QPoint(3100, 500));
  EXPECT_EQ(KeepReachable(QRect(QPoint(300, 300), panel), {}), QPoint(300, 300));
}

TEST(PresentationTest, ScaleNearestRepeatsAndDropsWholePixels) {
  // 3 x 2 enlarged to 5 x 3: columns x * 3 / 5 = 0 0 1 1 2, rows y * 2 / 3 = 0 0 1.
  const std::uint32_t source[] = {1, 2, 3, 4, 5, 6};
  std::uint32_t enlarged[15] = {};
  ScaleNearest(source, 3, 2, enlarged, 5, 3);
  const std::uint32_t expected[] = {1, 1, 2, 2, 3, 1, 1, 2, 2, 3, 4, 4, 5, 5, 6};
  EXPECT_TRUE(std::equal(std::begin(enlarged), std::end(enlarged), std::begin(expected)));
  // Shrunk to 2 x 1: columns 0 and 1, row 0.
  std::uint32_t shrunk[2] = {};
  ScaleNearest(source, 3, 2, shrunk, 2, 1);
  EXPECT_EQ(shrunk[0], 1u);
  EXPECT_EQ(shrunk[1], 2u);
}

TEST(PresentationTest, FitTakesTheSmallerRatioAndCentres) {
  // 640 x 400 for a 320 x 200 picture: zoom 2, picture fills it.
  PictureFit fit = FitPicture(QSize(640, 400), 320, 200, 1.0f);
  EXPECT_FLOAT_EQ(fit.zoom, 2.0f);
  EXPECT_EQ(fit.picture, QRect(0, 0, 640, 400));
  // 700 x 400: still zoom 2 (400 / 200), margins of (700 - 640) / 2 = 30 at each side.
  fit = FitPicture(QSize(700, 400), 320, 200, 1.0f);
  EXPECT_FLOAT_EQ(fit.zoom, 2.0f);
  EXPECT_EQ(fit.picture, QRect(30, 0, 640, 400));
  // Taller than wide: 320 x 300 gives zoom 1, picture 320 x 200 at y = 50.
  fit = FitPicture(QSize(320, 300), 320, 200, 3.0f);
  EXPECT_FLOAT_EQ(fit.zoom, 1.0f);
  EXPECT_EQ(fit.picture, QRect(0, 50, 320, 200));
  // Odd margins round down: 321 wide leaves 0 and 1.
  fit = FitPicture(QSize(321, 200), 320, 200, 1.0f);
  EXPECT_EQ(fit.picture.topLeft(), QPoint(0, 0));
}

// The side the picture fills gets every device pixel of it, with no black row beside it.
TEST(PresentationTest, FitFillsTheClientToItsLastDevicePixel) {
  // 683 / 166 in single precision, times 166, comes to just under 683: the 166-row picture
  // takes all 683 rows, 100 x 4.114... = 411 columns, centred at (1000 - 411) / 2 = 294.
  EXPECT_EQ(FitPicture(QSize(1000, 683), 100, 166, 1.0f).picture, QRect(294, 0, 411, 683));
  // At 1.5 device pixels per pixel, a 1280 x 1024 screen is 853 x 683 pixels, which the window
  // library makes 1280 x 1025 device pixels (853 x 1.5 = 1279.5 and 683 x 1.5 = 1024.5, rounded
  // up). A 640 x 480 movie fits at 2 device pixels per picture pixel: 1280 x 960 device pixels,
  // (1025 - 960) / 2 = 32 rows down; in pixels 853 x 640 at y = 21 (32 / 1.5 = 21.3), which
  // the window library makes 1280 x 960 at y = 32 again. The zoom in pixels is 2 / 1.5.
  const PictureFit fit = FitPicture(QSize(853, 683), 640, 480, 1.0f, 1.5);
  EXPECT_EQ(fit.picture, QRect(0, 21, 853, 640));
  EXPECT_FLOAT_EQ(fit.zoom, 2.0f / 1.5f);
}

TEST(PresentationTest, FitSurvivesEmptyClientsAndPictures) {
  // A minimised window: zoom 0 and an empty picture, nothing divided by zero later.
  PictureFit fit = FitPicture(QSize(0, 0), 320, 200, 1.0f);
  EXPECT_FLOAT_EQ(fit.zoom, 0.0f);
  EXPECT_TRUE(fit.picture.isEmpty());
  // No movie yet: the zoom stays.
  fit = FitPicture(QSize(100, 100), 0, 0, 1.5f);
  EXPECT_FLOAT_EQ(fit.zoom, 1.5f);
  EXPECT_TRUE(fit.picture.isEmpty());
}

TEST(PresentationTest, CentredPosition) {
  // (1024 - 324) / 2 = 350, (768 - 224) / 2 = 272.
  EXPECT_EQ(CentredPosition(QRect(0, 0, 1024, 768), QSize(324, 224)), QPoint(350, 272));
  // Integer division of odd differences: (1025 - 324) / 2 = 350.
  EXPECT_EQ(CentredPosition(QRect(0, 0, 1025, 769), QSize(324, 224)), QPoint(350, 272));
}

}  // namespace
}  // namespace tarvel
