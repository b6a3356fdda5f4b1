// What an index of a movie keeps of each frame: where it is in the file, whether its picture
// is a key frame (decodable without the picture before it) and where its sound chunk lies.
#pragma once

#include <cstdint>

#include "container/movie_format.h"

namespace tarvel {

struct FrameInfo {
  std::int64_t offset = 0;  // file offset of the frame word
  std::uint32_t size = 0;   // the frame's size in bytes, its word included
  // The "IX" payload's first word: negative for a key frame, whose quality is its negation;
  // a delta frame's quality is the word itself. 0 when the frame has no picture chunk.
  std::int32_t picture_word = 0;
  // The audio chunk's payload ("AA", else "BB"): its offset in the chunk list (the frame's data
  // after its word) and its length; has_sound is false when there is none.
  std::uint32_t sound_offset = 0;
  std::uint32_t sound_length = 0;
  bool has_picture = false;
  bool has_sound = false;

  bool key() const { return has_picture && picture_word < 0; }
  // The picture's quality as the decoder takes it (a key frame's word negated).
  std::int64_t quality() const {
    return picture_word < 0 ? -static_cast<std::int64_t>(picture_word) : picture_word;
  }
};

// Describes the loaded frame whose word is at `offset` and gives `size`. Walks its chunks (which
// fixes up their pad bytes, as playback does).
FrameInfo Frame_Describe(LoadedFrame frame, std::int64_t offset, std::uint32_t size);

}  // namespace tarvel
