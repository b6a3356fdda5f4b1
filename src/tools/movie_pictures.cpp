#include "tools/movie_pictures.h"

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
  if (IsSupportedPictureSize(header.width, header.height)) return std::string();
  return "picture size " + std::to_string(header.width) + "x" + std::to_string(header.height) +
         " cannot be played (width and height must be non-zero multiples of 8)";
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
