// How the demuxer tells the sound decoder where the stream starts again after a seek. The sound
// is one ADPCM stream whose state runs through the whole movie, so the first sound buffer after
// a seek carries the decoding state at its start (from the frame index), or, inside the first
// 32 periods, how many periods of frame 0's chunk to decode without playing them.
#pragma once

#include <gst/gst.h>

#include <cstdint>

#include "audio/movie_index.h"

namespace tarvel::gst {

struct SoundRestart {
  // Periods of frame 0's chunk that are decoded but not output.
  std::uint32_t skip_periods = 0;
  // The decoding state at the start of the buffer's codes. Without it the buffer must be frame
  // 0's chunk, which starts from its own stream header.
  bool has_state = false;
  AdpcmSnapshot state;
};

// Once per process, before the other two (the plugin's registration does it).
void SoundRestart_Register();
void SoundRestart_Attach(GstBuffer* buffer, const SoundRestart& restart);
// False when `buffer` carries no restart.
bool SoundRestart_Find(GstBuffer* buffer, SoundRestart* restart);

// A decoder's request to join the stream again, sent upstream when it is linked in the middle
// of the stream (a player that turned a branch off and on again) or lost buffers on the way.
// For the sound decoder, which gets codes whose decoding state it has not seen, the demuxer puts
// a restart on the next sound buffer it sends; for the picture decoder, which has not the
// pictures the next ones are built on, it sends again, for decoding only, the frames from where
// decoding can start up to the next one it sends.
enum class RejoinRequest { kNone, kSound, kPictures };
GstEvent* Rejoin_NewRequest(RejoinRequest what);
RejoinRequest Rejoin_Parse(GstEvent* event);

}  // namespace tarvel::gst
