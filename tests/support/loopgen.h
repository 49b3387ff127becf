// Synthetic drum loops with a known tempo, for testing tempo detection.
//
// Everything is rendered from a seeded generator of our own, so a loop
// always gives the same samples on every platform. Drums are synthesised:
// kick = sine with a falling pitch and a click, snare = tone plus noise,
// hats = high-passed noise (closed short, open long). Hits are placed on a
// grid of the nominal tempo, moved by a few milliseconds of random jitter and
// scaled by random velocities; a pad of sustained chords (changing every two
// bars) and white noise are mixed in.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace loopgen {

enum class Style {
  FourOnTheFloor,  // kick on every beat, clap on 2 and 4, off-beat open hats
  RockBackbeat,    // kick on 1 and 3, snare on 2 and 4, eighth hats
  Breakbeat,       // syncopated kicks, ghost snares, sixteenth hats
  HalfTime,        // kick on 1, snare on 3, eighth hats
  Shuffle,         // triplet swing: hats on the 1st and 3rd triplet of each beat
  Sparse,          // kicks and a few hats only, no snare
};

inline const char* StyleName(Style s) {
  switch (s) {
    case Style::FourOnTheFloor: return "four-on-the-floor";
    case Style::RockBackbeat: return "rock";
    case Style::Breakbeat: return "breakbeat";
    case Style::HalfTime: return "half-time";
    case Style::Shuffle: return "shuffle";
    case Style::Sparse: return "sparse";
  }
  return "?";
}

struct LoopSettings {
  Style style = Style::RockBackbeat;
  double bpm = 120;
  double seconds = 20;
  int rate = 44100;
  int channels = 2;
  uint32_t seed = 1;
  double jitterMs = 3;     // standard deviation of each hit's time offset
  double velocity = 0.25;  // relative spread of hit levels
  double padLevel = 0.12;  // peak level of the chord pad
  double noiseLevel = 0.02;  // RMS of the added white noise
  double drumLevel = 0.7;    // peak level of an accented kick
};

// Small deterministic generator (PCG32).
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed * 6364136223846793005ull + 1442695040888963407ull) { Next(); }
  uint32_t Next() {
    uint64_t old = state_;
    state_ = old * 6364136223846793005ull + 1442695040888963407ull;
    uint32_t xorshifted = uint32_t(((old >> 18u) ^ old) >> 27u);
    uint32_t rot = uint32_t(old >> 59u);
    return (xorshifted >> rot) | (xorshifted << ((-rot) & 31));
  }
  double Uniform() { return (Next() >> 8) * (1.0 / 16777216.0); }             // [0, 1)
  double Symmetric() { return 2.0 * Uniform() - 1.0; }                         // [-1, 1)
  double Gauss() {  // sum of four uniforms: close enough to normal, bounded
    double s = 0;
    for (int i = 0; i < 4; ++i) s += Symmetric();
    return s * std::sqrt(3.0 / 4.0);
  }

 private:
  uint64_t state_;
};

namespace detail {

// One RBJ biquad, direct form I in double.
struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  static Biquad HighPass(double freq, double rate, double q) {
    Biquad f;
    double w = 2 * M_PI * freq / rate, c = std::cos(w), alpha = std::sin(w) / (2 * q);
    double a0 = 1 + alpha;
    f.b0 = (1 + c) / 2 / a0;
    f.b1 = -(1 + c) / a0;
    f.b2 = (1 + c) / 2 / a0;
    f.a1 = -2 * c / a0;
    f.a2 = (1 - alpha) / a0;
    return f;
  }
  static Biquad BandPass(double freq, double rate, double q) {
    Biquad f;
    double w = 2 * M_PI * freq / rate, c = std::cos(w), alpha = std::sin(w) / (2 * q);
    double a0 = 1 + alpha;
    f.b0 = alpha / a0;
    f.b1 = 0;
    f.b2 = -alpha / a0;
    f.a1 = -2 * c / a0;
    f.a2 = (1 - alpha) / a0;
    return f;
  }
  double operator()(double x) {
    double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
  }
};

inline std::vector<float> Kick(int rate, Rng& rng) {
  const int n = int(0.35 * rate);
  std::vector<float> v(n);
  double phase = 0;
  for (int i = 0; i < n; ++i) {
    double t = double(i) / rate;
    double f = 48 + 110 * std::exp(-t / 0.035);
    phase += 2 * M_PI * f / rate;
    double body = std::sin(phase) * std::exp(-t / 0.12);
    double click = i < rate / 500 ? 0.4 * rng.Symmetric() * (1.0 - double(i) / (rate / 500)) : 0.0;
    v[i] = float(body + click);
  }
  return v;
}

inline std::vector<float> Snare(int rate, Rng& rng) {
  const int n = int(0.3 * rate);
  std::vector<float> v(n);
  Biquad hp = Biquad::HighPass(1500, rate, 0.7);
  double phase = 0;
  for (int i = 0; i < n; ++i) {
    double t = double(i) / rate;
    phase += 2 * M_PI * 190 / rate;
    double tone = 0.5 * std::sin(phase) * std::exp(-t / 0.05);
    double noise = 0.6 * hp(rng.Symmetric()) * std::exp(-t / 0.09);
    v[i] = float(tone + noise);
  }
  return v;
}

