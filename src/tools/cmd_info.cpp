// kqm info: what a movie's header says and what a walk of its frames finds.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "container/frame_info.h"
#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "platform/terminal.h"
#include "platform/utf8.h"
#include "tools/commands.h"
#include "tools/movie_sound_info.h"
#include "tools/tool_common.h"

namespace tarvel::tools {

namespace {

// Frames by their picture, and chunk payload bytes by their kind.
enum PictureKind { kKeyPicture, kDeltaPicture, kNoPicture };
enum ChunkKind { kVideoChunk, kAudioChunk, kOtherChunk };

struct WalkSummary {
  std::int64_t frames_present = 0;
  std::int64_t extra_frames = 0;            // frames after the header's count
  std::int64_t frames[3] = {};              // by PictureKind
  std::int64_t first_without_picture = -1;  // where playback stops
  std::int64_t bytes[3] = {};               // by ChunkKind
  std::map<std::string, std::int64_t> tags;
  std::vector<std::uint8_t> first_audio;  // frame 0's audio chunk payload
  bool first_audio_found = false;
  std::string problem;  // why the walk stopped early, empty if it did not
  // Bytes after the header's frames that are not a whole frame: never read by playback.
  std::int64_t trailing_bytes = 0;
  std::string trailing_note;
  // Frames whose chunk list ends in bytes the walk cannot take as a chunk (playback skips them
  // too), and what the first one is.
  std::int64_t frames_with_tail = 0;
  std::string tail_note;
};

// Called for each frame the header counts as the walk reaches it, with --frames: its index, where
// it is and its picture, and its chunks' tags, two bytes each. A frame is listed as it is read,
// so that a movie of millions of chunks takes no more room than its largest frame.
using FrameVisitor = std::function<void(std::int64_t, const FrameInfo&, const std::string&)>;

PictureKind KindOf(const FrameInfo& frame) {
  return !frame.has_picture ? kNoPicture : frame.key() ? kKeyPicture : kDeltaPicture;
}

std::string TagText(const std::uint8_t* tag) {
  std::string text;
  for (int i = 0; i < 2; ++i) {
    const char c = static_cast<char>(tag[i]);
    if (c >= 0x20 && c < 0x7F) {
      text += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", tag[i]);
      text += hex;
    }
  }
  return text;
}

// Walks the frames from where `reader` stands; a walk that lists them (`visit` set) ends with
// the header's frames.
WalkSummary Walk(MovieReader& reader, const FrameVisitor& visit = nullptr) {
  WalkSummary summary;
  std::vector<std::uint8_t> chunks;
  std::string tags;
  const std::int64_t declared = reader.header.frame_count;
  for (std::int64_t index = 0;; ++index) {
    const std::int64_t offset = reader.position;
    // Frames after the header's count are never played: their words are enough to count them,
    // so that gigabytes after the movie are passed over rather than read.
    const FrameRead result =
        index < declared ? MovieReader_Next(reader, chunks) : MovieReader_Skip(reader);
    if (result == FrameRead::kEnd) break;
    if (result != FrameRead::kOk && index >= declared) {
      summary.trailing_bytes = reader.file_length - offset;
      summary.trailing_note = std::to_string(summary.trailing_bytes) +
                              " bytes after the header's " + std::to_string(declared) +
                              " frames are not a whole frame (" + FrameReadText(result) +
                              "); playback never reads them";
      break;
    }
    if (result != FrameRead::kOk) {
      summary.problem = "frame " + std::to_string(index) + ": " + FrameReadText(result);
      break;
    }
    if (index >= declared) {
      if (visit) break;
      ++summary.extra_frames;
      continue;
    }
    ++summary.frames_present;
    const LoadedFrame frame{chunks.data(), static_cast<std::uint32_t>(chunks.size())};
    const FrameInfo info = Frame_Describe(frame, offset, reader.last_frame_size);
    ++summary.frames[KindOf(info)];
    if (!info.has_picture && summary.first_without_picture < 0)
      summary.first_without_picture = index;
    if (index == 0 && info.has_sound) {
      summary.first_audio.assign(frame.data + info.sound_offset,
                                 frame.data + info.sound_offset + info.sound_length);
      summary.first_audio_found = true;
    }
    const std::uint32_t consumed = Frame_WalkChunks(frame, [&](const ChunkView& chunk) {
      const std::string tag = TagText(chunk.tag);
      ++summary.tags[tag];
      if (visit) tags.append(reinterpret_cast<const char*>(chunk.tag), 2);
      const ChunkKind kind = tag == "IX"                  ? kVideoChunk
                             : tag == "AA" || tag == "BB" ? kAudioChunk
                                                          : kOtherChunk;
      summary.bytes[kind] += chunk.payload_length;
      return true;
    });
    if (consumed < frame.length && summary.frames_with_tail++ == 0)
      summary.tail_note =
          "frame " + std::to_string(index) + ": a chunk's size runs past the end of its frame (" +
          std::to_string(frame.length - consumed) + " bytes not walked; playback skips them too)";
    if (visit) {
      visit(index, info, tags);
      tags.clear();
    }
  }
  return summary;
}

// A JSON string: quotes, backslashes and control characters escaped, and each byte that is not
// part of well-formed UTF-8 (a file name can hold any bytes) replaced by U+FFFD, so that the
// output is always valid UTF-8. DEL and the C1 controls U+0080 to U+009F are escaped too: written
// raw, U+009B reached a terminal showing the facts as the start of a command, as in messages.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    const std::size_t length = Utf8_SequenceLength(text, at);
    if (length == 0) {
      out += "\\ufffd";
      at += 1;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (Utf8_IsControl(text, at)) {
      // After 0xC2, the second byte of U+0080 to U+00BF is the character's own value.
      const unsigned code =
          length == 2 ? static_cast<unsigned char>(text[at + 1]) : static_cast<unsigned char>(c);
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", code);
      out += hex;
    } else {
      out.append(text, at, length);
    }
    at += length;
  }
  return out + "\"";
}

const char* FrameType(const FrameInfo& frame) {
  static const char* const kNames[] = {"key", "delta", "none"};
  return kNames[KindOf(frame)];
}

// The tag at `at` of a frame's tags, as the summary writes it.
std::string TagAt(const std::string& tags, std::size_t at) {
  return TagText(reinterpret_cast<const std::uint8_t*>(tags.data() + at));
}

// A tag as the text report writes it, among words parted by spaces: a space in it as \x20 (a
// tag of two spaces read as no word at all, and the words of the line as tag and count fell
// out of step).
std::string WordTag(const std::string& tag) {
  std::string word;
  for (const char c : tag) word += c == ' ' ? std::string("\\x20") : std::string(1, c);
  return word;
}

void PrintFrameJson(std::int64_t index, const FrameInfo& frame, const std::string& tags) {
  std::printf(
      "%s{\"index\":%lld,\"offset\":%lld,\"size\":%u,\"type\":\"%s\",\"quality\":%lld,"
      "\"chunks\":[",
      index ? "," : "", static_cast<long long>(index), static_cast<long long>(frame.offset),
      frame.size, FrameType(frame), static_cast<long long>(frame.quality()));
  for (std::size_t at = 0; at < tags.size(); at += 2)
    std::printf("%s%s", at ? "," : "", JsonString(TagAt(tags, at)).c_str());
  std::fputs("]}", stdout);
}

void PrintFrameRow(std::int64_t index, const FrameInfo& frame, const std::string& tags) {
  std::printf("%7lld %12lld %9u %-6s %8lld  ", static_cast<long long>(index),
              static_cast<long long>(frame.offset), frame.size, FrameType(frame),
              static_cast<long long>(frame.quality()));
  for (std::size_t at = 0; at < tags.size(); at += 2)
    std::printf("%s%s", at ? " " : "", WordTag(TagAt(tags, at)).c_str());
  std::fputs("\n", stdout);
}

// Lists the frames in a walk of their own, once the summary is out.
void ListFrames(MovieReader& reader, const FrameVisitor& row) {
  if (MovieReader_Rewind(reader)) Walk(reader, row);
}

}  // namespace

