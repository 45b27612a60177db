// One run of the update chain without a window: the main window's logic on the
// portable event loop, its message boxes acknowledged as OK would, what it shows
// handed to a reporter, and the end of the chain turned into an exit code from
// the messages' identifiers and the reports' bytes, never from their wording.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "app/cli/cli_options.h"
#include "app/cli/exit_codes.h"
#include "app/cli/interrupt.h"
#include "app/cli/output_writer.h"
#include "app/cli/session_report.h"
#include "app/cli/trace_recorder.h"
#include "app/cli/unit_choice.h"
#include "app/isp.h"
#include "app/isp_application.h"
#include "diag/diag_windows.h"
#include "hid/sim_bus.h"
#include "sim/simulated_setup.h"
#include "toolkit/controls.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"

namespace kv::cli {

// How long the update may go without progress: --timeout when it is given (0:
// for ever); without it, kDefaultStallSeconds once a unit has been seen, and no
// limit while none has. Empty: no limit.
std::optional<toolkit::Clock::duration> StallLimitFor(std::optional<double> timeoutSeconds,
                                                      bool unitSeen);

// How long the closing command of a chain (cmdCode04 after " Program OK !! ",
// cmdCheckFailed after a refusal) may take to be written before the session
// closes anyway.
inline constexpr auto kClosingCommandLimit = std::chrono::seconds(2);
// While no unit is found, what the tool looks for is said this often.
inline constexpr auto kWaitingLineInterval = std::chrono::seconds(10);

// The frame code of a written run-mode command (10 02 00 01 L CODE ...);
// nothing for other reports.
std::optional<uint8_t> WrittenFrameCode(const TTrafficRecord& record);

// What the tool knows it did to the unit, from the reports it wrote and the
// unit's comings and goings. A closed session, a disconnect or a boot-loader
// error changes none of it: they change nothing in the unit either.
struct TUnitAccount {
  bool FirstSeenInRunMode = false;
  bool ToldToEnterUpdate = false;   // cmdEnterUpdate written
  bool InUpdateMode = false;        // the unit was last seen in update mode
  bool Erased = false;              // "Start Program" written: the old firmware is gone
  int32_t BytesWritten = 0;         // firmware bytes written since the latest erase
  bool ResetSent = false;           // "MCU Reset" written since the latest erase
  bool LeftAfterReset = false;      // ... and the unit has left since
  std::optional<int32_t> DspChunk;  // the latest DSP chunk written
  int32_t DspLastChunk = 0;
  int32_t ImageBytes = 0;
};

// Where the update left the unit, and what to do about it.
std::string UnitLeftText(const TUnitAccount& account);

// What the unit told about itself on the way, for the station's record.
struct TUnitFacts {
  std::optional<uint8_t> UnitType;         // the identify answer's first byte
  std::optional<std::string> VersionText;  // the version answer, as the unit sent it
  std::optional<uint32_t> DeviceId;        // the boot loader's device identifier
};

// A session's place among several of one process (--all, --station): the
// platform they share, the port it is pinned to, and where its output goes.
struct TSessionSeat {
  std::shared_ptr<TIspPlatform> Platform;
  std::shared_ptr<TDeviceChangeFanOut> FanOut;
  std::string Port;
  std::unique_ptr<TSessionReporter> Reporter;
  std::string TraceFile;          // this unit's own; empty: none
  std::optional<size_t> SimUnit;  // the simulated unit on that port
};

class TUpdateSession {
 public:
  TUpdateSession(const TCliOptions& options, std::ostream& out, std::ostream& err,
                 TInterruptHub* interrupts, bool outIsTerminal, TColumnsQuery columns);
  // One unit among several: its output goes to the seat's reporter, `err` is its own.
  TUpdateSession(const TCliOptions& options, std::ostream& err, TInterruptHub* interrupts,
                 TSessionSeat seat);
  ~TUpdateSession();
  TUpdateSession(const TUpdateSession&) = delete;
  TUpdateSession& operator=(const TUpdateSession&) = delete;

  // Returns once everything printed has been written.
  TExitCode Run();
  // After Run: why it ended, and what the unit told.
  TExitCode Code() const { return outcome_->Code; }
  const std::string& Reason() const { return outcome_->Reason; }
  const TUnitFacts& Facts() const { return facts_; }

 private:
  TExitCode RunSession();
  // Acknowledges each box at once, as OK would; the session has the box from
  // the window's events, published as it opens.
  class TConsoleBoxes final : public toolkit::MessageBoxService {
   public:
    void Show(toolkit::MessageId /*id*/, const std::string& /*text*/,
              toolkit::MessageSymbol /*symbol*/) override {}
  };

  struct TOutcome {
    TExitCode Code;
    std::string Reason;
  };
  // An outcome waiting for the chain's closing command to be written.
  struct TPendingOutcome {
    TOutcome Outcome;
    uint8_t ClosingCode;
    toolkit::Clock::time_point Deadline;
  };

