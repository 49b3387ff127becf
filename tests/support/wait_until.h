// Waiting on a state in tests: poll a condition until it holds. The deadline
// only keeps a broken run from hanging; make it generous, for a machine busy
// with other work. Tests never wait a fixed time for something to happen.
// Header-only.
#pragma once

#include <chrono>
#include <thread>

namespace pwtest {

// Polls `done` every `poll` until it holds; false when `timeout` passes
// first.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(30),
               std::chrono::microseconds poll = std::chrono::milliseconds(2)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

// The same with the deadline in whole seconds and the poll in milliseconds.
template <typename Done>
bool WaitUntil(Done done, int seconds, int pollMs = 20) {
  return WaitUntil(done, std::chrono::seconds(seconds), std::chrono::milliseconds(pollMs));
}

}  // namespace pwtest
