#include "engine/effect_values.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

int64_t PowerOfTen(int n) {
  int64_t p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

std::string Grouped(int64_t whole, const std::string& separator) {
  std::string digits = std::to_string(whole);
  for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(size_t(at), separator);
  return digits;
}

}  // namespace

// The gains step in whole dB along the sliders: treble 1 dB per 67 of its
// 2000 steps, bass 1 dB per 340 of its 10000. The slider position is taken
// to a millionth of a step first, so that 5.1 % is position 510 exactly
// (1.5 dB, which rounds to the even 2) and not 509.99999… (1 dB).
namespace {
double SliderSteps(double percent, double stepsPerPercent) {
  return std::nearbyint(percent * stepsPerPercent * 1e6) / 1e6;
}
}  // namespace
double TrebleGainDb(double treblePercent) { return std::nearbyint(SliderSteps(treblePercent, 20.0) / 67.0); }
double BassGainDb(double bassPercent) { return std::nearbyint(SliderSteps(bassPercent, 100.0) / 340.0); }

double DurationRatio(double speedPercent, double tempoPercent) {
  return 100.0 / (100.0 + speedPercent) * 100.0 / (100.0 + tempoPercent);
}

int32_t TempoChangePercent(double speedPercent, double tempoPercent) {
  const float speed = static_cast<float>(speedPercent);
  const float tempo = static_cast<float>(tempoPercent);
  const float a = static_cast<float>(100.0 + speed);
  const float change = static_cast<float>(a + static_cast<double>(a) * tempo / 100.0 - 100.0);
  if (!std::isfinite(change)) return 0;
  return static_cast<int32_t>(std::clamp<double>(std::nearbyint(change), std::numeric_limits<int32_t>::min(),
                                                 std::numeric_limits<int32_t>::max()));
}

double ModifiedBpm(int32_t measuredBpm, double speedPercent, double tempoPercent) {
  const float speedFactor = static_cast<float>((100.0 + static_cast<float>(speedPercent)) / 100.0);
  return static_cast<float>((100.0 + static_cast<float>(tempoPercent)) / 100.0 * measuredBpm * speedFactor);
}

std::string LabelNumber(double v, int significant, const NumberSymbols& symbols) {
  char buf[64];
  if (!std::isfinite(v)) {
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
  }
  significant = std::clamp(significant, 1, 17);

  // The significant digits come from printf, which rounds the exact binary
  // value (ties to even); the second rounding, to tenths, is done on those
  // decimal digits so that a tie there is a true decimal tie.
  std::snprintf(buf, sizeof buf, "%.*e", significant - 1, std::fabs(v));
  int64_t digits = 0;
  const char* c = buf;
  for (; *c != '\0' && *c != 'e'; ++c) {
    if (*c >= '0' && *c <= '9') digits = digits * 10 + (*c - '0');
  }
  const int exponent = (*c == 'e') ? std::atoi(c + 1) : 0;

  // |v| = digits × 10^(exponent − significant + 1); tenths = that × 10.
  const int shift = exponent - significant + 2;
  int64_t tenths = 0;
  if (shift >= 0) {
    if (shift > 18 || digits > std::numeric_limits<int64_t>::max() / PowerOfTen(shift)) {
      std::snprintf(buf, sizeof buf, "%.1f", v);  // beyond any slider figure
      return buf;
    }
    tenths = digits * PowerOfTen(shift);
  } else if (-shift <= 18) {
    const int64_t divisor = PowerOfTen(-shift);
    tenths = digits / divisor;
    const int64_t rest = digits % divisor;
    if (2 * rest > divisor || (2 * rest == divisor && (tenths & 1) != 0)) ++tenths;
  }  // else: far below a half tenth (digits < 10^17)

  std::string text = Grouped(tenths / 10, symbols.groupSeparator) + symbols.decimalPoint + std::to_string(tenths % 10);
  if (v < 0 && tenths != 0) text.insert(0, symbols.minusSign);
  return text;
}

std::string BpmCaption(int32_t measuredBpm, double speedPercent, double tempoPercent, const NumberSymbols& symbols) {
  if (measuredBpm == 0) return "---";
  return std::to_string(measuredBpm) + "/" + LabelNumber(ModifiedBpm(measuredBpm, speedPercent, tempoPercent), 7, symbols);
}
