// The movie as a byte stream: open by name, read, seek to an absolute offset, close.
// Four sources share the four operations: a plain file, an entry of a package served by
// the package storage layer, a block of memory, and bytes served by the caller's function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tarvel {

inline constexpr std::int32_t kSourcePlainFile = 0;
inline constexpr std::int32_t kSourceStorage = 1;
inline constexpr std::int32_t kSourceMemory = 2;
inline constexpr std::int32_t kSourceCallback = 3;

struct StorageLayer;

// Source 3: a stream owned by a host (a media framework's upstream element, for one) that
// hands out byte ranges on request.
struct SourceCallback {
  // Copies `length` bytes at absolute `offset` into `buffer`; true only when all were delivered.
  bool (*read_at)(void* user, std::int64_t offset, void* buffer, std::size_t length) = nullptr;
  void* user = nullptr;
  std::int64_t length = -1;  // total bytes, or -1 when the host cannot tell
  // The total as the host tells it now (a file still being written grows), or -1; null when
  // `length` stays as given.
  std::int64_t (*measure)(void* user) = nullptr;
  // Whether the last read_at that failed met an error of the host's stream (a failing disk or
  // network) rather than its end; null when the host cannot tell.
  bool (*failed_reading)(void* user) = nullptr;
};

struct MovieSource {
  std::int32_t source_kind = kSourcePlainFile;
  std::FILE* movie_file = nullptr;
  // Source 0: why the last open failed (a file_open.h code), for the caller's message.
  std::int32_t open_problem = 0;
  // Sources 0, 1 and 3: the last read that fell short failed in the file system (a failing disk or
  // network), rather than finding the file's end.
  bool read_failed = false;
  StorageLayer* storage = nullptr;  // source 1; not owned
  std::int32_t storage_slot = -1;
  // Source 2. Unlike a bare cursor, the source knows the block's size so that a read or a
  // seek past its end fails instead of running off the block.
  const std::uint8_t* memory_block = nullptr;
  std::size_t memory_size = 0;
  const std::uint8_t* memory_cursor = nullptr;
  std::size_t memory_consumed = 0;
  // Source 3.
  SourceCallback callback;
  std::int64_t callback_position = 0;
};

// Source 0 opens `name` as a file ("rb") when it is a regular file (OpenRegularFile); source 1
// opens it through the storage layer (binary mode) in `storage`.
bool Source_Open(MovieSource& source, const char* name);
// Source 2: serves `size` bytes at `block` (kept by the caller until close).
bool Source_OpenMemory(MovieSource& source, const std::uint8_t* block, std::size_t size);
// Source 3: reads through `callback` (its function must stay callable until close).
bool Source_OpenCallback(MovieSource& source, const SourceCallback& callback);
// 1 when all `length` bytes were delivered, else 0.
int Source_Read(MovieSource& source, void* buffer, std::size_t length);
// Absolute seek from the start of the movie; false when it cannot be done.
bool Source_Seek(MovieSource& source, std::int64_t offset);
void Source_Close(MovieSource& source);
// Total length of the open movie in bytes, or -1 when it cannot be told.
std::int64_t Source_Length(MovieSource& source);
// Whether `count` bytes lie from `offset` on, against `known_length` (the length seen last; -1
// when it cannot be told, which passes). A file found shorter is measured again first, since it
// may have grown since (a download still being written); `known_length` then takes the new
// length.
bool Source_HasBytes(MovieSource& source, std::int64_t& known_length, std::int64_t offset,
                     std::int64_t count);
bool Source_IsOpen(const MovieSource& source);

}  // namespace tarvel
