// Feeds arbitrary bytes to the tar package reader as an archive, then opens, reads and seeks
// every file it lists through the package storage layer, and looks up a few names that are not
// there.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "storage/tar_package.h"

namespace {

using namespace tarvel;

// Every file below `node`, by its path from the root.
void CollectFiles(const DirectoryNode& node, const std::string& prefix,
                  std::vector<std::string>* paths, int depth) {
  if (depth > 64) return;
  for (std::int32_t i = 0; i < node.entry_count; ++i) {
    const DirectoryEntry& entry = node.entries[i];
    const std::string path = prefix + "/" + entry.name;
    if (entry.kind_flags & kEntryDirectory) CollectFiles(*entry.directory, path, paths, depth + 1);
    if (entry.kind_flags & kEntryFile) paths->push_back(path);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (!stream) return 0;
  TarPackage package;
  std::string error;
  if (!package.LoadStream(stream, size, &error)) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  StorageLayer& storage = package.storage();
  std::vector<std::string> paths;
  CollectFiles(storage.root, "", &paths, 0);
  if (paths.size() > package.file_count()) std::abort();  // at most one entry per member
  paths.push_back("/absent.kqm");
  paths.push_back("a/../b");
  std::uint8_t buffer[1024];
  for (const std::string& path : paths) {
    std::int32_t slot = -1;
    if (!Storage_Open(storage, path.c_str(), &slot, kStorageModeBinary)) continue;
    std::size_t count = 0, total = 0;
    while (Storage_Read(storage, slot, buffer, sizeof buffer, &count) && count > 0) {
      total += count;
      if (total > size) std::abort();  // an entry never holds more than the archive
    }
    Storage_Seek(storage, slot, 0, 2);
    Storage_Seek(storage, slot, 7, 0);
    Storage_Read(storage, slot, buffer, 3, &count);
    Storage_Close(storage, slot);
  }
  return 0;
}
