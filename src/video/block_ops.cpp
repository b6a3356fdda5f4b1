#include "video/block_ops.h"

#include <array>
#include <utility>

#include "video/block_copy.h"

namespace tarvel {

namespace {

using CopyRoutine = void (*)(int, const uint16_t*, uint16_t*, std::ptrdiff_t);

// One routine per piece size, in PieceSize order.
template <bool kDisjoint, int... kSizes>
constexpr std::array<CopyRoutine, kPieceSizeCount> RoutinesBySize(
    std::integer_sequence<int, kSizes...>) {
  return {copy::Oriented<static_cast<PieceSize>(kSizes), kDisjoint>...};
}

constexpr auto kRasterCopies =
    RoutinesBySize<false>(std::make_integer_sequence<int, kPieceSizeCount>());
constexpr auto kDisjointCopies =
    RoutinesBySize<true>(std::make_integer_sequence<int, kPieceSizeCount>());

}  // namespace

void OrientedCopy(PieceSize size, int orientation, const uint16_t* source, uint16_t* destination,
                  std::ptrdiff_t pitch) {
  kRasterCopies[static_cast<int>(size)](orientation, source, destination, pitch);
}

void OrientedCopyDisjoint(PieceSize size, int orientation, const uint16_t* source,
                          uint16_t* destination, std::ptrdiff_t pitch) {
  kDisjointCopies[static_cast<int>(size)](orientation, source, destination, pitch);
}

}  // namespace tarvel
