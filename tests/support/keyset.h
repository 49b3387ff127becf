// Synthetic songs in a known key and tuning, for testing key estimation.
//
// A song is a chord progression of the key (diatonic triads; in minor the
// dominant chord takes the raised leading tone, the subtonic chord keeps the
// natural seventh): a bass line on the chord roots, with the chords and/or
// a melody drawn from the scale that prefers chord tones and moves mostly by
// step. It starts and ends on the tonic chord, as songs mostly do, and
// nothing else favours the tonic. Every frequency is moved by the song's
// tuning offset and each note by a further cent or two at random. Timbres:
// pure sines, a sawtooth-like sum of harmonics, a plucked string (harmonics
// decaying, the higher ones faster) and an organ (drawbar-like octaves and
// fifths). Drums and white noise come from loopgen.h.
//
// Everything is rendered from seeded generators, so a song always gives the
// same samples.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "loopgen.h"

namespace keyset {

enum class Timbre { Sine, Saw, Pluck, Organ };
// Every texture has the bass line; Melody is a melody over the bass alone.
enum class Texture { Chords, Melody, Both };

inline const char* TimbreName(Timbre t) {
  switch (t) {
    case Timbre::Sine: return "sine";
    case Timbre::Saw: return "saw";
    case Timbre::Pluck: return "pluck";
    case Timbre::Organ: return "organ";
  }
  return "?";
}

inline const char* TextureName(Texture t) {
  switch (t) {
    case Texture::Chords: return "chords";
    case Texture::Melody: return "melody+bass";
    case Texture::Both: return "chords+melody";
  }
  return "?";
}

struct Song {
  int tonic = 0;  // pitch class, C = 0
  bool minor = false;
  double cents = 0;  // tuning offset against A = 440 Hz
  Timbre timbre = Timbre::Saw;
  Texture texture = Texture::Both;
  double seconds = 6;
  int rate = 22050;
  int channels = 1;
  uint32_t seed = 1;
  double bpm = 100;
  bool drums = true;
  double drumLevel = 0.35;
  double noiseLevel = 0.01;  // RMS of white noise
  int progression = -1;      // index into the mode's progressions; -1: from the seed
};

namespace detail {

constexpr int kMajorScale[7] = {0, 2, 4, 5, 7, 9, 11};
constexpr int kMinorScale[7] = {0, 2, 3, 5, 7, 8, 10};

// Progressions as scale degrees (0 = tonic), looped; the song ends on the
// tonic chord whatever the loop has reached.
inline const std::vector<std::vector<int>>& Progressions(bool minor) {
  static const std::vector<std::vector<int>> major = {
      {0, 3, 4, 0}, {0, 5, 3, 4}, {0, 4, 5, 3}, {0, 1, 4, 0}, {0, 3, 0, 4}, {0, 2, 3, 4}};
  static const std::vector<std::vector<int>> minor_ = {
      {0, 3, 4, 0}, {0, 5, 2, 6}, {0, 6, 5, 4}, {0, 3, 6, 2}, {0, 5, 3, 4}, {0, 3, 0, 4}};
  return minor ? minor_ : major;
}

// Semitones above the tonic of a chord's root, third and fifth.
inline std::vector<int> Triad(bool minor, int degree) {
  const int* scale = minor ? kMinorScale : kMajorScale;
  std::vector<int> notes;
  for (int step : {0, 2, 4}) {
    const int d = degree + step;
    notes.push_back(scale[d % 7] + 12 * (d / 7));
  }
  if (minor && degree == 4) notes[1] += 1;  // the dominant's raised leading tone
  return notes;
}

inline double Hz(double midi, double cents) { return 440.0 * std::pow(2.0, (midi - 69.0 + cents / 100.0) / 12.0); }

// Adds one note to mix: partials as rotating phasors under the timbre's
// envelope.
inline void AddNote(std::vector<double>& mix, int rate, Timbre timbre, double hz, double start, double length,
                    double level) {
  struct Partial {
    int harmonic;
    double amplitude;
  };
  std::vector<Partial> partials;
  switch (timbre) {
    case Timbre::Sine: partials = {{1, 1.0}}; break;
    case Timbre::Saw:
    case Timbre::Pluck:
      for (int k = 1; k <= 16; ++k) partials.push_back({k, 1.0 / k});
      break;
    case Timbre::Organ: partials = {{1, 1.0}, {2, 0.8}, {3, 0.5}, {4, 0.5}, {6, 0.25}, {8, 0.3}}; break;
  }
  const double limit = std::min(5000.0, 0.45 * rate);
  const long first = std::max(0L, std::lround(start * rate));
  const long end = std::min(long(mix.size()), std::lround((start + length) * rate));
  if (first >= end) return;
  const double attack = timbre == Timbre::Pluck ? 0.004 : 0.02, release = 0.06;
  for (const Partial& p : partials) {
    const double f = hz * p.harmonic;
    if (f >= limit) continue;
    const double w = 2 * M_PI * f / rate, cr = std::cos(w), ci = std::sin(w);
    const double decay = timbre == Timbre::Pluck ? 1.2 + 0.6 * p.harmonic : 0.0;  // per second
    const double perSample = std::exp(-decay / rate);
    double re = level * p.amplitude, im = 0;
    for (long i = first; i < end; ++i) {
      const double t = double(i - first) / rate, left = double(end - i) / rate;
      const double envelope = std::min(1.0, t / attack) * std::min(1.0, left / release);
      mix[size_t(i)] += im * envelope;
      const double nr = (re * cr - im * ci) * perSample;
      im = (re * ci + im * cr) * perSample;
      re = nr;
    }
  }
}

}  // namespace detail

// Interleaved float samples, song.channels channels at song.rate.
inline std::vector<float> Render(const Song& song) {
  using namespace detail;
  loopgen::Rng rng(song.seed * 2654435761u + uint32_t(song.tonic) * 97u + (song.minor ? 13u : 0u));
  const int rate = song.rate;
  const size_t frames = size_t(std::lround(song.seconds * rate));
  std::vector<double> mix(frames, 0.0);

  const auto& progressions = Progressions(song.minor);
  const std::vector<int>& progression =
      progressions[size_t(song.progression >= 0 ? song.progression : int(rng.Next() % progressions.size())) %
                   progressions.size()];
  const double beat = 60.0 / song.bpm;
  const double chordSeconds = 2 * beat;
  const int chords = std::max(1, int(std::ceil(song.seconds / chordSeconds)));
  const int* scale = song.minor ? kMinorScale : kMajorScale;
  const bool withChords = song.texture != Texture::Melody;
  const bool withMelody = song.texture != Texture::Chords;
  // Tonic's register: chords around middle C, bass an octave and more below.
  const int chordBase = 53 + ((song.tonic - 5 + 12) % 12);   // F3 … E4
  const int bassBase = 36 + song.tonic;                       // C2 … B2
  const int melodyBase = 67 + ((song.tonic - 7 + 12) % 12);  // G4 … F#5
  int melodyDegree = 7;                                       // the tonic an octave up, in scale steps
  auto jitter = [&] { return 2.0 * rng.Symmetric(); };        // cents per note

  for (int c = 0; c < chords; ++c) {
    const int degree = c == chords - 1 ? 0 : progression[size_t(c) % progression.size()];
    const std::vector<int> triad = Triad(song.minor, degree);
    const double t0 = c * chordSeconds;
    if (withChords)
      for (int n : triad)
        AddNote(mix, rate, song.timbre, Hz(chordBase + n, song.cents + jitter()), t0, chordSeconds * 0.95, 0.12);
    {
      const int root = triad[0] % 12;
      AddNote(mix, rate, song.timbre, Hz(bassBase + root, song.cents + jitter()), t0, beat * 0.9, 0.16);
      AddNote(mix, rate, song.timbre, Hz(bassBase + root, song.cents + jitter()), t0 + beat, beat * 0.9, 0.13);
    }
    if (withMelody) {
      // Eighths and quarters over the two beats.
      double t = t0;
      const bool last = c == chords - 1;
      while (t < t0 + chordSeconds - 1e-9) {
        const double length = last || rng.Uniform() < 0.5 ? beat : beat / 2;
        int target;
        if (last) {
          target = 7;
        } else if (rng.Uniform() < 0.6) {  // a chord tone near the last note
          int best = melodyDegree, bestDistance = 99;
          for (int step : {0, 2, 4})
            for (int octave : {0, 7, 14}) {
              const int d = degree + step + octave;
              const int distance = std::abs(d - melodyDegree) + int(rng.Next() % 3);
              if (d >= 3 && d <= 13 && distance < bestDistance) {
                bestDistance = distance;
                best = d;
              }
            }
          target = best;
        } else {  // a step up or down
          target = std::clamp(melodyDegree + (rng.Uniform() < 0.5 ? -1 : 1), 3, 13);
        }
        melodyDegree = target;
        int semis = scale[target % 7] + 12 * (target / 7);
        if (song.minor && target % 7 == 6 && degree == 4) semis += 1;  // leading tone over the dominant
        AddNote(mix, rate, song.timbre, Hz(melodyBase - 12 + semis, song.cents + jitter()), t, length * 0.92,
                withChords ? 0.14 : 0.2);
        t += length;
      }
    }
  }

  // Drums and noise; the loop's own chord pad stays out (it is in A minor).
  loopgen::LoopSettings drums;
  drums.style = loopgen::Style(song.seed % 6);
  drums.bpm = song.bpm;
  drums.seconds = song.seconds;
  drums.rate = rate;
  drums.channels = 1;
  drums.seed = song.seed;
  drums.padLevel = 0;
  drums.noiseLevel = song.noiseLevel;
  drums.drumLevel = song.drums ? song.drumLevel : 0.0;
  const std::vector<float> beatTrack = loopgen::MakeLoop(drums);

  std::vector<float> out(frames * size_t(song.channels));
  for (size_t i = 0; i < frames; ++i) {
    const double v = std::clamp(mix[i] + double(beatTrack[i]), -1.0, 1.0);
    for (int ch = 0; ch < song.channels; ++ch) out[i * size_t(song.channels) + size_t(ch)] = float(v);
  }
  return out;
}

inline std::string Describe(const Song& s) {
  static const char* const names[12] = {"C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B"};
  char cents[32];
  std::snprintf(cents, sizeof cents, "%+.1f", s.cents);
  return std::string(names[s.tonic]) + (s.minor ? " minor" : " major") + " " + cents + " ct, " +
         TimbreName(s.timbre) + ", " + TextureName(s.texture) +
         (s.progression >= 0 ? ", progression " + std::to_string(s.progression) : std::string()) + ", seed " +
         std::to_string(s.seed);
}

// All 24 keys, `perKey` songs each, timbres and textures in turn, tunings
// spread over ±maxCents.
inline std::vector<Song> Set(int perKey, double seconds, int rate, int channels, double maxCents = 40,
                             uint32_t seed = 1) {
  std::vector<Song> set;
  loopgen::Rng rng(seed);
  int n = 0;
  for (int minor = 0; minor < 2; ++minor)
    for (int tonic = 0; tonic < 12; ++tonic)
      for (int i = 0; i < perKey; ++i, ++n) {
        Song s;
        s.tonic = tonic;
        s.minor = minor != 0;
        s.cents = maxCents * rng.Symmetric();
        s.timbre = Timbre((n + i) % 4);
        s.texture = Texture((n / 4 + i) % 3);
        s.seconds = seconds;
        s.rate = rate;
        s.channels = channels;
        s.seed = seed * 1000u + uint32_t(n);
        s.bpm = 80 + 60 * rng.Uniform();
        s.progression = int(rng.Next() % detail::Progressions(s.minor).size());
        set.push_back(s);
      }
  return set;
}

// The MIREX weighted key score of an estimate against the truth: 1 for the
// key, 0.5 for a perfect fifth either way in the same mode, 0.3 for the
// relative key, 0.2 for the parallel key, 0 otherwise (and when unknown).
inline double MirexScore(int tonic, bool minor, bool known, int estimatedTonic, bool estimatedMinor) {
  if (!known) return 0;
  const int up = ((estimatedTonic - tonic) % 12 + 12) % 12;
  if (estimatedMinor == minor) {
    if (up == 0) return 1.0;
    if (up == 7 || up == 5) return 0.5;
    return 0;
  }
  if (up == 0) return 0.2;
  if (!minor && up == 9) return 0.3;  // C major heard as A minor
  if (minor && up == 3) return 0.3;   // A minor heard as C major
  return 0;
}

}  // namespace keyset
