// A package the storage layer can serve: an ordinary uncompressed tar archive, whose
// members become the in-memory directory tree (entries sorted case-insensitively in each
// directory, offsets at each member's data, package base 0).
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/storage_layer.h"

namespace tarvel {

inline constexpr std::size_t kTarBlockSize = 512;

// Whether the kTarBlockSize bytes at `block` are a tar member header (its checksum is right),
// as the first block of every tar archive is.
bool IsTarHeader(const unsigned char* block);

class TarPackage {
 public:
  static constexpr std::uint32_t kSlotCount = 16;

  TarPackage() = default;
  ~TarPackage();
  TarPackage(const TarPackage&) = delete;
  TarPackage& operator=(const TarPackage&) = delete;

  // Reads the archive's member list. Names longer than the header holds come from pax
  // extended headers (`tar --format=posix`) or GNU long-name members. A hard link to a file
  // stored before it, or a symbolic link to a file of the archive, is that file under another
  // name. A truncated header or member, a bad header checksum, a malformed extended header or
  // a member past the end of the file refuses the whole archive with a one-line reason in
  // `error`.
  bool Load(const std::string& path, std::string* error);
  // The same over an open stream of `size` bytes, which the package then owns (and closes).
  bool LoadStream(std::FILE* stream, std::uint64_t size, std::string* error);

  // The layer serving the archive: package enabled, loose files not tried first, with a lock.
  StorageLayer& storage() { return storage_; }
  std::size_t file_count() const { return files_.size(); }
  // Whether the archive ends as every tar program ends one, with a block of zeros. Without it
  // the archive is still read, but may have been cut short at a member's boundary.
  bool has_end_block() const { return end_block_; }

 private:
  struct Node;
  DirectoryNode* Flatten(Node& node);
  // Puts a file (or a folder) in the tree under the name of these parts, with the folders
  // above it; false when one of them is a file, or the name is a folder and not a file.
  bool Insert(Node& root, const std::vector<std::string>& parts, bool is_directory,
              const PackageFileInfo& file);
  // The entry (or the file) under the name of these parts, null if there is none.
  static const Node* FindNode(const Node& root, const std::vector<std::string>& parts);
  static const PackageFileInfo* FindFile(const Node& root, const std::vector<std::string>& parts);

  std::FILE* stream_ = nullptr;
  bool end_block_ = false;
  std::size_t tree_nodes_ = 0;  // folders and files Insert has made
  std::mutex lock_;
  StorageLayer storage_;
  StorageSlot slots_[kSlotCount] = {};
  std::int32_t slot_is_package_[kSlotCount] = {};
  std::deque<PackageFileInfo> files_;
  std::deque<DirectoryNode> nodes_;
  std::deque<std::vector<DirectoryEntry>> entry_arrays_;
  std::deque<std::string> names_;
};

}  // namespace tarvel
