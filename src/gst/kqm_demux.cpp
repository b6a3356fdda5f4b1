#include "gst/kqm_demux.h"

#include <gst/base/gstflowcombiner.h>

#include <optional>
#include <string>
#include <vector>

#include "audio/sound_period.h"
#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "gst/kqm_elements.h"
#include "gst/kqm_sound_restart.h"

GST_DEBUG_CATEGORY_STATIC(kqm_demux_debug);
#define GST_CAT_DEFAULT kqm_demux_debug

namespace tarvel::gst {
namespace {

struct DemuxState {
  GstPad* sink = nullptr;
  GstPad* video = nullptr;
  GstPad* audio = nullptr;
  GstFlowCombiner* flows = nullptr;

  // Set when the movie is opened; read by queries under the object lock.
  bool opened = false;
  MovieHeader header;

  MovieReader reader;
  GstFlowReturn pull_result = GST_FLOW_OK;  // the last answer of the upstream element
  std::vector<std::uint8_t> chunks;
  std::int64_t next_frame = 0;  // the frame the reader loads next
  std::string name;             // the file, for messages

  // The sound, when the movie has a stream the player can play.
  bool sound = false;
  std::uint32_t rate = 0;
  std::int64_t period_samples = 0;

  GstSegment segment;
  bool send_segment = true;
  bool video_discont = true;
  bool audio_discont = true;
  // Where the streams start: frame 0, or where a seek put them.
  std::int64_t video_from = 0;
  std::int64_t audio_from = 0;
  std::optional<SoundRestart> audio_restart;
};

}  // namespace
}  // namespace tarvel::gst

struct GstKqmDemux {
  GstElement parent;
  tarvel::gst::DemuxState* state;
};

struct GstKqmDemuxClass {
  GstElementClass parent_class;
};

G_DEFINE_TYPE(GstKqmDemux, gst_kqm_demux, GST_TYPE_ELEMENT)

