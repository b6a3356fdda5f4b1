#include "encoder/adpcm_encoder.h"

#include <algorithm>
#include <array>

#include "audio/adpcm_tables.h"

namespace tarvel {

namespace {

using adpcm_tables::kCodeTables;

constexpr std::int32_t kPcmMin = -32768;
constexpr std::int32_t kPcmMax = 32767;
// Decoder states kept after each sample.
constexpr int kBeam = 8;

struct Node {
  std::int32_t predictor;
  std::int32_t row;  // step index * 16
  std::int64_t cost;
  std::int32_t parent;  // index into the previous sample's nodes
  std::uint8_t code;
};

}  // namespace

void AdpcmEncoder_Init(AdpcmEncoder& encoder, bool stereo, std::int32_t left_predictor,
                       std::int32_t right_predictor) {
  encoder = AdpcmEncoder{};
  encoder.stereo = stereo;
  encoder.channel[0].predictor = left_predictor;
  encoder.channel[1].predictor = right_predictor;
}

void AdpcmEncoder_EncodeChannel(AdpcmChannelState& state, const std::int16_t* pcm,
                                std::size_t count, std::size_t stride, std::uint8_t* codes) {
  if (count == 0) return;
  // history[i * kBeam + k]: how node k after sample i was reached, its code in the low four bits
  // and the index of the node it came from above them: a byte a node, as a frame's sound can
  // run to millions of samples.
  static_assert(kBeam <= 16);
  std::vector<std::uint8_t> history(count * kBeam);
  std::array<Node, kBeam> current{};
  int current_count = 1;
  current[0] = {state.predictor, state.index * 16, 0, -1, 0};
  std::array<Node, kBeam * 16> candidates{};
  for (std::size_t i = 0; i < count; ++i) {
    const std::int32_t target = pcm[i * stride];
    int n = 0;
    for (int k = 0; k < current_count; ++k) {
      const Node& from = current[k];
      for (unsigned code = 0; code < 16; ++code) {
        const std::int32_t next = from.predictor + kCodeTables.difference[from.row + code];
        if (next < kPcmMin || next > kPcmMax) continue;
        const std::int64_t error = static_cast<std::int64_t>(next - target) * (next - target);
        candidates[n++] = {next, kCodeTables.next_row[from.row + code], from.cost + error, k,
                           static_cast<std::uint8_t>(code)};
      }
    }
    // Keep the cheapest distinct decoder states. Only the first few candidates can be kept, so
    // only they are put in order.
    const auto cheaper = [](const Node& a, const Node& b) { return a.cost < b.cost; };
    const int ordered = std::min(n, 3 * kBeam);
    std::nth_element(candidates.begin(), candidates.begin() + ordered - 1, candidates.begin() + n,
                     cheaper);
    std::sort(candidates.begin(), candidates.begin() + ordered, cheaper);
    n = ordered;
    int kept = 0;
    for (int c = 0; c < n && kept < kBeam; ++c) {
      bool duplicate = false;
      for (int k = 0; k < kept; ++k)
        if (current[k].predictor == candidates[c].predictor &&
            current[k].row == candidates[c].row) {
          duplicate = true;
          break;
        }
      if (!duplicate) current[kept++] = candidates[c];
    }
    current_count = kept;
    for (int k = 0; k < kept; ++k)
      history[i * kBeam + static_cast<std::size_t>(k)] =
          static_cast<std::uint8_t>(current[k].code | (current[k].parent << 4));
  }
  // The cheapest path, traced back from its last node.
  int k = 0;
  state.predictor = current[0].predictor;
  state.index = current[0].row / 16;
  for (std::size_t i = count; i-- > 0;) {
    const std::uint8_t step = history[i * kBeam + static_cast<std::size_t>(k)];
    codes[i] = step & 15;
    k = step >> 4;
  }
}

std::size_t AdpcmEncoder_Encode(AdpcmEncoder& encoder, const std::int16_t* pcm, std::size_t frames,
                                std::uint8_t* out) {
  std::size_t written = 0;
  if (encoder.stereo) {
    for (int c = 0; c < 2; ++c) {
      encoder.codes[c].resize(frames);
      AdpcmEncoder_EncodeChannel(encoder.channel[c], pcm + c, frames, 2, encoder.codes[c].data());
    }
    for (std::size_t i = 0; i < frames; ++i)
      out[written++] = static_cast<std::uint8_t>((encoder.codes[0][i] << 4) | encoder.codes[1][i]);
    return written;
  }
  encoder.codes[0].resize(frames);
  AdpcmEncoder_EncodeChannel(encoder.channel[0], pcm, frames, 1, encoder.codes[0].data());
  for (std::size_t i = 0; i < frames; ++i) {
    const unsigned code = encoder.codes[0][i];
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
