// Draws the player's skin: the button sheet (117), the digit sheet (114), the panel background
// (116), the small bitmaps (119, 125, 127), the icon (123) and the cursor (128), as PNG files.
// Every picture sits at the place and size the control table reads it from; text is drawn
// with built-in pixel fonts so that the output does not depend on the fonts installed. Each
// picture is drawn twice: at its own size, and at twice the size for screens of two device
// pixels per pixel or more (NAME@2x.png), from the same drawing.
//
//   tarvel_skin_generator SKIN_DIR [ICON_DIR]
//
// With ICON_DIR it also draws the program's icon for installation, as an icon theme's tree:
// <n>x<n>/apps/tarvel.png for the usual sizes and scalable/apps/tarvel.svg.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Palette

const QColor kPanel(58, 64, 78);
const QColor kPanelLight(96, 104, 122);
const QColor kPanelDark(30, 33, 41);
const QColor kLcd(6, 12, 10);
const QColor kLcdLit(96, 236, 170);
const QColor kLcdGhost(18, 38, 31);
const QColor kLcdLabel(120, 170, 150);
const QColor kIcon(222, 228, 238);
const QColor kIconActive(255, 190, 70);
const QColor kFaceTop(118, 126, 146);
const QColor kFaceBottom(70, 76, 92);
const QColor kFaceDownTop(44, 48, 60);
const QColor kFaceDownBottom(62, 68, 84);

// ---------------------------------------------------------------------------------------------
// Pixel fonts: 5 x 7 for labels, 3 x 5 for the indicators. Each row is a bit pattern, most
// significant of the used bits on the left.

struct Glyph {
  char c;
  unsigned char rows[7];
};

const Glyph kFont5x7[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'/', {0x01, 0x02, 0x02, 0x04, 0x08, 0x08, 0x10}},
    {' ', {0, 0, 0, 0, 0, 0, 0}},
};

const Glyph kFont3x5[] = {
    {'1', {0x2, 0x6, 0x2, 0x2, 0x7}}, {'2', {0x6, 0x1, 0x2, 0x4, 0x7}},
    {'4', {0x5, 0x5, 0x7, 0x1, 0x1}}, {'.', {0x0, 0x0, 0x0, 0x0, 0x2}},
    {'E', {0x7, 0x4, 0x6, 0x4, 0x7}}, {'H', {0x5, 0x5, 0x7, 0x5, 0x5}},
    {'K', {0x5, 0x5, 0x6, 0x5, 0x5}}, {'M', {0x5, 0x7, 0x7, 0x5, 0x5}},
    {'N', {0x6, 0x5, 0x5, 0x5, 0x5}}, {'O', {0x7, 0x5, 0x5, 0x5, 0x7}},
    {'R', {0x6, 0x5, 0x6, 0x5, 0x5}}, {'S', {0x7, 0x4, 0x7, 0x1, 0x7}},
    {'T', {0x7, 0x2, 0x2, 0x2, 0x2}}, {'Z', {0x7, 0x1, 0x2, 0x4, 0x7}},
    {' ', {0, 0, 0, 0, 0}},
};

template <std::size_t N>
const Glyph* FindGlyph(const Glyph (&font)[N], char c) {
  for (const Glyph& glyph : font)
    if (glyph.c == c) return &glyph;
  return nullptr;
}

// Width in pixels of `text` in a font of `glyph_width` columns with one column between glyphs.
int TextWidth(const char* text, int glyph_width) {
  const int count = static_cast<int>(std::strlen(text));
  return count == 0 ? 0 : count * (glyph_width + 1) - 1;
}

template <std::size_t N>
void DrawPixelText(QPainter& painter, int x, int y, const char* text, const Glyph (&font)[N],
                   int glyph_width, int glyph_height, const QColor& colour) {
  for (const char* p = text; *p != '\0'; ++p) {
    const Glyph* glyph = FindGlyph(font, *p);
    if (glyph != nullptr) {
      for (int row = 0; row < glyph_height; ++row)
        for (int column = 0; column < glyph_width; ++column)
          if ((glyph->rows[row] >> (glyph_width - 1 - column)) & 1)
            painter.fillRect(QRect(x + column, y + row, 1, 1), colour);
    }
    x += glyph_width + 1;
  }
}

