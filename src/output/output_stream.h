// One output stream: interleaved float frames pulled from an OutputSource and
// played on a device (OutputDevice makes streams; a test may drive render
// itself). Three threads meet here:
//
//  - the control thread (whoever owns the stream): play, pause, stop,
//    setVolume, state, heard, underruns;
//  - the producer, a thread the stream owns: pulls the source into a
//    lock-free single-producer/single-consumer ring of frames, keeping it
//    about kAheadSeconds ahead of the device, so that decoding and effects
//    never run on the device thread;
//  - the device thread: render copies from the ring, ramps the volume,
//    keeps the recent output for heard(), resamples when the device runs at
//    another rate and maps the channels.
//
// Samples flow: source -> ring (producer) -> volume ramp -> heard ring ->
// resampler (only for another device rate) -> channel mapping -> device.
//
// Control reaches the other threads as one atomic word (an epoch and a
// mode). pause and stop return only once the producer is out of the source
// and no render that began under the old word is running; from then on the
// source is not called until play. Stop drops what the ring holds; pause
// keeps it. The end is reported once per play, when the device clock has
// passed the last frame: state() turns to Stopped, then the end handler runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "core/audio_error.h"
#include "output/output_resampler.h"
#include "output/wake_signal.h"

// What a stream plays.
class OutputSource {
 public:
  // What read returns when it has nothing yet but has not ended (a source fed
  // from elsewhere): the producer asks again about a millisecond later.
  static constexpr size_t kNotReady = ~size_t(0);

  virtual ~OutputSource() = default;

  // Producer thread. Writes up to `frameCount` interleaved frames of the
  // stream's channel count to `frames` and returns how many; 0 ends the
  // sound (until the next fresh play), kNotReady means "nothing yet".
  // Contract: the producer is not the device callback and is not real-time.
  // It may decode (reading the file and allocating inside the decoder) and
  // run the effect chain; it must not block on the control thread (no lock
  // the control thread holds while waiting for the stream, no waiting on
  // the window), must not wait on I/O that can stall indefinitely (a pipe,
  // a network file that hangs: the sources we play are local files, opened
  // and checked on the control thread), and must not call back into the
  // stream. The ring it fills keeps the device fed across a slow read.
  virtual size_t read(float* frames, size_t frameCount) = 0;
};

// The device side of a stream: whatever calls render. Destroying it stops
// that: once the destructor returns, render is not called again.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // The device clock in seconds (the clock of render's dacTime). Any thread,
  // the producer included: never allocates, locks, logs or touches files.
  virtual double now() const = 0;
  // Seconds from render to the sound being heard, as the device reports it.
  // Any thread.
  virtual double latency() const = 0;
};

class OutputStream {
 public:
  enum class State { Stopped, Playing, Paused };

  struct Format {
    int rate;            // the stream's own rate and channel count
    int channels;        // 1 … 8; beyond two, not heard
    int deviceRate;      // what the device plays; another rate is resampled
    int deviceChannels;  // 1 or 2; mono is duplicated, stereo averaged
  };

  struct Underruns {
    uint64_t ringShort = 0;   // renders that found the ring short while playing
    uint64_t deviceLate = 0;  // device calls that came too late to be heard in time
    uint64_t total() const { return ringShort + deviceLate; }
  };

  // Volume changes move at most full scale per this many seconds.
  static constexpr double kRampSeconds = 0.015;
  // How far the producer keeps the ring ahead of the device: short enough
  // that a slider move is heard soon (this and the device's latency are
  // most of the delay), long enough to ride over a block of the effect
  // chain's work (Rubber Band renders in steps of about 23 ms at 44.1 kHz,
  // a few milliseconds of work each). Raised to one and a half device
  // blocks where the device asks for more at a time.
  static constexpr double kAheadSeconds = 0.060;
  // Frames of recent output kept for heard() (a power of two).
  static constexpr size_t kHeardFrames = size_t(1) << 17;

  // Starts the producer (idle until play). `source` must outlive the
  // stream. Allocates every buffer the other threads use.
  OutputStream(const Format& format, OutputSource& source);
  // Stops the stream, then its producer, then its sink: neither the source
  // nor the end handler is called afterwards.
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // ---- control thread ----

  const Format& format() const { return format_; }
  // Called once per end, on the producer thread, after state() has turned to
  // Stopped; it may post an event but not call back into the stream. Set it
  // before the first play.
  void setEndHandler(std::function<void()> handler);
  // Starts pulling; resumes a paused stream where it was. After a stop,
  // after the end, or with `restart`, drops what is buffered and pulls
  // afresh. NotAvailable from inside the source or the end handler.
  AudioError play(bool restart = false);
  // Keeps what is buffered and stops pulling. NotAvailable when stopped,
  // once the end has been heard, or from inside the source or end handler.
  AudioError pause();
  // Drops what is buffered. NotAvailable from inside the source or the end
  // handler.
  AudioError stop();
  // Playing until the end has been heard; Stopped from then on.
  State state() const;
  // Clamped to 0 … 1; reaches the sound through the ramp.
  void setVolume(float volume);
  float volume() const { return volume_.load(std::memory_order_relaxed); }
  // Frames the source has delivered since the stream was made.
  uint64_t pulled() const { return pulled_.load(std::memory_order_relaxed); }
  // Copies the most recent whole frames being heard now (after the volume,
  // at the stream's rate and channel count): at most `frames`, nothing while
  // stopped or once the end has been heard. Returns the frame count.
  size_t heard(float* dst, size_t frames) const;
  Underruns underruns() const;
  // The ring's depth and the device's latency: together, how long a change
  // to the source takes to be heard.
  double aheadSeconds() const;
  double deviceLatency() const;
  // Frames in the ring now, made by the source and not yet taken by the
  // device: what a change to the source is heard after (with the device's
  // latency). Any thread.
  size_t queuedFrames() const;

