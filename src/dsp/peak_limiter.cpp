#include "dsp/peak_limiter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

static_assert(std::atomic<double>::is_always_lock_free, "the ceiling must cross threads without a lock");

constexpr double kPi = 3.14159265358979323846;
// Kaiser window shape for the interpolator: enough stop-band for a peak
// estimate with only 16 taps per phase.
constexpr double kKaiserBeta = 6.0;
// A release closer than this to where it is going is taken as arrived, so
// that the gain becomes exactly 1 again (and the output bit-identical)
// instead of approaching it forever. −0.0001 dB: inaudible as a step.
constexpr double kArrived = 1e-5;

double BesselI0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; k < 50; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

uint32_t PowerOfTwoAtLeast(int64_t n) {
  uint32_t p = 1;
  while (int64_t(p) < n) p <<= 1;
  return p;
}

}  // namespace

PeakLimiter::PeakLimiter(int channels, int sampleRate, double ceilingDb)
    : channels_(std::clamp(channels, 1, 8)), rate_(std::clamp(sampleRate, 1000, 384000)), ceilingDb_(-1.0) {
  attack_ = std::max(1, int(std::lround(kAttackSeconds * rate_)));
  const int hold = int(std::lround(kHoldSeconds * rate_));
  // The running minimum covers the moving average's length, the hold and
  // the peak's neighbours on both sides that the interpolator reaches, so
  // that every frame within kHalfTaps of a peak leaves with at most the gain
  // the peak needs.
  window_ = attack_ + 2 * kHalfTaps + hold;
  delay_ = kHalfTaps + attack_ - 1 + kHalfTaps;
  release_ = 1.0 - std::exp(-1.0 / (kReleaseSeconds * rate_));

  for (int k = 1; k < kOversampling; ++k) {
    double sum = 0;
    double taps[2 * kHalfTaps];
    for (int i = 0; i < 2 * kHalfTaps; ++i) {
      const int j = i - kHalfTaps + 1;  // offset of the tap's sample from the peak's
      const double t = double(k) / kOversampling - j;
      const double sinc = std::sin(kPi * t) / (kPi * t);
      const double r = t / kHalfTaps;
      const double window = BesselI0(kKaiserBeta * std::sqrt(std::max(0.0, 1 - r * r))) / BesselI0(kKaiserBeta);
      taps[i] = sinc * window;
      sum += taps[i];
    }
    // Unity gain at low frequencies, where most peaks are.
    for (int i = 0; i < 2 * kHalfTaps; ++i) phases_[k - 1][i] = float(taps[i] / sum);
  }

  const uint32_t historyFrames = PowerOfTwoAtLeast(std::max(delay_, 2 * kHalfTaps) + 1);
  history_.reset(new float[size_t(historyFrames) * size_t(channels_)]);
  historyMask_ = historyFrames - 1;
  engagedAt_.reset(new uint8_t[historyFrames]);
  const uint32_t minSize = PowerOfTwoAtLeast(window_ + 1);
  minFrame_.reset(new int64_t[minSize]);
  minGain_.reset(new double[minSize]);
  minMask_ = minSize - 1;
  average_.reset(new double[size_t(attack_)]);
  setCeilingDb(ceilingDb);
  reset();
}

PeakLimiter::~PeakLimiter() = default;

void PeakLimiter::setCeilingDb(double dB) {
  if (!std::isfinite(dB)) return;
  ceilingDb_.store(std::clamp(dB, -20.0, 0.0), std::memory_order_relaxed);
}

void PeakLimiter::takeCeiling() {
  const double dB = ceilingDb_.load(std::memory_order_relaxed);
  if (dB == takenCeilingDb_) return;
  takenCeilingDb_ = dB;
  ceilingLinear_ = std::pow(10.0, (dB - kMarginDb) / 20.0);
}

void PeakLimiter::reset() {
  std::memset(history_.get(), 0, (size_t(historyMask_) + 1) * size_t(channels_) * sizeof(float));
  std::memset(engagedAt_.get(), 0, size_t(historyMask_) + 1);
  minHead_ = minTail_ = 0;
  std::fill(average_.get(), average_.get() + attack_, 1.0);
  averagePos_ = 0;
  averageSum_ = attack_;
  belowOne_ = 0;
  envelope_ = 1;
  frame_ = 0;
  held_ = 0;
  engaged_ = false;
  lastEngaged_ = std::numeric_limits<int64_t>::min() / 2;  // none
  reducing_.store(false, std::memory_order_relaxed);
}

bool PeakLimiter::atRest() const {
  // Frames whose peak is still to be judged (the interpolator needs the
  // frames after them) must have arrived disengaged.
  const bool judged = lastEngaged_ < frame_ - kHalfTaps;
  const bool heldAtOne = minHead_ == minTail_ || minGain_[minHead_ & minMask_] >= 1;
  return judged && heldAtOne && envelope_ >= 1 && belowOne_ == 0;
}

