// Key and tuning estimator.
//
// 1. Front end. The input is mixed to mono, low-passed (8th-order
//    Butterworth at 2.6 kHz, double precision so the low cutoff stays clean
//    at 192 kHz) and decimated to a working rate near 10 kHz: everything of
//    interest lies below 2 kHz, and the smaller rate buys frequency
//    resolution for the same FFT size. Frames of 4096 samples (about 0.4 s)
//    with a hop of 2048 and a Hann window.
// 2. Peaks. In each frame the local maxima of the magnitude spectrum between
//    55 Hz and 2 kHz that stand clear of their neighbourhood (noise, drum
//    hits) and of the frame's strongest peak are kept; their frequency comes
//    from a parabola through the log magnitudes of three bins, which is
//    precise to a cent or two for isolated partials. Each peak's amplitude,
//    relative to the frame's strongest, is added (split linearly between
//    the two nearest bins) to a histogram of pitch class at one-cent
//    resolution: 1200 bins, one histogram for bass peaks and one for the
//    rest. Nothing else is kept: memory is fixed whatever the length of the
//    stream.
// 3. Tuning, when asked: the histograms folded onto one semitone (100
//    bins) show where the partials sit against the 12-TET grid. The mode of
//    that circular histogram, smoothed over a few cents, is found and refined
//    by the circular mean of the bins near it. A mode is used, not a plain
//    mean, because harmonics 5 and 7 (−14 and −31 cents) and drum tones would
//    pull a mean away from the grid the notes are played on.
// 4. Key: each fine histogram folded into a 12-bin chroma around the
//    estimated tuning. Every one of the 24 keys scores the Pearson
//    correlation of the (square-root compressed) chroma of the upper
//    partials with its key profile, plus 1.5 times that of the bass chroma
//    with its bass profile: bass lines dwell on the tonic and the chord
//    roots. The compression keeps the tonic and fifth, strong in every
//    chord of the key, from outweighing the thirds and sevenths that tell
//    the mode. Songs mostly open on the tonic chord, and its third tells
//    a minor key from its relative major, which shares every note of the
//    scale and so fools the profiles: the chroma of the first 0.6 s of
//    sound (shorter than a chord at 170 BPM) adds its correlation with the
//    key's tonic triad. The best score wins.
// 5. No key. Noise, drums and speech also leave peaks, so a key always
//    scores best; what tells them apart is tonalness, the product of two
//    measures that each let one kind through. The share of each frame's
//    band energy that lies in its peaks is low for noise and drums but high
//    for speech, whose harmonics are clear. How firmly the peaks sit on one
//    grid of semitones (the resultant length of the tuning histogram) is low
//    for noise and for speech, whose pitch glides, but high for drums, whose
//    few tuned tones repeat. Music has both. Under kMinTonalness the estimate
//    is unknown.
#include "dsp/key_estimator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "dsp/fft.h"

