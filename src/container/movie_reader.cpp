#include "container/movie_reader.h"

#include <cstring>

#include "storage/file_open.h"
#include "storage/tar_package.h"

namespace tarvel {

namespace {

bool ReadHeader(MovieReader& reader, std::string* error) {
  std::uint8_t bytes[kMovieHeaderSize];
  if (!Source_Read(reader.source, bytes, sizeof bytes)) {
    // A disk or network that fails to deliver the header is no short file.
    if (error)
      *error = reader.source.read_failed ? kHeaderReadErrorText
                                         : "not a movie: shorter than the 64-byte header";
    Source_Close(reader.source);
    return false;
  }
  reader.header = ParseMovieHeader(bytes);
  reader.position = kFirstFrameOffset;
  if (Source_IsTarArchive(reader.source, reader.header)) {
    if (error) *error = kTarArchiveProblem;
    Source_Close(reader.source);
    return false;
  }
  return true;
}

}  // namespace

bool Source_IsTarArchive(MovieSource& source, const MovieHeader& header) {
  if (PictureSizeProblem(header.width, header.height).empty()) return false;
  std::uint8_t block[kTarBlockSize];
  std::memcpy(block, header.raw, kMovieHeaderSize);
  const bool tar = Source_Read(source, block + kMovieHeaderSize, sizeof block - kMovieHeaderSize) &&
                   IsTarHeader(block);
  Source_Seek(source, kFirstFrameOffset);
  return tar;
}

bool MovieReader_Open(MovieReader& reader, const std::string& path, std::string* error) {
  reader = MovieReader{};
  if (!Source_Open(reader.source, path.c_str())) {
    if (error) *error = FileOpenProblemText(reader.source.open_problem);
    return false;
  }
  reader.file_length = Source_Length(reader.source);
  return ReadHeader(reader, error);
}

bool MovieReader_OpenStorage(MovieReader& reader, StorageLayer& storage, const std::string& path,
                             std::string* error) {
  reader = MovieReader{};
  reader.source.source_kind = kSourceStorage;
  reader.source.storage = &storage;
  if (!Source_Open(reader.source, path.c_str())) {
    if (error) *error = kNotInPackage;
    return false;
  }
  reader.file_length = Source_Length(reader.source);
  return ReadHeader(reader, error);
}

bool MovieReader_OpenMemory(MovieReader& reader, const std::uint8_t* data, std::size_t size,
                            std::string* error) {
  reader = MovieReader{};
  Source_OpenMemory(reader.source, data, size);
  reader.file_length = static_cast<std::int64_t>(size);
  return ReadHeader(reader, error);
}

bool MovieReader_OpenCallback(MovieReader& reader, const SourceCallback& callback,
                              std::string* error) {
  reader = MovieReader{};
  if (!Source_OpenCallback(reader.source, callback)) {
    if (error) *error = "cannot open";
    return false;
  }
  reader.file_length = Source_Length(reader.source);
  return ReadHeader(reader, error);
}

FrameRead Frame_ReadWord(MovieSource& source, std::int64_t& length, std::int64_t position,
                         std::uint32_t* size) {
  constexpr auto kWordBytes = static_cast<std::int64_t>(kFrameWordSize);
  if (!Source_HasBytes(source, length, position, kWordBytes))
    return length == position ? FrameRead::kEnd : FrameRead::kTruncated;
  std::uint8_t word_bytes[kFrameWordSize];
  if (!Source_Read(source, word_bytes, sizeof word_bytes))
    return source.read_failed ? FrameRead::kReadError
           : length < 0       ? FrameRead::kEnd
                              : FrameRead::kTruncated;
  *size = ReadLe32(word_bytes) & kFrameSizeMask;
  if (*size == 0) return FrameRead::kEnd;
  if (*size < kFrameWordSize) return FrameRead::kBadSize;
  if (!Source_HasBytes(source, length, position, *size)) return FrameRead::kTruncated;
  return FrameRead::kOk;
}

FrameRead Frame_ChunkReadFailure(const MovieSource& source) {
  return source.read_failed ? FrameRead::kReadError : FrameRead::kTruncated;
}

FrameRead MovieReader_Next(MovieReader& reader, std::vector<std::uint8_t>& chunks) {
  const FrameRead word =
      Frame_ReadWord(reader.source, reader.file_length, reader.position, &reader.last_frame_size);
  if (word != FrameRead::kOk) return word;
  chunks.resize(reader.last_frame_size - kFrameWordSize);
  if (!chunks.empty() && !Source_Read(reader.source, chunks.data(), chunks.size()))
    return Frame_ChunkReadFailure(reader.source);
  reader.position += reader.last_frame_size;
  return FrameRead::kOk;
}

FrameRead MovieReader_Skip(MovieReader& reader) {
  const FrameRead word =
      Frame_ReadWord(reader.source, reader.file_length, reader.position, &reader.last_frame_size);
  if (word != FrameRead::kOk) return word;
  if (!MovieReader_SeekTo(reader, reader.position + reader.last_frame_size))
    return FrameRead::kReadError;
  return FrameRead::kOk;
}

bool MovieReader_Rewind(MovieReader& reader) {
  return MovieReader_SeekTo(reader, kFirstFrameOffset);
}

bool MovieReader_SeekTo(MovieReader& reader, std::int64_t offset) {
  if (offset < kFirstFrameOffset || !Source_Seek(reader.source, offset)) return false;
  reader.position = offset;
  return true;
}

void MovieReader_Close(MovieReader& reader) {
  Source_Close(reader.source);
}

const char* FrameReadText(FrameRead result) {
  switch (result) {
    case FrameRead::kOk:
      return "ok";
    case FrameRead::kEnd:
      return "end of the movie data";
    case FrameRead::kTruncated:
      return "the file ends inside the frame";
    case FrameRead::kBadSize:
      return "the frame word gives a size smaller than the word itself";
    case FrameRead::kReadError:
      return kFrameReadErrorText;
  }
  return "unknown";
}

std::string FrameReadProblem(FrameRead result, std::int64_t index, std::int64_t frame_count) {
  if (result == FrameRead::kEnd)
    return "the movie data ends after " + std::to_string(index) + " of " +
           std::to_string(frame_count) + " frames";
  return "frame " + std::to_string(index) + ": " + FrameReadText(result);
}

std::string FrameMovedProblem(std::int64_t index) {
  return "frame " + std::to_string(index) +
         ": the file has changed since it was opened (the frame is no longer where it was)";
}

}  // namespace tarvel
