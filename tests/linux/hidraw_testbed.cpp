#include "hidraw_testbed.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "hid/hid_platform.h"
#include "hid/sim_bus.h"
#include "sim/sim_options.h"

namespace kv::test {
namespace {

// 64-byte input and output reports without report IDs, vendor page 0xFF00:
//   Usage Page (0xFF00), Usage 1, Collection (application),
//   Logical Minimum 0, Logical Maximum 255, Report Size 8,
//   Report Count 64, Usage 1, Input (data, variable, absolute),
//   Report Count 64, Usage 1, Output (data, variable, absolute), End Collection.
constexpr const char* kReportDescriptorHex =
    "0600FF0901A101150026FF007508954009018102954009019102C0";

// Every attachment appears on the same USB port, as a unit that re-enumerates does.
constexpr const char* kUsbDevicePath = "/devices/pci0000:00/0000:00:14.0/usb1/1-4";
constexpr const char* kUsbInterfacePath = "/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0";

// One report each way as the pumps see it: the unit's report ID and 64 bytes.
constexpr size_t kUnitReportBytes = 1 + kHidrawReportBytes;
// How long a pump's read on the unit's bus waits before it looks at its stop flag
// again; the stop also cancels the read, so this only bounds a missed wake-up.
constexpr std::chrono::milliseconds kUnitReadSlice{100};
// Pause after a failed read of the unit's bus, so that a repeated failure cannot spin.
constexpr int kFailedReadPauseMs = 10;

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

std::string Upper4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

// The sysfs paths of one attachment, children last.
struct NodeTree {
  std::string hid;     // .../1-4:1.0/0003:0168:PPPP.NNNN
  std::string hidraw;  // .../hidraw/hidrawK
  std::string name;    // hidrawK
};

NodeTree TreeFor(uint16_t product, int attachment) {
  NodeTree tree;
  char sequence[8];
  std::snprintf(sequence, sizeof sequence, "%04X", static_cast<unsigned>(attachment));
  tree.hid = std::string(kUsbInterfacePath) + "/0003:0168:" + Upper4(product) + "." + sequence;
  // umockdev cannot hand out a node name twice, so each attachment gets the next one.
  tree.name = "hidraw" + std::to_string(attachment - 1);
  tree.hidraw = tree.hid + "/hidraw/" + tree.name;
  return tree;
}

std::string TreeDescription(const NodeTree& tree, const hid::HidAttributes& attributes,
                            int attachment) {
  std::string text;
  text += std::string("P: ") + kUsbDevicePath + "\n";
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
  text += "A: idVendor=" + Hex4(attributes.VendorID) + "\n";
  text += "A: idProduct=" + Hex4(attributes.ProductID) + "\n";
  text += "A: bcdDevice=" + Hex4(attributes.VersionNumber) + "\n";
  text += "A: busnum=1\nA: devnum=" + std::to_string(attachment + 1) + "\n\n";
  text += std::string("P: ") + kUsbInterfacePath + "\n";
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
  text += "A: bInterfaceClass=03\nA: bInterfaceNumber=00\n\n";
  text += "P: " + tree.hid + "\n";
  text += "E: SUBSYSTEM=hid\n";
  text += "E: HID_ID=0003:0000" + Upper4(attributes.VendorID) + ":0000" +
          Upper4(attributes.ProductID) + "\n";
  text += "E: HID_NAME=KV-93T\n";
  text += std::string("H: report_descriptor=") + kReportDescriptorHex + "\n\n";
  text += "P: " + tree.hidraw + "\n";
  text += "N: " + tree.name + "\n";
  text += "E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/" + tree.name + "\n";
  return text;
}

void WakeFd(int fd) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
}

}  // namespace

// The mirrored node of one attachment and the two pumps that carry its reports.
struct MirroredNode {
  std::string instance_id;  // the unit's device on its own bus
  NodeTree tree;
  std::unique_ptr<hid::HidHandle> writer;  // to the unit
  std::unique_ptr<hid::HidHandle> reader;  // from the unit
  int master = -1;                         // the testbed's end of the node
  int own_slave = -1;  // held so the master never hangs up while the tool has its node closed
  int stop = -1;       // eventfd
  std::thread to_unit;
  std::thread to_tool;
};

struct EmulatedHidrawUnit::Bridge {
  UMockdevTestbed* testbed = nullptr;
  sim::SimOptions options;
  std::shared_ptr<hid::SimulatedHidBus> bus = std::make_shared<hid::SimulatedHidBus>();
  std::unique_ptr<sim::SimulatedSetup> setup;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool sync_requested = false;
  bool stopping = false;
  std::string current_node;    // guarded by mutex
  std::string current_sysfs;   // guarded by mutex
  int current_own_slave = -1;  // guarded by mutex: the bridge's own end of the tool's side
  int add_events = 0;          // guarded by mutex
  int remove_events = 0;       // guarded by mutex
  std::atomic<uint64_t> to_unit_count{0};
  std::atomic<uint64_t> to_tool_count{0};

