#include "encoder/dct_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "video/colour_convert.h"
#include "video/inverse_dct.h"
#include "video/video_tables.h"

namespace tarvel {

namespace {

// Code nibbles (see the decoder's coefficient reader).
constexpr unsigned kCodeEnd = 0;
constexpr unsigned kCodeSkip5 = 1;
constexpr unsigned kCodeRunOne = 2;   // 2..7: runs 1..3 with level +1 / -1
constexpr unsigned kCodePairs = 8;    // run 1..4, 2..5 levels of +-1, +-2
constexpr unsigned kCodeNibbles = 9;  // run 1..4, 1..4 levels of -8..8
constexpr unsigned kCodeTwoSmall = 10;
constexpr unsigned kCodeOne = 11;
constexpr unsigned kCodeTwo = 12;
constexpr unsigned kCodeThree = 13;
constexpr unsigned kCodeSkip1 = 14;
constexpr unsigned kCodeLiteral = 15;

bool IsSmall(std::int32_t level) {
  return level == 1 || level == 2 || level == -1 || level == -2;
}
bool IsMedium(std::int32_t level) {
  return level != 0 && level >= -8 && level <= 8;
}

unsigned TwoBitField(std::int32_t level) {
  switch (level) {
    case 1:
      return 0;
    case 2:
      return 1;
    case -2:
      return 2;
    default:
      return 3;  // -1
  }
}
unsigned FourBitField(std::int32_t level) {
  return static_cast<unsigned>(level > 0 ? level - 1 : level + 16);
}

// One step of a block's code, as chosen by the search below.
struct Step {
  std::uint8_t code = 0;
  std::uint8_t run = 0;    // zeros before the first coefficient
  std::uint8_t count = 0;  // coefficients written
};

// The transform that undoes the decoder's one-dimensional inverse transform, found once by
// measuring that transform on unit vectors and inverting the 8x8 matrix.
struct ForwardMatrix {
  float m[8][8];
  float energy[64];  // squared sum of the decoder's samples for a unit coefficient, natural order
};

ForwardMatrix BuildForwardMatrix() {
  constexpr double kScale = 1 << 20;
  double t[8][16] = {};
  for (int j = 0; j < 8; ++j) {
    std::int32_t line[8] = {};
    line[j] = static_cast<std::int32_t>(kScale);
    InverseDctLine(line, 1);
    for (int i = 0; i < 8; ++i) t[i][j] = line[i] / kScale;
  }
  ForwardMatrix forward;
  double line_energy[8] = {};
  for (int j = 0; j < 8; ++j)
    for (int i = 0; i < 8; ++i) line_energy[j] += t[i][j] * t[i][j];
  for (int k = 0; k < 64; ++k)
    forward.energy[k] = static_cast<float>(line_energy[k >> 3] * line_energy[k & 7]);
  for (int i = 0; i < 8; ++i) t[i][8 + i] = 1.0;
  // Gauss-Jordan with partial pivoting on [T | I].
  for (int col = 0; col < 8; ++col) {
    int pivot = col;
    for (int r = col + 1; r < 8; ++r)
      if (std::abs(t[r][col]) > std::abs(t[pivot][col])) pivot = r;
    for (int k = 0; k < 16; ++k) std::swap(t[col][k], t[pivot][k]);
    const double p = t[col][col];
    for (int k = 0; k < 16; ++k) t[col][k] /= p;
    for (int r = 0; r < 8; ++r) {
      if (r == col) continue;
      const double f = t[r][col];
      for (int k = 0; k < 16; ++k) t[r][k] -= f * t[col][k];
    }
  }
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) forward.m[i][j] = static_cast<float>(t[i][8 + j]);
  return forward;
}

const ForwardMatrix& Forward() {
  static const ForwardMatrix matrix = BuildForwardMatrix();
  return matrix;
}

}  // namespace

