// From slider positions to effect parameters and the texts of the value
// labels, the BPM caption and the tempo change of a saved file; and back, from
// the figures a user types (command line) to slider positions.
//
// Pure functions of their arguments and of the default QLocale (label
// separators). Call them on the main thread: QLocale's default is not meant to
// change while they run.
//
// Rounding to an integer is to the nearest value with halves to the even
// neighbour (1.5 -> 2, 4.5 -> 4). Positions are floating point: a dragged
// slider may stop between steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// v rounded to `significant` significant digits, then written with exactly
// one digit after the decimal separator (halves to even at both steps), with
// digit grouping and the default QLocale's separators. A negative v carries
// the locale's minus sign, also when it rounds to zero ("-0.0").
std::string LabelNumber(double v, int significant);

// Speed slider, everything from the event's position x.
struct SpeedSetting {
  int32_t speedValue;  // x rounded; the speed stage runs while it is not 0
  float percent;       // for setSpeedPercent: x / 10 above 0, x / 20 otherwise
  std::string label;   // "+25.0 %", "-12.5 %", "0.0 %"
};
SpeedSetting SpeedFromPosition(double x);

// Tempo slider, from the slider's Position p.
struct TempoSetting {
  float steps;        // (p rounded) / 100, for the pitch stage's SetTempo
  float percent;      // 100 × 2^(p/1200) − 100, in 32-bit steps as shown
  std::string label;  // "+5.9 %", "-50.0 %"
};
TempoSetting TempoFromPosition(double p);

// Pitch slider, from the slider's Position p.
struct PitchSetting {
  float semitones;    // (p rounded) / 10, for the pitch stage's SetPitch
  std::string label;  // "+0.5 st", "-12.0 st"
};
PitchSetting PitchFromPosition(double p);

// Treble and bass sliders: the switch follows the event's position x, gain
// and label the slider's Position p (they differ during keyboard stepping).
struct ToneSetting {
  int32_t switchValue;  // x rounded; the filter runs while it is not 0
  double gainDb;        // treble: p / 67 rounded; bass: p / 340 rounded
  std::string label;    // share of the range: "+50.0 %"
};
ToneSetting TrebleFromPosition(double x, double p);
ToneSetting BassFromPosition(double x, double p);

// Caption of the BPM label from the measured BPM (0: none yet) and the speed
// and tempo slider positions: "---" or e.g. "120/132.0".
std::string BpmCaption(int32_t measuredBpm, double speedPosition, double tempoPosition);

// Tempo change of the output against the source in whole percent, from the
// speed and tempo slider positions: the output plays (100 + result) / 100
// times as fast.
int32_t TempoChange(double speedPosition, double tempoPosition);

// Slider positions for user figures; nullopt when the figure is not finite
// or lies outside the slider's range.
std::optional<double> SpeedPositionFromPercent(double percent);    // × 10 above 0, × 20 below
std::optional<double> TempoPositionFromPercent(double percent);    // 1200 × log2(1 + pct / 100)
std::optional<double> PitchPositionFromSemitones(double semitones);  // × 10
std::optional<double> TreblePositionFromPercent(double percent);   // × 20
std::optional<double> BassPositionFromPercent(double percent);     // × 100

}  // namespace pw
