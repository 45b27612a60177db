#include "app/cli/update_session.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

#include "engine/engine_texts.h"
#include "link/lcmd.h"

namespace kv::cli {

namespace {

constexpr int kConnectionPanel = 1;

// "W 00  " then the bytes, three characters each.
constexpr std::string_view kWrittenLinePrefix = "W 00  ";
constexpr size_t kFrameCodeIndex = 5;

std::optional<uint8_t> HexByteAt(std::string_view bytes, size_t index) {
  const size_t position = index * 3;
  if (position + 2 > bytes.size()) return std::nullopt;
  unsigned value = 0;
  for (size_t i = position; i < position + 2; ++i) {
    const char c = bytes[i];
    value <<= 4;
    if (c >= '0' && c <= '9') {
      value |= static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      value |= static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
  }
  return static_cast<uint8_t>(value);
}

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

}  // namespace

std::optional<uint8_t> WrittenFrameCode(std::string_view line) {
  if (!line.starts_with(kWrittenLinePrefix)) return std::nullopt;
  const std::string_view bytes = line.substr(kWrittenLinePrefix.size());
  if (HexByteAt(bytes, 0) != frDle || HexByteAt(bytes, 1) != frStx) return std::nullopt;
  return HexByteAt(bytes, kFrameCodeIndex);
}

void TUpdateSession::TConsoleBoxes::Show(const std::string& text, toolkit::MessageSymbol symbol) {
  session_.OnMessage(text, symbol);
}

TUpdateSession::TUpdateSession(const TCliOptions& options, std::ostream& out, std::ostream& err,
                               TInterruptHub* interrupts, bool outIsTerminal)
    : options_(options),
      out_(out),
      err_(err),
      interrupts_(interrupts),
      start_(toolkit::Clock::now()),
      lastActivity_(start_) {
  if (options.Json) {
    reporter_ = CreateJsonReporter(out);
  } else if (outIsTerminal) {
    reporter_ = CreateLiveLineReporter(out);
  } else {
    reporter_ = CreatePlainReporter(out);
  }
}

TUpdateSession::~TUpdateSession() {
  if (interrupts_ != nullptr) interrupts_->SetHandler({});
  fmIsp_.reset();
  setup_.reset();
}

TExitCode TUpdateSession::Run() {
  if (!OpenTrace()) return TExitCode::kFailed;
  loop_ = toolkit::CreatePortableEventLoop();
  if (!CreatePlatform()) return TExitCode::kFailed;
  CreateIspWindow();
  WatchWindow();
  RunChain();
  CloseIspWindow();
  ReportVerification();
  reporter_->End(outcome_->Code, outcome_->Reason, Seconds());
  return outcome_->Code;
}

bool TUpdateSession::OpenTrace() {
  if (options_.TraceFile.empty()) return true;
  trace_.open(options_.TraceFile, std::ios::out | std::ios::trunc);
  if (trace_) return true;
  err_ << "kv93t-update: cannot write the trace file " << options_.TraceFile << '\n';
  return false;
}

bool TUpdateSession::CreatePlatform() {
  if (options_.Simulate) {
    bus_ = std::make_shared<hid::SimulatedHidBus>();
    // The unit judges the pace the tool was told to keep, unless told otherwise.
    sim::SimOptions simOptions = options_.Sim;
    if (!simOptions.pace) simOptions.pace = options_.PaceDivisor;
    setup_ = std::make_unique<sim::SimulatedSetup>(*bus_, simOptions);
    platform_ = bus_;
    return true;
  }
  std::unique_ptr<hid::HidPlatform> system = hid::CreateSystemHidPlatform();
  if (!system || !system->Available()) {
    err_ << "kv93t-update: HID access is not available on this system\n";
    return false;
  }
  platform_ = std::move(system);
  return true;
}

void TUpdateSession::CreateIspWindow() {
  loop_->SetExceptionBox([this](const std::string& text) { OnException(text); });
  viewFlush_ = std::make_unique<toolkit::Timer>(*loop_);
  viewFlush_->OnTimer = [this] { EmitView(); };
  fmIsp_ = std::make_unique<TfmIsp>(*loop_, boxes_, platform_, fmHidData_, fmProgData_,
                                    TIspTiming{}.Scaled(options_.PaceDivisor),
                                    [this](const std::string& line) { OnTrafficLine(line); });
  fmIsp_->Show();
}

void TUpdateSession::WatchWindow() {
  fmIsp_->sbStatus.Subscribe([this](toolkit::Change) { OnViewChanged(); });
  fmIsp_->pbProgress.Subscribe([this](toolkit::Change) { OnViewChanged(); });
  fmIsp_->btnStartProgram.Subscribe([this](toolkit::Change change) {
    if (change == toolkit::Change::kEnabled) OnStartProgramChanged();
  });
  if (interrupts_ != nullptr) {
    toolkit::EventLoop* loop = loop_.get();
    interrupts_->SetHandler([this, loop] {
      loop->Post(
          [this] { Finish(TExitCode::kInterrupted, "interrupted: the session was closed"); });
    });
  }
  OnViewChanged();
}

void TUpdateSession::RunChain() {
  while (!outcome_) {
    const std::optional<toolkit::Clock::duration> left = TimeLeft();
    if (left && *left <= toolkit::Clock::duration::zero()) {
      if (pending_) {
        // The chain itself has ended; only its closing command is late.
        reporter_->Note("the closing command was not seen written; ending all the same", Seconds());
        Finish(pending_->Outcome.Code, pending_->Outcome.Reason);
      } else {
        const TOutcome timedOut = TimeoutOutcome();
        Finish(timedOut.Code, timedOut.Reason);
      }
      break;
    }
    loop_->RunUntil([this] { return outcome_.has_value(); },
                    left.value_or(toolkit::Clock::duration::max()));
  }
}

std::optional<toolkit::Clock::duration> TUpdateSession::TimeLeft() const {
  std::optional<toolkit::Clock::time_point> deadline;
  if (pending_) deadline = pending_->Deadline;
  if (options_.TimeoutSeconds) {
    const auto timeout = std::chrono::duration_cast<toolkit::Clock::duration>(
        std::chrono::duration<double>(*options_.TimeoutSeconds));
    const toolkit::Clock::time_point stall = lastActivity_ + timeout;
    deadline = deadline ? std::min(*deadline, stall) : stall;
  }
  if (!deadline) return std::nullopt;
  return *deadline - toolkit::Clock::now();
}

TUpdateSession::TOutcome TUpdateSession::TimeoutOutcome() const {
  const std::string limit = SecondsText(options_.TimeoutSeconds.value_or(0));
  if (readError_) {
    return {TExitCode::kFailed,
            "nothing happened for " + limit + " s after \"" + *readError_ + "\""};
  }
  if (!unitSeen_) return {TExitCode::kNoProgress, "no unit found within " + limit + " s"};
  const std::string step = fmIsp_->sbStatus.SimpleText();
  return {TExitCode::kNoProgress, "the update stalled: nothing happened for " + limit + " s" +
                                      (step.empty() ? std::string() : " (step \"" + step + "\")")};
}

void TUpdateSession::CloseIspWindow() {
  EmitView();
  if (interrupts_ != nullptr) interrupts_->SetHandler({});
  // FormClose: the session ends as when the window is closed, then every
  // thread of the controller and the link is joined.
  fmIsp_->Close();
  EmitView();
  fmIsp_.reset();
  viewFlush_.reset();
}

void TUpdateSession::ReportVerification() {
  if (!setup_) return;
  TVerificationReport report;
  report.Updated = setup_->AllUpdated();
  report.Lines = Lines(setup_->VerdictText());
  reporter_->Verification(report, Seconds());
  if (outcome_->Code == TExitCode::kUpdated && !report.Updated) {
    outcome_ = TOutcome{TExitCode::kVerificationFailed,
                        "the tool reported success, but the simulated unit's verification failed"};
  }
}

void TUpdateSession::OnMessage(const std::string& text, toolkit::MessageSymbol symbol) {
  EmitView();
  NoteActivity();
  reporter_->Message(text, symbol, Seconds());
  const TBoxMeaning meaning = ClassifyMessage(text, symbol);
  if (meaning == TBoxMeaning::kReadError) {
    if (!readError_) readError_ = text;
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

void TUpdateSession::OnException(const std::string& text) {
  EmitView();
  reporter_->Exception(text, Seconds());
  // The handler that raised it stopped half-way; nothing continues the chain.
  Finish(TExitCode::kFailed, "an exception ended a handler of the window: \"" + text + "\"");
}

void TUpdateSession::OnTrafficLine(const std::string& line) {
  NoteActivity();
  if (trace_.is_open()) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f ", Seconds());
    trace_ << stamp << line << '\n';
    trace_.flush();
  }
  if (pending_ && WrittenFrameCode(line) == pending_->ClosingCode) {
    Finish(pending_->Outcome.Code, pending_->Outcome.Reason);
  }
}

void TUpdateSession::OnStartProgramChanged() {
  if (!fmIsp_) return;  // the window is being destroyed
  NoteActivity();
  if (startPressed_ || outcome_ || pending_ || !fmIsp_->btnStartProgram.Enabled()) return;
  startPressed_ = true;
  EmitView();
  reporter_->Note("pressing \"" + std::string(TfmIsp::kStartProgramCaption) + "\"", Seconds());
  // As a user's click: through the loop, after the handler that enabled it.
  loop_->Post([this] {
    if (fmIsp_ && !outcome_) fmIsp_->btnStartProgram.Click();
  });
}

void TUpdateSession::OnViewChanged() {
  if (!fmIsp_ || !viewFlush_) return;  // the window is being destroyed
  NoteActivity();
  const std::string& panel = fmIsp_->sbStatus.PanelText(kConnectionPanel);
  if (panel == TfmIsp::kPanelRunHid || panel == TfmIsp::kPanelUpdateHid) unitSeen_ = true;
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
  if (!fmIsp_) return;
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

TWindowView TUpdateSession::CaptureView() const {
  TWindowView view;
  view.Panel = fmIsp_->sbStatus.PanelText(kConnectionPanel);
  view.Step = fmIsp_->sbStatus.SimpleText();
  view.ProgressMax = fmIsp_->pbProgress.Max();
  view.ProgressPosition = fmIsp_->pbProgress.Position();
  view.Busy = !fmIsp_->sbStatus.Background().IsButtonFace();
  return view;
}

}  // namespace kv::cli
