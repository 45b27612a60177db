// The chain's pacing, read from the timers' own tally rather than a wall clock:
// every interval below is the tool's own (the window runs with its default
// timing wherever a timer is tallied), and every expected figure is worked out
// from the arming rules of the boot-loader steps, not from the tool's constants.
//
// Arming of a boot-loader reply: 1000 ms for "Start Program"; otherwise 20 ms
// while ProgramOffset + 56 < ImageByteCount, else 200 ms. ProgramOffset is 0
// in a fresh window and stays at ImageByteCount after a finished run.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "isp_harness.h"

namespace kv::test {
namespace {

using std::chrono::milliseconds;

// kSmallImageBytes is 48 bytes with "Start Program" and three full data packets:
// after the packets ProgramOffset is 104, 160, 216, so the replies are armed 20,
// 200 and 200 ms.
constexpr auto kChainLimit = 60s;

struct TimerFigures {
  long long starts;
  milliseconds armed;
};

TimerFigures Figures(const toolkit::Timer& timer) {
  return {timer.Counted().Starts, timer.Counted().Armed};
}

// Two boot-loader runs in one window: the unit waits in update mode, the user
// presses "Start Program ", the 3000 ms fallback programs it, the chain ends
// with " Program OK !! "; then "Mcu Prog" runs a second update on the same window.
TEST(IspTimerTally, FallbackIs3000MsAndASecondRunsFirstStepsWait200MsEach) {
  IspHarness h(FastUnit(sim::SimStart::kUpdate), TIspTiming{}, 0ms);
  TfmIsp& isp = h.Isp();
  HexTable image(SmallImageRecords(kSmallImageBytes));
  isp.McuImageLines = image.Lines();
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.WaitForBox(" Program OK !! ", kChainLimit)) << h.Unit().Verdict().Text();

  // Version did nothing (no run-mode unit), so only the fallback decided.
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Starts, 1);
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Armed, milliseconds(3000));
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Fires, 1);
  // Connect to Sync Program: 6 x 20; Start Program: 1000; data: 20 + 200 + 200.
  const TimerFigures firstRun = Figures(isp.tmUsbWait);
  EXPECT_EQ(firstRun.starts, 6 + 1 + 3);
  EXPECT_EQ(firstRun.armed, milliseconds(6 * 20 + 1000 + 20 + 200 + 200));
  // "MCU Reset" arms the 500 ms release, and arms it again when it reads its own
  // step text back: two starts of 500 ms each.
  EXPECT_EQ(isp.tmWaitDisconnect.Counted().Starts, 2);
  EXPECT_EQ(isp.tmWaitDisconnect.Counted().Armed, milliseconds(2 * 500));
  // After the parameter data and after the DSP download: 100 ms each.
  EXPECT_EQ(isp.tmRunStep.Counted().Starts, 2);
  EXPECT_EQ(isp.tmRunStep.Counted().Armed, milliseconds(200));
  EXPECT_EQ(isp.tmDspProgram.Counted().Armed, milliseconds(100));
  // "Mcu Prog" polls for the update-mode unit every 100 ms; its first tick found it.
  EXPECT_EQ(isp.tmMcuProg.Counted().Starts, 1);
  EXPECT_EQ(isp.tmMcuProg.Counted().Armed, milliseconds(100));
  EXPECT_EQ(isp.ProgramOffset, static_cast<int32_t>(kSmallImageBytes));

  // The second run: the same unit, back in run mode, programmed once more.
  const size_t boxesBefore = h.Boxes().Boxes().size();
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.RunUntil([&] { return h.Boxes().Boxes().size() > boxesBefore; }, kChainLimit));
  EXPECT_EQ(h.Boxes().Boxes().back().text, " Program OK !! ");

  // Connect to Sync Program now wait 200 ms each: 6 x 200 + 1000 + 20 + 200 + 200.
  const TimerFigures total = Figures(isp.tmUsbWait);
  EXPECT_EQ(total.starts - firstRun.starts, 6 + 1 + 3);
  EXPECT_EQ(total.armed - firstRun.armed, milliseconds(6 * 200 + 1000 + 20 + 200 + 200));
  EXPECT_EQ(isp.tmWaitDisconnect.Counted().Armed, milliseconds(4 * 500));
  EXPECT_EQ(h.Unit().Verdict().violation_count, 0u) << h.Unit().Verdict().Text();
  EXPECT_TRUE(h.exceptions.empty());
}

