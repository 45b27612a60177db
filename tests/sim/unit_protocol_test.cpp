// The unit's protocol logic on its own: frames, key, boot loader, run-mode
// firmware and the verdict, without the bus or threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/isp_report.h"
#include "link/lcmd.h"
#include "sim/boot_loader.h"
#include "sim/device_frame.h"
#include "sim/parameter_block.h"
#include "sim/run_firmware.h"
#include "sim/unit_verdict.h"

namespace kv::sim {
namespace {

bool Mentions(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

TEST(DeviceFrame, AnswerFrameCarriesUnitAddressAndXorChecksum) {
  std::vector<uint8_t> frame = BuildDeviceFrame(cmdIdentify, {0x33, 0x41});
  std::vector<uint8_t> expected{0x10, 0x02, 0x01, 0x00, 0x03, 0x10, 0x33, 0x41, 0x10, 0x03};
  expected.push_back(XorOf(expected.data(), expected.size()));
  EXPECT_EQ(frame, expected);
  EXPECT_EQ(BuildDeviceFrame(cmdKeepAlive, {}).size(), 9u);
}

TEST(DeviceFrame, ReadsTheToolsFramesAndRejectsBrokenOnes) {
  ByteBuffer good = BuildFrame(TCmdPacket(1, cmdReadParameter, 7), pkFramed);
  HostFrame frame = ReadHostFrame(good.data(), good.size());
  ASSERT_EQ(frame.status, HostFrameStatus::kValid) << frame.problem;
  EXPECT_EQ(frame.code, cmdReadParameter);
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
  BootAnswer Send(const IspRequest& request) {
    std::vector<uint8_t> report(65, 0);
    std::copy(request.begin(), request.begin() + 64, report.begin() + 1);
    return loader.Handle(report.data(), report.size(), flash, log);
  }
  BootLoader loader;
  FlashMemory flash;
  ProtocolLog log;
};

TEST(BootLoader, EchoesSumAndNumberAndTellsIdAndConfig) {
  BootLoaderDriver driver;
  BootAnswer connect = driver.Send(BuildConnectRequest());
  ASSERT_TRUE(connect.answered);
  EXPECT_EQ(ReadLe32(connect.reply, 0), 0x81u);
  EXPECT_EQ(ReadLe32(connect.reply, 4), 2u);
  EXPECT_EQ(driver.Send(BuildSyncPackageRequest(2)).step, BootStep::kSyncPackage);
  driver.Send(BuildGetFirmwareVersionRequest(3));
  BootAnswer id = driver.Send(BuildGetDeviceIdRequest(4));
  EXPECT_EQ(ReadLe32(id.reply, 8), kSimDeviceId);
  BootAnswer config = driver.Send(BuildReadConfigRequest(5));
  EXPECT_EQ(ReadLe32(config.reply, 8), kSimConfigWord0);
  EXPECT_EQ(ReadLe32(config.reply, 12), kSimConfigWord1);
  EXPECT_EQ(driver.Send(BuildSyncProgramRequest()).step, BootStep::kSyncProgram);
  EXPECT_EQ(driver.log.ViolationCount(), 0u) << driver.log.Violations().front();
}

TEST(BootLoader, ProgramsAnnouncedLengthAndNotesEveryDeparture) {
  BootLoaderDriver driver;
  driver.Send(BuildConnectRequest());
  driver.Send(BuildGetDeviceIdRequest(2));  // skips sync package and firmware version
  EXPECT_TRUE(Mentions(driver.log.Violations(), "get device id out of order, after connect"));

  std::vector<uint8_t> image(48 + 56 + 10);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  int32_t length = static_cast<int32_t>(image.size());
  BootLoaderDriver run;
  for (const IspRequest& request :
       {BuildConnectRequest(), BuildSyncPackageRequest(2), BuildGetFirmwareVersionRequest(3),
        BuildGetDeviceIdRequest(4), BuildReadConfigRequest(5), BuildSyncProgramRequest()}) {
    run.Send(request);
  }
  BootAnswer start = run.Send(BuildStartProgramRequest(3, length, image));
  EXPECT_TRUE(start.erases);
  int32_t offset = 48;
  int32_t number = 5;
  while (offset < length) {
    IspDataPacket packet = BuildProgramDataRequest(number, image, length, offset);
    offset += packet.BytesCopied;
    run.Send(packet.Request);
    number += 2;
  }
  IspDataPacket extra =
      BuildProgramDataRequest(number + 1, image, length, offset);  // wrong number too
  run.Send(extra.Request);
  EXPECT_TRUE(run.Send(BuildMcuResetRequest(number + 3)).resets);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), run.flash.bytes.begin()));
  EXPECT_EQ(run.flash.bytes[image.size()], 0xFF);
  const auto& violations = run.log.Violations();
  ASSERT_EQ(run.log.ViolationCount(), 2u);
  EXPECT_TRUE(Mentions(violations, "data packet 2 carries packet number 10, expected 9"));
  EXPECT_TRUE(Mentions(violations, "data packet 2 beyond the announced length of 114 bytes"));
}

TEST(BootLoader, RejectsFramesAndUnknownCodesWithoutReply) {
  BootLoaderDriver driver;
  ByteBuffer frame = BuildFrame(TCmdPacket(1, cmdIdentify), pkFramed);
  std::vector<uint8_t> report(65, 0);
  std::copy(frame.begin(), frame.end(), report.begin() + 1);
  EXPECT_FALSE(
      driver.loader.Handle(report.data(), report.size(), driver.flash, driver.log).answered);
  report.assign(65, 0);
  report[1] = 0x99;
  EXPECT_FALSE(
      driver.loader.Handle(report.data(), report.size(), driver.flash, driver.log).answered);
  EXPECT_TRUE(
      Mentions(driver.log.Violations(), "run-mode frame (command 0x10) sent to the boot loader"));
  EXPECT_TRUE(Mentions(driver.log.Violations(), "unknown request code 0x00000099"));
}

TEST(RunFirmware, UnmasksChunksWithItsOwnKeyAndChecksTheirOrder) {
  ParameterBlock block = MakeParameterBlock(2, 0x10, 99);
  RunFirmware firmware(0x33, "KV-93T  012", block);
  uint32_t key = DeriveUnitKey(block);
  DspMemory dsp;
  ProtocolLog log;
  auto send_chunk = [&](uint16_t chunk, uint8_t fill) {
    TCmdPacket packet(1, cmdDspBlock);
    packet.Payload.push_back(static_cast<uint8_t>(chunk >> 8));
    packet.Payload.push_back(static_cast<uint8_t>(chunk));
    for (size_t i = 0; i < 32; ++i) {
      packet.Payload.push_back(static_cast<uint8_t>(fill ^ (key >> (8 * (i % 4)))));
    }
    ByteBuffer frame = BuildFrame(packet, pkFramed);
    std::vector<uint8_t> report(65, 0);
    std::copy(frame.begin(), frame.end(), report.begin() + 1);
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
