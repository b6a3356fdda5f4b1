// Plays arbitrary bytes as a movie through the whole playback engine (its disk reader, frame
// step, sound thread or frame clock, and frame index), sound into the capture device, and seeks
// in it. The first four bytes choose what the run does, the rest is the movie file:
//   byte 0  bit 0: a sound device (else the movie plays silent)   bit 1: loop
//           bit 2: seek to frame (byte 1) before the start
//           bit 3: while playing: pause, seek to frame (byte 2), step back, step, play on
//           bit 4: a ring of (byte 3 % 16 + 1) frames instead of the default
//           bit 5: stop from the frame callback after (byte 3 % 8) pictures
//           bit 6: change the rate to (byte 2 % 60 + 1) frames per second once started
// Pictures are at most 64 x 64 pixels, and a run stops after 80 pictures: larger and longer
// runs exercise the same code more slowly. A playback that has not ended a minute after its
// last picture is due is a hang, reported as a crash.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "container/movie_format.h"
#include "engine/player_context.h"
#include "engine/player_status.h"
#include "platform/capture_audio_device.h"

namespace {

using namespace tarvel;

constexpr std::size_t kControlBytes = 4;
constexpr std::int64_t kMaxPicturePixels = 64 * 64;
constexpr std::int64_t kMaxPictures = 80;

struct Run {
  PlayerContext* context = nullptr;
  std::int64_t stop_after = kMaxPictures;
  std::atomic<std::int64_t> presented{0};
};

void Presented(const PresentedPicture& presented, void* user) {
  auto& run = *static_cast<Run*>(user);
  // Touch the picture's corners so the sanitizers see a bad view.
  const PictureView& view = presented.picture;
  volatile std::uint16_t corners = view.pixels[0];
  corners =
      corners +
      view.pixels[static_cast<std::size_t>(view.width) * static_cast<std::size_t>(view.height) - 1];
  run.presented.fetch_add(1);
}

void FrameDone(void* user) {
  auto& run = *static_cast<Run*>(user);
  if (run.presented >= run.stop_after) Player_Stop(*run.context);
}

std::unique_ptr<AudioDevice> MakeCaptureDevice(void*) {
  return std::make_unique<CaptureAudioDevice>(std::make_shared<CaptureLog>(false));
}

// A file of this process's own for the movie (the engine opens movies by name), removed at exit.
struct MovieFile {
  MovieFile()
      : path((std::filesystem::temp_directory_path() /
              ("fuzz_engine-" + std::to_string(std::random_device()()) + ".kqm"))
                 .string()) {}
  ~MovieFile() { std::remove(path.c_str()); }
  std::string path;
};

const std::string& MoviePath() {
  static const MovieFile file;
  return file.path;
}

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_engine: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kControlBytes + kMovieHeaderSize) return 0;
  const std::uint8_t options = data[0];
  const MovieHeader header = ParseMovieHeader(data + kControlBytes);
  if (std::int64_t{header.width} * header.height > kMaxPicturePixels) return 0;
  {
    std::ofstream file(MoviePath(), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data + kControlBytes),
               static_cast<std::streamsize>(size - kControlBytes));
    if (!file) return 0;
  }

  auto context = std::make_unique<PlayerContext>();
  Run run;
  run.context = context.get();
  if (options & 0x20) run.stop_after = data[3] % 8;
  Check(Player_Init(*context, kPlayerInterfaceVersion) == kPlayerOk, "init failed");
  Player_SetPixelFormat(*context, 15);
  if (options & 0x01) context->services.make_audio_device = &MakeCaptureDevice;
  context->services.free_running_clock = true;
  Player_SetLoop(*context, (options & 0x02) ? 1 : 0);
  Player_SetPresentationListener(*context, &Presented, &run);
  Player_SetFrameCallback(*context, &FrameDone, &run);
  if (const std::int32_t opened = Player_Open(*context, MoviePath().c_str()); opened != kPlayerOk) {
    if (Player_Status(*context).problem[0] == '\0')
      std::fprintf(stderr, "fuzz_engine: open result %d\n", opened);
    Check(Player_Status(*context).problem[0] != '\0', "an open failed without saying why");
    return 0;
  }
  const std::int32_t frames = context->frame_count;
  if ((options & 0x04) && frames > 0) Player_Seek(*context, data[1] % frames);
  std::vector<std::uint16_t> surface(std::size_t{context->width} * context->height);
  const std::int32_t ring = (options & 0x10) ? data[3] % 16 + 1 : kDefaultRingSize;
  const std::int32_t started =
      Player_Start(*context, surface.data(), kDisplayWindow, nullptr, ring);
  if (started == kPlayerOk || started == kPlayerSoundRefused) {
    if (options & 0x40) Player_SetRate(*context, static_cast<float>(data[2] % 60 + 1));
    if ((options & 0x08) && frames > 0) {
      Player_Pause(*context);
      Player_Seek(*context, data[2] % frames);
      Player_StepBack(*context);
      Player_Step(*context);
      Player_Restart(*context);
    }
    if (!Player_WaitForEnd(*context, std::chrono::minutes(1))) {
      const PlayerStatus status = Player_Status(*context);
      std::fprintf(stderr,
                   "fuzz_engine: state %d, shown %d, next %d, %lld pictures, sound %d, paused %d, "
                   "stepping %d, clock %d, halting %d, end %d\n",
                   static_cast<int>(status.state), status.shown_frame, status.current_frame,
                   static_cast<long long>(status.pictures_presented), status.sound_on ? 1 : 0,
                   context->paused ? 1 : 0, static_cast<int>(context->stepping),
                   context->timer_active ? 1 : 0, context->halting ? 1 : 0,
                   static_cast<int>(status.end));
      Check(false, "playback does not end");
    }
    // A step that failed leaves the picture standing until the stop.
    Player_Stop(*context);
    const std::int64_t at_stop = run.presented;
    Player_Restart(*context);
    if (run.presented != at_stop)
      std::fprintf(stderr, "fuzz_engine: %lld pictures at the stop, %lld after a restart\n",
                   static_cast<long long>(at_stop), static_cast<long long>(run.presented));
    Check(run.presented == at_stop, "a picture was presented after the stop");
  }
  Player_Destroy(*context);
  return 0;
}
