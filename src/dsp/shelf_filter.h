// Tone filters: RBJ shelving biquads on interleaved 32-bit float audio.
//
// Real-time contract: the constructor is the only call that allocates.
// process and flush never allocate, lock, log or touch files. set may be
// called from any thread while another thread filters: it never blocks the
// filtering thread (setters only serialise among themselves).
#pragma once

#include <memory>

enum class ShelfType { Low, High };

class ShelfFilter {
 public:
  // Starts flat (samples pass unchanged). channels 1 … 8 (clamped).
  explicit ShelfFilter(int channels);
  ~ShelfFilter();
  ShelfFilter(const ShelfFilter&) = delete;
  ShelfFilter& operator=(const ShelfFilter&) = delete;

  // corner = corner frequency ÷ sample rate; slope = shelf slope S
  // (0 < S ≤ 1, larger is taken as 1); gain in dB (0 = flat, clamped to
  // ±30). An invalid corner (≤ 0, ≥ 0.5, infinite, NaN), slope (≤ 0, NaN),
  // gain (NaN) or type leaves the filter flat. Safe while another thread
  // filters: the filter picks the new setting up at its next block and
  // moves to it over 1024 frames, without a click.
  void set(ShelfType type, double corner, double slope, double gainDb);

  // Filters in place (double-precision state per channel). At gain 0 the
  // output is bit-identical to the input once the previous setting's
  // history has died away (at once on a fresh or flushed filter).
  // Real-time safe.
  void process(float* buffer, int frames);

  // Clears the history and jumps to the latest setting. Not while another
  // thread is inside process(). Real-time safe.
  void flush();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
