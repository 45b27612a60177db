// The simulated unit on the simulated HID bus, driven through the bus's handles
// exactly as a host program reaches a real unit. Every wait is bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hid/sim_bus.h"
#include "image/firmware_data.h"
#include "sim/device_frame.h"
#include "sim/simulated_setup.h"
#include "test_host.h"

namespace kv::sim {
namespace {

using namespace std::chrono_literals;
using namespace test_host;
using hid::HidReadStatus;

// Run-mode command codes as the unit documents them.
constexpr uint8_t kCode04 = 0x04;
constexpr uint8_t kEnterUpdate = 0x08;
constexpr uint8_t kIdentify = 0x10;
constexpr uint8_t kCheckFailed = 0x11;
constexpr uint8_t kKeepAlive = 0x12;
constexpr uint8_t kVersionText = 0x13;
constexpr uint8_t kCode1A = 0x1A;
constexpr uint8_t kDspBlock = 0x53;
constexpr uint8_t kReadParameter = 0xA8;
constexpr uint8_t kProgramData = 0x00;
constexpr uint8_t kConnect = 0x80;
using hid::SimulatedHidBus;

// Bound for anything that is expected to happen.
constexpr auto kWait = 5000ms;
// How long a test watches for an answer that must not come.
constexpr auto kQuiet = 150ms;
constexpr std::chrono::milliseconds kReadSlice{10};

struct ReadResult {
  HidReadStatus status = HidReadStatus::kPending;  // kPending: nothing within the limit
  std::vector<uint8_t> bytes;                      // report ID first
  uint32_t error = 0;
};

// Counts the bus's device-change notifications.
class DeviceChanges {
 public:
  explicit DeviceChanges(SimulatedHidBus& bus) : bus_(bus) {
    bus_.SetDeviceChangeHandler([this](uint32_t, intptr_t) {
      std::lock_guard lock(mutex_);
      ++count_;
      changed_.notify_all();
    });
  }
  ~DeviceChanges() { bus_.SetDeviceChangeHandler(nullptr); }
  bool WaitFor(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return count_ >= count; });
  }

 private:
  SimulatedHidBus& bus_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

// One open handle on the unit, used as a host program uses it.
class HostPort {
 public:
  // Waits, bounded, until a device with this product identifier can be opened.
  static std::unique_ptr<HostPort> Open(SimulatedHidBus& bus, uint16_t product) {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const hid::HidInterfaceInfo& info : bus.EnumerateInterfaces()) {
        uint32_t error = 0;
        auto handle = bus.Open(info.path, hid::HidAccess::kReadWrite, false, error);
        hid::HidAttributes attributes;
        if (handle && handle->GetAttributes(attributes) && attributes.ProductID == product) {
          auto port = std::make_unique<HostPort>();
          port->handle = std::move(handle);
          port->instance_id = info.instance_id;
          port->path = info.path;
          port->usb_port = info.port;
          return port;
        }
      }
      std::this_thread::sleep_for(5ms);
    }
    return nullptr;
  }

  bool Write(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> report(65, 0);
    std::copy(data.begin(), data.begin() + static_cast<long>(std::min<size_t>(data.size(), 64)),
              report.begin() + 1);
    size_t written = 0;
    return handle->Write(report.data(), report.size(), written);
  }

  ReadResult Read(std::chrono::milliseconds limit = kWait) {
    ReadResult result;
    uint8_t buffer[65];
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      size_t transferred = 0;
      result.status = handle->Read(buffer, sizeof buffer, kReadSlice, transferred, result.error);
      if (result.status == HidReadStatus::kCompleted && transferred > 0) {
        result.bytes.assign(buffer, buffer + transferred);
        return result;
      }
      if (result.status == HidReadStatus::kFailed || result.status == HidReadStatus::kGone)
        return result;
    }
    result.status = HidReadStatus::kPending;
    return result;
  }

  std::unique_ptr<hid::HidHandle> handle;
  std::string instance_id;
  std::string path;
  std::string usb_port;
};

struct DeviceFrameSeen {
  bool ok = false;  // the unit's frame shape with a right checksum
  uint8_t length = 0;
  uint8_t code = 0;
  std::vector<uint8_t> payload;
};

