// The unit's protocol logic on its own: frames, key, boot loader, run-mode
// firmware and the verdict, without the bus or threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "image/firmware_data.h"
#include "sim/boot_loader.h"
#include "sim/device_frame.h"
#include "sim/hex_image.h"
#include "sim/parameter_block.h"
#include "sim/request_pacing.h"
#include "sim/run_firmware.h"
#include "sim/unit_verdict.h"
#include "test_host.h"

namespace kv::sim {
namespace {

using namespace test_host;
using namespace std::chrono_literals;

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

bool Mentions(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

TEST(DeviceFrame, AnswerFrameCarriesUnitAddressAndXorChecksum) {
  // 10 02 01 00 03 10 33 41 10 03, then their XOR: 0x61.
  std::vector<uint8_t> frame = BuildDeviceFrame(0x10, {0x33, 0x41});
  EXPECT_EQ(frame, (std::vector<uint8_t>{0x10, 0x02, 0x01, 0x00, 0x03, 0x10, 0x33, 0x41, 0x10, 0x03,
                                         0x61}));
  EXPECT_EQ(BuildDeviceFrame(0x12, {}),
            (std::vector<uint8_t>{0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0x13}));
}

TEST(DeviceFrame, ReadsTheToolsFramesAndRejectsBrokenOnes) {
  // The host's frames as written out: identify, keep-alive, parameter block 0, code 1A.
  for (const std::vector<uint8_t>& literal :
       {std::vector<uint8_t>{0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03, 0x11},
        std::vector<uint8_t>{0x10, 0x02, 0x00, 0x01, 0x01, 0x12, 0x10, 0x03, 0x13},
        std::vector<uint8_t>{0x10, 0x02, 0x00, 0x01, 0x02, 0xA8, 0x00, 0x10, 0x03, 0xAA},
        std::vector<uint8_t>{0x10, 0x02, 0x00, 0x01, 0x05, 0x1A, 0x01, 0x00, 0x01, 0x00, 0x10, 0x03,
                             0x1F}}) {
    HostFrame read = ReadHostFrame(literal.data(), literal.size());
    EXPECT_EQ(read.status, HostFrameStatus::kValid) << read.problem;
    EXPECT_EQ(read.code, literal[5]);
    EXPECT_EQ(read.payload.size(), literal[4] - 1u);
  }
  std::vector<uint8_t> good = Frame(0xA8, {7});
  HostFrame frame = ReadHostFrame(good.data(), good.size());
  ASSERT_EQ(frame.status, HostFrameStatus::kValid) << frame.problem;
  EXPECT_EQ(frame.code, 0xA8);
  EXPECT_EQ(frame.payload, std::vector<uint8_t>{7});

  std::vector<uint8_t> bytes(good.begin(), good.end());
  bytes.back() ^= 1;
  EXPECT_EQ(ReadHostFrame(bytes.data(), bytes.size()).status, HostFrameStatus::kBadChecksum);
  bytes = {good.begin(), good.end()};
  bytes[3] = 2;  // addressed to another unit
  EXPECT_EQ(ReadHostFrame(bytes.data(), bytes.size()).status, HostFrameStatus::kBadAddress);
  bytes = {good.begin(), good.end()};
  bytes[4] = 57;  // claims more than one report holds
  bytes.resize(64, 0);
  EXPECT_EQ(ReadHostFrame(bytes.data(), bytes.size()).status, HostFrameStatus::kBadLength);
  bytes = {good.begin(), good.end()};
  bytes[4] = 3;  // trailer not where the length puts it
  bytes.resize(64, 0);
  EXPECT_EQ(ReadHostFrame(bytes.data(), bytes.size()).status, HostFrameStatus::kBadLength);
  EXPECT_EQ(ReadHostFrame(bytes.data(), 3).status, HostFrameStatus::kNotAFrame);
}

TEST(ParameterBlock, KeyFromSelectorAndMaskAndPiecesCoverTheBlock) {
  ParameterBlock block = MakeParameterBlock(0, 0, 1);
  uint32_t expected = 0;
  for (int i = 0; i < 4; ++i) {
    expected |= static_cast<uint32_t>(block[5 + i] ^ block[9 + i]) << (8 * i);
  }
  EXPECT_EQ(DeriveUnitKey(block), expected);

  // The mask cancels out of the key; the selector moves the bytes it is taken from.
  ParameterBlock masked = MakeParameterBlock(0, 0x77, 1);
  EXPECT_EQ(DeriveUnitKey(masked), expected);
  ParameterBlock moved = MakeParameterBlock(31, 0, 1);
  uint32_t from_end = 0;
  for (int i = 0; i < 4; ++i) {
    from_end |= static_cast<uint32_t>(moved[501 + i] ^ moved[505 + i]) << (8 * i);
  }
  EXPECT_EQ(DeriveUnitKey(moved), from_end);

  std::vector<uint8_t> joined;
  for (uint8_t piece = 0; piece <= kLastParameterPiece; ++piece) {
    std::vector<uint8_t> payload = ParameterPiece(block, piece);
    ASSERT_EQ(payload.size(), piece == 10 ? 17u : 51u);
    EXPECT_EQ(payload[0], piece);
    joined.insert(joined.end(), payload.begin() + 1, payload.end());
  }
  EXPECT_TRUE(std::equal(joined.begin(), joined.end(), block.begin(), block.end()));
  EXPECT_TRUE(ParameterPiece(block, 11).empty());
}

// Drives the boot loader as a host would and keeps what it was told.
class BootLoaderDriver {
 public:
  BootAnswer Send(const std::vector<uint8_t>& request) {
    std::vector<uint8_t> report = Report(request);
    return loader.Handle(report.data(), report.size(), flash, log);
  }
  BootLoader loader;
  FlashMemory flash;
  ProtocolLog log;
};

TEST(BootLoader, EchoesSumAndNumberAndTellsIdAndConfig) {
  BootLoaderDriver driver;
  // 80 00 00 00 01 00 ... adds up to 0x81.
  BootAnswer connect = driver.Send(Connect());
  ASSERT_TRUE(connect.answered);
  ASSERT_EQ(connect.reply.size(), 64u);
  EXPECT_EQ(Le32(connect.reply, 0), 0x81u);
  EXPECT_EQ(Le32(connect.reply, 4), 2u);
  BootAnswer sync = driver.Send(Sync(2));
  EXPECT_EQ(sync.step, BootStep::kSyncPackage);
  EXPECT_EQ(Le32(sync.reply, 0), 0x81u + 2u + 2u);
  driver.Send(FirmwareVersion(3));
  BootAnswer id = driver.Send(DeviceId(4));
  EXPECT_EQ(Le32(id.reply, 0), 0x83u + 4u);
  EXPECT_EQ(Le32(id.reply, 8), kSimDeviceId);
  BootAnswer config = driver.Send(ReadConfig(5));
  EXPECT_EQ(Le32(config.reply, 8), kSimConfigWord0);
  EXPECT_EQ(Le32(config.reply, 12), kSimConfigWord1);
  EXPECT_EQ(driver.Send(Sync(1)).step, BootStep::kSyncProgram);
  EXPECT_EQ(driver.log.ViolationCount(), 0u) << driver.log.Violations().front();

  // Every byte counts once: a connect whose bytes 4 to 63 are all 0xFF.
  std::vector<uint8_t> full(64, 0xFF);
  full[0] = 0x80;
  full[1] = full[2] = full[3] = 0;
  BootAnswer noisy = driver.Send(full);
  ASSERT_TRUE(noisy.answered);
  EXPECT_EQ(Le32(noisy.reply, 0), 0x80u + 60u * 255u);
}

TEST(BootLoader, ProgramsAnnouncedLengthAndNotesEveryDeparture) {
  BootLoaderDriver driver;
  driver.Send(Connect());
  driver.Send(DeviceId(2));  // skips sync package and firmware version
  EXPECT_TRUE(Mentions(driver.log.Violations(), "get device id out of order, after connect"));

  std::vector<uint8_t> image(48 + 56 + 10);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  BootLoaderDriver run;
  for (const std::vector<uint8_t>& request :
       {Connect(), Sync(2), FirmwareVersion(3), DeviceId(4), ReadConfig(5), Sync(1)}) {
    run.Send(request);
  }
  BootAnswer start = run.Send(StartProgram(3, static_cast<uint32_t>(image.size()), image));
  EXPECT_TRUE(start.erases);
  uint32_t number = 5;
  for (size_t offset = 48; offset < image.size(); offset += 56) {
    run.Send(DataPacket(number, image, offset));
    number += 2;
  }
  run.Send(DataPacket(number + 1, image, image.size()));  // one too many, wrong number too
  EXPECT_TRUE(run.Send(Reset(number + 3)).resets);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), run.flash.bytes.begin()));
  EXPECT_EQ(run.flash.bytes[image.size()], 0xFF);
  const auto& violations = run.log.Violations();
  ASSERT_EQ(run.log.ViolationCount(), 2u);
  EXPECT_TRUE(Mentions(violations, "data packet 2 carries packet number 10, expected 9"));
  EXPECT_TRUE(Mentions(violations, "data packet 2 beyond the announced length of 114 bytes"));
}

