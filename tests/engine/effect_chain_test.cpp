#include <QLocale>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "player.h"
#include "effect_chain.h"
#include "engine.h"
#include "messages.h"
#include "message_capture.h"
#include "slider_mapping.h"
#include "testaudio.h"

namespace {

constexpr int kRate = 44100;

// A player (no owner window) and a chain built for one generated file.
class ChainTest : public ::testing::Test {
 protected:
  pwtest::MessageCapture capture;
  std::vector<pw::Message>& messages = capture.seen;
  std::unique_ptr<Engine> engine;
  Player* player = nullptr;
  EffectChain* chain = nullptr;
  std::string dir = pwtest::TempDir("chain");
  std::vector<float> source;  // what the file decodes to

  void SetUp() override {
    engine = std::make_unique<Engine>();
    player = &engine->player;
    chain = &engine->chain;
  }
  void TearDown() override {
    engine.reset();
  }

  void OpenSignal(const std::vector<float>& x, int channels, int rate = kRate) {
    const std::string path = dir + "/in.wav";
    pwtest::WriteWav(path, x, rate, channels, 16);
    source = pwtest::Quantize(x, 16);
    player->Open(path);
    ASSERT_TRUE(player->Loaded);
    ASSERT_FALSE(EffectChain::ValidateLoaded(*player).has_value());
    ASSERT_TRUE(chain->RebuildForFile(*player));
  }

