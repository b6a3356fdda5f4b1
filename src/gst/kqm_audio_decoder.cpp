#include "gst/kqm_audio_decoder.h"

#include <gst/audio/audio.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "audio/sound_period.h"
#include "container/movie_format.h"
#include "gst/kqm_elements.h"
#include "gst/kqm_sound_restart.h"

GST_DEBUG_CATEGORY_STATIC(kqm_audio_decoder_debug);
#define GST_CAT_DEFAULT kqm_audio_decoder_debug

namespace tarvel::gst {
namespace {

// The sound decoder plays a movie once: the kept copy of frame 0's chunk that looping needs is
// never taken, and the frame count only matters to looping.
constexpr std::int32_t kPlayOnce = 0;
constexpr std::int32_t kFrameCountUnused = 0;

struct SoundState {
  GstPad* sink = nullptr;
  GstPad* src = nullptr;
  SoundStream sound;
  bool configured = false;
  std::int32_t period_bytes = 0;
  std::int64_t period_samples = 0;
  std::uint32_t rate = 0;
  // No chunk decoded since the start or the last flush: the next one must be frame 0's or carry
  // a restart.
  bool fresh = true;
  // Joined the stream under way: the demuxer was asked for the decoding state.
  bool asked_restart = false;
  bool discont = true;
  std::int64_t next_frame = 0;
  bool warned_starved = false;
  // One chunk list around a buffer's codes, in the container's own layout, so that the one
  // sound-period routine reads it as it reads a movie frame.
  std::vector<std::uint8_t> chunk_list;
  std::string name;  // the movie's file, for messages
};

}  // namespace
}  // namespace tarvel::gst

TARVEL_GST_ELEMENT_TYPE(GstKqmAudioDecoder, gst_kqm_audio_decoder, GstElement, GST_TYPE_ELEMENT,
                        tarvel::gst::SoundState)

namespace tarvel::gst {
namespace {

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(TARVEL_GST_SOUND_CAPS));

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) S16LE, layout = (string) interleaved, "
                    "rate = (int) [ 1, MAX ], channels = (int) [ 1, 2 ]"));

// A decoding error or warning (`level` ERROR or WARNING) naming the movie's file.
#define SOUND_MESSAGE(level, element, s, text)                                               \
  GST_ELEMENT_##level(element, STREAM, DECODE, ("%s", WithFileName((s).name, text).c_str()), \
                      (nullptr))

void Reset(SoundState& s) {
  s.fresh = true;
  s.asked_restart = false;
  s.discont = true;
  s.next_frame = 0;
}

// The stream's format: its header (codec_data) and the ADPCM bytes of one frame period.
gboolean SetCaps(GstElement* element, SoundState& s, GstCaps* caps) {
  const GstStructure* structure = gst_caps_get_structure(caps, 0);
  const GValue* codec_data = gst_structure_get_value(structure, "codec_data");
  gint period_codes = 0;
  if (codec_data == nullptr || !GST_VALUE_HOLDS_BUFFER(codec_data) ||
      !gst_structure_get_int(structure, "period-bytes", &period_codes) || period_codes <= 0 ||
      period_codes > G_MAXINT / (4 * kLeadPeriods)) {
    GST_ELEMENT_ERROR(element, STREAM, FORMAT, (nullptr),
                      ("the caps need the stream header (codec_data) and period-bytes"));
    return FALSE;
  }
  s.name = MovieFileName(s.sink);
  GstBuffer* header = gst_value_get_buffer(codec_data);
  GstMapInfo map;
  if (!gst_buffer_map(header, &map, GST_MAP_READ)) return FALSE;
  Adpcm_Init(kAdpcmLibraryVersion);
  SoundStream sound;
  const int result = Sound_SetupStream(
      sound, map.data, static_cast<std::int32_t>(std::min<gsize>(map.size, kAdqHeaderSize)));
  gst_buffer_unmap(header, &map);
  if (result != kAdpcmOk) {
    SOUND_MESSAGE(ERROR, element, s,
                  std::string("the sound stream cannot be played: ") + Adpcm_ErrorText(result));
    return FALSE;
  }
  const gint channels = sound.stereo ? 2 : 1;
  if (sound.sample_rate == 0 || sound.sample_rate > G_MAXINT) {
    SOUND_MESSAGE(
        ERROR, element, s,
        "the sound stream cannot be played at " + std::to_string(sound.sample_rate) + " Hz");
    return FALSE;
  }
  sound.audio_frame_bytes = 4 * period_codes;
  s.sound = sound;
  s.rate = sound.sample_rate;
  s.period_bytes = sound.audio_frame_bytes;
  s.period_samples = sound.audio_frame_bytes / (2 * channels);
  s.configured = true;
  Reset(s);

  GstAudioInfo info;
  gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_S16LE, static_cast<gint>(s.rate), channels,
                            nullptr);
  GstCaps* out = gst_audio_info_to_caps(&info);
  const gboolean ok = gst_pad_push_event(s.src, gst_event_new_caps(out));
  gst_caps_unref(out);
  return ok;
}

