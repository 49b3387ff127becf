#include "ui/waveform_lane_input.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

// ---- LaneView ----

void LaneView::setLength(int64_t lengthMs) {
  lengthMs_ = std::max<int64_t>(0, lengthMs);
  fromMs_ = 0;
  spanMs_ = double(lengthMs_);
}

double LaneView::minSpanMs() const { return std::min(kMinSpanMs, double(lengthMs_)); }

double LaneView::msAt(double x, double width) const {
  if (width <= 0) return fromMs_;
  return fromMs_ + x / width * spanMs_;
}

double LaneView::xAt(double ms, double width) const {
  if (spanMs_ <= 0) return 0;
  return (ms - fromMs_) / spanMs_ * width;
}

bool LaneView::show(double fromMs, double spanMs) {
  const double length = double(lengthMs_);
  const double span = std::clamp(spanMs, minSpanMs(), length);
  const double from = std::clamp(fromMs, 0.0, length - span);
  if (from == fromMs_ && span == spanMs_) return false;
  fromMs_ = from;
  spanMs_ = span;
  return true;
}

bool LaneView::zoomAround(double x, double width, double factor) {
  if (width <= 0 || !(factor > 0)) return false;
  const double at = msAt(x, width);
  const double span = std::clamp(spanMs_ * factor, minSpanMs(), double(lengthMs_));
  return show(at - x / width * span, span);
}

// ---- flags ----

void LayOutFlags(std::span<const double> xs, std::span<const double> naturalWidths, double width, double minWidth,
                 double gap, std::vector<LaneFlag>& out) {
  const size_t n = xs.size();
  out.assign(n, LaneFlag{});
  std::vector<size_t> order;
  order.reserve(n);
  for (size_t i = 0; i < n; ++i)
    if (xs[i] >= 0 && xs[i] <= width) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](size_t l, size_t r) { return xs[l] < xs[r]; });
  // Where the flag left of the current one ends: a flag turned left stops there.
  double previousRight = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const size_t i = order[k];
    const double x = xs[i];
    const double natural = i < naturalWidths.size() ? std::max(naturalWidths[i], minWidth) : minWidth;
    const bool last = k + 1 == order.size();
    const double limit = last ? width : std::min(width, xs[order[k + 1]] - gap);
    const double roomRight = limit - x;
    LaneFlag flag{x, x + std::max(minWidth, std::min(natural, roomRight)), true};
    // The last flag, squeezed by the lane's edge, turns left when that gives
    // its name more room.
    if (last && roomRight < natural) {
      const double roomLeft = x - std::max(0.0, previousRight + gap);
      const double w = std::max(minWidth, std::min(natural, roomLeft));
      if (w > roomRight) flag = {x - w, x, true};
    }
    previousRight = flag.right;
    out[i] = flag;
  }
}

// ---- LaneInput ----

void LaneInput::setLength(int64_t lengthMs) {
  view_.setLength(lengthMs);
  gesture_ = LaneGesture::None;
  a_ = b_ = -1;
  markers_.clear();
  naturalWidths_.clear();
  selected_ = -1;
  layOutFlags();
}

void LaneInput::setGeometry(const LaneGeometry& geometry) {
  geometry_ = geometry;
  layOutFlags();
}

void LaneInput::setLoop(int64_t aMs, int64_t bMs) {
  a_ = aMs;
  b_ = bMs;
}

void LaneInput::setMarkers(std::span<const int64_t> ms, std::span<const double> naturalFlagWidths) {
  if (ms.size() != markers_.size()) {
    selected_ = -1;
    const bool onMarker = gesture_ == LaneGesture::MovingMarker ||
                          (gesture_ == LaneGesture::Pressed && pressHit_.kind == LaneHit::Kind::Marker);
    if (onMarker) gesture_ = LaneGesture::Ignored;
  }
  markers_.assign(ms.begin(), ms.end());
  naturalWidths_.assign(naturalFlagWidths.begin(), naturalFlagWidths.end());
  naturalWidths_.resize(markers_.size(), 0.0);
  layOutFlags();
}

