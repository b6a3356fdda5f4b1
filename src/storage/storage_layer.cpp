#include "storage/storage_layer.h"

#include "storage/file_open.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tarvel {

namespace {

// Holds the layer's lock, when it has one, for the life of a scope.
class OptionalLock {
 public:
  explicit OptionalLock(std::mutex* lock) : lock_(lock) {
    if (lock_) lock_->lock();
  }
  ~OptionalLock() {
    if (lock_) lock_->unlock();
  }
  OptionalLock(const OptionalLock&) = delete;
  OptionalLock& operator=(const OptionalLock&) = delete;

 private:
  std::mutex* lock_;
};

int CompareNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int ca = static_cast<unsigned char>(*a);
    int cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb || ca == 0) return ca - cb;
  }
}

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

const char* StdioMode(std::uint32_t mode) {
  // Text and binary reads give the same bytes on this platform; the mode is still recorded.
  return mode == kStorageModeBinary ? "rb" : "r";
}

bool ValidSlot(const StorageLayer& storage, std::int32_t slot) {
  return storage.slot_handles && slot >= 0 && static_cast<std::uint32_t>(slot) < storage.slot_count;
}

// Splits a path the usual way into its directory part (up to and including the last
// separator, after an optional drive) and its file name (base name and extension).
void SplitName(const char* name, const char** directory_start, std::size_t* directory_length,
               const char** file_name) {
  const char* start = name;
  if (start[0] != '\0' && start[1] == ':') start += 2;  // the drive is ignored
  const char* last_separator = nullptr;
  for (const char* p = start; *p; ++p)
    if (IsSeparator(*p)) last_separator = p;
  *directory_start = start;
  *directory_length = last_separator ? static_cast<std::size_t>(last_separator + 1 - start) : 0;
  *file_name = last_separator ? last_separator + 1 : start;
}

bool TakeLooseSlot(StorageLayer& storage, std::FILE* file, std::int32_t* slot) {
  const std::int32_t free_slot = Storage_FindFreeSlot(storage);
  if (free_slot < 0) {
    std::fclose(file);
    return false;
  }
  storage.slot_handles[free_slot] = StorageSlot{file, nullptr};
  storage.slot_is_package[free_slot] = 0;
  *slot = free_slot;
  return true;
}

void SetPackageMode(StorageLayer& storage, std::uint32_t mode) {
  OptionalLock guard(storage.lock);
  if (mode == storage.package_mode) return;
  if (storage.package_stream) std::fflush(storage.package_stream);
  storage.package_mode = mode;
}

}  // namespace

void Storage_SetError(StorageLayer& storage, std::int32_t code, std::int32_t detail) {
  storage.last_error = code;
  storage.last_error_detail = detail;
}

namespace {

// Reports the first null one of `arguments` as missing (by its place in the list, from 1); true
// when none is.
template <typename... Pointers>
bool ArgumentsGiven(StorageLayer& storage, const Pointers*... arguments) {
  std::int32_t place = 0;
  for (const void* argument : {static_cast<const void*>(arguments)...}) {
    ++place;
    if (argument == nullptr) {
      Storage_SetError(storage, kStorageErrorMissingArgument, place);
      return false;
    }
  }
  return true;
}

}  // namespace

std::int32_t Storage_FindFreeSlot(StorageLayer& storage) {
  if (!storage.slot_handles) return -1;
  for (std::uint32_t i = 0; i < storage.slot_count; ++i) {
    const StorageSlot& s = storage.slot_handles[i];
    if (!s.loose && !s.package) return static_cast<std::int32_t>(i);
  }
  return -1;
}

