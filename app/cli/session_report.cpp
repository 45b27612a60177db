#include "app/cli/session_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <utility>

#include "app/cli/json_text.h"
#include "engine/engine_texts.h"

namespace kv::cli {

namespace {

// Columns of the live line at 79 characters; a narrower or wider line shares
// what it has between the step and the bar in the same proportion.
constexpr size_t kPanelColumn = 17;          // "Detect Update HID"
constexpr size_t kSeparatorColumns = 3 + 1;  // " | " and the blank before the bar
constexpr size_t kPercentColumn = 5;         // " 100%"
constexpr size_t kTimeLeftColumn = 13;       // " 1:02:03 left"
constexpr size_t kStepShare = 24;
constexpr size_t kBarShare = 14;
// The fewest cells a bar is drawn with while the step takes its room.
constexpr size_t kSmallestBar = 6;

const char* SymbolName(toolkit::MessageSymbol symbol) {
  return symbol == toolkit::MessageSymbol::kError ? "error" : "information";
}

// Texts the unit or the window supply go to a terminal: nothing in them may
// move the cursor.
std::string Printable(std::string_view text) {
  std::string printable(text);
  for (char& c : printable) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return printable;
}

std::string Column(std::string_view text, size_t width) {
  std::string column = Printable(text.substr(0, width));
  column.resize(width, ' ');
  return column;
}

std::string TimeStamp(double seconds) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%8.2fs  ", seconds);
  return stamp;
}

std::string MessageLine(std::string_view text, toolkit::MessageSymbol symbol) {
  return "message (" + std::string(SymbolName(symbol)) + "): \"" + Printable(text) + "\"";
}

std::string EndLine(TExitCode code, std::string_view reason) {
  return "end (exit " + std::to_string(ToInt(code)) + "): " + Printable(reason);
}

class TLiveLineReporter final : public TSessionReporter {
 public:
  TLiveLineReporter(std::ostream& out, TColumnsQuery columns)
      : out_(out), columns_(std::move(columns)) {}

  std::chrono::milliseconds MinInterval() const override { return kLiveRedrawInterval; }

  void ViewChanged(const TWindowView& view, double /*seconds*/) override {
    // The old line is cleared at its own width: after a resize the new one may be shorter.
    ClearLine();
    line_ = LiveLineText(view, LineWidth());
    out_ << line_ << std::flush;
  }

  void Note(std::string_view text, double seconds) override {
    Interject(TimeStamp(seconds) + Printable(text));
  }
  void Waiting(std::string_view text, double /*seconds*/) override {
    // On a terminal the wait is the live line itself.
    ClearLine();
    line_ = Column(text, static_cast<size_t>(LineWidth()));
    out_ << line_ << std::flush;
  }
  void Message(std::string_view /*id*/, std::string_view text, toolkit::MessageSymbol symbol,
               double seconds) override {
    Interject(TimeStamp(seconds) + MessageLine(text, symbol));
  }
  void Exception(std::string_view text, double seconds) override {
    Interject(TimeStamp(seconds) + "exception: " + Printable(text));
  }
  void Verification(const TVerificationReport& report, double /*seconds*/) override {
    Settle();
    out_ << "simulated unit's verification:\n";
    for (const std::string& line : report.Lines) out_ << "  " << Printable(line) << '\n';
    out_ << std::flush;
  }
  void End(TExitCode code, std::string_view reason, double seconds) override {
    Settle();
    out_ << TimeStamp(seconds) << EndLine(code, reason) << '\n' << std::flush;
  }

 private:
  // The last view stays on screen as an ordinary line; what follows goes below it.
  void Settle() {
    if (!line_.empty()) out_ << '\n';
    line_.clear();
  }
  void ClearLine() {
    if (!line_.empty()) out_ << '\r' << std::string(line_.size(), ' ') << '\r';
  }
  int LineWidth() const {
    const int columns = columns_ ? columns_() : 0;
    return std::max(1, (columns > 0 ? columns : kDefaultTerminalColumns) - 1);
  }
  // A line of its own above the live line, which is drawn again below it.
  void Interject(const std::string& text) {
    ClearLine();
    out_ << text << '\n';
    if (!line_.empty()) out_ << line_;
    out_ << std::flush;
  }

  std::ostream& out_;
  const TColumnsQuery columns_;
  std::string line_;  // the live line on screen, empty when there is none
};

class TPlainReporter final : public TSessionReporter {
 public:
  explicit TPlainReporter(std::ostream& out) : out_(out) {}

  std::chrono::milliseconds MinInterval() const override { return std::chrono::milliseconds(0); }

