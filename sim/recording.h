// A recording: the trace kv93t-update writes with --trace, read back so that a
// recorded unit can play it (RecordedUnit). The format is the README's ("The
// trace"); this reader is written from it alone and shares nothing with the
// tool's writer, so that a fault in one is caught by the other.
//
//   # kv93t-update recording 1
//   # tool 1.2.0
//   # images mcu-crc32=1A2B3C4D dsp-crc32=5E6F7081
//   # platform linux hidraw
//   # pace 1
//   0.004 + 0168:0821 in=65 out=65 port=1-1 node=/dev/hidraw3
//   0.005 W 00  10 02 00 01 01 10 10 03 11
//   0.007 R 00  10 02 01 00 03 10 33 01 10 03 21
//   ...
//   29.871 X 0 updated
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kv::sim {

// The one format version this reader plays.
inline constexpr int kRecordingFormatVersion = 1;

enum class RecordKind : char {
  kWritten = 'W',    // a report the tool wrote; bytes without the report ID
  kRead = 'R',       // a report the unit sent, handed on by the tool
  kDropped = 'D',    // a report the unit sent, dropped by the tool
  kArrival = '+',    // an interface of the unit appeared
  kRemoval = '-',    // ... and left
  kReadError = 'E',  // a read failed with a system error code
  kWait = 'P',       // one of the tool's planned waits started
  kMessage = 'M',    // the tool showed a message box
  kStep = 'S',       // the tool's status bar named a new step
  kEnd = 'X',        // the run ended with an exit code
};

struct RecordLine {
  size_t line_number = 0;  // in the file, from 1
  double seconds = 0;      // since the start of the run
  RecordKind kind = RecordKind::kWritten;
  uint8_t report_id = 0;
  std::vector<uint8_t> bytes;  // W, R, D
  bool write_failed = false;   // W: the device did not take it
  // + and -: the interface.
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t input_bytes = 0;  // +: report lengths with the report ID; 0 when not known
  uint16_t output_bytes = 0;
  std::string port;
  std::string node;
  uint32_t error = 0;  // E: the system's code
  int exit_code = 0;   // X
  // E: the system's text; P: the wait; M: the message's name; S: the step text.
  std::string name;
  std::string text;  // M: the message text
};

struct Recording {
  int version = 0;
  std::string tool_version;
  std::string mcu_crc32;  // as written: 8 hexadecimal digits
  std::string dsp_crc32;
  std::string system;  // "linux" or "windows": whose error codes the recording speaks
  std::string bus;     // "hidraw", "hid", "simulated"
  int pace = 1;        // the tool's timing was divided by this
  std::optional<double> timeout_seconds;  // the run's --timeout, when it had one
  std::vector<RecordLine> lines;

  // The X line's exit code; empty when the recording was cut before the run ended.
  std::optional<int> ExitCode() const;
};

struct RecordingError {
  size_t line_number = 0;  // 0: the file as a whole
  std::string text;
};

// Reads a whole recording; a trace without the header (written before
// recordings had one) or of another format version is refused, never misread.
std::variant<Recording, RecordingError> ParseRecording(std::istream& in);

// "10 02 00 ..." with the first byte at `mark` set in brackets: "10 [03] 00".
std::string BytesText(const std::vector<uint8_t>& bytes, std::optional<size_t> mark = {});

}  // namespace kv::sim
