// A player context wired to a capture device and a free-running clock, for the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engine/player_context.h"
#include "engine_test_util.h"
#include "platform/capture_audio_device.h"
#include "platform/gated_audio_device.h"

namespace tarvel::test {

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Player_Init(context, kPlayerInterfaceVersion), kPlayerOk);
    ASSERT_TRUE(Player_SetPixelFormat(context, 15));
    context.services.make_audio_device = &EngineTest::MakeDevice;
    context.services.audio_device_user = this;
    context.services.free_running_clock = true;
  }
  void TearDown() override { Player_Destroy(context); }

  static std::unique_ptr<AudioDevice> MakeDevice(void* user) {
    auto* self = static_cast<EngineTest*>(user);
    auto device = std::make_unique<GatedAudioDevice>(
        std::make_unique<CaptureAudioDevice>(self->log, self->options));
    self->gate = device.get();
    if (!self->hold_completions) device->OpenGate();
    return device;
  }

  // Opens and starts `movie` in window mode.
  std::int32_t OpenAndStart(const TempMovie& movie, std::int32_t ring = kDefaultRingSize) {
    const std::int32_t opened = Player_Open(context, movie.path());
    if (opened != kPlayerOk) return opened;
    surface.assign(std::size_t{context.width} * context.height, 0);
    return Player_Start(context, surface.data(), kDisplayWindow, nullptr, ring);
  }

  bool WaitUntilIdle() {
    return WaitFor([this] { return !context.playing && !context.movie_open; });
  }

  PlayerContext context;
  std::shared_ptr<CaptureLog> log = std::make_shared<CaptureLog>();
  CaptureOptions options;
  // Holds the device's completions until gate->OpenGate().
  bool hold_completions = false;
  GatedAudioDevice* gate = nullptr;
  std::vector<std::uint16_t> surface;
};

// The conformance movies, by name, and a test-name generator for them.
inline const char* const kConformanceMovies[] = {
    "key-dct-128x96", "mixed-160x120-mono",     "copy-320x240-stereo", "skip-128x64-mono-40",
    "mixed-1024x64",  "mixed-256x128-stereo-36", "dct-640x480",         "mixed-136x96-mono-33-key4"};
inline std::string ConformanceTestName(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

// Records what every frame callback saw. Written on the engine's thread, read after stop.
struct FrameLog {
  PlayerContext* context = nullptr;
  const std::vector<std::uint16_t>* surface = nullptr;
  std::vector<std::int32_t> next_frames;    // current_frame after each presented frame
  std::vector<std::uint16_t> first_pixels;  // pixel 0 of the surface after each frame
  std::atomic<int> calls{0};
  bool duplicate_index_seen = false;

  static void Callback(void* user) {
    auto& self = *static_cast<FrameLog*>(user);
    self.next_frames.push_back(self.context->current_frame);
    self.first_pixels.push_back((*self.surface)[0]);
    // The ring never holds two slots of the same frame.
    std::vector<std::int32_t> seen;
    for (std::int32_t i = 0; i < self.context->ring_size; ++i) {
      const FrameSlot* slot = self.context->frame_ring[i].load();
      if (slot == nullptr) continue;
      for (std::int32_t index : seen)
        if (index == slot->frame_index) self.duplicate_index_seen = true;
      seen.push_back(slot->frame_index);
    }
    self.calls.fetch_add(1);
  }
};

}  // namespace tarvel::test
