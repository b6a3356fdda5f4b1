// kqm encode: makes a KQM6 movie from a YUV4MPEG2 video and an optional WAV sound.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <string>

#include "container/movie_format.h"
#include "encoder/media_input.h"
#include "encoder/movie_encoder.h"
#include "encoder/rate_control.h"
#include "platform/stop_signals.h"
#include "platform/stoppable_stream.h"
#include "platform/terminal.h"
#include "tools/commands.h"
#include "tools/tool_common.h"

namespace tarvel::tools {

namespace {

const char kCommand[] = "kqm encode";

// Tallest picture written: the container's 16-bit height, in whole blocks.
constexpr int kMaxEncodeHeight = kMaxPictureDimension / 8 * 8;
// Bytes each frame adds around its pictures and sound: the frame word and two chunk headers,
// with the padding of a chunk on average.
constexpr double kFrameOverheadBytes = 4 + 8 + 8 + 3;
// Qualities at which the first picture is encoded to learn how size follows quality.
constexpr int kProbeQualities[] = {30, 60, 90};

struct EncodeOptions {
  std::string video_path, audio_path, output_path, size_text;
  int quality = 75, key_interval = 60, effort = 1;
  double fps = 0, bitrate = 0, bpp = 0;
  bool crop = false, stats = false, one_pass = false;
  Verbosity verbosity;
};

void AddEncodeOptions(CLI::App& app, EncodeOptions* o) {
  app.add_option("--video", o->video_path, "the pictures: a .y4m file, or - for standard input")
      ->required();
  app.add_option("--audio", o->audio_path,
                 "the sound: a .wav file, or - for standard input when the video is a file");
  app.add_option("-o,--output", o->output_path, "the movie to write")->required();
  auto* quality = app.add_option("--quality", o->quality, "picture quality 1-100 (default 75)")
                      ->transform(WholeRange(1, 100));
  auto* bitrate =
      app.add_option("--bitrate", o->bitrate,
                     "aim the whole movie (pictures, sound and framing) at KBIT kilobits per "
                     "second, choosing each frame's quality")
          ->check(NumberRange(1.0, 1e6));
  auto* bpp = app.add_option("--bpp", o->bpp,
                             "aim the pictures at BPP bits per pixel, choosing each frame's "
                             "quality")
                  ->check(NumberRange(0.01, 32.0));
  bitrate->excludes(bpp)->excludes(quality);
  bpp->excludes(quality);
  app.add_flag("--one-pass", o->one_pass,
               "with --bitrate or --bpp: no second pass over a video file (faster, less exact)");
  app.add_option("--keyint", o->key_interval,
                 "a key frame at least every N frames; 0: only the first (default 60)")
      ->transform(WholeRange(0, 65535));
  app.add_option("--fps", o->fps, "frame rate, overriding the video's (stored in 1/200 s steps)")
      ->check(NumberRange(0.004, 200.0));
  auto* size = app.add_option("--size", o->size_text,
                              "scale the pictures to WxH (multiples of 8, at most 1024 wide)");
  app.add_option("--effort", o->effort, kEffortHelp)->transform(WholeRange(0, 3));
  app.add_flag("--crop", o->crop,
               "crop instead of padding to multiples of 8, and instead of scaling pictures too "
               "large for the format")
      ->excludes(size);
  app.add_flag("--stats", o->stats, "print each frame's kind, quality, size and PSNR at the end");
  AddVerbosityOptions(app, &o->verbosity,
                      "also the quality the second pass of --bitrate or --bpp settles on");
}

// The problem with an asked picture size, naming the side at fault; empty when it can be made.
std::string SizeProblem(int width, int height) {
  if (width % 8 || height % 8) return "width and height must be multiples of 8";
  if (width > kMaxEncodeWidth)
    return "width " + std::to_string(width) + " is over the format's " +
           std::to_string(kMaxEncodeWidth);
  if (height > kMaxEncodeHeight)
    return "height " + std::to_string(height) + " is over the format's " +
           std::to_string(kMaxEncodeHeight);
  return {};
}

int RoundTo8(double v) {
  return std::max(8, static_cast<int>(std::lround(v / 8)) * 8);
}

// How the video's pictures become the movie's: their size, and whether they are scaled (else
// cropped from the top-left or padded by repeating the last column and row).
struct Geometry {
  int width = 0, height = 0;
  bool scale = false;
  std::string note;  // what was done to them, for the user
};

bool ChooseGeometry(const EncodeOptions& o, int source_width, int source_height, Geometry* g,
                    std::string* error) {
  if (!o.size_text.empty()) {
    if (!ParsePictureSize(o.size_text, &g->width, &g->height)) {
      *error = "--size: expected WxH, got '" + o.size_text + "'";
      return false;
    }
    const std::string problem = SizeProblem(g->width, g->height);
    if (!problem.empty()) {
      *error = "--size " + o.size_text + ": " + problem;
      return false;
    }
    g->scale = true;
    return true;
  }
  const std::string source = std::to_string(source_width) + "x" + std::to_string(source_height);
  if (source_width > kMaxEncodeWidth || source_height > kMaxEncodeHeight) {
    if (o.crop) {
      g->width = std::min(source_width / 8 * 8, kMaxEncodeWidth);
      g->height = std::min(source_height / 8 * 8, kMaxEncodeHeight);
      g->note = "cropping " + source + " to " + std::to_string(g->width) + "x" +
                std::to_string(g->height) + " (the format's largest)";
    } else {
      const double f = std::min(static_cast<double>(kMaxEncodeWidth) / source_width,
                                static_cast<double>(kMaxEncodeHeight) / source_height);
      g->width = std::min(RoundTo8(source_width * f), kMaxEncodeWidth);
      g->height = std::min(RoundTo8(source_height * f), kMaxEncodeHeight);
      g->scale = true;
      g->note = "fitting " + source + " into " + std::to_string(g->width) + "x" +
                std::to_string(g->height) + ", the format's widest pictures (--size or --crop " +
                "choose otherwise)";
    }
    return true;
  }
  g->width = o.crop ? source_width / 8 * 8 : (source_width + 7) / 8 * 8;
  g->height = o.crop ? source_height / 8 * 8 : (source_height + 7) / 8 * 8;
  if (g->width == 0 || g->height == 0) {
    *error = "picture " + source + " is smaller than one 8x8 block and cannot be cropped";
    return false;
  }
  if (g->width != source_width || g->height != source_height)
    g->note = std::string(o.crop ? "cropping " : "padding ") + source + " to " +
              std::to_string(g->width) + "x" + std::to_string(g->height);
  return true;
}

// Opens an input for reading ("-": standard input) so that a stop signal ends a wait for its
// data, as for a pipe's writer that has gone quiet; nullptr with `error` set.
std::FILE* OpenInput(const std::string& path, std::string* error) {
  std::FILE* file = OpenStoppableInput(path);
  if (!file) *error = std::string("cannot open: ") + std::strerror(errno);
  return file;
}

// The video's pictures, fitted to the movie's size; can start again when the video is a file.
class PictureSource {
 public:
  ~PictureSource() { Y4mReader_Close(reader_); }
  bool Open(const std::string& path, std::string* error) {
    path_ = path;
    Y4mReader_Close(reader_);
    reader_ = Y4mReader{};
    std::FILE* file = OpenInput(path, error);
    if (!file) return false;
    reader_.owns_file = true;
    return Y4mReader_OpenStream(reader_, file, path, error);
  }
  bool Rewind(std::string* error) {
    read_ = emitted_ = 0;
    return Open(path_, error);
  }
  void Fit(const Geometry& geometry) {
    geometry_ = geometry;
    fit_ = geometry.scale || geometry.width != reader_.width || geometry.height != reader_.height;
  }
  // Frames stored `duration` / 200 s apart show the video's picture of their moment (the
  // nearest), so that a rate the container cannot store keeps the clip's length and its sound in
  // step: pictures are left out or shown twice as needed.
  void Retime(std::uint16_t duration) {
    duration_ = duration;
    retime_ = true;
  }
  // 1 with a picture, 0 at the end, -1 with `error` set.
  int Next(const RgbPicture** picture, std::string* error) {
    const std::int64_t wanted = retime_ ? SourceIndex(emitted_) : emitted_;
    while (read_ <= wanted) {
      const int got = Y4mReader_Next(reader_, &input_, error);
      if (got <= 0) return got;
      ++read_;
      fitted_current_ = false;
    }
    if (fit_ && !fitted_current_)
      FitPicture(input_, geometry_.width, geometry_.height, geometry_.scale, &fitted_);
    fitted_current_ = true;
    *picture = fit_ ? &fitted_ : &input_;
    ++emitted_;
    return 1;
  }
  const Y4mReader& reader() const { return reader_; }
  // Pictures in the file, when it is a regular file whose size says (0 otherwise).
  std::int64_t CountFromSize() const {
    if (!seekable()) return 0;
    std::error_code code;
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(path_, code));
    if (code) return 0;
    const std::int64_t w = reader_.width, h = reader_.height;
    std::int64_t chroma = 0;
    if (reader_.chroma == Y4mChroma::k420) chroma = 2 * ((w + 1) / 2) * ((h + 1) / 2);
    if (reader_.chroma == Y4mChroma::k422) chroma = 2 * ((w + 1) / 2) * h;
    if (reader_.chroma == Y4mChroma::k444) chroma = 2 * w * h;
    const std::int64_t pictures = size / (w * h + chroma + 6);
    if (!retime_ || pictures == 0) return pictures;
    // Stored frames whose picture (SourceIndex) is one of the video's: those k with
    // 2 k duration num < 200 den (2 pictures - 1).
    const std::int64_t step = static_cast<std::int64_t>(duration_) * reader_.rate_numerator;
    return (100 * reader_.rate_denominator * (2 * pictures - 1) + step - 1) / step;
  }
  // A regular file can be read again for a second pass; a pipe cannot.
  bool seekable() const {
    std::error_code code;
    return path_ != "-" && std::filesystem::is_regular_file(path_, code);
  }

