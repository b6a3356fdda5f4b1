#include <gst/base/gsttypefindhelper.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "gst_pipeline.h"
#include "kqm_run.h"
#include "tools/commands.h"

namespace tarvel::test {
namespace {

const char* const kMovies[] = {
    "copy-320x240-stereo",
    "dct-640x480",
    "key-dct-128x96",
    "mixed-1024x64",
    "mixed-136x96-mono-33-key4",
    "mixed-160x120-mono",
    "mixed-256x128-stereo-36",
    "skip-128x64-mono-40",
};

bool HasSound(const std::string& movie) {
  return ExpectedDigest(movie, "sound-once").size() == 64;
}

// The demuxer's pads into the decoders; with both branches each gets a queue (a thread of its
// own), as two sinks behind one demuxer need.
std::string DecodePipeline(const std::string& path, const char* format, bool sound) {
  const std::string queue = sound ? "queue ! " : "";
  std::string text = "filesrc location=\"" + path + "\" ! kqmdemux name=d d.video_0 ! " + queue +
                     "kqmviddec ! video/x-raw,format=" + format +
                     " ! appsink name=video sync=false";
  if (sound)
    text +=
        " d.audio_0 ! queue ! kqmauddec ! audio/x-raw,format=S16LE ! appsink name=audio "
        "sync=false";
  return text;
}

std::vector<std::uint8_t> Bytes(const std::string& path) {
  return ReadFileBytes(path);
}

TEST(GstPlugin, DecodesEveryConformanceMovieBitExactly) {
  for (const std::string movie : kMovies) {
    const bool sound = HasSound(movie);
    PipelineRun run = RunPipeline(DecodePipeline(ConformancePath(movie), "RGB15", sound));
    EXPECT_TRUE(run.eos && run.errors.empty())
        << movie << ": " << testing::PrintToString(run.errors);
    EXPECT_EQ(Sha256Hex(run.video.bytes), ExpectedDigest(movie, "pictures-555")) << movie;
    if (sound) {
      EXPECT_EQ(Sha256Hex(run.audio.bytes), ExpectedDigest(movie, "sound-once")) << movie;
    }

    run = RunPipeline(DecodePipeline(ConformancePath(movie), "RGB16", false));
    EXPECT_EQ(Sha256Hex(run.video.bytes), ExpectedDigest(movie, "pictures-565")) << movie;
  }
}

// Worked out from the headers: pictures at 200 / duration frames per second (15 without one),
// sound periods at the stream's rate, frame 0's chunk holding periods 0-31.
TEST(GstPlugin, TimestampsFollowThePictureAndSoundClocks) {
  // 40 frames at 15 fps; 44,100 Hz mono, 2,940 sample frames (1/15 s) per period.
  PipelineRun run =
      RunPipeline(DecodePipeline(ConformancePath("skip-128x64-mono-40"), "RGB15", true));
  ASSERT_EQ(run.video.pts.size(), 40u);
  EXPECT_EQ(run.video.pts[3], 200000000u);
  EXPECT_EQ(run.video.pts[39] + run.video.durations[39], 2666666666u);
  EXPECT_EQ(run.duration, 2666666666);
  // A buffer a period, frame 0's 32 too, so that a pipeline paused early has sound to preroll on.
  ASSERT_EQ(run.audio.pts.size(), 71u);
  for (std::size_t period : {0u, 31u, 32u, 70u}) {
    EXPECT_EQ(run.audio.sizes[period], 5880u) << period;
    EXPECT_EQ(run.audio.pts[period], period * 2940u * 1000000000u / 44100u) << period;
  }
  EXPECT_EQ(run.audio.durations[0], 66666666u);
  EXPECT_EQ(run.audio.pts[32], 2133333333u);  // from frame 1's chunk
  EXPECT_EQ(run.audio.pts[70], 4666666666u);  // from frame 39's chunk

  // 12.5 fps from a frame duration of 16; 8,000 Hz stereo, 640 sample frames (80 ms) per period.
  run = RunPipeline(DecodePipeline(ConformancePath("copy-320x240-stereo"), "RGB15", true));
  ASSERT_EQ(run.video.pts.size(), 8u);
  EXPECT_EQ(run.video.pts[5], 400000000u);
  EXPECT_EQ(run.video.durations[5], 80000000u);
  ASSERT_EQ(run.audio.pts.size(), 8u + 31u);
  EXPECT_EQ(run.audio.pts[32], 2560000000u);
  EXPECT_EQ(run.audio.sizes[32], 2560u);
  EXPECT_EQ(run.duration, 640000000);
}

// Drops the buffers of frames `first` to `last` on their way into the element named `name`
// once the pipeline has prerolled, as a leaky queue or a valve loses them (frames sent again
// for decoding only come through).
RunOptions LosingFrames(const char* name, guint64 first, guint64 last) {
  using Range = std::pair<guint64, guint64>;
  RunOptions options;
  options.prerolled = [=](GstElement* pipeline) {
    GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline), name);
    GstPad* pad = gst_element_get_static_pad(element, "sink");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer user) {
          const Range& lost = *static_cast<Range*>(user);
          GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
          const guint64 frame = GST_BUFFER_OFFSET(buffer);
          return frame >= lost.first && frame <= lost.second &&
                         !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DECODE_ONLY)
                     ? GST_PAD_PROBE_DROP
                     : GST_PAD_PROBE_OK;
        },
        new Range(first, last), [](gpointer user) { delete static_cast<Range*>(user); });
    gst_object_unref(pad);
    gst_object_unref(element);
  };
  return options;
}

