#include "engine/response_routes.h"

#include <cstdio>

#include "engine/engine_texts.h"
#include "engine/unit_check.h"
#include "engine/update_state.h"
#include "link/lcmd.h"

namespace kv {

namespace {

std::string Formatted(const char* format, long first, long second = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, first, second);
  return text;
}

}  // namespace

TResponseRoute RouteResponse(int32_t updateState, uint8_t code) {
  if (updateState == usVersionCheck) {
    if (code == cmdIdentify) return TResponseRoute::kIdentify;
    if (code == cmdVersionText) return TResponseRoute::kVersionText;
    return TResponseRoute::kIgnored;
  }
  if (updateState == usRunCommands) {
    if (code == cmdDspBlock) return TResponseRoute::kDspChunk;
    if (code == cmdReadParameter) return TResponseRoute::kParameter;
    return TResponseRoute::kIgnored;
  }
  return AwaitsIspReply(updateState) ? TResponseRoute::kIspReply : TResponseRoute::kIgnored;
}

bool ResponseStopsAutoUpdate(int32_t updateState) {
  return updateState == usVersionCheck;
}

bool IsLastParamReply(int32_t replyNumber) {
  return replyNumber >= kParamReplyCount;
}

size_t ParamPieceBytesOfReply(int32_t replyNumber) {
  return IsLastParamReply(replyNumber) ? kLastParamPieceBytes : kParamPieceBytes;
}

std::string ParamBlockIndexErrorText(uint8_t blockIndex, int32_t replyNumber) {
  return Formatted(texts::kParamBlockIndexFormat, blockIndex, replyNumber);
}

std::string ParamSelectorErrorText(uint8_t selector) {
  return Formatted(texts::kParamSelectorFormat, selector);
}

}  // namespace kv
