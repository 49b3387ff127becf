// Spectrum analyser: which frames and channels are taken, the mix, the
// windows, pre-emphasis, the scaling to the display's levels, the transform
// sizes, clearing, and that a block is analysed without allocating.
//
// Many checks use a "probe" setting (levels 0 .. 700000, linear, no
// pre-emphasis), under which a level reads back as magnitude × gain − 50000,
// so the transform's raw magnitudes can be checked exactly.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <thread>
#include <vector>

#include "allocation_count.h"
#include "analysis/spectrum_analyser.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRate = 44100.0;
constexpr int kDisplayHeight = 72;

struct Report {
  int calls = 0;
  std::int32_t frames = -1;
  std::int32_t channels = -1;
  std::vector<std::int32_t> row;
};

// As the main window sets it up, with the display 72 pixels high.
void ConfigureLikeTheWindow(SpectrumAnalyser& a) {
  a.setFftSize(1024);
  a.setLogarithmic(false);
  a.setMinY(0);
  a.setMaxY(kDisplayHeight);
  a.setMixChannels(true);
  a.setPreEmphasisEnabled(true);
  a.setPreEmphasis(85);
  a.setSampleSkip(1);
  a.setWindowMode(SpectrumWindow::Rectangular);
}

void ConfigureAsProbe(SpectrumAnalyser& a) {
  ConfigureLikeTheWindow(a);
  a.setMaxY(700000);
  a.setPreEmphasisEnabled(false);
}

void Listen(SpectrumAnalyser& a, Report& r) {
  a.setListener([&r](std::span<const std::int32_t> row, std::int32_t frames, std::int32_t channels) {
    ++r.calls;
    r.frames = frames;
    r.channels = channels;
    r.row.assign(row.begin(), row.end());
  });
}

std::int32_t Bytes(const std::vector<float>& samples) { return std::int32_t(samples.size() * sizeof(float)); }

// frames × channels interleaved samples, value(frame, channel).
template <typename F>
std::vector<float> Block(int frames, int channels, F value) {
  std::vector<float> out(size_t(frames) * size_t(channels));
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) out[size_t(i) * size_t(channels) + size_t(c)] = float(value(i, c));
  return out;
}

// A sine that completes a whole number of cycles per transform length at
// bin `bin` of 1024 points.
std::vector<float> MonoSine(int frames, int bin, double amplitude) {
  return Block(frames, 1, [&](int i, int) { return amplitude * std::sin(2.0 * kPi * bin * i / 1024.0); });
}

std::vector<std::int32_t> Copy(std::span<const std::int32_t> row) { return {row.begin(), row.end()}; }

int LoudestBin(std::span<const std::int32_t> row) {
  return int(std::max_element(row.begin() + 1, row.end()) - row.begin());
}

// |1 − c·e^(−iω)| at bin k of 1024 points: how pre-emphasis scales that bin.
double EmphasisGain(int bin, double c) {
  return std::abs(std::complex<double>(1.0) - c * std::polar(1.0, -2.0 * kPi * bin / 1024.0));
}

// The level of a 1024-point magnitude m, as the window's settings show it.
double LinearLevel(double m, double range = kDisplayHeight) {
  return range * std::max(0.0, m * 2.4 - 50000.0) / 700000.0;
}

// What a probe-level reads as: magnitude × gain − 50000.
double ProbeLevel(double m, double gain = 2.4) { return m * gain - 50000.0; }

// ---- construction and properties ----

TEST(SpectrumAnalyser, StartsWithItsDefaults) {
  SpectrumAnalyser a;
  EXPECT_EQ(a.fftSize(), 1024);
  EXPECT_TRUE(a.logarithmic());
  EXPECT_EQ(a.minY(), 0);
  EXPECT_EQ(a.maxY(), 100);
  EXPECT_TRUE(a.mixChannels());
  EXPECT_TRUE(a.preEmphasisEnabled());
  EXPECT_EQ(a.preEmphasis(), 90);
  EXPECT_EQ(a.sampleSkip(), 1);
  EXPECT_EQ(a.windowMode(), SpectrumWindow::Rectangular);
  ASSERT_EQ(a.spectrum().size(), 512u);
  EXPECT_TRUE(std::all_of(a.spectrum().begin(), a.spectrum().end(), [](std::int32_t v) { return v == 0; }));
}

