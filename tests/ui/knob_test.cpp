#include "ui/knob.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QWheelEvent>

#include <memory>
#include <vector>

#include "widget_app.h"

namespace {

// The window's volume knob, 86 × 86, with its change reports recorded.
struct VolumeKnob {
  Knob knob;
  std::vector<int> changes;

  VolumeKnob() {
    knob.resize(86, 86);
    // The animation never runs by itself; tests beat it with animationTick().
    knob.setAnimationInterval(24 * 3600 * 1000);
    knob.show();
    QObject::connect(&knob, &Knob::positionChanged, [this](int v) { changes.push_back(v); });
  }
};

void SendWheel(QWidget* w, int delta) {
  const QPointF at(w->width() / 2.0, w->height() / 2.0);
  QWheelEvent e(at, w->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                false);
  QApplication::sendEvent(w, &e);
}

class KnobTest : public ::testing::Test {
 protected:
  void SetUp() override { pwtest::EnsureWidgetApp(); }
};

TEST_F(KnobTest, StartsAsTheVolumeKnob) {
  Knob k;
  EXPECT_EQ(k.minimum(), 1);
  EXPECT_EQ(k.maximum(), 10000);
  EXPECT_EQ(k.position(), 8000);
  EXPECT_EQ(k.startAngle(), 120);
  EXPECT_EQ(k.sweep(), 300);
  EXPECT_TRUE(k.animation());
  EXPECT_EQ(k.toolTip(), "Volume");
  EXPECT_EQ(k.wheelStep(), 33);
  EXPECT_EQ(k.keyStep(), 6);
  EXPECT_TRUE(k.focusPolicy() & Qt::TabFocus);
}

TEST_F(KnobTest, StepsFollowRangeAndSweep) {
  const struct {
    int min, max, startAngle, wheel, key;
  } cases[] = {
      {1, 10000, 120, 33, 6},
      {0, 100, 120, 1, 1},    // both quotients 0: at least 1
      {0, 3000, 120, 10, 2},
      {0, 3000, 90, 8, 1},    // sweep 360
  };
  for (const auto& c : cases) {
    Knob k;
    k.setRange(c.min, c.max);
    k.setStartAngle(c.startAngle);
    EXPECT_EQ(k.wheelStep(), c.wheel) << c.max << " " << c.startAngle;
    EXPECT_EQ(k.keyStep(), c.key) << c.max << " " << c.startAngle;
  }
}

TEST_F(KnobTest, PointerAngleToValueIn32BitFloat) {
  // Expected values worked out with the factor 9999/300 held as a 32-bit
  // float (33.33000183…); in double the top would give 5000, not 5001.
  const struct {
    QPoint at;
    int value;
  } cases[] = {
      {{43, 0}, 5001},    // straight above: 150° into the dial
      {{0, 43}, 2001},    // left: 60° in
      {{86, 43}, 8000},   // right: 240° in
      {{10, 10}, 3501},   // upper left, 135°
      {{76, 10}, 6500},   // upper right, 225°
      {{20, 70}, 334},    // just past the start, 40°
      {{70, 70}, 9500},   // just before the end, 315°
      {{43, 80}, 1},      // straight below: in the gap, the start side
      {{36, 86}, 1},      // in the gap, left of bottom
      {{50, 86}, 10000},  // in the gap, right of bottom
      {{43, 43}, 1},      // the centre itself: angle 0
  };
  VolumeKnob v;
  for (const auto& c : cases) EXPECT_EQ(v.knob.valueAt(c.at), c.value) << c.at.x() << "," << c.at.y();
}

TEST_F(KnobTest, ClickAboveTheCentreTurnsThereInElevenBeatsWithOneReport) {
  VolumeKnob v;
  QTest::mousePress(&v.knob, Qt::LeftButton, Qt::NoModifier, QPoint(43, 0));
  QTest::mouseRelease(&v.knob, Qt::LeftButton, Qt::NoModifier, QPoint(43, 0));
  EXPECT_TRUE(v.knob.isAnimating());
  EXPECT_EQ(v.knob.animationTarget(), 5001);
  EXPECT_EQ(v.knob.position(), 8000);
  std::vector<int> beats;
  while (v.knob.isAnimating() && beats.size() < 50) {
    v.knob.animationTick();
    beats.push_back(v.knob.position());
  }
  ASSERT_EQ(beats.size(), 11u);
  EXPECT_EQ(beats[0], 8000 - 299);
  EXPECT_EQ(beats[9], 8000 - 2990);
  EXPECT_EQ(beats[10], 5001);
  EXPECT_EQ(v.changes, std::vector<int>{5001});
}

TEST_F(KnobTest, AnimationStepSizes) {
  const struct {
    int start;
    QPoint click;
    int target, beats;
  } cases[] = {
      {8000, {86, 43}, 8000, 1},   // already there: one beat, one report
      {7995, {86, 43}, 8000, 1},   // (8000 − 7995) div 10 = 0: the whole difference
      {2000, {86, 43}, 8000, 10},  // 6000 div 10 = 600: lands on it after ten beats
      {2001, {86, 43}, 8000, 11},  // 5999 div 10 = 599: passes it on the eleventh
      {1, {70, 70}, 9500, 11},
  };
  for (const auto& c : cases) {
    VolumeKnob v;
    v.knob.setPosition(c.start);
    v.changes.clear();
    QTest::mouseClick(&v.knob, Qt::LeftButton, Qt::NoModifier, c.click);
    int beats = 0;
    while (v.knob.isAnimating() && beats < 50) {
      v.knob.animationTick();
      ++beats;
    }
    EXPECT_EQ(beats, c.beats) << c.start;
    EXPECT_EQ(v.knob.position(), c.target) << c.start;
    EXPECT_EQ(v.changes, std::vector<int>{c.target}) << c.start;
  }
}

TEST_F(KnobTest, WithoutAnimationAClickSetsTheValueAtOnce) {
  VolumeKnob v;
  v.knob.setAnimation(false);
  QTest::mouseClick(&v.knob, Qt::LeftButton, Qt::NoModifier, QPoint(43, 0));
  EXPECT_FALSE(v.knob.isAnimating());
  EXPECT_EQ(v.knob.position(), 5001);
  EXPECT_EQ(v.changes, std::vector<int>{5001});
}

TEST_F(KnobTest, TurningReportsEveryMove) {
  VolumeKnob v;
  v.knob.setAnimation(false);
  QTest::mousePress(&v.knob, Qt::LeftButton, Qt::NoModifier, QPoint(86, 43));
  EXPECT_TRUE(v.knob.isTurning());
  QTest::mouseMove(&v.knob, QPoint(76, 10));
  QTest::mouseMove(&v.knob, QPoint(43, 0));
  QTest::mouseMove(&v.knob, QPoint(43, 0));  // the same value is reported again
  QTest::mouseRelease(&v.knob, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
  EXPECT_FALSE(v.knob.isTurning());
  EXPECT_EQ(v.changes, (std::vector<int>{6500, 5001, 5001, 3501}));
}

TEST_F(KnobTest, NewPressDuringTheAnimationLetsItFinish) {
  VolumeKnob v;
  QTest::mouseClick(&v.knob, Qt::LeftButton, Qt::NoModifier, QPoint(43, 0));
  v.knob.animationTick();
  QTest::mousePress(&v.knob, Qt::LeftButton, Qt::NoModifier, QPoint(43, 0));
  EXPECT_TRUE(v.knob.isTurning());
  EXPECT_TRUE(v.knob.isAnimating());
  while (v.knob.isAnimating()) v.knob.animationTick();
  EXPECT_EQ(v.knob.position(), 5001);
  EXPECT_EQ(v.changes, std::vector<int>{5001});
}

TEST_F(KnobTest, WheelTurnsTheOppositeWayToTheSliders) {
  const struct {
    int start, delta, after;
  } cases[] = {
      {8000, -120, 8033},  // towards the user: up
      {8000, 120, 7967},   // away: down
      {8000, -720, 8033},  // one step whatever the size of the turn
      {9990, -120, 10000},
      {10000, -120, 10000},  // at the top: still reported
      {20, 120, 1},
  };
  for (const auto& c : cases) {
    VolumeKnob v;
    v.knob.setPosition(c.start);
    v.changes.clear();
    SendWheel(&v.knob, c.delta);
    EXPECT_EQ(v.knob.position(), c.after) << c.start << " " << c.delta;
    EXPECT_EQ(v.changes, std::vector<int>{c.after}) << c.start << " " << c.delta;
  }
}

TEST_F(KnobTest, Keys) {
  const struct {
    int start, key, after;
  } cases[] = {
      {8000, Qt::Key_Up, 8006},   {8000, Qt::Key_Right, 8006}, {8000, Qt::Key_Down, 7994},
      {8000, Qt::Key_Left, 7994}, {8000, Qt::Key_Home, 1},     {8000, Qt::Key_End, 10000},
      {9998, Qt::Key_Up, 10000},  {3, Qt::Key_Down, 1},
  };
  for (const auto& c : cases) {
    VolumeKnob v;
    v.knob.setPosition(c.start);
    v.changes.clear();
    QTest::keyClick(&v.knob, Qt::Key(c.key));
    EXPECT_EQ(v.knob.position(), c.after) << c.start << " " << c.key;
    EXPECT_EQ(v.changes, std::vector<int>{c.after}) << c.start << " " << c.key;
  }
}

TEST_F(KnobTest, KeysNeedAnEnabledTabStop) {
  VolumeKnob v;
  v.knob.setFocusPolicy(Qt::ClickFocus);
  QTest::keyClick(&v.knob, Qt::Key_Up);
  v.knob.setFocusPolicy(Qt::StrongFocus);
  v.knob.setEnabled(false);
  QTest::keyClick(&v.knob, Qt::Key_Up);
  EXPECT_EQ(v.knob.position(), 8000);
  EXPECT_TRUE(v.changes.empty());
}

TEST_F(KnobTest, WritingThePositionClampsAndAlwaysReports) {
  const struct {
    int write, position;
  } cases[] = {{12000, 10000}, {0, 1}, {-5, 1}, {8000, 8000}, {4321, 4321}};
  for (const auto& c : cases) {
    VolumeKnob v;
    v.knob.setPosition(c.write);
    EXPECT_EQ(v.knob.position(), c.position) << c.write;
    EXPECT_EQ(v.changes, std::vector<int>{c.position}) << c.write;
  }
}

TEST_F(KnobTest, RangeChangesPullThePositionSilently) {
  VolumeKnob v;
  v.knob.setMaximum(5000);
  EXPECT_EQ(v.knob.position(), 5000);
  v.knob.setMinimum(6000);
  EXPECT_EQ(v.knob.position(), 6000);
  EXPECT_TRUE(v.changes.empty());
}

TEST_F(KnobTest, StaysSquare) {
  VolumeKnob v;
  v.knob.resize(120, 86);
  EXPECT_EQ(v.knob.size(), QSize(86, 86));
  v.knob.show();
  v.knob.resize(50, 107);
  EXPECT_EQ(v.knob.size(), QSize(107, 107));
  // The face is drawn for the new size: the outer ring reaches the bottom
  // edge of the larger square, not the old one's.
  const QImage shot = v.knob.grab().toImage();
  ASSERT_EQ(shot.size(), QSize(107, 107));
  EXPECT_GT(qAlpha(shot.pixel(53, 104)), 0);
}

}  // namespace
