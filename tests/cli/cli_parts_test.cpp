// The pieces of kv93t-update that need no unit: the command line, the
// rendering of what the window shows, JSON escaping and what a box means.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/chain_outcome.h"
#include "app/cli/cli_options.h"
#include "app/cli/interrupt.h"
#include "app/cli/json_text.h"
#include "app/cli/session_report.h"
#include "app/cli/update_session.h"
#include "app/cli/update_tool.h"
#include "engine/engine_texts.h"
#include "json_check.h"

namespace kv::cli {
namespace {

using toolkit::MessageSymbol;

// ---- Command line ----

TEST(CliOptions, TakesEveryOptionInBothSpellings) {
  const TParseResult parsed = ParseCommandLine(
      {"--simulate", "--sim", "start=update", "--sim=fault=bad-echo@data:3", "--trace", "t.txt",
       "--json", "--timeout=2.5", "--pace-divisor", "10", "--path", "sim:3:KV-93T", "--"});
  ASSERT_TRUE(parsed.Options) << parsed.Error;
  const TCliOptions& options = *parsed.Options;
  EXPECT_EQ(options.Mode, TToolMode::kUpdate);
  EXPECT_TRUE(options.Simulate);
  EXPECT_EQ(options.DevicePath, "sim:3:KV-93T");
  EXPECT_EQ(options.Sim.start, sim::SimStart::kUpdate);
  ASSERT_EQ(options.Sim.faults.size(), 1u);
  EXPECT_EQ(options.Sim.faults[0].kind, sim::FaultKind::kBadEcho);
  EXPECT_EQ(options.TraceFile, "t.txt");
  EXPECT_TRUE(options.Json);
  ASSERT_TRUE(options.TimeoutSeconds);
  EXPECT_DOUBLE_EQ(*options.TimeoutSeconds, 2.5);
  EXPECT_EQ(options.PaceDivisor, 10);
}

// Without --timeout the search for a unit has no limit, and an update under way
// ends after 60 s without progress (exit 4 naming the step, as the stall tests
// show with shorter limits of their own).
TEST(CliOptions, DefaultsWaitForAUnitWithoutLimitAndStallAfterSixtySeconds) {
  using Limit = std::optional<toolkit::Clock::duration>;
  const TParseResult parsed = ParseCommandLine({});
  ASSERT_TRUE(parsed.Options);
  EXPECT_FALSE(parsed.Options->Simulate);
  EXPECT_FALSE(parsed.Options->TimeoutSeconds);
  EXPECT_EQ(parsed.Options->PaceDivisor, 1);
  EXPECT_EQ(StallLimitFor(parsed.Options->TimeoutSeconds, false), std::nullopt);
  EXPECT_EQ(StallLimitFor(parsed.Options->TimeoutSeconds, true), Limit(std::chrono::seconds(60)));
  // --timeout sets both; 0 lifts both.
  for (const bool unitSeen : {false, true}) {
    EXPECT_EQ(StallLimitFor(2.5, unitSeen), Limit(std::chrono::milliseconds(2500)));
    EXPECT_EQ(StallLimitFor(0, unitSeen), std::nullopt);
  }
}

TEST(CliOptions, ChoosesTheModes) {
  EXPECT_EQ(ParseCommandLine({"--list"}).Options->Mode, TToolMode::kList);
  const TParseResult dump = ParseCommandLine({"--dump", "dsp"});
  EXPECT_EQ(dump.Options->Mode, TToolMode::kDump);
  EXPECT_EQ(dump.Options->Dump, TDumpImage::kDsp);
  EXPECT_EQ(ParseCommandLine({"--dump=mcu"}).Options->Dump, TDumpImage::kMcu);
  EXPECT_EQ(ParseCommandLine({"--json", "--help"}).Options->Mode, TToolMode::kHelp);
  EXPECT_EQ(ParseCommandLine({"--version"}).Options->Mode, TToolMode::kVersion);
  EXPECT_EQ(ParseCommandLine({"--check"}).Options->Mode, TToolMode::kCheck);
  // 0 is no limit, as the window waits.
  const TParseResult forever = ParseCommandLine({"--timeout", "0"});
  ASSERT_TRUE(forever.Options) << forever.Error;
  EXPECT_EQ(*forever.Options->TimeoutSeconds, 0.0);
}

TEST(CliOptions, PacingIsNeverAUserOption) {
  // On hardware a faster pace would cut the boot loader's 20 ms per packet.
  const TParseResult hardware = ParseCommandLine({"--pace-divisor", "10"});
  EXPECT_FALSE(hardware.Options);
  EXPECT_NE(hardware.Error.find("--pace-divisor needs --simulate"), std::string::npos)
      << hardware.Error;
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunUpdateTool({"--pace-divisor", "1000"}, out, err), 1);
  EXPECT_TRUE(out.str().empty());
  EXPECT_TRUE(ParseCommandLine({"--simulate", "--pace-divisor", "10"}).Options);
  // A replay drives no hardware: it may be played faster than recorded.
  EXPECT_TRUE(ParseCommandLine({"--replay", "run.trace", "--pace-divisor", "10"}).Options);
}

TEST(CliOptions, EveryWordIsCheckedWhateverTheMode) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--version", "--foo"},
                                             {"--help", "--foo"},
                                             {"--sim", "units=2"},
                                             {"--list", "--sim", "units=2"},
                                             {"--", "--version"},
                                             {"--check", "--list"}}) {
    const TParseResult parsed = ParseCommandLine(args);
    EXPECT_FALSE(parsed.Options) << args[0] << " " << args[1];
  }
  EXPECT_NE(ParseCommandLine({"--sim", "units=2"}).Error.find("needs --simulate"),
            std::string::npos);
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunUpdateTool({"--version", "--foo"}, out, err), 1);
  // "--" ends the options and is itself taken.
  const TParseResult ended = ParseCommandLine({"--json", "--"});
  ASSERT_TRUE(ended.Options) << ended.Error;
  EXPECT_TRUE(ended.Options->Json);
}

