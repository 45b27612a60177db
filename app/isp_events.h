// What the main window's logic tells its front ends, in types: the connection,
// the step with its running number, the progress, the figures of the downloads,
// the planned waits, the message boxes and the end of a session. A front end
// learns the update's progress from these alone; the status-bar texts are for
// drawing, and their wording is never read back to learn a step or a number.
//
// Every event is published on the UI thread, where the window sets what it
// shows, and right after it has set it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "toolkit/message_box.h"

namespace kv {

// The seven timers that pace the update chain.
enum class TChainTimer {
  kUsbWait,
  kWaitDisconnect,
  kDspProgram,
  kMcuProg,
  kRunStep,
  kWrongDisconnect,
  kAutoUpdate,
};
inline constexpr size_t kChainTimerCount = 7;

// Panel 1: which personality of the unit the window says it has found.
enum class TIspConnection {
  kNone,        // "No Device" (also from "MCU Reset" on, while the unit is still held)
  kRunMode,     // "Detect Run HID"
  kUpdateMode,  // "Detect Update HID"
};

// The steps the status bar names, in the chain's order.
enum class TIspStepKind {
  kNone,  // nothing shown yet
  kConnect,
  kSyncPackage,
  kGetFirmwareVersion,
  kGetDeviceId,
  kReadConfig,
  kSyncProgram,
  kStartProgram,
  kDeviceId,     // the unit's ID and configuration words, once read
  kProgramData,  // counts: the data packet's index, from 0
  kMcuReset,
  kParameterData,
  kDspProgram,
  kDspChunk,  // counts: the index of the DSP chunk the unit has just taken
};

struct TIspConnectionEvent {
  TIspConnection Connection = TIspConnection::kNone;
  std::string Panel;      // as shown
  bool UnitHeld = false;  // the window holds a unit's device (it may show "No Device")
  friend bool operator==(const TIspConnectionEvent&, const TIspConnectionEvent&) = default;
};

struct TIspStepEvent {
  TIspStepKind Kind = TIspStepKind::kNone;
  std::string Text;               // as shown
  std::optional<int32_t> Number;  // only for a counting step
  friend bool operator==(const TIspStepEvent&, const TIspStepEvent&) = default;
};

struct TIspProgressEvent {
  int Position = 0;
  int Max = 100;
  friend bool operator==(const TIspProgressEvent&, const TIspProgressEvent&) = default;
};

// The status bar turned red (a command works on the unit) or back.
struct TIspBusyEvent {
  bool Busy = false;
};

// "Mcu Prog" started the microcontroller update (Pending), or " Program OK !! "
// ended the whole update.
struct TIspMcuUpdateEvent {
  bool Pending = false;
};

// The microcontroller download: told with "Start Program" and with every data
// packet as its request is built.
struct TIspMcuDownloadEvent {
  int32_t BytesSent = 0;   // image bytes in the requests built so far
  int32_t ImageBytes = 0;  // the whole image
  int32_t DataPackets = 0;
  // The data packets' replies are armed for DataPacketWait each, the last two
  // for LastPacketsWait.
  std::chrono::milliseconds DataPacketWait{0};
  std::chrono::milliseconds LastPacketsWait{0};
};

// The DSP download: told once its first chunk has gone out.
struct TIspDspDownloadEvent {
  int32_t LastChunk = 0;  // chunks run from 0 to this
};

// A timer that paces the chain on purpose started (or restarted) or ended.
struct TIspWaitEvent {
  TChainTimer Timer = TChainTimer::kUsbWait;
  bool Running = false;
};

// Published as the box opens.
struct TIspMessageEvent {
  toolkit::MessageId Id{};
  std::string Text;
  toolkit::MessageSymbol Symbol = toolkit::MessageSymbol::kInformation;
};

// The link to the unit was closed; the display is back to idle.
struct TIspSessionEndEvent {};

// Where the window stands. A new subscriber is told this first, so it needs
// nothing from before it joined; Apply keeps it up to date from the events.
struct TIspPicture {
  TIspConnectionEvent Connection;
  TIspStepEvent Step;
  TIspProgressEvent Progress;
  bool Busy = false;
  bool McuUpdatePending = false;
  std::optional<TIspMcuDownloadEvent> McuDownload;
  std::optional<TIspDspDownloadEvent> DspDownload;
  std::array<bool, kChainTimerCount> Waiting{};  // indexed by TChainTimer
};

using TIspEvent =
    std::variant<TIspPicture, TIspConnectionEvent, TIspStepEvent, TIspProgressEvent, TIspBusyEvent,
                 TIspMcuUpdateEvent, TIspMcuDownloadEvent, TIspDspDownloadEvent, TIspWaitEvent,
                 TIspMessageEvent, TIspSessionEndEvent>;

using TIspEventObserver = std::function<void(const TIspEvent& event)>;

// The picture after `event`.
void Apply(TIspPicture& picture, const TIspEvent& event);

// A counting step's text before its running number ("Mcu Programing "), so
// that a front end can show the step once rather than once per packet; empty
// for the other steps.
std::string_view CountingStepCaption(TIspStepKind kind);

}  // namespace kv
