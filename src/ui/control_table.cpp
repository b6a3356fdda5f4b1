#include "ui/control_table.h"

#include <QGuiApplication>

#include "ui/control_ids.h"

namespace tarvel {

namespace {

using Sprites = std::array<SpriteOrigin, kSpritesPerSkin>;

constexpr Sprites Pair(SpriteOrigin first, SpriteOrigin second) {
  Sprites sprites{};
  sprites[0] = first;
  sprites[1] = second;
  return sprites;
}

// The ten large digits at (0, 0), (16, 0) ... (144, 0) of the digit sheet.
constexpr Sprites LargeDigits() {
  Sprites sprites{};
  for (int i = 0; i < kSpritesPerSkin; ++i) sprites[static_cast<std::size_t>(i)] = {16 * i, 0};
  return sprites;
}

// The ten small digits at (2, 26), (14, 26) ... (110, 26) of the digit sheet.
constexpr Sprites SmallDigits() {
  Sprites sprites{};
  for (int i = 0; i < kSpritesPerSkin; ++i) sprites[static_cast<std::size_t>(i)] = {2 + 12 * i, 26};
  return sprites;
}

constexpr Sprites One(SpriteOrigin origin) {
  return Sprites{origin};
}

constexpr Sprites Trackbar(SpriteOrigin background, SpriteOrigin thumb, SpriteOrigin direction) {
  return Sprites{background, thumb, direction};
}

constexpr SkinSpec Panel(int id, SkinKind kind, int sheet, Sprites sprites, int count) {
  return SkinSpec{id, kind, sheet, sprites, count, 0, {}};
}

// Pads a tooltip text to the record's field size.
template <std::size_t N>
constexpr std::array<char, kTooltipSize> Tip(const char (&text)[N]) {
  static_assert(N <= kTooltipSize, "a tooltip holds at most 34 characters");
  std::array<char, kTooltipSize> padded{};
  for (std::size_t i = 0; i < N; ++i) padded[i] = text[i];
  return padded;
}

template <std::size_t N>
constexpr SkinSpec TipButton(int id, SkinKind kind, Sprites sprites, std::uint8_t flags,
                             const char (&tooltip)[N]) {
  SkinSpec entry{id, kind, kSheetButtons, sprites, 2, flags, {}};
  const auto padded = Tip(tooltip);
  for (int i = 0; i < kTooltipSize; ++i) entry.tooltip[i] = padded[static_cast<std::size_t>(i)];
  return entry;
}

template <std::size_t N>
constexpr SkinSpec TipTrackbar(int id, Sprites sprites, const char (&tooltip)[N]) {
  SkinSpec entry{id, SkinKind::kTrackbar, kSheetButtons, sprites, 3, 0, {}};
  const auto padded = Tip(tooltip);
  for (int i = 0; i < kTooltipSize; ++i) entry.tooltip[i] = padded[static_cast<std::size_t>(i)];
  return entry;
}

}  // namespace

namespace {

// value x numerator / denominator, rounded half away from zero, as the platform's dialog
// mapping multiplies and divides.
int MultiplyDivide(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : -((-product + half) / denominator));
}

}  // namespace

QRect DialogUnitsToPixels(int x, int y, int cx, int cy) {
  return QRect(MultiplyDivide(x, kDialogUnitX, 4), MultiplyDivide(y, kDialogUnitY, 8),
               MultiplyDivide(cx, kDialogUnitX, 4), MultiplyDivide(cy, kDialogUnitY, 8));
}

