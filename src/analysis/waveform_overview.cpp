#include "analysis/waveform_overview.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "decode/audio_decoder.h"

namespace {

// The most frames reserved for at construction.
constexpr int64_t kReserveLimit = int64_t(1) << 30;

// Frames each reading thread takes per read: how long a stop waits at most.
constexpr int64_t kBlockFrames = 4096;

// Peak and sum of squares of `count` samples. Eight running lanes, so the
// compiler can keep them in vector registers (the samples are read once,
// right after decoding, and this is most of the summary's cost).
void Accumulate(const float* x, size_t count, float& peak, double& squares) {
  constexpr size_t kLanes = 8;
  float p[kLanes] = {}, s[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    for (size_t k = 0; k < kLanes; ++k) {
      const float v = x[i + k];
      const float a = std::fabs(v);
      p[k] = a > p[k] ? a : p[k];
      s[k] += v * v;
    }
  }
  for (size_t k = 0; i < count; ++i, ++k) {
    const float v = x[i];
    const float a = std::fabs(v);
    p[k] = a > p[k] ? a : p[k];
    s[k] += v * v;
  }
  float pk = peak;
  double sum = 0;
  for (size_t k = 0; k < kLanes; ++k) {
    pk = p[k] > pk ? p[k] : pk;
    sum += double(s[k]);
  }
  // NaN samples are ignored by the comparisons above and poison no entry.
  peak = pk;
  if (std::isfinite(sum)) squares += sum;
}

uint16_t Quantise(double v) {
  if (!(v > 0)) return 0;
  if (v >= 1) return 65535;
  return uint16_t(std::lround(v * 65535.0));
}

}  // namespace

// ---------------------------------------------------------------- summary

WaveformSummary::WaveformSummary(int32_t channels, int64_t lengthFrames, int32_t parts)
    : channels_(std::max<int32_t>(1, channels)),
      parts_([&] {
        const int64_t length = std::max<int64_t>(0, lengthFrames);
        // Past the reserve (below) only the last part may grow the levels:
        // such a length is read as one part.
        const int64_t fit = length > kReserveLimit ? 1 : std::max<int64_t>(1, length / kPartAlignFrames);
        return int32_t(std::clamp<int64_t>(parts, 1, std::min<int64_t>(kMaxParts, fit)));
      }()) {
  const int64_t length = std::max<int64_t>(0, lengthFrames);
  for (int32_t p = 0; p < parts_; ++p) starts_[size_t(p)] = (length / parts_ * p) / kPartAlignFrames * kPartAlignFrames;
  starts_[size_t(parts_)] = length;

  // A length no file has (a damaged header) reserves no more than 2^30
  // frames (6.7 hours at 44.1 kHz, 22 MB); the levels grow past it if need be.
  const int64_t reserved = std::min(length, kReserveLimit);
  size_t bytes = 0;
  for (int level = 0; level < kLevels; ++level) {
    Level& l = levels_[size_t(level)];
    const int64_t frames = levelFrames(level);
    l.capacity = std::max<int64_t>(16, (reserved + frames - 1) / frames + 1);
    l.segments[0] = std::make_unique_for_overwrite<Entry[]>(size_t(l.capacity));
    bytes += size_t(l.capacity) * sizeof(Entry);
  }
  bytes_.store(bytes, std::memory_order_relaxed);
}

WaveformSummary::~WaveformSummary() = default;

const WaveformSummary::Entry& WaveformSummary::entryAt(int level, int64_t index) const {
  const Level& l = levels_[size_t(level)];
  if (index < l.capacity) return l.segments[0][size_t(index)];
  const int k = std::bit_width(uint64_t(index / l.capacity));
  return l.segments[size_t(k)][size_t(index - (l.capacity << (k - 1)))];
}

WaveformSummary::Entry& WaveformSummary::entryForWrite(int level, int64_t index) {
  Level& l = levels_[size_t(level)];
  if (index < l.capacity) return l.segments[0][size_t(index)];
  const int k = std::bit_width(uint64_t(index / l.capacity));
  std::unique_ptr<Entry[]>& segment = l.segments[size_t(k)];
  if (!segment) {
    const int64_t size = l.capacity << (k - 1);
    segment = std::make_unique_for_overwrite<Entry[]>(size_t(size));
    bytes_.fetch_add(size_t(size) * sizeof(Entry), std::memory_order_relaxed);
  }
  return segment[size_t(index - (l.capacity << (k - 1)))];
}

