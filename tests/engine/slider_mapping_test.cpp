#include "slider_mapping.h"

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

// Duration ratio the pitch stage requests for SetTempo(steps).
double DurationRatio(float steps) { return std::exp2(-static_cast<double>(steps) / 12.0); }
// Pitch ratio the pitch stage requests for SetPitch(semitones).
double PitchRatio(float semitones) { return std::exp2(static_cast<double>(semitones) / 12.0); }

TEST_F(Parameters, SpeedWorkedValues) {
  struct Row {
    double x;
    const char* label;
    float percent;
    int32_t speedValue;
  };
  const std::vector<Row> rows = {
      {0, "0.0 %", 0.0f, 0},           {250, "+25.0 %", 25.0f, 250},
      {-250, "-12.5 %", -12.5f, -250}, {1000, "+100.0 %", 100.0f, 1000},
      {-1000, "-50.0 %", -50.0f, -1000},
      // Dragged between steps.
      {123.4, "+12.3 %", 12.34f, 123}, {0.4, "+0.0 %", 0.04f, 0},
      // Halves to even.
      {2.5, "+0.2 %", 0.25f, 2},       {3.5, "+0.4 %", 0.35f, 4},
      {-2.5, "-0.1 %", -0.125f, -2},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.x);
    const SpeedSetting s = SpeedFromPosition(r.x);
    EXPECT_EQ(s.label, r.label);
    EXPECT_EQ(s.percent, r.percent);
    EXPECT_EQ(s.speedValue, r.speedValue);
  }
}

TEST_F(Parameters, TempoWorkedValues) {
  struct Row {
    double p;
    const char* label;
    float steps;
  };
  const std::vector<Row> rows = {
      {0, "0.0 %", 0.0f},       {100, "+5.9 %", 1.0f},      {-100, "-5.6 %", -1.0f},
      {600, "+41.4 %", 6.0f},   {-600, "-29.3 %", -6.0f},   {1200, "+100.0 %", 12.0f},
      {-1200, "-50.0 %", -12.0f},
      // Dragged: the label follows p, the stage gets the rounded position.
      {123.4, "+7.4 %", 1.23f}, {150.5, "+9.1 %", 1.5f},     {0.5, "+0.0 %", 0.0f},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.p);
    const TempoSetting t = TempoFromPosition(r.p);
    EXPECT_EQ(t.label, r.label);
    EXPECT_EQ(t.steps, r.steps);
    EXPECT_NEAR(t.percent, 100.0 * std::exp2(r.p / 1200.0) - 100.0, 1e-4);
  }
  EXPECT_DOUBLE_EQ(DurationRatio(TempoFromPosition(100).steps), std::exp2(-1.0 / 12));
  EXPECT_DOUBLE_EQ(DurationRatio(TempoFromPosition(-100).steps), std::exp2(1.0 / 12));
  EXPECT_DOUBLE_EQ(DurationRatio(TempoFromPosition(600).steps), std::exp2(-0.5));
  EXPECT_DOUBLE_EQ(DurationRatio(TempoFromPosition(-600).steps), std::exp2(0.5));
  EXPECT_EQ(DurationRatio(TempoFromPosition(1200).steps), 0.5);
  EXPECT_EQ(DurationRatio(TempoFromPosition(-1200).steps), 2.0);
  // The ends are exact in 32-bit steps as well.
  EXPECT_EQ(TempoFromPosition(1200).percent, 100.0f);
  EXPECT_EQ(TempoFromPosition(-1200).percent, -50.0f);
}

TEST_F(Parameters, PitchWorkedValues) {
  struct Row {
    double p;
    const char* label;
    float semitones;
  };
  const std::vector<Row> rows = {
      {0, "0.0 st", 0.0f},      {5, "+0.5 st", 0.5f},     {-120, "-12.0 st", -12.0f},
      {120, "+12.0 st", 12.0f}, {-7, "-0.7 st", -0.7f},
      // Dragged: label from p, parameter from p rounded (halves to even).
      {2.5, "+0.2 st", 0.2f},   {12.34, "+1.2 st", 1.2f}, {-3.5, "-0.4 st", -0.4f},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.p);
    const PitchSetting s = PitchFromPosition(r.p);
    EXPECT_EQ(s.label, r.label);
    EXPECT_EQ(s.semitones, r.semitones);
  }
  EXPECT_DOUBLE_EQ(PitchRatio(PitchFromPosition(5).semitones), std::exp2(1.0 / 24));
  EXPECT_EQ(PitchRatio(PitchFromPosition(-120).semitones), 0.5);
}

