// The main window and the update engine end to end against the simulated unit,
// with the tool's timers shortened and a unit that answers at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "engine/engine_texts.h"
#include "image/mcu_image.h"
#include "isp_harness.h"
#include "sim/device_frame.h"

namespace kv::test {
namespace {

// No unit on the bus for the length of a test: the window is driven by hand.
sim::SimOptions UnitThatStaysAway() {
  sim::SimOptions options = FastUnit(sim::SimStart::kAbsent);
  options.attach_ms = 60000;
  return options;
}

// A harness whose "Mcu Prog" programs a small image, so a boot-loader run is short.
struct SmallImageHarness : IspHarness {
  explicit SmallImageHarness(sim::SimOptions options, toolkit::Clock::duration boxCloseAfter = 10ms)
      : IspHarness(std::move(options), FastTiming(), boxCloseAfter) {
    Isp().McuImageLines = image.Lines();
  }
  HexTable image{SmallImageRecords(kSmallImageBytes)};
};

size_t CountLinesStartingWith(const std::vector<std::string>& lines, std::string_view start) {
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [start](const auto& line) { return line.starts_with(start); }));
}

// ---- Start-up and detection ----

TEST(IspWindow, StartsWithNoDeviceAndOnlyVersionEnabled) {
  IspHarness h(UnitThatStaysAway());
  TfmIsp& isp = h.Isp();
  const auto expectIdle = [&isp] {
    EXPECT_EQ(isp.Caption(), TfmIsp::kCaption);
    EXPECT_EQ(isp.Width(), 420);
    EXPECT_EQ(isp.Height(), 173);
    EXPECT_EQ(isp.sbStatus.PanelText(1), TfmIsp::kPanelNoDevice);
    EXPECT_EQ(isp.sbStatus.PanelText(0), TfmIsp::kPanelDisconnect);
    EXPECT_EQ(isp.sbStatus.PanelWidth(0), 180);
    EXPECT_EQ(isp.sbStatus.PanelWidth(1), 50);
    EXPECT_FALSE(isp.sbStatus.SimplePanel());
    EXPECT_FALSE(isp.btnStartProgram.Enabled());
    EXPECT_EQ(isp.btnStartProgram.Caption(), "Start Program ");
    EXPECT_TRUE(isp.btnVersion.Enabled());
    EXPECT_FALSE(isp.bnMcuProgram.Enabled());
    EXPECT_FALSE(isp.bnSecurity.Enabled());
    EXPECT_FALSE(isp.bnDspPorgram.Enabled());
    EXPECT_FALSE(isp.Memory1.Visible());
    EXPECT_FALSE(isp.HidData1.Visible());
    EXPECT_EQ(isp.lbHidShow.Caption(), "Device Update");
    for (const toolkit::Timer* timer :
         {&isp.tmUsbWait, &isp.tmWaitDisconnect, &isp.tmDspProgram, &isp.tmMcuProg, &isp.tmRunStep,
          &isp.tmWrongDisconnect, &isp.tmAutoUpdate}) {
      EXPECT_FALSE(timer->Enabled());
    }
    EXPECT_EQ(isp.HeldDevice, nullptr);
    EXPECT_EQ(isp.Link, nullptr);
    EXPECT_EQ(isp.UpdateState, usVersionCheck);
    EXPECT_EQ(isp.AutoStage, asNone);
    EXPECT_EQ(isp.McuUpdatePending, 0);
  };
  expectIdle();
  h.RunFor(50ms);  // the first scan finds nothing
  expectIdle();
}

TEST(IspDetection, RunModeUnitEnablesStartAndRepeatedEnumerationChangesNothing) {
  IspHarness h(FastUnit());
  TfmIsp& isp = h.Isp();
  isp.bnDspPorgram.SetEnabled(true);  // only the layout's state may say otherwise
  ASSERT_TRUE(h.WaitUntilReady());
  EXPECT_EQ(isp.sbStatus.PanelText(1), "Detect Run HID");
  hid::TJvHidDevice* held = isp.HeldDevice;
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(held->CheckedOut());
  EXPECT_TRUE(isp.bnDspPorgram.Enabled());  // run-mode detection leaves "Dsp Prog" alone

  // Were the held unit taken again, "Start Program " would be enabled and, with
  // AutoStage 3, "Security" clicked: the check-out refuses, so nothing happens.
  isp.btnStartProgram.SetEnabled(false);
  isp.sbStatus.SetPanelText(1, "Detect Update HID");
  isp.AutoStage = asMcuUpdate;
  isp.HidCtlDeviceChange();
  isp.HidCtl->Enumerate();
  h.RunFor(30ms);
  EXPECT_EQ(isp.HeldDevice, held);
  EXPECT_EQ(isp.sbStatus.PanelText(1), "Detect Update HID");
  EXPECT_FALSE(isp.btnStartProgram.Enabled());
  EXPECT_FALSE(isp.bnSecurity.Enabled());
  EXPECT_EQ(isp.Link, nullptr);
  EXPECT_EQ(h.RunCommandCount(0x10), 0u);
}

TEST(IspDetection, UpdateModeUnitEnablesStartOnlyWhileNoUpdateIsPending) {
  {
    IspHarness h(FastUnit(sim::SimStart::kUpdate));
    // Enabled before the first scan: the update-mode detection must disable it.
    h.Isp().bnDspPorgram.SetEnabled(true);
    ASSERT_TRUE(h.WaitUntilReady());
    EXPECT_EQ(h.Isp().sbStatus.PanelText(1), "Detect Update HID");
    EXPECT_FALSE(h.Isp().bnDspPorgram.Enabled());
  }
  {
    IspHarness h(FastUnit(sim::SimStart::kUpdate));
    h.Isp().McuUpdatePending = 1;
    ASSERT_TRUE(h.RunUntil([&h] { return h.Isp().HeldDevice != nullptr; }));
    h.RunFor(20ms);
    EXPECT_EQ(h.Isp().sbStatus.PanelText(1), "Detect Update HID");
    EXPECT_FALSE(h.Isp().btnStartProgram.Enabled());
  }
}

