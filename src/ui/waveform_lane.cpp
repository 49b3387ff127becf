#include "ui/waveform_lane.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>

#include "ui/skin.h"

namespace {

// Design sizes at scale 1.0, in pixels.
constexpr int kRulerPx = 14;
constexpr int kFlagPx = 14;
constexpr int kFlagGapPx = 2;  // between the ruler and the flags
constexpr int kTabPx = 12;
constexpr int kTabWidthPx = 12;
constexpr int kPadPx = 4;
constexpr int kHeadPx = 4;
constexpr int kRulerFontPx = 9;
constexpr int kFlagFontPx = 10;
constexpr double kGrabPx = 4;
constexpr double kClickSlopPx = 3;
constexpr int kMinFlagPx = 7;
constexpr int kPollMs = 50;

// Ruler steps to choose from: the first that leaves room for its labels.
constexpr std::array<int64_t, 17> kRulerSteps = {100,    200,    500,    1000,    2000,    5000,
                                                 10000,  15000,  30000,  60000,   120000,  300000,
                                                 600000, 900000, 1800000, 3600000, 7200000};

int Scaled(double designPx, float scale) { return std::max(1, int(std::nearbyint(designPx * double(scale)))); }

QColor Rgb(QRgb rgb, int alpha = 255) {
  QColor c = QColor::fromRgb(rgb);
  c.setAlpha(alpha);
  return c;
}

// A ruler label: whole seconds ("1:05", "1:02:05"), or tenths when the step
// is finer than a second.
QString RulerText(int64_t ms, bool tenths) {
  if (tenths) return QString::fromStdString(LaneTimeText(ms));
  const int64_t seconds = ms / 1000, minutes = seconds / 60, hours = minutes / 60;
  if (hours > 0)
    return QStringLiteral("%1:%2:%3")
        .arg(hours)
        .arg(minutes % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1:%2").arg(minutes).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

LaneInput::Button ButtonOf(Qt::MouseButton button) {
  switch (button) {
    case Qt::MiddleButton:
      return LaneInput::Button::Middle;
    case Qt::RightButton:
      return LaneInput::Button::Right;
    default:
      return LaneInput::Button::Left;
  }
}

}  // namespace

WaveformLane::WaveformLane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("waveformLane"));
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
  setFocusPolicy(Qt::ClickFocus);
  // A right press on a marker opens the lane's own menu; nothing else should.
  setContextMenuPolicy(Qt::PreventContextMenu);
  poll_.setInterval(kPollMs);
  connect(&poll_, &QTimer::timeout, this, &WaveformLane::pollProgress);
  applyScale(1.0f);
  resize(sizeHint());
}

WaveformLane::~WaveformLane() = default;

int WaveformLane::heightAt(float scale) { return int(std::nearbyint(kDesignHeight * double(scale))); }

QSize WaveformLane::sizeHint() const { return {kSkinDesignSize.width(), kDesignHeight}; }

// ---- the owner's state ----

void WaveformLane::setSummary(const WaveformSummary* summary, int sampleRate, int64_t lengthFrames) {
  summary_ = summary;
  sampleRate_ = sampleRate > 0 ? sampleRate : 0;
  const int64_t lengthMs = sampleRate_ > 0 ? std::llround(double(lengthFrames) * 1000.0 / sampleRate_) : 0;
  input_.setLength(lengthMs);
  playheadMs_ = -1;
  loopEnabled_ = false;
  markers_.clear();
  flagWidths_.clear();
  columnsDone_ = -1;
  updateSizes();
  lastProgress_ = progressPixels();
  if (summary_ && !summary_->finished()) poll_.start();
  else poll_.stop();
  update();
}

void WaveformLane::setPlayheadMs(int64_t ms) {
  const int64_t before = playheadMs_;
  if (ms == before) return;
  playheadMs_ = ms;
  if (input_.followPlayhead(before, ms)) {
    setHover(hoverX_);
    update();
    return;
  }
  const auto shownAt = [this](int64_t t) {
    return t >= 0 && double(t) >= view().fromMs() && double(t) <= view().toMs() ? xOf(double(t)) : -1;
  };
  const int was = shownAt(before), now = shownAt(ms);
  if (was == now) return;
  if (was >= 0) update(playheadRect(was));
  if (now >= 0) update(playheadRect(now));
}

