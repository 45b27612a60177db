// The fault matrix: every fault the simulated unit can inject, at every place of
// the update chain where it can strike, each with the outcome the tool must
// reach. A case runs one whole update from the user's click on "Start Program "
// on a fresh window, bus and unit, until the chain has completed or nothing has
// moved for a quiet period, and compares what it sees with what the row says.
//
// Shared by the test suite (one test per row) and the fault-matrix tool (the
// table and its totals).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "toolkit/message_box.h"

namespace kv::matrix {

// How the chain ended.
enum class TChainEnd {
  kCompleted,  // " Program OK !! " was shown and the closing command reached the unit
  kStopped,    // nothing is outstanding: a message, a refusal, a release or an unplug ended it
  kStalled,    // a request waits for an answer, or the window waits for the update-mode unit
};

enum class TFlashState {
  kBlank,     // every byte of the image's range still erased
  kPartial,   // the image's first bytes in place, the rest erased
  kComplete,  // the whole image in place, byte for byte
  kCorrupt,   // a byte of the range holds neither its image value nor the erased value
};

struct TFlash {
  TFlashState State = TFlashState::kBlank;
  uint32_t Bytes = 0;  // image bytes in place from address 0 (kPartial)
};

enum class TDspState {
  kNone,      // no chunk arrived
  kPartial,   // chunks arrived, the program is not complete and right
  kComplete,  // the unit holds the whole DSP program, unmasked correctly
};

struct TBox {
  std::string Text;
  toolkit::MessageSymbol Symbol = toolkit::MessageSymbol::kInformation;
};

// What a case ends with: written out per row as the expectation, and filled in
// from the window and the unit as the observation.
struct TOutcome {
  TChainEnd End = TChainEnd::kCompleted;
  int32_t UpdateState = 0;
  std::string StepText;  // the status bar's simple text
  std::string Panel;     // status panel 1: the connection state
  bool LinkHeld = false;
  int32_t McuUpdatePending = 0;
  int32_t AutoStage = 0;
  std::vector<TBox> Boxes;              // every message box, in any order
  std::vector<std::string> Exceptions;  // texts of the loop's exception box
  TFlash Flash;                         // the written unit's flash over the image's range
  TDspState Dsp = TDspState::kNone;
  bool UnitClean = true;  // the unit noticed no protocol violation
};

struct TMatrixCase {
  // "KIND[:N]@WHERE" as the simulator reads it, several separated by blanks
  // (they then act together); empty for none.
  std::string Fault;
  int ReplugMs = -1;  // after an unplug fault: back after this long; -1 never
  int Units = 1;
  int TargetUnit = 0;  // the unit the tool holds and writes to
  TOutcome Expected;
  // Arming of every boot-loader reply in this row, in milliseconds; 0 keeps the
  // matrix's own (kMatrixArming...). A row whose outcome depends on whether an
  // answer lands before or after its arming sets one that decides it.
  int ArmingMs = 0;

  // "no-reply@connect", "unplug@data:2 +replug", "units=2 unplug@data:2".
  std::string Name() const;
  // The ctest group: the fault's kind ("no-reply", "unplug-replug", ...) or "misc".
  std::string Group() const;
  // Where the (first) fault strikes ("connect", "cmd:0x10:2"); empty for none.
  std::string Place() const;
};

struct TCaseReport {
  TOutcome Observed;
  bool Ready = false;                     // the unit was detected and "Start Program " enabled
  bool Quiet = false;                     // the case came to rest within its limit
  bool FaultFired = true;                 // the simulator injected the fault
  bool NothingBeyondImage = true;         // every flash byte past the image is still erased
  bool OnlyTargetWritten = true;          // no other unit received anything
  std::string FirstViolation;             // the unit's first protocol complaint, if any
  std::chrono::milliseconds Settled{0};   // click to the last change seen
  std::chrono::milliseconds Duration{0};  // click to the end of the quiet period
  std::vector<std::string> Mismatches;    // empty: as expected

  bool AsExpected() const { return Mismatches.empty(); }
};

// The arming of the boot-loader replies in the matrix (a twentieth of the
// tool's, the data packets' kept at 10 ms): the simulated unit answers at once,
// so an answer normally lands inside it; nothing in a row may depend on that.
inline constexpr std::chrono::milliseconds kMatrixArmingStartProgram{50};
inline constexpr std::chrono::milliseconds kMatrixArmingOther{10};
// Rows where a stray report comes just before an on-time answer, or a repeat of
// the answer just after it: an arming this long leaves no doubt that the answer
// it arms has arrived when it fires, whatever the load on the machine (the unit
// answers within a millisecond or two).
inline constexpr int kArmingAfterBothReportsMs = 300;
// Rows where the stray report comes with a late answer ("late:200"): both
// arrive 150 ms or more after the longest arming above has fired, so the stray
// report is the one taken as the reply, and long before the quiet period of a
// case that awaits an answer (kAwaitedAnswerQuietPeriod) could end it.

// The image "Mcu Prog" programs in every case: 48 bytes with "Start Program",
// four full data packets and a last one of 20.
inline constexpr uint32_t kMatrixImageBytes = 48 + 4 * 56 + 20;

// How long a case may take at most before it counts as hung. No case comes near
// it: every wait of the chain is either bounded by a timer or waits for the unit
// without limit by design, which the quiet period recognises.
inline constexpr std::chrono::seconds kCaseLimit{40};
// Nothing moved for this long, and no one-shot timer of the window is pending:
// the chain has come to rest. Longer than any delay the simulated unit takes.
inline constexpr std::chrono::milliseconds kDefaultQuietPeriod{400};
// While the link waits for an answer, the case is at rest only after this long
// without change: an answer the unit owes (it answers within a few
// milliseconds, 450 ms at the latest in the late rows) must not be mistaken for
// a stall when a loaded machine holds its threads back for a while.
inline constexpr std::chrono::milliseconds kAwaitedAnswerQuietPeriod{2000};

// Every row of the matrix.
const std::vector<TMatrixCase>& MatrixCases();
// The rows that stand for the rest where a full run is too slow (ThreadSanitizer,
// wine): a few places of each phase, every kind of fault.
bool IsRepresentative(const TMatrixCase& matrixCase);
// KV_FAULT_MATRIX=quick selects the representative rows only.
bool QuickMatrixRequested();

// Runs one case on a fresh window, bus and unit. A case that does not come to
// rest within kCaseLimit, or whose window blocks, ends the process with
// kHangExitCode after saying which case hung.
TCaseReport RunCase(const TMatrixCase& matrixCase);
inline constexpr int kHangExitCode = 86;

std::string Describe(const TOutcome& outcome);
std::string Describe(TChainEnd end);

}  // namespace kv::matrix
