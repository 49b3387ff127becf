// What the song memory keeps of one song, as plain values: the markers,
// the loop, the place, the trainer's plan and the kept sliders. The window's
// model and the renderer use them without the database.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/effect_values.h"
#include "engine/speed_trainer.h"

struct SongMarker {
  int64_t ms = 0;  // the marker's place in the song, from its start
  QString name;    // as the user typed it; several markers may share a name

  bool operator==(const SongMarker&) const = default;
};

struct SongLoop {
  int64_t startMs = 0;
  int64_t endMs = 0;
  bool enabled = true;  // false: set but switched off (L)

  bool operator==(const SongLoop&) const = default;
};

// Everything kept for one song.
struct SongRecord {
  int64_t positionMs = 0;        // where playing was left
  std::optional<SongLoop> loop;  // none when no loop was set
  SpeedTrainer trainer;          // the trainer's plan, whether it ran or not
  // "Keep these settings for this song": when true, `values` holds the five
  // sliders (speed, tempo, pitch, treble, bass; exact, as set) and opening
  // the song sets them again. When false nothing of them is stored and a
  // load gives the default values. The practice values in EffectValues
  // (fine tune, formants) are not kept.
  bool keepSettings = false;
  EffectValues values;
  // In the order of their places (equal places in the order they were
  // given).
  std::vector<SongMarker> markers;

  // The markers whose name is exactly `name` (case and spaces count).
  std::vector<SongMarker> markersNamed(const QString& name) const;

  // Every field equal (the trainer's field by field).
  bool operator==(const SongRecord& other) const;
};

// One line of the recent list.
struct RecentSong {
  QString path;          // where the song was last opened from
  QString title;         // the file's name without its folder
  int64_t lastOpenedMs;  // ms since the epoch (UTC)
  bool exists;           // a regular file is at `path` now (else shown greyed)
};
