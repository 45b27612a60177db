#include "toolkit/loop_core.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <utility>

namespace kv::toolkit {
namespace {

// A wait whose condition another thread may change without waking the UI
// thread is re-checked this often. Short for ServeSendsUntil (it guards short
// hand-offs such as a thread's end), longer for nested loops (modal boxes).
constexpr Clock::duration kSendWaitConditionPoll = std::chrono::milliseconds(1);
constexpr Clock::duration kNestedLoopConditionPoll = std::chrono::milliseconds(10);
// No single sleep lasts longer than this, so a far deadline never overflows a
// platform's wait and a lost wake-up would cost at most this much.
constexpr Clock::duration kLongestSleep = std::chrono::seconds(1);

Clock::time_point DeadlineAfter(Clock::duration limit) {
  const Clock::time_point now = Clock::now();
  if (limit >= Clock::time_point::max() - now) return Clock::time_point::max();
  return now + std::max(limit, Clock::duration::zero());
}

void PrintToStderr(const std::string& text) {
  std::cerr << "Exception: " << text << std::endl;
}

}  // namespace

LoopCore::LoopCore() : ui_thread_(std::this_thread::get_id()), exception_box_(PrintToStderr) {}

// A binding calls Shutdown first, while it is still whole; this call only
// catches a binding that forgot (it finds nothing left to release).
LoopCore::~LoopCore() {
  Shutdown();
}

void LoopCore::Shutdown() {
  std::deque<Task> dropped;
  MutexLock lock(mutex_);
  closed_ = true;
  for (PendingSend* send : sends_) send->finished = true;
  sends_.clear();
  dropped.swap(posted_);
  send_finished_.notify_all();
  while (senders_waiting_ != 0) send_finished_.wait(mutex_);
}

void LoopCore::Post(Task task) {
  if (!task) return;
  MutexLock lock(mutex_);
  if (closed_) return;
  posted_.push_back(std::move(task));
  WakeUiThread();
}

void LoopCore::Send(Task task) {
  if (!task) return;
  if (IsUiThread()) {
    RunGuarded(task);
    return;
  }
  PendingSend send{&task};
  MutexLock lock(mutex_);
  if (closed_) return;
  sends_.push_back(&send);
  ++senders_waiting_;
  WakeUiThread();
  // Cancel path: Shutdown marks every pending send finished.
  while (!send.finished) send_finished_.wait(mutex_);
  --senders_waiting_;
  if (closed_) send_finished_.notify_all();
}

std::size_t LoopCore::PendingSendCount() const {
  MutexLock lock(mutex_);
  return sends_.size();
}

bool LoopCore::IsUiThread() const {
  return std::this_thread::get_id() == ui_thread_;
}

void LoopCore::Run() {
  if (!IsUiThread()) return;
  Pump(nullptr, Clock::time_point::max(), Serving::kEverything, Clock::duration::max());
  MutexLock lock(mutex_);
  quit_ = false;  // the loop can be run again
}

void LoopCore::Quit() {
  MutexLock lock(mutex_);
  quit_ = true;
  WakeUiThread();
}

bool LoopCore::QuitRequested() const {
  MutexLock lock(mutex_);
  return quit_;
}

bool LoopCore::RunUntil(const std::function<bool()>& done, Clock::duration limit) {
  if (!IsUiThread()) return false;
  return Pump(&done, DeadlineAfter(limit), Serving::kEverything, kNestedLoopConditionPoll);
}

bool LoopCore::ServeSendsUntil(const std::function<bool()>& done, Clock::duration limit) {
  if (!IsUiThread()) return false;
  return Pump(&done, DeadlineAfter(limit), Serving::kSendsOnly, kSendWaitConditionPoll);
}

void LoopCore::SetExceptionBox(ExceptionBox box) {
  MutexLock lock(mutex_);
  exception_box_ = box ? std::move(box) : ExceptionBox(PrintToStderr);
}

void LoopCore::RunGuarded(const Task& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowException(error.what());
  } catch (...) {
    ShowException(std::string());
  }
}

void LoopCore::ShowException(const std::string& text) {
  ExceptionBox box;
  {
    MutexLock lock(mutex_);
    box = exception_box_;
  }
  try {
    box(text);
  } catch (...) {
    // A failing box must not take the loop down; the text still reaches stderr.
    PrintToStderr(text);
  }
}

