// Lcmd: the packet exchanged with the unit, and its two conversions: a packet
// becomes the bytes the link transmits (a bare boot-loader request or a run-mode
// frame), and a complete response received by the link becomes a packet again.
//
// Run-mode frame (host to unit, and unit to host), L = byte 4, L + 8 bytes in all:
//   10 02 <sender> <receiver> L <code> <L-1 payload bytes> 10 03 <xor of all bytes before>
// No byte stuffing: a 0x10 in the code or the payload travels once; the receiver
// finds the end of the frame from L alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/byte_buffer.h"

namespace kv {

// Run-mode command codes. Every one is sent framed with Unit 1; a response frame
// carries the code of the request it answers.
enum TCmdCode : uint8_t {
  cmdCode04 = 0x04,         // after the user has closed the message that ends an update
  cmdEnterUpdate = 0x08,    // switch to update mode; the unit re-appears as the boot loader
  cmdIdentify = 0x10,       // unit query; response payload byte 0 is the unit type
  cmdCheckFailed = 0x11,    // tells the unit that the type or version check refused it
  cmdKeepAlive = 0x12,      // idle poll of the link, and the last command before success
  cmdVersionText = 0x13,    // response payload is the model and version text
  cmdCode1A = 0x1A,         // payload 01 00 01 00, once, after parameter block 0
  cmdDspBlock = 0x53,       // chunk index (high byte first) and 32 masked DSP image bytes
  cmdReadParameter = 0xA8,  // payload: the parameter block index
};

// The frame bytes themselves.
enum TFrameByte : uint8_t {
  frDle = 0x10,
  frStx = 0x02,
  frEtx = 0x03,
  frHostAddress = 0x00,  // sender address of every frame the host builds
};

// How BuildFrame serialises a packet.
enum TPacketMode : int {
  pkRaw = 0,     // the payload alone: a boot-loader request
  pkFramed = 1,  // a run-mode frame
};

// The run-mode frame layout, the one definition every reader and writer of frames
// uses. L is the byte at kFrameLengthOffset; the frame is L + kFrameOverheadBytes.
inline constexpr size_t kFrameSenderOffset = 2;
inline constexpr size_t kFrameReceiverOffset = 3;
inline constexpr size_t kFrameLengthOffset = 4;  // L: the code byte and the payload
inline constexpr size_t kFrameCodeOffset = 5;
inline constexpr size_t kFramePayloadOffset = 6;
// After the payload: DLE, ETX, checksum. The trailer DLE sits at n - 3.
inline constexpr size_t kFrameTrailerBytes = 3;
// Head (DLE STX sender receiver L) and trailer around the L bytes.
inline constexpr size_t kFrameOverheadBytes = 8;
// Enough bytes to read L.
inline constexpr size_t kFrameHeadBytes = kFrameLengthOffset + 1;
constexpr size_t FrameBytesForLength(uint8_t length) {
  return size_t{length} + kFrameOverheadBytes;
}

// One frame travels in one HID report of 64 data bytes: L + 8 <= 64.
inline constexpr size_t kReportDataBytes = 64;
inline constexpr size_t kLargestFrameLength = kReportDataBytes - kFrameOverheadBytes;  // L = 56
inline constexpr size_t kMaxFramePayloadBytes = kLargestFrameLength - 1;
// A raw report: 4 value bytes, then the payload.
inline constexpr size_t kRawValueBytes = 4;

struct TCmdPacket {
  uint8_t Unit = 0;
  uint8_t Code = 0;
  uint32_t Value = 0;  // only a parsed raw response fills it: report bytes 0-3, little-endian
  ByteBuffer Payload;

  TCmdPacket() = default;
  TCmdPacket(uint8_t unit, uint8_t code) : Unit(unit), Code(code) {}
  // Unit 1: the unit every run-mode command is addressed to.
  explicit TCmdPacket(uint8_t code) : Unit(1), Code(code) {}
  TCmdPacket(uint8_t unit, uint8_t code, uint8_t byte) : Unit(unit), Code(code), Payload{byte} {}
  TCmdPacket(uint8_t unit, uint8_t code, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
      : Unit(unit), Code(code), Payload{b0, b1, b2, b3} {}

  // A raw boot-loader request: Unit 0, Code 0, the first `count` bytes as payload.
  // A named factory rather than a constructor, so that TCmdPacket(0, 0) stays the
  // unit-and-code form instead of becoming ambiguous with (pointer, count).
  static TCmdPacket Raw(const uint8_t* bytes, size_t count);
};

// pkRaw: a copy of the payload. pkFramed: the run-mode frame. Any other mode, and a
// frame payload above kMaxFramePayloadBytes (it could not travel in one report and
// the report write would cut off its trailer), give an empty buffer.
ByteBuffer BuildFrame(const TCmdPacket& packet, int mode);

// The frame shape test shared with the link: byte 0 is 0x10, byte 1 is 0x02,
// byte n - 3 is 0x10 and byte n - 2 is 0x03. Fewer than 4 bytes never have it.
bool HasFrameShape(const uint8_t* bytes, size_t count);
bool HasFrameShape(const ByteBuffer& bytes);

// Builds a packet from one complete response: a frame (chosen by the frame shape
// test) or a raw report. The checksum is not verified. Only bytes inside the buffer
// are ever read:
// - Frame: Unit = byte 2, Code = byte 5 (0 when the buffer ends before it), Payload =
//   bytes 6 up to byte L + 5, but never past the trailer at n - 3. L = 0 gives an
//   empty payload; an L that points past the end gives the bytes up to the trailer.
// - Raw: Value = bytes 0-3 little-endian, a missing byte counting as 0; Payload =
//   bytes 4 to 63, as many of them as exist (a short buffer gives a short payload, so
//   checked reads of the missing bytes fail instead of reading stale data).
TCmdPacket ParseResponse(const uint8_t* bytes, size_t count);
TCmdPacket ParseResponse(const ByteBuffer& bytes);

}  // namespace kv