TEST(CliOptions, UsageErrorsNameWhatIsWrong) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--frobnicate"}, "--frobnicate"},
      {{"-x"}, "-x"},
      {{"update"}, "update"},
      {{"--trace"}, "--trace"},
      {{"--timeout", "soon"}, "soon"},
      {{"--timeout", "-3"}, "-3"},
      {{"--timeout", "1e9"}, "1e9"},
      {{"--dump", "eeprom"}, "eeprom"},
      {{"--simulate", "--sim", "warp=9"}, "warp"},
      {{"--simulate", "--sim", "reply-ms=70000"}, "reply-ms"},
      {{"--simulate", "--sim", "fault=stuck:56@data:1"}, "stuck"},
      {{"--simulate", "--pace-divisor", "0"}, "--pace-divisor"},
      {{"--json=yes"}, "--json"},
      {{"--dump", "mcu", "--list"}, "--list"},
      {{"--replay"}, "--replay"},
      {{"--replay", "run.trace", "--simulate"}, "--replay stands in for one unit"},
      {{"--replay", "run.trace", "--all"}, "--replay stands in for one unit"},
      {{"--replay", "run.trace", "--path", "1-1"}, "--replay stands in for one unit"},
      {{"--replay", "run.trace", "--check"}, "--replay stands in for one unit"},
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

TEST(ChainOutcome, TellsEachBoxOfTheWindowApartByItsIdentifier) {
  using texts::TMessageId;
  const auto meaning = [](TMessageId id) { return ClassifyMessage(texts::BoxId(id)); };
  EXPECT_EQ(meaning(TMessageId::kProgramOk), TBoxMeaning::kSuccess);
  for (TMessageId refusal :
       {TMessageId::kWrongUnitType, TMessageId::kTooOldVersion, TMessageId::kTooNewVersion}) {
    EXPECT_EQ(meaning(refusal), TBoxMeaning::kRefusal);
  }
  for (TMessageId failure :
       {TMessageId::kIspStartError, TMessageId::kIspSyncError, TMessageId::kEraseAllError,
        TMessageId::kGetIdError, TMessageId::kProgramStartError, TMessageId::kProgramDataError}) {
    EXPECT_EQ(meaning(failure), TBoxMeaning::kBootLoaderFailure);
  }
  EXPECT_EQ(meaning(TMessageId::kReadError), TBoxMeaning::kReadError);
  for (TMessageId failure : {TMessageId::kImageChecksumError, TMessageId::kImageNoEndOfFile,
                             TMessageId::kParamBlockIndex, TMessageId::kParamSelector}) {
    EXPECT_EQ(meaning(failure), TBoxMeaning::kFailure);
  }
  // A box outside the catalogue never counts as success, whatever it says.
  EXPECT_EQ(ClassifyMessage(toolkit::MessageId::kUnspecified), TBoxMeaning::kFailure);
  EXPECT_STREQ(MessageIdName(texts::BoxId(TMessageId::kProgramOk)), "program-ok");
  EXPECT_STREQ(MessageIdName(toolkit::MessageId::kUnspecified), "unspecified");
}

