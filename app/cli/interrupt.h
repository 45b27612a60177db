// Ctrl-C for the command line. The console's watcher (a thread of its own, never
// a signal handler) raises the hub; the running session has set a handler that
// hands the request to its event loop.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

#include "toolkit/thread_annotations.h"

namespace kv::cli {

class TInterruptHub {
 public:
  // Any thread except a signal handler.
  void Raise();
  // The handler runs on the raising thread. An interrupt raised before a handler
  // was set runs the handler at once. An empty handler stops delivery; no call
  // is in progress once SetHandler has returned.
  void SetHandler(std::function<void()> handler);
  bool Raised() const;

 private:
  mutable Mutex mutex_;
  std::function<void()> handler_ KV_GUARDED_BY(mutex_);
  bool raised_ KV_GUARDED_BY(mutex_) = false;
};

// What a Ctrl-C or SIGTERM asks for. The first asks the session to close; the
// ones that follow ask the same (GNU timeout sends two at once, to the child
// and to its group), so the end line and the JSON end object are never lost.
// Only a third, after the clean close has had kForcedExitGrace, ends the
// process at once: a user who has waited that long means it.
class TInterruptPolicy {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kForcedExitGrace = std::chrono::seconds(5);
  static constexpr int kForcingSignal = 3;

  enum class TAction { kRequestClose, kSameRequest, kForceExit };
  TAction OnSignal(Clock::time_point now);

 private:
  int count_ = 0;
  std::optional<Clock::time_point> first_;
};

// Watches the console for Ctrl-C (and SIGTERM) while it lives and raises the
// hub, as TInterruptPolicy decides. SIGPIPE and SIGHUP are ignored: output that
// cannot be written is dropped, and an update goes on to its end when the
// terminal goes away (a unit left half-flashed is worse than a lost screen).
// Construct it in main() before any other thread starts, so that no other
// thread receives the signals.
class TConsoleInterruptWatch {
 public:
  explicit TConsoleInterruptWatch(TInterruptHub& hub);
  ~TConsoleInterruptWatch();
  TConsoleInterruptWatch(const TConsoleInterruptWatch&) = delete;
  TConsoleInterruptWatch& operator=(const TConsoleInterruptWatch&) = delete;

  struct State;

 private:
  State* state_;
};

}  // namespace kv::cli
