#include "platform/utf8.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cstring>

#include "platform/terminal.h"

namespace tarvel {

bool Utf8_IsControl(std::string_view text, std::size_t at) {
  if (at >= text.size()) return false;
  const auto byte = static_cast<unsigned char>(text[at]);
  if (byte < 0x20 || byte == 0x7F) return true;
  if (byte != 0xC2 || at + 1 >= text.size()) return false;
  const auto next = static_cast<unsigned char>(text[at + 1]);
  return next >= 0x80 && next <= 0x9F;
}

std::size_t Utf8_SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t k) {
    return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
  return length;
}

std::string Utf8_FromCharset(std::string_view text, const char* codeset) {
  std::string same(text);
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || codeset == nullptr || std::strcmp(codeset, "UTF-8") == 0) return same;
  const iconv_t convert = iconv_open("UTF-8", codeset);
  if (convert == reinterpret_cast<iconv_t>(-1)) return same;
  // Four bytes of UTF-8 a byte in, and room for a multibyte set's longest sequence.
  std::string out(4 * text.size() + 16, '\0');
  char* in = same.data();
  std::size_t in_left = same.size();
  char* to = out.data();
  std::size_t out_left = out.size();
  const bool whole =
      iconv(convert, &in, &in_left, &to, &out_left) != static_cast<std::size_t>(-1) &&
      in_left == 0 &&
      iconv(convert, nullptr, nullptr, &to, &out_left) != static_cast<std::size_t>(-1);
  iconv_close(convert);
  if (!whole) return same;
  out.resize(out.size() - out_left);
  return out;
}

std::string Utf8_FromLocale(std::string_view text) {
  return Utf8_FromCharset(text, nl_langinfo(CODESET));
}

std::string Utf8_ShownName(std::string_view name) {
  return Utf8_FromLocale(PrintableName(name));
}

}  // namespace tarvel
