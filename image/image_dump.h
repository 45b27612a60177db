// The hex-dump text of an image, as the Program Data window shows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kv {

// One line of 78 characters per 16 bytes:
//   "%08X  " address, 16 x "%02X ", "; ", 16 characters (0x20-0x7E as themselves,
//   anything else "."), "\r\n"
// A short last line is padded with 3 spaces per missing byte before "; ", so the
// columns line up. Dumps the first n bytes (no more than the sequence holds); n <= 0
// gives an empty text. Addresses are base + offset, modulo 2^32.
std::string DumpImage(std::span<const uint8_t> bytes, int32_t n, uint32_t baseAddress);

}  // namespace kv