  void ViewChanged(const TWindowView& view, double seconds) override {
    if (!panelShown_ || view.Panel != panel_) {
      panelShown_ = true;
      panel_ = view.Panel;
      Line(seconds, Printable(view.Panel));
    }
    const std::string& kind = view.CountingStep.empty() ? view.Step : view.CountingStep;
    if (kind != stepKind_) {
      stepKind_ = kind;
      if (!view.Step.empty()) {
        Line(seconds, view.CountingStep.empty() ? Printable(view.Step) : Printable(kind) + "...");
      }
    }
  }
  void Note(std::string_view text, double seconds) override { Line(seconds, Printable(text)); }
  void Waiting(std::string_view text, double seconds) override { Line(seconds, Printable(text)); }
  void Message(std::string_view /*id*/, std::string_view text, toolkit::MessageSymbol symbol,
               double seconds) override {
    Line(seconds, MessageLine(text, symbol));
  }
  void Exception(std::string_view text, double seconds) override {
    Line(seconds, "exception: " + Printable(text));
  }
  void Verification(const TVerificationReport& report, double /*seconds*/) override {
    out_ << "simulated unit's verification:\n";
    for (const std::string& line : report.Lines) out_ << "  " << Printable(line) << '\n';
    out_ << std::flush;
  }
  void End(TExitCode code, std::string_view reason, double seconds) override {
    Line(seconds, EndLine(code, reason));
  }

 private:
  void Line(double seconds, const std::string& text) {
    out_ << TimeStamp(seconds) << text << '\n' << std::flush;
  }

  std::ostream& out_;
  bool panelShown_ = false;
  std::string panel_;
  std::string stepKind_;
};

class TJsonReporter final : public TSessionReporter {
 public:
  TJsonReporter(std::ostream& out, std::string unit) : out_(out), unit_(std::move(unit)) {}

  // Every change is an object of its own: a program reading the stream sees every step.
  std::chrono::milliseconds MinInterval() const override { return std::chrono::milliseconds(0); }

  void ViewChanged(const TWindowView& view, double seconds) override {
    TJsonObject object = Event("status", seconds);
    object.Add("panel", view.Panel)
        .Add("step", view.Step)
        .Add("progress_max", view.ProgressMax)
        .Add("progress_position", view.ProgressPosition)
        .Add("progress_percent", ProgressPercent(view.ProgressMax, view.ProgressPosition))
        .Add("busy", view.Busy);
    if (view.SecondsLeft) object.AddSeconds("seconds_left", *view.SecondsLeft);
    Emit(object);
  }
  void Note(std::string_view text, double seconds) override {
    Emit(Event("note", seconds).Add("text", text));
  }
  void Waiting(std::string_view text, double seconds) override {
    Emit(Event("waiting", seconds).Add("text", text));
  }
  void Message(std::string_view id, std::string_view text, toolkit::MessageSymbol symbol,
               double seconds) override {
    Emit(Event("message", seconds)
             .Add("id", id)
             .Add("symbol", SymbolName(symbol))
             .Add("text", text));
  }
  void Exception(std::string_view text, double seconds) override {
    Emit(Event("exception", seconds).Add("text", text));
  }
  void Verification(const TVerificationReport& report, double seconds) override {
    Emit(Event("verification", seconds).Add("updated", report.Updated).Add("lines", report.Lines));
  }
  void End(TExitCode code, std::string_view reason, double seconds) override {
    Emit(Event("end", seconds)
             .Add("exit_code", ToInt(code))
             .Add("result", ExitCodeName(code))
             .Add("reason", reason));
  }

 private:
  TJsonObject Event(std::string_view name, double seconds) const {
    TJsonObject object;
    object.AddSeconds("time", seconds).Add("event", name);
    if (!unit_.empty()) object.Add("unit", unit_);
    return object;
  }
  void Emit(const TJsonObject& object) { out_ << object.Text() << '\n' << std::flush; }

  std::ostream& out_;
  const std::string unit_;
};

// One unit's session on the station's board.
class TBoardReporter final : public TSessionReporter {
 public:
  TBoardReporter(TStationBoard& board, std::string unit)
      : board_(board), unit_(std::move(unit)), label_("[" + unit_ + "] ") {}

  std::chrono::milliseconds MinInterval() const override { return kLiveRedrawInterval; }
  void ViewChanged(const TWindowView& view, double /*seconds*/) override {
    const int width = std::max(board_.LineWidth() - static_cast<int>(label_.size()), 1);
    board_.Live(unit_, label_ + LiveLineText(view, width));
  }
  void Note(std::string_view text, double seconds) override {
    Line(TimeStamp(seconds) + Printable(text));
  }
  void Waiting(std::string_view text, double /*seconds*/) override {
    board_.Live(unit_, label_ + Printable(text));
  }
  void Message(std::string_view /*id*/, std::string_view text, toolkit::MessageSymbol symbol,
               double seconds) override {
    Line(TimeStamp(seconds) + MessageLine(text, symbol));
  }
  void Exception(std::string_view text, double seconds) override {
    Line(TimeStamp(seconds) + "exception: " + Printable(text));
  }
  void Verification(const TVerificationReport& report, double /*seconds*/) override {
    Line("simulated unit's verification:");
    for (const std::string& line : report.Lines) Line("  " + Printable(line));
  }
  void End(TExitCode code, std::string_view reason, double seconds) override {
    board_.Live(unit_, {});
    Line(TimeStamp(seconds) + EndLine(code, reason));
  }

 private:
  void Line(const std::string& text) { board_.Line(label_ + text); }

  TStationBoard& board_;
  const std::string unit_;
  const std::string label_;
};

}  // namespace

