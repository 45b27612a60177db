// POSIX: SIGINT and SIGTERM are blocked in every thread and taken by one
// watcher thread with sigwait, so nothing runs in signal context. SIGPIPE and
// SIGHUP are ignored (see interrupt.h).
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "app/cli/interrupt.h"

namespace kv::cli {

namespace {

constexpr int kInterruptedExitCode = 130;

sigset_t WatchedSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

struct TConsoleInterruptWatch::State {
  explicit State(TInterruptHub& hub) : hub(hub) {}
  TInterruptHub& hub;
  sigset_t previousMask{};
  std::atomic<bool> stopping{false};
  std::thread watcher;
};

TConsoleInterruptWatch::TConsoleInterruptWatch(TInterruptHub& hub) : state_(new State(hub)) {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  const sigset_t signals = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &signals, &state_->previousMask);
  State* state = state_;
  state_->watcher = std::thread([state, signals] {
    TInterruptPolicy policy;
    for (;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0) continue;
      if (state->stopping.load()) return;
      switch (policy.OnSignal(TInterruptPolicy::Clock::now())) {
        case TInterruptPolicy::TAction::kRequestClose:
          state->hub.Raise();
          break;
        case TInterruptPolicy::TAction::kSameRequest:
          break;
        case TInterruptPolicy::TAction::kForceExit:
          std::_Exit(kInterruptedExitCode);
      }
    }
  });
}

TConsoleInterruptWatch::~TConsoleInterruptWatch() {
  state_->stopping = true;
  // Blocked everywhere, so it stays pending until the watcher's sigwait takes it.
  pthread_kill(state_->watcher.native_handle(), SIGTERM);
  state_->watcher.join();
  pthread_sigmask(SIG_SETMASK, &state_->previousMask, nullptr);
  delete state_;
}

}  // namespace kv::cli
