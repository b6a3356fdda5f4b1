#include "ui/panel_logic.h"

#include <algorithm>
#include <cmath>

#include "ui/control_ids.h"

namespace tarvel {

namespace {

// Truncates a rate to a whole number, saturating; not-a-number gives 0.
long long WholePart(float value) {
  if (std::isnan(value)) return 0;
  if (value >= 1e15f) return 1000000000000000LL;
  if (value <= -1e15f) return -1000000000000000LL;
  return static_cast<long long>(value);
}

int Digit(long long value) {
  return static_cast<int>(value % 10);
}

}  // namespace

int TrackbarScroll(int position, int code, int message_position) {
  switch (code) {
    case kScrollLineUp:
      return std::max(position - 1, 0);
    case kScrollLineDown:
      return position < kTrackbarMaxPosition - 1 ? position + 1 : position;
    case kScrollPageUp:
      return std::max(position - kTrackbarPage, 0);
    case kScrollPageDown:
      return std::min(position + kTrackbarPage, kTrackbarMaxPosition);
    case kScrollThumbPosition:
    case kScrollThumbTrack:
      return std::clamp(message_position, 0, kTrackbarMaxPosition);
    case kScrollTop:
      return 0;
    case kScrollBottom:
      return kTrackbarMaxPosition;
    default:
      return position;
  }
}

double FrameRateAt(int position) {
  return position == 0 ? 1.0 : position * 0.5;
}

std::array<int, 5> FrameCounterDigits(std::int32_t frame) {
  long long value = std::max<long long>(frame, 0);
  std::array<int, 5> digits{};
  for (int& digit : digits) {
    digit = Digit(value);
    value /= 10;
  }
  return digits;
}

TimeCodeDigits TimeCode(std::int32_t frame, float play_rate) {
  long long rate = WholePart(play_rate);
  if (rate < 1) rate = 1;
  const long long value = std::max<long long>(frame, 0);
  const long long frames = value % rate;
  const long long seconds = value / rate;
  const long long minutes = seconds / 60;
  TimeCodeDigits digits{};
  digits.frames_units = Digit(frames);
  digits.frames_tens = Digit(frames / 10);
  digits.seconds_units = Digit(seconds % 60);
  digits.seconds_tens = Digit((seconds % 60) / 10);
  digits.minutes_units = Digit(minutes);
  digits.minutes_tens = Digit(minutes / 10);
  return digits;
}

RateDigits FrameRateDigits(float play_rate) {
  const long long whole = std::max<long long>(WholePart(play_rate), 0);
  const long long tenths = std::max<long long>(WholePart(play_rate * 10.0f), 0);
  return RateDigits{Digit(whole / 10), Digit(whole), Digit(tenths)};
}

SoundIndicators SoundFormatStates(bool playing_with_sound, std::uint32_t stereo,
                                  std::uint32_t sample_rate) {
  SoundIndicators states;
  if (!playing_with_sound) return states;
  states.channels = static_cast<int>(std::min<std::uint32_t>(stereo, 1000) + 1);
  states.sample_rate = 3 - static_cast<int>((sample_rate / 11025) / 2);
  return states;
}

QPoint TrackbarThumbOrigin(const QSize& size, const SpriteOrigin& direction, int state) {
  const long long travel = static_cast<long long>(direction.x) * (size.width() - 18) +
                           static_cast<long long>(direction.y) * (size.height() - 18);
  const long long c = travel * state / 100;
  return QPoint(static_cast<int>(direction.x * c + 2), static_cast<int>(direction.y * c + 2));
}

int TrackbarPositionAt(int along, int length, int maximum) {
  if (length <= 18) return 0;
  // The thumb's centre sits 9 pixels after the start of its travel.
  const long long position = static_cast<long long>(along - 9) * 100 / (length - 18);
  return static_cast<int>(std::clamp<long long>(position, 0, maximum));
}

int ProgressFillWidth(std::int32_t position, int width, std::int32_t count) {
  if (count <= 0 || width <= 0) return 0;
  const long long x = (static_cast<long long>(position) + 1) * width / count;
  return static_cast<int>(std::clamp<long long>(x, 0, width));
}

std::int32_t ProgressFrameAt(int x, int width, std::int32_t count) {
  if (count <= 0 || width <= 0) return -1;
  // The bar's end is the movie's: with more frames than pixels, the last pixel's part holds
  // several frames, and the last of them was out of reach of a press or a drag to the end.
  if (x >= width - 1) return count - 1;
  const long long frame = static_cast<long long>(std::clamp(x, 0, width - 1)) * count / width;
  return static_cast<std::int32_t>(std::clamp<long long>(frame, 0, count - 1));
}

DockTargets DockToVideo(const QPoint& video_origin, const QSize& video_size) {
  DockTargets targets;
  targets.playlist = QPoint(video_origin.x() + video_size.width(), video_origin.y());
  targets.command = QPoint(video_origin.x(), video_origin.y() + video_size.height());
  return targets;
}

DockTargets DockToCommand(const QPoint& command_origin, const QSize& video_size) {
  DockTargets targets;
  targets.video = QPoint(command_origin.x(), command_origin.y() - video_size.height());
  targets.playlist =
      QPoint(command_origin.x() + video_size.width(), command_origin.y() - video_size.height());
  return targets;
}

DockTargets DockToPlaylist(const QPoint& playlist_origin, const QSize& video_size) {
  DockTargets targets;
  targets.video = QPoint(playlist_origin.x() - video_size.width(), playlist_origin.y());
  targets.command =
      QPoint(playlist_origin.x() - video_size.width(), playlist_origin.y() + video_size.height());
  return targets;
}

}  // namespace tarvel
