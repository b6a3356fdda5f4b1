#include "gst/kqm_demux.h"

#include <gst/base/gstflowcombiner.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/movie_index.h"
#include "audio/sound_period.h"
#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "gst/kqm_elements.h"
#include "gst/kqm_sound_restart.h"
#include "video/key_frame.h"
#include "video/video_decoder.h"

GST_DEBUG_CATEGORY_STATIC(kqm_demux_debug);
#define GST_CAT_DEFAULT kqm_demux_debug

namespace tarvel::gst {
namespace {

// A flushing seek flushes upstream too, for as long as it takes to stop the streaming thread:
// that wakes a read waiting on an application's source that has nothing to give, and clears
// the end such a source handed out, so that the application can end the streams again.
struct UpstreamFlush {
  std::mutex lock;
  std::condition_variable over;
  // Flushes under way: two seeks from two threads overlap, and the first to end its flush does
  // not end the other's.
  int flushing = 0;
  std::uint64_t count = 0;  // flushes begun
};

// Reads byte ranges from the upstream element for one container reader, keeping its last
// answer (a flushing pad is not a broken file).
struct Puller {
  GstPad* sink = nullptr;
  GstFlowReturn result = GST_FLOW_OK;
  std::int64_t length = -1;  // the file's, when upstream tells
  // Upstream ended the stream before the end of the file: the application asked for the end
  // (an EOS event, as gst-launch-1.0 -e sends on Ctrl-C), which is not a file cut short.
  bool asked_to_end = false;
  // Shared by the streaming thread's reader and the index's: held around their pulls, and the
  // end an application's source handed out in one of them (see EndFromUpstream).
  std::mutex* pulling = nullptr;
  const std::atomic<bool>* upstream_ended = nullptr;
  // The index's reader: a read that a seek's flush woke is made again once the flush is over,
  // unless `cancel` is set.
  UpstreamFlush* flushes = nullptr;
  const std::atomic<bool>* cancel = nullptr;
};

struct DemuxState {
  DemuxState() = default;
  DemuxState(const DemuxState&) = delete;
  DemuxState& operator=(const DemuxState&) = delete;
  ~DemuxState();  // ends the index's thread first: it reads from upstream

  GstPad* sink = nullptr;
  GstPad* video = nullptr;
  GstPad* audio = nullptr;
  GstFlowCombiner* flows = nullptr;

  // Set when the movie is opened; read by queries under the object lock.
  bool opened = false;
  // Set under the object lock once the pads are added and the index started: a seek before
  // then is refused, as one before the opening is. Its flush would miss a pad added meanwhile, and
  // its flush-stop then waited on that stream's thread, held in a sink's preroll that nothing
  // flushed.
  bool pads_ready = false;
  // Under the object lock: the sink pad pulls, from its activation until its deactivation
  // begins. A seek that has waited for the streaming thread goes on only while it does, on the
  // pads it started on: the state change taking the element down resets what it would place.
  bool active = false;
  // Held while `active` changes and while a seek starts the streaming task again: the
  // deactivation stops the task and then waits for the seek, and a task the seek started after
  // that stop ran on past the state change, the element being reset under it.
  std::mutex task_lock;
  MovieHeader header;

  MovieReader reader;
  Puller puller;
  std::vector<std::uint8_t> chunks;
  std::int64_t next_frame = 0;  // the frame the reader loads next
  std::string name;             // the file, for messages
  bool refused = false;         // a source that cannot be pulled from was said to be one
  // Upstream keeps only a window of the file (a ring buffer: queue2's ring-buffer-max-size, a
  // player's download buffering given a ring size): see RingBufferNote.
  bool ring_upstream = false;

  // The two readers take turns at upstream. An application's source hands out the events the
  // application sends it inside whichever read is waiting at the time; caught on their way
  // (the probe on the source pad upstream, while the sink pad pulls), an end the application
  // asked for is kept here and ends the readers' next pulls.
  std::mutex pulling;
  std::atomic<bool> upstream_ended{false};
  UpstreamFlush flushes;
  GstPad* probed = nullptr;  // the pad upstream the probe is on
  gulong probe = 0;

  // The sound, when the movie has a stream the player can play.
  bool sound = false;
  std::uint32_t rate = 0;
  std::int64_t period_samples = 0;

  GstSegment segment;
  bool send_segment = true;
  // The reading has gone past the end a segment seek's segment was given (a download still being
  // written): its segment goes on to the header's end.
  bool segment_outgrown = false;
  bool video_discont = true;
  bool audio_discont = true;
  // Where the streams start: frame 0, or where a seek put them.
  std::int64_t video_from = 0;
  std::int64_t audio_from = 0;
  std::optional<SoundRestart> audio_restart;
  // How much later than its own clock puts it the sound is sent: a seek starts the sound with
  // the shown frame's period beside that frame's picture, as the player does (its pictures
  // follow the sound). Where the header's frame rate and the sound's periods disagree (a header
  // without a frame duration plays its pictures at 15 a second, whatever its periods last), the
  // sound of the shown frame's period was sent for an earlier time and clipped away, and the
  // sound heard was that of a later period. 0 from the start, and where the two clocks agree.
  GstClockTimeDiff sound_shift = 0;
  // Sound chunks read but not sent yet, with the first period each gives out.
  std::deque<std::pair<std::int64_t, GstBuffer*>> held_sound;
  // Where the sound read since the streams were placed ends (held or sent), on the sound's time.
  GstClockTime sound_read_end = 0;
  // A gap at the segment's start was sent for the sound's sink to preroll on (see PushFrame).
  bool sound_gap_sent = false;
  // The sound decoder asked for the decoding state (it joined the stream under way): the next
  // sound buffer sent carries it.
  std::atomic<bool> restart_asked{false};
  // The picture decoder asked to join the stream again (it lost frames, or was linked under
  // way): the frames from where decoding can start are sent again, for decoding only, up to
  // replay_until, the one that was to be sent next; their sound is not sent again.
  std::atomic<bool> pictures_asked{false};
  std::int64_t replay_until = 0;
  // The frame a seek shows first: the frames before it, from where decoding starts, are sent
  // for decoding only. A seek that keeps the segment's start (a new stop alone) has them inside
  // its segment, where they would be shown again.
  std::int64_t shown_from = 0;
  guint32 seek_seqnum = GST_SEQNUM_INVALID;     // the last seek taken (each sink sends it)
  guint32 segment_seqnum = GST_SEQNUM_INVALID;  // the seek the next segment answers
  // A seek taken whose streams the streaming thread has yet to place at the segment's position,
  // with its flags.
  bool seek_placing = false;
  GstSeekFlags seek_flags = GST_SEEK_FLAG_NONE;

  // The frame index, built by a thread of its own from the start of the movie with a reader of
  // its own; the streaming thread waits for it to reach a seek's frame (PlaceSeek).
  MovieIndex index;
  std::thread indexer;
  std::atomic<bool> index_cancel{false};
  // Seeks waiting for the streaming thread (its stream lock): its wait for the index gives way
  // to them.
  std::atomic<int> seeks_waiting{0};
  // The file's length as the index's reader last measured it (-1: not known); written by the
  // index's thread, read once it is joined. Also cleared by the reset to READY, which takes
  // neither the index's lock nor the streaming thread: a seek let in before it may be reading
  // this meanwhile, before it holds the streaming thread.
  std::atomic<std::int64_t> index_length{-1};
  // The index's reader could not read the movie's header (upstream failed it): the next seek
  // builds the index again. Written by the index's thread, read once it is joined.
  std::atomic<bool> index_unopened{false};
  // Held while the index's thread is started or ended: the streaming thread starts it, the
  // thread that takes the pad down ends it.
  std::mutex indexer_lock;
  // Times the index was started: a seek placed before another seek built it again places itself
  // again on the new one.
  std::atomic<std::uint32_t> index_builds{0};
  // The frames the file holds as far as is known, which durations are answered from: the
  // header's count until the index meets the file's end before it (a movie cut short, a
  // download under way), and more as the reading goes past that end (the download has grown).
  std::atomic<std::int32_t> frames_known{0};
  // The frames the application was last told the file holds (DURATION_CHANGED).
  std::atomic<std::int32_t> frames_told{0};
  // The frame the streams were placed at by the index (a seek, pictures sent again), until it is
  // read: its size there is checked against the index's, for a file rewritten since; -1: none.
  std::int64_t placed_frame = -1;
  // Key frames a seek may start at (they decode alone): 0 not known yet, 1 yes, 2 no; and the
  // decoder that finds out.
  std::vector<std::uint8_t> key_alone;
  std::unique_ptr<VideoDecoder> key_decoder;
};

}  // namespace
}  // namespace tarvel::gst

TARVEL_GST_ELEMENT_TYPE(GstKqmDemux, gst_kqm_demux, GstElement, GST_TYPE_ELEMENT,
                        tarvel::gst::DemuxState)

