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

#include <array>
#include <memory>

#include "settings_store.h"
#include "skin.h"

class Engine;
class Knob;
class QLabel;
class SkinButton;
class Slider;
class SpectrumDisplay;

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
  // The file this window was asked to open (from the command line so far).
  QString requestedFile() const { return requestedFile_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void createControls();
  void createEngine();
  void loadSettings();
  void applyScale(float scale);
  void firstShow();
  void openFile(const QString& fileName);
  void tick();

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
  bool testPattern_ = false;
  int testFrame_ = 0;

  bool shown_ = false;
  bool dragActive_ = false;
  QPoint dragStart_;  // where the left button went down, in window pixels

  std::unique_ptr<Engine> engine_;
};