TEST(IspDetection, TwoUnitsLastCheckedOutIsHeldAndUnpluggingEitherReleasesTheLink) {
  sim::SimOptions options = FastUnit();
  options.units = 2;
  IspHarness h(options);
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.RunUntil([&isp] {
    return isp.HidCtl->Count() == 2 && isp.HidCtl->Item(0)->CheckedOut() &&
           isp.HidCtl->Item(1)->CheckedOut();
  }));
  EXPECT_EQ(isp.HeldDevice, isp.HidCtl->Item(1));
  isp.btnVersion.Click();  // opens a link
  ASSERT_NE(isp.Link, nullptr);

  h.Unit(0).Unplug();
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.HeldDevice == nullptr; }));
  EXPECT_EQ(isp.Link, nullptr);
  EXPECT_EQ(isp.sbStatus.PanelText(1), TfmIsp::kPanelNoDevice);
  EXPECT_FALSE(isp.btnStartProgram.Enabled());
}

TEST(IspDetection, UnplugDisablesDspProg) {
  IspHarness h(FastUnit());
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  isp.bnDspPorgram.SetEnabled(true);
  h.Unit().Unplug();
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.HeldDevice == nullptr; }));
  EXPECT_FALSE(isp.bnDspPorgram.Enabled());
  EXPECT_FALSE(isp.btnStartProgram.Enabled());
  EXPECT_EQ(isp.sbStatus.PanelText(1), "No Device");
}

TEST(IspDetection, DeviceChangeMessageShowsNoDeviceOnlyWhileNoUnitIsHeld) {
  IspHarness h(FastUnit());
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  isp.bnMcuProgram.SetEnabled(true);
  isp.DeviceChangeMessage();
  EXPECT_TRUE(isp.bnMcuProgram.Enabled());
  EXPECT_EQ(isp.sbStatus.PanelText(1), TfmIsp::kPanelRunHid);

  h.Unit().Unplug();
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.HeldDevice == nullptr; }));
  isp.sbStatus.SetPanelText(1, "stale");
  isp.bnMcuProgram.SetEnabled(true);
  isp.bnDspPorgram.SetEnabled(true);
  isp.DeviceChangeMessage();
  EXPECT_EQ(isp.sbStatus.PanelText(1), TfmIsp::kPanelNoDevice);
  EXPECT_FALSE(isp.bnMcuProgram.Enabled());
  EXPECT_FALSE(isp.bnDspPorgram.Enabled());
}

TEST(IspDetection, ReadErrorIsShownAndChangesNothing) {
  IspHarness h(WithFaults(FastUnit(), {"read-error:31@cmd:0x10"}));
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.RunUntil([&h] { return !h.Boxes().Boxes().empty(); }));
  const std::string text = h.BoxTexts().front();
  EXPECT_TRUE(text.starts_with(texts::kReadErrorPrefix)) << text;
  EXPECT_GT(text.size(), texts::kReadErrorPrefix.size());
  // The answer follows the failed read and the check goes on.
  EXPECT_TRUE(h.WaitForRunCommand(cmdVersionText));
}

// ---- Commands that have nothing to work on ----

TEST(IspCommands, VersionAndSecurityNeedARunModeUnit) {
  IspHarness h(FastUnit(sim::SimStart::kUpdate));
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  isp.btnVersion.Click();
  isp.bnSecurity.Click();
  EXPECT_EQ(isp.Link, nullptr);
  EXPECT_EQ(isp.UpdateState, usVersionCheck);
}

TEST(IspCommands, RunStepWithMcuUpdateStageOnlyAdvancesTheStage) {
  IspHarness h(UnitThatStaysAway());
  TfmIsp& isp = h.Isp();
  isp.AutoStage = asMcuUpdate;
  isp.tmRunStep.Start();
  ASSERT_TRUE(h.RunUntil([&isp] { return !isp.tmRunStep.Enabled(); }));
  EXPECT_EQ(isp.AutoStage, asDspDue);
  EXPECT_EQ(isp.Link, nullptr);
  EXPECT_FALSE(isp.tmDspProgram.Enabled());
}

// ---- The unit and version check ----

struct RefusalCase {
  const char* name;
  uint8_t unitType;
  const char* versionText;
  std::string_view message;
};

void PrintTo(const RefusalCase& value, std::ostream* out) {
  *out << value.name;
}

class IspRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(IspRefusal, TellsTheUnitShowsWhyAndReleasesTheLinkAfterTheBox) {
  constexpr auto kBoxOpen = 60ms;
  sim::SimOptions options = FastUnit();
  options.unit_type = GetParam().unitType;
  options.version_text = GetParam().versionText;
  IspHarness h(options, FastTiming(), kBoxOpen);
  TfmIsp& isp = h.Isp();
  bool checkFailedQueuedBehindBox = false;
  bool linkHeldWhileBoxOpen = false;
  h.Boxes().OnShown = [&](const toolkit::ScriptedMessageBoxes::Shown&) {
    linkHeldWhileBoxOpen = isp.Link != nullptr;
    checkFailedQueuedBehindBox = linkHeldWhileBoxOpen && isp.Link->QueuedCount() == 1 &&
                                 h.RunCommandCount(cmdCheckFailed) == 0;
  };
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.WaitForBox(GetParam().message));
  const toolkit::Clock::time_point shownAt = h.Boxes().Boxes().front().when;
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.Link == nullptr; }));
  const auto releasedAfter = toolkit::Clock::now() - shownAt;

  EXPECT_EQ(h.BoxTexts(), std::vector<std::string>{std::string(GetParam().message)});
  EXPECT_EQ(h.Boxes().Boxes().front().symbol, toolkit::MessageSymbol::kInformation);
  EXPECT_TRUE(linkHeldWhileBoxOpen);
  EXPECT_TRUE(checkFailedQueuedBehindBox);
  EXPECT_TRUE(h.WaitForRunCommand(cmdCheckFailed));
  EXPECT_GE(releasedAfter, kBoxOpen + isp.Timing.WrongDisconnect);
  EXPECT_EQ(isp.UpdateRefused, 1);
  EXPECT_EQ(isp.UpdateState, usVersionCheck);
  EXPECT_TRUE(isp.btnStartProgram.Enabled());
  EXPECT_EQ(h.RunCommandCount(cmdEnterUpdate), 0u);
  EXPECT_FALSE(isp.tmAutoUpdate.Enabled());
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, IspRefusal,
    testing::Values(RefusalCase{"UnitType", 0x34, "KV-93T  012", " Wrong Uint Type !! "},
                    RefusalCase{"TooOld", 0x33, "KV-93T  011", "Too Old Version Uint !! "},
                    RefusalCase{"TooNew", 0x33, "KV-93T  013", "Too New Version Uint !! "},
                    RefusalCase{"LowerCaseModel", 0x33, "kv-93t  012", " Wrong Uint Type !! "},
                    RefusalCase{"EightCharacters", 0x33, "KV-93T01", "Too Old Version Uint !! "}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Chains ----

TEST(IspChain, UnitInUpdateModeIsProgrammedAfterTheFallback) {
  SmallImageHarness h(FastUnit(sim::SimStart::kUpdate));
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.RunUntil([&isp] { return !isp.btnStartProgram.Enabled(); }));
  EXPECT_EQ(isp.Link, nullptr);  // Version did nothing
  EXPECT_TRUE(isp.tmAutoUpdate.Enabled());

  ASSERT_TRUE(h.WaitForBox(texts::kProgramOk)) << h.Unit().Verdict().Text();
  EXPECT_EQ(isp.Tally(TChainTimer::kAutoUpdate).Fires, 1);
  // "MCU Reset" started its release (and restarted it on reading its text
  // back). Whether the release or the unit's leaving the bus 20 ms after its
  // answer comes first is the machine's business; either way the chain went on
  // to the parameter exchange and the DSP download, which the release did not cut.
  EXPECT_EQ(isp.Tally(TChainTimer::kWaitDisconnect).Starts, 2);
  EXPECT_EQ(h.RunCommandCount(cmdIdentify), 2u);  // Security and Dsp Prog; none before
  EXPECT_EQ(h.RunCommandCount(cmdDspBlock), 814u);
  EXPECT_TRUE(h.WaitForRunCommand(cmdCode04));
  EXPECT_EQ(isp.AutoStage, asNone);
  EXPECT_EQ(isp.McuUpdatePending, 0);
  EXPECT_TRUE(h.exceptions.empty());
}

struct IspFailureCase {
  const char* name;
  const char* fault;
  int32_t state;
  std::string_view message;
  bool endsConnection;
};

void PrintTo(const IspFailureCase& value, std::ostream* out) {
  *out << value.name;
}

class IspStepFailure : public testing::TestWithParam<IspFailureCase> {};

TEST_P(IspStepFailure, WrongEchoShowsTheStepsErrorAndStopsTheRun) {
  SmallImageHarness h(WithFaults(FastUnit(sim::SimStart::kUpdate), {GetParam().fault}));
  TfmIsp& isp = h.Isp();
  bool linkHeld = false;
  int32_t stateAtBox = -1;
  bool receiveEnabledAtBox = true;
  h.Boxes().OnShown = [&](const toolkit::ScriptedMessageBoxes::Shown&) {
    linkHeld = isp.Link != nullptr;
    stateAtBox = isp.UpdateState;
    receiveEnabledAtBox = isp.ReceiveEnabled;
  };
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.WaitForBox(GetParam().message));
  const uint32_t requestsAtFailure = h.BootRequestCount();
  h.RunFor(100ms);

  EXPECT_EQ(h.Boxes().Boxes().front().symbol, toolkit::MessageSymbol::kError);
  EXPECT_EQ(h.BoxTexts().size(), 1u);
  EXPECT_FALSE(receiveEnabledAtBox);
  if (GetParam().endsConnection) {
    EXPECT_FALSE(linkHeld);
    EXPECT_EQ(stateAtBox, usVersionCheck);
  } else {
    EXPECT_TRUE(linkHeld);
    EXPECT_EQ(stateAtBox, GetParam().state);
    EXPECT_EQ(isp.UpdateState, GetParam().state);
    EXPECT_NE(isp.Link, nullptr);
  }
  EXPECT_EQ(h.BootRequestCount(), requestsAtFailure);  // no retry
  EXPECT_EQ(isp.McuUpdatePending, 1);
  EXPECT_EQ(isp.AutoStage, asMcuUpdate);
}

