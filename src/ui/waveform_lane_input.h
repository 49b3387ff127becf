// What the mouse, the wheel and the keys do on the waveform lane, kept apart
// from its drawing so that every gesture can be checked as a table of pixels
// in and actions out. Plain values, no Qt.
//
// The rules, in the lane's own pixels (x from its left edge, y from its top):
//  - a click (press and release less than clickSlop apart) seeks where it
//    was pressed; on a loop edge or its tab it seeks to that edge, on a
//    marker to the marker (which becomes the selected marker);
//  - a left drag on the wave selects an A–B loop from the press to the
//    pointer (either way round), shown live and reported at the release;
//  - a left drag starting within `grab` of a loop edge, or on its A/B tab,
//    trims that edge (never past the other edge nor out of the song);
//  - a left drag starting on a marker's flag, or within `grab` of its line,
//    moves the marker;
//  - the view scrolls by a left drag in the time ruler along the top, or by
//    a middle-button drag anywhere (only while zoomed in);
//  - the wheel zooms around the pointer: the time under it stays put, the
//    span stays between about a second and the whole song;
//  - a double-click zooms to the loop, or back to the whole song when there
//    is no loop or the view already shows it; on a marker's flag it asks to
//    rename the marker instead;
//  - a right press on a marker asks for its menu (rename, delete);
//  - with a marker selected, Delete asks to delete it and F2 to rename it;
//    Escape drops a gesture under way.
// Qt sends the second press of a double-click as a double-click event, after
// the first click's press and release: that first click has seeked already.
//
// Threads: a value owned by the lane, on the GUI thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The stretch of the song the lane shows, in milliseconds, and how it maps
// onto a lane `width` pixels wide: x = 0 is fromMs(), x = width is toMs().
class LaneView {
 public:
  // The narrowest view: about a second (the whole song when it is shorter).
  static constexpr double kMinSpanMs = 1000;

  // A song of `lengthMs` (0: none), shown whole.
  void setLength(int64_t lengthMs);
  int64_t lengthMs() const { return lengthMs_; }
  double fromMs() const { return fromMs_; }
  double spanMs() const { return spanMs_; }
  double toMs() const { return fromMs_ + spanMs_; }
  // Narrower than the whole song.
  bool zoomed() const { return spanMs_ < double(lengthMs_); }
  double minSpanMs() const;

  // The time at x (not clamped) and back.
  double msAt(double x, double width) const;
  double xAt(double ms, double width) const;

  // Shows `spanMs` from `fromMs`: the span clamped between minSpanMs() and
  // the song, then moved to lie inside the song. Returns whether the view
  // changed.
  bool show(double fromMs, double spanMs);
  bool showWholeSong() { return show(0, double(lengthMs_)); }
  // Multiplies the span by `factor` (< 1 zooms in) keeping the time at x
  // where it is, as far as the song's ends allow.
  bool zoomAround(double x, double width, double factor);

  bool operator==(const LaneView&) const = default;

 private:
  int64_t lengthMs_ = 0;
  double fromMs_ = 0;
  double spanMs_ = 0;
};

// Sizes the rules need, in the lane's pixels; the lane sets them from its
// size and scale.
struct LaneGeometry {
  double width = 0;
  // The time ruler: y below this.
  double rulerHeight = 0;
  // The band the marker flags hang in.
  double flagTop = 0;
  double flagBottom = 0;
  // The band of the A/B tabs, and their width: A's tab lies right of its
  // line, B's left of its line (both inside the loop).
  double tabTop = 0;
  double tabBottom = 0;
  double tabWidth = 0;
  // A press this near a line takes it.
  double grab = 4;
  // A press and release this near each other (along x) are a click.
  double clickSlop = 3;
  // Flags narrower than this show no name.
  double minFlagWidth = 8;
};

// Where a marker's flag hangs, in pixels; hidden when the marker is out of
// view.
struct LaneFlag {
  double left = 0;
  double right = 0;
  bool visible = false;

  bool operator==(const LaneFlag&) const = default;
};

// Lays out the flags of markers at `xs` with names needing `naturalWidths`
// pixels: each flag starts at its line and points right, as wide as its name
// needs, but not past the next marker's line (less `gap`) nor the lane's
// right edge; never narrower than minWidth. Markers outside 0 … width are
// hidden. `out` gets one flag per marker, in the markers' order.
void LayOutFlags(std::span<const double> xs, std::span<const double> naturalWidths, double width, double minWidth,
                 double gap, std::vector<LaneFlag>& out);

struct LaneAction {
  enum class Kind {
    None,
    Seek,          // ms
    SelectLoop,    // ms = A, endMs = B
    MoveLoopEdge,  // end (B when true), ms
    MoveMarker,    // index, ms
    RenameMarker,  // index
    DeleteMarker,  // index
    MarkerMenu,    // index
    ViewChanged,   // the view moved or zoomed
  };
  Kind kind = Kind::None;
  int64_t ms = 0;
  int64_t endMs = 0;
  int index = -1;
  bool end = false;

