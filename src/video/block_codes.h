// The mode codes of the two frame kinds' block trees: which bits, read one at a time from the
// mode-bit stream, name which leaf or split at each piece size. The decoder reads them through
// ReadBlockMode; the encoder writes them with CodeOf.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "video/decoder_state.h"

namespace tarvel {

// What a code names.
enum class BlockMode : std::uint8_t {
  kSpiral,      // copy from the reference picture by the next spiral index
  kVector,      // copy by a vector word (with an orientation)
  kDct,         // a DCT-coded block
  kSkip,        // the same place of the reference picture
  kStacked,     // whole block: the two stacked halves
  kSideBySide,  // whole block: the two side-by-side halves
  kQuarters,    // whole block: the four quarters
  kSplit,       // a half into its two quarters, an eighth into its two sixteenths
  kWide,        // a quarter into its two wide eighths
  kTall,        // a quarter into its two tall eighths
  kSixteenths,  // a quarter into its four sixteenths
  kNoMode,      // a code that names nothing (a delta frame's whole-block 1111)
  kCount
};
inline constexpr int kBlockModeCount = static_cast<int>(BlockMode::kCount);

struct BlockCode {
  std::uint8_t bits = 0;    // the code, its first bit the most significant
  std::uint8_t length = 0;  // 0: the mode has no code at this piece size
};

// The prefix code of one tree level.
struct BlockCodeTable {
  static constexpr int kMaxLength = 4;
  BlockCode code[kBlockModeCount] = {};
  // The mode a prefix of `length` bits with value `bits` names, or kCount when it is not a
  // whole code yet.
  BlockMode mode_of[kMaxLength + 1][1 << kMaxLength] = {};
  // The code that the next kMaxLength bits begin with: its mode and its length (the codes of a
  // table form a complete prefix code, so exactly one fits).
  BlockMode mode_of_window[1 << kMaxLength] = {};
  std::uint8_t length_of_window[1 << kMaxLength] = {};

  constexpr BlockCodeTable(std::initializer_list<std::pair<BlockMode, BlockCode>> codes) {
    for (auto& row : mode_of)
      for (BlockMode& mode : row) mode = BlockMode::kCount;
    for (const auto& [mode, c] : codes) {
      code[static_cast<int>(mode)] = c;
      mode_of[c.length][c.bits] = mode;
      if (c.length == 0) continue;
      const int free_bits = kMaxLength - c.length;
      for (int rest = 0; rest < (1 << free_bits); ++rest) {
        mode_of_window[(c.bits << free_bits) | rest] = mode;
        length_of_window[(c.bits << free_bits) | rest] = c.length;
      }
    }
  }
  constexpr BlockCode CodeOf(BlockMode mode) const { return code[static_cast<int>(mode)]; }
};

// Delta frames.
inline constexpr BlockCodeTable kDeltaWholeCodes{
    {BlockMode::kSpiral, {0b00, 2}},      {BlockMode::kVector, {0b010, 3}},
    {BlockMode::kDct, {0b011, 3}},        {BlockMode::kStacked, {0b100, 3}},
    {BlockMode::kSideBySide, {0b101, 3}}, {BlockMode::kSkip, {0b110, 3}},
    {BlockMode::kQuarters, {0b1110, 4}},  {BlockMode::kNoMode, {0b1111, 4}}};
inline constexpr BlockCodeTable kDeltaHalfCodes{{BlockMode::kSpiral, {0b00, 2}},
                                                {BlockMode::kVector, {0b01, 2}},
                                                {BlockMode::kSplit, {0b10, 2}},
                                                {BlockMode::kSkip, {0b11, 2}}};
inline constexpr BlockCodeTable kDeltaQuarterCodes{
    {BlockMode::kSpiral, {0b00, 2}}, {BlockMode::kVector, {0b01, 2}},
    {BlockMode::kSkip, {0b100, 3}},  {BlockMode::kWide, {0b101, 3}},
    {BlockMode::kTall, {0b110, 3}},  {BlockMode::kSixteenths, {0b111, 3}}};
inline constexpr BlockCodeTable kDeltaEighthCodes{{BlockMode::kSpiral, {0b0, 1}},
                                                  {BlockMode::kVector, {0b10, 2}},
                                                  {BlockMode::kSkip, {0b110, 3}},
                                                  {BlockMode::kSplit, {0b111, 3}}};
inline constexpr BlockCodeTable kDeltaSixteenthCodes{
    {BlockMode::kSpiral, {0b0, 1}}, {BlockMode::kVector, {0b10, 2}}, {BlockMode::kSkip, {0b11, 2}}};

// Key frames. A key frame's sixteenths have no code: each is a vector copy.
inline constexpr BlockCodeTable kKeyWholeCodes{{BlockMode::kStacked, {0b00, 2}},
                                               {BlockMode::kSideBySide, {0b01, 2}},
                                               {BlockMode::kQuarters, {0b10, 2}},
                                               {BlockMode::kDct, {0b110, 3}},
                                               {BlockMode::kVector, {0b111, 3}}};
inline constexpr BlockCodeTable kKeyHalfCodes{{BlockMode::kSplit, {0b0, 1}},
                                              {BlockMode::kVector, {0b1, 1}}};
inline constexpr BlockCodeTable kKeyQuarterCodes{{BlockMode::kVector, {0b00, 2}},
                                                 {BlockMode::kWide, {0b01, 2}},
                                                 {BlockMode::kTall, {0b10, 2}},
                                                 {BlockMode::kSixteenths, {0b11, 2}}};
inline constexpr BlockCodeTable kKeyEighthCodes{{BlockMode::kVector, {0b0, 1}},
                                                {BlockMode::kSplit, {0b1, 1}}};
inline constexpr BlockCodeTable kKeySixteenthCodes{{BlockMode::kVector, {0, 0}}};

// The table of a piece size in a frame kind (the two halves share one, the two eighths too).
constexpr const BlockCodeTable& BlockCodesOf(bool key_frame, PieceSize size) {
  switch (size) {
    case PieceSize::kWhole:
      return key_frame ? kKeyWholeCodes : kDeltaWholeCodes;
    case PieceSize::kSideHalf:
    case PieceSize::kStackedHalf:
      return key_frame ? kKeyHalfCodes : kDeltaHalfCodes;
    case PieceSize::kQuarter:
      return key_frame ? kKeyQuarterCodes : kDeltaQuarterCodes;
    case PieceSize::kTallEighth:
    case PieceSize::kWideEighth:
      return key_frame ? kKeyEighthCodes : kDeltaEighthCodes;
    default:
      return key_frame ? kKeySixteenthCodes : kDeltaSixteenthCodes;
  }
}

// Bits of the orientation field that precedes a long vector word: a delta frame gives all three
// bits, a key frame the top two (the word's bit 15 is the lowest).
inline constexpr int kDeltaOrientationBits = 3;
inline constexpr int kKeyOrientationBits = 2;
// Bits of a spiral index and of a vector word.
inline constexpr int kSpiralIndexBits = 12;
inline constexpr int kVectorWordBits = 16;

}  // namespace tarvel
