// The video encoder: turns RGB pictures into "IX" chunk payloads. Key frames are built from
// DCT-coded blocks (and, with more effort, copies of blocks already written in the same
// picture); delta frames choose per block and piece among skip, spiral and vector copies from
// the previous picture or the picture being built, splits and DCT blocks, by motion search and
// a rate-distortion cost. Every frame is decoded again with the project's decoder, and that
// picture is what the next frame predicts from, so encoder and decoder cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "encoder/rgb_picture.h"
#include "video/block_codes.h"
#include "video/video_decoder.h"

namespace tarvel {

struct VideoEncoderSettings {
  int quality = 75;       // 1..100, the frame word (at least 5 with key_interval 1); may change
  int key_interval = 60;  // a key frame at least this often (frames); 0 = only the first
  int effort = 1;         // 0 fastest .. 3 exhaustive search
  // The part of the picture, from its top-left corner, that the source filled and that the PSNR
  // measures (0: all of it): the padding of a picture to whole blocks is no part of the source.
  int source_width = 0;
  int source_height = 0;
  // Asked before each block (null: never): true ends the frame there, unwritten. At effort 3 a
  // large picture takes minutes, which a person who asked to stop does not wait for.
  bool (*stop_requested)() = nullptr;
};

struct VideoFrameStats {
  bool key = false;
  int quality = 0;
  std::size_t bytes = 0;
  double psnr = 0;  // reconstruction against the source (its part of the picture), RGB
  // Copies that read the output picture, and copies under an orientation other than 0.
  std::int64_t output_copies = 0;
  std::int64_t oriented_copies = 0;
  // Every leaf and split written, by frame kind (0 delta, 1 key), piece size and mode.
  std::int64_t modes[2][kPieceSizeCount][kBlockModeCount] = {};
  // Pixels where the encoder's own reconstruction differs from the decoder's (always 0).
  std::int64_t mismatched_pixels = 0;
};

struct VideoEncoderImpl;

struct VideoEncoder {
  int width = 0;
  int height = 0;
  VideoEncoderSettings settings;
  std::int64_t frame_index = 0;
  std::int64_t frames_since_key = 0;
  // The last frame was ended by settings.stop_requested; the encoder is then mid-frame and
  // writes nothing more.
  bool stopped = false;
  // Decodes every encoded frame; its picture (5-5-5) is what the next frame predicts from.
  std::unique_ptr<VideoDecoder> decoder;
  std::shared_ptr<VideoEncoderImpl> impl;
};

// What VideoEncoder_Init made of a picture size.
enum class EncoderSetup {
  kReady,
  kBadSize,   // not a positive multiple of 8 no wider than 1,024 pixels
  kNoMemory,  // its pictures and tables do not fit in the memory left
};
EncoderSetup VideoEncoder_Init(VideoEncoder& encoder, int width, int height,
                               const VideoEncoderSettings& settings);
// Why the set-up failed, for the user: the size's problem or the memory's.
std::string EncoderSetupProblem(EncoderSetup setup, int width, int height);

// Encodes one picture (width x height) into `payload`. `force_key` makes it a key frame.
// Fills `stats` when given. Returns false when a stop was requested (`stopped` set) and otherwise
// only on an internal failure (the decoder refusing the chunk), which is a defect.
bool VideoEncoder_EncodeFrame(VideoEncoder& encoder, const RgbPicture& picture, bool force_key,
                              std::vector<std::uint8_t>* payload, VideoFrameStats* stats);

// Widest picture the encoder writes: the decoder's column wrap covers widths up to this.
inline constexpr int kMaxEncodeWidth = 1024;

}  // namespace tarvel