void DrawLabel(QImage& image, const QRect& area, const char* text, const QColor& colour) {
  const int x = area.x() + (area.width() - TextWidth(text, 5)) / 2;
  const int y = area.y() + (area.height() - 7) / 2;
  QPainter painter(&image);
  DrawPixelText(painter, x, y, text, kFont5x7, 5, 7, colour);
}

void DrawSmallText(QImage& image, int x, int y, const char* text, const QColor& colour) {
  QPainter painter(&image);
  DrawPixelText(painter, x, y, text, kFont3x5, 3, 5, colour);
}

// ---------------------------------------------------------------------------------------------
// Seven-segment digits

// Segments a-g of the digits 0-9 (bit 0 = a ... bit 6 = g).
const unsigned char kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// A digit `w` x `h` pixels at (x, y) with strokes `t` thick; unlit segments are drawn faintly.
void DrawSevenSegment(QImage& image, int x, int y, int w, int h, int t, int digit) {
  const int mid = (h - t) / 2;
  const QRect segments[7] = {
      QRect(x + t, y, w - 2 * t, t),                      // a: top
      QRect(x + w - t, y + t, t, mid - t),                // b: upper right
      QRect(x + w - t, y + mid + t, t, h - mid - 2 * t),  // c: lower right
      QRect(x + t, y + h - t, w - 2 * t, t),              // d: bottom
      QRect(x, y + mid + t, t, h - mid - 2 * t),          // e: lower left
      QRect(x, y + t, t, mid - t),                        // f: upper left
      QRect(x + t, y + mid, w - 2 * t, t),                // g: middle
  };
  QPainter painter(&image);
  for (int s = 0; s < 7; ++s) {
    const bool lit = (kSegments[digit] >> s) & 1;
    painter.fillRect(segments[s], lit ? kLcdLit : kLcdGhost);
  }
}

// ---------------------------------------------------------------------------------------------
// Bevels and buttons

// One-pixel lines as rectangles, so that they cover whole pixels at every scale.
void HorizontalLine(QPainter& painter, int left, int right, int y, const QColor& colour) {
  painter.fillRect(QRect(left, y, right - left + 1, 1), colour);
}
void VerticalLine(QPainter& painter, int x, int top, int bottom, const QColor& colour) {
  painter.fillRect(QRect(x, top, 1, bottom - top + 1), colour);
}

void Bevel(QPainter& painter, const QRect& r, const QColor& light, const QColor& dark) {
  HorizontalLine(painter, r.left(), r.right(), r.top(), light);
  VerticalLine(painter, r.left(), r.top(), r.bottom(), light);
  HorizontalLine(painter, r.left(), r.right(), r.bottom(), dark);
  VerticalLine(painter, r.right(), r.top(), r.bottom(), dark);
}

// A picture of width x height pixels drawn at `scale` device pixels per pixel: painted in its
// own coordinates, stored at the larger size.
QImage Canvas(int width, int height, int scale, QImage::Format format) {
  QImage image(width * scale, height * scale, format);
  image.setDevicePixelRatio(scale);
  return image;
}

using IconPainter = void (*)(QPainter& painter, const QRectF& box, const QColor& colour);

// One button picture: raised (up) or sunken and lit (down), with its icon.
void DrawButton(QImage& sheet, const QRect& r, bool down, IconPainter icon) {
  QPainter painter(&sheet);
  painter.fillRect(r, kPanelDark);
  const QRect face = r.adjusted(1, 1, -1, -1);
  QLinearGradient gradient(face.topLeft(), face.bottomLeft());
  gradient.setColorAt(0.0, down ? kFaceDownTop : kFaceTop);
  gradient.setColorAt(1.0, down ? kFaceDownBottom : kFaceBottom);
  painter.fillRect(face, gradient);
  if (down)
    Bevel(painter, face, QColor(24, 26, 32), QColor(100, 108, 126));
  else
    Bevel(painter, face, QColor(170, 178, 196), QColor(40, 44, 54));
  painter.setRenderHint(QPainter::Antialiasing, true);
  QRectF box = QRectF(face).adjusted(3, 3, -3, -3);
  if (down) box.translate(1, 1);
  icon(painter, box, down ? kIconActive : kIcon);
}