TEST(BootLoader, TellsTheArmingTheHostKeepsAfterEachRequest) {
  // 48 + 56 × 3 bytes: after packet 0 two packets' bytes remain, after packet 1 one.
  std::vector<uint8_t> image(48 + 56 * 3, 0x11);
  BootLoaderDriver run;
  for (const std::vector<uint8_t>& request :
       {Connect(), Sync(2), FirmwareVersion(3), DeviceId(4), ReadConfig(5), Sync(1)}) {
    EXPECT_EQ(run.Send(request).next_request_after, 20ms);
  }
  EXPECT_EQ(
      run.Send(StartProgram(3, static_cast<uint32_t>(image.size()), image)).next_request_after,
      1000ms);
  EXPECT_EQ(run.Send(DataPacket(5, image, 48)).next_request_after, 20ms);
  EXPECT_EQ(run.Send(DataPacket(7, image, 104)).next_request_after, 200ms);
  EXPECT_EQ(run.Send(DataPacket(9, image, 160)).next_request_after, 200ms);
  EXPECT_EQ(run.Send(Reset(11)).next_request_after, 0ms);
  EXPECT_EQ(run.log.ViolationCount(), 0u) << run.log.Violations().front();
}

TEST(BootLoader, RejectsFramesAndUnknownCodesWithoutReply) {
  BootLoaderDriver driver;
  EXPECT_FALSE(driver.Send(Frame(0x10)).answered);
  EXPECT_FALSE(driver.Send(BootRequest(0x99, 1)).answered);
  EXPECT_TRUE(
      Mentions(driver.log.Violations(), "run-mode frame (command 0x10) sent to the boot loader"));
  EXPECT_TRUE(Mentions(driver.log.Violations(), "unknown request code 0x00000099"));
}

