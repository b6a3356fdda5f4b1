#include "gst/kqm_sound_restart.h"

namespace tarvel::gst {

namespace {

constexpr char kMetaName[] = "TarvelKqmSoundRestart";
constexpr char kRequestName[] = "TarvelKqmRejoinRequest";

}  // namespace

void SoundRestart_Register() {
  // The meta describes the codes of the buffer it sits on; it is not copied onto decoded output.
  static const gchar* tags[] = {nullptr};
  static const GstMetaInfo* info =
      gst_meta_register_custom(kMetaName, tags, nullptr, nullptr, nullptr);
  (void)info;
}

void SoundRestart_Attach(GstBuffer* buffer, const SoundRestart& restart) {
  GstCustomMeta* meta = gst_buffer_add_custom_meta(buffer, kMetaName);
  if (meta == nullptr) return;
  GstStructure* s = gst_custom_meta_get_structure(meta);
  gst_structure_set(s, "skip-periods", G_TYPE_UINT, restart.skip_periods, "has-state",
                    G_TYPE_BOOLEAN, restart.has_state ? TRUE : FALSE, nullptr);
  if (!restart.has_state) return;
  const AdpcmSnapshot& d = restart.state;
  gst_structure_set(s, "left-predictor", G_TYPE_INT, d.left_predictor, "right-predictor",
                    G_TYPE_INT, d.right_predictor, "left-step", G_TYPE_INT, d.left_step,
                    "right-step", G_TYPE_INT, d.right_step, "remaining-frames", G_TYPE_UINT,
                    d.remaining_frames, "left-index", G_TYPE_UINT, guint{d.left_index},
                    "right-index", G_TYPE_UINT, guint{d.right_index}, "nibble-phase", G_TYPE_UINT,
                    guint{d.nibble_phase}, "held-byte", G_TYPE_UINT, guint{d.held_byte}, nullptr);
}

bool SoundRestart_Find(GstBuffer* buffer, SoundRestart* restart) {
  GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, kMetaName);
  if (meta == nullptr) return false;
  const GstStructure* s = gst_custom_meta_get_structure(meta);
  SoundRestart r;
  gboolean has_state = FALSE;
  if (!gst_structure_get_uint(s, "skip-periods", &r.skip_periods) ||
      !gst_structure_get_boolean(s, "has-state", &has_state))
    return false;
  r.has_state = has_state != FALSE;
  if (r.has_state) {
    AdpcmSnapshot& d = r.state;
    guint left_index = 0, right_index = 0, phase = 0, held = 0;
    if (!gst_structure_get(s, "left-predictor", G_TYPE_INT, &d.left_predictor, "right-predictor",
                           G_TYPE_INT, &d.right_predictor, "left-step", G_TYPE_INT, &d.left_step,
                           "right-step", G_TYPE_INT, &d.right_step, "remaining-frames", G_TYPE_UINT,
                           &d.remaining_frames, "left-index", G_TYPE_UINT, &left_index,
                           "right-index", G_TYPE_UINT, &right_index, "nibble-phase", G_TYPE_UINT,
                           &phase, "held-byte", G_TYPE_UINT, &held, nullptr))
      return false;
    d.left_index = static_cast<std::uint8_t>(left_index);
    d.right_index = static_cast<std::uint8_t>(right_index);
    d.nibble_phase = static_cast<std::uint8_t>(phase);
    d.held_byte = static_cast<std::uint8_t>(held);
  }
  *restart = r;
  return true;
}

GstEvent* Rejoin_NewRequest(RejoinRequest what) {
  return gst_event_new_custom(
      GST_EVENT_CUSTOM_UPSTREAM,
      gst_structure_new(kRequestName, "pictures", G_TYPE_BOOLEAN,
                        what == RejoinRequest::kPictures ? TRUE : FALSE, nullptr));
}

RejoinRequest Rejoin_Parse(GstEvent* event) {
  if (GST_EVENT_TYPE(event) != GST_EVENT_CUSTOM_UPSTREAM ||
      !gst_event_has_name(event, kRequestName))
    return RejoinRequest::kNone;
  gboolean pictures = FALSE;
  gst_structure_get_boolean(gst_event_get_structure(event), "pictures", &pictures);
  return pictures ? RejoinRequest::kPictures : RejoinRequest::kSound;
}

}  // namespace tarvel::gst
