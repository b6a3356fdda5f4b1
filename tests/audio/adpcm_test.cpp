// The ADPCM library: header checks and their order, the message table, and the decoder's
// arithmetic, nibble order, state carried between calls, shortfall and bounds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "audio/adpcm.h"
#include "audio/audio_builders.h"

namespace tarvel {
namespace {

using test_audio::AdqFields;
using test_audio::AdqPayload;
using Samples = std::vector<std::int16_t>;

class AdpcmTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Adpcm_Init(kAdpcmLibraryVersion), kAdpcmOk); }

  StreamDatas Stream(const AdqFields& fields, const std::vector<std::uint8_t>& codes) {
    payload_ = AdqPayload(fields, codes);
    StreamDatas s;
    EXPECT_EQ(Adpcm_InitStream(payload_.data(), payload_.size(), &s), kAdpcmOk);
    return s;
  }

  // Decodes `frames` frames and returns the samples written; checks nothing lies beyond them.
  Samples Decode(StreamDatas& s, std::int32_t frames, std::int32_t* shortfall = nullptr,
                 std::int32_t* starved = nullptr) {
    std::vector<std::uint8_t> pcm(static_cast<std::size_t>(frames) * 4 + 8, 0xEE);
    std::uint8_t* out = pcm.data();
    std::int32_t short_by = -1;
    EXPECT_EQ(Adpcm_Decode(&out, &s, frames, &short_by, starved), kAdpcmOk);
    if (shortfall) *shortfall = short_by;
    const auto written = static_cast<std::size_t>(out - pcm.data());
    EXPECT_EQ(pcm[written], 0xEE) << "wrote past the end";
    Samples samples;
    for (std::size_t i = 0; i < written / 2; ++i) samples.push_back(test_audio::SampleAt(pcm, i));
    return samples;
  }

  std::vector<std::uint8_t> payload_;
};

// Before Adpcm_Init(180) every operation answers 2, also after a refused Adpcm_Init(179).
bool RefusesUntilInitialised() {
  std::vector<std::uint8_t> header = AdqPayload({}, {0x00});
  std::uint32_t a = 0, b = 0, c = 0;
  StreamDatas s;
  std::uint8_t pcm[8];
  std::uint8_t* out = pcm;
  std::int32_t shortfall = 0;
  return Adpcm_GetInfo(header.data(), header.size(), &a, &b, &c) == kAdpcmNotInitialised &&
         Adpcm_InitStream(header.data(), header.size(), &s) == kAdpcmNotInitialised &&
         Adpcm_Decode(&out, &s, 1, &shortfall) == kAdpcmNotInitialised &&
         Adpcm_Init(179) == kAdpcmWrongLibraryVersion &&
         Adpcm_GetInfo(header.data(), header.size(), &a, &b, &c) == kAdpcmNotInitialised &&
         Adpcm_Init(180) == kAdpcmOk &&
         Adpcm_GetInfo(header.data(), header.size(), &a, &b, &c) == kAdpcmOk;
}

// The initialised flag lives for the whole process, so this runs in a fresh process.
TEST(AdpcmInit, EveryOperationRefusesUntilInitialisedWithTheRightVersion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(RefusesUntilInitialised() ? 0 : 1), testing::ExitedWithCode(0), "");
}

TEST_F(AdpcmTest, HeaderChecksComeInOrderAndWriteNothingOnFailure) {
  std::vector<std::uint8_t> h = AdqPayload({});
  std::uint32_t pcm = 77, rate = 77, stereo = 77;
  h[0] = 'X';  // arguments are checked before the header
  EXPECT_EQ(Adpcm_GetInfo(nullptr, 32, nullptr, nullptr, nullptr), kAdpcmBufferMissing);
  EXPECT_EQ(Adpcm_GetInfo(h.data(), 32, nullptr, nullptr, nullptr), kAdpcmPcmSizeMissing);
  EXPECT_EQ(Adpcm_GetInfo(h.data(), 32, &pcm, nullptr, nullptr), kAdpcmFrequencyMissing);
  EXPECT_EQ(Adpcm_GetInfo(h.data(), 32, &pcm, &rate, nullptr), kAdpcmStereoMissing);
  EXPECT_EQ(Adpcm_GetInfo(h.data(), 32, &pcm, &rate, &stereo), kAdpcmNotAdqFile);
  h = AdqPayload({});
  std::memcpy(h.data(), "veld_adq", 8);
  EXPECT_EQ(Adpcm_GetInfo(h.data(), 32, &pcm, &rate, &stereo), kAdpcmNotAdqFile);
  h = AdqPayload({});
  std::memcpy(h.data() + 8, "1.50", 4);
  EXPECT_EQ(Adpcm_GetInfo(h.data(), 32, &pcm, &rate, &stereo), kAdpcmBadAdqVersion);
  EXPECT_EQ(pcm + rate + stereo, 3u * 77);
  // A valid header in fewer than 32 bytes is no header.
  h = AdqPayload({});
  EXPECT_EQ(Adpcm_GetInfo(h.data(), 31, &pcm, &rate, &stereo), kAdpcmNotAdqFile);

  StreamDatas s;
  s.left_predictor = 5;
  EXPECT_EQ(Adpcm_InitStream(nullptr, 32, nullptr), kAdpcmBufferMissing);
  EXPECT_EQ(Adpcm_InitStream(h.data(), 32, nullptr), kAdpcmStreamMissing);
  h[11] = '1';
  EXPECT_EQ(Adpcm_InitStream(h.data(), 32, &s), kAdpcmBadAdqVersion);
  EXPECT_EQ(s.left_predictor, 5);
}

