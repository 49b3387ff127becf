#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "dsp/speed.h"
#include "testaudio.h"

namespace {

constexpr int kRate = 44100;
constexpr int kGet = 2048;  // what the chain asks per getsamples

using Dsp = std::unique_ptr<SpeedStage>;

Dsp MakeDsp(int channels, float percent) {
  Dsp d = std::make_unique<SpeedStage>();
  d->setSpeedPercent(percent);  // before configure, as at start-up
  d->clear();
  d->configure(channels);
  return d;
}

// Everything getsamples has ready, appended to out; returns the frames read.
size_t Drain(SpeedStage* h, int channels, std::vector<float>& out) {
  std::vector<float> step(size_t(kGet) * size_t(channels));
  size_t total = 0;
  for (;;) {
    const int n = h->get(step.data(), kGet);
    if (n == 0) return total;
    EXPECT_GT(n, 0);
    EXPECT_LE(n, kGet);
    out.insert(out.end(), step.begin(), step.begin() + size_t(n) * size_t(channels));
    total += size_t(n);
  }
}

// Feeds `in` the way the chain does (put a block, drain), then flushes and
// drains the tail.
std::vector<float> Process(SpeedStage* h, const std::vector<float>& in, int channels, int blockFrames) {
  std::vector<float> out;
  const size_t frames = in.size() / size_t(channels);
  for (size_t pos = 0; pos < frames; pos += size_t(blockFrames)) {
    const int n = int(std::min(frames - pos, size_t(blockFrames)));
    h->put(in.data() + pos * size_t(channels), n);
    Drain(h, channels, out);
  }
  h->endOfInput();
  Drain(h, channels, out);
  return out;
}

double MaxStep(const std::vector<float>& x, int channels, int channel) {
  double m = 0;
  for (size_t i = size_t(channels); i < x.size(); i += size_t(channels))
    m = std::max(m, std::fabs(double(x[i + size_t(channel)]) - x[i - size_t(channels) + size_t(channel)]));
  return m;
}

TEST(Speed, LengthAndPitchFollowTheRatio) {
  struct Case { float percent; int channels; int block; };
  const Case cases[] = {
      {-50, 2, 65536}, {100, 2, 65536}, {100, 1, 131072}, {25, 2, 4096}, {-12.5f, 1, 777}, {0, 2, 65536},
  };
  const size_t frames = 3 * kRate;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "percent " << c.percent << " channels " << c.channels << " block " << c.block);
    const double ratio = 100.0 / (100.0 + c.percent);
    Dsp d = MakeDsp(c.channels, c.percent);
    const auto in = pwtest::Sine(1000, kRate, c.channels, frames);
    const auto out = Process(d.get(), in, c.channels, c.block);
    const double outFrames = double(out.size() / size_t(c.channels));
    EXPECT_NEAR(outFrames, double(frames) * ratio, 2.0);

    // Skip the edges, where the converter's filter meets the start and end.
    const size_t edge = 4096;
    ASSERT_GT(outFrames, 4.0 * edge);
    const size_t span = size_t(outFrames) - 2 * edge;
    for (int ch = 0; ch < c.channels; ++ch) {
      const double f = pwtest::ZeroCrossingFrequency(out.data() + edge * size_t(c.channels), span, c.channels, ch, kRate);
      EXPECT_NEAR(f, 1000.0 / ratio, 1000.0 / ratio * 1e-4);
    }
    EXPECT_NEAR(pwtest::Peak(out.data() + edge * size_t(c.channels), span * size_t(c.channels)), 0.5, 0.01);
    EXPECT_EQ(d->get(std::vector<float>(size_t(kGet) * 2).data(), kGet), 0);
  }
}