std::unique_ptr<TSessionReporter> CreateLiveLineReporter(std::ostream& out, TColumnsQuery columns) {
  return std::make_unique<TLiveLineReporter>(out, std::move(columns));
}
std::unique_ptr<TSessionReporter> CreatePlainReporter(std::ostream& out) {
  return std::make_unique<TPlainReporter>(out);
}
std::unique_ptr<TSessionReporter> CreateJsonReporter(std::ostream& out, std::string unit) {
  return std::make_unique<TJsonReporter>(out, std::move(unit));
}

TStationBoard::TStationBoard(TOutputWriter& writer, TColumnsQuery columns)
    : writer_(writer), columns_(std::move(columns)) {}

void TStationBoard::Line(const std::string& text) {
  MutexLock lock(mutex_);
  Redraw(text + '\n');
}

void TStationBoard::Live(const std::string& unit, const std::string& text) {
  MutexLock lock(mutex_);
  if (text.empty()) {
    live_.erase(unit);
  } else {
    live_[unit] = text;
  }
  Redraw({});
}

void TStationBoard::Tally(const std::string& text) {
  MutexLock lock(mutex_);
  tally_ = text;
  Redraw({});
}

std::unique_ptr<TSessionReporter> TStationBoard::ReporterFor(const std::string& unit) {
  return std::make_unique<TBoardReporter>(*this, unit);
}

int TStationBoard::LineWidth() const {
  const int columns = columns_ ? columns_() : 0;
  return std::max(1, (columns > 0 ? columns : kDefaultTerminalColumns) - 1);
}

void TStationBoard::Redraw(const std::string& above) {
  // Back to the first line of the live area, cleared to the end of the screen;
  // the lines above it stay as they scrolled.
  std::string text = "\r";
  if (linesShown_ > 0) text += "\x1b[" + std::to_string(linesShown_) + "A";
  text += "\x1b[J";
  text += above;
  const size_t width = static_cast<size_t>(LineWidth());
  linesShown_ = 0;
  for (const auto& [unit, line] : live_) {
    text += line.substr(0, width) + '\n';
    ++linesShown_;
  }
  if (!tally_.empty()) {
    text += Printable(tally_.substr(0, width)) + '\n';
    ++linesShown_;
  }
  writer_.HandOver(std::move(text));
}

int ProgressPercent(int max, int position) {
  if (max <= 0) return 0;
  const int clamped = std::clamp(position, 0, max);
  return static_cast<int>(static_cast<long long>(clamped) * 100 / max);
}

std::string ProgressBarText(int max, int position, int width) {
  width = std::max(width, 0);
  int filled = 0;
  if (max > 0) {
    const int clamped = std::clamp(position, 0, max);
    filled = static_cast<int>(static_cast<long long>(clamped) * width / max);
  }
  // Appended piece by piece: GCC 12 misreads "[" + std::string&& as an overlapping copy.
  std::string bar;
  bar.reserve(static_cast<size_t>(width) + 2);
  bar += '[';
  bar.append(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(width - filled), '-');
  bar += ']';
  return bar;
}

std::string DurationText(double seconds) {
  const long long total = std::isfinite(seconds) ? std::llround(std::max(seconds, 0.0)) : 0;
  const long long hours = total / 3600;
  const long long minutes = total / 60 % 60;
  const long long secs = total % 60;
  char text[32];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, secs);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", minutes, secs);
  }
  return text;
}

std::string LiveLineText(const TWindowView& view, int width) {
  const size_t total = static_cast<size_t>(std::max(width, 1));
  size_t fixed = kPanelColumn + kSeparatorColumns + 2 + kPercentColumn;  // 2: the bar's brackets
  // The step is worth more than the time left: on a narrow line the time goes first.
  size_t timeLeftColumn = kTimeLeftColumn;
  if (total < fixed + timeLeftColumn + kStepShare + kSmallestBar) timeLeftColumn = 0;
  fixed += timeLeftColumn;
  const size_t shared = total > fixed ? total - fixed : 0;
  const size_t proportional = shared * kStepShare / (kStepShare + kBarShare);
  const size_t stepFirst = std::min(kStepShare, shared > kSmallestBar ? shared - kSmallestBar : 0);
  const size_t stepColumn = std::max(proportional, stepFirst);
  const int barCells = static_cast<int>(shared - stepColumn);

  std::string line = Column(view.Panel, kPanelColumn);
  line += " | ";
  line += Column(view.Step, stepColumn);
  line += ' ';
  line += ProgressBarText(view.ProgressMax, view.ProgressPosition, barCells);
  char percent[8];
  std::snprintf(percent, sizeof percent, " %3d%%",
                ProgressPercent(view.ProgressMax, view.ProgressPosition));
  line += percent;
  if (timeLeftColumn > 0) {
    std::string left;
    if (view.SecondsLeft) {
      left = ' ';
      left += DurationText(*view.SecondsLeft);
      left += " left";
    }
    line += Column(left, timeLeftColumn);
  }
  // Too narrow for the layout: cut, never wider than the terminal.
  line.resize(total, ' ');
  return line;
}

}  // namespace kv::cli
