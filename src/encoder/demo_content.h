// The built-in demo movie's content, generated from nothing: a gradient backdrop, moving and
// turning shapes, a scrolling band, the name "Tarvel", and a short tune.
#pragma once

#include <cstdint>

#include "encoder/media_input.h"
#include "encoder/rgb_picture.h"

namespace tarvel {

// Draws picture `frame` of the demo at `frames_per_second` into `out` (width x height).
void RenderDemoPicture(int width, int height, int frame, double frames_per_second, RgbPicture* out);

// The demo tune: `seconds` of mono sound at `sample_rate`. `stop_requested` (when not null) is
// asked before each second of it (the ten minutes of the longest demo take seconds): true ends
// the rendering there, with false returned.
bool RenderDemoTune(std::uint32_t sample_rate, double seconds, PcmSound* out,
                    bool (*stop_requested)() = nullptr);

}  // namespace tarvel
