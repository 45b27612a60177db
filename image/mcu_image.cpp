#include "image/mcu_image.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kv {

namespace {

// Intel HEX record types.
enum HexRecordType : uint32_t {
  recData = 0x00,
  recEndOfFile = 0x01,
  recExtendedSegmentAddress = 0x02,
  recExtendedLinearAddress = 0x04,
};

// Character positions in a record; ':' is position 0.
constexpr size_t kCountPosition = 1;
constexpr size_t kOffsetPosition = 3;
constexpr size_t kTypePosition = 7;
constexpr size_t kDataPosition = 9;
constexpr size_t kByteDigits = 2;
constexpr size_t kWordDigits = 4;
constexpr size_t kMaxHexFieldDigits = 8;

constexpr uint64_t kSegmentScale = 16;
constexpr uint64_t kLinearScale = 65536;

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

struct ParseState {
  uint32_t addressMode = 0;  // 0 none, else the type of the last 02 or 04 record
  uint64_t upperAddress = 0;
};

uint64_t RecordAddress(const ParseState& state, uint32_t offset) {
  switch (state.addressMode) {
    case recExtendedSegmentAddress:
      return state.upperAddress * kSegmentScale + offset;
    case recExtendedLinearAddress:
      return state.upperAddress * kLinearScale + offset;
    default:
      return offset;
  }
}

// Stores one data record. Returns the outcome that ends the parse, or nothing when the
// record was stored with a good checksum.
std::optional<McuParseOutcome> StoreDataRecord(FirmwareImage& image, uint32_t bound,
                                               std::string_view line, const ParseState& state,
                                               const ShowMessage& showMessage) {
  const uint32_t count = HexField(line, kCountPosition, kByteDigits);
  const uint32_t offset = HexField(line, kOffsetPosition, kWordDigits);
  uint8_t sum = static_cast<uint8_t>(count + recData + (offset >> 8) + (offset & 0xFF));
  const uint64_t address = RecordAddress(state, offset);
  if (address >= bound || address + count > bound) {
    return McuParseOutcome::BeyondBound;
  }
  image.ImageByteCount += static_cast<int32_t>(count);
  size_t position = kDataPosition;
  for (uint32_t i = 0; i < count; ++i, position += kByteDigits) {
    const uint8_t value = static_cast<uint8_t>(HexField(line, position, kByteDigits));
    image.ImageBuffer[address + i] = value;
    sum = static_cast<uint8_t>(sum + value);
  }
  const uint8_t expected = static_cast<uint8_t>(-sum);
  if (expected != HexField(line, position, kByteDigits)) {
    if (showMessage) showMessage(kChecksumErrorMessage);
    return McuParseOutcome::ChecksumError;
  }
  return std::nullopt;
}

}  // namespace

uint32_t HexField(std::string_view line, size_t position, size_t width) {
  uint32_t value = 0;
  const size_t digits = std::min(width, kMaxHexFieldDigits);
  for (size_t i = 0; i < digits && position + i < line.size(); ++i) {
    const int digit = HexDigitValue(line[position + i]);
    if (digit < 0) break;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return value;
}

McuParseOutcome ParseMcuImage(FirmwareImage& image, uint32_t bound,
                              std::span<const char* const> lines, const ShowMessage& showMessage) {
  const uint32_t usableBound =
      std::min<uint32_t>(bound, static_cast<uint32_t>(image.ImageBuffer.size()));
  image.ImageByteCount = 0;
  std::fill_n(image.ImageBuffer.begin(), usableBound, uint8_t{0});

  ParseState state;
  for (const char* text : lines) {
    if (text == nullptr || text[0] != ':') return McuParseOutcome::NotARecord;
    const std::string_view line(text, std::strlen(text));
    const uint32_t type = HexField(line, kTypePosition, kByteDigits);
    switch (type) {
      case recData:
        if (auto end = StoreDataRecord(image, usableBound, line, state, showMessage)) return *end;
        break;
      case recEndOfFile:
        return McuParseOutcome::Complete;
      case recExtendedSegmentAddress:
      case recExtendedLinearAddress:
        state.addressMode = type;
        state.upperAddress = HexField(line, kDataPosition, kWordDigits);
        break;
      default:  // 03, 05 and the rest carry nothing the image needs
        break;
    }
  }
  return McuParseOutcome::NoEndOfFile;
}

}  // namespace kv
