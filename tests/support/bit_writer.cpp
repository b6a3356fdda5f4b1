#include "support/bit_writer.h"

namespace tarvel::test {

void ModeBitWriter::Put(uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    const uint32_t bit = (value >> i) & 1u;
    if (bit_count_ % 32 == 0) words_.push_back(0);
    words_.back() |= bit << (31 - bit_count_ % 32);
    ++bit_count_;
  }
}

void ModeBitWriter::PutString(const char* bits) {
  for (const char* p = bits; *p != '\0'; ++p) {
    if (*p == '0' || *p == '1') Put(static_cast<uint32_t>(*p - '0'), 1);
  }
}

std::vector<uint8_t> ModeBitWriter::Bytes() const {
  std::vector<uint8_t> bytes;
  for (uint32_t w : words_) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  return bytes;
}

void VectorWordWriter::Put(uint16_t word) {
  bytes_.push_back(static_cast<uint8_t>(word));
  bytes_.push_back(static_cast<uint8_t>(word >> 8));
}

void SpiralWriter::Put(uint32_t index) {
  indexes_.push_back(index & 0xFFF);
}

std::vector<uint8_t> SpiralWriter::Bytes() const {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < indexes_.size(); i += 2) {
    const uint32_t second = i + 1 < indexes_.size() ? indexes_[i + 1] : 0;
    const uint32_t group = indexes_[i] | (second << 12);
    bytes.push_back(static_cast<uint8_t>(group));
    bytes.push_back(static_cast<uint8_t>(group >> 8));
    bytes.push_back(static_cast<uint8_t>(group >> 16));
  }
  return bytes;
}

void NibbleWriter::Put(uint32_t nibble) {
  nibble &= 0xF;
  if (count_ % 2 == 0) {
    bytes_.push_back(static_cast<uint8_t>(nibble));
  } else {
    bytes_.back() = static_cast<uint8_t>(bytes_.back() | (nibble << 4));
  }
  ++count_;
}

void NibbleWriter::Put(std::initializer_list<uint32_t> nibbles) {
  for (uint32_t n : nibbles) Put(n);
}

void PutLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> AssembleVideoChunk(int32_t frame_word, const std::vector<uint8_t>& mode_bits,
                                        const std::vector<uint8_t>& vector_words,
                                        const std::vector<uint8_t>& spiral_pairs,
                                        const std::vector<uint8_t>& nibbles) {
  std::vector<uint8_t> payload(24, 0);
  PutLe32(payload, 0, static_cast<uint32_t>(frame_word));
  const std::vector<uint8_t>* streams[4] = {&mode_bits, &vector_words, &spiral_pairs, &nibbles};
  for (int i = 0; i < 4; ++i) {
    PutLe32(payload, 4 + 4 * static_cast<size_t>(i), static_cast<uint32_t>(payload.size()));
    payload.insert(payload.end(), streams[i]->begin(), streams[i]->end());
  }
  PutLe32(payload, 20, static_cast<uint32_t>(payload.size()));
  return payload;
}

}  // namespace tarvel::test
