// Ctrl-C for the command line. The console's watcher (a thread of its own, never
// a signal handler) raises the hub; the running session has set a handler that
// hands the request to its event loop.
#pragma once

#include <functional>
#include <mutex>

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
  mutable std::mutex mutex_;
  std::function<void()> handler_;
  bool raised_ = false;
};

// Watches the console for Ctrl-C (and SIGTERM) while it lives and raises the
// hub. A second Ctrl-C while the first is still being handled ends the process
// at once with exit code 130. Construct it in main() before any other thread
// starts, so that no other thread receives the signal.
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
