// Speed stage: resampling, so pitch and duration change together (like a
// tape played faster or slower). Output length / input length =
// 100 / (100 + percent). Sinc interpolation (libsamplerate). Audio is
// interleaved 32-bit float, 1 or 2 channels; a frame is one sample per
// channel.
//
// Real-time contract: configure() is the only call that allocates, and only
// when the channel count changes. put, get, endOfInput, clear and
// setSpeedPercent never allocate, lock, log or touch files.
// setSpeedPercent may be called from any thread while another thread
// processes; every other call belongs to one thread at a time.
#pragma once

#include <memory>

class SpeedStage {
 public:
  // Starts unconfigured: until configure() every call but setSpeedPercent
  // and clear does nothing (get returns 0). Allocates nothing.
  SpeedStage();
  ~SpeedStage();
  SpeedStage(const SpeedStage&) = delete;
  SpeedStage& operator=(const SpeedStage&) = delete;

  // Prepares for `channels` (1 or 2; other values leave the stage as it
  // was) and starts empty. Allocates the converter and the input queue when
  // the channel count changes. Call after clear().
  void configure(int channels);

  // −50 … +100 (clamped; NaN counts as 0). Allowed before configure() and
  // from any thread while processing; hands the value over atomically.
  // Applied at the next put; the ratio then glides from the old to the new
  // value over the next get call.
  void setSpeedPercent(float percent);

  // Queues input; the conversion itself runs in get(). At most 262144
  // frames may be pending (put and not yet drained); beyond that the rest
  // of a put is dropped. Ignored between endOfInput() and clear().
  // Real-time safe.
  void put(const float* input, int frames);

  // Up to maxFrames frames of output; 0 when none is ready. Draining until
  // 0 leaves only the converter's look-ahead (under a hundred frames) held
  // back. Real-time safe.
  int get(float* output, int maxFrames);

  // Input has ended: everything still held becomes available to get(), so
  // N frames put come out as N × ratio frames (±2). clear() before the next
  // put. Real-time safe.
  void endOfInput();

  // Discards everything held (input, output, filter history). Real-time
  // safe.
  void clear();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
