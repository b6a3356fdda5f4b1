#include "storage/tar_package.h"

#include "storage/file_open.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

namespace tarvel {

namespace {

constexpr std::size_t kBlock = kTarBlockSize;

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return out;
}

// A header field that may fill its whole width without a terminating zero.
std::string Field(const unsigned char* header, std::size_t offset, std::size_t width) {
  const char* start = reinterpret_cast<const char*>(header + offset);
  return std::string(start, strnlen(start, width));
}

// Octal number, or base-256 when the top bit of the first byte is set.
bool ParseNumber(const unsigned char* field, std::size_t width, std::uint64_t* value) {
  *value = 0;
  if (field[0] & 0x80) {
    if (field[0] != 0x80) return false;  // negative or too large
    for (std::size_t i = 1; i < width; ++i) {
      if (*value >> 55) return false;
      *value = (*value << 8) | field[i];
    }
    return true;
  }
  std::size_t i = 0;
  while (i < width && field[i] == ' ') ++i;
  bool digits = false;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
    *value = (*value << 3) | static_cast<std::uint64_t>(field[i] - '0');
    digits = true;
  }
  for (; i < width; ++i)
    if (field[i] != ' ' && field[i] != '\0') return false;
  return digits;
}

// Extended headers (pax records, GNU long names) larger than this are refused: real ones hold
// a name or two.
constexpr std::uint64_t kMaxExtendedHeader = 1 << 20;

// Members nested deeper than this are refused: the tree is built and taken apart one level per
// call, and a crafted name of "a/" repeated could nest hundreds of thousands of levels, more
// than the stack holds. No path a file system takes (4096 bytes) nests deeper than 2048.
constexpr std::size_t kMaxDepth = 2048;

// Folders and files the tree may hold: one for every 64 bytes of the archive, and at least this
// many. A real archive stores a header block or more for each, but a name of short parts ("a/b/c/
// ...") makes a folder of every two bytes, some hundred bytes of tree each: a 10 MB archive of
// such names took 740 MB.
constexpr std::size_t kMinTreeNodes = std::size_t{1} << 16;
constexpr std::uint64_t kArchiveBytesPerNode = 64;

// Symbolic links followed in a row at most, as the file system follows them; a loop of links
// is never followed.
constexpr int kMaxLinkHops = 40;

// The records "LENGTH key=value\n" of a pax extended header: the member's own path, link target
// and size where it gives them (other keys are not needed to serve the files). False when a record
// is malformed.
bool ParsePaxRecords(const std::string& data, std::string* path, std::string* link_path,
                     std::uint64_t* size, bool* has_size) {
  std::size_t at = 0;
  while (at < data.size()) {
    if (data[at] == '\0') break;  // padding some writers leave
    std::size_t length = 0, i = at;
    while (i < data.size() && data[i] >= '0' && data[i] <= '9' && length < kMaxExtendedHeader)
      length = length * 10 + static_cast<std::size_t>(data[i++] - '0');
    if (i == at || i >= data.size() || data[i] != ' ' || length <= i - at + 1 ||
        length > data.size() - at || data[at + length - 1] != '\n')
      return false;
    const std::string record = data.substr(i + 1, at + length - 1 - (i + 1));
    const auto equals = record.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = record.substr(0, equals), value = record.substr(equals + 1);
    if (key == "path") *path = value;
    if (key == "linkpath") *link_path = value;
    if (key == "size") {
      std::uint64_t v = 0;
      if (value.empty() || value.size() > 18 ||
          !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
      for (const char c : value) v = v * 10 + static_cast<std::uint64_t>(c - '0');
      *size = v;
      *has_size = true;
    }
    at += length;
  }
  return true;
}

bool ChecksumMatches(const unsigned char* header) {
  std::uint64_t stored = 0;
  if (!ParseNumber(header + 148, 8, &stored)) return false;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < kBlock; ++i) sum += (i >= 148 && i < 156) ? ' ' : header[i];
  return sum == stored;
}

