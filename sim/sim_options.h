// Settings of the simulated KV-93T unit: how it starts, what it answers, how long
// it takes, and which faults it injects. Every setting has a KEY=VALUE text form
// (the command line's `--sim KEY=VALUE`), parsed by ApplySimOption; sim/README.md
// lists them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::sim {

// The state the unit is in when the setup is built.
enum class SimStart {
  kRun,     // attached in run mode
  kUpdate,  // attached in update mode (the boot loader)
  kAbsent,  // not attached; plugs in, in run mode, after attach-ms
};

enum class FaultKind {
  kNoReply,    // the request is handled, but its answer is never sent
  kBadEcho,    // boot loader: checksum echo off by one; run mode: frame checksum inverted
  kUnplug,     // the unit detaches instead of answering
  kDuplicate,  // the answer is sent twice
  kGarbage,    // a report of random bytes goes out before the answer
  kShort,      // the answer carries only the first `amount` payload bytes
  kOversize,   // a device frame whose length byte claims `amount` (> 56)
  kReadError,  // the host's next read fails with system error `amount`; the answer follows
  kEarly,      // the answer goes out at once, without processing or erase time
  kLate,       // the answer goes out `amount` ms after the request arrived
  kStuck,      // data packet: its byte `amount` stays erased in the flash; the reply is as usual
};

// Where a fault strikes: one boot-loader step, a data packet, a run-mode command,
// a parameter block or a DSP chunk.
enum class FaultSite {
  kConnect,
  kSyncPackage,
  kFirmwareVersion,
  kDeviceId,
  kReadConfig,
  kSyncProgram,
  kStartProgram,
  kData,  // index: data packet K, counted from 0 after "start program"
  kReset,
  kCommand,  // index: run-mode command code; occurrence: 1 for the first
  kParam,    // index: parameter block B
  kDsp,      // index: DSP chunk K
};

// Each fault fires once, at the first request that matches it.
struct SimFault {
  FaultKind kind = FaultKind::kNoReply;
  // kShort: bytes kept; kOversize: length byte; kReadError: code; kLate: ms;
  // kStuck: the byte of the packet's data that does not take its value
  int64_t amount = 0;
  FaultSite site = FaultSite::kConnect;
  uint32_t index = 0;
  uint32_t occurrence = 1;
};

// Defaults of the amounts that a fault kind may carry (`late:N`, `short:N`, ...).
inline constexpr int64_t kDefaultLateMs = 1500;
inline constexpr int64_t kDefaultStuckByte = 0;
inline constexpr int64_t kDefaultShortPayloadBytes = 0;
inline constexpr int64_t kDefaultOversizeLength = 57;
// 0: the bus's own code for a device that is attached but not working
// (SimulatedHidBus::DeviceFailureCode), so each platform's run shows its own text.
inline constexpr int64_t kDefaultReadErrorCode = 0;

// Every delay is in milliseconds.
struct SimOptions {
  SimStart start = SimStart::kRun;
  int units = 1;

  uint8_t unit_type = 0x33;
  std::string version_text = "KV-93T  012";

  // Parameter block: byte 0 the selector, byte 2 the mask, the rest from the seed.
  uint8_t selector = 3;
  uint8_t mask = 0x5A;
  uint32_t param_seed = 0x93;

  int usb_ms = 1;        // one report, one direction, on the bus
  int reply_ms = 2;      // boot loader's processing time before each reply
  int erase_ms = 400;    // boot loader's flash erase on "start program"
  int reenum_ms = 300;   // from detaching in one personality to attaching in the other
  int attach_ms = 1000;  // start=absent: time until the unit is plugged in
  int cmd_ms = 0;        // run-mode firmware's processing time before each answer
  int replug_ms = -1;    // after an unplug fault: time until plugged in again; -1: never

  // The boot loader's minimum request intervals are divided by this (1 to 1000),
  // for hosts whose timers run faster in tests. Not given: 1, or whatever the
  // command line's pace divisor is.
  std::optional<int> pace;
  int PaceDivisor() const { return pace.value_or(1); }

  std::vector<SimFault> faults;

  // "unitN.KEY=VALUE" settings in the order given: unit N's own, on top of the rest.
  std::vector<std::pair<int, std::string>> unit_settings;
  // What unit `number` (1 up) is built with.
  SimOptions ForUnit(int number) const;
};

// Applies one KEY=VALUE setting. An unknown key or a malformed or out-of-range
// value leaves `options` unchanged and sets `error` to a text naming it.
bool ApplySimOption(std::string_view key_value, SimOptions& options, std::string& error);

// Applies several settings in order; stops at the first error.
bool ApplySimOptions(const std::vector<std::string>& settings, SimOptions& options,
                     std::string& error);

// A few lines listing the keys and fault kinds, for the command line's help.
const char* SimOptionsUsage();

// "KIND[:N]@WHERE", the value of fault=.
bool ParseSimFault(std::string_view text, SimFault& fault, std::string& error);

// The canonical text of a fault's place ("data:5", "cmd:0x13:2", "reset").
std::string DescribeFaultSite(const SimFault& fault);
std::string DescribeFault(const SimFault& fault);

}  // namespace kv::sim
