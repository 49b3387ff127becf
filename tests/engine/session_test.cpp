// One file's sound path pulled from its end: the reader, the effect chain
// and the block buffer together, as playback, saves and analysers read it.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "engine/effect_chain.h"
#include "core/messages.h"
#include "message_capture.h"
#include "engine/session.h"
#include "testaudio.h"

namespace {

constexpr int kRate = 44100;

// A session of one generated file.
class ChainTest : public ::testing::Test {
 protected:
  pwtest::MessageCapture capture;
  std::vector<pw::Message>& messages = capture.seen;
  std::unique_ptr<Session> session;
  EffectChain* chain = nullptr;
  EffectValues values;
  std::string dir = pwtest::TempDir("chain");
  std::vector<float> source;  // what the file decodes to

  void OpenSignal(const std::vector<float>& x, int channels, int rate = kRate) {
    const std::string path = dir + "/in.wav";
    pwtest::WriteWav(path, x, rate, channels, 16);
    source = pwtest::Quantize(x, 16);
    session.reset();
    std::string problem;
    session = Session::open(path, &problem);
    ASSERT_NE(session, nullptr) << problem;
    chain = &session->chain();
    chain->setValues(values);
  }

  void Set(const EffectValues& v) {
    values = v;
    chain->setValues(values);
  }

  // Pulls the session as the output stream does, until it reports nothing
  // more. `frames` is the consumer's request size.
  std::vector<float> PullAll(size_t frames = 2048) {
    std::vector<float> out;
    const size_t channels = size_t(session->channels());
    std::vector<float> buf(frames * channels);
    for (int guard = 0; guard < 100000; ++guard) {
      const size_t n = session->read(buf.data(), frames);
      if (n == 0) break;
      out.insert(out.end(), buf.begin(), buf.begin() + long(n * channels));
    }
    return out;
  }

