#include "ui/ui_scale.h"

#include <cmath>

float UiScaleForDpi(double dotsPerInch) {
  const float quarters = float(dotsPerInch) / 96.0f / 0.25f;
  return std::nearbyint(quarters) * 0.25f;  // the default rounding mode: ties to even
}

QRect ScaledRect(const QRect& designed, float scale) {
  auto at = [scale](int v) { return int(std::nearbyint(float(v) * scale)); };
  const int left = at(designed.left());
  const int top = at(designed.top());
  const int right = at(designed.left() + designed.width());
  const int bottom = at(designed.top() + designed.height());
  return QRect(left, top, right - left, bottom - top);
}
