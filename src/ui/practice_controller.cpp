#include "ui/practice_controller.h"

#include <algorithm>
#include <cmath>

#include "engine/session.h"
#include "engine/source_loop.h"
#include "settings/settings_store.h"
#include "ui/main_window.h"
#include "ui/playback_parameters.h"
#include "ui/practice_drawer.h"
#include "ui/slider.h"
#include "ui/slider_mapping.h"

namespace {
// Whether the engine takes [startMs, endMs) as a loop at `rate`.
bool LoopFits(int64_t startMs, int64_t endMs, int rate) {
  SourceLoop probe;
  const auto frame = [rate](int64_t ms) { return int64_t(std::llround(double(ms) * rate / 1000.0)); };
  return probe.set(frame(startMs), frame(endMs), rate);
}
}  // namespace

PracticeController::PracticeController(PracticeDrawer& drawer, PlaybackParameters& parameters, Slider& positionSlider,
                                       Settings& settings, std::function<Session*()> session,
                                       std::function<int64_t()> heardMs, QObject* parent)
    : QObject(parent),
      drawer_(drawer),
      parameters_(parameters),
      positionSlider_(positionSlider),
      settings_(settings),
      session_(std::move(session)),
      heardMs_(std::move(heardMs)) {
  connect(&drawer_, &PracticeDrawer::formantToggled, &parameters_, &PlaybackParameters::setFormantsPreserved);
  connect(&drawer_, &PracticeDrawer::tuneToggled, this, [this](bool on) { tuneToA440(on); });
  connect(&drawer_, &PracticeDrawer::loopStartRequested, this, [this] { setLoopStartHere(); });
  connect(&drawer_, &PracticeDrawer::loopEndRequested, this, [this] { setLoopEndHere(); });
  connect(&drawer_, &PracticeDrawer::loopClearRequested, this, [this] { clearLoop(); });
  connect(&drawer_, &PracticeDrawer::loopNudgeRequested, this,
          [this](bool end, int ms) { end ? nudgeLoopEnd(ms) : nudgeLoopStart(ms); });
  connect(&drawer_, &PracticeDrawer::keepSettingsToggled, this, [this](bool on) { settings_.keepSettings = on ? 1 : 0; });
  connect(&drawer_, &PracticeDrawer::trainerToggled, this, [this](bool on) { startTrainer(on); });
  connect(&parameters_, &PlaybackParameters::loopChanged, this, [this] { loopChanged(); });
  drawer_.setKeepSettings(settings_.keepSettings != 0);
  updateLoopDisplay();
}

void PracticeController::setLoopStartHere() {
  if (!session()) return;
  const int64_t at = heardMs_();
  const int64_t end = parameters_.loopEndMs();
  // An end before the new start is no loop: the start stays alone.
  if (end >= 0 && LoopFits(at, end, session()->sampleRate())) setLoop(uint32_t(at), uint32_t(end));
  else parameters_.setLoop(at, -1);
}

void PracticeController::setLoopEndHere() {
  if (!session()) return;
  const uint32_t at = heardMs_();
  const int64_t start = std::max<int64_t>(parameters_.loopStartMs(), 0);
  if (at <= start) return;  // B must come after A
  setLoop(uint32_t(start), at);
}

void PracticeController::setLoop(uint32_t startMs, uint32_t endMs) {
  if (!session() || !LoopFits(startMs, endMs, session()->sampleRate())) return;
  parameters_.setLoopEnabled(true);
  parameters_.setLoop(startMs, endMs);
}

void PracticeController::clearLoop() {
  parameters_.clearLoop();
  if (trainerRunning_) startTrainer(false);
}

void PracticeController::toggleLoop() {
  if (parameters_.loopSet()) parameters_.setLoopEnabled(!parameters_.loopEnabled());
}

// A nudge never lets an end cross the other or leave the song.
void PracticeController::nudgeLoopStart(int ms) {
  if (!session() || parameters_.loopStartMs() < 0) return;
  const int64_t duration = session()->durationMs();
  const int64_t start = std::clamp<int64_t>(parameters_.loopStartMs() + ms, 0, duration);
  const int64_t end = parameters_.loopEndMs();
  if (end < 0) parameters_.setLoop(start, -1);
  else if (LoopFits(start, end, session()->sampleRate())) parameters_.setLoop(start, end);
}

void PracticeController::nudgeLoopEnd(int ms) {
  if (!session() || parameters_.loopEndMs() < 0) return;
  const int64_t end = std::clamp<int64_t>(parameters_.loopEndMs() + ms, 0, session()->durationMs());
  const int64_t start = std::max<int64_t>(parameters_.loopStartMs(), 0);
  if (LoopFits(start, end, session()->sampleRate())) parameters_.setLoop(start, end);
}

