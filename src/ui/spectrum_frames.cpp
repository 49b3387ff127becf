#include "ui/spectrum_frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Afterglow: each frame keeps 200/255 of itself over the unlit look.
constexpr int kKeep = 200;
// Bars and peak marks fall this many pixels per frame.
constexpr float kFallPerFrame = 10.0f;
// A peak's hold counter grows by this per frame and lets go past kHoldLimit,
// so a mark stays 26 frames after the bar last reached it.
constexpr float kHoldStep = 0.3f;
constexpr float kHoldLimit = 8.0f;

int RoundHalfEven(float v) { return int(std::nearbyint(v)); }  // default rounding mode: ties to even

// A vertical gradient over the whole image: the top row in `top`, the bottom
// row in `bottom`, each channel rounded to the nearest level.
void FillGradient(QImage& image, QRgb top, QRgb bottom) {
  const int h = image.height();
  const int span = std::max(1, h - 1);
  for (int y = 0; y < h; ++y) {
    const int below = std::min(y, span);
    auto mix = [&](int a, int b) { return (a * (span - below) + b * below + span / 2) / span; };
    const QRgb c = qRgb(mix(qRed(top), qRed(bottom)), mix(qGreen(top), qGreen(bottom)), mix(qBlue(top), qBlue(bottom)));
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    std::fill(row, row + image.width(), c);
  }
}

// The cell separators: a one-pixel line under every row and a two-pixel line
// left of every column, so a segment is (cell width - 2) x (cell height - 1).
void DrawGrid(QImage& image, QSize cell, std::span<const int> columnLeft, QRgb color) {
  const int w = image.width();
  const int h = image.height();
  for (int r = 1; r <= kSpectrumRows; ++r) {
    const int y = r * cell.height() - 1;
    if (y < 0 || y >= h) continue;
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    std::fill(row, row + w, color);
  }
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (const int left : columnLeft) {
      for (int x = left; x < left + 2 && x < w; ++x) row[x] = color;
    }
  }
}

// Copies the strip of pixels x .. x + width - 1, rows y .. y + rows - 1,
// from `from` to the same place in `to`, clipped to the image.
void CopyStrip(const QImage& from, QImage& to, int x, int width, int y, int rows) {
  width = std::min(width, to.width() - x);
  if (width <= 0) return;
  const int end = std::min(y + rows, to.height());
  for (int r = std::max(y, 0); r < end; ++r) {
    const auto* src = reinterpret_cast<const QRgb*>(from.constScanLine(r)) + x;
    auto* dst = reinterpret_cast<QRgb*>(to.scanLine(r)) + x;
    std::memcpy(dst, src, size_t(width) * sizeof(QRgb));
  }
}

void CopyWhole(const QImage& from, QImage& to) {
  std::memcpy(to.bits(), from.constBits(), size_t(from.sizeInBytes()));
}

}  // namespace

QSize SpectrumCellSize(QSize box) {
  const int w = RoundHalfEven(float(box.width()) / float(kSpectrumColumns));
  const int h = RoundHalfEven(float(box.height()) / float(kSpectrumRows));
  return QSize(std::max(1, w), std::max(1, h));
}

int SpectrumBandLevel(std::span<const std::int32_t> bins, int band) {
  if (band < 0 || band + 1 >= int(kSpectrumBandEdges.size())) return 0;
  const size_t first = kSpectrumBandEdges[size_t(band)];
  const size_t end = std::min<size_t>(kSpectrumBandEdges[size_t(band) + 1], bins.size());
  int level = 0;
  for (size_t k = first; k < end; ++k) level = std::max(level, int(bins[k]));
  return level;
}

std::array<std::int32_t, kSpectrumBins> TestPatternSpectrum(int frame, int maxLevel) {
  constexpr double kTwoPi = 6.283185307179586;
  constexpr int kBeatFrames = 16;
  std::array<std::int32_t, kSpectrumBins> bins{};
  const int sinceBeat = ((frame % kBeatFrames) + kBeatFrames) % kBeatFrames;
  for (int band = 0; band < kSpectrumColumns; ++band) {
    const double across = double(band) / double(kSpectrumColumns - 1);
    const double wave = 0.5 + 0.5 * std::sin(kTwoPi * (1.5 * across - double(frame) / 90.0));
    const double tilt = 1.0 - 0.45 * across;  // music is louder low down
    const double beat = band < 8 ? std::exp(-sinceBeat / 3.0) * (1.0 - band / 8.0) : 0.0;
    const double share = std::min(1.0, 0.12 + 0.6 * wave * tilt + 0.5 * beat);
    const auto level = std::int32_t(std::lround(share * maxLevel));
    for (int k = kSpectrumBandEdges[size_t(band)]; k < kSpectrumBandEdges[size_t(band) + 1]; ++k) bins[size_t(k)] = level;
  }
  return bins;
}