// clang-format off
const std::array<DialogControl, kDialogControlCount> kCommandDialog = {{
    {kIdPrevious, ControlClass::kButton, 44, 48, 24, 16, false},
    {kIdNext, ControlClass::kButton, 140, 48, 24, 16, false},
    {kIdStepByStep, ControlClass::kButton, 164, 48, 24, 16, false},
    {kIdClose, ControlClass::kButton, 8, 4, 24, 12, false},
    {kIdOptions, ControlClass::kButton, 8, 30, 24, 12, false},
    {kIdVolume, ControlClass::kTrackbar, 296, 4, 12, 48, true},
    {kIdSoundOnOff, ControlClass::kButton, 296, 52, 12, 12, false},
    {1031, ControlClass::kStatic, 52, 16, 12, 16, false},
    {1037, ControlClass::kStatic, 52, 8, 32, 8, false},
    {1032, ControlClass::kStatic, 64, 16, 12, 16, false},
    {1033, ControlClass::kStatic, 76, 16, 12, 16, false},
    {1034, ControlClass::kStatic, 88, 16, 12, 16, false},
    {1038, ControlClass::kStatic, 120, 8, 52, 8, false},
    {kIdMinutesTens, ControlClass::kStatic, 120, 16, 12, 16, false},
    {kIdLoopPlay, ControlClass::kButton, 264, 48, 20, 16, false},
    {kIdMinutesUnits, ControlClass::kStatic, 132, 16, 12, 16, false},
    {1042, ControlClass::kStatic, 144, 16, 4, 16, false},
    {kIdSecondsTens, ControlClass::kStatic, 148, 16, 12, 16, false},
    {kIdSecondsUnits, ControlClass::kStatic, 160, 16, 12, 16, false},
    {1043, ControlClass::kStatic, 172, 16, 4, 16, false},
    {kIdFramesTens, ControlClass::kStatic, 176, 20, 8, 12, false},
    {kIdFramesUnits, ControlClass::kStatic, 184, 20, 8, 12, false},
    {1046, ControlClass::kStatic, 100, 16, 12, 16, false},
    {kIdOpenFiles, ControlClass::kButton, 8, 17, 24, 12, false},
    {kIdRateTens, ControlClass::kStatic, 200, 20, 8, 12, false},
    {kIdRateUnits, ControlClass::kStatic, 208, 20, 8, 12, false},
    {1050, ControlClass::kStatic, 216, 20, 4, 12, false},
    {kIdRateTenths, ControlClass::kStatic, 220, 20, 8, 12, false},
    {1052, ControlClass::kStatic, 228, 20, 16, 12, false},
    {kIdChannels, ControlClass::kStatic, 224, 12, 20, 8, false},
    {kIdSampleRate, ControlClass::kStatic, 200, 12, 24, 8, false},
    {kIdStop, ControlClass::kButton, 68, 48, 24, 16, false},
    {kIdPlay, ControlClass::kButton, 92, 48, 24, 16, false},
    {kIdNone, ControlClass::kBitmap, 8, 44, 24, 20, false},
    {kIdPause, ControlClass::kButton, 116, 48, 24, 16, false},
    {kIdFullScreen, ControlClass::kButton, 264, 4, 20, 16, false},
    {kIdZoomOff, ControlClass::kButton, 264, 24, 20, 16, false},
    {kIdFrameRate, ControlClass::kTrackbar, 192, 48, 60, 12, false},
    {kIdProgress, ControlClass::kProgress, 52, 34, 190, 6, false},
}};

