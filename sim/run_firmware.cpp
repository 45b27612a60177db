#include "sim/run_firmware.h"

#include <array>
#include <cstdio>
#include <utility>

#include "sim/device_frame.h"
#include "sim/unit_protocol.h"

namespace kv::sim {
namespace {

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
  return text;
}

bool IsBootLoaderCode(uint8_t code) {
  switch (code) {
    case kBootProgramData:
    case kBootConnect:
    case kBootSync:
    case kBootFirmwareVersion:
    case kBootDeviceId:
    case kBootReadConfig:
    case kBootStartProgram:
    case kBootReset:
      return true;
    default:
      return false;
  }
}

}  // namespace

RunFirmware::RunFirmware(uint8_t unit_type, std::string version_text,
                         const ParameterBlock& parameters)
    : unit_type_(unit_type),
      version_text_(std::move(version_text)),
      parameters_(parameters),
      key_(DeriveUnitKey(parameters)) {}

void RunFirmware::ExpectPayload(uint8_t code, const std::vector<uint8_t>& payload, size_t expected,
                                ProtocolLog& log) const {
  if (payload.size() == expected) return;
  log.Violation("run mode: command " + Hex2(code) + " carries " + std::to_string(payload.size()) +
                " payload bytes, expected " + std::to_string(expected));
}

void RunFirmware::StoreDspChunk(const std::vector<uint8_t>& payload, RunAnswer& answer,
                                DspMemory& dsp, ProtocolLog& log) const {
  if (payload.size() != kDspChunkPayloadBytes) {
    log.Violation("run mode: DSP chunk of " + std::to_string(payload.size()) +
                  " payload bytes, expected " + std::to_string(kDspChunkPayloadBytes));
    return;
  }
  uint32_t chunk = (static_cast<uint32_t>(payload[0]) << 8) | payload[1];
  answer.dsp_chunk = static_cast<int>(chunk);
  if (chunk >= DspMemory::kChunks) {
    log.Violation("run mode: DSP chunk " + std::to_string(chunk) + " beyond the DSP memory");
    return;
  }
  if (chunk != 0) {
    if (!dsp.started) {
      log.Violation("run mode: DSP chunk " + std::to_string(chunk) + " before chunk 0");
    } else if (static_cast<int32_t>(chunk) != dsp.last_chunk + 1) {
      log.Violation("run mode: DSP chunk " + std::to_string(chunk) + " out of order, expected " +
                    std::to_string(dsp.last_chunk + 1));
    }
  }
  std::array<uint8_t, DspMemory::kChunkBytes> unmasked{};
  for (size_t i = 0; i < unmasked.size(); ++i) {
    unmasked[i] = payload[2 + i] ^ static_cast<uint8_t>(key_ >> (8 * (i % 4)));
  }
  dsp.Store(chunk, unmasked.data());
  answer.answered = true;
  answer.payload = {kAckOk};
}

RunAnswer RunFirmware::Handle(const uint8_t* report, size_t count, DspMemory& dsp,
                              ProtocolLog& log) const {
  RunAnswer answer;
  if (count != kRunReportBytes) {
    log.Violation("run mode: output report of " + std::to_string(count) + " bytes, expected " +
                  std::to_string(kRunReportBytes));
  }
  if (count == 0) return answer;
  if (report[0] != 0) log.Violation("run mode: report ID " + Hex2(report[0]) + ", expected 0x00");
  const uint8_t* data = report + 1;
  size_t data_bytes = count - 1;

  HostFrame frame = ReadHostFrame(data, data_bytes);
  if (frame.status != HostFrameStatus::kValid) {
    if (frame.status == HostFrameStatus::kNotAFrame && data_bytes > 0 &&
        IsBootLoaderCode(data[0])) {
      log.Violation("run mode: boot-loader request " + Hex2(data[0]) + " sent to the application");
    } else {
      log.Violation("run mode: " + frame.problem);
    }
    return answer;
  }

  answer.valid = true;
  answer.code = frame.code;
  log.CountRunCommand(frame.code);
  answer.occurrence = log.RunCommandCount(frame.code);
  const std::vector<uint8_t>& payload = frame.payload;
  switch (frame.code) {
    case kRunIdentify:
      ExpectPayload(frame.code, payload, 0, log);
      answer.answered = true;
      answer.payload = {unit_type_, kHardwareRevision};
      break;
    case kRunVersionText:
      ExpectPayload(frame.code, payload, 0, log);
      answer.answered = true;
      answer.payload.assign(version_text_.begin(), version_text_.end());
      break;
    case kRunReadParameter:
      if (payload.size() != 1 || payload[0] > kLastParameterPiece) {
        log.Violation("run mode: parameter request " +
                      (payload.empty() ? std::string("without a block number")
                                       : "for block " + std::to_string(payload[0])) +
                      (payload.size() > 1 ? " and more payload" : ""));
        break;
      }
      answer.param_piece = payload[0];
      answer.answered = true;
      answer.payload = ParameterPiece(parameters_, payload[0]);
      break;
    case kRunCode1A:
      if (payload != std::vector<uint8_t>{0x01, 0x00, 0x01, 0x00}) {
        log.Violation("run mode: command 0x1A without its payload 01 00 01 00");
      }
      answer.answered = true;
      answer.payload = {kAckOk};
      break;
    case kRunEnterUpdate:
      answer.enters_update = true;
      [[fallthrough]];
    case kRunCheckFailed:
    case kRunKeepAlive:
    case kRunCode04:
      ExpectPayload(frame.code, payload, 0, log);
      answer.answered = true;
      answer.payload = {kAckOk};
      break;
    case kRunDspBlock:
      StoreDspChunk(payload, answer, dsp, log);
      break;
    default:
      log.Violation("run mode: unknown command " + Hex2(frame.code));
      break;
  }
  return answer;
}

}  // namespace kv::sim
