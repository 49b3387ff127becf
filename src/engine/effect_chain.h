// The effect chain of one open file, pulled from its end: each stage takes
// what it needs from the stage before it, in the order a block of sound
// travels:
//
//   source (the file's reader, with the A–B loop and a region's end)
//     → pitch/tempo (Rubber Band) → speed (resampler)
//     → bass and treble shelves → true-peak safety limiter → readBlock()
//
// No stage calls back up. The limiter is in the path while an effect is on
// (and until its release has ended after the last one goes off). Its short
// look-ahead delay is compensated: held back when it joins, handed back when
// it leaves or the stream ends, so lengths and alignment stay exact and
// playback goes on without a gap. It reduces only where the true peak would
// pass the ceiling: with every effect neutral, or below the ceiling, the
// output is the input bit for bit.
//
// Threads: readBlock runs on the reading thread (whoever pulls the session:
// the playback producer, a save's render thread, a measurement); flush and
// the loop's reset only while nobody reads. The effect setters may be
// called from the owner's thread while another thread reads: each value
// crosses as one atomic (the switches and ceiling here, the pitch stage's
// ratios) or goes to a DSP stage that takes it that way (speed, tone).
// readBlock allocates nothing: the scratch buffer and every stage exist
// beforehand.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/effect_values.h"
#include "dsp/peak_limiter.h"
#include "dsp/pitch_tempo_stage.h"
#include "dsp/shelf_filter.h"
#include "engine/source_loop.h"
#include "dsp/speed.h"

class AudioFileReader;

class EffectChain {
 public:
  // The limiter's ceiling in dBTP for playback: room for the overshoot of
  // the output's converters and resamplers.
  static constexpr double kPlaybackCeilingDb = -1.0;

  // Builds every stage for the reader's rate and channels (1 or 2,
  // 8000 … 48000 Hz), all neutral. Null when a stage cannot be built; the
  // chain reads `source` and must not outlive it.
  static std::unique_ptr<EffectChain> create(AudioFileReader& source);
  ~EffectChain();
  EffectChain(const EffectChain&) = delete;
  EffectChain& operator=(const EffectChain&) = delete;

  // ---- the reading thread ----

  // Pulls the next block into `out`, which holds `capacityFrames` frames:
  // asks the pitch stage for up to `requestFrames` (at most a quarter of the
  // capacity, since slowing down can double a block and the speed stage may
  // release what it held back) and returns the frames written after every
  // stage: possibly 0 while a stage gathers input. *sourceEnded turns true
  // once the source and the pitch stage have nothing more; from then on the
  // later stages hand back what they held, and a 0 is the end.
  int readBlock(float* out, int requestFrames, int capacityFrames, bool* sourceEnded);

  // ---- the owner's thread, nobody reading ----

  // Empties every stage (and forgets a loop seam half delivered); values,
  // loop and source end stay.
  void flush();

  // ---- the owner's thread, any time ----

  void setValues(const EffectValues& values);
  const EffectValues& values() const { return values_; }
  // A duration ratio straight to the pitch stage (output over input
  // duration), for a caller that has one already.
  void setDurationRatio(double ratio);

  // The A–B loop on the source, before every effect.
  SourceLoop& loop() { return loop_; }
  const SourceLoop& loop() const { return loop_; }
  // Where the source ends for the chain, in frames (a save of a region);
  // negative: the file's end.
  void setSourceEnd(int64_t frame) { sourceEnd_.store(frame, std::memory_order_relaxed); }
  int64_t sourceEnd() const { return sourceEnd_.load(std::memory_order_relaxed); }

  // The limiter's ceiling in dBTP, clamped to −20 … 0; non-finite values are
  // ignored. Taken up at the next block.
  void setCeilingDb(double dBTP);
  double ceilingDb() const { return limiter_->ceilingDb(); }
  // Whether the limiter reduced the gain in the last block (for a meter).
  bool limiting() const { return limiter_->reducing(); }
  // The limiter's look-ahead in frames: while an effect is on, the chain's
  // own delay after the pitch stage (for figures).
  int limiterLatencyFrames() const { return limiter_->latencyFrames(); }
  // Off: the limiter never joins the path, for a caller that limits the
  // output itself (a save split into pieces limits the joined stream once).
  // On at creation. Set before the first block, or while nobody reads.
  void setLimiterEnabled(bool on) { limiterEnabled_.store(on, std::memory_order_relaxed); }

  // The pitch stage, for figures (its latency) and tests.
  PitchTempoStage& pitchStage() { return *pitchStage_; }
  int channels() const { return channels_; }
  int sampleRate() const { return sampleRate_; }

 private:
  EffectChain(AudioFileReader& source, int sampleRate, int channels);
  // The pitch stage's input: the reader through the loop, up to the source
  // end (reading thread). Counts in floats.
  int readSource(float* buffer, int floats);
  // Whether any effect is on, so the limiter may reduce (reading thread).
  bool anyEffectOn() const;

  // ---- set at creation ----
  AudioFileReader& source_;
  const int sampleRate_;
  const int channels_;
  const int bassCornerHz_;
  const int trebleCornerHz_;
  std::unique_ptr<PitchTempoStage> pitchStage_;
  std::unique_ptr<SpeedStage> speed_;
  std::unique_ptr<ShelfFilter> bass_;
  std::unique_ptr<ShelfFilter> treble_;
  std::unique_ptr<PeakLimiter> limiter_;
  std::unique_ptr<float[]> scratch_;
  static constexpr int kScratchFrames = 2048;

  // ---- any thread ----
  SourceLoop loop_;
  std::atomic<int64_t> sourceEnd_{-1};
  std::atomic<bool> speedOn_{false};
  std::atomic<bool> bassOn_{false};
  std::atomic<bool> trebleOn_{false};
  std::atomic<bool> limiterEnabled_{true};

  // ---- the reading thread (flush while nobody reads) ----
  bool limiterInPath_ = false;

  // ---- the owner's thread ----
  EffectValues values_;
};

// Corner frequency for a shelf: the wanted frequency, or a quarter of the
// sample rate when the wanted one is above half of it.
int CornerFrequency(int wanted, int sampleRate);
