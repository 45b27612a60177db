#include "app/cli/station.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "app/cli/json_text.h"
#include "app/cli/tool_modes.h"
#include "hid/sim_bus.h"

namespace kv::cli {

namespace {

std::string IsoTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(milliseconds));
  return text;
}

double SecondsBetween(std::chrono::system_clock::time_point from,
                      std::chrono::system_clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

TExitCode WorstExitCode(const std::vector<TUnitResult>& results, TExitCode none) {
  if (results.empty()) return none;
  TExitCode worst = TExitCode::kUpdated;
  for (const TUnitResult& result : results) {
    if (ToInt(result.Code) > ToInt(worst)) worst = result.Code;
  }
  return worst;
}

std::string UnitTraceFile(const std::string& traceFile, const std::string& port) {
  // A port may hold characters a file name must not (a Windows location path).
  std::string name = port;
  for (char& c : name) {
    const bool safe = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      c == '-' || c == '.' || c == '_';
    if (!safe) c = '_';
  }
  const size_t slash = traceFile.find_last_of("/\\");
  const size_t dot = traceFile.rfind('.');
  if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot < slash + 2)) {
    return traceFile + "." + name;
  }
  return traceFile.substr(0, dot) + "." + name + traceFile.substr(dot);
}

std::string UnitReportLine(const TUnitResult& result, const std::optional<TImageCrcs>& crcs) {
  TJsonObject object;
  object.Add("port", result.Port)
      .Add("start", IsoTime(result.Start))
      .Add("end", IsoTime(result.End));
  const TUnitFacts& facts = result.Facts;
  object.Add("unit_type", facts.UnitType ? "0x" + HexText(*facts.UnitType, 2) : std::string());
  object.Add("version_text", facts.VersionText.value_or(std::string()));
  object.Add("device_id", facts.DeviceId ? "0x" + HexText(*facts.DeviceId, 8) : std::string());
  object.Add("result", ExitCodeName(result.Code))
      .Add("exit_code", ToInt(result.Code))
      .Add("reason", result.Reason)
      .AddSeconds("duration_seconds", SecondsBetween(result.Start, result.End))
      .Add("tool_version", ToolVersion());
  object.Add("mcu_crc32", crcs ? HexText(crcs->Mcu, 8) : std::string())
      .Add("dsp_crc32", crcs ? HexText(crcs->Dsp, 8) : std::string());
  return object.Text();
}

TStation::TStation(const TCliOptions& options, std::ostream& out, std::ostream& err,
                   TInterruptHub* interrupts, bool outIsTerminal, TColumnsQuery columns)
    : options_(options),
      err_(err),
      interrupts_(interrupts),
      outIsTerminal_(outIsTerminal && !options.Json),
      start_(std::chrono::steady_clock::now()),
      outWriter_(out),
      errWriter_(err),
      stationBuffer_(outWriter_, {}),
      stationOut_(&stationBuffer_) {
  if (outIsTerminal_) board_ = std::make_unique<TStationBoard>(outWriter_, std::move(columns));
}

TStation::~TStation() {
  if (interrupts_ != nullptr) interrupts_->SetHandler({});
  // Every session has ended before Run returns; nothing is left in flight here.
  for (auto& [port, seat] : seats_) {
    if (seat->Thread.joinable()) seat->Thread.join();
  }
  seats_.clear();
  if (fanOut_) fanOut_->SetHandler(this, {});
  fanOut_.reset();
  platform_.reset();
  if (report_ != nullptr) std::fclose(report_);
}

TExitCode TStation::Run() {
  if (!options_.ReportFile.empty()) {
    errno = 0;
    report_ = std::fopen(options_.ReportFile.c_str(), "a");
    if (report_ == nullptr) {
      err_ << "kv93t-update: the report file " << options_.ReportFile
           << " cannot be opened: " << std::strerror(errno) << "; nothing was sent to any unit\n";
      return TExitCode::kFailed;
    }
  }
  if (!BuildPlatform()) {
    err_ << "kv93t-update: HID access is not available on this system\n";
    return TExitCode::kFailed;
  }
  imageCrcs_ = EmbeddedImageCrcs();
  if (interrupts_ != nullptr) {
    interrupts_->SetHandler([this] {
      MutexLock lock(mutex_);
      interrupted_ = true;
      changed_.notify_all();
    });
  }
  const bool station = options_.Units == TUnitScope::kStation;
  StartNewUnits();
  if (!station && seats_.empty()) {
    stationOut_ << "no KV-93T unit is attached; nothing was sent" << std::endl;
  }
  ReportTally();
  for (;;) {
    CollectEndedSeats();
    bool interrupted = false;
    {
      MutexLock lock(mutex_);
      interrupted = interrupted_;
    }
    if (interrupted) InterruptSeats();
    if (seats_.empty() && (interrupted || !station)) break;
    WaitForChange();
    if (station && !interrupted) StartNewUnits();
  }
  // An interrupted unit ends with 130, the largest code: the run does too.
  const TExitCode code =
      WorstExitCode(results_, station ? TExitCode::kUpdated : TExitCode::kNoProgress);
  ReportSummary(code);
  if (board_) board_->Tally({});
  stationOut_.flush();
  outWriter_.Drain();
  errWriter_.Drain();
  return code;
}

