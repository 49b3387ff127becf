#include "ui/skin_button.h"

#include <QDialog>
#include <QEnterEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QRadialGradient>
#include <QResizeEvent>
#include <QShortcutEvent>

#include <algorithm>
#include <cmath>

#include "ui/keyboard_focus.h"

namespace {

// Installed means fontconfig knows the family itself, not a stand-in it
// would silently substitute for it.
bool FamilyInstalled(const QString& family) {
  if (family.isEmpty()) return false;
  if (QFontDatabase::families().contains(family, Qt::CaseInsensitive)) return true;
  return QFontInfo(QFont(family)).family().compare(family, Qt::CaseInsensitive) == 0;
}

}  // namespace

SkinButton::SkinButton(const QString& caption, QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_Hover, false);  // hover comes from enter/leave
  captionFont_ = QFont(QStringLiteral("Tahoma"));
  resolveFont();
  resize(120, 35);
  setCaption(caption);
}

// ---- properties ----

void SkinButton::setCaption(const QString& text) {
  if (text == caption_ && shortcutId_ != 0) return;
  caption_ = text;
  if (shortcutId_ != 0) releaseShortcut(shortcutId_);
  shortcutId_ = 0;
  const QKeySequence mnemonic = QKeySequence::mnemonic(caption_);
  if (!mnemonic.isEmpty()) {
    shortcutId_ = grabShortcut(mnemonic);
    // One activation per press, as for Space and Enter: a held key must
    // not click again with every repeat.
    setShortcutAutoRepeat(shortcutId_, false);
  }
  update();
}

void SkinButton::setCornerRadius(int percent) {
  cornerRadius_ = std::max(0, percent);
  rebuildFacePath();
  update();
}

void SkinButton::setCorners(Corners which) {
  corners_ = which;
  rebuildFacePath();
  update();
}

void SkinButton::setFaceColors(const QColor& top, const QColor& bottom) {
  startColor_ = top;
  endColor_ = bottom;
  update();
}

void SkinButton::setHoverFaceColors(const QColor& top, const QColor& bottom) {
  startHoverColor_ = top;
  endHoverColor_ = bottom;
  if (hovered_) update();
}

void SkinButton::setDisabledColors(const QColor& face, const QColor& caption) {
  disabledColor_ = face;
  disabledFontColor_ = caption;
  if (!isEnabled()) update();
}

void SkinButton::setFontColor(const QColor& c) {
  fontColor_ = c;
  update();
}

void SkinButton::setFontHoverColor(const QColor& c) {
  fontHoverColor_ = c;
  if (hovered_) update();
}

void SkinButton::setBevel(bool on, int width, const QColor& color, const QColor& hoverColor) {
  bevel_ = on;
  bevelWidth_ = std::max(0, width);
  bevelColor_ = color;
  bevelActiveColor_ = hoverColor;
  rebuildFacePath();
  update();
}

void SkinButton::setGlass(bool on) {
  glass_ = on;
  update();
}

void SkinButton::setSpacing(int horizontal, int vertical) {
  horizontalSpacing_ = std::max(0, horizontal);
  verticalSpacing_ = std::max(0, vertical);
  update();
}

void SkinButton::setFontRatio(int percent) {
  fontRatio_ = std::max(0, percent);
  rebuildDrawFont();
  update();
}

void SkinButton::setCaptionFont(const QFont& font) {
  captionFont_ = font;
  resolveFont();
  update();
}

void SkinButton::setScale(float scale) {
  if (scale <= 0 || scale == scale_) return;
  scale_ = scale;
  rebuildFacePath();
  update();
}

void SkinButton::resolveFont() {
  // Checked once per font: the family lookup is not cheap.
  resolvedFamily_ = FamilyInstalled(captionFont_.family()) ? captionFont_.family() : QStringLiteral("Arial");
  rebuildDrawFont();
}

int SkinButton::captionPixelSize() const {
  // Whole points of the height, set as if the screen were 96 dpi: in pixels
  // that is points × 96 / 72, so the caption grows with the scaled height.
  const int points = height() * fontRatio_ / 100;
  return std::max(1, int(std::lround(points * 96.0 / 72.0)));
}

