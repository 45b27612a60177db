#include "engine/isp_report.h"

#include <algorithm>

#include "engine/update_state.h"

namespace kv {

namespace {

IspRequest RequestWithCode(TIspCode code) {
  IspRequest request{};
  request[0] = code;
  return request;
}

IspRequest RequestWithNumberByte(TIspCode code, int32_t packetNumber) {
  IspRequest request = RequestWithCode(code);
  request[kIspPacketNumberOffset] = static_cast<uint8_t>(packetNumber);
  return request;
}

IspRequest RequestWithNumber32(TIspCode code, int32_t packetNumber) {
  IspRequest request = RequestWithCode(code);
  WriteLe32(request, kIspPacketNumberOffset, static_cast<uint32_t>(packetNumber));
  return request;
}

IspRequest SyncRequest(int32_t packetNumber) {
  IspRequest request = RequestWithNumberByte(ispSyncPacket, packetNumber);
  request[kIspDataOffset] = static_cast<uint8_t>(packetNumber);
  return request;
}

// Copies up to `count` bytes of `image` from `from` into the request at `to`; returns
// how many were copied.
size_t CopyImageBytes(IspRequest& request, size_t to, std::span<const uint8_t> image, size_t from,
                      size_t count) {
  if (from >= image.size()) return 0;
  const size_t copied = std::min({count, image.size() - from, request.size() - to});
  std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from), copied,
              request.begin() + static_cast<std::ptrdiff_t>(to));
  return copied;
}

}  // namespace

IspRequest BuildConnectRequest() {
  return RequestWithNumberByte(ispConnect, 1);
}

IspRequest BuildSyncPackageRequest(int32_t packetNumber) {
  return SyncRequest(packetNumber);
}

IspRequest BuildGetFirmwareVersionRequest(int32_t packetNumber) {
  return RequestWithNumberByte(ispGetFirmwareVersion, packetNumber);
}

IspRequest BuildGetDeviceIdRequest(int32_t packetNumber) {
  return RequestWithNumberByte(ispGetDeviceId, packetNumber);
}

IspRequest BuildReadConfigRequest(int32_t packetNumber) {
  return RequestWithNumberByte(ispReadConfig, packetNumber);
}

IspRequest BuildSyncProgramRequest() {
  return SyncRequest(1);
}

IspRequest BuildStartProgramRequest(int32_t packetNumber, int32_t programLength,
                                    std::span<const uint8_t> image) {
  IspRequest request = RequestWithNumber32(ispStartProgram, packetNumber);
  WriteLe32(request, kIspStartAddressOffset, 0);
  WriteLe32(request, kIspProgramLengthOffset, static_cast<uint32_t>(programLength));
  CopyImageBytes(request, kIspStartDataOffset, image, 0, kIspStartDataBytes);
  return request;
}

IspDataPacket BuildProgramDataRequest(int32_t packetNumber, std::span<const uint8_t> image,
                                      int32_t imageByteCount, int32_t programOffset) {
  IspDataPacket packet{RequestWithNumber32(ispProgramData, packetNumber), 0};
  const int64_t remaining = int64_t{imageByteCount} - programOffset;
  if (programOffset < 0 || remaining <= 0) return packet;
  const size_t wanted =
      static_cast<size_t>(std::min<int64_t>(remaining, static_cast<int64_t>(kIspProgramDataBytes)));
  packet.BytesCopied = static_cast<int32_t>(CopyImageBytes(
      packet.Request, kIspDataOffset, image, static_cast<size_t>(programOffset), wanted));
  return packet;
}

IspRequest BuildMcuResetRequest(int32_t packetNumber) {
  return RequestWithNumber32(ispMcuReset, packetNumber);
}

uint32_t IspRequestChecksum(std::span<const uint8_t> bytes) {
  uint32_t sum = 0;
  for (uint8_t byte : bytes) sum += byte;
  return sum;
}

uint32_t ReplyPacketNumberByte(const TCmdPacket& reply) {
  return reply.Payload.at(kIspPacketNumberOffset - kRawValueBytes);
}

uint32_t ReplyPacketNumber32(const TCmdPacket& reply) {
  return ReplyDataWord(reply, kIspPacketNumberOffset);
}

uint32_t ReplyDataWord(const TCmdPacket& reply, size_t replyOffset) {
  const size_t first = replyOffset - kRawValueBytes;
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= uint32_t{reply.Payload.at(first + i)} << (8 * i);
  return value;
}

size_t IspReplyBytesNeeded(int32_t state) {
  switch (state) {
    case usGetDeviceId:
      return kIspDeviceIdOffset + 4;
    case usReadConfig:
      return kIspConfigWord1Offset + 4;
    default:
      return kIspDataOffset;
  }
}

std::optional<uint32_t> ReadLe32(std::span<const uint8_t> bytes, size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return std::nullopt;
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= uint32_t{bytes[offset + i]} << (8 * i);
  return value;
}

bool WriteLe32(std::span<uint8_t> bytes, size_t offset, uint32_t value) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return false;
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  return true;
}

IspReply BuildIspReply(uint32_t checksumEcho, uint32_t packetNumber) {
  IspReply reply{};
  WriteLe32(reply, 0, checksumEcho);
  WriteLe32(reply, kIspPacketNumberOffset, packetNumber);
  return reply;
}

}  // namespace kv
