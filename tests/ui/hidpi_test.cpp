// The panel and the picture on a screen of two device pixels per pixel (run with
// QT_SCALE_FACTOR=2): the same layout in pixels, the controls drawn from the sheets made at
// twice the size, and the picture still enlarged by repeating pixels.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>

#include "display/video_window.h"
#include "support/quiet_panel_host.h"
#include "support/shown_picture.h"
#include "ui/command_window.h"
#include "ui/control_ids.h"
#include "ui/resources.h"

namespace tarvel {
namespace {

class QuietVideoHost : public PresentationHost {
 public:
  void VideoKeyPressed(QKeyEvent*) override {}
  void FilesDropped(const std::vector<std::string>&, QWidget*) override {}
  void VideoWindowMoved(const QPoint&) override {}
  void RaiseOtherWindows() override {}
  void LayoutDone() override {}
  bool SurfaceInUse() const override { return false; }
};

// The pixels alone, whatever the picture's device-pixel ratio.
QImage Rgb32(const QImage& image) {
  QImage pixels = image.convertToFormat(QImage::Format_RGB32);
  pixels.setDevicePixelRatio(1.0);
  return pixels;
}

TEST(HighDensity, PanelDrawsFromTheLargeSheetsWithTheSameLayout) {
  ASSERT_GE(qApp->devicePixelRatio(), 2.0) << "run with QT_SCALE_FACTOR=2";
  InitResources();
  test::QuietPanelHost host;
  CommandWindow panel(host);
  panel.SetUpControls();
  panel.show();
  EXPECT_EQ(panel.size(), QSize(474, 111));
  EXPECT_EQ(panel.Control(kIdClose)->geometry(), QRect(12, 7, 36, 20));

  // Close, up: the 36 x 20 picture at (0, 234), drawn from the 72 x 40 one at (0, 468).
  const QImage large(QStringLiteral(":/tarvel/skin/buttons_117@2x.png"));
  ASSERT_EQ(large.size(), QSize(384, 620));
  const QImage shown = Rgb32(panel.Control(kIdClose)->grab().toImage());
  ASSERT_EQ(shown.size(), QSize(72, 40));
  EXPECT_EQ(shown, Rgb32(large.copy(0, 468, 72, 40)));
  // A digit at state 7: the large digit sheet's (224, 0).
  panel.SetState(1031, 7);
  const QImage digits(QStringLiteral(":/tarvel/skin/digits_114@2x.png"));
  EXPECT_EQ(Rgb32(panel.Control(1031)->grab().toImage()), Rgb32(digits.copy(224, 0, 36, 52)));
  // For a look: the whole panel, 948 x 222 device pixels.
  QDir().mkpath(QString::fromLatin1(TARVEL_ARTIFACT_DIR));
  EXPECT_TRUE(panel.grab().save(QString::fromLatin1(TARVEL_ARTIFACT_DIR) +
                                QStringLiteral("/panel-hidpi.png")));
}

TEST(HighDensity, PictureRepeatsItsPixels) {
  QuietVideoHost host;
  VideoWindowSet set(host);
  set.SetMovie(MovieFacts{16, 8, 16, 8, 1});
  set.Build(false, QStringLiteral("m.kqm"));
  auto* pixels = reinterpret_cast<std::uint16_t*>(set.surface().bits());
  // Neighbours differ: red counts columns, green rows, blue alternates.
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x)
      pixels[y * 16 + x] =
          static_cast<std::uint16_t>((2 * x) << 10 | (4 * y) << 5 | (x + y) % 2 * 31);
  set.surface().Present();
  set.ShowNewPicture();
  const QImage source = Rgb32(set.surface().image());
  const QImage shown = test::ShownPicture(set.picture_window());
  ASSERT_EQ(shown.size(), QSize(32, 16));
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x)
      ASSERT_EQ(shown.pixel(x, y), source.pixel(x / 2, y / 2)) << x << ", " << y;
}

}  // namespace
}  // namespace tarvel
