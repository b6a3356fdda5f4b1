// Which codes feed each frame period (own chunk, lead copy, silence), the loop schedule over
// two passes, the stream running short, and reads that must stay inside chunk and copy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/audio_builders.h"
#include "audio/sound_period.h"

namespace tarvel {
namespace {

using test_audio::AdqFields;
using test_audio::AdqPayload;
using test_audio::FrameBuilder;
using test_audio::SampleAt;
using test_audio::View;

// Mono movies with P = 4 ADPCM bytes per period: 16 PCM bytes, 8 samples.
constexpr std::int32_t kP = 4;
constexpr std::int32_t kPeriodBytes = 4 * kP;

struct Movie {
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::uint8_t> lead_payload;  // frame 0's sound payload
};

// Frame 0 carries `lead_codes` (32 periods, 128 bytes) after the header; the other frames
// carry `codes` (P bytes each) in an "AA" chunk.
Movie MakeMovie(int frame_count, const AdqFields& fields,
                const std::vector<std::uint8_t>& lead_codes,
                const std::vector<std::uint8_t>& codes) {
  Movie m;
  m.lead_payload = AdqPayload(fields, lead_codes);
  m.frames.push_back(FrameBuilder().Chunk("IX", {1, 2, 3}).Chunk("AA", m.lead_payload).Build());
  for (int i = 1; i < frame_count; ++i) {
    m.frames.push_back(FrameBuilder().Chunk("IX", {1}).Chunk("AA", codes).Build());
  }
  return m;
}

class SoundPeriodTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Adpcm_Init(kAdpcmLibraryVersion), kAdpcmOk); }

  void Start(Movie& movie) {
    std::int32_t length = 0;
    const std::uint8_t* payload = Sound_FindAudioChunk(View(movie.frames[0]), &length);
    ASSERT_NE(payload, nullptr);
    ASSERT_EQ(Sound_SetupStream(sound_, payload, length), kAdpcmOk);
    ASSERT_EQ(sound_.audio_frame_bytes, kPeriodBytes);
  }

  // One frame step's sound, as the device would get it: 32 periods at the start, else one.
  std::vector<std::uint8_t> Step(Movie& movie, int index, std::int32_t& loop_mode, bool first,
                                 SoundPeriodReport* report) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(first ? 32 : 1) * kPeriodBytes, 0xEE);
    EXPECT_EQ(Sound_DecodeFramePeriod(sound_, index, static_cast<std::int32_t>(movie.frames.size()),
                                      loop_mode, View(movie.frames[index]), out.data(),
                                      static_cast<std::int32_t>(out.size()), report),
              kSoundOk);
    return out;
  }

  SoundStream sound_;
};

TEST_F(SoundPeriodTest, SetupTakesFormatAndPeriodFromFrameZerosChunk) {
  AdqFields f;
  f.flags = 1;
  f.frequency = 11025;
  std::vector<std::uint8_t> payload = AdqPayload(f, std::vector<std::uint8_t>(32 * 5 + 31));
  ASSERT_EQ(Sound_SetupStream(sound_, payload.data(), static_cast<std::int32_t>(payload.size())),
            kAdpcmOk);
  EXPECT_EQ(sound_.audio_frame_bytes, 20);  // (223 - 32) / 32 = 5, remainder dropped
  EXPECT_EQ(sound_.stereo, 1u);
  EXPECT_EQ(sound_.sample_rate, 11025u);
  EXPECT_EQ(sound_.pcm_size, 4000u);

  // Less than one period of codes: a period of 0 bytes.
  ASSERT_EQ(Sound_SetupStream(sound_, payload.data(), 63), kAdpcmOk);
  EXPECT_EQ(sound_.audio_frame_bytes, 0);
  // Too short for the header, or a bad header: refused with the library's code.
  EXPECT_EQ(Sound_SetupStream(sound_, payload.data(), 20), kAdpcmNotAdqFile);
  payload[0] = 'v';
  EXPECT_EQ(Sound_SetupStream(sound_, payload.data(), 223), kAdpcmNotAdqFile);
}