void NibbleWriter_Put(NibbleWriter& writer, unsigned nibble) {
  if ((writer.count & 1) == 0)
    writer.bytes.push_back(static_cast<std::uint8_t>(nibble & 15));
  else
    writer.bytes.back() = static_cast<std::uint8_t>(writer.bytes.back() | ((nibble & 15) << 4));
  ++writer.count;
}

int EncodeComponentLevels(const std::int32_t levels[64], std::uint8_t* out) {
  // cost[p]: fewest nibbles that code positions p..63 once positions below p are done.
  // Reaching 64 with a coefficient code ends the block without an end code.
  std::array<int, 65> cost{};
  std::array<Step, 65> step{};
  std::array<int, 65> zeros{};  // zeros from p up to the next nonzero level (or 64)
  zeros[64] = 0;
  for (int p = 63; p >= 1; --p) zeros[p] = levels[p] == 0 ? zeros[p + 1] + 1 : 0;
  cost[64] = 0;
  for (int p = 63; p >= 1; --p) {
    if (p + zeros[p] >= 64) {  // nothing left but zeros
      cost[p] = 1;
      step[p] = {static_cast<std::uint8_t>(kCodeEnd), 0, 0};
      continue;
    }
    int best = 1 << 30;
    Step choice;
    auto consider = [&](int nibbles, unsigned code, int run, int count) {
      const int total = nibbles + cost[p + run + count];
      if (total < best) {
        best = total;
        choice = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(run),
                  static_cast<std::uint8_t>(count)};
      }
    };
    const int z = zeros[p];
    if (z >= 1) consider(1, kCodeSkip1, 1, 0);
    if (z >= 5) consider(1, kCodeSkip5, 5, 0);
    const int q = p + z;  // first nonzero level
    if (z == 0) {
      if (IsMedium(levels[p])) consider(2, kCodeOne, 0, 1);
      consider(3, kCodeLiteral, 0, 1);
      if (p + 1 <= 63 && IsSmall(levels[p]) && IsSmall(levels[p + 1]))
        consider(2, kCodeTwoSmall, 0, 2);
      if (p + 1 <= 63 && IsMedium(levels[p]) && IsMedium(levels[p + 1]))
        consider(3, kCodeTwo, 0, 2);
      if (p + 2 <= 63 && IsMedium(levels[p]) && IsMedium(levels[p + 1]) && IsMedium(levels[p + 2]))
        consider(4, kCodeThree, 0, 3);
    } else if (z <= 4) {
      if (z <= 3 && (levels[q] == 1 || levels[q] == -1))
        consider(1, kCodeRunOne + 2 * static_cast<unsigned>(z - 1) + (levels[q] < 0 ? 1u : 0u), z,
                 1);
      for (int n = 1; n <= 5 && q + n - 1 <= 63; ++n) {
        if (!IsSmall(levels[q + n - 1])) break;
        if (n >= 2) consider(2 + (n + 1) / 2, kCodePairs, z, n);
      }
      for (int n = 1; n <= 4 && q + n - 1 <= 63; ++n) {
        if (!IsMedium(levels[q + n - 1])) break;
        consider(2 + n, kCodeNibbles, z, n);
      }
    }
    cost[p] = best;
    step[p] = choice;
  }
  // DC level, high nibble first.
  int n = 0;
  const unsigned dc = static_cast<unsigned>(levels[0]) & 0xFF;
  out[n++] = static_cast<std::uint8_t>(dc >> 4);
  out[n++] = static_cast<std::uint8_t>(dc & 15);
  int p = 1;
  while (p < 64) {
    const Step s = step[p];
    out[n++] = s.code;
    if (s.code == kCodeEnd) break;
    const int q = p + s.run;
    switch (s.code) {
      case kCodePairs: {
        out[n++] = static_cast<std::uint8_t>(((s.run - 1) << 2) | (s.count - 2));
        for (int i = 0; i < s.count; i += 2) {
          const unsigned hi = TwoBitField(levels[q + i]);
          const unsigned lo = i + 1 < s.count ? TwoBitField(levels[q + i + 1]) : 0;
          out[n++] = static_cast<std::uint8_t>((hi << 2) | lo);
        }
        break;
      }
      case kCodeNibbles:
        out[n++] = static_cast<std::uint8_t>(((s.run - 1) << 2) | (s.count - 1));
        for (int i = 0; i < s.count; ++i)
          out[n++] = static_cast<std::uint8_t>(FourBitField(levels[q + i]));
        break;
      case kCodeTwoSmall:
        out[n++] =
            static_cast<std::uint8_t>((TwoBitField(levels[q]) << 2) | TwoBitField(levels[q + 1]));
        break;
      case kCodeOne:
      case kCodeTwo:
      case kCodeThree:
        for (int i = 0; i < s.count; ++i)
          out[n++] = static_cast<std::uint8_t>(FourBitField(levels[q + i]));
        break;
      case kCodeLiteral: {
        const unsigned v = static_cast<unsigned>(levels[q]) & 0xFF;
        out[n++] = static_cast<std::uint8_t>(v >> 4);
        out[n++] = static_cast<std::uint8_t>(v & 15);
        break;
      }
      default:
        break;  // skips and the one-nibble run codes carry nothing more
    }
    p = q + s.count;
  }
  return n;
}

