// Entropy decoding of the DCT coefficients of one block: three components (Y, Cb, Cr), each a
// DC level followed by run/level codes in zigzag order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video/decoder_state.h"

namespace tarvel {

// Most nibbles one block can take: per component a DC (2) and 63 literals (3 each).
inline constexpr size_t kMaxNibblesPerBlock = 3 * (2 + 63 * 3);

// Level of a 2-bit field: +1, +2, -2, -1. Level of a 4-bit field: 1..8, then -8..-1.
inline int32_t TwoBitLevel(uint32_t field) {
  constexpr int32_t kLevels[4] = {1, 2, -2, -1};
  return kLevels[field & 3];
}
inline int32_t FourBitLevel(uint32_t field) {
  return field < 8 ? static_cast<int32_t>(field) + 1 : static_cast<int32_t>(field) - 16;
}

// Clears `coefficients` and decodes one block's three components into it (natural order,
// dequantised with `dequant`: Y, Cb, Cr tables in zigzag order), with their nonzero masks.
// Returns false on a malformed block: the stream ends early, a code would place a coefficient
// past position 63, or a code other than the end code follows a skip that reached the end.
// The coefficients are then incomplete and must not be used.
bool ReadBlockCoefficients(NibbleReader& reader, const int32_t (&dequant)[6][64],
                           int32_t (&coefficients)[3][64], uint32_t (&masks)[3]);

// The same on a buffer that is all zero on entry: only the coded coefficients are written
// (the caller clears them after use, by the masks' rows). A malformed block leaves the buffer
// all zero. Where a block's worst case fits before the end of the stream, codes are resolved
// several nibbles at a time by table; near the end every nibble is checked.
bool ReadCodedCoefficients(NibbleReader& reader, const int32_t (&dequant)[6][64],
                           int32_t (&coefficients)[3][64], uint32_t (&masks)[3]);

// The same with the decoder's per-frame slots (BuildCoefficientSlots), which the reader takes
// the dequantisation multipliers and the places of coefficients from.
bool ReadCodedCoefficients(NibbleReader& reader, const CoefficientSlot (&slots)[3][128],
                           int32_t (&coefficients)[3][64], uint32_t (&masks)[3]);

// Fills the coefficient slots of the three components from the dequantisation tables.
void BuildCoefficientSlots(const int32_t (&dequant)[6][64], CoefficientSlot (&slots)[3][128]);

// The plain rules, one nibble at a time, every nibble checked against the end: kept to check
// the table-driven reader against.
bool ReadBlockCoefficientsByRules(NibbleReader& reader, const int32_t (&dequant)[6][64],
                                  int32_t (&coefficients)[3][64], uint32_t (&masks)[3]);

}  // namespace tarvel
