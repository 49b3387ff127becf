#include "ui/knob.h"

#include <QConicalGradient>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QResizeEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

QColor Darker(const QColor& c, int percent) {
  const double f = (100 - percent) / 100.0;
  return QColor(int(std::lround(c.red() * f)), int(std::lround(c.green() * f)), int(std::lround(c.blue() * f)));
}

QColor Lighter(const QColor& c, int add) {
  return QColor(std::min(255, c.red() + add), std::min(255, c.green() + add), std::min(255, c.blue() + add));
}

// A point on a circle round c, the angle in degrees clockwise from 3 o'clock.
QPointF OnCircle(QPointF c, double radius, double degrees) {
  const double a = degrees * kPi / 180.0;
  return {c.x() + radius * std::cos(a), c.y() + radius * std::sin(a)};
}

// The painted value angle in 1/16 degree, what decides whether a change shows.
int Sixteenths(double degrees) { return int(std::lround(degrees * 16)); }

}  // namespace

Knob::Knob(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setToolTip(QStringLiteral("Volume"));
  animator_.setInterval(10);
  connect(&animator_, &QTimer::timeout, this, &Knob::animationTick);
  resize(86, 86);
}

// ---- values ----

void Knob::setPosition(int v) {
  const int before = Sixteenths(valueAngle(position_));
  position_ = std::clamp(v, minimum_, std::max(minimum_, maximum_));
  if (Sixteenths(valueAngle(position_)) != before) update();
  emit positionChanged(position_);
}

void Knob::setMinimum(int v) { setRange(v, maximum_); }

void Knob::setMaximum(int v) { setRange(minimum_, v); }

void Knob::setRange(int minimum, int maximum) {
  minimum_ = minimum;
  maximum_ = maximum;
  position_ = std::clamp(position_, minimum_, std::max(minimum_, maximum_));
  update();
}

void Knob::setStartAngle(int degrees) {
  if (degrees == startAngle_ || degrees < 0 || degrees >= 270) return;
  startAngle_ = degrees;
  rebuildFace();
  update();
}

void Knob::setBandColor(const QColor& c) {
  if (c == bandColor_) return;
  bandColor_ = c;
  update();
}

void Knob::setCenterColor(const QColor& c) {
  if (c == centerColor_) return;
  centerColor_ = c;
  rebuildFace();
  update();
}

void Knob::setScale(float scale) {
  if (scale <= 0 || scale == scale_) return;
  scale_ = scale;
  rebuildFace();
  update();
}

int Knob::valueAt(QPoint at) const {
  const int cx = width() / 2;
  const int cy = height() / 2;
  double theta = std::atan2(double(cx - at.x()), double(at.y() - cy)) * 180.0 / kPi;
  if (theta < 0) theta += 360.0;
  if (theta >= 360.0) theta -= 360.0;
  // The factor is a 32-bit float, and the product is taken in it, so that
  // values land exactly where the dial's arithmetic puts them.
  const float factor = float(maximum_ - minimum_) / float(sweep());
  const float turned = float(std::nearbyint(theta) - startAngle_ + 90) * factor;
  const long value = std::lround(std::nearbyint(double(turned))) + minimum_;
  return int(std::clamp<long>(value, minimum_, std::max(minimum_, maximum_)));
}

int Knob::wheelStep() const { return std::max(1, (maximum_ - minimum_) / sweep()); }

int Knob::keyStep() const { return std::max(1, (maximum_ - minimum_) / (sweep() * 5)); }

double Knob::valueAngle(int value) const {
  if (maximum_ <= minimum_) return startAngle_;
  return startAngle_ + double(value - minimum_) * sweep() / double(maximum_ - minimum_);
}

// ---- input ----

void Knob::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  // A running animation goes on to its own target meanwhile.
  turning_ = true;
  event->accept();
}

void Knob::mouseMoveEvent(QMouseEvent* event) {
  if (!turning_) return;
  setPosition(valueAt(event->position().toPoint()));
}

