// The pieces of kv93t-update that need no unit: the command line, the
// rendering of what the window shows, JSON escaping and what a box means.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/cli/chain_outcome.h"
#include "app/cli/cli_options.h"
#include "app/cli/json_text.h"
#include "app/cli/session_report.h"
#include "app/cli/update_tool.h"
#include "engine/engine_texts.h"
#include "json_check.h"

namespace kv::cli {
namespace {

using toolkit::MessageSymbol;

// ---- Command line ----

TEST(CliOptions, TakesEveryOptionInBothSpellings) {
  const TParseResult parsed =
      ParseCommandLine({"--sim", "start=update", "--sim=fault=bad-echo@data:3", "--trace", "t.txt",
                        "--json", "--timeout=2.5", "--pace-divisor", "10"});
  ASSERT_TRUE(parsed.Options) << parsed.Error;
  const TCliOptions& options = *parsed.Options;
  EXPECT_EQ(options.Mode, TToolMode::kUpdate);
  EXPECT_TRUE(options.Simulate) << "--sim implies --simulate";
  EXPECT_EQ(options.Sim.start, sim::SimStart::kUpdate);
  ASSERT_EQ(options.Sim.faults.size(), 1u);
  EXPECT_EQ(options.Sim.faults[0].kind, sim::FaultKind::kBadEcho);
  EXPECT_EQ(options.TraceFile, "t.txt");
  EXPECT_TRUE(options.Json);
  ASSERT_TRUE(options.TimeoutSeconds);
  EXPECT_DOUBLE_EQ(*options.TimeoutSeconds, 2.5);
  EXPECT_EQ(options.PaceDivisor, 10);
}

TEST(CliOptions, DefaultsWaitWithoutLimitOnHardware) {
  const TParseResult parsed = ParseCommandLine({});
  ASSERT_TRUE(parsed.Options);
  EXPECT_FALSE(parsed.Options->Simulate);
  EXPECT_FALSE(parsed.Options->TimeoutSeconds);
  EXPECT_EQ(parsed.Options->PaceDivisor, 1);
}

TEST(CliOptions, ChoosesTheModes) {
  EXPECT_EQ(ParseCommandLine({"--list"}).Options->Mode, TToolMode::kList);
  const TParseResult dump = ParseCommandLine({"--dump", "dsp"});
  EXPECT_EQ(dump.Options->Mode, TToolMode::kDump);
  EXPECT_EQ(dump.Options->Dump, TDumpImage::kDsp);
  EXPECT_EQ(ParseCommandLine({"--dump=mcu"}).Options->Dump, TDumpImage::kMcu);
  EXPECT_EQ(ParseCommandLine({"--json", "--help"}).Options->Mode, TToolMode::kHelp);
  EXPECT_EQ(ParseCommandLine({"--version"}).Options->Mode, TToolMode::kVersion);
}

TEST(CliOptions, UsageErrorsNameWhatIsWrong) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--frobnicate"}, "--frobnicate"},
      {{"-x"}, "-x"},
      {{"update"}, "update"},
      {{"--trace"}, "--trace"},
      {{"--timeout", "soon"}, "soon"},
      {{"--timeout", "0"}, "--timeout 0"},
      {{"--timeout", "-3"}, "-3"},
      {{"--timeout", "1e9"}, "1e9"},
      {{"--dump", "eeprom"}, "eeprom"},
      {{"--sim", "warp=9"}, "warp"},
      {{"--sim", "reply-ms=70000"}, "reply-ms"},
      {{"--sim", "fault=stuck:56@data:1"}, "stuck"},
      {{"--pace-divisor", "0"}, "--pace-divisor"},
      {{"--json=yes"}, "--json"},
      {{"--dump", "mcu", "--list"}, "--list"},
  };
  for (const auto& [args, named] : cases) {
    const TParseResult parsed = ParseCommandLine(args);
    EXPECT_FALSE(parsed.Options) << args[0];
    EXPECT_NE(parsed.Error.find(named), std::string::npos) << parsed.Error;
  }
}