double PeakLimiter::detectPeak() const {
  // The peak's frame is kHalfTaps behind the newest; its taps reach from
  // kHalfTaps − 1 before it to kHalfTaps after it (the newest).
  const int64_t first = frame_ - 2 * kHalfTaps + 1;
  double peak = 0;
  for (int c = 0; c < channels_; ++c) {
    float x[2 * kHalfTaps];
    for (int i = 0; i < 2 * kHalfTaps; ++i)
      x[i] = history_[size_t((uint64_t(first + i) & historyMask_)) * size_t(channels_) + size_t(c)];
    peak = std::max(peak, double(std::fabs(x[kHalfTaps - 1])));
    for (const auto& phase : phases_) {
      float v = 0;
      for (int i = 0; i < 2 * kHalfTaps; ++i) v += phase[i] * x[i];
      peak = std::max(peak, double(std::fabs(v)));
    }
  }
  return peak;
}

bool PeakLimiter::step(const float* in, float* out, bool engaged) {
  float* slot = &history_[size_t(uint64_t(frame_) & historyMask_) * size_t(channels_)];
  if (in)
    std::memcpy(slot, in, size_t(channels_) * sizeof(float));
  else
    std::memset(slot, 0, size_t(channels_) * sizeof(float));

  engagedAt_[uint64_t(frame_) & historyMask_] = engaged;
  if (engaged) lastEngaged_ = frame_;

  // The gain the frame kHalfTaps back needs for its true peak (its own and
  // the one up to the next frame).
  const int64_t at = frame_ - kHalfTaps;
  double wanted = 1;
  if (engagedAt_[uint64_t(at) & historyMask_] || engagedAt_[uint64_t(at + 1) & historyMask_]) {
    const double peak = detectPeak();
    if (peak > ceilingLinear_) wanted = ceilingLinear_ / peak;
  }

  // Running minimum over the last window_ frames.
  while (minTail_ != minHead_ && minGain_[(minTail_ - 1) & minMask_] >= wanted) --minTail_;
  minFrame_[minTail_ & minMask_] = at;
  minGain_[minTail_ & minMask_] = wanted;
  ++minTail_;
  while (minFrame_[minHead_ & minMask_] <= at - window_) ++minHead_;
  const double held = minGain_[minHead_ & minMask_];

  // Down at once (the moving average spreads it over the attack), up with
  // the release.
  if (held < envelope_) {
    envelope_ = held;
  } else {
    envelope_ += (held - envelope_) * release_;
    if (held - envelope_ < kArrived) envelope_ = held;
  }

  // Moving average over attack_ frames; the sum is made afresh once per
  // round so rounding cannot pile up.
  const double leaving = average_[averagePos_];
  belowOne_ += (envelope_ < 1) - (leaving < 1);
  average_[averagePos_] = envelope_;
  averageSum_ += envelope_ - leaving;
  if (++averagePos_ == attack_) {
    averagePos_ = 0;
    averageSum_ = 0;
    for (int i = 0; i < attack_; ++i) averageSum_ += average_[i];
  }
  const double gain = belowOne_ == 0 ? 1.0 : averageSum_ / attack_;

  const int64_t outFrame = frame_ - delay_;
  ++frame_;
  if (outFrame < 0) return false;
  const float* x = &history_[size_t(uint64_t(outFrame) & historyMask_) * size_t(channels_)];
  if (gain >= 1) {
    std::memmove(out, x, size_t(channels_) * sizeof(float));
  } else {
    for (int c = 0; c < channels_; ++c) out[c] = float(double(x[c]) * gain);
  }
  return gain < 1;
}

int PeakLimiter::process(float* buffer, int frames, bool engaged) {
  takeCeiling();
  engaged_ = engaged;
  bool reduced = false;
  int written = 0;
  for (int i = 0; i < frames; ++i) {
    // In place: frame i is read before anything is written at or after
    // `written`, which never passes i.
    ++held_;
    const int64_t before = frame_;
    reduced |= step(buffer + size_t(i) * size_t(channels_), buffer + size_t(written) * size_t(channels_), engaged);
    if (before >= delay_) {
      ++written;
      --held_;
    }
  }
  reducing_.store(reduced, std::memory_order_relaxed);
  return written;
}

int PeakLimiter::drain(float* out, int maxFrames) {
  takeCeiling();
  bool reduced = false;
  int written = 0;
  while (held_ > 0 && written < maxFrames) {
    const int64_t before = frame_;
    // The tail is judged as the stream's last block was: a neutral stream
    // stays untouched to its end.
    reduced |= step(nullptr, out + size_t(written) * size_t(channels_), engaged_);
    if (before >= delay_) {
      ++written;
      --held_;
    }
  }
  if (held_ == 0) reset();
  reducing_.store(reduced, std::memory_order_relaxed);
  return written;
}
