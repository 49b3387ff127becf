// The music-like test material both benchmarks process: a chord with a
// beat every half second and a little noise, interleaved stereo.
#pragma once

#include <algorithm>
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

namespace bench {

// A minute of something that sounds like a song, for the screenshots: a
// I–V–vi–IV progression in C at 100 BPM with bass, a plucked melody, kick,
// snare and hi-hat, stereo. Deterministic.
inline std::vector<float> DemoSong(double seconds, int rate) {
  const size_t frames = size_t(seconds * rate);
  std::vector<float> x(frames * 2, 0.0f);
  const double beat = 60.0 / 100.0;
  const double chords[4][3] = {{261.63, 329.63, 392.00}, {196.00, 246.94, 293.66},
                               {220.00, 261.63, 329.63}, {174.61, 220.00, 261.63}};
  const double bass[4] = {65.41, 49.00, 55.00, 43.65};
  const double melody[16] = {659.26, 587.33, 523.25, 587.33, 659.26, 659.26, 659.26, 0,
                             587.33, 587.33, 659.26, 587.33, 523.25, 0, 783.99, 783.99};
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> white(-1.f, 1.f);
  for (size_t i = 0; i < frames; ++i) {
    const double t = double(i) / rate;
    const int bar = int(t / (4 * beat)) % 4;
    const double inBeat = std::fmod(t, beat);
    const int beatIndex = int(t / beat);
    const double inHalf = std::fmod(t, beat / 2);
    double pad = 0;
    for (double f : chords[bar]) pad += std::sin(2 * M_PI * f * t) + 0.3 * std::sin(4 * M_PI * f * t);
    pad *= 0.05;
    const double b = 0.22 * std::sin(2 * M_PI * bass[bar] * t) * std::exp(-inBeat * 2.0);
    const double note = melody[int(t / (beat / 2)) % 16];
    const double m = note > 0 ? 0.12 * std::sin(2 * M_PI * note * t) * std::exp(-inHalf * 6.0) : 0.0;
    double drums = 0;
    if (beatIndex % 2 == 0) drums += 0.5 * std::sin(2 * M_PI * (50 + 80 * std::exp(-inBeat * 30)) * inBeat) *
                                     std::exp(-inBeat * 12);                           // kick
    else drums += 0.25 * white(rng) * std::exp(-inBeat * 18);                          // snare
    drums += 0.06 * white(rng) * std::exp(-inHalf * 60);                               // hi-hat
    const double left = pad + b + 0.8 * m + drums, right = pad + b + 1.2 * m * 0.8 + drums;
    x[i * 2] = float(std::clamp(left, -1.0, 1.0));
    x[i * 2 + 1] = float(std::clamp(right, -1.0, 1.0));
  }
  return x;
}

}  // namespace bench
