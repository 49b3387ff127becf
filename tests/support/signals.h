// Signals that have neither a key nor a beat, for checking that the
// analysers say so: white noise, a drum loop alone, and speech-like sound.
//
// The speech is synthetic: voiced syllables (a pulse train whose pitch glides
// as intonation does, through three formant resonators that move from vowel
// to vowel), some unvoiced hiss between them, and pauses of irregular length
// between phrases. Its pitch never settles on a scale and its syllables come
// at no steady rate. Seeded, so a signal always gives the same samples.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "loopgen.h"

namespace signals {

// Interleaved white noise with the given RMS.
inline std::vector<float> WhiteNoise(double seconds, int rate, int channels, uint32_t seed, double rms = 0.2) {
  loopgen::Rng rng(seed);
  std::vector<float> v(size_t(seconds * rate) * size_t(channels));
  for (float& x : v) x = float(rms * std::sqrt(3.0) * rng.Symmetric());
  return v;
}

// A drum loop with no pad and hardly any noise.
inline std::vector<float> DrumsOnly(loopgen::Style style, double bpm, double seconds, int rate, int channels,
                                    uint32_t seed) {
  loopgen::LoopSettings loop;
  loop.style = style;
  loop.bpm = bpm;
  loop.seconds = seconds;
  loop.rate = rate;
  loop.channels = channels;
  loop.seed = seed;
  loop.padLevel = 0;
  loop.noiseLevel = 0.002;
  return loopgen::MakeLoop(loop);
}

inline std::vector<float> SpeechLike(double seconds, int rate, int channels, uint32_t seed) {
  using loopgen::detail::Biquad;
  loopgen::Rng rng(seed * 40503u + 7u);
  const size_t frames = size_t(seconds * rate);
  std::vector<double> mix(frames, 0.0);
  // Formants (F1, F2, F3) of a few vowels.
  static const double kVowels[5][3] = {
      {730, 1090, 2440}, {530, 1840, 2480}, {270, 2290, 3010}, {570, 840, 2410}, {300, 870, 2240}};
  double t = 0.1;
  double f0 = 110 + 60 * rng.Uniform();
  double phase = 0;
  while (t < seconds) {
    // A phrase of 3 … 9 syllables, then a pause.
    const int syllables = 3 + int(rng.Next() % 7);
    double slope = (rng.Uniform() - 0.6) * 40.0;  // Hz per second: mostly falling
    for (int s = 0; s < syllables && t < seconds; ++s) {
      const double length = 0.09 + 0.25 * rng.Uniform();
      const double* v = kVowels[rng.Next() % 5];
      Biquad formants[3] = {Biquad::BandPass(v[0], rate, 5), Biquad::BandPass(v[1], rate, 8),
                            Biquad::BandPass(std::min(v[2], 0.45 * rate), rate, 10)};
      const size_t a = size_t(t * rate), b = std::min(frames, size_t((t + length) * rate));
      // Sometimes a fricative before the vowel.
      if (rng.Uniform() < 0.4) {
        Biquad hiss = Biquad::HighPass(std::min(3500.0, 0.4 * rate), rate, 0.7);
        const size_t c = std::min(frames, a + size_t(0.06 * rate));
        for (size_t i = a; i < c; ++i) mix[i] += 0.05 * hiss(rng.Symmetric());
      }
      for (size_t i = a; i < b; ++i) {
        const double u = double(i - a) / double(std::max<size_t>(1, b - a));
        f0 = std::clamp(f0 + slope / rate + 0.02 * rng.Symmetric(), 75.0, 260.0);
        phase += f0 / rate;
        const double pulse = phase - std::floor(phase) - 0.5;  // a sawtooth: every harmonic
        const double envelope = std::sin(M_PI * u);
        double y = 0;
        for (Biquad& f : formants) y += f(pulse);
        mix[i] += 0.4 * envelope * y;
      }
      t += length + 0.03 * rng.Uniform();
      slope += (rng.Uniform() - 0.5) * 60.0;
    }
    t += 0.15 + 0.6 * rng.Uniform();
    f0 = 110 + 60 * rng.Uniform();
  }
  std::vector<float> out(frames * size_t(channels));
  for (size_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      out[i * size_t(channels) + size_t(c)] = float(std::clamp(mix[i] + 0.002 * rng.Symmetric(), -1.0, 1.0));
  return out;
}

}  // namespace signals
