// The video decoder: one "IX" chunk payload into one 16-bit RGB picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "video/decoder_state.h"

namespace tarvel {

// Results of DecodeVideoChunk.
inline constexpr int kDecodeOk = 0;  // frame decoded
inline constexpr int kDecodeCorrupt =
    1;  // stream ran out / pointed outside: decoding stopped early

// Size of the chunk header: frame word and five stream offsets.
inline constexpr size_t kVideoChunkHeaderSize = 24;
// Widest and tallest picture a decoder is made for (the container stores 16-bit sizes).
inline constexpr int kMaxPictureDimension = 65535;

// Creates a decoder for height x width pictures. depth 16 gives 5-6-5 pixels, any other depth
// (15) gives 5-5-5. Returns nullptr when width or height is not a positive multiple of 8 (or
// exceeds kMaxPictureDimension), or when the allocation fails.
std::unique_ptr<DecoderState> CreateVideoDecoder(int height, int width, int depth);

// Decodes one chunk payload of `length` bytes. `reference` (the previous picture, read only,
// may be null for a key frame) and `output` hold width * height pixels each and must not
// overlap. The output picture is not cleared first: pieces a frame does not write keep their
// previous content. A copy whose source region overlaps its own destination in the output
// picture is made in raster order, each pixel read just before it is written (OrientedCopy).
//
// Returns kDecodeOk, or kDecodeCorrupt at the first point where the chunk would make the
// decoder read outside the payload or a picture (streams that run out, offsets outside the
// payload, malformed coefficient codes, the unused whole-block code, source pieces outside the
// picture). Decoding stops there; what was written so far stays.
int DecodeVideoChunk(const uint8_t* payload, size_t length, const uint16_t* reference,
                     uint16_t* output, DecoderState& state);

// The two frame paths, run by DecodeVideoChunk once the readers and tables are set up for a
// frame. Both return kDecodeOk or kDecodeCorrupt.
int ReconstructDeltaFrame(DecoderState& state);
int ReconstructKeyFrame(DecoderState& state);

// Reads, inverse-transforms and converts one DCT-coded block into the 8x8 block at
// `destination` (a block origin of the output picture). False when its coefficients are
// malformed; the block is then left untouched.
bool DecodeDctBlock(DecoderState& state, uint16_t* destination);

// A picture of 16-bit pixels, row 0 first, rows `width` pixels apart.
struct PictureView {
  const uint16_t* pixels = nullptr;
  int width = 0;
  int height = 0;
};

// The 8x8 blocks of a picture that may differ from an earlier picture: all of them (`whole`),
// or the `count` blocks listed, each numbered (row / 8) x (width / 8) + column / 8.
struct BlockChanges {
  bool whole = true;
  const uint32_t* blocks = nullptr;
  size_t count = 0;
};

// Whose pixels a VideoDecoder decodes into.
enum class OutputPicture {
  kOwn,     // a picture the decoder allocates
  kCaller,  // pixels the caller hands over with SetOutput
};

// A decoder with its two pictures: the reference (the previous picture) and the output picture
// that each frame is decoded into. After every frame the output picture is also the reference
// of the next one, as in playback. Both pictures start all zero.
//
// The output picture is the decoder's own, or pixels that belong to the caller (the player's
// surface), so that a frame is decoded where it is shown without a copy. One decode at a time.
class VideoDecoder {
 public:
  // A decoder for height x width pictures; depth 16 gives 5-6-5 pixels, any other depth 5-5-5.
  // nullptr for sizes CreateVideoDecoder refuses, or without memory.
  static std::unique_ptr<VideoDecoder> Create(int height, int width, int depth,
                                              OutputPicture output = OutputPicture::kOwn);

  // Decodes one chunk payload into the output picture, which then becomes the reference.
  // kDecodeOk, or kDecodeCorrupt when the chunk is malformed: the picture then holds what was
  // decoded up to that point, the rest of it the previous picture, and it still becomes the
  // reference (a corrupt frame does not stop playback).
  int Decode(const uint8_t* payload, size_t length);

  // Decodes into the caller's width x height pixels from the next frame on (a decoder made
  // with OutputPicture::kCaller decodes nothing before). Their content is taken as the output
  // picture's previous content, which a frame may read before it writes over it. Nothing but
  // the decoder may write them between two frames. nullptr is ignored.
  void SetOutput(uint16_t* pixels);

  // The current picture: the last one decoded, or zeros (no pixels before SetOutput for a
  // decoder made with OutputPicture::kCaller).
  PictureView Picture() const { return {output_, width(), height()}; }

  // Both pictures back to zero, as at the start of playback (after a seek).
  void Reset();

  // Both pictures become a copy of `picture` (width x height pixels, not the output picture
  // itself), as if the frame that made it had just been decoded: the picture a copy kept earlier
  // is decoded on from. Nothing without an output picture.
  void Restore(const uint16_t* picture);

  // The blocks of the output picture that may have changed since the last call (the whole
  // picture at the first call): for showing a picture again by the parts that changed. A frame
  // decoded in step lists the blocks it wrote; a key frame, new caller pixels, a reset or too
  // many frames between two calls count as the whole picture. The list stays valid until the
  // next call. A decoder never asked keeps no list.
  BlockChanges TakeChanges();

  int width() const { return state_->width; }
  int height() const { return state_->height; }
  bool format565() const { return state_->pixel_format == kPixelFormat565; }

 private:
  VideoDecoder() = default;
  size_t PixelCount() const;

  std::unique_ptr<DecoderState> state_;
  std::unique_ptr<uint16_t[]> reference_;
  std::unique_ptr<uint16_t[]> own_output_;
  uint16_t* output_ = nullptr;
  // The output picture holds the same pixels as the reference.
  bool in_step_ = false;

  void NoteChanges();
  // Blocks changed since the last TakeChanges (unless the whole picture did), and the list
  // handed out by it.
  std::vector<uint32_t> changed_blocks_;
  std::vector<uint32_t> taken_blocks_;
  bool whole_changed_ = true;
};

}  // namespace tarvel
