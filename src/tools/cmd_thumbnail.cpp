// kqm thumbnail: a small picture of a movie for file managers. Several pictures spread over the
// first three quarters of the movie are decoded and the one with the widest range of tones is
// kept, so that a movie opening on black still gets a picture worth showing.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "container/movie_reader.h"
#include "encoder/rgb_picture.h"
#include "platform/stop_signals.h"
#include "tools/commands.h"
#include "tools/movie_pictures.h"
#include "tools/tool_common.h"

namespace tarvel::tools {

namespace {

// Where the candidates sit: frame count * k / 8 for k = 1..6.
constexpr int kCandidateEighths = 6;

// How much there is to see in a picture: the entropy, in bits, of its brightness histogram
// (64 levels). A black or single-colour picture scores 0; a picture using many tones scores up
// to 6.
double ToneEntropy(const RgbPicture& picture) {
  std::array<std::int64_t, 64> histogram{};
  const std::size_t count = picture.rgb.size() / 3;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = &picture.rgb[3 * i];
    const int luma = (77 * p[0] + 150 * p[1] + 29 * p[2]) >> 8;
    ++histogram[static_cast<std::size_t>(luma >> 2)];
  }
  double entropy = 0;
  for (const std::int64_t n : histogram) {
    if (n == 0) continue;
    const double share = static_cast<double>(n) / static_cast<double>(count);
    entropy -= share * std::log2(share);
  }
  return entropy;
}

// The frames worth looking at, in increasing order, for a movie of `frames` frames.
std::vector<std::int64_t> CandidateFrames(std::int64_t frames) {
  std::vector<std::int64_t> candidates;
  for (int k = 1; k <= kCandidateEighths; ++k) {
    const std::int64_t index = frames * k / 8;
    if (candidates.empty() || candidates.back() != index) candidates.push_back(index);
  }
  return candidates;
}

// The thumbnail's size: the longest side `longest`, the other in proportion (at least 1).
void ThumbnailSize(int width, int height, int longest, int* out_width, int* out_height) {
  const auto scaled = [&](int side, int other) {
    return std::max(1, static_cast<int>(std::lround(static_cast<double>(side) * longest / other)));
  };
  *out_width = width >= height ? longest : scaled(width, height);
  *out_height = width >= height ? scaled(height, width) : longest;
}

}  // namespace

