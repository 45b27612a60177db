// kv93t-update run in-process against the simulated unit: each exit code
// reached by a realistic case, the trace and --json formats, the dump and the
// device list. The unit answers at once and the window's timers run ten times
// faster, except where a case needs the pace itself; every run carries a
// --timeout, so none can wait for ever.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "app/cli/cli_options.h"
#include "app/cli/interrupt.h"
#include "app/cli/unit_query.h"
#include "app/cli/update_tool.h"
#include "cli_run_support.h"
#include "hid/sim_bus.h"
#include "json_check.h"
#include "sim/simulated_setup.h"

namespace kv::cli {
namespace {

using namespace std::chrono_literals;

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// The schema of --json as the README documents it: each event kind, its
// fields and their types; no other field and no other kind.
enum class FieldType { kNumber, kString, kBool, kStringArray };
const std::map<std::string, std::map<std::string, FieldType>>& Schema() {
  using enum FieldType;
  static const std::map<std::string, std::map<std::string, FieldType>> schema{
      {"status",
       {{"panel", kString},
        {"step", kString},
        {"progress_max", kNumber},
        {"progress_position", kNumber},
        {"progress_percent", kNumber},
        {"busy", kBool}}},
      {"note", {{"text", kString}}},
      {"waiting", {{"text", kString}}},
      {"message", {{"id", kString}, {"symbol", kString}, {"text", kString}}},
      {"exception", {{"text", kString}}},
      {"verification", {{"updated", kBool}, {"lines", kStringArray}}},
      {"end", {{"exit_code", kNumber}, {"result", kString}, {"reason", kString}}},
      {"unit",
       {{"path", kString},
        {"unit_type", kNumber},
        {"version_text", kString},
        {"version", kNumber}}},
  };
  return schema;
}

// Empty when the object fits the schema, else what does not.
std::string SchemaProblem(const test::JsonObject& object) {
  if (!object.count("time") || !object.at("time").IsNumber()) return "no number \"time\"";
  if (!object.count("event") || !object.at("event").IsString()) return "no string \"event\"";
  const std::string& kind = object.at("event").String();
  const auto known = Schema().find(kind);
  if (known == Schema().end()) return "unknown event " + kind;
  for (const auto& [field, type] : known->second) {
    if (!object.count(field)) return kind + " without " + field;
    const test::JsonValue& value = object.at(field);
    const bool fits = (type == FieldType::kNumber && value.IsNumber()) ||
                      (type == FieldType::kString && value.IsString()) ||
                      (type == FieldType::kBool && value.IsBool()) ||
                      (type == FieldType::kStringArray && value.IsArray());
    if (!fits) return kind + "." + field + " has the wrong type";
  }
  for (const auto& [field, value] : object) {
    if (field == "time" || field == "event" || known->second.contains(field)) continue;
    if (kind == "status" && field == "seconds_left" && value.IsNumber()) continue;
    return kind + " has an undocumented field " + field;
  }
  return {};
}

// "Mcu Programing 17" -> "Mcu Programing ", "Device ID : 0023..." -> "Device ID : ".
std::string StepName(const std::string& step) {
  for (const char* counting : {"Mcu Programing ", "Dsp Progrmming ", "Device ID : "}) {
    if (step.starts_with(counting)) return counting;
  }
  return step;
}

// ---- The whole chain ----

TEST(CliRun, UpdatesTheUnitAndReportsEveryStepAsJsonWithATrace) {
  const std::filesystem::path trace = TempFile("trace");
  const ToolRun run = RunFast({"--json", "--trace", trace.string()});
  ASSERT_EQ(run.code, 0) << run.out << run.err;

  // JSON Lines, checked against the schema the README documents.
  std::vector<test::JsonObject> events;
  for (const std::string& line : run.OutLines()) {
    std::optional<test::JsonObject> object = test::JsonReader::ParseObject(line);
    ASSERT_TRUE(object) << "not a JSON object: " << line;
    const std::string problem = SchemaProblem(*object);
    ASSERT_TRUE(problem.empty()) << problem << ": " << line;
    events.push_back(*object);
  }
  ASSERT_GE(events.size(), 5u);
  std::set<std::string> steps;
  bool sawRunUnit = false;
  bool sawMcuProgramming = false;
  bool sawSuccess = false;
  bool sawVerification = false;
  int lastMcuPercent = -1;
  bool sawFirstPacket = false;
  for (size_t i = 0; i < events.size(); ++i) {
    const test::JsonObject& event = events[i];
    const std::string& name = event.at("event").String();
    EXPECT_TRUE(name != "end" || i + 1 == events.size()) << "the end object comes last";
    if (name == "status") {
      steps.insert(StepName(event.at("step").String()));
      sawRunUnit = sawRunUnit || event.at("panel").String() == "Detect Run HID";
      if (event.at("step").String() == "Mcu Programing 0") {
        // From the pacing, not from early rates: 1,202 data packets, 20 ms each but
        // 200 ms for the last two, all ten times faster here (--pace-divisor 10).
        ASSERT_TRUE(event.count("seconds_left")) << "no time left at the first packet";
        EXPECT_NEAR(event.at("seconds_left").Number(), (1200 * 0.020 + 2 * 0.200) / 10, 0.01);
        sawFirstPacket = true;
      }
      if (event.at("step").String().starts_with("Mcu Programing ")) {
        sawMcuProgramming = sawMcuProgramming ||
                            (event.at("progress_max").Number() == 1203 && event.at("busy").Bool());
      }
      if (event.at("step").String() == "MCU Reset") {
        lastMcuPercent = static_cast<int>(event.at("progress_percent").Number());
      }
    } else if (name == "message") {
      EXPECT_EQ(event.at("text").String(), " Program OK !! ");
      EXPECT_EQ(event.at("id").String(), "program-ok");
      EXPECT_EQ(event.at("symbol").String(), "information");
      sawSuccess = true;
    } else if (name == "verification") {
      EXPECT_TRUE(event.at("updated").Bool());
      sawVerification = true;
    }
  }
  // Every step the window shows, the short-lived ones included.
  for (const char* step :
       {"Connect", "Sync Package", "Get Firmware Version", "Get Device ID",
        "Device ID : ", "Read Config", "Sync Program", "Start Program", "Mcu Programing ",
        "MCU Reset", "Parameter Data", "Dsp Program", "Dsp Progrmming "}) {
    EXPECT_TRUE(steps.contains(step)) << "no status object shows \"" << step << "\"";
  }
  EXPECT_TRUE(sawRunUnit && sawMcuProgramming && sawSuccess && sawVerification && sawFirstPacket);
  EXPECT_EQ(lastMcuPercent, 100) << "the finished MCU download shows as finished";
  const test::JsonObject& end = events.back();
  EXPECT_EQ(end.at("event").String(), "end");
  EXPECT_EQ(end.at("exit_code").Number(), 0);
  EXPECT_EQ(end.at("result").String(), "updated");

  // The trace: every report line stamped and in the window's format.
  const std::vector<std::string> all = ReadLines(trace);
  const std::vector<std::string> lines = ReportLines(all);
  std::filesystem::remove(trace);
  ASSERT_GT(lines.size(), 2000u);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front(), "# kv93t-update recording 1");
  EXPECT_TRUE(all.back().ends_with(" X 0 updated")) << all.back();
  double previous = 0;
  bool sawConnectRequest = false;
  bool sawRunModeReply = false;
  size_t lastCode04 = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::optional<TrafficLine> traffic = ParseTrafficLine(lines[i]);
    ASSERT_TRUE(traffic) << "line " << i << ": " << lines[i];
    EXPECT_GE(traffic->seconds, previous);
    previous = traffic->seconds;
    const std::vector<int>& b = traffic->bytes;
    ASSERT_FALSE(b.empty());
    if (traffic->direction == 'W' && b[0] == 0x80) {
      // A boot-loader request is listed with all 70 bytes of its buffer.
      EXPECT_EQ(b.size(), 70u) << lines[i];
      EXPECT_EQ(b[4], 1);
      sawConnectRequest = true;
    }
    if (traffic->direction == 'R' && b.size() > 5 && b[0] == 0x10 && b[1] == 0x02 && b[2] == 0x01 &&
        b[3] == 0x00) {
      // A run-mode frame is listed with L + 8 bytes.
      EXPECT_EQ(b.size(), static_cast<size_t>(b[4] + 8)) << lines[i];
      sawRunModeReply = true;
    }
    if (traffic->direction == 'W' && b.size() > 5 && b[0] == 0x10 && b[5] == 0x04) lastCode04 = i;
  }
  EXPECT_TRUE(sawConnectRequest);
  EXPECT_TRUE(sawRunModeReply);
  EXPECT_GT(lastCode04, 0u) << "cmdCode04 was written before the tool ended";
}

