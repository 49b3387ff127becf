#include "output_stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace pwbass::out {
namespace {
thread_local bool tInCallback = false;

// Marks the output thread as inside user code, so that calls back into the
// service fail instead of deadlocking against a stop that waits for us.
struct CallbackScope {
  CallbackScope() { tInCallback = true; }
  ~CallbackScope() { tInCallback = false; }
};
}  // namespace

bool inCallback() { return tInCallback; }

Stream::Stream(HSTREAM handle, const StreamFormat& format, STREAMPROC* proc, void* user)
    : handle_(handle),
      format_(format),
      proc_(proc),
      user_(user),
      rampStep_(float(1.0 / (kRampSeconds * format.rate))) {
  const size_t ch = size_t(format.channels);
  ring_ = std::make_unique<std::atomic<float>[]>(kRingFrames * ch);
  pull_.assign(kBlock * ch, 0.0f);
  work_.assign(kBlock * ch, 0.0f);
  if (format.deviceRate != format.rate) {
    resampler_ = std::make_unique<Resampler>(format.rate, format.deviceRate, format.channels, kBlock);
    resampled_.assign(kBlock * ch, 0.0f);
  }
}

Stream::~Stream() {
  stop();
  sink_.reset();
}

void Stream::attach(std::unique_ptr<Sink> sink) { sink_ = std::move(sink); }

// ---- control side ----

void Stream::setControl(uint32_t epoch, Mode mode) {
  control_.store((epoch & kEpochMask) << 2 | mode, std::memory_order_seq_cst);
}

