// A movie from the encoder for the seek tests: the demo's pictures, 160x120, 150 frames, silent,
// with frame 0 the only key frame.
#include <cstdint>
#include <vector>

#include "encoder/demo_content.h"
#include "encoder/movie_encoder.h"

namespace tarvel::test {

std::vector<std::uint8_t> EncodeFewKeyFrameMovie() {
  constexpr int kFrames = 150;
  std::vector<std::uint8_t> movie;
  MovieEncodeSettings settings;
  settings.video.key_interval = 0;
  MovieEncoder encoder;
  RgbPicture picture;
  bool ok = MovieEncoder_Open(encoder, "", &movie, 160, 120, settings, nullptr);
  for (int i = 0; ok && i < kFrames; ++i) {
    RenderDemoPicture(160, 120, i, 25.0, &picture);
    ok = MovieEncoder_AddPicture(encoder, picture);
  }
  if (!ok || !MovieEncoder_Finish(encoder)) movie.clear();
  return movie;
}

}  // namespace tarvel::test
