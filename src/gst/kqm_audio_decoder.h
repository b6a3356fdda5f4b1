// kqmauddec: the sound chunks of a KQM6 movie into signed 16-bit PCM, exactly the sound the
// player queues to its sound device: 32 frame periods for frame 0's chunk, one period for each
// later frame's (silence for a frame without a sound chunk).
#pragma once

#include <gst/gst.h>

namespace tarvel::gst {

gboolean AudioDecoder_Register(GstPlugin* plugin);

}  // namespace tarvel::gst