TEST_F(AdpcmTest, HeaderFieldsReachInfoAndStreamRecord) {
  struct Case {
    std::uint32_t flags, stereo, pcm_size;
  } cases[] = {{0xFFFFFFFE, 0, 2000}, {1, 1, 4000}, {3, 1, 4000}};
  for (const Case& c : cases) {
    AdqFields f;
    f.flags = c.flags;
    f.frequency = 44100;
    std::vector<std::uint8_t> h = AdqPayload(f);
    std::uint32_t pcm = 0, rate = 0, stereo = 9;
    ASSERT_EQ(Adpcm_GetInfo(h.data(), h.size(), &pcm, &rate, &stereo), kAdpcmOk);
    EXPECT_EQ(stereo, c.stereo) << c.flags;
    EXPECT_EQ(pcm, c.pcm_size) << c.flags;  // 1000 sample frames of 2 or 4 bytes
    EXPECT_EQ(rate, 44100u);
  }

  AdqFields f;
  f.sample_count = 555;
  f.left_predictor = -300;
  f.right_predictor = 40000;
  payload_ = AdqPayload(f, {1, 2, 3});
  StreamDatas s;
  s.nibble_phase = 1;
  s.left_index = 50;
  s.left_step = 99;
  ASSERT_EQ(Adpcm_InitStream(payload_.data(), payload_.size(), &s), kAdpcmOk);
  EXPECT_EQ(s.data, payload_.data() + 32);
  EXPECT_EQ(s.data_end, payload_.data() + 35);
  EXPECT_EQ(s.nibble_phase, 0u);
  EXPECT_EQ(s.remaining_frames, 555u);
  EXPECT_EQ(s.left_predictor, -300);
  EXPECT_EQ(s.right_predictor, 40000);
  EXPECT_EQ(s.left_index, 0u);
  EXPECT_EQ(s.left_step, 7);
}

TEST_F(AdpcmTest, MessageTextsAndTheirLookup) {
  std::string text;
  EXPECT_EQ(Adpcm_GetErrorText(2, &text), kAdpcmOk);
  EXPECT_EQ(text, "You must call Adpcm_Init() first.");
  EXPECT_EQ(Adpcm_GetErrorText(14, &text), kAdpcmOk);
  EXPECT_EQ(text, "Invalid ADQ file version.");
  EXPECT_STREQ(Adpcm_ErrorText(6), Adpcm_ErrorText(10));
  for (int code : {15, 16, -1}) {
    text.clear();
    EXPECT_EQ(Adpcm_GetErrorText(code, &text), kAdpcmUnknownCode) << code;
    EXPECT_EQ(text, "Unknown ErrorCode parameter") << code;
  }
  EXPECT_EQ(Adpcm_GetErrorText(0, nullptr), kAdpcmOutputTextMissing);
  EXPECT_STREQ(Adpcm_ErrorText(16), "szOutStr parameter must not be NULL.");
}