TEST(RequestPacing, ASoonerRequestIsAViolationAndThePaceDividesTheMinimum) {
  using Clock = RequestPacing::Clock;
  const Clock::time_point t0 = Clock::now();
  RequestPacing unit;
  EXPECT_FALSE(unit.Arrived(t0, "connect", 20ms));              // nothing before it
  EXPECT_FALSE(unit.Arrived(t0 + 20ms, "sync package", 20ms));  // exactly the arming
  EXPECT_FALSE(unit.Arrived(t0 + 40ms, "get firmware version", 20ms));
  EXPECT_FALSE(unit.Arrived(t0 + 80ms, "start program", 1000ms));
  std::optional<RequestPacing::TooSoon> early =
      unit.Arrived(t0 + 980ms, "data packet 0", 20ms);  // 100 ms short of 1000 ms
  ASSERT_TRUE(early);
  EXPECT_EQ(early->arming, 1000ms);
  EXPECT_EQ(early->text,
            "update mode: data packet 0 900.0 ms after start program, sooner than its 1000.0 ms "
            "arming");

  // At half the pace each gap alone is within the allowance, but the host falls
  // 10 ms further behind with every packet: the fourth shows it.
  EXPECT_FALSE(unit.Arrived(t0 + 990ms, "data packet 1", 20ms));
  EXPECT_FALSE(unit.Arrived(t0 + 1000ms, "data packet 2", 20ms));
  EXPECT_FALSE(unit.Arrived(t0 + 1010ms, "data packet 3", 20ms));
  std::optional<RequestPacing::TooSoon> behind = unit.Arrived(t0 + 1020ms, "data packet 4", 20ms);
  ASSERT_TRUE(behind);
  EXPECT_EQ(behind->text,
            "update mode: data packet 4 40.0 ms after data packet 0, sooner than the 80.0 ms of "
            "arming since");

  // An honest host whose request 6 left 25 ms late: the gap to 7 is nearly 0,
  // but from 5 on it is on time.
  EXPECT_FALSE(unit.Arrived(t0 + 1045ms, "data packet 5", 20ms));
  EXPECT_FALSE(unit.Arrived(t0 + 1090ms, "data packet 6", 20ms));
  EXPECT_FALSE(unit.Arrived(t0 + 1091ms, "data packet 7", 200ms));
  EXPECT_TRUE(unit.Arrived(t0 + 1091ms + 100ms, "data packet 8", 200ms));  // half of 200 ms
  EXPECT_FALSE(unit.Arrived(t0 + 1191ms + 200ms, "reset", 0ms));
  EXPECT_FALSE(unit.Arrived(t0 + 1391ms, "connect", 20ms));  // nothing is armed after reset

  RequestPacing tenfold(10);
  EXPECT_FALSE(tenfold.Arrived(t0, "start program", 1000ms));
  EXPECT_FALSE(tenfold.Arrived(t0 + 100ms, "data packet 0", 20ms));  // 1000 / 10
  EXPECT_FALSE(tenfold.Arrived(t0 + 102ms, "data packet 1", 20ms));  // 20 / 10
  RequestPacing tenfold_fast(10);
  EXPECT_FALSE(tenfold_fast.Arrived(t0, "start program", 1000ms));
  std::optional<RequestPacing::TooSoon> fast =
      tenfold_fast.Arrived(t0 + 50ms, "data packet 0", 20ms);
  ASSERT_TRUE(fast);
  EXPECT_NE(fast->text.find("sooner than its 100.0 ms arming"), std::string::npos) << fast->text;
}

