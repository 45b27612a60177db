// The portable binding: the UI thread sleeps on a condition variable.
#include <condition_variable>
#include <memory>

#include "toolkit/loop_core.h"

namespace kv::toolkit {
namespace {

class PortableEventLoop final : public LoopCore {
 public:
  ~PortableEventLoop() override { Shutdown(); }

 protected:
  void WaitForWork(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                   Serving /*serving*/) override {
    wake_.wait_until(lock, deadline);
  }

  void WakeUiThread() override { wake_.notify_all(); }

 private:
  std::condition_variable wake_;
};

}  // namespace

std::unique_ptr<EventLoop> CreatePortableEventLoop() {
  return std::make_unique<PortableEventLoop>();
}

}  // namespace kv::toolkit
