#include "engine/source_loop.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "decode/audio_decoder.h"

bool SourceLoop::set(int64_t startFrame, int64_t endFrame, int sampleRate) {
  const int crossfade = CrossfadeFrames(sampleRate);
  if (startFrame < 0 || endFrame - startFrame < 2 * int64_t(crossfade) || endFrame >= (int64_t(1) << 32))
    return false;
  crossfade_.store(crossfade, std::memory_order_relaxed);
  passes_.store(0, std::memory_order_relaxed);
  region_.store(uint64_t(startFrame) << 32 | uint64_t(endFrame), std::memory_order_relaxed);
  return true;
}

void SourceLoop::clear() { region_.store(0, std::memory_order_relaxed); }

int64_t SourceLoop::read(AudioDecoder& decoder, float* out, int64_t maxFrames) {
  const int channels = std::min(decoder.channels(), 2);
  if (decoder.channels() > 2) return decoder.read(out, maxFrames);
  int64_t done = 0;
  while (done < maxFrames) {
    // The rest of a seam first.
    if (seamDone_ < seamLength_) {
      const int n = int(std::min<int64_t>(seamLength_ - seamDone_, maxFrames - done));
      std::memcpy(out + done * channels, seam_.data() + size_t(seamDone_) * channels,
                  size_t(n) * size_t(channels) * sizeof(float));
      seamDone_ += n;
      done += n;
      continue;
    }
    const uint64_t region = region_.load(std::memory_order_relaxed);
    const int64_t pos = decoder.positionFrames();
    const int64_t start = int64_t(region >> 32), end = int64_t(region & 0xffffffffu);
    if (region == 0) return done + std::max<int64_t>(0, decoder.read(out + done * channels, maxFrames - done));
    if (pos < end) {
      const int64_t got = decoder.read(out + done * channels, std::min(maxFrames - done, end - pos));
      if (got <= 0) return done;  // the file ended before B
      done += got;
      continue;
    }
    // At B (or past it): what follows here fades out while A fades in; one
    // pass from A to the seam's end lasts exactly B − A frames.
    const int n = crossfade_.load(std::memory_order_relaxed);
    const int64_t tail = std::max<int64_t>(0, decoder.read(seam_.data(), n));
    std::fill(seam_.begin() + tail * channels, seam_.begin() + int64_t(n) * channels, 0.0f);
    decoder.seek(start);
    const int64_t head = std::max<int64_t>(0, decoder.read(head_.data(), n));
    std::fill(head_.begin() + head * channels, head_.begin() + int64_t(n) * channels, 0.0f);
    for (int i = 0; i < n; ++i) {
      // Raised-cosine gains that sum to one.
      const float in = float(0.5 - 0.5 * std::cos(M_PI * (i + 0.5) / n));
      for (int c = 0; c < channels; ++c) {
        float& s = seam_[size_t(i) * channels + c];
        s = s * (1.0f - in) + head_[size_t(i) * channels + c] * in;
      }
    }
    seamLength_ = n;
    seamDone_ = 0;
    passes_.fetch_add(1, std::memory_order_relaxed);
  }
  return done;
}