void SkinButton::rebuildDrawFont() {
  drawFont_ = QFont(resolvedFamily_);
  drawFont_.setBold(captionFont_.bold());
  drawFont_.setWeight(captionFont_.weight());
  drawFont_.setItalic(captionFont_.italic());
  drawFont_.setUnderline(captionFont_.underline());
  drawFont_.setPixelSize(captionPixelSize());
  drawFont_.setStyleStrategy(QFont::PreferAntialias);
}

void SkinButton::rebuildFacePath() {
  const double inset = bevelWidth_ * scale_;
  faceRect_ = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
  facePath_ = QPainterPath();
  if (faceRect_.width() <= 0 || faceRect_.height() <= 0) return;
  const double d = std::min({std::nearbyint(faceRect_.height() * cornerRadius_ / 100.0), faceRect_.height(),
                             faceRect_.width()});
  const QRectF r = faceRect_;
  auto arc = [&](Corner c) { return (corners_ & c) && d > 0; };
  // Clockwise from the top-left corner; each rounded corner is a quarter arc
  // of diameter d.
  if (arc(Corner::TopLeft)) {
    facePath_.moveTo(r.left(), r.top() + d / 2);
    facePath_.arcTo(QRectF(r.left(), r.top(), d, d), 180, -90);
  } else {
    facePath_.moveTo(r.topLeft());
  }
  if (arc(Corner::TopRight)) {
    facePath_.arcTo(QRectF(r.right() - d, r.top(), d, d), 90, -90);
  } else {
    facePath_.lineTo(r.topRight());
  }
  if (arc(Corner::BottomRight)) {
    facePath_.arcTo(QRectF(r.right() - d, r.bottom() - d, d, d), 0, -90);
  } else {
    facePath_.lineTo(r.bottomRight());
  }
  if (arc(Corner::BottomLeft)) {
    facePath_.arcTo(QRectF(r.left(), r.bottom() - d, d, d), 270, -90);
  } else {
    facePath_.lineTo(r.bottomLeft());
  }
  facePath_.closeSubpath();
}

// ---- state ----

void SkinButton::setDown(bool down) {
  if (down == down_) return;
  down_ = down;
  update();
}

void SkinButton::setHovered(bool hovered) {
  if (hovered == hovered_) return;
  hovered_ = hovered;
  update();
}

void SkinButton::emitClick() {
  if (modalResult_ != 0) {
    if (auto* dialog = qobject_cast<QDialog*>(window())) dialog->done(modalResult_);
  }
  emit clicked();
}

void SkinButton::click() {
  if (!isEnabled()) return;
  setDown(true);
  emit pressed();
  setDown(false);
  emit released();
  emitClick();
}

bool SkinButton::event(QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride) {
    // With the ring showing, Space and Enter are this button's, not the
    // window's shortcuts.
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (focusRingVisible() && (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter)) {
      event->accept();
      return true;
    }
  }
  if (event->type() == QEvent::Shortcut) {
    auto* shortcut = static_cast<QShortcutEvent*>(event);
    if (shortcut->shortcutId() == shortcutId_ && isEnabled() && isVisible() && focusPolicy() != Qt::NoFocus) {
      setFocus(Qt::ShortcutFocusReason);
      click();
      return true;
    }
  }
  return QWidget::event(event);
}

void SkinButton::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) {
    if (!isEnabled()) down_ = false;
    update();
  } else if (event->type() == QEvent::FontChange) {
    update();
  }
}

void SkinButton::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  rebuildFacePath();
  rebuildDrawFont();
}

// ---- input ----

void SkinButton::enterEvent(QEnterEvent* event) {
  QWidget::enterEvent(event);
  setHovered(true);
}

void SkinButton::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  // Leaving lets a pressed button go: a release outside is no click.
  setDown(false);
  setHovered(false);
}

void SkinButton::mousePressEvent(QMouseEvent* event) {
  if (!isEnabled()) return;
  if (focusPolicy() & Qt::ClickFocus && isVisible()) setFocus(Qt::MouseFocusReason);
  setDown(true);
  emit pressed();
  event->accept();
}

void SkinButton::mouseMoveEvent(QMouseEvent* event) {
  // While the mouse is grabbed the leave may come late or not at all;
  // the pointer's own position decides.
  const bool inside = rect().contains(event->position().toPoint());
  if (!inside && (down_ || hovered_)) {
    setDown(false);
    setHovered(false);
  } else if (inside && !hovered_) {
    setHovered(true);
  }
}

