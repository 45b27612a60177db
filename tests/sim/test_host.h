// A test's own host side for driving the simulated unit: boot-loader requests
// and run-mode frames written out byte by byte as the unit's documented formats
// give them, so that the unit's tests depend on neither the tool's nor the unit's
// own protocol code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kv::sim::test_host {

using Bytes = std::vector<uint8_t>;

// A boot-loader request of 64 bytes: code in byte 0, packet number in bytes 4-7
// (little-endian), every other byte 0.
inline Bytes BootRequest(uint8_t code, uint32_t number) {
  Bytes request(64, 0);
  request[0] = code;
  for (int i = 0; i < 4; ++i) request[4 + i] = static_cast<uint8_t>(number >> (8 * i));
  return request;
}
inline Bytes Connect() {
  return BootRequest(0x80, 1);
}
inline Bytes Sync(uint8_t number) {  // before the queries, and (number 1) before programming
  Bytes request = BootRequest(0x81, number);
  request[8] = number;
  return request;
}
inline Bytes FirmwareVersion(uint8_t number) {
  return BootRequest(0x82, number);
}
inline Bytes DeviceId(uint8_t number) {
  return BootRequest(0x83, number);
}
inline Bytes ReadConfig(uint8_t number) {
  return BootRequest(0x84, number);
}
// Start address 0, the length, and the image's first 48 bytes.
inline Bytes StartProgram(uint32_t number, uint32_t length, const Bytes& image) {
  Bytes request = BootRequest(0x85, number);
  for (int i = 0; i < 4; ++i) request[12 + i] = static_cast<uint8_t>(length >> (8 * i));
  std::copy_n(image.begin(), std::min<size_t>(48, image.size()), request.begin() + 16);
  return request;
}
// Up to 56 image bytes from `offset`.
inline Bytes DataPacket(uint32_t number, const Bytes& image, size_t offset) {
  Bytes request = BootRequest(0x00, number);
  const size_t count = offset < image.size() ? std::min<size_t>(56, image.size() - offset) : 0;
  std::copy_n(image.begin() + static_cast<long>(offset), count, request.begin() + 8);
  return request;
}
inline Bytes Reset(uint32_t number) {
  return BootRequest(0x86, number);
}

// The byte sum the boot loader echoes, added up here on its own.
inline uint32_t Sum(const Bytes& bytes) {
  uint32_t sum = 0;
  for (uint8_t byte : bytes) sum += byte;
  return sum;
}

// A host frame: 10 02 00 01 L code payload 10 03 xor.
inline Bytes Frame(uint8_t code, const Bytes& payload) {
  // Sized once and filled by index (GCC 12 at -O3 warns falsely on growing it).
  const size_t length = payload.size() + 1;
  Bytes frame(length + 8, 0);
  frame[0] = 0x10;
  frame[1] = 0x02;
  frame[2] = 0x00;
  frame[3] = 0x01;
  frame[4] = static_cast<uint8_t>(length);
  frame[5] = code;
  for (size_t index = 0; index < payload.size(); ++index) frame[6 + index] = payload[index];
  frame[length + 5] = 0x10;
  frame[length + 6] = 0x03;
  uint8_t sum = 0;
  for (size_t index = 0; index < length + 7; ++index) sum ^= frame[index];
  frame[length + 7] = sum;
  return frame;
}
inline Bytes Frame(uint8_t code, std::initializer_list<uint8_t> payload = {}) {
  return Frame(code, Bytes(payload));
}

// An output report: report ID 0, then the bytes, zero-filled to 65.
inline Bytes Report(const Bytes& data) {
  Bytes report(65, 0);
  std::copy_n(data.begin(), std::min<size_t>(64, data.size()), report.begin() + 1);
  return report;
}

// The DSP image: length (26,044 for 6,510 words) and byte sum, most significant
// byte first, then each word most significant byte first.
inline Bytes DspImage(const std::vector<uint32_t>& words) {
  Bytes image(4, 0);
  uint32_t sum = 0;
  for (uint32_t word : words) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      image.push_back(static_cast<uint8_t>(word >> shift));
      sum += image.back();
    }
  }
  const size_t length = image.size();
  image[0] = static_cast<uint8_t>(length >> 8);
  image[1] = static_cast<uint8_t>(length);
  image[2] = static_cast<uint8_t>(sum >> 8);
  image[3] = static_cast<uint8_t>(sum);
  return image;
}

// The 34-byte payload of DSP chunk k: index high byte first, then image bytes
// 32k to 32k + 31 (0 past the image), byte 4g + i XORed with key byte i.
inline Bytes DspChunk(const Bytes& image, uint32_t chunk, uint32_t key) {
  Bytes payload{static_cast<uint8_t>(chunk >> 8), static_cast<uint8_t>(chunk)};
  for (size_t i = 0; i < 32; ++i) {
    const size_t at = 32 * chunk + i;
    const uint8_t byte = at < image.size() ? image[at] : 0;
    payload.push_back(static_cast<uint8_t>(byte ^ (key >> (8 * (i % 4)))));
  }
  return payload;
}

}  // namespace kv::sim::test_host
