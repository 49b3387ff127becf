#include "ui/spectrum_display.h"

#include <QPainter>
#include <QResizeEvent>

#include <cmath>

#include "ui/ui_scale.h"

SpectrumDisplay::SpectrumDisplay(QWidget* parent) : QWidget(parent) {
  // The frame covers the display: nothing behind it needs painting first.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

QRect SpectrumDisplay::boundsAtScale(float scale) {
  const QRect scaled = ScaledRect(kDesignedBounds, scale);
  const QSize cell = SpectrumCellSize(scaled.size());
  // As wide as the grid drawn at 1.0, scaled (columns differ by a pixel where
  // that is not whole cells); as high as whole rows.
  const int designedWidth = SpectrumCellSize(kDesignedBounds.size()).width() * kSpectrumColumns;
  const int width = int(std::nearbyint(float(designedWidth) * scale));
  return QRect(scaled.topLeft(), QSize(width, cell.height() * kSpectrumRows));
}

QSize SpectrumDisplay::sizeHint() const { return boundsAtScale(1.0f).size(); }

void SpectrumDisplay::showSpectrum(std::span<const std::int32_t> bins) {
  if (frames_.step(bins)) update();
}

void SpectrumDisplay::clear() {
  frames_.clear();
  update();
}

void SpectrumDisplay::setColors(const SpectrumColors& colors) {
  frames_.setColors(colors);
  update();
}

void SpectrumDisplay::resizeEvent(QResizeEvent* event) {
  // Cells are sized in device pixels, so segments stay sharp whatever the
  // device pixel ratio; with the skin doing the scaling that ratio is 1.
  const qreal ratio = devicePixelRatioF();
  const QSize pixels(int(std::lround(event->size().width() * ratio)), int(std::lround(event->size().height() * ratio)));
  frames_.resize(pixels.isEmpty() ? QSize() : SpectrumCellSize(pixels), ratio, pixels.width());
  QWidget::resizeEvent(event);
}

void SpectrumDisplay::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QImage& frame = frames_.frame();
  if (frame.isNull()) return;
  // Around a frame a little smaller than the widget (a size not snapped to
  // whole cells) the separators' colour carries on.
  const QRect image(QPoint(0, 0), frame.deviceIndependentSize().toSize());
  if (!image.contains(event->rect())) painter.fillRect(event->rect(), QColor::fromRgb(frames_.colors().grid));
  painter.drawImage(QPoint(0, 0), frame);
}
