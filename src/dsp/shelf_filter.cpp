// RBJ cookbook shelving filters, transposed direct form II in double.
//
// Hand-over between set (any thread) and the filtering thread is a triple
// buffer: the setter fills a slot it owns and swaps it into the shared
// middle position with one atomic exchange; the filter swaps the middle into
// its own slot when the dirty bit is set. Neither side waits and a
// coefficient set is never seen half written.
//
// A new set is reached by interpolating every coefficient linearly over
// kRampFrames frames. The region of stable (a1, a2) pairs is convex, so each
// intermediate filter is stable too, and the sweep replaces the step a
// sudden coefficient change would put into the output.
#include "dsp/shelf_filter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>

namespace {

constexpr int kMaxChannels = 8;
constexpr int kRampFrames = 1024;
// Filtering runs in chunks of this many frames; after each chunk a decayed
// state is set to zero so silence never drifts into denormal numbers, and a
// state poisoned by a non-finite input sample is cleared.
constexpr int kChunkFrames = 1024;
constexpr double kTiny = 1e-25;

struct Coeffs {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  // Numerator equals denominator: with zero state every output sample is
  // exactly its input sample.
  bool PassesThrough() const { return b0 == 1 && b1 == a1 && b2 == a2; }
};

Coeffs Shelf(ShelfType type, double corner, double slope, double gainDb) {
  Coeffs c;
  if (type != ShelfType::Low && type != ShelfType::High) return c;
  if (!(corner > 0 && corner < 0.5)) return c;  // also rejects NaN
  if (!(slope > 0)) return c;
  if (std::isnan(gainDb)) return c;
  // 0 dB still goes through the formulas: with A = 1 they give b == a
  // exactly, which passes samples through unchanged once the state has
  // decayed, yet keeps the poles where the shelf has them, so ramping
  // between a boosted and a flat setting sweeps the gain smoothly.
  gainDb = std::clamp(gainDb, -30.0, 30.0);
  slope = std::min(slope, 1.0);  // S = 1 is the steepest shelf without a bump

  const double A = std::pow(10.0, gainDb / 40.0);
  const double w0 = 2.0 * M_PI * corner;
  const double cw = std::cos(w0);
  const double alpha = std::sin(w0) / 2.0 * std::sqrt((A + 1.0 / A) * (1.0 / slope - 1.0) + 2.0);
  const double k = 2.0 * std::sqrt(A) * alpha;
  double b0, b1, b2, a0, a1, a2;
  if (type == ShelfType::Low) {
    b0 = A * ((A + 1) - (A - 1) * cw + k);
    b1 = 2 * A * ((A - 1) - (A + 1) * cw);
    b2 = A * ((A + 1) - (A - 1) * cw - k);
    a0 = (A + 1) + (A - 1) * cw + k;
    a1 = -2 * ((A - 1) + (A + 1) * cw);
    a2 = (A + 1) + (A - 1) * cw - k;
  } else {
    b0 = A * ((A + 1) + (A - 1) * cw + k);
    b1 = -2 * A * ((A - 1) + (A + 1) * cw);
    b2 = A * ((A + 1) + (A - 1) * cw - k);
    a0 = (A + 1) - (A - 1) * cw + k;
    a1 = 2 * ((A - 1) - (A + 1) * cw);
    a2 = (A + 1) - (A - 1) * cw - k;
  }
  c.b0 = b0 / a0;
  c.b1 = b1 / a0;
  c.b2 = b2 / a0;
  c.a1 = a1 / a0;
  c.a2 = a2 / a0;
  return c;
}

constexpr uint8_t kDirty = 4;

}  // namespace

struct ShelfFilter::State {
  int channels = 1;

  // Triple buffer. Setter owns slots[back], the filter owns slots[front].
  Coeffs slots[3];
  std::atomic<uint8_t> middle{1};
  uint8_t back = 2;   // setter side
  uint8_t front = 0;  // filter side
  std::mutex setMutex;  // serialises setters only; the filter never takes it

  // Filter side.
  Coeffs cur;     // coefficients in use at the next sample
  Coeffs target;  // where the ramp ends
  Coeffs step;    // per-frame increment while ramping
  int rampLeft = 0;
  double s1[kMaxChannels] = {};
  double s2[kMaxChannels] = {};

  // Picks up a newly published set, if any, and starts a ramp towards it.
  void Receive() {
    if (!(middle.load(std::memory_order_acquire) & kDirty)) return;
    front = middle.exchange(front, std::memory_order_acq_rel) & 3;
    target = slots[front];
    rampLeft = kRampFrames;
    step.b0 = (target.b0 - cur.b0) / kRampFrames;
    step.b1 = (target.b1 - cur.b1) / kRampFrames;
    step.b2 = (target.b2 - cur.b2) / kRampFrames;
    step.a1 = (target.a1 - cur.a1) / kRampFrames;
    step.a2 = (target.a2 - cur.a2) / kRampFrames;
  }

  bool StateIsZero() const {
    for (int c = 0; c < channels; ++c)
      if (s1[c] != 0 || s2[c] != 0) return false;
    return true;
  }

  void Filter(float* buf, int frames);
};

void ShelfFilter::State::Filter(float* buf, int frames) {
  const int ch = channels;
  int i = 0;
  while (i < frames) {
    if (rampLeft == 0 && cur.PassesThrough() && StateIsZero()) return;  // flat: leave samples untouched
    const int n = std::min(frames - i, kChunkFrames);
    float* p = buf + size_t(i) * size_t(ch);
    for (int f = 0; f < n; ++f, p += ch) {
      if (rampLeft > 0) {
        if (--rampLeft == 0) {
          cur = target;
        } else {
          cur.b0 += step.b0;
          cur.b1 += step.b1;
          cur.b2 += step.b2;
          cur.a1 += step.a1;
          cur.a2 += step.a2;
        }
      }
      for (int c = 0; c < ch; ++c) {
        const double x = p[c];
        const double y = cur.b0 * x + s1[c];
        s1[c] = cur.b1 * x - cur.a1 * y + s2[c];
        s2[c] = cur.b2 * x - cur.a2 * y;
        p[c] = float(y);
      }
    }
    for (int c = 0; c < ch; ++c) {
      if (!(std::fabs(s1[c]) >= kTiny && std::isfinite(s1[c]))) s1[c] = 0;
      if (!(std::fabs(s2[c]) >= kTiny && std::isfinite(s2[c]))) s2[c] = 0;
    }
    i += n;
  }
}

ShelfFilter::ShelfFilter(int channels) : state_(std::make_unique<State>()) {
  state_->channels = std::clamp(channels, 1, kMaxChannels);
}

ShelfFilter::~ShelfFilter() = default;

void ShelfFilter::set(ShelfType type, double corner, double slope, double gainDb) {
  State& s = *state_;
  const Coeffs c = Shelf(type, corner, slope, gainDb);
  std::lock_guard<std::mutex> lock(s.setMutex);
  s.slots[s.back] = c;
  s.back = s.middle.exchange(uint8_t(s.back | kDirty), std::memory_order_acq_rel) & 3;
}

void ShelfFilter::process(float* buffer, int frames) {
  if (!buffer || frames <= 0) return;
  state_->Receive();
  state_->Filter(buffer, frames);
}

void ShelfFilter::flush() {
  State& s = *state_;
  // With no history there is nothing to click against: jump to the latest set.
  s.Receive();
  s.cur = s.target;
  s.rampLeft = 0;
  for (int c = 0; c < kMaxChannels; ++c) s.s1[c] = s.s2[c] = 0;
}
