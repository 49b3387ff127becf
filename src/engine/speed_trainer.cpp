#include "engine/speed_trainer.h"

#include <cmath>

double SpeedTrainer::percentAfter(uint32_t passes) const {
  const double step = std::fabs(stepPercent);
  if (!(step > 0) || !std::isfinite(step)) return startPercent;
  const double distance = targetPercent - startPercent;
  const double moved = std::min(std::fabs(distance), step * double(passes));
  return startPercent + (distance < 0 ? -moved : moved);
}

bool SpeedTrainer::finishedAfter(uint32_t passes) const { return percentAfter(passes) == targetPercent; }

uint32_t SpeedTrainer::passesToTarget() const {
  const double step = std::fabs(stepPercent);
  if (!(step > 0) || !std::isfinite(step)) return 0;
  return uint32_t(std::ceil(std::fabs(targetPercent - startPercent) / step - 1e-9));
}
