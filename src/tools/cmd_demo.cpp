// kqm demo: writes the built-in demo movie, generated from nothing and encoded by the encoder.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "encoder/demo_content.h"
#include "encoder/movie_encoder.h"
#include "platform/stop_signals.h"
#include "platform/terminal.h"
#include "tools/commands.h"
#include "tools/tool_common.h"

namespace tarvel::tools {

int Cmd_Demo(int argc, char** argv) {
  CLI::App app{
      "Write the built-in demo movie: moving shapes, gradients, the name and a short tune.",
      "kqm demo"};
  std::string output_path, size_text = "320x240";
  double seconds = 8;
  int quality = 75, effort = 1;
  bool no_sound = false, stats = false;
  app.add_option("-o,--output", output_path, "the movie to write")->required();
  app.add_option("--size", size_text,
                 "picture size WxH, multiples of 8 up to 1024x4096 (default 320x240)");
  app.add_option("--seconds", seconds, "length in seconds (default 8)")
      ->check(NumberRange(0.04, 600.0));
  app.add_option("--quality", quality, "picture quality 1-100 (default 75)")
      ->transform(WholeRange(1, 100));
  app.add_option("--effort", effort, kEffortHelp)->transform(WholeRange(0, 3));
  app.add_flag("--no-sound", no_sound, "leave the sound out");
  app.add_flag("--stats", stats, "print each frame's kind, quality, size and PSNR at the end");
  Verbosity verbosity;
  AddVerbosityOptions(app, &verbosity);
  int status = 0;
  if (!ParseCommandLine(app, argc, argv, &status)) return status;
  const std::string command = "kqm demo";
  int width = 0, height = 0;
  if (!ParsePictureSize(size_text, &width, &height) || width % 8 || height % 8 ||
      width > kMaxEncodeWidth || height > 4096) {
    PrintError(command, "",
               "--size: expected WxH with multiples of 8, at most " +
                   std::to_string(kMaxEncodeWidth) + "x4096, got '" + size_text + "'");
    return 2;
  }
  if (output_path == "-") {
    PrintError(command, "", "the movie must go to a file (-o -): its header is completed last");
    return 2;
  }
  constexpr double kFps = 25.0;
  MovieEncodeSettings settings;
  settings.frame_duration = 8;  // 25 frames per second
  settings.video.quality = quality;
  settings.video.effort = effort;
  settings.video.stop_requested = StopRequested;
  // Ctrl-C or kill stops the demo, which then says so and removes what it wrote: from before
  // the tune is made (seconds for a long demo) and its first file, where a signal's default
  // action would end it without a word or leave the file behind.
  StopSignals_Install();
  const int frames = std::max(1, static_cast<int>(seconds * kFps + 0.5));
  PcmSound tune;
  if (!no_sound && !RenderDemoTune(22050, frames / kFps, &tune, StopRequested))
    return StatusAfterStop(command, output_path, 0);
  // As encode's: beside a movie written where standard output goes, the table went nowhere.
  std::FILE* stats_out = NamesStandardOutput(output_path) ? stderr : stdout;
  PendingFile output;
  std::string error;
  if (!output.Create(output_path, &error)) {
    PrintError(command, output_path, error);
    return 1;
  }
  MovieEncoder encoder;
  if (!OpenEncoderOn(encoder, output, width, height, settings, no_sound ? nullptr : &tune)) {
    PrintError(command, output_path, encoder.error);
    return 1;
  }
  Progress progress(command, !verbosity.quiet);
  RgbPicture picture;
  for (int i = 0; i < frames; ++i) {
    RenderDemoPicture(width, height, i, kFps, &picture);
    // The encoder asks for a stop between the blocks of each picture, the first included.
    if (!MovieEncoder_AddPicture(encoder, picture)) {
      progress.Finish();
      MovieWriter_Abandon(encoder.writer);
      PrintErrorUnlessStopped(command, output_path, encoder.error);
      return StatusAfterStop(command, output_path, 1);
    }
    progress.Update(i + 1, frames);
  }
  progress.Finish();
  if (!MovieEncoder_Finish(encoder) || !output.Commit(&encoder.error)) {
    PrintError(command, output_path, encoder.error);
    return 1;
  }
  if (stats) PrintEncodeStats(encoder, stats_out);
  if (!verbosity.quiet) PrintError(command, output_path, EncodeSummaryLine(encoder, kFps));
  return 0;
}

}  // namespace tarvel::tools
