// The Linux binding's read loop over an emulated hidraw unit (umockdev):
// how soon it stops after a stop request, and what it costs while the unit is
// quiet. Run under umockdev-wrapper (tools/bench.sh does), Release build.
//
//   stop  : CancelRead on a read waiting with no slice, until Read returns,
//           and CheckIn of a checked-out unit (stop, join, handles closed)
//           through the controller, as the window does it;
//   idle  : CPU time of a reader thread waiting 2 s on a quiet node, and the
//           number of times it woke up.
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "hid/hid_platform.h"
#include "hid/jv_hid.h"
#include "hidraw_testbed.h"
#include "toolkit/event_loop.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kCancelTrials = 200;
constexpr int kCheckInTrials = 50;
constexpr auto kIdleSpan = 2s;
constexpr auto kGoalStop = 10ms;
constexpr auto kSettle = 20ms;  // the reader is in its wait by then
constexpr auto kEventLimit = 10s;

double Ms(Clock::duration span) {
  return std::chrono::duration<double, std::milli>(span).count();
}

double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double LoadAverage() {
  double load = -1;
  if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(file, "%lf", &load) != 1) load = -1;
    std::fclose(file);
  }
  return load;
}

struct Spread {
  double median = 0;
  double p99 = 0;
  double max = 0;
};

Spread SpreadOf(std::vector<double> values) {
  if (values.empty()) return {-1, -1, -1};
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values[values.size() * 99 / 100], values.back()};
}

// One reader thread, one Read with no slice, cancelled from here.
double CancelLatencyMs(kv::hid::HidPlatform& platform, const std::string& node) {
  uint32_t error = 0;
  auto reader = platform.Open(node, kv::hid::HidAccess::kReadWrite, true, error);
  if (!reader) return -1;
  std::atomic<bool> waiting{false};
  Clock::time_point returned;
  std::thread thread([&] {
    std::vector<uint8_t> buffer(65);
    size_t transferred = 0;
    uint32_t read_error = 0;
    waiting = true;
    reader->Read(buffer.data(), buffer.size(), kv::hid::kReadUntilDone, transferred, read_error);
    returned = Clock::now();
  });
  while (!waiting) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(kSettle);
  const auto requested = Clock::now();
  reader->CancelRead();
  thread.join();
  return Ms(returned - requested);
}

struct IdleCost {
  double cpu_ms = 0;
  int reads = 0;
};

IdleCost IdleReader(kv::hid::HidPlatform& platform, const std::string& node) {
  uint32_t error = 0;
  auto reader = platform.Open(node, kv::hid::HidAccess::kReadWrite, true, error);
  IdleCost cost;
  if (!reader) return cost;
  std::thread thread([&] {
    std::vector<uint8_t> buffer(65);
    size_t transferred = 0;
    uint32_t read_error = 0;
    const double before = ThreadCpuMs();
    kv::hid::HidReadStatus status = kv::hid::HidReadStatus::kPending;
    while (status != kv::hid::HidReadStatus::kCancelled) {
      status = reader->Read(buffer.data(), buffer.size(), kv::hid::kReadUntilDone, transferred,
                            read_error);
      ++cost.reads;
    }
    cost.cpu_ms = ThreadCpuMs() - before;
  });
  std::this_thread::sleep_for(kIdleSpan);
  reader->CancelRead();
  thread.join();
  return cost;
}

// Check-out starts the controller's read thread; CheckIn stops and joins it.
std::vector<double> CheckInLatencies() {
  std::vector<double> took;
  const auto loop = kv::toolkit::CreatePortableEventLoop();
  kv::hid::TJvHidDeviceController controller(kv::hid::CreateSystemHidPlatform(), *loop);
  bool scanned = false;
  controller.OnDeviceChange = [&](kv::hid::TJvHidDeviceController*) { scanned = true; };
  controller.OnDeviceData = [](kv::hid::TJvHidDevice*, uint8_t, const uint8_t*, uint16_t) {};
  if (!loop->RunUntil([&] { return scanned; }, kEventLimit)) return took;
  for (int trial = 0; trial < kCheckInTrials; ++trial) {
    kv::hid::TJvHidDevice* held = nullptr;
    controller.OnEnumerate = [&](kv::hid::TJvHidDevice*, int index) {
      controller.CheckOutByIndex(held, index);
      return false;
    };
    controller.Enumerate();
    if (held == nullptr) break;
    loop->RunUntil([] { return false; }, kSettle);
    const auto requested = Clock::now();
    controller.CheckIn(held);
    took.push_back(Ms(Clock::now() - requested));
  }
  return took;
}

}  // namespace

int main() {
  kv::test::EmulatedHidrawUnit unit({"usb-ms=0", "reply-ms=0"});
  if (!unit.Ready()) {
    std::fprintf(stderr, "hidraw_read_bench: %s\n", unit.Problem().c_str());
    return 2;
  }
  if (!unit.WaitForNode(true, std::chrono::duration_cast<std::chrono::milliseconds>(kEventLimit))) {
    std::fprintf(stderr, "hidraw_read_bench: the emulated node did not appear\n");
    return 2;
  }
  const std::string node = unit.CurrentNode();
  const auto platform = kv::hid::CreateSystemHidPlatform();

  std::vector<double> cancels;
  for (int trial = 0; trial < kCancelTrials; ++trial)
    cancels.push_back(CancelLatencyMs(*platform, node));
  const Spread cancel = SpreadOf(cancels);
  const Spread check_in = SpreadOf(CheckInLatencies());
  const IdleCost idle = IdleReader(*platform, node);

  const double goal = Ms(kGoalStop);
  std::printf("load %.2f on the machine while measuring\n", LoadAverage());
  std::printf("| Linux read loop | figure | goal |\n|---|---|---|\n");
  std::printf(
      "| stop: CancelRead to Read returning (%d runs) | median %.3f ms, p99 %.3f ms, max %.3f ms "
      "| <= %.0f ms |\n",
      kCancelTrials, cancel.median, cancel.p99, cancel.max, goal);
  std::printf(
      "| stop: CheckIn of a checked-out unit (%d runs) | median %.3f ms, p99 %.3f ms, max %.3f "
      "ms | <= %.0f ms |\n",
      kCheckInTrials, check_in.median, check_in.p99, check_in.max, goal);
  std::printf("| idle: reader thread over %.0f s | %.3f ms CPU, %d wake-up(s) | no CPU |\n",
              Ms(kIdleSpan) / 1e3, idle.cpu_ms, idle.reads);
  // The machine is shared: the odd run that the scheduler holds back shows in
  // the maximum; the goal is judged on the 99th percentile.
  const bool met = cancel.p99 >= 0 && cancel.p99 <= goal && check_in.p99 >= 0 &&
                   check_in.p99 <= goal && idle.reads == 1;
  return met ? 0 : 1;
}
