// The practice drawer: a panel that slides out below the main window with
// tools musicians practise with: the song's waveform lane, the key and tuning of the open file (and
// the key after the pitch and speed sliders), "Tune to A440", formant
// preservation, the A–B loop and the speed trainer. It shows and asks; the
// main window does the work.
//
// Main thread only.
#pragma once

#include <QWidget>

#include "engine/speed_trainer.h"

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class SkinButton;
class WaveformLane;

class PracticeDrawer : public QWidget {
  Q_OBJECT

 public:
  explicit PracticeDrawer(QWidget* parent = nullptr);

  // Design size at scale 1.0; the drawer is as wide as the main window.
  static constexpr int kDesignHeight = 236;
  static int heightAt(float scale);
  void setScale(float scale);

  // "A minor → B minor" (or "---") and "+14 ¢" (or empty).
  void setKeyText(const QString& keys, const QString& tuning);
  // The tuning button works only once a tuning offset is known.
  void setTuneAvailable(bool available);
  void setTuned(bool on);
  bool tuned() const { return tuned_; }
  void setFormantPreserved(bool on);
  bool formantPreserved() const { return formants_; }
  // "A 00:01:05.3 – B 00:01:30.0", "A 00:01:05.3 – press ] for B", or empty.
  void setLoopText(const QString& text);
  // The loop buttons need an open file; the trainer needs a loop; each end
  // can be moved once it is set.
  void setLoopAvailable(bool fileOpen, bool loopSet);
  void setLoopEndsSet(bool startSet, bool endSet);
  // "Keep these settings for the next song": off by default, so opening a
  // song puts the five sliders back to 0.
  void setKeepSettings(bool on);
  bool keepSettings() const { return keepSettings_; }
  // "Keep these settings for this song": off by default; on, the song
  // remembers its five sliders and opening it again sets them.
  void setKeepForSong(bool on);
  bool keepForSong() const { return keepForSong_; }

  // The waveform lane across the top; the window feeds it and answers it.
  WaveformLane* lane() const { return lane_; }

  SpeedTrainer trainerPlan() const;
  // Shows a plan (a song's remembered one); ignored while the trainer runs.
  void setTrainerPlan(const SpeedTrainer& plan);
  void setTrainerRunning(bool running, const QString& status);
  bool trainerRunning() const { return trainerRunning_; }

 signals:
  void tuneToggled(bool on);
  void formantToggled(bool on);
  void loopStartRequested();
  void loopEndRequested();
  void loopClearRequested();
  // Move the loop's start (end == false) or end by `ms` (negative: earlier).
  void loopNudgeRequested(bool end, int ms);
  void keepSettingsToggled(bool on);
  void keepForSongToggled(bool on);
  void trainerToggled(bool on);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutControls();
  void showToggle(SkinButton* button, bool on);

  float scale_ = 1.0f;
  bool tuned_ = false;
  bool formants_ = false;
  bool trainerRunning_ = false;
  bool keepSettings_ = false;
  bool keepForSong_ = false;

  WaveformLane* lane_ = nullptr;
  QLabel* keyCaption_ = nullptr;
  QLabel* keyLabel_ = nullptr;
  QLabel* tuningLabel_ = nullptr;
  SkinButton* tuneButton_ = nullptr;
  SkinButton* formantButton_ = nullptr;
  QLabel* loopCaption_ = nullptr;
  SkinButton* loopStartButton_ = nullptr;
  SkinButton* loopEndButton_ = nullptr;
  SkinButton* loopClearButton_ = nullptr;
  SkinButton* startEarlierButton_ = nullptr;
  SkinButton* startLaterButton_ = nullptr;
  SkinButton* endEarlierButton_ = nullptr;
  SkinButton* endLaterButton_ = nullptr;
  QLabel* keepCaption_ = nullptr;
  SkinButton* keepButton_ = nullptr;
  SkinButton* keepForSongButton_ = nullptr;
  QLabel* loopLabel_ = nullptr;
  QLabel* trainerCaption_ = nullptr;
  QComboBox* trainerParameter_ = nullptr;
  QLabel* fromLabel_ = nullptr;
  QDoubleSpinBox* fromBox_ = nullptr;
  QLabel* stepLabel_ = nullptr;
  QDoubleSpinBox* stepBox_ = nullptr;
  QLabel* toLabel_ = nullptr;
  QDoubleSpinBox* toBox_ = nullptr;
  SkinButton* trainerButton_ = nullptr;
  QLabel* trainerStatus_ = nullptr;
};
