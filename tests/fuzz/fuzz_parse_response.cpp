// ParseResponse over whatever bytes the link could hand it, and the frame round
// trip: any packet the tool can frame comes back from ParseResponse unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "link/lcmd.h"

namespace {

using kv::ByteBuffer;
using kv::TCmdPacket;

using kv::kFrameCodeOffset;
using kv::kFrameLengthOffset;
using kv::kFramePayloadOffset;
using kv::kFrameSenderOffset;
using kv::kFrameTrailerBytes;
constexpr uint8_t kDeviceAddress = 0x01;

bool SameBytes(const ByteBuffer& bytes, const uint8_t* expected, size_t count) {
  return bytes.size() == count && std::equal(bytes.begin(), bytes.end(), expected);
}

// A frame: the payload is what lies between the code and the trailer, never more
// than L - 1 bytes, and never a byte from outside the buffer.
void CheckFrameParse(const uint8_t* data, size_t size, const TCmdPacket& packet) {
  KV_FUZZ_REQUIRE(packet.Value == 0);
  KV_FUZZ_REQUIRE(packet.Unit == data[kFrameSenderOffset]);
  const size_t betweenCodeAndTrailer = size >= kFramePayloadOffset + kFrameTrailerBytes
                                           ? size - kFramePayloadOffset - kFrameTrailerBytes
                                           : 0;
  const size_t declared = data[kFrameLengthOffset] == 0 ? 0 : data[kFrameLengthOffset] - 1u;
  KV_FUZZ_REQUIRE(SameBytes(packet.Payload, data + std::min(size, kFramePayloadOffset),
                            std::min(betweenCodeAndTrailer, declared)));
  if (size > kFrameCodeOffset) KV_FUZZ_REQUIRE(packet.Code == data[kFrameCodeOffset]);
}

// A raw report: Value is bytes 0-3 little-endian (missing bytes 0), the payload
// bytes 4 to 63 as far as they exist.
void CheckRawParse(const uint8_t* data, size_t size, const TCmdPacket& packet) {
  uint32_t value = 0;
  for (size_t i = 0; i < std::min<size_t>(size, kv::kRawValueBytes); ++i) {
    value |= uint32_t{data[i]} << (8 * i);
  }
  KV_FUZZ_REQUIRE(packet.Value == value);
  KV_FUZZ_REQUIRE(packet.Unit == 0 && packet.Code == 0);
  const size_t payloadEnd = std::min(size, kv::kReportDataBytes);
  const size_t payloadBytes = payloadEnd > kv::kRawValueBytes ? payloadEnd - kv::kRawValueBytes : 0;
  KV_FUZZ_REQUIRE(
      SameBytes(packet.Payload, data + std::min(size, kv::kRawValueBytes), payloadBytes));
}

// The input read as a packet: unit, code, then the payload.
void CheckRoundTrip(const uint8_t* data, size_t size) {
  if (size < 2) return;
  TCmdPacket packet(data[0], data[1]);
  packet.Payload.append(data + 2, size - 2);

  KV_FUZZ_REQUIRE(kv::BuildFrame(packet, kv::pkRaw) == packet.Payload);
  KV_FUZZ_REQUIRE(kv::BuildFrame(packet, 2).empty());
  const ByteBuffer frame = kv::BuildFrame(packet, kv::pkFramed);
  if (packet.Payload.size() > kv::kMaxFramePayloadBytes) {
    KV_FUZZ_REQUIRE(frame.empty());
    return;
  }
  // L = payload + 1; the frame is L + 8 bytes.
  KV_FUZZ_REQUIRE(frame.size() == packet.Payload.size() + 1 + kv::kFrameOverheadBytes);
  KV_FUZZ_REQUIRE(frame.size() <= kv::kReportDataBytes);
  KV_FUZZ_REQUIRE(kv::HasFrameShape(frame));
  uint8_t checksum = 0;
  for (size_t i = 0; i + 1 < frame.size(); ++i) checksum ^= frame[i];
  KV_FUZZ_REQUIRE(frame[frame.size() - 1] == checksum);

  const TCmdPacket parsed = kv::ParseResponse(frame);
  KV_FUZZ_REQUIRE(parsed.Unit == kv::frHostAddress);
  KV_FUZZ_REQUIRE(parsed.Code == packet.Code);
  KV_FUZZ_REQUIRE(parsed.Payload == packet.Payload);

  // The same frame as the unit would send it comes back with the unit as sender.
  ByteBuffer answer = frame;
  answer[kFrameSenderOffset] = kDeviceAddress;
  answer[kv::kFrameReceiverOffset] = kv::frHostAddress;
  const TCmdPacket fromUnit = kv::ParseResponse(answer);
  KV_FUZZ_REQUIRE(fromUnit.Unit == kDeviceAddress);
  KV_FUZZ_REQUIRE(fromUnit.Code == packet.Code && fromUnit.Payload == packet.Payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TCmdPacket packet = kv::ParseResponse(data, size);
  if (kv::HasFrameShape(data, size)) {
    CheckFrameParse(data, size, packet);
  } else {
    CheckRawParse(data, size, packet);
  }
  KV_FUZZ_REQUIRE(kv::ParseResponse(ByteBuffer(data, size)).Payload == packet.Payload);
  CheckRoundTrip(data, size);
  return 0;
}
