#include "gst/kqm_sound_restart.h"

namespace tarvel::gst {

namespace {

constexpr char kMetaName[] = "TarvelKqmSoundRestart";

}  // namespace

void SoundRestart_Register() {
  // The meta describes the codes of the buffer it sits on; it is not copied onto decoded output.
  static const gchar* tags[] = {nullptr};
  static const GstMetaInfo* info = gst_meta_register_custom(kMetaName, tags, nullptr, nullptr,
                                                            nullptr);
  (void)info;
}

void SoundRestart_Attach(GstBuffer* buffer, const SoundRestart& restart) {
  GstCustomMeta* meta = gst_buffer_add_custom_meta(buffer, kMetaName);
  if (meta == nullptr) return;
  GstStructure* s = gst_custom_meta_get_structure(meta);
  gst_structure_set(s, "skip-periods", G_TYPE_UINT, restart.skip_periods, "has-state",
                    G_TYPE_BOOLEAN, restart.has_state ? TRUE : FALSE, nullptr);
  if (!restart.has_state) return;
  const StreamDatas& d = restart.state;
  gst_structure_set(s, "stereo", G_TYPE_UINT, d.stereo, "nibble-phase", G_TYPE_UINT,
                    d.nibble_phase, "frequency", G_TYPE_UINT, d.frequency, "total-frames",
                    G_TYPE_UINT, d.total_frames, "remaining-frames", G_TYPE_UINT,
                    d.remaining_frames, "left-predictor", G_TYPE_INT, d.left_predictor,
                    "right-predictor", G_TYPE_INT, d.right_predictor, "left-index", G_TYPE_UINT,
                    d.left_index, "right-index", G_TYPE_UINT, d.right_index, "left-step",
                    G_TYPE_INT, d.left_step, "right-step", G_TYPE_INT, d.right_step, "held-byte",
                    G_TYPE_UINT, static_cast<guint>(d.held_byte), nullptr);
}

bool SoundRestart_Find(GstBuffer* buffer, SoundRestart* restart) {
  GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, kMetaName);
  if (meta == nullptr) return false;
  const GstStructure* s = gst_custom_meta_get_structure(meta);
  SoundRestart r;
  guint skip = 0;
  gboolean has_state = FALSE;
  if (!gst_structure_get_uint(s, "skip-periods", &skip) ||
      !gst_structure_get_boolean(s, "has-state", &has_state))
    return false;
  r.skip_periods = skip;
  r.has_state = has_state != FALSE;
  if (r.has_state) {
    StreamDatas& d = r.state;
    guint held = 0;
    if (!gst_structure_get(s, "stereo", G_TYPE_UINT, &d.stereo, "nibble-phase", G_TYPE_UINT,
                           &d.nibble_phase, "frequency", G_TYPE_UINT, &d.frequency,
                           "total-frames", G_TYPE_UINT, &d.total_frames, "remaining-frames",
                           G_TYPE_UINT, &d.remaining_frames, "left-predictor", G_TYPE_INT,
                           &d.left_predictor, "right-predictor", G_TYPE_INT, &d.right_predictor,
                           "left-index", G_TYPE_UINT, &d.left_index, "right-index", G_TYPE_UINT,
                           &d.right_index, "left-step", G_TYPE_INT, &d.left_step, "right-step",
                           G_TYPE_INT, &d.right_step, "held-byte", G_TYPE_UINT, &held, nullptr))
      return false;
    d.held_byte = static_cast<std::uint8_t>(held);
  }
  *restart = r;
  return true;
}

}  // namespace tarvel::gst
