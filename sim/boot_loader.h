// The unit's boot loader (update mode): it answers each 64-byte request with a
// 64-byte reply that echoes the request's byte sum and carries the request's
// packet number plus 1, erases and programs the flash, and notes every request
// that breaks its protocol:
//   connect, sync (package), firmware version, device id, read config,
//   sync (program), start program, data packets up to the announced length, reset.
// A connect is accepted at any time and begins the sequence again. The packet
// number a request must carry: 1 for connect and for the sync before programming
// (both restart the count); the last reply's for the other queries; the last
// reply's plus 1 for start program, data and reset.
// One BootLoader lives from the unit's attaching in update mode to its reset.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/unit_memory.h"

namespace kv::sim {

// What the boot loader reports about itself.
inline constexpr uint32_t kBootLoaderVersion = 0x00000021;
inline constexpr uint32_t kSimDeviceId = 0x00235100;
inline constexpr uint32_t kSimConfigWord0 = 0xFFFFFF7F;
inline constexpr uint32_t kSimConfigWord1 = 0x0001F000;

// How long the host holds back after each request before it takes the reply and
// sends its next request (its reply arming). A unit needs this time to act on a
// request: the erase after "start program", the programming of each packet.
// The first steps get 20 ms while the host's program offset is 0, 200 ms after an
// earlier finished run; the shorter is the least a host may take.
inline constexpr std::chrono::milliseconds kArmingFirstSteps{20};
inline constexpr std::chrono::milliseconds kArmingStartProgram{1000};
// A data packet behind which more than one packet's bytes (56) remain...
inline constexpr std::chrono::milliseconds kArmingDataPacket{20};
// ...and the last two packets, which end the programming.
inline constexpr std::chrono::milliseconds kArmingLastPackets{200};

// The output report the boot loader expects: report ID 0 and 64 data bytes.
inline constexpr size_t kBootReportBytes = 65;

enum class BootStep {
  kConnect,
  kSyncPackage,
  kFirmwareVersion,
  kDeviceId,
  kReadConfig,
  kSyncProgram,
  kStartProgram,
  kData,
  kReset,
  kUnknown,
};

const char* BootStepName(BootStep step);

struct BootAnswer {
  BootStep step = BootStep::kUnknown;
  uint8_t code = 0;
  uint32_t data_index = 0;     // kData: packet number K from 0 after start program
  bool answered = false;       // false for a request it does not know
  std::vector<uint8_t> reply;  // 64 bytes, without report ID
  bool erases = false;         // start program: the flash is erased first
  bool resets = false;         // reset: the unit leaves update mode after the reply
  // The least time before the host's next request; 0 after reset (nothing follows).
  std::chrono::milliseconds next_request_after{0};
};

class BootLoader {
 public:
  // `report` is the output report as written: report ID first.
  BootAnswer Handle(const uint8_t* report, size_t count, FlashMemory& flash, ProtocolLog& log);

 private:
  BootStep Classify(uint8_t code) const;
  void CheckOrder(BootStep step, const FlashMemory& flash, ProtocolLog& log) const;
  void CheckPacketNumber(BootStep step, uint32_t number, ProtocolLog& log) const;
  // `request` points at the 64 data bytes.
  void StartProgram(const uint8_t* request, FlashMemory& flash, ProtocolLog& log);
  void ProgramData(const uint8_t* request, uint32_t index, FlashMemory& flash, ProtocolLog& log);

  bool has_step_ = false;
  BootStep last_step_ = BootStep::kUnknown;
  bool config_read_ = false;  // a read config since the last connect: the next sync is "program"
  bool programming_ = false;  // a start program since the last connect
  bool has_reply_ = false;
  uint32_t last_reply_number_ = 0;
  uint32_t data_packets_ = 0;  // since the last start program
};

}  // namespace kv::sim
