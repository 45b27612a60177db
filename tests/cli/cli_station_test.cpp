// Several simulated units from one run: --all and --station, each unit followed
// by its port through its switches, judged by its own simulated unit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/interrupt.h"
#include "app/cli/station.h"
#include "tests/cli/cli_run_support.h"

namespace kv::cli {
namespace {

using namespace std::chrono_literals;

// A data packet (70 bytes led by 0x00, as the trace lists it) written at least
// `count` times.
bool DataPacketsWritten(const std::filesystem::path& trace, size_t count) {
  size_t written = 0;
  for (const std::string& line : ReadLines(trace)) {
    const std::optional<TrafficLine> traffic = ParseTrafficLine(line);
    if (traffic && traffic->direction == 'W' && traffic->bytes.size() == 70 &&
        traffic->bytes[0] == 0x00) {
      ++written;
    }
  }
  return written >= count;
}

struct StationCase {
  const char* name;
  std::vector<std::string> args;
  int exitCode;
  // Each unit's exit code, from its one end line.
  std::map<std::string, int> units;
  // Ctrl-C once this many units are in the report; 0: not by the report.
  size_t interruptAfterReports = 0;
  // Ctrl-C once unit 1 has written its 41st data packet.
  bool interruptMidFlash = false;
  // Lines the output must hold.
  std::vector<std::string> shown;
};

// Unit 2 refused as too old, unit 3 a boot-loader bad echo, unit 4 unplugged
// mid-flash and never back, five healthy.
const std::vector<std::string> kMixedUnits = {"--sim",     "units=8",
                                              "--sim",     "unit2.version-text=KV-93T  011",
                                              "--sim",     "unit3.fault=bad-echo@data:5",
                                              "--sim",     "unit4.fault=unplug@data:40",
                                              "--timeout", "3"};

const StationCase kCases[] = {
    {"EightHealthyUnitsAtOnce",
     {"--all", "--sim", "units=8"},
     0,
     {{"sim-1", 0},
      {"sim-2", 0},
      {"sim-3", 0},
      {"sim-4", 0},
      {"sim-5", 0},
      {"sim-6", 0},
      {"sim-7", 0},
      {"sim-8", 0}},
     0,
     false,
     {"summary: 8 units, 8 updated, 0 not; exit 0"}},
    {"MixedOutcomesEachTheirOwn",
     [] {
       std::vector<std::string> args = {"--all"};
       args.insert(args.end(), kMixedUnits.begin(), kMixedUnits.end());
       return args;
     }(),
     4,
     {{"sim-1", 0},
      {"sim-2", 2},
      {"sim-3", 3},
      {"sim-4", 4},
      {"sim-5", 0},
      {"sim-6", 0},
      {"sim-7", 0},
      {"sim-8", 0}},
     0,
     false,
     {"[sim-2]", "Too Old Version Uint !! ", "summary: 8 units, 5 updated, 3 not; exit 4",
      "[sim-4]", "of its firmware written; its old firmware is erased"}},
    // Unit 1 takes 600 ms to come back in update mode, unit 2 20 ms: unit 2's
    // boot loader is the first new interface after both left. A session that
    // followed a path would take it for its own.
    {"UnitsSwitchingOutOfOrderAreFollowedByPort",
     {"--all", "--sim", "units=2", "--sim", "unit1.reenum-ms=600"},
     0,
     {{"sim-1", 0}, {"sim-2", 0}},
     0,
     false,
     {"[sim-1]   unit 1: verdict: clean", "[sim-2]   unit 2: verdict: clean"}},
    // Plugged in one after another, the second and third while the first is
    // being flashed; each updated once, then Ctrl-C.
    {"StationUpdatesEachUnitOnceAsItArrives",
     {"--station", "--sim", "units=3", "--sim", "start=absent", "--sim", "attach-ms=50", "--sim",
      "unit2.attach-ms=800", "--sim", "unit3.attach-ms=1600"},
     0,
     {{"sim-1", 0}, {"sim-2", 0}, {"sim-3", 0}},
     3,
     false,
     {"station: 0 passed, 0 failed, 1 in progress", "station: 3 passed, 0 failed, 0 in progress",
      "summary: 3 units, 3 updated, 0 not; exit 0"}},
    // Data packet 40 is never answered: Ctrl-C finds unit 1 mid-flash.
    {"StationCtrlCMidFlashClosesTheUnitCleanly",
     {"--station", "--sim", "fault=no-reply@data:40", "--timeout", "30"},
     130,
     {{"sim-1", 130}},
     0,
     true,
     {"interrupted: the session was closed", "summary: 1 unit, 0 updated, 1 not; exit 130"}},
};

void PrintTo(const StationCase& station, std::ostream* out) {
  *out << station.name;
}

class StationRun : public testing::TestWithParam<StationCase> {};

TEST_P(StationRun, EndsAsEachUnitDid) {
  const StationCase& station = GetParam();
  TInterruptHub interrupts;
  TToolEnvironment environment;
  environment.Interrupts = &interrupts;
  const std::filesystem::path report = TempFile(std::string(station.name) + "-report");
  const std::filesystem::path trace = TempFile(std::string(station.name) + "-trace");
  std::vector<std::string> args = FastUnitArgs();
  args.insert(args.end(), station.args.begin(), station.args.end());
  for (const std::string& arg :
       {std::string("--report"), report.string(), std::string("--trace"), trace.string()}) {
    args.push_back(arg);
  }
  std::future<ToolRun> run =
      std::async(std::launch::async, [&] { return RunTool(args, environment); });
  const auto giveUp = std::chrono::steady_clock::now() + kRunLimit;
  const std::filesystem::path unitOneTrace = UnitTraceFile(trace.string(), "sim-1");
  if (station.interruptAfterReports > 0 || station.interruptMidFlash) {
    // Raised on what the run wrote, never on a guess at how long it takes.
    while (std::chrono::steady_clock::now() < giveUp &&
           run.wait_for(10ms) == std::future_status::timeout) {
      const bool due = station.interruptMidFlash
                           ? DataPacketsWritten(unitOneTrace, 41)
                           : ReadLines(report).size() >= station.interruptAfterReports;
      if (due) break;
    }
    interrupts.Raise();
  }
  if (run.wait_for(giveUp - std::chrono::steady_clock::now()) != std::future_status::ready) {
    std::fprintf(stderr, "%s: the run did not end\n", station.name);
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
  }
  const ToolRun result = run.get();
  EXPECT_EQ(result.code, station.exitCode) << result.out << result.err;

  static const std::regex kEnd(R"(^\[(sim-\d)\] +\d+\.\d\ds  end \(exit (\d+)\))");
  std::map<std::string, std::vector<int>> ends;
  for (const std::string& line : result.OutLines()) {
    std::smatch match;
    if (std::regex_search(line, match, kEnd)) ends[match[1]].push_back(std::stoi(match[2]));
    // Every line is about one unit, or is the station's own.
    EXPECT_TRUE(line.starts_with("[sim-") || line.starts_with("station: ") ||
                line.starts_with("summary: ") || line.starts_with("  sim-"))
        << line;
  }
  std::map<std::string, int> seen;
  for (const auto& [port, codes] : ends) {
    EXPECT_EQ(codes.size(), 1u) << port << " ended more than once\n" << result.out;
    seen[port] = codes.front();
  }
  EXPECT_EQ(seen, station.units) << result.out;
  for (const std::string& text : station.shown) {
    EXPECT_NE(result.out.find(text), std::string::npos) << text << "\n" << result.out;
  }
  // One record per unit, each its own port's, and a trace of its own.
  const std::vector<std::string> records = ReadLines(report);
  EXPECT_EQ(records.size(), station.units.size());
  for (const auto& [port, code] : station.units) {
    const std::string portField = "\"port\":\"" + port + "\"";
    const auto record = std::find_if(records.begin(), records.end(), [&](const std::string& line) {
      return line.find(portField) != std::string::npos;
    });
    ASSERT_NE(record, records.end()) << port;
    EXPECT_NE(record->find("\"exit_code\":" + std::to_string(code) + ","), std::string::npos)
        << *record;
    EXPECT_TRUE(std::regex_search(*record, std::regex(R"("mcu_crc32":"[0-9A-F]{8}")"))) << *record;
    EXPECT_TRUE(std::filesystem::exists(UnitTraceFile(trace.string(), port))) << port;
    std::filesystem::remove(UnitTraceFile(trace.string(), port));
  }
  std::filesystem::remove(report);
}

INSTANTIATE_TEST_SUITE_P(Cases, StationRun, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<StationCase>& info) {
                           return std::string(info.param.name);
                         });

// What the record says of a refused unit and of one the boot loader failed:
// what each unit told about itself, in JSON, with every object its unit's.
TEST(Station, JsonObjectsAndRecordsNameTheirUnit) {
  const std::filesystem::path report = TempFile("json-report");
  std::vector<std::string> args = {"--all", "--json", "--report", report.string()};
  args.insert(args.end(), kMixedUnits.begin(), kMixedUnits.end());
  const ToolRun run = RunFast(args);
  EXPECT_EQ(run.code, 4) << run.out;
  const std::vector<std::string> lines = run.OutLines();
  ASSERT_FALSE(lines.empty());
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_search(lines[i], std::regex(R"("unit":"sim-\d")"))) << lines[i];
  }
  EXPECT_TRUE(lines.back().starts_with(R"({"time":)")) << lines.back();
  EXPECT_NE(
      lines.back().find(R"("event":"summary","units":8,"updated":5,"failed":3,"exit_code":4)"),
      std::string::npos)
      << lines.back();
  EXPECT_NE(lines.back().find(R"({"unit":"sim-3","exit_code":3,"result":"boot-loader-failure")"),
            std::string::npos)
      << lines.back();
  const std::string records = [&] {
    std::string all;
    for (const std::string& line : ReadLines(report)) all += line + "\n";
    return all;
  }();
  EXPECT_NE(records.find(R"("port":"sim-2",)"), std::string::npos);
  EXPECT_NE(records.find(R"("unit_type":"0x33","version_text":"KV-93T  011","device_id":"")"),
            std::string::npos)
      << records;
  EXPECT_NE(records.find(R"("version_text":"KV-93T  012","device_id":"0x00235100")"),
            std::string::npos)
      << records;
  std::filesystem::remove(report);
}