bool LoopCore::Pump(const std::function<bool()>* done, Clock::time_point until, Serving serving,
                    Clock::duration condition_poll) {
  const auto is_done = [done] { return done != nullptr && *done && (*done)(); };
  for (;;) {
    if (is_done()) return true;
    if (serving == Serving::kEverything && QuitRequested()) return false;
    const Clock::time_point now = Clock::now();
    if (now >= until) return false;

    if (ServeOneSend()) continue;
    if (DispatchNativeMessage(serving)) continue;
    if (serving == Serving::kEverything) {
      if (FireOneDueTimer()) continue;
      if (RunOnePosted()) continue;
    }

    Clock::time_point wake_at = std::min(until, now + kLongestSleep);
    if (condition_poll < kLongestSleep) wake_at = std::min(wake_at, now + condition_poll);
    if (serving == Serving::kEverything && !schedule_.empty()) {
      wake_at = std::min(wake_at, schedule_.begin()->first);
    }
    MutexLock lock(mutex_);
    if (!HasWorkLocked(serving)) WaitForWork(mutex_, wake_at, serving);
  }
}

bool LoopCore::HasWorkLocked(Serving serving) const {
  if (!sends_.empty()) return true;
  return serving == Serving::kEverything && (quit_ || !posted_.empty());
}

bool LoopCore::ServeOneSend() {
  PendingSend* send = nullptr;
  {
    MutexLock lock(mutex_);
    if (sends_.empty()) return false;
    send = sends_.front();
    sends_.pop_front();
  }
  // The sender is blocked until `finished`, so its task is alive meanwhile.
  RunGuarded(*send->task);
  {
    MutexLock lock(mutex_);
    send->finished = true;
  }
  // Woken outside the lock, the sender does not wake only to block on it again.
  // The condition variable is the loop's, which outlives this call.
  send_finished_.notify_all();
  return true;
}

bool LoopCore::RunOnePosted() {
  Task task;
  {
    MutexLock lock(mutex_);
    if (posted_.empty()) return false;
    task = std::move(posted_.front());
    posted_.pop_front();
  }
  RunGuarded(task);
  return true;
}

bool LoopCore::FireOneDueTimer() {
  if (schedule_.empty() || schedule_.begin()->first > Clock::now()) return false;
  Timer* timer = schedule_.begin()->second;
  armed_.erase(timer);
  schedule_.erase(schedule_.begin());
  // Fire re-arms a periodic timer before its handler runs; the handler may
  // stop, restart or delete the timer.
  RunGuarded([timer] { timer->Fire(); });
  return true;
}

void LoopCore::ArmTimer(Timer* timer, Clock::time_point due) {
  DisarmTimer(timer);
  armed_[timer] = schedule_.emplace(due, timer);
  // No wake-up needed: timers are armed on the UI thread, which computes its
  // next sleep from the schedule after this handler returns.
}

void LoopCore::DisarmTimer(Timer* timer) {
  const auto found = armed_.find(timer);
  if (found == armed_.end()) return;
  schedule_.erase(found->second);
  armed_.erase(found);
}

// ---- Timer ----

Timer::Timer(EventLoop& loop, int interval_ms)
    : loop_(loop), interval_ms_(std::max(interval_ms, 0)) {}

Timer::~Timer() {
  if (enabled_) loop_.DisarmTimer(this);
}

void Timer::SetInterval(int interval_ms) {
  interval_ms_ = std::max(interval_ms, 0);
  if (enabled_) Rearm();
}

void Timer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  if (enabled_) {
    Rearm();
  } else {
    loop_.DisarmTimer(this);
  }
}

void Timer::Rearm() {
  // An interval of 0 keeps an enabled timer silent, as a Windows timer would.
  if (interval_ms_ <= 0) {
    loop_.DisarmTimer(this);
    return;
  }
  ++tally_.Starts;
  tally_.Armed += std::chrono::milliseconds(interval_ms_);
  due_ = Clock::now() + std::chrono::milliseconds(interval_ms_);
  loop_.ArmTimer(this, due_);
}

void Timer::Fire() {
  if (!enabled_ || interval_ms_ <= 0) return;
  const auto interval = std::chrono::milliseconds(interval_ms_);
  const Clock::time_point now = Clock::now();
  // Keep the period's phase; after a stall skip the missed ticks instead of
  // firing a burst.
  due_ += interval;
  if (due_ <= now) due_ = now + interval;
  loop_.ArmTimer(this, due_);
  ++tally_.Fires;
  // The handler may delete this timer, so it runs from a copy and nothing of
  // the timer is touched afterwards.
  const std::function<void()> handler = OnTimer;
  if (handler) handler();
}

}  // namespace kv::toolkit
