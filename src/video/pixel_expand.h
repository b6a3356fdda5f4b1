// 16-bit pictures as 8-bit RGB, for writing them out, for measuring them and for showing them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvel {

// Expands `count` 5-5-5 (or 5-6-5) pixels to 8-bit RGB triples, each field's top bits repeated
// into the low bits (31 -> 255, 30 -> 247, 1 -> 8).
void ExpandPixelsToRgb8(const std::uint16_t* pixels, std::size_t count, bool format565,
                        std::uint8_t* rgb);

// Expands `count` 5-5-5 (or 5-6-5) pixels to 32-bit words 0xFFRRGGBB, the fields widened as
// ExpandPixelsToRgb8 widens them: the layout of a 32-bit RGB picture that screens show without
// converting it again. Eight pixels at a time where the processor has SSE2; a run as long as a
// picture goes to memory past the caches, for another thread or process to read.
void ExpandPixelsToXrgb32(const std::uint16_t* pixels, std::size_t count, bool format565,
                          std::uint32_t* xrgb);

}  // namespace tarvel
