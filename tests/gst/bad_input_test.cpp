#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gst/kqm_sound_restart.h"
#include "gst_pipeline.h"
#include "kqm_run.h"
#include "tools/commands.h"

namespace tarvel::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPicture = 64 * 48 * 2;  // bytes of one picture of the test movie
constexpr std::size_t kPeriod = 441 * 4;       // 22,050 Hz at 25 fps: 882 samples per period

std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// Offset of frame `index`'s frame word.
std::size_t FrameAt(const Bytes& movie, int index) {
  std::size_t at = 64;
  for (int i = 0; i < index; ++i) at += Le32(movie, at) & 0xFFFFFF;
  return at;
}

// Offset of the header of the chunk tagged `tag` in frame `index` (the demo movie's chunks are
// unpadded and well formed).
std::size_t ChunkAt(const Bytes& movie, int index, const char* tag) {
  const std::size_t frame = FrameAt(movie, index);
  const std::size_t end = frame + (Le32(movie, frame) & 0xFFFFFF);
  for (std::size_t at = frame + 4; at + 8 <= end; at += (Le32(movie, at) + 3) & ~3u)
    if (std::memcmp(&movie[at + 4], tag, 2) == 0) return at;
  ADD_FAILURE() << "no " << tag << " chunk in frame " << index;
  return 0;
}

class DamagedMovies : public testing::Test {
 protected:
  void SetUp() override {
    const auto made = RunKqm(tools::Cmd_Demo, "demo",
                             {"-o", Path("bad.kqm"), "--size", "64x48", "--seconds", "2", "-q"});
    ASSERT_EQ(made.status, 0) << made.err;
    movie_ = ReadFileBytes(Path("bad.kqm"));
  }

  static std::string Path(const std::string& name) { return TestFile(name); }
  // The file as messages name it: a temporary folder whose name is not UTF-8 shown as GLib
  // shows such names.
  static std::string Shown(const std::string& name) {
    gchar* shown = g_filename_display_name(Path(name).c_str());
    std::string result = shown;
    g_free(shown);
    return result;
  }

  // Writes `movie` and runs the demuxer and both decoders over it.
  PipelineRun Play(const Bytes& movie, const std::string& name, const RunOptions& options = {}) {
    WriteFileBytes(Path(name), movie);
    return RunPipeline("filesrc location=\"" + Path(name) +
                           "\" ! kqmdemux name=d "
                           "d.video_0 ! queue ! kqmviddec ! appsink name=video sync=false "
                           "d.audio_0 ! queue ! kqmauddec ! appsink name=audio sync=false",
                       options);
  }

  // A download of which 20 frames have been written, sought to frame 30 once prerolled: the seek
  // waits for the frame index, which ends at frame 20.
  RunOptions IndexedWhileTwentyFramesLong() {
    WriteFileBytes(Path("growing.kqm"),
                   Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
    RunOptions options;
    options.seeks = {30 * 40'000'000LL};
    return options;
  }

  // One branch only, without a queue: everything the demuxer sent before an error has reached
  // the sink when the error comes.
  PipelineRun PlayBranch(const std::string& name, bool video, const RunOptions& options = {}) {
    return RunPipeline("filesrc location=\"" + Path(name) + "\" ! kqmdemux name=d " +
                           (video ? "d.video_0 ! kqmviddec ! appsink name=video sync=false"
                                  : "d.audio_0 ! kqmauddec ! appsink name=audio sync=false"),
                       options);
  }

  // The pictures of growing.kqm, its source named for probes.
  static std::string GrowingBranch() {
    return "filesrc name=src location=\"" + Path("growing.kqm") +
           "\" ! kqmdemux name=d d.video_0 ! kqmviddec ! appsink name=video sync=false";
  }

  // What `kqm export` makes of `name` (already written).
  void Export(const std::string& name, Bytes* video, Bytes* audio) {
    RunKqm(tools::Cmd_Export, "export",
           {Path(name), "--video", Path("ref.rgb"), "--audio", Path("ref.pcm"), "-q"});
    *video = ReadFileBytes(Path("ref.rgb"));
    *audio = ReadFileBytes(Path("ref.pcm"));
  }

  void StopAfterSeekPastAStalledIndex(bool unflushed_after);

  Bytes movie_;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  return all;
}

// Whether a branch has ended, for another branch whose end must wait for it: a pipeline whose
// only sink has ended is stopped by the test at once, before what the first branch still brings
// (the demuxer's error, after it has ended the sound).
struct EndGate {
  std::mutex lock;
  std::condition_variable changed;
  bool ended = false;

  void End() {
    const std::lock_guard<std::mutex> hold(lock);
    ended = true;
    changed.notify_all();
  }
};

// Counts the demuxer's DURATION_CHANGED messages (its name is "d"); `first` ends at the first.
struct DurationChanges {
  EndGate first;
  std::atomic<int> count{0};

  // Watches the bus of `pipeline`, as built (RunOptions::built).
  void Watch(GstElement* pipeline) {
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(
        bus,
        [](GstBus*, GstMessage* message, gpointer data) {
          if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_DURATION_CHANGED &&
              std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))) == "d") {
            auto& changes = *static_cast<DurationChanges*>(data);
            ++changes.count;
            changes.first.End();
          }
          return GST_BUS_PASS;
        },
        this, nullptr);
    gst_object_unref(bus);
  }
  // Waits for the first; a bound only for a demuxer that never says it (a test fails rather
  // than hangs). Whether it came.
  bool WaitForFirst() {
    std::unique_lock<std::mutex> hold(first.lock);
    return first.changed.wait_for(hold, std::chrono::seconds(30), [this] { return first.ended; });
  }
};

// An end of stream through `pad` marks `gate` ended.
void MarkEndAt(GstPad* pad, EndGate& gate) {
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
      [](GstPad*, GstPadProbeInfo* info, gpointer data) {
        if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS)
          static_cast<EndGate*>(data)->End();
        return GST_PAD_PROBE_OK;
      },
      &gate, nullptr);
}

// The end of stream reaching the element named `sink` waits until `gate` is ended.
void HoldEndUntil(GstElement* pipeline, const char* sink, EndGate& gate) {
  GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline), sink);
  GstPad* taken = gst_element_get_static_pad(element, "sink");
  gst_pad_add_probe(
      taken, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
      [](GstPad*, GstPadProbeInfo* info, gpointer data) {
        if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS) {
          auto& g = *static_cast<EndGate*>(data);
          std::unique_lock<std::mutex> hold(g.lock);
          g.changed.wait(hold, [&g] { return g.ended; });
        }
        return GST_PAD_PROBE_OK;
      },
      &gate, nullptr);
  gst_object_unref(taken);
  gst_object_unref(element);
}

// Holds the first event or query through `pad` that `picks` chooses, on the thread sending it,
// until the test opens the gate; all that comes later passes.
class FirstHeld {
 public:
  FirstHeld(GstPad* pad, GstPadProbeType type, bool (*picks)(GstPadProbeInfo*))
      : pad_(GST_PAD(gst_object_ref(pad))), picks_(picks) {
    probe_ = gst_pad_add_probe(pad_, type, &FirstHeld::Probe, this, nullptr);
  }
  FirstHeld(const FirstHeld&) = delete;
  FirstHeld& operator=(const FirstHeld&) = delete;
  ~FirstHeld() {
    Open();
    gst_pad_remove_probe(pad_, probe_);
    gst_object_unref(pad_);
  }
  // Waits until the first one is held.
  void AwaitHeld() {
    std::unique_lock<std::mutex> wait(lock_);
    changed_.wait(wait, [this] { return entered_; });
  }
  void Open() {
    const std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  static GstPadProbeReturn Probe(GstPad*, GstPadProbeInfo* info, gpointer user) {
    auto& self = *static_cast<FirstHeld*>(user);
    std::unique_lock<std::mutex> wait(self.lock_);
    if (self.entered_ || !self.picks_(info)) return GST_PAD_PROBE_OK;
    self.entered_ = true;
    self.changed_.notify_all();
    self.changed_.wait(wait, [&self] { return self.open_; });
    return GST_PAD_PROBE_OK;
  }

  GstPad* const pad_;
  bool (*const picks_)(GstPadProbeInfo*);
  gulong probe_ = 0;
  std::mutex lock_;
  std::condition_variable changed_;
  bool entered_ = false, open_ = false;
};

bool IsFlushStart(GstPadProbeInfo* info) {
  return GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_FLUSH_START;
}
bool IsFlushStop(GstPadProbeInfo* info) {
  return GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_FLUSH_STOP;
}
bool IsPositionQuery(GstPadProbeInfo* info) {
  return GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) == GST_QUERY_POSITION;
}

// A movie paused in a pipeline that shows its pictures, with the demuxer and its pads; set to
// NULL and let go at the end of the scope.
struct PausedPictures {
  GstElement* pipeline = nullptr;
  GstElement* demux = nullptr;
  GstPad* video = nullptr;
  GstPad* sink = nullptr;

  // Whether the movie at `location` prerolled.
  bool Start(const std::string& location) {
    pipeline = ParsePipeline("filesrc location=\"" + location +
                             "\" ! kqmdemux name=d d.video_0 ! kqmviddec ! fakesink");
    if (pipeline == nullptr) return false;
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    if (gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE) !=
        GST_STATE_CHANGE_SUCCESS)
      return false;
    demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    video = gst_element_get_static_pad(demux, "video_0");
    sink = gst_element_get_static_pad(demux, "sink");
    return true;
  }
  // Takes the pipeline down to READY, as another thread of the application would.
  bool StopToReady() {
    gst_element_set_state(pipeline, GST_STATE_READY);
    return gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE) ==
           GST_STATE_CHANGE_SUCCESS;
  }
  ~PausedPictures() {
    if (pipeline == nullptr) return;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    for (GstPad* pad : {video, sink})
      if (pad != nullptr) gst_object_unref(pad);
    if (demux != nullptr) gst_object_unref(demux);
    gst_object_unref(pipeline);
  }
};

