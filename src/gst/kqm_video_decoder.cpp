#include "gst/kqm_video_decoder.h"

#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "container/movie_format.h"
#include "gst/kqm_elements.h"
#include "gst/kqm_sound_restart.h"
#include "video/key_frame.h"
#include "video/video_decoder.h"

GST_DEBUG_CATEGORY_STATIC(kqm_video_decoder_debug);
#define GST_CAT_DEFAULT kqm_video_decoder_debug

namespace tarvel::gst {
namespace {

struct PictureState {
  // The player's decoder with its own two pictures, which start all zero.
  std::unique_ptr<VideoDecoder> decoder;
  GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN;
  GstVideoCodecState* input_state = nullptr;
  std::int64_t next_frame = 0;  // the frame that follows the last one decoded
  // The pictures hold what playback has at next_frame. Not so after a start, a flush or frames
  // lost on the way (a valve, a leaky queue, a branch linked while playing): the pictures are
  // right again from frame 0 or a key frame that decodes alone, where seeks start too, and the
  // demuxer is asked to send the frames from one again. It asks once until it shows a right
  // picture: frames lost again as they are sent again would make it ask without end.
  bool in_step = false;
  bool asked_rejoin = false;
  std::string name;  // the movie's file, for messages
  // A damaged movie warns once for each kind of damage, naming its first frame: a warning a
  // frame would flood the application's bus. The debug log keeps every frame.
  bool warned_missing = false;
  bool warned_corrupt = false;
  // The last frame whose picture went downstream (-1: none since the start or the flush), for
  // position queries from other threads.
  std::atomic<std::int64_t> last_out{-1};
};

}  // namespace
}  // namespace tarvel::gst

TARVEL_GST_ELEMENT_TYPE(GstKqmVideoDecoder, gst_kqm_video_decoder, GstVideoDecoder,
                        GST_TYPE_VIDEO_DECODER, tarvel::gst::PictureState)

namespace tarvel::gst {
namespace {

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(TARVEL_GST_PICTURE_CAPS));

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) { RGB15, RGB16 }, "
                    "width = (int) [ 8, 65528 ], height = (int) [ 8, 65528 ], "
                    "framerate = (fraction) [ 0/1, MAX ]"));

// The player's own format, 5-5-5, unless downstream takes only 5-6-5.
GstVideoFormat ChooseFormat(GstVideoDecoder* decoder) {
  GstCaps* allowed = gst_pad_get_allowed_caps(GST_VIDEO_DECODER_SRC_PAD(decoder));
  if (allowed == nullptr) return GST_VIDEO_FORMAT_RGB15;
  GstVideoFormat chosen = GST_VIDEO_FORMAT_RGB15;
  GstCaps* rgb15 = gst_caps_from_string("video/x-raw, format = (string) RGB15");
  GstCaps* rgb16 = gst_caps_from_string("video/x-raw, format = (string) RGB16");
  if (!gst_caps_can_intersect(allowed, rgb15) && gst_caps_can_intersect(allowed, rgb16))
    chosen = GST_VIDEO_FORMAT_RGB16;
  gst_caps_unref(rgb15);
  gst_caps_unref(rgb16);
  gst_caps_unref(allowed);
  return chosen;
}

