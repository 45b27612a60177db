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
  void WaitForWork(Mutex& held, Clock::time_point deadline, Serving /*serving*/)
      KV_REQUIRES(held) override {
    wake_.wait_until(held, deadline);
  }

  void WakeUiThread() override { wake_.notify_all(); }

 private:
  std::condition_variable_any wake_;
};

}  // namespace

std::unique_ptr<EventLoop> CreatePortableEventLoop() {
  return std::make_unique<PortableEventLoop>();
}

}  // namespace kv::toolkit
