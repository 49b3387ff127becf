// The limiter that keeps event reports from storming, on a clock the test
// moves by hand.
#include "services/report_limiter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Step {
  std::chrono::seconds at;  // since the start
  const char* error;
  bool sent;
};

// Each step asks at its time; the answers must be as given.
void Expect(const std::vector<Step>& steps) {
  const auto start = std::chrono::steady_clock::time_point{} + 1000h;
  auto now = start;
  ReportLimiter limiter([&] { return now; });
  for (const Step& s : steps) {
    now = start + s.at;
    EXPECT_EQ(limiter.allow(s.error), s.sent) << s.error << " at " << s.at.count() << " s";
  }
}

TEST(ReportLimiter, AnErrorIsReportedOncePerRun) {
  Expect({{0s, "help missing", true},
       {0s, "help missing", false},  // the key held down: every repeat fails again
       {1s, "help missing", false},
       {3600s, "help missing", false},  // an hour later still not
       {3600s, "disk full", true}});
}

TEST(ReportLimiter, NoMoreThanThreeInAnyMinute) {
  Expect({{0s, "a", true},
       {10s, "b", true},
       {20s, "c", true},
       {30s, "d", false},  // the fourth within the minute waits
       {59s, "d", false},
       {60s, "d", true},  // "a" went a minute ago
       {61s, "e", false},
       {70s, "e", true},  // "b" has left the minute
       {80s, "f", true},
       {81s, "g", false}});
}

}  // namespace
