// Complete updates back to back in one process: one main window for all of them,
// a fresh simulated unit plugged in for each (a user updating unit after unit).
// Every update must leave its unit byte-exact, and the process must not grow:
// after the last update it holds no more threads or open file descriptors than
// after the first, and (without a sanitizer's allocator in the way) no more heap
// in use and resident memory beyond allocator noise.
//
// KV_SOAK_CHAINS sets the number of updates (the benchmark command runs 50).
#include <gtest/gtest.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/isp.h"
#include "app/isp_application.h"
#include "diag/diag_windows.h"
#include "engine/engine_texts.h"
#include "hid/sim_bus.h"
#include "sim/sim_options.h"
#include "sim/simulated_unit.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KV_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KV_SOAK_SANITIZED 1
#endif
#endif
#ifndef KV_SOAK_SANITIZED
#define KV_SOAK_SANITIZED 0
#endif

namespace kv {
namespace {

using namespace std::chrono_literals;

// About 1.5 s per update without a sanitizer, several times that with one.
constexpr int kDefaultChains = KV_SOAK_SANITIZED ? 10 : 40;
// No single update takes this long, even under a sanitizer on a busy machine.
constexpr auto kUpdateLimit = 120s;
constexpr auto kPlugLimit = 20s;
// Resident memory may differ by this much between two moments at rest without
// anything having leaked: allocator caches and fragmentation.
constexpr int64_t kResidentNoiseBytes = 4 << 20;
// The C library's count of heap bytes in use is exact; what it may differ by
// without a leak: a few buffers sized by the last update.
constexpr int64_t kHeapNoiseBytes = 256 << 10;
// Timers at their shortest (1 ms); the unit answers at once.
constexpr int kTimingDivisor = 1000;

// KV_SOAK_TRACE=1 prints the figures after every update.
bool Tracing() {
  return std::getenv("KV_SOAK_TRACE") != nullptr;
}

int ChainCount() {
  if (const char* text = std::getenv("KV_SOAK_CHAINS")) {
    const int chains = std::atoi(text);
    if (chains > 0) return chains;
  }
  return kDefaultChains;
}

struct ProcessFigures {
  int64_t residentBytes = 0;
  int64_t heapInUseBytes = -1;  // -1: the C library does not tell
  int64_t threads = 0;
  int64_t openFiles = 0;
};

int64_t EntriesIn(const char* directory) {
  int64_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
  return count;
}

ProcessFigures MeasureProcess() {
  ProcessFigures figures;
  std::ifstream statm("/proc/self/statm");
  int64_t sizePages = 0;
  int64_t residentPages = 0;
  statm >> sizePages >> residentPages;
  figures.residentBytes = residentPages * sysconf(_SC_PAGESIZE);
  figures.threads = EntriesIn("/proc/self/task");
  figures.openFiles = EntriesIn("/proc/self/fd");
#if defined(__GLIBC__)
  // A sanitizer's allocator replaces the C library's, which then counts nothing.
  if (!KV_SOAK_SANITIZED) {
    const struct mallinfo2 heap = mallinfo2();
    figures.heapInUseBytes = static_cast<int64_t>(heap.uordblks + heap.hblkhd);
  }
#endif
  return figures;
}

std::string Describe(const ProcessFigures& figures) {
  char heap[32] = "n/a";
  if (figures.heapInUseBytes >= 0) {
    std::snprintf(heap, sizeof heap, "%.2f MiB",
                  static_cast<double>(figures.heapInUseBytes) / (1 << 20));
  }
  char text[160];
  std::snprintf(text, sizeof text, "RSS %.1f MiB, heap in use %s, %lld threads, %lld open fds",
                static_cast<double>(figures.residentBytes) / (1 << 20), heap,
                static_cast<long long>(figures.threads), static_cast<long long>(figures.openFiles));
  return text;
}

sim::SimOptions QuickUnit() {
  sim::SimOptions options;
  options.usb_ms = 0;
  options.reply_ms = 0;
  options.erase_ms = 1;
  options.reenum_ms = 5;
  options.attach_ms = 5;
  options.pace = kTimingDivisor;
  return options;
}

// The main window on its loop, with the simulated bus it watches.
class SoakBench {
 public:
  SoakBench() {
    TIspApplicationOptions options;
    options.Simulate = true;
    options.Sim.units = 0;  // each update plugs in a unit of its own
    options.SimReportTime = 0us;
    options.Timing = TIspTiming{}.Scaled(kTimingDivisor);
    options.CreateMessageBoxes = [this](toolkit::EventLoop& loop) {
      auto boxes = std::make_unique<toolkit::ScriptedMessageBoxes>(loop);
      boxes_ = boxes.get();
      return boxes;
    };
    options.ExceptionBox = [this](const std::string& text) { exceptions_.push_back(text); };
    application_ = std::make_unique<TIspApplication>(std::move(options));
    loop_ = &application_->Loop();
    isp_ = application_->MainWindow();
    bus_ = application_->Platform().Bus();
  }

