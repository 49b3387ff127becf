// The practice drawer of the main window: its place below the skin, the
// context menu, and the practice tools' commands, which PracticeController
// carries out.
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QVariantAnimation>

#include <cmath>

#include "engine/playback.h"
#include "ui/playback_parameters.h"
#include "engine/session.h"
#include "ui/main_window.h"
#include "ui/practice_controller.h"
#include "ui/practice_drawer.h"
#include "ui/skin.h"
#include "ui/skin_button.h"
#include "ui/slider.h"
#include "ui/slider_mapping.h"
#include "ui/waveform_lane_input.h"

QString LoopTimeText(int64_t ms) { return QString::fromStdString(LaneTimeText(ms)); }

void MainWindow::createPracticeDrawer() {
  drawer_ = new PracticeDrawer(this);
  drawer_->hide();
  practice_ = new PracticeController(*drawer_, *parameters_, *positionSlider_, settings_,
                                     [this] { return session_.get(); },
                                     [this] { return int64_t(heardPositionMs()); }, this);
}

void MainWindow::setPracticeDrawerOpen(bool open) {
  drawerOpen_ = open;
  settings_.practiceDrawer = open ? 1 : 0;
  const double target = open ? 1.0 : 0.0;
  if (!isVisible()) {
    // Nothing to watch: the drawer is simply where it belongs.
    if (drawerSlide_ != nullptr) drawerSlide_->stop();
    drawerReveal_ = target;
    placePracticeDrawer();
    return;
  }
  // On screen it slides out (and back in) over a sixth of a second.
  if (drawerSlide_ == nullptr) {
    drawerSlide_ = new QVariantAnimation(this);
    drawerSlide_->setDuration(170);
    drawerSlide_->setEasingCurve(QEasingCurve::OutCubic);
    connect(drawerSlide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
      drawerReveal_ = value.toDouble();
      placePracticeDrawer();
    });
  }
  drawerSlide_->stop();
  drawerSlide_->setStartValue(drawerReveal_);
  drawerSlide_->setEndValue(target);
  drawerSlide_->start();
}

// The window grows downward by the drawer's height; closed, it is the skin
// alone, exactly as without the drawer.
void MainWindow::placePracticeDrawer() {
  if (drawer_ == nullptr) return;
  const QSize skin = Skin::sizeAt(scale_);
  drawer_->setScale(scale_);
  const int overlap = int(std::lround(14 * scale_));
  // How much of the drawer shows below the skin (all of it once open).
  const int full = PracticeDrawer::heightAt(scale_);
  const int height = int(std::lround(full * drawerReveal_));
  if (height <= overlap) {
    drawer_->hide();
    setFixedSize(skin);
    setMask(skin_.shape(scale_));
    return;
  }
  // The skin's lower edge is rounded; the drawer tucks under it so that
  // the two read as one body. While it slides, the window's edge uncovers
  // it from the top down.
  drawer_->setGeometry(0, skin.height() - overlap, skin.width(), full);
  setFixedSize(skin.width(), skin.height() - overlap + height);
  // The drawer's shape: a rectangle with rounded lower corners.
  const int top = skin.height() - overlap, r = std::min(int(std::lround(14 * scale_)), height / 2);
  QRegion shape = skin_.shape(scale_);
  shape += QRegion(0, top, skin.width(), height - r);
  shape += QRegion(r, top, skin.width() - 2 * r, height);
  shape += QRegion(0, top + height - 2 * r, 2 * r, 2 * r, QRegion::Ellipse);
  shape += QRegion(skin.width() - 2 * r, top + height - 2 * r, 2 * r, 2 * r, QRegion::Ellipse);
  setMask(shape);
  drawer_->show();
  drawer_->raise();
  // A drawer that would open past the bottom of the screen lifts the window
  // instead, never above the screen's top.
  if (const QScreen* s = isVisible() ? screen() : nullptr) {
    const QRect area = s->availableGeometry();
    const int overflow = geometry().bottom() - area.bottom();
    if (overflow > 0) move(x(), std::max(area.top(), y() - overflow));
  }
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  fillContextMenu(menu);
  menu.exec(event->globalPos());
}

