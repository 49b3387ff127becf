// Tempo analyser.
//
// 1. Onset strength. The input is mixed to mono and cut into frames at about
//    200 a second (window ≈ 20 ms, rounded up to a power of two). Each
//    frame's power spectrum is summed into third-octave bands, compressed as
//    log(1 + γ·amplitude), and each band's rise since the previous frame
//    (half-wave rectified spectral flux, minus a small floor) is summed into
//    four band groups (kick, body, presence, air), into their total and
//    into the total without the air (the drums without the hats).
//    Frame starts are jittered by a few milliseconds at random: the magnitude
//    spectrum of a steady low tone wobbles with the phase at which a frame
//    catches it, and at a fixed hop that wobble aliases into a slow, exactly
//    periodic pattern that looks like a tempo; jittered, it is noise.
// 2. Periodicity. Each of the five envelopes is smoothed (10 Hz), loses its
//    slow trend (one-pole high-pass, 0.5 s) and, at every other frame (the
//    smoothing leaves nothing to alias), feeds a running autocorrelation over
//    a fixed lag range of 6 s. Only the accumulators and the last 6 s of
//    envelope are kept: memory is fixed at creation whatever the length of
//    the stream, and every frame costs the same. Groups keep
//    instruments apart (a kick on 1 and 3 is cleanly periodic in its own
//    group); the total keeps what they do together (kick and snare
//    alternating make the beat).
// 3. Decision, when the value is asked for. The normalised autocorrelations
//    are averaged (half the weight on the total) into r(lag). Every tempo in
//    range gets a comb score: the mean of r at the multiples of its period
//    within 4 s. The strongest periodicity (under a broad prior) fixes the
//    family; its relatives ×/÷ 2, 3, 4 within the range then compete on the
//    rhythm itself (LevelScore): whether the drums strike every beat or
//    only every other one, whether the snare band keeps a backbeat on 2
//    and 4, whether the drums strike evenly at half the period too; a
//    prior around 120 BPM only breaks near ties. The winner's period is refined on every multiple that
//    fits the 6 s of lags, where the long lags resolve it to a small fraction
//    of a percent. A strongest periodicity whose comb score stands well clear
//    of the scatter an aperiodic envelope of the same length and smoothness
//    would give neither in r nor (with a firmer floor) in any one envelope
//    alone means "no tempo" (0): silence, noise, speech, steady tones.
//
// The FFT is a small radix-2 transform of our own, which keeps the analyser
// free of any global planner state: analysers may be created on any thread.
#include "dsp/bpm_analyser.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Onset strength.
constexpr double kFrameRate = 200.0;          // envelope frames per second (hop = rate / 200)
constexpr double kWindowSeconds = 0.02;       // shortest window; the size is the next power of two
constexpr double kFrameJitterSeconds = 0.008; // frame starts vary over [0, 2 × this]
constexpr double kLogGain = 1000.0;           // γ: a band at −60 dBFS sits at the knee
constexpr double kFluxFloor = 0.05;           // log rises below this are not onsets
constexpr double kBandsPerOctave = 3.0;
constexpr double kLowestBandHz = 30.0;
constexpr double kHighestBandHz = 16000.0;
constexpr int kGroups = 4;
constexpr double kGroupEdgesHz[kGroups - 1] = {150.0, 800.0, 4000.0};
constexpr int kTotal = kGroups;              // envelope index of the groups' total
constexpr int kDrums = kGroups + 1;           // ... of kick, body and presence together: the hats left out
constexpr int kEnvelopes = kGroups + 2;
constexpr int kChunkFrames = 2048;            // input is mixed down in pieces of at most this

// Periodicity.
constexpr double kSmoothHz = 10.0;
constexpr double kTrendSeconds = 0.5;
constexpr double kMaxLagSeconds = 6.0;
constexpr int kDecimation = 2;                // the smoothed envelope is correlated at half the rate
constexpr int kFlushEvery = 256;              // float partial sums go into doubles this often

