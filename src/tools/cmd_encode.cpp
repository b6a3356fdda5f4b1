// kqm encode: makes a KQM6 movie from a YUV4MPEG2 video and an optional WAV sound.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <string>

#include "encoder/media_input.h"
#include "encoder/movie_encoder.h"
#include "tools/commands.h"
#include "tools/tool_common.h"

namespace tarvel::tools {

namespace {

bool ParseSize(const std::string& text, int* width, int* height) {
  const auto x = text.find('x');
  if (x == std::string::npos) return false;
  try {
    std::size_t used = 0;
    *width = std::stoi(text.substr(0, x), &used);
    if (used != x) return false;
    *height = std::stoi(text.substr(x + 1), &used);
    return used == text.size() - x - 1 && *width > 0 && *height > 0;
  } catch (const std::exception&) {
    return false;
  }
}

int RoundUp8(int v) {
  return (v + 7) / 8 * 8;
}

}  // namespace

int Cmd_Encode(int argc, char** argv) {
  CLI::App app{
      "Encode a KQM6 movie from a YUV4MPEG2 video (8-bit 4:2:0, 4:2:2 or 4:4:4; '-' reads "
      "standard\n"
      "input) and an optional WAV sound (16-bit PCM, mono or stereo). Any video converts through\n"
      "ffmpeg, e.g.: ffmpeg -i clip.mp4 -pix_fmt yuv420p -f yuv4mpegpipe - | kqm encode --video - "
      "-o clip.kqm",
      "kqm encode"};
  std::string video_path, audio_path, output_path, size_text;
  int quality = 75, key_interval = 60, effort = 1;
  double fps = 0;
  bool crop = false, stats = false, quiet = false;
  app.add_option("--video", video_path, "the pictures: a .y4m file, or - for standard input")
      ->required();
  app.add_option("--audio", audio_path, "the sound: a .wav file");
  app.add_option("-o,--output", output_path, "the movie to write")->required();
  app.add_option("--quality", quality, "picture quality 1-100 (default 75)")
      ->check(CLI::Range(1, 100));
  app.add_option("--keyint", key_interval,
                 "a key frame at least every N frames; 0: only the first (default 60)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--fps", fps, "frame rate, overriding the video's (stored in 1/200 s steps)")
      ->check(CLI::Range(0.004, 200.0));
  app.add_option("--size", size_text, "scale the pictures to WxH (multiples of 8)");
  app.add_option("--effort", effort, "search effort 0-3 (default 1; 2 and 3 are much slower)")
      ->check(CLI::Range(0, 3));
  app.add_flag("--crop", crop, "crop a size that is not a multiple of 8 instead of padding it");
  app.add_flag("--stats", stats, "print each frame's kind, size and PSNR at the end");
  app.add_flag("-q,--quiet", quiet, "no progress line and no notes");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  const std::string command = "kqm encode";
  if (output_path == "-") {
    PrintError(command, "", "the movie must go to a file (-o -): its header is completed last");
    return 2;
  }
  int width = 0, height = 0;
  const bool scale = !size_text.empty();
  if (scale && (!ParseSize(size_text, &width, &height) || width % 8 || height % 8)) {
    PrintError(command, "", "--size: expected WxH with multiples of 8, got '" + size_text + "'");
    return 2;
  }

  Y4mReader reader;
  std::string error;
  if (!Y4mReader_Open(reader, video_path, &error)) {
    PrintError(command, video_path, error);
    return 1;
  }
  struct Closer {
    Y4mReader& r;
    ~Closer() { Y4mReader_Close(r); }
  } closer{reader};
  if (!scale) {
    width = crop ? reader.width / 8 * 8 : RoundUp8(reader.width);
    height = crop ? reader.height / 8 * 8 : RoundUp8(reader.height);
    if (width == 0 || height == 0) {
      PrintError(command, video_path, "picture smaller than 8x8 cannot be cropped");
      return 1;
    }
    if ((width != reader.width || height != reader.height) && !quiet)
      std::fprintf(stderr, "%s: %s: %s %dx%d to %dx%d\n", command.c_str(), video_path.c_str(),
                   crop ? "cropping" : "padding", reader.width, reader.height, width, height);
  }
  if (width > kMaxEncodeWidth) {
    PrintError(command, video_path,
               "pictures " + std::to_string(width) + " pixels wide are too wide (at most " +
                   std::to_string(kMaxEncodeWidth) + "); use --size");
    return 1;
  }
  const double wanted_fps =
      fps > 0 ? fps : static_cast<double>(reader.rate_numerator) / reader.rate_denominator;
  MovieEncodeSettings settings;
  settings.frame_duration = FrameDurationForRate(wanted_fps);
  settings.video.quality = quality;
  settings.video.key_interval = key_interval;
  settings.video.effort = effort;
  const double actual_fps = 200.0 / settings.frame_duration;
  if (std::fabs(actual_fps - wanted_fps) > wanted_fps * 1e-3 && !quiet)
    std::fprintf(stderr, "%s: %s: %.3f frames per second stored as 200/%u = %.3f\n",
                 command.c_str(), video_path.c_str(), wanted_fps, settings.frame_duration,
                 actual_fps);

  PcmSound sound;
  const bool has_sound = !audio_path.empty();
  if (has_sound) {
    PcmSound input;
    if (!ReadWavFile(audio_path, &input, &error)) {
      PrintError(command, audio_path, error);
      return 1;
    }
    const std::uint32_t rate =
        RepresentableSampleRate(input.sample_rate, settings.frame_duration, input.channels == 2);
    if (rate == 0) {
      PrintError(command, audio_path,
                 "sample rate " + std::to_string(input.sample_rate) +
                     " Hz cannot be stored at this frame rate");
      return 1;
    }
    if (rate != input.sample_rate && !quiet)
      std::fprintf(stderr, "%s: %s: resampling %u Hz to %u Hz (whole codes per frame period)\n",
                   command.c_str(), audio_path.c_str(), input.sample_rate, rate);
    ResampleSound(input, rate, &sound);
  }

  MovieEncoder encoder;
  if (!MovieEncoder_Open(encoder, output_path, nullptr, width, height, settings,
                         has_sound ? &sound : nullptr)) {
    PrintError(command, output_path, encoder.error);
    return 1;
  }
  Progress progress(command, !quiet);
  RgbPicture input, fitted;
  const bool fit = scale || width != reader.width || height != reader.height;
  for (;;) {
    const int got = Y4mReader_Next(reader, &input, &error);
    if (got < 0) {
      PrintError(command, video_path, error);
      MovieWriter_Abandon(encoder.writer);
      return 1;
    }
    if (got == 0) break;
    if (fit) FitPicture(input, width, height, scale, &fitted);
    if (!MovieEncoder_AddPicture(encoder, fit ? fitted : input)) {
      PrintError(command, output_path, encoder.error);
      MovieWriter_Abandon(encoder.writer);
      return 1;
    }
    const VideoFrameStats& last = encoder.frames.back();
    char extra[96];
    std::snprintf(extra, sizeof extra, "%lld KB, PSNR %.2f dB",
                  static_cast<long long>(encoder.writer.position / 1024), last.psnr);
    progress.Update(static_cast<std::int64_t>(encoder.frames.size()), 0, extra);
  }
  progress.Finish();
  if (encoder.frames.empty()) {
    PrintError(command, video_path, "no pictures in the stream");
    MovieWriter_Abandon(encoder.writer);
    return 1;
  }
  if (!MovieEncoder_Finish(encoder)) {
    PrintError(command, output_path, encoder.error);
    return 1;
  }
  if (stats) PrintEncodeStats(encoder, stdout);
  if (!quiet) {
    const MovieEncodeSummary s = SummariseFrames(encoder);
    std::fprintf(
        stderr,
        "%s: %s: %lld frames %dx%d at %.3f fps, %lld bytes, %.3f bits/pixel, PSNR %.2f dB\n",
        command.c_str(), output_path.c_str(), static_cast<long long>(s.frames), width, height,
        actual_fps, static_cast<long long>(encoder.writer.position), s.bits_per_pixel, s.mean_psnr);
  }
  return 0;
}

}  // namespace tarvel::tools