QRectF Square(const QRectF& box, qreal size) {
  return QRectF(box.center().x() - size / 2, box.center().y() - size / 2, size, size);
}

void Fill(QPainter& painter, const QPolygonF& polygon, const QColor& colour) {
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
  painter.drawPolygon(polygon);
}

QPolygonF RightTriangle(qreal left, qreal top, qreal width, qreal height) {
  return QPolygonF(
      {QPointF(left, top), QPointF(left + width, top + height / 2), QPointF(left, top + height)});
}

QPolygonF LeftTriangle(qreal left, qreal top, qreal width, qreal height) {
  return QPolygonF({QPointF(left + width, top), QPointF(left, top + height / 2),
                    QPointF(left + width, top + height)});
}

void PlayIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 14);
  Fill(p, RightTriangle(s.left() + 2, s.top(), 12, 14), c);
}

void StopIcon(QPainter& p, const QRectF& box, const QColor& c) {
  p.fillRect(Square(box, 11), c);
}

void PauseIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 12);
  p.fillRect(QRectF(s.left() + 1, s.top(), 4, 12), c);
  p.fillRect(QRectF(s.left() + 7, s.top(), 4, 12), c);
}

void NextIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 14);
  Fill(p, RightTriangle(s.left(), s.top() + 2, 6, 10), c);
  Fill(p, RightTriangle(s.left() + 6, s.top() + 2, 6, 10), c);
  p.fillRect(QRectF(s.left() + 12, s.top() + 2, 2, 10), c);
}

void PreviousIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 14);
  p.fillRect(QRectF(s.left(), s.top() + 2, 2, 10), c);
  Fill(p, LeftTriangle(s.left() + 2, s.top() + 2, 6, 10), c);
  Fill(p, LeftTriangle(s.left() + 8, s.top() + 2, 6, 10), c);
}

void StepIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 14);
  p.fillRect(QRectF(s.left() + 1, s.top() + 2, 3, 10), c);
  Fill(p, RightTriangle(s.left() + 6, s.top() + 2, 7, 10), c);
}

void LoopIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 14);
  QPen pen(c, 2.0);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  p.drawArc(s.adjusted(1, 2, -1, -2), 40 * 16, 280 * 16);
  // The arrowhead at the arc's open end.
  const QPointF tip(s.right() - 1, s.top() + 3);
  Fill(p, QPolygonF({tip + QPointF(-5, -2), tip + QPointF(1, -3), tip + QPointF(-1, 3)}), c);
}

void FullScreenIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 14).adjusted(0, 1, 0, -1);
  QPen pen(c, 2.0);
  pen.setCapStyle(Qt::SquareCap);
  pen.setJoinStyle(Qt::MiterJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  const qreal k = 4;
  const QPointF corners[4] = {s.topLeft(), s.topRight(), s.bottomRight(), s.bottomLeft()};
  const QPointF dx[4] = {{k, 0}, {-k, 0}, {-k, 0}, {k, 0}};
  const QPointF dy[4] = {{0, k}, {0, k}, {0, -k}, {0, -k}};
  for (int i = 0; i < 4; ++i)
    p.drawPolyline(QPolygonF({corners[i] + dx[i], corners[i], corners[i] + dy[i]}));
}

void CloseIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 9);
  p.setPen(QPen(c, 2.0));
  p.drawLine(s.topLeft(), s.bottomRight());
  p.drawLine(s.topRight(), s.bottomLeft());
}

void OptionsIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 11);
  p.setPen(QPen(c, 1.0));
  const qreal knobs[3] = {3, 8, 5};
  for (int i = 0; i < 3; ++i) {
    const qreal y = s.top() + 1.5 + 4 * i;
    p.drawLine(QPointF(s.left(), y), QPointF(s.right(), y));
    p.fillRect(QRectF(s.left() + knobs[i] - 1, y - 1.5, 3, 3), c);
  }
}

void OpenIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 11);
  Fill(p,
       QPolygonF({QPointF(s.left(), s.top() + 6), QPointF(s.center().x(), s.top()),
                  QPointF(s.right(), s.top() + 6)}),
       c);
  p.fillRect(QRectF(s.left(), s.top() + 8, s.width(), 2.5), c);
}

void SpeakerBody(QPainter& p, const QRectF& s, const QColor& c) {
  Fill(p,
       QPolygonF({QPointF(s.left(), s.top() + 4), QPointF(s.left() + 3, s.top() + 4),
                  QPointF(s.left() + 6, s.top() + 1), QPointF(s.left() + 6, s.top() + 10),
                  QPointF(s.left() + 3, s.top() + 7), QPointF(s.left(), s.top() + 7)}),
       c);
}

void SoundOffIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 11);
  SpeakerBody(p, s, c);
  p.setPen(QPen(QColor(235, 90, 80), 1.4));
  p.drawLine(QPointF(s.left() + 7.5, s.top() + 3.5), QPointF(s.right(), s.top() + 8));
  p.drawLine(QPointF(s.left() + 7.5, s.top() + 8), QPointF(s.right(), s.top() + 3.5));
}

void SoundOnIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const QRectF s = Square(box, 11);
  SpeakerBody(p, s, c);
  p.setPen(QPen(c, 1.2));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(s.left() + 4, s.top() + 3, 5, 5), -60 * 16, 120 * 16);
  p.drawArc(QRectF(s.left() + 3, s.top() + 1, 9, 9), -60 * 16, 120 * 16);
}

// "1:1" in the label font.
void ZoomOffIcon(QPainter& p, const QRectF& box, const QColor& c) {
  const int width = TextWidth("1:1", 5);
  const int x = static_cast<int>(box.center().x()) - width / 2;
  const int y = static_cast<int>(box.center().y()) - 3;
  p.setRenderHint(QPainter::Antialiasing, false);
  DrawPixelText(p, x, y, "1:1", kFont5x7, 5, 7, c);
}

// ---------------------------------------------------------------------------------------------
// Sheets

void DrawThumb(QImage& sheet, int x, int y) {
  QPainter painter(&sheet);
  painter.setRenderHint(QPainter::Antialiasing, true);
  QRadialGradient gradient(QPointF(x + 5, y + 5), 9);
  gradient.setColorAt(0.0, QColor(250, 252, 255));
  gradient.setColorAt(1.0, QColor(120, 130, 150));
  painter.setPen(QPen(kPanelDark, 1.0));
  painter.setBrush(gradient);
  painter.drawEllipse(QRectF(x + 0.5, y + 0.5, 13, 13));
  painter.setBrush(kIconActive);
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(QRectF(x + 5, y + 5, 4, 4));
}

// A trackbar's background: panel colour with a groove along the middle and tick marks.
void DrawTrackbarBackground(QImage& sheet, const QRect& r, bool vertical) {
  QPainter painter(&sheet);
  painter.fillRect(r, kPanel);
  if (vertical) {
    const int x = r.left() + r.width() / 2 - 2;
    const QRect groove(x, r.top() + 6, 4, r.height() - 12);
    painter.fillRect(groove, kLcd);
    Bevel(painter, groove, kPanelDark, kPanelLight);
    for (int y = r.top() + 9; y < r.bottom() - 6; y += 6) {
      HorizontalLine(painter, r.left() + 1, r.left() + 3, y, kPanelLight);
      HorizontalLine(painter, r.right() - 3, r.right() - 1, y, kPanelLight);
    }
  } else {
    const int y = r.top() + r.height() / 2 - 2;
    const QRect groove(r.left() + 6, y, r.width() - 12, 4);
    painter.fillRect(groove, kLcd);
    Bevel(painter, groove, kPanelDark, kPanelLight);
    for (int x = r.left() + 9; x < r.right() - 6; x += 8) {
      VerticalLine(painter, x, r.top() + 1, r.top() + 2, kPanelLight);
      VerticalLine(painter, x, r.bottom() - 2, r.bottom() - 1, kPanelLight);
    }
  }
}