TEST(SpectrumAnalyser, SampleSkipIsHeldBetween1And255) {
  const struct {
    int set;
    int stored;
  } cases[] = {{0, 1}, {1, 1}, {2, 2}, {255, 255}, {256, 255}, {-3, 1}};
  for (const auto& c : cases) {
    SpectrumAnalyser a;
    a.setSampleSkip(c.set);
    EXPECT_EQ(a.sampleSkip(), c.stored) << "set " << c.set;
  }
}

TEST(SpectrumAnalyser, RefusesTransformSizesItCannotHold) {
  for (int size : {0, 1, 3, 1023, 8193, 16384, -2}) {
    SpectrumAnalyser a;
    EXPECT_FALSE(a.setFftSize(size)) << size;
    EXPECT_EQ(a.fftSize(), 1024) << size;
    EXPECT_EQ(a.spectrum().size(), 512u) << size;
  }
  SpectrumAnalyser a;
  EXPECT_TRUE(a.setFftSize(8192));
  EXPECT_EQ(a.spectrum().size(), 4096u);
  EXPECT_TRUE(a.setFftSize(1024));  // the same size again is fine
  EXPECT_EQ(a.spectrum().size(), 512u);
}

// ---- nothing to analyse ----

TEST(SpectrumAnalyser, NothingToAnalyseChangesNothingAndReportsNothing) {
  SpectrumAnalyser a;
  ConfigureLikeTheWindow(a);
  const std::vector<float> sine = MonoSine(1024, 64, 0.5);
  ASSERT_TRUE(a.analyse(sine.data(), Bytes(sine), 1));
  const std::vector<std::int32_t> before = Copy(a.spectrum());
  ASSERT_GT(before[64], 0);

  Report r;
  Listen(a, r);
  const struct {
    const char* what;
    const float* samples;
    std::int32_t bytes;
    int channels;
  } cases[] = {
      {"no samples", nullptr, Bytes(sine), 1},
      {"no bytes", sine.data(), 0, 1},
      {"no channels", sine.data(), Bytes(sine), 0},
      {"negative channels", sine.data(), Bytes(sine), -2},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(a.analyse(c.samples, c.bytes, c.channels)) << c.what;
    EXPECT_EQ(Copy(a.spectrum()), before) << c.what;
  }
  EXPECT_EQ(r.calls, 0);
}

TEST(SpectrumAnalyser, AFailedReadShowsAnEmptySpectrumAtMinY) {
  SpectrumAnalyser a;
  ConfigureLikeTheWindow(a);
  a.setMinY(5);
  a.setMaxY(5 + kDisplayHeight);
  const std::vector<float> sine = Block(1024, 2, [](int i, int) { return std::sin(2.0 * kPi * 64 * i / 1024.0); });
  ASSERT_TRUE(a.analyse(sine.data(), Bytes(sine), 2));
  ASSERT_GT(a.spectrum()[64], 5);

  Report r;
  Listen(a, r);
  EXPECT_TRUE(a.analyse(sine.data(), -1, 2));
  EXPECT_EQ(r.calls, 1);
  EXPECT_EQ(r.frames, 0);
  EXPECT_EQ(r.channels, 1);
  EXPECT_EQ(r.row, std::vector<std::int32_t>(512, 5));
}

// ---- frames and channels taken ----

