// The link's round trip against the cheapest possible one.
//
// Link: Submit -> worker WriteReport -> a 64-byte reply handed to the UI thread
// and given to Receive -> WM_LINK_RESPONSE handler -> next Submit.
// Floor: two bare threads handing a 64-byte buffer back and forth through a
// mutex and a condition variable.
//
// Both run 10,000 round trips in one process, once with every thread on one
// processor and once with the two partners on two processors (where the
// scheduler puts them varies from run to run and decides the result more than
// either side does); the table shows the median and the spread of each and the
// ratio of the medians.
#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "link/lusb.h"
#include "toolkit/event_loop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 10000;
// The machine is shared: both sides run in alternating slices, so that a busy
// moment weighs on both alike.
constexpr int kSlices = 20;
constexpr int kTripsPerSlice = kRoundTrips / kSlices;
constexpr int kWarmUpTrips = 200;
constexpr size_t kReplyBytes = 64;
// A boot-loader request: no frame shape, so a raw reply is awaited.
constexpr size_t kRequestBytes = 70;
constexpr double kGoalRatio = 2.0;

using Samples = std::vector<Clock::duration>;

double PercentileMicroseconds(Samples samples, double fraction) {
  const auto at = samples.begin() +
                  static_cast<std::ptrdiff_t>(fraction * static_cast<double>(samples.size() - 1));
  std::nth_element(samples.begin(), at, samples.end());
  return std::chrono::duration<double, std::micro>(*at).count();
}

// ---- floor ----

