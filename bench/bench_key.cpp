// Key and tuning estimation on generated song sets that differ in seed,
// timbre, tempo, sample rate and mix: per set the MIREX weighted key score,
// the exact share, the share of songs whose tuning is found within ±5 cents
// the confusions and the least tonalness; then what noise, drums alone and
// speech give (no key is the right answer: how many say so, and the most
// tonalness among them), and the throughput in multiples of real time.
//
// bench_key [songs per key and set (default 6)] [seconds (default 15)]
// BENCH_KEY_VERBOSE=1 lists every song, not only the misses.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "keyset.h"
#include "signals.h"
#include "dsp/key_estimator.h"

namespace {

double busySeconds = 0, audioSeconds = 0;

// Blocks as the measurement reads them.
KeyEstimate Estimate(const std::vector<float>& audio, int channels, int rate) {
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<KeyEstimator> estimator = KeyEstimator::create(channels, rate);
  const size_t frames = audio.size() / size_t(channels);
  for (size_t at = 0; at < frames; at += 2048)
    estimator->write(audio.data() + at * size_t(channels), int(std::min<size_t>(2048, frames - at)));
  const KeyEstimate key = estimator->estimate();
  busySeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  audioSeconds += double(frames) / rate;
  return key;
}

struct SetRecipe {
  const char* name;
  uint32_t seed;
  int rate;
  double minBpm, maxBpm;
  int timbreShift;  // moves every song's timbre along the four
  double drumLevel, noiseLevel;
};

void RunSet(const SetRecipe& recipe, int perKey, double seconds, bool verbose) {
  std::vector<keyset::Song> songs = keyset::Set(perKey, seconds, recipe.rate, 2, 40, recipe.seed);
  loopgen::Rng rng(recipe.seed + 99u);
  for (keyset::Song& song : songs) {
    song.timbre = keyset::Timbre((int(song.timbre) + recipe.timbreShift) % 4);
    song.bpm = recipe.minBpm + (recipe.maxBpm - recipe.minBpm) * rng.Uniform();
    song.drumLevel = recipe.drumLevel;
    song.noiseLevel = recipe.noiseLevel;
  }
  double score = 0;
  int tuned = 0, exact = 0, fifth = 0, relative = 0, parallel = 0, other = 0, unknown = 0;
  double worstTuning = 0, leastTonalness = 1;
  for (const keyset::Song& song : songs) {
    const KeyEstimate key = Estimate(keyset::Render(song), song.channels, song.rate);
    const double s = keyset::MirexScore(song.tonic, song.minor, key.known, key.tonic, key.minor);
    score += s;
    leastTonalness = std::min(leastTonalness, double(key.tonalness));
    if (!key.known) ++unknown;
    else if (s == 1.0) ++exact;
    else if (s == 0.5) ++fifth;
    else if (s == 0.3) ++relative;
    else if (s == 0.2) ++parallel;
    else ++other;
    const double tuningError = std::abs(double(key.tuningCents) - song.cents);
    if (key.known && tuningError <= 5) ++tuned;
    worstTuning = std::max(worstTuning, tuningError);
    if (verbose || s < 1.0 || tuningError > 5)
      std::printf("  %-52s -> %-9s %+6.1f ct  conf %.3f  score %.1f\n", keyset::Describe(song).c_str(),
                  KeyName(key).c_str(), double(key.tuningCents), double(key.confidence), s);
  }
  const double n = double(songs.size());
  std::printf("set %s: %zu songs, %.0f s, %d Hz\n", recipe.name, songs.size(), seconds, recipe.rate);
  std::printf("  MIREX weighted %.3f (goal >= 0.90), exact %.1f %%; fifth %d, relative %d, parallel %d, other %d, "
              "unknown %d\n",
              score / n, 100.0 * exact / n, fifth, relative, parallel, other, unknown);
  std::printf("  least tonalness %.3f\n", leastTonalness);
  std::printf("  tuning within +-5 cents %.1f %% (goal >= 95 %%), worst %.1f ct\n", 100.0 * tuned / n, worstTuning);
}

struct UnkeyedTally {
  int cases = 0, unknown = 0;
  double mostTonalness = 0;
};

void Unkeyed(UnkeyedTally& tally, const char* what, const std::vector<float>& audio, int channels, int rate) {
  const KeyEstimate key = Estimate(audio, channels, rate);
  ++tally.cases;
  if (!key.known) ++tally.unknown;
  tally.mostTonalness = std::max(tally.mostTonalness, double(key.tonalness));
  std::printf("  %-34s %-9s conf %.3f  tonalness %.3f\n", what, KeyName(key).c_str(), double(key.confidence),
              double(key.tonalness));
}

void PrintTally(const char* what, const UnkeyedTally& tally) {
  std::printf("  %-12s unknown %d of %d (goal: all), most tonalness %.3f\n", what, tally.unknown, tally.cases,
              tally.mostTonalness);
}

}  // namespace

int main(int argc, char** argv) {
  const int perKey = argc > 1 ? std::atoi(argv[1]) : 6;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 15.0;
  const bool verbose = std::getenv("BENCH_KEY_VERBOSE") != nullptr;
  const SetRecipe sets[] = {
      {"A: seed 1, 44.1 kHz, 80-140 BPM, drums 0.35, noise 0.01", 1, 44100, 80, 140, 0, 0.35, 0.01},
      {"B: seed 2, 22.05 kHz, 60-100 BPM, timbres moved, loud drums, noise 0.03", 2, 22050, 60, 100, 1, 0.6, 0.03},
      {"C: seed 3, 48 kHz, 120-170 BPM, timbres moved, light drums, noise 0.003", 3, 48000, 120, 170, 2, 0.15,
       0.003},
  };
  for (const SetRecipe& recipe : sets) RunSet(recipe, perKey, seconds, verbose);

  std::printf("no key expected:\n");
  UnkeyedTally noise, drums, speech;
  for (uint32_t seed : {1u, 2u, 3u}) {
    char name[64];
    std::snprintf(name, sizeof name, "white noise, seed %u", seed);
    Unkeyed(noise, name, signals::WhiteNoise(15, 44100, 2, seed), 2, 44100);
  }
  for (int s = 0; s < 6; ++s) {
    char name[64];
    std::snprintf(name, sizeof name, "drums alone, %s", loopgen::StyleName(loopgen::Style(s)));
    Unkeyed(drums, name, signals::DrumsOnly(loopgen::Style(s), 80 + 17 * s, 15, 44100, 2, uint32_t(s + 1)), 2, 44100);
  }
  for (uint32_t seed : {1u, 2u, 3u}) {
    char name[64];
    std::snprintf(name, sizeof name, "speech-like, seed %u", seed);
    Unkeyed(speech, name, signals::SpeechLike(20, 22050, 1, seed), 1, 22050);
  }
  PrintTally("white noise", noise);
  PrintTally("drums alone", drums);
  PrintTally("speech-like", speech);
  std::printf("throughput: %.0f x real time (estimation only, one thread)\n", audioSeconds / busySeconds);
  return 0;
}
