#include "gst/kqm_elements.h"

#include <numeric>
#include <string>

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

namespace {

GstClockTime FrameStart(guint64 frame, gint numerator, gint denominator) {
  return gst_util_uint64_scale(frame, GST_SECOND * static_cast<guint64>(denominator),
                               static_cast<guint64>(numerator));
}

}  // namespace

std::int64_t FrameShownAt(GstClockTime time, gint numerator, gint denominator) {
  const auto start = [&](guint64 frame) { return FrameStart(frame, numerator, denominator); };
  // Starts are rounded down to the nanosecond, so a picture may start a little before the time
  // the rate gives it: the frame is the quotient or the one after it.
  guint64 frame = gst_util_uint64_scale(time, static_cast<guint64>(numerator),
                                        GST_SECOND * static_cast<guint64>(denominator));
  if (start(frame + 1) <= time) ++frame;
  return static_cast<std::int64_t>(frame);
}

std::int64_t FrameAtSinkPosition(GstClockTime time, gint numerator, gint denominator,
                                 bool playing) {
  const std::int64_t frame = FrameShownAt(time, numerator, denominator);
  if (playing && frame > 0 &&
      FrameStart(static_cast<guint64>(frame), numerator, denominator) == time)
    return frame - 1;
  return frame;
}

GstClockTime PeriodTime(std::int64_t period, std::int64_t period_samples, std::uint32_t rate) {
  if (rate == 0) return GST_CLOCK_TIME_NONE;
  return gst_util_uint64_scale(static_cast<guint64>(period) * static_cast<guint64>(period_samples),
                               GST_SECOND, rate);
}

namespace {

// The one pad that `pad` leads to inside its element (a queue's or a transform's source pad,
// a stream synchroniser's matching one); null when it leads to none or to several (a tee).
GstPad* OnlyInternalLink(GstPad* pad) {
  GstIterator* links = gst_pad_iterate_internal_links(pad);
  if (links == nullptr) return nullptr;
  GstPad* only = nullptr;
  int count = 0;
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(links, &item) == GST_ITERATOR_OK) {
    if (++count == 1) only = GST_PAD(g_value_dup_object(&item));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(links);
  if (count != 1 && only != nullptr) {
    gst_object_unref(only);
    only = nullptr;
  }
  return only;
}

bool IsSink(GstElement* element) {
  return GST_OBJECT_FLAG_IS_SET(element, GST_ELEMENT_FLAG_SINK) && !GST_IS_BIN(element);
}

// One of this plugin's decoders, which answer a drain themselves (Element_AnswersDrain).
bool IsOurDecoder(GstElement* element) {
  GstElementFactory* factory = gst_element_get_factory(element);
  if (factory == nullptr) return false;
  const std::string name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
  return name == "kqmviddec" || name == "kqmauddec";
}

// The pad where the data from `src` enter the first element that `reached` accepts, through
// elements with one way on (queues, converters, caps filters) and into and out of bins; null
// where the way splits or ends first. `*unlinked`, when given, tells whether it ended at a pad
// linked to nothing (yet) past `src`'s peer.
GstPad* Downstream(GstPad* src, bool (*reached)(GstElement*), bool* unlinked = nullptr) {
  GstPad* pad = gst_pad_get_peer(src);
  if (unlinked != nullptr) *unlinked = false;
  for (int step = 0; pad != nullptr && step < 64; ++step) {
    GstPad* next = nullptr;
    if (GST_IS_GHOST_PAD(pad)) {
      next = gst_ghost_pad_get_target(GST_GHOST_PAD(pad));           // into a bin
      if (next == nullptr && unlinked != nullptr) *unlinked = true;  // not set up inside yet
    } else if (GST_IS_PROXY_PAD(pad)) {
      // Out of a bin: on from its ghost pad.
      if (GstProxyPad* ghost = gst_proxy_pad_get_internal(GST_PROXY_PAD(pad))) {
        next = gst_pad_get_peer(GST_PAD(ghost));
        if (next == nullptr && unlinked != nullptr) *unlinked = true;  // the bin's pad
        gst_object_unref(ghost);
      }
    } else if (GstElement* element = gst_pad_get_parent_element(pad)) {
      const bool found = reached(element);
      gst_object_unref(element);
      if (found) return pad;
      if (GstPad* out = OnlyInternalLink(pad)) {
        next = gst_pad_get_peer(out);
        if (next == nullptr && unlinked != nullptr) *unlinked = true;
        gst_object_unref(out);
      }
    }
    gst_object_unref(pad);
    pad = next;
  }
  if (pad != nullptr) gst_object_unref(pad);
  return nullptr;
}

// The sink pad of the sink that the data from `src` reach; null where the way splits or ends.
GstPad* SinkDownstream(GstPad* src) {
  return Downstream(src, IsSink);
}

}  // namespace

