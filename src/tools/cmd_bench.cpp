// kqm bench: how fast this machine decodes a movie's pictures and sound, with the movie
// held in memory so that the disk does not count.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "audio/sound_period.h"
#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "engine/player_context.h"
#include "platform/capture_audio_device.h"
#include "platform/stop_signals.h"
#include "tools/commands.h"
#include "tools/movie_pictures.h"
#include "tools/movie_sound_info.h"
#include "tools/tool_common.h"
#include "video/video_decoder.h"

namespace tarvel::tools {

namespace {

const char kCommand[] = "kqm bench";

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Processor time of the process (one thread here), in seconds: what a decode costs whatever
// else the machine runs.
double ProcessorSeconds() {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// Once a stop signal has come, the line saying so and its status (130, 143, 129); else 0. A
// measurement cut short measures nothing worth printing.
int Stopped(const std::string& path) {
  return StatusAfterStop(kCommand, path, 0, "");
}

// Plays in real time, as a sound card does: one that finished its buffers at once would have
// the playback run on past the frame it is paused at, into the end of a movie cut short. It
// keeps nothing of what it is given: each seek pauses and resets it.
std::unique_ptr<AudioDevice> MakeCaptureDevice(void*) {
  CaptureOptions options;
  options.timing = CaptureTiming::kSampleClock;
  return std::make_unique<CaptureAudioDevice>(std::make_shared<CaptureLog>(false, nullptr, false),
                                              options);
}

// Seeks a paused playback (sound into the capture device) to `count` frames chosen at random
// with a fixed seed, and reports the time from each request to its picture: the median and the
// worst. Returns the exit status.
int BenchSeek(const std::string& path, int count) {
  // The engine decodes into the surface until the context is destroyed, whichever return ends
  // the command: it is made first, so that it goes last.
  std::vector<std::uint16_t> surface;
  auto context = std::make_unique<PlayerContext>();
  Player_Init(*context, kPlayerInterfaceVersion);
  context->services.make_audio_device = &MakeCaptureDevice;
  context->services.abandon_seek = &StopSignals_Came;
  Player_SetLoop(*context, 1);
  if (Player_Open(*context, path.c_str()) != kPlayerOk) {
    PrintError(kCommand, path, Player_Status(*context).problem);
    return 1;
  }
  const PlayerStatus movie = Player_Status(*context);
  if (movie.frame_count == 0) {
    PrintError(kCommand, path, kNoFramesProblem);
    return 1;
  }
  // The index is built first. A movie cut short (or whose header counts more frames than it
  // holds) is sought among the frames it has, as the player seeks it.
  const std::int32_t frames = Player_PlayableFrames(*context);
  // A stop signal ends the wait for an index that a slow disk holds up.
  if (const int stopped = Stopped(path)) return stopped;
  const std::string why = IndexEndProblem(context->movie_index.end(), frames, movie.frame_count);
  if (frames == 0) {
    PrintError(kCommand, path,
               "the movie cannot be sought: 0 of its frames can be read" +
                   (why.empty() ? "" : " (" + why + ")"));
    return 1;
  }
  if (frames < movie.frame_count)
    PrintError(kCommand, path, why + "; seeking among the frames before");
  // Playback starts at the last of them and is paused as that picture is presented, before it
  // can play on (into the end of a movie cut short, which would end it).
  Player_Seek(*context, frames - 1);
  struct PauseOnce {
    PlayerContext* context;
    std::atomic<bool> done{false};
    static void Presented(const PresentedPicture&, void* user) {
      auto& self = *static_cast<PauseOnce*>(user);
      if (!self.done.exchange(true)) Player_Pause(*self.context);
    }
  } pause{context.get()};
  Player_SetPresentationListener(*context, &PauseOnce::Presented, &pause);
  surface.assign(std::size_t{movie.width} * movie.height, 0);
  const std::int32_t started =
      Player_Start(*context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize);
  // The start's seek to the last frame, given up for a stop signal, stopped playback.
  if (const int stopped = Stopped(path)) return stopped;
  const PlayerStatus status = Player_Status(*context);
  // A movie whose sound cannot be set up, or that no sound device takes (a stream of 0 Hz),
  // plays, and is sought, without it.
  const bool device_refused = started == kPlayerDeviceRefused && movie.movie_has_sound;
  if (started != kPlayerOk && started != kPlayerSoundRefused && !device_refused &&
      !status.sound_on && movie.movie_has_sound) {
    PrintError(kCommand, path, status.problem);
    return 1;
  }
  const bool sound = movie.movie_has_sound && !device_refused && status.silent_reason[0] == '\0';
  if (movie.movie_has_sound && !sound)
    PrintError(kCommand, path,
               std::string(device_refused ? status.problem : status.silent_reason) +
                   "; seeking without sound");
  Player_Pause(*context);
  std::mt19937 random(20240611);
  // By the clock, and in processor time (the paused engine's threads idle meanwhile), which a
  // busy machine hardly changes.
  std::vector<double> times, processor_times;
  for (int i = 0; i < count; ++i) {
    if (const int stopped = Stopped(path)) return stopped;
    const auto target = static_cast<std::int32_t>(random() % static_cast<unsigned>(frames));
    const double processor_begin = ProcessorSeconds();
    const auto begin = Clock::now();
    const std::int32_t result = Player_Seek(*context, target);
    times.push_back(Seconds(begin));
    processor_times.push_back(ProcessorSeconds() - processor_begin);
    if (result != kPlayerOk || Player_Status(*context).shown_frame != target) {
      if (const int stopped = Stopped(path)) return stopped;
      PrintError(kCommand, path, "frame " + std::to_string(target) + ": the seek failed");
      return 1;
    }
  }
  Player_Stop(*context);
  std::sort(times.begin(), times.end());
  std::sort(processor_times.begin(), processor_times.end());
  std::printf(
      "Seek:     %s of %d (%dx%d%s): median %.1f ms, worst %.1f ms, from "
      "the request to the picture%s\n",
      Counted(count, "random frame").c_str(), frames, movie.width, movie.height,
      sound ? ", sound" : "", times[times.size() / 2] * 1e3, times.back() * 1e3,
      sound ? " with its sound queued" : "");
  std::printf("          processor time: median %.1f ms, worst %.1f ms\n",
              processor_times[processor_times.size() / 2] * 1e3, processor_times.back() * 1e3);
  return 0;
}

struct BenchOptions {
  std::string path, format = "555";
  double min_seconds = 2.0;
  int passes = 0;
  bool seek = false;
  int seeks = 200;
  Verbosity verbosity;
};

// The command line. False when the command is not to run, with the exit status in `status`.
bool ReadOptions(int argc, char** argv, BenchOptions& o, int* status) {
  CLI::App app{
      "Measure how fast a movie's pictures and sound decode on this machine (one core, "
      "frames held in memory).",
      kCommand};
  app.add_option("MOVIE", o.path, "the movie file")->required();
  auto* format = app.add_option("--format", o.format, "pixel format to decode to: 555 or 565")
                     ->check(CLI::IsMember({"555", "565"}));
  auto* seconds = app.add_option("--seconds", o.min_seconds,
                                 "run each measurement at least this long (default 2)")
                      ->check(NumberRange(0.01, 600.0));
  auto* passes = app.add_option("--passes", o.passes,
                                "decode the movie's pictures and sound exactly N times instead "
                                "(for instruction counts)")
                     ->transform(WholeRange(1, 1000000))
                     ->excludes(seconds);
  int seeks = 0;
  app.add_option("--seek", seeks,
                 "instead, time N seeks of a paused playback to frames chosen at random (the "
                 "same every run): median and worst, from the request to the picture, by the "
                 "clock and in processor time")
      ->expected(0, 1)
      ->default_str("200")
      ->transform(WholeRange(1, 1000000))
      ->excludes(seconds)
      ->excludes(passes)
      ->excludes(format);
  AddVerbosityOptions(app, &o.verbosity);
  // --seek takes the word after it only when that is its count: the parser took any word there
  // while another followed (`--seek movie.kqm -q` read the movie's name as the count), and the
  // `--` after it as the end of its values, so that `--seek -- -clip.kqm` took the movie for an
  // option. Joined to it, the count is the option's own and the parser reads on past it.
  std::vector<std::string> words(argv, argv + argc);
  for (std::size_t i = 1; i < words.size() && words[i] != "--"; ++i) {
    if (words[i] != "--seek") continue;
    const bool has_next = i + 1 < words.size();
    if (has_next && words[i + 1].empty()) continue;  // refused as every empty value is
    const bool count = has_next && IsDecimalDigits(words[i + 1]);
    words[i] = "--seek=" + (count ? words[i + 1] : std::to_string(o.seeks));
    if (count) words.erase(words.begin() + static_cast<std::ptrdiff_t>(i) + 1);
  }
  std::vector<char*> joined;
  for (std::string& word : words) joined.push_back(word.data());
  if (!ParseCommandLine(app, static_cast<int>(joined.size()), joined.data(), status)) return false;
  o.seek = app.count("--seek") > 0;
  if (seeks > 0) o.seeks = seeks;
  return true;
}

// The movie's frames, read into memory. False after the error line.
bool LoadFrames(const std::string& path, MovieHeader* header,
                std::vector<std::vector<std::uint8_t>>* frames) {
  MovieReader reader;
  if (!OpenMovieForPictures(reader, kCommand, path)) return false;
  *header = reader.header;
  for (int index = 0; index < header->frame_count && !StopRequested(); ++index) {
    std::vector<std::uint8_t> chunks;
    FrameRead result = FrameRead::kOk;
    try {
      result = MovieReader_Next(reader, chunks);
      if (result == FrameRead::kOk) frames->push_back(std::move(chunks));
    } catch (const std::bad_alloc&) {
      // A long movie's frames may not all fit.
      MovieReader_Close(reader);
      *frames = {};
      PrintError(kCommand, path,
                 "not enough memory to hold its frames (ran out at frame " + std::to_string(index) +
                     " of " + std::to_string(header->frame_count) + ")");
      return false;
    }
    if (result != FrameRead::kOk) {
      PrintError(kCommand, path, FrameReadProblem(result, index, header->frame_count));
      return false;
    }
  }
  MovieReader_Close(reader);
  if (frames->empty() && !StopRequested()) PrintError(kCommand, path, kNoFramesProblem);
  return !frames->empty() && !StopRequested();
}

LoadedFrame View(std::vector<std::uint8_t>& chunks) {
  return {chunks.data(), static_cast<std::uint32_t>(chunks.size())};
}

// Decodes the pictures for --passes or --seconds and prints the rates. The exit status.
int BenchPictures(const BenchOptions& o, const MovieHeader& header,
                  std::vector<std::vector<std::uint8_t>>& frames) {
  auto decoder = VideoDecoder::Create(header.height, header.width, o.format == "565" ? 16 : 15);
  if (!decoder) {
    PrintError(kCommand, o.path, "out of memory for the decoder");
    return kExitFailure;
  }
  const std::size_t pixels = static_cast<std::size_t>(header.width) * header.height;
  // Frames without a picture are passed over; a movie of none has nothing to measure.
  if (std::none_of(frames.begin(), frames.end(), [](std::vector<std::uint8_t>& chunks) {
        std::int32_t length = 0;
        return Frame_FindChunk(View(chunks), "IX", &length) != nullptr;
      })) {
    PrintError(kCommand, o.path,
               "none of its " + Counted(static_cast<std::int64_t>(frames.size()), "frame") +
                   " has a picture chunk");
    return kExitFailure;
  }
  // Pictures and processor time by frame kind: delta frames, key frames.
  std::int64_t counts[2] = {0, 0};
  double kind_seconds[2] = {0, 0};
  std::int64_t pictures = 0;
  const auto start = Clock::now();
  for (int pass = 0; o.passes == 0 || pass < o.passes; ++pass) {
    if (o.passes == 0 && pass > 0 && Seconds(start) >= o.min_seconds) break;
    for (auto& chunks : frames) {
      if (const int stopped = Stopped(o.path)) return stopped;
      std::int32_t length = 0;
      const std::uint8_t* payload = Frame_FindChunk(View(chunks), "IX", &length);
      if (!payload) continue;
      ++pictures;
      // A negative frame word (its top bit is in the fourth byte) makes a key frame.
      const int key = length >= 4 && (payload[3] & 0x80) != 0 ? 1 : 0;
      const double before = ProcessorSeconds();
      decoder->Decode(payload, static_cast<std::size_t>(length));
      kind_seconds[key] += ProcessorSeconds() - before;
      ++counts[key];
    }
  }
  const double video_seconds = Seconds(start);
  std::printf("Pictures: %dx%d, %lld decoded in %.2f s: %.1f pictures per second (%.1f Mpixel/s)\n",
              header.width, header.height, static_cast<long long>(pictures), video_seconds,
              static_cast<double>(pictures) / video_seconds,
              static_cast<double>(pictures) * static_cast<double>(pixels) / video_seconds / 1e6);
  const char* const kKindNames[2] = {"delta frames", "key frames"};
  for (int key : {1, 0}) {
    if (counts[key] == 0) continue;
    std::printf("          %s: %lld, %.1f pictures per second of processor time\n", kKindNames[key],
                static_cast<long long>(counts[key]),
                static_cast<double>(counts[key]) / kind_seconds[key]);
  }
  const double rate = FrameRateFromDuration(header.frame_duration, kDefaultFrameRate);
  std::printf("          %.1fx the movie's real-time rate of %s\n",
              static_cast<double>(pictures) / video_seconds / rate, FramesPerSecond(rate).c_str());
  return 0;
}

// Decodes the sound, frame period by frame period as the player feeds its device, exactly
// --passes times or for at least --seconds, and prints the rate. The exit status.
int BenchSound(const BenchOptions& o, std::vector<std::vector<std::uint8_t>>& frames) {
  Adpcm_Init(kAdpcmLibraryVersion);
  std::int32_t length = 0;
  const std::uint8_t* lead = Sound_FindAudioChunk(View(frames[0]), &length);
  SoundStream probe;
  if (!lead || Sound_SetupStream(probe, lead, length) != kAdpcmOk || probe.audio_frame_bytes <= 0) {
    std::printf("Sound:    none that decodes\n");
    return 0;
  }
  // The player plays a movie silent at a rate no sound device takes: nothing of it is decoded.
  if (const std::string problem = SoundRateProblem(probe.sample_rate); !problem.empty()) {
    std::printf("Sound:    none that plays: %s\n", problem.c_str());
    return 0;
  }
  std::vector<std::uint8_t> pcm(static_cast<std::size_t>(probe.audio_frame_bytes) * kLeadPeriods);
  const int channels = probe.stereo ? 2 : 1;
  std::int64_t samples = 0;
  const auto sound_start = Clock::now();
  for (int pass = 0; o.passes == 0 || pass < o.passes; ++pass) {
    if (o.passes == 0 && pass > 0 && Seconds(sound_start) >= o.min_seconds) break;
    SoundStream sound;
    Sound_SetupStream(sound, lead, length);
    std::int32_t loop_mode = 0;
    for (std::size_t n = 0; n < frames.size(); ++n) {
      if (const int stopped = Stopped(o.path)) return stopped;
      const std::int32_t bytes =
          n == 0 ? sound.audio_frame_bytes * kLeadPeriods : sound.audio_frame_bytes;
      // The sample frames the stream gave (the report counts 4 bytes a frame where it runs
      // short, whatever the stream).
      const std::int64_t before = sound.adpcm_stream.remaining_frames;
      SoundPeriodReport report;
      Sound_DecodeFramePeriod(sound, static_cast<std::int32_t>(n),
                              static_cast<std::int32_t>(frames.size()), loop_mode, View(frames[n]),
                              pcm.data(), bytes, &report);
      samples += (before - sound.adpcm_stream.remaining_frames) * channels;
    }
  }
  const double sound_seconds = Seconds(sound_start);
  std::printf(
      "Sound:    %u Hz %s, %lld samples decoded in %.2f s: %.1f million samples per second "
      "(%.0fx real time)\n",
      probe.sample_rate, probe.stereo ? "stereo" : "mono", static_cast<long long>(samples),
      sound_seconds, static_cast<double>(samples) / sound_seconds / 1e6,
      static_cast<double>(samples) / sound_seconds /
          (probe.sample_rate * static_cast<double>(channels)));
  return 0;
}

}  // namespace

int Cmd_Bench(int argc, char** argv) {
  BenchOptions options;
  int status = 0;
  if (!ReadOptions(argc, argv, options, &status)) return status;
  // Ctrl-C or kill ends a long measurement with a line and the status of a stop, as it ends the
  // other commands (and a signal blocked at start is let through).
  StopSignals_Install();
  if (options.seek) return BenchSeek(options.path, options.seeks);
  MovieHeader header;
  std::vector<std::vector<std::uint8_t>> frames;
  if (!LoadFrames(options.path, &header, &frames)) {
    const int stopped = Stopped(options.path);
    return stopped != 0 ? stopped : kExitFailure;
  }
  if (status = BenchPictures(options, header, frames); status != 0) return status;
  if (header.sound) return BenchSound(options, frames);
  return 0;
}

}  // namespace tarvel::tools
