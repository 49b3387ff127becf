#include "ui/slider.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QStyleHints>
#include <QTest>
#include <QWheelEvent>
#include <QWindow>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "widget_app.h"

namespace {

// What a listener saw: the argument, and position() at that moment.
struct Change {
  double argument;
  double positionThen;
};

struct Fixture {
  Slider slider;
  std::vector<Change> changes;
  std::vector<std::string> log;

  Fixture(Slider::Direction direction, int w, int h, double min, double max, double step, double position) {
    slider.setDirection(direction);
    slider.resize(w, h);
    slider.setMinimum(min);
    slider.setMaximum(max);
    slider.setStep(step);
    slider.setPosition(position);
    // The repeat timer never fires by itself; tests beat it with repeatTick().
    slider.setRepeatInterval(24 * 3600 * 1000);
    slider.show();
    QObject::connect(&slider, &Slider::positionChanged, [this](double v) {
      changes.push_back({v, slider.position()});
      log.push_back("changed");
    });
    QObject::connect(&slider, &Slider::pressed, [this](Qt::MouseButton, QPointF) {
      log.push_back("pressed at " + std::to_string(slider.position()));
    });
    QObject::connect(&slider, &Slider::released, [this](Qt::MouseButton, QPointF) { log.push_back("released"); });
  }
};

// The window's speed slider and playback-position slider.
Fixture* SpeedBar() { return new Fixture(Slider::Direction::Vertical, 25, 154, -1000, 1000, 1, 0); }
Fixture* PositionBar(double at) { return new Fixture(Slider::Direction::Horizontal, 250, 21, 0, 100, 5, at); }
Fixture* TempoBar() { return new Fixture(Slider::Direction::Vertical, 25, 154, -1200, 1200, 1, 0); }
Fixture* TrebleBar() { return new Fixture(Slider::Direction::Vertical, 25, 154, 0, 2000, 4, 0); }

// The left button as the platform reports it, with explicit timestamps: Qt
// itself then decides which press of a quick pair becomes a double-click and
// what the widget receives (press, release, double-click, release).
class Hand {
 public:
  explicit Hand(QWidget* widget) : widget_(widget) {}