void ForwardDct8x8(const float samples[64], float coefficients[64]) {
  const ForwardMatrix& f = Forward();
  float temp[64];
  // Columns: temp = F * S.
  for (int i = 0; i < 8; ++i)
    for (int c = 0; c < 8; ++c) {
      float sum = 0;
      for (int k = 0; k < 8; ++k) sum += f.m[i][k] * samples[8 * k + c];
      temp[8 * i + c] = sum;
    }
  // Rows: X = temp * F^T.
  for (int r = 0; r < 8; ++r)
    for (int j = 0; j < 8; ++j) {
      float sum = 0;
      for (int k = 0; k < 8; ++k) sum += temp[8 * r + k] * f.m[j][k];
      coefficients[8 * r + j] = sum;
    }
}

namespace {

// Weights of the squared RGB error caused by sample errors (y, cb, cr) of one frequency: the
// matrix A^T A of the colour conversion's slopes, A = rows red, green, blue.
struct ColourWeights {
  float yy, cbcb, crcr, ycb, ycr, cbcr;  // cross terms doubled
};

constexpr ColourWeights MakeColourWeights() {
  constexpr double y = 1.0 / 16, cb_green = -1.0 / 48, cb_blue = 1.0 / 8, cr_red = 1.0 / 10,
                   cr_green = -1.0 / 20;
  return {static_cast<float>(3 * y * y),
          static_cast<float>(cb_green * cb_green + cb_blue * cb_blue),
          static_cast<float>(cr_red * cr_red + cr_green * cr_green),
          static_cast<float>(2 * (y * cb_green + y * cb_blue)),
          static_cast<float>(2 * (y * cr_red + y * cr_green)),
          static_cast<float>(2 * cb_green * cr_green)};
}
constexpr ColourWeights kColourWeights = MakeColourWeights();

std::int32_t ClampLevel(std::int32_t level) {
  return std::clamp(level, -128, 127);
}

// Approximate bits the coefficient code spends on an AC level: small levels share codes with
// their runs and neighbours, levels beyond 8 need a literal.
float LevelBits(std::int32_t level) {
  const std::int32_t a = level < 0 ? -level : level;
  if (a == 0) return 0;
  if (a <= 2) return 4.0f + static_cast<float>(a);
  if (a <= 8) return 7;
  return 12;
}

// Levels the coefficient code treats alike: the code's length depends only on which positions
// hold 0, +-1, +-2, +-3..8 or larger levels.
int CodeClass(std::int32_t level) {
  const std::int32_t a = level < 0 ? -level : level;
  return a <= 2 ? a : (a <= 8 ? 3 : 4);
}

#if !defined(__SSE2__)
// A pixel's 5-bit field expanded to 8 bits as a viewer shows it.
constexpr std::uint8_t Expand5(unsigned field) {
  return static_cast<std::uint8_t>((field << 3) | (field >> 2));
}
#endif

}  // namespace

