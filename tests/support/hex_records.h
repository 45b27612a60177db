// Intel HEX record lines made for a test, and tables of them in the form the
// embedded image takes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kv::test {

inline std::string HexRecord(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                                type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t byte : bytes) sum = static_cast<uint8_t>(sum + byte);
  bytes.push_back(static_cast<uint8_t>(-sum));
  std::string line = ":";
  char digits[3];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    line += digits;
  }
  return line;
}

inline std::string DataRecord(uint16_t offset, const std::vector<uint8_t>& data) {
  return HexRecord(0x00, offset, data);
}

inline std::string UpperRecord(uint8_t type, uint16_t upper) {
  return HexRecord(type, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}

inline constexpr const char* kEndOfFileRecord = ":00000001FF";

inline std::string WithBadChecksum(std::string line) {
  line.back() = line.back() == '0' ? '1' : '0';
  return line;
}

// Each line in an allocation of exactly its length plus the NUL, so that the address
// sanitizer catches a parser that reads past the end of a line.
class HexTable {
 public:
  HexTable(std::initializer_list<std::string> lines) {
    for (const std::string& line : lines) Add(line);
  }
  explicit HexTable(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) Add(line);
  }
  HexTable(const HexTable&) = delete;
  HexTable& operator=(const HexTable&) = delete;
  std::span<const char* const> Lines() const { return pointers_; }

 private:
  void Add(const std::string& line) {
    storage_.push_back(std::make_unique<char[]>(line.size() + 1));
    std::memcpy(storage_.back().get(), line.c_str(), line.size() + 1);
    pointers_.push_back(storage_.back().get());
  }

  std::vector<std::unique_ptr<char[]>> storage_;
  std::vector<const char*> pointers_;
};

}  // namespace kv::test