TEST(CliOptions, AUsageErrorExitsWithOneAndDoesNothing) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunUpdateTool({"--simulate", "--bogus"}, out, err), 1);
  EXPECT_TRUE(out.str().empty());
  EXPECT_NE(err.str().find("unknown option --bogus"), std::string::npos);
  EXPECT_NE(err.str().find("--help"), std::string::npos);
}

TEST(CliOptions, HelpListsEveryExitCode) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunUpdateTool({"--help"}, out, err), 0);
  for (const char* needle : {"0 updated", "1 usage", "2 unit refused", "3 boot-loader", "4 no unit",
                             "5 the simulated", "6 any other", "--trace", "--json"}) {
    EXPECT_NE(out.str().find(needle), std::string::npos) << needle;
  }
}

// ---- What a box means ----

TEST(ChainOutcome, TellsEachBoxOfTheWindowApart) {
  EXPECT_EQ(ClassifyMessage(texts::kProgramOk, MessageSymbol::kInformation), TBoxMeaning::kSuccess);
  for (std::string_view refusal :
       {texts::kWrongUnitType, texts::kTooOldVersion, texts::kTooNewVersion}) {
    EXPECT_EQ(ClassifyMessage(refusal, MessageSymbol::kInformation), TBoxMeaning::kRefusal);
  }
  for (std::string_view failure :
       {texts::kIspStartError, texts::kIspSyncError, texts::kEraseAllError, texts::kGetIdError,
        texts::kProgramStartError, texts::kProgramDataError}) {
    EXPECT_EQ(ClassifyMessage(failure, MessageSymbol::kError), TBoxMeaning::kBootLoaderFailure);
  }
  EXPECT_EQ(ClassifyMessage("READ ERROR: A device attached to the system is not functioning.",
                            MessageSymbol::kInformation),
            TBoxMeaning::kReadError);
  EXPECT_EQ(ClassifyMessage("Check sum error!", MessageSymbol::kError), TBoxMeaning::kFailure);
  EXPECT_EQ(ClassifyMessage(texts::kImageNoEndOfFile, MessageSymbol::kError),
            TBoxMeaning::kFailure);
  // The text must match exactly, blanks included.
  EXPECT_EQ(ClassifyMessage("Program OK !!", MessageSymbol::kInformation), TBoxMeaning::kFailure);
}

TEST(ChainOutcome, MapsMeaningsToExitCodes) {
  EXPECT_EQ(ExitCodeFor(TBoxMeaning::kSuccess), TExitCode::kUpdated);
  EXPECT_EQ(ExitCodeFor(TBoxMeaning::kRefusal), TExitCode::kRefused);
  EXPECT_EQ(ExitCodeFor(TBoxMeaning::kBootLoaderFailure), TExitCode::kBootLoaderFailure);
  EXPECT_EQ(ExitCodeFor(TBoxMeaning::kFailure), TExitCode::kFailed);
  EXPECT_FALSE(EndsChain(TBoxMeaning::kReadError));
  EXPECT_TRUE(EndsChain(TBoxMeaning::kFailure));
}

// ---- Rendering ----

TEST(SessionReport, CountingStepsAreOneStepEach) {
  EXPECT_EQ(StepKind("Mcu Programing 17"), StepKind("Mcu Programing 1201"));
  EXPECT_EQ(StepKind("Dsp Progrmming 5"), "Dsp Progrmming ");
  EXPECT_NE(StepKind("Mcu Programing 17"), StepKind("Dsp Progrmming 17"));
  EXPECT_EQ(StepKind("Device ID : 00235100, 00000000, 00000000"),
            "Device ID : 00235100, 00000000, 00000000");
  EXPECT_EQ(StepKind("Connect"), "Connect");
  EXPECT_EQ(StepKind("Mcu Programing x1"), "Mcu Programing x1");
}

