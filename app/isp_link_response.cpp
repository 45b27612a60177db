// Every complete response the link delivers, read by UpdateState: the unit and
// version check before an update, the parameter data and the DSP download after
// the microcontroller update, and the boot-loader replies in between. Payload
// reads are checked: a reply too short for what is read ends the handling at
// that read, and the loop's exception box shows "vector".
#include <cstdio>
#include <string>

#include "app/isp.h"
#include "engine/engine_texts.h"
#include "image/dsp_image.h"

namespace kv {

namespace {

std::string Formatted(const char* format, long first, long second = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, first, second);
  return text;
}

}  // namespace

void TfmIsp::LinkMessage(uint32_t message, uintptr_t wparam, intptr_t /*lparam*/) {
  // Link notifications and per-byte messages get the default handling: none.
  if (message != WM_LINK_RESPONSE) return;
  HandleLinkResponse(*reinterpret_cast<const ByteBuffer*>(wparam));
}

void TfmIsp::SendCommand(const TCmdPacket& packet, bool append, int mode) {
  if (!Link) return;
  Link->Submit(BuildFrame(packet, mode), append);
}

void TfmIsp::HandleLinkResponse(const ByteBuffer& response) {
  const TCmdPacket reply = ParseResponse(response);
  switch (UpdateState) {
    case usVersionCheck:
      tmAutoUpdate.Stop();
      if (reply.Code == cmdIdentify) {
        IdentifyStep(reply);
      } else if (reply.Code == cmdVersionText) {
        CheckUnitVersion(reply);
      }
      break;
    case usRunCommands:
      if (reply.Code == cmdDspBlock) {
        DspChunkStep(reply);
      } else if (reply.Code == cmdReadParameter) {
        ParameterStep(reply);
      }
      break;
    case usConnect:
    case usSyncPackage:
    case usGetFirmwareVersion:
    case usGetDeviceId:
    case usReadConfig:
    case usSyncProgram:
    case usStartProgram:
    case usProgramData:
      HandleIspReply(reply);
      break;
    default:
      break;
  }
}

void TfmIsp::IdentifyStep(const TCmdPacket& reply) {
  if (reply.Payload.at(0) == uaUnitTypeKv93t) {
    SendCommand(TCmdPacket(1, cmdVersionText));
    return;
  }
  RejectUnit(texts::TMessageId::kWrongUnitType, texts::kWrongUnitType);
}

void TfmIsp::CheckUnitVersion(const TCmdPacket& reply) {
  const std::string versionText(reply.Payload.begin(), reply.Payload.end());
  switch (CheckVersionText(versionText)) {
    case TUnitVerdict::kWrongModel:
      RejectUnit(texts::TMessageId::kWrongUnitType, texts::kWrongUnitType);
      return;
    case TUnitVerdict::kTooOld:
      RejectUnit(texts::TMessageId::kTooOldVersion, texts::kTooOldVersion);
      return;
    case TUnitVerdict::kTooNew:
      RejectUnit(texts::TMessageId::kTooNewVersion, texts::kTooNewVersion);
      return;
    case TUnitVerdict::kAccepted:
      break;
  }
  UpdateRefused = 0;
  bnMcuProgram.SetEnabled(true);
  bnMcuProgram.Click();
}

void TfmIsp::RejectUnit(texts::TMessageId id, std::string_view message) {
  // Queued behind this response: it goes out once the box has been closed.
  SendCommand(TCmdPacket(1, cmdCheckFailed));
  ShowMessage(id, message, toolkit::MessageSymbol::kInformation);
  UpdateRefused = 1;
  btnStartProgram.SetEnabled(true);
  StartTimer(tmWrongDisconnect, TChainTimer::kWrongDisconnect);
}

void TfmIsp::ParameterStep(const TCmdPacket& reply) {
  if (ParamBlockIndex == 0) SendCommand(TCmdPacket(1, cmdCode1A, 0x01, 0x00, 0x01, 0x00));
  ParamBlockIndex += 1;
  const bool lastReply = ParamBlockIndex >= kParamReplyCount;
  const size_t pieceBytes = lastReply ? kLastParamPieceBytes : kParamPieceBytes;
  const uint8_t blockIndex = reply.Payload.at(0);
  if (!ParamPieceFits(blockIndex, pieceBytes)) {
    StopForParamError(texts::TMessageId::kParamBlockIndex,
                      Formatted(texts::kParamBlockIndexFormat, blockIndex, ParamBlockIndex));
    return;
  }
  const size_t first = blockIndex * kParamPieceBytes;
  for (size_t i = 0; i < pieceBytes; ++i) ParamBlock[first + i] = reply.Payload.at(1 + i);
  if (!lastReply) {
    SendCommand(TCmdPacket(1, cmdReadParameter, static_cast<uint8_t>(ParamBlockIndex)));
    return;
  }
  const std::optional<uint32_t> key = DeriveSessionKey(ParamBlock);
  if (!key) {
    StopForParamError(texts::TMessageId::kParamSelector,
                      Formatted(texts::kParamSelectorFormat, ParamBlock[kKeySelectorOffset]));
    return;
  }
  SessionKey = *key;
  AutoStage = asDspDue;
  StartTimer(tmRunStep, TChainTimer::kRunStep);
}

void TfmIsp::StopForParamError(texts::TMessageId id, const std::string& message) {
  // No key can be trusted: the session ends before anything else goes out.
  CloseSession();
  ShowMessage(id, message, toolkit::MessageSymbol::kInformation);
}

void TfmIsp::DspChunkStep(const TCmdPacket& /*reply*/) {
  SetStepText(std::string(texts::kStepDspChunk) + std::to_string(DspChunkIndex));
  pbProgress.SetPosition(DspChunkIndex);
  if (DspChunkIndex < DspLastChunk) {
    DspChunkIndex += 1;
    SendDspChunk(DspChunkIndex);
    return;
  }
  UpdateState = usRunCommands;
  pbProgress.SetPosition(0);
  sbStatus.SetBackground(toolkit::Color::ButtonFace());
  SetPanel(0, kPanelDisconnect);
  StartTimer(tmRunStep, TChainTimer::kRunStep);
}

void TfmIsp::SendDspChunk(int32_t chunkIndex) {
  if (const std::optional<TCmdPacket> chunk = BuildDspChunk(Image, chunkIndex, SessionKey)) {
    SendCommand(*chunk);
  }
}

}  // namespace kv
