// The video decoder: one "IX" chunk payload into one 16-bit RGB picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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

}  // namespace tarvel