inline std::vector<float> Hat(int rate, Rng& rng, double decay) {
  const int n = int(std::min(0.6, decay * 6) * rate);
  std::vector<float> v(n);
  Biquad hp = Biquad::HighPass(std::min(7000.0, rate * 0.3), rate, 0.7);
  Biquad hp2 = Biquad::HighPass(std::min(7000.0, rate * 0.3), rate, 0.7);
  for (int i = 0; i < n; ++i) {
    double t = double(i) / rate;
    v[i] = float(0.5 * hp2(hp(rng.Symmetric())) * std::exp(-t / decay));
  }
  return v;
}

// Hand clap: three quick bursts of band-passed noise, then a tail.
inline std::vector<float> Clap(int rate, Rng& rng) {
  const int n = int(0.25 * rate);
  std::vector<float> v(n);
  Biquad bp = Biquad::BandPass(1200, rate, 1.2);
  for (int i = 0; i < n; ++i) {
    double t = double(i) / rate;
    double env = std::exp(-t / 0.07);
    for (double b : {0.0, 0.011, 0.022}) {
      if (t >= b) env += std::exp(-(t - b) / 0.006);
    }
    v[i] = float(1.2 * bp(rng.Symmetric()) * env);
  }
  return v;
}

struct Hit {
  int voice;    // 0 kick, 1 snare, 2 closed hat, 3 open hat, 4 clap
  double beat;  // position within the bar in beats (0 … 4)
  double gain;
};

inline std::vector<Hit> Pattern(Style style, int bar) {
  std::vector<Hit> h;
  auto sixteenths = [&](int voice, std::initializer_list<int> steps, double gain) {
    for (int s : steps) h.push_back({voice, s / 4.0, gain});
  };
  switch (style) {
    case Style::FourOnTheFloor:
      sixteenths(0, {0, 4, 8, 12}, 1.0);
      sixteenths(4, {4, 12}, 0.6);
      sixteenths(3, {2, 6, 10, 14}, 0.45);
      sixteenths(2, {1, 3, 5, 7, 9, 11, 13, 15}, 0.2);
      break;
    case Style::RockBackbeat:
      sixteenths(0, {0, 8}, 1.0);
      if (bar % 2 == 1) sixteenths(0, {10}, 0.8);
      sixteenths(1, {4, 12}, 0.9);
      for (int s = 0; s < 16; s += 2) h.push_back({2, s / 4.0, s % 4 == 0 ? 0.45 : 0.3});
      break;
    case Style::Breakbeat:
      sixteenths(0, {0, 2, 10, 11}, 1.0);
      sixteenths(1, {4, 12}, 0.9);
      sixteenths(1, {7, 9, 15}, 0.3);
      if (bar % 2 == 1) sixteenths(1, {14}, 0.5);
      for (int s = 0; s < 16; ++s) h.push_back({2, s / 4.0, s % 2 == 0 ? 0.35 : 0.18});
      break;
    case Style::HalfTime:
      sixteenths(0, {0}, 1.0);
      if (bar % 2 == 1) sixteenths(0, {7}, 0.7);
      sixteenths(1, {8}, 1.0);
      for (int s = 0; s < 16; s += 2) h.push_back({2, s / 4.0, s % 4 == 0 ? 0.4 : 0.28});
      break;
    case Style::Shuffle:
      for (int b = 0; b < 4; ++b) {
        h.push_back({2, b + 0.0, 0.4});
        h.push_back({2, b + 2.0 / 3.0, 0.28});
      }
      h.push_back({0, 0, 1.0});
      h.push_back({0, 2, 0.9});
      h.push_back({0, 2 + 2.0 / 3.0, 0.6});
      h.push_back({1, 1, 0.9});
      h.push_back({1, 3, 0.9});
      break;
    case Style::Sparse:
      sixteenths(0, {0, 8}, 1.0);
      if (bar % 4 == 3) sixteenths(0, {6}, 0.8);
      sixteenths(2, {4, 12}, 0.5);
      if (bar % 2 == 0) sixteenths(2, {14}, 0.3);
      break;
  }
  return h;
}

}  // namespace detail

