// Stands in for the main window in tests that play: counts the ends the
// producer thread reports and, on the test's thread, handles each as the
// window does (Playback::endOfPlayback). Header-only, no Qt.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/playback.h"
#include "wait_until.h"

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
  // Waits until `count` ends have been handled.
  bool waitForEnds(int count) {
    return WaitUntil([&] { return ends() >= count; });
  }

 private:
  Playback& playback_;
  std::atomic<int> reported_{0};
  int handled_ = 0;
};

}  // namespace pwtest
