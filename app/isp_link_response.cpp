// Every complete response the link delivers, read by UpdateState: the unit and
// version check before an update, the parameter data and the DSP download after
// the microcontroller update, and the boot-loader replies in between. Payload
// reads are checked: a reply too short for what is read ends the handling at
// that read, and the loop's exception box shows "vector". The decisions are the
// engine's (engine/response_routes.h, engine/unit_check.h); this file acts on them.
#include <string>

#include "app/isp.h"
#include "app/isp_private.h"
#include "engine/engine_texts.h"
#include "engine/response_routes.h"
#include "image/dsp_image.h"

namespace kv {

void TfmIsp::LinkMessage(uint32_t message, uintptr_t wparam, intptr_t /*lparam*/) {
  KV_ASSERT_UI_THREAD(Loop);
  // Link notifications and per-byte messages get the default handling: none.
  if (message != WM_LINK_RESPONSE) return;
  HandleLinkResponse(*reinterpret_cast<const ByteBuffer*>(wparam));
}

void TfmIsp::SendCommand(const TCmdPacket& packet, bool append, int mode) {
  KV_ASSERT_UI_THREAD(Loop);
  if (!Link) return;
  Link->Submit(BuildFrame(packet, mode), append);
}

void TfmIsp::HandleLinkResponse(const ByteBuffer& response) {
  KV_ASSERT_UI_THREAD(Loop);
  const TCmdPacket reply = ParseResponse(response);
  if (ResponseStopsAutoUpdate(UpdateState)) StopTimer(tmAutoUpdate, TChainTimer::kAutoUpdate);
  switch (RouteResponse(UpdateState, reply.Code)) {
    case TResponseRoute::kIdentify:
      IdentifyStep(reply);
      break;
    case TResponseRoute::kVersionText:
      CheckUnitVersion(reply);
      break;
    case TResponseRoute::kParameter:
      ParameterStep(reply);
      break;
    case TResponseRoute::kDspChunk:
      DspChunkStep(reply);
      break;
    case TResponseRoute::kIspReply:
      HandleIspReply(reply);
      break;
    case TResponseRoute::kIgnored:
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
  const bool lastReply = IsLastParamReply(ParamBlockIndex);
  const size_t pieceBytes = ParamPieceBytesOfReply(ParamBlockIndex);
  const uint8_t blockIndex = reply.Payload.at(0);
  if (!ParamPieceFits(blockIndex, pieceBytes)) {
    StopForParamError(texts::TMessageId::kParamBlockIndex,
                      ParamBlockIndexErrorText(blockIndex, ParamBlockIndex));
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
                      ParamSelectorErrorText(ParamBlock[kKeySelectorOffset]));
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
  SetStep(TIspStepKind::kDspChunk,
          std::string(texts::kStepDspChunk) + std::to_string(DspChunkIndex), DspChunkIndex);
  SetProgress(DspChunkIndex);
  if (DspChunkIndex < DspLastChunk) {
    DspChunkIndex += 1;
    SendDspChunk(DspChunkIndex);
    return;
  }
  UpdateState = usRunCommands;
  SetProgress(0);
  SetBusy(false);
  SetPanel(isp_detail::kPanelSession, kPanelDisconnect);
  StartTimer(tmRunStep, TChainTimer::kRunStep);
}

void TfmIsp::SendDspChunk(int32_t chunkIndex) {
  if (const std::optional<TCmdPacket> chunk = BuildDspChunk(Image, chunkIndex, SessionKey)) {
    SendCommand(*chunk);
  }
}

}  // namespace kv