  void press(QPoint at, int msLater, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    send(at, msLater, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, mods);
  }
  void release(QPoint at, int msLater) {
    send(at, msLater, QEvent::MouseButtonRelease, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  }
  void move(QPoint at, int msLater) {
    send(at, msLater, QEvent::MouseMove, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  }
  void click(QPoint at, int msLater) {
    press(at, msLater);
    release(at, 30);
  }
  // Well apart from anything sent before: never part of a double-click.
  static int apart() { return QGuiApplication::styleHints()->mouseDoubleClickInterval() + 200; }
  // Well within the double-click interval.
  static constexpr int kQuick = 40;

 private:
  void send(QPoint at, int msLater, QEvent::Type type, Qt::MouseButtons state, Qt::MouseButton button,
            Qt::KeyboardModifiers mods) {
    clock_ += msLater;
    QWindow* window = widget_->window()->windowHandle();
    ASSERT_NE(window, nullptr);
    const QPointF local = widget_->mapTo(widget_->window(), QPointF(at));
    qt_handleMouseEvent(window, local, window->mapToGlobal(local), state, button, type, mods, clock_);
  }

  QWidget* widget_;
  // One clock for every test, far ahead of QTest's own, so that no press of
  // an earlier test pairs with one here.
  static inline int clock_ = 1'000'000'000;
};

// Counts the double-click events a widget received: proof that a test went
// through Qt's double-click path rather than two plain clicks.
class DoubleClickCounter : public QObject {
 public:
  explicit DoubleClickCounter(QObject* watched) { watched->installEventFilter(this); }
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonDblClick) ++count;
    return false;
  }
};

std::vector<double> Arguments(const std::vector<Change>& changes) {
  std::vector<double> out;
  for (const auto& c : changes) out.push_back(c.argument);
  return out;
}

void SendKey(QWidget* w, QEvent::Type type, int key, bool autoRepeat) {
  QKeyEvent e(type, key, Qt::NoModifier, QString(), autoRepeat);
  QApplication::sendEvent(w, &e);
}

void SendWheel(QWidget* w, int delta) {
  const QPointF at(w->width() / 2.0, w->height() / 2.0);
  QWheelEvent e(at, w->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                false);
  QApplication::sendEvent(w, &e);
}

class SliderTest : public ::testing::Test {
 protected:
  void SetUp() override { pwtest::EnsureWidgetApp(); }
};

TEST_F(SliderTest, NewSliderDefaults) {
  Slider s;
  EXPECT_EQ(s.minimum(), 0);
  EXPECT_EQ(s.maximum(), 100);
  EXPECT_EQ(s.position(), 0);
  EXPECT_EQ(s.step(), 20);
  EXPECT_EQ(s.direction(), Slider::Direction::Vertical);
  EXPECT_TRUE(s.wheelControl());
  EXPECT_FALSE(s.positionToolTip());
  EXPECT_EQ(s.positionToolTipFormat(), "%.2f");
  EXPECT_EQ(s.size(), QSize(90, 250));
  EXPECT_EQ(s.repeatInterval(), 100);
  EXPECT_EQ(s.focusPolicy(), Qt::StrongFocus);
  EXPECT_TRUE(s.centerReset());
  EXPECT_EQ(s.centerSnap(), 4);
  EXPECT_FALSE(s.focusRingVisible());
}

TEST_F(SliderTest, ThumbGeometryFollowsSizeDirectionAndValue) {
  const struct {
    Slider::Direction direction;
    int w, h;
    double min, max, position;
    int thumb, track;
    QPointF center;
  } cases[] = {
      // Speed bar: thumb 24, track 153 − 24 = 129, centre 12 + offset from the bottom.
      {Slider::Direction::Vertical, 25, 154, -1000, 1000, 0, 24, 129, {12.5, 154 - 12 - 64.5}},
      {Slider::Direction::Vertical, 25, 154, -1000, 1000, -1000, 24, 129, {12.5, 154 - 12}},
      {Slider::Direction::Vertical, 25, 154, -1000, 1000, 1000, 24, 129, {12.5, 154 - 12 - 129}},
      // Position bar: thumb 20, track 249 − 20 = 229, from the left.
      {Slider::Direction::Horizontal, 250, 21, 0, 100, 0, 20, 229, {10, 10.5}},
      {Slider::Direction::Horizontal, 250, 21, 0, 100, 25, 20, 229, {10 + 57.25, 10.5}},
      {Slider::Direction::Horizontal, 250, 21, 0, 100, 100, 20, 229, {239, 10.5}},
      // An empty range keeps the thumb at the start.
      {Slider::Direction::Horizontal, 250, 21, 0, 0, 0, 20, 229, {10, 10.5}},
  };
  for (const auto& c : cases) {
    Fixture f(c.direction, c.w, c.h, c.min, c.max, 1, c.position);
    SCOPED_TRACE(c.position);
    EXPECT_EQ(f.slider.thumbSize(), c.thumb);
    EXPECT_EQ(f.slider.rulerLength(), c.track);
    EXPECT_DOUBLE_EQ(f.slider.thumbCenter().x(), c.center.x());
    EXPECT_DOUBLE_EQ(f.slider.thumbCenter().y(), c.center.y());
    const QRectF hit = f.slider.thumbHitRect();
    EXPECT_DOUBLE_EQ(hit.center().x(), c.direction == Slider::Direction::Vertical ? c.w / 2.0 : c.center.x());
    EXPECT_DOUBLE_EQ(c.direction == Slider::Direction::Vertical ? hit.width() : hit.height(),
                     c.direction == Slider::Direction::Vertical ? c.w : c.h);
  }
}

TEST_F(SliderTest, ValueAtPointerIsClampedAndNotSnapped) {
  const struct {
    Slider::Direction direction;
    double min, max, coordinate, value;
  } cases[] = {
      {Slider::Direction::Vertical, -1000, 1000, 142, -1000},   // thumb centre at the bottom end
      {Slider::Direction::Vertical, -1000, 1000, 13, 1000},     // and at the top end
      {Slider::Direction::Vertical, -1000, 1000, 77.5, 0},      // the middle
      {Slider::Direction::Vertical, -1000, 1000, 100, -1000 + 42.0 / 129 * 2000},  // fractional
      {Slider::Direction::Vertical, -1000, 1000, -30, 1000},    // beyond the top
      {Slider::Direction::Vertical, -1000, 1000, 400, -1000},   // beyond the bottom
      {Slider::Direction::Horizontal, 0, 100, 10 + 229 / 4.0, 25},
      {Slider::Direction::Horizontal, 0, 100, 11, 100.0 / 229},
      {Slider::Direction::Horizontal, 5, 5, 120, 0},            // empty range
  };
  for (const auto& c : cases) {
    const bool vertical = c.direction == Slider::Direction::Vertical;
    Fixture f(c.direction, vertical ? 25 : 250, vertical ? 154 : 21, c.min, c.max, 1, c.min);
    EXPECT_DOUBLE_EQ(f.slider.valueAt(c.coordinate), c.value) << c.coordinate;
  }
}

TEST_F(SliderTest, WritingThePosition) {
  const struct {
    const char* what;
    std::vector<double> writes;
    double position;
    std::vector<double> events;
  } cases[] = {
      {"in range", {250.5}, 250.5, {250.5}},
      {"above the range", {1000.01}, 0, {}},
      {"below the range", {-5000}, 0, {}},
      {"the same value twice", {7, 7}, 7, {7}},
      {"the current value", {0}, 0, {}},
      {"the ends", {-1000, 1000}, 1000, {-1000, 1000}},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(SpeedBar());
    for (double v : c.writes) f->slider.setPosition(v);
    EXPECT_EQ(f->slider.position(), c.position) << c.what;
    std::vector<double> events;
    for (const auto& ch : f->changes) events.push_back(ch.argument);
    EXPECT_EQ(events, c.events) << c.what;
  }
}

TEST_F(SliderTest, RangeAndStepSettersPullSilently) {
  std::unique_ptr<Fixture> f(SpeedBar());
  f->slider.setPosition(500);
  f->changes.clear();
  f->slider.setMaximum(300);
  EXPECT_EQ(f->slider.position(), 300);
  f->slider.setMinimum(400);
  EXPECT_EQ(f->slider.position(), 400);
  EXPECT_TRUE(f->changes.empty());

  for (double bad : {0.0, -1.0}) {
    f->slider.setStep(bad);
    EXPECT_EQ(f->slider.step(), 1) << bad;
  }
  f->slider.setStep(2.5);
  EXPECT_EQ(f->slider.step(), 2.5);
}

TEST_F(SliderTest, KeysReportTheNewValueBeforeThePositionTakesIt) {
  const struct {
    double start;
    int key;
    std::vector<Change> onPress;
    double after;
  } cases[] = {
      {10, Qt::Key_Up, {{11, 10}}, 11},
      {10, Qt::Key_Right, {{11, 10}}, 11},
      {10, Qt::Key_Down, {{9, 10}}, 9},
      {10, Qt::Key_Left, {{9, 10}}, 9},
      {10, Qt::Key_Home, {{-1000, 10}}, -1000},
      {10, Qt::Key_End, {{1000, 10}}, 1000},
      // At the top: the key-down raises nothing.
      {1000, Qt::Key_Up, {}, 1000},
      {1000, Qt::Key_End, {}, 1000},
      {-1000, Qt::Key_Down, {}, -1000},
      {-1000, Qt::Key_Home, {}, -1000},
      // Half a step from the end: the step would leave the range.
      {999.5, Qt::Key_Up, {}, 999.5},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(SpeedBar());
    f->slider.setPosition(c.start);
    f->changes.clear();
    QTest::keyPress(&f->slider, Qt::Key(c.key));
    SCOPED_TRACE(testing::Message() << c.start << " key " << c.key);
    ASSERT_EQ(f->changes.size(), c.onPress.size());
    for (size_t i = 0; i < c.onPress.size(); ++i) {
      EXPECT_EQ(f->changes[i].argument, c.onPress[i].argument);
      EXPECT_EQ(f->changes[i].positionThen, c.onPress[i].positionThen);
    }
    EXPECT_EQ(f->slider.position(), c.after);
    // The release reports the current value, also when nothing moved.
    QTest::keyRelease(&f->slider, Qt::Key(c.key));
    ASSERT_EQ(f->changes.size(), c.onPress.size() + 1);
    EXPECT_EQ(f->changes.back().argument, c.after);
  }
}

TEST_F(SliderTest, OtherKeysAreNotTheSlidersAndNoTabStopNoKeys) {
  std::unique_ptr<Fixture> f(SpeedBar());
  QTest::keyClick(&f->slider, Qt::Key_Insert);
  QTest::keyClick(&f->slider, Qt::Key_A);
  EXPECT_TRUE(f->changes.empty());
  f->slider.setFocusPolicy(Qt::ClickFocus);
  QTest::keyClick(&f->slider, Qt::Key_Up);
  QTest::keyClick(&f->slider, Qt::Key_PageUp);
  EXPECT_TRUE(f->changes.empty());
  EXPECT_EQ(f->slider.position(), 0);
}

TEST_F(SliderTest, HeldKeyStepsOnEachRepeatAndReportsOnceAtTheRealRelease) {
  std::unique_ptr<Fixture> f(SpeedBar());
  // X11 delivers a release/press pair for every auto-repeat.
  SendKey(&f->slider, QEvent::KeyPress, Qt::Key_Up, false);
  for (int i = 0; i < 4; ++i) {
    SendKey(&f->slider, QEvent::KeyRelease, Qt::Key_Up, true);
    SendKey(&f->slider, QEvent::KeyPress, Qt::Key_Up, true);
  }
  EXPECT_EQ(f->slider.position(), 5);
  ASSERT_EQ(f->changes.size(), 5u);  // one per key-down, none for the repeat releases
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(f->changes[i].argument, double(i + 1));
    EXPECT_EQ(f->changes[i].positionThen, double(i));
  }
  SendKey(&f->slider, QEvent::KeyRelease, Qt::Key_Up, false);
  ASSERT_EQ(f->changes.size(), 6u);
  EXPECT_EQ(f->changes.back().argument, 5);
  EXPECT_EQ(f->changes.back().positionThen, 5);
}

