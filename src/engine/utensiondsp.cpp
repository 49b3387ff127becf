#include "utensiondsp.h"

#include <cmath>
#include <cstring>

TensionDSP::TensionDSP(int32_t rate, int32_t chans) : channels(chans), sampleRate(rate) {
  handle = NewTensionDSP(channels, float(sampleRate), 203, 301, &TensionDSP::ReadCallback, this);
}

TensionDSP::~TensionDSP() { DeleteTensionDSP(handle); }

void TensionDSP::SetPitch(float semitones) { requestedPitch.store(std::pow(2.0, double(semitones) / 12.0)); }

void TensionDSP::SetTempo(float steps) { requestedDuration.store(std::pow(2.0, -double(steps) / 12.0)); }

int32_t TensionDSP::Process(float* buffer, int32_t frames) {
  const double pitch = requestedPitch.load();
  if (pitch != appliedPitch) {
    appliedPitch = pitch;
    TensionDSP_set(handle, TENSION_PITCH_RATIO, appliedPitch);
  }
  const double duration = requestedDuration.load();
  if (duration != appliedDuration) {
    appliedDuration = duration;
    TensionDSP_set(handle, TENSION_DURATION_RATIO, appliedDuration);
  }
  return TensionDSP_process(handle, buffer, frames);
}

void TensionDSP::Flush() { TensionDSP_flush(handle, 1); }

int TensionDSP::ReadCallback(float* buffer, int frames, void* user) {
  auto* self = static_cast<TensionDSP*>(user);
  // Whatever the source does not deliver stays silent.
  std::memset(buffer, 0, size_t(frames) * size_t(self->channels) * sizeof(float));
  if (!self->OnRead) return 0;
  return self->OnRead(buffer, frames * self->channels);
}
