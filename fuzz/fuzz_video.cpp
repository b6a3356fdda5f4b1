// Feeds arbitrary bytes to the video decoder. Byte 0 picks the picture size, byte 1 holds flags:
// bit 0 the pixel format, bit 1 the frame kind, bit 2 no reference picture, bit 3 every vector
// level in turn (their pictures must agree), bit 4 through the decoder object from black
// pictures, which it keeps in step itself (its picture must agree with the plain path's). The
// rest is the payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "video/simd_level.h"
#include "video/video_decoder.h"

namespace {

using tarvel::VideoSimdLevel;

struct Size {
  int width;
  int height;
};
constexpr Size kSizes[] = {{8, 8}, {64, 48}, {128, 64}, {1032, 16}};
constexpr int kSizeCount = sizeof(kSizes) / sizeof(kSizes[0]);

struct Target {
  std::unique_ptr<tarvel::DecoderState> decoder;
  std::unique_ptr<tarvel::VideoDecoder> object;
  std::vector<uint16_t> reference;
  std::vector<uint16_t> output;
  std::vector<uint16_t> first_output;
};

Target& GetTarget(int size, bool rgb565) {
  static Target targets[kSizeCount][2];
  Target& t = targets[size][rgb565 ? 1 : 0];
  if (!t.decoder) {
    const Size s = kSizes[size];
    t.decoder = tarvel::CreateVideoDecoder(s.height, s.width, rgb565 ? 16 : 15);
    t.object = tarvel::VideoDecoder::Create(s.height, s.width, rgb565 ? 16 : 15);
    t.reference.resize(static_cast<size_t>(s.width) * static_cast<size_t>(s.height));
    t.output.resize(t.reference.size());
  }
  return t;
}

// Same starting pictures every run, so findings reproduce.
void FillPictures(Target& t) {
  for (size_t i = 0; i < t.reference.size(); ++i) {
    t.reference[i] = static_cast<uint16_t>(i * 2654435761u >> 16);
    t.output[i] = static_cast<uint16_t>(i);
  }
}

// The decoder object against DecodeVideoChunk on the same black pictures.
void CompareObjectWithPlainPath(Target& t, const std::vector<uint8_t>& payload) {
  std::fill(t.reference.begin(), t.reference.end(), 0);
  std::fill(t.output.begin(), t.output.end(), 0);
  t.object->Reset();
  const int plain = tarvel::DecodeVideoChunk(payload.data(), payload.size(), t.reference.data(),
                                             t.output.data(), *t.decoder);
  const int object = t.object->Decode(payload.data(), payload.size());
  if (plain != object ||
      std::memcmp(t.object->Picture().pixels, t.output.data(), t.output.size() * 2) != 0) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int picture = data[0] % kSizeCount;
  const uint8_t flags = data[1];
  Target& t = GetTarget(picture, (flags & 1) != 0);
  // An exact-size copy, so that any read past the payload is caught.
  std::vector<uint8_t> payload(data + 2, data + size);
  if (payload.size() >= 4) {
    // Bit 1 forces the frame kind: the sign of the frame word.
    if (flags & 2) {
      payload[3] = static_cast<uint8_t>(payload[3] | 0x80);
    } else {
      payload[3] = static_cast<uint8_t>(payload[3] & 0x7F);
    }
  }
  const VideoSimdLevel supported = tarvel::SupportedVideoSimdLevel();
  const bool every_level = (flags & 8) != 0;
  const int first_level = every_level ? 0 : static_cast<int>(supported);
  int first_result = 0;
  for (int level = first_level; level <= static_cast<int>(supported); ++level) {
    tarvel::SetVideoSimdLevel(static_cast<VideoSimdLevel>(level));
    if (flags & 16) {
      CompareObjectWithPlainPath(t, payload);
      continue;
    }
    FillPictures(t);
    const uint16_t* reference = (flags & 4) ? nullptr : t.reference.data();
    const int result = tarvel::DecodeVideoChunk(payload.data(), payload.size(), reference,
                                                t.output.data(), *t.decoder);
    if (level == first_level) {
      first_result = result;
      t.first_output = t.output;
    } else if (result != first_result || t.output != t.first_output) {
      std::abort();
    }
  }
  tarvel::SetVideoSimdLevel(supported);
  return 0;
}