  ~SoakBench() {
    // The window first, then the unit it held, then the bus with the rest.
    application_->DestroyMainWindow();
    unit_.reset();
    application_.reset();
  }

  // Plugs a new unit in, clicks "Start Program " and waits for the end of the
  // update; then pulls the unit out again. Returns what the unit says it got.
  sim::UnitVerdict UpdateOneUnit() {
    unit_ = std::make_unique<sim::SimulatedUnit>(*bus_, QuickUnit());
    unit_->PowerUp();
    const bool ready = loop_->RunUntil(
        [this] { return isp_->HeldDevice != nullptr && isp_->btnStartProgram.Enabled(); },
        kPlugLimit);
    EXPECT_TRUE(ready) << "the window did not take the new unit";
    const size_t boxesBefore = boxes_->Boxes().size();
    loop_->Post([this] { isp_->btnStartProgram.Click(); });
    const bool finished = loop_->RunUntil(
        [&] {
          return boxes_->Boxes().size() > boxesBefore &&
                 unit_->Verdict().run_commands[cmdCode04] > 0;
        },
        kUpdateLimit);
    EXPECT_TRUE(finished) << "the update did not finish";
    if (boxes_->Boxes().size() > boxesBefore) {
      EXPECT_EQ(boxes_->Boxes().back().text, texts::kProgramOk);
    }
    sim::UnitVerdict verdict = unit_->Verdict();
    unit_.reset();
    EXPECT_TRUE(loop_->RunUntil([this] { return isp_->HeldDevice == nullptr; }, kPlugLimit));
    return verdict;
  }

  const std::vector<std::string>& Exceptions() const { return exceptions_; }

 private:
  std::vector<std::string> exceptions_;
  toolkit::ScriptedMessageBoxes* boxes_ = nullptr;  // the root's
  std::unique_ptr<TIspApplication> application_;
  toolkit::EventLoop* loop_ = nullptr;
  TfmIsp* isp_ = nullptr;
  hid::SimulatedHidBus* bus_ = nullptr;
  std::unique_ptr<sim::SimulatedUnit> unit_;
};

TEST(Soak, UpdatesUnitAfterUnitWithoutGrowing) {
  const int chains = ChainCount();
  SoakBench bench;
  ProcessFigures first;
  ProcessFigures last;
  const auto started = std::chrono::steady_clock::now();
  for (int chain = 1; chain <= chains; ++chain) {
    const sim::UnitVerdict verdict = bench.UpdateOneUnit();
    ASSERT_TRUE(verdict.UpdateComplete()) << "update " << chain << ":\n" << verdict.Text();
    ASSERT_EQ(verdict.violation_count, 0u) << "update " << chain;
    last = MeasureProcess();
    if (chain == 1) first = last;
    if (Tracing()) std::printf("after update %d: %s\n", chain, Describe(last).c_str());
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("soak: %d updates in %.1f s\n  after the first: %s\n  after the last:  %s\n", chains,
              seconds, Describe(first).c_str(), Describe(last).c_str());

  EXPECT_TRUE(bench.Exceptions().empty());
  EXPECT_LE(last.threads, first.threads);
  EXPECT_LE(last.openFiles, first.openFiles);
  // A sanitizer's allocator keeps freed memory in quarantine on purpose; there
  // LeakSanitizer and the thread and descriptor counts speak instead.
  if (!KV_SOAK_SANITIZED) {
    EXPECT_LE(last.residentBytes, first.residentBytes + kResidentNoiseBytes);
    if (first.heapInUseBytes >= 0) {
      EXPECT_LE(last.heapInUseBytes, first.heapInUseBytes + kHeapNoiseBytes);
    }
  }
}

}  // namespace
}  // namespace kv
