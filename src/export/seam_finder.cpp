#include "export/seam_finder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "decode/audio_file_reader.h"
#include "dsp/fft.h"

namespace {

// Quieter than this (mean square, dBFS) over the whole cross-fade counts as
// silence.
constexpr double kSilenceDb = -50.0;
// An onset must stand this many times above the span's median flux and
// above a floor (a swell of a held note is no onset), and what follows it
// must be audible.
constexpr double kOnsetStrength = 5.0;
constexpr double kOnsetFloor = 0.02;
constexpr double kAudibleDb = -45.0;
// The cross-fade begins this long after the end of the frame that shows
// the onset, past the attack.
constexpr double kAfterOnsetSeconds = 0.01;
// What moving away from the cut costs: a steady seam at the span's edge
// must be this much quieter (dB); an onset there this much weaker (share).
constexpr double kSteadyDistanceDb = 6.0;
constexpr double kOnsetDistanceShare = 0.5;

// About 23 ms of analysis window, a power of two.
int WindowFor(int rate) {
  int n = 256;
  while (n * 2 <= int(std::lround(rate * 0.0232 * 1.5))) n *= 2;
  return n;
}

struct Frames {
  int size = 0;
  int hop = 0;
  std::vector<double> energyDb;  // mean square of the frame, dBFS
  std::vector<double> flux;      // rise of the compressed spectrum against the frame before
  size_t centre(size_t t) const { return t * size_t(hop) + size_t(size / 2); }
};

Frames Analyse(const float* x, size_t frames, int rate) {
  Frames a;
  a.size = WindowFor(rate);
  a.hop = a.size / 4;
  if (frames < size_t(a.size) * 4) return a;
  const size_t count = (frames - size_t(a.size)) / size_t(a.hop) + 1;
  std::unique_ptr<RealFft> fft = RealFft::create(a.size);
  if (!fft) return a;
  std::vector<float> window(size_t(a.size)), in(size_t(a.size)), out(size_t(a.size));
  for (int i = 0; i < a.size; ++i) window[size_t(i)] = float(0.5 - 0.5 * std::cos(2 * M_PI * (i + 0.5) / a.size));
  const int bins = a.size / 2;
  std::vector<double> level(size_t(bins), 0.0), previous(size_t(bins), 0.0);
  // |X| of a full-scale sine under the Hann window is about size / 4.
  const double scale = 4.0 / a.size;
  a.energyDb.resize(count);
  a.flux.resize(count);
  for (size_t t = 0; t < count; ++t) {
    const float* frame = x + t * size_t(a.hop);
    double sum = 0;
    for (int i = 0; i < a.size; ++i) {
      sum += double(frame[i]) * double(frame[i]);
      in[size_t(i)] = frame[i] * window[size_t(i)];
    }
    a.energyDb[t] = 10.0 * std::log10(sum / a.size + 1e-20);
    fft->forward(in.data(), out.data());
    double rise = 0;
    for (int b = 1; b < bins; ++b) {
      const double re = out[size_t(2 * b)], im = out[size_t(2 * b + 1)];
      level[size_t(b)] = std::log1p(100.0 * scale * std::sqrt(re * re + im * im));
      if (t > 0) rise += std::max(0.0, level[size_t(b)] - previous[size_t(b)]);
    }
    a.flux[t] = rise / bins;
    std::swap(level, previous);
  }
  return a;
}

size_t Distance(size_t a, size_t b) { return a > b ? a - b : b - a; }

}  // namespace

