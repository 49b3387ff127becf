#include "output_resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>

namespace pwbass {
namespace {

// 48 zero crossings each side and a Kaiser window with beta 9 (about 90 dB
// stop band): a transition band of roughly 6 % of the lower rate, placed just
// below its Nyquist frequency. Plenty for a path that only odd rates take.
constexpr size_t kHalfTaps = 48;
constexpr double kBeta = 9.0;
constexpr double kCutoff = 0.93;  // of the lower Nyquist frequency
constexpr int kPhases = 256;

double besselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 64; ++k) {
    const double f = x / (2.0 * k);
    term *= f * f;
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

}  // namespace

Resampler::Resampler(int inRate, int outRate, int channels, size_t maxBlock)
    : inRate_(inRate), outRate_(outRate), channels_(channels) {
  const uint64_t g = std::gcd(uint64_t(inRate), uint64_t(outRate));
  step_ = uint64_t(inRate) / g;
  den_ = uint64_t(outRate) / g;

  // Converting down, the kernel is stretched to the output's band, so it
  // needs proportionally more taps for the same steepness.
  const double band = std::min(1.0, double(outRate) / inRate);
  half_ = size_t(std::ceil(kHalfTaps / band));
  taps_ = 2 * half_;
  phases_ = kPhases;
  const double cut = band * kCutoff;
  const double i0Beta = besselI0(kBeta);

  coef_.assign(size_t(phases_ + 1) * taps_, 0.0f);
  std::vector<double> row(taps_);
  for (int p = 0; p <= phases_; ++p) {
    const double frac = double(p) / phases_;
    double sum = 0;
    for (size_t k = 0; k < taps_; ++k) {
      // Distance from the interpolation point to input frame k of the window.
      const double d = double(k) - double(half_ - 1) - frac;
      const double x = d / double(half_);
      const double w = std::fabs(x) >= 1.0 ? 0.0 : besselI0(kBeta * std::sqrt(1.0 - x * x)) / i0Beta;
      const double a = std::numbers::pi * cut * d;
      const double s = std::fabs(a) < 1e-12 ? 1.0 : std::sin(a) / a;
      row[k] = cut * s * w;
      sum += row[k];
    }
    // Exact unity gain at DC for every phase: no ripple on steady levels.
    for (size_t k = 0; k < taps_; ++k) coef_[size_t(p) * taps_ + k] = float(row[k] / sum);
  }
  delta_.assign(coef_.size(), 0.0f);
  for (int p = 0; p < phases_; ++p)
    for (size_t k = 0; k < taps_; ++k)
      delta_[size_t(p) * taps_ + k] = coef_[size_t(p + 1) * taps_ + k] - coef_[size_t(p) * taps_ + k];

  capacity_ = maxBlock + 2 * taps_ + 4;
  buf_.assign(capacity_ * size_t(channels_), 0.0f);
  reset();
}

void Resampler::reset() {
  // half_ - 1 frames of silence before the first input frame, so the first
  // output sits exactly on it.
  frames_ = half_ - 1;
  std::fill(buf_.begin(), buf_.begin() + long(frames_ * size_t(channels_)), 0.0f);
  pos_ = half_ - 1;
  num_ = 0;
}

size_t Resampler::space() const {
  // Frames before pos_ - (half_ - 1) are no longer needed and can be dropped.
  const size_t reusable = pos_ - (half_ - 1);
  return capacity_ - frames_ + reusable;
}

size_t Resampler::needed(size_t outFrames) const {
  if (outFrames == 0) return 0;
  const uint64_t lastPos = pos_ + (num_ + uint64_t(outFrames - 1) * step_) / den_;
  const uint64_t need = lastPos + half_ + 1;
  return need > frames_ ? size_t(need - frames_) : 0;
}

void Resampler::compact() {
  const size_t ch = size_t(channels_);
  const size_t drop = pos_ - (half_ - 1);
  if (drop == 0) return;
  std::memmove(buf_.data(), buf_.data() + drop * ch, (frames_ - drop) * ch * sizeof(float));
  frames_ -= drop;
  pos_ -= drop;
}

size_t Resampler::write(const float* in, size_t frames) {
  const size_t ch = size_t(channels_);
  if (frames_ + frames > capacity_) compact();
  const size_t n = std::min(frames, capacity_ - frames_);
  if (n > 0) std::memcpy(buf_.data() + frames_ * ch, in, n * ch * sizeof(float));
  frames_ += n;
  return n;
}

bool Resampler::flush() {
  if (space() < half_) return false;
  const size_t ch = size_t(channels_);
  if (frames_ + half_ > capacity_) compact();
  std::fill(buf_.begin() + long(frames_ * ch), buf_.begin() + long((frames_ + half_) * ch), 0.0f);
  frames_ += half_;
  return true;
}

size_t Resampler::read(float* out, size_t frames) {
  const size_t ch = size_t(channels_);
  const float scale = float(phases_) / float(den_);
  size_t made = 0;
  float acc[8];
  while (made < frames && pos_ + half_ < frames_) {
    const float fp = float(num_) * scale;
    size_t p = size_t(fp);
    if (p >= size_t(phases_)) p = size_t(phases_) - 1;
    const float a = fp - float(p);
    const float* c = coef_.data() + p * taps_;
    const float* d = delta_.data() + p * taps_;
    const float* x = buf_.data() + (pos_ + 1 - half_) * ch;
    if (ch == 1) {
      float s = 0;
      for (size_t k = 0; k < taps_; ++k) s += x[k] * (c[k] + a * d[k]);
      out[made] = s;
    } else if (ch == 2) {
      float l = 0, r = 0;
      for (size_t k = 0; k < taps_; ++k) {
        const float w = c[k] + a * d[k];
        l += x[2 * k] * w;
        r += x[2 * k + 1] * w;
      }
      out[2 * made] = l;
      out[2 * made + 1] = r;
    } else {
      const size_t n = std::min<size_t>(ch, 8);
      std::fill(acc, acc + n, 0.0f);
      for (size_t k = 0; k < taps_; ++k) {
        const float w = c[k] + a * d[k];
        for (size_t j = 0; j < n; ++j) acc[j] += x[k * ch + j] * w;
      }
      for (size_t j = 0; j < ch; ++j) out[made * ch + j] = j < n ? acc[j] : 0.0f;
    }
    ++made;
    num_ += step_;
    pos_ += size_t(num_ / den_);
    num_ %= den_;
  }
  return made;
}

double Resampler::pending() const {
  const double readTime = double(pos_) + double(num_) / double(den_);
  return std::max(0.0, double(frames_) - readTime);
}

}  // namespace pwbass
