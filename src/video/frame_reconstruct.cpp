// The two frame paths: walk the picture in 8x8 blocks and, for each, descend the block's mode
// tree, producing every piece by an oriented copy or a DCT-coded block.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "video/block_codes.h"
#include "video/block_copy.h"
#include "video/block_ops.h"
#include "video/coefficient_reader.h"
#include "video/colour_convert.h"
#include "video/inverse_dct.h"
#include "video/video_decoder.h"

namespace tarvel {

namespace {

// ---- Stream readers. A reader that runs out marks the frame corrupt and returns 0; the next
// piece that would be written sees the mark and stops the frame.

inline uint32_t ModeBit(DecoderState& s) {
  if (s.mode_bits_left == 0) {
    // The next word is loaded only when a bit of it is needed.
    if (s.mode_bits_position > s.payload_length || s.payload_length - s.mode_bits_position < 4) {
      s.corrupt = true;
      return 0;
    }
    const uint8_t* p = s.payload + s.mode_bits_position;
    s.mode_word = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                  (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    s.mode_bits_position += 4;
    s.mode_bits_left = 32;
  }
  const uint32_t bit = s.mode_word >> 31;
  s.mode_word <<= 1;
  --s.mode_bits_left;
  return bit;
}

// A field of `count` mode bits, the first one read being the most significant.
inline uint32_t ModeField(DecoderState& s, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 1) | ModeBit(s);
  return value;
}

// The mode that the next code of `table` names (reading at most its longest code): in one look
// at the next four bits while the current word holds them, else bit by bit.
inline BlockMode ReadBlockMode(DecoderState& s, const BlockCodeTable& table) {
  if (s.mode_bits_left >= BlockCodeTable::kMaxLength) {
    const uint32_t window = s.mode_word >> (32 - BlockCodeTable::kMaxLength);
    const int length = table.length_of_window[window];
    s.mode_word <<= length;
    s.mode_bits_left -= length;
    return table.mode_of_window[window];
  }
  uint32_t bits = 0;
  for (int length = 1; length <= BlockCodeTable::kMaxLength; ++length) {
    bits = (bits << 1) | ModeBit(s);
    const BlockMode mode = table.mode_of[length][bits];
    if (mode != BlockMode::kCount) return mode;
  }
  return BlockMode::kNoMode;
}

inline uint32_t VectorWord(DecoderState& s) {
  if (s.vector_words_position > s.payload_length ||
      s.payload_length - s.vector_words_position < 2) {
    s.corrupt = true;
    return 0;
  }
  const uint8_t* p = s.payload + s.vector_words_position;
  s.vector_words_position += 2;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

inline uint32_t SpiralIndex(DecoderState& s) {
  uint32_t index = s.held_spiral_index;
  if ((s.spiral_phase & 1) == 0) {
    if (s.spiral_pairs_position > s.payload_length ||
        s.payload_length - s.spiral_pairs_position < 3) {
      s.corrupt = true;
      return 0;
    }
    const uint8_t* p = s.payload + s.spiral_pairs_position;
    const uint32_t group = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                           (static_cast<uint32_t>(p[2]) << 16);
    s.spiral_pairs_position += 3;
    index = group & 0xFFF;
    s.held_spiral_index = (group >> 12) & 0xFFF;
  }
  ++s.spiral_phase;
  return index;
}

// ---- Piece copies.

// Pixel index of piece `index` of the current block.
inline int64_t PiecePixel(const DecoderState& s, PieceSize size, int index) {
  return static_cast<int64_t>(s.block_cursor) +
         s.sub_block_offsets[static_cast<int>(size)][index] / 2;
}

// Copies into the piece at pixel `destination` of the output picture from the source region
// at pixel `source` of `base`. A source region whose first or last pixel lies outside the
// picture stops the frame.
template <PieceSize S>
bool CopyPiece(DecoderState& s, const uint16_t* base, int64_t source, int orientation,
               int64_t destination) {
  if (s.corrupt || base == nullptr) {
    s.corrupt = true;
    return false;
  }
  const int64_t width = s.width;
  const int64_t last =
      source + (SourceRows(S, orientation) - 1) * width + SourceColumns(S, orientation) - 1;
  if (source < 0 || last >= width * s.height) {
    s.corrupt = true;
    return false;
  }
  const uint16_t* from = base + source;
  uint16_t* to = s.output_base + destination;
  // Overlapping regions (copies within the output picture) take the raster-order copy, each
  // pixel read just before it is written. A plain copy whose rows lie at least a row's width
  // from their own sources gives the same row by row: every source row is then either
  // written already or not yet touched when it is read.
  const auto from_first = reinterpret_cast<uintptr_t>(from);
  const auto from_last = reinterpret_cast<uintptr_t>(base + last);
  const auto to_first = reinterpret_cast<uintptr_t>(to);
  const auto to_last =
      reinterpret_cast<uintptr_t>(to + (PieceHeight(S) - 1) * width + PieceWidth(S) - 1);
  if (from_last < to_first || to_last < from_first) {
    copy::Oriented<S, true>(orientation, from, to, width);
  } else if (orientation == 0 && (from + PieceWidth(S) <= to || to + PieceWidth(S) <= from)) {
    for (int r = 0; r < PieceHeight(S); ++r) {
      std::memcpy(to + r * width, from + r * width, PieceWidth(S) * sizeof(uint16_t));
    }
  } else {
    copy::Oriented<S, false>(orientation, from, to, width);
  }
  s.block_written = true;
  return true;
}

// Source column of a long vector word: x + 128 - h, wrapped once around the row.
inline int64_t WrappedColumn(const DecoderState& s, int32_t i) {
  if (i < kWrapTableSize - kWrapTableBias) return s.wrap_table[i + kWrapTableBias] / 2;
  int32_t column = i + 128;
  if (column < 0) {
    column += s.width;
  } else if (column >= s.width) {
    column -= s.width;
  }
  return column;
}

// Long vector word (wholes, halves, quarters): source relative to the block origin.
template <PieceSize S>
bool LongVectorCopy(DecoderState& s, int64_t destination, int orientation, uint32_t word,
                    bool from_output) {
  if (s.corrupt) return false;
  const int32_t v = static_cast<int32_t>(word & 0x7F);
  const int32_t h = static_cast<int32_t>((word >> 7) & 0xFF);
  const int64_t column = WrappedColumn(s, s.block_x - h);
  int64_t row;
  if (from_output) {
    row = s.block_y + (S == PieceSize::kWhole ? 0 : 4) - v;
  } else {
    row = s.block_y + 64 - v;
  }
  return CopyPiece<S>(s, from_output ? s.output_base : s.reference_base, row * s.width + column,
                      orientation, destination);
}

// Short vector word (eighths, sixteenths): source relative to the block origin.
template <PieceSize S>
bool ShortVectorCopy(DecoderState& s, int64_t destination, uint32_t word, bool from_output) {
  if (s.corrupt) return false;
  const uint32_t n = word & 0xFFF;
  const int orientation = static_cast<int>((word >> 12) & 7);
  const int32_t offset = from_output ? s.wide_vector_table[n] : s.square_vector_table[n];
  return CopyPiece<S>(s, from_output ? s.output_base : s.reference_base,
                      static_cast<int64_t>(s.block_cursor) + offset / 2, orientation, destination);
}

// A piece copied from the same place of the reference: where the output still equals the
// reference, it is there already.
template <PieceSize S>
bool SkipCopy(DecoderState& s, int64_t destination) {
  if (s.refresh_reference != nullptr) return !s.corrupt;
  return CopyPiece<S>(s, s.reference_base, destination, 0, destination);
}

template <PieceSize S>
bool SpiralCopy(DecoderState& s, int64_t destination) {
  const uint32_t index = SpiralIndex(s);
  if (s.corrupt) return false;
  const int32_t displacement = s.spiral_table[index];
  if (displacement == 0 && s.refresh_reference != nullptr) return true;
  return CopyPiece<S>(s, s.reference_base, destination + displacement, 0, destination);
}

bool DctLeaf(DecoderState& s) {
  if (s.corrupt) return false;
  s.block_written = true;
  return DecodeDctBlock(s, s.output_base + s.block_cursor);
}

// ---- How pieces are cut, the same in both trees. Each routine takes the ones that decode the
// smaller pieces, called with the piece's size as a tag and its index in the block.

template <PieceSize S>
using SizeTag = std::integral_constant<PieceSize, S>;

// The two sixteenths of eighth `index` of size S: side by side in a wide one, one above the
// other in a tall one.
template <PieceSize S, typename Sixteenth>
inline bool CutEighth(int index, Sixteenth sixteenth) {
  if constexpr (S == PieceSize::kWideEighth) {
    return sixteenth(2 * index) && sixteenth(2 * index + 1);
  } else {
    const int first = 4 * (index >> 1) + (index & 1);
    return sixteenth(first) && sixteenth(first + 2);
  }
}

// The two quarters of half `k` of size S.
template <PieceSize S, typename Quarter>
inline bool CutHalf(int k, Quarter quarter) {
  if constexpr (S == PieceSize::kStackedHalf) {
    return quarter(2 * k) && quarter(2 * k + 1);
  } else {
    return quarter(k) && quarter(k + 2);
  }
}

// Quarter `q` cut as `mode` says: into two wide or two tall eighths, else four sixteenths.
template <typename Eighth, typename Sixteenth>
inline bool CutQuarter(BlockMode mode, int q, Eighth eighth, Sixteenth sixteenth) {
  switch (mode) {
    case BlockMode::kWide:
      return eighth(SizeTag<PieceSize::kWideEighth>{}, 2 * q) &&
             eighth(SizeTag<PieceSize::kWideEighth>{}, 2 * q + 1);
    case BlockMode::kTall:
      return eighth(SizeTag<PieceSize::kTallEighth>{}, 2 * q) &&
             eighth(SizeTag<PieceSize::kTallEighth>{}, 2 * q + 1);
    default:
      return sixteenth(4 * q) && sixteenth(4 * q + 1) && sixteenth(4 * q + 2) &&
             sixteenth(4 * q + 3);
  }
}

// A block as `mode` says: DCT-coded, or cut into stacked or side-by-side halves, else into
// four quarters.
template <typename Half, typename Quarter>
inline bool CutBlock(DecoderState& s, BlockMode mode, Half half, Quarter quarter) {
  switch (mode) {
    case BlockMode::kDct:
      return DctLeaf(s);
    case BlockMode::kStacked:
      return half(SizeTag<PieceSize::kStackedHalf>{}, 0) &&
             half(SizeTag<PieceSize::kStackedHalf>{}, 1);
    case BlockMode::kSideBySide:
      return half(SizeTag<PieceSize::kSideHalf>{}, 0) && half(SizeTag<PieceSize::kSideHalf>{}, 1);
    default:
      return quarter(0) && quarter(1) && quarter(2) && quarter(3);
  }
}

// ---- Delta frame tree.

// A vector copy of a delta piece: eighths and sixteenths take a short vector word, larger
// pieces a long one after their orientation bits.
template <PieceSize S>
bool DeltaVectorCopy(DecoderState& s, int64_t destination) {
  if constexpr (PieceWidth(S) * PieceHeight(S) <= 8) {
    const uint32_t word = VectorWord(s);
    return ShortVectorCopy<S>(s, destination, word, (word >> 15) != 0);
  } else {
    const int orientation = static_cast<int>(ModeField(s, kDeltaOrientationBits));
    const uint32_t word = VectorWord(s);
    return LongVectorCopy<S>(s, destination, orientation, word, (word >> 15) != 0);
  }
}

// A delta piece of size S at pixel `destination`: its mode from `codes`, then the three copies
// every size has (a spiral copy, a vector copy, a skip) or `other` for the size's own modes.
template <PieceSize S, typename Other>
inline bool DeltaPiece(DecoderState& s, const BlockCodeTable& codes, int64_t destination,
                       Other other) {
  const BlockMode mode = ReadBlockMode(s, codes);
  switch (mode) {
    case BlockMode::kSpiral:
      return SpiralCopy<S>(s, destination);
    case BlockMode::kVector:
      return DeltaVectorCopy<S>(s, destination);
    case BlockMode::kSkip:
      return SkipCopy<S>(s, destination);
    default:
      return other(mode);
  }
}

bool DeltaSixteenth(DecoderState& s, int index) {
  constexpr PieceSize kSize = PieceSize::kSixteenth;
  // Every code of a sixteenth names one of the three copies.
  return DeltaPiece<kSize>(s, kDeltaSixteenthCodes, PiecePixel(s, kSize, index), [&](BlockMode) {
    s.corrupt = true;
    return false;
  });
}

template <PieceSize S>
bool DeltaEighth(DecoderState& s, int index) {
  return DeltaPiece<S>(s, kDeltaEighthCodes, PiecePixel(s, S, index), [&](BlockMode) {
    return CutEighth<S>(index, [&](int i) { return DeltaSixteenth(s, i); });
  });
}

bool DeltaQuarter(DecoderState& s, int q) {
  constexpr PieceSize kSize = PieceSize::kQuarter;
  return DeltaPiece<kSize>(s, kDeltaQuarterCodes, PiecePixel(s, kSize, q), [&](BlockMode mode) {
    return CutQuarter(
        mode, q, [&](auto size, int i) { return DeltaEighth<decltype(size)::value>(s, i); },
        [&](int i) { return DeltaSixteenth(s, i); });
  });
}

template <PieceSize S>
bool DeltaHalf(DecoderState& s, int k) {
  return DeltaPiece<S>(s, kDeltaHalfCodes, PiecePixel(s, S, k), [&](BlockMode) {
    return CutHalf<S>(k, [&](int i) { return DeltaQuarter(s, i); });
  });
}

bool DeltaBlock(DecoderState& s) {
  const int64_t destination = static_cast<int64_t>(s.block_cursor);
  return DeltaPiece<PieceSize::kWhole>(s, kDeltaWholeCodes, destination, [&](BlockMode mode) {
    if (mode == BlockMode::kNoMode) {
      s.corrupt = true;  // 1111 names no mode
      return false;
    }
    return CutBlock(
        s, mode, [&](auto size, int i) { return DeltaHalf<decltype(size)::value>(s, i); },
        [&](int i) { return DeltaQuarter(s, i); });
  });
}

// ---- Key frame tree: every copy reads the output picture.

template <PieceSize S>
bool KeyShortCopy(DecoderState& s, int index) {
  const uint32_t word = VectorWord(s);
  return ShortVectorCopy<S>(s, PiecePixel(s, S, index), word, true);
}

template <PieceSize S>
bool KeyLongCopy(DecoderState& s, int64_t destination) {
  const uint32_t a = ModeField(s, kKeyOrientationBits);
  const uint32_t word = VectorWord(s);
  const int orientation = static_cast<int>(2 * a + (word >> 15));
  return LongVectorCopy<S>(s, destination, orientation, word, true);
}

// A key frame's sixteenth is a vector copy.
bool KeySixteenth(DecoderState& s, int index) {
  return KeyShortCopy<PieceSize::kSixteenth>(s, index);
}

template <PieceSize S>
bool KeyEighth(DecoderState& s, int index) {
  if (ReadBlockMode(s, kKeyEighthCodes) == BlockMode::kVector) return KeyShortCopy<S>(s, index);
  return CutEighth<S>(index, [&](int i) { return KeySixteenth(s, i); });
}

bool KeyQuarter(DecoderState& s, int q) {
  constexpr PieceSize kSize = PieceSize::kQuarter;
  const BlockMode mode = ReadBlockMode(s, kKeyQuarterCodes);
  if (mode == BlockMode::kVector) return KeyLongCopy<kSize>(s, PiecePixel(s, kSize, q));
  return CutQuarter(
      mode, q, [&](auto size, int i) { return KeyEighth<decltype(size)::value>(s, i); },
      [&](int i) { return KeySixteenth(s, i); });
}

template <PieceSize S>
bool KeyHalf(DecoderState& s, int k) {
  if (ReadBlockMode(s, kKeyHalfCodes) == BlockMode::kVector)
    return KeyLongCopy<S>(s, PiecePixel(s, S, k));
  return CutHalf<S>(k, [&](int i) { return KeyQuarter(s, i); });
}

bool KeyBlock(DecoderState& s) {
  const BlockMode mode = ReadBlockMode(s, kKeyWholeCodes);
  if (mode == BlockMode::kVector) {
    return KeyLongCopy<PieceSize::kWhole>(s, static_cast<int64_t>(s.block_cursor));
  }
  return CutBlock(
      s, mode, [&](auto size, int i) { return KeyHalf<decltype(size)::value>(s, i); },
      [&](int i) { return KeyQuarter(s, i); });
}

// Copies the 8 x 8 block at pixel `cursor` of the output picture over the reference.
inline void RefreshBlock(DecoderState& s, size_t cursor) {
  const size_t width = static_cast<size_t>(s.width);
  for (int r = 0; r < 8; ++r) {
    std::memcpy(s.refresh_reference + cursor + r * width, s.output_base + cursor + r * width,
                8 * sizeof(uint16_t));
  }
}

template <bool (*kBlock)(DecoderState&), bool kKeyFrame>
int WalkFrame(DecoderState& s) {
  const bool refresh = s.refresh_reference != nullptr;
  s.written_block_count = 0;
  s.unlisted_writes = kKeyFrame || !refresh;
  int result = kDecodeOk;
  for (int32_t y = 0; y < s.height && result == kDecodeOk; y += 8) {
    for (int32_t x = 0; x < s.width; x += 8) {
      if constexpr (!kKeyFrame) {
        // A skipped block (110) whose pixels are in the output already costs its three bits.
        if (refresh && s.mode_bits_left >= 3 && (s.mode_word >> 29) == 0b110) {
          s.mode_word <<= 3;
          s.mode_bits_left -= 3;
          continue;
        }
      }
      s.block_x = x;
      s.block_y = y;
      s.block_cursor = static_cast<size_t>(y) * static_cast<size_t>(s.width) + x;
      s.block_written = false;
      const bool ok = kBlock(s);
      if (refresh && s.block_written) {
        // A key frame never reads the reference, so its blocks go over it at once; a delta
        // frame may still read them.
        if constexpr (kKeyFrame) {
          RefreshBlock(s, s.block_cursor);
        } else {
          s.written_blocks[s.written_block_count++] = static_cast<uint32_t>(s.block_cursor);
        }
      }
      if (!ok) {
        result = kDecodeCorrupt;
        break;
      }
    }
  }
  for (size_t i = 0; i < s.written_block_count; ++i) RefreshBlock(s, s.written_blocks[i]);
  if (s.corrupt) result = kDecodeCorrupt;
  return result;
}

}  // namespace

bool DecodeDctBlock(DecoderState& state, uint16_t* destination) {
  if (!ReadCodedCoefficients(state.nibbles, state.coefficient_slots, state.coefficients,
                             state.nonzero_mask)) {
    state.corrupt = true;
    return false;
  }
  state.dct_kernel(state.coefficients, state.nonzero_mask, state.pixel_format, destination,
                   state.width);
  return true;
}

int ReconstructDeltaFrame(DecoderState& state) {
  return WalkFrame<DeltaBlock, false>(state);
}

int ReconstructKeyFrame(DecoderState& state) {
  return WalkFrame<KeyBlock, true>(state);
}

}  // namespace tarvel
