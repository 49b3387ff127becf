// What the user has asked the sound to be: the five effect values, the
// practice settings (fine tuning, formants) and the A–B loop. The window's
// sliders, the speed trainer, the captions and the saves read and write this
// model; the engine is told what changed. The model knows nothing of
// sliders or of the engine.
//
// Main thread only.
#pragma once

#include <QObject>

#include <cstdint>

#include "engine/effect_values.h"

class PlaybackParameters : public QObject {
  Q_OBJECT

 public:
  enum class Effect { Speed, Tempo, Pitch, Treble, Bass };
  static constexpr int kEffectCount = 5;

  explicit PlaybackParameters(QObject* parent = nullptr);

  const EffectValues& values() const { return values_; }
  double value(Effect effect) const;
  // Clamped to the effect's range; a value that is not finite is taken as 0.
  // valuesChanged follows when the stored value changes.
  void setValue(Effect effect, double value);
  void setFineTuneCents(double cents);
  void setFormantsPreserved(bool on);
  // The five effects back to 0 (the practice settings stay).
  void resetEffects();

  // The A–B loop in milliseconds of the source; -1 where an end is not set.
  int64_t loopStartMs() const { return loopStartMs_; }
  int64_t loopEndMs() const { return loopEndMs_; }
  bool loopSet() const { return loopStartMs_ >= 0 && loopEndMs_ > loopStartMs_; }
  // Either end may be -1 (unset). loopChanged follows a change.
  void setLoop(int64_t startMs, int64_t endMs);
  void clearLoop() { setLoop(-1, -1); }
  // A set loop may be switched off and on again without losing its ends.
  bool loopEnabled() const { return loopEnabled_; }
  void setLoopEnabled(bool on);
  // Whether playback loops now: set and switched on.
  bool looping() const { return loopSet() && loopEnabled_; }

 signals:
  // `effect` is the one that changed; practice settings report Pitch.
  void valuesChanged(PlaybackParameters::Effect effect);
  void loopChanged();

 private:
  void store(double& slot, double value, Effect effect);

  EffectValues values_;
  int64_t loopStartMs_ = -1;
  int64_t loopEndMs_ = -1;
  bool loopEnabled_ = true;
};