INSTANTIATE_TEST_SUITE_P(
    FailureTable, IspStepFailure,
    testing::Values(
        IspFailureCase{"Connect", "bad-echo@connect", usConnect, texts::kIspStartError, true},
        IspFailureCase{"SyncPackage", "bad-echo@sync-package", usSyncPackage, texts::kIspSyncError,
                       true},
        IspFailureCase{"FirmwareVersion", "bad-echo@firmware-version", usGetFirmwareVersion,
                       texts::kEraseAllError, false},
        IspFailureCase{"DeviceId", "bad-echo@device-id", usGetDeviceId, texts::kGetIdError, true},
        IspFailureCase{"ReadConfig", "bad-echo@read-config", usReadConfig, texts::kEraseAllError,
                       false},
        IspFailureCase{"SyncProgram", "bad-echo@sync-program", usSyncProgram, texts::kEraseAllError,
                       false},
        IspFailureCase{"StartProgram", "bad-echo@start-program", usStartProgram,
                       texts::kProgramStartError, false},
        IspFailureCase{"Data", "bad-echo@data:2", usProgramData, texts::kProgramDataError, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IspChain, FailedRunLeavesTheUpdatePendingAndARunModeReturnContinues) {
  SmallImageHarness h(WithFaults(FastUnit(sim::SimStart::kUpdate), {"bad-echo@data:1"}));
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.WaitForBox(texts::kProgramDataError));
  EXPECT_EQ(isp.McuUpdatePending, 1);
  EXPECT_EQ(isp.AutoStage, asMcuUpdate);

  // Back in update mode: nothing to do, "Start Program " stays off.
  h.Unit().PlugIn(sim::Personality::kUpdate);
  ASSERT_TRUE(h.RunUntil([&isp] {
    return isp.HeldDevice != nullptr && isp.HeldDevice->ProductID() == uidUpdateProduct &&
           isp.Link == nullptr;
  }));
  h.RunFor(30ms);
  EXPECT_FALSE(isp.btnStartProgram.Enabled());

  // Back in run mode: the parameter data and the DSP download follow.
  h.Unit().PlugIn(sim::Personality::kRun);
  ASSERT_TRUE(h.WaitForBox(texts::kProgramOk));
  EXPECT_EQ(h.RunCommandCount(cmdDspBlock), 814u);
  EXPECT_EQ(isp.SessionKey, h.Unit().Key());
}

// After the microcontroller update, a run-mode unit found with AutoStage 3 goes
// straight to the parameter data and the DSP download.
TEST(IspChain, RunModeReturnReadsParametersDerivesTheKeyAndDownloadsTheDsp) {
  IspHarness h(FastUnit());
  TfmIsp& isp = h.Isp();
  isp.AutoStage = asMcuUpdate;
  isp.McuUpdatePending = 1;
  std::vector<uint8_t> commandsAtKey;
  ASSERT_TRUE(h.RunUntil([&] { return isp.AutoStage == asDspDue; }));
  commandsAtKey = h.RunCommandCodes();
  ASSERT_TRUE(h.WaitForBox(texts::kProgramOk));
  ASSERT_TRUE(h.WaitForRunCommand(cmdCode04));

  // identify, block 0, cmdCode1A, blocks 1 to 10: one reply each, nothing more.
  std::vector<uint8_t> expected{cmdIdentify, cmdReadParameter, cmdCode1A};
  expected.insert(expected.end(), 10, cmdReadParameter);
  EXPECT_EQ(commandsAtKey, expected);
  EXPECT_EQ(isp.SessionKey, h.Unit().Key());
  EXPECT_NE(isp.SessionKey, 0u);
  EXPECT_EQ(h.Unit().Verdict().violation_count, 0u) << h.Unit().Verdict().Text();
  EXPECT_TRUE(h.Unit().Verdict().dsp_loaded);
  EXPECT_EQ(isp.Tally(TChainTimer::kRunStep).Fires, 2);
  EXPECT_EQ(isp.Tally(TChainTimer::kDspProgram).Fires, 1);
}

// ---- Unplugging ----

TEST(IspUnplug, DuringTheBootLoaderRunReleasesEverythingAndKeepsTheChainsPlace) {
  SmallImageHarness h(WithFaults(FastUnit(sim::SimStart::kUpdate), {"unplug@data:2"}));
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.UpdateState == usProgramData; }));
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.HeldDevice == nullptr; }));
  h.RunFor(30ms);
  EXPECT_EQ(isp.Link, nullptr);
  EXPECT_EQ(isp.UpdateState, usVersionCheck);
  EXPECT_EQ(isp.sbStatus.PanelText(1), TfmIsp::kPanelNoDevice);
  EXPECT_EQ(isp.sbStatus.Background(), toolkit::Color::ButtonFace());
  EXPECT_FALSE(isp.btnStartProgram.Enabled());
  EXPECT_FALSE(isp.bnDspPorgram.Enabled());
  EXPECT_EQ(isp.AutoStage, asMcuUpdate);
  EXPECT_EQ(isp.McuUpdatePending, 1);
  EXPECT_TRUE(h.Boxes().Boxes().empty());
}

TEST(IspUnplug, DuringTheDspDownloadReleasesTheLinkWithoutAMessage) {
  IspHarness h(WithFaults(FastUnit(), {"unplug@dsp:100"}));
  TfmIsp& isp = h.Isp();
  isp.AutoStage = asMcuUpdate;
  isp.McuUpdatePending = 1;
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.AutoStage == asDspDownload; }));
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.HeldDevice == nullptr; }));
  EXPECT_EQ(isp.Link, nullptr);
  EXPECT_EQ(isp.UpdateState, usVersionCheck);
  EXPECT_EQ(isp.sbStatus.PanelText(1), TfmIsp::kPanelNoDevice);
  EXPECT_EQ(isp.pbProgress.Position(), 0);
  EXPECT_EQ(isp.AutoStage, asDspDownload);
  EXPECT_GE(isp.DspChunkIndex, 100);
  EXPECT_TRUE(h.Boxes().Boxes().empty());
}

TEST(IspUnplug, ClosingTheWindowDuringATransferReleasesTheLink) {
  IspHarness h(FastUnit());
  TfmIsp& isp = h.Isp();
  isp.AutoStage = asMcuUpdate;
  isp.McuUpdatePending = 1;
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.DspChunkIndex > 50; }));
  isp.Close();
  EXPECT_EQ(isp.Link, nullptr);
  EXPECT_EQ(isp.UpdateState, usVersionCheck);
  const uint32_t chunks = h.RunCommandCount(cmdDspBlock);
  h.RunFor(30ms);
  EXPECT_EQ(h.RunCommandCount(cmdDspBlock), chunks);
}

// ---- Mends ----

TEST(IspMends, BootLoaderReplyInsideTheArmingDelayIsKeptAndDuplicatesDropped) {
  // No arming of these steps fires by itself: the test shortens each one, the
  // connect's only once the unit's second copy has been dropped. Both copies
  // are thus certainly read inside the connect's arming, whatever the load.
  constexpr std::chrono::milliseconds kHeldArming = 10 * kEventLimit;
  // Before "Start Program" the steps are armed as data packets are while more
  // than one packet's bytes remain (ProgramOffset is still 0).
  const int shortArming = static_cast<int>(FastTiming().UsbWaitData.count());
  TIspTiming timing = FastTiming();
  timing.UsbWaitData = kHeldArming;
  timing.UsbWaitOther = kHeldArming;
  IspHarness h(WithFaults(FastUnit(sim::SimStart::kUpdate), {"duplicate@connect"}), timing);
  TfmIsp& isp = h.Isp();
  HexTable image(SmallImageRecords(kSmallImageBytes));
  isp.McuImageLines = image.Lines();
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.RunUntil([&] {
    if (isp.tmUsbWait.Enabled() && isp.tmUsbWait.Interval() == kHeldArming.count() &&
        (isp.UpdateState != usConnect || h.droppedReports == 1)) {
      isp.tmUsbWait.SetInterval(shortArming);
    }
    return isp.UpdateState == usSyncProgram;
  }));
  // The connect reply echoes 0x81: listed once, though the unit sent it twice.
  EXPECT_EQ(CountLinesStartingWith(h.traffic, "R 00  81 00 00 00"), 1u);
  EXPECT_EQ(h.droppedReports, 1u);
  EXPECT_TRUE(h.Boxes().Boxes().empty());
}

