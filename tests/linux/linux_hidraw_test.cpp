// The production Linux binding over an emulated hidraw unit (umockdev): the
// same TfmIsp, controller and read thread as for a user's unit; only the
// nodes, sysfs and uevents are the testbed's, and the unit behind the node is
// the simulated one. Run under umockdev-wrapper. Every wait is bounded and a
// watchdog ends a test that hangs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/cli_options.h"
#include "app/cli/exit_codes.h"
#include "app/cli/tool_modes.h"
#include "app/isp.h"
#include "app/isp_application.h"
#include "diag/diag_windows.h"
#include "hid/hid_platform.h"
#include "hidraw_testbed.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"
#include "watchdog.h"

namespace kv::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kEventLimit = 20s;
constexpr auto kChainLimit = 120s;
constexpr auto kTestLimit = 240s;

// From the unit's description: 1,202 data packets of the embedded image and
// 814 DSP chunks; the texts the window shows.
constexpr uint32_t kDataPackets = 1202;
constexpr uint32_t kDspChunks = 814;
constexpr uint8_t kBootProgramData = 0x00;
constexpr uint8_t kRunDspBlock = 0x53;
constexpr uint8_t kRunClosingCommand = 0x04;
constexpr const char* kProgramOk = " Program OK !! ";
constexpr const char* kWrongUnitType = " Wrong Uint Type !! ";
constexpr const char* kReadErrorPrefix = "READ ERROR: ";
constexpr const char* kRunPanel = "Detect Run HID";
constexpr const char* kUpdatePanel = "Detect Update HID";
constexpr const char* kNoDevicePanel = "No Device";

// The window's timers run at a tenth of their length here.
constexpr int kTimingDivisor = 10;

// A unit that answers at once and expects the tool's shortened pacing; what
// is tested here is the road, not the pace.
std::vector<std::string> FastUnit(std::vector<std::string> more = {}) {
  std::vector<std::string> settings{"usb-ms=0",     "reply-ms=0",    "erase-ms=5",
                                    "reenum-ms=20", "attach-ms=200", "pace=10"};
  settings.insert(settings.end(), more.begin(), more.end());
  return settings;
}

// The window on the system's HID platform, with scripted message boxes.
class LinuxTool {
 public:
  LinuxTool() : root_(Options(*this)) {
    // Shown, so that the traffic is kept for the account of a failure.
    root_.HidData().Show();
    Isp().sbStatus.Subscribe([this](toolkit::Change change) {
      if (change != toolkit::Change::kPanel) return;
      const std::string panel = Isp().sbStatus.PanelText(1);
      if (panels.empty() || panels.back() != panel) panels.push_back(panel);
    });
  }

  TfmIsp& Isp() { return *root_.MainWindow(); }
  bool RunUntil(const std::function<bool()>& done, Clock::duration limit = kEventLimit) {
    return root_.Loop().RunUntil(done, limit);
  }
  void RunFor(Clock::duration span) {
    root_.Loop().RunUntil([] { return false; }, span);
  }
  bool WaitUntilReady() {
    return RunUntil(
        [this] { return Isp().HeldDevice != nullptr && Isp().btnStartProgram.Enabled(); });
  }
  void ClickStartProgram() {
    root_.Loop().Post([this] { Isp().btnStartProgram.Click(); });
  }
  bool WaitForBox(const std::string& text, Clock::duration limit = kEventLimit) {
    return RunUntil(
        [this, &text] {
          const auto& shown = boxes_->Boxes();
          return std::any_of(shown.begin(), shown.end(),
                             [&text](const auto& box) { return box.text == text; });
        },
        limit);
  }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : boxes_->Boxes()) texts.push_back(box.text);
    return texts;
  }
  int ReadErrorBoxes() const {
    const auto& shown = boxes_->Boxes();
    return static_cast<int>(std::count_if(shown.begin(), shown.end(), [](const auto& box) {
      return box.text.rfind(kReadErrorPrefix, 0) == 0;
    }));
  }

  // The last reports both ways, as the traffic window lists them.
  std::string RecentTraffic(size_t count = 12) const {
    const std::vector<std::string>& lines = root_.HidData().hbHidData.Items();
    std::string text;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
      text += "  " + lines[i] + "\n";
    return text;
  }

  std::vector<std::string> panels;  // panel 1 as it changed
  std::vector<std::string> exceptions;

 private:
  // The system's platform, timers at a tenth, boxes that close after 10 ms.
  static TIspApplicationOptions Options(LinuxTool& tool) {
    TIspApplicationOptions options;
    options.Timing = TIspTiming{}.Scaled(kTimingDivisor);
    options.CreateMessageBoxes = [&tool](toolkit::EventLoop& loop) {
      auto boxes = std::make_unique<toolkit::ScriptedMessageBoxes>(loop, 10ms);
      tool.boxes_ = boxes.get();
      return boxes;
    };
    options.ExceptionBox = [&tool](const std::string& text) { tool.exceptions.push_back(text); };
    return options;
  }

  toolkit::ScriptedMessageBoxes* boxes_ = nullptr;  // owned by the root
  TIspApplication root_;
};

