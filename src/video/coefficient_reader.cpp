#include "video/coefficient_reader.h"

#include <array>
#include <bit>
#include <cstring>

#include "video/video_tables.h"

namespace tarvel {

namespace {

uint64_t FromLittleEndian(uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    return v;
  } else {
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i) r |= ((v >> (8 * i)) & 0xFF) << (56 - 8 * i);
    return r;
  }
}

// The 15 or 16 nibbles from nibble `position` on, the next one in the low four bits. Reads
// eight bytes: the caller makes sure they lie inside the stream.
inline uint64_t NibbleWindow(const uint8_t* data, size_t position) {
  uint64_t window;
  std::memcpy(&window, data + (position >> 1), sizeof(window));
  return FromLittleEndian(window) >> ((position & 1) << 2);
}

// Nibble sources working on a local copy of the read position. The checked form tests every
// nibble against the end. The window form takes them from the table-driven reader's window,
// whose next nibble may be a code that stands in for a long code's remaining levels; it is
// used only where the window holds the longest code.
struct CheckedNibbles {
  const uint8_t* data;
  size_t position;
  size_t end;
  bool Next(uint32_t* nibble) {
    if (position >= end) return false;
    *nibble = static_cast<uint32_t>(data[position >> 1] >> ((position & 1) << 2)) & 0xFu;
    ++position;
    return true;
  }
};

struct WindowNibbles {
  uint64_t window;
  size_t position;
  bool Next(uint32_t* nibble) {
    *nibble = static_cast<uint32_t>(window) & 0xFu;
    window >>= 4;
    ++position;
    return true;
  }
};

// Natural index (bits 0-7) and nonzero-mask bits (bits 8-23) of each zigzag position.
constexpr std::array<uint32_t, 64> MakePlaces() {
  std::array<uint32_t, 64> places{};
  for (int j = 0; j < 64; ++j) {
    const uint32_t k = kZigzag[j];
    places[j] = k | (((1u << (k % 8)) | (1u << (8 + k / 8))) << 8);
  }
  return places;
}
constexpr std::array<uint32_t, 64> kPlaces = MakePlaces();

// Where the plain rules put a coefficient: its natural place in the block, dequantised with the
// component's table, its row and column in the mask.
struct PlainSink {
  const int32_t* table;
  int32_t* block;
  uint32_t mask;
  void Put(int position, int32_t level) {
    const uint32_t place = kPlaces[position];
    block[place & 0xFF] = level * table[position];
    mask |= place >> 8;
  }
};

// What one code step did.
enum class Step { kNext, kEnd, kMalformed };

