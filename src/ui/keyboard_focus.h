// Whether a widget holds the focus because the user moved it there with the
// keyboard (Tab, Backtab, a mnemonic): only then does it show a focus ring
// and take Space and Enter. Qt also hands the focus on "by Tab" when the
// focused widget is disabled (GET BPM while it measures, CLEAR once the loop
// is gone); that hand-over is not the user's and shows no ring.
//
// Main thread.
#pragma once

class QFocusEvent;
class QWidget;

namespace keyboard_focus {

// From a widget's focusOutEvent: when it lost the focus because it was
// disabled, marks the widget that took it over.
void NoteFocusOut(const QWidget& self);

// From a widget's focusInEvent: whether the focus came from the keyboard;
// `current` where the reason keeps what it was (the window or a menu giving
// the focus back).
bool CameFromKeyboard(QWidget& self, const QFocusEvent& event, bool current);

}  // namespace keyboard_focus
