// The keyboard of the main window: its shortcuts, and the exact-value editor
// over the effect sliders' value labels.
#include <QEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMouseEvent>
#include <QShortcut>

#include <algorithm>
#include <cmath>
#include <functional>

#include "ui/main_window.h"
#include "engine/playback.h"
#include "ui/playback_parameters.h"
#include "engine/session.h"
#include "ui/skin_button.h"
#include "ui/slider.h"
#include "ui/slider_mapping.h"
#include "ui/value_editor.h"
#include "ui/practice_drawer.h"
#include "ui/waveform_lane.h"

const std::vector<MainWindow::KeyBinding>& MainWindow::keyBindings() {
  static const std::vector<KeyBinding> bindings = {
      {"Space", "Play / pause"},
      {"Ctrl+O", "Open a file"},
      {"Ctrl+S", "Save the processed file"},
      {"Left", "Back 5 seconds"},
      {"Right", "Forward 5 seconds"},
      {"Shift+Left", "Back 1 second"},
      {"Shift+Right", "Forward 1 second"},
      {"Home", "To the start"},
      {"[", "Loop start (A) at the playing position"},
      {"]", "Loop end (B) at the playing position"},
      {"L", "Loop off / on"},
      {"Alt+Left", "Loop start 50 ms earlier (with Shift: 1 s)"},
      {"Alt+Right", "Loop start 50 ms later (with Shift: 1 s)"},
      {"Ctrl+Left", "Loop end 50 ms earlier (with Shift: 1 s)"},
      {"Ctrl+Right", "Loop end 50 ms later (with Shift: 1 s)"},
      {"M", "Marker at the playing position"},
      {",", "To the previous marker"},
      {".", "To the next marker"},
      {"Ctrl+L", "Loop the section between the markers around the playing position"},
      {"Ctrl+B", "GET BPM: measure tempo and key"},
      {"P", "Practice tools"},
      {"F1", "Help"},
      {"Ctrl+Q", "Quit"},
  };
  return bindings;
}

void MainWindow::createShortcuts() {
  const auto bind = [this](const QKeySequence& keys, std::function<void()> action) {
    keyActions_.push_back({keys, action});
    auto* shortcut = new QShortcut(keys, this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, action);
  };
  bind(QKeySequence(Qt::Key_Space), [this] { togglePlay(); });
  bind(QKeySequence(Qt::CTRL | Qt::Key_O), [this] {
    if (openButton_->isEnabled()) chooseFile();
  });
  bind(QKeySequence(Qt::CTRL | Qt::Key_S), [this] {
    if (saveButton_->isEnabled()) save();
  });
  bind(QKeySequence(Qt::Key_Left), [this] { seekBy(-5000); });
  bind(QKeySequence(Qt::Key_Right), [this] { seekBy(5000); });
  bind(QKeySequence(Qt::SHIFT | Qt::Key_Left), [this] { seekBy(-1000); });
  bind(QKeySequence(Qt::SHIFT | Qt::Key_Right), [this] { seekBy(1000); });
  bind(QKeySequence(Qt::Key_Home), [this] { seekTo(0); });
  bind(QKeySequence(Qt::Key_BracketLeft), [this] { setLoopStartHere(); });
  bind(QKeySequence(Qt::Key_BracketRight), [this] { setLoopEndHere(); });
  bind(QKeySequence(Qt::Key_L), [this] { toggleLoop(); });
  bind(QKeySequence(Qt::ALT | Qt::Key_Left), [this] { nudgeLoopStart(-50); });
  bind(QKeySequence(Qt::ALT | Qt::Key_Right), [this] { nudgeLoopStart(50); });
  bind(QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_Left), [this] { nudgeLoopStart(-1000); });
  bind(QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_Right), [this] { nudgeLoopStart(1000); });
  bind(QKeySequence(Qt::CTRL | Qt::Key_Left), [this] { nudgeLoopEnd(-50); });
  bind(QKeySequence(Qt::CTRL | Qt::Key_Right), [this] { nudgeLoopEnd(50); });
  bind(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Left), [this] { nudgeLoopEnd(-1000); });
  bind(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Right), [this] { nudgeLoopEnd(1000); });
  bind(QKeySequence(Qt::Key_M), [this] { addMarkerHere(); });
  bind(QKeySequence(Qt::Key_Comma), [this] { jumpToPreviousMarker(); });
  bind(QKeySequence(Qt::Key_Period), [this] { jumpToNextMarker(); });
  bind(QKeySequence(Qt::CTRL | Qt::Key_L), [this] { loopSectionHere(); });
  bind(QKeySequence(Qt::CTRL | Qt::Key_B), [this] {
    if (bpmButton_->isEnabled()) measureBpm();
  });
  bind(QKeySequence(Qt::Key_P), [this] { setPracticeDrawerOpen(!drawerOpen_); });
  bind(QKeySequence(Qt::Key_F1), [this] { showHelp(); });
  bind(QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });

  // The shortcuts in the hints.
  openButton_->setToolTip(openButton_->toolTip() + QStringLiteral(" (Ctrl+O)"));
  saveButton_->setToolTip(saveButton_->toolTip() + QStringLiteral(" (Ctrl+S)"));
  playButton_->setToolTip(QStringLiteral("Play (Space)"));
  pauseButton_->setToolTip(QStringLiteral("Pause (Space)"));
  helpButton_->setToolTip(QStringLiteral("Help (F1)"));
  bpmButton_->setToolTip(bpmButton_->toolTip() + QStringLiteral(" (Ctrl+B)"));
  closeButton_->setToolTip(closeButton_->toolTip() + QStringLiteral(" (Ctrl+Q)"));
  positionSlider_->setToolTip(QStringLiteral("Playback Position (Left/Right: 5 s, Shift: 1 s, Home: start)"));
  for (Slider* slider : effectSliders_)
    slider->setToolTip(slider->toolTip() +
                       QStringLiteral(" (double-click the value or press Enter to type it; double-click the thumb: 0)"));
}

