// ParseMcuImage over any text a firmware file could hold, with any bound, then
// the dump "Mcu Prog" makes of the result.
//
// Input: three bytes of bound (little-endian), then the text, split into lines at
// '\n' (a '\r' before it is dropped). Checked: nothing outside the bound is
// written, at most one message and only for a checksum error, the parse is
// repeatable, and the dump covers exactly the counted bytes inside the buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "image/firmware_image.h"
#include "image/image_dump.h"
#include "image/mcu_image.h"

namespace {

constexpr size_t kBoundBytes = 3;
constexpr size_t kDumpLineChars = 78;
constexpr size_t kDumpBytesPerLine = 16;
// Bytes above the bound must keep this pattern through a parse.
constexpr uint8_t kUntouched = 0xA5;

kv::FirmwareImage& ParsedImage() {
  static kv::FirmwareImage image;  // 70 KiB: off the stack
  return image;
}

kv::FirmwareImage& RepeatedImage() {
  static kv::FirmwareImage image;
  return image;
}

std::vector<std::string> SplitLines(const uint8_t* text, size_t size) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < size; ++i) {
    if (text[i] != '\n') {
      line += static_cast<char>(text[i]);
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    line.clear();
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

struct ParseResult {
  kv::McuParseOutcome outcome;
  std::vector<std::string> messages;
};

ParseResult Parse(kv::FirmwareImage& image, uint32_t bound, const std::vector<const char*>& table) {
  ParseResult result{};
  result.outcome = kv::ParseMcuImage(
      image, bound, table, [&result](const std::string& text) { result.messages.push_back(text); });
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kBoundBytes) return 0;
  const uint32_t bound = data[0] | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16;
  const std::vector<std::string> lines = SplitLines(data + kBoundBytes, size - kBoundBytes);
  std::vector<const char*> table;
  table.reserve(lines.size());
  for (const std::string& line : lines) table.push_back(line.c_str());

  kv::FirmwareImage& image = ParsedImage();
  const size_t usableBound = std::min<size_t>(bound, kv::kImageBufferBytes);
  std::fill(image.ImageBuffer.begin(), image.ImageBuffer.end(), kUntouched);
  image.ImageByteCount = -1;

  const ParseResult first = Parse(image, bound, table);

  KV_FUZZ_REQUIRE(std::all_of(image.ImageBuffer.begin() + static_cast<std::ptrdiff_t>(usableBound),
                              image.ImageBuffer.end(),
                              [](uint8_t byte) { return byte == kUntouched; }));
  KV_FUZZ_REQUIRE(image.ImageByteCount >= 0);
  if (first.outcome == kv::McuParseOutcome::ChecksumError) {
    KV_FUZZ_REQUIRE(first.messages.size() == 1);
    KV_FUZZ_REQUIRE(first.messages[0] == kv::kChecksumErrorMessage);
  } else {
    KV_FUZZ_REQUIRE(first.messages.empty());
  }
  if (lines.empty()) KV_FUZZ_REQUIRE(first.outcome == kv::McuParseOutcome::NoEndOfFile);

  // Nothing of one parse outlasts the next: a second parse over a buffer holding
  // other bytes gives the same image.
  kv::FirmwareImage& again = RepeatedImage();
  std::fill(again.ImageBuffer.begin(), again.ImageBuffer.end(), kUntouched);
  const ParseResult second = Parse(again, bound, table);
  KV_FUZZ_REQUIRE(second.outcome == first.outcome);
  KV_FUZZ_REQUIRE(second.messages == first.messages);
  KV_FUZZ_REQUIRE(again.ImageByteCount == image.ImageByteCount);
  KV_FUZZ_REQUIRE(
      std::equal(image.ImageBuffer.begin(), image.ImageBuffer.end(), again.ImageBuffer.begin()));

  // What "Mcu Prog" shows in the Program Data window.
  const std::string dump = kv::DumpImage(image.ImageBuffer, image.ImageByteCount, 0);
  const size_t dumped =
      std::min<size_t>(static_cast<size_t>(image.ImageByteCount), image.ImageBuffer.size());
  // A short last line lacks the characters of its missing bytes.
  const size_t missing = (kDumpBytesPerLine - dumped % kDumpBytesPerLine) % kDumpBytesPerLine;
  const size_t dumpLines = (dumped + kDumpBytesPerLine - 1) / kDumpBytesPerLine;
  KV_FUZZ_REQUIRE(dump.size() == dumpLines * kDumpLineChars - missing);
  return 0;
}