 private:
  // The video's picture at the moment of stored frame `frame`: round(frame * duration / 200 *
  // video rate).
  std::int64_t SourceIndex(std::int64_t frame) const {
    const std::int64_t num = reader_.rate_numerator, den = reader_.rate_denominator;
    return (2 * frame * duration_ * num + 200 * den) / (400 * den);
  }

  std::string path_;
  Y4mReader reader_;
  Geometry geometry_;
  bool fit_ = false;
  bool retime_ = false;
  std::uint16_t duration_ = 0;
  std::int64_t read_ = 0;     // pictures read from the video
  std::int64_t emitted_ = 0;  // pictures handed out
  bool fitted_current_ = false;
  RgbPicture input_, fitted_;
};

void Note(const EncodeOptions& o, const std::string& file, const std::string& text) {
  if (!o.verbosity.quiet) PrintError(kCommand, file, text);
}

// Reads, checks and resamples the sound to a rate the movie can store.
bool LoadSound(const EncodeOptions& o, std::uint16_t frame_duration, PcmSound* sound) {
  PcmSound input;
  std::string error;
  error = InputPathProblem(o.audio_path);
  std::FILE* file = error.empty() ? OpenInput(o.audio_path, &error) : nullptr;
  const bool read = file && ReadWavStream(file, o.audio_path, &input, &error);
  if (file) std::fclose(file);
  if (!read) {
    PrintErrorUnlessStopped(kCommand, o.audio_path, error);
    return false;
  }
  // A stop ends the read of a pipe where it stands: that is no file cut short.
  if (input.missing_bytes != 0 && StopSignals_Received() == 0) {
    char note[160];
    std::snprintf(note, sizeof note,
                  "the file ends %llu bytes short of its data chunk's size: cut short, its "
                  "%.2f s of sound are taken as they are",
                  static_cast<unsigned long long>(input.missing_bytes),
                  static_cast<double>(input.Frames()) / input.sample_rate);
    Note(o, o.audio_path, note);
  }
  const std::uint32_t rate =
      RepresentableSampleRate(input.sample_rate, frame_duration, input.channels == 2);
  if (rate == 0) {
    PrintError(kCommand, o.audio_path,
               "sample rate " + std::to_string(input.sample_rate) +
                   " Hz cannot be stored at this frame rate");
    return false;
  }
  if (rate != input.sample_rate)
    Note(o, o.audio_path,
         "resampling " + std::to_string(input.sample_rate) + " Hz to " + std::to_string(rate) +
             " Hz (whole codes per frame period)");
  if (rate == input.sample_rate) {
    *sound = std::move(input);
    return true;
  }
  try {
    // A stop ends a long sound's conversion (seconds for an hour) where it stands.
    if (!ResampleSound(input, rate, sound, StopRequested)) return false;
  } catch (const std::bad_alloc&) {
    *sound = {};
    PrintError(kCommand, o.audio_path, kSoundMemoryProblem);
    return false;
  }
  return true;
}

// The video bits per frame that the target asks for, or a negative value when it cannot be met.
// With the frame count known, what the movie holds once besides its frames (the header, and in
// frame 0 the sound's stream header and the periods it carries ahead) is spread over them.
double TargetBitsPerFrame(const EncodeOptions& o, const Geometry& g, double fps,
                          const SoundTrack* sound, std::int64_t frames) {
  if (o.bpp > 0) return o.bpp * g.width * g.height;
  double once_bytes = kMovieHeaderSize;
  if (sound) once_bytes += kAdqHeaderBytes + double{kSoundLeadFrames} * sound->period_bytes;
  const double sound_bits = sound ? 8.0 * sound->period_bytes : 0.0;
  const double once_bits = frames > 0 ? 8 * once_bytes / static_cast<double>(frames) : 0.0;
  return o.bitrate * 1000.0 / fps - sound_bits - once_bits - 8 * kFrameOverheadBytes;
}

// Sets up an encoder of the movie's pictures apart from the movie's own, saying why it could not.
bool InitEncoder(const EncodeOptions& o, const Geometry& g, const VideoEncoderSettings& settings,
                 VideoEncoder* encoder) {
  const EncoderSetup setup = VideoEncoder_Init(*encoder, g.width, g.height, settings);
  if (setup == EncoderSetup::kReady) return true;
  PrintError(kCommand, o.output_path, EncoderSetupProblem(setup, g.width, g.height));
  return false;
}

// Encodes the first picture as a key frame at a few qualities to start the rate control.
bool StartRateControl(const EncodeOptions& o, const Geometry& g, const RgbPicture& first,
                      double bits_per_frame, RateControl* control) {
  int qualities[std::size(kProbeQualities)];
  double sizes[std::size(kProbeQualities)];
  for (std::size_t i = 0; i < std::size(kProbeQualities); ++i) {
    VideoEncoderSettings settings;
    settings.quality = kProbeQualities[i];
    settings.effort = o.effort;
    settings.stop_requested = StopRequested;
    VideoEncoder probe;
    std::vector<std::uint8_t> payload;
    if (!InitEncoder(o, g, settings, &probe)) return false;
    if (!VideoEncoder_EncodeFrame(probe, first, true, &payload, nullptr)) {
      PrintErrorUnlessStopped(kCommand, o.output_path, "the encoder refused the first picture");
      return false;
    }
    qualities[i] = kProbeQualities[i];
    sizes[i] = 8.0 * static_cast<double>(payload.size());
  }
  RateControl_Begin(*control, bits_per_frame, qualities, sizes,
                    static_cast<int>(std::size(kProbeQualities)));
  return true;
}

// The first of two passes: the pictures alone, to learn what each frame costs.
bool RunFirstPass(const EncodeOptions& o, const Geometry& g, PictureSource& source,
                  RateControl* control, std::int64_t expected_frames, int max_frames) {
  VideoEncoderSettings settings;
  settings.key_interval = o.key_interval;
  settings.effort = o.effort;
  settings.stop_requested = StopRequested;
  VideoEncoder encoder;
  if (!InitEncoder(o, g, settings, &encoder)) return false;
  Progress progress(std::string(kCommand) + " (first pass)", !o.verbosity.quiet);
  std::vector<std::uint8_t> payload;
  std::string error;
  const RgbPicture* picture = nullptr;
  std::int64_t frames = 0;
  while (frames < max_frames) {
    if (StopSignals_Received() != 0) return false;
    const int got = source.Next(&picture, &error);
    if (got < 0) {
      PrintErrorUnlessStopped(kCommand, o.video_path, error);
      return false;
    }
    if (got == 0) break;
    encoder.settings.quality = RateControl_NextQuality(*control);
    if (!VideoEncoder_EncodeFrame(encoder, *picture, false, &payload, nullptr)) {
      PrintErrorUnlessStopped(kCommand, o.output_path,
                              "frame " + std::to_string(frames) +
                                  ": the decoder does not reproduce the encoder's picture");
      return false;
    }
    RateControl_Record(*control, encoder.settings.quality,
                       8.0 * static_cast<double>(payload.size()));
    progress.Update(++frames, expected_frames);
  }
  RateControl_BeginSecondPass(*control);
  if (o.verbosity.verbose)
    PrintError(kCommand, o.video_path,
               "second pass at quality " + std::to_string(control->quality).substr(0, 5));
  return source.Rewind(&error) || (PrintErrorUnlessStopped(kCommand, o.video_path, error), false);
}

// Everything one encode works with, from the opened video to the finished movie.
struct EncodeJob {
  explicit EncodeJob(const EncodeOptions& options) : o(options) {}
  ~EncodeJob() { MovieWriter_Abandon(encoder.writer); }  // nothing once finished
  const EncodeOptions& o;
  PictureSource source;
  Geometry geometry;
  MovieEncodeSettings settings;
  double fps = 0;
  std::optional<PcmSound> sound;
  PendingFile output;
  MovieEncoder encoder;
  std::optional<RateControl> rate;
  // Where --stats goes: standard error when the movie itself goes where standard output does
  // (-o /dev/stdout > clip.kqm), since the movie put in its place leaves standard output on the
  // file it replaced, where the table was lost.
  std::FILE* stats_out = stdout;
  std::int64_t expected_frames = 0;  // 0 = not known
  // Through a pipe with a target size: the frames the sound's length suggests (0 otherwise).
  std::int64_t guessed_frames = 0;
  bool frame_limit_said = false;  // the note on a video longer than a movie holds
  // The frames a movie holds: fewer than kMaxFrameCount when the sound's sample count runs out
  // first.
  int max_frames = kMaxFrameCount;
  const RgbPicture* picture = nullptr;  // the next picture to encode
  int got = 0;                          // what reading it gave: 1, 0 at the end, -1 on error
};

// Checks what the options alone can tell. kExitUsage, or 0.
int CheckOptions(const EncodeOptions& o) {
  if (o.output_path == "-") {
    PrintError(kCommand, "", "the movie must go to a file (-o -): its header is completed last");
    return kExitUsage;
  }
  if (o.audio_path == "-" && o.video_path == "-") {
    PrintError(kCommand, "",
               "--video and --audio cannot both read standard input: give one of them as a file");
    return kExitUsage;
  }
  // Nobody types a video or a sound: without a pipe, the command would wait for ever.
  if ((o.video_path == "-" || o.audio_path == "-") && StandardInputIsTerminal()) {
    PrintError(kCommand, "",
               std::string(o.video_path == "-" ? "--video" : "--audio") +
                   " - reads standard input, which is a terminal: pipe the data in");
    return kExitUsage;
  }
  if (o.one_pass && o.bitrate <= 0 && o.bpp <= 0) {
    PrintError(kCommand, "",
               "--one-pass goes with --bitrate or --bpp (a --quality encode is one pass anyway)");
    return kExitUsage;
  }
  if (!CheckOutputsApart(kCommand, {{"--video", o.video_path}, {"--audio", o.audio_path}},
                         {{"-o", o.output_path}}))
    return kExitUsage;
  Geometry unused;
  std::string error;
  if (!o.size_text.empty() && !ChooseGeometry(o, 0, 0, &unused, &error)) {
    PrintError(kCommand, "", error);
    return kExitUsage;
  }
  return 0;
}

// Opens the video and the sound and settles the movie's size and frame rate.
bool OpenInputs(EncodeJob& job) {
  const EncodeOptions& o = job.o;
  std::string error = InputPathProblem(o.video_path);
  if (!error.empty() || !job.source.Open(o.video_path, &error)) {
    PrintErrorUnlessStopped(kCommand, o.video_path, error);
    return false;
  }
  const Y4mReader& reader = job.source.reader();
  if (!ChooseGeometry(o, reader.width, reader.height, &job.geometry, &error)) {
    PrintError(kCommand, o.video_path, error);
    return false;
  }
  if (!job.geometry.note.empty()) Note(o, o.video_path, job.geometry.note);
  if (reader.interlacing == 't' || reader.interlacing == 'b' || reader.interlacing == 'm')
    Note(o, o.video_path,
         std::string("interlaced pictures (I") + reader.interlacing +
             ") are encoded as they are, both fields in one picture: deinterlace them first "
             "for smooth motion");
  if (reader.aspect_numerator != reader.aspect_denominator)
    Note(o, o.video_path,
         "pixel aspect " + std::to_string(reader.aspect_numerator) + ":" +
             std::to_string(reader.aspect_denominator) +
             " is not kept: the movie's pixels are square (--size WxH scales to the shape you "
             "want)");
  job.source.Fit(job.geometry);
  if (!reader.rate_given && o.fps <= 0)
    Note(o, o.video_path,
         "the stream header gives no frame rate: " + std::to_string(reader.rate_numerator) +
             " frames per second assumed (--fps sets another)");
  const double wanted =
      o.fps > 0 ? o.fps : static_cast<double>(reader.rate_numerator) / reader.rate_denominator;
  job.settings.frame_duration = FrameDurationForRate(wanted);
  job.settings.video.quality = o.quality;
  job.settings.video.key_interval = o.key_interval;
  job.settings.video.effort = o.effort;
  job.settings.video.stop_requested = StopRequested;
  if (!job.geometry.scale) {  // padded: the PSNR measures the source alone
    job.settings.video.source_width = reader.width;
    job.settings.video.source_height = reader.height;
  }
  job.fps = 200.0 / job.settings.frame_duration;
  if (std::fabs(job.fps - wanted) > wanted * 1e-3) {
    char note[192];
    std::snprintf(note, sizeof note, "%.3f frames per second stored as 200/%u = %.3f%s", wanted,
                  job.settings.frame_duration, job.fps,
                  o.fps > 0 ? ""
                            : ", each frame showing the picture of its moment so that the movie "
                              "keeps the clip's length and its sound in step");
    Note(o, o.video_path, note);
    if (o.fps <= 0) job.source.Retime(job.settings.frame_duration);
  }
  if (!o.audio_path.empty()) {
    job.sound.emplace();
    if (!LoadSound(o, job.settings.frame_duration, &*job.sound)) return false;
    MovieLayout layout;
    layout.frame_duration = job.settings.frame_duration;
    layout.sound = true;
    layout.sample_rate = job.sound->sample_rate;
    layout.stereo = job.sound->channels == 2;
    job.max_frames = MovieLayout_MaxFrames(layout);
  }
  const std::int64_t counted = job.source.CountFromSize();
  job.expected_frames = std::min<std::int64_t>(counted, job.max_frames);
  if (counted > job.max_frames && job.max_frames < kMaxFrameCount) {
    char note[224];
    std::snprintf(note, sizeof note,
                  "%lld frames, more than the %d whose %u Hz sound a movie's 32-bit sample count "
                  "holds at this frame rate: it would end %.2f s into the clip's %.2f s; a lower "
                  "sample rate keeps more",
                  static_cast<long long>(counted), job.max_frames, job.sound->sample_rate,
                  job.max_frames / job.fps, static_cast<double>(counted) / job.fps);
    Note(o, o.video_path, note);
    job.frame_limit_said = true;
  } else if (counted > kMaxFrameCount) {
    // Said before the work, which for a film takes hours, rather than once the movie is full;
    // with the highest rate of the video (stored in 1/200 s steps) that keeps the whole clip.
    const double seconds = static_cast<double>(counted) / job.fps;
    char note[160];
    std::snprintf(
        note, sizeof note,
        "%lld frames, more than the %d a movie holds: it would end %.2f s into the clip's %.2f s",
        static_cast<long long>(counted), kMaxFrameCount, kMaxFrameCount / job.fps, seconds);
    std::string said = note;
    const double duration = std::ceil(200.0 * seconds / kMaxFrameCount);
    if (o.fps <= 0 && duration <= 65535)
      said += "; a video of " + FramesPerSecond(200.0 / duration) +
              " or fewer (ffmpeg's -r) keeps all of it";
    Note(o, o.video_path, said);
    job.frame_limit_said = true;
  }
  return true;
}

bool OpenOutput(EncodeJob& job) {
  std::string error;
  if (!job.output.Create(job.o.output_path, &error)) {
    PrintError(kCommand, job.o.output_path, error);
    return false;
  }
  if (!OpenEncoderOn(job.encoder, job.output, job.geometry.width, job.geometry.height, job.settings,
                     job.sound ? &*job.sound : nullptr)) {
    PrintError(kCommand, job.o.output_path, job.encoder.error);
    return false;
  }
  return true;
}

// Reads the first picture and, for a target size, starts the rate control on it and runs the
// first pass where the video can be read twice. kExitUsage, kExitFailure or 0.
int StartPictures(EncodeJob& job) {
  const EncodeOptions& o = job.o;
  std::string error;
  job.got = job.source.Next(&job.picture, &error);
  if (job.got <= 0) {
    PrintErrorUnlessStopped(kCommand, o.video_path,
                            job.got < 0 ? error : "no pictures in the stream");
    return kExitFailure;
  }
  if (o.bitrate <= 0 && o.bpp <= 0) return 0;
  const Geometry& g = job.geometry;
  // The frames to come: from the video file's size, or through a pipe from the sound's length.
  std::int64_t frames = job.expected_frames;
  const SoundTrack* track = job.encoder.has_sound ? &job.encoder.track : nullptr;
  if (frames == 0 && track)
    frames = job.guessed_frames = static_cast<std::int64_t>(
        (track->sound.Frames() + track->samples_per_period - 1) / track->samples_per_period);
  const double bits = TargetBitsPerFrame(o, g, job.fps, track, frames);
  // A guess is no reason to refuse: the video may go on past a shorter sound, into silence that
  // the movie stores all the same, and what the movie holds once is spread over its frames.
  const double share = job.guessed_frames ? TargetBitsPerFrame(o, g, job.fps, track, 0) : bits;
  if (share < g.width * g.height / 64.0) {
    char target[64];
    std::snprintf(target, sizeof target, o.bpp > 0 ? "--bpp %g" : "--bitrate %g",
                  o.bpp > 0 ? o.bpp : o.bitrate);
    PrintError(kCommand, "",
               std::string(target) + " leaves the pictures less than one bit per block" +
                   (o.bpp > 0 || !track ? "" : " beside the sound"));
    return kExitUsage;
  }
  job.rate.emplace();
  if (!StartRateControl(o, g, *job.picture, bits, &*job.rate)) return kExitFailure;
  if (o.one_pass || !job.source.seekable()) return 0;
  if (!job.source.Rewind(&error) ||
      !RunFirstPass(o, g, job.source, &*job.rate, job.expected_frames, job.max_frames))
    return kExitFailure;
  job.expected_frames = static_cast<std::int64_t>(job.rate->pass_bits.size());
  job.got = job.source.Next(&job.picture, &error);
  if (job.got <= 0) {
    PrintErrorUnlessStopped(kCommand, o.video_path, "the video changed between the two passes");
    return kExitFailure;
  }
  return 0;
}

// Encodes the pictures into the movie and finishes it.
bool EncodePictures(EncodeJob& job) {
  const EncodeOptions& o = job.o;
  MovieEncoder& encoder = job.encoder;
  Progress progress(kCommand, !o.verbosity.quiet);
  std::string error;
  for (; job.got > 0; job.got = job.source.Next(&job.picture, &error)) {
    if (StopSignals_Received() != 0) return false;
    if (encoder.writer.frames_written >= job.max_frames) {
      if (!job.frame_limit_said)
        Note(o, o.video_path,
             job.max_frames < kMaxFrameCount
                 ? "a movie with this sound holds at most " + std::to_string(job.max_frames) +
                       " frames (its 32-bit sample count); the rest of the video is left out"
                 : "the format holds at most " + std::to_string(kMaxFrameCount) +
                       " frames; the rest of the video is left out");
      break;
    }
    if (job.rate && job.guessed_frames) {
      // Past the guessed frames, what the movie holds once is spread over those so far.
      const std::int64_t so_far = static_cast<std::int64_t>(encoder.frames.size()) + 1;
      job.rate->target = std::max(1.0, TargetBitsPerFrame(o, job.geometry, job.fps, &encoder.track,
                                                          std::max(job.guessed_frames, so_far)));
    }
    if (job.rate) encoder.video.settings.quality = RateControl_NextQuality(*job.rate);
    if (!MovieEncoder_AddPicture(encoder, *job.picture)) {
      PrintErrorUnlessStopped(kCommand, o.output_path, encoder.error);
      return false;
    }
    const EncodedFrame& last = encoder.frames.back();
    if (job.rate)
      RateControl_Record(*job.rate, last.quality, 8.0 * static_cast<double>(last.bytes));
    char extra[96];
    std::snprintf(extra, sizeof extra, "%lld KB, PSNR %.2f dB",
                  static_cast<long long>(encoder.writer.position / 1024), last.psnr);
    progress.Update(static_cast<std::int64_t>(encoder.frames.size()), job.expected_frames, extra);
  }
  progress.Finish();
  // A stop that came while a pipe was being read (its writer ended by the same Ctrl-C).
  if (StopSignals_Received() != 0) return false;
  if (job.got < 0) {
    PrintError(kCommand, o.video_path, error);
    return false;
  }
  if (!MovieEncoder_Finish(encoder) || !job.output.Commit(&encoder.error)) {
    PrintError(kCommand, o.output_path, encoder.error);
    return false;
  }
  return true;
}

// A target size that no quality reaches (the pictures are larger than it even at quality 1, or
// smaller at quality 100) is said, with what the movie came to, rather than passed over.
void NoteTargetOutOfReach(const EncodeJob& job, const MovieEncodeSummary& s) {
  const EncodeOptions& o = job.o;
  if (!job.rate || s.frames == 0) return;
  std::int64_t lowest = 0, highest = 0;
  for (const EncodedFrame& f : job.encoder.frames) {
    lowest += f.quality == 1;
    highest += f.quality == 100;
  }
  const double seconds = static_cast<double>(s.frames) / job.fps;
  const double kbit = 8.0 * static_cast<double>(job.encoder.writer.position) / seconds / 1000;
  const double target = o.bpp > 0 ? o.bpp : o.bitrate;
  const double got = o.bpp > 0 ? s.bits_per_pixel : kbit;
  const char* bound = nullptr;
  // Nearly every frame at the bound (the first, encoded before the controller has learnt, may
  // not be), or a second pass planned at it: there the frames after a key frame that cost more
  // than its share are held a step or more below it, a fifth of a movie of five frames.
  const bool planned = job.rate->second_pass;
  if (got > target * 1.05 && (lowest * 10 >= s.frames * 9 || (planned && job.rate->quality <= 1)))
    bound = "lowest quality (1)";
  if (got < target * 0.95 &&
      (highest * 10 >= s.frames * 9 || (planned && job.rate->quality >= 100)))
    bound = "highest quality (100)";
  if (!bound) return;
  char text[160];
  if (o.bpp > 0)
    std::snprintf(text, sizeof text, "--bpp %g: the pictures come to %.3f bits per pixel at the %s",
                  o.bpp, got, bound);
  else
    std::snprintf(text, sizeof text, "--bitrate %g: the movie comes to %.1f kbit/s at the %s",
                  o.bitrate, got, bound);
  Note(o, o.output_path, text);
}

// The movie ends with its pictures: sound that goes on past them is not stored, which is said
// rather than passed over (a frame period's difference is only rounding).
void NoteSoundPastPictures(const EncodeJob& job, std::int64_t frames) {
  const PcmSound& sound = job.encoder.track.sound;
  if (!job.encoder.has_sound || sound.sample_rate == 0) return;
  const double sound_seconds = static_cast<double>(sound.Frames()) / sound.sample_rate;
  const double picture_seconds = static_cast<double>(frames) / job.fps;
  if (sound_seconds - picture_seconds <= 1.0 / job.fps) return;
  char text[160];
  std::snprintf(text, sizeof text,
                "the sound (%.2f s) is longer than the pictures (%.2f s): the movie ends with "
                "the pictures",
                sound_seconds, picture_seconds);
  Note(job.o, job.o.audio_path, text);
}

void PrintSummary(const EncodeJob& job) {
  if (job.o.stats) PrintEncodeStats(job.encoder, job.stats_out);
  if (job.o.verbosity.quiet) return;
  const MovieEncodeSummary s = SummariseFrames(job.encoder);
  NoteTargetOutOfReach(job, s);
  NoteSoundPastPictures(job, s.frames);
  PrintError(kCommand, job.o.output_path, EncodeSummaryLine(job.encoder, job.fps));
}

int RunEncode(const EncodeOptions& o) {
  if (const int status = CheckOptions(o)) return status;
  // Ctrl-C or kill stops the encode, which then removes what it wrote.
  StopSignals_Install();
  EncodeJob job(o);
  if (NamesStandardOutput(o.output_path)) job.stats_out = stderr;
  if (!OpenInputs(job) || !OpenOutput(job))
    return StatusAfterStop(kCommand, o.output_path, kExitFailure);
  if (const int status = StartPictures(job))
    return StatusAfterStop(kCommand, o.output_path, status);
  if (!EncodePictures(job)) return StatusAfterStop(kCommand, o.output_path, kExitFailure);
  PrintSummary(job);
  return 0;
}

}  // namespace

int Cmd_Encode(int argc, char** argv) {
  CLI::App app{
      "Encode a KQM6 movie from a YUV4MPEG2 video (8-bit 4:2:0, 4:2:2, 4:4:4 or grey; '-'\n"
      "reads standard input) and an optional WAV sound (8, 16, 24 or 32-bit integer or 32-bit\n"
      "float PCM, mono or stereo). Pictures wider than 1024 pixels are fitted into the\n"
      "format, their aspect kept. Any clip converts through ffmpeg, e.g.:\n"
      "  ffmpeg -i clip.mp4 -vn -ac 2 clip.wav\n"
      "  ffmpeg -i clip.mp4 -pix_fmt yuv420p -f yuv4mpegpipe - | kqm encode --video - --audio "
      "clip.wav -o clip.kqm",
      kCommand};
  EncodeOptions options;
  AddEncodeOptions(app, &options);
  int status = 0;
  if (!ParseCommandLine(app, argc, argv, &status)) return status;
  return RunEncode(options);
}

}  // namespace tarvel::tools
