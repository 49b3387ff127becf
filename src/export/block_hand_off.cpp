#include "export/block_hand_off.h"

#include <cassert>

BlockHandOff::BlockHandOff(size_t capacityBytes)
    : capacity_(capacityBytes), slot_(new uint8_t[capacityBytes]) {}

std::span<uint8_t> BlockHandOff::waitForSlot() {
  waitUntilDone();
  return {slot_.get(), capacity_};
}

void BlockHandOff::handOver(size_t bytes) {
  {
    std::lock_guard lock(lock_);
    assert(state_ == State::Free && bytes <= capacity_);
    size_ = bytes;
    state_ = State::HandedOver;
  }
  changed_.notify_all();
}

void BlockHandOff::waitUntilDone() {
  std::unique_lock lock(lock_);
  changed_.wait(lock, [this] { return state_ == State::Free; });
}

std::optional<std::span<const uint8_t>> BlockHandOff::waitForBlock(std::stop_token stop) {
  std::unique_lock lock(lock_);
  if (!changed_.wait(lock, stop, [this] { return state_ == State::HandedOver; })) return std::nullopt;
  state_ = State::Taken;
  return std::span<const uint8_t>(slot_.get(), size_);
}

void BlockHandOff::done() {
  {
    std::lock_guard lock(lock_);
    assert(state_ == State::Taken);
    state_ = State::Free;
  }
  changed_.notify_all();
}
