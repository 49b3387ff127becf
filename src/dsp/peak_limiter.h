// True-peak safety limiter for the end of the effect chain: keeps the
// signal's true peak (estimated at 4× oversampling) at or below a ceiling,
// and leaves it alone wherever it stays below.
//
// How: a look-ahead limiter. Each sample's true peak comes from a polyphase
// interpolator (the sample itself and three points between it and the next,
// 16-tap Kaiser-windowed sinc phases). The gain each peak needs is held as a
// running minimum over the attack, hold and interpolator span, recovers with
// a one-pole release, and is smoothed by a moving average as long as the
// attack. The audio is delayed to match, so the gain has reached what a peak
// needs by the time the peak and its neighbours leave, and never moves in a
// step.
//
// Timing stays exact: the first latencyFrames() frames after a reset are
// held back rather than output as silence, and drain() returns them at the
// end, so a stream keeps its length and alignment to the frame. Samples
// whose surroundings stay below the ceiling come out bit-identical (the gain
// is exactly 1 there, also after a release has ended).
//
// Threads: process, drain and reset belong to one processing thread (the
// chain's consumer). setCeilingDb and reducing() may be used from any thread
// (single atomics). Real-time contract: the constructor is the only call
// that allocates; process, drain and reset never allocate, lock, log or
// touch files.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

class PeakLimiter {
 public:
  static constexpr double kAttackSeconds = 0.002;
  static constexpr double kHoldSeconds = 0.010;
  static constexpr double kReleaseSeconds = 0.100;
  // Points between samples at which the true peak is estimated, and the
  // interpolator's half length in input samples.
  static constexpr int kOversampling = 4;
  static constexpr int kHalfTaps = 16;
  // The gain aims this far below the ceiling, so that the rounding of the
  // output to float and the interpolator's own error cannot end above it.
  static constexpr double kMarginDb = 0.05;

  // channels 1 … 8, sampleRate 1000 … 384000 (clamped); ceiling in dBTP.
  PeakLimiter(int channels, int sampleRate, double ceilingDb = -1.0);
  ~PeakLimiter();
  PeakLimiter(const PeakLimiter&) = delete;
  PeakLimiter& operator=(const PeakLimiter&) = delete;

  int channels() const { return channels_; }
  int sampleRate() const { return rate_; }
  // Frames held back between a sample's arrival and its output.
  int latencyFrames() const { return delay_; }

  // The ceiling in dBTP, clamped to −20 … 0; non-finite values are ignored.
  // Any thread; taken up at the next process() or drain().
  void setCeilingDb(double dB);
  double ceilingDb() const { return ceilingDb_.load(std::memory_order_relaxed); }

  // Limits `frames` interleaved frames in place and returns how many frames
  // it wrote to the start of the buffer: as many as it was given, fewer only
  // while the first latencyFrames() after a reset are being held back.
  // engaged = false: the frames are taken as needing no reduction (only
  // delayed); a reduction already under way for earlier frames still
  // finishes smoothly. Real-time safe.
  int process(float* buffer, int frames, bool engaged = true);

  // The end of the stream: writes up to maxFrames of the frames still held
  // back to out and returns how many. Once all are out the limiter is as
  // after reset(). Real-time safe.
  int drain(float* out, int maxFrames);
  // Frames given to process() and not yet returned (≤ latencyFrames()).
  int heldFrames() const { return int(held_); }
  // No reduction under way or pending: while process() is told the frames
  // are not engaged, every frame held back and every later one leaves
  // untouched, so a caller may drain and take the limiter out of its path
  // without a step in the gain. Processing thread.
  bool atRest() const;

  // Forgets the audio held back and any reduction; the ceiling stays.
  // Real-time safe.
  void reset();

  // Whether the last block processed or drained was reduced anywhere. Any
  // thread (for a meter to poll).
  bool reducing() const { return reducing_.load(std::memory_order_relaxed); }

 private:
  // One frame in (null: a frame of silence), at most one frame out.
  bool step(const float* in, float* out, bool engaged);
  double detectPeak() const;
  void takeCeiling();

  int channels_;
  int rate_;
  int attack_;     // moving-average length, frames
  int window_;     // running-minimum length, frames
  int delay_;      // latency, frames
  double release_;  // one-pole coefficient per frame

  // Interpolator phases k = 1 … kOversampling − 1, 2 × kHalfTaps taps each.
  float phases_[kOversampling - 1][2 * kHalfTaps];

  // Input history (interleaved), a power of two frames long.
  std::unique_ptr<float[]> history_;
  // Whether each frame in history_ arrived engaged: a peak is judged as the
  // frames around it arrived, not as the block that completes its
  // interpolator's span did.
  std::unique_ptr<uint8_t[]> engagedAt_;
  uint32_t historyMask_ = 0;
  // Running minimum of the wanted gain: a monotone queue of (frame, gain).
  std::unique_ptr<int64_t[]> minFrame_;
  std::unique_ptr<double[]> minGain_;
  uint32_t minMask_ = 0;
  uint64_t minHead_ = 0, minTail_ = 0;
  // Moving average of the released gain.
  std::unique_ptr<double[]> average_;
  int averagePos_ = 0;
  double averageSum_ = 0;
  int belowOne_ = 0;  // entries of average_ under 1
  double envelope_ = 1;

  int64_t frame_ = 0;  // frames stepped since the reset (input and silence)
  int64_t held_ = 0;   // input frames not yet output
  bool engaged_ = false;  // as the last process() was told
  int64_t lastEngaged_ = 0;  // the last frame that arrived engaged
  double ceilingLinear_ = 1;
  double takenCeilingDb_ = 1;  // the ceiling ceilingLinear_ was made from
  std::atomic<double> ceilingDb_;
  std::atomic<bool> reducing_{false};
};
