// One block at a time from the export job's render thread to its write
// thread: a single slot, allocated once, that the render thread fills while
// the write thread encodes the block before it, and that the write thread
// reads while the render thread processes the next one.
//
// Contract, for exactly one producer thread and one consumer thread:
// - Producer: waitForSlot() waits until the slot is free and returns it;
//   the producer fills it and hands it over with handOver(bytes). Between
//   the two the slot is the producer's alone.
// - Consumer: waitForBlock(stop) waits for a handed-over block and returns
//   it; the consumer reads it and gives the slot back with done(). Between
//   the two the slot is the consumer's alone. With nothing handed over, a
//   stop request ends the wait (nullopt): a block handed over is always
//   taken first, so a stop never drops one.
// - waitUntilDone() (producer): returns once the consumer has given back the
//   last block handed over; after it the consumer holds nothing, and
//   whatever the consumer uses for its blocks is the producer's again until
//   the next handOver.
// The lock orders each hand-over: what one side wrote into the slot before
// handing it on is seen by the other after its wait returns.
//
// Threads: the slot's bytes belong to whichever side holds the slot as
// above; state_ and size_ only under lock_.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>

class BlockHandOff {
 public:
  explicit BlockHandOff(size_t capacityBytes);
  BlockHandOff(const BlockHandOff&) = delete;
  BlockHandOff& operator=(const BlockHandOff&) = delete;

  size_t capacityBytes() const { return capacity_; }

  // Producer.
  std::span<uint8_t> waitForSlot();
  void handOver(size_t bytes);
  void waitUntilDone();

  // Consumer.
  std::optional<std::span<const uint8_t>> waitForBlock(std::stop_token stop);
  void done();

 private:
  enum class State { Free, HandedOver, Taken };

  const size_t capacity_;
  const std::unique_ptr<uint8_t[]> slot_;
  std::mutex lock_;
  std::condition_variable_any changed_;
  State state_ = State::Free;
  size_t size_ = 0;
};