namespace {

constexpr int kFftSize = 4096;
constexpr int kHop = 2048;
constexpr double kTargetRate = 10000.0;      // the decimation factor brings the rate near this
constexpr double kLowPassHz = 2600.0;
constexpr double kLowestHz = 55.0;
constexpr double kHighestHz = 2000.0;
constexpr double kBassSplitHz = 200.0;       // peaks below this go to the bass histogram
constexpr double kBassWeight = 1.5;          // weight of the bass correlation against the chroma's
constexpr double kChromaExponent = 0.5;      // compression of the chroma before the correlation
constexpr int kOpeningFrames = 2;            // about 0.6 s from the first sound: shorter than a chord
constexpr double kOpeningWeight = 1.0;       // weight of the opening's match with the tonic triad
constexpr int kNeighbourhood = 12;           // bins either side for a peak's background
constexpr double kPeakOverBackground = 2.5;  // a peak must reach this many times its background
constexpr double kPeakBelowMaximum = 0.01;   // and −40 dB of the frame's strongest peak
constexpr double kSilenceAmplitude = 1e-4;   // a frame whose strongest sine is below this is silent
constexpr int kMinTonalFrames = 3;           // about half a second of sound
// On the generated songs tonalness stays above 0.5 (drums, noise at
// −20 dB); noise, drums alone and speech-like sound stay below 0.17.
constexpr double kMinTonalness = 0.3;
constexpr int kCents = 1200;
constexpr double kTuningSmoothCents = 6.0;   // half-width of the triangular smoothing
constexpr double kTuningRefineCents = 15.0;  // circular mean over this either side of the mode

// Key profiles: how strongly each degree of the scale is heard in music in
// a major or minor key (Krumhansl and Kessler's probe-tone ratings). On the
// generated song set they did better than Temperley's and Sha'ath's.
constexpr std::array<double, 12> kMajorProfile = {6.35, 2.23, 3.48, 2.33, 4.38, 4.09,
                                                  2.52, 5.19, 2.39, 3.66, 2.29, 2.88};
constexpr std::array<double, 12> kMinorProfile = {6.33, 2.68, 3.52, 5.38, 2.60, 3.53,
                                                  2.54, 4.75, 3.98, 2.69, 3.34, 3.17};
// Bass profiles of our own: how often each degree carries the bass when
// chords stand mostly in root position (the tonic most, then the dominant,
// the subdominant, the relative's root, the minor's VI, III and VII). The
// bass tells the tonic well but the mode hardly at all, so it is correlated
// on its own instead of being mixed into the chroma, where its roots and
// fifths drowned the thirds that tell major from minor.
constexpr std::array<double, 12> kMajorBassProfile = {0.35, 0.01, 0.07, 0.01, 0.04, 0.15,
                                                      0.01, 0.20, 0.01, 0.10, 0.01, 0.03};
constexpr std::array<double, 12> kMinorBassProfile = {0.35, 0.01, 0.03, 0.07, 0.01, 0.12,
                                                      0.01, 0.18, 0.10, 0.01, 0.08, 0.03};

// The tonic triads the opening is matched with.
constexpr std::array<double, 12> kMajorTriad = {1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0};
constexpr std::array<double, 12> kMinorTriad = {1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0};

struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double z1 = 0, z2 = 0;
  static Biquad LowPass(double freq, double rate, double q) {
    Biquad f;
    const double w = 2 * M_PI * freq / rate, c = std::cos(w), alpha = std::sin(w) / (2 * q);
    const double a0 = 1 + alpha;
    f.b0 = (1 - c) / 2 / a0;
    f.b1 = (1 - c) / a0;
    f.b2 = (1 - c) / 2 / a0;
    f.a1 = -2 * c / a0;
    f.a2 = (1 - alpha) / a0;
    return f;
  }
  double operator()(double x) {  // transposed direct form II
    const double y = b0 * x + z1;
    z1 = b1 * x - a1 * y + z2;
    z2 = b2 * x - a2 * y;
    return y;
  }
};

double Wrap(double cents, double period) {
  double r = std::fmod(cents, period);
  if (r < 0) r += period;
  return r;
}

// Pearson correlation of the chroma with the profile rotated to tonic.
double Correlation(const std::array<double, 12>& chroma, const std::array<double, 12>& profile, int tonic) {
  double mc = 0, mp = 0;
  for (int i = 0; i < 12; ++i) {
    mc += chroma[size_t(i)];
    mp += profile[size_t(i)];
  }
  mc /= 12;
  mp /= 12;
  double cov = 0, vc = 0, vp = 0;
  for (int i = 0; i < 12; ++i) {
    const double c = chroma[size_t((i + tonic) % 12)] - mc;
    const double p = profile[size_t(i)] - mp;
    cov += c * p;
    vc += c * c;
    vp += p * p;
  }
  return vc > 0 && vp > 0 ? cov / std::sqrt(vc * vp) : 0.0;
}

}  // namespace

struct KeyEstimator::Analysis {
  int channels = 1;
  int decimation = 1;
  double workingRate = 0;
  std::array<Biquad, 4> lowPass;
  int phase = 0;  // input samples since the last one kept

  std::array<float, kFftSize> ring{};  // the last kFftSize working-rate samples
  int ringPos = 0;
  int sinceFrame = 0;
  int filled = 0;

  std::unique_ptr<RealFft> fft;
  std::array<float, kFftSize> window{};
  std::array<float, kFftSize> spectrum{};
  std::array<float, kFftSize / 2> magnitude{};
  std::array<double, kFftSize / 2 + 1> prefix{};  // running sums of magnitude, for backgrounds
  int lowBin = 0, highBin = 0;
  double silentMagnitude = 0;

  std::array<double, kCents> bass{};
  std::array<double, kCents> treble{};
  int tonalFrames = 0;
  std::array<double, kCents> opening{};  // the first kOpeningFrames frames with peaks, bass and treble
  double peakShareSum = 0;  // over non-silent frames: the share of band energy in peaks
  int soundingFrames = 0;

