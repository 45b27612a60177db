// Clang's thread-safety analysis (-Wthread-safety): which lock guards a field,
// which lock a function needs. Other compilers see empty macros.
#pragma once

#include <mutex>

#if defined(__clang__)
#define KV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KV_THREAD_ANNOTATION(x)
#endif

#define KV_CAPABILITY(name) KV_THREAD_ANNOTATION(capability(name))
#define KV_SCOPED_CAPABILITY KV_THREAD_ANNOTATION(scoped_lockable)
#define KV_GUARDED_BY(lock) KV_THREAD_ANNOTATION(guarded_by(lock))
#define KV_PT_GUARDED_BY(lock) KV_THREAD_ANNOTATION(pt_guarded_by(lock))
#define KV_REQUIRES(...) KV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KV_EXCLUDES(...) KV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KV_ACQUIRE(...) KV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KV_RELEASE(...) KV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KV_TRY_ACQUIRE(...) KV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KV_NO_THREAD_SAFETY_ANALYSIS KV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kv {

// libstdc++'s std::mutex carries no capability attribute, so the analysis
// cannot see it; this thin wrapper and its scoped lock can be seen. Waits use
// std::condition_variable_any with std::unique_lock<Mutex>.
class KV_CAPABILITY("mutex") Mutex {
 public:
  void lock() KV_ACQUIRE() { mutex_.lock(); }
  void unlock() KV_RELEASE() { mutex_.unlock(); }
  bool try_lock() KV_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // For std::condition_variable_any and std::unique_lock users.
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

class KV_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) KV_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() KV_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace kv
