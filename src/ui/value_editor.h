// A small line editor that the window lays over a value label to take an
// exact number from the keyboard: Enter gives the number (clamped to the
// range, never rounded to a step), Esc or leaving the field gives up, and
// text that is no number gets a red frame and gives nothing.
//
// Threads: created, driven and painted on the main (GUI) thread only; every
// member belongs to that thread.
#pragma once

#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QString>

#include <optional>

class ValueEditor : public QLineEdit {
  Q_OBJECT

 public:
  // Hidden until open(); the parent is the widget it is laid out in (the
  // window), not the label it covers.
  explicit ValueEditor(QWidget* parent = nullptr);

  // Covers `over` (centred on it, widened when the longest value of the
  // range would not fit), shows `text` all selected and takes the focus.
  // `decimals` is how the range is shown in the hint, not a limit on what
  // may be typed. Opening while open starts afresh without a signal.
  void open(QWidget* over, const QString& text, double minimum, double maximum, int decimals);
  bool isOpen() const { return open_; }
  // Set by an Enter on text that is no number; from then on each edit sets
  // or clears it until the editor closes.
  bool isInvalid() const { return invalid_; }

  // Border width follows the window's scale.
  void setScale(float scale);

  // A number as people type it: in `locale`'s digits and decimal separator
  // or with ".", a leading "+", "-" or "−", and "%" or "st" after it.
  // Not clamped; nothing when it is no number.
  static std::optional<double> parse(const QString& text, const QLocale& locale);

 signals:
  void valueEntered(double value);
  void cancelled();

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void commit();
  void finish(bool giveFocusBack);
  void setInvalid(bool on);
  void applyStyle();
  void place(QWidget* over, const QString& widest);

  bool open_ = false;
  bool invalid_ = false;
  // After a refused Enter the frame follows every edit; before it, half-typed
  // text such as "-" is not called wrong.
  bool checkAsTyped_ = false;
  double minimum_ = 0;
  double maximum_ = 0;
  float scale_ = 1.0f;
  // Where the focus was when the editor opened: Enter and Esc hand it back.
  QPointer<QWidget> returnFocusTo_;
};
