#include "encoder/demo_content.h"

#include <algorithm>
#include <cmath>

namespace tarvel {

namespace {

// 5 x 7 glyphs of the name, one string per row, '#' set.
struct Glyph {
  const char* rows[7];
};
constexpr Glyph kName[6] = {
    {{"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},  // T
    {{".....", ".....", ".###.", "....#", ".####", "#...#", ".####"}},  // a
    {{".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."}},  // r
    {{".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},  // v
    {{".....", ".....", ".###.", "#...#", "#####", "#....", ".###."}},  // e
    {{".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},  // l
};

std::uint8_t ToByte(double v) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

void Put(RgbPicture* out, int x, int y, double r, double g, double b) {
  if (x < 0 || y < 0 || x >= out->width || y >= out->height) return;
  std::uint8_t* p = out->Pixel(x, y);
  p[0] = ToByte(r);
  p[1] = ToByte(g);
  p[2] = ToByte(b);
}

}  // namespace

void RenderDemoPicture(int width, int height, int frame, double frames_per_second,
                       RgbPicture* out) {
  out->Resize(width, height);
  const double t = frame / (frames_per_second > 0 ? frames_per_second : 25.0);
  const double w = width, h = height;
  // Backdrop: a still diagonal gradient from deep blue to violet.
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double u = (x / w + y / h) / 2;
      Put(out, x, y, 20 + 90 * u, 30 + 40 * (1 - u), 90 + 100 * (1 - u));
    }
  // A band along the bottom whose stripes scroll to the left.
  const int band_top = height - std::max(8, height / 8);
  for (int y = band_top; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double phase = (x + 4.0 * frame) / 16.0;
      const bool stripe = static_cast<long>(std::floor(phase)) % 2 == 0;
      Put(out, x, y, stripe ? 240 : 40, stripe ? 200 : 40, stripe ? 40 : 60);
    }
  // A shaded ball bouncing between the walls.
  const double radius = std::max(4.0, h / 10);
  const double span_x = w - 2 * radius, span_y = band_top - 2 * radius;
  const double px = std::fabs(std::fmod(t * 0.37 * w, 2 * span_x) - span_x);
  const double py = std::fabs(std::fmod(t * 0.29 * h + span_y / 2, 2 * span_y) - span_y);
  const double cx = radius + px, cy = radius + py;
  for (int y = static_cast<int>(cy - radius); y <= static_cast<int>(cy + radius); ++y)
    for (int x = static_cast<int>(cx - radius); x <= static_cast<int>(cx + radius); ++x) {
      const double dx = (x - cx) / radius, dy = (y - cy) / radius;
      const double d2 = dx * dx + dy * dy;
      if (d2 > 1 || y >= band_top) continue;
      const double light =
          0.35 + 0.65 * std::max(0.0, 1 - ((dx + 0.4) * (dx + 0.4) + (dy + 0.4) * (dy + 0.4)));
      Put(out, x, y, 250 * light, 90 * light, 60 * light);
    }
  // A square turning in the top-right corner.
  const double side = std::max(6.0, h / 6);
  const double sx = w - side * 1.2, sy = side * 1.2;
  const double angle = t * 1.3;
  const double ca = std::cos(angle), sa = std::sin(angle);
  for (int y = static_cast<int>(sy - side); y <= static_cast<int>(sy + side); ++y)
    for (int x = static_cast<int>(sx - side); x <= static_cast<int>(sx + side); ++x) {
      const double rx = (x - sx) * ca + (y - sy) * sa, ry = -(x - sx) * sa + (y - sy) * ca;
      if (std::fabs(rx) <= side / 2 && std::fabs(ry) <= side / 2)
        Put(out, x, y, 60 + 120 * (rx / side + 0.5), 220, 120 + 100 * (ry / side + 0.5));
    }
  // The name, slid in from the left during the first second, then still.
  const int scale = std::max(1, height / 40);
  const int text_w = 6 * 6 * scale, text_h = 7 * scale;
  const double slide = std::min(1.0, t);
  const int tx = static_cast<int>((w - text_w) / 2 - (1 - slide) * (w / 2 + text_w));
  const int ty = static_cast<int>(h * 0.42) - text_h / 2;
  for (int g = 0; g < 6; ++g)
    for (int row = 0; row < 7; ++row)
      for (int col = 0; col < 5; ++col) {
        if (kName[g].rows[row][col] != '#') continue;
        for (int yy = 0; yy < scale; ++yy)
          for (int xx = 0; xx < scale; ++xx) {
            const int x = tx + (g * 6 + col) * scale + xx, y = ty + row * scale + yy;
            Put(out, x + scale / 2 + 1, y + scale / 2 + 1, 10, 10, 30);  // shadow
            Put(out, x, y, 255, 250, 235);
          }
      }
}

bool RenderDemoTune(std::uint32_t sample_rate, double seconds, PcmSound* out,
                    bool (*stop_requested)()) {
  out->sample_rate = sample_rate;
  out->channels = 1;
  const std::size_t count = static_cast<std::size_t>(seconds * sample_rate);
  out->samples.assign(count, 0);
  // A pentatonic phrase of eighth notes at 120 beats a minute over a two-note bass.
  constexpr int kMelody[16] = {0, 2, 4, 7, 9, 7, 4, 2, 4, 7, 9, 12, 9, 7, 4, 0};
  constexpr int kBass[2] = {-12, -17};
  constexpr double kNote = 0.25;
  constexpr double kPi = 3.14159265358979323846;
  const double rate = sample_rate;
  for (std::size_t i = 0; i < count; ++i) {
    if (i % sample_rate == 0 && stop_requested && stop_requested()) return false;
    const double t = static_cast<double>(i) / rate;
    const auto note = static_cast<long>(t / kNote);
    const double in_note = t - static_cast<double>(note) * kNote;
    const double melody_hz = 440.0 * std::pow(2.0, kMelody[note % 16] / 12.0);
    const double envelope = std::exp(-in_note * 9.0) * std::min(1.0, in_note * 200.0);
    double v =
        envelope * (std::sin(2 * kPi * melody_hz * t) + 0.3 * std::sin(4 * kPi * melody_hz * t));
    const auto bar = static_cast<long>(t / (8 * kNote));
    const double bass_hz = 440.0 * std::pow(2.0, kBass[bar % 2] / 12.0);
    v += 0.5 * std::sin(2 * kPi * bass_hz * t);
    // Fade in and out over 20 ms so the sound starts and ends without a click.
    const double fade = std::min({1.0, t / 0.02, (seconds - t) / 0.02});
    out->samples[i] = static_cast<std::int16_t>(std::lround(7000.0 * v * std::max(0.0, fade)));
  }
  return true;
}

}  // namespace tarvel