int Cmd_Info(int argc, char** argv) {
  CLI::App app{
      "Show a KQM6 movie's header fields, what a walk of its frames finds and its sound stream.",
      "kqm info"};
  std::string path;
  bool json = false;
  app.add_option("MOVIE", path, "the movie file (.kqm, .kqs)")->required();
  app.add_flag("--json", json, "print the facts as one JSON object");
  bool frames = false;
  app.add_flag("--frames", frames,
               "list every frame: its index, file offset, size, key or delta picture, quality "
               "and chunk tags");
  Verbosity verbosity;
  AddVerbosityOptions(app, &verbosity);
  int status = 0;
  if (!ParseCommandLine(app, argc, argv, &status)) return status;

  MovieReader reader;
  std::string error;
  if (!MovieReader_Open(reader, path, &error)) {
    PrintError("kqm info", path, error);
    return 1;
  }
  const MovieHeader& header = reader.header;
  // Worked out from the header's 1/200 s steps in double precision: a float rate is off in its
  // eighth digit, which a long movie's duration shows (50,000 s came out 49,999.998).
  const double rate = header.frame_duration ? 200.0 / header.frame_duration : kDefaultFrameRate;
  // As every player refuses it: not in 8x8 blocks, or too large for the memory allowed.
  const std::string size_problem = PictureSizeProblem(header.width, header.height);
  const bool size_ok = size_problem.empty();
  const WalkSummary walk = Walk(reader);
  // Where playback stops short of the header's frames: a frame without a picture, else where the
  // data ends or cannot be read.
  std::string stop = walk.problem;
  if (header.frame_count == 0)
    stop = kNoFramesProblem;  // nothing plays, whatever follows the header
  else if (stop.empty() && walk.frames_present < header.frame_count)
    stop = "the movie data ends after " + std::to_string(walk.frames_present) + " of " +
           std::to_string(header.frame_count) + " frames";
  const std::string no_picture = walk.first_without_picture < 0
                                     ? ""
                                     : "frame " + std::to_string(walk.first_without_picture) +
                                           ": no picture chunk; playback stops there";
  const double duration =
      header.frame_duration ? static_cast<double>(walk.frames_present) * header.frame_duration / 200
                            : static_cast<double>(walk.frames_present) / kDefaultFrameRate;

  SoundInfo sound;
  if (header.sound && walk.first_audio_found)
    sound = DescribeSoundStream(walk.first_audio.data(), walk.first_audio.size(),
                                header.frame_count, static_cast<float>(rate));

  if (json) {
    std::ostringstream out;
    out << "{\"file\":" << JsonString(path) << ",\"width\":" << header.width
        << ",\"height\":" << header.height << ",\"frame_count\":" << header.frame_count
        << ",\"frame_duration\":" << header.frame_duration << ",\"frame_rate\":" << JsonNumber(rate)
        << ",\"sound\":" << (header.sound ? "true" : "false")
        << ",\"frames_present\":" << walk.frames_present
        << ",\"key_frames\":" << walk.frames[kKeyPicture]
        << ",\"delta_frames\":" << walk.frames[kDeltaPicture]
        << ",\"frames_without_picture\":" << walk.frames[kNoPicture]
        << ",\"extra_frames\":" << walk.extra_frames << ",\"chunks\":{";
    bool first = true;
    for (const auto& [tag, count] : walk.tags) {
      out << (first ? "" : ",") << JsonString(tag) << ":" << count;
      first = false;
    }
    out << "},\"video_bytes\":" << walk.bytes[kVideoChunk]
        << ",\"audio_bytes\":" << walk.bytes[kAudioChunk]
        << ",\"other_bytes\":" << walk.bytes[kOtherChunk]
        << ",\"duration_seconds\":" << JsonNumber(duration);
    // Null for a movie without sound too, so that every movie gives the same fields.
    out << ",\"sound_stream\":" << SoundInfoJson(sound);
    out << ",\"picture_size_supported\":" << (size_ok ? "true" : "false");
    if (frames) {
      out << ",\"frames\":[";
      std::fputs(out.str().c_str(), stdout);
      out.str("");
      ListFrames(reader, PrintFrameJson);
      out << "]";
    }
    out << ",\"frames_with_tail\":" << walk.frames_with_tail;
    out << ",\"trailing_bytes\":" << walk.trailing_bytes;
    // What makes info fail, first what keeps playback from starting at all.
    const std::string& problem = !size_ok ? size_problem : no_picture.empty() ? stop : no_picture;
    out << ",\"problem\":" << (problem.empty() ? "null" : JsonString(problem)) << "}\n";
    std::fputs(out.str().c_str(), stdout);
  } else {
    // A line feed in the name would start a line of its own, read as another field.
    std::printf("File:            %s\n", PrintableName(path).c_str());
    std::printf("Picture:         %dx%d\n", header.width, header.height);
    std::printf("Frames:          %d (header)\n", header.frame_count);
    if (header.frame_duration)
      std::printf("Frame duration:  %d/200 s (%s)\n", header.frame_duration,
                  FramesPerSecond(rate).c_str());
    else
      std::printf("Frame duration:  not given (played at %s)\n", FramesPerSecond(rate).c_str());
    std::printf("Sound:           %s\n", header.sound ? "yes" : "no");
    std::printf("Frames present:  %lld", static_cast<long long>(walk.frames_present));
    if (walk.extra_frames)
      std::printf(" (and %lld more after the header's count, never played)",
                  static_cast<long long>(walk.extra_frames));
    std::printf("\n");
    std::printf("Key frames:      %lld\n", static_cast<long long>(walk.frames[kKeyPicture]));
    std::printf("Delta frames:    %lld\n", static_cast<long long>(walk.frames[kDeltaPicture]));
    if (walk.frames[kNoPicture])
      std::printf("No picture:      %s\n", Counted(walk.frames[kNoPicture], "frame").c_str());
    std::printf("Chunks:         ");
    for (const auto& [tag, count] : walk.tags)
      std::printf(" %s %lld", WordTag(tag).c_str(), static_cast<long long>(count));
    std::printf("\n");
    std::printf("Video bytes:     %lld\n", static_cast<long long>(walk.bytes[kVideoChunk]));
    std::printf("Audio bytes:     %lld\n", static_cast<long long>(walk.bytes[kAudioChunk]));
    if (walk.bytes[kOtherChunk])
      std::printf("Other bytes:     %lld\n", static_cast<long long>(walk.bytes[kOtherChunk]));
    std::printf("Duration:        %.3f s\n", duration);
    if (header.sound) {
      if (walk.first_audio_found)
        std::fputs(SoundInfoText(sound).c_str(), stdout);
      else if (walk.frames_present == 0)
        std::printf("Sound stream:    none (the movie has no frames)\n");
      else
        std::printf("Sound stream:    none (frame 0 has no audio chunk: plays silent)\n");
    }
    if (frames) {
      std::printf("%7s %12s %9s %-6s %8s  %s\n", "Frame", "Offset", "Size", "Type", "Quality",
                  "Chunks");
      ListFrames(reader, PrintFrameRow);
    }
  }
  MovieReader_Close(reader);

  if (!size_ok) {
    PrintError("kqm info", path, size_problem);
    status = 1;
  }
  if (!walk.tail_note.empty() && !verbosity.quiet) {
    const std::int64_t more = walk.frames_with_tail - 1;
    PrintError("kqm info", path,
               walk.tail_note + (more > 0 ? " (and " + std::to_string(more) + " more " +
                                                (more == 1 ? "frame)" : "frames)")
                                          : ""));
  }
  if (!no_picture.empty()) {
    PrintError("kqm info", path, no_picture);
    status = 1;
  }
  if (!walk.trailing_note.empty() && !verbosity.quiet)
    PrintError("kqm info", path, walk.trailing_note);
  if (!stop.empty()) {
    PrintError("kqm info", path, stop);
    status = 1;
  }
  return status;
}

}  // namespace tarvel::tools
