// The video encoder: picture quality against the source, the decoder reproducing every frame
// whatever its output buffer held before, the saving of delta frames on a still clip, and
// every mode of both mode trees written on content made for it.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "encoder/demo_content.h"
#include "encoder/video_encoder.h"
#include "video/video_decoder.h"

namespace tarvel {
namespace {

// Smooth, camera-like content: soft shapes and gradients with a little grain.
void NaturalPicture(int width, int height, int frame, RgbPicture* out) {
  out->Resize(width, height);
  std::mt19937 random(static_cast<unsigned>(frame) * 7919u + 1);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double u = x / 13.0 + frame * 0.3, v = y / 11.0;
      const double base = 110 + 50 * std::sin(u) * std::cos(v * 0.7) +
                          30 * std::sin((u + v) * 0.4) + 25 * std::sin(x * 0.9) * std::sin(y * 0.7);
      const double grain = static_cast<double>(random() % 13) - 6;
      std::uint8_t* p = out->Pixel(x, y);
      p[0] =
          static_cast<std::uint8_t>(std::clamp(base + 40 * std::sin(v * 0.3) + grain, 0.0, 255.0));
      p[1] = static_cast<std::uint8_t>(std::clamp(base + grain, 0.0, 255.0));
      p[2] =
          static_cast<std::uint8_t>(std::clamp(base - 40 * std::cos(u * 0.2) + grain, 0.0, 255.0));
    }
}

struct Encoded {
  std::vector<std::vector<std::uint8_t>> payloads;
  std::vector<std::vector<std::uint16_t>> pictures;  // the encoder's reference after each frame
  std::vector<VideoFrameStats> stats;
  std::size_t bytes = 0;
  double psnr = 0;
};

Encoded EncodeAll(const std::vector<RgbPicture>& pictures, const VideoEncoderSettings& settings) {
  Encoded result;
  VideoEncoder encoder;
  EXPECT_EQ(VideoEncoder_Init(encoder, pictures[0].width, pictures[0].height, settings),
            EncoderSetup::kReady);
  for (const RgbPicture& picture : pictures) {
    std::vector<std::uint8_t> payload;
    VideoFrameStats stats;
    EXPECT_TRUE(VideoEncoder_EncodeFrame(encoder, picture, false, &payload, &stats));
    EXPECT_EQ(0, stats.mismatched_pixels);
    result.bytes += payload.size();
    result.psnr += stats.psnr / static_cast<double>(pictures.size());
    result.payloads.push_back(payload);
    const PictureView decoded = encoder.decoder->Picture();
    result.pictures.emplace_back(decoded.pixels,
                                 decoded.pixels + static_cast<std::size_t>(decoded.width) *
                                                      static_cast<std::size_t>(decoded.height));
    result.stats.push_back(stats);
  }
  return result;
}

TEST(VideoEncoder, KeyFramesMeetTheQualityFloorAndQualityBuysFidelity) {
  RgbPicture picture;
  NaturalPicture(96, 64, 0, &picture);
  double last_psnr = 0;
  std::size_t last_bytes = 0;
  for (int quality : {50, 75, 90}) {
    VideoEncoderSettings settings;
    settings.quality = quality;
    const Encoded e = EncodeAll({picture}, settings);
    ASSERT_TRUE(e.stats[0].key);
    EXPECT_GT(e.psnr, last_psnr) << quality;
    EXPECT_GT(e.bytes, last_bytes) << quality;
    if (quality == 75) {
      EXPECT_GE(e.psnr, 30.0);
    }
    last_psnr = e.psnr;
    last_bytes = e.bytes;
  }
}

TEST(VideoEncoder, TheDecoderReproducesEveryFrameFromAnyStartingBuffer) {
  // Copies read only what the frame has written, so the decoder's result cannot depend on what
  // its output buffer held before the frame.
  for (int effort : {0, 1, 2}) {
    std::vector<RgbPicture> pictures(8);
    for (int i = 0; i < 8; ++i) RenderDemoPicture(64, 48, i * 2, 25, &pictures[i]);
    VideoEncoderSettings settings;
    settings.effort = effort;
    settings.key_interval = 5;
    const Encoded e = EncodeAll(pictures, settings);
    auto decoder = CreateVideoDecoder(48, 64, 15);
    ASSERT_NE(nullptr, decoder);
    std::vector<std::uint16_t> reference(64 * 48, 0), zeros, ones;
    int keys = 0;
    for (std::size_t i = 0; i < e.payloads.size(); ++i) {
      keys += e.stats[i].key;
      zeros.assign(64 * 48, 0);
      ones.assign(64 * 48, 0x7FFF);
      const auto& p = e.payloads[i];
      ASSERT_EQ(kDecodeOk,
                DecodeVideoChunk(p.data(), p.size(), reference.data(), zeros.data(), *decoder));
      ASSERT_EQ(kDecodeOk,
                DecodeVideoChunk(p.data(), p.size(), reference.data(), ones.data(), *decoder));
      ASSERT_EQ(zeros, ones) << "effort " << effort << " frame " << i;
      ASSERT_EQ(e.pictures[i], zeros) << "effort " << effort << " frame " << i;
      reference = zeros;
    }
    EXPECT_EQ(2, keys);  // frames 0 and 5
  }
}

TEST(VideoEncoder, DeltaFramesMakeAStillClipThreeTimesSmaller) {
  RgbPicture still;
  NaturalPicture(96, 64, 0, &still);
  const std::vector<RgbPicture> clip(10, still);
  VideoEncoderSettings all_key;
  all_key.key_interval = 1;
  const Encoded keys = EncodeAll(clip, all_key);
  const Encoded deltas = EncodeAll(clip, VideoEncoderSettings{});
  EXPECT_GE(static_cast<double>(keys.bytes), 3.0 * static_cast<double>(deltas.bytes));
  EXPECT_LE(keys.psnr - deltas.psnr, 1.0);
  for (std::size_t i = 1; i < clip.size(); ++i) EXPECT_FALSE(deltas.stats[i].key);
}

TEST(VideoEncoder, KeyFramesNoFrameCopiesFromTradeHarderBelowQuality85) {
  // In a movie of key frames only, nothing copies from a key frame, so its bits weigh double up
  // to quality 70 and as usual from 85; the first key frame of any other movie keeps the usual
  // weight.
  RgbPicture picture;
  NaturalPicture(96, 64, 0, &picture);
  for (int quality : {50, 90}) {
    VideoEncoderSettings all_key, usual;
    all_key.key_interval = 1;
    all_key.quality = usual.quality = quality;
    const Encoded alone = EncodeAll({picture}, all_key);
    const Encoded referenced = EncodeAll({picture}, usual);
    if (quality == 90) {
      EXPECT_EQ(referenced.payloads[0], alone.payloads[0]);
    } else {
      EXPECT_LT(alone.bytes, referenced.bytes);
      EXPECT_LE(alone.psnr, referenced.psnr);
    }
  }
}

TEST(VideoEncoder, KeyFramesOnlyLookNoWorseAtALowerQualityThatSavesNothing) {
  // Key frames cannot go below a whole-block copy (21 bits) a block; near that floor a lower
  // quality that saves under a tenth of the bytes must not look worse.
  RgbPicture picture;
  NaturalPicture(96, 64, 0, &picture);
  VideoEncoderSettings settings;
  settings.key_interval = 1;
  settings.quality = 5;
  const Encoded reference = EncodeAll({picture}, settings);
  for (int quality : {1, 3, 4}) {
    settings.quality = quality;
    const Encoded e = EncodeAll({picture}, settings);
    if (static_cast<double>(e.bytes) > 0.9 * static_cast<double>(reference.bytes)) {
      EXPECT_GE(e.psnr, reference.psnr) << quality;
    }
    EXPECT_LE(e.bytes, reference.bytes) << quality;
  }
}

TEST(VideoEncoder, ASceneChangeStartsAKeyFrame) {
  std::vector<RgbPicture> pictures(2);
  NaturalPicture(64, 64, 0, &pictures[0]);
  pictures[1].Resize(64, 64);
  std::mt19937 random(5);
  for (auto& byte : pictures[1].rgb) byte = static_cast<std::uint8_t>(random());
  const Encoded e = EncodeAll(pictures, VideoEncoderSettings{});
  EXPECT_TRUE(e.stats[1].key);
  // A key interval of 0 asks for the first frame as the only key frame.
  VideoEncoderSettings first_only;
  first_only.key_interval = 0;
  EXPECT_FALSE(EncodeAll(pictures, first_only).stats[1].key);
}

TEST(VideoEncoder, RefusesSizesTheDecoderCannotTake) {
  VideoEncoder encoder;
  EXPECT_EQ(VideoEncoder_Init(encoder, 20, 16, {}), EncoderSetup::kBadSize);
  EXPECT_EQ(VideoEncoder_Init(encoder, 0, 16, {}), EncoderSetup::kBadSize);
  EXPECT_EQ(VideoEncoder_Init(encoder, 1032, 8, {}), EncoderSetup::kBadSize);
  EXPECT_EQ(VideoEncoder_Init(encoder, 1024, 8, {}), EncoderSetup::kReady);
  RgbPicture wrong;
  wrong.Resize(16, 8);
  std::vector<std::uint8_t> payload;
  EXPECT_FALSE(VideoEncoder_EncodeFrame(encoder, wrong, false, &payload, nullptr));
}

// --- Content built piece by piece for the mode test ------------------------------------------

// Destination piece (x, y, w x h) takes the source region at (sx, sy) of `from` under an
// orientation, as the decoder's copies do.
void CopyPiece(const RgbPicture& from, int sx, int sy, int orientation, int x, int y, int w, int h,
               RgbPicture* to) {
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      int sr = r, sc = c;
      switch (orientation) {
        case 1:
          sc = w - 1 - c;
          break;
        case 2:
          sr = h - 1 - r;
          break;
        case 3:
          sr = h - 1 - r;
          sc = w - 1 - c;
          break;
        case 4:
          sr = w - 1 - c;
          sc = h - 1 - r;
          break;
        case 5:
          sr = w - 1 - c;
          sc = r;
          break;
        case 6:
          sr = c;
          sc = h - 1 - r;
          break;
        case 7:
          sr = c;
          sc = r;
          break;
        default:
          break;
      }
      const std::uint8_t* s = from.Pixel(sx + sc, sy + sr);
      std::uint8_t* d = to->Pixel(x + c, y + r);
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    }
}