// The model's loop on the engine: looping while set and switched on.
void PracticeController::loopChanged() {
  if (Session* s = session()) {
    SourceLoop& loop = s->chain().loop();
    const int rate = s->sampleRate();
    const auto frame = [rate](int64_t ms) { return int64_t(std::llround(double(ms) * rate / 1000.0)); };
    const bool wasLooping = loop.active();
    const int64_t startFrame = frame(parameters_.loopStartMs()), endFrame = frame(parameters_.loopEndMs());
    if (!parameters_.looping()) {
      loop.clear();
    } else if (!wasLooping || loop.startFrame() != startFrame || loop.endFrame() != endFrame) {
      loop.set(startFrame, endFrame, rate);
      trainerPasses_ = loop.passes();
    }
  }
  updateLoopDisplay();
}

void PracticeController::updateLoopDisplay() {
  const int64_t duration = session() ? session()->durationMs() : 0;
  const int64_t startMs = parameters_.loopStartMs(), endMs = parameters_.loopEndMs();
  const auto percent = [&](int64_t ms) {
    return ms < 0 || duration <= 0 ? std::nan("") : std::min(100.0, 100.0 * double(ms) / double(duration));
  };
  positionSlider_.setMarkers(percent(startMs), percent(endMs));
  QString text;
  if (startMs >= 0 && endMs >= 0)
    text = QStringLiteral("A %1 – B %2").arg(LoopTimeText(startMs), LoopTimeText(endMs));
  else if (startMs >= 0)
    text = QStringLiteral("A %1 – press ] for B").arg(LoopTimeText(startMs));
  else
    text = QStringLiteral("Press [ and ] while playing");
  if (parameters_.loopSet() && !parameters_.loopEnabled()) text += QStringLiteral(" (off)");
  drawer_.setLoopText(text);
  drawer_.setLoopAvailable(duration > 0, endMs >= 0);
  drawer_.setLoopEndsSet(duration > 0 && startMs >= 0, duration > 0 && endMs >= 0);
}

void PracticeController::fileOpened() {
  if (trainerRunning_) startTrainer(false);
  keyMeasured(KeyEstimate{});
  updateLoopDisplay();
}

// GET BPM's pass measured the key too (or a file was opened: nothing known).
void PracticeController::keyMeasured(const KeyEstimate& key) {
  key_ = key;
  parameters_.setFineTuneCents(0);
  drawer_.setTuned(false);
  drawer_.setTuneAvailable(key.known);
  updateKeyCaption();
}

// "A minor → B minor": the measured key and where the pitch and speed
// sliders have taken it (tempo keeps the key), as the BPM label follows
// speed and tempo.
void PracticeController::updateKeyCaption() {
  if (!key_.known) {
    drawer_.setKeyText(QStringLiteral("---"), QString());  // until GET BPM has measured it
    return;
  }
  const EffectValues& v = parameters_.values();
  const double speedFactor = (100.0 + v.speedPercent) / 100.0;
  const double pitch = v.pitchSemitones;
  drawer_.setKeyText(QString::fromStdString(KeyChangeCaption(key_, pitch, speedFactor)),
                      QString::fromStdString(TuningCaption(key_.tuningCents)));
}

// The opposite of the measured offset on top of the pitch slider: a
// recording at A = 446 Hz (+24 cents) is played 24 cents lower.
void PracticeController::tuneToA440(bool on) {
  parameters_.setFineTuneCents(on && key_.known ? -double(key_.tuningCents) : 0.0);
}

void PracticeController::startTrainer(bool on) {
  if (on && (!session() || !parameters_.looping())) return;
  trainerRunning_ = on;
  if (!on) {
    drawer_.setTrainerRunning(false, QStringLiteral("Stopped."));
    return;
  }
  trainer_ = drawer_.trainerPlan();
  trainerPasses_ = session()->chain().loop().passes();
  applyTrainerValue(trainer_.percentAfter(0));
}

// A trainer value goes into the model, exact; its slider, label, the BPM
// label and the engine follow.
void PracticeController::applyTrainerValue(double percent) {
  const bool speed = trainer_.parameter == SpeedTrainer::Parameter::Speed;
  parameters_.setValue(speed ? PlaybackParameters::Effect::Speed : PlaybackParameters::Effect::Tempo, percent);
  const uint32_t pass = session() ? session()->chain().loop().passes() - trainerPasses_ : 0;
  const QString value = QString::fromStdString(LabelNumber(percent, 3, pw::LocaleNumberSymbols()));
  const QString name = speed ? QStringLiteral("Speed") : QStringLiteral("Tempo");
  const QString status = trainer_.finishedAfter(pass)
                             ? QStringLiteral("%1 %2 % reached.").arg(name, value)
                             : QStringLiteral("Pass %1: %2 %3 %").arg(pass + 1).arg(name, value);
  drawer_.setTrainerRunning(true, status);
}

// Every 25 ms: a finished loop pass moves the trainer on by one step.
void PracticeController::tick() {
  if (!trainerRunning_ || !session()) return;
  const uint32_t passes = session()->chain().loop().passes() - trainerPasses_;
  const double want = trainer_.percentAfter(passes);
  const bool speed = trainer_.parameter == SpeedTrainer::Parameter::Speed;
  const double set = parameters_.value(speed ? PlaybackParameters::Effect::Speed : PlaybackParameters::Effect::Tempo);
  if (want != set) applyTrainerValue(want);
}