// Decision.
constexpr double kMinSeconds = 2.0;           // less analysed than this: no tempo
constexpr double kTotalWeight = 0.5;          // share of the total envelope in r
constexpr double kCombSeconds = 4.0;
constexpr double kGridStep = 1.002;           // coarse tempo grid, relative step
constexpr int kMaxGrid = 4096;                // enough for the widest range the lags allow
constexpr double kPriorCenterBpm = 120.0;
constexpr double kBroadPriorOctaves = 1.5;    // ... when finding the strongest periodicity
constexpr double kRelativeTolerance = 0.03;   // a relative's comb peak is looked for within this
// Weights of the metrical level's cues (LevelScore); chosen on generated
// loop sets and checked on others of different rate, mix and seed.
constexpr int kSnareGroup = 2;                // presence, 800 … 4000 Hz
constexpr double kCombWeight = 0.5;
constexpr double kPulseWeight = 0.25;
constexpr double kBackbeatWeight = 1.5;
constexpr double kSlowerSnareWeight = 1.0;
constexpr double kBetweenGain = 4.0;          // evenness of the beats between snares that counts fully
constexpr double kHalfPulseWeight = 0.3;
constexpr double kPriorWeight = 0.2;          // per squared octave from the centre
constexpr double kTernaryPenalty = 1.0;
constexpr double kFallbackPriorOctaves = 0.8; // the prior's deviation where the snare band is silent
constexpr double kMinEven = 0.05;             // r below this at the even multiples counts as this
constexpr double kMinEvenness = 0.05;
constexpr double kMinCombForLevel = 0.02;
constexpr double kSlowestLevelBpm = 40.0;     // no beat is slower: no snare evidence from there
constexpr double kShortLagSeconds = 0.1;      // lags where any envelope is self-similar
constexpr double kSignificance = 6.0;         // standard deviations a tempo must stand clear
constexpr double kMinComb = 0.08;             // and never less than this comb score
constexpr double kMinEnvelopeComb = 0.15;     // ... nor this in one envelope judged alone
constexpr double kRefineSpan = 0.015;         // refinement searches ± this around the level
constexpr double kRefineStep = 0.0002;
constexpr int kRefineSteps = int(kRefineSpan / kRefineStep + 0.5);

// Four floats processed together; GCC and Clang lower this to SSE/NEON.
// F4u is the same vector read from or written to any float address.
typedef float F4 __attribute__((vector_size(16)));
typedef float F4u __attribute__((vector_size(16), aligned(4), may_alias));
inline F4 Load4(const float* p) { return *reinterpret_cast<const F4u*>(p); }
inline void Store4(float* p, F4 v) { *reinterpret_cast<F4u*>(p) = v; }

// Power spectrum of a real frame of size n (a power of two, ≥ 16): a complex
// radix-2 FFT of size n/2 on split arrays, then the even/odd split.
class PowerSpectrum {
 public:
  explicit PowerSpectrum(int n)
      : n_(n), m_(n / 2), re_(m_), im_(m_), bitrev_(m_), twRe_(m_), twIm_(m_), splitRe_(m_), splitIm_(m_) {
    int bits = 0;
    while ((1 << bits) < m_) ++bits;
    for (int i = 0; i < m_; ++i) {
      int r = 0;
      for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
      bitrev_[i] = r;
    }
    // The stage with half-length h finds its twiddles e^(−iπj/h) at [h, 2h).
    for (int h = 1; h < m_; h <<= 1) {
      for (int j = 0; j < h; ++j) {
        twRe_[h + j] = float(std::cos(M_PI * j / h));
        twIm_[h + j] = float(-std::sin(M_PI * j / h));
      }
    }
    for (int k = 0; k < m_; ++k) {
      splitRe_[k] = float(std::cos(2 * M_PI * k / n_));
      splitIm_[k] = float(-std::sin(2 * M_PI * k / n_));
    }
  }

