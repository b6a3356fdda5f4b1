// The entry point GStreamer looks for in libgstkqm.so.
#include "gst/kqm_elements.h"

namespace {

gboolean InitPlugin(GstPlugin* plugin) {
  return tarvel::gst::Plugin_Init(plugin);
}

}  // namespace

#define PACKAGE "tarvel"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kqm,
                  "KQM6 movies: type finder, demuxer, picture and sound decoders", InitPlugin,
                  TARVEL_VERSION, GST_LICENSE_UNKNOWN, "Tarvel", "Tarvel")
