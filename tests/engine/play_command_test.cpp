// `kqm play` end to end: the pictures and sound it writes for the conformance movies, and its
// answers to bad input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/digest.h"
#include "tools/commands.h"

namespace tarvel::test {
namespace {

const std::string kDir = TARVEL_CONFORMANCE_DIR;

int RunPlay(std::vector<std::string> args) {
  args.insert(args.begin(), "kqm play");
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return tools::Cmd_Play(static_cast<int>(args.size()), argv.data());
}

std::string FileDigest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Sha256 digest;
  digest.Update(bytes.data(), bytes.size());
  return digest.FinalHex();
}

// "movie" -> {"pictures-555" -> digest, ...}
std::map<std::string, std::map<std::string, std::string>> Expected() {
  std::map<std::string, std::map<std::string, std::string>> all;
  std::ifstream in(kDir + "/EXPECTED.txt");
  std::string line, movie;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string first, kind, digest;
    words >> first;
    if (first == "#") {
      words >> movie;
      if (!movie.empty() && movie.back() == ':') movie.pop_back();
    } else if (words >> kind >> digest && kind == "sha256") {
      all[movie][first] = digest;
    }
  }
  return all;
}

class PlayCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvel-play-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const char* name : {"/v.rgb", "/a.pcm", "/short.kqm"}) std::remove((dir_ + name).c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(PlayCommand, WritesTheListedPicturesAndSoundForEveryConformanceMovie) {
  for (const auto& [movie, digests] : Expected()) {
    SCOPED_TRACE(movie);
    const std::string path = kDir + "/" + movie + ".kqm";
    const bool sound = digests.count("sound-once") != 0;
    for (bool twice : {false, true}) {
      std::vector<std::string> args = {path, "--device", "capture", "--video-out", dir_ + "/v.rgb"};
      if (twice) {
        args.push_back("--passes");
        args.push_back("2");
      } else {
        args.push_back("--once");
      }
      if (sound) {
        args.push_back("--audio-out");
        args.push_back(dir_ + "/a.pcm");
      }
      ASSERT_EQ(RunPlay(args), 0);
      EXPECT_EQ(FileDigest(dir_ + "/v.rgb"),
                digests.at(twice ? "pictures-555-passes2" : "pictures-555"));
      if (sound) {
        EXPECT_EQ(FileDigest(dir_ + "/a.pcm"), digests.at(twice ? "sound-passes2" : "sound-once"));
      }
    }
  }
}

TEST_F(PlayCommand, RefusesBadInputWithAnExitStatus) {
  const std::string silent = kDir + "/key-dct-128x96.kqm";
  EXPECT_EQ(RunPlay({dir_ + "/missing.kqm", "--device", "capture"}), 1);
  EXPECT_EQ(RunPlay({silent, "--device", "capture", "--audio-out", dir_ + "/a.pcm"}), 1);
  EXPECT_EQ(RunPlay({silent, "--audio-out", dir_ + "/a.pcm"}), 2);  // needs the capture device
  EXPECT_NE(RunPlay({silent, "--device", "capture", "--passes", "2", "--once"}), 0);
  EXPECT_NE(RunPlay({silent, "--device", "capture", "--volume", "100"}), 0);
  std::ofstream(dir_ + "/short.kqm", std::ios::binary) << std::string(63, 'x');
  EXPECT_EQ(RunPlay({dir_ + "/short.kqm", "--device", "capture"}), 1);
}

}  // namespace
}  // namespace tarvel::test
