// The unit's own view of the bytes on the wire: the run-mode command codes its
// application firmware knows, the framing bytes, and the boot loader's request
// codes and report layout. Written here from the unit's side and shared with
// nothing in the tool, so that a wrong code, offset or checksum on the tool's
// side shows up as a rejected request or a violation instead of being repeated
// on both sides.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::sim {

// Run-mode command codes; an answer frame carries the code of its command.
enum RunCode : uint8_t {
  kRunCode04 = 0x04,         // acknowledged; sent after an update has ended
  kRunEnterUpdate = 0x08,    // acknowledged, then the unit re-appears as its boot loader
  kRunIdentify = 0x10,       // answer: unit type, hardware revision
  kRunCheckFailed = 0x11,    // acknowledged; the host refused the unit
  kRunKeepAlive = 0x12,      // acknowledged
  kRunVersionText = 0x13,    // answer: model and version text
  kRunCode1A = 0x1A,         // payload 01 00 01 00; acknowledged
  kRunDspBlock = 0x53,       // chunk index (high byte first) and 32 masked bytes
  kRunReadParameter = 0xA8,  // payload: block index; answer: index and the block's bytes
};

// The framing bytes of a run-mode frame, in both directions.
enum FrameByte : uint8_t {
  kFrameDle = 0x10,
  kFrameStx = 0x02,
  kFrameEtx = 0x03,
};

// Boot-loader request codes (request bytes 0-3, little-endian; all below 0x100).
enum BootCode : uint8_t {
  kBootProgramData = 0x00,  // up to 56 more bytes at the programming address
  kBootConnect = 0x80,      // starts the sequence over
  kBootSync = 0x81,         // sync: before the queries, and again before programming
  kBootFirmwareVersion = 0x82,
  kBootDeviceId = 0x83,      // reply bytes 8-11: device identifier
  kBootReadConfig = 0x84,    // reply bytes 8-11 and 12-15: configuration words
  kBootStartProgram = 0x85,  // erase; start address, length and the first 48 bytes
  kBootReset = 0x86,         // reply, then the unit leaves update mode
};

// Boot-loader report layout: 64 data bytes each way, multi-byte fields little-endian.
inline constexpr size_t kBootDataBytes = 64;
inline constexpr size_t kBootCodeOffset = 0;          // request: code
inline constexpr size_t kBootEchoOffset = 0;          // reply: byte sum of the request
inline constexpr size_t kBootEchoBytes = 4;           // the echo field's width
inline constexpr size_t kBootNumberOffset = 4;        // both: packet number
inline constexpr size_t kBootCommandDataOffset = 8;   // request: command data
inline constexpr size_t kBootSyncNumberOffset = 8;    // sync: the packet number's low byte
inline constexpr size_t kBootStartAddressOffset = 8;  // start program: flash address
inline constexpr size_t kBootLengthOffset = 12;       // start program: length to program
inline constexpr size_t kBootStartDataOffset = 16;    // start program: first image bytes
inline constexpr size_t kBootStartDataBytes = 48;
inline constexpr size_t kBootPacketDataOffset = 8;  // data packet: image bytes
inline constexpr size_t kBootPacketDataBytes = 56;
inline constexpr size_t kBootReplyWord0Offset = 8;   // reply data: id, config word 0, version
inline constexpr size_t kBootReplyWord1Offset = 12;  // reply data: config word 1

// Little-endian 32-bit field; the caller keeps offset + 4 inside the bytes.
inline uint32_t UnitLe32(const uint8_t* bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

inline void PutUnitLe32(uint8_t* bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The checksum the boot loader echoes: every received byte added as an unsigned value.
inline uint32_t BootByteSum(const uint8_t* bytes, size_t count) {
  uint32_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum += bytes[i];
  return sum;
}

}  // namespace kv::sim
