#include "ui/slider_mapping.h"

#include <gtest/gtest.h>

#include <QLocale>

#include <cmath>
#include <string>
#include <vector>

namespace {

using namespace pw;

// Labels depend on the default locale; every test here sets it and puts the
// previous one back.
class Parameters : public ::testing::Test {
 protected:
  void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
  void TearDown() override { QLocale::setDefault(saved_); }

 private:
  QLocale saved_;
};

TEST_F(Parameters, SpeedWorkedValues) {
  struct Row {
    double x;
    const char* label;
    double percent;
  };
  const std::vector<Row> rows = {
      {0, "0.0 %", 0.0},           {250, "+25.0 %", 25.0},   {-250, "-12.5 %", -12.5},
      {1000, "+100.0 %", 100.0},   {-1000, "-50.0 %", -50.0},
      // Dragged between steps: the value is exact, the label rounds.
      {123.4, "+12.3 %", 12.34},   {0.4, "0.0 %", 0.04},     {-0.4, "0.0 %", -0.02},
      // Halves to even.
      {2.5, "+0.2 %", 0.25},       {3.5, "+0.4 %", 0.35},    {-2.5, "-0.1 %", -0.125},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.x);
    const double v = SpeedPercentAt(r.x);
    EXPECT_DOUBLE_EQ(v, r.percent);
    EXPECT_EQ(SpeedLabel(v), r.label);
  }
}

TEST_F(Parameters, TempoWorkedValues) {
  struct Row {
    double p;
    const char* label;
  };
  const std::vector<Row> rows = {
      {0, "0.0 %"},       {100, "+5.9 %"},   {-100, "-5.6 %"},    {600, "+41.4 %"},  {-600, "-29.3 %"},
      {1200, "+100.0 %"}, {-1200, "-50.0 %"}, {123.4, "+7.4 %"},  {150.5, "+9.1 %"}, {0.5, "0.0 %"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.p);
    const double v = TempoPercentAt(r.p);
    EXPECT_EQ(TempoLabel(v), r.label);
    EXPECT_NEAR(v, 100.0 * std::exp2(r.p / 1200.0) - 100.0, 1e-12);
    // What the stage is asked for: output duration over source duration.
    EXPECT_NEAR(DurationRatio(0, v), std::exp2(-r.p / 1200.0), 1e-12);
  }
  // The ends are exact.
  EXPECT_EQ(TempoPercentAt(1200), 100.0);
  EXPECT_EQ(TempoPercentAt(-1200), -50.0);
}

TEST_F(Parameters, PitchAndToneWorkedValues) {
  struct Row {
    double (*valueAt)(double);
    std::string (*label)(double);
    double position;
    double value;
    const char* text;
  };
  const std::vector<Row> rows = {
      {PitchSemitonesAt, PitchLabel, 0, 0.0, "0.0 st"},      {PitchSemitonesAt, PitchLabel, 5, 0.5, "+0.5 st"},
      {PitchSemitonesAt, PitchLabel, -120, -12, "-12.0 st"}, {PitchSemitonesAt, PitchLabel, -7, -0.7, "-0.7 st"},
      {PitchSemitonesAt, PitchLabel, 2.5, 0.25, "+0.2 st"},  {PitchSemitonesAt, PitchLabel, -0.4, -0.04, "0.0 st"},
      {TreblePercentAt, ToneLabel, 4, 0.2, "+0.2 %"},        {TreblePercentAt, ToneLabel, 1000, 50, "+50.0 %"},
      {TreblePercentAt, ToneLabel, 2000, 100, "+100.0 %"},   {BassPercentAt, ToneLabel, 15, 0.15, "+0.2 %"},
      {BassPercentAt, ToneLabel, 1530, 15.3, "+15.3 %"},     {BassPercentAt, ToneLabel, 10000, 100, "+100.0 %"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.position);
    const double v = r.valueAt(r.position);
    EXPECT_DOUBLE_EQ(v, r.value);
    EXPECT_EQ(r.label(v), r.text);
  }
}

// The shelf gains step in whole dB along the sliders as they always have.
TEST_F(Parameters, ToneValuesGiveTheShelfGains) {
  const struct {
    bool treble;
    double position;
    double gainDb;
  } rows[] = {{true, 0, 0},      {true, 4, 0},      {true, 67, 1},      {true, 1000, 15},  {true, 2000, 30},
              {false, 15, 0},    {false, 510, 2},   {false, 1530, 4},   {false, 5000, 15}, {false, 10000, 29}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.position);
    EXPECT_EQ(r.treble ? TrebleGainDb(TreblePercentAt(r.position)) : BassGainDb(BassPercentAt(r.position)), r.gainDb);
  }
}

TEST_F(Parameters, LabelNumberRoundsToSignificantDigitsThenTenths) {
  struct Row {
    double v;
    int significant;
    const char* text;
  };
  const std::vector<Row> rows = {
      {0.0, 7, "0.0"},
      {12.34, 7, "12.3"},
      {-12.5, 7, "-12.5"},
      {1234.56, 7, "1,234.6"},
      {1234567.0, 7, "1,234,567.0"},
      {12345678.0, 7, "12,345,680.0"},  // only seven digits survive
      {12.349999999, 7, "12.4"},        // 12.35000 first, then the even tenth
      {12.349999999, 12, "12.3"},
      {99.825, 3, "99.8"},
      {0.05, 3, "0.0"},  // a decimal tie after the first rounding: to even
      {0.15, 3, "0.2"},
      {0.25, 3, "0.2"},
      {0.35, 3, "0.4"},
      {-0.05, 7, "0.0"},  // what rounds to zero has no sign
      {-0.15, 7, "-0.2"},
      {1e-20, 7, "0.0"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.v);
    EXPECT_EQ(LabelNumber(r.v, r.significant), r.text);
  }
}