namespace tarvel::gst {
namespace {

GstKqmDemux* Self(gpointer object) {
  return static_cast<GstKqmDemux*>(object);
}

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-kqm"));

GstStaticPadTemplate video_template = GST_STATIC_PAD_TEMPLATE(
    "video_%u", GST_PAD_SRC, GST_PAD_SOMETIMES,
    GST_STATIC_CAPS("video/x-kqm-picture, width = (int) [ 8, 65528 ], "
                    "height = (int) [ 8, 65528 ], framerate = (fraction) [ 0/1, MAX ]"));

GstStaticPadTemplate audio_template = GST_STATIC_PAD_TEMPLATE(
    "audio_%u", GST_PAD_SRC, GST_PAD_SOMETIMES,
    GST_STATIC_CAPS("audio/x-kqm-adq, rate = (int) [ 1, MAX ], channels = (int) [ 1, 2 ], "
                    "period-bytes = (int) [ 1, MAX ]"));

// Serves the container reader's byte ranges from the upstream element.
bool PullRange(void* user, std::int64_t offset, void* buffer, std::size_t length) {
  DemuxState& s = *static_cast<DemuxState*>(user);
  if (length > G_MAXUINT) return false;
  GstBuffer* data = nullptr;
  s.pull_result = gst_pad_pull_range(s.sink, static_cast<guint64>(offset),
                                     static_cast<guint>(length), &data);
  if (s.pull_result != GST_FLOW_OK) return false;
  const gsize copied = gst_buffer_extract(data, 0, buffer, length);
  gst_buffer_unref(data);
  return copied == length;
}

// The movie's name for messages: its file, when upstream can tell.
std::string MovieName(GstPad* sink) {
  std::string name;
  GstQuery* query = gst_query_new_uri();
  if (gst_pad_peer_query(sink, query)) {
    gchar* uri = nullptr;
    gst_query_parse_uri(query, &uri);
    if (uri != nullptr) {
      gchar* file = g_filename_from_uri(uri, nullptr, nullptr);
      name = file != nullptr ? file : uri;
      g_free(file);
      g_free(uri);
    }
  }
  gst_query_unref(query);
  return name;
}

std::string Prefixed(const DemuxState& s, const std::string& text) {
  return s.name.empty() ? text : s.name + ": " + text;
}

#define DEMUX_ERROR(element, state, kind, text)                                           \
  GST_ELEMENT_ERROR(element, STREAM, kind, ("%s", Prefixed(state, text).c_str()), (nullptr))

GstClockTime MovieDuration(const DemuxState& s) {
  return PictureTime(s.header.frame_count, s.header.frame_duration);
}

GstPad* AddSourcePad(GstElement* element, DemuxState& s, GstStaticPadTemplate* templ,
                     const char* name, GstCaps* caps, GstTagList* tags, guint group);
gboolean SrcEvent(GstPad* pad, GstObject* parent, GstEvent* event);
gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query);

// Reads the header and frame 0 and makes the pads. False after posting an error.
bool Open(GstElement* element, DemuxState& s) {
  s.name = MovieName(s.sink);
  gint64 length = -1;
  if (!gst_pad_peer_query_duration(s.sink, GST_FORMAT_BYTES, &length)) length = -1;
  SourceCallback callback;
  callback.read_at = PullRange;
  callback.user = &s;
  callback.length = length;
  std::string error;
  if (!MovieReader_OpenCallback(s.reader, callback, &error)) {
    if (s.pull_result == GST_FLOW_FLUSHING) return false;
    DEMUX_ERROR(element, s, WRONG_TYPE, error);
    return false;
  }
  const MovieHeader header = s.reader.header;
  if (!IsSupportedPictureSize(header.width, header.height)) {
    DEMUX_ERROR(element, s, WRONG_TYPE,
                "picture size " + std::to_string(header.width) + "x" +
                    std::to_string(header.height) +
                    " cannot be played (width and height must be non-zero multiples of 8)");
    return false;
  }
  if (header.frame_count == 0) {
    DEMUX_ERROR(element, s, DEMUX, "the header gives no frames");
    return false;
  }

  // The sound is set up from frame 0's chunk, as the player does; it plays silent when that
  // chunk is missing or not a stream it can play.
  const FrameRead first = MovieReader_Next(s.reader, s.chunks);
  if (first != FrameRead::kOk) {
    if (s.pull_result == GST_FLOW_FLUSHING) return false;
    DEMUX_ERROR(element, s, DEMUX, std::string("frame 0: ") + FrameReadText(first));
    return false;
  }
  const LoadedFrame frame0{s.chunks.data(), static_cast<std::uint32_t>(s.chunks.size())};
  std::int32_t lead_length = 0;
  const std::uint8_t* lead = header.sound ? Sound_FindAudioChunk(frame0, &lead_length) : nullptr;
  SoundStreamFacts facts;
  std::string sound_problem;
  if (header.sound && lead == nullptr) {
    sound_problem = "frame 0 has no sound chunk (\"AA\" or \"BB\")";
  } else if (lead != nullptr) {
    facts = Sound_DescribeStream(lead, lead_length, header.frame_count);
    if (facts.result != kAdpcmOk)
      sound_problem = std::string("frame 0: ") + Adpcm_ErrorText(facts.result);
    else if (facts.frequency == 0 || facts.frequency > G_MAXINT)
      sound_problem = "the sound stream's rate (" + std::to_string(facts.frequency) +
                      " Hz) cannot be played";
    else if (facts.pcm_bytes_per_period <= 0)
      sound_problem = "frame 0's sound chunk holds less than one frame period of codes";
  }
  if (!sound_problem.empty()) {
    GST_ELEMENT_WARNING(element, STREAM, DEMUX,
                        ("%s", Prefixed(s, sound_problem + "; the pictures play without sound")
                                   .c_str()),
                        (nullptr));
  }

  GST_OBJECT_LOCK(element);
  s.header = header;
  s.opened = true;
  s.sound = lead != nullptr && sound_problem.empty();
  s.rate = facts.frequency;
  s.period_samples = facts.samples_per_period;
  GST_OBJECT_UNLOCK(element);

  const guint group = gst_util_group_id_next();
  gint rate_n = 0, rate_d = 1;
  PictureRate(header.frame_duration, &rate_n, &rate_d);
  GstCaps* video_caps = gst_caps_new_simple(
      kPictureMediaType, "width", G_TYPE_INT, static_cast<gint>(header.width), "height",
      G_TYPE_INT, static_cast<gint>(header.height), "framerate", GST_TYPE_FRACTION, rate_n,
      rate_d, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
  GstTagList* video_tags = gst_tag_list_new(GST_TAG_CONTAINER_FORMAT, "KQM6", GST_TAG_VIDEO_CODEC,
                                            "KQM6 block video", nullptr);
  s.video = AddSourcePad(element, s, &video_template, "video_0", video_caps, video_tags, group);
  if (s.sound) {
    GstBuffer* codec_data = gst_buffer_new_memdup(lead, kAdqHeaderSize);
    GstCaps* audio_caps = gst_caps_new_simple(
        kSoundMediaType, "rate", G_TYPE_INT, static_cast<gint>(s.rate), "channels", G_TYPE_INT,
        facts.stereo ? 2 : 1, "period-bytes", G_TYPE_INT, facts.adpcm_bytes_per_period,
        "codec_data", GST_TYPE_BUFFER, codec_data, nullptr);
    gst_buffer_unref(codec_data);
    GstTagList* audio_tags = gst_tag_list_new(GST_TAG_CONTAINER_FORMAT, "KQM6",
                                              GST_TAG_AUDIO_CODEC, "ADQ 4-bit ADPCM", nullptr);
    s.audio = AddSourcePad(element, s, &audio_template, "audio_0", audio_caps, audio_tags, group);
  }
  gst_element_no_more_pads(element);

  // Frame 0 is loaded; the loop goes back to it.
  MovieReader_SeekTo(s.reader, kFirstFrameOffset);
  s.next_frame = 0;
  return true;
}

GstPad* AddSourcePad(GstElement* element, DemuxState& s, GstStaticPadTemplate* templ,
                     const char* name, GstCaps* caps, GstTagList* tags, guint group) {
  GstPad* pad = gst_pad_new_from_static_template(templ, name);
  gst_pad_set_event_function(pad, SrcEvent);
  gst_pad_set_query_function(pad, SrcQuery);
  gst_pad_use_fixed_caps(pad);
  gst_pad_set_active(pad, TRUE);
  gchar* stream_id = gst_pad_create_stream_id(pad, element, name);
  GstEvent* start = gst_event_new_stream_start(stream_id);
  g_free(stream_id);
  gst_event_set_group_id(start, group);
  gst_pad_push_event(pad, start);
  gst_pad_push_event(pad, gst_event_new_caps(caps));
  gst_caps_unref(caps);
  gst_tag_list_set_scope(tags, GST_TAG_SCOPE_STREAM);
  gst_pad_push_event(pad, gst_event_new_tag(tags));
  gst_element_add_pad(element, pad);
  gst_flow_combiner_add_pad(s.flows, pad);
  return pad;
}

void RemovePads(GstElement* element, DemuxState& s) {
  for (GstPad** pad : {&s.video, &s.audio}) {
    if (*pad == nullptr) continue;
    gst_flow_combiner_remove_pad(s.flows, *pad);
    gst_element_remove_pad(element, *pad);
    *pad = nullptr;
  }
}

void PushEvent(DemuxState& s, GstEvent* event) {
  if (s.video) gst_pad_push_event(s.video, gst_event_ref(event));
  if (s.audio) gst_pad_push_event(s.audio, gst_event_ref(event));
  gst_event_unref(event);
}

GstBuffer* ChunkBuffer(const std::uint8_t* payload, std::int32_t length) {
  if (payload == nullptr || length <= 0) return gst_buffer_new();
  return gst_buffer_new_memdup(payload, static_cast<gsize>(length));
}

GstFlowReturn PushFrame(DemuxState& s, std::int64_t index) {
  const LoadedFrame frame{s.chunks.data(), static_cast<std::uint32_t>(s.chunks.size())};
  GstFlowReturn result = GST_FLOW_OK;
  if (index >= s.video_from) {
    std::int32_t length = 0;
    const std::uint8_t* picture = Frame_FindChunk(frame, "IX", &length);
    GstBuffer* buffer = ChunkBuffer(picture, length);
    const bool key = picture != nullptr && length >= 4 && static_cast<std::int32_t>(ReadLe32(picture)) < 0;
    GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) =
        PictureTime(index, s.header.frame_duration);
    GST_BUFFER_DURATION(buffer) =
        PictureTime(index + 1, s.header.frame_duration) - GST_BUFFER_PTS(buffer);
    GST_BUFFER_OFFSET(buffer) = static_cast<guint64>(index);
    GST_BUFFER_OFFSET_END(buffer) = static_cast<guint64>(index + 1);
    if (!key) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (s.video_discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    s.video_discont = false;
    result = gst_flow_combiner_update_pad_flow(s.flows, s.video, gst_pad_push(s.video, buffer));
  }
  if (s.audio && index >= s.audio_from && result == GST_FLOW_OK) {
    std::int32_t length = 0;
    const std::uint8_t* codes = Sound_FindAudioChunk(frame, &length);
    GstBuffer* buffer = ChunkBuffer(codes, length);
    // Frame 0's chunk holds the first 32 periods; every later frame's the period 31 frames on.
    const std::int64_t first = index == 0 ? 0 : index + kLeadPeriods - 1;
    const std::int64_t end = index == 0 ? kLeadPeriods : first + 1;
    GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = PeriodTime(first, s.period_samples, s.rate);
    GST_BUFFER_DURATION(buffer) =
        PeriodTime(end, s.period_samples, s.rate) - GST_BUFFER_PTS(buffer);
    GST_BUFFER_OFFSET(buffer) = static_cast<guint64>(index);
    GST_BUFFER_OFFSET_END(buffer) = static_cast<guint64>(index + 1);
    if (index == s.audio_from && s.audio_restart) {
      SoundRestart_Attach(buffer, *s.audio_restart);
      s.audio_restart.reset();
    }
    if (s.audio_discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    s.audio_discont = false;
    result = gst_flow_combiner_update_pad_flow(s.flows, s.audio, gst_pad_push(s.audio, buffer));
  }
  return result;
}

void Loop(gpointer user) {
  GstElement* element = GST_ELEMENT(user);
  DemuxState& s = *Self(user)->state;
  GstFlowReturn result = GST_FLOW_OK;
  bool error_posted = false;

  if (!s.opened) {
    if (!Open(element, s)) {
      result = s.pull_result == GST_FLOW_FLUSHING ? GST_FLOW_FLUSHING : GST_FLOW_ERROR;
      error_posted = result == GST_FLOW_ERROR;
      goto pause;
    }
  }
  if (s.next_frame >= s.header.frame_count ||
      (GST_CLOCK_TIME_IS_VALID(s.segment.stop) &&
       PictureTime(s.next_frame, s.header.frame_duration) >= s.segment.stop)) {
    result = GST_FLOW_EOS;
    goto pause;
  }
  {
    const FrameRead read = MovieReader_Next(s.reader, s.chunks);
    if (read != FrameRead::kOk) {
      if (s.pull_result == GST_FLOW_FLUSHING) {
        result = GST_FLOW_FLUSHING;
        goto pause;
      }
      if (read == FrameRead::kEnd)
        DEMUX_ERROR(element, s, DEMUX,
                    "the movie data ends after " + std::to_string(s.next_frame) + " of " +
                        std::to_string(s.header.frame_count) + " frames");
      else
        DEMUX_ERROR(element, s, DEMUX,
                    "frame " + std::to_string(s.next_frame) + ": " + FrameReadText(read));
      result = GST_FLOW_ERROR;
      error_posted = true;
      goto pause;
    }
  }
  if (s.send_segment) {
    GstEvent* segment = gst_event_new_segment(&s.segment);
    PushEvent(s, segment);
    s.send_segment = false;
  }
  result = PushFrame(s, s.next_frame);
  ++s.next_frame;
  if (result == GST_FLOW_OK) return;

pause:
  GST_DEBUG_OBJECT(element, "pausing: %s", gst_flow_get_name(result));
  gst_pad_pause_task(s.sink);
  if (result == GST_FLOW_EOS) {
    if (s.segment.flags & GST_SEGMENT_FLAG_SEGMENT) {
      const GstClockTime stop = GST_CLOCK_TIME_IS_VALID(s.segment.stop) ? s.segment.stop
                                                                          : MovieDuration(s);
      gst_element_post_message(element, gst_message_new_segment_done(
                                            GST_OBJECT(element), GST_FORMAT_TIME,
                                            static_cast<gint64>(stop)));
      PushEvent(s, gst_event_new_segment_done(GST_FORMAT_TIME, static_cast<gint64>(stop)));
    } else {
      PushEvent(s, gst_event_new_eos());
    }
  } else if (result == GST_FLOW_NOT_LINKED || result < GST_FLOW_EOS) {
    if (!error_posted) GST_ELEMENT_FLOW_ERROR(element, result);
    PushEvent(s, gst_event_new_eos());
  }
}

gboolean SrcEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_SEEK:
      // Seeking comes with the frame index.
      gst_event_unref(event);
      return FALSE;
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query) {
  DemuxState& s = *Self(parent)->state;
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_DURATION: {
      GstFormat format;
      gst_query_parse_duration(query, &format, nullptr);
      if (format != GST_FORMAT_TIME) return FALSE;
      GST_OBJECT_LOCK(parent);
      const bool opened = s.opened;
      const GstClockTime duration = MovieDuration(s);
      GST_OBJECT_UNLOCK(parent);
      if (!opened) return FALSE;
      gst_query_set_duration(query, GST_FORMAT_TIME, static_cast<gint64>(duration));
      return TRUE;
    }
    case GST_QUERY_SEEKING: {
      GstFormat format;
      gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
      if (format != GST_FORMAT_TIME) return FALSE;
      gst_query_set_seeking(query, GST_FORMAT_TIME, FALSE, 0, -1);
      return TRUE;
    }
    default:
      return gst_pad_query_default(pad, parent, query);
  }
}

gboolean SinkActivate(GstPad* sink, GstObject* parent) {
  GstQuery* query = gst_query_new_scheduling();
  const gboolean answered = gst_pad_peer_query(sink, query);
  const gboolean pull =
      answered && gst_query_has_scheduling_mode_with_flags(query, GST_PAD_MODE_PULL,
                                                            GST_SCHEDULING_FLAG_SEEKABLE);
  gst_query_unref(query);
  if (!pull) {
    GST_ELEMENT_ERROR(parent, STREAM, DEMUX,
                      ("KQM6 movies are read from a source that can seek, such as a file."),
                      ("upstream cannot be pulled from"));
    return FALSE;
  }
  return gst_pad_activate_mode(sink, GST_PAD_MODE_PULL, TRUE);
}

gboolean SinkActivateMode(GstPad* sink, GstObject* parent, GstPadMode mode, gboolean active) {
  if (mode != GST_PAD_MODE_PULL) return FALSE;
  if (active) return gst_pad_start_task(sink, Loop, parent, nullptr);
  return gst_pad_stop_task(sink);
}

void ResetState(DemuxState& s) {
  MovieReader_Close(s.reader);
  s.reader = MovieReader{};
  s.opened = false;
  s.header = MovieHeader{};
  s.chunks.clear();
  s.next_frame = 0;
  s.name.clear();
  s.sound = false;
  s.rate = 0;
  s.period_samples = 0;
  s.pull_result = GST_FLOW_OK;
  gst_segment_init(&s.segment, GST_FORMAT_TIME);
  s.send_segment = true;
  s.video_discont = s.audio_discont = true;
  s.video_from = s.audio_from = 0;
  s.audio_restart.reset();
  gst_flow_combiner_reset(s.flows);
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
  DemuxState& s = *Self(element)->state;
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
    GST_OBJECT_LOCK(element);
    ResetState(s);
    GST_OBJECT_UNLOCK(element);
  }
  const GstStateChangeReturn result =
      GST_ELEMENT_CLASS(gst_kqm_demux_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    RemovePads(element, s);
    GST_OBJECT_LOCK(element);
    ResetState(s);
    GST_OBJECT_UNLOCK(element);
  }
  return result;
}