TEST(IspMends, ReplyBeforeTheRequestWasWrittenIsDropped) {
  IspHarness h(UnitThatStaysAway());
  TfmIsp& isp = h.Isp();
  // A step outstanding whose request has not been written: nothing was.
  isp.UpdateState = usConnect;
  isp.tmUsbWait.SetInterval(5);
  isp.tmUsbWait.Start();
  const IspReply stale = BuildIspReply(0x81, 2);
  isp.HidCtlDeviceData(nullptr, 0, stale.data(), static_cast<uint16_t>(stale.size()));
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.ReceiveEnabled; }));
  EXPECT_TRUE(h.traffic.empty());
  EXPECT_EQ(isp.UpdateState, usConnect);
}

struct ParamReplyCase {
  const char* name;
  int32_t repliesBefore;
  uint8_t blockIndex;
  size_t dataBytes;
  bool fits;
};

void PrintTo(const ParamReplyCase& value, std::ostream* out) {
  *out << value.name;
}

class IspParamBounds : public testing::TestWithParam<ParamReplyCase> {};

TEST_P(IspParamBounds, BlockIndexOutsideTheBlockStopsTheChain) {
  IspHarness h(UnitThatStaysAway());
  TfmIsp& isp = h.Isp();
  isp.UpdateState = usRunCommands;
  isp.AutoStage = asMcuUpdate;
  isp.ParamBlockIndex = GetParam().repliesBefore;
  std::vector<uint8_t> payload{GetParam().blockIndex};
  payload.insert(payload.end(), GetParam().dataBytes, 0xEE);
  const std::vector<uint8_t> frame = sim::BuildDeviceFrame(cmdReadParameter, payload);
  const ByteBuffer response(frame.data(), frame.size());
  isp.LinkMessage(WM_LINK_RESPONSE, reinterpret_cast<uintptr_t>(&response), 0);

  const size_t filled =
      static_cast<size_t>(std::count(isp.ParamBlock.begin(), isp.ParamBlock.end(), 0xEE));
  if (GetParam().fits) {
    EXPECT_TRUE(h.Boxes().Boxes().empty());
    EXPECT_EQ(filled, GetParam().dataBytes);
    return;
  }
  ASSERT_EQ(h.BoxTexts().size(), 1u);
  EXPECT_NE(h.BoxTexts().front().find("Block " + std::to_string(GetParam().blockIndex)),
            std::string::npos)
      << h.BoxTexts().front();
  EXPECT_EQ(filled, 0u);
  EXPECT_EQ(isp.UpdateState, usVersionCheck);
  EXPECT_EQ(isp.AutoStage, asMcuUpdate);
  EXPECT_FALSE(isp.tmRunStep.Enabled());
}

INSTANTIATE_TEST_SUITE_P(Replies, IspParamBounds,
                         testing::Values(ParamReplyCase{"NinthPieceFits", 0, 9, 50, true},
                                         ParamReplyCase{"TenthPieceOfFifty", 0, 10, 50, false},
                                         ParamReplyCase{"HugeIndex", 3, 255, 50, false},
                                         ParamReplyCase{"LastPieceAtTenFits", 10, 10, 16, true},
                                         ParamReplyCase{"LastPieceAtEleven", 10, 11, 16, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IspMends, KeySelectorAboveTheBlockStopsBeforeAnyDspChunk) {
  sim::SimOptions options = FastUnit();
  options.selector = 32;
  IspHarness h(options);
  TfmIsp& isp = h.Isp();
  isp.AutoStage = asMcuUpdate;
  isp.McuUpdatePending = 1;
  ASSERT_TRUE(h.RunUntil([&h] { return !h.Boxes().Boxes().empty(); }));
  h.RunFor(50ms);
  EXPECT_NE(h.BoxTexts().front().find("Key selector 32"), std::string::npos)
      << h.BoxTexts().front();
  EXPECT_EQ(isp.Link, nullptr);
  EXPECT_EQ(isp.SessionKey, 0u);
  EXPECT_EQ(isp.AutoStage, asMcuUpdate);
  EXPECT_EQ(h.RunCommandCount(cmdDspBlock), 0u);
}

TEST(IspMends, FrameLengthBeyondTheReportIsLoggedAndDropped) {
  IspHarness h(WithFaults(FastUnit(), {"oversize:200@cmd:0x10"}));
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.RunUntil([&h] {
    return std::any_of(h.traffic.begin(), h.traffic.end(), [](const std::string& line) {
      return line.find("dropped: frame length 200") != std::string::npos;
    });
  }));
  h.RunFor(30ms);
  EXPECT_TRUE(h.exceptions.empty());
  EXPECT_EQ(h.RunCommandCount(cmdVersionText), 0u);
  ASSERT_NE(isp.Link, nullptr);
  EXPECT_TRUE(isp.Link->Busy());  // the identify is still unanswered
}

struct BadImageCase {
  const char* name;
  std::vector<std::string> records;
  std::string_view message;
};

void PrintTo(const BadImageCase& value, std::ostream* out) {
  *out << value.name;
}

std::vector<std::string> WithChecksumBroken() {
  std::vector<std::string> records = SmallImageRecords(64);
  std::string& second = records[1];
  second.back() = second.back() == '0' ? '1' : '0';
  return records;
}

std::vector<std::string> WithLineNotARecord() {
  std::vector<std::string> records = SmallImageRecords(64);
  records.insert(records.begin() + 2, "0010000000");
  return records;
}

std::vector<std::string> WithRecordBeyondTheFlash() {
  std::vector<std::string> records = SmallImageRecords(64);
  records.insert(records.end() - 1, ":020000040001F9");
  records.insert(records.end() - 1, DataRecord(0x1000, std::vector<uint8_t>(16, 0x55)));
  return records;
}

class IspImageFailure : public testing::TestWithParam<BadImageCase> {};

TEST_P(IspImageFailure, NothingIsSentAndTheUnitStaysInRunMode) {
  IspHarness h(FastUnit());
  TfmIsp& isp = h.Isp();
  HexTable image(GetParam().records);
  isp.McuImageLines = image.Lines();
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.WaitForBox(GetParam().message));
  h.RunFor(60ms);
  EXPECT_EQ(h.BoxTexts(), std::vector<std::string>{std::string(GetParam().message)});
  EXPECT_EQ(h.RunCommandCount(cmdEnterUpdate), 0u);
  EXPECT_EQ(h.Unit().CurrentPersonality(), sim::Personality::kRun);
  EXPECT_EQ(isp.McuUpdatePending, 0);
  EXPECT_FALSE(isp.tmMcuProg.Enabled());
  EXPECT_EQ(isp.sbStatus.Background(), toolkit::Color::ButtonFace());
  EXPECT_TRUE(isp.btnStartProgram.Enabled());
}