SeamChoice ChooseSeam(const float* mono, size_t frames, int rate, size_t preferred, size_t crossfadeFrames) {
  SeamChoice choice{std::min(preferred, frames), SeamKind::Steady};
  if (rate <= 0 || frames < 2 * crossfadeFrames + 2) return choice;
  const Frames a = Analyse(mono, frames, rate);
  const size_t count = a.energyDb.size();
  if (count < 8) return choice;
  const size_t half = crossfadeFrames / 2 + 1;
  const size_t lowest = half, highest = frames - half;  // where a centre keeps the fade inside the span
  const double reach = double(std::max(preferred, frames - preferred));

  // Frames whose whole window lies inside [centre - half, centre + half).
  auto framesAround = [&](size_t centre, size_t* first, size_t* last) {
    const size_t from = centre >= half ? centre - half : 0;
    const size_t to = centre + half;
    *first = from / size_t(a.hop);
    const size_t end = to >= size_t(a.size) ? (to - size_t(a.size)) / size_t(a.hop) : 0;
    *last = std::min(end, count - 1);
    return *first <= *last;
  };

  // Silence: a run of quiet frames that holds the whole cross-fade; the
  // point of the run nearest the cut.
  {
    bool found = false;
    size_t best = 0;
    size_t t = 0;
    while (t < count) {
      if (a.energyDb[t] > kSilenceDb) {
        ++t;
        continue;
      }
      size_t end = t;
      while (end + 1 < count && a.energyDb[end + 1] <= kSilenceDb) ++end;
      // Samples covered by quiet frames only.
      const size_t from = t * size_t(a.hop), to = end * size_t(a.hop) + size_t(a.size);
      if (to - from >= 2 * half && from + half >= lowest && to - half <= highest) {
        const size_t at = std::clamp(preferred, from + half, to - half);
        if (!found || Distance(at, preferred) < Distance(best, preferred)) best = at;
        found = true;
      }
      t = end + 1;
    }
    if (found) return {best, SeamKind::Silence};
  }

  // Onsets: peaks of the spectral flux well above its median.
  {
    std::vector<double> sorted(a.flux);
    std::nth_element(sorted.begin(), sorted.begin() + long(count / 2), sorted.end());
    const double median = sorted[count / 2] + 1e-4;
    const size_t after = size_t(std::lround(kAfterOnsetSeconds * rate));
    double bestScore = 0;
    size_t best = 0;
    for (size_t t = 3; t + 3 < count; ++t) {
      const double f = a.flux[t];
      if (f < kOnsetStrength * median || f < kOnsetFloor) continue;
      bool peak = true;
      // The first frame of a plateau is its peak.
      for (size_t u = t - 3; u <= t + 3 && peak; ++u) peak = u == t || (u < t ? a.flux[u] < f : a.flux[u] <= f);
      if (!peak || a.energyDb[std::min(t + 2, count - 1)] < kAudibleDb) continue;
      const size_t at = t * size_t(a.hop) + size_t(a.size) + after + half;
      if (at < lowest || at > highest) continue;
      const double score = f / median * (1.0 - kOnsetDistanceShare * double(Distance(at, preferred)) / reach);
      if (score > bestScore) {
        bestScore = score;
        best = at;
      }
    }
    if (bestScore >= kOnsetStrength * (1.0 - kOnsetDistanceShare)) return {best, SeamKind::Onset};
  }

  // Steady: the quietest cross-fade, the cut when all are alike. Candidates
  // on the frame grid, nearest first, so that a tie keeps the nearer one.
  {
    double bestScore = std::numeric_limits<double>::infinity();
    size_t best = std::clamp(preferred, lowest, highest);
    std::vector<size_t> candidates;
    for (size_t t = 0; t < count; ++t) candidates.push_back(a.centre(t));
    candidates.push_back(best);
    std::stable_sort(candidates.begin(), candidates.end(),
                     [&](size_t x, size_t y) { return Distance(x, preferred) < Distance(y, preferred); });
    for (const size_t at : candidates) {
      if (at < lowest || at > highest) continue;
      size_t first = 0, last = 0;
      if (!framesAround(at, &first, &last)) continue;
      double sum = 0;
      for (size_t t = first; t <= last; ++t) sum += std::pow(10.0, a.energyDb[t] / 10.0);
      const double db = 10.0 * std::log10(sum / double(last - first + 1) + 1e-20);
      const double score = db + kSteadyDistanceDb * double(Distance(at, preferred)) / reach;
      if (score < bestScore) {
        bestScore = score;
        best = at;
      }
    }
    return {best, SeamKind::Steady};
  }
}

int64_t FindSeam(AudioFileReader& reader, int64_t cut, int64_t halfSpan, int64_t lowest, int64_t highest,
                 int64_t crossfadeFrames) {
  const int64_t from = std::max(lowest, cut - halfSpan);
  const int64_t to = std::min(highest, cut + halfSpan);
  auto keep = [&](int64_t at) {
    const int64_t low = lowest + crossfadeFrames, high = highest - crossfadeFrames;
    return low <= high ? std::clamp(at, low, high) : at;
  };
  if (to <= from || cut < from || cut > to) return keep(cut);
  const int channels = std::max(reader.channels(), 1);
  std::vector<float> mono(size_t(to - from), 0.0f);
  std::vector<float> block(size_t(8192) * size_t(channels));
  reader.seekFrame(from);
  size_t got = 0;
  while (got < mono.size()) {
    const int64_t want = std::min<int64_t>(8192, int64_t(mono.size() - got));
    const int64_t n = reader.read(block.data(), want);
    if (n <= 0) break;
    for (int64_t i = 0; i < n; ++i) {
      float sum = 0;
      for (int c = 0; c < channels; ++c) sum += block[size_t(i) * size_t(channels) + size_t(c)];
      mono[got + size_t(i)] = sum / float(channels);
    }
    got += size_t(n);
  }
  if (got == 0) return keep(cut);
  const SeamChoice choice =
      ChooseSeam(mono.data(), got, reader.sampleRate(), size_t(std::min<int64_t>(cut - from, int64_t(got))),
                 size_t(crossfadeFrames));
  return keep(from + int64_t(choice.at));
}
