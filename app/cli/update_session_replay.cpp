// The session's side of --replay: reading the recording, saying where a run parts
// from it, and holding the run's end against the recorded one.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <variant>

#include "app/cli/chain_outcome.h"
#include "app/cli/tool_modes.h"
#include "app/cli/update_session.h"

namespace kv::cli {

namespace {

// The recorded lines of one kind, with their line numbers.
std::vector<const sim::RecordLine*> LinesOf(const sim::Recording& recording, sim::RecordKind kind) {
  std::vector<const sim::RecordLine*> lines;
  for (const sim::RecordLine& line : recording.lines) {
    if (line.kind == kind) lines.push_back(&line);
  }
  return lines;
}

// The first place where the run's sequence differs from the recording's; empty when none.
std::optional<std::string> FirstDifference(const char* what,
                                           const std::vector<const sim::RecordLine*>& recorded,
                                           const std::vector<std::string>& shown,
                                           std::string sim::RecordLine::*field) {
  for (size_t i = 0; i < std::max(recorded.size(), shown.size()); ++i) {
    const std::string run = i < shown.size() ? "\"" + shown[i] + "\"" : "none";
    if (i >= recorded.size()) {
      return std::string("the run showed ") + what + " " + run +
             " that the recording does not have";
    }
    if (i < shown.size() && recorded[i]->*field == shown[i]) continue;
    return std::string("line ") + std::to_string(recorded[i]->line_number) +
           ": the recording has " + what + " \"" + recorded[i]->*field + "\", the run showed " +
           run;
  }
  return std::nullopt;
}

}  // namespace

bool TUpdateSession::LoadReplay(std::optional<sim::Recording>& recording) {
  if (options_.ReplayFile.empty()) return true;
  std::ifstream in(options_.ReplayFile, std::ios::binary);
  std::variant<sim::Recording, sim::RecordingError> parsed =
      in ? sim::ParseRecording(in)
         : sim::RecordingError{0, "it cannot be opened: " + std::string(std::strerror(errno))};
  if (const auto* error = std::get_if<sim::RecordingError>(&parsed)) {
    const std::string where =
        error->line_number == 0 ? std::string() : ", line " + std::to_string(error->line_number);
    const std::string reason =
        "the recording " + options_.ReplayFile + where + " cannot be replayed: " + error->text;
    err_ << "kv93t-update: " << reason << '\n';
    Finish(TExitCode::kUsage, reason);
    return false;
  }
  recording = std::move(std::get<sim::Recording>(parsed));
  // Its own pace unless a faster one is asked for: the tool's timing then
  // matches the delays it recorded.
  replayPace_ = options_.PaceDivisor > 1 ? options_.PaceDivisor : recording->pace;
  replaySystem_ = recording->system;
  // The recorded run's stall limit, which may be how it ended.
  if (!timeoutSeconds_) timeoutSeconds_ = recording->timeout_seconds;
  reporter_->Note("replaying " + options_.ReplayFile + ": kv93t-update " + recording->tool_version +
                      " on " + recording->system + " (" + recording->bus + "), " +
                      std::to_string(recording->lines.size()) + " lines, pace " +
                      std::to_string(replayPace_),
                  Seconds());
  const std::optional<TImageCrcs> crcs = EmbeddedImageCrcs();
  if (crcs && (recording->mcu_crc32 != HexText(crcs->Mcu, 8) ||
               recording->dsp_crc32 != HexText(crcs->Dsp, 8))) {
    reporter_->Note("the recording was made with other images (mcu-crc32=" + recording->mcu_crc32 +
                        " dsp-crc32=" + recording->dsp_crc32 +
                        "): the run parts from it where the images differ",
                    Seconds());
  }
  return true;
}

void TUpdateSession::OnReplayParted(const sim::Divergence& divergence) {
  if (replayParting_) return;
  const std::string step =
      shown_.Step.Text.empty() ? "before any step" : "at step \"" + shown_.Step.Text + "\"";
  replayParting_ = "the run parted from its recording at line " +
                   std::to_string(divergence.line_number) + ", " + step + ": " + divergence.what;
  EmitView();
  const auto mark = divergence.first_difference;
  if (divergence.expected) {
    reporter_->Note("recorded (line " + std::to_string(divergence.line_number) + "): W 00  " +
                        sim::BytesText(*divergence.expected, mark),
                    Seconds());
  }
  if (divergence.written) {
    reporter_->Note("written:  W 00  " + sim::BytesText(*divergence.written, mark), Seconds());
  }
  if (const std::optional<sim::RecordLine> last = root_->Platform().Replay()->LastPlayed()) {
    // Appended piece by piece: GCC 12 misreads "text" + string as an overlapping copy.
    std::string played(1, static_cast<char>(last->kind));
    if (!last->bytes.empty()) {
      played += " 00  ";
      played += sim::BytesText(last->bytes);
    }
    if (last->kind == sim::RecordKind::kReadError) {
      played += ' ';
      played += std::to_string(last->error);
    }
    reporter_->Note("the recorded unit's latest line before it (line " +
                        std::to_string(last->line_number) + "): " + played,
                    Seconds());
  }
  Finish(TExitCode::kReplayDiverged, *replayParting_);
}

void TUpdateSession::HoldMessageToRecording(const std::string& name) {
  if (!root_ || root_->Platform().Replay() == nullptr) return;
  const sim::Recording& recording = root_->Platform().Replay()->Played();
  const std::vector<const sim::RecordLine*> recorded =
      LinesOf(recording, sim::RecordKind::kMessage);
  const size_t index = messagesShown_.size() - 1;
  if (index < recorded.size() && recorded[index]->name == name) return;
  // Parted after the unit's latest line: what it sent there led the run elsewhere.
  const std::optional<sim::RecordLine> last = root_->Platform().Replay()->LastPlayed();
  sim::Divergence divergence;
  divergence.line_number = last ? last->line_number : 1;
  divergence.what =
      "after it the run showed message \"" + name + "\"; the recording has " +
      (index < recorded.size() ? "\"" + recorded[index]->name + "\" next (line " +
                                     std::to_string(recorded[index]->line_number) + ")"
                               : std::string("no more messages"));
  OnReplayParted(divergence);
}

void TUpdateSession::CheckReplay() {
  const sim::RecordedUnit* replay = root_->Platform().Replay();
  if (replay == nullptr) return;
  if (const std::optional<sim::Divergence> parted = replay->Parted()) OnReplayParted(*parted);
  const sim::Recording& recording = replay->Played();
  if (const std::optional<size_t> line = replay->UnwrittenLine(); line && !replayParting_) {
    OnReplayParted({*line, "the run ended before writing this line", {}, {}, {}});
  }
  std::optional<std::string> difference;
  if (!replayParting_) {
    // Each message was held to the recording as it opened; one the run never got to shows here.
    difference = FirstDifference("message", LinesOf(recording, sim::RecordKind::kMessage),
                                 messagesShown_, &sim::RecordLine::name);
  }
  if (!replayParting_ && !difference) {
    difference = FirstDifference("step", LinesOf(recording, sim::RecordKind::kStep), stepsShown_,
                                 &sim::RecordLine::text);
  }
  const std::optional<int> recordedCode = recording.ExitCode();
  if (!replayParting_ && !difference && recordedCode != ToInt(outcome_->Code)) {
    difference = "the recorded run ended with exit " +
                 (recordedCode ? std::to_string(*recordedCode) : std::string("(none: cut short)")) +
                 ", this one with " + std::to_string(ToInt(outcome_->Code)) + " (" +
                 outcome_->Reason + ")";
  }
  if (difference) replayParting_ = "the run parted from its recording: " + *difference;
  if (replayParting_) {
    outcome_ = TOutcome{TExitCode::kReplayDiverged, *replayParting_};
    return;
  }
  reporter_->Note("the run followed its recording to its end (" +
                      std::to_string(LinesOf(recording, sim::RecordKind::kWritten).size()) +
                      " written lines, " + std::to_string(messagesShown_.size()) +
                      " messages, exit " + std::to_string(ToInt(outcome_->Code)) + ")",
                  Seconds());
}

}  // namespace kv::cli
