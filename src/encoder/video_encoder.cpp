#include "encoder/video_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "encoder/dct_encoder.h"
#include "encoder/movie_writer.h"
#include "video/block_ops.h"
#include "video/coefficient_reader.h"
#include "video/colour_convert.h"
#include "video/inverse_dct.h"
#include "video/video_decoder.h"
#include "video/video_tables.h"

namespace tarvel {

namespace {

// Leaf kinds.
constexpr std::uint8_t kLeafSkip = 0;
constexpr std::uint8_t kLeafSpiral = 1;
constexpr std::uint8_t kLeafVector = 2;
constexpr std::uint8_t kLeafDct = 3;

// Splits of the whole block and of a quarter; a half or an eighth is a leaf or split once.
constexpr int kWholeLeaf = 0, kWholeStacked = 1, kWholeSide = 2, kWholeQuarters = 3;
constexpr int kQuarterLeaf = 0, kQuarterWide = 1, kQuarterTall = 2, kQuarterSixteenths = 3;

// Piece levels of the mode trees.
enum class Level { kWhole, kHalf, kQuarter, kEighth, kSixteenth };

constexpr double kInfinity = 1e300;

// Levels of DCT blocks are retried against the decoded picture only where the coefficient lies
// at least this many steps from the level chosen: closer ones almost never gain.
constexpr float kRefineMargin = 0.2f;

// Weight of a level's bits against its RGB error, as a multiple of the block-mode weight. Measured
// on key frames of natural and synthetic clips at equal size: with the levels chosen against the
// code's real lengths, a higher quality traded this hard beats a lower quality traded gently
// (0.5 to 1.5 dB at equal bits over the weights of the first version).
constexpr double kLevelLambdaScale = 4;

// How far around the block to the left and the one above key frames look for a copy at the
// default effort (testsrc2 640x480 key frames at 0.4 bits per pixel: +1.5 dB, 35% slower).
constexpr int kKeyCopyRadius = 2;

struct Leaf {
  std::uint8_t kind = kLeafSkip;
  std::uint8_t orientation = 0;
  std::uint8_t from_output = 0;
  std::int16_t sx = 0, sy = 0;  // top-left pixel of the source region
};

struct Choice {
  Leaf leaf;
  double cost = kInfinity;
  bool valid() const { return cost < kInfinity; }
};

struct BlockPlan {
  int whole_split = kWholeLeaf;
  Leaf whole;
  int half_split[2] = {};  // 0 leaf, 1 two quarters
  Leaf half[2];
  int quarter_split[4] = {};
  Leaf quarter[4];
  int eighth_split[8] = {};  // 0 leaf, 1 two sixteenths
  Leaf eighth[8];
  Leaf sixteenth[16];
  std::uint8_t nibbles[kMaxBlockNibbles];
  int nibble_count = 0;
  std::uint16_t dct_pixels[64];
};

struct Piece {
  int px, py, w, h;
  PieceSize size;
};

Piece WholePiece(int x, int y) {
  return {x, y, 8, 8, PieceSize::kWhole};
}
Piece HalfPiece(int x, int y, bool stacked, int k) {
  if (stacked) return {x, y + 4 * k, 8, 4, PieceSize::kStackedHalf};
  return {x + 4 * k, y, 4, 8, PieceSize::kSideHalf};
}
Piece QuarterPiece(int x, int y, int q) {
  return {x + 4 * (q & 1), y + 4 * (q >> 1), 4, 4, PieceSize::kQuarter};
}
Piece EighthPiece(int x, int y, bool wide, int e) {
  const int q = e >> 1, j = e & 1;
  const int qx = x + 4 * (q & 1), qy = y + 4 * (q >> 1);
  if (wide) return {qx, qy + 2 * j, 4, 2, PieceSize::kWideEighth};
  return {qx + 2 * j, qy, 2, 4, PieceSize::kTallEighth};
}
Piece SixteenthPiece(int x, int y, int s) {
  const int q = s >> 2, r = (s >> 1) & 1, c = s & 1;
  return {x + 4 * (q & 1) + 2 * c, y + 4 * (q >> 1) + 2 * r, 2, 2, PieceSize::kSixteenth};
}

// Source row and column of destination pixel (r, c) of a w x h piece under an orientation.
inline void SourceOf(int orientation, int w, int h, int r, int c, int* sr, int* sc) {
  switch (orientation) {
    case 0:
      *sr = r;
      *sc = c;
      break;
    case 1:
      *sr = r;
      *sc = w - 1 - c;
      break;
    case 2:
      *sr = h - 1 - r;
      *sc = c;
      break;
    case 3:
      *sr = h - 1 - r;
      *sc = w - 1 - c;
      break;
    case 4:
      *sr = w - 1 - c;
      *sc = h - 1 - r;
      break;
    case 5:
      *sr = w - 1 - c;
      *sc = r;
      break;
    case 6:
      *sr = c;
      *sc = h - 1 - r;
      break;
    default:
      *sr = c;
      *sc = r;
      break;
  }
}

// Mode-bit stream: 32-bit little-endian words filled from bit 31 down.
struct ModeBitWriter {
  std::vector<std::uint8_t> bytes;
  std::uint32_t word = 0;
  int used = 0;
  void Put(unsigned bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      word |= ((bits >> i) & 1u) << (31 - used);
      if (++used == 32) Flush();
    }
  }
  void Flush() {
    std::uint8_t b[4];
    WriteLe32(b, word);
    bytes.insert(bytes.end(), b, b + 4);
    word = 0;
    used = 0;
  }
  void Finish() {
    // A reader may load the word after the last bit it uses, so a full last word is followed
    // by one of padding.
    Flush();
  }
};

}  // namespace

struct VideoEncoderImpl {
  int width = 0, height = 0;
  // 5-5-5 pixel to 8-bit R, G, B and to a luma value for the motion search.
  std::vector<std::uint8_t> rgb_of;   // 32768 * 3
  std::vector<std::uint8_t> luma_of;  // 32768
  // 8-bit source value to the decoder's channel value aimed at (before its 5-bit packing).
  std::array<float, 256> target_of{};
  std::array<std::int16_t, 64 * 64> spiral_index{};  // (dy + 31) * 64 + dx + 31
  std::vector<std::uint8_t> source_luma;
  std::vector<std::uint8_t> reference_luma;
  std::vector<std::uint8_t> output_luma;
  std::vector<std::uint16_t> work;  // the output picture as the encoder builds it
  const RgbPicture* source = nullptr;
  const std::uint16_t* reference = nullptr;  // the previous decoded picture
  std::int32_t dequant[6][64] = {};
  double lambda = 1;
  double dct_distortion = 0;  // running mean SSE per pixel of DCT blocks, for early decisions
  double dct_samples = 0;
  std::vector<std::int16_t> motion_x, motion_y, previous_motion_x, previous_motion_y;
  // Streams of the frame being written.
  ModeBitWriter mode_bits;
  std::vector<std::uint8_t> vector_words;
  std::vector<std::uint16_t> spiral_indexes;
  NibbleWriter nibbles;
  VideoFrameStats* stats = nullptr;
  int quality = 0;  // of the tables and weight in use
  bool key = false;
  int effort = 1;
  int x = 0, y = 0;  // current block origin
  int last_key_dx = -8, last_key_dy = 0;
};