bool LaneInput::showView(double fromMs, double spanMs) {
  if (!view_.show(fromMs, spanMs)) return false;
  layOutFlags();
  return true;
}

int64_t LaneInput::clampMs(double ms) const {
  return std::clamp<int64_t>(std::llround(ms), 0, view_.lengthMs());
}

void LaneInput::layOutFlags() {
  flagXs_.resize(markers_.size());
  for (size_t i = 0; i < markers_.size(); ++i) flagXs_[i] = xAt(double(shownMarkerMs(int(i))));
  LayOutFlags(flagXs_, naturalWidths_, geometry_.width, geometry_.minFlagWidth, 1.0, flags_);
}

int64_t LaneInput::shownA() const {
  if (gesture_ == LaneGesture::Selecting) return std::min(pressMs_, liveMs_);
  if (gesture_ == LaneGesture::TrimmingA) return liveMs_;
  return a_;
}

int64_t LaneInput::shownB() const {
  if (gesture_ == LaneGesture::Selecting) return std::max(pressMs_, liveMs_);
  if (gesture_ == LaneGesture::TrimmingB) return liveMs_;
  return b_;
}

int64_t LaneInput::shownMarkerMs(int index) const {
  if (index < 0 || size_t(index) >= markers_.size()) return -1;
  if (gesture_ == LaneGesture::MovingMarker && pressHit_.index == index) return liveMs_;
  return markers_[size_t(index)];
}

LaneHit LaneInput::hitAt(double x, double y) const {
  const LaneGeometry& g = geometry_;
  if (view_.lengthMs() <= 0 || g.width <= 0 || x < 0 || x > g.width || y < 0) return {};
  if (y < g.rulerHeight) return {LaneHit::Kind::Ruler};
  // A flag: the one drawn on top, which is the one starting furthest right.
  if (y >= g.flagTop && y < g.flagBottom) {
    int best = -1;
    for (size_t i = 0; i < flags_.size(); ++i) {
      const LaneFlag& f = flags_[i];
      if (f.visible && x >= f.left && x <= f.right && (best < 0 || f.left > flags_[size_t(best)].left)) best = int(i);
    }
    if (best >= 0) return {LaneHit::Kind::Marker, best};
  }
  const bool hasA = a_ >= 0, hasB = b_ >= 0;
  const double xA = hasA ? xAt(double(a_)) : 0, xB = hasB ? xAt(double(b_)) : 0;
  if (y >= g.tabTop && y < g.tabBottom) {
    if (hasB && x >= xB - g.tabWidth && x <= xB) return {LaneHit::Kind::EdgeB};
    if (hasA && x >= xA && x <= xA + g.tabWidth) return {LaneHit::Kind::EdgeA};
  }
  const double dA = hasA ? std::abs(x - xA) : INFINITY, dB = hasB ? std::abs(x - xB) : INFINITY;
  if (std::min(dA, dB) <= g.grab) {
    // Ends on the same spot part by the side pressed: right of them is B.
    if (dA == dB) return {x > xA ? LaneHit::Kind::EdgeB : LaneHit::Kind::EdgeA};
    return {dA < dB ? LaneHit::Kind::EdgeA : LaneHit::Kind::EdgeB};
  }
  int nearest = -1;
  double nearestDistance = g.grab;
  for (size_t i = 0; i < markers_.size(); ++i) {
    const double d = std::abs(x - xAt(double(markers_[i])));
    if (d <= nearestDistance) {
      nearest = int(i);
      nearestDistance = d;
    }
  }
  if (nearest >= 0) return {LaneHit::Kind::Marker, nearest};
  return {LaneHit::Kind::Wave};
}

