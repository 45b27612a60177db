// The simulated unit on the simulated HID bus, driven through the bus's handles
// exactly as a host program reaches a real unit. Every wait is bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/isp_report.h"
#include "hid/sim_bus.h"
#include "image/dsp_image.h"
#include "link/lcmd.h"
#include "sim/device_frame.h"
#include "sim/simulated_setup.h"

namespace kv::sim {
namespace {

using namespace std::chrono_literals;
using hid::HidReadStatus;
using hid::SimulatedHidBus;

// Bound for anything that is expected to happen.
constexpr auto kWait = 5000ms;
// How long a test watches for an answer that must not come.
constexpr auto kQuiet = 150ms;
constexpr int kReadSliceMs = 10;

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
  bool Write(const ByteBuffer& data) { return Write(data.vector()); }
  bool Write(const IspRequest& request) {
    return Write(std::vector<uint8_t>(request.begin(), request.begin() + 64));
  }

  ReadResult Read(std::chrono::milliseconds limit = kWait) {
    ReadResult result;
    uint8_t buffer[65];
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      size_t transferred = 0;
      result.status = handle->Read(buffer, sizeof buffer, kReadSliceMs, transferred, result.error);
      if (result.status == HidReadStatus::kCompleted && transferred > 0) {
        result.bytes.assign(buffer, buffer + transferred);
        return result;
      }
      if (result.status == HidReadStatus::kFailed) return result;
    }
    result.status = HidReadStatus::kPending;
    return result;
  }

  std::unique_ptr<hid::HidHandle> handle;
  std::string instance_id;
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

uint32_t Echo(const ReadResult& read) {
  return ReadLe32(std::span(read.bytes).subspan(1), 0).value_or(0xFFFFFFFF);
}
uint32_t Number(const ReadResult& read) {
  return ReadLe32(std::span(read.bytes).subspan(1), 4).value_or(0xFFFFFFFF);
}

ByteBuffer Framed(uint8_t code) {
  return BuildFrame(TCmdPacket(1, code), pkFramed);
}

bool Mentions(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// Changes a request on its way out: (request, data packet index or -1).
using Tamper = std::function<void(IspRequest&, int)>;

class SimulatedUnitTest : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& settings = {}) {
    std::string error;
    ASSERT_TRUE(ApplySimOptions(
        {"usb-ms=0", "reply-ms=0", "erase-ms=5", "reenum-ms=5", "attach-ms=5"}, options_, error));
    ASSERT_TRUE(ApplySimOptions(settings, options_, error)) << error;
    setup_ = std::make_unique<SimulatedSetup>(bus_, options_);
  }

  std::unique_ptr<HostPort> OpenRun() { return HostPort::Open(bus_, kRunProductId); }
  std::unique_ptr<HostPort> OpenUpdate() { return HostPort::Open(bus_, kUpdateProductId); }
  SimulatedUnit& Unit() { return setup_->Unit(0); }

  // Connect to sync program; each reply's echo and number checked.
  void RunQueries(HostPort& port) {
    const IspRequest requests[] = {
        BuildConnectRequest(),      BuildSyncPackageRequest(2), BuildGetFirmwareVersionRequest(3),
        BuildGetDeviceIdRequest(4), BuildReadConfigRequest(5),  BuildSyncProgramRequest()};
    for (const IspRequest& request : requests) {
      ASSERT_TRUE(port.Write(request));
      ReadResult reply = port.Read();
      ASSERT_EQ(reply.status, HidReadStatus::kCompleted);
      EXPECT_EQ(Echo(reply), RequestSum(request));
      EXPECT_EQ(Number(reply), request[4] + 1u);
    }
  }

