// The conformance movies through the engine: every presented picture and every buffer the
// sound device receives must match the listed digests, for one pass without looping and for
// two looping passes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "support/digest.h"

namespace tarvel::test {
namespace {

struct Expected {
  std::string pictures_once;
  std::string pictures_passes2;
  std::string sound_once;
  std::string sound_passes2;
};

std::map<std::string, Expected> ReadExpected() {
  std::map<std::string, Expected> movies;
  std::ifstream in(std::string(TARVEL_CONFORMANCE_DIR) + "/EXPECTED.txt");
  std::string line, current;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string first, kind, digest;
    words >> first;
    if (first == "#") {
      words >> current;
      if (!current.empty() && current.back() == ':') current.pop_back();
      continue;
    }
    words >> kind >> digest;
    if (kind != "sha256") continue;
    if (first == "pictures-555") movies[current].pictures_once = digest;
    if (first == "pictures-555-passes2") movies[current].pictures_passes2 = digest;
    if (first == "sound-once") movies[current].sound_once = digest;
    if (first == "sound-passes2") movies[current].sound_passes2 = digest;
  }
  return movies;
}

// Takes every presented picture; once `target` pictures are in, the frame callback (which comes
// after the step's sound buffer is queued) stops playback.
struct PictureTaker {
  PlayerContext* context = nullptr;
  std::int64_t target = 0;
  Sha256 digest;
  std::atomic<std::int64_t> taken{0};

  static void Presented(const PresentedPicture& presented, void* user) {
    auto& self = *static_cast<PictureTaker*>(user);
    const PictureView& picture = presented.picture;
    // The listed digests are of little-endian pixels.
    const std::size_t count = static_cast<std::size_t>(picture.width) * picture.height;
    std::vector<std::uint8_t> bytes(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
      bytes[2 * i] = static_cast<std::uint8_t>(picture.pixels[i] & 0xFF);
      bytes[2 * i + 1] = static_cast<std::uint8_t>(picture.pixels[i] >> 8);
    }
    self.digest.Update(bytes.data(), bytes.size());
    self.taken.fetch_add(1);
  }
  static void Frame(void* user) {
    auto& self = *static_cast<PictureTaker*>(user);
    if (self.target > 0 && self.taken >= self.target) Player_Stop(*self.context);
  }
};

class Conformance : public EngineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(Conformance, PicturesAndSoundMatchTheListedDigests) {
  const std::string name = GetParam();
  const auto all = ReadExpected();
  ASSERT_TRUE(all.count(name)) << "no expectations for " << name;
  const Expected& expected = all.at(name);
  const std::string path = std::string(TARVEL_CONFORMANCE_DIR) + "/" + name + ".kqm";
  for (int passes : {0, 2}) {
    SCOPED_TRACE(passes == 0 ? "once" : "two passes");
    log = std::make_shared<CaptureLog>();
    PictureTaker pictures;
    pictures.context = &context;
    Player_SetFrameCallback(context, &PictureTaker::Frame, &pictures);
    Player_SetPresentationListener(context, &PictureTaker::Presented, &pictures);
    Player_SetLoop(context, passes > 0 ? 1 : 0);
    ASSERT_EQ(Player_Open(context, path.c_str()), kPlayerOk);
    pictures.target = std::int64_t{passes} * context.frame_count;
    surface.assign(std::size_t{context.width} * context.height, 0);
    ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
              kPlayerOk);
    ASSERT_TRUE(Player_WaitForEnd(context, std::chrono::seconds(60)));
    const PlayerStatus status = Player_Status(context);
    Player_Stop(context);
    EXPECT_EQ(pictures.taken, passes > 0 ? pictures.target : context.frame_count);
    EXPECT_EQ(status.end, passes > 0 ? PlaybackEnd::kUserStop : PlaybackEnd::kEndOfMovie);
    EXPECT_EQ(pictures.digest.FinalHex(),
              passes > 0 ? expected.pictures_passes2 : expected.pictures_once);
    const std::string& sound = passes > 0 ? expected.sound_passes2 : expected.sound_once;
    if (sound.empty()) {
      EXPECT_EQ(log->buffer_count(), 0u);
    } else {
      const auto pcm = log->Pcm();
      Sha256 digest;
      digest.Update(pcm.data(), pcm.size());
      EXPECT_EQ(digest.FinalHex(), sound);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Movies, Conformance, ::testing::ValuesIn(kConformanceMovies),
                         ConformanceTestName);

}  // namespace
}  // namespace tarvel::test