TEST(SessionReport, ProgressBarAndPercentStayInRange) {
  EXPECT_EQ(ProgressBarText(1203, 0, 10), "[----------]");
  EXPECT_EQ(ProgressBarText(1203, 601, 10), "[####------]");
  EXPECT_EQ(ProgressBarText(1203, 1203, 10), "[##########]");
  EXPECT_EQ(ProgressBarText(100, 500, 4), "[####]");
  EXPECT_EQ(ProgressBarText(0, 5, 4), "[----]");
  EXPECT_EQ(ProgressPercent(813, 813), 100);
  EXPECT_EQ(ProgressPercent(813, -1), 0);
  EXPECT_EQ(ProgressPercent(0, 0), 0);
  // Large ranges do not overflow on the way.
  EXPECT_EQ(ProgressPercent(2000000000, 1000000000), 50);
}

TEST(SessionReport, DurationsReadAsClockTimes) {
  EXPECT_EQ(DurationText(0), "0:00");
  EXPECT_EQ(DurationText(65.4), "1:05");
  EXPECT_EQ(DurationText(3723), "1:02:03");
  EXPECT_EQ(DurationText(-5), "0:00");
}

TEST(SessionReport, TheLiveLineHasAFixedWidthWhateverItShows) {
  TWindowView view{"Detect Update HID", "Device ID : 00235100, 00000000, 00000000 and more besides",
                   1203, 600, true};
  const std::string line = LiveLineText(view, 3723.0);
  EXPECT_EQ(line.size(), static_cast<size_t>(kLiveLineWidth));
  EXPECT_EQ(line.find('\r'), std::string::npos);
  EXPECT_NE(line.find("Detect Update HID | Device ID"), std::string::npos);
  EXPECT_NE(line.find(" 49%"), std::string::npos);
  EXPECT_NE(line.find("1:02:03 left"), std::string::npos);
  view.Step = "bad\r\x1b[2Jstep";
  EXPECT_EQ(LiveLineText(view, std::nullopt).find_first_of("\r\x1b"), std::string::npos);
}

TEST(SessionReport, PlainLinesChangeWithTheStepNotWithEveryPacket) {
  std::ostringstream out;
  auto reporter = CreatePlainReporter(out);
  TWindowView view{"Detect Update HID", "Start Program", 1203, 0, true};
  reporter->ViewChanged(view, 1.0);
  for (int packet = 0; packet < 50; ++packet) {
    view.Step = "Mcu Programing " + std::to_string(packet);
    view.ProgressPosition = packet;
    reporter->ViewChanged(view, 1.0 + packet * 0.02);
  }
  view.Panel = "No Device";
  view.Step = "MCU Reset";
  reporter->ViewChanged(view, 3.0);
  reporter->Message(texts::kProgramOk, MessageSymbol::kInformation, 4.0);
  reporter->End(TExitCode::kUpdated, "the unit has been updated", 4.1);

  std::vector<std::string> lines;
  std::istringstream stream(out.str());
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 7u) << out.str();
  EXPECT_EQ(lines[0], "    1.00s  Detect Update HID");
  EXPECT_EQ(lines[1], "    1.00s  Start Program");
  EXPECT_EQ(lines[2], "    1.00s  Mcu Programing ...");
  EXPECT_EQ(lines[3], "    3.00s  No Device");
  EXPECT_EQ(lines[4], "    3.00s  MCU Reset");
  EXPECT_EQ(lines[5], "    4.00s  message (information): \" Program OK !! \"");
  EXPECT_EQ(lines[6], "    4.10s  end (exit 0): the unit has been updated");
}