// The compression whose stream starts with these bytes, if one of those tar archives are
// usually packed with; null for anything else.
const char* CompressionOf(const unsigned char* start) {
  static constexpr struct {
    unsigned char magic[6];
    std::size_t length;
    const char* name;
  } kKinds[] = {
      {{0x1F, 0x8B}, 2, "gzip"},
      {{'B', 'Z', 'h'}, 3, "bzip2"},
      {{0xFD, '7', 'z', 'X', 'Z', 0x00}, 6, "xz"},
      {{0x28, 0xB5, 0x2F, 0xFD}, 4, "zstd"},
  };
  for (const auto& kind : kKinds)
    if (std::memcmp(start, kind.magic, kind.length) == 0) return kind.name;
  return nullptr;
}

// A member name's folders and file name; "." and empty components vanish.
std::vector<std::string> NameParts(const std::string& name) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/') {
      std::string part = name.substr(start, i - start);
      if (!part.empty() && part != ".") parts.push_back(part);
      start = i + 1;
    }
  }
  return parts;
}

std::string JoinParts(const std::vector<std::string>& parts) {
  std::string name;
  for (const std::string& part : parts) name += "/" + part;
  return name;
}

}  // namespace

bool IsTarHeader(const unsigned char* block) {
  return ChecksumMatches(block);
}

struct TarPackage::Node {
  std::string name;
  bool is_directory = true;
  PackageFileInfo* file = nullptr;
  std::map<std::string, Node> children;  // by lower-case name
};

TarPackage::~TarPackage() {
  for (std::uint32_t i = 0; i < kSlotCount; ++i)
    Storage_Close(storage_, static_cast<std::int32_t>(i));
  if (stream_) std::fclose(stream_);
}

bool TarPackage::Load(const std::string& path, std::string* error) {
  std::int32_t problem = kFileOpened;
  std::FILE* stream = OpenRegularFile(path.c_str(), "rb", &problem);
  if (!stream) {
    if (error) *error = FileOpenProblemText(problem);
    return false;
  }
  std::error_code size_error;
  const std::uint64_t file_size = std::filesystem::file_size(path, size_error);
  if (size_error) {
    std::fclose(stream);
    if (error) *error = "cannot open: " + size_error.message();
    return false;
  }
  return LoadStream(stream, file_size, error);
}