TEST_F(SliderTest, WheelStepsOncePerMessageAndAlwaysReports) {
  const struct {
    double start;
    int delta;
    double after;
  } cases[] = {
      {10, 120, 11},      // away from the user: up
      {10, -120, 9},      // towards the user: down
      {10, 360, 11},      // a big turn is still one step
      {10, 15, 11},       // and so is a fine one
      {1000, 120, 1000},  // clamped at the top, still reported
      {-1000, -120, -1000},
      {999.5, 120, 1000},  // clamped, not refused
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(SpeedBar());
    f->slider.setPosition(c.start);
    f->changes.clear();
    SendWheel(&f->slider, c.delta);
    EXPECT_EQ(f->slider.position(), c.after) << c.start << " " << c.delta;
    ASSERT_EQ(f->changes.size(), 1u) << c.start << " " << c.delta;
    EXPECT_EQ(f->changes[0].argument, c.after);
  }
}

TEST_F(SliderTest, WheelCanBeSwitchedOff) {
  std::unique_ptr<Fixture> f(PositionBar(50));
  f->slider.setWheelControl(false);
  f->changes.clear();
  SendWheel(&f->slider, 120);
  SendWheel(&f->slider, -120);
  EXPECT_EQ(f->slider.position(), 50);
  EXPECT_TRUE(f->changes.empty());
}

