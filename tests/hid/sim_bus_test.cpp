// The simulated HID bus on its own, through the HidPlatform seam.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "hid/sim_bus.h"

namespace kv::hid {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kLongSlice{
    5000};  // a read that would block this long must end early

SimDeviceProfile BusDevice(uint16_t input_length, uint16_t output_length) {
  SimDeviceProfile description;
  description.attributes = {0x0168, 0x0821, 0x0100};
  description.caps.InputReportByteLength = input_length;
  description.caps.OutputReportByteLength = output_length;
  description.name = "unit";
  return description;
}

class CountingEndpoint : public SimDeviceEndpoint {
 public:
  void OnOutputReport(const uint8_t* data, size_t count) override {
    last.assign(data, data + count);
    ++calls;
    if (on_report) on_report();
  }
  std::vector<uint8_t> last;
  std::atomic<int> calls{0};
  std::function<void()> on_report;
};

std::unique_ptr<HidHandle> OpenReader(SimulatedHidBus& bus) {
  uint32_t error = 0;
  auto interfaces = bus.EnumerateInterfaces();
  if (interfaces.empty()) return nullptr;
  return bus.Open(interfaces.front().path, HidAccess::kReadWrite, true, error);
}

// One unit with 65-byte reports on its own bus, a reading handle on it, and
// what a read fills in.
struct ReadingUnit {
  explicit ReadingUnit(SimVocabulary vocabulary = SimVocabulary::kWindows) : bus(vocabulary) {
    id = bus.Attach(BusDevice(65, 65), &endpoint);
    reader = OpenReader(bus);
  }
  HidReadStatus Read(std::chrono::milliseconds slice = kLongSlice) {
    return reader->Read(buffer.data(), buffer.size(), slice, got, error);
  }
  SimulatedHidBus bus;
  CountingEndpoint endpoint;
  SimulatedHidBus::DeviceId id = 0;
  std::unique_ptr<HidHandle> reader;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(65);
  size_t got = 0;
  uint32_t error = 0;
};

TEST(SimulatedHidBus, InputReportsAreTruncatedToTheBufferAndShortOnesKeptAsTheyAre) {
  SimulatedHidBus bus;
  CountingEndpoint endpoint;
  const auto id = bus.Attach(BusDevice(9, 9), &endpoint);
  auto reader = OpenReader(bus);
  ASSERT_NE(reader, nullptr);

  std::vector<uint8_t> long_report(65);
  for (size_t i = 0; i < long_report.size(); ++i) long_report[i] = static_cast<uint8_t>(i);
  bus.SendInputReport(id, long_report);
  bus.SendInputReport(id, {0, 7, 7});

  std::vector<uint8_t> buffer(9, 0xEE);
  size_t got = 0;
  uint32_t error = 0;
  ASSERT_EQ(reader->Read(buffer.data(), 9, kLongSlice, got, error), HidReadStatus::kCompleted);
  EXPECT_EQ(got, 9u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(long_report.begin(), long_report.begin() + 9));
  ASSERT_EQ(reader->Read(buffer.data(), 9, kLongSlice, got, error), HidReadStatus::kCompleted);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(buffer[1], 7);
}

TEST(SimulatedHidBus, InputReportBecomesReadableOnlyAfterTheReportTime) {
  SimulatedHidBus bus;
  bus.SetReportTime(300ms);
  CountingEndpoint endpoint;
  const auto id = bus.Attach(BusDevice(65, 65), &endpoint);
  auto reader = OpenReader(bus);
  ASSERT_NE(reader, nullptr);
  bus.SendInputReport(id, {0, 1});
  std::vector<uint8_t> buffer(65);
  size_t got = 0;
  uint32_t error = 0;
  EXPECT_EQ(
      reader->Read(buffer.data(), buffer.size(), std::chrono::milliseconds::zero(), got, error),
      HidReadStatus::kPending);
  EXPECT_EQ(reader->Read(buffer.data(), buffer.size(), kLongSlice, got, error),
            HidReadStatus::kCompleted);
  EXPECT_EQ(got, 2u);
}

TEST(SimulatedHidBus, CancelAndDetachEndAPendingReadAtOnce) {
  ReadingUnit unit;
  ASSERT_NE(unit.reader, nullptr);
  auto& [bus, endpoint, id, reader, buffer, got, error] = unit;

  reader->CancelRead();  // also ends a read that starts later, and every one after it
  EXPECT_EQ(unit.Read(), HidReadStatus::kCancelled);
  EXPECT_EQ(unit.Read(), HidReadStatus::kCancelled);

  reader = OpenReader(bus);
  ASSERT_NE(reader, nullptr);
  HidReadStatus status = HidReadStatus::kPending;
  const auto started = Clock::now();
  std::thread blocked([&] { status = unit.Read(); });
  std::this_thread::sleep_for(20ms);
  bus.Detach(id);
  blocked.join();
  EXPECT_LT(Clock::now() - started, kLongSlice / 2);
  // Windows says ERROR_DEVICE_NOT_CONNECTED, and that means gone.
  EXPECT_EQ(status, HidReadStatus::kGone);
  EXPECT_EQ(error, 1167u);
  EXPECT_FALSE(bus.IsAttached(id));

  // Later reads, writes and opens fail too.
  EXPECT_EQ(reader->Read(buffer.data(), 65, std::chrono::milliseconds::zero(), got, error),
            HidReadStatus::kGone);
  EXPECT_TRUE(bus.EnumerateInterfaces().empty());
  uint32_t open_error = 0;
  EXPECT_EQ(bus.Open("sim:1:unit", HidAccess::kReadWrite, false, open_error), nullptr);
  EXPECT_NE(open_error, 0u);
}

TEST(SimulatedHidBus, FailNextReadFailsOneReadWithTheCode) {
  ReadingUnit unit;
  ASSERT_NE(unit.reader, nullptr);
  unit.bus.FailNextRead(unit.id, 31);
  unit.bus.SendInputReport(unit.id, {0, 1});
  EXPECT_EQ(unit.Read(), HidReadStatus::kFailed);
  EXPECT_EQ(unit.error, 31u);
  EXPECT_EQ(unit.Read(), HidReadStatus::kCompleted);
  EXPECT_NE(unit.bus.ErrorText(31), unit.bus.ErrorText(1167));
  EXPECT_FALSE(unit.bus.ErrorText(4242).empty());
}

// What the unit waits for before it leaves the bus: the host has read every
// report and the failed read still to come. A handle opened to write collects
// input too, which counts only once the host reads from it.
TEST(SimulatedHidBus, InputCountsAsUnreadUntilTheReadingHandleHasTakenIt) {
  SimulatedHidBus bus;
  CountingEndpoint endpoint;
  const auto id = bus.Attach(BusDevice(65, 65), &endpoint);
  uint32_t error = 0;
  auto writer =
      bus.Open(bus.EnumerateInterfaces().front().path, HidAccess::kReadWrite, false, error);
  ASSERT_NE(writer, nullptr);
  bus.SendInputReport(id, {0, 1});
  EXPECT_FALSE(bus.InputUnread(id)) << "no handle reads";

  auto reader = OpenReader(bus);
  ASSERT_NE(reader, nullptr);
  bus.FailNextRead(id, 31);
  bus.SendInputReport(id, {0, 2});
  EXPECT_TRUE(bus.InputUnread(id));
  std::vector<uint8_t> buffer(65);
  size_t got = 0;
  EXPECT_EQ(reader->Read(buffer.data(), 65, kLongSlice, got, error), HidReadStatus::kFailed);
  EXPECT_TRUE(bus.InputUnread(id)) << "the report is still there";
  EXPECT_EQ(reader->Read(buffer.data(), 65, kLongSlice, got, error), HidReadStatus::kCompleted);
  EXPECT_EQ(buffer[1], 2);
  EXPECT_FALSE(bus.InputUnread(id));

  bus.SendInputReport(id, {0, 3});
  reader.reset();
  EXPECT_FALSE(bus.InputUnread(id)) << "closed with it";

  // A host that reads and writes on one handle: the two reports the writer
  // still holds count as unread once it has read there.
  EXPECT_EQ(writer->Read(buffer.data(), 65, kLongSlice, got, error), HidReadStatus::kCompleted);
  EXPECT_TRUE(bus.InputUnread(id));
  bus.Detach(id);
  EXPECT_FALSE(bus.InputUnread(id));
}

TEST(SimulatedHidBus, SpeakingLinuxAGoneNodeHangsUpAndErrorsAreErrnoValues) {
  ReadingUnit unit(SimVocabulary::kLinux);
  ASSERT_NE(unit.reader, nullptr);
  auto& [bus, endpoint, id, reader, buffer, got, error] = unit;

  // EIO and ENODEV on a read mean the device has left; EPROTO does not.
  bus.FailNextRead(id, 71);
  EXPECT_EQ(reader->Read(buffer.data(), 65, kLongSlice, got, error), HidReadStatus::kFailed);
  EXPECT_EQ(error, 71u);
  EXPECT_EQ(bus.ErrorText(71), "Protocol error");
  bus.FailNextRead(id, 5);
  EXPECT_EQ(reader->Read(buffer.data(), 65, kLongSlice, got, error), HidReadStatus::kGone);
  EXPECT_EQ(bus.ErrorText(5), "Input/output error");

  // A hang-up while still listed: no code at all, the interface still enumerated.
  bus.HangUp(id);
  EXPECT_EQ(reader->Read(buffer.data(), 65, kLongSlice, got, error), HidReadStatus::kGone);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(bus.EnumerateInterfaces().size(), 1u);
  uint32_t open_error = 0;
  EXPECT_EQ(bus.Open(bus.EnumerateInterfaces()[0].path, HidAccess::kReadWrite, false, open_error),
            nullptr);
  EXPECT_TRUE(bus.IsGoneError(open_error));  // ENOENT, as for a removed node
  EXPECT_EQ(bus.ErrorText(open_error), "No such file or directory");
  bus.Detach(id);
  EXPECT_TRUE(bus.EnumerateInterfaces().empty());

  // Access refused is EACCES (13), not Windows' 5, which here would mean EIO.
  SimDeviceProfile held_elsewhere = BusDevice(65, 65);
  held_elsewhere.deny_read_write = true;
  held_elsewhere.name = "held";
  bus.Attach(held_elsewhere, &endpoint);
  EXPECT_EQ(bus.Open(bus.EnumerateInterfaces()[0].path, HidAccess::kReadWrite, false, open_error),
            nullptr);
  EXPECT_EQ(open_error, 13u);
  EXPECT_FALSE(bus.IsGoneError(open_error));
  EXPECT_EQ(bus.ErrorText(13), "Permission denied");
}

TEST(SimulatedHidBus, WritesReachTheEndpointAtTheDeclaredLengthOnly) {
  SimulatedHidBus bus;
  CountingEndpoint endpoint;
  bus.Attach(BusDevice(65, 9), &endpoint);
  uint32_t error = 0;
  const auto path = bus.EnumerateInterfaces().at(0).path;
  auto handle = bus.Open(path, HidAccess::kReadWrite, false, error);
  ASSERT_NE(handle, nullptr);

  const std::vector<uint8_t> report = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  size_t written = 0;
  EXPECT_TRUE(handle->Write(report.data(), report.size(), written));
  EXPECT_EQ(written, 9u);
  EXPECT_EQ(endpoint.last, report);

  const std::vector<uint8_t> unit_sized(65);
  EXPECT_FALSE(handle->Write(unit_sized.data(), unit_sized.size(), written));
  EXPECT_FALSE(handle->Write(report.data(), 8, written));
  auto query_only = bus.Open(path, HidAccess::kNone, false, error);
  ASSERT_NE(query_only, nullptr);
  EXPECT_FALSE(query_only->Write(report.data(), report.size(), written));
  EXPECT_EQ(endpoint.calls, 1);
}

TEST(SimulatedHidBus, DeviceMayDetachItselfWhileHandlingAReportAndNotifiesFromBusThread) {
  SimulatedHidBus bus;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::thread::id> notifiers;
  bus.SetDeviceChangeHandler([&](uint32_t wparam, intptr_t) {
    EXPECT_EQ(wparam, kDbtDevNodesChanged);
    std::lock_guard<std::mutex> lock(mutex);
    notifiers.push_back(std::this_thread::get_id());
    cv.notify_all();
  });
  CountingEndpoint endpoint;
  SimulatedHidBus::DeviceId id = 0;
  endpoint.on_report = [&] { bus.Detach(id); };
  id = bus.Attach(BusDevice(65, 65), &endpoint);
  uint32_t error = 0;
  auto handle = bus.Open(bus.EnumerateInterfaces().at(0).path, HidAccess::kReadWrite, false, error);
  ASSERT_NE(handle, nullptr);
  const std::vector<uint8_t> report(65);
  size_t written = 0;
  EXPECT_TRUE(handle->Write(report.data(), report.size(), written));
  EXPECT_FALSE(bus.IsAttached(id));
  EXPECT_FALSE(handle->Write(report.data(), report.size(), written));
  EXPECT_EQ(endpoint.calls, 1);

  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return notifiers.size() == 2; }));  // attach, detach
  EXPECT_NE(notifiers[0], std::this_thread::get_id());
  lock.unlock();
  bus.SetDeviceChangeHandler({});
}

TEST(SimulatedHidBus, DeviceHeldElsewhereOpensOnlyWithoutAccess) {
  SimulatedHidBus bus;
  CountingEndpoint endpoint;
  SimDeviceProfile description = BusDevice(65, 65);
  description.deny_read_write = true;
  bus.Attach(description, &endpoint);
  const auto path = bus.EnumerateInterfaces().at(0).path;
  uint32_t error = 0;
  EXPECT_EQ(bus.Open(path, HidAccess::kReadWrite, false, error), nullptr);
  EXPECT_EQ(error, 5u);
  EXPECT_EQ(bus.Open(path, HidAccess::kReadWrite, true, error), nullptr);
  auto query_only = bus.Open(path, HidAccess::kNone, false, error);
  ASSERT_NE(query_only, nullptr);
  HidAttributes attributes;
  EXPECT_TRUE(query_only->GetAttributes(attributes));
  EXPECT_EQ(attributes.ProductID, 0x0821);
}

}  // namespace
}  // namespace kv::hid
