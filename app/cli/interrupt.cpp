#include "app/cli/interrupt.h"

#include <utility>

namespace kv::cli {

void TInterruptHub::Raise() {
  MutexLock lock(mutex_);
  raised_ = true;
  if (handler_) handler_();
}

void TInterruptHub::SetHandler(std::function<void()> handler) {
  MutexLock lock(mutex_);
  handler_ = std::move(handler);
  if (handler_ && raised_) handler_();
}

TInterruptPolicy::TAction TInterruptPolicy::OnSignal(Clock::time_point now) {
  ++count_;
  if (!first_) {
    first_ = now;
    return TAction::kRequestClose;
  }
  if (count_ >= kForcingSignal && now - *first_ >= kForcedExitGrace) return TAction::kForceExit;
  return TAction::kSameRequest;
}

bool TInterruptHub::Raised() const {
  MutexLock lock(mutex_);
  return raised_;
}

}  // namespace kv::cli