namespace tarvel::gst {
namespace {

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-kqm"));

GstStaticPadTemplate video_template = GST_STATIC_PAD_TEMPLATE(
    "video_%u", GST_PAD_SRC, GST_PAD_SOMETIMES, GST_STATIC_CAPS(TARVEL_GST_PICTURE_CAPS));

GstStaticPadTemplate audio_template = GST_STATIC_PAD_TEMPLATE(
    "audio_%u", GST_PAD_SRC, GST_PAD_SOMETIMES, GST_STATIC_CAPS(TARVEL_GST_SOUND_CAPS));

// The file's length as upstream tells it now: a file still being written has grown.
std::int64_t MeasureUpstream(void* user) {
  Puller& puller = *static_cast<Puller*>(user);
  gint64 length = -1;
  if (gst_pad_peer_query_duration(puller.sink, GST_FORMAT_BYTES, &length)) puller.length = length;
  return puller.length;
}

// Whether upstream reads a local file (a file source) now shorter than `end`. A file source
// emptied while it plays goes on telling the length it had: it measures the file again only
// for an offset before the end it finds, and there is none before 0.
bool LocalFileShorter(GstPad* sink, std::int64_t end) {
  GstQuery* query = gst_query_new_uri();
  gchar* uri = nullptr;
  if (gst_pad_peer_query(sink, query)) gst_query_parse_uri(query, &uri);
  gst_query_unref(query);
  gchar* name = uri != nullptr ? g_filename_from_uri(uri, nullptr, nullptr) : nullptr;
  g_free(uri);
  std::error_code error;
  const bool shorter = name != nullptr && std::filesystem::is_regular_file(name, error) &&
                       std::filesystem::file_size(name, error) < static_cast<std::uintmax_t>(end);
  g_free(name);
  return shorter;
}

// One try at a byte range (see PullRange).
bool PullOnce(Puller& puller, std::int64_t offset, void* buffer, std::size_t length) {
  if (length > G_MAXUINT) return false;
  const std::int64_t end = offset + static_cast<std::int64_t>(length);
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::unique_lock<std::mutex> turn;
  if (puller.pulling != nullptr) turn = std::unique_lock<std::mutex>(*puller.pulling);
  for (std::size_t done = 0; done < length;) {
    if (puller.upstream_ended != nullptr && *puller.upstream_ended) {
      puller.result = GST_FLOW_EOS;
      puller.asked_to_end = true;
      return false;
    }
    GstBuffer* data = nullptr;
    const std::int64_t at = offset + static_cast<std::int64_t>(done);
    puller.result = gst_pad_pull_range(puller.sink, static_cast<guint64>(at),
                                       static_cast<guint>(length - done), &data);
    if (puller.result != GST_FLOW_OK) {
      // An end before the file's is one the application asked for, unless the file has been
      // cut short since it was measured (rewritten in place while it plays).
      puller.asked_to_end = puller.result == GST_FLOW_EOS && puller.length >= 0 &&
                            end <= MeasureUpstream(&puller) && !LocalFileShorter(puller.sink, end);
      return false;
    }
    const gsize copied = gst_buffer_extract(data, 0, out + done, length - done);
    gst_buffer_unref(data);
    if (copied == 0) return false;
    done += copied;
  }
  return true;
}

// Waits until no seek's flush is under way (or the reader is cancelled); the flushes begun.
std::uint64_t FlushesOver(const Puller& puller) {
  std::unique_lock<std::mutex> hold(puller.flushes->lock);
  puller.flushes->over.wait(hold, [&] { return puller.flushes->flushing == 0 || *puller.cancel; });
  return puller.flushes->count;
}

// Serves a container reader's byte ranges from the upstream element. A source may hand out
// less than asked (an application's source gives the pieces it is fed): the rest is asked for
// until the range is whole, and only an empty answer or an end before it is a file that ends.
bool PullRange(void* user, std::int64_t offset, void* buffer, std::size_t length) {
  Puller& puller = *static_cast<Puller*>(user);
  if (puller.flushes == nullptr) return PullOnce(puller, offset, buffer, length);
  for (;;) {
    // Outside the readers' turn: the streaming thread takes it to find its own read flushed.
    const std::uint64_t before = FlushesOver(puller);
    if (PullOnce(puller, offset, buffer, length)) return true;
    if (puller.result != GST_FLOW_FLUSHING || FlushesOver(puller) == before || *puller.cancel)
      return false;
  }
}

// Upstream's last pull failed on an error of its own (a file source's failing disk), not at an
// end.
bool UpstreamFailed(void* user) {
  return static_cast<Puller*>(user)->result == GST_FLOW_ERROR;
}

// A reader over the upstream element; false when the header cannot be read.
bool OpenReader(MovieReader& reader, Puller& puller, std::int64_t length, std::string* error) {
  SourceCallback callback;
  callback.read_at = PullRange;
  callback.failed_reading = UpstreamFailed;
  callback.user = &puller;
  callback.length = length;
  if (length >= 0) callback.measure = MeasureUpstream;
  return MovieReader_OpenCallback(reader, callback, error);
}

// Tells the application the duration it asked for before may have changed.
void PostDurationChanged(DemuxState& s) {
  GstElement* element = GST_ELEMENT(GST_PAD_PARENT(s.sink));
  gst_element_post_message(element, gst_message_new_duration_changed(GST_OBJECT(element)));
}

// Takes `frames` for the frames the file holds, or with `grown` at least that many, and tells
// the application when its duration changes: a player's seek bar ran on past a movie's cut.
void KnowFrames(DemuxState& s, std::int32_t frames, bool grown) {
  std::int32_t known = s.frames_known.load();
  do {
    if (known == frames || (grown && known >= frames)) return;
  } while (!s.frames_known.compare_exchange_weak(known, frames));
  // Playing on into a download's new frames lengthens it at every frame, and an application asks
  // for the duration again at each message: told once a second of pictures has been added, and
  // when the header's count is reached. The answers to its queries stay exact meanwhile.
  if (grown && frames < s.header.frame_count &&
      PictureTime(frames, s.header.frame_duration) <
          PictureTime(s.frames_told, s.header.frame_duration) + GST_SECOND)
    return;
  s.frames_told = frames;
  PostDurationChanged(s);
}

// The reading has stopped short (a download that grew no more): the application, told of the
// frames it added once a second, is told of the last of them.
void TellFramesKnown(DemuxState& s) {
  const std::int32_t known = s.frames_known;
  if (s.frames_told.exchange(known) != known) PostDurationChanged(s);
}

void IndexMovie(DemuxState& s, std::int64_t length) {
  // Reads on past an end the application asked for: a flushing seek plays on after it.
  Puller puller;
  puller.sink = s.sink;
  puller.length = length;
  puller.pulling = &s.pulling;
  puller.flushes = &s.flushes;
  puller.cancel = &s.index_cancel;
  MovieReader reader;
  std::string error;
  if (OpenReader(reader, puller, length, &error)) {
    // A frame without a picture shows the previous one here, and playback goes on past it.
    const IndexEnd end =
        MovieIndex_Build(s.index, reader, &s.index_cancel, MissingPicture::kIndexed);
    if (end == IndexEnd::kComplete || end == IndexEnd::kEndOfData || end == IndexEnd::kTruncated)
      KnowFrames(s, s.index.frames(), false);
  } else {
    // A good movie whose second reading fails for a moment (upstream's read failed) is not
    // taken for one without frames: the reason is said, and the next seek tries again.
    if (!s.index_cancel) {
      s.index_unopened = true;
      GstElement* element = GST_ELEMENT(GST_PAD_PARENT(s.sink));
      GST_ELEMENT_WARNING(element, STREAM, DEMUX,
                          ("%s", WithFileName(s.name, "the frame index cannot read the movie (" +
                                                          error + "); the next seek tries again")
                                     .c_str()),
                          (nullptr));
    }
    s.index.Finish(IndexEnd::kTruncated);
  }
  s.index_length = reader.file_length;
  MovieReader_Close(reader);
}

// False when the system has no thread for the index (out of threads): the index is left empty
// and finished, so that nothing waits for it, and no seek can be placed.
bool StartIndex(DemuxState& s, std::int64_t length) {
  const std::lock_guard<std::mutex> lock(s.indexer_lock);
  s.index_cancel = false;
  s.index_length = -1;
  s.index_unopened = false;
  ++s.index_builds;
  s.index.Reset(s.header.frame_count);
  s.key_alone.assign(s.header.frame_count, 0);
  try {
    s.indexer = std::thread([&s, length] { IndexMovie(s, length); });
  } catch (const std::exception&) {
    s.index.Finish(IndexEnd::kCancelled);
    return false;
  }
  return true;
}

void StopIndex(DemuxState& s) {
  const std::lock_guard<std::mutex> lock(s.indexer_lock);
  {
    const std::lock_guard<std::mutex> hold(s.flushes.lock);
    s.index_cancel = true;
  }
  s.flushes.over.notify_all();
  if (s.indexer.joinable()) s.indexer.join();
}

// The file's length now when the index met the end of the file (at a frame or inside one) and
// the file has grown since (a download in progress), or when it could not read the movie at
// all (-1 where upstream cannot tell the length): built again, the index reaches frames it could
// not. Nothing otherwise. Seeks ask from their own threads: under the lock the index is started
// with, so that a build another seek started meanwhile is neither ended nor taken for this one.
std::optional<std::int64_t> IndexOutgrown(DemuxState& s) {
  std::int64_t measured = -1;
  bool unopened = false;
  {
    const std::lock_guard<std::mutex> lock(s.indexer_lock);
    const IndexEnd end = s.index.end();
    if (end != IndexEnd::kEndOfData && end != IndexEnd::kTruncated) return std::nullopt;
    if (s.indexer.joinable()) s.indexer.join();  // finished: joined at once
    measured = s.index_length;
    unopened = s.index_unopened;
  }
  gint64 length = -1;
  const bool known = gst_pad_peer_query_duration(s.sink, GST_FORMAT_BYTES, &length) && length >= 0;
  if (unopened) return known ? length : measured;
  if (measured < 0 || !known || length <= measured) return std::nullopt;
  return length;
}

// Whether a seek waits for the streaming thread (one without a flush holds the pipeline's state
// meanwhile), a seek's flush is under way (the index's reads wait for it to end, and it waits for
// the streaming thread to stop), or the sink pad is being taken down (a state change waits for
// the streaming thread too).
bool StreamingWanted(void* user) {
  auto& s = *static_cast<DemuxState*>(user);
  if (s.seeks_waiting > 0) return true;
  GST_OBJECT_LOCK(s.sink);
  const bool down = GST_PAD_IS_FLUSHING(s.sink);
  GST_OBJECT_UNLOCK(s.sink);
  if (down) return true;
  const std::lock_guard<std::mutex> hold(s.flushes.lock);
  return s.flushes.flushing > 0;
}

// Waits for the index to reach `frame` on the streaming thread: gives up while a seek waits for
// the streaming thread (a seek's flush, besides, holds up the index's reads), and while the sink
// pad is being taken down. True when it is indexed.
bool WaitForIndexHeld(DemuxState& s, std::int32_t frame) {
  return s.index.WaitFor(frame, StreamingWanted, &s);
}

// A ring buffer upstream answers a read behind the furthest one it was asked for with the
// bytes it has written over them since, where it is smaller than the file, and says nothing:
// the demuxer reads behind (its frame index from the start, frame 0 again after the header),
// and a whole movie was said to be damaged. Such an error says where the fault may lie.
std::string RingBufferNote(bool ring_upstream) {
  return ring_upstream ? "; it is read through a ring buffer, which gives back bytes it has "
                         "overwritten when it is smaller than the file: the file itself may be "
                         "whole (read it from a file, or through a ring buffer larger than it)"
                       : "";
}

#define DEMUX_ERROR(element, state, kind, text)                                                    \
  GST_ELEMENT_ERROR(                                                                               \
      element, STREAM, kind,                                                                       \
      ("%s", WithFileName((state).name, std::string(text) + RingBufferNote((state).ring_upstream)) \
                 .c_str()),                                                                        \
      (nullptr))

// Whether upstream says it buffers as a ring (GStreamer's timeshift buffering mode).
bool RingUpstream(GstPad* sink) {
  GstQuery* query = gst_query_new_buffering(GST_FORMAT_BYTES);
  GstBufferingMode mode = GST_BUFFERING_STREAM;
  if (gst_pad_peer_query(sink, query))
    gst_query_parse_buffering_stats(query, &mode, nullptr, nullptr, nullptr);
  gst_query_unref(query);
  return mode == GST_BUFFERING_TIMESHIFT;
}

GstClockTime MovieDuration(const DemuxState& s) {
  return PictureTime(s.header.frame_count, s.header.frame_duration);
}

// Where the movie ends as far as is known (frames_known): the header's end until the index meets
// the file's end before it, as durations are answered.
GstClockTime KnownEnd(const DemuxState& s) {
  return PictureTime(s.frames_known, s.header.frame_duration);
}

void AddSourcePad(GstElement* element, DemuxState& s, GstStaticPadTemplate* templ, const char* name,
                  GstCaps* caps, GstTagList* tags, guint group, GstPad** slot);
gboolean SrcEvent(GstPad* pad, GstObject* parent, GstEvent* event);
gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query);

// Reads the header and frame 0 and makes the pads. False after posting an error.
bool Open(GstElement* element, DemuxState& s) {
  s.name = MovieFileName(s.sink);
  s.ring_upstream = RingUpstream(s.sink);
  gint64 length = -1;
  if (!gst_pad_peer_query_duration(s.sink, GST_FORMAT_BYTES, &length)) length = -1;
  s.puller.sink = s.sink;
  s.puller.length = length;
  s.puller.pulling = &s.pulling;
  std::string error;
  if (!OpenReader(s.reader, s.puller, length, &error)) {
    if (s.puller.result == GST_FLOW_FLUSHING) return false;
    DEMUX_ERROR(element, s, WRONG_TYPE, error);
    return false;
  }
  const MovieHeader header = s.reader.header;
  if (const std::string problem = PictureSizeProblem(header.width, header.height);
      !problem.empty()) {
    DEMUX_ERROR(element, s, WRONG_TYPE, problem);
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
    if (s.puller.result == GST_FLOW_FLUSHING) return false;
    DEMUX_ERROR(element, s, DEMUX, FrameReadProblem(first, 0, header.frame_count));
    return false;
  }
  const LoadedFrame frame0{s.chunks.data(), static_cast<std::uint32_t>(s.chunks.size())};
  std::int32_t lead_length = 0;
  const std::uint8_t* lead = header.sound ? Sound_FindAudioChunk(frame0, &lead_length) : nullptr;
  SoundStreamFacts facts;
  std::string sound_problem;
  if (header.sound && lead == nullptr) {
    sound_problem = kNoFrame0SoundProblem;
  } else if (lead != nullptr) {
    facts = Sound_DescribeStream(lead, lead_length, header.frame_count);
    if (facts.result != kAdpcmOk)
      sound_problem = std::string("frame 0: ") + Adpcm_ErrorText(facts.result);
    else if (facts.frequency == 0 || facts.frequency > G_MAXINT)
      sound_problem =
          "the sound stream's rate (" + std::to_string(facts.frequency) + " Hz) cannot be played";
    else if (facts.pcm_bytes_per_period <= 0)
      sound_problem = kEmptySoundPeriodProblem;
  }
  if (!sound_problem.empty()) {
    GST_ELEMENT_WARNING(
        element, STREAM, DEMUX,
        ("%s", WithFileName(s.name, sound_problem + "; the pictures play without sound").c_str()),
        (nullptr));
  }

  GST_OBJECT_LOCK(element);
  s.header = header;
  s.opened = true;
  // Seeks from the end count from it.
  s.segment.duration = MovieDuration(s);
  s.frames_known = header.frame_count;
  s.frames_told = header.frame_count;
  s.sound = lead != nullptr && sound_problem.empty();
  s.rate = facts.frequency;
  s.period_samples = facts.samples_per_period;
  GST_OBJECT_UNLOCK(element);

  const guint group = gst_util_group_id_next();
  gint rate_n = 0, rate_d = 1;
  PictureRate(header.frame_duration, &rate_n, &rate_d);
  GstCaps* video_caps = gst_caps_new_simple(
      kPictureMediaType, "width", G_TYPE_INT, static_cast<gint>(header.width), "height", G_TYPE_INT,
      static_cast<gint>(header.height), "framerate", GST_TYPE_FRACTION, rate_n, rate_d,
      "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
  GstTagList* video_tags = gst_tag_list_new(GST_TAG_CONTAINER_FORMAT, "KQM6", GST_TAG_VIDEO_CODEC,
                                            "KQM6 block video", nullptr);
  AddSourcePad(element, s, &video_template, "video_0", video_caps, video_tags, group, &s.video);
  if (s.sound) {
    GstBuffer* codec_data = gst_buffer_new_memdup(lead, kAdqHeaderSize);
    GstCaps* audio_caps = gst_caps_new_simple(
        kSoundMediaType, "rate", G_TYPE_INT, static_cast<gint>(s.rate), "channels", G_TYPE_INT,
        facts.stereo ? 2 : 1, "period-bytes", G_TYPE_INT, facts.adpcm_bytes_per_period,
        "codec_data", GST_TYPE_BUFFER, codec_data, nullptr);
    gst_buffer_unref(codec_data);
    GstTagList* audio_tags = gst_tag_list_new(GST_TAG_CONTAINER_FORMAT, "KQM6", GST_TAG_AUDIO_CODEC,
                                              "ADQ 4-bit ADPCM", nullptr);
    AddSourcePad(element, s, &audio_template, "audio_0", audio_caps, audio_tags, group, &s.audio);
  }
  gst_element_no_more_pads(element);

  if (!StartIndex(s, length)) {
    // The movie still plays from the start; only seeks need the index.
    GST_ELEMENT_WARNING(element, RESOURCE, FAILED,
                        ("%s", WithFileName(s.name,
                                            "no thread could be created for the frame "
                                            "index; the movie plays but cannot be sought")
                                   .c_str()),
                        (nullptr));
  }
  GST_OBJECT_LOCK(element);
  s.pads_ready = true;
  GST_OBJECT_UNLOCK(element);
  // Frame 0 is loaded; the loop goes back to it.
  MovieReader_SeekTo(s.reader, kFirstFrameOffset);
  s.next_frame = 0;
  // An end asked for while the movie opened ends the streams now that there are some to end.
  s.puller.upstream_ended = &s.upstream_ended;
  return true;
}

// Makes a source pad, starts its stream and keeps it in `slot`, under the object lock: a seek
// takes the pads under it.
void AddSourcePad(GstElement* element, DemuxState& s, GstStaticPadTemplate* templ, const char* name,
                  GstCaps* caps, GstTagList* tags, guint group, GstPad** slot) {
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
  GST_OBJECT_LOCK(element);
  *slot = pad;
  GST_OBJECT_UNLOCK(element);
}

void RemovePads(GstElement* element, DemuxState& s) {
  for (GstPad** pad : {&s.video, &s.audio}) {
    GST_OBJECT_LOCK(element);
    GstPad* const removed = std::exchange(*pad, nullptr);
    GST_OBJECT_UNLOCK(element);
    if (removed == nullptr) continue;
    gst_flow_combiner_remove_pad(s.flows, removed);
    gst_element_remove_pad(element, removed);
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

// Puts on `buffer` the decoding state at the start of its codes, from the index, for a sound
// decoder that asked to join the stream there (frame 0's buffer starts the stream itself, and
// the first after a seek carries its restart already).
void AttachJoiningState(DemuxState& s, GstBuffer* buffer) {
  const auto frame = static_cast<std::int32_t>(GST_BUFFER_OFFSET(buffer));
  SoundRestart restart;
  if (frame == 0 || SoundRestart_Find(buffer, &restart)) return;
  if (!WaitForIndexHeld(s, frame)) {
    s.restart_asked = true;  // given up: the next buffer brings it, unless a seek's restart does
    return;
  }
  restart.has_state = true;
  restart.state = s.index[frame].sound_state;
  SoundRestart_Attach(buffer, restart);
}

// Sends the sound chunks held back that go beside the pictures sent up to frame `frame` (all of
// them for G_MAXINT64) rather than 31 frames ahead of them, as they are stored (a queue between
// the demuxer and each sink holds about a second): those whose first period is at most the
// frame's, and those that play before the next picture. Where a header's frames last far longer
// than the sound's periods, the periods' count alone held back the sound of the pictures sent,
// and its sink waited for it in preroll while the reading waited for the pictures' sink.
GstFlowReturn ReleaseSound(DemuxState& s, std::int64_t frame) {
  const GstClockTime next_picture =
      frame < G_MAXINT64 ? PictureTime(frame + 1, s.header.frame_duration) : GST_CLOCK_TIME_NONE;
  const auto due = [&](const std::pair<std::int64_t, GstBuffer*>& held) {
    return held.first <= frame || GST_BUFFER_PTS(held.second) < next_picture;
  };
  GstFlowReturn result = GST_FLOW_OK;
  while (!s.held_sound.empty() && due(s.held_sound.front()) && result == GST_FLOW_OK) {
    GstBuffer* buffer = s.held_sound.front().second;
    s.held_sound.pop_front();
    if (s.restart_asked.exchange(false)) AttachJoiningState(s, buffer);
    result = gst_flow_combiner_update_pad_flow(s.flows, s.audio, gst_pad_push(s.audio, buffer));
  }
  return result;
}

void DropHeldSound(DemuxState& s) {
  for (auto& held : s.held_sound) gst_buffer_unref(held.second);
  s.held_sound.clear();
  s.sound_read_end = 0;
  s.sound_gap_sent = false;
}

DemuxState::~DemuxState() {
  StopIndex(*this);
  DropHeldSound(*this);
  MovieReader_Close(reader);
  gst_flow_combiner_free(flows);
}

// When sound period `period` plays: its time on the sound's clock, shifted as the last seek put
// the sound beside the pictures.
GstClockTime SoundTime(const DemuxState& s, std::int64_t period) {
  return static_cast<GstClockTime>(
      static_cast<GstClockTimeDiff>(PeriodTime(period, s.period_samples, s.rate)) + s.sound_shift);
}

// `event` numbered as the seek whose segment it ends or fills (flushes and segments already
// are), so that the messages the application gets for it (the sinks' end of stream, the
// segment's end) tell which seek they answer.
GstEvent* OfTheSeek(const DemuxState& s, GstEvent* event) {
  if (s.segment_seqnum != GST_SEQNUM_INVALID) gst_event_set_seqnum(event, s.segment_seqnum);
  return event;
}

GstFlowReturn PushFrame(DemuxState& s, std::int64_t index) {
  const LoadedFrame frame{s.chunks.data(), static_cast<std::uint32_t>(s.chunks.size())};
  GstFlowReturn result = GST_FLOW_OK;
  if (index >= s.video_from) {
    std::int32_t length = 0;
    const std::uint8_t* picture = Frame_FindChunk(frame, "IX", &length);
    GstBuffer* buffer = ChunkBuffer(picture, length);
    const bool key = PictureChunk_IsKey(picture, length);
    GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = PictureTime(index, s.header.frame_duration);
    GST_BUFFER_DURATION(buffer) =
        PictureTime(index + 1, s.header.frame_duration) - GST_BUFFER_PTS(buffer);
    GST_BUFFER_OFFSET(buffer) = static_cast<guint64>(index);
    GST_BUFFER_OFFSET_END(buffer) = static_cast<guint64>(index + 1);
    if (!key) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (index < s.replay_until || index < s.shown_from)
      GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DECODE_ONLY);
    if (s.video_discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    s.video_discont = false;
    result = gst_flow_combiner_update_pad_flow(s.flows, s.video, gst_pad_push(s.video, buffer));
  }
  if (s.audio && index >= s.audio_from && index >= s.replay_until) {
    std::int32_t length = 0;
    const std::uint8_t* codes = Sound_FindAudioChunk(frame, &length);
    GstBuffer* buffer = ChunkBuffer(codes, length);
    // Frame 0's chunk holds the first 32 periods; every later frame's the period 31 frames on.
    const std::int64_t first = index == 0 ? 0 : index + kLeadPeriods - 1;
    const std::int64_t end = index == 0 ? kLeadPeriods : first + 1;
    std::int64_t heard_from = first;  // the first period the decoder will give out
    if (index == s.audio_from && s.audio_restart) {
      SoundRestart_Attach(buffer, *s.audio_restart);
      heard_from = std::max<std::int64_t>(first, s.audio_restart->skip_periods);
      s.audio_restart.reset();
    }
    // Stamped with the time its first period heard plays: the decoder times the periods it
    // gives out from there.
    GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = SoundTime(s, heard_from);
    GST_BUFFER_DURATION(buffer) = SoundTime(s, end) - GST_BUFFER_PTS(buffer);
    GST_BUFFER_OFFSET(buffer) = static_cast<guint64>(index);
    GST_BUFFER_OFFSET_END(buffer) = static_cast<guint64>(index + 1);
    if (s.audio_discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    s.audio_discont = false;
    s.held_sound.emplace_back(heard_from, buffer);
    s.sound_read_end = GST_BUFFER_PTS(buffer) + GST_BUFFER_DURATION(buffer);
  }
  if (s.audio && result == GST_FLOW_OK) result = ReleaseSound(s, index);
  // Where a header's frames last far longer than the sound's periods, the sound of a time is
  // stored many frames after its picture. Sought past all the sound read with the first picture
  // of the segment, the sound's sink had nothing to preroll on while the pictures filled their
  // queue (two pictures outlast a queue's second) and the reading waited for room: a gap at the
  // segment's start lets it preroll, and its sound follows as it is read. Movies whose two
  // clocks agree have read the sound past the segment's start by then.
  if (s.audio && result == GST_FLOW_OK && !s.sound_gap_sent && index >= s.video_from &&
      PictureTime(index + 1, s.header.frame_duration) > s.segment.start &&
      s.sound_read_end <= s.segment.start) {
    s.sound_gap_sent = true;
    gst_pad_push_event(s.audio, OfTheSeek(s, gst_event_new_gap(s.segment.start, 0)));
  }
  return result;
}

// Ends every stream that has not ended yet.
void PushEos(DemuxState& s) {
  for (GstPad* pad : {s.video, s.audio})
    if (pad != nullptr && !GST_PAD_IS_EOS(pad))
      gst_pad_push_event(pad, OfTheSeek(s, gst_event_new_eos()));
}

// The segment event for the streams. A segment seek ends with the pictures (or at its stop):
// the sound stored past the last picture is not heard when the segment is looped, as the
// player's looping does not play it, or each pass would overlap the next by that much. A movie
// cut short ends with its last whole frame, not at its header's end.
GstEvent* SegmentEvent(const DemuxState& s) {
  GstSegment segment = s.segment;
  if ((segment.flags & GST_SEGMENT_FLAG_SEGMENT) && !GST_CLOCK_TIME_IS_VALID(segment.stop))
    segment.stop = s.segment_outgrown ? MovieDuration(s) : KnownEnd(s);
  return OfTheSeek(s, gst_event_new_segment(&segment));
}

// Ends the streams. The pictures end first: the held sound of the periods after the last
// picture follows, more than a queue holds, and a muxer, which takes the earlier of its
// streams' next buffers, would wait for pictures while the demuxer waited for room.
GstFlowReturn EndStreams(DemuxState& s) {
  if (s.send_segment) {
    // A segment with nothing in it (sought to the end or past it): its segment and a gap let the
    // sinks preroll, which a segment's end alone does not, and place them at its start, where
    // the position is asked; without a segment they had no position to give.
    PushEvent(s, SegmentEvent(s));
    PushEvent(s, OfTheSeek(s, gst_event_new_gap(s.segment.start, 0)));
    s.send_segment = false;
  }
  if (!s.audio) return GST_FLOW_EOS;
  if (!(s.segment.flags & GST_SEGMENT_FLAG_SEGMENT) && s.video)
    gst_pad_push_event(s.video, OfTheSeek(s, gst_event_new_eos()));
  const GstFlowReturn result = ReleaseSound(s, G_MAXINT64);
  return result == GST_FLOW_OK ? GST_FLOW_EOS : result;
}

std::int32_t DecodingStart(DemuxState& s, std::int32_t frame);
bool PlaceSeek(GstElement* element, DemuxState& s);

// Waits until what was sent from `src` has been decoded and passed on, with a query that waits
// behind the data (the queues hold it back until what came before has been taken), answered by
// our decoders once they have passed that on, and at once by a pad that is not linked or is
// flushing. Sent only where it reaches one of them: a sink reached without one would hold it
// until the application had taken everything. False when it was not answered.
bool DrainDecoder(GstPad* src) {
  if (src == nullptr || !Element_DecoderDownstream(src)) return true;
  GstQuery* drain = gst_query_new_drain();
  const bool answered = gst_pad_peer_query(src, drain);
  gst_query_unref(drain);
  return answered;
}

// Goes back to where decoding can start for the frame to be sent next, for a picture decoder
// that lost the pictures it is built on: it decodes its way there from the frames sent again.
void ReplayPictures(DemuxState& s) {
  const auto next = static_cast<std::int32_t>(s.next_frame);
  if (!WaitForIndexHeld(s, next)) {
    s.pictures_asked = true;  // given up: done once the streaming thread goes on, unless a seek
    return;                   // places the streams meanwhile
  }
  const std::int32_t start = DecodingStart(s, next);  // the reader moved if it had to find out
  MovieReader_SeekTo(s.reader, s.index[start].frame.offset);
  s.next_frame = start;
  s.placed_frame = start;
  s.replay_until = std::max<std::int64_t>(s.replay_until, next);
}

void Loop(gpointer user) {
  GstElement* element = GST_ELEMENT(user);
  DemuxState& s = gst_kqm_demux_state(user);
  GstFlowReturn result = GST_FLOW_OK;
  bool error_posted = false;

  if (!s.opened) {
    if (!Open(element, s)) {
      result = s.puller.result == GST_FLOW_FLUSHING ? GST_FLOW_FLUSHING : GST_FLOW_ERROR;
      error_posted = result == GST_FLOW_ERROR;
      goto pause;
    }
  }
  if (s.seek_placing && !PlaceSeek(element, s)) {
    result = GST_FLOW_FLUSHING;
    goto pause;
  }
  if (s.next_frame >= s.header.frame_count ||
      (GST_CLOCK_TIME_IS_VALID(s.segment.stop) &&
       PictureTime(s.next_frame, s.header.frame_duration) >= s.segment.stop)) {
    result = EndStreams(s);
    goto pause;
  }
  if (s.pictures_asked.exchange(false)) ReplayPictures(s);
  {
    const FrameRead read = MovieReader_Next(s.reader, s.chunks);
    if (read != FrameRead::kOk) {
      if (s.puller.result == GST_FLOW_FLUSHING) {
        result = GST_FLOW_FLUSHING;
        goto pause;
      }
      TellFramesKnown(s);
      if (s.puller.asked_to_end) {
        result = EndStreams(s);
        goto pause;
      }
      // What was read before the fault goes out first, held sound included, and the error waits
      // until the sinks have taken it: an application stops at the error (gst-launch-1.0, and a
      // player, which showed nothing of a movie cut within the second or so its queues hold and
      // lost that last second of a longer one). The pictures end before the sound, where it is
      // taken (a sink of the pictures alone would end the pipeline before the error): a muxer
      // waiting for them would keep the sound, and the error, back. They are waited for before
      // they end too: where nothing takes the decoded sound (a thumbnailer links the pictures
      // alone), the sound's wait was over long before the first picture reached the sink, and
      // the error failed the pipeline before it could preroll.
      //
      // A seek meanwhile (a paused player sent back): the cut is met again if played to. A
      // pipeline being stopped (a player going on to its next movie) flushes the decoders before
      // the demuxer, which failed the drain: its error went to the bus, where a player took it
      // for the next movie's and skipped that one too.
      //
      // Where a stream's way ends at a pad not linked on yet (a decodebin3, in playbin3 and
      // uridecodebin3, plugs its decoders after the pads were added, and never for a stream it
      // does not select), nothing can tell whether what was sent will be taken: an error now
      // failed the pipeline before anything reached a sink, and waiting hung where the stream
      // is never selected. The cut then ends the streams as the movie's end does, after all
      // that was read, and is said in a warning. Once the pipeline has prerolled, a way still
      // not linked is one left so (a stream not selected): the cut is the error it is.
      if ((Element_DecoderPending(s.video) || (s.audio && Element_DecoderPending(s.audio))) &&
          !Element_Prerolled(element)) {
        GST_ELEMENT_WARNING(
            element, STREAM, DEMUX,
            ("%s", WithFileName(s.name, FrameReadProblem(read, s.next_frame, s.header.frame_count))
                       .c_str()),
            (nullptr));
        result = EndStreams(s);
        goto pause;
      }
      const auto interrupted = [&](GstPad* pad, bool drained) {
        return GST_PAD_IS_FLUSHING(pad) || (!drained && Element_Stopping(element));
      };
      GstPad* last = s.video;
      if (s.audio && gst_pad_is_linked(s.audio) && s.sound_read_end <= s.segment.start) {
        // None of the sound read reaches the segment (a seek into a header's frames that last
        // far longer than the sound's periods): its sink, which gets nothing but the end,
        // prerolls only on that end, so it goes first. Waiting for the pictures before it never
        // ended: their sink waited in preroll for the sound's.
        ReleaseSound(s, G_MAXINT64);
        gst_pad_push_event(s.audio, OfTheSeek(s, gst_event_new_eos()));
      } else if (s.audio && gst_pad_is_linked(s.audio)) {
        if (s.video) {
          if (interrupted(s.video, DrainDecoder(s.video))) {
            result = GST_FLOW_FLUSHING;
            goto pause;
          }
          gst_pad_push_event(s.video, OfTheSeek(s, gst_event_new_eos()));
        }
        ReleaseSound(s, G_MAXINT64);
        last = s.audio;  // its sound is the last to be played, 31 frame periods on
      }
      if (interrupted(last, DrainDecoder(last))) {
        result = GST_FLOW_FLUSHING;
        goto pause;
      }
      // Where the index found a whole frame, a file rewritten since has none.
      DEMUX_ERROR(element, s, DEMUX,
                  s.placed_frame == s.next_frame && read != FrameRead::kReadError
                      ? FrameMovedProblem(s.next_frame)
                      : FrameReadProblem(read, s.next_frame, s.header.frame_count));
      result = GST_FLOW_ERROR;
      error_posted = true;
      goto pause;
    }
  }
  if (s.placed_frame >= 0) {
    // Placed where the index found the frame: a file rewritten since (another movie copied over
    // it) has something else there, which is not sent as the frame.
    const bool moved =
        s.placed_frame == s.next_frame &&
        s.reader.last_frame_size != s.index[static_cast<std::int32_t>(s.next_frame)].frame.size;
    s.placed_frame = -1;
    if (moved) {
      DEMUX_ERROR(element, s, DEMUX, FrameMovedProblem(s.next_frame));
      result = GST_FLOW_ERROR;
      error_posted = true;
      goto pause;
    }
  }
  // A frame that a download gained past the end its segment was given would be cut away
  // downstream: the segment is sent again, going on.
  if ((s.segment.flags & GST_SEGMENT_FLAG_SEGMENT) && !GST_CLOCK_TIME_IS_VALID(s.segment.stop) &&
      !s.segment_outgrown && s.next_frame >= s.frames_known) {
    s.segment_outgrown = true;
    s.send_segment = true;
  }
  if (s.send_segment) {
    PushEvent(s, SegmentEvent(s));
    s.send_segment = false;
  }
  // Read whole, the frame is known to be in the file before it is sent: a paused sink holds
  // its picture in the push, and the picture shown was past the end durations were answered
  // with (a position in frames one short in a download sought into, or paused in, its new frames).
  KnowFrames(s, static_cast<std::int32_t>(s.next_frame + 1), true);
  result = PushFrame(s, s.next_frame);
  // The position is where the pictures sent end: a segment looped with a non-flushing seek
  // goes on from there, not from the last picture's start, which the next pass would overlap.
  GST_OBJECT_LOCK(element);
  s.segment.position =
      std::max(s.segment.position, PictureTime(s.next_frame + 1, s.header.frame_duration));
  GST_OBJECT_UNLOCK(element);
  ++s.next_frame;
  if (result == GST_FLOW_OK) return;

pause:
  GST_DEBUG_OBJECT(element, "pausing: %s", gst_flow_get_name(result));
  gst_pad_pause_task(s.sink);
  if (result == GST_FLOW_EOS) {
    if (s.segment.flags & GST_SEGMENT_FLAG_SEGMENT) {
      const GstClockTime stop =
          GST_CLOCK_TIME_IS_VALID(s.segment.stop) ? s.segment.stop : KnownEnd(s);
      GstEvent* done =
          OfTheSeek(s, gst_event_new_segment_done(GST_FORMAT_TIME, static_cast<gint64>(stop)));
      GstMessage* message = gst_message_new_segment_done(GST_OBJECT(element), GST_FORMAT_TIME,
                                                         static_cast<gint64>(stop));
      gst_message_set_seqnum(message, gst_event_get_seqnum(done));
      gst_element_post_message(element, message);
      PushEvent(s, done);
    } else {
      PushEos(s);
    }
  } else if (result == GST_FLOW_NOT_LINKED && !error_posted) {
    // Says what the movie offers, such as a sound branch asked of a movie without sound.
    DEMUX_ERROR(element, s, DEMUX,
                std::string("nothing takes the movie's pictures (video_0)") +
                    (s.audio ? " or sound (audio_0)"
                             : ", and it has no sound that can be played (no audio_0)"));
    PushEvent(s, OfTheSeek(s, gst_event_new_eos()));
  } else if (result == GST_FLOW_NOT_LINKED || result < GST_FLOW_EOS) {
    if (!error_posted) GST_ELEMENT_FLOW_ERROR(element, result);
    PushEvent(s, OfTheSeek(s, gst_event_new_eos()));
  }
}

// The frame whose picture is shown at `time`; frame_count when it is past the last one.
std::int64_t FrameAt(const MovieHeader& header, GstClockTime time) {
  gint numerator = 0, denominator = 1;
  PictureRate(header.frame_duration, &numerator, &denominator);
  return std::min<std::int64_t>(FrameShownAt(time, numerator, denominator), header.frame_count);
}

// Whether key frame `key` (indexed) decodes alone, found out once by decoding it twice.
bool KeyDecodesAlone(DemuxState& s, std::int32_t key) {
  std::uint8_t& known = s.key_alone[static_cast<std::size_t>(key)];
  if (known != 0) return known == 1;
  if (!s.key_decoder) {
    s.key_decoder = VideoDecoder::Create(s.header.height, s.header.width, 15);
    if (!s.key_decoder) return false;
  }
  const FrameInfo& info = s.index[key].frame;
  if (!MovieReader_SeekTo(s.reader, info.offset) ||
      MovieReader_Next(s.reader, s.chunks) != FrameRead::kOk ||
      s.reader.last_frame_size != info.size)
    return false;  // not known: tried again at the next seek
  std::int32_t length = 0;
  const std::uint8_t* payload = Frame_FindChunk(
      LoadedFrame{s.chunks.data(), static_cast<std::uint32_t>(s.chunks.size())}, "IX", &length);
  int decoded = kDecodeOk;
  const bool alone =
      payload != nullptr &&
      DecodeKeyFrameAlone(*s.key_decoder, payload, static_cast<std::size_t>(length), &decoded);
  known = alone ? 1 : 2;
  return alone;
}

// The frame decoding starts at to show `frame` exactly: the nearest key frame at or before it
// that decodes alone, else frame 0 (on cleared pictures).
std::int32_t DecodingStart(DemuxState& s, std::int32_t frame) {
  for (std::int32_t key = s.index.KeyFrameAtOrBefore(frame); key > 0;
       key = s.index.KeyFrameAtOrBefore(key - 1))
    if (KeyDecodesAlone(s, key)) return key;
  return 0;
}

// The next key frame after `frame` that a seek may start at (waiting for the index to find it);
// -1 when there is none, or the wait was given up (a seek waiting, the sink pad going down).
std::int32_t NextStart(DemuxState& s, std::int32_t frame) {
  for (std::int32_t i = frame + 1; WaitForIndexHeld(s, i); ++i)
    if (s.index[i].frame.key() && KeyDecodesAlone(s, i)) return i;
  return -1;
}

// Moves the streams to the seek's position: pictures decoded from the start frame, the sound of
// the frame periods from the shown frame on, as continuous playback queues it there.
void PlaceStreams(DemuxState& s, std::int32_t shown, std::int32_t start) {
  s.video_from = start;
  SoundRestart restart;
  if (shown >= kLeadPeriods) {
    // Period p is in the chunk of frame p - 31, decoded from the state the index kept there.
    s.audio_from = shown - (kLeadPeriods - 1);
    restart.has_state = true;
    restart.state = s.index[static_cast<std::int32_t>(s.audio_from)].sound_state;
  } else {
    // Periods below 32 are in frame 0's chunk, which starts the stream.
    s.audio_from = 0;
    restart.skip_periods = static_cast<std::uint32_t>(shown);
  }
  s.audio_restart = restart;
  // The shown frame's period starts with its picture. Never below 0: every period sent is at
  // or after that one.
  s.sound_shift =
      s.sound ? static_cast<GstClockTimeDiff>(PictureTime(shown, s.header.frame_duration)) -
                    static_cast<GstClockTimeDiff>(PeriodTime(shown, s.period_samples, s.rate))
              : 0;
  const std::int32_t first =
      static_cast<std::int32_t>(s.audio ? std::min(s.video_from, s.audio_from) : s.video_from);
  MovieReader_SeekTo(s.reader, s.index[first].frame.offset);
  s.next_frame = first;
  s.placed_frame = first;
}

// A seek position in frames as a time: frames past the last count as the end, and one counted
// from the end (negative) stays negative; none (-1) stays none.
gint64 FramesToTime(const MovieHeader& header, GstSeekType type, gint64 frames) {
  if (type == GST_SEEK_TYPE_NONE || (type == GST_SEEK_TYPE_SET && frames < 0)) return frames;
  const std::int64_t count =
      std::min<std::int64_t>(frames < 0 ? -frames : frames, header.frame_count);
  const auto time = static_cast<gint64>(PictureTime(count, header.frame_duration));
  return frames < 0 ? -time : time;
}

// Whether a seek would start after its stop, as GStreamer's segment places both (a start past
// the movie's end at the end, a stop not given the one the segment has): a start past the stop
// of an earlier seek that this one keeps, or a range given the wrong way round. GStreamer takes
// such a seek for a programming error and logs a critical warning; it is refused quietly.
bool StartsAfterStop(const GstSegment& segment, GstSeekType start_type, gint64 start,
                     GstSeekType stop_type, gint64 stop) {
  const auto duration = static_cast<gint64>(segment.duration);
  if (stop_type == GST_SEEK_TYPE_NONE) stop = static_cast<gint64>(segment.stop);
  if (stop_type == GST_SEEK_TYPE_END) stop += duration;
  if (stop == -1) return false;  // no stop
  if (start_type == GST_SEEK_TYPE_NONE) start = static_cast<gint64>(segment.start);
  if (start_type == GST_SEEK_TYPE_END) start += duration;
  return std::min(std::max<gint64>(start, 0), duration) > std::clamp<gint64>(stop, 0, duration);
}

// Starts the streaming task again at the end of a seek, unless the sink pad is being taken down;
// whether it did.
bool RestartLoop(GstElement* element, DemuxState& s) {
  const std::lock_guard<std::mutex> lock(s.task_lock);
  if (!s.active) return false;
  gst_pad_start_task(s.sink, Loop, element, nullptr);
  return true;
}

// A reference to a pad, or none, for as long as it is in scope.
struct PadRef {
  explicit PadRef(GstPad* held) : pad(held != nullptr ? GST_PAD(gst_object_ref(held)) : nullptr) {}
  PadRef(const PadRef&) = delete;
  PadRef& operator=(const PadRef&) = delete;
  ~PadRef() {
    if (pad != nullptr) gst_object_unref(pad);
  }
  GstPad* const pad;
};

gboolean HandleSeek(GstElement* element, DemuxState& s, GstEvent* event) {
  gdouble rate = 1.0;
  GstFormat format = GST_FORMAT_UNDEFINED;
  GstSeekFlags flags = GST_SEEK_FLAG_NONE;
  GstSeekType start_type = GST_SEEK_TYPE_NONE, stop_type = GST_SEEK_TYPE_NONE;
  gint64 start = 0, stop = 0;
  gst_event_parse_seek(event, &rate, &format, &flags, &start_type, &start, &stop_type, &stop);
  const guint32 seqnum = gst_event_get_seqnum(event);
  // Backwards playback and instant rate changes are not offered.
  if ((format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT) || rate <= 0.0 ||
      (flags & GST_SEEK_FLAG_INSTANT_RATE_CHANGE))
    return FALSE;
  GST_OBJECT_LOCK(element);
  const bool opened = s.opened && s.pads_ready && s.active;
  const MovieHeader header = s.header;
  GstSegment segment = s.segment;
  // Each sink sends the seek up its branch: the first copy does it.
  const bool taken = seqnum == s.seek_seqnum;
  if (opened) s.seek_seqnum = seqnum;
  // Kept for the seek: a state change to READY meanwhile removes them.
  const PadRef video(opened ? s.video : nullptr), audio(opened ? s.audio : nullptr);
  GST_OBJECT_UNLOCK(element);
  if (!opened) return FALSE;
  if (taken) return TRUE;
  if (format == GST_FORMAT_DEFAULT) {
    // In frames, up either stream: a seek a pipeline is sent reaches the demuxer through both
    // decoders, and the sound's copy must go where the pictures' goes.
    start = FramesToTime(header, start_type, start);
    stop = FramesToTime(header, stop_type, stop);
    format = GST_FORMAT_TIME;
  }
  // Positions counted from the end count from the end the file is known to have: a movie cut
  // short ends before its header's. They are placed from the start, as a download that has grown
  // since may be sought past that end; a stop at the end or past it is no stop, for the same.
  const auto known_end = static_cast<gint64>(PictureTime(s.frames_known, header.frame_duration));
  if (start_type == GST_SEEK_TYPE_END) {
    start = start >= 0 ? known_end : std::max<gint64>(known_end + start, 0);
    start_type = GST_SEEK_TYPE_SET;
  }
  if (stop_type == GST_SEEK_TYPE_END) {
    stop = stop >= 0 ? -1 : std::max<gint64>(known_end + stop, 0);
    stop_type = GST_SEEK_TYPE_SET;
  }

  const bool flush = (flags & GST_SEEK_FLAG_FLUSH) != 0;
  if (start_type == GST_SEEK_TYPE_NONE && flush) {
    // Such a seek (a new stop or rate) goes on from the picture shown, not from where reading
    // had got to, a second or so ahead in the queues that the flush empties.
    // Asked in frames: the picture decoder finds the picture shown at the time the sink gives.
    // In time the answer depends on what stands between: a paused sink gives the start of its
    // picture, a transform before it (videoconvert, a caps filter) the end of the last picture
    // it passed on, the start of the next one.
    gint64 frame = -1;
    if (gst_pad_peer_query_position(video.pad, GST_FORMAT_DEFAULT, &frame) && frame >= 0) {
      segment.position =
          PictureTime(std::min<gint64>(frame, header.frame_count - 1), header.frame_duration);
    } else if (gint64 time = -1;
               (SinkPosition(video.pad, &time) || (audio.pad && SinkPosition(audio.pad, &time))) &&
               time >= 0) {
      // Pictures not decoded by ours, or the sound alone: the time its sink gives.
      segment.position = static_cast<guint64>(time);
    }
  }
  // The index met the end of a file that has grown since: it is built again once the streaming
  // thread has stopped (it reads the index), and the seek placed then.
  bool regrown_asked = false;
  std::optional<std::int64_t> regrown;
  const GstSegment unplaced = segment;
  const std::uint32_t build = s.index_builds;
  // Moves `target` as the seek asks; false when it cannot be done. Nothing here waits for the
  // index or reads the movie: the streaming thread finds the frame (PlaceSeek). A seek waiting
  // for an index whose reads an application's source left unanswered held the pipeline's state
  // for good, and stopping the pipeline hung behind it.
  const auto place = [&](GstSegment& target) {
    gboolean update = FALSE;
    if (StartsAfterStop(target, start_type, start, stop_type, stop) ||
        !gst_segment_do_seek(&target, rate, format, flags, start_type, static_cast<guint64>(start),
                             stop_type, static_cast<guint64>(stop), &update))
      return false;
    const std::int64_t frame = FrameAt(header, target.position);
    if (frame >= header.frame_count || !s.index.finished() || frame < s.index.frames()) return true;
    // The index ended before the frame (a movie that ends early is sought up to its end).
    if (!regrown_asked) {
      regrown_asked = true;
      regrown = IndexOutgrown(s);
      if (regrown) return true;
    }
    return s.index.frames() > 0;
  };
  // Placed here before the streaming thread is held, while a state change to READY may reset
  // the element: this placement reads only the index's count and end and the length its build
  // measured (atomics), never its entries, and what it finds is used only once the checks under
  // the stream lock below show the element is still the one it was placed in.
  if (!place(segment)) return FALSE;

  if (flush) {
    GstEvent* flush_start = gst_event_new_flush_start();
    gst_event_set_seqnum(flush_start, seqnum);
    for (GstPad* pad : {video.pad, audio.pad})
      if (pad != nullptr) gst_pad_push_event(pad, gst_event_ref(flush_start));
    {
      const std::lock_guard<std::mutex> hold(s.flushes.lock);
      ++s.flushes.flushing;
      ++s.flushes.count;
    }
    gst_pad_push_event(s.sink, flush_start);
  }
  // The streaming thread may be waiting for an index whose reads an application's source leaves
  // unanswered, and a seek without a flush waited behind it for good (pausing the task takes
  // its lock too): it gives way at once.
  ++s.seeks_waiting;
  s.index.Wake();
  gst_pad_pause_task(s.sink);
  GST_PAD_STREAM_LOCK(s.sink);
  --s.seeks_waiting;
  GST_OBJECT_LOCK(element);
  const bool active = s.active;
  const bool same = active && s.pads_ready && s.video == video.pad && s.audio == audio.pad;
  GST_OBJECT_UNLOCK(element);
  if (!same) {
    // The element went down to READY while the seek waited (and maybe up again, with new pads):
    // what it would place is gone. The sink pad being taken down stays flushing and stopped;
    // one still pulling plays on as it was.
    if (flush) {
      {
        const std::lock_guard<std::mutex> hold(s.flushes.lock);
        --s.flushes.flushing;
      }
      s.flushes.over.notify_all();
      if (active) {
        GstEvent* flush_stop = gst_event_new_flush_stop(TRUE);
        gst_event_set_seqnum(flush_stop, seqnum);
        gst_pad_push_event(s.sink, flush_stop);
      }
    }
    RestartLoop(element, s);
    GST_PAD_STREAM_UNLOCK(s.sink);
    return FALSE;
  }
  if (flush) {
    // The streaming thread has stopped: the index's read, woken too, is made again.
    GstEvent* flush_stop = gst_event_new_flush_stop(TRUE);
    gst_event_set_seqnum(flush_stop, seqnum);
    gst_pad_push_event(s.sink, flush_stop);
    {
      const std::lock_guard<std::mutex> hold(s.flushes.lock);
      --s.flushes.flushing;
    }
    s.flushes.over.notify_all();
  }
  // Asked again now that no other seek can build it: one that held the stream first may have
  // built it again already (two seeks at once, through different sinks or pads).
  const bool outgrown = regrown.has_value();
  const std::optional<std::int64_t> grown_to = outgrown ? IndexOutgrown(s) : std::nullopt;
  regrown_asked = true;  // built again at most here: a seek without a flush is placed again below
  // Built again since this one was placed (by another seek, or by the streaming thread placing
  // an earlier one): the frame found may not be in the new index yet.
  const bool rebuilt = s.index_builds != build;
  if (outgrown || rebuilt) {
    // Built from the start again; a system out of threads leaves it empty, and no seek placed.
    if (grown_to) StartIndex(s, *grown_to);
    segment = unplaced;
    if (!place(segment)) {
      // Plays on from where it was.
      if (flush) {
        GstEvent* flush_stop = gst_event_new_flush_stop(TRUE);
        gst_event_set_seqnum(flush_stop, seqnum);
        PushEvent(s, flush_stop);
      }
      s.send_segment = true;
      s.video_discont = s.audio_discont = true;
      RestartLoop(element, s);
      GST_PAD_STREAM_UNLOCK(s.sink);
      return FALSE;
    }
  }
  if (!flush) {
    // Without a flush the segment goes on from where the pictures sent end, the one the demuxer
    // was sending when the seek came included (a sink's queue full, it waited for room): the
    // segment is taken again now that sending has stopped.
    GST_OBJECT_LOCK(element);
    GstSegment now = s.segment;
    GST_OBJECT_UNLOCK(element);
    if (place(now)) segment = now;
  }
  DropHeldSound(s);
  // A flushing seek starts playback again after an end the application asked for.
  if (flush) s.upstream_ended = false;

  // The streaming thread places the streams at the segment's position as it starts again.
  s.shown_from = 0;
  s.placed_frame = -1;
  s.seek_placing = true;
  s.seek_flags = flags;
  if (flush) {
    GstEvent* flush_stop = gst_event_new_flush_stop(TRUE);
    gst_event_set_seqnum(flush_stop, seqnum);
    PushEvent(s, flush_stop);
  }
  GST_OBJECT_LOCK(element);
  s.segment = segment;
  GST_OBJECT_UNLOCK(element);
  s.segment_seqnum = seqnum;
  s.restart_asked = false;  // the seek's restart comes with its first sound buffer
  s.pictures_asked = false;
  s.replay_until = 0;
  s.send_segment = true;
  s.segment_outgrown = false;
  s.video_discont = s.audio_discont = true;
  gst_flow_combiner_reset(s.flows);
  const bool restarted = RestartLoop(element, s);
  GST_PAD_STREAM_UNLOCK(s.sink);
  return restarted ? TRUE : FALSE;
}

// Places the streams where the last seek put the segment, on the streaming thread: finds the
// frame shown at its position, waiting for the index to reach it (a movie that ends early is
// sought up to its last whole frame, a download that grew since is indexed again), and the frame
// decoding starts from. False when the wait was given up, to a seek waiting (that seek places
// the streams again) or the sink pad going down.
bool PlaceSeek(GstElement* element, DemuxState& s) {
  const MovieHeader& header = s.header;
  GST_OBJECT_LOCK(element);
  GstSegment segment = s.segment;
  GST_OBJECT_UNLOCK(element);
  std::int64_t frame = FrameAt(header, segment.position);
  const bool past = frame >= header.frame_count;
  if (!past) {
    bool regrown = false;
    while (!WaitForIndexHeld(s, static_cast<std::int32_t>(frame))) {
      if (!s.index.finished()) return false;
      if (!regrown) {
        regrown = true;
        if (const std::optional<std::int64_t> grown_to = IndexOutgrown(s);
            grown_to && StartIndex(s, *grown_to))
          continue;
      }
      if (s.index.frames() == 0) {
        // Nothing could be indexed (the file rewritten since it was opened): plays on from where
        // it was, where the reading meets what the file holds now.
        s.seek_placing = false;
        return true;
      }
      // The segment starts at that frame, or its picture would be clipped away downstream.
      frame = s.index.frames() - 1;
      segment.start = segment.position = segment.time = PictureTime(frame, header.frame_duration);
      break;
    }
  }
  const bool empty = past || (GST_CLOCK_TIME_IS_VALID(segment.stop) &&
                              PictureTime(frame, header.frame_duration) >= segment.stop);
  const GstSeekFlags flags = s.seek_flags;
  if (empty) {
    // Nothing to send, not even the frames decoding would start from: the streams end at once,
    // with a gap that lets the sinks preroll. Frames sent for decoding alone left a picture
    // decoder that showed none failing at the end ('No valid frames decoded before end of
    // stream'), and a segment's sinks waiting to preroll.
    s.next_frame = header.frame_count;
  } else {
    auto shown = static_cast<std::int32_t>(frame);
    std::int32_t from = DecodingStart(s, shown);
    if (flags & GST_SEEK_FLAG_KEY_UNIT) {
      // To a key frame: the one before, the one after or the nearer one, as asked (nearest is
      // the before and after flags together).
      const bool before = (flags & GST_SEEK_FLAG_SNAP_BEFORE) != 0;
      const std::int32_t after =
          (flags & GST_SEEK_FLAG_SNAP_AFTER) && shown != from ? NextStart(s, shown) : -1;
      const bool to_after = after >= 0 && (!before || after - shown < shown - from);
      shown = to_after ? after : from;
      from = shown;
      const GstClockTime time = PictureTime(shown, header.frame_duration);
      segment.start = segment.position = segment.time = time;
    }
    PlaceStreams(s, shown, from);
    s.shown_from = shown;
  }
  GST_OBJECT_LOCK(element);
  s.segment = segment;
  GST_OBJECT_UNLOCK(element);
  s.seek_placing = false;
  if (flags & GST_SEEK_FLAG_SEGMENT) {
    GstMessage* message = gst_message_new_segment_start(GST_OBJECT(element), GST_FORMAT_TIME,
                                                        static_cast<gint64>(segment.position));
    gst_message_set_seqnum(message, s.segment_seqnum);
    gst_element_post_message(element, message);
  }
  return true;
}

gboolean SrcEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_SEEK: {
      const gboolean done = HandleSeek(GST_ELEMENT(parent), gst_kqm_demux_state(parent), event);
      gst_event_unref(event);
      return done;
    }
    case GST_EVENT_CUSTOM_UPSTREAM:
      if (const RejoinRequest what = Rejoin_Parse(event); what != RejoinRequest::kNone) {
        DemuxState& s = gst_kqm_demux_state(parent);
        (what == RejoinRequest::kSound ? s.restart_asked : s.pictures_asked) = true;
        gst_event_unref(event);
        return TRUE;
      }
      return gst_pad_event_default(pad, parent, event);
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

// The movie's length in time or (DEFAULT) in frames.
gint64 MovieLength(const DemuxState& s, GstFormat format) {
  const std::int32_t frames = s.frames_known;
  return format == GST_FORMAT_DEFAULT
             ? static_cast<gint64>(frames)
             : static_cast<gint64>(PictureTime(frames, s.header.frame_duration));
}

gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query) {
  DemuxState& s = gst_kqm_demux_state(parent);
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_DURATION: {
      GstFormat format;
      gst_query_parse_duration(query, &format, nullptr);
      if (format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT) return FALSE;
      GST_OBJECT_LOCK(parent);
      const bool opened = s.opened;
      const gint64 duration = MovieLength(s, format);
      GST_OBJECT_UNLOCK(parent);
      if (!opened) return FALSE;
      gst_query_set_duration(query, format, duration);
      return TRUE;
    }
    case GST_QUERY_POSITION:
      // Not asked upstream: the source's place in the file is how far the index has read, most
      // of the movie ahead of the picture shown (a percentage of 99 % at the start). The sinks
      // give the position in time, the picture decoder in frames.
      return FALSE;
    case GST_QUERY_SEEKING: {
      GstFormat format;
      gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
      if (format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT) return FALSE;
      GST_OBJECT_LOCK(parent);
      const bool opened = s.opened;
      const gint64 duration = MovieLength(s, format);
      GST_OBJECT_UNLOCK(parent);
      // An index that ended without a frame (no thread could build it) places no seek.
      const bool seekable = opened && !(s.index.finished() && s.index.frames() == 0);
      gst_query_set_seeking(query, format, seekable, 0, opened ? duration : -1);
      return TRUE;
    }
    default:
      return gst_pad_query_default(pad, parent, query);
  }
}

// A source that cannot be read at any offset (a pipe, an HTTP stream behind a player's
// buffering) is refused when its data comes, not when the pad is activated: a decodebin or
// playbin takes an element that fails to start for a missing plug-in, says so and offers to
// install one, and keeps this error from the user.
void RefuseStream(GstPad* sink, GstObject* parent) {
  DemuxState& s = gst_kqm_demux_state(parent);
  if (s.refused) return;
  s.refused = true;
  const std::string text =
      WithFileName(MovieFileName(sink),
                   "cannot be read at any offset; KQM6 movies are read from a source "
                   "that can seek, such as a file");
  GST_ELEMENT_ERROR(parent, STREAM, DEMUX, ("%s", text.c_str()),
                    ("upstream cannot be pulled from"));
}

GstFlowReturn RefuseBuffer(GstPad* sink, GstObject* parent, GstBuffer* buffer) {
  gst_buffer_unref(buffer);
  RefuseStream(sink, parent);
  return GST_FLOW_ERROR;
}

gboolean SinkEvent(GstPad* sink, GstObject* parent, GstEvent* event) {
  // A stream pushed to its end without data ends in the same refusal.
  if (GST_EVENT_TYPE(event) == GST_EVENT_EOS && GST_PAD_MODE(sink) == GST_PAD_MODE_PUSH) {
    gst_event_unref(event);
    RefuseStream(sink, parent);
    return FALSE;
  }
  return gst_pad_event_default(sink, parent, event);
}

gboolean SinkActivate(GstPad* sink, GstObject* /*parent*/) {
  GstQuery* query = gst_query_new_scheduling();
  const gboolean answered = gst_pad_peer_query(sink, query);
  const gboolean pull = answered && gst_query_has_scheduling_mode_with_flags(
                                        query, GST_PAD_MODE_PULL, GST_SCHEDULING_FLAG_SEEKABLE);
  gst_query_unref(query);
  return gst_pad_activate_mode(sink, pull ? GST_PAD_MODE_PULL : GST_PAD_MODE_PUSH, TRUE);
}

// Events an application's source pushes while the sink pad pulls (the application sent them
// to the pipeline, and the source hands them out in whichever read is waiting): they carry
// nothing for streams the demuxer makes itself, and go no further. Let through, one that came
// in the index's read waited for the sink pad's stream lock, held by the streaming thread while
// its own read waited for the source to finish that one: the pipeline hung, and so did
// stopping it. An end is kept, and ends the readers' next pulls as a file source's does.
GstPadProbeReturn EndFromUpstream(GstPad* /*pad*/, GstPadProbeInfo* info, gpointer user) {
  // A seek's own flush on its way up.
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_UPSTREAM) return GST_PAD_PROBE_OK;
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  const GstEventType type = GST_EVENT_TYPE(event);
  if (!GST_EVENT_IS_SERIALIZED(event) && type != GST_EVENT_FLUSH_START) return GST_PAD_PROBE_OK;
  if (type == GST_EVENT_EOS) static_cast<DemuxState*>(user)->upstream_ended = true;
  // Handled rather than dropped: the source sends a sticky event it takes for dropped again
  // before each later one, and the end came back after every seek.
  gst_event_unref(event);
  GST_PAD_PROBE_INFO_DATA(info) = nullptr;
  return GST_PAD_PROBE_HANDLED;
}

void UnwatchUpstream(DemuxState& s);

void WatchUpstream(DemuxState& s, GstPad* sink) {
  UnwatchUpstream(s);
  s.upstream_ended = false;
  s.probed = gst_pad_get_peer(sink);
  if (s.probed == nullptr) return;
  s.probe = gst_pad_add_probe(s.probed,
                              static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                           GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                              EndFromUpstream, &s, nullptr);
}

void UnwatchUpstream(DemuxState& s) {
  if (s.probed == nullptr) return;
  if (s.probe != 0) gst_pad_remove_probe(s.probed, s.probe);
  gst_object_unref(s.probed);
  s.probed = nullptr;
  s.probe = 0;
}

gboolean SinkActivateMode(GstPad* sink, GstObject* parent, GstPadMode mode, gboolean active) {
  if (mode == GST_PAD_MODE_PUSH) return TRUE;  // refused as its data comes
  if (mode != GST_PAD_MODE_PULL) return FALSE;
  DemuxState& s = gst_kqm_demux_state(parent);
  {
    const std::lock_guard<std::mutex> lock(s.task_lock);
    GST_OBJECT_LOCK(parent);
    s.active = active;
    GST_OBJECT_UNLOCK(parent);
  }
  if (active) {
    WatchUpstream(s, sink);
    return gst_pad_start_task(sink, Loop, parent, nullptr);
  }
  // The index's reader pulls from upstream too: it ends before the pad goes down. The loop
  // may still start it while it opens the movie (its reads no longer get anything then), so it
  // is ended again once the loop has stopped; it outlived the element otherwise.
  StopIndex(s);
  const gboolean stopped = gst_pad_stop_task(sink);
  StopIndex(s);
  UnwatchUpstream(s);
  return stopped;
}

void ResetState(DemuxState& s) {
  MovieReader_Close(s.reader);
  s.reader = MovieReader{};
  s.opened = false;
  s.pads_ready = false;
  s.header = MovieHeader{};
  s.chunks.clear();
  s.next_frame = 0;
  s.name.clear();
  s.sound = false;
  s.rate = 0;
  s.period_samples = 0;
  s.puller = Puller{};
  s.upstream_ended = false;
  s.refused = false;
  s.ring_upstream = false;
  s.seek_seqnum = s.segment_seqnum = GST_SEQNUM_INVALID;
  s.seek_placing = false;
  // Nothing builds the index until the movie is opened again: a seek let in before the reset
  // that waits for it gives up rather than waiting for good.
  s.index.Reset(0);
  s.index.Finish(IndexEnd::kCancelled);
  s.key_alone.clear();
  s.key_decoder.reset();
  gst_segment_init(&s.segment, GST_FORMAT_TIME);
  s.send_segment = true;
  s.segment_outgrown = false;
  s.video_discont = s.audio_discont = true;
  s.video_from = s.audio_from = 0;
  s.audio_restart.reset();
  s.sound_shift = 0;
  s.frames_known = 0;
  s.frames_told = 0;
  s.restart_asked = false;
  s.pictures_asked = false;
  s.replay_until = 0;
  s.shown_from = 0;
  s.placed_frame = -1;
  s.index_length = -1;
  DropHeldSound(s);
  gst_flow_combiner_reset(s.flows);
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
  DemuxState& s = gst_kqm_demux_state(element);
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

}  // namespace
}  // namespace tarvel::gst

static void gst_kqm_demux_class_init(GstKqmDemuxClass* klass) {
  using namespace tarvel::gst;
  GST_DEBUG_CATEGORY_INIT(kqm_demux_debug, "kqmdemux", 0, "KQM6 movie demuxer");
  GstElementClass* element = Element_Describe(
      klass, gst_kqm_demux_finalize, {&sink_template, &video_template, &audio_template},
      "KQM6 movie demuxer", "Codec/Demuxer",
      "Splits a KQM6 movie (.kqm, .kqs) into its picture chunks (video_0) and its "
      "sound chunks (audio_0, when the movie has sound the player can play), "
      "timestamped as the Tarvel player presents them; seekable");
  element->change_state = ChangeState;
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
  gst_pad_set_chain_function(s.sink, RefuseBuffer);
  gst_pad_set_event_function(s.sink, SinkEvent);
  gst_element_add_pad(GST_ELEMENT(self), s.sink);
}

namespace tarvel::gst {

gboolean Demux_Register(GstPlugin* plugin) {
  return gst_element_register(plugin, "kqmdemux", GST_RANK_PRIMARY, gst_kqm_demux_get_type());
}

}  // namespace tarvel::gst
