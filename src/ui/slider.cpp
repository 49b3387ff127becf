#include "ui/slider.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QResizeEvent>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "ui/keyboard_focus.h"

namespace {

bool IsSliderKey(int key) {
  switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Right:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
      return true;
    default:
      return false;
  }
}

bool IsEditKey(int key) { return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_F2; }

QColor Darker(const QColor& c, int percent) {
  const double f = (100 - percent) / 100.0;
  return QColor(int(std::lround(c.red() * f)), int(std::lround(c.green() * f)), int(std::lround(c.blue() * f)),
                c.alpha());
}

}  // namespace

Slider::Slider(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent, false);  // the window's picture shows through
  repeat_.setInterval(100);
  connect(&repeat_, &QTimer::timeout, this, &Slider::repeatTick);
  resize(90, 250);
  updateGeometryCache();
}

// ---- values ----

void Slider::setPosition(double v) {
  if (v == position_ || v < minimum_ || v > maximum_) return;
  applyAndNotify(v);
}

void Slider::applyAndNotify(double v) {
  moveTo(v);
  emit positionChanged(position_);
}

void Slider::moveTo(double v) {
  const double before = offsetFor(position_);
  position_ = v;
  // Sub-pixel moves of a drag over a wide range change nothing on screen.
  if (std::abs(offsetFor(position_) - before) >= 0.25) update();
}

double Slider::page() const { return std::max(10 * step_, (maximum_ - minimum_) / 10); }

void Slider::resetToCenter() { applyAndNotify(std::clamp(center_, minimum_, std::max(minimum_, maximum_))); }

void Slider::setCenterSnap(double logicalPixels) {
  if (!(logicalPixels >= 0)) return;
  centerSnap_ = logicalPixels;
  updateScaledSizes();
}

void Slider::setFocusRingColor(const QColor& c) {
  if (c == focusRingColor_) return;
  focusRingColor_ = c;
  if (focusRingVisible()) update();
}

void Slider::updateScaledSizes() {
  snapPixels_ = centerSnap_ * scale_;
  ringWidth_ = 2.0 * scale_;
}

void Slider::setMinimum(double v) {
  minimum_ = v;
  if (position_ < minimum_) position_ = minimum_;
  update();
}

void Slider::setMaximum(double v) {
  maximum_ = v;
  if (position_ > maximum_) position_ = maximum_;
  update();
}

void Slider::setStep(double v) {
  if (v > 0) step_ = v;
}

void Slider::setCenter(double v) {
  if (v == center_) return;
  center_ = v;
  if (showLine_) update();
}

void Slider::setDirection(Direction d) {
  if (d == direction_) return;
  direction_ = d;
  updateGeometryCache();
  update();
}

void Slider::setShowThumb(bool on) {
  if (on == showThumb_) return;
  showThumb_ = on;
  update();
}

void Slider::setShowLine(bool on) {
  if (on == showLine_) return;
  showLine_ = on;
  update();
}

void Slider::setShadow(int divisor) {
  if (divisor <= 0 || divisor == shadow_) return;
  shadow_ = divisor;
  update();
}

void Slider::setRulerColor(const QColor& c) {
  if (c == rulerColor_) return;
  rulerColor_ = c;
  update();
}

void Slider::setRulerBorder(const QColor& c) {
  if (c == rulerBorder_) return;
  rulerBorder_ = c;
  update();
}

void Slider::setThumbColors(const QColor& top, const QColor& bottom, const QColor& border) {
  thumbTop_ = top;
  thumbBottom_ = bottom;
  thumbBorder_ = border;
  update();
}

void Slider::setThumbCenterColors(const QColor& focused, const QColor& unfocused) {
  thumbCenter_ = focused;
  thumbCenterInactive_ = unfocused;
  update();
}

void Slider::setScale(float scale) {
  if (scale <= 0 || scale == scale_) return;
  scale_ = scale;
  updateScaledSizes();
  update();
}

// ---- geometry ----

void Slider::updateGeometryCache() {
  const bool vertical = direction_ == Direction::Vertical;
  crossSize_ = vertical ? width() : height();
  length_ = vertical ? height() : width();
  thumbSize_ = std::max(0, crossSize_ - 1);
  rulerLength_ = (length_ - 1) - thumbSize_;
}

void Slider::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  updateGeometryCache();
}