TEST(SpectrumAnalyser, CountsFramesFromBytesChannelsAndSkip) {
  const struct {
    std::int32_t bytes;
    int channels;
    int skip;
    int fftSize;
    std::int32_t frames;
  } cases[] = {
      {8816, 2, 1, 1024, 512},   // a 25 ms stereo block at 44.1 kHz: 551, limited
      {400, 2, 1, 1024, 25},     // 50 frames, every other one counted
      {4096, 1, 1, 1024, 512},   // exactly enough
      {4100, 1, 3, 1024, 256},   // 1025 frames / 4
      {12, 2, 1, 1024, 0},       // one frame and a half: nothing whole
      {10, 1, 1, 1024, 1},       // a partial sample is dropped
      {8816, 2, 1, 512, 256},    // limited to half the transform
      {8816, 2, 1, 2048, 551},
  };
  std::vector<float> samples(4096, 0.25f);
  for (const auto& c : cases) {
    SpectrumAnalyser a;
    ConfigureLikeTheWindow(a);
    ASSERT_TRUE(a.setFftSize(c.fftSize));
    a.setSampleSkip(c.skip);
    Report r;
    Listen(a, r);
    ASSERT_TRUE(a.analyse(samples.data(), c.bytes, c.channels));
    EXPECT_EQ(r.frames, c.frames) << c.bytes << " bytes, " << c.channels << " channels, skip " << c.skip;
    EXPECT_EQ(r.row.size(), size_t(c.fftSize / 2));
  }
}

TEST(SpectrumAnalyser, TakesTheFirst512FramesOfABlockConsecutively) {
  // A stereo block of 1102 frames: a sine in frames 0 .. 511, then full-scale
  // noise-like junk that must not be looked at.
  const auto value = [](int i, int) {
    return i < 512 ? 0.5 * std::sin(2.0 * kPi * 64 * i / 1024.0) : ((i * 7919) % 13 < 6 ? 1.0 : -1.0);
  };
  const std::vector<float> block = Block(1102, 2, value);
  const std::vector<float> clean = Block(1102, 2, [&](int i, int c) { return i < 512 ? value(i, c) : 0.0; });
  ASSERT_EQ(Bytes(block), 8816);

  SpectrumAnalyser a;
  ConfigureLikeTheWindow(a);
  a.analyse(block.data(), Bytes(block), 2);
  const std::vector<std::int32_t> got = Copy(a.spectrum());
  a.analyse(clean.data(), Bytes(clean), 2);
  EXPECT_EQ(got, Copy(a.spectrum()));
  // Frames taken one after another: the tone is in its own bin (every other
  // frame would put it at 128).
  EXPECT_EQ(LoudestBin(got), 64);
}

TEST(SpectrumAnalyser, SampleSkipStepsOverFrames) {
  // Sound only in odd frames: a skip of 2 takes frames 0, 2, 4 … and sees
  // silence; a skip of 1 takes them all.
  const std::vector<float> block = Block(1536, 1, [](int i, int) { return i % 2 ? 0.9 : 0.0; });
  SpectrumAnalyser a;
  ConfigureLikeTheWindow(a);
  Report r;
  Listen(a, r);
  a.setSampleSkip(2);
  a.analyse(block.data(), Bytes(block), 1);
  EXPECT_EQ(r.frames, 512);
  EXPECT_EQ(r.row, std::vector<std::int32_t>(512, 0));
  a.setSampleSkip(1);
  a.analyse(block.data(), Bytes(block), 1);
  EXPECT_GT(*std::max_element(r.row.begin(), r.row.end()), 0);
}

