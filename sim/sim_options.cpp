#include "sim/sim_options.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

#include "sim/request_pacing.h"

namespace kv::sim {
namespace {

// Delays above a minute are surely typing mistakes; a bound also keeps every
// wait of the unit's thread finite.
constexpr int64_t kMaxDelayMs = 60000;
constexpr int64_t kMaxUnits = 16;
// A run-mode answer travels in one report of 64 bytes: at most 55 payload bytes.
constexpr size_t kMaxVersionTextBytes = 55;
// The selector picks 8 bytes at 5 + 16 s of the 516-byte block.
constexpr int64_t kMaxSelector = 31;
constexpr int64_t kMaxParamBlock = 10;
constexpr int64_t kMaxDspChunk = 2047;
constexpr int64_t kMaxDataPacket = 0x11000;
// A boot-loader reply has 60 payload bytes after its echo; "short" must cut some.
constexpr int64_t kMaxShortPayloadBytes = 59;
// A data packet carries 56 image bytes.
constexpr int64_t kMaxStuckByte = 55;

// Decimal, or hexadecimal with a 0x prefix; nothing else may follow the digits.
std::optional<int64_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
  return static_cast<int64_t>(value);
}

bool ParseRanged(std::string_view name, std::string_view text, int64_t low, int64_t high,
                 int64_t& out, std::string& error) {
  std::optional<int64_t> value = ParseNumber(text);
  if (!value || *value < low || *value > high) {
    error = std::string(name) + ": \"" + std::string(text) + "\" is not a number from " +
            std::to_string(low) + " to " + std::to_string(high);
    return false;
  }
  out = *value;
  return true;
}

struct NamedKind {
  std::string_view name;
  FaultKind kind;
  bool takes_amount;
  int64_t default_amount;
  int64_t low;
  int64_t high;
};

constexpr std::array<NamedKind, 11> kFaultKinds{{
    {"no-reply", FaultKind::kNoReply, false, 0, 0, 0},
    {"bad-echo", FaultKind::kBadEcho, false, 0, 0, 0},
    {"unplug", FaultKind::kUnplug, false, 0, 0, 0},
    {"duplicate", FaultKind::kDuplicate, false, 0, 0, 0},
    {"garbage", FaultKind::kGarbage, false, 0, 0, 0},
    {"short", FaultKind::kShort, true, kDefaultShortPayloadBytes, 0, kMaxShortPayloadBytes},
    {"oversize", FaultKind::kOversize, true, kDefaultOversizeLength, 57, 255},
    {"read-error", FaultKind::kReadError, true, kDefaultReadErrorCode, 0, 0xFFFFFFFF},
    {"early", FaultKind::kEarly, false, 0, 0, 0},
    {"late", FaultKind::kLate, true, kDefaultLateMs, 0, kMaxDelayMs},
    {"stuck", FaultKind::kStuck, true, kDefaultStuckByte, 0, kMaxStuckByte},
}};

struct NamedSite {
  std::string_view name;
  FaultSite site;
};

// Places without an index; data:, cmd:, param: and dsp: carry one.
constexpr std::array<NamedSite, 8> kPlainSites{{
    {"connect", FaultSite::kConnect},
    {"sync-package", FaultSite::kSyncPackage},
    {"firmware-version", FaultSite::kFirmwareVersion},
    {"device-id", FaultSite::kDeviceId},
    {"read-config", FaultSite::kReadConfig},
    {"sync-program", FaultSite::kSyncProgram},
    {"start-program", FaultSite::kStartProgram},
    {"reset", FaultSite::kReset},
}};

bool ParseFaultKind(std::string_view text, SimFault& fault, std::string& error) {
  std::string_view name = text;
  std::string_view amount;
  size_t separator = text.find_first_of(":=");
  if (separator != std::string_view::npos) {
    name = text.substr(0, separator);
    amount = text.substr(separator + 1);
  }
  for (const NamedKind& candidate : kFaultKinds) {
    if (candidate.name != name) continue;
    fault.kind = candidate.kind;
    fault.amount = candidate.default_amount;
    if (separator == std::string_view::npos) return true;
    if (!candidate.takes_amount) {
      error = "fault kind " + std::string(name) + " takes no value";
      return false;
    }
    return ParseRanged("fault " + std::string(name), amount, candidate.low, candidate.high,
                       fault.amount, error);
  }
  error = "unknown fault kind \"" + std::string(name) + "\"";
  return false;
}

bool ParseIndexedSite(std::string_view prefix, std::string_view rest, SimFault& fault,
                      std::string& error) {
  int64_t value = 0;
  if (prefix == "data") {
    fault.site = FaultSite::kData;
    if (!ParseRanged("fault place data", rest, 0, kMaxDataPacket, value, error)) return false;
  } else if (prefix == "param") {
    fault.site = FaultSite::kParam;
    if (!ParseRanged("fault place param", rest, 0, kMaxParamBlock, value, error)) return false;
  } else if (prefix == "dsp") {
    fault.site = FaultSite::kDsp;
    if (!ParseRanged("fault place dsp", rest, 0, kMaxDspChunk, value, error)) return false;
  } else if (prefix == "cmd") {
    fault.site = FaultSite::kCommand;
    std::string_view code = rest;
    std::string_view occurrence;
    size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
      code = rest.substr(0, colon);
      occurrence = rest.substr(colon + 1);
    }
    if (!ParseRanged("fault place cmd", code, 0, 0xFF, value, error)) return false;
    if (colon != std::string_view::npos) {
      int64_t nth = 0;
      if (!ParseRanged("fault place cmd occurrence", occurrence, 1, 0xFFFFFFFF, nth, error)) {
        return false;
      }
      fault.occurrence = static_cast<uint32_t>(nth);
    }
  } else {
    error = "unknown fault place \"" + std::string(prefix) + ":" + std::string(rest) + "\"";
    return false;
  }
  fault.index = static_cast<uint32_t>(value);
  return true;
}

