// Keeps event reports from storming: an error that fails again and again
// (a key held down on a button whose action fails) is reported once per
// run, and however many different errors come, no more than a few reports
// go out in any minute.
//
// Main thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <set>
#include <string>

class ReportLimiter {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr size_t kPerMinute = 3;

  // `clock`: the time now (tests pass their own).
  explicit ReportLimiter(Clock clock = [] { return std::chrono::steady_clock::now(); },
                         size_t perMinute = kPerMinute);

  // True when a report of the error `key` may go now, which counts it as
  // sent; false for an error already reported in this run, or when
  // perMinute reports went in the last 60 seconds (that error may still go
  // later).
  bool allow(const std::string& key);

 private:
  Clock clock_;
  size_t perMinute_;
  std::set<std::string> reported_;
  std::deque<std::chrono::steady_clock::time_point> recent_;  // sending times within the last minute
};
