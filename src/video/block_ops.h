// Oriented copies of block pieces: the eight ways a piece is mapped from its source region onto
// its place in the output picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video/decoder_state.h"

namespace tarvel {

// Orientations: destination pixel (r, c) of a w x h piece takes source pixel (sr, sc).
//   0 plain        sr = r          sc = c
//   1 mirror       sr = r          sc = w - 1 - c
//   2 flip         sr = h - 1 - r  sc = c
//   3 half turn    sr = h - 1 - r  sc = w - 1 - c
//   4 anti-diag.   sr = w - 1 - c  sc = h - 1 - r
//   5 quarter cw   sr = w - 1 - c  sc = r
//   6 quarter ccw  sr = c          sc = h - 1 - r
//   7 transpose    sr = c          sc = r
// Orientations 4 to 7 read a source region of the transposed shape (h columns, w rows).
inline constexpr int kOrientationCount = 8;

// The source pixel that destination pixel (r, c) of a w x h piece takes under `orientation`,
// counted from the source region's top-left pixel: orientations 4 to 7 exchange the roles of
// r and c, and the low two bits flip the source row and column (for the transposing ones,
// where the bit is clear). The one rule the copies and the encoder's estimates share.
struct SourcePixel {
  int row;
  int column;
};
constexpr SourcePixel OrientedSource(int orientation, int w, int h, int r, int c) {
  const bool transposed = (orientation & 4) != 0;
  const bool flip_row = transposed ? (orientation & 2) == 0 : (orientation & 2) != 0;
  const bool flip_column = transposed ? (orientation & 1) == 0 : (orientation & 1) != 0;
  const int u = transposed ? c : r;
  const int v = transposed ? r : c;
  return {flip_row ? (transposed ? w : h) - 1 - u : u,
          flip_column ? (transposed ? h : w) - 1 - v : v};
}

// Columns and rows of the source region that a copy of `size` under `orientation` reads.
constexpr int SourceColumns(PieceSize size, int orientation) {
  return orientation < 4 ? PieceWidth(size) : PieceHeight(size);
}
constexpr int SourceRows(PieceSize size, int orientation) {
  return orientation < 4 ? PieceHeight(size) : PieceWidth(size);
}

// Copies one piece. `source` is the top-left pixel of the source region, `destination` the
// top-left pixel of the piece; both pictures have rows `pitch` pixels apart. Destination
// pixels are produced in raster order (row by row, left to right), each reading its source
// pixel just before it is written, so a source that overlaps the destination sees the pixels
// this copy has already written. Orientation is taken modulo 8.
void OrientedCopy(PieceSize size, int orientation, const uint16_t* source, uint16_t* destination,
                  std::ptrdiff_t pitch);

// Same result as OrientedCopy when the source region and the destination piece share no
// pixel; faster. Must not be used for overlapping regions.
void OrientedCopyDisjoint(PieceSize size, int orientation, const uint16_t* source,
                          uint16_t* destination, std::ptrdiff_t pitch);

}  // namespace tarvel
