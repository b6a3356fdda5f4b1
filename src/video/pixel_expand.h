// 16-bit pictures as 8-bit RGB, for writing them out and for measuring them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvel {

// Expands `count` 5-5-5 (or 5-6-5) pixels to 8-bit RGB triples, each field's top bits repeated
// into the low bits (31 -> 255, 30 -> 247, 1 -> 8).
void ExpandPixelsToRgb8(const std::uint16_t* pixels, std::size_t count, bool format565,
                        std::uint8_t* rgb);

}  // namespace tarvel
