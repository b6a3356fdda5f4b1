// The control panel's layout (its dialog template, in dialog units) and the ControlSkin table:
// one record per skinned control, in a fixed order that the digit writers and the radio group
// rely on.
#pragma once

#include <QPixmap>
#include <QRect>
#include <array>
#include <cstdint>

namespace tarvel {

class SkinControl;

// Dialog units to pixels: 6/4 of a pixel across and 13/8 down (the panel's font metrics),
// each rounded to the nearest pixel (halves away from zero).
inline constexpr int kDialogUnitX = 6;
inline constexpr int kDialogUnitY = 13;
QRect DialogUnitsToPixels(int x, int y, int cx, int cy);

// The panel: 316 x 68 dialog units, 474 x 111 pixels.
inline constexpr int kPanelWidthUnits = 316;
inline constexpr int kPanelHeightUnits = 68;

enum class ControlClass : std::uint8_t { kButton, kTrackbar, kStatic, kProgress, kBitmap };

struct DialogControl {
  int id;
  ControlClass control_class;
  int x, y, cx, cy;  // dialog units
  bool vertical;     // trackbars
};

inline constexpr int kDialogControlCount = 39;
extern const std::array<DialogControl, kDialogControlCount> kCommandDialog;

// Sheets: the buttons and trackbars, the digits and indicators, the panel background.
inline constexpr int kSheetButtons = 117;
inline constexpr int kSheetDigits = 114;
inline constexpr int kSheetBackground = 116;
// Small bitmaps: the panel's picture, the About picture, the playlist's decoration.
inline constexpr int kBitmapPanelPicture = 119;
inline constexpr int kBitmapAboutPicture = 125;
inline constexpr int kBitmapDecoration = 127;
inline constexpr int kIconResource = 123;
inline constexpr int kCursorResource = 128;

// What a skinned control is and does.
enum class SkinKind : std::uint8_t {
  kRadio,      // checks itself and unchecks its group when pressed, then sends its command
  kToggle,     // flips its check when pressed, then sends its command
  kPush,       // shows pushed while pressed; sends its command when released on it
  kTrackbar,   // position 0-99; the trackbar's own scrolling reaches the panel
  kDigit,      // one of ten digits
  kLabel,      // one fixed picture
  kIndicator,  // a picture per state, state 0 blank
  kProgress,   // the progress picture
};

struct SpriteOrigin {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

// Flag bit 0: member of the radio group.
inline constexpr std::uint8_t kSkinRadioGroup = 0x01;
inline constexpr int kSpritesPerSkin = 10;
inline constexpr int kTooltipSize = 35;

// The fixed part of a table record.
struct SkinSpec {
  std::int32_t control_id;
  SkinKind kind;
  std::int32_t sheet_id;
  std::array<SpriteOrigin, kSpritesPerSkin> sprites;
  std::int32_t sprite_count;  // pictures among the ten pairs (trackbars: 3 pairs of data)
  std::uint8_t flags;
  char tooltip[kTooltipSize];
};

inline constexpr int kControlSkinCount = 38;
extern const std::array<SkinSpec, kControlSkinCount> kControlSkinTable;

// One record of the working table: the fixed part, and what set-up fills in.
struct ControlSkin : SkinSpec {
  SkinControl* control = nullptr;
  QPixmap sheet;
  std::int32_t state = 0;
};

// Trackbar records: pair 0 is the background origin, pair 1 the thumb origin, pair 2 the
// direction ((1, 0) horizontal, (0, 1) vertical).
inline constexpr int kTrackbarBackground = 0;
inline constexpr int kTrackbarThumb = 1;
inline constexpr int kTrackbarDirection = 2;
inline constexpr int kThumbSize = 14;

// The resource path of a sheet, bitmap, icon or cursor.
const char* ResourcePath(int resource_id);
// A sheet, bitmap or cursor picture: drawn at twice the size (with a device-pixel ratio of 2)
// when the screens have two device pixels per pixel or more, so that the panel stays sharp.
QPixmap LoadSkinPicture(int resource_id);
// The pixels of `area` (in the picture's own coordinates) in `sheet`, whatever its size.
QRect SheetRect(const QPixmap& sheet, const QRect& area);

}  // namespace tarvel