void WaveformLane::setLoop(int64_t aMs, int64_t bMs, bool enabled) {
  if (aMs == input_.loopA() && bMs == input_.loopB() && enabled == loopEnabled_) return;
  input_.setLoop(aMs, bMs);
  loopEnabled_ = enabled;
  update();
}

void WaveformLane::setMarkers(std::vector<LaneMarker> markers) {
  markers_ = std::move(markers);
  updateFlagWidths();
  update();
}

void WaveformLane::setScale(float scale) {
  if (!(scale > 0) || scale == scale_) return;
  applyScale(scale);
}

void WaveformLane::applyScale(float scale) {
  scale_ = scale;
  line_ = Scaled(1.0, scale);
  rulerHeight_ = Scaled(kRulerPx, scale);
  flagHeight_ = Scaled(kFlagPx, scale);
  tabHeight_ = Scaled(kTabPx, scale);
  tabWidth_ = Scaled(kTabWidthPx, scale);
  pad_ = Scaled(kPadPx, scale);
  head_ = Scaled(kHeadPx, scale);
  rulerFont_ = SkinFont(Face::Tahoma, kRulerFontPx, scale);
  flagFont_ = SkinFont(Face::Tahoma, kFlagFontPx, scale);
  tabFont_ = SkinFont(Face::Tahoma, kRulerFontPx, scale, true);
  updateSizes();
  updateFlagWidths();
  update();
}

void WaveformLane::zoomToLoop() {
  const Shown before = shown();
  afterInput(before, input_.zoomToLoop(), QPoint());
}

void WaveformLane::showWholeSong() {
  const Shown before = shown();
  input_.showView(0, double(lengthMs()));
  afterInput(before, {}, QPoint());
}

// ---- sizes ----

void WaveformLane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  updateSizes();
}

void WaveformLane::updateSizes() {
  const int frame = std::max(1, int(scale_));
  waveTop_ = rulerHeight_;
  waveBottom_ = std::max(waveTop_ + 1, height() - frame);
  const int rows = waveBottom_ - waveTop_;
  centreRow_ = waveTop_ + (rows - 1) / 2;
  halfHeight_ = std::max(0, (rows - 1) / 2 - 1);
  columns_.assign(size_t(std::max(0, width())), WaveColumn{});
  columnsDone_ = -1;

  const QFontMetrics ruler(rulerFont_);
  labelGap_ = ruler.horizontalAdvance(QStringLiteral("00:00.0")) + 3 * pad_;
  // The widest figure stands for every one.
  std::string longest = LaneTimeText(lengthMs());
  for (char& c : longest)
    if (c >= '0' && c <= '9') c = '0';
  readoutWidth_ = QFontMetrics(flagFont_).horizontalAdvance(QString::fromStdString(longest)) + 2 * pad_;

  LaneGeometry g;
  g.width = width();
  g.rulerHeight = rulerHeight_;
  g.flagTop = waveTop_ + Scaled(kFlagGapPx, scale_);
  g.flagBottom = g.flagTop + flagHeight_;
  g.tabBottom = waveBottom_;
  g.tabTop = waveBottom_ - tabHeight_;
  g.tabWidth = tabWidth_;
  g.grab = kGrabPx * double(scale_);
  g.clickSlop = kClickSlopPx * double(scale_);
  g.minFlagWidth = Scaled(kMinFlagPx, scale_);
  input_.setGeometry(g);
}

void WaveformLane::updateFlagWidths() {
  const QFontMetrics metrics(flagFont_);
  std::vector<int64_t> times;
  flagWidths_.clear();
  for (const LaneMarker& m : markers_) {
    times.push_back(m.ms);
    flagWidths_.push_back(m.name.isEmpty() ? 0.0 : double(metrics.horizontalAdvance(m.name) + 2 * pad_ + line_));
  }
  input_.setMarkers(times, flagWidths_);
}

