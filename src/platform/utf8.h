// Well-formed UTF-8, as file names are checked before they go into text other programs read.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarvel {

// The length of the well-formed UTF-8 sequence at `text[at]` (shortest form, no surrogates, at
// most U+10FFFF; 1 for an ASCII byte), or 0 when the bytes there are not one.
std::size_t Utf8_SequenceLength(std::string_view text, std::size_t at);

}  // namespace tarvel
