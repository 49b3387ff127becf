// The volume knob: an integer value on a 300° dial, turned with the mouse
// (a click away from the value turns it there in a short animation), the
// wheel and the keys. Painted as a machined aluminium knob with a pointer
// inside a lit value band and a ring of ticks.
#pragma once

#include <QColor>
#include <QPoint>
#include <QTimer>
#include <QWidget>

class Knob : public QWidget {
  Q_OBJECT

 public:
  // Starts as the window's volume knob: 1 … 10000 at 8000, hint "Volume".
  explicit Knob(QWidget* parent = nullptr);

  int position() const { return position_; }
  // Always clamps, repaints and emits positionChanged, even when unchanged.
  void setPosition(int v);
  int minimum() const { return minimum_; }
  void setMinimum(int v);  // pulls the position into range silently
  int maximum() const { return maximum_; }
  void setMaximum(int v);  // pulls the position into range silently
  void setRange(int minimum, int maximum);
  // Start of the dial in degrees clockwise from 3 o'clock; the dial sweeps
  // 540 − 2 × startAngle degrees, symmetric about 12 o'clock.
  int startAngle() const { return startAngle_; }
  void setStartAngle(int degrees);
  int sweep() const { return 540 - 2 * startAngle_; }
  bool animation() const { return animation_; }
  void setAnimation(bool on) { animation_ = on; }

  // The value a pointer at this widget point stands for.
  int valueAt(QPoint at) const;
  int wheelStep() const;
  int keyStep() const;

  QColor bandColor() const { return bandColor_; }
  void setBandColor(const QColor& c);
  QColor centerColor() const { return centerColor_; }
  void setCenterColor(const QColor& c);

  void setScale(float scale);
  float scale() const { return scale_; }

  bool isTurning() const { return turning_; }
  bool isAnimating() const { return animator_.isActive(); }
  int animationTarget() const { return target_; }
  void setAnimationInterval(int ms) { animator_.setInterval(ms); }

  QSize sizeHint() const override { return {86, 86}; }

 public slots:
  // One 10 ms beat of the turn towards the target.
  void animationTick();

 signals:
  void positionChanged(int position);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void rebuildFace();
  double valueAngle(int value) const;  // Qt degrees (counter-clockwise from 3 o'clock)

  int minimum_ = 1;
  int maximum_ = 10000;
  int position_ = 8000;
  int startAngle_ = 120;
  bool animation_ = true;
  QColor bandColor_{0x4D, 0xAB, 0xF0};
  QColor bandBackColor_{0, 0, 0};
  QColor centerColor_{0x5F, 0x5F, 0x5F};
  QColor outlineColor_{0x2C, 0x2C, 0x2C};
  float scale_ = 1.0f;

  bool turning_ = false;
  int target_ = 0;
  int animationStep_ = 0;
  QTimer animator_;

  // The static parts of the picture, redrawn only on resize, scale or colour.
  QPixmap face_;
};
