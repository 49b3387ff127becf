#include "ui/keyboard_focus.h"

#include <QApplication>
#include <QFocusEvent>
#include <QVariant>
#include <QWidget>

namespace keyboard_focus {
namespace {
// The mark lives on the widget that took the focus over, for its next
// focus-in only.
constexpr char kHandedOn[] = "pitchwellFocusHandedOn";
}  // namespace

void NoteFocusOut(const QWidget& self) {
  // Qt disables a widget before it moves the focus on, and the widget that
  // takes it is already the application's focus widget here.
  if (self.isEnabled()) return;
  if (QWidget* next = QApplication::focusWidget(); next != nullptr && next != &self)
    next->setProperty(kHandedOn, true);
}

bool CameFromKeyboard(QWidget& self, const QFocusEvent& event, bool current) {
  const bool handedOn = self.property(kHandedOn).toBool();
  if (handedOn) self.setProperty(kHandedOn, QVariant());
  switch (event.reason()) {
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
      return !handedOn;
    case Qt::ShortcutFocusReason:
      return true;
    case Qt::ActiveWindowFocusReason:
    case Qt::PopupFocusReason:
      return current;
    default:
      return false;
  }
}

}  // namespace keyboard_focus
