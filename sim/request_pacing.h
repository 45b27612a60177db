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

// What a host that keeps its arming may still fall short by. Its timers count
// whole milliseconds on an event loop, and it starts the arming timer before its
// request has left: the request is written on another thread once that thread
// wakes, which on a loaded machine can take a few milliseconds. That delay of one
// request shortens the gap to the next. 8 ms stays below the 10 ms between data
// packets that a host at twice the pace would leave, so such a host is caught on
// every step.
inline constexpr std::chrono::microseconds kPacingAllowance{8000};

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
  struct TooSoon {
    std::string text;
    std::chrono::milliseconds arming{0};  // the previous request's, not divided
  };
  std::optional<TooSoon> Arrived(Clock::time_point at, const std::string& step,
                                 std::chrono::milliseconds arming);

  int Divisor() const { return divisor_; }

 private:
  int divisor_;
  std::optional<Clock::time_point> previous_at_;
  std::chrono::milliseconds previous_arming_{0};
  std::string previous_step_;
};

}  // namespace kv::sim
