// The video decoder's working record: stream positions of the current chunk, the two pictures,
// the per-frame dequantisation tables, the coefficient buffer and the per-picture geometry tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "video/dct_block.h"

namespace tarvel {

// Sizes of the per-decoder tables.
inline constexpr int kVectorTableSize = 4096;
inline constexpr int kSpiralTableSize = 4096;
inline constexpr int kWrapTableSize = 2048;
// WrapTable entry i + kWrapTableBias holds the wrapped byte offset of column i + 128.
inline constexpr int kWrapTableBias = 1024;

// Pixel-format flag values.
inline constexpr int32_t kPixelFormat555 = 0;
inline constexpr int32_t kPixelFormat565 = 1;

// The seven piece sizes a block can be cut into, in the order of the offsets table.
enum class PieceSize : int {
  kWhole = 0,        // 8 x 8
  kSideHalf = 1,     // 4 x 8, left and right halves
  kStackedHalf = 2,  // 8 x 4, top and bottom halves
  kQuarter = 3,      // 4 x 4
  kTallEighth = 4,   // 2 x 4
  kWideEighth = 5,   // 4 x 2
  kSixteenth = 6,    // 2 x 2
};
inline constexpr int kPieceSizeCount = 7;

// Columns and rows of a piece.
constexpr int PieceWidth(PieceSize size) {
  constexpr int kWidths[kPieceSizeCount] = {8, 4, 8, 4, 2, 4, 2};
  return kWidths[static_cast<int>(size)];
}
constexpr int PieceHeight(PieceSize size) {
  constexpr int kHeights[kPieceSizeCount] = {8, 8, 4, 4, 4, 2, 2};
  return kHeights[static_cast<int>(size)];
}
// Number of pieces of that size in one block.
constexpr int PieceCount(PieceSize size) {
  return 64 / (PieceWidth(size) * PieceHeight(size));
}

// Reads 4-bit codes one after another from a byte range, low nibble of each byte first.
// Positions count nibbles from the start of `data`; nothing at or past `end` is ever read.
struct NibbleReader {
  const uint8_t* data = nullptr;
  size_t position = 0;  // next nibble
  size_t end = 0;       // one past the last readable nibble
};

// Where the coefficient reader puts a coefficient at a zigzag position of a component: its
// dequantisation multiplier, and in `place` its natural index (bits 0-7) and its nonzero-mask
// bits (bits 16-31). Slots 64 to 127 stand for a zero written at position slot - 64: the
// natural index of that position, multiplier 0 and no mask bits.
struct CoefficientSlot {
  int32_t multiplier;
  uint32_t place;
};

struct DecoderState {
  // Current chunk payload; every stream read is checked against it.
  const uint8_t* payload = nullptr;
  size_t payload_length = 0;

  // Stream read positions, as byte offsets into the payload.
  size_t mode_bits_position = 0;
  size_t vector_words_position = 0;
  size_t spiral_pairs_position = 0;
  size_t coef_nibbles_start = 0;
  // Spiral-pair phase: bit 0 clear means the next index request reads a new group.
  uint32_t spiral_phase = 0;

  const uint16_t* reference_base = nullptr;
  uint16_t* output_base = nullptr;
  // Pixel index of the current block's origin in both pictures.
  size_t block_cursor = 0;
  // Second index of the last spiral group read, used by the next request.
  uint32_t held_spiral_index = 0;
  size_t coef_nibbles_end = 0;
  int32_t pixel_format = kPixelFormat555;

  // Mode-bit reader: the word being consumed and the bits left in it (0: load on next request).
  uint32_t mode_word = 0;
  int32_t mode_bits_left = 0;
  NibbleReader nibbles;
  // Set by a reader that ran out of data or by a piece that would leave its picture.
  bool corrupt = false;

  // When not null, the output picture equals this reference picture at the start of the frame,
  // and the frame keeps it so: pieces copied from the same place of the reference are already
  // there, a key frame copies each finished block over the reference, a delta frame lists the
  // blocks it wrote in `written_blocks` (room for every block) and copies them at the end.
  uint16_t* refresh_reference = nullptr;
  bool block_written = false;
  std::vector<uint32_t> written_blocks;
  size_t written_block_count = 0;
  // Set by a frame that may have written blocks missing from `written_blocks`: a key frame, or
  // a delta frame without refresh_reference.
  bool unlisted_writes = false;

  // Dequantisation multipliers in zigzag order: Y, Cb, Cr, then their negations.
  int32_t dequant[6][64] = {};
  // The coefficient reader's slots for this frame's tables (Y, Cb, Cr).
  CoefficientSlot coefficient_slots[3][128] = {};
  // Quantisers in natural order, kept from the last table build.
  int32_t luma_quant[64] = {};
  int32_t chroma_quant[64] = {};

  // Coefficients of the current DCT block (Y, Cb, Cr, natural order). All zero between
  // blocks: the reader writes only the coded ones, the block kernel clears them after use.
  alignas(64) int32_t coefficients[3][64] = {};
  // Transform and colour conversion of a DCT block, chosen for the frame.
  DctBlockKernel dct_kernel = nullptr;
  // Rows (bits 8-15) and columns (bits 0-7) of each block that hold a coefficient.
  uint32_t nonzero_mask[3] = {};

  // Picture geometry.
  int32_t height = 0;   // rows
  int32_t block_x = 0;  // current block column, pixels
  int32_t block_y = 0;  // current block row, rows
  int32_t width = 0;    // pixels
  int32_t pitch = 0;    // bytes between rows, 2 * width
  int32_t width3 = 0;   // 3, 5 and 7 times the width
  int32_t width5 = 0;
  int32_t width7 = 0;

  // Byte offsets from a block's origin to each piece, by piece size (see PieceCount).
  int32_t sub_block_offsets[kPieceSizeCount][16] = {};
  // Byte displacement tables of the short vector words: reference picture and output picture.
  int32_t square_vector_table[kVectorTableSize] = {};
  int32_t wide_vector_table[kVectorTableSize] = {};
  // Pixel displacements dx + dy * width, in rings around the origin.
  int32_t spiral_table[kSpiralTableSize] = {};
  // Byte offset within a row of column i + 128, wrapped once, for i = -1024 .. 1023.
  int32_t wrap_table[kWrapTableSize] = {};
};

}  // namespace tarvel