// A looping 40-frame movie over two passes. The lead holds zero codes (the predictor stays at
// the header's 1234) except one code 1 opening period 31 (+1); every later frame's chunk holds
// codes 7, which move the predictor away.
TEST_F(SoundPeriodTest, LoopScheduleOverTwoPassesOfAFortyFrameMovie) {
  AdqFields f;
  f.sample_count = 100000;
  f.left_predictor = 1234;
  std::vector<std::uint8_t> lead(32 * kP, 0x00);
  lead[31 * kP] = 0x10;
  Movie movie = MakeMovie(40, f, lead, std::vector<std::uint8_t>(kP, 0x77));
  Start(movie);
  std::int32_t loop_mode = 1;

  for (int pass = 0; pass < 2; ++pass) {
    for (int n = 0; n < 40; ++n) {
      SCOPED_TRACE("pass " + std::to_string(pass) + " frame " + std::to_string(n));
      SoundPeriodReport r;
      std::vector<std::uint8_t> pcm = Step(movie, n, loop_mode, pass == 0 && n == 0, &r);
      EXPECT_EQ(r.starved_frames, 0);
      EXPECT_FALSE(r.stream_short);
      EXPECT_EQ(r.restarted, n == 9);
      if (n == 0 && pass == 0) {
        // All 32 lead periods from frame 0's own chunk, past its header.
        EXPECT_EQ(r.source, SoundSource::kOwnChunk);
        EXPECT_EQ(r.source_offset, 32);
        EXPECT_EQ(r.decoded_bytes, 32 * kPeriodBytes);
        EXPECT_EQ(loop_mode, 2);
        EXPECT_EQ(sound_.audio_lead_copy, movie.lead_payload);
        EXPECT_EQ(SampleAt(pcm, 247), 1234);  // last sample of period 30
        EXPECT_EQ(SampleAt(pcm, 248), 1235);  // first of period 31
      } else if (n == 0) {
        // Frame 0 of the second pass: lead period 31 at 31 x 16 / 4 + 32.
        EXPECT_EQ(r.source, SoundSource::kLeadCopy);
        EXPECT_EQ(r.source_offset, 156);
        EXPECT_EQ(SampleAt(pcm, 0), 1235);
      } else if (n < 9) {
        EXPECT_EQ(r.source, SoundSource::kOwnChunk);
        EXPECT_EQ(r.source_offset, 0);
        if (n == 1) {
          // From 1235 at index 0: code 7 adds 11, then at step 16 adds 30.
          EXPECT_EQ(SampleAt(pcm, 0), 1246);
          EXPECT_EQ(SampleAt(pcm, 1), 1276);
        }
      } else {
        // The last 31 frames replay lead periods 0 to 30, the stream restarted at frame 9:
        // back at the header's predictor.
        EXPECT_EQ(r.source, SoundSource::kLeadCopy);
        EXPECT_EQ(r.source_offset, 32 + (n - 9) * kP);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(SampleAt(pcm, i), 1234);
      }
    }
  }
  EXPECT_EQ(loop_mode, 2);
}

TEST_F(SoundPeriodTest, FramesWithoutSoundAreSilentAndBBStandsInForAA) {
  AdqFields f;
  f.sample_count = 100000;
  Movie movie = MakeMovie(4, f, std::vector<std::uint8_t>(32 * kP, 0x00), {});
  movie.frames[1] = FrameBuilder().Chunk("IX", {1}).Build();
  movie.frames[2] = FrameBuilder().Chunk("BB", {0x10, 0, 0, 0}).Build();
  movie.frames[3] =
      FrameBuilder().Chunk("BB", {0x10, 0, 0, 0}).Chunk("AA", {0x20, 0, 0, 0}).Build();
  Start(movie);
  std::int32_t loop_mode = 0;
  SoundPeriodReport r;
  Step(movie, 0, loop_mode, true, &r);
  const std::uint32_t remaining = sound_.adpcm_stream.remaining_frames;

  std::vector<std::uint8_t> pcm = Step(movie, 1, loop_mode, false, &r);
  EXPECT_EQ(r.source, SoundSource::kSilence);
  EXPECT_EQ(pcm, std::vector<std::uint8_t>(kPeriodBytes, 0));
  EXPECT_EQ(sound_.adpcm_stream.remaining_frames, remaining);

  // "BB" alone: code 1 adds 1 to the predictor 0.
  pcm = Step(movie, 2, loop_mode, false, &r);
  EXPECT_EQ(r.source, SoundSource::kOwnChunk);
  EXPECT_EQ(SampleAt(pcm, 0), 1);
  // Both: "AA" wins although it comes second; code 2 adds 3.
  pcm = Step(movie, 3, loop_mode, false, &r);
  EXPECT_EQ(SampleAt(pcm, 0), 4);
}