DeviceFrameSeen ParseDeviceFrame(const ReadResult& read) {
  DeviceFrameSeen seen;
  if (read.status != HidReadStatus::kCompleted || read.bytes.size() != 65) return seen;
  const uint8_t* data = read.bytes.data() + 1;
  seen.length = data[4];
  if (data[0] != 0x10 || data[1] != 0x02 || data[2] != 0x01 || data[3] != 0x00) return seen;
  if (seen.length == 0 || seen.length > 56) return seen;
  seen.code = data[5];
  seen.payload.assign(data + 6, data + 5 + seen.length);
  seen.ok = data[seen.length + 5] == 0x10 && data[seen.length + 6] == 0x03 &&
            data[seen.length + 7] == XorOf(data, seen.length + 7);
  return seen;
}

// The little-endian field at this data byte of a reply (report ID not counted).
uint32_t ReplyField(const ReadResult& read, size_t offset) {
  if (read.bytes.size() < 1 + offset + 4) return 0xFFFFFFFF;
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= static_cast<uint32_t>(read.bytes[1 + offset + i]) << (8 * i);
  return value;
}
uint32_t Echo(const ReadResult& read) {
  return ReplyField(read, 0);
}
uint32_t Number(const ReadResult& read) {
  return ReplyField(read, 4);
}

Bytes Framed(uint8_t code) {
  return Frame(code);
}

bool Mentions(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// Changes a request on its way out: (request, data packet index or -1).
using Tamper = std::function<void(Bytes&, int)>;

class SimulatedUnitTest : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& settings = {}) {
    std::string error;
    // This host sends as soon as it has read a reply: at pace 1/1000 every minimum
    // interval lies within the timing allowance, so only the pacing tests see pacing.
    ASSERT_TRUE(ApplySimOptions(
        {"usb-ms=0", "reply-ms=0", "erase-ms=5", "reenum-ms=5", "attach-ms=5", "pace=1000"},
        options_, error));
    ASSERT_TRUE(ApplySimOptions(settings, options_, error)) << error;
    setup_ = std::make_unique<SimulatedSetup>(bus_, options_);
  }

  std::unique_ptr<HostPort> OpenRun() { return HostPort::Open(bus_, kRunProductId); }
  std::unique_ptr<HostPort> OpenUpdate() { return HostPort::Open(bus_, kUpdateProductId); }
  SimulatedUnit& Unit() { return setup_->Unit(0); }

  // Connect to sync program; each reply's echo and number checked.
  void RunQueries(HostPort& port) {
    const Bytes requests[] = {Connect(),   Sync(2),       FirmwareVersion(3),
                              DeviceId(4), ReadConfig(5), Sync(1)};
    for (const Bytes& request : requests) {
      ASSERT_TRUE(port.Write(request));
      ReadResult reply = port.Read();
      ASSERT_EQ(reply.status, HidReadStatus::kCompleted);
      EXPECT_EQ(Echo(reply), Sum(request));
      EXPECT_EQ(Number(reply), request[4] + 1u);
    }
  }

  // A whole programming of the embedded image, ending with reset.
  void ProgramFlash(HostPort& port, const Tamper& tamper = {}) {
    ASSERT_NO_FATAL_FAILURE(RunQueries(port));
    const Bytes& image = EmbeddedReferenceFirmware().mcu_image;
    ASSERT_EQ(image.size(), 67324u);
    Bytes start = StartProgram(3, static_cast<uint32_t>(image.size()), image);
    if (tamper) tamper(start, -1);
    ASSERT_TRUE(port.Write(start));
    ReadResult reply = port.Read();
    ASSERT_EQ(Echo(reply), Sum(start));
    uint32_t number = Number(reply);
    int index = 0;
    for (size_t offset = 48; offset < image.size(); offset += 56, ++index) {
      Bytes packet = DataPacket(number + 1, image, offset);
      if (tamper) tamper(packet, index);
      ASSERT_TRUE(port.Write(packet));
      reply = port.Read();
      ASSERT_EQ(Echo(reply), Sum(packet)) << "data packet " << index;
      number = Number(reply);
    }
    EXPECT_EQ(index, 1202);
    ASSERT_TRUE(port.Write(Reset(number + 1)));
  }

  // The whole DSP program, chunk by chunk, each answered with code 0x53.
  void DownloadDsp(HostPort& port, uint32_t key, const std::function<void(Bytes&)>& tamper = {}) {
    Bytes image =
        DspImage(std::vector<uint32_t>(std::begin(DspProgramWords), std::end(DspProgramWords)));
    ASSERT_EQ(image.size(), 26044u);
    if (tamper) tamper(image);
    for (uint32_t chunk = 0; chunk <= 813; ++chunk) {
      ASSERT_TRUE(port.Write(Frame(kDspBlock, DspChunk(image, chunk, key))));
      DeviceFrameSeen answer = ParseDeviceFrame(port.Read());
      ASSERT_TRUE(answer.ok) << "chunk " << chunk;
      ASSERT_EQ(answer.code, kDspBlock);
    }
  }

  SimulatedHidBus bus_;  // outlives the setup
  SimOptions options_;
  std::unique_ptr<SimulatedSetup> setup_;
};

