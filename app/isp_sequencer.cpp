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
      btnStartProgram.SetEnabled(false);
      return request;
    }
    case usProgramData: {
      ProgramProgress = IspDataProgress(PacketNumber);
      SetStepText(IspDataStepText(ProgramProgress));
      pbProgress.SetPosition(ProgramProgress);
      PacketNumber = NextIspPacketNumber(PacketNumber);
      const IspDataPacket packet =
          BuildProgramDataRequest(PacketNumber, image, Image.ImageByteCount, ProgramOffset);
      ProgramOffset += packet.BytesCopied;
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
  if (UpdateState != usProgramData) SetStepText(std::string(IspStepText(UpdateState)));
  const IspRequest request = BuildStepRequest();
  if (UpdateState == usMcuReset) {
    UpdateState = usRunCommands;
    pbProgress.SetPosition(0);
    SetPanel(isp_detail::kPanelConnection, kPanelNoDevice);
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
    SetStepText(IspDeviceIdText(DeviceId, ConfigWord0, ConfigWord1));
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