double Slider::offsetFor(double value) const {
  if (maximum_ <= minimum_ || rulerLength_ <= 0) return 0;
  const double offset = (value - minimum_) / (maximum_ - minimum_) * rulerLength_;
  return std::min(offset, double(rulerLength_));
}

QPointF Slider::thumbCenter() const {
  const double along = thumbSize_ / 2.0 + offsetFor(position_);
  const double across = crossSize_ / 2.0;
  if (direction_ == Direction::Vertical) return {across, height() - along};
  return {along, across};
}

QRectF Slider::thumbHitRect() const {
  const QPointF c = thumbCenter();
  if (direction_ == Direction::Vertical) return {0, c.y() - thumbSize_ / 2.0, double(crossSize_), double(thumbSize_)};
  return {c.x() - thumbSize_ / 2.0, 0, double(thumbSize_), double(crossSize_)};
}

double Slider::valueAt(double coordinate) const {
  if (maximum_ <= minimum_) return 0;
  if (rulerLength_ <= 0) return minimum_;
  const double p = direction_ == Direction::Vertical ? height() - thumbSize_ / 2.0 - coordinate
                                                     : coordinate - thumbSize_ / 2.0;
  const double value = minimum_ + p / rulerLength_ * (maximum_ - minimum_);
  return std::clamp(value, minimum_, maximum_);
}

double Slider::alongTrack(QPointF p) const { return direction_ == Direction::Vertical ? p.y() : p.x(); }

double Slider::dragValueAt(QPointF pointer) const {
  const double v = valueAt(alongTrack(pointer));
  if (snapPixels_ <= 0 || maximum_ <= minimum_ || center_ < minimum_ || center_ > maximum_) return v;
  // The value scale is linear along the track, so the distance in values
  // converts straight to pixels.
  const double pixels = std::abs(v - center_) / (maximum_ - minimum_) * rulerLength_;
  return pixels <= snapPixels_ ? center_ : v;
}

// ---- mouse ----

void Slider::pageStep(QPointF pointer) {
  if (mode_ == Mode::Dragging) return;
  const QRectF hit = thumbHitRect();
  double next;
  if (direction_ == Direction::Vertical) {
    if (pointer.y() < hit.top()) {
      next = position_ + step_;
    } else if (pointer.y() > hit.bottom()) {
      next = position_ - step_;
    } else {
      return;
    }
  } else {
    if (pointer.x() < hit.left()) {
      next = position_ - step_;
    } else if (pointer.x() > hit.right()) {
      next = position_ + step_;
    } else {
      return;
    }
  }
  // A step that would leave the range is not made (no clamping here).
  if (next < minimum_ || next > maximum_ || next == position_) return;
  applyAndNotify(next);
}

void Slider::repeatTick() {
  if (mode_ == Mode::Paging) pageStep(pointer_);
}

void Slider::mousePressEvent(QMouseEvent* event) { press(event, false); }

// Qt turns the second press of a quick pair into this event instead of a
// press: it is that press, so no click is lost and a drag may start with it.
void Slider::mouseDoubleClickEvent(QMouseEvent* event) { press(event, true); }

void Slider::press(QMouseEvent* event, bool secondOfDoubleClick) {
  pointer_ = event->position();
  pressedAt_ = pointer_;
  emit pressed(event->button(), pointer_);
  setFocus(Qt::MouseFocusReason);
  setKeyboardFocus(false);
  const bool onThumb = thumbHitRect().contains(pointer_);
  const bool bothOnThumb = secondOfDoubleClick && onThumb && lastPressOnThumb_;
  resetOnRelease_ = false;
  lastPressOnThumb_ = false;
  if (centerReset_ && (event->modifiers() & Qt::ControlModifier)) {
    mode_ = Mode::Idle;
    resetToCenter();
    event->accept();
    return;
  }
  if (onThumb) {
    mode_ = Mode::Dragging;
    lastPressOnThumb_ = true;
    resetOnRelease_ = centerReset_ && bothOnThumb;
    if (positionToolTip_) refreshToolTip();
  } else {
    mode_ = Mode::Paging;
    pageStep(pointer_);
  }
  repeat_.start();
  event->accept();
}

void Slider::mouseMoveEvent(QMouseEvent* event) {
  pointer_ = event->position();
  if (mode_ != Mode::Dragging) return;
  if (resetOnRelease_) {
    // A hand's tremor during the double-click is no drag.
    if ((pointer_ - pressedAt_).manhattanLength() < QApplication::startDragDistance()) return;
    resetOnRelease_ = false;
  }
  const double v = dragValueAt(pointer_);
  if (v != position_) applyAndNotify(v);
  if (positionToolTip_) refreshToolTip();
}