  void Push(double sample) {
    ring[size_t(ringPos)] = float(sample);
    ringPos = (ringPos + 1) % kFftSize;
    if (filled < kFftSize) ++filled;
    if (++sinceFrame >= kHop && filled == kFftSize) {
      sinceFrame = 0;
      Frame();
    }
  }

  void Frame() {
    for (int i = 0; i < kFftSize; ++i) spectrum[size_t(i)] = ring[size_t((ringPos + i) % kFftSize)] * window[size_t(i)];
    fft->forward(spectrum.data(), spectrum.data());
    const int first = std::max(1, lowBin - kNeighbourhood - 1);
    const int last = std::min(kFftSize / 2 - 1, highBin + kNeighbourhood + 1);
    float strongest = 0;
    for (int k = first; k <= last; ++k) {
      const float re = spectrum[size_t(2 * k)], im = spectrum[size_t(2 * k + 1)];
      magnitude[size_t(k)] = std::sqrt(re * re + im * im);
      if (k >= lowBin && k <= highBin) strongest = std::max(strongest, magnitude[size_t(k)]);
    }
    if (strongest < silentMagnitude) return;
    double bandEnergy = 0, peakEnergy = 0;
    for (int k = lowBin; k <= highBin; ++k) bandEnergy += double(magnitude[size_t(k)]) * magnitude[size_t(k)];
    prefix[size_t(first)] = 0;
    for (int k = first; k <= last; ++k) prefix[size_t(k + 1)] = prefix[size_t(k)] + magnitude[size_t(k)];

    bool any = false;
    const float floor = float(strongest * kPeakBelowMaximum);
    for (int k = lowBin; k <= highBin; ++k) {
      const float m = magnitude[size_t(k)];
      if (m < floor || m <= magnitude[size_t(k - 1)] || m < magnitude[size_t(k + 1)]) continue;
      const int from = std::max(first, k - kNeighbourhood), to = std::min(last, k + kNeighbourhood);
      const double background = (prefix[size_t(to + 1)] - prefix[size_t(from)]) / double(to - from + 1);
      if (m < kPeakOverBackground * background) continue;
      const double a = std::log(std::max(magnitude[size_t(k - 1)], 1e-20f));
      const double b = std::log(double(m));
      const double c = std::log(std::max(magnitude[size_t(k + 1)], 1e-20f));
      const double denominator = a - 2 * b + c;
      const double offset = denominator < 0 ? std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5) : 0.0;
      // Relative to the frame's strongest peak: quiet passages count as
      // much as loud ones, and one loud chord cannot outweigh the song.
      const double amplitude = std::exp(b - 0.25 * (a - c) * offset) / strongest;
      const double hz = (k + offset) * workingRate / kFftSize;
      if (hz < kLowestHz || hz > kHighestHz) continue;
      // Cents above C, folded onto one octave.
      const double cents = Wrap(1200.0 * std::log2(hz / 440.0) + 900.0, kCents);
      std::array<double, kCents>& histogram = hz < kBassSplitHz ? bass : treble;
      const int lower = int(cents);
      const double frac = cents - lower;
      histogram[size_t(lower % kCents)] += amplitude * (1 - frac);
      histogram[size_t((lower + 1) % kCents)] += amplitude * frac;
      if (tonalFrames < kOpeningFrames) {
        opening[size_t(lower % kCents)] += amplitude * (1 - frac);
        opening[size_t((lower + 1) % kCents)] += amplitude * frac;
      }
      // The peak's bin and its neighbours: most of a Hann main lobe.
      for (int j = k - 1; j <= k + 1; ++j) peakEnergy += double(magnitude[size_t(j)]) * magnitude[size_t(j)];
      any = true;
    }
    if (any) ++tonalFrames;
    if (bandEnergy > 0) {
      peakShareSum += peakEnergy / bandEnergy;
      ++soundingFrames;
    }
  }
};

