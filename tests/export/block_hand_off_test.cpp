// The one-slot hand-off between the export job's threads: every block
// arrives once, whole and in order; a stop never drops a block handed over;
// the producer's wait for the last block returns only after the consumer
// has given it back. (Run under ThreadSanitizer too: the slot's bytes cross
// threads only through the hand-off's lock.)
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <algorithm>
#include <optional>
#include <span>
#include <stop_token>
#include <thread>
#include <vector>

#include "export/block_hand_off.h"

namespace {

// The bytes of block n: its size varies, its content names it.
std::vector<uint8_t> BlockBytes(uint32_t n, size_t capacity) {
  std::vector<uint8_t> bytes(1 + (n * 7919u) % capacity);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(n * 31u + i);
  return bytes;
}

TEST(JobHandOff, EveryBlockArrivesOnceWholeAndInOrder) {
  constexpr size_t kCapacity = 4096;
  constexpr uint32_t kBlocks = 2000;
  BlockHandOff handOff(kCapacity);
  EXPECT_EQ(handOff.capacityBytes(), kCapacity);

  std::vector<std::vector<uint8_t>> received;
  std::jthread consumer([&](std::stop_token stop) {
    while (const std::optional<std::span<const uint8_t>> block = handOff.waitForBlock(stop)) {
      received.emplace_back(block->begin(), block->end());
      handOff.done();
    }
  });
  for (uint32_t n = 0; n < kBlocks; ++n) {
    const std::vector<uint8_t> bytes = BlockBytes(n, kCapacity);
    const std::span<uint8_t> slot = handOff.waitForSlot();
    ASSERT_EQ(slot.size(), kCapacity);
    std::copy(bytes.begin(), bytes.end(), slot.begin());
    handOff.handOver(bytes.size());
  }
  handOff.waitUntilDone();
  // After the wait the consumer holds nothing: what it received is complete.
  const size_t count = received.size();
  consumer.request_stop();
  consumer.join();
  ASSERT_EQ(count, kBlocks);
  ASSERT_EQ(received.size(), kBlocks);
  for (uint32_t n = 0; n < kBlocks; ++n) ASSERT_EQ(received[n], BlockBytes(n, kCapacity)) << n;
}

TEST(JobHandOff, AStopEndsTheWaitOnlyWhenNothingWasHandedOver) {
  BlockHandOff handOff(16);
  std::stop_source stop;

  // Handed over, then stopped: the block is still taken.
  handOff.waitForSlot()[0] = 42;
  handOff.handOver(1);
  stop.request_stop();
  const std::optional<std::span<const uint8_t>> block = handOff.waitForBlock(stop.get_token());
  ASSERT_TRUE(block);
  ASSERT_EQ(block->size(), 1u);
  EXPECT_EQ((*block)[0], 42);
  handOff.done();

  // Nothing left: the stop ends the wait at once.
  EXPECT_FALSE(handOff.waitForBlock(stop.get_token()));

  // A consumer already waiting is woken by the stop.
  std::atomic<int> results{-1};
  std::jthread consumer([&](std::stop_token own) { results = handOff.waitForBlock(own) ? 1 : 0; });
  consumer.request_stop();
  consumer.join();
  EXPECT_EQ(results.load(), 0);
}

TEST(JobHandOff, WaitUntilDoneReturnsOnlyAfterTheConsumerGaveTheBlockBack) {
  BlockHandOff handOff(8);
  std::atomic<bool> consumerFinished{false};
  std::jthread consumer([&](std::stop_token stop) {
    while (handOff.waitForBlock(stop)) {
      consumerFinished = true;
      handOff.done();
    }
  });
  for (int round = 0; round < 200; ++round) {
    consumerFinished = false;
    handOff.waitForSlot();
    handOff.handOver(8);
    handOff.waitUntilDone();
    ASSERT_TRUE(consumerFinished.load()) << round;
  }
}

}  // namespace