// A sound decoder that joins the stream after its start (playbin3 turning the sound off and on
// again drops what was sent meanwhile) gets the decoding state from the demuxer and plays on,
// in step, from there.
TEST(GstPlugin, SoundDecoderJoinsAStreamUnderWay) {
  const std::string path = ConformancePath("skip-128x64-mono-40");
  const PipelineRun whole = RunPipeline(DecodePipeline(path, "RGB15", true));
  // Frame 0's buffer, the only one flagged DISCONT, never reaches the decoder.
  const PipelineRun joined =
      RunPipeline("filesrc location=\"" + path +
                  "\" ! kqmdemux name=d d.audio_0 ! identity drop-buffer-flags=discont ! "
                  "kqmauddec ! appsink name=audio sync=false");
  EXPECT_TRUE(joined.eos && joined.errors.empty()) << testing::PrintToString(joined.errors);
  // Frame 1's buffer asks for the state, which comes with frame 2's: periods 33 to 70.
  const std::size_t period_bytes = 5880;
  ASSERT_EQ(whole.audio.bytes.size(), 71 * period_bytes);
  ASSERT_EQ(joined.audio.pts.size(), 71u - 33u);
  EXPECT_EQ(joined.audio.pts[0], whole.audio.pts[33]);
  EXPECT_TRUE(joined.audio.bytes ==
              std::vector<std::uint8_t>(whole.audio.bytes.begin() + 33 * period_bytes,
                                        whole.audio.bytes.end()));

  // So does one that loses buffers on the way (a leaky queue, a valve): frames 5 to 7 here.
  const PipelineRun gapped =
      RunPipeline("filesrc location=\"" + path +
                      "\" ! kqmdemux name=d d.audio_0 ! kqmauddec name=sound ! "
                      "appsink name=audio sync=false",
                  LosingFrames("sound", 5, 7));
  EXPECT_TRUE(gapped.eos && gapped.errors.empty()) << testing::PrintToString(gapped.errors);
  // Periods 0 to 35 (frame 0's 32, frames 1 to 4); frame 8's buffer asks for the state, which
  // comes with frame 9's: periods 40 to 70.
  std::vector<std::uint8_t> expected(whole.audio.bytes.begin(),
                                     whole.audio.bytes.begin() + 36 * period_bytes);
  expected.insert(expected.end(), whole.audio.bytes.begin() + 40 * period_bytes,
                  whole.audio.bytes.end());
  EXPECT_TRUE(gapped.audio.bytes == expected);
  ASSERT_EQ(gapped.audio.pts.size(), 36u + 31u);
  EXPECT_EQ(gapped.audio.pts[36], whole.audio.pts[40]);

  // Frame 9's buffer, which brings the state, lost too: frame 10's asks again, and the state
  // comes with frame 11's: periods 42 to 70.
  RunOptions lost_again = LosingFrames("sound", 5, 7);
  lost_again.prerolled = [first = lost_again.prerolled,
                          also = LosingFrames("sound", 9, 9).prerolled](GstElement* pipeline) {
    first(pipeline);
    also(pipeline);
  };
  const PipelineRun regapped =
      RunPipeline("filesrc location=\"" + path +
                      "\" ! kqmdemux name=d d.audio_0 ! kqmauddec name=sound ! "
                      "appsink name=audio sync=false",
                  lost_again);
  EXPECT_TRUE(regapped.eos && regapped.errors.empty()) << testing::PrintToString(regapped.errors);
  expected.resize(36 * period_bytes);
  expected.insert(expected.end(), whole.audio.bytes.begin() + 42 * period_bytes,
                  whole.audio.bytes.end());
  EXPECT_TRUE(regapped.audio.bytes == expected) << regapped.audio.pts.size() << " periods";
}

