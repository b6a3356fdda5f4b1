// Widening 16-bit pixels for the screen: every pixel value, both layouts, every tail length,
// runs short and long enough to be streamed.
#include "video/pixel_expand.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tarvel {
namespace {

TEST(PixelExpand, EveryPixelToXrgb32AsTheRgbTriples) {
  // Every value, and a few more so that both whole runs below are long enough to be streamed.
  std::vector<std::uint16_t> pixels(65536 + 19);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint16_t>(i);
  for (const bool format565 : {false, true}) {
    std::vector<std::uint8_t> rgb(3 * pixels.size());
    ExpandPixelsToRgb8(pixels.data(), pixels.size(), format565, rgb.data());
    // Counts of 0 to 17 pixels from an odd start cover the tails after the eight-pixel steps;
    // the odd start also writes one word past an aligned place, so a streamed run begins with
    // single pixels.
    for (std::size_t start : {std::size_t{0}, std::size_t{3}}) {
      const std::size_t skip = start == 0 ? 0 : 1;
      for (std::size_t count : {std::size_t{17}, pixels.size() - start}) {
        std::vector<std::uint32_t> words(skip + count + 1, 0x12345678u);
        std::uint32_t* xrgb = words.data() + skip;
        ExpandPixelsToXrgb32(pixels.data() + start, count, format565, xrgb);
        for (std::size_t i = 0; i < count; ++i) {
          const std::uint8_t* triple = &rgb[3 * (start + i)];
          const std::uint32_t want = 0xFF000000u | std::uint32_t{triple[0]} << 16 |
                                     std::uint32_t{triple[1]} << 8 | triple[2];
          ASSERT_EQ(xrgb[i], want) << "pixel " << std::hex << start + i << " 565 " << format565;
        }
        EXPECT_EQ(xrgb[count], 0x12345678u);  // nothing written past the end
        if (skip != 0) {
          EXPECT_EQ(words[0], 0x12345678u);  // nor before the start
        }
      }
    }
  }
  // By hand: full white, 31 -> 255 in every field; 5-5-5 red 30 -> 247; blue 1 -> 8.
  const std::uint16_t some[] = {0x7FFF, 0x7800, 0x0001};
  std::uint32_t out[3];
  ExpandPixelsToXrgb32(some, 3, false, out);
  EXPECT_EQ(out[0], 0xFFFFFFFFu);
  EXPECT_EQ(out[1], 0xFFF70000u);
  EXPECT_EQ(out[2], 0xFF000008u);
}

}  // namespace
}  // namespace tarvel