int WaveformLane::xOf(double ms) const {
  const int x = int(std::floor(view().xAt(ms, width())));
  // The song's last instant stays on the last column.
  return x == width() && ms <= view().toMs() ? x - 1 : x;
}

// ---- progress ----

int64_t WaveformLane::progressPixels() const {
  if (!summary_ || sampleRate_ <= 0 || width() <= 0) return -1;
  // The parts fill at once, each from its own start: count every one.
  int64_t frames = 0;
  for (int32_t part = 0; part < summary_->parts(); ++part) frames += summary_->partFramesDone(part);
  const double framesPerPixel = view().spanMs() * sampleRate_ / 1000.0 / width();
  return framesPerPixel > 0 ? int64_t(double(frames) / framesPerPixel) : -1;
}

void WaveformLane::pollProgress() {
  if (!summary_) {
    poll_.stop();
    return;
  }
  const bool finished = summary_->finished();
  const int64_t progress = progressPixels();
  if (finished) poll_.stop();
  if (progress != lastProgress_ || finished) {
    lastProgress_ = progress;
    update();
  }
}

// ---- input ----

WaveformLane::Shown WaveformLane::shown() const {
  return {input_.view(), input_.gesture(), input_.shownA(), input_.shownB(), input_.selectedMarker(), input_.flags()};
}

void WaveformLane::afterInput(const Shown& before, const LaneAction& action, QPoint globalAt) {
  const bool viewMoved = !(before.view == view());
  if (!(shown() == before)) update();
  if (viewMoved) setHover(hoverX_);
  apply(action, globalAt);
}

void WaveformLane::apply(const LaneAction& action, QPoint globalAt) {
  switch (action.kind) {
    case LaneAction::Kind::Seek:
      emit seekRequested(action.ms);
      break;
    case LaneAction::Kind::SelectLoop:
      emit loopSelected(action.ms, action.endMs);
      break;
    case LaneAction::Kind::MoveLoopEdge:
      emit loopEdgeMoved(action.end, action.ms);
      break;
    case LaneAction::Kind::MoveMarker:
      emit markerMoved(action.index, action.ms);
      break;
    case LaneAction::Kind::RenameMarker:
      emit markerRenameRequested(action.index);
      break;
    case LaneAction::Kind::DeleteMarker:
      emit markerDeleteRequested(action.index);
      break;
    case LaneAction::Kind::MarkerMenu:
      openMarkerMenu(action.index, globalAt);
      break;
    case LaneAction::Kind::ViewChanged:
    case LaneAction::Kind::None:
      break;
  }
}

void WaveformLane::openMarkerMenu(int index, QPoint globalAt) {
  if (!menu_) {
    menu_ = new QMenu(this);
    menu_->setObjectName(QStringLiteral("laneMarkerMenu"));
    QAction* rename = menu_->addAction(tr("Rename…"));
    rename->setObjectName(QStringLiteral("renameMarker"));
    connect(rename, &QAction::triggered, this, [this] { emit markerRenameRequested(menuIndex_); });
    QAction* remove = menu_->addAction(tr("Delete"));
    remove->setObjectName(QStringLiteral("deleteMarker"));
    connect(remove, &QAction::triggered, this, [this] { emit markerDeleteRequested(menuIndex_); });
  }
  menuIndex_ = index;
  menu_->popup(globalAt);
}

void WaveformLane::mousePressEvent(QMouseEvent* event) {
  const Shown before = shown();
  if (event->buttons() == event->button()) input_.forgetGesture();
  const QPointF at = event->position();
  afterInput(before, input_.press(ButtonOf(event->button()), at.x(), at.y()), event->globalPosition().toPoint());
  updateCursor(at);
  event->accept();
}

void WaveformLane::mouseMoveEvent(QMouseEvent* event) {
  const QPointF at = event->position();
  setHover(at.x());
  const Shown before = shown();
  afterInput(before, input_.move(at.x(), at.y()), event->globalPosition().toPoint());
  updateCursor(at);
  event->accept();
}

