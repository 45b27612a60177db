// The HID device controller on the simulated bus, driven by a real portable
// event loop. Every wait is bounded, and a watchdog ends a test that hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/interface_gone.h"
#include "hid/jv_hid.h"
#include "hid/sim_bus.h"
#include "toolkit/event_loop.h"
#include "toolkit/loop_core.h"
#include "watchdog.h"

namespace kv::hid {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kVendor = 0x0168;
constexpr uint16_t kRunPid = 0x0821;
constexpr uint16_t kUpdatePid = 0x0904;
constexpr uint16_t kOtherPid = 0x1234;
constexpr uint16_t kUnitReportBytes = 65;  // report ID + 64 data bytes
constexpr auto kWaitLimit = 5s;
constexpr auto kTestLimit = 60s;

SimDeviceProfile BusDevice(const std::string& name, uint16_t pid,
                           uint16_t input_length = kUnitReportBytes,
                           uint16_t output_length = kUnitReportBytes) {
  SimDeviceProfile description;
  description.attributes = {kVendor, pid, 0x0100};
  description.caps.InputReportByteLength = input_length;
  description.caps.OutputReportByteLength = output_length;
  description.name = name;
  return description;
}

std::vector<uint8_t> UnitReport(uint8_t first_data_byte) {
  std::vector<uint8_t> report(kUnitReportBytes);
  for (size_t i = 1; i < report.size(); ++i) report[i] = static_cast<uint8_t>(first_data_byte + i);
  return report;
}

class RecordingEndpoint : public SimDeviceEndpoint {
 public:
  void OnOutputReport(const uint8_t* data, size_t count) override {
    std::vector<uint8_t> report(data, data + count);
    std::function<void(const std::vector<uint8_t>&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.push_back(report);
      hook = on_report;
    }
    if (hook) hook(report);
  }
  std::vector<std::vector<uint8_t>> Reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  std::function<void(const std::vector<uint8_t>&)> on_report;  // set before attaching

 private:
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> reports_;
};

using test::Watchdog;

// Lets the platform's read run its whole slice: a stop is then noticed only by
// the read thread's own check between slices.
class CancelIgnoringHandle : public HidHandle {
 public:
  explicit CancelIgnoringHandle(std::unique_ptr<HidHandle> inner) : inner_(std::move(inner)) {}
  bool GetAttributes(HidAttributes& a) override { return inner_->GetAttributes(a); }
  bool GetCaps(HidCaps& c) override { return inner_->GetCaps(c); }
  bool Write(const uint8_t* d, size_t n, size_t& w) override { return inner_->Write(d, n, w); }
  HidReadStatus Read(uint8_t* b, size_t n, std::chrono::milliseconds slice, size_t& t,
                     uint32_t& e) override {
    return inner_->Read(b, n, slice, t, e);
  }
  void CancelRead() override {}

 private:
  std::unique_ptr<HidHandle> inner_;
};

class CancelIgnoringPlatform : public HidPlatform {
 public:
  explicit CancelIgnoringPlatform(std::shared_ptr<SimulatedHidBus> bus) : bus_(std::move(bus)) {}
  bool Available() const override { return true; }
  std::vector<HidInterfaceInfo> EnumerateInterfaces() override {
    return bus_->EnumerateInterfaces();
  }
  std::unique_ptr<HidHandle> Open(const std::string& path, HidAccess access, bool for_reading,
                                  uint32_t& error) override {
    auto inner = bus_->Open(path, access, for_reading, error);
    if (!inner) return nullptr;
    return std::make_unique<CancelIgnoringHandle>(std::move(inner));
  }
  void SetDeviceChangeHandler(DeviceChangeHandler h) override {
    bus_->SetDeviceChangeHandler(std::move(h));
  }
  std::string ErrorText(uint32_t error) const override { return bus_->ErrorText(error); }
  bool IsGoneError(uint32_t error) const override { return bus_->IsGoneError(error); }

 private:
  std::shared_ptr<SimulatedHidBus> bus_;
};

// Names interfaces as hidraw does: by a node the next device to arrive may get
// again (here, the device's name), while the instance id stays the device's own.
class PathReusingBus : public SimulatedHidBus {
 public:
  using SimulatedHidBus::SimulatedHidBus;
  std::vector<HidInterfaceInfo> EnumerateInterfaces() override {
    std::vector<HidInterfaceInfo> listed = SimulatedHidBus::EnumerateInterfaces();
    for (HidInterfaceInfo& info : listed) info.path = Node(info.path);
    return listed;
  }
  std::unique_ptr<HidHandle> Open(const std::string& path, HidAccess access, bool for_reading,
                                  uint32_t& error) override {
    for (const HidInterfaceInfo& info : SimulatedHidBus::EnumerateInterfaces()) {
      if (Node(info.path) == path)
        return SimulatedHidBus::Open(info.path, access, for_reading, error);
    }
    error = 2;  // ERROR_FILE_NOT_FOUND and ENOENT alike
    return nullptr;
  }

