// How a session of kv93t-update is shown: a live line on a terminal, plain
// lines in a log, or JSON objects for another program. The session tells a
// reporter what the window shows and what happens; the reporter only writes.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/exit_codes.h"
#include "app/cli/output_writer.h"
#include "toolkit/message_box.h"

namespace kv::cli {

// What the window shows that the command line reports.
struct TWindowView {
  std::string Panel;  // status panel 1: "No Device", "Detect Run HID", ...
  std::string Step;   // the step text (the status bar's simple text)
  int ProgressMax = 100;
  int ProgressPosition = 0;
  bool Busy = false;  // the status bar is red: a command works on the unit
  // The time left of the download under way, from its pacing; none outside one.
  std::optional<double> SecondsLeft;
  // A counting step's text before its number ("Mcu Programing "): each counting
  // step is one step, whatever its number. Empty for the other steps.
  std::string CountingStep{};
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
  // No unit yet: what the tool looks for and what it sees instead.
  virtual void Waiting(std::string_view text, double seconds) = 0;
  // `id` is the message's stable name ("program-ok", ...; MessageIdName).
  virtual void Message(std::string_view id, std::string_view text, toolkit::MessageSymbol symbol,
                       double seconds) = 0;
  virtual void Exception(std::string_view text, double seconds) = 0;
  virtual void Verification(const TVerificationReport& report, double seconds) = 0;
  virtual void End(TExitCode code, std::string_view reason, double seconds) = 0;
};

// The terminal's width in columns, asked before every redraw so that the line
// follows resizes; 0 when it cannot be told.
using TColumnsQuery = std::function<int()>;

// One line redrawn in place (carriage return) with panel 1, the step and a
// progress bar with percentage and time left, one column short of the
// terminal's width (a full-width line would wrap on some terminals);
// everything else on lines of its own.
std::unique_ptr<TSessionReporter> CreateLiveLineReporter(std::ostream& out, TColumnsQuery columns);
// One line per change of connection state or of step, a counting step
// ("Mcu Programing 17") counting once; for logs and pipes.
std::unique_ptr<TSessionReporter> CreatePlainReporter(std::ostream& out);
// JSON Lines: one object per line, every status and connection change its
// own object, the end object last (the README documents every field). With
// several units, `unit` (its port) is in every object.
std::unique_ptr<TSessionReporter> CreateJsonReporter(std::ostream& out, std::string unit = {});

// On a terminal while several units are updated: each unit's lines scroll
// above, each begun with its port; below them one live line per unit in
// progress and the station's tally, redrawn in place. Any thread.
class TStationBoard {
 public:
  TStationBoard(TOutputWriter& writer, TColumnsQuery columns);
  TStationBoard(const TStationBoard&) = delete;
  TStationBoard& operator=(const TStationBoard&) = delete;

  // A line of its own above the live area.
  void Line(const std::string& text);
  // The unit's live line; empty: the unit has none any more.
  void Live(const std::string& unit, const std::string& text);
  void Tally(const std::string& text);
  // What a unit's session reports through.
  std::unique_ptr<TSessionReporter> ReporterFor(const std::string& unit);
  // The width a live line may take.
  int LineWidth() const;

 private:
  void Redraw(const std::string& above) KV_REQUIRES(mutex_);

  TOutputWriter& writer_;
  const TColumnsQuery columns_;
  Mutex mutex_;
  std::map<std::string, std::string> live_ KV_GUARDED_BY(mutex_);
  std::string tally_ KV_GUARDED_BY(mutex_);
  size_t linesShown_ KV_GUARDED_BY(mutex_) = 0;
};

// ---- Pieces of the rendering, exposed for tests ----

// Used when the terminal does not tell its width.
inline constexpr int kDefaultTerminalColumns = 80;
// Narrower than this the line is cut, not laid out.
inline constexpr int kNarrowestLiveLine = 20;
inline constexpr auto kLiveRedrawInterval = std::chrono::milliseconds(100);

// "[#####-----]" with `width` cells between the brackets.
std::string ProgressBarText(int max, int position, int width);
// 0 to 100; 0 for an empty range.
int ProgressPercent(int max, int position);
// "1:05", "12:00", "1:02:03".
std::string DurationText(double seconds);
// The whole live line, exactly `width` characters.
std::string LiveLineText(const TWindowView& view, int width);

}  // namespace kv::cli
