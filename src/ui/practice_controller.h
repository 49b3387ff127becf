// The practice tools' logic: the A–B loop (its ends from the keys and the
// drawer, its place on the position slider, the engine's loop following the
// model), the speed trainer stepping after every pass, the measured key and
// the tuning to A440. The window owns the drawer and places it; this class
// decides what the drawer shows and what its buttons do.
//
// Main thread only.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>

#include "dsp/key_estimator.h"
#include "engine/speed_trainer.h"

class PlaybackParameters;
class PracticeDrawer;
class Session;
class Slider;
struct Settings;

class PracticeController : public QObject {
 public:
  // `session` gives the open file's session (null: none); `heardMs` where
  // the ear is (the reader's place less what is buffered on the way out).
  PracticeController(PracticeDrawer& drawer, PlaybackParameters& parameters, Slider& positionSlider,
                     Settings& settings, std::function<Session*()> session, std::function<int64_t()> heardMs,
                     QObject* parent = nullptr);

  // [ and ]: the loop's ends where the ear is. B before A is refused.
  void setLoopStartHere();
  void setLoopEndHere();
  // A loop the engine can take (long enough, inside the file), switched on.
  void setLoop(uint32_t startMs, uint32_t endMs);
  void clearLoop();
  // L: a set loop off and on again, its ends kept.
  void toggleLoop();
  // Moves an end by `ms` (negative: earlier), never past the other end.
  void nudgeLoopStart(int ms);
  void nudgeLoopEnd(int ms);

  // A file was opened: no trainer, no key known yet.
  void fileOpened();
  // GET BPM measured the key (or nothing is known).
  void keyMeasured(const KeyEstimate& key);
  // The pitch or speed moved: the key caption follows.
  void updateKeyCaption();
  // Every beat of the window's clock: a finished loop pass moves the
  // trainer on by one step.
  void tick();

 private:
  Session* session() const { return session_(); }
  void loopChanged();
  void updateLoopDisplay();
  void tuneToA440(bool on);
  void startTrainer(bool on);
  void applyTrainerValue(double percent);

  PracticeDrawer& drawer_;
  PlaybackParameters& parameters_;
  Slider& positionSlider_;
  Settings& settings_;
  const std::function<Session*()> session_;
  const std::function<int64_t()> heardMs_;
  bool trainerRunning_ = false;
  SpeedTrainer trainer_;
  uint32_t trainerPasses_ = 0;  // loop passes the trainer has stepped for
  KeyEstimate key_;             // of the open file, once GET BPM has measured it
};
