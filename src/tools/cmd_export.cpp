// kqm export: decodes a movie exactly as the player presents it and writes its pictures
// and the sound the sound device would receive.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "display/scalers.h"
#include "storage/tar_package.h"
#include "tools/audio_export.h"
#include "tools/commands.h"
#include "tools/movie_pictures.h"
#include "tools/tool_common.h"
#include "video/video_decoder.h"

namespace tarvel::tools {

namespace {

struct FrameRange {
  std::int64_t first = 0;
  std::int64_t last = INT64_MAX;
};

bool ParseFrameRange(const std::string& text, FrameRange* range) {
  const auto dash = text.find('-');
  try {
    std::size_t used = 0;
    if (dash == std::string::npos) {
      range->first = range->last = std::stoll(text, &used);
      return used == text.size() && range->first >= 0;
    }
    const std::string a = text.substr(0, dash);
    const std::string b = text.substr(dash + 1);
    range->first = a.empty() ? 0 : std::stoll(a, &used);
    if (!a.empty() && used != a.size()) return false;
    range->last = b.empty() ? INT64_MAX : std::stoll(b, &used);
    if (!b.empty() && used != b.size()) return false;
    return range->first >= 0 && range->last >= range->first;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

int Cmd_Export(int argc, char** argv) {
  CLI::App app{
      "Decode a KQM6 movie as the player presents it and write its pictures and sound.\n"
      "Pictures: OUT ending in .rgb or .raw (or -) gets raw little-endian 16-bit pixels, frames\n"
      "back to back; .y4m gets YUV4MPEG2 4:4:4 (BT.601 limited range); a name with %d ending in\n"
      ".png gets one PNG per picture. Sound: .wav, .pcm/.raw (signed 16-bit little-endian) or -.",
      "kqm export"};
  std::string path, video_out, audio_out, format = "555", frames_text;
  std::string package_path;
  int passes = 1;
  int scale = 0;
  app.add_option("MOVIE", path, "the movie file")->required();
  app.add_option("--video", video_out, "where to write the pictures");
  app.add_option("--audio", audio_out, "where to write the sound");
  app.add_option("--format", format, "pixel format of raw output: 555 (the player's) or 565")
      ->check(CLI::IsMember({"555", "565"}));
  app.add_option("--frames", frames_text,
                 "write only pictures A to B (A-B, A-, A; counted from 0 over all passes)");
  app.add_option("--passes", passes, "play the movie K times, looping as the player does")
      ->check(CLI::Range(1, 1000000));
  app.add_option("--scale", scale,
                 "enlarge the pictures of a 640x480 movie to 800x600 or 1024x768, as the "
                 "player's scaled full-screen modes do")
      ->check(CLI::IsMember({800, 1024}));
  app.add_option("--package", package_path,
                 "read MOVIE out of this uncompressed tar archive instead of the file system");
  Verbosity verbosity;
  AddVerbosityOptions(app, &verbosity);
  int status = 0;
  if (!ParseCommandLine(app, argc, argv, &status)) return status;
  const std::string command = "kqm export";
  if (video_out.empty() && audio_out.empty()) {
    PrintError(command, "", "nothing to do: give --video OUT and/or --audio OUT");
    return 2;
  }
  if (video_out == "-" && audio_out == "-") {
    PrintError(command, "", "--video and --audio cannot both go to standard output");
    return 2;
  }
  FrameRange range;
  if (!frames_text.empty() && !ParseFrameRange(frames_text, &range)) {
    PrintError(command, "",
               "--frames: expected A-B, A- or A with 0 <= A <= B, got '" + frames_text + "'");
    return 2;
  }

  MovieReader reader;
  std::string error;
  TarPackage package;
  if (!package_path.empty() && !package.Load(package_path, &error)) {
    PrintError(command, package_path, error);
    return 1;
  }
  const bool opened = package_path.empty()
                          ? MovieReader_Open(reader, path, &error)
                          : MovieReader_OpenStorage(reader, package.storage(), path, &error);
  if (!opened) {
    PrintError(command, package_path.empty() ? path : package_path + ": " + path, error);
    return 1;
  }
  const MovieHeader header = reader.header;
  if (const std::string problem = PictureSizeProblem(header); !problem.empty()) {
    PrintError(command, path, problem);
    return 1;
  }
  if (scale && (header.width != kScalerSourceWidth || header.height != kScalerSourceHeight)) {
    PrintError(command, path,
               "--scale needs a 640x480 movie, this one is " + std::to_string(header.width) + "x" +
                   std::to_string(header.height));
    return 1;
  }
  const bool format565 = format == "565";
  auto decoder = VideoDecoder::Create(header.height, header.width, format565 ? 16 : 15);
  if (!decoder) {
    PrintError(command, path, "out of memory for the decoder");
    return 1;
  }

  std::unique_ptr<PictureWriter> pictures;
  if (!video_out.empty()) {
    PictureFormat picture_format;
    picture_format.width = scale ? scale : header.width;
    picture_format.height = scale ? scale * 3 / 4 : header.height;
    picture_format.format565 = format565;
    if (header.frame_duration) {
      const int g = std::gcd(200, static_cast<int>(header.frame_duration));
      picture_format.rate_numerator = 200 / g;
      picture_format.rate_denominator = header.frame_duration / g;
    }
    pictures = OpenPictureWriter(video_out, picture_format, &error);
    if (!pictures) {
      PrintError(command, video_out, error);
      return 1;
    }
  }
  std::optional<AudioExport> sound;
  if (!audio_out.empty()) {
    if (!header.sound) {
      PrintError(command, path, "the movie has no sound (its header's sound flag is clear)");
      return 1;
    }
    sound.emplace();
    sound->warn = [&](const std::string& message) { PrintError(command, path, message); };
    if (!sound->Open(audio_out, &error)) {
      PrintError(command, audio_out, error);
      return 1;
    }
    sound->Begin(header.frame_count, passes > 1);
  }

  // The scaled picture, as the player's full-screen surface would receive it.
  std::vector<std::uint16_t> scaled(scale ? static_cast<std::size_t>(scale) * scale * 3 / 4 : 0);
  std::vector<std::uint8_t> chunks;
  const std::int64_t frame_count = header.frame_count;
  Progress progress(command, !verbosity.quiet);
  // Pictures that start later in the first pass are decoded from the key frame before them,
  // which gives the same pictures (sound is always written whole).
  std::int64_t sequence = 0;
  if (!sound && range.first > 0 && range.first < frame_count)
    sequence = SeekToDecodeStart(reader, *decoder, range.first);
  // Without sound, nothing after the last picture asked for needs decoding.
  const auto finished = [&] { return !sound && sequence > range.last; };
  for (int pass = 0; pass < passes && status == 0 && !finished(); ++pass) {
    if (pass > 0 && !MovieReader_Rewind(reader)) {
      PrintError(command, path, "cannot seek back to the first frame");
      status = 1;
      break;
    }
    for (std::int64_t index = pass == 0 ? sequence : 0; index < frame_count && !finished();
         ++index, ++sequence) {
      const FrameRead result = MovieReader_Next(reader, chunks);
      if (result != FrameRead::kOk) {
        if (result == FrameRead::kEnd)
          PrintError(command, path,
                     "the movie data ends after " + std::to_string(index) + " of " +
                         std::to_string(frame_count) + " frames");
        else
          PrintError(command, path,
                     "frame " + std::to_string(index) + ": " + FrameReadText(result));
        status = 1;
        break;
      }
      LoadedFrame frame{chunks.data(), static_cast<std::uint32_t>(chunks.size())};
      if (const int decoded = DecodeFramePicture(*decoder, frame); decoded != kPictureDecoded)
        PrintError(command, path, PictureWarning(decoded, index));
      const std::uint16_t* output = decoder->Picture().pixels;
      const bool wanted = pictures && sequence >= range.first && sequence <= range.last;
      if (wanted && scale) {
        auto* destination = reinterpret_cast<std::uint8_t*>(scaled.data());
        const auto width = static_cast<std::uint32_t>(scale);
        if (scale == 800)
          (format565 ? ScaleTo800_565 : ScaleTo800_555)(output, destination, width);
        else
          (format565 ? ScaleTo1024_565 : ScaleTo1024_555)(output, destination, width);
      }
      if (wanted && !pictures->Write(scale ? scaled.data() : output, sequence, &error)) {
        PrintError(command, video_out, error);
        status = 1;
        break;
      }
      if (sound && !sound->AddFrame(pass, static_cast<int>(index), frame, &error)) {
        PrintError(command, path, error);
        status = 1;
        break;
      }
      progress.Update(sequence + 1, frame_count * passes);
    }
  }
  progress.Finish();
  MovieReader_Close(reader);
  if (pictures && !pictures->Finish(&error)) {
    PrintError(command, video_out, error);
    status = 1;
  }
  if (sound && !sound->Finish(&error)) {
    PrintError(command, audio_out, error);
    status = 1;
  }
  return status;
}

}  // namespace tarvel::tools
