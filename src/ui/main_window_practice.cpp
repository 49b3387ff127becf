// The practice tools of the main window: the drawer, the A–B loop, the
// speed trainer, formants and tuning.
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QVariantAnimation>

#include <cmath>

#include "engine/playback.h"
#include "ui/playback_parameters.h"
#include "engine/session.h"
#include "ui/main_window.h"
#include "ui/practice_drawer.h"
#include "ui/skin.h"
#include "ui/slider.h"
#include "ui/slider_mapping.h"

QString LoopTimeText(int64_t ms) {
  ms = std::max<int64_t>(0, ms);
  const int64_t tenths = ms / 100, seconds = tenths / 10, minutes = seconds / 60, hours = minutes / 60;
  if (hours > 0)
    return QStringLiteral("%1:%2:%3.%4")
        .arg(hours)
        .arg(minutes % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'))
        .arg(tenths % 10);
  return QStringLiteral("%1:%2.%3").arg(minutes).arg(seconds % 60, 2, 10, QLatin1Char('0')).arg(tenths % 10);
}

namespace {
// Whether the engine takes [startMs, endMs) as a loop at `rate`.
bool LoopFits(int64_t startMs, int64_t endMs, int rate) {
  SourceLoop probe;
  const auto frame = [rate](int64_t ms) { return int64_t(std::llround(double(ms) * rate / 1000.0)); };
  return probe.set(frame(startMs), frame(endMs), rate);
}
}  // namespace

void MainWindow::createPracticeDrawer() {
  drawer_ = new PracticeDrawer(this);
  drawer_->hide();
  connect(drawer_, &PracticeDrawer::formantToggled, parameters_, &PlaybackParameters::setFormantsPreserved);
  connect(drawer_, &PracticeDrawer::tuneToggled, this, &MainWindow::tuneToA440);
  connect(drawer_, &PracticeDrawer::loopStartRequested, this, &MainWindow::setLoopStartHere);
  connect(drawer_, &PracticeDrawer::loopEndRequested, this, &MainWindow::setLoopEndHere);
  connect(drawer_, &PracticeDrawer::loopClearRequested, this, &MainWindow::clearLoop);
  connect(drawer_, &PracticeDrawer::loopNudgeRequested, this,
          [this](bool end, int ms) { end ? nudgeLoopEnd(ms) : nudgeLoopStart(ms); });
  connect(drawer_, &PracticeDrawer::keepSettingsToggled, this, [this](bool on) { settings_.keepSettings = on ? 1 : 0; });
  drawer_->setKeepSettings(settings_.keepSettings != 0);
  connect(drawer_, &PracticeDrawer::trainerToggled, this, &MainWindow::startTrainer);
  updateLoopDisplay();
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
  const int full = PracticeDrawer::HeightAt(scale_);
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
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  fillContextMenu(menu);
  menu.exec(event->globalPos());
}

void MainWindow::fillContextMenu(QMenu& menu) {
  QAction* practice = menu.addAction(QStringLiteral("Practice tools"));
  practice->setCheckable(true);
  practice->setChecked(drawerOpen_);
  practice->setShortcut(QKeySequence(Qt::Key_P));
  connect(practice, &QAction::triggered, this, [this] { setPracticeDrawerOpen(!drawerOpen_); });
  menu.addSeparator();
  QAction* reports = menu.addAction(reportsAvailable_ ? QStringLiteral("Send error reports")
                                                      : QStringLiteral("Send error reports (not in this build)"));
  reports->setObjectName(QStringLiteral("sendReportsAction"));
  reports->setCheckable(true);
  reports->setChecked(reportsAvailable_ && sendReports());
  reports->setEnabled(reportsAvailable_);
  connect(reports, &QAction::toggled, this, &MainWindow::setSendReports);
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

void MainWindow::setLoopStartHere() {
  if (!session_) return;
  const int64_t at = heardPositionMs();
  const int64_t end = parameters_->loopEndMs();
  // An end before the new start is no loop: the start stays alone.
  if (end >= 0 && LoopFits(at, end, session_->sampleRate())) setLoop(uint32_t(at), uint32_t(end));
  else parameters_->setLoop(at, -1);
}

void MainWindow::setLoopEndHere() {
  if (!session_) return;
  const uint32_t at = heardPositionMs();
  const int64_t start = std::max<int64_t>(parameters_->loopStartMs(), 0);
  if (at <= start) return;  // B must come after A
  setLoop(uint32_t(start), at);
}

void MainWindow::setLoop(uint32_t startMs, uint32_t endMs) {
  if (!session_ || !LoopFits(startMs, endMs, session_->sampleRate())) return;
  parameters_->setLoopEnabled(true);
  parameters_->setLoop(startMs, endMs);
}

void MainWindow::clearLoop() {
  parameters_->clearLoop();
  if (trainerRunning_) startTrainer(false);
}

void MainWindow::toggleLoop() {
  if (parameters_->loopSet()) parameters_->setLoopEnabled(!parameters_->loopEnabled());
}

// A nudge never lets an end cross the other or leave the song.
void MainWindow::nudgeLoopStart(int ms) {
  if (!session_ || parameters_->loopStartMs() < 0) return;
  const int64_t duration = session_->durationMs();
  const int64_t start = std::clamp<int64_t>(parameters_->loopStartMs() + ms, 0, duration);
  const int64_t end = parameters_->loopEndMs();
  if (end < 0) parameters_->setLoop(start, -1);
  else if (LoopFits(start, end, session_->sampleRate())) parameters_->setLoop(start, end);
}

void MainWindow::nudgeLoopEnd(int ms) {
  if (!session_ || parameters_->loopEndMs() < 0) return;
  const int64_t end = std::clamp<int64_t>(parameters_->loopEndMs() + ms, 0, session_->durationMs());
  const int64_t start = std::max<int64_t>(parameters_->loopStartMs(), 0);
  if (LoopFits(start, end, session_->sampleRate())) parameters_->setLoop(start, end);
}

// The model's loop on the engine: looping while set and switched on.
void MainWindow::loopChanged() {
  if (session_) {
    SourceLoop& loop = session_->chain().loop();
    const int rate = session_->sampleRate();
    const auto frame = [rate](int64_t ms) { return int64_t(std::llround(double(ms) * rate / 1000.0)); };
    const bool wasLooping = loop.active();
    const int64_t startFrame = frame(parameters_->loopStartMs()), endFrame = frame(parameters_->loopEndMs());
    if (!parameters_->looping()) {
      loop.clear();
    } else if (!wasLooping || loop.startFrame() != startFrame || loop.endFrame() != endFrame) {
      loop.set(startFrame, endFrame, rate);
      trainerPasses_ = loop.passes();
    }
  }
  updateLoopDisplay();
}

void MainWindow::updateLoopDisplay() {
  const int64_t duration = session_ ? session_->durationMs() : 0;
  const int64_t startMs = parameters_->loopStartMs(), endMs = parameters_->loopEndMs();
  const auto percent = [&](int64_t ms) {
    return ms < 0 || duration <= 0 ? std::nan("") : std::min(100.0, 100.0 * double(ms) / double(duration));
  };
  positionSlider_->setMarkers(percent(startMs), percent(endMs));
  if (drawer_ == nullptr) return;
  QString text;
  if (startMs >= 0 && endMs >= 0)
    text = QStringLiteral("A %1 – B %2").arg(LoopTimeText(startMs), LoopTimeText(endMs));
  else if (startMs >= 0)
    text = QStringLiteral("A %1 – press ] for B").arg(LoopTimeText(startMs));
  else
    text = QStringLiteral("Press [ and ] while playing");
  if (parameters_->loopSet() && !parameters_->loopEnabled()) text += QStringLiteral(" (off)");
  drawer_->setLoopText(text);
  drawer_->setLoopAvailable(duration > 0, endMs >= 0);
  drawer_->setLoopEndsSet(duration > 0 && startMs >= 0, duration > 0 && endMs >= 0);
}

void MainWindow::practiceFileOpened() {
  if (trainerRunning_) startTrainer(false);
  keyMeasured(KeyEstimate{});
  updateLoopDisplay();
}

// GET BPM's pass measured the key too (or a file was opened: nothing known).
void MainWindow::keyMeasured(const KeyEstimate& key) {
  key_ = key;
  parameters_->setFineTuneCents(0);
  if (drawer_ != nullptr) {
    drawer_->setTuned(false);
    drawer_->setTuneAvailable(key.known);
  }
  updateKeyCaption();
}

// "A minor → B minor": the measured key and where the pitch and speed
// sliders have taken it (tempo keeps the key), as the BPM label follows
// speed and tempo.
void MainWindow::updateKeyCaption() {
  if (drawer_ == nullptr) return;
  if (!key_.known) {
    drawer_->setKeyText(QStringLiteral("---"), QString());  // until GET BPM has measured it
    return;
  }
  const EffectValues& v = parameters_->values();
  const double speedFactor = (100.0 + v.speedPercent) / 100.0;
  const double pitch = v.pitchSemitones;
  drawer_->setKeyText(QString::fromStdString(KeyChangeCaption(key_, pitch, speedFactor)),
                      QString::fromStdString(TuningCaption(key_.tuningCents)));
}

// The opposite of the measured offset on top of the pitch slider: a
// recording at A = 446 Hz (+24 cents) is played 24 cents lower.
void MainWindow::tuneToA440(bool on) {
  parameters_->setFineTuneCents(on && key_.known ? -double(key_.tuningCents) : 0.0);
}

void MainWindow::startTrainer(bool on) {
  if (on && (!session_ || !parameters_->looping())) return;
  trainerRunning_ = on;
  if (!on) {
    if (drawer_ != nullptr) drawer_->setTrainerRunning(false, QStringLiteral("Stopped."));
    return;
  }
  trainer_ = drawer_ != nullptr ? drawer_->trainerPlan() : SpeedTrainer{};
  trainerPasses_ = session_->chain().loop().passes();
  applyTrainerValue(trainer_.percentAfter(0));
}

// A trainer value goes into the model, exact; its slider, label, the BPM
// label and the engine follow.
void MainWindow::applyTrainerValue(double percent) {
  const bool speed = trainer_.parameter == SpeedTrainer::Parameter::Speed;
  parameters_->setValue(speed ? PlaybackParameters::Effect::Speed : PlaybackParameters::Effect::Tempo, percent);
  const uint32_t pass = session_ ? session_->chain().loop().passes() - trainerPasses_ : 0;
  const QString value = QString::fromStdString(LabelNumber(percent, 3, pw::LocaleNumberSymbols()));
  const QString name = speed ? QStringLiteral("Speed") : QStringLiteral("Tempo");
  const QString status = trainer_.finishedAfter(pass)
                             ? QStringLiteral("%1 %2 % reached.").arg(name, value)
                             : QStringLiteral("Pass %1: %2 %3 %").arg(pass + 1).arg(name, value);
  if (drawer_ != nullptr) drawer_->setTrainerRunning(true, status);
}

// Every 25 ms: a finished loop pass moves the trainer on by one step.
void MainWindow::practiceTick() {
  if (!trainerRunning_ || !session_) return;
  const uint32_t passes = session_->chain().loop().passes() - trainerPasses_;
  const double want = trainer_.percentAfter(passes);
  const bool speed = trainer_.parameter == SpeedTrainer::Parameter::Speed;
  const double set = parameters_->value(speed ? PlaybackParameters::Effect::Speed : PlaybackParameters::Effect::Tempo);
  if (want != set) applyTrainerValue(want);
}
