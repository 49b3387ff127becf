#include "core/audio_format.h"

AudioFormat MakeAudioFormat(SampleEncoding encoding, uint32_t sampleRate, uint16_t channels, int32_t bits) {
  AudioFormat f;
  f.encoding = encoding;
  f.channels = channels;
  f.sampleRate = sampleRate;
  f.bitsPerSample = uint16_t(bits);
  f.frameBytes = uint16_t(int32_t(channels) * (bits / 8));
  f.bytesPerSecond = sampleRate * f.frameBytes;
  return f;
}
