#include "sim/recording.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace kv::sim {

namespace {

constexpr const char* kFirstLinePrefix = "# kv93t-update recording ";
constexpr const char* kWriteFailedMark = "(write failed)";

// Reads one line's fields left to right.
class FieldReader {
 public:
  explicit FieldReader(const std::string& text) : text_(text) {}

  bool AtEnd() {
    SkipBlanks();
    return at_ >= text_.size();
  }

  std::string Word() {
    SkipBlanks();
    const size_t start = at_;
    while (at_ < text_.size() && text_[at_] != ' ') ++at_;
    return text_.substr(start, at_ - start);
  }

  // A word that begins with `key=`; the rest after it (a quoted string when it starts with a
  // quote).
  bool Keyed(const std::string& key, std::string& value) {
    SkipBlanks();
    if (text_.compare(at_, key.size() + 1, key + "=") != 0) return false;
    at_ += key.size() + 1;
    if (at_ < text_.size() && text_[at_] == '"') return Quoted(value);
    value = Word();
    return true;
  }

  // "text" with \" \\ \n \r \t escapes.
  bool Quoted(std::string& value) {
    SkipBlanks();
    if (at_ >= text_.size() || text_[at_] != '"') return false;
    value.clear();
    for (++at_; at_ < text_.size(); ++at_) {
      const char c = text_[at_];
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c != '\\') {
        value += c;
        continue;
      }
      if (++at_ >= text_.size()) return false;
      switch (text_[at_]) {
        case 'n':
          value += '\n';
          break;
        case 'r':
          value += '\r';
          break;
        case 't':
          value += '\t';
          break;
        default:
          value += text_[at_];
          break;
      }
    }
    return false;
  }

  std::string Rest() {
    SkipBlanks();
    std::string rest = text_.substr(at_);
    at_ = text_.size();
    return rest;
  }

 private:
  void SkipBlanks() {
    while (at_ < text_.size() && text_[at_] == ' ') ++at_;
  }
  const std::string& text_;
  size_t at_ = 0;
};

bool HexNumber(const std::string& word, size_t digits, uint32_t& value) {
  if (word.empty() || (digits != 0 && word.size() != digits) || word.size() > 8) return false;
  value = 0;
  for (const char c : word) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return true;
}

bool Decimal(const std::string& word, uint32_t& value) {
  if (word.empty() || word.size() > 9 ||
      word.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 10));
  return true;
}

// "0.123": seconds since the start, never negative.
bool Seconds(const std::string& word, double& seconds) {
  if (word.empty() || word.find_first_not_of("0123456789.") != std::string::npos) return false;
  char* end = nullptr;
  seconds = std::strtod(word.c_str(), &end);
  return end == word.c_str() + word.size();
}