// One code of the plain rules, read at position p of a component: the code nibble and all it
// takes. Malformed: the stream ends, a code would place a coefficient past position 63, or a
// code other than the end code follows a skip that reached the end. A code that fills
// position 63 ends the block.
template <typename Source, typename Sink>
Step RulesStep(Source& in, Sink& sink, int* position) {
  int p = *position;
  uint32_t code = 0;
  if (!in.Next(&code)) return Step::kMalformed;
  if (code == 0) return Step::kEnd;
  // Only the end code may follow a skip that reached the end of the block.
  if (p >= 64) return Step::kMalformed;
  switch (code) {
    case 1:
      *position = p + 5;
      return Step::kNext;
    case 14:
      *position = p + 1;
      return Step::kNext;
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7: {
      const int at = p + static_cast<int>(code >> 1);
      if (at > 63) return Step::kMalformed;
      sink.Put(at, (code & 1) ? -1 : 1);
      p = at + 1;
      break;
    }
    case 8:
    case 9: {
      // A run of 1 to 4, then 2 to 5 levels of 2-bit fields (8), or 1 to 4 of 4-bit fields (9).
      uint32_t a = 0;
      if (!in.Next(&a)) return Step::kMalformed;
      const bool two_bit = code == 8;
      const int first = p + static_cast<int>(a >> 2) + 1;
      const int count = static_cast<int>(a & 3) + (two_bit ? 2 : 1);
      if (first + count - 1 > 63) return Step::kMalformed;
      uint32_t fields = 0;
      for (int i = 0; i < count; ++i) {
        if ((!two_bit || i % 2 == 0) && !in.Next(&fields)) return Step::kMalformed;
        const int32_t level =
            two_bit ? TwoBitLevel(i % 2 == 0 ? fields >> 2 : fields) : FourBitLevel(fields);
        sink.Put(first + i, level);
      }
      p = first + count;
      break;
    }
    case 10: {
      if (p + 1 > 63) return Step::kMalformed;
      uint32_t fields = 0;
      if (!in.Next(&fields)) return Step::kMalformed;
      sink.Put(p, TwoBitLevel(fields >> 2));
      sink.Put(p + 1, TwoBitLevel(fields));
      p += 2;
      break;
    }
    case 11:
    case 12:
    case 13: {
      const int count = static_cast<int>(code) - 10;
      if (p + count - 1 > 63) return Step::kMalformed;
      for (int i = 0; i < count; ++i) {
        uint32_t field = 0;
        if (!in.Next(&field)) return Step::kMalformed;
        sink.Put(p + i, FourBitLevel(field));
      }
      p += count;
      break;
    }
    default: {  // 15: literal level
      uint32_t h = 0;
      uint32_t l = 0;
      if (!in.Next(&h) || !in.Next(&l)) return Step::kMalformed;
      sink.Put(p, static_cast<int8_t>((h << 4) | l));
      p += 1;
      break;
    }
  }
  *position = p;
  // A code that fills position 63 ends the block without an end code.
  return p == 64 ? Step::kEnd : Step::kNext;
}

bool ReadComponentByRules(CheckedNibbles& in, const int32_t* table, int32_t* block,
                          uint32_t* mask_out) {
  // The DC level: two nibbles, the first one high, as a signed byte.
  uint32_t high = 0;
  uint32_t low = 0;
  if (!in.Next(&high) || !in.Next(&low)) return false;
  PlainSink sink{table, block, 0};
  sink.Put(0, static_cast<int8_t>((high << 4) | low));
  int p = 1;
  for (;;) {
    const Step step = RulesStep(in, sink, &p);
    if (step == Step::kMalformed) return false;
    if (step == Step::kEnd) break;
  }
  *mask_out = sink.mask;
  return true;
}

// ---- The table-driven reader.
//
// One look-up by the next three nibbles resolves every code, or run of codes, that lies wholly
// in them and writes at most two coefficients: codes 0 to 7, 10, 11, 12, 14, 15, code 8 with
// two levels and code 9 with one, and chains of them such as "skip, then -1". The entry gives
// the coefficients' levels and their offsets from the current position, how far the position
// advances and how many bits are used. A longer code (13, 8 with three to five levels, 9 with
// two to four) resolves its first levels the same way. For most of them the rest of the levels
// are what a shorter code would give from the following nibbles: 13 l1 l2 l3 is l1 and l2,
// then 11 l3 (one 4-bit level); 9 with k more 4-bit levels is 10 + k; 8 with two more 2-bit
// levels is 10. The entry then uses only the code and its first nibble, and turns the nibble
// that held its own levels into that shorter code, so that the next look-up takes the rest as
// any other code (the window's next nibble is not then the stream's). Code 8 with three or five
// levels takes the rest from the following nibbles as a tail (kTails, by the code and its first
// nibble). Every step that would reach position 64, where the rules about the end of the block
// apply, takes one step of the plain rules instead, on the window's nibbles.

