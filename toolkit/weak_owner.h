// A task posted to the UI thread on behalf of an object that may be destroyed
// before the loop runs it (a window, a controller, a link's owner) must then do
// nothing, as a message posted to a destroyed window is dropped. WeakOwner is
// that guard: the owner holds one as a member, and every task it (or a thread
// working for it) posts is wrapped by Guard.
//
// Threads: Guard and Post may be called from any thread while the owner lives;
// the wrapped task runs on the loop's thread, and the owner is destroyed there,
// so "still alive" cannot change while a guarded task runs.
#pragma once

#include <memory>
#include <utility>

#include "toolkit/event_loop.h"

namespace kv::toolkit {

template <class Owner>
class WeakOwner {
 public:
  explicit WeakOwner(Owner& owner) : alive_(std::make_shared<Owner*>(&owner)), weak_(alive_) {}
  ~WeakOwner() = default;
  WeakOwner(const WeakOwner&) = delete;
  WeakOwner& operator=(const WeakOwner&) = delete;

  // Tasks guarded so far do nothing from now on. The owner calls it first in
  // its destructor when its own teardown must not be re-entered by them; the
  // member's destruction does it in any case.
  void Release() { alive_.reset(); }

  // `task(owner)` runs only while the owner lives.
  template <class Task>
  toolkit::Task Guard(Task task) const {
    return [weak = weak_, task = std::move(task)]() mutable {
      if (const std::shared_ptr<Owner*> owner = weak.lock()) task(**owner);
    };
  }

  template <class Task>
  void Post(EventLoop& loop, Task task) const {
    loop.Post(Guard(std::move(task)));
  }

 private:
  std::shared_ptr<Owner*> alive_;
  // Never reassigned, so other threads may copy it while the UI thread releases.
  const std::weak_ptr<Owner*> weak_;
};

}  // namespace kv::toolkit