void Slider::mouseReleaseEvent(QMouseEvent* event) {
  pointer_ = event->position();
  emit released(event->button(), pointer_);
  repeat_.stop();
  const Mode was = mode_;
  mode_ = Mode::Idle;
  if (was == Mode::Dragging && resetOnRelease_) {
    resetOnRelease_ = false;
    hideToolTip();
    resetToCenter();
  } else if (was == Mode::Dragging) {
    // Listeners that seek on release get the final value even if it is unchanged.
    emit positionChanged(position_);
    hideToolTip();
  } else if (was == Mode::Paging) {
    mode_ = Mode::Paging;  // so the rule of the held press applies once more
    pageStep(pointer_);
    mode_ = Mode::Idle;
  }
  event->accept();
}

void Slider::wheelEvent(QWheelEvent* event) {
  if (!wheelControl_) {
    event->ignore();
    return;
  }
  const QPoint delta = event->angleDelta();
  const int turn = delta.y() != 0 ? delta.y() : delta.x();
  if (turn == 0) {
    event->ignore();
    return;
  }
  // One step per message whatever the size of the turn; the event comes
  // every time, also when the clamp kept the value.
  const double next = std::clamp(turn > 0 ? position_ + step_ : position_ - step_, minimum_, maximum_);
  const double before = offsetFor(position_);
  position_ = next;
  emit positionChanged(position_);
  if (std::abs(offsetFor(position_) - before) >= 0.25) update();
  event->accept();
}

// ---- keys ----

// A focused slider keeps its own keys (arrows, pages, Home, End, Enter)
// from the window's shortcuts; with a modifier they are the window's.
bool Slider::event(QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride && (focusPolicy() & Qt::TabFocus)) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && (IsSliderKey(key->key()) || IsEditKey(key->key()))) {
      event->accept();
      return true;
    }
  }
  return QWidget::event(event);
}

void Slider::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (IsEditKey(key) && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    setKeyboardFocus(true);
    // Holding the key asks once.
    if (!event->isAutoRepeat()) emit valueEditRequested();
    event->accept();
    return;
  }
  if (!IsSliderKey(key) || !(focusPolicy() & Qt::TabFocus)) {
    QWidget::keyPressEvent(event);
    return;
  }
  setKeyboardFocus(true);
  double next = position_;
  switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Right:
      next = position_ + step_;
      break;
    case Qt::Key_Down:
    case Qt::Key_Left:
      next = position_ - step_;
      break;
    case Qt::Key_Home:
      next = minimum_;
      break;
    case Qt::Key_End:
      next = maximum_;
      break;
    // A page near an end stops at the end rather than not moving at all.
    case Qt::Key_PageUp:
      next = std::min(position_ + page(), maximum_);
      break;
    case Qt::Key_PageDown:
      next = std::max(position_ - page(), minimum_);
      break;
  }
  if (next != position_ && next >= minimum_ && next <= maximum_) {
    // Listeners see the new value as the argument while position() is
    // still the old one; they read position() for the final value at release.
    emit positionChanged(next);
    moveTo(next);
  }
  event->accept();
}

void Slider::keyReleaseEvent(QKeyEvent* event) {
  if (!IsSliderKey(event->key()) || !(focusPolicy() & Qt::TabFocus)) {
    QWidget::keyReleaseEvent(event);
    return;
  }
  // X11 pairs every auto-repeated press with a release; only the real
  // release ends the held key.
  if (!event->isAutoRepeat()) emit positionChanged(position_);
  event->accept();
}

void Slider::setKeyboardFocus(bool on) {
  if (on == keyboardFocus_) return;
  keyboardFocus_ = on;
  if (hasFocus()) update();
}

void Slider::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  keyboardFocus_ = keyboard_focus::CameFromKeyboard(*this, *event, keyboardFocus_);
  if (showThumb_ || keyboardFocus_) update();
}

void Slider::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  keyboard_focus::NoteFocusOut(*this);
  if (showThumb_ || keyboardFocus_) update();
}

// ---- tooltip ----

void Slider::refreshToolTip() {
  QString text = QString::asprintf(toolTipFormat_.toUtf8().constData(), position_);
  if (text == shownToolTip_) return;
  if (toolTipHook_) toolTipHook_(position_, text);
  shownToolTip_ = text;
  if (isVisible()) QToolTip::showText(mapToGlobal(thumbCenter().toPoint()), text, this, rect());
}