std::unique_ptr<KeyEstimator> KeyEstimator::create(int channels, int sampleRate) {
  if (channels < 1 || channels > 8 || sampleRate < 8000 || sampleRate > 192000) return nullptr;
  auto analysis = std::make_unique<Analysis>();
  analysis->fft = RealFft::create(kFftSize);
  if (!analysis->fft) return nullptr;
  analysis->channels = channels;
  analysis->decimation = std::max(1, int(std::lround(sampleRate / kTargetRate)));
  analysis->workingRate = double(sampleRate) / analysis->decimation;
  // Butterworth: the four sections' Q from the pole angles.
  for (int s = 0; s < 4; ++s)
    analysis->lowPass[size_t(s)] =
        Biquad::LowPass(kLowPassHz, sampleRate, 1.0 / (2.0 * std::cos((2 * s + 1) * M_PI / 16.0)));
  for (int i = 0; i < kFftSize; ++i)
    analysis->window[size_t(i)] = float(0.5 - 0.5 * std::cos(2 * M_PI * i / kFftSize));
  analysis->lowBin = std::max(2, int(std::floor(kLowestHz * kFftSize / analysis->workingRate)) - 1);
  analysis->highBin = std::min(kFftSize / 2 - 2, int(std::ceil(kHighestHz * kFftSize / analysis->workingRate)) + 1);
  // A Hann-windowed sine of amplitude A peaks at A·N/4.
  analysis->silentMagnitude = kSilenceAmplitude * kFftSize / 4;
  return std::unique_ptr<KeyEstimator>(new KeyEstimator(std::move(analysis)));
}

KeyEstimator::KeyEstimator(std::unique_ptr<Analysis> analysis) : analysis_(std::move(analysis)) {}
KeyEstimator::~KeyEstimator() = default;

void KeyEstimator::write(const float* interleaved, int frames) {
  if (!interleaved || frames <= 0) return;
  Analysis& a = *analysis_;
  const int channels = a.channels;
  const float scale = 1.0f / float(channels);
  for (int f = 0; f < frames; ++f) {
    float sum = 0;
    for (int c = 0; c < channels; ++c) {
      const float v = interleaved[size_t(f) * size_t(channels) + size_t(c)];
      if (std::isfinite(v)) sum += v;
    }
    double x = double(sum * scale);
    if (a.decimation > 1) {
      for (Biquad& section : a.lowPass) x = section(x);
      if (++a.phase < a.decimation) continue;
      a.phase = 0;
    }
    a.Push(x);
  }
}

KeyEstimate KeyEstimator::estimate() const {
  const Analysis& a = *analysis_;
  KeyEstimate result;
  if (a.tonalFrames < kMinTonalFrames) return result;

  // Tuning: the circular histogram of deviations from the grid.
  std::array<double, 100> deviation{};
  double total = 0;
  for (int i = 0; i < kCents; ++i) {
    deviation[size_t(i % 100)] += a.bass[size_t(i)] + a.treble[size_t(i)];
    total += a.bass[size_t(i)] + a.treble[size_t(i)];
  }
  if (!(total > 0)) return result;
  int mode = 0;
  double modeValue = -1;
  for (int i = 0; i < 100; ++i) {
    double smoothed = 0;
    for (int j = -int(kTuningSmoothCents); j <= int(kTuningSmoothCents); ++j)
      smoothed += deviation[size_t((i + j + 100) % 100)] * (1.0 - std::abs(j) / (kTuningSmoothCents + 1));
    if (smoothed > modeValue) {
      modeValue = smoothed;
      mode = i;
    }
  }
  double sx = 0, sy = 0;
  for (int j = -int(kTuningRefineCents); j <= int(kTuningRefineCents); ++j) {
    const int i = (mode + j + 100) % 100;
    const double angle = 2 * M_PI * (mode + j) / 100.0;
    sx += deviation[size_t(i)] * std::cos(angle);
    sy += deviation[size_t(i)] * std::sin(angle);
  }
  // Tonalness: how firmly the peaks sit on one grid, times their share.
  double gx = 0, gy = 0;
  for (int i = 0; i < 100; ++i) {
    gx += deviation[size_t(i)] * std::cos(2 * M_PI * i / 100.0);
    gy += deviation[size_t(i)] * std::sin(2 * M_PI * i / 100.0);
  }
  const double peakShare = a.soundingFrames > 0 ? a.peakShareSum / a.soundingFrames : 0.0;
  const double tonalness = std::clamp(std::hypot(gx, gy) / total * peakShare, 0.0, 1.0);
  if (tonalness < kMinTonalness) {
    result.tonalness = float(tonalness);
    return result;
  }

  double tuning = std::atan2(sy, sx) / (2 * M_PI) * 100.0;  // -50 … 50
  if (tuning >= 50) tuning -= 100;
  if (tuning < -50) tuning += 100;

  // Chromas around the tuned grid: a flat top over the middle half of each
  // semitone, tapering to the edges.
  std::array<double, 12> chroma{}, bassChroma{}, openChroma{};
  const int shift = int(std::lround(tuning));
  for (int pc = 0; pc < 12; ++pc) {
    for (int j = -50; j < 50; ++j) {
      const size_t i = size_t((pc * 100 + shift + j + 2 * kCents) % kCents);
      const double w = std::abs(j) <= 25 ? 1.0 : (50.0 - std::abs(j)) / 25.0;
      chroma[size_t(pc)] += w * a.treble[i];
      bassChroma[size_t(pc)] += w * a.bass[i];
      openChroma[size_t(pc)] += w * a.opening[i];
    }
    chroma[size_t(pc)] = std::pow(chroma[size_t(pc)], kChromaExponent);
    openChroma[size_t(pc)] = std::pow(openChroma[size_t(pc)], kChromaExponent);
  }

  double best = -2, second = -2;
  for (int tonic = 0; tonic < 12; ++tonic) {
    for (int minor = 0; minor < 2; ++minor) {
      const double r = Correlation(chroma, minor ? kMinorProfile : kMajorProfile, tonic) +
                       kBassWeight * Correlation(bassChroma, minor ? kMinorBassProfile : kMajorBassProfile, tonic) +
                       kOpeningWeight * Correlation(openChroma, minor ? kMinorTriad : kMajorTriad, tonic);
      if (r > best) {
        second = best;
        best = r;
        result.tonic = tonic;
        result.minor = minor != 0;
      } else if (r > second) {
        second = r;
      }
    }
  }
  result.known = true;
  // The lead over the runner-up, against the most the runner-up could have
  // been behind a perfect match.
  constexpr double kPerfect = 1.0 + kBassWeight + kOpeningWeight;
  result.confidence = float(std::clamp((best - second) / std::max(1e-9, kPerfect - second), 0.0, 1.0));
  result.tuningCents = float(tuning);
  result.tonalness = float(tonalness);
  return result;
}