int Cmd_Thumbnail(int argc, char** argv) {
  CLI::App app{
      "Write a PNG thumbnail of a movie: a representative picture (not a dark or empty one where\n"
      "the movie has better), its aspect kept, its longest side --size pixels. File managers run\n"
      "it through the installed tarvel.thumbnailer.",
      "kqm thumbnail"};
  std::string path, out_path;
  int size = 256;
  app.add_option("MOVIE", path, "the movie file")->required();
  app.add_option("OUT", out_path, "the PNG file to write, or - for standard output")->required();
  app.add_option("-s,--size", size, "the thumbnail's longest side in pixels (default 256)")
      ->transform(WholeRange(1, 4096));
  Verbosity verbosity;
  AddVerbosityOptions(app, &verbosity, "which frame the thumbnail shows, and why");
  int status = 0;
  if (!ParseCommandLine(app, argc, argv, &status)) return status;
  const std::string command = "kqm thumbnail";
  if (!CheckOutputsApart(command, {{"MOVIE", path}}, {{"OUT", out_path}})) return kExitUsage;
  // Ctrl-C or kill (a file manager giving up on a slow thumbnail) stops the work before the
  // picture is written; once its writing has begun, it is finished, so that no half PNG or
  // hidden temporary file is left behind.
  StopSignals_Install();
  MovieReader reader;
  if (!OpenMovieForPictures(reader, command, path)) return 1;
  const MovieHeader header = reader.header;

  // First walk: which frames are there, where, and which are key frames (where decoding may
  // start, if the key frame's picture does not read what the frames before left behind).
  std::vector<std::uint8_t> chunks;
  std::vector<bool> key_frame;
  std::vector<std::int64_t> offsets;
  FrameRead failed = FrameRead::kOk;
  bool blind = false;  // a frame without a picture, where playback stops
  // It reads every byte of the movie: a long while for a large one on a slow disk.
  while (static_cast<std::int64_t>(key_frame.size()) < header.frame_count &&
         StopSignals_Received() == 0) {
    const std::int64_t offset = reader.position;
    if (failed = MovieReader_Next(reader, chunks); failed != FrameRead::kOk) break;
    std::int32_t length = 0;
    const std::uint8_t* picture =
        Frame_FindChunk({chunks.data(), static_cast<std::uint32_t>(chunks.size())}, "IX", &length);
    blind = picture == nullptr;
    if (blind) break;
    key_frame.push_back(PictureChunk_IsKey(picture, length));
    offsets.push_back(offset);
  }
  if (StopSignals_Received() != 0) return StatusAfterStop(command, out_path, 0);
  const auto frames = static_cast<std::int64_t>(key_frame.size());
  if (failed != FrameRead::kOk || blind) {
    // A movie cut short, or whose playback stops early, still has a picture worth showing among
    // the frames it shows.
    const std::string problem =
        blind ? "frame " + std::to_string(frames) + ": no picture chunk; playback stops there"
              : FrameReadProblem(failed, frames, header.frame_count);
    PrintError(command, path,
               frames == 0 ? problem
               : blind     ? problem + ", so the thumbnail is chosen among the frames before"
                           : problem + "; the thumbnail is chosen among the frames before");
    if (frames == 0) return 1;
  }
  if (frames == 0) {
    PrintError(command, path, "the movie has no frame to make a thumbnail from");
    return 1;
  }
  const std::vector<std::int64_t> candidates = CandidateFrames(frames);

  auto decoder = VideoDecoder::Create(header.height, header.width, 15);
  if (!decoder) {
    PrintError(command, path, "out of memory for the decoder");
    return 1;
  }
  RgbPicture thumbnail;
  double best_score = -1;
  std::int64_t best_index = -1;
  int width = 0, height = 0;
  ThumbnailSize(header.width, header.height, size, &width, &height);
  try {
    // Second walk: each candidate is decoded from the last key frame since the candidate before
    // it that decodes alone, or else on from that candidate (the very first from the start, both
    // pictures zero).
    std::vector<bool> decode(static_cast<std::size_t>(candidates.back()) + 1, false);
    std::int64_t previous = -1;
    for (const std::int64_t target : candidates) {
      std::int64_t start = target;
      // Each key frame tried is decoded twice over, a while for large pictures, and a movie of
      // many key frames that need the frames before them tries thousands.
      while (start > previous + 1 && StopSignals_Received() == 0 &&
             !(key_frame[static_cast<std::size_t>(start)] &&
               KeyFrameDecodesAlone(reader, *decoder, offsets[static_cast<std::size_t>(start)])))
        --start;
      std::fill(decode.begin() + start, decode.begin() + target + 1, true);
      previous = target;
    }
    if (StopSignals_Received() != 0) return StatusAfterStop(command, out_path, 0);
    decoder->Reset();
    if (!MovieReader_Rewind(reader)) {
      PrintError(command, path, "cannot seek back to the first frame");
      return 1;
    }
    RgbPicture best, candidate;
    std::size_t next = 0;
    for (std::int64_t index = 0; index <= candidates.back(); ++index) {
      if (StopSignals_Received() != 0) return StatusAfterStop(command, out_path, 0);
      // A movie cut or copied over since the first walk gives no thumbnail: the pictures
      // would be chosen among frames that are gone, or decoded from another movie's bytes.
      const auto at = static_cast<std::size_t>(index);
      if (!ReadFrameAgain(reader, offsets[at], at + 1 < offsets.size() ? offsets[at + 1] : -1,
                          chunks)) {
        MovieReader_Close(reader);
        PrintError(command, path, FrameMovedProblem(index));
        return 1;
      }
      if (!decode[static_cast<std::size_t>(index)]) continue;
      const int decoded =
          DecodeFramePicture(*decoder, {chunks.data(), static_cast<std::uint32_t>(chunks.size())});
      if (decoded != kPictureDecoded) PrintError(command, path, PictureWarning(decoded, index));
      if (index != candidates[next]) continue;
      ++next;
      PixelsToRgbPicture(decoder->Picture().pixels, header.width, header.height, false, &candidate);
      // Ties keep the earlier picture.
      const double score = ToneEntropy(candidate);
      if (score > best_score) {
        best_score = score;
        best_index = index;
        std::swap(best, candidate);
      }
    }
    if (best_score >= 0) FitPicture(best, width, height, true, &thumbnail);
  } catch (const std::bad_alloc&) {
    // The largest pictures take 128 MB each to decode and 200 MB as 8-bit colour, which a memory
    // limit may not leave.
    MovieReader_Close(reader);
    PrintError(command, path,
               "not enough memory for the thumbnail of its " + std::to_string(header.width) + "x" +
                   std::to_string(header.height) + " pictures");
    return 1;
  }
  MovieReader_Close(reader);
  if (best_score < 0) {
    PrintError(command, path, "the movie's frames could not be read again");
    return 1;
  }

  if (StopSignals_Received() != 0) return StatusAfterStop(command, out_path, 0);
  std::string error;
  if (!WritePng(out_path, width, height, thumbnail.rgb.data(), &error)) {
    // A stop that ended a wait for a pipe's reader is a stop before the picture was written.
    if (StopSignals_Received() != 0) return StatusAfterStop(command, out_path, 1);
    PrintError(command, out_path, error);
    return 1;
  }
  if (verbosity.verbose) {
    char bits[32];
    std::snprintf(bits, sizeof bits, "%.2f", best_score);
    PrintError(command, out_path,
               "frame " + std::to_string(best_index) + " of " + std::to_string(frames) +
                   ", the widest range of tones of " +
                   Counted(static_cast<std::int64_t>(candidates.size()), "picture") +
                   " looked at (" + bits + " bits)");
  }
  return 0;
}

}  // namespace tarvel::tools