void Slider::hideToolTip() {
  if (shownToolTip_.isEmpty()) return;
  shownToolTip_.clear();
  QToolTip::hideText();
}

// ---- painting ----

void Slider::setMarkers(double a, double b) {
  const auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
  if (same(a, markerA_) && same(b, markerB_)) return;
  markerA_ = a;
  markerB_ = b;
  update();
}

void Slider::paintEvent(QPaintEvent*) {
  if (crossSize_ <= 0 || length_ <= 0) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const bool vertical = direction_ == Direction::Vertical;
  const double across = crossSize_ / 2.0;
  const double lineWidth = std::max(1.0, double(scale_));

  // Points along the track in widget coordinates.
  auto at = [&](double along) { return vertical ? QPointF(across, height() - along) : QPointF(along, across); };
  auto bar = [&](double from, double to, double thickness) {
    const double a = std::min(from, to) - thickness / 2;
    const double b = std::max(from, to) + thickness / 2;
    QRectF r = vertical ? QRectF(across - thickness / 2, height() - b, thickness, b - a)
                        : QRectF(a, across - thickness / 2, b - a, thickness);
    QPainterPath path;
    path.addRoundedRect(r, thickness / 2, thickness / 2);
    return path;
  };

  const double start = thumbSize_ / 2.0;
  const double end = start + std::max(0, rulerLength_);

  // The slot: a rounded bar a third of the cross size thick, recessed by a
  // darker upper/left lip and a lighter lower/right one.
  const double slotThickness = std::max(3.0, crossSize_ / 3.0);
  const QPainterPath slot = bar(start, end, slotThickness);
  QLinearGradient slotFill(vertical ? QPointF(across - slotThickness / 2, 0) : QPointF(0, across - slotThickness / 2),
                           vertical ? QPointF(across + slotThickness / 2, 0) : QPointF(0, across + slotThickness / 2));
  slotFill.setColorAt(0, Darker(rulerColor_, 45));
  slotFill.setColorAt(0.45, rulerColor_);
  slotFill.setColorAt(1, rulerColor_.lighter(115));
  p.setPen(QPen(rulerBorder_, lineWidth));
  p.setBrush(slotFill);
  p.drawPath(slot);

  // Scale marks beside the slot at each tenth: engraved hardware ticks.
  if (crossSize_ >= 12 && rulerLength_ > 20) {
    QColor mark = rulerColor_.lighter(140);
    mark.setAlpha(110);
    p.setPen(QPen(mark, lineWidth * 0.75));
    const double inner = slotThickness / 2 + 2 * lineWidth;
    const double outer = std::min(across - 1, inner + crossSize_ / 8.0);
    for (int i = 0; i <= 10; ++i) {
      const double along = start + rulerLength_ * i / 10.0;
      for (double side : {-1.0, 1.0}) {
        const QPointF c = at(along);
        if (vertical) {
          p.drawLine(QPointF(c.x() + side * inner, c.y()), QPointF(c.x() + side * outer, c.y()));
        } else {
          p.drawLine(QPointF(c.x(), c.y() + side * inner), QPointF(c.x(), c.y() + side * outer));
        }
      }
    }
  }

  const double thumbAlong = start + offsetFor(position_);
  if (showLine_) {
    // The lit line runs from the centre value to the thumb.
    const double centerAlong = start + offsetFor(std::clamp(center_, minimum_, maximum_));
    const double lit = std::max(1.5, slotThickness * 0.55);
    p.setPen(Qt::NoPen);
    QColor glow = thumbCenter_;
    glow.setAlpha(70);
    p.setBrush(glow);
    p.drawPath(bar(centerAlong, thumbAlong, lit + 2 * lineWidth));
    p.setBrush(thumbCenter_);
    p.drawPath(bar(centerAlong, thumbAlong, lit));
  }

  // Loop markers: the looped stretch shaded across the whole slider and lit
  // amber along the slot; A and B as upright lines with a flag, drawn over
  // the thumb so that a thumb standing on a loop end never hides it.
  const bool hasA = std::isfinite(markerA_), hasB = std::isfinite(markerB_);
  const QColor amber(255, 176, 32);
  const double aAlong = hasA ? start + offsetFor(std::clamp(markerA_, minimum_, maximum_)) : 0;
  const double bAlong = hasB ? start + offsetFor(std::clamp(markerB_, minimum_, maximum_)) : 0;
  if (hasA && hasB) {
    QColor shade = amber;
    shade.setAlpha(46);
    p.setPen(Qt::NoPen);
    p.setBrush(shade);
    const double lo = std::min(aAlong, bAlong), hi = std::max(aAlong, bAlong);
    p.drawRect(vertical ? QRectF(0, lo, width(), hi - lo) : QRectF(lo, 0, hi - lo, height()));
    QColor band = amber;
    band.setAlpha(170);
    p.setBrush(band);
    p.drawPath(bar(aAlong, bAlong, std::max(2.0, slotThickness * 0.45)));
  }

  if (showThumb_ && thumbSize_ > 0) paintThumb(p, at(thumbAlong), lineWidth);

  if (hasA || hasB) {
    const double line = std::max(1.0, std::nearbyint(1.5 * double(scale_)));
    const double flag = std::max(4.0, crossSize_ / 4.0);
    for (const double along : {hasA ? aAlong : -1.0, hasB ? bAlong : -1.0}) {
      if (along < 0) continue;
      const QPointF m = at(along);
      p.setPen(QPen(QColor(0, 0, 0, 120), line + 2));
      const QLineF upright = vertical ? QLineF(0, m.y(), width(), m.y()) : QLineF(m.x(), 0, m.x(), height());
      p.drawLine(upright);
      p.setPen(QPen(amber, line));
      p.drawLine(upright);
      // The flag at the top (left for a vertical slider), pointing into the loop.
      const bool isA = along == aAlong && hasA;
      const double dir = isA ? 1.0 : -1.0;
      QPolygonF pennant;
      if (vertical) pennant << QPointF(0, m.y()) << QPointF(flag, m.y()) << QPointF(0, m.y() + dir * flag * 0.8);
      else pennant << QPointF(m.x(), 0) << QPointF(m.x(), flag) << QPointF(m.x() + dir * flag * 0.8, 0);
      p.setPen(Qt::NoPen);
      p.setBrush(amber);
      p.drawPolygon(pennant);
    }
  }

  if (focusRingVisible()) {
    // A capsule just inside the edge: the skin around the slider is dark, so
    // the accent blue stands out on it.
    const double inset = ringWidth_ / 2;
    const QRectF ring = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    const double radius = std::min(ring.width(), ring.height()) / 2;
    p.setPen(QPen(focusRingColor_, ringWidth_));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(ring, radius, radius);
  }
}

