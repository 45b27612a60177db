#include "sim/recorded_unit.h"

#include <algorithm>
#include <utility>

namespace kv::sim {

namespace {

// The unit's reports, when a recording does not tell their lengths.
constexpr uint16_t kDefaultReportBytes = 65;

bool Leaves(const RecordLine& line) {
  return line.kind == RecordKind::kRemoval ||
         (line.kind == RecordKind::kWritten && line.write_failed);
}

// What the unit did, as against what the tool did (waits, messages, steps).
bool FromTheUnit(const RecordLine& line) {
  switch (line.kind) {
    case RecordKind::kWait:
    case RecordKind::kMessage:
    case RecordKind::kStep:
    case RecordKind::kEnd:
      return false;
    default:
      return true;
  }
}

bool IsGate(const RecordLine& line) {
  return line.kind == RecordKind::kWritten && !line.write_failed;
}

// The report as the tool writes it: the recorded bytes, zero up to the report's length.
uint8_t ExpectedByte(const RecordLine& line, size_t index) {
  return index < line.bytes.size() ? line.bytes[index] : 0;
}

bool SameReport(const RecordLine& line, uint8_t report_id, const std::vector<uint8_t>& written) {
  if (report_id != line.report_id) return false;
  for (size_t i = 0; i < written.size(); ++i) {
    if (written[i] != ExpectedByte(line, i)) return false;
  }
  return true;
}

hid::SimDeviceProfile ProfileOf(const RecordLine& line) {
  hid::SimDeviceProfile profile;
  profile.attributes.VendorID = line.vendor_id;
  profile.attributes.ProductID = line.product_id;
  profile.caps.InputReportByteLength =
      line.input_bytes != 0 ? line.input_bytes : kDefaultReportBytes;
  profile.caps.OutputReportByteLength =
      line.output_bytes != 0 ? line.output_bytes : kDefaultReportBytes;
  profile.name = "recorded KV-93T";
  profile.port = line.port.empty() ? "recorded" : line.port;
  return profile;
}

}  // namespace

RecordedUnit::RecordedUnit(hid::SimulatedHidBus& bus, Recording recording, double delay_divisor)
    : bus_(bus),
      recording_(std::move(recording)),
      delay_divisor_(std::max(delay_divisor, 1e-3)),
      anchor_(Clock::now()) {}

RecordedUnit::~RecordedUnit() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (const auto& [node, id] : attached_) bus_.Detach(id);
}

void RecordedUnit::SetDivergenceHandler(DivergenceHandler handler) {
  MutexLock lock(mutex_);
  handler_ = std::move(handler);
  if (parted_ && handler_) handler_(*parted_);
}

void RecordedUnit::Start() {
  {
    MutexLock lock(mutex_);
    anchor_ = Clock::now();
    anchor_seconds_ = 0;
  }
  thread_ = std::thread([this] { Run(); });
}

std::optional<RecordLine> RecordedUnit::LastPlayed() const {
  MutexLock lock(mutex_);
  return last_played_;
}

std::optional<Divergence> RecordedUnit::Parted() const {
  MutexLock lock(mutex_);
  return parted_;
}

std::optional<size_t> RecordedUnit::UnwrittenLine() const {
  MutexLock lock(mutex_);
  const std::optional<size_t> gate = NextGate(next_);
  if (!gate) return std::nullopt;
  return recording_.lines[*gate].line_number;
}

bool RecordedUnit::TakesOutputReport(const uint8_t* data, size_t count) {
  if (data == nullptr || count == 0) return false;
  const std::vector<uint8_t> written(data + 1, data + count);
  MutexLock lock(mutex_);
  if (parted_ || stopping_) return true;
  const std::optional<size_t> gate = NextGate(next_);
  if (gate && SameReport(recording_.lines[*gate], data[0], written)) {
    if (*gate > next_) PlayNow(*gate - 1);
    next_ = *gate + 1;
    anchor_ = Clock::now();
    anchor_seconds_ = recording_.lines[*gate].seconds;
    wake_.notify_all();
    return true;
  }
  const size_t end = gate ? *gate : recording_.lines.size();
  for (size_t line = next_; line < end; ++line) {
    if (!Leaves(recording_.lines[line])) continue;
    // The recorded unit was on its way out: it takes nothing more.
    PlayNow(line);
    wake_.notify_all();
    return false;
  }
  if (!gate) {
    const size_t last = recording_.lines.empty() ? 1 : recording_.lines.back().line_number;
    Part({last,
          "the recording ran out: the tool wrote a report, the recording has none more",
          {},
          written,
          {}});
    return true;
  }
  Part(WrongWrite(*gate, written));
  return true;
}

void RecordedUnit::Run() {
  while (std::optional<RecordLine> line = NextDue()) Play(*line);
}