struct CodeEntry {
  int8_t level0 = 0;  // the coefficients' levels
  int8_t level1 = 0;
  // Their slots, as offsets from the current position. An unused one is kUnusedSlot: the slot
  // of a zero at the current position, which no code has reached yet.
  uint8_t first = kUnusedSlot;
  uint8_t second = kUnusedSlot;
  uint8_t advance = kRulesStep;  // positions the entry moves on; kRulesStep: use the rules
  // How far the entry's codes reach from the current position: its advance, or that of the whole
  // long code it begins. kEndEntry, kTailEntry and kRulesEntry (all past the block) send the
  // reader to its slower steps.
  uint8_t reach = kRulesEntry;
  uint8_t bits = 0;        // bits used: four per nibble
  uint8_t substitute = 0;  // XORed into the next nibble to make the shorter code of the rest

  static constexpr uint8_t kUnusedSlot = 64;
  static constexpr uint8_t kRulesStep = 64;
  static constexpr uint8_t kEndEntry = 64;    // the entry ends with the end code
  static constexpr uint8_t kTailEntry = 65;   // more levels follow, as kTails says
  static constexpr uint8_t kRulesEntry = 66;  // not resolved by the table
};

// The levels of code 8 that lie past the look-up's three nibbles: up to three 2-bit fields,
// each at bit `shifts[i]` of the window. Unused ones have the slot of a zero at the position
// after the code (kUnusedSlot + the code's advance), which no code has reached yet.
struct TailEntry {
  uint8_t offsets[3] = {CodeEntry::kUnusedSlot, CodeEntry::kUnusedSlot, CodeEntry::kUnusedSlot};
  uint8_t shifts[3] = {0, 0, 0};
};

struct CodeShape {
  int nibbles = 0;  // 0: not resolved by one look-up
  int run = 0;
  int count = 0;  // coefficients written
  int levels[2] = {0, 0};
};

constexpr int8_t kTwoBitLevels[4] = {1, 2, -2, -1};
constexpr int FourBit(uint32_t f) {
  return f < 8 ? static_cast<int>(f) + 1 : static_cast<int>(f) - 16;
}

// The code at nibble i of the three-nibble window n, when it lies wholly in the window and
// writes at most two coefficients.
constexpr CodeShape ShapeAt(const uint32_t (&n)[3], int i) {
  CodeShape s;
  const int room = 3 - i;
  const uint32_t code = n[i];
  auto nibble = [&](int k) { return n[i + k]; };
  if (code == 0 || code == 1 || code == 14) {
    s.nibbles = 1;
    s.run = code == 1 ? 5 : (code == 14 ? 1 : 0);
  } else if (code <= 7) {
    s.nibbles = 1;
    s.run = static_cast<int>(code >> 1);
    s.count = 1;
    s.levels[0] = (code & 1) ? -1 : 1;
  } else if (code == 10 && room >= 2) {
    s.nibbles = 2;
    s.count = 2;
    s.levels[0] = kTwoBitLevels[nibble(1) >> 2];
    s.levels[1] = kTwoBitLevels[nibble(1) & 3];
  } else if (code == 11 && room >= 2) {
    s.nibbles = 2;
    s.count = 1;
    s.levels[0] = FourBit(nibble(1));
  } else if (code == 12 && room >= 3) {
    s.nibbles = 3;
    s.count = 2;
    s.levels[0] = FourBit(nibble(1));
    s.levels[1] = FourBit(nibble(2));
  } else if (code == 15 && room >= 3) {
    s.nibbles = 3;
    s.count = 1;
    s.levels[0] = static_cast<int8_t>((nibble(1) << 4) | nibble(2));
  } else if (code == 8 && room >= 3 && (nibble(1) & 3) == 0) {
    s.nibbles = 3;
    s.run = static_cast<int>(nibble(1) >> 2) + 1;
    s.count = 2;
    s.levels[0] = kTwoBitLevels[nibble(2) >> 2];
    s.levels[1] = kTwoBitLevels[nibble(2) & 3];
  } else if (code == 9 && room >= 3 && (nibble(1) & 3) == 0) {
    s.nibbles = 3;
    s.run = static_cast<int>(nibble(1) >> 2) + 1;
    s.count = 1;
    s.levels[0] = FourBit(nibble(2));
  }
  return s;
}

