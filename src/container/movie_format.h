// The KQM6 movie container: the 64-byte file header, the frames that follow it and the
// tagged chunks inside each frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvel {

inline constexpr std::size_t kMovieHeaderSize = 64;
// Frames start right after the header; a looping movie seeks back here.
inline constexpr std::int64_t kFirstFrameOffset = 64;
// Low 24 bits of a frame word: the frame's size in bytes, the word included.
inline constexpr std::uint32_t kFrameSizeMask = 0x00FFFFFF;
inline constexpr std::size_t kFrameWordSize = 4;
inline constexpr std::size_t kChunkHeaderSize = 8;
// Frame rate of a movie whose header gives no frame duration (and no earlier movie did).
inline constexpr float kDefaultFrameRate = 15.0f;

// The fields of the header the player interprets; `raw` keeps all 64 bytes verbatim.
struct MovieHeader {
  std::uint8_t raw[kMovieHeaderSize] = {};
  bool sound = false;                // byte 6 non-zero: the frames carry audio chunks
  std::uint16_t width = 0;           // bytes 8-9
  std::uint16_t height = 0;          // bytes 10-11
  std::uint16_t frame_count = 0;     // bytes 16-17
  std::uint16_t frame_duration = 0;  // bytes 24-25, in 1/200 s; 0 = not given
};

// Interprets the 64 header bytes. Any 64 bytes are accepted.
MovieHeader ParseMovieHeader(const std::uint8_t* bytes);

// 200 / duration as a 32-bit float; a duration of 0 (none given) gives `fallback`.
float FrameRateFromDuration(std::uint16_t frame_duration, float fallback);

// The frame duration (1 to 65535) whose rate FrameRateFromDuration gives exactly `frame_rate`,
// or 0 when there is none. Times worked out from that exact quotient (a frame every 5 d ms) do
// not fall a hair short of a frame's beginning, as the float rate divided back may.
std::uint16_t FrameDurationOfRate(float frame_rate);

// A picture size the decoder can work with: non-zero multiples of 8.
bool IsSupportedPictureSize(int width, int height);

// Most memory the two pictures of a playback (the reference and the output picture, 16 bits a
// pixel) may take: 8192 x 8192 pictures and smaller fit.
inline constexpr std::uint64_t kMaxTwoPictureBytes = std::uint64_t{256} << 20;

// Why a movie of width x height pixels cannot be played or decoded, as one line without the file
// name ("picture size 0x8 cannot be played (...)"); empty when it can. Checks the 8 x 8 block
// rule and the memory the two pictures need (at most kMaxTwoPictureBytes).
std::string PictureSizeProblem(int width, int height);

// Why a movie whose header counts no frames is refused: nothing would play.
inline constexpr char kNoFramesProblem[] =
    "the movie has no frames (its header's frame count is 0)";

// A loaded frame: its chunk list (everything after the frame word) and its length, frame size - 4.
// The walk rewrites the pad-count byte of each chunk it passes, so the data is writable.
struct LoadedFrame {
  std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
};

// Payload of the first chunk tagged `tag` (two characters, case-sensitive) and its length,
// written to `length`; null when no chunk matches (`length` is then left untouched).
const std::uint8_t* Frame_FindChunk(LoadedFrame frame, const char* tag, std::int32_t* length);

// Called once per chunk that is neither "IX", "AA" nor "BB", in file order.
using ChunkHandler = void (*)(const char* tag, const std::uint8_t* payload, std::int32_t length,
                              void* user_value);

// Hands every other chunk to `handler`; returns the frame's data length.
std::uint32_t Frame_ForOtherChunks(LoadedFrame frame, ChunkHandler handler, void* user_value);

// One step of the chunk walk, for tools that want to see every chunk.
struct ChunkView {
  const std::uint8_t* tag = nullptr;  // two characters, not zero-terminated
  const std::uint8_t* payload = nullptr;
  std::int32_t payload_length = 0;
  std::uint32_t size = 0;  // the chunk's own size field
};

// Calls `visit(const ChunkView&)` for every chunk the walk reaches, in order. Returns the number
// of bytes the walk consumed; less than the frame's length means the walk stopped early
// (a chunk too short or running past the frame).
template <typename Visit>
std::uint32_t Frame_WalkChunks(LoadedFrame frame, Visit&& visit);

namespace detail {
// Reads the chunk at `offset` and fixes up its pad-count byte. Returns false when the walk
// must stop there.
bool NextChunk(LoadedFrame frame, std::uint32_t offset, ChunkView* chunk, std::uint32_t* rounded);
}  // namespace detail

template <typename Visit>
std::uint32_t Frame_WalkChunks(LoadedFrame frame, Visit&& visit) {
  std::uint32_t consumed = 0;
  ChunkView chunk;
  std::uint32_t rounded = 0;
  while (consumed < frame.length && detail::NextChunk(frame, consumed, &chunk, &rounded)) {
    if (!visit(static_cast<const ChunkView&>(chunk))) break;
    consumed += rounded;
  }
  return consumed;
}

inline std::uint16_t ReadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Whether an "IX" payload (null for none) is a key frame's: its first word is negative.
inline bool PictureChunk_IsKey(const std::uint8_t* payload, std::int64_t length) {
  return payload != nullptr && length >= 4 && static_cast<std::int32_t>(ReadLe32(payload)) < 0;
}

}  // namespace tarvel