// A picture decoder that joins the stream under way or loses buffers on the way flags the
// pictures built on ones it never had, and asks the demuxer to send again, for decoding only,
// the frames from where decoding can start (frame 0 here, the demo's next key frame being 60):
// it goes on exactly from the next frame sent.
TEST(GstPlugin, PictureDecoderJoinsAStreamUnderWay) {
  const std::string movie = TestFile("demo.kqm"), video = TestFile("demo.rgb");
  ASSERT_EQ(RunKqm(tools::Cmd_Demo, "demo",
                   {"-o", movie, "--seconds", "3", "--size", "64x48", "--no-sound", "-q"})
                .status,
            0);
  ASSERT_EQ(RunKqm(tools::Cmd_Export, "export", {movie, "--video", video, "-q"}).status, 0);
  const std::vector<std::uint8_t> exported = Bytes(video);
  const std::size_t picture = 64 * 48 * 2;
  ASSERT_EQ(exported.size(), 75 * picture);
  const auto at = [&](std::size_t frame) { return exported.begin() + frame * picture; };
  const std::string source = "filesrc location=\"" + movie + "\" ! kqmdemux ! ";
  const std::string decode = "kqmviddec name=pictures ! appsink name=video sync=false";

  // Frames 10 to 12 lost: frame 13, flagged, asks, and after it come frames 0 to 13 to decode
  // and 14 on to show; so frames 0 to 9, 13 flagged, then 14 to 74.
  PipelineRun gapped = RunPipeline(source + decode, LosingFrames("pictures", 10, 12));
  EXPECT_TRUE(gapped.eos && gapped.errors.empty()) << testing::PrintToString(gapped.errors);
  std::vector<bool> flagged(10 + 1 + 61, false);
  flagged[10] = true;
  EXPECT_EQ(gapped.video.corrupted, flagged);
  ASSERT_EQ(gapped.video.pts.size(), flagged.size());
  EXPECT_EQ(gapped.video.pts[10], 13 * 40'000'000ULL);
  gapped.video.bytes.erase(gapped.video.bytes.begin() + 10 * picture,
                           gapped.video.bytes.begin() + 11 * picture);
  std::vector<std::uint8_t> expected(at(0), at(10));
  expected.insert(expected.end(), at(14), exported.end());
  EXPECT_TRUE(gapped.video.bytes == expected);

  // Frame 0's buffer, the only one flagged DISCONT, never reaches the decoder: frame 1, flagged,
  // asks; then frames 2 to 74.
  PipelineRun joined = RunPipeline(source + "identity drop-buffer-flags=discont ! " + decode);
  EXPECT_TRUE(joined.eos && joined.errors.empty()) << testing::PrintToString(joined.errors);
  flagged.assign(1 + 73, false);
  flagged[0] = true;
  EXPECT_EQ(joined.video.corrupted, flagged);
  ASSERT_EQ(joined.video.bytes.size(), 74 * picture);
  EXPECT_TRUE(
      std::vector<std::uint8_t>(joined.video.bytes.begin() + picture, joined.video.bytes.end()) ==
      std::vector<std::uint8_t>(at(2), exported.end()));
}