constexpr CodeEntry MakeEntry(uint32_t window) {
  const uint32_t n[3] = {window & 15, (window >> 4) & 15, (window >> 8) & 15};
  CodeEntry e;
  int used = 0;
  int advance = 0;
  int count = 0;
  int offsets[2] = {CodeEntry::kUnusedSlot, CodeEntry::kUnusedSlot};
  int levels[2] = {0, 0};
  bool ends = false;
  while (used < 3) {
    const CodeShape s = ShapeAt(n, used);
    if (s.nibbles == 0 || count + s.count > 2) break;
    for (int k = 0; k < s.count; ++k) {
      offsets[count] = advance + s.run + k;
      levels[count] = s.levels[k];
      ++count;
    }
    used += s.nibbles;
    advance += s.run + s.count;
    if (n[used - s.nibbles] == 0) {
      ends = true;
      break;
    }
  }
  int reach = ends ? CodeEntry::kEndEntry : advance;
  if (used == 0) {
    // A long code: its first levels from the look-up, the rest from a shorter code or a tail.
    const uint32_t code = n[0];
    const uint32_t a = n[1];
    const int run = static_cast<int>(a >> 2) + 1;
    uint32_t rest_code = 0;  // the shorter code of the rest; 0: a tail
    if (code == 13) {
      used = 4;
      advance = 3;
      offsets[0] = 0;
      offsets[1] = 1;
      levels[0] = FourBit(n[1]);
      levels[1] = FourBit(n[2]);
      rest_code = 11;
    } else if (code == 9 && (a & 3) >= 1) {
      const int levels_in_code = static_cast<int>(a & 3) + 1;
      used = 2 + levels_in_code;
      advance = run + levels_in_code;
      offsets[0] = run;
      levels[0] = FourBit(n[2]);
      rest_code = 10 + (a & 3);
    } else if (code == 8 && (a & 3) >= 1) {
      const int levels_in_code = static_cast<int>(a & 3) + 2;
      used = 2 + (levels_in_code + 1) / 2;
      advance = run + levels_in_code;
      offsets[0] = run;
      offsets[1] = run + 1;
      levels[0] = kTwoBitLevels[n[2] >> 2];
      levels[1] = kTwoBitLevels[n[2] & 3];
      if ((a & 3) == 2) rest_code = 10;
    } else {
      return e;  // not a code of this table: the rules take it
    }
    if (rest_code != 0) {
      // Only the code and its first nibble are used; the nibble that held the levels read here
      // becomes the shorter code, whose levels come next. The whole code's reach is tested.
      reach = advance;
      used = 2;
      advance = (offsets[1] != CodeEntry::kUnusedSlot ? offsets[1] : offsets[0]) + 1;
      e.substitute = static_cast<uint8_t>(n[2] ^ rest_code);
    } else {
      reach = CodeEntry::kTailEntry;
    }
  }
  e.bits = static_cast<uint8_t>(4 * used);
  e.advance = static_cast<uint8_t>(advance);
  e.reach = static_cast<uint8_t>(reach);
  e.level0 = static_cast<int8_t>(levels[0]);
  e.level1 = static_cast<int8_t>(levels[1]);
  e.first = static_cast<uint8_t>(offsets[0]);
  e.second = static_cast<uint8_t>(offsets[1]);
  return e;
}

// A table of every value of an index of kSize values, made by `make`.
template <typename Entry, size_t kSize>
constexpr std::array<Entry, kSize> MakeTable(Entry (*make)(uint32_t)) {
  std::array<Entry, kSize> table{};
  for (uint32_t index = 0; index < kSize; ++index) table[index] = make(index);
  return table;
}

constexpr auto kCodeTable = MakeTable<CodeEntry, 4096>(MakeEntry);