 private:
  static std::string Node(const std::string& bus_path) {
    return "node:" + bus_path.substr(bus_path.rfind(':') + 1);
  }
};

class UnavailablePlatform : public HidPlatform {
 public:
  bool Available() const override { return false; }
  std::vector<HidInterfaceInfo> EnumerateInterfaces() override { return {}; }
  std::unique_ptr<HidHandle> Open(const std::string&, HidAccess, bool, uint32_t& error) override {
    error = 2;
    return nullptr;
  }
  void SetDeviceChangeHandler(DeviceChangeHandler) override { ++handler_sets; }
  std::string ErrorText(uint32_t) const override { return {}; }
  bool IsGoneError(uint32_t) const override { return false; }
  int handler_sets = 0;
};

std::string Tag(const TJvHidDevice* device) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", device->ProductID());
  return text;
}

struct Received {
  TJvHidDevice* device;
  uint8_t report_id;
  std::vector<uint8_t> data;  // the 64 bytes behind Data, whatever Size says
  uint16_t size;
};

// A read error that is not "gone", with the system's text, in each vocabulary.
struct PlainReadError {
  uint32_t code;
  const char* text;
};

// Every controller test runs once with the bus speaking Windows and once
// speaking Linux: the controller must not care which.
class HidControllerTest : public ::testing::TestWithParam<SimVocabulary> {
 protected:
  // Creates the controller with handlers that record what happens; the first
  // scan has run when this returns.
  void Start(std::shared_ptr<HidPlatform> platform = nullptr) {
    ctl = std::make_unique<TJvHidDeviceController>(platform ? platform : bus, *loop);
    ctl->OnDeviceChange = [this](TJvHidDeviceController* sender) {
      EXPECT_EQ(sender, ctl.get());
      events.push_back("change");
      if (on_change) on_change();
    };
    ctl->OnEnumerate = [this](TJvHidDevice* device, int idx) {
      events.push_back("enum " + Tag(device) + " " + std::to_string(idx));
      return on_enumerate ? on_enumerate(device, idx) : true;
    };
    ctl->OnDeviceUnplug = [this](TJvHidDevice* device) {
      EXPECT_FALSE(device->PluggedIn());
      events.push_back("unplug " + Tag(device));
      if (on_unplug) on_unplug(device);
    };
    ctl->OnDeviceData = [this](TJvHidDevice* device, uint8_t id, const uint8_t* data,
                               uint16_t size) {
      // Handlers written for the unit read 64 bytes whatever Size says.
      received.push_back({device, id, std::vector<uint8_t>(data, data + 64), size});
      if (on_data) on_data(device);
    };
    ctl->OnDeviceDataError = [this](TJvHidDevice* device, uint32_t error) {
      errors.push_back(error);
      if (on_error) on_error(device);
    };
    ASSERT_TRUE(PumpUntil([this] { return Count("change") >= 1; }));
  }

  bool PumpUntil(const std::function<bool()>& done, Clock::duration limit = kWaitLimit) {
    return loop->RunUntil(done, limit);
  }
  // Sends the device a report, gives the read thread `time` to hand it over,
  // expects nothing to arrive, data or error, and checks the device back in.
  void ExpectReportUnreadThenCheckIn(SimulatedHidBus::DeviceId id, TJvHidDevice*& held,
                                     uint8_t value, Clock::duration time) {
    bus->SendInputReport(id, UnitReport(value));
    PumpFor(time);
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(errors.empty());
    ctl->CheckIn(held);
  }
  // Lets whatever is already under way settle; used only to show that nothing
  // more happens.
  void PumpFor(Clock::duration time) {
    loop->RunUntil([] { return false; }, time);
  }

  int Count(const std::string& event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }

  // Checks out the first listed device with `pid` the way the application does.
  TJvHidDevice* CheckOut(uint16_t pid) {
    TJvHidDevice* result = nullptr;
    on_enumerate = [this, pid, &result](TJvHidDevice* device, int idx) {
      if (device->ProductID() == pid && result == nullptr) ctl->CheckOutByIndex(result, idx);
      return true;
    };
    ctl->Enumerate();
    on_enumerate = nullptr;
    return result;
  }

  // A run-mode unit plugged in, the controller started, the unit checked out.
  TJvHidDevice* CheckOutNewUnit(SimulatedHidBus::DeviceId& id) {
    id = bus->Attach(BusDevice("unit", kRunPid), &endpoint);
    Start();
    return CheckOut(kRunPid);
  }