TEST_F(SimulatedUnitTest, RunModeAnswersEachCommandWithAFrameOfItsCode) {
  Start();
  auto port = OpenRun();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(Framed(kIdentify)));
  DeviceFrameSeen identify = ParseDeviceFrame(port->Read());
  ASSERT_TRUE(identify.ok);
  EXPECT_EQ(identify.code, kIdentify);
  EXPECT_EQ(identify.payload[0], 0x33);

  ASSERT_TRUE(port->Write(Framed(kVersionText)));
  DeviceFrameSeen version = ParseDeviceFrame(port->Read());
  EXPECT_EQ(std::string(version.payload.begin(), version.payload.end()), "KV-93T  012");

  const ParameterBlock& block = Unit().Parameters();
  for (uint8_t piece = 0; piece <= 10; ++piece) {
    ASSERT_TRUE(port->Write(Frame(kReadParameter, {piece})));
    DeviceFrameSeen answer = ParseDeviceFrame(port->Read());
    ASSERT_TRUE(answer.ok);
    ASSERT_EQ(answer.payload.size(), piece == 10 ? 17u : 51u);
    EXPECT_EQ(answer.payload[0], piece);
    EXPECT_TRUE(
        std::equal(answer.payload.begin() + 1, answer.payload.end(), block.begin() + piece * 50));
  }
  ASSERT_TRUE(port->Write(Frame(kCode1A, {1, 0, 1, 0})));
  EXPECT_EQ(ParseDeviceFrame(port->Read()).code, kCode1A);
  for (uint8_t code : {kCheckFailed, kKeepAlive, kCode04}) {
    ASSERT_TRUE(port->Write(Framed(code)));
    DeviceFrameSeen ack = ParseDeviceFrame(port->Read());
    EXPECT_TRUE(ack.ok);
    EXPECT_EQ(ack.code, code);
  }

  // Unknown codes and frames with a wrong checksum get no answer.
  ASSERT_TRUE(port->Write(Framed(0x77)));
  EXPECT_EQ(port->Read(kQuiet).status, HidReadStatus::kPending);
  Bytes broken = Framed(kIdentify);
  broken[broken.size() - 1] ^= 0x01;
  ASSERT_TRUE(port->Write(broken));
  EXPECT_EQ(port->Read(kQuiet).status, HidReadStatus::kPending);

  UnitVerdict verdict = Unit().Verdict();
  EXPECT_FALSE(verdict.clean);
  EXPECT_EQ(verdict.violation_count, 2u);
  EXPECT_TRUE(Mentions(verdict.lines, "run mode: unknown command 0x77"));
  EXPECT_TRUE(Mentions(verdict.lines, "run mode: frame checksum 0x10, expected 0x11"));
  EXPECT_EQ(verdict.run_commands[kReadParameter], 11u);
  EXPECT_EQ(verdict.run_commands[kIdentify], 1u);
}

