// A counter that one thread bumps to wake another: the device thread tells
// the producer that the ring has room, the producer tells a waiting control
// call that it has seen the new command. Built on the Linux futex, so that
// the signalling side takes no lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

class WakeSignal {
 public:
  // Any thread.
  uint32_t value() const { return count_.load(std::memory_order_seq_cst); }

  // Any thread. Real-time safe: no lock, no allocation, nothing logged; a
  // system call only while another thread waits.
  void signal();

  // Returns once value() differs from `seen`, after `timeout`, or
  // spuriously: callers check their condition again.
  void wait(uint32_t seen, std::chrono::nanoseconds timeout);

 private:
  // Shared by every thread: atomics only.
  std::atomic<uint32_t> count_{0};
  std::atomic<uint32_t> waiters_{0};
};