TEST_F(AdpcmTest, CodeArithmeticNibbleOrderAndClamps) {
  // Mono, high nibble first. Code 7 at step 7: 0 + 7 + 3 + 1 = 11, index 8 (step 16); code 0:
  // 16 >> 3 = 2, index 7 (step 14); code 7: 1 + 14 + 7 + 3 = 25, index 15 (step 31); code 8
  // (minus, magnitude 0): -(31 >> 3) = -3.
  StreamDatas s = Stream({}, {0x70, 0x78});
  EXPECT_EQ(Decode(s, 4), (Samples{11, 13, 38, 35}));
  EXPECT_EQ(s.left_index, 14u);
  EXPECT_EQ(s.left_step, 28);
  StreamDatas fresh = Stream({}, {0x80});  // code 8 at step 7 changes nothing
  EXPECT_EQ(Decode(fresh, 2), (Samples{0, 0}));

  // Stereo: left code 1 adds 7 >> 2 = 1; right code 15 subtracts 11 from 100, index 8.
  AdqFields f;
  f.flags = 1;
  f.right_predictor = 100;
  StreamDatas st = Stream(f, {0x1F});
  EXPECT_EQ(Decode(st, 1), (Samples{1, 89}));
  EXPECT_EQ(st.right_index, 8u);
  EXPECT_EQ(st.nibble_phase, 0u);

  // No predictor clamp: 32760 + 32767 + 16383 + 8191 + 4095 = 94196, written as 28660.
  f = AdqFields{};
  f.left_predictor = 32760;
  StreamDatas big = Stream(f, {0x70});
  big.left_index = 88;
  big.left_step = 32767;
  EXPECT_EQ(Decode(big, 1), (Samples{28660}));
  EXPECT_EQ(big.left_predictor, 94196);

  // Step index: 24 codes of +8 stop at 88, then 200 codes of -1 stop at 0.
  std::vector<std::uint8_t> codes(12, 0x77);
  codes.resize(112, 0x00);
  StreamDatas adapt = Stream({100000}, codes);
  Decode(adapt, 24);
  EXPECT_EQ(adapt.left_index, 88u);
  EXPECT_EQ(adapt.left_step, 32767);
  Decode(adapt, 200);
  EXPECT_EQ(adapt.left_index, 0u);
  EXPECT_EQ(adapt.left_step, 7);
}

TEST_F(AdpcmTest, HeldLowNibbleCarriesOverEvenWhenTheCursorMoves) {
  StreamDatas s = Stream({}, {0x12, 0x34});
  // Codes 1, 2, 3 at step 7 add 1, 3, 4; two bytes read, 0x34's low nibble pending.
  EXPECT_EQ(Decode(s, 3), (Samples{1, 4, 8}));
  EXPECT_EQ(s.nibble_phase, 1u);
  EXPECT_EQ(s.data, payload_.data() + 34);

  std::vector<std::uint8_t> next_chunk = {0x56};
  s.data = next_chunk.data();
  s.data_end = next_chunk.data() + 1;
  // Code 4 (held) adds 7, index 2 (step 9); no byte is read.
  EXPECT_EQ(Decode(s, 1), (Samples{15}));
  EXPECT_EQ(s.data, next_chunk.data());
  // Code 5 at step 9: 1 + 9 + 2 = 12, index 6 (step 13); code 6: 1 + 13 + 6 = 20.
  EXPECT_EQ(Decode(s, 2), (Samples{27, 47}));
  EXPECT_EQ(s.left_index, 12u);
}

TEST_F(AdpcmTest, ShortfallMissingCodesAndMissingArguments) {
  StreamDatas s = Stream({4}, {0x11, 0x11, 0x11, 0x11});
  std::int32_t shortfall = -1, starved = -1;
  EXPECT_EQ(Decode(s, 10, &shortfall).size(), 4u);
  EXPECT_EQ(shortfall, 6);
  EXPECT_EQ(s.remaining_frames, 0u);
  // Exhausted: nothing read or written, the output pointer stays, still success.
  std::uint8_t pcm[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  std::uint8_t* out = pcm;
  EXPECT_EQ(Adpcm_Decode(&out, &s, 3, &shortfall), kAdpcmOk);
  EXPECT_EQ(out, pcm);
  EXPECT_EQ(shortfall, 3);
  EXPECT_EQ(pcm[0], 0xEE);

  // Codes at or past the data end are never read: those frames are silence, and counted.
  StreamDatas mono = Stream({}, {0x11, 0x11});
  EXPECT_EQ(Decode(mono, 6, &shortfall, &starved), (Samples{1, 2, 3, 4, 0, 0}));
  EXPECT_EQ(starved, 2);
  EXPECT_EQ(mono.remaining_frames, 994u);
  AdqFields f;
  f.flags = 1;
  StreamDatas stereo = Stream(f, {0x11});
  EXPECT_EQ(Decode(stereo, 2, &shortfall, &starved), (Samples{1, 1, 0, 0}));
  EXPECT_EQ(starved, 1);

  std::uint8_t* null_out = nullptr;
  EXPECT_EQ(Adpcm_Decode(nullptr, &mono, 1, &shortfall), kAdpcmPcmSizeZero);
  EXPECT_EQ(Adpcm_Decode(&null_out, &mono, 1, &shortfall), kAdpcmPcmSizeZero);
  EXPECT_EQ(Adpcm_Decode(&out, nullptr, 1, &shortfall), kAdpcmBufferMissing);
}

}  // namespace
}  // namespace tarvel