  // power[k] = |X[k]|² for k = 0 … n/2 − 1.
  void Compute(const float* x, float* power) {
    float* re = re_.data();
    float* im = im_.data();
    for (int i = 0; i < m_; ++i) {
      const int j = bitrev_[i];
      re[j] = x[2 * i];
      im[j] = x[2 * i + 1];
    }
    // The first two stages together, as radix-4 butterflies.
    for (int i = 0; i < m_; i += 4) {
      const float ar = re[i] + re[i + 1], ai = im[i] + im[i + 1];
      const float br = re[i] - re[i + 1], bi = im[i] - im[i + 1];
      const float cr = re[i + 2] + re[i + 3], ci = im[i + 2] + im[i + 3];
      const float dr = re[i + 2] - re[i + 3], di = im[i + 2] - im[i + 3];
      re[i] = ar + cr;
      im[i] = ai + ci;
      re[i + 2] = ar - cr;
      im[i + 2] = ai - ci;
      re[i + 1] = br + di;  // b + d·(−i)
      im[i + 1] = bi - dr;
      re[i + 3] = br - di;
      im[i + 3] = bi + dr;
    }
    for (int h = 4; h < m_; h <<= 1) {
      const float* wr = twRe_.data() + h;
      const float* wi = twIm_.data() + h;
      for (int i = 0; i < m_; i += 2 * h) {
        for (int j = 0; j < h; j += 4) {
          const F4 xr = Load4(re + i + h + j), xi = Load4(im + i + h + j);
          const F4 cr = Load4(wr + j), ci = Load4(wi + j);
          const F4 vr = xr * cr - xi * ci, vi = xr * ci + xi * cr;
          const F4 ur = Load4(re + i + j), ui = Load4(im + i + j);
          Store4(re + i + j, ur + vr);
          Store4(im + i + j, ui + vi);
          Store4(re + i + h + j, ur - vr);
          Store4(im + i + h + j, ui - vi);
        }
      }
    }
    // Z = E + i·O packs the transforms of the even and odd samples:
    // E[k] = (Z[k] + Z*[m−k]) / 2, O[k] = (Z[k] − Z*[m−k]) / 2i,
    // X[k] = E[k] + e^(−2πik/n)·O[k].
    for (int k = 0; k < m_; ++k) {
      const int c = k == 0 ? 0 : m_ - k;
      const float zr = re[k], zi = im[k], cr = re[c], ci = -im[c];
      const float er = 0.5f * (zr + cr), ei = 0.5f * (zi + ci);
      const float orr = 0.5f * (zi - ci), oi = -0.5f * (zr - cr);
      const float wr = splitRe_[k], wi = splitIm_[k];
      const float xr = er + wr * orr - wi * oi;
      const float xi = ei + wr * oi + wi * orr;
      power[k] = xr * xr + xi * xi;
    }
  }

 private:
  int n_, m_;
  std::vector<float> re_, im_;
  std::vector<int> bitrev_;
  std::vector<float> twRe_, twIm_, splitRe_, splitIm_;
};

// Running autocorrelation of one envelope over lags 0 … maxLag (at least).
class RunningAutocorrelation {
 public:
  explicit RunningAutocorrelation(int maxLag)
      : lags_((maxLag + 4) / 4 * 4), history_(2 * size_t(lags_), 0.0f), partial_(lags_, 0.0f), sums_(lags_, 0.0) {}

