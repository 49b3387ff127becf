// What the user has asked the sound to be: the five effect values, the
// practice settings (fine tuning, formants), the A–B loop and the song's
// markers. The window's
// sliders, the speed trainer, the captions and the saves read and write this
// model; the engine is told what changed. The model knows nothing of
// sliders or of the engine.
//
// Main thread only.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/effect_values.h"
#include "memory/song_record.h"

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

  // The markers, in time order (markers at the same time keep the order
  // they came in). markersChanged follows every change.
  const std::vector<SongMarker>& markers() const { return markers_; }
  void setMarkers(std::vector<SongMarker> markers);
  // Returns the new marker's index. A negative time is taken as 0.
  int addMarker(int64_t ms, const QString& name);
  // Returns the marker's index after the move. An index out of range does
  // nothing and returns -1.
  int moveMarker(int index, int64_t ms);
  void renameMarker(int index, const QString& name);
  void removeMarker(int index);
  // "Marker N" with the smallest N no marker is named yet.
  QString nextMarkerName() const;
  // The time of the nearest marker strictly before / after `ms` (a marker
  // within `slackMs` before counts as "at" ms, so repeated presses walk
  // back while playing); nothing when there is none.
  std::optional<int64_t> markerBefore(int64_t ms, int64_t slackMs = 0) const;
  std::optional<int64_t> markerAfter(int64_t ms) const;
  // The section `ms` is in: from the last marker at or before it to the
  // next marker after it, or to `durationMs` after the last one. Nothing
  // before the first marker.
  std::optional<std::pair<int64_t, int64_t>> sectionAt(int64_t ms, int64_t durationMs) const;

 signals:
  // `effect` is the one that changed; practice settings report Pitch.
  void valuesChanged(PlaybackParameters::Effect effect);
  void loopChanged();
  void markersChanged();

 private:
  void store(double& slot, double value, Effect effect);

  EffectValues values_;
  int64_t loopStartMs_ = -1;
  int64_t loopEndMs_ = -1;
  bool loopEnabled_ = true;
  std::vector<SongMarker> markers_;
};
