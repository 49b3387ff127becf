#include "ui/playback_parameters.h"

#include <algorithm>
#include <cmath>

namespace {
double Clamped(double v, const ValueRange& range) {
  return std::isfinite(v) ? std::clamp(v, range.minimum, range.maximum) : 0.0;
}
}  // namespace

PlaybackParameters::PlaybackParameters(QObject* parent) : QObject(parent) {}

double PlaybackParameters::value(Effect effect) const {
  switch (effect) {
    case Effect::Speed: return values_.speedPercent;
    case Effect::Tempo: return values_.tempoPercent;
    case Effect::Pitch: return values_.pitchSemitones;
    case Effect::Treble: return values_.treblePercent;
    case Effect::Bass: return values_.bassPercent;
  }
  return 0;
}

void PlaybackParameters::store(double& slot, double value, Effect effect) {
  if (slot == value) return;
  slot = value;
  emit valuesChanged(effect);
}

void PlaybackParameters::setValue(Effect effect, double value) {
  switch (effect) {
    case Effect::Speed: return store(values_.speedPercent, Clamped(value, kSpeedPercentRange), effect);
    case Effect::Tempo: return store(values_.tempoPercent, Clamped(value, kTempoPercentRange), effect);
    case Effect::Pitch: return store(values_.pitchSemitones, Clamped(value, kPitchSemitoneRange), effect);
    case Effect::Treble: return store(values_.treblePercent, Clamped(value, kTreblePercentRange), effect);
    case Effect::Bass: return store(values_.bassPercent, Clamped(value, kBassPercentRange), effect);
  }
}

void PlaybackParameters::setFineTuneCents(double cents) {
  store(values_.fineTuneCents, Clamped(cents, kFineTuneCentRange), Effect::Pitch);
}

void PlaybackParameters::setFormantsPreserved(bool on) {
  if (values_.formantsPreserved == on) return;
  values_.formantsPreserved = on;
  emit valuesChanged(Effect::Pitch);
}

void PlaybackParameters::resetEffects() {
  for (int i = 0; i < kEffectCount; ++i) setValue(Effect(i), 0);
}

void PlaybackParameters::setLoop(int64_t startMs, int64_t endMs) {
  startMs = std::max<int64_t>(startMs, -1);
  endMs = std::max<int64_t>(endMs, -1);
  if (startMs == loopStartMs_ && endMs == loopEndMs_) return;
  loopStartMs_ = startMs;
  loopEndMs_ = endMs;
  emit loopChanged();
}

void PlaybackParameters::setLoopEnabled(bool on) {
  if (on == loopEnabled_) return;
  loopEnabled_ = on;
  emit loopChanged();
}

void PlaybackParameters::setMarkers(std::vector<SongMarker> markers) {
  for (SongMarker& m : markers) m.ms = std::max<int64_t>(0, m.ms);
  std::stable_sort(markers.begin(), markers.end(), [](const SongMarker& a, const SongMarker& b) { return a.ms < b.ms; });
  if (markers == markers_) return;
  markers_ = std::move(markers);
  emit markersChanged();
}

int PlaybackParameters::addMarker(int64_t ms, const QString& name) {
  ms = std::max<int64_t>(0, ms);
  const auto at = std::upper_bound(markers_.begin(), markers_.end(), ms,
                                   [](int64_t t, const SongMarker& m) { return t < m.ms; });
  const auto index = int(at - markers_.begin());
  markers_.insert(at, SongMarker{ms, name});
  emit markersChanged();
  return index;
}

int PlaybackParameters::moveMarker(int index, int64_t ms) {
  if (index < 0 || index >= int(markers_.size())) return -1;
  SongMarker moved = markers_[size_t(index)];
  moved.ms = std::max<int64_t>(0, ms);
  markers_.erase(markers_.begin() + index);
  const auto at = std::upper_bound(markers_.begin(), markers_.end(), moved.ms,
                                   [](int64_t t, const SongMarker& m) { return t < m.ms; });
  const auto newIndex = int(at - markers_.begin());
  markers_.insert(at, std::move(moved));
  emit markersChanged();
  return newIndex;
}

void PlaybackParameters::renameMarker(int index, const QString& name) {
  if (index < 0 || index >= int(markers_.size()) || markers_[size_t(index)].name == name) return;
  markers_[size_t(index)].name = name;
  emit markersChanged();
}

void PlaybackParameters::removeMarker(int index) {
  if (index < 0 || index >= int(markers_.size())) return;
  markers_.erase(markers_.begin() + index);
  emit markersChanged();
}

QString PlaybackParameters::nextMarkerName() const {
  for (int n = 1;; ++n) {
    const QString name = QStringLiteral("Marker %1").arg(n);
    if (std::none_of(markers_.begin(), markers_.end(), [&](const SongMarker& m) { return m.name == name; }))
      return name;
  }
}

std::optional<int64_t> PlaybackParameters::markerBefore(int64_t ms, int64_t slackMs) const {
  for (auto m = markers_.rbegin(); m != markers_.rend(); ++m)
    if (m->ms < ms - slackMs) return m->ms;
  return std::nullopt;
}

std::optional<int64_t> PlaybackParameters::markerAfter(int64_t ms) const {
  for (const SongMarker& m : markers_)
    if (m.ms > ms) return m.ms;
  return std::nullopt;
}

std::optional<std::pair<int64_t, int64_t>> PlaybackParameters::sectionAt(int64_t ms, int64_t durationMs) const {
  std::optional<int64_t> start;
  for (const SongMarker& m : markers_)
    if (m.ms <= ms) start = m.ms;
  if (!start) return std::nullopt;
  const int64_t end = markerAfter(ms).value_or(durationMs);
  if (end <= *start) return std::nullopt;
  return std::pair{*start, end};
}
