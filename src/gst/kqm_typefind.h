// Recognises KQM6 movies for GStreamer's type finding.
#pragma once

#include <gst/gst.h>

#include <cstddef>
#include <cstdint>

namespace tarvel::gst {

// How sure the bytes of a file's start make us that it is a movie: 0 (not one), or a
// GstTypeFindProbability. `header` is the 64-byte header; `frame0` the first frame's chunk list
// (`frame0_length` bytes, copied: the walk rewrites it) or null when it could not be read;
// `frame0_size` the size its frame word gives; `file_length` -1 when unknown.
int MovieLikelihood(const std::uint8_t* header, std::uint32_t frame0_size,
                    const std::uint8_t* frame0, std::size_t frame0_length,
                    std::int64_t file_length);

gboolean TypeFind_Register(GstPlugin* plugin);

}  // namespace tarvel::gst