const std::array<SkinSpec, kControlSkinCount> kControlSkinTable = {{
    TipButton(kIdPlay, SkinKind::kRadio, Pair({0, 0}, {36, 0}), kSkinRadioGroup, "Play (Space)"),
    TipButton(kIdStop, SkinKind::kRadio, Pair({0, 26}, {36, 26}), kSkinRadioGroup, "Stop (Delete)"),
    TipButton(kIdPause, SkinKind::kRadio, Pair({0, 52}, {36, 52}), kSkinRadioGroup,
              "Pause (Space)"),
    TipButton(kIdNext, SkinKind::kPush, Pair({0, 78}, {36, 78}), 0, "Next Kqm (Page Down)"),
    TipButton(kIdPrevious, SkinKind::kPush, Pair({0, 104}, {36, 104}), 0, "Previous Kqm (Page Up)"),
    TipButton(kIdStepByStep, SkinKind::kPush, Pair({0, 130}, {36, 130}), 0, "Step by Step (Enter)"),
    TipButton(kIdLoopPlay, SkinKind::kToggle, Pair({0, 156}, {30, 156}), 0, "Loop Play"),
    TipButton(kIdFullScreen, SkinKind::kToggle, Pair({0, 182}, {30, 182}), 0,
              "Full Screen (Escape leaves it)"),
    TipButton(kIdZoomOff, SkinKind::kPush, Pair({0, 208}, {30, 208}), 0, "Zoom Off"),
    TipButton(kIdSoundOnOff, SkinKind::kToggle, Pair({72, 0}, {90, 0}), 0, "Sound On/Off"),
    TipButton(kIdClose, SkinKind::kPush, Pair({0, 234}, {36, 234}), 0, "Close (Escape)"),
    TipButton(kIdOptions, SkinKind::kPush, Pair({0, 254}, {36, 254}), 0, "Options"),
    TipButton(kIdOpenFiles, SkinKind::kPush, Pair({0, 274}, {36, 274}), 0, "Open Files"),
    TipTrackbar(kIdVolume, Trackbar({72, 20}, {108, 0}, {0, 1}), "Volume"),
    TipTrackbar(kIdFrameRate, Trackbar({90, 20}, {122, 0}, {1, 0}), "Frame Rate (Left, Right: +1, -1)"),
    Panel(1031, SkinKind::kDigit, kSheetDigits, LargeDigits(), 10),
    Panel(1032, SkinKind::kDigit, kSheetDigits, LargeDigits(), 10),
    Panel(1033, SkinKind::kDigit, kSheetDigits, LargeDigits(), 10),
    Panel(1034, SkinKind::kDigit, kSheetDigits, LargeDigits(), 10),
    Panel(1046, SkinKind::kDigit, kSheetDigits, LargeDigits(), 10),
    Panel(1037, SkinKind::kLabel, kSheetDigits, One({0, 48}), 1),
    Panel(1038, SkinKind::kLabel, kSheetDigits, One({52, 48}), 1),
    Panel(1042, SkinKind::kLabel, kSheetDigits, One({162, 0}), 1),
    Panel(1043, SkinKind::kLabel, kSheetDigits, One({172, 0}), 1),
    Panel(1050, SkinKind::kLabel, kSheetDigits, One({172, 7}), 1),
    Panel(1052, SkinKind::kLabel, kSheetDigits, One({130, 46}), 1),
    Panel(kIdSampleRate, SkinKind::kIndicator, kSheetDigits,
          Sprites{SpriteOrigin{36, 78}, {2, 78}, {2, 89}, {2, 100}}, 4),
    Panel(kIdChannels, SkinKind::kIndicator, kSheetDigits,
          Sprites{SpriteOrigin{62, 68}, {2, 68}, {32, 68}}, 3),
    Panel(kIdMinutesTens, SkinKind::kDigit, kSheetDigits, LargeDigits(), 10),
    Panel(kIdMinutesUnits, SkinKind::kDigit, kSheetDigits, LargeDigits(), 10),
    Panel(kIdSecondsTens, SkinKind::kDigit, kSheetDigits, LargeDigits(), 10),
    Panel(kIdSecondsUnits, SkinKind::kDigit, kSheetDigits, LargeDigits(), 10),
    Panel(kIdFramesTens, SkinKind::kDigit, kSheetDigits, SmallDigits(), 10),
    Panel(kIdFramesUnits, SkinKind::kDigit, kSheetDigits, SmallDigits(), 10),
    Panel(kIdRateTens, SkinKind::kDigit, kSheetDigits, SmallDigits(), 10),
    Panel(kIdRateUnits, SkinKind::kDigit, kSheetDigits, SmallDigits(), 10),
    Panel(kIdRateTenths, SkinKind::kDigit, kSheetDigits, SmallDigits(), 10),
    Panel(kIdProgress, SkinKind::kProgress, kSheetBackground, One({80, 56}), 1),
}};
// clang-format on

const char* ResourcePath(int resource_id) {
  switch (resource_id) {
    case kSheetButtons:
      return ":/tarvel/skin/buttons_117.png";
    case kSheetDigits:
      return ":/tarvel/skin/digits_114.png";
    case kSheetBackground:
      return ":/tarvel/skin/panel_116.png";
    case kBitmapPanelPicture:
      return ":/tarvel/skin/picture_119.png";
    case kBitmapAboutPicture:
      return ":/tarvel/skin/about_125.png";
    case kBitmapDecoration:
      return ":/tarvel/skin/decoration_127.png";
    case kIconResource:
      return ":/tarvel/skin/icon_123.png";
    case kCursorResource:
      return ":/tarvel/skin/cursor_128.png";
    default:
      return "";
  }
}

QPixmap LoadSkinPicture(int resource_id) {
  const QString path = QString::fromLatin1(ResourcePath(resource_id));
  if (qGuiApp != nullptr && qGuiApp->devicePixelRatio() >= 2.0) {
    QString large = path;
    large.insert(large.lastIndexOf(QLatin1Char('.')), QStringLiteral("@2x"));
    QPixmap pixmap(large);
    if (!pixmap.isNull()) {
      pixmap.setDevicePixelRatio(2.0);
      return pixmap;
    }
  }
  return QPixmap(path);
}

QRect SheetRect(const QPixmap& sheet, const QRect& area) {
  const qreal ratio = sheet.devicePixelRatio();
  if (ratio == 1.0) return area;
  return QRectF(QPointF(area.topLeft()) * ratio, QSizeF(area.size()) * ratio).toRect();
}

}  // namespace tarvel