  // A whole programming of the embedded image, ending with reset.
  void ProgramFlash(HostPort& port, const Tamper& tamper = {}) {
    ASSERT_NO_FATAL_FAILURE(RunQueries(port));
    const std::vector<uint8_t>& image = EmbeddedReferenceFirmware().mcu_image;
    int32_t length = static_cast<int32_t>(image.size());
    IspRequest start = BuildStartProgramRequest(3, length, image);
    if (tamper) tamper(start, -1);
    ASSERT_TRUE(port.Write(start));
    ReadResult reply = port.Read();
    ASSERT_EQ(Echo(reply), RequestSum(start));
    uint32_t number = Number(reply);
    int32_t offset = 48;
    for (int index = 0; offset < length; ++index) {
      IspDataPacket packet =
          BuildProgramDataRequest(static_cast<int32_t>(number + 1), image, length, offset);
      offset += packet.BytesCopied;
      if (tamper) tamper(packet.Request, index);
      ASSERT_TRUE(port.Write(packet.Request));
      reply = port.Read();
      ASSERT_EQ(Echo(reply), RequestSum(packet.Request)) << "data packet " << index;
      number = Number(reply);
    }
    ASSERT_TRUE(port.Write(BuildMcuResetRequest(static_cast<int32_t>(number + 1))));
  }