  Watchdog watchdog{kTestLimit};
  std::unique_ptr<toolkit::EventLoop> loop = toolkit::CreatePortableEventLoop();
  std::shared_ptr<SimulatedHidBus> bus = std::make_shared<SimulatedHidBus>(GetParam());

  bool Linux() const { return GetParam() == SimVocabulary::kLinux; }
  // ERROR_GEN_FAILURE on Windows; EPROTO (a USB transfer error) on Linux.
  PlainReadError NotGone() const {
    return Linux() ? PlainReadError{71, "Protocol error"}
                   : PlainReadError{31, "A device attached to the system is not functioning."};
  }
  RecordingEndpoint endpoint;

  std::vector<std::string> events;
  std::vector<Received> received;
  std::vector<uint32_t> errors;
  std::function<void()> on_change;
  std::function<bool(TJvHidDevice*, int)> on_enumerate;
  std::function<void(TJvHidDevice*)> on_unplug;
  std::function<void(TJvHidDevice*)> on_data;
  std::function<void(TJvHidDevice*)> on_error;

  std::unique_ptr<TJvHidDeviceController> ctl;  // destroyed first
};

// ---------------------------------------------------------------------------
// Scans and the device list

TEST_P(HidControllerTest, FirstScanListsAttachedDeviceAndReportsOneChange) {
  bus->Attach(BusDevice("unit", kRunPid), &endpoint);
  Start();
  PumpFor(50ms);  // the bus's own notification of the attach finds nothing new

  EXPECT_EQ(Count("change"), 1);
  ASSERT_EQ(ctl->Count(), 1);
  TJvHidDevice* device = ctl->Item(0);
  EXPECT_EQ(device->VendorID(), kVendor);
  EXPECT_EQ(device->ProductID(), kRunPid);
  EXPECT_TRUE(device->PluggedIn());
  EXPECT_FALSE(device->CheckedOut());
  EXPECT_TRUE(device->OpenedReadWrite());
}

TEST_P(HidControllerTest, FirstScanReportsChangeEvenWithNothingAttached) {
  Start();
  EXPECT_EQ(ctl->Count(), 0);
  EXPECT_EQ(Count("change"), 1);
}

TEST_P(HidControllerTest, SecondEnumerateOffersCheckedOutDeviceAgainButCheckOutFails) {
  bus->Attach(BusDevice("unit", kRunPid), &endpoint);
  Start();
  TJvHidDevice* held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(held->CheckedOut());

  std::vector<bool> results;
  on_enumerate = [&](TJvHidDevice*, int idx) {
    TJvHidDevice* again = reinterpret_cast<TJvHidDevice*>(1);
    results.push_back(ctl->CheckOutByIndex(again, idx));
    EXPECT_EQ(again, nullptr);
    return true;
  };
  EXPECT_EQ(ctl->Enumerate(), 1);
  EXPECT_EQ(results, std::vector<bool>{false});
  EXPECT_TRUE(held->CheckedOut());

  TJvHidDevice* out_of_range = nullptr;
  EXPECT_FALSE(ctl->CheckOutByIndex(out_of_range, 1));
  EXPECT_FALSE(ctl->CheckOutByIndex(out_of_range, -1));
  ctl->CheckIn(held);
  EXPECT_EQ(held, nullptr);
}

TEST_P(HidControllerTest, EnumerateStopsWhenHandlerSaysSo) {
  bus->Attach(BusDevice("a", kRunPid), &endpoint);
  bus->Attach(BusDevice("b", kOtherPid), &endpoint);
  Start();
  on_enumerate = [](TJvHidDevice*, int) { return false; };
  EXPECT_EQ(ctl->Enumerate(), 1);
}

