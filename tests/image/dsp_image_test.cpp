#include "image/dsp_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "image/firmware_data.h"
#include "image/mcu_image.h"

namespace kv {
namespace {

constexpr int32_t kEmbeddedDspImageBytes = 4 + 4 * 6510;

// Prepared over a buffer full of other data, as after an MCU update.
const FirmwareImage& PreparedImage() {
  static const FirmwareImage image = [] {
    FirmwareImage prepared;
    prepared.ImageBuffer.fill(0xEE);
    EXPECT_TRUE(PrepareDspImage(prepared));
    return prepared;
  }();
  return image;
}

TEST(PrepareDspImage, HeaderThenWordsHighByteFirstThenZeroTo65535) {
  const FirmwareImage& image = PreparedImage();
  ASSERT_EQ(image.ImageByteCount, kEmbeddedDspImageBytes);
  EXPECT_EQ(image.ImageBuffer[0], 0x65);
  EXPECT_EQ(image.ImageBuffer[1], 0xBC);
  uint32_t sum = 0;
  for (int32_t i = 4; i < image.ImageByteCount; ++i) sum += image.ImageBuffer[i];
  EXPECT_EQ(image.ImageBuffer[2] << 8 | image.ImageBuffer[3], sum & 0xFFFF);
  for (size_t w = 0; w < std::size(DspProgramWords); ++w) {
    const size_t at = 4 + 4 * w;
    ASSERT_EQ(uint32_t{image.ImageBuffer[at]} << 24 | image.ImageBuffer[at + 1] << 16 |
                  image.ImageBuffer[at + 2] << 8 | image.ImageBuffer[at + 3],
              DspProgramWords[w]);
  }
  EXPECT_TRUE(std::all_of(image.ImageBuffer.begin() + kEmbeddedDspImageBytes,
                          image.ImageBuffer.begin() + 65536, [](uint8_t b) { return b == 0; }));
}

TEST(PrepareDspImage, RefusesAProgramBeyondTheLengthFieldAndLeavesTheImage) {
  FirmwareImage image;
  image.ImageByteCount = 7;
  EXPECT_FALSE(PrepareDspImage(image, std::vector<uint32_t>(16383, 1)));
  EXPECT_EQ(image.ImageByteCount, 7);
  ASSERT_TRUE(PrepareDspImage(image, std::vector<uint32_t>(16382, 1)));
  EXPECT_EQ(image.ImageByteCount, 65532);
}

TEST(BuildDspChunk, EmbeddedImageGives814ChunksCoveringTheImage) {
  const FirmwareImage& image = PreparedImage();
  const int32_t lastChunk = DspLastChunkIndex(image.ImageByteCount);
  ASSERT_EQ(lastChunk, 813);
  for (int32_t k = 0; k <= lastChunk; ++k) {
    const auto chunk = BuildDspChunk(image, k, 0);
    ASSERT_TRUE(chunk.has_value());
    ASSERT_EQ(chunk->Unit, 1);
    ASSERT_EQ(chunk->Code, cmdDspBlock);
    ASSERT_EQ(chunk->Payload.size(), 34u);
    ASSERT_EQ(chunk->Payload[0] << 8 | chunk->Payload[1], k);
    ASSERT_TRUE(std::equal(chunk->Payload.begin() + 2, chunk->Payload.end(),
                           image.ImageBuffer.begin() + 32 * k));
  }
  const auto last = BuildDspChunk(image, lastChunk, 0);
  EXPECT_TRUE(std::equal(last->Payload.begin() + 2, last->Payload.begin() + 30,
                         image.ImageBuffer.begin() + kEmbeddedDspImageBytes - 28));
  EXPECT_EQ(ByteBuffer(last->Payload.data() + 30, 4), ByteBuffer(4, 0));
}

TEST(BuildDspChunk, KeyByteIMasksEveryFourthDataByteFromByteI) {
  const auto plain = BuildDspChunk(PreparedImage(), 5, 0);
  const auto masked = BuildDspChunk(PreparedImage(), 5, 0xA1B2C3D4);
  const uint8_t keyBytes[4] = {0xD4, 0xC3, 0xB2, 0xA1};
  ASSERT_TRUE(plain && masked);
  EXPECT_EQ(masked->Payload[1], plain->Payload[1]);
  for (size_t i = 0; i < 32; ++i) {
    EXPECT_EQ(masked->Payload[2 + i], plain->Payload[2 + i] ^ keyBytes[i % 4]) << i;
  }
}

TEST(BuildDspChunk, IndexTravelsHighByteFirstAndStaysInsideTheBuffer) {
  const FirmwareImage& image = PreparedImage();
  EXPECT_EQ(BuildDspChunk(image, 256, 0)->Payload[0], 0x01);
  EXPECT_EQ(BuildDspChunk(image, 256, 0)->Payload[1], 0x00);
  EXPECT_TRUE(BuildDspChunk(image, kImageBufferBytes / 32 - 1, 0).has_value());
  EXPECT_FALSE(BuildDspChunk(image, kImageBufferBytes / 32, 0).has_value());
  EXPECT_FALSE(BuildDspChunk(image, -1, 0).has_value());
}

}  // namespace
}  // namespace kv
