// The LED spectrum display of the main window: 37 columns of 36 segments,
// white over a blue grid, with falling bars, peak marks that hold and fall,
// and an afterglow. The window feeds it one analyser row per 25 ms tick.
#pragma once

#include <QRect>
#include <QWidget>

#include <cstdint>
#include <span>

#include "ui/spectrum_frames.h"

class SpectrumDisplay : public QWidget {
  Q_OBJECT

 public:
  // Designed place in the window at 96 dpi, before snapping to whole cells.
  static constexpr QRect kDesignedBounds{20, 40, 257, 73};

  explicit SpectrumDisplay(QWidget* parent = nullptr);

  // The display's bounds in the window at a skin scale: the designed place
  // scaled, its height snapped to whole rows and its width that of the grid
  // at 1.0 scaled, filled by columns a pixel wider or narrower where need be
  // (259 x 72 with cells of 7 x 2 at 1.0, 388 x 108 with cells of about
  // 10 x 3 at 1.5).
  static QRect boundsAtScale(float scale);

  // One frame from the analyser's row 0 (bin k at index k, levels in pixels
  // from 0 up to levelRange()). Repaints only when the frame looks different.
  void showSpectrum(std::span<const std::int32_t> bins);
  // Back to rest: no bars, no peaks, no afterglow.
  void clear();
  // The colours; the blue LED look until changed.
  void setColors(const SpectrumColors& colors);

  // The height in pixels that a full-scale level reaches (the analyser's
  // upper limit), and the cell size, as snapped at the last resize.
  int levelRange() const { return frames_.size().height(); }
  QSize cellSize() const { return frames_.cellSize(); }
  const SpectrumFrames& frames() const { return frames_; }

  QSize sizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  SpectrumFrames frames_;
};
