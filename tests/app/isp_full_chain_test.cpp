// One complete update at the tool's own pacing, from the user's click on
// "Start Program " to " Program OK !! " and cmdCode04, checked against what the
// simulated unit received.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/engine_texts.h"
#include "image/dsp_image.h"
#include "image/image_dump.h"
#include "image/mcu_image.h"
#include "isp_harness.h"

namespace kv::test {
namespace {

constexpr auto kFullChainLimit = 120s;
constexpr int32_t kEmbeddedImageBytes = 67324;
constexpr int kDataPackets = 1202;
constexpr int kDspChunks = 814;

std::string Dump(const FirmwareImage& image) {
  return DumpImage(image.ImageBuffer, image.ImageByteCount, 0);
}

TEST(IspFullChain, UpdatesTheUnitFromOneClickAtTheToolsOwnPace) {
  IspHarness h(sim::SimOptions{}, TIspTiming{}, 0ms);
  TfmIsp& isp = h.Isp();

  FirmwareImage mcuImage;
  ASSERT_TRUE(Succeeded(ParseMcuImage(mcuImage, kMcuImageBound, EmbeddedMcuHexLines(), {})));
  FirmwareImage dspImage;
  ASSERT_TRUE(PrepareDspImage(dspImage));

  // What the window shows along the way.
  std::vector<std::string> stepTexts;
  int progressMaxDuringIsp = 0;
  bool mcuListingDuringIsp = false;
  bool resetSeenWithUnitHeld = false;
  isp.sbStatus.Subscribe([&](toolkit::Change change) {
    if (change == toolkit::Change::kPanel && isp.sbStatus.PanelText(1) == TfmIsp::kPanelNoDevice &&
        isp.sbStatus.SimpleText() == texts::kStepMcuReset) {
      resetSeenWithUnitHeld = isp.HeldDevice != nullptr;
    }
    if (change != toolkit::Change::kSimpleText) return;
    const std::string& text = isp.sbStatus.SimpleText();
    stepTexts.push_back(text);
    if (text == texts::kStepConnect) {
      progressMaxDuringIsp = isp.pbProgress.Max();
      mcuListingDuringIsp = h.ProgData().moShowCode.Text() == Dump(mcuImage);
    }
  });
  bool chainFinishedBeforeSuccessBox = false;
  h.Boxes().OnShown = [&](const toolkit::ScriptedMessageBoxes::Shown& box) {
    if (box.text != texts::kProgramOk) return;
    chainFinishedBeforeSuccessBox =
        isp.Link != nullptr && isp.AutoStage == asNone && isp.McuUpdatePending == 0;
  };

  ASSERT_TRUE(h.WaitUntilReady());
  EXPECT_EQ(isp.sbStatus.PanelText(1), TfmIsp::kPanelRunHid);
  h.ClickStartProgram();
  ASSERT_TRUE(h.WaitForBox(texts::kProgramOk, kFullChainLimit)) << h.Unit().Verdict().Text();
  ASSERT_TRUE(h.WaitForRunCommand(cmdCode04));

  // The unit holds both images, byte for byte, and saw nothing wrong.
  const sim::UnitVerdict verdict = h.Unit().Verdict();
  EXPECT_TRUE(verdict.UpdateComplete()) << verdict.Text();
  EXPECT_EQ(verdict.violation_count, 0u);
  EXPECT_EQ(h.BoxTexts(), std::vector<std::string>{std::string(texts::kProgramOk)});
  EXPECT_TRUE(h.exceptions.empty());

  // Packet numbers: 1, 2, 3, 4, 5, then 1, 3, and 5, 7, 9 ... for the data.
  const std::vector<BootRequest> requests = h.BootRequests();
  ASSERT_EQ(requests.size(), 7u + kDataPackets + 1);
  const std::vector<uint32_t> opening{1, 2, 3, 4, 5, 1, 3};
  for (size_t i = 0; i < opening.size(); ++i) EXPECT_EQ(requests[i].packetNumber, opening[i]);
  for (int k = 0; k < kDataPackets; ++k) {
    ASSERT_EQ(requests[7 + k].code, ispProgramData);
    ASSERT_EQ(requests[7 + k].packetNumber, static_cast<uint32_t>(5 + 2 * k)) << "packet " << k;
  }
  EXPECT_EQ(requests.back().code, ispMcuReset);
  EXPECT_EQ(progressMaxDuringIsp, kEmbeddedImageBytes / 56 + 1);
  EXPECT_EQ(progressMaxDuringIsp, 1203);

  // The k-th data packet shows "Mcu Programing " followed by k, in order.
  std::vector<std::string> dataTexts;
  std::copy_if(stepTexts.begin(), stepTexts.end(), std::back_inserter(dataTexts),
               [](const std::string& text) { return text.starts_with(texts::kStepProgramData); });
  ASSERT_EQ(dataTexts.size(), static_cast<size_t>(kDataPackets));
  for (int k = 0; k < kDataPackets; ++k) {
    ASSERT_EQ(dataTexts[k], std::string(texts::kStepProgramData) + std::to_string(k));
  }
  EXPECT_TRUE(resetSeenWithUnitHeld);

  // 814 DSP chunks, the key derived as the unit derives it, the DSP listing last.
  EXPECT_EQ(h.RunCommandCount(cmdDspBlock), static_cast<uint32_t>(kDspChunks));
  EXPECT_EQ(isp.DspLastChunk, kDspChunks - 1);
  EXPECT_EQ(isp.SessionKey, h.Unit().Key());
  EXPECT_TRUE(mcuListingDuringIsp);
  EXPECT_EQ(h.ProgData().moShowCode.Text(), Dump(dspImage));

  // Pacing, from the timers' own tally: Connect to Sync Program 6 x 20 ms (a
  // fresh window's ProgramOffset is 0), Start Program 1000 ms, then 20 ms for
  // each of the first 1,200 data packets (more than 56 bytes remain behind
  // them) and 200 ms for the last two: 120 + 1000 + 24,000 + 400 = 25,520 ms.
  EXPECT_EQ(isp.tmUsbWait.Counted().Starts, 6 + 1 + kDataPackets);
  EXPECT_EQ(isp.tmUsbWait.Counted().Armed, std::chrono::milliseconds(25520));
  EXPECT_EQ(isp.tmUsbWait.Counted().Fires, 6 + 1 + kDataPackets);
  // "MCU Reset" starts its release, then starts it again on reading its text back.
  EXPECT_EQ(isp.tmWaitDisconnect.Counted().Starts, 2);
  EXPECT_EQ(isp.tmWaitDisconnect.Counted().Armed, std::chrono::milliseconds(2 * 500));
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Armed, std::chrono::milliseconds(3000));
  EXPECT_EQ(isp.tmAutoUpdate.Counted().Fires, 0);  // the unit answered the query

