// Key and tuning estimator: accuracy on the generated song set, clean
// cadences and detuned ones, the input's cutting, rate and channels, silence,
// noise, drums and speech, and the names and captions of keys moved by the speed and pitch sliders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dsp/key_estimator.h"
#include "keyset.h"
#include "signals.h"

namespace {

KeyEstimate Estimate(const std::vector<float>& audio, int channels, int rate, int block = 2048) {
  std::unique_ptr<KeyEstimator> estimator = KeyEstimator::create(channels, rate);
  if (!estimator) {
    ADD_FAILURE() << "no estimator for " << channels << " ch at " << rate << " Hz";
    return {};
  }
  const size_t frames = audio.size() / size_t(channels);
  for (size_t at = 0; at < frames; at += size_t(block))
    estimator->write(audio.data() + at * size_t(channels), int(std::min<size_t>(size_t(block), frames - at)));
  return estimator->estimate();
}

KeyEstimate Estimate(const keyset::Song& song, int block = 2048) {
  return Estimate(keyset::Render(song), song.channels, song.rate, block);
}

// A clean cadence: I–IV–V–I (i–iv–V–i in minor), no drums, no noise.
keyset::Song Cadence(int tonic, bool minor, double cents, keyset::Timbre timbre = keyset::Timbre::Saw) {
  keyset::Song s;
  s.tonic = tonic;
  s.minor = minor;
  s.cents = cents;
  s.timbre = timbre;
  s.texture = keyset::Texture::Chords;
  s.progression = 0;
  s.drums = false;
  s.noiseLevel = 0;
  s.seconds = 5;
  return s;
}

TEST(KeyEstimator, AccuracyOnTheGeneratedSongs) {
  // 48 songs: every key twice, every timbre and texture, ±40 cents, drums
  // and noise. bench_key measures the same on longer songs against the
  // goals (0.90, 95 %); these floors only catch a broken estimator.
  const std::vector<keyset::Song> songs = keyset::Set(2, 6, 22050, 1);
  double score = 0;
  int tuned = 0;
  for (const keyset::Song& song : songs) {
    const KeyEstimate key = Estimate(song);
    const double s = keyset::MirexScore(song.tonic, song.minor, key.known, key.tonic, key.minor);
    const bool inTune = key.known && std::abs(double(key.tuningCents) - song.cents) <= 5;
    score += s;
    tuned += inTune ? 1 : 0;
    std::printf("  %-48s %-9s %+6.1f ct  %.1f%s\n", keyset::Describe(song).c_str(), KeyName(key).c_str(),
                double(key.tuningCents), s, inTune ? "" : "  (tuning off)");
  }
  score /= double(songs.size());
  const double tunedShare = double(tuned) / double(songs.size());
  std::printf("MIREX score %.3f, tuning within 5 cents %.0f %%\n", score, 100 * tunedShare);
  EXPECT_GE(score, 0.75);
  EXPECT_GE(tunedShare, 0.80);
}

TEST(KeyEstimator, MinorSongsAreNotHeardAsTheirRelativeMajor) {
  // The minor half of the set above. A relative major shares every note of
  // the scale, so the profiles alone mistook some of these for it; the
  // opening's tonic triad tells them apart. Measured: 22 of 24 exact, no
  // relative major.
  const std::vector<keyset::Song> songs = keyset::Set(2, 6, 22050, 1);
  int minorSongs = 0, exact = 0, relative = 0;
  for (const keyset::Song& song : songs) {
    if (!song.minor) continue;
    ++minorSongs;
    const KeyEstimate key = Estimate(song);
    const double s = keyset::MirexScore(song.tonic, song.minor, key.known, key.tonic, key.minor);
    exact += s == 1.0 ? 1 : 0;
    relative += s == 0.3 ? 1 : 0;
    if (s < 1.0) std::printf("  %-48s %s\n", keyset::Describe(song).c_str(), KeyName(key).c_str());
  }
  EXPECT_EQ(minorSongs, 24);
  EXPECT_GE(exact, 21);
  EXPECT_EQ(relative, 0);
}

TEST(KeyEstimator, CleanCadencesGiveTheirKeyAndTuning) {
  struct Case {
    int tonic;
    bool minor;
    double cents;
    keyset::Timbre timbre;
    const char* name;
  };
  const Case cases[] = {
      {0, false, 0, keyset::Timbre::Saw, "C major"},     {9, true, 0, keyset::Timbre::Saw, "A minor"},
      {9, true, 30, keyset::Timbre::Organ, "A minor"},   {0, false, 30, keyset::Timbre::Sine, "C major"},
      {6, false, -40, keyset::Timbre::Pluck, "Gb major"}, {3, true, 40, keyset::Timbre::Saw, "Eb minor"},
  };
  for (const Case& c : cases) {
    const KeyEstimate key = Estimate(Cadence(c.tonic, c.minor, c.cents, c.timbre));
    SCOPED_TRACE(testing::Message() << c.name << " " << c.cents << " ct, " << keyset::TimbreName(c.timbre));
    ASSERT_TRUE(key.known);
    EXPECT_EQ(KeyName(key), c.name);
    EXPECT_NEAR(key.tuningCents, c.cents, 5.0);
    EXPECT_GT(key.confidence, 0.0f);
    EXPECT_LE(key.confidence, 1.0f);
  }
}

TEST(KeyEstimator, TheCuttingOfTheInputDoesNotMatter) {
  keyset::Song song = Cadence(2, true, -17);
  song.channels = 2;
  song.drums = true;
  song.noiseLevel = 0.01;
  const std::vector<float> audio = keyset::Render(song);
  const KeyEstimate whole = Estimate(audio, 2, song.rate, int(audio.size() / 2));
  ASSERT_TRUE(whole.known);
  EXPECT_EQ(KeyName(whole), "D minor");
  for (int block : {1, 333, 2048, 4097}) {
    const KeyEstimate cut = Estimate(audio, 2, song.rate, block);
    EXPECT_EQ(cut.known, whole.known) << block;
    EXPECT_EQ(cut.tonic, whole.tonic) << block;
    EXPECT_EQ(cut.minor, whole.minor) << block;
    EXPECT_EQ(cut.tuningCents, whole.tuningCents) << block;
    EXPECT_EQ(cut.confidence, whole.confidence) << block;
  }
}

TEST(KeyEstimator, SampleRatesAndChannels) {
  struct Case {
    int rate;
    int channels;
  };
  const Case cases[] = {{8000, 1}, {16000, 2}, {44100, 2}, {48000, 6}, {96000, 2}, {192000, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " ch");
    keyset::Song song = Cadence(7, false, 22);
    song.rate = c.rate;
    song.channels = c.channels;
    song.seconds = 4;
    const KeyEstimate key = Estimate(song);
    ASSERT_TRUE(key.known);
    EXPECT_EQ(KeyName(key), "G major");
    EXPECT_NEAR(key.tuningCents, 22.0, 5.0);
  }
}

TEST(KeyEstimator, NothingTonalGivesNoKey) {
  struct Case {
    const char* what;
    std::vector<float> audio;
    int rate;
  };
  keyset::Song shortSong = Cadence(0, false, 0);
  shortSong.seconds = 0.3;
  std::vector<float> nonFinite(44100 * 3, std::nanf(""));
  const Case cases[] = {
      {"silence", std::vector<float>(44100 * 5, 0.0f), 44100},
      {"near silence", std::vector<float>(44100 * 5, 1e-6f), 44100},
      {"not a number", nonFinite, 44100},
      {"0.3 s of music", keyset::Render(shortSong), shortSong.rate},
      {"nothing", {}, 44100},
  };
  for (const Case& c : cases) {
    std::unique_ptr<KeyEstimator> estimator = KeyEstimator::create(1, c.rate);
    ASSERT_NE(estimator, nullptr);
    estimator->write(c.audio.data(), int(c.audio.size()));
    const KeyEstimate key = estimator->estimate();
    EXPECT_FALSE(key.known) << c.what;
    EXPECT_EQ(KeyName(key), "---") << c.what;
    EXPECT_EQ(KeyChangeCaption(key, 2, 1), "---") << c.what;
    EXPECT_EQ(KeyAndTuningCaption(key), "---") << c.what;
  }
  // A null buffer or a non-positive count analyses nothing.
  std::unique_ptr<KeyEstimator> estimator = KeyEstimator::create(2, 44100);
  estimator->write(nullptr, 4096);
  const std::vector<float> tone(8192, 0.5f);
  estimator->write(tone.data(), 0);
  estimator->write(tone.data(), -5);
  EXPECT_FALSE(estimator->estimate().known);
}

TEST(KeyEstimator, NoKeyForNoiseDrumsAndSpeechButForSongs) {
  // Songs as the bench renders them: drums, white noise up to −30 dB, every
  // timbre and texture. Measured tonalness: songs 0.5 and more, the rest
  // 0.17 and less, around the floor of 0.3.
  auto song = [](int tonic, bool minor, keyset::Timbre timbre, keyset::Texture texture, double drumLevel,
                 double noiseLevel, uint32_t seed) {
    keyset::Song s;
    s.tonic = tonic;
    s.minor = minor;
    s.cents = -20;
    s.timbre = timbre;
    s.texture = texture;
    s.seconds = 8;
    s.drumLevel = drumLevel;
    s.noiseLevel = noiseLevel;
    s.seed = seed;
    return s;
  };
  const keyset::Song songs[] = {
      song(9, true, keyset::Timbre::Sine, keyset::Texture::Melody, 0.6, 0.03, 11),
      song(2, false, keyset::Timbre::Pluck, keyset::Texture::Chords, 0.6, 0.03, 12),
      song(5, true, keyset::Timbre::Organ, keyset::Texture::Both, 0.35, 0.01, 13),
      song(11, false, keyset::Timbre::Saw, keyset::Texture::Melody, 0.15, 0.003, 14),
  };
  struct Case {
    std::string what;
    std::vector<float> audio;
    int channels;
    int rate;
    bool known;
  };
  std::vector<Case> cases = {
      {"white noise", signals::WhiteNoise(8, 44100, 2, 1), 2, 44100, false},
      {"quiet white noise", signals::WhiteNoise(8, 22050, 1, 2, 0.01), 1, 22050, false},
      {"speech-like", signals::SpeechLike(12, 22050, 1, 1), 1, 22050, false},
      {"speech-like, another voice", signals::SpeechLike(12, 44100, 1, 3), 1, 44100, false},
  };
  for (int style = 0; style < 6; ++style)
    cases.push_back({std::string("drums alone, ") + loopgen::StyleName(loopgen::Style(style)),
                     signals::DrumsOnly(loopgen::Style(style), 80 + 17 * style, 8, 44100, 2, uint32_t(style + 1)), 2,
                     44100, false});
  for (const keyset::Song& s : songs)
    cases.push_back({keyset::Describe(s), keyset::Render(s), s.channels, s.rate, true});
  for (const Case& c : cases) {
    const KeyEstimate key = Estimate(c.audio, c.channels, c.rate);
    std::printf("  %-52s %-9s tonalness %.3f\n", c.what.c_str(), KeyName(key).c_str(), double(key.tonalness));
    EXPECT_EQ(key.known, c.known) << c.what << ", tonalness " << key.tonalness;
    if (!c.known) {
      EXPECT_EQ(KeyName(key), "---") << c.what;
      EXPECT_EQ(key.confidence, 0.0f) << c.what;
    }
  }
}

TEST(KeyEstimator, RefusesChannelCountsAndRatesOutOfRange) {
  EXPECT_EQ(KeyEstimator::create(0, 44100), nullptr);
  EXPECT_EQ(KeyEstimator::create(9, 44100), nullptr);
  EXPECT_EQ(KeyEstimator::create(2, 7999), nullptr);
  EXPECT_EQ(KeyEstimator::create(2, 192001), nullptr);
  EXPECT_NE(KeyEstimator::create(8, 8000), nullptr);
  EXPECT_NE(KeyEstimator::create(1, 192000), nullptr);
}

TEST(KeyNames, OneSpellingPerKey) {
  const char* major[12] = {"C", "Db", "D", "Eb", "E", "F", "Gb", "G", "Ab", "A", "Bb", "B"};
  const char* minor[12] = {"C", "C#", "D", "Eb", "E", "F", "F#", "G", "G#", "A", "Bb", "B"};
  for (int pc = 0; pc < 12; ++pc) {
    EXPECT_EQ(KeyName(pc, false), std::string(major[pc]) + " major");
    EXPECT_EQ(KeyName(pc, true), std::string(minor[pc]) + " minor");
  }
  EXPECT_EQ(KeyName(-3, true), "A minor");
  EXPECT_EQ(KeyName(14, false), "D major");
}

TEST(KeyChange, FollowsPitchAndSpeedButNotTempo) {
  struct Case {
    double pitch;
    double speedFactor;
    int shift;
    const char* caption;  // from A minor
  };
  const Case cases[] = {
      {0, 1, 0, "A minor \u2192 A minor"},
      {2, 1, 2, "A minor \u2192 B minor"},
      {0, 2, 12, "A minor \u2192 A minor"},    // an octave up: the same key
      {12, 0.5, 0, "A minor \u2192 A minor"},  // speed −50 % undone by the pitch
      {-0.4, 1, 0, "A minor \u2192 A minor"},
      {0.6, 1, 1, "A minor \u2192 Bb minor"},
      {0.5, 1, 1, "A minor \u2192 Bb minor"},  // halves away from zero
      {-0.5, 1, -1, "A minor \u2192 G# minor"},
      {-12, 1, -12, "A minor \u2192 A minor"},
      {0, 1.1, 2, "A minor \u2192 B minor"},   // +10 %: 1.65 semitones
      {0, 0.9, -2, "A minor \u2192 G minor"},  // −10 %: −1.82
      {-1.5, 1.5, 6, "A minor \u2192 Eb minor"},  // 7.02 − 1.5 = 5.52
      {3, 0, 3, "A minor \u2192 C minor"},     // a factor of 0 counts as 1
  };
  KeyEstimate aMinor;
  aMinor.known = true;
  aMinor.tonic = 9;
  aMinor.minor = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "pitch " << c.pitch << ", speed ×" << c.speedFactor);
    EXPECT_EQ(KeyShiftSemitones(c.pitch, c.speedFactor), c.shift);
    EXPECT_EQ(KeyChangeCaption(aMinor, c.pitch, c.speedFactor), c.caption);
  }
  KeyEstimate cMajor;
  cMajor.known = true;
  EXPECT_EQ(KeyChangeCaption(cMajor, -1, 1), "C major \u2192 B major");
  EXPECT_EQ(ShiftedKey(cMajor, 6, 1).tonic, 6);
  EXPECT_FALSE(ShiftedKey(cMajor, 6, 1).minor);
}

TEST(TuningCaptions, SignedWholeCents) {
  struct Case {
    float cents;
    const char* caption;
  };
  const Case cases[] = {
      {14.0f, "+14 \u00a2"}, {-7.0f, "\u22127 \u00a2"}, {0.0f, "0 \u00a2"},     {0.4f, "0 \u00a2"},
      {-0.4f, "0 \u00a2"},   {13.6f, "+14 \u00a2"},     {-49.5f, "\u221250 \u00a2"}, {50.0f, "+50 \u00a2"},
  };
  for (const Case& c : cases) EXPECT_EQ(TuningCaption(c.cents), c.caption) << c.cents;
  KeyEstimate key;
  key.known = true;
  key.tonic = 9;
  key.minor = true;
  key.tuningCents = 14.2f;
  EXPECT_EQ(KeyAndTuningCaption(key), "A minor, tuning +14 \u00a2");
}

}  // namespace
