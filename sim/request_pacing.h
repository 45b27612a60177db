// The boot loader's check of the host's pace: after each request the host must
// hold back for its reply arming (kArming... in boot_loader.h) before it sends the
// next one; a request that comes sooner is a violation. With pace=N (tests that do
// not measure pacing) every minimum is divided by N, and the verdict says so.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace kv::sim {

// What a host that keeps its arming may still fall short by: its timers tick in
// whole milliseconds and fire on an event loop, and its request is written on
// another thread after the timer has been started, so one request may leave a
// few milliseconds late and shorten the gap to the next. Far below the 20 ms of
// the shortest arming, so that a host at half the pace is always caught.
inline constexpr std::chrono::microseconds kPacingAllowance{5000};

// The fastest pace the unit can be told to accept (the command line's largest
// pace divisor).
inline constexpr int kMaxPaceDivisor = 1000;

// The least gap, as the unit measures it, that a request after one with this
// arming may follow at pace 1/divisor.
std::chrono::microseconds LeastGap(std::chrono::milliseconds arming, int divisor);

// Watches the gaps between the requests of one attachment in update mode.
class RequestPacing {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RequestPacing(int divisor = 1) : divisor_(divisor < 1 ? 1 : divisor) {}

  // A request of `step` arrived at `at`; the host must then wait `arming` before
  // the next. Returns the violation text when this one came too soon after the
  // previous request.
  std::optional<std::string> Arrived(Clock::time_point at, const std::string& step,
                                     std::chrono::milliseconds arming);

  int Divisor() const { return divisor_; }

 private:
  int divisor_;
  std::optional<Clock::time_point> previous_at_;
  std::chrono::milliseconds previous_arming_{0};
  std::string previous_step_;
};

}  // namespace kv::sim
