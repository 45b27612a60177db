#include "sim/unit_timeline.h"

#include <utility>

namespace kv::sim {

UnitTimeline::UnitTimeline() : thread_([this] { Run(); }) {}

UnitTimeline::~UnitTimeline() {
  Stop();
}

void UnitTimeline::At(Clock::time_point due, Task task) {
  if (!task) return;
  {
    MutexLock lock(mutex_);
    if (stopping_) return;
    // A multimap inserts behind the entries with an equal key: FIFO for equal times.
    queue_.emplace(due, std::move(task));
  }
  wake_.notify_one();
}

void UnitTimeline::Stop() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

size_t UnitTimeline::Pending() const {
  MutexLock lock(mutex_);
  return queue_.size();
}

void UnitTimeline::Run() {
  for (;;) {
    Task task = NextDueTask();
    if (!task) return;
    task();
    // The task and what it captured go before the lock is taken again.
  }
}

UnitTimeline::Task UnitTimeline::NextDueTask() {
  MutexLock lock(mutex_);
  while (!stopping_) {
    if (queue_.empty()) {
      wake_.wait(mutex_);
      continue;
    }
    auto first = queue_.begin();
    // A copy: Stop may drop the entry while this thread waits.
    const Clock::time_point due = first->first;
    if (Clock::now() < due) {
      // Woken early by a new, possibly earlier, task or by Stop: look again.
      wake_.wait_until(mutex_, due);
      continue;
    }
    Task task = std::move(first->second);
    queue_.erase(first);
    return task;
  }
  return {};
}

}  // namespace kv::sim