void Slider::paintThumb(QPainter& p, QPointF c, double lineWidth) {
  const double r = thumbSize_ / 2.0;

  // Soft shadow: a radial fade rather than a real blur, at a quarter opacity.
  const double shift = std::nearbyint(double(thumbSize_) / shadow_);
  QRadialGradient shade(c + QPointF(shift, shift), r + shift);
  shade.setColorAt(0, QColor(0, 0, 0, 64));
  shade.setColorAt(r / (r + shift + 0.001), QColor(0, 0, 0, 48));
  shade.setColorAt(1, QColor(0, 0, 0, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(shade);
  p.drawEllipse(c + QPointF(shift, shift), r + shift, r + shift);

  // The metal cap: top-to-bottom gradient, a specular highlight, an outline.
  const double capR = r - lineWidth / 2;
  QLinearGradient metal(c - QPointF(0, capR), c + QPointF(0, capR));
  metal.setColorAt(0, thumbTop_);
  metal.setColorAt(1, thumbBottom_);
  p.setPen(QPen(thumbBorder_, lineWidth));
  p.setBrush(metal);
  p.drawEllipse(c, capR, capR);
  QRadialGradient sheen(c - QPointF(capR * 0.35, capR * 0.45), capR * 0.9);
  sheen.setColorAt(0, QColor(255, 255, 255, 120));
  sheen.setColorAt(1, QColor(255, 255, 255, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(sheen);
  p.drawEllipse(c, capR - lineWidth / 2, capR - lineWidth / 2);

  // The centre: the accent while focused, grey otherwise; darker at the top.
  const QColor centre = hasFocus() ? thumbCenter_ : thumbCenterInactive_;
  const double innerR = r / 2;
  QLinearGradient dot(c - QPointF(0, innerR), c + QPointF(0, innerR));
  dot.setColorAt(0, Darker(centre, 50));
  dot.setColorAt(1, centre);
  p.setBrush(dot);
  p.drawEllipse(c, innerR, innerR);
}
