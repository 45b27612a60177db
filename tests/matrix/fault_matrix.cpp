#include "fault_matrix.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "app/isp.h"
#include "engine/engine_texts.h"
#include "isp_harness.h"
#include "link/lcmd.h"
#include "sim/sim_options.h"
#include "sim/unit_memory.h"
#include "watchdog.h"

namespace kv::matrix {

using namespace std::chrono_literals;
using test::IspHarness;

namespace {

using Clock = std::chrono::steady_clock;

// The loop runs in slices this long; between them the case looks for change.
constexpr auto kSlice = 10ms;
// A scripted message box closes itself after this long.
constexpr auto kBoxOpen = 10ms;
// The window's timers run at a twentieth of their length...
constexpr int kTimingDivisor = 20;
// ...except the fallback of the unit check, which must not overtake the check's
// own two round trips on a loaded machine, and the data packets' arming, kept
// at kMatrixArmingOther.
constexpr auto kAutoUpdateFallback = 300ms;
// Detection of the unit after start-up.
constexpr auto kReadyLimit = 20s;
// Tearing down a case (closing the link, stopping the unit) on top of kCaseLimit
// before the watchdog calls it hung.
constexpr auto kTeardownAllowance = 20s;
constexpr size_t kImageRecordBytes = 16;
constexpr uint8_t kErased = sim::FlashMemory::kErased;
// Environment variable and value that select the representative rows.
constexpr const char* kSubsetVariable = "KV_FAULT_MATRIX";
constexpr std::string_view kQuickSubset = "quick";
// Environment variable that lengthens the quiet period (milliseconds), for a
// machine much slower than the ones the matrix runs on.
constexpr const char* kQuietVariable = "KV_FAULT_MATRIX_QUIET_MS";

// The image's bytes. Only byte 214 is erased-looking (0xFF), and no partial
// image ends next to it, so a flash programmed up to any packet boundary is
// told apart from a complete one.
uint8_t MatrixImageByte(size_t address) {
  return static_cast<uint8_t>(address * 13 + 0x21);
}

std::vector<std::string> MatrixImageRecords() {
  std::vector<std::string> records;
  for (size_t offset = 0; offset < kMatrixImageBytes; offset += kImageRecordBytes) {
    std::vector<uint8_t> bytes;
    for (size_t i = offset; i < std::min<size_t>(kMatrixImageBytes, offset + kImageRecordBytes);
         ++i) {
      bytes.push_back(MatrixImageByte(i));
    }
    records.push_back(test::DataRecord(static_cast<uint16_t>(offset), bytes));
  }
  records.emplace_back(test::kEndOfFileRecord);
  return records;
}

TIspTiming MatrixTiming(const TMatrixCase& matrixCase) {
  TIspTiming timing = TIspTiming{}.Scaled(kTimingDivisor);
  timing.AutoUpdate = kAutoUpdateFallback;
  timing.UsbWaitStartProgram = kMatrixArmingStartProgram;
  timing.UsbWaitOther = kMatrixArmingOther;
  timing.UsbWaitData = kMatrixArmingOther;
  if (matrixCase.ArmingMs > 0) {
    const std::chrono::milliseconds arming(matrixCase.ArmingMs);
    timing.UsbWaitStartProgram = arming;
    timing.UsbWaitOther = arming;
    timing.UsbWaitData = arming;
  }
  return timing;
}

// The row's faults, one per blank-separated word.
std::vector<std::string> FaultTexts(const std::string& faults) {
  std::vector<std::string> texts;
  size_t begin = 0;
  while (begin < faults.size()) {
    size_t end = faults.find(' ', begin);
    if (end == std::string::npos) end = faults.size();
    if (end > begin) texts.push_back(faults.substr(begin, end - begin));
    begin = end + 1;
  }
  return texts;
}

std::chrono::milliseconds QuietPeriod() {
  if (const char* text = std::getenv(kQuietVariable)) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > 0) return std::chrono::milliseconds(value);
  }
  return kDefaultQuietPeriod;
}

