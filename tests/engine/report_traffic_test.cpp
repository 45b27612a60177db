// Report I/O's pure part: the traffic lines, and how many bytes of an input
// report form the message passed to the link.
#include "engine/report_traffic.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kv {
namespace {

TInputReportData Report(std::initializer_list<uint8_t> start) {
  const std::vector<uint8_t> bytes(start);
  return InputReportData(bytes.data(), bytes.size());
}

TEST(ReportTraffic, LinesCarryDirectionReportIdTwoBlanksAndEachByteInUpperCaseHex) {
  const std::vector<uint8_t> bytes{0x80, 0x0A, 0xFF, 0x00};
  EXPECT_EQ(TrafficLine(TTrafficDirection::kWritten, 0, bytes), "W 00  80 0A FF 00 ");
  EXPECT_EQ(TrafficLine(TTrafficDirection::kRead, 0x01, bytes), "R 01  80 0A FF 00 ");
  EXPECT_EQ(TrafficLine(TTrafficDirection::kWritten, 0, {}), "W 00  ");
}

TEST(ReportTraffic, AnIspRequestsWrittenLineListsSeventyBytes) {
  IspRequest request = BuildConnectRequest();
  const std::string line = TrafficLine(TTrafficDirection::kWritten, 0, request);
  EXPECT_EQ(line.size(), 6u + 70u * 3u);
  EXPECT_TRUE(line.starts_with("W 00  80 00 00 00 01 00 00 00 00 ")) << line;
  EXPECT_TRUE(line.ends_with("00 00 00 00 00 00 ")) << line;
}

TEST(ReportTraffic, DeviceFrameCarriesItsLengthPlusEightBytes) {
  EXPECT_EQ(MessageOfReport(Report({0x10, 0x02, 0x01, 0x00, 0x02})).Bytes, 10u);
  EXPECT_EQ(MessageOfReport(Report({0x10, 0x02, 0x01, 0x00, 0x00})).Bytes, 8u);
  // Byte 4 = 56 fills the report exactly.
  const TInputMessage full = MessageOfReport(Report({0x10, 0x02, 0x01, 0x00, 56}));
  EXPECT_EQ(full.Bytes, 64u);
  EXPECT_FALSE(full.Oversized);
}

TEST(ReportTraffic, FrameClaimingMoreThanTheReportHoldsCarriesNothing) {
  for (uint8_t length : {57, 200, 255}) {
    const TInputMessage message = MessageOfReport(Report({0x10, 0x02, 0x01, 0x00, length}));
    EXPECT_TRUE(message.Oversized) << int{length};
    EXPECT_EQ(message.Bytes, 0u) << int{length};
    EXPECT_EQ(message.ClaimedLength, length);
  }
  EXPECT_EQ(OversizedFrameNote(57), "-- dropped: frame length 57 exceeds the report");
}

TEST(ReportTraffic, EverythingElseIsASixtyFourByteBootLoaderReply) {
  EXPECT_EQ(MessageOfReport(Report({0x81, 0x00, 0x00, 0x00, 0x02})).Bytes, 64u);
  // A host frame's start (sender 0, receiver 1) is not the unit's.
  EXPECT_EQ(MessageOfReport(Report({0x10, 0x02, 0x00, 0x01, 0x02})).Bytes, 64u);
  EXPECT_EQ(MessageOfReport(Report({0x10, 0x02, 0x01, 0x01, 0x02})).Bytes, 64u);
  EXPECT_EQ(MessageOfReport(Report({})).Bytes, 64u);
  EXPECT_FALSE(IsDeviceFrame(Report({0x10, 0x02, 0x02, 0x00})));
  EXPECT_FALSE(IsDeviceFrame(Report({0x10, 0x03, 0x01, 0x00})));
  EXPECT_TRUE(IsDeviceFrame(Report({0x10, 0x02, 0x01, 0x00})));
}

TEST(ReportTraffic, InputReportIsCutOrZeroFilledToSixtyFourBytes) {
  const std::vector<uint8_t> longer(100, 0x77);
  const TInputReportData cut = InputReportData(longer.data(), longer.size());
  for (uint8_t byte : cut) EXPECT_EQ(byte, 0x77);
  const TInputReportData shorter = Report({1, 2, 3});
  EXPECT_EQ(shorter[2], 3);
  for (size_t i = 3; i < shorter.size(); ++i) EXPECT_EQ(shorter[i], 0) << i;
  const TInputReportData none = InputReportData(nullptr, 64);
  for (uint8_t byte : none) EXPECT_EQ(byte, 0);
}

TEST(ReportTraffic, EchoIsTheFirstFourBytesLittleEndian) {
  EXPECT_TRUE(EchoesRequest(Report({0x81, 0x00, 0x00, 0x00}), 0x81));
  EXPECT_FALSE(EchoesRequest(Report({0x81, 0x00, 0x00, 0x00}), 0x82));
  EXPECT_TRUE(EchoesRequest(Report({0xC0, 0x3F, 0x00, 0x00}), 16320));
  EXPECT_FALSE(EchoesRequest(Report({0x00, 0x00, 0x00, 0x81}), 0x81));
}

}  // namespace
}  // namespace kv