void QuantiseColourBlock(const float coefficients[3][64], const std::int32_t dequant[6][64],
                         float lambda, std::int32_t levels[3][64]) {
  const ColourWeights& w = kColourWeights;
  const ForwardMatrix& f = Forward();
  for (int j = 0; j < 64; ++j) {
    const int k = kZigzag[j];
    const float energy = f.energy[k];
    const float rate = j == 0 ? 0.0f : lambda;  // the DC always takes 8 bits
    // For each component, the two candidate levels, their errors, and the cost of each alone.
    std::int32_t candidate[3][2];
    float error[3][2];
    float own[3][2];
    const float weight[3] = {w.yy, w.cbcb, w.crcr};
    for (int c = 0; c < 3; ++c) {
      const float step = static_cast<float>(dequant[c][j]);
      const float value = coefficients[c][k];
      const float ratio = value / step;
      auto below = static_cast<std::int32_t>(ratio);  // toward zero; floor below
      if (static_cast<float>(below) > ratio) --below;
      for (int side = 0; side < 2; ++side) {
        candidate[c][side] = ClampLevel(below + side);
        const float e = value - static_cast<float>(candidate[c][side]) * step;
        error[c][side] = e;
        own[c][side] = energy * weight[c] * e * e + rate * LevelBits(candidate[c][side]);
      }
    }
    // The cross terms of each pair of components.
    float y_cb[2][2], y_cr[2][2], cb_cr[2][2];
    for (int a = 0; a < 2; ++a)
      for (int b = 0; b < 2; ++b) {
        y_cb[a][b] = energy * w.ycb * error[0][a] * error[1][b];
        y_cr[a][b] = energy * w.ycr * error[0][a] * error[2][b];
        cb_cr[a][b] = energy * w.cbcr * error[1][a] * error[2][b];
      }
    float best = std::numeric_limits<float>::max();
    int chosen = 0;
    for (int combo = 0; combo < 8; ++combo) {
      const int y = combo & 1, cb = (combo >> 1) & 1, cr = combo >> 2;
      const float d =
          own[0][y] + own[1][cb] + own[2][cr] + y_cb[y][cb] + y_cr[y][cr] + cb_cr[cb][cr];
      if (d < best) {
        best = d;
        chosen = combo;
      }
    }
    levels[0][j] = candidate[0][chosen & 1];
    levels[1][j] = candidate[1][(chosen >> 1) & 1];
    levels[2][j] = candidate[2][chosen >> 2];
  }
}

namespace {

// Distortion of one coefficient at a level, in the units of the decoded RGB error: the
// component's own weight times the squared error, plus the error times the cross weight that the
// other components' current errors give it.
struct CoefficientCost {
  float value;  // coefficient / quantiser step
  float step;
  float own;    // energy * colour weight, per squared step
  float cross;  // energy * (cross weights * other components' errors), per step
  float At(std::int32_t level) const {
    const float e = (value - static_cast<float>(level)) * step;
    return own * e * e + cross * e;
  }
};

struct Candidate {
  float cost = std::numeric_limits<float>::max();
  std::int32_t level = 0;
  void Try(const CoefficientCost& c, std::int32_t level_tried) {
    const float d = c.At(level_tried);
    if (d < cost) {
      cost = d;
      level = level_tried;
    }
  }
};

// What each position can hold under each family of codes: nothing, +-1 (the one-nibble run
// codes), a 2-bit field (+-1, +-2), a 4-bit field (-8..-1, 1..8) or a literal (-128..127).
struct PositionChoices {
  Candidate zero, unit, small, medium, literal;
};

PositionChoices ChoicesAt(const CoefficientCost& c) {
  PositionChoices p;
  p.zero.Try(c, 0);
  p.unit.Try(c, 1);
  p.unit.Try(c, -1);
  p.small = p.unit;
  p.small.Try(c, 2);
  p.small.Try(c, -2);
  const auto below = static_cast<std::int32_t>(std::floor(c.value));
  p.medium = p.unit;
  for (std::int32_t level : {below, below + 1}) {
    const std::int32_t medium_level = std::clamp(level, -8, 8);
    if (medium_level != 0) p.medium.Try(c, medium_level);
    p.literal.Try(c, ClampLevel(level));
  }
  return p;
}

}  // namespace

