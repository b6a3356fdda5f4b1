// Builders for ADQ headers, sound payloads and frames in the audio tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "container/movie_format.h"

namespace tarvel::test_audio {

inline void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct AdqFields {
  std::uint32_t sample_count = 1000;
  std::uint32_t frequency = 22050;
  std::int32_t left_predictor = 0;
  std::int32_t right_predictor = 0;
  std::uint32_t flags = 0;
};

// A 32-byte ADQ header followed by `codes`.
inline std::vector<std::uint8_t> AdqPayload(const AdqFields& f,
                                            const std::vector<std::uint8_t>& codes = {}) {
  std::vector<std::uint8_t> bytes(32 + codes.size(), 0);
  std::memcpy(bytes.data(), "VELD_ADQ1.20", 12);
  PutLe32(bytes, 12, f.sample_count);
  PutLe32(bytes, 16, f.frequency);
  PutLe32(bytes, 20, static_cast<std::uint32_t>(f.left_predictor));
  PutLe32(bytes, 24, static_cast<std::uint32_t>(f.right_predictor));
  PutLe32(bytes, 28, f.flags);
  if (!codes.empty()) std::memcpy(bytes.data() + 32, codes.data(), codes.size());
  return bytes;
}

// A frame's chunk list, built chunk by chunk (sizes exact, padded to four bytes).
class FrameBuilder {
 public:
  FrameBuilder& Chunk(const char* tag, const std::vector<std::uint8_t>& payload) {
    const std::size_t start = data_.size();
    const std::size_t size = 8 + payload.size();
    data_.resize(start + ((size + 3) & ~std::size_t{3}), 0);
    PutLe32(data_, start, static_cast<std::uint32_t>(size));
    data_[start + 4] = static_cast<std::uint8_t>(tag[0]);
    data_[start + 5] = static_cast<std::uint8_t>(tag[1]);
    if (!payload.empty()) std::memcpy(data_.data() + start + 8, payload.data(), payload.size());
    return *this;
  }
  std::vector<std::uint8_t> Build() const { return data_; }

 private:
  std::vector<std::uint8_t> data_;
};

inline LoadedFrame View(std::vector<std::uint8_t>& chunks) {
  return LoadedFrame{chunks.data(), static_cast<std::uint32_t>(chunks.size())};
}

// Little-endian 16-bit sample `i` of a PCM buffer.
inline std::int16_t SampleAt(const std::vector<std::uint8_t>& pcm, std::size_t i) {
  return static_cast<std::int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
}

}  // namespace tarvel::test_audio