  // ---- device side ----

  // Control thread, by the device that makes the stream, before the first
  // play: the sink that will call render.
  void attach(std::unique_ptr<OutputSink> sink);
  // Device thread. Fills `frames` interleaved device frames at `out`;
  // `dacTime` is the device time at which the first of them is heard.
  // Returns how many carry the stream's sound; the rest is silence.
  // Real-time contract: never allocates, locks, logs or touches files; the
  // only system call is a futex wake while the producer sleeps.
  size_t render(float* out, size_t frames, double dacTime);
  // Device thread (real-time safe): the device came late for a call, so
  // what it plays has a gap whatever the ring held.
  void countLateDeviceCall() { deviceLate_.fetch_add(1, std::memory_order_relaxed); }
  // Any thread (real-time safe): true unless the stream is playing, primed
  // and short of `frames` device frames with the source still going. Lets
  // a device that runs faster than real time wait for the producer.
  bool readyFor(size_t frames) const;

 private:
  enum Mode : uint32_t { kStopped = 0, kPlaying = 1, kPaused = 2 };
  static constexpr uint32_t kNoEpoch = 0xFFFFFFFFu;
  static constexpr uint32_t kEpochMask = 0x3FFFFFFFu;
  static constexpr size_t kBlock = 4096;   // most frames handled in one step
  static constexpr size_t kMinRead = 256;  // fewest frames asked of the source
  enum class Fill { Full, NotReady, Ended, Interrupted };

  // Control thread.
  bool onProducerThread() const;
  void setControl(uint32_t epoch, Mode mode);
  void waitForRender() const;
  void waitForProducer(uint32_t control);
  void restartFresh();

  // Producer thread. Real-time contract: never allocates, locks, logs or
  // touches files (the source makes the same promise); the end handler, run
  // once per play after the last sound, is the one exception.
  void produce();
  Fill fill(uint32_t control, uint32_t epoch);
  double deviceNow() const;

  // Device thread, under render's contract.
  void beginEpoch(uint32_t epoch);
  size_t ringFrames() const;
  size_t renderDirect(float* out, size_t frames);
  size_t renderResampled(float* out, size_t frames);
  size_t take(float* dst, size_t frames);
  void record(const float* frames, size_t count);
  void toDevice(const float* src, size_t frames, float* dst) const;
  void publish(uint32_t epoch, double endTime);

  // ---- fixed at construction ----
  const Format format_;
  OutputSource& source_;
  const float rampStep_;
  const size_t ringCapacity_;  // frames, a power of two
  std::unique_ptr<float[]> ring_;
  std::unique_ptr<std::atomic<float>[]> heard_;

  // ---- shared, atomics only ----
  std::atomic<uint32_t> control_{kStopped};  // epoch << 2 | mode; written by the control thread
  std::atomic<uint32_t> ack_{kNoEpoch};      // the control word the producer last acted on
  std::atomic<bool> quit_{false};
  std::atomic<uint32_t> renderSeq_{0};  // odd while a render runs
  std::atomic<float> volume_{1.0f};
  // The ring: frames [read_, write_) hold sound. The producer advances
  // write_, the device read_; a stop resets read_ while both are idle.
  std::atomic<uint64_t> write_{0};
  std::atomic<uint64_t> read_{0};
  std::atomic<size_t> target_{0};        // frames the producer keeps ahead
  std::atomic<size_t> largestCall_{0};   // device frames asked in one render
  std::atomic<uint32_t> endEpoch_{kNoEpoch};      // the source ended in this epoch
  std::atomic<uint32_t> drainedEpoch_{kNoEpoch};  // its last frame was rendered
  std::atomic<double> drainTime_{0.0};            // device time the last frame is heard
  std::atomic<uint32_t> heardEpoch_{kNoEpoch};    // and that time has passed
  std::atomic<uint64_t> pulled_{0};
  std::atomic<uint64_t> ringShort_{0};
  std::atomic<uint64_t> deviceLate_{0};
  WakeSignal wake_;   // device -> producer: room in the ring, end rendered; control -> producer
  WakeSignal acked_;  // producer -> control thread: ack_ changed
  // Recent output at the stream's rate, after volume. heardLimit_ is raised
  // before frames are overwritten so that a reader can tell a torn copy.
  std::atomic<uint64_t> heardLimit_{0};
  // Seqlock-published: heard frames written, device time when the newest is
  // heard, the epoch, and the heard frame where that epoch began.
  std::atomic<uint32_t> snapSeq_{0};
  std::atomic<uint64_t> snapWritten_{0};
  std::atomic<double> snapEnd_{0.0};
  std::atomic<uint32_t> snapEpoch_{kNoEpoch};
  std::atomic<uint64_t> snapStart_{0};

  // ---- control thread ----
  std::function<void()> endHandler_;  // read by the producer only while playing

  // ---- device thread ----
  struct DeviceState {
    uint32_t epoch = kNoEpoch;
    bool primed = false;   // the ring filled once since the epoch began
    bool drained = false;  // the source's end has been rendered
    float gain = 1.0f;
    uint64_t written = 0;     // frames written to the heard ring
    uint64_t epochStart = 0;  // heard frame where this epoch began
    size_t workPos = 0;       // resampler input: frames of work_ taken
    size_t workLen = 0;       //   and held
  };
  DeviceState d_;
  std::vector<float> work_;
  std::vector<float> resampled_;
  std::unique_ptr<Resampler> resampler_;

  // ---- producer thread (started last, joined first) ----
  std::thread producer_;
  std::thread::id producerId_;

  // ---- the device's, set once before the first play ----
  std::unique_ptr<OutputSink> sink_;  // destroyed first: it calls render until then
};
