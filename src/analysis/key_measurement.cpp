#include "analysis/key_measurement.h"

#include <memory>

#include "analysis/bpm_measurement.h"

BpmAndKey MeasureBpmAndKey(AudioFileReader& reader, int32_t channels, int32_t sampleRate,
                           const std::atomic<bool>& stop) {
  // Created before the pass: MeasureBpm seeks to 0 itself.
  std::unique_ptr<KeyEstimator> estimator = KeyEstimator::create(channels, sampleRate);
  BpmAndKey result;
  result.bpm = MeasureBpm(reader, channels, sampleRate, stop, {}, [&](const float* interleaved, int32_t frames) {
    if (estimator) estimator->write(interleaved, frames);
  });
  if (estimator) result.key = estimator->estimate();
  return result;
}

// One reading loop for both: the tempo analysis that comes along is cheap
// next to decoding.
KeyEstimate MeasureKey(AudioFileReader& reader, int32_t channels, int32_t sampleRate, const std::atomic<bool>& stop) {
  return MeasureBpmAndKey(reader, channels, sampleRate, stop).key;
}
