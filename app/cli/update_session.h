// One run of the update chain without a window: the main window's logic on the
// portable event loop, its message boxes acknowledged as OK would, what it shows
// handed to a reporter, and the end of the chain turned into an exit code.
#pragma once

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "app/cli/chain_outcome.h"
#include "app/cli/cli_options.h"
#include "app/cli/exit_codes.h"
#include "app/cli/interrupt.h"
#include "app/cli/session_report.h"
#include "app/isp.h"
#include "diag/diag_windows.h"
#include "hid/sim_bus.h"
#include "sim/simulated_setup.h"
#include "toolkit/controls.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"

namespace kv::cli {

// How long the closing command of a chain (cmdCode04 after " Program OK !! ",
// cmdCheckFailed after a refusal) may take to be written before the session
// closes anyway.
inline constexpr auto kClosingCommandLimit = std::chrono::seconds(2);

// The frame code of a written run-mode command in a traffic line
// ("W 00  10 02 00 01 L CODE ..."); nothing for other lines.
std::optional<uint8_t> WrittenFrameCode(std::string_view line);

class TUpdateSession {
 public:
  TUpdateSession(const TCliOptions& options, std::ostream& out, std::ostream& err,
                 TInterruptHub* interrupts, bool outIsTerminal);
  ~TUpdateSession();
  TUpdateSession(const TUpdateSession&) = delete;
  TUpdateSession& operator=(const TUpdateSession&) = delete;

  TExitCode Run();

 private:
  // Prints each box, acknowledges it as OK would, and tells the session.
  class TConsoleBoxes final : public toolkit::MessageBoxService {
   public:
    explicit TConsoleBoxes(TUpdateSession& session) : session_(session) {}
    void Show(const std::string& text, toolkit::MessageSymbol symbol) override;

   private:
    TUpdateSession& session_;
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
    bool Written = false;
  };

  bool OpenTrace();
  bool CreatePlatform();
  void CreateIspWindow();
  void WatchWindow();
  void RunChain();
  void CloseIspWindow();
  void ReportVerification();

  // UI thread.
  void OnMessage(const std::string& text, toolkit::MessageSymbol symbol);
  void OnException(const std::string& text);
  void OnTrafficLine(const std::string& line);
  void OnStartProgramChanged();
  void OnViewChanged();
  void EmitView();
  void Finish(TExitCode code, std::string reason);
  void NoteActivity() { lastActivity_ = toolkit::Clock::now(); }
  // What ends the run when time runs out: no unit, a stall, or a read error.
  TOutcome TimeoutOutcome() const;
  std::optional<toolkit::Clock::duration> TimeLeft() const;

  double Seconds() const;
  TWindowView CaptureView() const;

  const TCliOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  TInterruptHub* interrupts_;
  const toolkit::Clock::time_point start_;
  std::unique_ptr<TSessionReporter> reporter_;
  std::ofstream trace_;

  // Declared in the order of construction; destroyed the other way round.
  std::unique_ptr<toolkit::EventLoop> loop_;
  std::unique_ptr<toolkit::Timer> viewFlush_;
  std::shared_ptr<hid::SimulatedHidBus> bus_;
  std::unique_ptr<sim::SimulatedSetup> setup_;
  std::shared_ptr<hid::HidPlatform> platform_;
  TConsoleBoxes boxes_{*this};
  diag::TfmHidData fmHidData_;
  diag::TfmProgData fmProgData_;
  std::unique_ptr<TfmIsp> fmIsp_;

  // UI thread.
  bool startPressed_ = false;
  bool unitSeen_ = false;
  std::optional<std::string> readError_;
  std::optional<TPendingOutcome> pending_;
  std::optional<TOutcome> outcome_;
  toolkit::Clock::time_point lastActivity_;
  TWindowView lastEmitted_;
  bool viewEmitted_ = false;
  toolkit::Clock::time_point lastEmitTime_{};
};

}  // namespace kv::cli