  void Push(float x) {
    // Newest value first: history_[head_ + L] is the value L frames back,
    // contiguous because every value is stored twice.
    head_ = head_ == 0 ? lags_ - 1 : head_ - 1;
    history_[head_] = x;
    history_[head_ + lags_] = x;
    ++count_;
    // Whole vectors; lags beyond the values seen so far multiply zeros.
    const int vectors = int((std::min<long long>(count_, lags_) + 3) / 4);
    const float* h = history_.data() + head_;
    float* p = partial_.data();
    const F4 xv = {x, x, x, x};
    for (int v = 0; v < vectors; ++v) Store4(p + 4 * v, Load4(p + 4 * v) + xv * Load4(h + 4 * v));
    if (++sincePartial_ == kFlushEvery) Flush();
  }

  // Σ x[n]·x[n − lag] over all n pushed so far.
  double Sum(int lag) const { return sums_[lag] + partial_[lag]; }

 private:
  // Short float sums keep the inner loop fast; doubles keep hours exact.
  void Flush() {
    for (int l = 0; l < lags_; ++l) {
      sums_[l] += partial_[l];
      partial_[l] = 0.0f;
    }
    sincePartial_ = 0;
  }

  int lags_;
  std::vector<float> history_;
  std::vector<float> partial_;
  std::vector<double> sums_;
  int head_ = 0;
  int sincePartial_ = 0;
  long long count_ = 0;
};

// Catmull-Rom interpolation of r[0 … size − 1] at a fractional index.
double Interpolate(const double* r, int size, double x) {
  const int i = int(x);
  if (i >= size - 1) return r[size - 1];
  const double t = x - i;
  const double p0 = r[std::max(i - 1, 0)], p1 = r[i], p2 = r[i + 1], p3 = r[std::min(i + 2, size - 1)];
  return p1 + 0.5 * t * (p2 - p0 + t * (2 * p0 - 5 * p1 + 4 * p2 - p3 + t * (3 * (p1 - p2) + p3 - p0)));
}

double Prior(double bpm, double octaves) {
  const double x = std::log2(bpm / kPriorCenterBpm) / octaves;
  return std::exp(-0.5 * x * x);
}

int WindowSize(int rate) {
  int n = 16;
  while (n < kWindowSeconds * rate) n <<= 1;
  return n;
}

struct Band {
  int lo, hi;  // bins [lo, hi)
  int group;
};

}  // namespace

struct BpmAnalyser::Analysis {
  Analysis(int channels, int rate)
      : channels(channels),
        hop(std::max(1, int(std::lround(rate / kFrameRate)))),
        frameRate(double(rate) / hop),
        lagRate(frameRate / kDecimation),
        size(WindowSize(rate)),
        jitter(int(kFrameJitterSeconds * rate)),
        maxLag(int(std::ceil(kMaxLagSeconds * lagRate))),
        smoothAlpha(float(1.0 - std::exp(-2 * M_PI * kSmoothHz / frameRate))),
        trendAlpha(float(1.0 - std::exp(-1.0 / (kTrendSeconds * frameRate)))),
        spectrum(size),
        window(size),
        mono(size_t(size) + 2 * size_t(jitter) + kChunkFrames),
        frame(size),
        power(size / 2),
        r(size_t(maxLag) + 1),
        bandR(kEnvelopes, std::vector<double>(size_t(maxLag) + 1)),
        grid(kMaxGrid),
        refine(2 * kRefineSteps + 1) {
    // Scaled so that a full-scale sine alone in a one-bin band reads 1.
    double windowSum = 0;
    for (int i = 0; i < size; ++i) {
      window[i] = float(0.5 - 0.5 * std::cos(2 * M_PI * (i + 0.5) / size));
      windowSum += window[i];
    }
    for (float& w : window) w = float(w * 2.0 / windowSum);

    // Third-octave bands; where bins are wider than that, one band per bin.
    const double binHz = double(rate) / size;
    const double top = std::min(kHighestBandHz, 0.45 * rate);
    int lastBand = -1;
    for (int k = 1; k < size / 2; ++k) {
      const double f = k * binHz;
      if (f < kLowestBandHz || f > top) continue;
      const int b = int(kBandsPerOctave * std::log2(f / kLowestBandHz));
      if (b == lastBand) {
        bands.back().hi = k + 1;
        continue;
      }
      int g = 0;
      while (g < kGroups - 1 && f >= kGroupEdgesHz[g]) ++g;
      bands.push_back({k, k + 1, g});
      lastBand = b;
    }
    previousLevel.assign(bands.size(), 0.0f);
    acf.reserve(kEnvelopes);
    for (int e = 0; e < kEnvelopes; ++e) acf.emplace_back(maxLag);
  }

