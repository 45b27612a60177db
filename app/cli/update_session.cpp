#include "app/cli/update_session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>
#include <variant>

#include "app/cli/chain_outcome.h"
#include "app/cli/tool_modes.h"
#include "engine/isp_report.h"
#include "link/lcmd.h"

namespace kv::cli {

namespace {

// A written run-mode frame: DLE STX, then sender and receiver, length, code.
constexpr size_t kFrameCodeIndex = 5;
// The DSP download has no pacing of its own: its time left is told from its rate
// once it has run this long, never from its first chunks.
constexpr double kDspRateSettleSeconds = 2.0;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// 67324 -> "67,324". Built character by character: GCC 12 misreads an insert
// into a string as an overlapping copy (-Wrestrict).
std::string Grouped(int64_t value) {
  const std::string digits = std::to_string(value < 0 ? -value : value);
  std::string grouped;
  if (value < 0) grouped += '-';
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string SystemErrorText(int error) {
  return std::strerror(error);
}

}  // namespace

std::optional<uint8_t> WrittenFrameCode(const TTrafficRecord& record) {
  if (record.Direction != TTrafficDirection::kWritten) return std::nullopt;
  if (record.Bytes.size() <= kFrameCodeIndex) return std::nullopt;
  if (record.Bytes[0] != frDle || record.Bytes[1] != frStx) return std::nullopt;
  return record.Bytes[kFrameCodeIndex];
}

std::string UnitLeftText(const TUnitAccount& account) {
  const std::string again = "; running kv93t-update again finishes the update";
  if (account.DspChunk) {
    return "the unit was left in run mode with its new microcontroller firmware and its DSP "
           "program sent up to chunk " +
           Grouped(*account.DspChunk) + " of chunks 0 to " + Grouped(account.DspLastChunk) + again;
  }
  if (account.LeftAfterReset) {
    return "the unit was left with its new microcontroller firmware; its DSP program is still "
           "to be downloaded" +
           again;
  }
  if (account.Erased) {
    return "the unit was left in update mode with " + Grouped(account.BytesWritten) + " of " +
           Grouped(account.ImageBytes) +
           " bytes of its firmware written; its old firmware is erased" + again;
  }
  // A unit found in update mode may hold anything an earlier run left; this run erased nothing.
  const std::string intact = account.FirstSeenInRunMode
                                 ? "nothing was erased, its old firmware is intact"
                                 : "nothing was erased in this run";
  if (account.InUpdateMode) return "the unit was left in update mode; " + intact + again;
  if (account.ToldToEnterUpdate) return "the unit was told to enter update mode; " + intact + again;
  return "the unit was left in run mode, unchanged";
}

TUpdateSession::TUpdateSession(const TCliOptions& options, std::ostream& out, std::ostream& err,
                               TInterruptHub* interrupts, bool outIsTerminal, TColumnsQuery columns)
    : options_(options),
      err_(err),
      interrupts_(interrupts),
      start_(toolkit::Clock::now()),
      outputWriter_(std::make_unique<TOutputWriter>(out)),
      output_(outputWriter_.get()),
      traceFile_(options.TraceFile),
      timeoutSeconds_(options.TimeoutSeconds),
      lastActivity_(start_) {
  if (options.Json) {
    reporter_ = CreateJsonReporter(output_);
  } else if (outIsTerminal) {
    reporter_ = CreateLiveLineReporter(output_, std::move(columns));
  } else {
    reporter_ = CreatePlainReporter(output_);
  }
}

TUpdateSession::TUpdateSession(const TCliOptions& options, std::ostream& err,
                               TInterruptHub* interrupts, TSessionSeat seat)
    : options_(options),
      err_(err),
      interrupts_(interrupts),
      start_(toolkit::Clock::now()),
      output_(nullptr),
      reporter_(std::move(seat.Reporter)),
      traceFile_(std::move(seat.TraceFile)),
      sharedPlatform_(std::move(seat.Platform)),
      fanOut_(std::move(seat.FanOut)),
      pinnedPort_(std::move(seat.Port)),
      seated_(true),
      chosenSimUnit_(seat.SimUnit),
      timeoutSeconds_(options.TimeoutSeconds),
      lastActivity_(start_) {}

TUpdateSession::~TUpdateSession() {
  if (interrupts_ != nullptr) interrupts_->SetHandler({});
  if (root_) root_->DestroyMainWindow();
  waitingLine_.reset();
  viewFlush_.reset();
  root_.reset();
}

TExitCode TUpdateSession::Run() {
  const TExitCode code = RunSession();
  if (outputWriter_) outputWriter_->Drain();
  return code;
}

TExitCode TUpdateSession::RunSession() {
  std::optional<sim::Recording> recording;
  if (!LoadReplay(recording) || !OpenTrace()) {
    EndSession();
    return outcome_->Code;
  }
  std::optional<TExitCode> refused;
  TIspApplicationOptions application;
  application.SharedPlatform = sharedPlatform_;
  application.Simulate = options_.Simulate;
  application.Sim = options_.Sim;
  application.PaceDivisor = options_.PaceDivisor;
  if (recording) {
    application.PaceDivisor = replayPace_;
    application.ReplayDelayDivisor = static_cast<double>(replayPace_) / recording->pace;
    application.Replay = std::move(recording);
  }
  application.SimVocabulary = hid::kHostSimVocabulary;
  application.TrafficObserver = [this](const TTrafficRecord& record) { OnTraffic(record); };
  application.CreateMessageBoxes = [](toolkit::EventLoop&) {
    return std::make_unique<TConsoleBoxes>();
  };
  application.ExceptionBox = [this](const std::string& text) { OnException(text); };
  application.ChoosePlatform =
      [this, &refused](const TIspPlatform& built) -> std::shared_ptr<hid::HidPlatform> {
    refused = ChoosePlatform(built);
    if (refused) return nullptr;
    platform_ = Recorded(platform_);
    return platform_;
  };
  root_ = std::make_unique<TIspApplication>(std::move(application));
  if (refused) {
    EndSession();
    return *refused;
  }
  toolkit::EventLoop* loop = &root_->Loop();
  if (recorder_) {
    // Told on the UI thread, whichever thread's write failed; the update goes on
    // to its end (stopping mid-flash would hurt the unit) and the run then ends
    // with a failure that names the reason.
    recorder_->SetFailureHandler([this, loop](const std::string& reason) {
      loop->Post([this, reason] {
        reporter_->Note("the trace file " + traceFile_ + " cannot be written: " + reason +
                            "; the update goes on, the run will end with exit 6",
                        Seconds());
      });
    });
  }
  if (sim::RecordedUnit* replay = root_->Platform().Replay()) {
    replay->SetDivergenceHandler([this, loop](const sim::Divergence& divergence) {
      loop->Post([this, divergence] { OnReplayParted(divergence); });
    });
  }
  CreateIspWindow();
  WatchWindow();
  RunChain();
  CloseIspWindow();
  CheckReplay();
  TellWhereTheUnitWasLeft();
  ReportVerification();
  const std::optional<std::string> traceFailure =
      recorder_ ? recorder_->Failure() : std::optional<std::string>();
  if (traceFailure && outcome_->Code == TExitCode::kUpdated) {
    outcome_ =
        TOutcome{TExitCode::kFailed, "the unit has been updated, but the trace file " + traceFile_ +
                                         " could not be written: " + *traceFailure};
  }
  EndSession();
  return outcome_->Code;
}

void TUpdateSession::EndSession() {
  if (recorder_) recorder_->End(ToInt(outcome_->Code), ExitCodeName(outcome_->Code));
  reporter_->End(outcome_->Code, outcome_->Reason, Seconds());
}

bool TUpdateSession::OpenTrace() {
  if (traceFile_.empty()) return true;
  errno = 0;
  std::FILE* file = std::fopen(traceFile_.c_str(), "w");
  if (file != nullptr) {
    recorder_ = std::make_shared<TTraceRecorder>(file, start_);
    TTraceHeader header;
    header.ToolVersion = ToolVersion();
    if (const std::optional<TImageCrcs> crcs = EmbeddedImageCrcs()) {
      header.McuCrc32 = crcs->Mcu;
      header.DspCrc32 = crcs->Dsp;
    }
#ifdef _WIN32
    header.System = "windows";
    header.Bus = "hid";
#else
    header.System = "linux";
    header.Bus = "hidraw";
#endif
    if (options_.Simulate) header.Bus = "simulated";
    if (!options_.ReplayFile.empty()) {
      // The replayed unit speaks the recording's system, whatever this one is.
      header.System = replaySystem_;
      header.Bus = "replay";
    }
    header.Pace = options_.ReplayFile.empty() ? options_.PaceDivisor : replayPace_;
    header.TimeoutSeconds = timeoutSeconds_;
    if (recorder_->Header(header)) return true;
  }
  const std::string reason = "the trace file " + traceFile_ + " cannot be opened: " +
                             (recorder_ ? *recorder_->Failure() : SystemErrorText(errno)) +
                             "; nothing was sent to the unit";
  recorder_.reset();
  err_ << "kv93t-update: " << reason << '\n';
  Finish(TExitCode::kFailed, reason);
  return false;
}

std::shared_ptr<hid::HidPlatform> TUpdateSession::Recorded(
    std::shared_ptr<hid::HidPlatform> platform) {
  if (!recorder_) return platform;
  return std::make_shared<TRecordingPlatform>(std::move(platform), recorder_);
}

std::optional<TExitCode> TUpdateSession::ChoosePlatform(const TIspPlatform& built) {
  if (!built.Available()) {
    err_ << "kv93t-update: HID access is not available on this system\n";
    Finish(TExitCode::kFailed, "HID access is not available on this system");
    return TExitCode::kFailed;
  }
  platform_ = built.Platform();
  if (seated_) {
    reporter_->Note("using the unit at port " + pinnedPort_, Seconds());
    platform_ = std::make_shared<TPinnedUnitPlatform>(fanOut_, pinnedPort_);
    return std::nullopt;
  }
  return ChooseUnit(built.Setup());
}

std::optional<TExitCode> TUpdateSession::ChooseUnit(const sim::SimulatedSetup* setup) {
  std::vector<TSeenInterface> units;
  bool pathSeen = false;
  const auto named = [this](const TSeenInterface& seen) {
    return seen.Path == options_.DevicePath ||
           (!seen.Port.empty() && seen.Port == options_.DevicePath);
  };
  for (TSeenInterface& seen : SurveyInterfaces(*platform_)) {
    if (named(seen)) pathSeen = true;
    if (seen.IsUnit()) units.push_back(std::move(seen));
  }
  if (options_.DevicePath.empty()) {
    if (units.size() <= 1) return std::nullopt;
    reporter_->Note(std::to_string(units.size()) +
                        " KV-93T units are attached; nothing was sent to any. Choose one with "
                        "--path:",
                    Seconds());
    for (const TSeenInterface& unit : units) {
      reporter_->Note("  " + unit.Path + "  (" + unit.Personality() + " mode)" +
                          (unit.Port.empty() ? std::string() : "  port " + unit.Port),
                      Seconds());
    }
    Finish(TExitCode::kUsage, "several units are attached and no --path chose one");
    return TExitCode::kUsage;
  }
  const auto chosen = std::find_if(units.begin(), units.end(), named);
  if (chosen == units.end()) {
    if (pathSeen) {
      Finish(TExitCode::kUsage, "--path " + options_.DevicePath + " is not a KV-93T");
      return TExitCode::kUsage;
    }
    Finish(TExitCode::kNoProgress, "no unit at " + options_.DevicePath);
    return TExitCode::kNoProgress;
  }
  chosenPath_ = chosen->Path;
  for (const TSeenInterface& unit : units) {
    if (unit.Path != *chosenPath_) otherUnitPaths_.insert(unit.Path);
  }
  if (setup != nullptr) {
    for (size_t index = 0; index < setup->UnitCount(); ++index) {
      const auto id = setup->Unit(index).CurrentDeviceId();
      if (id && chosenPath_->starts_with("sim:" + std::to_string(*id) + ":")) {
        chosenSimUnit_ = index;
      }
    }
  }
  reporter_->Note("using the unit at " + *chosenPath_ +
                      (otherUnitPaths_.empty() ? std::string()
                                               : "; " + std::to_string(otherUnitPaths_.size()) +
                                                     " other unit(s) left alone"),
                  Seconds());
  if (chosen->Port.empty()) {
    platform_ = std::make_shared<TChosenUnitPlatform>(platform_, otherUnitPaths_);
  } else {
    // Followed by its port: whatever path it comes back with, and never another unit's.
    platform_ = std::make_shared<TPinnedUnitPlatform>(
        std::make_shared<TDeviceChangeFanOut>(platform_), chosen->Port);
  }
  return std::nullopt;
}

void TUpdateSession::CreateIspWindow() {
  viewFlush_ = std::make_unique<toolkit::Timer>(root_->Loop());
  viewFlush_->OnTimer = [this] { EmitView(); };
  waitingLine_ = std::make_unique<toolkit::Timer>(root_->Loop());
  waitingLine_->SetInterval(
      static_cast<int>(std::chrono::milliseconds(kWaitingLineInterval).count()));
  waitingLine_->OnTimer = [this] { SayWhatIsAwaited(); };
  Window()->Show();
  waitingLine_->Start();
}

void TUpdateSession::WatchWindow() {
  Window()->btnStartProgram.Subscribe([this](toolkit::Change change) {
    if (change == toolkit::Change::kEnabled) OnStartProgramChanged();
  });
  if (interrupts_ != nullptr) {
    toolkit::EventLoop* loop = &root_->Loop();
    interrupts_->SetHandler([this, loop] { loop->Post([this] { OnInterrupt(); }); });
  }
  // Told at once where the window stands: the first view.
  Window()->SubscribeEvents([this](const TIspEvent& event) { OnIspEvent(event); });
}

void TUpdateSession::RunChain() {
  while (!outcome_) {
    const std::optional<toolkit::Clock::time_point> deadline = Deadline();
    const toolkit::Clock::time_point now = toolkit::Clock::now();
    if (deadline && *deadline <= now) {
      if (pending_ && pending_->Deadline <= now) {
        // The chain itself has ended; only its closing command is late.
        reporter_->Note("the closing command was not seen written; ending all the same", Seconds());
        Finish(pending_->Outcome.Code, pending_->Outcome.Reason);
      } else if (PlannedWaitRunning()) {
        // The window waits on purpose (the 3000 ms fallback, the arming): not a stall.
        NoteActivity();
      } else {
        const TOutcome timedOut = TimeoutOutcome();
        Finish(timedOut.Code, timedOut.Reason);
      }
      continue;
    }
    root_->Loop().RunUntil([this] { return outcome_.has_value(); },
                           deadline ? *deadline - now : toolkit::Clock::duration::max());
  }
}

bool TUpdateSession::PlannedWaitRunning() const {
  // tmMcuProg is left out: it polls for a unit that may never come.
  for (const TChainTimer timer :
       {TChainTimer::kUsbWait, TChainTimer::kWaitDisconnect, TChainTimer::kDspProgram,
        TChainTimer::kRunStep, TChainTimer::kWrongDisconnect, TChainTimer::kAutoUpdate}) {
    if (shown_.Waiting[static_cast<size_t>(timer)]) return true;
  }
  return false;
}

std::optional<toolkit::Clock::duration> StallLimitFor(std::optional<double> timeoutSeconds,
                                                      bool unitSeen) {
  const auto seconds = [](double value) {
    return std::chrono::duration_cast<toolkit::Clock::duration>(
        std::chrono::duration<double>(value));
  };
  if (!unitSeen) {
    // Looking for a unit: only a limit the user set.
    if (!timeoutSeconds || *timeoutSeconds == 0) return std::nullopt;
    return seconds(*timeoutSeconds);
  }
  if (!timeoutSeconds) return seconds(kDefaultStallSeconds);
  if (*timeoutSeconds == 0) return std::nullopt;
  return seconds(*timeoutSeconds);
}

std::optional<toolkit::Clock::duration> TUpdateSession::StallLimit() const {
  return StallLimitFor(timeoutSeconds_, unitSeen_);
}

std::optional<toolkit::Clock::time_point> TUpdateSession::Deadline() const {
  std::optional<toolkit::Clock::time_point> deadline;
  if (pending_) deadline = pending_->Deadline;
  if (const auto limit = StallLimit()) {
    const toolkit::Clock::time_point stall = lastActivity_ + *limit;
    deadline = deadline ? std::min(*deadline, stall) : stall;
  }
  return deadline;
}

TUpdateSession::TOutcome TUpdateSession::TimeoutOutcome() const {
  const auto limit = StallLimit();
  const std::string limitText =
      SecondsText(limit ? std::chrono::duration<double>(*limit).count() : 0);
  if (!unitSeen_) return {TExitCode::kNoProgress, "no unit found within " + limitText + " s"};
  if (unansweredReadError_) {
    return {TExitCode::kFailed,
            "nothing happened for " + limitText + " s after \"" + *unansweredReadError_ + "\""};
  }
  const std::string& step = shown_.Step.Text;
  std::string where;
  if (!step.empty()) {
    where = " at step \"" + step + "\"";
  } else if (lastCommand_) {
    // The run-mode commands before the update show no step of their own.
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(*lastCommand_));
    where = std::string(" after command ") + code + " was written";
  }
  return {TExitCode::kNoProgress,
          "the update stalled: no progress for " + limitText + " s" + where};
}

void TUpdateSession::CloseIspWindow() {
  EmitView();
  if (interrupts_ != nullptr) interrupts_->SetHandler({});
  waitingLine_->Stop();
  // FormClose: the session ends as when the window is closed, then every
  // thread of the controller and the link is joined.
  root_->CloseMainWindow();
  EmitView();
  account_ = Account();
  root_->DestroyMainWindow();
  viewFlush_.reset();
}

void TUpdateSession::TellWhereTheUnitWasLeft() {
  // Told once the session is closed and every report it wrote has been seen:
  // what the unit got is then known.
  switch (outcome_->Code) {
    case TExitCode::kUpdated:
    case TExitCode::kRefused:
    case TExitCode::kUsage:
      return;
    case TExitCode::kInterrupted:
      break;
    default:
      if (!startPressed_) return;
      break;
  }
  outcome_->Reason += "; " + UnitLeftText(account_);
}

void TUpdateSession::ReportVerification() {
  const sim::SimulatedSetup* setup = root_->Platform().Setup();
  if (setup == nullptr) return;
  TVerificationReport report;
  if (chosenSimUnit_ && seated_) {
    // Each unit is judged by its own session.
    const sim::UnitVerdict verdict = setup->Verdicts().at(*chosenSimUnit_);
    report.Updated = verdict.UpdateComplete();
    for (const std::string& line : verdict.lines) {
      report.Lines.push_back("unit " + std::to_string(*chosenSimUnit_ + 1) + ": " + line);
    }
  } else if (chosenSimUnit_) {
    // Only the chosen unit is judged for the update; the others must have heard nothing.
    report.Updated = true;
    const std::vector<sim::UnitVerdict> verdicts = setup->Verdicts();
    for (size_t index = 0; index < verdicts.size(); ++index) {
      const sim::UnitVerdict& verdict = verdicts[index];
      const std::string name = "unit " + std::to_string(index + 1) + ": ";
      if (index == *chosenSimUnit_) {
        report.Updated = report.Updated && verdict.UpdateComplete();
        for (const std::string& line : verdict.lines) report.Lines.push_back(name + line);
        continue;
      }
      const bool untouched = verdict.run_commands.empty() && verdict.boot_requests.empty();
      report.Updated = report.Updated && untouched;
      report.Lines.push_back(name + (untouched ? "untouched (not chosen with --path)"
                                               : "received commands though it was not chosen"));
    }
  } else {
    report.Updated = setup->AllUpdated();
    report.Lines = Lines(setup->VerdictText());
  }
  reporter_->Verification(report, Seconds());
  if (outcome_->Code == TExitCode::kUpdated && !report.Updated) {
    outcome_ = TOutcome{TExitCode::kVerificationFailed,
                        "the tool reported success, but the simulated unit's verification failed"};
  }
}

void TUpdateSession::OnMessage(toolkit::MessageId id, const std::string& text,
                               toolkit::MessageSymbol symbol) {
  EmitView();
  NoteActivity();
  reporter_->Message(MessageIdName(id), text, symbol, Seconds());
  messagesShown_.push_back(MessageIdName(id));
  if (recorder_) recorder_->Message(MessageIdName(id), text);
  HoldMessageToRecording(MessageIdName(id));
  const TBoxMeaning meaning = ClassifyMessage(id);
  if (meaning == TBoxMeaning::kReadError) {
    unansweredReadError_ = text;
    return;
  }
  if (outcome_ || pending_) return;
  const TExitCode code = ExitCodeFor(meaning);
  switch (meaning) {
    case TBoxMeaning::kSuccess:
      pending_ = TPendingOutcome{{code, "the unit has been updated"},
                                 cmdCode04,
                                 toolkit::Clock::now() + kClosingCommandLimit};
      break;
    case TBoxMeaning::kRefusal:
      pending_ = TPendingOutcome{{code, "the unit check refused the unit: \"" + text + "\""},
                                 cmdCheckFailed,
                                 toolkit::Clock::now() + kClosingCommandLimit};
      break;
    case TBoxMeaning::kBootLoaderFailure:
      Finish(code, "the boot loader reported a failure: \"" + text + "\"");
      break;
    default:
      Finish(code, "\"" + text + "\"");
      break;
  }
}

void TUpdateSession::OnIspEvent(const TIspEvent& event) {
  if (const auto* step = std::get_if<TIspStepEvent>(&event);
      step && step->Kind != shown_.Step.Kind) {
    stepsShown_.push_back(step->Text);
    if (recorder_) recorder_->Step(step->Text);
  }
  // The reply arming (tmUsbWait) starts with every request and its W line says so.
  if (const auto* wait = std::get_if<TIspWaitEvent>(&event);
      wait && wait->Running && wait->Timer != TChainTimer::kUsbWait && recorder_) {
    recorder_->Wait(wait->Timer);
  }
  Apply(shown_, event);
  if (const auto* box = std::get_if<TIspMessageEvent>(&event)) {
    OnMessage(box->Id, box->Text, box->Symbol);
    return;
  }
  const bool viewChanged = std::holds_alternative<TIspPicture>(event) ||
                           std::holds_alternative<TIspConnectionEvent>(event) ||
                           std::holds_alternative<TIspStepEvent>(event) ||
                           std::holds_alternative<TIspProgressEvent>(event) ||
                           std::holds_alternative<TIspBusyEvent>(event);
  if (viewChanged) OnViewChanged();
}

void TUpdateSession::OnException(const std::string& text) {
  EmitView();
  reporter_->Exception(text, Seconds());
  // The handler that raised it stopped half-way; nothing continues the chain.
  Finish(TExitCode::kFailed, "an exception ended a handler of the window: \"" + text + "\"");
}

void TUpdateSession::OnTraffic(const TTrafficRecord& record) {
  if (recorder_) recorder_->Traffic(record);
  NoteWritten(record);
  NoteUnitFacts(record);
  // A dropped report moves nothing on; a read one answers the latest read error.
  if (record.Direction != TTrafficDirection::kDropped) NoteActivity();
  if (record.Direction == TTrafficDirection::kRead) unansweredReadError_.reset();
  if (pending_ && WrittenFrameCode(record) == pending_->ClosingCode) {
    Finish(pending_->Outcome.Code, pending_->Outcome.Reason);
  }
}

void TUpdateSession::NoteWritten(const TTrafficRecord& record) {
  if (record.Direction != TTrafficDirection::kWritten || record.WriteFailed ||
      record.Bytes.empty() || !Window()) {
    return;
  }
  if (const std::optional<uint8_t> code = WrittenFrameCode(record)) {
    lastCommand_ = *code;
    if (*code == cmdEnterUpdate) account_.ToldToEnterUpdate = true;
    if (*code == cmdDspBlock && record.Bytes.size() > kFrameCodeIndex + 2) {
      // The chunk index follows the code, high byte first.
      account_.DspChunk =
          record.Bytes[kFrameCodeIndex + 1] << 8 | record.Bytes[kFrameCodeIndex + 2];
      account_.DspLastChunk = shown_.DspDownload ? shown_.DspDownload->LastChunk : 0;
    }
    return;
  }
  // A boot-loader request. The bytes the window told with it are still the
  // latest: it builds the next request only on this one's reply, which is listed
  // after it.
  const int32_t bytesSent = shown_.McuDownload ? shown_.McuDownload->BytesSent : 0;
  switch (record.Bytes[0]) {
    case ispStartProgram:
      account_.Erased = true;
      account_.ResetSent = false;
      account_.LeftAfterReset = false;
      account_.DspChunk.reset();
      account_.BytesWritten = bytesSent;
      break;
    case ispProgramData:
      account_.BytesWritten = bytesSent;
      break;
    case ispMcuReset:
      account_.ResetSent = true;
      break;
    default:
      break;
  }
}

void TUpdateSession::NoteUnitFacts(const TTrafficRecord& record) {
  if (record.Bytes.empty() || record.WriteFailed) return;
  if (record.Direction == TTrafficDirection::kWritten) {
    lastBootRequest_.reset();
    if (!WrittenFrameCode(record)) lastBootRequest_ = record.Bytes[0];
    return;
  }
  if (record.Direction != TTrafficDirection::kRead) return;
  const std::vector<uint8_t>& bytes = record.Bytes;
  if (lastBootRequest_ == ispGetDeviceId && bytes.size() >= kIspDeviceIdOffset + 4) {
    // Little-endian, as every word of a boot-loader reply.
    facts_.DeviceId = uint32_t{bytes[kIspDeviceIdOffset]} |
                      uint32_t{bytes[kIspDeviceIdOffset + 1]} << 8 |
                      uint32_t{bytes[kIspDeviceIdOffset + 2]} << 16 |
                      uint32_t{bytes[kIspDeviceIdOffset + 3]} << 24;
    return;
  }
  // A run-mode answer: 10 02 <sender> <receiver> L <code> <L-1 payload bytes> ...
  if (bytes.size() <= kFramePayloadOffset || bytes[0] != frDle || bytes[1] != frStx) return;
  const size_t payload =
      std::min<size_t>(bytes[kFrameLengthOffset] > 0 ? bytes[kFrameLengthOffset] - 1 : 0,
                       bytes.size() - kFramePayloadOffset);
  const uint8_t* first = bytes.data() + kFramePayloadOffset;
  if (bytes[kFrameCodeOffset] == cmdIdentify && payload > 0) facts_.UnitType = first[0];
  if (bytes[kFrameCodeOffset] == cmdVersionText) {
    facts_.VersionText = std::string(reinterpret_cast<const char*>(first), payload);
  }
}

void TUpdateSession::NoteConnection() {
  const TIspConnection connection = shown_.Connection.Connection;
  if (connection == lastConnection_) return;
  lastConnection_ = connection;
  const bool run = connection == TIspConnection::kRunMode;
  const bool update = connection == TIspConnection::kUpdateMode;
  if (!run && !update) return;
  if (!unitSeen_) account_.FirstSeenInRunMode = run;
  account_.InUpdateMode = update;
  // Back after "MCU Reset" in either personality: it left in between.
  if (account_.ResetSent) account_.LeftAfterReset = true;
  // Back in update mode in the middle of an update that the window will not take
  // up again by itself (it waits for an update-mode unit only before "Connect"):
  // the next run would program it from the start, and so does this one.
  if (update && shown_.McuUpdatePending &&
      !shown_.Waiting[static_cast<size_t>(TChainTimer::kMcuProg)] && !outcome_ && !pending_ &&
      !rebuildPosted_) {
    rebuildPosted_ = true;
    // Not from inside the window's own handler: the window is rebuilt.
    root_->Loop().Post([this] { ProgramFromTheStart(); });
  }
}

void TUpdateSession::ProgramFromTheStart() {
  rebuildPosted_ = false;
  if (outcome_ || !Window()) return;
  EmitView();
  reporter_->Note(
      "the unit is back in update mode: it is programmed from the start, as a new run would do",
      Seconds());
  NoteActivity();
  root_->RebuildMainWindow();
  startPressed_ = false;
  viewEmitted_ = false;
  lastConnection_.reset();
  WatchWindow();
  Window()->Show();
  OnStartProgramChanged();
}

TUnitAccount TUpdateSession::Account() const {
  TUnitAccount account = account_;
  if (shown_.McuDownload) account.ImageBytes = shown_.McuDownload->ImageBytes;
  // Gone after "MCU Reset" and not back (yet): it left into its new firmware.
  if (account.ResetSent && !shown_.Connection.UnitHeld) account.LeftAfterReset = true;
  return account;
}

void TUpdateSession::OnStartProgramChanged() {
  if (!Window()) return;  // the window is being destroyed
  NoteActivity();
  if (startPressed_ || outcome_ || pending_ || !Window()->btnStartProgram.Enabled()) return;
  startPressed_ = true;
  EmitView();
  reporter_->Note("pressing \"" + std::string(TfmIsp::kStartProgramCaption) + "\"", Seconds());
  // As a user's click: through the loop, after the handler that enabled it.
  root_->Loop().Post([this] {
    if (Window() && !outcome_) Window()->btnStartProgram.Click();
  });
}

void TUpdateSession::OnInterrupt() {
  if (outcome_ || !Window()) return;
  Finish(TExitCode::kInterrupted, "interrupted: the session was closed");
}

void TUpdateSession::SayWhatIsAwaited() {
  if (unitSeen_ || outcome_) {
    waitingLine_->Stop();
    return;
  }
  std::string text = "waiting for a KV-93T (USB 0168:0821 run mode or 0168:0904 update mode)";
  const std::vector<TSeenInterface> seen = SurveyInterfaces(*platform_);
  size_t units = 0;
  std::string locked;
  for (const TSeenInterface& entry : seen) {
    if (!entry.IsUnit()) continue;
    ++units;
    if (!entry.Writable) {
      locked = entry.Path + " is the unit but cannot be opened read-write (" +
               platform_->ErrorText(entry.OpenError) + ")";
    }
  }
  text += ": " + std::to_string(seen.size()) + (seen.size() == 1 ? " HID device" : " HID devices") +
          " seen, " + std::to_string(units) + " of them the unit";
  if (!locked.empty()) {
    text += "; " + locked;
#ifndef _WIN32
    text += "; is the udev rule installed? (README: \"Linux: access to the unit\"; hid-list)";
#endif
  }
  reporter_->Waiting(text, Seconds());
}

void TUpdateSession::OnViewChanged() {
  if (!Window() || !viewFlush_) return;  // the window is being destroyed
  NoteActivity();
  NoteConnection();
  if (shown_.Connection.Connection != TIspConnection::kNone) unitSeen_ = true;
  if (viewFlush_->Enabled()) return;  // the latest view goes out when it fires
  const auto interval = reporter_->MinInterval();
  const auto since = toolkit::Clock::now() - lastEmitTime_;
  if (!viewEmitted_ || since >= interval) {
    EmitView();
    return;
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(interval - since);
  viewFlush_->SetInterval(static_cast<int>(std::max<int64_t>(wait.count(), 1)));
  viewFlush_->Start();
}

void TUpdateSession::EmitView() {
  if (viewFlush_) viewFlush_->Stop();
  if (!Window()) return;
  const TWindowView view = CaptureView();
  if (viewEmitted_ && view == lastEmitted_) return;
  viewEmitted_ = true;
  lastEmitted_ = view;
  lastEmitTime_ = toolkit::Clock::now();
  reporter_->ViewChanged(view, Seconds());
}

void TUpdateSession::Finish(TExitCode code, std::string reason) {
  if (outcome_) return;
  pending_.reset();
  outcome_ = TOutcome{code, std::move(reason)};
}

double TUpdateSession::Seconds() const {
  return std::chrono::duration<double>(toolkit::Clock::now() - start_).count();
}

std::optional<double> TUpdateSession::SecondsLeft(const TWindowView& view) {
  const TIspStepKind kind = shown_.Step.Kind;
  const std::optional<int32_t> number = shown_.Step.Number;
  if (kind != TIspStepKind::kDspChunk) dspStart_.reset();
  if (!number) return std::nullopt;
  const auto seconds = [](std::chrono::milliseconds value) {
    return std::chrono::duration<double>(value).count();
  };
  if (kind == TIspStepKind::kProgramData) {
    if (!shown_.McuDownload) return std::nullopt;
    // Packets left × their arming: 20 ms each, 200 ms for the last two.
    const TIspMcuDownloadEvent& download = *shown_.McuDownload;
    const int32_t left = std::max(download.DataPackets - *number, 0);
    const int32_t slow = std::min(left, 2);
    return (left - slow) * seconds(download.DataPacketWait) +
           slow * seconds(download.LastPacketsWait);
  }
  // The DSP download is paced by the unit's answers alone: its own mean rate.
  const double now = Seconds();
  if (!dspStart_) dspStart_ = std::make_pair(now, *number);
  const double elapsed = now - dspStart_->first;
  const int done = *number - dspStart_->second;
  if (elapsed < kDspRateSettleSeconds || done <= 0) return std::nullopt;
  return elapsed / done * std::max(view.ProgressMax - *number, 0);
}

TWindowView TUpdateSession::CaptureView() {
  TWindowView view;
  view.Panel = shown_.Connection.Panel;
  view.Step = shown_.Step.Text;
  view.CountingStep = std::string(CountingStepCaption(shown_.Step.Kind));
  view.ProgressMax = shown_.Progress.Max;
  view.ProgressPosition = shown_.Progress.Position;
  view.Busy = shown_.Busy;
  // The window puts its bar back to 0 when a download ends; the command line
  // shows the finished download as finished.
  if (shown_.Step.Kind == TIspStepKind::kMcuReset) view.ProgressPosition = view.ProgressMax;
  if (const std::optional<int32_t> number = shown_.Step.Number) {
    view.ProgressPosition =
        std::clamp(std::max(view.ProgressPosition, *number), 0, std::max(view.ProgressMax, 0));
  }
  view.SecondsLeft = SecondsLeft(view);
  return view;
}

}  // namespace kv::cli