// ---- Names and captions -----------------------------------------------------

namespace {

constexpr const char* kMajorNames[12] = {"C", "Db", "D", "Eb", "E", "F", "Gb", "G", "Ab", "A", "Bb", "B"};
constexpr const char* kMinorNames[12] = {"C", "C#", "D", "Eb", "E", "F", "F#", "G", "G#", "A", "Bb", "B"};

}  // namespace

std::string KeyName(int tonic, bool minor) {
  const int pc = ((tonic % 12) + 12) % 12;
  return std::string(minor ? kMinorNames[pc] : kMajorNames[pc]) + (minor ? " minor" : " major");
}

std::string KeyName(const KeyEstimate& key) { return key.known ? KeyName(key.tonic, key.minor) : "---"; }

int KeyShiftSemitones(double pitchSemitones, double speedFactor) {
  if (!std::isfinite(speedFactor) || speedFactor <= 0) speedFactor = 1;
  if (!std::isfinite(pitchSemitones)) pitchSemitones = 0;
  // The tiny tolerance keeps 12·log2(2) = 12 exactly an integer after the
  // float round trips of the sliders' figures.
  const double semitones = pitchSemitones + 12.0 * std::log2(speedFactor);
  return int(std::lround(std::round(semitones * 1e6) / 1e6));
}

KeyEstimate ShiftedKey(const KeyEstimate& key, double pitchSemitones, double speedFactor) {
  KeyEstimate shifted = key;
  if (key.known) shifted.tonic = ((key.tonic + KeyShiftSemitones(pitchSemitones, speedFactor)) % 12 + 12) % 12;
  return shifted;
}

std::string KeyChangeCaption(const KeyEstimate& key, double pitchSemitones, double speedFactor) {
  if (!key.known) return "---";
  return KeyName(key) + " \u2192 " + KeyName(ShiftedKey(key, pitchSemitones, speedFactor));
}

std::string TuningCaption(float cents) {
  const long rounded = std::isfinite(cents) ? std::lround(double(cents)) : 0;
  if (rounded == 0) return "0 \u00a2";
  return (rounded > 0 ? "+" : "\u2212") + std::to_string(std::labs(rounded)) + " \u00a2";
}

std::string KeyAndTuningCaption(const KeyEstimate& key) {
  if (!key.known) return "---";
  return KeyName(key) + ", tuning " + TuningCaption(key.tuningCents);
}