// A broken container ends the pipeline with one error naming the file and the frame, after
// every frame before it was delivered exactly.
TEST_F(DamagedMovies, BrokenContainerEndsWithAnErrorAfterWhatCouldBeRead) {
  Bytes video, audio;
  Play(movie_, "whole.kqm");
  Export("whole.kqm", &video, &audio);
  ASSERT_EQ(video.size(), 50 * kPicture);
  ASSERT_EQ(audio.size(), (50 + 31) * kPeriod);

  struct Case {
    std::string name;
    Bytes movie;
    std::string message;
    std::size_t frames_delivered;
  };
  std::vector<Case> cases;
  const std::size_t frame20 = FrameAt(movie_, 20);
  cases.push_back({"cut-inside.kqm", Bytes(movie_.begin(), movie_.begin() + frame20 + 10),
                   "frame 20: the file ends inside the frame", 20});
  cases.push_back({"cut-between.kqm", Bytes(movie_.begin(), movie_.begin() + frame20),
                   "the movie data ends after 20 of 50 frames", 20});
  cases.push_back({"no-frames.kqm", Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 0)),
                   "the movie data ends after 0 of 50 frames", 0});
  Bytes small_word = movie_;
  small_word[FrameAt(movie_, 7)] = 2;
  small_word[FrameAt(movie_, 7) + 1] = small_word[FrameAt(movie_, 7) + 2] = 0;
  cases.push_back({"small-word.kqm", small_word,
                   "frame 7: the frame word gives a size smaller than the word itself", 7});
  cases.push_back({"header-only.kqm", Bytes(movie_.begin(), movie_.begin() + 40),
                   "not a movie: shorter than the 64-byte header", 0});
  Bytes odd_size = movie_;
  odd_size[8] = 100;
  cases.push_back({"odd-size.kqm", odd_size, "picture size 100x48 cannot be played", 0});
  Bytes huge_size = movie_;  // 16384x8192: two 16-bit pictures take 512 MB
  huge_size[9] = 0x40;
  huge_size[8] = huge_size[10] = 0;
  huge_size[11] = 0x20;
  cases.push_back({"huge-size.kqm", huge_size, "picture size 16384x8192 is too large", 0});

  for (const Case& c : cases) {
    WriteFileBytes(Path(c.name), c.movie);
    for (const bool pictures : {true, false}) {
      const PipelineRun run = PlayBranch(c.name, pictures);
      ASSERT_EQ(run.errors.size(), 1u) << c.name << (pictures ? " pictures: " : " sound: ") << "\n"
                                       << Joined(run.errors);
      EXPECT_NE(run.errors[0].find(Shown(c.name) + ": " + c.message), std::string::npos)
          << c.name << (pictures ? " pictures: " : " sound: ") << run.errors[0];
      EXPECT_FALSE(run.eos) << c.name;
      if (pictures) {
        EXPECT_TRUE(run.video.bytes ==
                    Bytes(video.begin(), video.begin() + c.frames_delivered * kPicture))
            << c.name;
      } else {
        const std::size_t periods = c.frames_delivered ? 31 + c.frames_delivered : 0;
        EXPECT_TRUE(run.audio.bytes == Bytes(audio.begin(), audio.begin() + periods * kPeriod))
            << c.name;
      }
    }
  }
}

// A movie cut short is sought only where it can be read: past its end, to its last whole frame.
TEST_F(DamagedMovies, MovieThatGrewSinceItWasOpenedPlaysToItsEnd) {
  // A download still being written: cut in frame 20 while the pipeline prerolls (the demuxer
  // waits at frame 0 for the sink), whole by the time it plays.
  const std::size_t cut = FrameAt(movie_, 20) + 10;
  WriteFileBytes(Path("growing.kqm"), Bytes(movie_.begin(), movie_.begin() + cut));
  RunOptions options;
  options.prerolled = [this](GstElement*) { WriteFileBytes(Path("growing.kqm"), movie_); };
  const PipelineRun run = PlayBranch("growing.kqm", true, options);
  EXPECT_TRUE(run.errors.empty()) << run.errors.front();
  EXPECT_TRUE(run.eos);
  EXPECT_EQ(run.video.sizes.size(), 50u);
}

// The other way round: a movie rewritten in place, cut at frame 20 while the pipeline prerolls,
// is a cut movie. The source's end there was taken for an end the application asked for, and
// the pipeline ended after 20 pictures as if the movie were whole.
TEST_F(DamagedMovies, MovieCutSinceItWasOpenedEndsWithTheError) {
  WriteFileBytes(Path("shrinking.kqm"), movie_);
  RunOptions options;
  options.prerolled = [this](GstElement*) {
    WriteFileBytes(Path("shrinking.kqm"),
                   Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
  };
  const PipelineRun run = PlayBranch("shrinking.kqm", true, options);
  ASSERT_EQ(run.errors.size(), 1u) << Joined(run.errors);
  // Measured whole when opened, the file ends where frame 20 was to be.
  EXPECT_EQ(run.errors[0], Shown("shrinking.kqm") + ": frame 20: the file ends inside the frame");
  EXPECT_EQ(run.video.sizes.size(), 20u);
}

// So is one emptied while it plays (`truncate -s 0`, the moment `cp` over it empties it): the
// file source goes on telling the length it had, and the pipeline ended as if the movie were
// whole. The error names the frame the reading stopped at, the first not sent.
TEST_F(DamagedMovies, MovieEmptiedSinceItWasOpenedEndsWithTheError) {
  WriteFileBytes(Path("emptied.kqm"), movie_);
  RunOptions options;
  options.prerolled = [this](GstElement*) { WriteFileBytes(Path("emptied.kqm"), Bytes()); };
  const PipelineRun run = PlayBranch("emptied.kqm", true, options);
  ASSERT_EQ(run.errors.size(), 1u) << Joined(run.errors);
  EXPECT_FALSE(run.eos);
  ASSERT_LT(run.video.sizes.size(), 50u);
  EXPECT_EQ(run.errors[0], Shown("emptied.kqm") + ": frame " +
                               std::to_string(run.video.sizes.size()) +
                               ": the file ends inside the frame");
}

// A download still being written, sought after its index met the end it had then: the frames
// that arrived since are sought into, where the seek stopped at that end (frame 19).
TEST_F(DamagedMovies, SeekIntoFramesAGrowingMovieGainedAfterItWasIndexed) {
  RunOptions options = IndexedWhileTwentyFramesLong();
  gint64 shown = -1;
  options.prerolled = [this, &shown](GstElement* pipeline) {
    WriteFileBytes(Path("growing.kqm"), movie_);
    ASSERT_TRUE(gst_element_seek_simple(
        pipeline, GST_FORMAT_TIME,
        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
        40 * 40'000'000LL));
    gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE);
    gst_element_query_position(pipeline, GST_FORMAT_DEFAULT, &shown);
  };
  const PipelineRun run = PlayBranch("growing.kqm", true, options);
  EXPECT_EQ(shown, 40);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.eos);
}

// Paused while it plays on into the frames such a download gained: the sink holds frame 25, the
// last frame read, and the duration counted only the frames sent before it, so the position
// in frames was frame 24.
TEST_F(DamagedMovies, GrowingMoviePausedInItsNewFramesIsAtThePictureShown) {
  RunOptions options = IndexedWhileTwentyFramesLong();
  gint64 shown = -1;
  options.prerolled = [this, &shown](GstElement* pipeline) {
    WriteFileBytes(Path("growing.kqm"), movie_);
    GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    GstPad* video = gst_element_get_static_pad(demux, "video_0");
    FirstHeld frame(
        video, GST_PAD_PROBE_TYPE_BUFFER, +[](GstPadProbeInfo* info) {
          return GST_BUFFER_OFFSET(GST_PAD_PROBE_INFO_BUFFER(info)) == 25;
        });
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    frame.AwaitHeld();
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    frame.Open();  // frame 25 goes on, and the sink prerolls on it
    gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE);
    gst_element_query_position(pipeline, GST_FORMAT_DEFAULT, &shown);
    gst_object_unref(video);
    gst_object_unref(demux);
  };
  const PipelineRun run = PlayBranch("growing.kqm", true, options);
  EXPECT_EQ(shown, 25);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.eos);
}

// Two seeks at once into such a download, from two threads (two sinks, each sent a seek by the
// application): each found the index outgrown before either could stop the streaming thread
// (held in the paused sink), and the second built it again while the first's build ran, which
// aborted the process.
TEST_F(DamagedMovies, TwoSeeksAtOnceIntoAGrowingMovieBuildTheIndexOnce) {
  RunOptions options = IndexedWhileTwentyFramesLong();
  options.prerolled = [this](GstElement* pipeline) {
    WriteFileBytes(Path("growing.kqm"), movie_);
    // A seek that finds the index outgrown asks upstream for the file's length.
    struct Asked {
      std::mutex lock;
      std::condition_variable changed;
      int lengths = 0;
    } asked;
    static thread_local bool seeking = false;
    GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    GstPad* sink = gst_element_get_static_pad(demux, "sink");
    GstPad* video = gst_element_get_static_pad(demux, "video_0");
    const gulong probe = gst_pad_add_probe(
        sink,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PUSH),
        +[](GstPad*, GstPadProbeInfo* info, gpointer user) {
          if (seeking && GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) == GST_QUERY_DURATION) {
            auto* a = static_cast<Asked*>(user);
            const std::lock_guard<std::mutex> hold(a->lock);
            ++a->lengths;
            a->changed.notify_all();
          }
          return GST_PAD_PROBE_OK;
        },
        &asked, nullptr);
    // Without a flush, each waits for the streaming thread, which the paused sink holds.
    const auto seek = [video] {
      seeking = true;
      gst_pad_send_event(
          video, gst_event_new_seek(1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_ACCURATE, GST_SEEK_TYPE_SET,
                                    40 * 40'000'000LL, GST_SEEK_TYPE_NONE, -1));
    };
    std::thread first(seek), second(seek);
    {
      std::unique_lock<std::mutex> hold(asked.lock);
      asked.changed.wait(hold, [&] { return asked.lengths >= 2; });
    }
    gst_pad_remove_probe(sink, probe);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    first.join();
    second.join();
    gst_object_unref(video);
    gst_object_unref(sink);
    gst_object_unref(demux);
  };
  const PipelineRun run = PlayBranch("growing.kqm", true, options);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.eos);
  ASSERT_FALSE(run.video.pts.empty());
  EXPECT_EQ(run.video.pts.back(), 49 * 40'000'000ULL);
}

// A seek without a flush that builds the index of the grown movie again, under way with a
// flushing seek from another thread: it held the streaming thread while it waited for the index,
// whose reads waited for the other seek's flush to end, which waited for the streaming thread.
TEST_F(DamagedMovies, SeekBuildingTheIndexAgainBesideAFlushingSeekDoesNotHang) {
  RunOptions options = IndexedWhileTwentyFramesLong();
  gint64 shown = -1;
  options.prerolled = [this, &shown](GstElement* pipeline) {
    WriteFileBytes(Path("growing.kqm"), movie_);
    // The seek without a flush asks for the file's length again once it holds the streaming
    // thread; the flushing seek's flush reaches the source once it has begun. Each waits there
    // for the other.
    struct Asked {
      std::mutex lock;
      std::condition_variable changed;
      int lengths = 0;  // asked by the seek without a flush
      bool flushing = false;
    } asked;
    static thread_local bool unflushed_seek = false;
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstPad* read = gst_element_get_static_pad(source, "src");
    const gulong probe = gst_pad_add_probe(
        read,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_FLUSH |
                                     GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PUSH),
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
          auto& a = *static_cast<Asked*>(data);
          std::unique_lock<std::mutex> hold(a.lock);
          if (info->type & GST_PAD_PROBE_TYPE_QUERY_UPSTREAM) {
            if (!unflushed_seek ||
                GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) != GST_QUERY_DURATION)
              return GST_PAD_PROBE_OK;
            ++a.lengths;
            a.changed.notify_all();
            if (a.lengths == 2) a.changed.wait(hold, [&a] { return a.flushing; });
          } else if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_FLUSH_START) {
            a.flushing = true;
            a.changed.notify_all();
            a.changed.wait(hold, [&a] { return a.lengths >= 2; });
          }
          return GST_PAD_PROBE_OK;
        },
        &asked, nullptr);
    GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    GstPad* out = gst_element_get_static_pad(demux, "video_0");
    const auto seek = [out](std::int64_t frame, int flags) {
      return gst_pad_send_event(
          out, gst_event_new_seek(1.0, GST_FORMAT_TIME, static_cast<GstSeekFlags>(flags),
                                  GST_SEEK_TYPE_SET, frame * 40'000'000LL, GST_SEEK_TYPE_NONE, -1));
    };
    std::thread unflushed([&seek] {
      unflushed_seek = true;
      seek(40, GST_SEEK_FLAG_ACCURATE);
    });
    {
      std::unique_lock<std::mutex> hold(asked.lock);
      asked.changed.wait(hold, [&asked] { return asked.lengths == 1; });
    }
    EXPECT_TRUE(seek(45, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE));
    unflushed.join();
    gst_pad_remove_probe(read, probe);
    gst_object_unref(out);
    gst_object_unref(demux);
    gst_object_unref(read);
    gst_object_unref(source);
    gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE);
    gst_element_query_position(pipeline, GST_FORMAT_DEFAULT, &shown);
  };
  const PipelineRun run = RunPipeline("filesrc name=src location=\"" + Path("growing.kqm") +
                                          "\" ! kqmdemux name=d d.video_0 ! kqmviddec ! "
                                          "appsink name=video sync=false",
                                      options);
  EXPECT_EQ(shown, 45);  // the flushing seek's
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.eos);
}