std::optional<RecordLine> RecordedUnit::NextDue() {
  MutexLock lock(mutex_);
  Clock::time_point last_play_time = Clock::now();
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    if (!immediate_.empty()) {
      RecordLine line = std::move(immediate_.front());
      immediate_.pop_front();
      if (FromTheUnit(line)) last_played_ = line;
      return line;
    }
    if (parted_) {
      wake_.wait(mutex_);
      continue;
    }
    if (next_ >= recording_.lines.size()) {
      if (recording_.ExitCode()) {
        wake_.wait(mutex_);
        continue;
      }
      const Clock::time_point deadline = std::max(last_play_time, anchor_) + kRanOutGrace;
      if (now < deadline) {
        wake_.wait_until(mutex_, deadline);
        continue;
      }
      Part({recording_.lines.empty() ? 1 : recording_.lines.back().line_number,
            "the recording ran out: it ends here, before the run ended (cut short?)",
            {},
            {},
            {}});
      continue;
    }
    const RecordLine& line = recording_.lines[next_];
    if (IsGate(line)) {
      const Clock::time_point deadline = Due(line) + kRecordedWriteSlack;
      if (now < deadline) {
        wake_.wait_until(mutex_, deadline);
        continue;
      }
      Part({line.line_number,
            "the tool did not write the recording's next report: it waits for something the "
            "recording does not have",
            line.bytes,
            {},
            {}});
      continue;
    }
    if (line.kind == RecordKind::kEnd) {
      ++next_;
      continue;
    }
    if (now < Due(line)) {
      wake_.wait_until(mutex_, Due(line));
      continue;
    }
    ++next_;
    last_play_time = now;
    if (FromTheUnit(line)) last_played_ = line;
    return line;
  }
  return std::nullopt;
}

void RecordedUnit::Play(const RecordLine& line) {
  switch (line.kind) {
    case RecordKind::kRead:
    case RecordKind::kDropped:
      if (current_) {
        std::vector<uint8_t> report{line.report_id};
        report.insert(report.end(), line.bytes.begin(), line.bytes.end());
        bus_.SendInputReport(*current_, std::move(report));
      }
      return;
    case RecordKind::kReadError:
      if (current_) bus_.FailNextRead(*current_, line.error);
      return;
    case RecordKind::kWritten:  // a write that failed: the unit had gone
      if (current_) bus_.HangUp(*current_);
      return;
    case RecordKind::kArrival: {
      // A node taken again: whatever held it has gone.
      if (const auto stale = attached_.find(line.node); stale != attached_.end()) {
        bus_.Detach(stale->second);
        attached_.erase(stale);
      }
      const auto id = bus_.Attach(ProfileOf(line), this);
      attached_[line.node] = id;
      current_ = id;
      return;
    }
    case RecordKind::kRemoval: {
      const auto it = attached_.find(line.node);
      if (it == attached_.end()) return;
      bus_.Detach(it->second);
      if (current_ == it->second) current_.reset();
      attached_.erase(it);
      if (!current_ && !attached_.empty()) current_ = attached_.begin()->second;
      return;
    }
    case RecordKind::kWait:
    case RecordKind::kMessage:
    case RecordKind::kStep:
    case RecordKind::kEnd:
      return;  // what the tool did; nothing for the unit
  }
}

std::optional<size_t> RecordedUnit::NextGate(size_t from) const {
  for (size_t line = from; line < recording_.lines.size(); ++line) {
    if (IsGate(recording_.lines[line])) return line;
  }
  return std::nullopt;
}

void RecordedUnit::PlayNow(size_t last) {
  for (; next_ <= last; ++next_) immediate_.push_back(recording_.lines[next_]);
}

RecordedUnit::Clock::time_point RecordedUnit::Due(const RecordLine& line) const {
  const double seconds = std::max(line.seconds - anchor_seconds_, 0.0) / delay_divisor_;
  return anchor_ +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void RecordedUnit::Part(Divergence divergence) {
  parted_ = std::move(divergence);
  if (handler_) handler_(*parted_);
  wake_.notify_all();
}

Divergence RecordedUnit::WrongWrite(size_t gate, std::vector<uint8_t> written) const {
  const RecordLine& line = recording_.lines[gate];
  Divergence divergence;
  divergence.line_number = line.line_number;
  divergence.what = "the tool wrote another report than the recording has";
  divergence.expected = line.bytes;
  size_t shown = line.bytes.size();
  for (size_t i = 0; i < written.size(); ++i) {
    if (written[i] != 0) shown = std::max(shown, i + 1);
    if (!divergence.first_difference && written[i] != ExpectedByte(line, i)) {
      divergence.first_difference = i;
    }
  }
  if (divergence.first_difference) shown = std::max(shown, *divergence.first_difference + 1);
  written.resize(std::min(shown, written.size()));
  divergence.written = std::move(written);
  return divergence;
}

}  // namespace kv::sim