  // Worker thread only.
  int attachments = 0;
  std::optional<MirroredNode> node;
  std::thread worker;

  void RequestSync() {
    {
      std::lock_guard lock(mutex);
      sync_requested = true;
    }
    changed.notify_all();
  }

  void Run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return stopping || sync_requested; });
      if (stopping) break;
      sync_requested = false;
      lock.unlock();
      Sync();
      lock.lock();
    }
    lock.unlock();
    if (node) RemoveNode();
  }

  // Brings the testbed in line with the unit's bus: at most one device there.
  void Sync() {
    const std::vector<hid::HidInterfaceInfo> present = bus->EnumerateInterfaces();
    const hid::HidInterfaceInfo* found = present.empty() ? nullptr : &present.front();
    if (node && (found == nullptr || found->instance_id != node->instance_id)) RemoveNode();
    if (found != nullptr && !node) AddNode(*found);
  }

  void AddNode(const hid::HidInterfaceInfo& info) {
    uint32_t error = 0;
    MirroredNode mirrored;
    mirrored.instance_id = info.instance_id;
    mirrored.writer = bus->Open(info.path, hid::HidAccess::kReadWrite, false, error);
    mirrored.reader = bus->Open(info.path, hid::HidAccess::kReadWrite, true, error);
    hid::HidAttributes attributes;
    // Gone again already: the notification of that is on its way.
    if (!mirrored.writer || !mirrored.reader || !mirrored.writer->GetAttributes(attributes)) return;

    const int attachment = ++attachments;
    mirrored.tree = TreeFor(attributes.ProductID, attachment);
    GError* failure = nullptr;
    const std::string description = TreeDescription(mirrored.tree, attributes, attachment);
    if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &failure)) {
      std::fprintf(stderr, "hidraw testbed: %s\n", failure != nullptr ? failure->message : "?");
      if (failure != nullptr) g_error_free(failure);
      return;
    }
    const std::string devnode = "/dev/" + mirrored.tree.name;
    mirrored.master = umockdev_testbed_get_dev_fd(testbed, devnode.c_str());
    fcntl(mirrored.master, F_SETFL, fcntl(mirrored.master, F_GETFL) | O_NONBLOCK);
    char slave_name[128] = {};
    if (ptsname_r(mirrored.master, slave_name, sizeof slave_name) == 0)
      mirrored.own_slave = open(slave_name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    mirrored.stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    node.emplace(std::move(mirrored));
    MirroredNode& live = *node;
    live.to_unit = std::thread([this, &live] { PumpToUnit(live); });
    live.to_tool = std::thread([this, &live] { PumpToTool(live); });

    const std::string syspath = "/sys" + live.tree.hidraw;
    umockdev_testbed_uevent(testbed, syspath.c_str(), "add");
    {
      std::lock_guard lock(mutex);
      current_node = devnode;
      current_sysfs = syspath;
      current_own_slave = live.own_slave;
      ++add_events;
    }
    changed.notify_all();
  }

  void RemoveNode() {
    MirroredNode& gone = *node;
    WakeFd(gone.stop);
    gone.reader->CancelRead();
    gone.to_unit.join();
    gone.to_tool.join();
    {
      std::lock_guard lock(mutex);
      current_own_slave = -1;
    }
    if (gone.own_slave >= 0) close(gone.own_slave);
    // The pseudo-terminal's master is closed the way a pulled cable ends a
    // hidraw node: the tool's open node polls POLLHUP and reads 0. The fd
    // number stays taken (by /dev/null) because the testbed closes it itself
    // when it is destroyed.
    const int placeholder = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (placeholder >= 0) {
      dup2(placeholder, gone.master);
      close(placeholder);
    }
    close(gone.stop);

    // Out of the class listing first, so that a scan woken by the uevent
    // cannot find the device any more; the tree itself must still be there
    // for the uevent to be sent.
    gchar* sys_dir = umockdev_testbed_get_sys_dir(testbed);
    const std::string class_link = std::string(sys_dir) + "/class/hidraw/" + gone.tree.name;
    g_free(sys_dir);
    unlink(class_link.c_str());
    const std::string syspath = "/sys" + gone.tree.hidraw;
    umockdev_testbed_uevent(testbed, syspath.c_str(), "remove");
    for (const std::string& path : {gone.tree.hidraw, gone.tree.hid, std::string(kUsbInterfacePath),
                                    std::string(kUsbDevicePath)}) {
      umockdev_testbed_remove_device(testbed, ("/sys" + path).c_str());
    }
    node.reset();
    {
      std::lock_guard lock(mutex);
      current_node.clear();
      current_sysfs.clear();
      ++remove_events;
    }
    changed.notify_all();
  }

  // The tool's output reports: report ID 0 and 64 bytes each, as hidraw takes
  // them; the unit's bus takes them the same way.
  void PumpToUnit(MirroredNode& live) {
    std::array<uint8_t, kUnitReportBytes> report{};
    size_t have = 0;
    std::array<pollfd, 2> watched{{{live.master, POLLIN, 0}, {live.stop, POLLIN, 0}}};
    for (;;) {
      if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) return;
      if (watched[1].revents != 0) return;
      if ((watched[0].revents & POLLIN) == 0) continue;
      const ssize_t count = read(live.master, report.data() + have, report.size() - have);
      if (count <= 0) continue;
      have += static_cast<size_t>(count);
      if (have < report.size()) continue;
      size_t written = 0;
      live.writer->Write(report.data(), report.size(), written);
      ++to_unit_count;
      have = 0;
    }
  }

  // The unit's input reports: without the report ID, 64 bytes each, as a
  // hidraw node of a device without numbered reports hands them out.
  void PumpToTool(MirroredNode& live) {
    std::array<uint8_t, kUnitReportBytes> report{};
    for (;;) {
      size_t transferred = 0;
      uint32_t error = 0;
      const hid::HidReadStatus status =
          live.reader->Read(report.data(), report.size(), kUnitReadSlice, transferred, error);
      if (status == hid::HidReadStatus::kCancelled || status == hid::HidReadStatus::kGone) return;
      if (status == hid::HidReadStatus::kFailed) {
        pollfd stop{live.stop, POLLIN, 0};
        if (poll(&stop, 1, kFailedReadPauseMs) > 0) return;
        continue;
      }
      if (status != hid::HidReadStatus::kCompleted || transferred == 0) continue;
      std::array<uint8_t, kHidrawReportBytes> data{};
      std::copy_n(report.begin() + 1, std::min(transferred - 1, data.size()), data.begin());
      // A full input queue drops the report, as hidraw's ring buffer does.
      if (write(live.master, data.data(), data.size()) == static_cast<ssize_t>(data.size()))
        ++to_tool_count;
    }
  }
};

