#include "sim/hex_image.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kv::sim {
namespace {

// Record types the reader acts on.
enum HexRecordType : uint8_t {
  kHexData = 0x00,
  kHexEndOfFile = 0x01,
  kHexExtendedSegment = 0x02,  // upper address × 16
  kHexExtendedLinear = 0x04,   // upper address × 65,536
};

// ':' count(2) address(4) type(2) ... checksum(2)
constexpr size_t kHexHeaderChars = 9;
constexpr size_t kHexChecksumChars = 2;

std::optional<uint8_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return std::nullopt;
}

// The record's bytes after the ':' (count, address, type, data, checksum).
std::optional<std::vector<uint8_t>> RecordBytes(const char* line, size_t length) {
  if (length < kHexHeaderChars + kHexChecksumChars || line[0] != ':' || (length - 1) % 2 != 0) {
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i + 1 < length; i += 2) {
    std::optional<uint8_t> high = HexDigit(line[i]);
    std::optional<uint8_t> low = HexDigit(line[i + 1]);
    if (!high || !low) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(*high << 4 | *low));
  }
  // count + address + type + data + checksum
  if (bytes.size() != 5u + bytes[0]) return std::nullopt;
  return bytes;
}

}  // namespace

HexImage ReadHexImage(std::span<const char* const> lines, uint32_t bound) {
  HexImage image;
  std::vector<uint8_t> flash(bound, 0);
  uint64_t program_length = 0;
  uint64_t upper_base = 0;
  for (size_t number = 1; number <= lines.size(); ++number) {
    const char* line = lines[number - 1];
    const std::string where = "line " + std::to_string(number);
    if (line == nullptr) {
      image.problem = where + ": missing";
      return image;
    }
    std::optional<std::vector<uint8_t>> record = RecordBytes(line, std::strlen(line));
    if (!record) {
      image.problem = where + ": not an Intel HEX record";
      return image;
    }
    const std::vector<uint8_t>& bytes = *record;
    const uint8_t count = bytes[0];
    const uint32_t offset = static_cast<uint32_t>(bytes[1]) << 8 | bytes[2];
    const uint8_t type = bytes[3];
    if (type == kHexEndOfFile) {
      image.complete = true;
      break;
    }
    if (type == kHexExtendedSegment || type == kHexExtendedLinear) {
      if (count != 2) {
        image.problem = where + ": an upper-address record without its 2 bytes";
        return image;
      }
      const uint64_t value = static_cast<uint64_t>(bytes[4]) << 8 | bytes[5];
      upper_base = type == kHexExtendedSegment ? value * 16 : value * 65536;
      continue;
    }
    if (type != kHexData) continue;
    uint8_t sum = 0;
    for (uint8_t byte : bytes) sum = static_cast<uint8_t>(sum + byte);
    if (sum != 0) {
      image.problem = where + ": checksum wrong";
      return image;
    }
    const uint64_t address = upper_base + offset;
    if (address + count > bound) {
      image.problem = where + ": data beyond the flash";
      return image;
    }
    std::copy_n(bytes.begin() + 4, count, flash.begin() + static_cast<long>(address));
    program_length += count;
  }
  if (!image.complete) {
    image.problem = "no end-of-file record";
    return image;
  }
  // The program length counts every stored record; records that overlap count twice.
  flash.resize(static_cast<size_t>(std::min<uint64_t>(program_length, bound)));
  image.bytes = std::move(flash);
  return image;
}

}  // namespace kv::sim
