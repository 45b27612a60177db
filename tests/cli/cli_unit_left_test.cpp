// Where a broken-off update left the unit: each fault at each place the unit can
// be left, and Ctrl-C there, against the simulated unit's own verdict. The end
// line's account and the verdict's findings of each row describe the same unit
// (bytes written, old firmware intact or erased, DSP chunk); the exit code is
// the README's. Every outcome is decided by the protocol: a fault that stops the
// unit answering, a stall limit far above the fast unit's gaps, and Ctrl-C only
// once the trace shows the last request the unit will ever answer or not.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "app/cli/interrupt.h"
#include "cli_run_support.h"

namespace kv::cli {
namespace {

// 48 bytes with "Start Program", 56 with each data packet; the last (1201) carries 12.
const std::string kIntact =
    "the unit was left in update mode; nothing was erased, its old firmware is intact";
std::string Written(const char* bytes) {
  return "the unit was left in update mode with " + std::string(bytes) +
         " of 67,324 bytes of its firmware written; its old firmware is erased";
}
const std::string kNewMcu =
    "the unit was left with its new microcontroller firmware; its DSP program is still to be "
    "downloaded";
std::string DspAt(const char* chunk) {
  return "the unit was left in run mode with its new microcontroller firmware and its DSP program "
         "sent up to chunk " +
         std::string(chunk) + " of chunks 0 to 813";
}
const std::string kAgain = "; running kv93t-update again finishes the update";
const std::string kFromTheStart = "it is programmed from the start";
// A read error in the system's own words: EPROTO's text on Linux.
#ifdef _WIN32
const std::string kReadError = "READ ERROR: A device attached to the system is not functioning.";
#else
const std::string kReadError = std::string("READ ERROR: ") + std::strerror(EPROTO);
#endif

const std::string kFlashNone = "flash: not programmed";
std::string FlashOnly(const char* bytes) {
  return "flash: only " + std::string(bytes) + " of 67,324 announced bytes programmed";
}
const std::string kFlashFull = "flash: 67,324 bytes programmed, equal to the image";
const std::string kDspNone = "DSP: no download";
std::string DspPart(const char* chunk) {
  return "DSP: download incomplete, chunks 0 to " + std::string(chunk) + " of 0 to 813 received";
}
const std::string kDspFull = "DSP: 814 chunks, image of 26,044 bytes equal to the program";

// Trace lines of the requests a Ctrl-C waits for (report ID 00, then the bytes).
const char* const kDataPacket = R"( W 00  00 )";
const char* const kSyncRequest = R"( W 00  81 )";
const char* const kParameter5 = R"( W 00  10 02 00 01 [0-9A-F]{2} A8 05 )";
const char* const kDspChunk400 = R"( W 00  10 02 00 01 [0-9A-F]{2} 53 01 90 )";  // 0x190

struct UnitLeftCase {
  std::vector<std::string> sim;  // --sim settings
  int exitCode;
  std::string account;  // in the end line, or the note of a unit programmed again
  std::string flash;    // the verdict's findings
  std::string dsp;
  // Ctrl-C once the trace holds this many lines matching the pattern.
  const char* interruptAfter = nullptr;
  int interruptCount = 0;
  std::string traceHolds = {};
  std::string outHolds = {};
};

const std::vector<UnitLeftCase>& Cases() {
  static const std::vector<UnitLeftCase> cases{
      // Before the data phase.
      {{"fault=no-reply@connect"}, 4, kIntact, kFlashNone, kDspNone},
      {{"fault=short@connect"}, 3, kIntact, kFlashNone, kDspNone},
      {{"fault=bad-echo@sync-package"}, 3, kIntact, kFlashNone, kDspNone},
      {{"fault=unplug@device-id"}, 4, kIntact, kFlashNone, kDspNone},
      {{"fault=read-error@read-config", "fault=no-reply@read-config"},
       6,
       kIntact,
       kFlashNone,
       kDspNone,
       nullptr,
       0,
       {},
       kReadError},
      {{"fault=no-reply@sync-program"}, 130, kIntact, kFlashNone, kDspNone, kSyncRequest, 2},
      {{"fault=bad-echo@start-program"}, 3, Written("48"), FlashOnly("48"), kDspNone},
      {{"fault=unplug@start-program"}, 4, Written("48"), FlashOnly("48"), kDspNone},
      // During it: data packet 600 is the 601st.
      {{"fault=no-reply@data:600"}, 4, Written("33,704"), FlashOnly("33,704"), kDspNone},
      {{"fault=short@data:600"}, 3, Written("33,704"), FlashOnly("33,704"), kDspNone},
      {{"fault=bad-echo@data:600"}, 3, Written("33,704"), FlashOnly("33,704"), kDspNone},
      {{"fault=unplug@data:600"}, 4, Written("33,704"), FlashOnly("33,704"), kDspNone},
      {{"fault=read-error@data:600", "fault=no-reply@data:600"},
       6,
       Written("33,704"),
       FlashOnly("33,704"),
       kDspNone},
      // The system's own words for a read on an interface that has left (Linux EIO;
      // Windows ERROR_ACCESS_DENIED on a handle still open, as wine answers): the unit left.
      {{"fault=read-error:5@data:600", "fault=unplug@data:600"},
       4,
       Written("33,704"),
       FlashOnly("33,704"),
       kDspNone},
      {{"fault=read-error@data:600", "fault=unplug@data:600"},
       6,
       Written("33,704"),
       FlashOnly("33,704"),
       kDspNone},
      {{"fault=no-reply@data:600"},
       130,
       Written("33,704"),
       FlashOnly("33,704"),
       kDspNone,
       kDataPacket,
       601},
      // Its last packet: the flash is full, but the unit was never reset.
      {{"fault=no-reply@data:1201"}, 4, Written("67,324"), kFlashFull, kDspNone},
      {{"fault=short@data:1201"}, 3, Written("67,324"), kFlashFull, kDspNone},
      {{"fault=unplug@data:1201"}, 4, Written("67,324"), kFlashFull, kDspNone},
      {{"fault=no-reply@data:1201"},
       130,
       Written("67,324"),
       kFlashFull,
       kDspNone,
       kDataPacket,
       1202},
      // At reset, and as the unit comes back in run mode (block 0 is the first
      // request it gets there).
      {{"fault=unplug@reset"}, 4, kNewMcu, kFlashFull, kDspNone},
      {{"fault=unplug@param:0"}, 4, kNewMcu, kFlashFull, kDspNone},
      // The parameter blocks; the 0x1A after block 0 is in the trace, though the
      // short answer ends the handler that sent it.
      {{"fault=no-reply@param:5"}, 4, kNewMcu, kFlashFull, kDspNone},
      {{"fault=unplug@param:5"}, 4, kNewMcu, kFlashFull, kDspNone},
      {{"fault=short@cmd:0xA8"},
       6,
       kNewMcu,
       kFlashFull,
       kDspNone,
       nullptr,
       0,
       " W 00  10 02 00 01 05 1A 01 00 01 00 "},
      {{"fault=no-reply@param:5"}, 130, kNewMcu, kFlashFull, kDspNone, kParameter5, 1},
      // The DSP download: 814 chunks, 0 to 813.
      {{"fault=no-reply@dsp:400"}, 4, DspAt("400"), kFlashFull, DspPart("400")},
      {{"fault=unplug@dsp:400"}, 4, DspAt("400"), kFlashFull, DspPart("400")},
      {{"fault=no-reply@dsp:400"}, 130, DspAt("400"), kFlashFull, DspPart("400"), kDspChunk400, 1},
      {{"fault=no-reply@dsp:813"}, 4, DspAt("813"), kFlashFull, kDspFull},
      // Back in update mode within the run: programmed from the start.
      {{"fault=unplug@data:600", "replug-ms=500"}, 0, kFromTheStart, kFlashFull, kDspFull},
      {{"start=update", "fault=unplug@start-program", "replug-ms=500"},
       0,
       kFromTheStart,
       kFlashFull,
       kDspFull},
  };
  return cases;
}

int CountMatching(const std::filesystem::path& path, const std::regex& pattern) {
  std::ifstream file(path);
  int count = 0;
  for (std::string line; std::getline(file, line);) count += std::regex_search(line, pattern);
  return count;
}

ToolRun RunCase(const UnitLeftCase& c, const std::filesystem::path& trace) {
  std::vector<std::string> args = FastUnitArgs();
  for (const std::string& setting : c.sim) args.insert(args.end(), {"--sim", setting});
  // Far above the fast unit's gaps; an interrupted case never gets there.
  args.insert(args.end(), {"--trace", trace.string(), "--timeout", c.interruptAfter ? "60" : "2"});
  if (!c.interruptAfter) return RunTool(args);
  TInterruptHub interrupts;
  TToolEnvironment environment;
  environment.Interrupts = &interrupts;
  std::future<ToolRun> run =
      std::async(std::launch::async, [&] { return RunTool(args, environment); });
  const std::regex pattern(c.interruptAfter);
  const auto giveUp = std::chrono::steady_clock::now() + kRunLimit;
  while (CountMatching(trace, pattern) < c.interruptCount &&
         std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  interrupts.Raise();
  if (run.wait_for(kRunLimit) != std::future_status::ready) {
    std::fprintf(stderr, "CliUnitLeft: an interrupted run did not end\n");
    std::_Exit(EXIT_FAILURE);
  }
  return run.get();
}

TEST(CliUnitLeft, TheEndLineSaysWhatTheSimulatedUnitFinds) {
  for (size_t row = 0; row < Cases().size(); ++row) {
    const UnitLeftCase& c = Cases()[row];
    const std::filesystem::path trace = TempFile("unit-left-" + std::to_string(row));
    const ToolRun run = RunCase(c, trace);
    SCOPED_TRACE("row " + std::to_string(row) + ": " + c.sim.front() + "\n" + run.out);
    EXPECT_EQ(run.code, c.exitCode);
    const std::string lastLine = run.OutLines().empty() ? "" : run.OutLines().back();
    if (c.exitCode == 0) {
      EXPECT_NE(run.out.find(c.account), std::string::npos);
    } else {
      EXPECT_NE(lastLine.find(c.account + kAgain), std::string::npos) << lastLine;
      EXPECT_EQ(run.out.find("Program OK"), std::string::npos);
    }
    EXPECT_NE(run.out.find("unit 1: " + c.flash + "\n"), std::string::npos);
    EXPECT_NE(run.out.find("unit 1: " + c.dsp + "\n"), std::string::npos);
    EXPECT_NE(run.out.find(c.outHolds), std::string::npos);
    if (!c.traceHolds.empty()) {
      EXPECT_EQ(CountMatching(trace, std::regex(c.traceHolds)), 1);
    }
    std::filesystem::remove(trace);
  }
}

}  // namespace
}  // namespace kv::cli