  std::vector<float> Tone(double freq, double seconds, int channels) {
    return pwtest::Sine(freq, kRate, channels, size_t(seconds * kRate), 0.5);
  }
};

TEST_F(ChainTest, NeutralChainIsTheDecodedSourceSampleForSample) {
  for (int channels : {1, 2}) {
    OpenSignal(Tone(441, 1.3, channels), channels);
    // An odd consumer size so blocks do not line up with anything.
    const std::vector<float> out = PullAll(3000 / channels);
    ASSERT_EQ(out.size(), source.size()) << channels;
    EXPECT_EQ(out, source) << channels;
  }
}

TEST_F(ChainTest, LengthsAndPitchFollowTheParameters) {
  struct Case {
    const char* name;
    double speedPercent;  // speed stage (0 = off)
    double tempoPercent;
    double semitones;
    double lengthFactor;
    double freqFactor;
  };
  const Case cases[] = {
      {"speed -50", -50, 0, 0, 2.0, 0.5},
      {"speed +100", 100, 0, 0, 0.5, 2.0},
      {"tempo +100", 0, 100, 0, 0.5, 1.0},
      {"tempo -30", 0, -30, 0, 1.0 / 0.7, 1.0},
      {"pitch +12", 0, 0, 12, 1.0, 2.0},
      {"speed +100, tempo -50", 100, -50, 0, 1.0, 2.0},
      {"speed -50, pitch +12, tempo +100", -50, 100, 12, 1.0, 1.0},
  };
  const double seconds = 2.0;
  for (const auto& c : cases) {
    OpenSignal(Tone(440, seconds, 2), 2);
    Set({.speedPercent = c.speedPercent, .tempoPercent = c.tempoPercent, .pitchSemitones = c.semitones});
    const std::vector<float> out = PullAll();
    const double frames = double(out.size()) / 2;
    EXPECT_NEAR(frames, seconds * kRate * c.lengthFactor, kRate / 1000.0) << c.name;
    // Measure the tone away from the edges.
    const size_t skip = size_t(frames * 0.2);
    const double f = pwtest::ZeroCrossingFrequency(out.data() + skip * 2, size_t(frames * 0.6), 2, 0, kRate);
    EXPECT_NEAR(f, 440 * c.freqFactor, 440 * c.freqFactor * 0.003) << c.name;
    Set({});
  }
}

// The practice settings: a fine offset in cents adds to the pitch (a tuning
// correction finer than its tenths of a semitone), and zero cents leave the
// neutral chain exact.
TEST_F(ChainTest, FineTuneCentsAddToThePitchSlider) {
  struct Case {
    double semitones;
    double cents;
    double ratio;
  };
  for (const Case c : {Case{0, 35, std::pow(2.0, 0.35 / 12)}, Case{2, -14, std::pow(2.0, 1.86 / 12)}}) {
    OpenSignal(Tone(440, 2.0, 2), 2);
    Set({.pitchSemitones = c.semitones, .fineTuneCents = c.cents});
    const std::vector<float> out = PullAll();
    const double frames = double(out.size()) / 2;
    const double f = pwtest::ZeroCrossingFrequency(out.data() + size_t(frames * 0.2) * 2, size_t(frames * 0.6), 2, 0, kRate);
    EXPECT_NEAR(1200 * std::log2(f / (440 * c.ratio)), 0.0, 1.0) << c.semitones << " st " << c.cents << " cents";
  }
  EXPECT_EQ(chain->values().fineTuneCents, -14);
  Set({.pitchSemitones = 2, .fineTuneCents = -14, .formantsPreserved = true});
  EXPECT_TRUE(chain->pitchStage().formantPreserved());
  OpenSignal(Tone(441, 0.5, 1), 1);
  Set({.formantsPreserved = true});  // formants alone change nothing at unity pitch
  EXPECT_EQ(PullAll(), source);
}

// The A–B loop through the whole chain: reading goes round the loop and
// the position stays inside it.
TEST_F(ChainTest, TheLoopRunsBeforeTheEffects) {
  OpenSignal(Tone(440, 3.0, 2), 2);
  ASSERT_TRUE(chain->loop().set(kRate / 2, kRate, kRate));
  Set({.pitchSemitones = 12});
  std::vector<float> buf(4096 * 2);
  size_t frames = 0;
  for (int i = 0; i < 100; ++i) frames += session->read(buf.data(), 4096);
  EXPECT_GT(frames, size_t(3 * kRate));  // more than the file holds
  const int64_t ms = session->positionMs();
  EXPECT_GE(ms, 500);
  EXPECT_LE(ms, 1010);
  const double f = pwtest::ZeroCrossingFrequency(buf.data(), buf.size() / 2, 2, 0, kRate);
  EXPECT_NEAR(f, 880.0, 3.0);
  chain->loop().clear();
}

// However the reads are cut, the stream is the same, its length exact, and
// every read but the last is filled: the speed stage's tail and the
// limiter's held frames come inside the stream, not after a short read.
TEST_F(ChainTest, ReadsOfAnySizeGiveTheSameStreamAndOnlyTheLastIsShort) {
  OpenSignal(Tone(300, 1.0, 2), 2);
  const EffectValues slow{.speedPercent = -50, .bassPercent = 40};
  Set(slow);
  const std::vector<float> whole = PullAll(1 << 20);  // one read of 4 MiB: larger than the block buffer
  EXPECT_NEAR(double(whole.size()) / 2, 2.0 * kRate, kRate / 1000.0);
  for (size_t frames : {size_t(1), size_t(333), size_t(4096), size_t(100000)}) {
    SCOPED_TRACE(frames);
    OpenSignal(Tone(300, 1.0, 2), 2);
    Set(slow);
    std::vector<float> out, buf(frames * 2);
    bool shortSeen = false;
    for (int guard = 0; guard < 1000000; ++guard) {
      const size_t n = session->read(buf.data(), frames);
      if (n == 0) break;
      EXPECT_FALSE(shortSeen) << "a short read before the end";
      shortSeen = n < frames;
      out.insert(out.end(), buf.begin(), buf.begin() + long(n * 2));
    }
    EXPECT_EQ(out, whole);
    EXPECT_EQ(session->read(buf.data(), frames), 0u);  // and nothing after the end
  }
}

TEST_F(ChainTest, FlushAllStartsTheNextRunCleanAndKeepsParameters) {
  // A click train, so residue from a previous run would show as extra clicks.
  std::vector<float> x(size_t(kRate * 1.5) * 2, 0.f);
  for (size_t i = 0; i < x.size() / 2; i += kRate / 4) x[i * 2] = x[i * 2 + 1] = 0.9f;
  OpenSignal(x, 2);
  Set({.speedPercent = 25, .pitchSemitones = 3, .treblePercent = 33.5, .bassPercent = 34});
  // A first partial run lets every parameter settle (the filters glide to
  // new settings); each later run starts from a flush at position 0.
  std::vector<float> buf(10000 * 2);
  session->read(buf.data(), 10000);
  session->seekMs(0);
  session->flush();
  const std::vector<float> first = PullAll();

  // Stop part-way through another run, then rewind and flush.
  session->seekMs(0);
  session->flush();
  session->read(buf.data(), 10000);
  session->seekMs(0);
  session->flush();
  EXPECT_EQ(chain->values().speedPercent, 25);
  const std::vector<float> again = PullAll();

  ASSERT_EQ(again.size(), first.size());
  double worst = 0;
  for (size_t i = 0; i < first.size(); ++i) worst = std::max(worst, double(std::fabs(again[i] - first[i])));
  EXPECT_LT(worst, 1e-4);
}

TEST_F(ChainTest, MovingParametersWhilePullingStaysFiniteAndBounded) {
  // A quiet tone: the largest boosts (about 30 dB) keep it well inside ±4,
  // so anything beyond that is a fault, not gain.
  OpenSignal(pwtest::Sine(220, kRate, 2, size_t(3.0 * kRate), 0.08), 2);
  std::atomic<bool> done{false};
  std::thread mover([&] {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> speed(-50, 100), tempo(-50, 100), steps(-12, 12), tone(0, 100);
    std::uniform_int_distribution<int> onoff(0, 1);
    while (!done.load()) {
      EffectValues v;
      v.speedPercent = onoff(rng) ? speed(rng) : 0;
      v.tempoPercent = tempo(rng);
      v.pitchSemitones = steps(rng);
      v.treblePercent = onoff(rng) ? tone(rng) : 0;
      v.bassPercent = onoff(rng) ? tone(rng) : 0;
      chain->setValues(v);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::vector<float> buf(2048 * 2);
  size_t pulled = 0, bad = 0;
  double peak = 0;
  for (int i = 0; i < 500; ++i) {
    const size_t n = session->read(buf.data(), 2048);
    for (size_t k = 0; k < n * 2; ++k) {
      if (!std::isfinite(buf[k])) ++bad;
      else peak = std::max(peak, double(std::fabs(buf[k])));
    }
    pulled += n;
    if (n < 2048) {
      // At the end the values stop moving only for the rewind.
      done = true;
      mover.join();
      session->seekMs(0);
      session->flush();
      done = false;
      mover = std::thread([&] {
        std::mt19937 rng(2);
        std::uniform_real_distribution<double> tempo(-50, 100);
        while (!done.load()) {
          chain->setValues({.tempoPercent = tempo(rng), .bassPercent = 50});
          std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
      });
    }
  }
  done = true;
  mover.join();
  EXPECT_GT(pulled, 0u);
  EXPECT_EQ(bad, 0u);
  EXPECT_LE(peak, 4.0);
}

// The tone filters' largest boosts on a full-scale low tone: the chain's
// output keeps the ceiling in true peak, keeps the source's length and is
// limited, not silenced; the meter's flag says so.
TEST_F(ChainTest, FullScaleToneWithTheLargestBoostsStaysUnderTheCeiling) {
  struct Case {
    const char* name;
    double freq;
    double bassPercent, treblePercent;
    double ceilingDb;  // 0: the chain's own (playback's)
  };
  const Case cases[] = {
      {"60 Hz, bass +100 %", 60, 100, 0, 0},
      {"60 Hz, bass +100 %, a lossless save's ceiling", 60, 100, 0, -0.3},
      {"40 Hz, bass +47 %", 40, 47, 0, 0},
      {"12 kHz, treble +100 %", 12000, 0, 100, 0},
      {"60 Hz, both +100 %", 60, 100, 100, -0.3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenSignal(pwtest::Sine(c.freq, kRate, 2, size_t(1.5 * kRate), 1.0), 2);
    if (c.ceilingDb != 0) chain->setCeilingDb(c.ceilingDb);
    const double ceiling = chain->ceilingDb();
    EXPECT_EQ(ceiling, c.ceilingDb != 0 ? c.ceilingDb : EffectChain::kPlaybackCeilingDb);
    Set({.treblePercent = c.treblePercent, .bassPercent = c.bassPercent});
    std::vector<float> buf(2048 * 2);
    ASSERT_EQ(session->read(buf.data(), 2048), 2048u);
    EXPECT_TRUE(chain->limiting());
    std::vector<float> out(buf);
    const std::vector<float> rest = PullAll(1500);
    out.insert(out.end(), rest.begin(), rest.end());
    ASSERT_EQ(out.size(), source.size());
    const double tp = pwtest::TruePeakDb(out.data(), out.size() / 2, 2);
    EXPECT_LE(tp, ceiling);
    EXPECT_GE(tp, ceiling - 1.0);
    Set({});
    session->flush();
    EXPECT_FALSE(chain->limiting());  // a meter falls back at a stop
  }
}

// Effects going on and off while pulling: the limiter joins and leaves the
// path without a gap or a repeated frame: whatever the block sizes and
// switching points, the output has the source's length and is the source
// again, at its place, once the release after the last switch-off is over.
// A +1 dB boost of a −6 dBFS tone is never reduced; +12 and +20 dB are.
TEST_F(ChainTest, TheLimiterJoinsAndLeavesWithoutAGap) {
  OpenSignal(pwtest::Sine(220, kRate, 2, size_t(6.0 * kRate), 0.5), 2);  // −6 dBFS
  struct Case {
    const char* name;
    double gainDb;
    size_t block;  // frames
    std::vector<double> switchAt;  // seconds of output at which the bass flips
    double exactFrom;              // seconds of output from which out == source
  };
  const Case cases[] = {
      {"+1 dB, large blocks", 1, 2048, {0.3, 1.1, 1.2, 2.0, 3.7, 3.8}, 5.0},
      {"+1 dB, odd blocks", 1, 1501, {0.01, 0.02, 0.5, 4.0}, 5.2},
      {"+12 dB, then off", 12, 2048, {0.5, 2.0}, 3.5},
      {"+20 dB, on to the end", 20, 2500, {1.0}, 6.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> out, buf(c.block * 2);
    size_t next = 0;
    bool on = false;
    for (int guard = 0; guard < 100000; ++guard) {
      if (next < c.switchAt.size() && double(out.size()) / 2 >= c.switchAt[next] * kRate) {
        on = !on;
        ++next;
        Set({.bassPercent = on ? c.gainDb * 3.4 : 0});  // 3.4 % per dB of bass
      }
      const size_t n = session->read(buf.data(), c.block);
      if (n == 0) break;
      out.insert(out.end(), buf.begin(), buf.begin() + long(n * 2));
    }
    ASSERT_EQ(out.size(), source.size());
    const size_t from = std::min(source.size(), size_t(c.exactFrom * kRate) * 2);
    for (size_t i = from; i < source.size(); ++i) ASSERT_EQ(out[i], source[i]) << i;
    if (c.gainDb > 6) {
      // Held while the boost is on; after it the source's own peaks pass.
      const double onUntil = c.switchAt.size() % 2 == 0 ? c.switchAt.back() : 1e9;
      const size_t frames = std::min(out.size() / 2, size_t(onUntil * kRate));
      EXPECT_LE(pwtest::TruePeakDb(out.data(), frames, 2), EffectChain::kPlaybackCeilingDb);
    }
    Set({});
    session->seekMs(0);
    session->flush();
  }
}

TEST_F(ChainTest, FilesTheProgramCannotUseAreRefusedWithOneMessage) {
  const struct {
    std::string name;
    int rate, channels;
    size_t frames;
    std::string message;
  } cases[] = {
      {"hi.wav", 48001, 2, 4800, "Sampling rates higher than 48000 Hz are not supported."},
      {"six.wav", 44100, 6, 4410,
       "Multi-channel audio files are not supported. Please select only STEREO or MONO files."},
      {"empty.wav", 44100, 2, 0, "Audio file is empty."},
      {"tiny.wav", 44100, 1, 20, "Audio file is too short (20 samples, 0.45 ms)."},
      {"one.wav", 8000, 1, 1, "Audio file is too short (1 sample, 0.12 ms)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.name;
    pwtest::WriteWav(path, pwtest::Sine(440, c.rate, c.channels, c.frames), c.rate, c.channels, 16);
    std::string problem;
    EXPECT_EQ(Session::open(path, &problem), nullptr);
    EXPECT_EQ(problem, c.message);
  }
  EXPECT_TRUE(messages.empty());
  std::string problem = "stale";
  EXPECT_EQ(Session::open(dir + "/missing.flac", &problem), nullptr);
  EXPECT_EQ(problem, "");  // the reader said why, once
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text.rfind("Could not open audio file!", 0), 0u);
}

TEST_F(ChainTest, ValuesReachTheStages) {
  OpenSignal(Tone(440, 0.2, 2), 2);
  Set({.tempoPercent = 100, .pitchSemitones = -12});
  EXPECT_DOUBLE_EQ(chain->pitchStage().durationRatio(), 0.5);
  EXPECT_DOUBLE_EQ(chain->pitchStage().pitchRatio(), 0.5);
  Set({.tempoPercent = -30});
  EXPECT_DOUBLE_EQ(chain->pitchStage().durationRatio(), 1.0 / 0.7);
  Set({.pitchSemitones = 1, .fineTuneCents = 250});  // the offset is clamped to a semitone
  EXPECT_DOUBLE_EQ(chain->pitchStage().pitchRatio(), 2.0 / std::exp2(10.0 / 12));
}

TEST(CornerFrequency, QuarterRateRule) {
  const struct { int32_t rate, bass, treble; } cases[] = {
      {22050, 200, 5512}, {8000, 200, 2000}, {44100, 200, 16000}, {48000, 200, 16000}, {300, 75, 75}};
  for (const auto& c : cases) {
    EXPECT_EQ(CornerFrequency(200, c.rate), c.bass) << c.rate;
    EXPECT_EQ(CornerFrequency(16000, c.rate), c.treble) << c.rate;
  }
}

}  // namespace