TEST(CliRun, AFlashCellThatDoesNotTakeItsValueFailsTheVerificationDespiteSuccess) {
  // A read error on the way is shown, but the chain goes on to its end.
  const ToolRun run = RunFast({"--sim", "fault=stuck@data:17", "--sim", "fault=read-error@dsp:4"});
  EXPECT_EQ(run.code, 5) << run.out;
  EXPECT_NE(run.out.find("message (information): \"READ ERROR: "), std::string::npos);
  EXPECT_NE(run.out.find("message (information): \" Program OK !! \""), std::string::npos);
  EXPECT_NE(run.out.find("unit 1: flash: 1 of 67,324 bytes differ from the image"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("end (exit 5)"), std::string::npos);
  // Plain lines: one per step, a counting step once however many packets it has.
  EXPECT_EQ(Count(run.out, "Mcu Programing ..."), 1u);
  EXPECT_EQ(Count(run.out, "Dsp Progrmming ..."), 1u);
  EXPECT_EQ(Count(run.out, "  Detect Update HID\n"), 1u);
  EXPECT_EQ(Count(run.out, "  Connect\n"), 1u);
  EXPECT_LT(run.OutLines().size(), 60u);
}

// ---- Ends before the chain completes ----

TEST(CliRun, ARefusedUnitEndsWithTwo) {
  const std::filesystem::path trace = TempFile("refused");
  const ToolRun tooNew = RunFast({"--sim", "version-text=KV-93T  013", "--trace", trace.string()});
  EXPECT_EQ(tooNew.code, 2) << tooNew.out;
  EXPECT_NE(tooNew.out.find("\"Too New Version Uint !! \""), std::string::npos);
  // cmdCheckFailed was written to the unit before the tool ended (the trace,
  // not the unit's count: the unit takes its reports in on a thread of its own).
  bool toldUnit = false;
  for (const std::string& line : ReadLines(trace)) {
    const std::optional<TrafficLine> traffic = ParseTrafficLine(line);
    toldUnit = toldUnit || (traffic && traffic->direction == 'W' && traffic->bytes.size() > 5 &&
                            traffic->bytes[0] == 0x10 && traffic->bytes[1] == 0x02 &&
                            traffic->bytes[5] == 0x11);
  }
  std::filesystem::remove(trace);
  EXPECT_TRUE(toldUnit);
  EXPECT_NE(tooNew.out.find("flash: not programmed"), std::string::npos);

  const ToolRun wrongType = RunFast({"--sim", "unit-type=0x34"});
  EXPECT_EQ(wrongType.code, 2);
  EXPECT_NE(wrongType.out.find("\" Wrong Uint Type !! \""), std::string::npos);
}

TEST(CliRun, ABootLoaderFailureEndsWithThree) {
  const ToolRun run = RunFast({"--sim", "fault=bad-echo@start-program"});
  EXPECT_EQ(run.code, 3) << run.out;
  EXPECT_NE(run.out.find("message (error): \"Program Start Error !!\""), std::string::npos);
}

TEST(CliRun, NoUnitWithinTheTimeoutEndsWithFour) {
  const auto started = std::chrono::steady_clock::now();
  const ToolRun run =
      RunFast({"--sim", "start=absent", "--sim", "attach-ms=60000", "--timeout", "0.3"});
  EXPECT_EQ(run.code, 4) << run.out;
  EXPECT_NE(run.out.find("no unit found within 0.3 s"), std::string::npos) << run.out;
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

TEST(CliRun, AStalledChainEndsWithFourNamingTheStep) {
  const ToolRun run = RunFast({"--sim", "fault=no-reply@data:3", "--timeout", "0.5"});
  EXPECT_EQ(run.code, 4) << run.out;
  EXPECT_NE(run.out.find("the update stalled"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("at step \"Mcu Programing "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("the unit was left in update mode with "), std::string::npos) << run.out;
}

TEST(CliRun, AStallAtConnectEndsWithFourNamingConnect) {
  const ToolRun run =
      RunFast({"--sim", "start=update", "--sim", "fault=no-reply@connect", "--timeout", "1"});
  EXPECT_EQ(run.code, 4) << run.out;
  EXPECT_NE(run.out.find("at step \"Connect\""), std::string::npos) << run.out;
}

TEST(CliRun, ThePlannedWaitsOfTheWindowAreNotAStall) {
  // A unit already in update mode, at the window's own pace, as a user runs it:
  // the 3000 ms fallback and the 1000 ms arming of "Start Program" both outlast
  // the 0.8 s limit, and neither is a stall. The first data packet's bad echo
  // then ends the run with its own box; the flash that would follow has no
  // planned wait longer than 200 ms.
  const ToolRun run =
      RunTool({"--simulate", "--sim", "start=update", "--sim", "usb-ms=0", "--sim", "reply-ms=0",
               "--sim", "erase-ms=5", "--sim", "fault=bad-echo@data:0", "--timeout", "0.8"});
  EXPECT_EQ(run.code, 3) << run.out;
  EXPECT_NE(run.out.find("Program Data Error !!"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("stalled"), std::string::npos) << run.out;
}

TEST(CliRun, NoUnitForTwentyFiveSecondsSaysWhatItWaitsFor) {
  const ToolRun run =
      RunFast({"--sim", "start=absent", "--sim", "attach-ms=60000", "--timeout", "25"});
  EXPECT_EQ(run.code, 4) << run.out;
  EXPECT_GE(
      Count(run.out, "waiting for a KV-93T (USB 0168:0821 run mode or 0168:0904 update mode)"), 2u)
      << run.out;
  EXPECT_NE(run.out.find("0 HID devices seen"), std::string::npos) << run.out;
}

TEST(CliRun, OtherFailuresEndWithSix) {
  // An identify reply without payload: the window's checked access fails.
  const ToolRun exception = RunFast({"--sim", "fault=short@cmd:0x10"});
  EXPECT_EQ(exception.code, 6) << exception.out;
  EXPECT_NE(exception.out.find("exception: vector"), std::string::npos);
  // A read error that nothing answers after: the read error is named as the cause.
  const ToolRun readError = RunFast(
      {"--sim", "fault=read-error@data:3", "--sim", "fault=no-reply@data:3", "--timeout", "0.5"});
  EXPECT_EQ(readError.code, 6) << readError.out;
  EXPECT_NE(readError.out.find("after \"READ ERROR: "), std::string::npos) << readError.out;
}

TEST(CliRun, ARecoveredReadErrorIsNotBlamedForALaterStall) {
  const ToolRun run = RunFast(
      {"--sim", "fault=read-error@data:2", "--sim", "fault=no-reply@data:5", "--timeout", "0.5"});
  EXPECT_EQ(run.code, 4) << run.out;
  EXPECT_NE(run.out.find("at step \"Mcu Programing "), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("after \"READ ERROR"), std::string::npos) << run.out;
}

TEST(CliRun, TheTraceHoldsDroppedReportsAsDLines) {
  // Both strays come where no arming can take them, whatever the threads' timing:
  // the duplicate of the last data packet's reply follows its original, which
  // closes that arming, and the reset request opens none; the garbage comes with
  // the reset's reply. Between data packets a stray read after the next arming
  // has opened would be taken as that packet's reply, as the window does.
  const std::filesystem::path trace = TempFile("dropped");
  const ToolRun run = RunFast({"--sim", "fault=garbage@reset", "--sim", "fault=duplicate@data:1201",
                               "--trace", trace.string()});
  EXPECT_EQ(run.code, 0) << run.out;
  const std::vector<std::string> lines = ReportLines(ReadLines(trace));
  std::filesystem::remove(trace);
  std::vector<TrafficLine> traffic;
  for (const std::string& line : lines) {
    const std::optional<TrafficLine> parsed = ParseTrafficLine(line);
    ASSERT_TRUE(parsed) << line;
    traffic.push_back(*parsed);
  }
  size_t dropped = 0;
  bool duplicateSeen = false;
  for (size_t i = 0; i < traffic.size(); ++i) {
    if (traffic[i].direction != 'D') continue;
    ++dropped;
    EXPECT_EQ(traffic[i].bytes.size(), 64u) << "a boot-loader report is listed with 64 bytes";
    // The duplicate is the very reply read next to it (before it, or after it when
    // both copies came inside the arming delay).
    for (size_t back = i; back-- > 0;) {
      if (traffic[back].direction != 'R') continue;
      duplicateSeen = duplicateSeen || traffic[back].bytes == traffic[i].bytes;
      break;
    }
    for (size_t next = i + 1; next < traffic.size(); ++next) {
      if (traffic[next].direction != 'R') continue;
      duplicateSeen = duplicateSeen || traffic[next].bytes == traffic[i].bytes;
      break;
    }
  }
  EXPECT_GE(dropped, 3u) << "the duplicate, the garbage and the reset's reply";
  EXPECT_TRUE(duplicateSeen);
}

TEST(CliRun, ATraceThatCannotBeWrittenEndsNonZeroWithTheReason) {
#ifndef _WIN32
  // /dev/full takes the open and refuses every write; Windows has no such file
  // (under wine the name reaches the host's, whose refusal wine does not pass on).
  // Its header cannot be written: nothing is sent.
  const ToolRun full = RunFast({"--trace", "/dev/full"});
  EXPECT_EQ(full.code, 6) << full.out;
  EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
  EXPECT_EQ(full.out.find("pressing"), std::string::npos) << "nothing was started";
  {
    // A file that can grow to 64 KiB and no further: the update is not cut short.
    const std::filesystem::path trace = TempFile("limited");
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const ToolRun cut = RunFast({"--trace", trace.string()});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    std::filesystem::remove(trace);
    EXPECT_EQ(cut.code, 6) << cut.out;
    EXPECT_NE(cut.out.find("the unit has been updated, but the trace file"), std::string::npos)
        << cut.out;
  }
#endif

  const ToolRun unopened = RunFast({"--trace", "/nonexistent-kv93t-dir/trace.txt"});
  EXPECT_EQ(unopened.code, 6);
  EXPECT_NE(unopened.err.find("No such file or directory"), std::string::npos) << unopened.err;
  EXPECT_EQ(unopened.out.find("pressing"), std::string::npos) << "nothing was started";
}

// The middle one of three is chosen: neither the unit listed before it nor the
// one after (which the window would hold last, were it shown them all) hears a
// command, as each unit's own count says.
TEST(CliRun, SeveralUnitsStopBeforeSendingAndPathUpdatesJustOne) {
  const ToolRun three = RunFast({"--sim", "units=3"});
  EXPECT_EQ(three.code, 1) << three.out;
  EXPECT_NE(three.out.find("nothing was sent"), std::string::npos) << three.out;
  EXPECT_EQ(three.out.find("pressing"), std::string::npos);
  static const std::regex kPath(R"(  (sim:[^\n]+)  \(run mode\))");
  std::vector<std::string> paths;
  for (std::sregex_iterator it(three.out.begin(), three.out.end(), kPath), end; it != end; ++it) {
    paths.push_back((*it)[1]);
  }
  ASSERT_EQ(paths.size(), 3u) << three.out;

  const ToolRun chosen = RunFast({"--sim", "units=3", "--path", paths[1]});
  EXPECT_EQ(chosen.code, 0) << chosen.out;
  EXPECT_NE(chosen.out.find("unit 1: untouched"), std::string::npos) << chosen.out;
  EXPECT_NE(chosen.out.find("unit 2: verdict: clean"), std::string::npos) << chosen.out;
  EXPECT_NE(chosen.out.find("unit 3: untouched"), std::string::npos) << chosen.out;
}

TEST(CliRun, AFastPaceIsReportedAsViolationsByTheSimulatedUnit) {
  // Timers ten times faster while the unit expects the real pace: never "clean".
  const ToolRun fast = RunFast({"--sim", "pace=1"});
  EXPECT_EQ(fast.code, 5) << fast.out;
  EXPECT_EQ(fast.out.find("protocol violations: none"), std::string::npos) << fast.out;
  // Told the pace the tool keeps (--pace-divisor 10), the same run is clean.
  const ToolRun told = RunFast({});
  EXPECT_EQ(told.code, 0) << told.out;
  EXPECT_NE(told.out.find("protocol violations: none"), std::string::npos) << told.out;
}

// --check against a unit the test holds: the run-mode command codes the unit
// received, in the order it received them.
std::vector<uint8_t> CodesReceivedByACheckedUnit(const std::string& simSetting) {
  const TParseResult parsed =
      ParseCommandLine({"--check", "--simulate", "--sim", "usb-ms=0", "--sim", simSetting});
  EXPECT_TRUE(parsed.Options) << parsed.Error;
  if (!parsed.Options) return {};
  hid::SimulatedHidBus bus;
  sim::SimulatedSetup setup(bus, parsed.Options->Sim);
  std::ostringstream out;
  CheckUnitOn(bus, *parsed.Options, out);
  std::vector<uint8_t> codes;
  constexpr size_t kCodeAt = 6;  // report ID, then 10 02, sender, receiver, L, code
  for (const sim::ReceivedReport& report : setup.Unit(0).ReceivedReports()) {
    codes.push_back(report.bytes.size() > kCodeAt ? report.bytes[kCodeAt] : 0);
  }
  return codes;
}

TEST(CliRun, CheckAsksTheUnitAndSaysWhetherItWouldUpdateIt) {
  const ToolRun accepted = RunTool({"--check", "--simulate", "--sim", "usb-ms=0"});
  EXPECT_EQ(accepted.code, 0) << accepted.out << accepted.err;
  EXPECT_NE(accepted.out.find("unit type 0x33, version text \"KV-93T  012\""), std::string::npos)
      << accepted.out;
  EXPECT_NE(accepted.out.find("this tool would update it"), std::string::npos);
  // As JSON: the unit object, then an end object whose result is the check's own.
  const ToolRun json = RunTool({"--check", "--json", "--simulate", "--sim", "usb-ms=0"});
  EXPECT_EQ(json.code, 0) << json.out;
  std::vector<std::string> events;
  for (const std::string& line : json.OutLines()) {
    const std::optional<test::JsonObject> object = test::JsonReader::ParseObject(line);
    ASSERT_TRUE(object) << line;
    EXPECT_EQ(SchemaProblem(*object), "") << line;
    events.push_back(object->at("event").String());
    if (events.back() == "end") {
      EXPECT_EQ(object->at("result").String(), "would-update") << line;
    }
  }
  EXPECT_EQ(events, (std::vector<std::string>{"unit", "end"}));

  const ToolRun old =
      RunTool({"--check", "--simulate", "--sim", "usb-ms=0", "--sim", "version-text=KV-93T  011"});
  EXPECT_EQ(old.code, 2) << old.out;
  EXPECT_NE(old.out.find("\"Too Old Version Uint !! \""), std::string::npos) << old.out;

  const ToolRun wrongType =
      RunTool({"--check", "--simulate", "--sim", "usb-ms=0", "--sim", "unit-type=0x34"});
  EXPECT_EQ(wrongType.code, 2) << wrongType.out;
  EXPECT_NE(wrongType.out.find("unit type 0x34"), std::string::npos) << wrongType.out;
  EXPECT_NE(wrongType.out.find("\" Wrong Uint Type !! \""), std::string::npos);

  // Accepted or refused, the unit hears the two questions and nothing else.
  for (const char* setting : {"unit-type=0x33", "version-text=KV-93T  011", "unit-type=0x34"}) {
    EXPECT_EQ(CodesReceivedByACheckedUnit(setting), (std::vector<uint8_t>{0x10, 0x13})) << setting;
  }
}

TEST(CliRun, VersionNamesTheToolAndTheFirmwareItCarries) {
  const ToolRun run = RunTool({"--version"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(std::regex_search(run.out, std::regex(R"(^kv93t-update \d+\.\d+\.\d+ )"))) << run.out;
  EXPECT_TRUE(std::regex_search(
      run.out, std::regex(R"(microcontroller image: 67324 bytes, CRC-32 [0-9A-F]{8}\n)")))
      << run.out;
  EXPECT_TRUE(std::regex_search(
      run.out, std::regex(R"(DSP program image: 26044 bytes, CRC-32 [0-9A-F]{8}\n)")))
      << run.out;
  EXPECT_NE(run.out.find("model \"KV-93T\", version 012"), std::string::npos) << run.out;
}

TEST(CliRun, AnInterruptClosesTheSessionPromptly) {
  TInterruptHub interrupts;
  TToolEnvironment environment;
  environment.Interrupts = &interrupts;
  std::vector<std::string> args = FastUnitArgs();
  for (const char* arg : {"--sim", "start=absent", "--sim", "attach-ms=60000"}) args.push_back(arg);
  std::future<ToolRun> run =
      std::async(std::launch::async, [&] { return RunTool(args, environment); });
  std::this_thread::sleep_for(200ms);
  interrupts.Raise();
  if (run.wait_for(kRunLimit) != std::future_status::ready) {
    // The run has not ended: the future's destructor would wait for it without
    // limit, so the test ends the process here instead of stalling.
    std::fprintf(stderr, "CliRun.AnInterruptClosesTheSessionPromptly: the run did not end\n");
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
  }
  const ToolRun result = run.get();
  EXPECT_EQ(result.code, 130);
  EXPECT_NE(result.out.find("interrupted"), std::string::npos);
  EXPECT_NE(result.out.find("the unit was left in run mode, unchanged"), std::string::npos)
      << result.out;
}

TEST(CliRun, AnInterruptMidFlashSaysWhereTheUnitWasLeft) {
  TInterruptHub interrupts;
  TToolEnvironment environment;
  environment.Interrupts = &interrupts;
  const std::filesystem::path trace = TempFile("interrupted");
  std::vector<std::string> args = FastUnitArgs();
  // Data packet 40 is never answered: the interrupt finds the flash half written.
  for (const char* arg : {"--sim", "fault=no-reply@data:40", "--timeout", "30"}) {
    args.push_back(arg);
  }
  args.push_back("--trace");
  args.push_back(trace.string());
  std::future<ToolRun> run =
      std::async(std::launch::async, [&] { return RunTool(args, environment); });
  // Raised once data packet 40 has been written (the trace is flushed line by
  // line), not after a guess at how long getting there takes.
  const auto giveUp = std::chrono::steady_clock::now() + kRunLimit;
  size_t dataRequests = 0;
  while (dataRequests < 41 && std::chrono::steady_clock::now() < giveUp &&
         run.wait_for(10ms) == std::future_status::timeout) {
    dataRequests = 0;
    for (const std::string& line : ReadLines(trace)) {
      const std::optional<TrafficLine> traffic = ParseTrafficLine(line);
      if (traffic && traffic->direction == 'W' && traffic->bytes.size() == 70 &&
          traffic->bytes[0] == 0x00) {
        ++dataRequests;
      }
    }
  }
  EXPECT_EQ(dataRequests, 41u);
  interrupts.Raise();
  ASSERT_EQ(run.wait_for(kRunLimit), std::future_status::ready);
  const ToolRun result = run.get();
  std::filesystem::remove(trace);
  EXPECT_EQ(result.code, 130) << result.out;
  // 48 bytes with "Start Program", 56 with each of data packets 0 to 40.
  EXPECT_NE(result.out.find("update mode with 2,344 of 67,324 bytes"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("running kv93t-update again finishes the update"), std::string::npos);
}

// ---- Listing and dump ----

TEST(CliRun, DumpsTheMcuImageInTheProgramDataFormat) {
  const ToolRun run = RunTool({"--dump", "mcu"});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::vector<std::string> lines = run.OutLines();
  ASSERT_EQ(lines.size(), 4208u);
  static const std::regex kLine(
      R"(^([0-9A-F]{8})  ((?:[0-9A-F]{2} ){1,16})((?:   )*); (.{1,16})$)");
  size_t bytes = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, kLine)) << i << ": " << lines[i];
    EXPECT_EQ(std::stoul(match[1], nullptr, 16), i * 16);
    const size_t count = match[2].length() / 3;
    EXPECT_EQ(count + match[3].length() / 3, 16u) << "columns line up";
    EXPECT_EQ(static_cast<size_t>(match[4].length()), count);
    bytes += count;
  }
  EXPECT_EQ(bytes, 67324u);
  EXPECT_EQ(lines.front().size(), 76u) << "78 with the line break the window uses";
}

TEST(CliRun, DumpsTheDspImageWithItsHeader) {
  const ToolRun run = RunTool({"--dump", "dsp"});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::vector<std::string> lines = run.OutLines();
  ASSERT_EQ(lines.size(), 1628u);  // 26,044 bytes
  EXPECT_TRUE(lines.front().starts_with("00000000  65 BC ")) << lines.front();
  EXPECT_TRUE(lines.back().starts_with("000065B0  ")) << lines.back();
}

TEST(CliRun, ListsTheUnitInEitherPersonality) {
  const ToolRun run = RunTool({"--list", "--simulate", "--sim", "start=update"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("vendor 0x0168  product 0x0904  KV-93T update mode  read-write  "
                         "port sim-1  "),
            std::string::npos)
      << run.out;
  const ToolRun two = RunTool({"--list", "--simulate", "--sim", "units=2", "--json"});
  ASSERT_EQ(two.code, 0);
  const std::vector<std::string> lines = two.OutLines();
  ASSERT_EQ(lines.size(), 2u) << two.out;
  std::set<std::string> ports;
  for (const std::string& line : lines) {
    const std::optional<test::JsonObject> device = test::JsonReader::ParseObject(line);
    ASSERT_TRUE(device) << line;
    EXPECT_EQ(device->at("personality").String(), "run");
    EXPECT_EQ(device->at("vendor").Number(), 0x0168);
    ASSERT_TRUE(device->count("port")) << line;
    ports.insert(device->at("port").String());
  }
  EXPECT_EQ(ports, (std::set<std::string>{"sim-1", "sim-2"}));
}

}  // namespace
}  // namespace kv::cli
