// Runs a GStreamer pipeline described in text, with the plugin registered in-process, and
// keeps what its appsinks named "video" and "audio" receive and what it says on its bus.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarvel::test {

// Initialises GStreamer for the tests (private registry, our plugin registered statically).
void EnsureGstreamer();

struct SinkLog {
  std::vector<std::uint8_t> bytes;
  std::vector<GstClockTime> pts;
  std::vector<GstClockTime> durations;
  std::vector<GstClockTime> running;  // each buffer's running time
  std::vector<std::size_t> sizes;
  std::vector<bool> corrupted;  // the buffer carries GST_BUFFER_FLAG_CORRUPTED
};

struct PipelineRun {
  SinkLog video;
  SinkLog audio;
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  std::vector<std::string> criticals;        // GStreamer's critical warnings logged during the run
  bool eos = false;                          // the stream ended without an error
  bool segment_done = false;                 // a segment seek's segment ended (it ends so instead)
  guint32 seek_seqnum = GST_SEQNUM_INVALID;  // the last seek's number
  guint32 end_seqnum = GST_SEQNUM_INVALID;   // that of the end or segment end of the run
  std::int64_t duration = -1;                // the pipeline's answer once prerolled, in ns
  std::int64_t frames = -1;                  // the same in frames (GStreamer's DEFAULT format)
  bool seekable = false;                     // the seeking query's answer once prerolled
};

struct RunOptions {
  // Seeks to these positions (ns) one after the other once prerolled, then plays; none: plays
  // from the start.
  std::vector<std::int64_t> seeks;
  GstSeekFlags seek_flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
  GstSeekType seek_type = GST_SEEK_TYPE_SET;  // END: positions count from the end (negative)
  GstFormat seek_format = GST_FORMAT_TIME;    // DEFAULT: positions and stop are frames
  std::int64_t seek_stop = -1;                // where the seeks' segment stops; -1: the end
  // Plays the seeks' segment this many times more, each pass sought on from the end of the one
  // before without a flush, as players loop a range (seek_flags then include SEGMENT).
  int loops = 0;
  // Asks the prerolled pipeline to end (an EOS event, as gst-launch-1.0 -e sends on Ctrl-C).
  bool end_early = false;
  // Called with the pipeline as built, before it starts (to connect an appsrc's signals).
  std::function<void(GstElement*)> built;
  // Called with the pipeline once it has prerolled (and sought), before it plays.
  std::function<void(GstElement*)> prerolled;
};

PipelineRun RunPipeline(const std::string& description, const RunOptions& options = {});

// Builds a pipeline from text, as gst_parse_launch does, also where a `location="..."` names a
// file whose name is not UTF-8 (a temporary folder named in Latin-1): the parser takes only
// UTF-8 text, so such a location is set on its element once the pipeline is built, as an
// application gives a file source a name in the file system's encoding. Null on failure, with
// `error` set when given.
GstElement* ParsePipeline(const std::string& description, GError** error = nullptr);

// A scratch file of the running test, `name` made its own (ctest runs tests side by side).
std::string TestFile(const std::string& name);
// "file:///..." for a path.
std::string FileUri(const std::string& path);
std::string Sha256Hex(const std::vector<std::uint8_t>& bytes);

}  // namespace tarvel::test