bool Storage_Open(StorageLayer& storage, const char* name, std::int32_t* slot, std::uint32_t mode) {
  if (!ArgumentsGiven(storage, name, slot)) return false;
  // A failed open names no slot: slot 0 may be another caller's open entry, which a close of
  // this one would take away.
  *slot = -1;
  if (!storage.package_enabled) {
    std::FILE* file = OpenRegularFile(name, StdioMode(mode), nullptr);
    if (!file) {
      Storage_SetError(storage, kStorageErrorOpen, 0);
      return false;
    }
    return TakeLooseSlot(storage, file, slot);
  }
  if (storage.loose_first) {
    if (std::FILE* file = OpenRegularFile(name, StdioMode(mode), nullptr)) {
      if (TakeLooseSlot(storage, file, slot)) return true;
      // No free slot: the stream is closed; try the package.
    }
  }

  OptionalLock guard(storage.lock);
  const char* directory_start = nullptr;
  std::size_t directory_length = 0;
  const char* file_name = nullptr;
  SplitName(name, &directory_start, &directory_length, &file_name);
  char* directory = static_cast<char*>(std::malloc(directory_length + 1));
  if (!directory) {
    Storage_SetError(storage, kStorageErrorNoMemory, 0);
    return false;
  }
  std::memcpy(directory, directory_start, directory_length);
  directory[directory_length] = '\0';

  bool ok = false;
  if (Storage_PushDirectory(storage)) {
    if (Storage_ChangeDirectory(storage, directory)) {
      PackageFileInfo* info = Storage_FindFile(storage, file_name);
      const std::int32_t free_slot = info ? Storage_FindFreeSlot(storage) : -1;
      if (info && free_slot >= 0) {
        auto* stream = new (std::nothrow) PackageStream;
        if (!stream) {
          Storage_SetError(storage, kStorageErrorNoMemory, 0);
        } else {
          storage.slot_handles[free_slot] = StorageSlot{nullptr, stream};
          storage.slot_is_package[free_slot] = 1;
          stream->info = info;
          stream->position = storage.package_base + static_cast<std::int32_t>(info->offset);
          stream->end = static_cast<std::int32_t>(info->offset + info->size);
          stream->at_end = 0;
          stream->mode = mode;
          storage.package_position = 0;
          *slot = free_slot;
          ok = true;
        }
      }
    }
    Storage_PopDirectory(storage);
  }
  std::free(directory);
  return ok;
}

bool Storage_Read(StorageLayer& storage, std::int32_t slot, void* buffer, std::size_t length,
                  std::size_t* count) {
  if (!ArgumentsGiven(storage, buffer, count)) return false;
  if (!ValidSlot(storage, slot)) return false;
  StorageSlot& handle = storage.slot_handles[slot];
  if (handle.loose) {
    *count = ReadFromFile(handle.loose, buffer, length);
    if (std::ferror(handle.loose)) {
      // The stream's error stays with this read: left set, it would fail every read after it.
      std::clearerr(handle.loose);
      Storage_SetError(storage, kStorageErrorRead, 1);
      return false;
    }
    return true;
  }
  PackageStream* stream = handle.package;
  if (!stream || !storage.package_stream) return false;

  SetPackageMode(storage, stream->mode);
  OptionalLock guard(storage.lock);
  std::FILE* package = storage.package_stream;
  if (storage.package_position != stream->position &&
      std::fseek(package, stream->position, SEEK_SET) != 0) {
    Storage_SetError(storage, kStorageErrorPosition, 0);
    return false;
  }
  const std::int64_t absolute_end = static_cast<std::int64_t>(storage.package_base) + stream->end;
  if (static_cast<std::int64_t>(stream->position) + static_cast<std::int64_t>(length) >
      absolute_end) {
    const std::int64_t left = absolute_end - stream->position;
    length = left > 0 ? static_cast<std::size_t>(left) : 0;
    stream->at_end = 1;
  }
  const long before = std::ftell(package);
  if (before < 0) {
    Storage_SetError(storage, kStorageErrorRead, 1);
    return false;
  }
  *count = ReadFromFile(package, buffer, length);
  const long after = std::ftell(package);
  if (after < 0) {
    Storage_SetError(storage, kStorageErrorRead, 1);
    return false;
  }
  stream->position += static_cast<std::int32_t>(after - before);
  storage.package_position = stream->position;
  if (std::ferror(package)) {
    // The archive's one stream serves every entry: a failure left set would fail them all.
    std::clearerr(package);
    Storage_SetError(storage, kStorageErrorRead, 0);
    return false;
  }
  return true;
}