// Keeps the frame index of a movie cut inside a frame when it was opened (a download) where
// its reader asks for the file's length again at the cut, until the `release_at`th flush reaches
// the source or Release is called: the index stays behind the streaming thread, which reads on once
// the file is whole. The seek whose flush releases it goes on once the streaming thread has
// stopped.
struct IndexHold {
  std::mutex lock;
  std::condition_variable changed;
  std::thread::id streaming;
  GstPad* sink = nullptr;  // the demuxer's
  int index_asked = 0;     // when opened, then at the cut
  int index_answered = 0;  // those questions answered: the first is the cut file's length
  bool held = false;       // the index has asked at the cut, and waits
  bool released = false;
  int release_at = 1;
  int flush_starts = 0, flush_stops = 0;

  void Release() {
    const std::lock_guard<std::mutex> hold(lock);
    released = true;
    changed.notify_all();
  }
  template <typename Done>
  void Await(Done done) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, done);
  }
  // For RunOptions::built.
  void Install(GstElement* pipeline) {
    GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    g_signal_connect(demux, "pad-added", G_CALLBACK(+[](GstElement*, GstPad*, gpointer user) {
                       auto& h = *static_cast<IndexHold*>(user);
                       const std::lock_guard<std::mutex> hold(h.lock);
                       h.streaming = std::this_thread::get_id();
                     }),
                     this);
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstPad* read = gst_element_get_static_pad(source, "src");
    gst_pad_add_probe(
        read,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_FLUSH |
                                     GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PUSH),
        [](GstPad*, GstPadProbeInfo* info, gpointer user) {
          auto& h = *static_cast<IndexHold*>(user);
          std::unique_lock<std::mutex> hold(h.lock);
          if (info->type & GST_PAD_PROBE_TYPE_QUERY_UPSTREAM) {
            // The streaming thread adds the pads before it starts the index's.
            if (GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) == GST_QUERY_DURATION &&
                h.streaming != std::thread::id() && h.streaming != std::this_thread::get_id() &&
                ++h.index_asked == 2) {
              h.held = true;
              h.changed.notify_all();
              h.changed.wait(hold, [&h] { return h.released; });
            }
          } else {
            const bool start =
                GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_FLUSH_START;
            ++(start ? h.flush_starts : h.flush_stops);
            h.changed.notify_all();
            // A flush ending before the one that releases the index has begun waits for it.
            if (!start) h.changed.wait(hold, [&h] { return h.flush_starts >= h.release_at; });
            if (start && h.flush_starts == h.release_at) {
              h.released = true;
              hold.unlock();
              // That seek goes on to stop the streaming thread only once it has stopped: it
              // comes late, after the streaming thread has gone on to wait for the index.
              GST_PAD_STREAM_LOCK(h.sink);
              GST_PAD_STREAM_UNLOCK(h.sink);
            }
          }
          return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    // Asked is not yet answered: a file completed between the two is measured whole, the index
    // meets no cut and is never held there.
    gst_pad_add_probe(
        read,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PULL),
        [](GstPad*, GstPadProbeInfo* info, gpointer user) {
          auto& h = *static_cast<IndexHold*>(user);
          const std::lock_guard<std::mutex> hold(h.lock);
          if (GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) == GST_QUERY_DURATION &&
              h.streaming != std::thread::id() && h.streaming != std::this_thread::get_id()) {
            ++h.index_answered;
            h.changed.notify_all();
          }
          return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    sink = gst_element_get_static_pad(demux, "sink");
    gst_object_unref(sink);  // the pipeline keeps it
    gst_object_unref(read);
    gst_object_unref(source);
    gst_object_unref(demux);
  }
};

// Writes the rest of `movie` at the end of the part of it at `path`, as a download goes on: the
// file is never shorter than it was meanwhile.
void Complete(const std::string& path, const Bytes& movie) {
  const auto had = static_cast<std::streamsize>(std::filesystem::file_size(path));
  std::ofstream file(path, std::ios::binary | std::ios::app);
  file.write(reinterpret_cast<const char*>(movie.data()) + had,
             static_cast<std::streamsize>(movie.size()) - had);
  ASSERT_TRUE(file.flush().good()) << path;
}

// A flushing seek on its way to frame `frame` (in 40 ms frames) through `pad`.
bool SeekThrough(GstPad* pad, std::int64_t frame, int flags) {
  return gst_pad_send_event(
      pad, gst_event_new_seek(1.0, GST_FORMAT_TIME, static_cast<GstSeekFlags>(flags),
                              GST_SEEK_TYPE_SET, frame * 40'000'000LL, GST_SEEK_TYPE_NONE, -1));
}

// Once the index is held at the cut of the movie at `path` and the file completed with the rest
// of `movie`, the picture of frame `frame` sends `request` up the demuxer's pad `asked_on` and is
// dropped, and a flushing seek to frame 5 comes from this thread meanwhile.
void RejoinBesideAFlushingSeek(GstElement* pipeline, IndexHold& hold, const std::string& path,
                               const Bytes& movie, guint64 frame, const char* asked_on,
                               gst::RejoinRequest request) {
  hold.Await([&hold] { return hold.index_answered >= 1; });  // measured while cut
  Complete(path, movie);
  hold.Await([&hold] { return hold.held; });
  GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
  GstPad* out = gst_element_get_static_pad(demux, "video_0");
  struct Asked {
    std::mutex lock;
    std::condition_variable changed;
    GstPad* pad = nullptr;
    guint64 frame = 0;
    gst::RejoinRequest request = gst::RejoinRequest::kPictures;
    bool asked = false;
  } asked;
  asked.pad = gst_element_get_static_pad(demux, asked_on);
  asked.frame = frame;
  asked.request = request;
  const gulong probe = gst_pad_add_probe(
      out, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo* info, gpointer user) {
        auto& a = *static_cast<Asked*>(user);
        if (GST_BUFFER_OFFSET(GST_PAD_PROBE_INFO_BUFFER(info)) != a.frame) return GST_PAD_PROBE_OK;
        gst_pad_send_event(a.pad, gst::Rejoin_NewRequest(a.request));
        const std::lock_guard<std::mutex> guard(a.lock);
        a.asked = true;
        a.changed.notify_all();
        return GST_PAD_PROBE_DROP;
      },
      &asked, nullptr);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  {
    std::unique_lock<std::mutex> wait(asked.lock);
    asked.changed.wait(wait, [&asked] { return asked.asked; });
  }
  EXPECT_TRUE(SeekThrough(out, 5, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE));
  hold.Release();
  gst_pad_remove_probe(out, probe);
  gst_object_unref(asked.pad);
  gst_object_unref(out);
  gst_object_unref(demux);
}

// The picture decoder asking to join the stream again while the index is behind the streaming
// thread, with a flushing seek from another thread: the streaming thread waited for the index
// to reach the frame, holding the streaming thread the seek waited for, while the index's read
// waited for the seek's flush to end.
TEST_F(DamagedMovies, PicturesSentAgainBesideAFlushingSeekDoNotHang) {
  WriteFileBytes(Path("growing.kqm"),
                 Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20) + 10));
  IndexHold hold;
  RunOptions options;
  options.built = [&hold](GstElement* pipeline) { hold.Install(pipeline); };
  // Frame 25 asks, and is dropped: nothing downstream can flush before the streaming thread
  // goes on to send the frames again.
  options.prerolled = [this, &hold](GstElement* pipeline) {
    RejoinBesideAFlushingSeek(pipeline, hold, Path("growing.kqm"), movie_, 25, "video_0",
                              gst::RejoinRequest::kPictures);
  };
  const PipelineRun run = RunPipeline(GrowingBranch(), options);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.eos);
  ASSERT_FALSE(run.video.pts.empty());
  EXPECT_EQ(run.video.pts.back(), 49 * 40'000'000ULL);
}

// A key-unit seek snapping to the key frame after, which it waits for the index to find, beside
// a flushing seek from another thread that came first: it held the streaming thread while the
// index's read waited for the other seek's flush to end. And its own flush, ending while the
// other's was under way, ended the index's wait for that one: the index's read failed, the index
// ended at the cut, and a later seek to frame 45 landed before it.
TEST_F(DamagedMovies, SeekSnappingAfterBesideAFlushingSeekDoesNotHang) {
  WriteFileBytes(Path("growing.kqm"),
                 Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20) + 10));
  IndexHold hold;
  hold.release_at = 2;  // the first seek's flush, which reaches the source second
  RunOptions options;
  options.built = [&hold](GstElement* pipeline) { hold.Install(pipeline); };
  gint64 shown = -1;
  options.prerolled = [this, &hold, &shown](GstElement* pipeline) {
    hold.Await([&hold] { return hold.index_answered >= 1; });  // measured while cut
    Complete(Path("growing.kqm"), movie_);
    hold.Await([&hold] { return hold.held; });
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    GstPad* video = gst_element_get_static_pad(demux, "video_0");
    GstPad* sound = gst_element_get_static_pad(demux, "audio_0");
    // The first seek's flush waits on its way down the pictures until the second seek holds the
    // streaming thread; the second comes up the sound, not flushing yet.
    FirstHeld flush(video, GST_PAD_PROBE_TYPE_EVENT_FLUSH, IsFlushStart);
    std::thread first(
        [video] { SeekThrough(video, 5, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE); });
    flush.AwaitHeld();
    // Frame 0 is the only key frame: the second seek waits for the index to reach the end.
    std::thread snapping([sound] {
      SeekThrough(sound, 10,
                  GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT | GST_SEEK_FLAG_SNAP_AFTER);
    });
    hold.Await([&hold] { return hold.flush_stops >= 1; });  // it holds the streaming thread
    flush.Open();
    first.join();
    snapping.join();
    hold.Release();
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE);
    EXPECT_TRUE(SeekThrough(video, 45, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE));
    gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE);
    gst_element_query_position(pipeline, GST_FORMAT_DEFAULT, &shown);
    gst_object_unref(sound);
    gst_object_unref(video);
    gst_object_unref(demux);
  };
  const PipelineRun run = RunPipeline(GrowingBranch(), options);
  EXPECT_EQ(shown, 45);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.eos);
}

