#include "slider_mapping.h"

#include <QLocale>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace pw {
namespace {

// Halves to even under the default rounding mode (round to nearest).
int32_t RoundToInt32(double v) {
  if (!std::isfinite(v)) return 0;
  const double r = std::nearbyint(v);
  constexpr double lo = std::numeric_limits<int32_t>::min();
  constexpr double hi = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::clamp(r, lo, hi));
}

int64_t PowerOfTen(int n) {
  int64_t p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

// What the speed label shows and the speed stage receives: twice the
// resolution below 0.
double SpeedPercent(double x) { return x > 0 ? x / 10.0 : x / 20.0; }

std::string Signed(const std::string& number, bool positive, const char* unit) {
  return (positive ? "+" : "") + number + unit;
}

std::optional<double> Within(double position, const SliderRange& range) {
  if (!std::isfinite(position) || position < range.minimum || position > range.maximum) return std::nullopt;
  return position;
}

}  // namespace

std::string LabelNumber(double v, int significant) {
  const QLocale locale;
  if (!std::isfinite(v)) return locale.toString(v, 'f', 1).toStdString();
  significant = std::clamp(significant, 1, 17);

  // The significant digits come from printf, which rounds the exact binary
  // value (ties to even); the second rounding, to tenths, is done on those
  // decimal digits so that a tie there is a true decimal tie.
  char buf[48];
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
      return locale.toString(v, 'f', 1).toStdString();  // beyond any slider figure
    }
    tenths = digits * PowerOfTen(shift);
  } else if (-shift <= 18) {
    const int64_t divisor = PowerOfTen(-shift);
    tenths = digits / divisor;
    const int64_t rest = digits % divisor;
    if (2 * rest > divisor || (2 * rest == divisor && (tenths & 1) != 0)) ++tenths;
  }  // else: far below a half tenth (digits < 10^17)

  QString text = locale.toString(static_cast<qlonglong>(tenths / 10));
  text += locale.decimalPoint();
  text += locale.toString(static_cast<qlonglong>(tenths % 10));
  if (v < 0) text.prepend(locale.negativeSign());
  return text.toStdString();
}

SpeedSetting SpeedFromPosition(double x) {
  const double v = SpeedPercent(x);
  return {RoundToInt32(x), static_cast<float>(v), Signed(LabelNumber(v, 7), x > 0, " %")};
}

TempoSetting TempoFromPosition(double p) {
  const float ratio = static_cast<float>(std::exp2(-p / 100.0 / 12.0));
  const float v = static_cast<float>(1.0 / ratio * 100.0 - 100.0);
  return {static_cast<float>(std::nearbyint(p) / 100.0), v, Signed(LabelNumber(v, 7), v > 0, " %")};
}

PitchSetting PitchFromPosition(double p) {
  const double s = p / 10.0;
  return {static_cast<float>(std::nearbyint(p) / 10.0), Signed(LabelNumber(s, 3), p > 0, " st")};
}

ToneSetting TrebleFromPosition(double x, double p) {
  return {RoundToInt32(x), std::nearbyint(p / 67.0), Signed(LabelNumber(p / 20.0, 3), p > 0, " %")};
}

ToneSetting BassFromPosition(double x, double p) {
  return {RoundToInt32(x), std::nearbyint(p / 340.0), Signed(LabelNumber(p / 100.0, 3), p > 0, " %")};
}

std::string BpmCaption(int32_t measuredBpm, double speedPosition, double tempoPosition) {
  if (measuredBpm == 0) return "---";
  const float ratio = static_cast<float>(std::exp2(-tempoPosition / 100.0 / 12.0));
  const float tempoPercent = static_cast<float>(1.0 / ratio * 100.0 - 100.0);
  const float speedPercent = static_cast<float>(SpeedPercent(speedPosition));
  const float speedFactor = static_cast<float>((100.0 + speedPercent) / 100.0);
  const float modified = static_cast<float>((100.0 + tempoPercent) / 100.0 * measuredBpm * speedFactor);
  return std::to_string(measuredBpm) + "/" + LabelNumber(modified, 7);
}

int32_t TempoChange(double speedPosition, double tempoPosition) {
  const float speedPercent = static_cast<float>(SpeedPercent(speedPosition));
  const float tempoPercent = static_cast<float>(100.0 * std::exp2(tempoPosition / 1200.0) - 100.0);
  const float a = static_cast<float>(100.0 + speedPercent);
  const float change = static_cast<float>(a + static_cast<double>(a) * tempoPercent / 100.0 - 100.0);
  return RoundToInt32(change);
}

std::optional<double> SpeedPositionFromPercent(double percent) {
  return Within(percent > 0 ? percent * 10.0 : percent * 20.0, kSpeedRange);
}

std::optional<double> TempoPositionFromPercent(double percent) {
  const double factor = 1.0 + percent / 100.0;
  if (!(factor > 0)) return std::nullopt;
  return Within(1200.0 * std::log2(factor), kTempoRange);
}

std::optional<double> PitchPositionFromSemitones(double semitones) {
  return Within(semitones * 10.0, kPitchRange);
}

std::optional<double> TreblePositionFromPercent(double percent) {
  return Within(percent * 20.0, kTrebleRange);
}

std::optional<double> BassPositionFromPercent(double percent) {
  return Within(percent * 100.0, kBassRange);
}

}  // namespace pw
