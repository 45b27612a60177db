#include "app/cli/cli_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace kv::cli {

namespace {

// One option as the user wrote it: "--name value" or "--name=value".
struct TOptionWord {
  std::string_view Name;
  std::optional<std::string_view> InlineValue;
};

TOptionWord SplitOption(std::string_view word) {
  const size_t equals = word.find('=');
  if (word.starts_with("--") && equals != std::string_view::npos) {
    return {word.substr(0, equals), word.substr(equals + 1)};
  }
  return {word, std::nullopt};
}

// 0 is taken: --timeout 0 waits for ever, as the window does.
bool ParseSeconds(std::string_view text, double& seconds) {
  // from_chars for double is not in every standard library this builds with.
  const std::string copy(text);
  if (copy.empty() || copy.find_first_not_of("0123456789.") != std::string::npos) return false;
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return false;
  seconds = value;
  return seconds >= 0 && seconds <= kMaxTimeoutSeconds;
}

bool ParseDivisor(std::string_view text, int& divisor) {
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [end, error] = std::from_chars(first, last, divisor);
  return error == std::errc() && end == last && divisor >= 1 && divisor <= kMaxPaceDivisor;
}

class TParser {
 public:
  explicit TParser(const std::vector<std::string>& args) : args_(args) {}

  TParseResult Parse() {
    TCliOptions options;
    bool dumpGiven = false;
    bool listGiven = false;
    bool checkGiven = false;
    bool helpGiven = false;
    bool versionGiven = false;
    bool paceGiven = false;
    bool optionsEnded = false;
    // Every word is checked, even after --help or --version: a typo never passes.
    for (index_ = 0; index_ < args_.size(); ++index_) {
      if (optionsEnded) return Failure("unexpected argument " + args_[index_]);
      const TOptionWord word = SplitOption(args_[index_]);
      std::string value;
      if (word.Name == "--") {
        if (!NoValue(word)) return Failure();
        optionsEnded = true;
      } else if (word.Name == "--help" || word.Name == "-h") {
        if (!NoValue(word)) return Failure();
        helpGiven = true;
      } else if (word.Name == "--version") {
        if (!NoValue(word)) return Failure();
        versionGiven = true;
      } else if (word.Name == "--simulate") {
        if (!NoValue(word)) return Failure();
        options.Simulate = true;
      } else if (word.Name == "--sim") {
        if (!TakeValue(word, value)) return Failure();
        std::string simError;
        if (!sim::ApplySimOption(value, options.Sim, simError)) {
          return Failure("--sim " + value + ": " + simError);
        }
        options.SimSettings.push_back(value);
      } else if (word.Name == "--trace") {
        if (!TakeValue(word, value)) return Failure();
        if (value.empty()) return Failure("--trace needs a file name");
        options.TraceFile = value;
      } else if (word.Name == "--replay") {
        if (!TakeValue(word, value)) return Failure();
        if (value.empty()) return Failure("--replay needs a recording (a file --trace wrote)");
        options.ReplayFile = value;
      } else if (word.Name == "--path") {
        if (!TakeValue(word, value)) return Failure();
        if (value.empty()) {
          return Failure("--path needs a USB port or a device path (as --list prints them)");
        }
        options.DevicePath = value;
      } else if (word.Name == "--all" || word.Name == "--station") {
        if (!NoValue(word)) return Failure();
        const TUnitScope scope = word.Name == "--all" ? TUnitScope::kAll : TUnitScope::kStation;
        if (options.Units != TUnitScope::kOne && options.Units != scope) {
          return Failure("--all and --station cannot be combined");
        }
        options.Units = scope;
      } else if (word.Name == "--report") {
        if (!TakeValue(word, value)) return Failure();
        if (value.empty()) return Failure("--report needs a file name");
        options.ReportFile = value;
      } else if (word.Name == "--dump") {
        if (!TakeValue(word, value)) return Failure();
        if (value == "mcu") {
          options.Dump = TDumpImage::kMcu;
        } else if (value == "dsp") {
          options.Dump = TDumpImage::kDsp;
        } else {
          return Failure("--dump " + value + ": expected mcu or dsp");
        }
        dumpGiven = true;
      } else if (word.Name == "--list") {
        if (!NoValue(word)) return Failure();
        listGiven = true;
      } else if (word.Name == "--check") {
        if (!NoValue(word)) return Failure();
        checkGiven = true;
      } else if (word.Name == "--timeout") {
        if (!TakeValue(word, value)) return Failure();
        double seconds = 0;
        if (!ParseSeconds(value, seconds)) {
          return Failure("--timeout " + value + ": expected seconds from 0 (no limit) to " +
                         std::to_string(static_cast<long>(kMaxTimeoutSeconds)));
        }
        options.TimeoutSeconds = seconds;
      } else if (word.Name == "--json") {
        if (!NoValue(word)) return Failure();
        options.Json = true;
      } else if (word.Name == "--pace-divisor") {
        if (!TakeValue(word, value)) return Failure();
        if (!ParseDivisor(value, options.PaceDivisor)) {
          return Failure("--pace-divisor " + value + ": expected 1 to " +
                         std::to_string(kMaxPaceDivisor));
        }
        paceGiven = true;
      } else if (word.Name.starts_with("-")) {
        return Failure("unknown option " + std::string(word.Name));
      } else {
        return Failure("unexpected argument " + std::string(word.Name));
      }
    }
    // A real unit's boot loader needs its 20 ms per packet: a faster pace is
    // only ever for the simulated unit, which is told and checks it.
    if (paceGiven && !options.Simulate && options.ReplayFile.empty()) {
      return Failure("--pace-divisor needs --simulate or --replay");
    }
    if (!options.ReplayFile.empty() &&
        (options.Simulate || options.Units != TUnitScope::kOne || !options.DevicePath.empty() ||
         int(dumpGiven) + int(listGiven) + int(checkGiven) > 0)) {
      return Failure(
          "--replay stands in for one unit; it cannot be combined with --simulate, --all, "
          "--station, --path, --dump, --list or --check");
    }
    if (!options.SimSettings.empty() && !options.Simulate) {
      return Failure("--sim " + options.SimSettings.front() + " needs --simulate");
    }
    if (options.Units != TUnitScope::kOne && !options.DevicePath.empty()) {
      return Failure("--path names one unit; --all and --station take every unit");
    }
    if (!options.ReportFile.empty() && options.Units == TUnitScope::kOne) {
      return Failure("--report needs --all or --station");
    }
    if (helpGiven) {
      options.Mode = TToolMode::kHelp;
      return Success(options);
    }
    if (versionGiven) {
      options.Mode = TToolMode::kVersion;
      return Success(options);
    }
    if (int(dumpGiven) + int(listGiven) + int(checkGiven) > 1) {
      return Failure("--dump, --list and --check cannot be combined");
    }
    if (options.Units != TUnitScope::kOne &&
        int(dumpGiven) + int(listGiven) + int(checkGiven) > 0) {
      return Failure(
          "--all and --station update units; they cannot be combined with --dump, "
          "--list or --check");
    }
    if (dumpGiven) options.Mode = TToolMode::kDump;
    if (listGiven) options.Mode = TToolMode::kList;
    if (checkGiven) options.Mode = TToolMode::kCheck;
    if (options.Simulate && options.Mode == TToolMode::kDump) {
      return Failure("--dump lists the embedded image; --simulate has no part in it");
    }
    return Success(options);
  }

