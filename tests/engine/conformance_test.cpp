// The conformance movies through the engine: every presented picture and every buffer the
// sound device receives must match the listed digests, for one pass without looping and for
// two looping passes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

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

// Takes every presented picture; once `target` pictures are in, holds the engine's thread
// until stop has begun, so that no further frame is stepped.
struct PictureTaker {
  PlayerContext* context = nullptr;
  const std::vector<std::uint16_t>* surface = nullptr;
  std::int64_t target = 0;
  Sha256 digest;
  std::atomic<std::int64_t> taken{0};
  std::int64_t last_position = 0;

  // Takes the picture when the step just run presented one: the frames presented so far have
  // moved on (a step that found nothing to present leaves them where they were).
  void Take() {
    const std::int64_t position =
        std::int64_t{context->loop_count} * context->frame_count + context->current_frame;
    if (position == last_position) return;
    last_position = position;
    digest.Update(surface->data(), surface->size() * sizeof(std::uint16_t));
    taken.fetch_add(1);
  }
  static void Callback(void* user) {
    auto& self = *static_cast<PictureTaker*>(user);
    self.Take();
    if (self.target > 0 && self.taken >= self.target)
      while (self.context->playing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

class Conformance : public EngineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(Conformance, PicturesAndSoundMatchTheListedDigests) {
  const std::string name = GetParam();
  const auto all = ReadExpected();
  ASSERT_TRUE(all.count(name)) << "no expectations for " << name;
  const Expected& expected = all.at(name);
  const std::string path = std::string(TARVEL_CONFORMANCE_DIR) + "/" + name + ".kqm";
  hold_completions = true;

  for (int passes : {0, 2}) {
    SCOPED_TRACE(passes == 0 ? "once" : "two passes");
    log = std::make_shared<CaptureLog>();
    PictureTaker pictures;
    pictures.context = &context;
    pictures.surface = &surface;
    Player_SetFrameCallback(context, &PictureTaker::Callback, &pictures);
    Player_SetLoop(context, passes > 0 ? 1 : 0);
    ASSERT_EQ(Player_Open(context, path.c_str()), kPlayerOk);
    pictures.target = std::int64_t{passes} * context.frame_count;
    surface.assign(std::size_t{context.width} * context.height, 0);
    gate = nullptr;
    ASSERT_EQ(Player_Start(context, surface.data(), kDisplayWindow, nullptr, kDefaultRingSize),
              kPlayerOk);
    if (context.sound_on) {
      // Frame 0 was presented while the device was primed.
      pictures.Take();
      ASSERT_NE(gate, nullptr);
      gate->OpenGate();
    }
    if (passes > 0) {
      ASSERT_TRUE(WaitFor([&] { return pictures.taken >= pictures.target; }, 60));
      Player_Stop(context);
    } else {
      ASSERT_TRUE(WaitFor([&] { return !context.movie_open; }, 60));
      Player_Stop(context);
      EXPECT_EQ(pictures.taken, context.frame_count);
    }
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

INSTANTIATE_TEST_SUITE_P(Movies, Conformance,
                         ::testing::Values("key-dct-128x96", "mixed-160x120-mono",
                                           "copy-320x240-stereo", "skip-128x64-mono-40",
                                           "mixed-1024x64", "mixed-256x128-stereo-36",
                                           "dct-640x480", "mixed-136x96-mono-33-key4"),
                         [](const auto& param_info) {
                           std::string name = param_info.param;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

}  // namespace
}  // namespace tarvel::test