bool ParseFaultSite(std::string_view text, SimFault& fault, std::string& error) {
  for (const NamedSite& candidate : kPlainSites) {
    if (candidate.name == text) {
      fault.site = candidate.site;
      return true;
    }
  }
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    error = "unknown fault place \"" + std::string(text) + "\"";
    return false;
  }
  return ParseIndexedSite(text.substr(0, colon), text.substr(colon + 1), fault, error);
}

bool ParseDelay(std::string_view key, std::string_view value, int& out, std::string& error) {
  int64_t parsed = 0;
  if (!ParseRanged(key, value, 0, kMaxDelayMs, parsed, error)) return false;
  out = static_cast<int>(parsed);
  return true;
}

// The option's value, with no change to `options` unless it is valid.
bool ApplyValidated(std::string_view key, std::string_view value, SimOptions& options,
                    std::string& error) {
  int64_t number = 0;
  if (key == "start") {
    if (value == "run") {
      options.start = SimStart::kRun;
    } else if (value == "update") {
      options.start = SimStart::kUpdate;
    } else if (value == "absent") {
      options.start = SimStart::kAbsent;
    } else {
      error = "start: \"" + std::string(value) + "\" is not run, update or absent";
      return false;
    }
    return true;
  }
  if (key == "units") {
    if (!ParseRanged(key, value, 1, kMaxUnits, number, error)) return false;
    options.units = static_cast<int>(number);
    return true;
  }
  if (key == "unit-type") {
    if (!ParseRanged(key, value, 0, 0xFF, number, error)) return false;
    options.unit_type = static_cast<uint8_t>(number);
    return true;
  }
  if (key == "version-text") {
    if (value.size() > kMaxVersionTextBytes) {
      error = "version-text: longer than " + std::to_string(kMaxVersionTextBytes) + " characters";
      return false;
    }
    options.version_text = std::string(value);
    return true;
  }
  if (key == "selector") {
    if (!ParseRanged(key, value, 0, kMaxSelector, number, error)) return false;
    options.selector = static_cast<uint8_t>(number);
    return true;
  }
  if (key == "mask") {
    if (!ParseRanged(key, value, 0, 0xFF, number, error)) return false;
    options.mask = static_cast<uint8_t>(number);
    return true;
  }
  if (key == "param-seed") {
    if (!ParseRanged(key, value, 0, 0xFFFFFFFF, number, error)) return false;
    options.param_seed = static_cast<uint32_t>(number);
    return true;
  }
  if (key == "usb-ms") return ParseDelay(key, value, options.usb_ms, error);
  if (key == "reply-ms") return ParseDelay(key, value, options.reply_ms, error);
  if (key == "erase-ms") return ParseDelay(key, value, options.erase_ms, error);
  if (key == "reenum-ms") return ParseDelay(key, value, options.reenum_ms, error);
  if (key == "attach-ms") return ParseDelay(key, value, options.attach_ms, error);
  if (key == "cmd-ms") return ParseDelay(key, value, options.cmd_ms, error);
  if (key == "replug-ms") {
    if (value == "never") {
      options.replug_ms = -1;
      return true;
    }
    return ParseDelay(key, value, options.replug_ms, error);
  }
  if (key == "pace") {
    if (!ParseRanged(key, value, 1, kMaxPaceDivisor, number, error)) return false;
    options.pace = static_cast<int>(number);
    return true;
  }
  if (key == "fault") {
    SimFault fault;
    if (!ParseSimFault(value, fault, error)) return false;
    options.faults.push_back(fault);
    return true;
  }
  error = "unknown simulator option \"" + std::string(key) + "\"";
  return false;
}

}  // namespace

