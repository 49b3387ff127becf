#include "analysis/spectrum_analyser.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "dsp/fft.h"

namespace {

// Level scaling. The magnitudes are those of an unnormalised forward
// transform (no 1/N) of samples scaled to 16-bit range, which is what
// RealFft (FFTW) delivers, so these thresholds apply as they are: a bin
// shows nothing up to a magnitude of 50000 / gain and full height at
// 750000 / gain (20 833 and 312 500 at 1024 points). For scale: a
// full-scale sine over the 512 analysed frames peaks at 32767 × 512 / 2
// ≈ 8.4 M before pre-emphasis, and the gain table below falls roughly with
// √N, the growth of a noise bin in an unnormalised transform. A transform
// normalised by 1/√N or 1/N would need these divided by √N or N.
constexpr double kFloor = 50000.0;
constexpr double kFullScale = 700000.0;

// A shorter transform sums fewer frames into each bin; its larger gain keeps
// the same sound at roughly the same height.
double GainFor(int fftSize) {
  switch (fftSize) {
    case 2: return 11.0;
    case 4: return 10.0;
    case 8: return 9.0;
    case 16: return 8.0;
    case 32: return 7.0;
    case 64: return 6.0;
    case 128: return 5.0;
    case 256: return 4.0;
    case 512: return 3.2;
    case 1024: return 2.4;
    case 2048: return 1.5;
    case 4096: return 1.2;
    default: return 1.0;
  }
}

// Nearest integer, halves to even (the default rounding mode), saturated
// to the int32 range; NaN counts as 0.
std::int32_t RoundToInt32(double v) {
  if (!(v == v)) return 0;
  const double r = std::nearbyint(v);
  if (r >= double(std::numeric_limits<std::int32_t>::max())) return std::numeric_limits<std::int32_t>::max();
  if (r <= double(std::numeric_limits<std::int32_t>::min())) return std::numeric_limits<std::int32_t>::min();
  return std::int32_t(r);
}

// A sample in 16-bit units, rounded halves to even. Samples beyond ±1.0 are
// not clipped; only absurd values are held (so ten of them still sum in 64
// bits), and NaN counts as 0.
std::int64_t ToSixteenBitScale(float sample) {
  constexpr double kLimit = 1e15;
  const double v = double(sample) * 32767.0;
  if (!(v == v)) return 0;
  return std::int64_t(std::nearbyint(std::clamp(v, -kLimit, kLimit)));
}

// The window's weight at position j of an n-point transform.
double WindowWeight(int j, int n, SpectrumWindow mode) {
  constexpr double kPi = std::numbers::pi;
  const double dj = j;
  const double dn = n;
  switch (mode) {
    case SpectrumWindow::Rectangular:
      return 1.0;
    case SpectrumWindow::Hanning:
      return 0.5 - 0.5 * std::cos(2.0 * kPi * dj / dn);
    case SpectrumWindow::Bartlett:
      return j < n / 2 ? 2.0 * dj / (dn - 1.0) : 2.0 - 2.0 * dj / (dn - 1.0);
    case SpectrumWindow::Hamming:
      return 0.54 - 0.46 * std::cos(2.0 * kPi * dj / dn);
    case SpectrumWindow::Gaussian: {
      const double d = 2.0 * dj - dn;
      return std::exp(-5.0 / (dn * dn) * d * d);
    }
    case SpectrumWindow::Blackman:
      return 0.42 - 0.5 * std::cos(2.0 * kPi * dj / dn) + 0.08 * std::cos(4.0 * kPi * dj / dn);
    case SpectrumWindow::BlackmanHarris: {
      const double t = dj + 0.5;
      return 0.35875 - 0.48829 * std::cos(2.0 * kPi * t / dn) + 0.14128 * std::cos(4.0 * kPi * t / dn) -
             0.01168 * std::cos(6.0 * kPi * t / dn);
    }
  }
  return 1.0;
}

}  // namespace

float SpectrumWindowValue(int j, int n, SpectrumWindow mode, float x) {
  if (mode == SpectrumWindow::Rectangular) return x;
  return float(double(x) * WindowWeight(j, n, mode));
}

void SpectrumPreEmphasize(std::span<float> buffer, float coefficient) {
  if (buffer.empty()) return;
  float prev = coefficient * buffer[0];
  for (size_t i = 1; i < buffer.size(); ++i) {
    const float v = buffer[i];
    buffer[i] = v - prev;
    prev = coefficient * v;
  }
}

SpectrumAnalyser::SpectrumAnalyser()
    : fft_(RealFft::create(1024)),
      work_(size_t(kMaxFftSize), 0.0f),
      window_(size_t(kMaxFftSize), 1.0),
      data_(size_t(kMaxChannels) * size_t(kMaxFftSize), 0) {
  buildWindow();
}

SpectrumAnalyser::~SpectrumAnalyser() = default;