// Ends the process if a case neither comes to rest nor lets go of its window in
// time, naming the case: a hang must fail the run, not stall it.
test::Watchdog::HangHandler ReportCaseHung(std::string caseName) {
  return [caseName = std::move(caseName)](test::Watchdog::Duration limit) {
    std::fprintf(
        stderr, "fault matrix: case \"%s\" hung: still running after %lld s\n", caseName.c_str(),
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
    std::fflush(stderr);
    std::_Exit(kHangExitCode);
  };
}

// Everything whose change means the chain is still moving.
struct Signature {
  uint64_t reportsWritten = 0;
  size_t trafficLines = 0;
  size_t boxes = 0;
  size_t exceptions = 0;
  int32_t updateState = 0;
  std::string stepText;
  std::string panel;
  const void* link = nullptr;
  const void* heldDevice = nullptr;
  int32_t autoStage = 0;
  int32_t mcuUpdatePending = 0;
  std::vector<sim::Personality> personalities;

  bool operator==(const Signature&) const = default;
};

Signature TakeSignature(IspHarness& h, int units) {
  TfmIsp& isp = h.Isp();
  Signature signature;
  signature.reportsWritten = isp.ReportsWritten();
  signature.trafficLines = h.traffic.size();
  signature.boxes = h.Boxes().Boxes().size();
  signature.exceptions = h.exceptions.size();
  signature.updateState = isp.UpdateState;
  signature.stepText = isp.sbStatus.SimpleText();
  signature.panel = isp.sbStatus.PanelText(1);
  signature.link = isp.Link.get();
  signature.heldDevice = isp.HeldDevice;
  signature.autoStage = isp.AutoStage;
  signature.mcuUpdatePending = isp.McuUpdatePending;
  for (int i = 0; i < units; ++i) {
    signature.personalities.push_back(h.Unit(static_cast<size_t>(i)).CurrentPersonality());
  }
  return signature;
}

// A one-shot timer still to fire can change everything; tmMcuProg, which polls
// without limit, cannot by itself.
bool OneShotPending(const TfmIsp& isp) {
  return isp.tmUsbWait.Enabled() || isp.tmWaitDisconnect.Enabled() ||
         isp.tmWrongDisconnect.Enabled() || isp.tmAutoUpdate.Enabled() ||
         isp.tmDspProgram.Enabled() || isp.tmRunStep.Enabled();
}

bool WaitUntilReady(IspHarness& h, int units) {
  if (units <= 1) return h.WaitUntilReady();
  TfmIsp& isp = h.Isp();
  return h.RunUntil(
      [&isp, units] {
        if (isp.HidCtl->Count() != units || !isp.btnStartProgram.Enabled()) return false;
        for (int i = 0; i < units; ++i) {
          if (!isp.HidCtl->Item(i)->CheckedOut()) return false;
        }
        return true;
      },
      kReadyLimit);
}

TFlash ClassifyFlash(const std::vector<uint8_t>& flash) {
  if (flash.size() < kMatrixImageBytes) return {TFlashState::kCorrupt, 0};
  uint32_t inPlace = 0;
  while (inPlace < kMatrixImageBytes && flash[inPlace] == MatrixImageByte(inPlace)) ++inPlace;
  const bool restErased = std::all_of(flash.begin() + inPlace, flash.begin() + kMatrixImageBytes,
                                      [](uint8_t byte) { return byte == kErased; });
  if (!restErased) return {TFlashState::kCorrupt, inPlace};
  if (inPlace == kMatrixImageBytes) return {TFlashState::kComplete, inPlace};
  if (inPlace == 0) return {TFlashState::kBlank, 0};
  return {TFlashState::kPartial, inPlace};
}

bool ErasedBeyondImage(const std::vector<uint8_t>& flash) {
  return flash.size() <= kMatrixImageBytes ||
         std::all_of(flash.begin() + kMatrixImageBytes, flash.end(),
                     [](uint8_t byte) { return byte == kErased; });
}

bool SawProgramOk(const std::vector<TBox>& boxes) {
  return std::any_of(boxes.begin(), boxes.end(),
                     [](const TBox& box) { return box.Text == texts::kProgramOk; });
}

TChainEnd ClassifyEnd(IspHarness& h, const TOutcome& observed, int targetUnit) {
  TfmIsp& isp = h.Isp();
  if (SawProgramOk(observed.Boxes) &&
      h.RunCommandCount(cmdCode04, static_cast<size_t>(targetUnit)) > 0) {
    return TChainEnd::kCompleted;
  }
  if ((isp.Link && isp.Link->Busy()) || isp.tmMcuProg.Enabled()) return TChainEnd::kStalled;
  return TChainEnd::kStopped;
}

void Observe(IspHarness& h, const TMatrixCase& matrixCase, TCaseReport& report) {
  TfmIsp& isp = h.Isp();
  TOutcome& observed = report.Observed;
  observed.UpdateState = isp.UpdateState;
  observed.StepText = isp.sbStatus.SimpleText();
  observed.Panel = isp.sbStatus.PanelText(1);
  observed.LinkHeld = isp.Link != nullptr;
  observed.McuUpdatePending = isp.McuUpdatePending;
  observed.AutoStage = isp.AutoStage;
  for (const auto& box : h.Boxes().Boxes()) observed.Boxes.push_back({box.text, box.symbol});
  observed.Exceptions = h.exceptions;

  const size_t target = static_cast<size_t>(matrixCase.TargetUnit);
  sim::SimulatedUnit& unit = h.Unit(target);
  const std::vector<uint8_t> flash = unit.FlashBytes();
  observed.Flash = ClassifyFlash(flash);
  report.NothingBeyondImage = ErasedBeyondImage(flash);
  const sim::UnitVerdict verdict = unit.Verdict();
  if (verdict.dsp_loaded) {
    observed.Dsp = TDspState::kComplete;
  } else if (h.RunCommandCount(cmdDspBlock, target) > 0) {
    observed.Dsp = TDspState::kPartial;
  }
  observed.UnitClean = verdict.violation_count == 0;
  const std::vector<std::string> violations = unit.Violations();
  if (!violations.empty()) report.FirstViolation = violations.front();
  report.FaultFired = matrixCase.Fault.empty() || unit.UnfiredFaults() == 0;
  for (int i = 0; i < matrixCase.Units; ++i) {
    if (static_cast<size_t>(i) == target) continue;
    if (!h.Unit(static_cast<size_t>(i)).ReceivedReports().empty()) report.OnlyTargetWritten = false;
  }
  observed.End = ClassifyEnd(h, observed, matrixCase.TargetUnit);
}

// Runs the chain from the click until it comes to rest or kCaseLimit passes.
void RunChain(IspHarness& h, int units, TCaseReport& report) {
  const std::chrono::milliseconds quiet = QuietPeriod();
  const Clock::time_point start = Clock::now();
  Signature last = TakeSignature(h, units);
  Clock::time_point lastChange = start;
  h.ClickStartProgram();
  while (Clock::now() - start < kCaseLimit) {
    h.RunFor(kSlice);
    const Clock::time_point now = Clock::now();
    Signature current = TakeSignature(h, units);
    if (!(current == last)) {
      last = std::move(current);
      lastChange = now;
      continue;
    }
    const bool answerAwaited = h.Isp().Link != nullptr && h.Isp().Link->Busy();
    const std::chrono::milliseconds needed =
        answerAwaited ? std::max(quiet, kAwaitedAnswerQuietPeriod) : quiet;
    if (now - lastChange >= needed && !OneShotPending(h.Isp()) && h.Boxes().OpenCount() == 0) {
      report.Quiet = true;
      break;
    }
  }
  report.Settled = std::chrono::duration_cast<std::chrono::milliseconds>(lastChange - start);
  report.Duration = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

std::optional<sim::SimOptions> MatrixOptions(const TMatrixCase& matrixCase, std::string& error) {
  sim::SimOptions options = test::FastUnit(sim::SimStart::kRun);
  options.pace = kTimingDivisor;
  options.units = matrixCase.Units;
  options.replug_ms = matrixCase.ReplugMs;
  for (const std::string& text : FaultTexts(matrixCase.Fault)) {
    sim::SimFault fault;
    if (!sim::ParseSimFault(text, fault, error)) return std::nullopt;
    options.faults.push_back(fault);
  }
  return options;
}

const char* SymbolName(toolkit::MessageSymbol symbol) {
  return symbol == toolkit::MessageSymbol::kError ? "error" : "information";
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

const char* FlashName(TFlashState state) {
  switch (state) {
    case TFlashState::kBlank:
      return "blank";
    case TFlashState::kPartial:
      return "partial";
    case TFlashState::kComplete:
      return "complete";
    case TFlashState::kCorrupt:
      break;
  }
  return "CORRUPT";
}

std::string Describe(const TFlash& flash) {
  std::string text = std::string("flash ") + FlashName(flash.State);
  if (flash.State == TFlashState::kPartial || flash.State == TFlashState::kCorrupt) {
    text += " (" + std::to_string(flash.Bytes) + " of " + std::to_string(kMatrixImageBytes) +
            " bytes in place)";
  }
  return text;
}

const char* DspName(TDspState state) {
  switch (state) {
    case TDspState::kNone:
      return "DSP none";
    case TDspState::kPartial:
      return "DSP partial";
    case TDspState::kComplete:
      break;
  }
  return "DSP complete";
}

std::string DescribeBoxes(const std::vector<TBox>& boxes) {
  if (boxes.empty()) return "no message";
  std::string text;
  for (const TBox& box : boxes) {
    text += (text.empty() ? "message " : " + ") + Quoted(box.Text) + " (" + SymbolName(box.Symbol) +
            ")";
  }
  return text;
}

std::vector<TBox> Sorted(std::vector<TBox> boxes) {
  std::sort(boxes.begin(), boxes.end(), [](const TBox& a, const TBox& b) {
    return std::tie(a.Text, a.Symbol) < std::tie(b.Text, b.Symbol);
  });
  return boxes;
}

bool SameBoxes(const std::vector<TBox>& expected, const std::vector<TBox>& observed) {
  const std::vector<TBox> a = Sorted(expected);
  const std::vector<TBox> b = Sorted(observed);
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const TBox& x, const TBox& y) {
    return x.Text == y.Text && x.Symbol == y.Symbol;
  });
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string text;
  for (const std::string& item : texts) text += (text.empty() ? "" : ", ") + Quoted(item);
  return text.empty() ? "none" : text;
}

template <typename T>
void CompareField(std::vector<std::string>& mismatches, const char* field, const T& expected,
                  const T& observed, const std::string& expectedText,
                  const std::string& observedText) {
  if (expected == observed) return;
  mismatches.push_back(std::string(field) + ": expected " + expectedText + ", observed " +
                       observedText);
}

std::vector<std::string> Compare(const TOutcome& e, const TOutcome& o) {
  std::vector<std::string> m;
  CompareField(m, "end", e.End, o.End, Describe(e.End), Describe(o.End));
  CompareField(m, "UpdateState", e.UpdateState, o.UpdateState, std::to_string(e.UpdateState),
               std::to_string(o.UpdateState));
  CompareField(m, "step text", e.StepText, o.StepText, Quoted(e.StepText), Quoted(o.StepText));
  CompareField(m, "panel 1", e.Panel, o.Panel, Quoted(e.Panel), Quoted(o.Panel));
  CompareField(m, "link", e.LinkHeld, o.LinkHeld, e.LinkHeld ? "held" : "released",
               o.LinkHeld ? "held" : "released");
  CompareField(m, "McuUpdatePending", e.McuUpdatePending, o.McuUpdatePending,
               std::to_string(e.McuUpdatePending), std::to_string(o.McuUpdatePending));
  CompareField(m, "AutoStage", e.AutoStage, o.AutoStage, std::to_string(e.AutoStage),
               std::to_string(o.AutoStage));
  if (!SameBoxes(e.Boxes, o.Boxes)) {
    m.push_back("messages: expected " + DescribeBoxes(e.Boxes) + ", observed " +
                DescribeBoxes(o.Boxes));
  }
  std::vector<std::string> expectedExceptions = e.Exceptions;
  std::vector<std::string> observedExceptions = o.Exceptions;
  std::sort(expectedExceptions.begin(), expectedExceptions.end());
  std::sort(observedExceptions.begin(), observedExceptions.end());
  CompareField(m, "exceptions", expectedExceptions, observedExceptions, Joined(e.Exceptions),
               Joined(o.Exceptions));
  const bool sameFlash = e.Flash.State == o.Flash.State &&
                         (e.Flash.State != TFlashState::kPartial || e.Flash.Bytes == o.Flash.Bytes);
  if (!sameFlash) {
    m.push_back("flash: expected " + Describe(e.Flash) + ", observed " + Describe(o.Flash));
  }
  CompareField(m, "DSP", e.Dsp, o.Dsp, DspName(e.Dsp), DspName(o.Dsp));
  CompareField(m, "unit", e.UnitClean, o.UnitClean, e.UnitClean ? "clean" : "violations",
               o.UnitClean ? "clean" : "violations");
  return m;
}

// What must hold in every case, whatever the fault.
void CheckInvariants(const TMatrixCase& matrixCase, TCaseReport& report) {
  std::vector<std::string>& m = report.Mismatches;
  if (!report.Ready) m.insert(m.begin(), "the unit was never ready: the case did not run");
  if (report.Ready && !report.Quiet) {
    m.push_back(
        "did not come to rest within " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kCaseLimit).count()) +
        " s");
  }
  if (!report.FaultFired) m.push_back("the fault " + matrixCase.Fault + " never struck");
  if (!report.NothingBeyondImage) m.push_back("flash written beyond the image's last byte");
  if (!report.OnlyTargetWritten) m.push_back("a unit other than the held one was written to");
}

}  // namespace

