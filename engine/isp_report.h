// The boot loader's report pair. The tool sends an IspRequest, built in a 70-byte
// buffer of which the device receives bytes 0 to 63; the boot loader answers with an
// IspReply that echoes the request's checksum and carries a packet number. All
// multi-byte fields are little-endian.
//
//   IspRequest  0-3 command code   4-7 packet number     8-63 command data
//   IspReply    0-3 checksum echo  4-7 packet number     8-63 reply data
//
// These are pure functions: the step sequencer fills requests and reads replies with
// them, and a simulated boot loader uses them to check what it receives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "link/lcmd.h"

namespace kv {

// Boot-loader command codes (request bytes 0-3; all below 0x100).
enum TIspCode : uint8_t {
  ispProgramData = 0x00,         // up to 56 image bytes from the program offset
  ispConnect = 0x80,             // first request of a run, packet number 1
  ispSyncPacket = 0x81,          // "Sync Package", and "Sync Program" with number 1
  ispGetFirmwareVersion = 0x82,  // boot-loader version
  ispGetDeviceId = 0x83,         // reply bytes 8-11: device identifier
  ispReadConfig = 0x84,          // reply bytes 8-11 and 12-15: configuration words
  ispStartProgram = 0x85,        // start address, program length and the first 48 bytes
  ispMcuReset = 0x86,            // last request; no reply is expected
};

inline constexpr size_t kIspRequestBufferBytes = 70;
inline constexpr size_t kIspReportBytes = 64;
inline constexpr size_t kIspPacketNumberOffset = 4;
inline constexpr size_t kIspDataOffset = 8;
inline constexpr size_t kIspStartAddressOffset = 8;
inline constexpr size_t kIspProgramLengthOffset = 12;
inline constexpr size_t kIspStartDataOffset = 16;
inline constexpr size_t kIspStartDataBytes = 48;
inline constexpr size_t kIspProgramDataBytes = 56;
inline constexpr size_t kIspDeviceIdOffset = 8;
inline constexpr size_t kIspConfigWord0Offset = 8;
inline constexpr size_t kIspConfigWord1Offset = 12;

// Bytes 64-69 are never written and stay 0.
using IspRequest = std::array<uint8_t, kIspRequestBufferBytes>;
using IspReply = std::array<uint8_t, kIspReportBytes>;

// "Connect": packet number 1 in byte 4.
IspRequest BuildConnectRequest();
// "Sync Package": the packet number's low byte in bytes 4 and 8.
IspRequest BuildSyncPackageRequest(int32_t packetNumber);
// "Get Firmware Version", "Get Device ID", "Read Config": low byte in byte 4.
IspRequest BuildGetFirmwareVersionRequest(int32_t packetNumber);
IspRequest BuildGetDeviceIdRequest(int32_t packetNumber);
IspRequest BuildReadConfigRequest(int32_t packetNumber);
// "Sync Program": ispSyncPacket with 1 in bytes 4 and 8.
IspRequest BuildSyncProgramRequest();
// "Start Program": 32-bit packet number, start address 0, program length, and the
// first 48 image bytes (fewer if the image holds fewer; the rest stay 0).
IspRequest BuildStartProgramRequest(int32_t packetNumber, int32_t programLength,
                                    std::span<const uint8_t> image);

struct IspDataPacket {
  IspRequest Request;
  int32_t BytesCopied;  // how far the program offset advances
};

// A data packet: 32-bit packet number, then 56 bytes from programOffset while more
// than 56 remain before imageByteCount, else the rest (none if nothing remains).
// Never reads outside `image`.
IspDataPacket BuildProgramDataRequest(int32_t packetNumber, std::span<const uint8_t> image,
                                      int32_t imageByteCount, int32_t programOffset);
// "MCU Reset": 32-bit packet number.
IspRequest BuildMcuResetRequest(int32_t packetNumber);

// Unsigned sum of every byte: of all 70 request bytes for the tool, of the 64 bytes
// received for the boot loader (the same value, since bytes 64-69 are 0).
uint32_t IspRequestChecksum(std::span<const uint8_t> bytes);

// Readers of a reply parsed by ParseResponse (Value = bytes 0-3, Payload index i =
// reply byte i + 4). Payload reads are checked: a reply too short for the field throws
// std::out_of_range("vector"), like every other read of a response.
inline uint32_t ReplyChecksumEcho(const TCmdPacket& reply) {
  return reply.Value;
}
// After every request but a data packet: byte 4 alone.
uint32_t ReplyPacketNumberByte(const TCmdPacket& reply);
// After a data packet: bytes 4-7.
uint32_t ReplyPacketNumber32(const TCmdPacket& reply);
// The 32-bit word at reply byte offset 4 or beyond (kIspDeviceIdOffset, ...).
uint32_t ReplyDataWord(const TCmdPacket& reply, size_t replyOffset);

// How many bytes a boot-loader reply to the request of `state` (update_state.h)
// must carry for every field the step reads: the echo and the packet number,
// and the device identifier or the configuration words where the step reads
// them. A shorter reply is not the step's reply: nothing in it may be read
// from the zeros that stand past its end.
size_t IspReplyBytesNeeded(int32_t state);

// Little-endian 32-bit field of a raw report; nothing when it does not fit.
std::optional<uint32_t> ReadLe32(std::span<const uint8_t> bytes, size_t offset);
// Writes a little-endian 32-bit field; returns false when it does not fit.
bool WriteLe32(std::span<uint8_t> bytes, size_t offset, uint32_t value);

// A boot-loader reply: the checksum echo and the packet number, reply data 0.
IspReply BuildIspReply(uint32_t checksumEcho, uint32_t packetNumber);

}  // namespace kv