void Knob::mouseReleaseEvent(QMouseEvent* event) {
  if (!turning_) return;
  turning_ = false;
  const int target = valueAt(event->position().toPoint());
  if (!animation_) {
    setPosition(target);
    return;
  }
  target_ = target;
  animationStep_ = (target_ - position_) / 10;  // truncates like an integer div
  if (animationStep_ == 0) animationStep_ = target_ - position_;
  animator_.start();
}

void Knob::animationTick() {
  if (!animator_.isActive()) return;
  const int before = Sixteenths(valueAngle(position_));
  position_ += animationStep_;
  if (Sixteenths(valueAngle(position_)) != before) update();
  const bool reached = animationStep_ >= 0 ? position_ >= target_ : position_ <= target_;
  if (reached) {
    animator_.stop();
    animationStep_ = 0;
    setPosition(target_);  // the one report of the whole turn
  }
}

void Knob::wheelEvent(QWheelEvent* event) {
  const QPoint delta = event->angleDelta();
  const int turn = delta.y() != 0 ? delta.y() : delta.x();
  if (turn == 0) {
    event->ignore();
    return;
  }
  // Towards the user turns up, the opposite of the sliders.
  setPosition(turn < 0 ? position_ + wheelStep() : position_ - wheelStep());
  event->accept();
}

void Knob::keyPressEvent(QKeyEvent* event) {
  if (!isEnabled() || !(focusPolicy() & Qt::TabFocus)) {
    QWidget::keyPressEvent(event);
    return;
  }
  switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Right:
      setPosition(position_ + keyStep());
      break;
    case Qt::Key_Down:
    case Qt::Key_Left:
      setPosition(position_ - keyStep());
      break;
    case Qt::Key_Home:
      setPosition(minimum_);
      break;
    case Qt::Key_End:
      setPosition(maximum_);
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

void Knob::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  update();
}

void Knob::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  update();
}

// ---- painting ----

void Knob::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // The knob stays square: its width follows its height. A hidden widget
  // gets no second resize event for that, so the face is drawn here anyway.
  if (width() != height()) resize(height(), height());
  rebuildFace();
}