std::string TMatrixCase::Name() const {
  std::string name = Units > 1 ? "units=" + std::to_string(Units) + " " : "";
  name += Fault.empty() ? "no fault" : Fault;
  if (ReplugMs >= 0) name += " +replug";
  return name;
}

std::string TMatrixCase::Group() const {
  if (Units > 1 || Fault.empty()) return "misc";
  const std::string kind = Fault.substr(0, Fault.find_first_of(":@"));
  if (kind == "unplug" && ReplugMs >= 0) return "unplug-replug";
  if (kind == "stuck") return "misc";
  return kind;
}

std::string TMatrixCase::Place() const {
  const std::string first = Fault.substr(0, Fault.find(' '));
  const size_t at = first.find('@');
  return at == std::string::npos ? std::string() : first.substr(at + 1);
}

bool IsRepresentative(const TMatrixCase& matrixCase) {
  static const std::vector<std::string> kPlaces{"connect", "data:2", "cmd:0x10", "param:5",
                                                "dsp:407"};
  if (matrixCase.Group() == "misc") return true;
  return std::find(kPlaces.begin(), kPlaces.end(), matrixCase.Place()) != kPlaces.end();
}

bool QuickMatrixRequested() {
  const char* value = std::getenv(kSubsetVariable);
  return value != nullptr && value == kQuickSubset;
}