QImage ButtonSheet(int scale) {
  QImage sheet = Canvas(192, 310, scale, QImage::Format_RGB32);
  sheet.fill(kPanel);
  struct Row {
    int y, width, height;
    IconPainter icon;
  };
  const Row rows[] = {
      {0, 36, 26, PlayIcon},    {26, 36, 26, StopIcon},        {52, 36, 26, PauseIcon},
      {78, 36, 26, NextIcon},   {104, 36, 26, PreviousIcon},   {130, 36, 26, StepIcon},
      {156, 30, 26, LoopIcon},  {182, 30, 26, FullScreenIcon}, {208, 30, 26, ZoomOffIcon},
      {234, 36, 20, CloseIcon}, {254, 36, 20, OptionsIcon},    {274, 36, 20, OpenIcon},
  };
  for (const Row& row : rows) {
    DrawButton(sheet, QRect(0, row.y, row.width, row.height), false, row.icon);
    DrawButton(sheet, QRect(row.width, row.y, row.width, row.height), true, row.icon);
  }
  // Sound On/Off: unchecked (muted) at (72, 0), checked (sound on) at (90, 0).
  DrawButton(sheet, QRect(72, 0, 18, 20), false, SoundOffIcon);
  DrawButton(sheet, QRect(90, 0, 18, 20), true, SoundOnIcon);
  DrawTrackbarBackground(sheet, QRect(72, 20, 18, 78), true);
  DrawTrackbarBackground(sheet, QRect(90, 20, 90, 20), false);
  // Thumbs on the panel colour.
  QPainter(&sheet).fillRect(QRect(108, 0, 28, 14), kPanel);
  DrawThumb(sheet, 108, 0);
  DrawThumb(sheet, 122, 0);
  return sheet;
}

QImage DigitSheet(int scale) {
  QImage sheet = Canvas(198, 129, scale, QImage::Format_RGB32);
  sheet.fill(kLcd);
  // Large digits: 16-pixel cells read 18 wide, so each glyph keeps two blank columns each side.
  for (int d = 0; d < 10; ++d) DrawSevenSegment(sheet, 16 * d + 2, 3, 12, 20, 2, d);
  // Small digits: 12-pixel cells from (2, 26), 20 rows read.
  for (int d = 0; d < 10; ++d) DrawSevenSegment(sheet, 2 + 12 * d + 2, 29, 8, 14, 2, d);
  QPainter painter(&sheet);
  // The colon between minutes and seconds (162, 0) and the point before the frames and the
  // tenths (172, 0), which is also read from (172, 7).
  painter.fillRect(QRect(164, 9, 2, 2), kLcdLit);
  painter.fillRect(QRect(164, 16, 2, 2), kLcdLit);
  painter.fillRect(QRect(174, 21, 2, 2), kLcdLit);
  painter.end();
  DrawLabel(sheet, QRect(0, 48, 48, 13), "FRAME", kLcdLabel);
  DrawLabel(sheet, QRect(52, 48, 78, 13), "TIME CODE", kLcdLabel);
  // "F/S" after the frame-rate digits, its foot on their baseline.
  {
    QPainter text(&sheet);
    DrawPixelText(text, 130 + (24 - TextWidth("F/S", 5)) / 2, 56, "F/S", kFont5x7, 5, 7, kLcdLabel);
  }
  // Channel indicators (30 x 13 read from row 68): mono at (2, 68), stereo at (32, 68).
  DrawSmallText(sheet, 2 + (30 - TextWidth("MONO", 3)) / 2, 72, "MONO", kLcdLit);
  DrawSmallText(sheet, 32 + (30 - TextWidth("STEREO", 3)) / 2, 72, "STEREO", kLcdLit);
  // Sample-rate indicators (36 x 13 read from rows 78, 89 and 100; each overlaps the next by
  // two rows, so the text keeps to rows 4-8 of its own picture).
  DrawSmallText(sheet, 2 + (36 - TextWidth("44KHZ", 3)) / 2, 82, "44KHZ", kLcdLit);
  DrawSmallText(sheet, 2 + (36 - TextWidth("22KHZ", 3)) / 2, 93, "22KHZ", kLcdLit);
  DrawSmallText(sheet, 2 + (36 - TextWidth("11KHZ", 3)) / 2, 104, "11KHZ", kLcdLit);
  return sheet;
}

