// Writes small ustar archives for the storage tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvel::testing {

struct TarMember {
  std::string name;
  std::string data;  // file contents; ignored for directories
  char type = '0';   // '0' file, '5' directory, or anything else to test refusals
};

std::vector<std::uint8_t> MakeTar(const std::vector<TarMember>& members, bool end_blocks = true);
std::string WriteTemp(const std::string& name, const std::vector<std::uint8_t>& bytes);

}  // namespace tarvel::testing