TEST_F(SliderTest, ClickBesideTheThumbPagesTwice) {
  const struct {
    bool horizontal;
    double start;
    QPoint at;
    double after;
    size_t events;
  } cases[] = {
      {false, 0, {12, 20}, 2, 2},    // above the thumb: up by two steps
      {false, 0, {12, 150}, -2, 2},  // below it: down by two
      {true, 50, {20, 10}, 40, 2},   // left of it
      {true, 50, {240, 10}, 60, 2},  // right of it
      {true, 92, {249, 10}, 97, 1},  // the second step would leave the range
      {true, 97, {249, 10}, 97, 0},  // even the first would: nothing, not clamped
      {true, 50, {124, 10}, 50, 1},  // on the thumb: no paging, only the drag's final report
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(c.horizontal ? PositionBar(c.start) : SpeedBar());
    f->slider.setPosition(c.start);
    f->changes.clear();
    QTest::mousePress(&f->slider, Qt::LeftButton, Qt::NoModifier, c.at);
    QTest::mouseRelease(&f->slider, Qt::LeftButton, Qt::NoModifier, c.at);
    SCOPED_TRACE(testing::Message() << c.start << " at " << c.at.x() << "," << c.at.y());
    EXPECT_EQ(f->slider.position(), c.after);
    EXPECT_EQ(f->changes.size(), c.events);
    EXPECT_FALSE(f->slider.isRepeating());
  }
}

TEST_F(SliderTest, HeldPressRepeatsThePageStepUntilTheThumbReachesThePointer) {
  std::unique_ptr<Fixture> f(PositionBar(0));
  const QPoint at(130, 10);  // the value 52.4 lies under the pointer
  QTest::mousePress(&f->slider, Qt::LeftButton, Qt::NoModifier, at);
  EXPECT_TRUE(f->slider.isPaging());
  EXPECT_TRUE(f->slider.isRepeating());
  EXPECT_EQ(f->slider.position(), 5);
  std::vector<double> seen;
  for (int i = 0; i < 20; ++i) {
    f->slider.repeatTick();
    seen.push_back(f->slider.position());
  }
  // It climbs by 5 per beat and stops once the thumb lies under the pointer.
  EXPECT_EQ(seen[0], 10);
  EXPECT_EQ(seen[1], 15);
  const double stoppedAt = f->slider.position();
  EXPECT_TRUE(f->slider.thumbHitRect().contains(QPointF(at)));
  EXPECT_EQ(seen.back(), stoppedAt);
  QTest::mouseRelease(&f->slider, Qt::LeftButton, Qt::NoModifier, at);
  EXPECT_EQ(f->slider.position(), stoppedAt);
  EXPECT_FALSE(f->slider.isRepeating());
  f->slider.repeatTick();  // a late beat after release does nothing
  EXPECT_EQ(f->slider.position(), stoppedAt);
}

