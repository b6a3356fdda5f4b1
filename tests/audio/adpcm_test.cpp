// The ADPCM library: header checks and their order, the message table, and the decoder's
// arithmetic, nibble order, state carried between calls, shortfall and bounds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "audio/adpcm.h"
#include "audio/adpcm_tables.h"
#include "audio/audio_builders.h"

namespace tarvel {
namespace {

using test_audio::AdqFields;
using test_audio::AdqPayload;

class AdpcmTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Adpcm_Init(kAdpcmLibraryVersion), kAdpcmOk); }

  // A stream over `codes` with the given header fields.
  StreamDatas Stream(const AdqFields& fields, const std::vector<std::uint8_t>& codes) {
    payload_ = AdqPayload(fields, codes);
    StreamDatas s;
    EXPECT_EQ(Adpcm_InitStream(payload_.data(), payload_.size(), &s), kAdpcmOk);
    return s;
  }

  // Decodes `frames` frames into a fresh buffer and returns the samples written.
  std::vector<std::int16_t> Decode(StreamDatas& s, std::int32_t frames,
                                   std::int32_t* shortfall = nullptr,
                                   std::int32_t* starved = nullptr) {
    std::vector<std::uint8_t> pcm(static_cast<std::size_t>(frames) * 4 + 8, 0xEE);
    std::uint8_t* out = pcm.data();
    std::int32_t short_by = -1;
    EXPECT_EQ(Adpcm_Decode(&out, &s, frames, &short_by, starved), kAdpcmOk);
    if (shortfall) *shortfall = short_by;
    std::vector<std::int16_t> samples;
    for (std::size_t i = 0; i < static_cast<std::size_t>(out - pcm.data()) / 2; ++i) {
      samples.push_back(test_audio::SampleAt(pcm, i));
    }
    EXPECT_EQ(pcm[static_cast<std::size_t>(out - pcm.data())], 0xEE) << "wrote past the end";
    return samples;
  }

  std::vector<std::uint8_t> payload_;
};

