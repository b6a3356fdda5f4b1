// Four-lane 32-bit integer vectors for the inverse transform and the colour conversion,
// written with the compiler's generic vector extension so that they map to the target's SIMD
// registers where there are some and to plain integer code elsewhere.
#pragma once

#include <cstdint>
#include <cstring>

namespace tarvel::vec {

using V4 = int32_t __attribute__((vector_size(16)));
using V4u16 = uint16_t __attribute__((vector_size(8)));

inline V4 Load(const int32_t* p) {
  V4 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline void Store(int32_t* p, V4 v) {
  std::memcpy(p, &v, sizeof(v));
}
inline V4 Splat(int32_t x) {
  return V4{x, x, x, x};
}

// Lane-wise selection: where `mask` lanes are all ones take `a`, else `b`.
inline V4 Select(V4 mask, V4 a, V4 b) {
  return (a & mask) | (b & ~mask);
}
inline V4 Min(V4 a, V4 b) {
  return Select(a < b, a, b);
}
inline V4 Max(V4 a, V4 b) {
  return Select(a > b, a, b);
}

// Transposes the 4 x 4 matrix whose rows are a, b, c, d.
inline void Transpose4(V4& a, V4& b, V4& c, V4& d) {
  const V4 t0 = __builtin_shufflevector(a, b, 0, 4, 1, 5);
  const V4 t1 = __builtin_shufflevector(a, b, 2, 6, 3, 7);
  const V4 t2 = __builtin_shufflevector(c, d, 0, 4, 1, 5);
  const V4 t3 = __builtin_shufflevector(c, d, 2, 6, 3, 7);
  a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  b = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  c = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

}  // namespace tarvel::vec
