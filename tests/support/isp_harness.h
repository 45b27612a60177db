// The main window on a real event loop, with simulated units on a simulated HID
// bus, scripted message boxes and a record of every traffic line and every
// exception the loop's guard caught. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/isp.h"
#include "app/isp_application.h"
#include "diag/diag_windows.h"
#include "hex_records.h"
#include "hid/sim_bus.h"
#include "sim/sim_options.h"
#include "sim/simulated_setup.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"

namespace kv::test {

using namespace std::chrono_literals;

// Generous: no single expected event takes this long, even under a sanitizer.
inline constexpr auto kEventLimit = 20s;

inline constexpr int kFastTimingDivisor = 10;

// A unit that answers at once, and the tool's timers a tenth of their length:
// for everything that does not measure pacing.
inline sim::SimOptions FastUnit(sim::SimStart start = sim::SimStart::kRun) {
  sim::SimOptions options;
  options.start = start;
  options.usb_ms = 0;
  options.reply_ms = 0;
  options.erase_ms = 5;
  options.reenum_ms = 20;
  options.attach_ms = 20;
  options.pace = kFastTimingDivisor;  // the unit expects the shortened arming
  return options;
}

inline TIspTiming FastTiming() {
  return TIspTiming{}.Scaled(kFastTimingDivisor);
}

inline sim::SimFault Fault(sim::FaultKind kind, sim::FaultSite site, uint32_t index = 0,
                           int64_t amount = 0, uint32_t occurrence = 1) {
  sim::SimFault fault;
  fault.kind = kind;
  fault.site = site;
  fault.index = index;
  fault.amount = amount;
  fault.occurrence = occurrence;
  return fault;
}

// The options with these faults added, each written as for `--sim fault=`.
sim::SimOptions WithFaults(sim::SimOptions options, const std::vector<std::string>& faults);

// 48 bytes for "Start Program" and three full data packets.
inline constexpr size_t kSmallImageBytes = 48 + 3 * 56;

// `bytes` image bytes in 16-byte records from address 0, then the end record.
std::vector<std::string> SmallImageRecords(size_t bytes);

// A boot-loader request as the unit received it (report ID dropped).
struct BootRequest {
  uint8_t code;
  uint32_t packetNumber;
};

class IspHarness {
 public:
  explicit IspHarness(sim::SimOptions options, TIspTiming timing = FastTiming(),
                      toolkit::Clock::duration boxCloseAfter = 10ms);
  ~IspHarness();
  IspHarness(const IspHarness&) = delete;
  IspHarness& operator=(const IspHarness&) = delete;

  toolkit::EventLoop& Loop() { return application_->Loop(); }
  TfmIsp& Isp() { return *application_->MainWindow(); }
  sim::SimulatedUnit& Unit(size_t index = 0) { return Setup().Unit(index); }
  // The bus the units sit on, for reports a test sends in a unit's name.
  hid::SimulatedHidBus& Bus() { return *application_->Platform().Bus(); }
  toolkit::ScriptedMessageBoxes& Boxes() { return *boxes_; }
  diag::TfmHidData& HidData() { return application_->HidData(); }
  diag::TfmProgData& ProgData() { return application_->ProgData(); }

  bool RunUntil(const std::function<bool()>& done, toolkit::Clock::duration limit = kEventLimit);
  // Lets the loop run for a while, for checks that something does not happen.
  void RunFor(toolkit::Clock::duration span);
  // Until panel 1 shows the unit and "Start Program " is enabled.
  bool WaitUntilReady();
  // A click by the user: through the loop, inside its exception guard, and only
  // if the button is still enabled when its turn comes.
  void ClickStartProgram();
  bool WaitForBox(std::string_view text, toolkit::Clock::duration limit = kEventLimit);
  bool WaitForRunCommand(uint8_t code, uint32_t count = 1, size_t unit = 0);

  std::vector<std::string> BoxTexts() const;
  uint32_t RunCommandCount(uint8_t code, size_t unit = 0);
  uint32_t BootRequestCount(size_t unit = 0);
  std::vector<BootRequest> BootRequests(size_t unit = 0);
  // Run-mode command codes in the order the unit received them.
  std::vector<uint8_t> RunCommandCodes(size_t unit = 0);

  std::vector<std::string> exceptions;  // texts the loop's exception box showed
  std::vector<std::string> traffic;     // every traffic line, visible or not
  size_t droppedReports = 0;            // reports read and dropped (no line)

 private:
  sim::SimulatedSetup& Setup() { return *application_->Platform().Setup(); }

  toolkit::ScriptedMessageBoxes* boxes_ = nullptr;  // the root's
  std::unique_ptr<TIspApplication> application_;
};

}  // namespace kv::test
