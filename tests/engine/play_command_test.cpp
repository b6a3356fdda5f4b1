// `kqm play` end to end: the pictures and sound it writes for the conformance movies, and its
// answers to bad input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "audio/movie_index.h"
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

std::vector<char> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string FileDigest(const std::string& path) {
  const std::vector<char> bytes = FileBytes(path);
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
    for (const char* name : {"/v.rgb", "/a.pcm", "/vn.rgb", "/an.pcm", "/short.kqm"})
      std::remove((dir_ + name).c_str());
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

// Started at frame N, the pictures written are the full playback's from picture N on, and the
// sound its from N frame periods on (the device's 32 queued periods then start at frame N's).
// N: both ends, a key frame and the frame after it, either side of the 32 periods frame 0 holds.
TEST_F(PlayCommand, StartedAtAFrameWritesTheFullPlaybacksOutputFromThere) {
  for (const auto& [movie, digests] : Expected()) {
    SCOPED_TRACE(movie);
    const std::string path = kDir + "/" + movie + ".kqm";
    MovieReader reader;
    std::string error;
    ASSERT_TRUE(MovieReader_Open(reader, path, &error)) << error;
    MovieIndex index;
    ASSERT_TRUE(index.Reset(reader.header.frame_count));
    MovieIndex_Build(index, reader);
    const int frames = index.frames();
    const bool sound = reader.header.sound;
    int key = 0;
    for (int i = 1; i < frames; ++i)
      if (index[i].frame.key() && (key == 0 || i <= frames / 2)) key = i;
    // 4 PCM bytes (16-bit stereo) for each 32 ADPCM bytes of frame 0's chunk past its header.
    const std::size_t period = sound ? 4 * ((index[0].frame.sound_length - 32) / 32) : 0;

    std::vector<std::string> args = {path,     "--device",    "capture",
                                     "--once", "--video-out", dir_ + "/v.rgb"};
    if (sound) args.insert(args.end(), {"--audio-out", dir_ + "/a.pcm"});
    ASSERT_EQ(RunPlay(args), 0);
    const std::vector<char> pictures = FileBytes(dir_ + "/v.rgb"), pcm = FileBytes(dir_ + "/a.pcm");
    const std::size_t picture = std::size_t{reader.header.width} * reader.header.height * 2;
    ASSERT_EQ(pictures.size(), frames * picture);
    for (int n : {0, 1, key, key + 1, 31, 32, frames - 1}) {
      if (n >= frames) continue;
      SCOPED_TRACE(n);
      std::vector<std::string> from = {path,          "--device",      "capture",
                                       "--once",      "--start",       std::to_string(n),
                                       "--video-out", dir_ + "/vn.rgb"};
      if (sound) from.insert(from.end(), {"--audio-out", dir_ + "/an.pcm"});
      ASSERT_EQ(RunPlay(from), 0);
      EXPECT_TRUE(FileBytes(dir_ + "/vn.rgb") ==
                  std::vector<char>(pictures.begin() + static_cast<std::ptrdiff_t>(n * picture),
                                    pictures.end()));
      if (sound) {
        ASSERT_GE(pcm.size(), n * period);
        EXPECT_TRUE(
            FileBytes(dir_ + "/an.pcm") ==
            std::vector<char>(pcm.begin() + static_cast<std::ptrdiff_t>(n * period), pcm.end()));
      }
    }
  }
}

// One pass from the last frame wants only the picture the start presents: one picture, and the
// 32 periods the device holds then, frame 35's own and the opening 31 again (the movie loops).
// The next pass's first picture and its period came too, now and then, before the start had
// returned to stop playback (a ring of 2 frames made it one run in five).
TEST_F(PlayCommand, OnePassFromTheLastFrameWritesOnlyItsPicture) {
  const std::string path = kDir + "/mixed-256x128-stereo-36.kqm";  // 36 frames, 2,940 bytes
  constexpr std::size_t kPeriod = 2940, kPicture = 256 * 128 * 2;
  ASSERT_EQ(RunPlay({path, "--device", "capture", "--once", "--audio-out", dir_ + "/a.pcm", "-q"}),
            0);
  const std::vector<char> once = FileBytes(dir_ + "/a.pcm");
  ASSERT_GE(once.size(), 31 * kPeriod);
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(RunPlay({path, "--device", "capture", "--passes", "1", "--start", "35", "--ring", "2",
                       "--video-out", dir_ + "/v.rgb", "--audio-out", dir_ + "/an.pcm", "-q"}),
              0);
    EXPECT_EQ(FileBytes(dir_ + "/v.rgb").size(), kPicture);
    const std::vector<char> pcm = FileBytes(dir_ + "/an.pcm");
    ASSERT_EQ(pcm.size(), 32 * kPeriod);
    EXPECT_TRUE(std::equal(pcm.begin() + kPeriod, pcm.end(), once.begin()));
  }
}

