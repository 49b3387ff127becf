// The layout of a block of interleaved samples: what the readers deliver
// (32-bit float) and what the writers receive (integer PCM).
#pragma once

#include <cstdint>

// Numbered as WAVE format tags, so a WAV header can take them as they are.
enum class SampleEncoding : uint16_t { Integer = 1, Float = 3 };

struct AudioFormat {
  SampleEncoding encoding = SampleEncoding::Integer;
  uint16_t channels = 0;
  uint32_t sampleRate = 0;
  uint32_t bytesPerSecond = 0;
  uint16_t frameBytes = 0;  // one sample of every channel
  uint16_t bitsPerSample = 0;
};

// Fills every field; frameBytes and bytesPerSecond follow from the others.
AudioFormat MakeAudioFormat(SampleEncoding encoding, uint32_t sampleRate, uint16_t channels, int32_t bits);

// Positions and durations of the readers are 100-ns units.
constexpr int64_t TicksPerMillisecond = 10000;