// `expected` appears in `seen` in this order, other entries between allowed.
bool InOrder(const std::vector<std::string>& seen, const std::vector<std::string>& expected) {
  auto at = seen.begin();
  for (const std::string& wanted : expected) {
    at = std::find(at, seen.end(), wanted);
    if (at == seen.end()) return false;
    ++at;
  }
  return true;
}

uint32_t CountOf(const std::map<uint8_t, uint32_t>& counts, uint8_t code) {
  const auto it = counts.find(code);
  return it == counts.end() ? 0 : it->second;
}

class LinuxHidrawRoad : public ::testing::Test {
 protected:
  // The unit first (its node present or coming, as the settings say), then the tool.
  void Start(const std::vector<std::string>& settings) {
    unit = std::make_unique<EmulatedHidrawUnit>(settings);
    ASSERT_TRUE(unit->Ready()) << unit->Problem();
    tool = std::make_unique<LinuxTool>();
  }

  void ExpectCompleteUpdate() {
    TfmIsp& isp = tool->Isp();
    ASSERT_TRUE(tool->WaitUntilReady()) << "panels seen: " << tool->panels.size();
    tool->ClickStartProgram();
    ASSERT_TRUE(tool->WaitForBox(kProgramOk, kChainLimit)) << Account();
    ASSERT_TRUE(tool->RunUntil(
        [this] { return CountOf(unit->Unit().Verdict().run_commands, kRunClosingCommand) >= 1; }));
    const sim::UnitVerdict verdict = unit->Unit().Verdict();
    EXPECT_TRUE(verdict.clean) << verdict.Text();
    EXPECT_TRUE(verdict.UpdateComplete()) << verdict.Text();
    EXPECT_EQ(CountOf(verdict.boot_requests, kBootProgramData), kDataPackets);
    EXPECT_EQ(CountOf(verdict.run_commands, kRunDspBlock), kDspChunks);
    EXPECT_EQ(tool->BoxTexts(), std::vector<std::string>{kProgramOk});
    EXPECT_EQ(tool->ReadErrorBoxes(), 0);
    EXPECT_TRUE(tool->exceptions.empty());
    // Both personality switches went through the testbed's uevents and the
    // tool's udev monitor: nothing else makes the window see the new node.
    EXPECT_TRUE(
        InOrder(tool->panels, {kRunPanel, kNoDevicePanel, kUpdatePanel, kNoDevicePanel, kRunPanel}))
        << ::testing::PrintToString(tool->panels);
    EXPECT_EQ(unit->RemoveEvents(), 2);
    EXPECT_EQ(unit->AddEvents(), 3);
    EXPECT_EQ(unit->CurrentNode(), "/dev/hidraw2");
    EXPECT_EQ(isp.sbStatus.PanelText(1), kRunPanel);
  }

  // Where the reports went, for a test that fails.
  std::string Account() const {
    return unit->Unit().Verdict().Text() +
           "reports carried to the unit: " + std::to_string(unit->ReportsToUnit()) +
           ", to the tool: " + std::to_string(unit->ReportsToTool()) +
           " (bytes not yet read: " + std::to_string(unit->BytesWaitingForTool()) + ")" +
           "\npanels: " + ::testing::PrintToString(tool->panels) +
           "\nboxes: " + ::testing::PrintToString(tool->BoxTexts()) + "\ntraffic:\n" +
           tool->RecentTraffic();
  }

  Watchdog watchdog{kTestLimit};
  std::unique_ptr<EmulatedHidrawUnit> unit;
  std::unique_ptr<LinuxTool> tool;  // destroyed before the unit: declared after it

