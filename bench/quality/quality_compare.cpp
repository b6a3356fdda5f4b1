// tarvel_quality: RGB PSNR of a decoded clip against its source, both turned into RGB by the
// encoder's own y4m reader, so that a KQM6 movie and a clip from another encoder are measured
// through the same conversion.
//
//   tarvel_quality SOURCE.y4m MOVIE.kqm       our movie, decoded as the player decodes it
//   tarvel_quality SOURCE.y4m DECODED.y4m     another encoder's output, decoded to y4m
//   tarvel_quality SOURCE.y4m --self          the source rounded to the nearest picture the
//                                             decoder can show (its 5-bit channels)
//   --round5  rounds DECODED.y4m to the decoder's 5-bit channels before measuring
//   tarvel_quality --code MOVIE.kqm           where the bits of a movie's key frames go, and
//                                             what the same levels would take under a JPEG-style
//                                             entropy code (DC differences and run/size symbols,
//                                             Huffman codes fitted to each frame)
//   tarvel_quality --ideal SOURCE.y4m QUALITY an exact floating-point 4:4:4 DCT codec (BT.601
//                                             colours, orthonormal transform, rounding to the
//                                             nearest level) with the same quantisers as a movie
//                                             of that quality: frames, PSNR, bits per pixel of
//                                             its levels under the JPEG-style code above, and
//                                             PSNR of its pictures rounded to 5-bit channels
//
// Prints one line: the frames compared and their mean per-frame PSNR in dB.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "encoder/media_input.h"
#include "encoder/rgb_picture.h"
#include "video/coefficient_reader.h"
#include "video/video_decoder.h"
#include "video/video_tables.h"

namespace {

using namespace tarvel;

// The 8-bit value the decoder shows for each 5-bit field, and for each 8-bit value the nearest
// one it can show. Green never reaches field 31 (the colour conversion stops it at 30).
struct ShownLevels {
  std::uint8_t red_blue[256];
  std::uint8_t green[256];
};

ShownLevels MakeShownLevels() {
  ShownLevels levels{};
  for (int v = 0; v < 256; ++v) {
    int best_rb = 0, best_g = 0;
    for (int field = 0; field < 32; ++field) {
      const int shown = (field << 3) | (field >> 2);
      if (std::abs(shown - v) < std::abs(best_rb - v)) best_rb = shown;
      if (field <= 30 && std::abs(shown - v) < std::abs(best_g - v)) best_g = shown;
    }
    levels.red_blue[v] = static_cast<std::uint8_t>(best_rb);
    levels.green[v] = static_cast<std::uint8_t>(best_g);
  }
  return levels;
}

void RoundToShown(RgbPicture* picture) {
  static const ShownLevels levels = MakeShownLevels();
  for (std::size_t i = 0; i < picture->rgb.size(); i += 3) {
    picture->rgb[i] = levels.red_blue[picture->rgb[i]];
    picture->rgb[i + 1] = levels.green[picture->rgb[i + 1]];
    picture->rgb[i + 2] = levels.red_blue[picture->rgb[i + 2]];
  }
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "tarvel_quality: %s\n", what.c_str());
  return 1;
}

// Length in bits of each symbol of a Huffman code fitted to the counts (the 16-bit limit of
// JPEG's tables is not applied; it changes the totals by well under a percent).
std::map<int, int> HuffmanLengths(const std::map<int, long long>& counts) {
  std::map<int, int> lengths;
  if (counts.size() == 1) lengths[counts.begin()->first] = 1;
  if (counts.size() <= 1) return lengths;
  struct Node {
    long long weight;
    std::vector<int> symbols;
    bool operator>(const Node& o) const { return weight > o.weight; }
  };
  std::priority_queue<Node, std::vector<Node>, std::greater<Node>> queue;
  for (const auto& [symbol, count] : counts) queue.push({count, {symbol}});
  while (queue.size() > 1) {
    Node a = queue.top();
    queue.pop();
    Node b = queue.top();
    queue.pop();
    for (int s : a.symbols) ++lengths[s];
    for (int s : b.symbols) ++lengths[s];
    a.symbols.insert(a.symbols.end(), b.symbols.begin(), b.symbols.end());
    queue.push({a.weight + b.weight, std::move(a.symbols)});
  }
  return lengths;
}

