#include "image/dsp_image.h"

#include <algorithm>

namespace kv {

bool PrepareDspImage(FirmwareImage& image, std::span<const uint32_t> words) {
  if (words.size() > (kDspMaxImageBytes - kDspImageHeaderBytes) / 4) return false;

  std::fill_n(image.ImageBuffer.begin(), kDspClearedBytes, uint8_t{0});
  size_t position = kDspImageHeaderBytes;
  uint32_t sum = 0;
  for (uint32_t word : words) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      const uint8_t byte = static_cast<uint8_t>(word >> shift);
      image.ImageBuffer[position++] = byte;
      sum += byte;
    }
  }
  image.ImageByteCount = static_cast<int32_t>(position);
  image.ImageBuffer[0] = static_cast<uint8_t>(position >> 8);
  image.ImageBuffer[1] = static_cast<uint8_t>(position);
  image.ImageBuffer[2] = static_cast<uint8_t>(sum >> 8);
  image.ImageBuffer[3] = static_cast<uint8_t>(sum);
  return true;
}

std::optional<TCmdPacket> BuildDspChunk(const FirmwareImage& image, int32_t chunkIndex,
                                        uint32_t sessionKey) {
  if (chunkIndex < 0) return std::nullopt;
  const size_t start = static_cast<size_t>(chunkIndex) * kDspChunkDataBytes;
  if (start + kDspChunkDataBytes > image.ImageBuffer.size()) return std::nullopt;

  TCmdPacket packet(1, cmdDspBlock);
  packet.Payload.reserve(2 + kDspChunkDataBytes);
  packet.Payload.push_back(static_cast<uint8_t>(chunkIndex >> 8));
  packet.Payload.push_back(static_cast<uint8_t>(chunkIndex));
  for (size_t i = 0; i < kDspChunkDataBytes; ++i) {
    const uint8_t keyByte = static_cast<uint8_t>(sessionKey >> (8 * (i % kDspKeyBytes)));
    packet.Payload.push_back(image.ImageBuffer[start + i] ^ keyByte);
  }
  return packet;
}

}  // namespace kv