// Before Adpcm_Init(180) every operation answers 2, also after a refused Adpcm_Init(179).
bool RefusesUntilInitialised() {
  std::vector<std::uint8_t> header = AdqPayload({}, {0x00});
  std::uint32_t a = 0, b = 0, c = 0;
  StreamDatas s;
  std::vector<std::uint8_t> pcm(8);
  std::uint8_t* out = pcm.data();
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

TEST_F(AdpcmTest, GetInfoChecksArgumentsBeforeTheHeaderAndInOrder) {
  std::vector<std::uint8_t> bad = AdqPayload({});
  bad[0] = 'X';
  std::uint32_t pcm = 77, rate = 77, stereo = 77;
  EXPECT_EQ(Adpcm_GetInfo(nullptr, 32, nullptr, nullptr, nullptr), kAdpcmBufferMissing);
  EXPECT_EQ(Adpcm_GetInfo(bad.data(), bad.size(), nullptr, nullptr, nullptr), kAdpcmPcmSizeMissing);
  EXPECT_EQ(Adpcm_GetInfo(bad.data(), bad.size(), &pcm, nullptr, nullptr), kAdpcmFrequencyMissing);
  EXPECT_EQ(Adpcm_GetInfo(bad.data(), bad.size(), &pcm, &rate, nullptr), kAdpcmStereoMissing);
  EXPECT_EQ(Adpcm_GetInfo(bad.data(), bad.size(), &pcm, &rate, &stereo), kAdpcmNotAdqFile);
  EXPECT_EQ(pcm, 77u);
  EXPECT_EQ(rate, 77u);
  EXPECT_EQ(stereo, 77u);
}

TEST_F(AdpcmTest, HeaderNeedsExactMagicAndVersionAndAWholeHeader) {
  std::uint32_t pcm = 0, rate = 0, stereo = 0;
  std::vector<std::uint8_t> lower = AdqPayload({});
  std::memcpy(lower.data(), "veld_adq", 8);
  EXPECT_EQ(Adpcm_GetInfo(lower.data(), lower.size(), &pcm, &rate, &stereo), kAdpcmNotAdqFile);

  std::vector<std::uint8_t> newer = AdqPayload({});
  std::memcpy(newer.data() + 8, "1.50", 4);
  EXPECT_EQ(Adpcm_GetInfo(newer.data(), newer.size(), &pcm, &rate, &stereo), kAdpcmBadAdqVersion);
  // The magic is checked first.
  newer[7] = 'X';
  EXPECT_EQ(Adpcm_GetInfo(newer.data(), newer.size(), &pcm, &rate, &stereo), kAdpcmNotAdqFile);

  // 31 bytes cannot hold a header, whatever they say.
  std::vector<std::uint8_t> good = AdqPayload({});
  EXPECT_EQ(Adpcm_GetInfo(good.data(), 31, &pcm, &rate, &stereo), kAdpcmNotAdqFile);
  EXPECT_EQ(Adpcm_GetInfo(good.data(), 32, &pcm, &rate, &stereo), kAdpcmOk);
}

TEST_F(AdpcmTest, GetInfoReportsStereoFromBitZeroAndPcmSizeInBytes) {
  struct Case {
    std::uint32_t flags, samples, stereo, pcm_size;
  } cases[] = {{0xFFFFFFFE, 1000, 0, 2000}, {1, 1000, 1, 4000}, {3, 1000, 1, 4000}, {0, 1, 0, 2}};
  for (const Case& c : cases) {
    AdqFields f;
    f.flags = c.flags;
    f.sample_count = c.samples;
    f.frequency = 44100;
    std::vector<std::uint8_t> header = AdqPayload(f);
    std::uint32_t pcm = 0, rate = 0, stereo = 9;
    ASSERT_EQ(Adpcm_GetInfo(header.data(), header.size(), &pcm, &rate, &stereo), kAdpcmOk);
    EXPECT_EQ(stereo, c.stereo) << c.flags;
    EXPECT_EQ(pcm, c.pcm_size) << c.flags;
    EXPECT_EQ(rate, 44100u);
  }
}

TEST_F(AdpcmTest, InitStreamFillsTheRecordOrLeavesItUntouched) {
  AdqFields f;
  f.sample_count = 555;
  f.frequency = 11025;
  f.left_predictor = -300;
  f.right_predictor = 40000;
  f.flags = 1;
  std::vector<std::uint8_t> payload = AdqPayload(f, {1, 2, 3});
  StreamDatas s;
  s.held_byte = 9;
  s.nibble_phase = 1;
  s.left_index = 50;
  ASSERT_EQ(Adpcm_InitStream(payload.data(), payload.size(), &s), kAdpcmOk);
  EXPECT_EQ(s.stereo, 1u);
  EXPECT_EQ(s.data, payload.data() + 32);
  EXPECT_EQ(s.data_end, payload.data() + payload.size());
  EXPECT_EQ(s.nibble_phase, 0u);
  EXPECT_EQ(s.frequency, 11025u);
  EXPECT_EQ(s.total_frames, 555u);
  EXPECT_EQ(s.remaining_frames, 555u);
  EXPECT_EQ(s.left_predictor, -300);
  EXPECT_EQ(s.right_predictor, 40000);
  EXPECT_EQ(s.left_index, 0u);
  EXPECT_EQ(s.right_index, 0u);
  EXPECT_EQ(s.left_step, 7);
  EXPECT_EQ(s.right_step, 7);
  EXPECT_EQ(s.held_byte, 0);

  StreamDatas before = s;
  payload[9] = '5';  // version "1.50"
  EXPECT_EQ(Adpcm_InitStream(payload.data(), payload.size(), &s), kAdpcmBadAdqVersion);
  EXPECT_EQ(Adpcm_InitStream(nullptr, payload.size(), &s), kAdpcmBufferMissing);
  EXPECT_EQ(Adpcm_InitStream(nullptr, payload.size(), nullptr), kAdpcmBufferMissing);
  EXPECT_EQ(Adpcm_InitStream(payload.data(), payload.size(), nullptr), kAdpcmStreamMissing);
  EXPECT_EQ(s.remaining_frames, before.remaining_frames);
  EXPECT_EQ(s.data, before.data);
  EXPECT_EQ(s.left_predictor, before.left_predictor);
}

TEST_F(AdpcmTest, MessageTextsAndTheirLookup) {
  std::string text;
  EXPECT_EQ(Adpcm_GetErrorText(0, &text), kAdpcmOk);
  EXPECT_EQ(text, "The request completed successfully.");
  EXPECT_EQ(Adpcm_GetErrorText(2, &text), kAdpcmOk);
  EXPECT_EQ(text, "You must call Adpcm_Init() first.");
  EXPECT_EQ(Adpcm_GetErrorText(3, &text), kAdpcmOk);
  EXPECT_EQ(text, "PcmSize parameter must be even (Pcm samples are 16 bits).");
  EXPECT_EQ(Adpcm_GetErrorText(13, &text), kAdpcmOk);
  EXPECT_EQ(text, "File is not a valid ADQ file.");
  EXPECT_EQ(Adpcm_GetErrorText(14, &text), kAdpcmOk);
  EXPECT_EQ(text, "Invalid ADQ file version.");
  std::string six, ten;
  Adpcm_GetErrorText(6, &six);
  Adpcm_GetErrorText(10, &ten);
  EXPECT_EQ(six, "AdpcmBuf parameter must not be NULL.");
  EXPECT_EQ(six, ten);
  for (int code : {15, 16, -1, 1000}) {
    text.clear();
    EXPECT_EQ(Adpcm_GetErrorText(code, &text), kAdpcmUnknownCode) << code;
    EXPECT_EQ(text, "Unknown ErrorCode parameter") << code;
  }
  EXPECT_EQ(Adpcm_GetErrorText(0, nullptr), kAdpcmOutputTextMissing);
  EXPECT_STREQ(Adpcm_ErrorText(16), "szOutStr parameter must not be NULL.");
  EXPECT_STREQ(Adpcm_ErrorText(11), "fStereo parameter must not be NULL.");
}

TEST_F(AdpcmTest, MonoDecodesHighNibbleFirstAndAdaptsTheStep) {
  StreamDatas s = Stream({}, {0x70, 0x78, 0x80});
  // Code 7 at step 7: 0 + 7 + 3 + 1 = 11, index 8 (step 16); code 0: 16 >> 3 = 2, index 7.
  EXPECT_EQ(Decode(s, 2), (std::vector<std::int16_t>{11, 13}));
  EXPECT_EQ(s.left_index, 7u);
  EXPECT_EQ(s.left_step, 14);
  EXPECT_EQ(s.left_predictor, 13);
  EXPECT_EQ(s.data, payload_.data() + 33);
  EXPECT_EQ(s.remaining_frames, 998u);
  // Code 7 at step 14: 1 + 14 + 7 + 3 = 25 -> 38, index 15 (step 31); code 8 (minus, magnitude
  // 0) at step 31 subtracts 31 >> 3 = 3 -> 35. Code 8 at step 7 would change nothing (see below).
  EXPECT_EQ(Decode(s, 2), (std::vector<std::int16_t>{38, 35}));

  StreamDatas fresh = Stream({}, {0x80});
  EXPECT_EQ(Decode(fresh, 2), (std::vector<std::int16_t>{0, 0}));
}

TEST_F(AdpcmTest, StereoBytesHoldLeftThenRight) {
  AdqFields f;
  f.flags = 1;
  f.right_predictor = 100;
  StreamDatas s = Stream(f, {0x1F});
  // Left code 1: 7 >> 2 = 1. Right code 15: -(0 + 7 + 3 + 1) = -11 from 100, index 8.
  EXPECT_EQ(Decode(s, 1), (std::vector<std::int16_t>{1, 89}));
  EXPECT_EQ(s.left_index, 0u);
  EXPECT_EQ(s.right_index, 8u);
  EXPECT_EQ(s.right_step, 16);
  EXPECT_EQ(s.nibble_phase, 0u);
  EXPECT_EQ(s.data, payload_.data() + 33);
}

TEST_F(AdpcmTest, PredictorIsNotClampedAndTheSampleIsItsLow16Bits) {
  AdqFields f;
  f.left_predictor = 32760;
  StreamDatas s = Stream(f, {0x70});
  s.left_index = 88;
  s.left_step = 32767;
  // 32760 + 32767 + 16383 + 8191 + 4095 = 94196; 94196 - 65536 = 28660.
  EXPECT_EQ(Decode(s, 1), (std::vector<std::int16_t>{28660}));
  EXPECT_EQ(s.left_predictor, 94196);
  EXPECT_EQ(s.left_index, 88u);
}

TEST_F(AdpcmTest, StepIndexStaysWithin0And88) {
  std::vector<std::uint8_t> codes(12, 0x77);  // 24 codes of +8: 11 reach 88
  codes.resize(12 + 100, 0x00);               // 200 codes of -1
  StreamDatas s = Stream({100000}, codes);
  Decode(s, 24);
  EXPECT_EQ(s.left_index, 88u);
  EXPECT_EQ(s.left_step, 32767);
  Decode(s, 200);
  EXPECT_EQ(s.left_index, 0u);
  EXPECT_EQ(s.left_step, 7);
}

TEST_F(AdpcmTest, ShortfallWhenTheStreamEnds) {
  StreamDatas s = Stream({4}, {0x11, 0x11, 0x11, 0x11});
  std::int32_t shortfall = -1;
  EXPECT_EQ(Decode(s, 10, &shortfall).size(), 4u);
  EXPECT_EQ(shortfall, 6);
  EXPECT_EQ(s.remaining_frames, 0u);
  EXPECT_EQ(s.data, payload_.data() + 34);
  // Exhausted: nothing read or written, the output pointer stays, still success.
  std::vector<std::uint8_t> pcm(4, 0xEE);
  std::uint8_t* out = pcm.data();
  EXPECT_EQ(Adpcm_Decode(&out, &s, 3, &shortfall), kAdpcmOk);
  EXPECT_EQ(out, pcm.data());
  EXPECT_EQ(shortfall, 3);
  EXPECT_EQ(pcm, std::vector<std::uint8_t>(4, 0xEE));
}

TEST_F(AdpcmTest, HeldLowNibbleCarriesOverEvenWhenTheCursorMoves) {
  StreamDatas s = Stream({}, {0x12, 0x34});
  // Codes 1, 2, 3 at step 7 add 1, 3, 4.
  EXPECT_EQ(Decode(s, 3), (std::vector<std::int16_t>{1, 4, 8}));
  EXPECT_EQ(s.nibble_phase, 1u);
  EXPECT_EQ(s.held_byte, 0x34);
  EXPECT_EQ(s.data, payload_.data() + 34);

  std::vector<std::uint8_t> next_chunk = {0x56};
  s.data = next_chunk.data();
  s.data_end = next_chunk.data() + next_chunk.size();
  // Code 4 (the held low nibble) adds 7 -> 15, index 2 (step 9); no byte is read.
  EXPECT_EQ(Decode(s, 1), (std::vector<std::int16_t>{15}));
  EXPECT_EQ(s.data, next_chunk.data());
  // Code 5 at step 9: 1 + 9 + 2 = 12 -> 27, index 6 (step 13); code 6: 1 + 13 + 6 = 20 -> 47.
  EXPECT_EQ(Decode(s, 2), (std::vector<std::int16_t>{27, 47}));
  EXPECT_EQ(s.data, next_chunk.data() + 1);
  EXPECT_EQ(s.left_index, 12u);
}

TEST_F(AdpcmTest, CodesPastTheDataEndAreSilenceAndCounted) {
  StreamDatas mono = Stream({}, {0x11, 0x11});
  std::int32_t shortfall = -1, starved = -1;
  EXPECT_EQ(Decode(mono, 6, &shortfall, &starved), (std::vector<std::int16_t>{1, 2, 3, 4, 0, 0}));
  EXPECT_EQ(starved, 2);
  EXPECT_EQ(shortfall, 0);
  EXPECT_EQ(mono.remaining_frames, 994u);
  EXPECT_EQ(mono.left_predictor, 4);
  EXPECT_EQ(mono.data, mono.data_end);

  AdqFields f;
  f.flags = 1;
  StreamDatas stereo = Stream(f, {0x11});
  EXPECT_EQ(Decode(stereo, 3, &shortfall, &starved), (std::vector<std::int16_t>{1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(starved, 2);

  // A cursor with no data at all, or past its end, reads nothing.
  StreamDatas none = Stream({}, {});
  none.data = nullptr;
  EXPECT_EQ(Decode(none, 2, &shortfall, &starved), (std::vector<std::int16_t>{0, 0}));
  EXPECT_EQ(starved, 2);
}

TEST_F(AdpcmTest, MissingOutputOrRecordIsRefused) {
  StreamDatas s = Stream({}, {0x11});
  std::int32_t shortfall = 0;
  std::uint8_t* null_out = nullptr;
  EXPECT_EQ(Adpcm_Decode(nullptr, &s, 1, &shortfall), kAdpcmPcmSizeZero);
  EXPECT_EQ(Adpcm_Decode(&null_out, &s, 1, &shortfall), kAdpcmPcmSizeZero);
  std::uint8_t pcm[4];
  std::uint8_t* out = pcm;
  EXPECT_EQ(Adpcm_Decode(&out, nullptr, 1, &shortfall), kAdpcmBufferMissing);
  EXPECT_EQ(s.remaining_frames, 1000u);
}

// The decoding rules spelled out one code at a time, for comparison with the library.
struct PlainChannel {
  std::int32_t predictor = 0;
  std::int32_t index = 0;
  std::int32_t step = 7;
  std::int16_t Decode(unsigned code) {
    std::int32_t d = step >> 3;
    if (code & 4) d += step;
    if (code & 2) d += step >> 1;
    if (code & 1) d += step >> 2;
    if (code & 8) d = -d;
    predictor = static_cast<std::int32_t>(static_cast<std::uint32_t>(predictor) +
                                          static_cast<std::uint32_t>(d));
    static constexpr int kAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
    index += kAdjust[code & 7];
    if (index < 0) index = 0;
    if (index > 88) index = 88;
    step = adpcm_tables::kStepSize[static_cast<std::size_t>(index)];
    return static_cast<std::int16_t>(predictor & 0xFFFF);
  }
};

TEST_F(AdpcmTest, StepTableAnchors) {
  EXPECT_EQ(adpcm_tables::kStepSize[0], 7);
  EXPECT_EQ(adpcm_tables::kStepSize[8], 16);
  EXPECT_EQ(adpcm_tables::kStepSize[15], 31);
  EXPECT_EQ(adpcm_tables::kStepSize[44], 494);
  EXPECT_EQ(adpcm_tables::kStepSize[88], 32767);
  for (int i = 1; i < 89; ++i)
    EXPECT_GT(adpcm_tables::kStepSize[i], adpcm_tables::kStepSize[i - 1]);
}

TEST_F(AdpcmTest, LongStreamsInUnevenPiecesMatchThePlainRules) {
  std::mt19937 random(12345);
  for (std::uint32_t stereo : {0u, 1u}) {
    std::vector<std::uint8_t> codes(6000);
    for (auto& c : codes) c = static_cast<std::uint8_t>(random());
    AdqFields f;
    f.flags = stereo;
    f.sample_count = stereo ? 6000 : 12000;
    f.left_predictor = -20000;
    f.right_predictor = 31000;
    StreamDatas s = Stream(f, codes);

    PlainChannel left, right;
    left.predictor = f.left_predictor;
    right.predictor = f.right_predictor;
    std::vector<std::int16_t> expected;
    for (std::uint8_t byte : codes) {
      expected.push_back(left.Decode(byte >> 4));
      expected.push_back((stereo ? right : left).Decode(byte & 15u));
    }

    std::vector<std::int16_t> got;
    while (s.remaining_frames > 0) {
      const auto piece = static_cast<std::int32_t>(random() % 37);
      std::vector<std::int16_t> samples = Decode(s, piece);
      got.insert(got.end(), samples.begin(), samples.end());
    }
    EXPECT_EQ(got, expected) << (stereo ? "stereo" : "mono");
    EXPECT_EQ(s.left_predictor, left.predictor);
    EXPECT_EQ(s.left_index, static_cast<std::uint32_t>(left.index));
  }
}

}  // namespace
}  // namespace tarvel
