#include <gst/check/gsttestclock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gst_pipeline.h"
#include "kqm_run.h"
#include "tools/commands.h"

namespace tarvel::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Frame N is shown from N frame durations on (1/200 s units; 15 frames per second without one).
std::int64_t FrameTime(std::int64_t frame, int duration) {
  return duration ? frame * duration * 5000000 : frame * 1000000000 / 15;
}

struct Captured {
  Bytes video, audio;
};

// What the player's engine presents and queues when it starts at `frame` (kqm play --start).
Captured PlayFrom(const std::string& movie, std::int64_t frame, bool sound = true) {
  const std::string video = TestFile("engine.rgb");
  const std::string audio = TestFile("engine.pcm");
  const auto played =
      sound ? RunKqm(tools::Cmd_Play, "play",
                     {movie, "--device", "capture", "--once", "--start", std::to_string(frame),
                      "--video-out", video, "--audio-out", audio, "-q"})
            : RunKqm(tools::Cmd_Play, "play",
                     {movie, "--device", "capture", "--once", "--start", std::to_string(frame),
                      "--video-out", video, "-q"});
  EXPECT_EQ(played.status, 0) << played.err;
  return {ReadFileBytes(video), sound ? ReadFileBytes(audio) : Bytes{}};
}

// The demo movie, 64x48 with sound at 25 frames per second, `seconds` long.
std::string SmallDemo(int seconds) {
  const std::string movie = TestFile("demo.kqm");
  EXPECT_EQ(RunKqm(tools::Cmd_Demo, "demo",
                   {"-o", movie, "--size", "64x48", "--seconds", std::to_string(seconds), "-q"})
                .status,
            0);
  return movie;
}

std::string Pipeline(const std::string& movie, bool sound) {
  std::string text = "filesrc location=\"" + movie +
                     "\" ! kqmdemux name=d d.video_0 ! queue ! "
                     "kqmviddec ! video/x-raw,format=RGB15 ! appsink name=video sync=false";
  if (sound) text += " d.audio_0 ! queue ! kqmauddec ! appsink name=audio sync=false";
  return text;
}

struct Movie {
  std::string name;
  int frames;
  int duration;
  bool sound;
};

// A seek lands on exactly the picture and sound that the player's engine presents and queues
// when it starts there: frames inside and past frame 0's 32 periods of sound, key frames rare
// and frequent (some of which do not decode alone), the first and the last frame.
TEST(GstSeek, LandsWhereThePlayerStarts) {
  const Movie movies[] = {
      {"mixed-136x96-mono-33-key4", 33, 40, true},
      {"skip-128x64-mono-40", 40, 0, true},
      {"mixed-256x128-stereo-36", 36, 0, true},
      {"key-dct-128x96", 6, 13, false},
  };
  for (const Movie& m : movies) {
    const std::string path = ConformancePath(m.name);
    for (const int frame : {0, 1, 5, 31, 32, 34, m.frames - 1}) {
      if (frame >= m.frames) continue;
      RunOptions seek;
      seek.seeks = {FrameTime(frame, m.duration)};
      // A script asking where it is in frames gets the frame it sought to.
      gint64 shown = -1;
      seek.prerolled = [&shown](GstElement* pipeline) {
        gst_element_query_position(pipeline, GST_FORMAT_DEFAULT, &shown);
      };
      const PipelineRun run = RunPipeline(Pipeline(path, m.sound), seek);
      EXPECT_EQ(shown, frame) << m.name;
      const Captured engine = PlayFrom(path, frame, m.sound);
      EXPECT_TRUE(run.eos && run.errors.empty()) << m.name << " @" << frame;
      EXPECT_TRUE(run.video.bytes == engine.video) << m.name << " @" << frame;
      if (m.sound) {
        EXPECT_TRUE(run.audio.bytes == engine.audio) << m.name << " @" << frame;
      }
      ASSERT_FALSE(run.video.pts.empty());
      EXPECT_EQ(run.video.pts[0], static_cast<GstClockTime>(FrameTime(frame, m.duration)));
    }
  }
}

