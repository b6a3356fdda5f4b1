// Well-formed UTF-8, as file names are checked before they go into text other programs read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvel {

// The length of the well-formed UTF-8 sequence at `text[at]` (shortest form, no surrogates, at
// most U+10FFFF; 1 for an ASCII byte), or 0 when the bytes there are not one.
std::size_t Utf8_SequenceLength(std::string_view text, std::size_t at);

// Whether a control character starts at `text[at]`: a C0 control, DEL, or a C1 control
// (U+0080 to U+009F) in its UTF-8 form, 0xC2 then 0x80 to 0x9F. A terminal takes U+009B as the
// start of a command, as it takes ESC [.
bool Utf8_IsControl(std::string_view text, std::size_t at);

// `text` (a file name, or a line holding one) read in the character set `codeset` and written as
// UTF-8, for showing it as the user's terminal and file manager do. Text that is ASCII, already
// meant as UTF-8, or not valid in `codeset` comes back unchanged.
std::string Utf8_FromCharset(std::string_view text, const char* codeset);

// The same in the character set of the program's current locale (LC_CTYPE).
std::string Utf8_FromLocale(std::string_view text);

// A file name (or a line holding one) as the windows show it: on one line, its control
// characters written as \xNN escapes as on standard error, then read in the locale's
// character set.
std::string Utf8_ShownName(std::string_view name);

}  // namespace tarvel
