#include "engine/isp_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/firmware_data.h"
#include "image/mcu_image.h"

namespace kv {
namespace {

bool AllZero(const IspRequest& request, size_t from, size_t to) {
  return std::all_of(request.begin() + from, request.begin() + to,
                     [](uint8_t b) { return b == 0; });
}

TCmdPacket Reply(const IspReply& reply) {
  return ParseResponse(reply.data(), reply.size());
}

const FirmwareImage& McuImage() {
  static const FirmwareImage image = [] {
    FirmwareImage parsed;
    ParseMcuImage(parsed, kMcuImageBound, EmbeddedMcuHexLines(), nullptr);
    return parsed;
  }();
  return image;
}

TEST(IspRequest, ConnectIsCodeAndNumberOneWithSum0x81) {
  const IspRequest request = BuildConnectRequest();
  EXPECT_EQ(request[0], 0x80);
  EXPECT_EQ(request[4], 0x01);
  EXPECT_TRUE(AllZero(request, 1, 4));
  EXPECT_TRUE(AllZero(request, 5, kIspRequestBufferBytes));
  EXPECT_EQ(IspRequestChecksum(request), 0x81u);
  EXPECT_EQ(ReplyChecksumEcho(Reply(BuildIspReply(0x81, 2))), IspRequestChecksum(request));
}

TEST(IspRequest, ByteNumberedStepsCarryOnlyTheLowByte) {
  const IspRequest sync = BuildSyncPackageRequest(0x1FF);
  EXPECT_EQ(sync[0], ispSyncPacket);
  EXPECT_EQ(sync[4], 0xFF);
  EXPECT_EQ(sync[8], 0xFF);
  EXPECT_TRUE(AllZero(sync, 5, 8));
  const IspRequest readConfig = BuildReadConfigRequest(0x103);
  EXPECT_EQ(readConfig[0], ispReadConfig);
  EXPECT_EQ(readConfig[4], 0x03);
  EXPECT_TRUE(AllZero(readConfig, 5, kIspRequestBufferBytes));
  EXPECT_EQ(IspRequestChecksum(BuildSyncProgramRequest()), 0x81u + 1 + 1);
}

TEST(IspRequest, StartProgramForTheEmbeddedImage) {
  const FirmwareImage& image = McuImage();
  const IspRequest request =
      BuildStartProgramRequest(0x01020304, image.ImageByteCount, image.ImageBuffer);
  EXPECT_EQ(std::vector<uint8_t>(request.begin(), request.begin() + 16),
            (std::vector<uint8_t>{0x85, 0, 0, 0, 4, 3, 2, 1, 0, 0, 0, 0, 0xFC, 0x06, 0x01, 0x00}));
  EXPECT_TRUE(std::equal(request.begin() + 16, request.begin() + 64, image.ImageBuffer.begin()));
  EXPECT_TRUE(AllZero(request, 64, 70));
  // An image shorter than 48 bytes is copied only as far as it goes.
  const std::vector<uint8_t> tiny(10, 0xAB);
  EXPECT_TRUE(AllZero(BuildStartProgramRequest(3, 10, tiny), 26, kIspRequestBufferBytes));
}

TEST(IspRequest, EmbeddedImageTakes1202DataPacketsTheLastOf20Bytes) {
  const FirmwareImage& image = McuImage();
  int32_t offset = static_cast<int32_t>(kIspStartDataBytes);
  int packets = 0;
  IspDataPacket packet{};
  while (offset < image.ImageByteCount) {
    packet = BuildProgramDataRequest(0x10203, image.ImageBuffer, image.ImageByteCount, offset);
    ASSERT_EQ(packet.BytesCopied, offset + 56 <= image.ImageByteCount ? 56 : 20);
    ASSERT_TRUE(std::equal(image.ImageBuffer.begin() + offset,
                           image.ImageBuffer.begin() + offset + packet.BytesCopied,
                           packet.Request.begin() + 8));
    offset += packet.BytesCopied;
    ++packets;
  }
  EXPECT_EQ(packets, 1202);
  EXPECT_EQ(offset, 67324);
  EXPECT_EQ(ReadLe32(packet.Request, 0), uint32_t{ispProgramData});
  EXPECT_EQ(ReadLe32(packet.Request, 4), 0x10203u);
  EXPECT_TRUE(AllZero(packet.Request, 28, kIspRequestBufferBytes));
}

TEST(IspRequest, DataPacketNeverReadsOutsideTheImage) {
  const std::vector<uint8_t> image(100, 1);
  EXPECT_EQ(BuildProgramDataRequest(1, image, 1000, 90).BytesCopied, 10);
  EXPECT_EQ(BuildProgramDataRequest(1, image, 1000, 500).BytesCopied, 0);
  EXPECT_EQ(BuildProgramDataRequest(1, image, 100, 100).BytesCopied, 0);
  EXPECT_EQ(BuildProgramDataRequest(1, image, 100, -4).BytesCopied, 0);
}

TEST(IspReply, PacketNumberIsByteFourOrAllFourBytesAndDataWordsFollow) {
  IspReply raw = BuildIspReply(0x1234, 0x00000305);
  WriteLe32(raw, kIspConfigWord1Offset, 0x11223344);
  const TCmdPacket reply = Reply(raw);
  EXPECT_EQ(ReplyPacketNumberByte(reply), 0x05u);
  EXPECT_EQ(ReplyPacketNumber32(reply), 0x305u);
  EXPECT_EQ(ReplyDataWord(reply, kIspConfigWord1Offset), 0x11223344u);
  EXPECT_FALSE(WriteLe32(raw, 61, 0));
}

TEST(IspReply, ShortReplyFailsTheCheckedRead) {
  const uint8_t shortReply[] = {0x81, 0, 0, 0, 0x02, 0, 0, 0, 0xAA};
  const TCmdPacket reply = ParseResponse(shortReply, sizeof shortReply);
  EXPECT_EQ(ReplyPacketNumberByte(reply), 0x02u);
  try {
    ReplyDataWord(reply, kIspDeviceIdOffset);
    FAIL() << "read past the reply";
  } catch (const std::out_of_range& error) {
    EXPECT_EQ(std::string(error.what()), "vector");
  }
}

// The unit sent fewer bytes than the report holds: what a step reads (bytes 4-7
// for the packet number, 8-11 the device identifier, 8-15 the configuration
// words) must be among the bytes received, never the zeros standing past them.
TEST(IspReply, AReplyMustCarryEveryFieldItsStepReads) {
  struct Case {
    int32_t state;
    std::vector<uint8_t> received;
    bool enough;
  };
  const std::vector<Case> cases{
      {9, {0x3C, 0x12, 0, 0}, false},                          // echo alone
      {9, {0x3C, 0x12, 0, 0, 0x59, 0x04, 0}, false},           // packet number cut
      {9, {0x3C, 0x12, 0, 0, 0x59, 0x04, 0, 0}, true},         // echo and packet number
      {2, {0x81, 0, 0, 0, 0x02, 0, 0, 0}, true},               // connect
      {5, {0x84, 0, 0, 0, 0x03, 0, 0, 0, 0x51, 0x23}, false},  // device identifier cut
      {5, {0x84, 0, 0, 0, 0x03, 0, 0, 0, 0x00, 0x51, 0x23, 0x00}, true},
      {6, {0x85, 0, 0, 0, 0x04, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7}, false},  // second word cut
      {6, {0x85, 0, 0, 0, 0x04, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.received.size() >= IspReplyBytesNeeded(c.state), c.enough)
        << "state " << c.state << ", " << c.received.size() << " bytes";
  }
}

}  // namespace
}  // namespace kv
