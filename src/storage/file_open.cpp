#include "storage/file_open.h"

#include <cerrno>
#include <filesystem>
#include <string>

namespace tarvel {

std::int32_t FileLookupProblem(const std::error_code& error) {
  return !error || error == std::errc::no_such_file_or_directory ||
                 error == std::errc::not_a_directory
             ? kFileNotFound
         : error == std::errc::permission_denied             ? kFileDenied
         : error == std::errc::too_many_symbolic_link_levels ? kFileLinkLoop
         : error == std::errc::filename_too_long             ? kFileNameTooLong
                                                             : kFileOpenFailed;
}

std::FILE* OpenRegularFile(const char* name, const char* mode, std::int32_t* problem) {
  std::int32_t local = kFileOpened;
  std::int32_t& reason = problem ? *problem : local;
  reason = kFileOpenFailed;
  if (!name || !mode) return nullptr;
  // The kind is looked at before the open: opening a FIFO would wait for a writer.
  std::error_code error;
  const auto status = std::filesystem::status(name, error);
  if (!std::filesystem::exists(status)) {
    reason = status.type() == std::filesystem::file_type::not_found ? kFileNotFound
                                                                    : FileLookupProblem(error);
    return nullptr;
  }
  if (std::filesystem::is_directory(status)) {
    reason = kFileIsFolder;
    return nullptr;
  }
  if (!std::filesystem::is_regular_file(status)) {
    reason = kFileNotRegular;
    return nullptr;
  }
  errno = 0;
  // Closed in the programs the process starts ("e"): the player runs the desktop's tools while
  // a movie is open, and they had it open too.
  const std::string closed_on_exec = std::string(mode) + "e";
  std::FILE* file = std::fopen(name, closed_on_exec.c_str());
  if (!file) {
    reason = errno == EACCES ? kFileDenied : errno == ENOENT ? kFileNotFound : kFileOpenFailed;
    return nullptr;
  }
  reason = kFileOpened;
  return file;
}

std::size_t ReadFromFile(std::FILE* file, void* buffer, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    errno = 0;
    done += std::fread(static_cast<unsigned char*>(buffer) + done, 1, length - done, file);
    if (done == length || !std::ferror(file) || errno != EINTR) break;
    std::clearerr(file);
  }
  return done;
}

const char* FileOpenProblemText(std::int32_t problem) {
  switch (problem) {
    case kFileOpened:
      return "opened";
    case kFileNotFound:
      return "no such file";
    case kFileIsFolder:
      return "is a folder";
    case kFileNotRegular:
      return "is not a regular file";
    case kFileDenied:
      return "permission denied";
    case kFileLinkLoop:
      return "is a loop of symbolic links";
    case kFileNameTooLong:
      return "cannot be opened: its name is too long";
    default:
      return "cannot be opened";
  }
}

}  // namespace tarvel
