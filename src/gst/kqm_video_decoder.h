// kqmviddec: the picture chunks of a KQM6 movie into 16-bit RGB pictures (5-5-5 or 5-6-5),
// exactly as the player presents them.
#pragma once

#include <gst/gst.h>

namespace tarvel::gst {

gboolean VideoDecoder_Register(GstPlugin* plugin);

}  // namespace tarvel::gst