bool TarPackage::LoadStream(std::FILE* stream, std::uint64_t file_size, std::string* error) {
  stream_ = stream;
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  // Why a read of the archive failed, as the system says it (a failing disk is no damage).
  auto unreadable = [&](const char* what, std::uint64_t offset) {
    const int reason = errno;
    std::string message =
        std::string("cannot read the ") + what + " at offset " + std::to_string(offset);
    if (std::ferror(stream_) && reason != 0) message += ": " + std::string(std::strerror(reason));
    return fail(message);
  };
  if (file_size > static_cast<std::uint64_t>(INT32_MAX))
    return fail("archive larger than 2 GiB cannot be served");

  Node root;
  tree_nodes_ = 0;
  const std::size_t max_tree_nodes = std::max<std::size_t>(
      kMinTreeNodes, static_cast<std::size_t>(file_size / kArchiveBytesPerNode));
  unsigned char header[kBlock];
  std::uint64_t offset = 0;
  // What extended headers said about the member that follows them.
  std::string long_name, long_link, pax_path, pax_link;
  std::uint64_t pax_size = 0;
  bool has_pax_size = false;
  struct SymbolicLink {
    std::vector<std::string> parts;
    std::string target;
  };
  std::vector<SymbolicLink> symbolic_links;
  std::size_t link_parts = 0;  // the folders and files the links may add to the tree
  for (;;) {
    if (offset == file_size) break;  // no end-of-archive blocks: accepted
    if (file_size - offset < kBlock)
      return fail("truncated member header at offset " + std::to_string(offset));
    if (std::fseek(stream_, static_cast<long>(offset), SEEK_SET) != 0 ||
        ReadFromFile(stream_, header, kBlock) != kBlock)
      return unreadable("member header", offset);
    if (std::all_of(header, header + kBlock, [](unsigned char b) { return b == 0; })) {
      end_block_ = true;
      break;
    }
    if (!ChecksumMatches(header)) {
      if (offset == 0) {
        if (const char* kind = CompressionOf(header))
          return fail(std::string("compressed with ") + kind +
                      ": only a plain tar archive can be read (unpack it first)");
      }
      return fail("not a tar archive, or a damaged member header at offset " +
                  std::to_string(offset));
    }
    std::uint64_t size = 0;
    if (!ParseNumber(header + 124, 12, &size))
      return fail("bad member size at offset " + std::to_string(offset));
    const char type = static_cast<char>(header[156]);
    std::string name = Field(header, 0, 100);
    // The POSIX magic only: a GNU header ("ustar  ") may hold times where the prefix would be.
    if (std::memcmp(header + 257, "ustar\0", 6) == 0) {
      const std::string prefix = Field(header, 345, 155);
      if (!prefix.empty()) name = prefix + "/" + name;
    }
    const std::uint64_t data = offset + kBlock;
    // Extended headers: a pax header ('x') for the next member, a global one ('g', which holds
    // nothing this reader needs), a GNU long name ('L') or long link name ('K').
    if (type == 'x' || type == 'g' || type == 'L' || type == 'K') {
      if (size > file_size || data + size > file_size)
        return fail("member '" + name + "' runs past the end of the archive");
      if (size > kMaxExtendedHeader)
        return fail("extended header of " + std::to_string(size) + " bytes at offset " +
                    std::to_string(offset));
      std::string text(static_cast<std::size_t>(size), '\0');
      if (size && ReadFromFile(stream_, text.data(), text.size()) != text.size())
        return unreadable("extended header", offset);
      if (type == 'x' && !ParsePaxRecords(text, &pax_path, &pax_link, &pax_size, &has_pax_size))
        return fail("malformed pax header at offset " + std::to_string(offset));
      if (type == 'L') long_name = text.substr(0, strnlen(text.c_str(), text.size()));
      if (type == 'K') long_link = text.substr(0, strnlen(text.c_str(), text.size()));
      offset = data + (size + kBlock - 1) / kBlock * kBlock;
      continue;
    }
    if (!pax_path.empty())
      name = pax_path;
    else if (!long_name.empty())
      name = long_name;
    if (has_pax_size) size = pax_size;
    // A hard link: another name for a file stored earlier in the archive, with no data of its
    // own (the tar program stores each file once, however many names it has).
    const std::string link = !pax_link.empty()    ? pax_link
                             : !long_link.empty() ? long_link
                                                  : Field(header, 157, 100);
    const PackageFileInfo* linked = type == '1' ? FindFile(root, NameParts(link)) : nullptr;
    pax_path.clear();
    pax_link.clear();
    long_name.clear();
    long_link.clear();
    has_pax_size = false;
    if (size > file_size || data + size > file_size)
      return fail("member '" + name + "' runs past the end of the archive");
    const std::uint64_t padded = (size + kBlock - 1) / kBlock * kBlock;

    // Tar programs before the POSIX types wrote a folder as a file whose name ends in '/'.
    const bool old_directory = (type == '0' || type == '\0') && !name.empty() && name.back() == '/';
    const bool is_file =
        (type == '0' || type == '\0' || type == '7' || linked != nullptr) && !old_directory;
    const bool is_directory = type == '5' || old_directory;
    if (is_file || is_directory || type == '2') {
      std::vector<std::string> parts = NameParts(name);
      if (parts.size() > kMaxDepth)
        return fail("a member at offset " + std::to_string(offset) + " is nested deeper than " +
                    std::to_string(kMaxDepth) + " levels");
      if (type == '2') {
        link_parts += parts.size();
        if (!parts.empty()) symbolic_links.push_back({std::move(parts), link});
      } else if (!Insert(root, parts, is_directory,
                         linked ? *linked
                                : PackageFileInfo{static_cast<std::uint32_t>(size), 0,
                                                  static_cast<std::uint32_t>(data)})) {
        return fail("'" + name + "' is both a file and a directory in the archive");
      }
      if (tree_nodes_ + link_parts > max_tree_nodes)
        return fail("the member names up to offset " + std::to_string(offset) + " make more than " +
                    std::to_string(max_tree_nodes) +
                    " folders and files, too many for an archive of " + std::to_string(file_size) +
                    " bytes");
    }
    offset = data + padded;
    if (offset > file_size) offset = file_size;
  }

  // A symbolic link to a file of the archive is that file under the link's name, found from the
  // link's folder as the file system finds it (a link to a link too, in any order). A link to a
  // folder, to a path outside the archive or to nothing stays out of the tree, as does one
  // whose name another member holds.
  std::map<std::string, std::size_t> link_by_name;
  for (std::size_t i = 0; i < symbolic_links.size(); ++i)
    link_by_name[Lower(JoinParts(symbolic_links[i].parts))] = i;
  // Where each link points: a file, another link, or nothing that can be followed.
  constexpr std::size_t kNoLink = SIZE_MAX;
  std::vector<const PackageFileInfo*> link_file(symbolic_links.size(), nullptr);
  std::vector<std::size_t> next_link(symbolic_links.size(), kNoLink);
  for (std::size_t i = 0; i < symbolic_links.size(); ++i) {
    const SymbolicLink& link = symbolic_links[i];
    if (link.target.empty() || link.target[0] == '/') continue;
    std::vector<std::string> target(link.parts.begin(), link.parts.end() - 1);
    bool inside = true;
    for (const std::string& part : NameParts(link.target)) {
      if (part != "..")
        target.push_back(part);
      else if (target.empty())
        inside = false;
      else
        target.pop_back();
    }
    if (!inside) continue;
    if (const Node* node = FindNode(root, target)) {
      link_file[i] = node->is_directory ? nullptr : node->file;
    } else if (const auto next = link_by_name.find(Lower(JoinParts(target)));
               next != link_by_name.end()) {
      next_link[i] = next->second;
    }
  }
  // A chain of links ends at a file within so many hops, or is not followed (a loop never is).
  std::vector<const PackageFileInfo*> followed(symbolic_links.size(), nullptr);
  for (std::size_t i = 0; i < symbolic_links.size(); ++i) {
    std::size_t at = i;
    for (int hop = 1; hop < kMaxLinkHops && next_link[at] != kNoLink; ++hop) at = next_link[at];
    followed[i] = next_link[at] == kNoLink ? link_file[at] : nullptr;
  }
  for (std::size_t i = 0; i < symbolic_links.size(); ++i)
    if (followed[i] && !FindNode(root, symbolic_links[i].parts))
      Insert(root, symbolic_links[i].parts, false, *followed[i]);

  storage_.root = *Flatten(root);
  storage_.current_directory = &storage_.root;
  storage_.package_base = 0;
  storage_.package_position = 0;
  storage_.lock = &lock_;
  storage_.package_stream = stream_;
  storage_.slot_handles = slots_;
  storage_.slot_is_package = slot_is_package_;
  storage_.slot_count = kSlotCount;
  storage_.package_mode = kStorageModeBinary;
  storage_.package_enabled = 1;
  storage_.loose_first = 0;
  return true;
}