  void Write(const float* input, int frames) {
    const float gain = 1.0f / float(channels);
    while (frames > 0) {
      const int chunk = std::min(frames, kChunkFrames);
      float* dst = mono.data() + filled;
      for (int i = 0; i < chunk; ++i) {
        float s = 0;
        for (int c = 0; c < channels; ++c) {
          const float v = input[size_t(i) * size_t(channels) + size_t(c)];
          if (std::isfinite(v)) s += v;
        }
        dst[i] = s * gain;
      }
      filled += chunk;
      input += size_t(chunk) * size_t(channels);
      frames -= chunk;

      int pos = 0;
      while (filled - pos >= size + 2 * jitter) {
        // xorshift32 from a fixed seed: results are reproducible.
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        AnalyseFrame(mono.data() + pos + int(random % uint32_t(2 * jitter + 1)));
        pos += hop;
      }
      std::memmove(mono.data(), mono.data() + pos, sizeof(float) * size_t(filled - pos));
      filled -= pos;
    }
  }

  void AnalyseFrame(const float* x) {
    for (int i = 0; i < size; ++i) frame[i] = x[i] * window[i];
    spectrum.Compute(frame.data(), power.data());

    float flux[kEnvelopes] = {};
    for (size_t b = 0; b < bands.size(); ++b) {
      const Band& band = bands[b];
      float p = 0;
      for (int k = band.lo; k < band.hi; ++k) p += power[k];
      const float level = std::log1p(float(kLogGain) * std::sqrt(p / float(band.hi - band.lo)));
      if (analysedFrames > 0) flux[band.group] += std::max(0.0f, level - previousLevel[b] - float(kFluxFloor));
      previousLevel[b] = level;
    }
    for (int g = 0; g < kGroups; ++g) flux[kTotal] += flux[g];
    for (int g = 0; g < kGroups - 1; ++g) flux[kDrums] += flux[g];
    for (int e = 0; e < kEnvelopes; ++e) {
      smooth1[e] += smoothAlpha * (flux[e] - smooth1[e]);
      smooth2[e] += smoothAlpha * (smooth1[e] - smooth2[e]);
      trend[e] += trendAlpha * (smooth2[e] - trend[e]);
      if (analysedFrames % kDecimation == 0) acf[e].Push(smooth2[e] - trend[e]);
    }
    if (analysedFrames % kDecimation == 0) ++lagFrames;
    ++analysedFrames;
  }

  // Mean of x (r unless given) at the multiples of period p (in lags) up to
  // `span` lags.
  double Comb(double p, double span) const { return Comb(r, p, span); }
  double Comb(const std::vector<double>& x, double p, double span) const {
    const int k = std::max(1, int(span / p));
    double s = 0;
    for (int i = 1; i <= k; ++i) s += Interpolate(x.data(), rSize, i * p);
    return s / k;
  }

  // Whether the comb score of autocorrelation x at period p stands clear of
  // the scatter an aperiodic envelope of the same length and smoothness
  // would give, and reaches `floor`. For such an envelope x(L) scatters
  // around 0 with a variance of about (1 + 2·Σ x(m)²) / n, summed over the
  // short lags where the smoothed envelope is similar to itself anyway
  // (Bartlett); the comb averages k such values.
  bool StandsClear(const std::vector<double>& x, double p, double span, double floor) const {
    const int shortLags = std::min(rSize - 1, int(kShortLagSeconds * lagRate));
    double variance = 1;
    for (int m = 1; m <= shortLags; ++m) variance += 2 * x[size_t(m)] * x[size_t(m)];
    variance /= double(lagFrames);
    const int terms = std::max(1, int(span / p));
    return Comb(x, p, span) >= std::max(floor, kSignificance * std::sqrt(variance / terms));
  }