// A seek sent to the demuxer's pad while another thread takes the pipeline down to READY, held
// on its way in its flush until the state change is over: it went on placing the streams in the
// frame index the state change had emptied (read outside it, and crashed), and said it was done.
TEST_F(DamagedMovies, SeekOverlappingAStopToReadyIsRefused) {
  EnsureGstreamer();
  PausedPictures paused;
  ASSERT_TRUE(paused.Start(Path("bad.kqm")));
  FirstHeld flush(paused.video, GST_PAD_PROBE_TYPE_EVENT_FLUSH, IsFlushStart);
  bool sought = true;
  std::thread seeker([&paused, &sought] {
    sought = SeekThrough(paused.video, 30, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
  });
  flush.AwaitHeld();
  EXPECT_TRUE(paused.StopToReady());
  flush.Open();
  seeker.join();
  EXPECT_FALSE(sought);
  EXPECT_EQ(GST_ELEMENT(paused.demux)->numsrcpads, 0u);
}

// A state change to READY that begins once a seek holds the streaming thread: it stops the sink
// pad's task and waits for the seek, which then started a new task on the pad going down. That
// task outlived the state change, running the loop while the element was being reset.
TEST_F(DamagedMovies, StopToReadyDuringASeekLeavesNoStreamingTask) {
  EnsureGstreamer();
  PausedPictures paused;
  ASSERT_TRUE(paused.Start(Path("bad.kqm")));
  GstPad* const sink = paused.sink;
  // Holds the seek's flush-stop, sent up once it holds the streaming thread.
  FirstHeld flush(sink, GST_PAD_PROBE_TYPE_EVENT_FLUSH, IsFlushStop);
  std::thread seeker(
      [&paused] { SeekThrough(paused.video, 30, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE); });
  flush.AwaitHeld();
  // Lets the seek on once the state change has taken the pad's task away and waits for it.
  std::thread opener([sink, &flush] {
    for (;;) {
      GST_OBJECT_LOCK(sink);
      const bool taken = GST_PAD_TASK(sink) == nullptr;
      GST_OBJECT_UNLOCK(sink);
      if (taken) break;
      std::this_thread::yield();
    }
    flush.Open();
  });
  EXPECT_TRUE(paused.StopToReady());
  opener.join();
  seeker.join();
  GST_OBJECT_LOCK(sink);
  const bool task_left = GST_PAD_TASK(sink) != nullptr;
  GST_OBJECT_UNLOCK(sink);
  EXPECT_FALSE(task_left);
}

// A seek let in before a state change to READY, and held (here in its question of where the
// picture shown is) until the element was reset: it then waited for the emptied frame index to
// reach its frame, which nothing builds in READY, and the application's thread never came back.
TEST_F(DamagedMovies, SeekLetInBeforeAStopToReadyDoesNotWaitForGood) {
  EnsureGstreamer();
  PausedPictures paused;
  ASSERT_TRUE(paused.Start(Path("bad.kqm")));
  FirstHeld question(
      paused.video,
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM | GST_PAD_PROBE_TYPE_PUSH),
      IsPositionQuery);
  bool sought = true;
  std::thread seeker([&paused, &sought] {
    // A new stop only: the seek asks where the picture shown is.
    sought = gst_pad_send_event(
        paused.video,
        gst_event_new_seek(1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, GST_SEEK_TYPE_NONE, 0,
                           GST_SEEK_TYPE_SET, 40 * 40'000'000LL));
  });
  question.AwaitHeld();
  EXPECT_TRUE(paused.StopToReady());
  question.Open();
  seeker.join();
  EXPECT_FALSE(sought);
}

// The sound decoder asking for the decoding state while the index is behind the streaming thread,
// with a flushing seek from another thread: the streaming thread waited for the index to reach
// the sound sent next, as the pictures sent again did.
TEST_F(DamagedMovies, SoundJoiningBesideAFlushingSeekDoesNotHang) {
  // Long enough for the sound sent beside frame 72 (frame 41's) to lie past the index, held at
  // frame 40: the queues fill up before it while the pipeline prerolls.
  ASSERT_EQ(RunKqm(tools::Cmd_Demo, "demo",
                   {"-o", Path("long.kqm"), "--size", "64x48", "--seconds", "3", "-q"})
                .status,
            0);
  const Bytes movie = ReadFileBytes(Path("long.kqm"));
  WriteFileBytes(Path("growing.kqm"),
                 Bytes(movie.begin(), movie.begin() + FrameAt(movie, 40) + 10));
  IndexHold hold;
  RunOptions options;
  options.built = [&hold](GstElement* pipeline) { hold.Install(pipeline); };
  // Frame 72's picture asks for the sound's state, and is dropped: the sound released with it
  // goes out next.
  options.prerolled = [this, &hold, &movie](GstElement* pipeline) {
    RejoinBesideAFlushingSeek(pipeline, hold, Path("growing.kqm"), movie, 72, "audio_0",
                              gst::RejoinRequest::kSound);
  };
  const PipelineRun run = RunPipeline(
      "filesrc name=src location=\"" + Path("growing.kqm") +
          "\" ! kqmdemux name=d d.video_0 ! queue ! kqmviddec ! appsink name=video sync=false "
          "d.audio_0 ! queue ! kqmauddec ! appsink name=audio sync=false",
      options);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.eos);
  ASSERT_FALSE(run.video.pts.empty());
  EXPECT_EQ(run.video.pts.back(), 74 * 40'000'000ULL);
}

// Another movie copied over the open one, with frames of other sizes: a seek
// reads where the index found its frames, and what lies there now is not them. It ends in an
// error naming the frame, where the seek sent whatever lay at the old offsets as the frames.
TEST_F(DamagedMovies, SeekInAMovieRewrittenSinceItWasIndexedSaysSo) {
  // A key frame every 5 frames, so that the seek reads from one near its frame.
  const std::string y4m = Path("bad.y4m"), keyed = Path("rewritten.kqm");
  ASSERT_EQ(RunKqm(tools::Cmd_Export, "export", {Path("bad.kqm"), "--video", y4m, "-q"}).status, 0);
  ASSERT_EQ(
      RunKqm(tools::Cmd_Encode, "encode", {"--video", y4m, "--keyint", "5", "-o", keyed, "-q"})
          .status,
      0);
  const Bytes movie = ReadFileBytes(keyed);
  // Frame 1 longer by frame 44's size: where frame 45 was lies frame 44, a whole frame of
  // another size, and where the index has frame 44, bytes inside frame 43.
  const std::uint32_t grown = Le32(movie, FrameAt(movie, 44)) & 0xFFFFFF;
  ASSERT_NE(grown, Le32(movie, FrameAt(movie, 45)) & 0xFFFFFF);
  Bytes other = movie;
  const std::size_t frame1 = FrameAt(movie, 1);
  const std::uint32_t word = Le32(movie, frame1) + grown;
  for (int i = 0; i < 4; ++i) other[frame1 + i] = static_cast<std::uint8_t>(word >> (8 * i));
  other.insert(other.begin() + static_cast<std::ptrdiff_t>(FrameAt(movie, 2)), grown, 0);
  RunOptions options;
  options.seeks = {49 * 40'000'000LL};  // the last frame: waits for the whole index
  options.prerolled = [keyed, &other](GstElement* pipeline) {
    WriteFileBytes(keyed, other);
    gst_element_seek_simple(pipeline, GST_FORMAT_TIME,
                            static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                            47 * 40'000'000LL);
    gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE);
  };
  const PipelineRun run = PlayBranch("rewritten.kqm", true, options);
  ASSERT_EQ(run.errors.size(), 1u) << Joined(run.errors);
  EXPECT_EQ(run.errors[0], Shown("rewritten.kqm") +
                               ": frame 45: the file has changed since it was opened (the frame "
                               "is no longer where it was)");
}

