#include "video/coefficient_reader.h"

#include <cstring>

#include "video/video_tables.h"

namespace tarvel {

namespace {

// Nibble source. The unchecked form is used only when the whole block's worst case is known
// to be available.
template <bool kChecked>
struct Nibbles {
  NibbleReader& reader;
  bool Next(uint32_t* nibble) {
    if constexpr (kChecked) {
      return ReadNibble(reader, nibble);
    } else {
      const uint8_t byte = reader.data[reader.position >> 1];
      *nibble = (reader.position & 1) ? static_cast<uint32_t>(byte >> 4) : byte & 0xFu;
      ++reader.position;
      return true;
    }
  }
};

template <bool kChecked>
bool ReadComponent(Nibbles<kChecked>& in, const int32_t* table, const uint16_t* mask_bits,
                   int32_t* block, uint32_t* mask_out) {
  uint32_t high = 0;
  uint32_t low = 0;
  if (!in.Next(&high) || !in.Next(&low)) return false;
  uint32_t mask = mask_bits[0];
  block[kZigzag[0]] = static_cast<int8_t>((high << 4) | low) * table[0];

  auto put = [&](int position, int32_t level) {
    block[kZigzag[position]] = level * table[position];
    mask |= mask_bits[position];
  };

  int p = 1;
  for (;;) {
    uint32_t code = 0;
    if (!in.Next(&code)) return false;
    if (code == 0) break;
    // Only the end code may follow a skip that reached the end of the block.
    if (p >= 64) return false;
    switch (code) {
      case 1:
        p += 5;
        continue;
      case 14:
        p += 1;
        continue;
      case 2:
      case 3:
      case 4:
      case 5:
      case 6:
      case 7: {
        const int position = p + static_cast<int>(code >> 1);
        if (position > 63) return false;
        put(position, (code & 1) ? -1 : 1);
        p = position + 1;
        break;
      }
      case 8: {
        uint32_t a = 0;
        if (!in.Next(&a)) return false;
        const int first = p + static_cast<int>(a >> 2) + 1;
        const int count = static_cast<int>(a & 3) + 2;
        if (first + count - 1 > 63) return false;
        for (int i = 0; i < count; i += 2) {
          uint32_t fields = 0;
          if (!in.Next(&fields)) return false;
          put(first + i, TwoBitLevel(fields >> 2));
          if (i + 1 < count) put(first + i + 1, TwoBitLevel(fields));
        }
        p = first + count;
        break;
      }
      case 9: {
        uint32_t a = 0;
        if (!in.Next(&a)) return false;
        const int first = p + static_cast<int>(a >> 2) + 1;
        const int count = static_cast<int>(a & 3) + 1;
        if (first + count - 1 > 63) return false;
        for (int i = 0; i < count; ++i) {
          uint32_t field = 0;
          if (!in.Next(&field)) return false;
          put(first + i, FourBitLevel(field));
        }
        p = first + count;
        break;
      }
      case 10: {
        if (p + 1 > 63) return false;
        uint32_t fields = 0;
        if (!in.Next(&fields)) return false;
        put(p, TwoBitLevel(fields >> 2));
        put(p + 1, TwoBitLevel(fields));
        p += 2;
        break;
      }
      case 11:
      case 12:
      case 13: {
        const int count = static_cast<int>(code) - 10;
        if (p + count - 1 > 63) return false;
        for (int i = 0; i < count; ++i) {
          uint32_t field = 0;
          if (!in.Next(&field)) return false;
          put(p + i, FourBitLevel(field));
        }
        p += count;
        break;
      }
      default: {  // 15: literal level
        uint32_t h = 0;
        uint32_t l = 0;
        if (!in.Next(&h) || !in.Next(&l)) return false;
        put(p, static_cast<int8_t>((h << 4) | l));
        p += 1;
        break;
      }
    }
    // A code that fills position 63 ends the block without an end code.
    if (p == 64) break;
  }
  *mask_out = mask;
  return true;
}

template <bool kChecked>
bool ReadBlock(NibbleReader& reader, const int32_t (&dequant)[6][64],
               int32_t (&coefficients)[3][64], uint32_t (&masks)[3]) {
  const SharedTables& shared = BuildSharedTables();
  Nibbles<kChecked> in{reader};
  for (int c = 0; c < 3; ++c) {
    if (!ReadComponent(in, dequant[c], shared.mask_bits[c], coefficients[c], &masks[c])) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ReadBlockCoefficients(NibbleReader& reader, const int32_t (&dequant)[6][64],
                           int32_t (&coefficients)[3][64], uint32_t (&masks)[3]) {
  std::memset(coefficients, 0, sizeof(coefficients));
  if (reader.end > reader.position && reader.end - reader.position >= kMaxNibblesPerBlock) {
    return ReadBlock<false>(reader, dequant, coefficients, masks);
  }
  return ReadBlock<true>(reader, dequant, coefficients, masks);
}

bool ReadBlockCoefficients(DecoderState& state) {
  return ReadBlockCoefficients(state.nibbles, state.dequant, state.coefficients,
                               state.nonzero_mask);
}

}  // namespace tarvel