gboolean SetFormat(GstVideoDecoder* decoder, GstVideoCodecState* input) {
  PictureState& s = gst_kqm_video_decoder_state(decoder);
  const GstStructure* caps = gst_caps_get_structure(input->caps, 0);
  gint width = 0, height = 0;
  gst_structure_get_int(caps, "width", &width);
  gst_structure_get_int(caps, "height", &height);
  if (const std::string problem = PictureSizeProblem(width, height); !problem.empty()) {
    GST_ELEMENT_ERROR(decoder, STREAM, FORMAT, (nullptr), ("%s", problem.c_str()));
    return FALSE;
  }
  s.name = MovieFileName(GST_VIDEO_DECODER_SINK_PAD(decoder));
  const GstVideoFormat format = ChooseFormat(decoder);
  if (!s.decoder || width != s.decoder->width() || height != s.decoder->height() ||
      format != s.format) {
    s.decoder = VideoDecoder::Create(height, width, format == GST_VIDEO_FORMAT_RGB16 ? 16 : 15);
    if (!s.decoder) {
      GST_ELEMENT_ERROR(decoder, RESOURCE, NO_SPACE_LEFT, (nullptr),
                        ("no memory for a %dx%d picture decoder", width, height));
      return FALSE;
    }
    s.format = format;
  }
  if (s.input_state) gst_video_codec_state_unref(s.input_state);
  s.input_state = gst_video_codec_state_ref(input);

  GstVideoCodecState* output = gst_video_decoder_set_output_state(
      decoder, format, static_cast<guint>(width), static_cast<guint>(height), input);
  gst_video_colorimetry_from_string(&output->info.colorimetry, GST_VIDEO_COLORIMETRY_SRGB);
  gst_video_codec_state_unref(output);
  return gst_video_decoder_negotiate(decoder);
}

gboolean Start(GstVideoDecoder* decoder) {
  PictureState& s = gst_kqm_video_decoder_state(decoder);
  if (s.decoder) s.decoder->Reset();
  s.next_frame = 0;
  s.in_step = s.asked_rejoin = false;
  s.warned_missing = s.warned_corrupt = false;
  s.last_out = -1;
  return TRUE;
}

gboolean Stop(GstVideoDecoder* decoder) {
  PictureState& s = gst_kqm_video_decoder_state(decoder);
  if (s.input_state) gst_video_codec_state_unref(s.input_state);
  s.input_state = nullptr;
  s.decoder.reset();
  s.format = GST_VIDEO_FORMAT_UNKNOWN;
  return TRUE;
}

// Every picture is finished when its chunk has been decoded: nothing is held back.
GstFlowReturn Drain(GstVideoDecoder* /*decoder*/) {
  return GST_FLOW_OK;
}

// After a seek decoding starts again at a key frame, on cleared pictures.
gboolean Flush(GstVideoDecoder* decoder) {
  PictureState& s = gst_kqm_video_decoder_state(decoder);
  if (s.decoder) s.decoder->Reset();
  s.in_step = s.asked_rejoin = false;
  s.last_out = -1;
  return TRUE;
}

