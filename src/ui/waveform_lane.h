// The waveform lane of the practice drawer: the whole song's outline (peak
// and RMS per column, mirrored around a centre line) in the skin's display
// colours, with a time ruler along the top, the A–B loop shaded between two
// amber edges with A and B tabs, named markers as thin lines with flags, the
// playhead, and the time under the pointer to the tenth. What the mouse,
// wheel and keys do is LaneInput's (waveform_lane_input.h); this widget draws
// and turns those actions into signals. It changes nothing by itself: the
// owner answers the signals and sets the loop, markers and playhead back.
//
// The outline is read from a WaveformSummary while its own thread still
// fills it: the lane polls it every 50 ms until it is finished and repaints
// when another column's worth of frames has been summarised. Like the rest of the
// window it draws at a device pixel ratio of 1, scaled by the skin's scale;
// every line and band lies on whole pixels.
//
// Threads: created, driven and painted on the GUI thread; every member
// belongs to it. The summary is only read.
#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <vector>

#include "analysis/waveform_overview.h"
#include "ui/waveform_lane_input.h"

class QMenu;

struct LaneMarker {
  int64_t ms = 0;
  QString name;
};

// The lane's colours, for the owner's skin and the tests' pixel checks.
struct LaneColors {
  static constexpr QRgb kBackTop = 0xFF04070A;
  static constexpr QRgb kBackBottom = 0xFF0C131A;
  static constexpr QRgb kRuler = 0xFF101922;
  static constexpr QRgb kFrame = 0xFF263442;
  static constexpr QRgb kCentre = 0xFF1B2B3A;
  static constexpr QRgb kPeak = 0xFF2A78B0;
  static constexpr QRgb kRms = 0xFF7FD3FF;
  static constexpr QRgb kTick = 0xFF4C5A68;
  static constexpr QRgb kLabel = 0xFF8795A3;
  static constexpr QRgb kLoop = 0xFFFFB020;
  static constexpr QRgb kMarker = 0xFFC9D4DF;
  static constexpr QRgb kFlag = 0xFF233140;
  static constexpr QRgb kSelectedFlag = 0xFF51B5FC;
  static constexpr QRgb kPlayhead = 0xFFFFFFFF;
  static constexpr QRgb kHover = 0xFF77CEFD;
};

class WaveformLane : public QWidget {
  Q_OBJECT

 public:
  // Height at scale 1.0; the lane is as wide as the window.
  static constexpr int kDesignHeight = 84;
  static int heightAt(float scale);

  explicit WaveformLane(QWidget* parent = nullptr);
  ~WaveformLane() override;

  // The song: its outline (not owned; it must outlive the lane or be
  // replaced first) and its length. A new song shows whole, with no loop, no
  // markers, no playhead. A null summary draws no outline but keeps the
  // length, so seeking and the loop still work; null with lengthFrames 0
  // clears the lane.
  void setSummary(const WaveformSummary* summary, int sampleRate, int64_t lengthFrames);
  int64_t lengthMs() const { return input_.view().lengthMs(); }

  // Where the ear is; -1 hides the playhead. Repaints only when it moves by
  // a pixel. While zoomed in, the view pages along when the playhead leaves it.
  void setPlayheadMs(int64_t ms);
  int64_t playheadMs() const { return playheadMs_; }
  // The loop's ends (-1: unset) and whether it plays; a switched-off loop is
  // drawn grey.
  void setLoop(int64_t aMs, int64_t bMs, bool enabled);
  // Markers in the owner's order: the index in the signals is the index here.
  void setMarkers(std::vector<LaneMarker> markers);
  const std::vector<LaneMarker>& markers() const { return markers_; }

  // The window's skin scale: sizes, lines and fonts follow it, computed here
  // once.
  void setScale(float scale);
  float scale() const { return scale_; }

  // Double-click's rule: the loop with a little margin, or the whole song
  // when there is no loop or it is shown already.
  void zoomToLoop();
  void showWholeSong();

