// The control panel's rules as plain arithmetic: trackbar scrolling, what the digit displays
// and indicators show, where a trackbar thumb and the progress fill go, and where docking
// moves the other windows. The widgets only apply these results.
#pragma once

#include <QPoint>
#include <QSize>
#include <array>
#include <cstdint>
#include <optional>

#include "ui/control_table.h"

namespace tarvel {

// Highest trackbar position the panel keeps.
inline constexpr int kTrackbarMaxPosition = 99;
inline constexpr int kTrackbarPage = 10;

// The new position of a trackbar at `position` for a scroll `code`; `message_position` is the
// thumb position carried by the thumb codes. "Line down" stops at 98; every result is 0-99;
// unknown codes leave the position as it is.
int TrackbarScroll(int position, int code, int message_position);

// The frames per second the Frame Rate trackbar at `position` plays at: half the position, and
// 1 rather than none at 0.
double FrameRateAt(int position);

// The five frame-counter digits, units first (for 1046, 1034, 1033, 1032, 1031): a frame
// number above 99,999 shows its low five digits.
std::array<int, 5> FrameCounterDigits(std::int32_t frame);

// Time code minutes : seconds . frames of `frame` at the whole part of `play_rate` frames per
// second. Rates below 1 (and anything not a number) count as 1 frame per second.
struct TimeCodeDigits {
  int minutes_tens, minutes_units;
  int seconds_tens, seconds_units;
  int frames_tens, frames_units;
};
TimeCodeDigits TimeCode(std::int32_t frame, float play_rate);

// Frame-rate digits: tens, units and tenths of `play_rate`.
struct RateDigits {
  int tens, units, tenths;
};
RateDigits FrameRateDigits(float play_rate);

// Sound format indicators: channels (0 blank, 1 mono, 2 stereo) and sample rate (0 blank,
// 1 44.1 kHz, 2 22.05 kHz, 3 11.025 kHz). States outside a sheet's pictures draw blank.
struct SoundIndicators {
  int channels = 0;
  int sample_rate = 0;
};
SoundIndicators SoundFormatStates(bool playing_with_sound, std::uint32_t stereo,
                                  std::uint32_t sample_rate);

// Where the 14 x 14 thumb of a trackbar of `size` at `state` goes.
QPoint TrackbarThumbOrigin(const QSize& size, const SpriteOrigin& direction, int state);
// The trackbar position under a point `along` pixels down or across a trackbar of `length`
// pixels whose range ends at `maximum`.
int TrackbarPositionAt(int along, int length, int maximum);

// Width of the filled part of a progress bar `width` pixels wide at `position` of `count`.
int ProgressFillWidth(std::int32_t position, int width, std::int32_t count);
// The frame under `x` on a progress bar `width` pixels wide for `count` frames: the one whose
// part of the bar holds x (x x count / width), kept within 0 and count - 1, the last pixel (and
// past it) giving the last frame; -1 without frames.
std::int32_t ProgressFrameAt(int x, int width, std::int32_t count);

// Docking: where the other windows go when one of them moved. `video_size` is the video
// window's outer size; positions are outer top-left corners.
struct DockTargets {
  std::optional<QPoint> video;
  std::optional<QPoint> command;
  std::optional<QPoint> playlist;
};
DockTargets DockToVideo(const QPoint& video_origin, const QSize& video_size);
DockTargets DockToCommand(const QPoint& command_origin, const QSize& video_size);
DockTargets DockToPlaylist(const QPoint& playlist_origin, const QSize& video_size);

}  // namespace tarvel