  // Mean of x at the multiples k·p, k = first, first + step, …, within span.
  double Multiples(const std::vector<double>& x, double p, double span, int first, int step) const {
    double s = 0;
    int count = 0;
    for (int k = first; k * p <= span; k += step, ++count) s += Interpolate(x.data(), rSize, k * p);
    return count > 0 ? s / count : 0.0;
  }

  // Share of a beat's weight that the off-beats carry in envelope x when
  // the beat has period p: r at the odd multiples of p against r at the
  // even ones. 1: every beat alike; 0: only every other beat has onsets.
  double Evenness(const std::vector<double>& x, double p, double span) const {
    const double odd = Multiples(x, p, span, 1, 2), even = Multiples(x, p, span, 2, 2);
    return std::clamp(odd / std::max(even, kMinEven), 0.0, 1.0);
  }

  // How well period p (in lags) does as the beat. A listener counts the
  // beat where
  //  - the onsets recur (the comb score), and the drums without the hats
  //    strike every beat, not only every other one (a faster level than the
  //    drums' pulse is a subdivision: hats in eighths or sixteenths);
  //  - the snare band (presence: snare, clap) falls on every other beat, the
  //    backbeat on 2 and 4: uneven at p, even at 2p, with kick, hats or
  //    anything else on the beats in between;
  //  - the drums do not strike evenly at p/2 as well (then p/2 is the beat:
  //    a click track is heard at its clicks, not at every other one).
  // A ternary jump from the strongest periodicity needs clear evidence, and
  // a log-Gaussian prior around 120 BPM only breaks near ties.
  double LevelScore(double p, double span, bool ternary) const {
    const std::vector<double>& drums = bandR[kDrums];
    const std::vector<double>& snare = bandR[kSnareGroup];
    const double bpm = 60.0 * lagRate / p;
    // A snare band with no onsets at all (a very quiet recording, a click in
    // other bands) tells nothing of the backbeat.
    // Without it the periodicity and a firmer prior decide.
    const double octaves = std::log2(bpm / kPriorCenterBpm);
    if (!heard[kSnareGroup]) {
      const double x = octaves / kFallbackPriorOctaves;
      return std::log(std::max(Comb(p, span), kMinCombForLevel)) - 0.5 * x * x;
    }
    const double slowerSnare = bpm / 2 >= kSlowestLevelBpm ? Evenness(snare, 2 * p, span) : 0.5;
    const double half = std::clamp(Multiples(drums, p / 2, span, 1, 2) /
                                       std::max(0.5 * (Multiples(drums, p, span, 1, 2) + Multiples(drums, p, span, 2, 2)),
                                                kMinEven),
                                   0.0, 1.0);
    // The backbeat needs something on the beats between the snares, in some
    // band: else the snare band's gaps are merely gaps (a slow click track).
    double between = 0;
    for (int e = 0; e < kEnvelopes; ++e)
      if (heard[e]) between = std::max(between, Evenness(bandR[size_t(e)], p, span));
    const double backbeat = std::min(1.0, kBetweenGain * between) * (1.0 - Evenness(snare, p, span));
    return kCombWeight * std::log(std::max(Comb(p, span), kMinCombForLevel)) +
           kPulseWeight * std::log(std::max(kMinEvenness, Evenness(drums, p, span))) +
           kBackbeatWeight * backbeat + kSlowerSnareWeight * slowerSnare -
           kHalfPulseWeight * half - kPriorWeight * octaves * octaves - (ternary ? kTernaryPenalty : 0.0);
  }

