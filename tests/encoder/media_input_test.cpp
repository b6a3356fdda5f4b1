// The encoder's inputs: YUV4MPEG2 headers, pictures and their colour conversion, WAV files,
// their errors, and the choice and conversion of sample rates.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "encoder/media_input.h"
#include "encoder/movie_writer.h"

namespace tarvel {
namespace {

// A scratch file removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const std::string& tag)
      : path_(testing::TempDir() + "encoder_" + tag + "_" +
              testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }
  void Write(const std::string& bytes) const {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }

 private:
  std::string path_;
};

std::string Planes(int count, char value) {
  return std::string(static_cast<std::size_t>(count), value);
}

// Opens `text` as a y4m stream; returns the error of the open, or of the first picture.
std::string Y4mError(const std::string& text) {
  TempFile file("y4m");
  file.Write(text);
  Y4mReader reader;
  std::string error;
  if (!Y4mReader_Open(reader, file.path(), &error)) return error;
  RgbPicture picture;
  const int got = Y4mReader_Next(reader, &picture, &error);
  Y4mReader_Close(reader);
  return got < 0 ? error : "";
}

TEST(Y4mInput, ConvertsLimitedAndFullRangeToRgb) {
  // 2x2 pictures in 4:4:4. Limited range: Y 16 is black, 235 white; a pixel with Cr 240 and
  // Y 81, Cb 90 is close to pure red: R = 1.164 * 65 + 1.596 * 112 = 254.4, G = 75.7 - 0.392 *
  // (-38) - 0.813 * 112 = -0.5 -> 0, B = 75.7 + 2.017 * (-38) = -0.9 -> 0.
  TempFile file("limited");
  std::string y = {16, static_cast<char>(235), 81, 126};
  std::string cb = {static_cast<char>(128), static_cast<char>(128), 90, static_cast<char>(128)};
  std::string cr = {static_cast<char>(128), static_cast<char>(128), static_cast<char>(240),
                    static_cast<char>(128)};
  file.Write("YUV4MPEG2 W2 H2 F30000:1001 Ip A1:1 C444\nFRAME\n" + y + cb + cr);
  Y4mReader reader;
  std::string error;
  ASSERT_TRUE(Y4mReader_Open(reader, file.path(), &error)) << error;
  EXPECT_EQ(30000, reader.rate_numerator);
  EXPECT_EQ(1001, reader.rate_denominator);
  RgbPicture picture;
  ASSERT_EQ(1, Y4mReader_Next(reader, &picture, &error)) << error;
  const std::uint8_t* p = picture.Pixel(0, 0);
  EXPECT_EQ(0, p[0] | p[1] | p[2]);
  p = picture.Pixel(1, 0);
  EXPECT_EQ(255, p[0] & p[1] & p[2]);
  p = picture.Pixel(0, 1);
  EXPECT_EQ(254, p[0]);
  EXPECT_EQ(0, p[1]);
  EXPECT_EQ(0, p[2]);
  p = picture.Pixel(1, 1);  // Y 126: 1.164 * 110 = 128.1
  EXPECT_EQ(128, p[0]);
  EXPECT_EQ(0, Y4mReader_Next(reader, &picture, &error));  // clean end
  Y4mReader_Close(reader);

  TempFile full("full");
  full.Write("YUV4MPEG2 W2 H2 F25:1 C444 XCOLORRANGE=FULL\nFRAME\n" + Planes(4, 100) +
             Planes(4, static_cast<char>(128)) + Planes(4, static_cast<char>(128)));
  ASSERT_TRUE(Y4mReader_Open(reader, full.path(), &error)) << error;
  EXPECT_TRUE(reader.full_range);
  ASSERT_EQ(1, Y4mReader_Next(reader, &picture, &error));
  EXPECT_EQ(100, picture.Pixel(1, 1)[1]);  // full range keeps the code as it is
  Y4mReader_Close(reader);
}

TEST(Y4mInput, SubsampledChromaCoversTwoByTwoAndTwoByOne) {
  // 4x2 in 4:2:0: chroma planes of 2x1. The right half's Cb is 255: blue rises there only.
  TempFile file("420");
  file.Write(std::string("YUV4MPEG2 W4 H2 C420jpeg XCOLORRANGE=FULL\nFRAME\n") + Planes(8, 100) +
             std::string{static_cast<char>(128), static_cast<char>(255)} +
             std::string{static_cast<char>(128), static_cast<char>(128)});
  Y4mReader reader;
  std::string error;
  ASSERT_TRUE(Y4mReader_Open(reader, file.path(), &error)) << error;
  RgbPicture picture;
  ASSERT_EQ(1, Y4mReader_Next(reader, &picture, &error)) << error;
  for (int y = 0; y < 2; ++y) {
    EXPECT_EQ(100, picture.Pixel(0, y)[2]);
    EXPECT_EQ(100, picture.Pixel(1, y)[2]);
    EXPECT_EQ(255, picture.Pixel(2, y)[2]);  // 100 + 1.772 * 127 clipped
    EXPECT_EQ(255, picture.Pixel(3, y)[2]);
  }
  Y4mReader_Close(reader);
}

TEST(Y4mInput, PicturesLargerThanOneReadArriveWhole) {
  // 2048 x 2100 grey levels (4,300,800 bytes, more than the reader takes at once): black but for
  // a white last pixel and a white pixel on each side of the 4 MiB mark.
  constexpr int kWidth = 2048, kHeight = 2100;
  std::string luma = Planes(kWidth * kHeight, 16);
  luma[(1 << 22) - 1] = static_cast<char>(235);
  luma[1 << 22] = static_cast<char>(235);
  luma.back() = static_cast<char>(235);
  TempFile file("large");
  file.Write("YUV4MPEG2 W2048 H2100 Cmono\nFRAME\n" + luma);
  Y4mReader reader;
  std::string error;
  ASSERT_TRUE(Y4mReader_Open(reader, file.path(), &error)) << error;
  RgbPicture picture;
  ASSERT_EQ(1, Y4mReader_Next(reader, &picture, &error)) << error;
  const int mark = 1 << 22;  // pixel index of the first byte of the second read
  EXPECT_EQ(0, picture.Pixel((mark - 2) % kWidth, (mark - 2) / kWidth)[1]);
  EXPECT_EQ(255, picture.Pixel((mark - 1) % kWidth, (mark - 1) / kWidth)[1]);
  EXPECT_EQ(255, picture.Pixel(mark % kWidth, mark / kWidth)[1]);
  EXPECT_EQ(0, picture.Pixel((mark + 1) % kWidth, (mark + 1) / kWidth)[1]);
  EXPECT_EQ(255, picture.Pixel(kWidth - 1, kHeight - 1)[0]);
  EXPECT_EQ(0, Y4mReader_Next(reader, &picture, &error));
  Y4mReader_Close(reader);
}

TEST(Y4mInput, BadStreamsGiveOneLineReasons) {
  EXPECT_NE(std::string::npos, Y4mError("").find("empty"));
  EXPECT_NE(std::string::npos, Y4mError("RIFF....\n").find("YUV4MPEG2"));
  EXPECT_NE(std::string::npos, Y4mError("YUV4MPEG2 W0 H2\n").find("size"));
  EXPECT_NE(std::string::npos, Y4mError("YUV4MPEG2 Wx H2\n").find("width"));
  EXPECT_NE(std::string::npos, Y4mError("YUV4MPEG2 W2 H2 C420p10\n").find("C420p10"));
  EXPECT_NE(std::string::npos, Y4mError("YUV4MPEG2 W2 H2 F0:1\n").find("frame rate"));
  EXPECT_NE(std::string::npos,
            Y4mError("YUV4MPEG2 W2 H2 C444\nFRAME\n" + Planes(5, 1)).find("truncated"));
  EXPECT_NE(std::string::npos,
            Y4mError("YUV4MPEG2 W2 H2 C444\nFRAMX\n" + Planes(12, 1)).find("FRAME"));
  EXPECT_EQ("", Y4mError("YUV4MPEG2 W2 H2 C444\nFRAME Ixyz\n" + Planes(12, 1)));
  // A header promising a picture of 805 MB over a few bytes of data.
  EXPECT_NE(std::string::npos,
            Y4mError("YUV4MPEG2 W16384 H16384 C444\nFRAME\n" + Planes(10, 1)).find("truncated"));
  Y4mReader reader;
  std::string error;
  EXPECT_FALSE(Y4mReader_Open(reader, testing::TempDir() + "no/such/file.y4m", &error));
  EXPECT_NE(std::string::npos, error.find("cannot open"));
}

// A stream that fails after its bytes, as a failing disk does.
ssize_t ReadThenFail(void* cookie, char* buffer, std::size_t size) {
  auto* rest = static_cast<std::string*>(cookie);
  if (rest->empty()) {
    errno = EIO;
    return -1;
  }
  const std::size_t n = std::min(size, rest->size());
  std::memcpy(buffer, rest->data(), n);
  rest->erase(0, n);
  return static_cast<ssize_t>(n);
}

// A read that fails is said so, never taken for the end of the stream (where a picture ends, it
// made a shorter movie with success) nor for an empty one.
TEST(Y4mInput, AReadThatFailsIsNoEnd) {
  for (std::string bytes : {std::string(), "YUV4MPEG2 W2 H2 C444\nFRAME\n" + Planes(12, 1)}) {
    const bool empty = bytes.empty();
    std::FILE* file = fopencookie(&bytes, "r", {ReadThenFail, nullptr, nullptr, nullptr});
    ASSERT_NE(nullptr, file);
    Y4mReader reader;
    std::string error;
    RgbPicture picture;
    if (empty) {
      EXPECT_FALSE(Y4mReader_OpenStream(reader, file, "disk.y4m", &error));
      EXPECT_EQ(std::string("cannot read: ") + std::strerror(EIO), error);
    } else {
      ASSERT_TRUE(Y4mReader_OpenStream(reader, file, "disk.y4m", &error)) << error;
      EXPECT_EQ(1, Y4mReader_Next(reader, &picture, &error)) << error;
      EXPECT_EQ(-1, Y4mReader_Next(reader, &picture, &error));
      EXPECT_EQ(std::string("picture 1: cannot read: ") + std::strerror(EIO), error);
    }
    std::fclose(file);
  }
}

std::string Le16(int v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}
std::string Le32(std::uint32_t v) {
  return Le16(static_cast<int>(v & 0xFFFF)) + Le16(static_cast<int>(v >> 16));
}

std::string Wav(int format, int channels, std::uint32_t rate, int bits, const std::string& data,
                bool extra_chunk = false) {
  std::string fmt = "fmt " + Le32(16) + Le16(format) + Le16(channels) + Le32(rate) +
                    Le32(rate * static_cast<std::uint32_t>(channels * bits / 8)) +
                    Le16(channels * bits / 8) + Le16(bits);
  std::string body = "WAVE" + fmt;
  if (extra_chunk) body += "LIST" + Le32(3) + "abc" + std::string(1, '\0');  // odd: padded
  body += "data" + Le32(static_cast<std::uint32_t>(data.size())) + data;
  return "RIFF" + Le32(static_cast<std::uint32_t>(body.size())) + body;
}

TEST(WavInput, ReadsSixteenBitPcmAndSkipsOtherChunks) {
  const std::string data = Le16(1000) + Le16(-2) + Le16(32767) + Le16(-32768);
  PcmSound sound;
  std::string error;
  const std::string stereo = Wav(1, 2, 44100, 16, data, true);
  ASSERT_TRUE(
      ParseWav(reinterpret_cast<const std::uint8_t*>(stereo.data()), stereo.size(), &sound, &error))
      << error;
  EXPECT_EQ(44100u, sound.sample_rate);
  EXPECT_EQ(2, sound.channels);
  EXPECT_EQ((std::vector<std::int16_t>{1000, -2, 32767, -32768}), sound.samples);
  EXPECT_EQ(2u, sound.Frames());
  // A data length past the end of the file (as a streaming writer leaves it) reads what is there.
  std::string cut = Wav(1, 1, 8000, 16, data);
  cut.resize(cut.size() - 3);
  ASSERT_TRUE(
      ParseWav(reinterpret_cast<const std::uint8_t*>(cut.data()), cut.size(), &sound, &error));
  EXPECT_EQ(2u, sound.Frames());
  // An RF64 file (a recorder's, or one written past 4 GiB) gives the data's size in its ds64
  // chunk: the chunk after the data is no sound.
  const std::string wave = Wav(1, 1, 8000, 16, Le16(7) + Le16(-7));
  const std::string rf64 = "RF64" + Le32(0xFFFFFFFFu) + "WAVE" + "ds64" + Le32(28) + Le32(50) +
                           Le32(0) + Le32(4) + Le32(0) + Le32(2) + Le32(0) + Le32(0) +
                           wave.substr(12, 24) + "data" + Le32(0xFFFFFFFFu) + wave.substr(44) +
                           "LIST" + Le32(4) + "abcd";
  ASSERT_TRUE(
      ParseWav(reinterpret_cast<const std::uint8_t*>(rf64.data()), rf64.size(), &sound, &error))
      << error;
  EXPECT_EQ((std::vector<std::int16_t>{7, -7}), sound.samples);
}

// A WAVE_FORMAT_EXTENSIBLE fmt chunk: the sub-format's first two bytes carry the format tag.
std::string ExtensibleWav(int sub_format, int bits, const std::string& data) {
  std::string fmt = "fmt " + Le32(40) + Le16(0xFFFE) + Le16(1) + Le32(48000) +
                    Le32(48000u * static_cast<std::uint32_t>(bits / 8)) + Le16(bits / 8) +
                    Le16(bits) + Le16(22) + Le16(bits) + Le32(4) + Le16(sub_format) +
                    std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
  std::string body = "WAVE" + fmt + "data" + Le32(static_cast<std::uint32_t>(data.size())) + data;
  return "RIFF" + Le32(static_cast<std::uint32_t>(body.size())) + body;
}

std::string Le24(std::int32_t v) {
  return Le16(v & 0xFFFF) + std::string(1, static_cast<char>((v >> 16) & 0xFF));
}
std::string Float32(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return Le32(bits);
}

TEST(WavInput, ReadsIntegerAndFloatSamplesAsSixteenBitRounded) {
  auto samples_of = [](const std::string& bytes) {
    PcmSound sound;
    std::string error;
    EXPECT_TRUE(
        ParseWav(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &sound, &error))
        << error;
    return sound.samples;
  };
  using Samples = std::vector<std::int16_t>;
  // 8-bit is unsigned around 128.
  EXPECT_EQ((Samples{0, 32512, -32768}),
            samples_of(Wav(1, 1, 8000, 8, std::string("\x80\xFF\x00", 3))));
  // 0x123456 / 256 = 4660.34; full scale rounds past 32767 and saturates.
  EXPECT_EQ((Samples{4660, 32767, -32768, -1}),
            samples_of(Wav(1, 1, 8000, 24,
                           Le24(0x123456) + Le24(0x7FFFFF) + Le24(-0x800000) + Le24(-200))));
  // 0x12345678 / 65536 = 4660.34; -0x18000 / 65536 = -1.5 rounds away from zero.
  EXPECT_EQ((Samples{4660, -2}),
            samples_of(Wav(1, 1, 8000, 32, Le32(0x12345678) + Le32(0xFFFE8000u))));
  // Float full scale is 1.0 (x 32768), clipped, however far past it; NaN is silence.
  const std::string floats = Float32(0.5f) + Float32(-1.0f) + Float32(1.0f) + Float32(2.0f) +
                             Float32(1e-5f) + Float32(std::nanf("")) + Float32(1e30f) +
                             Float32(INFINITY) + Float32(-INFINITY);
  const Samples clipped{16384, -32768, 32767, 32767, 0, 0, 32767, 32767, -32768};
  EXPECT_EQ(clipped, samples_of(Wav(3, 1, 8000, 32, floats)));
  EXPECT_EQ(clipped, samples_of(ExtensibleWav(3, 32, floats)));
  EXPECT_EQ((Samples{4660}), samples_of(ExtensibleWav(1, 24, Le24(0x123456))));
  // A streaming writer's data size of all ones (or 0) means up to the end.
  std::string streamed = Wav(1, 1, 8000, 16, Le16(7) + Le16(-7));
  for (std::uint32_t size : {0xFFFFFFFFu, 0u}) {
    const std::string length = Le32(size);
    streamed.replace(streamed.size() - 8, 4, length);
    EXPECT_EQ((Samples{7, -7}), samples_of(streamed));
  }
  // But a data chunk that is really empty, followed by a chunk the RIFF size counts, holds no
  // sound: the chunk after it is not read as samples.
  const std::string list = "LIST" + Le32(4) + "INFO";
  std::string empty = Wav(1, 1, 8000, 16, "") + list;
  empty.replace(4, 4, Le32(4 + 24 + 8 + 12));
  EXPECT_EQ(Samples{}, samples_of(empty));
}

TEST(WavInput, RefusesWhatItCannotRead) {
  auto error_of = [](const std::string& bytes) {
    PcmSound sound;
    std::string error;
    EXPECT_FALSE(ParseWav(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &sound,
                          &error));
    return error;
  };
  EXPECT_NE(std::string::npos, error_of("RIFX0000WAVE").find("RIFF WAVE"));
  EXPECT_NE(std::string::npos, error_of(Wav(2, 1, 8000, 4, "abcd")).find("tag 2, 4 bits"));
  EXPECT_NE(std::string::npos, error_of(Wav(3, 1, 8000, 64, "abcdefgh")).find("tag 3, 64 bits"));
  EXPECT_NE(std::string::npos, error_of(Wav(1, 1, 8000, 12, "ab")).find("12 bits"));
  EXPECT_NE(std::string::npos, error_of(Wav(1, 3, 8000, 16, "abcdef")).find("3 channels"));
  // Rates far below any stored one would be stretched thousands of times when resampled.
  EXPECT_NE(std::string::npos, error_of(Wav(1, 1, 999, 16, "ab")).find("999 Hz out of range"));
  EXPECT_NE(std::string::npos, error_of(Wav(1, 1, 384001, 16, "ab")).find("out of range"));
  std::string no_data = Wav(1, 1, 8000, 16, "");
  no_data.resize(12 + 24);  // RIFF header and fmt chunk only
  EXPECT_NE(std::string::npos, error_of(no_data).find("no data"));
  PcmSound sound;
  std::string error;
  EXPECT_FALSE(ReadWavFile(testing::TempDir() + "no/such.wav", &sound, &error));
  EXPECT_NE(std::string::npos, error.find("cannot open"));
  // A read that fails inside the samples says why, as the video's does.
  std::string failing = Wav(1, 1, 8000, 16, Le16(7) + Le16(-7));
  failing.replace(40, 4, Le32(8));  // two samples more than the file holds before it fails
  std::FILE* file = fopencookie(&failing, "r", {ReadThenFail, nullptr, nullptr, nullptr});
  ASSERT_NE(nullptr, file);
  EXPECT_FALSE(ReadWavStream(file, "-", &sound, &error));
  EXPECT_EQ(std::string("cannot read: ") + std::strerror(EIO), error);
  std::fclose(file);
}

TEST(SampleRates, NearestRateWithWholeBytesPerPeriod) {
  EXPECT_EQ(22050u, RepresentableSampleRate(22050, 8, false));  // 882 samples per period
  // 15 frames per second is stored as duration 13: mono needs a multiple of 400 Hz.
  EXPECT_EQ(13, FrameDurationForRate(15.0));
  EXPECT_EQ(22000u, RepresentableSampleRate(22050, 13, false));
  EXPECT_EQ(48000u, RepresentableSampleRate(48000, 13, true));  // stereo: multiples of 200
  EXPECT_EQ(8000u, RepresentableSampleRate(4000, 8, false));    // raised to the lowest rate
  EXPECT_EQ(8, FrameDurationForRate(25.0));
  EXPECT_EQ(7, FrameDurationForRate(29.97));  // 200 / 29.97 = 6.67
  for (std::uint32_t rate : {11025u, 22050u, 32000u, 44100u, 48000u})
    for (int duration : {5, 7, 8, 10, 13, 16}) {
      const auto d = static_cast<std::uint16_t>(duration);
      const std::uint32_t chosen = RepresentableSampleRate(rate, d, false);
      EXPECT_NE(0u, SamplesPerPeriod(chosen, d, false)) << rate << " " << duration;
    }
}

TEST(SampleRates, ResamplingKeepsPitchAndLevel) {
  PcmSound in;
  in.sample_rate = 44100;
  in.channels = 1;
  for (int i = 0; i < 44100; ++i)
    in.samples.push_back(
        static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * 1000 * i / 44100.0)));
  PcmSound out;
  ResampleSound(in, 22000, &out);
  ASSERT_EQ(22000u, out.Frames());
  // A 1 kHz tone at 22 kHz: compare with the ideal samples away from the edges.
  double error = 0, signal = 0;
  for (int i = 100; i < 21900; ++i) {
    const double ideal = 10000 * std::sin(2 * M_PI * 1000 * i / 22000.0);
    error += (out.samples[i] - ideal) * (out.samples[i] - ideal);
    signal += ideal * ideal;
  }
  EXPECT_GT(10 * std::log10(signal / error), 40.0);
  // A stop asked for ends the conversion before its second second: an hour's sound held a
  // stopped encode for its whole conversion, seconds.
  PcmSound three_seconds = in;
  for (int i = 0; i < 2; ++i)
    three_seconds.samples.insert(three_seconds.samples.end(), in.samples.begin(), in.samples.end());
  static int asked;
  asked = 0;
  EXPECT_FALSE(ResampleSound(three_seconds, 22000, &out, [] { return ++asked == 2; }));
  EXPECT_EQ(2, asked);
}

}  // namespace
}  // namespace tarvel