bool TStation::BuildPlatform() {
  sim::SimOptions sim = options_.Sim;
  // As the composition root does for one unit: the units judge the tool's pace.
  if (!sim.pace) sim.pace = options_.PaceDivisor;
  platform_ =
      std::make_shared<TIspPlatform>(options_.Simulate, sim, std::nullopt, hid::kHostSimVocabulary);
  if (!platform_->Available()) return false;
  fanOut_ = std::make_shared<TDeviceChangeFanOut>(platform_->Platform());
  fanOut_->SetHandler(this, [this](uint32_t, intptr_t) {
    MutexLock lock(mutex_);
    changeSeen_ = true;
    changed_.notify_all();
  });
  return true;
}

void TStation::StartNewUnits() {
  hid::HidPlatform& platform = *platform_->Platform();
  std::set<std::string> present;
  std::vector<hid::HidInterfaceInfo> candidates;
  for (hid::HidInterfaceInfo& info : platform.EnumerateInterfaces()) {
    const std::string key = info.port.empty() ? info.path : info.port;
    present.insert(key);
    if (!seats_.contains(key) && !ended_.contains(key)) candidates.push_back(std::move(info));
  }
  // A unit that ended its session is updated again only once it has been unplugged.
  std::erase_if(ended_, [&present](const std::string& key) { return !present.contains(key); });
  for (const hid::HidInterfaceInfo& info : candidates) {
    const TSeenInterface unit = SurveyInterface(platform, info);
    if (!unit.IsUnit() || seats_.contains(UnitKey(unit)) || ended_.contains(UnitKey(unit))) {
      continue;
    }
    if (unit.Port.empty()) {
      // Without a port it could not be told from another unit once it switches.
      stationOut_ << "the unit at " << unit.Path
                  << " shows no USB port: it is left alone; update it by itself with --path"
                  << std::endl;
      ended_.insert(unit.Path);
      continue;
    }
    StartSeat(unit);
  }
}

std::unique_ptr<TSessionReporter> TStation::ReporterFor(const std::string& port,
                                                        std::ostream& out) {
  if (options_.Json) return CreateJsonReporter(out, port);
  if (board_) return board_->ReporterFor(port);
  return CreatePlainReporter(out);
}

void TStation::StartSeat(const TSeenInterface& unit) {
  auto seat = std::make_unique<TSeat>();
  seat->Port = unit.Port;
  const std::string label = "[" + unit.Port + "] ";
  seat->OutBuffer = std::make_unique<TLineHandOver>(outWriter_, options_.Json ? "" : label);
  seat->ErrBuffer = std::make_unique<TLineHandOver>(errWriter_, label);
  seat->Out = std::make_unique<std::ostream>(seat->OutBuffer.get());
  seat->Err = std::make_unique<std::ostream>(seat->ErrBuffer.get());
  TSessionSeat place;
  place.Platform = platform_;
  place.FanOut = fanOut_;
  place.Port = unit.Port;
  place.Reporter = ReporterFor(unit.Port, *seat->Out);
  if (!options_.TraceFile.empty()) place.TraceFile = UnitTraceFile(options_.TraceFile, unit.Port);
  if (const sim::SimulatedSetup* setup = platform_->Setup()) {
    for (size_t index = 0; index < setup->UnitCount(); ++index) {
      if (setup->Unit(index).Port() == unit.Port) place.SimUnit = index;
    }
  }
  seat->Session =
      std::make_unique<TUpdateSession>(options_, *seat->Err, &seat->Interrupts, std::move(place));
  seat->Start = std::chrono::system_clock::now();
  TSeat* running = seat.get();
  seats_.emplace(unit.Port, std::move(seat));
  running->Thread = std::thread([this, running] {
    running->Session->Run();
    MutexLock lock(mutex_);
    endedPorts_.insert(running->Port);
    changed_.notify_all();
  });
  ReportTally();
}

