// kv93t-update run in-process against the simulated unit: each exit code
// reached by a realistic case, the trace and --json formats, the dump and the
// device list. The unit answers at once and the window's timers run ten times
// faster, except where a case needs the pace itself; every run carries a
// --timeout, so none can wait for ever.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/interrupt.h"
#include "app/cli/update_tool.h"
#include "json_check.h"

namespace kv::cli {
namespace {

using namespace std::chrono_literals;

// Far above anything a case needs; only a hung run gets there.
constexpr auto kRunLimit = 60s;

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
  std::vector<std::string> OutLines() const {
    std::vector<std::string> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }
};

std::vector<std::string> FastUnitArgs() {
  return {"--simulate", "--sim", "usb-ms=0",     "--sim",          "reply-ms=0", "--sim",
          "erase-ms=5", "--sim", "reenum-ms=20", "--pace-divisor", "10"};
}

ToolRun RunTool(std::vector<std::string> args, const TToolEnvironment& environment = {}) {
  std::ostringstream out;
  std::ostringstream err;
  ToolRun run;
  run.code = RunUpdateTool(args, out, err, environment);
  run.out = out.str();
  run.err = err.str();
  return run;
}

// The fast unit, the given options, and a stall limit unless the case sets one.
ToolRun RunFast(const std::vector<std::string>& extra) {
  std::vector<std::string> args = FastUnitArgs();
  args.insert(args.end(), extra.begin(), extra.end());
  bool hasTimeout = false;
  for (const std::string& arg : extra) hasTimeout = hasTimeout || arg.starts_with("--timeout");
  if (!hasTimeout) {
    args.push_back("--timeout");
    args.push_back("20");
  }
  return RunTool(args);
}

std::filesystem::path TempFile(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("kv93t-cli-" + name + "-" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".txt");
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// The byte values of a traffic line ("W 00  80 00 ...") after its time stamp.
struct TrafficLine {
  double seconds = 0;
  char direction = '?';
  std::vector<int> bytes;
};

std::optional<TrafficLine> ParseTrafficLine(const std::string& line) {
  static const std::regex kFormat(R"(^(\d+\.\d{3}) ([WR]) 00  ((?:[0-9A-F]{2} )*)$)");
  std::smatch match;
  if (!std::regex_match(line, match, kFormat)) return std::nullopt;
  TrafficLine traffic;
  traffic.seconds = std::stod(match[1]);
  traffic.direction = match[2].str()[0];
  std::istringstream values(match[3]);
  for (std::string value; values >> value;) traffic.bytes.push_back(std::stoi(value, nullptr, 16));
  return traffic;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// ---- The whole chain ----

TEST(CliRun, UpdatesTheUnitAndReportsEveryStepAsJsonWithATrace) {
  const std::filesystem::path trace = TempFile("trace");
  const ToolRun run = RunFast({"--json", "--trace", trace.string()});
  ASSERT_EQ(run.code, 0) << run.out << run.err;

  // Every line one object; the fields each event defines.
  std::vector<test::JsonObject> events;
  for (const std::string& line : run.OutLines()) {
    std::optional<test::JsonObject> object = test::JsonReader::ParseObject(line);
    ASSERT_TRUE(object) << "not a JSON object: " << line;
    ASSERT_TRUE(object->count("time") && object->at("time").IsNumber()) << line;
    ASSERT_TRUE(object->count("event") && object->at("event").IsString()) << line;
    events.push_back(*object);
  }
  ASSERT_GE(events.size(), 5u);
  int statuses = 0;
  bool sawRunUnit = false;
  bool sawMcuProgramming = false;
  bool sawDspProgramming = false;
  bool sawSuccess = false;
  bool sawVerification = false;
  for (const test::JsonObject& event : events) {
    const std::string& name = event.at("event").String();
    if (name == "status") {
      ++statuses;
      for (const char* field : {"panel", "step"}) ASSERT_TRUE(event.at(field).IsString());
      for (const char* field : {"progress_max", "progress_position"}) {
        ASSERT_TRUE(event.at(field).IsNumber());
      }
      ASSERT_TRUE(event.at("busy").IsBool());
      sawRunUnit = sawRunUnit || event.at("panel").String() == "Detect Run HID";
      sawMcuProgramming = sawMcuProgramming ||
                          (event.at("step").String().starts_with("Mcu Programing ") &&
                           event.at("progress_max").Number() == 1203 && event.at("busy").Bool());
      sawDspProgramming =
          sawDspProgramming || event.at("step").String().starts_with("Dsp Progrmming ");
    } else if (name == "message") {
      EXPECT_EQ(event.at("text").String(), " Program OK !! ");
      EXPECT_EQ(event.at("symbol").String(), "information");
      sawSuccess = true;
    } else if (name == "verification") {
      EXPECT_TRUE(event.at("updated").Bool());
      sawVerification = true;
    }
  }
  EXPECT_TRUE(sawRunUnit && sawMcuProgramming && sawDspProgramming && sawSuccess &&
              sawVerification);
  const test::JsonObject& end = events.back();
  EXPECT_EQ(end.at("event").String(), "end");
  EXPECT_EQ(end.at("exit_code").Number(), 0);
  EXPECT_EQ(end.at("result").String(), "updated");
  // Not one per packet: at most ten a second, a few more for the flushes
  // before a message and at the end.
  const double seconds = end.at("time").Number();
  EXPECT_LE(statuses, 10 * seconds + 6) << statuses << " in " << seconds << " s";

  // The trace: every line stamped and in the window's format.
  const std::vector<std::string> lines = ReadLines(trace);
  std::filesystem::remove(trace);
  ASSERT_GT(lines.size(), 2000u);
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
  const ToolRun tooNew = RunFast({"--sim", "version-text=KV-93T  013"});
  EXPECT_EQ(tooNew.code, 2) << tooNew.out;
  EXPECT_NE(tooNew.out.find("\"Too New Version Uint !! \""), std::string::npos);
  // The unit was told (cmdCheckFailed) before the tool ended.
  EXPECT_NE(tooNew.out.find("0x11: 1"), std::string::npos) << tooNew.out;
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
  EXPECT_NE(run.out.find("(step \"Mcu Programing "), std::string::npos) << run.out;
}

TEST(CliRun, OtherFailuresEndWithSix) {
  // An identify reply without payload: the window's checked access fails.
  const ToolRun exception = RunFast({"--sim", "fault=short@cmd:0x10"});
  EXPECT_EQ(exception.code, 6) << exception.out;
  EXPECT_NE(exception.out.find("exception: vector"), std::string::npos);
  // A read error followed by silence: the read error is named as the cause.
  const ToolRun readError = RunFast(
      {"--sim", "fault=read-error@data:2", "--sim", "fault=no-reply@data:3", "--timeout", "0.5"});
  EXPECT_EQ(readError.code, 6) << readError.out;
  EXPECT_NE(readError.out.find("after \"READ ERROR: "), std::string::npos) << readError.out;
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
  ASSERT_EQ(run.wait_for(kRunLimit), std::future_status::ready);
  const ToolRun result = run.get();
  EXPECT_EQ(result.code, 130);
  EXPECT_NE(result.out.find("interrupted"), std::string::npos);
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
  const ToolRun run = RunTool({"--list", "--sim", "start=update"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("vendor 0x0168  product 0x0904  KV-93T update mode"), std::string::npos)
      << run.out;
  const ToolRun two = RunTool({"--list", "--sim", "units=2", "--json"});
  ASSERT_EQ(two.code, 0);
  const std::vector<std::string> lines = two.OutLines();
  ASSERT_EQ(lines.size(), 2u) << two.out;
  for (const std::string& line : lines) {
    const std::optional<test::JsonObject> device = test::JsonReader::ParseObject(line);
    ASSERT_TRUE(device) << line;
    EXPECT_EQ(device->at("personality").String(), "run");
    EXPECT_EQ(device->at("vendor").Number(), 0x0168);
  }
}

}  // namespace
}  // namespace kv::cli
