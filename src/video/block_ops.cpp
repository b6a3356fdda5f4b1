#include "video/block_ops.h"

#include "video/block_copy.h"

namespace tarvel {

namespace {

template <bool kDisjoint>
void CopyOfSize(PieceSize size, int orientation, const uint16_t* source, uint16_t* destination,
                std::ptrdiff_t pitch) {
  switch (size) {
    case PieceSize::kWhole:
      return copy::Oriented<PieceSize::kWhole, kDisjoint>(orientation, source, destination, pitch);
    case PieceSize::kSideHalf:
      return copy::Oriented<PieceSize::kSideHalf, kDisjoint>(orientation, source, destination,
                                                             pitch);
    case PieceSize::kStackedHalf:
      return copy::Oriented<PieceSize::kStackedHalf, kDisjoint>(orientation, source, destination,
                                                                pitch);
    case PieceSize::kQuarter:
      return copy::Oriented<PieceSize::kQuarter, kDisjoint>(orientation, source, destination,
                                                            pitch);
    case PieceSize::kTallEighth:
      return copy::Oriented<PieceSize::kTallEighth, kDisjoint>(orientation, source, destination,
                                                               pitch);
    case PieceSize::kWideEighth:
      return copy::Oriented<PieceSize::kWideEighth, kDisjoint>(orientation, source, destination,
                                                               pitch);
    case PieceSize::kSixteenth:
      return copy::Oriented<PieceSize::kSixteenth, kDisjoint>(orientation, source, destination,
                                                              pitch);
  }
}

}  // namespace

void OrientedCopy(PieceSize size, int orientation, const uint16_t* source, uint16_t* destination,
                  std::ptrdiff_t pitch) {
  CopyOfSize<false>(size, orientation, source, destination, pitch);
}

void OrientedCopyDisjoint(PieceSize size, int orientation, const uint16_t* source,
                          uint16_t* destination, std::ptrdiff_t pitch) {
  CopyOfSize<true>(size, orientation, source, destination, pitch);
}

}  // namespace tarvel