bool Storage_Seek(StorageLayer& storage, std::int32_t slot, std::int32_t offset,
                  std::int32_t origin) {
  if (!ValidSlot(storage, slot)) return false;
  StorageSlot& handle = storage.slot_handles[slot];
  if (handle.loose) {
    static constexpr int kOrigins[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin < 0 || origin > 2) return false;
    return std::fseek(handle.loose, offset, kOrigins[origin]) == 0;
  }
  PackageStream* stream = handle.package;
  if (!stream || !storage.package_stream) return false;
  OptionalLock guard(storage.lock);
  const std::int64_t start = static_cast<std::int64_t>(storage.package_base) + stream->info->offset;
  const std::int64_t absolute_end = static_cast<std::int64_t>(storage.package_base) + stream->end;
  std::int64_t target = start;
  switch (origin) {
    case 0:
      target = start + offset;
      break;
    case 1:
      target = static_cast<std::int64_t>(stream->position) + offset;
      break;
    case 2:
      target = start + stream->info->size - offset;  // a positive offset counts back from the end
      break;
    default:
      break;
  }
  if (target < start || target > absolute_end) return false;
  if (std::fseek(storage.package_stream, static_cast<long>(target), SEEK_SET) != 0) return false;
  stream->position = static_cast<std::int32_t>(target);
  storage.package_position = stream->position;
  stream->at_end = 0;
  return true;
}

bool Storage_Close(StorageLayer& storage, std::int32_t slot) {
  if (!ValidSlot(storage, slot)) return true;
  StorageSlot& handle = storage.slot_handles[slot];
  if (handle.loose) {
    std::fclose(handle.loose);
  } else if (handle.package) {
    OptionalLock guard(storage.lock);
    delete handle.package;
  }
  handle = StorageSlot{};
  storage.slot_is_package[slot] = 1;
  return true;
}

std::int64_t Storage_Length(StorageLayer& storage, std::int32_t slot) {
  if (!ValidSlot(storage, slot)) return -1;
  const StorageSlot& handle = storage.slot_handles[slot];
  if (handle.package) return handle.package->info->size;
  if (handle.loose) {
    // The end of the file, found without moving the stream for good.
    const long position = std::ftell(handle.loose);
    if (position < 0 || std::fseek(handle.loose, 0, SEEK_END) != 0) return -1;
    const long length = std::ftell(handle.loose);
    if (std::fseek(handle.loose, position, SEEK_SET) != 0) return -1;
    return length;
  }
  return -1;
}

DirectoryEntry* Storage_FindEntry(StorageLayer& storage, const char* name,
                                  std::uint32_t required_kind) {
  if (!ArgumentsGiven(storage, name)) return nullptr;
  const DirectoryNode* node = storage.current_directory;
  if (!node || !node->entries) return nullptr;
  std::int32_t low = 0;
  std::int32_t high = node->entry_count - 1;
  while (low <= high) {
    const std::int32_t middle = low + (high - low) / 2;
    DirectoryEntry& entry = node->entries[middle];
    const int order = CompareNoCase(name, entry.name);
    if (order == 0) return (entry.kind_flags & required_kind) == required_kind ? &entry : nullptr;
    if (order < 0)
      high = middle - 1;
    else
      low = middle + 1;
  }
  return nullptr;
}

PackageFileInfo* Storage_FindFile(StorageLayer& storage, const char* name) {
  DirectoryEntry* entry = Storage_FindEntry(storage, name, kEntryFile);
  return entry ? entry->file : nullptr;
}

