#include "analysis/bpm_measurement.h"

#include <cmath>
#include <limits>
#include <memory>

#include "decode/audio_file_reader.h"
#include "dsp/bpm_analyser.h"

float MeasureBpm(AudioFileReader& reader, int32_t channels, int32_t sampleRate, const std::atomic<bool>& stop,
                 const std::function<void(int32_t frames)>& onWrite,
                 const std::function<void(const float* interleaved, int32_t frames)>& onBlock) {
  reader.seekFrame(0);
  std::unique_ptr<BpmAnalyser> analyser = BpmAnalyser::create(channels, sampleRate);

  const int64_t full = channels > 0 ? BpmBlockFrames : 0;
  std::unique_ptr<float[]> buffer(new float[size_t(full) * size_t(channels > 0 ? channels : 1) + 1]);

  int64_t got = full;
  while (full > 0 && got == full && !stop.load()) {
    got = reader.read(buffer.get(), full);
    if (got > 0) {
      int32_t frames = int32_t(got);
      if (onBlock) onBlock(buffer.get(), frames);
      // Only whole blocks are analysed; the short tail counts as nothing.
      if (frames != BpmBlockFrames) frames = 0;
      if (onWrite) onWrite(frames);
      if (analyser) analyser->write(buffer.get(), frames);
    }
  }
  buffer.reset();

  const float value = analyser ? analyser->estimateBpm(50, 250) : 0.0f;
  analyser.reset();
  reader.seekFrame(0);
  return value;
}

int32_t MeasuredBpmFrom(float value) {
  if (!std::isfinite(value)) return 0;
  const double r = std::nearbyint(double(value));  // default mode: halves to even
  if (r > double(std::numeric_limits<int32_t>::max()) || r < double(std::numeric_limits<int32_t>::min())) return 0;
  return int32_t(r);
}