TEST_F(SoundPeriodTest, StreamEndingInsideAPeriodClearsItAndCountsFourBytesPerFrame) {
  AdqFields f;
  f.flags = 1;
  f.sample_count = 32 * kP + 3;  // 32 lead periods of 4 stereo frames, then 3 frames
  Movie movie = MakeMovie(3, f, std::vector<std::uint8_t>(32 * kP, 0x00),
                          std::vector<std::uint8_t>(kP, 0x11));
  Start(movie);
  std::int32_t loop_mode = 0;
  SoundPeriodReport r;
  Step(movie, 0, loop_mode, true, &r);
  EXPECT_FALSE(r.stream_short);

  std::vector<std::uint8_t> pcm = Step(movie, 1, loop_mode, false, &r);
  EXPECT_TRUE(r.stream_short);
  EXPECT_EQ(r.decoded_bytes, 12);
  // Three frames of left and right code 1 (+1 each), then a cleared frame.
  EXPECT_EQ(pcm, (std::vector<std::uint8_t>{1, 0, 1, 0, 2, 0, 2, 0, 3, 0, 3, 0, 0, 0, 0, 0}));

  pcm = Step(movie, 2, loop_mode, false, &r);
  EXPECT_TRUE(r.stream_short);
  EXPECT_EQ(r.decoded_bytes, 0);
  EXPECT_EQ(pcm, std::vector<std::uint8_t>(kPeriodBytes, 0));
}

