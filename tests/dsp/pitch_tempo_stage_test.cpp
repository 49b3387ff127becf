// Pitch/tempo stage: bypass exactness, time alignment and length, pitch
// accuracy, ratio changes, flush, switching in and out, no allocation.
#include "dsp/fft.h"
#include "dsp/pitch_tempo_stage.h"
#include "testaudio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

// ---- allocation counter ------------------------------------------------------
// Counts global operator new calls while armed (only around process calls),
// and posix_memalign calls, where Rubber Band's aligned buffers (its
// resampler's filter buffers among them) come from; its growable tables are
// std::vectors and go through operator new.
namespace {
std::atomic<bool> g_countAllocs{false};
std::atomic<long> g_allocs{0};
}  // namespace

void* operator new(std::size_t n) {
  if (g_countAllocs.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// Takes the place of the C library's for the whole test program, shared
// libraries included; aligned_alloc does the allocating.
extern "C" int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
  if (g_countAllocs.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = std::aligned_alloc(alignment, (std::max<std::size_t>(n, 1) + alignment - 1) / alignment * alignment);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
// Not inlined, so the compiler does not pair free() with operator new.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr double kPi = 3.14159265358979323846;

// Input source for the read function; may be swapped between runs.
struct Source {
  std::vector<float> data;
  int channels = 1;
  size_t pos = 0;          // floats handed out
  size_t maxFrames = 0;    // if set, short reads of at most this many frames

  static int Read(void* user, float* buffer, int floats) {
    auto* s = static_cast<Source*>(user);
    if (s->maxFrames) floats = std::min(floats, int(s->maxFrames) * s->channels);
    const size_t want = size_t(floats);
    const size_t n = std::min(want, s->data.size() - s->pos);
    std::memcpy(buffer, s->data.data() + s->pos, n * sizeof(float));
    s->pos += n;
    return int(n);
  }
};

struct Stage {
  Source src;
  std::unique_ptr<PitchTempoStage> h;
  Stage(int channels, int rate) {
    src.channels = channels;
    h = PitchTempoStage::create(channels, rate, &Source::Read, &src);
    if (!h) throw std::runtime_error("no stage");
  }
  void Set(double pitch, double duration) {
    h->setPitchRatio(pitch);
    h->setDurationRatio(duration);
  }
  // Appends up to `frames` frames of output; returns frames written.
  int Process(std::vector<float>& out, int frames) {
    const size_t at = out.size();
    out.resize(at + size_t(frames) * size_t(src.channels));
    const int n = h->process(out.data() + at, frames);
    out.resize(at + size_t(std::max(n, 0)) * size_t(src.channels));
    return n;
  }
  std::vector<float> RunToEnd(int callFrames) {
    std::vector<float> out;
    while (Process(out, callFrames) > 0) {
    }
    return out;
  }
};

// Deterministic noise burst with an instant attack, added at `at` seconds.
void AddBurst(std::vector<float>& x, int channels, int rate, double at, double seconds = 0.004,
              double amplitude = 0.8) {
  uint32_t seed = 12345u + uint32_t(at * 1000);
  const size_t start = size_t(std::lround(at * rate));
  const size_t len = size_t(seconds * rate);
  for (size_t i = 0; i < len && (start + i) * channels < x.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double v = (double(seed >> 8) / double(1 << 24) * 2.0 - 1.0) * amplitude;
    const double env = 1.0 - double(i) / double(len);
    for (int c = 0; c < channels; ++c) x[(start + i) * channels + c] += float(v * env);
  }
}

// Times (s) where the louder channel rises above `threshold` after at least
// `gap` seconds below it.
std::vector<double> Onsets(const std::vector<float>& x, int channels, int rate, double threshold,
                           double gap = 0.03) {
  std::vector<double> found;
  const size_t frames = x.size() / size_t(channels);
  const size_t gapFrames = size_t(gap * rate);
  size_t quiet = gapFrames;  // the signal start counts as after silence
  for (size_t i = 0; i < frames; ++i) {
    double v = 0;
    for (int c = 0; c < channels; ++c) v = std::max(v, std::fabs(double(x[i * channels + c])));
    if (v >= threshold) {
      if (quiet >= gapFrames) found.push_back(double(i) / rate);
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  return found;
}

double Cents(double f, double ref) { return 1200.0 * std::log2(f / ref); }

// ---- bypass ------------------------------------------------------------------

TEST(PitchTempoStage, BypassIsBitExactOverOddCallSizes) {
  for (int channels : {1, 2}) {
    const int rate = 44100;
    Stage s(channels, rate);
    ASSERT_NE(s.h, nullptr);
    if (channels == 2) s.src.maxFrames = 97;  // a source that reads short
    s.src.data = pwtest::Sine(441.7, rate, channels, 100000, 0.7);
    for (size_t i = 0; i < s.src.data.size(); i += 97) s.src.data[i] = -0.9f;  // not a pure tone
    std::vector<float> out;
    const int sizes[] = {1, 7, 333, 4097, 1000, 65536};
    for (int i = 0; s.Process(out, sizes[i % 6]) > 0; ++i) {
    }
    ASSERT_EQ(out.size(), s.src.data.size()) << channels;
    EXPECT_EQ(std::memcmp(out.data(), s.src.data.data(), out.size() * sizeof(float)), 0) << channels;
    EXPECT_EQ(s.Process(out, 512), 0);
    EXPECT_EQ(s.Process(out, 0), 0);
    EXPECT_EQ(s.Process(out, -5), 0);
  }
}

// ---- alignment and length ----------------------------------------------------

struct RatioCase {
  int rate, channels;
  double pitch, duration;
};

// Sharp attacks (20 ms noise hits) at 0, 0.4, 0.8 and 1.15 s of a 1.2 s
// input: each lands at its time × duration ratio, the first at 0 and whole
// (no leading silence, nothing cut), the last is still there, and the length
// is the input's × duration ratio.
TEST(PitchTempoStage, OnsetsAndLengthFollowTheDurationRatio) {
  const double semi = std::pow(2.0, 1.0 / 24);
  const RatioCase cases[] = {
      {44100, 2, 1.0, 0.5},    {44100, 2, 1.0, 2.0},     {44100, 1, 1.0, 0.7071},
      {44100, 1, 1.0, 1.4142}, {44100, 2, 0.5, 1.0},     {44100, 2, 2.0, 1.0},
      {48000, 1, semi, 1.0},   {48000, 2, 2.0, 0.5},     {22050, 2, 0.5, 2.0},
      {22050, 1, semi, 0.7071}, {44100, 2, 0.5, 0.5},    {8000, 1, 2.0, 1.4142},
      {8000, 2, 0.5, 0.7071},   {8000, 2, 2.0, 2.0},     {48000, 1, 0.5, 0.5},
  };
  const double times[] = {0.0, 0.4, 0.8, 1.15};
  for (const RatioCase& k : cases) {
    SCOPED_TRACE(testing::Message() << k.rate << " Hz, " << k.channels << " ch, pitch " << k.pitch
                                    << ", duration " << k.duration);
    Stage s(k.channels, k.rate);
    const size_t frames = size_t(1.2 * k.rate);
    s.src.data.assign(frames * k.channels, 0.0f);
    for (double t : times) AddBurst(s.src.data, k.channels, k.rate, t, 0.02);
    s.Set(k.pitch, k.duration);
    const std::vector<float> out = s.RunToEnd(1024);

    const double outSeconds = double(out.size() / k.channels) / k.rate;
    EXPECT_NEAR(outSeconds, 1.2 * k.duration, 0.001);

    // The analysis window is a fixed number of samples (2048 from 8 to 32
    // kHz): at 8 kHz it spans 256 ms and transients smear accordingly.
    const double tolerance = k.rate >= 16000 ? 0.010 : 0.045;
    const double peak = pwtest::Peak(out.data(), out.size());
    const std::vector<double> onsets = Onsets(out, k.channels, k.rate, 0.25 * peak);
    ASSERT_EQ(onsets.size(), std::size(times));
    for (size_t i = 0; i < onsets.size(); ++i) EXPECT_NEAR(onsets[i], times[i] * k.duration, tolerance) << i;

    // The first burst comes out as strong as the second: nothing cut.
    const size_t span = size_t(0.03 * k.duration * k.rate) * k.channels;
    const size_t second = size_t(std::max(0.0, onsets[1] - 0.01) * k.rate) * k.channels;
    EXPECT_GT(pwtest::Rms(out.data(), span), 0.5 * pwtest::Rms(out.data() + second, span));
  }
}

TEST(PitchTempoStage, OctaveUpDoublesTheFrequencyAndKeepsTheLength) {
  for (int channels : {1, 2}) {
    const int rate = 44100;
    Stage s(channels, rate);
    if (channels == 2) s.src.maxFrames = 300;  // a source that reads short
    s.src.data = pwtest::Sine(440.0, rate, channels, size_t(1.2 * rate));
    s.Set(2.0, 1.0);
    const std::vector<float> out = s.RunToEnd(777);
    const size_t frames = out.size() / channels;
    EXPECT_NEAR(double(frames) / rate, 1.2, 0.001);
    ASSERT_GT(frames, size_t(1.0 * rate));
    const float* mid = out.data() + size_t(0.2 * rate) * channels;
    for (int c = 0; c < channels; ++c) {
      const double f = pwtest::ZeroCrossingFrequency(mid, size_t(0.8 * rate), channels, c, rate);
      EXPECT_NEAR(Cents(f, 880.0), 0.0, 0.5) << "channel " << c << ": " << f << " Hz";
    }
  }
}

// ---- ratio changes -----------------------------------------------------------

// A change made before a call applies from that call on: from bypass the new
// pitch is there right after the crossfade, between two pitches at once; a
// duration change shows in the rate at which input is consumed.
TEST(PitchTempoStage, RatioChangeTakesEffectAtTheNextCall) {
  struct Change {
    double p0, d0, p1, d1;
  };
  const Change changes[] = {
      {1.0, 1.0, 1.5, 1.0}, {1.5, 1.0, 2.0, 1.0}, {0.75, 1.0, 1.0, 1.0},
      {1.0, 1.0, 1.0, 2.0}, {1.0, 0.5, 1.0, 1.0}, {1.2, 0.8, 0.9, 1.3},
  };
  const int rate = 44100;
  for (const Change& k : changes) {
    SCOPED_TRACE(testing::Message() << k.p0 << "/" << k.d0 << " -> " << k.p1 << "/" << k.d1);
    Stage s(1, rate);
    s.src.data = pwtest::Sine(500.0, rate, 1, size_t(4 * rate));
    s.Set(k.p0, k.d0);
    std::vector<float> out;
    while (out.size() < size_t(0.5 * rate)) s.Process(out, 512);
    const size_t changeAt = out.size();
    s.Set(k.p1, k.d1);
    size_t inputAt[2] = {0, 0};
    while (out.size() < changeAt + size_t(1.0 * rate)) {
      if (inputAt[0] == 0 && out.size() >= changeAt + size_t(0.2 * rate)) inputAt[0] = s.src.pos;
      s.Process(out, 512);
    }
    inputAt[1] = s.src.pos;

    // From 20 ms after the change (past the crossfade): the new pitch.
    const size_t from = changeAt + size_t(0.02 * rate);
    const double f = pwtest::ZeroCrossingFrequency(out.data() + from, size_t(0.3 * rate), 1, 0, rate);
    EXPECT_NEAR(Cents(f, 500.0 * k.p1), 0.0, 2.0) << f << " Hz";
    const double consumed = double(inputAt[1] - inputAt[0]) / rate;
    EXPECT_NEAR(consumed, 0.8 / k.d1, 0.03) << "input consumed over 0.8 s of output";
  }
}

// While the stretcher runs, a pitch move is heard within a few
// milliseconds of output (it acts behind the analysis window), long before
// the stretcher's lead that a tempo move waits for.
TEST(PitchTempoStage, PitchMoveIsHeardWellBeforeTheStretchersLead) {
  struct Move {
    double p0, p1, duration;
    int channels;
  };
  const Move moves[] = {{1.5, 2.0, 1.0, 1}, {2.0, 0.5, 1.0, 2}, {1.0059, 1.1225, 0.8, 2}, {0.9, 0.8, 1.25, 1}};
  const int rate = 44100;
  for (const Move& m : moves) {
    SCOPED_TRACE(testing::Message() << m.p0 << " -> " << m.p1 << " at duration " << m.duration);
    Stage s(m.channels, rate);
    s.src.data = pwtest::Sine(300.0, rate, m.channels, size_t(4 * rate));
    s.Set(m.p0, m.duration);
    std::vector<float> out;
    while (out.size() < size_t(rate * m.channels)) s.Process(out, 512);
    const size_t at = out.size() / size_t(m.channels);
    s.Set(m.p1, m.duration);
    while (out.size() < (at + size_t(rate / 2)) * size_t(m.channels)) s.Process(out, 512);

    // The first 10 ms window whose frequency has crossed the middle.
    const size_t window = size_t(rate / 100), frames = out.size() / size_t(m.channels);
    const double middle = 300.0 * std::sqrt(m.p0 * m.p1);
    long crossedAt = -1;
    for (size_t c = at; c + window < frames && crossedAt < 0; c += 22) {
      const double f = pwtest::ZeroCrossingFrequency(out.data() + c * size_t(m.channels), window, m.channels, 0, rate);
      if (m.p1 > m.p0 ? f > middle : f < middle) crossedAt = long(c + window / 2 - at);
    }
    ASSERT_GE(crossedAt, 0) << "the new pitch never came";
    const int lead = s.h->latencyFrames();
    EXPECT_GT(lead, rate / 50) << "the stretcher's lead is tens of milliseconds";
    EXPECT_LT(crossedAt, std::min<long>(rate / 100 + long(window) / 2, lead / 2)) << crossedAt << " frames";
  }
}

// ---- ratio range and units ---------------------------------------------------

// Ratios beyond the range act as its ends: the output is, sample for
// sample, the one the end values give.
TEST(PitchTempoStage, RatiosBeyondTheRangeAreHeldAtItsEnds) {
  struct Case {
    double pitch, duration, heldPitch, heldDuration;
  };
  const Case cases[] = {
      {8.0, 0.1, 2.0, 0.5}, {0.125, 4.0, 0.5, 2.0}, {4.0, 3.0, 2.0, 2.0}, {0.2, 0.25, 0.5, 0.5},
  };
  const int rate = 44100, channels = 2;
  std::vector<float> input = pwtest::Sine(330.0, rate, channels, size_t(0.3 * rate));
  AddBurst(input, channels, rate, 0.15);
  auto run = [&](double pitch, double duration) {
    Stage s(channels, rate);
    s.src.data = input;
    s.Set(pitch, duration);
    return s.RunToEnd(1024);
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "pitch " << k.pitch << ", duration " << k.duration);
    const std::vector<float> held = run(k.heldPitch, k.heldDuration);
    EXPECT_NEAR(double(held.size() / channels) / rate, 0.3 * k.heldDuration, 0.001);
    const std::vector<float> beyond = run(k.pitch, k.duration);
    ASSERT_EQ(beyond.size(), held.size());
    EXPECT_EQ(std::memcmp(beyond.data(), held.data(), held.size() * sizeof(float)), 0);
  }
}

TEST(PitchTempoStage, SemitonesAndTempoStepsSetTheRatios) {
  Stage s(1, 44100);
  EXPECT_EQ(s.h->pitchRatio(), 1.0);
  EXPECT_EQ(s.h->durationRatio(), 1.0);
  struct Case {
    double steps, pitch, duration;
  };
  const Case cases[] = {
      {12, 2.0, 0.5}, {-12, 0.5, 2.0}, {0, 1.0, 1.0}, {7, std::pow(2.0, 7.0 / 12), std::pow(2.0, -7.0 / 12)},
      {-0.5, std::pow(2.0, -0.5 / 12), std::pow(2.0, 0.5 / 12)},
  };
  for (const Case& k : cases) {
    s.h->setPitchSemitones(k.steps);
    s.h->setTempoSteps(k.steps);
    EXPECT_DOUBLE_EQ(s.h->pitchRatio(), k.pitch) << k.steps;
    EXPECT_DOUBLE_EQ(s.h->durationRatio(), k.duration) << k.steps;
  }
}

TEST(PitchTempoStage, CreateRefusesWhatItCannotProcess) {
  Source src;
  const struct {
    int channels, rate;
  } refused[] = {{0, 44100}, {3, 44100}, {-1, 44100}, {1, 999}, {2, 384001}, {2, 0}};
  for (const auto& c : refused)
    EXPECT_EQ(PitchTempoStage::create(c.channels, c.rate, &Source::Read, &src), nullptr)
        << c.channels << " ch, " << c.rate << " Hz";
  const auto stage = PitchTempoStage::create(2, 8000, &Source::Read, &src);
  ASSERT_NE(stage, nullptr);
  EXPECT_EQ(stage->channels(), 2);
  EXPECT_EQ(stage->sampleRate(), 8000);
}

// ---- flush -------------------------------------------------------------------

TEST(PitchTempoStage, FlushDropsEverything) {
  const int rate = 44100, channels = 2;
  const double ratios[][2] = {{1.0, 1.0}, {1.3, 1.0}, {0.8, 1.4142}};
  for (const auto& r : ratios) {
    const double pitch = r[0], duration = r[1];
    SCOPED_TRACE(testing::Message() << pitch << "/" << duration);
    Stage s(channels, rate);
    s.Set(pitch, duration);
    // Flushed mid-stream, then after the end of the input.
    for (bool toEnd : {false, true}) {
      s.src.data = pwtest::Sine(440.0, rate, channels, size_t(0.4 * rate), 0.9);
      s.src.pos = 0;
      std::vector<float> before;
      if (toEnd) {
        before = s.RunToEnd(4096);
      } else {
        while (before.size() < size_t(0.2 * rate) * channels) s.Process(before, 1000);
      }
      s.h->flush();

      // New input: silence with one burst at 0.5 s.
      s.src.data.assign(size_t(0.8 * rate) * channels, 0.0f);
      s.src.pos = 0;
      AddBurst(s.src.data, channels, rate, 0.5);
      const std::vector<float> out = s.RunToEnd(1000);
      EXPECT_NEAR(double(out.size() / channels) / rate, 0.8 * duration, 0.001) << toEnd;
      const size_t quiet = size_t((0.5 * duration - 0.06) * rate) * channels;
      ASSERT_GT(out.size(), quiet);
      EXPECT_LT(pwtest::Peak(out.data(), quiet), 1e-4) << "residue of the earlier signal, " << toEnd;
      const std::vector<double> onsets = Onsets(out, channels, rate, 0.2);
      ASSERT_EQ(onsets.size(), 1u) << toEnd;
      EXPECT_NEAR(onsets[0], 0.5 * duration, 0.010) << toEnd;
    }
  }
}

// ---- switching in and out of processing --------------------------------------

struct Step {
  double at;  // output seconds at which the ratios change
  double pitch, duration;
};

// Runs to the end, changing ratios before the first call at or after each
// step's time; returns the output and the exact output time of each change.
std::vector<float> RunSchedule(Stage& s, int rate, const std::vector<Step>& steps, int callFrames,
                               std::vector<double>* changedAt) {
  std::vector<float> out;
  size_t next = 0;
  for (;;) {
    const double now = double(out.size() / s.src.channels) / rate;
    if (next < steps.size() && now >= steps[next].at) {
      s.Set(steps[next].pitch, steps[next].duration);
      changedAt->push_back(now);
      ++next;
    }
    if (s.Process(out, callFrames) <= 0) break;
  }
  return out;
}

// In: +3 st and 25 % faster; a change to -3 st and 20 % slower; out; in: an
// octave down and slower; out.
const std::vector<Step> kSwitches = {
    {0.40, std::pow(2.0, 3.0 / 12), 0.8}, {1.00, std::pow(2.0, -3.0 / 12), 1.25},
    {1.80, 1.0, 1.0},                     {2.30, 0.5, 1.4142},
    {3.00, 1.0, 1.0},
};

TEST(PitchTempoStage, SwitchingInAndOutIsClickFree) {
  const int rate = 44100;
  for (int channels : {1, 2}) {
    Stage s(channels, rate);
    const double f = 440.0, amp = 0.5;
    s.src.data = pwtest::Sine(f, rate, channels, size_t(3.5 * rate), amp);
    std::vector<double> at;
    const std::vector<float> out = RunSchedule(s, rate, kSwitches, 512, &at);
    ASSERT_EQ(at.size(), kSwitches.size());
    // The highest tone present is 440 Hz × 2^(3/12); its steepest slope,
    // with a margin for the stretcher's slight amplitude wobble.
    const double maxSlope = amp * 2 * kPi * f * std::pow(2.0, 3.0 / 12) / rate;
    double worst = 0;
    size_t worstAt = 0;
    for (size_t i = channels; i < out.size(); ++i) {
      const double jump = std::fabs(double(out[i]) - out[i - channels]);
      if (jump > worst) worst = jump, worstAt = i / channels;
    }
    EXPECT_LT(worst, 1.5 * maxSlope) << channels << " ch, at " << double(worstAt) / rate << " s";
  }
}

// A click train (irregular spacing, so every click can be told apart) runs
// through the schedule. Entering processing continues the timeline exactly;
// after a change between two non-unity ratios the stretcher's own mapping is
// measured from the clicks; leaving resumes the input where that mapping had
// reached. Every click is found where it belongs, none twice.
TEST(PitchTempoStage, SwitchingInAndOutKeepsTheTimeline) {
  const int rate = 44100, channels = 2;
  Stage s(channels, rate);
  const double length = 3.4;
  s.src.data.assign(size_t(length * rate) * channels, 0.0f);
  std::vector<double> clicks;
  for (int k = 0; 0.1 * k < length - 0.05; ++k) {
    clicks.push_back(0.1 * k + 0.004 * ((k * 37) % 7));
    AddBurst(s.src.data, channels, rate, clicks.back(), 0.003);
  }
  std::vector<double> at;
  const std::vector<float> out = RunSchedule(s, rate, kSwitches, 512, &at);
  ASSERT_EQ(at.size(), kSwitches.size());
  const std::vector<double> onsets = Onsets(out, channels, rate, 0.2, 0.02);

  // Nearest onset to an expected output time.
  auto nearest = [&](double expect) {
    double best = 1e9;
    for (double o : onsets)
      if (std::fabs(o - expect) < std::fabs(best)) best = o - expect;
    return best;
  };
  auto inFade = [&](double o) {
    for (double x : at)
      if (o > x - 0.005 && o < x + 0.03) return true;
    return false;
  };
  // Output time of input t on the line out = a + d × t (one per segment).
  struct Line {
    double a, d;
  };
  std::vector<Line> lines;
  std::vector<double> ends;  // each line holds until this output time
  // Bypass from the start.
  lines.push_back({0.0, 1.0});
  ends.push_back(at[0]);
  // In: exactly continuous at the switch.
  {
    const double in = at[0];
    lines.push_back({at[0] - in * kSwitches[0].duration, kSwitches[0].duration});
    ends.push_back(at[1]);
  }
  // Changed ratios: fit the offset from the clicks that follow once the
  // stretcher has taken the change over (its latency, ~50 ms).
  {
    const double d = kSwitches[1].duration;
    const double naiveIn = (at[1] - lines[1].a) / lines[1].d;
    double bestA = 0, bestErr = 1e9;
    for (double off = -0.1; off <= 0.1; off += 0.0005) {
      const double a = at[1] - naiveIn * d + off;
      double err = 0;
      for (double t : clicks) {
        const double o = a + d * t;
        if (o > at[1] + 0.15 && o < at[2] - 0.01) err += std::min(0.02, std::fabs(nearest(o)));
      }
      if (err < bestErr) bestErr = err, bestA = a;
    }
    lines.push_back({bestA, d});
    ends.push_back(at[2]);
  }
  // Out, in, out.
  for (int i = 2; i < 5; ++i) {
    const Line& prev = lines.back();
    const double in = (at[i] - prev.a) / prev.d;
    const double d = kSwitches[i].duration;
    lines.push_back({at[i] - in * d, d});
    ends.push_back(i + 1 < int(at.size()) ? at[i + 1] : 1e9);
  }

  int checked = 0;
  std::vector<double> expected;
  for (double t : clicks) {
    for (size_t j = 0; j < lines.size(); ++j) {
      const double o = lines[j].a + lines[j].d * t;
      const double start = j == 0 ? 0.0 : at[j - 1];
      if (o < start || o >= ends[j]) continue;
      expected.push_back(o);
      if (inFade(o) || (j == 2 && o < at[1] + 0.15)) continue;
      EXPECT_LT(std::fabs(nearest(o)), 0.010)
          << "click at input " << t << " s, expected at output " << o << " s";
      ++checked;
    }
  }
  EXPECT_GT(checked, 25);
  // No stray onsets: nothing repeated or lost across the switches.
  for (double o : onsets) {
    double best = 1e9;
    for (double e : expected) best = std::min(best, std::fabs(o - e));
    EXPECT_LT(best, 0.03) << "stray onset at " << o << " s";
  }
  // The output ends where the last input frame maps to.
  const Line& last = lines.back();
  EXPECT_NEAR(double(out.size() / channels) / rate, last.a + last.d * length, 0.002);
}

// ---- real-time safety --------------------------------------------------------

TEST(PitchTempoStage, ProcessDoesNotAllocate) {
  const int rate = 44100, channels = 2;
  Stage s(channels, rate);
  s.src.data = pwtest::Sine(330.0, rate, channels, size_t(2.5 * rate));
  AddBurst(s.src.data, channels, rate, 1.0);
  std::vector<float> out(size_t(70000) * channels);
  auto call = [&](int frames) {
    g_allocs = 0;
    g_countAllocs = true;
    const int n = s.h->process(out.data(), frames);
    g_countAllocs = false;
    EXPECT_EQ(g_allocs.load(), 0) << "allocations in a call of " << frames << " frames";
    return n;
  };
  // From the very first call, through bypass, crossfades, ratio changes and
  // the end of the input.
  s.Set(1.5, 0.8);
  // Semitone pitches (irrational ratios), and ratios beyond the range, which
  // are held at its ends.
  const double ratios[][2] = {{1.0, 1.0},
                              {std::pow(2.0, 7.0 / 12), 0.8},
                              {0.125, 2.0},
                              {1.0, 1.0},
                              {8.0, 0.5},
                              {std::pow(2.0, -5.3 / 12), 1.1},
                              {std::pow(2.0, 11.9 / 12), 1.0},
                              {std::pow(2.0, -0.01 / 12), 1.3}};
  const int sizes[] = {512, 1, 4096, 333, 2048, 1024, 65536, 777};
  int i = 0;
  while (call(sizes[i % 8]) > 0) {
    ++i;
    if (i % 3 == 0) s.Set(ratios[(i / 3) % 8][0], ratios[(i / 3) % 8][1]);
    if (i % 5 == 0) s.h->setFormantPreserved(!s.h->formantPreserved());  // switching allocates nothing either
  }
  EXPECT_GT(i, 12);
}

// A vowel-like tone: harmonics of 110 Hz shaped by three formant peaks
// (730, 1090, 2440 Hz) that do not move with the fundamental.
std::vector<float> Vowel(int rate, double seconds, double f0) {
  const double formants[3][3] = {{730, 90, 1.0}, {1090, 110, 0.6}, {2440, 160, 0.35}};
  std::vector<float> x(size_t(seconds * rate));
  for (int k = 1; k * f0 < 5000; ++k) {
    const double f = k * f0;
    double a = 0.02;
    for (const auto& fm : formants) a += fm[2] * std::exp(-std::pow((f - fm[0]) / fm[1], 2));
    for (size_t i = 0; i < x.size(); ++i) x[i] += float(0.25 * a * std::sin(2 * kPi * f * double(i) / rate + k));
  }
  return x;
}

// Log energy in half-octave bands from 500 Hz to 4 kHz (each holds several
// harmonics at any of the pitches compared), mean removed: the
// spectral envelope, without the level.
std::vector<double> Envelope(const std::vector<float>& x, int rate) {
  const int n = 8192;
  auto fft = RealFft::create(n);
  std::vector<double> power(n / 2, 0.0);
  std::vector<float> frame(n), spectrum(n);
  for (size_t at = size_t(rate); at + n <= x.size() - size_t(rate) / 2; at += n / 2) {  // steady middle
    for (int i = 0; i < n; ++i) frame[i] = x[at + i] * float(0.5 - 0.5 * std::cos(2 * kPi * i / n));
    fft->forward(frame.data(), spectrum.data());
    for (int b = 0; b < n / 2; ++b) power[b] += double(spectrum[2 * b]) * spectrum[2 * b] + double(spectrum[2 * b + 1]) * spectrum[2 * b + 1];
  }
  std::vector<double> bands;
  for (double lo = 500; lo < 4000; lo *= std::sqrt(2.0)) {
    const double hi = lo * std::sqrt(2.0);
    double e = 1e-12;
    for (int b = int(lo * n / rate); b < int(hi * n / rate); ++b) e += power[b];
    bands.push_back(10 * std::log10(e));
  }
  double mean = 0;
  for (double b : bands) mean += b / double(bands.size());
  for (double& b : bands) b -= mean;
  return bands;
}

double EnvelopeDistance(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum / double(a.size()));  // dB
}

// Seven semitones up: plain shifting moves the formants up with the
// harmonics; preserving them keeps the envelope much closer to the
// original's.
TEST(PitchTempoStage, FormantPreservationKeepsTheSpectralEnvelope) {
  const int rate = 44100;
  const std::vector<float> vowel = Vowel(rate, 4.0, 110.0);
  const std::vector<double> original = Envelope(vowel, rate);
  double distance[2];
  for (int preserve = 0; preserve < 2; ++preserve) {
    Stage s(1, rate);
    s.src.data = vowel;
    s.h->setFormantPreserved(preserve == 1);
    EXPECT_EQ(s.h->formantPreserved(), preserve == 1);
    s.Set(std::pow(2.0, 7.0 / 12), 1.0);
    distance[preserve] = EnvelopeDistance(Envelope(s.RunToEnd(1024), rate), original);
  }
  RecordProperty("plain_db", std::to_string(distance[0]));
  RecordProperty("preserved_db", std::to_string(distance[1]));
  EXPECT_GT(distance[0], 4.0) << "plain shifting should move the envelope";
  EXPECT_LT(distance[1], 0.5 * distance[0]) << "plain " << distance[0] << " dB, preserved " << distance[1] << " dB";
}

// Switching formant preservation while a pitch-shifted tone plays causes
// no jump beyond the tone's own steepest step.
TEST(PitchTempoStage, SwitchingFormantPreservationIsClickFree) {
  const int rate = 44100;
  Stage s(1, rate);
  const double f = 440.0, amp = 0.5;
  s.src.data = pwtest::Sine(f, rate, 1, size_t(3.0 * rate), amp);
  s.Set(std::pow(2.0, 4.0 / 12), 1.0);
  std::vector<float> out;
  for (int call = 0; s.Process(out, 512) > 0; ++call)
    if (call % 40 == 20) s.h->setFormantPreserved(!s.h->formantPreserved());
  const double maxSlope = amp * 2 * kPi * f * std::pow(2.0, 4.0 / 12) / rate;
  double worst = 0;
  for (size_t i = 1; i < out.size(); ++i) worst = std::max(worst, std::fabs(double(out[i]) - out[i - 1]));
  EXPECT_LT(worst, 1.5 * maxSlope);
}

}  // namespace