bool Storage_SetDirectory(StorageLayer& storage, DirectoryNode* node) {
  if (!ArgumentsGiven(storage, node)) return false;
  storage.current_directory = node;
  return true;
}

bool Storage_PushDirectory(StorageLayer& storage) {
  if (storage.directory_depth >= kDirectoryStackSize) {
    Storage_SetError(storage, kStorageErrorStackFull, 0);
    return false;
  }
  storage.directory_stack[storage.directory_depth++] = storage.current_directory;
  return true;
}

bool Storage_PopDirectory(StorageLayer& storage) {
  if (storage.directory_depth <= 0) {
    Storage_SetError(storage, kStorageErrorStackEmpty, 0);
    return false;
  }
  storage.current_directory = storage.directory_stack[--storage.directory_depth];
  return true;
}

bool Storage_DropSavedDirectory(StorageLayer& storage) {
  if (storage.directory_depth <= 0) {
    Storage_SetError(storage, kStorageErrorStackEmpty, 0);
    return false;
  }
  --storage.directory_depth;
  return true;
}

bool Storage_EnterSubdirectory(StorageLayer& storage, const char* name) {
  if (!ArgumentsGiven(storage, name)) return false;
  DirectoryEntry* entry = Storage_FindEntry(storage, name, kEntryDirectory);
  if (!entry || !entry->directory) return false;
  storage.current_directory = entry->directory;
  return true;
}

bool Storage_ChangeDirectory(StorageLayer& storage, const char* path) {
  if (!ArgumentsGiven(storage, path)) return false;
  if (!Storage_PushDirectory(storage)) return false;
  std::int32_t count = 0;
  char** parts = nullptr;
  if (!Storage_SplitPath(storage, path, &count, &parts)) {
    Storage_PopDirectory(storage);
    return false;
  }
  std::int32_t first = 0;
  if (count > 0 && parts[0][0] == '\0') {
    Storage_SetDirectory(storage, &storage.root);
    first = 1;
  }
  for (std::int32_t i = first; i < count; ++i) {
    if (!Storage_EnterSubdirectory(storage, parts[i])) {
      Storage_FreePathParts(storage, count, parts);
      Storage_PopDirectory(storage);
      return false;
    }
  }
  Storage_DropSavedDirectory(storage);
  Storage_FreePathParts(storage, count, parts);
  return true;
}

bool Storage_SplitPath(StorageLayer& storage, const char* path, std::int32_t* count, char*** list) {
  if (!ArgumentsGiven(storage, count, list, path)) return false;
  *count = 0;
  *list = nullptr;
  const std::size_t length = std::strlen(path);
  std::size_t start = 0;
  auto add = [&](std::size_t from, std::size_t to) {
    char* part = static_cast<char*>(std::malloc(to - from + 1));
    auto** grown = static_cast<char**>(
        std::realloc(*list, sizeof(char*) * static_cast<std::size_t>(*count + 1)));
    if (!part || !grown) {
      std::free(part);
      if (grown) *list = grown;
      Storage_FreePathParts(storage, *count, *list);
      *list = nullptr;
      *count = 0;
      Storage_SetError(storage, kStorageErrorNoMemory, 0);
      return false;
    }
    std::memcpy(part, path + from, to - from);
    part[to - from] = '\0';
    *list = grown;
    (*list)[(*count)++] = part;
    return true;
  };
  for (std::size_t i = 0; i < length; ++i) {
    if (!IsSeparator(path[i])) continue;
    if (!add(start, i)) return false;
    start = i + 1;
  }
  if (start < length && !add(start, length)) return false;
  return true;
}

bool Storage_FreePathParts(StorageLayer& storage, std::int32_t count, char** list) {
  if (!list) {
    if (count == 0) return true;  // an empty path has no list to free
    Storage_SetError(storage, kStorageErrorMissingArgument, 2);
    return false;
  }
  for (std::int32_t i = 0; i < count; ++i) std::free(list[i]);
  std::free(list);
  return true;
}

}  // namespace tarvel
