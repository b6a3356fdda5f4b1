// kqmdemux: splits a KQM6 movie into its picture chunks (pad video_0) and sound chunks
// (pad audio_0, when the movie has playable sound), timestamped as the player presents them.
#pragma once

#include <gst/gst.h>

namespace tarvel::gst {

gboolean Demux_Register(GstPlugin* plugin);

}  // namespace tarvel::gst