// Every command of the window, each with its key.
void MainWindow::fillContextMenu(QMenu& menu) {
  const auto add = [&](const QString& text, const QKeySequence& keys, bool enabled, auto action) {
    QAction* a = menu.addAction(text);
    a->setShortcut(keys);
    a->setShortcutVisibleInContextMenu(true);
    a->setEnabled(enabled);
    connect(a, &QAction::triggered, this, action);
    return a;
  };
  add(QStringLiteral("Open..."), QKeySequence(Qt::CTRL | Qt::Key_O), openButton_->isEnabled(), [this] { chooseFile(); });
  fillRecentMenu(*menu.addMenu(QStringLiteral("Open recent")));
  add(QStringLiteral("Save..."), QKeySequence(Qt::CTRL | Qt::Key_S), saveButton_->isEnabled(), [this] { save(); });
  add(QStringLiteral("GET BPM"), QKeySequence(Qt::CTRL | Qt::Key_B), bpmButton_->isEnabled(), [this] { measureBpm(); });
  menu.addSeparator();
  const bool open = session_ != nullptr;
  add(QStringLiteral("Add marker"), QKeySequence(Qt::Key_M), open, [this] { addMarkerHere(); });
  add(QStringLiteral("Previous marker"), QKeySequence(Qt::Key_Comma), open && !parameters_->markers().empty(),
      [this] { jumpToPreviousMarker(); });
  add(QStringLiteral("Next marker"), QKeySequence(Qt::Key_Period), open && !parameters_->markers().empty(),
      [this] { jumpToNextMarker(); });
  add(QStringLiteral("Loop this section"), QKeySequence(Qt::CTRL | Qt::Key_L), open && !parameters_->markers().empty(),
      [this] { loopSectionHere(); });
  menu.addSeparator();
  QAction* practice =
      add(QStringLiteral("Practice tools"), QKeySequence(Qt::Key_P), true, [this] { setPracticeDrawerOpen(!drawerOpen_); });
  practice->setCheckable(true);
  practice->setChecked(drawerOpen_);
  add(QStringLiteral("Help"), QKeySequence(Qt::Key_F1), true, [this] { showHelp(); });
  add(QStringLiteral("About"), QKeySequence(), true, [this] { showAbout(); });
  menu.addSeparator();
  QAction* reports = menu.addAction(reportsAvailable_ ? QStringLiteral("Send error reports")
                                                      : QStringLiteral("Send error reports (not in this build)"));
  reports->setObjectName(QStringLiteral("sendReportsAction"));
  reports->setCheckable(true);
  reports->setChecked(reportsAvailable_ && sendReports());
  reports->setEnabled(reportsAvailable_);
  connect(reports, &QAction::toggled, this, &MainWindow::setSendReports);
  menu.addSeparator();
  add(QStringLiteral("Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), true, [this] { close(); });
}

void MainWindow::addMarkerHere() {
  if (!session_) return;
  parameters_->addMarker(heardPositionMs(), parameters_->nextMarkerName());
}

void MainWindow::jumpToPreviousMarker() {
  if (!session_) return;
  const bool playing = playback_ && playback_->state() == Playback::State::Playing;
  if (const auto ms = parameters_->markerBefore(heardPositionMs(), playing ? 500 : 0)) seekTo(*ms);
}

void MainWindow::jumpToNextMarker() {
  if (!session_) return;
  if (const auto ms = parameters_->markerAfter(heardPositionMs())) seekTo(*ms);
}

void MainWindow::loopSectionHere() {
  if (!session_) return;
  if (const auto section = parameters_->sectionAt(heardPositionMs(), session_->durationMs()))
    setLoop(uint32_t(section->first), uint32_t(section->second));
}

int64_t MainWindow::loopStartMs() const { return parameters_->loopStartMs(); }
int64_t MainWindow::loopEndMs() const { return parameters_->loopEndMs(); }

// What is heard lags the reader by the sound buffered on the way to the
// speakers; a loop end set with a key belongs where the ear was.
uint32_t MainWindow::heardPositionMs() const {
  if (!playback_ || !session_) return 0;
  const auto read = uint32_t(playback_->positionMs());
  const OutputStream* stream = playback_->stream();
  if (playback_->state() != Playback::State::Playing || stream == nullptr) return read;
  const auto lag = uint32_t(std::lround((stream->aheadSeconds() + stream->deviceLatency()) * 1000));
  return read > lag ? read - lag : 0;
}

void MainWindow::setLoopStartHere() { practice_->setLoopStartHere(); }
void MainWindow::setLoopEndHere() { practice_->setLoopEndHere(); }
void MainWindow::setLoop(uint32_t startMs, uint32_t endMs) { practice_->setLoop(startMs, endMs); }
void MainWindow::clearLoop() { practice_->clearLoop(); }
void MainWindow::toggleLoop() { practice_->toggleLoop(); }
void MainWindow::nudgeLoopStart(int ms) { practice_->nudgeLoopStart(ms); }
void MainWindow::nudgeLoopEnd(int ms) { practice_->nudgeLoopEnd(ms); }
void MainWindow::practiceFileOpened() { practice_->fileOpened(); }
void MainWindow::keyMeasured(const KeyEstimate& key) { practice_->keyMeasured(key); }
void MainWindow::updateKeyCaption() {
  if (practice_ != nullptr) practice_->updateKeyCaption();
}
void MainWindow::practiceTick() { practice_->tick(); }
