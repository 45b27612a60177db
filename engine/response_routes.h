// The response handler's decisions, as pure functions: which step a delivered
// response goes to by the update state and its code, and the parameter data's
// bookkeeping. The main window (app/isp_link_response.cpp) acts on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

enum class TResponseRoute {
  kIdentify,     // state 0, code 0x10: the unit type
  kVersionText,  // state 0, code 0x13: the model and version check
  kParameter,    // state 1, code 0xA8: one piece of the parameter block
  kDspChunk,     // state 1, code 0x53: the next DSP chunk is due
  kIspReply,     // states 2 to 9: the boot-loader step's reply
  kIgnored,      // any other code or state
};

TResponseRoute RouteResponse(int32_t updateState, uint8_t code);

// Any response in state 0 stops the fallback timer, whatever its code.
bool ResponseStopsAutoUpdate(int32_t updateState);

// The bytes the parameter reply numbered `replyNumber` (1 to 11) carries.
size_t ParamPieceBytesOfReply(int32_t replyNumber);
// The eleventh reply is the last: the key is derived after it.
bool IsLastParamReply(int32_t replyNumber);

// The information texts of parameter data that cannot be placed in the block.
std::string ParamBlockIndexErrorText(uint8_t blockIndex, int32_t replyNumber);
std::string ParamSelectorErrorText(uint8_t selector);

}  // namespace kv