void WaveformSummary::storeEntry(int level, int64_t index, const Sums& sums) {
  Entry& e = entryForWrite(level, index);
  e.peak = Quantise(sums.peak);
  const double samples = double(sums.frames) * channels_;
  e.rms = Quantise(samples > 0 ? std::sqrt(sums.squares / samples) : 0.0);
}

void WaveformSummary::append(int32_t part, const float* interleaved, int64_t frames) {
  if (part < 0 || part >= parts_ || frames <= 0 || interleaved == nullptr) return;
  Part& st = state_[size_t(part)];
  const int64_t base = starts_[size_t(part)];
  if (part + 1 < parts_) frames = std::min(frames, starts_[size_t(part) + 1] - base - st.written);

  while (frames > 0) {
    Sums& finest = st.sums[0];
    const int64_t take = std::min(frames, kFinestFrames - finest.frames);
    Accumulate(interleaved, size_t(take * channels_), finest.peak, finest.squares);
    finest.frames += take;
    st.written += take;
    interleaved += take * channels_;
    frames -= take;
    if (finest.frames < kFinestFrames) break;

    // A whole finest entry: store it and carry it up as far as it completes
    // coarser entries. Coarse entries come from the exact sums, not from
    // the rounded entries below them.
    const int64_t end = base + st.written;
    Sums carry = finest;
    finest = Sums{};
    storeEntry(0, end / kFinestFrames - 1, carry);
    for (int level = 1; level < kLevels; ++level) {
      Sums& s = st.sums[size_t(level)];
      s.squares += carry.squares;
      s.peak = std::max(s.peak, carry.peak);
      s.frames += carry.frames;
      if (s.frames < levelFrames(level)) break;
      storeEntry(level, end / levelFrames(level) - 1, s);
      carry = s;
      s = Sums{};
    }
  }
  st.done.store(st.written - st.sums[0].frames, std::memory_order_release);
}

void WaveformSummary::finish(int32_t part) {
  if (part < 0 || part >= parts_) return;
  Part& st = state_[size_t(part)];
  Sums& finest = st.sums[0];
  if (finest.frames > 0) {
    // Coarser partial sums are dropped: readers take the finer levels
    // wherever a coarse entry is not whole.
    storeEntry(0, (starts_[size_t(part)] + st.written - finest.frames) / kFinestFrames, finest);
    finest = Sums{};
  }
  st.done.store(st.written, std::memory_order_release);
  st.ended.store(true, std::memory_order_release);
}

int64_t WaveformSummary::framesDone() const {
  for (int32_t p = 0;; ++p) {
    const int64_t done = partFramesDone(p);
    if (p + 1 == parts_ || done < starts_[size_t(p) + 1] - starts_[size_t(p)]) return starts_[size_t(p)] + done;
  }
}

bool WaveformSummary::finished() const {
  for (int32_t p = 0; p < parts_; ++p)
    if (!state_[size_t(p)].ended.load(std::memory_order_acquire)) return false;
  return true;
}

void WaveformSummary::combine(int level, int64_t lo, int64_t hi, int64_t available, Combined& into) const {
  const int64_t size = levelFrames(level);
  const int64_t end = std::min(hi, available);
  int64_t index = lo / size;
  for (; (index + 1) * size <= end; ++index) {
    const Entry& e = entryAt(level, index);
    into.peak = std::max(into.peak, e.peak);
    into.squares += double(e.rms) * double(e.rms) * double(size);
    into.frames += size;
  }
  const int64_t rest = index * size;
  if (rest >= end) return;
  if (level > 0) {
    combine(level - 1, rest, std::min(hi, rest + size), available, into);
  } else {
    // A finest entry cut by `available` is a part's finished last entry
    // (while a part is being written it publishes whole entries only).
    const Entry& e = entryAt(0, index);
    into.peak = std::max(into.peak, e.peak);
    into.squares += double(e.rms) * double(e.rms) * double(end - rest);
    into.frames += end - rest;
  }
}