gboolean SinkEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
  SoundState& s = gst_kqm_audio_decoder_state(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps* caps = nullptr;
      gst_event_parse_caps(event, &caps);
      const gboolean ok = SetCaps(GST_ELEMENT(parent), s, caps);
      gst_event_unref(event);
      return ok;
    }
    case GST_EVENT_FLUSH_STOP:
      Reset(s);
      break;
    default:
      break;
  }
  return gst_pad_event_default(pad, parent, event);
}

// Builds a one-chunk list around `payload` in `list`: an "AA" chunk as a movie frame holds it.
LoadedFrame ChunkListAround(std::vector<std::uint8_t>& list, const std::uint8_t* payload,
                            std::size_t length) {
  const std::size_t size = kChunkHeaderSize + length;
  list.assign((size + 3) & ~static_cast<std::size_t>(3), 0);
  const auto word = static_cast<std::uint32_t>(size);
  for (int i = 0; i < 4; ++i)
    list[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(word >> (8 * i));
  list[4] = 'A';
  list[5] = 'A';
  if (length) std::memcpy(list.data() + kChunkHeaderSize, payload, length);
  return LoadedFrame{list.data(), static_cast<std::uint32_t>(list.size())};
}

GstFlowReturn Chain(GstPad* /*pad*/, GstObject* parent, GstBuffer* buffer) {
  GstElement* element = GST_ELEMENT(parent);
  SoundState& s = gst_kqm_audio_decoder_state(parent);
  if (!s.configured) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(element, CORE, NEGOTIATION, (nullptr), ("no sound format was set"));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  const std::int64_t frame = GST_BUFFER_OFFSET_IS_VALID(buffer)
                                 ? static_cast<std::int64_t>(GST_BUFFER_OFFSET(buffer))
                                 : s.next_frame;
  SoundRestart restart;
  const bool restarting = SoundRestart_Find(buffer, &restart);
  if (restarting) s.discont = true;
  // Buffers lost on the way (a leaky queue, a valve): the state carried from the last frame
  // decoded is not that of these codes, and everything after them would be noise. The decoder
  // joins the stream again, as one linked under way does.
  if (!s.fresh && !restarting && frame != 0 && frame != s.next_frame) {
    s.fresh = true;
    s.discont = true;
  } else if (s.fresh && !restarting && frame != s.next_frame) {
    // Lost again while the decoding state was awaited: the buffer bringing it may be among
    // them, and waiting for it would leave the rest of the movie silent. It is asked for again.
    s.asked_restart = false;
  }
  s.next_frame = frame + 1;
  const GstClockTime stamped = GST_BUFFER_PTS(buffer);

  GstMapInfo in;
  if (!gst_buffer_map(buffer, &in, GST_MAP_READ)) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(element, RESOURCE, READ, (nullptr), ("cannot read a sound buffer"));
    return GST_FLOW_ERROR;
  }
  const LoadedFrame chunks =
      in.size ? ChunkListAround(s.chunk_list, in.data, in.size) : LoadedFrame{};
  gst_buffer_unmap(buffer, &in);
  gst_buffer_unref(buffer);

  // Where the decoding state comes from: frame 0's chunk starts the stream from its header;
  // after a seek the demuxer hands over the state at the start of the chunk.
  const std::uint32_t skip =
      frame == 0 && restarting ? std::min<std::uint32_t>(restart.skip_periods, kLeadPeriods) : 0;
  if (frame == 0) {
    std::int32_t length = 0;
    const std::uint8_t* payload = Sound_FindAudioChunk(chunks, &length);
    const int result = payload ? Sound_SetupStream(s.sound, payload, length) : kAdpcmNotAdqFile;
    if (result != kAdpcmOk || s.sound.audio_frame_bytes != s.period_bytes) {
      SOUND_MESSAGE(ERROR, element, s,
                    "frame 0's sound chunk does not start the stream the caps describe");
      return GST_FLOW_ERROR;
    }
  } else if (restarting && restart.has_state) {
    Adpcm_RestoreSnapshot(restart.state, &s.sound.adpcm_stream);
  } else if (s.fresh) {
    // Linked in the middle of the stream (playbin3 turning the sound off and on again drops
    // what was sent meanwhile), or buffers lost: the codes go on from a state this decoder has
    // not seen. The demuxer is asked for it, and the sound goes on with the buffer that brings
    // it.
    if (!s.asked_restart)
      s.asked_restart = gst_pad_push_event(s.sink, Rejoin_NewRequest(RejoinRequest::kSound));
    if (s.asked_restart) return GST_FLOW_OK;
    SOUND_MESSAGE(ERROR, element, s,
                  "frame " + std::to_string(frame) +
                      ": the sound cannot be decoded, the stream did not start at its beginning");
    return GST_FLOW_ERROR;
  }
  s.fresh = false;
  s.asked_restart = false;

  const std::int32_t periods = frame == 0 ? kLeadPeriods : 1;
  const std::int32_t bytes = periods * s.period_bytes;
  GstBuffer* out = gst_buffer_new_allocate(nullptr, static_cast<gsize>(bytes), nullptr);
  GstMapInfo map;
  if (out == nullptr || !gst_buffer_map(out, &map, GST_MAP_WRITE)) {
    if (out) gst_buffer_unref(out);
    GST_ELEMENT_ERROR(element, RESOURCE, NO_SPACE_LEFT, (nullptr), ("no memory for sound"));
    return GST_FLOW_ERROR;
  }
  std::int32_t loop_mode = kPlayOnce;
  SoundPeriodReport report;
  const int result =
      Sound_DecodeFramePeriod(s.sound, static_cast<std::int32_t>(frame), kFrameCountUnused,
                              loop_mode, chunks, map.data, bytes, &report);
  gst_buffer_unmap(out, &map);
  if (result != kSoundOk) {
    gst_buffer_unref(out);
    SOUND_MESSAGE(ERROR, element, s,
                  "frame " + std::to_string(frame) + ": the sound was refused by the decoder");
    return GST_FLOW_ERROR;
  }
  if (report.starved_frames > 0 && !s.warned_starved) {
    s.warned_starved = true;
    SOUND_MESSAGE(WARNING, element, s,
                  "frame " + std::to_string(frame) +
                      ": the sound codes run out; the rest of the period is silence");
  }
  if (skip > 0) {
    if (skip >= static_cast<std::uint32_t>(periods)) {
      gst_buffer_unref(out);
      return GST_FLOW_OK;
    }
    gst_buffer_resize(out, static_cast<gssize>(skip) * s.period_bytes, -1);
  }
  // One buffer a period, frame 0's 32 too: as one buffer they were the sink's only sound for
  // their second or more, and a pipeline paused then had nothing to preroll the sound on while
  // the pictures, sent beside the sound of their time, filled the queues.
  const std::int64_t first = frame == 0 ? skip : frame + kLeadPeriods - 1;
  const std::int64_t end = frame == 0 ? kLeadPeriods : first + 1;
  // The periods play from the time the buffer gives its first one: the demuxer puts the sound
  // after a seek beside the shown picture, which the sound's own clock may place elsewhere.
  GstClockTimeDiff shift = 0;
  if (GST_CLOCK_TIME_IS_VALID(stamped) && stamped <= static_cast<GstClockTime>(G_MAXINT64 / 2)) {
    shift = static_cast<GstClockTimeDiff>(stamped) -
            static_cast<GstClockTimeDiff>(PeriodTime(first, s.period_samples, s.rate));
  }
  GstFlowReturn pushed = GST_FLOW_OK;
  for (std::int64_t period = first; period < end && pushed == GST_FLOW_OK; ++period) {
    GstBuffer* part = end - first == 1 ? gst_buffer_ref(out)
                                       : gst_buffer_copy_region(
                                             out, GST_BUFFER_COPY_MEMORY,
                                             static_cast<gsize>((period - first) * s.period_bytes),
                                             static_cast<gsize>(s.period_bytes));
    const GstClockTime start = PeriodTime(period, s.period_samples, s.rate);
    GST_BUFFER_PTS(part) = static_cast<GstClockTime>(static_cast<GstClockTimeDiff>(start) + shift);
    GST_BUFFER_DURATION(part) = PeriodTime(period + 1, s.period_samples, s.rate) - start;
    GST_BUFFER_OFFSET(part) = static_cast<guint64>(period * s.period_samples);
    GST_BUFFER_OFFSET_END(part) = static_cast<guint64>((period + 1) * s.period_samples);
    if (s.discont) {
      GST_BUFFER_FLAG_SET(part, GST_BUFFER_FLAG_DISCONT);
      s.discont = false;
    }
    pushed = gst_pad_push(s.src, part);
  }
  gst_buffer_unref(out);
  return pushed;
}

