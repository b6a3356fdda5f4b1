// Feeds arbitrary bytes to the whole reading path as a movie file: header, frame walking,
// chunk walking, picture decoding (for picture sizes up to 256 x 256) and the per-frame sound,
// over two looping passes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/sound_period.h"
#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "video/video_decoder.h"

namespace {

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
  const bool pictures = IsSupportedPictureSize(header.width, header.height) &&
                        header.width * header.height <= 256 * 256;
  std::unique_ptr<VideoDecoder> decoder;
  if (pictures) decoder = VideoDecoder::Create(header.height, header.width, 15);
  Adpcm_Init(kAdpcmLibraryVersion);
  SoundStream sound;
  bool sound_on = header.sound;
  std::int32_t loop_mode = 1;
  std::vector<std::uint8_t> chunks, pcm;
  unsigned sum = 0;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass > 0 && !MovieReader_Rewind(reader)) break;
    for (std::int32_t n = 0; n < header.frame_count && n < 64; ++n) {
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
            sound.audio_frame_bytes <= 0 || sound.audio_frame_bytes > (1 << 16)) {
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