TEST_P(HidControllerTest, UnrelatedUnplugRaisesUnplugThenChangeAndKeepsIndexes) {
  bus->Attach(BusDevice("unit", kRunPid), &endpoint);
  const auto other = bus->Attach(BusDevice("other", kOtherPid), &endpoint);
  const auto third = bus->Attach(BusDevice("third", kUpdatePid), &endpoint);
  Start();
  ASSERT_EQ(ctl->Count(), 3);
  TJvHidDevice* held = CheckOut(kRunPid);
  TJvHidDevice* kept = CheckOut(kOtherPid);  // not checked in on its unplug
  ASSERT_NE(kept, nullptr);
  ctl->OnSystemDeviceChange = [this](uint32_t wparam, intptr_t) {
    events.push_back("system " + std::to_string(wparam));
  };
  events.clear();

  bus->Detach(other);
  ASSERT_TRUE(PumpUntil([this] { return Count("system 7") >= 1; }));
  // The main window hears of the notification after the controller's scan.
  EXPECT_EQ(events, (std::vector<std::string>{"unplug 1234", "change", "system 7"}));
  ctl->OnSystemDeviceChange = nullptr;
  EXPECT_TRUE(held->PluggedIn());
  EXPECT_FALSE(kept->PluggedIn());
  // Still checked out, so still listed: later entries keep their index.
  ASSERT_EQ(ctl->Count(), 3);
  events.clear();
  ctl->DeviceChangeMessage(kDbtDevNodesChanged, 0);  // reported once, not again
  EXPECT_TRUE(events.empty());
  ctl->Enumerate();
  EXPECT_EQ(events, (std::vector<std::string>{"enum 0821 0", "enum 0904 2"}));

  // Gone while checked in: unplugged and dropped in the same scan.
  events.clear();
  bus->Detach(third);
  ASSERT_TRUE(PumpUntil([this] { return Count("change") >= 1; }));
  EXPECT_EQ(events, (std::vector<std::string>{"unplug 0904", "change"}));
  EXPECT_EQ(ctl->Count(), 2);

  ctl->CheckIn(kept);  // unplugged: removed from the list
  EXPECT_EQ(ctl->Count(), 1);
  ctl->CheckIn(held);
}

TEST_P(HidControllerTest, NotificationOtherThanDevNodesChangedChangesNothing) {
  Start();
  events.clear();
  bus->Attach(BusDevice("unit", kRunPid), &endpoint);  // its own notification waits in the loop

  ctl->DeviceChangeMessage(0x8000, 0);   // DBT_DEVICEARRIVAL
  ctl->DeviceChangeMessage(0x0018, -1);  // DBT_DEVICEREMOVECOMPLETE
  EXPECT_EQ(ctl->Count(), 0);
  EXPECT_TRUE(events.empty());

  ctl->DeviceChangeMessage(kDbtDevNodesChanged, 0);
  EXPECT_EQ(ctl->Count(), 1);
  EXPECT_EQ(events, std::vector<std::string>{"change"});
}

TEST_P(HidControllerTest, NotificationDuringScanIsNotNestedButNotLostEither) {
  const auto leaving = bus->Attach(BusDevice("leaving", kOtherPid), &endpoint);
  Start();
  bus->SetDeviceChangeHandler({});  // only the calls below drive scans
  RecordingEndpoint late_endpoint;
  on_unplug = [&](TJvHidDevice*) {
    bus->Attach(BusDevice("late", kRunPid), &late_endpoint);
    ctl->DeviceChangeMessage(kDbtDevNodesChanged, 0);  // arrives while the scan runs
    EXPECT_TRUE(ctl->Scanning());
  };
  events.clear();
  bus->Detach(leaving);
  ctl->DeviceChangeMessage(kDbtDevNodesChanged, 0);  // the detach's, handled at once
  EXPECT_EQ(events, (std::vector<std::string>{"unplug 1234", "change"}));
  EXPECT_EQ(ctl->Count(), 0);

  ASSERT_TRUE(PumpUntil([this] { return ctl->Count() == 1; }));  // the follow-up scan
  EXPECT_EQ(ctl->Item(0)->ProductID(), kRunPid);
  EXPECT_EQ(Count("change"), 2);
}

TEST_P(HidControllerTest, CheckInFromUnplugHandlerReleasesDeviceAndScanGoesOn) {
  const auto first = bus->Attach(BusDevice("first", kRunPid), &endpoint);
  const auto second = bus->Attach(BusDevice("second", kUpdatePid), &endpoint);
  Start();
  TJvHidDevice* held_run = CheckOut(kRunPid);
  TJvHidDevice* held_update = CheckOut(kUpdatePid);
  ASSERT_NE(held_run, nullptr);
  ASSERT_NE(held_update, nullptr);
  on_unplug = [&](TJvHidDevice* device) {
    TJvHidDevice*& held = device == held_run ? held_run : held_update;
    ASSERT_EQ(held, device);
    ctl->CheckIn(held);
    EXPECT_EQ(held, nullptr);
    // Still valid until the scan is done with it.
    EXPECT_FALSE(device->CheckedOut());
    EXPECT_FALSE(device->PluggedIn());
  };
  events.clear();
  bus->Detach(first);
  bus->Detach(second);
  ASSERT_TRUE(PumpUntil([this] { return Count("unplug 0821") == 1 && Count("change") >= 1; }));
  EXPECT_EQ(events[0], "unplug 0904");  // scanned from the last entry to the first
  EXPECT_EQ(events[1], "unplug 0821");
  EXPECT_EQ(ctl->Count(), 0);
}