// A header without a frame duration shows 15 pictures a second whatever its sound's periods
// last (the demo's, 40 ms). Sought to frame N, the sound starts with period N beside picture N,
// as the player starts there: period N was stamped N x 40 ms, before the segment's N / 15 s, and
// a sink clipped it and the periods up to the one playing at N / 15 s (period 11 for frame 7).
TEST(GstSeek, SoundStartsWithTheShownPictureWhenTheClocksDisagree) {
  const std::string movie = SmallDemo(3);
  Bytes bytes = ReadFileBytes(movie);
  bytes[24] = bytes[25] = 0;
  WriteFileBytes(movie, bytes);
  for (const int frame : {7, 40}) {  // inside frame 0's 32 periods, and past them
    RunOptions seek;
    seek.seeks = {FrameTime(frame, 0)};
    const PipelineRun run = RunPipeline(Pipeline(movie, true), seek);
    EXPECT_TRUE(run.eos && run.errors.empty()) << frame;
    ASSERT_GE(run.audio.pts.size(), 2u);
    ASSERT_FALSE(run.video.pts.empty());
    EXPECT_EQ(run.video.pts[0], static_cast<GstClockTime>(FrameTime(frame, 0)));
    EXPECT_EQ(run.audio.pts[0], run.video.pts[0]) << frame;
    EXPECT_EQ(run.audio.running[0], 0u) << frame;
    EXPECT_EQ(run.audio.pts[1], run.audio.pts[0] + 40000000u) << frame;
    EXPECT_TRUE(run.audio.bytes == PlayFrom(movie, frame).audio) << frame;
  }
}

// Asked in frames, a paused pipeline gives the picture its sink holds: not the last one decoded
// into the queue after the decoder (a player's sink has one), nor none when the seek fell
// inside a picture (1 ms into frame 20, each frame 40/200 s), nor the next one where a
// converter stands before the sink (it gives the end of the last picture it passed on).
TEST(GstSeek, PositionInFramesIsThePictureShown) {
  const std::string path = ConformancePath("mixed-136x96-mono-33-key4");
  RunOptions seek;
  seek.seeks = {FrameTime(20, 40) + 1000000};
  gint64 shown = -1;
  seek.prerolled = [&shown](GstElement* pipeline) {
    gst_element_query_position(pipeline, GST_FORMAT_DEFAULT, &shown);
  };
  for (const char* after : {"queue", "queue ! videoconvert"}) {
    shown = -1;
    const PipelineRun run =
        RunPipeline("filesrc location=\"" + path + "\" ! kqmdemux ! kqmviddec ! " + after +
                        " ! appsink name=video sync=false",
                    seek);
    EXPECT_TRUE(run.eos && run.errors.empty()) << after;
    EXPECT_EQ(shown, 20) << after;
  }
  // Paused from playing, a sink shows the picture that was waiting for its time, ahead of the
  // time it gives: frame 1, due at 0.2 s, when paused at 0 s on a clock the test moves.
  seek.seeks = {};
  seek.prerolled = [&shown](GstElement* pipeline) {
    GstClock* clock = gst_test_clock_new();
    gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    // Frame 0 is shown at once (its wait released where the clock stands), frame 1 waited for.
    GstClockID waiting = nullptr;
    gst_test_clock_wait_for_next_pending_id(GST_TEST_CLOCK(clock), &waiting);
    EXPECT_EQ(gst_clock_id_get_time(waiting), 0u);
    gst_clock_id_unref(waiting);
    gst_test_clock_crank(GST_TEST_CLOCK(clock));
    gst_test_clock_wait_for_next_pending_id(GST_TEST_CLOCK(clock), &waiting);
    EXPECT_EQ(gst_clock_id_get_time(waiting), static_cast<GstClockTime>(FrameTime(1, 40)));
    gst_clock_id_unref(waiting);
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    gst_element_get_state(pipeline, nullptr, nullptr, 60 * GST_SECOND);
    gst_element_query_position(pipeline, GST_FORMAT_DEFAULT, &shown);
    // The rest plays at once: the pipeline's own clock, sought to the end.
    gst_pipeline_auto_clock(GST_PIPELINE(pipeline));
    gst_object_unref(clock);
    gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, FrameTime(33, 40));
    gst_element_get_state(pipeline, nullptr, nullptr, 60 * GST_SECOND);
  };
  shown = -1;
  const PipelineRun run = RunPipeline(
      "filesrc location=\"" + path + "\" ! kqmdemux ! kqmviddec ! appsink name=video sync=true",
      seek);
  EXPECT_TRUE(run.eos && run.errors.empty()) << testing::PrintToString(run.errors);
  EXPECT_EQ(shown, 1);
}

