// Arbitrary bytes through the ADQ header readers, the decoder and the frame-period rules:
// nothing may be read or written outside the buffers given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/adpcm.h"
#include "audio/sound_period.h"

namespace {

using namespace tarvel;

// Reads a little value off the front of the input.
std::uint32_t Take(const std::uint8_t*& data, std::size_t& size, int bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes && size > 0; ++i, ++data, --size)
    value |= std::uint32_t{*data} << (8 * i);
  return value;
}

// Wraps `payload` as one "AA" chunk of a frame's chunk list.
std::vector<std::uint8_t> AudioFrame(const std::uint8_t* payload, std::size_t size) {
  std::vector<std::uint8_t> frame(8 + ((size + 3) & ~std::size_t{3}), 0);
  const auto chunk_size = static_cast<std::uint32_t>(8 + size);
  std::memcpy(frame.data(), &chunk_size, 4);
  frame[4] = 'A';
  frame[5] = 'A';
  if (size > 0) std::memcpy(frame.data() + 8, payload, size);
  return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Adpcm_Init(kAdpcmLibraryVersion);
  const std::uint32_t mode = Take(data, size, 1);
  const std::uint32_t frame_count = Take(data, size, 1) % 48 + 1;
  const auto split = static_cast<std::uint32_t>(size == 0 ? 0 : Take(data, size, 2) % (size + 1));

  // The header readers over the first part, exactly as long as it is.
  std::vector<std::uint8_t> head(data, data + split);
  // Most inputs would never spell the magic: give half of them a valid one.
  if ((mode & 0x40) && head.size() >= 12) std::memcpy(head.data(), "VELD_ADQ1.20", 12);
  std::uint32_t pcm_size = 0, frequency = 0, stereo = 0;
  Adpcm_GetInfo(head.data(), head.size(), &pcm_size, &frequency, &stereo);

  // The decoder, header or not: a stream over the first part with random state.
  StreamDatas s;
  if (Adpcm_InitStream(head.data(), head.size(), &s) != kAdpcmOk) {
    s.data = head.data();
    s.data_end = head.data() + head.size();
    s.stereo = mode & 1;
    s.nibble_phase = (mode >> 1) & 1;
    s.left_index = (mode >> 2) * 3;  // up to 189, more than the table holds
    s.remaining_frames = static_cast<std::uint32_t>(head.size()) * 3;
  }
  std::vector<std::uint8_t> pcm(4096 * 4);
  std::uint8_t* out = pcm.data();
  std::int32_t shortfall = 0, starved = 0;
  Adpcm_Decode(&out, &s, 4096, &shortfall, &starved);

  // The frame-period rules over a short movie built from the input: frame 0's chunk is the
  // first part, every later frame gets a slice of the rest; two passes, looping or not.
  SoundStream sound;
  if (Sound_SetupStream(sound, head.data(), static_cast<std::int32_t>(head.size())) != kAdpcmOk) {
    return 0;
  }
  const std::int32_t period = sound.audio_frame_bytes;
  if (period > (1 << 16)) return 0;  // keeps each run short
  std::int32_t loop_mode = (mode & 0x80) ? 1 : 0;
  const std::uint8_t* rest = data + split;
  std::size_t rest_size = size - split;
  std::vector<std::uint8_t> frame0 = AudioFrame(head.data(), head.size());
  std::vector<std::uint8_t> buffer;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::uint32_t n = 0; n < frame_count; ++n) {
      std::vector<std::uint8_t> frame;
      if (n == 0) {
        frame = frame0;
      } else {
        const std::size_t take = rest_size < 7 ? rest_size : (rest[0] % 8) + n % 3;
        const std::size_t slice = take < rest_size ? take : rest_size;
        frame = AudioFrame(rest, slice);
        rest += slice;
        rest_size -= slice;
      }
      const std::int32_t bytes = (pass == 0 && n == 0) ? 32 * period : period;
      buffer.assign(static_cast<std::size_t>(bytes) + 1, 0);
      Sound_DecodeFramePeriod(sound, static_cast<std::int32_t>(n),
                              static_cast<std::int32_t>(frame_count), loop_mode,
                              LoadedFrame{frame.data(), static_cast<std::uint32_t>(frame.size())},
                              buffer.data(), bytes, nullptr);
      if (buffer[static_cast<std::size_t>(bytes)] != 0) __builtin_trap();  // wrote past the period
    }
    if (loop_mode == 0) break;
  }
  return 0;
}
