// Key and tuning measurement of the open file: the whole decoded source
// from its first sample, before any effect, fed to the DSP library's key
// estimator, alone or in the same pass as the BPM measurement.
//
// Like MeasureBpm these are a measuring worker's body, free of any window:
// they run on whatever thread calls them and read the reader's decoder
// directly. The caller keeps the reader to them for the whole measurement
// (its own reader of the file: playback reads another) and hands the result to the main
// thread itself.
#pragma once

#include <atomic>
#include <cstdint>

#include "dsp/key_estimator.h"

class AudioFileReader;

// Seeks the reader to 0, feeds every block read (2048 frames, the short
// tail included) to a key estimator and seeks to 0 again. `stop` ends the
// loop before the next block; what was fed so far is still evaluated.
// Unknown (KeyEstimate::known false) for channel counts or sample rates the
// estimator does not take, and when nothing tonal was heard. One buffer of
// channels × 8192 bytes is allocated per call.
KeyEstimate MeasureKey(AudioFileReader& reader, int32_t channels, int32_t sampleRate, const std::atomic<bool>& stop);

struct BpmAndKey {
  float bpm = 0;  // as MeasureBpm returns it
  KeyEstimate key;
};

// One pass for both: MeasureBpm's loop, its analyser fed exactly as by
// MeasureBpm (so the tempo is the same), and every block read also fed to
// the key estimator.
BpmAndKey MeasureBpmAndKey(AudioFileReader& reader, int32_t channels, int32_t sampleRate,
                           const std::atomic<bool>& stop);