  void TearDown() override {
    tool.reset();
    unit.reset();
  }
};

TEST_F(LinuxHidrawRoad, ACompleteUpdateWithTheUnitPluggedInBeforeStartUp) {
  ASSERT_NO_FATAL_FAILURE(Start(FastUnit()));
  ASSERT_TRUE(unit->WaitForNode(true, 5s));
  ExpectCompleteUpdate();
}

TEST_F(LinuxHidrawRoad, ACompleteUpdateWithTheUnitPluggedInAfterStartUp) {
  ASSERT_NO_FATAL_FAILURE(Start(FastUnit({"start=absent"})));
  // The window is up before the node exists: only the "add" uevent can tell it.
  EXPECT_EQ(unit->CurrentNode(), "");
  ASSERT_TRUE(tool->RunUntil([this] { return !unit->CurrentNode().empty(); }));
  ExpectCompleteUpdate();
}

TEST_F(LinuxHidrawRoad, AnUnplugDuringTheDataPhaseClosesTheSessionWithoutABox) {
  ASSERT_NO_FATAL_FAILURE(Start(FastUnit({"fault=unplug@data:100"})));
  TfmIsp& isp = tool->Isp();
  ASSERT_TRUE(tool->WaitUntilReady());
  tool->ClickStartProgram();
  ASSERT_TRUE(tool->RunUntil([&] { return isp.UpdateState == usProgramData; }, kChainLimit));
  // The tool's loop keeps running: it paces the packets that lead to the pull.
  ASSERT_TRUE(tool->RunUntil([&] {
    return unit->CurrentNode().empty() && isp.Link == nullptr && isp.HeldDevice == nullptr &&
           isp.sbStatus.PanelText(1) == kNoDevicePanel;
  }));
  tool->RunFor(300ms);  // a read error, were one shown, would have come by now
  EXPECT_TRUE(tool->BoxTexts().empty()) << ::testing::PrintToString(tool->BoxTexts());
  EXPECT_EQ(isp.UpdateState, usVersionCheck);
  EXPECT_EQ(unit->RemoveEvents(), 2);  // run mode left for update mode, then the cable
  const sim::UnitVerdict verdict = unit->Unit().Verdict();
  EXPECT_EQ(CountOf(verdict.boot_requests, kBootProgramData), 101u);
}

TEST_F(LinuxHidrawRoad, ARefusedUnitIsToldWhyAndReleased) {
  ASSERT_NO_FATAL_FAILURE(Start(FastUnit({"unit-type=0x34"})));
  TfmIsp& isp = tool->Isp();
  ASSERT_TRUE(tool->WaitUntilReady());
  tool->ClickStartProgram();
  ASSERT_TRUE(tool->WaitForBox(kWrongUnitType));
  ASSERT_TRUE(tool->RunUntil([&] { return isp.Link == nullptr; }));
  EXPECT_EQ(tool->BoxTexts(), std::vector<std::string>{kWrongUnitType});
  EXPECT_EQ(isp.UpdateState, usVersionCheck);
  // Refused in run mode: the unit never left its port.
  EXPECT_EQ(unit->RemoveEvents(), 0);
  EXPECT_EQ(isp.sbStatus.PanelText(1), kRunPanel);
  EXPECT_EQ(CountOf(unit->Unit().Verdict().boot_requests, kBootProgramData), 0u);
}

// ---------------------------------------------------------------------------
// The binding on its own, over the emulated node

template <typename Result>
Result Bounded(const char* what, Clock::duration limit, std::function<Result()> action) {
  std::packaged_task<Result()> task(std::move(action));
  std::future<Result> result = task.get_future();
  std::thread runner(std::move(task));
  if (result.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not finish in time\n", what);
    std::abort();
  }
  runner.join();
  return result.get();
}