TEST(Speed, FlushReleasesWhatWasHeldBack) {
  Dsp d = MakeDsp(2, -50);
  const size_t frames = 10000;
  const auto in = pwtest::Sine(440, kRate, 2, frames);
  std::vector<float> out;
  d->put(in.data(), int(frames));
  const size_t before = Drain(d.get(), 2, out);
  EXPECT_LT(double(before), 2.0 * frames - 2.0);  // the converter holds a tail back
  d->endOfInput();
  const size_t after = Drain(d.get(), 2, out);
  EXPECT_GT(after, 0u);
  EXPECT_NEAR(double(before + after), 2.0 * frames, 2.0);
  // The end of the input is in the tail: it reaches the last output frames.
  EXPECT_GT(pwtest::Peak(out.data() + out.size() - 400, 400), 0.3);
}

TEST(Speed, ClearDiscardsEverythingAndConfigureMayChangeFormat) {
  Dsp d = std::make_unique<SpeedStage>();
  std::vector<float> buf(size_t(kGet) * 2);
  EXPECT_EQ(d->get(buf.data(), kGet), 0);  // not configured: inert
  d->setSpeedPercent(-50);
  d->configure(1);

  const auto loud = pwtest::Sine(300, kRate, 1, 50000, 0.9);
  d->put(loud.data(), 50000);
  EXPECT_GT(d->get(buf.data(), kGet), 0);  // only partly drained
  d->clear();
  EXPECT_EQ(d->get(buf.data(), kGet), 0);

  // Same stage, now stereo (a 48 kHz file): silence in, silence out, exact length.
  d->configure(2);
  const std::vector<float> silence(size_t(20000) * 2, 0.0f);
  const auto out = Process(d.get(), silence, 2, 4096);
  EXPECT_NEAR(double(out.size() / 2), 40000.0, 2.0);
  EXPECT_EQ(pwtest::Peak(out.data(), out.size()), 0.0);

  // A flushed run followed by clear starts from scratch again.
  d->clear();
  const auto tone = pwtest::Sine(1000, 48000, 2, 20000);
  const auto again = Process(d.get(), tone, 2, 4096);
  EXPECT_NEAR(double(again.size() / 2), 40000.0, 2.0);
}

TEST(Speed, ChangingSpeedMidStreamIsSmooth) {
  const int ch = 2;
  Dsp d = MakeDsp(ch, 0);
  const double amp = 0.5, freq = 100;
  const auto in = pwtest::Sine(freq, kRate, ch, size_t(kRate) * 4, amp);
  const float steps[] = {100, -50, 100, 0, -50, 37.5f, 100};
  std::vector<float> out;
  const size_t block = 8192;
  size_t pos = 0;
  for (size_t i = 0; pos < in.size() / ch; ++i, pos += block) {
    d->setSpeedPercent(steps[i % std::size(steps)]);
    const int n = int(std::min(block, in.size() / ch - pos));
    d->put(in.data() + pos * ch, n);
    Drain(d.get(), ch, out);
  }
  d->endOfInput();
  Drain(d.get(), ch, out);
  // The fastest a 100 Hz tone can move here is at double speed.
  const double steepest = 2 * M_PI * (2 * freq) * amp / kRate;
  for (int c = 0; c < ch; ++c) EXPECT_LT(MaxStep(out, ch, c), steepest * 1.1);
}

TEST(Speed, SettingSpeedFromAnotherThreadWhileProcessing) {
  const int ch = 2;
  Dsp d = MakeDsp(ch, 0);
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> pct(-50, 100);
    while (!stop.load()) d->setSpeedPercent(pct(rng));
  });
  const size_t frames = size_t(kRate) * 3;
  const auto in = pwtest::Sine(220, kRate, ch, frames, 0.5);
  const auto out = Process(d.get(), in, ch, 4096);
  stop = true;
  setter.join();
  ASSERT_FALSE(out.empty());
  for (float v : out) ASSERT_TRUE(std::isfinite(v));
  EXPECT_LT(pwtest::Peak(out.data(), out.size()), 0.6);
  EXPECT_GE(double(out.size() / ch), frames * 0.5 - 2);
  EXPECT_LE(double(out.size() / ch), frames * 2.0 + 2);
}

}  // namespace