// The mixed value of a constant frame, read back from the DC bin of 512
// identical frames under the probe setting.
TEST(SpectrumAnalyser, MixesChannelsIntoWholeSixteenBitValues) {
  const struct {
    const char* what;
    std::vector<double> frame;
    double mixed;
  } cases[] = {
      {"mono full scale", {1.0}, 32767},
      {"stereo (1, 0)", {1.0, 0.0}, 16383},            // 32767 / 2, truncated
      {"stereo (-1, 0)", {-1.0, 0.0}, 16383},          // toward zero, not down
      {"stereo (1, 1)", {1.0, 1.0}, 32767},
      {"stereo (0.5, 0.5)", {0.5, 0.5}, 16384},        // 16383.5 rounds to even
      {"6 channels", {1, 1, 1, 0, 0, 0}, 16383},       // 98301 / 6
      {"beyond full scale", {2.0}, 65534},             // not clipped
      // Only the first ten channels count, but frames step by all twelve.
      {"12 channels", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1}, 3276},
  };
  for (const auto& c : cases) {
    const int channels = int(c.frame.size());
    const std::vector<float> block = Block(1024, channels, [&](int, int ch) { return c.frame[size_t(ch)]; });
    SpectrumAnalyser a;
    ConfigureAsProbe(a);
    Report r;
    Listen(a, r);
    ASSERT_TRUE(a.analyse(block.data(), Bytes(block), channels)) << c.what;
    EXPECT_EQ(r.channels, 1) << c.what;
    EXPECT_EQ(r.frames, 512) << c.what;
    const double expected = ProbeLevel(c.mixed * 512);
    // One unit of the mixed value moves the level by 512 × 2.4.
    EXPECT_NEAR(r.row[0], expected, 1e-6 * expected + 2) << c.what;
  }
}

TEST(SpectrumAnalyser, ReportsOneChannelWhenMixingWhateverTheInput) {
  for (int channels : {1, 2, 6, 10, 12}) {
    const std::vector<float> block(size_t(channels) * 1024, 0.1f);
    SpectrumAnalyser a;
    ConfigureLikeTheWindow(a);
    Report r;
    Listen(a, r);
    a.analyse(block.data(), Bytes(block), channels);
    EXPECT_EQ(r.channels, 1) << channels;
  }
}

TEST(SpectrumAnalyser, UnmixedAnalysesEachChannelIntoItsOwnRow) {
  // Left: a tone at bin 64; right: silence; a third channel at bin 200.
  const std::vector<float> block = Block(1024, 3, [](int i, int c) {
    if (c == 1) return 0.0;
    return 0.5 * std::sin(2.0 * kPi * (c == 0 ? 64 : 200) * i / 1024.0);
  });
  SpectrumAnalyser a;
  ConfigureLikeTheWindow(a);
  a.setMixChannels(false);
  Report r;
  Listen(a, r);
  a.analyse(block.data(), Bytes(block), 3);
  EXPECT_EQ(r.channels, 3);
  EXPECT_EQ(LoudestBin(a.row(0)), 64);
  EXPECT_EQ(Copy(a.row(1)), std::vector<std::int32_t>(512, 0));
  EXPECT_EQ(LoudestBin(a.row(2)), 200);
  EXPECT_EQ(r.row, Copy(a.row(0)));
}

// ---- levels ----

TEST(SpectrumAnalyser, SilenceShowsMinYInEveryBin) {
  const struct {
    bool logarithmic;
    std::int32_t minY;
    std::int32_t maxY;
  } cases[] = {{false, 0, 72}, {true, 0, 72}, {false, 10, 82}, {true, -20, 52}};
  const std::vector<float> silence(2048, 0.0f);
  for (const auto& c : cases) {
    SpectrumAnalyser a;
    ConfigureLikeTheWindow(a);
    a.setLogarithmic(c.logarithmic);
    a.setMinY(c.minY);
    a.setMaxY(c.maxY);
    a.analyse(silence.data(), Bytes(silence), 2);
    EXPECT_EQ(Copy(a.spectrum()), std::vector<std::int32_t>(512, c.minY)) << c.logarithmic << " " << c.minY;
  }
}