INSTANTIATE_TEST_SUITE_P(
    Images, IspImageFailure,
    testing::Values(BadImageCase{"Checksum", WithChecksumBroken(), kChecksumErrorMessage},
                    BadImageCase{"NotARecord", WithLineNotARecord(), texts::kImageNotARecord},
                    BadImageCase{"BeyondBound", WithRecordBeyondTheFlash(),
                                 texts::kImageBeyondBound}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Exceptions from the response handler ----

TEST(IspExceptions, ShortIdentifyReplyShowsVectorAndTheLinkGoesOn) {
  IspHarness h(WithFaults(FastUnit(), {"short:0@cmd:0x10"}));
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.RunUntil([&h] { return !h.exceptions.empty(); }));
  EXPECT_EQ(h.exceptions, std::vector<std::string>{"vector"});
  EXPECT_FALSE(isp.tmAutoUpdate.Enabled());  // stopped before the failed read
  EXPECT_EQ(h.RunCommandCount(cmdVersionText), 0u);

  // The same link carries the next check to its end.
  TUsbCmdLink* link = isp.Link.get();
  h.Loop().Post([&isp] { isp.btnVersion.Click(); });
  ASSERT_TRUE(h.WaitForRunCommand(cmdEnterUpdate));
  EXPECT_EQ(h.exceptions.size(), 1u);
  EXPECT_TRUE(isp.Link == nullptr || isp.Link.get() == link);
}

// ---- The diagnostic windows ----

TEST(IspTraffic, LinesAreListedOnlyWhileTheTrafficWindowIsVisible) {
  sim::SimOptions options = FastUnit();
  options.unit_type = 0x34;  // refused after the identify: a short exchange
  IspHarness h(options);
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.WaitForRunCommand(cmdCheckFailed));
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.Link == nullptr; }));
  EXPECT_EQ(h.HidData().hbHidData.Count(), 0);
  EXPECT_FALSE(h.traffic.empty());

  isp.SetBounds(300, 200, TfmIsp::kWidth, TfmIsp::kHeight);
  isp.HidData1.Click();
  EXPECT_TRUE(h.HidData().Visible());
  EXPECT_EQ(h.HidData().Left(), 300 + TfmIsp::kWidth + 10);
  EXPECT_EQ(h.HidData().Top(), 200);

  h.Loop().Post([&isp] { isp.btnVersion.Click(); });
  ASSERT_TRUE(h.WaitForRunCommand(cmdCheckFailed, 2));
  ASSERT_TRUE(h.RunUntil([&h] { return h.HidData().hbHidData.Count() >= 4; }));
  // Written lines reach the list through the loop, read lines directly: look
  // each one up rather than rely on their order.
  const std::vector<std::string>& items = h.HidData().hbHidData.Items();
  EXPECT_EQ(std::count(items.begin(), items.end(), "W 00  10 02 00 01 01 10 10 03 11 "), 1);
  const auto identifyAnswer = std::find_if(items.begin(), items.end(), [](const auto& line) {
    return line.starts_with("R 00  10 02 01 00 03 10 34 ");
  });
  ASSERT_NE(identifyAnswer, items.end());
  EXPECT_EQ(identifyAnswer->size(), 6u + 3u * 11u);  // an 11-byte frame, nothing more
  EXPECT_EQ(h.HidData().hbHidData.ItemIndex(), h.HidData().hbHidData.Count() - 1);
}

TEST(IspTraffic, MemoryItemShowsTheProgramDataWindowModally) {
  IspHarness h(UnitThatStaysAway());
  bool modalWhileShown = false;
  h.Loop().Post([&h, &modalWhileShown] {
    modalWhileShown = h.ProgData().Modal();
    h.ProgData().Close();
  });
  h.Isp().Memory1.Click();
  EXPECT_TRUE(modalWhileShown);
  EXPECT_FALSE(h.ProgData().Visible());
  EXPECT_EQ(h.ProgData().moShowCode.Text(), "Memo1");
}

}  // namespace
}  // namespace kv::test

namespace kv::test {
namespace {

// ---- Behaviours written from the unit's side of the protocol ----

// Two clicks queued while the UI thread is busy: the first disables the button,
// so the second, a click by the user, does not start the chain again.
TEST(IspCommands, DoubleClickOnStartProgramStartsTheChainOnce) {
  sim::SimOptions options = FastUnit();
  options.unit_type = 0x34;  // refused at once: each start sends exactly one query
  IspHarness h(options);
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  h.ClickStartProgram();
  ASSERT_TRUE(h.WaitForBox(" Wrong Uint Type !! "));
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.Link == nullptr; }));
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Starts, 1);
  EXPECT_EQ(h.RunCommandCount(0x10), 1u);
  EXPECT_EQ(h.BoxTexts().size(), 1u);
}