QImage PanelBackground(int scale) {
  QImage sheet = Canvas(479, 114, scale, QImage::Format_RGB32);
  sheet.fill(kPanel);
  QPainter painter(&sheet);
  const QRect panel(0, 0, 474, 111);
  Bevel(painter, panel, kPanelLight, kPanelDark);
  Bevel(painter, panel.adjusted(1, 1, -1, -1), QColor(80, 88, 104), QColor(40, 44, 54));
  // The display: digits, labels, indicators and the progress bar sit on it.
  const QRect lcd(70, 7, 302, 62);
  painter.fillRect(lcd, kLcd);
  Bevel(painter, lcd.adjusted(-1, -1, 1, 1), kPanelDark, kPanelLight);
  // The progress trough, read from (80, 56) onward, ten rows: a groove in its top four rows
  // and a ruler below it.
  painter.fillRect(QRect(80, 56, 285, 4), QColor(20, 30, 27));
  for (int x = 80; x < 80 + 285; x += 19) VerticalLine(painter, x, 61, 63, QColor(40, 70, 60));
  HorizontalLine(painter, 80, 80 + 284, 64, QColor(28, 48, 41));
  // Grooves around the button groups.
  const QRect groups[] = {QRect(10, 4, 40, 67),   QRect(64, 76, 222, 30), QRect(394, 4, 34, 63),
                          QRect(442, 4, 22, 102), QRect(394, 76, 34, 30), QRect(286, 76, 94, 23)};
  for (const QRect& group : groups) Bevel(painter, group, kPanelDark, kPanelLight);
  return sheet;
}

// One filled outline of a drawing: painted into the PNG pictures and written into the SVG icon.
struct Shape {
  QPainterPath path;
  QBrush brush;                  // a colour or a linear gradient
  QColor pen = Qt::transparent;  // a one-pixel outline, or none
};

// A frame of film with a play mark, width x height: the panel picture, the About picture and
// (rounded) the program's icon.
std::vector<Shape> FilmShapes(qreal width, qreal height, bool rounded) {
  std::vector<Shape> shapes;
  if (rounded) {
    QPainterPath outline;
    outline.addRoundedRect(QRectF(0.5, 0.5, width - 1.0, height - 1.0), width / 6.0, height / 6.0);
    shapes.push_back({outline, QBrush(kLcd), kPanelDark});
  }
  const qreal hole = width / 12.0;
  QPainterPath holes;
  for (int i = 0; i < 5; ++i) {
    const qreal x = width * (0.14 + 0.18 * i) - hole / 2;
    holes.addRoundedRect(QRectF(x, height * 0.08, hole, hole * 0.8), 1, 1);
    holes.addRoundedRect(QRectF(x, height * 0.92 - hole * 0.8, hole, hole * 0.8), 1, 1);
  }
  shapes.push_back({holes, QBrush(QColor(70, 78, 94))});
  const QRectF screen(width * 0.1, height * 0.22, width * 0.8, height * 0.56);
  QLinearGradient sky(screen.topLeft(), screen.bottomLeft());
  sky.setColorAt(0.0, QColor(40, 90, 150));
  sky.setColorAt(1.0, QColor(20, 40, 70));
  QPainterPath screen_path;
  screen_path.addRect(screen);
  shapes.push_back({screen_path, QBrush(sky)});
  const qreal t = std::min(screen.width(), screen.height()) * 0.7;
  QPainterPath mark;
  mark.addPolygon(
      QPolygonF({QPointF(screen.center().x() - t * 0.35, screen.center().y() - t / 2),
                 QPointF(screen.center().x() + t * 0.5, screen.center().y()),
                 QPointF(screen.center().x() - t * 0.35, screen.center().y() + t / 2)}));
  mark.closeSubpath();
  shapes.push_back({mark, QBrush(kLcdLit)});
  return shapes;
}