// A refused unit: the link is released 500 ms after the box; a second press
// meets a unit that no longer answers, and the 3000 ms fallback, remembering the
// refusal, only enables "Start Program " again.
TEST(IspTimerTally, AfterARefusalTheFallbackOnlyReenablesStartProgram) {
  sim::SimOptions options = WithFaults(FastUnit(), {"no-reply@cmd:0x10:2"});
  options.version_text = "KV-93T  011";
  TIspTiming timing = FastTiming();
  timing.AutoUpdate = TIspTiming{}.AutoUpdate;
  timing.WrongDisconnect = TIspTiming{}.WrongDisconnect;
  IspHarness h(options, timing, 0ms);
  TfmIsp& isp = h.Isp();
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.WaitForBox("Too Old Version Uint !! "));
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.Link == nullptr; }));
  EXPECT_EQ(isp.tmWrongDisconnect.Counted().Starts, 1);
  EXPECT_EQ(isp.tmWrongDisconnect.Counted().Armed, milliseconds(500));
  // The answer to the query stopped the first fallback before it fired.
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Fires, 0);
  ASSERT_TRUE(isp.btnStartProgram.Enabled());

  h.ClickStartProgram();
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.tmAutoUpdate.Counted().Fires == 1; }));
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Starts, 2);
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Armed, milliseconds(2 * 3000));
  EXPECT_TRUE(isp.btnStartProgram.Enabled());
  // "Mcu Prog" did not run: nothing parsed or listed, no switch, no polling.
  EXPECT_FALSE(isp.tmMcuProg.Enabled());
  EXPECT_EQ(isp.tmMcuProg.Counted().Starts, 0);
  EXPECT_EQ(isp.McuUpdatePending, 0);
  EXPECT_EQ(h.ProgData().moShowCode.Text(), "Memo1");
  h.RunFor(50ms);
  EXPECT_EQ(h.RunCommandCount(0x08), 0u);
  EXPECT_EQ(h.RunCommandCount(0x10), 2u);
}

// The other way round: a unit that passes the check clears an earlier refusal,
// so a unit that later sits silent in update mode is programmed by the fallback.
TEST(IspTimerTally, APassedCheckClearsTheRefusalSoTheFallbackProgramsALaterSilentUnit) {
  IspHarness h(FastUnit());
  TfmIsp& isp = h.Isp();
  HexTable image(SmallImageRecords(kSmallImageBytes));
  isp.McuImageLines = image.Lines();
  isp.UpdateRefused = 1;  // as an earlier unit's refusal left it
  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  ASSERT_TRUE(h.WaitForBox(" Program OK !! ")) << h.Unit().Verdict().Text();
  EXPECT_EQ(isp.UpdateRefused, 0);
  // The check's two questions, then "Mcu Prog" asks again and switches the unit.
  const std::vector<uint8_t> codes = h.RunCommandCodes();
  ASSERT_GE(codes.size(), 4u);
  EXPECT_EQ(std::vector<uint8_t>(codes.begin(), codes.begin() + 4),
            (std::vector<uint8_t>{0x10, 0x13, 0x10, 0x08}));
  ASSERT_TRUE(h.WaitForRunCommand(0x04));

  h.Unit().PlugIn(sim::Personality::kUpdate);
  ASSERT_TRUE(h.RunUntil([&isp] {
    return isp.sbStatus.PanelText(1) == "Detect Update HID" && isp.btnStartProgram.Enabled();
  }));
  const uint32_t requestsBefore = h.BootRequestCount();
  h.ClickStartProgram();
  ASSERT_TRUE(h.RunUntil([&] { return h.BootRequestCount() > requestsBefore; }));
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Starts, 2);
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Fires, 1);  // the first was stopped by the answer
}

