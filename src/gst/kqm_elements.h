// What the plugin's elements share: the media types they speak, the clock of a movie's
// pictures and sound periods, and the registration of the whole plugin.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace tarvel::gst {

// A whole movie file, as the type finder names it.
inline constexpr char kMovieMediaType[] = "video/x-kqm";
// One picture chunk payload per buffer; width, height and framerate in the caps.
inline constexpr char kPictureMediaType[] = "video/x-kqm-picture";
// One sound chunk payload per buffer (frame 0's, with its stream header, first; empty for a
// frame without one); in the caps: rate, channels, period-bytes (ADPCM bytes per frame period)
// and the stream header as codec_data.
inline constexpr char kSoundMediaType[] = "audio/x-kqm-adq";

// The caps of the streams between the demuxer and the decoders, for pad templates on both sides.
#define TARVEL_GST_PICTURE_CAPS                                                    \
  "video/x-kqm-picture, width = (int) [ 8, 65528 ], height = (int) [ 8, 65528 ], " \
  "framerate = (fraction) [ 0/1, MAX ]"
#define TARVEL_GST_SOUND_CAPS                                             \
  "audio/x-kqm-adq, rate = (int) [ 1, MAX ], channels = (int) [ 1, 2 ], " \
  "period-bytes = (int) [ 1, MAX ]"

// What GObject needs for one of the elements, which keeps its state, a C++ object, behind a
// pointer: the instance and class records (of a parent type `Parent`, whose class record is
// `Parent`Class), the type (its own functions are `name`_class_init and `name`_init, which
// creates the state), `name`_state (the state, from any pointer to the element) and
// `name`_finalize (which deletes the state, for the class's finalize).
#define TARVEL_GST_ELEMENT_TYPE(Name, name, Parent, PARENT_TYPE, State) \
  struct Name {                                                         \
    Parent parent;                                                      \
    State* state;                                                       \
  };                                                                    \
  struct Name##Class {                                                  \
    Parent##Class parent_class;                                         \
  };                                                                    \
  G_DEFINE_TYPE(Name, name, PARENT_TYPE)                                \
  [[maybe_unused]] static State& name##_state(gpointer element) {       \
    return *static_cast<Name*>(element)->state;                         \
  }                                                                     \
  static void name##_finalize(GObject* object) {                        \
    delete reinterpret_cast<Name*>(object)->state;                      \
    G_OBJECT_CLASS(name##_parent_class)->finalize(object);              \
  }

// Start of picture `frame` of a movie whose header gives `frame_duration` (1/200 s units;
// 0 plays at the player's default rate).
GstClockTime PictureTime(std::int64_t frame, std::uint16_t frame_duration);
// The frame rate as a fraction, for caps.
void PictureRate(std::uint16_t frame_duration, gint* numerator, gint* denominator);
// The frame whose picture is shown at `time` (the last to start at or before it) when pictures
// come at `numerator`/`denominator` frames per second, timestamped as PictureTime does.
std::int64_t FrameShownAt(GstClockTime time, gint numerator, gint denominator);
// The frame a video sink shows when it gives `time` as its position. Paused, a sink gives the
// start of the picture it holds (or where a seek put it inside); playing, the clock's time,
// or, when it does not follow the clock or has ended, where the last picture shown ends: the
// start of the next one, not shown.
std::int64_t FrameAtSinkPosition(GstClockTime time, gint numerator, gint denominator, bool playing);
// Start of sound period `period` when a period holds `period_samples` sample frames.
GstClockTime PeriodTime(std::int64_t period, std::int64_t period_samples, std::uint32_t rate);
// The position in time of the sink that the data from `src` reach, asked of the sink itself past
// queues, converters and bins, where it can be found (of the element after `src` where the way
// splits, as at a tee). A converter on the way answers such a query itself, with the end of the
// last buffer it passed on: ahead of the sink by a buffer, and by as many as the queues after it
// hold.
bool SinkPosition(GstPad* src, gint64* time);
// The time of the last buffer that sink has shown, in the stream: the picture on the screen,
// playing or paused (a video sink paused from playing shows the picture that was waiting for its
// time, after the time it gives). False when it keeps none (none since a flush, or a sink that
// does not keep its last buffer) or it cannot be found.
bool SinkLastShown(GstPad* src, GstClockTime* time);

// Whether `query`, reaching a decoder, is a drain, which the decoder answers itself: the
// demuxer holds the error of a cut movie back with one until what was sent before it has been
// decoded and passed on (queues hold it back until then). Sent on to the sink, it waited there
// for an application's sink to be emptied, for ever where it takes one picture and stops, and
// a pipeline stopped meanwhile hung or aborted inside the sink.
bool Element_AnswersDrain(GstQuery* query);
// Whether the data from `src` reach one of this plugin's decoders, past queues and bins, before
// any sink: the demuxer waits with a drain only then. A sink holds a drain until the
// application has taken all it was given, for ever where it takes one picture and stops, and a
// pipeline stopped meanwhile hung.
bool Element_DecoderDownstream(GstPad* src);
// Whether the way from `src` ends, before any sink or decoder, at a pad not linked on yet: a
// decodebin3 (playbin3, uridecodebin3) links its queue to a decoder some time after the
// demuxer's pads were added, and may never link a stream it does not select.
bool Element_DecoderPending(GstPad* src);
// Whether the pipeline `element` is in has prerolled (reached PAUSED): a way on that is not
// linked by then is one the pipeline leaves unlinked (a decodebin3's stream it does not select).
bool Element_Prerolled(GstElement* element);
// Whether `element` or a bin it is in has been asked to go below PAUSED: a pipeline being
// stopped deactivates its downstream elements first, which answers what waits on them (a drain)
// as if it had failed, while the element itself still runs.
bool Element_Stopping(GstElement* element);

// The movie's file, for messages, as the source upstream of `sink` (a sink pad of one of the
// elements) names it; empty when upstream cannot tell.
std::string MovieFileName(GstPad* sink);
// `text` after the file's name and ": ", so that every message says which movie it is about;
// `text` alone when the name is not known.
std::string WithFileName(const std::string& name, const std::string& text);

// Sets up an element class: its finalize function, its pad templates and the description
// gst-inspect-1.0 shows (`long_name`, `klass` in GStreamer's "Codec/Decoder/Video" style, and
// `description`). Returns the class as an element class.
GstElementClass* Element_Describe(gpointer element_class, GObjectFinalizeFunc finalize,
                                  std::initializer_list<GstStaticPadTemplate*> pads,
                                  const char* long_name, const char* klass,
                                  const char* description);

// Registers the type finder and the three elements with `plugin`.
gboolean Plugin_Init(GstPlugin* plugin);
// Registers the plugin inside this process, for programs that link the elements in.
gboolean Plugin_RegisterStatic();

}  // namespace tarvel::gst
