// Every text the update engine shows or compares: the step texts of the status
// bar and the messages of its boxes. They are the tool's own words, trailing
// blanks and spelling included; the unit's users know them by heart.
#pragma once

#include <cstdint>
#include <string_view>

#include "toolkit/message_box.h"

namespace kv::texts {

// Every message the window shows in a box, so that a front end can act on which
// message it was without reading its words. Never renumber: the values travel
// through the toolkit as toolkit::MessageId. The texts follow below.
enum class TMessageId : uint16_t {
  kProgramOk = 1,       // kProgramOk: the update chain has ended well
  kWrongUnitType,       // kWrongUnitType
  kTooOldVersion,       // kTooOldVersion
  kTooNewVersion,       // kTooNewVersion
  kIspStartError,       // kIspStartError
  kIspSyncError,        // kIspSyncError
  kEraseAllError,       // kEraseAllError
  kGetIdError,          // kGetIdError
  kProgramStartError,   // kProgramStartError
  kProgramDataError,    // kProgramDataError
  kParamBlockIndex,     // kParamBlockIndexFormat
  kParamSelector,       // kParamSelectorFormat
  kImageChecksumError,  // the image parser's own text for a record with a wrong checksum
  kImageNotARecord,     // kImageNotARecord
  kImageBeyondBound,    // kImageBeyondBound
  kImageNoEndOfFile,    // kImageNoEndOfFile
  kReadError,           // kReadErrorPrefix and the system's text
};

constexpr toolkit::MessageId BoxId(TMessageId id) {
  return static_cast<toolkit::MessageId>(id);
}
constexpr TMessageId MessageOf(toolkit::MessageId id) {
  return static_cast<TMessageId>(id);
}

// Step texts (the status bar's simple text).
inline constexpr std::string_view kStepConnect = "Connect";
inline constexpr std::string_view kStepSyncPackage = "Sync Package";
inline constexpr std::string_view kStepGetFirmwareVersion = "Get Firmware Version";
inline constexpr std::string_view kStepGetDeviceId = "Get Device ID";
inline constexpr std::string_view kStepReadConfig = "Read Config";
inline constexpr std::string_view kStepSyncProgram = "Sync Program";
inline constexpr std::string_view kStepStartProgram = "Start Program";
inline constexpr std::string_view kStepProgramData = "Mcu Programing ";  // + packet number
inline constexpr std::string_view kStepMcuReset = "MCU Reset";
inline constexpr const char* kStepDeviceIdFormat = "Device ID : %08X, %08X, %08X";
inline constexpr std::string_view kStepParameterData = "Parameter Data";
inline constexpr std::string_view kStepDspProgram = "Dsp Program";
inline constexpr std::string_view kStepDspChunk = "Dsp Progrmming ";  // + chunk index

// Refusals of the unit and version check (information symbol).
inline constexpr std::string_view kWrongUnitType = " Wrong Uint Type !! ";
inline constexpr std::string_view kTooOldVersion = "Too Old Version Uint !! ";
inline constexpr std::string_view kTooNewVersion = "Too New Version Uint !! ";

// Boot-loader failures: a reply whose checksum echo is wrong (error symbol).
inline constexpr std::string_view kIspStartError = "ISP Start Error !!";
inline constexpr std::string_view kIspSyncError = "ISP Sync Error !!";
inline constexpr std::string_view kEraseAllError = "Erase All Error !!";
inline constexpr std::string_view kGetIdError = "Get ID Error !!";
inline constexpr std::string_view kProgramStartError = "Program Start Error !!";
inline constexpr std::string_view kProgramDataError = "Program Data Error !!";

// The end of a successful update (information symbol).
inline constexpr std::string_view kProgramOk = " Program OK !! ";

// Parameter data that cannot be placed in the block (information symbol); the
// chain stops there rather than mask the DSP program with a wrong key.
inline constexpr const char* kParamBlockIndexFormat =
    "Parameter Data Error !! Block %ld of reply %ld lies outside the parameter block.";
inline constexpr const char* kParamSelectorFormat =
    "Parameter Data Error !! Key selector %ld lies outside the parameter block.";

// The embedded image could not be prepared; nothing was sent to the unit.
inline constexpr std::string_view kImageNotARecord =
    "Mcu Image Error !! A line of the firmware image is not a record.";
inline constexpr std::string_view kImageBeyondBound =
    "Mcu Image Error !! A record of the firmware image lies beyond the flash.";
inline constexpr std::string_view kImageNoEndOfFile =
    "Mcu Image Error !! The firmware image has no end record.";

// A read from the unit failed; followed by the system's text for the code.
inline constexpr std::string_view kReadErrorPrefix = "READ ERROR: ";

}  // namespace kv::texts