TEST_F(LinuxHidrawRoad, TheBindingListsTheNodeWithItsUsbIdentityAndReportLengths) {
  unit = std::make_unique<EmulatedHidrawUnit>(FastUnit());
  ASSERT_TRUE(unit->Ready()) << unit->Problem();
  ASSERT_TRUE(unit->WaitForNode(true, 5s));
  const auto platform = hid::CreateSystemHidPlatform();
  const std::vector<hid::HidInterfaceInfo> interfaces = platform->EnumerateInterfaces();
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].path, "/dev/hidraw0");
  // The USB device's name in the testbed's sysfs: its bus and port.
  EXPECT_EQ(interfaces[0].port, "1-4");
  // The hid device's sysfs path: new with every attachment.
  EXPECT_NE(interfaces[0].instance_id.find("0003:0168:0821.0001"), std::string::npos)
      << interfaces[0].instance_id;

  uint32_t error = 0;
  auto handle = platform->Open(interfaces[0].path, hid::HidAccess::kReadWrite, true, error);
  ASSERT_NE(handle, nullptr) << platform->ErrorText(error);
  hid::HidAttributes attributes;
  ASSERT_TRUE(handle->GetAttributes(attributes));
  EXPECT_EQ(attributes.VendorID, 0x0168);
  EXPECT_EQ(attributes.ProductID, 0x0821);
  EXPECT_NE(attributes.VersionNumber, 0);  // the unit's bcdDevice
  hid::HidCaps caps;
  ASSERT_TRUE(handle->GetCaps(caps));
  // 64 data bytes each way, plus the report ID byte that Windows counts too.
  EXPECT_EQ(caps.InputReportByteLength, 65);
  EXPECT_EQ(caps.OutputReportByteLength, 65);
  EXPECT_EQ(caps.UsagePage, 0xFF00);

  // The unit query as a run-mode frame: 10 02, 00, unit 1, L = 1, code 0x10,
  // 10 03 and the XOR of the bytes before it; the unit answers with a frame
  // from unit 1 carrying code 0x10.
  std::vector<uint8_t> query(65, 0);
  const uint8_t frame[] = {0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03, 0x11};
  std::copy(std::begin(frame), std::end(frame), query.begin() + 1);
  auto writer = platform->Open(interfaces[0].path, hid::HidAccess::kReadWrite, false, error);
  ASSERT_NE(writer, nullptr);
  size_t written = 0;
  ASSERT_TRUE(writer->Write(query.data(), query.size(), written));
  EXPECT_EQ(written, 65u);
  std::vector<uint8_t> answer(65, 0xEE);
  size_t transferred = 0;
  const hid::HidReadStatus status = Bounded<hid::HidReadStatus>("a read", 10s, [&] {
    return handle->Read(answer.data(), answer.size(), 5s, transferred, error);
  });
  ASSERT_EQ(status, hid::HidReadStatus::kCompleted) << platform->ErrorText(error);
  EXPECT_EQ(transferred, 65u);
  EXPECT_EQ(answer[0], 0);  // the report ID the node does not carry
  EXPECT_EQ(answer[1], 0x10);
  EXPECT_EQ(answer[2], 0x02);
  EXPECT_EQ(answer[3], 0x01);
  EXPECT_EQ(answer[6], 0x10);
  EXPECT_EQ(unit->ReportsToUnit(), 1u);
  EXPECT_EQ(unit->ReportsToTool(), 1u);
}

TEST_F(LinuxHidrawRoad, AWaitingReadEndsAtOnceOnCancelAndAsGoneOnHangUp) {
  unit = std::make_unique<EmulatedHidrawUnit>(FastUnit());
  ASSERT_TRUE(unit->Ready()) << unit->Problem();
  ASSERT_TRUE(unit->WaitForNode(true, 5s));
  const auto platform = hid::CreateSystemHidPlatform();
  uint32_t error = 0;
  auto reader = platform->Open("/dev/hidraw0", hid::HidAccess::kReadWrite, true, error);
  ASSERT_NE(reader, nullptr);
  ASSERT_TRUE(reader->CancelWakesReader());
  std::vector<uint8_t> buffer(65);
  size_t transferred = 0;

  // A read with no slice at all ends when cancelled from another thread.
  std::thread canceller([&] {
    std::this_thread::sleep_for(50ms);
    reader->CancelRead();
  });
  const hid::HidReadStatus cancelled = Bounded<hid::HidReadStatus>("a cancelled read", 10s, [&] {
    return reader->Read(buffer.data(), buffer.size(), hid::kReadUntilDone, transferred, error);
  });
  canceller.join();
  EXPECT_EQ(cancelled, hid::HidReadStatus::kCancelled);

  // The cable is pulled: a fresh handle's waiting read ends as gone, not as an error.
  auto second = platform->Open("/dev/hidraw0", hid::HidAccess::kReadWrite, true, error);
  ASSERT_NE(second, nullptr);
  std::thread puller([&] {
    std::this_thread::sleep_for(50ms);
    unit->Unit().Unplug();
  });
  const hid::HidReadStatus gone = Bounded<hid::HidReadStatus>("a read on a pulled unit", 10s, [&] {
    return second->Read(buffer.data(), buffer.size(), hid::kReadUntilDone, transferred, error);
  });
  puller.join();
  EXPECT_EQ(gone, hid::HidReadStatus::kGone);
  EXPECT_EQ(transferred, 0u);
  ASSERT_TRUE(unit->WaitForNode(false, 5s));
  EXPECT_TRUE(platform->EnumerateInterfaces().empty());
  EXPECT_EQ(platform->Open("/dev/hidraw0", hid::HidAccess::kReadWrite, false, error), nullptr);
  EXPECT_TRUE(platform->IsGoneError(error)) << error;
}

