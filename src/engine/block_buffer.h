// The end of the sound path: the effect chain's output, block by block,
// handed out in whatever sizes the reader of a session asks for (the
// playback producer, a save, an analyser).
//
// Threads: read on the reading thread; clear only while nobody reads. The
// buffer is allocated once, at construction; read allocates nothing.
#pragma once

#include <cstddef>
#include <memory>

class EffectChain;

class BlockBuffer {
 public:
  // Room for 2 MiB of float frames of `channels`.
  static constexpr size_t kCapacityBytes = 2 * 1024 * 1024;

  BlockBuffer(EffectChain& chain, int channels);
  ~BlockBuffer();
  BlockBuffer(const BlockBuffer&) = delete;
  BlockBuffer& operator=(const BlockBuffer&) = delete;

  // Up to `frames` processed frames into `out`; fewer only at the end of
  // the stream.
  size_t read(float* out, size_t frames);
  // Drops what is buffered.
  void clear() { held_ = next_ = 0; }
  // Frames held back from the last block, not yet read.
  size_t heldFrames() const { return held_ - next_; }

 private:
  EffectChain& chain_;
  const int channels_;
  const size_t capacityFrames_;
  std::unique_ptr<float[]> block_;
  size_t held_ = 0;  // frames in block_
  size_t next_ = 0;  // the first not yet read
};
