// ParseRecording over any text a user could hand --replay.
//
// Input: the file's bytes. Checked: a recording read is ordered in time and in
// line numbers, each line within the file's line count; a refusal names a line
// of the file; reading the same bytes again gives the same answer.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <variant>

#include "fuzz_check.h"
#include "sim/recording.h"

namespace {

std::variant<kv::sim::Recording, kv::sim::RecordingError> Parse(const std::string& text) {
  std::istringstream in(text);
  return kv::sim::ParseRecording(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t fileLines = 1;
  for (const char c : text) fileLines += c == '\n' ? 1 : 0;
  const auto parsed = Parse(text);
  if (const auto* error = std::get_if<kv::sim::RecordingError>(&parsed)) {
    KV_FUZZ_REQUIRE(error->line_number <= fileLines);
    KV_FUZZ_REQUIRE(!error->text.empty());
    KV_FUZZ_REQUIRE(std::get<kv::sim::RecordingError>(Parse(text)).text == error->text);
    return 0;
  }
  const kv::sim::Recording& recording = std::get<kv::sim::Recording>(parsed);
  KV_FUZZ_REQUIRE(recording.version == kv::sim::kRecordingFormatVersion);
  double seconds = 0;
  size_t number = 1;
  for (const kv::sim::RecordLine& line : recording.lines) {
    KV_FUZZ_REQUIRE(line.seconds >= seconds);
    KV_FUZZ_REQUIRE(line.line_number > number && line.line_number <= fileLines);
    KV_FUZZ_REQUIRE(line.bytes.size() <= text.size());
    KV_FUZZ_REQUIRE(kv::sim::BytesText(line.bytes, line.bytes.size() / 2).size() <=
                    4 * line.bytes.size() + 2);
    seconds = line.seconds;
    number = line.line_number;
  }
  KV_FUZZ_REQUIRE(std::get<kv::sim::Recording>(Parse(text)).lines.size() == recording.lines.size());
  return 0;
}