GstFlowReturn HandleFrame(GstVideoDecoder* decoder, GstVideoCodecFrame* frame) {
  PictureState& s = gst_kqm_video_decoder_state(decoder);
  if (!s.decoder) {
    gst_video_decoder_drop_frame(decoder, frame);
    GST_ELEMENT_ERROR(decoder, CORE, NEGOTIATION, (nullptr), ("no picture format was set"));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  GstBuffer* input = frame->input_buffer;
  const std::int64_t index = GST_BUFFER_OFFSET_IS_VALID(input)
                                 ? static_cast<std::int64_t>(GST_BUFFER_OFFSET(input))
                                 : s.next_frame;
  const bool in_step = s.in_step && index == s.next_frame;
  s.next_frame = index + 1;
  s.in_step = true;

  GstMapInfo in;
  if (!gst_buffer_map(input, &in, GST_MAP_READ)) {
    gst_video_decoder_drop_frame(decoder, frame);
    GST_ELEMENT_ERROR(decoder, RESOURCE, READ, (nullptr),
                      ("cannot read frame %lld", static_cast<long long>(index)));
    return GST_FLOW_ERROR;
  }
  // Out of step, a picture is built on pictures this decoder does not have: it is shown as
  // the stream gives it, flagged CORRUPTED, and the demuxer is asked to send again the frames
  // from where decoding can start, so that the next pictures are the right ones.
  int decoded = kDecodeOk;
  bool guessed = false;
  const bool key = PictureChunk_IsKey(in.data, static_cast<std::int64_t>(in.size));
  if (in_step || index == 0 || !key) {
    // Frame 0 out of step (a loop, a seek) starts on cleared pictures, as playback does.
    if (!in_step && index == 0) s.decoder->Reset();
    guessed = !in_step && index != 0;
    if (in.size != 0) decoded = s.decoder->Decode(in.data, in.size);
  } else {
    guessed = !DecodeKeyFrameAlone(*s.decoder, in.data, in.size, &decoded);
  }
  if (guessed) {
    s.in_step = false;
    GST_DEBUG_OBJECT(decoder, "frame %lld: decoded on pictures lost upstream",
                     static_cast<long long>(index));
    if (!s.asked_rejoin)
      s.asked_rejoin = gst_pad_push_event(GST_VIDEO_DECODER_SINK_PAD(decoder),
                                          Rejoin_NewRequest(RejoinRequest::kPictures));
  }
  // An empty buffer stands for a frame without a picture chunk: the previous picture stays.
  const char* problem = nullptr;
  bool* warned = nullptr;
  if (in.size == 0) {
    problem = " has no picture; the previous picture stays";
    warned = &s.warned_missing;
  } else if (decoded != kDecodeOk) {
    problem = ": picture data is corrupt, decoding of the frame stopped early";
    warned = &s.warned_corrupt;
  }
  const bool corrupt = problem != nullptr;
  if (corrupt) {
    const std::string text = WithFileName(s.name, "frame " + std::to_string(index) + problem);
    if (*warned) {
      GST_INFO_OBJECT(decoder, "%s", text.c_str());
    } else {
      *warned = true;
      GST_ELEMENT_WARNING(decoder, STREAM, DECODE, ("%s", text.c_str()), (nullptr));
    }
  }
  gst_buffer_unmap(input, &in);

  // A frame sent again to decode the pictures after it (see RejoinRequest) is not shown.
  if (GST_BUFFER_FLAG_IS_SET(input, GST_BUFFER_FLAG_DECODE_ONLY)) {
    gst_video_decoder_release_frame(decoder, frame);
    return GST_FLOW_OK;
  }
  if (!guessed) s.asked_rejoin = false;
  // A picture that would be shown too late is not copied out (it was decoded all the same,
  // since the next frames build on it).
  if (gst_video_decoder_get_max_decode_time(decoder, frame) < 0)
    return gst_video_decoder_drop_frame(decoder, frame);

  const GstFlowReturn allocated = gst_video_decoder_allocate_output_frame(decoder, frame);
  if (allocated != GST_FLOW_OK) {
    gst_video_decoder_drop_frame(decoder, frame);
    return allocated;
  }
  GstVideoCodecState* output_state = gst_video_decoder_get_output_state(decoder);
  GstVideoFrame picture;
  const gboolean mapped =
      gst_video_frame_map(&picture, &output_state->info, frame->output_buffer, GST_MAP_WRITE);
  gst_video_codec_state_unref(output_state);
  if (!mapped) {
    gst_video_decoder_drop_frame(decoder, frame);
    GST_ELEMENT_ERROR(decoder, RESOURCE, WRITE, (nullptr), ("cannot write a picture"));
    return GST_FLOW_ERROR;
  }
  const PictureView shown = s.decoder->Picture();
  const std::size_t row_bytes = static_cast<std::size_t>(shown.width) * sizeof(std::uint16_t);
  auto* out = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&picture, 0));
  const auto stride = static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&picture, 0));
  const auto* rows = reinterpret_cast<const std::uint8_t*>(shown.pixels);
  for (int y = 0; y < shown.height; ++y)
    std::memcpy(out + static_cast<std::size_t>(y) * stride,
                rows + static_cast<std::size_t>(y) * row_bytes, row_bytes);
  gst_video_frame_unmap(&picture);
  if (corrupt || guessed)
    GST_VIDEO_CODEC_FRAME_FLAG_SET(frame, GST_VIDEO_CODEC_FRAME_FLAG_CORRUPTED);
  s.last_out = index;
  return gst_video_decoder_finish_frame(decoder, frame);
}

