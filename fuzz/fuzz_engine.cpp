// Plays arbitrary bytes as a movie through the whole playback engine (its disk reader, frame
// step, sound thread or frame clock, and frame index), sound into the capture device, and seeks
// in it. The first four bytes choose what the run does, the rest is the movie file:
//   byte 0  bit 0: a sound device (else the movie plays silent)   bit 1: loop
//           bit 2: seek to frame (byte 1) before the start
//           bit 3: while playing: pause, seek to frame (byte 2), step back, step, play on
//           bit 4: a ring of (byte 3 % 16 + 1) frames instead of the default
//           bit 5: stop from the frame callback after (byte 3 % 8) pictures
//           bit 6: change the rate to (byte 2 % 60 + 1) frames per second once started
//           bit 7: the movie is served by a package storage whose disk fails, as four more
//                  bytes say (the movie then starts at byte 8):
//   byte 4  bits 0-1: what the damaged bytes do: a read of them fails; the file ends at them (a
//                     short read); a read of them is slow (a few milliseconds); a seek to them
//                     fails (the stream is buffered as a package's is: it seeks to the start of
//                     a block and reads on from there)
//           bits 2-3: open-file slots of the storage, 1 to 4 (with 1 the frame index cannot open
//                     the movie beside playback)
//           bit 4: playback is stopped as soon as it has started (after the seeks), as a
//                  program about to end stops it: waiting no time for a reader inside a read;
//                  a second stop then finishes once the readers are out
//           bits 5-7: 4 to the power of this many bytes are damaged
//   bytes 5-6: where the damage starts, as an offset in the movie (little-endian)
//   byte 7  bits 0-5: how many reads (or seeks) meet the damage before the disk recovers (0:
//                     never)
//           bits 6-7: whose reads meet it: every reader's; the disk reader's; the frame
//                     index's; the caller's (the open and the seeks)
// Pictures are at most 64 x 64 pixels, and a run stops after 80 pictures: larger and longer
// runs exercise the same code more slowly. A playback that has not ended a minute after its
// last picture is due is a hang, reported as a crash.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "container/movie_format.h"
#include "engine/player_context.h"
#include "engine/player_status.h"
#include "platform/capture_audio_device.h"
#include "storage/storage_layer.h"

namespace {

using namespace tarvel;

constexpr std::size_t kControlBytes = 4;
constexpr std::size_t kDiskControlBytes = 4;
constexpr char kPackagedName[] = "movie.kqm";
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

// The disk under the package storage: the movie's bytes, with a damaged run of them.
struct FailingDisk {
  enum Damage { kReadFails, kFileEnds, kReadSlow, kSeekFails };

  std::vector<std::uint8_t> bytes;
  Damage damage = kReadFails;
  std::int64_t damage_start = 0;
  std::int64_t damage_end = 0;
  std::int32_t recovers_after = 0;  // meetings with the damage; 0: never
  std::atomic<std::int32_t> met{0};
  enum Reader { kEveryReader, kDiskReader, kIndex, kCaller };
  Reader reader = kEveryReader;  // whose reads and seeks meet the damage
  const PlayerContext* context = nullptr;
  std::thread::id caller;
  std::int64_t position = 0;  // of the stream; the storage's lock serialises it

  bool Damaged() {
    if (reader != kEveryReader) {
      // The disk reader is one of the engine's threads, the frame index's builder is not.
      const Reader here = std::this_thread::get_id() == caller         ? kCaller
                          : context && Engine_OnEngineThread(*context) ? kDiskReader
                                                                       : kIndex;
      if (here != reader) return false;
    }
    if (recovers_after == 0) return true;
    return met.fetch_add(1) < recovers_after;
  }
};

ssize_t DiskRead(void* cookie, char* buffer, std::size_t length) {
  auto& disk = *static_cast<FailingDisk*>(cookie);
  const auto size = static_cast<std::int64_t>(disk.bytes.size());
  std::int64_t end =
      std::min<std::int64_t>(disk.position + static_cast<std::int64_t>(length), size);
  if (disk.position >= end) return 0;
  const bool meets = disk.damage != FailingDisk::kSeekFails && disk.position < disk.damage_end &&
                     end > disk.damage_start;
  if (meets && disk.position < disk.damage_start && disk.damage != FailingDisk::kReadSlow) {
    end = disk.damage_start;  // the bytes before the damage come first
  } else if (meets && disk.Damaged()) {
    switch (disk.damage) {
      case FailingDisk::kReadFails:
        errno = EIO;
        return -1;
      case FailingDisk::kFileEnds:
        return 0;
      default:
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        break;
    }
  }
  const auto count = static_cast<std::size_t>(end - disk.position);
  std::memcpy(buffer, disk.bytes.data() + disk.position, count);
  disk.position = end;
  return static_cast<ssize_t>(count);
}

int DiskSeek(void* cookie, off64_t* offset, int whence) {
  auto& disk = *static_cast<FailingDisk*>(cookie);
  const std::int64_t base = whence == SEEK_SET   ? 0
                            : whence == SEEK_CUR ? disk.position
                                                 : static_cast<std::int64_t>(disk.bytes.size());
  const std::int64_t target = base + *offset;
  if (target < 0) return -1;
  if (disk.damage == FailingDisk::kSeekFails && target != disk.position &&
      target >= disk.damage_start && target < disk.damage_end && disk.Damaged()) {
    errno = EIO;
    return -1;
  }
  disk.position = target;
  *offset = target;
  return 0;
}

// A package holding the movie alone, on the failing disk.
struct FailingPackage {
  FailingDisk disk;
  std::mutex lock;
  PackageFileInfo file;
  DirectoryEntry entry;
  StorageSlot slots[4] = {};
  std::int32_t slot_is_package[4] = {};
  StorageLayer storage;

