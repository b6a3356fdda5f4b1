#include "gst/kqm_typefind.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "audio/adpcm.h"
#include "container/movie_format.h"
#include "gst/kqm_elements.h"

namespace tarvel::gst {

namespace {

// The header has no identification, so the first frame has to show the container's structure:
// a whole chunk list that holds a picture chunk.
constexpr std::uint32_t kSmallestFrame =
    kFrameWordSize + kChunkHeaderSize + 24;  // a picture chunk's own header is 24 bytes
// Frames larger than this are not peeked at whole while type finding: their chunks' headers and
// first bytes are (see OutlineFrame).
constexpr std::uint32_t kLargestPeek = 4u << 20;
// What the checks read of a chunk: its header and the start of its payload (a sound stream's
// header, a picture's first word).
constexpr std::uint32_t kChunkStart =
    static_cast<std::uint32_t>(kChunkHeaderSize + std::max<std::size_t>(kAdqHeaderSize, 24));
// A movie's frame holds a few chunks; a frame said to hold more is not walked further.
constexpr std::size_t kMostChunks = 64;

// Whether the header and the first frame's size can be a movie's, before the frame is read: a
// header that does not fit gets nothing read of its first frame (up to 16 MB).
bool HeaderFits(const std::uint8_t* header, std::uint32_t frame0_size, std::int64_t file_length) {
  const MovieHeader h = ParseMovieHeader(header);
  if (!IsSupportedPictureSize(h.width, h.height) || h.frame_count == 0) return false;
  if (frame0_size < kSmallestFrame) return false;
  return file_length < 0 || static_cast<std::int64_t>(frame0_size) <=
                                file_length - static_cast<std::int64_t>(kFirstFrameOffset);
}

}  // namespace

int MovieLikelihood(const std::uint8_t* header, std::uint32_t frame0_size,
                    const std::uint8_t* frame0, std::size_t frame0_length,
                    std::int64_t file_length) {
  const MovieHeader h = ParseMovieHeader(header);
  if (!HeaderFits(header, frame0_size, file_length) || frame0 == nullptr) return 0;

  std::vector<std::uint8_t> chunks(frame0, frame0 + frame0_length);
  const LoadedFrame frame{chunks.data(), static_cast<std::uint32_t>(chunks.size())};
  bool picture = false;
  bool key = false;
  bool sound_header = false;
  const std::uint32_t walked = Frame_WalkChunks(frame, [&](const ChunkView& chunk) {
    if (chunk.size < kChunkHeaderSize) return false;
    if (std::memcmp(chunk.tag, "IX", 2) == 0 && !picture) {
      picture = chunk.payload_length >= 24;
      key = picture && PictureChunk_IsKey(chunk.payload, chunk.payload_length);
    } else if ((std::memcmp(chunk.tag, "AA", 2) == 0 || std::memcmp(chunk.tag, "BB", 2) == 0) &&
               chunk.payload_length >= static_cast<std::int32_t>(kAdqHeaderSize)) {
      sound_header = sound_header || std::memcmp(chunk.payload, "VELD_ADQ", 8) == 0;
    }
    return true;
  });
  // A movie's frames are filled by their chunks (a walk stops only within a chunk header's size
  // of the end).
  if (!picture || frame.length - walked >= kChunkHeaderSize) return 0;
  if (h.sound && sound_header && key) return GST_TYPE_FIND_MAXIMUM;
  if (key) return GST_TYPE_FIND_NEARLY_CERTAIN;
  return GST_TYPE_FIND_LIKELY;
}

namespace {

// The chunk list of a frame that is not peeked at whole (too large, or handed out in pieces),
// `length` bytes at `offset`, as the checks see it: each chunk's start, zeros between. Empty
// when it cannot be read, or when its chunks do not fill it, which the checks refuse anyway.
std::vector<std::uint8_t> OutlineFrame(GstTypeFind* find, std::uint64_t offset,
                                       std::uint32_t length) {
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> starts;
  std::uint32_t at = 0;
  while (length - at >= kChunkHeaderSize) {
    const guint8* start = gst_type_find_peek(find, offset + at, kChunkHeaderSize);
    if (starts.size() == kMostChunks || start == nullptr) return {};
    const std::uint64_t rounded = (static_cast<std::uint64_t>(ReadLe32(start)) + 3) & ~3ull;
    if (rounded < kChunkHeaderSize || rounded > length - at) return {};
    const auto kept = static_cast<std::uint32_t>(std::min<std::uint64_t>(rounded, kChunkStart));
    start = gst_type_find_peek(find, offset + at, kept);
    if (start == nullptr) return {};
    starts.emplace_back(at, std::vector<std::uint8_t>(start, start + kept));
    at += static_cast<std::uint32_t>(rounded);
  }
  std::vector<std::uint8_t> outline(length, 0);
  for (const auto& [where, bytes] : starts)
    std::copy(bytes.begin(), bytes.end(), outline.begin() + where);
  return outline;
}

void FindMovie(GstTypeFind* find, gpointer /*user_data*/) {
  const guint8* header = gst_type_find_peek(find, 0, kMovieHeaderSize + kFrameWordSize);
  if (header == nullptr) return;
  const std::uint32_t frame0_size = ReadLe32(header + kMovieHeaderSize) & kFrameSizeMask;
  const guint64 length = gst_type_find_get_length(find);
  const std::int64_t file_length = length == 0 ? -1 : static_cast<std::int64_t>(length);
  if (!HeaderFits(header, frame0_size, file_length)) return;
  const std::uint32_t chunk_bytes =
      frame0_size >= kFrameWordSize ? frame0_size - static_cast<std::uint32_t>(kFrameWordSize) : 0;
  const guint8* frame0 = nullptr;
  std::vector<std::uint8_t> outline;
  if (chunk_bytes > 0 && frame0_size <= kLargestPeek)
    frame0 = gst_type_find_peek(find, kMovieHeaderSize + kFrameWordSize, chunk_bytes);
  // A source that hands out less than asked (an application's, read at any offset, gives the
  // pieces it is fed) has no whole frame to give: its chunks' starts are peeked one by one.
  if (frame0 == nullptr && chunk_bytes > 0) {
    outline = OutlineFrame(find, kMovieHeaderSize + kFrameWordSize, chunk_bytes);
    if (!outline.empty()) frame0 = outline.data();
  }
  const int likelihood = MovieLikelihood(header, frame0_size, frame0, chunk_bytes, file_length);
  if (likelihood <= 0) return;
  GstCaps* caps = gst_caps_new_empty_simple(kMovieMediaType);
  gst_type_find_suggest(find, static_cast<guint>(likelihood), caps);
  gst_caps_unref(caps);
}

}  // namespace

gboolean TypeFind_Register(GstPlugin* plugin) {
  GstCaps* caps = gst_caps_new_empty_simple(kMovieMediaType);
  const gboolean ok = gst_type_find_register(plugin, kMovieMediaType, GST_RANK_PRIMARY, FindMovie,
                                             "kqm,kqs,KQM,KQS", caps, nullptr, nullptr);
  gst_caps_unref(caps);
  return ok;
}

}  // namespace tarvel::gst