namespace {

using Impl = VideoEncoderImpl;

void BuildLookups(Impl& m) {
  m.rgb_of.resize(32768 * 3);
  m.luma_of.resize(32768);
  for (unsigned p = 0; p < 32768; ++p) {
    const unsigned r5 = (p >> 10) & 31, g5 = (p >> 5) & 31, b5 = p & 31;
    const unsigned r = (r5 << 3) | (r5 >> 2), g = (g5 << 3) | (g5 >> 2), b = (b5 << 3) | (b5 >> 2);
    m.rgb_of[3 * p] = static_cast<std::uint8_t>(r);
    m.rgb_of[3 * p + 1] = static_cast<std::uint8_t>(g);
    m.rgb_of[3 * p + 2] = static_cast<std::uint8_t>(b);
    m.luma_of[p] = static_cast<std::uint8_t>((77 * r + 150 * g + 29 * b) >> 8);
  }
  // Aim for the middle of each 5-bit step. Black and full channels aim a step beyond the end:
  // the decoder clamps there, so the block's rounding error cannot pull them off their end code.
  constexpr float kScale = 248.0f / 255.0f;
  constexpr float kEndPush = 8;
  for (int v = 0; v < 256; ++v)
    m.target_of[static_cast<std::size_t>(v)] = static_cast<float>(v) * kScale + 4.0f;
  m.target_of[0] -= kEndPush;
  m.target_of[255] += kEndPush;
  // The spiral order: rings walked from the outermost (index 4095) inward.
  int index = 4095;
  for (int n = 63; n >= 1; n -= 2) {
    const int h = (n + 1) / 2;
    int dx = h, dy = h;
    const int steps[4][2] = {{-1, 0}, {0, -1}, {1, 0}, {0, 1}};
    for (const auto& s : steps)
      for (int k = 0; k < n; ++k) {
        m.spiral_index[static_cast<std::size_t>((dy + 31) * 64 + dx + 31)] =
            static_cast<std::int16_t>(index--);
        dx += s[0];
        dy += s[1];
      }
  }
}

void LumaPlane(const Impl& m, const std::uint16_t* pixels, std::vector<std::uint8_t>* out) {
  out->resize(pixels ? static_cast<std::size_t>(m.width) * m.height : 0);
  for (std::size_t i = 0; i < out->size(); ++i) (*out)[i] = m.luma_of[pixels[i] & 0x7FFF];
}

// --- Distortion -------------------------------------------------------------------------

// Squared error of a copy against the source, over the RGB channels.
std::int64_t CopySse(const Impl& m, const Piece& p, const std::uint16_t* picture, int sx, int sy,
                     int orientation) {
  const int w = m.width;
  std::int64_t sse = 0;
  for (int r = 0; r < p.h; ++r) {
    const std::uint8_t* src = m.source->Pixel(p.px, p.py + r);
    for (int c = 0; c < p.w; ++c) {
      int sr, sc;
      SourceOf(orientation, p.w, p.h, r, c, &sr, &sc);
      const std::uint16_t pixel = picture[(sy + sr) * w + sx + sc];
      const std::uint8_t* rgb = &m.rgb_of[3 * (pixel & 0x7FFFu)];
      const int dr = rgb[0] - src[3 * c], dg = rgb[1] - src[3 * c + 1],
                db = rgb[2] - src[3 * c + 2];
      sse += dr * dr + dg * dg + db * db;
    }
  }
  return sse;
}

int CopySad(const Impl& m, const Piece& p, const std::vector<std::uint8_t>& luma, int sx, int sy,
            int orientation) {
  const int w = m.width;
  int sad = 0;
  if (orientation == 0) {
    for (int r = 0; r < p.h; ++r) {
      const std::uint8_t* a = &m.source_luma[static_cast<std::size_t>((p.py + r) * w + p.px)];
      const std::uint8_t* b = &luma[static_cast<std::size_t>((sy + r) * w + sx)];
      for (int c = 0; c < p.w; ++c) sad += std::abs(a[c] - b[c]);
    }
    return sad;
  }
  for (int r = 0; r < p.h; ++r) {
    const std::uint8_t* a = &m.source_luma[static_cast<std::size_t>((p.py + r) * w + p.px)];
    for (int c = 0; c < p.w; ++c) {
      int sr, sc;
      SourceOf(orientation, p.w, p.h, r, c, &sr, &sc);
      sad += std::abs(a[c] - luma[static_cast<std::size_t>((sy + sr) * w + sx + sc)]);
    }
  }
  return sad;
}

// --- What a leaf can express ---------------------------------------------------------------

bool SourceUsable(const Impl& m, const Piece& p, const Leaf& leaf) {
  const int sw = leaf.orientation < 4 ? p.w : p.h;
  const int sh = leaf.orientation < 4 ? p.h : p.w;
  if (leaf.sx < 0 || leaf.sy < 0 || leaf.sx + sw > m.width || leaf.sy + sh > m.height) return false;
  if (!leaf.from_output) return !m.key;
  // The output picture is read only where this frame has already finished whole blocks, so a
  // copy never depends on what the buffer held before and never overlaps its destination.
  return leaf.sy + sh <= m.y || (leaf.sx + sw <= m.x && leaf.sy + sh <= m.y + 8);
}

// Horizontal field of a long vector word that makes the wrapped column equal `sx`.
int LongHorizontal(const Impl& m, int sx) {
  const int h = m.x + 128 - sx;
  if (h >= 0 && h <= 255) return h;
  if (h + m.width <= 255 && h + m.width >= 0) return h + m.width;
  if (h - m.width >= 0 && h - m.width <= 255) return h - m.width;
  return -1;
}

bool LongWord(const Impl& m, Level level, const Leaf& leaf, std::uint16_t* word) {
  const int h = LongHorizontal(m, leaf.sx);
  if (h < 0) return false;
  int v;
  if (!leaf.from_output)
    v = m.y + 64 - leaf.sy;
  else
    v = (level == Level::kWhole ? m.y : m.y + 4) - leaf.sy;
  if (v < 0 || v > 127) return false;
  const unsigned s = m.key ? (leaf.orientation & 1u) : leaf.from_output;
  *word = static_cast<std::uint16_t>(static_cast<unsigned>(v) | (static_cast<unsigned>(h) << 7) |
                                     (s << 15));
  return true;
}

bool ShortWord(const Impl& m, const Leaf& leaf, std::uint16_t* word) {
  const int dx = leaf.sx - m.x, dy = leaf.sy - m.y;
  int n;
  if (!leaf.from_output) {
    if (dx < -32 || dx > 31 || dy < -32 || dy > 31) return false;
    n = (31 - dy) * 64 + (31 - dx);
  } else {
    if (dx < -64 || dx > 63 || dy < -25 || dy > 6) return false;
    n = (6 - dy) * 128 + (63 - dx);
  }
  const unsigned s = m.key ? 0u : leaf.from_output;
  *word =
      static_cast<std::uint16_t>(static_cast<unsigned>(n) | (leaf.orientation << 12u) | (s << 15));
  return true;
}

int SpiralIndex(const Impl& m, const Piece& p, const Leaf& leaf) {
  const int dx = leaf.sx - p.px, dy = leaf.sy - p.py;
  if (dx < -31 || dx > 32 || dy < -31 || dy > 32) return -1;
  return m.spiral_index[static_cast<std::size_t>((dy + 31) * 64 + dx + 31)];
}

// Mode bits (with their words and indexes) a leaf costs, or -1 when it cannot be written.
int LeafBits(const Impl& m, Level level, const Piece& p, const Leaf& leaf) {
  const bool vector_long =
      level == Level::kWhole || level == Level::kHalf || level == Level::kQuarter;
  if (leaf.kind == kLeafSkip) {
    if (m.key) return -1;
    switch (level) {
      case Level::kWhole:
        return 3;
      case Level::kHalf:
        return 2;
      case Level::kQuarter:
        return 3;
      case Level::kEighth:
        return 3;
      case Level::kSixteenth:
        return 2;
    }
  }
  if (leaf.kind == kLeafSpiral) {
    if (m.key || leaf.from_output || leaf.orientation != 0 || !SourceUsable(m, p, leaf)) return -1;
    if (SpiralIndex(m, p, leaf) < 0) return -1;
    return (level == Level::kEighth || level == Level::kSixteenth) ? 13 : 14;
  }
  if (!SourceUsable(m, p, leaf)) return -1;
  std::uint16_t word;
  if (vector_long ? !LongWord(m, level, leaf, &word) : !ShortWord(m, leaf, &word)) return -1;
  if (m.key) {
    switch (level) {
      case Level::kWhole:
        return 3 + 2 + 16;
      case Level::kHalf:
        return 1 + 2 + 16;
      case Level::kQuarter:
        return 2 + 2 + 16;
      case Level::kEighth:
        return 1 + 16;
      case Level::kSixteenth:
        return 16;  // inside a split that already paid its bits
    }
  }
  switch (level) {
    case Level::kWhole:
      return 3 + 3 + 16;
    case Level::kHalf:
      return 2 + 3 + 16;
    case Level::kQuarter:
      return 2 + 3 + 16;
    case Level::kEighth:
      return 2 + 16;
    case Level::kSixteenth:
      return 2 + 16;
  }
  return -1;
}

double LeafCost(const Impl& m, Level level, const Piece& p, const Leaf& leaf) {
  const int bits = LeafBits(m, level, p, leaf);
  if (bits < 0) return kInfinity;
  const std::uint16_t* picture = leaf.from_output ? m.work.data() : nullptr;
  std::int64_t sse;
  if (leaf.kind == kLeafSkip) {
    sse = CopySse(m, p, m.reference, p.px, p.py, 0);
  } else {
    sse = CopySse(m, p, picture ? picture : m.reference, leaf.sx, leaf.sy, leaf.orientation);
  }
  return static_cast<double>(sse) + m.lambda * bits;
}

// --- Search ------------------------------------------------------------------------------

// Tries a copy and keeps it in `best` when it is cheaper.
void Consider(const Impl& m, Level level, const Piece& p, const Leaf& leaf, Choice* best) {
  const double cost = LeafCost(m, level, p, leaf);
  if (cost < best->cost) {
    best->cost = cost;
    best->leaf = leaf;
  }
}

// A copy from (sx, sy): the spiral form when it reaches, else a vector word.
void ConsiderAt(const Impl& m, Level level, const Piece& p, int sx, int sy, int orientation,
                bool from_output, Choice* best) {
  Leaf leaf;
  leaf.sx = static_cast<std::int16_t>(sx);
  leaf.sy = static_cast<std::int16_t>(sy);
  leaf.orientation = static_cast<std::uint8_t>(orientation);
  leaf.from_output = from_output ? 1 : 0;
  if (!m.key && !from_output && orientation == 0) {
    leaf.kind = kLeafSpiral;
    if (LeafBits(m, level, p, leaf) >= 0) {
      Consider(m, level, p, leaf, best);
      return;
    }
  }
  leaf.kind = kLeafVector;
  Consider(m, level, p, leaf, best);
}

bool Inside(const Impl& m, const Piece& p, int sx, int sy, int orientation) {
  const int sw = orientation < 4 ? p.w : p.h, sh = orientation < 4 ? p.h : p.w;
  return sx >= 0 && sy >= 0 && sx + sw <= m.width && sy + sh <= m.height;
}

// Best position by luma SAD in a square window, restricted to sources the leaf may use.
void SearchWindow(const Impl& m, Level level, const Piece& p, bool from_output, int orientation,
                  int cx, int cy, int radius, Choice* best) {
  const std::vector<std::uint8_t>& luma = from_output ? m.output_luma : m.reference_luma;
  int best_sad = 1 << 30, bx = 0, by = 0;
  Leaf probe;
  probe.from_output = from_output ? 1 : 0;
  probe.orientation = static_cast<std::uint8_t>(orientation);
  for (int sy = cy - radius; sy <= cy + radius; ++sy)
    for (int sx = cx - radius; sx <= cx + radius; ++sx) {
      if (!Inside(m, p, sx, sy, orientation)) continue;
      probe.sx = static_cast<std::int16_t>(sx);
      probe.sy = static_cast<std::int16_t>(sy);
      if (!SourceUsable(m, p, probe)) continue;
      const int sad = CopySad(m, p, luma, sx, sy, orientation);
      if (sad < best_sad) {
        best_sad = sad;
        bx = sx;
        by = sy;
      }
    }
  if (best_sad < (1 << 30)) ConsiderAt(m, level, p, bx, by, orientation, from_output, best);
}

// Motion search in the previous picture (orientation 0): predictors, then a diamond descent.
void SearchReference(const Impl& m, Level level, const Piece& p, const int (*predictors)[2],
                     int predictor_count, bool refine, Choice* best) {
  int best_sad = 1 << 30, bx = p.px, by = p.py;
  auto probe = [&](int sx, int sy) {
    if (!Inside(m, p, sx, sy, 0)) return false;
    if (sx - p.px < -64 || sx - p.px > 64 || sy - p.py < -60 || sy - p.py > 60) return false;
    const int sad = CopySad(m, p, m.reference_luma, sx, sy, 0);
    if (sad < best_sad) {
      best_sad = sad;
      bx = sx;
      by = sy;
      return true;
    }
    return false;
  };
  probe(p.px, p.py);
  for (int i = 0; i < predictor_count; ++i) probe(p.px + predictors[i][0], p.py + predictors[i][1]);
  if (refine && best_sad > 0) {
    for (int step = 4; step >= 1; step /= 2) {
      for (int iteration = 0; iteration < 16; ++iteration) {
        const int cx = bx, cy = by;
        bool moved = false;
        moved |= probe(cx + step, cy);
        moved |= probe(cx - step, cy);
        moved |= probe(cx, cy + step);
        moved |= probe(cx, cy - step);
        if (!moved) break;
      }
    }
  }
  if (bx != p.px || by != p.py) ConsiderAt(m, level, p, bx, by, 0, false, best);
  // The zero vector as a spiral copy, for pieces where a skip is not the cheaper form.
  ConsiderAt(m, level, p, p.px, p.py, 0, false, best);
}

// Best single copy for a piece (no split).
Choice BestLeaf(const Impl& m, Level level, const Piece& p, const int (*predictors)[2],
                int predictor_count) {
  Choice best;
  if (!m.key) {
    Leaf skip;
    skip.kind = kLeafSkip;
    Consider(m, level, p, skip, &best);
    if (best.valid() && best.cost <= m.lambda * 4) return best;  // nothing to gain
    SearchReference(m, level, p, predictors, predictor_count, m.effort >= 1, &best);
  } else if (m.effort >= 1) {
    // Repeats inside the picture: the block to the left, the one above, the last vector used,
    // and plain copies a little around the first two (flat and striped areas of synthetic
    // pictures: a key frame has no cheaper way to fill a block than a copy).
    ConsiderAt(m, level, p, p.px - 8, p.py, 0, true, &best);
    ConsiderAt(m, level, p, p.px, p.py - 8, 0, true, &best);
    ConsiderAt(m, level, p, p.px + m.last_key_dx, p.py + m.last_key_dy, 0, true, &best);
    if (m.effort == 1) {
      SearchWindow(m, level, p, true, 0, p.px - 8, p.py, kKeyCopyRadius, &best);
      SearchWindow(m, level, p, true, 0, p.px, p.py - 8, kKeyCopyRadius, &best);
    }
  }
  if (m.effort >= 2) {
    // Oriented copies and copies out of the picture being built. The thorough setting searches
    // every orientation for every piece; the default for this level keeps to the larger pieces.
    const bool thorough = m.effort >= 3;
    const bool large = level == Level::kWhole || level == Level::kHalf || level == Level::kQuarter;
    const int radius = thorough ? 16 : 2;
    const int orientations = (thorough || large) ? kOrientationCount : 1;
    // The plain orientation in the previous picture is the motion search's, except that the
    // thorough setting also walks the whole window (descents get lost in noisy content).
    if (!m.key)
      for (int o = thorough ? 0 : 1; o < orientations; ++o)
        SearchWindow(m, level, p, false, o, p.px, p.py, radius, &best);
    for (int o = 0; o < orientations; ++o) {
      SearchWindow(m, level, p, true, o, p.px - 8, p.py, radius, &best);
      SearchWindow(m, level, p, true, o, p.px, p.py - 8, radius, &best);
    }
  }
  return best;
}

// --- DCT blocks --------------------------------------------------------------------------

double TryDct(const Impl& m, BlockPlan* plan) {
  float samples[3][64];
  for (int r = 0; r < 8; ++r) {
    const std::uint8_t* src = m.source->Pixel(m.x, m.y + r);
    for (int c = 0; c < 8; ++c) {
      const float red = m.target_of[src[3 * c]], green = m.target_of[src[3 * c + 1]],
                  blue = m.target_of[src[3 * c + 2]];
      const float luma = 0.3f * red + 0.6f * green + 0.1f * blue;
      // The decoder's colour conversion: r = L + 1.6 Cr, g = L - 0.8 Cr - Cb / 3, b = L + 2 Cb,
      // with L = Y / 16 + 128 and the chroma samples taken at 1/16.
      samples[0][8 * r + c] = 16.0f * (luma - 128.0f) + 8.0f;
      samples[1][8 * r + c] = 16.0f * (blue - luma) / 2.0f + 4.0f;
      samples[2][8 * r + c] = 16.0f * (red - luma) / 1.6f + 8.0f;
    }
  }
  float transformed[3][64];
  for (int component = 0; component < 3; ++component)
    ForwardDct8x8(samples[component], transformed[component]);
  std::int32_t levels[3][64];
  const auto level_lambda = static_cast<float>(m.lambda * kLevelLambdaScale);
  ChooseColourLevels(transformed, m.dequant, level_lambda, levels);
  if (m.effort >= 1)
    RefineColourBlock(transformed, m.dequant, m.source->Pixel(m.x, m.y),
                      static_cast<std::ptrdiff_t>(m.width) * 3, kRefineMargin, level_lambda,
                      levels);
  int count = 0;
  for (int component = 0; component < 3; ++component)
    count += EncodeComponentLevels(levels[component], plan->nibbles + count);
  plan->nibble_count = count;
  // Reconstruct through the decoder's own coefficient reader, inverse transform and colour
  // conversion.
  std::uint8_t packed[kMaxBlockNibbles / 2 + 1] = {};
  for (int i = 0; i < count; ++i)
    packed[i >> 1] =
        static_cast<std::uint8_t>(packed[i >> 1] | (plan->nibbles[i] << (4 * (i & 1))));
  NibbleReader reader;
  reader.data = packed;
  reader.position = 0;
  reader.end = static_cast<std::size_t>(count);
  alignas(64) std::int32_t coefficients[3][64];
  std::uint32_t masks[3];
  if (!ReadBlockCoefficients(reader, m.dequant, coefficients, masks)) return kInfinity;
  for (int component = 0; component < 3; ++component)
    InverseDct8x8(coefficients[component], static_cast<std::uint16_t>(masks[component]));
  ConvertSamplesToPixels(coefficients[0], coefficients[1], coefficients[2], kPixelFormat555,
                         plan->dct_pixels, 8);
  std::int64_t sse = 0;
  for (int r = 0; r < 8; ++r) {
    const std::uint8_t* src = m.source->Pixel(m.x, m.y + r);
    for (int c = 0; c < 8; ++c) {
      const std::uint8_t* rgb = &m.rgb_of[3 * (plan->dct_pixels[8 * r + c] & 0x7FFFu)];
      const int dr = rgb[0] - src[3 * c], dg = rgb[1] - src[3 * c + 1],
                db = rgb[2] - src[3 * c + 2];
      sse += dr * dr + dg * dg + db * db;
    }
  }
  return static_cast<double>(sse) + m.lambda * (3 + 4 * count);
}

// --- Split decisions ---------------------------------------------------------------------

double DecideSixteenth(const Impl& m, BlockPlan* plan, int s, const int (*pred)[2], int npred) {
  const Piece p = SixteenthPiece(m.x, m.y, s);
  const Choice c = BestLeaf(m, Level::kSixteenth, p, pred, npred);
  plan->sixteenth[s] = c.leaf;
  return c.cost;
}

double DecideEighth(const Impl& m, BlockPlan* plan, bool wide, int e, const int (*pred)[2],
                    int npred) {
  const Piece p = EighthPiece(m.x, m.y, wide, e);
  const Choice leaf = BestLeaf(m, Level::kEighth, p, pred, npred);
  plan->eighth[e] = leaf.leaf;
  plan->eighth_split[e] = 0;
  double best = leaf.cost;
  if (m.effort >= 2) {
    const int q = e >> 1, j = e & 1;
    const int s0 = wide ? 2 * e : 4 * q + j, s1 = wide ? 2 * e + 1 : 4 * q + j + 2;
    const double split = m.lambda * (m.key ? 1 : 3) + DecideSixteenth(m, plan, s0, pred, npred) +
                         DecideSixteenth(m, plan, s1, pred, npred);
    if (split < best) {
      best = split;
      plan->eighth_split[e] = 1;
    }
  }
  return best;
}

double DecideQuarter(const Impl& m, BlockPlan* plan, int q, const int (*pred)[2], int npred) {
  const Piece p = QuarterPiece(m.x, m.y, q);
  const Choice leaf = BestLeaf(m, Level::kQuarter, p, pred, npred);
  plan->quarter[q] = leaf.leaf;
  plan->quarter_split[q] = kQuarterLeaf;
  double best = leaf.cost;
  if (m.effort >= 2 && best > m.lambda * 8) {
    BlockPlan trial = *plan;
    double wide = m.lambda * (m.key ? 2 : 3);
    for (int j = 0; j < 2; ++j) wide += DecideEighth(m, &trial, true, 2 * q + j, pred, npred);
    if (wide < best) {
      best = wide;
      plan->quarter_split[q] = kQuarterWide;
      for (int j = 0; j < 2; ++j) {
        plan->eighth[2 * q + j] = trial.eighth[2 * q + j];
        plan->eighth_split[2 * q + j] = trial.eighth_split[2 * q + j];
      }
      for (int s = 4 * q; s < 4 * q + 4; ++s) plan->sixteenth[s] = trial.sixteenth[s];
    }
    trial = *plan;
    double tall = m.lambda * (m.key ? 2 : 3);
    for (int j = 0; j < 2; ++j) tall += DecideEighth(m, &trial, false, 2 * q + j, pred, npred);
    if (tall < best) {
      best = tall;
      plan->quarter_split[q] = kQuarterTall;
      for (int j = 0; j < 2; ++j) {
        plan->eighth[2 * q + j] = trial.eighth[2 * q + j];
        plan->eighth_split[2 * q + j] = trial.eighth_split[2 * q + j];
      }
      for (int s = 4 * q; s < 4 * q + 4; ++s) plan->sixteenth[s] = trial.sixteenth[s];
    }
    trial = *plan;
    double sixteenths = m.lambda * (m.key ? 2 : 3);
    for (int s = 4 * q; s < 4 * q + 4; ++s) {
      if (m.key) {
        // Key-frame sixteenths of a quarter are short-vector copies with no mode bits.
        const Piece sp = SixteenthPiece(m.x, m.y, s);
        const Choice c = BestLeaf(m, Level::kSixteenth, sp, pred, npred);
        trial.sixteenth[s] = c.leaf;
        sixteenths += c.cost;
      } else {
        sixteenths += DecideSixteenth(m, &trial, s, pred, npred);
      }
    }
    if (sixteenths < best) {
      best = sixteenths;
      plan->quarter_split[q] = kQuarterSixteenths;
      for (int s = 4 * q; s < 4 * q + 4; ++s) plan->sixteenth[s] = trial.sixteenth[s];
    }
  }
  return best;
}

// Quarters that a half splits into.
void HalfQuarters(bool stacked, int k, int* q0, int* q1) {
  *q0 = stacked ? 2 * k : k;
  *q1 = stacked ? 2 * k + 1 : k + 2;
}

double DecideHalves(const Impl& m, BlockPlan* plan, bool stacked, const double quarter_cost[4],
                    const int (*pred)[2], int npred) {
  double total = m.lambda * (m.key ? 2 : 3);
  for (int k = 0; k < 2; ++k) {
    const Piece p = HalfPiece(m.x, m.y, stacked, k);
    const Choice leaf = BestLeaf(m, Level::kHalf, p, pred, npred);
    int q0, q1;
    HalfQuarters(stacked, k, &q0, &q1);
    const double split = m.lambda * (m.key ? 1 : 2) + quarter_cost[q0] + quarter_cost[q1];
    if (leaf.cost <= split) {
      plan->half[k] = leaf.leaf;
      plan->half_split[k] = 0;
      total += leaf.cost;
    } else {
      plan->half_split[k] = 1;
      total += split;
    }
  }
  return total;
}

void DecideBlock(Impl& m, BlockPlan* plan, int bx, int by) {
  const int blocks_x = m.width / 8;
  const std::size_t b = static_cast<std::size_t>(by * blocks_x + bx);
  int pred[4][2];
  int npred = 0;
  auto add = [&](int dx, int dy) {
    for (int i = 0; i < npred; ++i)
      if (pred[i][0] == dx && pred[i][1] == dy) return;
    pred[npred][0] = dx;
    pred[npred][1] = dy;
    ++npred;
  };
  if (!m.key) {
    if (bx > 0) add(m.motion_x[b - 1], m.motion_y[b - 1]);
    if (by > 0) add(m.motion_x[b - blocks_x], m.motion_y[b - blocks_x]);
    if (by > 0 && bx + 1 < blocks_x)
      add(m.motion_x[b - blocks_x + 1], m.motion_y[b - blocks_x + 1]);
    if (!m.previous_motion_x.empty()) add(m.previous_motion_x[b], m.previous_motion_y[b]);
  }
  const Piece whole = WholePiece(m.x, m.y);
  Choice leaf;
  if (!m.key || m.effort >= 1) leaf = BestLeaf(m, Level::kWhole, whole, pred, npred);
  plan->whole_split = kWholeLeaf;
  plan->whole = leaf.leaf;
  double best = leaf.cost;
  // A copy that is as good as a typical DCT block here needs nothing more.
  const double early = m.dct_distortion * 64 + m.lambda * 24;
  if (leaf.valid() && leaf.cost <= early && m.effort < 3) {
    // keep the copy
  } else {
    const double dct = TryDct(m, plan);
    if (dct < best) {
      best = dct;
      plan->whole.kind = kLeafDct;
    }
    if (m.effort >= 1) {
      BlockPlan trial = *plan;
      // Quarters carry the whole block's vector as a predictor.
      int qpred[5][2];
      int nq = 0;
      for (int i = 0; i < npred; ++i) {
        qpred[nq][0] = pred[i][0];
        qpred[nq][1] = pred[i][1];
        ++nq;
      }
      if (leaf.valid() && leaf.leaf.kind != kLeafSkip && !leaf.leaf.from_output) {
        qpred[nq][0] = leaf.leaf.sx - m.x;
        qpred[nq][1] = leaf.leaf.sy - m.y;
        ++nq;
      }
      double quarter_cost[4];
      double quarters = m.lambda * (m.key ? 2 : 4);
      for (int q = 0; q < 4; ++q) {
        quarter_cost[q] = DecideQuarter(m, &trial, q, qpred, nq);
        quarters += quarter_cost[q];
      }
      int split = -1;
      if (quarters < best) {
        best = quarters;
        split = kWholeQuarters;
      }
      BlockPlan halves_plan[2] = {trial, trial};
      double halves[2] = {kInfinity, kInfinity};
      if (m.effort >= 2 || m.key) {
        halves[0] = DecideHalves(m, &halves_plan[0], true, quarter_cost, qpred, nq);
        halves[1] = DecideHalves(m, &halves_plan[1], false, quarter_cost, qpred, nq);
        if (halves[0] < best) {
          best = halves[0];
          split = kWholeStacked;
        }
        if (halves[1] < best) {
          best = halves[1];
          split = kWholeSide;
        }
      }
      if (split == kWholeQuarters) {
        trial.whole_split = kWholeQuarters;
        std::memcpy(trial.nibbles, plan->nibbles, sizeof plan->nibbles);
        *plan = trial;
      } else if (split == kWholeStacked || split == kWholeSide) {
        *plan = halves_plan[split == kWholeStacked ? 0 : 1];
        plan->whole_split = split;
      }
    }
  }
  // Motion kept for the neighbours' predictors.
  std::int16_t mx = 0, my = 0;
  if (plan->whole_split == kWholeLeaf && plan->whole.kind != kLeafDct &&
      plan->whole.kind != kLeafSkip && !plan->whole.from_output) {
    mx = static_cast<std::int16_t>(plan->whole.sx - m.x);
    my = static_cast<std::int16_t>(plan->whole.sy - m.y);
  } else if (leaf.valid() && leaf.leaf.kind == kLeafSpiral) {
    mx = static_cast<std::int16_t>(leaf.leaf.sx - m.x);
    my = static_cast<std::int16_t>(leaf.leaf.sy - m.y);
  }
  if (!m.key) {
    m.motion_x[b] = mx;
    m.motion_y[b] = my;
  }
}

// --- Writing a decided block ---------------------------------------------------------------

void Count(Impl& m, int mode) {
  if (m.stats) ++m.stats->modes[mode];
}

void ApplyCopy(Impl& m, const Piece& p, const Leaf& leaf) {
  std::uint16_t* destination = &m.work[static_cast<std::size_t>(p.py * m.width + p.px)];
  const std::uint16_t* picture = leaf.from_output ? m.work.data() : m.reference;
  if (leaf.kind == kLeafSkip) {
    OrientedCopyDisjoint(p.size, 0, &picture[static_cast<std::size_t>(p.py * m.width + p.px)],
                         destination, m.width);
    return;
  }
  OrientedCopyDisjoint(p.size, leaf.orientation,
                       &picture[static_cast<std::size_t>(leaf.sy * m.width + leaf.sx)], destination,
                       m.width);
  if (m.stats) {
    if (leaf.from_output) ++m.stats->output_copies;
    if (leaf.orientation) ++m.stats->oriented_copies;
  }
}

void PutWord(Impl& m, std::uint16_t word) {
  m.vector_words.push_back(static_cast<std::uint8_t>(word & 0xFF));
  m.vector_words.push_back(static_cast<std::uint8_t>(word >> 8));
}

// Writes a copy leaf's payload (orientation bits, word or spiral index) after its mode bits.
void PutLongCopy(Impl& m, Level level, const Leaf& leaf) {
  std::uint16_t word = 0;
  LongWord(m, level, leaf, &word);
  if (m.key)
    m.mode_bits.Put(leaf.orientation >> 1, 2);
  else
    m.mode_bits.Put(leaf.orientation, 3);
  PutWord(m, word);
}

void PutShortCopy(Impl& m, const Leaf& leaf) {
  std::uint16_t word = 0;
  ShortWord(m, leaf, &word);
  PutWord(m, word);
}

void PutSpiral(Impl& m, const Piece& p, const Leaf& leaf) {
  m.spiral_indexes.push_back(static_cast<std::uint16_t>(SpiralIndex(m, p, leaf)));
}

void EmitDeltaSixteenth(Impl& m, const BlockPlan& plan, int s) {
  const Piece p = SixteenthPiece(m.x, m.y, s);
  const Leaf& leaf = plan.sixteenth[s];
  if (leaf.kind == kLeafSpiral) {
    m.mode_bits.Put(0, 1);
    PutSpiral(m, p, leaf);
    Count(m, kDeltaSixteenthSpiral);
  } else if (leaf.kind == kLeafVector) {
    m.mode_bits.Put(2, 2);
    PutShortCopy(m, leaf);
    Count(m, kDeltaSixteenthVector);
  } else {
    m.mode_bits.Put(3, 2);
    Count(m, kDeltaSixteenthSkip);
  }
  ApplyCopy(m, p, leaf);
}

void EmitDeltaEighth(Impl& m, const BlockPlan& plan, bool wide, int e) {
  const Piece p = EighthPiece(m.x, m.y, wide, e);
  if (plan.eighth_split[e]) {
    m.mode_bits.Put(7, 3);
    Count(m, kDeltaEighthSplit);
    const int q = e >> 1, j = e & 1;
    EmitDeltaSixteenth(m, plan, wide ? 2 * e : 4 * q + j);
    EmitDeltaSixteenth(m, plan, wide ? 2 * e + 1 : 4 * q + j + 2);
    return;
  }
  const Leaf& leaf = plan.eighth[e];
  if (leaf.kind == kLeafSpiral) {
    m.mode_bits.Put(0, 1);
    PutSpiral(m, p, leaf);
    Count(m, kDeltaEighthSpiral);
  } else if (leaf.kind == kLeafVector) {
    m.mode_bits.Put(2, 2);
    PutShortCopy(m, leaf);
    Count(m, kDeltaEighthVector);
  } else {
    m.mode_bits.Put(6, 3);
    Count(m, kDeltaEighthSkip);
  }
  ApplyCopy(m, p, leaf);
}

void EmitDeltaQuarter(Impl& m, const BlockPlan& plan, int q) {
  const Piece p = QuarterPiece(m.x, m.y, q);
  switch (plan.quarter_split[q]) {
    case kQuarterWide:
      m.mode_bits.Put(5, 3);
      Count(m, kDeltaQuarterWide);
      for (int j = 0; j < 2; ++j) EmitDeltaEighth(m, plan, true, 2 * q + j);
      return;
    case kQuarterTall:
      m.mode_bits.Put(6, 3);
      Count(m, kDeltaQuarterTall);
      for (int j = 0; j < 2; ++j) EmitDeltaEighth(m, plan, false, 2 * q + j);
      return;
    case kQuarterSixteenths:
      m.mode_bits.Put(7, 3);
      Count(m, kDeltaQuarterSixteenths);
      for (int s = 4 * q; s < 4 * q + 4; ++s) EmitDeltaSixteenth(m, plan, s);
      return;
    default:
      break;
  }
  const Leaf& leaf = plan.quarter[q];
  if (leaf.kind == kLeafSpiral) {
    m.mode_bits.Put(0, 2);
    PutSpiral(m, p, leaf);
    Count(m, kDeltaQuarterSpiral);
  } else if (leaf.kind == kLeafVector) {
    m.mode_bits.Put(1, 2);
    PutLongCopy(m, Level::kQuarter, leaf);
    Count(m, kDeltaQuarterVector);
  } else {
    m.mode_bits.Put(4, 3);
    Count(m, kDeltaQuarterSkip);
  }
  ApplyCopy(m, p, leaf);
}

void EmitDeltaHalf(Impl& m, const BlockPlan& plan, bool stacked, int k) {
  const Piece p = HalfPiece(m.x, m.y, stacked, k);
  if (plan.half_split[k]) {
    m.mode_bits.Put(2, 2);
    Count(m, kDeltaHalfSplit);
    int q0, q1;
    HalfQuarters(stacked, k, &q0, &q1);
    EmitDeltaQuarter(m, plan, q0);
    EmitDeltaQuarter(m, plan, q1);
    return;
  }
  const Leaf& leaf = plan.half[k];
  if (leaf.kind == kLeafSpiral) {
    m.mode_bits.Put(0, 2);
    PutSpiral(m, p, leaf);
    Count(m, kDeltaHalfSpiral);
  } else if (leaf.kind == kLeafVector) {
    m.mode_bits.Put(1, 2);
    PutLongCopy(m, Level::kHalf, leaf);
    Count(m, kDeltaHalfVector);
  } else {
    m.mode_bits.Put(3, 2);
    Count(m, kDeltaHalfSkip);
  }
  ApplyCopy(m, p, leaf);
}

void EmitDct(Impl& m, const BlockPlan& plan) {
  for (int i = 0; i < plan.nibble_count; ++i) NibbleWriter_Put(m.nibbles, plan.nibbles[i]);
  for (int r = 0; r < 8; ++r)
    std::memcpy(&m.work[static_cast<std::size_t>((m.y + r) * m.width + m.x)],
                plan.dct_pixels + 8 * r, 16);
}

void EmitDeltaBlock(Impl& m, const BlockPlan& plan) {
  const Piece p = WholePiece(m.x, m.y);
  switch (plan.whole_split) {
    case kWholeStacked:
    case kWholeSide: {
      const bool stacked = plan.whole_split == kWholeStacked;
      m.mode_bits.Put(stacked ? 4 : 5, 3);
      Count(m, stacked ? kDeltaSplitStacked : kDeltaSplitSide);
      EmitDeltaHalf(m, plan, stacked, 0);
      EmitDeltaHalf(m, plan, stacked, 1);
      return;
    }
    case kWholeQuarters:
      m.mode_bits.Put(14, 4);
      Count(m, kDeltaSplitQuarters);
      for (int q = 0; q < 4; ++q) EmitDeltaQuarter(m, plan, q);
      return;
    default:
      break;
  }
  const Leaf& leaf = plan.whole;
  switch (leaf.kind) {
    case kLeafSpiral:
      m.mode_bits.Put(0, 2);
      PutSpiral(m, p, leaf);
      Count(m, kDeltaWholeSpiral);
      break;
    case kLeafVector:
      m.mode_bits.Put(2, 3);
      PutLongCopy(m, Level::kWhole, leaf);
      Count(m, kDeltaWholeVector);
      break;
    case kLeafDct:
      m.mode_bits.Put(3, 3);
      Count(m, kDeltaWholeDct);
      EmitDct(m, plan);
      return;
    default:
      m.mode_bits.Put(6, 3);
      Count(m, kDeltaWholeSkip);
      break;
  }
  ApplyCopy(m, p, leaf);
}

void EmitKeySixteenth(Impl& m, const BlockPlan& plan, int s) {
  const Piece p = SixteenthPiece(m.x, m.y, s);
  PutShortCopy(m, plan.sixteenth[s]);
  Count(m, kKeySixteenthVector);
  ApplyCopy(m, p, plan.sixteenth[s]);
}

void EmitKeyEighth(Impl& m, const BlockPlan& plan, bool wide, int e) {
  if (plan.eighth_split[e]) {
    m.mode_bits.Put(1, 1);
    Count(m, kKeyEighthSplit);
    const int q = e >> 1, j = e & 1;
    EmitKeySixteenth(m, plan, wide ? 2 * e : 4 * q + j);
    EmitKeySixteenth(m, plan, wide ? 2 * e + 1 : 4 * q + j + 2);
    return;
  }
  m.mode_bits.Put(0, 1);
  PutShortCopy(m, plan.eighth[e]);
  Count(m, kKeyEighthVector);
  ApplyCopy(m, EighthPiece(m.x, m.y, wide, e), plan.eighth[e]);
}

void EmitKeyQuarter(Impl& m, const BlockPlan& plan, int q) {
  switch (plan.quarter_split[q]) {
    case kQuarterWide:
    case kQuarterTall: {
      const bool wide = plan.quarter_split[q] == kQuarterWide;
      m.mode_bits.Put(wide ? 1 : 2, 2);
      Count(m, wide ? kKeyQuarterWide : kKeyQuarterTall);
      for (int j = 0; j < 2; ++j) EmitKeyEighth(m, plan, wide, 2 * q + j);
      return;
    }
    case kQuarterSixteenths:
      m.mode_bits.Put(3, 2);
      Count(m, kKeyQuarterSixteenths);
      for (int s = 4 * q; s < 4 * q + 4; ++s) EmitKeySixteenth(m, plan, s);
      return;
    default:
      break;
  }
  m.mode_bits.Put(0, 2);
  PutLongCopy(m, Level::kQuarter, plan.quarter[q]);
  Count(m, kKeyQuarterVector);
  ApplyCopy(m, QuarterPiece(m.x, m.y, q), plan.quarter[q]);
}

void EmitKeyBlock(Impl& m, const BlockPlan& plan) {
  switch (plan.whole_split) {
    case kWholeStacked:
    case kWholeSide: {
      const bool stacked = plan.whole_split == kWholeStacked;
      m.mode_bits.Put(stacked ? 0 : 1, 2);
      Count(m, stacked ? kKeySplitStacked : kKeySplitSide);
      for (int k = 0; k < 2; ++k) {
        if (plan.half_split[k]) {
          m.mode_bits.Put(0, 1);
          Count(m, kKeyHalfSplit);
          int q0, q1;
          HalfQuarters(stacked, k, &q0, &q1);
          EmitKeyQuarter(m, plan, q0);
          EmitKeyQuarter(m, plan, q1);
        } else {
          m.mode_bits.Put(1, 1);
          PutLongCopy(m, Level::kHalf, plan.half[k]);
          Count(m, kKeyHalfVector);
          ApplyCopy(m, HalfPiece(m.x, m.y, stacked, k), plan.half[k]);
        }
      }
      return;
    }
    case kWholeQuarters:
      m.mode_bits.Put(2, 2);
      Count(m, kKeySplitQuarters);
      for (int q = 0; q < 4; ++q) EmitKeyQuarter(m, plan, q);
      return;
    default:
      break;
  }
  if (plan.whole.kind == kLeafDct) {
    m.mode_bits.Put(6, 3);
    Count(m, kKeyWholeDct);
    EmitDct(m, plan);
    return;
  }
  m.mode_bits.Put(7, 3);
  PutLongCopy(m, Level::kWhole, plan.whole);
  Count(m, kKeyWholeVector);
  ApplyCopy(m, WholePiece(m.x, m.y), plan.whole);
  m.last_key_dx = plan.whole.sx - m.x;
  m.last_key_dy = plan.whole.sy - m.y;
}

// --- Frames ------------------------------------------------------------------------------

void AssemblePayload(Impl& m, int quality, std::vector<std::uint8_t>* payload) {
  m.mode_bits.Finish();
  std::vector<std::uint8_t> spiral;
  for (std::size_t i = 0; i < m.spiral_indexes.size(); i += 2) {
    const std::uint32_t first = m.spiral_indexes[i];
    const std::uint32_t second = i + 1 < m.spiral_indexes.size() ? m.spiral_indexes[i + 1] : 0;
    const std::uint32_t group = first | (second << 12);
    spiral.push_back(static_cast<std::uint8_t>(group));
    spiral.push_back(static_cast<std::uint8_t>(group >> 8));
    spiral.push_back(static_cast<std::uint8_t>(group >> 16));
  }
  // A reader may take each group as a 32-bit value: one byte of padding after the last.
  spiral.push_back(0);
  const std::size_t mode_offset = kVideoChunkHeaderSize;
  const std::size_t vector_offset = mode_offset + m.mode_bits.bytes.size();
  const std::size_t spiral_offset = vector_offset + m.vector_words.size();
  const std::size_t coef_offset = spiral_offset + spiral.size();
  const std::size_t coef_end = coef_offset + m.nibbles.bytes.size();
  // A reader may expand the nibble bytes eight at a time, up to 7 bytes past the end.
  payload->assign(coef_end + 8, 0);
  std::uint8_t* out = payload->data();
  const std::int32_t frame_word = m.key ? -quality : quality;
  WriteLe32(out, static_cast<std::uint32_t>(frame_word));
  WriteLe32(out + 4, static_cast<std::uint32_t>(mode_offset));
  WriteLe32(out + 8, static_cast<std::uint32_t>(vector_offset));
  WriteLe32(out + 12, static_cast<std::uint32_t>(spiral_offset));
  WriteLe32(out + 16, static_cast<std::uint32_t>(coef_offset));
  WriteLe32(out + 20, static_cast<std::uint32_t>(coef_end));
  auto copy = [&](std::size_t offset, const std::vector<std::uint8_t>& bytes) {
    if (!bytes.empty()) std::memcpy(out + offset, bytes.data(), bytes.size());
  };
  copy(mode_offset, m.mode_bits.bytes);
  copy(vector_offset, m.vector_words);
  copy(spiral_offset, spiral);
  copy(coef_offset, m.nibbles.bytes);
}

void EncodePicture(VideoEncoder& encoder, bool key, std::vector<std::uint8_t>* payload,
                   VideoFrameStats* stats) {
  Impl& m = *encoder.impl;
  m.key = key;
  m.stats = stats;
  m.mode_bits = ModeBitWriter{};
  m.vector_words.clear();
  m.spiral_indexes.clear();
  m.nibbles = NibbleWriter{};
  m.last_key_dx = -8;
  m.last_key_dy = 0;
  m.reference = key ? nullptr : encoder.decoder->Picture().pixels;
  if (!key) {
    m.previous_motion_x = m.motion_x;
    m.previous_motion_y = m.motion_y;
  }
  const int blocks_x = m.width / 8;
  std::fill(m.output_luma.begin(), m.output_luma.end(), 0);
  BlockPlan plan;
  for (int by = 0; by < m.height / 8; ++by) {
    for (int bx = 0; bx < blocks_x; ++bx) {
      m.x = bx * 8;
      m.y = by * 8;
      DecideBlock(m, &plan, bx, by);
      if (key)
        EmitKeyBlock(m, plan);
      else
        EmitDeltaBlock(m, plan);
      if (plan.whole_split == kWholeLeaf && plan.whole.kind == kLeafDct) {
        // Track the typical distortion of a DCT block for the early copy decisions.
        std::int64_t sse = 0;
        for (int r = 0; r < 8; ++r) {
          const std::uint8_t* src = m.source->Pixel(m.x, m.y + r);
          for (int c = 0; c < 8; ++c) {
            const std::uint8_t* rgb = &m.rgb_of[3 * (plan.dct_pixels[8 * r + c] & 0x7FFFu)];
            for (int k = 0; k < 3; ++k)
              sse += (rgb[k] - src[3 * c + k]) * (rgb[k] - src[3 * c + k]);
          }
        }
        const double per_pixel = static_cast<double>(sse) / 64.0;
        m.dct_samples = std::min(m.dct_samples + 1, 256.0);
        m.dct_distortion += (per_pixel - m.dct_distortion) / m.dct_samples;
      }
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
          const std::size_t i = static_cast<std::size_t>((m.y + r) * m.width + m.x + c);
          m.output_luma[i] = m.luma_of[m.work[i] & 0x7FFF];
        }
    }
  }
  AssemblePayload(m, m.quality, payload);
}

