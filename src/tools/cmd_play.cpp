// kqm play: plays a movie through the playback engine without a window, on the sound card or
// on the capture device, and reports how fast the whole pipeline ran.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "container/movie_format.h"
#include "display/scalers.h"
#include "engine/player_context.h"
#include "platform/capture_audio_device.h"
#include "platform/stop_signals.h"
#include "platform/terminal.h"
#include "storage/tar_package.h"
#include "tools/audio_export.h"
#include "tools/commands.h"
#include "tools/movie_pictures.h"
#include "tools/tool_common.h"

namespace tarvel::tools {

namespace {

const char kCommand[] = "kqm play";
// How long a stop waits for a read of the movie to end before the command ends without it.
constexpr std::int32_t kReaderWaitAtStopMs = 2000;

struct PlayOptions {
  std::string path, device = "sdl", audio_out, video_out, package_path, start_text;
  std::string name;           // the movie in messages
  bool device_given = false;  // an explicit --device sdl fails without a sound card
  std::int64_t passes = 0;
  bool once = false, realtime = false;
  float rate = 0.0f;
  int volume = -1;
  int ring = kDefaultRingSize;
  int scale = 0;
  Verbosity verbosity;
  bool capture() const { return device == "capture"; }
  bool stdout_output = false;  // an output goes where standard output does
  bool to_stdout() const { return video_out == "-" || audio_out == "-" || stdout_output; }
};

// The command line. False when the command is not to run, with the exit status in `status`.
bool ReadOptions(int argc, char** argv, PlayOptions& o, int* status) {
  CLI::App app{
      "Play a KQM6 movie through the playback engine, without a window.\n"
      "With the capture device (--device capture) nothing is heard: every sound buffer the\n"
      "engine queues can be written to --audio-out (signed 16-bit little-endian PCM, in queue\n"
      "order; a WAVE file for a .wav name) and every presented picture to --video-out (raw\n"
      "little-endian 5-5-5 pixels).\n"
      "Unless --realtime is given the capture device and the frame clock run as fast as the\n"
      "engine allows, which measures the throughput of the whole pipeline. Without a sound\n"
      "card the movie plays silently unless --device sdl is given. Ctrl-C stops playback with\n"
      "its outputs whole.",
      kCommand};
  app.add_option("MOVIE", o.path, "the movie file")->required();
  app.add_option("--start", o.start_text,
                 "start at this frame (a number), or at this time (seconds, e.g. 2.5s): picture "
                 "and sound exactly as when played from the beginning");
  app.add_option("--device", o.device, "sound device: sdl (the sound card, the default) or capture")
      ->check(CLI::IsMember({"sdl", "capture"}));
  app.add_option("--audio-out", o.audio_out,
                 "capture device: write the queued sound here (empty for a silent movie)");
  app.add_option("--video-out", o.video_out, "write every presented picture here");
  auto* passes_option =
      app.add_option("--passes", o.passes, "loop, and stop once K passes have been presented")
          ->transform(WholeRange(1, std::int64_t{1} << 40));
  auto* once_option = app.add_flag("--once", o.once, "play once without looping (the default)");
  passes_option->excludes(once_option);
  app.add_flag("--realtime", o.realtime,
               "capture device: play at the pace of the sample clock (the sound card always does)");
  app.add_option("--rate", o.rate,
                 "frames per second to play at (with the capture device, under --realtime)")
      ->check(NumberRange(0.5, 1000.0));
  app.add_option("--volume", o.volume, "the sound card's volume, 0 to 99")
      ->transform(WholeRange(0, kMaxVolumeLevel));
  app.add_option(
         "--ring", o.ring,
         "frames the disk reader loads ahead (default " + std::to_string(kDefaultRingSize) + ")")
      ->transform(WholeRange(1, 4096));
  AddScaleAndPackageOptions(app, &o.scale, &o.package_path);
  AddVerbosityOptions(app, &o.verbosity);
  if (!ParseCommandLine(app, argc, argv, status)) return false;
  o.device_given = app.count("--device") > 0;
  *status = kExitUsage;
  if (!o.audio_out.empty() && !o.capture()) {
    PrintError(kCommand, "", "--audio-out needs --device capture");
    return false;
  }
  // The pictures go out raw whatever the name: a y4m or PNG name, as export writes them, would
  // get a file that no reader of its kind takes.
  for (const char* kind : {".y4m", ".png"}) {
    if (EndsWithNoCase(o.video_out, kind)) {
      PrintError(kCommand, o.video_out,
                 "--video-out writes raw 5-5-5 pixels, not " + std::string(kind + 1) +
                     " pictures ('kqm export --video' writes those)");
      return false;
    }
  }
  // Without --realtime the capture device and the clock run as fast as they can.
  if (o.rate > 0.0f && o.capture() && !o.realtime) {
    PrintError(
        kCommand, "",
        "--rate needs --realtime with the capture device, which otherwise plays as fast as it can");
    return false;
  }
  // The capture device records the buffers as they are queued, whatever the volume.
  if (o.volume >= 0 && o.capture()) {
    PrintError(kCommand, "",
               "--volume is the sound card's: the capture device records the sound as queued");
    return false;
  }
  if (!CheckMovieOutputsApart(kCommand, o.path, o.package_path,
                              {{"--audio-out", o.audio_out}, {"--video-out", o.video_out}}))
    return false;
  o.name = MovieInMessages(o.path, o.package_path);
  // Named as /dev/stdout (or a link to it), an output takes the summary's place: the summary
  // line went in after the pictures or the sound.
  o.stdout_output = NamesStandardOutput(o.video_out) || NamesStandardOutput(o.audio_out);
  *status = 0;
  return true;
}

// A start frame past the end of every movie.
constexpr std::int64_t kBeyondAnyMovie = std::int64_t{1} << 32;

// The frame a --start position names: a frame number, or a time in seconds ("12.5s"): the
// frame shown at that moment. False, with a reason, for anything else.
bool ParseStart(const std::string& text, float frame_rate, std::int64_t* frame,
                std::string* error) {
  const bool seconds = !text.empty() && text.back() == 's';
  const std::string number = seconds ? text.substr(0, text.size() - 1) : text;
  // The library's reader would also take "0x10" for 16, "1e3" for 1000 and leading spaces.
  const bool decimal = IsDecimalNumber(number);
  std::size_t used = 0;
  double value = -1.0;
  try {
    if (decimal) value = std::stod(number, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (!decimal || used != number.size() || !(value >= 0.0) ||
      (!seconds && value != std::floor(value))) {
    *error = "--start takes a frame number or a time in seconds such as 2.5s, not \"" + text + "\"";
    return false;
  }
  // The rate is 200 / d for the header's frame duration d: the exact quotient, not the float,
  // says where frames begin, and a time written in decimals that lands on a frame's beginning
  // (1.16 s at 25 per second) may fall a hair short of it in binary.
  const std::uint16_t duration = FrameDurationOfRate(frame_rate);
  const double rate = duration != 0 ? 200.0 / static_cast<double>(duration) : frame_rate;
  double at = seconds ? value * rate : value;
  at += at * 1e-12;
  // Converted only within range: every frame past a movie's 16-bit count is as far.
  *frame = at < kBeyondAnyMovie ? static_cast<std::int64_t>(at) : kBeyondAnyMovie;
  return true;
}

// One playback: the engine, its device and the outputs. Shared with the engine threads that
// present the pictures and queue the sound.
struct PlayJob {
  explicit PlayJob(const PlayOptions& options) : o(options) {}
  ~PlayJob() {
    if (context) Player_Destroy(*context);
  }
  const PlayOptions& o;
  TarPackage package;
  std::unique_ptr<PlayerContext> context;
  PlayerStatus movie;
  std::shared_ptr<CaptureLog> log;
  OutputFile sound_file, video_file;
  // --audio-out names a WAVE file: its header goes before the first buffer and gets its sizes
  // and the device's format at the end.
  bool sound_wave = false;
  std::atomic<std::uint64_t> sound_bytes{0};
  // The error number of an output's first failed write, 0 while none failed.
  std::atomic<int> sound_failed{0}, video_failed{0};
  std::vector<std::uint16_t> surface;    // receives the presented pictures
  std::vector<std::uint8_t> picture_le;  // a picture's pixels as written, on big-endian hosts
  std::size_t picture_bytes = 0;
  std::int64_t start_frame = 0;
  // Pictures to present before stopping; 0 = until the engine ends playback itself.
  std::int64_t target = 0;
  std::atomic<std::int64_t> presented{0};
  // The pictures up to the last one played (the target, or the rest of the one pass).
  std::int64_t last_picture = 0;
  // On the sound card, the last picture's sound is still playing when it is presented: the
  // device stays open until the card has played it, then this many milliseconds more for what
  // the card holds of it (0: not on the sound card), unless Ctrl-C cuts it; and at most
  // `sound_wait_ms` in all, should the card never say so. Set as the card opens.
  std::atomic<std::int64_t> sound_tail_ms{0}, sound_wait_ms{0};
  // Released once the card has played the last picture's period, and by Ctrl-C, before or
  // during that wait, to end it.
  std::counting_semaphore<> tail_cut{0};
  // Woken by the end of playback and by a card that stops playing; a stop signal ends it too.
  StopSignalWait wake;
  std::atomic<bool> lost_woken{false};
};

// The sound card has opened at `sample_rate`: the last picture's sound is to be waited for. Set
// before the engine presents a picture (the last may come a frame period after the start, while
// the thread that started playback has not yet run on).
void ExpectSoundTail(PlayJob& job, std::uint32_t sample_rate) {
  // What the card holds beyond the buffer it took last; and, should the card never say that it
  // has played the last picture's period, that period and as much again, and 5 s more.
  const float rate = job.o.rate > 0.0f ? job.o.rate : job.movie.frame_rate;
  sample_rate = std::max(sample_rate, 1u);
  const double card = 2.0 * SdlTakeSamples(sample_rate) / sample_rate;
  const double period = rate > 0.0f ? 1.0 / rate : 0.0;
  job.sound_wait_ms = static_cast<std::int64_t>((2.0 * (period + card) + 5.0) * 1000.0);
  job.sound_tail_ms = static_cast<std::int64_t>(card * 1000.0) + 1;
}

// Lets the sound card play the last picture's sound out; the engine, held on this thread,
// closes the device after it.
void WaitForSoundTail(PlayJob& job) {
  if (!job.tail_cut.try_acquire_for(std::chrono::milliseconds(job.sound_wait_ms.load())) ||
      StopSignals_Received() != 0)
    return;
  (void)job.tail_cut.try_acquire_for(std::chrono::milliseconds(job.sound_tail_ms.load()));
}

// The sound card, given the sound of the playback's pictures and nothing after it. The engine
// queues 31 frame periods ahead of the picture shown, so that past the last picture the card
// played on into what follows (the next pass's opening sound, the movie looping) until it was
// closed. Those periods are kept back here, and given back done at the reset that ends
// playback. As the card opens, the job learns to wait for the last picture's sound; its
// `tail_cut` is released once the card has played that picture's period.
class CardForPictures final : public AudioDevice {
 public:
  CardForPictures(std::unique_ptr<AudioDevice> card, PlayJob& job)
      : card_(std::move(card)), job_(job), periods_(job.last_picture), played_(&job.tail_cut) {}

  int Open(const WaveFormat& format, WaveCallback callback, void* instance) override {
    callback_ = callback;
    instance_ = instance;
    const int result = card_->Open(format, &CardForPictures::Relay, this);
    if (result == kDeviceOk) ExpectSoundTail(job_, format.samples_per_second);
    return result;
  }
  int Prepare(WaveHeader& header) override { return card_->Prepare(header); }
  int Unprepare(WaveHeader& header) override { return card_->Unprepare(header); }
  int Write(WaveHeader& header) override {
    if (written_ < periods_) {
      const int result = card_->Write(header);
      if (result == kDeviceOk) written_ += 1;
      return result;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    kept_.push_back(&header);
    return kDeviceOk;
  }
  int Pause() override { return card_->Pause(); }
  int Restart() override { return card_->Restart(); }
  int PauseAfterCurrent() override { return card_->PauseAfterCurrent(); }
  int Reset() override {
    const int result = card_->Reset();
    std::vector<WaveHeader*> kept;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      kept.swap(kept_);
    }
    for (WaveHeader* header : kept) {
      header->flags |= kWaveHeaderDone;
      if (callback_ != nullptr) callback_(instance_, kWaveDoneMessage, header);
    }
    return result;
  }
  int Close() override { return card_->Close(); }
  int SetVolume(std::uint32_t volume) override { return card_->SetVolume(volume); }
  int SetPlaybackRate(std::uint32_t rate) override { return card_->SetPlaybackRate(rate); }
  std::string LastError() const override { return card_->LastError(); }
  bool Lost() const override { return card_->Lost(); }

 private:
  static void Relay(void* user, std::uint32_t message, WaveHeader* header) {
    auto* self = static_cast<CardForPictures*>(user);
    if (message == kWaveDoneMessage && self->played_count_.fetch_add(1) + 1 == self->periods_)
      self->played_->release();
    if (self->callback_ != nullptr) self->callback_(self->instance_, message, header);
  }

  std::unique_ptr<AudioDevice> card_;
  PlayJob& job_;
  const std::int64_t periods_;
  std::counting_semaphore<>* played_;
  WaveCallback callback_ = nullptr;
  void* instance_ = nullptr;
  std::atomic<std::int64_t> written_{0}, played_count_{0};
  std::mutex mutex_;
  std::vector<WaveHeader*> kept_;
};

// The picture's pixels in the file's byte order (little-endian), whatever the host's.
const void* LittleEndianPixels(PlayJob& job, const std::uint16_t* pixels) {
  if constexpr (std::endian::native == std::endian::little) {
    return pixels;
  } else {
    job.picture_le.resize(job.picture_bytes);
    for (std::size_t i = 0; i < job.picture_bytes / 2; ++i) {
      job.picture_le[2 * i] = static_cast<std::uint8_t>(pixels[i] & 0xFF);
      job.picture_le[2 * i + 1] = static_cast<std::uint8_t>(pixels[i] >> 8);
    }
    return job.picture_le.data();
  }
}

// Takes every presented picture.
void OnPresented(const PresentedPicture& presented, void* user) {
  auto& job = *static_cast<PlayJob*>(user);
  // Past the target only while the sound card plays the one picture's sound out (Start): the
  // picture after it is not the playback's.
  if (job.target > 0 && job.presented >= job.target) return;
  if (job.video_file.is_open() && !job.video_failed &&
      !job.video_file.Write(LittleEndianPixels(job, presented.picture.pixels), job.picture_bytes))
    job.video_failed = errno != 0 ? errno : EIO;
  // The first picture, which the start presents without a frame callback after it, is all that
  // is wanted (one pass from the last frame, or of a one-frame movie): the capture device holds
  // there, its periods queued, until the start has returned and stops playback; the next pass's
  // picture and sound came meanwhile, now and then.
  if (job.presented.fetch_add(1) == 0 && job.target == 1 && job.o.capture())
    Player_Pause(*job.context);
}

// Runs after every frame step, once its sound buffer is queued: the place to stop, so that the
// last picture's sound is in. Played once, the engine stops by itself after the last picture,
// waiting for this thread. An output that cannot be written stops playback at once: the
// command has failed, and there is no point playing on.
void OnFrame(void* user) {
  auto& job = *static_cast<PlayJob*>(user);
  // The engine has just said so if the card stopped playing: that is said at once.
  if (!job.o.capture() && !job.lost_woken && Player_Status(*job.context).sound_lost) {
    job.lost_woken = true;
    job.wake.Wake();
  }
  if (job.video_failed != 0 || job.sound_failed != 0) {
    Player_Stop(*job.context);
    return;
  }
  if (job.presented < job.last_picture) return;
  if (job.sound_tail_ms > 0) WaitForSoundTail(job);
  if (job.target > 0) Player_Stop(*job.context);
}

std::unique_ptr<AudioDevice> MakeDevice(void* user) {
  auto& job = *static_cast<PlayJob*>(user);
  std::unique_ptr<AudioDevice> device;
  if (job.o.capture()) {
    CaptureOptions options;
    options.timing = job.o.realtime ? CaptureTiming::kSampleClock : CaptureTiming::kAtOnce;
    device = std::make_unique<CaptureAudioDevice>(job.log, options);
  } else {
    device = CreateSdlAudioDevice();
  }
  // Set before the device opens: set once playback had begun, they could come after the card's
  // first take, which went out at full volume and the movie's own rate (and the capture device
  // timed its first buffer at that rate).
  if (job.o.volume >= 0) device->SetVolume(static_cast<std::uint32_t>(job.o.volume) * kVolumeStep);
  if (job.o.rate > 0.0f) device->SetPlaybackRate(Player_SoundRateValue(*job.context, job.o.rate));
  if (job.o.capture()) return device;
  // One frame period for each picture played.
  return std::make_unique<CardForPictures>(std::move(device), job);
}

// The engine set up and the movie open (at its start frame). 0, or the exit status after the
// error line.
int OpenMovie(PlayJob& job) {
  const PlayOptions& o = job.o;
  std::string error;
  if (!LoadPackage(job.package, o.package_path, kCommand)) return kExitFailure;
  job.context = std::make_unique<PlayerContext>();
  PlayerContext& context = *job.context;
  Player_Init(context, kPlayerInterfaceVersion);
  if (!o.package_path.empty()) {
    context.source.source_kind = kSourceStorage;
    context.source.storage = &job.package.storage();
  }
  context.scaled_width = static_cast<std::uint32_t>(o.scale);
  context.presentation.scale_800_555 = &ScaleTo800_555;
  context.presentation.scale_800_565 = &ScaleTo800_565;
  context.presentation.scale_1024_555 = &ScaleTo1024_555;
  context.presentation.scale_1024_565 = &ScaleTo1024_565;
  context.services.make_audio_device = &MakeDevice;
  context.services.audio_device_user = &job;
  context.services.free_running_clock = o.capture() && !o.realtime;
  // A start at a frame far from a key frame decodes its way there: a stop signal ends that too.
  context.services.abandon_seek = &StopSignals_Came;

  const std::string movie_name = o.package_path.empty() ? o.path : PackageMemberName(o.path);
  const std::int32_t opened = Player_Open(context, movie_name.c_str());
  const PlayerStatus& movie = job.movie = Player_Status(context);
  if (opened != kPlayerOk) {
    if (opened == kPlayerCannotOpen && !o.package_path.empty())
      PrintError(kCommand, o.path, NotInPackageProblem(job.package, movie_name, o.package_path));
    else
      PrintError(kCommand, o.name, movie.problem);
    return kExitFailure;
  }
  if (movie.frame_count == 0) {
    PrintError(kCommand, o.name, kNoFramesProblem);
    return kExitFailure;
  }
  const bool scaled = movie.output_width != movie.width || movie.output_height != movie.height;
  if (o.scale && !scaled) {
    PrintError(kCommand, o.name,
               "--scale needs a 640x480 movie, this one is " + std::to_string(movie.width) + "x" +
                   std::to_string(movie.height));
    return kExitFailure;
  }
  if (o.start_text.empty()) return 0;
  if (!ParseStart(o.start_text, movie.frame_rate, &job.start_frame, &error)) {
    PrintError(kCommand, "", error);
    return kExitUsage;
  }
  const std::int32_t sought =
      job.start_frame >= movie.frame_count
          ? kPlayerReadFailed
          : Player_Seek(context, static_cast<std::int32_t>(job.start_frame));
  if (sought != kPlayerOk) {
    const std::string at = job.start_frame < kBeyondAnyMovie
                               ? "frame " + std::to_string(job.start_frame)
                               : "\"" + o.start_text + "\"";
    PrintError(kCommand, o.name,
               "cannot start at " + at + ": " +
                   (sought == kPlayerNoThread ? std::string(Player_ResultText(sought))
                                              : Player_UnplayableText(context)));
    return kExitFailure;
  }
  return 0;
}

// The capture device writes each buffer to --audio-out as it is queued instead of keeping them.
bool OpenOutputs(PlayJob& job) {
  const PlayOptions& o = job.o;
  for (auto [file, path] :
       {std::pair{&job.sound_file, &o.audio_out}, std::pair{&job.video_file, &o.video_out}}) {
    std::string error;
    if (!path->empty() && !(file == &job.sound_file ? OpenSoundOutput(*file, *path, &error)
                                                    : file->Open(*path, &error))) {
      // A stop that ended a wait for a named pipe's reader is said by the caller.
      PrintErrorUnlessStopped(kCommand, *path, error);
      return false;
    }
  }
  if (!o.audio_out.empty() && !job.movie.movie_has_sound && !o.verbosity.quiet)
    PrintError(kCommand, o.name, "the movie has no sound: " + o.audio_out + " stays empty");
  job.sound_wave = NamesWaveFile(o.audio_out);
  job.log = std::make_shared<CaptureLog>(false, [&job](const CapturedBuffer& buffer) {
    if (!job.sound_file.is_open() || job.sound_failed) return;
    const bool header_first = job.sound_wave && job.sound_bytes == 0;
    if ((header_first && !job.sound_file.Write(WaveFileHeader(0, 1, 0).data(), kWaveHeaderSize)) ||
        !job.sound_file.Write(buffer.bytes.data(), buffer.bytes.size())) {
      job.sound_failed = errno != 0 ? errno : EIO;
      return;
    }
    job.sound_bytes += buffer.bytes.size();
  });
  return true;
}

// Starts playback, its outputs open. 0, or the exit status after the error line.
int Start(PlayJob& job) {
  const PlayOptions& o = job.o;
  PlayerContext& context = *job.context;
  const PlayerStatus& movie = job.movie;
  // The surface receives the presented pictures: the movie's size, or the scaled size.
  const std::size_t pixels = std::size_t{movie.output_width} * movie.output_height;
  job.surface.assign(pixels, 0);
  job.picture_bytes = pixels * sizeof(std::uint16_t);
  // The first pass of a playback that starts later is shorter.
  job.target = o.passes > 0 ? o.passes * movie.frame_count - job.start_frame : 0;
  job.last_picture = o.passes > 0 ? job.target : movie.frame_count - job.start_frame;
  Player_SetFrameCallback(context, &OnFrame, &job);
  Player_SetPresentationListener(context, &OnPresented, &job);
  // One picture on the sound card (from the last frame, or a one-frame movie): the start
  // presents it, and played once the engine would end playback as the start returns, before the
  // card has played any of its sound. Looping, it ends it after that sound (below).
  const bool one_on_card = !o.capture() && movie.movie_has_sound && job.last_picture == 1;
  if (one_on_card) job.target = 1;
  Player_SetLoop(context, o.passes > 0 || one_on_card ? 1 : 0);

  const std::int32_t started =
      Player_Start(context, job.surface.data(), kDisplayWindow, nullptr, o.ring);
  const PlayerStatus status = Player_Status(context);
  // A stop signal that gave up the seek to --start stopped playback: said as any stop is.
  if (started != kPlayerOk && status.end == PlaybackEnd::kUserStop && StopSignals_Received() != 0)
    return 0;
  if (started == kPlayerDeviceRefused && movie.movie_has_sound && o.device_given) {
    PrintError(kCommand, o.name, status.problem);
    return kExitFailure;
  }
  if (started != kPlayerOk && started != kPlayerSoundRefused && started != kPlayerDeviceRefused) {
    PrintError(
        kCommand, o.name,
        status.problem[0] != '\0' ? std::string(status.problem) : Player_ResultText(started));
    return kExitFailure;
  }
  // Without a sound card the frame clock plays the movie silently, as the player does.
  if (started == kPlayerDeviceRefused && movie.movie_has_sound)
    PrintError(kCommand, o.name, std::string(status.problem) + "; playing without sound");
  // Read from what the start said: a short playback may have ended already.
  if (status.silent_reason[0] != '\0')
    PrintError(kCommand, o.name, status.silent_reason + std::string("; playing without sound"));
  else if (started == kPlayerSoundRefused)
    PrintError(kCommand, o.name, status.problem);
  // Frame 0 of a movie with sound is presented while the start primes the device, without a
  // frame callback after it: a playback of that one picture ends here. On the sound card its
  // sound is still to come: the next picture, which comes once the card has played it, ends
  // playback (OnFrame) after what the card still holds of it.
  if (job.target > 0 && job.presented >= job.target && job.sound_tail_ms == 0) Player_Stop(context);
  if (o.rate > 0.0f) Player_SetRate(context, o.rate);
  return 0;
}

// Waits for the end of playback, with the progress line. Ctrl-C or kill ends it as a stop
// does: every picture and buffer handed over so far is written whole.
PlayerStatus WaitForEnd(PlayJob& job) {
  Progress progress(kCommand, job.last_picture > 0 && !job.o.to_stdout() && !job.o.verbosity.quiet);
  // A sound card that stops playing is said when it happens, once.
  bool lost_said = false;
  const auto say_lost = [&](const PlayerStatus& status) {
    if (lost_said || !status.sound_lost) return;
    PrintError(kCommand, job.o.name, kSoundLostProblem);
    lost_said = true;
  };
  // The engine says the end on a condition variable: a thread of its own passes it on.
  std::thread end_watch;
  try {
    end_watch = std::thread([&job] {
      while (!Player_WaitForEnd(*job.context, std::chrono::hours(1))) {
      }
      job.wake.Wake();
    });
  } catch (const std::system_error&) {
  }
  // Without a timer, but for the progress line, redrawn as the pictures come, and a stop under
  // way, which is asked for again until playback has ended.
  const bool timer = progress.enabled() || !job.wake.ok() || !end_watch.joinable();
  while (!Player_WaitForEnd(*job.context, std::chrono::milliseconds(0))) {
    const bool stopping = StopSignals_Received() != 0;
    if (stopping) {
      job.tail_cut.release();
      // A read the disk or a network share never answers holds the stop up for a moment only.
      job.context->services.reader_wait_ms = kReaderWaitAtStopMs;
      Player_Stop(*job.context);
    }
    say_lost(Player_Status(*job.context));
    progress.Update(job.presented, job.last_picture);
    job.wake.Wait(!stopping, timer || stopping ? 100 : -1);
  }
  if (end_watch.joinable()) end_watch.join();
  progress.Update(job.presented, job.last_picture);  // where playback ended, however soon
  // A failing frame leaves the picture standing still: that ends playback here.
  const PlayerStatus ended = Player_Status(*job.context);
  Player_Destroy(*job.context);  // stops, and collects a thread that ended playback itself
  say_lost(ended);
  progress.Finish();
  return ended;
}

// Completes the WAVE header of --audio-out with the format the device played and the sizes.
bool WriteWaveSizes(PlayJob& job, std::string* error) {
  const WaveFormat format = job.log->format();
  const auto header =
      WaveFileHeader(format.samples_per_second, format.channels, job.sound_bytes.load());
  if (!job.sound_file.Seek(0) || !job.sound_file.Write(header.data(), header.size())) {
    *error = std::string("cannot write the sound: ") + std::strerror(errno ? errno : EIO);
    return false;
  }
  return true;
}

// Why playback ended and what became of the outputs; the exit status.
int Report(PlayJob& job, const PlayerStatus& ended) {
  const PlayOptions& o = job.o;
  int status = 0;
  const std::int64_t presented = job.presented;
  if (ended.corrupt_frames > 0)
    PrintError(kCommand, o.name,
               PictureWarning(kPictureCorrupt, ended.first_corrupt_frame) + " (" +
                   std::to_string(ended.corrupt_frames) + " corrupt " +
                   (ended.corrupt_frames == 1 ? "picture" : "pictures") + " presented)");
  // The sound asked for (--device sdl) did not all go out; said while playing.
  if (ended.sound_lost && o.device_given) status = kExitFailure;
  const int stop_signal = StopSignals_Received();
  if (ended.end == PlaybackEnd::kStepFailed || ended.end == PlaybackEnd::kReaderFailed) {
    PrintError(kCommand, o.name, ended.problem);
    status = kExitFailure;
  } else if (stop_signal != 0) {
    PrintError(kCommand, o.name, "stopped by " + StopSignalName(stop_signal));
  } else if (o.passes > 0 && presented < job.target && job.video_failed == 0 &&
             job.sound_failed == 0) {  // a failed write stops playback, and is reported below
    PrintError(kCommand, o.name, "playback ended early");
    status = kExitFailure;
  }
  // A write that failed is reported once, with its own reason; the command has then failed, and
  // nothing is left of either output.
  bool output_failed = false;
  std::string error;
  for (auto [file, failed, path, what] :
       {std::tuple{&job.video_file, job.video_failed.load(), &o.video_out, "pictures"},
        std::tuple{&job.sound_file, job.sound_failed.load(), &o.audio_out, "sound"}}) {
    if (failed == 0 || file->cut()) continue;  // a stop's, not the output's
    PrintError(kCommand, *path,
               std::string("cannot write the ") + what + ": " + std::strerror(failed));
    output_failed = true;
  }
  if (!output_failed && job.sound_wave && job.sound_bytes > 0 && !WriteWaveSizes(job, &error)) {
    PrintError(kCommand, o.audio_out, error);
    output_failed = true;
  }
  // Both are whole, on the disk, before either takes its name: one that fails there leaves the
  // file the other would replace as it was.
  for (const bool put_in_place : {false, true}) {
    for (auto [file, path] :
         {std::pair{&job.video_file, &o.video_out}, std::pair{&job.sound_file, &o.audio_out}}) {
      if (output_failed) {
        file->Discard();
      } else if (!(put_in_place ? file->PutInPlace(&error) : file->Complete(&error))) {
        PrintError(kCommand, *path, error);
        output_failed = true;
      }
    }
  }
  if (output_failed) status = kExitFailure;
  return stop_signal != 0 ? ExitStatusOfSignal(stop_signal) : status;
}

// A reader the stop left inside a read that never ends keeps the engine's buffers: with the
// outputs finished, the command ends without it rather than wait on it for good.
int EndLeavingReaders(const PlayJob& job, int status) {
  if (!job.context || !Player_ReadersLeft(*job.context)) return status;
  std::_Exit(FinishStandardOutput(kCommand, status));
}

}  // namespace

int Cmd_Play(int argc, char** argv) {
  PlayOptions options;
  int status = 0;
  if (!ReadOptions(argc, argv, options, &status)) return status;
  PlayJob job(options);
  if (status = OpenMovie(job); status != 0) return status;
  const auto began = std::chrono::steady_clock::now();
  const auto seconds_since = [began] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  };
  double seconds = 0.0;
  // From here on a stop signal ends playback cleanly (before, it ends the command with nothing
  // written). One that ends a wait for an output's reader ends it before its first picture: said
  // as any other stop, with the summary, and no output is kept.
  StopSignals_Install();
  if (!OpenOutputs(job)) {
    const int stop_signal = StopSignals_Received();
    if (stop_signal == 0) return kExitFailure;
    PrintError(kCommand, options.name, "stopped by " + StopSignalName(stop_signal));
    status = ExitStatusOfSignal(stop_signal);
    seconds = seconds_since();
  } else {
    if (status = Start(job); status != 0) return status;
    const PlayerStatus ended = WaitForEnd(job);
    seconds = seconds_since();
    status = Report(job, ended);
  }
  const std::int64_t presented = job.presented;
  if (options.verbosity.quiet || StandardOutputReaderLeft()) return EndLeavingReaders(job, status);
  std::fprintf(options.to_stdout() ? stderr : stdout, "%s presented in %.3f s (%.1f frames/s)\n",
               Counted(presented, "frame").c_str(), seconds,
               seconds > 0 ? static_cast<double>(presented) / seconds : 0.0);
  return EndLeavingReaders(job, status);
}

}  // namespace tarvel::tools
