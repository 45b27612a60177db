// Measures how late a 20 ms toolkit timer fires, on every event-loop binding
// built here (portable everywhere, Win32 on Windows). The goal is within 2 ms.
// Usage: timer_lateness_bench [firings]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/event_loop.h"
#ifdef _WIN32
#include "toolkit/win32_event_loop.h"
#endif

namespace {

using kv::toolkit::Clock;
using kv::toolkit::EventLoop;
using kv::toolkit::Timer;
using Microseconds = std::chrono::duration<double, std::micro>;

constexpr std::chrono::milliseconds kInterval{20};
constexpr int kDefaultFirings = 100;
// Generous: a binding that stalls must not keep the bench running forever.
constexpr auto kRunLimitPerFiring = 10 * kInterval;

// The toolkit's timers take whole milliseconds.
int TimerInterval() {
  return static_cast<int>(kInterval.count());
}

struct Lateness {
  std::vector<double> microseconds;
  int missed = 0;
};

// One-shot use, as the update chain uses its timers: start, fire, stop.
Lateness MeasureOneShot(EventLoop& loop, int firings) {
  Lateness result;
  Timer timer(loop, TimerInterval());
  for (int i = 0; i < firings; ++i) {
    bool fired = false;
    Clock::time_point started = Clock::now();
    timer.OnTimer = [&] {
      timer.Stop();
      result.microseconds.push_back(Microseconds(Clock::now() - started - kInterval).count());
      fired = true;
    };
    started = Clock::now();
    timer.Start();
    if (!loop.RunUntil([&] { return fired; }, kRunLimitPerFiring)) ++result.missed;
  }
  return result;
}

// Periodic use (the polling timer): lateness of each tick against start + n * interval.
Lateness MeasurePeriodic(EventLoop& loop, int firings) {
  Lateness result;
  Timer timer(loop, TimerInterval());
  int fired = 0;
  const Clock::time_point started = Clock::now();
  timer.OnTimer = [&] {
    ++fired;
    const auto due = started + fired * kInterval;
    result.microseconds.push_back(Microseconds(Clock::now() - due).count());
    if (fired == firings) timer.Stop();
  };
  timer.Start();
  if (!loop.RunUntil([&] { return fired == firings; }, firings * kRunLimitPerFiring)) {
    result.missed = firings - fired;
  }
  return result;
}

void Report(const std::string& binding, const char* use, Lateness lateness) {
  auto& v = lateness.microseconds;
  if (v.empty()) {
    std::printf("%-8s %-9s no firings (missed %d)\n", binding.c_str(), use, lateness.missed);
    return;
  }
  std::sort(v.begin(), v.end());
  const auto at = [&v](double fraction) {
    return v[std::min(v.size() - 1, static_cast<std::size_t>(fraction * v.size()))];
  };
  const auto within_goal = std::count_if(v.begin(), v.end(), [](double us) { return us <= 2000; });
  std::printf(
      "%-8s %-9s n=%zu  late us: min %.0f  median %.0f  p99 %.0f  max %.0f  within 2 ms: %ld/%zu"
      "  missed %d\n",
      binding.c_str(), use, v.size(), v.front(), at(0.5), at(0.99), v.back(),
      static_cast<long>(within_goal), v.size(), lateness.missed);
}

}  // namespace

int main(int argc, char** argv) {
  const int firings = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultFirings;
  std::vector<std::pair<std::string, std::function<std::unique_ptr<EventLoop>()>>> bindings{
      {"portable", kv::toolkit::CreatePortableEventLoop}};
#ifdef _WIN32
  bindings.emplace_back("win32", kv::toolkit::CreateWin32EventLoop);
#endif
  std::printf("timer interval %d ms, %d firings per run\n", TimerInterval(), firings);
  for (const auto& [name, create] : bindings) {
    const auto loop = create();
    Report(name, "one-shot", MeasureOneShot(*loop, firings));
    Report(name, "periodic", MeasurePeriodic(*loop, firings));
  }
  return 0;
}