TEST_F(DamagedMovies, SeeksInACutMovieStayWhereItCanBeRead) {
  Bytes video, audio;
  Play(movie_, "whole.kqm");
  Export("whole.kqm", &video, &audio);
  WriteFileBytes(Path("cut.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
  for (const int frame : {10, 40}) {
    RunOptions seek;
    seek.seeks = {frame * 40'000'000LL};  // 25 frames per second
    const PipelineRun run = RunPipeline("filesrc location=\"" + Path("cut.kqm") +
                                            "\" ! kqmdemux name=d d.video_0 ! kqmviddec ! "
                                            "appsink name=video sync=false",
                                        seek);
    const std::size_t from = frame == 10 ? 10 : 19;
    EXPECT_TRUE(run.video.bytes ==
                Bytes(video.begin() + from * kPicture, video.begin() + 20 * kPicture))
        << frame;
    ASSERT_EQ(run.errors.size(), 1u) << frame << Joined(run.errors);
    EXPECT_NE(run.errors[0].find("the movie data ends after 20 of 50 frames"), std::string::npos);
  }
}

// A header whose frames last 327.675 s (a duration of 65535) while the sound's periods last 40 ms.
// A seek into frame 19 starts the sound with period 19 beside its picture; the sound read before
// the cut ends with period 50 (frame 19's), 1.28 s into the picture. Sought 1 s into it, periods
// 44 to 50 are in the segment, held back until frame 44 would be read; sought 2 s into it, none
// is, and the sound's sink gets nothing but its end. Both hung, each sink waiting for the other
// to preroll.
TEST_F(DamagedMovies, SeekIntoACutMovieWithFramesLongerThanItsSoundEndsWithTheError) {
  Bytes cut(movie_.begin(), movie_.begin() + FrameAt(movie_, 20));
  cut[24] = cut[25] = 0xFF;
  WriteFileBytes(Path("cut.kqm"), cut);
  for (const int seconds : {1, 2}) {
    RunOptions seek;
    seek.seeks = {19 * 327'675'000'000LL + seconds * 1'000'000'000LL};
    const PipelineRun run = RunPipeline(
        "filesrc location=\"" + Path("cut.kqm") +
            "\" ! kqmdemux name=d d.video_0 ! queue ! kqmviddec ! appsink name=video sync=false "
            "d.audio_0 ! queue ! kqmauddec ! appsink name=audio sync=false",
        seek);
    EXPECT_EQ(run.video.bytes.size(), kPicture) << seconds;
    EXPECT_EQ(run.audio.bytes.size(), seconds == 1 ? 7 * kPeriod : 0) << seconds;
    ASSERT_EQ(run.errors.size(), 1u) << seconds << Joined(run.errors);
    EXPECT_NE(run.errors[0].find("the movie data ends after 20 of 50 frames"), std::string::npos)
        << run.errors[0];
  }
}

// The same header on the whole movie, sought 2 s into frame 19: its sound starts with period 19
// beside the picture, so the segment starts with period 69, stored in frame 38, behind 18
// pictures of 327 s that fill a queue of a second. The sound's sink prerolls on a gap and gets
// periods 69 to 80 as they are read; the pictures are frames 19 to 49. It never prerolled.
TEST_F(DamagedMovies, SeekIntoFramesLongerThanTheirSoundPastTheSoundRead) {
  Bytes whole = movie_;
  whole[24] = whole[25] = 0xFF;
  RunOptions seek;
  seek.seeks = {19 * 327'675'000'000LL + 2'000'000'000LL};
  const PipelineRun run = Play(whole, "long.kqm", seek);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.eos);
  EXPECT_EQ(run.video.bytes.size(), 31 * kPicture);
  EXPECT_EQ(run.audio.bytes.size(), 12 * kPeriod);
}

// Once the frame index has met a cut, the duration is what the file holds, in time and in
// frames, and the application is told: a player's seek bar ran on to the header's 50 frames.
TEST_F(DamagedMovies, CutMovieLastsAsLongAsItsWholeFrames) {
  WriteFileBytes(Path("cut.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20) + 10));
  DurationChanges told;
  RunOptions options;
  options.built = [&told](GstElement* pipeline) { told.Watch(pipeline); };
  gint64 duration = -1, frames = -1, from_end = -1;
  options.prerolled = [&](GstElement* pipeline) {
    if (!told.WaitForFirst()) return;
    gst_element_query_duration(pipeline, GST_FORMAT_TIME, &duration);
    gst_element_query_duration(pipeline, GST_FORMAT_DEFAULT, &frames);
    // A seek counted from the end counts from that end: 0.2 s before it is frame 15. From the
    // header's end it was frame 45, past the cut, and the seek went to frame 19.
    gst_element_seek(pipeline, 1.0, GST_FORMAT_TIME,
                     static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                     GST_SEEK_TYPE_END, -200'000'000LL, GST_SEEK_TYPE_NONE, -1);
    gst_element_get_state(pipeline, nullptr, nullptr, 30 * GST_SECOND);
    gst_element_query_position(pipeline, GST_FORMAT_TIME, &from_end);
  };
  PlayBranch("cut.kqm", true, options);
  EXPECT_TRUE(told.first.ended);
  EXPECT_EQ(duration, 20 * 40'000'000LL);  // 25 frames per second
  EXPECT_EQ(frames, 20);
  EXPECT_EQ(from_end, 15 * 40'000'000LL);
}

// A segment seek without a stop in a movie cut after frame 20 ends where its frames do: its
// segment stopped at the header's 2.0 s, 1.2 s after its last picture, and the sinks waited for
// what would never come; it stops at 0.8 s, as its duration is answered.
TEST_F(DamagedMovies, SegmentOfACutMovieEndsWithItsFrames) {
  WriteFileBytes(Path("cut.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20) + 10));
  DurationChanges told;
  RunOptions options;
  options.built = [&told](GstElement* pipeline) { told.Watch(pipeline); };
  gint64 segment_stop = -1;
  options.prerolled = [&](GstElement* pipeline) {
    if (!told.WaitForFirst()) return;  // the index has met the end at frame 20
    GstElement* demuxer = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    GstPad* pad = gst_element_get_static_pad(demuxer, "video_0");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
          GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
          if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
            const GstSegment* segment = nullptr;
            gst_event_parse_segment(event, &segment);
            *static_cast<gint64*>(data) = static_cast<gint64>(segment->stop);
          }
          return GST_PAD_PROBE_OK;
        },
        &segment_stop, nullptr);
    gst_object_unref(pad);
    gst_object_unref(demuxer);
    gst_element_seek(pipeline, 1.0, GST_FORMAT_TIME,
                     static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_SEGMENT),
                     GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE, -1);
    gst_element_get_state(pipeline, nullptr, nullptr, 30 * GST_SECOND);
  };
  const PipelineRun run = PlayBranch("cut.kqm", true, options);
  EXPECT_EQ(segment_stop, 20 * 40'000'000LL);  // 25 frames per second
  ASSERT_EQ(run.errors.size(), 1u) << Joined(run.errors);
  EXPECT_EQ(run.errors[0], Shown("cut.kqm") + ": frame 20: the file ends inside the frame");
}

// The same seek in a download still being written, made once its index has met the end it had
// then: the frames that arrive meanwhile are played, as they are without a seek.
TEST_F(DamagedMovies, SegmentOfAGrowingMovieGoesOnIntoItsNewFrames) {
  WriteFileBytes(Path("growing.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
  DurationChanges told;
  RunOptions options;
  options.built = [&told](GstElement* pipeline) { told.Watch(pipeline); };
  options.prerolled = [&](GstElement* pipeline) {
    if (!told.WaitForFirst()) return;  // the index has met the end at frame 20
    gst_element_seek(pipeline, 1.0, GST_FORMAT_TIME,
                     static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_SEGMENT),
                     GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE, -1);
    gst_element_get_state(pipeline, nullptr, nullptr, 30 * GST_SECOND);
    WriteFileBytes(Path("growing.kqm"), movie_);
  };
  const PipelineRun run = PlayBranch("growing.kqm", true, options);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.segment_done);
  EXPECT_EQ(run.video.sizes.size(), 50u);
}

// The index reads the movie a second time, through reads of its own. Where upstream fails those
// for a while, a good movie is not taken for one without frames: the reason is said, and the next
// seek builds the index again. The seek was refused, and nothing said why.
// `path` is the movie (named `shown` in messages); with `length_hidden` upstream does not tell
// its length, as a source that cannot measure it.
void ExpectIndexReadAgainAtTheNextSeek(const std::string& path, const std::string& shown,
                                       bool length_hidden) {
  struct IndexReads {
    std::mutex lock;
    std::thread::id streaming;  // the first to read: the streaming thread, reading the header
    bool failing = true;
    EndGate warned;
  } reads;
  RunOptions options;
  options.built = [&reads, length_hidden](GstElement* pipeline) {
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstPad* read = gst_element_get_static_pad(source, "src");
    if (length_hidden) {
      gst_pad_add_probe(
          read,
          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PUSH),
          [](GstPad*, GstPadProbeInfo* info, gpointer) {
            GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
            GstFormat format = GST_FORMAT_UNDEFINED;
            if (GST_QUERY_TYPE(query) == GST_QUERY_DURATION)
              gst_query_parse_duration(query, &format, nullptr);
            return format == GST_FORMAT_BYTES ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
          },
          nullptr, nullptr);
    }
    gst_pad_add_probe(
        read, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_PULL | GST_PAD_PROBE_TYPE_BUFFER),
        [](GstPad*, GstPadProbeInfo*, gpointer user) {
          auto& r = *static_cast<IndexReads*>(user);
          const std::lock_guard<std::mutex> hold(r.lock);
          if (r.streaming == std::thread::id()) r.streaming = std::this_thread::get_id();
          if (!r.failing || r.streaming == std::this_thread::get_id()) return GST_PAD_PROBE_OK;
          return GST_PAD_PROBE_DROP;  // the range is not delivered: upstream says it ends
        },
        &reads, nullptr);
    gst_object_unref(read);
    gst_object_unref(source);
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(
        bus,
        [](GstBus*, GstMessage* message, gpointer data) {
          if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) static_cast<EndGate*>(data)->End();
          return GST_BUS_PASS;
        },
        &reads.warned, nullptr);
    gst_object_unref(bus);
  };
  gboolean sought = FALSE;
  gint64 position = -1;
  options.prerolled = [&](GstElement* pipeline) {
    {
      // A bound only for a demuxer that never says it (the test fails rather than hangs).
      std::unique_lock<std::mutex> hold(reads.warned.lock);
      if (!reads.warned.changed.wait_for(hold, std::chrono::seconds(30),
                                         [&reads] { return reads.warned.ended; }))
        return;
    }
    {
      const std::lock_guard<std::mutex> hold(reads.lock);
      reads.failing = false;
    }
    sought = gst_element_seek_simple(
        pipeline, GST_FORMAT_TIME,
        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), 10 * 40'000'000LL);
    gst_element_get_state(pipeline, nullptr, nullptr, 30 * GST_SECOND);
    gst_element_query_position(pipeline, GST_FORMAT_TIME, &position);
  };
  const PipelineRun run =
      RunPipeline("filesrc name=src location=\"" + path +
                      "\" ! kqmdemux name=d d.video_0 ! kqmviddec ! appsink name=video sync=false",
                  options);
  ASSERT_EQ(run.warnings.size(), 1u) << Joined(run.warnings);
  EXPECT_EQ(run.warnings[0], shown +
                                 ": the frame index cannot read the movie (not a movie: shorter "
                                 "than the 64-byte header); the next seek tries again");
  EXPECT_TRUE(sought);
  EXPECT_EQ(position, 10 * 40'000'000LL);  // 25 frames per second
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_EQ(run.video.sizes.size(), 40u);  // frames 10 to 49
}

TEST_F(DamagedMovies, IndexThatCannotReadTheMovieSaysWhyAndIsTriedAgain) {
  WriteFileBytes(Path("good.kqm"), movie_);
  ExpectIndexReadAgainAtTheNextSeek(Path("good.kqm"), Shown("good.kqm"), false);
}

// Upstream that cannot tell the file's length: the next seek read it again all the same, where
// it was refused as one into a movie without frames.
TEST_F(DamagedMovies, IndexThatCannotReadAMovieOfUnknownLengthIsTriedAgain) {
  WriteFileBytes(Path("good.kqm"), movie_);
  ExpectIndexReadAgainAtTheNextSeek(Path("good.kqm"), Shown("good.kqm"), true);
}

