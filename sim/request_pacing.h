// The boot loader's check of the host's pace: after each request the host must
// hold back for its reply arming (kArming... in boot_loader.h) before it sends the
// next one; a request that comes sooner is a violation. With pace=N (tests that do
// not measure pacing) every minimum is divided by N, and the verdict says so.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace kv::sim {

// What a host that keeps its arming may still fall short by. It starts the
// arming timer before its request has left: the request is written on another
// thread once that thread wakes and has crossed the bus, which on a loaded
// machine has been measured to take up to 14 ms. Such a late request shortens the
// gap to the next one, but only that gap: the host's timers still run from when
// they were started. Its timers also count whole milliseconds.
inline constexpr std::chrono::microseconds kPacingAllowance{30000};

// Because one late request shortens one gap only, the unit judges the time from
// each of the last requests (up to this many) to the new one against the arming
// in between: a host short of the pace falls further behind with every request,
// an honest one never by more than one late request. A host at half the pace is
// caught within 4 data packets, one at three quarters of it within 8.
inline constexpr size_t kPacingWindow = 8;

// The fastest pace the unit can be told to accept (the command line's largest
// pace divisor).
inline constexpr int kMaxPaceDivisor = 1000;

// Watches the gaps between the requests of one attachment in update mode.
class RequestPacing {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RequestPacing(int divisor = 1) : divisor_(divisor < 1 ? 1 : divisor) {}

  struct TooSoon {
    std::string text;
    std::chrono::milliseconds arming{0};  // the previous request's, not divided
  };

  // A request of `step` arrived at `at`; the host must then wait `arming` before
  // the next. Returns the violation when it came too soon after the requests
  // before it. A request found too soon begins the judging anew, so that its
  // earliness is not held against the requests that follow it.
  std::optional<TooSoon> Arrived(Clock::time_point at, const std::string& step,
                                 std::chrono::milliseconds arming);

  int Divisor() const { return divisor_; }

 private:
  struct Seen {
    Clock::time_point at;
    std::chrono::milliseconds arming;
    std::string step;
  };

  int divisor_;
  std::deque<Seen> recent_;  // at most kPacingWindow, oldest first
};

}  // namespace kv::sim
