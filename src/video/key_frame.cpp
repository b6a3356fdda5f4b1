#include "video/key_frame.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tarvel {

bool DecodeKeyFrameAlone(VideoDecoder& decoder, const std::uint8_t* payload, std::size_t length,
                         int* result) {
  // The decoder's own output picture, or the caller's pixels it decodes into.
  auto* output = const_cast<std::uint16_t*>(decoder.Picture().pixels);
  const std::size_t pixels =
      static_cast<std::size_t>(decoder.width()) * static_cast<std::size_t>(decoder.height());
  std::vector<std::uint16_t> over_black(pixels, 0);
  std::vector<std::uint16_t> over_white(pixels, 0xFFFF);
  decoder.SetOutput(over_black.data());
  decoder.Decode(payload, length);
  decoder.SetOutput(over_white.data());
  *result = decoder.Decode(payload, length);
  if (output != nullptr) {
    std::copy(over_white.begin(), over_white.end(), output);
    decoder.SetOutput(output);
  }
  return over_black == over_white;
}

}  // namespace tarvel