LaneAction LaneInput::press(Button button, double x, double y) {
  if (gesture_ != LaneGesture::None) return {};
  const LaneHit hit = hitAt(x, y);
  pressButton_ = button;
  pressHit_ = hit;
  pressX_ = x;
  pressMs_ = clampMs(msAt(x));
  liveMs_ = pressMs_;
  pressViewFrom_ = view_.fromMs();
  if (hit.kind == LaneHit::Kind::Nothing) {
    gesture_ = LaneGesture::Ignored;
    return {};
  }
  if (button == Button::Right) {
    // Its release may go to the menu it opens: nothing waits for it.
    gesture_ = LaneGesture::None;
    if (hit.kind != LaneHit::Kind::Marker) return {};
    selected_ = hit.index;
    return {LaneAction::Kind::MarkerMenu, 0, 0, hit.index};
  }
  gesture_ = LaneGesture::Pressed;
  switch (hit.kind) {
    case LaneHit::Kind::EdgeA:
      grabOffsetMs_ = double(a_) - msAt(x);
      break;
    case LaneHit::Kind::EdgeB:
      grabOffsetMs_ = double(b_) - msAt(x);
      break;
    case LaneHit::Kind::Marker:
      grabOffsetMs_ = double(markers_[size_t(hit.index)]) - msAt(x);
      break;
    default:
      grabOffsetMs_ = 0;
  }
  return {};
}

LaneAction LaneInput::move(double x, double /*y*/) {
  if (gesture_ == LaneGesture::Pressed) {
    if (std::abs(x - pressX_) <= geometry_.clickSlop) return {};
    if (pressButton_ == Button::Middle || pressHit_.kind == LaneHit::Kind::Ruler) {
      gesture_ = view_.zoomed() ? LaneGesture::Scrolling : LaneGesture::Ignored;
    } else {
      switch (pressHit_.kind) {
        case LaneHit::Kind::EdgeA:
          gesture_ = LaneGesture::TrimmingA;
          break;
        case LaneHit::Kind::EdgeB:
          gesture_ = LaneGesture::TrimmingB;
          break;
        case LaneHit::Kind::Marker:
          gesture_ = LaneGesture::MovingMarker;
          break;
        default:
          gesture_ = LaneGesture::Selecting;
      }
    }
  }
  const double at = msAt(x) + grabOffsetMs_;
  const int64_t length = view_.lengthMs();
  switch (gesture_) {
    case LaneGesture::Selecting:
      liveMs_ = clampMs(at);
      break;
    case LaneGesture::TrimmingA:
      liveMs_ = std::clamp<int64_t>(std::llround(at), 0, b_ >= 0 ? b_ : length);
      break;
    case LaneGesture::TrimmingB:
      liveMs_ = std::clamp<int64_t>(std::llround(at), std::max<int64_t>(a_, 0), length);
      break;
    case LaneGesture::MovingMarker:
      liveMs_ = clampMs(at);
      layOutFlags();
      break;
    case LaneGesture::Scrolling: {
      const double perPixel = geometry_.width > 0 ? view_.spanMs() / geometry_.width : 0;
      if (showView(pressViewFrom_ - (x - pressX_) * perPixel, view_.spanMs())) return {LaneAction::Kind::ViewChanged};
      break;
    }
    default:
      break;
  }
  return {};
}

LaneAction LaneInput::release(double x, double y) {
  // The release's own position counts, as the last move.
  LaneAction moved = move(x, y);
  const LaneGesture was = gesture_;
  gesture_ = LaneGesture::None;
  switch (was) {
    case LaneGesture::Pressed:
      if (pressButton_ != Button::Left) return {};
      switch (pressHit_.kind) {
        case LaneHit::Kind::EdgeA:
          return {LaneAction::Kind::Seek, a_};
        case LaneHit::Kind::EdgeB:
          return {LaneAction::Kind::Seek, b_};
        case LaneHit::Kind::Marker:
          selected_ = pressHit_.index;
          return {LaneAction::Kind::Seek, markers_[size_t(pressHit_.index)]};
        default:
          selected_ = -1;
          return {LaneAction::Kind::Seek, pressMs_};
      }
    case LaneGesture::Selecting:
      return {LaneAction::Kind::SelectLoop, std::min(pressMs_, liveMs_), std::max(pressMs_, liveMs_)};
    case LaneGesture::TrimmingA:
      return {LaneAction::Kind::MoveLoopEdge, liveMs_, 0, -1, false};
    case LaneGesture::TrimmingB:
      return {LaneAction::Kind::MoveLoopEdge, liveMs_, 0, -1, true};
    case LaneGesture::MovingMarker:
      selected_ = pressHit_.index;
      layOutFlags();
      return {LaneAction::Kind::MoveMarker, liveMs_, 0, pressHit_.index};
    case LaneGesture::Scrolling:
      return moved;
    default:
      return {};
  }
}