// A unit already in update mode: "Mcu Prog" goes straight to the boot loader;
// the first report the unit ever gets is the connect request (0x80).
TEST(IspCommands, McuProgSendsNoRunModeCommandToAUnitInUpdateMode) {
  SmallImageHarness h(FastUnit(sim::SimStart::kUpdate));
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.RunUntil([&h] { return h.BootRequestCount() > 0; }));
  const std::vector<sim::ReceivedReport> reports = h.Unit().ReceivedReports();
  ASSERT_FALSE(reports.empty());
  ASSERT_GE(reports.front().bytes.size(), 2u);
  EXPECT_EQ(reports.front().bytes[1], 0x80);  // after the report ID
  EXPECT_EQ(h.RunCommandCodes().size(), 0u);
  ASSERT_TRUE(h.WaitForBox(" Program OK !! ")) << h.Unit().Verdict().Text();
  // Only Security's and Dsp Prog's queries, back in run mode.
  EXPECT_EQ(h.RunCommandCount(0x10), 2u);
  EXPECT_EQ(h.RunCommandCount(0x08), 0u);
  EXPECT_EQ(h.Unit().Verdict().violation_count, 0u) << h.Unit().Verdict().Text();
}

// 48 + 56 x 3 bytes: three full data packets and no empty fourth.
TEST(IspChain, ImageOf48Plus56TimesMBytesSendsNoEmptyDataPacket) {
  SmallImageHarness h(FastUnit(sim::SimStart::kUpdate));
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.RunUntil([&h] {
    const std::vector<BootRequest> requests = h.BootRequests();
    return !requests.empty() && requests.back().code == 0x86;
  }));
  std::vector<uint8_t> codes;
  for (const BootRequest& request : h.BootRequests()) codes.push_back(request.code);
  EXPECT_EQ(codes, (std::vector<uint8_t>{0x80, 0x81, 0x82, 0x83, 0x84, 0x81, 0x85, 0x00, 0x00, 0x00,
                                         0x86}));
  const sim::UnitVerdict verdict = h.Unit().Verdict();
  EXPECT_EQ(verdict.violation_count, 0u) << verdict.Text();
  const std::vector<uint8_t> flash = h.Unit().FlashBytes();
  ASSERT_GE(flash.size(), kSmallImageBytes + 1);
  for (size_t i = 0; i < kSmallImageBytes; ++i) {
    ASSERT_EQ(flash[i], static_cast<uint8_t>(i * 7 + 3)) << "flash byte " << i;
  }
  EXPECT_EQ(flash[kSmallImageBytes], 0xFF);
}

// "Get Device ID" shows the identifier with the configuration words of the
// latest earlier "Read Config": none in the first run. The boot loader of the
// simulated unit reports 0x00235100, 0xFFFFFF7F and 0x0001F000.
TEST(IspChain, DeviceIdTextShowsTheIdentifierAndTheEarlierConfiguration) {
  SmallImageHarness h(FastUnit(sim::SimStart::kUpdate));
  TfmIsp& isp = h.Isp();
  std::vector<std::string> deviceIdTexts;
  isp.sbStatus.Subscribe([&](toolkit::Change change) {
    if (change != toolkit::Change::kSimpleText) return;
    if (isp.sbStatus.SimpleText().starts_with("Device ID")) {
      deviceIdTexts.push_back(isp.sbStatus.SimpleText());
    }
  });
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.WaitForBox(" Program OK !! "));
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.RunUntil([&] { return deviceIdTexts.size() == 2; }));
  EXPECT_EQ(deviceIdTexts[0], "Device ID : 00235100, 00000000, 00000000");
  EXPECT_EQ(deviceIdTexts[1], "Device ID : 00235100, FFFFFF7F, 0001F000");
  EXPECT_EQ(isp.DeviceId, 0x00235100u);
}

TEST(IspChain, DeviceIdIsClearedBeforeTheReplyIsChecked) {
  SmallImageHarness h(WithFaults(FastUnit(sim::SimStart::kUpdate), {"bad-echo@device-id"}));
  TfmIsp& isp = h.Isp();
  isp.DeviceId = 0x12345678;
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.WaitForBox("Get ID Error !!"));
  EXPECT_EQ(isp.DeviceId, 0u);
}

// The parameter exchange and the DSP download: the bar pure red throughout,
// and after each chunk's answer the text names the chunk just acknowledged.
TEST(IspChain, DspDownloadShowsEachAcknowledgedChunkOnARedBar) {
  IspHarness h(FastUnit());
  TfmIsp& isp = h.Isp();
  isp.AutoStage = asMcuUpdate;
  isp.McuUpdatePending = 1;
  std::vector<std::string> chunkTexts;
  std::vector<std::string> notRed;
  isp.sbStatus.Subscribe([&](toolkit::Change change) {
    if (change != toolkit::Change::kSimpleText) return;
    const std::string& text = isp.sbStatus.SimpleText();
    const toolkit::Color red = toolkit::Color::Rgb(255, 0, 0);
    const bool busy =
        text == "Parameter Data" || text == "Dsp Program" || text.starts_with("Dsp Progrmming ");
    if (busy && isp.sbStatus.Background() != red) notRed.push_back(text);
    if (text.starts_with("Dsp Progrmming ")) chunkTexts.push_back(text);
  });
  bool redWhileParameters = false;
  ASSERT_TRUE(h.RunUntil([&] { return isp.UpdateState == 1; }));
  redWhileParameters = isp.sbStatus.Background() == toolkit::Color::Rgb(255, 0, 0);
  ASSERT_TRUE(h.WaitForBox(" Program OK !! "));
  EXPECT_TRUE(redWhileParameters);
  EXPECT_TRUE(notRed.empty()) << notRed.front();
  ASSERT_EQ(chunkTexts.size(), 814u);
  for (size_t k = 0; k < chunkTexts.size(); ++k) {
    ASSERT_EQ(chunkTexts[k], "Dsp Progrmming " + std::to_string(k));
  }
  EXPECT_EQ(isp.sbStatus.Background(), toolkit::Color::ButtonFace());
}