void SkinButton::mouseReleaseEvent(QMouseEvent* event) {
  const bool wasDown = down_;
  setDown(false);
  if (wasDown) {
    emit released();
    emitClick();
  }
  event->accept();
}

void SkinButton::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // Keys reach only the focused button: what matters is how it got there.
      if (keyboardFocus_) {
        if (!event->isAutoRepeat()) click();
        event->accept();
        return;
      }
      [[fallthrough]];
    default:
      QWidget::keyPressEvent(event);
  }
}

void SkinButton::setLit(bool on) {
  if (on == lit_) return;
  lit_ = on;
  update();
}

void SkinButton::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  keyboardFocus_ = keyboard_focus::CameFromKeyboard(*this, *event, keyboardFocus_);
  update();
}

void SkinButton::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  keyboard_focus::NoteFocusOut(*this);
  update();
}

// ---- painting ----

void SkinButton::paintEvent(QPaintEvent*) {
  if (facePath_.isEmpty()) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const bool enabled = isEnabled();
  const QRectF r = faceRect_;

  // The face: the gradient (the hover pair under the pointer), plain when disabled.
  if (!enabled) {
    p.fillPath(facePath_, disabledColor_);
  } else {
    QLinearGradient face(r.topLeft(), r.bottomLeft());
    QColor top = hovered_ ? startHoverColor_ : startColor_;
    QColor bottom = hovered_ ? endHoverColor_ : endColor_;
    if (down_) {
      // Pressed: the light falls from below, as on a key pushed into its panel.
      std::swap(top, bottom);
      top = top.darker(112);
    }
    face.setColorAt(0, top);
    face.setColorAt(1, bottom);
    p.fillPath(facePath_, face);
    if (hovered_ && !down_) p.fillPath(facePath_, QColor(255, 255, 255, 22));
    if (lit_) {
      QRadialGradient glow(r.center(), std::max(r.width(), r.height()) * 0.6);
      glow.setColorAt(0, QColor(0x51, 0xB5, 0xFC, 120));
      glow.setColorAt(1, QColor(0x51, 0xB5, 0xFC, 36));
      p.fillPath(facePath_, glow);
    }
  }

  p.save();
  p.setClipPath(facePath_);
  if (enabled && down_) {
    // Inset: a shadow along the upper inner edge.
    QLinearGradient inset(r.topLeft(), QPointF(r.left(), r.top() + std::max(3.0, r.height() * 0.3)));
    inset.setColorAt(0, QColor(0, 0, 0, 110));
    inset.setColorAt(1, QColor(0, 0, 0, 0));
    p.fillRect(r, inset);
  } else if (enabled) {
    // A thin highlight just inside the top edge.
    QLinearGradient lip(r.topLeft(), QPointF(r.left(), r.top() + 2.0 * scale_));
    lip.setColorAt(0, QColor(255, 255, 255, 70));
    lip.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(r, lip);
  }
  if (glass_) {
    QLinearGradient glass(r.topLeft(), r.bottomLeft());
    glass.setColorAt(0, QColor(255, 255, 255, 0));
    glass.setColorAt(0.46, QColor(255, 255, 255, 150));
    glass.setColorAt(0.52, QColor(255, 255, 255, 0));
    glass.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(r, glass);
  }
  p.restore();

  if (bevel_ && bevelWidth_ > 0) {
    p.setPen(QPen(hovered_ && enabled ? bevelActiveColor_ : bevelColor_, bevelWidth_ * scale_));
    p.setBrush(Qt::NoBrush);
    p.drawPath(facePath_);
  }

  if (focusRingVisible()) {
    const double width = std::max(1.0, 2.0 * double(scale_));
    p.setPen(QPen(focusRingColor_, width));
    p.setBrush(Qt::NoBrush);
    p.drawPath(facePath_);
  }

  if (caption_.isEmpty()) return;
  QRectF text = r.adjusted(horizontalSpacing_ * scale_, verticalSpacing_ * scale_, -horizontalSpacing_ * scale_,
                           -verticalSpacing_ * scale_);
  if (down_) text.translate(0, std::max(1.0, std::nearbyint(double(scale_))));
  p.setFont(drawFont_);
  p.setPen(!enabled ? disabledFontColor_ : lit_ ? QColor(0xD8, 0xF0, 0xFF) : hovered_ ? fontHoverColor_ : fontColor_);
  p.drawText(text, Qt::AlignCenter | Qt::TextShowMnemonic | Qt::TextDontClip, caption_);
}
