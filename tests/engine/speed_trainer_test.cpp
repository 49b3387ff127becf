#include <gtest/gtest.h>

#include <vector>

#include "engine/speed_trainer.h"

TEST(SpeedTrainer, StepsFromStartToTargetAndStaysThere) {
  struct Case {
    double start, step, target;
    std::vector<double> values;  // after 0, 1, 2 … passes
  };
  const Case cases[] = {
      {-30, 5, 0, {-30, -25, -20, -15, -10, -5, 0, 0, 0}},
      {-30, -5, 0, {-30, -25, -20}},               // the step's sign does not matter
      {20, 7, 0, {20, 13, 6, 0, 0}},               // the last step is cut short at the target
      {0, 10, 0, {0, 0}},                          // nothing to do
      {-10, 0, 10, {-10, -10, -10}},               // no step: stays at the start
  };
  for (const Case& c : cases) {
    SpeedTrainer t;
    t.startPercent = c.start;
    t.stepPercent = c.step;
    t.targetPercent = c.target;
    for (size_t pass = 0; pass < c.values.size(); ++pass)
      EXPECT_DOUBLE_EQ(t.percentAfter(uint32_t(pass)), c.values[pass]) << c.start << " by " << c.step << ", pass " << pass;
  }
  SpeedTrainer t;  // -30 → 0 in 5 % steps
  EXPECT_EQ(t.passesToTarget(), 6u);
  EXPECT_FALSE(t.finishedAfter(5));
  EXPECT_TRUE(t.finishedAfter(6));
  t.stepPercent = 7;
  EXPECT_EQ(t.passesToTarget(), 5u);
}