TEST_F(Parameters, LabelsUseTheLocaleSeparators) {
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(SpeedLabel(-12.5), "-12,5 %");
  EXPECT_EQ(PitchLabel(0.5), "+0,5 st");
  EXPECT_EQ(LocaleBpmCaption(1000, 0, 0), "1000/1.000,0");
}

TEST_F(Parameters, BpmCaption) {
  struct Row {
    int32_t bpm;
    double speed;
    double tempo;
    const char* caption;
  };
  const std::vector<Row> rows = {
      {0, 0, 0, "---"},
      {0, 25, 41.4, "---"},
      {120, 0, 0, "120/120.0"},
      {120, 10, 0, "120/132.0"},
      {120, 0, 100, "120/240.0"},
      {100, -50, 100, "100/100.0"},
      {120, -50, 0, "120/60.0"},
      {120, 0, -50, "120/60.0"},
      {500, 0, 100, "500/1,000.0"},  // grouped from 1000 on
      {1000, 0, 0, "1000/1,000.0"},  // the measured figure is never grouped
      {128, 100, 100, "128/512.0"},
      {100, 0, TempoPercentAt(100), "100/105.9"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.bpm) + " " + std::to_string(r.speed) + " " + std::to_string(r.tempo));
    EXPECT_EQ(LocaleBpmCaption(r.bpm, r.speed, r.tempo), r.caption);
    EXPECT_EQ(BpmCaption(r.bpm, r.speed, r.tempo), r.caption);  // ASCII, as the renderer prints it
  }
}

TEST_F(Parameters, TempoChangeInWholePercent) {
  struct Row {
    double speed;
    double tempo;
    int32_t change;
  };
  const std::vector<Row> rows = {
      {0, 0, 0},      {10, 0, 10},    {-50, 100, 0},   {-50, -50, -75}, {100, 100, 300},
      {0, 100, 100},  {0, TempoPercentAt(600), 41},    {0, TempoPercentAt(-600), -29},
      {25, 0, 25},    {-12.5, 0, -12},  // -12.5: halves to even
      {-50, 0, -50},  {0, TempoPercentAt(100), 6},     {0, -30, -30},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.speed) + " " + std::to_string(r.tempo));
    EXPECT_EQ(TempoChangePercent(r.speed, r.tempo), r.change);
  }
}
TEST_F(Parameters, UserFiguresToSliderPositions) {
  struct Row {
    std::optional<double> (*map)(double);
    double figure;
    std::optional<double> position;
  };
  const std::vector<Row> rows = {
      {SpeedPositionFromPercent, 0, 0.0},
      {SpeedPositionFromPercent, 25, 250.0},
      {SpeedPositionFromPercent, -12.5, -250.0},
      {SpeedPositionFromPercent, 100, 1000.0},
      {SpeedPositionFromPercent, -50, -1000.0},
      {SpeedPositionFromPercent, 100.1, std::nullopt},
      {SpeedPositionFromPercent, -50.1, std::nullopt},
      {SpeedPositionFromPercent, NAN, std::nullopt},
      {TempoPositionFromPercent, 0, 0.0},
      {TempoPositionFromPercent, 100, 1200.0},
      {TempoPositionFromPercent, -50, -1200.0},
      {TempoPositionFromPercent, 100.5, std::nullopt},
      {TempoPositionFromPercent, -50.5, std::nullopt},
      {TempoPositionFromPercent, -100, std::nullopt},
      {TempoPositionFromPercent, -150, std::nullopt},
      {TempoPositionFromPercent, INFINITY, std::nullopt},
      {PitchPositionFromSemitones, 0.5, 5.0},
      {PitchPositionFromSemitones, -12, -120.0},
      {PitchPositionFromSemitones, 12, 120.0},
      {PitchPositionFromSemitones, 12.1, std::nullopt},
      {PitchPositionFromSemitones, -12.5, std::nullopt},
      {TreblePositionFromPercent, 0, 0.0},
      {TreblePositionFromPercent, 50, 1000.0},
      {TreblePositionFromPercent, 100, 2000.0},
      {TreblePositionFromPercent, -1, std::nullopt},
      {TreblePositionFromPercent, 100.5, std::nullopt},
      {BassPositionFromPercent, 15.3, 1530.0},
      {BassPositionFromPercent, 100, 10000.0},
      {BassPositionFromPercent, -0.5, std::nullopt},
      {BassPositionFromPercent, 101, std::nullopt},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const std::optional<double> got = rows[i].map(rows[i].figure);
    ASSERT_EQ(got.has_value(), rows[i].position.has_value());
    if (got) {
      EXPECT_NEAR(*got, *rows[i].position, 1e-9);
    }
  }
}

// A tempo value lands back on the slider position it came from.
TEST_F(Parameters, TempoFiguresInvertTheLabel) {
  for (double p : {-1200.0, -600.0, -100.0, 0.0, 100.0, 123.4, 600.0, 1200.0}) {
    SCOPED_TRACE(p);
    const std::optional<double> back = TempoPositionFromPercent(TempoPercentAt(p));
    ASSERT_TRUE(back.has_value());
    EXPECT_NEAR(*back, p, 1e-3);
  }
}

}  // namespace
