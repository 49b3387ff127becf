// The window's slider: the five vertical effect sliders and the horizontal
// playback-position slider. The value is a double; it follows the mouse
// (dragging the thumb, or paging by Step while pressed beside it), the wheel
// and the keyboard, and is painted as a recessed slot with a metal thumb.
// A double-click on the thumb or a Ctrl+press puts it back on its centre
// value, a drag lands exactly on the centre near it, and Enter or F2 asks the
// window for an exact-value editor.
//
// Threads: created, driven and painted on the main (GUI) thread only; every
// member belongs to that thread.
#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <limits>

class QPainter;

class Slider : public QWidget {
  Q_OBJECT

 public:
  enum class Direction { Vertical, Horizontal };

  explicit Slider(QWidget* parent = nullptr);

  double position() const { return position_; }
  // Ignored when v equals the position or lies outside the range; otherwise
  // positionChanged(v) follows.
  void setPosition(double v);
  double minimum() const { return minimum_; }
  void setMinimum(double v);  // pulls the position up to it silently
  double maximum() const { return maximum_; }
  void setMaximum(double v);  // pulls the position down to it silently
  double step() const { return step_; }
  void setStep(double v);  // only values > 0 are taken
  double center() const { return center_; }
  void setCenter(double v);
  Direction direction() const { return direction_; }
  void setDirection(Direction d);
  bool wheelControl() const { return wheelControl_; }
  void setWheelControl(bool on) { wheelControl_ = on; }
  bool showThumb() const { return showThumb_; }
  void setShowThumb(bool on);
  bool showLine() const { return showLine_; }
  void setShowLine(bool on);
  int shadow() const { return shadow_; }
  void setShadow(int divisor);

  // Page Up / Page Down move by this much: ten steps, or a tenth of the range
  // when that is more.
  double page() const;
  // Double-click on the thumb and Ctrl+press put the value back on center()
  // (on by default; the playback-position slider has no use for it).
  bool centerReset() const { return centerReset_; }
  void setCenterReset(bool on) { centerReset_ = on; }
  // Half-width of the zone around center() in which a drag lands on exactly
  // the centre, in logical pixels scaled by scale(); 0 turns it off.
  double centerSnap() const { return centerSnap_; }
  void setCenterSnap(double logicalPixels);
  // Moves to center() (clamped to the range) and reports it, also when the
  // value was already there: a deliberate reset always reaches the listeners.
  void resetToCenter();

  // The ring shows while the slider has the focus and the keyboard brought
  // it there or has been used on it since (the :focus-visible rule of the
  // web); a mouse press hides it.
  bool focusRingVisible() const { return hasFocus() && keyboardFocus_; }
  QColor focusRingColor() const { return focusRingColor_; }
  void setFocusRingColor(const QColor& c);

  // A tooltip with the value while the thumb is dragged (off by default: the
  // window uses the ordinary hint set with setToolTip).
  bool positionToolTip() const { return positionToolTip_; }
  void setPositionToolTip(bool on) { positionToolTip_ = on; }
  QString positionToolTipFormat() const { return toolTipFormat_; }
  void setPositionToolTipFormat(const QString& printfFormat) { toolTipFormat_ = printfFormat; }
  // May rewrite the formatted value before it is shown.
  using ToolTipTextHook = std::function<void(double position, QString& text)>;
  void setToolTipTextHook(ToolTipTextHook hook) { toolTipHook_ = std::move(hook); }
  QString toolTipText() const { return shownToolTip_; }  // empty when hidden

  QColor rulerColor() const { return rulerColor_; }
  void setRulerColor(const QColor& c);
  QColor rulerBorder() const { return rulerBorder_; }
  void setRulerBorder(const QColor& c);
  void setThumbColors(const QColor& top, const QColor& bottom, const QColor& border);
  void setThumbCenterColors(const QColor& focused, const QColor& unfocused);

  // Line widths, the focus ring, the shadow blur and the centre snap follow
  // the window's scale; the window sets the geometry itself.
  void setScale(float scale);
  // Loop markers at two values ("A" and "B"), with the stretch between them
  // lit; NaN hides a marker. Only the painting changes: no signal.
  void setMarkers(double a, double b);
  double markerA() const { return markerA_; }
  double markerB() const { return markerB_; }
  float scale() const { return scale_; }

