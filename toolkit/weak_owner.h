// A task posted to the UI thread on behalf of an object that may be destroyed
// before the loop runs it (a window, a controller, a link's owner) must then do
// nothing, as a message posted to a destroyed window is dropped. WeakOwner is
// that guard: the owner holds one as a member, and every task it (or a thread
// working for it) posts is wrapped by Guard. A thread or a callback that may
// outlive the owner keeps a WeakHandle, a copy that stays valid on its own.
//
// Threads: Guard and Post may be called from any thread; the wrapped task runs
// on the loop's thread, and the owner is destroyed there, so "still alive"
// cannot change while a guarded task runs.
#pragma once

#include <memory>
#include <utility>

#include "toolkit/event_loop.h"

namespace kv::toolkit {

template <class Owner>
class WeakHandle {
 public:
  WeakHandle() = default;
  explicit WeakHandle(std::weak_ptr<Owner*> owner) : owner_(std::move(owner)) {}

  // `task(owner)` runs only while the owner lives.
  template <class OwnerTask>
  Task Guard(OwnerTask task) const {
    return [owner = owner_, task = std::move(task)]() mutable {
      if (const std::shared_ptr<Owner*> alive = owner.lock()) task(**alive);
    };
  }

  template <class OwnerTask>
  void Post(EventLoop& loop, OwnerTask task) const {
    loop.Post(Guard(std::move(task)));
  }

  bool Expired() const { return owner_.expired(); }

 private:
  std::weak_ptr<Owner*> owner_;
};

template <class Owner>
class WeakOwner {
 public:
  explicit WeakOwner(Owner& owner) : alive_(std::make_shared<Owner*>(&owner)), handle_(alive_) {}
  ~WeakOwner() = default;
  WeakOwner(const WeakOwner&) = delete;
  WeakOwner& operator=(const WeakOwner&) = delete;

  // Tasks guarded so far do nothing from now on. The owner calls it first in
  // its destructor when its own teardown must not be re-entered by them; the
  // member's destruction does it in any case.
  void Release() { alive_.reset(); }

  // For threads and callbacks that may outlive the owner.
  const WeakHandle<Owner>& Handle() const { return handle_; }

  template <class OwnerTask>
  Task Guard(OwnerTask task) const {
    return handle_.Guard(std::move(task));
  }

  template <class OwnerTask>
  void Post(EventLoop& loop, OwnerTask task) const {
    handle_.Post(loop, std::move(task));
  }

 private:
  std::shared_ptr<Owner*> alive_;
  // Never reassigned, so other threads may copy it while the UI thread releases.
  const WeakHandle<Owner> handle_;
};

}  // namespace kv::toolkit
