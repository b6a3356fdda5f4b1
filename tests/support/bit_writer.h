// Writers that build video chunk payloads in tests: mode bits, vector words, spiral groups and
// coefficient nibbles, and the assembler that lays them out behind the 24-byte chunk header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tarvel::test {

// Mode bits, first bit in bit 31 of each 32-bit little-endian word. Unused low bits of the
// last word are zero.
class ModeBitWriter {
 public:
  // Appends the `count` low bits of `value`, most significant first.
  void Put(uint32_t value, int count);
  // Appends bits given as a string of '0' and '1' (other characters are ignored).
  void PutString(const char* bits);
  size_t bit_count() const { return bit_count_; }
  std::vector<uint8_t> Bytes() const;

 private:
  std::vector<uint32_t> words_;
  size_t bit_count_ = 0;
};

// 16-bit little-endian words, in order.
class VectorWordWriter {
 public:
  void Put(uint16_t word);
  std::vector<uint8_t> Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// 12-bit indexes, two per 3-byte little-endian group (first index in the low 12 bits). An odd
// last index leaves the group's second index zero.
class SpiralWriter {
 public:
  void Put(uint32_t index);
  std::vector<uint8_t> Bytes() const;

 private:
  std::vector<uint32_t> indexes_;
};

// 4-bit nibbles, low nibble of each byte first.
class NibbleWriter {
 public:
  void Put(uint32_t nibble);
  void Put(std::initializer_list<uint32_t> nibbles);
  size_t nibble_count() const { return count_; }
  std::vector<uint8_t> Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t count_ = 0;
};

// Lays out a video chunk payload: frame word, five offsets, then the streams in the order
// mode bits, vector words, spiral groups, nibbles. The end offset points just past the nibbles.
std::vector<uint8_t> AssembleVideoChunk(int32_t frame_word, const std::vector<uint8_t>& mode_bits,
                                        const std::vector<uint8_t>& vector_words,
                                        const std::vector<uint8_t>& spiral_pairs,
                                        const std::vector<uint8_t>& nibbles);

// Writes a 32-bit little-endian value at `offset` of `bytes`.
void PutLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

}  // namespace tarvel::test