TEST_P(HidControllerTest, PersonalitySwitchShowsAsUnplugPlusNewDevice) {
  RecordingEndpoint update_endpoint;
  SimulatedHidBus::DeviceId run_id = 0;
  // The unit leaves the bus from inside its own output-report handling.
  endpoint.on_report = [&](const std::vector<uint8_t>& report) {
    if (report[1] != 0x55) return;
    bus->Detach(run_id);
    bus->Attach(BusDevice("unit-isp", kUpdatePid), &update_endpoint);
  };
  run_id = bus->Attach(BusDevice("unit", kRunPid), &endpoint);
  TJvHidDevice* held = nullptr;
  Start();
  on_unplug = [&](TJvHidDevice* device) {
    if (device == held) ctl->CheckIn(held);
  };
  on_change = [&] {
    on_enumerate = [&](TJvHidDevice* device, int idx) {
      if (device->ProductID() == kUpdatePid) ctl->CheckOutByIndex(held, idx);
      return true;
    };
    ctl->Enumerate();
  };
  held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  events.clear();

  // Written from another thread, as the link's worker does, while the read
  // thread reads.
  TJvHidDevice* device = held;
  bool written = false;
  std::thread worker([&] {
    std::vector<uint8_t> report(kUnitReportBytes);
    report[1] = 0x55;
    size_t count = 0;
    written = device->WriteFile(report.data(), report.size(), count);
  });
  worker.join();
  EXPECT_TRUE(written);

  ASSERT_TRUE(PumpUntil([&] { return held != nullptr && held->ProductID() == kUpdatePid; }));
  EXPECT_EQ(events[0], "unplug 0821");
  EXPECT_EQ(events[1], "change");
  EXPECT_EQ(ctl->Count(), 1);
  EXPECT_TRUE(held->CheckedOut());
}

TEST_P(HidControllerTest, UnavailablePlatformListsNothingAndRaisesNoEvent) {
  auto platform = std::make_shared<UnavailablePlatform>();
  ctl = std::make_unique<TJvHidDeviceController>(platform, *loop);
  bool any_event = false;
  ctl->OnDeviceChange = [&](TJvHidDeviceController*) { any_event = true; };
  PumpFor(30ms);
  ctl->DeviceChangeMessage(kDbtDevNodesChanged, -1);
  EXPECT_FALSE(any_event);
  EXPECT_EQ(ctl->Count(), 0);
  EXPECT_EQ(platform->handler_sets, 0);
}

TEST_P(HidControllerTest, DeviceThatRefusesReadWriteIsListedButNeverRead) {
  SimDeviceProfile description = BusDevice("held-elsewhere", kRunPid);
  description.deny_read_write = true;
  const auto id = bus->Attach(description, &endpoint);
  Start();
  ASSERT_EQ(ctl->Count(), 1);
  EXPECT_FALSE(ctl->Item(0)->OpenedReadWrite());
  TJvHidDevice* held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  ExpectReportUnreadThenCheckIn(id, held, 0, 30ms);
}

// ---------------------------------------------------------------------------
// Reading

TEST_P(HidControllerTest, UnitReportArrivesAsReportIdAndSixtyFourBytesEmptyReadIsDropped) {
  SimulatedHidBus::DeviceId id = 0;
  TJvHidDevice* held = CheckOutNewUnit(id);
  ASSERT_NE(held, nullptr);

  bus->SendInputReport(id, {});  // a completed read of 0 bytes
  bus->SendInputReport(id, UnitReport(0x10));
  ASSERT_TRUE(PumpUntil([this] { return !received.empty(); }));
  ASSERT_EQ(received.size(), 1u);  // reports come in order: the empty one went first
  EXPECT_EQ(received[0].device, held);
  EXPECT_EQ(received[0].report_id, 0);
  EXPECT_EQ(received[0].size, 64);
  const std::vector<uint8_t> expected = UnitReport(0x10);
  EXPECT_EQ(received[0].data, std::vector<uint8_t>(expected.begin() + 1, expected.end()));
  ctl->CheckIn(held);
}