TEST(SessionReport, TheLiveLineIsRedrawnInPlaceAndMessagesGoAboveIt) {
  std::ostringstream out;
  auto reporter = CreateLiveLineReporter(out);
  EXPECT_EQ(reporter->MinInterval(), kLiveRedrawInterval);
  TWindowView view{"Detect Run HID", "Dsp Progrmming 10", 813, 10, true};
  reporter->ViewChanged(view, 1.0);
  view.ProgressPosition = 410;
  view.Step = "Dsp Progrmming 410";
  reporter->ViewChanged(view, 3.0);
  reporter->Message(texts::kProgramOk, MessageSymbol::kInformation, 4.0);
  reporter->End(TExitCode::kUpdated, "done", 4.0);
  const std::string text = out.str();
  // Two draws of the line, each after a carriage return and without a line feed.
  const size_t first = text.find("\rDetect Run HID");
  ASSERT_NE(first, std::string::npos);
  const size_t second = text.find("\rDetect Run HID", first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(text.substr(first, second - first).find('\n'), std::string::npos);
  // 400 chunks in 2 s: 403 left take about 2 s.
  EXPECT_NE(text.find("0:02 left"), std::string::npos) << text;
  // The message is cleared onto its own line; the live line comes back after it.
  const std::string cleared = "\r" + std::string(kLiveLineWidth, ' ') + "\r";
  const size_t message =
      text.find(cleared + "    4.00s  message (information): \" Program OK !! \"\n");
  ASSERT_NE(message, std::string::npos) << text;
  EXPECT_NE(text.find("Dsp Progrmming 410", message), std::string::npos);
  EXPECT_NE(text.find("end (exit 0): done\n"), std::string::npos);
}

// ---- JSON ----

TEST(JsonText, EscapesEverythingThatWouldBreakALine) {
  EXPECT_EQ(JsonString("a\"b\\c\nd\re\tf"), R"("a\"b\\c\nd\re\tf")");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), R"("\u0001\u001F\u007F")");
  EXPECT_EQ(JsonString(" Program OK !! "), "\" Program OK !! \"");
  // Valid UTF-8 passes; stray bytes from the unit become U+FFFD.
  EXPECT_EQ(JsonString("\xC3\xA9"), "\"\xC3\xA9\"");
  EXPECT_EQ(JsonString("K\xFFV"), "\"K\xEF\xBF\xBDV\"");
  EXPECT_EQ(JsonString("\xC3"), "\"\xEF\xBF\xBD\"");
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
}

TEST(JsonText, EveryReporterEventIsOneObjectOnOneLine) {
  std::ostringstream out;
  auto reporter = CreateJsonReporter(out);
  reporter->ViewChanged({"Detect Run HID", "Dsp Progrmming 5", 813, 5, true}, 1.5);
  reporter->Note("pressing \"Start Program \"", 1.6);
  reporter->Message("Too Old\nVersion \xFE", MessageSymbol::kError, 2.0);
  reporter->Exception("vector", 2.1);
  reporter->Verification({false, {"unit 1: verdict: NOT clean", "x\ty"}}, 2.2);
  reporter->End(TExitCode::kRefused, "refused", 2.3);

  std::vector<test::JsonObject> objects;
  std::istringstream stream(out.str());
  for (std::string line; std::getline(stream, line);) {
    std::optional<test::JsonObject> object = test::JsonReader::ParseObject(line);
    ASSERT_TRUE(object) << line;
    ASSERT_TRUE(object->at("time").IsNumber());
    objects.push_back(*object);
  }
  ASSERT_EQ(objects.size(), 6u);
  EXPECT_EQ(objects[0].at("event").String(), "status");
  EXPECT_EQ(objects[0].at("progress_max").Number(), 813);
  EXPECT_EQ(objects[0].at("progress_position").Number(), 5);
  EXPECT_TRUE(objects[0].at("busy").Bool());
  EXPECT_EQ(objects[0].at("step").String(), "Dsp Progrmming 5");
  EXPECT_DOUBLE_EQ(objects[0].at("time").Number(), 1.5);
  EXPECT_EQ(objects[1].at("text").String(), "pressing \"Start Program \"");
  EXPECT_EQ(objects[2].at("symbol").String(), "error");
  EXPECT_EQ(objects[2].at("text").String(), "Too Old\nVersion \xEF\xBF\xBD");
  EXPECT_EQ(objects[3].at("event").String(), "exception");
  EXPECT_FALSE(objects[4].at("updated").Bool());
  EXPECT_EQ(objects[4].at("lines").Array().size(), 2u);
  EXPECT_EQ(objects[5].at("exit_code").Number(), 2);
  EXPECT_EQ(objects[5].at("result").String(), "refused");
}

}  // namespace
}  // namespace kv::cli