int SizeCategory(int value) {
  int magnitude = std::abs(value), size = 0;
  while (magnitude) {
    ++size;
    magnitude >>= 1;
  }
  return size;
}

// Symbols and extra bits of one frame under the JPEG-style code: per component class (luma,
// chroma) a DC table and an AC table.
struct JpegStyleCount {
  std::map<int, long long> dc[2], ac[2];
  long long extra_bits = 0;
  // One component block: `level(j)` is the level at zigzag position j; `table` 0 for luma, 1
  // for chroma; `previous_dc` the component's last DC level, which it updates.
  template <typename LevelAt>
  void AddBlock(int table, LevelAt level, int* previous_dc) {
    const int difference = level(0) - *previous_dc;
    *previous_dc = level(0);
    ++dc[table][SizeCategory(difference)];
    extra_bits += SizeCategory(difference);
    int run = 0;
    for (int j = 1; j < 64; ++j) {
      if (level(j) == 0) {
        ++run;
        continue;
      }
      for (; run > 15; run -= 16) ++ac[table][0xF0];
      ++ac[table][run << 4 | SizeCategory(level(j))];
      extra_bits += SizeCategory(level(j));
      run = 0;
    }
    if (run > 0) ++ac[table][0x00];
  }
  long long Bits() const {
    long long bits = extra_bits;
    for (int t = 0; t < 2; ++t)
      for (const auto* table : {&dc[t], &ac[t]}) {
        const auto lengths = HuffmanLengths(*table);
        for (const auto& [symbol, count] : *table) bits += count * lengths.at(symbol);
      }
    return bits;
  }
};

int CodeReport(const std::string& path) {
  MovieReader reader;
  std::string error;
  if (!MovieReader_Open(reader, path, &error)) return Fail(path + ": " + error);
  auto decoder = CreateVideoDecoder(reader.header.height, reader.header.width, 15);
  if (!decoder) return Fail(path + ": picture size cannot be decoded");
  std::vector<std::uint8_t> chunks;
  long long frames = 0, blocks = 0, other_bits = 0, dc_bits = 0, ac_bits = 0, jpeg_bits = 0;
  while (MovieReader_Next(reader, chunks) == FrameRead::kOk) {
    std::int32_t length = 0;
    const std::uint8_t* payload =
        Frame_FindChunk({chunks.data(), static_cast<std::uint32_t>(chunks.size())}, "IX", &length);
    if (!payload || length < 24) return Fail(path + ": a frame has no picture");
    auto word = [&](int offset) {
      return static_cast<std::int32_t>(payload[offset] | payload[offset + 1] << 8 |
                                       payload[offset + 2] << 16 |
                                       static_cast<std::uint32_t>(payload[offset + 3]) << 24);
    };
    const std::int32_t frame_word = word(0);
    if (frame_word >= 0) continue;  // key frames only: their nibbles are all DCT blocks
    BuildDequantTables(*decoder, -frame_word);
    const auto coef_start = static_cast<std::size_t>(word(16));
    const auto coef_end = static_cast<std::size_t>(word(20));
    NibbleReader nibbles{payload + coef_start, 0, 2 * (coef_end - coef_start)};
    JpegStyleCount count;
    int previous_dc[3] = {};
    alignas(64) std::int32_t coefficients[3][64];
    std::uint32_t masks[3];
    while (nibbles.end - nibbles.position >= 6) {
      const std::size_t before = nibbles.position;
      if (!ReadBlockCoefficients(nibbles, decoder->dequant, coefficients, masks)) break;
      ++blocks;
      dc_bits += 24;
      ac_bits += 4 * static_cast<long long>(nibbles.position - before) - 24;
      for (int c = 0; c < 3; ++c)
        count.AddBlock(
            c == 0 ? 0 : 1,
            [&](int j) { return coefficients[c][kZigzag[j]] / decoder->dequant[c][j]; },
            &previous_dc[c]);
    }
    jpeg_bits += count.Bits();
    other_bits += 8LL * (length - static_cast<long long>(coef_end - coef_start));
    ++frames;
  }
  if (frames == 0) return Fail(path + ": no key frames");
  const double pixels = static_cast<double>(frames) * reader.header.width * reader.header.height;
  const auto bpp = [&](long long bits) { return static_cast<double>(bits) / pixels; };
  std::printf(
      "%lld key frames, %lld DCT blocks: modes+vectors+header %.3f bpp, DC %.3f bpp, AC+end "
      "%.3f bpp; same levels under a JPEG-style code %.3f bpp (%.0f%% of ours)\n",
      frames, blocks, bpp(other_bits), bpp(dc_bits), bpp(ac_bits), bpp(jpeg_bits),
      100.0 * static_cast<double>(jpeg_bits) / static_cast<double>(dc_bits + ac_bits));
  return 0;
}