  // Pulls through the reader as the output stream does, until it reports
  // nothing more. `block` is the consumer's request size in bytes.
  std::vector<float> PullAll(uint32_t block = 16384) {
    std::vector<float> out;
    std::vector<float> buf(block / 4);
    for (int guard = 0; guard < 100000; ++guard) {
      const uint32_t n = player->Reader->Read(buf.data(), block);
      if (n == 0) break;
      out.insert(out.end(), buf.begin(), buf.begin() + n / 4);
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
    const std::vector<float> out = PullAll(3000 * 4);
    ASSERT_EQ(out.size(), source.size()) << channels;
    EXPECT_EQ(out, source) << channels;
  }
}

TEST_F(ChainTest, LengthsAndPitchFollowTheParameters) {
  struct Case {
    const char* name;
    float speedPercent;  // speed stage (0 = off)
    float tempoSteps;    // pitch stage duration: 2^(−steps/12)
    float semitones;
    double lengthFactor;
    double freqFactor;
  };
  const Case cases[] = {
      {"speed -50", -50, 0, 0, 2.0, 0.5},
      {"speed +100", 100, 0, 0, 0.5, 2.0},
      {"tempo +100", 0, 12, 0, 0.5, 1.0},
      {"pitch +12", 0, 0, 12, 1.0, 2.0},
      {"speed +100, tempo -50", 100, -12, 0, 1.0, 2.0},
      {"speed -50, pitch +12, tempo +100", -50, 12, 12, 1.0, 1.0},
  };
  const double seconds = 2.0;
  for (const auto& c : cases) {
    OpenSignal(Tone(440, seconds, 2), 2);
    chain->SetSpeed(c.speedPercent != 0 ? 1 : 0, c.speedPercent);
    chain->SetTempo(c.tempoSteps);
    chain->SetPitch(c.semitones);
    const std::vector<float> out = PullAll();
    const double frames = double(out.size()) / 2;
    EXPECT_NEAR(frames, seconds * kRate * c.lengthFactor, kRate / 1000.0) << c.name;
    // Measure the tone away from the edges.
    const size_t skip = size_t(frames * 0.2);
    const double f = pwtest::ZeroCrossingFrequency(out.data() + skip * 2, size_t(frames * 0.6), 2, 0, kRate);
    EXPECT_NEAR(f, 440 * c.freqFactor, 440 * c.freqFactor * 0.003) << c.name;
    chain->SetSpeed(0, 0);
    chain->SetTempo(0);
    chain->SetPitch(0);
    chain->FlushAll();
  }
}

// The practice settings: a fine offset in cents adds to the pitch slider
// (a tuning correction finer than its tenths of a semitone), survives a
// rebuild for the next file, and zero cents leave the neutral chain exact.
TEST_F(ChainTest, FineTuneCentsAddToThePitchSlider) {
  struct Case {
    float semitones;
    double cents;
    double ratio;
  };
  for (const Case c : {Case{0, 35, std::pow(2.0, 0.35 / 12)}, Case{2, -14, std::pow(2.0, 1.86 / 12)}}) {
    OpenSignal(Tone(440, 2.0, 2), 2);
    chain->SetFineTuneCents(c.cents);
    chain->SetPitch(c.semitones);
    const std::vector<float> out = PullAll();
    const double frames = double(out.size()) / 2;
    const double f = pwtest::ZeroCrossingFrequency(out.data() + size_t(frames * 0.2) * 2, size_t(frames * 0.6), 2, 0, kRate);
    EXPECT_NEAR(1200 * std::log2(f / (440 * c.ratio)), 0.0, 1.0) << c.semitones << " st " << c.cents << " cents";
  }
  EXPECT_EQ(chain->FineTuneCents(), -14);
  chain->SetFormantPreserved(true);
  OpenSignal(Tone(441, 0.5, 1), 1);  // a rebuild keeps both
  EXPECT_EQ(chain->FineTuneCents(), -14);
  ASSERT_NE(chain->PitchStage(), nullptr);
  EXPECT_TRUE(chain->PitchStage()->formantPreserved());
  chain->SetFineTuneCents(0);
  chain->SetPitch(0);
  chain->FlushAll();
  EXPECT_EQ(PullAll(), source);
}

// The A–B loop through the whole chain: reading goes round the loop and
// the player's position stays inside it.
TEST_F(ChainTest, TheLoopRunsBeforeTheEffects) {
  OpenSignal(Tone(440, 3.0, 2), 2);
  ASSERT_TRUE(chain->Loop.set(kRate / 2, kRate, kRate));
  chain->SetPitch(12);
  std::vector<float> buf(16384 / 4);
  size_t frames = 0;
  for (int i = 0; i < 100; ++i) frames += player->Reader->Read(buf.data(), 16384) / 8;
  EXPECT_GT(frames, size_t(3 * kRate));  // more than the file holds
  const int64_t ms = player->Reader->Position / TicksPerMillisecond;
  EXPECT_GE(ms, 500);
  EXPECT_LE(ms, 1010);
  const double f = pwtest::ZeroCrossingFrequency(buf.data(), buf.size() / 2, 2, 0, kRate);
  EXPECT_NEAR(f, 880.0, 3.0);
  chain->Loop.clear();
}

TEST_F(ChainTest, SpeedTailArrivesAsOneLastBlockAndNothingAfter) {
  OpenSignal(Tone(300, 1.0, 2), 2);
  chain->SetSpeed(1, -50);
  ChainOutputReader& reader = *player->Reader;
  std::vector<float> buf(8192);
  size_t total = 0;
  uint32_t n;
  while ((n = reader.Read(buf.data(), uint32_t(buf.size() * 4))) == buf.size() * 4) total += n / 4;
  total += n / 4;
  // The end block stays in the reader: the export job peeks it.
  std::vector<float> tail(ChainOutputReader::BlockBufferSize / 4);
  const uint32_t t = reader.PeekRemainder(tail.data());
  EXPECT_GT(t, 0u);
  EXPECT_EQ(reader.PeekRemainder(tail.data()), t);
  total += t / 4;
  EXPECT_NEAR(double(total) / 2, 2.0 * kRate, kRate / 1000.0);
  // Playback hands the tail out next, then the chain has nothing more.
  std::vector<float> rest(t / 4 + 4096);
  EXPECT_EQ(reader.Read(rest.data(), uint32_t(rest.size() * 4)), t);
  EXPECT_EQ(reader.Read(rest.data(), uint32_t(rest.size() * 4)), 0u);
  int32_t fill = 4096;
  chain->FillBlock(rest.data(), fill);
  EXPECT_EQ(fill, 0);
}

TEST_F(ChainTest, FlushAllStartsTheNextRunCleanAndKeepsParameters) {
  // A click train, so residue from a previous run would show as extra clicks.
  std::vector<float> x(size_t(kRate * 1.5) * 2, 0.f);
  for (size_t i = 0; i < x.size() / 2; i += kRate / 4) x[i * 2] = x[i * 2 + 1] = 0.9f;
  OpenSignal(x, 2);
  chain->SetSpeed(1, 25);
  chain->SetPitch(3);
  chain->SetTreble(100, 10, kRate);
  chain->SetBass(100, 10, kRate);
  // A first partial run lets every parameter settle (the filters glide to
  // new settings); each later run starts from FlushAll at position 0.
  std::vector<float> buf(20000);
  player->Reader->Read(buf.data(), uint32_t(buf.size() * 4));
  player->Stop();
  chain->FlushAll();
  const std::vector<float> first = PullAll();

  // Stop part-way through another run, then rewind and flush.
  player->Reader->Seek(0);
  chain->FlushAll();
  player->Reader->Read(buf.data(), uint32_t(buf.size() * 4));
  player->Stop();
  chain->FlushAll();
  EXPECT_EQ(player->Reader->Avail, 0u);
  EXPECT_EQ(chain->SpeedValue.load(), 1);
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
    std::uniform_real_distribution<float> speed(-50, 100), steps(-12, 12), gain(0, 30);
    std::uniform_int_distribution<int> onoff(0, 1);
    while (!done.load()) {
      chain->SetSpeed(onoff(rng), speed(rng));
      chain->SetTempo(steps(rng));
      chain->SetPitch(steps(rng));
      chain->SetTreble(onoff(rng), gain(rng), kRate);
      chain->SetBass(onoff(rng), gain(rng), kRate);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::vector<float> buf(4096);
  size_t pulled = 0, bad = 0;
  double peak = 0;
  for (int i = 0; i < 500; ++i) {
    const uint32_t n = player->Reader->Read(buf.data(), uint32_t(buf.size() * 4));
    for (uint32_t k = 0; k < n / 4; ++k) {
      if (!std::isfinite(buf[k])) ++bad;
      else peak = std::max(peak, double(std::fabs(buf[k])));
    }
    pulled += n;
    if (n < buf.size() * 4) {
      player->Reader->Seek(0);
      chain->FlushAll();
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
    if (c.ceilingDb != 0) chain->SetCeilingDb(c.ceilingDb);
    const double ceiling = chain->CeilingDb();
    EXPECT_EQ(ceiling, c.ceilingDb != 0 ? c.ceilingDb : EffectChain::PlaybackCeilingDb);
    const double bass = *pw::BassPositionFromPercent(c.bassPercent);
    const double treble = *pw::TreblePositionFromPercent(c.treblePercent);
    chain->BassBarPositionChanged(bass, bass, kRate);
    chain->TrebleBarPositionChanged(treble, treble, kRate);
    std::vector<float> buf(4096);
    ASSERT_EQ(player->Reader->Read(buf.data(), uint32_t(buf.size() * 4)), buf.size() * 4);
    EXPECT_TRUE(chain->Limiting());
    std::vector<float> out(buf);
    const std::vector<float> rest = PullAll(3000 * 4);
    out.insert(out.end(), rest.begin(), rest.end());
    ASSERT_EQ(out.size(), source.size());
    const double tp = pwtest::TruePeakDb(out.data(), out.size() / 2, 2);
    EXPECT_LE(tp, ceiling);
    EXPECT_GE(tp, ceiling - 1.0);
    chain->BassBarPositionChanged(0, 0, kRate);
    chain->TrebleBarPositionChanged(0, 0, kRate);
    chain->SetCeilingDb(EffectChain::PlaybackCeilingDb);
    chain->FlushAll();
    EXPECT_FALSE(chain->Limiting());  // a meter falls back at a stop
  }
}

// Effects going on and off while pulling: the limiter joins and leaves the
// path without a gap or a repeated frame. Bass switched on at 0 dB changes
// no sample, so the output must be the source exactly, whatever the block
// sizes and switching points; with a real boost the output is the source
// again, at its place, once the release after the last switch-off is over.
TEST_F(ChainTest, TheLimiterJoinsAndLeavesWithoutAGap) {
  OpenSignal(pwtest::Sine(220, kRate, 2, size_t(6.0 * kRate), 0.5), 2);  // −6 dBFS
  struct Case {
    const char* name;
    double gainDb;
    uint32_t block;
    std::vector<double> switchAt;  // seconds of output at which the bass flips
    double exactFrom;              // seconds of output from which out == source
  };
  const Case cases[] = {
      {"flat, large blocks", 0, 16384, {0.3, 1.1, 1.2, 2.0, 3.7}, 0},
      {"flat, odd blocks", 0, 3000 * 4 + 8, {0.01, 0.02, 0.5, 4.0}, 0},
      {"+12 dB, then off", 12, 4096 * 4, {0.5, 2.0}, 3.5},
      {"+20 dB, on to the end", 20, 5000 * 4, {1.0}, 6.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> out, buf(c.block / 4);
    size_t next = 0;
    bool on = false;
    for (int guard = 0; guard < 100000; ++guard) {
      if (next < c.switchAt.size() && double(out.size()) / 2 >= c.switchAt[next] * kRate) {
        on = !on;
        ++next;
        chain->SetBass(on ? 1 : 0, on ? c.gainDb : 0.0, kRate);
      }
      const uint32_t n = player->Reader->Read(buf.data(), c.block);
      if (n == 0) break;
      out.insert(out.end(), buf.begin(), buf.begin() + n / 4);
    }
    ASSERT_EQ(out.size(), source.size());
    const size_t from = std::min(source.size(), size_t(c.exactFrom * kRate) * 2);
    for (size_t i = from; i < source.size(); ++i) ASSERT_EQ(out[i], source[i]) << i;
    if (c.gainDb > 0) {
      // Held while the boost is on; after it the source's own peaks pass.
      const double onUntil = c.switchAt.size() % 2 == 0 ? c.switchAt.back() : 1e9;
      const size_t frames = std::min(out.size() / 2, size_t(onUntil * kRate));
      EXPECT_LE(pwtest::TruePeakDb(out.data(), frames, 2), EffectChain::PlaybackCeilingDb);
    }
    chain->SetBass(0, 0, kRate);
    player->Reader->Seek(0);
    chain->FlushAll();
  }
}

TEST_F(ChainTest, ValidationMessagesInOrder) {
  Player& p = *player;
  p.Loaded = false;
  EXPECT_EQ(EffectChain::ValidateLoaded(p), "This audio format not supported");
  p.Loaded = true;
  p.DurationMs = 0;
  p.SampleRate = 96000;
  EXPECT_EQ(EffectChain::ValidateLoaded(p), "Audio file is empty.");
  p.DurationMs = 10;
  EXPECT_EQ(EffectChain::ValidateLoaded(p), "Sampling rates higher than 48000 Hz are not supported.");
  p.SampleRate = 48000;
  p.Channels = 6;
  EXPECT_EQ(EffectChain::ValidateLoaded(p),
            "Multi-channel audio files are not supported. Please select only STEREO or MONO files.");
  p.Channels = 2;
  EXPECT_FALSE(EffectChain::ValidateLoaded(p).has_value());
  p.Loaded = false;
}

TEST_F(ChainTest, SliderHandlersSetTheStagesAndReturnLabels) {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  OpenSignal(Tone(440, 0.2, 2), 2);
  EXPECT_EQ(chain->SpeedBarPositionChanged(123.4), "+12.3 %");
  EXPECT_EQ(chain->SpeedValue.load(), 123);
  EXPECT_EQ(chain->SpeedBarPositionChanged(0.4), "+0.0 %");
  EXPECT_EQ(chain->SpeedValue.load(), 0);
  EXPECT_EQ(chain->TempoBarPositionChanged(1200), "+100.0 %");
  EXPECT_DOUBLE_EQ(chain->PitchStage()->durationRatio(), 0.5);
  EXPECT_EQ(chain->PitchBarPositionChanged(-120), "-12.0 st");
  EXPECT_DOUBLE_EQ(chain->PitchStage()->pitchRatio(), 0.5);
  EXPECT_EQ(chain->TrebleBarPositionChanged(4, 4, kRate), "+0.2 %");
  EXPECT_EQ(chain->TrebleValue.load(), 4);
  EXPECT_EQ(chain->BassBarPositionChanged(0, 0, kRate), "0.0 %");
  EXPECT_EQ(chain->BassValue.load(), 0);
}

TEST_F(ChainTest, FilesTheProgramDoesNotPlayOpenAndAreRefusedByTheChecks) {
  const struct { int rate, channels; const char* message; } cases[] = {
      {48001, 2, "Sampling rates higher than 48000 Hz are not supported."},
      {44100, 6, "Multi-channel audio files are not supported. Please select only STEREO or MONO files."},
  };
  for (const auto& c : cases) {
    const std::string path = dir + "/refused.wav";
    pwtest::WriteWav(path, pwtest::Sine(440, c.rate, c.channels, size_t(c.rate / 10)), c.rate, c.channels, 16);
    player->Open(path);
    ASSERT_TRUE(player->Loaded) << c.rate;
    EXPECT_EQ(EffectChain::ValidateLoaded(*player), c.message);
  }
  player->Open(dir + "/missing.flac");
  EXPECT_EQ(EffectChain::ValidateLoaded(*player), "This audio format not supported");
  ASSERT_EQ(messages.size(), 1u);  // the reader said why first
  EXPECT_EQ(messages[0].text.rfind("Could not open audio file!", 0), 0u);
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