TEST_F(SliderTest, DraggingGivesFractionalValuesAndAFinalReport) {
  std::unique_ptr<Fixture> f(SpeedBar());
  const QPoint thumb = f->slider.thumbCenter().toPoint();
  QTest::mousePress(&f->slider, Qt::LeftButton, Qt::NoModifier, thumb);
  EXPECT_TRUE(f->slider.isDragging());
  f->slider.repeatTick();  // beats do nothing while dragging
  EXPECT_TRUE(f->changes.empty());

  QTest::mouseMove(&f->slider, QPoint(12, 50));
  const double dragged = f->slider.position();
  EXPECT_DOUBLE_EQ(dragged, f->slider.valueAt(50));
  EXPECT_NE(dragged, std::round(dragged));  // no snapping to the step
  QTest::mouseMove(&f->slider, QPoint(12, 50));  // no move of the value: no report
  ASSERT_EQ(f->changes.size(), 1u);

  QTest::mouseRelease(&f->slider, Qt::LeftButton, Qt::NoModifier, QPoint(12, 50));
  ASSERT_EQ(f->changes.size(), 2u);  // the final report, value unchanged
  EXPECT_EQ(f->changes.back().argument, dragged);
  EXPECT_FALSE(f->slider.isDragging());
}

TEST_F(SliderTest, PressAndReleaseSignalsComeBeforeTheSlidersOwnHandling) {
  std::unique_ptr<Fixture> f(PositionBar(50));
  QTest::mousePress(&f->slider, Qt::LeftButton, Qt::NoModifier, QPoint(240, 10));
  QTest::mouseRelease(&f->slider, Qt::LeftButton, Qt::NoModifier, QPoint(240, 10));
  const std::vector<std::string> expected = {"pressed at 50.000000", "changed", "released", "changed"};
  EXPECT_EQ(f->log, expected);

  std::unique_ptr<Fixture> g(PositionBar(50));
  const QPoint thumb = g->slider.thumbCenter().toPoint();
  QTest::mousePress(&g->slider, Qt::LeftButton, Qt::NoModifier, thumb);
  QTest::mouseRelease(&g->slider, Qt::LeftButton, Qt::NoModifier, thumb);
  const std::vector<std::string> drag = {"pressed at 50.000000", "released", "changed"};
  EXPECT_EQ(g->log, drag);
}

TEST_F(SliderTest, PositionToolTipWhileDragging) {
  std::unique_ptr<Fixture> f(SpeedBar());
  f->slider.setPositionToolTip(true);
  const QPoint thumb = f->slider.thumbCenter().toPoint();
  QTest::mousePress(&f->slider, Qt::LeftButton, Qt::NoModifier, thumb);
  EXPECT_EQ(f->slider.toolTipText(), "0.00");
  f->slider.setToolTipTextHook([](double v, QString& text) { text = QString::number(v, 'f', 0) + " %"; });
  QTest::mouseMove(&f->slider, QPoint(12, 13));
  EXPECT_EQ(f->slider.toolTipText(), "1000 %");
  QTest::mouseRelease(&f->slider, Qt::LeftButton, Qt::NoModifier, QPoint(12, 13));
  EXPECT_TRUE(f->slider.toolTipText().isEmpty());
}

TEST_F(SliderTest, ScaleIsTakenOnlyWhenPositive) {
  Slider s;
  s.setScale(1.5f);
  EXPECT_EQ(s.scale(), 1.5f);
  s.setScale(0);
  EXPECT_EQ(s.scale(), 1.5f);
}