TEST_F(SimulatedUnitTest, PersonalitySwitchesAreDetachPlusAttachUnderNewInstances) {
  DeviceChanges changes(bus_);
  Start();
  ASSERT_TRUE(changes.WaitFor(1));
  auto run = OpenRun();
  ASSERT_TRUE(run);
  ASSERT_TRUE(run->Write(Framed(kEnterUpdate)));
  DeviceFrameSeen ack = ParseDeviceFrame(run->Read());
  EXPECT_TRUE(ack.ok);
  EXPECT_EQ(ack.code, kEnterUpdate);
  ASSERT_TRUE(Unit().WaitForPersonality(Personality::kUpdate, kWait));
  EXPECT_TRUE(changes.WaitFor(3));              // attach, detach, attach
  EXPECT_FALSE(run->Write(Framed(kIdentify)));  // the run-mode device is gone

  auto update = OpenUpdate();
  ASSERT_TRUE(update);
  EXPECT_NE(update->instance_id, run->instance_id);
  // A new path in the other personality, the same port: that is what names the unit.
  EXPECT_NE(update->path, run->path);
  EXPECT_EQ(run->usb_port, "sim-1");
  EXPECT_EQ(update->usb_port, "sim-1");
  ASSERT_TRUE(update->Write(Framed(kIdentify)));  // a run-mode command in update mode
  EXPECT_EQ(update->Read(kQuiet).status, HidReadStatus::kPending);
  ASSERT_NO_FATAL_FAILURE(RunQueries(*update));
  ASSERT_TRUE(update->Write(Reset(2)));
  ASSERT_TRUE(Unit().WaitForPersonality(Personality::kRun, kWait));
  EXPECT_TRUE(changes.WaitFor(5));
  auto back = OpenRun();
  ASSERT_TRUE(back);
  EXPECT_NE(back->instance_id, run->instance_id);
  EXPECT_TRUE(Mentions(Unit().Violations(), "update mode: run-mode frame (command 0x10)"));
  EXPECT_TRUE(Mentions(Unit().Violations(), "update mode: reset out of order, after sync program"));
}

// The unit sends its answer to 0x08 before it leaves the bus: a host that reads
// on the handle stays answered however late it reads (here 300 ms, where the
// unit would otherwise be gone in 20 ms).
TEST_F(SimulatedUnitTest, LeavesForUpdateModeOnlyOnceTheHostHasReadItsAnswer) {
  Start();
  auto run = OpenRun();
  ASSERT_TRUE(run);
  ASSERT_TRUE(run->Write(Framed(kIdentify)));
  ASSERT_TRUE(ParseDeviceFrame(run->Read()).ok);  // the host reads on this handle
  ASSERT_TRUE(run->Write(Framed(kEnterUpdate)));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Unit().CurrentPersonality(), Personality::kRun);
  DeviceFrameSeen ack = ParseDeviceFrame(run->Read());
  EXPECT_TRUE(ack.ok);
  EXPECT_EQ(ack.code, kEnterUpdate);
  EXPECT_TRUE(Unit().WaitForPersonality(Personality::kUpdate, kWait));
}

// A host that stops reading does not keep the unit: it leaves within a second.
TEST_F(SimulatedUnitTest, LeavesForUpdateModeUnreadAfterASecond) {
  Start();
  auto run = OpenRun();
  ASSERT_TRUE(run);
  ASSERT_TRUE(run->Write(Framed(kIdentify)));
  ASSERT_TRUE(ParseDeviceFrame(run->Read()).ok);
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(run->Write(Framed(kEnterUpdate)));
  ASSERT_TRUE(Unit().WaitForPersonality(Personality::kUpdate, kWait));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 1000ms);
}