// A drain is answered here, once what came before it has been decoded and passed on (see
// Element_AnswersDrain).
gboolean SinkQuery(GstPad* pad, GstObject* parent, GstQuery* query) {
  if (Element_AnswersDrain(query)) return TRUE;
  return gst_pad_query_default(pad, parent, query);
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
  const GstStateChangeReturn result =
      GST_ELEMENT_CLASS(gst_kqm_audio_decoder_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    SoundState& s = gst_kqm_audio_decoder_state(element);
    s.configured = false;
    s.warned_starved = false;
    Reset(s);
  }
  return result;
}

}  // namespace
}  // namespace tarvel::gst

static void gst_kqm_audio_decoder_class_init(GstKqmAudioDecoderClass* klass) {
  using namespace tarvel::gst;
  GST_DEBUG_CATEGORY_INIT(kqm_audio_decoder_debug, "kqmauddec", 0, "KQM6 sound decoder");
  GstElementClass* element = Element_Describe(
      klass, gst_kqm_audio_decoder_finalize, {&sink_template, &src_template}, "KQM6 sound decoder",
      "Codec/Decoder/Audio",
      "Decodes the ADPCM sound chunks of KQM6 movies into signed 16-bit PCM, bit for "
      "bit the sound the Tarvel player queues to its sound device");
  element->change_state = ChangeState;
}

static void gst_kqm_audio_decoder_init(GstKqmAudioDecoder* self) {
  using namespace tarvel::gst;
  self->state = new SoundState;
  SoundState& s = *self->state;
  s.sink = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_event_function(s.sink, SinkEvent);
  gst_pad_set_chain_function(s.sink, Chain);
  gst_pad_set_query_function(s.sink, SinkQuery);
  GST_PAD_SET_ACCEPT_TEMPLATE(s.sink);
  gst_element_add_pad(GST_ELEMENT(self), s.sink);
  s.src = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_use_fixed_caps(s.src);
  gst_element_add_pad(GST_ELEMENT(self), s.src);
}

namespace tarvel::gst {

gboolean AudioDecoder_Register(GstPlugin* plugin) {
  return gst_element_register(plugin, "kqmauddec", GST_RANK_PRIMARY,
                              gst_kqm_audio_decoder_get_type());
}

}  // namespace tarvel::gst
