// kqm play: plays a movie through the playback engine without a window, on the sound card or
// on the capture device, and reports how fast the whole pipeline ran.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "display/scalers.h"
#include "engine/player_context.h"
#include "platform/capture_audio_device.h"
#include "platform/stop_signals.h"
#include "storage/tar_package.h"
#include "tools/commands.h"
#include "tools/movie_pictures.h"
#include "tools/tool_common.h"

namespace tarvel::tools {

namespace {

const char kCommand[] = "kqm play";

// Shared between the main thread and the engine threads that present the pictures.
struct PlayState {
  PlayerContext* context = nullptr;
  // Pictures to present before stopping; 0 = until the engine ends playback itself.
  std::int64_t target = 0;
  std::size_t picture_bytes = 0;
  OutputFile* video = nullptr;
  std::atomic<std::int64_t> presented{0};
  std::atomic<bool> video_failed{false};
};

// Takes every presented picture.
void OnPresented(const PresentedPicture& presented, void* user) {
  auto& state = *static_cast<PlayState*>(user);
  if (state.video != nullptr && !state.video_failed &&
      !state.video->Write(presented.picture.pixels, state.picture_bytes))
    state.video_failed = true;
  state.presented.fetch_add(1);
}

// Runs after every frame step, once its sound buffer is queued: the place to stop, so that the
// last picture's sound is in.
void OnFrame(void* user) {
  auto& state = *static_cast<PlayState*>(user);
  if (state.target > 0 && state.presented >= state.target) Player_Stop(*state.context);
}

struct DeviceSettings {
  bool capture = false;
  std::shared_ptr<CaptureLog> log;
  CaptureOptions options;
};

// The frame a --start position names: a frame number, or a time in seconds ("12.5s"): the
// frame shown at that moment. False, with a reason, for anything else.
bool ParseStart(const std::string& text, float frame_rate, std::int64_t* frame,
                std::string* error) {
  const bool seconds = !text.empty() && text.back() == 's';
  const std::string number = seconds ? text.substr(0, text.size() - 1) : text;
  std::size_t used = 0;
  double value = -1.0;
  try {
    value = std::stod(number, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (number.empty() || used != number.size() || !(value >= 0.0) ||
      (!seconds && value != static_cast<double>(static_cast<std::int64_t>(value)))) {
    *error = "--start takes a frame number or a time in seconds such as 2.5s, not \"" + text + "\"";
    return false;
  }
  *frame = static_cast<std::int64_t>(seconds ? value * frame_rate : value);
  return true;
}

std::unique_ptr<AudioDevice> MakeDevice(void* user) {
  auto& settings = *static_cast<DeviceSettings*>(user);
  if (settings.capture) return std::make_unique<CaptureAudioDevice>(settings.log, settings.options);
  return CreateSdlAudioDevice();
}

}  // namespace

int Cmd_Play(int argc, char** argv) {
  CLI::App app{
      "Play a KQM6 movie through the playback engine, without a window.\n"
      "With the capture device (--device capture) nothing is heard: every sound buffer the\n"
      "engine queues can be written to --audio-out (signed 16-bit little-endian PCM, in queue\n"
      "order) and every presented picture to --video-out (raw little-endian 5-5-5 pixels).\n"
      "Unless --realtime is given the capture device and the frame clock run as fast as the\n"
      "engine allows, which measures the throughput of the whole pipeline.",
      kCommand};
  std::string path, device = "sdl", audio_out, video_out;
  std::int64_t passes = 0;
  bool once = false, realtime = false;
  float rate = 0.0f;
  int volume = -1;
  int ring = kDefaultRingSize;
  int scale = 0;
  std::string package_path;
  std::string start_text;
  app.add_option("MOVIE", path, "the movie file")->required();
  app.add_option("--start", start_text,
                 "start at this frame (a number), or at this time (seconds, e.g. 2.5s): picture "
                 "and sound exactly as when played from the beginning");
  app.add_option("--device", device, "sound device: sdl (the sound card) or capture")
      ->check(CLI::IsMember({"sdl", "capture"}));
  app.add_option("--audio-out", audio_out, "capture device: write the queued sound here");
  app.add_option("--video-out", video_out, "write every presented picture here");
  auto* passes_option =
      app.add_option("--passes", passes, "loop, and stop once K passes have been presented")
          ->check(CLI::Range(std::int64_t{1}, std::int64_t{1} << 40));
  auto* once_option = app.add_flag("--once", once, "play once without looping (the default)");
  passes_option->excludes(once_option);
  app.add_flag("--realtime", realtime, "capture device: play at the pace of the sample clock");
  app.add_option("--rate", rate, "frames per second to play at")->check(CLI::Range(0.5f, 1000.0f));
  app.add_option("--volume", volume, "volume 0 to 99")->check(CLI::Range(0, kMaxVolumeLevel));
  app.add_option("--ring", ring, "frames the disk reader loads ahead")->check(CLI::Range(1, 4096));
  app.add_option("--scale", scale,
                 "present a 640x480 movie enlarged to 800x600 or 1024x768, as the scaled "
                 "full-screen modes do")
      ->check(CLI::IsMember({800, 1024}));
  app.add_option(
      "--package", package_path,
      "play MOVIE out of this uncompressed tar archive through the package storage layer");
  Verbosity verbosity;
  AddVerbosityOptions(app, &verbosity);
  int status = 0;
  if (!ParseCommandLine(app, argc, argv, &status)) return status;
  StopSignals_Install();
  const bool capture = device == "capture";
  if (!audio_out.empty() && !capture) {
    PrintError(kCommand, "", "--audio-out needs --device capture");
    return 2;
  }
  if (audio_out == "-" && video_out == "-") {
    PrintError(kCommand, "", "--audio-out and --video-out cannot both go to standard output");
    return 2;
  }

  TarPackage package;
  std::string error;
  if (!package_path.empty() && !package.Load(package_path, &error)) {
    PrintError(kCommand, package_path, error);
    return 1;
  }

  auto context = std::make_unique<PlayerContext>();
  Player_Init(*context, kPlayerInterfaceVersion);
  if (!package_path.empty()) {
    context->source.source_kind = kSourceStorage;
    context->source.storage = &package.storage();
  }
  context->scaled_width = static_cast<std::uint32_t>(scale);
  context->presentation.scale_800_555 = &ScaleTo800_555;
  context->presentation.scale_800_565 = &ScaleTo800_565;
  context->presentation.scale_1024_555 = &ScaleTo1024_555;
  context->presentation.scale_1024_565 = &ScaleTo1024_565;

  // The capture device writes each buffer as it is queued instead of keeping them all.
  OutputFile sound_file;
  std::atomic<bool> sound_failed{false};
  if (!audio_out.empty() && !sound_file.Open(audio_out, &error)) {
    PrintError(kCommand, audio_out, error);
    return 1;
  }
  auto log = std::make_shared<CaptureLog>(false, [&](const CapturedBuffer& buffer) {
    if (!audio_out.empty() && !sound_failed &&
        !sound_file.Write(buffer.bytes.data(), buffer.bytes.size()))
      sound_failed = true;
  });
  DeviceSettings device_settings;
  device_settings.capture = capture;
  device_settings.log = log;
  device_settings.options.timing = realtime ? CaptureTiming::kSampleClock : CaptureTiming::kAtOnce;
  context->services.make_audio_device = &MakeDevice;
  context->services.audio_device_user = &device_settings;
  context->services.free_running_clock = capture && !realtime;

  const std::int32_t opened = Player_Open(*context, path.c_str());
  const PlayerStatus movie = Player_Status(*context);
  if (opened != kPlayerOk) {
    PrintError(kCommand, path,
               opened == kPlayerCannotOpen && !package_path.empty() ? "not found in " + package_path
                                                                     : std::string(movie.problem));
    return 1;
  }
  if (movie.frame_count == 0) {
    Player_Stop(*context);
    PrintError(kCommand, path, "the movie has no frames (its header's frame count is 0)");
    return 1;
  }
  if (!audio_out.empty() && !movie.movie_has_sound) {
    Player_Stop(*context);
    PrintError(kCommand, path, "the movie has no sound (its header's sound flag is clear)");
    return 1;
  }

  std::int64_t start_frame = 0;
  if (!start_text.empty()) {
    if (!ParseStart(start_text, movie.frame_rate, &start_frame, &error)) {
      Player_Stop(*context);
      PrintError(kCommand, "", error);
      return 2;
    }
    if (start_frame >= movie.frame_count ||
        Player_Seek(*context, static_cast<std::int32_t>(start_frame)) != kPlayerOk) {
      const PlayerStatus index = Player_Status(*context);
      Player_Stop(*context);
      PrintError(kCommand, path,
                 "cannot start at frame " + std::to_string(start_frame) + ": the movie has " +
                     std::to_string(index.frames_indexed) + " frames that can be played");
      return 1;
    }
  }

  OutputFile video_file;
  if (!video_out.empty() && !video_file.Open(video_out, &error)) {
    Player_Stop(*context);
    PrintError(kCommand, video_out, error);
    return 1;
  }

  const bool scaled = movie.output_width != movie.width || movie.output_height != movie.height;
  if (scale && !scaled) {
    Player_Stop(*context);
    PrintError(kCommand, path,
               "--scale needs a 640x480 movie, this one is " + std::to_string(movie.width) + "x" +
                   std::to_string(movie.height));
    return 1;
  }
  // The surface receives the presented pictures: the movie's size, or the scaled size.
  const std::size_t pixels = std::size_t{movie.output_width} * movie.output_height;
  std::vector<std::uint16_t> surface(pixels, 0);
  PlayState state;
  state.context = context.get();
  // The first pass of a playback that starts later is shorter.
  state.target = passes > 0 ? passes * movie.frame_count - start_frame : 0;
  state.picture_bytes = pixels * sizeof(std::uint16_t);
  state.video = video_out.empty() ? nullptr : &video_file;
  Player_SetFrameCallback(*context, &OnFrame, &state);
  Player_SetPresentationListener(*context, &OnPresented, &state);
  Player_SetLoop(*context, passes > 0 ? 1 : 0);

  const auto began = std::chrono::steady_clock::now();
  const std::int32_t started =
      Player_Start(*context, surface.data(), kDisplayWindow, nullptr, ring);
  const PlayerStatus start = Player_Status(*context);
  if (started == kPlayerDeviceRefused && movie.movie_has_sound) {
    Player_Stop(*context);
    PrintError(kCommand, path, start.problem);
    return 1;
  }
  if (started != kPlayerOk && started != kPlayerSoundRefused) {
    Player_Stop(*context);
    PrintError(kCommand, path, start.problem[0] != '\0' ? std::string(start.problem)
                                                        : Player_ResultText(started));
    return 1;
  }
  if (started == kPlayerSoundRefused) PrintError(kCommand, path, start.problem);
  // Frame 0 of a movie with sound is presented while the start primes the device, without a
  // frame callback after it.
  if (state.target > 0 && state.presented >= state.target) Player_Stop(*context);
  if (rate > 0.0f) Player_SetRate(*context, rate);
  if (volume >= 0) Player_SetVolume(*context, volume);

  // Ctrl-C or kill ends playback as a stop does: every picture and buffer handed over so far
  // is written whole, and the summary still comes.
  Progress progress("play", state.target > 0 && video_out != "-" && audio_out != "-");
  while (!Player_WaitForEnd(*context, std::chrono::milliseconds(100))) {
    if (StopSignals_Received() != 0) Player_Stop(*context);
    progress.Update(state.presented, state.target);
  }
  // A failing frame leaves the picture standing still: that ends playback here.
  const PlayerStatus ended = Player_Status(*context);
  Player_Destroy(*context);  // stops, and collects a thread that ended playback itself
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  progress.Finish();

  const std::int64_t presented = state.presented;
  if (ended.corrupt_frames > 0)
    PrintError(kCommand, path,
               PictureWarning(kPictureCorrupt, ended.first_corrupt_frame) + " (" +
                   std::to_string(ended.corrupt_frames) + " corrupt " +
                   (ended.corrupt_frames == 1 ? "picture" : "pictures") + " presented)");
  const int stop_signal = StopSignals_Received();
  if (ended.end == PlaybackEnd::kStepFailed || ended.end == PlaybackEnd::kReaderFailed) {
    PrintError(kCommand, path, ended.problem);
    status = 1;
  } else if (stop_signal != 0) {
    PrintError(kCommand, path, std::string("stopped by ") + StopSignalName(stop_signal));
  } else if (passes > 0 && presented < state.target) {
    PrintError(kCommand, path, "playback ended early");
    status = 1;
  }
  if (state.video_failed) {
    PrintError(kCommand, video_out, "cannot write the pictures");
    status = 1;
  }
  if (sound_failed) {
    PrintError(kCommand, audio_out, "cannot write the sound");
    status = 1;
  }
  if (!video_out.empty() && !video_file.Close(&error)) {
    PrintError(kCommand, video_out, error);
    status = 1;
  }
  if (!audio_out.empty() && !sound_file.Close(&error)) {
    PrintError(kCommand, audio_out, error);
    status = 1;
  }
  std::FILE* report = (video_out == "-" || audio_out == "-") ? stderr : stdout;
  std::fprintf(report, "%lld frames presented in %.3f s (%.1f frames/s)\n",
               static_cast<long long>(presented), seconds,
               seconds > 0 ? static_cast<double>(presented) / seconds : 0.0);
  return stop_signal != 0 ? ExitStatusOfSignal(stop_signal) : status;
}

}  // namespace tarvel::tools