// A download that grows while it plays lengthens its duration with each frame read past the end
// its index met; the application, which asks for the duration again at each change it is told
// of, was told at every one of them (30 times here). It is told once a second of pictures has
// been added, and when the header's count is reached: at frame 20, 45 and 50.
TEST_F(DamagedMovies, GrowingMovieIsSaidToLastLongerOnceASecond) {
  WriteFileBytes(Path("growing.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
  DurationChanges told;
  RunOptions options;
  options.built = [&told](GstElement* pipeline) { told.Watch(pipeline); };
  options.prerolled = [&](GstElement*) {
    told.WaitForFirst();  // the index has met the end at frame 20
    WriteFileBytes(Path("growing.kqm"), movie_);
  };
  const PipelineRun run = PlayBranch("growing.kqm", true, options);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_EQ(run.video.sizes.size(), 50u);
  EXPECT_EQ(told.count, 3);
  // One that stops growing within the second, at frame 30: told where its reading stops, or the
  // application went on with the 20 frames it was told of.
  DurationChanges stalled;
  options.built = [&stalled](GstElement* pipeline) { stalled.Watch(pipeline); };
  options.prerolled = [&](GstElement*) {
    stalled.WaitForFirst();
    WriteFileBytes(Path("stalled.kqm"),
                   Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 30)));
  };
  WriteFileBytes(Path("stalled.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
  EXPECT_EQ(PlayBranch("stalled.kqm", true, options).video.sizes.size(), 30u);
  EXPECT_EQ(stalled.count, 2);
}

// What the frames before a cut hold has reached the sinks when the error is said: gst-launch-1.0
// and players stop at the error. The 31 periods of sound sent after it were lost, and behind
// queues, which hold a second or so, so was all that had not been played yet (a player showed
// nothing of a movie cut that early). With both streams the sound, which a player plays last,
// is waited for: the pictures have ended before it, so that a muxer does not wait for them.
TEST_F(DamagedMovies, PicturesAndSoundBeforeACutArriveBeforeTheError) {
  WriteFileBytes(Path("cut.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
  struct Counted {
    std::size_t bytes[2] = {0, 0};  // pictures, sound
    std::size_t at_error[2] = {0, 0};
  };
  // The sound alone without a queue, both streams behind queues, the pictures alone behind one.
  const std::string pipelines[] = {"d.audio_0 ! kqmauddec ! appsink name=audio sync=false",
                                   "d.video_0 ! queue ! kqmviddec ! appsink name=video sync=false "
                                   "d.audio_0 ! queue ! kqmauddec ! appsink name=audio sync=false",
                                   "d.video_0 ! queue ! kqmviddec ! appsink name=video sync=false"};
  for (const std::string& branches : pipelines) {
    Counted counted;
    RunOptions options;
    // Each sink holds its first buffer, counted in neither, while the pipeline is paused.
    options.prerolled = [&counted](GstElement* pipeline) {
      for (int kind = 0; kind < 2; ++kind) {
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), kind == 0 ? "video" : "audio");
        if (sink == nullptr) continue;
        GstPad* pad = gst_element_get_static_pad(sink, "sink");
        gst_pad_add_probe(
            pad, GST_PAD_PROBE_TYPE_BUFFER,
            [](GstPad*, GstPadProbeInfo* info, gpointer data) {
              *static_cast<std::size_t*>(data) +=
                  gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
              return GST_PAD_PROBE_OK;
            },
            &counted.bytes[kind], nullptr);
        gst_object_unref(pad);
        gst_object_unref(sink);
      }
      GstBus* bus = gst_element_get_bus(pipeline);
      gst_bus_set_sync_handler(
          bus,
          [](GstBus*, GstMessage* message, gpointer data) {
            auto& seen = *static_cast<Counted*>(data);
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
              std::copy(std::begin(seen.bytes), std::end(seen.bytes), seen.at_error);
            return GST_BUS_PASS;
          },
          &counted, nullptr);
      gst_object_unref(bus);
    };
    const PipelineRun run = RunPipeline(
        "filesrc location=\"" + Path("cut.kqm") + "\" ! kqmdemux name=d " + branches, options);
    ASSERT_EQ(run.errors.size(), 1u) << branches;
    if (branches.find("audio") != std::string::npos) {
      // 51 periods from the 20 frames (frame 0's 32, then one a frame), one a buffer.
      EXPECT_EQ(run.audio.bytes.size(), 51 * kPeriod) << branches;
      EXPECT_EQ(counted.at_error[1], 50 * kPeriod) << branches;
    } else {
      EXPECT_EQ(run.video.bytes.size(), 20 * kPicture);
      EXPECT_EQ(counted.at_error[0], 19 * kPicture);
    }
  }
}

// An application that takes what it needs and stops (a thumbnailer takes one picture) leaves
// its sink holding the rest: the error of a cut movie is still said, and the pipeline stops.
// The demuxer waited for such a sink to be emptied, for ever, and stopping the pipeline then
// hung or aborted inside the sink.
TEST_F(DamagedMovies, CutMovieIntoASinkNobodyEmptiesEndsWithItsError) {
  WriteFileBytes(Path("cut.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
  EnsureGstreamer();
  // The movie's chunks taken raw, without a decoder, too.
  for (const std::string branch :
       {"d.video_0 ! queue ! kqmviddec", "d.audio_0 ! kqmauddec", "d.video_0 ! queue"}) {
    GstElement* pipeline = ParsePipeline("filesrc location=\"" + Path("cut.kqm") +
                                         "\" ! kqmdemux name=d " + branch + " ! appsink");
    ASSERT_NE(pipeline, nullptr);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    // Only a fault catcher: the error comes at once, or never.
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
    gst_object_unref(bus);
    // Without it the pipeline is left as it is: stopping it would not end.
    ASSERT_NE(message, nullptr) << branch;
    EXPECT_EQ(GST_MESSAGE_TYPE(message), GST_MESSAGE_ERROR) << branch;
    gst_message_unref(message);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
  }
}

// Where nothing takes the decoded sound (a thumbnailer links the pictures alone), the error of a
// cut movie still waits for the pictures: it waited for the sound alone, which was over at
// once, and the pipeline failed before a picture reached the sink (it could not preroll).
TEST_F(DamagedMovies, CutMovieWithItsSoundUntakenStillWaitsForThePictures) {
  WriteFileBytes(Path("cut.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
  struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;  // the demuxer waits for the pictures, or gave up on them
    std::size_t pictures = 0, at_error = 0;
    int errors = 0;
    void Open() {
      std::lock_guard<std::mutex> hold(lock);
      open = true;
      changed.notify_all();
    }
  } gate;
  EndGate sound_end;  // the demuxer has ended the sound, after its error
  RunOptions options;
  options.built = [&gate, &sound_end](GstElement* pipeline) {
    GstElement* decoder = gst_bin_get_by_name(GST_BIN(pipeline), "dec");
    GstPad* out = gst_element_get_static_pad(decoder, "src");
    // The pictures are held until the demuxer waits for them (or the error came without that).
    gst_pad_add_probe(
        out, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
          auto& g = *static_cast<Gate*>(data);
          std::unique_lock<std::mutex> hold(g.lock);
          g.changed.wait(hold, [&g] { return g.open; });
          ++g.pictures;
          return GST_PAD_PROBE_OK;
        },
        &gate, nullptr);
    gst_object_unref(out);
    gst_object_unref(decoder);
    // The pictures' end is held until the sound has ended: the pipeline, whose one sink had
    // ended, was otherwise stopped before the error could come, at times.
    HoldEndUntil(pipeline, "video", sound_end);
    GstElement* sound = gst_bin_get_by_name(GST_BIN(pipeline), "adec");
    GstPad* sound_in = gst_element_get_static_pad(sound, "sink");
    MarkEndAt(sound_in, sound_end);
    gst_object_unref(sound_in);
    gst_object_unref(sound);
    GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    g_signal_connect(demux, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer data) {
                       if (std::strcmp(GST_PAD_NAME(pad), "video_0") != 0) return;
                       gst_pad_add_probe(
                           pad, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM,
                           [](GstPad*, GstPadProbeInfo* info, gpointer user) {
                             if (GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) == GST_QUERY_DRAIN)
                               static_cast<Gate*>(user)->Open();
                             return GST_PAD_PROBE_OK;
                           },
                           data, nullptr);
                     }),
                     &gate);
    gst_object_unref(demux);
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(
        bus,
        [](GstBus*, GstMessage* message, gpointer data) {
          auto& g = *static_cast<Gate*>(data);
          if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            {
              std::lock_guard<std::mutex> hold(g.lock);
              g.at_error = g.pictures;
              ++g.errors;
            }
            g.Open();
          }
          return GST_BUS_PASS;
        },
        &gate, nullptr);
    gst_object_unref(bus);
  };
  RunPipeline(
      "filesrc location=\"" + Path("cut.kqm") +
          "\" ! kqmdemux name=d d.video_0 ! queue ! kqmviddec name=dec ! appsink name=video "
          "sync=false d.audio_0 ! kqmauddec name=adec",
      options);
  // The bus is watched for the error: the pipeline may end before it reaches the application.
  EXPECT_EQ(gate.errors, 1);
  EXPECT_EQ(gate.at_error, 20u);
}

// A cut met before the pictures' way on has been linked (playbin3 and uridecodebin3 plug their
// decoders some time after the demuxer's pads appear, and never for a stream they do not select):
// the streams end there as at the movie's end and the cut is warned about. The error failed the
// pipeline before anything could be shown.
TEST_F(DamagedMovies, CutMetBeforeTheWayOnIsLinkedEndsTheStreams) {
  WriteFileBytes(Path("cut.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 5) + 10));
  RunOptions options;
  options.built = [](GstElement* pipeline) {
    GstElement* queue = gst_bin_get_by_name(GST_BIN(pipeline), "q");
    GstPad* out = gst_element_get_static_pad(queue, "src");
    GstPad* in = gst_element_get_static_pad(queue, "sink");
    // The queue holds what it gets until the demuxer has ended its stream; then it is linked on.
    const gulong hold = gst_pad_add_probe(
        out, GST_PAD_PROBE_TYPE_BLOCK_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo*, gpointer) { return GST_PAD_PROBE_OK; }, nullptr, nullptr);
    gst_pad_add_probe(
        in, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad* pad, GstPadProbeInfo* info, gpointer data) {
          if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_EOS)
            return GST_PAD_PROBE_OK;
          GstElement* q = gst_pad_get_parent_element(pad);
          GstElement* bin = GST_ELEMENT(gst_object_get_parent(GST_OBJECT(q)));
          GstElement* decoder = gst_bin_get_by_name(GST_BIN(bin), "dec");
          GstPad* q_out = gst_element_get_static_pad(q, "src");
          GstPad* decoding = gst_element_get_static_pad(decoder, "sink");
          EXPECT_EQ(gst_pad_link(q_out, decoding), GST_PAD_LINK_OK);
          gst_pad_remove_probe(q_out, static_cast<gulong>(reinterpret_cast<guintptr>(data)));
          for (gpointer object : {static_cast<gpointer>(decoding), static_cast<gpointer>(q_out),
                                  static_cast<gpointer>(decoder), static_cast<gpointer>(bin),
                                  static_cast<gpointer>(q)})
            gst_object_unref(object);
          return GST_PAD_PROBE_REMOVE;
        },
        reinterpret_cast<gpointer>(static_cast<guintptr>(hold)), nullptr);
    gst_object_unref(in);
    gst_object_unref(out);
    gst_object_unref(queue);
  };
  const PipelineRun run = RunPipeline("filesrc location=\"" + Path("cut.kqm") +
                                          "\" ! kqmdemux name=d d.video_0 ! queue name=q "
                                          "kqmviddec name=dec ! appsink name=video sync=false",
                                      options);
  EXPECT_TRUE(run.errors.empty()) << Joined(run.errors);
  EXPECT_TRUE(run.eos);
  EXPECT_EQ(run.video.sizes.size(), 5u);
  ASSERT_EQ(run.warnings.size(), 1u) << Joined(run.warnings);
  EXPECT_EQ(run.warnings[0], Shown("cut.kqm") + ": frame 5: the file ends inside the frame");
}

// A stream that is never linked on (a decodebin3's stream it does not select) does not make a
// cut met while the pictures play a warning and an end: the cut is still the error it was.
TEST_F(DamagedMovies, CutMetWhilePlayingWithASoundWayNeverLinkedIsAnError) {
  WriteFileBytes(Path("cut.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 45) + 10));
  EndGate sound_end;
  RunOptions options;
  options.built = [&sound_end](GstElement* pipeline) {
    // The sound goes into a bin whose way in leads nowhere, as a stream left unselected does.
    GstElement* bin = gst_bin_new("unselected");
    GstPad* in = gst_ghost_pad_new_no_target("sink", GST_PAD_SINK);
    gst_element_add_pad(bin, in);
    gst_bin_add(GST_BIN(pipeline), bin);
    MarkEndAt(in, sound_end);
    GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    g_signal_connect(demux, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer data) {
                       if (std::strcmp(GST_PAD_NAME(pad), "audio_0") != 0) return;
                       GstPad* way = gst_element_get_static_pad(GST_ELEMENT(data), "sink");
                       EXPECT_EQ(gst_pad_link(pad, way), GST_PAD_LINK_OK);
                       gst_object_unref(way);
                     }),
                     bin);
    gst_object_unref(demux);
    // The pictures' end, the pipeline's, is held until the demuxer has ended the sound too.
    HoldEndUntil(pipeline, "video", sound_end);
  };
  // The queue holds a second (25 frames): the cut is met once the pipeline plays.
  const PipelineRun run =
      RunPipeline("filesrc location=\"" + Path("cut.kqm") +
                      "\" ! kqmdemux name=d d.video_0 ! queue max-size-buffers=0 max-size-bytes=0 "
                      "max-size-time=1000000000 ! kqmviddec ! appsink name=video sync=false",
                  options);
  EXPECT_EQ(run.video.sizes.size(), 45u);
  ASSERT_EQ(run.errors.size(), 1u) << Joined(run.warnings);
  EXPECT_EQ(run.errors[0], Shown("cut.kqm") + ": frame 45: the file ends inside the frame");
}