// After a completed chain UpdateState stays 1: a new unit check's answers are
// not read as a check and do not stop the fallback, which decides after 3000 ms.
TEST(IspTimerTally, UnitCheckAfterACompletedChainIsIgnoredAndTheFallbackDecides) {
  TIspTiming timing = FastTiming();
  timing.AutoUpdate = TIspTiming{}.AutoUpdate;
  IspHarness h(FastUnit(), timing);
  TfmIsp& isp = h.Isp();
  isp.AutoStage = asMcuUpdate;  // the unit is back from its microcontroller update
  isp.McuUpdatePending = 1;
  ASSERT_TRUE(h.WaitForBox(" Program OK !! "));
  ASSERT_TRUE(h.WaitForRunCommand(0x04));
  ASSERT_EQ(isp.UpdateState, 1);
  const uint32_t identifiesBefore = h.RunCommandCount(0x10);

  h.Loop().Post([&isp] { isp.btnStartProgram.Click(); });
  ASSERT_TRUE(h.WaitForRunCommand(0x10, identifiesBefore + 1));
  h.RunFor(100ms);  // the identify reply has long been handled
  EXPECT_TRUE(isp.tmAutoUpdate.Enabled());
  EXPECT_EQ(h.RunCommandCount(0x13), 0u);  // no version text asked for
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.tmAutoUpdate.Counted().Fires == 1; }));
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Armed, milliseconds(3000));
  // Not refused, so the fallback programs: "Mcu Prog" switches the unit.
  EXPECT_TRUE(h.WaitForRunCommand(0x08));
  EXPECT_EQ(isp.McuUpdatePending, 1);
}

// "MCU Reset" with a unit that stays on the bus: nothing the unit sends after
// the reset is taken, and the 500 ms release closes the session.
TEST(IspTimerTally, ResetReleasesTheLinkAfter500MsWhenTheUnitStaysAndTakesNoReport) {
  // The unit answers the reset, and leaves the bus, only a minute later: long
  // after this test, however slowly the machine lets the release come.
  const sim::SimOptions options =
      WithFaults(FastUnit(sim::SimStart::kUpdate), {"late:60000@reset"});
  TIspTiming timing = FastTiming();
  timing.WaitDisconnect = TIspTiming{}.WaitDisconnect;
  IspHarness h(options, timing);
  TfmIsp& isp = h.Isp();
  HexTable image(SmallImageRecords(kSmallImageBytes));
  isp.McuImageLines = image.Lines();
  size_t trafficAtReset = 0;
  bool linkHeldAtReset = false;
  isp.sbStatus.Subscribe([&](toolkit::Change change) {
    if (change != toolkit::Change::kSimpleText || isp.sbStatus.SimpleText() != "MCU Reset") return;
    trafficAtReset = h.traffic.size();
    linkHeldAtReset = isp.Link != nullptr;
  });
  ASSERT_TRUE(h.WaitUntilReady());
  h.Loop().Post([&isp] { isp.bnMcuProgram.Click(); });
  ASSERT_TRUE(h.RunUntil([&isp] { return isp.sbStatus.SimpleText() == "MCU Reset"; }));
  EXPECT_TRUE(linkHeldAtReset);
  EXPECT_EQ(isp.sbStatus.PanelText(1), "No Device");
  ASSERT_NE(isp.HeldDevice, nullptr);

  // A stray boot-loader reply while the release is pending: echo 0, number 9.
  const std::optional<hid::SimulatedHidBus::DeviceId> id = h.Unit().CurrentDeviceId();
  ASSERT_TRUE(id.has_value());
  std::vector<uint8_t> stray(65, 0);
  stray[5] = 9;
  h.Bus().SendInputReport(*id, stray);

  ASSERT_TRUE(h.RunUntil([&isp] { return isp.Link == nullptr; }));
  EXPECT_EQ(isp.tmWaitDisconnect.Counted().Fires, 1);
  EXPECT_EQ(isp.tmWaitDisconnect.Counted().Starts, 2);  // the step, then its read-back
  EXPECT_EQ(isp.tmWaitDisconnect.Counted().Armed, milliseconds(2 * 500));
  EXPECT_NE(isp.HeldDevice, nullptr);  // the unit had not left: the timer released it
  EXPECT_EQ(isp.UpdateState, 0);
  // The written reset request is the only traffic after the step text.
  ASSERT_GE(h.traffic.size(), trafficAtReset);
  for (size_t i = trafficAtReset; i < h.traffic.size(); ++i) {
    EXPECT_EQ(h.traffic[i].rfind("R ", 0), std::string::npos) << h.traffic[i];
  }
  EXPECT_TRUE(h.Boxes().Boxes().empty());
}

}  // namespace
}  // namespace kv::test