void Stream::waitForRender() const {
  // A render that began before the new control word was stored may still
  // call back; one that begins after it sees the word. Waiting for the first
  // kind to finish is enough (both sides use sequentially consistent order).
  const uint32_t seq = renderSeq_.load(std::memory_order_seq_cst);
  if ((seq & 1) == 0) return;
  for (int spin = 0; renderSeq_.load(std::memory_order_acquire) == seq; ++spin) {
    if (spin < 64)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void Stream::play(bool restart) {
  const uint32_t c = control_.load(std::memory_order_relaxed);
  const uint32_t epoch = c >> 2;
  const bool ended = endedEpoch_.load(std::memory_order_acquire) == epoch;
  const bool fresh = restart || (c & 3) == kStopped || ended;
  setControl(fresh ? epoch + 1 : epoch, kPlaying);
}

bool Stream::pause() {
  const uint32_t c = control_.load(std::memory_order_relaxed);
  const uint32_t epoch = c >> 2;
  if ((c & 3) == kStopped || drainedEpoch_.load(std::memory_order_acquire) == epoch) return false;
  setControl(epoch, kPaused);
  waitForRender();
  return true;
}

void Stream::stop() {
  const uint32_t c = control_.load(std::memory_order_relaxed);
  setControl((c >> 2) + 1, kStopped);
  waitForRender();
}

DWORD Stream::active() const {
  const uint32_t c = control_.load(std::memory_order_acquire);
  switch (c & 3) {
    case kPlaying:
      return drainedEpoch_.load(std::memory_order_acquire) == (c >> 2) ? BASS_ACTIVE_STOPPED
                                                                       : BASS_ACTIVE_PLAYING;
    case kPaused:
      return BASS_ACTIVE_PAUSED;
    default:
      return BASS_ACTIVE_STOPPED;
  }
}

void Stream::setVolume(float volume) { volume_.store(std::clamp(volume, 0.0f, 1.0f), std::memory_order_relaxed); }

bool Stream::addSync(HSYNC id, bool mixtime, SYNCPROC* proc, void* user) {
  const uint32_t n = syncCount_.load(std::memory_order_relaxed);
  if (n >= kMaxSyncs) return false;
  syncs_[n] = Sync{id, mixtime, proc, user};
  syncCount_.store(n + 1, std::memory_order_release);
  return true;
}

DWORD Stream::heard(float* dst, DWORD bytes, double now) const {
  const size_t ch = size_t(format_.channels);
  const size_t frameBytes = ch * sizeof(float);
  const uint64_t want = bytes / frameBytes;
  const uint32_t c = control_.load(std::memory_order_acquire);
  const uint32_t epoch = c >> 2;
  if (want == 0 || (c & 3) == kStopped || drainedEpoch_.load(std::memory_order_acquire) == epoch) return 0;

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
    uint64_t first = last - std::min(last - start, want);
    first = std::max(first, last - std::min<uint64_t>(last, kRingFrames / 2));
    if (first >= last) return 0;

    for (uint64_t f = first; f < last; ++f) {
      const size_t slot = size_t(f & (kRingFrames - 1)) * ch;
      float* d = dst + size_t(f - first) * ch;
      for (size_t j = 0; j < ch; ++j) d[j] = ring_[slot + j].load(std::memory_order_relaxed);
    }
    // Whatever the writer overwrote while we copied shows in ringLimit_:
    // frame f is intact unless frame f + kRingFrames had begun to be written.
    std::atomic_thread_fence(std::memory_order_acquire);
    const uint64_t limit = ringLimit_.load(std::memory_order_relaxed);
    const uint64_t intact = limit > kRingFrames ? limit - kRingFrames : 0;
    if (intact <= first) return DWORD((last - first) * frameBytes);
    if (intact < last) {
      std::memmove(dst, dst + size_t(intact - first) * ch, size_t(last - intact) * frameBytes);
      return DWORD((last - intact) * frameBytes);
    }
  }
  return 0;
}

// ---- output thread ----

size_t Stream::render(float* out, size_t frames, double dacTime) {
  renderSeq_.fetch_add(1, std::memory_order_seq_cst);
  const uint32_t c = control_.load(std::memory_order_seq_cst);
  const uint32_t epoch = c >> 2;
  if (epoch != a_.epoch) beginEpoch(epoch);

  size_t done = 0;
  if ((c & 3) == kPlaying && !a_.drained) {
    a_.stalled = false;
    const uint64_t before = a_.written;
    done = resampler_ ? renderResampled(out, frames) : renderDirect(out, frames);
    if (a_.ended && fifoFrames() == 0 &&
        (!resampler_ || (a_.tailFlushed && resampler_->needed(1) > 0))) {
      a_.drained = true;
      drainedEpoch_.store(epoch, std::memory_order_release);
      fireSyncs(false);
    }
    if (a_.written != before) {
      double endTime = dacTime + double(done) / format_.deviceRate;
      if (resampler_) endTime += resampler_->pending() / format_.rate;
      publish(epoch, endTime);
    }
  }
  const size_t devCh = size_t(format_.deviceChannels);
  std::fill(out + done * devCh, out + frames * devCh, 0.0f);
  renderSeq_.fetch_add(1, std::memory_order_release);
  return done;
}

void Stream::beginEpoch(uint32_t epoch) {
  a_.epoch = epoch;
  a_.ended = a_.drained = a_.stalled = a_.tailFlushed = false;
  a_.fifoPos = a_.fifoLen = 0;
  a_.gain = volume_.load(std::memory_order_relaxed);  // a fresh start needs no ramp
  a_.epochStart = a_.written;
  if (resampler_) resampler_->reset();
}

size_t Stream::fifoFrames() const { return (a_.fifoLen - a_.fifoPos) / size_t(format_.channels); }

size_t Stream::renderDirect(float* out, size_t frames) {
  const size_t devCh = size_t(format_.deviceChannels);
  size_t done = 0;
  while (done < frames) {
    const size_t want = std::min(frames - done, kBlock);
    const size_t got = take(work_.data(), want);
    toDevice(work_.data(), got, out + done * devCh);
    done += got;
    if (got < want) break;
  }
  return done;
}

size_t Stream::renderResampled(float* out, size_t frames) {
  Resampler& rs = *resampler_;
  const size_t devCh = size_t(format_.deviceChannels);
  size_t done = 0;
  while (done < frames) {
    const size_t want = std::min(frames - done, kBlock);
    const size_t need = std::min({rs.needed(want), rs.space(), kBlock});
    if (need > 0) {
      const size_t got = take(work_.data(), need);
      rs.write(work_.data(), got);
      if (got < need && a_.ended && fifoFrames() == 0 && !a_.tailFlushed) a_.tailFlushed = rs.flush();
    }
    const size_t made = rs.read(resampled_.data(), want);
    if (made == 0) break;
    toDevice(resampled_.data(), made, out + done * devCh);
    done += made;
  }
  return done;
}

size_t Stream::take(float* dst, size_t frames) {
  const size_t ch = size_t(format_.channels);
  size_t got = 0;
  while (got < frames) {
    const size_t avail = fifoFrames();
    if (avail == 0) {
      if (a_.ended || a_.stalled) break;
      pull(frames - got);
      continue;
    }
    const size_t n = std::min(avail, frames - got);
    const float* src = pull_.data() + a_.fifoPos;
    float* d = dst + got * ch;
    const float target = volume_.load(std::memory_order_relaxed);
    float g = a_.gain;
    for (size_t i = 0; i < n; ++i) {
      // A linear ramp of bounded slope: no zipper noise when the volume jumps.
      if (g < target)
        g = std::min(target, g + rampStep_);
      else if (g > target)
        g = std::max(target, g - rampStep_);
      for (size_t j = 0; j < ch; ++j) d[i * ch + j] = src[i * ch + j] * g;
    }
    a_.gain = g;
    record(d, n);
    a_.fifoPos += n * ch;
    got += n;
  }
  return got;
}

void Stream::pull(size_t frames) {
  const size_t ch = size_t(format_.channels);
  // At most part of one frame is left over (from a callback that returned a
  // byte count that was not whole frames); keep it in front.
  const size_t rest = a_.fifoLen - a_.fifoPos;
  if (rest > 0) std::memmove(pull_.data(), pull_.data() + a_.fifoPos, rest * sizeof(float));
  a_.fifoPos = 0;
  a_.fifoLen = rest;

  frames = std::clamp(frames, kMinPull, kBlock);
  const DWORD length = DWORD((frames * ch - rest) * sizeof(float));
  DWORD result;
  {
    CallbackScope scope;
    result = proc_(handle_, pull_.data() + rest, length, user_);
  }
  const DWORD bytes = std::min<DWORD>(result & ~DWORD(BASS_STREAMPROC_END), length);
  pulled_.store(pulled_.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
  a_.fifoLen += bytes / sizeof(float);
  if (result & BASS_STREAMPROC_END) {
    a_.ended = true;
    endedEpoch_.store(a_.epoch, std::memory_order_release);
    fireSyncs(true);
  } else if (bytes < sizeof(float)) {
    a_.stalled = true;  // nothing now: silence until the next render asks again
  }
}

void Stream::record(const float* frames, size_t count) {
  const size_t ch = size_t(format_.channels);
  ringLimit_.store(a_.written + count, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (size_t i = 0; i < count; ++i) {
    const size_t slot = size_t((a_.written + i) & (kRingFrames - 1)) * ch;
    for (size_t j = 0; j < ch; ++j) ring_[slot + j].store(frames[i * ch + j], std::memory_order_relaxed);
  }
  a_.written += count;
}

void Stream::toDevice(const float* src, size_t frames, float* dst) const {
  const int ch = format_.channels;
  const int devCh = format_.deviceChannels;
  if (ch == devCh) {
    std::memcpy(dst, src, frames * size_t(ch) * sizeof(float));
  } else if (ch == 1 && devCh == 2) {
    for (size_t i = 0; i < frames; ++i) dst[2 * i] = dst[2 * i + 1] = src[i];
  } else if (ch >= 2 && devCh == 1) {
    for (size_t i = 0; i < frames; ++i) dst[i] = 0.5f * (src[i * size_t(ch)] + src[i * size_t(ch) + 1]);
  } else if (ch > 2 && devCh == 2) {
    for (size_t i = 0; i < frames; ++i) {
      dst[2 * i] = src[i * size_t(ch)];
      dst[2 * i + 1] = src[i * size_t(ch) + 1];
    }
  }
}

void Stream::fireSyncs(bool mixtime) {
  const uint32_t n = syncCount_.load(std::memory_order_acquire);
  CallbackScope scope;
  for (uint32_t i = 0; i < n; ++i)
    if (syncs_[i].mixtime == mixtime) syncs_[i].proc(syncs_[i].id, handle_, 0, syncs_[i].user);
}

void Stream::publish(uint32_t epoch, double endTime) {
  const uint32_t s = snapSeq_.load(std::memory_order_relaxed);
  snapSeq_.store(s + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  snapWritten_.store(a_.written, std::memory_order_relaxed);
  snapEnd_.store(endTime, std::memory_order_relaxed);
  snapEpoch_.store(epoch, std::memory_order_relaxed);
  snapStart_.store(a_.epochStart, std::memory_order_relaxed);
  snapSeq_.store(s + 2, std::memory_order_release);
}

}  // namespace pwbass::out