TEST_F(SimulatedUnitTest, BootLoaderAnswersIdAndConfigAndCountsPacketsFromItsReplies) {
  Start({"start=update"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(Connect()));
  ReadResult connect = port->Read();
  ASSERT_EQ(connect.bytes.size(), 65u);
  EXPECT_EQ(Echo(connect), 0x81u);
  EXPECT_EQ(Number(connect), 2u);
  ASSERT_TRUE(port->Write(Sync(2)));
  EXPECT_EQ(Number(port->Read()), 3u);
  ASSERT_TRUE(port->Write(FirmwareVersion(3)));
  EXPECT_EQ(Number(port->Read()), 4u);
  ASSERT_TRUE(port->Write(DeviceId(4)));
  ReadResult id = port->Read();
  EXPECT_EQ(ReplyField(id, 8), kSimDeviceId);
  ASSERT_TRUE(port->Write(ReadConfig(9)));  // not the last reply's number
  ReadResult config = port->Read();
  EXPECT_EQ(ReplyField(config, 8), kSimConfigWord0);
  EXPECT_EQ(ReplyField(config, 12), kSimConfigWord1);
  EXPECT_EQ(Number(config), 10u);
  EXPECT_EQ(
      Unit().Violations(),
      std::vector<std::string>{"update mode: read config carries packet number 9, expected 5"});
}

TEST_F(SimulatedUnitTest, WholeUpdateLeavesBothImagesInPlaceAndACleanVerdict) {
  Start({"start=update"});
  auto update = OpenUpdate();
  ASSERT_TRUE(update);
  ASSERT_NO_FATAL_FAILURE(ProgramFlash(*update));
  ASSERT_TRUE(Unit().WaitForPersonality(Personality::kRun, kWait));
  auto run = OpenRun();
  ASSERT_TRUE(run);
  ASSERT_NO_FATAL_FAILURE(DownloadDsp(*run, Unit().Key()));
  UnitVerdict verdict = Unit().Verdict();
  EXPECT_TRUE(verdict.UpdateComplete()) << verdict.Text();
  EXPECT_EQ(verdict.boot_requests[kProgramData], 1202u);
  EXPECT_EQ(verdict.run_commands[kDspBlock], 814u);
  EXPECT_TRUE(Mentions(verdict.lines, "flash: 67,324 bytes programmed, equal to the image"));
  auto reports = Unit().ReceivedReports();
  ASSERT_EQ(reports.size(), 7u + 1202u + 1u + 814u);
  EXPECT_EQ(reports.front().personality, Personality::kUpdate);
  EXPECT_EQ(reports.back().personality, Personality::kRun);
  EXPECT_EQ(reports.front().bytes[1], kConnect);
}

TEST_F(SimulatedUnitTest, VerdictCatchesOneCorruptedFlashByte) {
  Start({"start=update"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_NO_FATAL_FAILURE(ProgramFlash(*port, [](Bytes& request, int index) {
    if (index == 100) request[8 + 5] ^= 0x40;  // image byte 48 + 100 * 56 + 5
  }));
  UnitVerdict verdict = Unit().Verdict();
  EXPECT_FALSE(verdict.clean);
  EXPECT_FALSE(verdict.firmware_programmed);
  EXPECT_TRUE(Mentions(verdict.lines, "1 of 67,324 bytes differ from the image (0x01615"))
      << verdict.Text();
}

TEST_F(SimulatedUnitTest, VerdictCatchesOneWrongDspWordAndAWrongKey) {
  Start();
  auto port = OpenRun();
  ASSERT_TRUE(port);
  ASSERT_NO_FATAL_FAILURE(DownloadDsp(*port, Unit().Key(), [](Bytes& image) {
    image[4 + 4 * 1000 + 3] ^= 0x01;  // word 1000
  }));
  UnitVerdict one_word = Unit().Verdict();
  EXPECT_FALSE(one_word.dsp_loaded);
  EXPECT_TRUE(Mentions(one_word.lines, "DSP: 1 of 6,510 words differ from the program (word 1000"))
      << one_word.Text();

  ASSERT_NO_FATAL_FAILURE(DownloadDsp(*port, Unit().Key() ^ 0x00000100));
  UnitVerdict wrong_key = Unit().Verdict();
  EXPECT_FALSE(wrong_key.dsp_loaded);
  EXPECT_TRUE(Mentions(wrong_key.lines, "6,510 of 6,510 words differ")) << wrong_key.Text();
  EXPECT_TRUE(Mentions(wrong_key.lines, "DSP: header length")) << wrong_key.Text();

  // Words sent least significant byte first: the header still adds up, the words do not.
  ASSERT_NO_FATAL_FAILURE(DownloadDsp(*port, Unit().Key(), [](Bytes& image) {
    for (size_t at = 4; at + 4 <= image.size(); at += 4) {
      std::reverse(image.begin() + static_cast<long>(at),
                   image.begin() + static_cast<long>(at) + 4);
    }
  }));
  UnitVerdict swapped = Unit().Verdict();
  EXPECT_FALSE(swapped.dsp_loaded);
  EXPECT_TRUE(Mentions(swapped.lines, "words differ from the program")) << swapped.Text();
  EXPECT_FALSE(Mentions(swapped.lines, "DSP: header")) << swapped.Text();

  ASSERT_NO_FATAL_FAILURE(DownloadDsp(*port, Unit().Key()));
  EXPECT_TRUE(Unit().Verdict().dsp_loaded);
}

TEST_F(SimulatedUnitTest, VerdictCatchesAnOutOfOrderRequest) {
  Start({"start=update"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(Connect()));
  port->Read();
  ASSERT_TRUE(port->Write(ReadConfig(2)));
  EXPECT_EQ(port->Read().status, HidReadStatus::kCompleted);  // answered all the same
  UnitVerdict verdict = Unit().Verdict();
  EXPECT_FALSE(verdict.clean);
  EXPECT_TRUE(Mentions(verdict.lines, "update mode: read config out of order, after connect"));
}

TEST_F(SimulatedUnitTest, NoReplySkipsOnlyTheChosenOccurrence) {
  Start({"fault=no-reply@cmd:0x12:2", "fault=no-reply@param:3", "fault=no-reply@connect"});
  auto port = OpenRun();
  ASSERT_TRUE(port);
  for (int round = 1; round <= 3; ++round) {
    ASSERT_TRUE(port->Write(Framed(kKeepAlive)));
    EXPECT_EQ(port->Read(round == 2 ? kQuiet : kWait).status,
              round == 2 ? HidReadStatus::kPending : HidReadStatus::kCompleted)
        << "keep-alive " << round;
  }
  bool param_fault_pending = true;
  for (uint8_t piece : {2, 3, 4, 3}) {
    ASSERT_TRUE(port->Write(Frame(kReadParameter, {piece})));
    bool silent = piece == 3 && param_fault_pending;
    if (silent) param_fault_pending = false;
    EXPECT_EQ(port->Read(silent ? kQuiet : kWait).status,
              silent ? HidReadStatus::kPending : HidReadStatus::kCompleted);
  }
  UnitVerdict verdict = Unit().Verdict();
  EXPECT_TRUE(verdict.clean) << verdict.Text();  // injected faults are not the host's fault
  EXPECT_TRUE(Mentions(verdict.lines, "fault injected: no-reply@cmd:0x12:2"));
  EXPECT_TRUE(Mentions(verdict.lines, "fault injected: no-reply@param:3"));
  EXPECT_EQ(Unit().UnfiredFaults(), 1u);
}

TEST_F(SimulatedUnitTest, BadEchoSpoilsTheCheckValueOfEitherPersonality) {
  Start({"fault=bad-echo@cmd:0x13", "fault=bad-echo@connect"});
  auto run = OpenRun();
  ASSERT_TRUE(run);
  ASSERT_TRUE(run->Write(Framed(kVersionText)));
  DeviceFrameSeen version = ParseDeviceFrame(run->Read());
  EXPECT_FALSE(version.ok);
  EXPECT_EQ(version.code, kVersionText);

  ASSERT_TRUE(run->Write(Framed(kEnterUpdate)));
  auto update = OpenUpdate();
  ASSERT_TRUE(update);
  ASSERT_TRUE(update->Write(Connect()));
  EXPECT_EQ(Echo(update->Read()), 0x82u);
  ASSERT_TRUE(update->Write(Connect()));
  EXPECT_EQ(Echo(update->Read()), 0x81u);
}

TEST_F(SimulatedUnitTest, UnplugDetachesInsteadOfAnsweringAndReplugReturns) {
  Start({"start=update", "fault=unplug@device-id", "replug-ms=20"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(Connect()));
  port->Read();
  ASSERT_TRUE(port->Write(DeviceId(2)));
  ReadResult gone = port->Read();
  EXPECT_EQ(gone.status, HidReadStatus::kGone);
  EXPECT_EQ(gone.error, 1167u);
  ASSERT_TRUE(Unit().WaitForPersonality(Personality::kUpdate, kWait));
  auto again = OpenUpdate();
  ASSERT_TRUE(again);
  EXPECT_NE(again->instance_id, port->instance_id);
}

TEST_F(SimulatedUnitTest, DuplicateAndGarbageAddReportsAroundTheAnswer) {
  Start({"start=update", "fault=duplicate@connect", "fault=garbage@sync-package"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(Connect()));
  ReadResult first = port->Read();
  ReadResult second = port->Read();
  EXPECT_EQ(first.bytes, second.bytes);
  EXPECT_EQ(Echo(second), 0x81u);
  ASSERT_TRUE(port->Write(Sync(2)));
  ReadResult garbage = port->Read();
  ReadResult answer = port->Read();
  EXPECT_EQ(garbage.bytes.size(), 65u);
  EXPECT_NE(garbage.bytes, answer.bytes);
  EXPECT_EQ(Echo(answer), Sum(Sync(2)));
}

TEST_F(SimulatedUnitTest, ShortAndOversizeAnswersSayWhatTheyClaim) {
  Start({"fault=short@cmd:0x10", "fault=short:8@param:2", "fault=oversize@cmd:0x13",
         "fault=short:2@connect", "fault=oversize:200@sync-package"});
  auto run = OpenRun();
  ASSERT_TRUE(run);
  ASSERT_TRUE(run->Write(Framed(kIdentify)));
  DeviceFrameSeen identify = ParseDeviceFrame(run->Read());
  EXPECT_TRUE(identify.ok);
  EXPECT_TRUE(identify.payload.empty());
  ASSERT_TRUE(run->Write(Frame(kReadParameter, {2})));
  EXPECT_EQ(ParseDeviceFrame(run->Read()).payload.size(), 8u);
  ASSERT_TRUE(run->Write(Framed(kVersionText)));
  ReadResult oversize = run->Read();
  EXPECT_EQ(oversize.bytes[1 + 4], 57);
  EXPECT_EQ(oversize.bytes[1 + 5], kVersionText);

  ASSERT_TRUE(run->Write(Framed(kEnterUpdate)));
  auto update = OpenUpdate();
  ASSERT_TRUE(update);
  ASSERT_TRUE(update->Write(Connect()));
  ReadResult short_reply = update->Read();
  EXPECT_EQ(short_reply.bytes.size(), 1u + 4u + 2u);
  ASSERT_TRUE(update->Write(Sync(2)));
  ReadResult frame = update->Read();
  EXPECT_EQ(std::vector<uint8_t>(frame.bytes.begin() + 1, frame.bytes.begin() + 6),
            (std::vector<uint8_t>{0x10, 0x02, 0x01, 0x00, 200}));
}

TEST_F(SimulatedUnitTest, ReadErrorFailsOneReadAndTheAnswerFollows) {
  Start({"fault=read-error@cmd:0x10"});
  auto port = OpenRun();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(Framed(kIdentify)));
  ReadResult failed = port->Read();
  EXPECT_EQ(failed.status, HidReadStatus::kFailed);
  EXPECT_EQ(failed.error, 31u);
  EXPECT_EQ(ParseDeviceFrame(port->Read()).code, kIdentify);
}

TEST_F(SimulatedUnitTest, EarlySkipsTheEraseTimeAndLateHoldsTheAnswerBack) {
  Start({"start=update", "erase-ms=4000", "fault=early@start-program", "fault=late:300@connect"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(Connect()));
  EXPECT_EQ(port->Read(kQuiet).status, HidReadStatus::kPending);
  EXPECT_EQ(Echo(port->Read()), 0x81u);
  std::vector<uint8_t> image(100, 0x5A);
  ASSERT_TRUE(port->Write(StartProgram(3, 100, image)));
  // Well inside the 4000 ms erase the unit would otherwise take.
  EXPECT_EQ(port->Read(2000ms).status, HidReadStatus::kCompleted);
}

// The queries to "sync program", each sent `gap` after the previous reply.
void QueriesSpacedBy(HostPort& port, std::chrono::milliseconds gap) {
  for (const Bytes& request :
       {Connect(), Sync(2), FirmwareVersion(3), DeviceId(4), ReadConfig(5), Sync(1)}) {
    ASSERT_TRUE(port.Write(request));
    ASSERT_EQ(port.Read().status, HidReadStatus::kCompleted);
    std::this_thread::sleep_for(gap);
  }
}

TEST_F(SimulatedUnitTest, RequestsSoonerThanTheArmingAreCountedAsPacingViolations) {
  Start({"start=update", "pace=1"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  // More than the 20 ms the host keeps after each of the first steps.
  ASSERT_NO_FATAL_FAILURE(QueriesSpacedBy(*port, 30ms));
  EXPECT_TRUE(Unit().Violations().empty()) << Unit().Verdict().Text();

  std::vector<uint8_t> image(48 + 56 * 3, 0x5A);
  ASSERT_TRUE(port->Write(StartProgram(3, static_cast<uint32_t>(image.size()), image)));
  ReadResult reply = port->Read();
  ASSERT_EQ(reply.status, HidReadStatus::kCompleted);
  // The reply to "start program" comes after the 5 ms erase, but the host must
  // hold back for 1000 ms: this packet is far too soon.
  ASSERT_TRUE(port->Write(DataPacket(Number(reply) + 1, image, 48)));
  reply = port->Read();
  std::this_thread::sleep_for(30ms);  // the 20 ms of a packet with more behind it: kept
  ASSERT_TRUE(port->Write(DataPacket(Number(reply) + 1, image, 104)));
  port->Read();

  UnitVerdict verdict = Unit().Verdict();
  EXPECT_FALSE(verdict.clean);
  EXPECT_EQ(verdict.pacing_violations, 1u) << verdict.Text();
  EXPECT_EQ(verdict.violation_count, 1u) << verdict.Text();
  EXPECT_EQ(verdict.lines.front(), "verdict: NOT clean");
  EXPECT_TRUE(Mentions(verdict.lines, "pacing: 1 boot-loader requests sooner than the host's"))
      << verdict.Text();
  EXPECT_TRUE(Mentions(verdict.lines, "update mode: data packet 0 "));
  EXPECT_TRUE(Mentions(verdict.lines, " ms after start program, sooner than its 1000.0 ms arming"))
      << verdict.Text();
}

TEST_F(SimulatedUnitTest, ADividedPaceDividesTheArmingAndIsNamedInTheVerdict) {
  Start({"start=update", "pace=2"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_NO_FATAL_FAILURE(QueriesSpacedBy(*port, 15ms));  // 20 / 2 = 10 ms is the least
  std::vector<uint8_t> image(48 + 56 * 3, 0x5A);
  ASSERT_TRUE(port->Write(StartProgram(3, static_cast<uint32_t>(image.size()), image)));
  ReadResult reply = port->Read();
  ASSERT_TRUE(port->Write(DataPacket(Number(reply) + 1, image, 48)));  // well inside 500 ms
  port->Read();

  UnitVerdict verdict = Unit().Verdict();
  EXPECT_EQ(verdict.pace_divisor, 2);
  EXPECT_EQ(verdict.pacing_violations, 1u) << verdict.Text();
  EXPECT_TRUE(Mentions(verdict.lines, "sooner than its 500.0 ms arming")) << verdict.Text();
  EXPECT_EQ(verdict.lines.front(),
            "verdict: NOT clean, at pace 1/2 (the boot loader's minimum intervals divided by 2)");
}

TEST_F(SimulatedUnitTest, AbsentUnitPlugsInLaterAndSeveralUnitsAreDistinct) {
  Start({"start=absent", "attach-ms=300", "units=2"});
  EXPECT_EQ(setup_->UnitCount(), 2u);
  EXPECT_EQ(Unit().CurrentPersonality(), Personality::kDetached);
  ASSERT_TRUE(setup_->Unit(0).WaitForPersonality(Personality::kRun, kWait));
  ASSERT_TRUE(setup_->Unit(1).WaitForPersonality(Personality::kRun, kWait));
  std::vector<hid::HidInterfaceInfo> interfaces = bus_.EnumerateInterfaces();
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_NE(interfaces[0].instance_id, interfaces[1].instance_id);
  const std::set<std::string> ports{interfaces[0].port, interfaces[1].port};
  EXPECT_EQ(ports, (std::set<std::string>{"sim-1", "sim-2"}));
  EXPECT_TRUE(setup_->AllClean());
  EXPECT_FALSE(setup_->AllUpdated());
  // A clean verdict at a divided pace says so: it is never plainly "clean".
  EXPECT_NE(setup_->VerdictText().find("unit 2: verdict: clean, at pace 1/1000 (the boot "
                                       "loader's minimum intervals divided by 1000)\n"),
            std::string::npos)
      << setup_->VerdictText();
}

}  // namespace
}  // namespace kv::sim