// A tone that fits whole cycles into the 512 frames and the 1024 points
// peaks at amplitude × 32767 × 256, times the pre-emphasis gain at its bin.
TEST(SpectrumAnalyser, SineLandsInItsBinAtItsHeight) {
  const struct {
    double hz;
    double amplitude;
  } cases[] = {
      {2756.25, 1.0},     // bin 64, far above the display: left for it to limit
      {2756.25, 0.05},    // bin 64, inside the display
      {689.0625, 0.2},    // bin 16
      {17226.5625, 0.02}, // bin 400, boosted by the pre-emphasis
  };
  for (const auto& c : cases) {
    const int bin = int(std::lround(c.hz * 1024 / kRate));
    const std::vector<float> block =
        Block(1102, 2, [&](int i, int) { return c.amplitude * std::sin(2.0 * kPi * c.hz * i / kRate); });
    SpectrumAnalyser a;
    ConfigureLikeTheWindow(a);
    a.analyse(block.data(), Bytes(block), 2);
    const double magnitude = c.amplitude * 32767 * 256 * EmphasisGain(bin, 0.85);
    EXPECT_EQ(LoudestBin(a.spectrum()), bin) << c.hz;
    EXPECT_NEAR(a.spectrum()[size_t(bin)], LinearLevel(magnitude), 1.0) << c.hz << " Hz at " << c.amplitude;
  }
  // The full-scale tone is not held at the top: the display limits it.
  SpectrumAnalyser a;
  ConfigureLikeTheWindow(a);
  const std::vector<float> loud = MonoSine(1024, 64, 1.0);
  a.analyse(loud.data(), Bytes(loud), 1);
  EXPECT_GT(a.spectrum()[64], 10 * kDisplayHeight);
}

TEST(SpectrumAnalyser, BinsBelowTheFloorShowNothing) {
  // 2.4 × magnitude must pass 50000 before a bin rises: just under and
  // just over that magnitude (a tone at bin 64, pre-emphasis off).
  for (const double m : {20000.0, 22000.0, 312500.0}) {
    const std::vector<float> block = MonoSine(1024, 64, m / (32767.0 * 256));
    SpectrumAnalyser a;
    ConfigureLikeTheWindow(a);
    a.setPreEmphasisEnabled(false);
    a.analyse(block.data(), Bytes(block), 1);
    EXPECT_NEAR(a.spectrum()[64], LinearLevel(m), 1.0) << m;
  }
}

TEST(SpectrumAnalyser, LogarithmicScaleIsTheRootOfRangeTimesLevel) {
  const struct {
    std::int32_t minY;
    std::int32_t maxY;
    double amplitude;
  } cases[] = {{0, 72, 0.05}, {0, 72, 0.02}, {10, 110, 0.05}};
  for (const auto& c : cases) {
    const std::vector<float> block = MonoSine(1024, 64, c.amplitude);
    SpectrumAnalyser a;
    ConfigureLikeTheWindow(a);
    a.setMinY(c.minY);
    a.setMaxY(c.maxY);
    a.setLogarithmic(true);
    a.analyse(block.data(), Bytes(block), 1);
    const double range = c.maxY - c.minY;
    const double linear = LinearLevel(c.amplitude * 32767 * 256 * EmphasisGain(64, 0.85), range);
    EXPECT_NEAR(a.spectrum()[64], c.minY + std::sqrt(range * linear), 1.0) << c.amplitude;
  }
}

// ---- pre-emphasis ----

TEST(SpectrumPreEmphasis, TurnsAConstantBlockIntoItsDifference) {
  std::vector<float> buffer(1024, 0.0f);
  std::fill(buffer.begin(), buffer.begin() + 512, 1000.0f);
  SpectrumPreEmphasize(buffer, 0.85f);
  EXPECT_EQ(buffer[0], 1000.0f);
  for (size_t i = 1; i < 512; ++i) ASSERT_NEAR(buffer[i], 150.0f, 1e-3) << i;
  EXPECT_NEAR(buffer[512], -850.0f, 1e-3);
  for (size_t i = 513; i < 1024; ++i) ASSERT_EQ(buffer[i], 0.0f) << i;
}

TEST(SpectrumPreEmphasis, DampsLowBinsAndLiftsHighOnes) {
  for (const int bin : {4, 16, 64, 200, 400}) {
    const std::vector<float> block = MonoSine(1024, bin, 0.3);
    SpectrumAnalyser a;
    ConfigureAsProbe(a);
    a.analyse(block.data(), Bytes(block), 1);
    const double plain = (a.spectrum()[size_t(bin)] + 50000.0) / 2.4;
    a.setPreEmphasisEnabled(true);
    a.setPreEmphasis(85);
    a.analyse(block.data(), Bytes(block), 1);
    const double emphasised = (a.spectrum()[size_t(bin)] + 50000.0) / 2.4;
    EXPECT_NEAR(emphasised / plain, EmphasisGain(bin, 0.85), 1e-3) << bin;
  }
}