// The tail of code 8 with three or five levels, whose code and first nibble are the low byte
// of `window`.
constexpr TailEntry MakeTail(uint32_t window) {
  const uint32_t code = window & 15;
  const uint32_t a = (window >> 4) & 15;
  TailEntry t;
  const int run = static_cast<int>(a >> 2) + 1;
  const int after = run + static_cast<int>(a & 3) + 2;
  for (uint8_t& offset : t.offsets) offset = static_cast<uint8_t>(CodeEntry::kUnusedSlot + after);
  if (code == 8 && (a & 3) >= 1) {
    // Levels 3 to 5: the high then the low half of the fourth nibble, the high half of the fifth.
    constexpr uint8_t kShifts[3] = {14, 12, 18};
    for (int i = 0; i < static_cast<int>(a & 3); ++i) {
      t.offsets[i] = static_cast<uint8_t>(run + 2 + i);
      t.shifts[i] = kShifts[i];
    }
  }
  return t;
}

constexpr auto kTails = MakeTable<TailEntry, 256>(MakeTail);

// The rules' sink on a component's slots.
struct SlotSink {
  const CoefficientSlot* slots;
  int32_t* block;
  uint32_t mask;
  void Put(int position, int32_t level) {
    const CoefficientSlot& slot = slots[position];
    block[slot.place & 0xFF] = level * slot.multiplier;
    mask |= slot.place;
  }
};

// Reads one component from a stream with a block's worst case ahead. The nibbles come from a
// 64-bit window shifted along. A window read from the stream holds at least 15 nibbles: enough
// for three look-ups of up to three nibbles and then one of up to six (a tail, or a step of the
// rules), so it is read again after every four look-ups, and after a tail or a rules step. The
// read position is kept in bits, four per nibble, so that it moves on as the window does.
bool ReadComponentFast(const uint8_t* data, size_t* position, const CoefficientSlot* slots,
                       int32_t* block, uint32_t* mask_out) {
  size_t at = *position * 4;
  uint64_t window = NibbleWindow(data, *position);
  const uint32_t dc = static_cast<uint32_t>(window) & 0xFF;
  block[0] = static_cast<int8_t>(((dc & 15) << 4) | (dc >> 4)) * slots[0].multiplier;
  at += 8;
  // Mask bits gather in the high half of the slots' places.
  uint32_t places = slots[0].place;
  ptrdiff_t p = 1;
  window >>= 8;
  int until_reload = 3;
  // An unused slot goes before the first coefficient, which may take the current position.
  const auto write = [&](const CodeEntry& e) {
    const CoefficientSlot& second = slots[p + e.second];
    const CoefficientSlot& first = slots[p + e.first];
    block[second.place & 0xFF] = e.level1 * second.multiplier;
    block[first.place & 0xFF] = e.level0 * first.multiplier;
    places |= first.place | second.place;
  };
  for (;;) {
    const CodeEntry& e = kCodeTable[window & 0xFFF];
    if (p + e.reach <= 63) {
      write(e);
      p += e.advance;
      at += e.bits;
      window >>= e.bits;
      if (--until_reload == 0) {
        window = NibbleWindow(data, at >> 2);
        until_reload = 4;
      }
      window ^= e.substitute;
      continue;
    }
    if (e.reach >= CodeEntry::kEndEntry && p + e.advance <= 63) {
      // An entry that ends with the end code, or code 8 with a tail (a long code whose reach
      // failed the test above takes the rules).
      write(e);
      at += e.bits;
      if (e.reach == CodeEntry::kEndEntry) break;
      const TailEntry& t = kTails[window & 0xFF];
      for (int i = 0; i < 3; ++i) {
        const CoefficientSlot& slot = slots[p + t.offsets[i]];
        const int32_t level = kTwoBitLevels[(window >> t.shifts[i]) & 3];
        block[slot.place & 0xFF] = level * slot.multiplier;
        places |= slot.place;
      }
      p += e.advance;
      window = NibbleWindow(data, at >> 2);
      until_reload = 4;
      continue;
    }
    WindowNibbles in{window, at >> 2};
    SlotSink sink{slots, block, 0};
    int rules_position = static_cast<int>(p);
    const Step step = RulesStep(in, sink, &rules_position);
    p = rules_position;
    places |= sink.mask;
    at = in.position * 4;
    if (step == Step::kEnd) break;
    if (step == Step::kMalformed) return false;
    window = NibbleWindow(data, in.position);
    until_reload = 4;
  }
  *position = at >> 2;
  *mask_out = places >> 16;
  return true;
}