TEST_F(SliderTest, KeysOnTheWindowsRangesIncludingPages) {
  // A page is ten steps or a tenth of the range, whichever is more: 240 on
  // the tempo bar, 200 on the treble bar, 50 (ten steps) on the position bar.
  enum Bar { Tempo, Treble, Position };
  const struct {
    Bar bar;
    double start;
    int key;
    double after;  // the key-down reports this while position() is still `start`
  } cases[] = {
      {Tempo, 0, Qt::Key_Up, 1},
      {Tempo, 0, Qt::Key_Down, -1},
      {Tempo, 0, Qt::Key_PageUp, 240},
      {Tempo, 0, Qt::Key_PageDown, -240},
      {Tempo, 1100, Qt::Key_PageUp, 1200},      // a page near the end stops at it
      {Tempo, -1000.5, Qt::Key_PageDown, -1200},
      {Tempo, 1200, Qt::Key_PageUp, 1200},      // at the end: the key-down reports nothing
      {Tempo, 0, Qt::Key_Home, -1200},
      {Tempo, 0, Qt::Key_End, 1200},
      {Treble, 100, Qt::Key_Up, 104},
      {Treble, 100, Qt::Key_Down, 96},
      {Treble, 100, Qt::Key_PageUp, 300},
      {Treble, 100, Qt::Key_PageDown, 0},
      {Treble, 0, Qt::Key_PageDown, 0},
      {Treble, 1900, Qt::Key_PageUp, 2000},
      {Treble, 2, Qt::Key_Down, 2},             // a step would leave the range: not made
      {Treble, 100, Qt::Key_Home, 0},
      {Treble, 100, Qt::Key_End, 2000},
      {Position, 20, Qt::Key_PageUp, 70},
      {Position, 20, Qt::Key_PageDown, 0},
      {Position, 20, Qt::Key_Right, 25},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(c.bar == Tempo ? TempoBar() : c.bar == Treble ? TrebleBar() : PositionBar(0));
    f->slider.setPosition(c.start);
    f->changes.clear();
    SCOPED_TRACE(testing::Message() << "bar " << c.bar << " from " << c.start << " key " << c.key);
    QTest::keyPress(&f->slider, Qt::Key(c.key));
    if (c.after == c.start) {
      EXPECT_TRUE(f->changes.empty());
    } else {
      ASSERT_EQ(f->changes.size(), 1u);
      EXPECT_EQ(f->changes[0].argument, c.after);
      EXPECT_EQ(f->changes[0].positionThen, c.start);
    }
    EXPECT_EQ(f->slider.position(), c.after);
    QTest::keyRelease(&f->slider, Qt::Key(c.key));
    ASSERT_FALSE(f->changes.empty());
    EXPECT_EQ(f->changes.back().argument, c.after);
    EXPECT_EQ(f->changes.back().positionThen, c.after);
  }
}

TEST_F(SliderTest, DoubleClickOnTheThumbResetsToTheCenter) {
  const struct {
    const char* what;
    bool horizontal;
    double center, start;
    bool resetOn;
    double after;
    std::vector<double> events;  // the first click's drag report, then the second's
  } cases[] = {
      {"speed bar", false, 0, 300, true, 0, {300, 0}},
      {"below the centre", false, 0, -640.5, true, 0, {-640.5, 0}},
      {"another centre", false, 250, -300, true, 250, {-300, 250}},
      {"already there: still reported", false, 0, 0, true, 0, {0, 0}},
      {"reset turned off", false, 0, 300, false, 300, {300, 300}},
      {"position bar", true, 0, 50, true, 0, {50, 0}},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(c.horizontal ? PositionBar(c.start) : SpeedBar());
    f->slider.setCenter(c.center);
    f->slider.setCenterReset(c.resetOn);
    f->slider.setPosition(c.start);
    f->changes.clear();
    DoubleClickCounter doubles(&f->slider);
    Hand hand(&f->slider);
    const QPoint thumb = f->slider.thumbCenter().toPoint();
    hand.click(thumb, Hand::apart());
    hand.click(thumb, Hand::kQuick);
    SCOPED_TRACE(c.what);
    EXPECT_EQ(doubles.count, 1);
    EXPECT_EQ(f->slider.position(), c.after);
    EXPECT_EQ(Arguments(f->changes), c.events);
    EXPECT_FALSE(f->slider.isDragging());
    EXPECT_FALSE(f->slider.isRepeating());
  }
}

TEST_F(SliderTest, CtrlClickAnywhereResetsToTheCenter) {
  const struct {
    const char* what;
    bool horizontal;
    double start;
    QPoint at;  // (-1, -1): wherever the thumb stands
    bool resetOn;
    double after;
    size_t events;
  } cases[] = {
      {"on the thumb", false, 300, {-1, -1}, true, 0, 1},
      {"above the thumb", false, 300, {12, 5}, true, 0, 1},
      {"below the thumb", false, 300, {12, 150}, true, 0, 1},
      {"position bar, right of the thumb", true, 50, {245, 10}, true, 0, 1},
      {"reset off: an ordinary click pages", false, 300, {12, 5}, false, 302, 2},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(c.horizontal ? PositionBar(c.start) : SpeedBar());
    f->slider.setCenterReset(c.resetOn);
    f->slider.setPosition(c.start);
    f->changes.clear();
    const QPoint at = c.at.x() < 0 ? f->slider.thumbCenter().toPoint() : c.at;
    QTest::mousePress(&f->slider, Qt::LeftButton, Qt::ControlModifier, at);
    EXPECT_EQ(f->slider.isRepeating(), !c.resetOn) << c.what;  // a reset is no held press
    QTest::mouseRelease(&f->slider, Qt::LeftButton, Qt::ControlModifier, at);
    EXPECT_EQ(f->slider.position(), c.after) << c.what;
    EXPECT_EQ(f->changes.size(), c.events) << c.what;
    EXPECT_EQ(f->changes.back().argument, c.after) << c.what;
    EXPECT_FALSE(f->slider.isDragging()) << c.what;
  }
}