TEST_F(Parameters, ToneWorkedValues) {
  struct Row {
    bool treble;
    double position;
    const char* label;
    double gainDb;
  };
  const std::vector<Row> rows = {
      {true, 0, "0.0 %", 0},         {true, 4, "+0.2 %", 0},         {true, 1000, "+50.0 %", 15},
      {true, 2000, "+100.0 %", 30},  {true, 67, "+3.4 %", 1},        {false, 0, "0.0 %", 0},
      {false, 15, "+0.2 %", 0},      {false, 5000, "+50.0 %", 15},   {false, 10000, "+100.0 %", 29},
      {false, 510, "+5.1 %", 2},     {false, 1530, "+15.3 %", 4},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.treble ? "treble " : "bass ") + std::to_string(r.position));
    const ToneSetting t =
        r.treble ? TrebleFromPosition(r.position, r.position) : BassFromPosition(r.position, r.position);
    EXPECT_EQ(t.label, r.label);
    EXPECT_EQ(t.gainDb, r.gainDb);
    EXPECT_EQ(t.switchValue, static_cast<int32_t>(r.position));
  }
}

// During keyboard stepping the event carries the new value x while the
// slider's Position p still holds the old one.
TEST_F(Parameters, KeyboardSteppingSwitchFollowsEventValueOnly) {
  ToneSetting t = TrebleFromPosition(4, 0);  // first step up from 0
  EXPECT_EQ(t.switchValue, 4);
  EXPECT_EQ(t.gainDb, 0);
  EXPECT_EQ(t.label, "0.0 %");
  t = TrebleFromPosition(0, 4);  // stepping back down to 0: filter off at once
  EXPECT_EQ(t.switchValue, 0);
  EXPECT_EQ(t.label, "+0.2 %");
  t = BassFromPosition(1530, 1515);
  EXPECT_EQ(t.switchValue, 1530);
  EXPECT_EQ(t.gainDb, 4);  // 1515 / 340 = 4.46
  EXPECT_EQ(t.label, "+15.2 %");
  t = TrebleFromPosition(2000, 1996.5);
  EXPECT_EQ(t.switchValue, 2000);
  EXPECT_EQ(t.gainDb, 30);
  EXPECT_EQ(t.label, "+99.8 %");  // 99.825 rounds to 99.8 at three digits
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
      {-0.05, 7, "-0.0"},  // negative values keep their sign
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
  EXPECT_EQ(SpeedFromPosition(-250).label, "-12,5 %");
  EXPECT_EQ(PitchFromPosition(5).label, "+0,5 st");
  EXPECT_EQ(BpmCaption(1000, 0, 0), "1000/1.000,0");
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
      {0, 250, 600, "---"},
      {120, 0, 0, "120/120.0"},
      {120, 100, 0, "120/132.0"},
      {120, 0, 1200, "120/240.0"},
      {100, -1000, 1200, "100/100.0"},
      {120, -1000, 0, "120/60.0"},
      {120, 0, -1200, "120/60.0"},
      {500, 0, 1200, "500/1,000.0"},  // grouped from 1000 on
      {1000, 0, 0, "1000/1,000.0"},   // the measured figure is never grouped
      {128, 1000, 1200, "128/512.0"},
      {100, 0, 100, "100/105.9"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.bpm) + " " + std::to_string(r.speed) + " " + std::to_string(r.tempo));
    EXPECT_EQ(BpmCaption(r.bpm, r.speed, r.tempo), r.caption);
  }
}

TEST_F(Parameters, TempoChangeInWholePercent) {
  struct Row {
    double speed;
    double tempo;
    int32_t change;
  };
  const std::vector<Row> rows = {
      {0, 0, 0},        {100, 0, 10},     {-1000, 1200, 0}, {-1000, -1200, -75},
      {1000, 1200, 300}, {0, 1200, 100},  {0, 600, 41},     {0, -600, -29},
      {250, 0, 25},     {-250, 0, -12},   // -12.5: halves to even
      {-1000, 0, -50},  {0, 100, 6},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.speed) + " " + std::to_string(r.tempo));
    EXPECT_EQ(TempoChange(r.speed, r.tempo), r.change);
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

// A figure typed as the tempo label shows it lands on the slider position
// that produced the label.
TEST_F(Parameters, TempoFiguresInvertTheLabel) {
  for (double p : {-1200.0, -600.0, -100.0, 0.0, 100.0, 123.4, 600.0, 1200.0}) {
    SCOPED_TRACE(p);
    const std::optional<double> back = TempoPositionFromPercent(TempoFromPosition(p).percent);
    ASSERT_TRUE(back.has_value());
    EXPECT_NEAR(*back, p, 1e-3);
  }
}

}  // namespace