// Seeking is a player's everyday business: back and forth while paused, to the same place
// twice, by key frame, and past the end.
TEST(GstSeek, SeeksInSequenceKeyFramesAndPastTheEnd) {
  // 75 frames at 25 fps with key frames at 0 and 60 (the encoder's default interval).
  const std::string movie = SmallDemo(3);
  RunOptions options;
  options.seeks = {FrameTime(70, 8), FrameTime(10, 8), FrameTime(45, 8), FrameTime(45, 8)};
  // The position as a share of the movie is that of the picture shown: 45 of 75 frames.
  gint64 percent = -1;
  options.prerolled = [&percent](GstElement* pipeline) {
    gst_element_query_position(pipeline, GST_FORMAT_PERCENT, &percent);
  };
  PipelineRun run = RunPipeline(Pipeline(movie, true), options);
  options.prerolled = nullptr;
  EXPECT_EQ(percent, GST_FORMAT_PERCENT_MAX * 45 / 75);
  Captured engine = PlayFrom(movie, 45);
  EXPECT_TRUE(run.eos && run.errors.empty());
  EXPECT_TRUE(run.video.bytes == engine.video);
  EXPECT_TRUE(run.audio.bytes == engine.audio);

  // In frames (GStreamer's DEFAULT format), as a script counts them: the seek sent to the
  // pipeline reaches the demuxer up the sound's branch too, and is taken there in frames.
  options.seek_format = GST_FORMAT_DEFAULT;
  options.seeks = {45};
  run = RunPipeline(Pipeline(movie, true), options);
  EXPECT_TRUE(run.eos && run.errors.empty()) << testing::PrintToString(run.errors);
  EXPECT_EQ(run.end_seqnum, run.seek_seqnum);  // the end says which seek it answers
  EXPECT_EQ(run.frames, 75);
  EXPECT_TRUE(run.video.bytes == engine.video);
  EXPECT_TRUE(run.audio.bytes == engine.audio);
  // In bytes the demuxer does not seek, and nothing seeks in its place: the pictures, whose
  // decoder would take the offset for its output's bytes, play from where they were.
  options.seek_format = GST_FORMAT_BYTES;
  options.seeks = {64 * 48 * 2 * 45};
  run = RunPipeline(Pipeline(movie, false), options);
  EXPECT_EQ(run.errors, std::vector<std::string>({"the seek was refused"}));
  ASSERT_FALSE(run.video.pts.empty());
  EXPECT_EQ(run.video.pts[0], 0u);
  options.seek_format = GST_FORMAT_TIME;

  // By key frame: the one before, and the one after.
  options.seek_flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT);
  options.seeks = {FrameTime(70, 8)};
  run = RunPipeline(Pipeline(movie, true), options);
  engine = PlayFrom(movie, 60);
  ASSERT_FALSE(run.video.pts.empty());
  EXPECT_EQ(run.video.pts[0], static_cast<GstClockTime>(FrameTime(60, 8)));
  EXPECT_TRUE(run.video.bytes == engine.video);
  EXPECT_TRUE(run.audio.bytes == engine.audio);
  // Snapping: nearest is the before and after flags together; a key frame sought to is itself
  // the one at or after.
  const struct {
    GstSeekFlags snap;
    int frame, lands;
  } snaps[] = {{GST_SEEK_FLAG_SNAP_AFTER, 30, 60},
               {GST_SEEK_FLAG_SNAP_AFTER, 0, 0},
               {GST_SEEK_FLAG_SNAP_BEFORE, 59, 0},
               {GST_SEEK_FLAG_SNAP_NEAREST, 20, 0},
               {GST_SEEK_FLAG_SNAP_NEAREST, 50, 60}};
  for (const auto& snap : snaps) {
    options.seek_flags =
        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT | snap.snap);
    options.seeks = {FrameTime(snap.frame, 8)};
    run = RunPipeline(Pipeline(movie, true), options);
    ASSERT_FALSE(run.video.pts.empty());
    EXPECT_EQ(run.video.pts[0], static_cast<GstClockTime>(FrameTime(snap.lands, 8)))
        << snap.snap << " @" << snap.frame;
  }

  // From the end: 10 frames before it.
  options.seek_flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
  options.seek_type = GST_SEEK_TYPE_END;
  options.seeks = {-FrameTime(10, 8)};
  run = RunPipeline(Pipeline(movie, true), options);
  ASSERT_FALSE(run.video.pts.empty());
  EXPECT_EQ(run.video.pts[0], static_cast<GstClockTime>(FrameTime(65, 8)));
  options.seek_type = GST_SEEK_TYPE_SET;

  // A new stop alone: from the picture shown (frame 0, prerolled) up to the stop, not from
  // where reading had got to (a key frame every 5 frames, so that decoding starts near it).
  const std::string y4m = TestFile("demo.y4m"), keyed = TestFile("keyed.kqm");
  ASSERT_EQ(RunKqm(tools::Cmd_Export, "export", {movie, "--video", y4m, "-q"}).status, 0);
  ASSERT_EQ(
      RunKqm(tools::Cmd_Encode, "encode", {"--video", y4m, "--keyint", "5", "-o", keyed, "-q"})
          .status,
      0);
  options.seek_type = GST_SEEK_TYPE_NONE;
  options.seek_stop = FrameTime(20, 8);
  options.seeks = {0};
  run = RunPipeline(Pipeline(keyed, false), options);
  EXPECT_TRUE(run.eos && run.errors.empty()) << testing::PrintToString(run.errors);
  ASSERT_EQ(run.video.pts.size(), 20u);
  EXPECT_EQ(run.video.pts[0], 0u);
  // From a picture the segment did not start at (stepped to frame 12 while paused), a new stop
  // or a new rate alone: the frames decoding starts from are not shown again (frames 0 to 11 of
  // the demo before its frame 12), nor the frame before, where nothing stands between the decoder
  // and the sink (whose time is then the start of its picture; a transform gives its end).
  const struct {
    double rate;
    std::int64_t stop;
    std::string pipeline;
    std::size_t shown;
  } steps[] = {{1.0, FrameTime(20, 8), Pipeline(movie, false), 8},
               {2.0, -1,
                "filesrc location=\"" + movie +
                    "\" ! kqmdemux ! queue ! kqmviddec ! appsink name=video sync=false",
                63}};
  options.seeks = {};
  for (const auto& step : steps) {
    options.prerolled = [&step](GstElement* pipeline) {
      gst_element_send_event(pipeline,
                             gst_event_new_step(GST_FORMAT_BUFFERS, 12, 1.0, TRUE, FALSE));
      gst_element_get_state(pipeline, nullptr, nullptr, 60 * GST_SECOND);
      gst_element_seek(pipeline, step.rate, GST_FORMAT_TIME,
                       static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                       GST_SEEK_TYPE_NONE, -1,
                       step.stop < 0 ? GST_SEEK_TYPE_NONE : GST_SEEK_TYPE_SET, step.stop);
      gst_element_get_state(pipeline, nullptr, nullptr, 60 * GST_SECOND);
    };
    run = RunPipeline(step.pipeline, options);
    EXPECT_TRUE(run.eos && run.errors.empty()) << testing::PrintToString(run.errors);
    ASSERT_EQ(run.video.pts.size(), step.shown) << step.rate;
    EXPECT_EQ(run.video.pts[0], static_cast<GstClockTime>(FrameTime(12, 8))) << step.rate;
  }
  options.prerolled = nullptr;
  options.seek_type = GST_SEEK_TYPE_SET;
  options.seek_stop = -1;
  // The sound alone, paused on frame 20 and given a new stop: on from frame 20's sound, not from
  // where reading had got to, a second or so ahead in the queue.
  options.seeks = {FrameTime(20, 8)};
  options.prerolled = [](GstElement* pipeline) {
    gst_element_seek(pipeline, 1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, GST_SEEK_TYPE_NONE, -1,
                     GST_SEEK_TYPE_SET, FrameTime(50, 8));
    gst_element_get_state(pipeline, nullptr, nullptr, 60 * GST_SECOND);
  };
  run = RunPipeline("filesrc location=\"" + movie +
                        "\" ! kqmdemux name=d d.audio_0 ! queue ! kqmauddec ! "
                        "appsink name=audio sync=false",
                    options);
  EXPECT_TRUE(run.eos && run.errors.empty()) << testing::PrintToString(run.errors);
  ASSERT_EQ(run.audio.pts.size(), 30u);
  EXPECT_EQ(run.audio.pts[0], static_cast<GstClockTime>(FrameTime(20, 8)));
  options.prerolled = nullptr;

  // A range given the wrong way round is refused as such, not taken for a programming error.
  options.seeks = {FrameTime(50, 8)};
  options.seek_stop = FrameTime(20, 8);
  run = RunPipeline(Pipeline(movie, true), options);
  EXPECT_EQ(run.errors, std::vector<std::string>({"the seek was refused"}));
  EXPECT_TRUE(run.criticals.empty()) << testing::PrintToString(run.criticals);
  options.seek_stop = -1;

  // Past the end there is nothing left to play: the pipeline is at the end, 3 s, on the last
  // of the 75 frames, as one played to its end is.
  options.seek_flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH);
  options.seeks = {FrameTime(80, 8)};
  gint64 at[3] = {-1, -1, -1};
  options.prerolled = [&at](GstElement* pipeline) {
    const GstFormat formats[] = {GST_FORMAT_TIME, GST_FORMAT_DEFAULT, GST_FORMAT_PERCENT};
    for (int i = 0; i < 3; ++i) gst_element_query_position(pipeline, formats[i], &at[i]);
  };
  run = RunPipeline(Pipeline(movie, false), options);
  options.prerolled = nullptr;
  EXPECT_TRUE(run.eos && run.errors.empty());
  EXPECT_TRUE(run.video.bytes.empty());
  EXPECT_TRUE(run.seekable);
  EXPECT_EQ(at[0], FrameTime(75, 8));
  EXPECT_EQ(at[1], 74);
  EXPECT_EQ(at[2], GST_FORMAT_PERCENT_MAX);
  // A segment past the end is empty: the pipeline still prerolls, and the segment ends.
  options.seek_flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_SEGMENT);
  run = RunPipeline(Pipeline(movie, true), options);
  EXPECT_TRUE(run.segment_done && run.errors.empty()) << testing::PrintToString(run.errors);
  EXPECT_EQ(run.end_seqnum, run.seek_seqnum);
  EXPECT_TRUE(run.video.bytes.empty());
  // So is a range that stops where it starts (frames 10 to 10), as a segment or not: nothing
  // is shown or heard, and it ends without an error.
  options.seek_format = GST_FORMAT_DEFAULT;
  options.seeks = {10};
  options.seek_stop = 10;
  for (const GstSeekFlags flags : {GST_SEEK_FLAG_FLUSH, options.seek_flags}) {
    options.seek_flags = flags;
    run = RunPipeline(Pipeline(movie, true), options);
    EXPECT_TRUE((run.eos || run.segment_done) && run.errors.empty())
        << flags << testing::PrintToString(run.errors);
    EXPECT_TRUE(run.video.bytes.empty() && run.audio.bytes.empty()) << flags;
  }
}

