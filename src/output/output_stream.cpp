#include "output/output_stream.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "output/thread_priority.h"

namespace {

using namespace std::chrono_literals;

// How long the producer sleeps when nothing wakes it: long, since the
// device and every control call wake it; the timeout only bounds the harm
// of a missed wake.
constexpr auto kIdleWait = 50ms;
// Real-time priority steps (where granted): the producer just below the
// device thread.
constexpr int kProducerPriority = 1;
// How soon it asks again a source that had nothing yet.
constexpr auto kNotReadyWait = 1ms;

size_t powerOfTwoAtLeast(size_t n) {
  size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

// A quarter of a second of frames: room for the target depth and for the
// largest device calls seen in practice.
size_t ringCapacityFor(int rate) { return powerOfTwoAtLeast(std::max<size_t>(size_t(rate) / 4, 8192)); }

}  // namespace

OutputStream::OutputStream(const Format& format, OutputSource& source)
    : format_(format),
      source_(source),
      rampStep_(float(1.0 / (kRampSeconds * format.rate))),
      ringCapacity_(ringCapacityFor(format.rate)),
      ring_(new float[ringCapacity_ * size_t(format.channels)]()),
      heard_(std::make_unique<std::atomic<float>[]>(kHeardFrames * size_t(format.channels))) {
  const size_t ch = size_t(format.channels);
  target_.store(size_t(std::ceil(kAheadSeconds * format.rate)), std::memory_order_relaxed);
  work_.assign(kBlock * ch, 0.0f);
  if (format.deviceRate != format.rate) {
    resampler_ = std::make_unique<Resampler>(format.rate, format.deviceRate, format.channels);
    resampled_.assign(kBlock * ch, 0.0f);
  }
  producer_ = std::thread([this] { produce(); });
  producerId_ = producer_.get_id();
}

OutputStream::~OutputStream() {
  stop();
  quit_.store(true, std::memory_order_seq_cst);
  wake_.signal();
  producer_.join();
  sink_.reset();
}

void OutputStream::attach(std::unique_ptr<OutputSink> sink) { sink_ = std::move(sink); }

void OutputStream::setEndHandler(std::function<void()> handler) { endHandler_ = std::move(handler); }

// ---- control thread ----

bool OutputStream::onProducerThread() const { return std::this_thread::get_id() == producerId_; }

void OutputStream::setControl(uint32_t epoch, Mode mode) {
  control_.store((epoch & kEpochMask) << 2 | mode, std::memory_order_seq_cst);
  wake_.signal();
}

void OutputStream::waitForRender() const {
  // A render that began before the new control word was stored may still be
  // using the ring; one that begins after it sees the word. Waiting for the
  // first kind to finish is enough (both sides use sequentially consistent
  // order).
  const uint32_t seq = renderSeq_.load(std::memory_order_seq_cst);
  if ((seq & 1) == 0) return;
  for (int spin = 0; renderSeq_.load(std::memory_order_acquire) == seq; ++spin) {
    if (spin < 64)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void OutputStream::waitForProducer(uint32_t control) {
  for (;;) {
    const uint32_t seen = acked_.value();
    if (ack_.load(std::memory_order_acquire) == control) return;
    acked_.wait(seen, 10ms);
  }
}

void OutputStream::restartFresh() {
  const uint32_t epoch = ((control_.load(std::memory_order_relaxed) >> 2) + 1) & kEpochMask;
  setControl(epoch, kStopped);
  waitForRender();
  waitForProducer(control_.load(std::memory_order_relaxed));
  // Neither side touches the ring now: empty it.
  read_.store(write_.load(std::memory_order_acquire), std::memory_order_release);
}

AudioError OutputStream::play(bool restart) {
  if (onProducerThread()) return AudioError::NotAvailable;
  const uint32_t c = control_.load(std::memory_order_relaxed);
  const bool ended = heardEpoch_.load(std::memory_order_acquire) == (c >> 2);
  if (restart || (c & 3) == kStopped || ended)
    restartFresh();
  else if ((c & 3) == kPlaying)
    return AudioError::None;
  setControl(control_.load(std::memory_order_relaxed) >> 2, kPlaying);
  return AudioError::None;
}

AudioError OutputStream::pause() {
  if (onProducerThread()) return AudioError::NotAvailable;
  const uint32_t c = control_.load(std::memory_order_relaxed);
  const uint32_t epoch = c >> 2;
  if ((c & 3) == kStopped || heardEpoch_.load(std::memory_order_acquire) == epoch) return AudioError::NotAvailable;
  if ((c & 3) == kPaused) return AudioError::None;
  setControl(epoch, kPaused);
  waitForRender();
  waitForProducer(control_.load(std::memory_order_relaxed));
  return AudioError::None;
}

AudioError OutputStream::stop() {
  if (onProducerThread()) return AudioError::NotAvailable;
  restartFresh();
  return AudioError::None;
}

OutputStream::State OutputStream::state() const {
  const uint32_t c = control_.load(std::memory_order_acquire);
  switch (c & 3) {
    case kPlaying:
      return heardEpoch_.load(std::memory_order_acquire) == (c >> 2) ? State::Stopped : State::Playing;
    case kPaused:
      return State::Paused;
    default:
      return State::Stopped;
  }
}

void OutputStream::setVolume(float volume) {
  volume_.store(std::clamp(volume, 0.0f, 1.0f), std::memory_order_relaxed);
}

OutputStream::Underruns OutputStream::underruns() const {
  Underruns u;
  u.ringShort = ringShort_.load(std::memory_order_relaxed);
  u.deviceLate = deviceLate_.load(std::memory_order_relaxed);
  return u;
}

double OutputStream::aheadSeconds() const { return double(target_.load(std::memory_order_relaxed)) / format_.rate; }

size_t OutputStream::queuedFrames() const {
  // The read position first: it never passes the write position it saw.
  const uint64_t r = read_.load(std::memory_order_acquire);
  return size_t(write_.load(std::memory_order_acquire) - r);
}

double OutputStream::deviceLatency() const { return sink_ ? sink_->latency() : 0.0; }

double OutputStream::deviceNow() const {
  // Without a device (a test calling render itself) whatever was rendered
  // counts as heard at once.
  return sink_ ? sink_->now() : std::numeric_limits<double>::infinity();
}

size_t OutputStream::heard(float* dst, size_t frames) const {
  const size_t ch = size_t(format_.channels);
  const uint32_t c = control_.load(std::memory_order_acquire);
  const uint32_t epoch = c >> 2;
  if (frames == 0 || (c & 3) == kStopped || heardEpoch_.load(std::memory_order_acquire) == epoch) return 0;
  const double now = deviceNow();

  for (int attempt = 0; attempt < 4; ++attempt) {
    uint64_t written = 0, start = 0;
    double end = 0;
    uint32_t snapEpoch = kNoEpoch;
    for (;;) {
      const uint32_t s = snapSeq_.load(std::memory_order_acquire);
      if (s & 1) {
        std::this_thread::yield();
        continue;
      }
      written = snapWritten_.load(std::memory_order_relaxed);
      end = snapEnd_.load(std::memory_order_relaxed);
      snapEpoch = snapEpoch_.load(std::memory_order_relaxed);
      start = snapStart_.load(std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (snapSeq_.load(std::memory_order_relaxed) == s) break;
    }
    if (snapEpoch != epoch || written <= start) return 0;

    // Frames written but not heard yet: the device's latency as of now.
    const uint64_t avail = written - start;
    const double lagFrames = std::max(0.0, (end - now) * format_.rate);
    const uint64_t lag = lagFrames >= double(avail) ? avail : uint64_t(lagFrames);
    const uint64_t last = written - lag;
    uint64_t first = last - std::min<uint64_t>(last - start, frames);
    first = std::max(first, last - std::min<uint64_t>(last, kHeardFrames / 2));
    if (first >= last) return 0;

    for (uint64_t f = first; f < last; ++f) {
      const size_t slot = size_t(f & (kHeardFrames - 1)) * ch;
      float* d = dst + size_t(f - first) * ch;
      for (size_t j = 0; j < ch; ++j) d[j] = heard_[slot + j].load(std::memory_order_relaxed);
    }
    // Whatever the device overwrote while we copied shows in heardLimit_:
    // frame f is intact unless frame f + kHeardFrames had begun to be written.
    std::atomic_thread_fence(std::memory_order_acquire);
    const uint64_t limit = heardLimit_.load(std::memory_order_relaxed);
    const uint64_t intact = limit > kHeardFrames ? limit - kHeardFrames : 0;
    if (intact <= first) return size_t(last - first);
    if (intact < last) {
      std::memmove(dst, dst + size_t(intact - first) * ch, size_t(last - intact) * ch * sizeof(float));
      return size_t(last - intact);
    }
  }
  return 0;
}

bool OutputStream::readyFor(size_t frames) const {
  const uint32_t c = control_.load(std::memory_order_acquire);
  if ((c & 3) != kPlaying || endEpoch_.load(std::memory_order_acquire) == (c >> 2)) return true;
  const size_t need = size_t(std::ceil(double(frames) * format_.rate / format_.deviceRate));
  const uint64_t held = write_.load(std::memory_order_acquire) - read_.load(std::memory_order_acquire);
  return held >= std::min(need, target_.load(std::memory_order_relaxed));
}

// ---- producer thread ----

void OutputStream::produce() {
  pthread_setname_np(pthread_self(), "pw-producer");
  // Below the device threads (PortAudio's, the null device's), above
  // everything else.
  RaiseThreadPriority(kProducerPriority);
  EnableFlushToZero();  // the chain runs here
  uint32_t epoch = kNoEpoch;
  bool ended = false;     // the source ended in this epoch
  bool reported = false;  // and its end has been reported
  for (;;) {
    const uint32_t seen = wake_.value();
    if (quit_.load(std::memory_order_seq_cst)) break;
    const uint32_t c = control_.load(std::memory_order_seq_cst);
    if ((c >> 2) != epoch) {
      epoch = c >> 2;
      ended = reported = false;
    }
    if (ack_.load(std::memory_order_relaxed) != c) {
      ack_.store(c, std::memory_order_release);
      acked_.signal();
    }
    std::chrono::nanoseconds sleep = kIdleWait;
    if ((c & 3) == kPlaying) {
      if (!ended) {
        const Fill f = fill(c, epoch);
        if (f == Fill::Interrupted) continue;
        if (f == Fill::NotReady) sleep = kNotReadyWait;
        if (f == Fill::Ended) ended = true;
      }
      if (ended && !reported && drainedEpoch_.load(std::memory_order_acquire) == epoch) {
        const double left = drainTime_.load(std::memory_order_relaxed) - deviceNow();
        if (!(left > 0)) {
          // The state turns first: whoever reacts to the end sees it stopped.
          heardEpoch_.store(epoch, std::memory_order_seq_cst);
          reported = true;
          if (endHandler_) endHandler_();
          continue;
        }
        sleep = std::min(sleep, std::chrono::nanoseconds(int64_t(left * 1e9) + 100000));
      }
    }
    wake_.wait(seen, sleep);
  }
}

OutputStream::Fill OutputStream::fill(uint32_t control, uint32_t epoch) {
  const size_t ch = size_t(format_.channels);
  const size_t ahead = size_t(std::ceil(kAheadSeconds * format_.rate));
  for (;;) {
    if (control_.load(std::memory_order_seq_cst) != control || quit_.load(std::memory_order_relaxed))
      return Fill::Interrupted;
    const size_t call = largestCall_.load(std::memory_order_relaxed);
    const size_t target = std::min(ringCapacity_ - kMinRead, std::max(ahead, call + call / 2));
    target_.store(target, std::memory_order_relaxed);
    const uint64_t w = write_.load(std::memory_order_relaxed);
    const size_t held = size_t(w - read_.load(std::memory_order_acquire));
    if (held + kMinRead > target) return Fill::Full;
    const size_t slot = size_t(w & (ringCapacity_ - 1));
    const size_t n = std::min({target - held, ringCapacity_ - slot, kBlock});
    const size_t got = source_.read(ring_.get() + slot * ch, n);
    if (got == OutputSource::kNotReady) return Fill::NotReady;
    if (got == 0) {
      endEpoch_.store(epoch, std::memory_order_release);
      return Fill::Ended;
    }
    const size_t used = std::min(got, n);
    pulled_.store(pulled_.load(std::memory_order_relaxed) + used, std::memory_order_relaxed);
    write_.store(w + used, std::memory_order_release);
  }
}

// ---- device thread ----

size_t OutputStream::render(float* out, size_t frames, double dacTime) {
  renderSeq_.fetch_add(1, std::memory_order_seq_cst);
  const uint32_t c = control_.load(std::memory_order_seq_cst);
  const uint32_t epoch = c >> 2;
  if (epoch != d_.epoch) beginEpoch(epoch);

  size_t done = 0;
  if ((c & 3) == kPlaying && !d_.drained) {
    const size_t want = size_t(std::ceil(double(frames) * format_.rate / format_.deviceRate));
    if (want > largestCall_.load(std::memory_order_relaxed)) largestCall_.store(want, std::memory_order_relaxed);
    // A fresh start waits, silent, until the producer has something to give:
    // that gap is not an underrun.
    if (!d_.primed)
      d_.primed = endEpoch_.load(std::memory_order_acquire) == epoch ||
                  ringFrames() >= std::min(want, target_.load(std::memory_order_relaxed));
    if (d_.primed) {
      const uint64_t before = d_.written;
      done = resampler_ ? renderResampled(out, frames) : renderDirect(out, frames);
      const bool finished = endEpoch_.load(std::memory_order_acquire) == epoch && ringFrames() == 0 &&
                            (!resampler_ || (d_.workPos == d_.workLen && resampler_->finished()));
      const double endTime = dacTime + double(done) / format_.deviceRate;
      if (finished) {
        d_.drained = true;
        drainTime_.store(endTime, std::memory_order_relaxed);
        drainedEpoch_.store(epoch, std::memory_order_release);
      } else if (done < frames) {
        ringShort_.fetch_add(1, std::memory_order_relaxed);
      }
      if (d_.written != before) {
        double pending = 0;
        if (resampler_) pending = resampler_->pending() + double(d_.workLen - d_.workPos);
        publish(epoch, endTime + pending / format_.rate);
      }
    }
    wake_.signal();
  }
  const size_t devCh = size_t(format_.deviceChannels);
  std::fill(out + done * devCh, out + frames * devCh, 0.0f);
  renderSeq_.fetch_add(1, std::memory_order_release);
  return done;
}

void OutputStream::beginEpoch(uint32_t epoch) {
  d_.epoch = epoch;
  d_.primed = d_.drained = false;
  d_.gain = volume_.load(std::memory_order_relaxed);  // a fresh start needs no ramp
  d_.epochStart = d_.written;
  d_.workPos = d_.workLen = 0;
  if (resampler_) resampler_->reset();
}

size_t OutputStream::ringFrames() const {
  return size_t(write_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed));
}

size_t OutputStream::renderDirect(float* out, size_t frames) {
  const size_t devCh = size_t(format_.deviceChannels);
  size_t done = 0;
  while (done < frames) {
    const size_t got = take(work_.data(), std::min(frames - done, kBlock));
    if (got == 0) break;
    toDevice(work_.data(), got, out + done * devCh);
    done += got;
  }
  return done;
}

size_t OutputStream::renderResampled(float* out, size_t frames) {
  Resampler& rs = *resampler_;
  const size_t ch = size_t(format_.channels);
  const size_t devCh = size_t(format_.deviceChannels);
  size_t done = 0;
  while (done < frames) {
    const size_t want = std::min(frames - done, kBlock);
    if (d_.workPos == d_.workLen) {
      // About the input these output frames need; the converter holds back
      // what it must look ahead, and asks again.
      const size_t need = size_t(std::ceil(double(want) * format_.rate / format_.deviceRate)) + 16;
      d_.workLen = take(work_.data(), std::min(need, kBlock));
      d_.workPos = 0;
    }
    const bool last = endEpoch_.load(std::memory_order_acquire) == d_.epoch && ringFrames() == 0;
    const Resampler::Step s =
        rs.process(work_.data() + d_.workPos * ch, d_.workLen - d_.workPos, resampled_.data(), want, last);
    d_.workPos += s.used;
    if (s.made > 0) {
      toDevice(resampled_.data(), s.made, out + done * devCh);
      done += s.made;
    }
    if (s.made == 0 && s.used == 0) break;  // starved, or the tail is out
  }
  return done;
}

size_t OutputStream::take(float* dst, size_t frames) {
  const size_t ch = size_t(format_.channels);
  const uint64_t r = read_.load(std::memory_order_relaxed);
  const uint64_t w = write_.load(std::memory_order_acquire);
  const size_t n = size_t(std::min<uint64_t>(frames, w - r));
  const size_t mask = ringCapacity_ - 1;
  const float target = volume_.load(std::memory_order_relaxed);
  float g = d_.gain;
  for (size_t i = 0; i < n; ++i) {
    // A linear ramp of bounded slope: no zipper noise when the volume jumps.
    if (g < target)
      g = std::min(target, g + rampStep_);
    else if (g > target)
      g = std::max(target, g - rampStep_);
    const float* src = ring_.get() + size_t((r + i) & mask) * ch;
    for (size_t j = 0; j < ch; ++j) dst[i * ch + j] = src[j] * g;
  }
  d_.gain = g;
  record(dst, n);
  read_.store(r + n, std::memory_order_release);
  return n;
}

void OutputStream::record(const float* frames, size_t count) {
  const size_t ch = size_t(format_.channels);
  heardLimit_.store(d_.written + count, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (size_t i = 0; i < count; ++i) {
    const size_t slot = size_t((d_.written + i) & (kHeardFrames - 1)) * ch;
    for (size_t j = 0; j < ch; ++j) heard_[slot + j].store(frames[i * ch + j], std::memory_order_relaxed);
  }
  d_.written += count;
}

void OutputStream::toDevice(const float* src, size_t frames, float* dst) const {
  const size_t ch = size_t(format_.channels);
  const int devCh = format_.deviceChannels;
  if (int(ch) == devCh) {
    std::memcpy(dst, src, frames * ch * sizeof(float));
  } else if (ch == 1 && devCh == 2) {
    for (size_t i = 0; i < frames; ++i) dst[2 * i] = dst[2 * i + 1] = src[i];
  } else if (ch >= 2 && devCh == 1) {
    for (size_t i = 0; i < frames; ++i) dst[i] = 0.5f * (src[i * ch] + src[i * ch + 1]);
  } else if (ch > 2 && devCh == 2) {
    for (size_t i = 0; i < frames; ++i) {
      dst[2 * i] = src[i * ch];
      dst[2 * i + 1] = src[i * ch + 1];
    }
  }
}

void OutputStream::publish(uint32_t epoch, double endTime) {
  const uint32_t s = snapSeq_.load(std::memory_order_relaxed);
  snapSeq_.store(s + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  snapWritten_.store(d_.written, std::memory_order_relaxed);
  snapEnd_.store(endTime, std::memory_order_relaxed);
  snapEpoch_.store(epoch, std::memory_order_relaxed);
  snapStart_.store(d_.epochStart, std::memory_order_relaxed);
  snapSeq_.store(s + 2, std::memory_order_release);
}
