// The user-interface thread's event loop: the one place where every handler of
// the tool runs. Other threads reach it only by posting or sending tasks, the
// way a Windows program posts or sends window messages.
#pragma once

#include <cassert>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

// Debug builds stop at an entry point of the UI thread's state that some other
// thread has called: such a call would touch that state without any hand-off.
#ifdef NDEBUG
#define KV_ASSERT_UI_THREAD(loop) static_cast<void>(0)
#else
#define KV_ASSERT_UI_THREAD(loop) assert((loop).IsUiThread())
#endif

namespace kv::toolkit {

using Task = std::function<void()>;
using Clock = std::chrono::steady_clock;

class Timer;

// Shows an exception that escaped a handler. The text is what() of a standard
// exception and empty for anything else. The loop goes on afterwards.
using ExceptionBox = std::function<void(const std::string& text)>;

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Any thread: queue a task for the UI thread and return at once (PostMessage).
  virtual void Post(Task task) = 0;

  // Any thread: run the task on the UI thread and wait until it has run
  // (SendMessage). On the UI thread itself the task runs at once. Sent tasks are
  // served by the loop, by every nested loop and by ServeSendsUntil.
  virtual void Send(Task task) = 0;

  // True on the thread that owns the loop (the one that created it).
  virtual bool IsUiThread() const = 0;

  // UI thread: run until Quit. Tasks, sent tasks and timers are handled.
  virtual void Run() = 0;
  // Any thread: make the outermost Run return once the current handler is done.
  virtual void Quit() = 0;
  virtual bool QuitRequested() const = 0;

  // UI thread: a nested loop (modal message boxes, modal windows). Runs posted
  // and sent tasks and timers until `done` returns true (checked after every
  // event and on every wake-up), Quit is called, or `limit` passes. Returns
  // whether `done` became true.
  virtual bool RunUntil(const std::function<bool()>& done,
                        Clock::duration limit = Clock::duration::max()) = 0;

  // UI thread: wait until `done` returns true or `limit` passes, serving only
  // tasks that other threads Send meanwhile (so a thread blocked in Send can
  // finish), never posted tasks or timers. For waits on another thread's end
  // that must not deadlock with that thread's hand-off to the UI thread.
  virtual bool ServeSendsUntil(const std::function<bool()>& done, Clock::duration limit) = 0;

  // Called with the text of an exception that escaped a handler.
  virtual void SetExceptionBox(ExceptionBox box) = 0;

 protected:
  friend class Timer;
  // UI thread: (re)arm or disarm a timer; due times come from its interval.
  virtual void ArmTimer(Timer* timer, Clock::time_point due) = 0;
  virtual void DisarmTimer(Timer* timer) = 0;
};

// The portable binding (standard library only): command line and tests.
std::unique_ptr<EventLoop> CreatePortableEventLoop();

// A toolkit timer on the UI thread, like a VCL TTimer: Enabled plus Interval in
// milliseconds; while enabled the handler runs every Interval. Starting an
// enabled timer restarts its interval; changing the interval of an enabled timer
// restarts it too. A handler that stops its own timer makes a one-shot. All
// members are for the UI thread only.
class Timer {
 public:
  // What the timer has done since it was made, for tests and benchmarks that
  // check pacing without a wall clock: every (re)start with the interval it was
  // armed for, and every firing.
  struct Tally {
    long long Starts = 0;
    std::chrono::milliseconds Armed{0};  // the intervals of all starts added up
    long long Fires = 0;
  };

  explicit Timer(EventLoop& loop, int interval_ms = 1000);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetInterval(int interval_ms);
  int Interval() const { return interval_ms_; }
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }
  void Start() { SetEnabled(true); }  // restarts when already running
  void Stop() { SetEnabled(false); }

  std::function<void()> OnTimer;

  const Tally& Counted() const { return tally_; }

  // Called by the loop when the timer is due: re-arms, then runs OnTimer.
  void Fire();

 private:
  // Arms the timer one interval from now (or disarms it while the interval is 0).
  void Rearm();

  EventLoop& loop_;
  int interval_ms_;
  bool enabled_ = false;
  Clock::time_point due_{};
  Tally tally_;
};

}  // namespace kv::toolkit
