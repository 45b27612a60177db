// The window's typed events through whole chains against the simulated unit:
// what a front end learns without reading a text or a field of the window.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "app/isp_events.h"
#include "isp_harness.h"

namespace kv::test {
namespace {

// The events a front end follows the chain by, one line each. Progress, the red
// bar and the timers are left out: they come and go with the machine's pace. A
// connection is listed when its kind changes, not when the unit is only let go.
struct EventLog {
  std::vector<std::string> lines;
  TIspConnection connection = TIspConnection::kNone;

  void operator()(const TIspEvent& event) {
    if (const auto* picture = std::get_if<TIspPicture>(&event)) {
      connection = picture->Connection.Connection;
      lines.push_back("picture " + picture->Connection.Panel);
    } else if (const auto* link = std::get_if<TIspConnectionEvent>(&event)) {
      if (link->Connection == connection) return;
      connection = link->Connection;
      lines.push_back("connection " + link->Panel);
    } else if (const auto* step = std::get_if<TIspStepEvent>(&event)) {
      std::string line = "step " + step->Text;
      if (step->Number) line += " #" + std::to_string(*step->Number);
      lines.push_back(line);
    } else if (const auto* mcu = std::get_if<TIspMcuDownloadEvent>(&event)) {
      lines.push_back("mcu " + std::to_string(mcu->BytesSent) + " of " +
                      std::to_string(mcu->ImageBytes) + " bytes, " +
                      std::to_string(mcu->DataPackets) + " packets");
    } else if (const auto* dsp = std::get_if<TIspDspDownloadEvent>(&event)) {
      lines.push_back("dsp chunks 0 to " + std::to_string(dsp->LastChunk));
    } else if (const auto* box = std::get_if<TIspMessageEvent>(&event)) {
      lines.push_back("box " + std::to_string(static_cast<int>(box->Id)) + " \"" + box->Text +
                      "\"");
    } else if (std::holds_alternative<TIspSessionEndEvent>(event)) {
      lines.push_back("session end");
    }
  }
};

// "<text>0 #0" ... for a counting step's run of `count`.
std::vector<std::string> Counting(const std::string& text, int count) {
  std::vector<std::string> lines;
  for (int k = 0; k < count; ++k) {
    lines.push_back("step " + text + std::to_string(k) + " #" + std::to_string(k));
  }
  return lines;
}

std::vector<std::string> Joined(const std::vector<std::vector<std::string>>& pieces) {
  std::vector<std::string> lines;
  for (const auto& piece : pieces) lines.insert(lines.end(), piece.begin(), piece.end());
  return lines;
}

struct EventCase {
  const char* name;
  const char* versionText;
  std::vector<std::string> beforeClose;
  std::vector<std::string> atClose;  // the window closed by the user
};

void PrintTo(const EventCase& value, std::ostream* out) {
  *out << value.name;
}

const std::vector<EventCase>& Cases() {
  static const std::vector<EventCase> cases{
      {"WholeUpdate",
       "KV-93T  012",
       Joined(
           {{"picture No Device", "connection Detect Run HID",
             // "Mcu Prog": the unit leaves for its boot loader.
             "connection No Device", "session end", "connection Detect Update HID", "step Connect",
             "step Sync Package", "step Get Firmware Version", "step Get Device ID",
             "step Device ID : 00235100, 00000000, 00000000", "step Read Config",
             "step Sync Program", "step Start Program",
             // 48 bytes with "Start Program", 56 with each of the three data packets.
             "mcu 48 of 216 bytes, 3 packets"},
            {"step Mcu Programing 0 #0", "mcu 104 of 216 bytes, 3 packets",
             "step Mcu Programing 1 #1", "mcu 160 of 216 bytes, 3 packets",
             "step Mcu Programing 2 #2", "mcu 216 of 216 bytes, 3 packets"},
            {"step MCU Reset", "connection No Device", "session end", "connection Detect Run HID",
             "step Parameter Data", "step Dsp Program", "dsp chunks 0 to 813"},
            Counting("Dsp Progrmming ", 814),
            {"box 1 \" Program OK !! \""}}),
       {"session end"}},
      {"Refusal",
       "KV-93T  011",
       {"picture No Device", "connection Detect Run HID", "box 3 \"Too Old Version Uint !! \"",
        "session end"},
       {}},
  };
  return cases;
}

class IspEvents : public testing::TestWithParam<EventCase> {};

TEST_P(IspEvents, FollowTheChainFromTheClickToTheClose) {
  sim::SimOptions options = FastUnit();
  options.version_text = GetParam().versionText;
  IspHarness h(options);
  TfmIsp& isp = h.Isp();
  HexTable image{SmallImageRecords(kSmallImageBytes)};
  isp.McuImageLines = image.Lines();
  EventLog log;
  isp.SubscribeEvents([&log](const TIspEvent& event) { log(event); });

  ASSERT_TRUE(h.WaitUntilReady());
  h.ClickStartProgram();
  const EventCase& expected = GetParam();
  ASSERT_TRUE(h.RunUntil([&] { return log.lines.size() >= expected.beforeClose.size(); }))
      << testing::PrintToString(log.lines);
  EXPECT_EQ(log.lines, expected.beforeClose);
  isp.Close();
  EXPECT_EQ(log.lines, Joined({expected.beforeClose, expected.atClose}));
  EXPECT_TRUE(h.exceptions.empty());
}

INSTANTIATE_TEST_SUITE_P(Chains, IspEvents, testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kv::test