  // The whole DSP program, chunk by chunk, each answered with code 0x53.
  void DownloadDsp(HostPort& port, uint32_t key,
                   const std::function<void(FirmwareImage&)>& tamper = {}) {
    auto image = std::make_unique<FirmwareImage>();
    ASSERT_TRUE(PrepareDspImage(*image));
    if (tamper) tamper(*image);
    for (int32_t chunk = 0; chunk <= DspLastChunk(image->ImageByteCount); ++chunk) {
      std::optional<TCmdPacket> packet = BuildDspChunk(*image, chunk, key);
      ASSERT_TRUE(packet);
      ASSERT_TRUE(port.Write(BuildFrame(*packet, pkFramed)));
      DeviceFrameSeen answer = ParseDeviceFrame(port.Read());
      ASSERT_TRUE(answer.ok) << "chunk " << chunk;
      ASSERT_EQ(answer.code, cmdDspBlock);
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
  ASSERT_TRUE(port->Write(Framed(cmdIdentify)));
  DeviceFrameSeen identify = ParseDeviceFrame(port->Read());
  ASSERT_TRUE(identify.ok);
  EXPECT_EQ(identify.code, cmdIdentify);
  EXPECT_EQ(identify.payload[0], 0x33);

  ASSERT_TRUE(port->Write(Framed(cmdVersionText)));
  DeviceFrameSeen version = ParseDeviceFrame(port->Read());
  EXPECT_EQ(std::string(version.payload.begin(), version.payload.end()), "KV-93T  012");

  const ParameterBlock& block = Unit().Parameters();
  for (uint8_t piece = 0; piece <= 10; ++piece) {
    ASSERT_TRUE(port->Write(BuildFrame(TCmdPacket(1, cmdReadParameter, piece), pkFramed)));
    DeviceFrameSeen answer = ParseDeviceFrame(port->Read());
    ASSERT_TRUE(answer.ok);
    ASSERT_EQ(answer.payload.size(), piece == 10 ? 17u : 51u);
    EXPECT_EQ(answer.payload[0], piece);
    EXPECT_TRUE(
        std::equal(answer.payload.begin() + 1, answer.payload.end(), block.begin() + piece * 50));
  }
  ASSERT_TRUE(port->Write(BuildFrame(TCmdPacket(1, cmdCode1A, 1, 0, 1, 0), pkFramed)));
  EXPECT_EQ(ParseDeviceFrame(port->Read()).code, cmdCode1A);
  for (uint8_t code : {cmdCheckFailed, cmdKeepAlive, cmdCode04}) {
    ASSERT_TRUE(port->Write(Framed(code)));
    DeviceFrameSeen ack = ParseDeviceFrame(port->Read());
    EXPECT_TRUE(ack.ok);
    EXPECT_EQ(ack.code, code);
  }

  // Unknown codes and frames with a wrong checksum get no answer.
  ASSERT_TRUE(port->Write(Framed(0x77)));
  EXPECT_EQ(port->Read(kQuiet).status, HidReadStatus::kPending);
  ByteBuffer broken = Framed(cmdIdentify);
  broken[broken.size() - 1] ^= 0x01;
  ASSERT_TRUE(port->Write(broken));
  EXPECT_EQ(port->Read(kQuiet).status, HidReadStatus::kPending);

  UnitVerdict verdict = Unit().Verdict();
  EXPECT_FALSE(verdict.clean);
  EXPECT_EQ(verdict.violation_count, 2u);
  EXPECT_TRUE(Mentions(verdict.lines, "run mode: unknown command 0x77"));
  EXPECT_TRUE(Mentions(verdict.lines, "run mode: frame checksum 0x10, expected 0x11"));
  EXPECT_EQ(verdict.run_commands[cmdReadParameter], 11u);
  EXPECT_EQ(verdict.run_commands[cmdIdentify], 1u);
}

TEST_F(SimulatedUnitTest, PersonalitySwitchesAreDetachPlusAttachUnderNewInstances) {
  DeviceChanges changes(bus_);
  Start();
  ASSERT_TRUE(changes.WaitFor(1));
  auto run = OpenRun();
  ASSERT_TRUE(run);
  ASSERT_TRUE(run->Write(Framed(cmdEnterUpdate)));
  DeviceFrameSeen ack = ParseDeviceFrame(run->Read());
  EXPECT_TRUE(ack.ok);
  EXPECT_EQ(ack.code, cmdEnterUpdate);
  ASSERT_TRUE(Unit().WaitForPersonality(Personality::kUpdate, kWait));
  EXPECT_TRUE(changes.WaitFor(3));                // attach, detach, attach
  EXPECT_FALSE(run->Write(Framed(cmdIdentify)));  // the run-mode device is gone

  auto update = OpenUpdate();
  ASSERT_TRUE(update);
  EXPECT_NE(update->instance_id, run->instance_id);
  ASSERT_TRUE(update->Write(Framed(cmdIdentify)));  // a run-mode command in update mode
  EXPECT_EQ(update->Read(kQuiet).status, HidReadStatus::kPending);
  ASSERT_NO_FATAL_FAILURE(RunQueries(*update));
  ASSERT_TRUE(update->Write(BuildMcuResetRequest(2)));
  ASSERT_TRUE(Unit().WaitForPersonality(Personality::kRun, kWait));
  EXPECT_TRUE(changes.WaitFor(5));
  auto back = OpenRun();
  ASSERT_TRUE(back);
  EXPECT_NE(back->instance_id, run->instance_id);
  EXPECT_TRUE(Mentions(Unit().Violations(), "update mode: run-mode frame (command 0x10)"));
  EXPECT_TRUE(Mentions(Unit().Violations(), "update mode: reset out of order, after sync program"));
}

TEST_F(SimulatedUnitTest, BootLoaderAnswersIdAndConfigAndCountsPacketsFromItsReplies) {
  Start({"start=update"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(BuildConnectRequest()));
  ReadResult connect = port->Read();
  ASSERT_EQ(connect.bytes.size(), 65u);
  EXPECT_EQ(Echo(connect), 0x81u);
  EXPECT_EQ(Number(connect), 2u);
  ASSERT_TRUE(port->Write(BuildSyncPackageRequest(2)));
  EXPECT_EQ(Number(port->Read()), 3u);
  ASSERT_TRUE(port->Write(BuildGetFirmwareVersionRequest(3)));
  EXPECT_EQ(Number(port->Read()), 4u);
  ASSERT_TRUE(port->Write(BuildGetDeviceIdRequest(4)));
  ReadResult id = port->Read();
  EXPECT_EQ(ReadLe32(std::span(id.bytes).subspan(1), 8), kSimDeviceId);
  ASSERT_TRUE(port->Write(BuildReadConfigRequest(9)));  // not the last reply's number
  ReadResult config = port->Read();
  EXPECT_EQ(ReadLe32(std::span(config.bytes).subspan(1), 8), kSimConfigWord0);
  EXPECT_EQ(ReadLe32(std::span(config.bytes).subspan(1), 12), kSimConfigWord1);
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
  EXPECT_EQ(verdict.boot_requests[ispProgramData], 1202u);
  EXPECT_EQ(verdict.run_commands[cmdDspBlock], 814u);
  EXPECT_TRUE(Mentions(verdict.lines, "flash: 67,324 bytes programmed, equal to the image"));
  auto reports = Unit().ReceivedReports();
  ASSERT_EQ(reports.size(), 7u + 1202u + 1u + 814u);
  EXPECT_EQ(reports.front().personality, Personality::kUpdate);
  EXPECT_EQ(reports.back().personality, Personality::kRun);
  EXPECT_EQ(reports.front().bytes[1], ispConnect);
}

TEST_F(SimulatedUnitTest, VerdictCatchesOneCorruptedFlashByte) {
  Start({"start=update"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_NO_FATAL_FAILURE(ProgramFlash(*port, [](IspRequest& request, int index) {
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
  ASSERT_NO_FATAL_FAILURE(DownloadDsp(*port, Unit().Key(), [](FirmwareImage& image) {
    image.ImageBuffer[4 + 4 * 1000 + 3] ^= 0x01;  // word 1000
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

  ASSERT_NO_FATAL_FAILURE(DownloadDsp(*port, Unit().Key()));
  EXPECT_TRUE(Unit().Verdict().dsp_loaded);
}

TEST_F(SimulatedUnitTest, VerdictCatchesAnOutOfOrderRequest) {
  Start({"start=update"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(BuildConnectRequest()));
  port->Read();
  ASSERT_TRUE(port->Write(BuildReadConfigRequest(2)));
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
    ASSERT_TRUE(port->Write(Framed(cmdKeepAlive)));
    EXPECT_EQ(port->Read(round == 2 ? kQuiet : kWait).status,
              round == 2 ? HidReadStatus::kPending : HidReadStatus::kCompleted)
        << "keep-alive " << round;
  }
  bool param_fault_pending = true;
  for (uint8_t piece : {2, 3, 4, 3}) {
    ASSERT_TRUE(port->Write(BuildFrame(TCmdPacket(1, cmdReadParameter, piece), pkFramed)));
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
  ASSERT_TRUE(run->Write(Framed(cmdVersionText)));
  DeviceFrameSeen version = ParseDeviceFrame(run->Read());
  EXPECT_FALSE(version.ok);
  EXPECT_EQ(version.code, cmdVersionText);

  ASSERT_TRUE(run->Write(Framed(cmdEnterUpdate)));
  auto update = OpenUpdate();
  ASSERT_TRUE(update);
  ASSERT_TRUE(update->Write(BuildConnectRequest()));
  EXPECT_EQ(Echo(update->Read()), 0x82u);
  ASSERT_TRUE(update->Write(BuildConnectRequest()));
  EXPECT_EQ(Echo(update->Read()), 0x81u);
}

TEST_F(SimulatedUnitTest, UnplugDetachesInsteadOfAnsweringAndReplugReturns) {
  Start({"start=update", "fault=unplug@device-id", "replug-ms=20"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(BuildConnectRequest()));
  port->Read();
  ASSERT_TRUE(port->Write(BuildGetDeviceIdRequest(2)));
  ReadResult gone = port->Read();
  EXPECT_EQ(gone.status, HidReadStatus::kFailed);
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
  ASSERT_TRUE(port->Write(BuildConnectRequest()));
  ReadResult first = port->Read();
  ReadResult second = port->Read();
  EXPECT_EQ(first.bytes, second.bytes);
  EXPECT_EQ(Echo(second), 0x81u);
  ASSERT_TRUE(port->Write(BuildSyncPackageRequest(2)));
  ReadResult garbage = port->Read();
  ReadResult answer = port->Read();
  EXPECT_EQ(garbage.bytes.size(), 65u);
  EXPECT_NE(garbage.bytes, answer.bytes);
  EXPECT_EQ(Echo(answer), RequestSum(BuildSyncPackageRequest(2)));
}

TEST_F(SimulatedUnitTest, ShortAndOversizeAnswersSayWhatTheyClaim) {
  Start({"fault=short@cmd:0x10", "fault=short:8@param:2", "fault=oversize@cmd:0x13",
         "fault=short:2@connect", "fault=oversize:200@sync-package"});
  auto run = OpenRun();
  ASSERT_TRUE(run);
  ASSERT_TRUE(run->Write(Framed(cmdIdentify)));
  DeviceFrameSeen identify = ParseDeviceFrame(run->Read());
  EXPECT_TRUE(identify.ok);
  EXPECT_TRUE(identify.payload.empty());
  ASSERT_TRUE(run->Write(BuildFrame(TCmdPacket(1, cmdReadParameter, 2), pkFramed)));
  EXPECT_EQ(ParseDeviceFrame(run->Read()).payload.size(), 8u);
  ASSERT_TRUE(run->Write(Framed(cmdVersionText)));
  ReadResult oversize = run->Read();
  EXPECT_EQ(oversize.bytes[1 + 4], 57);
  EXPECT_EQ(oversize.bytes[1 + 5], cmdVersionText);

  ASSERT_TRUE(run->Write(Framed(cmdEnterUpdate)));
  auto update = OpenUpdate();
  ASSERT_TRUE(update);
  ASSERT_TRUE(update->Write(BuildConnectRequest()));
  ReadResult short_reply = update->Read();
  EXPECT_EQ(short_reply.bytes.size(), 1u + 4u + 2u);
  ASSERT_TRUE(update->Write(BuildSyncPackageRequest(2)));
  ReadResult frame = update->Read();
  EXPECT_EQ(std::vector<uint8_t>(frame.bytes.begin() + 1, frame.bytes.begin() + 6),
            (std::vector<uint8_t>{0x10, 0x02, 0x01, 0x00, 200}));
}

TEST_F(SimulatedUnitTest, ReadErrorFailsOneReadAndTheAnswerFollows) {
  Start({"fault=read-error@cmd:0x10"});
  auto port = OpenRun();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(Framed(cmdIdentify)));
  ReadResult failed = port->Read();
  EXPECT_EQ(failed.status, HidReadStatus::kFailed);
  EXPECT_EQ(failed.error, 31u);
  EXPECT_EQ(ParseDeviceFrame(port->Read()).code, cmdIdentify);
}

TEST_F(SimulatedUnitTest, EarlySkipsTheEraseTimeAndLateHoldsTheAnswerBack) {
  Start({"start=update", "erase-ms=4000", "fault=early@start-program", "fault=late:300@connect"});
  auto port = OpenUpdate();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Write(BuildConnectRequest()));
  EXPECT_EQ(port->Read(kQuiet).status, HidReadStatus::kPending);
  EXPECT_EQ(Echo(port->Read()), 0x81u);
  std::vector<uint8_t> image(100, 0x5A);
  ASSERT_TRUE(port->Write(BuildStartProgramRequest(3, 100, image)));
  // Well inside the 4000 ms erase the unit would otherwise take.
  EXPECT_EQ(port->Read(2000ms).status, HidReadStatus::kCompleted);
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
  EXPECT_TRUE(setup_->AllClean());
  EXPECT_FALSE(setup_->AllUpdated());
  EXPECT_NE(setup_->VerdictText().find("unit 2: verdict: clean"), std::string::npos);
}

}  // namespace
}  // namespace kv::sim