// ---- windows ----

TEST(SpectrumWindow, WeightsAtTellingPositions) {
  const struct {
    SpectrumWindow mode;
    int j;
    double weight;
  } cases[] = {
      {SpectrumWindow::Rectangular, 0, 1.0},
      {SpectrumWindow::Rectangular, 700, 1.0},
      {SpectrumWindow::Hanning, 0, 0.0},
      {SpectrumWindow::Hanning, 256, 0.5},
      {SpectrumWindow::Hanning, 512, 1.0},
      {SpectrumWindow::Bartlett, 0, 0.0},
      {SpectrumWindow::Bartlett, 511, 1022.0 / 1023.0},
      {SpectrumWindow::Bartlett, 512, 2.0 - 1024.0 / 1023.0},
      {SpectrumWindow::Bartlett, 1023, 0.0},
      {SpectrumWindow::Hamming, 0, 0.08},
      {SpectrumWindow::Hamming, 512, 1.0},
      {SpectrumWindow::Gaussian, 512, 1.0},
      {SpectrumWindow::Gaussian, 0, std::exp(-5.0)},
      {SpectrumWindow::Gaussian, 256, std::exp(-1.25)},
      {SpectrumWindow::Blackman, 0, 0.0},
      {SpectrumWindow::Blackman, 512, 1.0},
      {SpectrumWindow::Blackman, 256, 0.34},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(SpectrumWindowValue(c.j, 1024, c.mode, 2.0f), 2.0 * c.weight, 1e-6) << int(c.mode) << " at " << c.j;
  }
}

TEST(SpectrumWindow, BlackmanHarrisIsCentredHalfASampleEarly) {
  // Sampled at j + 0.5, it is symmetric about 511.5, not about 512.
  const auto w = [](int j) { return SpectrumWindowValue(j, 1024, SpectrumWindow::BlackmanHarris, 1.0f); };
  EXPECT_FLOAT_EQ(w(511), w(512));
  EXPECT_FLOAT_EQ(w(0), w(1023));
  EXPECT_NE(w(511), w(513));
  EXPECT_NEAR(w(0), 6.0e-5, 1e-5);
  EXPECT_NEAR(w(512), 1.0, 1e-4);
}

// The window runs over all 1024 points, the zero tail included, so 512
// frames of a constant see only its first half: their DC sum is the
// constant times the sum of the first 512 weights.
TEST(SpectrumWindow, SpansTheWholeTransformNotJustTheFrames) {
  const struct {
    SpectrumWindow mode;
    double weightSum;
  } cases[] = {
      {SpectrumWindow::Rectangular, 512.0},
      {SpectrumWindow::Hanning, 255.5},               // 256 − 0.5 × Σcos = 256 − 0.5
      {SpectrumWindow::Hamming, 0.54 * 512 - 0.46},
      {SpectrumWindow::Bartlett, 511.0 * 512 / 1023},
      {SpectrumWindow::Blackman, 0.42 * 512 - 0.5},
  };
  const std::vector<float> block(1024, 0.5f);  // 16384 in 16-bit units
  for (const auto& c : cases) {
    SpectrumAnalyser a;
    ConfigureAsProbe(a);
    a.setWindowMode(c.mode);
    a.analyse(block.data(), Bytes(block), 1);
    const double expected = ProbeLevel(16384 * c.weightSum);
    EXPECT_NEAR(a.spectrum()[0], expected, 1e-6 * expected + 2) << int(c.mode);
  }
}

// ---- transform sizes ----

