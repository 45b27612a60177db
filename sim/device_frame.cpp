#include "sim/device_frame.h"

#include <algorithm>
#include <cstdio>

#include "sim/unit_protocol.h"

namespace kv::sim {
namespace {

constexpr size_t kLengthOffset = 4;
constexpr size_t kCodeOffset = 5;
constexpr size_t kPayloadOffset = 6;

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
  return text;
}

}  // namespace

uint8_t XorOf(const uint8_t* bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum ^= bytes[i];
  return sum;
}

std::vector<uint8_t> BuildDeviceFrame(uint8_t code, const std::vector<uint8_t>& payload) {
  size_t payload_bytes = std::min(payload.size(), kMaxFrameLength - 1);
  std::vector<uint8_t> frame(payload_bytes + kFrameFixedBytes + 1);
  frame[0] = kFrameDle;
  frame[1] = kFrameStx;
  frame[2] = kUnitAddress;
  frame[3] = kHostAddress;
  frame[kLengthOffset] = static_cast<uint8_t>(payload_bytes + 1);
  frame[kCodeOffset] = code;
  std::copy_n(payload.begin(), payload_bytes, frame.begin() + kPayloadOffset);
  frame[kPayloadOffset + payload_bytes] = kFrameDle;
  frame[kPayloadOffset + payload_bytes + 1] = kFrameEtx;
  frame.back() = XorOf(frame.data(), frame.size() - 1);
  return frame;
}

HostFrame ReadHostFrame(const uint8_t* data, size_t count) {
  HostFrame frame;
  if (count < kFrameFixedBytes + 1 || data[0] != kFrameDle || data[1] != kFrameStx) {
    frame.status = HostFrameStatus::kNotAFrame;
    frame.problem = "not a run-mode frame";
    return frame;
  }
  if (data[2] != kHostAddress || data[3] != kUnitAddress) {
    frame.status = HostFrameStatus::kBadAddress;
    frame.problem = "frame from " + Hex2(data[2]) + " to " + Hex2(data[3]) + ", expected from " +
                    Hex2(kHostAddress) + " to " + Hex2(kUnitAddress);
    return frame;
  }
  size_t length = data[kLengthOffset];
  size_t frame_bytes = length + kFrameFixedBytes;
  if (length == 0 || length > kMaxFrameLength || frame_bytes > count) {
    frame.status = HostFrameStatus::kBadLength;
    frame.problem = "frame length byte " + std::to_string(length) + " outside 1.." +
                    std::to_string(kMaxFrameLength);
    return frame;
  }
  if (data[length + 5] != kFrameDle || data[length + 6] != kFrameEtx) {
    frame.status = HostFrameStatus::kBadLength;
    frame.problem =
        "frame trailer not at the place its length byte " + std::to_string(length) + " gives";
    return frame;
  }
  uint8_t expected = XorOf(data, length + 7);
  if (data[length + 7] != expected) {
    frame.status = HostFrameStatus::kBadChecksum;
    frame.code = data[kCodeOffset];
    frame.problem = "frame checksum " + Hex2(data[length + 7]) + ", expected " + Hex2(expected) +
                    " (command " + Hex2(data[kCodeOffset]) + ")";
    return frame;
  }
  frame.status = HostFrameStatus::kValid;
  frame.code = data[kCodeOffset];
  frame.payload.assign(data + kPayloadOffset, data + kPayloadOffset + (length - 1));
  return frame;
}

}  // namespace kv::sim
