// The main window: one skinned, borderless panel that owns the sound engine
// for the open file and every control the user touches. It is the program's
// controller: start-up builds the engine and the controls in a fixed order,
// closing the window saves the settings and takes everything down again in
// a fixed order.
#pragma once

#include <QPoint>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <QStringList>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "settings_store.h"
#include "skin.h"
#include "spectrum_analyser.h"

class Engine;
class Knob;
class QLabel;
class SkinButton;
class Slider;
class SpectrumDisplay;

// The open dialog's filters, "description (patterns)", in the order shown.
QStringList OpenDialogFilters();
// Elapsed time as "hh:mm:ss": at least two digits each, hours unbounded.
QString ElapsedTimeText(uint32_t ms);
// The position slider's value for a playing position: whole percent of the
// duration, truncated (0 for a duration of 0).
double PositionPercent(uint32_t positionMs, int32_t durationMs);
// Where a release at `x` pixels on a slider `width` pixels wide seeks to:
// the same share of the duration, truncated; left of the slider is 0, right
// of it past the end.
uint32_t SeekTargetMs(int32_t durationMs, double x, int width);

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  // `store`: where the settings are loaded from now and saved to at close
  // (empty: the per-user store). `startupFile`: the file named on the
  // command line, or empty. `scale`: the skin scale; 0 takes it from the
  // screen's logical dots per inch.
  explicit MainWindow(const SettingsStore& store = {}, const QString& startupFile = QString(), float scale = 0.0f);
  ~MainWindow() override;

  float uiScale() const { return scale_; }
  const config& settings() const { return settings_; }
  // The last file this window was asked to open (whether it opened or not).
  QString requestedFile() const { return requestedFile_; }

  // Opens `fileName` as OPEN, the command line and a drop do: closes the
  // previous file, checks the new one (telling the user what is wrong with
  // it) and readies the chain, the controls and the caption. Does not play.
  void openFile(const QString& fileName);
  // One beat of the 25 ms clock: while playing, the spectrum of what is
  // heard, the elapsed time and the position slider; otherwise the display
  // only lets its bars fall.
  void tick();
  // The sound path of the open file (null when it could not be made).
  Engine* engine() const { return engine_.get(); }
  // True from GET BPM until the measured value has been shown (or the
  // measurement was called off).
  bool measuringBpm() const { return measuringBpm_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void customEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void createControls();
  void createEngine();
  void loadSettings();
  void applyScale(float scale);
  void firstShow();
  void connectControls();
  void enableButtons(bool on);
  void updateBpmLabel();
  void measureBpm();
  void bpmMeasured(uint64_t serial, float value);
  void cancelBpmMeasurement();
  void chooseFile();
  void effectSliderMoved(int index, double x);
  void play();
  void pause();
  void stop();
  void positionPressed();
  void positionReleased(double x);
  void playbackEnded();

  // ---- save (main_window_save.cpp) ----
  void save();
  // ---- end save ----

  // ---- help and about (main_window_help.cpp) ----
  void showHelp();
  void showAbout();
  // ---- end help and about ----

  SettingsStore store_;
  config settings_;
  float scale_ = 1.0f;
  Skin skin_;
  QString requestedFile_;

  // Controls, children of the window (Qt frees them after the destructor).
  SpectrumDisplay* spectrum_ = nullptr;
  QLabel* nameLabel_ = nullptr;
  QLabel* timeLabel_ = nullptr;
  QLabel* bpmLabel_ = nullptr;
  std::array<QLabel*, 5> valueLabels_{};  // speed, tempo, pitch, treble, bass
  Knob* volumeKnob_ = nullptr;
  std::array<Slider*, 5> effectSliders_{};  // speed, tempo, pitch, treble, bass
  Slider* positionSlider_ = nullptr;
  SkinButton* openButton_ = nullptr;
  SkinButton* saveButton_ = nullptr;
  SkinButton* bpmButton_ = nullptr;
  SkinButton* aboutButton_ = nullptr;
  SkinButton* playButton_ = nullptr;
  SkinButton* pauseButton_ = nullptr;
  SkinButton* stopButton_ = nullptr;
  SkinButton* minButton_ = nullptr;
  SkinButton* helpButton_ = nullptr;
  SkinButton* closeButton_ = nullptr;

  // Drives the time, the position slider and the spectrum display.
  QTimer timer_{this};
  SpectrumAnalyser analyser_;
  int32_t measuredBpm_ = 0;  // 0: not measured for the open file
  // The BPM worker owns the player's reader while it runs: OPEN, SAVE, GET
  // BPM and the transport are disabled until its result is shown. Its result
  // carries the serial it was started with; opening a file or calling the
  // measurement off moves the serial on, so a late result is dropped.
  std::thread bpmWorker_;
  std::atomic<bool> bpmStop_{false};
  uint64_t bpmSerial_ = 0;
  bool measuringBpm_ = false;
  bool testPattern_ = false;
  int testFrame_ = 0;

  bool shown_ = false;
  bool dragActive_ = false;
  QPoint dragStart_;  // where the left button went down, in window pixels

  std::unique_ptr<Engine> engine_;
};
