// Opening a movie for its pictures and decoding them frame by frame, for the kqm subcommands
// that show or write pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "container/movie_format.h"
#include "container/movie_reader.h"
#include "video/video_decoder.h"

namespace tarvel::tools {

// Results of DecodeFramePicture.
inline constexpr int kPictureDecoded = 0;
inline constexpr int kPictureMissing = 1;  // the frame has no picture chunk: the previous stays
inline constexpr int kPictureCorrupt = 2;  // decoding stopped early: the rest keeps the previous

// Decodes the frame's picture chunk with `decoder` (whose picture then also becomes the
// reference of the next frame).
int DecodeFramePicture(VideoDecoder& decoder, LoadedFrame frame);

// The warning line's text for a result other than kPictureDecoded ("frame N: ...").
std::string PictureWarning(int result, std::int64_t index);

// "picture size WxH cannot be played (...)" when the size is not one the decoder takes, or
// its two pictures would not fit in the memory a playback may take; empty when it is fine.
std::string PictureSizeProblem(const MovieHeader& header);

// Whether the key frame at `offset` gives the same picture whatever the pictures before it
// (see DecodeKeyFrameAlone): it is read again with `reader`, which is left after it, and
// decoded with `decoder`, which then holds its picture.
bool KeyFrameDecodesAlone(MovieReader& reader, VideoDecoder& decoder, std::int64_t offset);

// Moves `reader` (anywhere in the movie) to the frame from which decoding gives frame
// `target`'s picture exactly as decoding from frame 0 does: the last key frame at or before it
// that decodes alone, else frame 0 (never one past a frame without a picture, where playback
// stops). Returns that frame's index; `decoder` is used to check the key frames and then holds
// the start frame's picture.
std::int64_t SeekToDecodeStart(MovieReader& reader, VideoDecoder& decoder, std::int64_t target);

// Reads the frame at `reader`'s place again, which an earlier walk of the movie found whole at
// `offset` and followed by the frame at `next` (-1: none looked at). False when the file has
// changed since: the frame cannot be read whole there any more, or no longer ends at `next`.
bool ReadFrameAgain(MovieReader& reader, std::int64_t offset, std::int64_t next,
                    std::vector<std::uint8_t>& chunks);

// Opens the movie at `path` and checks that its pictures can be decoded; otherwise prints the
// one-line error for `command` and returns false.
bool OpenMovieForPictures(MovieReader& reader, const std::string& command, const std::string& path);

}  // namespace tarvel::tools