void ChooseComponentLevels(const float values[64], const float steps[64], const float own[64],
                           const float cross[64], float lambda, std::int32_t levels[64]) {
  // Past the last position where a nonzero level would lessen the distortion, every level is
  // best left zero: it saves both the bits and the error. The search stops there.
  int end = 64;
  while (end > 1) {
    const CoefficientCost c{values[end - 1], steps[end - 1], own[end - 1], cross[end - 1]};
    const float zero = c.At(0);
    if (c.At(1) < zero || c.At(-1) < zero) break;
    --end;
  }
  PositionChoices at[64];
  // Running sums from position 1 of each family's cost, for the costs of runs of positions.
  float zero_sum[65] = {}, small_sum[65] = {}, medium_sum[65] = {};
  for (int p = 1; p < end; ++p) {
    at[p] = ChoicesAt({values[p], steps[p], own[p], cross[p]});
    zero_sum[p + 1] = zero_sum[p] + at[p].zero.cost;
    small_sum[p + 1] = small_sum[p] + at[p].small.cost;
    medium_sum[p + 1] = medium_sum[p] + at[p].medium.cost;
  }
  const float nibble = 4 * lambda;
  // best[p]: least cost of positions p..63 once the positions below are coded; best[64] = 0
  // (a coefficient code that fills position 63 ends the block).
  float best[65];
  Step step[64];
  best[64] = 0;
  if (end < 64) best[end] = nibble;  // the end code, after zeros only
  for (int p = end - 1; p >= 1; --p) {
    float cost = nibble + zero_sum[end] - zero_sum[p];  // the end code
    Step choice{static_cast<std::uint8_t>(kCodeEnd), 0, 0};
    auto consider = [&](float total, unsigned code, int run, int count) {
      if (total < cost) {
        cost = total;
        choice = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(run),
                  static_cast<std::uint8_t>(count)};
      }
    };
    if (p + 1 < end) consider(nibble + at[p].zero.cost + best[p + 1], kCodeSkip1, 1, 0);
    if (p + 5 < end)
      consider(nibble + zero_sum[p + 5] - zero_sum[p] + best[p + 5], kCodeSkip5, 5, 0);
    for (int run = 1; run <= 4 && p + run < end; ++run) {
      const int q = p + run;
      const float zeros = zero_sum[q] - zero_sum[p];
      if (run <= 3) consider(nibble + zeros + at[q].unit.cost + best[q + 1], kCodeRunOne, run, 1);
      for (int n = 2; n <= 5 && q + n <= end; ++n)
        consider(nibble * static_cast<float>(2 + (n + 1) / 2) + zeros + small_sum[q + n] -
                     small_sum[q] + best[q + n],
                 kCodePairs, run, n);
      for (int n = 1; n <= 4 && q + n <= end; ++n)
        consider(nibble * static_cast<float>(2 + n) + zeros + medium_sum[q + n] - medium_sum[q] +
                     best[q + n],
                 kCodeNibbles, run, n);
    }
    consider(nibble * 2 + at[p].medium.cost + best[p + 1], kCodeOne, 0, 1);
    consider(nibble * 3 + at[p].literal.cost + best[p + 1], kCodeLiteral, 0, 1);
    if (p + 2 <= end) {
      consider(nibble * 2 + small_sum[p + 2] - small_sum[p] + best[p + 2], kCodeTwoSmall, 0, 2);
      consider(nibble * 3 + medium_sum[p + 2] - medium_sum[p] + best[p + 2], kCodeTwo, 0, 2);
    }
    if (p + 3 <= end)
      consider(nibble * 4 + medium_sum[p + 3] - medium_sum[p] + best[p + 3], kCodeThree, 0, 3);
    best[p] = cost;
    step[p] = choice;
  }
  for (int p = 1; p < 64; ++p) levels[p] = 0;
  for (int p = 1; p < end;) {
    const Step s = step[p];
    if (s.code == kCodeEnd) break;
    const int q = p + s.run;
    for (int i = 0; i < s.count; ++i) {
      const PositionChoices& c = at[q + i];
      switch (s.code) {
        case kCodeRunOne:
          levels[q + i] = c.unit.level;
          break;
        case kCodePairs:
        case kCodeTwoSmall:
          levels[q + i] = c.small.level;
          break;
        case kCodeLiteral:
          levels[q + i] = c.literal.level;
          break;
        default:
          levels[q + i] = c.medium.level;
          break;
      }
    }
    p = q + s.count;
  }
}

