// The effect chain: pitch stage, speed stage, bass and treble filters and
// a true-peak safety limiter, in that order, pulled by whoever reads the
// open file's reader (the output stream while playing, the export job while
// saving).
//
// The limiter is in the path while an effect is on (and until its release
// has ended after the last one goes off). Its short look-ahead delay is
// compensated: held back when it joins, handed back when it leaves or the
// stream ends, so lengths and alignment stay exact and playback goes on
// without a gap. It reduces only where the true peak would pass the
// ceiling: with every effect neutral, or below the ceiling, the output is
// the input bit for bit.
//
// Threads: FillBlock, ProcessBlock and ReadSource run on the consumer's
// thread; everything else on the main thread, and the rebuild and FlushAll
// only while no consumer runs. Parameters cross as single atomics (the
// switches here, the pitch stage's requested ratios, the limiter's
// ceiling) or go to the DSP
// library directly (speed, tone), which tolerates it. The consumer's path
// allocates nothing: the scratch buffer and every stage exist beforehand.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "peak_limiter.h"
#include "pitch_tempo_stage.h"
#include "source_loop.h"
#include "shelf_filter.h"
#include "speed.h"

class Player;

class EffectChain {
 public:
  static constexpr uint32_t ScratchBufferSize = 1024 * 1024;

  // Creates the stages as at start-up: speed stage uninitialised, filters for
  // two channels, the pitch stage for 44100 Hz mono. The chain reads the
  // player's reader (whichever file it has open) and must not outlive it.
  explicit EffectChain(Player& player);
  ~EffectChain();
  EffectChain(const EffectChain&) = delete;
  EffectChain& operator=(const EffectChain&) = delete;

  // The file-open checks on what the player reports after Open: the message
  // to show, or nothing when the file can be used.
  static std::optional<std::string> ValidateLoaded(const Player& player);

  // Rebuilds every stage for the player's file and hooks the chain into its
  // reader. Any failure shows "Filters Initialization Failed." and returns
  // false; what was done stays done. Playback must be stopped.
  bool RebuildForFile(Player& player);

  // Reader events (consumer's thread). Counts in bytes.
  void FillBlock(void* buffer, int32_t& count);
  void ProcessBlock(void* buffer, int32_t& count);
  // Pitch stage input: raw decoded samples, counts in floats.
  int32_t ReadSource(float* buffer, int32_t floats);
  // Empties every stage and the reader's block buffer; parameters stay.
  void FlushAll();

  // Slider effects (main thread); the labels are the parameter mapping's.
  void SetSpeed(int32_t speedValue, float percent);
  void SetTempo(float steps);
  void SetPitch(double semitones);
  // A typed tempo change in percent, exact (the slider's handler goes
  // through its whole-cent positions): the output lasts 100 / (100 + percent)
  // of the source. -50 … +100.
  void SetTempoPercent(double percent);
  void SetTreble(int32_t trebleValue, double gainDb, uint32_t sampleRate);
  void SetBass(int32_t bassValue, double gainDb, uint32_t sampleRate);

  // The five slider handlers: the parameter mapping applied to this chain.
  // Each returns the value label's text. x is the event's position, p the
  // slider's Position (they differ only during keyboard stepping); the tone
  // handlers take the open file's sample rate (0 when none is open).
  std::string SpeedBarPositionChanged(double x);
  std::string TempoBarPositionChanged(double p);
  std::string PitchBarPositionChanged(double p);
  std::string TrebleBarPositionChanged(double x, double p, uint32_t sampleRate);
  std::string BassBarPositionChanged(double x, double p, uint32_t sampleRate);

  // Practice settings beyond the sliders (main thread). A fine pitch offset
  // in cents on top of the pitch slider (tuning a recording to A440), and
  // whether the pitch stage keeps formants; both kept across files and
  // rebuilds, both heard during playback and rendered by a save.
  void SetFineTuneCents(double cents);
  double FineTuneCents() const { return fineTuneCents_; }
  void SetFormantPreserved(bool on);
  bool FormantPreserved() const { return formantPreserved_; }
  // The A–B loop on the source (before every effect). Playback only: the
  // save command clears it before an export.
  SourceLoop Loop;
  // Where the source ends for the chain, in frames (a save of a region);
  // negative: the file's end. Any thread.
  void SetSourceEnd(int64_t frame) { sourceEnd_.store(frame, std::memory_order_relaxed); }
  int64_t SourceEnd() const { return sourceEnd_.load(std::memory_order_relaxed); }

  // The limiter's ceiling in dBTP. Playback's leaves room for the overshoot
  // of the output's converters and resamplers; a save sets its format's
  // for its run (see export_job.h) and puts playback's back. Any thread
  // but not during a rebuild; taken up at the next block and kept across
  // rebuilds. Clamped to −20 … 0 dBTP; non-finite values are ignored.
  static constexpr double PlaybackCeilingDb = -1.0;
  void SetCeilingDb(double dBTP);
  double CeilingDb() const { return ceilingDb_.load(std::memory_order_relaxed); }
  // Whether the limiter reduced the gain in the last block (for a meter to
  // poll; main thread, since a rebuild replaces the limiter).
  bool Limiting() const { return Limiter && Limiter->reducing(); }

  // Zeroes the analyser's output as the first step of FlushAll (optional).
  std::function<void()> OnClearAnalyser;

  // The pitch stage of the open file; replaced by every rebuild.
  PitchTempoStage* PitchStage() const { return OwnedPitchStage.get(); }

  std::unique_ptr<SpeedStage> SpeedDSP;
  std::unique_ptr<ShelfFilter> BassFilter;
  std::unique_ptr<ShelfFilter> TrebleFilter;
  std::unique_ptr<PeakLimiter> Limiter;
  int32_t BassFreq = 200;
  int32_t TrebleFreq = 16000;
  std::atomic<int32_t> SpeedValue{0};
  std::atomic<int32_t> BassValue{0};
  std::atomic<int32_t> TrebleValue{0};

 private:
  void ReplacePitchStage(int32_t sampleRate, int32_t channels);
  // Whether any effect is on, so the limiter may reduce (consumer's thread).
  bool AnyEffectOn() const;

  Player& player_;
  std::unique_ptr<float[]> ScratchBuffer;
  std::unique_ptr<PitchTempoStage> OwnedPitchStage;
  std::atomic<int64_t> sourceEnd_{-1};
  std::atomic<double> ceilingDb_{PlaybackCeilingDb};
  // Consumer's thread (FlushAll and rebuilds while none runs).
  bool limiterInPath_ = false;
  // Main thread.
  double pitchSemitones_ = 0;
  double fineTuneCents_ = 0;
  bool formantPreserved_ = false;
};

// Corner frequency for a shelf: the wanted frequency, or a quarter of the
// sample rate when the wanted one is above half of it.
int32_t CornerFrequency(int32_t wanted, int32_t sampleRate);
