// The one place where the tool's protocol code and the simulated unit meet in a
// test: the tool's request checksum and the unit's echo, on requests written out
// byte by byte. Everything else in the unit is judged without the tool's code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/isp_report.h"
#include "sim/boot_loader.h"
#include "sim/unit_memory.h"

namespace kv {
namespace {

struct LiteralRequest {
  const char* name;
  std::vector<uint8_t> bytes;  // the 64 data bytes the unit receives
  uint32_t sum;                // worked out by hand
};

std::vector<uint8_t> Request(std::vector<uint8_t> head, uint8_t fill = 0) {
  head.resize(64, fill);
  return head;
}

std::vector<LiteralRequest> LiteralRequests() {
  // "Start Program" for 67,324 bytes: 85 00 00 00 | 03 00 00 00 | 00 00 00 00 |
  // FC 06 01 00 | 48 image bytes, here all 0x10.
  std::vector<uint8_t> start{0x85, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 0xFC, 0x06, 0x01, 0x00};
  start.resize(64, 0x10);
  // The last data packet: its 20 image bytes (0xEE) in bytes 8 to 27, 0 after.
  std::vector<uint8_t> last{0x00, 0, 0, 0, 0xB9, 0x09, 0, 0};
  last.resize(28, 0xEE);
  return {
      {"connect", Request({0x80, 0, 0, 0, 0x01}), 0x81},
      {"sync package", Request({0x81, 0, 0, 0, 0x02, 0, 0, 0, 0x02}), 0x85},
      {"read config", Request({0x84, 0, 0, 0, 0x05}), 0x89},
      {"start program", start, 0x85 + 0x03 + 0xFC + 0x06 + 0x01 + 48 * 0x10},
      {"full data packet", Request({0x00, 0, 0, 0, 0x07, 0x01, 0, 0}, 0xFF),
       0x07 + 0x01 + 56 * 255},
      {"last data packet", Request(last), 0xB9 + 0x09 + 20 * 0xEE},
      // Bytes 4 to 63 all 0xFF behind code 0: the largest sum a known request has.
      {"largest", Request({0x00, 0, 0, 0}, 0xFF), 60 * 255},
  };
}

TEST(RequestSumAgreement, ToolAndUnitAddUpEveryLiteralRequestTheSame) {
  for (const LiteralRequest& literal : LiteralRequests()) {
    ASSERT_EQ(literal.bytes.size(), 64u) << literal.name;
    // The tool sums the 70-byte buffer whose bytes 64 to 69 stay 0.
    IspRequest buffer{};
    std::copy(literal.bytes.begin(), literal.bytes.end(), buffer.begin());
    EXPECT_EQ(IspRequestChecksum(buffer), literal.sum) << literal.name;

    // The unit receives report ID 0 and the 64 bytes, and echoes its own sum.
    std::vector<uint8_t> report(65, 0x00);
    std::copy(literal.bytes.begin(), literal.bytes.end(), report.begin() + 1);
    sim::BootLoader loader;
    sim::FlashMemory flash;
    sim::ProtocolLog log;
    sim::BootAnswer answer = loader.Handle(report.data(), report.size(), flash, log);
    ASSERT_TRUE(answer.answered) << literal.name;
    ASSERT_GE(answer.reply.size(), 4u);
    const uint32_t echo =
        static_cast<uint32_t>(answer.reply[0]) | static_cast<uint32_t>(answer.reply[1]) << 8 |
        static_cast<uint32_t>(answer.reply[2]) << 16 | static_cast<uint32_t>(answer.reply[3]) << 24;
    EXPECT_EQ(echo, literal.sum) << literal.name;
  }
}

TEST(RequestSumAgreement, TheToolsOwnConnectIsTheLiteralOne) {
  const IspRequest connect = BuildConnectRequest();
  std::vector<uint8_t> expected(70, 0);
  expected[0] = 0x80;
  expected[4] = 0x01;
  EXPECT_EQ(std::vector<uint8_t>(connect.begin(), connect.end()), expected);
  EXPECT_EQ(IspRequestChecksum(connect), 0x81u);
}

}  // namespace
}  // namespace kv
