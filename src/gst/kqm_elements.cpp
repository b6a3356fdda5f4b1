#include "gst/kqm_elements.h"

#include <numeric>

#include "container/movie_format.h"
#include "gst/kqm_audio_decoder.h"
#include "gst/kqm_demux.h"
#include "gst/kqm_sound_restart.h"
#include "gst/kqm_typefind.h"
#include "gst/kqm_video_decoder.h"

namespace tarvel::gst {

namespace {

// A header without a frame duration plays at the player's default rate.
constexpr gint kDefaultRate = static_cast<gint>(kDefaultFrameRate);
static_assert(kDefaultRate == kDefaultFrameRate);

}  // namespace

GstClockTime PictureTime(std::int64_t frame, std::uint16_t frame_duration) {
  const auto n = static_cast<guint64>(frame);
  if (frame_duration == 0) return gst_util_uint64_scale(n, GST_SECOND, kDefaultRate);
  return gst_util_uint64_scale(n, frame_duration * GST_SECOND, 200);
}

void PictureRate(std::uint16_t frame_duration, gint* numerator, gint* denominator) {
  if (frame_duration == 0) {
    *numerator = kDefaultRate;
    *denominator = 1;
    return;
  }
  const int divisor = std::gcd(200, static_cast<int>(frame_duration));
  *numerator = 200 / divisor;
  *denominator = frame_duration / divisor;
}

GstClockTime PeriodTime(std::int64_t period, std::int64_t period_samples, std::uint32_t rate) {
  if (rate == 0) return GST_CLOCK_TIME_NONE;
  return gst_util_uint64_scale(static_cast<guint64>(period) * static_cast<guint64>(period_samples),
                               GST_SECOND, rate);
}

gboolean Plugin_Init(GstPlugin* plugin) {
  SoundRestart_Register();
  gboolean ok = TypeFind_Register(plugin);
  ok = Demux_Register(plugin) && ok;
  ok = VideoDecoder_Register(plugin) && ok;
  ok = AudioDecoder_Register(plugin) && ok;
  return ok;
}

gboolean Plugin_RegisterStatic() {
  return gst_plugin_register_static(
      GST_VERSION_MAJOR, GST_VERSION_MINOR, "kqm",
      "KQM6 movies: type finder, demuxer, picture and sound decoders", Plugin_Init, TARVEL_VERSION,
      GST_LICENSE_UNKNOWN, "tarvel", "Tarvel", "Tarvel");
}

}  // namespace tarvel::gst
