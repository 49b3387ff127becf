// Between the window's sliders and the effect values: the value at each
// slider position, the position of a value, and the texts of the value
// labels and the BPM caption in the user's locale.
//
// Pure functions of their arguments and of the default QLocale (label
// separators). Call them on the main thread: QLocale's default is not meant to
// change while they run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/effect_values.h"

namespace pw {

struct SliderRange {
  double minimum;
  double maximum;
  double step;
};

inline constexpr SliderRange kSpeedRange{-1000, 1000, 1};   // -50 … +100 %
inline constexpr SliderRange kTempoRange{-1200, 1200, 1};   // -50 … +100 %
inline constexpr SliderRange kPitchRange{-120, 120, 1};     // -12 … +12 semitones
inline constexpr SliderRange kTrebleRange{0, 2000, 4};      // 0 … 100 %
inline constexpr SliderRange kBassRange{0, 10000, 15};      // 0 … 100 %

// The value at a slider position.
double SpeedPercentAt(double position);    // position / 10 above 0, / 20 below (finer below)
double TempoPercentAt(double position);    // 100 × 2^(position / 1200) − 100 (cents of tempo)
double PitchSemitonesAt(double position);  // position / 10
double TreblePercentAt(double position);   // position / 20
double BassPercentAt(double position);     // position / 100

// The slider position of a value; nullopt when the value is not finite or
// lies outside the slider's range.
std::optional<double> SpeedPositionFromPercent(double percent);
std::optional<double> TempoPositionFromPercent(double percent);
std::optional<double> PitchPositionFromSemitones(double semitones);
std::optional<double> TreblePositionFromPercent(double percent);
std::optional<double> BassPositionFromPercent(double percent);

// The default QLocale's decimal point, group separator and minus sign.
NumberSymbols LocaleNumberSymbols();

// The value labels: one decimal, a "+" before a value that shows above zero,
// never "-0.0": "+25.0 %", "-12.5 %", "0.0 %", "+0.5 st".
std::string SpeedLabel(double percent);
std::string TempoLabel(double percent);
std::string PitchLabel(double semitones);
std::string ToneLabel(double percent);  // treble and bass

// The BPM caption in the user's locale: "---" or e.g. "120/132.0".
std::string LocaleBpmCaption(int32_t measuredBpm, double speedPercent, double tempoPercent);

}  // namespace pw