void Finalize(GObject* object) {
  DemuxState* s = Self(object)->state;
  MovieReader_Close(s->reader);
  gst_flow_combiner_free(s->flows);
  delete s;
  G_OBJECT_CLASS(gst_kqm_demux_parent_class)->finalize(object);
}

}  // namespace
}  // namespace tarvel::gst

static void gst_kqm_demux_class_init(GstKqmDemuxClass* klass) {
  using namespace tarvel::gst;
  GST_DEBUG_CATEGORY_INIT(kqm_demux_debug, "kqmdemux", 0, "KQM6 movie demuxer");
  G_OBJECT_CLASS(klass)->finalize = Finalize;
  GstElementClass* element = GST_ELEMENT_CLASS(klass);
  element->change_state = ChangeState;
  gst_element_class_add_static_pad_template(element, &sink_template);
  gst_element_class_add_static_pad_template(element, &video_template);
  gst_element_class_add_static_pad_template(element, &audio_template);
  gst_element_class_set_static_metadata(
      element, "KQM6 movie demuxer", "Codec/Demuxer",
      "Splits a KQM6 movie (.kqm, .kqs) into its picture chunks (video_0) and its sound chunks "
      "(audio_0, when the movie has sound the player can play), timestamped as the Tarvel "
      "player presents them",
      "Tarvel developers");
}

static void gst_kqm_demux_init(GstKqmDemux* self) {
  using namespace tarvel::gst;
  self->state = new DemuxState;
  DemuxState& s = *self->state;
  s.flows = gst_flow_combiner_new();
  gst_segment_init(&s.segment, GST_FORMAT_TIME);
  s.sink = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_activate_function(s.sink, SinkActivate);
  gst_pad_set_activatemode_function(s.sink, SinkActivateMode);
  gst_element_add_pad(GST_ELEMENT(self), s.sink);
}

namespace tarvel::gst {

gboolean Demux_Register(GstPlugin* plugin) {
  return gst_element_register(plugin, "kqmdemux", GST_RANK_PRIMARY, gst_kqm_demux_get_type());
}

}  // namespace tarvel::gst
