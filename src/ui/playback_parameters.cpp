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