// Nibbles the fast reader may look at beyond the current one: a whole block plus one window.
constexpr size_t kFastReadMargin = kMaxNibblesPerBlock + 16;

bool HasFastMargin(const NibbleReader& reader) {
  return reader.end > reader.position && reader.end - reader.position >= kFastReadMargin;
}

}  // namespace

bool ReadBlockCoefficientsByRules(NibbleReader& reader, const int32_t (&dequant)[6][64],
                                  int32_t (&coefficients)[3][64], uint32_t (&masks)[3]) {
  std::memset(coefficients, 0, sizeof(coefficients));
  CheckedNibbles in{reader.data, reader.position, reader.end};
  for (int c = 0; c < 3; ++c) {
    if (!ReadComponentByRules(in, dequant[c], coefficients[c], &masks[c])) return false;
  }
  reader.position = in.position;
  return true;
}

void BuildCoefficientSlots(const int32_t (&dequant)[6][64], CoefficientSlot (&slots)[3][128]) {
  for (int c = 0; c < 3; ++c) {
    for (int j = 0; j < 64; ++j) {
      const uint32_t place = kPlaces[j];
      slots[c][j] = {dequant[c][j], (place & 0xFF) | ((place >> 8) << 16)};
      slots[c][64 + j] = {0, place & 0xFF};
    }
  }
}

bool ReadCodedCoefficients(NibbleReader& reader, const CoefficientSlot (&slots)[3][128],
                           int32_t (&coefficients)[3][64], uint32_t (&masks)[3]) {
  bool ok = true;
  if (HasFastMargin(reader)) {
    size_t position = reader.position;
    for (int c = 0; c < 3 && ok; ++c) {
      ok = ReadComponentFast(reader.data, &position, slots[c], coefficients[c], &masks[c]);
    }
    reader.position = position;
  } else {
    CheckedNibbles in{reader.data, reader.position, reader.end};
    for (int c = 0; c < 3 && ok; ++c) {
      SlotSink sink{slots[c], coefficients[c], 0};
      uint32_t high = 0;
      uint32_t low = 0;
      ok = in.Next(&high) && in.Next(&low);
      if (!ok) break;
      sink.Put(0, static_cast<int8_t>((high << 4) | low));
      int p = 1;
      Step step = Step::kNext;
      while (step == Step::kNext) step = RulesStep(in, sink, &p);
      ok = step == Step::kEnd;
      masks[c] = sink.mask >> 16;
    }
    reader.position = in.position;
  }
  // A malformed block leaves the buffer as it found it: all zero.
  if (!ok) std::memset(coefficients, 0, sizeof(coefficients));
  return ok;
}

bool ReadCodedCoefficients(NibbleReader& reader, const int32_t (&dequant)[6][64],
                           int32_t (&coefficients)[3][64], uint32_t (&masks)[3]) {
  CoefficientSlot slots[3][128];
  BuildCoefficientSlots(dequant, slots);
  return ReadCodedCoefficients(reader, slots, coefficients, masks);
}

bool ReadBlockCoefficients(NibbleReader& reader, const int32_t (&dequant)[6][64],
                           int32_t (&coefficients)[3][64], uint32_t (&masks)[3]) {
  std::memset(coefficients, 0, sizeof(coefficients));
  return ReadCodedCoefficients(reader, dequant, coefficients, masks);
}

}  // namespace tarvel