  bool operator==(const LaneAction&) const = default;
};

// The gesture under way, for the drawing.
enum class LaneGesture {
  None,
  Pressed,    // pressed, not yet moved far enough to be a drag
  Selecting,  // a new loop
  TrimmingA,
  TrimmingB,
  MovingMarker,
  Scrolling,
  Ignored,  // a press that does nothing until its release
};

// What lies under a point.
struct LaneHit {
  enum class Kind { Nothing, Ruler, Wave, EdgeA, EdgeB, Marker };
  Kind kind = Kind::Nothing;
  int index = -1;  // the marker
};

class LaneInput {
 public:
  enum class Button { Left, Middle, Right };

  // ---- state from the owner ----
  // A new song: whole view, no gesture, no loop, no markers.
  void setLength(int64_t lengthMs);
  // Re-lays the flags out; a gesture under way keeps its press point.
  void setGeometry(const LaneGeometry& geometry);
  // -1 for an unset end.
  void setLoop(int64_t aMs, int64_t bMs);
  // Marker times and the widths their whole names need. A change in their
  // number drops a marker drag and the selection.
  void setMarkers(std::span<const int64_t> ms, std::span<const double> naturalFlagWidths);

  // ---- events, in the lane's pixels ----
  LaneAction press(Button button, double x, double y);
  LaneAction move(double x, double y);
  LaneAction release(double x, double y);
  // The second press of a double-click (left button).
  LaneAction doubleClick(double x, double y);
  // One notch of a mouse wheel is 120; positive zooms in.
  LaneAction wheel(double x, int angleDelta);
  LaneAction deleteKey();
  LaneAction renameKey();
  // Escape: drops the gesture under way (its release then does nothing);
  // returns whether there was one.
  bool cancel();
  // A gesture whose release never came (another window took it) is over;
  // for a press made with no other button held.
  void forgetGesture();

  // Double-click's rule, also for the lane's owner: the loop with a margin,
  // or the whole song.
  LaneAction zoomToLoop();
  // The playhead moved from `beforeMs` to `nowMs`: when it was in view and
  // has left it (playing on, or looping back), the view pages to show it a
  // tenth in from the left. Never during a gesture.
  bool followPlayhead(int64_t beforeMs, int64_t nowMs);

  // ---- for the drawing ----
  const LaneView& view() const { return view_; }
  // Shows a stretch of the song (LaneView::show); false when nothing moved.
  bool showView(double fromMs, double spanMs);
  const LaneGeometry& geometry() const { return geometry_; }
  LaneGesture gesture() const { return gesture_; }
  // The loop as the owner set it.
  int64_t loopA() const { return a_; }
  int64_t loopB() const { return b_; }
  // The loop as drawn now: the owner's, or the one being selected or trimmed.
  int64_t shownA() const;
  int64_t shownB() const;
  // A marker's time as drawn now (moved while dragged).
  int64_t shownMarkerMs(int index) const;
  const std::vector<LaneFlag>& flags() const { return flags_; }
  int selectedMarker() const { return selected_; }
  LaneHit hitAt(double x, double y) const;

  // Gesture multipliers, public for the tests' arithmetic.
  static constexpr double kZoomPerNotch = 1.25;
  // The margin zoomToLoop leaves on each side, as a share of the loop.
  static constexpr double kLoopMargin = 0.05;

 private:
  double msAt(double x) const { return view_.msAt(x, geometry_.width); }
  double xAt(double ms) const { return view_.xAt(ms, geometry_.width); }
  int64_t clampMs(double ms) const;
  void layOutFlags();
  bool loopSet() const { return a_ >= 0 && b_ >= 0; }

  LaneView view_;
  LaneGeometry geometry_;
  int64_t a_ = -1;
  int64_t b_ = -1;
  std::vector<int64_t> markers_;
  std::vector<double> naturalWidths_;
  std::vector<LaneFlag> flags_;
  std::vector<double> flagXs_;  // scratch for the layout
  int selected_ = -1;

  LaneGesture gesture_ = LaneGesture::None;
  LaneHit pressHit_;
  Button pressButton_ = Button::Left;
  double pressX_ = 0;
  int64_t pressMs_ = 0;
  double pressViewFrom_ = 0;
  // The grabbed line's distance from the press, so it does not jump.
  double grabOffsetMs_ = 0;
  // The live value of the gesture: the pointer's time while selecting, the
  // dragged edge's or marker's time.
  int64_t liveMs_ = 0;
};

// A time to the tenth of a second, truncated: "1:05.3", "1:02:05.3" from an
// hour on.
std::string LaneTimeText(int64_t ms);
