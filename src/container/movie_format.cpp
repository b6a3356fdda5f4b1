#include "container/movie_format.h"

#include <cmath>
#include <cstring>

namespace tarvel {

MovieHeader ParseMovieHeader(const std::uint8_t* bytes) {
  MovieHeader header;
  std::memcpy(header.raw, bytes, kMovieHeaderSize);
  header.sound = bytes[6] != 0;
  header.width = ReadLe16(bytes + 8);
  header.height = ReadLe16(bytes + 10);
  header.frame_count = ReadLe16(bytes + 16);
  header.frame_duration = ReadLe16(bytes + 24);
  return header;
}

float FrameRateFromDuration(std::uint16_t frame_duration, float fallback) {
  if (frame_duration == 0) return fallback;
  return 200.0f / static_cast<float>(frame_duration);
}

std::uint16_t FrameDurationOfRate(float frame_rate) {
  if (!(frame_rate > 0.0f) || !std::isfinite(frame_rate)) return 0;
  const double duration = std::round(200.0 / static_cast<double>(frame_rate));
  if (duration < 1.0 || duration > 65535.0) return 0;
  const auto whole = static_cast<std::uint16_t>(duration);
  return FrameRateFromDuration(whole, 0.0f) == frame_rate ? whole : 0;
}

bool IsSupportedPictureSize(int width, int height) {
  return width > 0 && height > 0 && width % 8 == 0 && height % 8 == 0;
}

std::string PictureSizeProblem(int width, int height) {
  const std::string size = "picture size " + std::to_string(width) + "x" + std::to_string(height);
  if (!IsSupportedPictureSize(width, height))
    return size + " cannot be played (width and height must be non-zero multiples of 8)";
  const std::uint64_t two_pictures =
      std::uint64_t{2} * 2 * static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  if (two_pictures > kMaxTwoPictureBytes)
    return size + " is too large: its two pictures would take " +
           std::to_string((two_pictures + (1 << 20) - 1) >> 20) + " MB, more than the " +
           std::to_string(kMaxTwoPictureBytes >> 20) + " MB allowed";
  return {};
}

namespace detail {

bool NextChunk(LoadedFrame frame, std::uint32_t offset, ChunkView* chunk, std::uint32_t* rounded) {
  if (frame.length - offset < kChunkHeaderSize) return false;
  std::uint8_t* start = frame.data + offset;
  const std::uint32_t size = ReadLe32(start);
  // A size below the header would never advance (0) or give a negative payload (1 to 7).
  if (size < kChunkHeaderSize) return false;
  const std::uint64_t rounded_size = (static_cast<std::uint64_t>(size) + 3) & ~std::uint64_t{3};
  if (rounded_size > frame.length - offset) return false;
  std::uint32_t pad;
  if (size % 4 != 0) {
    pad = static_cast<std::uint32_t>(rounded_size - size);
  } else {
    pad = start[7] & 3u;
  }
  start[7] = static_cast<std::uint8_t>(pad);
  // With a pad count of 1-3 on an 8-byte chunk the payload length would be negative;
  // such a chunk has no payload.
  const std::int64_t payload = static_cast<std::int64_t>(rounded_size) - pad - kChunkHeaderSize;
  chunk->tag = start + 4;
  chunk->payload = start + kChunkHeaderSize;
  chunk->payload_length = payload < 0 ? 0 : static_cast<std::int32_t>(payload);
  chunk->size = size;
  *rounded = static_cast<std::uint32_t>(rounded_size);
  return true;
}

}  // namespace detail

const std::uint8_t* Frame_FindChunk(LoadedFrame frame, const char* tag, std::int32_t* length) {
  const std::uint8_t* found = nullptr;
  Frame_WalkChunks(frame, [&](const ChunkView& chunk) {
    if (chunk.tag[0] == static_cast<std::uint8_t>(tag[0]) &&
        chunk.tag[1] == static_cast<std::uint8_t>(tag[1])) {
      found = chunk.payload;
      if (length) *length = chunk.payload_length;
      return false;
    }
    return true;
  });
  return found;
}

namespace {
bool IsKnownTag(const std::uint8_t* tag) {
  return (tag[0] == 'I' && tag[1] == 'X') || (tag[0] == 'A' && tag[1] == 'A') ||
         (tag[0] == 'B' && tag[1] == 'B');
}
}  // namespace

std::uint32_t Frame_ForOtherChunks(LoadedFrame frame, ChunkHandler handler, void* user_value) {
  Frame_WalkChunks(frame, [&](const ChunkView& chunk) {
    if (handler && !IsKnownTag(chunk.tag)) {
      handler(reinterpret_cast<const char*>(chunk.tag), chunk.payload, chunk.payload_length,
              user_value);
    }
    return true;
  });
  return frame.length;
}

}  // namespace tarvel