EmulatedHidrawUnit::EmulatedHidrawUnit(const std::vector<std::string>& settings)
    : bridge_(std::make_unique<Bridge>()) {
  // umockdev_in_mock_environment() only answers once a testbed exists.
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
    problem_ = "not running under umockdev-wrapper";
    return;
  }
  if (!sim::ApplySimOptions(settings, bridge_->options, problem_)) return;
  bridge_->testbed = umockdev_testbed_new();
  Bridge* bridge = bridge_.get();
  bridge_->worker = std::thread([bridge] { bridge->Run(); });
  bridge_->bus->SetDeviceChangeHandler([bridge](uint32_t, intptr_t) { bridge->RequestSync(); });
  bridge_->setup = std::make_unique<sim::SimulatedSetup>(*bridge_->bus, bridge_->options);
  bridge_->RequestSync();
}

EmulatedHidrawUnit::~EmulatedHidrawUnit() {
  if (bridge_->testbed == nullptr) return;
  bridge_->bus->SetDeviceChangeHandler({});
  {
    std::lock_guard lock(bridge_->mutex);
    bridge_->stopping = true;
  }
  bridge_->changed.notify_all();
  bridge_->worker.join();
  bridge_->setup.reset();
  g_object_unref(bridge_->testbed);
}

sim::SimulatedUnit& EmulatedHidrawUnit::Unit() {
  return bridge_->setup->Unit(0);
}

const sim::SimOptions& EmulatedHidrawUnit::Options() const {
  return bridge_->options;
}

std::string EmulatedHidrawUnit::CurrentNode() const {
  std::lock_guard lock(bridge_->mutex);
  return bridge_->current_node;
}

std::string EmulatedHidrawUnit::CurrentSysfsPath() const {
  std::lock_guard lock(bridge_->mutex);
  return bridge_->current_sysfs;
}

bool EmulatedHidrawUnit::WaitForNode(bool present, std::chrono::milliseconds limit) const {
  std::unique_lock lock(bridge_->mutex);
  return bridge_->changed.wait_for(
      lock, limit, [this, present] { return bridge_->current_node.empty() != present; });
}

int EmulatedHidrawUnit::AddEvents() const {
  std::lock_guard lock(bridge_->mutex);
  return bridge_->add_events;
}

int EmulatedHidrawUnit::RemoveEvents() const {
  std::lock_guard lock(bridge_->mutex);
  return bridge_->remove_events;
}

uint64_t EmulatedHidrawUnit::ReportsToUnit() const {
  return bridge_->to_unit_count.load();
}

uint64_t EmulatedHidrawUnit::ReportsToTool() const {
  return bridge_->to_tool_count.load();
}

int EmulatedHidrawUnit::BytesWaitingForTool() const {
  std::lock_guard lock(bridge_->mutex);
  int waiting = -1;
  if (bridge_->current_own_slave < 0 || ioctl(bridge_->current_own_slave, FIONREAD, &waiting) != 0)
    return -1;
  return waiting;
}

std::string EmulatedHidrawUnit::RootDir() const {
  if (bridge_->testbed == nullptr) return {};
  gchar* root = umockdev_testbed_get_root_dir(bridge_->testbed);
  std::string text = root != nullptr ? root : "";
  g_free(root);
  return text;
}

}  // namespace kv::test
