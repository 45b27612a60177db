#include "image/mcu_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hex_records.h"
#include "image/dsp_image.h"
#include "image/firmware_data.h"

namespace kv {
namespace {

using test::DataRecord;
using test::HexRecord;
using test::HexTable;
using test::UpperRecord;
using test::WithBadChecksum;

const std::string kEnd = ":00000001FF";

// Parses and collects the message boxes the parse shows.
struct Parse {
  FirmwareImage image;
  std::vector<std::string> messages;
  McuParseOutcome Run(const HexTable& table, uint32_t bound = kMcuImageBound) {
    return ParseMcuImage(image, bound, table.Lines(),
                         [this](const std::string& text) { messages.push_back(text); });
  }
};

TEST(HexField, ReadsEitherCaseStopsAtANonDigitAndAtTheEndOfTheLine) {
  EXPECT_EQ(HexField(":10ABcd", 3, 4), 0xABCDu);
  EXPECT_EQ(HexField(":1G", 1, 2), 0x1u);
  EXPECT_EQ(HexField(":G1", 1, 2), 0u);
  EXPECT_EQ(HexField(std::string_view(":10FF").substr(0, 3), 1, 4), 0x10u);
  EXPECT_EQ(HexField(":10FF", 100, 4), 0u);
}

TEST(ParseMcuImage, EmbeddedImageFillsTheBufferAsTheUpdateExpects) {
  FirmwareImage image;
  image.ImageBuffer.fill(0xEE);
  int messages = 0;
  EXPECT_EQ(ParseMcuImage(image, kMcuImageBound, EmbeddedMcuHexLines(),
                          [&](const std::string&) { ++messages; }),
            McuParseOutcome::Complete);
  EXPECT_EQ(messages, 0);
  EXPECT_EQ(image.ImageByteCount, 67324);
  for (uint32_t a = 0x106F4; a < 0x106FC; ++a) EXPECT_EQ(image.ImageBuffer[a], 0) << a;
  const std::string_view signature(McuHexLines[std::size(McuHexLines) - 3]);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(image.ImageBuffer[0x10DF8 + i], HexField(signature, 9 + 2 * i, 2));
  }
  EXPECT_TRUE(std::all_of(image.ImageBuffer.begin() + 0x10E00,
                          image.ImageBuffer.begin() + kMcuImageBound,
                          [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(image.ImageBuffer[kMcuImageBound], 0xEE);  // the bound is not passed
}

TEST(ParseMcuImage, RepeatsIdenticallyAfterADspImageWasPrepared) {
  FirmwareImage first;
  FirmwareImage again;
  ParseMcuImage(first, kMcuImageBound, EmbeddedMcuHexLines(), nullptr);
  ASSERT_TRUE(PrepareDspImage(again));
  ParseMcuImage(again, kMcuImageBound, EmbeddedMcuHexLines(), nullptr);
  EXPECT_EQ(first.ImageBuffer, again.ImageBuffer);
  EXPECT_EQ(first.ImageByteCount, again.ImageByteCount);
}

TEST(ParseMcuImage, PlacesDataByAddressModeAndUpperAddress) {
  Parse parse;
  ASSERT_EQ(
      parse.Run({DataRecord(0x0010, {0x11}), UpperRecord(0x02, 0x0100), DataRecord(0x0020, {0x22}),
                 UpperRecord(0x04, 0x0001), DataRecord(0x0030, {0x33}), UpperRecord(0x02, 0x0200),
                 DataRecord(0x0004, {0x44}), kEnd}),
      McuParseOutcome::Complete);
  EXPECT_EQ(parse.image.ImageBuffer[0x0010], 0x11);
  EXPECT_EQ(parse.image.ImageBuffer[0x1000 + 0x20], 0x22);
  EXPECT_EQ(parse.image.ImageBuffer[0x10000 + 0x30], 0x33);
  EXPECT_EQ(parse.image.ImageBuffer[0x2000 + 0x04], 0x44);  // 02 replaced the 04 before it
  EXPECT_EQ(parse.image.ImageByteCount, 4);
}

TEST(ParseMcuImage, RecordEndingAtTheBoundIsStoredOneBeyondStops) {
  const std::vector<uint8_t> sixteen(16, 0x8F);
  Parse atBound;
  EXPECT_EQ(atBound.Run({DataRecord(0x30, sixteen), kEnd}, 0x40), McuParseOutcome::Complete);
  EXPECT_EQ(atBound.image.ImageBuffer[0x3F], 0x8F);

  Parse beyond;
  beyond.image.ImageBuffer.fill(0xEE);
  EXPECT_EQ(
      beyond.Run({DataRecord(0, {1, 2}), DataRecord(0x31, sixteen), DataRecord(0x10, {3}), kEnd},
                 0x40),
      McuParseOutcome::BeyondBound);
  EXPECT_EQ(beyond.image.ImageBuffer[0x01], 2);
  EXPECT_EQ(beyond.image.ImageBuffer[0x31], 0);  // cleared, not stored
  EXPECT_EQ(beyond.image.ImageBuffer[0x10], 0);  // the parse stopped before it
  EXPECT_EQ(beyond.image.ImageBuffer[0x40], 0xEE);
  EXPECT_EQ(beyond.image.ImageByteCount, 2);
  EXPECT_TRUE(beyond.messages.empty());
}

TEST(ParseMcuImage, BoundAboveTheBufferNeverWritesOutsideIt) {
  Parse parse;
  EXPECT_EQ(
      parse.Run({UpperRecord(0x04, 0x0001), DataRecord(0x17F8, std::vector<uint8_t>(16)), kEnd},
                0xFFFFFFFF),
      McuParseOutcome::BeyondBound);
  EXPECT_EQ(
      parse.Run({UpperRecord(0x04, 0xFFFF), DataRecord(0xFFF8, std::vector<uint8_t>(16)), kEnd},
                0xFFFFFFFF),
      McuParseOutcome::BeyondBound);
}

TEST(ParseMcuImage, ChecksumErrorShowsOneMessageAndKeepsTheFailingRecord) {
  Parse parse;
  EXPECT_EQ(parse.Run({DataRecord(0, {1}), WithBadChecksum(DataRecord(0x10, {0x5A, 0x5B})),
                       DataRecord(0x20, {2}), kEnd}),
            McuParseOutcome::ChecksumError);
  EXPECT_EQ(parse.messages, std::vector<std::string>{"Check sum error!"});
  EXPECT_EQ(parse.image.ImageBuffer[0x11], 0x5B);
  EXPECT_EQ(parse.image.ImageBuffer[0x20], 0);
  EXPECT_EQ(parse.image.ImageByteCount, 3);
}

TEST(ParseMcuImage, NonDataRecordsWithWrongChecksumsPassUnnoticed) {
  Parse parse;
  EXPECT_EQ(parse.Run({WithBadChecksum(UpperRecord(0x04, 0)), DataRecord(0, {7}),
                       WithBadChecksum(HexRecord(0x05, 0, {0, 0, 0, 0xC1})), kEnd}),
            McuParseOutcome::Complete);
  EXPECT_TRUE(parse.messages.empty());
  EXPECT_EQ(parse.image.ImageBuffer[0], 7);
}

TEST(ParseMcuImage, MissingEndRecordAndLinesWithoutColonFail) {
  Parse parse;
  EXPECT_EQ(parse.Run({DataRecord(0, {1}), DataRecord(1, {2})}), McuParseOutcome::NoEndOfFile);
  EXPECT_EQ(parse.image.ImageByteCount, 2);
  for (const char* odd : {"", "1000000001", " :00000001FF"}) {
    EXPECT_EQ(parse.Run({DataRecord(0, {1}), odd, DataRecord(1, {2}), kEnd}),
              McuParseOutcome::NotARecord);
    EXPECT_EQ(parse.image.ImageByteCount, 1);
  }
  EXPECT_TRUE(parse.messages.empty());
}

TEST(ParseMcuImage, ShortLinesAreReadOnlyUpToTheirEnd) {
  Parse parse;
  EXPECT_EQ(parse.Run({":1000000001020304", kEnd}), McuParseOutcome::ChecksumError);
  EXPECT_EQ(parse.image.ImageBuffer[3], 0x04);
  EXPECT_EQ(parse.image.ImageBuffer[4], 0x00);
  // ":" reads as an empty data record; the others claim bytes the line lacks.
  for (const char* stub : {":", ":1", ":100", ":0400000"}) parse.Run({stub, kEnd});
  EXPECT_EQ(parse.messages.size(), 4u);
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

// Records are placed by address: a later record over an earlier one's bytes
// overwrites them, and both records' counts are added up.
TEST(ParseMcuImage, OverlappingRecordsAreCountedTwiceAndTheLaterBytesWin) {
  // 11 22 33 44 at 0, then AA BB at 2.
  const std::vector<std::string> lines{":040000001122334452", ":02000200AABB97", ":00000001FF"};
  std::vector<const char*> table;
  for (const std::string& line : lines) table.push_back(line.c_str());
  FirmwareImage image;
  std::vector<std::string> messages;
  EXPECT_EQ(ParseMcuImage(image, kMcuImageBound, table,
                          [&](const std::string& text) { messages.push_back(text); }),
            McuParseOutcome::Complete);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(image.ImageByteCount, 6);
  EXPECT_EQ(image.ImageBuffer[0], 0x11);
  EXPECT_EQ(image.ImageBuffer[1], 0x22);
  EXPECT_EQ(image.ImageBuffer[2], 0xAA);
  EXPECT_EQ(image.ImageBuffer[3], 0xBB);
  EXPECT_EQ(image.ImageBuffer[4], 0x00);
}

}  // namespace
}  // namespace kv
