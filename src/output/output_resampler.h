// Sample-rate converter for the output stream, used when the sound device
// cannot run at the stream's own rate: libsamplerate's medium-quality sinc
// converter behind a push interface.
//
// Lengths are exact: N input frames give ceil(N * outRate / inRate) output
// frames in all (the converter's own count at the end is trimmed or padded
// with silence by at most a few frames), output frame j sitting at input
// time j * inRate / outRate.
//
// 1 to 8 channels. The constructor allocates everything (libsamplerate's
// state included). Real-time contract: process, pending, finished and reset
// never allocate, lock, log or touch files; they may run on the device
// thread. Not thread-safe: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct SRC_STATE_tag;

class Resampler {
 public:
  struct Step {
    size_t used;  // input frames taken
    size_t made;  // output frames written
  };

  // Throws std::bad_alloc when libsamplerate cannot make its state.
  Resampler(int inRate, int outRate, int channels);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  int inRate() const { return inRate_; }
  int outRate() const { return outRate_; }
  int channels() const { return channels_; }

  // Converts interleaved frames from `in` into at most `outFrames` frames at
  // `out`. `endOfInput`: `in` holds the last input frames; once they and the
  // converter's tail are out, finished() holds and made is 0. Input not
  // taken must be offered again.
  Step process(const float* in, size_t inFrames, float* out, size_t outFrames, bool endOfInput);
  // True once the end of input has been given and every output frame made.
  bool finished() const { return finished_; }
  // Input frames taken whose output has not come out yet: the delay, in
  // input frames, between giving a frame and getting its output.
  double pending() const;
  // Forgets all input: the next process starts a new signal.
  void reset();

 private:
  struct StateDeleter {
    void operator()(SRC_STATE_tag* state) const;
  };

  // Fixed at construction.
  const int inRate_;
  const int outRate_;
  const int channels_;
  const double ratio_;  // outRate / inRate
  // The using thread's (the device thread's, in a stream).
  std::unique_ptr<SRC_STATE_tag, StateDeleter> state_;
  uint64_t taken_ = 0;  // input frames taken since the reset
  uint64_t made_ = 0;   // output frames made since the reset
  bool finished_ = false;
};
