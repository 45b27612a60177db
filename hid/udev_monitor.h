// Plug and unplug of hidraw nodes on Linux, watched through a udev monitor on a
// thread of its own. Events come from udevd after its rules ran, so a node that
// is announced already carries the permissions the rules give it.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "toolkit/thread_annotations.h"

namespace kv::hid {

class UdevHidrawMonitor {
 public:
  // Runs on the monitor thread once per burst of hidraw add/remove events.
  using ChangeCallback = std::function<void()>;

  UdevHidrawMonitor();
  ~UdevHidrawMonitor();
  UdevHidrawMonitor(const UdevHidrawMonitor&) = delete;
  UdevHidrawMonitor& operator=(const UdevHidrawMonitor&) = delete;

  // False, with `error` an errno value, when the monitor or its thread cannot
  // be set up; true when already running.
  bool Start(ChangeCallback on_change, int& error);
  // Wakes the thread and joins it; a callback in progress finishes first.
  // Must not be called from the callback itself.
  void Stop();
  bool Running() const;

 private:
  struct Resources;
  static void WatchLoop(Resources* resources, const ChangeCallback& on_change);

  mutable Mutex mutex_;
  std::unique_ptr<Resources> resources_ KV_GUARDED_BY(mutex_);  // set while running
  std::thread thread_ KV_GUARDED_BY(mutex_);
};

}  // namespace kv::hid
