#include "storage/movie_source.h"

#include <cstring>

#include "storage/file_open.h"
#include "storage/storage_layer.h"

namespace tarvel {

bool Source_Open(MovieSource& source, const char* name) {
  switch (source.source_kind) {
    case kSourcePlainFile:
      source.movie_file = OpenRegularFile(name, "rb", &source.open_problem);
      return source.movie_file != nullptr;
    case kSourceStorage:
      if (!name || !source.storage) return false;
      return Storage_Open(*source.storage, name, &source.storage_slot, kStorageModeBinary);
    default:
      return false;  // the memory source is opened with Source_OpenMemory
  }
}

bool Source_OpenMemory(MovieSource& source, const std::uint8_t* block, std::size_t size) {
  source.source_kind = kSourceMemory;
  source.memory_block = block;
  source.memory_size = block ? size : 0;
  source.memory_cursor = block;
  source.memory_consumed = 0;
  return true;
}

bool Source_OpenCallback(MovieSource& source, const SourceCallback& callback) {
  source.source_kind = kSourceCallback;
  source.callback = callback;
  source.callback_position = 0;
  return callback.read_at != nullptr;
}

int Source_Read(MovieSource& source, void* buffer, std::size_t length) {
  switch (source.source_kind) {
    case kSourcePlainFile:
      if (!source.movie_file) return 0;
      source.read_failed = false;
      if (length == 0) return 1;
      if (ReadFromFile(source.movie_file, buffer, length) == length) return 1;
      source.read_failed = std::ferror(source.movie_file) != 0;
      std::clearerr(source.movie_file);
      return 0;
    case kSourceStorage: {
      if (source.storage_slot < 0 || !source.storage) return 0;
      std::size_t delivered = 0;
      // The layer fails a read when the archive's stream cannot be positioned or read (a
      // failing disk), never at the member's end.
      source.read_failed =
          !Storage_Read(*source.storage, source.storage_slot, buffer, length, &delivered);
      if (source.read_failed) return 0;
      return delivered == length ? 1 : 0;
    }
    case kSourceMemory: {
      if (!source.memory_block || length > source.memory_size - source.memory_consumed) return 0;
      if (length) std::memcpy(buffer, source.memory_cursor, length);
      source.memory_cursor += length;
      source.memory_consumed += length;
      return 1;
    }
    case kSourceCallback: {
      const SourceCallback& callback = source.callback;
      source.read_failed = false;
      if (!callback.read_at) return 0;
      if (callback.length >= 0 &&
          static_cast<std::uint64_t>(length) >
              static_cast<std::uint64_t>(callback.length - source.callback_position))
        return 0;
      if (length && !callback.read_at(callback.user, source.callback_position, buffer, length)) {
        source.read_failed = callback.failed_reading && callback.failed_reading(callback.user);
        return 0;
      }
      source.callback_position += static_cast<std::int64_t>(length);
      return 1;
    }
    default:
      return 0;
  }
}

bool Source_Seek(MovieSource& source, std::int64_t offset) {
  if (offset < 0) return false;
  switch (source.source_kind) {
    case kSourcePlainFile:
      if (!source.movie_file) return false;
      return std::fseek(source.movie_file, static_cast<long>(offset), SEEK_SET) == 0;
    case kSourceStorage:
      if (source.storage_slot < 0 || !source.storage || offset > INT32_MAX) return false;
      return Storage_Seek(*source.storage, source.storage_slot, static_cast<std::int32_t>(offset),
                          0);
    case kSourceMemory:
      if (!source.memory_block || static_cast<std::uint64_t>(offset) > source.memory_size)
        return false;
      source.memory_cursor = source.memory_block + offset;
      source.memory_consumed = static_cast<std::size_t>(offset);
      return true;
    case kSourceCallback:
      if (!source.callback.read_at ||
          (source.callback.length >= 0 && offset > source.callback.length))
        return false;
      source.callback_position = offset;
      return true;
    default:
      return false;
  }
}

void Source_Close(MovieSource& source) {
  switch (source.source_kind) {
    case kSourcePlainFile:
      if (source.movie_file) std::fclose(source.movie_file);
      source.movie_file = nullptr;
      break;
    case kSourceStorage:
      if (source.storage_slot != -1) {
        if (source.storage) Storage_Close(*source.storage, source.storage_slot);
        source.storage_slot = -1;
      }
      break;
    case kSourceCallback:
      source.callback = SourceCallback{};
      break;
    default:
      break;
  }
}

std::int64_t Source_Length(MovieSource& source) {
  switch (source.source_kind) {
    case kSourcePlainFile: {
      if (!source.movie_file) return -1;
      const long here = std::ftell(source.movie_file);
      if (here < 0 || std::fseek(source.movie_file, 0, SEEK_END) != 0) return -1;
      const long end = std::ftell(source.movie_file);
      std::fseek(source.movie_file, here, SEEK_SET);
      return end;
    }
    case kSourceStorage:
      if (source.storage_slot < 0 || !source.storage) return -1;
      return Storage_Length(*source.storage, source.storage_slot);
    case kSourceMemory:
      return source.memory_block ? static_cast<std::int64_t>(source.memory_size) : -1;
    case kSourceCallback:
      if (!source.callback.read_at) return -1;
      if (source.callback.measure)
        source.callback.length = source.callback.measure(source.callback.user);
      return source.callback.length;
    default:
      return -1;
  }
}

bool Source_HasBytes(MovieSource& source, std::int64_t& known_length, std::int64_t offset,
                     std::int64_t count) {
  if (known_length < 0 || count <= known_length - offset) return true;
  known_length = Source_Length(source);
  return known_length < 0 || count <= known_length - offset;
}

bool Source_IsOpen(const MovieSource& source) {
  switch (source.source_kind) {
    case kSourcePlainFile:
      return source.movie_file != nullptr;
    case kSourceStorage:
      return source.storage_slot != -1;
    case kSourceMemory:
      return source.memory_block != nullptr;
    case kSourceCallback:
      return source.callback.read_at != nullptr;
    default:
      return false;
  }
}

}  // namespace tarvel