void Texture(int x, int y, int w, int h, unsigned seed, RgbPicture* to) {
  std::mt19937 random(seed);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      std::uint8_t* d = to->Pixel(x + c, y + r);
      for (int k = 0; k < 3; ++k) d[k] = static_cast<std::uint8_t>(random());
    }
}

TEST(VideoEncoder, EveryModeOfBothTreesIsWrittenOnContentMadeForIt) {
  // Key frame, 32x32: the first row of blocks is noise (DCT blocks); the second and third rows
  // are put together from pieces of what lies above them, under orientations, so that copies
  // out of the picture being built are far cheaper than DCT blocks.
  RgbPicture key;
  key.Resize(32, 32);
  Texture(0, 0, 32, 32, 1, &key);
  auto piece = [&](int sx, int sy, int o, int x, int y, int w, int h) {
    CopyPiece(key, sx, sy, o, x, y, w, h, &key);
  };
  piece(8, 0, 3, 0, 8, 8, 8);                                 // whole copy
  piece(0, 0, 1, 8, 8, 8, 4), piece(16, 4, 2, 8, 12, 8, 4);   // stacked halves
  piece(24, 0, 0, 16, 8, 4, 8), piece(0, 4, 5, 20, 8, 4, 8);  // side-by-side halves
  piece(2, 2, 0, 24, 8, 4, 4), piece(10, 1, 6, 28, 8, 4, 4);  // quarters
  piece(18, 3, 7, 24, 12, 4, 4), piece(27, 4, 1, 28, 12, 4, 4);
  piece(3, 1, 0, 0, 16, 8, 4);                                  // a half, then a half
  piece(5, 2, 0, 0, 20, 4, 4), piece(12, 5, 3, 4, 20, 4, 4);    // split in quarters
  piece(1, 1, 0, 8, 16, 4, 2), piece(20, 5, 1, 8, 18, 4, 2);    // wide eighths
  piece(9, 2, 0, 12, 16, 2, 4), piece(25, 1, 2, 14, 16, 2, 4);  // tall eighths
  piece(3, 3, 0, 8, 20, 2, 2), piece(17, 0, 0, 10, 20, 2, 2);   // sixteenths
  piece(20, 6, 3, 8, 22, 2, 2), piece(6, 5, 0, 10, 22, 2, 2);
  piece(2, 6, 0, 12, 20, 2, 2), piece(11, 3, 0, 14, 20, 2, 2);  // an eighth split in two
  piece(19, 1, 0, 12, 22, 4, 2);                                // and an eighth whole

  // Delta frame: the key frame with pieces moved, turned and taken from the new picture.
  RgbPicture delta = key;
  auto moved = [&](int sx, int sy, int o, int x, int y, int w, int h) {
    CopyPiece(key, sx, sy, o, x, y, w, h, &delta);
  };
  moved(2, 1, 0, 0, 0, 8, 8);                       // whole spiral
  moved(16, 0, 1, 8, 0, 8, 8);                      // whole vector
  Texture(16, 0, 8, 8, 2, &delta);                  // a DCT block
  moved(23, 4, 0, 24, 4, 8, 4);                     // stacked: skip + spiral
  moved(8, 8, 2, 0, 8, 4, 8);                       // side: vector + split
  moved(5, 13, 0, 4, 12, 4, 4);                     //   quarter skip + spiral
  moved(20, 20, 3, 8, 8, 4, 4);                     // quarters: vector
  moved(13, 11, 0, 12, 10, 4, 2);                   //   wide: skip + spiral
  moved(1, 1, 4, 8, 12, 2, 4);                      //   tall: vector + split
  moved(11, 15, 0, 10, 14, 2, 2);                   //     skip + spiral
  moved(0, 0, 5, 12, 12, 2, 2);                     //   sixteenths: vector,
  moved(12, 15, 0, 12, 14, 2, 2);                   //     skip, spiral, ...
  CopyPiece(delta, 16, 0, 0, 16, 8, 8, 8, &delta);  // from the new picture

  VideoEncoderSettings settings;
  settings.effort = 3;
  settings.quality = 90;
  const Encoded e = EncodeAll({key, delta}, settings);
  ASSERT_TRUE(e.stats[0].key);
  ASSERT_FALSE(e.stats[1].key);
  // Every mode each table names (the two halves share one, the two eighths too), but the code
  // that names nothing; a key frame's sixteenths have no code and are all vector copies.
  for (const bool key_frame : {false, true}) {
    const VideoFrameStats& s = e.stats[key_frame ? 0 : 1];
    auto written = [&](std::initializer_list<PieceSize> sizes, BlockMode mode) {
      std::int64_t count = 0;
      for (const PieceSize size : sizes)
        count += s.modes[key_frame][static_cast<int>(size)][static_cast<int>(mode)];
      return count;
    };
    const std::initializer_list<PieceSize> levels[] = {
        {PieceSize::kWhole},
        {PieceSize::kStackedHalf, PieceSize::kSideHalf},
        {PieceSize::kQuarter},
        {PieceSize::kWideEighth, PieceSize::kTallEighth},
        {PieceSize::kSixteenth}};
    for (const auto& sizes : levels) {
      const BlockCodeTable& table = BlockCodesOf(key_frame, *sizes.begin());
      for (int m = 0; m < kBlockModeCount; ++m) {
        const auto mode = static_cast<BlockMode>(m);
        const bool named =
            table.CodeOf(mode).length > 0 ||
            (key_frame && *sizes.begin() == PieceSize::kSixteenth && mode == BlockMode::kVector);
        if (!named || mode == BlockMode::kNoMode) continue;
        EXPECT_GT(written(sizes, mode), 0) << (key_frame ? "key" : "delta") << " size "
                                           << static_cast<int>(*sizes.begin()) << " mode " << m;
      }
    }
  }
  for (const VideoFrameStats& s : e.stats) {
    EXPECT_GT(s.oriented_copies, 0);
    EXPECT_GT(s.output_copies, 0);
  }
}

}  // namespace
}  // namespace tarvel