void WaveformLane::mouseReleaseEvent(QMouseEvent* event) {
  const QPointF at = event->position();
  const Shown before = shown();
  afterInput(before, input_.release(at.x(), at.y()), event->globalPosition().toPoint());
  updateCursor(at);
  event->accept();
}

void WaveformLane::mouseDoubleClickEvent(QMouseEvent* event) {
  const QPointF at = event->position();
  const Shown before = shown();
  const LaneAction action =
      event->button() == Qt::LeftButton ? input_.doubleClick(at.x(), at.y()) : LaneAction{};
  afterInput(before, action, event->globalPosition().toPoint());
  event->accept();
}

void WaveformLane::wheelEvent(QWheelEvent* event) {
  if (lengthMs() <= 0 || event->angleDelta().y() == 0) {
    event->ignore();
    return;
  }
  const Shown before = shown();
  const QPointF at = event->position();
  afterInput(before, input_.wheel(at.x(), event->angleDelta().y()), QPoint());
  setHover(at.x());
  event->accept();
}

bool WaveformLane::event(QEvent* event) {
  // The lane's own keys win over the window's shortcuts while they mean
  // something here.
  if (event->type() == QEvent::ShortcutOverride) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool markerKey = key->key() == Qt::Key_Delete || key->key() == Qt::Key_Backspace || key->key() == Qt::Key_F2;
    const bool gesture = input_.gesture() != LaneGesture::None && input_.gesture() != LaneGesture::Ignored;
    if (key->modifiers() == Qt::NoModifier &&
        ((markerKey && input_.selectedMarker() >= 0) || (key->key() == Qt::Key_Escape && gesture))) {
      event->accept();
      return true;
    }
  }
  return QWidget::event(event);
}

void WaveformLane::keyPressEvent(QKeyEvent* event) {
  const Shown before = shown();
  if (event->modifiers() == Qt::NoModifier) {
    switch (event->key()) {
      case Qt::Key_Delete:
      case Qt::Key_Backspace:
        if (input_.selectedMarker() < 0) break;
        afterInput(before, input_.deleteKey(), QPoint());
        return;
      case Qt::Key_F2:
        if (input_.selectedMarker() < 0) break;
        afterInput(before, input_.renameKey(), QPoint());
        return;
      case Qt::Key_Escape:
        if (!input_.cancel()) break;
        afterInput(before, {}, QPoint());
        return;
      default:
        break;
    }
  }
  QWidget::keyPressEvent(event);
}

void WaveformLane::leaveEvent(QEvent* event) {
  setHover(-1);
  QWidget::leaveEvent(event);
}

void WaveformLane::setHover(double x) {
  const bool inside = x >= 0 && x < width() && lengthMs() > 0;
  const int64_t ms = inside ? std::clamp<int64_t>(std::llround(view().msAt(x, width())), 0, lengthMs()) : -1;
  const int wasX = hoverX_ >= 0 ? int(hoverX_) : -1, nowX = inside ? int(x) : -1;
  const bool textMoved = ms / 100 != hoveredMs_ / 100 || (ms < 0) != (hoveredMs_ < 0);
  hoverX_ = inside ? x : -1;
  if (wasX != nowX || textMoved) {
    if (wasX >= 0) update(hoverRegion(wasX));
    if (nowX >= 0) update(hoverRegion(nowX));
  }
  if (ms != hoveredMs_) {
    hoveredMs_ = ms;
    emit hoveredMsChanged(ms);
  }
}

void WaveformLane::updateCursor(QPointF at) {
  Qt::CursorShape shape = Qt::ArrowCursor;
  switch (input_.gesture()) {
    case LaneGesture::Scrolling:
      shape = Qt::ClosedHandCursor;
      break;
    case LaneGesture::TrimmingA:
    case LaneGesture::TrimmingB:
    case LaneGesture::MovingMarker:
      shape = Qt::SizeHorCursor;
      break;
    default: {
      const LaneHit hit = input_.hitAt(at.x(), at.y());
      if (hit.kind == LaneHit::Kind::Ruler && view().zoomed()) shape = Qt::OpenHandCursor;
      else if (hit.kind == LaneHit::Kind::EdgeA || hit.kind == LaneHit::Kind::EdgeB || hit.kind == LaneHit::Kind::Marker)
        shape = Qt::SizeHorCursor;
    }
  }
  if (shape == cursor_) return;
  cursor_ = shape;
  setCursor(shape);
}

