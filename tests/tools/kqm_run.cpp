#include "kqm_run.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <fstream>
#include <iterator>
#include <sstream>

namespace tarvel::test {

KqmResult RunKqm(int (*command)(int, char**), const std::string& name,
                 std::initializer_list<std::string> args) {
  std::vector<std::string> words = {"kqm " + name};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  KqmResult result;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  result.status = command(static_cast<int>(words.size()), argv.data());
  std::fflush(stdout);
  result.out = ::testing::internal::GetCapturedStdout();
  result.err = ::testing::internal::GetCapturedStderr();
  return result;
}

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
  struct rlimit limit {};
  EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  old_limit_ = limit.rlim_cur;
  old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = bytes;
  EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

FileSizeLimit::~FileSizeLimit() {
  struct rlimit limit {};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = old_limit_;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, old_handler_);
}

std::string ConformancePath(const std::string& name) {
  return std::string(TARVEL_CONFORMANCE_DIR) + "/" + name + ".kqm";
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> CutInsideFrame(std::vector<unsigned char> movie, int frame) {
  // Each frame starts with a little-endian word whose low 24 bits are its size; the header is
  // 64 bytes.
  std::size_t end = 64;
  for (int i = 0; i < frame; ++i)
    end += std::size_t{movie[end]} | std::size_t{movie[end + 1]} << 8 |
           std::size_t{movie[end + 2]} << 16;
  movie.resize(end + 10);
  return movie;
}

std::string ExpectedDigest(const std::string& movie, const std::string& kind) {
  std::ifstream in(std::string(TARVEL_CONFORMANCE_DIR) + "/EXPECTED.txt");
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind("# ", 0) == 0) {
      inside = line.rfind("# " + movie + ":", 0) == 0;
      continue;
    }
    if (!inside) continue;
    std::istringstream words(line);
    std::string what, algorithm, digest;
    words >> what >> algorithm >> digest;
    if (what == kind && algorithm == "sha256") return digest;
  }
  return "missing from EXPECTED.txt";
}

}  // namespace tarvel::test
