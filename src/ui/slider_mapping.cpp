#include "ui/slider_mapping.h"

#include <QLocale>
#include <QString>

#include <cmath>

namespace pw {
namespace {

std::optional<double> Within(double position, const SliderRange& range) {
  if (!std::isfinite(position) || position < range.minimum || position > range.maximum) return std::nullopt;
  return position;
}

// One decimal with a "+" before what shows above zero.
std::string Signed(double v, int significant, const char* unit) {
  const std::string number = LabelNumber(v, significant, LocaleNumberSymbols());
  const bool zero = LabelNumber(v, significant) == "0.0";
  return (v > 0 && !zero ? "+" : "") + number + unit;
}

}  // namespace

double SpeedPercentAt(double position) { return position > 0 ? position / 10.0 : position / 20.0; }
double TempoPercentAt(double position) { return 100.0 * std::exp2(position / 1200.0) - 100.0; }
double PitchSemitonesAt(double position) { return position / 10.0; }
double TreblePercentAt(double position) { return position / 20.0; }
double BassPercentAt(double position) { return position / 100.0; }

std::optional<double> SpeedPositionFromPercent(double percent) {
  return Within(percent > 0 ? percent * 10.0 : percent * 20.0, kSpeedRange);
}

std::optional<double> TempoPositionFromPercent(double percent) {
  const double factor = 1.0 + percent / 100.0;
  if (!(factor > 0)) return std::nullopt;
  return Within(1200.0 * std::log2(factor), kTempoRange);
}

std::optional<double> PitchPositionFromSemitones(double semitones) { return Within(semitones * 10.0, kPitchRange); }
std::optional<double> TreblePositionFromPercent(double percent) { return Within(percent * 20.0, kTrebleRange); }
std::optional<double> BassPositionFromPercent(double percent) { return Within(percent * 100.0, kBassRange); }

NumberSymbols LocaleNumberSymbols() {
  const QLocale locale;
  return {locale.decimalPoint().toStdString(), locale.groupSeparator().toStdString(),
          locale.negativeSign().toStdString()};
}

std::string SpeedLabel(double percent) { return Signed(percent, 7, " %"); }
std::string TempoLabel(double percent) { return Signed(percent, 7, " %"); }
std::string PitchLabel(double semitones) { return Signed(semitones, 3, " st"); }
std::string ToneLabel(double percent) { return Signed(percent, 3, " %"); }

std::string LocaleBpmCaption(int32_t measuredBpm, double speedPercent, double tempoPercent) {
  return BpmCaption(measuredBpm, speedPercent, tempoPercent, LocaleNumberSymbols());
}

}  // namespace pw