// A looping mono 31-frame movie whose stream holds only a few samples: the second pass restarts
// at frame 0 (D = 31), b shrinks to 4 x remaining, and frame 0 then reads the lead at
// 31 x b / 4 + 32.
TEST_F(SoundPeriodTest, ShortMonoStreamAtTheLoopPointReadsOnlyInsideTheLeadCopy) {
  for (std::uint32_t samples : {4u, 5u}) {
    SCOPED_TRACE(samples);
    AdqFields f;
    f.sample_count = samples;
    std::vector<std::uint8_t> lead(32 * kP, 0x00);
    lead[0] = 0x70;         // 11, 13, then code 0: 14, 15
    lead[156 - 32] = 0x12;  // 1, 4
    lead[157 - 32] = 0x30;  // 8, 8
    Movie movie = MakeMovie(31, f, lead, std::vector<std::uint8_t>(kP, 0x77));
    sound_ = SoundStream{};
    Start(movie);
    std::int32_t loop_mode = 1;

    SoundPeriodReport r;
    std::vector<std::uint8_t> pcm = Step(movie, 0, loop_mode, true, &r);
    EXPECT_TRUE(r.stream_short);
    EXPECT_EQ(r.decoded_bytes, static_cast<std::int32_t>(4 * samples));
    EXPECT_EQ(SampleAt(pcm, 0), 11);
    EXPECT_EQ(SampleAt(pcm, 3), 15);
    EXPECT_EQ(SampleAt(pcm, samples), 0);  // the rest of the 32 periods is cleared
    for (int n = 1; n < 31; ++n) {
      pcm = Step(movie, n, loop_mode, false, &r);
      EXPECT_EQ(r.decoded_bytes, 0);
      EXPECT_EQ(pcm, std::vector<std::uint8_t>(kPeriodBytes, 0));
    }

    pcm = Step(movie, 0, loop_mode, false, &r);
    EXPECT_TRUE(r.restarted);
    EXPECT_EQ(r.source, SoundSource::kLeadCopy);
    if (samples == 4) {
      // b = 16: offset 124 + 32 = 156, inside the 160-byte copy.
      EXPECT_EQ(r.source_offset, 156);
      EXPECT_EQ(r.starved_frames, 0);
      EXPECT_EQ(pcm, (std::vector<std::uint8_t>{1, 0, 4, 0, 8, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    } else {
      // b = 20: offset 155 + 32 = 187, past the end of the copy: silence.
      EXPECT_EQ(r.source_offset, 187);
      EXPECT_EQ(r.starved_frames, 5);
      EXPECT_EQ(pcm, std::vector<std::uint8_t>(kPeriodBytes, 0));
    }
  }
}

TEST_F(SoundPeriodTest, ShortChunksDecodeWhatIsThereThenSilence) {
  AdqFields f;
  f.sample_count = 100000;
  Movie movie =
      MakeMovie(40, f, std::vector<std::uint8_t>(32 * kP, 0x11), {0x11, 0x11, 0x11, 0x11});
  Start(movie);
  // Frame 0's chunk cut to 10 bytes of codes (20 samples), frame 1's to one byte.
  std::vector<std::uint8_t> cut(movie.lead_payload.begin(), movie.lead_payload.begin() + 42);
  movie.frames[0] = FrameBuilder().Chunk("AA", cut).Build();
  movie.frames[1] = FrameBuilder().Chunk("AA", {0x11}).Build();
  std::int32_t loop_mode = 1;
  SoundPeriodReport r;
  std::vector<std::uint8_t> pcm = Step(movie, 0, loop_mode, true, &r);
  EXPECT_EQ(r.starved_frames, 256 - 20);
  EXPECT_EQ(SampleAt(pcm, 19), 20);  // code 1 adds 1 each time
  EXPECT_EQ(SampleAt(pcm, 20), 0);
  EXPECT_EQ(sound_.audio_lead_copy.size(), 42u);
  pcm = Step(movie, 1, loop_mode, false, &r);
  EXPECT_EQ(r.starved_frames, 6);
  EXPECT_EQ(pcm, (std::vector<std::uint8_t>{21, 0, 22, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // The next frame carries on from where the codes stopped.
  pcm = Step(movie, 2, loop_mode, false, &r);
  EXPECT_EQ(r.starved_frames, 0);
  EXPECT_EQ(SampleAt(pcm, 0), 23);
}

TEST_F(SoundPeriodTest, DescribeStreamForInfo) {
  AdqFields f;
  f.sample_count = 16000;
  f.frequency = 8000;
  std::vector<std::uint8_t> payload = AdqPayload(f, std::vector<std::uint8_t>(32 * kP));
  SoundStreamFacts facts = Sound_DescribeStream(payload.data(), 160, 40);
  EXPECT_EQ(facts.result, kAdpcmOk);
  EXPECT_DOUBLE_EQ(facts.duration_seconds, 2.0);
  EXPECT_EQ(facts.adpcm_bytes_per_period, 4);
  EXPECT_EQ(facts.samples_per_period, 8);
  EXPECT_EQ(facts.picture_samples, 320);
  EXPECT_EQ(facts.length_versus_pictures, 1);
  // Stereo: 4 sample frames per period; 160 span exactly 40 periods, not 41.
  f.flags = 1;
  f.sample_count = 160;
  payload = AdqPayload(f, std::vector<std::uint8_t>(32 * kP));
  EXPECT_EQ(Sound_DescribeStream(payload.data(), 160, 40).length_versus_pictures, 0);
  EXPECT_EQ(Sound_DescribeStream(payload.data(), 160, 41).length_versus_pictures, -1);
  payload[8] = '2';
  EXPECT_EQ(Sound_DescribeStream(payload.data(), 160, 40).result, kAdpcmBadAdqVersion);
}

}  // namespace
}  // namespace tarvel
