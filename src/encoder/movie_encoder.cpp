#include "encoder/movie_encoder.h"

#include <algorithm>
#include <cstdio>

namespace tarvel {

bool SoundTrack_Init(SoundTrack& track, PcmSound sound, std::uint16_t frame_duration) {
  track = SoundTrack{};
  const bool stereo = sound.channels == 2;
  track.samples_per_period = SamplesPerPeriod(sound.sample_rate, frame_duration, stereo);
  if (track.samples_per_period == 0 || (sound.channels != 1 && sound.channels != 2)) return false;
  track.period_bytes = stereo ? track.samples_per_period : track.samples_per_period / 2;
  track.sound = std::move(sound);
  const std::int32_t left = track.sound.samples.empty() ? 0 : track.sound.samples[0];
  const std::int32_t right = stereo && track.sound.samples.size() > 1 ? track.sound.samples[1] : 0;
  AdpcmEncoder_Init(track.adpcm, stereo, left, right);
  return true;
}

void SoundTrack_Encode(SoundTrack& track, int count, std::vector<std::uint8_t>* out) {
  const std::size_t channels = static_cast<std::size_t>(track.sound.channels);
  const std::size_t frames = static_cast<std::size_t>(count) * track.samples_per_period;
  const std::size_t first = static_cast<std::size_t>(track.next_period) * track.samples_per_period;
  track.scratch.assign(frames * channels, 0);
  const std::size_t available = track.sound.Frames();
  if (first < available) {
    const std::size_t take = std::min(frames, available - first);
    std::copy_n(track.sound.samples.begin() + static_cast<std::ptrdiff_t>(first * channels),
                take * channels, track.scratch.begin());
  }
  const std::size_t start = out->size();
  out->resize(start + static_cast<std::size_t>(count) * track.period_bytes);
  AdpcmEncoder_Encode(track.adpcm, track.scratch.data(), frames, out->data() + start);
  track.next_period += count;
}

namespace {

// Everything MovieEncoder_Open does but open the output, whose layout it gives.
bool PrepareEncoder(MovieEncoder& encoder, int width, int height,
                    const MovieEncodeSettings& settings, PcmSound* sound, MovieLayout* layout) {
  encoder = MovieEncoder{};
  layout->width = width;
  layout->height = height;
  layout->frame_duration = settings.frame_duration;
  if (sound) {
    if (!SoundTrack_Init(encoder.track, std::move(*sound), settings.frame_duration)) {
      encoder.error =
          "sample rate " + std::to_string(sound->sample_rate) + " Hz does not fit the frame rate";
      return false;
    }
    encoder.has_sound = true;
    layout->sound = true;
    layout->sample_rate = encoder.track.sound.sample_rate;
    layout->stereo = encoder.track.sound.channels == 2;
    layout->period_bytes = encoder.track.period_bytes;
    layout->left_predictor = encoder.track.adpcm.channel[0].predictor;
    layout->right_predictor = encoder.track.adpcm.channel[1].predictor;
  }
  const EncoderSetup setup = VideoEncoder_Init(encoder.video, width, height, settings.video);
  if (setup != EncoderSetup::kReady) {
    encoder.error = EncoderSetupProblem(setup, width, height);
    return false;
  }
  return true;
}

bool Opened(MovieEncoder& encoder, bool opened) {
  if (!opened) encoder.error = encoder.writer.error;
  return opened;
}

}  // namespace

bool MovieEncoder_Open(MovieEncoder& encoder, const std::string& path,
                       std::vector<std::uint8_t>* memory, int width, int height,
                       const MovieEncodeSettings& settings, PcmSound* sound) {
  MovieLayout layout;
  if (!PrepareEncoder(encoder, width, height, settings, sound, &layout)) return false;
  return Opened(encoder, memory ? MovieWriter_OpenMemory(encoder.writer, memory, layout)
                                : MovieWriter_Open(encoder.writer, path, layout));
}

bool MovieEncoder_Open(MovieEncoder& encoder, std::FILE* file, int width, int height,
                       const MovieEncodeSettings& settings, PcmSound* sound) {
  MovieLayout layout;
  if (!PrepareEncoder(encoder, width, height, settings, sound, &layout)) {
    if (file) std::fclose(file);
    return false;
  }
  return Opened(encoder, MovieWriter_OpenFile(encoder.writer, file, layout));
}

bool MovieEncoder_AddPicture(MovieEncoder& encoder, const RgbPicture& picture) {
  VideoFrameStats stats;
  if (!VideoEncoder_EncodeFrame(encoder.video, picture, false, &encoder.payload, &stats)) {
    encoder.error =
        "frame " + std::to_string(encoder.frames.size()) +
        (encoder.video.stopped ? ": stopped before it was encoded"
                               : ": the decoder does not reproduce the encoder's picture");
    return false;
  }
  encoder.frames.push_back({stats.key, stats.quality, stats.bytes, stats.psnr});
  encoder.audio.clear();
  if (encoder.has_sound)
    SoundTrack_Encode(encoder.track, encoder.writer.frames_written == 0 ? kLeadPeriods : 1,
                      &encoder.audio);
  if (!MovieWriter_WriteFrame(encoder.writer, encoder.payload.data(), encoder.payload.size(),
                              encoder.audio.data(), encoder.audio.size())) {
    encoder.error = encoder.writer.error;
    return false;
  }
  return true;
}

bool MovieEncoder_Finish(MovieEncoder& encoder) {
  if (!MovieWriter_Finish(encoder.writer)) {
    encoder.error = encoder.writer.error;
    return false;
  }
  return true;
}

MovieEncodeSummary SummariseFrames(const MovieEncoder& encoder) {
  MovieEncodeSummary summary;
  double psnr = 0;
  for (const EncodedFrame& f : encoder.frames) {
    ++summary.frames;
    if (f.key) ++summary.key_frames;
    summary.video_bytes += static_cast<std::int64_t>(f.bytes);
    psnr += f.psnr;
  }
  if (summary.frames) {
    summary.mean_psnr = psnr / static_cast<double>(summary.frames);
    summary.bits_per_pixel =
        8.0 * static_cast<double>(summary.video_bytes) /
        (static_cast<double>(summary.frames) * encoder.video.width * encoder.video.height);
  }
  return summary;
}

std::string EncodeSummaryLine(const MovieEncoder& encoder, double fps) {
  const MovieEncodeSummary s = SummariseFrames(encoder);
  char line[256];
  std::snprintf(line, sizeof line,
                "%lld %s %dx%d at %.3f fps, %lld bytes, %.3f bits/pixel, PSNR %.2f dB",
                static_cast<long long>(s.frames), s.frames == 1 ? "frame" : "frames",
                encoder.video.width, encoder.video.height, fps,
                static_cast<long long>(encoder.writer.position), s.bits_per_pixel, s.mean_psnr);
  return line;
}

void PrintEncodeStats(const MovieEncoder& encoder, std::FILE* out) {
  std::fprintf(out, "frame  kind   quality   bytes    psnr\n");
  for (std::size_t i = 0; i < encoder.frames.size(); ++i) {
    const EncodedFrame& f = encoder.frames[i];
    std::fprintf(out, "%5zu  %-5s  %7d %7zu  %6.2f\n", i, f.key ? "key" : "delta", f.quality,
                 f.bytes, f.psnr);
  }
  const MovieEncodeSummary s = SummariseFrames(encoder);
  std::fprintf(
      out, "total  %lld %s (%lld key), %lld bytes of video, %.3f bits/pixel, mean PSNR %.2f dB\n",
      static_cast<long long>(s.frames), s.frames == 1 ? "frame" : "frames",
      static_cast<long long>(s.key_frames), static_cast<long long>(s.video_bytes), s.bits_per_pixel,
      s.mean_psnr);
}

}  // namespace tarvel
