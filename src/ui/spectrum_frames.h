// The LED spectrum display's pictures and its frame-by-frame animation, kept
// apart from the widget so that every frame can be checked pixel by pixel.
//
// The display is a grid of 37 columns by 36 rows of cells. Four images of the
// display's size are kept: the lit look (segments in the lit colours), the
// unlit look (segments in the background colours), the afterglow that each
// frame starts from, and the frame being composed. A frame copies strips of
// the lit look over the afterglow, then fades itself into the unlit look to
// become the next afterglow. Nothing is allocated per frame.
#pragma once

#include <QImage>
#include <QRgb>
#include <QSize>

#include <array>
#include <cstdint>
#include <span>

inline constexpr int kSpectrumColumns = 37;
inline constexpr int kSpectrumRows = 36;
// The analyser's row: bins 0 .. 511 of a 1024-point transform.
inline constexpr int kSpectrumBins = 512;

// First bin of each band; band i takes bins kSpectrumBandEdges[i] up to
// kSpectrumBandEdges[i + 1] - 1. Bin 0 (DC) is never shown. The table has a
// 38th band (bins 460 .. 511) that would fall right of the 37th column: it is
// left undrawn, as the display is 37 columns wide.
inline constexpr std::array<std::uint16_t, 39> kSpectrumBandEdges = {
    1,   4,   9,   13,  18,  25,  30,  40,  50,  60,  70,  80,  85,  90,  100, 105, 110, 115, 120, 130,
    140, 150, 160, 180, 200, 210, 230, 250, 260, 270, 280, 290, 300, 340, 360, 400, 430, 460, 512};

struct SpectrumColors {
  QRgb litTop;
  QRgb litBottom;
  QRgb backTop;
  QRgb backBottom;
  QRgb grid;
};

// The recessed blue LED look: white segments over a blue grid.
inline constexpr SpectrumColors kLedColors = {
    qRgb(255, 255, 255), qRgb(255, 255, 255), qRgb(29, 134, 208), qRgb(29, 134, 208), qRgb(39, 155, 237)};

// Cell size for a box: its width over 37 and its height over 36, each rounded
// to the nearest pixel (ties to even), at least one pixel.
QSize SpectrumCellSize(QSize box);

// The loudest bin of a band (never below 0); bins past the end of the row
// count as 0.
int SpectrumBandLevel(std::span<const std::int32_t> bins, int band);

// A deterministic moving picture for screenshots and demos while no analyser
// runs: a slow wave across the bands with a beat on the low ones every 16
// frames. Values are in 0 .. maxLevel, the same scale the analyser uses.
std::array<std::int32_t, kSpectrumBins> TestPatternSpectrum(int frame, int maxLevel);

class SpectrumFrames {
 public:
  SpectrumFrames() = default;

  // Allocates the four images for 36 rows of cells of this height and 37
  // columns over `width` pixels (0: 37 cells of this width), and returns to
  // rest: levels at 0, the afterglow and the frame the bare grid. Columns
  // whose widths do not divide evenly differ by a pixel, so the grid fills a
  // width that is not a whole number of cells. An empty cell size releases
  // them. devicePixelRatio only tags the images.
  void resize(QSize cell, qreal devicePixelRatio = 1.0, int width = 0);
  // Repaints the lit and unlit looks and returns to rest.
  void setColors(const SpectrumColors& colors);
  // Levels back to 0 and the afterglow to the bare grid; the frame shows it.
  void clear();

  // Composes one frame from the analyser's row (levels in pixels, 0 up to the
  // display's height). Returns whether the frame differs from the last one.
  bool step(std::span<const std::int32_t> bins);

  // The nominal cell: each column is this wide or a pixel wider or narrower.
  QSize cellSize() const { return cell_; }
  // A column's left edge (its separator's first pixel); column 37 is the
  // right edge of the grid.
  int columnLeft(int column) const { return columnLeft_[size_t(column)]; }
  QSize size() const { return frame_.size(); }
  const SpectrumColors& colors() const { return colors_; }

  const QImage& frame() const { return frame_; }
  const QImage& trail() const { return trail_; }
  const QImage& lit() const { return lit_; }
  const QImage& grid() const { return grid_; }

  // Per column, in pixels: the bar's height, its peak mark's height, and the
  // frames the peak has been held (in steps of 0.3).
  float barLevel(int column) const { return barLevel_[column]; }
  float peakLevel(int column) const { return peakLevel_[column]; }
  float peakHold(int column) const { return peakHold_[column]; }

 private:
  void paintLooks();
  void fadeIntoTrail();

  SpectrumColors colors_ = kLedColors;
  QSize cell_;
  std::array<int, kSpectrumColumns + 1> columnLeft_{};
  QImage frame_;
  QImage trail_;
  QImage lit_;
  QImage grid_;
  std::array<float, kSpectrumColumns> barLevel_{};
  std::array<float, kSpectrumColumns> peakLevel_{};
  std::array<float, kSpectrumColumns> peakHold_{};
  // What the last frame drew, to tell whether the next one looks the same:
  // each column's bar top and peak row (-1 for none), and whether the last
  // fade changed the afterglow.
  std::array<int, kSpectrumColumns> barTop_{};
  std::array<int, kSpectrumColumns> peakRow_{};
  bool trailMoved_ = true;
};
