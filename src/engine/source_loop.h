// An A–B loop on the decoded source, before every effect: reading runs from
// A to B and then on from A again, for as long as the loop is set. The seam
// is a short crossfade (the sound just past B fading out while the sound
// from A fades in), so a loop has neither a click nor a gap, and one pass
// lasts exactly B − A frames.
//
// Threads: set/clear/region on the main thread; read on the thread that
// reads the decoder (the playback producer). The region crosses as one
// atomic. Real-time contract: read allocates, locks and logs nothing of its
// own; it decodes and seeks as much as plain reading does.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

class AudioDecoder;

class SourceLoop {
 public:
  // Longest crossfade, in frames; at the usual rates the seam lasts 10 ms.
  static constexpr int kMaxCrossfadeFrames = 1024;
  static constexpr int CrossfadeFrames(int sampleRate) {
    return sampleRate / 100 < kMaxCrossfadeFrames ? (sampleRate / 100 > 0 ? sampleRate / 100 : 1)
                                                  : kMaxCrossfadeFrames;
  }

  // ---- main thread ----

  // Loops [startFrame, endFrame) of a source at `sampleRate`. Refused
  // (false, nothing changes) unless 0 <= start, end - start is at least two
  // crossfades and end is below 2^32 frames.
  bool set(int64_t startFrame, int64_t endFrame, int sampleRate);
  void clear();
  bool active() const { return region_.load(std::memory_order_relaxed) != 0; }
  int64_t startFrame() const { return int64_t(region_.load(std::memory_order_relaxed) >> 32); }
  int64_t endFrame() const { return int64_t(region_.load(std::memory_order_relaxed) & 0xffffffffu); }
  // Seams passed since the loop was set: each is one finished pass.
  uint32_t passes() const { return passes_.load(std::memory_order_relaxed); }
  // Forgets a seam half delivered (after a seek or a flush).
  void reset() { seamLength_ = seamDone_ = 0; }

  // ---- reading thread ----

  // Reads up to maxFrames frames (interleaved, the decoder's channels, at
  // most 2) as AudioDecoder::read does, looping while a loop is set: at B,
  // or anywhere past it, reading goes on from A through the crossfade.
  int64_t read(AudioDecoder& decoder, float* out, int64_t maxFrames);

 private:
  // start << 32 | end, in frames; 0 when no loop is set.
  std::atomic<uint64_t> region_{0};
  std::atomic<int> crossfade_{1};
  std::atomic<uint32_t> passes_{0};
  // The seam being delivered (reading thread only).
  std::array<float, 2 * kMaxCrossfadeFrames> seam_{};
  std::array<float, 2 * kMaxCrossfadeFrames> head_{};
  int seamLength_ = 0;
  int seamDone_ = 0;
};
