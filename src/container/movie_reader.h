// Reads a movie file frame by frame, in file order, for the tools and tests. Every size
// is checked against the bytes that are really there before anything is allocated.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "container/movie_format.h"
#include "storage/movie_source.h"

namespace tarvel {

enum class FrameRead {
  kOk,         // a frame was loaded
  kEnd,        // the data ended cleanly: end of file at a frame boundary, or a frame word of size 0
  kTruncated,  // the file ends inside a frame word or a frame
  kBadSize,    // the frame word's size is 1 to 3 (smaller than the word itself)
  kReadError,  // the file system failed to deliver the frame word or the frame
};

struct MovieReader {
  MovieSource source;
  MovieHeader header;
  std::int64_t file_length = -1;
  std::int64_t position = 0;  // offset of the next frame word
  std::uint32_t last_frame_size = 0;
};

// A file that is a package, not a movie: the movie format has no mark of its own, but a tar
// archive's first member name makes a picture size no movie has.
inline constexpr char kTarArchiveProblem[] =
    "not a movie: a tar archive (kqm export and kqm play read a movie out of it with --package)";
// Whether the file whose header `header` was just read from `source` is a tar archive. Looked at
// only when the header's picture size is refused, so that a movie that plays is not read
// further; `source` is left at the first frame.
bool Source_IsTarArchive(MovieSource& source, const MovieHeader& header);

// Opens `path` and reads its header. On failure returns false with a one-line reason in
// `error` (without the file name): a file too short for the header, or a tar archive (see
// kTarArchiveProblem). The picture size is not checked here.
bool MovieReader_Open(MovieReader& reader, const std::string& path, std::string* error);
// Opens `path` through a package storage layer (movie source kind 1). `error` is
// kNotInPackage when the package has no such file.
inline constexpr char kNotInPackage[] = "not found in the package";
bool MovieReader_OpenStorage(MovieReader& reader, StorageLayer& storage, const std::string& path,
                             std::string* error);
// Same over a block of memory (kept by the caller).
bool MovieReader_OpenMemory(MovieReader& reader, const std::uint8_t* data, std::size_t size,
                            std::string* error);
// Same over bytes served by the caller (movie source kind 3).
bool MovieReader_OpenCallback(MovieReader& reader, const SourceCallback& callback,
                              std::string* error);
// Reads the frame word at `position` of `source` (a file of `length` bytes, -1 when not known;
// measured again, as Source_HasBytes does, when the frame seems to run past it) and checks that the
// frame it gives lies within the file: kOk with the frame's size in `*size`; kEnd where the data
// ends (the file ends at `position`, or the word is the end mark and `*size` 0); otherwise why the
// frame cannot be read. `*size` is set only when the word was read.
FrameRead Frame_ReadWord(MovieSource& source, std::int64_t& length, std::int64_t position,
                         std::uint32_t* size);
// Why the chunk list of a frame whose word was read could not be read.
FrameRead Frame_ChunkReadFailure(const MovieSource& source);
// Loads the next frame's chunk list (frame size - 4 bytes) into `chunks`.
FrameRead MovieReader_Next(MovieReader& reader, std::vector<std::uint8_t>& chunks);
// Passes over the next frame as MovieReader_Next would load it, reading its word alone.
FrameRead MovieReader_Skip(MovieReader& reader);
// Back to the first frame, as a looping movie does.
bool MovieReader_Rewind(MovieReader& reader);
// Continues reading at the frame word at `offset` (a frame boundary found earlier).
bool MovieReader_SeekTo(MovieReader& reader, std::int64_t offset);
void MovieReader_Close(MovieReader& reader);

// What a frame the file system failed to deliver is said to be, by the tools and the player.
inline constexpr char kFrameReadErrorText[] =
    "the file cannot be read there (an input/output error of its disk or network)";
// What a header the file system failed to deliver is said to be (a file too short for one is
// "not a movie").
inline constexpr char kHeaderReadErrorText[] =
    "the 64-byte header cannot be read (an input/output error of its disk or network)";
// One-line description of a read failure, for messages.
const char* FrameReadText(FrameRead result);
// The message for a failed read of frame `index` of a movie whose header counts `frame_count`:
// "the movie data ends after INDEX of FRAME_COUNT frames" at a clean end, else "frame INDEX: "
// and the fault.
std::string FrameReadProblem(FrameRead result, std::int64_t index, std::int64_t frame_count);
// The message for frame `index`, found whole by an earlier pass over the movie, that is no longer
// where that pass found it: the file was cut or rewritten (another movie copied over it) since.
std::string FrameMovedProblem(std::int64_t index);

}  // namespace tarvel