// A player stopped before it has played up to a cut (going on to its next movie) is not told
// of the cut: the decoders, stopped before the demuxer, failed the drain it waited on, and its
// error went to the bus, where the player took it for the next movie's and skipped that too.
TEST_F(DamagedMovies, CutMovieStoppedBeforeItsCutSaysNothing) {
  WriteFileBytes(Path("cut.kqm"), Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20)));
  EnsureGstreamer();
  GstElement* pipeline = ParsePipeline(
      "filesrc location=\"" + Path("cut.kqm") +
      "\" ! kqmdemux name=d d.video_0 ! queue max-size-time=0 ! kqmviddec name=dec ! fakesink");
  ASSERT_NE(pipeline, nullptr);
  GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
  GstElement* decoder = gst_bin_get_by_name(GST_BIN(pipeline), "dec");
  // The demuxer is stopped last, by hand, so that the stop reaches it only after its wait ended.
  gst_element_set_locked_state(demux, TRUE);
  // The decoder holds its first picture; the demuxer meets the cut and waits behind it.
  GstPad* out = gst_element_get_static_pad(decoder, "src");
  gst_pad_add_probe(out, GST_PAD_PROBE_TYPE_BLOCK_DOWNSTREAM, nullptr, nullptr, nullptr);
  struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool draining = false;
  } gate;
  g_signal_connect(demux, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer data) {
                     gst_pad_add_probe(
                         pad, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM,
                         [](GstPad*, GstPadProbeInfo* info, gpointer user) {
                           if (GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) == GST_QUERY_DRAIN) {
                             auto& g = *static_cast<Gate*>(user);
                             std::lock_guard<std::mutex> hold(g.lock);
                             g.draining = true;
                             g.changed.notify_all();
                           }
                           return GST_PAD_PROBE_OK;
                         },
                         data, nullptr);
                   }),
                   &gate);
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  gst_element_set_state(demux, GST_STATE_PAUSED);
  {
    std::unique_lock<std::mutex> hold(gate.lock);
    gate.changed.wait(hold, [&gate] { return gate.draining; });
  }
  gst_element_set_state(pipeline, GST_STATE_READY);
  gst_element_set_state(demux, GST_STATE_NULL);  // its streaming thread has ended
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* error = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
  EXPECT_EQ(error, nullptr);
  if (error != nullptr) gst_message_unref(error);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(out);
  gst_object_unref(decoder);
  gst_object_unref(demux);
  gst_object_unref(pipeline);
}

// Damage inside the chunks plays exactly as `kqm export` (and the player) decodes it: a corrupt
// picture stops where its data fails, a frame without a sound chunk plays a period of silence.
// A frame without a picture keeps the previous one (where the export and the player stop).
// The pictures concerned are flagged corrupt.
TEST_F(DamagedMovies, DamagedChunksPlayAsTheExportDecodesThem) {
  Bytes damaged = movie_;
  for (const int frame : {3, 13}) {
    const std::size_t corrupt = ChunkAt(damaged, frame, "IX") + 8;
    for (std::size_t i = 4; i < 24; ++i) damaged[corrupt + i] = 0xFF;  // sub-stream offsets
  }
  damaged[ChunkAt(damaged, 8, "AA") + 5] = 'B' + 1;  // "AC": neither "AA" nor "BB"
  // The export's sound, from frames 5 and 6 whole; its pictures, from the movie without them
  // and with frame 4's picture standing for both.
  Bytes video, audio, unused;
  WriteFileBytes(Path("whole5.kqm"), damaged);
  Export("whole5.kqm", &unused, &audio);
  Bytes without5 = damaged;
  without5.erase(without5.begin() + static_cast<std::ptrdiff_t>(FrameAt(damaged, 5)),
                 without5.begin() + static_cast<std::ptrdiff_t>(FrameAt(damaged, 7)));
  without5[16] = 48;  // the header's frame count
  WriteFileBytes(Path("without5.kqm"), without5);
  Export("without5.kqm", &video, &unused);
  const Bytes picture4(video.begin() + 4 * kPicture, video.begin() + 5 * kPicture);
  for (int copy = 0; copy < 2; ++copy)
    video.insert(video.begin() + 5 * kPicture, picture4.begin(), picture4.end());

  for (const int frame : {5, 6}) damaged[ChunkAt(damaged, frame, "IX") + 5] = 'Y';
  const PipelineRun run = Play(damaged, "damaged.kqm");
  EXPECT_TRUE(run.eos && run.errors.empty()) << Joined(run.errors);
  const std::string warnings = Joined(run.warnings);
  // The decoders name the file too, as the demuxer does.
  EXPECT_NE(warnings.find(Shown("damaged.kqm") + ": frame 3: picture data is corrupt"),
            std::string::npos)
      << warnings;
  EXPECT_NE(warnings.find(Shown("damaged.kqm") + ": frame 5 has no picture"), std::string::npos)
      << warnings;
  // Once for each kind of damage, naming its first frame: no warning a frame.
  for (const char* kind : {"picture data is corrupt", "has no picture"})
    EXPECT_EQ(std::count_if(run.warnings.begin(), run.warnings.end(),
                            [kind](const std::string& w) { return w.find(kind) != w.npos; }),
              1)
        << warnings;
  std::vector<bool> flagged(50, false);
  flagged[3] = flagged[5] = flagged[6] = flagged[13] = true;
  EXPECT_EQ(run.video.corrupted, flagged);

  ASSERT_EQ(video.size(), 50 * kPicture);
  EXPECT_TRUE(run.video.bytes == video);
  EXPECT_TRUE(run.audio.bytes == audio);
  // The silent period is frame 8's: period 39.
  EXPECT_EQ(Bytes(audio.begin() + 39 * kPeriod, audio.begin() + 40 * kPeriod), Bytes(kPeriod, 0));

  // Seeking past the frame without a picture lands where asked, as playback gets there.
  RunOptions seek;
  seek.seeks = {30 * 40'000'000LL};  // frame 30, at 25 frames per second
  const PipelineRun sought = RunPipeline("filesrc location=\"" + Path("damaged.kqm") +
                                             "\" ! kqmdemux ! kqmviddec ! appsink name=video "
                                             "sync=false",
                                         seek);
  EXPECT_TRUE(sought.video.bytes == Bytes(video.begin() + 30 * kPicture, video.end()))
      << sought.video.bytes.size() / kPicture << " pictures";
}

// A movie whose sound cannot be played keeps its pictures, as in the player: the demuxer
// warns and offers no sound pad, and playbin plays the pictures alone.
TEST_F(DamagedMovies, UnplayableSoundLeavesThePicturesPlaying) {
  Bytes silent = movie_;
  silent[ChunkAt(silent, 0, "AA") + 8] = 'X';  // "XELD_ADQ"
  WriteFileBytes(Path("no-sound.kqm"), silent);
  const PipelineRun run =
      RunPipeline("playbin uri=\"" + FileUri(Path("no-sound.kqm")) +
                  "\" "
                  "video-sink=\"appsink name=video sync=false caps=video/x-raw,format=RGB15\" "
                  "audio-sink=\"appsink name=audio sync=false\"");
  EXPECT_TRUE(run.eos && run.errors.empty()) << Joined(run.errors);
  EXPECT_NE(Joined(run.warnings).find("the pictures play without sound"), std::string::npos)
      << Joined(run.warnings);
  EXPECT_EQ(run.video.bytes.size(), 50 * kPicture);
  EXPECT_TRUE(run.audio.bytes.empty());

  // Asked for its sound alone, it says why there is none.
  const PipelineRun sound = PlayBranch("no-sound.kqm", false);
  ASSERT_EQ(sound.errors.size(), 1u) << Joined(sound.errors);
  EXPECT_NE(sound.errors[0].find(Shown("no-sound.kqm") + ": nothing takes the movie's pictures"),
            std::string::npos)
      << sound.errors[0];
  EXPECT_NE(sound.errors[0].find("no sound that can be played"), std::string::npos);
}

// A file name that is not UTF-8 (a Latin-1 "cut\xe9.kqm") is shown in the messages as GLib
// shows such names; its bytes as they were made the message unreadable (a Python program's
// parse_error raised UnicodeDecodeError).
TEST_F(DamagedMovies, NameNotInUtf8IsShownReadably) {
  const std::string name = Path("cut\xe9.kqm");
  WriteFileBytes(name, Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20) + 10));
  const PipelineRun run = RunPipeline("playbin uri=\"" + FileUri(name) +
                                      "\" video-sink=\"appsink name=video sync=false\" "
                                      "audio-sink=\"appsink name=audio sync=false\"");
  ASSERT_FALSE(run.errors.empty());
  EXPECT_TRUE(g_utf8_validate(run.errors[0].c_str(), -1, nullptr)) << run.errors[0];
  EXPECT_EQ(run.errors[0],
            Shown("") + "cut\xEF\xBF\xBD.kqm: frame 20: the file ends inside the frame");
}

// A source that cannot seek (here a queue, as a player's buffering of an HTTP stream) is named
// as such, also where decodebin plugs the demuxer: an element that failed to start there was
// reported as a missing plug-in, with this error kept from the application.
TEST_F(DamagedMovies, SourceThatCannotSeekIsSaidToBeOne) {
  WriteFileBytes(Path("piped.kqm"), movie_);
  for (const char* demuxer : {"decodebin", "kqmdemux"}) {
    const PipelineRun run =
        RunPipeline("filesrc location=\"" + Path("piped.kqm") + "\" ! queue ! " + demuxer +
                    " ! appsink name=video sync=false");
    ASSERT_FALSE(run.errors.empty()) << demuxer;
    EXPECT_EQ(run.errors[0].find(Shown("piped.kqm") + ": cannot be read at any offset"), 0u)
        << demuxer << ": " << Joined(run.errors);
  }
}

// A ring buffer between the file and the demuxer (queue2's ring-buffer-max-size) gives back
// bytes it has written over when it is smaller than the file, and a whole movie read through
// one was said to be damaged. An error met through one says so. Here the ring holds the whole
// file, so the bytes are right and the error is the cut's.
TEST_F(DamagedMovies, ErrorThroughARingBufferSaysTheFileMayBeWhole) {
  WriteFileBytes(Path("ringed.kqm"),
                 Bytes(movie_.begin(), movie_.begin() + FrameAt(movie_, 20) + 10));
  const PipelineRun run = RunPipeline("filesrc location=\"" + Path("ringed.kqm") +
                                      "\" ! queue2 ring-buffer-max-size=1000000 ! kqmdemux name=d "
                                      "d.video_0 ! kqmviddec ! appsink name=video sync=false");
  ASSERT_EQ(run.errors.size(), 1u) << Joined(run.errors);
  EXPECT_EQ(run.errors[0].find(Shown("ringed.kqm") + ": frame 20: the file ends inside the frame; "
                                                     "it is read through a ring buffer"),
            0u)
      << run.errors[0];
}

// An application's source that can be read at any offset: the appsrc named "src" of a
// pipeline, in random-access mode, fed from a movie in memory `piece` bytes at a time as it
// asks. The source takes reads one at a time.
struct Feeder {
  Feeder(const Bytes& fed, std::size_t piece_bytes) : movie(&fed), piece(piece_bytes) {}

  const Bytes* movie;
  std::size_t piece;
  // Called in the thread of each read, before it is answered.
  std::function<void(GstElement* appsrc)> before_answer;
  // True: the read is left waiting, as a source with nothing to give yet leaves it.
  std::function<bool()> withhold;
  std::size_t at = 0;

