#include "support/man_page.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

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
  const auto word_char = [](char c) {
    return std::islower(static_cast<unsigned char>(c)) ||
           std::isdigit(static_cast<unsigned char>(c)) || c == '-';
  };
  std::vector<std::string> options;
  for (std::size_t at = help.find("--"); at != std::string::npos; at = help.find("--", at + 2)) {
    if (at > 0 && word_char(help[at - 1])) continue;  // inside a longer word
    std::size_t end = at + 2;
    if (end >= help.size() || !std::islower(static_cast<unsigned char>(help[end]))) continue;
    while (end < help.size() && word_char(help[end])) ++end;
    const std::string option = help.substr(at, end - at);
    if (std::find(options.begin(), options.end(), option) == options.end())
      options.push_back(option);
  }
  return options;
}

}  // namespace tarvel::test