TEST(RequestPacing, AllAreCountedAndTheFirstOfEachMinimumIsListed) {
  ProtocolLog log;
  for (int i = 0; i < 10; ++i) log.PacingViolation("data " + std::to_string(i), 20);
  log.PacingViolation("after start program", 1000);
  log.PacingViolation("data 10", 20);
  log.PacingViolation("last packet", 200);
  EXPECT_EQ(log.PacingViolationCount(), 13u);
  EXPECT_EQ(log.ViolationCount(), 13u);
  EXPECT_EQ(log.Violations(),
            (std::vector<std::string>{"data 0", "data 1", "data 2", "data 3", "data 4",
                                      "after start program", "last packet"}));
}

TEST(RunFirmware, UnmasksChunksWithItsOwnKeyAndChecksTheirOrder) {
  ParameterBlock block = MakeParameterBlock(2, 0x10, 99);
  RunFirmware firmware(0x33, "KV-93T  012", block);
  // The key from the block: t[i] = P[5 + 16 × 2 + i] ^ mask, byte i = t[i] ^ t[i + 4].
  uint32_t key = 0;
  for (int i = 0; i < 4; ++i) {
    key |= static_cast<uint32_t>((block[37 + i] ^ 0x10) ^ (block[41 + i] ^ 0x10)) << (8 * i);
  }
  EXPECT_EQ(firmware.Key(), key);
  DspMemory dsp;
  ProtocolLog log;
  auto send_chunk = [&](uint16_t chunk, uint8_t fill) {
    std::vector<uint8_t> image(32 * (chunk + 1u), fill);
    std::vector<uint8_t> report = Report(Frame(0x53, DspChunk(image, chunk, key)));
    return firmware.Handle(report.data(), report.size(), dsp, log);
  };
  EXPECT_TRUE(send_chunk(0, 0xAB).answered);
  EXPECT_TRUE(send_chunk(1, 0xCD).answered);
  EXPECT_TRUE(send_chunk(3, 0xEF).answered);
  EXPECT_EQ(dsp.bytes[0], 0xAB);
  EXPECT_EQ(dsp.bytes[63], 0xCD);
  EXPECT_EQ(dsp.bytes[96], 0xEF);
  ASSERT_EQ(log.ViolationCount(), 1u);
  EXPECT_EQ(log.Violations()[0], "run mode: DSP chunk 3 out of order, expected 2");
}

TEST(HexImage, PlacesRecordsByAddressAndCountsWhatItStores) {
  // 02 with 0x1000 puts offset 0x0010 at 0x10010; 04 with 0x0000 brings it back.
  const char* lines[] = {":0400000001020304F2", ":020000021000EC", ":0200100055AAEF",
                         ":020000040000FA",     ":020002000909EA", ":0400000500000000F7",
                         ":00000001FF"};
  HexImage image = ReadHexImage(lines, 0x11000);
  ASSERT_TRUE(image.complete) << image.problem;
  // 4 + 2 + 2 data bytes: the program length; the overlap at 2 and 3 counts twice.
  ASSERT_EQ(image.bytes.size(), 8u);
  EXPECT_EQ(image.bytes, (std::vector<uint8_t>{0x01, 0x02, 0x09, 0x09, 0, 0, 0, 0}));
  HexImage whole = ReadHexImage(lines, 0x11000);
  EXPECT_EQ(whole.bytes, image.bytes);
}

