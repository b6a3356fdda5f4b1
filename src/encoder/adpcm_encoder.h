// Encodes 16-bit PCM into the 4-bit ADPCM codes of an ADQ stream. The encoder runs the decoder's
// own arithmetic (step and index tables, unclamped predictor) so that it always knows what the
// player will reconstruct. It searches the codes of a whole run of samples at once (a trellis
// that keeps the best few decoder states after each sample), and never picks a code that
// carries the predictor outside -32768..32767, where the decoded sample would wrap around.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvel {

struct AdpcmChannelState {
  std::int32_t predictor = 0;
  std::int32_t index = 0;  // step index 0..88
};

struct AdpcmEncoder {
  bool stereo = false;
  AdpcmChannelState channel[2];
  // Mono: a high nibble written and waiting for its low half.
  bool pending = false;
  std::uint8_t pending_byte = 0;
  std::vector<std::uint8_t> codes[2];  // scratch
};

// Starts a stream whose ADQ header carries these initial predictors (the step index starts at 0).
void AdpcmEncoder_Init(AdpcmEncoder& encoder, bool stereo, std::int32_t left_predictor,
                       std::int32_t right_predictor);

// Encodes `frames` sample frames (interleaved left, right for stereo) and appends the bytes to
// `out`. Mono packs two samples per byte, the first in the high nibble; an odd count leaves a
// half byte pending for the next call. Returns the bytes written.
std::size_t AdpcmEncoder_Encode(AdpcmEncoder& encoder, const std::int16_t* pcm, std::size_t frames,
                                std::uint8_t* out);

// The codes for `count` samples of one channel (every `stride`-th value of `pcm`) from `state`,
// which is advanced as the decoder advances it. Writes one code per sample to `codes`.
void AdpcmEncoder_EncodeChannel(AdpcmChannelState& state, const std::int16_t* pcm,
                                std::size_t count, std::size_t stride, std::uint8_t* codes);

}  // namespace tarvel