TEST_P(HidControllerTest, ShortDeclaredReportsAreReadAndWrittenAtTheirLength) {
  const auto id = bus->Attach(BusDevice("short", kRunPid, 9, 9), &endpoint);
  Start();
  TJvHidDevice* held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->GetCaps().InputReportByteLength, 9);
  EXPECT_EQ(held->GetCaps().OutputReportByteLength, 9);

  // Longer than the declared input report: truncated; the handler still reads
  // 64 bytes behind Data without leaving the buffer.
  bus->SendInputReport(id, UnitReport(0x20));
  ASSERT_TRUE(PumpUntil([this] { return !received.empty(); }));
  EXPECT_EQ(received[0].size, 8);
  EXPECT_EQ(received[0].data[7], 0x20 + 8);
  EXPECT_EQ(received[0].data[8], 0);

  std::vector<uint8_t> report(9, 0x42);
  report[0] = 0;
  size_t written = 99;
  EXPECT_TRUE(held->WriteFile(report.data(), report.size(), written));
  EXPECT_EQ(written, 9u);
  ASSERT_EQ(endpoint.Reports().size(), 1u);
  EXPECT_EQ(endpoint.Reports()[0], report);

  std::vector<uint8_t> too_long(kUnitReportBytes, 0x42);
  EXPECT_FALSE(held->WriteFile(too_long.data(), too_long.size(), written));
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(held->WriteFile(nullptr, 9, written));
  EXPECT_FALSE(held->WriteFile(report.data(), 0, written));
  EXPECT_EQ(endpoint.Reports().size(), 1u);
  ctl->CheckIn(held);
}

TEST_P(HidControllerTest, DeviceWithoutInputReportIsCheckedOutWithoutReading) {
  const auto id = bus->Attach(BusDevice("mute", kRunPid, 0, 65), &endpoint);
  Start();
  TJvHidDevice* held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  ExpectReportUnreadThenCheckIn(id, held, 0, 30ms);
  EXPECT_EQ(held, nullptr);
}

TEST_P(HidControllerTest, ReadErrorIsDeliveredWithItsCodeAndReadingGoesOn) {
  SimulatedHidBus::DeviceId id = 0;
  TJvHidDevice* held = CheckOutNewUnit(id);
  ASSERT_NE(held, nullptr);

  bus->FailNextRead(id, NotGone().code);
  ASSERT_TRUE(PumpUntil([this] { return !errors.empty(); }));
  EXPECT_EQ(errors, std::vector<uint32_t>{NotGone().code});
  EXPECT_EQ(bus->ErrorText(NotGone().code), NotGone().text);

  bus->SendInputReport(id, UnitReport(1));
  ASSERT_TRUE(PumpUntil([this] { return !received.empty(); }));
  EXPECT_EQ(errors.size(), 1u);
  ctl->CheckIn(held);
}

TEST_P(HidControllerTest, VanishedDeviceIsReportedAsUnplugNotAsReadError) {
  SimulatedHidBus::DeviceId id = 0;
  TJvHidDevice* held = CheckOutNewUnit(id);
  ASSERT_NE(held, nullptr);
  bus->Detach(id);
  // The read thread meets the vanished device long before the scan runs.
  std::this_thread::sleep_for(30ms);
  ASSERT_TRUE(PumpUntil([this] { return Count("unplug 0821") == 1; }));
  PumpFor(250ms);  // the thread keeps going, unplugged but still checked out
  EXPECT_TRUE(errors.empty());
  size_t written = 0;
  const std::vector<uint8_t> report(kUnitReportBytes);
  EXPECT_FALSE(held->WriteFile(report.data(), report.size(), written));
  ctl->CheckIn(held);
  EXPECT_EQ(ctl->Count(), 0);
}

// A device the scan found gone, though still checked out, never writes again:
// not even to the device that has taken over its path since.
TEST_P(HidControllerTest, AGoneDeviceNeverWritesAgainEvenWhereItsPathIsReused) {
  auto reusing = std::make_shared<PathReusingBus>(GetParam());
  const auto id = reusing->Attach(BusDevice("unit", kRunPid), &endpoint);
  Start(reusing);
  TJvHidDevice* held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  const std::vector<uint8_t> report(kUnitReportBytes);
  size_t written = 0;
  EXPECT_TRUE(held->WriteFile(report.data(), report.size(), written));
  reusing->Detach(id);
  ASSERT_TRUE(PumpUntil([this] { return Count("unplug 0821") == 1; }));
  RecordingEndpoint successor;
  const auto successor_id = reusing->Attach(BusDevice("unit", kRunPid), &successor);
  ASSERT_TRUE(PumpUntil([this] { return ctl->Count() == 2; }));

  EXPECT_FALSE(held->WriteFile(report.data(), report.size(), written));
  EXPECT_TRUE(successor.Reports().empty());
  EXPECT_EQ(endpoint.Reports().size(), 1u);
  ctl->CheckIn(held);
  reusing->Detach(successor_id);
}

// ---------------------------------------------------------------------------
// Stopping the read thread