// Seeks go to the demuxer as they come. GStreamer's decoder would take one the demuxer refuses
// in bytes for the decoded pictures' bytes and seek there itself, the sound's copy of it
// refused: the pictures moved while the pipeline answered that the seek failed.
gboolean SrcEvent(GstVideoDecoder* decoder, GstEvent* event) {
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK)
    return gst_pad_push_event(GST_VIDEO_DECODER_SINK_PAD(decoder), event);
  return GST_VIDEO_DECODER_CLASS(gst_kqm_video_decoder_parent_class)->src_event(decoder, event);
}

// The pictures' rate, once the output is set up; false before.
bool OutputRate(GstVideoDecoder* decoder, gint* numerator, gint* denominator) {
  GstVideoCodecState* output = gst_video_decoder_get_output_state(decoder);
  if (output == nullptr) return false;
  *numerator = GST_VIDEO_INFO_FPS_N(&output->info);
  *denominator = GST_VIDEO_INFO_FPS_D(&output->info);
  gst_video_codec_state_unref(output);
  return *numerator > 0 && *denominator > 0;
}

// The position in frames is the picture the sink shows, from the time it gives. GStreamer's
// decoder answers with the last picture it decoded, and a queue before the sink (a player's
// has one) holds the next few: a script that sought to frame 50 was told 54. Its time is that
// of the picture's start too, so that one sought inside a picture was at frame -1.
bool PositionInFrames(GstVideoDecoder* decoder, gint64* frame) {
  gint numerator = 0, denominator = 0;
  gint64 time = -1;
  if (!OutputRate(decoder, &numerator, &denominator)) return false;
  if (GstClockTime shown = 0; SinkLastShown(GST_VIDEO_DECODER_SRC_PAD(decoder), &shown)) {
    // The picture on the screen, where the sink keeps it.
    *frame = FrameShownAt(shown, numerator, denominator);
  } else {
    if (!SinkPosition(GST_VIDEO_DECODER_SRC_PAD(decoder), &time) || time < 0) return false;
    GST_OBJECT_LOCK(decoder);
    const bool playing = GST_STATE(decoder) == GST_STATE_PLAYING;
    GST_OBJECT_UNLOCK(decoder);
    *frame = FrameAtSinkPosition(static_cast<GstClockTime>(time), numerator, denominator, playing);
    // A sink that has ended gives the end of the last picture, paused too.
    if (const std::int64_t last = gst_kqm_video_decoder_state(decoder).last_out; last >= 0)
      *frame = std::min<gint64>(*frame, last);
  }
  // One sought to the end, or past it, gives the end and has no picture of its own: the frame
  // is the last one, as at the end of playback.
  if (gint64 count = -1; gst_pad_peer_query_duration(GST_VIDEO_DECODER_SINK_PAD(decoder),
                                                     GST_FORMAT_DEFAULT, &count) &&
                         count > 0)
    *frame = std::min<gint64>(*frame, count - 1);
  return true;
}