bool ParseSimFault(std::string_view text, SimFault& fault, std::string& error) {
  size_t at = text.find('@');
  if (at == std::string_view::npos) {
    error = "fault: \"" + std::string(text) + "\" is not KIND@WHERE";
    return false;
  }
  SimFault parsed;
  if (!ParseFaultKind(text.substr(0, at), parsed, error)) return false;
  if (!ParseFaultSite(text.substr(at + 1), parsed, error)) return false;
  if (parsed.kind == FaultKind::kStuck && parsed.site != FaultSite::kData) {
    // Only a data packet programs flash cells; anywhere else it would never fire.
    error = "fault stuck: only at data:K (a flash byte of data packet K), not at " +
            DescribeFaultSite(parsed);
    return false;
  }
  fault = parsed;
  return true;
}

namespace {

// "unitN.KEY=VALUE": the setting of unit N alone, checked now on a copy and
// applied when that unit is built (SimOptions::ForUnit).
bool ApplyUnitSetting(std::string_view key_value, SimOptions& options, std::string& error) {
  const size_t dot = key_value.find('.');
  const std::string_view number_text = key_value.substr(4, dot - 4);
  int64_t number = 0;
  if (!ParseRanged("unitN", number_text, 1, kMaxUnits, number, error)) return false;
  const std::string_view setting = key_value.substr(dot + 1);
  if (setting.starts_with("units=") || setting.starts_with("unit")) {
    error = "unit" + std::string(number_text) + ": \"" + std::string(setting) +
            "\" is a setting of the whole setup";
    return false;
  }
  SimOptions scratch = options;
  if (!ApplySimOption(setting, scratch, error)) return false;
  options.unit_settings.emplace_back(static_cast<int>(number), std::string(setting));
  return true;
}

}  // namespace

bool ApplySimOption(std::string_view key_value, SimOptions& options, std::string& error) {
  size_t equals = key_value.find('=');
  if (equals == std::string_view::npos) {
    error = "simulator option \"" + std::string(key_value) + "\" is not KEY=VALUE";
    return false;
  }
  const size_t dot = key_value.find('.');
  if (key_value.starts_with("unit") && dot != std::string_view::npos && dot < equals) {
    return ApplyUnitSetting(key_value, options, error);
  }
  return ApplyValidated(key_value.substr(0, equals), key_value.substr(equals + 1), options, error);
}

SimOptions SimOptions::ForUnit(int number) const {
  SimOptions unit = *this;
  unit.unit_settings.clear();
  std::string error;
  for (const auto& [target, setting] : unit_settings) {
    // Checked when it was given: it applies.
    if (target == number) ApplySimOption(setting, unit, error);
  }
  return unit;
}

bool ApplySimOptions(const std::vector<std::string>& settings, SimOptions& options,
                     std::string& error) {
  for (const std::string& setting : settings) {
    if (!ApplySimOption(setting, options, error)) return false;
  }
  return true;
}

std::string DescribeFaultSite(const SimFault& fault) {
  for (const NamedSite& candidate : kPlainSites) {
    if (candidate.site == fault.site) return std::string(candidate.name);
  }
  char text[32];
  switch (fault.site) {
    case FaultSite::kData:
      return "data:" + std::to_string(fault.index);
    case FaultSite::kParam:
      return "param:" + std::to_string(fault.index);
    case FaultSite::kDsp:
      return "dsp:" + std::to_string(fault.index);
    case FaultSite::kCommand:
      std::snprintf(text, sizeof text, "cmd:0x%02X:%u", static_cast<unsigned>(fault.index),
                    static_cast<unsigned>(fault.occurrence));
      return text;
    default:
      return "?";
  }
}

std::string DescribeFault(const SimFault& fault) {
  std::string text = "?";
  for (const NamedKind& candidate : kFaultKinds) {
    if (candidate.kind != fault.kind) continue;
    text = std::string(candidate.name);
    // The default read error is the system's own; no number stands for it.
    const bool systemsOwn = fault.kind == FaultKind::kReadError && fault.amount == 0;
    if (candidate.takes_amount && !systemsOwn) {
      text += ':';
      text += std::to_string(fault.amount);
    }
  }
  return text + "@" + DescribeFaultSite(fault);
}

const char* SimOptionsUsage() {
  return "Simulated unit (--simulate), settings as --sim KEY=VALUE:\n"
         "  start=run|update|absent  units=N  unit-type=0xNN  version-text=TEXT\n"
         "  selector=N  mask=0xNN  param-seed=N\n"
         "  usb-ms=N  reply-ms=N  erase-ms=N  reenum-ms=N  attach-ms=N  cmd-ms=N\n"
         "  replug-ms=N|never  pace=N (minimum intervals divided by N)\n"
         "  fault=KIND@WHERE (repeatable)\n"
         "  unitN.KEY=VALUE: a setting of unit N alone (units=8 unit3.fault=unplug@data:9)\n"
         "    KIND: no-reply bad-echo unplug duplicate garbage short[:N] oversize[:L]\n"
         "          read-error[:CODE] early late[:MS] stuck[:N] (data:K only)\n"
         "    WHERE: connect sync-package firmware-version device-id read-config\n"
         "           sync-program start-program data:K reset cmd:0xCC[:N] param:B dsp:K\n";
}

}  // namespace kv::sim