QImage FilmPicture(int width, int height, bool rounded, int scale = 1) {
  QImage image = Canvas(width, height, scale, QImage::Format_ARGB32);
  image.fill(rounded ? Qt::transparent : kLcd);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, true);
  for (const Shape& shape : FilmShapes(width, height, rounded)) {
    painter.setPen(shape.pen.alpha() ? QPen(shape.pen, 1.0) : QPen(Qt::NoPen));
    painter.setBrush(shape.brush);
    painter.drawPath(shape.path);
  }
  return image;
}

QString SvgColour(const QColor& colour) {
  return colour.name(QColor::HexRgb);
}

QString SvgNumber(qreal value) {
  return QString::number(value, 'g', 6);
}

// The shapes as an SVG document of width x height units.
QString Svg(const std::vector<Shape>& shapes, int width, int height) {
  QString defs, body;
  int gradients = 0;
  for (const Shape& shape : shapes) {
    QString fill = SvgColour(shape.brush.color());
    if (const QGradient* gradient = shape.brush.gradient();
        gradient != nullptr && gradient->type() == QGradient::LinearGradient) {
      const auto* linear = static_cast<const QLinearGradient*>(gradient);
      const QString id = QStringLiteral("g%1").arg(++gradients);
      defs += QStringLiteral(
                  "    <linearGradient id=\"%1\" gradientUnits=\"userSpaceOnUse\" x1=\"%2\" "
                  "y1=\"%3\" x2=\"%4\" y2=\"%5\">\n")
                  .arg(id, SvgNumber(linear->start().x()), SvgNumber(linear->start().y()),
                       SvgNumber(linear->finalStop().x()), SvgNumber(linear->finalStop().y()));
      for (const QGradientStop& stop : linear->stops())
        defs += QStringLiteral("      <stop offset=\"%1\" stop-color=\"%2\"/>\n")
                    .arg(SvgNumber(stop.first), SvgColour(stop.second));
      defs += QStringLiteral("    </linearGradient>\n");
      fill = QStringLiteral("url(#%1)").arg(id);
    }
    QString d;
    const QPainterPath& path = shape.path;
    for (int i = 0; i < path.elementCount(); ++i) {
      const QPainterPath::Element e = path.elementAt(i);
      if (e.type == QPainterPath::MoveToElement) {
        if (!d.isEmpty()) d += QStringLiteral("Z");
        d += QStringLiteral("M%1 %2").arg(SvgNumber(e.x), SvgNumber(e.y));
      } else if (e.type == QPainterPath::LineToElement) {
        d += QStringLiteral("L%1 %2").arg(SvgNumber(e.x), SvgNumber(e.y));
      } else if (e.type == QPainterPath::CurveToElement) {
        const QPainterPath::Element c2 = path.elementAt(i + 1), end = path.elementAt(i + 2);
        d += QStringLiteral("C%1 %2 %3 %4 %5 %6")
                 .arg(SvgNumber(e.x), SvgNumber(e.y), SvgNumber(c2.x), SvgNumber(c2.y),
                      SvgNumber(end.x), SvgNumber(end.y));
        i += 2;
      }
    }
    d += QStringLiteral("Z");
    body += QStringLiteral("  <path d=\"%1\" fill=\"%2\"").arg(d, fill);
    if (shape.pen.alpha())
      body += QStringLiteral(" stroke=\"%1\" stroke-width=\"1\"").arg(SvgColour(shape.pen));
    body += QStringLiteral("/>\n");
  }
  QString svg = QStringLiteral(
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" "
                    "viewBox=\"0 0 %1 %2\">\n")
                    .arg(width)
                    .arg(height);
  if (!defs.isEmpty()) svg += QStringLiteral("  <defs>\n") + defs + QStringLiteral("  </defs>\n");
  return svg + body + QStringLiteral("</svg>\n");
}