TEST(SpectrumAnalyser, EachSizeTakesHalfItsLengthInFramesAndItsGain) {
  const struct {
    int size;
    double gain;
  } cases[] = {{256, 4.0}, {512, 3.2}, {1024, 2.4}, {2048, 1.5}, {4096, 1.2}, {1000, 1.0}, {8192, 1.0}};
  const std::vector<float> block(8192, 0.5f);
  for (const auto& c : cases) {
    SpectrumAnalyser a;
    ConfigureAsProbe(a);
    a.setMaxY(7000000);
    ASSERT_TRUE(a.setFftSize(c.size));
    Report r;
    Listen(a, r);
    a.analyse(block.data(), Bytes(block), 1);
    ASSERT_EQ(r.row.size(), size_t(c.size / 2));
    EXPECT_EQ(r.frames, std::min(c.size / 2, 4096));
    const double expected = 10 * ProbeLevel(16384.0 * r.frames, c.gain);
    EXPECT_NEAR(r.row[0], expected, 1e-6 * expected + 20) << c.size;
  }
}

TEST(SpectrumAnalyser, AbsurdSamplesSaturateInsteadOfOverflowing) {
  const struct {
    const char* what;
    float value;
    bool loud;
  } cases[] = {
      {"huge", 1e30f, true},
      {"huge negative", -1e30f, true},
      {"infinite", std::numeric_limits<float>::infinity(), true},
      {"not a number", std::numeric_limits<float>::quiet_NaN(), false},
  };
  for (const auto& c : cases) {
    const std::vector<float> block(2048, c.value);
    SpectrumAnalyser a;
    ConfigureLikeTheWindow(a);
    a.analyse(block.data(), Bytes(block), 2);
    const auto row = a.spectrum();
    EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](std::int32_t v) { return v >= 0; })) << c.what;
    if (c.loud) {
      EXPECT_GT(row[0], kDisplayHeight) << c.what;
    } else {
      EXPECT_EQ(Copy(row), std::vector<std::int32_t>(512, 0)) << c.what;
    }
  }
}

// ---- clearing ----

TEST(SpectrumAnalyser, ClearZeroesEveryRowWithoutReporting) {
  SpectrumAnalyser a;
  ConfigureLikeTheWindow(a);
  a.setMinY(3);
  a.setMixChannels(false);
  const std::vector<float> stereo =
      Block(1024, 2, [](int i, int) { return 0.5 * std::sin(2.0 * kPi * 64 * i / 1024.0); });
  a.analyse(stereo.data(), Bytes(stereo), 2);
  ASSERT_GT(a.row(1)[64], 3);
  Report r;
  Listen(a, r);
  a.clear();
  EXPECT_EQ(r.calls, 0);
  for (int row = 0; row < SpectrumAnalyser::kMaxChannels; ++row)
    EXPECT_EQ(Copy(a.row(row)), std::vector<std::int32_t>(512, 0)) << row;
  EXPECT_TRUE(a.row(10).empty());
}

// ---- real-time behaviour ----

TEST(SpectrumAnalyser, AnalysingABlockAllocatesNothing) {
  if (!pwtest::AllocationCount::available()) GTEST_SKIP() << "the sanitizers own malloc";
  const std::vector<float> block = Block(1102, 2, [](int i, int c) { return 0.4 * std::sin(0.01 * i * (c + 1)); });
  SpectrumAnalyser a;
  ConfigureLikeTheWindow(a);
  int calls = 0;
  a.setListener([&calls](std::span<const std::int32_t>, std::int32_t, std::int32_t) { ++calls; });
  pwtest::AllocationCount count("pw-spectrum");
  std::thread t([&] {
    pthread_setname_np(pthread_self(), "pw-spectrum");
    for (SpectrumWindow mode : {SpectrumWindow::Rectangular, SpectrumWindow::Hanning, SpectrumWindow::BlackmanHarris}) {
      a.setWindowMode(mode);
      a.setMixChannels(true);
      a.analyse(block.data(), Bytes(block), 2);
      a.setMixChannels(false);
      a.analyse(block.data(), Bytes(block), 2);
      a.clear();
    }
  });
  t.join();
  EXPECT_EQ(calls, 6);
  EXPECT_EQ(count.count(), 0u) << "first allocation of " << count.firstSize() << " bytes";
}

}  // namespace