TEST(HexImage, StopsAtABadChecksumARecordBeyondTheBoundOrAMissingEnd) {
  const char* bad_sum[] = {":0400000001020304F3", ":00000001FF"};
  HexImage sum = ReadHexImage(bad_sum, 0x11000);
  EXPECT_FALSE(sum.complete);
  EXPECT_EQ(sum.problem, "line 1: checksum wrong");
  // Ends exactly at the bound: stored; one byte further: refused.
  const char* at_bound[] = {":02000E00AABB8B", ":00000001FF"};
  EXPECT_TRUE(ReadHexImage(at_bound, 0x10).complete);
  EXPECT_EQ(ReadHexImage(at_bound, 0x0F).problem, "line 1: data beyond the flash");
  const char* no_end[] = {":0400000001020304F2"};
  EXPECT_EQ(ReadHexImage(no_end, 0x11000).problem, "no end-of-file record");
  const char* not_hex[] = {"0400000001020304F2", ":00000001FF"};
  EXPECT_EQ(ReadHexImage(not_hex, 0x11000).problem, "line 1: not an Intel HEX record");
}

TEST(HexImage, TheEmbeddedImageIsTheDocumentedExtent) {
  const ReferenceFirmware& reference = EmbeddedReferenceFirmware();
  EXPECT_TRUE(reference.mcu_problem.empty()) << reference.mcu_problem;
  // 67,324 bytes: the gapless run to 0x106F3, then 8 fill bytes of 0; the 8-byte
  // record at 0x10DF8 lies beyond the program length.
  ASSERT_EQ(reference.mcu_image.size(), 67324u);
  for (size_t address = 0x106F4; address <= 0x106FB; ++address) {
    EXPECT_EQ(reference.mcu_image[address], 0) << address;
  }
  // The first record's 16 bytes, read from the table by hand.
  const std::string first = McuHexLines[1];
  ASSERT_EQ(first.substr(0, 9), ":10000000");
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(reference.mcu_image[i], std::stoul(first.substr(9 + 2 * i, 2), nullptr, 16)) << i;
  }
  EXPECT_EQ(reference.dsp_words.size(), 6510u);
}

TEST(Verdict, UntouchedUnitIsCleanButNotUpdated) {
  FlashMemory flash;
  DspMemory dsp;
  ProtocolLog log;
  UnitVerdict verdict = JudgeUnit(flash, dsp, log);
  EXPECT_TRUE(verdict.clean) << verdict.Text();
  EXPECT_FALSE(verdict.UpdateComplete());
  EXPECT_TRUE(Mentions(verdict.lines, "flash: not programmed"));
}

TEST(Verdict, CatchesShortAndWrongFlashAndDspImages) {
  ReferenceFirmware reference;
  reference.mcu_image = {1, 2, 3, 4, 5};
  reference.dsp_words = {0x01020304, 0x05060708};
  FlashMemory flash;
  flash.Erase();
  flash.length = 5;
  flash.programmed = 5;
  std::copy(reference.mcu_image.begin(), reference.mcu_image.end(), flash.bytes.begin());
  DspMemory dsp;
  uint8_t chunk[32] = {0, 12, 0, 36, 1, 2, 3, 4, 5, 6, 7, 8};  // length 12, sum 36
  dsp.Store(0, chunk);
  ProtocolLog log;
  UnitVerdict good = JudgeUnit(flash, dsp, log, reference);
  EXPECT_TRUE(good.UpdateComplete()) << good.Text();

  flash.bytes[3] = 0x44;
  dsp.bytes[9] = 0x66;
  log.Violation("run mode: something");
  UnitVerdict bad = JudgeUnit(flash, dsp, log, reference);
  EXPECT_FALSE(bad.clean);
  EXPECT_FALSE(bad.firmware_programmed);
  EXPECT_FALSE(bad.dsp_loaded);
  EXPECT_TRUE(
      Mentions(bad.lines, "1 of 5 bytes differ from the image (0x00003 holds 0x44 for 0x04)"));
  EXPECT_TRUE(Mentions(bad.lines, "1 of 2 words differ"));
  EXPECT_TRUE(Mentions(bad.lines, "header sum"));
  EXPECT_TRUE(Mentions(bad.lines, "  run mode: something"));
}

}  // namespace
}  // namespace kv::sim
