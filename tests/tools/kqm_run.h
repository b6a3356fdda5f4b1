// Runs kqm subcommands in-process and keeps what they print.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace tarvel::test {

struct KqmResult {
  int status = -1;
  std::string out;
  std::string err;
};

// `args` are the words after "kqm <command>".
KqmResult RunKqm(int (*command)(int, char**), const std::string& name,
                 std::initializer_list<std::string> args);

// Runs the kqm program itself (kqm_process.cpp, in the tools tests) as a child process with `args`
// (after "kqm"), `input` on its standard input. With `signal` set, the child gets that signal once
// its standard error has shown `signal_when`, or when that is empty once its standard output has
// shown anything (and `second_signal`, when set, once it has taken the first). With
// `hold_input` its standard input stays open after `input` until the signal is sent, as a pipe
// whose writer is still at work. With `output_gone` its standard output is a pipe whose reader
// has gone, as `kqm ... | head -c 0` gives.
struct ProcessOptions {
  std::string input;
  int signal = 0;
  std::string signal_when;
  // Instead of the above: once the input is fed and the child sleeps, waiting for something,
  // with a handler of the signal in place.
  bool signal_when_asleep = false;
  // Or once a file in this folder holds data (the child writes through a buffer, so this says
  // that the data have gone past it).
  std::string signal_when_written_in;
  int second_signal = 0;
  bool hold_input = false;
  bool output_gone = false;
  // Its standard output is a pipe that nobody reads, as `kqm ... | sleep 100` gives.
  bool output_unread = false;
  // Its standard output is a pipe that nobody reads until the signal, and from then on a reader
  // that takes a page at most four times a second while the child runs.
  bool output_trickled = false;
  // A file removed right before the signal is sent, as by `rm` while the child waits on it.
  std::string removed_before_signal;
  // Bytes of address space the child may take (0: no limit), as under `ulimit -v`.
  unsigned long memory_limit = 0;
  // Bytes a file the child writes may hold (0: no limit), as under `ulimit -f`.
  unsigned long file_size_limit = 0;
  // A signal the child starts with blocked, as some job runners start their jobs (0: none).
  int blocked_signal = 0;
  // That signal is already pending as the child starts, sent before it could take it.
  bool blocked_signal_pending = false;
  // Seconds of processor time the child may take (0: no limit); past them SIGXCPU ends it.
  int cpu_limit_seconds = 0;
};
KqmResult RunKqmProcess(const std::vector<std::string>& args, const ProcessOptions& options = {});

// While it lives, no file this process writes grows past `bytes`, as on a disk that fills up:
// writes beyond fail with EFBIG (SIGXFSZ is ignored meanwhile).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(unsigned long bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  unsigned long old_limit_ = 0;
  void (*old_handler_)(int) = nullptr;
};

std::string ConformancePath(const std::string& name);
std::vector<unsigned char> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);
// `movie` cut 10 bytes into frame `frame`: the frames before it are whole, that one is not.
std::vector<unsigned char> CutInsideFrame(std::vector<unsigned char> movie, int frame);
// The sha256 listed in EXPECTED.txt for `movie` and `kind` (e.g. "pictures-555").
std::string ExpectedDigest(const std::string& movie, const std::string& kind);

}  // namespace tarvel::test
