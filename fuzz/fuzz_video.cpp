// Feeds arbitrary bytes to the video decoder. Byte 0 picks the picture size, byte 1 the pixel
// format, the frame kind and whether a reference picture is given; the rest is the payload.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "video/video_decoder.h"

namespace {

struct Size {
  int width;
  int height;
};
constexpr Size kSizes[] = {{8, 8}, {64, 48}, {128, 64}, {1032, 16}};
constexpr int kSizeCount = sizeof(kSizes) / sizeof(kSizes[0]);

struct Target {
  std::unique_ptr<tarvel::DecoderState> decoder;
  std::vector<uint16_t> reference;
  std::vector<uint16_t> output;
};

Target& GetTarget(int size, bool rgb565) {
  static Target targets[kSizeCount][2];
  Target& t = targets[size][rgb565 ? 1 : 0];
  if (!t.decoder) {
    const Size s = kSizes[size];
    t.decoder = tarvel::CreateVideoDecoder(s.height, s.width, rgb565 ? 16 : 15);
    t.reference.resize(static_cast<size_t>(s.width) * static_cast<size_t>(s.height));
    t.output.resize(t.reference.size());
  }
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int picture = data[0] % kSizeCount;
  const uint8_t flags = data[1];
  Target& t = GetTarget(picture, (flags & 1) != 0);
  // Same starting pictures every run, so findings reproduce.
  for (size_t i = 0; i < t.reference.size(); ++i) {
    t.reference[i] = static_cast<uint16_t>(i * 2654435761u >> 16);
    t.output[i] = static_cast<uint16_t>(i);
  }
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
  const uint16_t* reference = (flags & 4) ? nullptr : t.reference.data();
  tarvel::DecodeVideoChunk(payload.data(), payload.size(), reference, t.output.data(), *t.decoder);
  return 0;
}