// ---- painting ----

QRect WaveformLane::playheadRect(int x) const { return {x - head_ - 1, 0, 2 * head_ + line_ + 2, height()}; }

QRect WaveformLane::readoutRect(int x) const {
  QRect r(x + 2 * line_, 1, readoutWidth_, rulerHeight_ - 2);
  if (r.right() >= width() - 1) r.moveRight(x - 2 * line_);
  return r;
}

QRegion WaveformLane::hoverRegion(int x) const {
  // The line down the wave, and along the ruler the read-out on either side
  // of it with the labels it hides.
  const int reach = readoutWidth_ + 2 * line_ + labelGap_ + pad_;
  return QRegion(x, waveTop_, 1, waveBottom_ - waveTop_) + QRegion(x - reach, 0, 2 * reach + 1, rulerHeight_);
}

void WaveformLane::fillColumns() {
  if (!summary_ || sampleRate_ <= 0 || columns_.empty()) return;
  const int64_t done = summary_->framesDone();
  const bool finished = summary_->finished();
  if (columnsView_ == view() && columnsDone_ == done && columnsFinished_ == finished) return;
  columnsView_ = view();
  columnsDone_ = done;
  columnsFinished_ = finished;
  const auto frame = [this](double ms) { return int64_t(std::llround(ms * sampleRate_ / 1000.0)); };
  summary_->columns(frame(view().fromMs()), frame(view().toMs()), columns_);
}

void WaveformLane::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  const QRect dirty = event->rect();
  paintRuler(p, dirty);
  // The wave column by column: only the columns asked for.
  for (const QRect& r : event->region()) paintWave(p, r);
  paintLoop(p);
  paintMarkers(p);
  paintPlayhead(p);
  paintHover(p);
  // The frame of the skin's read-outs.
  const int frame = std::max(1, int(scale_));
  const QColor edge = Rgb(LaneColors::kFrame);
  p.fillRect(0, 0, width(), frame, edge);
  p.fillRect(0, height() - frame, width(), frame, edge);
  p.fillRect(0, 0, frame, height(), edge);
  p.fillRect(width() - frame, 0, frame, height(), edge);
}

void WaveformLane::paintRuler(QPainter& p, const QRect& dirty) {
  p.fillRect(QRect(0, 0, width(), rulerHeight_), Rgb(LaneColors::kRuler));
  p.fillRect(QRect(0, rulerHeight_ - 1, width(), 1), Rgb(LaneColors::kFrame));
  if (lengthMs() <= 0 || width() <= 0) return;
  const double perPixel = view().spanMs() / width();
  int64_t step = kRulerSteps.back();
  for (int64_t s : kRulerSteps) {
    if (double(s) / perPixel >= labelGap_) {
      step = s;
      break;
    }
  }
  p.setFont(rulerFont_);
  const QFontMetrics metrics(rulerFont_);
  const QRect readout = hoverX_ >= 0 && hoveredMs_ >= 0 ? readoutRect(int(hoverX_)).adjusted(-pad_, 0, pad_, 0) : QRect();
  const int tick = std::max(2, rulerHeight_ / 3);
  const int minorTick = std::max(1, tick / 2);
  // Labels reach right of their tick, so start one step left of the view.
  const int64_t first = int64_t(std::floor(view().fromMs() / double(step))) * step;
  for (int64_t ms = first; double(ms) <= view().toMs(); ms += step) {
    const int x = xOf(double(ms));
    const int half = xOf(double(ms) + step / 2.0);
    if (half >= dirty.left() - 1 && half <= dirty.right() + 1)
      p.fillRect(half, rulerHeight_ - 1 - minorTick, 1, minorTick, Rgb(LaneColors::kTick));
    if (x + labelGap_ < dirty.left() || x > dirty.right() + 1 || ms < 0) continue;
    p.fillRect(x, rulerHeight_ - 1 - tick, 1, tick, Rgb(LaneColors::kTick));
    const QRect box(x + pad_ / 2 + 1, 0, labelGap_, rulerHeight_ - 1);
    // The pointer's read-out takes the place of a label it would cut.
    const QString text = RulerText(ms, step < 1000);
    if (readout.isValid() && readout.intersects(box.adjusted(0, 0, metrics.horizontalAdvance(text) - box.width(), 0))) continue;
    p.setPen(Rgb(LaneColors::kLabel));
    p.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, text);
  }
}