// The playlist's decoration: a folder with a film frame.
QImage Decoration(int scale) {
  QImage image = Canvas(32, 32, scale, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setPen(QPen(kPanelDark, 1.0));
  painter.setBrush(QColor(230, 180, 80));
  painter.drawRoundedRect(QRectF(2.5, 6.5, 12, 6), 2, 2);
  painter.drawRoundedRect(QRectF(2.5, 9.5, 27, 19), 2, 2);
  painter.setBrush(kLcd);
  painter.drawRect(QRectF(9.5, 13.5, 14, 11));
  painter.setBrush(kLcdLit);
  painter.setPen(Qt::NoPen);
  painter.drawPolygon(QPolygonF({QPointF(14, 16), QPointF(20, 19), QPointF(14, 22)}));
  return image;
}

// The pointer over the panel's controls: an arrow whose tip is the hot spot (0, 0).
QImage Cursor(int scale) {
  QImage image = Canvas(32, 32, scale, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, true);
  const QPolygonF arrow({QPointF(0.5, 0.5), QPointF(0.5, 17), QPointF(4.5, 13), QPointF(7.5, 20),
                         QPointF(10.5, 19), QPointF(7.5, 12), QPointF(13, 12)});
  painter.setPen(QPen(Qt::black, 1.0));
  painter.setBrush(kIconActive);
  painter.drawPolygon(arrow);
  return image;
}

bool Save(const QImage& image, const std::string& folder, const std::string& name) {
  const std::string path = folder + "/" + name;
  if (!image.save(QString::fromStdString(path), "PNG")) {
    std::fprintf(stderr, "tarvel_skin_generator: %s: cannot write the picture\n", path.c_str());
    return false;
  }
  return true;
}

// The skin's pictures, each drawn at `scale` device pixels per pixel.
struct SkinPicture {
  const char* name;  // without ".png"
  QImage (*draw)(int scale);
};

const SkinPicture kSkinPictures[] = {
    {"buttons_117", ButtonSheet},
    {"digits_114", DigitSheet},
    {"panel_116", PanelBackground},
    {"picture_119",
     [](int scale) {
       return FilmPicture(34, 30, false, scale).convertToFormat(QImage::Format_RGB32);
     }},
    {"about_125",
     [](int scale) {
       return FilmPicture(84, 91, false, scale).convertToFormat(QImage::Format_RGB32);
     }},
    {"decoration_127", Decoration},
    {"icon_123", [](int scale) { return FilmPicture(64, 64, true, scale); }},
    {"cursor_128", Cursor},
};

bool SaveSkin(const std::string& folder) {
  for (const SkinPicture& picture : kSkinPictures) {
    if (!Save(picture.draw(1), folder, std::string(picture.name) + ".png") ||
        !Save(picture.draw(2), folder, std::string(picture.name) + "@2x.png"))
      return false;
  }
  return true;
}

}  // namespace

// The installed icon at every size a desktop asks for, and as SVG.
bool SaveIcons(const std::string& folder) {
  constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
  for (const int size : kSizes) {
    const std::string sub = std::to_string(size) + "x" + std::to_string(size) + "/apps";
    if (!QDir().mkpath(QString::fromStdString(folder + "/" + sub)) ||
        !Save(FilmPicture(size, size, true), folder, sub + "/tarvel.png")) {
      return false;
    }
  }
  constexpr int kSvgSize = 64;
  const QString path = QString::fromStdString(folder + "/scalable/apps/tarvel.svg");
  QFile svg(path);
  if (!QDir().mkpath(QString::fromStdString(folder + "/scalable/apps")) ||
      !svg.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      svg.write(Svg(FilmShapes(kSvgSize, kSvgSize, true), kSvgSize, kSvgSize).toUtf8()) < 0) {
    std::fprintf(stderr, "tarvel_skin_generator: %s: cannot write the icon\n",
                 path.toLocal8Bit().constData());
    return false;
  }
  return true;
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: tarvel_skin_generator SKIN_DIR [ICON_DIR]\n");
    return 2;
  }
  // Pictures only: no screen is needed.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  const bool ok = SaveSkin(argv[1]) && (argc < 3 || SaveIcons(argv[2]));
  return ok ? 0 : 1;
}