  const LaneView& view() const { return input_.view(); }
  const LaneInput& input() const { return input_; }
  // The summary is still being polled for progress.
  bool polling() const { return poll_.isActive(); }
  // The time under the pointer (-1 when it is away).
  int64_t hoveredMs() const { return hoveredMs_; }
  // The centre line's row and the wave's half-height, in pixels (for the
  // tests' pixel checks).
  int centreRow() const { return centreRow_; }
  int waveHalfHeight() const { return halfHeight_; }
  // The menu a right press on a marker opens (null until the first).
  QMenu* markerMenu() const { return menu_; }

  QSize sizeHint() const override;

 signals:
  // A click: play from here.
  void seekRequested(int64_t ms);
  // A drag on the wave: a new loop from aMs to bMs (aMs < bMs).
  void loopSelected(int64_t aMs, int64_t bMs);
  // A loop edge dragged: A (end == false) or B to `ms`, never past the other.
  void loopEdgeMoved(bool end, int64_t ms);
  void markerMoved(int index, int64_t ms);
  // A double-click on a marker's flag, F2 with it selected, or its menu.
  void markerRenameRequested(int index);
  // Delete with the marker selected, or its menu.
  void markerDeleteRequested(int index);
  // The time under the pointer as it moves; -1 when it leaves.
  void hoveredMsChanged(int64_t ms);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  // What the drawing depends on from the input, to repaint only on change.
  struct Shown {
    LaneView view;
    LaneGesture gesture = LaneGesture::None;
    int64_t a = -1, b = -1;
    int selected = -1;
    std::vector<LaneFlag> flags;
    bool operator==(const Shown&) const = default;
  };
  Shown shown() const;
  void apply(const LaneAction& action, QPoint globalAt);
  void afterInput(const Shown& before, const LaneAction& action, QPoint globalAt);
  void applyScale(float scale);
  void updateSizes();
  void updateFlagWidths();
  void pollProgress();
  // Columns' worth of frames summarised so far, at the view's zoom.
  int64_t progressPixels() const;
  int xOf(double ms) const;
  QRect playheadRect(int x) const;
  QRegion hoverRegion(int x) const;
  QRect readoutRect(int x) const;
  void setHover(double x);
  void updateCursor(QPointF at);
  void openMarkerMenu(int index, QPoint globalAt);
  void fillColumns();

  void paintRuler(QPainter& p, const QRect& dirty);
  void paintWave(QPainter& p, const QRect& dirty);
  void paintLoop(QPainter& p);
  void paintMarkers(QPainter& p);
  void paintPlayhead(QPainter& p);
  void paintHover(QPainter& p);

  LaneInput input_;
  const WaveformSummary* summary_ = nullptr;
  int sampleRate_ = 0;
  int64_t playheadMs_ = -1;
  bool loopEnabled_ = false;
  std::vector<LaneMarker> markers_;
  std::vector<double> flagWidths_;  // each marker's whole name, in pixels
  int64_t hoveredMs_ = -1;
  double hoverX_ = -1;
  QTimer poll_;
  int64_t lastProgress_ = -1;
  QMenu* menu_ = nullptr;
  int menuIndex_ = -1;  // the marker the menu is for
  Qt::CursorShape cursor_ = Qt::ArrowCursor;

  // The columns as last read, and what they were read for.
  std::vector<WaveColumn> columns_;
  LaneView columnsView_;
  int64_t columnsDone_ = -1;
  bool columnsFinished_ = false;

  // From the scale (setScale), in pixels.
  float scale_ = 1.0f;
  int line_ = 1;         // edges and playhead
  int rulerHeight_ = 14;
  int flagHeight_ = 14;
  int tabHeight_ = 12;
  int tabWidth_ = 12;
  int pad_ = 4;          // text inside flags and boxes
  int head_ = 4;         // the playhead's head, each side
  int labelGap_ = 60;    // least room between ruler labels
  int readoutWidth_ = 0; // the hover read-out's box, for the song's longest time
  QFont rulerFont_;
  QFont flagFont_;
  QFont tabFont_;

  // From the size (resizeEvent).
  int centreRow_ = 0;
  int halfHeight_ = 0;
  int waveTop_ = 0;
  int waveBottom_ = 0;
};