bool SinkPosition(GstPad* src, gint64* time) {
  GstPad* sink = SinkDownstream(src);
  if (sink == nullptr) return gst_pad_peer_query_position(src, GST_FORMAT_TIME, time);
  const gboolean answered = gst_pad_query_position(sink, GST_FORMAT_TIME, time);
  gst_object_unref(sink);
  return answered;
}

bool SinkLastShown(GstPad* src, GstClockTime* time) {
  GstPad* pad = SinkDownstream(src);
  if (pad == nullptr) return false;
  GstElement* sink = gst_pad_get_parent_element(pad);
  gst_object_unref(pad);
  if (sink == nullptr) return false;
  GstSample* sample = nullptr;
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "last-sample") != nullptr)
    g_object_get(sink, "last-sample", &sample, nullptr);
  gst_object_unref(sink);
  if (sample == nullptr) return false;
  const GstBuffer* buffer = gst_sample_get_buffer(sample);
  const GstSegment* segment = gst_sample_get_segment(sample);
  *time = buffer != nullptr && segment != nullptr && segment->format == GST_FORMAT_TIME
              ? gst_segment_to_stream_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer))
              : GST_CLOCK_TIME_NONE;
  gst_sample_unref(sample);
  return GST_CLOCK_TIME_IS_VALID(*time);
}

bool Element_AnswersDrain(GstQuery* query) {
  return GST_QUERY_TYPE(query) == GST_QUERY_DRAIN;
}

bool Element_DecoderDownstream(GstPad* src) {
  GstPad* pad =
      Downstream(src, [](GstElement* element) { return IsSink(element) || IsOurDecoder(element); });
  if (pad == nullptr) return false;
  GstElement* element = gst_pad_get_parent_element(pad);
  const bool ours = element != nullptr && IsOurDecoder(element);
  if (element != nullptr) gst_object_unref(element);
  gst_object_unref(pad);
  return ours;
}

bool Element_DecoderPending(GstPad* src) {
  bool unlinked = false;
  GstPad* pad = Downstream(
      src, [](GstElement* element) { return IsSink(element) || IsOurDecoder(element); }, &unlinked);
  if (pad == nullptr) return unlinked;
  gst_object_unref(pad);
  return false;
}

bool Element_Stopping(GstElement* element) {
  GstObject* object = GST_OBJECT(gst_object_ref(element));
  bool stopping = false;
  while (object != nullptr && !stopping) {
    if (GST_IS_ELEMENT(object)) {
      GST_OBJECT_LOCK(object);
      stopping = GST_STATE_TARGET(object) < GST_STATE_PAUSED;
      GST_OBJECT_UNLOCK(object);
    }
    GstObject* parent = gst_object_get_parent(object);
    gst_object_unref(object);
    object = parent;
  }
  if (object != nullptr) gst_object_unref(object);
  return stopping;
}

bool Element_Prerolled(GstElement* element) {
  GstObject* top = GST_OBJECT(gst_object_ref(element));
  while (GstObject* parent = gst_object_get_parent(top)) {
    gst_object_unref(top);
    top = parent;
  }
  bool prerolled = false;
  if (GST_IS_ELEMENT(top)) {
    GST_OBJECT_LOCK(top);
    prerolled = GST_STATE(top) >= GST_STATE_PAUSED;
    GST_OBJECT_UNLOCK(top);
  }
  gst_object_unref(top);
  return prerolled;
}

std::string MovieFileName(GstPad* sink) {
  std::string name;
  GstQuery* query = gst_query_new_uri();
  if (gst_pad_peer_query(sink, query)) {
    gchar* uri = nullptr;
    gst_query_parse_uri(query, &uri);
    if (uri != nullptr) {
      // Messages are UTF-8: a name in another encoding is shown as GLib shows file names, so
      // that an application can read the message at all.
      gchar* file = g_filename_from_uri(uri, nullptr, nullptr);
      gchar* shown = file != nullptr ? g_filename_display_name(file) : nullptr;
      name = shown != nullptr ? shown : uri;
      g_free(shown);
      g_free(file);
      g_free(uri);
    }
  }
  gst_query_unref(query);
  return name;
}

std::string WithFileName(const std::string& name, const std::string& text) {
  return name.empty() ? text : name + ": " + text;
}

GstElementClass* Element_Describe(gpointer element_class, GObjectFinalizeFunc finalize,
                                  std::initializer_list<GstStaticPadTemplate*> pads,
                                  const char* long_name, const char* klass,
                                  const char* description) {
  G_OBJECT_CLASS(element_class)->finalize = finalize;
  GstElementClass* element = GST_ELEMENT_CLASS(element_class);
  for (GstStaticPadTemplate* pad : pads) gst_element_class_add_static_pad_template(element, pad);
  gst_element_class_set_static_metadata(element, long_name, klass, description,
                                        "Tarvel developers");
  return element;
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
  return gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "kqm",
                                    "KQM6 movies: type finder, demuxer, picture and sound decoders",
                                    Plugin_Init, TARVEL_VERSION, GST_LICENSE_UNKNOWN, "tarvel",
                                    "Tarvel", "Tarvel");
}

}  // namespace tarvel::gst