TEST_P(HidControllerTest, StopIsNoticedWithinOneSleepSlice) {
  auto platform = std::make_shared<CancelIgnoringPlatform>(bus);
  const auto id = bus->Attach(BusDevice("unit", kRunPid), &endpoint);
  Start(platform);
  ASSERT_EQ(ctl->DevThreadSleepTime, 100);
  TJvHidDevice* held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  bus->SendInputReport(id, UnitReport(0));
  ASSERT_TRUE(PumpUntil([this] { return !received.empty(); }));
  std::this_thread::sleep_for(20ms);  // well inside its next read by now

  const auto started = Clock::now();
  ctl->CheckIn(held);
  const auto took = Clock::now() - started;
  EXPECT_LT(took, 1000ms) << "one slice is 100 ms";
  EXPECT_FALSE(ctl->Item(0)->CheckedOut());
}

TEST_P(HidControllerTest, CheckInCompletesWhileReadThreadWaitsInHandOff) {
  SimulatedHidBus::DeviceId id = 0;
  TJvHidDevice* held = CheckOutNewUnit(id);
  ASSERT_NE(held, nullptr);
  auto* core = dynamic_cast<toolkit::LoopCore*>(loop.get());
  ASSERT_NE(core, nullptr);

  bus->SendInputReport(id, UnitReport(0));
  // Not pumping: the read thread reads the report and blocks in its hand-off.
  const auto deadline = Clock::now() + kWaitLimit;
  while (core->PendingSendCount() == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(core->PendingSendCount(), 1u);

  ctl->CheckIn(held);
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(core->PendingSendCount(), 0u);
  EXPECT_TRUE(received.empty());  // released devices hand over nothing more
  EXPECT_FALSE(ctl->Item(0)->CheckedOut());
}

TEST_P(HidControllerTest, CheckInFromInsideOwnHandOffDoesNotDeadlock) {
  SimulatedHidBus::DeviceId id = 0;
  TJvHidDevice* held = CheckOutNewUnit(id);
  ASSERT_NE(held, nullptr);
  Clock::duration check_in_took{};
  on_data = [&](TJvHidDevice* device) {
    const auto started = Clock::now();
    if (device == held) ctl->CheckIn(held);
    check_in_took = Clock::now() - started;
  };
  bus->SendInputReport(id, UnitReport(0));
  ASSERT_TRUE(PumpUntil([&] { return held == nullptr; }));
  // Waiting for a thread that cannot end before this handler returns would only
  // run into the wait's limit.
  EXPECT_LT(check_in_took, kReadThreadEndLimit / 2);
  on_data = nullptr;

  // The old thread winds down after the hand-off; a new check-out reads again.
  held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  bus->SendInputReport(id, UnitReport(1));
  ASSERT_TRUE(PumpUntil([this] { return received.size() == 2; }));
  EXPECT_EQ(received[1].data[0], 2);
  ctl->CheckIn(held);
}

TEST_P(HidControllerTest, UnplugDuringModalErrorBoxReleasesDevice) {
  SimulatedHidBus::DeviceId id = 0;
  TJvHidDevice* held = CheckOutNewUnit(id);
  ASSERT_NE(held, nullptr);
  bool box_closed = false;
  // The error handler shows a modal box; the unit is pulled meanwhile and the
  // unplug handler checks it in from inside the box's nested loop.
  on_error = [&](TJvHidDevice*) {
    bus->Detach(id);
    EXPECT_TRUE(loop->RunUntil([this] { return Count("unplug 0821") == 1; }, kWaitLimit));
    box_closed = true;
  };
  on_unplug = [&](TJvHidDevice* device) {
    if (device == held) ctl->CheckIn(held);
  };
  bus->FailNextRead(id, NotGone().code);
  ASSERT_TRUE(PumpUntil([&] { return box_closed && ctl->Count() == 0; }));
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(errors.size(), 1u);
}

// ---------------------------------------------------------------------------
// Destruction

TEST_P(HidControllerTest, DestructionReportsOnlyCheckedOutDevicesAsUnplugged) {
  bus->Attach(BusDevice("unit", kRunPid), &endpoint);
  const auto other = bus->Attach(BusDevice("other", kOtherPid), &endpoint);
  Start();
  TJvHidDevice* held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  bus->Detach(other);
  std::this_thread::sleep_for(10ms);  // its notification now waits in the loop
  std::vector<std::string> unplugged;
  // The application's handler outlives the controller's own handler list.
  held->OnUnplug = [&](TJvHidDevice* device) {
    EXPECT_FALSE(device->PluggedIn());
    unplugged.push_back(Tag(device));
  };
  ctl.reset();
  EXPECT_EQ(unplugged, std::vector<std::string>{"0821"});
  PumpFor(30ms);  // the notification finds no controller and does nothing
  EXPECT_EQ(unplugged.size(), 1u);
}

// The interface dies before the system says so: a Windows read fails with
// 1167, 2, 3 or 1617; a hidraw read fails with EIO or ENODEV, or the node
// hangs up. None of it is a read error; the scan reports the unplug.
TEST_P(HidControllerTest, EveryGoneConditionOfTheVocabularyIsNotAReadError) {
  const std::vector<uint32_t> gone_codes =
      Linux() ? std::vector<uint32_t>{5, 19} : std::vector<uint32_t>{2, 3, 1167, 1617};
  for (const uint32_t code : gone_codes) {
    SCOPED_TRACE("code " + std::to_string(code));
    const auto id = bus->Attach(BusDevice("unit", kRunPid), &endpoint);
    if (!ctl) Start();
    ASSERT_TRUE(PumpUntil([this] { return ctl->Count() == 1 && ctl->Item(0)->PluggedIn(); }));
    TJvHidDevice* held = CheckOut(kRunPid);
    ASSERT_NE(held, nullptr);
    bus->FailNextRead(id, code);
    // Long enough for a wrongly delivered error to reach the loop several times.
    PumpFor(300ms);
    EXPECT_TRUE(errors.empty());
    // The system's notification follows: an unplug, still no read error.
    bus->Detach(id);
    ASSERT_TRUE(PumpUntil([this] { return Count("unplug 0821") == 1; }));
    EXPECT_TRUE(errors.empty());
    ctl->CheckIn(held);
    ASSERT_TRUE(PumpUntil([this] { return ctl->Count() == 0; }));
    events.clear();
  }
}

TEST_P(HidControllerTest, HangUpWhileStillListedIsNotAReadErrorAndEndsAsOneUnplug) {
  SimulatedHidBus::DeviceId id = 0;
  TJvHidDevice* held = CheckOutNewUnit(id);
  ASSERT_NE(held, nullptr);
  bus->HangUp(id);
  PumpFor(300ms);
  EXPECT_TRUE(errors.empty());
  size_t written = 0;
  const std::vector<uint8_t> report(kUnitReportBytes);
  EXPECT_FALSE(held->WriteFile(report.data(), report.size(), written));
  bus->Detach(id);
  ASSERT_TRUE(PumpUntil([this] { return Count("unplug 0821") == 1; }));
  EXPECT_TRUE(errors.empty());
  ctl->CheckIn(held);
  EXPECT_EQ(ctl->Count(), 0);
}

// A device that went away and came back under the same path (hidraw numbers
// are reused) is read through its new list entry only, never through the old
// one's thread.
TEST_P(HidControllerTest, AGoneDevicesThreadReadsNothingMore) {
  SimulatedHidBus::DeviceId id = 0;
  TJvHidDevice* held = CheckOutNewUnit(id);
  ASSERT_NE(held, nullptr);
  bus->HangUp(id);
  PumpFor(150ms);
  // Dropped by the dead interface.
  ExpectReportUnreadThenCheckIn(id, held, 7, 150ms);
}

// A report that comes the moment a device is checked out is read: the read
// handle is open before CheckOutByIndex returns (a handle opened later would
// never see it).
TEST_P(HidControllerTest, AReportRightAfterCheckOutIsRead) {
  SimulatedHidBus::DeviceId id = 0;
  TJvHidDevice* held = CheckOutNewUnit(id);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(bus->ReadingHandleCount(id), 1);
  bus->SendInputReport(id, UnitReport(3));
  ASSERT_TRUE(PumpUntil([this] { return received.size() == 1; }));
  EXPECT_EQ(received[0].data[0], 4);
  ctl->CheckIn(held);
}

// "File not found" for the read handle while the scan still lists the device
// (the system was rewriting its list): no read error, and the open is tried
// again until it succeeds.
TEST_P(HidControllerTest, AReadOpenThatSaysGoneWhileListedIsRetriedQuietly) {
  const auto id = bus->Attach(BusDevice("unit", kRunPid), &endpoint);
  constexpr uint32_t kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND and ENOENT alike
  bus->FailReadingOpens(id, kFileNotFound, 3);
  Start();
  TJvHidDevice* held = CheckOut(kRunPid);
  ASSERT_NE(held, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return bus->ReadingHandleCount(id) == 1; }));
  bus->SendInputReport(id, UnitReport(5));
  ASSERT_TRUE(PumpUntil([this] { return received.size() == 1; }));
  EXPECT_EQ(received[0].data[0], 6);
  EXPECT_TRUE(errors.empty());
  ctl->CheckIn(held);
}

INSTANTIATE_TEST_SUITE_P(BothVocabularies, HidControllerTest,
                         ::testing::Values(SimVocabulary::kWindows, SimVocabulary::kLinux),
                         [](const ::testing::TestParamInfo<SimVocabulary>& info) {
                           return info.param == SimVocabulary::kWindows ? "Windows" : "Linux";
                         });

}  // namespace
}  // namespace kv::hid
