#include "key_measurement.h"

#include <memory>

#include "audio_file_reader.h"
#include "bpm_measurement.h"

KeyEstimate MeasureKey(AudioFileReader& reader, int32_t channels, int32_t sampleRate, const std::atomic<bool>& stop) {
  reader.Seek(0);
  std::unique_ptr<KeyEstimator> estimator = KeyEstimator::create(channels, sampleRate);

  // The same blocks as the BPM measurement reads, so both cost the same.
  const uint32_t full = uint32_t(channels > 0 ? channels : 0) * uint32_t(BpmBlockFrames) * 4;
  const uint32_t frameBytes = uint32_t(channels > 0 ? channels : 1) * 4;
  std::unique_ptr<float[]> buffer(new float[full / 4 + 1]);

  uint32_t got = full;
  while (estimator && full > 0 && got == full && !stop.load()) {
    got = reader.UnbufferedRead(buffer.get(), full);
    if (got > 0) estimator->write(buffer.get(), int(got / frameBytes));
  }
  buffer.reset();

  const KeyEstimate key = estimator ? estimator->estimate() : KeyEstimate{};
  reader.Seek(0);
  return key;
}

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
