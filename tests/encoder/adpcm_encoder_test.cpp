// The ADPCM encoder: codes worked out by hand from the decoder's rules, packing, the predictor
// range, and round trips through the project's decoder with their signal-to-noise ratio.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "audio/adpcm.h"
#include "encoder/adpcm_encoder.h"
#include "encoder/movie_writer.h"

namespace tarvel {
namespace {

// Decodes `bytes` as a stream with the given header fields through the library.
std::vector<std::int16_t> Decode(const std::vector<std::uint8_t>& codes, std::uint32_t frames,
                                 bool stereo, std::int32_t left, std::int32_t right) {
  std::vector<std::uint8_t> stream(32);
  BuildAdqHeader(stream.data(), frames, 22050, left, right, stereo);
  stream.insert(stream.end(), codes.begin(), codes.end());
  EXPECT_EQ(kAdpcmOk, Adpcm_Init(kAdpcmLibraryVersion));
  StreamDatas datas;
  EXPECT_EQ(kAdpcmOk, Adpcm_InitStream(stream.data(), stream.size(), &datas));
  std::vector<std::uint8_t> bytes(frames * (stereo ? 4 : 2));
  auto* out = bytes.data();
  std::int32_t shortfall = -1;
  EXPECT_EQ(kAdpcmOk, Adpcm_Decode(&out, &datas, static_cast<std::int32_t>(frames), &shortfall));
  EXPECT_EQ(0, shortfall);
  std::vector<std::int16_t> pcm(bytes.size() / 2);  // little-endian samples on every host
  for (std::size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return pcm;
}

double Snr(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b) {
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    signal += static_cast<double>(a[i]) * a[i];
    const double d = static_cast<double>(a[i]) - b[i];
    noise += d * d;
  }
  return 10 * std::log10(signal / std::max(noise, 1.0));
}

TEST(AdpcmEncoder, PicksTheCodesWithTheLeastErrorOverTheRun) {
  // From predictor 0 at step 7, two samples of 11. Code 7 lands on 11 exactly (0 + 7 + 3 + 1)
  // but leaves step 16, from which the next sample is off by 2 (codes 0 or 8 move by 2).
  // Code 6 lands on 10 (7 + 3) and leaves step 13, whose code 0 then adds 13 >> 3 = 1: 11.
  // Total squared error 1 against 4, so the codes are 6 then 0: one byte 0x60.
  AdpcmEncoder encoder;
  AdpcmEncoder_Init(encoder, false, 0, 0);
  const std::int16_t pcm[2] = {11, 11};
  std::uint8_t out[1] = {};
  ASSERT_EQ(1u, AdpcmEncoder_Encode(encoder, pcm, 2, out));
  EXPECT_EQ(0x60, out[0]);
  EXPECT_EQ(11, encoder.channel[0].predictor);
  EXPECT_EQ(5, encoder.channel[0].index);  // 0 + 6 (code 6), then - 1 (code 0)
}

TEST(AdpcmEncoder, NeverCarriesThePredictorOutOfRange) {
  // At predictor 32760 and step index 88 every code without the sign bit would pass 32767
  // (code 0 adds 32767 >> 3 = 4095). The closest code that stays in range is code 8: 28665.
  AdpcmChannelState state;
  state.predictor = 32760;
  state.index = 88;
  const std::int16_t sample[1] = {32767};
  std::uint8_t code = 0xFF;
  AdpcmEncoder_EncodeChannel(state, sample, 1, 1, &code);
  EXPECT_EQ(8, code);
  EXPECT_EQ(28665, state.predictor);
  EXPECT_EQ(87, state.index);

  // A full-scale square wave decodes without a single wrapped sample.
  std::vector<std::int16_t> pcm(4000);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = (i / 50) % 2 ? 32767 : -32768;
  AdpcmEncoder encoder;
  AdpcmEncoder_Init(encoder, false, pcm[0], 0);
  std::vector<std::uint8_t> codes(pcm.size() / 2);
  AdpcmEncoder_Encode(encoder, pcm.data(), pcm.size(), codes.data());
  const auto decoded = Decode(codes, static_cast<std::uint32_t>(pcm.size()), false, pcm[0], 0);
  for (std::size_t i = 1; i < decoded.size(); ++i)
    ASSERT_LT(std::abs(decoded[i] - decoded[i - 1]), 40000) << "wrap at sample " << i;
}

TEST(AdpcmEncoder, StereoPutsLeftInTheHighNibble) {
  AdpcmEncoder encoder;
  AdpcmEncoder_Init(encoder, true, 0, 0);
  // Left 11 and right -11 in one frame: code 7 reaches 11 exactly, its mirror 15 reaches -11.
  const std::int16_t pcm[2] = {11, -11};
  std::uint8_t out[1] = {};
  ASSERT_EQ(1u, AdpcmEncoder_Encode(encoder, pcm, 1, out));
  EXPECT_EQ(0x7F, out[0]);
  EXPECT_EQ(11, encoder.channel[0].predictor);
  EXPECT_EQ(-11, encoder.channel[1].predictor);
}

TEST(AdpcmEncoder, RoundTripsMusicAndSpeechLikeSoundAbove25Decibels) {
  constexpr std::uint32_t kRate = 22050;
  const std::size_t n = kRate;  // one second
  std::vector<std::int16_t> music(n), speech(n), stereo(2 * n);
  // Speech-like: a 120 Hz pulse train through two formant resonators (700 and 1200 Hz), with
  // a 4 Hz syllable envelope and a little breath noise.
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0, 1);
  auto resonator = [](double hz, double bandwidth) {
    const double r = std::exp(-M_PI * bandwidth / kRate);
    return std::array<double, 2>{2 * r * std::cos(2 * M_PI * hz / kRate), -r * r};
  };
  const auto f1 = resonator(700, 90), f2 = resonator(1200, 110);
  double a1 = 0, a2 = 0, b1 = 0, b2 = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kRate;
    music[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * t) +
                                         4000 * std::sin(2 * M_PI * 660 * t) +
                                         2000 * std::sin(2 * M_PI * 1320 * t));
    const double pulse = (i % 184 == 0 ? 1.0 : 0.0) + 0.01 * noise(random);
    const double a = pulse + f1[0] * a1 + f1[1] * a2;
    a2 = a1;
    a1 = a;
    const double b = a + f2[0] * b1 + f2[1] * b2;
    b2 = b1;
    b1 = b;
    const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 4 * t);
    speech[i] = static_cast<std::int16_t>(std::clamp(envelope * 60 * b, -32768.0, 32767.0));
    stereo[2 * i] = music[i];
    stereo[2 * i + 1] = speech[i];
  }
  for (const auto* pcm : {&music, &speech}) {
    AdpcmEncoder encoder;
    AdpcmEncoder_Init(encoder, false, (*pcm)[0], 0);
    std::vector<std::uint8_t> codes(n / 2);
    ASSERT_EQ(n / 2, AdpcmEncoder_Encode(encoder, pcm->data(), n, codes.data()));
    const auto decoded = Decode(codes, static_cast<std::uint32_t>(n), false, (*pcm)[0], 0);
    EXPECT_GT(Snr(*pcm, decoded), 25.0);
    // The encoder tracked exactly what the decoder produced.
    EXPECT_EQ(encoder.channel[0].predictor, decoded.back());
  }
  AdpcmEncoder encoder;
  AdpcmEncoder_Init(encoder, true, stereo[0], stereo[1]);
  std::vector<std::uint8_t> codes(n);
  ASSERT_EQ(n, AdpcmEncoder_Encode(encoder, stereo.data(), n, codes.data()));
  const auto decoded = Decode(codes, static_cast<std::uint32_t>(n), true, stereo[0], stereo[1]);
  EXPECT_GT(Snr(stereo, decoded), 25.0);
}

}  // namespace
}  // namespace tarvel