void TStation::CollectEndedSeats() {
  std::set<std::string> ended;
  {
    MutexLock lock(mutex_);
    ended.swap(endedPorts_);
  }
  for (const std::string& port : ended) {
    const auto found = seats_.find(port);
    if (found == seats_.end()) continue;
    TSeat& seat = *found->second;
    seat.Thread.join();
    TUnitResult result;
    result.Port = port;
    result.Code = seat.Session->Code();
    result.Reason = seat.Session->Reason();
    result.Facts = seat.Session->Facts();
    result.Start = seat.Start;
    result.End = std::chrono::system_clock::now();
    seat.Session.reset();
    seat.Out->flush();
    seat.Err->flush();
    seats_.erase(found);
    ended_.insert(port);
    WriteReport(result);
    results_.push_back(std::move(result));
  }
  if (!ended.empty()) ReportTally();
}

void TStation::WaitForChange() {
  MutexLock lock(mutex_);
  const auto woken = [this]() KV_REQUIRES(mutex_) {
    return changeSeen_ || !endedPorts_.empty() || (interrupted_ && !interruptSent_);
  };
  changed_.wait_for(mutex_, kStationRescanInterval, woken);
  changeSeen_ = false;
}

void TStation::InterruptSeats() {
  if (interruptSent_) return;
  interruptSent_ = true;
  for (auto& [port, seat] : seats_) seat->Interrupts.Raise();
}

void TStation::ReportTally() {
  int passed = 0;
  for (const TUnitResult& result : results_) passed += result.Code == TExitCode::kUpdated;
  const int failed = static_cast<int>(results_.size()) - passed;
  const int inProgress = static_cast<int>(seats_.size());
  const std::string tally = "station: " + std::to_string(passed) + " passed, " +
                            std::to_string(failed) + " failed, " + std::to_string(inProgress) +
                            " in progress";
  if (tally == lastTally_) return;
  lastTally_ = tally;
  if (board_) {
    board_->Tally(tally);
  } else if (options_.Units == TUnitScope::kStation) {
    if (options_.Json) {
      TJsonObject object;
      object.AddSeconds("time", Seconds())
          .Add("event", "tally")
          .Add("passed", passed)
          .Add("failed", failed)
          .Add("in_progress", inProgress);
      stationOut_ << object.Text() << std::endl;
    } else {
      stationOut_ << tally << std::endl;
    }
  }
}

void TStation::WriteReport(const TUnitResult& result) {
  if (report_ == nullptr) return;
  const std::string line = UnitReportLine(result, imageCrcs_) + "\n";
  if (std::fputs(line.c_str(), report_) < 0 || std::fflush(report_) != 0) {
    err_ << "kv93t-update: the report file " << options_.ReportFile
         << " cannot be written: " << std::strerror(errno) << '\n';
  }
}

void TStation::ReportSummary(TExitCode code) {
  int updated = 0;
  for (const TUnitResult& result : results_) updated += result.Code == TExitCode::kUpdated;
  const int units = static_cast<int>(results_.size());
  if (options_.Json) {
    std::vector<TJsonObject> each;
    for (const TUnitResult& result : results_) {
      TJsonObject object;
      object.Add("unit", result.Port)
          .Add("exit_code", ToInt(result.Code))
          .Add("result", ExitCodeName(result.Code))
          .Add("reason", result.Reason);
      each.push_back(std::move(object));
    }
    TJsonObject summary;
    summary.AddSeconds("time", Seconds())
        .Add("event", "summary")
        .Add("units", units)
        .Add("updated", updated)
        .Add("failed", units - updated)
        .Add("exit_code", ToInt(code))
        .Add("result", ExitCodeName(code))
        .Add("results", each);
    stationOut_ << summary.Text() << std::endl;
    return;
  }
  std::string text = "summary: " + std::to_string(units) + (units == 1 ? " unit, " : " units, ") +
                     std::to_string(updated) + " updated, " + std::to_string(units - updated) +
                     " not; exit " + std::to_string(ToInt(code)) + "\n";
  for (const TUnitResult& result : results_) {
    text += "  " + result.Port + ": exit " + std::to_string(ToInt(result.Code)) + " (" +
            ExitCodeName(result.Code) + ") " + result.Reason + "\n";
  }
  if (board_) {
    text.pop_back();
    board_->Line(text);
  } else {
    stationOut_ << text << std::flush;
  }
}

double TStation::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

}  // namespace kv::cli
