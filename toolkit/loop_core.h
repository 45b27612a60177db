// The machinery both event-loop bindings share: task queues, sent-task
// bookkeeping, the timer schedule and the exception guard. A binding supplies
// only how the UI thread sleeps and how another thread wakes it (and, for a
// native binding, how pending native window messages are dispatched).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "toolkit/event_loop.h"
#include "toolkit/thread_annotations.h"

namespace kv::toolkit {

class LoopCore : public EventLoop {
 public:
  ~LoopCore() override;

  void Post(Task task) override;
  void Send(Task task) override;
  bool IsUiThread() const override;
  void Run() override;
  void Quit() override;
  bool QuitRequested() const override;
  bool RunUntil(const std::function<bool()>& done, Clock::duration limit) override;
  bool ServeSendsUntil(const std::function<bool()>& done, Clock::duration limit) override;
  void SetExceptionBox(ExceptionBox box) override;

  // UI thread: run one handler inside the exception guard. For native window
  // procedures, through which an exception must never unwind.
  void RunGuarded(const Task& handler);

  // Any thread: how many senders wait for their task to be served.
  std::size_t PendingSendCount() const;

 protected:
  // What the UI thread is willing to handle while it waits.
  enum class Serving {
    kEverything,  // sent and posted tasks, timers, native messages
    kSendsOnly,   // only tasks that another thread sends (and native sent messages)
  };

  LoopCore();

  // UI thread, `held` (the loop's mutex) held and no work of the kind
  // `serving` pending: sleep until Wake or `deadline`. May release `held` while
  // sleeping; holds it again on return.
  virtual void WaitForWork(Mutex& held, Clock::time_point deadline, Serving serving)
      KV_REQUIRES(held) = 0;
  // Any thread, mutex held: end the UI thread's current WaitForWork early.
  virtual void WakeUiThread() = 0;
  // UI thread, no lock held: dispatch one pending native message if there is
  // one. Bindings without native messages have none.
  virtual bool DispatchNativeMessage(Serving /*serving*/) { return false; }

  // Must be called by the most derived destructor: releases every thread
  // still blocked in Send (their tasks do not run) and waits until they have
  // left, so no sender touches the loop after it is gone.
  void Shutdown();

  void ArmTimer(Timer* timer, Clock::time_point due) override;
  void DisarmTimer(Timer* timer) override;

 private:
  struct PendingSend {
    const Task* task;
    bool finished = false;
  };

  bool Pump(const std::function<bool()>* done, Clock::time_point until, Serving serving,
            Clock::duration condition_poll);
  bool ServeOneSend();
  bool RunOnePosted();
  bool FireOneDueTimer();
  bool HasWorkLocked(Serving serving) const KV_REQUIRES(mutex_);
  void ShowException(const std::string& text);

  const std::thread::id ui_thread_;

  mutable Mutex mutex_;
  std::deque<Task> posted_ KV_GUARDED_BY(mutex_);
  std::deque<PendingSend*> sends_ KV_GUARDED_BY(mutex_);
  std::condition_variable_any send_finished_;  // senders wait here
  int senders_waiting_ KV_GUARDED_BY(mutex_) = 0;
  bool closed_ KV_GUARDED_BY(mutex_) = false;
  bool quit_ KV_GUARDED_BY(mutex_) = false;
  ExceptionBox exception_box_ KV_GUARDED_BY(mutex_);

  // The timer schedule belongs to the UI thread alone (timers are UI-only).
  std::multimap<Clock::time_point, Timer*> schedule_;
  std::unordered_map<Timer*, std::multimap<Clock::time_point, Timer*>::iterator> armed_;
};

}  // namespace kv::toolkit