class TFloor {
 public:
  TFloor() : echo_([this] { Echo(); }) {}
  ~TFloor() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    turnChanged_.notify_one();
    echo_.join();
  }

  void Run(int trips, Samples* samples) {
    for (int trip = 0; trip < trips; ++trip) {
      const Clock::time_point start = Clock::now();
      {
        std::unique_lock lock(mutex_);
        buffer_[1] = static_cast<uint8_t>(trip);
        echoTurn_ = true;
        turnChanged_.notify_one();
        turnChanged_.wait(lock, [this] { return !echoTurn_; });
      }
      if (samples != nullptr) samples->push_back(Clock::now() - start);
    }
  }

 private:
  void Echo() {
    std::array<uint8_t, kReplyBytes> copy{};
    std::unique_lock lock(mutex_);
    for (;;) {
      turnChanged_.wait(lock, [this] { return echoTurn_ || stop_; });
      if (stop_) return;
      copy = buffer_;
      ++copy[0];
      buffer_ = copy;
      echoTurn_ = false;
      turnChanged_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable turnChanged_;
  std::array<uint8_t, kReplyBytes> buffer_{};
  bool echoTurn_ = false;
  bool stop_ = false;
  std::thread echo_;
};

// ---- link ----

// Plays the main window and, through WriteReport, a unit that answers at once.
class TEchoOwner : public kv::TLinkOwner {
 public:
  explicit TEchoOwner(kv::toolkit::EventLoop& loop) : loop_(loop), request_(kRequestBytes, 0x80) {}

  void Attach(kv::TUsbCmdLink* link) { link_ = link; }

  // UI thread: runs `trips` round trips, then returns.
  void Run(int trips, Samples* samples) {
    tripsLeft_ = trips;
    samples_ = samples;
    tripStart_ = Clock::now();
    link_->Submit(request_, true);
    loop_.Run();
  }

  // Worker thread: the reply reaches the UI thread the way an input report does.
  void WriteReport(const uint8_t* /*data*/, int /*count*/) override {
    loop_.Post([this] { link_->Receive(reply_.data(), static_cast<int>(reply_.size())); });
  }

  void LinkMessage(uint32_t message, uintptr_t /*wparam*/, intptr_t /*lparam*/) override {
    if (message != kv::WM_LINK_RESPONSE) return;
    const Clock::time_point now = Clock::now();
    if (samples_ != nullptr) samples_->push_back(now - tripStart_);
    if (--tripsLeft_ == 0) {
      loop_.Quit();
      return;
    }
    tripStart_ = now;
    link_->Submit(request_, true);  // queued: written when this handler returns
  }

  kv::toolkit::EventLoop& LinkLoop() override { return loop_; }

 private:
  kv::toolkit::EventLoop& loop_;
  kv::TUsbCmdLink* link_ = nullptr;
  const kv::ByteBuffer request_;
  const std::array<uint8_t, kReplyBytes> reply_{};
  Clock::time_point tripStart_;
  int tripsLeft_ = 0;
  Samples* samples_ = nullptr;
};

void PrintRow(const char* placement, const char* name, const Samples& samples) {
  std::printf("%-10s %-6s %10.2f %10.2f %10.2f\n", placement, name,
              PercentileMicroseconds(samples, 0.5), PercentileMicroseconds(samples, 0.1),
              PercentileMicroseconds(samples, 0.9));
}

// The hand-off cost depends on whether the two threads share a processor, so
// both sides are measured with the same placement. Threads inherit the mask of
// the thread that starts them.
// A cpu of kAnyCpu lets the thread run anywhere.
constexpr int kAnyCpu = -1;

bool PinThisThread(int cpu) {
#ifdef __linux__
  cpu_set_t set;
  CPU_ZERO(&set);
  const int cpuCount = static_cast<int>(std::thread::hardware_concurrency());
  for (int each = 0; each < cpuCount; ++each) {
    if (cpu == kAnyCpu || each == cpu) CPU_SET(each, &set);
  }
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
#else
  return cpu == kAnyCpu;
#endif
}

struct TPlacement {
  const char* Name;
  int UiCpu;
  int PartnerCpu;  // the worker's, and the echo thread's
};

// Returns the link/floor ratio of the medians, or 0 when the placement is not possible.
double Compare(const TPlacement& placement) {
  if (!PinThisThread(placement.PartnerCpu)) return 0;
  auto loop = kv::toolkit::CreatePortableEventLoop();
  TEchoOwner owner(*loop);
  kv::TUsbCmdLink link(owner);
  owner.Attach(&link);
  if (!link.Open()) {
    std::fprintf(stderr, "link_bench: the link did not open\n");
    return 0;
  }
  TFloor floor;
  PinThisThread(placement.UiCpu);

  floor.Run(kWarmUpTrips, nullptr);
  owner.Run(kWarmUpTrips, nullptr);
  Samples floorSamples;
  Samples linkSamples;
  floorSamples.reserve(kRoundTrips);
  linkSamples.reserve(kRoundTrips);
  for (int slice = 0; slice < kSlices; ++slice) {
    floor.Run(kTripsPerSlice, &floorSamples);
    owner.Run(kTripsPerSlice, &linkSamples);
  }
  link.Close();
  PrintRow(placement.Name, "floor", floorSamples);
  PrintRow(placement.Name, "link", linkSamples);
  return PercentileMicroseconds(linkSamples, 0.5) / PercentileMicroseconds(floorSamples, 0.5);
}

}  // namespace

int main() {
  const TPlacement placements[] = {{"one cpu", 0, 0}, {"two cpus", 0, 1}};
  std::printf("%d round trips each, microseconds per round trip\n", kRoundTrips);
  std::printf("%-10s %-6s %10s %10s %10s\n", "placement", "", "median", "p10", "p90");
  std::vector<std::pair<const char*, double>> ratios;
  for (const TPlacement& placement : placements) {
    const double ratio = Compare(placement);
    if (ratio > 0) ratios.emplace_back(placement.Name, ratio);
  }
  if (ratios.empty()) {
    const double ratio = Compare({"unpinned", kAnyCpu, kAnyCpu});
    if (ratio > 0) ratios.emplace_back("unpinned", ratio);
  }
  for (const auto& [name, ratio] : ratios) {
    std::printf("%-10s link/floor (medians) %.2f, goal <= %.1f: %s\n", name, ratio, kGoalRatio,
                ratio <= kGoalRatio ? "met" : "missed");
  }
  return 0;
}
