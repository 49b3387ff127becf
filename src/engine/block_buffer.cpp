#include "engine/block_buffer.h"

#include <algorithm>
#include <cstring>

#include "engine/effect_chain.h"

BlockBuffer::BlockBuffer(EffectChain& chain, int channels)
    : chain_(chain),
      channels_(channels),
      capacityFrames_(kCapacityBytes / (sizeof(float) * size_t(channels))),
      block_(new float[capacityFrames_ * size_t(channels)]) {}

BlockBuffer::~BlockBuffer() = default;

size_t BlockBuffer::read(float* out, size_t frames) {
  const size_t ch = size_t(channels_);
  size_t done = 0;
  while (done < frames) {
    if (next_ == held_) {
      // The request to the chain follows the caller's, so a render's blocks
      // (and with them its output) do not depend on what was read before.
      const size_t want = std::min(frames - done, capacityFrames_ / 4);
      bool sourceEnded = false;
      const int got = chain_.readBlock(block_.get(), int(want), int(capacityFrames_), &sourceEnded);
      held_ = size_t(std::max(got, 0));
      next_ = 0;
      if (held_ == 0 && sourceEnded) break;  // the end
      // Otherwise an empty block is a stage gathering input: ask again.
    }
    const size_t n = std::min(frames - done, held_ - next_);
    std::memcpy(out + done * ch, block_.get() + next_ * ch, n * ch * sizeof(float));
    next_ += n;
    done += n;
  }
  std::fill(out + done * ch, out + frames * ch, 0.0f);
  return done;
}