// The exact transform: orthonormal DCT-II basis, basis[u][x].
struct DctBasis {
  double c[8][8];
  DctBasis() {
    for (int u = 0; u < 8; ++u)
      for (int x = 0; x < 8; ++x)
        c[u][x] = (u == 0 ? std::sqrt(0.125) : 0.5) * std::cos((2 * x + 1) * u * M_PI / 16);
  }
};

// The anchor's quantisers: one matrix for all three components (the MPEG-1 intra matrix
// times qscale / 8, DC 8), as its stream headers show.
void AnchorQuantisers(int qscale, std::int32_t q[64]) {
  static const int kIntra[64] = {8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37,
                                 19, 22, 26, 27, 29, 34, 34, 38, 22, 22, 26, 27, 29, 34, 37, 40,
                                 22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32, 35, 40, 48, 58,
                                 26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};
  for (int k = 0; k < 64; ++k) q[k] = k == 0 ? 8 : std::max(1, kIntra[k] * qscale / 8);
}

// `quality` > 0: the quantisers of a movie of that quality; < 0: the anchor's at qscale -quality.
int IdealReport(const std::string& source_path, int quality) {
  Y4mReader source;
  std::string error;
  if (!Y4mReader_Open(source, source_path, &error)) return Fail(source_path + ": " + error);
  std::int32_t luma_q[64], chroma_q[64];
  if (quality > 0) {
    ComputeQuantisers(quality, luma_q, chroma_q);
  } else {
    AnchorQuantisers(-quality, luma_q);
    std::copy(luma_q, luma_q + 64, chroma_q);
  }
  static const DctBasis basis;
  RgbPicture a, b;
  double psnr_sum = 0, psnr5_sum = 0;
  long long frames = 0, bits = 0;
  while (Y4mReader_Next(source, &a, &error) > 0) {
    b = a;
    JpegStyleCount count;
    int previous_dc[3] = {};
    for (int by = 0; by + 8 <= a.height; by += 8)
      for (int bx = 0; bx + 8 <= a.width; bx += 8) {
        double planes[3][64];
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) {
            const std::uint8_t* p = a.Pixel(bx + x, by + y);
            const double r = p[0], g = p[1], bl = p[2];
            planes[0][8 * y + x] = 0.299 * r + 0.587 * g + 0.114 * bl - 128;
            planes[1][8 * y + x] = -0.168736 * r - 0.331264 * g + 0.5 * bl;
            planes[2][8 * y + x] = 0.5 * r - 0.418688 * g - 0.081312 * bl;
          }
        for (int c = 0; c < 3; ++c) {
          const std::int32_t* q = c == 0 ? luma_q : chroma_q;
          int levels[64];
          double restored[64] = {};
          for (int v = 0; v < 8; ++v)
            for (int u = 0; u < 8; ++u) {
              double sum = 0;
              for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                  sum += basis.c[v][y] * basis.c[u][x] * planes[c][8 * y + x];
              const int k = 8 * v + u;
              levels[k] = static_cast<int>(std::lround(sum / q[k]));
            }
          for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
              double sum = 0;
              for (int v = 0; v < 8; ++v)
                for (int u = 0; u < 8; ++u)
                  sum += basis.c[v][y] * basis.c[u][x] * levels[8 * v + u] * q[8 * v + u];
              restored[8 * y + x] = sum;
            }
          std::copy(restored, restored + 64, planes[c]);
          count.AddBlock(
              c == 0 ? 0 : 1, [&](int j) { return levels[kZigzag[j]]; }, &previous_dc[c]);
        }
        for (int i = 0; i < 64; ++i) {
          const double y = planes[0][i] + 128, cb = planes[1][i], cr = planes[2][i];
          const double rgb[3] = {y + 1.402 * cr, y - 0.344136 * cb - 0.714136 * cr, y + 1.772 * cb};
          std::uint8_t* d = b.Pixel(bx + i % 8, by + i / 8);
          for (int k = 0; k < 3; ++k)
            d[k] = static_cast<std::uint8_t>(std::clamp(std::lround(rgb[k]), 0L, 255L));
        }
      }
    bits += count.Bits();
    psnr_sum += PicturePsnr(a, b);
    RoundToShown(&b);
    psnr5_sum += PicturePsnr(a, b);
    ++frames;
  }
  if (frames == 0) return Fail("no pictures");
  std::printf("%lld %.2f %.3f %.2f\n", frames, psnr_sum / static_cast<double>(frames),
              static_cast<double>(bits) / (static_cast<double>(frames) * a.width * a.height),
              psnr5_sum / static_cast<double>(frames));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool round5 = false;
  std::erase_if(args, [&](const std::string& a) { return a == "--round5" && (round5 = true); });
  if (args.size() == 2 && args[0] == "--code") return CodeReport(args[1]);
  if (args.size() == 3 && args[0] == "--ideal")
    return IdealReport(args[1], std::atoi(args[2].c_str()));
  if (args.size() != 2) {
    std::fprintf(stderr,
                 "usage: tarvel_quality SOURCE.y4m (MOVIE.kqm | DECODED.y4m | --self) "
                 "[--round5]\n");
    return 2;
  }
  const std::string& source_path = args[0];
  const std::string& other_path = args[1];
  const bool self = other_path == "--self";
  const bool movie = EndsWith(other_path, ".kqm");

  Y4mReader source, other;
  std::string error;
  if (!Y4mReader_Open(source, source_path, &error)) return Fail(source_path + ": " + error);
  MovieReader reader;
  std::unique_ptr<DecoderState> decoder;
  std::vector<std::uint16_t> reference, output;
  std::vector<std::uint8_t> chunks;
  if (movie) {
    if (!MovieReader_Open(reader, other_path, &error)) return Fail(other_path + ": " + error);
    if (reader.header.width != source.width || reader.header.height != source.height)
      return Fail(other_path + ": picture size differs from the source's");
    decoder = CreateVideoDecoder(reader.header.height, reader.header.width, 15);
    if (!decoder) return Fail(other_path + ": picture size cannot be decoded");
    const std::size_t pixels = std::size_t{reader.header.width} * reader.header.height;
    reference.assign(pixels, 0);
    output.assign(pixels, 0);
  } else if (!self && !Y4mReader_Open(other, other_path, &error)) {
    return Fail(other_path + ": " + error);
  }

  RgbPicture a, b;
  double psnr_sum = 0;
  long long frames = 0;
  for (;;) {
    const int got = Y4mReader_Next(source, &a, &error);
    if (got < 0) return Fail(source_path + ": " + error);
    if (got == 0) break;
    if (self) {
      b = a;
      RoundToShown(&b);
    } else if (movie) {
      if (MovieReader_Next(reader, chunks) != FrameRead::kOk) break;
      std::int32_t length = 0;
      const std::uint8_t* payload = Frame_FindChunk(
          {chunks.data(), static_cast<std::uint32_t>(chunks.size())}, "IX", &length);
      if (!payload) return Fail(other_path + ": a frame has no picture");
      if (DecodeVideoChunk(payload, static_cast<std::size_t>(length), reference.data(),
                           output.data(), *decoder) != kDecodeOk)
        return Fail(other_path + ": corrupt picture");
      reference = output;
      PixelsToRgbPicture(output.data(), a.width, a.height, false, &b);
    } else {
      const int other_got = Y4mReader_Next(other, &b, &error);
      if (other_got < 0) return Fail(other_path + ": " + error);
      if (other_got == 0) break;
      if (b.width != a.width || b.height != a.height)
        return Fail(other_path + ": picture size differs from the source's");
      if (round5) RoundToShown(&b);
    }
    psnr_sum += PicturePsnr(a, b);
    ++frames;
  }
  if (frames == 0) return Fail("no pictures to compare");
  std::printf("%lld %.2f\n", frames, psnr_sum / static_cast<double>(frames));
  return 0;
}
