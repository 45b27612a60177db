#include "sim/request_pacing.h"

#include <cstdio>

namespace kv::sim {
namespace {

using std::chrono::microseconds;

std::string Milliseconds(microseconds value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(value.count()) / 1000.0);
  return text;
}

}  // namespace

std::optional<RequestPacing::TooSoon> RequestPacing::Arrived(Clock::time_point at,
                                                             const std::string& step,
                                                             std::chrono::milliseconds arming) {
  std::optional<TooSoon> violation;
  microseconds armed{0};
  // Newest first: the shortest span that is too short names the violation.
  for (auto earlier = recent_.rbegin(); earlier != recent_.rend(); ++earlier) {
    armed += std::chrono::duration_cast<microseconds>(earlier->arming) / divisor_;
    const microseconds gap = std::chrono::duration_cast<microseconds>(at - earlier->at);
    if (gap + kPacingAllowance >= armed) continue;
    const bool previous = earlier == recent_.rbegin();
    violation = TooSoon{"update mode: " + step + " " + Milliseconds(gap) + " after " +
                            earlier->step + ", sooner than " +
                            (previous ? "its " + Milliseconds(armed) + " arming"
                                      : "the " + Milliseconds(armed) + " of arming since"),
                        recent_.back().arming};
    break;
  }
  if (violation) recent_.clear();
  recent_.push_back({at, arming, step});
  if (recent_.size() > kPacingWindow) recent_.pop_front();
  return violation;
}

}  // namespace kv::sim
