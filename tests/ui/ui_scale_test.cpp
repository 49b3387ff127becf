#include "ui/ui_scale.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(UiScale, QuarterStepsFromTheScreenDensity) {
  const struct {
    double dpi;
    float scale;
  } cases[] = {{96, 1.0f}, {108, 1.0f}, {120, 1.25f}, {132, 1.5f}, {144, 1.5f}, {168, 1.75f}, {192, 2.0f}, {72, 0.75f}};
  for (const auto& c : cases) EXPECT_EQ(UiScaleForDpi(c.dpi), c.scale) << c.dpi;
}

TEST(UiScale, ScaledBoundsKeepSharedEdges) {
  // Each edge is rounded once, so a width is the difference of two rounded
  // edges (never a separately rounded width that could leave a gap).
  for (float scale : {1.0f, 1.25f, 1.5f, 1.75f, 2.0f}) {
    const QRect play = ScaledRect(QRect(8, 137, 81, 28), scale);
    const QRect window = ScaledRect(QRect(0, 0, 523, 382), scale);
    EXPECT_EQ(play.left(), int(std::nearbyint(8 * scale))) << scale;
    EXPECT_EQ(play.left() + play.width(), int(std::nearbyint(89 * scale))) << scale;
    EXPECT_EQ(window.width(), int(std::nearbyint(523 * scale))) << scale;
    EXPECT_EQ(window.height(), int(std::nearbyint(382 * scale))) << scale;
  }
  EXPECT_EQ(ScaledRect(QRect(20, 40, 257, 73), 1.0f), QRect(20, 40, 257, 73));
}
