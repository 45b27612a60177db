// The DSP image: the program words serialised into the image buffer behind a 4-byte
// header, and the masked 32-byte chunks in which it is downloaded.
//
// Image layout, multi-byte fields most significant byte first:
//   0-1  image length L, header included (low 16 bits)
//   2-3  low 16 bits of the sum of bytes 4 to L - 1
//   4..  the words in table order
//   L..  0x00 up to offset 65,535
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "image/firmware_data.h"
#include "image/firmware_image.h"
#include "link/lcmd.h"

namespace kv {

inline constexpr size_t kDspImageHeaderBytes = 4;
inline constexpr size_t kDspClearedBytes = 65536;
// The length field holds 16 bits; any image up to that keeps every chunk inside the
// cleared area, since the last chunk starts at L / 32 * 32 <= 65,504.
inline constexpr size_t kDspMaxImageBytes = 0xFFFF;
inline constexpr size_t kDspChunkDataBytes = 32;
inline constexpr size_t kDspKeyBytes = 4;

static_assert(kDspImageHeaderBytes + 4 * kDspProgramWordCount <= kDspMaxImageBytes,
              "the DSP program does not fit the 16-bit length field of its image");

// Serialises the words into the buffer and sets ImageByteCount to the image length.
// Returns false, leaving the image untouched, when the words would not fit the
// length field (never for the embedded program).
bool PrepareDspImage(FirmwareImage& image,
                     std::span<const uint32_t> words = EmbeddedDspProgramWords());

// Index of the last chunk of the prepared image; chunks 0 to this one are sent.
inline int32_t DspLastChunkIndex(int32_t imageByteCount) {
  return imageByteCount / static_cast<int32_t>(kDspChunkDataBytes);
}

// The cmdDspBlock packet for chunk k: Unit 1, payload = k (high byte first), then image
// bytes 32k to 32k + 31, byte 4g + i XORed with byte i of the key (byte 0 = bits 0-7).
// Nothing for a chunk that would reach past the image buffer.
std::optional<TCmdPacket> BuildDspChunk(const FirmwareImage& image, int32_t chunkIndex,
                                        uint32_t sessionKey);

}  // namespace kv
