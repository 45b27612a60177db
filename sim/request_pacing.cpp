#include "sim/request_pacing.h"

#include <cstdio>

namespace kv::sim {
namespace {

std::string Milliseconds(std::chrono::microseconds value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(value.count()) / 1000.0);
  return text;
}

}  // namespace

std::chrono::microseconds LeastGap(std::chrono::milliseconds arming, int divisor) {
  const std::chrono::microseconds divided =
      std::chrono::duration_cast<std::chrono::microseconds>(arming) / (divisor < 1 ? 1 : divisor);
  return divided > kPacingAllowance ? divided - kPacingAllowance : std::chrono::microseconds(0);
}

std::optional<RequestPacing::TooSoon> RequestPacing::Arrived(Clock::time_point at,
                                                             const std::string& step,
                                                             std::chrono::milliseconds arming) {
  std::optional<TooSoon> violation;
  if (previous_at_ && previous_arming_.count() > 0) {
    const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(at - *previous_at_);
    const std::chrono::microseconds least = LeastGap(previous_arming_, divisor_);
    if (gap < least) {
      const auto minimum =
          std::chrono::duration_cast<std::chrono::microseconds>(previous_arming_) / divisor_;
      violation =
          TooSoon{"update mode: " + step + " " + Milliseconds(gap) + " after " + previous_step_ +
                      ", sooner than its " + Milliseconds(minimum) + " arming",
                  previous_arming_};
    }
  }
  previous_at_ = at;
  previous_arming_ = arming;
  previous_step_ = step;
  return violation;
}

}  // namespace kv::sim