// ---------------------------------------------------------------------------
// kv93t-update --list

TEST_F(LinuxHidrawRoad, ListNamesTheUnitAndItsAccess) {
  unit = std::make_unique<EmulatedHidrawUnit>(FastUnit());
  ASSERT_TRUE(unit->Ready()) << unit->Problem();
  ASSERT_TRUE(unit->WaitForNode(true, 5s));
  cli::TCliOptions options;
  options.Mode = cli::TToolMode::kList;
  std::ostringstream out;
  std::ostringstream err;
  const cli::TExitCode code = cli::ListDevices(options, out, err);
  EXPECT_EQ(code, cli::TExitCode::kUpdated) << err.str();
  EXPECT_NE(out.str().find("vendor 0x0168  product 0x0821  KV-93T run mode     read-write  "
                           "port 1-4  /dev/hidraw0\n"),
            std::string::npos)
      << out.str();
  EXPECT_NE(out.str().find("1 HID device, 1 of them the KV-93T."), std::string::npos);
}

// Root opens any node whatever its mode, so the listing runs as "nobody" in a
// child process: the real executable, under the same preload and testbed.
TEST_F(LinuxHidrawRoad, AnUnreadableNodeGivesTheUdevRuleAndExitFour) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the listing as another user";
  unit = std::make_unique<EmulatedHidrawUnit>(FastUnit());
  ASSERT_TRUE(unit->Ready()) << unit->Problem();
  ASSERT_TRUE(unit->WaitForNode(true, 5s));
  // The testbed (its tree and the preload's sockets) open to everyone, the node to nobody.
  const std::string root = unit->RootDir();
  ASSERT_EQ(std::system(("chmod -R a+rwX " + root).c_str()), 0);
  char slave[128] = {};
  const std::string node_link = root + "/dev/hidraw0";
  const ssize_t length = readlink(node_link.c_str(), slave, sizeof slave - 1);
  ASSERT_GT(length, 0) << node_link;
  ASSERT_EQ(chmod(slave, 0000), 0) << slave;

  int output[2] = {-1, -1};
  ASSERT_EQ(pipe(output), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const uid_t nobody = 65534;
    if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(100);
    if (dup2(output[1], STDOUT_FILENO) < 0 || dup2(output[1], STDERR_FILENO) < 0) _exit(101);
    execl(KV93T_UPDATE_PATH, KV93T_UPDATE_PATH, "--list", static_cast<char*>(nullptr));
    _exit(102);
  }
  close(output[1]);
  int status = 0;
  // The listing is a few lines, far below what the pipe holds, so the child
  // never waits for this side to read.
  const bool ended = Bounded<bool>("kv93t-update --list", 60s,
                                   [&] { return waitpid(child, &status, 0) == child; });
  ASSERT_TRUE(ended);
  std::string text;
  char chunk[4096];
  for (ssize_t got = 0; (got = read(output[0], chunk, sizeof chunk)) > 0;) text.append(chunk, got);
  close(output[0]);
  ASSERT_TRUE(WIFEXITED(status)) << text;
  EXPECT_EQ(WEXITSTATUS(status), 4) << text;
  EXPECT_NE(text.find("KV-93T run mode     no access   port 1-4  /dev/hidraw0"), std::string::npos)
      << text;
  EXPECT_NE(text.find("Permission denied"), std::string::npos) << text;
  EXPECT_NE(text.find("packaging/70-kv93t.rules"), std::string::npos) << text;
}

}  // namespace
}  // namespace kv::test
