#include "ui/value_editor.h"

#include <QApplication>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {

const QColor kFrame{0x51, 0xB5, 0xFC};    // the skin's accent blue
const QColor kInvalid{0xFF, 0x4D, 0x4D};  // reads as "wrong" on the dark skin

bool IsEditorKey(int key) { return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape; }

bool ChopSuffix(QString& s, const QString& suffix) {
  if (suffix.isEmpty() || !s.endsWith(suffix, Qt::CaseInsensitive)) return false;
  s.chop(suffix.size());
  s = s.trimmed();
  return true;
}

}  // namespace

ValueEditor::ValueEditor(QWidget* parent) : QLineEdit(parent) {
  hide();
  setAlignment(Qt::AlignCenter);
  applyStyle();
  // Once a bad number was refused, the frame tells at each keystroke whether
  // Enter would now take it.
  connect(this, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (checkAsTyped_) setInvalid(!parse(text, locale()));
  });
}

std::optional<double> ValueEditor::parse(const QString& text, const QLocale& locale) {
  QString s = text.trimmed();
  // The unit the label shows may be typed along, or left off.
  for (const QString& unit : {QStringLiteral("%"), locale.percent(), QStringLiteral("st")}) {
    if (ChopSuffix(s, unit)) break;
  }
  bool negative = false;
  if (s.startsWith(QLatin1Char('+')) || s.startsWith(locale.positiveSign())) {
    s.remove(0, s.startsWith(QLatin1Char('+')) ? 1 : locale.positiveSign().size());
  } else if (s.startsWith(QLatin1Char('-')) || s.startsWith(QChar(0x2212))) {
    negative = true;
    s.remove(0, 1);
  } else if (s.startsWith(locale.negativeSign())) {
    negative = true;
    s.remove(0, locale.negativeSign().size());
  }
  // "." always works as the decimal point, so a German user may type either
  // "12,5" or "12.5"; group separators are not taken (no range needs them,
  // and "1.200" would be ambiguous).
  if (locale.decimalPoint() != QLatin1String(".")) s.replace(locale.decimalPoint(), QStringLiteral("."));
  for (QChar& c : s) {
    if (c.isDigit()) c = QChar(u'0' + c.digitValue());  // the locale's own digits
  }
  static const QRegularExpression number(QStringLiteral("^(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)$"));
  if (!number.match(s).hasMatch()) return std::nullopt;
  const double magnitude = s.toDouble();
  if (!std::isfinite(magnitude)) return std::nullopt;
  // No "-0" reaches a label.
  return negative && magnitude != 0 ? -magnitude : magnitude;
}

void ValueEditor::open(QWidget* over, const QString& text, double minimum, double maximum, int decimals) {
  minimum_ = std::min(minimum, maximum);
  maximum_ = std::max(minimum, maximum);
  const int places = std::clamp(decimals, 0, 10);
  const QLocale loc = locale();
  const QString low = loc.toString(minimum_, 'f', places);
  const QString high = loc.toString(maximum_, 'f', places);
  const QString hint = tr("%1 to %2").arg(low, high);
  setToolTip(hint);
  setAccessibleDescription(hint);
  if (over) {
    setFont(over->font());
    if (!over->accessibleName().isEmpty()) setAccessibleName(over->accessibleName());
  }
  // Room for the longest value the range allows, with a unit after it.
  QString widest = text;
  for (const QString& candidate : {low + QStringLiteral(" st"), high + QStringLiteral(" st")}) {
    if (candidate.size() > widest.size()) widest = candidate;
  }
  // Before the focus moves here, so that losing it again can cancel.
  returnFocusTo_ = QApplication::focusWidget();
  if (returnFocusTo_ == this) returnFocusTo_.clear();
  open_ = true;
  setText(text);
  checkAsTyped_ = false;
  setInvalid(false);
  if (over) place(over, widest);
  show();
  raise();
  setFocus(Qt::OtherFocusReason);
  selectAll();
}

void ValueEditor::place(QWidget* over, const QString& widest) {
  const QFontMetrics fm(font());
  const int border = int(std::lround(2 * scale_));
  const int padding = int(std::lround(4 * scale_));
  const int width = std::max(over->width(), fm.horizontalAdvance(widest) + 2 * (border + padding));
  const int height = std::max(over->height(), fm.height() + 2 * (border + int(std::lround(scale_))));
  const QPoint labelCenter = over->mapToGlobal(over->rect().center());
  QRect r(0, 0, width, height);
  if (QWidget* parent = parentWidget()) {
    r.moveCenter(parent->mapFromGlobal(labelCenter));
    // Kept inside the window: the labels at its edges would push it out.
    r.moveLeft(std::clamp(r.left(), 0, std::max(0, parent->width() - r.width())));
    r.moveTop(std::clamp(r.top(), 0, std::max(0, parent->height() - r.height())));
  } else {
    r.moveCenter(labelCenter);
  }
  setGeometry(r);
}

void ValueEditor::setScale(float scale) {
  if (scale <= 0 || scale == scale_) return;
  scale_ = scale;
  applyStyle();
}

void ValueEditor::setInvalid(bool on) {
  if (on == invalid_) return;
  invalid_ = on;
  applyStyle();
}

void ValueEditor::applyStyle() {
  const int border = int(std::lround(2 * scale_));
  const int padding = int(std::lround(2 * scale_));
  setStyleSheet(QStringLiteral("QLineEdit { background: #15191B; color: #FFFFFF; border: %1px solid %2; "
                               "border-radius: %3px; padding: 0px %4px; selection-background-color: #51B5FC; "
                               "selection-color: #000000; }")
                    .arg(border)
                    .arg((invalid_ ? kInvalid : kFrame).name())
                    .arg(border + 1)
                    .arg(padding));
}

bool ValueEditor::event(QEvent* event) {
  // Enter and Esc belong to the editor while it is open, not to a shortcut
  // of the window.
  if (event->type() == QEvent::ShortcutOverride && open_) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (IsEditorKey(key->key()) && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      event->accept();
      return true;
    }
  }
  return QLineEdit::event(event);
}

void ValueEditor::keyPressEvent(QKeyEvent* event) {
  if (!open_ || !IsEditorKey(event->key())) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  event->accept();
  if (event->key() == Qt::Key_Escape) {
    finish(true);
    emit cancelled();
  } else {
    commit();
  }
}

void ValueEditor::commit() {
  const std::optional<double> v = parse(text(), locale());
  if (!v) {
    checkAsTyped_ = true;
    setInvalid(true);
    return;
  }
  const double value = std::clamp(*v, minimum_, maximum_);
  finish(true);
  emit valueEntered(value);
}

void ValueEditor::finish(bool giveFocusBack) {
  open_ = false;  // first: the focus moving away below is no cancel
  if (giveFocusBack && returnFocusTo_ && returnFocusTo_->isVisible() && returnFocusTo_->isEnabled()) {
    // The keyboard closed the editor, so the control it came from gets its
    // keyboard focus (and focus ring) back.
    returnFocusTo_->setFocus(Qt::ShortcutFocusReason);
  }
  returnFocusTo_.clear();
  hide();
}

void ValueEditor::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // The editor's own context menu takes the focus for a while; anything else
  // means the user went on elsewhere.
  if (!open_ || event->reason() == Qt::PopupFocusReason) return;
  finish(false);
  emit cancelled();
}