  bool OpenTrace();
  // --replay: the recording read and checked; false when it cannot be played.
  bool LoadReplay(std::optional<sim::Recording>& recording);
  std::shared_ptr<hid::HidPlatform> Recorded(std::shared_ptr<hid::HidPlatform> platform);
  // UI thread: the run parted from the recording; the session stops as Ctrl-C stops it.
  void OnReplayParted(const sim::Divergence& divergence);
  // A message the run showed, held against the recording's next one.
  void HoldMessageToRecording(const std::string& name);
  // After the session has closed: whether the run ended as its recording did.
  void CheckReplay();
  void EndSession();
  // Before the main window is built: no HID access, or several units and no
  // --path (or a --path that names none), and nothing is sent.
  std::optional<TExitCode> ChoosePlatform(const TIspPlatform& built);
  std::optional<TExitCode> ChooseUnit(const sim::SimulatedSetup* setup);
  TfmIsp* Window() const { return root_ ? root_->MainWindow() : nullptr; }
  void CreateIspWindow();
  void WatchWindow();
  void RunChain();
  void CloseIspWindow();
  void TellWhereTheUnitWasLeft();
  void ReportVerification();

  // UI thread.
  void OnIspEvent(const TIspEvent& event);
  void OnMessage(toolkit::MessageId id, const std::string& text, toolkit::MessageSymbol symbol);
  void OnException(const std::string& text);
  void OnTraffic(const TTrafficRecord& record);
  void NoteWritten(const TTrafficRecord& record);
  void NoteUnitFacts(const TTrafficRecord& record);
  void NoteConnection();
  void ProgramFromTheStart();
  TUnitAccount Account() const;
  void OnStartProgramChanged();
  void OnViewChanged();
  void OnInterrupt();
  void SayWhatIsAwaited();
  void EmitView();
  void Finish(TExitCode code, std::string reason);
  void NoteActivity() { lastActivity_ = toolkit::Clock::now(); }
  // A timer of the window that paces the chain is running: waiting is planned.
  bool PlannedWaitRunning() const;
  std::optional<toolkit::Clock::duration> StallLimit() const;
  std::optional<toolkit::Clock::time_point> Deadline() const;
  TOutcome TimeoutOutcome() const;
  std::optional<double> SecondsLeft(const TWindowView& view);

  double Seconds() const;
  TWindowView CaptureView();

  const TCliOptions& options_;
  std::ostream& err_;
  TInterruptHub* interrupts_;
  const toolkit::Clock::time_point start_;
  // Standard output through its own writer thread; the reporter writes here.
  // A seated session has neither: its seat's reporter writes where the station says.
  std::unique_ptr<TOutputWriter> outputWriter_;
  std::ostream output_;
  std::unique_ptr<TSessionReporter> reporter_;
  std::string traceFile_;
  // Seated: the shared platform, and the port this session is pinned to.
  std::shared_ptr<TIspPlatform> sharedPlatform_;
  std::shared_ptr<TDeviceChangeFanOut> fanOut_;
  std::string pinnedPort_;
  bool seated_ = false;
  TUnitFacts facts_;
  // The latest boot-loader request written: its reply comes next.
  std::optional<uint8_t> lastBootRequest_;
  std::shared_ptr<TTraceRecorder> recorder_;
  // --replay: the pace the tool runs at, and whose error codes the unit speaks.
  int replayPace_ = 1;
  std::string replaySystem_;
  // Why the run parted from its recording, once told.
  std::optional<std::string> replayParting_;

  // The tool as every front end builds it; the session's own timers run on its
  // loop and go before it (the destructor says the order).
  std::unique_ptr<TIspApplication> root_;
  std::unique_ptr<toolkit::Timer> viewFlush_;
  std::unique_ptr<toolkit::Timer> waitingLine_;
  // What the main window uses: the platform, narrowed to the chosen unit.
  std::shared_ptr<hid::HidPlatform> platform_;

  // The unit chosen with --path among several, and the others set aside.
  std::optional<std::string> chosenPath_;
  std::set<std::string> otherUnitPaths_;
  // --simulate: the index of the chosen unit in the setup.
  std::optional<size_t> chosenSimUnit_;
  // --timeout, or the recording's when a replay is not given one.
  std::optional<double> timeoutSeconds_;

  // UI thread.
  bool startPressed_ = false;
  bool unitSeen_ = false;
  // A read failed and nothing has been read since: a stall now is blamed on it.
  std::optional<std::string> unansweredReadError_;
  std::optional<TPendingOutcome> pending_;
  std::optional<TOutcome> outcome_;
  toolkit::Clock::time_point lastActivity_;
  TWindowView lastEmitted_;
  bool viewEmitted_ = false;
  toolkit::Clock::time_point lastEmitTime_{};
  TUnitAccount account_;
  bool rebuildPosted_ = false;
  // The latest run-mode command written.
  std::optional<uint8_t> lastCommand_;
  std::optional<TIspConnection> lastConnection_;
  // Where the window stands, from its events.
  TIspPicture shown_;
  // What the run showed, to hold against a recording: the messages' names and
  // the steps' texts as each step began.
  std::vector<std::string> messagesShown_;
  std::vector<std::string> stepsShown_;
  // The DSP download's start, for its time left.
  std::optional<std::pair<double, int>> dspStart_;
};

}  // namespace kv::cli
