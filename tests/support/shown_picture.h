// What a widget shows, as 32-bit pixels: drawn by the widget itself, or, on a real X server
// (where the picture window is painted by the server from shared memory), read back from the
// screen.
#pragma once

#include <QtWidgets/qtestsupport_widgets.h>
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
    // A window holds a picture only once the server has exposed it, and what is painted reaches
    // the screen in the server's own time: wait for the first, paint now, and let the server
    // catch up before reading the screen back.
    if (!QTest::qWaitForWindowExposed(top, 60000)) return image;
    widget->repaint();
    QGuiApplication::sync();
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
