// The oriented piece copies as inline templates, one per piece size and orientation, for the
// frame paths to dispatch on a piece's orientation without a call per piece. OrientedCopy and
// OrientedCopyDisjoint (block_ops.h) are the same routines behind tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "video/block_ops.h"
#include "video/decoder_state.h"

namespace tarvel::copy {

// Index, from the source region's top-left pixel, of the source pixel of destination pixel
// (r, c) of a W x H piece under orientation O (OrientedSource, block_ops.h).
template <int W, int H, int O>
constexpr int SourceIndex(int r, int c, std::ptrdiff_t pitch) {
  const SourcePixel pixel = OrientedSource(O, W, H, r, c);
  return static_cast<int>(pixel.row * pitch + pixel.column);
}

// Raster order, one pixel at a time: the defined order for overlapping regions.
template <int W, int H, int O>
inline void Raster(const uint16_t* source, uint16_t* destination, std::ptrdiff_t pitch) {
  for (int r = 0; r < H; ++r) {
    for (int c = 0; c < W; ++c) {
      destination[r * pitch + c] = source[SourceIndex<W, H, O>(r, c, pitch)];
    }
  }
}

// Gathers the whole piece first, then stores it row by row.
template <int W, int H, int O>
inline void Disjoint(const uint16_t* __restrict source, uint16_t* __restrict destination,
                     std::ptrdiff_t pitch) {
  if constexpr (O == 0) {
    for (int r = 0; r < H; ++r) {
      std::memcpy(destination + r * pitch, source + r * pitch, W * sizeof(uint16_t));
    }
  } else {
    uint16_t piece[H][W];
    for (int r = 0; r < H; ++r) {
      for (int c = 0; c < W; ++c) {
        piece[r][c] = source[SourceIndex<W, H, O>(r, c, pitch)];
      }
    }
    for (int r = 0; r < H; ++r) {
      std::memcpy(destination + r * pitch, piece[r], W * sizeof(uint16_t));
    }
  }
}

// A piece of size S under a run-time orientation (taken modulo 8).
template <PieceSize S, bool kDisjoint>
inline void Oriented(int orientation, const uint16_t* source, uint16_t* destination,
                     std::ptrdiff_t pitch) {
  constexpr int W = PieceWidth(S);
  constexpr int H = PieceHeight(S);
#define TARVEL_COPY_CASE(O)                          \
  case O:                                            \
    if constexpr (kDisjoint) {                       \
      Disjoint<W, H, O>(source, destination, pitch); \
    } else {                                         \
      Raster<W, H, O>(source, destination, pitch);   \
    }                                                \
    break;
  switch (orientation & 7) {
    TARVEL_COPY_CASE(0)
    TARVEL_COPY_CASE(1)
    TARVEL_COPY_CASE(2)
    TARVEL_COPY_CASE(3)
    TARVEL_COPY_CASE(4)
    TARVEL_COPY_CASE(5)
    TARVEL_COPY_CASE(6)
    TARVEL_COPY_CASE(7)
  }
#undef TARVEL_COPY_CASE
}

}  // namespace tarvel::copy
