#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "display/scalers.h"

namespace tarvel {
namespace {

using Scaler = void (*)(const std::uint16_t*, std::uint8_t*, std::uint32_t);

struct Case {
  const char* name;
  Scaler scale;
  std::uint32_t width, height;  // destination size
  bool format565;
};

const Case kCases[] = {
    {"800/555", ScaleTo800_555, 800, 600, false},
    {"800/565", ScaleTo800_565, 800, 600, true},
    {"1024/555", ScaleTo1024_555, 1024, 768, false},
    {"1024/565", ScaleTo1024_565, 1024, 768, true},
};

constexpr std::size_t kSourcePixels = 640 * 480;

std::uint16_t At(const std::vector<std::uint16_t>& picture, std::uint32_t pitch, std::uint32_t x,
                 std::uint32_t y) {
  return picture[static_cast<std::size_t>(y) * pitch + x];
}

std::vector<std::uint16_t> Scale(const Case& c, const std::vector<std::uint16_t>& source,
                                 std::uint32_t pitch, std::uint16_t fill = 0xAAAA) {
  std::vector<std::uint16_t> out(static_cast<std::size_t>(pitch) * c.height, fill);
  c.scale(source.data(), reinterpret_cast<std::uint8_t*>(out.data()), pitch);
  return out;
}

TEST(Scalers, FlatColourStaysFlatAndRowsBeyondTheWidthAreUntouched) {
  for (const Case& c : kCases) {
    const std::uint16_t colour = c.format565 ? 0xB5A7 : 0x56B5;
    const std::vector<std::uint16_t> source(kSourcePixels, colour);
    const std::uint32_t pitch = c.width + 24;  // D larger than the scaled row
    const auto out = Scale(c, source, pitch);
    for (std::uint32_t y = 0; y < c.height; ++y) {
      for (std::uint32_t x = 0; x < pitch; ++x) {
        const std::uint16_t expected = x < c.width ? colour : 0xAAAA;
        ASSERT_EQ(At(out, pitch, x, y), expected) << c.name << " at " << x << "," << y;
      }
    }
  }
}

// Each source column (or row) holds one value per channel; the outputs follow the group weights.
TEST(Scalers, HorizontalAndVerticalRampsFollowTheGroupWeights) {
  // ScaleTo800: blue 0, 4, 8, 12 -> 0, 3, 6, 9, 12 (quarters: 1:3, 2:2, 3:1).
  // ScaleTo1024: blue 0, 8, 16, 24, 31 -> 0, 3, 8, 15, 17, 24, 28, 31.
  const std::vector<std::uint16_t> ramp800 = {0, 4, 8, 12};
  const std::vector<std::uint16_t> expect800 = {0, 3, 6, 9, 12};
  const std::vector<std::uint16_t> ramp1024 = {0, 8, 16, 24, 31};
  const std::vector<std::uint16_t> expect1024 = {0, 3, 8, 15, 17, 24, 28, 31};
  for (const Case& c : kCases) {
    const bool wide = c.width == 1024;
    const auto& ramp = wide ? ramp1024 : ramp800;
    const auto& expect = wide ? expect1024 : expect800;
    // Put the ramp in the blue, then the green, then the red channel.
    const unsigned red_shift = c.format565 ? 11 : 10;
    for (unsigned shift : {0u, 5u, red_shift}) {
      std::vector<std::uint16_t> across(kSourcePixels), down(kSourcePixels);
      for (std::uint32_t y = 0; y < 480; ++y)
        for (std::uint32_t x = 0; x < 640; ++x) {
          across[y * 640 + x] = static_cast<std::uint16_t>(ramp[x % ramp.size()] << shift);
          down[y * 640 + x] = static_cast<std::uint16_t>(ramp[y % ramp.size()] << shift);
        }
      const auto out_across = Scale(c, across, c.width);
      const auto out_down = Scale(c, down, c.width);
      for (std::uint32_t i = 0; i < 3 * expect.size(); ++i) {
        const auto want = static_cast<std::uint16_t>(expect[i % expect.size()] << shift);
        ASSERT_EQ(At(out_across, c.width, i, 5), want)
            << c.name << " shift " << shift << " x " << i;
        ASSERT_EQ(At(out_down, c.width, 7, i), want) << c.name << " shift " << shift << " y " << i;
      }
    }
  }
}

TEST(Scalers, ChannelsMixIndependentlyAndSixGreenBitsAreKept) {
  // Two pixels per group position: a = (r 31, g 0, b 0), b = (r 0, g max, b 31).
  // ScaleTo800 output 2 is (a + 3b) >> 2 per channel: r 7, g 3 x max / 4, b 23.
  std::vector<std::uint16_t> source(kSourcePixels);
  for (const Case& c : kCases) {
    if (c.width != 800) continue;
    const unsigned green_max = c.format565 ? 63 : 31;
    const unsigned red_shift = c.format565 ? 11 : 10;
    const auto a = static_cast<std::uint16_t>(31u << red_shift);
    const auto b = static_cast<std::uint16_t>((green_max << 5) | 31u);
    for (std::size_t i = 0; i < kSourcePixels; ++i) source[i] = (i % 4 == 0) ? a : b;
    const auto out = Scale(c, source, 800);
    const unsigned green = (3 * green_max) >> 2;
    EXPECT_EQ(At(out, 800, 1, 0),
              static_cast<std::uint16_t>((7u << red_shift) | (green << 5) | 23u))
        << c.name;
    EXPECT_EQ(At(out, 800, 0, 0), a) << c.name;  // the group's first pixel, unmixed
  }
}

TEST(Scalers, EdgesBetweenGroupsStayHard) {
  // Source groups alternate between two colours; the last output of a group and the first of
  // the next are the two source pixels, unmixed.
  for (const Case& c : kCases) {
    const std::uint32_t in = c.width == 800 ? 4 : 5, out = c.width == 800 ? 5 : 8;
    std::vector<std::uint16_t> source(kSourcePixels);
    for (std::uint32_t y = 0; y < 480; ++y)
      for (std::uint32_t x = 0; x < 640; ++x)
        source[y * 640 + x] = ((x / in) % 2) ? 0x7FFF & 0x7C1F : 0x03E0;
    const auto scaled = Scale(c, source, c.width);
    for (std::uint32_t g = 0; g + 1 < 640 / in; ++g) {
      ASSERT_EQ(At(scaled, c.width, g * out + out - 1, 0), source[g * in + in - 1]) << c.name;
      ASSERT_EQ(At(scaled, c.width, (g + 1) * out, 0), source[(g + 1) * in]) << c.name;
    }
  }
}

}  // namespace
}  // namespace tarvel