  float Value(double minBpm, double maxBpm) {
    if (!(minBpm > 0) || !(maxBpm >= minBpm) || !std::isfinite(maxBpm)) return 0;
    const long long n = lagFrames;
    if (n < kMinSeconds * lagRate) return 0;
    // Lags whose unbiased estimate still rests on two thirds of the frames.
    const int lags = int(std::min<long long>(maxLag, n / 3));

    std::fill(r.begin(), r.end(), 0.0);
    double weights = 0;
    for (int e = 0; e < kEnvelopes; ++e) {
      double* re = bandR[size_t(e)].data();
      std::fill(re, re + maxLag + 1, 0.0);
      const double e0 = acf[e].Sum(0) / double(n);
      heard[e] = e0 > 1e-12;
      if (!heard[e]) continue;  // a band group with nothing in it
      for (int l = 0; l <= lags; ++l) re[l] = acf[e].Sum(l) / double(n - l) / e0;
      if (e == kDrums) continue;
      const double w = e == kTotal ? kTotalWeight : (1.0 - kTotalWeight) / kGroups;
      for (int l = 0; l <= lags; ++l) r[l] += w * re[l];
      weights += w;
    }
    if (weights == 0) return 0;
    for (int l = 0; l <= lags; ++l) r[l] /= weights;
    rSize = lags + 1;

    // Comb scores on a geometric tempo grid; the strongest periodicity.
    const double slowest = std::max(minBpm, 60.0 * lagRate / (lags / 2.0));
    const double fastest = std::min(maxBpm, 60.0 * lagRate / 2.0);
    if (!(slowest <= fastest)) return 0;
    const double span = std::min(double(lags), kCombSeconds * lagRate);
    int count = 0, strongest = 0;
    double strongestScore = -1e300;
    for (double bpm = slowest; bpm <= fastest && count < kMaxGrid; bpm *= kGridStep, ++count) {
      grid[count] = Comb(60.0 * lagRate / bpm, span);
      const double score = grid[count] * Prior(bpm, kBroadPriorOctaves);
      if (score > strongestScore) {
        strongestScore = score;
        strongest = count;
      }
    }
    auto tempoAt = [&](int i) { return slowest * std::pow(kGridStep, i); };

    // Significance: the strongest periodicity must stand clear in r, or in
    // one envelope alone. A beat carried by one band group (a kick under a
    // loud pad and noise, hats where nothing else is steady) is diluted in
    // r and in the sums by the flux that noise raises in every band without
    // onsets; in its own group it is as clear as ever. Alone, an envelope
    // must also correlate strongly with itself a period later: a pad's
    // partials beating a few cents apart, or speech under noise, can be
    // significant in one group over a long recording, yet only faintly so,
    // where drum hits repeat nearly alike.
    const double strongestPeriod = 60.0 * lagRate / tempoAt(strongest);
    bool clear = StandsClear(r, strongestPeriod, span, kMinComb);
    for (int e = 0; e < kEnvelopes && !clear; ++e)
      clear = heard[e] && StandsClear(bandR[size_t(e)], strongestPeriod, span, kMinEnvelopeComb);
    if (!clear) return 0;

    // Metrical level: the strongest periodicity and its relatives (×/÷ 2, 4
    // and 3) within the range compete as a listener would weigh them.
    int chosen = strongest;
    double chosenScore = -1e300;
    for (double f : {1.0 / 4, 1.0 / 3, 1.0 / 2, 1.0, 2.0, 3.0, 4.0}) {
      const double target = tempoAt(strongest) * f;
      const int lo = std::max(0, int(std::floor(std::log(target * (1 - kRelativeTolerance) / slowest) /
                                                std::log(kGridStep))));
      const int hi = std::min(count - 1, int(std::ceil(std::log(target * (1 + kRelativeTolerance) / slowest) /
                                                       std::log(kGridStep))));
      if (target < slowest || target > fastest || lo > hi) continue;
      int peak = lo;
      for (int i = lo; i <= hi; ++i) {
        if (grid[i] > grid[peak]) peak = i;
      }
      const double score = LevelScore(60.0 * lagRate / target, span, f == 1.0 / 3 || f == 3.0);
      if (score > chosenScore) {
        chosenScore = score;
        chosen = peak;
      }
    }


    // Refinement: the sum of r over every multiple of the period that fits,
    // maximised on a fine grid, then a parabola through the best three.
    const double coarse = 60.0 * lagRate / tempoAt(chosen);
    int best = 0;
    double bestSum = -1e300;
    for (int i = -kRefineSteps; i <= kRefineSteps; ++i) {
      const double p = coarse * (1.0 + i * kRefineStep);
      double s = 0;
      for (int k = 1; k * p <= lags; ++k) s += Interpolate(r.data(), rSize, k * p);
      refine[size_t(i + kRefineSteps)] = s;
      if (s > bestSum) {
        bestSum = s;
        best = i;
      }
    }
    double offset = best;
    if (best > -kRefineSteps && best < kRefineSteps) {
      const double a = refine[size_t(best + kRefineSteps - 1)], b = refine[size_t(best + kRefineSteps)],
                   c = refine[size_t(best + kRefineSteps + 1)];
      const double d = a - 2 * b + c;
      if (d < 0) offset += 0.5 * (a - c) / d;
    }
    const double period = coarse * (1.0 + offset * kRefineStep);
    return float(std::clamp(60.0 * lagRate / period, minBpm, maxBpm));
  }

