// Running kv93t-update in-process against the simulated unit, for the
// command-line tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/update_tool.h"

namespace kv::cli {

// Far above anything a case needs; only a hung run gets there.
inline constexpr auto kRunLimit = std::chrono::seconds(60);

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

inline std::vector<std::string> FastUnitArgs() {
  return {"--simulate", "--sim", "usb-ms=0",     "--sim",          "reply-ms=0", "--sim",
          "erase-ms=5", "--sim", "reenum-ms=20", "--pace-divisor", "10"};
}

inline ToolRun RunTool(std::vector<std::string> args, const TToolEnvironment& environment = {}) {
  std::ostringstream out;
  std::ostringstream err;
  ToolRun run;
  run.code = RunUpdateTool(args, out, err, environment);
  run.out = out.str();
  run.err = err.str();
  return run;
}

// The fast unit, the given options, and a stall limit unless the case sets one.
inline ToolRun RunFast(const std::vector<std::string>& extra) {
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

// A file's lines; none when it cannot be read (yet).
inline std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

inline std::filesystem::path TempFile(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("kv93t-cli-" + name + "-" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".txt");
}

// The byte values of a traffic line ("W 00  80 00 ...") after its time stamp.
struct TrafficLine {
  double seconds = 0;
  char direction = '?';
  std::vector<int> bytes;
  bool writeFailed = false;  // a written report the device did not take
};

// The report lines of a trace (W, R, D), without its header and its other lines.
inline std::vector<std::string> ReportLines(const std::vector<std::string>& lines) {
  static const std::regex kReport(R"(^\d+\.\d{3} [WRD] .*)");
  std::vector<std::string> reports;
  for (const std::string& line : lines) {
    if (std::regex_match(line, kReport)) reports.push_back(line);
  }
  return reports;
}

inline std::optional<TrafficLine> ParseTrafficLine(const std::string& line) {
  static const std::regex kFormat(
      R"(^(\d+\.\d{3}) ([WRD]) 00  ((?:[0-9A-F]{2} )*)(\(write failed\))?$)");
  std::smatch match;
  if (!std::regex_match(line, match, kFormat)) return std::nullopt;
  TrafficLine traffic;
  traffic.seconds = std::stod(match[1]);
  traffic.direction = match[2].str()[0];
  traffic.writeFailed = match[4].matched;
  std::istringstream values(match[3]);
  for (std::string value; values >> value;) traffic.bytes.push_back(std::stoi(value, nullptr, 16));
  return traffic;
}

}  // namespace kv::cli
