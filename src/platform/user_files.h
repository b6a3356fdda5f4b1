// Small-file reading and crash-safe writing for the player's own files (settings, desktop
// registration), where the running program lives, and the user's home and base folders.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace tarvel {

// Results of the file operations below; 0 is success.
inline constexpr int kFileOk = 0;
inline constexpr int kFileMissing = 1;     // no such file
inline constexpr int kFileUnreadable = 2;  // exists but cannot be opened or read, or is not a file
inline constexpr int kFileTooLarge = 3;    // larger than the caller's limit; nothing was kept
inline constexpr int kFileWriteFailed =
    4;  // the folder, the temporary file, the data or the rename failed

// Reads the whole regular file at `path` into `out` when it holds at most `max_bytes` bytes.
// Anything that is not a regular file (a folder, a pipe, a device) is kUnreadable; opening never
// blocks. On failure `out` is left empty.
int ReadSmallFile(const std::string& path, std::size_t max_bytes, std::string& out);

// Replaces the file at `path` with `bytes` so that a reader sees either the old file or the whole
// new one, never a part: the data goes to a temporary file in the same folder, is flushed to the
// disk, and is then renamed over `path`. Missing folders are created, readable by the owner alone.
// A new file gets `mode`; an existing one keeps its mode, and one its user may not write (made
// read-only) is not replaced. When `path` is a symbolic link, the file
// it points to is replaced (or made), and the link stays; a chain of links that ends nowhere (a
// loop) is not written. On any failure the old file is left as it was and the temporary file is
// removed, and `*problem` (when given) says why, as a message to put after the path: "is a
// folder", "is not a regular file", "is a loop of symbolic links", "cannot be written: " and the
// system's reason ("permission denied", "no space left on device", "a file is in the way" of a
// folder to be made...).
int WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode = 0644,
                        std::string* problem = nullptr);

// Gives the file open as `fd`, written to take the place of the file at `replaced`, that file's
// owner and group where they are not the writer's: a file of another user that the superuser
// writes again (a program run with sudo and the user's $HOME) stays that user's, where one of
// root's would refuse the user's own later writes. Others may not give a file away, and theirs
// stays their own; so does a new file (nothing at `replaced`).
void KeepOwnerOf(const std::string& replaced, int fd);

// Makes the file `path` new for writing, with `mode` less the umask: never an existing file, nor
// the file a link there points to. Its descriptor, which the file is reached through from then
// on (in a folder another user may write, the name could lead elsewhere a moment later); -1 with
// errno set when it cannot be made.
int CreateNewFile(const std::string& path, mode_t mode);

// Whether this process may write the file at `path`, asked without opening it: an open to see
// could make a file there, or follow a link put there meanwhile. False, errno saying why, if not.
bool MayWriteFile(const std::string& path);

// The permission bits of the file open as `fd` (0 when they cannot be read), and their change.
mode_t PermissionsOf(int fd);
bool SetPermissionsOf(int fd, mode_t mode);

// Flushes the file open as `fd` to the disk, so that a rename putting it in place cannot outlast
// its data in a crash or a power cut (leaving an empty or partial file under the final name).
// False, with errno set, when it cannot.
bool FlushOpenFileToDisk(int fd);

// Whether `path` itself (a link there not followed) names the file open as `fd`: another file or
// a link put under the name since does not.
bool NamesOpenFile(const std::string& path, int fd);

void CloseFile(int fd);

// Renames `from` over `to`, then flushes their folder so that the rename itself survives a crash
// (a folder that cannot be flushed does not undo it). False, with errno set, when the rename
// failed.
bool RenameDurably(const std::string& from, const std::string& to);

// Flushes to the disk everything written to the file system that holds `path` (the files of a
// picture sequence, renamed into place unflushed, in one go). False, with errno set, when it
// cannot be opened or the disk reports an earlier write failed.
bool FlushFileSystemOf(const std::string& path);

// Which file an open stream or a name stands for (its file system and number there), so that a
// name can be told still to name the file open under it: another file renamed over the name has
// another. The Identify functions return false when the system cannot tell.
struct FileIdentity {
  dev_t device = 0;
  ino_t number = 0;
  bool operator==(const FileIdentity&) const = default;
};
bool IdentifyOpenFile(std::FILE* file, FileIdentity* identity);
bool IdentifyFile(const std::string& path, FileIdentity* identity);

// The file that `path` names in the end: links followed (relative ones from the link's folder),
// at most 40 of them. A dangling link names the file it would point to; a longer chain (a loop)
// ends at a link.
std::filesystem::path FollowLinks(std::filesystem::path path);

// An exclusive hold on the folder at `path` among the programs that take it (an advisory lock:
// nothing else is kept out), so that those that read a file there, change it and replace it take
// turns. A missing folder is made first, readable by its owner alone as WriteFileAtomically
// makes it, so that the first writers (no folder yet) take turns too. Waits at most `patience`
// for another holder. A folder that cannot be held (one that cannot be made, or on a file system
// without locks), or one held longer than that, is not held, and the caller goes on without it.
// Let go when the object goes.
class FolderHold {
 public:
  FolderHold(const std::string& path, std::chrono::milliseconds patience);
  ~FolderHold();
  FolderHold(const FolderHold&) = delete;
  FolderHold& operator=(const FolderHold&) = delete;
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

// True when this process may create and replace files in the folder at `path`.
bool IsWritableFolder(const std::string& path);

// The folder of an executable path, without a trailing separator: "/opt/tarvel/bin/tarvel" gives
// "/opt/tarvel/bin", "/tarvel" gives "" (the root), a bare name gives "".
std::string ProgramDirectoryOf(std::string_view executable_path);

// The path of the executable a process runs, from its link `link` ("/proc/self/exe"); empty
// when it cannot be read. A program file removed or replaced since the process started (a
// package upgrade, a rebuild) is named by its path, without the " (deleted)" the link adds.
std::string ExecutablePathOf(const std::string& link);

// ExecutablePathOf("/proc/self/exe").
std::string RunningExecutablePath();

// ProgramDirectoryOf(RunningExecutablePath()).
std::string RunningProgramDirectory();

// The user's home folder: $HOME when set and not empty, else the password database's entry;
// empty when neither is known.
std::string HomeDirectory();

// An XDG base folder: the variable `name` when it holds an absolute path (relative ones are
// ignored, as the base-directory rules require), else `home` + `fallback` (".config",
// ".local/share"); empty when no home folder is known, when it is relative (a folder under the
// current one) or when it does not exist (a home folder is not for this program to make: system
// accounts have /nonexistent).
std::string XdgBaseDirectory(const char* name, std::string_view fallback);

// Why XdgBaseDirectory gives no folder for an unset variable: "no home folder is known", "the
// home folder home is not an absolute path" or "the home folder /nonexistent does not exist".
std::string MissingHomeReason();

}  // namespace tarvel