// What gst-play and desktop players do: playbin finds the movie by its contents and plugs our
// elements by rank; its sinks get the same pictures and sound.
TEST(GstPlugin, PlaybinFindsAndPlaysAMovie) {
  const std::string movie = "mixed-256x128-stereo-36";
  const PipelineRun run =
      RunPipeline("playbin uri=\"" + FileUri(ConformancePath(movie)) +
                  "\" "
                  "video-sink=\"appsink name=video sync=false caps=video/x-raw,format=RGB15\" "
                  "audio-sink=\"appsink name=audio sync=false caps=audio/x-raw,format=S16LE\"");
  EXPECT_TRUE(run.eos && run.errors.empty()) << testing::PrintToString(run.errors);
  EXPECT_EQ(Sha256Hex(run.video.bytes), ExpectedDigest(movie, "pictures-555"));
  EXPECT_EQ(Sha256Hex(run.audio.bytes), ExpectedDigest(movie, "sound-once"));
  EXPECT_EQ(run.duration, 2400000000);  // 36 frames at the default 15 fps
}

// An application that asks a playing movie to end (gst-launch-1.0 -e on Ctrl-C, so that a
// conversion's output is finished) gets the end of the stream, not an error about the file.
TEST(GstPlugin, AnEndAskedForIsNotADamagedFile) {
  RunOptions options;
  options.end_early = true;
  const PipelineRun run =
      RunPipeline("filesrc location=\"" + ConformancePath("skip-128x64-mono-40") +
                      "\" ! kqmdemux ! kqmviddec ! appsink name=video sync=false",
                  options);
  EXPECT_TRUE(run.eos && run.errors.empty()) << testing::PrintToString(run.errors);
  EXPECT_LT(run.video.sizes.size(), 40u);
}

// A conversion: a muxer takes the earlier of its streams' next buffers, so the sound stored past
// the last picture (31 frame periods, 6.2 s here, more than a queue holds) must not wait for
// the pictures' end, or the muxer waits for pictures while the demuxer waits for room.
TEST(GstPlugin, ConvertsThroughAMuxer) {
  EnsureGstreamer();
  for (const char* element : {"oggmux", "theoraenc", "vorbisenc"}) {
    GstElementFactory* factory = gst_element_factory_find(element);
    if (factory == nullptr) GTEST_SKIP() << element << " is not installed";
    gst_object_unref(factory);
  }
  const PipelineRun run =
      RunPipeline("filesrc location=\"" + ConformancePath("mixed-136x96-mono-33-key4") +
                  "\" ! kqmdemux name=d d.video_0 ! queue ! kqmviddec ! videoconvert ! theoraenc ! "
                  "oggmux name=mux ! fakesink sync=false "
                  "d.audio_0 ! queue ! kqmauddec ! audioconvert ! vorbisenc ! mux.");
  EXPECT_TRUE(run.eos && run.errors.empty()) << testing::PrintToString(run.errors);
}

std::string FoundType(const std::vector<std::uint8_t>& data) {
  EnsureGstreamer();
  GstTypeFindProbability probability = GST_TYPE_FIND_NONE;
  GstCaps* caps = gst_type_find_helper_for_data(nullptr, data.data(), data.size(), &probability);
  if (caps == nullptr) return "";
  std::string name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  gst_caps_unref(caps);
  return name;
}

