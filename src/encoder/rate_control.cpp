#include "encoder/rate_control.h"

#include <algorithm>
#include <cmath>

namespace tarvel {

namespace {

constexpr double kMinSlope = 0.004;
constexpr double kMaxSlope = 0.1;
// Frames over which an overspent or underspent budget is made good: long enough that a key frame
// does not swing the qualities of the frames after it, short enough to land near the target.
constexpr double kOnePassHorizon = 30;
constexpr double kSecondPassHorizon = 60;

// What a frame would cost at quality 0 under the exponential model; the clip's complexity is
// the mean of it over the frames.
double Complexity(double bits, double quality, double slope) {
  return std::max(bits, 1.0) * std::exp(-slope * quality);
}

}  // namespace

void RateControl_Begin(RateControl& control, double bits_per_frame, const int* qualities,
                       const double* sizes, int count) {
  control = RateControl{};
  control.target = std::max(bits_per_frame, 1.0);
  // Least squares of log(bits) against quality.
  double mean_q = 0, mean_log = 0;
  for (int i = 0; i < count; ++i) {
    mean_q += qualities[i];
    mean_log += std::log(std::max(sizes[i], 1.0));
  }
  if (count > 0) {
    mean_q /= count;
    mean_log /= count;
  }
  double covariance = 0, variance = 0;
  for (int i = 0; i < count; ++i) {
    const double dq = qualities[i] - mean_q;
    covariance += dq * (std::log(std::max(sizes[i], 1.0)) - mean_log);
    variance += dq * dq;
  }
  if (variance > 0) control.slope = std::clamp(covariance / variance, kMinSlope, kMaxSlope);
  if (count > 0) control.quality = mean_q + (std::log(control.target) - mean_log) / control.slope;
  control.quality = std::clamp(control.quality, 1.0, 100.0);
}

void RateControl_BeginSecondPass(RateControl& control) {
  double complexity = 0;
  for (std::size_t i = 0; i < control.pass_bits.size(); ++i)
    complexity += Complexity(control.pass_bits[i], control.pass_quality[i], control.slope);
  const double frames = static_cast<double>(control.pass_bits.size());
  if (frames > 0 && complexity > 0)
    control.quality =
        std::clamp(std::log(frames * control.target / complexity) / control.slope, 1.0, 100.0);
  control.spent = 0;
  control.frames = 0;
  control.carry = 0;
  control.second_pass = true;
}

int RateControl_NextQuality(RateControl& control) {
  double base = control.quality;
  if (!control.second_pass && control.frames > 0) {
    // The quality at which the frames so far would have cost the target on average.
    const double complexity = control.complexity / static_cast<double>(control.frames);
    base = std::log(control.target / complexity) / control.slope;
  }
  // The second pass knows the clip's length: what it has overspent or underspent is made good
  // over that many frames when the clip is shorter than the horizon, so that it lands near the
  // target too. Not over the frames left: the error is counted against an even share of the
  // target, and a clip whose last frames cost the most (a scene cut) underspends until them; a
  // span that shrank with the frames left would spend that reserve before them, and their key
  // frame would overrun the clip's aim.
  const double horizon =
      control.second_pass
          ? std::clamp(static_cast<double>(control.pass_bits.size()), 1.0, kSecondPassHorizon)
          : kOnePassHorizon;
  const double overspent = control.spent - static_cast<double>(control.frames) * control.target;
  const double correction =
      std::clamp(-overspent / (horizon * control.target), -1.0, 1.0) / control.slope;
  const double wanted = std::clamp(base + correction, 1.0, 100.0) + control.carry;
  const int quality = std::clamp(static_cast<int>(std::lround(wanted)), 1, 100);
  control.carry = std::clamp(wanted - quality, -0.5, 0.5);
  return quality;
}

void RateControl_Record(RateControl& control, int quality, double bits) {
  control.spent += bits;
  ++control.frames;
  if (!control.second_pass) {
    control.complexity += Complexity(bits, quality, control.slope);
    control.pass_bits.push_back(bits);
    control.pass_quality.push_back(quality);
  }
}

}  // namespace tarvel
