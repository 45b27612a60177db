#include "link/lcmd.h"

#include <algorithm>

namespace kv {

namespace {

ByteBuffer BuildRunModeFrame(const TCmdPacket& packet) {
  const size_t payloadSize = packet.Payload.size();
  ByteBuffer frame;
  frame.reserve(payloadSize + kFrameOverheadBytes);
  uint8_t checksum = 0;
  auto put = [&](uint8_t byte) {
    frame.push_back(byte);
    checksum ^= byte;
  };
  put(frDle);
  put(frStx);
  put(frHostAddress);
  put(packet.Unit);
  put(static_cast<uint8_t>((payloadSize + 1) & 0xFF));  // L, taken modulo 256
  put(packet.Code);
  for (uint8_t byte : packet.Payload) put(byte);
  put(frDle);
  put(frEtx);
  frame.push_back(checksum);
  return frame;
}

TCmdPacket ParseFrame(const uint8_t* bytes, size_t count) {
  TCmdPacket packet;
  packet.Unit = bytes[kFrameSenderOffset];  // the shape test guarantees count >= 4
  if (count <= kFrameCodeOffset) return packet;
  packet.Code = bytes[kFrameCodeOffset];
  const size_t declaredEnd = kFrameCodeOffset + bytes[kFrameLengthOffset];
  const size_t payloadEnd = std::min(declaredEnd, count - kFrameTrailerBytes);
  if (payloadEnd > kFramePayloadOffset) {
    packet.Payload.append(bytes + kFramePayloadOffset, payloadEnd - kFramePayloadOffset);
  }
  return packet;
}

TCmdPacket ParseRawReport(const uint8_t* bytes, size_t count) {
  TCmdPacket packet;
  const size_t valueBytes = std::min(count, kRawValueBytes);
  for (size_t i = 0; i < valueBytes; ++i) packet.Value |= uint32_t{bytes[i]} << (8 * i);
  const size_t payloadEnd = std::min(count, kReportDataBytes);
  if (payloadEnd > kRawValueBytes) {
    packet.Payload.append(bytes + kRawValueBytes, payloadEnd - kRawValueBytes);
  }
  return packet;
}

}  // namespace

TCmdPacket TCmdPacket::Raw(const uint8_t* bytes, size_t count) {
  TCmdPacket packet;
  if (bytes != nullptr) packet.Payload.append(bytes, count);
  return packet;
}

ByteBuffer BuildFrame(const TCmdPacket& packet, int mode) {
  switch (mode) {
    case pkRaw:
      return packet.Payload;
    case pkFramed:
      if (packet.Payload.size() > kMaxFramePayloadBytes) return {};
      return BuildRunModeFrame(packet);
    default:
      return {};
  }
}

bool HasFrameShape(const uint8_t* bytes, size_t count) {
  if (bytes == nullptr || count < 4) return false;
  return bytes[0] == frDle && bytes[1] == frStx && bytes[count - 3] == frDle &&
         bytes[count - 2] == frEtx;
}

bool HasFrameShape(const ByteBuffer& bytes) {
  return HasFrameShape(bytes.data(), bytes.size());
}

TCmdPacket ParseResponse(const uint8_t* bytes, size_t count) {
  if (bytes == nullptr) return {};
  if (HasFrameShape(bytes, count)) return ParseFrame(bytes, count);
  return ParseRawReport(bytes, count);
}

TCmdPacket ParseResponse(const ByteBuffer& bytes) {
  return ParseResponse(bytes.data(), bytes.size());
}

}  // namespace kv
