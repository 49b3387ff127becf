// One output pull stream: the state it shares between the controlling threads
// and the output thread, and what the output thread does with it.
//
// The output thread calls render(); everything else runs on other threads,
// serialised by the caller. render never allocates, logs or waits: every
// buffer is allocated by the constructor. Control reaches it as one atomic
// word (an epoch and a mode); its answers come back as atomics too (end
// reached, drained, bytes pulled, a ring of the recent output with the device
// time of its newest frame).
//
// Samples flow: stream callback -> pull buffer -> volume (ramped per sample)
// -> ring of recent output -> resampler (only when the device runs at another
// rate) -> channel mapping -> device.
//
// pause and stop return only when no render that could still call the stream
// callback is running; they wait for it on the calling thread. From then on
// renders output silence without calling back until play.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "bass.h"
#include "output_resampler.h"

namespace pwbass::out {

// Drives a stream's render from its own thread. Destroying it stops that:
// once the destructor returns, render is not called again.
class Sink {
 public:
  virtual ~Sink() = default;
  // The device clock in seconds: the clock of render's dacTime.
  virtual double now() const = 0;
};

struct StreamFormat {
  int rate;            // the stream's own rate and channel count
  int channels;        // 1 or 2
  int deviceRate;      // what the device plays; another rate is resampled
  int deviceChannels;  // 1 or 2; mono is duplicated, stereo averaged
};

// True on a thread that is inside a stream or sync callback.
bool inCallback();

class Stream {
 public:
  // Volume changes move at most this far (full scale 0 to 1) per second.
  static constexpr double kRampSeconds = 0.015;
  // Frames of recent output kept for heard() (a power of two).
  static constexpr size_t kRingFrames = size_t(1) << 17;

  Stream(HSTREAM handle, const StreamFormat& format, STREAMPROC* proc, void* user);
  // Stops the stream and its sink; the callback is not called afterwards.
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  HSTREAM handle() const { return handle_; }
  const StreamFormat& format() const { return format_; }
  void attach(std::unique_ptr<Sink> sink);
  const Sink* sink() const { return sink_.get(); }

  // Starts pulling; resumes a paused stream where it was. After a stop, after
  // the end, or with `restart`, it drops what is buffered and pulls afresh.
  void play(bool restart);
  // Keeps what is buffered. False when the stream is stopped or has ended.
  bool pause();
  // Drops what is buffered.
  void stop();
  // BASS_ACTIVE_STOPPED (also once an end has played out), _PLAYING, _PAUSED.
  DWORD active() const;
  void setVolume(float volume);
  float volume() const { return volume_.load(std::memory_order_relaxed); }
  // `mixtime` syncs fire when the callback returns the end, the others once
  // the end has been rendered; both on the output thread. False when full.
  bool addSync(HSYNC id, bool mixtime, SYNCPROC* proc, void* user);
  // Bytes returned by the stream callback so far.
  QWORD pulled() const { return pulled_.load(std::memory_order_relaxed); }
  // Copies the most recent output frames being heard at device time `now`:
  // at most `bytes` (whole frames), nothing while stopped. Returns bytes.
  DWORD heard(float* dst, DWORD bytes, double now) const;

  // Output thread: fills `frames` interleaved device frames at `out`;
  // `dacTime` is the device time at which the first of them will be heard.
  // Returns how many carry stream sound; the rest is silence.
  size_t render(float* out, size_t frames, double dacTime);

 private:
  enum Mode : uint32_t { kStopped = 0, kPlaying = 1, kPaused = 2 };
  static constexpr uint32_t kNoEpoch = 0xFFFFFFFFu;
  static constexpr uint32_t kEpochMask = 0x3FFFFFFFu;
  static constexpr size_t kBlock = 4096;   // most frames handled in one step
  static constexpr size_t kMinPull = 256;  // fewest frames asked of the callback
  static constexpr size_t kMaxSyncs = 8;

  struct Sync {
    HSYNC id;
    bool mixtime;
    SYNCPROC* proc;
    void* user;
  };

  // State only the output thread touches.
  struct Local {
    uint32_t epoch = kNoEpoch;
    bool ended = false;        // the callback returned the end
    bool drained = false;      // and everything before it has been rendered
    bool stalled = false;      // the callback gave nothing in this render
    bool tailFlushed = false;  // the resampler has been flushed after the end
    float gain = 1.0f;
    size_t fifoPos = 0;  // floats consumed from pull_
    size_t fifoLen = 0;  // floats held in pull_
    uint64_t written = 0;     // frames written to the ring
    uint64_t epochStart = 0;  // ring frame where this epoch began
  };

  void setControl(uint32_t epoch, Mode mode);
  void waitForRender() const;
  void beginEpoch(uint32_t epoch);
  size_t fifoFrames() const;
  size_t renderDirect(float* out, size_t frames);
  size_t renderResampled(float* out, size_t frames);
  size_t take(float* dst, size_t frames);
  void pull(size_t frames);
  void record(const float* frames, size_t count);
  void toDevice(const float* src, size_t frames, float* dst) const;
  void fireSyncs(bool mixtime);
  void publish(uint32_t epoch, double endTime);

  const HSTREAM handle_;
  const StreamFormat format_;
  STREAMPROC* const proc_;
  void* const user_;
  const float rampStep_;

  std::atomic<uint32_t> control_{kStopped};  // epoch << 2 | mode
  std::atomic<uint32_t> renderSeq_{0};       // odd while a render runs
  std::atomic<float> volume_{1.0f};
  std::atomic<uint32_t> endedEpoch_{kNoEpoch};
  std::atomic<uint32_t> drainedEpoch_{kNoEpoch};
  std::atomic<uint64_t> pulled_{0};

  Sync syncs_[kMaxSyncs] = {};
  std::atomic<uint32_t> syncCount_{0};

  // Recent output at the stream's rate, after volume. ringLimit_ is raised
  // before frames are overwritten so that a reader can tell a torn copy.
  std::unique_ptr<std::atomic<float>[]> ring_;
  std::atomic<uint64_t> ringLimit_{0};
  // Seqlock-published: ring frames written, device time when the newest is
  // heard, the epoch, and the ring frame where that epoch began.
  std::atomic<uint32_t> snapSeq_{0};
  std::atomic<uint64_t> snapWritten_{0};
  std::atomic<double> snapEnd_{0.0};
  std::atomic<uint32_t> snapEpoch_{kNoEpoch};
  std::atomic<uint64_t> snapStart_{0};

  Local a_;
  std::vector<float> pull_;
  std::vector<float> work_;
  std::vector<float> resampled_;
  std::unique_ptr<Resampler> resampler_;
  std::unique_ptr<Sink> sink_;  // last: it calls render until destroyed
};

}  // namespace pwbass::out
