// The boot-loader step sequencer: one request outstanding at a time, the next
// built only when the reply to the previous one has come and its checksum echo
// matched. The pace is set by tmUsbWait, which arms the reply of each step.
#include <algorithm>
#include <cstdio>
#include <string>

#include "app/isp.h"
#include "engine/engine_texts.h"

namespace kv {

namespace {

// The step text shown while the request of `state` is outstanding.
std::string_view StepText(int32_t state) {
  switch (state) {
    case usConnect:
      return texts::kStepConnect;
    case usSyncPackage:
      return texts::kStepSyncPackage;
    case usGetFirmwareVersion:
      return texts::kStepGetFirmwareVersion;
    case usGetDeviceId:
      return texts::kStepGetDeviceId;
    case usReadConfig:
      return texts::kStepReadConfig;
    case usSyncProgram:
      return texts::kStepSyncProgram;
    case usStartProgram:
      return texts::kStepStartProgram;
    case usMcuReset:
      return texts::kStepMcuReset;
    default:
      return {};
  }
}

// The failure of a step whose reply echoed a wrong checksum, and whether the
// connection is ended before the message shows.
struct TStepFailure {
  texts::TMessageId Id;
  std::string_view Message;
  bool EndsConnection;
};

TStepFailure FailureOf(int32_t state) {
  switch (state) {
    case usConnect:
      return {texts::TMessageId::kIspStartError, texts::kIspStartError, true};
    case usSyncPackage:
      return {texts::TMessageId::kIspSyncError, texts::kIspSyncError, true};
    case usGetDeviceId:
      return {texts::TMessageId::kGetIdError, texts::kGetIdError, true};
    case usStartProgram:
      return {texts::TMessageId::kProgramStartError, texts::kProgramStartError, false};
    case usProgramData:
      return {texts::TMessageId::kProgramDataError, texts::kProgramDataError, false};
    default:  // firmware version, read config, sync program
      return {texts::TMessageId::kEraseAllError, texts::kEraseAllError, false};
  }
}

// The boot loader hands out all 32 bits of the data packets' number: counting on
// from its largest value wraps around, as the 32-bit field on the wire does,
// instead of overflowing.
int32_t NextPacketNumber(int32_t packetNumber) {
  return static_cast<int32_t>(static_cast<uint32_t>(packetNumber) + 1u);
}

int32_t DataPacketProgress(int32_t packetNumber) {
  return static_cast<int32_t>((int64_t{packetNumber} - 3) / 2);
}

std::string DeviceIdText(uint32_t deviceId, uint32_t config0, uint32_t config1) {
  char text[64];
  std::snprintf(text, sizeof text, texts::kStepDeviceIdFormat, static_cast<unsigned>(deviceId),
                static_cast<unsigned>(config0), static_cast<unsigned>(config1));
  return text;
}

}  // namespace

IspRequest TfmIsp::BuildStepRequest() {
  const std::span<const uint8_t> image(
      Image.ImageBuffer.data(),
      static_cast<size_t>(std::clamp<int32_t>(Image.ImageByteCount, 0, kImageBufferBytes)));
  switch (UpdateState) {
    case usConnect:
      PacketNumber = 1;
      return BuildConnectRequest();
    case usSyncPackage:
      return BuildSyncPackageRequest(PacketNumber);
    case usGetFirmwareVersion:
      return BuildGetFirmwareVersionRequest(PacketNumber);
    case usGetDeviceId:
      return BuildGetDeviceIdRequest(PacketNumber);
    case usReadConfig:
      return BuildReadConfigRequest(PacketNumber);
    case usSyncProgram:
      PacketNumber = 1;
      return BuildSyncProgramRequest();
    case usStartProgram: {
      PacketNumber = NextPacketNumber(PacketNumber);
      IspRequest request = BuildStartProgramRequest(PacketNumber, Image.ImageByteCount, image);
      // An image shorter than one start packet has nothing left for data packets.
      ProgramOffset = std::min<int32_t>(kIspStartDataBytes, static_cast<int32_t>(image.size()));
      btnStartProgram.SetEnabled(false);
      return request;
    }
    case usProgramData: {
      ProgramProgress = DataPacketProgress(PacketNumber);
      SetStepText(std::string(texts::kStepProgramData) + std::to_string(ProgramProgress));
      pbProgress.SetPosition(ProgramProgress);
      PacketNumber = NextPacketNumber(PacketNumber);
      const IspDataPacket packet =
          BuildProgramDataRequest(PacketNumber, image, Image.ImageByteCount, ProgramOffset);
      ProgramOffset += packet.BytesCopied;
      return packet.Request;
    }
    case usMcuReset:
      PacketNumber = NextPacketNumber(PacketNumber);
      return BuildMcuResetRequest(PacketNumber);
    default:
      return {};
  }
}

void TfmIsp::RunIspStep() {
  if (UpdateState < usConnect || UpdateState > usMcuReset) return;
  EarlyIspReply.reset();
  if (UpdateState != usProgramData) SetStepText(std::string(StepText(UpdateState)));
  const IspRequest request = BuildStepRequest();
  if (UpdateState == usMcuReset) {
    UpdateState = usRunCommands;
    pbProgress.SetPosition(0);
    SetPanel(1, kPanelNoDevice);
    StartTimer(tmWaitDisconnect, TChainTimer::kWaitDisconnect);
  }

  RequestSum = 0;
  // Taken before the request can reach the worker: any report counted after
  // this mark was written after the request went out.
  IspRequestMark = ReportsWrittenCount.load();
  SendCommand(TCmdPacket::Raw(request.data(), request.size()), true, pkRaw);
  RequestSum = kv::RequestSum(request);
  ArmReply();
}

void TfmIsp::ArmReply() {
  if (!Link || !Link->Running()) return;
  if (sbStatus.SimpleText() == texts::kStepMcuReset) {
    StartTimer(tmWaitDisconnect, TChainTimer::kWaitDisconnect);
    return;
  }
  std::chrono::milliseconds interval = Timing.UsbWaitOther;
  if (UpdateState == usStartProgram) {
    interval = Timing.UsbWaitStartProgram;
  } else if (ProgramOffset + static_cast<int32_t>(kIspProgramDataBytes) < Image.ImageByteCount) {
    interval = Timing.UsbWaitData;
  }
  tmUsbWait.SetInterval(static_cast<int>(interval.count()));
  StartTimer(tmUsbWait, TChainTimer::kUsbWait);
}

void TfmIsp::HandleIspReply(const TCmdPacket& reply) {
  if (UpdateState == usGetDeviceId) DeviceId = 0;
  if (ReplyChecksumEcho(reply) != RequestSum) {
    FailIspStep();
    return;
  }
  // The next state is stored first; a reply too short for its fields ends the
  // handling at the failed read, with the state already advanced.
  switch (UpdateState) {
    case usConnect:
    case usSyncPackage:
    case usGetFirmwareVersion:
    case usSyncProgram:
      UpdateState += 1;
      PacketNumber = static_cast<int32_t>(ReplyPacketNumberByte(reply));
      break;
    case usStartProgram:
      UpdateState = ProgramOffset < Image.ImageByteCount ? usProgramData : usMcuReset;
      PacketNumber = static_cast<int32_t>(ReplyPacketNumberByte(reply));
      break;
    case usGetDeviceId:
      UpdateState = usReadConfig;
      PacketNumber = static_cast<int32_t>(ReplyPacketNumberByte(reply));
      DeviceId = ReplyDataWord(reply, kIspDeviceIdOffset);
      SetStepText(DeviceIdText(DeviceId, ConfigWord0, ConfigWord1));
      break;
    case usReadConfig:
      UpdateState = usSyncProgram;
      PacketNumber = static_cast<int32_t>(ReplyPacketNumberByte(reply));
      ConfigWord0 = ReplyDataWord(reply, kIspConfigWord0Offset);
      ConfigWord1 = ReplyDataWord(reply, kIspConfigWord1Offset);
      break;
    case usProgramData:
      UpdateState = ProgramOffset < Image.ImageByteCount ? usProgramData : usMcuReset;
      PacketNumber = static_cast<int32_t>(ReplyPacketNumber32(reply));
      break;
    default:
      return;
  }
  RunIspStep();
}

void TfmIsp::FailIspStep() {
  const TStepFailure failure = FailureOf(UpdateState);
  // Closing from inside the link's own delivery is safe: the link retires its worker.
  if (failure.EndsConnection) CloseSession();
  ShowMessage(failure.Id, failure.Message, toolkit::MessageSymbol::kError);
}

}  // namespace kv