// Interleaved float samples, loop.channels channels at loop.rate.
inline std::vector<float> MakeLoop(const LoopSettings& loop) {
  using namespace detail;
  Rng rng(loop.seed * 7919u + uint32_t(loop.bpm * 100) + uint32_t(loop.style) * 31u);
  const int rate = loop.rate;
  const size_t frames = size_t(std::lround(loop.seconds * rate));
  std::vector<double> mix(frames, 0.0);

  // A few variants of every voice so successive hits differ a little.
  constexpr int kVariants = 4;
  std::vector<std::vector<float>> voices[5];
  for (int v = 0; v < kVariants; ++v) {
    voices[0].push_back(Kick(rate, rng));
    voices[1].push_back(Snare(rate, rng));
    voices[2].push_back(Hat(rate, rng, 0.025));
    voices[3].push_back(Hat(rate, rng, 0.12));
    voices[4].push_back(Clap(rate, rng));
  }
  const double voiceLevel[5] = {1.0, 0.8, 0.6, 0.55, 0.7};

  const double beatSeconds = 60.0 / loop.bpm;
  const double barSeconds = 4 * beatSeconds;
  const int bars = int(std::ceil(loop.seconds / barSeconds)) + 1;
  for (int bar = 0; bar < bars; ++bar) {
    for (const Hit& hit : Pattern(loop.style, bar)) {
      double t = bar * barSeconds + hit.beat * beatSeconds + rng.Gauss() * loop.jitterMs * 1e-3;
      double gain = hit.gain * (1.0 + loop.velocity * rng.Symmetric()) * voiceLevel[hit.voice] * loop.drumLevel;
      long start = std::lround(t * rate);
      const std::vector<float>& s = voices[hit.voice][rng.Next() % kVariants];
      for (size_t i = 0; i < s.size(); ++i) {
        long j = start + long(i);
        if (j < 0) continue;
        if (size_t(j) >= frames) break;
        mix[size_t(j)] += gain * s[i];
      }
    }
  }

  // Pad: three-note chords with a few harmonics, slow attack and release,
  // a new chord every two bars.
  if (loop.padLevel > 0) {
    static const double kChords[4][3] = {{220.0, 261.63, 329.63},
                                         {174.61, 220.0, 261.63},
                                         {196.0, 246.94, 293.66},
                                         {164.81, 196.0, 246.94}};
    const double chordSeconds = 2 * barSeconds;
    const double attack = std::min(0.4, chordSeconds / 4);
    // Oscillators as rotating phasors: cheap, and exact enough over 30 s.
    std::vector<double> chord;
    for (int c = 0; c * chordSeconds < loop.seconds; ++c) {
      const size_t a = size_t(c * chordSeconds * rate);
      const size_t b = std::min(frames, size_t((c + 1) * chordSeconds * rate));
      if (a >= b) break;
      chord.assign(b - a, 0.0);
      for (int note = 0; note < 3; ++note) {
        for (int harm = 1; harm <= 3; ++harm) {
          const double f = kChords[c % 4][note] * harm * (1.0 + 0.002 * note);
          if (f >= rate * 0.45) continue;
          const double amp = loop.padLevel / 3.0 / (harm * harm);
          const double w = 2 * M_PI * f / rate, cr = std::cos(w), ci = std::sin(w);
          double re = amp, im = 0;
          for (double& v : chord) {
            v += im;
            const double nr = re * cr - im * ci;
            im = re * ci + im * cr;
            re = nr;
          }
        }
      }
      for (size_t i = a; i < b; ++i) {
        const double rise = double(i - a) / rate, fall = double(b - i) / rate;
        mix[i] += chord[i - a] * std::min(1.0, rise / attack) * std::min(1.0, fall / attack);
      }
    }
  }

  std::vector<float> out(frames * size_t(loop.channels));
  const double noiseScale = loop.noiseLevel * std::sqrt(3.0);  // uniform with this RMS
  for (size_t i = 0; i < frames; ++i) {
    for (int ch = 0; ch < loop.channels; ++ch) {
      double v = mix[i] + noiseScale * rng.Symmetric();
      out[i * size_t(loop.channels) + size_t(ch)] = float(std::clamp(v, -1.0, 1.0));
    }
  }
  return out;
}

// A set of `count` loops, the styles in turn, tempi spread at random over
// [minBpm, maxBpm] on a log scale (to 0.01 BPM), lengths, channel counts,
// jitter and the levels of pad and noise varying from loop to loop around
// the given mix.
struct SetMix {
  double pad = 0.12;    // mean pad level
  double noise = 0.02;  // mean noise RMS
  double jitterMs = 3;
};

inline std::vector<LoopSettings> Set(int count, uint32_t seed, int rate, SetMix mix = {}, double minBpm = 60,
                                     double maxBpm = 200) {
  Rng rng(seed * 104729u + 17u);
  std::vector<LoopSettings> set;
  for (int i = 0; i < count; ++i) {
    LoopSettings loop;
    loop.style = Style(i % 6);
    loop.bpm = std::round(100.0 * minBpm * std::pow(maxBpm / minBpm, rng.Uniform())) / 100.0;
    loop.seconds = 18 + 12 * rng.Uniform();
    loop.rate = rate;
    loop.channels = 1 + int(rng.Next() % 2);
    loop.seed = seed * 1000u + uint32_t(i);
    loop.jitterMs = mix.jitterMs * (0.5 + rng.Uniform());
    loop.padLevel = mix.pad * (0.5 + rng.Uniform());
    loop.noiseLevel = mix.noise * (0.5 + rng.Uniform());
    set.push_back(loop);
  }
  return set;
}

inline std::string Describe(const LoopSettings& loop) {
  return std::string(StyleName(loop.style)) + " @" + std::to_string(loop.bpm).substr(0, 6) + " bpm";
}

}  // namespace loopgen