void WaveformLane::paintWave(QPainter& p, const QRect& dirty) {
  const QRect area(0, waveTop_, width(), waveBottom_ - waveTop_);
  QLinearGradient back(0, area.top(), 0, area.bottom());
  back.setColorAt(0, Rgb(LaneColors::kBackTop));
  back.setColorAt(1, Rgb(LaneColors::kBackBottom));
  p.fillRect(area & dirty, back);
  if (lengthMs() <= 0) return;

  // The loop's stretch behind the wave.
  const int64_t a = input_.shownA(), b = input_.shownB();
  if (a >= 0 && b > a) {
    const int left = std::max(0, xOf(double(a))), right = std::min(width() - 1, xOf(double(b)));
    if (right >= left)
      // Translucent: within this rectangle only, or a region of several
      // would shade twice.
      p.fillRect(QRect(left, waveTop_, right - left + 1, area.height()) & dirty,
                 loopEnabled_ || input_.gesture() == LaneGesture::Selecting ? Rgb(LaneColors::kLoop, 24)
                                                                            : QColor(255, 255, 255, 16));
  }

  p.fillRect(QRect(0, centreRow_, width(), 1) & dirty, Rgb(LaneColors::kCentre));

  if (!summary_) return;
  fillColumns();
  const QColor peak = Rgb(LaneColors::kPeak), rms = Rgb(LaneColors::kRms);
  const int from = std::max(0, dirty.left()), to = std::min(width() - 1, dirty.right());
  const double half = halfHeight_;
  for (int x = from; x <= to; ++x) {
    const WaveColumn& c = columns_[size_t(x)];
    const int hp = std::min(halfHeight_, int(c.peak * half + 0.5));
    const int hr = std::min(hp, int(c.rms * half + 0.5));
    if (hp > 0) p.fillRect(x, centreRow_ - hp, 1, 2 * hp + 1, peak);
    if (hr > 0) p.fillRect(x, centreRow_ - hr, 1, 2 * hr + 1, rms);
  }
}

void WaveformLane::paintLoop(QPainter& p) {
  const int64_t a = input_.shownA(), b = input_.shownB();
  const bool lit = loopEnabled_ || input_.gesture() == LaneGesture::Selecting;
  const QColor amber = Rgb(LaneColors::kLoop, lit ? 255 : 120);
  // Along the ruler's foot, the loop as a bar.
  if (a >= 0 && b > a) {
    const int left = std::max(0, xOf(double(a))), right = std::min(width() - 1, xOf(double(b)));
    if (right >= left) p.fillRect(QRect(left, rulerHeight_ - 2 * line_, right - left + 1, 2 * line_), amber);
  }
  p.setFont(tabFont_);
  for (const bool end : {false, true}) {
    const int64_t ms = end ? b : a;
    if (ms < 0 || double(ms) < view().fromMs() || double(ms) > view().toMs()) continue;
    const int x = xOf(double(ms));
    // Both lines lie inside the loop, the tabs too.
    const int lineLeft = end ? x - line_ + 1 : x;
    p.fillRect(QRect(lineLeft, rulerHeight_, line_, waveBottom_ - rulerHeight_), amber);
    const QRect tab(end ? x - tabWidth_ + 1 : x, waveBottom_ - tabHeight_, tabWidth_, tabHeight_);
    p.fillRect(tab, amber);
    p.setPen(QColor(0x1A, 0x12, 0x00));
    p.drawText(tab, Qt::AlignCenter, end ? QStringLiteral("B") : QStringLiteral("A"));
  }
}