// Our type finder alone over `data`, of the length given; the ranges it asked for.
std::vector<std::pair<gint64, guint>> TypeFinderPeeks(const std::vector<std::uint8_t>& data) {
  EnsureGstreamer();
  struct Source {
    const std::vector<std::uint8_t>* data;
    std::vector<std::pair<gint64, guint>> peeks;
  } source{&data, {}};
  GstTypeFind find = {};
  find.data = &source;
  find.peek = [](gpointer user, gint64 offset, guint size) -> const guint8* {
    auto* from = static_cast<Source*>(user);
    from->peeks.emplace_back(offset, size);
    if (offset < 0 || offset + size > static_cast<gint64>(from->data->size())) return nullptr;
    return from->data->data() + offset;
  };
  find.suggest = [](gpointer, guint, GstCaps*) {};
  find.get_length = [](gpointer user) -> guint64 {
    return static_cast<Source*>(user)->data->size();
  };
  GstPluginFeature* finder =
      gst_registry_find_feature(gst_registry_get(), "video/x-kqm", GST_TYPE_TYPE_FIND_FACTORY);
  EXPECT_NE(finder, nullptr);
  if (finder == nullptr) return {};
  gst_type_find_factory_call_function(GST_TYPE_FIND_FACTORY(finder), &find);
  gst_object_unref(finder);
  return source.peeks;
}

TEST(GstPlugin, TypeFinderClaimsMoviesAndNothingElse) {
  for (const std::string movie : kMovies)
    EXPECT_EQ(FoundType(Bytes(ConformancePath(movie))), "video/x-kqm") << movie;

  std::vector<std::uint8_t> movie = Bytes(ConformancePath("mixed-160x120-mono"));
  // A first frame of more than 4 MB (large pictures of fine detail at a high quality) is one
  // too: here a 5 MB chunk of another kind closes it.
  std::vector<std::uint8_t> large = movie;
  const std::uint32_t word =
      static_cast<std::uint32_t>(movie[64] | movie[65] << 8 | movie[66] << 16);
  std::vector<std::uint8_t> chunk(5u << 20, 0);
  chunk[2] = 0x50;  // its size, little-endian
  chunk[4] = chunk[5] = 'Z';
  large.insert(large.begin() + 64 + word, chunk.begin(), chunk.end());
  large[66] = static_cast<std::uint8_t>(large[66] + 0x50);
  EXPECT_EQ(FoundType(large), "video/x-kqm");
  // A first frame larger than the file is not a movie's, and nothing past the header and frame
  // word is read to find out: a 1 KB file whose first frame says 16 MB, filled by one chunk, had
  // that frame outlined (16 MB twice) and walked.
  std::vector<std::uint8_t> claims(movie.begin(), movie.begin() + 1024);
  const std::uint8_t frame_word[] = {0xFC, 0xFF, 0xFF};  // its size, 16 MB - 4
  const std::uint8_t picture[] = {0xF8, 0xFF, 0xFF, 0x00,
                                  'I',  'X',  0,    0};  // a picture that fills it
  std::copy(std::begin(frame_word), std::end(frame_word), claims.begin() + 64);
  std::copy(std::begin(picture), std::end(picture), claims.begin() + 68);
  for (const auto& [offset, size] : TypeFinderPeeks(claims))
    EXPECT_LE(offset + size, 68) << offset << "+" << size;
  // A first frame whose chunks do not fill it (8 bytes left over) is not a movie's.
  std::vector<std::uint8_t> loose = movie;
  loose[64] = static_cast<std::uint8_t>(loose[64] + 8);
  EXPECT_NE(FoundType(loose), "video/x-kqm");
  // Nor is a picture width that is not a multiple of 8.
  std::vector<std::uint8_t> odd = movie;
  odd[8] = 161;
  EXPECT_NE(FoundType(odd), "video/x-kqm");
  // Nor noise.
  std::mt19937 random(16);
  std::vector<std::uint8_t> noise(1 << 16);
  for (std::size_t trial = 0; trial < 50; ++trial) {
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    EXPECT_NE(FoundType(noise), "video/x-kqm") << trial;
  }
}

