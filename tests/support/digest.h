// Checksums used to compare decoded pictures with reference listings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvel::test {

// CRC-32 (the reflected 0xEDB88320 polynomial of zip and PNG); `crc` continues a running value.
uint32_t Crc32(const void* data, size_t length, uint32_t crc = 0);

// SHA-256 over data given in any number of pieces.
class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t length);
  // Lower-case hexadecimal digest. Call once.
  std::string FinalHex();

 private:
  void Block(const uint8_t* block);
  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t total_ = 0;
};

}  // namespace tarvel::test