TEST(Interrupts, ARepeatedSignalIsTheSameRequestAndOnlyALateThirdForces) {
  using Action = TInterruptPolicy::TAction;
  const TInterruptPolicy::Clock::time_point t0{};
  TInterruptPolicy quick;
  EXPECT_EQ(quick.OnSignal(t0), Action::kRequestClose);
  // GNU timeout: the child, then its group, at once.
  EXPECT_EQ(quick.OnSignal(t0 + std::chrono::milliseconds(1)), Action::kSameRequest);
  EXPECT_EQ(quick.OnSignal(t0 + std::chrono::seconds(4)), Action::kSameRequest);
  EXPECT_EQ(quick.OnSignal(t0 + std::chrono::seconds(5)), Action::kForceExit);
  TInterruptPolicy patient;
  EXPECT_EQ(patient.OnSignal(t0), Action::kRequestClose);
  EXPECT_EQ(patient.OnSignal(t0 + std::chrono::seconds(6)), Action::kSameRequest)
      << "a second signal never forces, however late";
  EXPECT_EQ(patient.OnSignal(t0 + std::chrono::seconds(7)), Action::kForceExit);
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

TEST(SessionReport, TheLiveLineFitsTheWidthItIsGiven) {
  TWindowView view{"Detect Update HID",
                   "Device ID : 00235100, 00000000, 00000000 and more besides",
                   1203,
                   600,
                   true,
                   3723.0};
  const std::string line = LiveLineText(view, 79);
  EXPECT_EQ(line.size(), 79u);
  EXPECT_EQ(line.find('\r'), std::string::npos);
  EXPECT_NE(line.find("Detect Update HID | Device ID"), std::string::npos);
  EXPECT_NE(line.find(" 49%"), std::string::npos);
  EXPECT_NE(line.find("1:02:03 left"), std::string::npos);
  // On 59 the time left gives way to the whole step.
  EXPECT_NE(LiveLineText(view, 59).find("Device ID : 00235100, 00"), std::string::npos);
  for (int width : {59, 40, 25, 10, 1, 200}) {
    const std::string fitted = LiveLineText(view, width);
    EXPECT_EQ(fitted.size(), static_cast<size_t>(width)) << width;
  }
  EXPECT_NE(LiveLineText(view, 59).find(" 49%"), std::string::npos) << LiveLineText(view, 59);
  view.Step = "bad\r\x1b[2Jstep";
  EXPECT_EQ(LiveLineText(view, 79).find_first_of("\r\x1b"), std::string::npos);
}

TEST(SessionReport, PlainLinesChangeWithTheStepNotWithEveryPacket) {
  std::ostringstream out;
  auto reporter = CreatePlainReporter(out);
  TWindowView view{"Detect Update HID", "Start Program", 1203, 0, true, std::nullopt};
  reporter->ViewChanged(view, 1.0);
  view.CountingStep = "Mcu Programing ";
  for (int packet = 0; packet < 50; ++packet) {
    view.Step = "Mcu Programing " + std::to_string(packet);
    view.ProgressPosition = packet;
    reporter->ViewChanged(view, 1.0 + packet * 0.02);
  }
  view.Panel = "No Device";
  view.Step = "MCU Reset";
  view.CountingStep.clear();
  reporter->ViewChanged(view, 3.0);
  reporter->Message("program-ok", texts::kProgramOk, MessageSymbol::kInformation, 4.0);
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

TEST(SessionReport, TheLiveLineIsRedrawnInPlaceAndFollowsResizes) {
  std::ostringstream out;
  int columns = 80;
  auto reporter = CreateLiveLineReporter(out, [&columns] { return columns; });
  EXPECT_EQ(reporter->MinInterval(), kLiveRedrawInterval);
  TWindowView view{"Detect Run HID", "Dsp Progrmming 10", 813, 10, true, 2.0};
  reporter->ViewChanged(view, 1.0);
  columns = 60;
  view.ProgressPosition = 410;
  view.Step = "Dsp Progrmming 410";
  reporter->ViewChanged(view, 3.0);
  reporter->Message("program-ok", texts::kProgramOk, MessageSymbol::kInformation, 4.0);
  reporter->End(TExitCode::kUpdated, "done", 4.0);
  const std::string text = out.str();
  // Two draws of the line, neither with a line feed; the first 79 wide, the second 59.
  const size_t first = text.find("Detect Run HID");
  ASSERT_NE(first, std::string::npos);
  const size_t second = text.find("Detect Run HID", first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(text.substr(first, second - first).find('\n'), std::string::npos);
  EXPECT_EQ(text.find('\r', first) - first, 79u);
  const size_t secondEnd = text.find('\r', second);
  EXPECT_EQ(secondEnd - second, 59u) << text;
  EXPECT_NE(text.find("0:02 left"), std::string::npos) << text;
  // The message is cleared onto its own line; the live line comes back after it.
  const std::string cleared = "\r" + std::string(59, ' ') + "\r";
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
  reporter->ViewChanged({"Detect Run HID", "Dsp Progrmming 5", 813, 5, true, std::nullopt}, 1.5);
  reporter->Note("pressing \"Start Program \"", 1.6);
  reporter->Message("too-old-version", "Too Old\nVersion \xFE", MessageSymbol::kError, 2.0);
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
  EXPECT_EQ(objects[2].at("id").String(), "too-old-version");
  EXPECT_EQ(objects[2].at("text").String(), "Too Old\nVersion \xEF\xBF\xBD");
  EXPECT_EQ(objects[3].at("event").String(), "exception");
  EXPECT_FALSE(objects[4].at("updated").Bool());
  EXPECT_EQ(objects[4].at("lines").Array().size(), 2u);
  EXPECT_EQ(objects[5].at("exit_code").Number(), 2);
  EXPECT_EQ(objects[5].at("result").String(), "refused");
}

}  // namespace
}  // namespace kv::cli