  void Connect(GstElement* pipeline) {
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    g_object_set(src, "size", static_cast<gint64>(movie->size()), nullptr);
    const auto seek = +[](GstElement*, guint64 offset, Feeder* f) -> gboolean {
      f->at = static_cast<std::size_t>(offset);
      return TRUE;
    };
    const auto need = +[](GstElement* appsrc, guint, Feeder* f) {
      if (f->before_answer) f->before_answer(appsrc);
      if (f->withhold && f->withhold()) return;
      const std::size_t n = std::min(f->piece, f->movie->size() - f->at);
      GstFlowReturn pushed = GST_FLOW_OK;
      if (n == 0) {
        g_signal_emit_by_name(appsrc, "end-of-stream", &pushed);
        return;
      }
      GstBuffer* data = gst_buffer_new_memdup(f->movie->data() + f->at, n);
      f->at += n;
      g_signal_emit_by_name(appsrc, "push-buffer", data, &pushed);
      gst_buffer_unref(data);
    };
    g_signal_connect(src, "seek-data", G_CALLBACK(seek), this);
    g_signal_connect(src, "need-data", G_CALLBACK(need), this);
    gst_object_unref(src);
  }
};

// An application's source that can be read at any offset hands out the pieces it is fed,
// whatever was asked for: a movie fed 37 bytes at a time plays as the export decodes it. Each
// short piece was taken for the end of the file ('not a movie: shorter than the 64-byte header').
TEST_F(DamagedMovies, SourceGivingShortPiecesPlaysTheWholeMovie) {
  Feeder feeder(movie_, 37);
  RunOptions options;
  options.built = [&feeder](GstElement* pipeline) { feeder.Connect(pipeline); };
  const PipelineRun run = RunPipeline(
      "appsrc name=src stream-type=random-access ! kqmdemux name=d "
      "d.video_0 ! queue ! kqmviddec ! appsink name=video sync=false "
      "d.audio_0 ! queue ! kqmauddec ! appsink name=audio sync=false",
      options);
  EXPECT_TRUE(run.eos && run.errors.empty()) << Joined(run.errors);
  WriteFileBytes(Path("fed.kqm"), movie_);
  Bytes video, audio;
  Export("fed.kqm", &video, &audio);
  EXPECT_TRUE(run.video.bytes == video);
  EXPECT_TRUE(run.audio.bytes == audio);
}

// An application's source hands out an end the application asked for (an EOS event, as
// gst-launch-1.0 -e sends on Ctrl-C) in the read it comes during: here the frame index's, the
// first read made by a thread other than the one that opened the movie. The streams end
// quietly, as they do when the streaming thread's read gets it. The end went into the demuxer
// from the index's thread, which waited there for the streaming thread, itself waiting for the
// source to finish that read: the pipeline never ended, and stopping it hung too.
TEST_F(DamagedMovies, EndSentDuringTheIndexsReadEndsTheStreams) {
  // Frame 1 waits on its way to the decoder until the index has read: the streaming thread,
  // pushing it, keeps no read waiting, so the index's read comes before the streaming thread's
  // of frame 2, whatever the threads' timing.
  struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    std::thread::id opener;
    bool sent = false;
  } gate;
  Feeder feeder(movie_, 4096);
  feeder.before_answer = [&gate](GstElement* appsrc) {
    {
      const std::lock_guard<std::mutex> hold(gate.lock);
      if (gate.opener == std::thread::id()) gate.opener = std::this_thread::get_id();
      if (gate.sent || std::this_thread::get_id() == gate.opener) return;
    }
    GstObject* pipeline = gst_object_get_parent(GST_OBJECT(appsrc));
    gst_element_send_event(GST_ELEMENT(pipeline), gst_event_new_eos());
    gst_object_unref(pipeline);
    const std::lock_guard<std::mutex> hold(gate.lock);
    gate.sent = true;
    gate.changed.notify_all();
  };
  RunOptions options;
  options.built = [&](GstElement* pipeline) {
    feeder.Connect(pipeline);
    GstElement* decoder = gst_bin_get_by_name(GST_BIN(pipeline), "dec");
    GstPad* pad = gst_element_get_static_pad(decoder, "sink");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
          auto& g = *static_cast<Gate*>(data);
          if (GST_BUFFER_OFFSET(GST_PAD_PROBE_INFO_BUFFER(info)) == 1) {
            std::unique_lock<std::mutex> hold(g.lock);
            g.changed.wait(hold, [&g] { return g.sent; });
          }
          return GST_PAD_PROBE_OK;
        },
        &gate, nullptr);
    gst_object_unref(pad);
    gst_object_unref(decoder);
  };
  // The pictures alone, without a queue: the streaming thread reads only when the sink takes.
  const PipelineRun run = RunPipeline(
      "appsrc name=src stream-type=random-access ! kqmdemux name=d "
      "d.video_0 ! kqmviddec name=dec ! appsink name=video sync=false",
      options);
  EXPECT_TRUE(gate.sent);
  EXPECT_TRUE(run.eos && run.errors.empty()) << Joined(run.errors);
  // The streams end at the streaming thread's next read, frame 2's at the latest.
  EXPECT_LE(run.video.sizes.size(), 2u);
}

// A flushing seek while the streaming thread's read waits on an application's source that has
// nothing to give yet (a network stalled) wakes that read and goes where it was asked. The
// seek waited for that read to end: the application's thread hung in it, and so did stopping
// the pipeline, whose state the seek held.
TEST_F(DamagedMovies, FlushingSeekWakesAReadWaitingOnTheSource) {
  struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    std::thread::id opener;
    bool indexed = false;  // the index's thread has read to the end of the movie
    bool armed = false;
    bool withheld = false;
  } gate;
  Feeder feeder(movie_, 4096);
  feeder.before_answer = [&](GstElement*) {
    const std::lock_guard<std::mutex> hold(gate.lock);
    if (gate.opener == std::thread::id()) gate.opener = std::this_thread::get_id();
    if (std::this_thread::get_id() != gate.opener && feeder.at + feeder.piece >= movie_.size()) {
      gate.indexed = true;
      gate.changed.notify_all();
    }
  };
  feeder.withhold = [&gate] {
    const std::lock_guard<std::mutex> hold(gate.lock);
    if (!gate.armed || gate.withheld || std::this_thread::get_id() != gate.opener) return false;
    gate.withheld = true;
    gate.changed.notify_all();
    return true;
  };
  bool second_seek = false;
  RunOptions options;
  options.built = [&feeder](GstElement* pipeline) { feeder.Connect(pipeline); };
  options.prerolled = [&](GstElement* pipeline) {
    {
      std::unique_lock<std::mutex> hold(gate.lock);
      gate.changed.wait(hold, [&gate] { return gate.indexed; });
      gate.armed = true;
    }
    // Back to the start: the streaming thread reads again, and is left waiting.
    ASSERT_TRUE(gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, 0));
    {
      std::unique_lock<std::mutex> hold(gate.lock);
      gate.changed.wait(hold, [&gate] { return gate.withheld; });
    }
    second_seek = gst_element_seek_simple(pipeline, GST_FORMAT_DEFAULT, GST_SEEK_FLAG_FLUSH, 25);
  };
  const PipelineRun run = RunPipeline(
      "appsrc name=src stream-type=random-access ! kqmdemux name=d "
      "d.video_0 ! kqmviddec ! appsink name=video sync=false",
      options);
  EXPECT_TRUE(second_seek);
  EXPECT_TRUE(run.eos && run.errors.empty()) << Joined(run.errors);
  // 2 s at 25 frames a second: frames 25 to 49.
  ASSERT_EQ(run.video.pts.size(), 25u);
  EXPECT_EQ(run.video.pts.front(), GST_SECOND);
}

// Stops the pipeline from another thread after a seek past the frame index while the source has
// stalled, and, when asked, a seek without a flush after it.
void DamagedMovies::StopAfterSeekPastAStalledIndex(bool unflushed_after) {
  struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    std::thread::id streaming;
    bool stalled = false;  // from now on the source answers no read
  } gate;
  Feeder feeder(movie_, 4096);
  feeder.withhold = [&gate] {
    const std::lock_guard<std::mutex> hold(gate.lock);
    return gate.stalled;
  };
  EnsureGstreamer();
  GstElement* pipeline = ParsePipeline(
      "appsrc name=src stream-type=random-access ! kqmdemux name=d "
      "d.video_0 ! kqmviddec ! fakesink");
  ASSERT_NE(pipeline, nullptr);
  feeder.Connect(pipeline);
  GstElement* demux = gst_bin_get_by_name(GST_BIN(pipeline), "d");
  g_signal_connect(demux, "pad-added", G_CALLBACK(+[](GstElement*, GstPad*, gpointer user) {
                     auto& g = *static_cast<Gate*>(user);
                     const std::lock_guard<std::mutex> hold(g.lock);
                     g.streaming = std::this_thread::get_id();
                   }),
                   &gate);
  // The index's reader, started once the pads are added, asks for the file's length before it
  // reads: held there until the source has stalled, it has indexed no frame.
  GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  GstPad* read = gst_element_get_static_pad(source, "src");
  gst_pad_add_probe(
      read,
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PUSH),
      [](GstPad*, GstPadProbeInfo* info, gpointer user) {
        auto& g = *static_cast<Gate*>(user);
        std::unique_lock<std::mutex> hold(g.lock);
        if (GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) == GST_QUERY_DURATION &&
            g.streaming != std::thread::id() && g.streaming != std::this_thread::get_id())
          g.changed.wait(hold, [&g] { return g.stalled; });
        return GST_PAD_PROBE_OK;
      },
      &gate, nullptr);
  gst_object_unref(read);
  gst_object_unref(source);
  gst_object_unref(demux);
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  EXPECT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, GST_CLOCK_TIME_NONE),
            GST_STATE_CHANGE_SUCCESS);
  {
    const std::lock_guard<std::mutex> hold(gate.lock);
    gate.stalled = true;
    gate.changed.notify_all();
  }
  EXPECT_TRUE(
      gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, 30 * 40'000'000LL));
  if (unflushed_after) {
    // Once the streaming thread holds its lock it waits for the index to reach the seek's frame.
    GstElement* demuxer = gst_bin_get_by_name(GST_BIN(pipeline), "d");
    GstPad* sink = gst_element_get_static_pad(demuxer, "sink");
    while (GST_PAD_STREAM_TRYLOCK(sink)) {
      GST_PAD_STREAM_UNLOCK(sink);
      std::this_thread::yield();
    }
    EXPECT_TRUE(
        gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_NONE, 20 * 40'000'000LL));
    gst_object_unref(sink);
    gst_object_unref(demuxer);
  }
  std::thread stopper([pipeline] { gst_element_set_state(pipeline, GST_STATE_NULL); });
  stopper.join();
  GstState state = GST_STATE_VOID_PENDING;
  gst_element_get_state(pipeline, &state, nullptr, 0);
  EXPECT_EQ(state, GST_STATE_NULL);
  gst_object_unref(pipeline);
}

// A seek past the frame index sent to the pipeline while an application's source has stopped
// answering (a stalled network): the pipeline holds its state while the seek is handled, and the
// seek waited there for the index to reach its frame, for good; stopping the pipeline from
// another thread waited behind it. The seek returns, and stopping the pipeline ends the wait.
TEST_F(DamagedMovies, SeekPastAStalledIndexLetsThePipelineStop) {
  StopAfterSeekPastAStalledIndex(false);
}

// A seek without a flush waited for the streaming thread, which waited for the index of the seek
// before it, for good, holding the pipeline's state: stopping the pipeline hung behind it.
TEST_F(DamagedMovies, UnflushedSeekBehindAStalledIndexLetsThePipelineStop) {
  StopAfterSeekPastAStalledIndex(true);
}

}  // namespace
}  // namespace tarvel::test
