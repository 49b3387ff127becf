// Pitch/tempo stage: pitch and duration changed independently (Rubber Band's
// finer R3 engine in real-time mode), with an exact bypass at unity ratios.
// Audio is interleaved 32-bit float, 1 or 2 channels; a frame is one sample
// per channel. Input is pulled from a source function while processing.
//
// Real-time contract: create() allocates every buffer, Rubber Band's
// included. process() and flush() never allocate, lock, log or touch files
// (nor may the source function). The ratio setters may be called from any
// thread while another thread processes; each stores one atomic double.
#pragma once

#include <atomic>
#include <memory>

class PitchTempoStage {
 public:
  // Supplies the input; called only from inside process(), on its thread.
  // Fill up to `floats` floats (always a whole number of frames) and return
  // how many were delivered: fewer is fine, 0 means the input has ended. A
  // trailing partial frame is ignored.
  using ReadFunction = int (*)(void* user, float* buffer, int floats);

  // Ratios are clamped to this range (what the sliders reach).
  static constexpr double kMinRatio = 0.5;
  static constexpr double kMaxRatio = 2.0;

  // channels 1 or 2, sampleRate 1000 … 384000 Hz (made for 8000 … 48000).
  // nullptr for other values or when the stretcher cannot be built. Both
  // ratios start at 1.0. Takes some tens of milliseconds: the stretcher is
  // run through the ends of the pitch range, so that nothing is allocated
  // later, and its start delay is measured.
  static std::unique_ptr<PitchTempoStage> create(int channels, int sampleRate, ReadFunction read, void* user);
  ~PitchTempoStage();
  PitchTempoStage(const PitchTempoStage&) = delete;
  PitchTempoStage& operator=(const PitchTempoStage&) = delete;

  int channels() const;
  int sampleRate() const;

  // Pitch ratio (2.0 = an octave up; duration unchanged) and duration ratio
  // (0.5 = twice as fast; pitch unchanged). Any thread; taken up at the
  // start of the next process() and kept by a flush. Clamped to
  // [kMinRatio, kMaxRatio] there; non-positive or non-finite values mean
  // 1.0. Pitch ratios are applied within 0.25 cent.
  void setPitchRatio(double ratio);
  void setDurationRatio(double ratio);
  // The same in musical steps: pitch ratio 2^(semitones / 12), duration
  // ratio 2^(−steps / 12) (12 steps = twice as fast).
  void setPitchSemitones(double semitones);
  void setTempoSteps(double steps);
  // The values last set, before clamping.
  double pitchRatio() const;
  double durationRatio() const;
  // Keeps the spectral envelope (a voice's formants, an instrument's body)
  // where it is while the pitch moves, instead of moving it with the pitch.
  // Off at creation. Any thread; taken up at the start of the next
  // process(), during playback without a click. No effect at unity pitch.
  void setFormantPreserved(bool on);
  bool formantPreserved() const;

  // Frames of output by which a duration change made while the stretcher
  // runs reaches the output later than the input it applies to (the
  // stretcher's lead, measured at creation: what it has already analysed).
  // A pitch change acts on the resampler behind the stretcher and is heard
  // within a few milliseconds; entering or leaving the bypass takes the
  // 15 ms crossfade. Any thread.
  int latencyFrames() const;

  // Writes up to `frames` frames; fewer only at the end of input. Returns 0
  // once input has ended and everything has been delivered, and for
  // frames <= 0. Any request size is served (internally in steps of 1024
  // frames). Real-time safe.
  //
  // At 1.0/1.0 the stage is a bypass: output samples are the input
  // samples, without delay. Otherwise the stretcher runs with its start
  // delay compensated: output time = input time × duration ratio
  // (piecewise, as the ratios change; a change reaches the output within
  // the stretcher's latency, about 50 ms at 44.1 kHz). In all, the output
  // runs from the first input frame to the last: input length × duration
  // ratio frames at constant ratios. Moving between bypass and stretcher
  // crossfades over 15 ms and keeps the timeline continuous: the stretcher
  // starts where the bypass stands, and the bypass resumes at the input
  // position the stretcher's output had reached.
  int process(float* output, int frames);

  // Discards everything held (stretcher state, buffered input, end of
  // input): the next process() starts clean, with the current ratios. Not
  // while another thread is inside process(). Real-time safe.
  void flush();

 private:
  struct Engine;
  explicit PitchTempoStage(std::unique_ptr<Engine> engine);

  std::atomic<double> pitchRatio_{1.0};
  std::atomic<double> durationRatio_{1.0};
  std::atomic<bool> formantPreserved_{false};
  std::unique_ptr<Engine> engine_;
};
