// Where the update stands: how the next response is read, and the chain's place
// after the microcontroller update. The main window holds both; the engine's
// decisions are made from them.
#pragma once

#include <cstdint>

namespace kv {

// How the next response is read.
enum TUpdateState : int32_t {
  usVersionCheck = 0,  // run mode: unit and version check
  usRunCommands = 1,   // run mode: parameter data and DSP download
  usConnect = 2,       // boot-loader steps, one request outstanding each
  usSyncPackage = 3,
  usGetFirmwareVersion = 4,
  usGetDeviceId = 5,
  usReadConfig = 6,
  usSyncProgram = 7,
  usStartProgram = 8,
  usProgramData = 9,
  usMcuReset = 10,
};

// Place in the chain after the microcontroller update.
enum TAutoStage : int32_t {
  asNone = 0,
  asDspDownload = 1,  // the DSP download is under way
  asDspDue = 2,       // parameter data read, the key known, the DSP download due
  asMcuUpdate = 3,    // the microcontroller update is under way
};

// A boot-loader step's request is outstanding and its reply awaited (2 to 9;
// "MCU Reset" expects none).
inline bool AwaitsIspReply(int32_t updateState) {
  return updateState >= usConnect && updateState <= usProgramData;
}

}  // namespace kv
