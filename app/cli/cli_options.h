// The command line of kv93t-update, parsed into what the tool is to do.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/sim_options.h"

namespace kv::cli {

enum class TToolMode {
  kUpdate,   // run the update chain
  kList,     // --list: the HID devices seen
  kDump,     // --dump mcu|dsp: the Program Data listing of one image
  kHelp,     // --help
  kVersion,  // --version
  kCheck,    // --check: the unit's type and version text, nothing else sent
};

enum class TDumpImage { kMcu, kDsp };

// Which units an update works on.
enum class TUnitScope {
  kOne,      // the only unit attached, or the one --path names
  kAll,      // --all: every unit attached at the start, at once
  kStation,  // --station: every unit as it is plugged in, until interrupted
};

struct TCliOptions {
  TToolMode Mode = TToolMode::kUpdate;
  TDumpImage Dump = TDumpImage::kMcu;
  bool Simulate = false;
  // The --sim settings in the order given, already checked.
  std::vector<std::string> SimSettings;
  sim::SimOptions Sim;
  std::string TraceFile;  // empty: no trace
  // --replay: the recording that stands in for the unit; empty: none.
  std::string ReplayFile;
  bool Json = false;
  // --path: the one unit to update when several are attached; empty: the only one.
  std::string DevicePath;
  TUnitScope Units = TUnitScope::kOne;
  // --report: one JSON line per finished unit is appended here; empty: none.
  std::string ReportFile;
  // --timeout: how long the update may go without progress (0: for ever, as
  // the window waits); unset: kDefaultStallSeconds once the update is under way
  // and no limit while no unit has been found.
  std::optional<double> TimeoutSeconds;
  // Hidden, for tests, and only with --simulate or --replay: every timer of the
  // window this many times shorter (the simulated unit is told, so it checks
  // that pace; a replay plays its recording's delays that much faster than recorded).
  int PaceDivisor = 1;
};

inline constexpr double kDefaultStallSeconds = 60;

// Largest --timeout and --pace-divisor taken; beyond them a value is a typo.
inline constexpr double kMaxTimeoutSeconds = 7 * 24 * 3600.0;
inline constexpr int kMaxPaceDivisor = 1000;

struct TParseResult {
  std::optional<TCliOptions> Options;  // empty on a usage error
  std::string Error;                   // names the offending option or value
};

// args excludes the program name.
TParseResult ParseCommandLine(const std::vector<std::string>& args);

// The --help text.
std::string UsageText();
// The short hint printed under a usage error.
std::string UsageHint();

}  // namespace kv::cli