LaneAction LaneInput::doubleClick(double x, double y) {
  if (gesture_ != LaneGesture::None) return {};
  const LaneHit hit = hitAt(x, y);
  // Nothing more until the release that ends the double-click.
  gesture_ = LaneGesture::Ignored;
  if (hit.kind == LaneHit::Kind::Nothing) return {};
  if (hit.kind == LaneHit::Kind::Marker) {
    selected_ = hit.index;
    return {LaneAction::Kind::RenameMarker, 0, 0, hit.index};
  }
  return zoomToLoop();
}

LaneAction LaneInput::wheel(double x, int angleDelta) {
  if (angleDelta == 0 || gesture_ != LaneGesture::None) return {};
  const double factor = std::pow(kZoomPerNotch, -angleDelta / 120.0);
  if (!view_.zoomAround(x, geometry_.width, factor)) return {};
  layOutFlags();
  return {LaneAction::Kind::ViewChanged};
}

LaneAction LaneInput::deleteKey() {
  if (selected_ < 0) return {};
  return {LaneAction::Kind::DeleteMarker, 0, 0, selected_};
}

LaneAction LaneInput::renameKey() {
  if (selected_ < 0) return {};
  return {LaneAction::Kind::RenameMarker, 0, 0, selected_};
}

void LaneInput::forgetGesture() {
  const bool wasMoving = gesture_ == LaneGesture::MovingMarker;
  gesture_ = LaneGesture::None;
  if (wasMoving) layOutFlags();
}

bool LaneInput::cancel() {
  switch (gesture_) {
    case LaneGesture::None:
    case LaneGesture::Ignored:
      return false;
    case LaneGesture::Scrolling:
      showView(pressViewFrom_, view_.spanMs());
      break;
    default:
      break;
  }
  const bool wasMoving = gesture_ == LaneGesture::MovingMarker;
  gesture_ = LaneGesture::Ignored;
  if (wasMoving) layOutFlags();
  return true;
}

LaneAction LaneInput::zoomToLoop() {
  bool changed;
  if (a_ >= 0 && b_ > a_) {
    const double length = double(b_ - a_);
    const double margin = length * kLoopMargin;
    LaneView target = view_;
    double span = length + 2 * margin;
    double from = double(a_) - margin;
    if (span < view_.minSpanMs()) {
      span = view_.minSpanMs();
      from = (double(a_) + double(b_)) / 2 - span / 2;
    }
    target.show(from, span);
    changed = target == view_ ? showView(0, double(view_.lengthMs())) : showView(target.fromMs(), target.spanMs());
  } else {
    changed = showView(0, double(view_.lengthMs()));
  }
  return changed ? LaneAction{LaneAction::Kind::ViewChanged} : LaneAction{};
}

bool LaneInput::followPlayhead(int64_t beforeMs, int64_t nowMs) {
  if (gesture_ != LaneGesture::None || !view_.zoomed() || beforeMs < 0 || nowMs < 0) return false;
  const auto inView = [this](int64_t ms) { return double(ms) >= view_.fromMs() && double(ms) <= view_.toMs(); };
  if (!inView(beforeMs) || inView(nowMs)) return false;
  return showView(double(nowMs) - view_.spanMs() / 10, view_.spanMs());
}

std::string LaneTimeText(int64_t ms) {
  ms = std::max<int64_t>(0, ms);
  const long long tenths = ms / 100, seconds = tenths / 10, minutes = seconds / 60, hours = minutes / 60;
  char text[40];
  if (hours > 0)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", hours, minutes % 60, seconds % 60, tenths % 10);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld.%lld", minutes, seconds % 60, tenths % 10);
  return text;
}
