#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "dsp/peak_limiter.h"
#include "testaudio.h"

namespace {

// Runs x through the limiter as the chain does: blocks of varying size
// (from `blocks`, in turn), in place, then the drain in pieces of `drainPiece`.
std::vector<float> Limit(PeakLimiter& limiter, std::vector<float> x, const std::vector<int>& blocks,
                         bool engaged = true, int drainPiece = 1 << 20) {
  const int ch = limiter.channels();
  const size_t frames = x.size() / size_t(ch);
  std::vector<float> out;
  size_t pos = 0;
  for (size_t b = 0; pos < frames; ++b) {
    const int n = int(std::min(frames - pos, size_t(blocks[b % blocks.size()])));
    float* block = x.data() + pos * size_t(ch);
    const int got = limiter.process(block, n, engaged);
    EXPECT_LE(got, n);
    out.insert(out.end(), block, block + size_t(got) * size_t(ch));
    pos += size_t(n);
  }
  std::vector<float> tail(size_t(drainPiece) * size_t(ch));
  for (int guard = 0; guard < 100000; ++guard) {
    const int got = limiter.drain(tail.data(), drainPiece);
    if (got == 0) break;
    out.insert(out.end(), tail.begin(), tail.begin() + got * ch);
  }
  return out;
}

std::vector<float> Generate(int rate, int channels, double seconds, const std::function<double(int, double)>& f) {
  const size_t frames = size_t(seconds * rate);
  std::vector<float> x(frames * size_t(channels));
  for (size_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) x[i * size_t(channels) + size_t(c)] = float(f(c, double(i) / rate));
  return x;
}

double Db(double amplitude) { return 20 * std::log10(amplitude); }

const std::vector<int> kOddBlocks = {4096, 1, 777, 64, 3000, 5};

// Synthetic overs of every kind: the output's true peak (checked with an
// independent, longer interpolator) is at the ceiling, not above it and not
// far below; the length is the input's.
TEST(PeakLimiter, HoldsTheCeilingInTruePeak) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> white(-1, 1);
  struct Case {
    const char* name;
    int rate;
    int channels;
    double ceilingDb;
    double seconds;
    std::function<double(int, double)> signal;
  };
  const Case cases[] = {
      {"1 kHz at +6 dBFS", 44100, 2, -1.0, 1.0,
       [](int c, double t) { return 2.0 * std::sin(2 * M_PI * (1000 + 300 * c) * t); }},
      {"60 Hz at +9.5 dBFS", 48000, 2, -0.3, 2.0, [](int, double t) { return 3.0 * std::sin(2 * M_PI * 60 * t); }},
      // Samples at ±0.707 (−3 dBFS), true peak 0 dBTP: only the
      // interpolated points show the over.
      {"fs/4 at 45 degrees", 44100, 1, -1.0, 0.5,
       [](int, double t) { return std::sin(2 * M_PI * 11025 * t + M_PI / 4); }},
      {"clicks", 22050, 1, -0.3, 1.0,
       [](int, double t) { return std::fmod(t, 0.25) < 1.0 / 22050 ? 1.6 : 0.01 * std::sin(2 * M_PI * 440 * t); }},
      // Noise through a [1 2 1] / 4 low-pass (−32 dB at 0.45 × the rate):
      // full-band noise has no defined true peak, each interpolator's
      // stop band gives its own.
      {"noise bursts", 44100, 2, -1.0, 1.5,
       [&, w = std::vector<double>(4)](int c, double t) mutable {
         const double v = white(rng);
         const double y = (v + 2 * w[size_t(c) * 2] + w[size_t(c) * 2 + 1]) / 4;
         w[size_t(c) * 2 + 1] = w[size_t(c) * 2];
         w[size_t(c) * 2] = v;
         return (std::fmod(t, 0.4) < 0.1 ? 3.0 : 0.3) * y;
       }},
      {"square-ish 100 Hz", 8000, 2, -1.0, 1.0,
       [](int, double t) { return std::tanh(8 * std::sin(2 * M_PI * 100 * t)) * 1.5; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> x = Generate(c.rate, c.channels, c.seconds, c.signal);
    const size_t frames = x.size() / size_t(c.channels);
    ASSERT_GT(pwtest::TruePeakDb(x.data(), frames, c.channels), c.ceilingDb + 0.5);
    PeakLimiter limiter(c.channels, c.rate, c.ceilingDb);
    const std::vector<float> y = Limit(limiter, x, kOddBlocks);
    ASSERT_EQ(y.size(), x.size());
    const double tp = pwtest::TruePeakDb(y.data(), frames, c.channels);
    EXPECT_LE(tp, c.ceilingDb);
    EXPECT_GE(tp, c.ceilingDb - 0.5);  // limited, not just turned down
    EXPECT_EQ(limiter.heldFrames(), 0);
  }
}

// Where the true peak stays below the ceiling, or the limiter is not
// engaged, every sample comes out as it went in, at its place: the held-back
// start is not output as silence and the drain returns it exactly.
TEST(PeakLimiter, BelowTheCeilingOrDisengagedOutputIsTheInputBitForBit) {
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0, 0.1);
  struct Case {
    const char* name;
    int channels;
    double ceilingDb;
    double seconds;
    bool engaged;
    std::function<double(int, double)> signal;
  };
  const double justBelow = std::pow(10.0, -1.1 / 20);  // ceiling −1 dBTP
  const Case cases[] = {
      {"sine 0.1 dB under", 2, -1.0, 1.0, true,
       [&](int c, double t) { return justBelow * std::sin(2 * M_PI * (440 + 10 * c) * t); }},
      {"fs/4 at 45 degrees, true peak 0.2 dB under", 1, -0.3, 0.3, true,
       [](int, double t) { return std::pow(10.0, -0.5 / 20) * std::sin(2 * M_PI * 11025 * t + M_PI / 4); }},
      {"noise", 2, -1.0, 1.0, true, [&](int, double) { return noise(rng); }},
      {"silence", 1, -1.0, 0.2, true, [](int, double) { return 0.0; }},
      {"shorter than the latency", 2, -1.0, 10.0 / 44100, true,
       [](int c, double t) { return 0.3 + 0.1 * c + t; }},
      {"+6 dBFS, not engaged", 2, -1.0, 1.0, false,
       [](int, double t) { return 2.0 * std::sin(2 * M_PI * 1000 * t); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> x = Generate(44100, c.channels, c.seconds, c.signal);
    for (const std::vector<int>& blocks : {std::vector<int>{4096}, kOddBlocks, std::vector<int>{1}}) {
      PeakLimiter limiter(c.channels, 44100, c.ceilingDb);
      const std::vector<float> y = Limit(limiter, x, blocks, c.engaged, 7);
      ASSERT_EQ(y.size(), x.size());
      EXPECT_TRUE(y == x);
      EXPECT_FALSE(limiter.reducing());
    }
  }
}

// A loud stretch between quiet ones: the reduction is one gain for both
// channels, applied to the right frames (the gains measured on two
// different tones agree frame by frame), moves smoothly, begins before the
// first over (look-ahead) and leaves the quiet parts far from it exact.
TEST(PeakLimiter, DelayIsCompensatedAndTheGainIsSmoothAndLinked) {
  constexpr int kRate = 44100;
  const double start = 0.5, end = 0.8;
  const std::vector<float> x = Generate(kRate, 2, 2.5, [&](int c, double t) {
    const double level = t >= start && t < end ? 4.0 : 0.4;
    return level * std::sin(2 * M_PI * (c == 0 ? 997 : 1499) * t);
  });
  PeakLimiter limiter(2, kRate, -1.0);
  std::vector<float> y = Limit(limiter, x, kOddBlocks);
  ASSERT_EQ(y.size(), x.size());

  const size_t frames = x.size() / 2;
  const size_t first = size_t(start * kRate), last = size_t(end * kRate);
  // Untouched well before the attack can reach.
  const size_t attack = size_t(limiter.latencyFrames());
  for (size_t i = 0; i + attack + 1 < first; ++i) ASSERT_EQ(y[i * 2], x[i * 2]) << i;
  double previous = 1, steepest = 0, deepest = 1;
  for (size_t i = first - attack; i < last + size_t(0.05 * kRate); ++i) {
    const float l = x[i * 2], r = x[i * 2 + 1];
    if (std::fabs(l) < 0.05 || std::fabs(r) < 0.05) continue;
    const double gl = double(y[i * 2]) / l, gr = double(y[i * 2 + 1]) / r;
    ASSERT_NEAR(gl, gr, 1e-5) << i;
    ASSERT_GT(gl, 0) << i;
    ASSERT_LE(gl, 1.0) << i;
    steepest = std::max(steepest, std::fabs(gl - previous));
    previous = gl;
    deepest = std::min(deepest, gl);
  }
  // 4.0 down to −1 dBTP needs about −13 dB; a step would show as a jump far
  // larger than the attack's slope per skipped frame.
  EXPECT_LT(deepest, 0.25);
  EXPECT_LT(steepest, 0.05);
  // The gain is already down at the first over's peak.
  double firstPeak = 0;
  for (size_t i = first; i < first + kRate / 997; ++i) firstPeak = std::max(firstPeak, double(std::fabs(y[i * 2])));
  EXPECT_LE(Db(firstPeak), -1.0);
  // Exact again once the release has ended (−13 dB takes about 1.2 s to
  // come within 1e-5 of unity at 100 ms).
  const size_t exactFrom = last + size_t(1.4 * kRate);
  ASSERT_LT(exactFrom, frames);
  for (size_t i = exactFrom * 2; i < x.size(); ++i) ASSERT_EQ(y[i], x[i]) << i;

  // A reset starts the next run as the first one.
  limiter.reset();
  EXPECT_TRUE(Limit(limiter, x, {512}) == y);
}

// After a loud burst the gain comes back over about the release time, not
// at once and not never: still clearly down 20 ms after the hold, back to
// exactly 1 (the output the input) within about a second and a half.
TEST(PeakLimiter, ReleaseRecoversToExactlyUntouched) {
  struct Case {
    int rate;
    double burstLevel;
  };
  for (const Case c : {Case{44100, 2.0}, Case{48000, 10.0}, Case{22050, 1.5}}) {
    SCOPED_TRACE(c.rate);
    const double burstEnd = 0.3;
    const std::vector<float> x = Generate(c.rate, 1, 2.5, [&](int, double t) {
      return (t < burstEnd ? c.burstLevel : 0.5) * std::sin(2 * M_PI * 500 * t);
    });
    PeakLimiter limiter(1, c.rate, -1.0);
    const std::vector<float> y = Limit(limiter, x, {1024});
    ASSERT_EQ(y.size(), x.size());
    // Gain at the peaks of the quiet tone (every 1/500 s), after the burst.
    auto gainAround = [&](double t) {
      const size_t from = size_t(t * c.rate), to = from + size_t(c.rate / 500);
      return pwtest::Peak(y.data() + from, to - from) / pwtest::Peak(x.data() + from, to - from);
    };
    const double needed = std::pow(10.0, -1.0 / 20) / c.burstLevel;
    const double afterHold = burstEnd + PeakLimiter::kHoldSeconds + 0.02;
    EXPECT_LT(gainAround(afterHold), 1 - 0.5 * (1 - needed));
    EXPECT_GT(gainAround(afterHold + 0.3), gainAround(afterHold + 0.1));
    EXPECT_GT(gainAround(afterHold + 0.3), 0.9);
    const size_t exactFrom = size_t((burstEnd + 1.5) * c.rate);
    for (size_t i = exactFrom; i < x.size(); ++i) ASSERT_EQ(y[i], x[i]) << i;
  }
}

// atRest (when the chain may take the limiter out of its path) is false
// while a reduction is pending in the look-ahead or under way, and true
// only once the release has ended; the held frames then drain untouched.
TEST(PeakLimiter, AtRestOnlyWhenNoReductionIsPendingOrUnderWay) {
  constexpr int kRate = 44100;
  PeakLimiter limiter(1, kRate, -1.0);
  EXPECT_TRUE(limiter.atRest());
  std::vector<float> quiet = Generate(kRate, 1, 0.2, [](int, double t) { return 0.3 * std::sin(2 * M_PI * 300 * t); });
  std::vector<float> block = quiet;
  limiter.process(block.data(), int(block.size()), true);
  EXPECT_FALSE(limiter.atRest());  // its last frames are not judged yet
  block = quiet;
  limiter.process(block.data(), int(block.size()), false);
  EXPECT_TRUE(limiter.atRest());  // nothing was over
  // One over as the block's last frame: not output yet, but already pending.
  block = quiet;
  block.back() = 1.5f;
  limiter.process(block.data(), int(block.size()), true);
  EXPECT_FALSE(limiter.atRest());
  // Disengaged from here: the release runs its course.
  block = quiet;
  limiter.process(block.data(), int(block.size()), false);
  EXPECT_FALSE(limiter.atRest());
  for (int i = 0; i < 8; ++i) {
    block = quiet;
    limiter.process(block.data(), int(block.size()), false);
  }
  EXPECT_TRUE(limiter.atRest());
  // The frames held from the previous block, then this one, all untouched.
  const size_t held = size_t(limiter.latencyFrames());
  std::vector<float> out = quiet;
  const int got = limiter.process(out.data(), int(out.size()), false);
  ASSERT_EQ(size_t(got), quiet.size());
  out.resize(quiet.size() + held);
  ASSERT_EQ(size_t(limiter.drain(out.data() + got, int(held))), held);
  std::vector<float> expected(quiet.end() - long(held), quiet.end());
  expected.insert(expected.end(), quiet.begin(), quiet.end());
  EXPECT_TRUE(out == expected);
}

// The ceiling set from another use of the same limiter is taken up at the
// next block; nonsense is ignored and the range is bounded.
TEST(PeakLimiter, CeilingIsClampedAndTakenUpAtTheNextBlock) {
  PeakLimiter limiter(2, 44100, -1.0);
  EXPECT_EQ(limiter.ceilingDb(), -1.0);
  limiter.setCeilingDb(std::nan(""));
  EXPECT_EQ(limiter.ceilingDb(), -1.0);
  limiter.setCeilingDb(3);
  EXPECT_EQ(limiter.ceilingDb(), 0.0);
  limiter.setCeilingDb(-40);
  EXPECT_EQ(limiter.ceilingDb(), -20.0);

  const std::vector<float> x = Generate(44100, 2, 1.0, [](int, double t) { return 1.5 * std::sin(2 * M_PI * 300 * t); });
  for (double ceiling : {-0.3, -1.0, -6.0}) {
    limiter.reset();
    limiter.setCeilingDb(ceiling);
    const std::vector<float> y = Limit(limiter, x, {4096});
    const double tp = pwtest::TruePeakDb(y.data(), y.size() / 2, 2);
    EXPECT_LE(tp, ceiling) << ceiling;
    EXPECT_GE(tp, ceiling - 0.1) << ceiling;
  }
}

}  // namespace
