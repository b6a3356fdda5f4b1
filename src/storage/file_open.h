// Opening a file of the file system for reading, for every reader of movies and packages:
// only regular files are opened, so that a folder is named as one and a pipe or a device never
// blocks the caller waiting for a writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <system_error>

namespace tarvel {

// Why a file could not be opened; 0 when it was.
inline constexpr std::int32_t kFileOpened = 0;
inline constexpr std::int32_t kFileNotFound = 1;
inline constexpr std::int32_t kFileIsFolder = 2;
inline constexpr std::int32_t kFileNotRegular = 3;  // a pipe, a device, a socket
inline constexpr std::int32_t kFileDenied = 4;
inline constexpr std::int32_t kFileOpenFailed = 5;
inline constexpr std::int32_t kFileLinkLoop = 6;     // links that lead back to themselves
inline constexpr std::int32_t kFileNameTooLong = 7;  // longer than the file system takes

// Why a path names no file, from the error its lookup (std::filesystem::status) gave:
// kFileNotFound, kFileDenied (a folder on the way may not be searched), kFileLinkLoop,
// kFileNameTooLong or kFileOpenFailed.
std::int32_t FileLookupProblem(const std::error_code& error);

// Opens `name` with the stdio `mode` ("rb", "rt") when it is a regular file (or a link to one),
// closed on exec.
// Null otherwise, with the reason in `*problem` (when given).
std::FILE* OpenRegularFile(const char* name, const char* mode, std::int32_t* problem);

// The reason as a message: "no such file", "is a folder", "is not a regular file",
// "permission denied", "is a loop of symbolic links", "cannot be opened".
const char* FileOpenProblemText(std::int32_t problem);

// Reads up to `length` bytes of `file` as fread does, reading again where a signal cut a read
// short (no fault of the disk). Fewer bytes mean the file's end or a failure, as ferror tells.
std::size_t ReadFromFile(std::FILE* file, void* buffer, std::size_t length);

}  // namespace tarvel
