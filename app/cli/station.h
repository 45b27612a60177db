// Several units from one process (--all, --station): each unit found gets a
// session of its own, built through the composition root on a thread of its
// own and pinned to the unit's USB port; they share only the platform. Their
// output says which unit each line is about, and the run ends with a summary.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/cli_options.h"
#include "app/cli/exit_codes.h"
#include "app/cli/interrupt.h"
#include "app/cli/output_writer.h"
#include "app/cli/session_report.h"
#include "app/cli/tool_modes.h"
#include "app/cli/unit_choice.h"
#include "app/cli/update_session.h"
#include "app/isp_application.h"
#include "toolkit/thread_annotations.h"

namespace kv::cli {

// --station looks at the bus this often even without a device change, in case
// one went unheard.
inline constexpr auto kStationRescanInterval = std::chrono::seconds(1);

// How one unit's session ended.
struct TUnitResult {
  std::string Port;
  TExitCode Code = TExitCode::kFailed;
  std::string Reason;
  TUnitFacts Facts;
  std::chrono::system_clock::time_point Start;
  std::chrono::system_clock::time_point End;
};

// The whole run's code: 0 when every unit was updated, otherwise the largest of
// the units' codes (130 when one was interrupted); `none` when there was no unit.
TExitCode WorstExitCode(const std::vector<TUnitResult>& results, TExitCode none);

// "x.trace" -> "x.sim-1.trace": each unit's own trace file, named by its port.
std::string UnitTraceFile(const std::string& traceFile, const std::string& port);

// The --report line of one finished unit (the README lists its fields).
std::string UnitReportLine(const TUnitResult& result, const std::optional<TImageCrcs>& crcs);

class TStation {
 public:
  TStation(const TCliOptions& options, std::ostream& out, std::ostream& err,
           TInterruptHub* interrupts, bool outIsTerminal, TColumnsQuery columns);
  ~TStation();
  TStation(const TStation&) = delete;
  TStation& operator=(const TStation&) = delete;

  TExitCode Run();

 private:
  // One unit's session and what it writes through.
  struct TSeat {
    std::string Port;
    std::unique_ptr<TLineHandOver> OutBuffer;
    std::unique_ptr<TLineHandOver> ErrBuffer;
    std::unique_ptr<std::ostream> Out;
    std::unique_ptr<std::ostream> Err;
    TInterruptHub Interrupts;
    std::unique_ptr<TUpdateSession> Session;
    std::chrono::system_clock::time_point Start;
    std::thread Thread;
  };

  bool BuildPlatform();
  // Starts a session for each unit seen on a port that has none and has not
  // ended one since it was plugged in; forgets the ports that are empty now.
  void StartNewUnits();
  void StartSeat(const TSeenInterface& unit);
  std::unique_ptr<TSessionReporter> ReporterFor(const std::string& port, std::ostream& out);
  void CollectEndedSeats();
  void WaitForChange();
  void InterruptSeats();
  void ReportTally();
  void WriteReport(const TUnitResult& result);
  void ReportSummary(TExitCode code);
  double Seconds() const;

  const TCliOptions& options_;
  std::ostream& err_;
  TInterruptHub* interrupts_;
  const bool outIsTerminal_;
  const std::chrono::steady_clock::time_point start_;
  TOutputWriter outWriter_;
  TOutputWriter errWriter_;
  // The station's own lines (tally, summary).
  TLineHandOver stationBuffer_;
  std::ostream stationOut_;
  std::unique_ptr<TStationBoard> board_;
  std::optional<TImageCrcs> imageCrcs_;
  std::FILE* report_ = nullptr;

  std::shared_ptr<TIspPlatform> platform_;
  std::shared_ptr<TDeviceChangeFanOut> fanOut_;
  std::map<std::string, std::unique_ptr<TSeat>> seats_;  // in flight, by port
  std::set<std::string> ended_;                          // ended a session, still plugged in
  std::vector<TUnitResult> results_;
  bool interruptSent_ = false;
  std::string lastTally_;

  // Set from other threads (device changes, ended sessions, Ctrl-C).
  Mutex mutex_;
  std::condition_variable_any changed_;
  bool changeSeen_ KV_GUARDED_BY(mutex_) = false;
  bool interrupted_ KV_GUARDED_BY(mutex_) = false;
  std::set<std::string> endedPorts_ KV_GUARDED_BY(mutex_);
};

}  // namespace kv::cli
