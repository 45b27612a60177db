// How a session of kv93t-update is shown: a live line on a terminal, plain
// lines in a log, or JSON objects for another program. The session tells a
// reporter what the window shows and what happens; the reporter only writes.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/exit_codes.h"
#include "toolkit/message_box.h"

namespace kv::cli {

// What the window shows that the command line reports.
struct TWindowView {
  std::string Panel;  // status panel 1: "No Device", "Detect Run HID", ...
  std::string Step;   // the step text (the status bar's simple text)
  int ProgressMax = 100;
  int ProgressPosition = 0;
  bool Busy = false;  // the status bar is red: a command works on the unit
  friend bool operator==(const TWindowView&, const TWindowView&) = default;
};

// The simulated unit's findings at the end of a --simulate run.
struct TVerificationReport {
  bool Updated = false;  // both images in place, nothing wrong on the way
  std::vector<std::string> Lines;
};

class TSessionReporter {
 public:
  virtual ~TSessionReporter() = default;
  // Views closer together than this are merged; the session delivers the
  // latest one when the interval has passed. Zero: every change.
  virtual std::chrono::milliseconds MinInterval() const = 0;
  // Times are seconds since the start of the tool.
  virtual void ViewChanged(const TWindowView& view, double seconds) = 0;
  virtual void Note(std::string_view text, double seconds) = 0;
  virtual void Message(std::string_view text, toolkit::MessageSymbol symbol, double seconds) = 0;
  virtual void Exception(std::string_view text, double seconds) = 0;
  virtual void Verification(const TVerificationReport& report, double seconds) = 0;
  virtual void End(TExitCode code, std::string_view reason, double seconds) = 0;
};

// One line redrawn in place (carriage return) with panel 1, the step and a
// progress bar with percentage and time left; everything else on lines of its own.
std::unique_ptr<TSessionReporter> CreateLiveLineReporter(std::ostream& out);
// One line per change of connection state or of step, a counting step
// ("Mcu Programing 17") counting once; for logs and pipes.
std::unique_ptr<TSessionReporter> CreatePlainReporter(std::ostream& out);
// One JSON object per line (see the tool's README for the fields).
std::unique_ptr<TSessionReporter> CreateJsonReporter(std::ostream& out);

// ---- Pieces of the rendering, exposed for tests ----

inline constexpr int kLiveLineWidth = 79;
inline constexpr auto kLiveRedrawInterval = std::chrono::milliseconds(100);

// The step without the running number of a counting step ("Mcu Programing 17",
// "Dsp Progrmming 5"): each counting step is one step, whatever its number.
std::string StepKind(std::string_view step);
// "[#####-----]" with `width` cells between the brackets.
std::string ProgressBarText(int max, int position, int width);
// 0 to 100; 0 for an empty range.
int ProgressPercent(int max, int position);
// "1:05", "12:00", "1:02:03".
std::string DurationText(double seconds);
// The whole live line, exactly kLiveLineWidth characters.
std::string LiveLineText(const TWindowView& view, std::optional<double> secondsLeft);

}  // namespace kv::cli
