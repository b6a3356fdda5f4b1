// Starting to decode at a key frame. A key frame's pieces are DCT-coded or copied from the
// picture being built, so it does not read the previous picture; but a copy may read a part of
// the picture that the frame has not built yet, which still holds the previous picture there.
// Only a key frame that never does so decodes the same wherever decoding starts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video/video_decoder.h"

namespace tarvel {

// Decodes the key frame chunk `payload` with `decoder`, as Decode does, and tells whether its
// picture is the same whatever the output picture held before: it is decoded over two pictures
// that differ in every pixel, and the two results compared. The decoder's output picture (and
// reference) then hold the frame's picture decoded over the second one; `result` receives the
// decoder's result.
bool DecodeKeyFrameAlone(VideoDecoder& decoder, const std::uint8_t* payload, std::size_t length,
                         int* result);

}  // namespace tarvel
