#include "image/image_dump.h"

#include <algorithm>

namespace kv {

namespace {

constexpr size_t kBytesPerLine = 16;
constexpr size_t kLineChars = 78;
constexpr char kHexDigits[] = "0123456789ABCDEF";

char Printable(uint8_t byte) {
  return (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
}

void AppendLine(std::string& text, const uint8_t* bytes, size_t count, uint32_t address) {
  char line[kLineChars];
  char* out = line;
  for (int shift = 28; shift >= 0; shift -= 4) *out++ = kHexDigits[(address >> shift) & 0xF];
  *out++ = ' ';
  *out++ = ' ';
  for (size_t i = 0; i < kBytesPerLine; ++i) {
    if (i < count) {
      *out++ = kHexDigits[bytes[i] >> 4];
      *out++ = kHexDigits[bytes[i] & 0xF];
    } else {
      *out++ = ' ';
      *out++ = ' ';
    }
    *out++ = ' ';
  }
  *out++ = ';';
  *out++ = ' ';
  for (size_t i = 0; i < count; ++i) *out++ = Printable(bytes[i]);
  *out++ = '\r';
  *out++ = '\n';
  text.append(line, static_cast<size_t>(out - line));
}

}  // namespace

std::string DumpImage(std::span<const uint8_t> bytes, int32_t n, uint32_t baseAddress) {
  if (n <= 0) return {};
  const size_t count = std::min(bytes.size(), static_cast<size_t>(n));
  std::string text;
  text.reserve((count + kBytesPerLine - 1) / kBytesPerLine * kLineChars);
  for (size_t offset = 0; offset < count; offset += kBytesPerLine) {
    const size_t lineBytes = std::min(kBytesPerLine, count - offset);
    AppendLine(text, bytes.data() + offset, lineBytes, baseAddress + static_cast<uint32_t>(offset));
  }
  return text;
}

}  // namespace kv
