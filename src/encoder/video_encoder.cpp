#include "encoder/video_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <numeric>

#include "encoder/dct_encoder.h"
#include "encoder/movie_writer.h"
#include "video/block_codes.h"
#include "video/block_ops.h"
#include "video/coefficient_reader.h"
#include "video/colour_convert.h"
#include "video/inverse_dct.h"
#include "video/pixel_expand.h"
#include "video/video_decoder.h"
#include "video/video_tables.h"

namespace tarvel {

namespace {

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

// A piece that is a leaf (its Leaf says which), in the plan's split fields.
constexpr BlockMode kLeafPiece = BlockMode::kCount;

// A leaf of a mode tree: kind kSkip, kSpiral, kVector or kDct, and for a copy its source.
struct Leaf {
  BlockMode kind = BlockMode::kSkip;
  std::uint8_t orientation = 0;
  std::uint8_t from_output = 0;
  std::int16_t sx = 0, sy = 0;  // top-left pixel of the source region
};

struct Choice {
  Leaf leaf;
  double cost = kInfinity;
  bool valid() const { return cost < kInfinity; }
};

// What the block decision chose: for each piece a split (kStacked, kSideBySide, kQuarters at the
// whole block; kSplit for a half or an eighth; kWide, kTall, kSixteenths for a quarter) or
// kLeafPiece with its leaf.
struct BlockPlan {
  BlockMode whole_split = kLeafPiece;
  Leaf whole;
  BlockMode half_split[2] = {kLeafPiece, kLeafPiece};
  Leaf half[2];
  BlockMode quarter_split[4] = {kLeafPiece, kLeafPiece, kLeafPiece, kLeafPiece};
  Leaf quarter[4];
  BlockMode eighth_split[8] = {kLeafPiece, kLeafPiece, kLeafPiece, kLeafPiece,
                               kLeafPiece, kLeafPiece, kLeafPiece, kLeafPiece};
  Leaf eighth[8];
  Leaf sixteenth[16];
  std::uint8_t nibbles[kMaxBlockNibbles];
  int nibble_count = 0;
  std::uint16_t dct_pixels[64];
  std::int64_t dct_sse = 0;  // squared RGB error of dct_pixels against the source
};

// A piece of the current block: its top-left pixel and size.
struct Piece {
  int px, py, w, h;
  PieceSize size;
};

// Piece `index` of `size` in the block at (x, y), numbered as the decoder's piece offsets are.
Piece PieceAt(int x, int y, PieceSize size, int index) {
  const int w = PieceWidth(size), h = PieceHeight(size);
  switch (size) {
    case PieceSize::kWhole:
      return {x, y, w, h, size};
    case PieceSize::kStackedHalf:
      return {x, y + 4 * index, w, h, size};
    case PieceSize::kSideHalf:
      return {x + 4 * index, y, w, h, size};
    case PieceSize::kQuarter:
      return {x + 4 * (index & 1), y + 4 * (index >> 1), w, h, size};
    case PieceSize::kWideEighth:
    case PieceSize::kTallEighth: {
      const int q = index >> 1, j = index & 1;
      const bool wide = size == PieceSize::kWideEighth;
      return {x + 4 * (q & 1) + (wide ? 0 : 2 * j), y + 4 * (q >> 1) + (wide ? 2 * j : 0), w, h,
              size};
    }
    default: {
      const int q = index >> 2, r = (index >> 1) & 1, c = index & 1;
      return {x + 4 * (q & 1) + 2 * c, y + 4 * (q >> 1) + 2 * r, w, h, size};
    }
  }
}

// The pieces a split makes of piece `index` of `size`, in the order the tree visits them.
struct Children {
  PieceSize size;
  int count;
  int index[4];
};
Children ChildrenOf(PieceSize size, int index, BlockMode split) {
  switch (split) {
    case BlockMode::kStacked:
      return {PieceSize::kStackedHalf, 2, {0, 1}};
    case BlockMode::kSideBySide:
      return {PieceSize::kSideHalf, 2, {0, 1}};
    case BlockMode::kQuarters:
      return {PieceSize::kQuarter, 4, {0, 1, 2, 3}};
    case BlockMode::kWide:
      return {PieceSize::kWideEighth, 2, {2 * index, 2 * index + 1}};
    case BlockMode::kTall:
      return {PieceSize::kTallEighth, 2, {2 * index, 2 * index + 1}};
    case BlockMode::kSixteenths:
      return {PieceSize::kSixteenth, 4, {4 * index, 4 * index + 1, 4 * index + 2, 4 * index + 3}};
    default:  // kSplit
      if (size == PieceSize::kStackedHalf)
        return {PieceSize::kQuarter, 2, {2 * index, 2 * index + 1}};
      if (size == PieceSize::kSideHalf) return {PieceSize::kQuarter, 2, {index, index + 2}};
      if (size == PieceSize::kWideEighth)
        return {PieceSize::kSixteenth, 2, {2 * index, 2 * index + 1}};
      {
        const int first = 4 * (index >> 1) + (index & 1);  // a tall eighth: upper, lower
        return {PieceSize::kSixteenth, 2, {first, first + 2}};
      }
  }
}

// Whole blocks, halves and quarters copy by long vector words; eighths and sixteenths by short.
bool TakesLongWord(PieceSize size) {
  return size == PieceSize::kWhole || size == PieceSize::kStackedHalf ||
         size == PieceSize::kSideHalf || size == PieceSize::kQuarter;
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
  double quality_lambda = 1;  // the weight of the frame quality's quantisers
  double lambda = 1;          // the weight the frame being written uses
  double dct_distortion = 0;  // running mean SSE per pixel of DCT blocks, for early decisions
  double dct_samples = 0;
  std::vector<std::int16_t> motion_x, motion_y, previous_motion_x, previous_motion_y;
  // Streams of the frame being written.
  ModeBitWriter mode_bits;
  std::vector<std::uint8_t> vector_words;
  std::vector<std::uint16_t> spiral_indexes;
  NibbleWriter nibbles;
  VideoFrameStats* stats = nullptr;
  int quality = 0;        // asked for (the settings' quality the tables were set up for)
  int table_quality = 0;  // of the tables and weight in use, written in the frame word
  bool key = false;
  int effort = 1;
  int x = 0, y = 0;  // current block origin
  int last_key_dx = -8, last_key_dy = 0;
};

namespace {

// `state` below is always the encoder's working state: its tables, the frame being written and
// the block being decided.
using Impl = VideoEncoderImpl;

// The luma of an 8-bit RGB pixel that the motion search compares, for the source and for
// decoded pictures alike.
std::uint8_t SearchLuma(const std::uint8_t* rgb) {
  return static_cast<std::uint8_t>((77 * rgb[0] + 150 * rgb[1] + 29 * rgb[2]) >> 8);
}

void BuildLookups(Impl& state) {
  std::vector<std::uint16_t> every_pixel(32768);
  std::iota(every_pixel.begin(), every_pixel.end(), std::uint16_t{0});
  state.rgb_of.resize(32768 * 3);
  ExpandPixelsToRgb8(every_pixel.data(), every_pixel.size(), false, state.rgb_of.data());
  state.luma_of.resize(32768);
  for (std::size_t p = 0; p < 32768; ++p) state.luma_of[p] = SearchLuma(&state.rgb_of[3 * p]);
  // Aim for the middle of each 5-bit step. Black and full channels aim a step beyond the end:
  // the decoder clamps there, so the block's rounding error cannot pull them off their end code.
  constexpr float kScale = 248.0f / 255.0f;
  constexpr float kEndPush = 8;
  for (int v = 0; v < 256; ++v)
    state.target_of[static_cast<std::size_t>(v)] = static_cast<float>(v) * kScale + 4.0f;
  state.target_of[0] -= kEndPush;
  state.target_of[255] += kEndPush;
  // The spiral order: rings walked from the outermost (index 4095) inward.
  int index = 4095;
  for (int n = 63; n >= 1; n -= 2) {
    const int h = (n + 1) / 2;
    int dx = h, dy = h;
    const int steps[4][2] = {{-1, 0}, {0, -1}, {1, 0}, {0, 1}};
    for (const auto& s : steps)
      for (int k = 0; k < n; ++k) {
        state.spiral_index[static_cast<std::size_t>((dy + 31) * 64 + dx + 31)] =
            static_cast<std::int16_t>(index--);
        dx += s[0];
        dy += s[1];
      }
  }
}

void LumaPlane(const Impl& state, const std::uint16_t* pixels, std::vector<std::uint8_t>* out) {
  out->resize(pixels ? static_cast<std::size_t>(state.width) * state.height : 0);
  for (std::size_t i = 0; i < out->size(); ++i) (*out)[i] = state.luma_of[pixels[i] & 0x7FFF];
}

// --- Distortion -------------------------------------------------------------------------

// Squared error of a copy against the source, over the RGB channels.
std::int64_t CopySse(const Impl& state, const Piece& p, const std::uint16_t* picture, int sx,
                     int sy, int orientation) {
  const int w = state.width;
  std::int64_t sse = 0;
  for (int r = 0; r < p.h; ++r) {
    const std::uint8_t* src = state.source->Pixel(p.px, p.py + r);
    for (int c = 0; c < p.w; ++c) {
      const SourcePixel at = OrientedSource(orientation, p.w, p.h, r, c);
      const std::uint16_t pixel = picture[(sy + at.row) * w + sx + at.column];
      const std::uint8_t* rgb = &state.rgb_of[3 * (pixel & 0x7FFFu)];
      const int dr = rgb[0] - src[3 * c], dg = rgb[1] - src[3 * c + 1],
                db = rgb[2] - src[3 * c + 2];
      sse += dr * dr + dg * dg + db * db;
    }
  }
  return sse;
}

int CopySad(const Impl& state, const Piece& p, const std::vector<std::uint8_t>& luma, int sx,
            int sy, int orientation) {
  const int w = state.width;
  int sad = 0;
  if (orientation == 0) {
    for (int r = 0; r < p.h; ++r) {
      const std::uint8_t* a = &state.source_luma[static_cast<std::size_t>((p.py + r) * w + p.px)];
      const std::uint8_t* b = &luma[static_cast<std::size_t>((sy + r) * w + sx)];
      for (int c = 0; c < p.w; ++c) sad += std::abs(a[c] - b[c]);
    }
    return sad;
  }
  for (int r = 0; r < p.h; ++r) {
    const std::uint8_t* a = &state.source_luma[static_cast<std::size_t>((p.py + r) * w + p.px)];
    for (int c = 0; c < p.w; ++c) {
      const SourcePixel at = OrientedSource(orientation, p.w, p.h, r, c);
      sad += std::abs(a[c] - luma[static_cast<std::size_t>((sy + at.row) * w + sx + at.column)]);
    }
  }
  return sad;
}

// --- What a leaf can express ---------------------------------------------------------------

bool SourceUsable(const Impl& state, const Piece& p, const Leaf& leaf) {
  const int sw = leaf.orientation < 4 ? p.w : p.h;
  const int sh = leaf.orientation < 4 ? p.h : p.w;
  if (leaf.sx < 0 || leaf.sy < 0 || leaf.sx + sw > state.width || leaf.sy + sh > state.height)
    return false;
  if (!leaf.from_output) return !state.key;
  // The output picture is read only where this frame has already finished whole blocks, so a
  // copy never depends on what the buffer held before and never overlaps its destination.
  return leaf.sy + sh <= state.y || (leaf.sx + sw <= state.x && leaf.sy + sh <= state.y + 8);
}

// Horizontal field of a long vector word that makes the wrapped column equal `sx`.
int LongHorizontal(const Impl& state, int sx) {
  const int h = state.x + 128 - sx;
  if (h >= 0 && h <= 255) return h;
  if (h + state.width <= 255 && h + state.width >= 0) return h + state.width;
  if (h - state.width >= 0 && h - state.width <= 255) return h - state.width;
  return -1;
}

bool LongWord(const Impl& state, PieceSize size, const Leaf& leaf, std::uint16_t* word) {
  const int h = LongHorizontal(state, leaf.sx);
  if (h < 0) return false;
  int v;
  if (!leaf.from_output)
    v = state.y + 64 - leaf.sy;
  else
    v = (size == PieceSize::kWhole ? state.y : state.y + 4) - leaf.sy;
  if (v < 0 || v > 127) return false;
  const unsigned s = state.key ? (leaf.orientation & 1u) : leaf.from_output;
  *word = static_cast<std::uint16_t>(static_cast<unsigned>(v) | (static_cast<unsigned>(h) << 7) |
                                     (s << 15));
  return true;
}

bool ShortWord(const Impl& state, const Leaf& leaf, std::uint16_t* word) {
  const int dx = leaf.sx - state.x, dy = leaf.sy - state.y;
  int n;
  if (!leaf.from_output) {
    if (dx < -32 || dx > 31 || dy < -32 || dy > 31) return false;
    n = (31 - dy) * 64 + (31 - dx);
  } else {
    if (dx < -64 || dx > 63 || dy < -25 || dy > 6) return false;
    n = (6 - dy) * 128 + (63 - dx);
  }
  const unsigned s = state.key ? 0u : leaf.from_output;
  *word =
      static_cast<std::uint16_t>(static_cast<unsigned>(n) | (leaf.orientation << 12u) | (s << 15));
  return true;
}

int SpiralIndex(const Impl& state, const Piece& p, const Leaf& leaf) {
  const int dx = leaf.sx - p.px, dy = leaf.sy - p.py;
  if (dx < -31 || dx > 32 || dy < -31 || dy > 32) return -1;
  return state.spiral_index[static_cast<std::size_t>((dy + 31) * 64 + dx + 31)];
}

// Bits of the mode code that names `mode` for a piece of `size` in the frame being written.
int CodeBits(const Impl& state, PieceSize size, BlockMode mode) {
  return BlockCodesOf(state.key, size).CodeOf(mode).length;
}

// Mode bits (with their words and indexes) a leaf costs, or -1 when it cannot be written.
int LeafBits(const Impl& state, const Piece& p, const Leaf& leaf) {
  if (leaf.kind == BlockMode::kSkip)
    return state.key ? -1 : CodeBits(state, p.size, BlockMode::kSkip);
  if (leaf.kind == BlockMode::kSpiral) {
    if (state.key || leaf.from_output || leaf.orientation != 0 || !SourceUsable(state, p, leaf))
      return -1;
    if (SpiralIndex(state, p, leaf) < 0) return -1;
    return CodeBits(state, p.size, BlockMode::kSpiral) + kSpiralIndexBits;
  }
  if (!SourceUsable(state, p, leaf)) return -1;
  std::uint16_t word;
  const bool long_word = TakesLongWord(p.size);
  if (long_word ? !LongWord(state, p.size, leaf, &word) : !ShortWord(state, leaf, &word)) return -1;
  const int orientation_bits =
      long_word ? (state.key ? kKeyOrientationBits : kDeltaOrientationBits) : 0;
  return CodeBits(state, p.size, BlockMode::kVector) + orientation_bits + kVectorWordBits;
}

double LeafCost(const Impl& state, const Piece& p, const Leaf& leaf) {
  const int bits = LeafBits(state, p, leaf);
  if (bits < 0) return kInfinity;
  const std::uint16_t* picture = leaf.from_output ? state.work.data() : nullptr;
  std::int64_t sse;
  if (leaf.kind == BlockMode::kSkip) {
    sse = CopySse(state, p, state.reference, p.px, p.py, 0);
  } else {
    sse =
        CopySse(state, p, picture ? picture : state.reference, leaf.sx, leaf.sy, leaf.orientation);
  }
  return static_cast<double>(sse) + state.lambda * bits;
}

// --- Search ------------------------------------------------------------------------------

// Tries a copy and keeps it in `best` when it is cheaper.
void Consider(const Impl& state, const Piece& p, const Leaf& leaf, Choice* best) {
  const double cost = LeafCost(state, p, leaf);
  if (cost < best->cost) {
    best->cost = cost;
    best->leaf = leaf;
  }
}

// A copy from (sx, sy): the spiral form when it reaches, else a vector word.
void ConsiderAt(const Impl& state, const Piece& p, int sx, int sy, int orientation,
                bool from_output, Choice* best) {
  Leaf leaf;
  leaf.sx = static_cast<std::int16_t>(sx);
  leaf.sy = static_cast<std::int16_t>(sy);
  leaf.orientation = static_cast<std::uint8_t>(orientation);
  leaf.from_output = from_output ? 1 : 0;
  if (!state.key && !from_output && orientation == 0) {
    leaf.kind = BlockMode::kSpiral;
    if (LeafBits(state, p, leaf) >= 0) {
      Consider(state, p, leaf, best);
      return;
    }
  }
  leaf.kind = BlockMode::kVector;
  Consider(state, p, leaf, best);
}

bool Inside(const Impl& state, const Piece& p, int sx, int sy, int orientation) {
  const int sw = orientation < 4 ? p.w : p.h, sh = orientation < 4 ? p.h : p.w;
  return sx >= 0 && sy >= 0 && sx + sw <= state.width && sy + sh <= state.height;
}

// Best position by luma SAD in a square window, restricted to sources the leaf may use.
void SearchWindow(const Impl& state, const Piece& p, bool from_output, int orientation, int cx,
                  int cy, int radius, Choice* best) {
  const std::vector<std::uint8_t>& luma = from_output ? state.output_luma : state.reference_luma;
  int best_sad = 1 << 30, bx = 0, by = 0;
  Leaf probe;
  probe.from_output = from_output ? 1 : 0;
  probe.orientation = static_cast<std::uint8_t>(orientation);
  for (int sy = cy - radius; sy <= cy + radius; ++sy)
    for (int sx = cx - radius; sx <= cx + radius; ++sx) {
      if (!Inside(state, p, sx, sy, orientation)) continue;
      probe.sx = static_cast<std::int16_t>(sx);
      probe.sy = static_cast<std::int16_t>(sy);
      if (!SourceUsable(state, p, probe)) continue;
      const int sad = CopySad(state, p, luma, sx, sy, orientation);
      if (sad < best_sad) {
        best_sad = sad;
        bx = sx;
        by = sy;
      }
    }
  if (best_sad < (1 << 30)) ConsiderAt(state, p, bx, by, orientation, from_output, best);
}

// Motion vectors (dx, dy) of nearby blocks that the motion search tries first.
struct Predictors {
  int vector[5][2];
  int count = 0;
  void Add(int dx, int dy) {
    for (int i = 0; i < count; ++i)
      if (vector[i][0] == dx && vector[i][1] == dy) return;
    vector[count][0] = dx;
    vector[count][1] = dy;
    ++count;
  }
};

// Motion search in the previous picture (orientation 0): predictors, then a diamond descent.
void SearchReference(const Impl& state, const Piece& p, const Predictors& predictors, bool refine,
                     Choice* best) {
  int best_sad = 1 << 30, bx = p.px, by = p.py;
  auto probe = [&](int sx, int sy) {
    if (!Inside(state, p, sx, sy, 0)) return false;
    if (sx - p.px < -64 || sx - p.px > 64 || sy - p.py < -60 || sy - p.py > 60) return false;
    const int sad = CopySad(state, p, state.reference_luma, sx, sy, 0);
    if (sad < best_sad) {
      best_sad = sad;
      bx = sx;
      by = sy;
      return true;
    }
    return false;
  };
  probe(p.px, p.py);
  for (int i = 0; i < predictors.count; ++i)
    probe(p.px + predictors.vector[i][0], p.py + predictors.vector[i][1]);
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
  if (bx != p.px || by != p.py) ConsiderAt(state, p, bx, by, 0, false, best);
  // The zero vector as a spiral copy, for pieces where a skip is not the cheaper form.
  ConsiderAt(state, p, p.px, p.py, 0, false, best);
}

// Best single copy for a piece (no split).
Choice BestLeaf(const Impl& state, const Piece& p, const Predictors& predictors) {
  Choice best;
  if (!state.key) {
    Leaf skip;
    skip.kind = BlockMode::kSkip;
    Consider(state, p, skip, &best);
    if (best.valid() && best.cost <= state.lambda * 4) return best;  // nothing to gain
    SearchReference(state, p, predictors, state.effort >= 1, &best);
  } else if (state.effort >= 1) {
    // Repeats inside the picture: the block to the left, the one above, the last vector used,
    // and plain copies a little around the first two (flat and striped areas of synthetic
    // pictures: a key frame has no cheaper way to fill a block than a copy).
    ConsiderAt(state, p, p.px - 8, p.py, 0, true, &best);
    ConsiderAt(state, p, p.px, p.py - 8, 0, true, &best);
    ConsiderAt(state, p, p.px + state.last_key_dx, p.py + state.last_key_dy, 0, true, &best);
    if (state.effort == 1) {
      SearchWindow(state, p, true, 0, p.px - 8, p.py, kKeyCopyRadius, &best);
      SearchWindow(state, p, true, 0, p.px, p.py - 8, kKeyCopyRadius, &best);
    }
  }
  if (state.effort >= 2) {
    // Oriented copies and copies out of the picture being built. The thorough setting searches
    // every orientation for every piece; the default for this level keeps to the larger pieces.
    const bool thorough = state.effort >= 3;
    const bool large = TakesLongWord(p.size);
    const int radius = thorough ? 16 : 2;
    const int orientations = (thorough || large) ? kOrientationCount : 1;
    // The plain orientation in the previous picture is the motion search's, except that the
    // thorough setting also walks the whole window (descents get lost in noisy content).
    if (!state.key)
      for (int o = thorough ? 0 : 1; o < orientations; ++o)
        SearchWindow(state, p, false, o, p.px, p.py, radius, &best);
    for (int o = 0; o < orientations; ++o) {
      SearchWindow(state, p, true, o, p.px - 8, p.py, radius, &best);
      SearchWindow(state, p, true, o, p.px, p.py - 8, radius, &best);
    }
  }
  return best;
}

// --- DCT blocks --------------------------------------------------------------------------

double TryDct(const Impl& state, BlockPlan* plan) {
  float samples[3][64];
  for (int r = 0; r < 8; ++r) {
    const std::uint8_t* src = state.source->Pixel(state.x, state.y + r);
    for (int c = 0; c < 8; ++c) {
      const float red = state.target_of[src[3 * c]], green = state.target_of[src[3 * c + 1]],
                  blue = state.target_of[src[3 * c + 2]];
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
  const auto level_lambda = static_cast<float>(state.lambda * kLevelLambdaScale);
  ChooseColourLevels(transformed, state.dequant, level_lambda, levels);
  if (state.effort >= 1)
    RefineColourBlock(transformed, state.dequant, state.source->Pixel(state.x, state.y),
                      static_cast<std::ptrdiff_t>(state.width) * 3, kRefineMargin, level_lambda,
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
  if (!ReadBlockCoefficients(reader, state.dequant, coefficients, masks)) return kInfinity;
  for (int component = 0; component < 3; ++component)
    InverseDct8x8(coefficients[component], static_cast<std::uint16_t>(masks[component]));
  ConvertSamplesToPixels(coefficients[0], coefficients[1], coefficients[2], kPixelFormat555,
                         plan->dct_pixels, 8);
  std::int64_t sse = 0;
  for (int r = 0; r < 8; ++r) {
    const std::uint8_t* src = state.source->Pixel(state.x, state.y + r);
    for (int c = 0; c < 8; ++c) {
      const std::uint8_t* rgb = &state.rgb_of[3 * (plan->dct_pixels[8 * r + c] & 0x7FFFu)];
      const int dr = rgb[0] - src[3 * c], dg = rgb[1] - src[3 * c + 1],
                db = rgb[2] - src[3 * c + 2];
      sse += dr * dr + dg * dg + db * db;
    }
  }
  plan->dct_sse = sse;
  return static_cast<double>(sse) +
         state.lambda * (CodeBits(state, PieceSize::kWhole, BlockMode::kDct) + 4 * count);
}

// --- Split decisions ---------------------------------------------------------------------

// The cost of the mode code that names `mode` for a piece of `size`.
double CodeCost(const Impl& state, PieceSize size, BlockMode mode) {
  return state.lambda * CodeBits(state, size, mode);
}

Choice BestLeafAt(const Impl& state, PieceSize size, int index, const Predictors& predictors) {
  return BestLeaf(state, PieceAt(state.x, state.y, size, index), predictors);
}

double DecideSixteenth(const Impl& state, BlockPlan* plan, int index,
                       const Predictors& predictors) {
  const Choice leaf = BestLeafAt(state, PieceSize::kSixteenth, index, predictors);
  plan->sixteenth[index] = leaf.leaf;
  return leaf.cost;
}

double DecideEighth(const Impl& state, BlockPlan* plan, PieceSize size, int index,
                    const Predictors& predictors) {
  const Choice leaf = BestLeafAt(state, size, index, predictors);
  plan->eighth[index] = leaf.leaf;
  plan->eighth_split[index] = kLeafPiece;
  double best = leaf.cost;
  if (state.effort >= 2) {
    const Children sixteenths = ChildrenOf(size, index, BlockMode::kSplit);
    double split = CodeCost(state, size, BlockMode::kSplit);
    for (int i = 0; i < sixteenths.count; ++i)
      split += DecideSixteenth(state, plan, sixteenths.index[i], predictors);
    if (split < best) {
      best = split;
      plan->eighth_split[index] = BlockMode::kSplit;
    }
  }
  return best;
}

// The cost of quarter `q` split by `split` (kWide, kTall, kSixteenths), its pieces decided into
// `trial`.
double DecideQuarterSplit(const Impl& state, BlockPlan* trial, int q, BlockMode split,
                          const Predictors& predictors) {
  const Children children = ChildrenOf(PieceSize::kQuarter, q, split);
  double cost = CodeCost(state, PieceSize::kQuarter, split);
  for (int i = 0; i < children.count; ++i) {
    const int index = children.index[i];
    if (split != BlockMode::kSixteenths) {
      cost += DecideEighth(state, trial, children.size, index, predictors);
    } else if (state.key) {
      // Key-frame sixteenths of a quarter are short-vector copies with no mode bits.
      const Choice leaf = BestLeafAt(state, PieceSize::kSixteenth, index, predictors);
      trial->sixteenth[index] = leaf.leaf;
      cost += leaf.cost;
    } else {
      cost += DecideSixteenth(state, trial, index, predictors);
    }
  }
  return cost;
}

double DecideQuarter(const Impl& state, BlockPlan* plan, int q, const Predictors& predictors) {
  const Choice leaf = BestLeafAt(state, PieceSize::kQuarter, q, predictors);
  plan->quarter[q] = leaf.leaf;
  plan->quarter_split[q] = kLeafPiece;
  double best = leaf.cost;
  if (state.effort >= 2 && best > state.lambda * 8) {
    for (const BlockMode split : {BlockMode::kWide, BlockMode::kTall, BlockMode::kSixteenths}) {
      BlockPlan trial = *plan;
      const double cost = DecideQuarterSplit(state, &trial, q, split, predictors);
      if (cost < best) {
        best = cost;
        plan->quarter_split[q] = split;
        for (int e = 2 * q; e < 2 * q + 2; ++e) {
          plan->eighth[e] = trial.eighth[e];
          plan->eighth_split[e] = trial.eighth_split[e];
        }
        for (int s = 4 * q; s < 4 * q + 4; ++s) plan->sixteenth[s] = trial.sixteenth[s];
      }
    }
  }
  return best;
}

// The cost of the whole block split by `split` (kStacked or kSideBySide), each half a leaf or
// its two quarters as already decided at `quarter_cost`.
double DecideHalves(const Impl& state, BlockPlan* plan, BlockMode split,
                    const double quarter_cost[4], const Predictors& predictors) {
  const Children halves = ChildrenOf(PieceSize::kWhole, 0, split);
  double total = CodeCost(state, PieceSize::kWhole, split);
  for (int k = 0; k < halves.count; ++k) {
    const Choice leaf = BestLeafAt(state, halves.size, k, predictors);
    const Children quarters = ChildrenOf(halves.size, k, BlockMode::kSplit);
    const double cost_of_split = CodeCost(state, halves.size, BlockMode::kSplit) +
                                 quarter_cost[quarters.index[0]] + quarter_cost[quarters.index[1]];
    if (leaf.cost <= cost_of_split) {
      plan->half[k] = leaf.leaf;
      plan->half_split[k] = kLeafPiece;
      total += leaf.cost;
    } else {
      plan->half_split[k] = BlockMode::kSplit;
      total += cost_of_split;
    }
  }
  return total;
}

void DecideBlock(Impl& state, BlockPlan* plan, int bx, int by) {
  const int blocks_x = state.width / 8;
  const std::size_t b = static_cast<std::size_t>(by * blocks_x + bx);
  Predictors predictors;
  if (!state.key) {
    if (bx > 0) predictors.Add(state.motion_x[b - 1], state.motion_y[b - 1]);
    if (by > 0) predictors.Add(state.motion_x[b - blocks_x], state.motion_y[b - blocks_x]);
    if (by > 0 && bx + 1 < blocks_x)
      predictors.Add(state.motion_x[b - blocks_x + 1], state.motion_y[b - blocks_x + 1]);
    if (!state.previous_motion_x.empty())
      predictors.Add(state.previous_motion_x[b], state.previous_motion_y[b]);
  }
  Choice leaf;
  if (!state.key || state.effort >= 1) leaf = BestLeafAt(state, PieceSize::kWhole, 0, predictors);
  plan->whole_split = kLeafPiece;
  plan->whole = leaf.leaf;
  double best = leaf.cost;
  // A copy that is as good as a typical DCT block here needs nothing more.
  const double early = state.dct_distortion * 64 + state.lambda * 24;
  if (leaf.valid() && leaf.cost <= early && state.effort < 3) {
    // keep the copy
  } else {
    const double dct = TryDct(state, plan);
    if (dct < best) {
      best = dct;
      plan->whole.kind = BlockMode::kDct;
    }
    if (state.effort >= 1) {
      BlockPlan trial = *plan;
      // Quarters also try the whole block's own vector.
      Predictors quarter_predictors = predictors;
      if (leaf.valid() && leaf.leaf.kind != BlockMode::kSkip && !leaf.leaf.from_output)
        quarter_predictors.Add(leaf.leaf.sx - state.x, leaf.leaf.sy - state.y);
      double quarter_cost[4];
      double quarters = CodeCost(state, PieceSize::kWhole, BlockMode::kQuarters);
      for (int q = 0; q < 4; ++q) {
        quarter_cost[q] = DecideQuarter(state, &trial, q, quarter_predictors);
        quarters += quarter_cost[q];
      }
      BlockMode split = kLeafPiece;
      if (quarters < best) {
        best = quarters;
        split = BlockMode::kQuarters;
      }
      BlockPlan halves_plan[2] = {trial, trial};
      if (state.effort >= 2 || state.key) {
        const BlockMode half_splits[2] = {BlockMode::kStacked, BlockMode::kSideBySide};
        for (int i = 0; i < 2; ++i) {
          const double halves = DecideHalves(state, &halves_plan[i], half_splits[i], quarter_cost,
                                             quarter_predictors);
          if (halves < best) {
            best = halves;
            split = half_splits[i];
          }
        }
      }
      if (split == BlockMode::kQuarters) {
        trial.whole_split = BlockMode::kQuarters;
        std::memcpy(trial.nibbles, plan->nibbles, sizeof plan->nibbles);
        *plan = trial;
      } else if (split != kLeafPiece) {
        *plan = halves_plan[split == BlockMode::kStacked ? 0 : 1];
        plan->whole_split = split;
      }
    }
  }
  // Motion kept for the neighbours' predictors.
  std::int16_t mx = 0, my = 0;
  if (plan->whole_split == kLeafPiece && plan->whole.kind != BlockMode::kDct &&
      plan->whole.kind != BlockMode::kSkip && !plan->whole.from_output) {
    mx = static_cast<std::int16_t>(plan->whole.sx - state.x);
    my = static_cast<std::int16_t>(plan->whole.sy - state.y);
  } else if (leaf.valid() && leaf.leaf.kind == BlockMode::kSpiral) {
    mx = static_cast<std::int16_t>(leaf.leaf.sx - state.x);
    my = static_cast<std::int16_t>(leaf.leaf.sy - state.y);
  }
  if (!state.key) {
    state.motion_x[b] = mx;
    state.motion_y[b] = my;
  }
}

// --- Writing a decided block ---------------------------------------------------------------

void Count(Impl& state, PieceSize size, BlockMode mode) {
  if (state.stats) ++state.stats->modes[state.key][static_cast<int>(size)][static_cast<int>(mode)];
}

void ApplyCopy(Impl& state, const Piece& p, const Leaf& leaf) {
  std::uint16_t* destination = &state.work[static_cast<std::size_t>(p.py * state.width + p.px)];
  const std::uint16_t* picture = leaf.from_output ? state.work.data() : state.reference;
  if (leaf.kind == BlockMode::kSkip) {
    OrientedCopyDisjoint(p.size, 0, &picture[static_cast<std::size_t>(p.py * state.width + p.px)],
                         destination, state.width);
    return;
  }
  OrientedCopyDisjoint(p.size, leaf.orientation,
                       &picture[static_cast<std::size_t>(leaf.sy * state.width + leaf.sx)],
                       destination, state.width);
  if (state.stats) {
    if (leaf.from_output) ++state.stats->output_copies;
    if (leaf.orientation) ++state.stats->oriented_copies;
  }
}

void PutWord(Impl& state, std::uint16_t word) {
  state.vector_words.push_back(static_cast<std::uint8_t>(word & 0xFF));
  state.vector_words.push_back(static_cast<std::uint8_t>(word >> 8));
}

// Writes what follows a copy leaf's mode code: its spiral index, or its vector word (after the
// orientation field of a long word).
void PutCopyPayload(Impl& state, const Piece& p, const Leaf& leaf) {
  if (leaf.kind == BlockMode::kSpiral) {
    state.spiral_indexes.push_back(static_cast<std::uint16_t>(SpiralIndex(state, p, leaf)));
    return;
  }
  if (leaf.kind != BlockMode::kVector) return;
  std::uint16_t word = 0;
  if (TakesLongWord(p.size)) {
    LongWord(state, p.size, leaf, &word);
    // A key frame's word carries the orientation's lowest bit in its bit 15.
    if (state.key)
      state.mode_bits.Put(leaf.orientation >> 1, kKeyOrientationBits);
    else
      state.mode_bits.Put(leaf.orientation, kDeltaOrientationBits);
  } else {
    ShortWord(state, leaf, &word);
  }
  PutWord(state, word);
}

void EmitDct(Impl& state, const BlockPlan& plan) {
  for (int i = 0; i < plan.nibble_count; ++i) NibbleWriter_Put(state.nibbles, plan.nibbles[i]);
  for (int r = 0; r < 8; ++r)
    std::memcpy(&state.work[static_cast<std::size_t>((state.y + r) * state.width + state.x)],
                plan.dct_pixels + 8 * r, 16);
}

// The plan's split or leaf for piece `index` of `size`.
BlockMode PlannedMode(const BlockPlan& plan, PieceSize size, int index, const Leaf** leaf) {
  switch (size) {
    case PieceSize::kWhole:
      *leaf = &plan.whole;
      return plan.whole_split;
    case PieceSize::kStackedHalf:
    case PieceSize::kSideHalf:
      *leaf = &plan.half[index];
      return plan.half_split[index];
    case PieceSize::kQuarter:
      *leaf = &plan.quarter[index];
      return plan.quarter_split[index];
    case PieceSize::kWideEighth:
    case PieceSize::kTallEighth:
      *leaf = &plan.eighth[index];
      return plan.eighth_split[index];
    default:
      *leaf = &plan.sixteenth[index];
      return kLeafPiece;
  }
}

// Writes piece `index` of `size` as planned, its mode code taken from the frame kind's table,
// and builds it in the encoder's picture as the decoder will.
void EmitPiece(Impl& state, const BlockPlan& plan, PieceSize size, int index) {
  const Leaf* leaf = nullptr;
  const BlockMode split = PlannedMode(plan, size, index, &leaf);
  const BlockMode mode = split != kLeafPiece ? split : leaf->kind;
  const BlockCode code = BlockCodesOf(state.key, size).CodeOf(mode);
  state.mode_bits.Put(code.bits, code.length);
  Count(state, size, mode);
  if (split != kLeafPiece) {
    const Children children = ChildrenOf(size, index, split);
    for (int i = 0; i < children.count; ++i)
      EmitPiece(state, plan, children.size, children.index[i]);
    return;
  }
  if (mode == BlockMode::kDct) {
    EmitDct(state, plan);
    return;
  }
  const Piece p = PieceAt(state.x, state.y, size, index);
  PutCopyPayload(state, p, *leaf);
  ApplyCopy(state, p, *leaf);
  if (state.key && size == PieceSize::kWhole) {
    state.last_key_dx = leaf->sx - state.x;
    state.last_key_dy = leaf->sy - state.y;
  }
}

// --- Frames ------------------------------------------------------------------------------

void AssemblePayload(Impl& state, int quality, std::vector<std::uint8_t>* payload) {
  state.mode_bits.Finish();
  std::vector<std::uint8_t> spiral;
  for (std::size_t i = 0; i < state.spiral_indexes.size(); i += 2) {
    const std::uint32_t first = state.spiral_indexes[i];
    const std::uint32_t second =
        i + 1 < state.spiral_indexes.size() ? state.spiral_indexes[i + 1] : 0;
    const std::uint32_t group = first | (second << 12);
    spiral.push_back(static_cast<std::uint8_t>(group));
    spiral.push_back(static_cast<std::uint8_t>(group >> 8));
    spiral.push_back(static_cast<std::uint8_t>(group >> 16));
  }
  // A reader may take each group as a 32-bit value: one byte of padding after the last.
  spiral.push_back(0);
  const std::size_t mode_offset = kVideoChunkHeaderSize;
  const std::size_t vector_offset = mode_offset + state.mode_bits.bytes.size();
  const std::size_t spiral_offset = vector_offset + state.vector_words.size();
  const std::size_t coef_offset = spiral_offset + spiral.size();
  const std::size_t coef_end = coef_offset + state.nibbles.bytes.size();
  // A reader may expand the nibble bytes eight at a time, up to 7 bytes past the end.
  payload->assign(coef_end + 8, 0);
  std::uint8_t* out = payload->data();
  const std::int32_t frame_word = state.key ? -quality : quality;
  WriteLe32(out, static_cast<std::uint32_t>(frame_word));
  WriteLe32(out + 4, static_cast<std::uint32_t>(mode_offset));
  WriteLe32(out + 8, static_cast<std::uint32_t>(vector_offset));
  WriteLe32(out + 12, static_cast<std::uint32_t>(spiral_offset));
  WriteLe32(out + 16, static_cast<std::uint32_t>(coef_offset));
  WriteLe32(out + 20, static_cast<std::uint32_t>(coef_end));
  auto copy = [&](std::size_t offset, const std::vector<std::uint8_t>& bytes) {
    if (!bytes.empty()) std::memcpy(out + offset, bytes.data(), bytes.size());
  };
  copy(mode_offset, state.mode_bits.bytes);
  copy(vector_offset, state.vector_words);
  copy(spiral_offset, spiral);
  copy(coef_offset, state.nibbles.bytes);
}

// The rate-distortion weight of a key frame in a movie of key frames only, which no frame copies
// from, as a multiple of the quality's: double up to quality 70, easing back to the usual weight
// at 85. Measured on mandelbrot and testsrc2 key frames at equal sizes: +0.24 dB on average at
// 0.4 to 1.5 bits per pixel, the same above. A key frame that delta frames copy from keeps the
// usual weight (doubled, it cost those movies 0.65 dB).
double UnreferencedKeyLambdaScale(int quality) {
  constexpr double kScale = 2.0;
  if (quality <= 70) return kScale;
  if (quality >= 85) return 1.0;
  return kScale + (1.0 - kScale) * (quality - 70) / 15.0;
}

// False when a stop was requested before the picture was whole.
bool EncodePicture(VideoEncoder& encoder, bool key, std::vector<std::uint8_t>* payload,
                   VideoFrameStats* stats) {
  Impl& state = *encoder.impl;
  state.key = key;
  state.stats = stats;
  const bool referenced = !key || encoder.settings.key_interval != 1;
  state.lambda =
      state.quality_lambda * (referenced ? 1.0 : UnreferencedKeyLambdaScale(state.table_quality));
  state.mode_bits = ModeBitWriter{};
  state.vector_words.clear();
  state.spiral_indexes.clear();
  state.nibbles = NibbleWriter{};
  state.last_key_dx = -8;
  state.last_key_dy = 0;
  state.reference = key ? nullptr : encoder.decoder->Picture().pixels;
  if (!key) {
    state.previous_motion_x = state.motion_x;
    state.previous_motion_y = state.motion_y;
  }
  const int blocks_x = state.width / 8;
  std::fill(state.output_luma.begin(), state.output_luma.end(), 0);
  BlockPlan plan;
  for (int by = 0; by < state.height / 8; ++by) {
    for (int bx = 0; bx < blocks_x; ++bx) {
      if (encoder.settings.stop_requested && encoder.settings.stop_requested()) return false;
      state.x = bx * 8;
      state.y = by * 8;
      DecideBlock(state, &plan, bx, by);
      EmitPiece(state, plan, PieceSize::kWhole, 0);
      if (plan.whole_split == kLeafPiece && plan.whole.kind == BlockMode::kDct) {
        // Track the typical distortion of a DCT block for the early copy decisions.
        const double per_pixel = static_cast<double>(plan.dct_sse) / 64.0;
        state.dct_samples = std::min(state.dct_samples + 1, 256.0);
        state.dct_distortion += (per_pixel - state.dct_distortion) / state.dct_samples;
      }
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
          const std::size_t i = static_cast<std::size_t>((state.y + r) * state.width + state.x + c);
          state.output_luma[i] = state.luma_of[state.work[i] & 0x7FFF];
        }
    }
  }
  AssemblePayload(state, state.table_quality, payload);
  return true;
}

// The lowest quality a movie of key frames only is written at. Every block of a key frame takes
// at least 21 bits (a whole-block copy), and such movies come within 3 to 7 % of that floor at
// quality 5: below it the coarser tables and heavier weight saved only 2 to 5 % more for 3 to
// 5 dB (320x240 demo, testsrc2 and mandelbrot clips; quality 1 gave the demo 14.8 dB where 5
// gave 18.0 at 1.7 % more bytes). Lower qualities give quality 5's movie.
constexpr int kLowestKeyOnlyQuality = 5;

// Sets the dequantisation tables and the rate-distortion weight for the settings' quality.
void UseQuality(VideoEncoder& encoder) {
  Impl& state = *encoder.impl;
  state.quality = encoder.settings.quality;
  state.table_quality = encoder.settings.key_interval == 1
                            ? std::max(state.quality, kLowestKeyOnlyQuality)
                            : state.quality;
  // Rate-distortion weight from the quantisers of the low frequencies. Above quality 75 those
  // reach their floor of 8 and stop shrinking, so the weight is eased off with the quality
  // instead, down to a twentieth at 100: otherwise the finer high frequencies of the top
  // qualities would all be traded away and quality 100 would look no better than 90.
  std::int32_t luma[64], chroma[64];
  ComputeDequantTables(state.table_quality, luma, chroma, state.dequant);
  double sum = 0;
  for (int j = 0; j < 10; ++j) sum += luma[kZigzag[j]];
  const double q = sum / 10;
  state.quality_lambda = 0.7 * q * q;
  if (state.table_quality > 75)
    state.quality_lambda *= 0.05 + 0.95 * std::sqrt((100.0 - state.table_quality) / 25.0);
}

}  // namespace

EncoderSetup VideoEncoder_Init(VideoEncoder& encoder, int width, int height,
                               const VideoEncoderSettings& settings) {
  if (width <= 0 || height <= 0 || width % 8 || height % 8 || width > kMaxEncodeWidth ||
      height > kMaxPictureDimension)
    return EncoderSetup::kBadSize;
  encoder = VideoEncoder{};
  encoder.width = width;
  encoder.height = height;
  encoder.settings = settings;
  encoder.settings.quality = std::clamp(settings.quality, 1, 100);
  encoder.settings.effort = std::clamp(settings.effort, 0, 3);
  try {
    // The decoder takes every size above: without its picture, it is the memory that lacks.
    encoder.decoder = VideoDecoder::Create(height, width, 15);
    if (!encoder.decoder) throw std::bad_alloc();
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    encoder.impl = std::make_shared<VideoEncoderImpl>();
    Impl& state = *encoder.impl;
    state.width = width;
    state.height = height;
    state.effort = encoder.settings.effort;
    BuildLookups(state);
    state.work.assign(pixels, 0);
    state.output_luma.assign(pixels, 0);
    state.source_luma.assign(pixels, 0);
    const std::size_t blocks = pixels / 64;
    state.motion_x.assign(blocks, 0);
    state.motion_y.assign(blocks, 0);
  } catch (const std::bad_alloc&) {
    encoder = VideoEncoder{};
    return EncoderSetup::kNoMemory;
  }
  UseQuality(encoder);
  return EncoderSetup::kReady;
}

std::string EncoderSetupProblem(EncoderSetup setup, int width, int height) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (setup == EncoderSetup::kNoMemory) return "not enough memory to encode " + size + " pictures";
  return "picture size " + size + " cannot be encoded (multiples of 8, at most " +
         std::to_string(kMaxEncodeWidth) + " wide)";
}

bool VideoEncoder_EncodeFrame(VideoEncoder& encoder, const RgbPicture& picture, bool force_key,
                              std::vector<std::uint8_t>* payload, VideoFrameStats* stats) {
  Impl& state = *encoder.impl;
  if (encoder.stopped || picture.width != encoder.width || picture.height != encoder.height)
    return false;
  encoder.settings.quality = std::clamp(encoder.settings.quality, 1, 100);
  if (encoder.settings.quality != state.quality) UseQuality(encoder);
  state.source = &picture;
  for (std::size_t i = 0; i < state.source_luma.size(); ++i)
    state.source_luma[i] = SearchLuma(&picture.rgb[3 * i]);
  const int interval = encoder.settings.key_interval;
  bool key = force_key || encoder.frame_index == 0 ||
             (interval > 0 && encoder.frames_since_key >= interval);
  VideoFrameStats local;
  VideoFrameStats* s = stats ? stats : &local;
  *s = VideoFrameStats{};
  if (!key) {
    LumaPlane(state, encoder.decoder->Picture().pixels, &state.reference_luma);
    if (!EncodePicture(encoder, false, payload, s)) {
      encoder.stopped = true;
      return false;
    }
    // A scene change: when most blocks needed a DCT anyway, a key frame costs about the same
    // and gives a clean point to start playback from. A key interval of 0 asks for the first
    // frame alone, as a movie made to be sought through from it is.
    const std::int64_t blocks = static_cast<std::int64_t>(state.width / 8) * (state.height / 8);
    if (interval != 0 &&
        s->modes[0][static_cast<int>(PieceSize::kWhole)][static_cast<int>(BlockMode::kDct)] * 10 >
            blocks * 8) {
      key = true;
      *s = VideoFrameStats{};
    }
  }
  if (key && !EncodePicture(encoder, true, payload, s)) {
    encoder.stopped = true;
    return false;
  }
  s->key = key;
  s->quality = state.quality;
  s->bytes = payload->size();
  if (encoder.decoder->Decode(payload->data(), payload->size()) != kDecodeOk) return false;
  const std::uint16_t* decoded = encoder.decoder->Picture().pixels;
  std::int64_t mismatched = 0;
  for (std::size_t i = 0; i < state.work.size(); ++i) mismatched += decoded[i] != state.work[i];
  s->mismatched_pixels = mismatched;
  const auto& settings = encoder.settings;
  const int source_width =
      settings.source_width > 0 ? std::min(settings.source_width, encoder.width) : encoder.width;
  const int source_height = settings.source_height > 0
                                ? std::min(settings.source_height, encoder.height)
                                : encoder.height;
  std::uint64_t sse = 0;
  for (int y = 0; y < source_height; ++y)
    for (int x = 0; x < source_width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * encoder.width + x;
      const std::uint8_t* rgb = &state.rgb_of[3 * (decoded[i] & 0x7FFFu)];
      for (int k = 0; k < 3; ++k) {
        const int d = rgb[k] - picture.rgb[3 * i + k];
        sse += static_cast<std::uint64_t>(d * d);
      }
    }
  const double mse = static_cast<double>(sse) / (3.0 * source_width * source_height);
  s->psnr = sse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
  // The decoder's picture is what the next frame predicts from.
  state.work.assign(decoded, decoded + state.work.size());
  ++encoder.frame_index;
  encoder.frames_since_key = key ? 1 : encoder.frames_since_key + 1;
  return mismatched == 0;
}

}  // namespace tarvel