TEST_F(SliderTest, QuickClicksOnTheTrackEachPage) {
  const struct {
    const char* what;
    bool horizontal;
    double start;
    QPoint at;
    int clicks;
    double after;
    size_t events;
  } cases[] = {
      // Two page steps per click, each reported.
      {"double-click above the thumb", false, 0, {12, 5}, 2, 4, 4},
      {"double-click below the thumb", false, 0, {12, 150}, 2, -4, 4},
      {"triple-click above", false, 0, {12, 5}, 3, 6, 6},
      {"double-click right of the thumb", true, 50, {245, 10}, 2, 70, 4},
      // The first click's step brings the thumb under the pointer (its hit
      // rectangle reaches x = 134.5 at 50, 145.9 at 55): the second press is a
      // drag there, not a reset, and reports 55 at its release.
      {"double-click just beside the thumb", true, 50, {136, 10}, 2, 55, 2},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(c.horizontal ? PositionBar(c.start) : SpeedBar());
    f->slider.setPosition(c.start);
    f->changes.clear();
    DoubleClickCounter doubles(&f->slider);
    Hand hand(&f->slider);
    for (int i = 0; i < c.clicks; ++i) hand.click(c.at, i == 0 ? Hand::apart() : Hand::kQuick);
    SCOPED_TRACE(c.what);
    EXPECT_GE(doubles.count, 1);
    EXPECT_EQ(f->slider.position(), c.after);
    EXPECT_EQ(f->changes.size(), c.events);
    EXPECT_FALSE(f->slider.isRepeating());
  }
}

TEST_F(SliderTest, ADragStartedRightAfterAClickFollowsThePointer) {
  const struct {
    const char* what;
    bool firstOnThumb;
    int moveBy;  // pixels up from where the second press lands
    bool reset;  // else the value under the pointer
  } cases[] = {
      {"after a click on the track", false, 40, false},
      {"after a click on the thumb", true, 40, false},
      {"a tremor of a double-click on the thumb is no drag", true, 1, true},
  };
  // Qt pairs two presses only when they are a few pixels apart at most.
  ASSERT_GE(QGuiApplication::styleHints()->mouseDoubleClickDistance(), 4);
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(SpeedBar());
    f->slider.setPosition(300);
    DoubleClickCounter doubles(&f->slider);
    Hand hand(&f->slider);
    // The track click lands just below the thumb, the press just inside it.
    const int edge = int(std::lround(f->slider.thumbHitRect().bottom()));
    const QPoint grab = c.firstOnThumb ? f->slider.thumbCenter().toPoint() : QPoint(12, edge - 2);
    hand.click(c.firstOnThumb ? grab : QPoint(12, edge + 2), Hand::apart());
    ASSERT_TRUE(f->slider.thumbHitRect().contains(grab));
    hand.press(grab, Hand::kQuick);
    SCOPED_TRACE(c.what);
    ASSERT_EQ(doubles.count, 1);
    EXPECT_TRUE(f->slider.isDragging());
    const QPoint to = grab - QPoint(0, c.moveBy);
    hand.move(to, 10);
    hand.release(to, 10);
    EXPECT_EQ(f->slider.position(), c.reset ? 0.0 : f->slider.valueAt(to.y()));
    EXPECT_EQ(f->changes.back().argument, f->slider.position());
  }
}

