// The step sequencer's decisions, from the boot loader's step table: texts,
// failures, packet numbers, the arming of each reply and the order of the steps.
#include "engine/isp_steps.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/isp_report.h"
#include "engine/update_state.h"

namespace kv {
namespace {

TEST(IspSteps, EachStepShowsItsNameWhileItsRequestIsOutstanding) {
  EXPECT_EQ(IspStepText(2), "Connect");
  EXPECT_EQ(IspStepText(3), "Sync Package");
  EXPECT_EQ(IspStepText(4), "Get Firmware Version");
  EXPECT_EQ(IspStepText(5), "Get Device ID");
  EXPECT_EQ(IspStepText(6), "Read Config");
  EXPECT_EQ(IspStepText(7), "Sync Program");
  EXPECT_EQ(IspStepText(8), "Start Program");
  EXPECT_EQ(IspStepText(10), "MCU Reset");
  // The data packets' text carries the progress; run mode has no step text.
  EXPECT_EQ(IspStepText(9), "");
  EXPECT_EQ(IspStepText(0), "");
  EXPECT_EQ(IspStepText(1), "");
  EXPECT_EQ(IspDataStepText(0), "Mcu Programing 0");
  EXPECT_EQ(IspDataStepText(1200), "Mcu Programing 1200");
  EXPECT_EQ(IspDataStepText(-1), "Mcu Programing -1");
}

TEST(IspSteps, DeviceIdTextShowsThreeWordsInEightUpperCaseDigits) {
  EXPECT_EQ(IspDeviceIdText(0x12AB, 0, 0xFFFFFFFF), "Device ID : 000012AB, 00000000, FFFFFFFF");
  EXPECT_EQ(IspDeviceIdText(0xDEADBEEF, 0x1, 0xABCDEF0),
            "Device ID : DEADBEEF, 00000001, 0ABCDEF0");
}

TEST(IspSteps, WrongEchoShowsTheStepsMessageAndEndsTheConnectionOnlyForThreeSteps) {
  struct Expected {
    int32_t state;
    const char* message;
    bool endsConnection;
  };
  for (const Expected& expected : std::vector<Expected>{
           {2, "ISP Start Error !!", true},
           {3, "ISP Sync Error !!", true},
           {4, "Erase All Error !!", false},
           {5, "Get ID Error !!", true},
           {6, "Erase All Error !!", false},
           {7, "Erase All Error !!", false},
           {8, "Program Start Error !!", false},
           {9, "Program Data Error !!", false},
       }) {
    const TIspStepFailure failure = IspStepFailure(expected.state);
    EXPECT_EQ(failure.Message, expected.message) << "state " << expected.state;
    EXPECT_EQ(failure.EndsConnection, expected.endsConnection) << "state " << expected.state;
  }
}

TEST(IspSteps, ProgressIsTheQuotientTruncatedTowardZero) {
  EXPECT_EQ(IspDataProgress(2), 0);
  EXPECT_EQ(IspDataProgress(1), -1);
  EXPECT_EQ(IspDataProgress(6), 1);
  EXPECT_EQ(IspDataProgress(3), 0);
  EXPECT_EQ(IspDataProgress(0), -1);  // -3 / 2 truncated, not floored
  EXPECT_EQ(IspDataProgress(std::numeric_limits<int32_t>::min()), -1073741825);
}

TEST(IspSteps, PacketNumberCountsOnAndWrapsLikeItsThirtyTwoBitField) {
  EXPECT_EQ(NextIspPacketNumber(1), 2);
  EXPECT_EQ(NextIspPacketNumber(-1), 0);
  EXPECT_EQ(NextIspPacketNumber(std::numeric_limits<int32_t>::max()),
            std::numeric_limits<int32_t>::min());
}

TEST(IspSteps, StepsFollowEachOtherFromConnectToStartProgram) {
  constexpr int32_t kImage = 67324;
  EXPECT_EQ(IspStateAfterReply(2, 0, kImage), 3);
  EXPECT_EQ(IspStateAfterReply(3, 0, kImage), 4);
  EXPECT_EQ(IspStateAfterReply(4, 0, kImage), 5);
  EXPECT_EQ(IspStateAfterReply(5, 0, kImage), 6);
  EXPECT_EQ(IspStateAfterReply(6, 0, kImage), 7);
  EXPECT_EQ(IspStateAfterReply(7, 0, kImage), 8);
  EXPECT_EQ(IspStateAfterReply(8, 48, kImage), 9);
  EXPECT_EQ(IspStateAfterReply(9, kImage - 1, kImage), 9);
  // The reply to the packet that carried the last byte leads straight to "MCU Reset".
  EXPECT_EQ(IspStateAfterReply(9, kImage, kImage), 10);
  // An image of exactly one start packet has no data packet.
  EXPECT_EQ(IspStateAfterReply(8, 48, 48), 10);
  // Run mode and "MCU Reset" are not the sequencer's replies.
  EXPECT_EQ(IspStateAfterReply(1, 0, kImage), 1);
  EXPECT_EQ(IspStateAfterReply(10, kImage, kImage), 10);
}

TEST(IspSteps, ArmingDependsOnTheStepAndTheBytesLeftBehindTheOffset) {
  constexpr int32_t kImage = 67324;
  EXPECT_EQ(IspReplyArming(8, 48, kImage), TIspReplyArming::kStartProgram);
  EXPECT_EQ(IspReplyArming(9, kImage - 57, kImage), TIspReplyArming::kData);
  EXPECT_EQ(IspReplyArming(9, kImage - 56, kImage), TIspReplyArming::kOther);
  EXPECT_EQ(IspReplyArming(9, kImage, kImage), TIspReplyArming::kOther);
  // The first steps: offset 0 in a fresh window, the whole image after a finished run.
  EXPECT_EQ(IspReplyArming(2, 0, kImage), TIspReplyArming::kData);
  EXPECT_EQ(IspReplyArming(2, kImage, kImage), TIspReplyArming::kOther);
}

// Walks a whole run of the embedded image's length the way the sequencer does:
// 1,202 data packets, 1,201 of 56 bytes and a last one of 20; 1000 ms for
// "Start Program", 20 ms per data packet while more than 56 bytes remain behind
// it, 200 ms otherwise, first steps 20 ms: 25,520 ms in all.
TEST(IspSteps, AFreshRunOfTheEmbeddedImageLengthIsArmedFor25520Ms) {
  constexpr int32_t kImage = 67324;
  const std::vector<uint8_t> image(kImage, 0xA5);
  const auto armedMs = [](TIspReplyArming arming) {
    switch (arming) {
      case TIspReplyArming::kStartProgram:
        return 1000;
      case TIspReplyArming::kData:
        return 20;
      case TIspReplyArming::kOther:
        return 200;
    }
    return 0;
  };
  int32_t state = usConnect;
  int32_t offset = 0;
  int64_t totalMs = 0;
  int dataPackets = 0;
  std::vector<int32_t> packetBytes;
  for (int guard = 0; guard < 2000 && state != usMcuReset; ++guard) {
    if (state == usStartProgram) offset = 48;
    if (state == usProgramData) {
      const IspDataPacket packet = BuildProgramDataRequest(1, image, kImage, offset);
      offset += packet.BytesCopied;
      packetBytes.push_back(packet.BytesCopied);
      ++dataPackets;
    }
    totalMs += armedMs(IspReplyArming(state, offset, kImage));
    state = IspStateAfterReply(state, offset, kImage);
  }
  EXPECT_EQ(state, usMcuReset);
  EXPECT_EQ(dataPackets, 1202);
  ASSERT_EQ(packetBytes.size(), 1202u);
  EXPECT_EQ(packetBytes.front(), 56);
  EXPECT_EQ(packetBytes[1200], 56);
  EXPECT_EQ(packetBytes.back(), 20);
  EXPECT_EQ(offset, kImage);
  EXPECT_EQ(totalMs, 25520);
}

}  // namespace
}  // namespace kv
