#include "video/block_ops.h"

#include <cstring>

namespace tarvel {

namespace {

template <int W, int H, int O>
constexpr int SourceRow(int r, int c) {
  if constexpr (O == 0 || O == 1) return r;
  if constexpr (O == 2 || O == 3) return H - 1 - r;
  if constexpr (O == 4 || O == 5) return W - 1 - c;
  return c;
}

template <int W, int H, int O>
constexpr int SourceColumn(int r, int c) {
  if constexpr (O == 0 || O == 2) return c;
  if constexpr (O == 1 || O == 3) return W - 1 - c;
  if constexpr (O == 4 || O == 6) return H - 1 - r;
  return r;
}

// Raster order, one pixel at a time: the defined order for overlapping regions.
template <int W, int H, int O>
void CopyRaster(const uint16_t* source, uint16_t* destination, std::ptrdiff_t pitch) {
  for (int r = 0; r < H; ++r) {
    for (int c = 0; c < W; ++c) {
      destination[r * pitch + c] =
          source[SourceRow<W, H, O>(r, c) * pitch + SourceColumn<W, H, O>(r, c)];
    }
  }
}

// Gathers the whole piece first, then stores it row by row.
template <int W, int H, int O>
void CopyDisjoint(const uint16_t* __restrict source, uint16_t* __restrict destination,
                  std::ptrdiff_t pitch) {
  if constexpr (O == 0) {
    for (int r = 0; r < H; ++r) {
      std::memcpy(destination + r * pitch, source + r * pitch, W * sizeof(uint16_t));
    }
  } else {
    uint16_t piece[H][W];
    for (int r = 0; r < H; ++r) {
      for (int c = 0; c < W; ++c) {
        piece[r][c] = source[SourceRow<W, H, O>(r, c) * pitch + SourceColumn<W, H, O>(r, c)];
      }
    }
    for (int r = 0; r < H; ++r) {
      std::memcpy(destination + r * pitch, piece[r], W * sizeof(uint16_t));
    }
  }
}

using CopyRoutine = void (*)(const uint16_t*, uint16_t*, std::ptrdiff_t);

template <int W, int H>
constexpr CopyRoutine kRasterRow[kOrientationCount] = {
    CopyRaster<W, H, 0>, CopyRaster<W, H, 1>, CopyRaster<W, H, 2>, CopyRaster<W, H, 3>,
    CopyRaster<W, H, 4>, CopyRaster<W, H, 5>, CopyRaster<W, H, 6>, CopyRaster<W, H, 7>};

template <int W, int H>
constexpr CopyRoutine kDisjointRow[kOrientationCount] = {
    CopyDisjoint<W, H, 0>, CopyDisjoint<W, H, 1>, CopyDisjoint<W, H, 2>, CopyDisjoint<W, H, 3>,
    CopyDisjoint<W, H, 4>, CopyDisjoint<W, H, 5>, CopyDisjoint<W, H, 6>, CopyDisjoint<W, H, 7>};

// Indexed by piece size, then orientation.
constexpr const CopyRoutine* kRasterCopies[kPieceSizeCount] = {
    kRasterRow<8, 8>, kRasterRow<4, 8>, kRasterRow<8, 4>, kRasterRow<4, 4>,
    kRasterRow<2, 4>, kRasterRow<4, 2>, kRasterRow<2, 2>};
constexpr const CopyRoutine* kDisjointCopies[kPieceSizeCount] = {
    kDisjointRow<8, 8>, kDisjointRow<4, 8>, kDisjointRow<8, 4>, kDisjointRow<4, 4>,
    kDisjointRow<2, 4>, kDisjointRow<4, 2>, kDisjointRow<2, 2>};

}  // namespace

void OrientedCopy(PieceSize size, int orientation, const uint16_t* source, uint16_t* destination,
                  std::ptrdiff_t pitch) {
  kRasterCopies[static_cast<int>(size)][orientation & 7](source, destination, pitch);
}

void OrientedCopyDisjoint(PieceSize size, int orientation, const uint16_t* source,
                          uint16_t* destination, std::ptrdiff_t pitch) {
  kDisjointCopies[static_cast<int>(size)][orientation & 7](source, destination, pitch);
}

}  // namespace tarvel
