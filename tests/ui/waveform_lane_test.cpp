// The waveform lane: its input rules as a table of gestures in pixels and
// the actions they give, the flags' layout, the widget's signals under real
// mouse, wheel and key events, and what it paints from a generated song.
#include "ui/waveform_lane.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QPaintEvent>
#include <QStyleHints>
#include <QTest>
#include <QWheelEvent>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "testaudio.h"
#include "wait_until.h"
#include "widget_app.h"

void PrintTo(const LaneAction& a, std::ostream* os) {
  static const char* const kNames[] = {"None",       "Seek",       "SelectLoop",   "MoveLoopEdge", "MoveMarker",
                                       "RenameMarker", "DeleteMarker", "MarkerMenu", "ViewChanged"};
  *os << kNames[int(a.kind)] << "{ms " << a.ms << ", endMs " << a.endMs << ", index " << a.index << ", end "
      << a.end << "}";
}

namespace {

// ---- the input rules ----

// A lane 1000 px wide over a 100 s song: 100 ms per pixel while whole.
LaneGeometry TableGeometry() {
  LaneGeometry g;
  g.width = 1000;
  g.rulerHeight = 14;
  g.flagTop = 16;
  g.flagBottom = 30;
  g.tabTop = 70;
  g.tabBottom = 82;
  g.tabWidth = 12;
  g.grab = 4;
  g.clickSlop = 3;
  g.minFlagWidth = 8;
  return g;
}
constexpr int64_t kSongMs = 100000;
// Markers at 70 s and 80 s whose names need 60 and 150 px: flags over
// x 700 … 760 and 800 … 950.
const std::vector<int64_t> kMarkerMs = {70000, 80000};
const std::vector<double> kMarkerWidths = {60, 150};

struct Step {
  enum class Op { Press, Move, Release, DoubleClick, Wheel, Delete, Rename, Escape } op;
  double x = 0, y = 0;
  LaneInput::Button button = LaneInput::Button::Left;
  int delta = 0;
};
Step P(double x, double y) { return {Step::Op::Press, x, y}; }
Step Mid(double x, double y) { return {Step::Op::Press, x, y, LaneInput::Button::Middle}; }
Step Right(double x, double y) { return {Step::Op::Press, x, y, LaneInput::Button::Right}; }
Step M(double x, double y) { return {Step::Op::Move, x, y}; }
Step R(double x, double y) { return {Step::Op::Release, x, y}; }
Step D(double x, double y) { return {Step::Op::DoubleClick, x, y}; }
Step W(double x, int delta) { return {Step::Op::Wheel, x, 50, LaneInput::Button::Left, delta}; }
const Step kDelete{Step::Op::Delete}, kF2{Step::Op::Rename}, kEscape{Step::Op::Escape};

using Kind = LaneAction::Kind;
LaneAction Seek(int64_t ms) { return {Kind::Seek, ms}; }
LaneAction Select(int64_t a, int64_t b) { return {Kind::SelectLoop, a, b}; }
LaneAction Edge(bool end, int64_t ms) { return {Kind::MoveLoopEdge, ms, 0, -1, end}; }
LaneAction Moved(int index, int64_t ms) { return {Kind::MoveMarker, ms, 0, index}; }
LaneAction Rename(int index) { return {Kind::RenameMarker, 0, 0, index}; }
LaneAction Delete(int index) { return {Kind::DeleteMarker, 0, 0, index}; }
LaneAction Menu(int index) { return {Kind::MarkerMenu, 0, 0, index}; }
const LaneAction kView{Kind::ViewChanged};

struct View {
  double from = 0, span = double(kSongMs);
};
constexpr View kWhole{};
constexpr View kZoomed{20000, 50000};  // 50 ms per pixel
constexpr View kAtLoop{29000, 22000};  // the loop 30 … 50 s and 5 % each side

struct Loop {
  int64_t a = 30000, b = 50000;
};

struct Row {
  const char* rule;
  View start;
  Loop loop;
  std::vector<Step> steps;
  std::vector<LaneAction> actions;
  View end;
};

std::vector<LaneAction> Play(LaneInput& input, const std::vector<Step>& steps) {
  std::vector<LaneAction> out;
  for (const Step& s : steps) {
    LaneAction a;
    switch (s.op) {
      case Step::Op::Press:
        a = input.press(s.button, s.x, s.y);
        break;
      case Step::Op::Move:
        a = input.move(s.x, s.y);
        break;
      case Step::Op::Release:
        a = input.release(s.x, s.y);
        break;
      case Step::Op::DoubleClick:
        a = input.doubleClick(s.x, s.y);
        break;
      case Step::Op::Wheel:
        a = input.wheel(s.x, s.delta);
        break;
      case Step::Op::Delete:
        a = input.deleteKey();
        break;
      case Step::Op::Rename:
        a = input.renameKey();
        break;
      case Step::Op::Escape:
        input.cancel();
        break;
    }
    if (a.kind != Kind::None) out.push_back(a);
  }
  return out;
}

LaneInput TableInput(const View& view, const Loop& loop) {
  LaneInput input;
  input.setLength(kSongMs);
  input.setGeometry(TableGeometry());
  input.setLoop(loop.a, loop.b);
  input.setMarkers(kMarkerMs, kMarkerWidths);
  input.showView(view.from, view.span);
  return input;
}

TEST(WaveformLaneInput, GesturesGiveTheirActions) {
  const Loop none{-1, -1};
  const Row rows[] = {
      // Clicks.
      {"a click on the wave seeks where it was pressed", kWhole, {}, {P(100, 50), R(100, 50)}, {Seek(10000)}, kWhole},
      {"a tremor within the slop is still a click", kWhole, {}, {P(100, 50), M(103, 50), R(102, 50)}, {Seek(10000)}, kWhole},
      {"a click in the ruler seeks too", kWhole, {}, {P(500, 5), R(500, 5)}, {Seek(50000)}, kWhole},
      {"a click near a loop edge seeks to the edge", kWhole, {}, {P(303, 50), R(303, 50)}, {Seek(30000)}, kWhole},
      {"a click on A's tab, inside the loop, seeks to A", kWhole, {}, {P(310, 75), R(310, 75)}, {Seek(30000)}, kWhole},
      {"a click on a flag seeks to its marker", kWhole, {}, {P(740, 20), R(740, 20)}, {Seek(70000)}, kWhole},
      {"below the flags the same x is the wave", kWhole, {}, {P(740, 50), R(740, 50)}, {Seek(74000)}, kWhole},
      // Selecting a loop.
      {"a drag past the slop selects from press to pointer", kWhole, {}, {P(100, 50), M(104, 50), R(200, 50)},
       {Select(10000, 20000)}, kWhole},
      {"a drag leftwards selects the same loop", kWhole, {}, {P(200, 50), M(150, 50), R(100, 50)},
       {Select(10000, 20000)}, kWhole},
      {"a selection stops at the song's end", kWhole, {}, {P(900, 50), R(1100, 50)}, {Select(90000, 100000)}, kWhole},
      {"zoomed, a selection is in the view's times", kZoomed, {}, {P(100, 50), R(300, 50)}, {Select(25000, 35000)},
       kZoomed},
      // Trimming the loop.
      {"a drag near A trims A without a jump", kWhole, {}, {P(302, 50), M(280, 50), R(250, 50)}, {Edge(false, 24800)},
       kWhole},
      {"A stops at B", kWhole, {}, {P(300, 50), R(650, 50)}, {Edge(false, 50000)}, kWhole},
      {"B's tab, 5 px inside the loop, trims B", kWhole, {}, {P(495, 75), R(520, 75)}, {Edge(true, 52500)}, kWhole},
      {"B stops at the song's end", kWhole, {}, {P(500, 50), R(1200, 50)}, {Edge(true, 100000)}, kWhole},
      {"B stops at A", kWhole, {}, {P(500, 50), R(100, 50)}, {Edge(true, 30000)}, kWhole},
      {"ends on one spot: right of it takes B", kWhole, {30000, 30000}, {P(302, 50), R(320, 50)}, {Edge(true, 31800)},
       kWhole},
      {"ends on one spot: left of it takes A", kWhole, {30000, 30000}, {P(298, 50), R(280, 50)}, {Edge(false, 28200)},
       kWhole},
      {"A alone trims anywhere in the song", kWhole, {30000, -1}, {P(300, 50), R(900, 50)}, {Edge(false, 90000)},
       kWhole},
      // Markers.
      {"a drag on a flag moves its marker", kWhole, {}, {P(740, 20), M(700, 20), R(600, 20)}, {Moved(0, 56000)},
       kWhole},
      {"a drag near a marker's line moves it", kWhole, {}, {P(801, 60), R(851, 60)}, {Moved(1, 85000)}, kWhole},
      {"a marker stops at the song's start", kWhole, {}, {P(801, 60), R(-300, 60)}, {Moved(1, 0)}, kWhole},
      {"a right press on a marker asks for its menu", kWhole, {}, {Right(801, 60), R(801, 60)}, {Menu(1)}, kWhole},
      {"a right press on the wave does nothing", kWhole, {}, {Right(100, 50), R(100, 50)}, {}, kWhole},
      {"Delete after a click on a flag", kWhole, {}, {P(740, 20), R(740, 20), kDelete}, {Seek(70000), Delete(0)},
       kWhole},
      {"F2 after a click on a flag", kWhole, {}, {P(850, 20), R(850, 20), kF2}, {Seek(80000), Rename(1)}, kWhole},
      {"Delete with no marker selected does nothing", kWhole, {}, {P(100, 50), R(100, 50), kDelete}, {Seek(10000)},
       kWhole},
      {"a click on the wave drops the selected marker", kWhole, {},
       {P(740, 20), R(740, 20), P(100, 50), R(100, 50), kDelete}, {Seek(70000), Seek(10000)}, kWhole},
      // Scrolling.
      {"at the whole song a ruler drag does nothing", kWhole, {}, {P(500, 5), M(600, 5), R(600, 5)}, {}, kWhole},
      {"zoomed, a ruler drag scrolls", kZoomed, {}, {P(500, 5), M(400, 5), R(400, 5)}, {kView}, {25000, 50000}},
      {"zoomed, a middle drag scrolls anywhere", kZoomed, {}, {Mid(500, 50), M(700, 50), R(700, 50)}, {kView},
       {10000, 50000}},
      {"a scroll stops at the song's start", kZoomed, {}, {P(200, 5), R(900, 5)}, {kView}, {0, 50000}},
      {"a middle click does nothing", kWhole, {}, {Mid(500, 50), R(500, 50)}, {}, kWhole},
      // The wheel.
      {"a notch in zooms around the pointer", kWhole, {}, {W(250, 120)}, {kView}, {5000, 80000}},
      {"three notches at the left edge", kWhole, {}, {W(0, 360)}, {kView}, {0, 51200}},
      {"zooming in stops at a second", kWhole, {}, {W(500, 120 * 40)}, {kView}, {49500, 1000}},
      {"zooming out stops at the whole song", kWhole, {}, {W(250, -120)}, {}, kWhole},
      {"zooming out near the end keeps the end in view", {90000, 10000}, {}, {W(900, -120)}, {kView},
       {87500, 12500}},
      {"the wheel waits for a drag to end", kWhole, {}, {P(100, 50), M(200, 50), W(500, 120), R(300, 50)},
       {Select(10000, 30000)}, kWhole},
      // Double-clicks: Qt's press, release, double-click, release.
      {"a double-click zooms to the loop", kWhole, {}, {P(100, 50), R(100, 50), D(100, 50), R(100, 50)},
       {Seek(10000), kView}, kAtLoop},
      {"a double-click at the loop shows the whole song", kAtLoop, {},
       {P(100, 50), R(100, 50), D(100, 50), R(100, 50)}, {Seek(31200), kView}, kWhole},
      {"with no loop a double-click shows the whole song", kZoomed, none,
       {P(100, 50), R(100, 50), D(100, 50), R(100, 50)}, {Seek(25000), kView}, kWhole},
      {"a double-click on a flag asks to rename it", kWhole, {}, {P(740, 20), R(740, 20), D(740, 20), R(740, 20)},
       {Seek(70000), Rename(0)}, kWhole},
      // Escape.
      {"Escape drops a selection under way", kWhole, {}, {P(100, 50), M(200, 50), kEscape, R(300, 50)}, {}, kWhole},
      {"Escape puts a scrolled view back", kZoomed, {}, {P(500, 5), M(400, 5), kEscape, R(300, 5)}, {kView},
       kZoomed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rule);
    LaneInput input = TableInput(row.start, row.loop);
    EXPECT_EQ(Play(input, row.steps), row.actions);
    EXPECT_DOUBLE_EQ(input.view().fromMs(), row.end.from);
    EXPECT_DOUBLE_EQ(input.view().spanMs(), row.end.span);
    EXPECT_EQ(input.gesture(), LaneGesture::None);
  }
}

TEST(WaveformLaneInput, DragsShowLiveBeforeTheRelease) {
  {
    LaneInput input = TableInput(kWhole, {});
    input.press(LaneInput::Button::Left, 200, 50);
    input.move(120, 50);
    EXPECT_EQ(input.gesture(), LaneGesture::Selecting);
    EXPECT_EQ(input.shownA(), 12000);
    EXPECT_EQ(input.shownB(), 20000);
    EXPECT_EQ(input.loopA(), 30000) << "the owner's loop stays until it answers";
  }
  {
    LaneInput input = TableInput(kWhole, {});
    input.press(LaneInput::Button::Left, 500, 50);
    input.move(560, 50);
    EXPECT_EQ(input.gesture(), LaneGesture::TrimmingB);
    EXPECT_EQ(input.shownA(), 30000);
    EXPECT_EQ(input.shownB(), 56000);
  }
  {
    // The flag travels with its marker, squeezed by the next one.
    LaneInput input = TableInput(kWhole, {});
    input.press(LaneInput::Button::Left, 710, 20);
    input.move(770, 20);
    EXPECT_EQ(input.gesture(), LaneGesture::MovingMarker);
    EXPECT_EQ(input.shownMarkerMs(0), 76000);
    EXPECT_DOUBLE_EQ(input.flags()[0].left, 760);
    EXPECT_DOUBLE_EQ(input.flags()[0].right, 799);
    // A new set of markers from the owner ends the drag.
    input.setMarkers(std::vector<int64_t>{70000}, std::vector<double>{60});
    EXPECT_EQ(input.gesture(), LaneGesture::Ignored);
    EXPECT_EQ(input.release(600, 20), LaneAction{});
  }
}

TEST(WaveformLaneInput, FlagsShareTheRoomBetweenMarkers) {
  const struct {
    const char* layout;
    std::vector<double> xs, widths;
    std::vector<LaneFlag> flags;
  } cases[] = {
      {"roomy: whole names", {100, 400}, {50, 80}, {{100, 150, true}, {400, 480, true}}},
      {"crowded: cut at the next line", {100, 130}, {50, 80}, {{100, 129, true}, {130, 210, true}}},
      {"very crowded: the least flag", {100, 104}, {50, 80}, {{100, 108, true}, {104, 184, true}}},
      {"out of view: hidden", {-5, 1005, 500}, {50, 50, 80}, {{0, 0, false}, {0, 0, false}, {500, 580, true}}},
      {"the last at the edge turns left", {100, 980}, {50, 80}, {{100, 150, true}, {900, 980, true}}},
      {"no room on either side: stays right", {960, 990}, {50, 80}, {{960, 989, true}, {990, 1000, true}}},
      {"on one spot: the first is squeezed", {300, 300}, {50, 50}, {{300, 308, true}, {300, 350, true}}},
      {"no name: the least flag", {100}, {0}, {{100, 108, true}}},
      {"given in any order", {400, 100}, {80, 50}, {{400, 480, true}, {100, 150, true}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout);
    std::vector<LaneFlag> out;
    LayOutFlags(c.xs, c.widths, 1000, 8, 1, out);
    ASSERT_EQ(out.size(), c.flags.size());
    for (size_t i = 0; i < out.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(out[i].visible, c.flags[i].visible);
      if (!c.flags[i].visible) continue;
      EXPECT_DOUBLE_EQ(out[i].left, c.flags[i].left);
      EXPECT_DOUBLE_EQ(out[i].right, c.flags[i].right);
    }
  }
}

TEST(WaveformLaneInput, ThePlayheadIsFollowedWhenItLeavesTheView) {
  // 20 … 40 s: the playhead pages to a tenth of the span in from the left.
  constexpr View kNarrow{20000, 20000};
  const struct {
    const char* when;
    View view;
    bool dragging;
    int64_t before, now;
    bool pages;
    double from;
  } cases[] = {
      {"the whole song never pages", kWhole, false, 60000, 99000, false, 0},
      {"playing on past the right edge", kNarrow, false, 39000, 40100, true, 38100},
      {"looping back before the left edge", kNarrow, false, 39000, 15000, true, 13000},
      {"near the end the view stops at it", kNarrow, false, 39000, 99500, true, 80000},
      {"still inside", kNarrow, false, 25000, 39000, false, 20000},
      {"scrolled away by hand: left alone", kNarrow, false, 10000, 45000, false, 20000},
      {"never during a drag", kNarrow, true, 39000, 40100, false, 20000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    LaneInput input = TableInput(c.view, {});
    if (c.dragging) input.press(LaneInput::Button::Left, 100, 50);
    EXPECT_EQ(input.followPlayhead(c.before, c.now), c.pages);
    EXPECT_DOUBLE_EQ(input.view().fromMs(), c.from);
    EXPECT_DOUBLE_EQ(input.view().spanMs(), c.view.span);
  }
}

TEST(WaveformLaneInput, ShortSongsZoomNoFurtherThanThemselves) {
  LaneInput input;
  input.setLength(600);
  input.setGeometry(TableGeometry());
  EXPECT_EQ(input.wheel(500, 480), LaneAction{});
  EXPECT_DOUBLE_EQ(input.view().spanMs(), 600);
  EXPECT_EQ(Play(input, {P(500, 50), R(500, 50)}), std::vector<LaneAction>{Seek(300)});
  // No song: nothing is hit.
  LaneInput empty;
  empty.setGeometry(TableGeometry());
  EXPECT_EQ(Play(empty, {P(500, 50), R(500, 50), W(500, 120)}), std::vector<LaneAction>{});
}

TEST(WaveformLaneInput, TimesAreShownToTheTenth) {
  const struct {
    int64_t ms;
    const char* text;
  } cases[] = {{0, "0:00.0"},       {65349, "1:05.3"},  {59999, "0:59.9"},
               {600000, "10:00.0"}, {3725300, "1:02:05.3"}, {-5, "0:00.0"}};
  for (const auto& c : cases) EXPECT_EQ(LaneTimeText(c.ms), c.text) << c.ms;
}

// ---- the widget ----

// The mouse as the platform reports it, with explicit timestamps, so that
// Qt itself decides which press of a quick pair becomes a double-click.
class Hand {
 public:
  explicit Hand(QWidget* widget) : widget_(widget) {}

  void press(QPoint at, int msLater, Qt::MouseButton button = Qt::LeftButton) {
    held_ = button;
    send(at, msLater, QEvent::MouseButtonPress, button, button);
  }
  void move(QPoint at, int msLater) { send(at, msLater, QEvent::MouseMove, held_, Qt::NoButton); }
  void release(QPoint at, int msLater) {
    const Qt::MouseButton button = held_;
    held_ = Qt::NoButton;
    send(at, msLater, QEvent::MouseButtonRelease, Qt::NoButton, button);
  }
  void click(QPoint at, int msLater) {
    press(at, msLater);
    release(at, kQuick);
  }
  void drag(QPoint from, QPoint to) {
    press(from, apart());
    move(QPoint((from.x() + to.x()) / 2, to.y()), kQuick);
    move(to, kQuick);
    release(to, kQuick);
  }
  static int apart() { return QGuiApplication::styleHints()->mouseDoubleClickInterval() + 200; }
  static constexpr int kQuick = 40;

 private:
  void send(QPoint at, int msLater, QEvent::Type type, Qt::MouseButtons state, Qt::MouseButton button) {
    clock_ += msLater;
    QWindow* window = widget_->window()->windowHandle();
    ASSERT_NE(window, nullptr);
    const QPointF local = widget_->mapTo(widget_->window(), QPointF(at));
    qt_handleMouseEvent(window, local, window->mapToGlobal(local), state, button, type, Qt::NoModifier, clock_);
  }

  QWidget* widget_;
  Qt::MouseButton held_ = Qt::NoButton;
  // Far ahead of QTest's own clock and of the other tests' hands.
  static inline int clock_ = 2'000'000'000 / 2;
};

void SendWheel(QWidget* w, QPointF at, int delta) {
  QWheelEvent e(at, w->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                false);
  QApplication::sendEvent(w, &e);
}

// What the lane asked for, in order.
struct Heard {
  std::vector<std::string> log;

  explicit Heard(WaveformLane& lane) {
    const auto say = [this](std::string s) { log.push_back(std::move(s)); };
    QObject::connect(&lane, &WaveformLane::seekRequested, [say](int64_t ms) { say("seek " + std::to_string(ms)); });
    QObject::connect(&lane, &WaveformLane::loopSelected,
                     [say](int64_t a, int64_t b) { say("loop " + std::to_string(a) + " " + std::to_string(b)); });
    QObject::connect(&lane, &WaveformLane::loopEdgeMoved, [say](bool end, int64_t ms) {
      say(std::string(end ? "B " : "A ") + std::to_string(ms));
    });
    QObject::connect(&lane, &WaveformLane::markerMoved,
                     [say](int i, int64_t ms) { say("marker " + std::to_string(i) + " " + std::to_string(ms)); });
    QObject::connect(&lane, &WaveformLane::markerRenameRequested, [say](int i) { say("rename " + std::to_string(i)); });
    QObject::connect(&lane, &WaveformLane::markerDeleteRequested, [say](int i) { say("delete " + std::to_string(i)); });
  }
};

// A shown lane 1000 px wide over a 100 s song with no outline, a loop from
// 30 to 50 s and markers at 70 and 80 s.
struct LaneFixture {
  WaveformLane lane;
  Heard heard{lane};

  explicit LaneFixture(float scale = 1.0f) {
    lane.setScale(scale);
    lane.resize(1000, WaveformLane::heightAt(scale));
    lane.setSummary(nullptr, 1000, kSongMs);
    lane.setLoop(30000, 50000, true);
    lane.setMarkers({{70000, QStringLiteral("Verse 2")}, {80000, QStringLiteral("Solo")}});
    lane.show();
  }
  // A point on the wave below the flags and above the tabs.
  int waveY() const { return lane.centreRow(); }
  int flagY() const { return int(lane.input().geometry().flagTop) + 3; }
};

class WaveformLaneWidget : public ::testing::Test {
 protected:
  void SetUp() override { pwtest::EnsureWidgetApp(); }
};

TEST_F(WaveformLaneWidget, MouseGesturesBecomeSignals) {
  const struct {
    const char* gesture;
    float scale;
    std::function<void(Hand&, const LaneFixture&)> act;
    std::vector<std::string> heard;
  } cases[] = {
      {"a click seeks", 1.0f, [](Hand& h, const LaneFixture& f) { h.click({250, f.waveY()}, Hand::apart()); },
       {"seek 25000"}},
      {"a click at 1.5 seeks", 1.5f, [](Hand& h, const LaneFixture& f) { h.click({655, f.waveY()}, Hand::apart()); },
       {"seek 65500"}},
      {"a drag selects", 1.0f, [](Hand& h, const LaneFixture& f) { h.drag({100, f.waveY()}, {300, f.waveY()}); },
       {"loop 10000 30000"}},
      {"a drag on B trims it", 1.0f, [](Hand& h, const LaneFixture& f) { h.drag({500, f.waveY()}, {600, f.waveY()}); },
       {"B 60000"}},
      {"a drag on a flag moves the marker", 1.0f,
       [](Hand& h, const LaneFixture& f) { h.drag({720, f.flagY()}, {620, f.flagY()}); }, {"marker 0 60000"}},
      {"at 1.5 the grab reaches 6 px", 1.5f,
       [](Hand& h, const LaneFixture& f) { h.drag({306, f.waveY()}, {206, f.waveY()}); }, {"A 20000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gesture);
    LaneFixture f(c.scale);
    Hand hand(&f.lane);
    c.act(hand, f);
    EXPECT_EQ(f.heard.log, c.heard);
  }
}

TEST_F(WaveformLaneWidget, TheRulerIsTallerAtLargerScalesAndScrollsWhenZoomed) {
  // y = 18 lies in the ruler at 1.5 (21 px) but on the wave at 1.0 (14 px):
  // the same drag scrolls there and selects here.
  for (const float scale : {1.0f, 1.5f}) {
    SCOPED_TRACE(scale);
    LaneFixture f(scale);
    SendWheel(&f.lane, QPointF(500, f.waveY()), 240);
    ASSERT_TRUE(f.lane.view().zoomed());
    const double fromBefore = f.lane.view().fromMs();
    Hand hand(&f.lane);
    hand.drag({650, 18}, {550, 18});
    if (scale == 1.0f) {
      EXPECT_EQ(f.heard.log, std::vector<std::string>{"loop 53200 59600"});
      EXPECT_DOUBLE_EQ(f.lane.view().fromMs(), fromBefore);
    } else {
      EXPECT_TRUE(f.heard.log.empty());
      EXPECT_DOUBLE_EQ(f.lane.view().fromMs(), fromBefore + 100 * f.lane.view().spanMs() / 1000);
    }
  }
}

TEST_F(WaveformLaneWidget, TheWheelKeepsTheTimeUnderThePointer) {
  for (const double x : {0.0, 137.0, 500.0, 999.0}) {
    SCOPED_TRACE(x);
    LaneFixture f;
    SendWheel(&f.lane, QPointF(500, f.waveY()), 120);  // zoomed in a little first
    for (const int delta : {360, -120, 120 * 40}) {
      const double before = f.lane.view().msAt(x, 1000);
      const double span = f.lane.view().spanMs();
      SendWheel(&f.lane, QPointF(x, f.waveY()), delta);
      EXPECT_NEAR(f.lane.view().msAt(x, 1000), before, 1e-6);
      EXPECT_NEAR(f.lane.view().spanMs(), std::max(1000.0, span * std::pow(1.25, -delta / 120.0)), 1e-6);
    }
  }
}

TEST_F(WaveformLaneWidget, DoubleClickZoomsToTheLoopAndBack) {
  LaneFixture f;
  Hand hand(&f.lane);
  const QPoint at(100, f.waveY());
  hand.click(at, Hand::apart());
  hand.click(at, Hand::kQuick);  // Qt turns this press into a double-click
  EXPECT_DOUBLE_EQ(f.lane.view().fromMs(), 29000);
  EXPECT_DOUBLE_EQ(f.lane.view().spanMs(), 22000);
  // The second click of the pair seeks no more.
  EXPECT_EQ(f.heard.log, std::vector<std::string>{"seek 10000"});
  hand.click(at, Hand::apart());
  hand.click(at, Hand::kQuick);
  EXPECT_FALSE(f.lane.view().zoomed());
  // The owner's way in, too.
  f.lane.zoomToLoop();
  EXPECT_DOUBLE_EQ(f.lane.view().fromMs(), 29000);
  f.lane.showWholeSong();
  EXPECT_FALSE(f.lane.view().zoomed());
}

TEST_F(WaveformLaneWidget, MarkersAreRenamedAndDeletedFromTheMenuAndKeys) {
  LaneFixture f;
  Hand hand(&f.lane);
  hand.press({802, f.waveY()}, Hand::apart(), Qt::RightButton);
  hand.release({802, f.waveY()}, Hand::kQuick);
  ASSERT_NE(f.lane.markerMenu(), nullptr);
  EXPECT_TRUE(f.lane.markerMenu()->isVisible());
  f.lane.markerMenu()->findChild<QAction*>(QStringLiteral("renameMarker"))->trigger();
  f.lane.markerMenu()->findChild<QAction*>(QStringLiteral("deleteMarker"))->trigger();
  f.lane.markerMenu()->hide();
  EXPECT_EQ(f.heard.log, (std::vector<std::string>{"rename 1", "delete 1"}));

  f.heard.log.clear();
  hand.click({720, f.flagY()}, Hand::apart());
  QTest::keyClick(&f.lane, Qt::Key_F2);
  QTest::keyClick(&f.lane, Qt::Key_Delete);
  hand.click({720, f.flagY()}, Hand::apart());
  hand.click({720, f.flagY()}, Hand::kQuick);
  EXPECT_EQ(f.heard.log, (std::vector<std::string>{"seek 70000", "rename 0", "delete 0", "seek 70000", "rename 0"}));
}

TEST_F(WaveformLaneWidget, TheTimeUnderThePointerFollowsIt) {
  LaneFixture f;
  std::vector<int64_t> hovered;
  QObject::connect(&f.lane, &WaveformLane::hoveredMsChanged, [&](int64_t ms) { hovered.push_back(ms); });
  Hand hand(&f.lane);
  hand.move({655, f.waveY()}, Hand::apart());
  EXPECT_EQ(f.lane.hoveredMs(), 65500);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&f.lane, &leave);
  EXPECT_EQ(hovered, (std::vector<int64_t>{65500, -1}));
  EXPECT_EQ(f.lane.hoveredMs(), -1);
}

// ---- painting ----

// 10 s at 48 kHz, stereo: silence for 5 s, then a 440 Hz sine of amplitude
// 0.5 (RMS 0.354).
constexpr int kRate = 48000;
constexpr int64_t kFrames = 10 * kRate;

void FeedSong(WaveformSummary& summary, int64_t from, int64_t to) {
  std::vector<float> block;
  for (int64_t at = from; at < to; at += 4001) {
    const int64_t n = std::min<int64_t>(4001, to - at);
    block.assign(size_t(n * 2), 0.0f);
    for (int64_t i = 0; i < n; ++i) {
      const int64_t frame = at + i;
      if (frame < kFrames / 2) continue;
      const float v = float(0.5 * std::sin(2 * M_PI * 440.0 * double(frame) / kRate));
      block[size_t(2 * i)] = v;
      block[size_t(2 * i + 1)] = v;
    }
    summary.append(block.data(), n);
  }
}

bool IsWave(QRgb pixel) { return pixel == LaneColors::kPeak || pixel == LaneColors::kRms; }

// The rows of a column in the wave's colours: how far the peak and RMS
// bands reach above and below the centre row (-1: none).
struct Bands {
  int peakUp = -1, peakDown = -1, rmsUp = -1, rmsDown = -1;
};
Bands BandsAt(const QImage& image, int x, int centre, int half) {
  Bands b;
  for (int d = 0; d <= half; ++d) {
    if (image.pixel(x, centre - d) == LaneColors::kPeak || image.pixel(x, centre - d) == LaneColors::kRms) b.peakUp = d;
    if (image.pixel(x, centre + d) == LaneColors::kPeak || image.pixel(x, centre + d) == LaneColors::kRms) b.peakDown = d;
    if (image.pixel(x, centre - d) == LaneColors::kRms) b.rmsUp = d;
    if (image.pixel(x, centre + d) == LaneColors::kRms) b.rmsDown = d;
  }
  return b;
}

TEST_F(WaveformLaneWidget, PaintsTheOutlineThePlayheadAndNothingWhereItIsSilent) {
  WaveformSummary summary(2, kFrames);
  FeedSong(summary, 0, kFrames);
  summary.finish();
  for (const float scale : {1.0f, 1.5f}) {
    SCOPED_TRACE(scale);
    WaveformLane lane;
    lane.setScale(scale);
    lane.resize(500, WaveformLane::heightAt(scale));
    lane.setSummary(&summary, kRate, kFrames);
    lane.setPlayheadMs(7500);  // x 375 of 500
    lane.show();
    EXPECT_FALSE(lane.polling());
    const QImage image = lane.grab().toImage();
    ASSERT_EQ(image.size(), lane.size());
    const int centre = lane.centreRow(), half = lane.waveHalfHeight();
    ASSERT_GT(half, 20);
    const int top = lane.input().geometry().rulerHeight;
    // The silent half: not one pixel of the wave.
    for (int x = 2; x < 249; ++x)
      for (int y = top; y < lane.height() - 1; ++y) ASSERT_FALSE(IsWave(image.pixel(x, y))) << x << ", " << y;
    // The loud half: mirrored bands as tall as the peak and the RMS.
    const int peak = int(std::lround(0.5 * half)), rms = int(std::lround(0.5 / std::sqrt(2.0) * half));
    for (int x : {255, 300, 420, 497}) {
      SCOPED_TRACE(x);
      const Bands b = BandsAt(image, x, centre, half);
      EXPECT_NEAR(b.peakUp, peak, 1);
      EXPECT_EQ(b.peakDown, b.peakUp);
      EXPECT_NEAR(b.rmsUp, rms, 1);
      EXPECT_EQ(b.rmsDown, b.rmsUp);
      EXPECT_EQ(image.pixel(x, centre - b.peakUp), LaneColors::kPeak);
    }
    // The playhead: its column white from the ruler to the foot, not beside it.
    const int line = std::max(1, int(std::lround(scale)));
    for (int y : {top + 1, centre - half, centre + half}) {
      SCOPED_TRACE(y);
      for (int dx = 0; dx < line; ++dx) EXPECT_EQ(image.pixel(375 - (line - 1) / 2 + dx, y), LaneColors::kPlayhead);
      EXPECT_NE(image.pixel(375 + line + 1, y), LaneColors::kPlayhead);
      EXPECT_NE(image.pixel(375 - line - 1, y), LaneColors::kPlayhead);
    }
  }
}

TEST_F(WaveformLaneWidget, DrawsWhatIsSummarisedWhileTheRestArrives) {
  WaveformSummary summary(2, kFrames);
  WaveformLane lane;
  lane.resize(500, WaveformLane::heightAt(1.0f));
  lane.setSummary(&summary, kRate, kFrames);
  lane.show();
  EXPECT_TRUE(lane.polling());
  // Three quarters arrive: the loud part up to 7.5 s shows, the rest not yet.
  FeedSong(summary, 0, kFrames * 3 / 4);
  QImage image = lane.grab().toImage();
  const int centre = lane.centreRow();
  EXPECT_TRUE(IsWave(image.pixel(300, centre - 3)));
  EXPECT_FALSE(IsWave(image.pixel(450, centre - 3)));
  EXPECT_TRUE(lane.polling());
  FeedSong(summary, kFrames * 3 / 4, kFrames);
  summary.finish();
  ASSERT_TRUE(pwtest::WaitUntil([&] {
    QCoreApplication::processEvents();
    return !lane.polling();
  }));
  image = lane.grab().toImage();
  EXPECT_TRUE(IsWave(image.pixel(450, centre - 3)));
}

TEST_F(WaveformLaneWidget, PaintsWhileAnotherThreadFillsTheSummary) {
  WaveformSummary summary(2, kFrames);
  WaveformLane lane;
  lane.resize(500, WaveformLane::heightAt(1.0f));
  lane.setSummary(&summary, kRate, kFrames);
  lane.show();
  std::jthread writer([&summary] {
    for (int64_t at = 0; at < kFrames; at += kFrames / 40) FeedSong(summary, at, std::min(kFrames, at + kFrames / 40));
    summary.finish();
  });
  // The window's side: painting whenever it likes until the lane stops polling.
  ASSERT_TRUE(pwtest::WaitUntil([&] {
    QCoreApplication::processEvents();
    lane.grab();
    return !lane.polling();
  }));
  writer.join();
  const QImage image = lane.grab().toImage();
  for (int x : {260, 380, 495}) EXPECT_TRUE(IsWave(image.pixel(x, lane.centreRow() - 3))) << x;
  EXPECT_FALSE(IsWave(image.pixel(100, lane.centreRow() - 3)));
}

// Records the rectangles the lane is asked to paint.
class PaintLog : public QObject {
 public:
  explicit PaintLog(QWidget* w) { w->installEventFilter(this); }
  std::vector<QRect> rects;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) rects.push_back(static_cast<QPaintEvent*>(event)->rect());
    return false;
  }
};

TEST_F(WaveformLaneWidget, RepaintsOnlyWhatMoved) {
  WaveformSummary summary(2, kFrames);
  FeedSong(summary, 0, kFrames);
  summary.finish();
  WaveformLane lane;
  lane.resize(500, WaveformLane::heightAt(1.0f));
  lane.setSummary(&summary, kRate, kFrames);
  lane.setPlayheadMs(1000);
  lane.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&lane));
  PaintLog log(&lane);
  // Settle whatever was pending from showing it.
  QCoreApplication::processEvents();
  log.rects.clear();
  // 20 ms per pixel: 1010 ms is the same pixel as 1000 ms.
  lane.setPlayheadMs(1010);
  QCoreApplication::processEvents();
  EXPECT_TRUE(log.rects.empty());
  lane.setPlayheadMs(1500);
  ASSERT_TRUE(pwtest::WaitUntil([&] {
    QCoreApplication::processEvents();
    return !log.rects.empty();
  }));
  QRect painted;
  for (const QRect& r : log.rects) painted |= r;
  EXPECT_TRUE(painted.contains(QPoint(50, lane.centreRow())));
  EXPECT_TRUE(painted.contains(QPoint(75, lane.centreRow())));
  EXPECT_LT(painted.width(), 40) << "only around the old and the new playhead";
  // Setting the same loop again repaints nothing.
  lane.setLoop(2000, 3000, true);
  QCoreApplication::processEvents();
  log.rects.clear();
  lane.setLoop(2000, 3000, true);
  QCoreApplication::processEvents();
  EXPECT_TRUE(log.rects.empty());
}

}  // namespace