// On the sound card (SDL's disk driver, which writes what the card is given to a file), the
// card plays the sound of the pictures played, whole, and nothing after it: the engine queues 31
// periods ahead, and the card went on into the next pass's opening until it was closed. A
// playback of the last picture alone (played once, or one pass) was closed as the start
// returned, before any of its sound.
TEST_F(PlayCommand, TheSoundCardPlaysThePicturesSoundWholeAndNothingAfter) {
  const std::string path = kDir + "/mixed-256x128-stereo-36.kqm";  // 36 frames, 2,940 bytes
  constexpr std::size_t kPeriod = 2940;
  const char* driver = std::getenv("SDL_AUDIODRIVER");
  const std::string saved = driver != nullptr ? driver : "";
  for (const auto& [passes, start, pictures] :
       {std::tuple{"--once", "35", 1}, {"--passes=1", "35", 1}, {"--passes=1", "30", 6}}) {
    SCOPED_TRACE(std::string(passes) + " --start " + start);
    unsetenv("SDL_DISKAUDIOFILE");
    ASSERT_EQ(RunPlay({path, "--device", "capture", passes, "--start", start, "--audio-out",
                       dir_ + "/a.pcm", "-q"}),
              0);
    const std::vector<char> captured = FileBytes(dir_ + "/a.pcm");
    ASSERT_GE(captured.size(), pictures * kPeriod);
    const std::vector<char> played(captured.begin(), captured.begin() + pictures * kPeriod);
    ASSERT_NE(std::count(played.begin(), played.end(), 0),
              static_cast<std::ptrdiff_t>(played.size()));
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", (dir_ + "/an.pcm").c_str(), 1);
    std::remove((dir_ + "/an.pcm").c_str());
    ASSERT_EQ(RunPlay({path, "--device", "sdl", passes, "--start", start, "--video-out",
                       dir_ + "/v.rgb", "-q"}),
              0);
    EXPECT_EQ(FileBytes(dir_ + "/v.rgb").size(), pictures * 256 * 128 * 2);  // no more pictures
    const std::vector<char> card = FileBytes(dir_ + "/an.pcm");
    const auto at = std::search(card.begin(), card.end(), played.begin(), played.end());
    ASSERT_TRUE(at != card.end()) << card.size() << " bytes given to the card";
    EXPECT_EQ(std::count(at + static_cast<std::ptrdiff_t>(played.size()), card.end(), 0),
              card.end() - at - static_cast<std::ptrdiff_t>(played.size()));
    if (driver != nullptr)
      setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
    else
      unsetenv("SDL_AUDIODRIVER");
  }
  unsetenv("SDL_DISKAUDIOFILE");
}

TEST_F(PlayCommand, RefusesBadInputWithAnExitStatus) {
  const std::string silent = kDir + "/key-dct-128x96.kqm";
  EXPECT_EQ(RunPlay({dir_ + "/missing.kqm", "--device", "capture"}), 1);
  EXPECT_EQ(RunPlay({silent, "--audio-out", dir_ + "/a.pcm"}), 2);  // needs the capture device
  EXPECT_EQ(RunPlay({silent, "--device", "capture", "--volume", "50"}), 2);  // would change nothing
  EXPECT_EQ(RunPlay({silent, "--device", "capture", "--rate", "5"}), 2);     // as fast as it can
  EXPECT_NE(RunPlay({silent, "--device", "capture", "--passes", "2", "--once"}), 0);
  EXPECT_NE(RunPlay({silent, "--device", "capture", "--volume", "100"}), 0);
  std::ofstream(dir_ + "/short.kqm", std::ios::binary) << std::string(63, 'x');
  EXPECT_EQ(RunPlay({dir_ + "/short.kqm", "--device", "capture"}), 1);
}

}  // namespace
}  // namespace tarvel::test
