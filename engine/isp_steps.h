// The boot-loader step sequencer's decisions, as pure functions of the state the
// main window holds: the step's text, its failure, the packet numbers and the
// progress, how long the reply is armed for, and which step follows a good reply.
// The main window (app/isp_sequencer.cpp) builds and submits the requests and
// arms its timers from them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine_texts.h"

namespace kv {

// The status text while the request of `state` is outstanding; empty for the
// data packets (their text carries the progress) and states without a request.
std::string_view IspStepText(int32_t state);

// "Mcu Programing " followed by the progress.
std::string IspDataStepText(int32_t progress);

// "Device ID : %08X, %08X, %08X".
std::string IspDeviceIdText(uint32_t deviceId, uint32_t configWord0, uint32_t configWord1);

// The message of a step whose reply echoed a wrong checksum, and whether the
// connection ends before it shows.
struct TIspStepFailure {
  texts::TMessageId Id = texts::TMessageId::kEraseAllError;
  std::string_view Message;
  bool EndsConnection = false;
};
TIspStepFailure IspStepFailure(int32_t state);

// The number after `packetNumber`: counting on from the largest wraps around, as
// the 32-bit field on the wire does, instead of overflowing.
int32_t NextIspPacketNumber(int32_t packetNumber);

// (packetNumber - 3) / 2, truncated toward zero.
int32_t IspDataProgress(int32_t packetNumber);

// How long the reply of the request just sent is armed for.
enum class TIspReplyArming {
  kStartProgram,  // the flash is erased first
  kData,          // more than one data packet's bytes remain behind the offset
  kOther,
};
TIspReplyArming IspReplyArming(int32_t state, int32_t programOffset, int32_t imageByteCount);

// The state stored when a good reply to the request of `state` arrives (the
// same state for one that has no successor).
int32_t IspStateAfterReply(int32_t state, int32_t programOffset, int32_t imageByteCount);

}  // namespace kv
