#include "container/frame_info.h"

namespace tarvel {

FrameInfo Frame_Describe(LoadedFrame frame, std::int64_t offset, std::uint32_t size) {
  FrameInfo info;
  info.offset = offset;
  info.size = size;
  std::int32_t length = 0;
  if (const std::uint8_t* picture = Frame_FindChunk(frame, "IX", &length)) {
    info.has_picture = true;
    if (length >= 4) info.picture_word = static_cast<std::int32_t>(ReadLe32(picture));
  }
  const std::uint8_t* sound = Frame_FindChunk(frame, "AA", &length);
  if (sound == nullptr) sound = Frame_FindChunk(frame, "BB", &length);
  if (sound != nullptr) {
    info.has_sound = true;
    info.sound_offset = static_cast<std::uint32_t>(sound - frame.data);
    info.sound_length = static_cast<std::uint32_t>(length > 0 ? length : 0);
  }
  return info;
}

}  // namespace tarvel