bool SpectrumAnalyser::setFftSize(int size) {
  if (size < 2 || size > kMaxFftSize || size % 2 != 0) return false;
  std::unique_ptr<RealFft> fft = RealFft::create(size);
  if (!fft) return false;
  fft_ = std::move(fft);
  fftSize_ = size;
  buildWindow();
  return true;
}

void SpectrumAnalyser::setPreEmphasis(int hundredths) { preEmphasis_ = std::clamp(hundredths, 0, 255); }

void SpectrumAnalyser::setSampleSkip(int skip) { sampleSkip_ = std::clamp(skip, 1, 255); }

void SpectrumAnalyser::setWindowMode(SpectrumWindow mode) {
  windowMode_ = mode;
  buildWindow();
}

// Weights are kept as doubles so that weighting from the table gives what
// SpectrumWindowValue() gives.
void SpectrumAnalyser::buildWindow() {
  for (int j = 0; j < fftSize_; ++j) window_[size_t(j)] = WindowWeight(j, fftSize_, windowMode_);
}

std::span<const std::int32_t> SpectrumAnalyser::row(int channel) const {
  if (channel < 0 || channel >= kMaxChannels) return {};
  return std::span<const std::int32_t>(data_.data() + size_t(channel) * size_t(kMaxFftSize), size_t(fftSize_ / 2));
}

void SpectrumAnalyser::clear() { std::fill(data_.begin(), data_.end(), 0); }

bool SpectrumAnalyser::analyse(const float* samples, std::int32_t byteCount, int channels) {
  if (samples == nullptr || byteCount == 0 || channels <= 0) return false;

  const std::int64_t stride = sampleSkip_;
  // The count is divided by skip + 1 while frames are stepped by skip: with
  // a skip of 1 the first half of a block is taken, consecutively (a 25 ms
  // block of ~1100 frames gives 512 of them at 1024 points).
  std::int64_t frames = std::int64_t(byteCount / 4) / channels / (sampleSkip_ + 1);
  if (frames < 0) frames = 0;
  frames = std::min<std::int64_t>(frames, fftSize_ / 2);
  const int used = std::min(channels, kMaxChannels);
  const int reported = mixChannels_ ? 1 : used;

  const auto at = [&](std::int64_t frame, int channel) {
    return samples[std::int64_t(channels) * frame * stride + channel];
  };

  if (mixChannels_) {
    std::fill(work_.begin(), work_.end(), 0.0f);
    for (std::int64_t i = 0; i < frames; ++i) {
      std::int64_t sum = 0;
      for (int c = 0; c < used; ++c) sum += ToSixteenBitScale(at(i, c));
      work_[size_t(i)] = float(sum / used);
    }
    std::int32_t* out = data_.data();
    transformInto(out);
    scaleRow(out);
  } else {
    // Each of the first ten channels into its own row, analysed like the mix.
    for (int c = 0; c < used; ++c) {
      std::fill(work_.begin(), work_.end(), 0.0f);
      for (std::int64_t i = 0; i < frames; ++i) work_[size_t(i)] = float(ToSixteenBitScale(at(i, c)));
      std::int32_t* out = data_.data() + size_t(c) * size_t(kMaxFftSize);
      transformInto(out);
      scaleRow(out);
    }
  }

  if (listener_) listener_(spectrum(), std::int32_t(frames), reported);
  return true;
}

// Window, pre-emphasis and transform of work_ (the window and the filter run
// over the zero tail too), leaving rounded magnitudes in row.
void SpectrumAnalyser::transformInto(std::int32_t* row) {
  const size_t n = size_t(fftSize_);
  if (windowMode_ != SpectrumWindow::Rectangular) {
    for (size_t j = 0; j < n; ++j) work_[j] = float(double(work_[j]) * window_[j]);
  }
  if (preEmphasisEnabled_) SpectrumPreEmphasize(std::span<float>(work_.data(), n), float(preEmphasis_) / 100.0f);
  if (fft_) fft_->forward(work_.data(), work_.data());
  for (size_t k = 0; k < n / 2; ++k) {
    const double re = work_[2 * k];
    const double im = work_[2 * k + 1];
    row[k] = RoundToInt32(std::sqrt(re * re + im * im));
  }
}

// Magnitudes to levels: nothing below the floor, then linear in the range
// (or the square root of range × level on the logarithmic scale). Levels
// above maxY() are left for the display to limit.
void SpectrumAnalyser::scaleRow(std::int32_t* row) const {
  const double gain = GainFor(fftSize_);
  const double range = double(std::int64_t(maxY_) - std::int64_t(minY_));
  for (int k = 0; k < fftSize_ / 2; ++k) {
    double v = double(row[k]) * gain - kFloor;
    if (v < 0.0) v = 0.0;
    v = range * v / kFullScale;
    if (logarithmic_) v = std::sqrt(range * v);
    row[k] = RoundToInt32(double(minY_) + v);
  }
}
