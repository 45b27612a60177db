// A KV-93T on an emulated USB port, for tests of the production Linux binding:
// a umockdev testbed holds the sysfs tree of a USB device (idVendor 0168,
// idProduct 0821 or 0904), its interface, its hid device with a
// report_descriptor for 64-byte input and output reports without report IDs,
// and its hidraw node. The node is a pseudo-terminal whose other end this
// bridge holds; the bridge carries each report between it and the simulated
// unit (sim/), which stays on a simulated bus of its own and answers as it
// always does. When the unit leaves its bus (a personality switch, a pulled
// cable), the bridge closes the node's other end, so the tool's open node
// hangs up as a real one does, and removes the tree with a "remove" uevent;
// when the unit comes back, the other personality's tree is added with an
// "add" uevent, after the unit's own re-enumeration delay.
//
// Only for processes run under umockdev-wrapper: the preload library sends
// the tool's sysfs, /dev and netlink traffic into the testbed.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/simulated_setup.h"
#include "sim/simulated_unit.h"

namespace kv::test {

// What a hidraw node of the unit hands the kernel's HID core, per report: 64
// data bytes, no report ID.
inline constexpr size_t kHidrawReportBytes = 64;

class EmulatedHidrawUnit {
 public:
  // `settings` are the simulated unit's KEY=VALUE options. Check Ready().
  explicit EmulatedHidrawUnit(const std::vector<std::string>& settings);
  ~EmulatedHidrawUnit();
  EmulatedHidrawUnit(const EmulatedHidrawUnit&) = delete;
  EmulatedHidrawUnit& operator=(const EmulatedHidrawUnit&) = delete;

  // False, with Problem() saying why, when the settings are wrong or the
  // process does not run under umockdev-wrapper.
  bool Ready() const { return problem_.empty(); }
  const std::string& Problem() const { return problem_; }

  sim::SimulatedUnit& Unit();
  const sim::SimOptions& Options() const;

  // The hidraw node of the present personality ("/dev/hidrawN"), or "" while
  // the unit is off the port. Waits at most `limit` for it to be `present`.
  std::string CurrentNode() const;
  bool WaitForNode(bool present, std::chrono::milliseconds limit) const;
  // The testbed's sysfs path of the current hidraw device, or "".
  std::string CurrentSysfsPath() const;

  // Uevents sent so far for hidraw nodes.
  int AddEvents() const;
  int RemoveEvents() const;

  // Reports the bridge has carried, each way.
  uint64_t ReportsToUnit() const;
  uint64_t ReportsToTool() const;
  // Bytes carried to the tool's node that no one has read yet; -1 while the
  // unit is off the port.
  int BytesWaitingForTool() const;

  // The root of the testbed (its sys/ and dev/ live below).
  std::string RootDir() const;

 private:
  struct Bridge;
  std::string problem_;
  std::unique_ptr<Bridge> bridge_;
};

}  // namespace kv::test
