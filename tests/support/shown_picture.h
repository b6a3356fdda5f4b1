// What a widget shows, as 32-bit pixels: drawn by the widget itself, or, on a real X server
// (where the picture window is painted by the server from shared memory), read back from the
// screen.
#pragma once

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QWidget>

namespace tarvel::test {

inline QImage ShownPicture(QWidget* widget) {
  QApplication::processEvents();
  QImage image;
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    QWidget* top = widget->window();
    const QPoint at = widget->mapTo(top, QPoint(0, 0));
    image = top->screen()
                ->grabWindow(top->winId(), at.x(), at.y(), widget->width(), widget->height())
                .toImage();
  } else {
    image = widget->grab().toImage();
  }
  image = image.convertToFormat(QImage::Format_RGB32);
  image.setDevicePixelRatio(1.0);
  return image;
}

}  // namespace tarvel::test