// cmdCode04 goes out only once the " Program OK !! " box has been closed,
// however long it stays open; the keep-alive before it does not wait.
TEST(IspChain, ClosingCommandWaitsForTheSuccessBoxToClose) {
  constexpr auto kBoxOpen = 150ms;
  IspHarness h(FastUnit(), FastTiming(), kBoxOpen);
  TfmIsp& isp = h.Isp();
  isp.AutoStage = asMcuUpdate;
  isp.McuUpdatePending = 1;
  // Samples taken every 10 ms by a timer, which runs inside the box's own loop.
  bool sampledWhileOpen = false;
  bool code04WhileOpen = false;
  bool keepAliveWhileOpen = false;
  toolkit::Timer sampler(h.Loop(), 10);
  sampler.OnTimer = [&] {
    if (h.Boxes().OpenCount() == 0) return;
    sampledWhileOpen = true;
    if (h.RunCommandCount(0x04) > 0) code04WhileOpen = true;
    if (h.RunCommandCount(0x12) > 0) keepAliveWhileOpen = true;
  };
  sampler.Start();
  ASSERT_TRUE(h.WaitForBox(" Program OK !! "));
  ASSERT_TRUE(h.WaitForRunCommand(0x04));
  sampler.Stop();
  EXPECT_TRUE(sampledWhileOpen);
  EXPECT_TRUE(keepAliveWhileOpen);
  EXPECT_FALSE(code04WhileOpen);
  const std::vector<uint8_t> codes = h.RunCommandCodes();
  ASSERT_GE(codes.size(), 2u);
  EXPECT_EQ(codes.back(), 0x04);
}

// Each link waits as long as its commands need: 5,000 ms for the unit check's
// and the parameter data's commands, 10,000 ms for the new link of "Dsp Prog",
// 500 ms once the update has ended and the link polls the unit again.
// "Dsp Prog" closes the parameter data's link, here held up by an unanswered
// query, and works on a new one: its query goes out at once, and the block
// request the old link held back never does.
TEST(IspChain, EachLinkWaitsAsLongAsItsCommandsNeedAndDspProgTakesANewOne) {
  IspHarness h(WithFaults(FastUnit(), {"no-reply@cmd:0x10"}));
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  isp.bnSecurity.Click();
  ASSERT_NE(isp.Link, nullptr);
  EXPECT_EQ(isp.Link->WaitTimeout(), 5000ms);
  ASSERT_TRUE(h.WaitForRunCommand(cmdIdentify));
  EXPECT_EQ(isp.Link->QueuedCount(), 1u);

  isp.bnDspPorgram.Click();
  ASSERT_NE(isp.Link, nullptr);
  EXPECT_EQ(isp.Link->WaitTimeout(), 10000ms);
  EXPECT_TRUE(h.WaitForRunCommand(cmdIdentify, 2));
  ASSERT_TRUE(h.WaitForRunCommand(cmdDspBlock));
  EXPECT_EQ(h.RunCommandCount(cmdReadParameter), 0u);
}

TEST(IspChain, TheFinishedLinkWaitsHalfASecond) {
  IspHarness h(FastUnit());
  TfmIsp& isp = h.Isp();
  isp.AutoStage = asMcuUpdate;
  isp.McuUpdatePending = 1;
  ASSERT_TRUE(h.WaitForBox(" Program OK !! "));
  ASSERT_NE(isp.Link, nullptr);
  EXPECT_EQ(isp.Link->WaitTimeout(), 500ms);
}

// Replies to the boot-loader queries carry the next packet number in byte 4;
// bytes 5 to 7 are not part of it. Only the data packets' replies use all four.
struct PacketNumberCase {
  const char* name;
  int32_t state;
  int32_t nextPacketNumber;  // after the reply and the next step's request
};

void PrintTo(const PacketNumberCase& value, std::ostream* out) {
  *out << value.name;
}

class IspPacketNumber : public testing::TestWithParam<PacketNumberCase> {};

TEST_P(IspPacketNumber, ComesFromByteFourAloneBeforeTheDataPackets) {
  IspHarness h(UnitThatStaysAway());
  TfmIsp& isp = h.Isp();
  HexTable image(SmallImageRecords(kSmallImageBytes));
  isp.McuImageLines = image.Lines();
  ASSERT_TRUE(isp.Image.ImageByteCount == 0);
  // The image "Mcu Prog" would have prepared.
  isp.bnMcuProgram.Click();
  ASSERT_EQ(isp.Image.ImageByteCount, static_cast<int32_t>(kSmallImageBytes));
  isp.tmMcuProg.Stop();
  isp.UpdateState = GetParam().state;
  isp.ProgramOffset = 48;
  isp.RequestSum = 0x00001234;
  // Echo 0x1234, then bytes 4 to 7: 05 01 02 03.
  std::vector<uint8_t> reply(64, 0);
  reply[0] = 0x34;
  reply[1] = 0x12;
  reply[4] = 0x05;
  reply[5] = 0x01;
  reply[6] = 0x02;
  reply[7] = 0x03;
  const ByteBuffer response(reply.data(), reply.size());
  isp.LinkMessage(WM_LINK_RESPONSE, reinterpret_cast<uintptr_t>(&response), 0);
  EXPECT_TRUE(h.Boxes().Boxes().empty());
  EXPECT_EQ(isp.UpdateState, GetParam().state + (GetParam().state == 9 ? 0 : 1));
  EXPECT_EQ(isp.PacketNumber, GetParam().nextPacketNumber);
}

INSTANTIATE_TEST_SUITE_P(
    States, IspPacketNumber,
    testing::Values(PacketNumberCase{"Connect", 2, 5},      // Sync Package keeps it
                    PacketNumberCase{"SyncPackage", 3, 5},  // the version query keeps it
                    PacketNumberCase{"FirmwareVersion", 4, 5}, PacketNumberCase{"DeviceId", 5, 5},
                    PacketNumberCase{"SyncProgram", 7, 6},     // Start Program adds 1
                    PacketNumberCase{"StartProgram", 8, 6},    // a data packet adds 1
                    PacketNumberCase{"Data", 9, 0x03020106}),  // all 32 bits, plus 1
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kv::test
