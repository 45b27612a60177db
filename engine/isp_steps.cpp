#include "engine/isp_steps.h"

#include <cstdio>

#include "engine/engine_texts.h"
#include "engine/isp_report.h"
#include "engine/update_state.h"

namespace kv {

std::string_view IspStepText(int32_t state) {
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

std::string IspDataStepText(int32_t progress) {
  return std::string(texts::kStepProgramData) + std::to_string(progress);
}

std::string IspDeviceIdText(uint32_t deviceId, uint32_t configWord0, uint32_t configWord1) {
  char text[64];
  std::snprintf(text, sizeof text, texts::kStepDeviceIdFormat, static_cast<unsigned>(deviceId),
                static_cast<unsigned>(configWord0), static_cast<unsigned>(configWord1));
  return text;
}

TIspStepFailure IspStepFailure(int32_t state) {
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

int32_t NextIspPacketNumber(int32_t packetNumber) {
  return static_cast<int32_t>(static_cast<uint32_t>(packetNumber) + 1u);
}

int32_t IspDataProgress(int32_t packetNumber) {
  return static_cast<int32_t>((int64_t{packetNumber} - 3) / 2);
}

TIspReplyArming IspReplyArming(int32_t state, int32_t programOffset, int32_t imageByteCount) {
  if (state == usStartProgram) return TIspReplyArming::kStartProgram;
  if (int64_t{programOffset} + static_cast<int64_t>(kIspProgramDataBytes) < imageByteCount) {
    return TIspReplyArming::kData;
  }
  return TIspReplyArming::kOther;
}

int32_t IspStateAfterReply(int32_t state, int32_t programOffset, int32_t imageByteCount) {
  switch (state) {
    case usConnect:
    case usSyncPackage:
    case usGetFirmwareVersion:
    case usGetDeviceId:
    case usReadConfig:
    case usSyncProgram:
      return state + 1;
    case usStartProgram:
    case usProgramData:
      return programOffset < imageByteCount ? usProgramData : usMcuReset;
    default:
      return state;
  }
}

}  // namespace kv