// A range looped as players and editors loop one (a segment seek, then a non-flushing one from
// each segment's end) plays on seamlessly: every picture and sound period follows the one before
// in running time, the last picture of a pass shown for its whole period before the next pass
// starts, and the sound stored past the movie's last picture not heard before it.
TEST(GstSeek, LoopedSegmentsFollowOneAnother) {
  // 25 frames at 25 fps, 22,050 Hz sound: a frame period is 40 ms of pictures and of sound.
  const std::string movie = SmallDemo(1);
  RunOptions options;
  options.seek_flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE |
                                                 GST_SEEK_FLAG_SEGMENT);
  options.loops = 2;
  const struct {
    int from, to;  // frames; to -1: the whole movie
  } ranges[] = {{5, 15}, {0, -1}};
  for (const auto& range : ranges) {
    options.seeks = {FrameTime(range.from, 8)};
    options.seek_stop = range.to < 0 ? -1 : FrameTime(range.to, 8);
    const PipelineRun run = RunPipeline(Pipeline(movie, true), options);
    EXPECT_TRUE(run.eos && run.errors.empty()) << testing::PrintToString(run.errors);
    const std::size_t pass = (range.to < 0 ? 25 : range.to) - range.from;
    ASSERT_EQ(run.video.running.size(), 3 * pass) << range.from;
    // The last pass ends the streams: the sound stored past the last picture follows it then.
    ASSERT_EQ(run.audio.running.size(), 3 * pass + (range.to < 0 ? 31 : 0)) << range.from;
    for (const SinkLog* log : {&run.video, &run.audio})
      for (std::size_t i = 0; i < log->running.size(); ++i)
        ASSERT_EQ(log->running[i], static_cast<GstClockTime>(FrameTime(i, 8)))
            << range.from << (log == &run.audio ? " sound " : " picture ") << i;
  }
}

}  // namespace
}  // namespace tarvel::test
