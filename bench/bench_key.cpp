// Key and tuning estimation on the generated song set: the MIREX weighted
// key score, the share of songs whose tuning is found within ±5 cents, the
// confusions, and the throughput in multiples of real time.
//
// bench_key [songs per key (default 8)] [seconds (default 15)] [rate (default 44100)] [set seed (default 1)]
// BENCH_KEY_VERBOSE=1 lists every song, not only the misses.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "../tests/dsp/keyset.h"
#include "key_estimator.h"

int main(int argc, char** argv) {
  const int perKey = argc > 1 ? std::atoi(argv[1]) : 8;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 15.0;
  const int rate = argc > 3 ? std::atoi(argv[3]) : 44100;
  const uint32_t seed = argc > 4 ? uint32_t(std::strtoul(argv[4], nullptr, 10)) : 1u;
  const bool verbose = std::getenv("BENCH_KEY_VERBOSE") != nullptr;
  const std::vector<keyset::Song> songs = keyset::Set(perKey, seconds, rate, 2, 40, seed);

  double score = 0, audioSeconds = 0, busySeconds = 0;
  int tuned = 0, exact = 0, fifth = 0, relative = 0, parallel = 0, other = 0, unknown = 0;
  double worstTuning = 0, sumTuningError = 0;
  for (const keyset::Song& song : songs) {
    const std::vector<float> audio = keyset::Render(song);
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<KeyEstimator> estimator = KeyEstimator::create(song.channels, song.rate);
    // Blocks as the measurement reads them.
    const size_t frames = audio.size() / size_t(song.channels);
    for (size_t at = 0; at < frames; at += 2048)
      estimator->write(audio.data() + at * size_t(song.channels), int(std::min<size_t>(2048, frames - at)));
    const KeyEstimate key = estimator->estimate();
    busySeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    audioSeconds += song.seconds;

    const double s = keyset::MirexScore(song.tonic, song.minor, key.known, key.tonic, key.minor);
    score += s;
    if (!key.known) ++unknown;
    else if (s == 1.0) ++exact;
    else if (s == 0.5) ++fifth;
    else if (s == 0.3) ++relative;
    else if (s == 0.2) ++parallel;
    else ++other;
    const double tuningError = std::abs(double(key.tuningCents) - song.cents);
    if (key.known && tuningError <= 5) ++tuned;
    worstTuning = std::max(worstTuning, tuningError);
    sumTuningError += tuningError;
    if (verbose || s < 1.0 || tuningError > 5)
      std::printf("  %-48s -> %-9s %+6.1f ct  conf %.2f  score %.1f\n", keyset::Describe(song).c_str(),
                  KeyName(key).c_str(), double(key.tuningCents), double(key.confidence), s);
  }
  const double n = double(songs.size());
  std::printf("songs: %zu (%d per key, %.0f s, %d Hz stereo, set seed %u)\n", songs.size(), perKey, seconds, rate,
              seed);
  std::printf("MIREX weighted key score: %.3f (goal >= 0.90)\n", score / n);
  std::printf("  exact %d, fifth %d, relative %d, parallel %d, other %d, unknown %d\n", exact, fifth, relative,
              parallel, other, unknown);
  std::printf("tuning within +-5 cents: %.1f %% (goal >= 95 %%); mean error %.2f ct, worst %.1f ct\n",
              100.0 * tuned / n, sumTuningError / n, worstTuning);
  std::printf("throughput: %.0f x real time (estimation only, one thread)\n", audioSeconds / busySeconds);
  return 0;
}
