// Spectrum analyser for the LED display: turns a block of interleaved float
// samples (the sound being heard) into a row of integer magnitudes scaled to
// the display's level range, and hands that row to its owner.
//
// Used on the main thread only (the 25 ms transport timer feeds it). All
// buffers are allocated at construction or when the transform size changes;
// analyse() and clear() allocate nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

class RealFft;

enum class SpectrumWindow { Rectangular, Hanning, Bartlett, Hamming, Gaussian, Blackman, BlackmanHarris };

// x weighted by the window at position j of an n-point transform, computed
// in double and returned as a float.
float SpectrumWindowValue(int j, int n, SpectrumWindow mode, float x);

// First-difference pre-emphasis in place: every entry after the first loses
// `coefficient` times its (original) predecessor; entry 0 stays as it is.
void SpectrumPreEmphasize(std::span<float> buffer, float coefficient);

class SpectrumAnalyser {
 public:
  static constexpr int kMaxFftSize = 8192;
  // Rows of output (and channels mixed or analysed): at most 10.
  static constexpr int kMaxChannels = 10;

  // Called after every analysed block with row 0 (fftSize()/2 levels), the
  // frames used and the channels reported (1 when mixing).
  using Listener =
      std::function<void(std::span<const std::int32_t> spectrum, std::int32_t frames, std::int32_t channels)>;

  // Defaults: 1024 points, logarithmic, levels 0 .. 100, channels mixed,
  // pre-emphasis on at 90, sample skip 1, rectangular window, no listener.
  SpectrumAnalyser();
  ~SpectrumAnalyser();
  SpectrumAnalyser(const SpectrumAnalyser&) = delete;
  SpectrumAnalyser& operator=(const SpectrumAnalyser&) = delete;

  int fftSize() const { return fftSize_; }
  // An even size of 2 .. 8192; replans even for the present size. Anything
  // else (or a failed plan) is refused and leaves the analyser as it was.
  bool setFftSize(int size);

  bool logarithmic() const { return logarithmic_; }
  void setLogarithmic(bool on) { logarithmic_ = on; }

  std::int32_t minY() const { return minY_; }
  void setMinY(std::int32_t value) { minY_ = value; }
  std::int32_t maxY() const { return maxY_; }
  void setMaxY(std::int32_t value) { maxY_ = value; }

  bool mixChannels() const { return mixChannels_; }
  void setMixChannels(bool on) { mixChannels_ = on; }

  bool preEmphasisEnabled() const { return preEmphasisEnabled_; }
  void setPreEmphasisEnabled(bool on) { preEmphasisEnabled_ = on; }
  // In hundredths, 0 .. 255 (stored clamped to that).
  int preEmphasis() const { return preEmphasis_; }
  void setPreEmphasis(int hundredths);

  // 1 .. 255 (stored clamped to that).
  int sampleSkip() const { return sampleSkip_; }
  void setSampleSkip(int skip);

  SpectrumWindow windowMode() const { return windowMode_; }
  void setWindowMode(SpectrumWindow mode);

  void setListener(Listener listener) { listener_ = std::move(listener); }

  // One spectrum from `byteCount` bytes of interleaved 32-bit floats with
  // `channels` per frame: the form the player's GetData() hands out. Null
  // samples, a byte count of 0 or no channels change nothing and return
  // false without calling the listener. A negative byte count (the player's
  // failure value) analyses no frames: the row drops to minY().
  bool analyse(const float* samples, std::int32_t byteCount, int channels);

  // Zeroes every row (the bars then fall); the listener is not called.
  void clear();

  // Row 0: fftSize()/2 levels, bin k at k × sample rate / fftSize().
  std::span<const std::int32_t> spectrum() const { return row(0); }
  // Row `channel` (0 .. 9); rows above 0 are only written with mixing off.
  std::span<const std::int32_t> row(int channel) const;

 private:
  void buildWindow();
  void transformInto(std::int32_t* row);
  void scaleRow(std::int32_t* row) const;

  std::unique_ptr<RealFft> fft_;
  std::vector<float> work_;      // transform input and output
  std::vector<double> window_;   // weights of the current mode and size
  std::vector<std::int32_t> data_;  // kMaxChannels rows of kMaxFftSize
  bool logarithmic_ = true;
  SpectrumWindow windowMode_ = SpectrumWindow::Rectangular;
  std::int32_t minY_ = 0;
  std::int32_t maxY_ = 100;
  int fftSize_ = 1024;
  bool mixChannels_ = true;
  int preEmphasis_ = 90;
  bool preEmphasisEnabled_ = true;
  int sampleSkip_ = 1;
  Listener listener_;
};