TEST_F(SliderTest, ADragNearTheCenterLandsExactlyOnIt) {
  // Speed bar: the centre 0 lies at y = 77.5, 500 at y = 45.25; one pixel is
  // 2000 / 129 = 15.5 units.
  const struct {
    double center;
    float scale;
    double snap;
    int y;
    bool onCenter;  // else exactly the value under the pointer
  } cases[] = {
      {0, 1, 4, 80, true},     // 2.5 px below
      {0, 1, 4, 74, true},     // 3.5 px above
      {0, 1, 4, 82, false},    // 4.5 px: outside
      {0, 1, 4, 73, false},
      {0, 2, 4, 84, true},     // 6.5 px at twice the scale: inside 8
      {0, 2, 4, 86, false},    // 8.5 px
      {0, 1, 0, 78, false},    // switched off: 0.5 px away still follows the pointer
      {500, 1, 4, 47, true},   // another centre
      {500, 1, 4, 40, false},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(SpeedBar());
    f->slider.setCenter(c.center);
    f->slider.setScale(c.scale);
    f->slider.setCenterSnap(c.snap);
    f->slider.setPosition(-800);
    f->changes.clear();
    const QPoint thumb = f->slider.thumbCenter().toPoint();
    QTest::mousePress(&f->slider, Qt::LeftButton, Qt::NoModifier, thumb);
    QTest::mouseMove(&f->slider, QPoint(12, c.y));
    const double expected = c.onCenter ? c.center : f->slider.valueAt(c.y);
    SCOPED_TRACE(testing::Message() << "centre " << c.center << " scale " << c.scale << " y " << c.y);
    EXPECT_EQ(f->slider.position(), expected);
    if (!c.onCenter) {
      EXPECT_NE(f->slider.position(), c.center);
    }
    QTest::mouseRelease(&f->slider, Qt::LeftButton, Qt::NoModifier, QPoint(12, c.y));
    EXPECT_EQ(f->changes.back().argument, expected);
  }

  // Passing through: the value leaves the centre with the pointer.
  std::unique_ptr<Fixture> f(SpeedBar());
  f->slider.setPosition(-800);
  QTest::mousePress(&f->slider, Qt::LeftButton, Qt::NoModifier, f->slider.thumbCenter().toPoint());
  QTest::mouseMove(&f->slider, QPoint(12, 79));
  EXPECT_EQ(f->slider.position(), 0);
  QTest::mouseMove(&f->slider, QPoint(12, 60));
  EXPECT_DOUBLE_EQ(f->slider.position(), f->slider.valueAt(60));
  QTest::mouseRelease(&f->slider, Qt::LeftButton, Qt::NoModifier, QPoint(12, 60));
}

TEST_F(SliderTest, FocusRingOnlyForTheKeyboard) {
  QWidget window;
  window.resize(100, 200);
  auto* a = new Slider(&window);
  auto* b = new Slider(&window);
  for (Slider* s : {a, b}) s->setRepeatInterval(24 * 3600 * 1000);
  a->setGeometry(0, 0, 25, 154);
  b->setGeometry(40, 0, 25, 154);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

  QTest::mouseClick(a, Qt::LeftButton, Qt::NoModifier, a->thumbCenter().toPoint());
  ASSERT_TRUE(a->hasFocus());
  EXPECT_FALSE(a->focusRingVisible());  // a click focuses without the ring

  QTest::keyClick(a, Qt::Key_Tab);
  ASSERT_TRUE(b->hasFocus());
  EXPECT_TRUE(b->focusRingVisible());
  EXPECT_FALSE(a->focusRingVisible());

  QTest::keyClick(b, Qt::Key_Backtab);
  ASSERT_TRUE(a->hasFocus());
  EXPECT_TRUE(a->focusRingVisible());
  EXPECT_FALSE(b->focusRingVisible());

  // The mouse on the focused slider hides it; the keyboard used on it brings it back.
  QTest::mouseClick(a, Qt::LeftButton, Qt::NoModifier, a->thumbCenter().toPoint());
  EXPECT_TRUE(a->hasFocus());
  EXPECT_FALSE(a->focusRingVisible());
  QTest::keyClick(a, Qt::Key_Up);
  EXPECT_TRUE(a->focusRingVisible());

  // Focus set by the program, or gone elsewhere: no ring.
  b->setFocus(Qt::OtherFocusReason);
  EXPECT_FALSE(b->focusRingVisible());
  EXPECT_FALSE(a->focusRingVisible());
}

TEST_F(SliderTest, EnterReturnAndF2AskForTheValueEditor) {
  const struct {
    int key;
    Qt::KeyboardModifiers modifiers;
    bool autoRepeat;
    int requests;
  } cases[] = {
      {Qt::Key_Return, Qt::NoModifier, false, 1},
      {Qt::Key_Enter, Qt::KeypadModifier, false, 1},
      {Qt::Key_F2, Qt::NoModifier, false, 1},
      {Qt::Key_Return, Qt::NoModifier, true, 0},  // a held key asks once
      {Qt::Key_Space, Qt::NoModifier, false, 0},
      {Qt::Key_Up, Qt::NoModifier, false, 0},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Fixture> f(SpeedBar());
    int requests = 0;
    QObject::connect(&f->slider, &Slider::valueEditRequested, [&] { ++requests; });
    QKeyEvent e(QEvent::KeyPress, c.key, c.modifiers, QString(), c.autoRepeat);
    QApplication::sendEvent(&f->slider, &e);
    EXPECT_EQ(requests, c.requests) << c.key;
    if (c.requests > 0) {
      EXPECT_TRUE(e.isAccepted()) << c.key;
      EXPECT_TRUE(f->changes.empty()) << c.key;
    }
  }
}

}  // namespace
