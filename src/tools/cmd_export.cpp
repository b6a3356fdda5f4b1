// kqm export: decodes a movie exactly as the player presents it and writes its pictures
// and the sound the sound device would receive.
#include <CLI/CLI.hpp>

#include <cstring>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "display/scalers.h"
#include "platform/stop_signals.h"
#include "storage/tar_package.h"
#include "tools/audio_export.h"
#include "tools/commands.h"
#include "tools/movie_pictures.h"
#include "tools/tool_common.h"
#include "video/video_decoder.h"

namespace tarvel::tools {

namespace {

const char kCommand[] = "kqm export";

struct FrameRange {
  std::int64_t first = 0;
  std::int64_t last = INT64_MAX;
};

bool ParseFrameRange(const std::string& text, FrameRange* range) {
  const auto dash = text.find('-');
  try {
    std::size_t used = 0;
    // Decimal digits on either side of the dash: the parser would also take "+5" and spaces.
    if (!IsDecimalDigits(text.substr(0, dash), dash != std::string::npos) ||
        (dash != std::string::npos && !IsDecimalDigits(text.substr(dash + 1), true)))
      return false;
    if (dash == std::string::npos) {
      range->first = range->last = std::stoll(text, &used);
      return used == text.size() && range->first >= 0;
    }
    const std::string a = text.substr(0, dash);
    const std::string b = text.substr(dash + 1);
    if (a.empty() && b.empty()) return false;
    range->first = a.empty() ? 0 : std::stoll(a, &used);
    if (!a.empty() && used != a.size()) return false;
    range->last = b.empty() ? INT64_MAX : std::stoll(b, &used);
    if (!b.empty() && used != b.size()) return false;
    return range->first >= 0 && range->last >= range->first;
  } catch (const std::exception&) {
    return false;
  }
}

struct ExportOptions {
  std::string path, video_out, audio_out, format = "555", frames_text, package_path;
  std::string name;  // the movie in messages
  std::string audio_length = "device";
  int passes = 1;
  // --passes given, even 1: the movie loops as the player's does, so that the last 31 frames
  // send the device the opening sound again, as `kqm play --passes K` does.
  bool looping = false;
  int scale = 0;
  FrameRange range;
  Verbosity verbosity;
};

// The command line. False when the command is not to run, with the exit status in `status`.
bool ReadOptions(int argc, char** argv, ExportOptions& o, int* status) {
  CLI::App app{
      "Decode a KQM6 movie as the player presents it and write its pictures and sound.\n"
      "Pictures: OUT ending in .rgb or .raw (or -) gets raw little-endian 16-bit pixels, frames\n"
      "back to back; .y4m gets YUV4MPEG2 4:4:4 (BT.601 limited range); a name with %d ending in\n"
      ".png gets one PNG per picture. Sound: .wav, .pcm/.raw (signed 16-bit little-endian) or -.\n"
      "Ctrl-C stops the export with what was done written whole (into a pipe whose reader has\n"
      "taken nothing for a second, or two seconds after the stop, cut where it stands).",
      kCommand};
  app.add_option("MOVIE", o.path, "the movie file")->required();
  app.add_option("--video", o.video_out, "where to write the pictures");
  auto* audio = app.add_option("--audio", o.audio_out, "where to write the sound");
  app.add_option("--audio-length", o.audio_length,
                 "device: all the sound the sound device receives (the default; it runs 31 "
                 "frame periods past the last picture); pictures: only the sound that plays "
                 "while the pictures show, for muxing with them")
      ->check(CLI::IsMember({"device", "pictures"}))
      ->needs(audio);
  app.add_option("--format", o.format,
                 "pixel format to decode to: 555 (the player's) or 565, whose 6-bit green the "
                 "y4m and PNG pictures widen too")
      ->check(CLI::IsMember({"555", "565"}));
  app.add_option("--frames", o.frames_text,
                 "write only pictures A to B (A-B, A-, A; counted from 0 over all passes), "
                 "and with --audio-length pictures only their sound");
  app.add_option("--passes", o.passes, "play the movie K times, looping as the player does")
      ->transform(WholeRange(1, 1000000));
  AddScaleAndPackageOptions(app, &o.scale, &o.package_path);
  AddVerbosityOptions(app, &o.verbosity,
                      "a last line: how many pictures and bytes of sound were written");
  if (!ParseCommandLine(app, argc, argv, status)) return false;
  o.looping = app.count("--passes") > 0;
  *status = kExitUsage;
  if (o.video_out.empty() && o.audio_out.empty()) {
    PrintError(kCommand, "", "nothing to do: give --video OUT and/or --audio OUT");
    return false;
  }
  if (app.count("--frames") > 0 && !ParseFrameRange(o.frames_text, &o.range)) {
    PrintError(kCommand, "",
               "--frames: expected A-B, A- or A with 0 <= A <= B, got '" + o.frames_text + "'");
    return false;
  }
  // A name of no form written is the command line's fault, said before the movie is read.
  const auto refuse = [](const std::string& out, const std::string& problem) {
    if (!problem.empty()) PrintError(kCommand, out, problem);
    return !problem.empty();
  };
  if ((!o.video_out.empty() && refuse(o.video_out, PictureOutputProblem(o.video_out))) ||
      (!o.audio_out.empty() && refuse(o.audio_out, AudioExport::OutputProblem(o.audio_out))))
    return false;
  const bool sequence = EndsWithNoCase(o.video_out, ".png");
  if (!CheckMovieOutputsApart(kCommand, o.path, o.package_path,
                              {{"--video", o.video_out, sequence}, {"--audio", o.audio_out}}))
    return false;
  o.name = MovieInMessages(o.path, o.package_path);
  *status = 0;
  return true;
}

// One export: the movie, its decoder and the outputs.
struct ExportJob {
  explicit ExportJob(const ExportOptions& options) : o(options) {}
  const ExportOptions& o;
  TarPackage package;
  MovieReader reader;
  MovieHeader header;
  std::unique_ptr<VideoDecoder> decoder;
  std::unique_ptr<PictureWriter> pictures;
  std::optional<AudioExport> sound;
  std::vector<std::uint16_t> scaled;  // as the player's full-screen surface receives it
  std::int64_t sequence = 0;          // frames gone through, over all passes
  std::int64_t pictures_written = 0;
  bool output_failed = false;  // a write failed: the command fails, and no output is kept
};

// The movie and its decoder, checked against the options. 0, or the exit status after the
// error line.
int OpenMovie(ExportJob& job) {
  const ExportOptions& o = job.o;
  std::string error;
  if (!LoadPackage(job.package, o.package_path, kCommand)) return kExitFailure;
  const bool opened = o.package_path.empty()
                          ? MovieReader_Open(job.reader, o.path, &error)
                          : MovieReader_OpenStorage(job.reader, job.package.storage(),
                                                    PackageMemberName(o.path), &error);
  if (!opened && !o.package_path.empty() && error == kNotInPackage) {
    PrintError(kCommand, o.path,
               NotInPackageProblem(job.package, PackageMemberName(o.path), o.package_path));
    return kExitFailure;
  }
  if (!opened) {
    PrintError(kCommand, o.name, error);
    return kExitFailure;
  }
  const MovieHeader& header = job.header = job.reader.header;
  if (error = PictureSizeProblem(header); !error.empty()) {
    PrintError(kCommand, o.name, error);
    return kExitFailure;
  }
  if (header.frame_count == 0) {
    PrintError(kCommand, o.name, kNoFramesProblem);
    return kExitFailure;
  }
  if (o.scale && (header.width != kScalerSourceWidth || header.height != kScalerSourceHeight)) {
    PrintError(kCommand, o.name,
               "--scale needs a 640x480 movie, this one is " + std::to_string(header.width) + "x" +
                   std::to_string(header.height));
    return kExitFailure;
  }
  const std::int64_t total = std::int64_t{header.frame_count} * o.passes;
  if ((!o.video_out.empty() || o.audio_length == "pictures") && o.range.first >= total) {
    PrintError(kCommand, o.name,
               "--frames " + o.frames_text + ": the export has " + std::to_string(total) +
                   " pictures" + (total > 0 ? " (0-" + std::to_string(total - 1) + ")" : ""));
    return kExitUsage;
  }
  job.decoder = VideoDecoder::Create(header.height, header.width, o.format == "565" ? 16 : 15);
  if (job.decoder) return 0;
  PrintError(kCommand, o.name, "out of memory for the decoder");
  return kExitFailure;
}

// Whether the movie has sound that can be exported; false after the error line. Frame 0 is
// read for it, and the reader left at the start again.
bool CheckSound(ExportJob& job) {
  const std::string& movie = job.o.name;
  if (!job.header.sound) {
    PrintError(kCommand, movie, "the movie has no sound (its header's sound flag is clear)");
    return false;
  }
  std::vector<std::uint8_t> chunks;
  std::string error;
  // A frame 0 that cannot be read is left for the export to report, as any other frame.
  if (MovieReader_Next(job.reader, chunks) == FrameRead::kOk &&
      !AudioExport::CanStart({chunks.data(), static_cast<std::uint32_t>(chunks.size())}, &error)) {
    PrintError(kCommand, movie, error);
    return false;
  }
  if (MovieReader_Rewind(job.reader)) return true;
  PrintError(kCommand, movie, "cannot seek back to the first frame");
  return false;
}

bool OpenOutputs(ExportJob& job) {
  const ExportOptions& o = job.o;
  const MovieHeader& header = job.header;
  std::string error;
  // The sound is checked before anything is written: a movie whose sound cannot be exported is
  // refused whole, not after its first picture.
  if (!o.audio_out.empty() && !CheckSound(job)) return false;
  if (!o.video_out.empty()) {
    PictureFormat format;
    format.width = o.scale ? o.scale : header.width;
    format.height = o.scale ? o.scale * 3 / 4 : header.height;
    format.format565 = o.format == "565";
    if (header.frame_duration) {
      const int g = std::gcd(200, static_cast<int>(header.frame_duration));
      format.rate_numerator = 200 / g;
      format.rate_denominator = header.frame_duration / g;
    }
    if (o.scale) job.scaled.resize(static_cast<std::size_t>(format.width) * format.height);
    job.pictures = OpenPictureWriter(o.video_out, format, &error);
    if (!job.pictures) {
      PrintErrorUnlessStopped(kCommand, o.video_out, error);
      return false;
    }
  }
  if (o.audio_out.empty()) return true;
  AudioExport& sound = job.sound.emplace();
  sound.warn = [&job](const std::string& message) { PrintError(kCommand, job.o.name, message); };
  if (!sound.Open(o.audio_out, &error)) {
    PrintErrorUnlessStopped(kCommand, o.audio_out, error);
    return false;
  }
  sound.Begin(header.frame_count, o.looping, o.audio_length == "pictures");
  return true;
}

// Writes frame `index`'s picture (when asked for) and sound. False after the error line.
bool ExportFrame(ExportJob& job, int pass, std::int64_t index, LoadedFrame frame) {
  const ExportOptions& o = job.o;
  std::string error;
  const std::int64_t sequence = job.sequence;
  const bool in_range = sequence >= o.range.first && sequence <= o.range.last;
  if (job.pictures && in_range) {
    const std::uint16_t* output = job.decoder->Picture().pixels;
    if (o.scale) {
      auto* destination = reinterpret_cast<std::uint8_t*>(job.scaled.data());
      const auto width = static_cast<std::uint32_t>(o.scale);
      const bool format565 = o.format == "565";
      if (o.scale == 800)
        (format565 ? ScaleTo800_565 : ScaleTo800_555)(output, destination, width);
      else
        (format565 ? ScaleTo1024_565 : ScaleTo1024_555)(output, destination, width);
      output = job.scaled.data();
    }
    if (!job.pictures->Write(output, sequence, &error)) {
      // A stop that ended a wait for a pipe's reader is no failure of the output.
      if (StopSignals_Received() != 0) return false;
      PrintError(kCommand, o.video_out, error);
      job.output_failed = true;
      return false;
    }
    job.pictures_written += 1;
  }
  if (job.sound && !job.sound->AddFrame(pass, static_cast<int>(index), frame, &error, in_range)) {
    if (job.sound->output_failed() && StopSignals_Received() != 0) return false;
    job.output_failed = job.sound->output_failed();
    PrintError(kCommand, job.output_failed ? o.audio_out : o.name, error);
    return false;
  }
  return true;
}

// Goes through the frames of every pass, as the player plays them, until the end, a frame the
// player would stop at, or a stop signal. The exit status.
int ExportFrames(ExportJob& job) {
  const ExportOptions& o = job.o;
  const std::int64_t frame_count = job.header.frame_count;
  std::vector<std::uint8_t> chunks;
  std::vector<bool> warned(static_cast<std::size_t>(frame_count), false);
  Progress progress(kCommand, !o.verbosity.quiet);
  // Pictures that start later in the first pass are decoded from the key frame before them,
  // which gives the same pictures (sound is always written whole).
  if (!job.sound && o.range.first > 0 && o.range.first < frame_count)
    job.sequence = SeekToDecodeStart(job.reader, *job.decoder, o.range.first);
  // Without sound, nothing after the last picture asked for needs decoding.
  // All the sound the device receives goes on to the end; the pictures and their sound end with
  // the range.
  const auto finished = [&] {
    return (!job.sound || o.audio_length == "pictures") && job.sequence > o.range.last;
  };
  for (int pass = 0; pass < o.passes && !finished(); ++pass) {
    if (pass > 0 && !MovieReader_Rewind(job.reader)) {
      PrintError(kCommand, o.name, "cannot seek back to the first frame");
      return kExitFailure;
    }
    for (std::int64_t index = pass == 0 ? job.sequence : 0; index < frame_count && !finished();
         ++index, ++job.sequence) {
      if (StopSignals_Received() != 0) return ExitStatusOfSignal(StopSignals_Received());
      const FrameRead result = MovieReader_Next(job.reader, chunks);
      if (result != FrameRead::kOk) {
        PrintError(kCommand, o.name, FrameReadProblem(result, index, frame_count));
        return kExitFailure;
      }
      const LoadedFrame frame{chunks.data(), static_cast<std::uint32_t>(chunks.size())};
      const int decoded = DecodeFramePicture(*job.decoder, frame);
      if (decoded == kPictureMissing) {
        // The player's frame step stops there too, with the last picture standing.
        PrintError(kCommand, o.name,
                   "frame " + std::to_string(index) +
                       ": no picture chunk; playback stops there, so the export does too");
        return kExitFailure;
      }
      // Each pass decodes the same data the same way: a frame is warned about once.
      if (decoded != kPictureDecoded && !warned[static_cast<std::size_t>(index)]) {
        warned[static_cast<std::size_t>(index)] = true;
        PrintError(kCommand, o.name, PictureWarning(decoded, index));
      }
      if (!ExportFrame(job, pass, index, frame))
        return StopSignals_Received() != 0 ? ExitStatusOfSignal(StopSignals_Received())
                                           : kExitFailure;
      progress.Update(job.sequence + 1, frame_count * o.passes);
    }
  }
  return 0;
}

// Puts what was written in place; the exit status, given that of the frames. Once an output
// could not be written the export has failed, and the other output is removed too.
int FinishOutputs(ExportJob& job, int status) {
  std::string error;
  // A movie that failed before anything was exported leaves nothing behind, as any failed
  // command; what was exported before a later fault is kept.
  if (status != 0 && StopSignals_Received() == 0) {
    if (job.pictures_written == 0) job.pictures.reset();
    if (job.sound && job.sound->pcm_bytes() == 0) job.sound.reset();
  }
  // The sound is whole, on the disk, before the pictures take their name: a sound that fails
  // there (a full disk at its last write) leaves the file the pictures would replace as it was.
  if (job.sound && !job.output_failed && !job.sound->Complete(&error)) {
    PrintError(kCommand, job.o.audio_out, error);
    job.output_failed = true;
  }
  if (job.pictures && !job.output_failed && !job.pictures->Finish(&error)) {
    PrintError(kCommand, job.o.video_out, error);
    job.output_failed = true;
  }
  if (job.output_failed) {
    job.pictures.reset();
    job.sound.reset();
    status = kExitFailure;
  }
  if (job.sound && !job.sound->Finish(&error)) {
    PrintError(kCommand, job.o.audio_out, error);
    status = kExitFailure;
  }
  const int signal = StopSignals_Received();
  if ((signal != 0 && !job.o.verbosity.quiet) || (status == 0 && job.o.verbosity.verbose)) {
    std::string done = (signal != 0 ? "stopped by " + StopSignalName(signal) + " after " : "") +
                       Counted(job.sequence, "frame") + ": " +
                       Counted(job.pictures_written, "picture");
    if (!job.o.audio_out.empty())
      done += " and " + std::to_string(job.sound ? job.sound->pcm_bytes() : 0) + " bytes of sound";
    PrintError(kCommand, job.o.name, done + " written");
  }
  return status;
}

}  // namespace

int Cmd_Export(int argc, char** argv) {
  ExportOptions options;
  int status = 0;
  if (!ReadOptions(argc, argv, options, &status)) return status;
  StopSignals_Install();
  ExportJob job(options);
  if (status = OpenMovie(job); status != 0) return status;
  if (!OpenOutputs(job)) {
    if (StopSignals_Received() == 0) return kExitFailure;
    // A stop while an output waits for its reader ends the export before its first frame, and
    // keeps none of its outputs: one opened before would put an empty file in place of the
    // file of its name, and only when it comes first.
    job.pictures.reset();
    job.sound.reset();
    return FinishOutputs(job, ExitStatusOfSignal(StopSignals_Received()));
  }
  try {
    status = ExportFrames(job);
  } catch (const std::bad_alloc&) {
    // The largest pictures take hundreds of megabytes in the output's own form (a y4m picture of
    // 8192x8192 is 192 MB), which a memory limit may not leave. What was written before is kept,
    // as after any other fault.
    PrintError(kCommand, options.name,
               "not enough memory to export its " + std::to_string(job.header.width) + "x" +
                   std::to_string(job.header.height) + " pictures (at frame " +
                   std::to_string(job.sequence) + ")");
    status = kExitFailure;
  }
  MovieReader_Close(job.reader);
  return FinishOutputs(job, status);
}

}  // namespace tarvel::tools
