// Where every control of the main window sits, at the design scale (96 dpi):
// the window lays its controls out from this table, scaled once per scale,
// and the layout test checks it. Fonts by pixel size at the same scale.
#pragma once

#include <QColor>
#include <QRect>
#include <QSize>

#include "ui/slider_mapping.h"

namespace window_layout {

constexpr QRect kNameBounds{21, 115, 355, 13};
constexpr QRect kTimeBounds{288, 38, 88, 29};
constexpr QRect kBpmBounds{288, 80, 88, 29};
constexpr int kValueLabelLefts[5] = {45, 116, 187, 258, 329};
constexpr int kValueLabelTop = 180;
constexpr QSize kValueLabelSize{54, 13};
constexpr QRect kKnobBounds{411, 38, 86, 86};
constexpr int kSliderLefts[5] = {44, 115, 186, 257, 328};
constexpr int kSliderTop = 194;
constexpr QSize kSliderSize{25, 154};
constexpr QRect kPositionBounds{264, 140, 250, 21};
constexpr QSize kColumnButtonSize{97, 26};
constexpr int kColumnLeft = 405;
constexpr int kColumnTops[4] = {180, 214, 248, 282};
constexpr QSize kTransportSize{81, 28};
constexpr int kTransportTop = 137;
constexpr int kTransportLefts[3] = {8, 87, 168};
constexpr QSize kTitleButtonSize{37, 19};
constexpr int kTitleButtonTop = 2;
constexpr int kTitleButtonLefts[3] = {395, 432, 469};

constexpr int kWindowFontPx = 11;  // Tahoma, the window's font
constexpr int kTimeFontPx = 24;
constexpr int kBpmFontPx = 19;

inline const QColor kReadoutText{150, 212, 255};
inline const QColor kNameText{200, 206, 212};

struct EffectSlider {
  const char* name;
  const char* hint;
  pw::SliderRange range;
  const char* label;  // the value label's caption until the window shows
  const char* labelName;
};

constexpr EffectSlider kEffectSliders[5] = {
    {"speedBar", "Speed change in percents", pw::kSpeedRange, "0%", "shiftLabel"},
    {"tempoBar", "Tempo change in percents", pw::kTempoRange, "0%", "tempoLabel"},
    {"pitchBar", "Pitch change in semitones", pw::kPitchRange, "0 st", "scaleLabel"},
    {"trebleBar", "Treble change in percents", pw::kTrebleRange, "0%", "trebleLabel"},
    {"bassBar", "Bass boost in percents", pw::kBassRange, "0%", "bassLabel"},
};

}  // namespace window_layout
