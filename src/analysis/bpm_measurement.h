// BPM measurement of the open file: the whole decoded source from its first
// sample, before any effect, fed to the DSP library's BPM analyser.
//
// MeasureBpm is the measuring worker's body, free of any window: it runs on
// whatever thread calls it and reads the reader's decoder directly, not
// through the block buffer or the chain. The caller keeps the reader to it
// for the whole measurement (a reader of its own: playback reads another)
// and hands the result to the main thread itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

class AudioFileReader;

// Frames per analysed block.
inline constexpr int32_t BpmBlockFrames = 2048;

// Seeks the reader to 0, feeds every whole block of 2048 frames to the
// analyser (a final short block is written with a frame count of 0, which
// analyses nothing), asks for a tempo between 50 and 250 BPM and seeks to 0
// again. `stop` ends the loop before the next block; what was fed so far is
// still evaluated. Returns the analyser's value: 0 when no tempo was found.
// onWrite, when set, sees the frame count of every analyser write.
// One buffer of channels × 8192 bytes is allocated per call.
// onBlock, when set, sees every block read, before the analyser does:
// `frames` whole frames of interleaved floats as read, the short tail
// included, so that another measurement can share the pass.
float MeasureBpm(AudioFileReader& reader, int32_t channels, int32_t sampleRate, const std::atomic<bool>& stop,
                 const std::function<void(int32_t frames)>& onWrite = {},
                 const std::function<void(const float* interleaved, int32_t frames)>& onBlock = {});

// The number kept and shown: the value rounded to the nearest integer,
// halves to the even neighbour; 0 (shown as "---") for no tempo.
int32_t MeasuredBpmFrom(float value);