  // The control bytes of the disk, then the movie.
  FailingPackage(const std::uint8_t* control, const std::uint8_t* movie, std::size_t size)
      : disk{} {
    disk.bytes.assign(movie, movie + size);
    disk.damage = static_cast<FailingDisk::Damage>(control[0] & 3);
    disk.damage_start = control[1] | control[2] << 8;
    disk.damage_end = disk.damage_start + (std::int64_t{1} << (2 * (control[0] >> 5)));
    disk.recovers_after = control[3] & 0x3F;
    disk.reader = static_cast<FailingDisk::Reader>(control[3] >> 6);
    disk.caller = std::this_thread::get_id();
    file.size = static_cast<std::uint32_t>(size);
    entry.name = kPackagedName;
    entry.kind_flags = kEntryFile;
    entry.file = &file;
    storage.root.entry_count = 1;
    storage.root.entries = &entry;
    storage.current_directory = &storage.root;
    storage.lock = &lock;
    storage.slot_handles = slots;
    storage.slot_is_package = slot_is_package;
    storage.slot_count = 1 + ((control[0] >> 2) & 3);
    storage.package_enabled = 1;
    storage.package_stream = fopencookie(&disk, "rb", {&DiskRead, nullptr, &DiskSeek, nullptr});
  }
  ~FailingPackage() {
    if (storage.package_stream) std::fclose(storage.package_stream);
  }
  FailingPackage(const FailingPackage&) = delete;
  FailingPackage& operator=(const FailingPackage&) = delete;

  bool AllSlotsFree() const {
    for (std::uint32_t i = 0; i < storage.slot_count; ++i)
      if (slots[i].loose || slots[i].package) return false;
    return true;
  }
};

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_engine: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kControlBytes) return 0;
  const std::uint8_t options = data[0];
  const bool packaged = (options & 0x80) != 0;
  const std::size_t movie_at = kControlBytes + (packaged ? kDiskControlBytes : 0);
  if (size < movie_at + kMovieHeaderSize) return 0;
  const std::uint8_t* movie = data + movie_at;
  const std::size_t movie_size = size - movie_at;
  const MovieHeader header = ParseMovieHeader(movie);
  if (std::int64_t{header.width} * header.height > kMaxPicturePixels) return 0;
  std::unique_ptr<FailingPackage> package;
  if (packaged) {
    package = std::make_unique<FailingPackage>(data + kControlBytes, movie, movie_size);
    Check(package->storage.package_stream != nullptr, "no stream for the package");
  } else {
    std::ofstream file(MoviePath(), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(movie), static_cast<std::streamsize>(movie_size));
    if (!file) return 0;
  }

  auto context = std::make_unique<PlayerContext>();
  Run run;
  run.context = context.get();
  if (options & 0x20) run.stop_after = data[3] % 8;
  Check(Player_Init(*context, kPlayerInterfaceVersion) == kPlayerOk, "init failed");
  if (package) {
    package->disk.context = context.get();
    context->source.source_kind = kSourceStorage;
    context->source.storage = &package->storage;
  }
  Player_SetPixelFormat(*context, 15);
  if (options & 0x01) context->services.make_audio_device = &MakeCaptureDevice;
  context->services.free_running_clock = true;
  Player_SetLoop(*context, (options & 0x02) ? 1 : 0);
  Player_SetPresentationListener(*context, &Presented, &run);
  Player_SetFrameCallback(*context, &FrameDone, &run);
  const char* name = package ? kPackagedName : MoviePath().c_str();
  if (const std::int32_t opened = Player_Open(*context, name); opened != kPlayerOk) {
    if (Player_Status(*context).problem[0] == '\0')
      std::fprintf(stderr, "fuzz_engine: open result %d\n", opened);
    Check(Player_Status(*context).problem[0] != '\0', "an open failed without saying why");
    Player_Destroy(*context);
    Check(!package || package->AllSlotsFree(), "a failed open left a file open");
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
    if (package && (data[kControlBytes] & 0x10)) {
      // Quit at once, as a program about to end does: it waits no time for a reader inside a
      // read, then the stop is finished once the reader has ended.
      context->services.reader_wait_ms = 0;
      Player_Stop(*context);
      context->services.reader_wait_ms = -1;
      if (Player_ReadersLeft(*context)) {
        Check(Player_Status(*context).state == PlayerState::kOpen,
              "a stop that left a reader says the movie is not open");
        Player_Stop(*context);
        Check(!Player_ReadersLeft(*context), "a stop after the readers ended still leaves them");
      }
    } else if (!Player_WaitForEnd(*context, std::chrono::minutes(1))) {
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
  Check(!package || package->AllSlotsFree(), "the movie was left open after the stop");
  return 0;
}
