// The five effects as a user states them, and what each value means for
// the sound: plain numbers in percent and semitones, with no slider
// positions and no text. The window maps its sliders to these values, the
// renderer takes them from the command line, a save carries them.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

struct EffectValues {
  double speedPercent = 0;    // −50 … +100: rate and pitch together
  double tempoPercent = 0;    // −50 … +100: rate alone
  double pitchSemitones = 0;  // −12 … +12: pitch alone
  double treblePercent = 0;   // 0 … 100: high shelf boost
  double bassPercent = 0;     // 0 … 100: low shelf boost
  // Practice settings: cents on top of the pitch (tuning a recording to
  // A440), −100 … +100, and whether the pitch change keeps formants.
  double fineTuneCents = 0;
  bool formantsPreserved = false;

  bool operator==(const EffectValues&) const = default;
};

struct ValueRange {
  double minimum;
  double maximum;
};
inline constexpr ValueRange kSpeedPercentRange{-50, 100};
inline constexpr ValueRange kTempoPercentRange{-50, 100};
inline constexpr ValueRange kPitchSemitoneRange{-12, 12};
inline constexpr ValueRange kTreblePercentRange{0, 100};
inline constexpr ValueRange kBassPercentRange{0, 100};
inline constexpr ValueRange kFineTuneCentRange{-100, 100};

// The shelf gains the tone values ask for, in whole dB: treble 0 … 30 dB
// (100 % is +30 dB), bass 0 … 29 dB (100 % is +29 dB).
double TrebleGainDb(double treblePercent);
double BassGainDb(double bassPercent);

// Output duration over source duration for the speed and tempo values.
double DurationRatio(double speedPercent, double tempoPercent);

// The output's tempo change against the source in whole percent (halves to
// even): the output plays (100 + result) / 100 times as fast.
int32_t TempoChangePercent(double speedPercent, double tempoPercent);

// The tempo a measured BPM becomes at these values (unrounded).
double ModifiedBpm(int32_t measuredBpm, double speedPercent, double tempoPercent);

// How a figure is written: the decimal point, the digit-group separator
// and the minus sign. The window takes them from the user's locale; the
// renderer writes plain ASCII.
struct NumberSymbols {
  std::string decimalPoint = ".";
  std::string groupSeparator = ",";
  std::string minusSign = "-";
};

// v rounded to `significant` significant digits, then written with exactly
// one digit after the decimal point (halves to even at both steps), with
// digit grouping. A negative v that rounds to zero is written "0.0", never
// "-0.0".
std::string LabelNumber(double v, int significant, const NumberSymbols& symbols = {});

// The BPM caption: "---" without a measured BPM, else e.g. "120/132.0"
// (measured / at these values).
std::string BpmCaption(int32_t measuredBpm, double speedPercent, double tempoPercent,
                       const NumberSymbols& symbols = {});
