#include "image/image_dump.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kv {
namespace {

std::vector<uint8_t> Ramp(size_t count, uint8_t first) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

TEST(DumpImage, FullLineAndShortLastLineFilledSoTheColumnsLineUp) {
  const std::string text = DumpImage(Ramp(17, 0x41), 17, 0);
  EXPECT_EQ(text.substr(0, 78),
            "00000000  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 ; ABCDEFGHIJKLMNOP\r\n");
  EXPECT_EQ(text.substr(78), "00000010  51 " + std::string(45, ' ') + "; Q\r\n");
  EXPECT_EQ(DumpImage(Ramp(16, 0), 16, 0).size(), 78u);
}

TEST(DumpImage, OnlyPrintableAsciiShowsAsItself) {
  const std::string text =
      DumpImage(std::vector<uint8_t>{0x1F, 0x20, 0x7E, 0x7F, 0x00, 0xFF}, 6, 0);
  EXPECT_EQ(text.substr(10, 18), "1F 20 7E 7F 00 FF ");
  EXPECT_EQ(text.substr(text.size() - 10), "; . ~...\r\n");
}

TEST(DumpImage, AddressesCountFromTheBase) {
  const std::string text = DumpImage(std::vector<uint8_t>(48), 48, 0x0800FFF0);
  EXPECT_EQ(text.substr(0, 10), "0800FFF0  ");
  EXPECT_EQ(text.substr(78, 10), "08010000  ");
}

TEST(DumpImage, NothingForNoBytesAndNeverMoreThanTheSequenceHolds) {
  const std::vector<uint8_t> bytes = Ramp(20, 0);
  EXPECT_TRUE(DumpImage(bytes, 0, 0).empty());
  EXPECT_TRUE(DumpImage(bytes, -5, 0).empty());
  EXPECT_EQ(DumpImage(bytes, 1000, 0), DumpImage(bytes, 20, 0));
}

}  // namespace
}  // namespace kv
