#include "support/man_page.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <regex>

namespace tarvel::test {

std::string ManPageWords(const std::string& page) {
  std::ifstream in(std::string(TARVEL_PACKAGING_DIR) + "/" + page);
  std::string text{std::istreambuf_iterator<char>(in), {}};
  std::string words;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '-') continue;
    words += text[i];
  }
  return words;
}

bool MentionsOption(const std::string& text, const std::string& option) {
  for (std::size_t at = text.find(option); at != std::string::npos;
       at = text.find(option, at + 1)) {
    const std::size_t end = at + option.size();
    const char next = end < text.size() ? text[end] : ' ';
    if (!std::isalnum(static_cast<unsigned char>(next)) && next != '-') return true;
  }
  return false;
}

std::vector<std::string> LongOptions(const std::string& help) {
  static const std::regex kOption("--[a-z][a-z0-9-]*");
  std::vector<std::string> options;
  for (auto it = std::sregex_iterator(help.begin(), help.end(), kOption);
       it != std::sregex_iterator(); ++it) {
    if (std::find(options.begin(), options.end(), it->str()) == options.end())
      options.push_back(it->str());
  }
  return options;
}

}  // namespace tarvel::test
