// Stands in for the main window in tests that play: counts the ends the
// producer thread reports and, on the test's thread, handles each as the
// window does (Playback::endOfPlayback). Header-only, no Qt.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "playback.h"

namespace pwtest {

class PlaybackOwner {
 public:
  explicit PlaybackOwner(Playback& playback) : playback_(playback) {
    playback_.setEndHandler([this](uint64_t) { reported_.fetch_add(1); });
  }
  ~PlaybackOwner() { playback_.setEndHandler({}); }
  PlaybackOwner(const PlaybackOwner&) = delete;
  PlaybackOwner& operator=(const PlaybackOwner&) = delete;

  // Ends handled so far; handles those reported since the last call.
  int ends() {
    while (handled_ < reported_.load()) {
      ++handled_;
      playback_.endOfPlayback();
    }
    return handled_;
  }
  // Waits (polling, up to `ms`) until `count` ends have been handled.
  bool waitForEnds(int count, int ms = 30000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (ends() < count) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

 private:
  Playback& playback_;
  std::atomic<int> reported_{0};
  int handled_ = 0;
};

// Waits, polling, until `done()` or `ms` pass; returns done().
template <typename F>
bool WaitUntil(F done, int ms = 30000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace pwtest
