// A stream whose reads a signal keeps interrupting, for the readers that must read again rather
// than take an interrupted read for a failing disk.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace tarvel::test {

// Reads `bytes` from `position` on: every other read fails with EINTR (unless not
// `interrupted`), the others deliver 3 bytes at most. Seeks go anywhere within the bytes.
class InterruptedStream {
 public:
  explicit InterruptedStream(std::vector<std::uint8_t> bytes, std::size_t position = 0,
                             bool interrupted = true)
      : bytes_(std::move(bytes)), position_(position), interrupted_(interrupted) {}

  // A stdio stream over it, which it outlives.
  std::FILE* Open() { return ::fopencookie(this, "rb", {Read, nullptr, Seek, nullptr}); }
  // Reads fail with `error` (EIO: a failing disk) until it is 0 again.
  void FailReads(int error) { error_ = error; }

 private:
  static ssize_t Read(void* cookie, char* buffer, std::size_t size) {
    auto& stream = *static_cast<InterruptedStream*>(cookie);
    if (stream.error_ != 0) {
      errno = stream.error_;
      return -1;
    }
    if (stream.interrupted_ && ++stream.calls_ % 2 == 1) {
      errno = EINTR;
      return -1;
    }
    const std::size_t count =
        std::min({size, std::size_t{3}, stream.bytes_.size() - stream.position_});
    std::memcpy(buffer, stream.bytes_.data() + stream.position_, count);
    stream.position_ += count;
    return static_cast<ssize_t>(count);
  }

  static int Seek(void* cookie, off64_t* offset, int whence) {
    auto& stream = *static_cast<InterruptedStream*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(stream.position_)
                                              : static_cast<off64_t>(stream.bytes_.size());
    if (base + *offset < 0 || base + *offset > static_cast<off64_t>(stream.bytes_.size()))
      return -1;
    stream.position_ = static_cast<std::size_t>(base + *offset);
    *offset = base + *offset;
    return 0;
  }

  std::vector<std::uint8_t> bytes_;
  std::size_t position_;
  bool interrupted_;
  int calls_ = 0;
  int error_ = 0;
};

}  // namespace tarvel::test
