// How large the window is drawn: its skin, controls and fonts are designed
// for 96 dots per inch and scaled by one factor, computed once at start-up.
#pragma once

#include <QRect>

// The screen's logical dots per inch over 96, to the nearest quarter (ties
// to the even quarter), in 32-bit float: 96 -> 1.0, 108 -> 1.0, 120 -> 1.25,
// 132 -> 1.5, 144 -> 1.5, 192 -> 2.0.
float UiScaleForDpi(double dotsPerInch);

// A bound designed at 96 dpi, scaled: each edge rounded to the nearest pixel
// (ties to even), so that neighbouring controls keep sharing their edges.
QRect ScaledRect(const QRect& designed, float scale);
