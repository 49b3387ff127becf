// The music-like test material both benchmarks process: a chord with a
// beat every half second and a little noise, interleaved stereo.
#pragma once

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

namespace bench {

inline std::vector<float> ChordWithBeat(double seconds, int rate, unsigned seed) {
  const size_t frames = size_t(seconds * rate);
  std::vector<float> x(frames * 2);
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.f, 0.02f);
  for (size_t i = 0; i < frames; ++i) {
    const double t = double(i) / rate;
    const double chord = 0.2 * std::sin(2 * M_PI * 220 * t) + 0.1 * std::sin(2 * M_PI * 277.2 * t) +
                         0.1 * std::sin(2 * M_PI * 329.6 * t);
    const double beat = std::fmod(t, 0.5) < 0.05 ? 0.3 * std::sin(2 * M_PI * 60 * t) : 0.0;
    x[i * 2] = float(chord + beat) + noise(rng);
    x[i * 2 + 1] = float(0.8 * chord + beat) + noise(rng);
  }
  return x;
}

}  // namespace bench
