// The package storage layer: a table of open-file slots in which a name is served either
// as a loose file on disk or as an entry of a package, one already-open stream holding many
// files under an in-memory directory tree. Each open entry keeps its own position over the
// shared package stream; an optional lock serialises the calls that touch it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>

namespace tarvel {

// Error codes left in `last_error`.
inline constexpr std::int32_t kStorageErrorOpen = -5100;
inline constexpr std::int32_t kStorageErrorRead = -5110;
inline constexpr std::int32_t kStorageErrorNoMemory = -5120;
inline constexpr std::int32_t kStorageErrorMissingArgument = -5360;
inline constexpr std::int32_t kStorageErrorStackFull = -5500;
inline constexpr std::int32_t kStorageErrorStackEmpty = -5510;
inline constexpr std::int32_t kStorageErrorPosition = -5540;

// Translation modes of a stream.
inline constexpr std::uint32_t kStorageModeBinary = 0x8000;
inline constexpr std::uint32_t kStorageModeText = 0x4000;

// Kind flags of a directory entry.
inline constexpr std::uint32_t kEntryDirectory = 1;
inline constexpr std::uint32_t kEntryFile = 2;

inline constexpr std::int32_t kDirectoryStackSize = 256;

struct DirectoryNode;

struct PackageFileInfo {
  std::uint32_t size = 0;
  std::uint32_t reserved = 0;  // not read by the layer
  std::uint32_t offset = 0;    // of the file's first byte, counted from `package_base`
};

struct DirectoryEntry {
  const char* name = nullptr;  // one path component
  std::uint32_t kind_flags = 0;
  DirectoryNode* directory = nullptr;  // target of a directory entry
  PackageFileInfo* file = nullptr;     // target of a file entry
};

// Entries sorted in ascending order of name, compared without regard to ASCII letter case.
struct DirectoryNode {
  std::int32_t entry_count = 0;
  DirectoryEntry* entries = nullptr;
};

// One open package entry, owned by its slot.
struct PackageStream {
  PackageFileInfo* info = nullptr;
  std::int32_t position = 0;  // absolute offset in the package stream of the next byte
  std::int32_t end = 0;       // offset + size, relative to `package_base`
  std::int32_t at_end = 0;
  std::uint32_t mode = kStorageModeBinary;
};

// A slot holds a loose stdio stream or a package entry; both null = free.
struct StorageSlot {
  std::FILE* loose = nullptr;
  PackageStream* package = nullptr;
};

// The caller creates it, fills the package fields and the slot tables, and owns them.
struct StorageLayer {
  DirectoryNode root;
  DirectoryNode* current_directory = nullptr;
  std::int32_t package_base = 0;
  std::int32_t package_position = 0;
  DirectoryNode* directory_stack[kDirectoryStackSize] = {};
  std::int32_t directory_depth = 0;
  std::int32_t last_error = 0;
  std::int32_t last_error_detail = 0;
  std::mutex* lock = nullptr;  // null: no locking
  std::FILE* package_stream = nullptr;
  StorageSlot* slot_handles = nullptr;
  std::int32_t* slot_is_package = nullptr;
  std::uint32_t slot_count = 0;
  std::uint32_t package_mode = kStorageModeBinary;
  std::int32_t package_enabled = 0;
  std::int32_t loose_first = 0;
};

std::int32_t Storage_FindFreeSlot(StorageLayer& storage);
// Opens `name` into a free slot and puts its number in `*slot`; -1 there when it fails.
bool Storage_Open(StorageLayer& storage, const char* name, std::int32_t* slot, std::uint32_t mode);
bool Storage_Read(StorageLayer& storage, std::int32_t slot, void* buffer, std::size_t length,
                  std::size_t* count);
bool Storage_Seek(StorageLayer& storage, std::int32_t slot, std::int32_t offset,
                  std::int32_t origin);
bool Storage_Close(StorageLayer& storage, std::int32_t slot);
void Storage_SetError(StorageLayer& storage, std::int32_t code, std::int32_t detail);

PackageFileInfo* Storage_FindFile(StorageLayer& storage, const char* name);
DirectoryEntry* Storage_FindEntry(StorageLayer& storage, const char* name,
                                  std::uint32_t required_kind);
bool Storage_SetDirectory(StorageLayer& storage, DirectoryNode* node);
bool Storage_PushDirectory(StorageLayer& storage);
bool Storage_DropSavedDirectory(StorageLayer& storage);
bool Storage_PopDirectory(StorageLayer& storage);
bool Storage_ChangeDirectory(StorageLayer& storage, const char* path);
bool Storage_EnterSubdirectory(StorageLayer& storage, const char* name);
bool Storage_SplitPath(StorageLayer& storage, const char* path, std::int32_t* count, char*** list);
bool Storage_FreePathParts(StorageLayer& storage, std::int32_t count, char** list);

// Size in bytes of the file open in `slot` (a loose file's length from the file system).
std::int64_t Storage_Length(StorageLayer& storage, std::int32_t slot);

}  // namespace tarvel
