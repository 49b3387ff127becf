#include "ui/spectrum_display.h"

#include <gtest/gtest.h>

#include <QImage>

#include <array>
#include <cstdlib>
#include <cstdint>
#include <vector>

#include "widget_app.h"

namespace {

using Bins = std::array<std::int32_t, kSpectrumBins>;

constexpr QRgb kWhite = qRgb(255, 255, 255);
constexpr QRgb kBack = qRgb(29, 134, 208);
constexpr QRgb kGridLine = qRgb(39, 155, 237);

Bins Flat(int level) {
  Bins bins{};
  bins.fill(level);
  return bins;
}

// Cells of 7 x 2: the 96 dpi display, 259 x 72.
SpectrumFrames Display96() {
  SpectrumFrames frames;
  frames.resize(QSize(7, 2));
  return frames;
}

// Rows of a column where the frame shows a lit segment (exactly white:
// afterglow is never white), top to bottom.
std::vector<int> LitRows(const QImage& frame, int column, int cellWidth) {
  std::vector<int> rows;
  for (int y = 0; y < frame.height(); ++y)
    if (frame.pixel(column * cellWidth + 2, y) == kWhite) rows.push_back(y);
  return rows;
}

// What a column should show: the segment rows of a bar `barLevel` pixels
// above one row, and a peak mark `peakLevel` pixels up (-1: none).
std::vector<int> ExpectedLitRows(int height, int cellHeight, int barLevel, int peakLevel) {
  std::vector<int> rows;
  const int peakRow = peakLevel < 0 ? -1 : height - peakLevel - cellHeight;
  const int barTop = height - barLevel - cellHeight;
  for (int y = 0; y < height; ++y) {
    const bool segment = (y + 1) % cellHeight != 0;
    if (segment && (y >= barTop || y == peakRow)) rows.push_back(y);
  }
  return rows;
}

TEST(SpectrumDisplay, FillsTheScaledWidthWithWholeRowsAtEachScale) {
  pwtest::EnsureWidgetApp();
  const struct {
    float scale;
    QRect bounds;
    QSize cell;
  } cases[] = {
      {1.0f, QRect(20, 40, 259, 72), QSize(7, 2)},    {1.25f, QRect(25, 50, 324, 108), QSize(9, 3)},
      {1.5f, QRect(30, 60, 388, 108), QSize(10, 3)},  {1.75f, QRect(35, 70, 453, 144), QSize(12, 4)},
      {2.0f, QRect(40, 80, 518, 144), QSize(14, 4)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SpectrumDisplay::boundsAtScale(c.scale), c.bounds) << c.scale;
    SpectrumDisplay display;
    display.setGeometry(SpectrumDisplay::boundsAtScale(c.scale));
    display.show();
    EXPECT_EQ(display.cellSize(), c.cell) << c.scale;
    EXPECT_EQ(display.frames().frame().size(), c.bounds.size()) << c.scale;
    EXPECT_EQ(display.levelRange(), c.bounds.height()) << c.scale;
    // Every column a segment and its separator, the last one reaching the
    // right edge; columns differ by a pixel at most.
    const SpectrumFrames& frames = display.frames();
    EXPECT_EQ(frames.columnLeft(kSpectrumColumns), c.bounds.width()) << c.scale;
    for (int column = 0; column < kSpectrumColumns; ++column) {
      const int width = frames.columnLeft(column + 1) - frames.columnLeft(column);
      EXPECT_LE(std::abs(width - c.cell.width()), 1) << c.scale << " column " << column;
    }
    display.showSpectrum(Flat(0));
    const int bottom = c.bounds.height() - 2;
    EXPECT_EQ(frames.frame().pixel(c.bounds.width() - 1, bottom), kWhite) << c.scale;
    EXPECT_EQ(frames.frame().pixel(frames.columnLeft(36) + 1, bottom), kGridLine) << c.scale;
    EXPECT_EQ(frames.frame().pixel(frames.columnLeft(36) + 2, bottom), kWhite) << c.scale;
  }
}

TEST(SpectrumDisplay, PaintsTheFrameAtItsOwnPixelSize) {
  pwtest::EnsureWidgetApp();
  SpectrumDisplay display;
  display.setGeometry(SpectrumDisplay::boundsAtScale(1.25f));
  display.show();
  for (int frame = 0; frame < 20; ++frame) display.showSpectrum(TestPatternSpectrum(frame, display.levelRange()));
  const QImage shown = display.grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(shown, display.frames().frame());
}

TEST(SpectrumFrames, LooksAndGridInTheirColours) {
  SpectrumFrames frames;
  frames.resize(QSize(9, 3));  // 1.25: 333 x 108
  const QImage& grid = frames.grid();
  const QImage& lit = frames.lit();
  ASSERT_EQ(grid.size(), QSize(333, 108));
  const struct {
    int x, y;
    QRgb unlit, lit;
  } pixels[] = {
      {0, 0, kGridLine, kGridLine},   {1, 0, kGridLine, kGridLine},  // separator left of column 0
      {2, 0, kBack, kWhite},          {8, 1, kBack, kWhite},         // column 0's top segment
      {9, 0, kGridLine, kGridLine},   {10, 1, kGridLine, kGridLine}, // separator of column 1
      {2, 2, kGridLine, kGridLine},   {5, 107, kGridLine, kGridLine}, // line under a row, bottom line
      {326, 105, kBack, kWhite},      {332, 106, kBack, kWhite},     // column 36, bottom segment
      {324, 50, kGridLine, kGridLine}, {325, 50, kGridLine, kGridLine},
  };
  for (const auto& p : pixels) {
    EXPECT_EQ(grid.pixel(p.x, p.y), p.unlit) << p.x << "," << p.y;
    EXPECT_EQ(lit.pixel(p.x, p.y), p.lit) << p.x << "," << p.y;
  }
}

TEST(SpectrumFrames, GradientsRunFromTopToBottomColour) {
  SpectrumFrames frames = Display96();
  frames.setColors({qRgb(0, 0, 0), qRgb(71, 142, 213), qRgb(10, 20, 30), qRgb(81, 162, 243), kGridLine});
  // 72 rows: row y is y/71 of the way down.
  for (int y : {0, 34, 70}) {
    EXPECT_EQ(frames.lit().pixel(2, y), qRgb(y, 2 * y, 3 * y)) << y;
    EXPECT_EQ(frames.grid().pixel(2, y), qRgb(10 + y, 20 + 2 * y, 30 + 3 * y)) << y;
  }
  EXPECT_EQ(frames.lit().pixel(2, 71), kGridLine);
  EXPECT_EQ(frames.trail(), frames.grid());  // new colours start from the bare grid
}

TEST(SpectrumFrames, SilenceShowsOneRowPerColumnAtEveryScale) {
  for (QSize cell : {QSize(7, 2), QSize(9, 3), QSize(10, 3), QSize(12, 4), QSize(14, 4)}) {
    SpectrumFrames frames;
    frames.resize(cell);
    const int h = frames.size().height();
    EXPECT_TRUE(frames.step(Flat(0)));
    const QImage& frame = frames.frame();
    for (int column = 0; column < kSpectrumColumns; ++column) {
      EXPECT_EQ(LitRows(frame, column, cell.width()), ExpectedLitRows(h, cell.height(), 0, -1))
          << cell.width() << "x" << cell.height() << " column " << column;
      // The whole segment, up to the right edge for the last column.
      EXPECT_EQ(frame.pixel(column * cell.width() + cell.width() - 1, h - 2), kWhite) << column;
      EXPECT_EQ(frame.pixel(column * cell.width() + 2, h - cell.height() - 2), kBack) << column;
    }
  }
}

TEST(SpectrumFrames, LevelsAreLimitedAndRoundedDownToRows) {
  SpectrumFrames full = Display96();
  full.step(Flat(200));  // limited to 70: the bar fills the whole height
  EXPECT_EQ(LitRows(full.frame(), 0, 7), ExpectedLitRows(72, 2, 70, -1));
  EXPECT_EQ(LitRows(full.frame(), 0, 7).front(), 0);

  SpectrumFrames odd = Display96();
  odd.step(Flat(37));  // drawn as 36: rows 34 to 71, 19 segments
  const std::vector<int> rows = LitRows(odd.frame(), 0, 7);
  EXPECT_EQ(rows.size(), 19u);
  EXPECT_EQ(rows.front(), 34);
  EXPECT_EQ(odd.frame().pixel(2, 32), kBack);
  EXPECT_EQ(odd.barLevel(0), 37.0f);
}

TEST(SpectrumFrames, BarsFallAndPeaksHoldTwentySixFrames) {
  // A bar at 70 whose band drops to 0: the bar falls 10 a frame, the peak
  // stays 26 frames, then falls 10 a frame until it meets the bar.
  const struct {
    int frame, bar, peak;  // peak -1: no mark
  } expected[] = {
      {0, 70, -1}, {1, 60, 70}, {2, 50, 70}, {6, 10, 70},  {7, 0, 70},   {8, 0, 70},   {26, 0, 70},
      {27, 0, 60}, {28, 0, 50}, {31, 0, 20}, {32, 0, 10}, {33, 0, -1}, {34, 0, -1},
  };
  SpectrumFrames frames = Display96();
  std::vector<std::vector<int>> shown;
  std::vector<float> peakLevels;
  for (int f = 0; f <= 34; ++f) {
    frames.step(Flat(f == 0 ? 70 : 0));
    shown.push_back(LitRows(frames.frame(), 0, 7));
    peakLevels.push_back(frames.peakLevel(0));
  }
  for (const auto& e : expected)
    EXPECT_EQ(shown[size_t(e.frame)], ExpectedLitRows(72, 2, e.bar, e.peak)) << "frame " << e.frame;
  for (int f = 1; f <= 26; ++f) EXPECT_EQ(peakLevels[size_t(f)], 70.0f) << "frame " << f;
  EXPECT_EQ(peakLevels[27], 60.0f);
  // Every column behaves alike.
  EXPECT_EQ(LitRows(frames.frame(), 36, 7), ExpectedLitRows(72, 2, 0, -1));
}

TEST(SpectrumFrames, BarsJumpUpAtOnce) {
  SpectrumFrames frames = Display96();
  frames.step(Flat(10));
  frames.step(Flat(50));
  EXPECT_EQ(LitRows(frames.frame(), 3, 7), ExpectedLitRows(72, 2, 50, -1));
  frames.step(Flat(44));  // falling only 6 of the 10 allowed: held by the band
  EXPECT_EQ(LitRows(frames.frame(), 3, 7), ExpectedLitRows(72, 2, 44, 50));
}

TEST(SpectrumFrames, APeakOnASeparatorRowTakesTheGridColour) {
  SpectrumFrames frames = Display96();
  frames.step(Flat(69));  // bar drawn at 68, peak kept at 69
  frames.step(Flat(0));   // bar 59, drawn at 58; the mark 69 up is on row 1, a separator
  const QImage& frame = frames.frame();
  EXPECT_EQ(frame.pixel(2, 1), kGridLine);
  EXPECT_EQ(frame.pixel(2, 0), kBack);
  EXPECT_EQ(LitRows(frame, 0, 7), ExpectedLitRows(72, 2, 58, -1));
}

TEST(SpectrumFrames, AfterglowFadesBy200Of255EachFrame) {
  // Row 2 of column 0 is lit in the first frame only. Its trail is
  // (200 x frame + 55 x unlit + 127) / 255 per channel, over the unlit
  // (29, 134, 208); separators blend with themselves and never change.
  const QRgb afterglow[] = {
      qRgb(255, 255, 255),  // frame 0: lit
      qRgb(206, 229, 245),  // 1: (200*255 + 55*29 + 127) / 255 = 206 ...
      qRgb(168, 209, 237),  // 2
      qRgb(138, 193, 231),  // 3
  };
  SpectrumFrames frames = Display96();
  for (int f = 0; f < 4; ++f) {
    frames.step(Flat(f == 0 ? 70 : 0));
    EXPECT_EQ(frames.frame().pixel(2, 2), afterglow[f]) << "frame " << f;
    EXPECT_EQ(frames.frame().pixel(2, 3), kGridLine) << "frame " << f;
    EXPECT_EQ(frames.trail().pixel(0, 40), kGridLine) << "frame " << f;
  }
  EXPECT_EQ(frames.trail().pixel(2, 2), qRgb(114, 180, 226));
  // Rounding to the nearest level leaves the last two levels above the unlit
  // colour: the glow settles there.
  for (int f = 4; f < 60; ++f) frames.step(Flat(0));
  EXPECT_EQ(frames.trail().pixel(2, 2), qRgb(31, 136, 210));
}

TEST(SpectrumFrames, ReportsAChangeOnlyWhenTheFrameLooksDifferent) {
  // A bar at 70 dropping to silence: falling bars, a held peak, a falling
  // peak and fading glow all change the picture; a held peak over a settled
  // glow and, at the end, the settled glow alone do not.
  SpectrumFrames frames = Display96();
  QImage previous = frames.frame().copy();
  int unchanged = 0;
  for (int f = 0; f < 100; ++f) {
    const bool changed = frames.step(Flat(f == 0 ? 70 : 0));
    EXPECT_EQ(changed, frames.frame() != previous) << "frame " << f;
    unchanged += changed ? 0 : 1;
    previous = frames.frame().copy();
  }
  EXPECT_GT(unchanged, 40);
  EXPECT_FALSE(frames.step(Flat(0)));
  EXPECT_TRUE(frames.step(Flat(20)));
}

TEST(SpectrumFrames, ClearReturnsToTheBareGrid) {
  SpectrumFrames frames = Display96();
  frames.step(Flat(70));
  frames.step(Flat(0));
  frames.clear();
  EXPECT_EQ(frames.frame(), frames.grid());
  EXPECT_EQ(frames.trail(), frames.grid());
  EXPECT_EQ(frames.barLevel(0), 0.0f);
  EXPECT_EQ(frames.peakLevel(0), 0.0f);
  EXPECT_TRUE(frames.step(Flat(0)));
  EXPECT_EQ(LitRows(frames.frame(), 0, 7), ExpectedLitRows(72, 2, 0, -1));
}

TEST(SpectrumFrames, BandsTakeTheLoudestOfTheirBins) {
  Bins bins{};
  bins[0] = 100;  // DC: never shown
  bins[1] = 5, bins[2] = 9, bins[3] = 7;
  bins[4] = 50;  // band 1
  bins[459] = 99;  // band 36
  bins[460] = 3, bins[511] = 12;  // band 37, beyond the 37 columns
  bins[300] = -4;  // band 33
  EXPECT_EQ(SpectrumBandLevel(bins, 0), 9);
  EXPECT_EQ(SpectrumBandLevel(bins, 1), 50);
  EXPECT_EQ(SpectrumBandLevel(bins, 33), 0);
  EXPECT_EQ(SpectrumBandLevel(bins, 36), 99);
  EXPECT_EQ(SpectrumBandLevel(bins, 37), 12);
  EXPECT_EQ(SpectrumBandLevel(std::span<const std::int32_t>(bins).first(300), 36), 0);

  // Band 0's level shows in column 0 only.
  SpectrumFrames frames = Display96();
  frames.step(bins);
  EXPECT_EQ(LitRows(frames.frame(), 0, 7), ExpectedLitRows(72, 2, 8, -1));
  EXPECT_EQ(LitRows(frames.frame(), 2, 7), ExpectedLitRows(72, 2, 0, -1));
}

TEST(SpectrumFrames, TestPatternMovesDeterministicallyWithinRange) {
  EXPECT_EQ(TestPatternSpectrum(5, 72), TestPatternSpectrum(5, 72));
  EXPECT_NE(TestPatternSpectrum(5, 72), TestPatternSpectrum(6, 72));
  SpectrumFrames frames = Display96();
  bool peakAboveBar = false;
  for (int f = 0; f < 64; ++f) {
    const Bins bins = TestPatternSpectrum(f, 72);
    EXPECT_EQ(bins[0], 0);
    for (std::int32_t v : bins) {
      EXPECT_GE(v, 0);
      EXPECT_LE(v, 72);
    }
    frames.step(bins);
    for (int c = 0; c < kSpectrumColumns; ++c) peakAboveBar = peakAboveBar || frames.peakLevel(c) > frames.barLevel(c);
  }
  EXPECT_TRUE(peakAboveBar);  // it shows peak marks, not just bars
}

}  // namespace