void WaveformLane::paintMarkers(QPainter& p) {
  const std::vector<LaneFlag>& flags = input_.flags();
  const LaneGeometry& g = input_.geometry();
  const QFontMetrics metrics(flagFont_);
  p.setFont(flagFont_);
  // Left to right, so a crowded flag lies under its right neighbour's line.
  std::vector<int> order;
  for (size_t i = 0; i < flags.size() && i < markers_.size(); ++i)
    if (flags[i].visible) order.push_back(int(i));
  std::sort(order.begin(), order.end(), [&](int l, int r) { return flags[size_t(l)].left < flags[size_t(r)].left; });
  const QColor line = Rgb(LaneColors::kMarker, 210);
  for (int i : order) {
    const LaneFlag& f = flags[size_t(i)];
    const int x = xOf(double(input_.shownMarkerMs(i)));
    p.fillRect(QRect(x, rulerHeight_, 1, waveBottom_ - rulerHeight_), line);
    const bool selected = i == input_.selectedMarker();
    // On whole pixels from the line's own pixel, so that a flag keeps its
    // width wherever the view puts it.
    const bool pointsLeft = f.left < view().xAt(double(input_.shownMarkerMs(i)), width()) - 0.5;
    const int w = int(std::lround(f.right - f.left));
    const int top = int(g.flagTop), h = int(g.flagBottom - g.flagTop);
    const QRect flag = pointsLeft ? QRect(x - w + 1, top, w, h) : QRect(x, top, w, h);
    p.fillRect(flag, line);
    p.fillRect(flag.adjusted(1, 1, -1, -1), Rgb(selected ? LaneColors::kSelectedFlag : LaneColors::kFlag));
    const QRect text = flag.adjusted(pointsLeft ? pad_ : pad_ + line_, 0, pointsLeft ? -pad_ - line_ : -pad_, 0);
    const QString name = metrics.elidedText(markers_[size_t(i)].name, Qt::ElideRight, text.width());
    if (name.isEmpty() || name == QStringLiteral("…")) continue;
    p.setPen(selected ? Rgb(LaneColors::kBackTop) : QColor(0xE8, 0xEE, 0xF4));
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, name);
  }
}

void WaveformLane::paintPlayhead(QPainter& p) {
  if (playheadMs_ < 0 || double(playheadMs_) < view().fromMs() || double(playheadMs_) > view().toMs()) return;
  const int x = xOf(double(playheadMs_));
  const int left = x - (line_ - 1) / 2;
  const QColor white = Rgb(LaneColors::kPlayhead);
  p.fillRect(QRect(left, rulerHeight_ - head_, line_, waveBottom_ - rulerHeight_ + head_), white);
  // The head: a small stepped triangle at the ruler's foot, pointing down.
  for (int r = 0; r < head_; ++r) {
    const int k = head_ - 1 - r;
    p.fillRect(QRect(left - k, rulerHeight_ - head_ + r, line_ + 2 * k, 1), white);
  }
}

void WaveformLane::paintHover(QPainter& p) {
  if (hoverX_ < 0 || hoveredMs_ < 0) return;
  const int x = int(hoverX_);
  p.fillRect(QRect(x, waveTop_, 1, waveBottom_ - waveTop_), Rgb(LaneColors::kHover, 90));
  const QRect box = readoutRect(x);
  p.fillRect(box, Rgb(LaneColors::kHover));
  p.fillRect(box.adjusted(1, 1, -1, -1), Rgb(LaneColors::kBackTop));
  p.setFont(flagFont_);
  p.setPen(Rgb(LaneColors::kHover));
  p.drawText(box, Qt::AlignCenter, QString::fromStdString(LaneTimeText(hoveredMs_)));
}
