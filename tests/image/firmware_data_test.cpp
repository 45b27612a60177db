// The embedded firmware must have the structure the update relies on, whatever bytes
// it carries.
#include "image/firmware_data.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "image/mcu_image.h"

namespace kv {
namespace {

struct Record {
  uint32_t count, offset, type, upper;
};

std::vector<Record> Records() {
  std::vector<Record> records;
  for (std::string_view line : McuHexLines) {
    records.push_back(
        {HexField(line, 1, 2), HexField(line, 3, 4), HexField(line, 7, 2), HexField(line, 9, 4)});
  }
  return records;
}

TEST(EmbeddedFirmware, EveryLineIsAnUpperCaseRecordWithItsChecksum) {
  for (std::string_view line : McuHexLines) {
    ASSERT_EQ(line[0], ':');
    ASSERT_EQ(line.find_first_not_of("0123456789ABCDEF", 1), std::string_view::npos) << line;
    ASSERT_EQ(line.size(), 11 + 2 * HexField(line, 1, 2)) << line;
    uint8_t sum = 0;
    for (size_t i = 1; i < line.size(); i += 2)
      sum = static_cast<uint8_t>(sum + HexField(line, i, 2));
    ASSERT_EQ(sum, 0) << line;
  }
}

TEST(EmbeddedFirmware, RecordsComeInTheExpectedOrderAndExtent) {
  const std::vector<Record> records = Records();
  ASSERT_EQ(records.size(), 4214u);
  EXPECT_TRUE(records[0].type == 4 && records[0].upper == 0);
  for (uint32_t i = 0; i < 4096; ++i) {
    ASSERT_TRUE(records[1 + i].type == 0 && records[1 + i].offset == 16 * i &&
                records[1 + i].count == 16);
  }
  EXPECT_TRUE(records[4097].type == 4 && records[4097].upper == 1);
  for (uint32_t i = 0; i < 112; ++i) {
    const Record& r = records[4098 + i];
    ASSERT_TRUE(r.type == 0 && r.offset == 16 * i && r.count == (i < 111 ? 16u : 4u));
  }
  EXPECT_TRUE(records[4210].type == 4 && records[4210].upper == 1);
  EXPECT_TRUE(records[4211].type == 0 && records[4211].offset == 0x0DF8 &&
              records[4211].count == 8);
  EXPECT_EQ(records[4212].type, 5u);
  EXPECT_EQ(records[4213].type, 1u);
}

TEST(EmbeddedFirmware, ImageBeginsWithACortexMVectorTableMatchingTheStartRecord) {
  FirmwareImage image;
  ParseMcuImage(image, kMcuImageBound, EmbeddedMcuHexLines(), nullptr);
  auto word = [&](size_t at) {
    return uint32_t{image.ImageBuffer[at]} | image.ImageBuffer[at + 1] << 8 |
           image.ImageBuffer[at + 2] << 16 | uint32_t{image.ImageBuffer[at + 3]} << 24;
  };
  const uint32_t resetVector = word(4);
  EXPECT_EQ(resetVector & 1u, 1u);
  EXPECT_LT(resetVector, 0x106F4u);
  const std::string_view start(McuHexLines[4212]);
  EXPECT_EQ(HexField(start, 9, 4) << 16 | HexField(start, 13, 4), resetVector);
}

// A fact of the stand-in image, not of the unit's firmware.
TEST(EmbeddedFirmware, StandInStackPointerLiesInSram) {
#ifndef KV_STANDIN_FIRMWARE
  GTEST_SKIP() << "the embedded firmware is not the stand-in";
#else
  FirmwareImage image;
  ParseMcuImage(image, kMcuImageBound, EmbeddedMcuHexLines(), nullptr);
  const uint32_t stackPointer = uint32_t{image.ImageBuffer[0]} | image.ImageBuffer[1] << 8 |
                                image.ImageBuffer[2] << 16 | uint32_t{image.ImageBuffer[3]} << 24;
  EXPECT_EQ(stackPointer & 0xFFF00007u, 0x20000000u);  // SRAM, 8-byte aligned
#endif
}

TEST(EmbeddedFirmware, DspProgramHas6510Words) {
  EXPECT_EQ(std::size(DspProgramWords), 6510u);
}

}  // namespace
}  // namespace kv