void ChooseColourLevels(const float coefficients[3][64], const std::int32_t dequant[6][64],
                        float lambda, std::int32_t levels[3][64]) {
  QuantiseColourBlock(coefficients, dequant, lambda, levels);
  const ColourWeights& w = kColourWeights;
  const ForwardMatrix& f = Forward();
  const float own_weight[3] = {w.yy, w.cbcb, w.crcr};
  float values[3][64], steps[3][64], own[3][64];
  for (int c = 0; c < 3; ++c)
    for (int j = 0; j < 64; ++j) {
      const int k = kZigzag[j];
      steps[c][j] = static_cast<float>(dequant[c][j]);
      values[c][j] = coefficients[c][k] / steps[c][j];
      own[c][j] = f.energy[k] * own_weight[c];
    }
  for (int c = 0; c < 3; ++c) {
    float cross[64];
    for (int j = 0; j < 64; ++j) {
      float e[3];
      for (int o = 0; o < 3; ++o)
        e[o] = (values[o][j] - static_cast<float>(levels[o][j])) * steps[o][j];
      const float energy = f.energy[kZigzag[j]];
      const float sum = c == 0   ? w.ycb * e[1] + w.ycr * e[2]
                        : c == 1 ? w.ycb * e[0] + w.cbcr * e[2]
                                 : w.ycr * e[0] + w.cbcr * e[1];
      cross[j] = energy * sum;
    }
    ChooseComponentLevels(values[c], steps[c], own[c], cross, lambda, levels[c]);
  }
}

void LevelsToSamples(const std::int32_t levels[64], const std::int32_t multipliers[64],
                     std::int32_t samples[64]) {
  unsigned mask = 0x0101;  // the DC is always written
  for (int j = 0; j < 64; ++j) {
    const int k = kZigzag[j];
    samples[k] = levels[j] * multipliers[j];
    if (levels[j] != 0) mask |= (1u << (k & 7)) | (1u << (8 + (k >> 3)));
  }
  InverseDct8x8(samples, static_cast<std::uint16_t>(mask));
}