void SpectrumFrames::resize(QSize cell, qreal devicePixelRatio, int width) {
  if (cell.isEmpty()) {
    cell_ = QSize();
    frame_ = trail_ = lit_ = grid_ = QImage();
    return;
  }
  cell_ = cell;
  if (width <= 0) width = cell.width() * kSpectrumColumns;
  // Each column at least wide enough for its separator and one pixel of segment.
  width = std::max(width, 3 * kSpectrumColumns);
  for (int c = 0; c <= kSpectrumColumns; ++c)
    columnLeft_[size_t(c)] = RoundHalfEven(float(double(c) * width / kSpectrumColumns));
  const QSize size(width, cell.height() * kSpectrumRows);
  for (QImage* image : {&frame_, &trail_, &lit_, &grid_}) {
    *image = QImage(size, QImage::Format_RGB32);
    image->setDevicePixelRatio(devicePixelRatio);
  }
  paintLooks();
  clear();
}

void SpectrumFrames::setColors(const SpectrumColors& colors) {
  colors_ = colors;
  if (lit_.isNull()) return;
  paintLooks();
  clear();
}

void SpectrumFrames::paintLooks() {
  FillGradient(lit_, colors_.litTop, colors_.litBottom);
  DrawGrid(lit_, cell_, columnLeft_, colors_.grid);
  FillGradient(grid_, colors_.backTop, colors_.backBottom);
  DrawGrid(grid_, cell_, columnLeft_, colors_.grid);
}

void SpectrumFrames::clear() {
  barLevel_.fill(0.0f);
  peakLevel_.fill(0.0f);
  peakHold_.fill(0.0f);
  barTop_.fill(-1);
  peakRow_.fill(-1);
  trailMoved_ = true;
  if (grid_.isNull()) return;
  CopyWhole(grid_, trail_);
  CopyWhole(grid_, frame_);
}

bool SpectrumFrames::step(std::span<const std::int32_t> bins) {
  if (frame_.isNull()) return false;
  const int h = frame_.height();
  const int ch = cell_.height();
  const int top = h - ch;  // the highest a bar's level goes: its top row at y 0

  CopyWhole(trail_, frame_);
  bool looksDifferent = trailMoved_;
  for (int col = 0; col < kSpectrumColumns; ++col) {
    int level = std::min(SpectrumBandLevel(bins, col), top);
    barLevel_[col] -= kFallPerFrame;
    if (float(level) > barLevel_[col])
      barLevel_[col] = float(level);
    else
      level = RoundHalfEven(barLevel_[col]);
    level -= level % ch;  // whole rows only

    // The bar: from its top row down to the bottom, always at least one row.
    const int x = columnLeft_[size_t(col)] + 2;
    const int segmentWidth = columnLeft_[size_t(col) + 1] - x;
    const int barTop = h - level - ch;
    CopyStrip(lit_, frame_, x, segmentWidth, barTop, h - barTop);

    peakHold_[col] += kHoldStep;
    if (peakHold_[col] > kHoldLimit) peakLevel_[col] -= kFallPerFrame;
    const int peak = std::clamp(RoundHalfEven(peakLevel_[col]), 0, top);
    int peakRow = -1;
    if (barLevel_[col] >= peakLevel_[col]) {
      peakLevel_[col] = barLevel_[col];
      peakHold_[col] = 0.0f;
    } else {
      // Not snapped to rows: a mark on a separator row takes the grid colour.
      peakRow = h - peak - ch;
      CopyStrip(lit_, frame_, x, segmentWidth, peakRow, 1);
    }

    looksDifferent = looksDifferent || barTop != barTop_[col] || peakRow != peakRow_[col];
    barTop_[col] = barTop;
    peakRow_[col] = peakRow;
  }
  fadeIntoTrail();
  return looksDifferent;
}

// Next afterglow := 200/255 of this frame + 55/255 of the unlit look, per
// channel, rounded to the nearest level.
void SpectrumFrames::fadeIntoTrail() {
  constexpr int kLet = 255 - kKeep;
  auto mix = [](int f, int g) { return (kKeep * f + kLet * g + 127) / 255; };
  bool moved = false;
  const qsizetype pixels = qsizetype(frame_.width()) * frame_.height();
  const auto* frame = reinterpret_cast<const QRgb*>(frame_.constBits());
  const auto* grid = reinterpret_cast<const QRgb*>(grid_.constBits());
  auto* trail = reinterpret_cast<QRgb*>(trail_.bits());
  for (qsizetype i = 0; i < pixels; ++i) {
    const QRgb f = frame[i];
    const QRgb g = grid[i];
    const QRgb t = qRgb(mix(qRed(f), qRed(g)), mix(qGreen(f), qGreen(g)), mix(qBlue(f), qBlue(g)));
    moved = moved || t != trail[i];
    trail[i] = t;
  }
  trailMoved_ = moved;
}
