#include "video/video_decoder.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "video/coefficient_reader.h"
#include "video/simd_level.h"
#include "video/video_tables.h"

namespace tarvel {

namespace {

uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

std::unique_ptr<DecoderState> CreateVideoDecoder(int height, int width, int depth) {
  if (width <= 0 || height <= 0 || width % 8 != 0 || height % 8 != 0 ||
      width > kMaxPictureDimension || height > kMaxPictureDimension) {
    return nullptr;
  }
  BuildSharedTables();
  std::unique_ptr<DecoderState> state(new (std::nothrow) DecoderState());
  if (!state) return nullptr;
  BuildGeometryTables(*state, height, width);
  state->pixel_format = depth == 16 ? kPixelFormat565 : kPixelFormat555;
  return state;
}

namespace {

int DecodeChunk(const uint8_t* payload, size_t length, const uint16_t* reference, uint16_t* output,
                DecoderState& state) {
  // A chunk refused here writes nothing.
  state.written_block_count = 0;
  state.unlisted_writes = false;
  if (payload == nullptr || output == nullptr || length < kVideoChunkHeaderSize ||
      state.width <= 0 || state.height <= 0) {
    return kDecodeCorrupt;
  }
  const auto frame_word = static_cast<int32_t>(LoadLe32(payload));
  state.payload = payload;
  state.payload_length = length;
  // Offsets are checked when a stream is read, so a stream a frame never uses may point anywhere.
  state.mode_bits_position = LoadLe32(payload + 4);
  state.vector_words_position = LoadLe32(payload + 8);
  state.spiral_pairs_position = LoadLe32(payload + 12);
  state.coef_nibbles_start = LoadLe32(payload + 16);
  state.coef_nibbles_end = LoadLe32(payload + 20);
  state.reference_base = reference;
  state.output_base = output;
  state.block_cursor = 0;
  state.spiral_phase = 0;
  state.held_spiral_index = 0;
  state.mode_word = 0;
  state.mode_bits_left = 0;
  state.corrupt = false;
  state.dct_kernel = DctBlockKernelFor(CurrentVideoSimdLevel());
  std::memset(state.coefficients, 0, sizeof(state.coefficients));

  // Nibbles are readable from the start offset up to the end offset, inside the payload.
  const size_t nibble_end = std::min(state.coef_nibbles_end, length);
  state.nibbles.data = payload;
  if (state.coef_nibbles_start <= nibble_end) {
    state.nibbles.position = 2 * state.coef_nibbles_start;
    state.nibbles.end = 2 * nibble_end;
  } else {
    state.nibbles.position = 0;
    state.nibbles.end = 0;
  }

  const bool key_frame = frame_word < 0;
  // The negation of the most negative word does not fit; it decodes as quality 0, like word 0,
  // and BuildDequantTables treats quality 0 as 1.
  int quality = frame_word;
  if (key_frame) quality = frame_word == INT32_MIN ? 0 : -frame_word;
  BuildDequantTables(state, quality);
  BuildCoefficientSlots(state.dequant, state.coefficient_slots);

  return key_frame ? ReconstructKeyFrame(state) : ReconstructDeltaFrame(state);
}

}  // namespace

int DecodeVideoChunk(const uint8_t* payload, size_t length, const uint16_t* reference,
                     uint16_t* output, DecoderState& state) {
  state.refresh_reference = nullptr;
  return DecodeChunk(payload, length, reference, output, state);
}

std::unique_ptr<VideoDecoder> VideoDecoder::Create(int height, int width, int depth,
                                                   OutputPicture output) {
  std::unique_ptr<VideoDecoder> decoder(new (std::nothrow) VideoDecoder());
  if (!decoder) return nullptr;
  decoder->state_ = CreateVideoDecoder(height, width, depth);
  if (!decoder->state_) return nullptr;
  const size_t pixels = decoder->PixelCount();
  decoder->reference_.reset(new (std::nothrow) uint16_t[pixels]());
  if (!decoder->reference_) return nullptr;
  if (output == OutputPicture::kOwn) {
    decoder->own_output_.reset(new (std::nothrow) uint16_t[pixels]());
    if (!decoder->own_output_) return nullptr;
    decoder->output_ = decoder->own_output_.get();
    decoder->in_step_ = true;
  }
  try {
    decoder->state_->written_blocks.resize(pixels / 64);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return decoder;
}

size_t VideoDecoder::PixelCount() const {
  return static_cast<size_t>(state_->width) * static_cast<size_t>(state_->height);
}

int VideoDecoder::Decode(const uint8_t* payload, size_t length) {
  if (output_ == nullptr) return kDecodeCorrupt;
  // While the output equals the reference, the frame keeps the two in step itself; otherwise
  // (new caller pixels) the whole picture goes over the reference afterwards.
  state_->refresh_reference = in_step_ ? reference_.get() : nullptr;
  const int result = DecodeChunk(payload, length, reference_.get(), output_, *state_);
  state_->refresh_reference = nullptr;
  if (!in_step_) std::memcpy(reference_.get(), output_, PixelCount() * sizeof(uint16_t));
  in_step_ = true;
  NoteChanges();
  return result;
}

void VideoDecoder::NoteChanges() {
  if (whole_changed_) return;
  const DecoderState& s = *state_;
  // A key frame rewrites (nearly) every block; a frame that did not list its blocks may have
  // written any of them.
  if (s.unlisted_writes ||
      changed_blocks_.size() + s.written_block_count > changed_blocks_.capacity()) {
    whole_changed_ = true;
    changed_blocks_.clear();
    return;
  }
  const size_t width = static_cast<size_t>(s.width);
  const size_t blocks_per_row = width / 8;
  for (size_t i = 0; i < s.written_block_count; ++i) {
    const size_t cursor = s.written_blocks[i];
    const size_t y = cursor / width;
    changed_blocks_.push_back(
        static_cast<uint32_t>(y / 8 * blocks_per_row + (cursor - y * width) / 8));
  }
}

BlockChanges VideoDecoder::TakeChanges() {
  // Room for every block in both lists, so that listing never allocates; without it the
  // changes stay whole.
  const size_t blocks = PixelCount() / 64;
  try {
    changed_blocks_.reserve(blocks);
    taken_blocks_.reserve(blocks);
  } catch (const std::bad_alloc&) {
    return BlockChanges{};
  }
  std::swap(changed_blocks_, taken_blocks_);
  changed_blocks_.clear();
  BlockChanges changes;
  changes.whole = whole_changed_;
  if (!whole_changed_) {
    changes.blocks = taken_blocks_.data();
    changes.count = taken_blocks_.size();
  }
  whole_changed_ = false;
  return changes;
}

void VideoDecoder::SetOutput(uint16_t* pixels) {
  if (pixels == nullptr || pixels == output_) return;
  output_ = pixels;
  in_step_ = false;
  whole_changed_ = true;
}

void VideoDecoder::Reset() {
  std::memset(reference_.get(), 0, PixelCount() * sizeof(uint16_t));
  if (output_ != nullptr) std::memset(output_, 0, PixelCount() * sizeof(uint16_t));
  in_step_ = output_ != nullptr;
  whole_changed_ = true;
}

void VideoDecoder::Restore(const uint16_t* picture) {
  if (output_ == nullptr || picture == nullptr) return;
  const size_t bytes = PixelCount() * sizeof(uint16_t);
  std::memcpy(output_, picture, bytes);
  std::memcpy(reference_.get(), picture, bytes);
  in_step_ = true;
  whole_changed_ = true;
}

}  // namespace tarvel