  // The chain's end: keep-alive, the box, then cmdCode04; the link stays and polls.
  const std::vector<uint8_t> codes = h.RunCommandCodes();
  const auto keepAlive = std::find(codes.rbegin(), codes.rend(), cmdKeepAlive);
  ASSERT_NE(keepAlive, codes.rend());
  EXPECT_EQ(codes.back(), cmdCode04);
  EXPECT_TRUE(chainFinishedBeforeSuccessBox);
  EXPECT_EQ(isp.AutoStage, asNone);
  EXPECT_EQ(isp.McuUpdatePending, 0);
  EXPECT_EQ(isp.UpdateState, usRunCommands);
  EXPECT_NE(isp.Link, nullptr);
  EXPECT_FALSE(isp.btnStartProgram.Enabled());
  EXPECT_EQ(isp.sbStatus.Background(), toolkit::Color::ButtonFace());
  EXPECT_EQ(isp.sbStatus.PanelText(0), TfmIsp::kPanelDisconnect);
  EXPECT_EQ(isp.pbProgress.Position(), 0);
  // The traffic window stayed hidden: nothing listed, though every line was produced.
  EXPECT_EQ(h.HidData().hbHidData.Count(), 0);
  EXPECT_GT(h.traffic.size(), static_cast<size_t>(2 * (kDataPackets + kDspChunks)));
}

}  // namespace
}  // namespace kv::test
