#include "tar_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace tarvel::testing {

std::vector<std::uint8_t> MakeTar(const std::vector<TarMember>& members, bool end_blocks) {
  std::vector<std::uint8_t> out;
  for (const TarMember& m : members) {
    std::uint8_t header[512] = {};
    std::memcpy(header, m.name.data(), std::min<std::size_t>(m.name.size(), 100));
    std::snprintf(reinterpret_cast<char*>(header + 100), 8, "%07o", 0644);
    std::snprintf(reinterpret_cast<char*>(header + 108), 8, "%07o", 0);
    std::snprintf(reinterpret_cast<char*>(header + 116), 8, "%07o", 0);
    const std::size_t size = m.type == '5' ? 0 : m.data.size();
    std::snprintf(reinterpret_cast<char*>(header + 124), 12, "%011o", static_cast<unsigned>(size));
    std::snprintf(reinterpret_cast<char*>(header + 136), 12, "%011o", 0);
    header[156] = static_cast<std::uint8_t>(m.type);
    std::memcpy(header + 257, "ustar", 6);
    std::memcpy(header + 263, "00", 2);
    std::memset(header + 148, ' ', 8);
    unsigned sum = 0;
    for (std::uint8_t b : header) sum += b;
    std::snprintf(reinterpret_cast<char*>(header + 148), 8, "%06o", sum);
    out.insert(out.end(), header, header + 512);
    out.insert(out.end(), m.data.begin(), m.data.begin() + static_cast<std::ptrdiff_t>(size));
    out.resize((out.size() + 511) / 512 * 512, 0);
  }
  if (end_blocks) out.resize(out.size() + 1024, 0);
  return out;
}

std::string WriteTemp(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  const std::string path = ::testing::TempDir() + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}

}  // namespace tarvel::testing
