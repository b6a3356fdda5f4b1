#include "platform/user_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tarvel {
namespace {

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (it can report a late write error).
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Gives what the superuser makes, open as `fd`, in a folder of another user (`folder_status`)
// that folder's owner and group: a settings folder or file the player run with sudo and the
// user's $HOME makes on a first run would be root's, and the user's own player could not write
// it again. Others cannot give a file away; their files stay their own.
void GiveToFolderOwner(const struct stat& folder_status, int fd) {
  if (::geteuid() != 0 || folder_status.st_uid == 0) return;
  [[maybe_unused]] const bool given = ::fchown(fd, folder_status.st_uid, folder_status.st_gid) == 0;
}

// Makes the folders of `folder` that are missing, each readable by its owner alone, as the
// base-directory rules ask of the user's configuration and data folders the player writes in.
// On failure errno says why.
bool MakeFolders(const std::filesystem::path& folder) {
  std::error_code ec;
  if (folder.empty() || std::filesystem::is_directory(folder, ec)) return true;
  const std::filesystem::path parent = folder.parent_path();
  if (!MakeFolders(parent)) return false;
  // Made and given away inside the parent held open, whatever its name leads to meanwhile; held
  // as a place only, as mkdir needs no right to read it (a folder one may write and search only).
  FileDescriptor above(
      ::open(parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const std::string name = folder.filename().string();
  if (above.get() >= 0 && ::mkdirat(above.get(), name.c_str(), 0700) == 0) {
    FileDescriptor made(
        ::openat(above.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat parent_status {};
    if (made.get() >= 0 && ::fstat(above.get(), &parent_status) == 0)
      GiveToFolderOwner(parent_status, made.get());
    return true;
  }
  const int error = errno;
  if (std::filesystem::is_directory(folder, ec)) return true;
  errno = error;
  return false;
}

// Why a write failed, from the errno of the call that failed, in the words of the player's
// other file messages.
std::string CannotBeWritten(int error) {
  if (error == ENOTDIR || error == EEXIST) return "cannot be written: a file is in the way";
  std::string words = std::generic_category().message(error != 0 ? error : EIO);
  // ASCII alone: the locale's lowering turns the I of "Invalid argument" into a dotless i under
  // a Turkish 8-bit locale, and would change a byte of a translation in another encoding.
  if (!words.empty() && words[0] >= 'A' && words[0] <= 'Z')
    words[0] = static_cast<char>(words[0] - 'A' + 'a');
  return "cannot be written: " + words;
}

int Failed(std::string* problem, std::string text) {
  if (problem != nullptr) *problem = std::move(text);
  return kFileWriteFailed;
}

// The umask, read without changing it: another thread may be making a file meanwhile.
mode_t CurrentUmask() {
  std::string status;
  if (ReadSmallFile("/proc/self/status", 1 << 16, status) == kFileOk) {
    const std::size_t line = status.find("\nUmask:");
    if (line != std::string::npos)
      return static_cast<mode_t>(std::strtoul(status.c_str() + line + 7, nullptr, 8) & 0777);
  }
  const mode_t mask = ::umask(077);
  ::umask(mask);
  return mask;
}

}  // namespace

int ReadSmallFile(const std::string& path, std::size_t max_bytes, std::string& out) {
  out.clear();
  // Non-blocking, so that a named pipe in the file's place cannot hold the open up.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return errno == ENOENT || errno == ENOTDIR ? kFileMissing : kFileUnreadable;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kFileUnreadable;
  std::string data;
  std::vector<char> chunk(4096);
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return kFileUnreadable;
    }
    if (n == 0) break;
    if (data.size() + static_cast<std::size_t>(n) > max_bytes) return kFileTooLarge;
    data.append(chunk.data(), static_cast<std::size_t>(n));
  }
  out = std::move(data);
  return kFileOk;
}

std::filesystem::path FollowLinks(std::filesystem::path path) {
  std::error_code code;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(path, code); ++hops) {
    std::filesystem::path target = std::filesystem::read_symlink(path, code);
    if (code) break;
    path = target.is_absolute() ? std::move(target) : path.parent_path() / target;
  }
  return path;
}

void KeepOwnerOf(const std::string& replaced, int fd) {
  struct stat old {};
  if (::stat(replaced.c_str(), &old) != 0) return;
  if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
    [[maybe_unused]] const bool given = ::fchown(fd, old.st_uid, old.st_gid) == 0;
  }
}

int WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                        std::string* problem) {
  if (problem != nullptr) problem->clear();
  if (path.empty()) return Failed(problem, "cannot be written: the path is empty");
  std::error_code ec;
  // Replace what a link points to rather than the link itself.
  const std::string target = FollowLinks(path).string();
  if (std::filesystem::is_symlink(target, ec))
    return Failed(problem, "is a loop of symbolic links");
  std::string folder = FolderOf(target);
  if (!MakeFolders(folder)) return Failed(problem, CannotBeWritten(errno));

  struct stat old {};
  const bool replacing = ::stat(target.c_str(), &old) == 0;
  if (replacing) {
    if (S_ISDIR(old.st_mode)) return Failed(problem, "is a folder");
    if (!S_ISREG(old.st_mode)) return Failed(problem, "is not a regular file");
    // The rename below would replace a file its user may not write (one made read-only to keep
    // it as it is) as long as the folder may be written; it is refused as writing into it is.
    if ((old.st_mode & 0222) == 0) return Failed(problem, CannotBeWritten(EACCES));
    if (::access(target.c_str(), W_OK) != 0) return Failed(problem, CannotBeWritten(errno));
    mode = old.st_mode & 07777;
  } else {
    // A new file is given what the user's umask lets through, as any program's new file is.
    mode &= ~CurrentUmask();
  }

  std::size_t slash = target.rfind('/');
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = (folder == "/" ? std::string() : folder) + "/." + name + ".XXXXXX";
  std::vector<char> temp_path(temp.begin(), temp.end());
  temp_path.push_back('\0');
  FileDescriptor fd(::mkostemp(temp_path.data(), O_CLOEXEC));
  if (fd.get() < 0) return Failed(problem, CannotBeWritten(errno));
  KeepOwnerOf(target, fd.get());
  struct stat folder_status {};
  if (!replacing && ::stat(folder.c_str(), &folder_status) == 0)
    GiveToFolderOwner(folder_status, fd.get());
  errno = 0;
  bool ok = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  if (ok) ok = RenameDurably(temp_path.data(), target);
  if (!ok) {
    const int error = errno;
    ::unlink(temp_path.data());
    return Failed(problem, CannotBeWritten(error));
  }
  return kFileOk;
}

namespace {

// Hands `fd` to `flush` (fsync, syncfs), which an interruption does not end.
bool FlushRetrying(int fd, int (*flush)(int)) {
  while (flush(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

int CreateNewFile(const std::string& path, mode_t mode) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                mode);
}

bool MayWriteFile(const std::string& path) {
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

mode_t PermissionsOf(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 ? status.st_mode & 07777 : 0;
}

bool SetPermissionsOf(int fd, mode_t mode) {
  return ::fchmod(fd, mode) == 0;
}

bool FlushOpenFileToDisk(int fd) {
  return FlushRetrying(fd, ::fsync);
}

bool NamesOpenFile(const std::string& path, int fd) {
  struct stat named {};
  struct stat open {};
  return ::lstat(path.c_str(), &named) == 0 && ::fstat(fd, &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

void CloseFile(int fd) {
  if (fd >= 0) ::close(fd);
}

bool RenameDurably(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return false;
  FileDescriptor dir(::open(FolderOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return true;
}

bool FlushFileSystemOf(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  return fd.get() >= 0 && FlushRetrying(fd.get(), ::syncfs);
}

FolderHold::FolderHold(const std::string& path, std::chrono::milliseconds patience) {
  // A folder not made yet cannot be held: two writers would each go on alone.
  if (!MakeFolders(path)) return;
  fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) return;
  const auto give_up = std::chrono::steady_clock::now() + patience;
  for (;;) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return;
    }
    if (errno == EINTR) continue;
    // A holder that never lets go (a program stopped while it wrote) holds nobody up for good.
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= give_up) return;
    ::usleep(2000);
  }
}

FolderHold::~FolderHold() {
  if (fd_ >= 0) ::close(fd_);
}

bool IsWritableFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::string ProgramDirectoryOf(std::string_view executable_path) {
  std::size_t slash = executable_path.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  return std::string(executable_path.substr(0, slash));
}

std::string ExecutablePathOf(const std::string& link) {
  std::vector<char> buffer(256);
  ssize_t n = 0;
  while ((n = ::readlink(link.c_str(), buffer.data(), buffer.size())) >= 0 &&
         static_cast<std::size_t>(n) == buffer.size()) {
    if (buffer.size() >= (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  if (n < 0) return std::string();
  std::string path(buffer.data(), static_cast<std::size_t>(n));
  // A file really named so is the one the link leads to.
  constexpr std::string_view kDeleted = " (deleted)";
  FileIdentity running, named;
  if (path.ends_with(kDeleted) &&
      !(IdentifyFile(link, &running) && IdentifyFile(path, &named) && running == named))
    path.resize(path.size() - kDeleted.size());
  return path;
}

std::string RunningExecutablePath() {
  return ExecutablePathOf("/proc/self/exe");
}

std::string RunningProgramDirectory() {
  return ProgramDirectoryOf(RunningExecutablePath());
}

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return std::string();
}

std::string XdgBaseDirectory(const char* name, std::string_view fallback) {
  const char* value = std::getenv(name);
  if (value != nullptr && value[0] == '/') return value;
  std::string home = HomeDirectory();
  std::error_code error;
  // A relative $HOME would put the folder under whichever one the program was started from.
  if (home.empty() || home.front() != '/' || (!std::filesystem::exists(home, error) && !error))
    return std::string();
  if (home.back() != '/') home += '/';
  home += fallback;
  return home;
}

std::string MissingHomeReason() {
  const std::string home = HomeDirectory();
  if (home.empty()) return "no home folder is known";
  if (home.front() != '/') return "the home folder " + home + " is not an absolute path";
  return "the home folder " + home + " does not exist";
}

bool IdentifyOpenFile(std::FILE* file, FileIdentity* identity) {
  struct stat status {};
  if (file == nullptr || ::fstat(::fileno(file), &status) != 0) return false;
  *identity = FileIdentity{status.st_dev, status.st_ino};
  return true;
}

bool IdentifyFile(const std::string& path, FileIdentity* identity) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return false;
  *identity = FileIdentity{status.st_dev, status.st_ino};
  return true;
}

}  // namespace tarvel