// An application's source read at any offset (appsrc, stream-type=random-access) gives the
// pieces it is fed, whatever size is asked: a movie handed out 1,000 bytes at a time is found as
// from a file. Its first frame, peeked at whole, came back short, and decodebin said 'Could not
// determine type of stream'.
TEST(GstPlugin, TypeFinderFindsAMovieHandedOutInPieces) {
  EnsureGstreamer();
  static std::vector<std::uint8_t> movie;
  movie = Bytes(ConformancePath("mixed-160x120-mono"));
  ASSERT_GT(movie[64] | movie[65] << 8, 1000);  // frame 0 is larger than a piece
  const auto piece = [](GstObject*, GstObject*, guint64 offset, guint length,
                        GstBuffer** buffer) -> GstFlowReturn {
    if (offset >= movie.size()) return GST_FLOW_EOS;
    const auto n = std::min<std::size_t>({length, 1000, movie.size() - offset});
    *buffer = gst_buffer_new_memdup(movie.data() + offset, n);
    return GST_FLOW_OK;
  };
  GstElement* owner = gst_bin_new(nullptr);  // the helper's reads are made for an object
  GstCaps* caps = gst_type_find_helper_get_range(GST_OBJECT(owner), nullptr, piece, movie.size(),
                                                 nullptr, nullptr);
  gst_object_unref(owner);
  ASSERT_NE(caps, nullptr);
  EXPECT_STREQ(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "video/x-kqm");
  gst_caps_unref(caps);
}

std::string Le32(std::uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
          static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

// An encoder input the demo does not give: 20x12 pictures (padded to 24x16) at 7 frames per
// second (stored as 29/200 s a frame), a key frame every 5, and 8,000 Hz stereo sound.
void WriteOddInputs(const std::string& video, const std::string& audio) {
  std::string y4m = "YUV4MPEG2 W20 H12 F7:1 C444\n";
  for (int i = 0; i < 40; ++i) {
    y4m += "FRAME\n";
    for (int p = 0; p < 3 * 20 * 12; ++p) y4m += static_cast<char>((p * 7 + i * 13) % 251);
  }
  std::string data;  // 6 seconds of a rising tone, left and right apart
  for (std::uint32_t n = 0; n < 8000 * 6; ++n)
    for (const std::uint32_t step : {97u + n / 100, 31u}) data += Le32(n * step << 16).substr(2);
  const std::string body = "WAVEfmt " + Le32(16) + std::string("\x01\x00\x02\x00", 4) + Le32(8000) +
                           Le32(32000) + std::string("\x04\x00\x10\x00", 4) + "data" +
                           Le32(static_cast<std::uint32_t>(data.size())) + data;
  WriteFileBytes(video, std::vector<unsigned char>(y4m.begin(), y4m.end()));
  const std::string wav = "RIFF" + Le32(static_cast<std::uint32_t>(body.size())) + body;
  WriteFileBytes(audio, std::vector<unsigned char>(wav.begin(), wav.end()));
}

// Movies made by our own tools, compared with `kqm export` of the same file.
TEST(GstPlugin, MatchesKqmExportOnGeneratedMovies) {
  for (const int kind : {0, 1, 2}) {
    const bool sound = kind != 1;
    const std::string movie = TestFile("made" + std::to_string(kind) + ".kqm");
    if (kind == 2) WriteOddInputs(TestFile("odd.y4m"), TestFile("odd.wav"));
    const KqmResult made =
        kind == 0   ? RunKqm(tools::Cmd_Demo, "demo", {"-o", movie, "--seconds", "2", "-q"})
        : kind == 1 ? RunKqm(tools::Cmd_Demo, "demo",
                             {"-o", movie, "--seconds", "1", "--size", "64x48", "--no-sound", "-q"})
                    : RunKqm(tools::Cmd_Encode, "encode",
                             {"--video", TestFile("odd.y4m"), "--audio", TestFile("odd.wav"), "-o",
                              movie, "--keyint", "5", "-q"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string video = TestFile("made.rgb"), audio = TestFile("made.pcm");
    auto exported = sound ? RunKqm(tools::Cmd_Export, "export",
                                   {movie, "--video", video, "--audio", audio, "-q"})
                          : RunKqm(tools::Cmd_Export, "export", {movie, "--video", video, "-q"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    const PipelineRun run = RunPipeline(DecodePipeline(movie, "RGB15", sound));
    EXPECT_TRUE(run.eos && run.errors.empty()) << kind << testing::PrintToString(run.errors);
    EXPECT_TRUE(run.video.bytes == Bytes(video)) << kind;
    if (sound) {
      EXPECT_TRUE(run.audio.bytes == Bytes(audio)) << kind;
    }
  }
}

}  // namespace
}  // namespace tarvel::test