bool TarPackage::Insert(Node& root, const std::vector<std::string>& parts, bool is_directory,
                        const PackageFileInfo& file) {
  Node* node = &root;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    Node& child = node->children[Lower(parts[i])];
    if (child.name.empty()) {
      ++tree_nodes_;
      child.name = parts[i];
      child.is_directory = !last || is_directory;
    }
    if (child.is_directory != (!last || is_directory)) return false;
    if (last && !is_directory) {
      files_.push_back(file);
      child.file = &files_.back();  // a later member of the same name replaces it
    }
    node = &child;
  }
  return true;
}

const TarPackage::Node* TarPackage::FindNode(const Node& root,
                                             const std::vector<std::string>& parts) {
  const Node* node = &root;
  for (const std::string& part : parts) {
    if (!node->is_directory) return nullptr;
    const auto child = node->children.find(Lower(part));
    if (child == node->children.end()) return nullptr;
    node = &child->second;
  }
  return node;
}

const PackageFileInfo* TarPackage::FindFile(const Node& root,
                                            const std::vector<std::string>& parts) {
  const Node* node = FindNode(root, parts);
  return node && !node->is_directory ? node->file : nullptr;
}

DirectoryNode* TarPackage::Flatten(Node& node) {
  std::vector<DirectoryEntry>& entries = entry_arrays_.emplace_back();
  // std::map keeps the lower-case names in ascending order: the order the lookup expects.
  for (auto& [key, child] : node.children) {
    names_.push_back(child.name);
    DirectoryEntry entry;
    entry.name = names_.back().c_str();
    if (child.is_directory) {
      entry.kind_flags = kEntryDirectory;
      entry.directory = Flatten(child);
    } else {
      entry.kind_flags = kEntryFile;
      entry.file = child.file;
    }
    entries.push_back(entry);
  }
  DirectoryNode& result = nodes_.emplace_back();
  result.entry_count = static_cast<std::int32_t>(entries.size());
  result.entries = entries.data();
  return &result;
}

}  // namespace tarvel