// A time in frames is the frame shown then. GStreamer's decoder rounds the time times the rate
// down, and a picture starts on a whole nanosecond at or before its exact time, so it took most
// frames of a 15 frames per second movie for the one before: a script that sought to frame 20
// was told it was at frame 19.
gboolean SrcQuery(GstVideoDecoder* decoder, GstQuery* query) {
  if (GST_QUERY_TYPE(query) == GST_QUERY_POSITION) {
    GstFormat format = GST_FORMAT_UNDEFINED;
    gst_query_parse_position(query, &format, nullptr);
    gint64 frame = -1;
    if (format == GST_FORMAT_DEFAULT && PositionInFrames(decoder, &frame)) {
      gst_query_set_position(query, format, frame);
      return TRUE;
    }
    // GStreamer's decoder answers other formats from the last picture it decoded, and with
    // none since a seek (one to the end) it answers -1, which the sink, asking upstream first,
    // gave as the position in percent. Without one the sink works the share out itself.
    if (format != GST_FORMAT_DEFAULT) {
      const gboolean answered =
          GST_VIDEO_DECODER_CLASS(gst_kqm_video_decoder_parent_class)->src_query(decoder, query);
      gint64 position = -1;
      gst_query_parse_position(query, nullptr, &position);
      return answered && position >= 0;
    }
  }
  if (GST_QUERY_TYPE(query) == GST_QUERY_CONVERT) {
    GstFormat from = GST_FORMAT_UNDEFINED, to = GST_FORMAT_UNDEFINED;
    gint64 time = -1;
    gint numerator = 0, denominator = 0;
    gst_query_parse_convert(query, &from, &time, &to, nullptr);
    if (from == GST_FORMAT_TIME && to == GST_FORMAT_DEFAULT && time >= 0 &&
        OutputRate(decoder, &numerator, &denominator)) {
      gst_query_set_convert(query, from, time, to,
                            FrameShownAt(static_cast<GstClockTime>(time), numerator, denominator));
      return TRUE;
    }
  }
  return GST_VIDEO_DECODER_CLASS(gst_kqm_video_decoder_parent_class)->src_query(decoder, query);
}

// A drain is answered here, once what came before it has been decoded and passed on (see
// Element_AnswersDrain).
gboolean SinkQuery(GstVideoDecoder* decoder, GstQuery* query) {
  if (Element_AnswersDrain(query)) return TRUE;
  return GST_VIDEO_DECODER_CLASS(gst_kqm_video_decoder_parent_class)->sink_query(decoder, query);
}

}  // namespace
}  // namespace tarvel::gst

static void gst_kqm_video_decoder_class_init(GstKqmVideoDecoderClass* klass) {
  using namespace tarvel::gst;
  GST_DEBUG_CATEGORY_INIT(kqm_video_decoder_debug, "kqmviddec", 0, "KQM6 picture decoder");
  Element_Describe(klass, gst_kqm_video_decoder_finalize, {&sink_template, &src_template},
                   "KQM6 picture decoder", "Codec/Decoder/Video",
                   "Decodes the picture chunks of KQM6 movies into 16-bit RGB (5-5-5 or 5-6-5), "
                   "bit for bit as the Tarvel player shows them; corrupt pictures are flagged "
                   "and warned about");
  GstVideoDecoderClass* video = GST_VIDEO_DECODER_CLASS(klass);
  video->start = Start;
  video->stop = Stop;
  video->flush = Flush;
  video->drain = Drain;
  video->set_format = SetFormat;
  video->handle_frame = HandleFrame;
  video->src_event = SrcEvent;
  video->src_query = SrcQuery;
  video->sink_query = SinkQuery;
}

static void gst_kqm_video_decoder_init(GstKqmVideoDecoder* self) {
  self->state = new tarvel::gst::PictureState;
  auto* decoder = GST_VIDEO_DECODER(self);
  gst_video_decoder_set_packetized(decoder, TRUE);
  gst_video_decoder_set_needs_format(decoder, TRUE);
  gst_video_decoder_set_use_default_pad_acceptcaps(decoder, TRUE);
  GST_PAD_SET_ACCEPT_TEMPLATE(GST_VIDEO_DECODER_SINK_PAD(decoder));
}

namespace tarvel::gst {

gboolean VideoDecoder_Register(GstPlugin* plugin) {
  return gst_element_register(plugin, "kqmviddec", GST_RANK_PRIMARY,
                              gst_kqm_video_decoder_get_type());
}

}  // namespace tarvel::gst
