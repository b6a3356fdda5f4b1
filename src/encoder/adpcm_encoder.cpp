#include "encoder/adpcm_encoder.h"

#include <cstdlib>

#include "audio/adpcm_tables.h"

namespace tarvel {

namespace {

using adpcm_tables::kCodeTables;

constexpr std::int32_t kPcmMin = -32768;
constexpr std::int32_t kPcmMax = 32767;

std::int64_t Error(std::int32_t value, std::int32_t target) {
  const std::int64_t d = static_cast<std::int64_t>(value) - target;
  return d * d;
}

// Smallest error the decoder can reach for `target` from the given state in one code.
std::int64_t BestNextError(std::int32_t predictor, std::int32_t row, std::int32_t target) {
  std::int64_t best = -1;
  for (unsigned code = 0; code < 16; ++code) {
    const std::int32_t next = predictor + kCodeTables.difference[row + code];
    if (next < kPcmMin || next > kPcmMax) continue;
    const std::int64_t error = Error(next, target);
    if (best < 0 || error < best) best = error;
  }
  return best;
}

}  // namespace

void AdpcmEncoder_Init(AdpcmEncoder& encoder, bool stereo, std::int32_t left_predictor,
                       std::int32_t right_predictor) {
  encoder = AdpcmEncoder{};
  encoder.stereo = stereo;
  encoder.channel[0].predictor = left_predictor;
  encoder.channel[1].predictor = right_predictor;
}

unsigned AdpcmEncoder_ChooseCode(AdpcmChannelState& state, std::int32_t sample,
                                 std::int32_t next_sample) {
  const std::int32_t row = state.index * 16;
  unsigned best = 0;
  std::int64_t best_cost = -1;
  for (unsigned code = 0; code < 16; ++code) {
    const std::int32_t next = state.predictor + kCodeTables.difference[row + code];
    if (next < kPcmMin || next > kPcmMax) continue;
    // Judge each code by its own error plus the best the following code can then reach: this
    // keeps the step size from shrinking just before a fast edge it could no longer follow.
    const std::int64_t cost =
        Error(next, sample) + BestNextError(next, kCodeTables.next_row[row + code], next_sample);
    if (best_cost < 0 || cost < best_cost) {
      best_cost = cost;
      best = code;
    }
  }
  state.predictor += kCodeTables.difference[row + best];
  state.index = kCodeTables.next_row[row + best] / 16;
  return best;
}

std::size_t AdpcmEncoder_Encode(AdpcmEncoder& encoder, const std::int16_t* pcm, std::size_t frames,
                                std::uint8_t* out) {
  std::size_t written = 0;
  if (encoder.stereo) {
    for (std::size_t i = 0; i < frames; ++i) {
      const std::size_t next = i + 1 < frames ? i + 1 : i;
      const unsigned left = AdpcmEncoder_ChooseCode(encoder.channel[0], pcm[2 * i], pcm[2 * next]);
      const unsigned right =
          AdpcmEncoder_ChooseCode(encoder.channel[1], pcm[2 * i + 1], pcm[2 * next + 1]);
      out[written++] = static_cast<std::uint8_t>((left << 4) | right);
    }
    return written;
  }
  for (std::size_t i = 0; i < frames; ++i) {
    const std::size_t next = i + 1 < frames ? i + 1 : i;
    const unsigned code = AdpcmEncoder_ChooseCode(encoder.channel[0], pcm[i], pcm[next]);
    if (!encoder.pending) {
      encoder.pending_byte = static_cast<std::uint8_t>(code << 4);
      encoder.pending = true;
    } else {
      out[written++] = static_cast<std::uint8_t>(encoder.pending_byte | code);
      encoder.pending = false;
    }
  }
  return written;
}

}  // namespace tarvel
