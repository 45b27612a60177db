#include "link/lcmd.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

TEST(LcmdBuildFrame, KnownFramesByteForByte) {
  EXPECT_EQ(BuildFrame(TCmdPacket(1, cmdKeepAlive), pkFramed),
            ByteBuffer({0x10, 0x02, 0x00, 0x01, 0x01, 0x12, 0x10, 0x03, 0x13}));
  // The code byte equals DLE and is sent once; the code-only form addresses unit 1.
  EXPECT_EQ(BuildFrame(TCmdPacket(cmdIdentify), pkFramed),
            ByteBuffer({0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03, 0x11}));
  EXPECT_EQ(BuildFrame(TCmdPacket(1, cmdReadParameter, 0), pkFramed),
            ByteBuffer({0x10, 0x02, 0x00, 0x01, 0x02, 0xA8, 0x00, 0x10, 0x03, 0xAA}));
  EXPECT_EQ(
      BuildFrame(TCmdPacket(1, cmdCode1A, 0x01, 0x00, 0x01, 0x00), pkFramed),
      ByteBuffer({0x10, 0x02, 0x00, 0x01, 0x05, 0x1A, 0x01, 0x00, 0x01, 0x00, 0x10, 0x03, 0x1F}));
  // A payload DLE is carried once and XORed in once.
  EXPECT_EQ(BuildFrame(TCmdPacket(1, 0x20, 0x10), pkFramed),
            ByteBuffer({0x10, 0x02, 0x00, 0x01, 0x02, 0x20, 0x10, 0x10, 0x03,
                        0x02 ^ 0x01 ^ 0x02 ^ 0x20 ^ 0x10 ^ 0x03}));
}

TEST(LcmdBuildFrame, RawModeCopiesThePayloadOtherModesGiveNothing) {
  const uint8_t request[] = {0x80, 0, 0, 0, 1};
  const TCmdPacket raw = TCmdPacket::Raw(request, sizeof request);
  EXPECT_EQ(raw.Unit + raw.Code, 0);
  EXPECT_EQ(BuildFrame(raw, pkRaw), ByteBuffer(request, sizeof request));
  EXPECT_TRUE(BuildFrame(raw, 2).empty());
  EXPECT_TRUE(BuildFrame(raw, -1).empty());
}

TEST(LcmdBuildFrame, LargestPayloadFillsOneReportOneMoreIsRefused) {
  TCmdPacket packet(1, cmdDspBlock);
  packet.Payload.resize(kMaxFramePayloadBytes, 0x10);
  const ByteBuffer frame = BuildFrame(packet, pkFramed);
  ASSERT_EQ(frame.size(), kReportDataBytes);
  EXPECT_TRUE(HasFrameShape(frame));
  packet.Payload.push_back(0);
  EXPECT_TRUE(BuildFrame(packet, pkFramed).empty());
}

TEST(LcmdFrameShape, ChecksHeadAndTrailerPositionsOnly) {
  EXPECT_TRUE(HasFrameShape(ByteBuffer({0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0xFF})));
  EXPECT_FALSE(HasFrameShape(ByteBuffer({0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03})));
  EXPECT_FALSE(HasFrameShape(ByteBuffer({0x10, 0x02, 0x10})));
  EXPECT_FALSE(HasFrameShape(nullptr, 9));
}

TEST(LcmdParseResponse, FrameAndRawReportExamples) {
  const TCmdPacket frame =
      ParseResponse(ByteBuffer({0x10, 0x02, 0x01, 0x00, 0x03, 0x10, 0x33, 0x41, 0x10, 0x03, 0x5A}));
  EXPECT_EQ(frame.Unit, 1);
  EXPECT_EQ(frame.Code, 0x10);
  EXPECT_EQ(frame.Payload, ByteBuffer({0x33, 0x41}));

  ByteBuffer report(64);
  report[0] = 0x34;
  report[1] = 0x12;
  report[3] = 0x80;
  for (size_t i = 4; i < 64; ++i) report[i] = static_cast<uint8_t>(i);
  const TCmdPacket raw = ParseResponse(report);
  EXPECT_EQ(raw.Value, 0x80001234u);
  ASSERT_EQ(raw.Payload.size(), 60u);
  EXPECT_EQ(raw.Payload[0], 4);
  EXPECT_EQ(raw.Payload[59], 63);

  // A frame head without the trailer is a raw report.
  report[0] = 0x10;
  report[1] = 0x02;
  EXPECT_EQ(ParseResponse(report).Payload.size(), 60u);
}

TEST(LcmdParseResponse, ReadsOnlyTheBytesThatExist) {
  const TCmdPacket shortRaw = ParseResponse(ByteBuffer({0x81, 0x00, 0x00, 0x00, 0x07}));
  EXPECT_EQ(shortRaw.Value, 0x81u);
  EXPECT_EQ(shortRaw.Payload, ByteBuffer({0x07}));
  EXPECT_EQ(ParseResponse(ByteBuffer({0x34, 0x12})).Value, 0x1234u);
  EXPECT_EQ(ParseResponse(ByteBuffer(100, 0xEE)).Payload.size(), 60u);
  EXPECT_TRUE(ParseResponse(ByteBuffer()).Payload.empty());

  // L = 0: no payload. L past the end: the payload stops at the trailer.
  EXPECT_TRUE(ParseResponse(ByteBuffer({0x10, 0x02, 0x01, 0x00, 0x00, 0x13, 0x10, 0x03, 0x00}))
                  .Payload.empty());
  EXPECT_EQ(
      ParseResponse(ByteBuffer({0x10, 0x02, 0x01, 0x00, 0xFF, 0x13, 0x41, 0x42, 0x10, 0x03, 0x00}))
          .Payload,
      ByteBuffer({0x41, 0x42}));
  const TCmdPacket stub = ParseResponse(ByteBuffer({0x10, 0x02, 0x10, 0x03, 0x00}));
  EXPECT_EQ(stub.Code, 0);
  EXPECT_TRUE(stub.Payload.empty());
}

}  // namespace
}  // namespace kv
