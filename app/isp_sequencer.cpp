// The boot-loader step sequencer: one request outstanding at a time, the next
// built only when the reply to the previous one has come and its checksum echo
// matched. The pace is set by tmUsbWait, which arms the reply of each step. The
// decisions are the engine's (engine/isp_steps.h); this file acts on them.
#include <algorithm>
#include <string>
#include <utility>

#include "app/isp.h"
#include "app/isp_private.h"
#include "engine/engine_texts.h"
#include "engine/isp_steps.h"

namespace kv {

namespace {

// The step a boot-loader state's request shows (the data packets name their own).
TIspStepKind IspStepKind(int32_t state) {
  switch (state) {
    case usConnect:
      return TIspStepKind::kConnect;
    case usSyncPackage:
      return TIspStepKind::kSyncPackage;
    case usGetFirmwareVersion:
      return TIspStepKind::kGetFirmwareVersion;
    case usGetDeviceId:
      return TIspStepKind::kGetDeviceId;
    case usReadConfig:
      return TIspStepKind::kReadConfig;
    case usSyncProgram:
      return TIspStepKind::kSyncProgram;
    case usStartProgram:
      return TIspStepKind::kStartProgram;
    case usProgramData:
      return TIspStepKind::kProgramData;
    case usMcuReset:
      return TIspStepKind::kMcuReset;
    default:
      return TIspStepKind::kNone;
  }
}

}  // namespace

void TfmIsp::PublishMcuDownload() {
  const auto perPacket = static_cast<int32_t>(kIspProgramDataBytes);
  const int32_t dataBytes =
      std::max<int32_t>(Image.ImageByteCount - static_cast<int32_t>(kIspStartDataBytes), 0);
  Publish(TIspMcuDownloadEvent{ProgramOffset, Image.ImageByteCount,
                               (dataBytes + perPacket - 1) / perPacket, Timing.UsbWaitData,
                               Timing.UsbWaitOther});
}

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
      PacketNumber = NextIspPacketNumber(PacketNumber);
      IspRequest request = BuildStartProgramRequest(PacketNumber, Image.ImageByteCount, image);
      // An image shorter than one start packet has nothing left for data packets.
      ProgramOffset = std::min<int32_t>(kIspStartDataBytes, static_cast<int32_t>(image.size()));
      PublishMcuDownload();
      btnStartProgram.SetEnabled(false);
      return request;
    }
    case usProgramData: {
      ProgramProgress = IspDataProgress(PacketNumber);
      SetStep(TIspStepKind::kProgramData, IspDataStepText(ProgramProgress), ProgramProgress);
      SetProgress(ProgramProgress);
      PacketNumber = NextIspPacketNumber(PacketNumber);
      const IspDataPacket packet =
          BuildProgramDataRequest(PacketNumber, image, Image.ImageByteCount, ProgramOffset);
      ProgramOffset += packet.BytesCopied;
      PublishMcuDownload();
      return packet.Request;
    }
    case usMcuReset:
      PacketNumber = NextIspPacketNumber(PacketNumber);
      return BuildMcuResetRequest(PacketNumber);
    default:
      return {};
  }
}

void TfmIsp::RunIspStep() {
  KV_ASSERT_UI_THREAD(Loop);
  if (UpdateState < usConnect || UpdateState > usMcuReset) return;
  EarlyIspReply.reset();
  IspReplyCut = false;
  if (UpdateState != usProgramData) {
    SetStep(IspStepKind(UpdateState), std::string(IspStepText(UpdateState)));
  }
  const IspRequest request = BuildStepRequest();
  if (UpdateState == usMcuReset) {
    UpdateState = usRunCommands;
    SetProgress(0);
    ShowConnection(TIspConnection::kNone);
    StartTimer(tmWaitDisconnect, TChainTimer::kWaitDisconnect);
  }

  RequestSum = 0;
  // Taken before the request can reach the worker: any report counted after
  // this mark was written after the request went out.
  IspRequestMark = ReportsWrittenCount.load();
  SendCommand(TCmdPacket::Raw(request.data(), request.size()), true, pkRaw);
  RequestSum = IspRequestChecksum(request);
  ArmReply();
}

void TfmIsp::ArmReply() {
  if (!Link || !Link->Running()) return;
  if (sbStatus.SimpleText() == texts::kStepMcuReset) {
    StartTimer(tmWaitDisconnect, TChainTimer::kWaitDisconnect);
    return;
  }
  std::chrono::milliseconds interval = Timing.UsbWaitOther;
  switch (IspReplyArming(UpdateState, ProgramOffset, Image.ImageByteCount)) {
    case TIspReplyArming::kStartProgram:
      interval = Timing.UsbWaitStartProgram;
      break;
    case TIspReplyArming::kData:
      interval = Timing.UsbWaitData;
      break;
    case TIspReplyArming::kOther:
      break;
  }
  tmUsbWait.SetInterval(isp_detail::WholeMilliseconds(interval));
  StartTimer(tmUsbWait, TChainTimer::kUsbWait);
}

void TfmIsp::HandleIspReply(const TCmdPacket& reply) {
  KV_ASSERT_UI_THREAD(Loop);
  if (UpdateState == usGetDeviceId) DeviceId = 0;
  if (std::exchange(IspReplyCut, false) || ReplyChecksumEcho(reply) != RequestSum) {
    FailIspStep();
    return;
  }
  const int32_t answered = UpdateState;
  if (!AwaitsIspReply(answered)) return;
  // The next state is stored first; a reply too short for its fields ends the
  // handling at the failed read, with the state already advanced.
  UpdateState = IspStateAfterReply(answered, ProgramOffset, Image.ImageByteCount);
  if (answered == usProgramData) {
    PacketNumber = static_cast<int32_t>(ReplyPacketNumber32(reply));
  } else {
    PacketNumber = static_cast<int32_t>(ReplyPacketNumberByte(reply));
  }
  if (answered == usGetDeviceId) {
    DeviceId = ReplyDataWord(reply, kIspDeviceIdOffset);
    SetStep(TIspStepKind::kDeviceId, IspDeviceIdText(DeviceId, ConfigWord0, ConfigWord1));
  } else if (answered == usReadConfig) {
    ConfigWord0 = ReplyDataWord(reply, kIspConfigWord0Offset);
    ConfigWord1 = ReplyDataWord(reply, kIspConfigWord1Offset);
  }
  RunIspStep();
}

void TfmIsp::FailIspStep() {
  const TIspStepFailure failure = IspStepFailure(UpdateState);
  // Closing from inside the link's own delivery is safe: the link retires its worker.
  if (failure.EndsConnection) CloseSession();
  ShowMessage(failure.Id, failure.Message, toolkit::MessageSymbol::kError);
}

}  // namespace kv