TEST(Station, EachUnitsTraceFileIsNamedByItsPort) {
  const std::pair<const char*, const char*> kNames[] = {
      {"run.trace", "run.sim-1.trace"},
      {"trace", "trace.sim-1"},
      {"logs.d/trace", "logs.d/trace.sim-1"},
      {"/tmp/.trace", "/tmp/.trace.sim-1"},
  };
  for (const auto& [given, expected] : kNames) {
    EXPECT_EQ(UnitTraceFile(given, "sim-1"), expected) << given;
  }
  // A Windows location path holds characters a file name may not.
  EXPECT_EQ(UnitTraceFile("t.txt", "PCIROOT(0)#USB(2)"), "t.PCIROOT_0__USB_2_.txt");
}

TEST(Station, OptionsThatCannotGoTogetherAreRefused) {
  const std::vector<std::string> kRefused[] = {
      {"--all", "--station"},
      {"--all", "--path", "sim-1"},
      {"--report", "r.jsonl"},
      {"--station", "--list"},
  };
  for (const std::vector<std::string>& args : kRefused) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.code, 1) << args.front() << " " << args[1];
    EXPECT_EQ(run.out, "");
  }
}

// --path takes a unit's port: that unit, and no other, is updated.
TEST(Station, PathTakesAPort) {
  const ToolRun run = RunFast({"--sim", "units=3", "--path", "sim-2"});
  EXPECT_EQ(run.code, 0) << run.out;
  EXPECT_NE(run.out.find("unit 1: untouched"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("unit 2: verdict: clean"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("unit 3: untouched"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace kv::cli