namespace {

// A source block as three planes of 16-bit values (red, green, blue), for the error sums.
struct SourcePlanes {
  alignas(16) std::int16_t channel[3][64];
};

void LoadSourcePlanes(const std::uint8_t* source, std::ptrdiff_t stride, SourcePlanes* out) {
  for (int r = 0; r < 8; ++r) {
    const std::uint8_t* s = source + r * stride;
    for (int c = 0; c < 8; ++c)
      for (int k = 0; k < 3; ++k) out->channel[k][8 * r + c] = s[3 * c + k];
  }
}

// Squared error of 64 decoded 5-5-5 pixels against the source planes.
std::int64_t PixelsError(const std::uint16_t pixels[64], const SourcePlanes& source) {
#if defined(__SSE2__)
  const __m128i five = _mm_set1_epi16(31);
  __m128i sum = _mm_setzero_si128();
  for (int r = 0; r < 8; ++r) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 8 * r));
    const __m128i fields[3] = {_mm_and_si128(_mm_srli_epi16(p, 10), five),
                               _mm_and_si128(_mm_srli_epi16(p, 5), five), _mm_and_si128(p, five)};
    for (int k = 0; k < 3; ++k) {
      const __m128i shown =
          _mm_or_si128(_mm_slli_epi16(fields[k], 3), _mm_srli_epi16(fields[k], 2));
      const __m128i d = _mm_sub_epi16(
          shown, _mm_load_si128(reinterpret_cast<const __m128i*>(source.channel[k] + 8 * r)));
      // Each lane takes at most 24 pairs of 255^2: well inside 32 bits.
      sum = _mm_add_epi32(sum, _mm_madd_epi16(d, d));
    }
  }
  alignas(16) std::int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sum);
  return static_cast<std::int64_t>(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
#else
  std::int64_t sse = 0;
  for (int i = 0; i < 64; ++i) {
    const unsigned p = pixels[i];
    const int dr = Expand5((p >> 10) & 31) - source.channel[0][i];
    const int dg = Expand5((p >> 5) & 31) - source.channel[1][i];
    const int db = Expand5(p & 31) - source.channel[2][i];
    sse += dr * dr + dg * dg + db * db;
  }
  return sse;
#endif
}

std::int64_t SamplesError(const std::int32_t samples[3][64], const SourcePlanes& source,
                          std::uint16_t pixels[64]) {
  ConvertSamplesToPixels(samples[0], samples[1], samples[2], kPixelFormat555, pixels, 8);
  return PixelsError(pixels, source);
}

}  // namespace

std::int64_t DecodedBlockError(const std::int32_t samples[3][64], const std::uint8_t* source,
                               std::ptrdiff_t stride, std::uint16_t pixels[64]) {
  SourcePlanes planes;
  LoadSourcePlanes(source, stride, &planes);
  return SamplesError(samples, planes, pixels);
}

namespace {

// One component's dequantised coefficients in natural order, with the count of nonzero levels
// in each row and column, from which the inverse transform's mask follows.
struct ComponentCoefficients {
  alignas(16) std::int32_t natural[64];
  int rows[8];
  int columns[8];
};

void LoadComponent(const std::int32_t levels[64], const std::int32_t multipliers[64],
                   ComponentCoefficients* out) {
  std::memset(out->rows, 0, sizeof out->rows);
  std::memset(out->columns, 0, sizeof out->columns);
  for (int j = 0; j < 64; ++j) {
    const int k = kZigzag[j];
    out->natural[k] = levels[j] * multipliers[j];
    if (levels[j] != 0) {
      ++out->rows[k >> 3];
      ++out->columns[k & 7];
    }
  }
}

// Changes the level at zigzag position j from `from` to `to`.
void SetLevel(ComponentCoefficients* component, int j, std::int32_t from, std::int32_t to,
              std::int32_t multiplier) {
  const int k = kZigzag[j];
  component->natural[k] = to * multiplier;
  const int change = (to != 0) - (from != 0);
  component->rows[k >> 3] += change;
  component->columns[k & 7] += change;
}

void ComponentSamples(const ComponentCoefficients& component, std::int32_t samples[64]) {
  unsigned mask = 0x0101;
  for (int i = 0; i < 8; ++i) {
    if (component.columns[i] > 0) mask |= 1u << i;
    if (component.rows[i] > 0) mask |= 1u << (8 + i);
  }
  std::memcpy(samples, component.natural, sizeof component.natural);
  InverseDct8x8(samples, static_cast<std::uint16_t>(mask));
}

}  // namespace

