#include "tools/movie_pictures.h"

#include <vector>

#include "container/frame_info.h"
#include "platform/stop_signals.h"
#include "video/key_frame.h"

#include "tools/tool_common.h"

namespace tarvel::tools {

int DecodeFramePicture(VideoDecoder& decoder, LoadedFrame frame) {
  std::int32_t length = 0;
  const std::uint8_t* payload = Frame_FindChunk(frame, "IX", &length);
  if (!payload) return kPictureMissing;
  return decoder.Decode(payload, static_cast<std::size_t>(length)) == kDecodeOk ? kPictureDecoded
                                                                                : kPictureCorrupt;
}

std::string PictureWarning(int result, std::int64_t index) {
  const std::string frame = "frame " + std::to_string(index) + ": ";
  if (result == kPictureMissing) return frame + "no picture chunk, the previous picture stays";
  return frame + "picture data is corrupt, decoding of the frame stopped early";
}

std::string PictureSizeProblem(const MovieHeader& header) {
  return tarvel::PictureSizeProblem(header.width, header.height);
}

bool KeyFrameDecodesAlone(MovieReader& reader, VideoDecoder& decoder, std::int64_t offset) {
  // Read it again and decode it over two different pictures.
  std::vector<std::uint8_t> chunks;
  if (!MovieReader_SeekTo(reader, offset) || MovieReader_Next(reader, chunks) != FrameRead::kOk)
    return false;
  std::int32_t length = 0;
  const std::uint8_t* payload =
      Frame_FindChunk({chunks.data(), static_cast<std::uint32_t>(chunks.size())}, "IX", &length);
  int result = kDecodeOk;
  return payload != nullptr &&
         DecodeKeyFrameAlone(decoder, payload, static_cast<std::size_t>(length), &result);
}

std::int64_t SeekToDecodeStart(MovieReader& reader, VideoDecoder& decoder, std::int64_t target) {
  std::vector<FrameInfo> frames;
  std::vector<std::uint8_t> chunks;
  if (!MovieReader_Rewind(reader)) return 0;
  while (static_cast<std::int64_t>(frames.size()) <= target) {
    const std::int64_t offset = reader.position;
    if (MovieReader_Next(reader, chunks) != FrameRead::kOk) break;
    frames.push_back(Frame_Describe({chunks.data(), static_cast<std::uint32_t>(chunks.size())},
                                    offset, reader.last_frame_size));
    // Playback stops at a frame without a picture: a start past it would give pictures that
    // never show, so decoding starts at or before it and meets it.
    if (!frames.back().has_picture) break;
  }
  // Each key frame tried is decoded twice: over many large pictures that takes minutes, which a
  // stop signal ends (decoding then starts at frame 0, and stops there too).
  for (auto k = static_cast<std::int64_t>(frames.size()) - 1; k > 0 && StopSignals_Received() == 0;
       --k) {
    const FrameInfo& info = frames[static_cast<std::size_t>(k)];
    if (!info.key() || !KeyFrameDecodesAlone(reader, decoder, info.offset)) continue;
    if (MovieReader_SeekTo(reader, info.offset)) return k;
    break;
  }
  decoder.Reset();
  MovieReader_Rewind(reader);
  return 0;
}

bool ReadFrameAgain(MovieReader& reader, std::int64_t offset, std::int64_t next,
                    std::vector<std::uint8_t>& chunks) {
  return reader.position == offset && MovieReader_Next(reader, chunks) == FrameRead::kOk &&
         (next < 0 || reader.position == next);
}

bool OpenMovieForPictures(MovieReader& reader, const std::string& command,
                          const std::string& path) {
  std::string error;
  if (!MovieReader_Open(reader, path, &error)) {
    PrintError(command, path, error);
    return false;
  }
  error = PictureSizeProblem(reader.header);
  if (error.empty()) return true;
  PrintError(command, path, error);
  MovieReader_Close(reader);
  return false;
}

}  // namespace tarvel::tools