  const int channels;
  const int hop;
  const double frameRate;  // envelope frames per second
  const double lagRate;    // autocorrelation lags per second
  const int size;          // window
  const int jitter;        // frames start at a random offset in [0, 2·jitter]
  const int maxLag;
  const float smoothAlpha;
  const float trendAlpha;

  PowerSpectrum spectrum;
  std::vector<float> window;
  std::vector<float> mono;  // pending mono samples, [0, filled)
  int filled = 0;
  uint32_t random = 2463534242u;
  std::vector<float> frame;
  std::vector<float> power;
  std::vector<Band> bands;
  std::vector<float> previousLevel;  // per band, of the previous frame
  long long analysedFrames = 0;
  long long lagFrames = 0;  // envelope values pushed into the autocorrelations

  float smooth1[kEnvelopes] = {};
  float smooth2[kEnvelopes] = {};
  float trend[kEnvelopes] = {};
  std::vector<RunningAutocorrelation> acf;

  // Scratch of the decision, allocated here so that asking allocates nothing.
  std::vector<double> r;  // combined normalised autocorrelation, [0, rSize)
  std::vector<std::vector<double>> bandR;  // each envelope's normalised autocorrelation
  bool heard[kEnvelopes] = {};             // whether the envelope had any onsets
  int rSize = 0;
  std::vector<double> grid;    // comb score per grid tempo
  std::vector<double> refine;  // refinement scores
};

std::unique_ptr<BpmAnalyser> BpmAnalyser::create(int channels, int sampleRate) {
  if (channels < 1 || channels > 8 || sampleRate < 1000 || sampleRate > 768000) return nullptr;
  return std::unique_ptr<BpmAnalyser>(new BpmAnalyser(std::make_unique<Analysis>(channels, sampleRate)));
}

BpmAnalyser::BpmAnalyser(std::unique_ptr<Analysis> analysis) : analysis_(std::move(analysis)) {}

BpmAnalyser::~BpmAnalyser() = default;

void BpmAnalyser::write(const float* interleaved, int frames) {
  if (!interleaved || frames <= 0) return;
  analysis_->Write(interleaved, frames);
}

float BpmAnalyser::estimateBpm(float minBpm, float maxBpm) { return analysis_->Value(minBpm, maxBpm); }
