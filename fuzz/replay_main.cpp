// Runs a fuzz target's entry point once over every file of the folders given on the command
// line, the way the fuzzer would, so that the committed corpora (and every input that ever
// found a problem) are checked in ordinary builds, without libFuzzer. A folder without inputs
// is an error: a replay that checks nothing must not pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  int total = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::directory_iterator(argv[i], error)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    if (error || inputs.empty()) {
      std::fprintf(stderr, "%s: no inputs to replay%s%s\n", argv[i], error ? ": " : "",
                   error ? error.message().c_str() : "");
      return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& path : inputs) {
      std::ifstream file(path, std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
      if (!file.good() && !file.eof()) {
        std::fprintf(stderr, "%s: cannot read\n", path.c_str());
        return 1;
      }
      // An exact-size copy, so that a read past the input is caught by the sanitizers.
      std::vector<std::uint8_t> input(bytes);
      std::printf("%s (%zu bytes)\n", path.filename().c_str(), input.size());
      std::fflush(stdout);
      LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
      ++total;
    }
  }
  std::printf("replayed %d inputs\n", total);
  return 0;
}
