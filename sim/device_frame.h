// The unit's side of the run-mode frame: it reads and checks the frames the host
// sends (sender 00, receiver 01) and builds its own (sender 01, receiver 00):
//   10 02 <sender> <receiver> L <code> <L-1 payload bytes> 10 03 <xor of all bytes before>
// This is the unit's own code, kept apart from the tool's frame builder, so that
// a mistake there shows up here as a rejected frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv::sim {

inline constexpr uint8_t kUnitAddress = 0x01;
inline constexpr uint8_t kHostAddress = 0x00;
// One frame fills at most the 64 data bytes of one report.
inline constexpr size_t kFrameReportBytes = 64;
inline constexpr size_t kFrameFixedBytes = 8;  // DLE STX from to L ... DLE ETX sum
inline constexpr size_t kMaxFrameLength = kFrameReportBytes - kFrameFixedBytes;  // largest L

// XOR of the bytes: a frame's checksum over everything before it.
uint8_t XorOf(const uint8_t* bytes, size_t count);

// The unit's answer frame. A payload that could not travel in one report is cut
// to the largest that can.
std::vector<uint8_t> BuildDeviceFrame(uint8_t code, const std::vector<uint8_t>& payload);

enum class HostFrameStatus {
  kValid,
  kNotAFrame,   // does not begin with DLE STX, or too short to be one
  kBadAddress,  // sender is not the host, or receiver is not this unit
  kBadLength,   // L is 0, above kMaxFrameLength, or the trailer is not where L puts it
  kBadChecksum,
};

struct HostFrame {
  HostFrameStatus status = HostFrameStatus::kNotAFrame;
  uint8_t code = 0;
  std::vector<uint8_t> payload;
  std::string problem;  // for the violation log; empty when valid
};

// Reads one host frame from the start of a report's data bytes (report ID removed).
HostFrame ReadHostFrame(const uint8_t* data, size_t count);

}  // namespace kv::sim