// W, R, D: the report ID, then the bytes; an R line may end with a note, a W
// line with the failed-write mark.
bool ReadReport(FieldReader& fields, RecordLine& line) {
  uint32_t value = 0;
  if (!HexNumber(fields.Word(), 2, value)) return false;
  line.report_id = static_cast<uint8_t>(value);
  while (!fields.AtEnd()) {
    const std::string word = fields.Word();
    if (!HexNumber(word, 2, value)) {
      if (line.kind == RecordKind::kWritten) {
        line.write_failed = word + " " + fields.Rest() == kWriteFailedMark;
        return line.write_failed;
      }
      fields.Rest();  // the tool's note on an oversized frame
      return true;
    }
    line.bytes.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

// + and -: 0168:0821 in=65 out=65 port="1-1" node="/dev/hidraw3" (in and out with + only).
bool ReadInterface(FieldReader& fields, RecordLine& line) {
  const std::string ids = fields.Word();
  uint32_t vendor = 0;
  uint32_t product = 0;
  if (ids.size() != 9 || ids[4] != ':' || !HexNumber(ids.substr(0, 4), 4, vendor) ||
      !HexNumber(ids.substr(5), 4, product)) {
    return false;
  }
  line.vendor_id = static_cast<uint16_t>(vendor);
  line.product_id = static_cast<uint16_t>(product);
  if (line.kind == RecordKind::kArrival) {
    std::string in;
    std::string out;
    uint32_t in_bytes = 0;
    uint32_t out_bytes = 0;
    if (!fields.Keyed("in", in) || !fields.Keyed("out", out) || !Decimal(in, in_bytes) ||
        !Decimal(out, out_bytes) || in_bytes > 0xFFFF || out_bytes > 0xFFFF) {
      return false;
    }
    line.input_bytes = static_cast<uint16_t>(in_bytes);
    line.output_bytes = static_cast<uint16_t>(out_bytes);
  }
  return fields.Keyed("port", line.port) && fields.Keyed("node", line.node) && fields.AtEnd();
}

bool ReadBody(FieldReader& fields, RecordLine& line) {
  uint32_t value = 0;
  switch (line.kind) {
    case RecordKind::kWritten:
    case RecordKind::kRead:
    case RecordKind::kDropped:
      return ReadReport(fields, line);
    case RecordKind::kArrival:
    case RecordKind::kRemoval:
      return ReadInterface(fields, line);
    case RecordKind::kReadError:
      if (!Decimal(fields.Word(), value)) return false;
      line.error = value;
      return fields.Quoted(line.name) && fields.AtEnd();
    case RecordKind::kWait:
      line.name = fields.Word();
      return !line.name.empty() && fields.AtEnd();
    case RecordKind::kMessage:
      line.name = fields.Word();
      return !line.name.empty() && fields.Quoted(line.text) && fields.AtEnd();
    case RecordKind::kStep:
      return fields.Quoted(line.text) && fields.AtEnd();
    case RecordKind::kEnd:
      if (!Decimal(fields.Word(), value) || value > 255) return false;
      line.exit_code = static_cast<int>(value);
      line.name = fields.Word();
      return fields.AtEnd();
  }
  return false;
}

bool KnownKind(char letter) {
  switch (static_cast<RecordKind>(letter)) {
    case RecordKind::kWritten:
    case RecordKind::kRead:
    case RecordKind::kDropped:
    case RecordKind::kArrival:
    case RecordKind::kRemoval:
    case RecordKind::kReadError:
    case RecordKind::kWait:
    case RecordKind::kMessage:
    case RecordKind::kStep:
    case RecordKind::kEnd:
      return true;
  }
  return false;
}

// "# key value" lines of the header.
std::optional<std::string> ReadHeaderField(Recording& recording, const std::string& text) {
  FieldReader fields(text);
  fields.Word();  // '#'
  const std::string key = fields.Word();
  if (key == "tool") {
    recording.tool_version = fields.Word();
  } else if (key == "images") {
    if (!fields.Keyed("mcu-crc32", recording.mcu_crc32) ||
        !fields.Keyed("dsp-crc32", recording.dsp_crc32)) {
      return "expected images mcu-crc32=... dsp-crc32=...";
    }
  } else if (key == "platform") {
    recording.system = fields.Word();
    recording.bus = fields.Word();
    if (recording.system != "linux" && recording.system != "windows") {
      return "unknown platform " + recording.system + " (linux or windows)";
    }
  } else if (key == "pace") {
    uint32_t pace = 0;
    if (!Decimal(fields.Word(), pace) || pace < 1 || pace > 1000) return "expected pace 1 to 1000";
    recording.pace = static_cast<int>(pace);
  } else if (key == "timeout") {
    double seconds = 0;
    if (!Seconds(fields.Word(), seconds)) return "expected timeout SECONDS";
    recording.timeout_seconds = seconds;
  }
  // Other keys are notes for the reader of the file.
  return std::nullopt;
}

}  // namespace

std::optional<int> Recording::ExitCode() const {
  if (lines.empty() || lines.back().kind != RecordKind::kEnd) return std::nullopt;
  return lines.back().exit_code;
}

std::variant<Recording, RecordingError> ParseRecording(std::istream& in) {
  Recording recording;
  std::string text;
  // Lines may end in CR LF: a recording made on Windows.
  const auto next_line = [&in](std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  };
  if (!next_line(text) || !text.starts_with(kFirstLinePrefix)) {
    return RecordingError{1, "not a recording: its first line is not \"" +
                                 std::string(kFirstLinePrefix) +
                                 "N\" (a trace written before traces were recordings cannot be "
                                 "replayed; record the run again with this version)"};
  }
  uint32_t version = 0;
  if (!Decimal(text.substr(std::string(kFirstLinePrefix).size()), version)) {
    return RecordingError{1, "the recording's format version is not a number"};
  }
  recording.version = static_cast<int>(version);
  if (recording.version != kRecordingFormatVersion) {
    return RecordingError{1, "a recording of format " + std::to_string(version) +
                                 "; this version of kv93t-update replays format " +
                                 std::to_string(kRecordingFormatVersion)};
  }
  size_t number = 1;
  bool ended = false;
  while (next_line(text)) {
    ++number;
    if (text.empty()) continue;
    if (text[0] == '#') {
      if (!recording.lines.empty()) continue;  // a note further down
      if (auto error = ReadHeaderField(recording, text)) return RecordingError{number, *error};
      continue;
    }
    if (ended) return RecordingError{number, "a line after the end line (X)"};
    RecordLine line;
    line.line_number = number;
    FieldReader fields(text);
    const std::string stamp = fields.Word();
    if (!Seconds(stamp, line.seconds)) {
      return RecordingError{number,
                            "expected the seconds since the start, found \"" + stamp + "\""};
    }
    const std::string letter = fields.Word();
    if (letter.size() != 1 || !KnownKind(letter[0])) {
      return RecordingError{number, "unknown line kind \"" + letter + "\""};
    }
    line.kind = static_cast<RecordKind>(letter[0]);
    if (!ReadBody(fields, line)) return RecordingError{number, "malformed " + letter + " line"};
    if (!recording.lines.empty() && line.seconds < recording.lines.back().seconds) {
      return RecordingError{number, "its time is earlier than the line before"};
    }
    ended = line.kind == RecordKind::kEnd;
    recording.lines.push_back(std::move(line));
  }
  if (recording.system.empty()) {
    return RecordingError{0, "the header names no platform (# platform linux|windows BUS)"};
  }
  return recording;
}

std::string BytesText(const std::vector<uint8_t>& bytes, std::optional<size_t> mark) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char hex[8];
    const bool marked = mark && *mark == i;
    std::snprintf(hex, sizeof hex, marked ? "[%02X]" : "%02X", static_cast<unsigned>(bytes[i]));
    if (i > 0) text += ' ';
    text += hex;
  }
  return text;
}

}  // namespace kv::sim