void Knob::rebuildFace() {
  const int side = std::min(width(), height());
  if (side <= 0) {
    face_ = QPixmap();
    return;
  }
  const qreal dpr = devicePixelRatioF();
  face_ = QPixmap(QSize(side, side) * dpr);
  face_.setDevicePixelRatio(dpr);
  face_.fill(Qt::transparent);
  QPainter p(&face_);
  p.setRenderHint(QPainter::Antialiasing);

  const double s = scale_;
  const QPointF c(side / 2.0, side / 2.0);
  const double outer = side / 2.0 - 0.5;
  const double tickOuter = outer - 1 * s;
  const double tickInner = tickOuter - 5 * s;
  const double bandWidth = std::max(3.0, (side - 6) * 0.06);
  const double bandRadius = tickInner - 2 * s - bandWidth / 2;

  // The ring of ticks: 31 marks over the dial, every fifth longer and lit.
  for (int i = 0; i <= 30; ++i) {
    const double a = startAngle_ + sweep() * i / 30.0;
    const bool major = i % 5 == 0;
    p.setPen(QPen(major ? QColor(0xB8, 0xBE, 0xC2) : QColor(0x6A, 0x70, 0x74), (major ? 1.4 : 1.0) * s,
                  Qt::SolidLine, Qt::RoundCap));
    p.drawLine(OnCircle(c, major ? tickInner : tickInner + 2 * s, a), OnCircle(c, tickOuter, a));
  }

  // The band's bed: the whole dial in the back colour, edged a shade lighter.
  const QRectF bandRect(c.x() - bandRadius, c.y() - bandRadius, 2 * bandRadius, 2 * bandRadius);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(Lighter(bandBackColor_, 10), bandWidth + 2 * s, Qt::SolidLine, Qt::FlatCap));
  p.drawArc(bandRect, -startAngle_ * 16, -sweep() * 16);
  p.setPen(QPen(bandBackColor_, bandWidth, Qt::SolidLine, Qt::FlatCap));
  p.drawArc(bandRect, -startAngle_ * 16, -sweep() * 16);

  // The collar: a dark outline ring between the band and the knob.
  const double collar = bandRadius - bandWidth / 2 - 2 * s;
  QRadialGradient well(c, collar);
  well.setColorAt(0.85, outlineColor_);
  well.setColorAt(1, Darker(outlineColor_, 40));
  p.setPen(Qt::NoPen);
  p.setBrush(well);
  p.drawEllipse(c, collar, collar);

  // Drop shadow under the knob body.
  const double body = collar - std::max(2.0, (side - 6) * 0.06);
  QRadialGradient drop(c + QPointF(0, 1.5 * s), body + 2 * s);
  drop.setColorAt(0.85, QColor(0, 0, 0, 140));
  drop.setColorAt(1, QColor(0, 0, 0, 0));
  p.setBrush(drop);
  p.drawEllipse(c + QPointF(0, 1.5 * s), body + 2 * s, body + 2 * s);

  // The machined body: a turned-aluminium sheen (conical) over a shading
  // that darkens towards the edge, with a bright chamfer at the rim.
  QLinearGradient rim(c - QPointF(0, body), c + QPointF(0, body));
  rim.setColorAt(0, QColor(0xE6, 0xE9, 0xEB));
  rim.setColorAt(1, QColor(0x3A, 0x3D, 0x40));
  p.setBrush(rim);
  p.drawEllipse(c, body, body);

  const double cap = body - 1.5 * s;
  QRadialGradient shade(c, cap);
  shade.setColorAt(0, centerColor_.lighter(170));
  shade.setColorAt(0.7, centerColor_.lighter(135));
  shade.setColorAt(1, Darker(centerColor_, 50));
  p.setBrush(shade);
  p.drawEllipse(c, cap, cap);
  QConicalGradient turned(c, 45);
  for (int i = 0; i <= 8; ++i) turned.setColorAt(i / 8.0, QColor(255, 255, 255, i % 2 ? 10 : 70));
  p.setBrush(turned);
  p.drawEllipse(c, cap, cap);
  p.setPen(QPen(Darker(centerColor_, 25), 1 * s));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(c, cap, cap);
}

void Knob::paintEvent(QPaintEvent*) {
  const int side = std::min(width(), height());
  if (side <= 0) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.drawPixmap(0, 0, face_);

  const double s = scale_;
  const QPointF c(side / 2.0, side / 2.0);
  const double outer = side / 2.0 - 0.5;
  const double tickInner = outer - 6 * s;
  const double bandWidth = std::max(3.0, (side - 6) * 0.06);
  const double bandRadius = tickInner - 2 * s - bandWidth / 2;
  const double angle = valueAngle(std::clamp(position_, minimum_, std::max(minimum_, maximum_)));

  // The lit band from the start of the dial to the value.
  const QRectF bandRect(c.x() - bandRadius, c.y() - bandRadius, 2 * bandRadius, 2 * bandRadius);
  const int span = Sixteenths(angle - startAngle_);
  if (span > 0) {
    QColor glow = bandColor_;
    glow.setAlpha(hasFocus() ? 90 : 50);
    p.setPen(QPen(glow, bandWidth + 2 * s, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(bandRect, -startAngle_ * 16, -span);
    p.setPen(QPen(bandColor_, bandWidth, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(bandRect, -startAngle_ * 16, -span);
  }

  // The pointer: an engraved groove with a light line in it.
  const double collar = bandRadius - bandWidth / 2 - 2 * s;
  const double cap = collar - std::max(2.0, (side - 6) * 0.06) - 1.5 * s;
  const QPointF from = OnCircle(c, cap * 0.35, angle);
  const QPointF to = OnCircle(c, cap * 0.88, angle);
  p.setPen(QPen(QColor(0, 0, 0, 120), 3.5 * s, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(from, to);
  p.setPen(QPen(QColor(0xF0, 0xF0, 0xF0), 2 * s, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(from, to);
}