std::int64_t RefineColourBlock(const float coefficients[3][64], const std::int32_t dequant[6][64],
                               const std::uint8_t* source, std::ptrdiff_t stride, float margin,
                               float lambda, std::int32_t levels[3][64]) {
  alignas(16) std::int32_t samples[3][64];
  alignas(16) std::int32_t kept[64];
  std::uint16_t pixels[64];
  SourcePlanes planes;
  LoadSourcePlanes(source, stride, &planes);
  ComponentCoefficients components[3];
  for (int c = 0; c < 3; ++c) {
    LoadComponent(levels[c], dequant[c], &components[c]);
    ComponentSamples(components[c], samples[c]);
  }
  std::int64_t best = SamplesError(samples, planes, pixels);
  std::uint8_t code[kMaxBlockNibbles];
  for (int c = 0; c < 3; ++c) {
    int nibbles = EncodeComponentLevels(levels[c], code);
    for (int j = 0; j < 64; ++j) {
      const float value = coefficients[c][kZigzag[j]] / static_cast<float>(dequant[c][j]);
      const std::int32_t level = levels[c][j];
      if (j > 0 && std::abs(value - static_cast<float>(level)) < margin) continue;
      const std::int32_t other = static_cast<float>(level) < value ? level + 1 : level - 1;
      if (other != ClampLevel(other)) continue;
      std::memcpy(kept, samples[c], sizeof kept);
      SetLevel(&components[c], j, level, other, dequant[c][j]);
      ComponentSamples(components[c], samples[c]);
      const std::int64_t error = SamplesError(samples, planes, pixels);
      // The DC always takes 8 bits; another level costs what the block's code changes by.
      // A larger level never shortens the code: such a move must first lessen the error.
      const bool may_pay = error < best || std::abs(other) < std::abs(level);
      int moved_nibbles = nibbles;
      if (may_pay && j > 0 && CodeClass(other) != CodeClass(level)) {
        levels[c][j] = other;
        moved_nibbles = EncodeComponentLevels(levels[c], code);
        levels[c][j] = level;
      }
      const auto extra_bits = static_cast<float>(4 * (moved_nibbles - nibbles));
      if (static_cast<float>(error - best) + lambda * extra_bits < 0) {
        best = error;
        levels[c][j] = other;
        nibbles = moved_nibbles;
      } else {
        SetLevel(&components[c], j, other, level, dequant[c][j]);
        std::memcpy(samples[c], kept, sizeof kept);
      }
    }
  }
  // The last levels of a component carry the run and end codes with them: drop them while the
  // bits saved are worth more than the error they remove.
  for (int c = 0; c < 3; ++c) {
    int nibbles = EncodeComponentLevels(levels[c], code);
    for (int tries = 0; tries < 4; ++tries) {
      int last = 63;
      while (last > 0 && levels[c][last] == 0) --last;
      if (last == 0) break;
      const std::int32_t level = levels[c][last];
      std::memcpy(kept, samples[c], sizeof kept);
      levels[c][last] = 0;
      const int fewer = EncodeComponentLevels(levels[c], code);
      SetLevel(&components[c], last, level, 0, dequant[c][last]);
      ComponentSamples(components[c], samples[c]);
      const std::int64_t error = SamplesError(samples, planes, pixels);
      if (static_cast<float>(error - best) < lambda * 4.0f * static_cast<float>(nibbles - fewer)) {
        best = error;
        nibbles = fewer;
      } else {
        levels[c][last] = level;
        SetLevel(&components[c], last, 0, level, dequant[c][last]);
        std::memcpy(samples[c], kept, sizeof kept);
        break;
      }
    }
  }
  return best;
}

}  // namespace tarvel