  // The value under a pointer coordinate along the track (y for a vertical
  // slider, x for a horizontal one), clamped to the range, never snapped.
  double valueAt(double coordinate) const;
  // Where the thumb stands and what a press on it hits, in widget pixels.
  QPointF thumbCenter() const;
  QRectF thumbHitRect() const;
  int thumbSize() const { return thumbSize_; }
  int rulerLength() const { return rulerLength_; }

  bool isDragging() const { return mode_ == Mode::Dragging; }
  bool isPaging() const { return mode_ == Mode::Paging; }
  bool isRepeating() const { return repeat_.isActive(); }
  // The page step repeats at this interval while a press lasts (100 ms).
  int repeatInterval() const { return repeat_.interval(); }
  void setRepeatInterval(int ms) { repeat_.setInterval(ms); }

  QSize sizeHint() const override { return {90, 250}; }

 public slots:
  // One beat of the press-and-hold repeat, at the pointer's last position.
  void repeatTick();

 signals:
  void positionChanged(double position);
  // Before the slider's own handling of the press or release; the second
  // press of a double-click comes here too, so presses and releases pair up.
  void pressed(Qt::MouseButton button, QPointF at);
  void released(Qt::MouseButton button, QPointF at);
  // Enter, Return or F2 while focused: the window opens an exact-value editor.
  void valueEditRequested();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  enum class Mode { Idle, Dragging, Paging };

  void updateGeometryCache();
  double alongTrack(QPointF p) const;
  double offsetFor(double value) const;
  double markerA_ = std::numeric_limits<double>::quiet_NaN();
  double markerB_ = std::numeric_limits<double>::quiet_NaN();
  void pageStep(QPointF pointer);
  void press(QMouseEvent* event, bool secondOfDoubleClick);
  double dragValueAt(QPointF pointer) const;
  void applyAndNotify(double v);
  void moveTo(double v);
  void setKeyboardFocus(bool on);
  void updateScaledSizes();
  void paintThumb(QPainter& p, QPointF center, double lineWidth);
  void refreshToolTip();
  void hideToolTip();

  double minimum_ = 0;
  double maximum_ = 100;
  double position_ = 0;
  double step_ = 20;
  double center_ = 0;
  Direction direction_ = Direction::Vertical;
  bool wheelControl_ = true;
  bool showThumb_ = true;
  bool showLine_ = true;
  int shadow_ = 10;
  bool positionToolTip_ = false;
  QString toolTipFormat_ = QStringLiteral("%.2f");
  ToolTipTextHook toolTipHook_;
  QString shownToolTip_;

  QColor rulerColor_{0x3A, 0x3F, 0x43};
  QColor rulerBorder_{0x2A, 0x32, 0x35};
  QColor thumbTop_{0xF0, 0xF0, 0xF0};
  QColor thumbBottom_{0xDC, 0xDC, 0xDC};
  QColor thumbBorder_{0x47, 0x47, 0x47};
  QColor thumbCenter_{0x51, 0xB5, 0xFC};
  QColor thumbCenterInactive_{0x64, 0x64, 0x64};

  float scale_ = 1.0f;
  bool centerReset_ = true;
  double centerSnap_ = 4;
  QColor focusRingColor_{0x51, 0xB5, 0xFC};
  // From the scale (setScale, setCenterSnap): device-independent sizes in
  // this slider's pixels, so input and painting do no scaling of their own.
  double snapPixels_ = 4;
  double ringWidth_ = 2;

  // From the size and direction (resizeEvent, setDirection).
  int crossSize_ = 0;
  int length_ = 0;
  int thumbSize_ = 0;
  int rulerLength_ = 0;

  Mode mode_ = Mode::Idle;
  QPointF pointer_;
  QTimer repeat_;
  // The last press started a drag on the thumb: a double-click needs both
  // presses on it, so paging that brought the thumb under the pointer does
  // not turn the second click into a reset.
  bool lastPressOnThumb_ = false;
  // The second press of a double-click on the thumb resets at its release,
  // unless the pointer moves off first: then it is an ordinary drag.
  bool resetOnRelease_ = false;
  QPointF pressedAt_;
  bool keyboardFocus_ = false;
};
