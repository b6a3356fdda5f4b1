// Arbitrary bytes through the encoder's input readers: the YUV4MPEG2 reader (header and
// pictures) and the WAV parser, with the resampler on every sound the parser accepts. Nothing
// may be read or written outside the buffers given, and a bad stream must end in an error.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "encoder/media_input.h"
#include "encoder/rgb_picture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel;
  if (size > 0) {
    // The reader works on a stream: the bytes as an in-memory file.
    std::vector<std::uint8_t> bytes(data, data + size);
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "rb");
    if (file) {
      Y4mReader reader;
      std::string error;
      if (Y4mReader_OpenStream(reader, file, "fuzz.y4m", &error)) {
        RgbPicture picture;
        for (int i = 0; i < 16; ++i) {
          error.clear();
          const int got = Y4mReader_Next(reader, &picture, &error);
          if (got <= 0) {
            if (got < 0 && error.empty()) __builtin_trap();  // an error must say why
            break;
          }
          if (picture.width != reader.width || picture.height != reader.height ||
              picture.rgb.size() != static_cast<std::size_t>(reader.width) * reader.height * 3)
            __builtin_trap();
        }
      } else if (error.empty()) {
        __builtin_trap();
      }
      Y4mReader_Close(reader);
      std::fclose(file);
    }
  }

  PcmSound sound;
  std::string error;
  if (ParseWav(data, size, &sound, &error)) {
    if (sound.channels != 1 && sound.channels != 2) __builtin_trap();
    // Each rate the sound could be stored at, for 25 frames per second.
    const std::uint32_t rate = RepresentableSampleRate(sound.sample_rate, 8, sound.channels == 2);
    if (rate != 0) {
      PcmSound resampled;
      ResampleSound(sound, rate, &resampled);
      if (resampled.channels != sound.channels) __builtin_trap();
    }
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
