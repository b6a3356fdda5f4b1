// Rate control for the video encoder: each frame's quality chosen so that the pictures come out
// near a target number of bits per frame.
//
// The size of a frame's chunk grows about exponentially with its quality, by `slope` in log
// terms per step, measured on the first picture. One pass steers the quality from the bits spent
// so far. A second pass, when the pictures can be read again, knows each frame's bits at the
// quality the first pass gave it, takes the one quality for the whole clip that adds up to the
// target (a constant quality spends the bits where they buy the most), and steers only the
// remaining error.
#pragma once

#include <cstdint>
#include <vector>

namespace tarvel {

struct RateControl {
  double target = 0;     // bits per frame aimed at
  double slope = 0.016;  // d log(bits) / d quality
  double quality = 75;   // the quality expected to give `target` (not rounded)
  double spent = 0;      // bits of the frames so far
  std::int64_t frames = 0;
  double complexity = 0;  // sum over the frames so far of bits * exp(-slope * quality)
  double carry = 0;       // rounding of the qualities handed out, carried to the next frame
  // The first pass's record, used by the second.
  std::vector<double> pass_bits;
  std::vector<int> pass_quality;
  bool second_pass = false;
};

// Starts a pass aiming at `bits_per_frame`. `sizes` holds the bits of one picture encoded at
// `qualities` (at least two different ones, e.g. the first picture as a key frame): they set the
// slope and the starting quality.
void RateControl_Begin(RateControl& control, double bits_per_frame, const int* qualities,
                       const double* sizes, int count);

// Turns the recorded first pass into the plan of a second pass over the same pictures.
void RateControl_BeginSecondPass(RateControl& control);

// The quality for the next frame, 1 to 100.
int RateControl_NextQuality(RateControl& control);

// Records the bits the frame just encoded took at the quality it was given.
void RateControl_Record(RateControl& control, int quality, double bits);

}  // namespace tarvel
