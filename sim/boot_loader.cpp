#include "sim/boot_loader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "sim/unit_protocol.h"

namespace kv::sim {
namespace {

using Request = std::array<uint8_t, kBootDataBytes>;

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

uint32_t Le32(const Request& request, size_t offset) {
  return UnitLe32(request.data(), offset);
}

bool AllZero(const Request& request, size_t from) {
  return std::all_of(request.begin() + static_cast<long>(std::min(from, request.size())),
                     request.end(), [](uint8_t byte) { return byte == 0; });
}

// The step that must come right before `step`; kUnknown where any may (connect)
// or where it depends on more than the previous step (data, reset).
BootStep RequiredPredecessor(BootStep step) {
  switch (step) {
    case BootStep::kSyncPackage:
      return BootStep::kConnect;
    case BootStep::kFirmwareVersion:
      return BootStep::kSyncPackage;
    case BootStep::kDeviceId:
      return BootStep::kFirmwareVersion;
    case BootStep::kReadConfig:
      return BootStep::kDeviceId;
    case BootStep::kSyncProgram:
      return BootStep::kReadConfig;
    case BootStep::kStartProgram:
      return BootStep::kSyncProgram;
    default:
      return BootStep::kUnknown;
  }
}

// The arming the host keeps after a request of this step.
std::chrono::milliseconds HostArming(BootStep step, const FlashMemory& flash) {
  switch (step) {
    case BootStep::kStartProgram:
      return kArmingStartProgram;
    case BootStep::kData: {
      const uint32_t remaining =
          flash.programmed < flash.length ? flash.length - flash.programmed : 0;
      return remaining > kBootPacketDataBytes ? kArmingDataPacket : kArmingLastPackets;
    }
    case BootStep::kReset:
    case BootStep::kUnknown:
      return std::chrono::milliseconds(0);
    default:
      return kArmingFirstSteps;
  }
}

}  // namespace

const char* BootStepName(BootStep step) {
  switch (step) {
    case BootStep::kConnect:
      return "connect";
    case BootStep::kSyncPackage:
      return "sync package";
    case BootStep::kFirmwareVersion:
      return "get firmware version";
    case BootStep::kDeviceId:
      return "get device id";
    case BootStep::kReadConfig:
      return "read config";
    case BootStep::kSyncProgram:
      return "sync program";
    case BootStep::kStartProgram:
      return "start program";
    case BootStep::kData:
      return "data packet";
    case BootStep::kReset:
      return "reset";
    case BootStep::kUnknown:
      break;
  }
  return "unknown request";
}

BootStep BootLoader::Classify(uint8_t code) const {
  switch (code) {
    case kBootConnect:
      return BootStep::kConnect;
    case kBootSync:
      return config_read_ ? BootStep::kSyncProgram : BootStep::kSyncPackage;
    case kBootFirmwareVersion:
      return BootStep::kFirmwareVersion;
    case kBootDeviceId:
      return BootStep::kDeviceId;
    case kBootReadConfig:
      return BootStep::kReadConfig;
    case kBootStartProgram:
      return BootStep::kStartProgram;
    case kBootProgramData:
      return BootStep::kData;
    case kBootReset:
      return BootStep::kReset;
    default:
      return BootStep::kUnknown;
  }
}

void BootLoader::CheckOrder(BootStep step, const FlashMemory& flash, ProtocolLog& log) const {
  if (step == BootStep::kConnect) return;
  bool in_order = false;
  if (!has_step_) {
    in_order = false;
  } else if (step == BootStep::kData) {
    in_order = last_step_ == BootStep::kStartProgram || last_step_ == BootStep::kData;
  } else if (step == BootStep::kReset) {
    in_order = (last_step_ == BootStep::kStartProgram || last_step_ == BootStep::kData) &&
               flash.programmed >= flash.length;
  } else {
    in_order = last_step_ == RequiredPredecessor(step);
  }
  if (in_order) return;
  std::string after = has_step_ ? std::string("after ") + BootStepName(last_step_)
                                : std::string("as the first request");
  if (step == BootStep::kReset && has_step_ &&
      (last_step_ == BootStep::kStartProgram || last_step_ == BootStep::kData)) {
    after = "after " + std::to_string(flash.programmed) + " of " + std::to_string(flash.length) +
            " announced bytes";
  }
  log.Violation(std::string("update mode: ") + BootStepName(step) + " out of order, " + after);
}

void BootLoader::CheckPacketNumber(BootStep step, uint32_t number, ProtocolLog& log) const {
  uint32_t expected = 0;
  switch (step) {
    case BootStep::kConnect:
    case BootStep::kSyncProgram:
      expected = 1;
      break;
    case BootStep::kSyncPackage:
    case BootStep::kFirmwareVersion:
    case BootStep::kDeviceId:
    case BootStep::kReadConfig:
      if (!has_reply_) return;
      expected = last_reply_number_;
      break;
    case BootStep::kStartProgram:
    case BootStep::kData:
    case BootStep::kReset:
      if (!has_reply_) return;
      expected = last_reply_number_ + 1;
      break;
    case BootStep::kUnknown:
      return;
  }
  if (number == expected) return;
  std::string what = BootStepName(step);
  if (step == BootStep::kData) {
    what += ' ';
    what += std::to_string(data_packets_);
  }
  log.Violation("update mode: " + what + " carries packet number " + std::to_string(number) +
                ", expected " + std::to_string(expected));
}

void BootLoader::StartProgram(const uint8_t* request_bytes, FlashMemory& flash, ProtocolLog& log) {
  Request request{};
  std::copy(request_bytes, request_bytes + request.size(), request.begin());
  uint32_t address = Le32(request, kBootStartAddressOffset);
  uint32_t length = Le32(request, kBootLengthOffset);
  flash.Erase();
  flash.start = address;
  flash.length = length;
  if (address >= FlashMemory::kBytes || length > FlashMemory::kBytes - address) {
    log.Violation("update mode: start program announces " + std::to_string(length) +
                  " bytes from " + Hex(address, 5) + ", beyond the flash of " +
                  Hex(FlashMemory::kBytes, 5) + " bytes");
  }
  size_t carried = std::min<size_t>(kBootStartDataBytes, length);
  flash.Program(address, request.data() + kBootStartDataOffset, carried);
  flash.programmed = static_cast<uint32_t>(carried);
  if (!AllZero(request, kBootStartDataOffset + carried)) {
    log.Violation("update mode: start program carries bytes after the announced length");
  }
  programming_ = true;
  data_packets_ = 0;
}

void BootLoader::ProgramData(const uint8_t* request_bytes, uint32_t index, FlashMemory& flash,
                             ProtocolLog& log) {
  if (!programming_) return;  // already noted as out of order: nothing was announced
  Request request{};
  std::copy(request_bytes, request_bytes + request.size(), request.begin());
  uint32_t remaining = flash.length - flash.programmed;
  if (remaining == 0) {
    log.Violation("update mode: data packet " + std::to_string(index) +
                  " beyond the announced length of " + std::to_string(flash.length) + " bytes");
    return;
  }
  size_t carried = std::min<size_t>(kBootPacketDataBytes, remaining);
  uint64_t address = static_cast<uint64_t>(flash.start) + flash.programmed;
  if (address < FlashMemory::kBytes) {
    flash.Program(static_cast<uint32_t>(address), request.data() + kBootPacketDataOffset, carried);
  }
  flash.programmed += static_cast<uint32_t>(carried);
  if (!AllZero(request, kBootPacketDataOffset + carried)) {
    log.Violation("update mode: data packet " + std::to_string(index) +
                  " carries bytes after the announced length");
  }
}

BootAnswer BootLoader::Handle(const uint8_t* report, size_t count, FlashMemory& flash,
                              ProtocolLog& log) {
  BootAnswer answer;
  if (count != kBootReportBytes) {
    log.Violation("update mode: output report of " + std::to_string(count) + " bytes, expected " +
                  std::to_string(kBootReportBytes));
  }
  if (count > 0 && report[0] != 0) {
    log.Violation("update mode: report ID " + Hex(report[0], 2) + ", expected 0x00");
  }
  // Bytes the host did not send read as 0.
  Request request{};
  if (count > 1)
    std::copy(report + 1, report + std::min(count, request.size() + 1), request.begin());

  uint32_t code_field = Le32(request, kBootCodeOffset);
  answer.code = request[kBootCodeOffset];
  log.CountBootRequest(answer.code);
  answer.step = code_field <= 0xFF ? Classify(answer.code) : BootStep::kUnknown;
  if (answer.step == BootStep::kUnknown) {
    if (request[0] == kFrameDle && request[1] == kFrameStx) {
      log.Violation("update mode: run-mode frame (command " + Hex(request[5], 2) +
                    ") sent to the boot loader");
    } else {
      log.Violation("update mode: unknown request code " + Hex(code_field, 8));
    }
    return answer;
  }

  uint32_t number = Le32(request, kBootNumberOffset);
  CheckOrder(answer.step, flash, log);
  CheckPacketNumber(answer.step, number, log);

  std::vector<uint8_t> reply(kBootDataBytes, 0);
  PutUnitLe32(reply.data(), kBootEchoOffset, BootByteSum(request.data(), request.size()));
  PutUnitLe32(reply.data(), kBootNumberOffset, number + 1);

  switch (answer.step) {
    case BootStep::kConnect:
      config_read_ = false;
      programming_ = false;
      if (!AllZero(request, kBootCommandDataOffset)) {
        log.Violation("update mode: connect carries command data");
      }
      break;
    case BootStep::kSyncPackage:
    case BootStep::kSyncProgram:
      if (request[kBootSyncNumberOffset] != (number & 0xFF)) {
        log.Violation(std::string("update mode: ") + BootStepName(answer.step) + " carries " +
                      std::to_string(request[kBootSyncNumberOffset]) +
                      " in byte 8, its packet number is " + std::to_string(number));
      }
      if (!AllZero(request, kBootSyncNumberOffset + 1)) {
        log.Violation(std::string("update mode: ") + BootStepName(answer.step) +
                      " carries command data after byte 8");
      }
      break;
    case BootStep::kFirmwareVersion:
    case BootStep::kDeviceId:
    case BootStep::kReadConfig:
    case BootStep::kReset:
      if (!AllZero(request, kBootCommandDataOffset)) {
        log.Violation(std::string("update mode: ") + BootStepName(answer.step) +
                      " carries command data");
      }
      if (answer.step == BootStep::kFirmwareVersion) {
        PutUnitLe32(reply.data(), kBootReplyWord0Offset, kBootLoaderVersion);
      } else if (answer.step == BootStep::kDeviceId) {
        PutUnitLe32(reply.data(), kBootReplyWord0Offset, kSimDeviceId);
      } else if (answer.step == BootStep::kReadConfig) {
        PutUnitLe32(reply.data(), kBootReplyWord0Offset, kSimConfigWord0);
        PutUnitLe32(reply.data(), kBootReplyWord1Offset, kSimConfigWord1);
        config_read_ = true;
      } else {
        answer.resets = true;
      }
      break;
    case BootStep::kStartProgram:
      StartProgram(request.data(), flash, log);
      answer.erases = true;
      break;
    case BootStep::kData:
      answer.data_index = data_packets_;
      ProgramData(request.data(), data_packets_, flash, log);
      ++data_packets_;
      break;
    case BootStep::kUnknown:
      break;
  }

  answer.next_request_after = HostArming(answer.step, flash);
  has_step_ = true;
  last_step_ = answer.step;
  has_reply_ = true;
  last_reply_number_ = number + 1;
  answer.answered = true;
  answer.reply = std::move(reply);
  return answer;
}

}  // namespace kv::sim