std::string Describe(TChainEnd end) {
  switch (end) {
    case TChainEnd::kCompleted:
      return "completed";
    case TChainEnd::kStopped:
      return "stopped";
    case TChainEnd::kStalled:
      break;
  }
  return "stalled";
}

std::string Describe(const TOutcome& o) {
  std::string text = Describe(o.End) + (o.End == TChainEnd::kCompleted ? " with " : " at ");
  text += (o.StepText.empty() ? std::string("no step text") : Quoted(o.StepText)) +
          " (UpdateState " + std::to_string(o.UpdateState) + "); panel " + Quoted(o.Panel) +
          "; link " + (o.LinkHeld ? "held" : "released") + "; McuUpdatePending " +
          std::to_string(o.McuUpdatePending) + ", AutoStage " + std::to_string(o.AutoStage) + "; " +
          DescribeBoxes(o.Boxes);
  if (!o.Exceptions.empty()) text += "; exception " + Joined(o.Exceptions);
  text += "; " + Describe(o.Flash) + "; " + DspName(o.Dsp) + "; unit " +
          (o.UnitClean ? "clean" : "saw violations");
  return text;
}

TCaseReport RunCase(const TMatrixCase& matrixCase) {
  TCaseReport report;
  std::string error;
  const std::optional<sim::SimOptions> options = MatrixOptions(matrixCase, error);
  if (!options) {
    report.Mismatches.push_back("bad fault text: " + error);
    return report;
  }
  {
    test::Watchdog watchdog(kReadyLimit + kCaseLimit + kTeardownAllowance,
                            ReportCaseHung(matrixCase.Name()));
    const test::HexTable image(MatrixImageRecords());
    IspHarness h(*options, MatrixTiming(matrixCase), kBoxOpen);
    h.Isp().McuImageLines = image.Lines();
    report.Ready = WaitUntilReady(h, matrixCase.Units);
    if (report.Ready) {
      RunChain(h, matrixCase.Units, report);
      Observe(h, matrixCase, report);
    }
  }
  if (report.Ready) report.Mismatches = Compare(matrixCase.Expected, report.Observed);
  CheckInvariants(matrixCase, report);
  return report;
}

}  // namespace kv::matrix
