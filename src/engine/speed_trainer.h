// The speed trainer: a practice plan that moves the speed or the tempo one
// step after every pass of the A–B loop, from a start value to a target
// (for example -30 % to 0 % in steps of 5 %), then stays at the target.
// Pure arithmetic; the window applies the values to its sliders.
#pragma once

#include <cstdint>

struct SpeedTrainer {
  enum class Parameter { Speed, Tempo };

  Parameter parameter = Parameter::Tempo;
  double startPercent = -30;
  double stepPercent = 5;  // its size counts; the direction is towards the target
  double targetPercent = 0;

  // The value for the pass after `passes` finished passes: the start, then
  // one step further per pass, never beyond the target.
  double percentAfter(uint32_t passes) const;
  // True once the value has reached the target.
  bool finishedAfter(uint32_t passes) const;
  // Passes from the start value to the target (0 when they are equal).
  uint32_t passesToTarget() const;
};
