// What the plugin's elements share: the media types they speak, the clock of a movie's
// pictures and sound periods, and the registration of the whole plugin.
#pragma once

#include <gst/gst.h>

#include <cstdint>

namespace tarvel::gst {

// A whole movie file, as the type finder names it.
inline constexpr char kMovieMediaType[] = "video/x-kqm";
// One picture chunk payload per buffer; width, height and framerate in the caps.
inline constexpr char kPictureMediaType[] = "video/x-kqm-picture";
// One sound chunk payload per buffer (frame 0's, with its stream header, first; empty for a
// frame without one); in the caps: rate, channels, period-bytes (ADPCM bytes per frame period)
// and the stream header as codec_data.
inline constexpr char kSoundMediaType[] = "audio/x-kqm-adq";

// Start of picture `frame` of a movie whose header gives `frame_duration` (1/200 s units;
// 0 plays at the player's default rate).
GstClockTime PictureTime(std::int64_t frame, std::uint16_t frame_duration);
// The frame rate as a fraction, for caps.
void PictureRate(std::uint16_t frame_duration, gint* numerator, gint* denominator);
// Start of sound period `period` when a period holds `period_samples` sample frames.
GstClockTime PeriodTime(std::int64_t period, std::int64_t period_samples, std::uint32_t rate);

// Registers the type finder and the three elements with `plugin`.
gboolean Plugin_Init(GstPlugin* plugin);
// Registers the plugin inside this process, for programs that link the elements in.
gboolean Plugin_RegisterStatic();

}  // namespace tarvel::gst