// Sets the dequantisation tables and the rate-distortion weight for the settings' quality.
void UseQuality(VideoEncoder& encoder) {
  Impl& m = *encoder.impl;
  m.quality = encoder.settings.quality;
  // Rate-distortion weight from the quantisers of the low frequencies. Above quality 75 those
  // reach their floor of 8 and stop shrinking, so the weight is eased off with the quality
  // instead, down to a twentieth at 100: otherwise the finer high frequencies of the top
  // qualities would all be traded away and quality 100 would look no better than 90.
  std::int32_t luma[64], chroma[64];
  ComputeDequantTables(m.quality, luma, chroma, m.dequant);
  double sum = 0;
  for (int j = 0; j < 10; ++j) sum += luma[kZigzag[j]];
  const double q = sum / 10;
  m.lambda = 0.7 * q * q;
  if (m.quality > 75) m.lambda *= 0.05 + 0.95 * std::sqrt((100.0 - m.quality) / 25.0);
}

}  // namespace

const char* VideoModeName(int mode) {
  static const char* const kNames[kVideoModeCount] = {
      "delta whole spiral",     "delta whole vector",       "delta whole dct",
      "delta whole skip",       "delta split stacked",      "delta split side",
      "delta split quarters",   "delta half spiral",        "delta half vector",
      "delta half split",       "delta half skip",          "delta quarter spiral",
      "delta quarter vector",   "delta quarter skip",       "delta quarter wide",
      "delta quarter tall",     "delta quarter sixteenths", "delta eighth spiral",
      "delta eighth vector",    "delta eighth skip",        "delta eighth split",
      "delta sixteenth spiral", "delta sixteenth vector",   "delta sixteenth skip",
      "key split stacked",      "key split side",           "key split quarters",
      "key whole dct",          "key whole vector",         "key half split",
      "key half vector",        "key quarter vector",       "key quarter wide",
      "key quarter tall",       "key quarter sixteenths",   "key eighth vector",
      "key eighth split",       "key sixteenth vector"};
  return mode >= 0 && mode < kVideoModeCount ? kNames[mode] : "?";
}

