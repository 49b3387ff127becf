// Float to integer PCM, for writing audio files.
//
// Real-time contract: convertToPcm never allocates, locks, logs or touches
// files.
#pragma once

enum class PcmFormat {
  S16,  // signed 16-bit little-endian, 2 bytes a sample
  S24,  // signed 24-bit little-endian packed, 3 bytes a sample
};

// Scales by 2^15 (2^23), rounds to nearest (ties to even) and clips; never
// wraps; NaN gives 0. Integer samples decoded as v / 2^15 (v / 2^23) come
// back bit-exact. Writes exactly count × 2 (× 3) bytes; count ≤ 0 or a
// value outside PcmFormat writes nothing. Real-time safe.
void convertToPcm(const float* source, void* destination, PcmFormat format, int count);