// Keys that reach the window itself (no shortcut took them: the window was
// not the active one, or a key was sent to it directly) do the same.
void MainWindow::keyPressEvent(QKeyEvent* event) {
  const QKeySequence pressed(event->keyCombination());
  for (const KeyAction& a : keyActions_) {
    if (a.keys == pressed) {
      if (!event->isAutoRepeat() || event->key() == Qt::Key_Left || event->key() == Qt::Key_Right) a.action();
      event->accept();
      return;
    }
  }
  QWidget::keyPressEvent(event);
}

void MainWindow::togglePlay() {
  if (!playback_ || !session_) return;
  if (playback_->state() == Playback::State::Playing) pause();
  else play();
}

void MainWindow::seekTo(int64_t ms) {
  if (!playback_ || !session_) return;
  const int64_t duration = session_->durationMs();
  const int64_t target = std::clamp<int64_t>(ms, 0, std::max<int64_t>(duration - 1, 0));
  playback_->seekMs(target);
  analyser_.clear();
  timeLabel_->setText(ElapsedTimeText(uint32_t(target)));
  positionSlider_->setPosition(PositionPercent(uint32_t(target), int32_t(duration)));
  drawer_->lane()->setPlayheadMs(target);
}

void MainWindow::seekBy(int64_t ms) {
  if (!playback_ || !session_) return;
  seekTo(playback_->positionMs() + ms);
}

namespace {
struct EditorRange {
  ValueRange range;
  int decimals;
};
constexpr EditorRange kEditorRanges[5] = {{kSpeedPercentRange, 1},
                                          {kTempoPercentRange, 1},
                                          {kPitchSemitoneRange, 2},
                                          {kTreblePercentRange, 1},
                                          {kBassPercentRange, 1}};
}  // namespace

void MainWindow::editValue(int index) {
  if (index < 0 || index >= PlaybackParameters::kEffectCount) return;
  const EditorRange& r = kEditorRanges[index];
  const double value = parameters_->value(PlaybackParameters::Effect(index));
  // The figure as it is, without the unit: what the user types over.
  QString text = QString::number(value, 'g', 10);
  valueEditor_->open(valueLabels_[index], text, r.range.minimum, r.range.maximum, r.decimals);
  valueEditor_->disconnect(this);
  connect(valueEditor_, &ValueEditor::valueEntered, this,
          [this, index](double entered) { parameters_->setValue(PlaybackParameters::Effect(index), entered); });
}

// A double-click on a value label opens its editor.
bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonDblClick) {
    for (int i = 0; i < PlaybackParameters::kEffectCount; ++i) {
      if (watched == valueLabels_[i]) {
        editValue(i);
        return true;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::showPlayState() {
  const Playback::State state = playback_ ? playback_->state() : Playback::State::Stopped;
  playButton_->setLit(state == Playback::State::Playing);
  pauseButton_->setLit(state == Playback::State::Paused);
}
