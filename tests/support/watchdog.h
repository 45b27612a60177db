// Ends the process when a test runs far beyond any of its bounded waits: a hang
// must fail the run, not stall it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace kv::test {

class Watchdog {
 public:
  using Duration = std::chrono::steady_clock::duration;
  // Runs on the watchdog's thread once `limit` has passed; must end the process.
  using HangHandler = std::function<void(Duration limit)>;

  explicit Watchdog(Duration limit, HangHandler onHang = AbortOnHang)
      : onHang_(std::move(onHang)), thread_([this, limit] { Watch(limit); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static void AbortOnHang(Duration /*limit*/) {
    std::fprintf(stderr, "watchdog: test hung\n");
    std::abort();
  }

  void Watch(Duration limit) {
    std::unique_lock lock(mutex_);
    if (cv_.wait_for(lock, limit, [this] { return done_; })) return;
    onHang_(limit);
  }

  const HangHandler onHang_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;  // last: it starts once everything above exists
};

}  // namespace kv::test
