// Paces a device that has no clock of its own (the real-time null device):
// one block rendered per block time, each heard one block after it is
// rendered, so a block rendered later than one block past its turn means the
// previous one had already played out: a gap a real device would have had.
//
// One thread (the device thread's). Nothing here allocates.
#pragma once

#include <chrono>

class RealTimePacer {
 public:
  using Clock = std::chrono::steady_clock;

  RealTimePacer(Clock::duration block, Clock::time_point start) : block_(block), next_(start) {}

  // Before rendering at `now`: true when this block comes too late to follow
  // the previous one without a gap.
  bool late(Clock::time_point now) const { return now > next_ + block_; }

  // After rendering: when to render the next block. Far behind (more than
  // four blocks), it starts afresh from `now` rather than bursting to catch up.
  Clock::time_point advance(Clock::time_point now) {
    next_ += block_;
    if (next_ < now - 4 * block_) next_ = now;
    return next_;
  }

 private:
  const Clock::duration block_;
  Clock::time_point next_;  // when the current block is due to be rendered
};
