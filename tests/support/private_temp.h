// ctest runs every test as a process of its own, several at a time, and tests of one suite
// often name their files alike ("package.tar"); one process could then read a file another is
// rewriting. Each test program therefore gets a folder of its own under the system's temporary
// folder, handed to GoogleTest's TempDir() through TEST_TMPDIR and removed at exit. A death
// test's child, started afresh from the same program, keeps its parent's folder.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tarvel::test {

class PrivateTempFolder {
 public:
  PrivateTempFolder() {
    const char* inherited = std::getenv("TARVEL_PRIVATE_TEMP");
    const char* chosen = std::getenv("TEST_TMPDIR");
    if (inherited && chosen && std::string(inherited) == chosen) return;
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;  // keep the shared folder
    path_ = pattern;
    ::setenv("TEST_TMPDIR", path_.c_str(), 1);
    ::setenv("TARVEL_PRIVATE_TEMP", path_.c_str(), 1);
  }
  ~PrivateTempFolder() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  PrivateTempFolder(const PrivateTempFolder&) = delete;
  PrivateTempFolder& operator=(const PrivateTempFolder&) = delete;

 private:
  std::string path_;
};

}  // namespace tarvel::test
