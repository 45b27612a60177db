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

// 48 bytes for "Start Program" and three full data packets.
constexpr size_t kSmallImageBytes = 48 + 3 * 56;

sim::SimOptions WithFaults(sim::SimOptions options, const std::vector<std::string>& faults) {
  for (const std::string& text : faults) {
    sim::SimFault fault;
    std::string error;
    EXPECT_TRUE(sim::ParseSimFault(text, fault, error)) << error;
    options.faults.push_back(fault);
  }
  return options;
}

// A harness whose "Mcu Prog" programs a small image, so a boot-loader run is short.
struct SmallImageHarness : IspHarness {
  explicit SmallImageHarness(sim::SimOptions options, toolkit::Clock::duration boxCloseAfter = 10ms)
      : IspHarness(std::move(options), FastTiming(), boxCloseAfter) {
    Isp().McuImageLines = image.Span();
  }
  HexLines image{SmallImageRecords(kSmallImageBytes)};
};

size_t CountLinesStartingWith(const std::vector<std::string>& lines, std::string_view start) {
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [start](const auto& line) { return line.starts_with(start); }));
}

// ---- Start-up and detection ----

TEST(IspWindow, StartsWithNoDeviceAndOnlyVersionEnabled) {
  sim::SimOptions options = FastUnit(sim::SimStart::kAbsent);
  options.attach_ms = 60000;
  IspHarness h(options);
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
  ASSERT_TRUE(h.WaitUntilReady());
  EXPECT_EQ(isp.sbStatus.PanelText(1), TfmIsp::kPanelRunHid);
  hid::TJvHidDevice* held = isp.HeldDevice;
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(held->CheckedOut());

  isp.HidCtlDeviceChange();
  isp.HidCtl->Enumerate();
  EXPECT_EQ(isp.HeldDevice, held);
  EXPECT_EQ(isp.sbStatus.PanelText(1), TfmIsp::kPanelRunHid);
  EXPECT_TRUE(isp.btnStartProgram.Enabled());
  EXPECT_FALSE(isp.bnSecurity.Enabled());
  EXPECT_FALSE(isp.bnDspPorgram.Enabled());
}

TEST(IspDetection, UpdateModeUnitEnablesStartOnlyWhileNoUpdateIsPending) {
  {
    IspHarness h(FastUnit(sim::SimStart::kUpdate));
    ASSERT_TRUE(h.WaitUntilReady());
    EXPECT_EQ(h.Isp().sbStatus.PanelText(1), TfmIsp::kPanelUpdateHid);
    EXPECT_FALSE(h.Isp().bnDspPorgram.Enabled());
  }
  {
    IspHarness h(FastUnit(sim::SimStart::kUpdate));
    h.Isp().McuUpdatePending = 1;
    ASSERT_TRUE(h.RunUntil([&h] { return h.Isp().HeldDevice != nullptr; }));
    h.RunFor(20ms);
    EXPECT_EQ(h.Isp().sbStatus.PanelText(1), TfmIsp::kPanelUpdateHid);
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
  sim::SimOptions options = FastUnit(sim::SimStart::kAbsent);
  options.attach_ms = 60000;
  IspHarness h(options);
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
    testing::Values(RefusalCase{"UnitType", 0x34, "KV-93T  012", texts::kWrongUnitType},
                    RefusalCase{"TooOld", 0x33, "KV-93T  011", texts::kTooOldVersion},
                    RefusalCase{"TooNew", 0x33, "KV-93T  013", texts::kTooNewVersion},
                    RefusalCase{"LowerCaseModel", 0x33, "kv-93t  012", texts::kWrongUnitType},
                    RefusalCase{"EightCharacters", 0x33, "KV-93T01", texts::kTooOldVersion}),
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
  // The unit was back in run mode before the post-reset release was due; the
  // release belonged to the session its unplug had already closed, and did not
  // close the parameter exchange's session.
  EXPECT_EQ(isp.Tally(TChainTimer::kWaitDisconnect).Starts, 2);
  EXPECT_EQ(isp.Tally(TChainTimer::kWaitDisconnect).Fires, 0);
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
  // Every reply of this unit arrives long before the arming fires.
  TIspTiming timing = FastTiming();
  timing.UsbWaitOther = 40ms;
  timing.UsbWaitData = 40ms;
  IspHarness h(WithFaults(FastUnit(sim::SimStart::kUpdate), {"duplicate@connect"}), timing);
  TfmIsp& isp = h.Isp();
  HexLines image(SmallImageRecords(kSmallImageBytes));
  isp.McuImageLines = image.Span();
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.UpdateState == usSyncProgram; }));
  // The connect reply echoes 0x81: listed once, though the unit sent it twice.
  EXPECT_EQ(CountLinesStartingWith(h.traffic, "R 00  81 00 00 00"), 1u);
  EXPECT_TRUE(h.Boxes().Boxes().empty());
}

TEST(IspMends, ReplyBeforeTheRequestWasWrittenIsDropped) {
  sim::SimOptions options = FastUnit(sim::SimStart::kAbsent);
  options.attach_ms = 60000;
  IspHarness h(options);
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
  sim::SimOptions options = FastUnit(sim::SimStart::kAbsent);
  options.attach_ms = 60000;
  IspHarness h(options);
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
  HexLines image(GetParam().records);
  isp.McuImageLines = image.Span();
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
  sim::SimOptions options = FastUnit(sim::SimStart::kAbsent);
  options.attach_ms = 60000;
  IspHarness h(options);
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
