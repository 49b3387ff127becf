#include "services/report_limiter.h"

#include <utility>

ReportLimiter::ReportLimiter(Clock clock, size_t perMinute) : clock_(std::move(clock)), perMinute_(perMinute) {}

bool ReportLimiter::allow(const std::string& key) {
  if (reported_.count(key) != 0) return false;
  const auto now = clock_();
  while (!recent_.empty() && now - recent_.front() >= std::chrono::minutes(1)) recent_.pop_front();
  if (recent_.size() >= perMinute_) return false;
  recent_.push_back(now);
  reported_.insert(key);
  return true;
}
