// The simulated unit's own thread: work it does after a delay (answers, erasing,
// re-enumeration) is queued here with the time it is due and runs in time order,
// tasks due at the same time in the order they were queued.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "toolkit/thread_annotations.h"

namespace kv::sim {

class UnitTimeline {
 public:
  using Clock = std::chrono::steady_clock;
  using Task = std::function<void()>;

  UnitTimeline();
  ~UnitTimeline();
  UnitTimeline(const UnitTimeline&) = delete;
  UnitTimeline& operator=(const UnitTimeline&) = delete;

  // Any thread, tasks included. Ignored once Stop has begun.
  void At(Clock::time_point due, Task task);
  void After(std::chrono::milliseconds delay, Task task) {
    At(Clock::now() + delay, std::move(task));
  }

  // Drops what is still queued, lets a running task finish and joins the thread.
  // Not from a task of this timeline.
  void Stop();

  // Queued tasks not yet run.
  size_t Pending() const;

 private:
  void Run();
  // Waits for the earliest task to fall due and takes it; empty once Stop has begun.
  Task NextDueTask();

  mutable Mutex mutex_;
  std::condition_variable_any wake_;
  std::multimap<Clock::time_point, Task> queue_ KV_GUARDED_BY(mutex_);
  bool stopping_ KV_GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace kv::sim
