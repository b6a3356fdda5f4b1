#include "video/coefficient_reader.h"

#include <bit>
#include <cstring>

#include "video/video_tables.h"

namespace tarvel {

namespace {

// Nibble source working on a local copy of the read position. The checked form tests every
// nibble against the end. The unchecked form is used only when a block's worst case plus a
// 16-nibble margin is available: it keeps up to 16 upcoming nibbles in a register, refilled by
// one 8-byte load (that the margin keeps inside the stream) whenever fewer than 8 are left at
// the start of a code.
template <bool kChecked>
struct Nibbles;

template <>
struct Nibbles<true> {
  const uint8_t* data;
  size_t position;
  size_t end;
  bool Next(uint32_t* nibble) {
    if (position >= end) return false;
    *nibble = static_cast<uint32_t>(data[position >> 1] >> ((position & 1) << 2)) & 0xFu;
    ++position;
    return true;
  }
  void Prepare() {}
  size_t Position() const { return position; }
};

template <>
struct Nibbles<false> {
  const uint8_t* data;
  size_t position;  // of the lowest nibble in `window`
  uint64_t window = 0;
  int available = 0;
  // Makes at least 8 nibbles available: enough for a code and everything it reads.
  void Prepare() {
    if (available >= 8) return;
    std::memcpy(&window, data + (position >> 1), sizeof(window));
    window = FromLittleEndian(window) >> ((position & 1) << 2);
    available = 16 - static_cast<int>(position & 1);
  }
  bool Next(uint32_t* nibble) {
    *nibble = static_cast<uint32_t>(window & 0xF);
    Skip(1);
    return true;
  }
  void Skip(int count) {
    window >>= 4 * count;
    available -= count;
    position += static_cast<size_t>(count);
  }
  size_t Position() const { return position; }

 private:
  static uint64_t FromLittleEndian(uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
      return v;
    } else {
      uint64_t r = 0;
      for (int i = 0; i < 8; ++i) r |= ((v >> (8 * i)) & 0xFF) << (56 - 8 * i);
      return r;
    }
  }
};

template <bool kChecked>
bool ReadComponent(Nibbles<kChecked>& in, const int32_t* table, const uint16_t* mask_bits,
                   int32_t* block, uint32_t* mask_out) {
  uint32_t high = 0;
  uint32_t low = 0;
  in.Prepare();
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
    in.Prepare();
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

bool ReadBlockChecked(NibbleReader& reader, const int32_t (&dequant)[6][64],
                      int32_t (&coefficients)[3][64], uint32_t (&masks)[3]) {
  const SharedTables& shared = BuildSharedTables();
  Nibbles<true> in{reader.data, reader.position, reader.end};
  bool ok = true;
  for (int c = 0; c < 3 && ok; ++c) {
    ok = ReadComponent(in, dequant[c], shared.mask_bits[c], coefficients[c], &masks[c]);
  }
  reader.position = in.Position();
  return ok;
}

bool ReadBlockFast(NibbleReader& reader, const int32_t (&dequant)[6][64],
                   int32_t (&coefficients)[3][64], uint32_t (&masks)[3]) {
  const SharedTables& shared = BuildSharedTables();
  Nibbles<false> in{reader.data, reader.position};
  bool ok = true;
  for (int c = 0; c < 3 && ok; ++c) {
    ok = ReadComponent(in, dequant[c], shared.mask_bits[c], coefficients[c], &masks[c]);
  }
  reader.position = in.Position();
  return ok;
}

// Nibbles the fast reader may look at beyond the current one: a whole block plus one window.
constexpr size_t kFastReadMargin = kMaxNibblesPerBlock + 16;

}  // namespace

bool ReadBlockCoefficients(NibbleReader& reader, const int32_t (&dequant)[6][64],
                           int32_t (&coefficients)[3][64], uint32_t (&masks)[3]) {
  std::memset(coefficients, 0, sizeof(coefficients));
  if (reader.end > reader.position && reader.end - reader.position >= kFastReadMargin) {
    return ReadBlockFast(reader, dequant, coefficients, masks);
  }
  return ReadBlockChecked(reader, dequant, coefficients, masks);
}

bool ReadBlockCoefficients(DecoderState& state) {
  return ReadBlockCoefficients(state.nibbles, state.dequant, state.coefficients,
                               state.nonzero_mask);
}

}  // namespace tarvel
