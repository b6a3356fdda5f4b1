// Helpers shared by the video tests: pictures with recognisable pixel patterns and a frame
// builder on top of the stream writers.
#pragma once

#include <cstdint>
#include <vector>

#include "support/bit_writer.h"
#include "video/video_decoder.h"

namespace tarvel::test {

// Reference pattern: pixel (x, y) holds (y << 8) | x (pictures up to 256 x 128).
inline uint16_t RefPixel(int x, int y) {
  return static_cast<uint16_t>((y << 8) | x);
}
// Old output pattern: the same with bit 15 set, so the two pictures never share a value.
inline uint16_t OldPixel(int x, int y) {
  return static_cast<uint16_t>(0x8000 | (y << 8) | x);
}

struct Pictures {
  int width;
  int height;
  std::vector<uint16_t> reference;
  std::vector<uint16_t> output;

  Pictures(int w, int h) : width(w), height(h), reference(Size()), output(Size()) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        reference[Index(x, y)] = RefPixel(x, y);
        output[Index(x, y)] = OldPixel(x, y);
      }
    }
  }
  size_t Size() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
  size_t Index(int x, int y) const { return static_cast<size_t>(y) * width + x; }
  uint16_t Out(int x, int y) const { return output[Index(x, y)]; }
};

// One chunk under construction.
struct FrameBuilder {
  int32_t frame_word = 50;
  ModeBitWriter modes;
  VectorWordWriter vectors;
  SpiralWriter spirals;
  NibbleWriter nibbles;
  // Spiral groups given byte by byte; used instead of `spirals` when not empty.
  std::vector<uint8_t> raw_spirals;

  std::vector<uint8_t> Payload() const {
    return AssembleVideoChunk(frame_word, modes.Bytes(), vectors.Bytes(),
                              raw_spirals.empty() ? spirals.Bytes() : raw_spirals, nibbles.Bytes());
  }
  // Mode bits for `count` delta-frame skip blocks.
  void SkipBlocks(int count) {
    for (int i = 0; i < count; ++i) modes.PutString("110");
  }
  // A DCT block whose three components hold only a DC level each.
  void DcBlock(int y_level, int cb_level, int cr_level) {
    for (int level : {y_level, cb_level, cr_level}) {
      const auto byte = static_cast<uint8_t>(level);
      nibbles.Put({static_cast<uint32_t>(byte >> 4), static_cast<uint32_t>(byte & 15), 0});
    }
  }
};

// Decodes `payload` into the pictures with a fresh decoder of the given depth.
inline int DecodeInto(Pictures& p, const std::vector<uint8_t>& payload, int depth = 15) {
  auto decoder = CreateVideoDecoder(p.height, p.width, depth);
  if (!decoder) return -1;
  return DecodeVideoChunk(payload.data(), payload.size(), p.reference.data(), p.output.data(),
                          *decoder);
}

}  // namespace tarvel::test
