// Feeds arbitrary bytes to the whole reading path as a movie file: header, frame walking,
// chunk walking, picture decoding and the per-frame sound, over two looping passes. Pictures
// are decoded only up to 64 x 64 pixels: larger sizes exercise the same code on more
// blocks and slow every run down; the video target covers wide pictures.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "audio/sound_period.h"
#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "video/video_decoder.h"

namespace {

constexpr std::int64_t kMaxPicturePixels = 64 * 64;
// Frames read in each pass: enough to reach delta frames, loops and the sound's lead periods.
constexpr std::int32_t kMaxFramesPerPass = 32;
// Bytes of sound per frame period: 22,050 Hz stereo at 5 frames per second, and less.
constexpr std::int32_t kMaxPeriodBytes = 1 << 14;

// Decoders are kept from run to run, one per picture size, and reset at the start of each:
// building the tables is most of the cost of a run that only reads a few frames.
tarvel::VideoDecoder* DecoderFor(std::uint16_t width, std::uint16_t height) {
  static std::map<std::pair<std::uint16_t, std::uint16_t>, std::unique_ptr<tarvel::VideoDecoder>>
      decoders;
  auto& decoder = decoders[{width, height}];
  if (!decoder) decoder = tarvel::VideoDecoder::Create(height, width, 15);
  if (decoder) decoder->Reset();
  return decoder.get();
}

void CountChunk(const char*, const std::uint8_t* payload, std::int32_t length, void* user) {
  // Touch the first and last payload bytes so the sanitizers see any bad range.
  auto* sum = static_cast<unsigned*>(user);
  if (length > 0) *sum += payload[0] + payload[length - 1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel;
  MovieReader reader;
  if (!MovieReader_OpenMemory(reader, data, size, nullptr)) return 0;
  const MovieHeader header = reader.header;
  // Sizes in 64 bits: two 16-bit sizes multiplied as int overflow.
  const bool pictures = IsSupportedPictureSize(header.width, header.height) &&
                        std::int64_t{header.width} * header.height <= kMaxPicturePixels;
  VideoDecoder* decoder = pictures ? DecoderFor(header.width, header.height) : nullptr;
  Adpcm_Init(kAdpcmLibraryVersion);
  SoundStream sound;
  bool sound_on = header.sound;
  std::int32_t loop_mode = 1;
  std::vector<std::uint8_t> chunks, pcm;
  unsigned sum = 0;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass > 0 && !MovieReader_Rewind(reader)) break;
    for (std::int32_t n = 0; n < header.frame_count && n < kMaxFramesPerPass; ++n) {
      if (MovieReader_Next(reader, chunks) != FrameRead::kOk) return 0;
      LoadedFrame frame{chunks.data(), static_cast<std::uint32_t>(chunks.size())};
      Frame_ForOtherChunks(frame, CountChunk, &sum);
      std::int32_t length = 0;
      const std::uint8_t* picture = Frame_FindChunk(frame, "IX", &length);
      if (picture && decoder) decoder->Decode(picture, static_cast<std::size_t>(length));
      if (!sound_on) continue;
      if (pass == 0 && n == 0) {
        const std::uint8_t* audio = Sound_FindAudioChunk(frame, &length);
        if (!audio || Sound_SetupStream(sound, audio, length) != kAdpcmOk ||
            sound.audio_frame_bytes <= 0 || sound.audio_frame_bytes > kMaxPeriodBytes) {
          sound_on = false;
          continue;
        }
      }
      const std::int32_t bytes =
          (pass == 0 && n == 0) ? sound.audio_frame_bytes * kLeadPeriods : sound.audio_frame_bytes;
      pcm.assign(static_cast<std::size_t>(bytes), 0);
      Sound_DecodeFramePeriod(sound, n, header.frame_count, loop_mode, frame, pcm.data(), bytes);
    }
  }
  return static_cast<int>(sum & 0);
}
