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
#include "platform/gated_audio_device.h"
#include "storage/tar_package.h"
#include "tools/commands.h"
#include "tools/tool_common.h"

namespace tarvel::tools {

namespace {

const char kCommand[] = "kqm play";

// Shared between the main thread and the engine thread that runs the frame callback.
struct PlayState {
  PlayerContext* context = nullptr;
  std::int64_t frame_count = 0;
  // Pictures to present before stopping; 0 = until the engine ends playback itself.
  std::int64_t target = 0;
  const std::uint16_t* surface = nullptr;
  std::size_t picture_bytes = 0;
  OutputFile* video = nullptr;
  // Touched by the callback only.
  std::int64_t last_position = 0;
  // Set by the callback, read by the main thread.
  std::atomic<std::int64_t> presented{0};
  std::atomic<bool> done{false};
  std::atomic<bool> video_failed{false};
  std::atomic<std::int32_t> failure{kPlayerOk};
};

// Takes the picture of a frame step that presented one. True once the target is reached, or
// when a failing frame must end playback.
bool TakePicture(PlayState& state) {
  PlayerContext& context = *state.context;
  const std::int64_t position =
      std::int64_t{context.loop_count} * state.frame_count + context.current_frame;
  const std::int32_t result = context.last_result;
  if (position == state.last_position) {
    // Nothing was presented. A failing frame is retried at every tick, so stop here.
    if (result != kPlayerOk && context.playing) {
      state.failure = result;
      state.done = true;
      return true;
    }
    return false;
  }
  state.last_position = position;
  if (state.video != nullptr && !state.video_failed &&
      !state.video->Write(state.surface, state.picture_bytes))
    state.video_failed = true;
  const std::int64_t presented = state.presented.fetch_add(1) + 1;
  if (state.target > 0 && presented >= state.target) state.done = true;
  return state.done;
}

// The frame callback; runs on the engine's thread after every frame step.
void OnFrame(void* user) {
  auto& state = *static_cast<PlayState*>(user);
  if (!TakePicture(state)) return;
  // Hold the engine's thread until the main thread has begun stopping, so that not one frame
  // more is stepped (or one more sound buffer queued).
  while (state.context->playing) SleepMilliseconds(1);
}

struct DeviceSettings {
  bool capture = false;
  std::shared_ptr<CaptureLog> log;
  CaptureOptions options;
  GatedAudioDevice* made = nullptr;  // the device of the current playback
};

std::unique_ptr<AudioDevice> MakeDevice(void* user) {
  auto& settings = *static_cast<DeviceSettings*>(user);
  std::unique_ptr<AudioDevice> inner;
  if (settings.capture)
    inner = std::make_unique<CaptureAudioDevice>(settings.log, settings.options);
  else
    inner = CreateSdlAudioDevice();
  auto device = std::make_unique<GatedAudioDevice>(std::move(inner));
  settings.made = device.get();
  return device;
}

std::string ResultText(std::int32_t code) {
  switch (code) {
    case kPlayerOutOfMemory:
      return "out of memory";
    case kPlayerReadFailed:
      return "a frame could not be read (the file ends inside it, or its size is impossible)";
    case kPlayerNoVideoChunk:
      return "a frame has no picture chunk";
    case kPlayerEndOfData:
      return "the movie data ends before its last frame";
    case kPlayerNoThread:
      return "a thread could not be created";
    case kPlayerSoundRefused:
      return "the sound stream is not valid ADQ sound";
    case kPlayerDeviceRefused:
      return "the sound device refused a buffer";
    default:
      return "playback failed with result " + std::to_string(code);
  }
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
  app.add_option("MOVIE", path, "the movie file")->required();
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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
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
  if (opened != kPlayerOk) {
    std::string reason;
    const bool header_short = context->movie_length >= 0 &&
                              context->movie_length < static_cast<std::int64_t>(kMovieHeaderSize);
    if (opened == kPlayerCannotOpen)
      reason = package_path.empty() ? "cannot open the file" : "not found in " + package_path;
    else if (opened == kPlayerReadFailed && header_short)
      reason = "not a movie: shorter than the 64-byte header";
    else if (opened == kPlayerReadFailed)
      reason = "picture size " + std::to_string(context->width) + "x" +
               std::to_string(context->height) +
               " cannot be played (width and height must be non-zero multiples of 8)";
    else
      reason = ResultText(opened);
    PrintError(kCommand, path, reason);
    return 1;
  }
  if (context->frame_count == 0) {
    Player_Stop(*context);
    PrintError(kCommand, path, "the movie has no frames (its header's frame count is 0)");
    return 1;
  }
  const bool has_sound = context->header[6] != 0;
  if (!audio_out.empty() && !has_sound) {
    Player_Stop(*context);
    PrintError(kCommand, path, "the movie has no sound (its header's sound flag is clear)");
    return 1;
  }

  OutputFile video_file;
  if (!video_out.empty() && !video_file.Open(video_out, &error)) {
    Player_Stop(*context);
    PrintError(kCommand, video_out, error);
    return 1;
  }

  if (scale && !context->scaling_buffer) {
    Player_Stop(*context);
    PrintError(kCommand, path,
               "--scale needs a 640x480 movie, this one is " + std::to_string(context->width) +
                   "x" + std::to_string(context->height));
    return 1;
  }
  // The surface receives the presented pictures: the movie's size, or the scaled size.
  const std::size_t pixels = std::size_t{context->output_width} * context->output_height;
  std::vector<std::uint16_t> surface(pixels, 0);
  PlayState state;
  state.context = context.get();
  state.frame_count = context->frame_count;
  state.target = passes > 0 ? passes * context->frame_count : 0;
  state.surface = surface.data();
  state.picture_bytes = pixels * sizeof(std::uint16_t);
  state.video = video_out.empty() ? nullptr : &video_file;
  Player_SetFrameCallback(*context, &OnFrame, &state);
  Player_SetLoop(*context, passes > 0 ? 1 : 0);

  const auto began = std::chrono::steady_clock::now();
  const std::int32_t started =
      Player_Start(*context, surface.data(), kDisplayWindow, nullptr, ring);
  int status = 0;
  if (started == kPlayerDeviceRefused && has_sound) {
    const std::string reason = context->wave_out ? context->wave_out->LastError() : "";
    Player_Stop(*context);
    PrintError(kCommand, path, reason.empty() ? "no sound device" : reason);
    return 1;
  }
  if (started != kPlayerOk && started != kPlayerSoundRefused) {
    Player_Stop(*context);
    // A start that fails on a read names the frame the disk reader was loading.
    const bool read_failure = started == kPlayerReadFailed || started == kPlayerEndOfData;
    PrintError(kCommand, path,
               (read_failure ? "frame " + std::to_string(context->read_position) + ": " : "") +
                   ResultText(started));
    return 1;
  }
  if (started == kPlayerSoundRefused)
    PrintError(kCommand, path, "the sound stream is not valid ADQ sound; playing without sound");
  if (context->sound_on && device_settings.made != nullptr) {
    // Frame 0 was presented while the device was primed, without a frame callback.
    if (!TakePicture(state)) device_settings.made->OpenGate();
  }
  if (rate > 0.0f) Player_SetRate(*context, rate);
  if (volume >= 0) Player_SetVolume(*context, volume);

  Progress progress("play", state.target > 0 && video_out != "-" && audio_out != "-");
  const bool sound_clock = context->sound_on;
  for (;;) {
    if (state.done) break;
    // Read the sound thread's code before `playing`: a stop clears `playing` first.
    const std::uint32_t sound_code =
        sound_clock ? context->sound_thread.ExitCode() : kThreadStillActive;
    if (!context->playing) break;
    if (sound_code != kThreadStillActive) {
      // The sound thread ended on a failing frame: the picture would stand still for ever.
      state.failure = context->last_result != kPlayerOk ? context->last_result.load()
                                                        : static_cast<std::int32_t>(sound_code);
      break;
    }
    progress.Update(state.presented, state.target);
    SleepMilliseconds(1);
  }
  const std::int32_t position = context->read_position;
  Player_Destroy(*context);  // stops, and collects a disk reader that ended playback itself
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  progress.Finish();

  const std::int64_t presented = state.presented;
  const std::uint32_t reader_code = context->reader_exit_code;
  if (state.failure != kPlayerOk) {
    PrintError(
        kCommand, path,
        "frame " + std::to_string(context->current_frame) + ": " + ResultText(state.failure));
    status = 1;
  } else if (reader_code != kPlayerOk && reader_code != kThreadStillActive) {
    PrintError(kCommand, path,
               "frame " + std::to_string(position) + ": " +
                   ResultText(static_cast<std::int32_t>(reader_code)));
    status = 1;
  } else if (!state.done && passes > 0) {
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
  return status;
}

}  // namespace tarvel::tools