bool VideoEncoder_Init(VideoEncoder& encoder, int width, int height,
                       const VideoEncoderSettings& settings) {
  if (width <= 0 || height <= 0 || width % 8 || height % 8 || width > kMaxEncodeWidth ||
      height > kMaxPictureDimension)
    return false;
  encoder = VideoEncoder{};
  encoder.width = width;
  encoder.height = height;
  encoder.settings = settings;
  encoder.settings.quality = std::clamp(settings.quality, 1, 100);
  encoder.settings.effort = std::clamp(settings.effort, 0, 3);
  encoder.decoder = VideoDecoder::Create(height, width, 15);
  if (!encoder.decoder) return false;
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  encoder.impl = std::make_shared<VideoEncoderImpl>();
  Impl& m = *encoder.impl;
  m.width = width;
  m.height = height;
  m.effort = encoder.settings.effort;
  BuildLookups(m);
  m.work.assign(pixels, 0);
  m.output_luma.assign(pixels, 0);
  m.source_luma.assign(pixels, 0);
  const std::size_t blocks = pixels / 64;
  m.motion_x.assign(blocks, 0);
  m.motion_y.assign(blocks, 0);
  UseQuality(encoder);
  return true;
}

bool VideoEncoder_EncodeFrame(VideoEncoder& encoder, const RgbPicture& picture, bool force_key,
                              std::vector<std::uint8_t>* payload, VideoFrameStats* stats) {
  Impl& m = *encoder.impl;
  if (picture.width != encoder.width || picture.height != encoder.height) return false;
  encoder.settings.quality = std::clamp(encoder.settings.quality, 1, 100);
  if (encoder.settings.quality != m.quality) UseQuality(encoder);
  m.source = &picture;
  for (std::size_t i = 0; i < m.source_luma.size(); ++i) {
    const std::uint8_t* p = &picture.rgb[3 * i];
    m.source_luma[i] = static_cast<std::uint8_t>((77 * p[0] + 150 * p[1] + 29 * p[2]) >> 8);
  }
  const int interval = encoder.settings.key_interval;
  bool key = force_key || encoder.frame_index == 0 ||
             (interval > 0 && encoder.frames_since_key >= interval);
  VideoFrameStats local;
  VideoFrameStats* s = stats ? stats : &local;
  *s = VideoFrameStats{};
  if (!key) {
    LumaPlane(m, encoder.decoder->Picture().pixels, &m.reference_luma);
    EncodePicture(encoder, false, payload, s);
    // A scene change: when most blocks needed a DCT anyway, a key frame costs about the same
    // and gives a clean point to start playback from.
    const std::int64_t blocks = static_cast<std::int64_t>(m.width / 8) * (m.height / 8);
    if (s->modes[kDeltaWholeDct] * 10 > blocks * 8) {
      key = true;
      *s = VideoFrameStats{};
    }
  }
  if (key) EncodePicture(encoder, true, payload, s);
  s->key = key;
  s->quality = m.quality;
  s->bytes = payload->size();
  if (encoder.decoder->Decode(payload->data(), payload->size()) != kDecodeOk) return false;
  const std::uint16_t* decoded = encoder.decoder->Picture().pixels;
  std::int64_t mismatched = 0;
  std::uint64_t sse = 0;
  for (std::size_t i = 0; i < m.work.size(); ++i) {
    if (decoded[i] != m.work[i]) ++mismatched;
    const std::uint8_t* rgb = &m.rgb_of[3 * (decoded[i] & 0x7FFFu)];
    for (int k = 0; k < 3; ++k) {
      const int d = rgb[k] - picture.rgb[3 * i + k];
      sse += static_cast<std::uint64_t>(d * d);
    }
  }
  s->mismatched_pixels = mismatched;
  const double mse = static_cast<double>(sse) / (3.0 * static_cast<double>(m.work.size()));
  s->psnr = sse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
  // The decoder's picture is what the next frame predicts from.
  m.work.assign(decoded, decoded + m.work.size());
  ++encoder.frame_index;
  encoder.frames_since_key = key ? 1 : encoder.frames_since_key + 1;
  return mismatched == 0;
}

}  // namespace tarvel