 private:
  bool NoValue(const TOptionWord& word) {
    if (!word.InlineValue) return true;
    error_ = std::string(word.Name) + " takes no value";
    return false;
  }

  bool TakeValue(const TOptionWord& word, std::string& value) {
    if (word.InlineValue) {
      value = std::string(*word.InlineValue);
      return true;
    }
    if (index_ + 1 >= args_.size()) {
      error_ = std::string(word.Name) + " needs a value";
      return false;
    }
    value = args_[++index_];
    return true;
  }

  TParseResult Failure() { return TParseResult{std::nullopt, error_}; }
  static TParseResult Failure(std::string error) {
    return TParseResult{std::nullopt, std::move(error)};
  }
  static TParseResult Success(const TCliOptions& options) { return TParseResult{options, {}}; }

  const std::vector<std::string>& args_;
  size_t index_ = 0;
  std::string error_;
};

}  // namespace

TParseResult ParseCommandLine(const std::vector<std::string>& args) {
  return TParser(args).Parse();
}

std::string UsageHint() {
  return "Try 'kv93t-update --help'.";
}

std::string UsageText() {
  return R"(Usage: kv93t-update [OPTION]...
Updates the firmware of a KV-93T unit attached by USB: waits for the unit, presses
"Start Program " as soon as the window would let you, and follows the update to its end.

  --simulate          update a simulated unit instead of hardware
  --sim KEY=VALUE     an option of the simulated unit (repeatable; needs --simulate);
                      see sim/README.md, e.g. --sim start=update --sim fault=bad-echo@data:17
  --path PORT|PATH    the unit to use when several are attached: its USB port or its
                      device path, as --list prints them (the port stays when the unit
                      switches to update mode and back; the path does not)
  --all               update every unit attached now, at once, each followed by its USB
                      port; ends when every unit has ended (exit: the largest unit's code)
  --station           keep running: update each unit as it is plugged in, once until it
                      is unplugged; Ctrl-C lets the units in flight end, then stops
  --report FILE       with --all or --station: append one JSON line per finished unit
  --timeout SECONDS   end the update when it makes no progress for that long (default 60
                      once under way; 0: wait for ever, as the window does); also gives up
                      when no unit is found for that long (default: keep waiting)
  --trace FILE        record the run to FILE: every HID report written (W), read (R) and
                      read but dropped (D), the unit's comings and goings, read errors,
                      waits, messages and steps, each with the seconds since the start
                      (a recording --replay plays; the README tells its format)
  --replay FILE       update the unit a --trace recording makes instead of hardware: it
                      answers as the recorded unit did; a run that parts from the
                      recording stops there and says where (exit 7)
  --json              JSON Lines on standard output, for other programs (see the README)
  --check             ask the unit its type and version (nothing else is sent), say
                      whether this tool would update it: exit 0 yes, 2 no
  --list              list the HID devices seen and which of them is the unit
  --dump mcu|dsp      print the Program Data listing of an embedded image
  --help              this text
  --version           the tool's version and the firmware it carries
  --                  ends the options (the tool takes no other arguments)

Exit codes: 0 updated (with --all or --station: every unit; otherwise the largest of
the units' codes), 1 usage error (or several units without --path), 2 unit refused
by the unit check, 3 boot-loader failure, 4 no unit found or no progress within the limit,
5 the simulated unit's verification failed, 6 any other failure (trace file included),
7 the run parted from the recording --replay plays, 130 interrupted (Ctrl-C, SIGTERM: the session is closed first).
)";
}

}  // namespace kv::cli
