#include "engine/report_traffic.h"

#include <algorithm>

#include "link/lcmd.h"

namespace kv {

namespace {

// The first four data bytes of a frame the unit sends: DLE STX, sender 01, receiver 00.
enum TDeviceFrameStart : uint8_t {
  dfDle = frDle,
  dfStx = frStx,
  dfSender = 0x01,
  dfReceiver = frHostAddress,
};
constexpr size_t kIspEchoOffset = 0;

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& line, uint8_t byte) {
  line += kHexDigits[byte >> 4];
  line += kHexDigits[byte & 0x0F];
}

}  // namespace

std::string TrafficLine(TTrafficDirection direction, uint8_t reportId,
                        std::span<const uint8_t> bytes) {
  std::string line;
  line.reserve(5 + 3 * bytes.size());
  line += static_cast<char>(direction);
  line += ' ';
  AppendHexByte(line, reportId);
  line += "  ";
  for (uint8_t byte : bytes) {
    AppendHexByte(line, byte);
    line += ' ';
  }
  return line;
}

TInputReportData InputReportData(const uint8_t* data, size_t size) {
  TInputReportData report{};
  if (data != nullptr) std::copy_n(data, std::min(size, report.size()), report.begin());
  return report;
}

bool IsDeviceFrame(const TInputReportData& data) {
  return data[0] == dfDle && data[1] == dfStx && data[2] == dfSender && data[3] == dfReceiver;
}

TInputMessage MessageOfReport(const TInputReportData& data) {
  TInputMessage message;
  message.Bytes = data.size();
  if (!IsDeviceFrame(data)) return message;
  message.ClaimedLength = data[kFrameLengthOffset];
  if (message.ClaimedLength > kLargestFrameLength) {
    message.Oversized = true;
    message.Bytes = 0;
    return message;
  }
  message.Bytes = FrameBytesForLength(message.ClaimedLength);
  return message;
}

std::string OversizedFrameNote(uint8_t claimedLength) {
  return "-- dropped: frame length " + std::to_string(claimedLength) + " exceeds the report";
}

bool EchoesRequest(const TInputReportData& data, uint32_t requestSum) {
  return ReadLe32(data, kIspEchoOffset) == requestSum;
}

}  // namespace kv