void WaveformSummary::columns(int64_t fromFrame, int64_t toFrame, std::span<WaveColumn> out) const {
  const int64_t n = int64_t(out.size());
  if (n == 0) return;
  const int64_t span = std::max<int64_t>(0, toFrame - fromFrame);

  int level = 0;
  while (level + 1 < kLevels && levelFrames(level + 1) <= span / n) ++level;
  const int64_t size = levelFrames(level);

  // One look at what each part has published, so that every column is
  // drawn from the same moment.
  std::array<int64_t, kMaxParts> available{};
  for (int32_t p = 0; p < parts_; ++p) available[size_t(p)] = starts_[size_t(p)] + partFramesDone(p);

  for (int64_t i = 0; i < n; ++i) {
    const int64_t s = fromFrame + int64_t((__int128(i) * span) / n);
    const int64_t e = fromFrame + int64_t((__int128(i + 1) * span) / n);
    WaveColumn& column = out[size_t(i)];
    column = WaveColumn{};
    if (s < 0 && e <= 0) continue;
    const int64_t lo = std::max<int64_t>(0, s) / size * size;
    const int64_t hi = std::max(lo + size, (std::max<int64_t>(0, e) + size - 1) / size * size);

    Combined c;
    for (int32_t p = 0; p < parts_; ++p) {
      const int64_t partLo = std::max(lo, starts_[size_t(p)]);
      const int64_t partHi = p + 1 == parts_ ? hi : std::min(hi, starts_[size_t(p) + 1]);
      if (partLo < partHi) combine(level, partLo, partHi, available[size_t(p)], c);
    }
    if (c.frames == 0) continue;
    column.peak = float(c.peak) / 65535.0f;
    column.rms = float(std::sqrt(c.squares / double(c.frames)) / 65535.0);
  }
}

// ---------------------------------------------------------------- overview

std::unique_ptr<WaveformOverview> WaveformOverview::start(const std::string& fileName, std::string* problem,
                                                          int threads, BlockHook afterBlock) {
  AudioError error = AudioError::None;
  std::string reason;
  std::unique_ptr<AudioDecoder> first = AudioDecoder::open(fileName, &error, &reason);
  if (!first) {
    if (problem) *problem = fileName + ": " + (reason.empty() ? std::string("cannot be read") : reason);
    return nullptr;
  }
  if (threads <= 0) threads = int(std::max(1u, std::thread::hardware_concurrency()));

  std::unique_ptr<WaveformOverview> o(new WaveformOverview);
  o->fileName_ = fileName;
  o->afterBlock_ = std::move(afterBlock);
  o->sampleRate_ = first->rate();
  o->lengthFrames_ = first->lengthFrames();
  o->summary_ = std::make_unique<WaveformSummary>(first->channels(), o->lengthFrames_, threads);
  const int32_t parts = o->summary_->parts();
  o->threads_.reserve(size_t(parts));
  for (int32_t p = 0; p < parts; ++p) {
    std::unique_ptr<AudioDecoder> reading = p == 0 ? std::move(first) : nullptr;
    o->threads_.emplace_back([self = o.get(), p, r = std::move(reading)](std::stop_token stop) mutable {
      self->run(stop, p, std::move(r));
    });
  }
  return o;
}

WaveformOverview::~WaveformOverview() {
  for (std::jthread& t : threads_) t.request_stop();
  threads_.clear();
}

void WaveformOverview::run(std::stop_token stop, int32_t part, std::unique_ptr<AudioDecoder> reading) {
  pthread_setname_np(pthread_self(), "pw-waveform");
  // Background work that runs flat out: it takes its share of the cores but
  // never preempts the window or the sound threads when they wake.
  const sched_param batch{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);

  WaveformSummary& summary = *summary_;
  const int64_t start = summary.partStart(part);
  if (!reading) {
    AudioError error = AudioError::None;
    reading = AudioDecoder::open(fileName_, &error);
  }
  // A reading that cannot be had or placed ends the part where it is: the
  // summary then ends there too (framesDone() stops at it).
  if (reading && start > 0 && reading->seek(start) != AudioError::None) reading.reset();
  if (reading && reading->channels() == summary.channels()) {
    int64_t left = part + 1 < summary.parts() ? summary.partStart(part + 1) - start
                                              : std::numeric_limits<int64_t>::max();
    std::vector<float> block(size_t(kBlockFrames * summary.channels()));
    while (left > 0 && !stop.stop_requested()) {
      const int64_t got = reading->read(block.data(), std::min(left, kBlockFrames));
      if (got <= 0) break;
      summary.append(part, block.data(), got);
      left -= got;
      if (afterBlock_) afterBlock_(part, stop);
    }
  }
  if (!stop.stop_requested()) summary.finish(part);
}
